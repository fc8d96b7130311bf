// Synchronous USB transfers: the internal request handed to the lower driver,
// the request blocks as the bus driver sees them, every failure with the
// status and length it leaves, waiting for a pending lower request, and the
// virtual controller answering real control and interrupt transfers.

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "platform/kernel.h"
#include "platform/sim/io.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"
#include "usb/usb.h"

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

std::string pointer_text(const void *p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// ---------------------------------------------------------------- a scripted lower driver
// Stands where the USB bus driver would and records what reaches it, so that
// the request and its block can be checked field by field. It answers either
// at once or, when `pend` is set, later from the test through complete_held().
struct LowerScript {
    NTSTATUS irp_status = STATUS_SUCCESS;     // IoStatus.Status of the completion
    USBD_STATUS usbd_status = USBD_STATUS_SUCCESS; // written into a submitted block
    LONG bus_length = -1;                     // TransferBufferLength left in the block; -1: untouched
    bool pend = false;

    int calls = 0;
    UCHAR major = 0;
    ULONG ioctl = 0;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    std::vector<uint8_t> block; // the URB bytes as submitted
    std::atomic<PIRP> held{nullptr};
};
LowerScript *g_lower = nullptr;

void answer(PIRP irp) {
    LowerScript &s = *g_lower;
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (s.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && urb) {
        urb->UrbHeader.Status = s.usbd_status;
        if (s.bus_length >= 0) {
            // Both block kinds keep the length at the same offset.
            urb->UrbControlTransfer.TransferBufferLength = static_cast<ULONG>(s.bus_length);
        }
    }
    irp->IoStatus.Status = s.irp_status;
    irp->IoStatus.Information = 0;
}

NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT, PIRP irp) {
    LowerScript &s = *g_lower;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    s.calls++;
    s.major = sp->MajorFunction;
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

// The lower driver's side of a held request: answer it from this thread.
void complete_held() {
    PIRP irp = g_lower->held.exchange(nullptr);
    ASSERT_NE(irp, nullptr);
    answer(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// As on x64 Windows, the two arguments of an internal request share their
// slots with the buffer lengths, never with the control code: the bus driver
// dispatches on the code after the arguments were written.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
              offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3));

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
        dx.ControlPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xC0));
        dx.InterruptPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x181));
    }
    void TearDown() override {
        if (lower)
            sim::delete_device(lower);
        driver.reset();
        g_lower = nullptr;
        EXPECT_EQ(sim::irps_live(), 0u) << "every request built for the lower driver is released";
        SimTest::TearDown();
    }

    const _URB_CONTROL_TRANSFER &control_block() const {
        return *reinterpret_cast<const _URB_CONTROL_TRANSFER *>(script.block.data());
    }
    const _URB_BULK_OR_INTERRUPT_TRANSFER &interrupt_block() const {
        return *reinterpret_cast<const _URB_BULK_OR_INTERRUPT_TRANSFER *>(script.block.data());
    }

    LowerScript script;
    std::unique_ptr<sim::DriverObject> driver;
    PDEVICE_OBJECT lower = nullptr;
    DEVICE_EXTENSION dx{};
};

const std::array<uint8_t, 8> kGetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const std::array<uint8_t, 8> kSetReportLed = {0x21, 0x09, 0x04, 0x02, 0x00, 0x00, 0x02, 0x00};

} // namespace

// ---------------------------------------------------------------- the internal request
TEST_F(UsbSubmit, ArgumentsReachTheLowerDriversStackLocationOfAnInternalRequest) {
    ULONG port_status = 0;
    int second = 0;
    EXPECT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port_status, &second), STATUS_SUCCESS);
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(script.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(script.ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
    EXPECT_EQ(script.argument1, &port_status);
    EXPECT_EQ(script.argument2, &second);
}

TEST_F(UsbSubmit, ImmediateAnswerIsTheResult) {
    script.irp_status = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(script.ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT));
    EXPECT_EQ(script.argument1, nullptr);
    EXPECT_EQ(script.argument2, nullptr);
}

