// The HID worker's step: one translation pass, the LED queue's tick, the
// decision which reports are due, and the hand-out of one due report per read.
#include "core/core.h"
#include "context/frame.h"
#include "platform/trace.h"

// Delivery order of the pending reports: the status first, then the device's
// own reports, then the virtual device's; the relative mouse report last.
typedef struct _REPORT_SLOT {
    ULONG Bit;
    ULONG Offset; // of the image in REPORT_STATE
    ULONG Size;
} REPORT_SLOT;

static const REPORT_SLOT ReportOrder[] = {
    {PENDING_STATUS, offsetof(REPORT_STATE, StatusReport), sizeof(STATUS_REPORT)},
    {PENDING_RAW_TRANSLATION, offsetof(REPORT_STATE, RawTranslation), sizeof(RAW_REPORT)},
    {PENDING_RAW_ROTATION, offsetof(REPORT_STATE, RawRotation), sizeof(RAW_REPORT)},
    {PENDING_RAW_BUTTONS, offsetof(REPORT_STATE, RawButtons), sizeof(RAW_REPORT)},
    {PENDING_JOYSTICK, offsetof(REPORT_STATE, JoystickReport), sizeof(JOYSTICK_REPORT)},
    {PENDING_KEYBOARD, offsetof(REPORT_STATE, KeyboardReport), sizeof(KEYBOARD_REPORT)},
    {PENDING_CONSUMER, offsetof(REPORT_STATE, ConsumerReport), sizeof(CONSUMER_REPORT)},
    {PENDING_MOUSE, offsetof(REPORT_STATE, MouseReport), sizeof(MOUSE_REPORT)},
};

#define ARRAY_COUNT(a) (sizeof(a) / sizeof((a)[0]))
#define MOUSE_INTERVAL_MS 10

/*
 * MIVO_status_update - fill the status report.
 * Marks that a pass has run since the rebuild and names the active profile
 * (-1 when there is none). HID worker.
 */
VOID MIVO_status_update(PDEVICE_EXTENSION dx)
{
    PROFIL *profil = dx->CurrentProfil;
    dx->ReportState.StatusReport.Running = 1;
    dx->ReportState.StatusReport.Profil_Id = profil != NULL ? profil->Profil_Id : (SHORT)BASE_PROFIL_ID;
}

/*
 * MIVO_translate - one translation pass.
 * The raw images and the status report always follow the device; the
 * mapping and the keyboard build run unless the gesture or the configuration
 * mode holds them back, in which case the output images keep what they had.
 * HID worker.
 */
VOID MIVO_translate(PDEVICE_EXTENSION dx)
{
    MIVO_raw_decode(dx);

    BOOLEAN suppressed = MIVO_profil_gesture(dx);

    if (!suppressed && dx->ModeConfig == 0) {
        if (dx->CurrentProfil != NULL) {
            MIVO_map_binds(dx);
        }
        // Without a profile the key table still drains: latched keys stay,
        // repeat timing goes on.
        MIVO_keyboard_build(dx);
    }

    MIVO_status_update(dx);
}

/*
 * MIVO_take_commands - carry out what the command channel posted since the
 * last step. The writer only posts, so selection, the key table and the LED
 * queue stay the HID worker's alone. HID worker, first thing in a step.
 *
 * What is taken, and how that differs from a writer that acted at once:
 * - Each kind is one slot. A later request of the same kind replaces one not
 *   yet taken: of two profile numbers written between passes only the last
 *   is searched (the first leaves no trace line and no LED pattern), and an
 *   "off" then "on" of the configuration mode is just "on" - the mode never
 *   ends, so the end pattern is not shown and mapping stays held, where a
 *   writer acting at once would have flashed the end pattern under it.
 * - The mode is taken before the profile, whichever was written first. The
 *   selection pattern is a one-off acknowledgement while the configuration
 *   pattern starts again by itself whenever the queue runs empty, so when both
 *   come in one interval the selection pattern, started last, is the one that
 *   shows - also where an "off" written after the profile would, on a writer
 *   acting at once, have replaced it with the end pattern.
 * - A reload is taken before the step (MIVO_take_reload), so a profile asked
 *   for in the same interval is searched in the rebuilt list: the profile
 *   wins over the one the rebuild kept, and its selection pattern replaces the
 *   reload pattern.
 * - What a write asks shows at the next pass, at most 10 ms later; a write
 *   does not wake the worker.
 */
