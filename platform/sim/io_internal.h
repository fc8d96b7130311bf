// Shared between the simulated I/O manager, power manager and USB bus driver.
// Not for driver code, not for tests.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/sim/io.h"

#ifndef STATUS_INVALID_DEVICE_REQUEST
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#endif

namespace sim {

// What came back of a test's Request: written by its completion routine and
// by the verifier when it refuses a completion.
struct Request::Observer {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    int returned = 0; // completions that reached the owner
    int refused = 0;  // completions refused because the request was already back
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    bool pending_returned = false;
    // Buffered control requests: where the output comes back to.
    const void *system_buffer = nullptr;
    uint8_t *output = nullptr;
    size_t output_length = 0;
};

namespace io {

// A device object outside the pool, for the simulated kernel's own drivers
// (the USB bus): a test that keeps a virtual device alive across its checks
// must not see the bus's objects as leaked pool. Deleted by delete_own_device.
PDEVICE_OBJECT create_own_device(PDRIVER_OBJECT driver, ULONG extension_size, ULONG device_type);
void delete_own_device(PDEVICE_OBJECT device);

// Fills a driver object's dispatch table with the default routine.
void init_driver_object(PDRIVER_OBJECT driver);

// Ties a test's observer to an IRP so refused completions are counted.
void observe(PIRP irp, std::shared_ptr<Request::Observer> observer);

// The IRP is now in a driver's hands although no IofCallDriver took it there
// (a test pointed its current location at a device).
void mark_sent(PIRP irp);
// In a driver's hands: sent and not yet back with its creator.
bool in_stack(PIRP irp);

// Names an IRP in a problem: pointer, major function and control code of the
// stack location it was sent with.
std::string describe(PIRP irp);

} // namespace io
} // namespace sim
