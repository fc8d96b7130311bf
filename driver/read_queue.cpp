// The read queue: IOCTL_HID_READ_REPORT requests wait in ReadQueue until the
// HID worker has a report for them. Ownership of a queued request is decided
// by the exchange of its cancel-routine slot: whoever swaps a non-NULL routine
// for NULL completes it, the other side leaves it alone. ReadQueueLock guards
// the list and the dequeue's exchange; nothing is called or completed while it
// is held.
#include "driver/driver.h"
#include "platform/trace.h"

/*
 * MIVO_queue_read - append a read request at the tail of ReadQueue and make
 * it cancellable. The caller has marked it pending and returns STATUS_PENDING.
 * Any thread of the HID class driver, IRQL <= DISPATCH_LEVEL.
 */
VOID MIVO_queue_read(PDEVICE_EXTENSION dx, PIRP Irp)
{
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);

    // Arming and appending under one hold: a cancel routine that runs at once
    // waits for the lock and then finds the request in the queue.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->ReadQueueLock);
    IoSetCancelRoutine(Irp, MIVO_cancel_read);
    InsertTailList(&dx->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dx->ReadQueueLock, irql);
}

/*
 * MIVO_dequeue_read - take the oldest queued read that can still be owned.
 * A request whose cancel routine the I/O manager has already taken belongs
 * to that routine and is skipped. Returns the request, no longer cancellable,
 * or NULL when the queue is empty. The HID worker, and the read path and the
 * end of the workers through MIVO_cancel_all_reads: each request is taken
 * out under the lock by one of them alone. IRQL <= DISPATCH_LEVEL.
 */
PIRP MIVO_dequeue_read(PDEVICE_EXTENSION dx)
{
    for (;;) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->ReadQueueLock);
        if (IsListEmpty(&dx->ReadQueue)) {
            KeReleaseSpinLock(&dx->ReadQueueLock, irql);
            return NULL;
        }
        PLIST_ENTRY link = RemoveHeadList(&dx->ReadQueue);
        // Self-linked, so a cancel routine that unlinks it later changes nothing.
        InitializeListHead(link);
        PIRP irp = CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry);
        // The slot is emptied before the lock is let go: a cancel routine
        // already taken must take this lock before it can complete the
        // request, so the request is still there to look at. Emptied after
        // the release, it could be completed and freed in between.
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        KeReleaseSpinLock(&dx->ReadQueueLock, irql);

        if (routine != NULL) {
            return irp;
        }
        // IoCancelIrp got there first: the cancel routine is running or about
        // to run and will complete the request.
        MIVO_TRACE_LINE("already cancelling: %p", (PVOID)irp);
    }
}

/*
 * MIVO_cancel_read - cancel routine of a queued read.
 * Entered holding the I/O manager's cancel lock with the slot already
 * emptied, so this routine owns the request. Completes it with
 * STATUS_CANCELLED. The thread that cancels, DISPATCH_LEVEL.
 */
VOID MIVO_cancel_read(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    // Never hold the cancel lock and ReadQueueLock together.
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->ReadQueueLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dx->ReadQueueLock, irql);

    MIVO_complete_request(Irp, STATUS_CANCELLED, 0);
}

/*
 * MIVO_complete_read_report - complete a taken read with the next pending
 * report. Returns STATUS_SUCCESS, or the failure of the report read
 * (STATUS_BUFFER_TOO_SMALL leaves the report pending; STATUS_UNSUCCESSFUL when
 * nothing was pending), with which the request is completed. HID worker.
 */
NTSTATUS MIVO_complete_read_report(PDEVICE_EXTENSION dx, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = MIVO_hid_read_rep(dx, (PUCHAR)Irp->UserBuffer, &length);

    MIVO_complete_request(Irp, status, length);

    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x", (unsigned)status);
    }
    return status;
}

/*
 * MIVO_complete_pending_reads - hand one pending report to each queued read,
 * oldest read first, until the reports or the reads run out. A read too short
 * for its report ends the pass; the report stays pending. HID worker.
 */
VOID MIVO_complete_pending_reads(PDEVICE_EXTENSION dx)
{
    while (MIVO_pending_get(dx) != 0) {
        PIRP irp = MIVO_dequeue_read(dx);
        if (irp == NULL) {
            break;
        }
        NTSTATUS status = MIVO_complete_read_report(dx, irp);
        if (!NT_SUCCESS(status)) {
            MIVO_TRACE_LINE("%x: complete_read_report failed", (unsigned)status);
            break;
        }
    }
}

/*
 * MIVO_cancel_all_reads - complete every queued read with STATUS_CANCELLED.
 * Run by the HID worker as it ends, so no read waits for a worker that is
 * gone; again by MIVO_hid_remove once the worker has ended, and by a read
 * that was queued as the device left the started state, for a read queued
 * after the worker's last pass. IRQL <= DISPATCH_LEVEL.
 */
VOID MIVO_cancel_all_reads(PDEVICE_EXTENSION dx)
{
    PIRP irp;
    while ((irp = MIVO_dequeue_read(dx)) != NULL) {
        MIVO_complete_request(irp, STATUS_CANCELLED, 0);
    }
}
