// The report descriptor served to the HID class driver: the virtual device's
// own 381 bytes (joystick 0xF1, mouse 0xF4, keyboard 0xF2, consumer control
// 0xF3 with the command and status report 0xF0), followed unchanged by the
// descriptor the device returned at bring-up, which keeps its own report IDs.
// Neither half is ever parsed here.
#include "hid/hid.h"

#include "platform/trace.h"

// HID 1.11 short items. Logical ranges of the joystick axes are 0..720, a
// joystick axis being 360 + the bind's value; the mouse is relative, -127..127.
constexpr UCHAR VirtualReportDescriptor[VIRTUAL_REPORT_DESCRIPTOR_LENGTH] = {
    // ---------------------------------------------------------------- joystick
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x04,       // Usage (Joystick)
    0xA1, 0x01,       // Collection (Application)

    0x85, 0xF1,       //   Report ID (0xF1)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x01,       //   Usage (Pointer)
    0xA1, 0x00,       //   Collection (Physical)

    0x15, 0x00,       //     Logical Minimum (0)
    0x26, 0xD0, 0x02, //     Logical Maximum (720)
    0x75, 0x10,       //     Report Size (16)
    0x95, 0x02,       //     Report Count (2)
    0x05, 0x01,       //     Usage Page (Generic Desktop)
    0x09, 0x30,       //     Usage (X)
    0x09, 0x31,       //     Usage (Y)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)

    0xC0,             //   End Collection

    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xD0, 0x02, //   Logical Maximum (720)
    0x75, 0x10,       //   Report Size (16)
    0x95, 0x01,       //   Report Count (1)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x32,       //   Usage (Z)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x01,       //   Usage (Pointer)
    0xA1, 0x00,       //   Collection (Physical)

    0x15, 0x00,       //     Logical Minimum (0)
    0x26, 0xD0, 0x02, //     Logical Maximum (720)
    0x75, 0x10,       //     Report Size (16)
    0x95, 0x02,       //     Report Count (2)
    0x05, 0x01,       //     Usage Page (Generic Desktop)
    0x09, 0x33,       //     Usage (Rx)
    0x09, 0x34,       //     Usage (Ry)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)

    0xC0,             //   End Collection

    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xD0, 0x02, //   Logical Maximum (720)
    0x75, 0x10,       //   Report Size (16)
    0x95, 0x01,       //   Report Count (1)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x35,       //   Usage (Rz)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    0x75, 0x10,       //   Report Size (16)
    0x95, 0x01,       //   Report Count (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xD0, 0x02, //   Logical Maximum (720)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x36,       //   Usage (Slider)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    0x75, 0x10,       //   Report Size (16)
    0x95, 0x01,       //   Report Count (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xD0, 0x02, //   Logical Maximum (720)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x36,       //   Usage (Slider): the second one
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    // A hat value outside 0..7 is the null state: centred.
    0x75, 0x04,       //   Report Size (4)
    0x95, 0x01,       //   Report Count (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x07,       //   Logical Maximum (7)
    0x35, 0x00,       //   Physical Minimum (0)
    0x46, 0x3B, 0x01, //   Physical Maximum (315)
    0x65, 0x14,       //   Unit (English Rotation: degrees)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x39,       //   Usage (Hat switch)
    0x81, 0x42,       //   Input (Data, Variable, Absolute, Null State)

    0x75, 0x04,       //   Report Size (4)
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x01,       //   Input (Constant): the hat's upper nibble

    0x75, 0x01,       //   Report Size (1)
    0x95, 0x08,       //   Report Count (8)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x35, 0x00,       //   Physical Minimum (0)
    0x45, 0x01,       //   Physical Maximum (1)
    0x05, 0x09,       //   Usage Page (Button)
    0x19, 0x01,       //   Usage Minimum (1)
    0x29, 0x08,       //   Usage Maximum (8)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    0xC0,             // End Collection (joystick)

    // ---------------------------------------------------------------- mouse
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x02,       // Usage (Mouse)
    0xA1, 0x01,       // Collection (Application)

    0x85, 0xF4,       //   Report ID (0xF4)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x01,       //   Usage (Pointer)
    0xA1, 0x00,       //   Collection (Physical)

    0x15, 0x81,       //     Logical Minimum (-127)
    0x25, 0x7F,       //     Logical Maximum (127)
    0x35, 0x00,       //     Physical Minimum (0)
    0x45, 0x00,       //     Physical Maximum (0)
    0x75, 0x08,       //     Report Size (8)
    0x95, 0x02,       //     Report Count (2)
    0x05, 0x01,       //     Usage Page (Generic Desktop)
    0x09, 0x30,       //     Usage (X)
    0x09, 0x31,       //     Usage (Y)
    0x81, 0x06,       //     Input (Data, Variable, Relative)

    0xC0,             //   End Collection

    0x15, 0x81,       //   Logical Minimum (-127)
    0x25, 0x7F,       //   Logical Maximum (127)
    0x35, 0x00,       //   Physical Minimum (0)
    0x45, 0x00,       //   Physical Maximum (0)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x01,       //   Report Count (1)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x38,       //   Usage (Wheel)
    0x81, 0x06,       //   Input (Data, Variable, Relative)

    0x75, 0x01,       //   Report Size (1)
    0x95, 0x05,       //   Report Count (5)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x35, 0x00,       //   Physical Minimum (0)
    0x45, 0x01,       //   Physical Maximum (1)
    0x05, 0x09,       //   Usage Page (Button)
    0x19, 0x01,       //   Usage Minimum (1)
    0x29, 0x05,       //   Usage Maximum (5)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)

    0x75, 0x01,       //   Report Size (1)
    0x95, 0x03,       //   Report Count (3)
    0x81, 0x01,       //   Input (Constant): pads the buttons to a byte

    0xC0,             // End Collection (mouse)

    // ---------------------------------------------------------------- keyboard
    // No reserved byte and no LED output report: the keyboard only reports.
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x06,       // Usage (Keyboard)
    0xA1, 0x01,       // Collection (Application)

    0x85, 0xF2,       //   Report ID (0xF2)
    0x05, 0x07,       //   Usage Page (Keyboard/Keypad)
    0x19, 0xE0,       //   Usage Minimum (Left Control)
    0x29, 0xE7,       //   Usage Maximum (Right GUI)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x08,       //   Report Count (8)
    0x81, 0x02,       //   Input (Data, Variable, Absolute): the modifiers

    0x95, 0x06,       //   Report Count (6)
    0x75, 0x08,       //   Report Size (8)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x65,       //   Logical Maximum (101)
    0x05, 0x07,       //   Usage Page (Keyboard/Keypad)
    0x19, 0x00,       //   Usage Minimum (0x00)
    0x29, 0x65,       //   Usage Maximum (0x65)
    0x81, 0x00,       //   Input (Data, Array, Absolute): six keys

    0xC0,             // End Collection (keyboard)

    // ---------------------------------------------------------------- consumer control
    0x05, 0x0C,       // Usage Page (Consumer)
    0x09, 0x01,       // Usage (Consumer Control)
    0xA1, 0x01,       // Collection (Application)

    // Bit n of the report is the n-th usage, Mute in bit 0.
    0x85, 0xF3,       //   Report ID (0xF3)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x10,       //   Report Count (16)
    0x09, 0xE2,       //   Usage (Mute)
    0x09, 0xE9,       //   Usage (Volume Increment)
    0x09, 0xEA,       //   Usage (Volume Decrement)
    0x09, 0xCD,       //   Usage (Play/Pause)
    0x09, 0xB7,       //   Usage (Stop)
    0x09, 0xB6,       //   Usage (Scan Previous Track)
    0x09, 0xB5,       //   Usage (Scan Next Track)
    0x0A, 0x8A, 0x01, //   Usage (AL Email Reader)
    0x0A, 0x92, 0x01, //   Usage (AL Calculator)
    0x0A, 0x21, 0x02, //   Usage (AC Search)
    0x0A, 0x23, 0x02, //   Usage (AC Home)
    0x0A, 0x2A, 0x02, //   Usage (AC Bookmarks)
    0x0A, 0x27, 0x02, //   Usage (AC Refresh)
    0x0A, 0x26, 0x02, //   Usage (AC Stop)
    0x0A, 0x25, 0x02, //   Usage (AC Forward)
    0x0A, 0x24, 0x02, //   Usage (AC Back)
    0x81, 0x62,       //   Input (Data, Variable, Absolute, No Preferred, Null State)

    0xA1, 0x02,       //   Collection (Logical)

    // The control application's command report.
    0x85, 0xF0,       //     Report ID (0xF0)
    0x75, 0x08,       //     Report Size (8)
    0x95, 0x03,       //     Report Count (3)
    0x15, 0x00,       //     Logical Minimum (0)
    0x26, 0xFF, 0x00, //     Logical Maximum (255)
    0x06, 0x00, 0xFF, //     Usage Page (Vendor-defined 0xFF00)
    0x09, 0x01,       //     Usage (0x01)
    0x91, 0x02,       //     Output (Data, Variable, Absolute)

    0xC0,             //   End Collection

    0xA1, 0x02,       //   Collection (Logical)

    // The status report, under the same ID; its fields inherit the logical
    // range 0..255 from the command report's global items.
    0x85, 0xF0,       //     Report ID (0xF0)
    0x05, 0x01,       //     Usage Page (Generic Desktop)
    0x09, 0x3A,       //     Usage (Counted Buffer)
    0x75, 0x08,       //     Report Size (8)
    0x95, 0x03,       //     Report Count (3)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)

    0xC0,             //   End Collection

    0xC0,             // End Collection (consumer control)
};

