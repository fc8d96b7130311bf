// The simulated HID class driver: HidRegisterMinidriver and the class
// driver's side of one device. As hidclass.sys does, registration takes over
// the minidriver's driver object: the class driver's routines go into its
// dispatch table and AddDevice, the minidriver's own are kept in the
// registration, and every request the class driver makes reaches the
// minidriver by a direct call of the kept routine on the next stack location.
//
// Reads are kept going the way the class driver's ping-pong reads are: each
// read IRP is sent again from its own completion routine once its report is
// taken. A read the minidriver completes before its dispatch routine has
// returned is sent again by the sending loop instead, so a minidriver that
// always has a report ready does not make the stack grow without end.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/sim/hid_class.h"
#include "platform/sim/internal.h"
#include "platform/sim/io_internal.h"

namespace sim::io {
NTSTATUS call_dispatch(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine); // io_manager.cpp
}

namespace sim {
namespace {

// ---------------------------------------------------------------- registrations
struct Registrations {
    std::mutex mu;
    std::map<PDRIVER_OBJECT, HidMinidriver> drivers;
    std::optional<HidMinidriver> last;
};

Registrations &registrations() {
    static Registrations *r = new Registrations; // outlives static destructors of test binaries
    return *r;
}

const internal::Registrar registrar(
    [] {
        std::lock_guard g(registrations().mu);
        registrations().drivers.clear();
        registrations().last.reset();
    },
    [](std::vector<std::string> &) {});

std::optional<HidMinidriver> registration_of(PDRIVER_OBJECT driver) {
    std::lock_guard g(registrations().mu);
    auto it = registrations().drivers.find(driver);
    if (it == registrations().drivers.end())
        return std::nullopt;
    return it->second;
}

std::string hex32(ULONG v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// The majors hidclass.sys takes over in a minidriver's driver object.
constexpr UCHAR kClassMajors[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                                  IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                  IRP_MJ_POWER,          IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP};

// A request sent to a class device object reaches the minidriver's own routine.
NTSTATUS NTAPI class_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    std::optional<HidMinidriver> mini = registration_of(device->DriverObject);
    PDRIVER_DISPATCH routine = mini && major <= IRP_MJ_MAXIMUM_FUNCTION ? mini->major[major] : nullptr;
    if (!routine) {
        report_problem("HID class driver: request of major " + hex32(major) +
                       " for a device whose driver is not a registered minidriver");
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return routine(device, irp);
}

// The device object hidclass.sys makes for a new device: its own extension in
// front of the minidriver's, attached on top of the PDO's stack, then the
// minidriver's AddDevice.
NTSTATUS add_device(const HidMinidriver &mini, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *out) {
    *out = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(mini.driver, sizeof(HID_DEVICE_EXTENSION) + mini.extension_size, nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto *hx = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
    hx->PhysicalDeviceObject = pdo;
    hx->NextDeviceObject = lower;
    hx->MiniDeviceExtension = hx + 1;
    fdo->Flags |= DO_DEVICE_INITIALIZING;
    if (mini.add_device) {
        status = mini.add_device(mini.driver, fdo);
        if (!NT_SUCCESS(status)) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
            return status;
        }
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *out = fdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI class_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::optional<HidMinidriver> mini = registration_of(driver);
    if (!mini)
        return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT fdo;
    return add_device(*mini, pdo, &fdo);
}

// ---------------------------------------------------------------- requests
// One request of the class driver's, sent and waited for.
struct SyncDone {
    KEVENT event;
};

NTSTATUS NTAPI sync_done(PDEVICE_OBJECT, PIRP, PVOID context) {
    // Only an event here: completers may run at DISPATCH_LEVEL.
    KeSetEvent(&static_cast<SyncDone *>(context)->event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct SyncResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends one new IRP to the minidriver's routine for `major`, its stack
// location filled by `fill`, and waits for it inside the kernel.
template <typename Fill> SyncResult send_irp(PDEVICE_OBJECT device, PDRIVER_DISPATCH routine, Fill fill) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    fill(irp, sp);
    SyncDone done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, sync_done, &done, TRUE, TRUE, TRUE);
    if (!routine) {
        report_problem("HID class driver: the minidriver has no routine for major " + hex32(sp->MajorFunction));
        IoFreeIrp(irp);
        return {STATUS_INVALID_DEVICE_REQUEST, 0};
    }
    io::call_dispatch(device, irp, routine);
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    SyncResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return result;
}

SyncResult send_sync(PDEVICE_OBJECT device, PDRIVER_DISPATCH routine, ULONG ioctl, PVOID user_buffer,
                     ULONG output_length, ULONG input_length) {
    return send_irp(device, routine, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = ioctl;
        sp->Parameters.DeviceIoControl.OutputBufferLength = output_length;
        sp->Parameters.DeviceIoControl.InputBufferLength = input_length;
        irp->UserBuffer = user_buffer;
    });
}

const char *ioctl_name(ULONG ioctl) {
    switch (ioctl) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return "IOCTL_HID_GET_DEVICE_DESCRIPTOR";
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        return "IOCTL_HID_GET_DEVICE_ATTRIBUTES";
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return "IOCTL_HID_GET_REPORT_DESCRIPTOR";
    default:
        return "request";
    }
}

// Where a ping-pong read stands between its sender and its completion routine.
enum : LONG { kIdle, kSending, kSent, kCompletedWhileSending };

} // namespace

std::optional<HidMinidriver> hid_minidriver() {
    std::lock_guard g(registrations().mu);
    return registrations().last;
}

// ---------------------------------------------------------------- the device
struct HidClassDevice::State {
    struct Read {
        State *state = nullptr;
        PIRP irp = nullptr;
        std::vector<uint8_t> buffer;
        std::mutex prepare; // IRP set-up and IoCancelIrp never overlap
        LONG interlock = kIdle;
        bool resend = false; // the completion's verdict, for a sender whose read came back at once
        // Guarded by State::mu:
        bool out = false;
        bool parked = false;
    };

