// The worker threads and the device's start: the USB bring-up, the USB worker
// that feeds RawInput from the interrupt pipe, the HID worker that runs the
// translation and completes the reads, and their end.
//
// Who may run when:
// - Starts happen one at a time under StartLock (MIVO_device_start, and the
//   removal while it ends the workers), so two starts never interleave and a
//   removal never ends workers that a start is still creating.
// - A start first ends the workers an earlier start left behind (a stop or a
//   power-down lets them end on their own, but nobody waited for them), so at
//   most one USB worker and one HID worker run per device, and every worker
//   ever started is waited for and its thread reference released.
// - The workers run exactly while DeviceState is STARTED. A start sets it
//   only if nobody changed it during the bring-up: a stop, power-down or
//   removal that came meanwhile wins and the start fails.
#include "driver/driver.h"
#include "platform/trace.h"
#include "profiles/profiles.h"
#include "usb/usb.h"

// 10 ms, relative, in 100-ns units: the HID worker's longest wait between two
// steps, the USB worker's pause after a failed read, and the removal's wait
// for the USB worker between two aborts of its read.
#define MIVO_WORKER_PERIOD (-10LL * 10000)

/*
 * MIVO_thread_create - a system thread running Routine with the device
 * object, and a counted reference to its thread object in *Thread, which
 * stays valid after the thread ends. The handle is closed at once: the
 * reference is what the end of the device waits on. PASSIVE_LEVEL.
 */
static NTSTATUS MIVO_thread_create(PDEVICE_OBJECT DeviceObject, PKSTART_ROUTINE Routine, PVOID *Thread)
{
    HANDLE handle;
    NTSTATUS status;

    PAGED_CODE();

    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Routine, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A kernel handle to a thread just created with all access: nothing can
    // make this fail, and without the reference the thread could not be
    // waited for.
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, Thread, NULL);
    NT_ASSERT(NT_SUCCESS(status));
    ZwClose(handle);
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_worker_end - waits until the USB worker has ended and releases it.
 * A worker sitting in the interrupt read of a silent device would wait
 * forever, so its read is aborted; a read the worker submits just after an
 * abort is not touched by it, hence abort, wait up to 10 ms, and again.
 * Caller holds StartLock; DeviceState is not STARTED. PASSIVE_LEVEL.
 */
static VOID MIVO_usb_worker_end(PDEVICE_EXTENSION dx)
{
    LARGE_INTEGER period;

    PAGED_CODE();
    NT_ASSERT(MIVO_device_state(dx) != DEVICE_STATE_STARTED);

    if (dx->UsbWorkerThread == NULL) {
        return;
    }
    period.QuadPart = MIVO_WORKER_PERIOD;
    for (;;) {
        if (dx->InterruptPipe != NULL) {
            MIVO_usb_abort_pipe(dx, dx->InterruptPipe);
        }
        if (KeWaitForSingleObject(dx->UsbWorkerThread, Executive, KernelMode, FALSE, &period) != STATUS_TIMEOUT) {
            break;
        }
    }
    ObDereferenceObject(dx->UsbWorkerThread);
    dx->UsbWorkerThread = NULL;
}

