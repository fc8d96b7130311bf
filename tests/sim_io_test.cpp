// The simulated I/O manager as drivers meet it: the completion walk with its
// invoke flags, STATUS_MORE_PROCESSING_REQUIRED and pending propagation,
// requests completed from another thread, cancellation under the cancel
// lock, and the verifier catching deliberately broken drivers.
#include <atomic>
#include <string>
#include <thread>

#include "platform/sim/io.h"
#include "tests/support/sim_test.h"

namespace {

// ---------------------------------------------------------------- a two-driver stack
// The lower driver does what the test asks of it, broken ways included; the
// upper one forwards with a completion routine whose invoke flags and answer
// the test chooses.
enum class Lower { Complete, CompleteTwice, CompleteUnderLock, MarkNotPend, Pend, PendUnmarked, Queue };

struct Stack {
    Lower mode = Lower::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR info = 0;
    UCHAR invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    bool more_processing = false; // the upper routine takes the request back
    std::atomic<int> routine_calls{0}, cancel_calls{0};
    std::atomic<bool> routine_saw_pending{false};
    std::atomic<KIRQL> cancel_irql{PASSIVE_LEVEL};
    std::atomic<PIRP> held{nullptr}; // a request the lower driver keeps
    KEVENT back;
    KSPIN_LOCK lock = 0;
};

Stack *g_stack = nullptr;

VOID NTAPI lower_cancel(PDEVICE_OBJECT, PIRP irp) {
    g_stack->cancel_calls++;
    g_stack->cancel_irql = KeGetCurrentIrql();
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_stack->held = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT, PIRP irp) {
    Stack &s = *g_stack;
    irp->IoStatus.Status = s.status;
    irp->IoStatus.Information = s.info;
    switch (s.mode) {
    case Lower::Complete: break;
    case Lower::CompleteTwice: IofCompleteRequest(irp, IO_NO_INCREMENT); break;
    case Lower::MarkNotPend: IoMarkIrpPending(irp); break;
    case Lower::CompleteUnderLock: {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s.lock);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeReleaseSpinLock(&s.lock, irql);
        return s.status;
    }
    case Lower::Queue: IoSetCancelRoutine(irp, lower_cancel); [[fallthrough]];
    case Lower::Pend: IoMarkIrpPending(irp); [[fallthrough]];
    case Lower::PendUnmarked: s.held = irp; return STATUS_PENDING;
    }
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return s.status;
}