    HidClassOptions options;
    HidMinidriver mini;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_SUCCESS;

    // Interrogation: the test's thread, before any read is sent.
    std::string failure;
    std::vector<uint8_t> hid_descriptor;
    HID_DEVICE_ATTRIBUTES attributes{};
    std::vector<uint8_t> report_descriptor;
    std::optional<HidDescriptorInfo> info;

    std::vector<std::unique_ptr<Read>> reads; // made by the first start_reading()

    mutable std::mutex mu;
    std::condition_variable cv;
    bool reading = false;
    size_t outstanding = 0;
    size_t failed = 0;
    std::vector<HidDelivered> delivered;

    PDRIVER_DISPATCH internal_dispatch() const { return mini.major[IRP_MJ_INTERNAL_DEVICE_CONTROL]; }
    void submit(Read &r);
    void take(Read &r, NTSTATUS status, ULONG_PTR information);
};

namespace {

NTSTATUS NTAPI read_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto &r = *static_cast<HidClassDevice::State::Read *>(context);
    HidClassDevice::State &s = *r.state;
    s.take(r, irp->IoStatus.Status, irp->IoStatus.Information);
    if (InterlockedCompareExchange(&r.interlock, kCompletedWhileSending, kSending) == kSending)
        return STATUS_MORE_PROCESSING_REQUIRED; // the sender is still in the dispatch call and resends
    if (r.resend)
        s.submit(r);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

void HidClassDevice::State::submit(Read &r) {
    for (;;) {
        {
            std::lock_guard g(mu);
            if (!reading || r.out)
                return;
            r.out = true;
            r.parked = false;
            ++outstanding;
        }
        {
            std::lock_guard g(r.prepare);
            IoReuseIrp(r.irp, STATUS_SUCCESS);
            PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(r.irp);
            sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
            sp->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(r.buffer.size());
            r.irp->UserBuffer = r.buffer.data();
            IoSetCompletionRoutine(r.irp, read_done, &r, TRUE, TRUE, TRUE);
            r.resend = false;
            InterlockedExchange(&r.interlock, kSending);
        }
        io::call_dispatch(device, r.irp, internal_dispatch());
        if (InterlockedCompareExchange(&r.interlock, kSent, kSending) == kSending)
            return; // still with the minidriver: its completion routine resends
        if (!r.resend)
            return;
    }
}

void HidClassDevice::State::take(Read &r, NTSTATUS status, ULONG_PTR information) {
    std::string problem;
    {
        std::lock_guard g(mu);
        r.out = false;
        --outstanding;
        if (NT_SUCCESS(status)) {
            size_t n = std::min<size_t>(information, r.buffer.size());
            std::vector<uint8_t> bytes(r.buffer.begin(), r.buffer.begin() + n);
            uint8_t id = info->report_ids && n ? bytes[0] : 0;
            auto found = info->find(id);
            if (information > r.buffer.size())
                problem = "read of " + std::to_string(r.buffer.size()) + " bytes completed with Information " +
                          std::to_string(information);
            else if (!found || !found->second.input)
                problem = "report ID " + std::to_string(id) + " is no input report of the report descriptor";
            else if (n != found->second.input)
                problem = "input report " + std::to_string(id) + " of " + std::to_string(n) +
                          " bytes, the report descriptor says " + std::to_string(found->second.input);
            else
                delivered.push_back({found->first, std::move(bytes), KeQueryInterruptTime()});
            r.resend = reading;
        } else if (status != STATUS_CANCELLED) {
            ++failed;
            r.parked = true;
        }
    }
    cv.notify_all();
    if (!problem.empty())
        report_problem("HID class driver: " + problem);
}

HidClassDevice::HidClassDevice(PDEVICE_OBJECT pdo, HidClassOptions options) : state_(std::make_shared<State>()) {
    State &s = *state_;
    s.options = options;
    std::optional<HidMinidriver> mini = hid_minidriver();
    if (!mini) {
        s.status = STATUS_NO_SUCH_DEVICE;
        s.failure = "no minidriver registered";
        return;
    }
    s.mini = *mini;
    s.status = add_device(s.mini, pdo, &s.device);
    if (!NT_SUCCESS(s.status))
        s.failure = "AddDevice failed with " + hex32(static_cast<ULONG>(s.status));
}

HidClassDevice::~HidClassDevice() {
    State &s = *state_;
    if (!s.device)
        return;
    if (stop_reading()) {
        for (auto &r : s.reads)
            IoFreeIrp(r->irp);
    } else {
        // A read the minidriver never gave back may still complete: its
        // completion routine must find the state, and the IRP stays for the
        // verifier to report.
        new std::shared_ptr<State>(state_);
    }
    delete_device(s.device);
    s.device = nullptr;
}

NTSTATUS HidClassDevice::status() const { return state_->status; }
PDEVICE_OBJECT HidClassDevice::device() const { return state_->device; }
PHID_DEVICE_EXTENSION HidClassDevice::hid_extension() const {
    return state_->device ? static_cast<PHID_DEVICE_EXTENSION>(state_->device->DeviceExtension) : nullptr;
}
std::string HidClassDevice::failure() const { return state_->failure; }
const std::vector<uint8_t> &HidClassDevice::hid_descriptor() const { return state_->hid_descriptor; }
const HID_DEVICE_ATTRIBUTES &HidClassDevice::attributes() const { return state_->attributes; }
const std::vector<uint8_t> &HidClassDevice::report_descriptor() const { return state_->report_descriptor; }
const HidDescriptorInfo &HidClassDevice::info() const {
    static const HidDescriptorInfo none;
    return state_->info ? *state_->info : none;
}

NTSTATUS HidClassDevice::interrogate() {
    State &s = *state_;
    if (!s.device)
        return s.status;
    auto fail = [&](NTSTATUS status, std::string why) {
        s.status = status;
        s.failure = std::move(why);
        return status;
    };
    auto failed_request = [&](ULONG ioctl, NTSTATUS status) {
        return fail(status, std::string(ioctl_name(ioctl)) + " failed with " + hex32(static_cast<ULONG>(status)));
    };

    HID_DESCRIPTOR hd{};
    SyncResult r = send_sync(s.device, s.internal_dispatch(), IOCTL_HID_GET_DEVICE_DESCRIPTOR, &hd, sizeof hd, 0);
    if (!NT_SUCCESS(r.status))
        return failed_request(IOCTL_HID_GET_DEVICE_DESCRIPTOR, r.status);
    auto *hd_bytes = reinterpret_cast<const uint8_t *>(&hd);
    s.hid_descriptor.assign(hd_bytes, hd_bytes + std::min<size_t>(r.information, sizeof hd));
    if (r.information < sizeof hd || hd.bLength < sizeof hd)
        return fail(STATUS_DEVICE_DATA_ERROR, "HID descriptor of " + std::to_string(r.information) +
                                                  " bytes, bLength " + std::to_string(hd.bLength));
    if (hd.bDescriptorType != 0x21 || hd.bNumDescriptors < 1 || hd.DescriptorList[0].bReportType != 0x22 ||
        hd.DescriptorList[0].wReportLength == 0)
        return fail(STATUS_DEVICE_DATA_ERROR, "HID descriptor announces no report descriptor");

    HID_DEVICE_ATTRIBUTES attributes{};
    r = send_sync(s.device, s.internal_dispatch(), IOCTL_HID_GET_DEVICE_ATTRIBUTES, &attributes, sizeof attributes,
                  0);
    if (!NT_SUCCESS(r.status))
        return failed_request(IOCTL_HID_GET_DEVICE_ATTRIBUTES, r.status);
    s.attributes = attributes;

    USHORT length = hd.DescriptorList[0].wReportLength;
    std::vector<uint8_t> descriptor(length);
    r = send_sync(s.device, s.internal_dispatch(), IOCTL_HID_GET_REPORT_DESCRIPTOR, descriptor.data(), length, 0);
    if (!NT_SUCCESS(r.status))
        return failed_request(IOCTL_HID_GET_REPORT_DESCRIPTOR, r.status);
    s.report_descriptor.assign(descriptor.begin(), descriptor.begin() + std::min<size_t>(r.information, length));
    if (r.information != length)
        return fail(STATUS_DEVICE_DATA_ERROR, "report descriptor of " + std::to_string(r.information) +
                                                  " bytes, the HID descriptor announced " + std::to_string(length));

    HidParse parse = hid_parse_report_descriptor(s.report_descriptor);
    if (!parse.info)
        return fail(STATUS_DEVICE_DATA_ERROR, "report descriptor does not parse: " + parse.error + " at offset " +
                                                  std::to_string(parse.error_offset));
    s.info = std::move(parse.info);
    return STATUS_SUCCESS;
}

void HidClassDevice::start_reading() {
    State &s = *state_;
    if (!s.device || !s.info) {
        report_problem("HID class driver: start_reading() before a successful interrogate()");
        return;
    }
    if (s.reads.empty()) {
        size_t length = s.options.read_buffer;
        if (!length)
            for (const HidCollection &c : s.info->collections)
                for (const HidReport &report : c.reports)
                    length = std::max<size_t>(length, report.input);
        for (unsigned i = 0; i < s.options.reads; ++i) {
            auto r = std::make_unique<State::Read>();
            r->state = &s;
            r->irp = IoAllocateIrp(s.device->StackSize, FALSE);
            if (!r->irp)
                continue; // the pool said no: fewer reads, as the class driver would keep
            r->buffer.assign(length, 0);
            s.reads.push_back(std::move(r));
        }
    }
    std::vector<State::Read *> idle;
    {
        std::lock_guard g(s.mu);
        if (s.reading)
            return;
        s.reading = true;
        s.failed = 0;
        for (auto &r : s.reads)
            if (!r->out)
                idle.push_back(r.get());
    }
    // One read at a time, each let run its course (in virtual time: until
    // every scheduled thread waits again): a read that finds the device
    // stopped starts it on a work item, and what the started workers do
    // before the next read arrives is then the same on every run.
    for (State::Read *r : idle) {
        s.submit(*r);
        clock_settle();
    }
}

void HidClassDevice::resend_failed() {
    State &s = *state_;
    std::vector<State::Read *> parked;
    {
        std::lock_guard g(s.mu);
        for (auto &r : s.reads)
            if (r->parked && !r->out)
                parked.push_back(r.get());
    }
    for (State::Read *r : parked)
        s.submit(*r);
}

bool HidClassDevice::stop_reading(unsigned timeout_ms) {
    State &s = *state_;
    {
        std::lock_guard g(s.mu);
        s.reading = false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Again each round: a read on its way down when the last round looked
        // had no cancel routine yet.
        for (auto &r : s.reads) {
            std::lock_guard prepare(r->prepare);
            bool out;
            {
                std::lock_guard g(s.mu);
                out = r->out;
            }
            if (out)
                IoCancelIrp(r->irp);
        }
        std::unique_lock lk(s.mu);
        auto round = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        if (s.cv.wait_until(lk, round, [&] { return s.outstanding == 0; }))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

size_t HidClassDevice::reads_outstanding() const {
    std::lock_guard g(state_->mu);
    return state_->outstanding;
}

std::vector<HidDelivered> HidClassDevice::take_reports() {
    std::lock_guard g(state_->mu);
    return std::exchange(state_->delivered, {});
}

size_t HidClassDevice::reads_failed() const {
    std::lock_guard g(state_->mu);
    return state_->failed;
}

HidWriteResult HidClassDevice::write(std::span<const uint8_t> report, ULONG ioctl) {
    State &s = *state_;
    if (!s.device)
        return {s.status, 0};
    std::vector<uint8_t> bytes(report.begin(), report.end());
    HID_XFER_PACKET packet{};
    packet.reportBuffer = bytes.data();
    packet.reportBufferLen = static_cast<ULONG>(bytes.size());
    packet.reportId = bytes.empty() ? 0 : bytes[0];
    // The packet goes in UserBuffer whatever the control code's method says,
    // as the class driver sends it.
    SyncResult r = send_sync(s.device, s.internal_dispatch(), ioctl, &packet, 0, sizeof packet);
    return {r.status, r.information};
}

// ---------------------------------------------------------------- PnP and power
NTSTATUS HidClassDevice::pnp_request(UCHAR minor, PDEVICE_CAPABILITIES caps) {
    State &s = *state_;
    if (!s.device)
        return s.status;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        report_problem("HID class driver: PnP request sent above PASSIVE_LEVEL");
    SyncResult r = send_irp(s.device, s.mini.major[IRP_MJ_PNP], [&](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_PNP;
        sp->MinorFunction = minor;
        sp->Parameters.DeviceCapabilities.Capabilities = caps;
    });
    return r.status;
}

NTSTATUS HidClassDevice::start(bool interrogate_after) {
    NTSTATUS status = pnp_request(IRP_MN_START_DEVICE, nullptr);
    if (!NT_SUCCESS(status) || !interrogate_after)
        return status;
    status = interrogate();
    if (NT_SUCCESS(status))
        start_reading();
    return status;
}

NTSTATUS HidClassDevice::query_stop() { return pnp_request(IRP_MN_QUERY_STOP_DEVICE, nullptr); }
NTSTATUS HidClassDevice::cancel_stop() { return pnp_request(IRP_MN_CANCEL_STOP_DEVICE, nullptr); }
NTSTATUS HidClassDevice::query_remove() { return pnp_request(IRP_MN_QUERY_REMOVE_DEVICE, nullptr); }
NTSTATUS HidClassDevice::cancel_remove() { return pnp_request(IRP_MN_CANCEL_REMOVE_DEVICE, nullptr); }
NTSTATUS HidClassDevice::pnp(UCHAR minor) { return pnp_request(minor, nullptr); }

// The class driver takes its own reads back before the device goes away
// from under them.
NTSTATUS HidClassDevice::stop() {
    stop_reading();
    return pnp_request(IRP_MN_STOP_DEVICE, nullptr);
}

NTSTATUS HidClassDevice::surprise_removal() {
    stop_reading();
    return pnp_request(IRP_MN_SURPRISE_REMOVAL, nullptr);
}

NTSTATUS HidClassDevice::remove() {
    stop_reading();
    return pnp_request(IRP_MN_REMOVE_DEVICE, nullptr);
}

NTSTATUS HidClassDevice::query_capabilities(DEVICE_CAPABILITIES &caps) {
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    return pnp_request(IRP_MN_QUERY_CAPABILITIES, &caps);
}

NTSTATUS HidClassDevice::power_request(POWER_STATE_TYPE type, POWER_STATE state) {
    State &s = *state_;
    if (!s.device)
        return s.status;
    SyncResult r = send_irp(s.device, s.mini.major[IRP_MJ_POWER], [&](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_POWER;
        sp->MinorFunction = IRP_MN_SET_POWER;
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    });
    return r.status;
}

NTSTATUS HidClassDevice::set_power(DEVICE_POWER_STATE state) {
    POWER_STATE p{};
    p.DeviceState = state;
    return power_request(DevicePowerState, p);
}

NTSTATUS HidClassDevice::set_system_power(SYSTEM_POWER_STATE state) {
    POWER_STATE p{};
    p.SystemState = state;
    return power_request(SystemPowerState, p);
}

namespace internal {

void hid_unregister(PDRIVER_OBJECT driver) {
    std::lock_guard g(registrations().mu);
    registrations().drivers.erase(driver);
    if (registrations().last && registrations().last->driver == driver)
        registrations().last.reset();
}

} // namespace internal
} // namespace sim

// ---------------------------------------------------------------- registration
extern "C" NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION MinidriverRegistration) {
    using namespace sim;
    if (!MinidriverRegistration)
        return STATUS_INVALID_PARAMETER;
    if (MinidriverRegistration->Revision != HID_REVISION)
        return STATUS_REVISION_MISMATCH;
    PDRIVER_OBJECT driver = MinidriverRegistration->DriverObject;
    if (!driver || !driver->DriverExtension)
        return STATUS_INVALID_PARAMETER;

    std::lock_guard g(registrations().mu);
    auto earlier = registrations().drivers.find(driver);
    HidMinidriver m;
    m.driver = driver;
    m.revision = MinidriverRegistration->Revision;
    m.extension_size = MinidriverRegistration->DeviceExtensionSize;
    m.polled = MinidriverRegistration->DevicesArePolled != FALSE;
    // A second registration of the same driver object finds the class
    // driver's own routines in the table: the minidriver's are the ones kept
    // the first time.
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        PDRIVER_DISPATCH f = driver->MajorFunction[i];
        if (f == class_dispatch)
            f = earlier != registrations().drivers.end() ? earlier->second.major[i] : nullptr;
        m.major[i] = f;
    }
    PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
    if (add == class_add_device)
        add = earlier != registrations().drivers.end() ? earlier->second.add_device : nullptr;
    m.add_device = add;
    for (UCHAR major : kClassMajors)
        driver->MajorFunction[major] = class_dispatch;
    driver->DriverExtension->AddDevice = class_add_device;
    registrations().drivers[driver] = m;
    registrations().last = m;
    return STATUS_SUCCESS;
}
