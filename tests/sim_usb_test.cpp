// The USB side of the simulated kernel as a minidriver meets it: the USBD
// library on the virtual controller's configuration, the bus driver's
// answers to URBs and port requests, interrupt reports and fault modes.
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "platform/sim/io.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace {

// One internal request to the bus, sent and waited for as a minidriver sends
// its URBs and port requests.
NTSTATUS submit(PDEVICE_OBJECT pdo, PVOID argument1, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    sim::Request r(pdo, {.ioctl = code});
    r.location()->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = r.send();
    return status == STATUS_PENDING && r.wait() ? r.status() : status;
}

URB control_urb(std::array<uint8_t, 8> setup, PVOID buffer, ULONG length) {
    ULONG flags = USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK;
    flags |= setup[0] & 0x80 ? USBD_TRANSFER_DIRECTION_IN : 0;
    URB urb{.UrbControlTransfer = {{sizeof(struct _URB_CONTROL_TRANSFER), URB_FUNCTION_CONTROL_TRANSFER},
                                   nullptr, flags, length, buffer}};
    std::memcpy(urb.UrbControlTransfer.SetupPacket, setup.data(), 8);
    return urb;
}

URB interrupt_urb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length) {
    return {.UrbBulkOrInterruptTransfer = {
                {sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER}, pipe,
                USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN, length, buffer}};
}

constexpr std::array<uint8_t, 8> kGetReportDescriptor = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x0A, 0x01};
constexpr std::array<uint8_t, 8> kSetLed = {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00};
constexpr std::array<uint8_t, 8> kSetInit = {0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x02, 0x00};
constexpr ULONG kPortUp = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;

URB set_led(sim::UsbDevice &dev, UCHAR on, NTSTATUS expected) {
    UCHAR data[2] = {0x04, on};
    URB urb = control_urb(kSetLed, data, 2);
    EXPECT_EQ(submit(dev.pdo(), &urb), expected);
    return urb;
}

using UrbPtr = std::unique_ptr<URB, decltype(&ExFreePool)>;

// Selects the configuration through the USBD library as a minidriver does;
// `info` points into the request.
UrbPtr select_configuration(sim::UsbDevice &dev, PUSBD_INTERFACE_INFORMATION *info) {
    std::vector<uint8_t> conf = dev.configuration_descriptor();
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, 3, -1, -1)}, {}};
    UrbPtr urb(list[0].InterfaceDescriptor ? USBD_CreateConfigurationRequestEx(cd, list) : nullptr, &ExFreePool);
    EXPECT_TRUE(!urb || submit(dev.pdo(), urb.get()) == STATUS_SUCCESS);
    *info = list[0].Interface;
    return urb;
}

USBD_PIPE_HANDLE configure(sim::UsbDevice &dev) {
    PUSBD_INTERFACE_INFORMATION info = nullptr;
    UrbPtr urb = select_configuration(dev, &info);
    return urb && info->NumberOfPipes ? info->Pipes[0].PipeHandle : nullptr;
}

using UsbTest = SimTest;

// ---------------------------------------------------------------- USBD library
TEST_F(UsbTest, SelectConfigurationSizesTheRequestAndGivesEachPipeAHandle) {
    const size_t base = sizeof(struct _URB_SELECT_CONFIGURATION), pipe = sizeof(USBD_PIPE_INFORMATION);
    // The first pipe record lies inside the structure; only further ones add.
    const std::pair<int, size_t> cases[] = {{0, base}, {1, base}, {2, base + pipe}, {3, base + 2 * pipe}};
    for (auto [pipes, length] : cases) {
        SCOPED_TRACE(pipes);
        sim::UsbDevice dev({.pipes = pipes});
        PUSBD_INTERFACE_INFORMATION info = nullptr;
        UrbPtr urb = select_configuration(dev, &info);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(urb->UrbHeader.Length, length);
        EXPECT_EQ(info, &urb->UrbSelectConfiguration.Interface);
        EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        ASSERT_EQ(info->NumberOfPipes, ULONG(pipes));
        std::set<USBD_PIPE_HANDLE> handles = {nullptr};
        for (int i = 0; i < pipes; ++i)
            handles.insert(info->Pipes[i].PipeHandle);
        EXPECT_EQ(handles.size(), size_t(pipes) + 1) << "distinct, none null";
        EXPECT_TRUE(pipes == 0 || (info->Pipes[0].EndpointAddress == sim::kUsbReportEndpoint &&
                                   info->Pipes[0].PipeType == UsbdPipeTypeInterrupt));
    }
}

