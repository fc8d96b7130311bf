// The simulated executive: pool accounting and fault injection, spin locks and
// IRQL, events and waits, system threads with their objects and handles, and
// counted strings. Misuse must be reported, never crash.

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "platform/kernel.h"
#include "platform/sim/internal.h"
#include "tests/support/sim_test.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

namespace {

// The problems found so far; the kernel is reset so that the fixture's
// teardown only sees what comes after.
std::vector<std::string> take_problems() {
    std::vector<std::string> found = sim::problems();
    sim::reset();
    return found;
}

// A time-out in 100 ns units: negative is relative, positive absolute.
LARGE_INTEGER timeout(int64_t t) { LARGE_INTEGER l; l.QuadPart = t; return l; }
LARGE_INTEGER zero = timeout(0);
NTSTATUS poll(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero); }

HANDLE open_key_handle() { return sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, nullptr, nullptr); }

} // namespace

// ---------------------------------------------------------------- pool
class SimPool : public SimTest {};

TEST_F(SimPool, LeakIsReportedWithSizePoolTypeTagAndSequence) {
    auto *first = static_cast<unsigned char *>(ExAllocatePool(NonPagedPool, 24));
    ASSERT_NE(ExAllocatePoolWithTag(PagedPool, 100, 0x6F76694DU), nullptr);
    EXPECT_NE(first[0] | first[23], 0) << "new pool is not zeroed, as on a real kernel";
    EXPECT_EQ(sim::pool_stats().live_bytes, 124u);
    ExFreePool(first);
    EXPECT_THAT(take_problems(), ElementsAre(AllOf(HasSubstr("leaked pool"), HasSubstr("100 bytes"), HasSubstr("PagedPool"),
                                                   HasSubstr("'Mivo'"), HasSubstr("allocation #2"))));
}

TEST_F(SimPool, FaultInjectionFailsTheNthAllocationAndEveryOneOfASize) {
    sim::pool_fail_nth(3); // counts every attempt, refused ones too
    sim::pool_fail_size(32);
    const size_t sizes[] = {8, 32, 16, 33, 32};
    const bool fails[] = {false, true, true, false, true};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        void *p = ExAllocatePool(NonPagedPool, sizes[i]);
        EXPECT_EQ(p == nullptr, fails[i]) << "allocation " << i + 1;
        if (p != nullptr)
            ExFreePoolWithTag(p, 0); // tag 0 frees any block
    }
    EXPECT_EQ(sim::pool_stats().failed_allocations, 3u);
    sim::pool_fail_clear();
    void *p = ExAllocatePool(NonPagedPool, 32);
    EXPECT_NE(p, nullptr);
    ExFreePool(p); // and the fixture checks that a refused allocation is no leak
}

// ---------------------------------------------------------------- misuse
class SimMisuse : public SimTest {};

