// The virtual six-axis controller's descriptors and default-pipe answers.
#include "platform/controller/controller.h"

namespace controller {

const UCHAR kReportDescriptor[] = {
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x08,       // Usage (Multi-axis Controller)
    0xA1, 0x01,       // Collection (Application)
    0xA1, 0x00,       //   Collection (Physical)
    0x85, 0x01,       //     Report ID (1): translation
    0x16, 0x0C, 0xFE, //     Logical Minimum (-500)
    0x26, 0xF4, 0x01, //     Logical Maximum (500)
    0x09, 0x30,       //     Usage (X)
    0x09, 0x31,       //     Usage (Y)
    0x09, 0x32,       //     Usage (Z)
    0x75, 0x10,       //     Report Size (16)
    0x95, 0x03,       //     Report Count (3)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)
    0xC0,             //   End Collection
    0xA1, 0x00,       //   Collection (Physical)
    0x85, 0x02,       //     Report ID (2): rotation
    0x09, 0x33,       //     Usage (Rx)
    0x09, 0x34,       //     Usage (Ry)
    0x09, 0x35,       //     Usage (Rz)
    0x81, 0x02,       //     Input (Data, Variable, Absolute): same size, count and range
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x85, 0x03,       //     Report ID (3): buttons
    0x05, 0x09,       //     Usage Page (Button)
    0x19, 0x01,       //     Usage Minimum (Button 1)
    0x29, 0x02,       //     Usage Maximum (Button 2)
    0x15, 0x00,       //     Logical Minimum (0)
    0x25, 0x01,       //     Logical Maximum (1)
    0x75, 0x01,       //     Report Size (1)
    0x95, 0x02,       //     Report Count (2)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)
    0x95, 0x2E,       //     Report Count (46)
    0x81, 0x03,       //     Input (Constant, Variable, Absolute): padding to six bytes, as long
                      //     as the axis reports, since every interrupt report is 7 bytes
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x85, 0x04,       //     Report ID (4): LED
    0x05, 0x08,       //     Usage Page (LEDs)
    0x09, 0x4B,       //     Usage (Generic Indicator)
    0x95, 0x01,       //     Report Count (1)
    0x91, 0x02,       //     Output (Data, Variable, Absolute)
    0x95, 0x07,       //     Report Count (7)
    0x91, 0x03,       //     Output (Constant, Variable, Absolute): padding to a byte
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x06, 0x00, 0xFF, //     Usage Page (Vendor Defined 0xFF00)
    0x26, 0xFF, 0x00, //     Logical Maximum (255)
    0x75, 0x08,       //     Report Size (8)
    0x95, 0x01,       //     Report Count (1)
    0x85, 0x06,       //     Report ID (6): initialisation
    0x09, 0x01,       //     Usage (Vendor 1)
    0xB1, 0x02,       //     Feature (Data, Variable, Absolute)
    0x85, 0x07,       //     Report ID (7): calibration
    0x09, 0x02,       //     Usage (Vendor 2)
    0xB1, 0x02,       //     Feature (Data, Variable, Absolute)
    0xC0,             //   End Collection
    0xC0,             // End Collection
};
const ULONG kReportDescriptorBytes = sizeof kReportDescriptor;

namespace {

constexpr UCHAR kDeviceType = 0x01, kConfigurationType = 0x02, kStringType = 0x03, kInterfaceType = 0x04,
                kEndpointType = 0x05, kHidType = 0x21, kReportType = 0x22;

void Put16(UCHAR *p, USHORT x) {
    p[0] = UCHAR(x);
    p[1] = UCHAR(x >> 8);
}

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

void Copy(UCHAR *to, const UCHAR *from, ULONG n) {
    for (ULONG i = 0; i < n; ++i)
        to[i] = from[i];
}

} // namespace

Shape StandardShape() { return Shape{1, true, kVendorId, kProductId, kDeviceVersion, kReportDescriptorBytes}; }

ULONG DeviceDescriptor(const Shape &shape, UCHAR *d) {
    const UCHAR head[] = {18, kDeviceType, 0x00, 0x02, // bcdUSB 2.0
                          0x00, 0x00, 0x00, 8};        // class per interface, bMaxPacketSize0 8
    Copy(d, head, sizeof head);
    Put16(d + 8, shape.vendor);
    Put16(d + 10, shape.product);
    Put16(d + 12, shape.version);
    const UCHAR tail[] = {1, 2, 0, 1}; // manufacturer and product strings, no serial, one configuration
    Copy(d + 14, tail, sizeof tail);
    return 18;
}

ULONG ConfigurationDescriptor(const Shape &shape, UCHAR *d) {
    const UCHAR head[] = {9, kConfigurationType, 0, 0, UCHAR(shape.has_interface ? 1 : 0), 1, 0,
                          0xA0, 50}; // bus powered, remote wake-up, 100 mA
    Copy(d, head, sizeof head);
    ULONG n = sizeof head;
    if (shape.has_interface) {
        int pipes = shape.pipes < 0 ? 0 : shape.pipes > 3 ? 3 : shape.pipes;
        // Interface 0: HID, no boot subclass, no protocol.
        const UCHAR iface[] = {9, kInterfaceType, 0, 0, UCHAR(pipes), 0x03, 0x00, 0x00, 0};
        Copy(d + n, iface, sizeof iface);
        n += sizeof iface;
        // HID class descriptor: HID 1.11, one report descriptor.
        const UCHAR hid[] = {9, kHidType, 0x11, 0x01, 0x00, 1, kReportType};
        Copy(d + n, hid, sizeof hid);
        n += sizeof hid;
        Put16(d + n, USHORT(shape.report_descriptor_bytes));
        n += 2;
        const UCHAR endpoints[3][2] = {{kReportEndpoint, 8}, {0x02, 8}, {0x83, 16}};
        for (int i = 0; i < pipes; ++i) {
            const UCHAR e[] = {7, kEndpointType, endpoints[i][0], 0x03};
            Copy(d + n, e, sizeof e);
            Put16(d + n + 4, kMaxPacket);
            d[n + 6] = endpoints[i][1]; // bInterval, ms
            n += 7;
        }
    }
    Put16(d + 2, USHORT(n));
    return n;
}

ULONG StringDescriptor(UCHAR index, UCHAR *d) {
    const char *text = index == 1 ? "mivo" : index == 2 ? "Virtual six-axis controller" : nullptr;
    if (index == 0) {
        const UCHAR languages[] = {4, kStringType, 0x09, 0x04}; // English (United States)
        Copy(d, languages, sizeof languages);
        return sizeof languages;
    }
    if (!text)
        return 0;
    ULONG n = 2;
    for (const char *c = text; *c; ++c, n += 2)
        Put16(d + n, USHORT(UCHAR(*c)));
    d[0] = UCHAR(n);
    d[1] = kStringType;
    return n;
}

USBD_STATUS Control(const UCHAR setup[8], UCHAR *data, ULONG *length, const Shape &shape,
                    const UCHAR *report_descriptor, State *state) {
    bool in = setup[0] & 0x80;
    USHORT value = USHORT(setup[2] | setup[3] << 8);
    USHORT wanted = USHORT(setup[6] | setup[7] << 8);
    if (in && setup[1] == 0x06) { // GET_DESCRIPTOR
        UCHAR type = UCHAR(value >> 8), index = UCHAR(value);
        UCHAR scratch[kMaxConfigurationBytes > 64 ? kMaxConfigurationBytes : 64];
        const UCHAR *src = scratch;
        ULONG size = 0;
        if (setup[0] == 0x80 && type == kDeviceType && index == 0)
            size = DeviceDescriptor(shape, scratch);
        else if (setup[0] == 0x80 && type == kConfigurationType && index == 0)
            size = ConfigurationDescriptor(shape, scratch);
        else if (setup[0] == 0x80 && type == kStringType)
            size = StringDescriptor(index, scratch);
        else if (setup[0] == 0x81 && type == kReportType && setup[4] == 0 && shape.has_interface) {
            src = report_descriptor;
            size = shape.report_descriptor_bytes;
        }
        if (size == 0) {
            *length = 0;
            return USBD_STATUS_STALL_PID;
        }
        ULONG n = Min(Min(wanted, *length), size);
        Copy(data, src, n);
        *length = n;
        return USBD_STATUS_SUCCESS;
    }
    if (!in && setup[0] == 0x21 && setup[1] == 0x09) { // SET_REPORT
        UCHAR type = UCHAR(value >> 8), id = UCHAR(value);
        if (*length == 0 || data[0] != id || (type != 2 && type != 3))
            return USBD_STATUS_STALL_PID;
        if (type == 2 && id != 4)
            return USBD_STATUS_STALL_PID; // report 4 is the only output report
        if (type == 2) {
            state->led = *length >= 2 && data[1] != 0;
            state->led_writes++;
        }
        // Feature reports are taken whatever their ID: the device ignores the unknown ones.
        return USBD_STATUS_SUCCESS;
    }
    if (!in && setup[0] == 0x21 && (setup[1] == 0x0A || setup[1] == 0x0B))
        return USBD_STATUS_SUCCESS; // SET_IDLE, SET_PROTOCOL
    if (setup[0] == 0x00 && setup[1] == 0x09) {
        state->configured = value != 0; // SET_CONFIGURATION
        return USBD_STATUS_SUCCESS;
    }
    if (in)
        *length = 0;
    return USBD_STATUS_STALL_PID;
}

NTSTATUS BusStatus(USBD_STATUS usbd) {
    switch (usbd) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_PENDING:
        return STATUS_PENDING;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return STATUS_INVALID_HANDLE;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

} // namespace controller