TEST_F(UsbTest, ParseMatchesTheClassStopsAtTheEndAndCreateFailsWhenThePoolRefuses) {
    sim::UsbDevice dev;
    std::vector<uint8_t> conf = dev.configuration_descriptor();
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(conf.data());
    auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(conf.data() + 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, 3, 0, 0), interface);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 8, -1, -1), nullptr) << "another class";
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, conf.data() + 18, -1, -1, -1, -1, -1), nullptr) << "past it";
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface}, {}};
    sim::pool_fail_nth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
    conf[9] = 0; // a descriptor of length 0 ends the walk instead of looping on it
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr);
}

// ---------------------------------------------------------------- descriptors
TEST_F(UsbTest, DescriptorReadsReturnAtMostWhatWasAskedWTotalLengthOrWLength) {
    sim::UsbDevice dev;
    auto read = [&](UCHAR type, ULONG asked) {
        std::vector<uint8_t> buf(asked);
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buf.data(),
                                     nullptr, asked, nullptr);
        EXPECT_EQ(submit(dev.pdo(), &urb), STATUS_SUCCESS);
        buf.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return buf;
    };
    EXPECT_EQ(read(USB_DEVICE_DESCRIPTOR_TYPE, 64), dev.device_descriptor());
    // Two stages: the 9-byte head for wTotalLength, then the whole.
    std::vector<uint8_t> head = read(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    ASSERT_EQ(head.size(), 9u);
    ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(head.data())->wTotalLength;
    EXPECT_EQ(total, 9u + 9 + 9 + 7) << "configuration, interface, HID, endpoint";
    EXPECT_EQ(read(USB_CONFIGURATION_DESCRIPTOR_TYPE, total), dev.configuration_descriptor());
    EXPECT_EQ(read(USB_CONFIGURATION_DESCRIPTOR_TYPE, total + 16).size(), total);

    for (auto opts : {sim::UsbDeviceOptions{}, sim::UsbDeviceOptions{.report_descriptor = std::vector<uint8_t>(300)}}) {
        sim::UsbDevice d(opts);
        std::vector<uint8_t> buf(999);
        URB urb = control_urb(kGetReportDescriptor, buf.data(), ULONG(buf.size()));
        EXPECT_EQ(submit(d.pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlTransfer.TransferBufferLength, std::min<size_t>(d.report_descriptor().size(), 0x10A));
    }
}

// ---------------------------------------------------------------- control transfers and port
TEST_F(UsbTest, SetReportsAreRecordedWithSetupAndDataAndDriveTheLed) {
    sim::UsbDevice dev;
    set_led(dev, 1, STATUS_SUCCESS);
    UCHAR init[2] = {0x06, 0x03};
    URB urb = control_urb(kSetInit, init, 2);
    EXPECT_EQ(submit(dev.pdo(), &urb), STATUS_SUCCESS);
    EXPECT_TRUE(dev.led());
    auto sent = dev.set_reports();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].setup, kSetInit);
    EXPECT_EQ(sent[1].data, (std::vector<uint8_t>{0x06, 0x03}));
}