TEST_F(SimMisuse, EachMisuseIsReportedAndTheKernelCarriesOn) {
    struct Case { const char *name; std::function<void(PKSPIN_LOCK)> misuse; const char *reported; } cases[] = {
        {"double free", [](PKSPIN_LOCK) { void *p = ExAllocatePool(NonPagedPool, 16); ExFreePool(p); ExFreePool(p); }, "double free"},
        {"free inside a block",
         [](PKSPIN_LOCK) { auto *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 16)); ExFreePool(p + 4); ExFreePool(p); },
         "bad free"},
        {"free with the wrong tag", [](PKSPIN_LOCK) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, 0x41414141U), 0x42424242U); },
         "does not match"},
        {"release of a lock not held", [](PKSPIN_LOCK l) { KeReleaseSpinLock(l, PASSIVE_LEVEL); }, "does not hold"},
        {"lock taken twice by its owner",
         [](PKSPIN_LOCK l) { KIRQL a = KeAcquireSpinLockRaiseToDpc(l); KeReleaseSpinLock(l, KeAcquireSpinLockRaiseToDpc(l)); KeReleaseSpinLock(l, a); },
         "acquired again"},
        {"lock still held at the check", [](PKSPIN_LOCK l) { KeAcquireSpinLockRaiseToDpc(l); }, "still holds 1 spin lock"},
        {"blocking wait under a lock",
         [](PKSPIN_LOCK l) { // the event is set: only the kind of wait is wrong
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, TRUE);
             KIRQL o = KeAcquireSpinLockRaiseToDpc(l);
             KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
             KeReleaseSpinLock(l, o);
         },
         "blocking wait at DISPATCH_LEVEL"},
        {"paged pool under a lock",
         [](PKSPIN_LOCK l) { KIRQL o = KeAcquireSpinLockRaiseToDpc(l); void *p = ExAllocatePool(PagedPool, 8); KeReleaseSpinLock(l, o); ExFreePool(p); },
         "paged pool requested at DISPATCH_LEVEL"},
        {"wait on uninitialised pool",
         [](PKSPIN_LOCK) { void *e = ExAllocatePool(NonPagedPool, sizeof(KEVENT)); EXPECT_NE(poll(e), STATUS_SUCCESS); ExFreePool(e); },
         "not a dispatcher object"},
        {"paged code under a lock",
         [](PKSPIN_LOCK l) { KIRQL o = KeAcquireSpinLockRaiseToDpc(l); PAGED_CODE(); KeReleaseSpinLock(l, o); },
         "assertion failed: PAGED_CODE()"},
        {"a driver's assertion", [](PKSPIN_LOCK) { NT_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL); },
         "assertion failed: KeGetCurrentIrql() == DISPATCH_LEVEL"},
        {"handle left open", [](PKSPIN_LOCK) { open_key_handle(); }, "handle still open"},
        {"handle closed twice", [](PKSPIN_LOCK) { HANDLE h = open_key_handle(); ZwClose(h); EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE); },
         "not an open handle"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        c.misuse(&lock);
        EXPECT_THAT(take_problems(), ElementsAre(HasSubstr(c.reported)));
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// ---------------------------------------------------------------- spin locks
class ThreadedSimSpinLock : public SimTest {};

TEST_F(ThreadedSimSpinLock, RaisesToDispatchNestsAllowsPollingAndExcludesOtherThreads) {
    KSPIN_LOCK lock, inner;
    KeInitializeSpinLock(&lock);
    KeInitializeSpinLock(&inner);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock), old_inner;
    KeAcquireSpinLock(&inner, &old_inner);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(old_inner, DISPATCH_LEVEL);
    EXPECT_EQ(poll(&e), STATUS_TIMEOUT) << "a zero time-out never blocks, so it is allowed here";
    KeReleaseSpinLock(&inner, old_inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    long counter = 0; // deliberately plain: only the spin lock orders the increments
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL o = KeAcquireSpinLockRaiseToDpc(&lock);
            ++counter;
            KeReleaseSpinLock(&lock, o);
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
}

// ---------------------------------------------------------------- events and waits
class SimEvent : public SimTest {};

TEST_F(SimEvent, NotificationStaysSetSynchronizationResetsOnWait) {
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, FALSE);
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0) << "returns the previous state";
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(poll(&n), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&n), 1);
    EXPECT_EQ(poll(&n), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&s), 0) << "a satisfied wait takes the signal";
    EXPECT_EQ(poll(&s), STATUS_TIMEOUT);
}

