// Synchronous USB transfers against a scripted lower driver: the request block
// it is handed, every outcome with the status and length it leaves, refusals
// and pool failures that send nothing, and a lower request that pends.

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "platform/kernel.h"
#include "platform/sim/io.h"
#include "tests/support/sim_test.h"
#include "usb/usb.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// Stands where the USB bus driver would and records what reaches it. It
// answers at once or, with `pend`, later from the test by the test.
struct LowerScript {
    NTSTATUS irp_status = STATUS_SUCCESS;
    USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
    LONG bus_length = -1; // TransferBufferLength left in the block; -1: untouched
    bool pend = false;
    int calls = 0; // what reached it last:
    ULONG ioctl = 0;
    PVOID argument1 = nullptr, argument2 = nullptr;
    std::vector<uint8_t> block; // the URB as submitted
    std::atomic<PIRP> held{nullptr};
};
LowerScript *g_lower = nullptr;

void answer(PIRP irp) {
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (g_lower->ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && urb) {
        urb->UrbHeader.Status = g_lower->usbd_status;
        if (g_lower->bus_length >= 0) // both block kinds keep the length at the same offset
            urb->UrbControlTransfer.TransferBufferLength = static_cast<ULONG>(g_lower->bus_length);
    }
    irp->IoStatus.Status = g_lower->irp_status;
}

NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT, PIRP irp) {
    LowerScript &s = *g_lower;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    s.calls++;
    s.ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
    s.argument1 = sp->Parameters.Others.Argument1;
    s.argument2 = sp->Parameters.Others.Argument2;
    if (s.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && s.argument1) {
        auto *bytes = static_cast<const uint8_t *>(s.argument1);
        s.block.assign(bytes, bytes + static_cast<PURB>(s.argument1)->UrbHeader.Length);
    }
    if (s.pend) {
        IoMarkIrpPending(irp);
        s.held = irp;
        return STATUS_PENDING;
    }
    answer(irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

const std::array<uint8_t, 8> kGetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const std::array<uint8_t, 8> kSetReportLed = {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00};
const USBD_PIPE_HANDLE kControlPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xC0));
const USBD_PIPE_HANDLE kInterruptPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x181));

class UsbSubmit : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        g_lower = &script;
        driver = std::make_unique<sim::DriverObject>(u"\\Driver\\usbbus");
        driver->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = lower_dispatch;
        lower = sim::create_device(*driver, 0);
        ASSERT_NE(lower, nullptr);
        dx.LowerDeviceObject = lower;
        dx.ControlPipe = kControlPipe;
        dx.InterruptPipe = kInterruptPipe;
    }
    void TearDown() override {
        if (lower)
            sim::delete_device(lower);
        driver.reset();
        g_lower = nullptr;
        EXPECT_EQ(sim::irps_live(), 0u) << "every request built for the lower driver is released";
        SimTest::TearDown();
    }

    LowerScript script;
    std::unique_ptr<sim::DriverObject> driver;
    PDEVICE_OBJECT lower = nullptr;
    DEVICE_EXTENSION dx{};
};

} // namespace

TEST_F(UsbSubmit, ImmediateAnswerIsReturnedWithTheArgumentsPassedDown) {
    ULONG port_status = 0;
    int second = 0;
    script.irp_status = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port_status, &second),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(script.ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
    EXPECT_EQ(script.argument1, &port_status);
    EXPECT_EQ(script.argument2, &second);
}

// The block is read through the control view for the fields both kinds share.
TEST_F(UsbSubmit, RequestBlockAsTheBusDriverSeesIt) {
    static const _URB_HCD_AREA kZeroHca{};
    struct Case { const char *name; int kind; size_t size; USHORT function; ULONG flags; }; // kind 2: interrupt
    const Case cases[] = {
        {"control, device to host", 0, 136, URB_FUNCTION_CONTROL_TRANSFER, 0x0B},
        {"control, host to device", 1, 136, URB_FUNCTION_CONTROL_TRANSFER, 0x0A},
        {"interrupt in", 2, 128, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x03},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script.block.clear();
        std::array<uint8_t, 18> buffer{};
        ULONG length = sizeof(buffer);
        PUCHAR data = buffer.data();
        ASSERT_EQ(c.kind == 0   ? MIVO_usb_get_control_transfer(&dx, data, &length, kGetDeviceDescriptor.data())
                  : c.kind == 1 ? MIVO_usb_set_control_transfer(&dx, data, &length, kSetReportLed.data())
                                : MIVO_usb_read_interrupt(&dx, data, &length),
                  STATUS_SUCCESS);
        ASSERT_EQ(script.block.size(), c.size) << "an IOCTL_INTERNAL_USB_SUBMIT_URB with its block";
        const auto &b = *reinterpret_cast<const _URB_CONTROL_TRANSFER *>(script.block.data());
        EXPECT_EQ(b.Hdr.Function, c.function);
        EXPECT_EQ(b.PipeHandle, c.kind == 2 ? dx.InterruptPipe : nullptr) << "control: the default pipe";
        EXPECT_EQ(b.TransferFlags, c.flags);
        EXPECT_EQ(b.TransferBufferLength, 18u);
        EXPECT_EQ(b.TransferBuffer, buffer.data());
        EXPECT_EQ(std::memcmp(&b.hca, &kZeroHca, sizeof(kZeroHca)), 0) << "cleared before it is filled";
        if (c.kind != 2) {
            EXPECT_THAT(b.SetupPacket, ElementsAreArray(c.kind == 0 ? kGetDeviceDescriptor : kSetReportLed));
        }
    }
}

