#include "tools/lib/simulation.h"

#include <memory>

#include "driver/driver.h"
#include "hid/hid.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "profiles/profiles.h"

namespace mivo::tools {

namespace {

constexpr uint64_t kStepMs = 10;      // the HID worker's longest wait between steps
constexpr uint64_t kTailMs = 1000;    // how long a session runs on after its last report

class Session;

// The reader's read requests: IRPs it allocated itself, as the HID class driver
// does, each with a buffer and a completion routine of the reader's.
struct ReadSlot {
    Session *session = nullptr;
    PIRP irp = nullptr;
    std::vector<uint8_t> buffer;
};

// The minidriver's entry for reads, standing in for its internal-device-control
// dispatch: what that does with IOCTL_HID_READ_REPORT for a started device,
// minus the wake-up of a worker that does not exist here (the session runs the
// steps itself).
NTSTATUS NTAPI read_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        location->Parameters.DeviceIoControl.IoControlCode != IOCTL_HID_READ_REPORT) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    IoMarkIrpPending(irp);
    MIVO_queue_read(MIVO_device_extension(device), irp);
    return STATUS_PENDING;
}

IO_COMPLETION_ROUTINE read_completed;

class Session {
public:
    Session(const SimulationOptions &options) : options_(options) {}

    ~Session() { teardown(); }

    bool setup()
    {
        sim::reset();
        if (options_.store) regfile::apply(*options_.store);
        sim::clock_manual(sim::kDefaultStart);
        sim::trace_echo(options_.echo_debug_trace);
        saved_led_flag_ = LedFlag;
        LedFlag = options_.led_flag;

        driver_ = std::make_unique<sim::DriverObject>();
        driver_->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = read_dispatch;
        usb_ = std::make_unique<sim::UsbDevice>();
        hid_device_ = sim::create_hid_device(driver_->get(), sizeof(DEVICE_EXTENSION), usb_->pdo());
        if (hid_device_ == nullptr) return false;

        // What device addition and a completed USB start leave behind.
        dx_ = sim::mini_extension<DEVICE_EXTENSION>(hid_device_);
        dx_->IoCount = 1;
        KeInitializeEvent(&dx_->RemoveEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&dx_->NewInputEvent, SynchronizationEvent, FALSE);
        InitializeListHead(&dx_->ReadQueue);
        KeInitializeSpinLock(&dx_->ReadQueueLock);
        dx_->RegistryPath = *driver_->registry_path(); // borrowed: the driver object outlives the session
        dx_->Self = hid_device_;
        dx_->LowerDeviceObject = sim::hid_extension(hid_device_)->NextDeviceObject;
        dx_->ControlPipe = sim::kUsbDefaultPipe; // as if the device descriptor had been read
        dx_->DeviceState = DEVICE_STATE_STARTED;
        led_ = usb_->led() ? 1 : 0;
        led_log_seen_ = usb_->led_log().size();

        MIVO_InitState(dx_);
        dx_->ReloadRequested = 0;
        note_profile(result_.timeline);

        slots_.resize(options_.reads);
        for (ReadSlot &slot : slots_) {
            slot.session = this;
            slot.buffer.assign(options_.read_buffer_bytes, 0);
            slot.irp = IoAllocateIrp(hid_device_->StackSize, FALSE);
            if (slot.irp == nullptr) return false;
            issue(slot);
        }
        return true;
    }

    void run(const std::vector<TraceEvent> &input)
    {
        uint64_t end = options_.duration_ms ? *options_.duration_ms
                                            : (input.empty() ? 0 : input.back().t_ms) + kTailMs;
        size_t next = 0;
        uint64_t tick = 0;
        for (;;) {
            uint64_t t = tick;
            const TraceEvent *event = nullptr;
            if (next < input.size() && input[next].t_ms <= tick) {
                event = &input[next++];
                t = event->t_ms;
            }
            if (t > end) break;
            sim::clock_set(sim::kDefaultStart + t * MS_TO_INTERRUPT_TIME);
            now_ms_ = t;
            if (event != nullptr) {
                MIVO_raw_input_store(dx_, event->bytes.data(), ULONG(event->bytes.size()));
                result_.timeline.push_back({TimelineEntry::Kind::Input, t, event->bytes, 0, event->label});
            }
            step();
            tick = t + kStepMs;
        }
    }

