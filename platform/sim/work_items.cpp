// Work items: each runs on a worker thread of its own at PASSIVE_LEVEL, as a
// system worker thread runs it, and counts as a scheduled thread for virtual
// time. A routine may free its own work item.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    std::atomic<bool> queued;
};

namespace {

std::atomic<long> g_running{0};

// Work items still running at a check get a moment to end: the routine's
// last step may release what the test waited for just before it returns.
const sim::internal::Registrar registrar({}, [](std::vector<std::string> &out) {
    for (int i = 0; i < 200 && g_running.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (long n = g_running.load())
        out.push_back(std::to_string(n) + " work item(s) still running");
});

} // namespace

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    const sim::internal::PoolSiteOfCaller site(__builtin_return_address(0));
    void *mem = ExAllocatePool(NonPagedPoolNx, sizeof(_IO_WORKITEM));
    if (mem == nullptr)
        return nullptr;
    auto *item = static_cast<PIO_WORKITEM>(mem);
    item->device = DeviceObject;
    item->queued.store(false);
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (IoWorkItem->queued.load())
        sim::report_problem("IoFreeWorkItem: the work item is still queued");
    ExFreePoolWithTag(IoWorkItem, 0);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::report_problem("IoQueueWorkItem above DISPATCH_LEVEL");
    if (IoWorkItem->queued.exchange(true))
        sim::report_problem("IoQueueWorkItem: the work item is queued already");
    PDEVICE_OBJECT device = IoWorkItem->device;
    g_running.fetch_add(1);
    sim::internal::device_reference(device);
    sim::exec::scheduled_thread_created();
    std::thread([IoWorkItem, WorkerRoutine, device, Context] {
        sim::exec::scheduled_thread_begins();
        // Dequeued before the routine runs: it may queue the item again or free it.
        IoWorkItem->queued.store(false);
        WorkerRoutine(device, Context);
        if (sim::internal::spin_locks_held() > 0)
            sim::report_problem("a work item routine returned holding a spin lock");
        sim::internal::device_dereference(device);
        sim::exec::scheduled_thread_ends();
        g_running.fetch_sub(1);
    }).detach();
}

} // extern "C"
