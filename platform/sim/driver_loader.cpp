// Loading a driver as the I/O manager loads a kernel service: the driver
// object, the service key the install left, the entry point at PASSIVE_LEVEL,
// and at the end DriverUnload once the driver has no device left.
#include "platform/sim/executive.h"
#include "platform/sim/internal.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"

namespace sim {

struct LoadedDriver::State {
    std::unique_ptr<DriverObject> object;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bool loaded = false;
};

LoadedDriver::LoadedDriver(PDRIVER_INITIALIZE entry, std::u16string service) : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.object = std::make_unique<DriverObject>(u"\\Driver\\" + service);
    // What an install leaves: the service key and its profile store.
    std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + utf16_to_utf8(service);
    if (!reg_key_exists(key + "\\Layout"))
        reg_create_key(key + "\\Layout");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        report_problem("driver load above PASSIVE_LEVEL");
    s.status = entry(s.object->get(), s.object->registry_path());
    // A driver whose entry point fails is unloaded at once, without its
    // DriverUnload: nothing of it is called again.
    s.loaded = NT_SUCCESS(s.status);
    if (!s.loaded)
        internal::hid_unregister(s.object->get());
}

LoadedDriver::~LoadedDriver() {
    if (state_->loaded)
        unload();
}

NTSTATUS LoadedDriver::status() const { return state_->status; }
PDRIVER_OBJECT LoadedDriver::get() { return state_->object->get(); }
PUNICODE_STRING LoadedDriver::registry_path() { return state_->object->registry_path(); }
bool LoadedDriver::loaded() const { return state_->loaded; }

void LoadedDriver::unload() {
    State &s = *state_;
    if (!s.loaded)
        return;
    s.loaded = false;
    PDRIVER_OBJECT driver = s.object->get();
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        report_problem("driver unloaded with device object " + exec::hex_pointer(d) + " still present");
    if (driver->DriverUnload)
        driver->DriverUnload(driver);
    internal::hid_unregister(driver);
}

} // namespace sim
