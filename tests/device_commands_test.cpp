// Device commands and forwarded reports as the virtual controller received
// them: setup packet, data bytes and the length handed back; refusals that
// send nothing; and concurrent senders each keeping their own report ID.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "hid/hid.h"
#include "platform/kernel.h"
#include "platform/sim/io.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"
#include "usb/usb.h"

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

using Packet = std::array<uint8_t, 8>;
using Bytes = std::vector<uint8_t>;

class DeviceCommands : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        usb = std::make_unique<sim::UsbDevice>();
        dx.LowerDeviceObject = usb->pdo();
        // The default pipe's handle comes with the device-descriptor read of
        // the start; the commands only need that much of the bring-up.
        URB urb{};
        USB_DEVICE_DESCRIPTOR device{};
        UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device), nullptr);
        ASSERT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr), STATUS_SUCCESS);
        dx.ControlPipe = urb.UrbControlDescriptorRequest.Reserved;
        ASSERT_NE(dx.ControlPipe, nullptr);
        usb->clear_records();
        sim::trace_clear();
    }
    void TearDown() override {
        usb.reset();
        EXPECT_EQ(sim::irps_live(), 0u);
        SimTest::TearDown();
    }

public:
    std::unique_ptr<sim::UsbDevice> usb;
    DEVICE_EXTENSION dx{};
};

} // namespace

// Each command or report, what the device saw, and the length handed back.
TEST_F(DeviceCommands, EachGoesOutAsOneSetReport) {
    struct Case {
        const char *name;
        std::function<NTSTATUS(PDEVICE_EXTENSION, ULONG *)> send;
        Packet setup;
        Bytes data;
        ULONG length_back;
    };
    const Case cases[] = {
        {"LED on", [](PDEVICE_EXTENSION d, ULONG *) { return MIVO_nav_led(d, 1); },
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x01}, 0},
        {"LED on from any non-zero byte", [](PDEVICE_EXTENSION d, ULONG *) { return MIVO_nav_led(d, 0x80); },
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x01}, 0},
        {"LED off", [](PDEVICE_EXTENSION d, ULONG *) { return MIVO_nav_led(d, 0); },
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x00}, 0},
        {"init", [](PDEVICE_EXTENSION d, ULONG *) { return MIVO_nav_init(d); },
         {0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x06, 0x03}, 0},
        {"calibrate", [](PDEVICE_EXTENSION d, ULONG *) { return MIVO_nav_calibrate(d); },
         {0x21, 0x09, 0x07, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x07, 0x00}, 0},
        {"report 4 of 4 bytes is cut to the LED's 2",
         [](PDEVICE_EXTENSION d, ULONG *len) {
             UCHAR r[] = {0x04, 0x01, 0xAA, 0xBB};
             *len = sizeof(r);
             return MIVO_nav_set_report(d, r, len);
         },
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x01}, 2},
        {"feature report 5 of 2 bytes",
         [](PDEVICE_EXTENSION d, ULONG *len) {
             UCHAR r[] = {0x05, 0x42};
             *len = sizeof(r);
             return MIVO_nav_set_report(d, r, len);
         },
         {0x21, 0x09, 0x05, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x05, 0x42}, 2},
        {"feature report of 5 bytes states its length",
         [](PDEVICE_EXTENSION d, ULONG *len) {
             UCHAR r[] = {0x09, 1, 2, 3, 4};
             *len = sizeof(r);
             return MIVO_nav_set_report(d, r, len);
         },
         {0x21, 0x09, 0x09, 0x03, 0x00, 0x00, 0x05, 0x00}, {0x09, 1, 2, 3, 4}, 5},
        {"one-byte feature report",
         [](PDEVICE_EXTENSION d, ULONG *len) {
             UCHAR r[] = {0x30};
             *len = sizeof(r);
             return MIVO_nav_set_report(d, r, len);
         },
         {0x21, 0x09, 0x30, 0x03, 0x00, 0x00, 0x01, 0x00}, {0x30}, 1},
        {"the device's own init report written by the application",
         [](PDEVICE_EXTENSION d, ULONG *len) {
             UCHAR r[8] = {0x06, 0x03};
             *len = 8;
             return MIVO_nav_set_report(d, r, len);
         },
         {0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x08, 0x00}, {0x06, 0x03, 0, 0, 0, 0, 0, 0}, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        usb->clear_records();
        ULONG length = 0;
        EXPECT_EQ(c.send(&dx, &length), STATUS_SUCCESS);
        std::vector<sim::ControlTransfer> seen = usb->set_reports();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_THAT(seen[0].setup, ElementsAreArray(c.setup));
        EXPECT_EQ(seen[0].data, c.data);
        EXPECT_FALSE(seen[0].in);
        if (c.length_back) {
            EXPECT_EQ(length, c.length_back) << "the length comes back as the bytes the transfer reported";
        }
    }
    EXPECT_THAT(sim::trace_lines(), IsEmpty()) << "successful commands are silent";
}

