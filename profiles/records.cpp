// Profile and bind records: the binds the driver builds itself, and the base
// profile that every profile state holds.
#include "profiles/profiles.h"
#include "platform/trace.h"

#define BUTTON_HOLD_TIME 500 // ms; button binds built here may use tap or hold
#define JOY_AXIS_LAST 7
#define JOY_BUTTON_LAST 7
#define JOY_HAT_LAST 1
#define MOUSE_BUTTON_LAST 4

#define BASE_PROFIL_DEADZONE 50

// The source part of a bind built here. S1, S2 and S3 mean Axis_Min, Axis_Max
// and Axis_Direction for an axis, Released_Value, Pressed_Value and
// Trigger_Mode for a button; a bind of any other type keeps only its type.
static VOID MIVO_Set_Bind_Source(BIND *Bind, ULONG SourceType, UCHAR SourceIndex, UCHAR Invert, SHORT S1, SHORT S2,
                                 SHORT S3)
{
    Bind->Source_Type = SourceType;
    switch (SourceType) {
    case SOURCE_AXIS:
        Bind->Source_Index = SourceIndex;
        Bind->Invert = Invert;
        Bind->Axis_DeadZone = 0;
        Bind->Axis_Min = S1;
        Bind->Axis_Max = S2;
        Bind->Axis_Direction = (LONG)S3;
        break;
    case SOURCE_BUTTON:
        Bind->Source_Index = SourceIndex;
        Bind->Invert = Invert;
        Bind->Released_Value = S1;
        Bind->Pressed_Value = S2;
        Bind->Trigger_Mode = (LONG)S3;
        Bind->Hold_Time = BUTTON_HOLD_TIME;
        // A button that gives 0 both ways would do nothing; make it a plain on/off.
        if (Bind->Released_Value == 0 && Bind->Pressed_Value == 0) {
            Bind->Pressed_Value = 1;
        }
        break;
    default:
        break;
    }
}

// The action part of a bind built here, from the 16-bit parameter P. Targets
// the virtual device has a fixed number of are bounded to its last one; a
// keyboard bind gets no key codes (those come only from stored records).
static VOID MIVO_Set_Bind_Action(BIND *Bind, ULONG ActionType, USHORT P)
{
    UCHAR low = (UCHAR)(P & 0xFF);

    Bind->Action_Type = ActionType;
    switch (ActionType) {
    case ACTION_JOY_AXIS:
    case ACTION_JOY_BUTTON:
        Bind->Action_Param[0] = low > JOY_AXIS_LAST ? JOY_AXIS_LAST : low;
        static_assert(JOY_AXIS_LAST == JOY_BUTTON_LAST, "one bound serves axes and buttons");
        break;
    case ACTION_JOY_HAT: {
        // Only an upper bound: a negative selector stays as built.
        LONG selector = (LONG)(CHAR)low;
        Bind->Action_Hat = selector > JOY_HAT_LAST ? JOY_HAT_LAST : selector;
        break;
    }
    case ACTION_MOUSE_X:
    case ACTION_MOUSE_Y:
    case ACTION_MOUSE_WHEEL:
    case ACTION_CONSUMER:
        Bind->Action_Param[0] = low;
        break;
    case ACTION_MOUSE_BUTTON:
        Bind->Action_Param[0] = low > MOUSE_BUTTON_LAST ? MOUSE_BUTTON_LAST : low;
        break;
    case ACTION_PROFIL:
        Bind->Action_Profil = (SHORT)P;
        break;
    default:
        break;
    }
}

/*
 * MIVO_Create_NextBind - build one bind and push it at the head of *Head.
 * On pool exhaustion it traces and leaves the list as it was: the profile
 * simply lacks that bind. PASSIVE_LEVEL (profile rebuild on the HID worker).
 */
VOID MIVO_Create_NextBind(BIND **Head, ULONG SourceType, UCHAR SourceIndex, UCHAR Invert, SHORT S1, SHORT S2,
                          SHORT S3, ULONG ActionType, USHORT P)
{
    BIND *bind = (BIND *)ExAllocatePool(NonPagedPool, sizeof(BIND));
    if (bind == NULL) {
        MIVO_TRACE_LEAVE("ExAllocatePool Error");
        return;
    }
    // Pool memory comes uninitialised; the runtime part must start at zero.
    RtlZeroMemory(bind, sizeof(*bind));

    bind->Next = *Head;
    *Head = bind;

    MIVO_Set_Bind_Source(bind, SourceType, SourceIndex, Invert, S1, S2, S3);
    MIVO_Set_Bind_Action(bind, ActionType, P);
    bind->Eval_Kind = MIVO_Bind_Classify(bind);
}

