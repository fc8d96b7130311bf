// The HID minidriver interface (hidport.h of the Windows driver kit), which the
// mingw-w64 headers lack. Declared here from the public documentation for both
// kernels; the size checks hold the x64 layouts the HID class driver expects.
#pragma once

#ifndef HID_REVISION
#define HID_REVISION 0x00000001
#endif

typedef struct _HID_MINIDRIVER_REGISTRATION {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION, *PHID_MINIDRIVER_REGISTRATION;

// The HID class driver's extension of the device objects it creates for a
// minidriver; MiniDeviceExtension is the minidriver's own part.
typedef struct _HID_DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION, *PHID_DEVICE_EXTENSION;

#pragma pack(push, 1)
typedef struct _HID_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    struct _HID_DESCRIPTOR_DESC_LIST {
        UCHAR bReportType;
        USHORT wReportLength;
    } DescriptorList[1];
} HID_DESCRIPTOR, *PHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct _HID_DEVICE_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES, *PHID_DEVICE_ATTRIBUTES;

static_assert(sizeof(HID_MINIDRIVER_REGISTRATION) == 32, "HID_MINIDRIVER_REGISTRATION is 32 bytes on x64");
static_assert(sizeof(HID_DEVICE_EXTENSION) == 24, "HID_DEVICE_EXTENSION is 24 bytes on x64");
static_assert(sizeof(HID_DESCRIPTOR) == 9, "HID_DESCRIPTOR is the 9-byte HID class descriptor");
static_assert(sizeof(HID_DEVICE_ATTRIBUTES) == 32, "HID_DEVICE_ATTRIBUTES is 32 bytes");

extern "C" NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION MinidriverRegistration);
