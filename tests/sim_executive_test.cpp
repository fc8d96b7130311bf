// The simulated executive: pool accounting and fault injection, the clock,
// spin locks and IRQL, events and waits, system threads with their objects and
// handles, and counted strings. Misuse must be reported, never crash.

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
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

namespace {

// The problems found so far; the kernel is reset so that the fixture's
// teardown only sees what comes after.
std::vector<std::string> take_problems() {
    std::vector<std::string> found = sim::problems();
    sim::reset();
    return found;
}

LARGE_INTEGER relative_ms(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

// ---------------------------------------------------------------- pool
class SimPool : public SimTest {};

TEST_F(SimPool, LeakIsReportedWithSizePoolTypeAndSequence) {
    void *first = ExAllocatePool(NonPagedPool, 24);
    void *second = ExAllocatePoolWithTag(PagedPool, 100, 0x6F76694DU);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ExFreePool(first);
    EXPECT_THAT(take_problems(),
                ElementsAre(AllOf(HasSubstr("leaked pool"), HasSubstr("100 bytes"), HasSubstr("PagedPool"),
                                  HasSubstr("'Mivo'"), HasSubstr("allocation #2"))));
}

TEST_F(SimPool, NewMemoryIsNotZeroed) {
    // A driver that relies on zeroed pool must fail here as on a real kernel.
    auto *p = static_cast<unsigned char *>(ExAllocatePool(NonPagedPoolNx, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_NE(p[i], 0) << "byte " << i;
    ExFreePool(p);
}

TEST_F(SimPool, FaultInjectionFailsTheChosenAllocations) {
    struct Case {
        const char *name;
        std::function<void()> arm;
        std::vector<size_t> sizes;
        std::vector<bool> fails;
    };
    const Case cases[] = {
        {"next one", [] { sim::pool_fail_nth(1); }, {8, 8, 8}, {true, false, false}},
        {"third one only", [] { sim::pool_fail_nth(3); }, {8, 8, 8, 8}, {false, false, true, false}},
        {"every one of a size", [] { sim::pool_fail_size(32); }, {32, 16, 32, 33}, {true, false, true, false}},
        {"both at once", [] { sim::pool_fail_nth(2); sim::pool_fail_size(4); }, {4, 8, 8, 4}, {true, true, false, true}},
        {"cleared", [] { sim::pool_fail_nth(1); sim::pool_fail_size(8); sim::pool_fail_clear(); }, {8, 8}, {false, false}},
        {"nth zero disarms", [] { sim::pool_fail_nth(0); }, {8}, {false}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        c.arm();
        size_t expected_failures = 0;
        std::vector<void *> got;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            void *p = ExAllocatePool(NonPagedPool, c.sizes[i]);
            EXPECT_EQ(p == nullptr, c.fails[i]) << "allocation " << i + 1;
            expected_failures += c.fails[i] ? 1 : 0;
            if (p != nullptr)
                got.push_back(p);
        }
        sim::PoolStats stats = sim::pool_stats();
        EXPECT_EQ(stats.failed_allocations, expected_failures);
        EXPECT_EQ(stats.total_allocations, c.sizes.size() - expected_failures);
        for (void *p : got)
            ExFreePool(p);
        EXPECT_TRUE(sim::problems().empty()) << "a refused allocation is not a leak";
    }
}

TEST_F(SimPool, StatsFollowLiveBlocks) {
    void *a = ExAllocatePool(NonPagedPool, 10);
    void *b = ExAllocatePool(PagedPool, 30);
    sim::PoolStats s = sim::pool_stats();
    EXPECT_EQ(s.live_allocations, 2u);
    EXPECT_EQ(s.live_bytes, 40u);
    EXPECT_EQ(s.total_allocations, 2u);
    ExFreePool(a);
    s = sim::pool_stats();
    EXPECT_EQ(s.live_allocations, 1u);
    EXPECT_EQ(s.live_bytes, 30u);
    EXPECT_EQ(s.total_allocations, 2u) << "the total counts every allocation since reset";
    ExFreePoolWithTag(b, 0); // tag 0 matches any block: the DDK's ExFreePool is exactly this
    EXPECT_EQ(sim::pool_stats().live_bytes, 0u);
}

TEST_F(SimPool, ResetForgetsLeaksAndCounters) {
    ASSERT_NE(ExAllocatePool(NonPagedPool, 12), nullptr);
    sim::pool_fail_size(5);
    sim::reset();
    EXPECT_TRUE(sim::problems().empty());
    EXPECT_EQ(sim::pool_stats().total_allocations, 0u);
    void *p = ExAllocatePool(NonPagedPool, 5);
    EXPECT_NE(p, nullptr) << "reset clears fault injection";
    ExFreePool(p);
    sim::reset(); // twice in a row is fine
}

TEST_F(SimPool, BadFreesAreReportedNotFatal) {
    struct Case {
        const char *name;
        std::function<void()> misuse;
        const char *reported;
    };
    static int on_stack_like;
    const Case cases[] = {
        {"double free",
         [] {
             void *p = ExAllocatePool(NonPagedPool, 16);
             ExFreePool(p);
             ExFreePool(p);
         },
         "double free"},
        {"not from the pool", [] { ExFreePool(&on_stack_like); }, "bad free"},
        {"inside a block",
         [] {
             auto *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 16));
             ExFreePool(p + 4);
             ExFreePool(p);
         },
         "bad free"},
        {"wrong tag",
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, 0x41414141U), 0x42424242U); },
         "does not match"},
        {"null", [] { ExFreePool(nullptr); }, "ExFreePool(NULL)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse();
        EXPECT_THAT(take_problems(), ElementsAre(HasSubstr(c.reported)));
    }
}

