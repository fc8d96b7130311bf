// The device context's report state: reset values, the key-state table, the
// hand-over of device reports and the pending-report bits.
#include "context/context.h"

/*
 * MIVO_key_clear - release keys.
 * Clears Flags and Repeat of every KeyState entry that is not latched, or of
 * every entry when Force is 1; LastSent keeps the repeat rhythm and is left.
 * HID worker (mapping pass, selection).
 */
VOID MIVO_key_clear(PDEVICE_EXTENSION dx, UCHAR Force)
{
    // Entries outside KeysInUse are all zero already.
    for (ULONG k = MIVO_key_next(dx, 0); k < KEY_STATE_COUNT; k = MIVO_key_next(dx, k + 1)) {
        KEY_STATE *key = &dx->KeyState[k];
        if (Force == 1 || !(key->Flags & KEY_LATCH)) {
            key->Flags = 0;
            key->Repeat = 0;
        }
    }
}

/*
 * MIVO_report_state_reset - the reset values of a rebuild.
 * Puts the gesture, the pending bits, RawInput, every report image, the key
 * table and the mouse/wheel timing back to their state after InitState: every
 * report is due once, the joystick rests at the centre. HID worker.
 */
VOID MIVO_report_state_reset(PDEVICE_EXTENSION dx)
{
    dx->GestureActive = 0;
    dx->GestureLastEvent = 0;
    dx->GestureHoldStart = 0;
    dx->GestureTime = 1500;

    InterlockedExchange((LONG volatile *)&dx->PendingReports, PENDING_ALL);

    InterlockedExchange64(&dx->RawInputWord, 0);

    REPORT_STATE *rs = &dx->ReportState;
    RtlZeroMemory(rs, sizeof(*rs));
    rs->JoystickReport.ReportId = REPORT_ID_JOYSTICK;
    rs->KeyboardReport.ReportId = REPORT_ID_KEYBOARD;
    rs->ConsumerReport.ReportId = REPORT_ID_CONSUMER;
    rs->MouseReport.ReportId = REPORT_ID_MOUSE;
    rs->StatusReport.ReportId = REPORT_ID_STATUS;
    rs->RawTranslation.ReportId = REPORT_ID_RAW_TRANSLATION;
    rs->RawRotation.ReportId = REPORT_ID_RAW_ROTATION;
    rs->RawButtons.ReportId = REPORT_ID_RAW_BUTTONS;
    for (ULONG a = 0; a < 8; a++) {
        rs->JoystickReport.Axis[a] = JOYSTICK_AXIS_REST;
    }

    RtlZeroMemory(dx->KeyState, sizeof(dx->KeyState));
    // Every entry may be in use until a keyboard build has looked at it.
    for (ULONG w = 0; w < KEY_STATE_WORDS; w++) {
        dx->KeysInUse[w] = 0xFFFFFFFFu;
    }
    dx->KeysInUse[KEY_STATE_WORDS - 1] = 0xFFFFFFFFu >> (KEY_STATE_WORDS * 32 - KEY_STATE_COUNT);

    dx->NextMouseTime = 0;
    dx->LastWheelTime = 0;
    dx->WheelInterval = 0;
    dx->WheelStep = 0;
}

/*
 * MIVO_raw_input_store - publish one device report into RawInput.
 * Bytes beyond Length (and beyond 7) read as 0. One 64-bit exchange, so the
 * translation pass on the HID worker never sees half of two reports.
 * Any thread (the USB worker).
 */
VOID MIVO_raw_input_store(PDEVICE_EXTENSION dx, const UCHAR *Report, ULONG Length)
{
    ULONGLONG word = 0;
    if (Length > RAW_INPUT_LENGTH) {
        Length = RAW_INPUT_LENGTH;
    }
    for (ULONG i = 0; i < Length; i++) {
        word |= (ULONGLONG)Report[i] << (8 * i); // byte i of RawInput, little-endian
    }
    InterlockedExchange64(&dx->RawInputWord, (LONG64)word);
}

/*
 * MIVO_pending_set / MIVO_pending_clear - change PendingReports atomically.
 * The HID worker and the command channel's writing thread both change the
 * bits; an interlocked OR/AND keeps either side from losing the other's.
 */
VOID MIVO_pending_set(PDEVICE_EXTENSION dx, ULONG Bits)
{
    // Only the eight report bits exist; a stray higher bit would read as a
    // report that can never be delivered and so never cleared.
    InterlockedOr((LONG volatile *)&dx->PendingReports, (LONG)(Bits & PENDING_ALL));
}

VOID MIVO_pending_clear(PDEVICE_EXTENSION dx, ULONG Bits)
{
    InterlockedAnd((LONG volatile *)&dx->PendingReports, (LONG)~Bits);
}

ULONG MIVO_pending_get(PDEVICE_EXTENSION dx)
{
    return (ULONG)InterlockedCompareExchange((LONG volatile *)&dx->PendingReports, 0, 0);
}

/*
 * MIVO_device_state / MIVO_device_state_set - DeviceState, atomically.
 * PnP and power write it while dispatch routines and the workers read it.
 */
ULONG MIVO_device_state(PDEVICE_EXTENSION dx)
{
    return (ULONG)InterlockedCompareExchange(&dx->DeviceState, 0, 0);
}

VOID MIVO_device_state_set(PDEVICE_EXTENSION dx, ULONG State)
{
    InterlockedExchange(&dx->DeviceState, (LONG)State);
}

/*
 * MIVO_post_reload / MIVO_post_profil / MIVO_post_mode_config - the command
 * channel's requests. Each is one exchange into a field of its own; the HID
 * worker takes it before its next step. Any thread.
 */
VOID MIVO_post_reload(PDEVICE_EXTENSION dx)
{
    InterlockedExchange(&dx->ReloadRequested, 1);
}

VOID MIVO_post_profil(PDEVICE_EXTENSION dx, SHORT Id)
{
    InterlockedExchange(&dx->ProfilRequest, (LONG)(MIVO_REQUEST_PRESENT | (USHORT)Id));
}

VOID MIVO_post_mode_config(PDEVICE_EXTENSION dx, UCHAR On)
{
    InterlockedExchange(&dx->ModeConfigRequest, (LONG)(MIVO_REQUEST_PRESENT | (On ? 1 : 0)));
}

BOOLEAN MIVO_take_reload(PDEVICE_EXTENSION dx)
{
    return InterlockedExchange(&dx->ReloadRequested, 0) != 0;
}
