// Synchronous transfers: every exchange with the USB stack is one internal
// device-control request to the next-lower driver, waited for in the calling
// thread. Each call owns its event, request and request block, so the callers
// (start, write requests, the HID worker, the USB worker) share nothing here.
#include "usb/usb.h"

#include "platform/trace.h"


/*
 * MIVO_usb_submit_sync - one internal device-control request, waited for.
 * Sends IoControlCode to dx->LowerDeviceObject with Argument1/Argument2 in the
 * lower driver's stack location. Returns the request's final status, or
 * STATUS_INSUFFICIENT_RESOURCES when the request could not be built.
 * PASSIVE_LEVEL: it may block until the lower driver completes.
 */
NTSTATUS MIVO_usb_submit_sync(PDEVICE_EXTENSION dx, ULONG IoControlCode, PVOID Argument1, PVOID Argument2)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    irp = IoBuildDeviceIoControlRequest(IoControlCode, dx->LowerDeviceObject, NULL, 0, NULL, 0, TRUE, &event,
                                        &ioStatus);
    if (irp == NULL) {
        // IoBuildDeviceIoControlRequest fails only for want of memory for the
        // request, so say exactly that; every caller treats it as a failure.
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = Argument1;
    next->Parameters.Others.Argument2 = Argument2;

    // The I/O manager frees the request when it completes; it must not be
    // touched after this call. Only a pending answer leaves the final status
    // to come: an immediate one is already the status of the request.
    status = IofCallDriver(dx->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * MIVO_usb_control_transfer - one control transfer on the default pipe.
 * PipeToCheck only guards against a device not brought up yet: the block goes
 * to the default pipe (handle 0). *Length: bytes to move in, the length the
 * bus driver left in the block out (also on failure, once submitted).
 * Returns STATUS_SUCCESS, STATUS_INVALID_HANDLE, STATUS_INVALID_PARAMETER,
 * STATUS_INSUFFICIENT_RESOURCES or STATUS_UNSUCCESSFUL. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, USBD_PIPE_HANDLE PipeToCheck,
                                   ULONG TransferFlags, const UCHAR SetupPacket[8])
{
    PURB urb;
    NTSTATUS status;

    // The handle comes first: a device without a control pipe fails the same
    // way whatever it was asked to move.
    if (PipeToCheck == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INVALID_HANDLE");
        return STATUS_INVALID_HANDLE;
    }
    if (Buffer == NULL || *Length < 1) {
        MIVO_TRACE_LEAVE("STATUS_INVALID_PARAMETER");
        return STATUS_INVALID_PARAMETER;
    }

    urb = (PURB)ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_TRANSFER));
    if (urb == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_TRANSFER));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb->UrbControlTransfer.PipeHandle = NULL;
    urb->UrbControlTransfer.TransferFlags = TransferFlags;
    urb->UrbControlTransfer.TransferBufferLength = *Length;
    urb->UrbControlTransfer.TransferBuffer = Buffer;
    urb->UrbControlTransfer.TransferBufferMDL = NULL;
    urb->UrbControlTransfer.UrbLink = NULL;
    RtlCopyMemory(urb->UrbControlTransfer.SetupPacket, SetupPacket, sizeof(urb->UrbControlTransfer.SetupPacket));

    status = MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, NULL);

    // Whatever the bus driver left, even after a failure: a stalled request may
    // still have moved part of the data, and the caller sees how much.
    *Length = urb->UrbControlTransfer.TransferBufferLength;

    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        status = STATUS_SUCCESS;
    } else {
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
        status = STATUS_UNSUCCESSFUL;
    }

    ExFreePoolWithTag(urb, 0);
    return status;
}

/*
 * MIVO_usb_control_pipe - ControlPipe as a start last set it: a start may set
 * it while a write request sends a device command.
 */
static USBD_PIPE_HANDLE MIVO_usb_control_pipe(PDEVICE_EXTENSION dx)
{
    return (USBD_PIPE_HANDLE)InterlockedCompareExchangePointer((PVOID volatile *)&dx->ControlPipe, NULL, NULL);
}

/*
 * MIVO_usb_get_control_transfer - a device-to-host control transfer.
 * Descriptor reads of the bring-up. Returns as MIVO_usb_control_transfer.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_get_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, const UCHAR SetupPacket[8])
{
    MIVO_TRACE_ENTER(" and leave: %p, %p, %u", (PVOID)dx, Buffer, *Length);
    return MIVO_usb_control_transfer(dx, Buffer, Length, MIVO_usb_control_pipe(dx), USB_CONTROL_IN_FLAGS, SetupPacket);
}

/*
 * MIVO_usb_set_control_transfer - a host-to-device control transfer.
 * The SET_REPORT requests of the device commands. Returns as
 * MIVO_usb_control_transfer. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_set_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, const UCHAR SetupPacket[8])
{
    return MIVO_usb_control_transfer(dx, Buffer, Length, MIVO_usb_control_pipe(dx), USB_CONTROL_OUT_FLAGS, SetupPacket);
}

/*
 * MIVO_usb_interrupt_transfer - one transfer on an interrupt (or bulk) pipe.
 * *Length: bytes asked for in, bytes moved out on success only; a failed
 * transfer leaves it as it was. Returns STATUS_SUCCESS, STATUS_INVALID_HANDLE,
 * STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES or
 * STATUS_UNSUCCESSFUL (the last without a trace: the USB worker retries a
 * failed read every 10 ms and would flood the log). PASSIVE_LEVEL; waits until
 * the device answers or the bus driver fails the request.
 */
NTSTATUS MIVO_usb_interrupt_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, USBD_PIPE_HANDLE Pipe,
                                     ULONG TransferFlags)
{
    PURB urb;
    NTSTATUS status;

    if (Pipe == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INVALID_HANDLE");
        return STATUS_INVALID_HANDLE;
    }
    if (Buffer == NULL || *Length < 1) {
        MIVO_TRACE_LEAVE("STATUS_INVALID_PARAMETER");
        return STATUS_INVALID_PARAMETER;
    }

    urb = (PURB)ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = Pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = TransferFlags;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = *Length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = Buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = NULL;
    urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;

    status = MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, NULL);

    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        *Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_UNSUCCESSFUL;
    }

    ExFreePoolWithTag(urb, 0);
    return status;
}

/*
 * MIVO_usb_read_interrupt - reads one input report from the interrupt-IN pipe.
 * *Length: the buffer's size in, the report's length out (unchanged on
 * failure). Returns as MIVO_usb_interrupt_transfer. USB worker, PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_read_interrupt(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length)
{
    return MIVO_usb_interrupt_transfer(dx, Buffer, Length, dx->InterruptPipe, USB_INTERRUPT_IN_FLAGS);
}
