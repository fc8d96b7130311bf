// The USB bring-up steps on the virtual controller: the port check and its
// reset, the two-stage configuration read, the pipes of interfaces with 0 to
// 3 endpoints, the report descriptor and its 266-byte bound, every descriptor
// read failing in turn, the descriptor a restart replaces, and aborting a pipe.

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
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

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<uint8_t>;
const USBD_PIPE_HANDLE kStale = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xBAD));
const std::array<uint8_t, 8> kGetReportDescriptor = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x0A, 0x01};

std::string hex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(status));
    return buf;
}

std::string leave(const std::string &routine, const std::string &detail) {
    return "> Leave: " + routine + ": " + detail;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 1);
    return b;
}

// The trace without the entry line of the configuration read, whose pointers
// change from run to run (the entry line has its own test).
std::vector<std::string> trace_without_pointers() {
    std::vector<std::string> lines = sim::trace_lines();
    std::erase_if(lines, [](const std::string &l) { return l.starts_with("> Enter: MIVO_usb_get_conf_desc: "); });
    return lines;
}

class UsbBringup : public SimTest {
protected:
    void TearDown() override {
        MIVO_usb_release_descriptors(&dx);
        usb.reset();
        EXPECT_EQ(sim::irps_live(), 0u) << "every request built for the bus is released";
        SimTest::TearDown();
    }

    // A fresh device context over a fresh controller. Handles start stale so
    // that a step that should leave them alone is seen doing so.
    void plug(sim::UsbDeviceOptions options = {}) {
        MIVO_usb_release_descriptors(&dx);
        usb.reset();
        usb = std::make_unique<sim::UsbDevice>(std::move(options));
        dx = DEVICE_EXTENSION{};
        dx.LowerDeviceObject = usb->pdo();
        dx.InterruptPipe = dx.SecondPipe = kStale;
        dx.ConfigurationHandle = kStale;
        sim::trace_clear();
    }

    // A DeviceReportDescriptor from an earlier start, in pool as the driver's own.
    void previous_descriptor(const Bytes &bytes) {
        auto *p = static_cast<PUCHAR>(ExAllocatePool(NonPagedPoolNx, bytes.size()));
        ASSERT_NE(p, nullptr);
        std::memcpy(p, bytes.data(), bytes.size());
        dx.DeviceReportDescriptor = p;
        dx.DeviceReportDescriptorLength = USHORT(bytes.size());
    }

    Bytes stored_descriptor() const {
        return Bytes(dx.DeviceReportDescriptor, dx.DeviceReportDescriptor + dx.DeviceReportDescriptorLength);
    }

    std::vector<sim::ControlTransfer> descriptor_reads(uint8_t type) const {
        std::vector<sim::ControlTransfer> out;
        for (const sim::ControlTransfer &t : usb->control_transfers())
            if (sim::is_get_descriptor(t.setup, type))
                out.push_back(t);
        return out;
    }

    std::unique_ptr<sim::UsbDevice> usb;
    DEVICE_EXTENSION dx{};
};

} // namespace

