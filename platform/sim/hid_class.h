// The simulated HID class driver (C++20): what Windows' hidclass.sys does
// toward a minidriver, for tests and tools. It keeps the minidriver's
// HidRegisterMinidriver registration, makes the device object with the class
// driver's extension in front of the minidriver's, asks for the descriptors
// and attributes through the internal requests, reads the report descriptor
// itself, keeps read requests pending, sorts each delivered report to its
// collection and passes an application's writes down as HID_XFER_PACKETs.
// It talks to the minidriver only through IRPs and the dispatch table it
// saved. Driver code never includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace sim {

// ---------------------------------------------------------------- report descriptors
// One short item of a report descriptor (HID 1.11, 6.2.2.2).
struct HidItem {
    size_t offset = 0;  // of the prefix byte
    uint8_t type = 0;   // 0 main, 1 global, 2 local
    uint8_t tag = 0;    // bits 7-4 of the prefix
    uint8_t size = 0;   // data bytes: 0, 1, 2 or 4
    uint32_t data = 0;  // little-endian, zero-extended
    int32_t signed_data() const; // sign-extended from `size` bytes
};

// The items of a descriptor, or where and why it cannot be split into items
// (an item running past the end, a long item, a reserved item type).
struct HidItems {
    std::vector<HidItem> items;
    std::string error; // empty when the descriptor splits cleanly
    size_t error_offset = 0;
    bool ok() const { return error.empty(); }
};
HidItems hid_items(std::span<const uint8_t> descriptor);

// A report's length on the wire for each direction, in bytes, the report ID
// byte included when the descriptor uses report IDs; 0 when the report has no
// fields of that kind.
struct HidReport {
    uint8_t id = 0; // 0 when the descriptor uses no report IDs
    uint16_t input = 0;
    uint16_t output = 0;
    uint16_t feature = 0;
};

// A top-level (application) collection and the reports declared inside it.
struct HidCollection {
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    std::vector<HidReport> reports; // in order of first appearance
};

struct HidDescriptorInfo {
    bool report_ids = false;
    std::vector<HidCollection> collections;
    // The report of this ID and its collection's index; nullopt when unknown.
    std::optional<std::pair<size_t, HidReport>> find(uint8_t id) const;
};

// The class driver's own reading of a report descriptor: global item stack
// (push/pop), local items, collections nested to any depth, report sizes
// summed per report ID and direction. Refuses, with the offset of the item at
// fault: items that do not split, a main item outside any collection, an
// unbalanced End Collection or a collection left open, report ID 0, a report
// ID used in two top-level collections, a field with Report Size or Report
// Count missing, a report longer than the class driver accepts (65535 bytes,
// what a USHORT length says); also a report ID over a byte, a Pop without a
// Push, a reserved main item, and a field before the first Report ID of a
// descriptor that uses report IDs.
struct HidParse {
    std::optional<HidDescriptorInfo> info;
    std::string error;
    size_t error_offset = 0;
};
HidParse hid_parse_report_descriptor(std::span<const uint8_t> descriptor);

// ---------------------------------------------------------------- registration
// What the class driver kept of HidRegisterMinidriver: the registration's
// fields and the minidriver's dispatch table and AddDevice as they were at
// the call (the real class driver saves them and puts its own in their place).
struct HidMinidriver {
    PDRIVER_OBJECT driver = nullptr;
    ULONG revision = 0;
    ULONG extension_size = 0;
    bool polled = false;
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    PDRIVER_ADD_DEVICE add_device = nullptr;
};
// The last registration accepted since sim::reset(), if any.
std::optional<HidMinidriver> hid_minidriver();

// ---------------------------------------------------------------- a device of the class driver
struct HidClassOptions {
    unsigned reads = 2;       // read requests kept pending
    unsigned read_buffer = 0; // bytes of each read's buffer; 0: the longest input report
};

struct HidDelivered {
    size_t collection = 0; // index into info().collections
    std::vector<uint8_t> bytes;
    uint64_t time = 0; // interrupt time of the completion
};

struct HidWriteResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

class HidClassDevice {
public:
    // Makes the device object for the registered minidriver on top of `pdo`'s
    // stack: a HID_DEVICE_EXTENSION followed by the registered extension size,
    // zero-filled; then calls the minidriver's AddDevice when it has one.
    // status() says whether that worked (no registration: STATUS_NO_SUCH_DEVICE).
    explicit HidClassDevice(PDEVICE_OBJECT pdo, HidClassOptions options = {});
    // Stops reading, then deletes the device object.
    ~HidClassDevice();
    HidClassDevice(const HidClassDevice &) = delete;
    HidClassDevice &operator=(const HidClassDevice &) = delete;

