// The command channel: report 0xF0 written by the control application, and
// the pass-through to the device of every other report it writes.
//
// A write runs on the thread of the write request while the HID worker owns
// the profile state, the key table and the LED queue. So the commands that
// would touch those (reload, profile, configuration mode) only post what they
// ask, each with one Interlocked exchange, and the worker carries it out at
// its next pass (MIVO_take_reload, MIVO_take_commands). A write does not wake
// the worker: it passes at least every 10 ms anyway.
#include "hid/hid.h"
#include "platform/trace.h"

/*
 * MIVO_hid_write_rep - carry out one written report.
 * Report 0xF0 is a command (byte 1); any other report ID goes to the device
 * unchanged through MIVO_nav_set_report. *Length: bytes handed over in (more
 * than 8 count as 8), bytes written out. ReportId is not consulted: byte 0 is
 * the report ID. Returns the status of the device transfer for the LED, init
 * and calibrate commands and for passed-through reports, STATUS_SUCCESS for
 * every other command, unknown ones included.
 * The thread of a write request, PASSIVE_LEVEL; concurrently with the HID
 * worker, which is why it posts rather than acts.
 */
NTSTATUS MIVO_hid_write_rep(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length, UCHAR ReportId)
{
    UCHAR work[COMMAND_WORK_LENGTH];
    NTSTATUS status = STATUS_SUCCESS;
    UCHAR on;

    UNREFERENCED_PARAMETER(ReportId);

    if (Report == NULL) {
        // No bytes, whatever length came with them: an empty write, not a
        // report of zeros for the device.
        *Length = 0;
    }
    if (*Length > COMMAND_WORK_LENGTH) {
        *Length = COMMAND_WORK_LENGTH;
    }
    RtlZeroMemory(work, sizeof(work));
    if (Report != NULL) {
        RtlCopyMemory(work, Report, *Length);
    }

    MIVO_TRACE_LINE("report_id 0x%x 0x%x", (unsigned)work[0], (unsigned)work[COMMAND_BYTE_CODE]);

    // An empty write reads as report ID 0 and goes to the device like any
    // other, which refuses it.
    if (work[0] != REPORT_ID_STATUS) {
        return MIVO_nav_set_report(dx, work, Length);
    }

    on = (UCHAR)(work[COMMAND_BYTE_PARAM] != 0);

    switch (work[COMMAND_BYTE_CODE]) {
    case CMD_INPUT_CHANGED:
        MIVO_TRACE_LINE("hid_input_changed");
        // The worker clears bits as reads take them: an interlocked OR keeps
        // either side from losing the other's change.
        MIVO_pending_set(dx, COMMAND_RESEND_BITS);
        break;

    case CMD_RESET_INPUT:
        MIVO_TRACE_LINE("Reset_Input");
        MIVO_post_reload(dx);
        break;

    case CMD_NAV_LED:
        MIVO_TRACE_LINE("MIVO_nav_led");
        // The resting state changes even when the transfer below fails: the
        // LED queue returns the LED to it at the end of its next pattern.
        InterlockedExchange(&LedFlag, on);
        status = MIVO_nav_led(dx, on);
        break;

    case CMD_NAV_INIT:
        MIVO_TRACE_LINE("MIVO_nav_init");
        status = MIVO_nav_init(dx);
        break;

    case CMD_NAV_CALIBRATE:
        MIVO_TRACE_LINE("MIVO_nav_calibrate");
        status = MIVO_nav_calibrate(dx);
        break;

    case CMD_PROFIL_NUM: {
        SHORT id = (SHORT)(USHORT)(work[COMMAND_BYTE_PROFIL] | (work[COMMAND_BYTE_PROFIL + 1] << 8));
        MIVO_TRACE_LINE("Profil Num : %d", (int)id);
        MIVO_post_profil(dx, id);
        break;
    }

    case CMD_MODE_CONFIG:
        MIVO_TRACE_LINE("ModeConfig  : %d", (int)work[COMMAND_BYTE_PARAM]);
        // The worker starts the end-of-configuration pattern when it takes
        // "off".
        MIVO_post_mode_config(dx, on);
        break;

    default:
        MIVO_TRACE_LINE("unknown write command: 0x%x", (unsigned)work[COMMAND_BYTE_CODE]);
        break;
    }

    return status;
}
