// The HID class driver's internal requests: the HID descriptor, the device
// attributes and the report descriptor are answered at once, written reports
// go to the command channel, and reads wait in the read queue for the HID
// worker. Each request is completed exactly once, by the routine that serves
// it, or by the dispatch routine when nothing serves it.
#include "driver/driver.h"
#include "platform/trace.h"

// Class descriptor types of the HID 1.11 specification (7.1).
#ifndef HID_HID_DESCRIPTOR_TYPE
#define HID_HID_DESCRIPTOR_TYPE 0x21
#endif
#ifndef HID_REPORT_DESCRIPTOR_TYPE
#define HID_REPORT_DESCRIPTOR_TYPE 0x22
#endif

// bcdHID as this driver announces it: 0x0001 (bytes 01 00), deliberately not
// the BCD 0x0100 of HID 1.00.
#define MIVO_BCD_HID 0x0001

/*
 * MIVO_DispatchIntDevice - IRP_MJ_INTERNAL_DEVICE_CONTROL: the HID class
 * driver's requests. Holds a reference to the device context while a handler
 * runs; a queued read returns STATUS_PENDING and holds none while it waits.
 * Requests for a removed device and codes without a handler are completed
 * here with STATUS_DELETE_PENDING and STATUS_NOT_SUPPORTED. Returns the
 * handler's status. Threads of the HID class driver, several at once,
 * IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_DispatchIntDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN served = TRUE;
    NTSTATUS status;

    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    Irp->IoStatus.Information = 0;

    status = MIVO_io_increment(dx);
    if (!NT_SUCCESS(status)) {
        goto Complete;
    }

    switch (code) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        status = MIVO_ioctl_get_dev_desc(DeviceObject, Irp);
        break;
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        status = MIVO_ioctl_get_rep_desc(DeviceObject, Irp);
        break;
    case IOCTL_HID_READ_REPORT:
        status = MIVO_ioctl_read_rep(DeviceObject, Irp);
        break;
    // The class driver sends written reports under three codes; the report's
    // own ID, not the code, decides what becomes of it.
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_FEATURE:
    case IOCTL_HID_SET_OUTPUT_REPORT:
        status = MIVO_ioctl_write_rep(DeviceObject, Irp);
        break;
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        status = MIVO_ioctl_get_dev_attr(DeviceObject, Irp);
        break;
    default:
        // Strings, get-feature, activation and idle notification: the class
        // driver copes without them.
        served = FALSE;
        status = STATUS_NOT_SUPPORTED;
        break;
    }

    // The handlers have completed or queued the request by now; from here on
    // Irp may already be back with its owner and is not touched again.
    MIVO_io_decrement(dx);
    if (served) {
        goto Exit;
    }

Complete:
    MIVO_complete_request(Irp, status, 0);

Exit:
    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return status;
}

/*
 * MIVO_ioctl_get_dev_desc - IOCTL_HID_GET_DEVICE_DESCRIPTOR: the 9-byte HID
 * descriptor, announcing one report descriptor of ReportDescriptorLength
 * bytes. Completes the request; returns STATUS_SUCCESS or
 * STATUS_BUFFER_TOO_SMALL. IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_ioctl_get_dev_desc(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    if (length < sizeof(HID_DESCRIPTOR)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PHID_DESCRIPTOR descriptor = (PHID_DESCRIPTOR)Irp->UserBuffer;
        RtlZeroMemory(descriptor, sizeof(HID_DESCRIPTOR));
        descriptor->bLength = sizeof(HID_DESCRIPTOR);
        descriptor->bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
        descriptor->bcdHID = MIVO_BCD_HID;
        descriptor->bNumDescriptors = 1;
        descriptor->DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
        descriptor->DescriptorList[0].wReportLength = dx->ReportDescriptorLength;
        status = STATUS_SUCCESS;
    }
    MIVO_complete_request(Irp, status, sizeof(HID_DESCRIPTOR));

    if (NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    } else {
        MIVO_TRACE_LEAVE("STATUS_BUFFER_TOO_SMALL");
    }
    return status;
}

/*
 * MIVO_ioctl_get_dev_attr - IOCTL_HID_GET_DEVICE_ATTRIBUTES: size, vendor,
 * product and version of the device, from its USB device descriptor. The
 * reserved words are the caller's and are left as they are. Completes the
 * request; returns STATUS_SUCCESS or STATUS_BUFFER_TOO_SMALL.
 * IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_ioctl_get_dev_attr(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    if (length < sizeof(HID_DEVICE_ATTRIBUTES)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PHID_DEVICE_ATTRIBUTES attributes = (PHID_DEVICE_ATTRIBUTES)Irp->UserBuffer;
        attributes->Size = sizeof(HID_DEVICE_ATTRIBUTES);
        attributes->VendorID = dx->DeviceDescriptor.idVendor;
        attributes->ProductID = dx->DeviceDescriptor.idProduct;
        attributes->VersionNumber = dx->DeviceDescriptor.bcdDevice;
        status = STATUS_SUCCESS;
    }
    MIVO_complete_request(Irp, status, sizeof(HID_DEVICE_ATTRIBUTES));

    if (NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    } else {
        MIVO_TRACE_LEAVE("%u < %d", (unsigned)length, (int)sizeof(HID_DEVICE_ATTRIBUTES));
    }
    return status;
}

/*
 * MIVO_ioctl_get_rep_desc - IOCTL_HID_GET_REPORT_DESCRIPTOR: the served
 * report descriptor, the virtual half and the device's own. Completes the
 * request with the status of MIVO_hid_get_rep_desc and returns it.
 * IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_ioctl_get_rep_desc(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    MIVO_TRACE_ENTER("%p, %p", (PVOID)DeviceObject, (PVOID)Irp);

    status = MIVO_hid_get_rep_desc(dx, (PUCHAR)Irp->UserBuffer, &length);
    MIVO_complete_request(Irp, status, length);

    if (NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    } else {
        MIVO_TRACE_LEAVE("%x", (unsigned)status);
    }
    return status;
}

/*
 * MIVO_ioctl_read_rep - IOCTL_HID_READ_REPORT. On a started device the read
 * is queued for the HID worker and STATUS_PENDING returned; otherwise it is
 * completed with STATUS_DEVICE_NOT_CONNECTED and a start of the device is
 * queued. Never waits and allocates nothing on the queued path.
 * IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_ioctl_read_rep(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);

    if (MIVO_device_state(dx) == DEVICE_STATE_STARTED) {
        // Queued even when a report is already pending: only the HID worker
        // completes reads, so that each report goes out once and in order.
        // The signal brings its next pass forward.
        IoMarkIrpPending(Irp);
        MIVO_queue_read(dx, Irp);
        KeSetEvent(&dx->NewInputEvent, IO_NO_INCREMENT, FALSE);

        // The device may have left the started state between the test above
        // and the queueing, and its HID worker may have run its last
        // cancel-all already: then nobody would ever take this read. The
        // workers end only after DeviceState has changed, so a read path
        // that sees it changed cancels what is queued itself; the class
        // driver sends its reads again once the device is back.
        if (MIVO_device_state(dx) != DEVICE_STATE_STARTED) {
            MIVO_cancel_all_reads(dx);
        }
        return STATUS_PENDING;
    }

    MIVO_complete_request(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    MIVO_TRACE_LEAVE("STATUS_DEVICE_NOT_CONNECTED: device is not started");

    // The HID class driver keeps reading a device that a power transition
    // stopped, so the first read that finds it not started is where it is
    // started again, after this refusal.
    MIVO_device_start_from_read(DeviceObject);
    return STATUS_DEVICE_NOT_CONNECTED;
}

/*
 * MIVO_ioctl_write_rep - IOCTL_HID_WRITE_REPORT, IOCTL_HID_SET_FEATURE and
 * IOCTL_HID_SET_OUTPUT_REPORT alike: the HID_XFER_PACKET that the class
 * driver puts in UserBuffer goes to the command channel. Completes the
 * request with the bytes the channel took, or with its failure, and returns
 * its status. PASSIVE_LEVEL: a report for the device is a USB transfer.
 */
NTSTATUS MIVO_ioctl_write_rep(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = MIVO_device_extension(DeviceObject);
    PHID_XFER_PACKET packet = (PHID_XFER_PACKET)Irp->UserBuffer;
    ULONG length = packet->reportBufferLen;
    NTSTATUS status;

    status = MIVO_hid_write_rep(dx, packet->reportBuffer, &length, packet->reportId);
    MIVO_complete_request(Irp, status, length);

    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x", (unsigned)status);
    }
    return status;
}