TEST_F(SimPool, PagedPoolAtDispatchLevelIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    void *p = ExAllocatePool(PagedPool, 8);
    KeReleaseSpinLock(&lock, old);
    ExFreePool(p);
    EXPECT_THAT(take_problems(), ElementsAre(HasSubstr("paged pool requested at DISPATCH_LEVEL")));
}

// ---------------------------------------------------------------- clock
class SimClock : public SimTest {};

TEST_F(SimClock, ManualClockMovesOnlyWhenTold) {
    EXPECT_EQ(KeQueryInterruptTime(), sim::kDefaultStart);
    sim::clock_advance_ms(15);
    EXPECT_EQ(KeQueryInterruptTime(), sim::kDefaultStart + 150'000);
    sim::clock_set(42);
    EXPECT_EQ(KeQueryInterruptTime(), 42u);
    sim::clock_manual(1000);
    EXPECT_EQ(sim::clock_now(), 1000u);
    sim::reset();
    EXPECT_EQ(KeQueryInterruptTime(), sim::kDefaultStart) << "reset puts the clock back";
}

TEST_F(SimClock, RealClockContinuesFromTheManualValue) {
    sim::clock_set(7'000'000);
    sim::clock_real();
    uint64_t a = KeQueryInterruptTime();
    EXPECT_GE(a, 7'000'000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint64_t b = KeQueryInterruptTime();
    EXPECT_GE(b - a, 50'000u) << "5 ms of host time is at least 50,000 units";
    sim::clock_advance_ms(1000);
    EXPECT_GE(KeQueryInterruptTime(), b + 10'000'000);
}

// ---------------------------------------------------------------- spin locks
class SimSpinLock : public SimTest {};

TEST_F(SimSpinLock, RaisesToDispatchWhileHeldAndNests) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old_a = KeAcquireSpinLockRaiseToDpc(&a);
    EXPECT_EQ(old_a, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL old_b;
    KeAcquireSpinLock(&b, &old_b);
    EXPECT_EQ(old_b, DISPATCH_LEVEL);
    EXPECT_EQ(sim::internal::spin_locks_held(), 2);
    KeReleaseSpinLock(&b, old_b);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&a, old_a);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::internal::spin_locks_held(), 0);
    EXPECT_EQ(a, 0u) << "a free spin lock's word is zero";
}

TEST_F(SimSpinLock, MisuseIsReported) {
    struct Case {
        const char *name;
        std::function<void(PKSPIN_LOCK)> misuse;
        const char *reported;
    };
    const Case cases[] = {
        {"release of a lock not held", [](PKSPIN_LOCK l) { KeReleaseSpinLock(l, PASSIVE_LEVEL); },
         "does not hold"},
        {"blocking wait while held",
         [](PKSPIN_LOCK l) {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, TRUE);
             KIRQL old = KeAcquireSpinLockRaiseToDpc(l);
             KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
             KeReleaseSpinLock(l, old);
         },
         "blocking wait at DISPATCH_LEVEL"},
        {"delay while held",
         [](PKSPIN_LOCK l) {
             LARGE_INTEGER t = relative_ms(1);
             KIRQL old = KeAcquireSpinLockRaiseToDpc(l);
             KeDelayExecutionThread(KernelMode, FALSE, &t);
             KeReleaseSpinLock(l, old);
         },
         "KeDelayExecutionThread at DISPATCH_LEVEL"},
        {"acquired twice by its owner",
         [](PKSPIN_LOCK l) {
             KIRQL first = KeAcquireSpinLockRaiseToDpc(l);
             KIRQL second = KeAcquireSpinLockRaiseToDpc(l);
             KeReleaseSpinLock(l, second);
             KeReleaseSpinLock(l, first);
         },
         "acquired again"},
        {"still held when the test checks", [](PKSPIN_LOCK l) { KeAcquireSpinLockRaiseToDpc(l); },
         "still holds 1 spin lock"},
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

TEST_F(SimSpinLock, PollingWaitAtDispatchLevelIsAllowed) {
    // A zero time-out never blocks, which the kernel allows at DISPATCH_LEVEL.
    KSPIN_LOCK lock;
    KEVENT e;
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeReleaseSpinLock(&lock, old);
}

class ThreadedSimSpinLock : public SimTest {};

TEST_F(ThreadedSimSpinLock, ExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // deliberately plain: only the spin lock orders the increments
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            ++counter;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
}

// ---------------------------------------------------------------- events and waits
class SimEvent : public SimTest {};

TEST_F(SimEvent, StateFollowsSetResetAndClear) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0) << "returns the previous state";
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 1);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&e);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    KeInitializeEvent(&e, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
}

