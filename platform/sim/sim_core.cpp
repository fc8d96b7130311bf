// The simulated kernel's life cycle: reset and the list of problems, with the
// hooks through which the other components (I/O manager, USB bus, registry,
// HID class) take part in both.

#include <cstdio>
#include <mutex>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

namespace sim {
namespace {

struct Hooks {
    std::mutex lock;
    std::vector<std::function<void()>> on_reset;
    std::vector<std::function<void(std::vector<std::string> &)>> on_check;
};

// Function-local statics: components register from their own static
// initialisers, whose order against this file's is unspecified.
Hooks &hooks() {
    static Hooks h;
    return h;
}

struct Reported {
    std::mutex lock;
    std::vector<std::string> problems;
};

Reported &reported() {
    static Reported r;
    return r;
}

} // namespace

namespace internal {

Registrar::Registrar(std::function<void()> on_reset, std::function<void(std::vector<std::string> &)> on_check) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> guard(h.lock);
    if (on_reset)
        h.on_reset.push_back(std::move(on_reset));
    if (on_check)
        h.on_check.push_back(std::move(on_check));
}

} // namespace internal

void reset() {
    std::vector<std::function<void()>> resets;
    {
        Hooks &h = hooks();
        std::lock_guard<std::mutex> guard(h.lock);
        resets = h.on_reset;
    }
    {
        Reported &r = reported();
        std::lock_guard<std::mutex> guard(r.lock);
        r.problems.clear();
    }
    // The other components first: they may still hold pool or handles that
    // the executive is about to forget.
    for (auto &fn : resets)
        fn();
    exec::threads_reset(); // may report a thread that outlived its test, into the fresh list
    exec::handles_reset();
    exec::dispatcher_reset();
    exec::pool_reset();
    exec::trace_reset();
}

std::vector<std::string> problems() {
    std::vector<std::string> out;
    {
        Reported &r = reported();
        std::lock_guard<std::mutex> guard(r.lock);
        out = r.problems;
    }
    std::vector<std::function<void(std::vector<std::string> &)>> checks;
    {
        Hooks &h = hooks();
        std::lock_guard<std::mutex> guard(h.lock);
        checks = h.on_check;
    }
    for (auto &fn : checks)
        fn(out);
    exec::threads_check(out);
    exec::handles_check(out);
    exec::pool_check(out);
    return out;
}

void report_problem(std::string what) {
    Reported &r = reported();
    std::lock_guard<std::mutex> guard(r.lock);
    r.problems.push_back(std::move(what));
}

namespace exec {

std::string hex_pointer(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

} // namespace exec
} // namespace sim