/*
 * MIVO_usb_start - the USB side of a device start, then both workers.
 * Returns STATUS_SUCCESS, the failing step's status, STATUS_DELETE_PENDING
 * when the device is or got removed, or STATUS_CANCELLED when a stop or a
 * power-down came during the bring-up. A failed bring-up step leaves
 * DeviceState as it was (or as the stop or removal left it); a thread that
 * could not be made leaves it STARTED, and the removal that follows a failed
 * start ends and waits for any worker already made. Caller holds
 * StartLock. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_start(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    LONG seen = InterlockedCompareExchange(&dx->DeviceState, 0, 0);
    LONG claimed = DEVICE_STATE_NONE;
    NTSTATUS status;

    PAGED_CODE();
    NT_ASSERT(seen != DEVICE_STATE_STARTED);

    if (seen == DEVICE_STATE_REMOVED) {
        status = STATUS_DELETE_PENDING;
        MIVO_TRACE_LEAVE("%x: device removed", (unsigned)status);
        return status;
    }

    // The workers of an earlier start have stopped looking at the device but
    // may not have ended yet: a new worker must not run beside them.
    MIVO_usb_worker_end(dx);
    MIVO_hid_remove(DeviceObject);

    // A stopped device is taken back to NONE for the bring-up, so that a stop
    // or power-down during it (STOPPED again) is told from no change at all
    // when the bring-up ends.
    if (InterlockedCompareExchange(&dx->DeviceState, DEVICE_STATE_NONE, seen) != seen) {
        status = STATUS_DELETE_PENDING;
        MIVO_TRACE_LEAVE("%x: device removed", (unsigned)status);
        return status;
    }

    status = MIVO_usb_reset(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_reset failed", (unsigned)status);
        goto Exit;
    }
    status = MIVO_usb_get_dev_desc(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_get_dev_desc failed", (unsigned)status);
        goto Exit;
    }
    status = MIVO_usb_select_conf(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_select_conf failed", (unsigned)status);
        goto Exit;
    }
    status = MIVO_usb_get_hid_desc(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_get_hid_desc failed", (unsigned)status);
        goto Exit;
    }

    if (InterlockedCompareExchange(&dx->DeviceState, DEVICE_STATE_STARTED, DEVICE_STATE_NONE) != DEVICE_STATE_NONE) {
        status = MIVO_device_state(dx) == DEVICE_STATE_REMOVED ? STATUS_DELETE_PENDING : STATUS_CANCELLED;
        MIVO_TRACE_LEAVE("%x: device_state changed", (unsigned)status);
        goto Exit;
    }
    claimed = DEVICE_STATE_STARTED;
    NT_ASSERT(dx->UsbWorkerThread == NULL);

    status = MIVO_thread_create(DeviceObject, MIVO_usb_worker, &dx->UsbWorkerThread);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: PsCreateSystemThread failed", (unsigned)status);
        goto Exit;
    }

    status = MIVO_hid_start(DeviceObject);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: hid_start failed", (unsigned)status);
        goto Exit;
    }

    MIVO_TRACE_LEAVE("%x", 0u);
    return STATUS_SUCCESS;

Exit:
    // A bring-up step that failed leaves the state as the start found it. A
    // thread that could not be made leaves the device started, as the rest
    // of the bring-up stands: the PnP manager removes a device whose start
    // failed, and that removal ends a USB worker already running. A stop or
    // removal that came meanwhile has its way.
    if (claimed != DEVICE_STATE_STARTED) {
        InterlockedCompareExchange(&dx->DeviceState, seen, DEVICE_STATE_NONE);
    }
    return status;
}

/*
 * MIVO_hid_start - the HID side of a start, last step of MIVO_usb_start: the
 * served descriptor's length, a profile reload before the first step, the
 * device initialised and its LED as last asked, then the HID worker. Returns
 * STATUS_SUCCESS or the thread creation's failure. Caller holds StartLock.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_hid_start(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    NTSTATUS status;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p %d", (PVOID)DeviceObject, VIRTUAL_REPORT_DESCRIPTOR_LENGTH);

    dx->ReportDescriptorLength = (USHORT)(dx->DeviceReportDescriptorLength + VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    MIVO_post_reload(dx);
    // A device that refuses these starts all the same.
    MIVO_nav_init(dx);
    MIVO_nav_led(dx, MIVO_led_flag());

    // The event was made with the context; the USB worker may have signalled
    // it already, which only brings the first step forward. Cleared, not made
    // again, since that worker may be signalling it right now.
    KeClearEvent(&dx->NewInputEvent);
    NT_ASSERT(dx->HidWorkerThread == NULL);

    status = MIVO_thread_create(DeviceObject, MIVO_hid_worker, &dx->HidWorkerThread);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: PsCreateSystemThread failed", (unsigned)status);
        return status;
    }
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_worker - thread routine: reads the device's interrupt reports one
 * after the other into RawInput and wakes the HID worker after each, while
 * DeviceState is STARTED. System thread, PASSIVE_LEVEL, priority 16.
 */
