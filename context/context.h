// The per-device context: the DEVICE_EXTENSION with the images of every
// report, the key-state table and the pending-report bits, and the routines
// that act on that state alone. Every other part of the driver builds on it;
// it builds on nothing but the kernel.
#pragma once

#include "platform/kernel.h"

struct _PROFIL;
struct _LED_ENTRY;

// ---------------------------------------------------------------- key-state flags
// Also the key flags of a keyboard bind (Key_Flags).
#define KEY_PRESS 0x01
#define KEY_LATCH 0x02
#define KEY_UNLATCH 0x04
#define KEY_REPEAT 0x10

// ---------------------------------------------------------------- device states
#define DEVICE_STATE_NONE 0
#define DEVICE_STATE_STARTED 1
#define DEVICE_STATE_STOPPED 2
#define DEVICE_STATE_REMOVED 3

// ---------------------------------------------------------------- report IDs
#define REPORT_ID_STATUS 0xF0
#define REPORT_ID_JOYSTICK 0xF1
#define REPORT_ID_KEYBOARD 0xF2
#define REPORT_ID_CONSUMER 0xF3
#define REPORT_ID_MOUSE 0xF4
#define REPORT_ID_RAW_TRANSLATION 1
#define REPORT_ID_RAW_ROTATION 2
#define REPORT_ID_RAW_BUTTONS 3

// ---------------------------------------------------------------- pending report bits
#define PENDING_JOYSTICK 0x01
#define PENDING_MOUSE 0x02
#define PENDING_KEYBOARD 0x04
#define PENDING_CONSUMER 0x08
#define PENDING_RAW_TRANSLATION 0x10
#define PENDING_RAW_ROTATION 0x20
#define PENDING_RAW_BUTTONS 0x40
#define PENDING_STATUS 0x80
#define PENDING_ALL 0xFF

#define AXIS_LIMIT 360         // device axes are clamped to -360..360
#define JOYSTICK_AXIS_REST 360 // a joystick axis holds 360 + value
#define KEY_STATE_COUNT 232    // keyboard usages 0..231; 0xE0..0xE7 are the modifiers
#define KEY_STATE_WORDS ((KEY_STATE_COUNT + 31) / 32)
#define MS_TO_INTERRUPT_TIME 10000ULL

// ---------------------------------------------------------------- report images
// Each image is exactly the bytes a read request receives: report ID first,
// multi-byte values little-endian.
#pragma pack(push, 1)
typedef struct _JOYSTICK_REPORT {
    UCHAR ReportId; // 0xF1
    USHORT Axis[8]; // 0..720, 360 = centre: X, Y, Z, Rx, Ry, Rz, slider, slider
    UCHAR Hat;      // bits 0-3: 0..7 clockwise from north, 8 = centred; bits 4-7: 0
    UCHAR Buttons;  // buttons 1..8, bit 0 = button 1
} JOYSTICK_REPORT;

typedef struct _KEYBOARD_REPORT {
    UCHAR ReportId;  // 0xF2
    UCHAR Modifiers; // bit n = usage 0xE0 + n
    UCHAR Keys[6];   // ascending usage codes, 0 in the slots left over
} KEYBOARD_REPORT;

typedef struct _CONSUMER_REPORT {
    UCHAR ReportId;  // 0xF3
    USHORT Controls; // bit n = consumer control number n + 1
} CONSUMER_REPORT;

typedef struct _MOUSE_REPORT {
    UCHAR ReportId; // 0xF4
    CHAR X;         // -127..127
    CHAR Y;
    CHAR Wheel;
    UCHAR Buttons; // buttons 1..5 in bits 0-4
} MOUSE_REPORT;

typedef struct _STATUS_REPORT {
    UCHAR ReportId;  // 0xF0
    UCHAR Running;   // 1 once a translation pass has run since InitState
    SHORT Profil_Id; // of CurrentProfil; -1 when there is none
} STATUS_REPORT;

// Reports 1 (translation) and 2 (rotation) carry three axes; report 3 the
// button bitmap: button n is bit n % 8 of Bytes[n / 8].
typedef struct _RAW_REPORT {
    UCHAR ReportId;
    union {
        SHORT Axis[3];
        UCHAR Bytes[6];
    };
} RAW_REPORT;

