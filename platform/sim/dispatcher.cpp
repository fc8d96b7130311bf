// The dispatcher: the interrupt-time clock, IRQL and spin locks, events and
// the waits on events and thread objects. One lock guards every dispatcher
// object's state, as in the kernel; the objects themselves live in driver
// memory, so all their state is in their DISPATCHER_HEADER.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

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

std::condition_variable &dispatcher_cv() {
    static std::condition_variable cv;
    return cv;
}

// The host deadline of a kernel time-out; false when there is none.
bool deadline_of(const LARGE_INTEGER *timeout, std::chrono::steady_clock::time_point &deadline) {
    if (timeout == nullptr)
        return false;
    LONGLONG t = timeout->QuadPart;
    int64_t units;
    if (t < 0) {
        units = -t;
    } else {
        // Absolute interrupt time; what remains of it passes in real time.
        uint64_t now = now_100ns();
        units = static_cast<uint64_t>(t) > now ? static_cast<int64_t>(static_cast<uint64_t>(t) - now) : 0;
    }
    deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    return true;
}

bool blocks(const LARGE_INTEGER *timeout) { return timeout == nullptr || timeout->QuadPart != 0; }

} // namespace

// ---------------------------------------------------------------- the kernel's side
extern "C" {

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return now_100ns(); }

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
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    // Under the dispatcher lock: a driver may re-initialise an event that
    // another of its threads already signals.
    std::lock_guard<std::mutex> guard(sim::internal::dispatcher_lock());
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
    std::lock_guard<std::mutex> guard(sim::internal::dispatcher_lock());
    if (!is_event(Event, "KeSetEvent"))
        return 0;
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    // Every waiter re-checks; on a synchronization event the first to get the
    // lock takes the signal and the others sleep again.
    dispatcher_cv().notify_all();
    return old;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(sim::internal::dispatcher_lock());
    if (!is_event(Event, "KeResetEvent"))
        return 0;
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(sim::internal::dispatcher_lock());
    if (is_event(Event, "KeClearEvent"))
        Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(sim::internal::dispatcher_lock());
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
    std::chrono::steady_clock::time_point deadline;
    bool timed = deadline_of(Timeout, deadline);
    std::unique_lock<std::mutex> lock(sim::internal::dispatcher_lock());
    UCHAR type = header->Type;
    if (type != kNotificationEvent && type != kSynchronizationEvent && type != kThreadObject) {
        lock.unlock();
        sim::report_problem("KeWaitForSingleObject: " + sim::exec::hex_pointer(Object) +
                            " is not a dispatcher object (type " + std::to_string(type) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    for (;;) {
        if (header->SignalState > 0) {
            if (header->Type == kSynchronizationEvent)
                header->SignalState = 0;
            return STATUS_SUCCESS;
        }
        if (!timed) {
            dispatcher_cv().wait(lock);
        } else if (dispatcher_cv().wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a signal may have come with the time-out.
            if (header->SignalState > 0)
                continue;
            return STATUS_TIMEOUT;
        }
    }
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
    std::chrono::steady_clock::time_point deadline;
    deadline_of(Interval, deadline);
    std::this_thread::sleep_until(deadline);
    return STATUS_SUCCESS;
}

} // extern "C"

// ---------------------------------------------------------------- controls
namespace sim {

void clock_manual(uint64_t start) {
    g_manual_time.store(start);
    g_clock_real.store(false);
}

void clock_real() {
    uint64_t now = now_100ns();
    g_real_base_ns.store(host_ns());
    g_real_base_value.store(now);
    g_clock_real.store(true);
}

void clock_set(uint64_t interrupt_time) {
    if (g_clock_real.load()) {
        g_real_base_ns.store(host_ns());
        g_real_base_value.store(interrupt_time);
    } else {
        g_manual_time.store(interrupt_time);
    }
}

void clock_advance_ms(uint64_t ms) {
    if (g_clock_real.load())
        g_real_base_value.fetch_add(ms * 10'000);
    else
        g_manual_time.fetch_add(ms * 10'000);
}

uint64_t clock_now() { return now_100ns(); }

namespace internal {

std::mutex &dispatcher_lock() {
    static std::mutex m;
    return m;
}

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
    std::lock_guard<std::mutex> guard(internal::dispatcher_lock());
    static_cast<DISPATCHER_HEADER *>(thread_header)->SignalState = 1;
    dispatcher_cv().notify_all();
}

} // namespace exec
} // namespace sim

// ---------------------------------------------------------------- first cut, replaced by the virtual-time scheduler
namespace sim {
bool clock_is_real() { return g_clock_real.load(); }
void clock_run_until(uint64_t interrupt_time) {
    if (interrupt_time > now_100ns())
        clock_set(interrupt_time);
}
void clock_settle() {}
} // namespace sim

extern "C" VOID sim_assertion_failed(PCSTR Expression, PCSTR File, ULONG Line) {
    sim::report_problem(std::string("assertion failed: ") + Expression + " at " + File + ":" + std::to_string(Line));
}
