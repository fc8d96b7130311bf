// The USB side of the simulated kernel as a minidriver meets it: the USBD
// library on the virtual controller's configuration, the bus driver's
// answers to URBs and port requests, the controller's report descriptor, its
// interrupt reports and its fault modes.
#include <cstring>
#include <map>
#include <thread>

#include "platform/sim/io.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace {

// One internal request to the bus, sent and waited for the way a minidriver
// does it (IoBuildDeviceIoControlRequest, event, I/O status block).
NTSTATUS submit(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS submit_urb(PDEVICE_OBJECT pdo, PURB urb) { return submit(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

URB descriptor_urb(UCHAR type, PVOID buffer, ULONG length) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr,
                                 length, nullptr);
    return urb;
}

URB control_urb(std::array<uint8_t, 8> setup, PVOID buffer, ULONG length, bool in) {
    URB urb{};
    auto &c = urb.UrbControlTransfer;
    c.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    c.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    c.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    c.TransferBuffer = buffer;
    c.TransferBufferLength = length;
    std::memcpy(c.SetupPacket, setup.data(), 8);
    return urb;
}

URB interrupt_urb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length) {
    URB urb{};
    auto &b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = pipe;
    b.TransferFlags = USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
    b.TransferBuffer = buffer;
    b.TransferBufferLength = length;
    return urb;
}

constexpr std::array<uint8_t, 8> kGetReportDescriptor = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x0A, 0x01};
constexpr std::array<uint8_t, 8> kSetLed = {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00};
constexpr std::array<uint8_t, 8> kSetInit = {0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x02, 0x00};

class UsbTest : public SimTest {
protected:
    // Selects the controller's configuration through the USBD library as a
    // minidriver does; returns the handle of the interface's pipe `index`.
    USBD_PIPE_HANDLE configure(sim::UsbDevice &dev, ULONG *pipes = nullptr, size_t index = 0) {
        std::vector<uint8_t> conf = dev.configuration_descriptor();
        auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
        EXPECT_NE(id, nullptr);
        if (!id)
            return nullptr;
        USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        EXPECT_NE(urb, nullptr);
        if (!urb)
            return nullptr;
        EXPECT_EQ(submit_urb(dev.pdo(), urb), STATUS_SUCCESS);
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        if (pipes)
            *pipes = info->NumberOfPipes;
        USBD_PIPE_HANDLE h = index < info->NumberOfPipes ? info->Pipes[index].PipeHandle : nullptr;
        ExFreePool(urb);
        return h;
    }
};

// ---------------------------------------------------------------- USBD library
TEST_F(UsbTest, CreateConfigurationRequestSizesTheBlockForEachPipeCount) {
    for (int pipes = 0; pipes <= 3; ++pipes) {
        SCOPED_TRACE(pipes);
        sim::UsbDevice dev({.pipes = pipes});
        std::vector<uint8_t> conf = dev.configuration_descriptor();
        auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, 3, -1, -1);
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(id->bNumEndpoints, pipes);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        ASSERT_NE(urb, nullptr);
        size_t pipe_records = pipes > 1 ? pipes - 1 : 0;
        size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) + pipe_records * sizeof(USBD_PIPE_INFORMATION);
        EXPECT_EQ(urb->UrbHeader.Length, expected);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
        EXPECT_EQ(list[0].Interface->NumberOfPipes, ULONG(pipes));

        EXPECT_EQ(submit_urb(dev.pdo(), urb), STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        const USBD_INTERFACE_INFORMATION *info = list[0].Interface;
        EXPECT_EQ(info->Class, 3);
        if (pipes > 0) {
            EXPECT_EQ(info->Pipes[0].EndpointAddress, sim::kUsbReportEndpoint);
            EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
            EXPECT_EQ(info->Pipes[0].MaximumPacketSize, sim::kUsbMaxPacket);
            EXPECT_NE(info->Pipes[0].PipeHandle, nullptr);
            EXPECT_GT(info->Pipes[0].MaximumTransferSize, 0u);
        }
        if (pipes > 1) {
            EXPECT_NE(info->Pipes[1].PipeHandle, info->Pipes[0].PipeHandle);
        }
        ExFreePool(urb);
    }
}

