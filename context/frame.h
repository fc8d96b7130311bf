// What the translation core and the profile store need of the frame around
// them, and nothing more: the LED of the device and the hand-over of reports
// to queued reads. core/ and profiles/ include this, never hid/, usb/ or
// driver/, which implement it.
#pragma once

#include "context/context.h"

// The LED state the control application last asked for (command 0x04); one
// for the whole driver, 0 when it loads. Written by the thread of a write
// request, read by the HID worker's LED queue and by the start of the HID
// side, so it is only ever touched through Interlocked operations.
extern LONG volatile LedFlag;
static inline UCHAR MIVO_led_flag(VOID)
{
    return (UCHAR)(InterlockedCompareExchange(&LedFlag, 0, 0) != 0);
}

// Switches the device LED (hid/device_commands.cpp). PASSIVE_LEVEL.
NTSTATUS MIVO_nav_led(PDEVICE_EXTENSION dx, UCHAR On);

// Completes queued reads with pending reports, one report each
// (driver/read_queue.cpp). HID worker.
VOID MIVO_complete_pending_reads(PDEVICE_EXTENSION dx);
