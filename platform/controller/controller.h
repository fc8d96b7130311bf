// The virtual six-axis controller as a USB device sees it: its identity, its
// descriptors and what it answers on the default pipe. Kernel code (C-style
// C++17 over platform/kernel.h, no library) so that both the simulated
// kernel's virtual controller and the test bus driver that plays it in Wine
// serve the same device. Never part of mivo.sys.
#pragma once

#include "platform/kernel.h"

namespace controller {

// Identity (our own numbers).
constexpr USHORT kVendorId = 0xF055;
constexpr USHORT kProductId = 0x6A11;
constexpr USHORT kDeviceVersion = 0x0103;
// Endpoints: 0x81 interrupt IN carries reports 1 to 3; with more pipes come
// 0x02 interrupt OUT and 0x83 interrupt IN, which never sends anything.
constexpr UCHAR kReportEndpoint = 0x81;
constexpr USHORT kMaxPacket = 8;
// Every interrupt report is 7 bytes: the report ID and six of data.
constexpr ULONG kReportBytes = 7;
constexpr ULONG kMaxConfigurationBytes = 9 + 9 + 9 + 3 * 7;

// The HID report descriptor: translation (report 1) and rotation (report 2)
// as three signed 16-bit axes each, two buttons (report 3), the LED (output
// report 4) and two vendor feature reports (6 and 7).
extern const UCHAR kReportDescriptor[];
extern const ULONG kReportDescriptorBytes;

struct Shape {
    int pipes;             // endpoints in the interface, 0..3
    bool has_interface;    // false: a configuration without any interface (wTotalLength 9)
    USHORT vendor, product, version;
    ULONG report_descriptor_bytes; // the HID descriptor's wDescriptorLength
};
// The controller as it comes from the factory.
Shape StandardShape();

// Each writes its descriptor to `out` (room for 18, kMaxConfigurationBytes)
// and returns its length.
ULONG DeviceDescriptor(const Shape &shape, UCHAR *out);
ULONG ConfigurationDescriptor(const Shape &shape, UCHAR *out);
// String descriptors 0 (languages), 1 (manufacturer) and 2 (product); 0 for
// any other index. `out` has room for 64 bytes.
ULONG StringDescriptor(UCHAR index, UCHAR *out);

// What the device keeps between control transfers.
struct State {
    bool led;
    bool configured;
    ULONG led_writes; // SET_REPORTs of the LED taken, whatever their value
};

// Answers one control transfer on the default pipe the way the device does:
// GET_DESCRIPTOR (device, configuration, strings, the HID report descriptor
// of interface 0), SET_REPORT of the LED (output report 4) and of any feature
// report, SET_IDLE, SET_PROTOCOL and SET_CONFIGURATION; anything else stalls.
// `data` holds the data stage: for IN transfers the device writes at most
// *length bytes and sets *length to what it sent; for OUT transfers *length
// bytes are read. `report_descriptor` is what the device serves as its HID
// report descriptor.
USBD_STATUS Control(const UCHAR setup[8], UCHAR *data, ULONG *length, const Shape &shape,
                    const UCHAR *report_descriptor, State *state);

// The NTSTATUS a USB bus driver completes a request with, for the USBD status
// it leaves in the URB (the simulated bus and the test bus for Wine alike).
NTSTATUS BusStatus(USBD_STATUS usbd);

} // namespace controller
