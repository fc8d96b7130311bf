// The LED feedback queue: timed blink entries that the HID worker's step
// advances by the clock, and the patterns that show the driver's events.
#include "profiles/profiles.h"
#include "context/frame.h"
#include "platform/trace.h"

/*
 * MIVO_Led_Queue_Add - append one blink entry at the tail of LedQueue.
 * Times are milliseconds. An entry that cannot be allocated is left out and
 * the rest of the pattern still runs. No result.
 * HID worker: the queue has no lock, and the command channel's patterns are
 * started where the worker takes its commands.
 */
VOID MIVO_Led_Queue_Add(PDEVICE_EXTENSION dx, LONG Duration, LONG OnTime, LONG OffTime)
{
    LED_ENTRY *entry = (LED_ENTRY *)ExAllocatePool(NonPagedPool, sizeof(LED_ENTRY));
    if (entry == NULL) {
        MIVO_TRACE_LEAVE("ExAllocatePool Error");
        return;
    }
    RtlZeroMemory(entry, sizeof(*entry));

    if (dx->LedQueue == NULL) {
        dx->LedQueue = entry;
    } else {
        LED_ENTRY *last = dx->LedQueue;
        while (last->Next != NULL) {
            last = last->Next;
        }
        last->Next = entry;
    }

    // A zero Next_Toggle makes the entry act at the very first tick.
    entry->Phase_On = 0;
    entry->Start_Time = 0;
    entry->Next_Toggle = 0;
    entry->Duration = Duration;
    entry->On_Time = OnTime;
    entry->Off_Time = OffTime;
}

/*
 * MIVO_Led_Queue_Clear - free every entry; LedQueue becomes empty.
 * The LED keeps whatever it shows until the next entry's first tick.
 * HID worker, or the removal path once the worker has ended.
 */
VOID MIVO_Led_Queue_Clear(PDEVICE_EXTENSION dx)
{
    LED_ENTRY *entry = dx->LedQueue;
    dx->LedQueue = NULL;

    while (entry != NULL) {
        LED_ENTRY *next = entry->Next;
        ExFreePoolWithTag(entry, 0);
        entry = next;
    }
}

/*
 * MIVO_Led_Queue_Run - one tick of the head entry.
 * Toggles the phase when its time has come; an entry's end is noticed only at
 * a change of phase, so its last phase may outlast Duration by up to one
 * phase. Called once per worker pass while LedQueue is not empty. HID worker.
 */
VOID MIVO_Led_Queue_Run(PDEVICE_EXTENSION dx)
{
    ULONGLONG now = KeQueryInterruptTime();
    LED_ENTRY *entry = dx->LedQueue;

    if (entry == NULL || now <= entry->Next_Toggle) {
        return;
    }

    if (entry->Start_Time == 0) {
        entry->Start_Time = now;
    }

    if (entry->Start_Time + (ULONGLONG)entry->Duration * MS_TO_INTERRUPT_TIME >= now) {
        entry->Phase_On = entry->Phase_On ? 0 : 1;
        MIVO_nav_led(dx, (UCHAR)(entry->Phase_On && MIVO_led_flag()));
        entry->Next_Toggle =
            now + (ULONGLONG)(entry->Phase_On ? entry->On_Time : entry->Off_Time) * MS_TO_INTERRUPT_TIME;
        return;
    }

    // The next entry goes on from the phase this one ended in, so its first
    // toggle gives the opposite one and the blinking alternates across entries.
    if (entry->Next != NULL) {
        entry->Next->Phase_On = entry->Phase_On;
    }
    dx->LedQueue = entry->Next;
    ExFreePoolWithTag(entry, 0);
    MIVO_nav_led(dx, MIVO_led_flag());
}

/*
 * MIVO_Led_Show_Reload - the profile state was rebuilt: three entries that
 * blink faster and faster over about 1.5 s. End of InitState (HID worker).
 */
VOID MIVO_Led_Show_Reload(PDEVICE_EXTENSION dx)
{
    MIVO_Led_Queue_Clear(dx);
    MIVO_Led_Queue_Add(dx, 500, 250, 125);
    MIVO_Led_Queue_Add(dx, 500, 150, 75);
    MIVO_Led_Queue_Add(dx, 500, 100, 50);
}

/*
 * MIVO_Led_Show_Config - the configuration mode or the profile gesture is on:
 * short flashes, 100 ms on, 500 ms off, for a second. The callers start it
 * again whenever the queue runs empty. HID worker.
 */
VOID MIVO_Led_Show_Config(PDEVICE_EXTENSION dx)
{
    MIVO_Led_Queue_Clear(dx);
    MIVO_Led_Queue_Add(dx, 1000, 100, 500);
}

/*
 * MIVO_Led_Show_Config_End - the configuration mode or the profile gesture
 * ended: half a second of flicker. HID worker (the gesture, and command 0xFF
 * "off" as MIVO_take_commands takes it).
 */
VOID MIVO_Led_Show_Config_End(PDEVICE_EXTENSION dx)
{
    MIVO_Led_Queue_Clear(dx);
    MIVO_Led_Queue_Add(dx, 500, 50, 100);
}

/*
 * MIVO_Led_Show_Profil - a profile was selected: two blinks.
 * HID worker (every selection runs there, by command too).
 */
VOID MIVO_Led_Show_Profil(PDEVICE_EXTENSION dx)
{
    MIVO_Led_Queue_Clear(dx);
    MIVO_Led_Queue_Add(dx, 500, 125, 125);
}
