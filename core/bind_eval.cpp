// Bind evaluation, one bind at a time: the routines for callers outside the
// mapping pass. Each reads what a pass would share (the clock, the profile's
// dead zone) for itself; the evaluation is core/bind_eval.h.
#include "core/bind_eval.h"

// The pass state for one bind on its own. Only the mapping pass evaluates
// binds, and only with a CurrentProfil; a missing one is read as no profile
// dead zone rather than a fault.
static BIND_PASS MIVO_single_pass(PDEVICE_EXTENSION dx)
{
    BIND_PASS pass;
    MIVO_pass_start(dx, &pass, dx->CurrentProfil ? dx->CurrentProfil->DeadZone : 0);
    return pass;
}

/*
 * MIVO_bind_value - the value of one bind in this pass.
 * Returns the value of its axis or button source through its trigger; 0 (the
 * bind does nothing) for any other Source_Type, whose runtime fields are then
 * left alone. HID worker, mapping pass, CurrentProfil set.
 */
SHORT MIVO_bind_value(PDEVICE_EXTENSION dx, BIND *Bind)
{
    BIND_PASS pass = MIVO_single_pass(dx);
    return MIVO_value_at(&pass, Bind);
}

/*
 * MIVO_bind_axis - the value of an axis bind, -360..360.
 * Dead zone (the profile's plus the bind's), rescaled to full range, limits,
 * Invert and Direction, then the trigger. HID worker, from MIVO_bind_value.
 */
SHORT MIVO_bind_axis(PDEVICE_EXTENSION dx, BIND *Bind)
{
    BIND_PASS pass = MIVO_single_pass(dx);
    return MIVO_axis_at(&pass, Bind);
}

/*
 * MIVO_bind_button - the value of a button bind: Pressed_Value while its
 * (possibly inverted) button is active, Released_Value otherwise, through the
 * trigger. HID worker, from MIVO_bind_value.
 */
SHORT MIVO_bind_button(PDEVICE_EXTENSION dx, BIND *Bind)
{
    BIND_PASS pass = MIVO_single_pass(dx);
    return MIVO_button_at(&pass, Bind);
}

/*
 * MIVO_bind_trigger - record the source's transitions and apply the trigger.
 * Returns On or Off by Trigger_Mode: direct follows the source, tap gives the
 * value captured at the press within 1 ms after a short press ends, hold gives
 * On once the source has been active longer than Hold_Time. HID worker.
 */
SHORT MIVO_bind_trigger(BIND *Bind, BOOLEAN Active, SHORT On, SHORT Off)
{
    BIND_PASS pass;
    RtlZeroMemory(&pass, sizeof(pass));
    pass.Now = KeQueryInterruptTime(); // the trigger reads the clock alone
    return MIVO_trigger_at(&pass, Bind, Active, On, Off);
}
