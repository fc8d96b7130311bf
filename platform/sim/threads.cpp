// System threads, object references and the handle table. A thread object is
// a dispatcher object signalled when its thread ends; it lives while anyone
// holds a reference: its handle, its running thread, or a driver's
// ObReferenceObjectByHandle.

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

namespace {

constexpr UCHAR kThreadObject = 6;
// System threads start at the system process's base priority.
constexpr KPRIORITY kDefaultPriority = 8;

// Thrown by PsTerminateSystemThread and caught by the thread's trampoline:
// the driver frames between are compiled without exceptions but keep their
// unwind tables, and hold nothing that needs a destructor.
struct ThreadExit {};

struct SimThread {
    KTHREAD k; // first: a PKTHREAD is a SimThread*
    uint64_t number = 0;
    bool system = false;     // made by PsCreateSystemThread; otherwise a host thread seen through KeGetCurrentThread
    std::atomic<KPRIORITY> priority{kDefaultPriority};
    // Guarded by Objects::lock.
    long refs = 0;
    bool running = false;
    bool handle_open = false;
    std::thread host;
    PKSTART_ROUTINE start = nullptr;
    PVOID context = nullptr;
};

struct Objects {
    std::mutex lock;
    std::set<SimThread *> threads; // system threads whose objects still exist
    uint64_t created = 0;
    uint64_t fail_at = 0;
    // Threads that outlived a reset: their objects must stay valid until they end.
    std::set<SimThread *> orphans;
};

Objects &objects() {
    static Objects o;
    return o;
}

thread_local SimThread *t_current = nullptr;

// A host thread (a test, a tool, the simulated HID class) seen as a kernel
// thread: a permanent object of its own, not counted.
struct HostThreadObject {
    SimThread *object = nullptr;
    ~HostThreadObject() { delete object; }
};
thread_local HostThreadObject t_host_object;

void init_header(SimThread *t) {
    t->k.Header.Type = kThreadObject;
    t->k.Header.Size = sizeof(KTHREAD) / sizeof(LONG);
    t->k.Header.SignalState = 0;
    InitializeListHead(&t->k.Header.WaitListHead);
}

// Frees a thread object whose last reference is gone. Called without the
// objects lock.
void destroy(SimThread *t) {
    if (t->host.joinable()) {
        if (t->host.get_id() == std::this_thread::get_id())
            t->host.detach(); // the thread drops its own last reference on its way out
        else
            t->host.join(); // it has signalled its end; only the trampoline's return is left
    }
    delete t;
}

// Drops one reference; false when the object is not a live system thread.
bool release(SimThread *t, long &left) {
    Objects &o = objects();
    {
        std::lock_guard<std::mutex> guard(o.lock);
        if (!o.threads.count(t) && !o.orphans.count(t))
            return false;
        left = --t->refs;
        if (left > 0)
            return true;
        o.threads.erase(t);
        o.orphans.erase(t);
    }
    destroy(t);
    return true;
}

void trampoline(SimThread *t) {
    t_current = t;
    sim::exec::scheduled_thread_begins();
    try {
        t->start(t->context);
    } catch (const ThreadExit &) {
    }
    if (sim::internal::spin_locks_held() > 0)
        sim::report_problem("system thread #" + std::to_string(t->number) + " ended holding " +
                            std::to_string(sim::internal::spin_locks_held()) + " spin lock(s)");
    // The end, its signal and the drop of the thread's own reference are one
    // step: a check in between would count that reference as leaked, and once
    // it is dropped someone else may free the object.
    Objects &o = objects();
    bool last;
    {
        std::lock_guard<std::mutex> guard(o.lock);
        t->running = false;
        sim::exec::signal_thread_end(&t->k.Header);
        last = --t->refs == 0;
        if (last) {
            o.threads.erase(t);
            o.orphans.erase(t);
        }
    }
    if (last)
        destroy(t);
}

void close_thread_handle(void *object) {
    auto *t = static_cast<SimThread *>(object);
    {
        std::lock_guard<std::mutex> guard(objects().lock);
        t->handle_open = false;
    }
    long left;
    release(t, left);
}

// ---------------------------------------------------------------- handles
struct HandleEntry {
    sim::internal::HandleKind kind;
    void *object;
    std::function<void(void *)> on_close;
};

struct Handles {
    std::mutex lock;
    std::map<uintptr_t, HandleEntry> open;
    uint64_t next = 1;
};

Handles &handles() {
    static Handles h;
    return h;
}

const char *kind_name(sim::internal::HandleKind kind) {
    switch (kind) {
    case sim::internal::HandleKind::Thread:
        return "thread";
    case sim::internal::HandleKind::RegistryKey:
        return "registry key";
    }
    return "unknown";
}

// Kernel handles have the top bit set and are multiples of four.
constexpr uintptr_t kHandleBase = 0xFFFFFFFF80000000ULL;

} // namespace

