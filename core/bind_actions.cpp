// Bind actions: the mapping pass that turns the active profile's binds into the
// joystick, mouse, consumer and key-state images, and the keyboard build that
// turns the key-state table into the keyboard report.
//
// Stored binds come from the registry as they were written and are used
// without the bounds that MIVO_Create_NextBind applies, so a parameter may name
// a joystick axis, joystick button, mouse button, key or consumer control that
// the virtual device does not have. Such a bind is ignored: it touches no
// image and no other bind's target. Bounding it onto the last axis or button
// instead would let a damaged profile press a control it never named.
#include "core/bind_eval.h"

#define JOYSTICK_AXIS_COUNT 8
#define JOYSTICK_BUTTON_COUNT 8
#define MOUSE_BUTTON_COUNT 5
#define CONSUMER_CONTROL_COUNT 16
#define KEY_CODE_COUNT 5
#define KEY_MODIFIER_FIRST 0xE0
#define KEYBOARD_SLOTS 6

// Joystick hat value for each combination of direction bits (N 1, E 2, S 4,
// W 8): one direction or two neighbours give 0..7 clockwise from north;
// nothing, two opposite directions or three and more leave it centred.
static const UCHAR HatTable[16] = {
    HAT_CENTRED, // none
    0,           // N
    2,           // E
    1,           // N E
    4,           // S
    HAT_CENTRED, // N S
    3,           // E S
    HAT_CENTRED, // N E S
    6,           // W
    7,           // N W
    HAT_CENTRED, // E W
    HAT_CENTRED, // N E W
    5,           // S W
    HAT_CENTRED, // N S W
    HAT_CENTRED, // E S W
    HAT_CENTRED, // all four
};

static LONG magnitude(LONG v)
{
    return v < 0 ? -v : v;
}

/*
 * MIVO_output_reset - put the output images back to rest.
 * Joystick axes to the centre, joystick and mouse buttons, mouse movement,
 * WheelStep and the consumer bits to 0, unlatched keys released. The hat is
 * rewritten by every mapping pass, KeyboardReport by the keyboard build;
 * WheelInterval keeps the wheel's rhythm. HID worker (mapping pass, gesture).
 */
VOID MIVO_output_reset(PDEVICE_EXTENSION dx)
{
    REPORT_STATE *rs = &dx->ReportState;

    for (ULONG a = 0; a < JOYSTICK_AXIS_COUNT; a++) {
        rs->JoystickReport.Axis[a] = JOYSTICK_AXIS_REST;
    }
    rs->JoystickReport.Buttons = 0;

    rs->MouseReport.X = 0;
    rs->MouseReport.Y = 0;
    rs->MouseReport.Wheel = 0;
    rs->MouseReport.Buttons = 0;
    dx->WheelStep = 0;

    rs->ConsumerReport.Controls = 0;

    MIVO_key_clear(dx, 0);
}

/*
 * MIVO_hat_bits - the hat direction that one hat bind asks for.
 * Selector 0 is the north/south pair, 1 the west/east pair; a negative value
 * points north or west. Returns HAT_* bits, 0 for any other selector.
 * Any context.
 */
UCHAR MIVO_hat_bits(LONG Selector, SHORT v)
{
    if (Selector == 0) {
        return v < 0 ? HAT_NORTH : (v > 0 ? HAT_SOUTH : 0);
    }
    if (Selector == 1) {
        return v < 0 ? HAT_WEST : (v > 0 ? HAT_EAST : 0);
    }
    return 0;
}

// The size of the mouse step for a deflection v at speed p, 0..127.
static inline LONG mouse_amount(SHORT v, UCHAR p)
{
    // 360 * 360 * 100: full deflection at speed 100 gives exactly 127.
    const LONGLONG divisor = 12960000;
    // v * v * 127 * p reaches 4.2e9 at v = 360, p = 255 (and 3.5e13 for the
    // extreme i16): beyond 32 bits either way.
    LONGLONG t = (LONGLONG)v * v * 127 * p / divisor;
    return t > 127 ? 127 : (LONG)t;
}

/*
 * MIVO_mouse_scale - mouse step for a deflection v at speed p.
 * A quadratic curve: speed 100 takes a full deflection of 360 to 127, so
 * small deflections give fine movement. Returns -127..127. Any context.
 */
CHAR MIVO_mouse_scale(SHORT v, UCHAR p)
{
    LONG t = mouse_amount(v, p);
    return (CHAR)(v >= 0 ? t : -t);
}

