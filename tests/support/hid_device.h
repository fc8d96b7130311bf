// The whole driver started on the virtual controller under the simulated HID
// class driver: loaded from DriverEntry, added and started by PnP requests,
// interrogated, its USB and HID workers running in virtual time. A derived
// fixture fills the profile store in before_start(), since the start's reload
// is what reads it. Requests sent to `self` go through the class driver's
// dispatch table to the real dispatch routine. The teardown removes the
// device (bounded: a removal that hangs fails the test) and unloads the
// driver; the simulated kernel then reports anything leaked or left pending.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
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

// Runs a request that must not hang on a thread of its own. When it has not
// returned within the bound, the test fails and `unblock` frees it.
inline NTSTATUS bounded(std::function<NTSTATUS()> request, std::function<void()> unblock = {})
{
    using namespace std::chrono_literals;
    std::packaged_task<NTSTATUS()> task(std::move(request));
    auto result = task.get_future();
    std::thread runner(std::move(task));
    if (result.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the request did not return within 5 s";
        if (unblock) unblock();
    }
    runner.join();
    return result.get();
}

// What ends a silent device's pending interrupt read from outside the driver.
inline std::function<void()> speak(sim::UsbDevice &usb)
{
    return [&usb] {
        usb.silence(false);
        for (int i = 0; i < 100; i++) usb.push_buttons(0);
    };
}

// The end of a test's device: the removal (bounded; it must end every
// worker) unless the test removed it, then the driver unloaded once the
// device object is gone, and the LED resting state back to its load value.
inline void remove_and_unload(std::unique_ptr<sim::LoadedDriver> &driver, std::unique_ptr<sim::UsbDevice> &usb,
                              std::unique_ptr<sim::HidClassDevice> &hid, PDEVICE_EXTENSION dx)
{
    if (hid && hid->status() == STATUS_SUCCESS && MIVO_device_state(dx) != DEVICE_STATE_REMOVED) {
        EXPECT_EQ(bounded([&] { return hid->remove(); }, speak(*usb)), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::threads_running(), 0u) << "the removal ends and waits for every worker";
    hid.reset();
    usb.reset();
    if (driver) driver->unload();
    InterlockedExchange(&LedFlag, 0);
}

class HidDeviceTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        driver = std::make_unique<sim::LoadedDriver>(DriverEntry);
        ASSERT_EQ(driver->status(), STATUS_SUCCESS);
        usb = std::make_unique<sim::UsbDevice>();
        hid = std::make_unique<sim::HidClassDevice>(usb->pdo(), options);
        ASSERT_EQ(hid->status(), STATUS_SUCCESS);
        self = hid->device();
        dx = hid->mini_extension<DEVICE_EXTENSION>();
        before_start();
        ASSERT_EQ(hid->start(), STATUS_SUCCESS) << hid->failure();
        sim::clock_settle();
    }

    void TearDown() override
    {
        remove_and_unload(driver, usb, hid, dx);
        // The removal cancelled what the test left queued; a read still out
        // is reported by the kernel as never completed.
        reads.clear();
        hid.reset();
        usb.reset();
        driver.reset();
        SimTest::TearDown();
    }

    // The profile store as the start's reload should find it.
    virtual void before_start() {}

    // One period of the HID worker: the clock moves 10 ms, and what that
    // wakes runs until every thread waits again.
    static void pass() { sim::clock_advance_ms(10); }

    // An internal request through the dispatch routine, its output buffer
    // filled with kUntouched. What it sets going has run its course on return.
    std::unique_ptr<sim::Request> send(ULONG ioctl, ULONG output_length = 0, PDEVICE_OBJECT target = nullptr)
    {
        auto r = std::make_unique<sim::Request>(target ? target : self,
                                                sim::RequestSpec{.ioctl = ioctl, .output_length = output_length});
        std::fill(r->output().begin(), r->output().end(), kUntouched);
        r->send();
        sim::clock_settle();
        return r;
    }

    // A read of the test's own beside the class driver's; it stays the
    // fixture's until the teardown.
    sim::Request &read(ULONG length = 64)
    {
        reads.push_back(send(IOCTL_HID_READ_REPORT, length));
        return *reads.back();
    }

    sim::HidWriteResult write(const Bytes &report, ULONG ioctl = IOCTL_HID_WRITE_REPORT)
    {
        return hid->write(report, ioctl);
    }

    // Read only while the workers wait (after a pass or a settle).
    SHORT current_id() const { return dx->CurrentProfil ? dx->CurrentProfil->Profil_Id : SHORT(-2); }

    // The On_Time of each queued LED entry: which pattern is queued. Read
    // only while the workers wait.
    std::vector<LONGLONG> led_pattern() const
    {
        std::vector<LONGLONG> out;
        for (LED_ENTRY *e = dx->LedQueue; e != nullptr; e = e->Next) out.push_back(e->On_Time);
        return out;
    }

    // The report IDs the class driver got since the last call, in order.
    Bytes delivered_ids()
    {
        Bytes ids;
        for (const sim::HidDelivered &d : hid->take_reports()) ids.push_back(d.bytes.at(0));
        return ids;
    }

    sim::HidClassOptions options; // set by a derived fixture's constructor
    std::unique_ptr<sim::LoadedDriver> driver;
    std::unique_ptr<sim::UsbDevice> usb;
    std::unique_ptr<sim::HidClassDevice> hid;
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_EXTENSION dx = nullptr;
    std::vector<std::unique_ptr<sim::Request>> reads;
};

} // namespace hid_device
