// Translation core: raw decoding, bind evaluation and actions, the worker
// step and the profile gesture, on the device context. Nothing here sees an
// IRP or a URB; what the step needs of the frame is in context/frame.h.
#pragma once

#include "profiles/profiles.h"

// ---------------------------------------------------------------- raw_decode.cpp
VOID MIVO_raw_decode(PDEVICE_EXTENSION dx);

// ---------------------------------------------------------------- bind_eval.cpp
SHORT MIVO_bind_value(PDEVICE_EXTENSION dx, BIND *Bind);
SHORT MIVO_bind_axis(PDEVICE_EXTENSION dx, BIND *Bind);
SHORT MIVO_bind_button(PDEVICE_EXTENSION dx, BIND *Bind);
SHORT MIVO_bind_trigger(BIND *Bind, BOOLEAN Active, SHORT On, SHORT Off);

// ---------------------------------------------------------------- bind_actions.cpp
#define HAT_NORTH 0x1
#define HAT_EAST 0x2
#define HAT_SOUTH 0x4
#define HAT_WEST 0x8
#define HAT_CENTRED 8

VOID MIVO_map_binds(PDEVICE_EXTENSION dx);
VOID MIVO_output_reset(PDEVICE_EXTENSION dx);
UCHAR MIVO_hat_bits(LONG Selector, SHORT v);
CHAR MIVO_mouse_scale(SHORT v, UCHAR p);
VOID MIVO_wheel_set(PDEVICE_EXTENSION dx, BIND *Bind, SHORT v);
VOID MIVO_key_bind(PDEVICE_EXTENSION dx, BIND *Bind);
VOID MIVO_consumer_set(PDEVICE_EXTENSION dx, BIND *Bind);
VOID MIVO_keyboard_build(PDEVICE_EXTENSION dx);

// ---------------------------------------------------------------- report_step.cpp
VOID MIVO_hid_step(PDEVICE_EXTENSION dx);
// Carries out what the command channel posted (profile, configuration mode);
// the first thing a step does. HID worker.
VOID MIVO_take_commands(PDEVICE_EXTENSION dx);
VOID MIVO_translate(PDEVICE_EXTENSION dx);
VOID MIVO_status_update(PDEVICE_EXTENSION dx);
// Length: the buffer's size in, the report's size out.
NTSTATUS MIVO_hid_read_rep(PDEVICE_EXTENSION dx, PUCHAR Buffer, ULONG *Length);

// ---------------------------------------------------------------- gesture.cpp
// TRUE when the pass must not map.
BOOLEAN MIVO_profil_gesture(PDEVICE_EXTENSION dx);
