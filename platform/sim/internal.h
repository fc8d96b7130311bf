// Shared internals of the simulated kernel's components (executive, I/O
// manager, USB bus, registry, HID class). Not for driver code, not for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"
#include "platform/sim/sim.h"

namespace sim::internal {

// Components hook into sim::reset() and sim::problems(). Register from a
// static initialiser of the component's own file.
struct Registrar {
    Registrar(std::function<void()> on_reset, std::function<void(std::vector<std::string> &)> on_check);
};

// Spin locks held by the calling thread (the cancel spin lock included): the
// I/O verifier refuses a completion made while one is held.
int spin_locks_held();

// Handles: the one table behind ZwClose. Each kind gives a close function;
// handles still open at sim::problems() time are reported.
enum class HandleKind { Thread, RegistryKey };
HANDLE handle_open(HandleKind kind, void *object, std::function<void(void *)> on_close);
void *handle_lookup(HANDLE h, HandleKind kind); // nullptr when not open or of another kind

// UTF-8 for text the simulator shows (trace lines, registry names); the
// conversions of whole strings are public (sim.h).
void append_utf8(std::string &out, char32_t c);

// A queued work item holds its device object, as IoQueueWorkItem does: the
// object outlives IoDeleteDevice until the item's routine has returned.
void device_reference(PDEVICE_OBJECT device);
void device_dereference(PDEVICE_OBJECT device);

// The HID class driver forgets a minidriver's registration (its driver was
// unloaded, or its entry point failed).
void hid_unregister(PDRIVER_OBJECT driver);

// Pool bookkeeping for allocations made by the simulated kernel itself on the
// driver's behalf (IRPs, URBs from USBD_CreateConfigurationRequestEx): they go
// through ExAllocatePoolWithTag like the driver's own, and count against the
// site of the caller's call. A kernel routine that allocates for its caller
// holds one of these for its whole run, made with __builtin_return_address(0);
// the outermost one on a thread wins.
class PoolSiteOfCaller {
public:
    explicit PoolSiteOfCaller(const void *caller);
    ~PoolSiteOfCaller();
    PoolSiteOfCaller(const PoolSiteOfCaller &) = delete;
    PoolSiteOfCaller &operator=(const PoolSiteOfCaller &) = delete;

private:
    bool outer_;
};

} // namespace sim::internal
