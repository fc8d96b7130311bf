// The dispatcher: the interrupt-time clock, IRQL and spin locks, events and
// the waits on events and thread objects. One lock guards every dispatcher
// object's state, as in the kernel; the objects themselves live in driver
// memory, so all their state is in their DISPATCHER_HEADER.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <thread>

#include <linux/futex.h>
#include <x86intrin.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

namespace {

constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kThreadObject = 6;

// ---------------------------------------------------------------- clock
std::atomic<bool> g_clock_real{false};
std::atomic<uint64_t> g_manual_time{sim::kDefaultStart};
// Real mode: interrupt time = base value + host monotonic time elapsed since base_ns.
std::atomic<uint64_t> g_real_base_value{0};
std::atomic<int64_t> g_real_base_ns{0};

int64_t host_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t now_100ns() {
    if (!g_clock_real.load())
        return g_manual_time.load();
    int64_t elapsed = host_ns() - g_real_base_ns.load();
    return g_real_base_value.load() + static_cast<uint64_t>(elapsed > 0 ? elapsed / 100 : 0);
}

// ---------------------------------------------------------------- IRQL and spin locks
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spin_count = 0;
// Spin locks this thread holds, innermost last.
thread_local PKSPIN_LOCK t_held[16];
// Its address identifies the owning thread in a held spin lock's word.
thread_local char t_owner_token;

KSPIN_LOCK owner_word() { return reinterpret_cast<KSPIN_LOCK>(&t_owner_token); }

bool holds(PKSPIN_LOCK lock) {
    for (int i = 0; i < t_spin_count && i < 16; ++i)
        if (t_held[i] == lock)
            return true;
    return false;
}

// ---------------------------------------------------------------- the dispatcher lock
// Held for a few hundred instructions at a time, by threads that hand work to
// each other: a short spin before sleeping in the kernel saves a sleep and a
// wake-up on nearly every contended acquire.
long futex(std::atomic<uint32_t> *word, int op, uint32_t value, const timespec *timeout) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op, value, timeout, nullptr, 0);
}

const bool g_multiprocessor = std::thread::hardware_concurrency() > 1;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

class DispatcherLock {
public:
    void lock() {
        uint32_t seen = kFree;
        if (state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire))
            return;
        for (int i = 0; g_multiprocessor && i < 200; ++i) {
            cpu_relax();
            seen = kFree;
            if (state_.load(std::memory_order_relaxed) == kFree &&
                state_.compare_exchange_weak(seen, kHeld, std::memory_order_acquire))
                return;
        }
        // Someone may sleep on it from now on: the unlock must wake one.
        while (state_.exchange(kContended, std::memory_order_acquire) != kFree)
            futex(&state_, FUTEX_WAIT_PRIVATE, kContended, nullptr);
    }
    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kContended)
            futex(&state_, FUTEX_WAKE_PRIVATE, 1, nullptr);
    }

private:
    static constexpr uint32_t kFree = 0, kHeld = 1, kContended = 2;
    std::atomic<uint32_t> state_{kFree};
};

DispatcherLock g_lock;
using Lock = std::unique_lock<DispatcherLock>;

// ---------------------------------------------------------------- the scheduler
// Every wait that blocks is a Waiter on g_waiters, under the dispatcher lock.
// Scheduled threads (system threads and work items) are counted in
// g_runnable unless they wait and nothing has woken them yet: a signal or an
// expired time-out counts the waiter again at the moment it is woken, before
// it has run, so "no scheduled thread can run" is exactly g_runnable == 0.
// That is what lets virtual time move only when everything has settled.
//
// A waiter sleeps on a word of its own, and only what concerns it wakes it:
// the signal of its object, its time-out, and for host threads the moment no
// scheduled thread can run any more. In virtual time the thread that will
// wake a waiter is usually about to: the waiter spins a little before it
// sleeps. In real time it does not (a started device with no input must cost
// next to nothing).
struct Waiter {
    Waiter(const DISPATCHER_HEADER *object, uint64_t deadline, bool scheduled)
        : object(object), deadline(deadline), scheduled(scheduled) {}
    const DISPATCHER_HEADER *object; // nullptr for a delay, a settle or a drive
    uint64_t deadline;               // interrupt time; kNever for none
    bool scheduled;
    bool woken = false;
    // kIdle, kPoked (something changed: look again) or kAsleep.
    std::atomic<uint32_t> word{0};
};
constexpr uint64_t kNever = ~uint64_t{0};
// The system time when the interrupt time was zero: 2024-01-01 00:00 UTC.
constexpr uint64_t kSystemTimeAtStart = 133'485'408'000'000'000ULL;
constexpr uint32_t kIdle = 0, kPoked = 1, kAsleep = 2;
// About 20 us on this kind of machine: a hand-off between two threads of a
// virtual-time session takes a few.
constexpr uint64_t kSpinCycles = 60'000;
thread_local uint64_t t_spin_cycles = kSpinCycles;