namespace sim {

namespace internal {

HANDLE handle_open(HandleKind kind, void *object, std::function<void(void *)> on_close) {
    Handles &h = handles();
    std::lock_guard<std::mutex> guard(h.lock);
    uintptr_t value = kHandleBase + 4 * h.next++;
    h.open.emplace(value, HandleEntry{kind, object, std::move(on_close)});
    return reinterpret_cast<HANDLE>(value);
}

void *handle_lookup(HANDLE handle, HandleKind kind) {
    Handles &h = handles();
    std::lock_guard<std::mutex> guard(h.lock);
    auto it = h.open.find(reinterpret_cast<uintptr_t>(handle));
    if (it == h.open.end() || it->second.kind != kind)
        return nullptr;
    return it->second.object;
}

} // namespace internal

KPRIORITY thread_priority(const struct _KTHREAD *thread) {
    return reinterpret_cast<const SimThread *>(thread)->priority.load();
}

size_t threads_running() {
    Objects &o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    size_t n = 0;
    for (SimThread *t : o.threads)
        n += t->running ? 1 : 0;
    return n;
}

void thread_create_fail_nth(uint64_t n) {
    Objects &o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    o.fail_at = n == 0 ? 0 : o.created + n;
}

namespace exec {

void handles_reset() {
    Handles &h = handles();
    std::lock_guard<std::mutex> guard(h.lock);
    // The objects behind them were forgotten by their components already.
    h.open.clear();
    h.next = 1;
}

void handles_check(std::vector<std::string> &out) {
    Handles &h = handles();
    std::lock_guard<std::mutex> guard(h.lock);
    for (auto &[value, e] : h.open)
        out.push_back(std::string("handle still open: ") + hex_pointer(reinterpret_cast<void *>(value)) + " (" +
                      kind_name(e.kind) + ")");
}

void threads_reset() {
    Objects &o = objects();
    std::vector<SimThread *> ended;
    std::vector<SimThread *> still_running;
    {
        std::lock_guard<std::mutex> guard(o.lock);
        for (SimThread *t : o.threads) {
            if (t->running) {
                // Its handle goes with the handle table; the thread's own
                // reference lets the object go once it ends.
                if (t->handle_open) {
                    t->handle_open = false;
                    --t->refs;
                }
                still_running.push_back(t);
                o.orphans.insert(t);
            } else {
                ended.push_back(t);
            }
        }
        o.threads.clear();
        o.created = 0;
        o.fail_at = 0;
    }
    // Ended threads whose references leaked: problems() named them already.
    for (SimThread *t : ended)
        destroy(t);
    for (SimThread *t : still_running) {
        std::fprintf(stderr, "sim: reset while system thread #%llu still runs\n",
                     static_cast<unsigned long long>(t->number));
        report_problem("system thread #" + std::to_string(t->number) +
                       " was still running at reset (started before it, never ended)");
    }
}

void threads_check(std::vector<std::string> &out) {
    if (internal::spin_locks_held() > 0)
        out.push_back("the checking thread still holds " + std::to_string(internal::spin_locks_held()) +
                      " spin lock(s)");
    Objects &o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    for (SimThread *t : o.threads) {
        std::string name = "system thread #" + std::to_string(t->number) + " (" + hex_pointer(t) + ")";
        if (t->running)
            out.push_back(name + " still running");
        long owned = t->refs - (t->running ? 1 : 0) - (t->handle_open ? 1 : 0);
        if (owned > 0)
            out.push_back("object reference not released: " + name + ", " + std::to_string(owned) +
                          " reference(s)");
    }
}

} // namespace exec
} // namespace sim

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        sim::report_problem("PsCreateSystemThread above PASSIVE_LEVEL");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        sim::report_problem("PsCreateSystemThread: no handle or no start routine");
        return STATUS_INVALID_PARAMETER;
    }
    Objects &o = objects();
    auto *t = new SimThread;
    init_header(t);
    t->system = true;
    t->start = StartRoutine;
    t->context = StartContext;
    {
        std::lock_guard<std::mutex> guard(o.lock);
        uint64_t n = ++o.created;
        if (n == o.fail_at) {
            o.fail_at = 0;
            delete t;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        t->number = n;
        t->refs = 2; // the handle and the running thread
        t->running = true;
        t->handle_open = true;
        o.threads.insert(t);
    }
    *ThreadHandle = sim::internal::handle_open(sim::internal::HandleKind::Thread, t, close_thread_handle);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{4}); // the System process
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(uintptr_t{0x1000 + 4 * t->number});
    }
    // Started last: the thread may end and drop its reference at once.
    sim::exec::scheduled_thread_created();
    std::lock_guard<std::mutex> guard(o.lock);
    t->host = std::thread(trampoline, t);
    return STATUS_SUCCESS;
}

