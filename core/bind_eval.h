// Bind evaluation: the value of one bind in this mapping pass, from its device
// input (an axis or a button of the raw images) through its trigger.
//
// Inline here so that the mapping pass compiles it into its loop over the
// binds; bind_eval.cpp holds the routines by which the rest of the driver and
// the tests evaluate a single bind.
//
// The arithmetic keeps the widths the bind format was designed with: axis
// values, dead zones and limits are 16-bit signed quantities, only the
// rescaling product is formed in 32 bits, and the trigger compares 64-bit
// interrupt times. Profiles written for those widths must behave the same here.
#pragma once

#include "core/core.h"

#define DEVICE_AXIS_COUNT 6    // translation X, Y, Z, rotation X, Y, Z
#define DEVICE_BUTTON_COUNT 48 // the six bitmap bytes of report 3
#define AXIS_NEGATED_SOURCE 4  // rotation Y is read with its sign flipped
#define TAP_WINDOW (1 * MS_TO_INTERRUPT_TIME)

// The magnitude m of an axis past a dead zone dz (the profile's plus the
// bind's, as a 16-bit sum), stretched back to 0..360.
static inline SHORT MIVO_axis_stretch(SHORT m, SHORT dz)
{
    if (dz >= AXIS_LIMIT) {
        dz = AXIS_LIMIT - 1; // keeps the divisor below at 1 or more
    }
    // A negative dead zone is kept: it lifts a resting axis off zero.
    if (m >= dz) {
        m = (SHORT)(m - dz);
    } else {
        m = 0;
    }
    if (m == 0) {
        return 0;
    }
    SHORT span = (SHORT)(AXIS_LIMIT - dz);
    m = (SHORT)(((LONG)m * AXIS_LIMIT) / (LONG)span);
    return m > AXIS_LIMIT ? (SHORT)AXIS_LIMIT : m;
}

// What every bind of one pass shares, worked out once at the start of the
// pass: the clock, the profile's dead zone, the button bitmap, and for each
// device axis its value as binds read it (axis 4 negated) and its magnitude
// stretched past the profile's dead zone, alone and with the axis's sign,
// which is all that a bind without a dead zone of its own needs. Axis entry 6,
// past the device's axes, is the input of a Source_Index that names no axis.
typedef struct _STRETCHED_AXIS {
    SHORT Magnitude;
    SHORT Signed;
} STRETCHED_AXIS;

typedef struct _BIND_PASS {
    STRETCHED_AXIS Stretched[DEVICE_AXIS_COUNT];
    ULONGLONG Now;
    ULONGLONG Buttons; // device button n in bit n; the bits past the 48 buttons are 0
    SHORT DeadZone;
    SHORT Axis[DEVICE_AXIS_COUNT + 1];
} BIND_PASS;

// The stretched magnitude m of an axis whose value is v, given v's sign.
static inline SHORT MIVO_axis_sign(SHORT v, SHORT m)
{
    return (SHORT)(v < 0 ? -m : m);
}

static inline VOID MIVO_pass_start(PDEVICE_EXTENSION dx, BIND_PASS *Pass, SHORT DeadZone)
{
    const REPORT_STATE *rs = &dx->ReportState;
    Pass->Now = KeQueryInterruptTime();
    Pass->DeadZone = DeadZone;
    Pass->Buttons = 0;
    for (ULONG i = 0; i < DEVICE_BUTTON_COUNT / 8; i++) {
        Pass->Buttons |= (ULONGLONG)rs->RawButtons.Bytes[i] << (8 * i);
    }
    for (ULONG a = 0; a < 3; a++) {
        Pass->Axis[a] = rs->RawTranslation.Axis[a];
        Pass->Axis[a + 3] = rs->RawRotation.Axis[a];
    }
    Pass->Axis[AXIS_NEGATED_SOURCE] = (SHORT)-Pass->Axis[AXIS_NEGATED_SOURCE];
    Pass->Axis[DEVICE_AXIS_COUNT] = 0;
    for (ULONG a = 0; a < DEVICE_AXIS_COUNT; a++) {
        SHORT v = Pass->Axis[a];
        SHORT m = MIVO_axis_stretch((SHORT)(v >= 0 ? v : -v), DeadZone);
        Pass->Stretched[a].Magnitude = m;
        Pass->Stretched[a].Signed = MIVO_axis_sign(v, m);
    }
}

// A Source_Index past the device's inputs names no input at all. Such a bind
// reads its input as at rest - axis 0, button up - and goes through the rest of
// the evaluation like a bind on a real input that is never touched: nothing
// outside the raw images is read, and the result (dead zone, Invert, trigger)
// is the one a profile author can predict from any idle input.

// Records the source's transitions for the trigger.
static inline VOID MIVO_trigger_record(const BIND_PASS *Pass, BIND *Bind, UCHAR active, SHORT On)
{
    // Last_Active holds only the 0 or 1 written here (0 when the bind is made).
    if (active != Bind->Last_Active) {
        Bind->Last_Active = active;
        if (active) {
            Bind->Press_Time = Pass->Now;
            Bind->Press_Value = On;
        } else {
            Bind->Release_Time = Pass->Now;
        }
    }
}

