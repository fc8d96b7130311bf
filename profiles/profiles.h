// Profile store: profile and bind records, the registry reader, loading and
// state reset, profile selection and the LED feedback queue.
#pragma once

#include "context/context.h"

// ---------------------------------------------------------------- bind record
#define SOURCE_AXIS 0
#define SOURCE_BUTTON 1

#define TRIGGER_DIRECT 0
#define TRIGGER_TAP 1
#define TRIGGER_HOLD 2

#define ACTION_JOY_AXIS 1
#define ACTION_JOY_BUTTON 2
#define ACTION_JOY_HAT 3
#define ACTION_MOUSE_X 4
#define ACTION_MOUSE_Y 5
#define ACTION_MOUSE_WHEEL 6
#define ACTION_MOUSE_BUTTON 7
#define ACTION_KEYBOARD 8
#define ACTION_PROFIL 9
#define ACTION_CONSUMER 10

#define BIND_PERSISTED_SIZE 34
#define PROFIL_NAME_CHARS 50
#define BASE_PROFIL_ID (-1)

// A bind begins with its 34-byte persisted form (the data of a registry value,
// little-endian, no padding), so a stored record is copied over its first 34
// bytes; the link and the runtime state follow.
#pragma pack(push, 1)
typedef struct _BIND {
    ULONG Source_Type; // SOURCE_AXIS or SOURCE_BUTTON; anything else never yields a value
    UCHAR Source_Index; // device axis 0..5 or device button bit 0..47
    UCHAR Invert;
    union {
        SHORT Axis_DeadZone;  // axis: added to the profile's DeadZone
        SHORT Released_Value; // button: value while not active
    };
    union {
        SHORT Axis_Min;      // axis: smallest rescaled magnitude that counts
        SHORT Pressed_Value; // button: value while active
    };
    SHORT Axis_Max;      // axis: rescaled magnitudes above it give 0; 0 = no limit
    LONG Axis_Direction; // 1 positive side only, 2 negative side only, else both
    ULONG Action_Type;   // ACTION_*
    union {
        UCHAR Action_Param[8]; // byte parameter at [0]: axis, button, speed, slowness, control
        LONG Action_Hat;       // ACTION_JOY_HAT selector
        SHORT Action_Profil;   // ACTION_PROFIL target id
        struct {
            UCHAR Key_Flags;
            SHORT Key_Repeat; // milliseconds; unaligned at offset 21
            UCHAR Key_Codes[5];
        };
    };
    SHORT Hold_Time; // milliseconds, for TRIGGER_TAP and TRIGGER_HOLD
    LONG Trigger_Mode;

    // link and runtime part, zero when created; only bind evaluation writes it
    // (Eval_Kind excepted)
    struct _BIND *Next;
    UCHAR Eval_Kind; // BIND_KIND_*, from the stored fields when the bind is made
    UCHAR Last_Active;
    SHORT Press_Value;
    ULONGLONG Press_Time;
    ULONGLONG Release_Time;
} BIND, *PBIND;
#pragma pack(pop)

static_assert(offsetof(BIND, Source_Type) == 0, "persisted bind layout");
static_assert(offsetof(BIND, Source_Index) == 4, "persisted bind layout");
static_assert(offsetof(BIND, Invert) == 5, "persisted bind layout");
static_assert(offsetof(BIND, Axis_DeadZone) == 6 && offsetof(BIND, Released_Value) == 6, "persisted bind layout");
static_assert(offsetof(BIND, Axis_Min) == 8 && offsetof(BIND, Pressed_Value) == 8, "persisted bind layout");
static_assert(offsetof(BIND, Axis_Max) == 10, "persisted bind layout");
static_assert(offsetof(BIND, Axis_Direction) == 12, "persisted bind layout");
static_assert(offsetof(BIND, Action_Type) == 16, "persisted bind layout");
static_assert(offsetof(BIND, Action_Param) == 20 && offsetof(BIND, Action_Hat) == 20 &&
                  offsetof(BIND, Action_Profil) == 20 && offsetof(BIND, Key_Flags) == 20,
              "persisted bind layout");
static_assert(offsetof(BIND, Key_Repeat) == 21, "persisted bind layout");
static_assert(offsetof(BIND, Key_Codes) == 23, "persisted bind layout");
static_assert(offsetof(BIND, Hold_Time) == 28, "persisted bind layout");
static_assert(offsetof(BIND, Trigger_Mode) == 30, "persisted bind layout");
static_assert(offsetof(BIND, Next) == BIND_PERSISTED_SIZE, "the runtime part follows the 34 persisted bytes");

// How the mapping pass evaluates a bind, worked out once from its stored
// fields by MIVO_Bind_Classify when the bind is made. A bind nobody classified
// (0) takes the full evaluation, which gives every bind its right value.
#define BIND_KIND_FULL 0
// An axis bind on a device axis with no dead zone, upper limit, Invert or
// direction of its own and a direct trigger: its value is the axis as the pass
// stretched it, or 0 below Axis_Min.
#define BIND_KIND_PLAIN_AXIS 1