// One contiguous block, in this order; the worker step snapshots it whole.
typedef struct _REPORT_STATE {
    JOYSTICK_REPORT JoystickReport;
    KEYBOARD_REPORT KeyboardReport;
    CONSUMER_REPORT ConsumerReport;
    MOUSE_REPORT MouseReport;
    STATUS_REPORT StatusReport;
    RAW_REPORT RawTranslation;
    RAW_REPORT RawRotation;
    RAW_REPORT RawButtons;
} REPORT_STATE;
#pragma pack(pop)

static_assert(sizeof(JOYSTICK_REPORT) == 19, "joystick report is 19 bytes");
static_assert(sizeof(KEYBOARD_REPORT) == 8, "keyboard report is 8 bytes");
static_assert(sizeof(CONSUMER_REPORT) == 3, "consumer report is 3 bytes");
static_assert(sizeof(MOUSE_REPORT) == 5, "mouse report is 5 bytes");
static_assert(sizeof(STATUS_REPORT) == 4, "status report is 4 bytes");
static_assert(sizeof(RAW_REPORT) == 7, "raw reports are 7 bytes");
static_assert(sizeof(REPORT_STATE) == 60, "the eight images make 60 bytes");
static_assert(offsetof(JOYSTICK_REPORT, Hat) == 17 && offsetof(JOYSTICK_REPORT, Buttons) == 18, "joystick layout");

typedef struct _KEY_STATE {
    UCHAR Flags;        // KEY_PRESS, KEY_LATCH, KEY_UNLATCH, KEY_REPEAT
    SHORT Repeat;       // milliseconds, with KEY_REPEAT
    ULONGLONG LastSent; // interrupt time the key was last put into the report; 0 while up
} KEY_STATE;

#define RAW_INPUT_LENGTH 7

