// PnP and power: start, stop, surprise removal, removal and capabilities, and
// the device power states. Together they drive DeviceState, which the worker
// threads, the read path and request counting consult.
#include "driver/driver.h"
#include "platform/trace.h"
#include "profiles/profiles.h"
#include "usb/usb.h"

/*
 * MIVO_pass_down - hand a request to the lower driver as it came and return
 * its status. The request is not touched again.
 */
static NTSTATUS MIVO_pass_down(PDEVICE_EXTENSION dx, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(dx->LowerDeviceObject, Irp);
}

/*
 * MIVO_device_state_leave - the device leaves the started state. A stop or a
 * power-down that took its reference just before a removal set REMOVED must
 * not bring the device back from REMOVED, so the write is a compare-exchange
 * that gives way to REMOVED. Any thread.
 */
VOID MIVO_device_state_leave(PDEVICE_EXTENSION dx, ULONG State)
{
    for (;;) {
        LONG seen = InterlockedCompareExchange(&dx->DeviceState, 0, 0);
        if (seen == DEVICE_STATE_REMOVED) {
            return;
        }
        if (InterlockedCompareExchange(&dx->DeviceState, (LONG)State, seen) == seen) {
            return;
        }
    }
}

/*
 * MIVO_DispatchPnp - IRP_MJ_PNP. Start, stop, surprise removal, removal and
 * capabilities are served here; every other request goes down unchanged.
 * Refused with STATUS_DELETE_PENDING once the device is removed (a remove
 * after a surprise removal included). PASSIVE_LEVEL, the PnP manager's
 * thread, one PnP request at a time.
 */
NTSTATUS MIVO_DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    status = MIVO_io_increment(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_complete_request(Irp, status, 0);
        MIVO_TRACE_LEAVE("Error %x", (unsigned)status);
        return status;
    }

    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = MIVO_pnp_start(DeviceObject, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = MIVO_pnp_stop(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = MIVO_pnp_surprise_removal(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = MIVO_pnp_remove(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = MIVO_pnp_query_caps(DeviceObject, Irp);
        break;
    default:
        status = MIVO_pass_down(dx, Irp);
        break;
    }

    // The remove handler has given this reference back itself, and the
    // context may be gone by now.
    if (minor != IRP_MN_REMOVE_DEVICE) {
        MIVO_io_decrement(dx);
    }

    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return status;
}

/*
 * MIVO_pnp_start_completion - the lower drivers are done with the start
 * request: wake MIVO_pnp_start, which keeps the request and completes it.
 * Returns STATUS_MORE_PROCESSING_REQUIRED. Any IRQL up to DISPATCH_LEVEL.
 */
NTSTATUS MIVO_pnp_start_completion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * MIVO_pnp_start - IRP_MN_START_DEVICE: the drivers below start first, then
 * the device itself. Completes the request with the first failure on the way
 * or STATUS_SUCCESS, and returns that status. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_pnp_start(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    KEVENT lowerDone;
    NTSTATUS status;

    PAGED_CODE();

    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MIVO_pnp_start_completion, &lowerDone, TRUE, TRUE, TRUE);

    status = IoCallDriver(dx->LowerDeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: IoCallDriver failed", (unsigned)status);
        goto Complete;
    }

    KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: calling next device failed", (unsigned)status);
        goto Complete;
    }

    status = MIVO_device_start(DeviceObject);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: device_start failed", (unsigned)status);
    }

Complete:
    MIVO_complete_request(Irp, status, 0);
    return status;
}

/*
 * MIVO_device_start - a whole device start, one at a time under StartLock:
 * the PnP start, the start a read asks for, and the removal's end of the
 * workers never run beside each other. A device found started already (a
 * read's start overtaken by another) is left as it is. Returns STATUS_SUCCESS
 * or the failure of MIVO_usb_start. PASSIVE_LEVEL: it waits.
 */
NTSTATUS MIVO_device_start(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p", (PVOID)DeviceObject);

    KeWaitForSingleObject(&dx->StartLock, Executive, KernelMode, FALSE, NULL);
    // Its workers run and nothing has stopped them: starting again would
    // wait for workers that have no reason to end.
    if (MIVO_device_state(dx) != DEVICE_STATE_STARTED) {
        status = MIVO_usb_start(DeviceObject);
    }
    KeSetEvent(&dx->StartLock, IO_NO_INCREMENT, FALSE);

    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_start failed", (unsigned)status);
        return status;
    }
    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return STATUS_SUCCESS;
}