std::vector<Waiter *> g_waiters;
long g_runnable = 0;
// Bumped by everything that wakes a waiter or moves the clock: a standstill
// check sees whether anything at all happened.
uint64_t g_progress = 0;
thread_local bool t_scheduled = false;

// Tells a waiter to look again. Under the dispatcher lock, which the waiter
// needs before it can leave: the word outlives the call.
void poke(Waiter *w) {
    if (w->word.exchange(kPoked, std::memory_order_release) == kAsleep)
        futex(&w->word, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

void poke_all() {
    for (Waiter *w : g_waiters)
        poke(w);
}

// Lets go of the dispatcher lock until the waiter is poked or `timeout`
// has passed. The clock is only read once the spin is over: most waits in
// virtual time end during it.
void park(Lock &lock, Waiter &w, std::chrono::nanoseconds timeout, bool spin) {
    lock.unlock();
    spin = spin && g_multiprocessor;
    uint64_t started = spin ? __rdtsc() : 0;
    if (spin && t_spin_cycles > 0) {
        uint64_t spin_end = started + t_spin_cycles;
        for (unsigned i = 1; w.word.load(std::memory_order_acquire) == kIdle; ++i) {
            cpu_relax();
            if (i % 64 == 0 && __rdtsc() >= spin_end)
                break;
        }
    }
    uint32_t idle = kIdle;
    if (w.word.compare_exchange_strong(idle, kAsleep, std::memory_order_acquire)) {
        auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0))
                break;
            auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
            timespec ts{static_cast<time_t>(s.count()),
                        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - s).count())};
            futex(&w.word, FUTEX_WAIT_PRIVATE, kAsleep, &ts);
            if (w.word.load(std::memory_order_acquire) != kAsleep)
                break;
        }
    }
    if (spin) {
        // A thread whose waits outlast the spin (a machine busy with other
        // work, where the waker itself waits for a processor) stops taking
        // the processor from it; one short wait brings the spin back.
        t_spin_cycles = __rdtsc() - started <= kSpinCycles ? kSpinCycles : t_spin_cycles / 2;
    }
    lock.lock();
    // Whatever the poke was about, the caller looks at it now, under the lock.
    w.word.store(kIdle, std::memory_order_relaxed);
}

void wake(Waiter *w) {
    w->woken = true;
    if (w->scheduled)
        ++g_runnable;
    ++g_progress;
    poke(w);
}

// Callers hold the dispatcher lock. A synchronization event is taken by one
// waiter: one is woken; should another thread take the signal first, that
// one waits again.
void wake_waiters_of(const DISPATCHER_HEADER *object, bool one) {
    for (Waiter *w : g_waiters)
        if (!w->woken && w->object == object) {
            wake(w);
            if (one)
                return;
        }
}

void expire_due() {
    uint64_t now = now_100ns();
    for (Waiter *w : g_waiters)
        if (!w->woken && w->deadline <= now)
            wake(w);
}

uint64_t earliest_deadline() {
    uint64_t earliest = kNever;
    for (Waiter *w : g_waiters)
        if (!w->woken && w->deadline < earliest)
            earliest = w->deadline;
    return earliest;
}

// Virtual time: the clock moves to `t` and whatever is due by then wakes.
void move_clock_to(uint64_t t) {
    if (t > g_manual_time.load())
        g_manual_time.store(t);
    ++g_progress;
    expire_due();
}

uint64_t deadline_of(const LARGE_INTEGER *timeout) {
    if (timeout == nullptr)
        return kNever;
    LONGLONG t = timeout->QuadPart;
    if (t >= 0) // an absolute system time; one before the start has passed
        return static_cast<uint64_t>(t) > kSystemTimeAtStart ? static_cast<uint64_t>(t) - kSystemTimeAtStart : 0;
    uint64_t now = now_100ns();
    uint64_t length = static_cast<uint64_t>(-t);
    return length > kNever - now ? kNever - 1 : now + length;
}