TEST_F(UsbSubmit, UnbuildableRequestNeverReachesTheLowerDriver) {
    sim::pool_fail_nth(1); // the request itself
    EXPECT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(script.calls, 0);
}

// ---------------------------------------------------------------- the request blocks
TEST_F(UsbSubmit, ControlBlockAsTheBusDriverSeesIt) {
    struct Case {
        const char *name;
        bool get;
        ULONG flags;
    };
    for (const Case &c : {Case{"device to host", true, 0x0B}, Case{"host to device", false, 0x0A}}) {
        SCOPED_TRACE(c.name);
        script.block.clear();
        std::array<uint8_t, 18> buffer{};
        ULONG length = sizeof(buffer);
        std::array<uint8_t, 8> setup = c.get ? kGetDeviceDescriptor : kSetReportLed;
        NTSTATUS status = c.get ? MIVO_usb_get_control_transfer(&dx, buffer.data(), &length, setup.data())
                                : MIVO_usb_set_control_transfer(&dx, buffer.data(), &length, setup.data());
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(script.ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB));
        EXPECT_EQ(script.argument2, nullptr);
        ASSERT_EQ(script.block.size(), 136u);
        const _URB_CONTROL_TRANSFER &b = control_block();
        EXPECT_EQ(b.Hdr.Length, 136);
        EXPECT_EQ(b.Hdr.Function, URB_FUNCTION_CONTROL_TRANSFER);
        EXPECT_EQ(b.Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(b.PipeHandle, nullptr) << "the default pipe is implied by the flags";
        EXPECT_EQ(b.TransferFlags, c.flags);
        EXPECT_EQ(b.TransferBufferLength, 18u);
        EXPECT_EQ(b.TransferBuffer, buffer.data());
        EXPECT_EQ(b.TransferBufferMDL, nullptr);
        EXPECT_EQ(b.UrbLink, nullptr);
        EXPECT_THAT(b.SetupPacket, ElementsAreArray(setup));
        // The block is cleared before it is filled: nothing of the pool's old
        // contents reaches the bus driver.
        const _URB_HCD_AREA zero{};
        EXPECT_EQ(std::memcmp(&b.hca, &zero, sizeof(zero)), 0);
        EXPECT_EQ(b.Hdr.UsbdDeviceHandle, nullptr);
    }
}

TEST_F(UsbSubmit, InterruptBlockAsTheBusDriverSeesIt) {
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    ASSERT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), STATUS_SUCCESS);
    ASSERT_EQ(script.block.size(), 128u);
    const _URB_BULK_OR_INTERRUPT_TRANSFER &b = interrupt_block();
    EXPECT_EQ(b.Hdr.Length, 128);
    EXPECT_EQ(b.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(b.PipeHandle, dx.InterruptPipe);
    EXPECT_EQ(b.TransferFlags, 0x03u);
    EXPECT_EQ(b.TransferBufferLength, 7u);
    EXPECT_EQ(b.TransferBuffer, buffer.data());
    EXPECT_EQ(b.TransferBufferMDL, nullptr);
    EXPECT_EQ(b.UrbLink, nullptr);
    EXPECT_EQ(script.argument2, nullptr);
}