// Records the source's transitions and applies the trigger (MIVO_bind_trigger).
static inline SHORT MIVO_trigger_at(const BIND_PASS *Pass, BIND *Bind, BOOLEAN Active, SHORT On, SHORT Off)
{
    const ULONGLONG now = Pass->Now;
    UCHAR active = Active ? 1 : 0;

    MIVO_trigger_record(Pass, Bind, active, On);

    switch (Bind->Trigger_Mode) {
    case TRIGGER_DIRECT:
        return active ? On : Off;
    case TRIGGER_TAP:
    case TRIGGER_HOLD: {
        // Hold_Time x 10,000 fits 32 bits for every 16-bit Hold_Time; it is
        // widened with its sign. In the comparisons below it meets unsigned
        // 64-bit times, so a negative Hold_Time acts as a limit that every
        // press is under (tap) and that every hold is already past (hold).
        LONGLONG limit = (LONGLONG)(LONG)((LONG)Bind->Hold_Time * (LONG)MS_TO_INTERRUPT_TIME);
        if (Bind->Trigger_Mode == TRIGGER_HOLD) {
            return active && now > Bind->Press_Time + (ULONGLONG)limit ? On : Off;
        }
        if (active) {
            return Off;
        }
        if (now < Bind->Release_Time + TAP_WINDOW &&
            (ULONGLONG)(Bind->Release_Time - Bind->Press_Time) < (ULONGLONG)limit) {
            return Bind->Press_Value;
        }
        return Off;
    }
    default:
        return Off;
    }
}

// The value of an axis bind, -360..360 (MIVO_bind_axis).
static inline SHORT MIVO_axis_at(const BIND_PASS *Pass, BIND *Bind)
{
    ULONG_PTR index = Bind->Source_Index;
    SHORT m;
    SHORT v;
    if (index >= DEVICE_AXIS_COUNT || Bind->Axis_DeadZone != 0) {
        if (index > DEVICE_AXIS_COUNT) {
            index = DEVICE_AXIS_COUNT;
        }
        v = Pass->Axis[index];
        m = MIVO_axis_stretch((SHORT)(v >= 0 ? v : -v), (SHORT)(Pass->DeadZone + Bind->Axis_DeadZone));
        v = MIVO_axis_sign(v, m);
    } else {
        const STRETCHED_AXIS *axis = &Pass->Stretched[index];
        m = axis->Magnitude;
        v = axis->Signed;
    }

    // Within the dead zone (v is 0 exactly when m is) nothing below can make
    // a value: the source is simply not active. Below Axis_Min, or past
    // Axis_Max (the bind lets go, it does not saturate): no value either.
    if (v == 0 || m < Bind->Axis_Min || (Bind->Axis_Max != 0 && m > Bind->Axis_Max)) {
        return MIVO_trigger_at(Pass, Bind, FALSE, 0, 0);
    }

    // The axis's sign, flipped by Invert.
    if (Bind->Invert) {
        v = (SHORT)-v;
    }

    // Direction 1 keeps the positive side only, 2 the negative side only.
    if (Bind->Axis_Direction == 1 || Bind->Axis_Direction == 2) {
        if (Bind->Axis_Direction == 1 ? v < 0 : v > 0) {
            return MIVO_trigger_at(Pass, Bind, FALSE, 0, 0);
        }
    }

    return MIVO_trigger_at(Pass, Bind, TRUE, v, 0);
}

// The value of a BIND_KIND_PLAIN_AXIS bind: what MIVO_axis_at gives it, with
// the checks its kind rules out left out.
static inline SHORT MIVO_plain_axis_at(const BIND_PASS *Pass, BIND *Bind)
{
    const STRETCHED_AXIS *axis = &Pass->Stretched[Bind->Source_Index];
    SHORT v = axis->Signed;
    if (v == 0 || axis->Magnitude < Bind->Axis_Min) {
        MIVO_trigger_record(Pass, Bind, 0, 0);
        return 0;
    }
    MIVO_trigger_record(Pass, Bind, 1, v);
    return v;
}

// The value of a button bind (MIVO_bind_button). A Source_Index past the
// device's buttons reads as up.
static inline SHORT MIVO_button_at(const BIND_PASS *Pass, BIND *Bind)
{
    UCHAR index = Bind->Source_Index;
    BOOLEAN pressed = index < DEVICE_BUTTON_COUNT && ((Pass->Buttons >> index) & 1) != 0;
    return MIVO_trigger_at(Pass, Bind, (BOOLEAN)(pressed != (Bind->Invert != 0)), Bind->Pressed_Value,
                           Bind->Released_Value);
}

// The value of any bind (MIVO_bind_value).
static inline SHORT MIVO_value_at(const BIND_PASS *Pass, BIND *Bind)
{
    if (Bind->Eval_Kind == BIND_KIND_PLAIN_AXIS) {
        return MIVO_plain_axis_at(Pass, Bind);
    }
    switch (Bind->Source_Type) {
    case SOURCE_AXIS:
        return MIVO_axis_at(Pass, Bind);
    case SOURCE_BUTTON:
        return MIVO_button_at(Pass, Bind);
    default:
        return 0;
    }
}