NTSTATUS NTAPI upper_routine(PDEVICE_OBJECT, PIRP irp, PVOID) {
    Stack &s = *g_stack;
    s.routine_calls++;
    s.routine_saw_pending = irp->PendingReturned != FALSE;
    if (s.more_processing) {
        KeSetEvent(&s.back, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI upper_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Stack &s = *g_stack;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, upper_routine, nullptr, (s.invoke & SL_INVOKE_ON_SUCCESS) != 0,
                           (s.invoke & SL_INVOKE_ON_ERROR) != 0, (s.invoke & SL_INVOKE_ON_CANCEL) != 0);
    if (!s.more_processing)
        return IofCallDriver(sim::attached_to(device), irp);
    // The forward-and-wait pattern of a start request: the routine hands the
    // request back, the dispatch routine finishes it.
    KeInitializeEvent(&s.back, NotificationEvent, FALSE);
    if (IofCallDriver(sim::attached_to(device), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&s.back, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Completes the request the lower driver holds once it holds one.
void complete_held(Stack &s, NTSTATUS status) {
    while (!s.held)
        std::this_thread::yield();
    PIRP held = s.held.exchange(nullptr);
    held->IoStatus.Status = status;
    IofCompleteRequest(held, IO_NO_INCREMENT);
}

class IoTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        g_stack = &stack;
        lower_driver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = lower_dispatch;
        upper_driver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = upper_dispatch;
        build_stack();
    }
    void TearDown() override {
        sim::delete_device(upper);
        sim::delete_device(lower);
        SimTest::TearDown();
        g_stack = nullptr;
    }
    void build_stack() {
        lower = sim::create_device(lower_driver, 0);
        upper = sim::create_device(upper_driver, 0, lower);
    }
    // True when a problem contains `text`. The kernel is then reset so the
    // fixture passes, and the stack, forgotten with the pool, built again.
    bool found_and_cleared(const std::string &text) {
        bool found = false;
        for (const std::string &p : sim::problems())
            found = found || p.find(text) != std::string::npos;
        sim::reset();
        build_stack();
        return found;
    }

    Stack stack;
    sim::DriverObject lower_driver{u"\\Driver\\lower"};
    sim::DriverObject upper_driver{u"\\Driver\\upper"};
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
};

class ThreadedIoTest : public IoTest {};

// ---------------------------------------------------------------- the completion walk
// The invoke flags and STATUS_MORE_PROCESSING_REQUIRED are checked from inside
// a driver by tests/conform (Conform), against Wine's kernel too.
TEST_F(IoTest, PendingReturnedTravelsUpToEveryRoutine) {
    stack.mode = Lower::Pend;
    sim::Request r(upper);
    EXPECT_EQ(r.send(), STATUS_PENDING);
    EXPECT_TRUE(r.outstanding());
    complete_held(stack, STATUS_SUCCESS);
    EXPECT_TRUE(stack.routine_saw_pending);
    EXPECT_TRUE(r.pending_returned()) << "the upper routine marked its own location pending";
    EXPECT_FALSE(r.outstanding());
}

TEST_F(ThreadedIoTest, PendingLowerRequestCompletesFromAnotherThread) {
    stack.mode = Lower::Pend;
    for (int round = 0; round < 20; ++round) {
        // Odd rounds: the upper driver waits in its dispatch routine and finishes the request itself.
        stack.more_processing = round % 2 == 1;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, upper, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        std::thread completer([&] { complete_held(stack, STATUS_DEVICE_NOT_CONNECTED); });
        NTSTATUS status = IofCallDriver(upper, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        completer.join();
        EXPECT_EQ(status, stack.more_processing ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(iosb.Information, stack.more_processing ? 7u : 0u);
    }
    EXPECT_EQ(sim::irps_live(), 0u);
}

// ---------------------------------------------------------------- cancel
TEST_F(IoTest, CancelCallsTheArmedRoutineUnderTheCancelLockOnce) {
    stack.mode = Lower::Queue;
    sim::Request r(upper);
    EXPECT_EQ(r.send(), STATUS_PENDING);
    EXPECT_TRUE(r.cancel());
    EXPECT_EQ(stack.cancel_irql, DISPATCH_LEVEL) << "entered holding the cancel spin lock";
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_FALSE(r.cancel()) << "the slot was emptied before the routine ran";
    EXPECT_EQ(stack.cancel_calls, 1);

    stack.mode = Lower::Pend; // no cancel routine: only the flag is set
    sim::Request unarmed(upper);
    unarmed.send();
    EXPECT_FALSE(unarmed.cancel());
    EXPECT_TRUE(unarmed.irp()->Cancel);
    EXPECT_FALSE(unarmed.completed());
    unarmed.complete(STATUS_CANCELLED);
}

// ---------------------------------------------------------------- the verifier
TEST_F(IoTest, VerifierCatchesBrokenLowerDrivers) {
    struct Case { const char *name; Lower mode; NTSTATUS status; ULONG_PTR info; const char *problem; } cases[] = {
        {"double completion", Lower::CompleteTwice, STATUS_SUCCESS, 0, "completed twice"},
        {"never completed", Lower::Pend, STATUS_SUCCESS, 0, "never completed"},
        {"pending without IoMarkIrpPending", Lower::PendUnmarked, STATUS_SUCCESS, 0, "without IoMarkIrpPending"},
        {"marked pending, returned success", Lower::MarkNotPend, STATUS_SUCCESS, 0, "pending but returned"},
        {"completion under a spin lock", Lower::CompleteUnderLock, STATUS_SUCCESS, 0, "holds a spin lock"},
        {"bytes on a failure", Lower::Complete, STATUS_UNSUCCESSFUL, 5, "but Information 5"},
        {"cancel routine left armed", Lower::Queue, STATUS_SUCCESS, 0, "cancel routine still armed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stack.mode = c.mode;
        stack.status = c.status;
        stack.info = c.info;
        sim::Request r(lower);
        r.send();
        if (c.mode == Lower::PendUnmarked || c.mode == Lower::Queue)
            r.complete(STATUS_SUCCESS); // the verdict comes when the walk passes the location
        EXPECT_EQ(r.completions(), c.mode == Lower::CompleteTwice ? 2 : c.mode == Lower::Pend ? 0 : 1);
        EXPECT_TRUE(found_and_cleared(c.problem));
    }
}

} // namespace
