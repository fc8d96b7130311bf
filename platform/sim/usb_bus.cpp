// The simulated USB bus driver: the PDO of the virtual controller's port.
// It answers the internal USB requests (URBs, port status, port reset) the way
// the Windows hub and host-controller drivers do, with a USBD status in every
// URB header and the NTSTATUS that goes with it, and takes PnP and power
// requests as a PDO does.
#include <algorithm>
#include <cstring>

#include "platform/sim/internal.h"
#include "platform/sim/usb_internal.h"

namespace sim::usb {
namespace {

UsbDevice::Impl &device_of(PDEVICE_OBJECT pdo) { return **static_cast<UsbDevice::Impl **>(pdo->DeviceExtension); }

constexpr ULONG kMaximumTransferSize = 4096;

void record_urb(UsbDevice::Impl &d, PURB urb, USBD_STATUS status) {
    UrbSeen seen;
    seen.function = urb->UrbHeader.Function;
    seen.status = status;
    switch (seen.function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        seen.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        seen.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        seen.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        seen.pipe = urb->UrbPipeRequest.PipeHandle;
        break;
    default:
        break;
    }
    d.urbs.push_back(seen);
}

bool valid_pipe(const UsbDevice::Impl &d, USBD_PIPE_HANDLE h, uint8_t *endpoint) {
    if (!d.configured)
        return false;
    for (const USB_ENDPOINT_DESCRIPTOR &e : d.endpoints())
        if (pipe_handle(e.bEndpointAddress) == h) {
            *endpoint = e.bEndpointAddress;
            return true;
        }
    return false;
}

// What stops any transfer before it reaches the device. Called with `mu` held.
USBD_STATUS port_refusal(const UsbDevice::Impl &d) {
    if (!d.plugged)
        return USBD_STATUS_DEVICE_GONE;
    if (!d.enabled)
        return USBD_STATUS_DEV_NOT_RESPONDING;
    return USBD_STATUS_SUCCESS;
}

// URB_FUNCTION_CONTROL_TRANSFER and URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
// the latter a standard GET_DESCRIPTOR whose setup packet the bus builds.
USBD_STATUS control_transfer(UsbDevice::Impl &d, PURB urb, bool descriptor) {
    std::array<uint8_t, 8> setup{};
    ULONG *length;
    PVOID buffer;
    bool in;
    if (descriptor) {
        auto &r = urb->UrbControlDescriptorRequest;
        ULONG wanted = std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
        setup = {0x80, 0x06, r.Index, r.DescriptorType, uint8_t(r.LanguageId), uint8_t(r.LanguageId >> 8),
                 uint8_t(wanted), uint8_t(wanted >> 8)};
        length = &r.TransferBufferLength;
        buffer = r.TransferBuffer;
        in = true;
    } else {
        auto &r = urb->UrbControlTransfer;
        std::memcpy(setup.data(), r.SetupPacket, 8);
        length = &r.TransferBufferLength;
        buffer = r.TransferBuffer;
        in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (!(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) && r.PipeHandle != kUsbDefaultPipe)
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (in != ((setup[0] & 0x80) != 0))
            return USBD_STATUS_INVALID_PARAMETER;
    }
    if (*length && !buffer)
        return USBD_STATUS_INVALID_PARAMETER;
    if (USBD_STATUS refused = port_refusal(d)) {
        *length = 0;
        return refused;
    }
    std::vector<uint8_t> data;
    if (in)
        data.resize(*length);
    else
        data.assign(static_cast<PUCHAR>(buffer), static_cast<PUCHAR>(buffer) + *length);
    USBD_STATUS status = d.control(setup, data);
    if (in) {
        if (!data.empty())
            std::memcpy(buffer, data.data(), data.size());
        *length = ULONG(data.size());
    } else if (!USBD_SUCCESS(status)) {
        *length = 0;
    }
    // The default pipe's handle comes back in the block (the descriptor
    // request's Reserved field is the control transfer's PipeHandle).
    urb->UrbControlTransfer.PipeHandle = kUsbDefaultPipe;
    return status;
}

USBD_STATUS select_configuration(UsbDevice::Impl &d, PURB urb) {
    auto &sc = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
        return USBD_STATUS_INVALID_PARAMETER;
    if (USBD_STATUS refused = port_refusal(d))
        return refused;
    if (!sc.ConfigurationDescriptor) {
        d.configured = false;
        return USBD_STATUS_SUCCESS;
    }
    const auto *own = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(d.configuration_descriptor.data());
    if (sc.ConfigurationDescriptor->bConfigurationValue != own->bConfigurationValue)
        return USBD_STATUS_INVALID_PARAMETER;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints = d.endpoints();
    auto *info = &sc.Interface;
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    for (int n = 0; n < own->bNumInterfaces; ++n) {
        if (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) >
                end ||
            info->InterfaceNumber != 0 || info->AlternateSetting != 0)
            return USBD_STATUS_INVALID_PARAMETER;
        size_t needed = sizeof(USBD_INTERFACE_INFORMATION) +
                        (endpoints.size() > 1 ? endpoints.size() - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
        if (info->Length < needed || reinterpret_cast<PUCHAR>(info) + needed > end)
            return USBD_STATUS_INVALID_PARAMETER;
        info->Class = 0x03;
        info->SubClass = 0;
        info->Protocol = 0;
        info->InterfaceHandle = kInterfaceHandle;
        info->NumberOfPipes = ULONG(endpoints.size());
        PUSBD_PIPE_INFORMATION pipes = info->Pipes; // runs past the declared [1], as the record is laid out
        for (size_t k = 0; k < endpoints.size(); ++k) {
            const USB_ENDPOINT_DESCRIPTOR &e = endpoints[k];
            pipes[k].MaximumPacketSize = e.wMaxPacketSize;
            pipes[k].EndpointAddress = e.bEndpointAddress;
            pipes[k].Interval = e.bInterval;
            pipes[k].PipeType = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & 0x03);
            pipes[k].PipeHandle = pipe_handle(e.bEndpointAddress);
            pipes[k].MaximumTransferSize = kMaximumTransferSize;
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    std::array<uint8_t, 8> setup = {0x00, 0x09, own->bConfigurationValue, 0, 0, 0, 0, 0};
    std::vector<uint8_t> none;
    USBD_STATUS status = d.control(setup, none);
    if (USBD_SUCCESS(status)) {
        sc.ConfigurationHandle = kConfigurationHandle;
        d.halted = false; // SET_CONFIGURATION clears every endpoint's halt
    }
    return status;
}

// The interrupt (or bulk) transfer: at once when a report is waiting, else the
// IRP pends, cancellable, until one is pushed or the pipe is aborted.
NTSTATUS interrupt_transfer(UsbDevice::Impl &d, PIRP irp, PURB urb, std::unique_lock<std::mutex> &lk) {
    auto &r = urb->UrbBulkOrInterruptTransfer;
    uint8_t endpoint = 0;
    USBD_STATUS refused = USBD_STATUS_SUCCESS;
    if (!valid_pipe(d, r.PipeHandle, &endpoint))
        refused = d.plugged ? USBD_STATUS_INVALID_PIPE_HANDLE : USBD_STATUS_DEVICE_GONE;
    else if (!(endpoint & 0x80) || !(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) || !r.TransferBuffer ||
             r.TransferBufferLength == 0)
        refused = USBD_STATUS_INVALID_PARAMETER; // the device only ever sends on its interrupt pipes
    else if (!(refused = port_refusal(d)) && d.halted)
        refused = USBD_STATUS_STALL_PID;
    record_urb(d, urb, refused ? refused : USBD_STATUS_PENDING);
    if (refused) {
        r.TransferBufferLength = 0;
        lk.unlock();
        complete_urb(irp, refused);
        return nt_status(refused);
    }
    IoMarkIrpPending(irp);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT pdo, PIRP cancelled) {
        IoReleaseCancelSpinLock(cancelled->CancelIrql);
        UsbDevice::Impl &dev = device_of(pdo);
        {
            std::lock_guard g(dev.mu);
            std::erase_if(dev.pending, [&](const UsbDevice::Impl::PendingRead &p) { return p.irp == cancelled; });
        }
        complete_urb(cancelled, USBD_STATUS_CANCELED);
    });
    d.pending.push_back({irp, endpoint});
    // Cancelled before it was queued: take it back, unless the cancel routine has it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        d.pending.pop_back();
        lk.unlock();
        complete_urb(irp, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    lk.unlock();
    d.cv.notify_all();
    d.deliver();
    return STATUS_PENDING;
}

NTSTATUS submit_urb(UsbDevice::Impl &d, PIRP irp, PURB urb) {
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock lk(d.mu);
    USHORT function = urb->UrbHeader.Function;
    USHORT length = urb->UrbHeader.Length;
    USBD_STATUS status;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ? USBD_STATUS_INVALID_PARAMETER
                                                                          : control_transfer(d, urb, true);
        break;
    case URB_FUNCTION_CONTROL_TRANSFER:
        status = length != sizeof(struct _URB_CONTROL_TRANSFER) ? USBD_STATUS_INVALID_PARAMETER
                                                                : control_transfer(d, urb, false);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        status = select_configuration(d, urb);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            status = USBD_STATUS_INVALID_PARAMETER;
            break;
        }
        return interrupt_transfer(d, irp, urb, lk);
    case URB_FUNCTION_ABORT_PIPE: {
        uint8_t endpoint = 0;
        if (length != sizeof(struct _URB_PIPE_REQUEST))
            status = USBD_STATUS_INVALID_PARAMETER;
        else if (!d.plugged)
            status = USBD_STATUS_DEVICE_GONE;
        else if (!valid_pipe(d, urb->UrbPipeRequest.PipeHandle, &endpoint))
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        else
            status = USBD_STATUS_SUCCESS;
        record_urb(d, urb, status);
        lk.unlock();
        if (USBD_SUCCESS(status))
            d.fail_pending(USBD_STATUS_CANCELED, STATUS_CANCELLED, endpoint);
        complete_urb(irp, status);
        return nt_status(status);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        uint8_t endpoint = 0;
        status = !d.plugged ? USBD_STATUS_DEVICE_GONE
                 : valid_pipe(d, urb->UrbPipeRequest.PipeHandle, &endpoint) ? USBD_STATUS_SUCCESS
                                                                            : USBD_STATUS_INVALID_PIPE_HANDLE;
        if (USBD_SUCCESS(status) && (endpoint & 0x80))
            d.halted = false;
        break;
    }
    default:
        status = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
    record_urb(d, urb, status);
    lk.unlock();
    complete_urb(irp, status);
    return nt_status(status);
}

NTSTATUS complete_with(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI dispatch_internal(PDEVICE_OBJECT pdo, PIRP irp) {
    UsbDevice::Impl &d = device_of(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return submit_urb(d, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *out = static_cast<PULONG>(sp->Parameters.Others.Argument1);
        if (!out)
            return complete_with(irp, STATUS_INVALID_PARAMETER);
        {
            std::lock_guard g(d.mu);
            d.status_queries++;
            *out = (d.plugged ? USBD_PORT_CONNECTED : 0) | (d.plugged && d.enabled ? USBD_PORT_ENABLED : 0);
        }
        return complete_with(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        bool plugged;
        {
            std::lock_guard g(d.mu);
            d.resets++;
            plugged = d.plugged;
            if (plugged && !d.reset_keeps_disabled)
                d.enabled = true;
        }
        if (!plugged)
            return complete_with(irp, STATUS_DEVICE_NOT_CONNECTED);
        // A reset ends whatever transfer was under way; the configuration is restored.
        d.fail_pending(USBD_STATUS_CANCELED, STATUS_CANCELLED);
        return complete_with(irp, STATUS_SUCCESS);
    }
    default:
        return complete_with(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        caps->DeviceWake = PowerDeviceD2;
        caps->SystemWake = PowerSystemSleeping3;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        // A PDO leaves a request it does not handle as it came.
        status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    return complete_with(irp, status);
}

NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)
        return complete_with(irp, STATUS_SUCCESS);
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI dispatch_pass(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

void init_bus_driver(PDRIVER_OBJECT driver) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass;
}

NTSTATUS nt_status(USBD_STATUS usbd) { return controller::BusStatus(usbd); }

void complete_urb(PIRP irp, USBD_STATUS usbd) {
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usbd;
    if (!USBD_SUCCESS(usbd) && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    // The host controller's driver completes transfers from its DPC: the
    // completion routines above run at DISPATCH_LEVEL, and whatever they do
    // that needs PASSIVE_LEVEL is reported here as it would fail there.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    complete_with(irp, nt_status(usbd));
    KeLowerIrql(irql);
}

void complete_read(PIRP irp, const std::vector<uint8_t> &report) {
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto &r = urb->UrbBulkOrInterruptTransfer;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (report.size() > r.TransferBufferLength) {
        status = USBD_STATUS_BUFFER_OVERRUN; // the device sent more than the buffer takes
    } else if (report.size() < r.TransferBufferLength && !(r.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
    if (USBD_SUCCESS(status)) {
        if (!report.empty())
            std::memcpy(r.TransferBuffer, report.data(), report.size());
        r.TransferBufferLength = ULONG(report.size());
    }
    complete_urb(irp, status);
}

USBD_PIPE_HANDLE pipe_handle(uint8_t endpoint_address) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x5100 + endpoint_address));
}

} // namespace sim::usb
