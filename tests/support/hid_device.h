// The driver's device as addition and start leave it, under the simulated HID
// class driver: the dispatch registered as a minidriver's, the class device
// object over the virtual controller with the driver's context behind it, the
// profile store under the service key (empty until a test fills it; the
// rebuild addition posts runs at the first pass()). Requests sent to `self`
// go through the class driver to the real dispatch routine.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace hid_device {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
constexpr uint8_t kUntouched = 0xEE;
constexpr ULONG kWriteCodes[] = {IOCTL_HID_WRITE_REPORT, IOCTL_HID_SET_FEATURE, IOCTL_HID_SET_OUTPUT_REPORT};

// A stored bind, its 34 bytes as the registry holds them.
inline Bytes stored_bind(ULONG source_type, UCHAR index, SHORT s2, ULONG action, SHORT param)
{
    Bytes b(BIND_PERSISTED_SIZE, 0);
    b[0] = UCHAR(source_type);
    b[4] = index;
    b[8] = UCHAR(s2), b[9] = UCHAR(USHORT(s2) >> 8);
    b[16] = UCHAR(action);
    b[20] = UCHAR(param), b[21] = UCHAR(USHORT(param) >> 8);
    return b;
}

// Device button `button` switches to profile `id` while it is down.
inline Bytes switch_on_button(UCHAR button, SHORT id) { return stored_bind(SOURCE_BUTTON, button, 1, ACTION_PROFIL, id); }
// Device axis `axis` drives joystick axis `joystick`.
inline Bytes axis_to_joystick(UCHAR axis, UCHAR joystick) { return stored_bind(SOURCE_AXIS, axis, 0, ACTION_JOY_AXIS, joystick); }

inline void store_profile(SHORT id, std::vector<Bytes> binds = {})
{
    const std::string key = kLayout + "\\Layout - " + std::to_string(id);
    sim::reg_set_dword(key, "Profil_Id", uint32_t(USHORT(id)));
    sim::reg_set_string(key, "Profil_Name", key.substr(kLayout.size() + 1));
    sim::reg_set_dword(key, "DeadZone", 20);
    for (size_t n = 0; n < binds.size(); n++)
        sim::reg_set_binary(key, "Bind - " + std::to_string(n + 1), binds[n]);
}

class HidDeviceTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::clock_manual();
        driver = std::make_unique<sim::DriverObject>();
        driver->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MIVO_DispatchIntDevice;
        HID_MINIDRIVER_REGISTRATION reg{};
        reg.Revision = HID_REVISION;
        reg.DriverObject = driver->get();
        reg.RegistryPath = driver->registry_path();
        reg.DeviceExtensionSize = sizeof(DEVICE_EXTENSION);
        ASSERT_EQ(HidRegisterMinidriver(&reg), STATUS_SUCCESS);
        usb = std::make_unique<sim::UsbDevice>();
        // Reads enough for every report one step can make due.
        hid = std::make_unique<sim::HidClassDevice>(usb->pdo(), sim::HidClassOptions{.reads = 8});
        ASSERT_EQ(hid->status(), STATUS_SUCCESS);
        self = hid->device();
        dx = hid->mini_extension<DEVICE_EXTENSION>();

        dx->IoCount = 1;
        KeInitializeEvent(&dx->RemoveEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&dx->NewInputEvent, SynchronizationEvent, FALSE);
        InitializeListHead(&dx->ReadQueue);
        KeInitializeSpinLock(&dx->ReadQueueLock);
        dx->RegistryPath = *driver->registry_path();
        dx->Self = self;
        dx->LowerDeviceObject = hid->hid_extension()->NextDeviceObject;
        MIVO_post_reload(dx);

        dx->ControlPipe = sim::kUsbDefaultPipe;
        const Bytes device = usb->device_descriptor();
        std::memcpy(&dx->DeviceDescriptor, device.data(), sizeof(dx->DeviceDescriptor));
        dx->DeviceReportDescriptor = const_cast<PUCHAR>(own_descriptor.data());
        dx->DeviceReportDescriptorLength = USHORT(own_descriptor.size());
        dx->ReportDescriptorLength = USHORT(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + own_descriptor.size());
        MIVO_device_state_set(dx, DEVICE_STATE_STARTED);
    }

    void TearDown() override
    {
        // Each read goes back through its own cancel routine, so a queue left
        // broken by the test cannot trap the teardown.
        for (auto &r : reads)
            if (r->outstanding()) r->cancel();
        reads.clear();
        if (hid) {
            EXPECT_TRUE(hid->stop_reading());
        }
        if (dx) {
            MIVO_Led_Queue_Clear(dx);
            MIVO_Delete_Profil(dx);
        }
        hid.reset();
        usb.reset();
        driver.reset();
        LedFlag = 0;
        SimTest::TearDown();
    }

    // One pass of the HID worker's loop: the rebuild a reload asks for, then a step.
    void pass()
    {
        if (MIVO_take_reload(dx)) MIVO_InitState(dx);
        MIVO_hid_step(dx);
    }

    // An internal request through the dispatch routine, its output buffer
    // filled with kUntouched.
    std::unique_ptr<sim::Request> send(ULONG ioctl, ULONG output_length = 0)
    {
        auto r = std::make_unique<sim::Request>(self, sim::RequestSpec{.ioctl = ioctl, .output_length = output_length});
        std::fill(r->output().begin(), r->output().end(), kUntouched);
        r->send();
        return r;
    }

    // A read as the class driver sends it; it stays the fixture's.
    sim::Request &read(ULONG length = 64)
    {
        reads.push_back(send(IOCTL_HID_READ_REPORT, length));
        return *reads.back();
    }

    sim::HidWriteResult write(const Bytes &report, ULONG ioctl = IOCTL_HID_WRITE_REPORT)
    {
        return hid->write(report, ioctl);
    }

    SHORT current_id() const { return dx->CurrentProfil ? dx->CurrentProfil->Profil_Id : SHORT(-2); }

    // The On_Time of each queued LED entry: which pattern is queued.
    std::vector<LONGLONG> led_pattern() const
    {
        std::vector<LONGLONG> out;
        for (LED_ENTRY *e = dx->LedQueue; e != nullptr; e = e->Next) out.push_back(e->On_Time);
        return out;
    }

    const Bytes &own_descriptor = sim::UsbDevice::standard_report_descriptor();
    std::unique_ptr<sim::DriverObject> driver;
    std::unique_ptr<sim::UsbDevice> usb;
    std::unique_ptr<sim::HidClassDevice> hid;
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_EXTENSION dx = nullptr;
    std::vector<std::unique_ptr<sim::Request>> reads;
};

} // namespace hid_device
