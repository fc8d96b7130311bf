// Test-facing side of the I/O manager: driver objects, device objects (the
// HID class driver's kind included) and requests that a test owns the way an
// upper driver owns the IRPs it allocates.
#include <algorithm>
#include <cstring>

#include "platform/sim/internal.h"
#include "platform/sim/io_internal.h"

namespace sim {

namespace {

NTSTATUS NTAPI request_came_back(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *o = static_cast<Request::Observer *>(context);
    {
        std::lock_guard g(o->mu);
        ++o->returned;
        o->status = irp->IoStatus.Status;
        o->information = irp->IoStatus.Information;
        o->pending_returned = irp->PendingReturned != FALSE;
        if (o->system_buffer && o->output && NT_SUCCESS(irp->IoStatus.Status))
            std::memcpy(o->output, o->system_buffer, std::min<size_t>(irp->IoStatus.Information, o->output_length));
    }
    o->cv.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void init_unicode(UNICODE_STRING &u, std::u16string &text) {
    u.Buffer = text.data();
    u.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    u.MaximumLength = static_cast<USHORT>(u.Length + sizeof(char16_t));
}

} // namespace

// ---------------------------------------------------------------- driver objects
DriverObject::DriverObject(std::u16string name) : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.name = std::move(name);
    std::u16string base = s.name.substr(s.name.find_last_of(u'\\') + 1);
    s.service = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + base;
    io::init_driver_object(&s.object);
    s.object.DriverExtension = &s.extension;
    s.extension.DriverObject = &s.object;
    init_unicode(s.object.DriverName, s.name);
    init_unicode(s.registry_path, s.service);
    s.extension.ServiceKeyName = s.object.DriverName;
}

DriverObject::~DriverObject() = default;

// ---------------------------------------------------------------- device objects
PDEVICE_OBJECT create_device(PDRIVER_OBJECT driver, ULONG extension_size, PDEVICE_OBJECT attach_to,
                             ULONG device_type) {
    PDEVICE_OBJECT d = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, extension_size, nullptr, device_type, 0, FALSE, &d)))
        return nullptr;
    if (attach_to && !IoAttachDeviceToDeviceStack(d, attach_to)) {
        IoDeleteDevice(d);
        return nullptr;
    }
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
}

void delete_device(PDEVICE_OBJECT device) {
    if (PDEVICE_OBJECT lower = attached_to(device))
        IoDetachDevice(lower);
    IoDeleteDevice(device);
}

PDEVICE_OBJECT create_hid_device(PDRIVER_OBJECT minidriver, ULONG mini_extension_size, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT d = create_device(minidriver, sizeof(HID_DEVICE_EXTENSION) + mini_extension_size, pdo);
    if (!d)
        return nullptr;
    auto *hx = static_cast<PHID_DEVICE_EXTENSION>(d->DeviceExtension);
    hx->PhysicalDeviceObject = pdo;
    hx->NextDeviceObject = attached_to(d);
    hx->MiniDeviceExtension = hx + 1;
    return d;
}

PHID_DEVICE_EXTENSION hid_extension(PDEVICE_OBJECT hid_device) {
    return static_cast<PHID_DEVICE_EXTENSION>(hid_device->DeviceExtension);
}

// ---------------------------------------------------------------- requests
Request::Request(PDEVICE_OBJECT target, RequestSpec params)
    : target_(target), input_(std::move(params.input)), output_(params.output_length, 0),
      observer_(std::make_shared<Observer>()) {
    CCHAR stack = params.stack_size ? params.stack_size : target->StackSize;
    irp_ = IoAllocateIrp(stack, FALSE);
    if (!irp_)
        return;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = params.major;
    sp->MinorFunction = params.minor;
    PVOID in = input_.empty() ? nullptr : input_.data();
    PVOID out = output_.empty() ? nullptr : output_.data();
    bool control = params.major == IRP_MJ_DEVICE_CONTROL || params.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (control) {
        sp->Parameters.DeviceIoControl.IoControlCode = params.ioctl;
        sp->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input_.size());
        sp->Parameters.DeviceIoControl.OutputBufferLength = params.output_length;
        method_ = params.ioctl & 3;
    }
    if (control && method_ == METHOD_BUFFERED) {
        size_t n = std::max(input_.size(), output_.size());
        if (n) {
            system_buffer_ = ExAllocatePoolWithTag(NonPagedPool, n, 0);
            if (!system_buffer_) {
                IoFreeIrp(irp_);
                irp_ = nullptr;
                return;
            }
            std::memset(system_buffer_, 0, n);
            if (in)
                std::memcpy(system_buffer_, in, input_.size());
        }
        irp_->AssociatedIrp.SystemBuffer = system_buffer_;
        observer_->system_buffer = system_buffer_;
        observer_->output = output_.empty() ? nullptr : output_.data();
        observer_->output_length = output_.size();
    } else if (control && method_ == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp_->UserBuffer = out;
    } else {
        irp_->AssociatedIrp.SystemBuffer = in;
        irp_->UserBuffer = out;
    }
    IoSetCompletionRoutine(irp_, request_came_back, observer_.get(), TRUE, TRUE, TRUE);
    io::observe(irp_, observer_);
}

Request::~Request() {
    // A request still in a driver's hands cannot be taken back: the verifier
    // reports it, and sim::reset() forgets it with the pool.
    if (irp_ && irp_live(irp_) && !outstanding()) {
        IoFreeIrp(irp_);
        if (system_buffer_)
            ExFreePoolWithTag(system_buffer_, 0);
    }
}

PIO_STACK_LOCATION Request::location() const {
    if (irp_->CurrentLocation > irp_->StackCount)
        return IoGetNextIrpStackLocation(irp_);
    return reinterpret_cast<PIO_STACK_LOCATION>(irp_ + 1) + (irp_->StackCount - 1);
}

NTSTATUS Request::send() { return IofCallDriver(target_, irp_); }

NTSTATUS Request::send_power() { return PoCallDriver(target_, irp_); }

void Request::point_at_target() {
    irp_->CurrentLocation--;
    irp_->Tail.Overlay.CurrentStackLocation--;
    IoGetCurrentIrpStackLocation(irp_)->DeviceObject = target_;
    io::mark_sent(irp_);
}

bool Request::cancel() { return IoCancelIrp(irp_) != FALSE; }

void Request::complete(NTSTATUS status, ULONG_PTR information) {
    irp_->IoStatus.Status = status;
    irp_->IoStatus.Information = information;
    IofCompleteRequest(irp_, IO_NO_INCREMENT);
}

int Request::completions() const {
    std::lock_guard g(observer_->mu);
    return observer_->returned + observer_->refused;
}

bool Request::wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lk(observer_->mu);
    return observer_->cv.wait_for(lk, timeout, [&] { return observer_->returned > 0; });
}

NTSTATUS Request::status() const {
    std::lock_guard g(observer_->mu);
    return observer_->status;
}

ULONG_PTR Request::information() const {
    std::lock_guard g(observer_->mu);
    return observer_->information;
}

bool Request::pending_returned() const {
    std::lock_guard g(observer_->mu);
    return observer_->pending_returned;
}

bool Request::outstanding() const { return irp_ && io::in_stack(irp_); }

} // namespace sim
