// The command channel against the HID worker: a writer thread sends every
// command through the class driver while the device's reports drive the
// worker through rebuilds, the gesture in and out, profile switches by binds,
// and reports handed to the class driver's reads. The writer only posts to
// the worker and ORs PendingReports with an interlocked operation, so
// ThreadSanitizer sees no race and AddressSanitizer no freed LED entry or
// profile touched; the simulated kernel finds no leak.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/hid_device.h"

namespace {

using namespace hid_device;

class ThreadedCommandRace : public HidDeviceTest {
protected:
    void before_start() override
    {
        sim::reg_set_dword(kLayout, "Default_Profil", 2);
        // Button 0 hands over from 1 to 2 to 3 and back; button 1 asks for
        // a profile that is not stored, which falls back to the default.
        store_profile(1, {switch_on_button(0, 2), axis_to_joystick(0, 0)});
        store_profile(2, {switch_on_button(0, 3), switch_on_button(1, 9), axis_to_joystick(1, 1)});
        store_profile(3, {switch_on_button(0, 1), axis_to_joystick(2, 2)});
    }

    // The device's report for pass `n` of a 6-second cycle of 10 ms passes:
    // the gesture held until it enters, button 1 (next profile) and button 0
    // (default) in gesture mode, the cap pulled up to leave, then button 0
    // pressed and released on the profile binds with the cap moving.
    Bytes device_report(int n) const
    {
        const int t = n % 600;
        auto translation = [](int16_t x, int16_t y, int16_t z) {
            return Bytes{1, UCHAR(x), UCHAR(x >> 8), UCHAR(y), UCHAR(y >> 8), UCHAR(z), UCHAR(z >> 8)};
        };
        auto rotation = [](int16_t z) { return Bytes{2, 0, 0, 0, 0, UCHAR(z), UCHAR(z >> 8)}; };
        auto buttons = [](uint8_t b) { return Bytes{3, b, 0, 0, 0, 0, 0}; };
        if (t < 170) return t % 2 ? rotation(-350) : translation(0, 0, -350);
        if (t < 180) return rotation(0);
        if (t < 340) return t % 2 ? translation(0, 0, 0) : buttons(t < 330 ? 0 : 2);
        if (t < 500) return t % 2 ? buttons(t < 490 ? 0 : 1) : translation(0, 0, 0);
        if (t < 520) return t % 2 ? buttons(0) : translation(0, 0, 350);
        if (t % 10 == 0) return buttons(uint8_t((t / 10) % 3));
        return translation(int16_t((t * 37) % 720 - 360), int16_t(360 - (t * 11) % 720), 0);
    }
};

TEST_F(ThreadedCommandRace, WriterHammersEveryCommandWhileTheWorkerSteps)
{
    // Both sides go on until each has done its share: a period is much
    // cheaper than a write, whose trace and transfers go through the
    // simulated kernel.
    constexpr int kPeriods = 1200, kWrites = 600, kMostPeriods = 100000;
    const Bytes commands[] = {
        {0xF0, 0x08, 0x01, 0x00}, {0xF0, 0xFF, 0x01},       {0xF0, 0x01},       {0xF0, 0x04, 0x01},
        {0xF0, 0x08, 0x09, 0x00}, {0xF0, 0x06},             {0xF0, 0xFF, 0x00}, {0xF0, 0x08, 0xFF, 0xFF},
        {0xF0, 0x07},             {0xF0, 0x04, 0x00},       {0xF0, 0x08, 0x03}, {0xF0, 0x03},
        {0x05, 0x42},             {0xF0, 0x08, 0x02, 0x00}, {0xF0, 0x01},       {0xF0, 0xFF, 0x00},
    };
    const Bytes reload{0xF0, 0x02};

    std::atomic<bool> done{false};
    std::atomic<int> writes{0}, failures{0};
    std::thread writer([&] {
        for (int i = 0; !done.load(); i++) {
            // A rebuild reads the whole store: every 20th write is enough to
            // have many of them land inside a step.
            const Bytes &report = i % 20 == 19 ? reload : commands[i % std::size(commands)];
            if (hid->write(report, kWriteCodes[i % 3]).status != STATUS_SUCCESS) failures++;
            writes++;
            // Paced, so that the worker's periods are not starved of the
            // two cores a CI machine has.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // The device sends one report per period of the HID worker.
    int delivered = 0, profile_changes = 0, n = 0;
    SHORT last_profile = -2;
    for (; (n < kPeriods || writes < kWrites) && n < kMostPeriods; n++) {
        usb->push_report(device_report(n));
        pass();
        for (const sim::HidDelivered &d : hid->take_reports()) {
            delivered++;
            if (d.bytes.at(0) != REPORT_ID_STATUS) continue;
            const SHORT id = SHORT(d.bytes.at(2) | d.bytes.at(3) << 8);
            if (id != last_profile) profile_changes++, last_profile = id;
        }
    }
    done = true;
    writer.join();

    EXPECT_EQ(failures, 0);
    EXPECT_GE(writes, kWrites) << "the writer ran alongside the worker";
    EXPECT_GT(delivered, kPeriods / 2) << "reports went out throughout";
    EXPECT_GT(profile_changes, 20) << "binds, the gesture, commands and rebuilds switched profiles";
    EXPECT_EQ(hid->reads_failed(), 0u);

    // What the writer left posted is taken by the next step, and the state
    // is whole: the current profile is one of the list, the LED queue ends.
    pass();
    EXPECT_EQ(LONG(dx->ProfilRequest), 0);
    EXPECT_EQ(LONG(dx->ModeConfigRequest), 0);
    bool listed = dx->CurrentProfil == nullptr;
    for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) listed = listed || p == dx->CurrentProfil;
    EXPECT_TRUE(listed);
    int entries = 0;
    for (LED_ENTRY *e = dx->LedQueue; e != nullptr && entries < 100; e = e->Next) entries++;
    EXPECT_LE(entries, 3) << "no pattern is longer than the reload pattern";
}

} // namespace