// Only a connected port that is not enabled is reset, once, and asked again;
// an enabled one is never reset (a reset would drop its configuration). A
// refused allocation ends the reset where it falls (the allocation sweep
// refuses the first; the reset and the second question are only met here).
TEST_F(UsbBringup, PortStateDecidesTheReset) {
    struct Case {
        const char *name;
        std::function<void(sim::UsbDevice &)> state;
        NTSTATUS expected;
        int queries, resets;
        std::vector<std::string> trace;
        size_t refuse = 0; // the allocation refused, 0 for none
    };
    const std::string kReset = "MIVO_usb_reset", kNoPoolHex = hex(STATUS_INSUFFICIENT_RESOURCES);
    const Case cases[] = {
        {"connected and enabled", [](sim::UsbDevice &) {}, STATUS_SUCCESS, 1, 0, {}},
        {"connected, not enabled", [](sim::UsbDevice &d) { d.disable_port(); }, STATUS_SUCCESS, 2, 1,
         {leave(kReset, "STATUS_SUCCESS")}},
        {"not connected", [](sim::UsbDevice &d) { d.unplug(); }, STATUS_NO_SUCH_DEVICE, 1, 0,
         {leave(kReset, "STATUS_NO_SUCH_DEVICE")}},
        {"reset leaves it disabled",
         [](sim::UsbDevice &d) {
             d.disable_port();
             d.port_reset_keeps_disabled(true);
         },
         STATUS_NO_SUCH_DEVICE, 2, 1, {leave(kReset, "STATUS_NO_SUCH_DEVICE")}},
        {"the reset refused", [](sim::UsbDevice &d) { d.disable_port(); }, STATUS_INSUFFICIENT_RESOURCES, 1, 0,
         {leave(kReset, kNoPoolHex + ": usb_reset_port failed")}, 2},
        {"the question after the reset refused", [](sim::UsbDevice &d) { d.disable_port(); },
         STATUS_INSUFFICIENT_RESOURCES, 1, 1, {leave(kReset, kNoPoolHex + ": usb_get_port_status failed")}, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plug();
        c.state(*usb);
        if (c.refuse != 0)
            sim::pool_fail_nth(c.refuse);
        EXPECT_EQ(MIVO_usb_reset(&dx), c.expected);
        sim::pool_fail_clear();
        EXPECT_EQ(usb->port_status_queries(), c.queries);
        EXPECT_EQ(usb->port_resets(), c.resets);
        EXPECT_EQ(sim::trace_lines(), c.trace);
    }
}

TEST_F(UsbBringup, DeviceDescriptorIsKeptAndOpensTheControlPipe) {
    plug({.vendor = 0x1234, .product = 0xABCD, .version = 0x0201});
    ASSERT_EQ(MIVO_usb_get_dev_desc(&dx), STATUS_SUCCESS);
    Bytes kept(reinterpret_cast<PUCHAR>(&dx.DeviceDescriptor),
               reinterpret_cast<PUCHAR>(&dx.DeviceDescriptor) + sizeof(dx.DeviceDescriptor));
    EXPECT_EQ(kept, usb->device_descriptor());
    EXPECT_EQ(dx.ControlPipe, sim::kUsbDefaultPipe) << "the handle the completed request carries";
    EXPECT_THAT(sim::trace_lines(), ElementsAre("VendorID 1234, ProductID ABCD, Version 201 ",
                                                leave("MIVO_usb_get_dev_desc", "0")));
}

// The header first for wTotalLength, then exactly wTotalLength bytes; a
// configuration without an interface is 9 bytes read twice.
TEST_F(UsbBringup, ConfigurationDescriptorIsReadInTwoStages) {
    struct Case { const char *name; sim::UsbDeviceOptions options; uint16_t total; };
    const Case cases[] = {
        {"no interface", {.interface = false}, 9},
        {"one pipe", {.pipes = 1}, 9 + 9 + 9 + 7},
        {"three pipes", {.pipes = 3}, 9 + 9 + 9 + 3 * 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plug(c.options);
        PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
        ULONG length = 77;
        ASSERT_EQ(MIVO_usb_get_conf_desc(&dx, &descriptor, &length, 0), STATUS_SUCCESS);
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(length, c.total);
        Bytes got(reinterpret_cast<PUCHAR>(descriptor), reinterpret_cast<PUCHAR>(descriptor) + length);
        EXPECT_EQ(got, usb->configuration_descriptor());
        std::vector<sim::ControlTransfer> reads = descriptor_reads(USB_CONFIGURATION_DESCRIPTOR_TYPE);
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_THAT(reads[0].setup, ElementsAre(0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 9, 0));
        EXPECT_THAT(reads[1].setup, ElementsAre(0x80, 0x06, 0x00, 0x02, 0x00, 0x00, c.total & 0xFF, c.total >> 8));
        char enter[96];
        std::snprintf(enter, sizeof enter, "> Enter: MIVO_usb_get_conf_desc: %016llX, %016llX, 77, 0",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&dx)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&descriptor)));
        EXPECT_THAT(sim::trace_lines(),
                    ElementsAre(enter, "MIVO_usb_get_conf_desc - getting configuration descriptor Part 1",
                                "Getting second part of configuration descriptor",
                                leave("MIVO_usb_get_conf_desc", "STATUS_SUCCESS")));
        ExFreePoolWithTag(descriptor, 0);
    }
}