static inline UCHAR MIVO_Bind_Classify(const BIND *Bind)
{
    if (Bind->Source_Type == SOURCE_AXIS && Bind->Source_Index < 6 && Bind->Axis_DeadZone == 0 &&
        Bind->Axis_Max == 0 && Bind->Invert == 0 && Bind->Axis_Direction != 1 && Bind->Axis_Direction != 2 &&
        Bind->Trigger_Mode == TRIGGER_DIRECT) {
        return BIND_KIND_PLAIN_AXIS;
    }
    return BIND_KIND_FULL;
}

// ---------------------------------------------------------------- profile record
typedef struct _PROFIL {
    SHORT Profil_Id;                       // unique within ProfilList; -1 = base profile
    WCHAR Profil_Name[PROFIL_NAME_CHARS];  // NUL-terminated, zero-filled behind the text
    SHORT DeadZone;                        // on the 0..360 axis scale
    BIND *Binds;                           // owned; pushed at the head
    struct _PROFIL *Next;                  // next profile of ProfilList
} PROFIL, *PPROFIL;

// ---------------------------------------------------------------- LED queue entry
typedef struct _LED_ENTRY {
    UCHAR Phase_On;
    ULONGLONG Start_Time;  // interrupt time the entry began; 0 = not begun
    ULONGLONG Next_Toggle; // interrupt time of the next change of phase
    LONGLONG On_Time;      // milliseconds
    LONGLONG Off_Time;     // milliseconds
    LONGLONG Duration;     // milliseconds
    struct _LED_ENTRY *Next;
} LED_ENTRY, *PLED_ENTRY;

// ---------------------------------------------------------------- records.cpp
VOID MIVO_Create_NextBind(BIND **Head, ULONG SourceType, UCHAR SourceIndex, UCHAR Invert, SHORT S1, SHORT S2,
                          SHORT S3, ULONG ActionType, USHORT P);
PROFIL *MIVO_Profil_ZERO(PDEVICE_EXTENSION dx);

// ---------------------------------------------------------------- registry.cpp
// The profile store's root is RegistryPath followed by "\Layout\".
HANDLE MIVO_Open_Reg(PCWSTR BasePath, PCWSTR SubKeyName);
NTSTATUS MIVO_Get_Key_Info(HANDLE Key, PULONG SubKeys, PULONG Values);
NTSTATUS MIVO_Get_SubKey_Name(HANDLE Key, ULONG Index, PWSTR Name, ULONG NameSize);
NTSTATUS MIVO_Get_Value_Info(HANDLE Key, ULONG Index, PWSTR Name, ULONG NameSize, PULONG Type);
NTSTATUS MIVO_Get_Data(HANDLE Key, PCWSTR ValueName, PKEY_VALUE_PARTIAL_INFORMATION *Data);
NTSTATUS MIVO_Get_DWORD(HANDLE Key, PCWSTR ValueName, PULONG Value, ULONG Default);
NTSTATUS MIVO_Get_STRING(HANDLE Key, PCWSTR ValueName, PWSTR Buffer, ULONG Size);
NTSTATUS MIVO_Get_BINARY(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Size);

// ---------------------------------------------------------------- loading.cpp
VOID MIVO_InitState(PDEVICE_EXTENSION dx);
VOID MIVO_Get_Profils(PDEVICE_EXTENSION dx);
VOID MIVO_Load_Profil(PDEVICE_EXTENSION dx, PCWSTR SubKeyName);
VOID MIVO_Delete_Profil(PDEVICE_EXTENSION dx);
VOID MIVO_Delete_Bind(PROFIL *Profil);
BOOLEAN MIVO_Profil_Exist(PDEVICE_EXTENSION dx, SHORT Id);

// ---------------------------------------------------------------- selection.cpp
PROFIL *MIVO_Select_Profil(PDEVICE_EXTENSION dx, SHORT Id);
VOID MIVO_Select_Next_Profil(PDEVICE_EXTENSION dx);

// ---------------------------------------------------------------- led_queue.cpp
VOID MIVO_Led_Queue_Add(PDEVICE_EXTENSION dx, LONG Duration, LONG OnTime, LONG OffTime);
VOID MIVO_Led_Queue_Clear(PDEVICE_EXTENSION dx);
VOID MIVO_Led_Queue_Run(PDEVICE_EXTENSION dx);
VOID MIVO_Led_Show_Reload(PDEVICE_EXTENSION dx);
VOID MIVO_Led_Show_Config(PDEVICE_EXTENSION dx);
VOID MIVO_Led_Show_Config_End(PDEVICE_EXTENSION dx);
VOID MIVO_Led_Show_Profil(PDEVICE_EXTENSION dx);