// Time-outs in both clocks: in real time they last their length; in virtual
// time a host thread that waits while nothing else can run moves the clock to
// its own time-out at once.
TEST_F(SimEvent, TimeoutsRelativeAndAbsoluteAndDelaysEndAtTheirTime) {
    for (bool real : {false, true}) {
        SCOPED_TRACE(real ? "real clock" : "virtual clock");
        if (real)
            sim::clock_real();
        // Absolute time-outs are system times, which run with the interrupt time.
        const int64_t now = int64_t(KeQueryInterruptTime());
        LARGE_INTEGER system;
        KeQuerySystemTime(&system);
        struct Case { const char *name; LARGE_INTEGER timeout; int64_t length; bool delay; } cases[] = {
            {"zero polls", timeout(0), 0, false},
            {"relative 30 ms", timeout(-300'000), 300'000, false},
            {"absolute 60 ms after the start", timeout(system.QuadPart + 600'000), -1, false},
            {"absolute in the past", timeout(system.QuadPart - 1), 0, false},
            {"an interrupt time is long past as a system time", timeout(now + 600'000), 0, false},
            {"delay of 20 ms", timeout(-200'000), 200'000, true},
        };
        for (Case &c : cases) {
            SCOPED_TRACE(c.name);
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            int64_t before = int64_t(KeQueryInterruptTime());
            auto start = std::chrono::steady_clock::now();
            if (c.delay)
                EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &c.timeout), STATUS_SUCCESS);
            else
                EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &c.timeout), STATUS_TIMEOUT);
            double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            int64_t end = c.length < 0 ? now + (c.timeout.QuadPart - system.QuadPart) : before + c.length;
            int64_t after = int64_t(KeQueryInterruptTime());
            EXPECT_GE(after, end) << "the clock reads the time-out's end";
            if (real) {
                EXPECT_GE(took, (end - before) / 10'000.0 - 1);
            } else {
                EXPECT_EQ(after, std::max(end, before)) << "virtual time jumps exactly to the time-out";
                EXPECT_LE(took, 1000.0) << "and does not wait for it";
            }
        }
    }
}

class ThreadedSimEvent : public SimTest {};

TEST_F(ThreadedSimEvent, SynchronizationEventWakesOneWaiterPerSignal) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    auto waiter = [&] { woken += KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS; };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken.load(), 1) << "one signal satisfies one wait";
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(KeReadStateEvent(&e), 0);
}

// ---------------------------------------------------------------- system threads
namespace {

struct Worker {
    KEVENT go;
    bool terminate = true;
    std::atomic<bool> after_terminate{false};
};

VOID NTAPI worker_routine(PVOID context) {
    auto *w = static_cast<Worker *>(context);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
    if (w->terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        w->after_terminate = true; // never reached
    }
}

// Starts a worker and takes a counted reference to its thread object, the way
// the driver does; the handle is closed unless the caller keeps it.
PKTHREAD start_worker(Worker &w, HANDLE *keep_handle = nullptr) {
    KeInitializeEvent(&w.go, NotificationEvent, FALSE);
    HANDLE h = nullptr;
    PVOID object = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_routine, &w), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    if (keep_handle != nullptr)
        *keep_handle = h;
    else
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    return static_cast<PKTHREAD>(object);
}

void let_it_end(Worker &w) {
    KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 500 && sim::threads_running() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(sim::threads_running(), 0u);
}

} // namespace

class ThreadedSimThread : public SimTest {};

TEST_F(ThreadedSimThread, EndedThreadIsWaitableAndItsReferenceReleased) {
    for (bool terminate : {true, false}) {
        SCOPED_TRACE(terminate ? "PsTerminateSystemThread" : "return from the start routine");
        Worker w;
        w.terminate = terminate;
        PKTHREAD thread = start_worker(w);
        EXPECT_EQ(poll(thread), STATUS_TIMEOUT) << "the thread is blocked on its event";
        KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(poll(thread), STATUS_SUCCESS) << "an ended thread stays signalled";
        EXPECT_FALSE(w.after_terminate.load()) << "PsTerminateSystemThread does not return";
        EXPECT_EQ(sim::thread_priority(thread), LOW_REALTIME_PRIORITY);
        EXPECT_EQ(sim::threads_running(), 0u);
        ObDereferenceObject(thread);
    }
    Worker w; // reference dropped while it runs: the thread frees its object as it ends
    ObDereferenceObject(start_worker(w));
    let_it_end(w);
}

TEST_F(ThreadedSimThread, LeftoversAreReportedAndCreationCanFail) {
    Worker w;
    HANDLE h;
    PKTHREAD thread = start_worker(w, &h);
    EXPECT_THAT(sim::problems(), UnorderedElementsAre(HasSubstr("handle still open"), HasSubstr("still running"),
                                                      HasSubstr("object reference not released")));
    ZwClose(h);
    ObDereferenceObject(thread);
    let_it_end(w);
    sim::thread_create_fail_nth(1);
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_routine, &w),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::threads_running(), 0u);
}