VOID MIVO_usb_worker(PVOID StartContext)
{
    PDEVICE_OBJECT DeviceObject = (PDEVICE_OBJECT)StartContext;
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    LARGE_INTEGER pause;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p - DEVICE_STATE_STARTED 1 = %d ?", (PVOID)DeviceObject, (int)MIVO_device_state(dx));
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    pause.QuadPart = MIVO_WORKER_PERIOD;

    while (MIVO_device_state(dx) == DEVICE_STATE_STARTED) {
        UCHAR report[RAW_INPUT_LENGTH];
        ULONG length = sizeof(report);

        RtlZeroMemory(report, sizeof(report));
        if (NT_SUCCESS(MIVO_usb_read_interrupt(dx, report, &length))) {
            // All seven bytes, whatever the read's length: a short report
            // reads as zeros behind its last byte. Its report ID is still
            // right, so the decoder puts it where it belongs; an axis word
            // cut in half reads as its low byte, a small positive value
            // inside the clamp, and a report of no bytes at all has report
            // ID 0, which the decoder ignores. Keeping the previous report's
            // bytes instead would mix two reports in one image.
            MIVO_raw_input_store(dx, report, sizeof(report));
        } else {
            // RawInput keeps the last good report; the pause keeps a failing
            // pipe (halted, unplugged, aborted) from spinning.
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        KeSetEvent(&dx->NewInputEvent, IO_NO_INCREMENT, FALSE);
    }

    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * MIVO_hid_worker - thread routine: the profile reload when one is asked
 * for, then a translation step, at least every 10 ms and at once when woken,
 * while DeviceState is STARTED; on its way out every queued read is
 * cancelled. The only thread that touches the profile state, the key table,
 * the LED queue and the report images. System thread, PASSIVE_LEVEL,
 * priority 16.
 */
VOID MIVO_hid_worker(PVOID StartContext)
{
    PDEVICE_OBJECT DeviceObject = (PDEVICE_OBJECT)StartContext;
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    LARGE_INTEGER period;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p", (PVOID)DeviceObject);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    period.QuadPart = MIVO_WORKER_PERIOD;

    while (MIVO_device_state(dx) == DEVICE_STATE_STARTED) {
        if (MIVO_take_reload(dx)) {
            MIVO_InitState(dx);
        }
        // Before the step, not after the wait: a signal that comes while the
        // step runs ends the next wait at once; one that came before the step
        // is seen by the step itself.
        KeResetEvent(&dx->NewInputEvent);
        MIVO_hid_step(dx);
        KeWaitForSingleObject(&dx->NewInputEvent, Executive, KernelMode, FALSE, &period);
    }

    MIVO_TRACE_LINE("already stop/removed");
    MIVO_cancel_all_reads(dx);
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * MIVO_hid_remove - wakes the HID worker, waits until it has ended and
 * releases it; then cancels any read that was queued after the worker's own
 * last cancel-all, so that none is left behind. Caller holds StartLock;
 * DeviceState is not STARTED. Returns STATUS_SUCCESS. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_hid_remove(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p", (PVOID)DeviceObject);

    if (dx->HidWorkerThread != NULL) {
        KeSetEvent(&dx->NewInputEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(dx->HidWorkerThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(dx->HidWorkerThread);
        dx->HidWorkerThread = NULL;
    }
    MIVO_cancel_all_reads(dx);

    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_remove - ends both workers (the USB worker's pending read
 * aborted) and releases them, under StartLock so that no start is creating
 * workers meanwhile. Returns STATUS_SUCCESS. PASSIVE_LEVEL; DeviceState has
 * already left STARTED.
 */
NTSTATUS MIVO_usb_remove(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p", (PVOID)DeviceObject);

    KeWaitForSingleObject(&dx->StartLock, Executive, KernelMode, FALSE, NULL);
    MIVO_usb_worker_end(dx);
    MIVO_hid_remove(DeviceObject);
    KeSetEvent(&dx->StartLock, IO_NO_INCREMENT, FALSE);

    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

/*
 * MIVO_start_from_read_work - work item of MIVO_device_start_from_read: the
 * start, where waiting is allowed, then the queued flag and the reference
 * given back (last: the context may go once the reference is gone).
 * System worker thread, PASSIVE_LEVEL.
 */
static IO_WORKITEM_ROUTINE MIVO_start_from_read_work;
static VOID NTAPI MIVO_start_from_read_work(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    PAGED_CODE();

    MIVO_device_start(DeviceObject);
    InterlockedExchange(&dx->StartQueued, 0);
    IoFreeWorkItem((PIO_WORKITEM)Context);
    MIVO_io_decrement(dx);
}

/*
 * MIVO_device_start_from_read - a read found the device not started (the
 * class driver keeps reading after a power-down): queue a start on a system
 * worker thread, since the read may come at DISPATCH_LEVEL and a start waits
 * for USB transfers. A burst of reads queues one start. The work item holds
 * a reference to the device context, so a removal waits for it; once the
 * device is removed no start is queued. IRQL <= DISPATCH_LEVEL.
 */
VOID MIVO_device_start_from_read(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    PIO_WORKITEM item;

    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);

    if (!NT_SUCCESS(MIVO_io_increment(dx))) {
        return;
    }
    if (InterlockedCompareExchange(&dx->StartQueued, 1, 0) != 0) {
        MIVO_io_decrement(dx);
        return;
    }
    item = IoAllocateWorkItem(DeviceObject);
    if (item == NULL) {
        // The next read asks again.
        MIVO_TRACE_LINE("start work item STATUS_INSUFFICIENT_RESOURCES");
        InterlockedExchange(&dx->StartQueued, 0);
        MIVO_io_decrement(dx);
        return;
    }
    IoQueueWorkItem(item, MIVO_start_from_read_work, DelayedWorkQueue, item);
}