    void on_read_completed(ReadSlot &slot)
    {
        NTSTATUS status = slot.irp->IoStatus.Status;
        if (NT_SUCCESS(status)) {
            size_t n = std::min<size_t>(slot.irp->IoStatus.Information, slot.buffer.size());
            result_.timeline.push_back(
                {TimelineEntry::Kind::Report, now_ms_, std::vector<uint8_t>(slot.buffer.begin(), slot.buffer.begin() + n)});
        }
        // The class driver sends the read again at once; a cancelled read means
        // the device is going away.
        if (status != STATUS_CANCELLED && !stopping_) issue(slot);
    }

    SimulationResult finish()
    {
        teardown();
        result_.problems = sim::problems();
        return std::move(result_);
    }

private:
    void issue(ReadSlot &slot)
    {
        IoReuseIrp(slot.irp, STATUS_SUCCESS);
        slot.irp->UserBuffer = slot.buffer.data();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        next->Parameters.DeviceIoControl.OutputBufferLength = ULONG(slot.buffer.size());
        next->Parameters.DeviceIoControl.InputBufferLength = 0;
        IoSetCompletionRoutine(slot.irp, read_completed, &slot, TRUE, TRUE, TRUE);
        IoCallDriver(hid_device_, slot.irp);
    }

    void step()
    {
        size_t first_of_step = result_.timeline.size();
        MIVO_hid_step(dx_);
        result_.steps++;
        result_.step_times.push_back(now_ms_);
        result_.end_ms = now_ms_;

        // A profile switch and the LED queue both happen before the reports
        // are handed out, so their changes go in front of this step's reports.
        std::vector<TimelineEntry> changes;
        note_profile(changes);
        std::vector<sim::LedChange> log = usb_->led_log();
        for (; led_log_seen_ < log.size(); led_log_seen_++) {
            int on = log[led_log_seen_].on ? 1 : 0;
            if (on != led_) changes.push_back({TimelineEntry::Kind::Led, now_ms_, {}, on});
            led_ = on;
        }
        result_.timeline.insert(result_.timeline.begin() + std::ptrdiff_t(first_of_step), changes.begin(),
                                changes.end());
    }

    // The profile the next pass maps with, when it is not the one noted last.
    // Compared by id and name, since a rebuild replaces every record; this runs
    // every step, so the name is only converted when it changed.
    void note_profile(std::vector<TimelineEntry> &into)
    {
        const PROFIL *p = dx_->CurrentProfil;
        int id = p != nullptr ? p->Profil_Id : -1;
        std::u16string_view name;
        if (p != nullptr) {
            name = std::u16string_view(p->Profil_Name, PROFIL_NAME_CHARS);
            name = name.substr(0, name.find(u'\0'));
        }
        if (profile_noted_ && id == profile_id_ && name == profile_name_) return;
        profile_noted_ = true;
        profile_id_ = id;
        profile_name_ = name;
        TimelineEntry e{TimelineEntry::Kind::Profile, now_ms_, {}, 0, sim::utf16_to_utf8(name)};
        e.profile = id;
        into.push_back(std::move(e));
    }

    void teardown()
    {
        if (torn_down_) return;
        torn_down_ = true;
        stopping_ = true;
        if (dx_ != nullptr) {
            MIVO_cancel_all_reads(dx_);
            MIVO_Led_Queue_Clear(dx_);
            MIVO_Delete_Profil(dx_);
        }
        for (ReadSlot &slot : slots_) {
            if (slot.irp != nullptr) IoFreeIrp(slot.irp);
            slot.irp = nullptr;
        }
        if (hid_device_ != nullptr) sim::delete_device(hid_device_);
        hid_device_ = nullptr;
        dx_ = nullptr;
        usb_.reset();
        driver_.reset();
        LedFlag = saved_led_flag_;
        sim::trace_echo(false);
    }