TEST_F(SimEvent, NotificationStaysSetSynchronizationResetsOnWait) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, TRUE);
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&n), 1);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&s), 0) << "a satisfied wait takes the signal";
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(SimEvent, TimeoutsRelativeAndAbsolute) {
    struct Case {
        const char *name;
        std::function<LARGE_INTEGER()> timeout;
        double at_least_ms;
        double at_most_ms;
    };
    const Case cases[] = {
        {"zero polls", [] { LARGE_INTEGER t; t.QuadPart = 0; return t; }, 0, 1000},
        {"relative 30 ms", [] { return relative_ms(30); }, 29, 5000},
        {"absolute 30 ms ahead", [] { LARGE_INTEGER t; t.QuadPart = LONGLONG(KeQueryInterruptTime() + 300'000); return t; }, 29, 5000},
        {"absolute in the past", [] { LARGE_INTEGER t; t.QuadPart = LONGLONG(KeQueryInterruptTime() - 1); return t; }, 0, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        LARGE_INTEGER t = c.timeout();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
        double took = elapsed_ms(start);
        EXPECT_GE(took, c.at_least_ms);
        EXPECT_LE(took, c.at_most_ms);
    }
    EXPECT_EQ(KeQueryInterruptTime(), sim::kDefaultStart) << "a timed wait does not move the manual clock";
}

TEST_F(SimEvent, DelayLastsItsLength) {
    LARGE_INTEGER t = relative_ms(20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_GE(elapsed_ms(start), 19.0);
}

TEST_F(SimEvent, WaitOnUninitialisedMemoryIsReported) {
    // Fresh pool holds a fill pattern, which is no dispatcher object type.
    auto *e = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_NE(KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    ExFreePool(e);
    EXPECT_THAT(take_problems(), ElementsAre(HasSubstr("not a dispatcher object")));
}

class ThreadedSimEvent : public SimTest {};

TEST_F(ThreadedSimEvent, SynchronizationEventWakesOneWaiterPerSignal) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        LARGE_INTEGER t = relative_ms(5000);
        if (KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
            ++woken;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken.load(), 1) << "one signal satisfies one wait";
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST_F(ThreadedSimEvent, NotificationEventReleasesEveryWaiter) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
            ++woken;
    };
    std::thread a(waiter), b(waiter), c(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
}

// ---------------------------------------------------------------- system threads
namespace {

struct Worker {
    KEVENT go;
    std::atomic<int> passes{0};
    std::atomic<bool> after_terminate{false};
    bool terminate = true;
};

KSTART_ROUTINE worker_routine;
VOID NTAPI worker_routine(PVOID context) {
    auto *w = static_cast<Worker *>(context);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
    ++w->passes;
    if (w->terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        w->after_terminate = true; // never reached
    }
}

// Starts a worker and takes a counted reference to its thread object, the
// way the driver does.
PKTHREAD start_worker(Worker &w, HANDLE *handle_out = nullptr) {
    KeInitializeEvent(&w.go, NotificationEvent, FALSE);
    HANDLE h = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_routine, &w),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    if (handle_out != nullptr)
        *handle_out = h;
    else
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    return static_cast<PKTHREAD>(object);
}

} // namespace

class ThreadedSimThread : public SimTest {};

TEST_F(ThreadedSimThread, EndedThreadIsWaitableAndItsReferenceReleased) {
    for (bool terminate : {true, false}) {
        SCOPED_TRACE(terminate ? "PsTerminateSystemThread" : "return from the start routine");
        Worker w;
        w.terminate = terminate;
        PKTHREAD thread = start_worker(w);
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
            << "the thread is blocked on its event";
        EXPECT_EQ(sim::threads_running(), 1u);
        KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
            << "an ended thread stays signalled";
        EXPECT_EQ(w.passes.load(), 1);
        EXPECT_FALSE(w.after_terminate.load()) << "PsTerminateSystemThread does not return";
        EXPECT_EQ(sim::thread_priority(thread), LOW_REALTIME_PRIORITY);
        EXPECT_EQ(sim::threads_running(), 0u);
        ObDereferenceObject(thread);
        EXPECT_TRUE(sim::problems().empty());
    }
}

TEST_F(ThreadedSimThread, LastReferenceMayGoWhileTheThreadRuns) {
    // Handle closed and reference dropped first: the thread itself then holds
    // the last reference and frees its object as it ends.
    Worker w;
    PKTHREAD thread = start_worker(w);
    EXPECT_EQ(sim::thread_priority(thread) == LOW_REALTIME_PRIORITY || sim::thread_priority(thread) == 8, true);
    ObDereferenceObject(thread);
    KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 500 && sim::threads_running() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(sim::threads_running(), 0u);
}

TEST_F(ThreadedSimThread, LeftoversAreReported) {
    struct Case {
        const char *name;
        bool release_reference;
        bool close_handle;
        bool let_it_end;
        const char *reported;
    };
    const Case cases[] = {
        {"reference kept", false, true, true, "object reference not released"},
        {"handle left open", true, false, true, "handle still open"},
        {"thread still running", true, true, false, "still running"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Worker w;
        HANDLE h;
        PKTHREAD thread = start_worker(w, &h);
        if (c.close_handle)
            ZwClose(h);
        if (c.let_it_end) {
            KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        }
        if (c.release_reference)
            ObDereferenceObject(thread);
        EXPECT_THAT(sim::problems(), ElementsAre(HasSubstr(c.reported)));
        // Tidy up so that the next case starts clean.
        if (!c.close_handle)
            ZwClose(h);
        if (!c.release_reference)
            ObDereferenceObject(thread);
        if (!c.let_it_end) {
            KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
            for (int i = 0; i < 500 && sim::threads_running() != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(sim::problems().empty());
    }
}

TEST_F(ThreadedSimThread, CreationCanBeMadeToFail) {
    sim::thread_create_fail_nth(1);
    HANDLE h = nullptr;
    Worker w;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_routine, &w),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::threads_running(), 0u);
    PKTHREAD thread = start_worker(w); // the next one succeeds
    KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

// ---------------------------------------------------------------- objects and handles
class SimHandle : public SimTest {};

TEST_F(SimHandle, MisuseIsReported) {
    struct Case {
        const char *name;
        std::function<void()> misuse;
        const char *reported;
    };
    const Case cases[] = {
        {"close of an unknown handle",
         [] { EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(uintptr_t{0x1234})), STATUS_INVALID_HANDLE); },
         "not an open handle"},
        {"closed twice",
         [] {
             HANDLE h = sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, nullptr, nullptr);
             EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
             EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
         },
         "not an open handle"},
        {"left open",
         [] { sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, nullptr, nullptr); },
         "handle still open"},
        {"reference by a handle of another kind",
         [] {
             HANDLE h = sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, nullptr, nullptr);
             PVOID object = reinterpret_cast<PVOID>(1);
             EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
                       STATUS_INVALID_HANDLE);
             EXPECT_EQ(object, nullptr);
             ZwClose(h);
         },
         "not an open thread handle"},
        {"dereference of something that is no object",
         [] {
             static int not_an_object;
             ObDereferenceObject(&not_an_object);
         },
         "not a live object"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse();
        EXPECT_THAT(take_problems(), ElementsAre(HasSubstr(c.reported)));
    }
}

TEST_F(SimHandle, CloseRunsTheKindsCloseFunctionOnce) {
    int closed = 0;
    int object = 7;
    HANDLE h = sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, &object,
                                          [&](void *o) { closed += *static_cast<int *>(o); });
    EXPECT_EQ(sim::internal::handle_lookup(h, sim::internal::HandleKind::RegistryKey), &object);
    EXPECT_EQ(sim::internal::handle_lookup(h, sim::internal::HandleKind::Thread), nullptr);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(closed, 7);
    EXPECT_EQ(sim::internal::handle_lookup(h, sim::internal::HandleKind::RegistryKey), nullptr);
}