/*
 * MIVO_wheel_set - wheel rhythm for a deflection v of a wheel bind.
 * WheelInterval runs linearly from 10 * s ms at |v| = 2 to 10 ms at 300 and
 * below that (to negative, i.e. every mouse report) beyond; from 120 on it is
 * halved. WheelStep grows with the deflection: 1, 10 from 300, 25 from 330,
 * with the sign of v. HID worker (mapping pass).
 */
VOID MIVO_wheel_set(PDEVICE_EXTENSION dx, BIND *Bind, SHORT v)
{
    LONG s = Bind->Action_Param[0];
    LONG a = magnitude(v);

    // 32-bit signed; C++ division truncates toward zero, as wanted here.
    LONG interval = (a - 300) * (10 - 10 * s) / 298 + 10;
    if (a >= 120) {
        // Halved rounding down: -3 becomes -2, not the -1 of a plain division.
        interval = (interval - (interval < 0 ? 1 : 0)) / 2;
    }
    dx->WheelInterval = interval;

    CHAR step = a < 300 ? 1 : (a < 330 ? 10 : 25);
    dx->WheelStep = v < 0 ? (CHAR)-step : step;
}

/*
 * MIVO_key_bind - merge an active keyboard bind into the key-state table.
 * Flags are ORed, an unlatch wins over a latch within the bind, and the
 * shortest repeat interval of the pass wins. Codes 0 and 232..255 are not
 * keys and are skipped. HID worker (mapping pass).
 */
VOID MIVO_key_bind(PDEVICE_EXTENSION dx, BIND *Bind)
{
    UCHAR flags = Bind->Key_Flags;
    SHORT repeat = Bind->Key_Repeat;

    for (ULONG i = 0; i < KEY_CODE_COUNT; i++) {
        UCHAR k = Bind->Key_Codes[i];
        if (k == 0 || k >= KEY_STATE_COUNT) {
            continue;
        }
        KEY_STATE *key = &dx->KeyState[k];
        dx->KeysInUse[k / 32] |= 1u << (k % 32);
        key->Flags |= flags;
        if (flags & KEY_UNLATCH) {
            key->Flags &= (UCHAR)~KEY_LATCH;
        }
        if (flags & KEY_REPEAT) {
            if (key->Repeat == 0 || repeat < key->Repeat) {
                key->Repeat = repeat;
            }
        }
    }
}

/*
 * MIVO_consumer_set - press the bind's consumer control.
 * Controls are numbered 1..16 (bit n - 1); other numbers press nothing.
 * HID worker (mapping pass).
 */
VOID MIVO_consumer_set(PDEVICE_EXTENSION dx, BIND *Bind)
{
    ULONG n = Bind->Action_Param[0];
    if (n >= 1 && n <= CONSUMER_CONTROL_COUNT) {
        dx->ReportState.ConsumerReport.Controls |= (USHORT)(1u << (n - 1));
    }
}

/*
 * MIVO_map_binds - one mapping pass over the active profile.
 * Resets the outputs, evaluates every bind once in list order and carries out
 * the actions of those with a non-zero value: axes and mouse movement keep
 * the largest magnitude (the first on a tie), buttons, hat, keys and consumer
 * controls are ORed, wheel and profile take the last. A profile action
 * switches the profile after the pass, so this pass's output is the old
 * profile's. HID worker.
 */