    SimulationOptions options_;
    SimulationResult result_;
    std::unique_ptr<sim::DriverObject> driver_;
    std::unique_ptr<sim::UsbDevice> usb_;
    PDEVICE_OBJECT hid_device_ = nullptr;
    PDEVICE_EXTENSION dx_ = nullptr;
    std::vector<ReadSlot> slots_;
    uint64_t now_ms_ = 0;
    int led_ = 0;
    size_t led_log_seen_ = 0;
    UCHAR saved_led_flag_ = 0;
    bool profile_noted_ = false;
    int profile_id_ = 0;
    std::u16string profile_name_;
    bool stopping_ = false;
    bool torn_down_ = false;
};

NTSTATUS NTAPI read_completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    ReadSlot *slot = static_cast<ReadSlot *>(context);
    (void)irp;
    slot->session->on_read_completed(*slot);
    // The IRP is the reader's own: it goes no further up.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

SimulationResult run_simulation(const std::vector<TraceEvent> &input, const SimulationOptions &options)
{
    Session session(options);
    if (session.setup()) session.run(input);
    return session.finish();
}

std::vector<TraceEvent> demo_script()
{
    struct Line {
        uint64_t t_ms;
        const char *hex;
        const char *label;
    };
    // Axis values are little-endian i16: 78 00 = 120, 68 01 = 360, 98 FE = -360.
    static const Line lines[] = {
        {200, "01 78 00 00 00 00 00", "push the cap to the right"},
        {250, "01 F0 00 00 00 00 00", nullptr},
        {300, "01 68 01 00 00 00 00", nullptr},
        {400, "01 00 00 38 FF 00 00", "push it away from you"},
        {500, "01 00 00 00 00 00 00", "let go"},
        {700, "02 00 00 00 00 C8 00", "twist it clockwise and hold: joystick Rz, wheel steps"},
        {1300, "02 00 00 00 00 00 00", "let go"},
        {1500, "03 01 00 00 00 00 00", "press button 0"},
        {1700, "03 00 00 00 00 00 00", "release it"},
        {1900, "03 02 00 00 00 00 00", "press button 1"},
        {2100, "03 00 00 00 00 00 00", "release it"},
        {2300, "02 96 00 00 00 00 00", "tilt the cap towards you and hold it: hat and mouse"},
        {2600, "02 00 00 00 00 00 00", "let go"},
        {2800, "01 00 00 00 00 98 FE", "profile gesture: push the cap down..."},
        {2800, "02 00 00 00 00 98 FE", "...twist it left, and hold both for 1.5 s"},
        {4500, "01 00 00 00 00 00 00", "in gesture mode: let go"},
        {4500, "02 00 00 00 00 00 00", nullptr},
        {6000, "03 02 00 00 00 00 00", "press button 1: next profile"},
        {6200, "03 00 00 00 00 00 00", "release it"},
        {7700, "01 00 00 00 00 68 01", "pull the cap up: leave gesture mode"},
        {7900, "01 00 00 00 00 00 00", "let go; mapping resumes after the cool-down"},
        {9400, "01 C8 00 00 00 00 00", "push the cap to the right again"},
        {9600, "01 00 00 00 00 00 00", "let go"},
    };
    std::vector<TraceEvent> events;
    for (const Line &l : lines) {
        std::string text = std::to_string(l.t_ms) + " " + l.hex;
        TraceEvent ev = parse_trace(text, "demo").front();
        ev.line = 0;
        if (l.label != nullptr) ev.label = l.label;
        events.push_back(std::move(ev));
    }
    return events;
}

} // namespace mivo::tools
