// USB transport: the device protocol, the synchronous transfers and the
// bring-up of the device.
#pragma once

#include "context/context.h"

// ---------------------------------------------------------------- device protocol
// Input reports on the interrupt-IN pipe: report ID, then six payload bytes.
#define DEVICE_REPORT_TRANSLATION 1 // translation X, Y, Z: three i16
#define DEVICE_REPORT_ROTATION 2    // rotation X, Y, Z: three i16
#define DEVICE_REPORT_BUTTONS 3     // button bitmap; the device's buttons are bits 0 and 1 of byte 1
#define DEVICE_REPORT_LENGTH 7

// Reports sent to the device with SET_REPORT on the default pipe.
#define DEVICE_REPORT_LED 4       // output: 04 01 on, 04 00 off
#define DEVICE_REPORT_INIT 6      // feature: 06 03
#define DEVICE_REPORT_CALIBRATE 7 // feature: 07 00
#define DEVICE_INIT_VALUE 0x03
#define DEVICE_CALIBRATE_VALUE 0x00

// HID class request SET_REPORT: host to device, class, interface.
#define USB_REQUEST_TYPE_CLASS_INTERFACE_OUT 0x21
#define USB_REQUEST_TYPE_STANDARD_INTERFACE_IN 0x81
#define HID_REQUEST_SET_REPORT 0x09
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define HID_REPORT_TYPE_OUTPUT 0x02
#define HID_REPORT_TYPE_FEATURE 0x03
#define HID_REPORT_DESCRIPTOR_TYPE 0x22
#define DEVICE_REPORT_DESCRIPTOR_MAX 266 // wLength of the report-descriptor request

// Internal request arguments.
#define USB_CONTROL_IN_FLAGS (USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN)  // 0x0B
#define USB_CONTROL_OUT_FLAGS (USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_OUT) // 0x0A
#define USB_INTERRUPT_IN_FLAGS (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN)                             // 0x03

// ---------------------------------------------------------------- transfers.cpp
// Every transfer is one synchronous internal request to dx->LowerDeviceObject.
NTSTATUS MIVO_usb_submit_sync(PDEVICE_EXTENSION dx, ULONG IoControlCode, PVOID Argument1, PVOID Argument2);
NTSTATUS MIVO_usb_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, USBD_PIPE_HANDLE PipeToCheck,
                                   ULONG TransferFlags, const UCHAR SetupPacket[8]);
NTSTATUS MIVO_usb_get_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, const UCHAR SetupPacket[8]);
NTSTATUS MIVO_usb_set_control_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, const UCHAR SetupPacket[8]);
NTSTATUS MIVO_usb_interrupt_transfer(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length, USBD_PIPE_HANDLE Pipe,
                                     ULONG TransferFlags);
NTSTATUS MIVO_usb_read_interrupt(PDEVICE_EXTENSION dx, PVOID Buffer, ULONG *Length);

// ---------------------------------------------------------------- bringup.cpp
// The USB side of a device start, step by step; MIVO_usb_start in the driver
// frame runs them in order and then starts the workers. PASSIVE_LEVEL: each
// waits for its transfers.
#define DEVICE_REPORT_DESCRIPTOR_SCRATCH 999
NTSTATUS MIVO_usb_reset(PDEVICE_EXTENSION dx);
NTSTATUS usb_get_port_status(PDEVICE_EXTENSION dx, ULONG *PortStatus);
NTSTATUS usb_reset_port(PDEVICE_EXTENSION dx);
NTSTATUS MIVO_usb_get_dev_desc(PDEVICE_EXTENSION dx);
// A whole configuration descriptor in a new non-paged buffer the caller frees
// (ExFreePoolWithTag, tag 0).
NTSTATUS MIVO_usb_get_conf_desc(PDEVICE_EXTENSION dx, PUSB_CONFIGURATION_DESCRIPTOR *Descriptor, ULONG *Length,
                                UCHAR Index);
NTSTATUS MIVO_usb_select_conf(PDEVICE_EXTENSION dx);
// Replaces DeviceReportDescriptor with the device's report descriptor as it
// sends it now; a failure keeps the previous one.
NTSTATUS MIVO_usb_get_hid_desc(PDEVICE_EXTENSION dx);
// Frees DeviceReportDescriptor and zeroes its length: at removal, once nothing
// can serve it any more.
VOID MIVO_usb_release_descriptors(PDEVICE_EXTENSION dx);
// Cancels the transfers pending on a pipe (URB_FUNCTION_ABORT_PIPE); what ends
// an interrupt read that a silent device would never complete.
NTSTATUS MIVO_usb_abort_pipe(PDEVICE_EXTENSION dx, USBD_PIPE_HANDLE Pipe);