TEST_F(DeviceCommands, LedCommandsSwitchTheDevicesLed) {
    ASSERT_EQ(MIVO_nav_led(&dx, 1), STATUS_SUCCESS);
    EXPECT_TRUE(usb->led());
    ASSERT_EQ(MIVO_nav_led(&dx, 0), STATUS_SUCCESS);
    EXPECT_FALSE(usb->led());
    EXPECT_EQ(usb->led_log().size(), 2u);
}

TEST_F(DeviceCommands, FailuresComeBackAndNothingIsRetried) {
    struct Case {
        const char *name;
        std::function<void(DeviceCommands &)> arrange;
        ULONG length;
        NTSTATUS expected;
        size_t sent; // SET_REPORT requests the device saw
    };
    const Case cases[] = {
        {"no control pipe yet", [](DeviceCommands &t) { t.dx.ControlPipe = nullptr; }, 2, STATUS_INVALID_HANDLE, 0},
        {"no control pipe and an empty report", [](DeviceCommands &t) { t.dx.ControlPipe = nullptr; }, 0,
         STATUS_INVALID_HANDLE, 0},
        {"empty report", [](DeviceCommands &) {}, 0, STATUS_INVALID_PARAMETER, 0},
        {"no pool for the request block", [](DeviceCommands &) { sim::pool_fail_nth(1); }, 2,
         STATUS_INSUFFICIENT_RESOURCES, 0},
        {"stalled", [](DeviceCommands &t) { t.usb->fail_control(sim::ControlFault::Stall); }, 2,
         STATUS_UNSUCCESSFUL, 1},
        {"not responding", [](DeviceCommands &t) { t.usb->fail_control(sim::ControlFault::NotResponding); }, 2,
         STATUS_UNSUCCESSFUL, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PVOID pipe = dx.ControlPipe;
        usb->clear_records();
        c.arrange(*this);
        UCHAR report[8] = {0x05, 0x01};
        ULONG length = c.length;
        EXPECT_EQ(MIVO_nav_set_report(&dx, report, &length), c.expected);
        EXPECT_EQ(usb->set_reports().size(), c.sent);
        if (c.sent == 0) {
            EXPECT_THAT(usb->urbs(), IsEmpty()) << "refused before anything reached the bus";
        }
        usb->fail_control(sim::ControlFault::None);
        sim::pool_fail_clear();
        dx.ControlPipe = pipe;
    }
}

// Senders on different threads (write requests, the start, the LED queue)
// must each go out with their own report ID and length: a shared setup
// template would let one thread's ID leak into another's request.
class ThreadedDeviceCommands : public DeviceCommands {};

TEST_F(ThreadedDeviceCommands, ConcurrentReportsKeepTheirOwnIdAndLength) {
    constexpr int kPerThread = 200;
    std::atomic<int> failures{0};
    auto sender = [&](UCHAR id, ULONG size) {
        for (int i = 0; i < kPerThread; i++) {
            UCHAR report[8] = {id, (UCHAR)i};
            ULONG length = size;
            if (MIVO_nav_set_report(&dx, report, &length) != STATUS_SUCCESS)
                failures++;
        }
    };
    std::thread a(sender, UCHAR(0x05), 3);
    std::thread b(sender, UCHAR(0x0A), 6);
    std::thread c([&] {
        for (int i = 0; i < kPerThread; i++)
            if (MIVO_nav_led(&dx, UCHAR(i & 1)) != STATUS_SUCCESS)
                failures++;
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures, 0);

    std::vector<sim::ControlTransfer> seen = usb->set_reports();
    ASSERT_EQ(seen.size(), 3u * kPerThread);
    for (const sim::ControlTransfer &t : seen) {
        ASSERT_FALSE(t.data.empty());
        EXPECT_EQ(t.setup[2], t.data[0]) << "wValue's report ID is the report's own";
        EXPECT_EQ(t.setup[3], t.data[0] == DEVICE_REPORT_LED ? 0x02 : 0x03);
        EXPECT_EQ(t.setup[6], t.data.size()) << "wLength is the report's own length";
    }
}
