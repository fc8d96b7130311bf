// A device as the HID class driver and the USB bus leave it for the HID side:
// the minidriver's context on a HID device object (so reads can be queued the
// way the dispatch routine queues them), the virtual controller below it on
// the default pipe, and a profile store under the service key. pass() is one
// pass of the HID worker's loop: the rebuild a reload asks for, then a step.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace hid_device {

using Bytes = std::vector<uint8_t>;

inline const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
inline const WCHAR kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

// A stored bind, its 34 bytes as the registry holds them.
inline Bytes stored_bind(ULONG source_type, UCHAR index, SHORT s1, SHORT s2, ULONG action, SHORT param,
                         LONG trigger = TRIGGER_DIRECT)
{
    Bytes b(BIND_PERSISTED_SIZE, 0);
    b[0] = UCHAR(source_type);
    b[4] = index;
    b[6] = UCHAR(s1), b[7] = UCHAR(USHORT(s1) >> 8);
    b[8] = UCHAR(s2), b[9] = UCHAR(USHORT(s2) >> 8);
    b[16] = UCHAR(action);
    b[20] = UCHAR(param), b[21] = UCHAR(USHORT(param) >> 8);
    b[30] = UCHAR(trigger);
    return b;
}

// Device button `button` switches to profile `id` while it is down.
inline Bytes switch_on_button(UCHAR button, SHORT id)
{
    return stored_bind(SOURCE_BUTTON, button, 0, 1, ACTION_PROFIL, id);
}

// Device axis `axis` drives joystick axis `joystick`.
inline Bytes axis_to_joystick(UCHAR axis, UCHAR joystick)
{
    return stored_bind(SOURCE_AXIS, axis, 0, 0, ACTION_JOY_AXIS, joystick);
}

inline void store_profile(const std::string &subkey, SHORT id, std::vector<Bytes> binds = {})
{
    const std::string key = kLayout + "\\" + subkey;
    sim::reg_set_dword(key, "Profil_Id", uint32_t(USHORT(id)));
    sim::reg_set_string(key, "Profil_Name", subkey);
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
        usb = std::make_unique<sim::UsbDevice>();
        driver = std::make_unique<sim::DriverObject>();
        hid = sim::create_hid_device(driver->get(), sizeof(DEVICE_EXTENSION), usb->pdo());
        ASSERT_NE(hid, nullptr);
        dx = sim::mini_extension<DEVICE_EXTENSION>(hid);
        InitializeListHead(&dx->ReadQueue);
        KeInitializeSpinLock(&dx->ReadQueueLock);
        RtlInitUnicodeString(&dx->RegistryPath, kServicePath);
        dx->Self = hid;
        dx->LowerDeviceObject = sim::hid_extension(hid)->NextDeviceObject;
        dx->ControlPipe = sim::kUsbDefaultPipe; // as the start's device-descriptor read leaves it
        MIVO_post_reload(dx);                   // as device addition leaves it
    }

    void TearDown() override
    {
        if (dx != nullptr) {
            MIVO_cancel_all_reads(dx);
            MIVO_Led_Queue_Clear(dx);
            MIVO_Delete_Profil(dx);
        }
        reads.clear();
        sim::delete_device(hid);
        driver.reset();
        usb.reset();
        LedFlag = 0;
        SimTest::TearDown();
    }

    // One pass of the HID worker's loop.
    void pass()
    {
        if (MIVO_take_reload(dx)) MIVO_InitState(dx);
        MIVO_hid_step(dx);
    }

    // A write as the HID class driver hands it over: the status and the
    // length that comes back.
    struct Written {
        NTSTATUS status;
        ULONG length;
    };
    Written write(Bytes report)
    {
        report.reserve(16); // a buffer of its own, never an empty vector's null
        ULONG length = ULONG(report.size());
        NTSTATUS status = MIVO_hid_write_rep(dx, report.data(), &length, report.empty() ? 0 : report[0]);
        return {status, length};
    }

    // A read queued the way the dispatch routine queues it.
    sim::Request &queue_read(ULONG length = 64)
    {
        auto r = std::make_unique<sim::Request>(
            hid, sim::RequestSpec{.ioctl = IOCTL_HID_READ_REPORT, .output_length = length});
        r->point_at_target();
        IoMarkIrpPending(r->irp());
        MIVO_queue_read(dx, r->irp());
        reads.push_back(std::move(r));
        return *reads.back();
    }

    SHORT current_id() const { return dx->CurrentProfil ? dx->CurrentProfil->Profil_Id : SHORT(-2); }

    // The On_Time of each queued LED entry: which pattern is queued.
    std::vector<LONGLONG> led_pattern() const
    {
        std::vector<LONGLONG> out;
        for (LED_ENTRY *e = dx->LedQueue; e != nullptr; e = e->Next)
            out.push_back(e->On_Time);
        return out;
    }

    std::unique_ptr<sim::UsbDevice> usb;
    std::unique_ptr<sim::DriverObject> driver;
    PDEVICE_OBJECT hid = nullptr;
    PDEVICE_EXTENSION dx = nullptr;
    std::vector<std::unique_ptr<sim::Request>> reads;
};

} // namespace hid_device