/*
 * MIVO_pnp_stop - IRP_MN_STOP_DEVICE. The workers end on their own at their
 * next look at DeviceState; nobody waits for them here (the next start or
 * the removal does). Returns the lower driver's status. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_pnp_stop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    NTSTATUS status;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    MIVO_device_state_leave(dx, DEVICE_STATE_STOPPED);
    status = MIVO_pass_down(dx, Irp);

    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return status;
}

/*
 * MIVO_pnp_surprise_removal - IRP_MN_SURPRISE_REMOVAL: the device is gone.
 * Everything is ended and freed here, since the remove request that follows
 * is refused. Returns the lower driver's status. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_pnp_surprise_removal(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    PAGED_CODE();

    MIVO_device_state_set(dx, DEVICE_STATE_REMOVED);
    MIVO_device_remove(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return MIVO_pass_down(dx, Irp);
}

/*
 * MIVO_pnp_remove - IRP_MN_REMOVE_DEVICE: ends the device, gives back this
 * request's reference and the device's own, waits until every dispatch
 * routine still inside the driver has left, then passes the request down.
 * Returns STATUS_SUCCESS whatever the lower driver says; the class driver
 * may free the context once it returns. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_pnp_remove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    PDEVICE_OBJECT lower = dx->LowerDeviceObject;

    PAGED_CODE();

    MIVO_device_state_set(dx, DEVICE_STATE_REMOVED);
    MIVO_device_remove(DeviceObject);

    MIVO_io_decrement(dx);
    MIVO_io_decrement(dx);
    // A notification event: the last one out may have signalled it already.
    // IoCount is not looked at again: a request that comes now still counts
    // itself for a moment before it sees the removal and gives it back.
    KeWaitForSingleObject(&dx->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    IoSkipCurrentIrpStackLocation(Irp);
    IoCallDriver(lower, Irp);
    return STATUS_SUCCESS;
}

/*
 * MIVO_device_remove - ends both workers (MIVO_usb_remove) and frees what
 * the device holds: the profiles and the LED queue, which only the HID
 * worker touches and it has ended; the device's report descriptor, which
 * only the class driver's descriptor request reads, and the class driver
 * asks for it only while it starts the device, a PnP request that cannot run
 * beside this one; and the registry path copy, which only the profile reload
 * on the HID worker reads. Each pointer is left NULL, so a surprise removal
 * followed by a remove frees nothing twice. Returns STATUS_SUCCESS.
 * PASSIVE_LEVEL; DeviceState is already REMOVED.
 */
NTSTATUS MIVO_device_remove(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    PAGED_CODE();
    NT_ASSERT(MIVO_device_state(dx) == DEVICE_STATE_REMOVED);

    MIVO_usb_remove(DeviceObject);

    MIVO_Led_Queue_Clear(dx);
    MIVO_Delete_Profil(dx);
    if (dx->DeviceReportDescriptor != NULL) {
        ExFreePool(dx->DeviceReportDescriptor);
        dx->DeviceReportDescriptor = NULL;
        dx->DeviceReportDescriptorLength = 0;
    }
    MIVO_free_registry_path(&dx->RegistryPath);
    return STATUS_SUCCESS;
}

/*
 * MIVO_pnp_query_caps - IRP_MN_QUERY_CAPABILITIES: a removable device that
 * may be pulled out at any time, without lock, eject, dock or unique ID, and
 * no wake. Answered here and not passed down, so what the lower drivers
 * would fill stays as the request brought it. Completes the request with
 * STATUS_SUCCESS. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_pnp_query_caps(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    UNREFERENCED_PARAMETER(DeviceObject);
    PAGED_CODE();

    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->Removable = 1;
    caps->DockDevice = 0;
    caps->UniqueID = 0;
    caps->SurpriseRemovalOK = 1;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;

    MIVO_complete_request(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

/*
 * MIVO_DispatchPower - IRP_MJ_POWER. A device power state other than D0
 * stops the device (its workers end on their own); the return to D0 leaves
 * it stopped, and the class driver's next read starts it again. Every power
 * request goes down. Returns the lower driver's status, or
 * STATUS_DELETE_PENDING once the device is removed. IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    status = MIVO_io_increment(dx);
    if (!NT_SUCCESS(status)) {
        // A power request must still let the next one through.
        PoStartNextPowerIrp(Irp);
        MIVO_complete_request(Irp, status, 0);
        MIVO_TRACE_LEAVE("Error %x", (unsigned)status);
        return status;
    }

    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        if (stack->Parameters.Power.State.DeviceState != PowerDeviceD0) {
            MIVO_device_state_leave(dx, DEVICE_STATE_STOPPED);
        }
        PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(dx->LowerDeviceObject, Irp);

    MIVO_io_decrement(dx);
    return status;
}
