// The USB side of a device start: the hub port checked and reset if need be,
// the device descriptor, the first configuration with its first interface and
// pipes, and the device's own HID report descriptor. Every step waits for its
// requests, so all of it runs at PASSIVE_LEVEL in the thread of the start.
//
// Every pool block is NonPagedPoolNx: none of it is ever executed, and the
// kernels this driver is built for refuse executable pool by policy.
#include "usb/usb.h"

#include "platform/trace.h"

// GET_DESCRIPTOR (standard, to interface 0) for the HID report descriptor,
// wValue 0x2200: type 0x22, index 0. wLength bounds what the device may send,
// whatever the size of the buffer behind it.
static const UCHAR SETUP_GET_REPORT_DESCRIPTOR[8] = {
    USB_REQUEST_TYPE_STANDARD_INTERFACE_IN,
    USB_REQUEST_GET_DESCRIPTOR,
    0x00,
    HID_REPORT_DESCRIPTOR_TYPE,
    0x00,
    0x00,
    (UCHAR)(DEVICE_REPORT_DESCRIPTOR_MAX & 0xFF),
    (UCHAR)(DEVICE_REPORT_DESCRIPTOR_MAX >> 8),
};
static_assert(DEVICE_REPORT_DESCRIPTOR_MAX == 0x010A, "the device is asked for at most 266 bytes");
static_assert(DEVICE_REPORT_DESCRIPTOR_MAX <= DEVICE_REPORT_DESCRIPTOR_SCRATCH, "the scratch buffer holds it all");

#define USB_CONFIGURATION_HEADER_LENGTH 9
// Slack after a configuration descriptor, so that a parser reading one
// descriptor header past the last byte still reads our own zeros.
#define USB_CONFIGURATION_SLACK 16

/*
 * usb_get_descriptor - one GET_DESCRIPTOR_FROM_DEVICE on a caller's block.
 * *Length: bytes asked for in, bytes transferred out (success only).
 * Returns the submission's status, or STATUS_UNSUCCESSFUL when the bus
 * driver's USBD status says the transfer failed. PASSIVE_LEVEL.
 */
static NTSTATUS usb_get_descriptor(PDEVICE_EXTENSION dx, PURB Urb, UCHAR Type, UCHAR Index, PVOID Buffer,
                                   ULONG *Length)
{
    NTSTATUS status;

    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, Index, 0, Buffer,
                                 NULL, *Length, NULL);
    status = MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, NULL);
    if (!NT_SUCCESS(status))
        return status;
    if (!USBD_SUCCESS(Urb->UrbHeader.Status))
        return STATUS_UNSUCCESSFUL;
    *Length = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

/*
 * usb_get_port_status - asks the hub for the state of the device's port.
 * *PortStatus: USBD_PORT_ENABLED | USBD_PORT_CONNECTED as the hub reports
 * them; 0 when the request fails. Returns the request's status. PASSIVE_LEVEL.
 */
NTSTATUS usb_get_port_status(PDEVICE_EXTENSION dx, ULONG *PortStatus)
{
    PAGED_CODE();

    *PortStatus = 0;
    return MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus, NULL);
}

/*
 * usb_reset_port - resets the device's hub port. Returns the request's status.
 * PASSIVE_LEVEL.
 */
NTSTATUS usb_reset_port(PDEVICE_EXTENSION dx)
{
    PAGED_CODE();

    return MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_RESET_PORT, NULL, NULL);
}