// Pipe 0 is the interrupt pipe for one or two pipes, pipe 1 the second for
// exactly two; any other count leaves both 0 and the start goes on. Each
// handle is proven by using it: a report is read on the interrupt pipe, the
// second pipe is one the bus accepts an abort on.
TEST_F(UsbBringup, InterfacePipesGiveTheHandles) {
    struct Case { const char *name; sim::UsbDeviceOptions options; NTSTATUS expected; int handles; };
    const Case cases[] = {
        {"no interface", {.interface = false}, STATUS_NO_SUCH_DEVICE, -1},
        {"no pipe", {.pipes = 0}, STATUS_SUCCESS, 0},
        {"one pipe", {.pipes = 1}, STATUS_SUCCESS, 1},
        {"two pipes", {.pipes = 2}, STATUS_SUCCESS, 2},
        {"three pipes", {.pipes = 3}, STATUS_SUCCESS, 0},
    };
    const std::string kSelect = "MIVO_usb_select_conf";
    const std::vector<std::string> kRead = {"MIVO_usb_get_conf_desc - getting configuration descriptor Part 1",
                                            "Getting second part of configuration descriptor",
                                            leave("MIVO_usb_get_conf_desc", "STATUS_SUCCESS")};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plug(c.options);
        EXPECT_EQ(MIVO_usb_select_conf(&dx), c.expected);
        std::vector<std::string> trace = kRead;
        if (c.handles < 0) {
            trace.push_back(leave(kSelect, "USBD_ParseConfigurationDescriptorEx STATUS_NO_SUCH_DEVICE"));
            EXPECT_EQ(trace_without_pointers(), trace);
            EXPECT_FALSE(usb->configured()) << "nothing was selected";
            EXPECT_EQ(dx.InterruptPipe, kStale) << "no handle is written before a configuration is selected";
            EXPECT_EQ(dx.ConfigurationHandle, kStale);
            continue;
        }
        EXPECT_TRUE(usb->configured());
        EXPECT_NE(dx.ConfigurationHandle, nullptr);
        EXPECT_NE(dx.ConfigurationHandle, kStale);
        EXPECT_EQ(dx.InterruptPipe == nullptr, c.handles == 0);
        EXPECT_EQ(dx.SecondPipe == nullptr, c.handles != 2);
        if (c.handles == 0)
            trace.push_back("No Additionnal Pipe - Only Cntrol Pipe");
        if (c.handles == 2) {
            auto line = [](int n, USBD_PIPE_HANDLE h, int address) {
                return "Pipe " + std::to_string(n) + " : MaxTransfer 4096, MaxPckSize 8, PipeType 3, Interval 8, Handle " +
                       std::to_string(int(reinterpret_cast<uintptr_t>(h))) + " Address " + std::to_string(address);
            };
            trace.push_back(line(0, dx.InterruptPipe, 0x81));
            trace.push_back(line(1, dx.SecondPipe, 0x02));
        }
        trace.push_back(leave(kSelect, "STATUS_SUCCESS"));
        EXPECT_EQ(trace_without_pointers(), trace);

        if (dx.InterruptPipe) {
            usb->push_translation(1, -2, 3);
            std::array<uint8_t, 7> report{};
            ULONG length = sizeof(report);
            EXPECT_EQ(MIVO_usb_read_interrupt(&dx, report.data(), &length), STATUS_SUCCESS);
            EXPECT_THAT(report, ElementsAre(1, 1, 0, 0xFE, 0xFF, 3, 0)) << "pipe 0 carries the reports";
        }
        if (dx.SecondPipe) {
            EXPECT_NE(dx.SecondPipe, dx.InterruptPipe);
            EXPECT_EQ(MIVO_usb_abort_pipe(&dx, dx.SecondPipe), STATUS_SUCCESS) << "a handle the bus knows";
        }
    }
}