// ---------------------------------------------------------------- outcomes and lengths
// Success needs both the request's status and the block's USBD status. The
// control transfer always hands back the length the bus driver left; the
// interrupt transfer only on success.
TEST_F(UsbSubmit, BothStatusesDecideAndEachTransferReportsItsLength) {
    struct Case {
        const char *name;
        NTSTATUS irp_status;
        USBD_STATUS usbd_status;
        LONG bus_length;
        NTSTATUS expected;
        ULONG control_length;
        ULONG interrupt_length;
    };
    const Case cases[] = {
        {"whole", STATUS_SUCCESS, USBD_STATUS_SUCCESS, 7, STATUS_SUCCESS, 7, 7},
        {"short", STATUS_SUCCESS, USBD_STATUS_SUCCESS, 3, STATUS_SUCCESS, 3, 3},
        {"stalled", STATUS_SUCCESS, USBD_STATUS_STALL_PID, 0, STATUS_UNSUCCESSFUL, 0, 7},
        {"partial then stalled", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 2, STATUS_UNSUCCESSFUL, 2, 7},
        {"request failed, block says success", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_SUCCESS, 5,
         STATUS_UNSUCCESSFUL, 5, 7},
        {"warning status counts as success", STATUS_SUCCESS, USBD_STATUS_PENDING, 4, STATUS_SUCCESS, 4, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t live = sim::pool_stats().live_allocations;
        script.irp_status = c.irp_status;
        script.usbd_status = c.usbd_status;
        script.bus_length = c.bus_length;
        std::array<uint8_t, 7> buffer{};

        sim::trace_clear();
        ULONG length = sizeof(buffer);
        EXPECT_EQ(MIVO_usb_set_control_transfer(&dx, buffer.data(), &length, kSetReportLed.data()), c.expected);
        EXPECT_EQ(length, c.control_length);
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_THAT(sim::trace_lines(), IsEmpty()) << "a good control transfer is silent";
        } else {
            EXPECT_THAT(sim::trace_lines(), Contains("> Leave: MIVO_usb_control_transfer: STATUS_UNSUCCESSFUL"));
        }

        sim::trace_clear();
        length = sizeof(buffer);
        EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), c.expected);
        EXPECT_EQ(length, c.interrupt_length);
        // The USB worker retries a failed read every 10 ms; it must not flood the trace.
        EXPECT_THAT(sim::trace_lines(), IsEmpty());
        EXPECT_EQ(sim::pool_stats().live_allocations, live) << "every block is freed, also after a failure";
    }
}

// Refusals before anything is allocated or sent; the handle is looked at
// before the length and the buffer.
TEST_F(UsbSubmit, RefusedTransfersSendNothingAndKeepTheLength) {
    struct Case {
        const char *name;
        bool handle;
        bool buffer;
        ULONG length;
        NTSTATUS expected;
        const char *trace;
    };
    const Case cases[] = {
        {"no handle", false, true, 7, STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {"no handle and zero length", false, true, 0, STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {"no handle and no buffer", false, false, 7, STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {"zero length", true, true, 0, STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {"no buffer", true, false, 7, STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::array<uint8_t, 7> storage{};
        PVOID buffer = c.buffer ? storage.data() : nullptr;
        dx.ControlPipe = c.handle ? reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xC0)) : nullptr;
        dx.InterruptPipe = c.handle ? reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x181)) : nullptr;
        const size_t allocations = sim::pool_stats().total_allocations;

        sim::trace_clear();
        ULONG length = c.length;
        EXPECT_EQ(MIVO_usb_set_control_transfer(&dx, buffer, &length, kSetReportLed.data()), c.expected);
        EXPECT_EQ(length, c.length);
        EXPECT_THAT(sim::trace_lines(),
                    ElementsAreArray({std::string("> Leave: MIVO_usb_control_transfer: ") + c.trace}));

        sim::trace_clear();
        length = c.length;
        EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer, &length), c.expected);
        EXPECT_EQ(length, c.length);
        EXPECT_THAT(sim::trace_lines(),
                    ElementsAreArray({std::string("> Leave: MIVO_usb_interrupt_transfer: ") + c.trace}));

        EXPECT_EQ(sim::pool_stats().total_allocations, allocations) << "refused before any allocation";
    }
    EXPECT_EQ(script.calls, 0);
}