/*
 * MIVO_usb_reset - makes sure the port is connected and enabled, resetting it
 * once when it is connected but disabled (after a stop or a power-down).
 * Returns STATUS_SUCCESS, STATUS_NO_SUCH_DEVICE, or the failing request's
 * status. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_reset(PDEVICE_EXTENSION dx)
{
    ULONG portStatus;
    NTSTATUS status;

    PAGED_CODE();

    status = usb_get_port_status(dx, &portStatus);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_get_port_status failed", (unsigned)status);
        return status;
    }
    if (!(portStatus & USBD_PORT_CONNECTED)) {
        MIVO_TRACE_LEAVE("STATUS_NO_SUCH_DEVICE");
        return STATUS_NO_SUCH_DEVICE;
    }
    // A reset of an enabled port would end the device's configuration for
    // nothing; the usual start finds it enabled and stops here, silently.
    if (portStatus & USBD_PORT_ENABLED)
        return STATUS_SUCCESS;

    status = usb_reset_port(dx);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_reset_port failed", (unsigned)status);
        return status;
    }
    status = usb_get_port_status(dx, &portStatus);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_get_port_status failed", (unsigned)status);
        return status;
    }
    if ((portStatus & (USBD_PORT_CONNECTED | USBD_PORT_ENABLED)) == (USBD_PORT_CONNECTED | USBD_PORT_ENABLED)) {
        MIVO_TRACE_LEAVE("STATUS_SUCCESS");
        return STATUS_SUCCESS;
    }
    MIVO_TRACE_LEAVE("STATUS_NO_SUCH_DEVICE");
    return STATUS_NO_SUCH_DEVICE;
}

/*
 * MIVO_usb_get_dev_desc - reads the device descriptor into DeviceDescriptor
 * and takes ControlPipe from the completed request, which is what lets control
 * transfers run. Returns the submission's status, STATUS_UNSUCCESSFUL or
 * STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_get_dev_desc(PDEVICE_EXTENSION dx)
{
    PURB urb;
    ULONG length = sizeof(USB_DEVICE_DESCRIPTOR);
    NTSTATUS status;

    PAGED_CODE();

    urb = (PURB)ExAllocatePool(NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL) {
        MIVO_TRACE_LEAVE("urb STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = usb_get_descriptor(dx, urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, &dx->DeviceDescriptor, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(urb, 0);
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
        return STATUS_UNSUCCESSFUL;
    }

    // The bus driver hands back the default pipe's handle in the block (the
    // descriptor request's view of that field is Reserved).
    // Written while a write request may be sending a device command on it.
    InterlockedExchangePointer((PVOID volatile *)&dx->ControlPipe, urb->UrbControlTransfer.PipeHandle);
    ExFreePoolWithTag(urb, 0);

    MIVO_TRACE_LINE("VendorID %X, ProductID %X, Version %X ", (unsigned)dx->DeviceDescriptor.idVendor,
                    (unsigned)dx->DeviceDescriptor.idProduct, (unsigned)dx->DeviceDescriptor.bcdDevice);
    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return status;
}

/*
 * MIVO_usb_get_conf_desc - reads configuration descriptor Index whole, with
 * its interface, class and endpoint descriptors: first its 9-byte header for
 * wTotalLength, then everything. *Descriptor: a new NonPagedPoolNx buffer the
 * caller frees (untouched on failure); *Length: the bytes the device sent.
 * Returns STATUS_SUCCESS, STATUS_UNSUCCESSFUL or STATUS_INSUFFICIENT_RESOURCES.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_get_conf_desc(PDEVICE_EXTENSION dx, PUSB_CONFIGURATION_DESCRIPTOR *Descriptor, ULONG *Length,
                                UCHAR Index)
{
    PURB urb;
    PUSB_CONFIGURATION_DESCRIPTOR header;
    PUSB_CONFIGURATION_DESCRIPTOR full;
    ULONG length;
    ULONG totalLength;
    NTSTATUS status;

    PAGED_CODE();

    MIVO_TRACE_ENTER("%p, %p, %u, %u", (PVOID)dx, (PVOID)Descriptor, (unsigned)*Length, (unsigned)Index);

    urb = (PURB)ExAllocatePool(NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL) {
        MIVO_TRACE_LEAVE("urb STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    header = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPoolNx, USB_CONFIGURATION_HEADER_LENGTH);
    if (header == NULL) {
        ExFreePoolWithTag(urb, 0);
        MIVO_TRACE_LEAVE("desc STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    MIVO_TRACE_LINE("MIVO_usb_get_conf_desc - getting configuration descriptor Part 1");
    // Zeroed: a device that sends fewer than four bytes leaves wTotalLength 0
    // rather than pool garbage.
    RtlZeroMemory(header, USB_CONFIGURATION_HEADER_LENGTH);
    length = USB_CONFIGURATION_HEADER_LENGTH;
    status = usb_get_descriptor(dx, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, header, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(header, 0);
        ExFreePoolWithTag(urb, 0);
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL descriptor 1");
        return STATUS_UNSUCCESSFUL;
    }

    totalLength = header->wTotalLength;
    ExFreePoolWithTag(header, 0);
    full = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPoolNx, totalLength + USB_CONFIGURATION_SLACK);
    if (full == NULL) {
        ExFreePoolWithTag(urb, 0);
        MIVO_TRACE_LEAVE("descriptor 2 STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    MIVO_TRACE_LINE("Getting second part of configuration descriptor");
    RtlZeroMemory(full, totalLength + USB_CONFIGURATION_SLACK);
    length = totalLength;
    status = usb_get_descriptor(dx, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, full, &length);
    ExFreePoolWithTag(urb, 0);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(full, 0);
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
        return STATUS_UNSUCCESSFUL;
    }

    // The USBD parser walks up to wTotalLength as the descriptor itself says.
    // A device that now claims more than it sent (or more than it announced
    // the first time) would walk it past the buffer: only what arrived counts.
    if (full->wTotalLength > length)
        full->wTotalLength = (USHORT)length;

    *Length = length;
    *Descriptor = full;
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_select_conf - selects configuration 0 with its first interface and
 * keeps ConfigurationHandle, InterruptPipe (pipe 0 of an interface with one or
 * two pipes) and SecondPipe (pipe 1 of one with exactly two). Nothing is
 * written before the device has accepted the configuration. Returns
 * STATUS_SUCCESS, STATUS_NO_SUCH_DEVICE, STATUS_UNSUCCESSFUL,
 * STATUS_INSUFFICIENT_RESOURCES or the status of the descriptor read.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_select_conf(PDEVICE_EXTENSION dx)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = NULL;
    ULONG length = 0;
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor;
    USBD_INTERFACE_LIST_ENTRY interfaceList[2];
    PUSBD_INTERFACE_INFORMATION info;
    PURB urb;
    NTSTATUS status;

    PAGED_CODE();

    status = MIVO_usb_get_conf_desc(dx, &configuration, &length, 0);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x: usb_get_conf_desc failed", (unsigned)status);
        return status;
    }

    interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        ExFreePoolWithTag(configuration, 0);
        MIVO_TRACE_LEAVE("USBD_ParseConfigurationDescriptorEx STATUS_NO_SUCH_DEVICE");
        return STATUS_NO_SUCH_DEVICE;
    }

    interfaceList[0].InterfaceDescriptor = interfaceDescriptor;
    interfaceList[0].Interface = NULL;
    interfaceList[1].InterfaceDescriptor = NULL;
    interfaceList[1].Interface = NULL;
    urb = USBD_CreateConfigurationRequestEx(configuration, interfaceList);
    if (urb == NULL) {
        // The library builds the request from pool and has nothing else to
        // fail on: say that. Nothing reached the device, which stays as it was.
        ExFreePoolWithTag(configuration, 0);
        MIVO_TRACE_LEAVE("USBD_CreateConfigurationRequestEx STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, NULL);
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) {
        ExFreePool(urb);
        ExFreePoolWithTag(configuration, 0);
        MIVO_TRACE_LEAVE("USBD_CreateConfigurationRequestEx STATUS_UNSUCCESSFUL");
        return STATUS_UNSUCCESSFUL;
    }

    dx->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    dx->InterruptPipe = NULL;
    dx->SecondPipe = NULL;
    info = interfaceList[0].Interface;
    if (info->NumberOfPipes == 1) {
        dx->InterruptPipe = info->Pipes[0].PipeHandle;
    } else if (info->NumberOfPipes == 2) {
        // Pipes[1] lies past the declared array, inside the request the
        // library sized for this interface.
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        ULONG n;
        dx->InterruptPipe = pipes[0].PipeHandle;
        dx->SecondPipe = pipes[1].PipeHandle;
        for (n = 0; n < 2; n++) {
            MIVO_TRACE_LINE("Pipe %d : MaxTransfer %d, MaxPckSize %d, PipeType %d, Interval %d, Handle %d Address %d",
                            (int)n, (int)pipes[n].MaximumTransferSize, (int)pipes[n].MaximumPacketSize,
                            (int)pipes[n].PipeType, (int)pipes[n].Interval, (int)(ULONG_PTR)pipes[n].PipeHandle,
                            (int)pipes[n].EndpointAddress);
        }
    } else {
        // The start still goes on: the USB worker's reads then fail on the
        // zero handle and the virtual device keeps working without input.
        MIVO_TRACE_LINE("No Additionnal Pipe - Only Cntrol Pipe");
    }

    // The library's request is freed as the library says, with ExFreePool.
    ExFreePool(urb);
    ExFreePoolWithTag(configuration, 0);
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_get_hid_desc - reads the device's HID report descriptor (at most
 * 266 bytes) and makes a copy of exactly its length the new
 * DeviceReportDescriptor. Returns STATUS_SUCCESS, STATUS_UNSUCCESSFUL or
 * STATUS_INSUFFICIENT_RESOURCES; on failure the previous descriptor and its
 * length stay as they were. PASSIVE_LEVEL, while the device is not started.
 */
