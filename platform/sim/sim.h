// Controls of the simulated kernel for tests, tools and benchmarks (C++20).
// Driver code never includes this; it sees the kernel only through
// platform/kernel.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _KTHREAD;

namespace sim {

// ---------------------------------------------------------------- lifecycle
// A fresh kernel: forgets every pool record, trace line, fault, handle and
// verifier finding, and puts the clock back to manual at its start value.
// Call it only when no simulated thread is running.
void reset();

// Everything the kernel found wrong since reset(): leaked pool (with size and
// the sequence number of the allocation), bad or double frees, open handles,
// unreleased object references, requests completed twice or never, completion
// under a spin lock, and whatever the other components reported. Empty when
// all is well.
std::vector<std::string> problems();

// Components of the simulated kernel (and tests that build deliberately broken
// drivers) report a violation here.
void report_problem(std::string what);

// ---------------------------------------------------------------- clock
// Interrupt time in 100-ns units, and every timed wait of the kernel
// (KeWaitForSingleObject with a time-out, KeDelayExecutionThread) measured on
// it. Two modes:
//
// Virtual (after reset, and clock_manual): the clock stands still while
// anything can run. It moves when a host thread tells it to (clock_set,
// clock_advance_ms, clock_run_until) and when every system thread
// (PsCreateSystemThread, work items) waits and at least one host thread waits
// inside the kernel: then it jumps to the earliest time-out and wakes the
// waits that expire there, one instant at a time. A session driven by one host
// thread is thus deterministic, however long its waits, and runs as fast as the
// machine allows. If every thread waits and none has a time-out, nothing could
// ever wake them: the kernel prints where each waits, reports a problem and
// aborts the process, so that a test fails instead of hanging.
// Host threads outside the kernel are not seen: time stands still for them.
//
// Real (clock_real): the clock follows the host's monotonic clock from the
// value it had when switched, and timed waits last their length in real time.
constexpr uint64_t kDefaultStart = 5ULL * 60 * 10'000'000; // five minutes of uptime
void clock_manual(uint64_t start = kDefaultStart);
void clock_real();
bool clock_is_real();
// Virtual: sets the clock (forward or back) without running anything. Real:
// the clock reads this value now and goes on from it.
void clock_set(uint64_t interrupt_time);
// clock_run_until(clock_now() + ms).
void clock_advance_ms(uint64_t ms);
// Virtual: lets the system threads run up to this time: every time-out due by
// then expires in order, the threads woken by it run until they all wait
// again, and the call returns once that holds at `interrupt_time` (a time
// already past is not gone back to: it settles at the current time). Real:
// sleeps until the clock reads that time.
void clock_run_until(uint64_t interrupt_time);
// Virtual: returns once every system thread waits, the clock unmoved (what a
// completion or a signal from the host thread set going has run its course).
// Real: returns at once.
void clock_settle();
// Virtual: lets `next` move the clock. It is called once everything has
// settled (as after clock_settle) and returns the interrupt time to run to
// next (as clock_run_until), the current time to be called again once what
// it set going has settled, or nothing to end; the calling thread waits until
// then. It runs on whichever thread's wait settled the kernel, a system
// thread's as often as not, so it must not wait itself, and the work it does
// between two calls costs no thread switch. Real: calls `next` and runs until
// each time it names, on the calling thread.
void clock_drive(const std::function<std::optional<uint64_t>()> &next);
uint64_t clock_now();

// ---------------------------------------------------------------- pool
struct PoolStats {
    size_t live_allocations = 0;
    size_t live_bytes = 0;
    size_t total_allocations = 0; // successful ones since reset
    size_t failed_allocations = 0; // refused by fault injection
    size_t peak_allocations = 0;   // most blocks live at once since reset
    size_t peak_bytes = 0;         // most bytes live at once since reset
};
PoolStats pool_stats();
// The n-th allocation from now on fails (1 = the next one).
void pool_fail_nth(uint64_t n);
// Every allocation of exactly this many bytes fails until cleared.
void pool_fail_size(size_t bytes);
void pool_fail_clear(); // every kind of injected failure

// Allocation sites: the code address an allocation was asked for from, the
// return address of the ExAllocatePool(WithTag) call. A kernel routine that
// allocates on its caller's behalf (IoAllocateIrp, IoBuildDeviceIoControlRequest,
// IoAllocateWorkItem, USBD_CreateConfigurationRequestEx) counts as its
// caller's site, so that a site is always where the caller's code asks.
struct PoolSite {
    const void *address = nullptr;
    uint64_t requests = 0; // since reset, refused ones included
};
// Every site seen since reset, in the order of its first request.
std::vector<PoolSite> pool_sites();
// The routine a site lies in (from the sanitizers' symbolizer when the build
// has one, else the dynamic symbol table), or its address in hex.
std::string pool_site_name(const void *site);
// The next allocation from this site fails, that one only.
void pool_fail_site(const void *site);

// ---------------------------------------------------------------- debug trace
// DbgPrint output, split into lines at '\n' (a line still open is included).
std::vector<std::string> trace_lines();
std::string trace_text();
void trace_clear();
// Also copy every DbgPrint to standard error as it is printed.
void trace_echo(bool on);
// Keep the trace (the default, and again after reset()); off, DbgPrint only
// prints what trace_echo asks for, and the trace stays empty.
void trace_keep(bool on);

// ---------------------------------------------------------------- threads
// The priority a thread object runs at (8 until KeSetPriorityThread changes it).
int32_t thread_priority(const struct _KTHREAD *thread);
// System threads started by PsCreateSystemThread that have not ended yet.
size_t threads_running();
// The n-th PsCreateSystemThread from now on fails with
// STATUS_INSUFFICIENT_RESOURCES (1 = the next one; 0 clears).
void thread_create_fail_nth(uint64_t n);
// Runs `then` once, on the thread that next releases this spin lock, right
// after the release: another processor's work put exactly where a driver has
// just let go of a lock. Armed by one test thread at a time.
void after_spin_lock_release(const void *lock, std::function<void()> then);

// Text between the simulator's UTF-8 and the kernel's UTF-16, as the trace and
// the registry convert it: malformed UTF-8 becomes U+FFFD, one per offending
// byte; a lone surrogate becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view s);
std::string utf16_to_utf8(std::u16string_view s);

} // namespace sim