// ---------------------------------------------------------------- the device context
// One per device: the HID class driver allocates it as the minidriver's device
// extension and MIVO_AddDevice zero-fills it. Field order is the record's own;
// the fields after RegistryPath are this implementation's additions.
typedef struct _DEVICE_EXTENSION {
    // DEVICE_STATE_*. Written by PnP and power, read by every dispatch routine
    // and the workers: only through MIVO_device_state / MIVO_device_state_set.
    LONG volatile DeviceState;
    SHORT DefaultProfilId;
    struct _PROFIL *CurrentProfil; // profiles/profiles.h
    struct _PROFIL *ProfilList;
    // Posted by the command channel (any thread), taken by the HID worker with
    // one exchange before its next step: MIVO_post_reload, MIVO_take_reload.
    LONG volatile ReloadRequested;
    UCHAR ModeConfig; // HID worker only; the command channel posts ModeConfigRequest
    volatile LONG IoCount;
    KEVENT RemoveEvent;
    LIST_ENTRY ReadQueue;
    KSPIN_LOCK ReadQueueLock;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_PIPE_HANDLE InterruptPipe;
    USBD_PIPE_HANDLE SecondPipe;
    USBD_PIPE_HANDLE ControlPipe;
    PVOID UsbWorkerThread;
    REPORT_STATE ReportState;
    // The last device report, bytes 0-6 (byte 7 is always 0). The USB worker
    // publishes a report with one 64-bit atomic store and the translation pass
    // takes it with one atomic load, so a pass always sees one whole report and
    // no lock is needed (MIVO_raw_input_store, MIVO_raw_decode).
    union {
        UCHAR RawInput[8];
        volatile LONG64 RawInputWord;
    };
    KEY_STATE KeyState[KEY_STATE_COUNT];
    ULONGLONG NextMouseTime;
    ULONGLONG LastWheelTime;
    LONGLONG WheelInterval; // milliseconds, signed
    CHAR WheelStep;
    struct _LED_ENTRY *LedQueue;
    UCHAR GestureActive;
    ULONGLONG GestureTime; // milliseconds
    ULONGLONG GestureHoldStart;
    ULONGLONG GestureLastEvent;
    USHORT ReportDescriptorLength;
    PUCHAR DeviceReportDescriptor;
    USHORT DeviceReportDescriptorLength;
    PVOID HidWorkerThread;
    KEVENT NewInputEvent;
    // Set by the HID worker and, from the thread of a write request, by the
    // command channel: every change goes through InterlockedOr/InterlockedAnd so
    // that neither side loses the other's bits.
    volatile ULONG PendingReports;
    UNICODE_STRING RegistryPath;

    // The HID class driver's device object for this device and the next-lower
    // device object that USB requests go to (from HID_DEVICE_EXTENSION).
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDeviceObject;

    // What the command channel asks of the HID worker, posted from the thread
    // of a write request and taken at the start of the worker's next step
    // (MIVO_take_commands), so that the profile state, the key table and the
    // LED queue are only ever touched by the HID worker. Changed only through
    // Interlocked operations; 0 is "nothing asked". A later request of the
    // same kind replaces one not yet taken.
    LONG volatile ProfilRequest;     // MIVO_REQUEST_PRESENT | (USHORT)profile id
    LONG volatile ModeConfigRequest; // MIVO_REQUEST_PRESENT | on (0 or 1)

    // Device starts happen one at a time: the PnP start, the start a read asks
    // for and the removal's end of the workers all hold this synchronization
    // event (signalled = free) while they run.
    KEVENT StartLock;
    // 1 from the moment a read queues a start until that start has run
    // (Interlocked), so that a burst of reads queues one start.
    LONG volatile StartQueued;

    // The KeyState entries that may be in use, one bit each (bit k % 32 of
    // word k / 32): a clear bit means the entry is all zero. The pass walks
    // only these, so a profile that presses no key pays nothing for the
    // table. A keyboard bind sets the bit of each key it merges, the keyboard
    // build clears it once the entry is back at zero; a rebuild sets them all,
    // and the first build after it finds the entries at rest. HID worker.
    ULONG KeysInUse[KEY_STATE_WORDS];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The first KeyState entry from code k on that KeysInUse marks, or
// KEY_STATE_COUNT when there is none: walks the marked entries in ascending
// code order.
static inline ULONG MIVO_key_next(PDEVICE_EXTENSION dx, ULONG k)
{
    ULONG w = k / 32;
    if (w >= KEY_STATE_WORDS) {
        return KEY_STATE_COUNT;
    }
    ULONG bits = dx->KeysInUse[w] & (0xFFFFFFFFu << (k % 32));
    while (bits == 0) {
        if (++w == KEY_STATE_WORDS) {
            return KEY_STATE_COUNT;
        }
        bits = dx->KeysInUse[w];
    }
    return w * 32 + (ULONG)__builtin_ctz(bits);
}

#define MIVO_REQUEST_PRESENT 0x10000

// ---------------------------------------------------------------- context.cpp
VOID MIVO_key_clear(PDEVICE_EXTENSION dx, UCHAR Force);
// The report-state reset of a rebuild: gesture fields, PendingReports,
// RawInput, ReportState, KeyState and the mouse/wheel timing.
VOID MIVO_report_state_reset(PDEVICE_EXTENSION dx);
// Publishes one device report (Length bytes, at most 7; the rest reads 0).
VOID MIVO_raw_input_store(PDEVICE_EXTENSION dx, const UCHAR *Report, ULONG Length);
VOID MIVO_pending_set(PDEVICE_EXTENSION dx, ULONG Bits);
VOID MIVO_pending_clear(PDEVICE_EXTENSION dx, ULONG Bits);
// One atomic read of PendingReports.
ULONG MIVO_pending_get(PDEVICE_EXTENSION dx);

// DeviceState, read and written atomically from any thread.
ULONG MIVO_device_state(PDEVICE_EXTENSION dx);
VOID MIVO_device_state_set(PDEVICE_EXTENSION dx, ULONG State);

// The command channel's requests to the HID worker (any thread; they never
// wait and never wake the worker: what they ask shows at its next pass).
VOID MIVO_post_reload(PDEVICE_EXTENSION dx);
VOID MIVO_post_profil(PDEVICE_EXTENSION dx, SHORT Id);
VOID MIVO_post_mode_config(PDEVICE_EXTENSION dx, UCHAR On);
// Takes a posted reload: TRUE when one was asked since the last take (the HID
// worker then runs MIVO_InitState). HID worker.
BOOLEAN MIVO_take_reload(PDEVICE_EXTENSION dx);

