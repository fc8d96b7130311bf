// The virtual six-axis controller on its simulated USB port (C++20): the bus
// driver's device object that answers the driver's internal USB requests, the
// device's descriptors, the interrupt-IN report queue, the record of every
// control transfer, the LED, and the fault modes. Driver code never includes
// this.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/controller/controller.h"
#include "platform/kernel.h"

namespace sim {

// Identity and endpoints of the virtual controller (platform/controller).
constexpr uint16_t kUsbVendorId = controller::kVendorId;
constexpr uint16_t kUsbProductId = controller::kProductId;
constexpr uint16_t kUsbDeviceVersion = controller::kDeviceVersion;
constexpr uint8_t kUsbReportEndpoint = controller::kReportEndpoint;
// The handle the bus driver gives the default pipe.
inline const USBD_PIPE_HANDLE kUsbDefaultPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xD0F0));

struct UsbDeviceOptions {
    int pipes = 1;              // endpoints in the interface, 0..3
    bool interface = true;      // false: a configuration without any interface (wTotalLength 9)
    std::vector<uint8_t> report_descriptor; // empty: the controller's own
    uint16_t vendor = kUsbVendorId;
    uint16_t product = kUsbProductId;
    uint16_t version = kUsbDeviceVersion;
};

// One control transfer as the device saw it.
struct ControlTransfer {
    std::array<uint8_t, 8> setup{};
    std::vector<uint8_t> data; // OUT: the bytes sent; IN: the bytes returned
    bool in = false;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint64_t time = 0; // interrupt time
};

struct LedChange {
    bool on = false;
    uint64_t time = 0; // interrupt time when the SET_REPORT arrived
};

// One URB as the bus driver received it (every function, also refused ones).
struct UrbSeen {
    USHORT function = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG length = 0; // transfer buffer length as submitted
    USBD_STATUS status = USBD_STATUS_SUCCESS; // what the bus driver answered (PENDING while it waits)
};

enum class ControlFault {
    None,
    Stall,         // USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL
    NotResponding, // USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL
};

class UsbDevice {
public:
    explicit UsbDevice(UsbDeviceOptions options = {});
    // Completes what still waits (interrupt reads) with device-gone and deletes
    // the bus device object.
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    // The bus driver's device object (the PDO): attach the driver's stack to it.
    PDEVICE_OBJECT pdo() const;

    // ---------------------------------------------------------------- descriptors
    static const std::vector<uint8_t> &standard_report_descriptor();
    std::vector<uint8_t> device_descriptor() const;        // 18 bytes
    std::vector<uint8_t> configuration_descriptor() const; // wTotalLength bytes
    std::vector<uint8_t> report_descriptor() const;

    // ---------------------------------------------------------------- interrupt IN
    // Queues one report (report ID first); a pending read on the report pipe
    // completes with it at once, on the calling thread.
    void push_report(std::vector<uint8_t> report);
    void push_translation(int16_t x, int16_t y, int16_t z); // report 1
    void push_rotation(int16_t x, int16_t y, int16_t z);    // report 2
    void push_buttons(uint8_t bits);                        // report 3
    size_t queued_reports() const;
    // Interrupt reads waiting for a report (on any pipe).
    size_t pending_reads() const;
    // Waits (real time) until at least `n` interrupt reads are pending.
    bool wait_pending_reads(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;

    // ---------------------------------------------------------------- what the device saw
    // Every control transfer on the wire, in order: the GET_DESCRIPTOR requests
    // the bus builds for descriptor URBs (setup 80 06 index type lang wLength,
    // wLength = the URB's buffer length), the SET_CONFIGURATION of a
    // select-configuration URB (00 09 01 00 ...), and the driver's own.
    std::vector<ControlTransfer> control_transfers() const;
    // Only the SET_REPORT requests (class, host to device, bRequest 0x09).
    std::vector<ControlTransfer> set_reports() const;
    std::vector<UrbSeen> urbs() const;
    bool led() const;
    std::vector<LedChange> led_log() const;
    // The LED changes from the `first`-th on: what came since a caller last
    // looked, without copying the whole log.
    std::vector<LedChange> led_log_since(size_t first) const;
    int port_status_queries() const;
    int port_resets() const;
    bool configured() const;
    void clear_records(); // control transfers, URBs, LED log and the counters

    // ---------------------------------------------------------------- faults
    // Unplugged: the port reads not connected, every request fails with
    // USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED, and pending reads
    // complete that way at once. Plugging back in leaves the port disabled and
    // the device unconfigured until a port reset and a new configuration.
    void unplug();
    void plug();
    bool plugged() const;
    // The port reads connected but not enabled; transfers get no answer
    // (USBD_STATUS_DEV_NOT_RESPONDING). A port reset enables it again...
    void disable_port();
    // ...unless this is set: the reset succeeds but the port stays disabled.
    void port_reset_keeps_disabled(bool on);
    bool port_enabled() const;
    // Control transfers for which `which` (given the setup packet) is true, or
    // all of them when it is empty, fail that way. `count` of them (-1: until
    // cleared with ControlFault::None).
    void fail_control(ControlFault fault, std::function<bool(const std::array<uint8_t, 8> &)> which = {},
                      int count = -1);
    // Every report delivered from now on is cut to `bytes` (0: whole again).
    void short_reports(size_t bytes);
    // A halted interrupt endpoint: every read on the report pipe fails with
    // USBD_STATUS_STALL_PID / STATUS_UNSUCCESSFUL, the pending ones at once,
    // until URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL on that pipe or a new
    // configuration clears the halt (a SET_CONFIGURATION resets every
    // endpoint's halt, USB 2.0 9.4.5).
    void halt_interrupt_endpoint();
    bool interrupt_endpoint_halted() const;
    // Silence: the device sends nothing; reads pend until aborted or until
    // silence ends, pushed reports wait in the queue.
    void silence(bool on);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Setup packets of the requests the driver sends, for fail_control filters.
bool is_get_descriptor(const std::array<uint8_t, 8> &setup, uint8_t type);
bool is_set_report(const std::array<uint8_t, 8> &setup);

} // namespace sim
