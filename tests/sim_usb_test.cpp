// The USB side of the simulated kernel as a minidriver meets it: the USBD
// library on the virtual controller's configuration, the bus driver's
// answers to URBs and port requests, interrupt reports and fault modes.
#include <cstring>
#include <memory>

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

constexpr std::array<uint8_t, 8> kSetLed = {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00};
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

// ---------------------------------------------------------------- port and faults
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

} // namespace