// ---------------------------------------------------------------- driven time
// clock_drive: the host thread hands the moving of virtual time to a
// function that the dispatcher calls each time everything has settled, on
// the thread whose wait settled it. A session that feeds a device report
// every millisecond thus runs without waking the host thread at all.
struct Drive {
    Drive(const std::function<std::optional<uint64_t>()> &next, uint64_t target)
        : next(next), host(nullptr, kNever, false), target(target) {}
    const std::function<std::optional<uint64_t>()> &next;
    Waiter host; // the host thread inside clock_drive
    uint64_t target;
    bool busy = false; // a thread is moving the clock or calling `next`
    bool done = false;
    std::exception_ptr error;
};
Drive *g_drive = nullptr;

// Under the dispatcher lock, with no scheduled thread runnable and the drive
// idle: moves the clock towards the target, and once everything has settled
// there asks `next` for the following one. Returns when something runs
// again (whoever settles last comes back here) or the drive ends.
void drive_step(Lock &lock) {
    Drive &d = *g_drive;
    d.busy = true;
    for (;;) {
        if (g_manual_time.load() < d.target) {
            move_clock_to(std::min(earliest_deadline(), d.target));
            if (g_runnable > 0)
                break;
            continue;
        }
        std::optional<uint64_t> next;
        lock.unlock();
        try {
            next = d.next();
        } catch (...) {
            d.error = std::current_exception();
        }
        lock.lock();
        if (!next) {
            d.done = true;
            poke(&d.host);
            break;
        }
        d.target = *next;
        if (g_runnable > 0)
            break;
    }
    d.busy = false;
}

// A scheduled thread stopped being runnable. When it was the last one, host
// threads waiting on that are told, or the drive goes on on this thread when
// `may_drive` (the thread is at a wait: PASSIVE_LEVEL, no lock of its own).
void runnable_dropped(Lock &lock, bool may_drive) {
    if (g_runnable != 0 || g_clock_real.load())
        return;
    bool drive_here = g_drive != nullptr && !g_drive->done && !g_drive->busy && may_drive &&
                      t_irql == PASSIVE_LEVEL && t_spin_count == 0;
    for (Waiter *w : g_waiters)
        if (!w->scheduled && !(g_drive != nullptr && w == &g_drive->host && (drive_here || g_drive->busy)))
            poke(w);
    if (drive_here)
        drive_step(lock);
}

void describe_waiters(const char *why) {
    std::fprintf(stderr, "sim: %s; %ld scheduled thread(s) runnable, waits:\n", why, g_runnable);
    for (Waiter *w : g_waiters) {
        if (w->object == nullptr && w->deadline == kNever)
            std::fprintf(stderr, "  host thread letting the system threads run\n");
        else
            std::fprintf(stderr, "  %s thread on %p%s\n", w->scheduled ? "scheduled" : "host", (const void *)w->object,
                         w->deadline == kNever ? ", no time-out" : ", timed");
    }
}

// Blocks the calling thread on `w` (already on g_waiters) until it is woken.
// Virtual time: a host thread that waits while no scheduled thread can run
// moves the clock to the earliest time-out (unless a drive moves it); if there
// is none, and nothing happens for a long while, nothing ever will.
void block(Lock &lock, Waiter &w) {
    constexpr auto kStandstill = std::chrono::seconds(20);
    // Since when nothing has happened; not looked at until a park times out.
    std::chrono::steady_clock::time_point quiet_since{};
    bool quiet = false;
    uint64_t progress = g_progress;
    while (!w.woken) {
        if (g_clock_real.load()) {
            std::chrono::nanoseconds timeout = std::chrono::seconds(1);
            if (w.deadline != kNever) {
                uint64_t now = now_100ns();
                if (now >= w.deadline) {
                    wake(&w);
                    break;
                }
                timeout = std::min(timeout, std::chrono::nanoseconds((w.deadline - now) * 100));
            }
            park(lock, w, timeout, false);
            continue;
        }
        if (!t_scheduled && g_runnable == 0 && g_drive == nullptr) {
            uint64_t earliest = earliest_deadline();
            if (earliest != kNever) {
                move_clock_to(earliest);
                continue;
            }
        }
        park(lock, w, std::chrono::milliseconds(500), true);
        if (g_progress != progress) {
            progress = g_progress;
            quiet = false;
        } else if (!quiet) {
            quiet = true;
            quiet_since = std::chrono::steady_clock::now();
        } else if (!w.woken && g_runnable == 0 && g_drive == nullptr && earliest_deadline() == kNever &&
                   std::chrono::steady_clock::now() - quiet_since > kStandstill) {
            describe_waiters("every thread waits and none has a time-out");
            std::fflush(stderr);
            std::abort();
        }
    }
}