// The device is asked for 266 bytes at most; what it sends is kept at exactly
// its length.
TEST_F(UsbBringup, ReportDescriptorIsKeptAtItsLengthUpTo266) {
    const std::pair<size_t, size_t> cases[] = {{1, 1}, {265, 265}, {266, 266}, {267, 266}, {600, 266}};
    for (auto [sent, kept] : cases) {
        SCOPED_TRACE(sent);
        Bytes descriptor = pattern(sent);
        plug({.report_descriptor = descriptor});
        dx.ControlPipe = sim::kUsbDefaultPipe;
        ASSERT_EQ(MIVO_usb_get_hid_desc(&dx), STATUS_SUCCESS);
        EXPECT_EQ(stored_descriptor(), Bytes(descriptor.begin(), descriptor.begin() + kept));
        std::vector<sim::ControlTransfer> reads = descriptor_reads(HID_REPORT_DESCRIPTOR_TYPE);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].setup, kGetReportDescriptor);
        EXPECT_EQ(sim::trace_lines().back(), "Report Space " + std::to_string(kept));
    }
}

// A restart reads the descriptor again: the new copy is what the HID class
// driver is served, and the previous one goes back to the pool (a leak
// otherwise fails the test at its end).
TEST_F(UsbBringup, RestartReplacesTheReportDescriptor) {
    const Bytes first = pattern(40), second = Bytes(90, 0x5A);
    plug({.report_descriptor = first});
    dx.ControlPipe = sim::kUsbDefaultPipe;
    ASSERT_EQ(MIVO_usb_get_hid_desc(&dx), STATUS_SUCCESS);
    const size_t live = sim::pool_stats().live_allocations;

    // The controller comes back with other firmware behind the same context.
    auto replugged = std::make_unique<sim::UsbDevice>(sim::UsbDeviceOptions{.report_descriptor = second});
    dx.LowerDeviceObject = replugged->pdo();
    ASSERT_EQ(MIVO_usb_get_hid_desc(&dx), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool_stats().live_allocations, live) << "the previous copy is freed";
    EXPECT_EQ(stored_descriptor(), second);

    dx.ReportDescriptorLength = USHORT(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + second.size());
    Bytes served(dx.ReportDescriptorLength);
    ULONG length = ULONG(served.size());
    ASSERT_EQ(MIVO_hid_get_rep_desc(&dx, served.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(served.begin() + VIRTUAL_REPORT_DESCRIPTOR_LENGTH, served.end()), second);

    MIVO_usb_release_descriptors(&dx);
    EXPECT_EQ(dx.DeviceReportDescriptor, nullptr);
    EXPECT_EQ(dx.DeviceReportDescriptorLength, 0);
    dx.LowerDeviceObject = usb->pdo();
    replugged.reset();
}

// A failing descriptor read of each kind ends its step with its own trace,
// leaves nothing behind and leaves the context as it was.
TEST_F(UsbBringup, FailedDescriptorReadEndsItsStep) {
    using Setup = std::array<uint8_t, 8>;
    struct Case {
        const char *name;
        std::function<bool(const Setup &)> which;
        size_t step; // 0 device descriptor, 1 configuration, 2 report descriptor
        NTSTATUS expected;
        std::vector<std::string> last; // the last trace lines
    };
    const std::string kSelect = "MIVO_usb_select_conf", kConf = "MIVO_usb_get_conf_desc";
    const std::string kFailedHex = hex(STATUS_UNSUCCESSFUL);
    auto config = [](bool header) {
        return [header](const Setup &s) { return sim::is_get_descriptor(s, 2) && (s[6] == 9 && s[7] == 0) == header; };
    };
    const Case cases[] = {
        {"device descriptor", [](const Setup &s) { return sim::is_get_descriptor(s, 1); }, 0, STATUS_UNSUCCESSFUL,
         {leave("MIVO_usb_get_dev_desc", "STATUS_UNSUCCESSFUL")}},
        {"configuration header", config(true), 1, STATUS_UNSUCCESSFUL,
         {leave(kConf, "STATUS_UNSUCCESSFUL descriptor 1"), leave(kSelect, kFailedHex + ": usb_get_conf_desc failed")}},
        {"whole configuration", config(false), 1, STATUS_UNSUCCESSFUL,
         {leave(kConf, "STATUS_UNSUCCESSFUL"), leave(kSelect, kFailedHex + ": usb_get_conf_desc failed")}},
        {"set configuration", [](const Setup &s) { return s[0] == 0x00 && s[1] == 0x09; }, 1, STATUS_UNSUCCESSFUL,
         {leave(kSelect, "USBD_CreateConfigurationRequestEx STATUS_UNSUCCESSFUL")}},
        {"report descriptor", [](const Setup &s) { return sim::is_get_descriptor(s, 0x22); }, 2, STATUS_UNSUCCESSFUL,
         {leave("MIVO_usb_control_transfer", "STATUS_UNSUCCESSFUL"), leave("MIVO_usb_get_hid_desc", "STATUS_UNSUCCESSFUL")}},
    };
    const Bytes previous = {0x09, 0x02};
    for (sim::ControlFault fault : {sim::ControlFault::Stall, sim::ControlFault::NotResponding}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fault == sim::ControlFault::Stall ? ", stall" : ", no answer"));
            plug();
            previous_descriptor(previous);
            const size_t live = sim::pool_stats().live_allocations;
            usb->fail_control(fault, c.which);
            NTSTATUS status = STATUS_SUCCESS;
            size_t step = 0;
            for (auto run : {MIVO_usb_get_dev_desc, MIVO_usb_select_conf, MIVO_usb_get_hid_desc}) {
                sim::trace_clear();
                status = run(&dx);
                if (!NT_SUCCESS(status))
                    break;
                ++step;
            }
            EXPECT_EQ(step, c.step);
            EXPECT_EQ(status, c.expected);
            std::vector<std::string> lines = sim::trace_lines();
            ASSERT_GE(lines.size(), c.last.size());
            EXPECT_EQ(std::vector<std::string>(lines.end() - c.last.size(), lines.end()), c.last);
            EXPECT_EQ(sim::pool_stats().live_allocations, live) << "nothing taken is left behind";
            EXPECT_EQ(dx.ControlPipe != nullptr, c.step > 0);
            EXPECT_EQ(dx.InterruptPipe == kStale, c.step < 2) << "handles only from a selected configuration";
            EXPECT_EQ(stored_descriptor(), previous);
        }
    }
}

