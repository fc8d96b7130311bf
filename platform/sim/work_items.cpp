// Work items: each runs on a system thread of its own at PASSIVE_LEVEL.
#include "platform/sim/internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
};

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto *item = static_cast<PIO_WORKITEM>(ExAllocatePool(NonPagedPoolNx, sizeof(_IO_WORKITEM)));
    if (item != nullptr)
        item->device = DeviceObject;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) { ExFreePoolWithTag(IoWorkItem, 0); }

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    WorkerRoutine(IoWorkItem->device, Context);
}

} // extern "C"
