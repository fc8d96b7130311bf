// The simulated I/O manager as drivers meet it: the completion walk with its
// invoke flags, STATUS_MORE_PROCESSING_REQUIRED and pending propagation,
// requests completed from another thread, cancellation under the cancel
// lock, and the verifier catching deliberately broken drivers.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sim/io.h"
#include "tests/support/sim_test.h"

namespace {

// ---------------------------------------------------------------- a two-driver stack
// The lower driver does what the test asks of it; the upper one forwards
// with a completion routine whose invoke flags and answer the test chooses.
enum class Lower { CompleteNow, Pend, PendUnmarked, MarkNotPend, CompleteTwice, CompleteUnderLock, FailWithInfo, Queue };

struct Stack {
    Lower lower_mode = Lower::CompleteNow;
    NTSTATUS lower_status = STATUS_SUCCESS;
    ULONG_PTR lower_info = 0;
    UCHAR invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    NTSTATUS routine_answer = STATUS_SUCCESS;
    std::atomic<int> routine_calls{0};
    std::atomic<bool> routine_saw_pending{false};
    std::atomic<PIRP> held{nullptr}; // a request the lower driver keeps
    KSPIN_LOCK lock = 0;
    KEVENT back;
    std::atomic<int> cancel_calls{0};
    std::atomic<KIRQL> cancel_irql_seen{PASSIVE_LEVEL};
};

Stack *g_stack = nullptr;

NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT, PIRP irp) {
    Stack &s = *g_stack;
    irp->IoStatus.Status = s.lower_status;
    irp->IoStatus.Information = s.lower_info;
    switch (s.lower_mode) {
    case Lower::CompleteNow:
    case Lower::FailWithInfo:
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return s.lower_status;
    case Lower::CompleteTwice:
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return s.lower_status;
    case Lower::CompleteUnderLock: {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s.lock);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeReleaseSpinLock(&s.lock, irql);
        return s.lower_status;
    }
    case Lower::Pend:
        IoMarkIrpPending(irp);
        s.held = irp;
        return STATUS_PENDING;
    case Lower::PendUnmarked:
        s.held = irp;
        return STATUS_PENDING;
    case Lower::MarkNotPend:
        IoMarkIrpPending(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return s.lower_status;
    case Lower::Queue:
        IoMarkIrpPending(irp);
        s.held = irp;
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            g_stack->cancel_calls++;
            g_stack->cancel_irql_seen = KeGetCurrentIrql();
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            g_stack->held = nullptr;
            cancelled->IoStatus.Status = STATUS_CANCELLED;
            cancelled->IoStatus.Information = 0;
            IofCompleteRequest(cancelled, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI upper_routine(PDEVICE_OBJECT, PIRP irp, PVOID) {
    Stack &s = *g_stack;
    s.routine_calls++;
    s.routine_saw_pending = irp->PendingReturned != FALSE;
    if (s.routine_answer == STATUS_MORE_PROCESSING_REQUIRED) {
        KeSetEvent(&s.back, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI upper_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Stack &s = *g_stack;
    PDEVICE_OBJECT lower = sim::attached_to(device);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, upper_routine, nullptr, (s.invoke & SL_INVOKE_ON_SUCCESS) != 0,
                           (s.invoke & SL_INVOKE_ON_ERROR) != 0, (s.invoke & SL_INVOKE_ON_CANCEL) != 0);
    if (s.routine_answer != STATUS_MORE_PROCESSING_REQUIRED)
        return IofCallDriver(lower, irp);
    // The forward-and-wait pattern of a start request: the routine hands the
    // request back, the dispatch routine finishes it.
    KeInitializeEvent(&s.back, NotificationEvent, FALSE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&s.back, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class IoTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        g_stack = &stack;
        lower_driver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = lower_dispatch;
        upper_driver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = upper_dispatch;
        lower = sim::create_device(lower_driver, 0);
        upper = sim::create_device(upper_driver, 0, lower);
    }
    void TearDown() override {
        sim::delete_device(upper);
        sim::delete_device(lower);
        SimTest::TearDown();
        g_stack = nullptr;
    }
    // True when a problem contains `text`; the kernel is then reset so the
    // fixture passes.
    static bool found_and_cleared(const std::string &text) {
        bool found = false;
        for (const std::string &p : sim::problems())
            found = found || p.find(text) != std::string::npos;
        sim::reset();
        return found;
    }

    Stack stack;
    sim::DriverObject lower_driver{u"\\Driver\\lower"};
    sim::DriverObject upper_driver{u"\\Driver\\upper"};
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
};

class ThreadedIoTest : public IoTest {};

// ---------------------------------------------------------------- device stacks
TEST_F(IoTest, AttachingStacksDeviceObjectsAndGrowsTheStackSize) {
    EXPECT_EQ(lower->StackSize, 1);
    EXPECT_EQ(upper->StackSize, 2);
    EXPECT_EQ(lower->AttachedDevice, upper);
    EXPECT_EQ(sim::attached_to(upper), lower);

    // The HID class driver's device object sits on top of the whole stack.
    sim::DriverObject mini;
    PDEVICE_OBJECT fdo = sim::create_hid_device(mini, 40, lower);
    ASSERT_NE(fdo, nullptr);
    PHID_DEVICE_EXTENSION hx = sim::hid_extension(fdo);
    EXPECT_EQ(hx->PhysicalDeviceObject, lower);
    EXPECT_EQ(hx->NextDeviceObject, upper) << "attached to the top of the stack, not to the PDO itself";
    EXPECT_EQ(hx->MiniDeviceExtension, reinterpret_cast<PUCHAR>(fdo->DeviceExtension) + sizeof(HID_DEVICE_EXTENSION));
    EXPECT_EQ(fdo->StackSize, 3);
    sim::delete_device(fdo);
}

// ---------------------------------------------------------------- the completion walk
TEST_F(IoTest, CompletionRoutineRunsOnlyWhenItsInvokeFlagMatches) {
    struct Case {
        const char *name;
        NTSTATUS status;
        UCHAR invoke;
        bool cancel;
        bool runs;
    } cases[] = {
        {"success, on success", STATUS_SUCCESS, SL_INVOKE_ON_SUCCESS, false, true},
        {"success, on error only", STATUS_SUCCESS, SL_INVOKE_ON_ERROR, false, false},
        {"error, on error", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_ERROR, false, true},
        {"error, on success only", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_SUCCESS, false, false},
        {"cancelled, on cancel only", STATUS_CANCELLED, SL_INVOKE_ON_CANCEL, true, true},
        {"cancelled, on success only", STATUS_CANCELLED, SL_INVOKE_ON_SUCCESS, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stack.routine_calls = 0;
        stack.invoke = c.invoke;
        stack.lower_status = c.status;
        stack.lower_mode = c.cancel ? Lower::Queue : Lower::CompleteNow;
        sim::Request r(upper);
        r.send();
        if (c.cancel) {
            EXPECT_TRUE(r.cancel());
        }
        EXPECT_EQ(stack.routine_calls, c.runs ? 1 : 0);
        EXPECT_EQ(r.completions(), 1) << "the request comes back to its owner whether or not the routine ran";
        EXPECT_EQ(r.status(), c.status);
    }
}

TEST_F(ThreadedIoTest, MoreProcessingRequiredHandsTheRequestBackToTheRoutinesOwner) {
    stack.routine_answer = STATUS_MORE_PROCESSING_REQUIRED;
    stack.lower_status = STATUS_UNSUCCESSFUL;
    for (Lower mode : {Lower::CompleteNow, Lower::Pend}) {
        stack.lower_mode = mode;
        stack.routine_calls = 0;
        sim::Request r(upper);
        if (mode == Lower::Pend) {
            // The upper driver waits in its dispatch routine; complete from here.
            std::thread t([&] { EXPECT_EQ(r.send(), STATUS_SUCCESS); });
            while (!stack.held)
                std::this_thread::yield();
            PIRP held = stack.held;
            stack.held = nullptr;
            held->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IofCompleteRequest(held, IO_NO_INCREMENT);
            t.join();
        } else {
            EXPECT_EQ(r.send(), STATUS_SUCCESS);
        }
        EXPECT_EQ(stack.routine_calls, 1);
        ASSERT_EQ(r.completions(), 1) << "the walk stopped at the routine, the owner completed once";
        EXPECT_EQ(r.status(), STATUS_SUCCESS) << "the owner's status, not the lower driver's";
        EXPECT_EQ(r.information(), 7u);
    }
}

TEST_F(IoTest, PendingReturnedTravelsUpToEveryRoutine) {
    stack.lower_mode = Lower::Pend;
    sim::Request r(upper);
    EXPECT_EQ(r.send(), STATUS_PENDING);
    EXPECT_FALSE(r.completed());
    EXPECT_TRUE(r.outstanding());
    PIRP held = stack.held;
    held->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_TRUE(stack.routine_saw_pending);
    EXPECT_TRUE(r.pending_returned()) << "the upper routine marked its own location pending";
    EXPECT_FALSE(r.outstanding());
}

TEST_F(IoTest, BuiltControlRequestSignalsItsEventFillsTheBlockAndIsFreed) {
    stack.lower_mode = Lower::CompleteNow;
    stack.lower_status = STATUS_SUCCESS;
    stack.lower_info = 3;
    lower_driver.get()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        auto *buf = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buf[0], 0xAB) << "the input arrives in the system buffer";
        std::memcpy(buf, "\x01\x02\x03\x04", 4);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR in[2] = {0xAB, 0xCD};
    UCHAR out[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             lower, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::memcmp(out, "\x01\x02\x03\x00", 4), 0) << "Information bytes copied back, no more";
    EXPECT_EQ(sim::irps_live(), 0u) << "the I/O manager frees the request on completion";
}

TEST_F(IoTest, BuildingARequestFailsCleanlyWhenThePoolRefuses) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    sim::pool_fail_nth(1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE,
                                            &event, &iosb),
              nullptr);
    EXPECT_EQ(sim::irps_live(), 0u);
}

// ---------------------------------------------------------------- other threads
TEST_F(ThreadedIoTest, PendingLowerRequestCompletesFromAnotherThread) {
    stack.lower_mode = Lower::Pend;
    for (int round = 0; round < 20; ++round) {
        stack.held = nullptr;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, upper, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        std::thread completer([&] {
            while (!stack.held)
                std::this_thread::yield();
            PIRP held = stack.held;
            held->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            IofCompleteRequest(held, IO_NO_INCREMENT);
        });
        NTSTATUS status = IofCallDriver(upper, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        completer.join();
        EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(sim::irps_live(), 0u);
}

// ---------------------------------------------------------------- cancel
TEST_F(IoTest, CancelCallsTheArmedRoutineUnderTheCancelLockOnce) {
    stack.lower_mode = Lower::Queue;
    stack.lower_status = STATUS_PENDING;
    sim::Request r(upper);
    EXPECT_EQ(r.send(), STATUS_PENDING);
    EXPECT_TRUE(r.cancel());
    EXPECT_EQ(stack.cancel_calls, 1);
    EXPECT_EQ(stack.cancel_irql_seen, DISPATCH_LEVEL) << "entered holding the cancel spin lock";
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_TRUE(r.irp()->Cancel);
    // The slot was emptied before the routine ran: a second cancel finds nothing.
    EXPECT_FALSE(r.cancel());
    EXPECT_EQ(stack.cancel_calls, 1);
}

TEST_F(IoTest, CancelOfARequestWithoutRoutineOnlySetsTheFlag) {
    stack.lower_mode = Lower::Pend;
    sim::Request r(upper);
    r.send();
    EXPECT_FALSE(r.cancel());
    EXPECT_TRUE(r.irp()->Cancel);
    EXPECT_FALSE(r.completed());
    r.complete(STATUS_CANCELLED);
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
}

TEST_F(IoTest, RequestPointedAtADeviceCanBeQueuedAndCancelledWithoutDispatch) {
    sim::Request r(lower, {.ioctl = IOCTL_HID_READ_REPORT, .output_length = 7});
    r.point_at_target();
    EXPECT_EQ(IoGetCurrentIrpStackLocation(r.irp())->DeviceObject, lower);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(r.irp())->Parameters.DeviceIoControl.OutputBufferLength, 7u);
    EXPECT_EQ(r.irp()->UserBuffer, r.output().data());
    stack.lower_mode = Lower::Queue;
    lower_dispatch(lower, r.irp()); // as a read queue would be entered
    EXPECT_TRUE(r.cancel());
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(r.completions(), 1);
}

// ---------------------------------------------------------------- the verifier
TEST_F(IoTest, VerifierCatchesBrokenLowerDrivers) {
    struct Case {
        const char *name;
        Lower mode;
        NTSTATUS status;
        ULONG_PTR info;
        const char *problem;
    } cases[] = {
        {"double completion", Lower::CompleteTwice, STATUS_SUCCESS, 0, "completed twice"},
        {"pending without IoMarkIrpPending", Lower::PendUnmarked, STATUS_SUCCESS, 0, "without IoMarkIrpPending"},
        {"marked pending, returned success", Lower::MarkNotPend, STATUS_SUCCESS, 0, "pending but returned"},
        {"completion under a spin lock", Lower::CompleteUnderLock, STATUS_SUCCESS, 0, "holds a spin lock"},
        {"bytes on a failure", Lower::FailWithInfo, STATUS_UNSUCCESSFUL, 5, "but Information 5"},
        {"never completed", Lower::Pend, STATUS_SUCCESS, 0, "never completed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stack.lower_mode = c.mode;
        stack.lower_status = c.status;
        stack.lower_info = c.info;
        {
            sim::Request r(lower);
            r.send();
            if (c.mode == Lower::PendUnmarked)
                r.complete(STATUS_SUCCESS); // the verdict comes when the walk passes the location
            if (c.mode == Lower::CompleteTwice) {
                EXPECT_EQ(r.completions(), 2);
            }
            EXPECT_TRUE(found_and_cleared(c.problem));
        }
        // The reset forgot the stack's device objects with the pool: start again.
        lower = sim::create_device(lower_driver, 0);
        upper = sim::create_device(upper_driver, 0, lower);
    }
}

TEST_F(IoTest, VerifierCatchesCompletionWithTheCancelRoutineArmed) {
    stack.lower_mode = Lower::Queue;
    sim::Request r(lower);
    r.send();
    r.complete(STATUS_SUCCESS); // the driver forgot IoSetCancelRoutine(irp, NULL)
    EXPECT_TRUE(found_and_cleared("cancel routine still armed"));
    lower = sim::create_device(lower_driver, 0);
    upper = sim::create_device(upper_driver, 0, lower);
}

TEST_F(IoTest, CorrectDriversLeaveNoProblem) {
    for (Lower mode : {Lower::CompleteNow, Lower::Pend, Lower::Queue}) {
        stack.lower_mode = mode;
        sim::Request r(upper);
        r.send();
        if (mode == Lower::Pend)
            r.complete(STATUS_SUCCESS);
        if (mode == Lower::Queue)
            r.cancel();
        EXPECT_EQ(r.completions(), 1);
    }
    // The fixture finds nothing to report.
}

// ---------------------------------------------------------------- power
TEST_F(IoTest, PowerManagerRecordsStatesAndPassesPowerRequestsDown) {
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(lower, DevicePowerState, d3).DeviceState, PowerDeviceD0);
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(lower, DevicePowerState, d0).DeviceState, PowerDeviceD3);
    auto sets = sim::power_states_set();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].state, ULONG(PowerDeviceD3));
    EXPECT_EQ(sets[1].state, ULONG(PowerDeviceD0));

    lower_driver.get()->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    sim::Request r(lower, {.major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER});
    r.location()->Parameters.Power.Type = DevicePowerState;
    r.location()->Parameters.Power.State = d0;
    EXPECT_EQ(r.send_power(), STATUS_SUCCESS);
    EXPECT_EQ(sim::power_call_driver_calls(), 1);
    EXPECT_EQ(sim::power_start_next_calls(), 1);
}

} // namespace