NTSTATUS MIVO_usb_get_hid_desc(PDEVICE_EXTENSION dx)
{
    PUCHAR scratch;
    PUCHAR copy;
    PUCHAR previous;
    ULONG length = DEVICE_REPORT_DESCRIPTOR_SCRATCH;
    NTSTATUS status;

    PAGED_CODE();

    scratch = (PUCHAR)ExAllocatePool(NonPagedPoolNx, DEVICE_REPORT_DESCRIPTOR_SCRATCH);
    if (scratch == NULL) {
        MIVO_TRACE_LEAVE("BufDesc STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = MIVO_usb_get_control_transfer(dx, scratch, &length, SETUP_GET_REPORT_DESCRIPTOR);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(scratch, 0);
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
        return STATUS_UNSUCCESSFUL;
    }

    copy = (PUCHAR)ExAllocatePool(NonPagedPoolNx, length);
    if (copy == NULL) {
        ExFreePoolWithTag(scratch, 0);
        MIVO_TRACE_LEAVE("DeviceReportDescriptor STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, scratch, length);
    ExFreePoolWithTag(scratch, 0);

    // The HID class driver reads the served descriptor only while the device
    // is started, and a bring-up runs only while it is not, so nobody can be
    // reading the previous copy: the new one goes in whole, then the old one
    // goes. A restart whose read fails keeps serving the one it had.
    previous = dx->DeviceReportDescriptor;
    dx->DeviceReportDescriptor = copy;
    dx->DeviceReportDescriptorLength = (USHORT)length;
    if (previous != NULL)
        ExFreePoolWithTag(previous, 0);

    MIVO_TRACE_LINE("Report Space %d", (int)length);
    return STATUS_SUCCESS;
}

/*
 * MIVO_usb_release_descriptors - frees the last DeviceReportDescriptor at
 * removal. PASSIVE_LEVEL, once no request can read it.
 */
VOID MIVO_usb_release_descriptors(PDEVICE_EXTENSION dx)
{
    PAGED_CODE();

    if (dx->DeviceReportDescriptor != NULL)
        ExFreePoolWithTag(dx->DeviceReportDescriptor, 0);
    dx->DeviceReportDescriptor = NULL;
    dx->DeviceReportDescriptorLength = 0;
}

/*
 * MIVO_usb_abort_pipe - cancels every transfer pending on Pipe. Returns
 * STATUS_SUCCESS, STATUS_INVALID_HANDLE (a zero pipe: nothing sent),
 * STATUS_INSUFFICIENT_RESOURCES, the failing submission's status, or
 * STATUS_UNSUCCESSFUL when the bus driver refused the block. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_usb_abort_pipe(PDEVICE_EXTENSION dx, USBD_PIPE_HANDLE Pipe)
{
    PURB urb;
    NTSTATUS status;

    PAGED_CODE();

    if (Pipe == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INVALID_HANDLE");
        return STATUS_INVALID_HANDLE;
    }

    urb = (PURB)ExAllocatePool(NonPagedPoolNx, sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) {
        MIVO_TRACE_LEAVE("STATUS_INSUFFICIENT_RESOURCES");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = Pipe;

    status = MIVO_usb_submit_sync(dx, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, NULL);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status))
        status = STATUS_UNSUCCESSFUL;
    ExFreePoolWithTag(urb, 0);

    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x", (unsigned)status);
        return status;
    }
    return STATUS_SUCCESS;
}