// Every outcome with the status, length and trace each transfer leaves.
// Success needs both the request's and the block's status. The control
// transfer hands back the length the bus driver left, also after a failure;
// the interrupt read only on success, and a failed read traces nothing (the
// USB worker retries it every 10 ms). Refusals come before anything is
// allocated or sent, the handle checked before the length and the buffer.
TEST_F(UsbSubmit, EachOutcomeLeavesItsStatusLengthAndTrace) {
    struct Case {
        const char *name;
        bool pipe, buffer; ULONG length; uint64_t fail_nth; // handed over; the pool allocation refused (0: none)
        NTSTATUS irp_status; USBD_STATUS usbd_status; LONG bus_length; // the lower driver's answer
        NTSTATUS expected; ULONG control_length, interrupt_length;
        const char *line; bool interrupt_traces; // "> Leave: MIVO_usb_<kind>_transfer: <line>", nullptr: none
    };
    const NTSTATUS kOk = STATUS_SUCCESS, kFailed = STATUS_UNSUCCESSFUL;
    const Case cases[] = {
        {"short report", true, true, 7, 0, kOk, USBD_STATUS_SUCCESS, 3, kOk, 3, 3, nullptr, false},
        {"warning status counts as success", true, true, 7, 0, kOk, USBD_STATUS_PENDING, 4, kOk, 4, 4, nullptr, false},
        {"stalled after 2 bytes", true, true, 7, 0, kFailed, USBD_STATUS_STALL_PID, 2, kFailed, 2, 7,
         "STATUS_UNSUCCESSFUL", false},
        {"stall in the block only", true, true, 7, 0, kOk, USBD_STATUS_STALL_PID, 0, kFailed, 0, 7,
         "STATUS_UNSUCCESSFUL", false},
        {"request failed, block says success", true, true, 7, 0, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_SUCCESS,
         5, kFailed, 5, 7, "STATUS_UNSUCCESSFUL", false},
        {"no pipe, zero length", false, true, 0, 0, kOk, 0, -1, STATUS_INVALID_HANDLE, 0, 0,
         "STATUS_INVALID_HANDLE", true},
        {"zero length", true, true, 0, 0, kOk, 0, -1, STATUS_INVALID_PARAMETER, 0, 0, "STATUS_INVALID_PARAMETER",
         true},
        {"no buffer", true, false, 7, 0, kOk, 0, -1, STATUS_INVALID_PARAMETER, 7, 7, "STATUS_INVALID_PARAMETER",
         true},
        {"no pool for the block", true, true, 7, 1, kOk, 0, -1, STATUS_INSUFFICIENT_RESOURCES, 7, 7,
         "STATUS_INSUFFICIENT_RESOURCES", true},
        {"no pool for the request", true, true, 7, 2, kOk, 0, -1, kFailed, 7, 7, "STATUS_UNSUCCESSFUL", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int calls = script.calls;
        script.irp_status = c.irp_status;
        script.usbd_status = c.usbd_status;
        script.bus_length = c.bus_length;
        std::array<uint8_t, 7> storage{};
        PVOID buffer = c.buffer ? storage.data() : nullptr;
        dx.ControlPipe = c.pipe ? kControlPipe : nullptr;
        dx.InterruptPipe = c.pipe ? kInterruptPipe : nullptr;
        for (bool control : {true, false}) {
            sim::trace_clear();
            if (c.fail_nth)
                sim::pool_fail_nth(c.fail_nth);
            ULONG length = c.length;
            EXPECT_EQ(control ? MIVO_usb_set_control_transfer(&dx, buffer, &length, kSetReportLed.data())
                              : MIVO_usb_read_interrupt(&dx, buffer, &length),
                      c.expected);
            sim::pool_fail_clear();
            EXPECT_EQ(length, control ? c.control_length : c.interrupt_length);
            std::vector<std::string> lines;
            if (c.line && (control || c.interrupt_traces))
                lines.push_back(std::string("> Leave: MIVO_usb_") + (control ? "control" : "interrupt") + "_transfer: " +
                                c.line);
            EXPECT_EQ(sim::trace_lines(), lines);
        }
        if (c.bus_length < 0) {
            EXPECT_EQ(script.calls, calls) << "nothing reached the bus";
        }
    }
}

// A pending answer leaves the final status to come: the read waits for it and
// takes the request's status then, not the STATUS_PENDING of the call.
class ThreadedUsbSubmit : public UsbSubmit {};

TEST_F(ThreadedUsbSubmit, PendingRequestIsWaitedForAndItsFinalStatusTaken) {
    script.pend = true;
    script.irp_status = STATUS_CANCELLED;
    script.bus_length = 3;
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_SUCCESS;
    std::thread reader([&] {
        status = MIVO_usb_read_interrupt(&dx, buffer.data(), &length);
        returned = true;
    });
    while (script.held.load() == nullptr)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned) << "the read waits while the lower driver holds the request";
    PIRP irp = script.held.exchange(nullptr);
    answer(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    reader.join();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 7u);
}
