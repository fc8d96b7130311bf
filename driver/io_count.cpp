// Request counting: IoCount holds one reference for the device itself (taken
// at device addition) and one for each PnP, power or internal-request
// dispatch routine at work on the device context. The remove handler gives
// back its own and the device's reference and waits on RemoveEvent, which the
// last one out signals, before the HID class driver frees the context.
#include "driver/driver.h"

/*
 * MIVO_io_increment - takes a reference to the device context for the length
 * of a dispatch routine. Returns STATUS_SUCCESS, or STATUS_DELETE_PENDING
 * once the device is removed, in which case no reference is held. Any
 * thread, IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS MIVO_io_increment(PDEVICE_EXTENSION dx)
{
    // Counted before DeviceState is looked at: a remove handler that sets
    // DEVICE_STATE_REMOVED and then drains the count either waits for this
    // reference or is seen here and refused.
    InterlockedIncrement(&dx->IoCount);

    if (MIVO_device_state(dx) == DEVICE_STATE_REMOVED) {
        // The remove handler may already be waiting for the count to reach
        // zero; this refusal can be what gets it there.
        MIVO_io_decrement(dx);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

/*
 * MIVO_io_decrement - gives back a reference taken by MIVO_io_increment (or
 * the device's own, at removal). Signals RemoveEvent when none is left. Any
 * thread, IRQL <= DISPATCH_LEVEL.
 */
VOID MIVO_io_decrement(PDEVICE_EXTENSION dx)
{
    if (InterlockedDecrement(&dx->IoCount) == 0) {
        KeSetEvent(&dx->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}
