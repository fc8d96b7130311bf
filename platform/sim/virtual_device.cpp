// The virtual six-axis controller: its descriptors, what it answers on the
// default pipe, the report queue behind its interrupt-IN endpoint, and the
// faults a test can put it into.
#include <algorithm>
#include <cstring>

#include "platform/controller/controller.h"
#include "platform/sim/internal.h"
#include "platform/sim/usb_internal.h"

namespace sim {
namespace {

controller::Shape shape_of(const UsbDeviceOptions &o, size_t report_length) {
    return controller::Shape{o.pipes, o.interface, o.vendor, o.product, o.version, ULONG(report_length)};
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
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
    USBD_STATUS status;
    if (fault != ControlFault::None && fault_count != 0 && (!fault_filter || fault_filter(setup))) {
        if (fault_count > 0)
            --fault_count;
        status = fault == ControlFault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING;
        if (in)
            data.clear();
    } else {
        controller::State state{led, configured, 0};
        ULONG length = ULONG(data.size());
        status = controller::Control(setup.data(), data.data(), &length,
                                     shape_of(options, report_descriptor.size()), report_descriptor.data(), &state);
        if (in)
            data.resize(length);
        if (state.led_writes && (state.led != led || led_log.empty()))
            led_log.push_back({state.led, KeQueryInterruptTime()});
        led = state.led;
        configured = state.configured;
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
    d.report_descriptor = d.options.report_descriptor.empty() ? standard_report_descriptor()
                                                              : d.options.report_descriptor;
    controller::Shape shape = shape_of(d.options, d.report_descriptor.size());
    uint8_t bytes[controller::kMaxConfigurationBytes];
    d.device_descriptor.assign(bytes, bytes + controller::DeviceDescriptor(shape, bytes));
    d.configuration_descriptor.assign(bytes, bytes + controller::ConfigurationDescriptor(shape, bytes));
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

const std::vector<uint8_t> &UsbDevice::standard_report_descriptor() {
    static const std::vector<uint8_t> bytes(controller::kReportDescriptor,
                                            controller::kReportDescriptor + controller::kReportDescriptorBytes);
    return bytes;
}
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