TEST_F(UsbTest, ParseMatchesOnEveryCriterionAndStopsAtTheEnd) {
    sim::UsbDevice dev;
    std::vector<uint8_t> conf = dev.configuration_descriptor();
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
    PUCHAR interface = conf.data() + 9;
    struct Case {
        const char *name;
        PVOID start;
        LONG number, alternate, cls, subclass, protocol;
        bool found;
    } cases[] = {
        {"all wildcards", cd, -1, -1, -1, -1, -1, true},
        {"HID class", cd, 0, 0, 3, 0, 0, true},
        {"wrong interface number", cd, 1, -1, -1, -1, -1, false},
        {"wrong alternate setting", cd, -1, 1, -1, -1, -1, false},
        {"wrong class", cd, -1, -1, 8, -1, -1, false},
        {"boot subclass", cd, -1, -1, -1, 1, -1, false},
        {"mouse protocol", cd, -1, -1, -1, -1, 2, false},
        {"start at the interface", interface, -1, -1, -1, -1, -1, true},
        {"start past the interface", interface + 9, -1, -1, -1, -1, -1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PUSB_INTERFACE_DESCRIPTOR got =
            USBD_ParseConfigurationDescriptorEx(cd, c.start, c.number, c.alternate, c.cls, c.subclass, c.protocol);
        EXPECT_EQ(got, c.found ? reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(interface) : nullptr);
    }

    // A descriptor of length 0 ends the walk instead of looping on it.
    conf[9] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr);

    sim::UsbDevice bare({.interface = false});
    std::vector<uint8_t> only = bare.configuration_descriptor();
    ASSERT_EQ(only.size(), 9u);
    auto *ocd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(only.data());
    EXPECT_EQ(ocd->wTotalLength, 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(ocd, ocd, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbTest, CreateConfigurationRequestReturnsNullWhenThePoolRefuses) {
    sim::UsbDevice dev;
    std::vector<uint8_t> conf = dev.configuration_descriptor();
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    sim::pool_fail_nth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

// ---------------------------------------------------------------- descriptors
TEST_F(UsbTest, DescriptorReadsReturnAtMostWhatWasAskedAndTheDefaultPipe) {
    sim::UsbDevice dev;
    const size_t total = dev.configuration_descriptor().size();
    struct Case {
        const char *name;
        UCHAR type;
        ULONG asked;
        size_t expected;
    } cases[] = {
        {"device", USB_DEVICE_DESCRIPTOR_TYPE, 18, 18},
        {"device into a larger buffer", USB_DEVICE_DESCRIPTOR_TYPE, 64, 18},
        {"configuration head", USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
        {"configuration whole", USB_CONFIGURATION_DESCRIPTOR_TYPE, ULONG(total), total},
        {"configuration, more asked than wTotalLength", USB_CONFIGURATION_DESCRIPTOR_TYPE, ULONG(total + 16), total},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buf(c.asked, 0xEE);
        URB urb = descriptor_urb(c.type, buf.data(), c.asked);
        EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected);
        EXPECT_EQ(urb.UrbControlTransfer.PipeHandle, sim::kUsbDefaultPipe);
        std::vector<uint8_t> want = c.type == USB_DEVICE_DESCRIPTOR_TYPE ? dev.device_descriptor()
                                                                         : dev.configuration_descriptor();
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + c.expected, want.begin()));
    }
    std::vector<uint8_t> device = dev.device_descriptor();
    auto *dd = reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(device.data());
    EXPECT_EQ(dd->idVendor, sim::kUsbVendorId);
    EXPECT_EQ(dd->idProduct, sim::kUsbProductId);
    EXPECT_EQ(dd->bcdDevice, sim::kUsbDeviceVersion);
}

TEST_F(UsbTest, ReportDescriptorReadIsCutAtWLength) {
    std::vector<uint8_t> long_descriptor(300, 0x00);
    for (auto opts : {sim::UsbDeviceOptions{}, sim::UsbDeviceOptions{.report_descriptor = long_descriptor}}) {
        sim::UsbDevice dev(opts);
        std::vector<uint8_t> buf(999);
        URB urb = control_urb(kGetReportDescriptor, buf.data(), ULONG(buf.size()), true);
        EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
        size_t expected = std::min<size_t>(dev.report_descriptor().size(), 266);
        EXPECT_EQ(urb.UrbControlTransfer.TransferBufferLength, expected);
        ASSERT_EQ(dev.control_transfers().size(), 1u);
        EXPECT_EQ(dev.control_transfers()[0].data.size(), expected);
    }
}

// A small HID 1.11 item walker: bits of every report by (main item, report ID).
std::map<std::pair<int, int>, int> report_bits(const std::vector<uint8_t> &d, int *depth_at_end) {
    std::map<std::pair<int, int>, int> bits;
    int size = 0, count = 0, id = 0, depth = 0;
    for (size_t p = 0; p < d.size();) {
        uint8_t prefix = d[p];
        int n = (prefix & 3) == 3 ? 4 : (prefix & 3);
        uint32_t value = 0;
        for (int i = 0; i < n; ++i)
            value |= uint32_t(d[p + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
        case 0x74: size = int(value); break;  // Report Size
        case 0x94: count = int(value); break; // Report Count
        case 0x84: id = int(value); break;    // Report ID
        case 0xA0: depth++; break;            // Collection
        case 0xC0: depth--; break;            // End Collection
        case 0x80: case 0x90: case 0xB0:      // Input, Output, Feature
            bits[{prefix & 0xFC, id}] += size * count;
            break;
        default: break;
        }
        p += 1 + n;
    }
    *depth_at_end = depth;
    return bits;
}

TEST_F(UsbTest, ReportDescriptorDescribesTheReportsTheDeviceSends) {
    int depth = -1;
    auto bits = report_bits(sim::UsbDevice::standard_report_descriptor(), &depth);
    EXPECT_EQ(depth, 0) << "collections balanced";
    std::map<std::pair<int, int>, int> expected = {
        {{0x80, 1}, 48}, {{0x80, 2}, 48}, {{0x80, 3}, 8}, // inputs: three 16-bit axes, button byte
        {{0x90, 4}, 8},                                   // LED output
        {{0xB0, 6}, 8},  {{0xB0, 7}, 8},                  // init and calibrate features
    };
    EXPECT_EQ(bits, expected);

    // What the device sends matches: ID plus the described bytes.
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    for (auto [push, size] : {std::pair<std::function<void()>, size_t>{[&] { dev.push_translation(1, -2, 360); }, 7},
                              {[&] { dev.push_rotation(-360, 0, 5); }, 7},
                              {[&] { dev.push_buttons(0x03); }, 2}}) {
        push();
        UCHAR buf[7] = {};
        URB urb = interrupt_urb(pipe, buf, sizeof buf);
        EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, size);
    }
}

// ---------------------------------------------------------------- control transfers
TEST_F(UsbTest, SetReportsAreRecordedAndDriveTheLed) {
    sim::clock_set(sim::kDefaultStart);
    sim::UsbDevice dev;
    struct Step {
        std::array<uint8_t, 8> setup;
        std::vector<uint8_t> data;
        bool led_after;
    } steps[] = {
        {kSetLed, {0x04, 0x01}, true},
        {kSetInit, {0x06, 0x03}, true},
        {kSetLed, {0x04, 0x01}, true},
        {kSetLed, {0x04, 0x00}, false},
    };
    for (Step &s : steps) {
        sim::clock_advance_ms(10);
        URB urb = control_urb(s.setup, s.data.data(), ULONG(s.data.size()), false);
        EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlTransfer.TransferBufferLength, s.data.size());
        EXPECT_EQ(dev.led(), s.led_after);
    }
    auto sent = dev.set_reports();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1].setup, kSetInit);
    EXPECT_EQ(sent[1].data, (std::vector<uint8_t>{0x06, 0x03}));
    auto log = dev.led_log();
    ASSERT_EQ(log.size(), 2u) << "only changes are logged";
    EXPECT_TRUE(log[0].on);
    EXPECT_EQ(log[0].time, sim::kDefaultStart + 10 * 10'000);
    EXPECT_FALSE(log[1].on);
    EXPECT_EQ(log[1].time, sim::kDefaultStart + 40 * 10'000);
}

TEST_F(UsbTest, FailingControlTransfersGiveTheBusDriversStatuses) {
    struct Case {
        const char *name;
        std::function<void(sim::UsbDevice &)> fault;
        USBD_STATUS usbd;
        NTSTATUS status;
    } cases[] = {
        {"stall", [](sim::UsbDevice &d) { d.fail_control(sim::ControlFault::Stall); }, USBD_STATUS_STALL_PID,
         STATUS_UNSUCCESSFUL},
        {"not responding", [](sim::UsbDevice &d) { d.fail_control(sim::ControlFault::NotResponding); },
         USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL},
        {"port disabled", [](sim::UsbDevice &d) { d.disable_port(); }, USBD_STATUS_DEV_NOT_RESPONDING,
         STATUS_UNSUCCESSFUL},
        {"unplugged", [](sim::UsbDevice &d) { d.unplug(); }, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::UsbDevice dev;
        c.fault(dev);
        UCHAR data[2] = {0x04, 0x01};
        URB set = control_urb(kSetLed, data, 2, false);
        EXPECT_EQ(submit_urb(dev.pdo(), &set), c.status);
        EXPECT_EQ(set.UrbHeader.Status, c.usbd);
        EXPECT_FALSE(dev.led());
        UCHAR dd[18];
        URB get = descriptor_urb(USB_DEVICE_DESCRIPTOR_TYPE, dd, sizeof dd);
        EXPECT_EQ(submit_urb(dev.pdo(), &get), c.status);
        EXPECT_EQ(get.UrbHeader.Status, c.usbd);
    }
}

TEST_F(UsbTest, ControlFaultCanBeLimitedToSomeRequestsAndACount) {
    sim::UsbDevice dev;
    dev.fail_control(sim::ControlFault::Stall, sim::is_set_report, 1);
    UCHAR dd[18];
    URB get = descriptor_urb(USB_DEVICE_DESCRIPTOR_TYPE, dd, sizeof dd);
    EXPECT_EQ(submit_urb(dev.pdo(), &get), STATUS_SUCCESS) << "descriptor reads are not filtered in";
    UCHAR data[2] = {0x06, 0x03};
    URB first = control_urb(kSetInit, data, 2, false);
    EXPECT_EQ(submit_urb(dev.pdo(), &first), STATUS_UNSUCCESSFUL);
    URB second = control_urb(kSetInit, data, 2, false);
    EXPECT_EQ(submit_urb(dev.pdo(), &second), STATUS_SUCCESS) << "only one was to fail";
}

// ---------------------------------------------------------------- port
TEST_F(UsbTest, PortStatusAndResetFollowThePortState) {
    struct Case {
        const char *name;
        std::function<void(sim::UsbDevice &)> setup;
        ULONG before;
        NTSTATUS reset;
        ULONG after;
    } cases[] = {
        {"connected and enabled", [](sim::UsbDevice &) {}, 3, STATUS_SUCCESS, 3},
        {"disabled, reset enables", [](sim::UsbDevice &d) { d.disable_port(); }, 2, STATUS_SUCCESS, 3},
        {"disabled, reset does not help",
         [](sim::UsbDevice &d) {
             d.disable_port();
             d.port_reset_keeps_disabled(true);
         },
         2, STATUS_SUCCESS, 2},
        {"unplugged", [](sim::UsbDevice &d) { d.unplug(); }, 0, STATUS_DEVICE_NOT_CONNECTED, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::UsbDevice dev;
        c.setup(dev);
        ULONG port = 0xFFFF;
        EXPECT_EQ(submit(dev.pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
        EXPECT_EQ(port, c.before);
        EXPECT_EQ(submit(dev.pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), c.reset);
        EXPECT_EQ(submit(dev.pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
        EXPECT_EQ(port, c.after);
        EXPECT_EQ(dev.port_status_queries(), 2);
        EXPECT_EQ(dev.port_resets(), 1);
    }
}

// ---------------------------------------------------------------- interrupt reads
TEST_F(UsbTest, InterruptReadTakesAQueuedReportAtOnce) {
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    dev.push_translation(100, -100, 7);
    UCHAR buf[7] = {};
    URB urb = interrupt_urb(pipe, buf, sizeof buf);
    EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
    const UCHAR want[7] = {1, 100, 0, 0x9C, 0xFF, 7, 0};
    EXPECT_EQ(std::memcmp(buf, want, 7), 0);
    EXPECT_EQ(dev.queued_reports(), 0u);
}

TEST_F(UsbTest, ShortReportsGiveSuccessAndTheShorterLength) {
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    dev.short_reports(3);
    dev.push_rotation(1, 2, 3);
    UCHAR buf[7] = {};
    URB urb = interrupt_urb(pipe, buf, sizeof buf);
    EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(buf[0], 2);
}

TEST_F(UsbTest, InterruptReadsFailOnBadPipesAndGoneDevices) {
    struct Case {
        const char *name;
        int pipes;
        bool unplug;
        USBD_STATUS usbd;
        NTSTATUS status;
    } cases[] = {
        {"no pipe handle", 1, false, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_HANDLE},
        {"unplugged", 1, true, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::UsbDevice dev({.pipes = c.pipes});
        USBD_PIPE_HANDLE pipe = configure(dev);
        if (c.unplug)
            dev.unplug();
        else
            pipe = nullptr;
        UCHAR buf[7];
        URB urb = interrupt_urb(pipe, buf, sizeof buf);
        EXPECT_EQ(submit_urb(dev.pdo(), &urb), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    }
}

class ThreadedUsbTest : public UsbTest {};

// A reader thread doing what the USB worker does: one synchronous read.
struct Reader {
    UCHAR buf[7] = {};
    URB urb{};
    NTSTATUS status = STATUS_PENDING;
    std::thread thread;
    Reader(sim::UsbDevice &dev, USBD_PIPE_HANDLE pipe) : urb(interrupt_urb(pipe, buf, sizeof buf)) {
        thread = std::thread([this, pdo = dev.pdo()] { status = submit_urb(pdo, &urb); });
    }
    void join() { thread.join(); }
};

TEST_F(ThreadedUsbTest, InterruptReadPendsUntilAReportIsPushed) {
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    for (int round = 0; round < 10; ++round) {
        Reader reader(dev, pipe);
        ASSERT_TRUE(dev.wait_pending_reads(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(dev.pending_reads(), 1u) << "nothing to read yet, the request still waits";
        dev.push_buttons(0x02);
        reader.join();
        EXPECT_EQ(reader.status, STATUS_SUCCESS);
        EXPECT_EQ(reader.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
        EXPECT_EQ(reader.buf[1], 0x02);
    }
}

TEST_F(ThreadedUsbTest, SilentDeviceReadEndsOnlyByAbortOrUnplug) {
    for (bool abort : {true, false}) {
        SCOPED_TRACE(abort ? "abort" : "unplug");
        sim::UsbDevice dev;
        USBD_PIPE_HANDLE pipe = configure(dev);
        dev.silence(true);
        dev.push_translation(1, 1, 1); // held back while the device is silent
        Reader reader(dev, pipe);
        ASSERT_TRUE(dev.wait_pending_reads(1));
        EXPECT_EQ(dev.queued_reports(), 1u);
        if (abort) {
            URB urb{};
            urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
            urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
            urb.UrbPipeRequest.PipeHandle = pipe;
            EXPECT_EQ(submit_urb(dev.pdo(), &urb), STATUS_SUCCESS);
        } else {
            dev.unplug();
        }
        reader.join();
        EXPECT_EQ(reader.status, abort ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(reader.urb.UrbHeader.Status, abort ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(dev.pending_reads(), 0u);
    }
}

TEST_F(UsbTest, PendingInterruptReadCanBeCancelled) {
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    UCHAR buf[7];
    URB urb = interrupt_urb(pipe, buf, sizeof buf);
    sim::Request r(dev.pdo(), {.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB});
    r.location()->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(r.send(), STATUS_PENDING);
    EXPECT_TRUE(r.cancel());
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    dev.push_buttons(1);
    EXPECT_EQ(dev.queued_reports(), 1u) << "the cancelled read took nothing";
}

} // namespace