// The declared bound pads a short table with zeros, so the size alone would
// not notice a missing row: the last byte must be the closing item.
static_assert(sizeof(VirtualReportDescriptor) == 381, "the virtual half of the descriptor is 381 bytes");
static_assert(VirtualReportDescriptor[VIRTUAL_REPORT_DESCRIPTOR_LENGTH - 1] == 0xC0 &&
                  VirtualReportDescriptor[VIRTUAL_REPORT_DESCRIPTOR_LENGTH - 2] == 0xC0,
              "the table ends by closing the 0xF0 status collection and the consumer control");

/*
 * MIVO_hid_get_rep_desc - copies the served report descriptor, the virtual
 * half and then the device's own, into Buffer.
 * *Length: the buffer's size in, ReportDescriptorLength out on success.
 * Returns STATUS_SUCCESS, or STATUS_BUFFER_TOO_SMALL with nothing copied and
 * *Length unchanged. Any thread of the HID class driver, IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_hid_get_rep_desc(PDEVICE_EXTENSION dx, PUCHAR Buffer, ULONG *Length)
{
    MIVO_TRACE_ENTER("%p, %p, %d, %d", (PVOID)dx, (PVOID)Buffer, (int)*Length, VIRTUAL_REPORT_DESCRIPTOR_LENGTH);

    // ReportDescriptorLength is what the HID descriptor announced; the copy
    // below writes the two halves whole. Both must fit, so a length not yet
    // fixed by a start can never let the copy run past the buffer.
    ULONG copied = VIRTUAL_REPORT_DESCRIPTOR_LENGTH + (ULONG)dx->DeviceReportDescriptorLength;
    if (*Length < dx->ReportDescriptorLength || *Length < copied) {
        MIVO_TRACE_LEAVE("STATUS_BUFFER_TOO_SMALL");
        return STATUS_BUFFER_TOO_SMALL;
    }

    RtlCopyMemory(Buffer, VirtualReportDescriptor, VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    if (dx->DeviceReportDescriptorLength != 0) {
        RtlCopyMemory(Buffer + VIRTUAL_REPORT_DESCRIPTOR_LENGTH, dx->DeviceReportDescriptor,
                      dx->DeviceReportDescriptorLength);
    }
    *Length = dx->ReportDescriptorLength;

    MIVO_TRACE_LEAVE("STATUS_SUCCESS: %u", (unsigned)*Length);
    return STATUS_SUCCESS;
}
