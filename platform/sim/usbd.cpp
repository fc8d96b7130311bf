// The USB driver interface library (usbdlib): finding an interface in a
// configuration descriptor and building the select-configuration request for
// a list of interfaces.
#include <cstring>

#include "platform/sim/internal.h"

namespace {

// 4096: what the library puts into every pipe's MaximumTransferSize.
constexpr ULONG kDefaultMaximumTransferSize = 4096;

// Bytes of one USBD_INTERFACE_INFORMATION with `pipes` pipe records; the
// record always has room for the first one.
size_t interface_size(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
}

} // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    auto *base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    PUCHAR end = base + ConfigurationDescriptor->wTotalLength;
    auto *p = static_cast<PUCHAR>(StartPosition);
    if (p < base || p >= end)
        return nullptr;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        // A zero length would never move on; the descriptor set ends there.
        if (common->bLength == 0 || p + common->bLength > end)
            break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
            if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
                return i;
        }
        p += common->bLength;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                            PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    const sim::internal::PoolSiteOfCaller site(__builtin_return_address(0));
    size_t count = 0;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (; InterfaceList[count].InterfaceDescriptor; ++count)
        size += interface_size(InterfaceList[count].InterfaceDescriptor->bNumEndpoints);
    if (count == 0)
        size += sizeof(USBD_INTERFACE_INFORMATION);

    // Untagged, like the driver's own blocks: the caller frees it as one of them.
    auto *urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
    if (!urb)
        return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto *info = &urb->UrbSelectConfiguration.Interface;
    for (size_t n = 0; n < count; ++n) {
        PUSB_INTERFACE_DESCRIPTOR d = InterfaceList[n].InterfaceDescriptor;
        info->Length = static_cast<USHORT>(interface_size(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        PUSBD_PIPE_INFORMATION pipes = info->Pipes; // runs past the declared [1], as the record is laid out
        for (ULONG k = 0; k < d->bNumEndpoints; ++k)
            pipes[k].MaximumTransferSize = kDefaultMaximumTransferSize;
        InterfaceList[n].Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    return urb;
}

} // extern "C"