TEST_F(UsbSubmit, BlockAllocationFailureSendsNothing) {
    std::array<uint8_t, 7> buffer{};
    sim::pool_fail_nth(1);
    ULONG length = 7;
    EXPECT_EQ(MIVO_usb_set_control_transfer(&dx, buffer.data(), &length, kSetReportLed.data()),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 7u);
    sim::pool_fail_nth(1);
    EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(script.calls, 0);
    EXPECT_THAT(sim::trace_lines(),
                ElementsAreArray({"> Leave: MIVO_usb_control_transfer: STATUS_INSUFFICIENT_RESOURCES",
                                  "> Leave: MIVO_usb_interrupt_transfer: STATUS_INSUFFICIENT_RESOURCES"}));
}

TEST_F(UsbSubmit, RequestAllocationFailureFailsTheTransferAndFreesTheBlock) {
    std::array<uint8_t, 7> buffer{};
    ULONG length = 7;
    const size_t live = sim::pool_stats().live_allocations;
    sim::pool_fail_nth(2); // the block is the first allocation, the request the second
    EXPECT_EQ(MIVO_usb_set_control_transfer(&dx, buffer.data(), &length, kSetReportLed.data()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 7u) << "the block's length as it was filled: nothing was transferred";
    sim::pool_fail_nth(2);
    EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(script.calls, 0);
    EXPECT_EQ(sim::pool_stats().live_allocations, live) << "the block is freed when its request cannot be built";
}

TEST_F(UsbSubmit, GetControlTransferTracesItsArgumentsOnEntry) {
    std::array<uint8_t, 18> buffer{};
    ULONG length = sizeof(buffer);
    ASSERT_EQ(MIVO_usb_get_control_transfer(&dx, buffer.data(), &length, kGetDeviceDescriptor.data()),
              STATUS_SUCCESS);
    EXPECT_THAT(sim::trace_lines(),
                ElementsAreArray({"> Enter: MIVO_usb_get_control_transfer:  and leave: " + pointer_text(&dx) + ", " +
                                  pointer_text(buffer.data()) + ", 18"}));
}

// ---------------------------------------------------------------- a lower request that pends
class ThreadedUsbSubmit : public UsbSubmit {};

TEST_F(ThreadedUsbSubmit, PendingRequestIsWaitedForAndItsFinalStatusReturned) {
    script.pend = true;
    script.irp_status = STATUS_SUCCESS;
    script.usbd_status = USBD_STATUS_SUCCESS;
    script.bus_length = 3;
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread reader([&] {
        status = MIVO_usb_read_interrupt(&dx, buffer.data(), &length);
        returned = true;
    });
    while (g_lower->held.load() == nullptr)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned) << "the read must wait while the lower driver holds the request";
    complete_held();
    reader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(length, 3u) << "the length the bus driver left once it completed";
}

TEST_F(ThreadedUsbSubmit, PendingRequestFailureComesFromTheStatusBlock) {
    script.pend = true;
    script.irp_status = STATUS_CANCELLED;
    NTSTATUS status = STATUS_SUCCESS;
    std::thread caller([&] { status = MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, nullptr); });
    while (g_lower->held.load() == nullptr)
        std::this_thread::yield();
    complete_held();
    caller.join();
    EXPECT_EQ(status, STATUS_CANCELLED) << "not the STATUS_PENDING of the call";
}

// ---------------------------------------------------------------- against the virtual controller
namespace {

class UsbTransfer : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        usb = std::make_unique<sim::UsbDevice>();
        dx.LowerDeviceObject = usb->pdo();
        bring_up();
        usb->clear_records();
        sim::trace_clear();
    }
    void TearDown() override {
        usb.reset();
        EXPECT_EQ(sim::irps_live(), 0u);
        SimTest::TearDown();
    }

    // What the driver's start does before any transfer: the device-descriptor
    // read gives the default pipe's handle, the configuration the interrupt pipe.
    void bring_up() {
        URB urb{};
        USB_DEVICE_DESCRIPTOR device{};
        UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device), nullptr);
        ASSERT_EQ(MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr), STATUS_SUCCESS);
        dx.ControlPipe = urb.UrbControlDescriptorRequest.Reserved;
        ASSERT_NE(dx.ControlPipe, nullptr);

        std::vector<uint8_t> configuration = usb->configuration_descriptor();
        auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr},
                                             {nullptr, nullptr}};
        ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
        PURB select = USBD_CreateConfigurationRequestEx(cd, list);
        ASSERT_NE(select, nullptr);
        NTSTATUS status = MIVO_usb_submit_sync(&dx, IOCTL_INTERNAL_USB_SUBMIT_URB, select, nullptr);
        if (NT_SUCCESS(status))
            dx.InterruptPipe = list[0].Interface->Pipes[0].PipeHandle;
        ExFreePool(select);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(dx.InterruptPipe, nullptr);
    }

    std::unique_ptr<sim::UsbDevice> usb;
    DEVICE_EXTENSION dx{};
};

} // namespace

