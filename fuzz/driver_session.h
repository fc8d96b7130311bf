// The whole driver for one fuzz input: loaded from DriverEntry, added and
// started on the virtual controller under the simulated HID class driver with
// a small profile store, its workers running in virtual time; at the end
// removed and unloaded, and the kernel asked whether anything leaked, stayed
// open or was completed twice or never. Requests come from this thread, so
// a session is deterministic.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fuzz/fuzz.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "platform/sim/usb_device.h"

namespace fuzz {

// Three profiles the commands can select, with binds that react to input:
// button 0 switches to profile 2 while down, translation X drives joystick X
// and rotation Z presses key 'a' (usage 4).
inline void store_profiles()
{
    const std::string layout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
    sim::reg_set_dword(layout, "Default_Profil", 1);
    for (uint32_t id = 1; id <= 3; id++) {
        const std::string key = layout + "\\Layout - " + std::to_string(id);
        sim::reg_set_dword(key, "Profil_Id", id);
        sim::reg_set_string(key, "Profil_Name", "Profile " + std::to_string(id));
        sim::reg_set_dword(key, "DeadZone", 20);
        std::vector<uint8_t> to_profile(BIND_PERSISTED_SIZE, 0), axis(BIND_PERSISTED_SIZE, 0),
            key_a(BIND_PERSISTED_SIZE, 0);
        to_profile[0] = SOURCE_BUTTON, to_profile[8] = 1, to_profile[16] = ACTION_PROFIL, to_profile[20] = 2;
        axis[0] = SOURCE_AXIS, axis[4] = 0, axis[16] = ACTION_JOY_AXIS, axis[20] = 0;
        key_a[0] = SOURCE_AXIS, key_a[4] = 5, key_a[16] = ACTION_KEYBOARD, key_a[20] = KEY_PRESS, key_a[23] = 4;
        sim::reg_set_binary(key, "Bind - 1", to_profile);
        sim::reg_set_binary(key, "Bind - 2", axis);
        sim::reg_set_binary(key, "Bind - 3", key_a);
    }
}

class DriverSession {
public:
    DriverSession()
    {
        sim::reset();
        store_profiles();
        driver = std::make_unique<sim::LoadedDriver>(DriverEntry);
        check(driver->status() == STATUS_SUCCESS, "DriverEntry succeeds");
        usb = std::make_unique<sim::UsbDevice>();
        hid = std::make_unique<sim::HidClassDevice>(usb->pdo());
        check(hid->status() == STATUS_SUCCESS, "the device is added");
        check(hid->start() == STATUS_SUCCESS, "the device starts");
        sim::clock_settle();
    }

    // Removal ends both workers; a read the class driver still had out is
    // cancelled by it. Then nothing may be left.
    ~DriverSession()
    {
        check(hid->remove() == STATUS_SUCCESS, "the removal succeeds");
        check(sim::threads_running() == 0, "the removal ends every worker");
        hid.reset();
        usb.reset();
        driver->unload();
        driver.reset();
        InterlockedExchange(&LedFlag, 0);
        check(sim::reg_open_handles() == 0, "every registry key opened is closed");
        check_kernel();
    }

    // The clock moves by `ms`; what that wakes runs until every thread waits
    // again. Whatever the class driver got is checked by it (report IDs and
    // lengths of the descriptor) and taken, so it does not pile up.
    void advance(uint64_t ms)
    {
        sim::clock_advance_ms(ms);
        hid->take_reports();
    }

    std::unique_ptr<sim::LoadedDriver> driver;
    std::unique_ptr<sim::UsbDevice> usb;
    std::unique_ptr<sim::HidClassDevice> hid;
};

} // namespace fuzz
