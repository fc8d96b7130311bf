// The LED feedback queue as the virtual controller sees it: every LED command
// with the interrupt time it arrived at, while the worker's 10 ms passes tick
// the queue on a hand-set clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "hid/hid.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"
#include "usb/usb.h"

namespace {

// One LED command: milliseconds after the pattern started, and on or off.
struct Blink {
    uint64_t ms;
    bool on;
    bool operator==(const Blink &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Blink &b)
{
    return os << "{" << b.ms << " ms, " << (b.on ? "on" : "off") << "}";
}

class LedQueue : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        usb = std::make_unique<sim::UsbDevice>();
        std::memset(&ext_, 0, sizeof(ext_));
        dx->LowerDeviceObject = usb->pdo();
        // The LED commands go over the default pipe, whose handle the start's
        // device-descriptor read brings.
        URB urb{};
        USB_DEVICE_DESCRIPTOR device{};
        UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device), nullptr);
        ASSERT_EQ(MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr), STATUS_SUCCESS);
        dx->ControlPipe = urb.UrbControlDescriptorRequest.Reserved;
        usb->clear_records();
        sim::trace_clear();
        start = sim::clock_now();
    }

    void TearDown() override
    {
        MIVO_Led_Queue_Clear(dx);
        LedFlag = 0;
        usb.reset();
        SimTest::TearDown();
    }

    // The worker's passes: one tick every 10 ms while the queue holds
    // anything, for at most `limit_ms`. Leaves the clock after the last pass.
    void run(uint64_t limit_ms = 5000)
    {
        for (uint64_t ms = 0; ms <= limit_ms && dx->LedQueue != nullptr; ms += 10) {
            MIVO_Led_Queue_Run(dx);
            sim::clock_advance_ms(10);
        }
    }

    // Every LED command the device received since the last clear_records().
    std::vector<Blink> blinks() const
    {
        std::vector<Blink> out;
        for (const sim::ControlTransfer &t : usb->set_reports()) {
            if (t.data.size() == 2 && t.data[0] == 0x04)
                out.push_back({(t.time - start) / MS_TO_INTERRUPT_TIME, t.data[1] != 0});
        }
        return out;
    }

    std::unique_ptr<sim::UsbDevice> usb;
    DEVICE_EXTENSION ext_;
    PDEVICE_EXTENSION dx = &ext_;
    uint64_t start = 0;
};

// A phase changes at the first pass after its due time (a pass exactly at it
// does nothing); the last command puts the LED back to its resting state once
// the entry's end is seen at a change. With LedFlag 0 every command is "off".
TEST_F(LedQueue, PatternsAsTheDeviceSeesThem)
{
    const struct {
        const char *name;
        void (*show)(PDEVICE_EXTENSION);
        std::vector<Blink> lit; // with LedFlag 1
    } cases[] = {
        {"selection: two blinks of 125 ms", MIVO_Led_Show_Profil,
         {{0, true}, {130, false}, {260, true}, {390, false}, {520, true}}},
        // Each entry hands its phase on: the first ends lit, so the second
        // starts dark; the second ends dark, so the third starts lit. Between
        // entries the LED shows its resting state for one pass.
        {"reload: faster and faster", MIVO_Led_Show_Reload,
         {{0, true}, {260, false}, {390, true}, {650, true}, {660, false}, {740, true}, {900, false},
          {980, true}, {1140, false}, {1220, true}, {1230, true}, {1340, false}, {1400, true}, {1510, false},
          {1570, true}, {1680, false}, {1740, true}}},
    };
    for (const auto &c : cases) {
        for (UCHAR flag : {1, 0}) {
            SCOPED_TRACE(testing::Message() << c.name << ", LedFlag " << int(flag));
            LedFlag = flag;
            usb->clear_records();
            start = sim::clock_now();
            c.show(dx);
            run();
            std::vector<Blink> want = c.lit;
            for (Blink &b : want) b.on = b.on && flag;
            EXPECT_EQ(blinks(), want);
            EXPECT_EQ(dx->LedQueue, nullptr) << "the pattern ran out";
            EXPECT_EQ(usb->led(), flag != 0) << "the LED rests at LedFlag";
            sim::clock_advance_ms(1000);
        }
    }
}

TEST_F(LedQueue, ClearingMidPhaseLeavesTheLedUntilTheNextEntry)
{
    LedFlag = 1;
    MIVO_Led_Show_Profil(dx);
    MIVO_Led_Queue_Run(dx);
    sim::clock_advance_ms(60);
    ASSERT_TRUE(usb->led());
    usb->clear_records();
    MIVO_Led_Queue_Clear(dx);
    EXPECT_EQ(dx->LedQueue, nullptr);
    EXPECT_TRUE(blinks().empty()) << "clearing sends nothing";
    EXPECT_TRUE(usb->led());
    EXPECT_EQ(sim::pool_stats().live_allocations, 0u) << "every entry was freed";
    MIVO_Led_Show_Config(dx);
    start = sim::clock_now();
    MIVO_Led_Queue_Run(dx);
    EXPECT_EQ(blinks(), (std::vector<Blink>{{0, true}})) << "the new entry acts at its first pass";
}

TEST_F(LedQueue, EntryThatCannotBeAllocatedIsLeftOut)
{
    LedFlag = 1;
    sim::pool_fail_nth(2);

    MIVO_Led_Show_Reload(dx);

    EXPECT_EQ(sim::trace_lines(), std::vector<std::string>{"> Leave: MIVO_Led_Queue_Add: ExAllocatePool Error"});
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->On_Time, 250) << "the rest of the pattern is still there";
    ASSERT_NE(dx->LedQueue->Next, nullptr);
    EXPECT_EQ(dx->LedQueue->Next->On_Time, 100);
    EXPECT_EQ(dx->LedQueue->Next->Next, nullptr);

    run();
    EXPECT_EQ(dx->LedQueue, nullptr);
    EXPECT_TRUE(usb->led());
}

} // namespace
