// The simulated power manager: what drivers tell it (PoSetPowerState), the
// start of the next power IRP, and PoCallDriver, which passes a power request
// down like IofCallDriver and checks that it is one.
#include <map>
#include <mutex>

#include "platform/sim/internal.h"
#include "platform/sim/io_internal.h"

namespace {

struct PowerState {
    std::mutex mu;
    std::vector<sim::PowerStateSet> sets;
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, ULONG> current;
    int start_next = 0;
    int call_driver = 0;
};

PowerState &power() {
    static PowerState *state = new PowerState;
    return *state;
}

const sim::internal::Registrar registrar(
    [] {
        std::lock_guard g(power().mu);
        power().sets.clear();
        power().current.clear();
        power().start_next = 0;
        power().call_driver = 0;
    },
    [](std::vector<std::string> &) {});

} // namespace

namespace sim {

std::vector<PowerStateSet> power_states_set() {
    std::lock_guard g(power().mu);
    return power().sets;
}

int power_start_next_calls() {
    std::lock_guard g(power().mu);
    return power().start_next;
}

int power_call_driver_calls() {
    std::lock_guard g(power().mu);
    return power().call_driver;
}

} // namespace sim

extern "C" {

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    std::lock_guard g(power().mu);
    ULONG value = Type == SystemPowerState ? ULONG(State.SystemState) : ULONG(State.DeviceState);
    power().sets.push_back({DeviceObject, Type, value});
    // The previous state; a device that never reported one was working (D0 / S0).
    auto [it, fresh] = power().current.try_emplace({DeviceObject, Type},
                                                   Type == SystemPowerState ? ULONG(PowerSystemWorking)
                                                                            : ULONG(PowerDeviceD0));
    POWER_STATE old{};
    if (Type == SystemPowerState)
        old.SystemState = static_cast<SYSTEM_POWER_STATE>(it->second);
    else
        old.DeviceState = static_cast<DEVICE_POWER_STATE>(it->second);
    it->second = value;
    (void)fresh;
    return old;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (Irp->CurrentLocation > Irp->StackCount || sp->MajorFunction != IRP_MJ_POWER)
        sim::report_problem("PoStartNextPowerIrp: " + sim::io::describe(Irp) + " is not a power request");
    std::lock_guard g(power().mu);
    power().start_next++;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation <= 1 || IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        sim::report_problem("PoCallDriver: " + sim::io::describe(Irp) + " is not a power request");
    {
        std::lock_guard g(power().mu);
        power().call_driver++;
    }
    return IofCallDriver(DeviceObject, Irp);
}

} // extern "C"