// ---------------------------------------------------------------- counted strings
class SimString : public SimTest {};

TEST_F(SimString, InitCountsBytesWithoutTheNul) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Mivo");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(SimString, AppendFitsOrLeavesTheDestinationAlone) {
    struct Case {
        const char *name;
        USHORT capacity; // bytes
        std::u16string start;
        const char16_t *append;
        bool as_counted; // RtlAppendUnicodeStringToString rather than RtlAppendUnicodeToString
        NTSTATUS status;
        std::u16string result;
        bool nul_after;
    };
    const Case cases[] = {
        {"room to spare", 20, u"ab", u"cd", false, STATUS_SUCCESS, u"abcd", true},
        {"exactly full, no room for the NUL", 8, u"ab", u"cd", false, STATUS_SUCCESS, u"abcd", false},
        {"one character too many", 6, u"ab", u"cd", false, STATUS_BUFFER_TOO_SMALL, u"ab", false},
        {"empty source", 4, u"ab", u"", false, STATUS_SUCCESS, u"ab", false},
        {"counted, room to spare", 20, u"\\Reg", u"\\Key", true, STATUS_SUCCESS, u"\\Reg\\Key", true},
        {"counted, too long", 10, u"\\Reg", u"\\Key", true, STATUS_BUFFER_TOO_SMALL, u"\\Reg", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char16_t buffer[32];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        std::copy(c.start.begin(), c.start.end(), buffer);
        UNICODE_STRING dst;
        dst.Buffer = buffer;
        dst.Length = USHORT(c.start.size() * 2);
        dst.MaximumLength = c.capacity;
        NTSTATUS status;
        if (c.as_counted) {
            UNICODE_STRING src;
            RtlInitUnicodeString(&src, c.append);
            status = RtlAppendUnicodeStringToString(&dst, &src);
        } else {
            status = RtlAppendUnicodeToString(&dst, c.append);
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(std::u16string(buffer, dst.Length / 2), c.result);
        EXPECT_EQ(dst.MaximumLength, c.capacity);
        EXPECT_EQ(buffer[dst.Length / 2] == 0, c.nul_after);
    }
}

TEST_F(SimString, CopyTruncatesToTheDestination) {
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"Parameters");
    char16_t small[4];
    UNICODE_STRING dst{0, sizeof small, small};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 8);
    EXPECT_EQ(std::u16string(small, 4), u"Para");
    char16_t big[16];
    dst = UNICODE_STRING{0, sizeof big, big};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 20);
    EXPECT_EQ(big[10], 0) << "terminated when there is room";
    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
}
