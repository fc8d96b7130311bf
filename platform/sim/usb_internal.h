// Shared between the virtual controller and the simulated USB bus driver that
// serves it. Not for driver code, not for tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/sim/io_internal.h"
#include "platform/sim/usb_device.h"

#ifndef USBD_STATUS_BUFFER_OVERRUN
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#endif
#ifndef USBD_STATUS_ERROR_SHORT_TRANSFER
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900L)
#endif

namespace sim {

struct UsbDevice::Impl {
    UsbDeviceOptions options;
    std::vector<uint8_t> device_descriptor;
    std::vector<uint8_t> configuration_descriptor;
    std::vector<uint8_t> report_descriptor;

    sim::DriverObject driver{u"\\Driver\\simusbhub"};
    PDEVICE_OBJECT pdo = nullptr;

    mutable std::mutex mu;
    mutable std::condition_variable cv;
    bool plugged = true;
    bool enabled = true;
    bool reset_keeps_disabled = false;
    bool configured = false;
    bool silent = false;
    bool halted = false; // the interrupt IN endpoint
    size_t short_length = 0;
    ControlFault fault = ControlFault::None;
    std::function<bool(const std::array<uint8_t, 8> &)> fault_filter;
    int fault_count = -1;

    std::deque<std::vector<uint8_t>> reports;
    struct PendingRead {
        PIRP irp;
        uint8_t endpoint;
    };
    std::deque<PendingRead> pending;

    std::vector<ControlTransfer> transfers;
    std::vector<UrbSeen> urbs;
    std::vector<LedChange> led_log;
    bool led = false;
    int status_queries = 0;
    int resets = 0;

    // Endpoint descriptors of the interface, in order.
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints() const;

    // Answers one control transfer (setup packet, data stage in `data`):
    // returns the USBD status and, for IN transfers, the bytes sent back.
    // Called with `mu` held.
    USBD_STATUS control(const std::array<uint8_t, 8> &setup, std::vector<uint8_t> &data);

    // Hands queued reports to pending reads on the report pipe while both
    // last; completes outside the lock.
    void deliver();
    // Completes every pending read (those of `endpoint`, or all when 0) with
    // the given statuses.
    void fail_pending(USBD_STATUS usbd, NTSTATUS status, uint8_t endpoint = 0);
};

namespace usb {

// The bus driver's dispatch routines for the PDO.
void init_bus_driver(PDRIVER_OBJECT driver);
// The NTSTATUS the bus driver returns for a USBD status.
NTSTATUS nt_status(USBD_STATUS usbd);
// Completes an interrupt read with the given report bytes (already cut to
// what the device sends), or fails it when it cannot take them.
void complete_read(PIRP irp, const std::vector<uint8_t> &report);
void complete_urb(PIRP irp, USBD_STATUS usbd);
// Pipe handles: the default pipe's, and those of the interface's endpoints.
USBD_PIPE_HANDLE pipe_handle(uint8_t endpoint_address);
inline const USBD_CONFIGURATION_HANDLE kConfigurationHandle =
    reinterpret_cast<USBD_CONFIGURATION_HANDLE>(uintptr_t(0xC0F1));
inline const USBD_INTERFACE_HANDLE kInterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t(0x1F00));

} // namespace usb
} // namespace sim