TEST_F(UsbTest, FaultsGiveTheBusDriversStatusesAndAPortResetMendsOnlyADisabledPort) {
    const NTSTATUS ok = STATUS_SUCCESS, bad = STATUS_UNSUCCESSFUL, gone = STATUS_DEVICE_NOT_CONNECTED;
    const struct {
        const char *name;
        std::function<void(sim::UsbDevice &)> fault;
        USBD_STATUS usbd;
        NTSTATUS set_report, reset, after_reset;
        ULONG port_before, port_after;
    } cases[] = {
        {"stall", [](auto &d) { d.fail_control(sim::ControlFault::Stall); }, USBD_STATUS_STALL_PID, bad, ok, bad,
         kPortUp, kPortUp},
        {"one SET_REPORT stalls", [](auto &d) { d.fail_control(sim::ControlFault::Stall, sim::is_set_report, 1); },
         USBD_STATUS_STALL_PID, bad, ok, ok, kPortUp, kPortUp},
        {"port disabled", [](auto &d) { d.disable_port(); }, USBD_STATUS_DEV_NOT_RESPONDING, bad, ok, ok,
         USBD_PORT_CONNECTED, kPortUp},
        {"unplugged", [](auto &d) { d.unplug(); }, USBD_STATUS_DEVICE_GONE, gone, gone, gone, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::UsbDevice dev;
        c.fault(dev);
        EXPECT_EQ(set_led(dev, 1, c.set_report).UrbHeader.Status, c.usbd);
        EXPECT_FALSE(dev.led());
        ULONG port = 0xFFFF;
        EXPECT_EQ(submit(dev.pdo(), &port, IOCTL_INTERNAL_USB_GET_PORT_STATUS), STATUS_SUCCESS);
        EXPECT_EQ(port, c.port_before);
        EXPECT_EQ(submit(dev.pdo(), nullptr, IOCTL_INTERNAL_USB_RESET_PORT), c.reset);
        EXPECT_EQ(submit(dev.pdo(), &port, IOCTL_INTERNAL_USB_GET_PORT_STATUS), STATUS_SUCCESS);
        EXPECT_EQ(port, c.port_after);
        set_led(dev, 1, c.after_reset);
    }
}

// ---------------------------------------------------------------- interrupt reads
TEST_F(UsbTest, InterruptReadsTakeQueuedReportsWholeOrShortAndNeedAPipe) {
    const struct {
        const char *name;
        std::function<void(sim::UsbDevice &)> push;
        std::vector<uint8_t> bytes;
        bool valid_pipe = true;
    } cases[] = {
        {"translation", [](auto &d) { d.push_translation(100, -100, 7); }, {1, 100, 0, 0x9C, 0xFF, 7, 0}},
        {"buttons", [](auto &d) { d.push_buttons(0x03); }, {3, 0x03, 0, 0, 0, 0, 0}},
        {"short report", [](auto &d) { d.short_reports(3), d.push_rotation(-1, 2, 3); }, {2, 0xFF, 0xFF}},
        {"no pipe handle", [](auto &d) { d.push_buttons(1); }, {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::UsbDevice dev;
        USBD_PIPE_HANDLE pipe = configure(dev);
        c.push(dev);
        std::vector<uint8_t> buf(7);
        URB urb = interrupt_urb(c.valid_pipe ? pipe : nullptr, buf.data(), 7);
        EXPECT_EQ(submit(dev.pdo(), &urb), c.valid_pipe ? STATUS_SUCCESS : STATUS_INVALID_HANDLE);
        EXPECT_EQ(urb.UrbHeader.Status, c.valid_pipe ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE);
        buf.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(buf, c.bytes);
    }
}

using ThreadedUsbTest = SimTest;

TEST_F(ThreadedUsbTest, InterruptReadPendsUntilAReportIsPushedOrTheDeviceGoes) {
    sim::UsbDevice dev;
    USBD_PIPE_HANDLE pipe = configure(dev);
    for (int round = 0; round <= 5; ++round) {
        UCHAR buf[7] = {};
        URB urb = interrupt_urb(pipe, buf, sizeof buf);
        NTSTATUS status = STATUS_PENDING;
        std::thread reader([&] { status = submit(dev.pdo(), &urb); });
        ASSERT_TRUE(dev.wait_pending_reads(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(dev.pending_reads(), 1u) << "nothing to read yet, the request still waits";
        round < 5 ? dev.push_buttons(0x02) : dev.unplug(); // the last read ends with the device
        reader.join();
        EXPECT_EQ(status, round < 5 ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(urb.UrbHeader.Status, round < 5 ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, round < 5 ? 7u : 0u);
        EXPECT_EQ(buf[1], round < 5 ? 0x02 : 0);
    }
}

} // namespace
