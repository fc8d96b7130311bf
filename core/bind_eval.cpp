// Bind evaluation: the value of one bind in this mapping pass, from its device
// input (an axis or a button of the raw images) through its trigger.
//
// The arithmetic keeps the widths the bind format was designed with: axis
// values, dead zones and limits are 16-bit signed quantities, only the
// rescaling product is formed in 32 bits, and the trigger compares 64-bit
// interrupt times. Profiles written for those widths must behave the same here.
#include "core/core.h"

#define DEVICE_AXIS_COUNT 6     // translation X, Y, Z, rotation X, Y, Z
#define DEVICE_BUTTON_COUNT 48  // the six bitmap bytes of report 3
#define AXIS_NEGATED_SOURCE 4   // rotation Y is read with its sign flipped
#define TAP_WINDOW (1 * MS_TO_INTERRUPT_TIME)

// A Source_Index past the device's inputs names no input at all. Such a bind
// reads its input as at rest - axis 0, button up - and goes through the rest of
// the evaluation like a bind on a real input that is never touched: nothing
// outside the raw images is read, and the result (dead zone, Invert, trigger)
// is the one a profile author can predict from any idle input.
static SHORT MIVO_device_axis(PDEVICE_EXTENSION dx, UCHAR Index)
{
    if (Index >= DEVICE_AXIS_COUNT) {
        return 0;
    }
    const RAW_REPORT *image = Index < 3 ? &dx->ReportState.RawTranslation : &dx->ReportState.RawRotation;
    return image->Axis[Index % 3];
}

static BOOLEAN MIVO_device_button(PDEVICE_EXTENSION dx, UCHAR Index)
{
    if (Index >= DEVICE_BUTTON_COUNT) {
        return FALSE;
    }
    return (BOOLEAN)((dx->ReportState.RawButtons.Bytes[Index / 8] >> (Index % 8)) & 1);
}

/*
 * MIVO_bind_value - the value of one bind in this pass.
 * Returns the value of its axis or button source through its trigger; 0 (the
 * bind does nothing) for any other Source_Type, whose runtime fields are then
 * left alone. HID worker, mapping pass, CurrentProfil set.
 */
SHORT MIVO_bind_value(PDEVICE_EXTENSION dx, BIND *Bind)
{
    switch (Bind->Source_Type) {
    case SOURCE_AXIS:
        return MIVO_bind_axis(dx, Bind);
    case SOURCE_BUTTON:
        return MIVO_bind_button(dx, Bind);
    default:
        return 0;
    }
}

/*
 * MIVO_bind_axis - the value of an axis bind, -360..360.
 * Dead zone (the profile's plus the bind's), rescaled to full range, limits,
 * Invert and Direction, then the trigger. HID worker, from MIVO_bind_value.
 */
SHORT MIVO_bind_axis(PDEVICE_EXTENSION dx, BIND *Bind)
{
    SHORT v = MIVO_device_axis(dx, Bind->Source_Index);
    if (Bind->Source_Index == AXIS_NEGATED_SOURCE) {
        v = (SHORT)-v;
    }

    SHORT sign = v >= 0 ? 1 : -1;
    SHORT m = (SHORT)(v >= 0 ? v : -v);

    // Only the mapping pass calls this, and only with a CurrentProfil; a
    // missing one is read as no profile dead zone rather than a fault.
    SHORT profil_dz = dx->CurrentProfil ? dx->CurrentProfil->DeadZone : 0;
    SHORT dz = (SHORT)(profil_dz + Bind->Axis_DeadZone);
    if (dz >= AXIS_LIMIT) {
        dz = AXIS_LIMIT - 1; // keeps the divisor below at 1 or more
    }
    // A negative dead zone is kept: it lifts a resting axis off zero.

    if (m >= dz) {
        m = (SHORT)(m - dz);
    } else {
        m = 0;
    }

    SHORT span = (SHORT)(AXIS_LIMIT - dz);
    m = (SHORT)(((LONG)m * AXIS_LIMIT) / (LONG)span);

    if (m > AXIS_LIMIT) {
        m = AXIS_LIMIT;
    }
    if (m < Bind->Axis_Min) {
        m = 0;
    }
    if (Bind->Axis_Max != 0 && m > Bind->Axis_Max) {
        m = 0; // past the window: the bind lets go, it does not saturate
    }

    v = (SHORT)(m * sign);
    if (Bind->Invert) {
        v = (SHORT)-v;
    }

    if (Bind->Axis_Direction == 1 && v < 0) {
        v = 0;
    }
    if (Bind->Axis_Direction == 2 && v > 0) {
        v = 0;
    }

    return MIVO_bind_trigger(Bind, (BOOLEAN)(v != 0), v, 0);
}

/*
 * MIVO_bind_button - the value of a button bind: Pressed_Value while its
 * (possibly inverted) button is active, Released_Value otherwise, through the
 * trigger. HID worker, from MIVO_bind_value.
 */
SHORT MIVO_bind_button(PDEVICE_EXTENSION dx, BIND *Bind)
{
    BOOLEAN pressed = MIVO_device_button(dx, Bind->Source_Index);
    if (Bind->Invert) {
        pressed = !pressed;
    }
    return MIVO_bind_trigger(Bind, pressed, Bind->Pressed_Value, Bind->Released_Value);
}

/*
 * MIVO_bind_trigger - record the source's transitions and apply the trigger.
 * Returns On or Off by Trigger_Mode: direct follows the source, tap gives the
 * value captured at the press within 1 ms after a short press ends, hold gives
 * On once the source has been active longer than Hold_Time. HID worker.
 */
SHORT MIVO_bind_trigger(BIND *Bind, BOOLEAN Active, SHORT On, SHORT Off)
{
    ULONGLONG now = KeQueryInterruptTime();
    UCHAR active = Active ? 1 : 0;

    if (active != (Bind->Last_Active ? 1 : 0)) {
        Bind->Last_Active = active;
        if (active) {
            Bind->Press_Time = now;
            Bind->Press_Value = On;
        } else {
            Bind->Release_Time = now;
        }
    }

    // Hold_Time x 10,000 fits 32 bits for every 16-bit Hold_Time; it is widened
    // with its sign. In the comparisons below it meets unsigned 64-bit times,
    // so a negative Hold_Time acts as a limit that every press is under (tap)
    // and that every hold is already past (hold).
    LONGLONG limit = (LONGLONG)(LONG)((LONG)Bind->Hold_Time * (LONG)MS_TO_INTERRUPT_TIME);

    switch (Bind->Trigger_Mode) {
    case TRIGGER_DIRECT:
        return active ? On : Off;
    case TRIGGER_TAP:
        if (active) {
            return Off;
        }
        if (now < Bind->Release_Time + TAP_WINDOW &&
            (ULONGLONG)(Bind->Release_Time - Bind->Press_Time) < (ULONGLONG)limit) {
            return Bind->Press_Value;
        }
        return Off;
    case TRIGGER_HOLD:
        if (active && now > Bind->Press_Time + (ULONGLONG)limit) {
            return On;
        }
        return Off;
    default:
        return Off;
    }
}
