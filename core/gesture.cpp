// The profile switch gesture: push the cap fully down on translation Z and
// twist it fully on rotation Z, hold 1.5 s, and the device's buttons step
// through the profiles until the cap is pulled up again.
#include "core/core.h"
#include "platform/trace.h"

// Both axes beyond this (strictly) is the gesture position; translation Z
// beyond its opposite (strictly) leaves gesture mode.
#define GESTURE_THRESHOLD 300

#define GESTURE_BUTTON_DEFAULT 1 // button byte with button 0 alone
#define GESTURE_BUTTON_NEXT 2    // button byte with button 1 alone

/*
 * MIVO_profil_gesture - advance the gesture by one translation pass.
 * Returns TRUE when the pass must not map: in gesture mode and for GestureTime
 * after every gesture event, so that the motion of the gesture itself and the
 * button presses that pick a profile reach no bind. HID worker.
 */
BOOLEAN MIVO_profil_gesture(PDEVICE_EXTENSION dx)
{
    ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG hold = dx->GestureTime * MS_TO_INTERRUPT_TIME;

    if (now <= dx->GestureLastEvent + hold) {
        return TRUE;
    }

    SHORT z = dx->ReportState.RawTranslation.Axis[2];
    SHORT rz = dx->ReportState.RawRotation.Axis[2];

    if (dx->GestureActive == 0) {
        if (z >= -GESTURE_THRESHOLD || rz >= -GESTURE_THRESHOLD) {
            dx->GestureHoldStart = 0;
            return FALSE;
        }
        if (dx->GestureHoldStart == 0) {
            dx->GestureHoldStart = now;
        }
        if (now <= dx->GestureHoldStart + hold) {
            return FALSE;
        }

        dx->GestureLastEvent = now;
        dx->GestureHoldStart = 0;
        dx->GestureActive = 1;
        MIVO_Led_Show_Config(dx);
        MIVO_output_reset(dx);
        // Latched keys and the repeat rhythm go too: the gesture starts from a
        // keyboard with nothing down.
        RtlZeroMemory(dx->KeyState, sizeof(dx->KeyState));
        return TRUE;
    }

    if (z > GESTURE_THRESHOLD) {
        dx->GestureActive = 0;
        MIVO_Led_Show_Config_End(dx);
        dx->GestureLastEvent = now;
        return TRUE;
    }

    // The configuration pattern is finite; it starts again for as long as
    // gesture mode lasts.
    if (dx->LedQueue == NULL) {
        MIVO_TRACE_LINE("Relance My Led");
        MIVO_Led_Show_Config(dx);
    }

    // Both buttons together (3) pick nothing.
    UCHAR buttons = dx->ReportState.RawButtons.Bytes[0];
    if (buttons == GESTURE_BUTTON_NEXT) {
        MIVO_TRACE_LINE("MIVO_Select_Next_Profil");
        MIVO_Select_Next_Profil(dx);
        dx->GestureLastEvent = now;
    }
    if (buttons == GESTURE_BUTTON_DEFAULT) {
        MIVO_TRACE_LINE("MIVO_Select_Default");
        dx->CurrentProfil = MIVO_Select_Profil(dx, dx->DefaultProfilId);
        dx->GestureLastEvent = now;
    }
    return TRUE;
}