TEST_F(UsbBringup, AbortPipeNeedsAPipeTheBusKnows) {
    plug();
    ASSERT_EQ(MIVO_usb_select_conf(&dx), STATUS_SUCCESS);
    usb->clear_records();
    sim::trace_clear();
    EXPECT_EQ(MIVO_usb_abort_pipe(&dx, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(usb->urbs().empty()) << "no request for a zero pipe";
    EXPECT_EQ(MIVO_usb_abort_pipe(&dx, kStale), STATUS_INVALID_HANDLE) << "the bus refuses a pipe it never gave";
    EXPECT_EQ(MIVO_usb_abort_pipe(&dx, dx.InterruptPipe), STATUS_SUCCESS);
    std::vector<sim::UrbSeen> urbs = usb->urbs();
    ASSERT_EQ(urbs.size(), 2u);
    EXPECT_EQ(urbs[1].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(urbs[1].pipe, dx.InterruptPipe);
    EXPECT_THAT(sim::trace_lines(), ElementsAre(leave("MIVO_usb_abort_pipe", "STATUS_INVALID_HANDLE"),
                                                leave("MIVO_usb_abort_pipe", hex(STATUS_INVALID_HANDLE))));
}

// What ends the USB worker's read on a silent device: the abort completes it,
// and the read returns a failure instead of waiting for ever.
class ThreadedUsbBringup : public UsbBringup {};

TEST_F(ThreadedUsbBringup, AbortEndsAReadOnASilentDevice) {
    plug();
    ASSERT_EQ(MIVO_usb_select_conf(&dx), STATUS_SUCCESS);
    usb->silence(true);
    auto read = std::async(std::launch::async, [this] {
        std::array<uint8_t, 7> report{};
        ULONG length = sizeof(report);
        return MIVO_usb_read_interrupt(&dx, report.data(), &length);
    });
    ASSERT_TRUE(usb->wait_pending_reads(1));
    EXPECT_EQ(MIVO_usb_abort_pipe(&dx, dx.InterruptPipe), STATUS_SUCCESS);
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        usb->unplug(); // frees the reader so the test can fail instead of hanging
        read.wait();
        FAIL() << "the abort left the read pending";
    }
    EXPECT_EQ(read.get(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb->pending_reads(), 0u);
}