VOID MIVO_map_binds(PDEVICE_EXTENSION dx)
{
    // A profile action switches only after the pass, so the whole pass works
    // on the profile it started with. Only this thread changes CurrentProfil
    // (the command channel posts its profile number to it), and profiles are
    // freed only by a rebuild, which runs on this thread too.
    PROFIL *profil = dx->CurrentProfil;
    if (profil == NULL) {
        return;
    }

    REPORT_STATE *rs = &dx->ReportState;
    // Magnitude of the bind value currently winning each joystick axis (up
    // to 32768); kept apart from the image because the axis is not limited
    // and may wrap its 16 bits.
    USHORT axis_value[JOYSTICK_AXIS_COUNT] = {0};
    // The same for the mouse movement, whose images start the pass at 0.
    LONG mouse_x = 0;
    LONG mouse_y = 0;
    SHORT target = profil->Profil_Id;
    UCHAR hat = 0;
    // The wheel takes the last active wheel bind: its rhythm is worked out
    // once, after the pass.
    BIND *wheel = NULL;
    SHORT wheel_value = 0;

    MIVO_output_reset(dx);

    // The clock, the dead zone, the device axes and buttons, once for every bind.
    BIND_PASS pass;
    MIVO_pass_start(dx, &pass, profil->DeadZone);

    for (BIND *bind = profil->Binds; bind != NULL; bind = bind->Next) {
        SHORT v = MIVO_value_at(&pass, bind);
        if (v == 0) {
            continue;
        }
        // The joystick axes first: the action most binds of a six-axis
        // controller have.
        if (bind->Action_Type == ACTION_JOY_AXIS) {
            ULONG_PTR a = bind->Action_Param[0];
            USHORT m = (USHORT)magnitude(v);
            if (a < JOYSTICK_AXIS_COUNT && m > axis_value[a]) {
                axis_value[a] = m;
                rs->JoystickReport.Axis[a] = (USHORT)(v + JOYSTICK_AXIS_REST);
            }
            continue;
        }
        ULONG_PTR n = bind->Action_Param[0];
        switch (bind->Action_Type) {
        case ACTION_JOY_BUTTON:
            if (n < JOYSTICK_BUTTON_COUNT) {
                rs->JoystickReport.Buttons |= (UCHAR)(1u << n);
            }
            break;
        case ACTION_JOY_HAT:
            hat |= MIVO_hat_bits(bind->Action_Hat, v);
            break;
        case ACTION_MOUSE_X: {
            LONG t = mouse_amount(v, (UCHAR)n);
            if (t > mouse_x) {
                mouse_x = t;
                rs->MouseReport.X = (CHAR)(v >= 0 ? t : -t);
            }
            break;
        }
        case ACTION_MOUSE_Y: {
            LONG t = mouse_amount(v, (UCHAR)n);
            if (t > mouse_y) {
                mouse_y = t;
                rs->MouseReport.Y = (CHAR)(v >= 0 ? t : -t);
            }
            break;
        }
        case ACTION_MOUSE_WHEEL:
            wheel = bind;
            wheel_value = v;
            break;
        case ACTION_MOUSE_BUTTON:
            if (n < MOUSE_BUTTON_COUNT) {
                rs->MouseReport.Buttons |= (UCHAR)(1u << n);
            }
            break;
        case ACTION_KEYBOARD:
            MIVO_key_bind(dx, bind);
            break;
        case ACTION_PROFIL:
            target = bind->Action_Profil;
            break;
        case ACTION_CONSUMER:
            MIVO_consumer_set(dx, bind);
            break;
        default:
            break;
        }
    }

    if (wheel != NULL) {
        MIVO_wheel_set(dx, wheel, wheel_value);
    }

    rs->JoystickReport.Hat = (UCHAR)((rs->JoystickReport.Hat & 0xF0) | HatTable[hat]);

    if (target != profil->Profil_Id) {
        dx->CurrentProfil = MIVO_Select_Profil(dx, target);
    }
}

/*
 * MIVO_keyboard_build - KeyboardReport from the key-state table.
 * Modifiers go into their bits, the other keys into the six slots in
 * ascending code order; a seventh key waits. A repeating key is sent for one
 * pass per Repeat interval, so the host sees one press and release each time.
 * HID worker (translation pass, also without a profile).
 */
VOID MIVO_keyboard_build(PDEVICE_EXTENSION dx)
{
    ULONGLONG now = KeQueryInterruptTime();
    KEYBOARD_REPORT *kr = &dx->ReportState.KeyboardReport;
    ULONG count = 0;

    kr->Modifiers = 0;
    for (ULONG i = 0; i < KEYBOARD_SLOTS; i++) {
        kr->Keys[i] = 0;
    }

    // Entries outside KeysInUse are up and all zero: nothing to do for them.
    for (ULONG k = MIVO_key_next(dx, 0); k < KEY_STATE_COUNT; k = MIVO_key_next(dx, k + 1)) {
        KEY_STATE *key = &dx->KeyState[k];
        if (!(key->Flags & (KEY_PRESS | KEY_LATCH))) {
            // Up: the next press goes out at once.
            key->LastSent = 0;
            if (key->Flags == 0 && key->Repeat == 0) {
                dx->KeysInUse[k / 32] &= ~(1u << (k % 32));
            }
            continue;
        }
        // Signed: a stored negative interval makes the key due every pass
        // rather than wrapping the sum.
        BOOLEAN due = !(key->Flags & KEY_REPEAT) ||
                      (LONGLONG)now >= (LONGLONG)key->LastSent + (LONGLONG)key->Repeat * (LONGLONG)MS_TO_INTERRUPT_TIME;
        if (!due) {
            continue;
        }
        if (k >= KEY_MODIFIER_FIRST) {
            key->LastSent = now;
            kr->Modifiers |= (UCHAR)(1u << (k - KEY_MODIFIER_FIRST));
        } else if (count < KEYBOARD_SLOTS) {
            key->LastSent = now;
            kr->Keys[count++] = (UCHAR)k;
        }
    }
}
