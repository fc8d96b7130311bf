// Test-facing side of the simulated I/O and power managers (C++20): driver
// and device objects, requests built, sent, observed and cancelled the way an
// upper driver or the HID class driver would, and what the power manager was
// told. Driver code never includes this.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace sim {

// ---------------------------------------------------------------- driver objects
// A DRIVER_OBJECT with its DRIVER_EXTENSION and name. Every MajorFunction
// starts as the I/O manager's default, which fails the request with
// STATUS_INVALID_DEVICE_REQUEST. Lives as long as this owner.
class DriverObject {
public:
    explicit DriverObject(std::u16string name = u"\\Driver\\mivo");
    ~DriverObject();
    DriverObject(const DriverObject &) = delete;
    DriverObject &operator=(const DriverObject &) = delete;

    PDRIVER_OBJECT get() { return &state_->object; }
    operator PDRIVER_OBJECT() { return get(); }
    // The driver's service key path, as DriverEntry receives it.
    PUNICODE_STRING registry_path() { return &state_->registry_path; }

private:
    struct State {
        DRIVER_OBJECT object{};
        DRIVER_EXTENSION extension{};
        std::u16string name;
        std::u16string service;
        UNICODE_STRING registry_path{};
    };
    std::unique_ptr<State> state_;
};

// A driver loaded as the I/O manager loads a kernel service: the driver
// object \Driver\<service>, the service key
// \Registry\Machine\System\CurrentControlSet\Services\<service> in the
// simulated registry (made, with an empty Layout subkey, when missing: what an
// install leaves), and the entry point called at PASSIVE_LEVEL with the driver
// object and the key's path. The driver stays loaded while its registration
// with the HID class driver is in use; unload() calls DriverUnload (when the
// entry succeeded and set one) and reports a problem for every device object
// the driver still has. The destructor unloads when unload() was not called.
class LoadedDriver {
public:
    explicit LoadedDriver(PDRIVER_INITIALIZE entry, std::u16string service = u"mivo");
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver &) = delete;
    LoadedDriver &operator=(const LoadedDriver &) = delete;

    NTSTATUS status() const; // what the entry point returned
    PDRIVER_OBJECT get();
    PUNICODE_STRING registry_path();
    void unload();
    bool loaded() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------- device objects
// IoCreateDevice (extension zero-filled) and, when `attach_to` is given,
// IoAttachDeviceToDeviceStack onto it; DO_DEVICE_INITIALIZING is cleared.
// Returns nullptr when the pool refuses the object.
PDEVICE_OBJECT create_device(PDRIVER_OBJECT driver, ULONG extension_size, PDEVICE_OBJECT attach_to = nullptr,
                             ULONG device_type = FILE_DEVICE_UNKNOWN);
// IoDetachDevice from the device it is attached to (if any), then IoDeleteDevice.
void delete_device(PDEVICE_OBJECT device);
// The device object `device` was attached to (IoAttachDeviceToDeviceStack's
// result), or nullptr.
PDEVICE_OBJECT attached_to(PDEVICE_OBJECT device);

// The device object the HID class driver makes for a minidriver: its extension
// is a HID_DEVICE_EXTENSION followed by `mini_extension_size` zeroed bytes;
// MiniDeviceExtension points at those, PhysicalDeviceObject is `pdo` and
// NextDeviceObject the device it got attached to (the top of pdo's stack).
PDEVICE_OBJECT create_hid_device(PDRIVER_OBJECT minidriver, ULONG mini_extension_size, PDEVICE_OBJECT pdo);
PHID_DEVICE_EXTENSION hid_extension(PDEVICE_OBJECT hid_device);
// MiniDeviceExtension of a device made by create_hid_device, typed as the caller wants.
template <typename T> T *mini_extension(PDEVICE_OBJECT hid_device) {
    return static_cast<T *>(hid_extension(hid_device)->MiniDeviceExtension);
}

