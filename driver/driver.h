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

// ---------------------------------------------------------------- entry.cpp
// The service key path DriverEntry was given, copied; every device's
// RegistryPath is a copy of it. Empty (no buffer) when paged pool refused it.
extern UNICODE_STRING DriverRegistryPath;
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE MIVO_AddDevice;
DRIVER_UNLOAD MIVO_DriverUnload;
DRIVER_DISPATCH MIVO_DispatchCreateClose;
DRIVER_DISPATCH MIVO_DispatchPassThrough;
// Frees a registry-path copy and leaves it empty; an empty one is left alone.
VOID MIVO_free_registry_path(PUNICODE_STRING Path);

// ---------------------------------------------------------------- pnp.cpp
DRIVER_DISPATCH MIVO_DispatchPnp;
DRIVER_DISPATCH MIVO_DispatchPower;
NTSTATUS MIVO_pnp_start(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE MIVO_pnp_start_completion;
NTSTATUS MIVO_pnp_stop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_pnp_surprise_removal(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_pnp_remove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MIVO_pnp_query_caps(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// A whole device start: the end of any workers an earlier start left, then
// the USB bring-up and both workers. Runs under StartLock. PASSIVE_LEVEL.
NTSTATUS MIVO_device_start(PDEVICE_OBJECT DeviceObject);
// Ends the workers and frees what the device holds (profiles, LED queue,
// report descriptor, registry path): everything, since after a surprise
// removal no remove request reaches the driver. Idempotent. PASSIVE_LEVEL.
NTSTATUS MIVO_device_remove(PDEVICE_OBJECT DeviceObject);
// DeviceState = State (STOPPED or REMOVED) unless the device is already
// removed: REMOVED is final. Any thread.
VOID MIVO_device_state_leave(PDEVICE_EXTENSION dx, ULONG State);
// The start a read asks for when it finds the device not started: queued to a
// system worker thread, where waiting is allowed, at most one at a time.
// Any IRQL up to DISPATCH_LEVEL.
VOID MIVO_device_start_from_read(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------- workers.cpp
// USB bring-up then the workers (DeviceState STARTED once the USB side is ready).
NTSTATUS MIVO_usb_start(PDEVICE_OBJECT DeviceObject);
NTSTATUS MIVO_hid_start(PDEVICE_OBJECT DeviceObject);
KSTART_ROUTINE MIVO_usb_worker;
KSTART_ROUTINE MIVO_hid_worker;
// Wait for the workers (ending a pending interrupt read first) and release
// them; DeviceState must already have left STARTED.
NTSTATUS MIVO_usb_remove(PDEVICE_OBJECT DeviceObject);
NTSTATUS MIVO_hid_remove(PDEVICE_OBJECT DeviceObject);

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
