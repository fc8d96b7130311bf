// The real Windows kernel, through the mingw-w64 DDK headers.
#pragma once

// GCC reads the gs-relative load of KeGetCurrentThread (intrin-impl.h) as an
// access to a zero-sized object at the offset and warns once it is inlined;
// the read is the kernel's own current-thread pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h> // has no extern "C" guard of its own
#include <hidusage.h>
#include <hidclass.h>
}
#pragma GCC diagnostic pop

// mingw-w64 gives IOCTL_HID_GET_STRING .. IOCTL_HID_GET_REPORT_DESCRIPTOR as
// 0..5; the HID class driver sends the METHOD_NEITHER codes below.
#undef IOCTL_HID_GET_STRING
#undef IOCTL_HID_GET_DEVICE_ATTRIBUTES
#undef IOCTL_HID_GET_DEVICE_DESCRIPTOR
#undef IOCTL_HID_READ_REPORT
#undef IOCTL_HID_WRITE_REPORT
#undef IOCTL_HID_GET_REPORT_DESCRIPTOR
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_CTL_CODE(0) // 0x000B0003
#define IOCTL_HID_GET_REPORT_DESCRIPTOR HID_CTL_CODE(1) // 0x000B0007
#define IOCTL_HID_READ_REPORT HID_CTL_CODE(2)           // 0x000B000B
#define IOCTL_HID_WRITE_REPORT HID_CTL_CODE(3)          // 0x000B000F
#define IOCTL_HID_GET_STRING HID_CTL_CODE(4)            // 0x000B0013
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_CTL_CODE(9) // 0x000B0027
#ifndef IOCTL_HID_ACTIVATE_DEVICE
#define IOCTL_HID_ACTIVATE_DEVICE HID_CTL_CODE(7)
#define IOCTL_HID_DEACTIVATE_DEVICE HID_CTL_CODE(8)
#endif
#ifndef IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST
#define IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST HID_CTL_CODE(10)
#endif

#ifdef HID_DESCRIPTOR // usbprotocoldefs.h names the descriptor type so
#undef HID_DESCRIPTOR
#endif