// ---------------------------------------------------------------- requests
// What a Request carries into the stack location its target sees.
struct RequestSpec {
    UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    UCHAR minor = 0;
    ULONG ioctl = 0;                // Parameters.DeviceIoControl.IoControlCode (device-control majors)
    std::vector<uint8_t> input;     // InputBufferLength bytes
    ULONG output_length = 0;        // OutputBufferLength bytes, zero-filled
    CCHAR stack_size = 0;           // 0: the target's StackSize
};

// One IRP from IoAllocateIrp, owned by the test the way an upper driver owns
// the IRPs it allocates: a completion routine of the owner's sits in the
// target's stack location (invoked on success, error and cancel) and takes the
// IRP back with STATUS_MORE_PROCESSING_REQUIRED, recording what came back.
//
// Buffers, by the control code's method (device-control majors):
//   METHOD_NEITHER  Type3InputBuffer = input, UserBuffer = output (the HID
//                   class driver's internal requests: UserBuffer of
//                   OutputBufferLength bytes for IOCTL_HID_READ_REPORT);
//   METHOD_BUFFERED AssociatedIrp.SystemBuffer holds the input, and on
//                   completion its first Information bytes are copied to output;
//   DIRECT methods  SystemBuffer = input, UserBuffer = output (no MDLs here).
// Other majors get UserBuffer = output, SystemBuffer = input when given.
//
// Freed (IoFreeIrp) on destruction when it is back with the test; one still
// in a driver's hands is left to the verifier, which reports it as never
// completed.
class Request {
public:
    Request(PDEVICE_OBJECT target, RequestSpec params = {});
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    // False when the pool refused the IRP (or a buffer).
    bool valid() const { return irp_ != nullptr; }
    PIRP irp() const { return irp_; }
    PDEVICE_OBJECT target() const { return target_; }
    // The stack location the target sees (the next one until sent, the
    // current one while the target holds it), to set further parameters:
    // Parameters.Others.Argument1, Parameters.Power, UserBuffer via irp(), ...
    PIO_STACK_LOCATION location() const;

    std::vector<uint8_t> &input() { return input_; }
    std::vector<uint8_t> &output() { return output_; }

    // IofCallDriver(target, irp): the dispatch routine's result.
    NTSTATUS send();
    // PoCallDriver for power requests.
    NTSTATUS send_power();
    // Makes the current stack location the target's (DeviceObject set), as
    // IofCallDriver would, without calling the dispatch routine: for tests that
    // call a driver's queue routine directly.
    void point_at_target();
    // IoCancelIrp: true when a cancel routine was called.
    bool cancel();
    // Sets IoStatus and completes the request from the current location, as the
    // driver holding it would (IofCompleteRequest).
    void complete(NTSTATUS status, ULONG_PTR information = 0);

    // Completions that came back to the test, plus completions the verifier
    // refused because the request was already back: 2 after a double completion.
    int completions() const;
    bool completed() const { return completions() > 0; }
    // Waits (real time) until the request has come back; false on time-out.
    bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
    // IoStatus and PendingReturned as the request came back.
    NTSTATUS status() const;
    ULONG_PTR information() const;
    bool pending_returned() const;
    // Still in a driver's hands (sent, not yet back).
    bool outstanding() const;

    struct Observer; // shared with the I/O manager

private:
    PIRP irp_ = nullptr;
    PDEVICE_OBJECT target_ = nullptr;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    PVOID system_buffer_ = nullptr;
    ULONG method_ = METHOD_NEITHER;
    std::shared_ptr<Observer> observer_;
};

// ---------------------------------------------------------------- verifier
// IRPs handed out by the I/O manager and not yet freed, and those of them
// that are in a driver's hands.
size_t irps_live();
size_t irps_outstanding();
// Whether the I/O manager still knows this IRP (false after it was freed, or
// after sim::reset()).
bool irp_live(PIRP irp);

// ---------------------------------------------------------------- power manager
struct PowerStateSet {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    ULONG state; // SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
};
// Every PoSetPowerState since reset, in order.
std::vector<PowerStateSet> power_states_set();
// PoStartNextPowerIrp calls since reset.
int power_start_next_calls();
// PoCallDriver calls since reset.
int power_call_driver_calls();

} // namespace sim