// The wait of KeWaitForSingleObject (object given) and KeDelayExecutionThread
// (none), under the dispatcher lock.
NTSTATUS wait_on(Lock &lock, DISPATCHER_HEADER *header, uint64_t deadline, bool may_block) {
    for (;;) {
        if (header != nullptr && header->SignalState > 0) {
            if (header->Type == kSynchronizationEvent)
                header->SignalState = 0;
            return STATUS_SUCCESS;
        }
        if (!may_block || now_100ns() >= deadline)
            return header != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
        Waiter w(header, deadline, t_scheduled);
        g_waiters.push_back(&w);
        if (t_scheduled) {
            --g_runnable;
            runnable_dropped(lock, true);
        }
        block(lock, w);
        g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &w));
        // Counted again by whoever woke it. Round again: the signal first (it
        // may have come with the time-out), then the time-out; a signal that
        // another waiter took first means waiting again.
    }
}

bool blocks(const LARGE_INTEGER *timeout) { return timeout == nullptr || timeout->QuadPart != 0; }

// A test's one-shot action after the next release of one spin lock.
std::atomic<bool> g_after_release_armed{false};
std::atomic<const void *> g_after_release_lock{nullptr};
std::function<void()> g_after_release;

} // namespace

// ---------------------------------------------------------------- the kernel's side
extern "C" {

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return now_100ns(); }

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = static_cast<LONGLONG>(kSystemTimeAtStart + now_100ns());
}

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < t_irql)
        sim::report_problem("KeRaiseIrql: to " + std::to_string(NewIrql) + " from the higher IRQL " +
                            std::to_string(t_irql));
    if (NewIrql > DISPATCH_LEVEL)
        sim::report_problem("KeRaiseIrql: to " + std::to_string(NewIrql) + ", above DISPATCH_LEVEL");
    *OldIrql = t_irql;
    t_irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql)
        sim::report_problem("KeLowerIrql: to " + std::to_string(NewIrql) + " from the lower IRQL " +
                            std::to_string(t_irql));
    else if (t_spin_count > 0 && NewIrql < DISPATCH_LEVEL)
        sim::report_problem("KeLowerIrql: below DISPATCH_LEVEL while the thread holds " +
                            std::to_string(t_spin_count) + " spin lock(s)");
    t_irql = NewIrql;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = t_irql;
    if (holds(SpinLock)) {
        // A real processor would spin here for ever.
        sim::report_problem("KeAcquireSpinLock: spin lock " + sim::exec::hex_pointer(SpinLock) +
                            " acquired again by the thread that holds it (deadlock)");
    } else {
        auto started = std::chrono::steady_clock::now();
        bool told = false;
        unsigned spins = 0;
        for (;;) {
            KSPIN_LOCK expected = 0;
            if (__atomic_compare_exchange_n(SpinLock, &expected, owner_word(), false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED))
                break;
            // The owner may be a host thread that is not running; let it.
            if (++spins > 64)
                std::this_thread::yield();
            if (!told && std::chrono::steady_clock::now() - started > std::chrono::seconds(5)) {
                told = true;
                std::fprintf(stderr, "sim: spin lock %p held for over 5 s\n", static_cast<void *>(SpinLock));
                sim::report_problem("KeAcquireSpinLock: spin lock " + sim::exec::hex_pointer(SpinLock) +
                                    " held by another thread for over 5 s (never released?)");
            }
        }
    }
    if (t_spin_count < 16)
        t_held[t_spin_count] = SpinLock;
    ++t_spin_count;
    t_irql = DISPATCH_LEVEL;
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    int at = -1;
    for (int i = (t_spin_count < 16 ? t_spin_count : 16) - 1; i >= 0; --i)
        if (t_held[i] == SpinLock) {
            at = i;
            break;
        }
    if (at < 0) {
        sim::report_problem("KeReleaseSpinLock: spin lock " + sim::exec::hex_pointer(SpinLock) +
                            " released by a thread that does not hold it");
        return;
    }
    for (int i = at; i + 1 < t_spin_count && i + 1 < 16; ++i)
        t_held[i] = t_held[i + 1];
    --t_spin_count;
    // A lock acquired twice by its owner was only taken once.
    if (!holds(SpinLock))
        __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    if (NewIrql > DISPATCH_LEVEL)
        sim::report_problem("KeReleaseSpinLock: new IRQL " + std::to_string(NewIrql) + " above DISPATCH_LEVEL");
    t_irql = t_spin_count > 0 ? DISPATCH_LEVEL : NewIrql;
    if (g_after_release_armed.load(std::memory_order_acquire) && g_after_release_lock.load() == SpinLock &&
        g_after_release_armed.exchange(false)) {
        std::function<void()> then = std::move(g_after_release);
        then();
    }
}


VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    // Under the dispatcher lock: a driver may re-initialise an event that
    // another of its threads already signals.
    std::lock_guard<DispatcherLock> guard(g_lock);
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEvent : kNotificationEvent;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

static bool is_event(PRKEVENT Event, const char *routine) {
    UCHAR type = Event->Header.Type;
    if (type == kNotificationEvent || type == kSynchronizationEvent)
        return true;
    sim::report_problem(std::string(routine) + ": " + sim::exec::hex_pointer(Event) +
                        " is not an initialised event (type " + std::to_string(type) + ")");
    return false;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    std::lock_guard<DispatcherLock> guard(g_lock);
    if (!is_event(Event, "KeSetEvent"))
        return 0;
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    wake_waiters_of(&Event->Header, Event->Header.Type == kSynchronizationEvent);
    return old;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard<DispatcherLock> guard(g_lock);
    if (!is_event(Event, "KeResetEvent"))
        return 0;
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    std::lock_guard<DispatcherLock> guard(g_lock);
    if (is_event(Event, "KeClearEvent"))
        Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<DispatcherLock> guard(g_lock);
    if (!is_event(Event, "KeReadStateEvent"))
        return 0;
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    if (t_irql >= DISPATCH_LEVEL && blocks(Timeout))
        sim::report_problem("KeWaitForSingleObject: blocking wait at DISPATCH_LEVEL (" +
                            std::to_string(t_spin_count) + " spin lock(s) held)");
    if (Object == static_cast<PVOID>(KeGetCurrentThread()) && Timeout == nullptr) {
        sim::report_problem("KeWaitForSingleObject: a thread waits for its own end");
        return STATUS_TIMEOUT;
    }
    uint64_t deadline = deadline_of(Timeout);
    Lock lock(g_lock);
    UCHAR type = header->Type;
    if (type != kNotificationEvent && type != kSynchronizationEvent && type != kThreadObject) {
        lock.unlock();
        sim::report_problem("KeWaitForSingleObject: " + sim::exec::hex_pointer(Object) +
                            " is not a dispatcher object (type " + std::to_string(type) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    return wait_on(lock, header, deadline, blocks(Timeout));
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (t_irql >= DISPATCH_LEVEL)
        sim::report_problem("KeDelayExecutionThread at DISPATCH_LEVEL (" + std::to_string(t_spin_count) +
                            " spin lock(s) held)");
    if (Interval == nullptr) {
        sim::report_problem("KeDelayExecutionThread: no interval");
        return STATUS_INVALID_PARAMETER;
    }
    uint64_t deadline = deadline_of(Interval);
    Lock lock(g_lock);
    return wait_on(lock, nullptr, deadline, true);
}

} // extern "C"

namespace sim {
void after_spin_lock_release(const void *lock, std::function<void()> then) {
    g_after_release = std::move(then);
    g_after_release_lock.store(lock);
    g_after_release_armed.store(true, std::memory_order_release);
}
} // namespace sim

// ---------------------------------------------------------------- controls
namespace sim {

void clock_manual(uint64_t start) {
    std::lock_guard<DispatcherLock> guard(g_lock);
    g_manual_time.store(start);
    g_clock_real.store(false);
    ++g_progress;
    expire_due();
    poke_all(); // waits measured in real time are measured again
}

void clock_real() {
    std::lock_guard<DispatcherLock> guard(g_lock);
    uint64_t now = now_100ns();
    g_real_base_ns.store(host_ns());
    g_real_base_value.store(now);
    g_clock_real.store(true);
    poke_all();
}

bool clock_is_real() { return g_clock_real.load(); }

void clock_set(uint64_t interrupt_time) {
    std::lock_guard<DispatcherLock> guard(g_lock);
    if (g_clock_real.load()) {
        g_real_base_ns.store(host_ns());
        g_real_base_value.store(interrupt_time);
        poke_all();
    } else {
        g_manual_time.store(interrupt_time);
        ++g_progress;
        expire_due();
    }
}

void clock_advance_ms(uint64_t ms) { clock_run_until(now_100ns() + ms * 10'000); }

namespace {

// Virtual time: waits until no scheduled thread can run. A thread that never
// waits again (a busy loop) is reported rather than waited for without end.
void settle_locked(Lock &lock) {
    expire_due();
    if (g_runnable == 0)
        return;
    Waiter w(nullptr, kNever, false);
    g_waiters.push_back(&w);
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_runnable > 0) {
        auto left = limit - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) {
            describe_waiters("settling: a scheduled thread ran for 20 s without waiting");
            report_problem("clock_settle: " + std::to_string(g_runnable) +
                           " scheduled thread(s) ran for 20 s without waiting");
            break;
        }
        park(lock, w, left, true);
    }
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &w));
}

} // namespace