    NTSTATUS status() const;
    PDEVICE_OBJECT device() const;
    PHID_DEVICE_EXTENSION hid_extension() const;
    template <typename T> T *mini_extension() const {
        return static_cast<T *>(hid_extension()->MiniDeviceExtension);
    }

    // ---------------------------------------------------------------- PnP and power
    // The requests the PnP and power managers send to the device's stack,
    // handed to the minidriver's dispatch routine the way the class driver
    // hands them: a new IRP per request whose current stack location is the
    // class driver's device, IoStatus.Status STATUS_NOT_SUPPORTED as the PnP
    // manager sets it, sent from the calling thread at PASSIVE_LEVEL, waited
    // for inside the kernel (so virtual time goes on while the driver waits).
    // Each returns the status the request was completed with.
    //
    // start(): IRP_MN_START_DEVICE; when it succeeds and `interrogate` is set,
    // interrogate() and start_reading() follow, as the class driver does once
    // its device has started.
    NTSTATUS start(bool interrogate = true);
    // stop(), surprise_removal() and remove() first cancel the class driver's
    // own reads and stop sending them (stop_reading()), as the class driver
    // does before it passes these down.
    NTSTATUS query_stop();
    NTSTATUS cancel_stop();
    NTSTATUS stop();
    NTSTATUS query_remove();
    NTSTATUS cancel_remove();
    NTSTATUS surprise_removal();
    NTSTATUS remove();
    // IRP_MN_QUERY_CAPABILITIES with `caps` as the PnP manager fills it before
    // sending (Size, Version 1, Address and UINumber 0xFFFFFFFF, the rest as
    // given); the driver's answer is copied back into `caps`.
    NTSTATUS query_capabilities(DEVICE_CAPABILITIES &caps);
    // Any other PnP minor code, with no parameters.
    NTSTATUS pnp(UCHAR minor);
    // IRP_MN_SET_POWER for a device power state (D0..D3) or a system one.
    NTSTATUS set_power(DEVICE_POWER_STATE state);
    NTSTATUS set_system_power(SYSTEM_POWER_STATE state);

    // What the class driver asks once the device has started:
    // IOCTL_HID_GET_DEVICE_DESCRIPTOR, IOCTL_HID_GET_DEVICE_ATTRIBUTES,
    // IOCTL_HID_GET_REPORT_DESCRIPTOR with the length the HID descriptor
    // announced, then its own parse. The first failure fails the device and
    // is returned; failure() says what it was.
    NTSTATUS interrogate();
    std::string failure() const;
    const std::vector<uint8_t> &hid_descriptor() const; // the bytes returned
    const HID_DEVICE_ATTRIBUTES &attributes() const;
    const std::vector<uint8_t> &report_descriptor() const;
    const HidDescriptorInfo &info() const; // after a successful interrogate()

    // Keeps `reads` IOCTL_HID_READ_REPORT requests with the minidriver and
    // sends each one again from its completion routine once its report is
    // taken. A read that fails is parked; resend_failed() sends the parked
    // ones again (the real class driver retries after a pause).
    void start_reading();
    void resend_failed();
    // Cancels the reads still with the minidriver and waits (real time, up to
    // `timeout_ms`) until every read is back. False when one never came back.
    bool stop_reading(unsigned timeout_ms = 2000);
    // Reads with the minidriver right now.
    size_t reads_outstanding() const;

    // Reports delivered since the last call, in the order of their
    // completions. A report whose ID the descriptor does not know, or whose
    // length is not the descriptor's input length for it, is not delivered and
    // is reported as a problem of the simulated kernel.
    std::vector<HidDelivered> take_reports();
    // Completed reads that failed, by status, since start_reading().
    size_t reads_failed() const;

    // An application's write: the report goes down as a HID_XFER_PACKET in
    // Irp->UserBuffer (reportId = its byte 0) with this control code
    // (IOCTL_HID_WRITE_REPORT, IOCTL_HID_SET_OUTPUT_REPORT, IOCTL_HID_SET_FEATURE).
    // Waits for the completion.
    HidWriteResult write(std::span<const uint8_t> report, ULONG ioctl = IOCTL_HID_WRITE_REPORT);

    struct State; // shared with the completion routines

private:
    NTSTATUS pnp_request(UCHAR minor, PDEVICE_CAPABILITIES caps);
    NTSTATUS power_request(POWER_STATE_TYPE type, POWER_STATE state);
    std::shared_ptr<State> state_;
};

} // namespace sim