TEST_F(UsbTransfer, DescriptorReadsReturnWhatTheDeviceHolds) {
    std::array<uint8_t, 64> device{};
    ULONG length = sizeof(device); // more room than wLength asks for
    ASSERT_EQ(MIVO_usb_get_control_transfer(&dx, device.data(), &length, kGetDeviceDescriptor.data()),
              STATUS_SUCCESS);
    ASSERT_EQ(length, 18u);
    EXPECT_THAT(std::vector<uint8_t>(device.begin(), device.begin() + 18), ElementsAreArray(usb->device_descriptor()));

    // The report-descriptor read of the start: a 999-byte buffer, wLength 266.
    const std::array<uint8_t, 8> get_report_descriptor = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x0A, 0x01};
    std::vector<uint8_t> report(999);
    length = static_cast<ULONG>(report.size());
    ASSERT_EQ(MIVO_usb_get_control_transfer(&dx, report.data(), &length, get_report_descriptor.data()),
              STATUS_SUCCESS);
    std::vector<uint8_t> expected = usb->report_descriptor();
    if (expected.size() > 266)
        expected.resize(266);
    ASSERT_EQ(length, expected.size());
    report.resize(length);
    EXPECT_EQ(report, expected);
}

TEST_F(UsbTransfer, UnpluggedDeviceFailsBothTransfers) {
    usb->unplug();
    std::array<uint8_t, 7> buffer{};
    ULONG length = 2;
    EXPECT_EQ(MIVO_usb_set_control_transfer(&dx, buffer.data(), &length, kSetReportLed.data()), STATUS_UNSUCCESSFUL);
    length = 7;
    EXPECT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 7u) << "a failed read leaves the length asked for";
}

TEST_F(UsbTransfer, ShortReportGivesSuccessAndTheShorterLength) {
    usb->short_reports(3);
    usb->push_rotation(1, 2, 3);
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    ASSERT_EQ(MIVO_usb_read_interrupt(&dx, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_THAT(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 3), ElementsAreArray({0x02, 0x01, 0x00}));
}

class ThreadedUsbTransfer : public UsbTransfer {};

TEST_F(ThreadedUsbTransfer, ReadWaitsUntilTheDeviceSendsAReport) {
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread worker([&] {
        status = MIVO_usb_read_interrupt(&dx, buffer.data(), &length);
        returned = true;
    });
    ASSERT_TRUE(usb->wait_pending_reads(1));
    EXPECT_FALSE(returned) << "no report yet: the read waits without a time-out";
    usb->push_rotation(-1, 0, 1);
    worker.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(length, 7u);
    EXPECT_THAT(buffer, ElementsAreArray({0x02, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00}));
}

TEST_F(ThreadedUsbTransfer, WaitingReadFailsWhenTheDeviceGoes) {
    std::array<uint8_t, 7> buffer{};
    ULONG length = sizeof(buffer);
    NTSTATUS status = STATUS_PENDING;
    std::thread worker([&] { status = MIVO_usb_read_interrupt(&dx, buffer.data(), &length); });
    ASSERT_TRUE(usb->wait_pending_reads(1));
    usb->unplug();
    worker.join();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 7u);
}