VOID NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    UNREFERENCED_PARAMETER(ExitStatus);
    if (t_current == nullptr)
        sim::report_problem("PsTerminateSystemThread called from a thread that is not a system thread");
    throw ThreadExit{};
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(HandleInformation);
    auto *t = static_cast<SimThread *>(sim::internal::handle_lookup(Handle, sim::internal::HandleKind::Thread));
    if (t == nullptr) {
        sim::report_problem("ObReferenceObjectByHandle: " + sim::exec::hex_pointer(Handle) +
                            " is not an open thread handle");
        *Object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    {
        std::lock_guard<std::mutex> guard(objects().lock);
        ++t->refs;
    }
    *Object = t;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    auto *t = static_cast<SimThread *>(Object);
    Objects &o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    if (!o.threads.count(t) && !o.orphans.count(t)) {
        if (t_host_object.object != t)
            sim::report_problem("ObfReferenceObject on " + sim::exec::hex_pointer(Object) +
                                ", not a live object");
        return 1;
    }
    return ++t->refs;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    auto *t = static_cast<SimThread *>(Object);
    if (t != nullptr && t == t_host_object.object)
        return 1;
    long left = 0;
    if (!release(t, left)) {
        sim::report_problem("ObfDereferenceObject on " + sim::exec::hex_pointer(Object) +
                            ", not a live object (released too often?)");
        return 0;
    }
    return left;
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    if (t_current != nullptr)
        return &t_current->k;
    if (t_host_object.object == nullptr) {
        t_host_object.object = new SimThread;
        init_header(t_host_object.object);
    }
    return &t_host_object.object->k;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Priority < 0 || Priority > HIGH_PRIORITY)
        sim::report_problem("KeSetPriorityThread: priority " + std::to_string(Priority) + " out of range");
    return reinterpret_cast<SimThread *>(Thread)->priority.exchange(Priority);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        sim::report_problem("ZwClose above PASSIVE_LEVEL");
    std::function<void(void *)> on_close;
    void *object;
    {
        Handles &h = handles();
        std::lock_guard<std::mutex> guard(h.lock);
        auto it = h.open.find(reinterpret_cast<uintptr_t>(Handle));
        if (it == h.open.end()) {
            sim::report_problem("ZwClose: " + sim::exec::hex_pointer(Handle) + " is not an open handle");
            return STATUS_INVALID_HANDLE;
        }
        on_close = std::move(it->second.on_close);
        object = it->second.object;
        h.open.erase(it);
    }
    if (on_close)
        on_close(object);
    return STATUS_SUCCESS;
}

} // extern "C"
