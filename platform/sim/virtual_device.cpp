// The virtual six-axis controller: its descriptors, what it answers on the
// default pipe, the report queue behind its interrupt-IN endpoint, and the
// faults a test can put it into.
#include <algorithm>
#include <cstring>

#include "platform/sim/internal.h"
#include "platform/sim/usb_internal.h"

namespace sim {
namespace {

// The controller's HID report descriptor (HID 1.11): a multi-axis controller
// with translation (report 1) and rotation (report 2) as three signed 16-bit
// axes each, two buttons (report 3), the LED (output report 4) and two vendor
// feature reports, initialisation (6) and calibration (7).
const std::vector<uint8_t> kReportDescriptor = {
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x08,       // Usage (Multi-axis Controller)
    0xA1, 0x01,       // Collection (Application)
    0xA1, 0x00,       //   Collection (Physical)
    0x85, 0x01,       //     Report ID (1): translation
    0x16, 0x0C, 0xFE, //     Logical Minimum (-500)
    0x26, 0xF4, 0x01, //     Logical Maximum (500)
    0x09, 0x30,       //     Usage (X)
    0x09, 0x31,       //     Usage (Y)
    0x09, 0x32,       //     Usage (Z)
    0x75, 0x10,       //     Report Size (16)
    0x95, 0x03,       //     Report Count (3)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)
    0xC0,             //   End Collection
    0xA1, 0x00,       //   Collection (Physical)
    0x85, 0x02,       //     Report ID (2): rotation
    0x09, 0x33,       //     Usage (Rx)
    0x09, 0x34,       //     Usage (Ry)
    0x09, 0x35,       //     Usage (Rz)
    0x81, 0x02,       //     Input (Data, Variable, Absolute): same size, count and range
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x85, 0x03,       //     Report ID (3): buttons
    0x05, 0x09,       //     Usage Page (Button)
    0x19, 0x01,       //     Usage Minimum (Button 1)
    0x29, 0x02,       //     Usage Maximum (Button 2)
    0x15, 0x00,       //     Logical Minimum (0)
    0x25, 0x01,       //     Logical Maximum (1)
    0x75, 0x01,       //     Report Size (1)
    0x95, 0x02,       //     Report Count (2)
    0x81, 0x02,       //     Input (Data, Variable, Absolute)
    0x95, 0x2E,       //     Report Count (46)
    0x81, 0x03,       //     Input (Constant, Variable, Absolute): padding to six bytes, as long
                      //     as the axis reports, since every interrupt report is 7 bytes
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x85, 0x04,       //     Report ID (4): LED
    0x05, 0x08,       //     Usage Page (LEDs)
    0x09, 0x4B,       //     Usage (Generic Indicator)
    0x95, 0x01,       //     Report Count (1)
    0x91, 0x02,       //     Output (Data, Variable, Absolute)
    0x95, 0x07,       //     Report Count (7)
    0x91, 0x03,       //     Output (Constant, Variable, Absolute): padding to a byte
    0xC0,             //   End Collection
    0xA1, 0x02,       //   Collection (Logical)
    0x06, 0x00, 0xFF, //     Usage Page (Vendor Defined 0xFF00)
    0x26, 0xFF, 0x00, //     Logical Maximum (255)
    0x75, 0x08,       //     Report Size (8)
    0x95, 0x01,       //     Report Count (1)
    0x85, 0x06,       //     Report ID (6): initialisation
    0x09, 0x01,       //     Usage (Vendor 1)
    0xB1, 0x02,       //     Feature (Data, Variable, Absolute)
    0x85, 0x07,       //     Report ID (7): calibration
    0x09, 0x02,       //     Usage (Vendor 2)
    0xB1, 0x02,       //     Feature (Data, Variable, Absolute)
    0xC0,             //   End Collection
    0xC0,             // End Collection
};

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

std::vector<uint8_t> make_device_descriptor(const UsbDeviceOptions &o) {
    std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    put16(d, 0x0200); // bcdUSB 2.0
    d.insert(d.end(), {0x00, 0x00, 0x00, 8}); // class per interface, bMaxPacketSize0 8
    put16(d, o.vendor);
    put16(d, o.product);
    put16(d, o.version);
    d.insert(d.end(), {1, 2, 0, 1}); // manufacturer and product strings, no serial, one configuration
    return d;
}

std::vector<uint8_t> make_configuration_descriptor(const UsbDeviceOptions &o, size_t report_length) {
    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, uint8_t(o.interface ? 1 : 0), 1, 0,
                              0xA0, 50}; // bus powered, remote wake-up, 100 mA
    if (o.interface) {
        int pipes = std::clamp(o.pipes, 0, 3);
        // Interface 0: HID, no boot subclass, no protocol.
        d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, uint8_t(pipes), 0x03, 0x00, 0x00, 0});
        // HID class descriptor: HID 1.11, one report descriptor.
        d.insert(d.end(), {9, 0x21, 0x11, 0x01, 0x00, 1, 0x22});
        put16(d, uint16_t(report_length));
        const uint8_t endpoints[3][2] = {{kUsbReportEndpoint, 8}, {0x02, 8}, {0x83, 16}};
        for (int i = 0; i < pipes; ++i) {
            d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoints[i][0], 0x03});
            put16(d, kUsbMaxPacket);
            d.push_back(endpoints[i][1]); // bInterval, ms
        }
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