void clock_settle() {
    if (g_clock_real.load())
        return;
    Lock lock(g_lock);
    settle_locked(lock);
}

void clock_run_until(uint64_t interrupt_time) {
    if (g_clock_real.load()) {
        uint64_t now = now_100ns();
        if (interrupt_time > now)
            std::this_thread::sleep_for(std::chrono::nanoseconds((interrupt_time - now) * 100));
        return;
    }
    Lock lock(g_lock);
    for (;;) {
        settle_locked(lock);
        uint64_t earliest = earliest_deadline();
        if (earliest > interrupt_time)
            break;
        move_clock_to(earliest);
    }
    move_clock_to(interrupt_time);
}

void clock_drive(const std::function<std::optional<uint64_t>()> &next) {
    if (g_clock_real.load()) {
        for (std::optional<uint64_t> t = next(); t; t = next())
            clock_run_until(*t);
        return;
    }
    Lock lock(g_lock);
    Drive d(next, now_100ns());
    g_drive = &d;
    g_waiters.push_back(&d.host);
    expire_due();
    auto quiet_since = std::chrono::steady_clock::now();
    uint64_t progress = g_progress;
    while (!d.done) {
        if (g_runnable == 0 && !d.busy) {
            drive_step(lock);
            continue;
        }
        park(lock, d.host, std::chrono::milliseconds(500), false);
        if (g_progress != progress || d.busy) {
            progress = g_progress;
            quiet_since = std::chrono::steady_clock::now();
        } else if (g_runnable > 0 && std::chrono::steady_clock::now() - quiet_since > std::chrono::seconds(20)) {
            describe_waiters("driving: a scheduled thread ran for 20 s without waiting");
            report_problem("clock_drive: " + std::to_string(g_runnable) +
                           " scheduled thread(s) ran for 20 s without waiting");
            d.done = true;
        }
    }
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &d.host));
    g_drive = nullptr;
    lock.unlock();
    if (d.error)
        std::rethrow_exception(d.error);
}

uint64_t clock_now() { return now_100ns(); }

namespace internal {

int spin_locks_held() { return t_spin_count; }

} // namespace internal

namespace exec {

void dispatcher_reset() {
    clock_manual(kDefaultStart);
    // The resetting thread starts clean too: a test that ended holding a spin
    // lock was reported then, and must not spoil the next one.
    t_spin_count = 0;
    t_irql = PASSIVE_LEVEL;
}

void signal_thread_end(void *thread_header) {
    Lock lock(g_lock);
    static_cast<DISPATCHER_HEADER *>(thread_header)->SignalState = 1;
    --g_runnable;
    t_scheduled = false;
    wake_waiters_of(static_cast<DISPATCHER_HEADER *>(thread_header), false);
    // Called under the thread table's lock: a drive goes on on another thread.
    runnable_dropped(lock, false);
}

void scheduled_thread_created() {
    std::lock_guard<DispatcherLock> guard(g_lock);
    ++g_runnable;
}

void scheduled_thread_begins() { t_scheduled = true; }

void scheduled_thread_ends() {
    Lock lock(g_lock);
    --g_runnable;
    t_scheduled = false;
    runnable_dropped(lock, false);
}

} // namespace exec
} // namespace sim

extern "C" VOID sim_assertion_failed(PCSTR Expression, PCSTR File, ULONG Line) {
    sim::report_problem(std::string("assertion failed: ") + Expression + " at " + File + ":" + std::to_string(Line));
}
