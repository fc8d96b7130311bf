// What the end-to-end test application asks of mivo-vbus.sys through its
// control device, \\.\MivoVbus. Shared by the bus driver and the application.
#pragma once

#define VBUS_DEVICE_NAME L"\\Device\\MivoVbus"
#define VBUS_DOS_NAME L"\\DosDevices\\MivoVbus"
#define VBUS_USER_PATH "\\\\.\\MivoVbus"

// Start playing the trace; times count from here. Once only.
#define IOCTL_VBUS_START CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// How far playing has come, and every LED change the device saw (VBUS_STATE).
#define IOCTL_VBUS_STATE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Pull the controller off the bus: surprise removal, then removal, of the
// driver stack on it.
#define IOCTL_VBUS_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Plug it back in: a new device on the bus, which the PnP manager starts
// with the driver installed for it meanwhile.
#define IOCTL_VBUS_PLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Unload mivo.sys (ZwUnloadDriver on its service), as the PnP manager does
// once the driver's last device is gone; the status is ZwUnloadDriver's.
#define IOCTL_VBUS_UNLOAD_MIVO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define VBUS_MAX_LED_CHANGES 256

typedef struct VBUS_LED_CHANGE {
    long long t_us; // from the start request; -1 before it
    unsigned on;
    unsigned reserved;
} VBUS_LED_CHANGE;

typedef struct VBUS_STATE {
    unsigned events;        // device reports in the trace
    unsigned played;        // reached their time
    unsigned delivered;     // handed to the driver's interrupt transfers
    unsigned overruns;      // refused: the transfer's buffer did not fit the report
    unsigned present;       // the controller is on the bus
    unsigned stacked;       // a driver stack is on it: not yet removed
    unsigned configured;    // it has its configuration
    unsigned pending_reads; // interrupt transfers waiting
    unsigned led_count;
    VBUS_LED_CHANGE leds[VBUS_MAX_LED_CHANGES];
} VBUS_STATE;