std::vector<uint8_t> string_descriptor(const std::u16string &s) {
    std::vector<uint8_t> d = {uint8_t(2 + 2 * s.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : s)
        put16(d, uint16_t(c));
    return d;
}

std::vector<uint8_t> axes_report(uint8_t id, int16_t x, int16_t y, int16_t z) {
    std::vector<uint8_t> r = {id};
    put16(r, uint16_t(x));
    put16(r, uint16_t(y));
    put16(r, uint16_t(z));
    return r;
}

} // namespace

bool is_get_descriptor(const std::array<uint8_t, 8> &setup, uint8_t type) {
    return (setup[0] & 0x80) && setup[1] == 0x06 && setup[3] == type;
}

bool is_set_report(const std::array<uint8_t, 8> &setup) { return setup[0] == 0x21 && setup[1] == 0x09; }

// ---------------------------------------------------------------- device behaviour
std::vector<USB_ENDPOINT_DESCRIPTOR> UsbDevice::Impl::endpoints() const {
    std::vector<USB_ENDPOINT_DESCRIPTOR> out;
    const std::vector<uint8_t> &c = configuration_descriptor;
    for (size_t p = 0; p + 2 <= c.size() && c[p] != 0; p += c[p])
        if (c[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p + sizeof(USB_ENDPOINT_DESCRIPTOR) <= c.size()) {
            USB_ENDPOINT_DESCRIPTOR e;
            std::memcpy(&e, &c[p], sizeof e);
            out.push_back(e);
        }
    return out;
}

USBD_STATUS UsbDevice::Impl::control(const std::array<uint8_t, 8> &setup, std::vector<uint8_t> &data) {
    bool in = setup[0] & 0x80;
    uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    uint16_t length = uint16_t(setup[6] | setup[7] << 8);
    USBD_STATUS status = USBD_STATUS_SUCCESS;

    if (fault != ControlFault::None && fault_count != 0 && (!fault_filter || fault_filter(setup))) {
        if (fault_count > 0)
            --fault_count;
        status = fault == ControlFault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING;
        if (in)
            data.clear();
    } else if (in && setup[1] == 0x06) { // GET_DESCRIPTOR
        const std::vector<uint8_t> *src = nullptr;
        std::vector<uint8_t> text;
        uint8_t type = uint8_t(value >> 8), index = uint8_t(value);
        if (setup[0] == 0x80 && type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
            src = &device_descriptor;
        else if (setup[0] == 0x80 && type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
            src = &configuration_descriptor;
        else if (setup[0] == 0x80 && type == USB_STRING_DESCRIPTOR_TYPE && index <= 2) {
            text = index == 0 ? std::vector<uint8_t>{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}
                   : index == 1 ? string_descriptor(u"mivo")
                                : string_descriptor(u"Virtual six-axis controller");
            src = &text;
        } else if (setup[0] == 0x81 && type == 0x22 && setup[4] == 0 && options.interface)
            src = &report_descriptor;
        if (!src) {
            status = USBD_STATUS_STALL_PID;
            data.clear();
        } else {
            size_t n = std::min({size_t(length), data.size(), src->size()});
            data.assign(src->begin(), src->begin() + n);
        }
    } else if (!in && is_set_report(setup)) {
        uint8_t type = uint8_t(value >> 8), id = uint8_t(value);
        if (data.empty() || data[0] != id || (type != 2 && type != 3)) {
            status = USBD_STATUS_STALL_PID;
        } else if (type == 2 && id == 4) {
            bool on = data.size() >= 2 && data[1] != 0;
            if (on != led || led_log.empty())
                led_log.push_back({on, KeQueryInterruptTime()});
            led = on;
        } else if (type == 2) {
            status = USBD_STATUS_STALL_PID; // report 4 is the only output report
        }
        // Feature reports are taken whatever their ID: the device ignores the unknown ones.
    } else if (!in && setup[0] == 0x21 && (setup[1] == 0x0A || setup[1] == 0x0B)) {
        // SET_IDLE, SET_PROTOCOL: accepted.
    } else if (setup[0] == 0x00 && setup[1] == 0x09) {
        configured = value != 0; // SET_CONFIGURATION
    } else {
        status = USBD_STATUS_STALL_PID;
        if (in)
            data.clear();
    }

    ControlTransfer t;
    t.setup = setup;
    t.data = data;
    t.in = in;
    t.status = status;
    t.time = KeQueryInterruptTime();
    transfers.push_back(std::move(t));
    return status;
}

void UsbDevice::Impl::deliver() {
    for (;;) {
        PIRP irp = nullptr;
        std::vector<uint8_t> report;
        {
            std::lock_guard g(mu);
            if (silent || !plugged || reports.empty())
                return;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->endpoint != kUsbReportEndpoint)
                    continue;
                // Whoever swaps the armed routine for NULL owns the read; when
                // it is NULL already, the cancel routine has it.
                if (!IoSetCancelRoutine(it->irp, nullptr))
                    continue;
                irp = it->irp;
                pending.erase(it);
                break;
            }
            if (!irp)
                return;
            report = std::move(reports.front());
            reports.pop_front();
            if (short_length && report.size() > short_length)
                report.resize(short_length);
        }
        usb::complete_read(irp, report);
        cv.notify_all();
    }
}

void UsbDevice::Impl::fail_pending(USBD_STATUS usbd, NTSTATUS status, uint8_t endpoint) {
    (void)status;
    std::vector<PIRP> taken;
    {
        std::lock_guard g(mu);
        for (auto it = pending.begin(); it != pending.end();) {
            if ((endpoint == 0 || it->endpoint == endpoint) && IoSetCancelRoutine(it->irp, nullptr)) {
                taken.push_back(it->irp);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PIRP irp : taken)
        usb::complete_urb(irp, usbd);
    cv.notify_all();
}

// ---------------------------------------------------------------- the test's side
UsbDevice::UsbDevice(UsbDeviceOptions options) : impl_(std::make_unique<Impl>()) {
    Impl &d = *impl_;
    d.options = std::move(options);
    d.report_descriptor = d.options.report_descriptor.empty() ? kReportDescriptor : d.options.report_descriptor;
    d.device_descriptor = make_device_descriptor(d.options);
    d.configuration_descriptor = make_configuration_descriptor(d.options, d.report_descriptor.size());
    usb::init_bus_driver(d.driver);
    d.pdo = io::create_own_device(d.driver, sizeof(Impl *), FILE_DEVICE_USB);
    *static_cast<Impl **>(d.pdo->DeviceExtension) = &d;
    d.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
}

UsbDevice::~UsbDevice() {
    impl_->fail_pending(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    io::delete_own_device(impl_->pdo);
}

PDEVICE_OBJECT UsbDevice::pdo() const { return impl_->pdo; }

const std::vector<uint8_t> &UsbDevice::standard_report_descriptor() { return kReportDescriptor; }
std::vector<uint8_t> UsbDevice::device_descriptor() const { return impl_->device_descriptor; }
std::vector<uint8_t> UsbDevice::configuration_descriptor() const { return impl_->configuration_descriptor; }
std::vector<uint8_t> UsbDevice::report_descriptor() const { return impl_->report_descriptor; }

void UsbDevice::push_report(std::vector<uint8_t> report) {
    {
        std::lock_guard g(impl_->mu);
        impl_->reports.push_back(std::move(report));
    }
    impl_->deliver();
}

void UsbDevice::push_translation(int16_t x, int16_t y, int16_t z) { push_report(axes_report(1, x, y, z)); }
void UsbDevice::push_rotation(int16_t x, int16_t y, int16_t z) { push_report(axes_report(2, x, y, z)); }
void UsbDevice::push_buttons(uint8_t bits) { push_report({3, uint8_t(bits & 0x03), 0, 0, 0, 0, 0}); }

size_t UsbDevice::queued_reports() const {
    std::lock_guard g(impl_->mu);
    return impl_->reports.size();
}

size_t UsbDevice::pending_reads() const {
    std::lock_guard g(impl_->mu);
    return impl_->pending.size();
}

bool UsbDevice::wait_pending_reads(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lk(impl_->mu);
    return impl_->cv.wait_for(lk, timeout, [&] { return impl_->pending.size() >= n; });
}

std::vector<ControlTransfer> UsbDevice::control_transfers() const {
    std::lock_guard g(impl_->mu);
    return impl_->transfers;
}

std::vector<ControlTransfer> UsbDevice::set_reports() const {
    std::lock_guard g(impl_->mu);
    std::vector<ControlTransfer> out;
    std::copy_if(impl_->transfers.begin(), impl_->transfers.end(), std::back_inserter(out),
                 [](const ControlTransfer &t) { return is_set_report(t.setup); });
    return out;
}

std::vector<UrbSeen> UsbDevice::urbs() const {
    std::lock_guard g(impl_->mu);
    return impl_->urbs;
}

bool UsbDevice::led() const {
    std::lock_guard g(impl_->mu);
    return impl_->led;
}

std::vector<LedChange> UsbDevice::led_log() const {
    std::lock_guard g(impl_->mu);
    return impl_->led_log;
}

std::vector<LedChange> UsbDevice::led_log_since(size_t first) const {
    std::lock_guard g(impl_->mu);
    if (first >= impl_->led_log.size())
        return {};
    return std::vector<LedChange>(impl_->led_log.begin() + std::ptrdiff_t(first), impl_->led_log.end());
}

int UsbDevice::port_status_queries() const {
    std::lock_guard g(impl_->mu);
    return impl_->status_queries;
}

int UsbDevice::port_resets() const {
    std::lock_guard g(impl_->mu);
    return impl_->resets;
}

bool UsbDevice::configured() const {
    std::lock_guard g(impl_->mu);
    return impl_->configured;
}

void UsbDevice::clear_records() {
    std::lock_guard g(impl_->mu);
    impl_->transfers.clear();
    impl_->urbs.clear();
    impl_->led_log.clear();
    impl_->status_queries = 0;
    impl_->resets = 0;
}

void UsbDevice::unplug() {
    {
        std::lock_guard g(impl_->mu);
        impl_->plugged = false;
        impl_->enabled = false;
        impl_->configured = false;
    }
    impl_->fail_pending(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
}

void UsbDevice::plug() {
    std::lock_guard g(impl_->mu);
    impl_->plugged = true;
}

bool UsbDevice::plugged() const {
    std::lock_guard g(impl_->mu);
    return impl_->plugged;
}

void UsbDevice::disable_port() {
    std::lock_guard g(impl_->mu);
    impl_->enabled = false;
}

void UsbDevice::port_reset_keeps_disabled(bool on) {
    std::lock_guard g(impl_->mu);
    impl_->reset_keeps_disabled = on;
}

bool UsbDevice::port_enabled() const {
    std::lock_guard g(impl_->mu);
    return impl_->enabled;
}

void UsbDevice::fail_control(ControlFault fault, std::function<bool(const std::array<uint8_t, 8> &)> which,
                             int count) {
    std::lock_guard g(impl_->mu);
    impl_->fault = fault;
    impl_->fault_filter = std::move(which);
    impl_->fault_count = count;
}

void UsbDevice::short_reports(size_t bytes) {
    std::lock_guard g(impl_->mu);
    impl_->short_length = bytes;
}

void UsbDevice::halt_interrupt_endpoint() {
    {
        std::lock_guard g(impl_->mu);
        impl_->halted = true;
    }
    impl_->fail_pending(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
}

bool UsbDevice::interrupt_endpoint_halted() const {
    std::lock_guard g(impl_->mu);
    return impl_->halted;
}

void UsbDevice::silence(bool on) {
    {
        std::lock_guard g(impl_->mu);
        impl_->silent = on;
    }
    impl_->deliver();
}

} // namespace sim
