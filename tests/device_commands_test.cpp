// Device commands and forwarded reports as the virtual controller received
// them, a failure that is not retried, and concurrent senders each keeping
// their own report ID and length.

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

using Bytes = std::vector<uint8_t>;

class DeviceCommands : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        usb = std::make_unique<sim::UsbDevice>();
        dx.LowerDeviceObject = usb->pdo();
        dx.ControlPipe = sim::kUsbDefaultPipe; // as the start's device-descriptor read leaves it
    }
    void TearDown() override {
        usb.reset();
        EXPECT_EQ(sim::irps_live(), 0u);
        SimTest::TearDown();
    }

    std::unique_ptr<sim::UsbDevice> usb;
    DEVICE_EXTENSION dx{};
};

} // namespace

// Each command, or report handed to MIVO_nav_set_report, as the device saw it;
// a report's length comes back as the bytes the transfer moved.
TEST_F(DeviceCommands, EachGoesOutAsOneSetReport) {
    struct Case {
        const char *name;
        NTSTATUS (*command)(PDEVICE_EXTENSION); // none: `report` goes through MIVO_nav_set_report
        Bytes report;
        std::array<uint8_t, 8> setup;
        Bytes data;
    };
    const Case cases[] = {
        {"LED on from any non-zero byte", [](PDEVICE_EXTENSION d) { return MIVO_nav_led(d, 0x80); }, {},
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x01}},
        {"LED off", [](PDEVICE_EXTENSION d) { return MIVO_nav_led(d, 0); }, {},
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x00}},
        {"init", MIVO_nav_init, {}, {0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x06, 0x03}},
        {"calibrate", MIVO_nav_calibrate, {}, {0x21, 0x09, 0x07, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x07, 0x00}},
        {"report 4 of 4 bytes sends the LED's 2", nullptr, {0x04, 0x01, 0xAA, 0xBB},
         {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00}, {0x04, 0x01}},
        {"feature report 5", nullptr, {0x05, 0x42}, {0x21, 0x09, 0x05, 0x03, 0x00, 0x00, 0x02, 0x00}, {0x05, 0x42}},
        {"a longer feature report states its own length", nullptr, {0x09, 1, 2, 3, 4},
         {0x21, 0x09, 0x09, 0x03, 0x00, 0x00, 0x05, 0x00}, {0x09, 1, 2, 3, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        usb->clear_records();
        Bytes report = c.report;
        ULONG length = static_cast<ULONG>(report.size());
        EXPECT_EQ(c.command ? c.command(&dx) : MIVO_nav_set_report(&dx, report.data(), &length), STATUS_SUCCESS);
        std::vector<sim::ControlTransfer> seen = usb->set_reports();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_THAT(seen[0].setup, ElementsAreArray(c.setup));
        EXPECT_EQ(seen[0].data, c.data);
        EXPECT_EQ(length, c.command ? 0 : c.data.size());
    }
    EXPECT_THAT(sim::trace_lines(), IsEmpty()) << "successful commands are silent";
}

TEST_F(DeviceCommands, AFailureComesBackAndIsNotRetried) {
    usb->fail_control(sim::ControlFault::Stall);
    EXPECT_EQ(MIVO_nav_init(&dx), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb->set_reports().size(), 1u);
}

// Writers of the command channel, the start and the LED queue may send at
// once: a shared setup template would let one's report ID leak into another's.
class ThreadedDeviceCommands : public DeviceCommands {};

TEST_F(ThreadedDeviceCommands, ConcurrentReportsKeepTheirOwnIdAndLength) {
    constexpr int kPerThread = 500;
    std::atomic<int> failures{0};
    auto sender = [&](UCHAR id, ULONG size) {
        for (int i = 0; i < kPerThread; i++) {
            UCHAR report[8] = {id, UCHAR(i)};
            ULONG length = size;
            failures += id ? MIVO_nav_set_report(&dx, report, &length) != STATUS_SUCCESS
                           : MIVO_nav_led(&dx, UCHAR(i & 1)) != STATUS_SUCCESS;
        }
    };
    std::thread a(sender, UCHAR(0x05), 3), b(sender, UCHAR(0x0A), 6), c(sender, UCHAR(0), 0);
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

// The USB worker's read, end to end through the bus driver: it waits until the
// device sends, takes a short report at its real length, and fails without
// touching the length once the device is gone.
TEST_F(ThreadedDeviceCommands, InterruptReadWaitsTakesShortReportsAndFailsWhenUnplugged) {
    std::vector<uint8_t> config = usb->configuration_descriptor();
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_SUBMIT_URB, select, nullptr), STATUS_SUCCESS);
    dx.InterruptPipe = list[0].Interface->Pipes[0].PipeHandle;
    ExFreePoolWithTag(select, 0);

    UCHAR buffer[7] = {};
    ULONG length = sizeof(buffer);
    NTSTATUS status = STATUS_PENDING;
    std::thread reader([&] { status = MIVO_usb_read_interrupt(&dx, buffer, &length); });
    ASSERT_TRUE(usb->wait_pending_reads(1));
    usb->push_translation(300, -300, 0);
    reader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x01, 0x2C, 0x01, 0xD4, 0xFE, 0x00, 0x00}));

    usb->short_reports(2);
    usb->push_buttons(0x02);
    length = sizeof(buffer);
    EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x03, 0x02}));

    // Unplugged while the read waits: the bus fails it.
    length = sizeof(buffer);
    auto waiting = std::async(std::launch::async, [&] { return MIVO_usb_read_interrupt(&dx, buffer, &length); });
    EXPECT_TRUE(usb->wait_pending_reads(1));
    usb->unplug();
    if (waiting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        usb->plug(); // a report frees the reader so the test can fail instead of hanging
        usb->push_buttons(0);
        waiting.wait();
        FAIL() << "unplugging left the read pending";
    }
    EXPECT_EQ(waiting.get(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, sizeof(buffer)) << "a failed read leaves the length asked for";
}
