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

// ---------------------------------------------------------------- read_queue.cpp
VOID MIVO_queue_read(PDEVICE_EXTENSION dx, PIRP Irp);
PIRP MIVO_dequeue_read(PDEVICE_EXTENSION dx);
DRIVER_CANCEL MIVO_cancel_read;
NTSTATUS MIVO_complete_read_report(PDEVICE_EXTENSION dx, PIRP Irp);
VOID MIVO_cancel_all_reads(PDEVICE_EXTENSION dx);