// ---------------------------------------------------------------- virtual time
namespace {

// A worker like the driver's: waits on its event with a 10 ms time-out and
// notes the clock at each wake, until told to end.
struct Ticker {
    KEVENT wake;
    std::atomic<bool> end{false};
    std::vector<ULONGLONG> timeouts, signals; // written by the worker alone
};

VOID NTAPI ticker_routine(PVOID context) {
    auto *t = static_cast<Ticker *>(context);
    LARGE_INTEGER period = timeout(-100'000);
    while (!t->end) {
        NTSTATUS s = KeWaitForSingleObject(&t->wake, Executive, KernelMode, FALSE, &period);
        (s == STATUS_TIMEOUT ? t->timeouts : t->signals).push_back(KeQueryInterruptTime());
    }
}

VOID NTAPI late_work(PDEVICE_OBJECT, PVOID context) {
    LARGE_INTEGER delay = timeout(-500'000);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    static_cast<std::atomic<int> *>(context)->store(1);
}

// The ticker on a system thread of its own; the thread object referenced,
// or nullptr when it could not be made.
PVOID start_ticker(Ticker &t) {
    KeInitializeEvent(&t.wake, SynchronizationEvent, FALSE);
    HANDLE h;
    if (PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ticker_routine, &t) != STATUS_SUCCESS)
        return nullptr;
    PVOID thread = nullptr;
    NTSTATUS referenced = ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
    ZwClose(h);
    return NT_SUCCESS(referenced) ? thread : nullptr;
}

} // namespace

class ThreadedSimClock : public SimTest {};

TEST_F(ThreadedSimClock, TimeMovesOnlyWhenToldAndEveryTimeOutExpiresAtItsInstant) {
    const ULONGLONG t0 = KeQueryInterruptTime();
    Ticker t;
    PVOID thread = start_ticker(t);
    ASSERT_NE(thread, nullptr);

    sim::clock_settle();
    EXPECT_TRUE(t.timeouts.empty()) << "settling runs what can run, the clock unmoved";
    EXPECT_EQ(KeQueryInterruptTime(), t0);

    sim::clock_run_until(t0 + 1'000'000);
    ASSERT_EQ(t.timeouts.size(), 10u);
    for (size_t i = 0; i < t.timeouts.size(); i++)
        EXPECT_EQ(t.timeouts[i], t0 + (i + 1) * 100'000) << "each time-out at its own instant";

    // A signal wakes it at once; settling waits for it to run.
    KeSetEvent(&t.wake, IO_NO_INCREMENT, FALSE);
    sim::clock_settle();
    EXPECT_EQ(t.signals, std::vector<ULONGLONG>{t0 + 1'000'000});

    // A host thread waiting in the kernel lets time go on: the worker's
    // time-outs run until it sees the end, and the wait for it returns.
    t.end = true;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), t0 + 1'100'000);
    ObDereferenceObject(thread);

    // Work items are counted like system threads: one waiting 50 ms holds
    // nothing up, and runs to its end once that time has come.
    std::atomic<int> done{0};
    DEVICE_OBJECT device{};
    PIO_WORKITEM item = IoAllocateWorkItem(&device);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(item, late_work, DelayedWorkQueue, &done);
    sim::clock_settle();
    EXPECT_EQ(done.load(), 0);
    sim::clock_advance_ms(50);
    EXPECT_EQ(done.load(), 1);
    IoFreeWorkItem(item);
}

// Driven time: the function moves the clock as clock_run_until would, and is
// called again only once what it set going has run and waits again.
TEST_F(ThreadedSimClock, DrivenTimeCallsBackOnlyWithEverythingSettled) {
    const ULONGLONG t0 = KeQueryInterruptTime();
    Ticker t;
    PVOID thread = start_ticker(t);
    ASSERT_NE(thread, nullptr);

    std::vector<ULONGLONG> calls;
    size_t signals_seen = 0;
    sim::clock_drive([&]() -> std::optional<uint64_t> {
        calls.push_back(KeQueryInterruptTime());
        switch (calls.size()) {
        case 1: return t0 + 250'000; // two of the worker's time-outs on the way
        case 2:
            KeSetEvent(&t.wake, IO_NO_INCREMENT, FALSE);
            return KeQueryInterruptTime();
        default:
            signals_seen = t.signals.size();
            return std::nullopt;
        }
    });
    EXPECT_EQ(calls, (std::vector<ULONGLONG>{t0, t0 + 250'000, t0 + 250'000}));
    EXPECT_EQ(t.timeouts, (std::vector<ULONGLONG>{t0 + 100'000, t0 + 200'000}));
    EXPECT_EQ(signals_seen, 1u) << "called again only after the woken worker ran";

    t.end = true;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}