// The base profile, in the order its list holds the binds (first = pushed
// last). Values a row does not name are 0.
typedef struct _BASE_BIND {
    ULONG SourceType;
    UCHAR SourceIndex;
    UCHAR Invert;
    SHORT S1, S2, S3;
    ULONG ActionType;
    USHORT P;
} BASE_BIND;

static const BASE_BIND MIVO_Base_Binds[] = {
    {SOURCE_BUTTON, 1, 0, 0, 1, TRIGGER_DIRECT, ACTION_CONSUMER, 3},
    {SOURCE_BUTTON, 0, 0, 0, 1, TRIGGER_DIRECT, ACTION_CONSUMER, 2},
    {SOURCE_AXIS, 5, 1, 10, 0, 0, ACTION_MOUSE_WHEEL, 500}, // the byte keeps 244
    {SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_MOUSE_Y, 100},
    {SOURCE_AXIS, 4, 0, 0, 0, 0, ACTION_MOUSE_X, 100},
    {SOURCE_BUTTON, 1, 0, 0, 1, TRIGGER_DIRECT, ACTION_JOY_BUTTON, 4},
    {SOURCE_BUTTON, 0, 1, 0, 1, TRIGGER_DIRECT, ACTION_JOY_BUTTON, 1},
    {SOURCE_BUTTON, 0, 0, 0, 1, TRIGGER_DIRECT, ACTION_JOY_BUTTON, 0},
    {SOURCE_BUTTON, 1, 1, 0, -350, TRIGGER_DIRECT, ACTION_JOY_AXIS, 7},
    {SOURCE_BUTTON, 1, 0, 0, 350, TRIGGER_DIRECT, ACTION_JOY_AXIS, 7},
    {SOURCE_AXIS, 5, 1, 0, 0, 1, ACTION_JOY_AXIS, 6}, // negative side of Rz only
    {SOURCE_AXIS, 5, 0, 0, 0, 0, ACTION_JOY_AXIS, 5},
    {SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_JOY_AXIS, 4},
    {SOURCE_AXIS, 4, 0, 0, 0, 0, ACTION_JOY_AXIS, 3},
    {SOURCE_AXIS, 2, 0, 0, 0, 0, ACTION_JOY_AXIS, 2},
    {SOURCE_AXIS, 1, 0, 0, 0, 0, ACTION_JOY_AXIS, 1},
    {SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0},
    {SOURCE_AXIS, 4, 0, 15, 0, 0, ACTION_JOY_HAT, 1},
    {SOURCE_AXIS, 3, 0, 15, 0, 0, ACTION_JOY_HAT, 0},
};
static_assert(sizeof(MIVO_Base_Binds) / sizeof(MIVO_Base_Binds[0]) == 19, "the base profile has 19 binds");

static const WCHAR MIVO_Base_Name[] = MIVO_WIDE("Base Profil");
static_assert(sizeof(MIVO_Base_Name) <= PROFIL_NAME_CHARS * sizeof(WCHAR), "the name fits with its NUL");

/*
 * MIVO_Profil_ZERO - build the base profile (id -1, "Base Profil", dead zone
 * 50, 19 binds). Returns it, or NULL when the pool cannot hold the profile
 * record; a bind that cannot be allocated is left out. The caller owns the
 * result. PASSIVE_LEVEL (profile rebuild on the HID worker).
 */
PROFIL *MIVO_Profil_ZERO(PDEVICE_EXTENSION dx)
{
    UNREFERENCED_PARAMETER(dx);

    PROFIL *profil = (PROFIL *)ExAllocatePool(NonPagedPool, sizeof(PROFIL));
    if (profil == NULL) {
        MIVO_TRACE_LEAVE("ExAllocatePool Error");
        return NULL;
    }
    // Zeroed first, so the name is zero-filled behind its NUL and the lists are empty.
    RtlZeroMemory(profil, sizeof(*profil));
    profil->Profil_Id = BASE_PROFIL_ID;
    RtlCopyMemory(profil->Profil_Name, MIVO_Base_Name, sizeof(MIVO_Base_Name));
    profil->DeadZone = BASE_PROFIL_DEADZONE;

    // Pushing at the head reverses the order: build from the table's end.
    for (ULONG i = sizeof(MIVO_Base_Binds) / sizeof(MIVO_Base_Binds[0]); i-- > 0;) {
        const BASE_BIND *b = &MIVO_Base_Binds[i];
        MIVO_Create_NextBind(&profil->Binds, b->SourceType, b->SourceIndex, b->Invert, b->S1, b->S2, b->S3,
                             b->ActionType, b->P);
    }
    return profil;
}