VOID MIVO_take_commands(PDEVICE_EXTENSION dx)
{
    LONG mode = InterlockedExchange(&dx->ModeConfigRequest, 0);
    if (mode & MIVO_REQUEST_PRESENT) {
        dx->ModeConfig = (UCHAR)(mode & 1);
        // "Off" shows the end pattern even when the mode was already off: the
        // control application sees its command acknowledged on the device.
        if (dx->ModeConfig == 0) {
            MIVO_Led_Show_Config_End(dx);
        }
    }

    LONG profil = InterlockedExchange(&dx->ProfilRequest, 0);
    if (profil & MIVO_REQUEST_PRESENT) {
        dx->CurrentProfil = MIVO_Select_Profil(dx, (SHORT)(USHORT)(profil & 0xFFFF));
    }
}

/*
 * MIVO_hid_step - one step of the HID worker.
 * Runs a translation pass and the LED queue, marks every image that the pass
 * changed as pending, makes the mouse report pending every 10 ms while it
 * carries movement or a due wheel step, and hands pending reports to queued
 * reads. Allocates nothing itself. HID worker only.
 */
VOID MIVO_hid_step(PDEVICE_EXTENSION dx)
{
    MIVO_take_commands(dx);

    REPORT_STATE snapshot;
    RtlCopyMemory(&snapshot, &dx->ReportState, sizeof(snapshot));

    MIVO_translate(dx);

    // While the configuration mode lasts its LED pattern starts again each
    // time it has run out.
    if (dx->ModeConfig != 0 && dx->LedQueue == NULL) {
        MIVO_Led_Show_Config(dx);
    }
    if (dx->LedQueue != NULL) {
        MIVO_Led_Queue_Run(dx);
    }

    ULONG changes = 0;
    const UCHAR *before = (const UCHAR *)&snapshot;
    const UCHAR *after = (const UCHAR *)&dx->ReportState;
    for (ULONG i = 0; i < ARRAY_COUNT(ReportOrder); i++) {
        const REPORT_SLOT *image = &ReportOrder[i];
        // The mouse, whose values are relative, has its own schedule below.
        if (image->Bit != PENDING_MOUSE && !RtlEqualMemory(before + image->Offset, after + image->Offset, image->Size)) {
            changes |= image->Bit;
        }
    }

    ULONGLONG now = KeQueryInterruptTime();
    MOUSE_REPORT *mouse = &dx->ReportState.MouseReport;

    // A zero or negative interval is due at once: every mouse report carries
    // the step.
    LONGLONG wheel_due = (LONGLONG)dx->LastWheelTime + dx->WheelInterval * (LONGLONG)MS_TO_INTERRUPT_TIME;
    mouse->Wheel = (LONGLONG)now >= wheel_due ? dx->WheelStep : 0;

    // A button change alone goes out with the next report that movement or a
    // later button change brings when it falls before NextMouseTime: the next
    // step's snapshot already holds it.
    BOOLEAN at_rest = mouse->X == 0 && mouse->Y == 0 && mouse->Wheel == 0 &&
                      mouse->Buttons == snapshot.MouseReport.Buttons;
    if (!at_rest && now >= dx->NextMouseTime) {
        changes |= PENDING_MOUSE;
        dx->NextMouseTime = now + MOUSE_INTERVAL_MS * MS_TO_INTERRUPT_TIME;
        if (mouse->Wheel != 0) {
            dx->LastWheelTime = now;
        }
    }

    if (changes != 0) {
        MIVO_pending_set(dx, changes);
    }
    if (MIVO_pending_get(dx) != 0) {
        MIVO_complete_pending_reads(dx);
    }
}

/*
 * MIVO_hid_read_rep - hand the first pending report to one read.
 * Copies the report's current image (not the step's snapshot) and clears its
 * pending bit. Returns STATUS_SUCCESS with Length set to the report's size,
 * STATUS_BUFFER_TOO_SMALL (the report stays pending) or STATUS_UNSUCCESSFUL
 * when nothing is pending. HID worker (completion of queued reads).
 */
NTSTATUS MIVO_hid_read_rep(PDEVICE_EXTENSION dx, PUCHAR Buffer, ULONG *Length)
{
    // One read of the bits: the command channel may add to them meanwhile,
    // which only makes more due for the next read.
    ULONG pending = MIVO_pending_get(dx);
    const REPORT_SLOT *report = NULL;

    for (ULONG i = 0; i < ARRAY_COUNT(ReportOrder); i++) {
        if (pending & ReportOrder[i].Bit) {
            report = &ReportOrder[i];
            break;
        }
    }

    if (report == NULL) {
        MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL: not changed: %x", pending);
        return STATUS_UNSUCCESSFUL;
    }

    if (*Length < report->Size) {
        MIVO_TRACE_LEAVE("STATUS_BUFFER_TOO_SMALL: %d", *Length);
        return STATUS_BUFFER_TOO_SMALL;
    }

    RtlCopyMemory(Buffer, (const UCHAR *)&dx->ReportState + report->Offset, report->Size);
    *Length = report->Size;
    MIVO_pending_clear(dx, report->Bit);
    return STATUS_SUCCESS;
}
