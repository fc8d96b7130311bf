// Device commands: the LED, initialisation and calibration reports, and the
// pass-through of every report the control application writes for the
// device. Each goes out as one HID SET_REPORT request on the default pipe.
#include "hid/hid.h"

#include "usb/usb.h"

// The LED's resting state as the control application last set it; one for the
// whole driver, off when it loads. Command 0x04 writes it; the start of the
// HID side and the LED feedback queue read it.
LONG volatile LedFlag = 0;

// SET_REPORT setup packet: bmRequestType, bRequest, wValue (report ID in the
// low byte, report type in the high byte), wIndex 0 (interface 0), wLength.
#define SETUP_WVALUE_REPORT_ID 2
#define SETUP_WVALUE_REPORT_TYPE 3
#define SETUP_WLENGTH_LOW 6
#define SETUP_WLENGTH_HIGH 7
#define SETUP_PACKET_LENGTH 8
#define DEVICE_COMMAND_LENGTH 2

/*
 * MIVO_nav_set_report - sends one report (byte 0 is its ID) to the device.
 * Report 4 (the LED) goes out as output report of 2 bytes, whatever length was
 * handed over (so its buffer holds at least 2); every other ID as a feature
 * report of *Length bytes.
 * *Length: bytes handed over in, bytes the transfer reported out.
 * Returns the status of the transfer (STATUS_INVALID_PARAMETER for an empty
 * report, which sends nothing). PASSIVE_LEVEL.
 */
NTSTATUS MIVO_nav_set_report(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length)
{
    // Built here, on this call's own stack: writers of the command channel,
    // the start and the LED queue may send reports at once, and each must go
    // out with its own report ID and length.
    UCHAR setup[SETUP_PACKET_LENGTH] = {USB_REQUEST_TYPE_CLASS_INTERFACE_OUT, HID_REQUEST_SET_REPORT, 0, 0, 0, 0, 0, 0};

    if (Report == NULL || *Length < 1) {
        // An empty report has no ID byte to read; the transfer refuses it
        // (after its handle check) without sending anything.
        return MIVO_usb_set_control_transfer(dx, Report, Length, setup);
    }

    if (Report[0] == DEVICE_REPORT_LED) {
        *Length = DEVICE_COMMAND_LENGTH;
        setup[SETUP_WVALUE_REPORT_TYPE] = HID_REPORT_TYPE_OUTPUT;
    } else {
        setup[SETUP_WVALUE_REPORT_TYPE] = HID_REPORT_TYPE_FEATURE;
    }
    setup[SETUP_WVALUE_REPORT_ID] = Report[0];

    // wLength states the real length of the data stage. The device's own
    // commands are 2 bytes, as is the LED report; a report passed through from
    // the control application (1 to 8 bytes) says its own length rather than a
    // fixed 2, so the device is never told one length and sent another.
    setup[SETUP_WLENGTH_LOW] = (UCHAR)(*Length & 0xFF);
    setup[SETUP_WLENGTH_HIGH] = (UCHAR)((*Length >> 8) & 0xFF);

    return MIVO_usb_set_control_transfer(dx, Report, Length, setup);
}

/*
 * MIVO_nav_led - switches the device's LED (output report 4: 04 01 / 04 00).
 * Returns the status of the transfer. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_nav_led(PDEVICE_EXTENSION dx, UCHAR On)
{
    UCHAR report[DEVICE_COMMAND_LENGTH] = {DEVICE_REPORT_LED, (UCHAR)(On ? 1 : 0)};
    ULONG length = sizeof(report);

    return MIVO_nav_set_report(dx, report, &length);
}

/*
 * MIVO_nav_init - initialises the device (feature report 6: 06 03).
 * Returns the status of the transfer. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_nav_init(PDEVICE_EXTENSION dx)
{
    UCHAR report[DEVICE_COMMAND_LENGTH] = {DEVICE_REPORT_INIT, DEVICE_INIT_VALUE};
    ULONG length = sizeof(report);

    return MIVO_nav_set_report(dx, report, &length);
}

/*
 * MIVO_nav_calibrate - asks the device to calibrate (feature report 7: 07 00).
 * Returns the status of the transfer. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_nav_calibrate(PDEVICE_EXTENSION dx)
{
    UCHAR report[DEVICE_COMMAND_LENGTH] = {DEVICE_REPORT_CALIBRATE, DEVICE_CALIBRATE_VALUE};
    ULONG length = sizeof(report);

    return MIVO_nav_set_report(dx, report, &length);
}
