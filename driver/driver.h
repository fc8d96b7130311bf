// Driver frame: entry and dispatch, PnP and power, HID requests and the read
// queue, the worker threads and request counting.
#pragma once

#include "core/core.h"
#include "hid/hid.h"

// The HID class driver owns the device object; the minidriver's context hangs
// off its extension.
static inline PDEVICE_EXTENSION MIVO_device_extension(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)((PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension)->MiniDeviceExtension;
}

// Completes a request the driver owns: Status, and Information bytes on
// success or 0 on failure, set just before. The request is not touched again.
static inline VOID MIVO_complete_request(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- io_count.cpp
// A reference to the device context for the length of a dispatch routine:
// STATUS_SUCCESS, or STATUS_DELETE_PENDING once the device is removed.
NTSTATUS MIVO_io_increment(PDEVICE_EXTENSION dx);
VOID MIVO_io_decrement(PDEVICE_EXTENSION dx);

// ---------------------------------------------------------------- hid_requests.cpp
// IRP_MJ_INTERNAL_DEVICE_CONTROL: the HID class driver's requests.
DRIVER_DISPATCH MIVO_DispatchIntDevice;
NTSTATUS MIVO_ioctl_get_dev_desc(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_ioctl_get_dev_attr(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_ioctl_get_rep_desc(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_ioctl_read_rep(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_ioctl_write_rep(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------- read_queue.cpp
VOID MIVO_queue_read(PDEVICE_EXTENSION dx, PIRP Irp);
PIRP MIVO_dequeue_read(PDEVICE_EXTENSION dx);
DRIVER_CANCEL MIVO_cancel_read;
NTSTATUS MIVO_complete_read_report(PDEVICE_EXTENSION dx, PIRP Irp);
VOID MIVO_cancel_all_reads(PDEVICE_EXTENSION dx);
