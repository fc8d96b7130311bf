#include "tools/lib/simulation.h"

#include <memory>

#include "driver/driver.h"
#include "hid/hid.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "profiles/profiles.h"

namespace mivo::tools {

namespace {

constexpr uint64_t kStepMs = 10;      // the HID worker's longest wait between steps
constexpr uint64_t kTailMs = 1000;    // how long a session runs on after its last report

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

        // What driver entry registers; the session stands in for AddDevice
        // and the start below, so none is registered.
        driver_ = std::make_unique<sim::DriverObject>();
        driver_->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MIVO_DispatchIntDevice;
        HID_MINIDRIVER_REGISTRATION registration{};
        registration.Revision = HID_REVISION;
        registration.DriverObject = driver_->get();
        registration.RegistryPath = driver_->registry_path();
        registration.DeviceExtensionSize = sizeof(DEVICE_EXTENSION);
        registration.DevicesArePolled = FALSE;
        if (!NT_SUCCESS(HidRegisterMinidriver(&registration))) return fail("HidRegisterMinidriver refused the driver");

        usb_ = std::make_unique<sim::UsbDevice>();
        sim::HidClassOptions class_options;
        class_options.reads = options_.reads;
        class_options.read_buffer = options_.read_buffer_bytes;
        hid_ = std::make_unique<sim::HidClassDevice>(usb_->pdo(), class_options);
        if (!NT_SUCCESS(hid_->status())) return fail("HID class driver: " + hid_->failure());

        // What device addition and a completed USB start leave behind.
        dx_ = hid_->mini_extension<DEVICE_EXTENSION>();
        PDEVICE_OBJECT self = hid_->device();
        dx_->IoCount = 1;
        KeInitializeEvent(&dx_->RemoveEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&dx_->NewInputEvent, SynchronizationEvent, FALSE);
        InitializeListHead(&dx_->ReadQueue);
        KeInitializeSpinLock(&dx_->ReadQueueLock);
        dx_->RegistryPath = *driver_->registry_path(); // borrowed: the driver object outlives the session
        dx_->Self = self;
        dx_->LowerDeviceObject = hid_->hid_extension()->NextDeviceObject;
        dx_->ControlPipe = sim::kUsbDefaultPipe; // as if the device descriptor had been read
        // Borrowed as well: the session's copy outlives every request.
        device_report_descriptor_ = usb_->report_descriptor();
        dx_->DeviceReportDescriptor = device_report_descriptor_.data();
        dx_->DeviceReportDescriptorLength = USHORT(device_report_descriptor_.size());
        dx_->ReportDescriptorLength = USHORT(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + device_report_descriptor_.size());
        MIVO_device_state_set(dx_, DEVICE_STATE_STARTED);
        led_ = usb_->led() ? 1 : 0;
        led_log_seen_ = usb_->led_log().size();

        MIVO_InitState(dx_);
        note_profile(result_.timeline);

        if (!NT_SUCCESS(hid_->interrogate())) return fail("HID class driver: " + hid_->failure());
        result_.report_descriptor = hid_->report_descriptor();
        hid_->start_reading();
        return true;
    }

    void run(const std::vector<TraceEvent> &input)
    {
        uint64_t end = options_.duration_ms ? *options_.duration_ms
                                            : (input.empty() ? 0 : input.back().t_ms) + kTailMs;
        size_t next = 0;
        uint64_t tick = 0;
        for (;;) {
            // Writes due by this step, in file order, up to the next device report.
            while (next < input.size() && input[next].kind == TraceEvent::Kind::Write && input[next].t_ms <= tick &&
                   input[next].t_ms <= end) {
                write(input[next++]);
            }
            uint64_t t = tick;
            const TraceEvent *event = nullptr;
            if (next < input.size() && input[next].kind == TraceEvent::Kind::Input && input[next].t_ms <= tick) {
                event = &input[next++];
                t = event->t_ms;
            }
            if (t > end) break;
            set_time(t);
            if (event != nullptr) {
                MIVO_raw_input_store(dx_, event->bytes.data(), ULONG(event->bytes.size()));
                result_.timeline.push_back({TimelineEntry::Kind::Input, t, event->bytes, 0, event->label});
            }
            step();
            tick = t + kStepMs;
        }
    }

    SimulationResult finish()
    {
        teardown();
        std::vector<std::string> found = sim::problems();
        result_.problems.insert(result_.problems.end(), found.begin(), found.end());
        return std::move(result_);
    }

private:
    bool fail(std::string why)
    {
        result_.problems.push_back(std::move(why));
        return false;
    }

    void set_time(uint64_t t)
    {
        sim::clock_set(sim::kDefaultStart + t * MS_TO_INTERRUPT_TIME);
        now_ms_ = t;
    }

    void write(const TraceEvent &event)
    {
        set_time(event.t_ms);
        sim::HidWriteResult r = hid_->write(event.bytes, IOCTL_HID_WRITE_REPORT);
        TimelineEntry e{TimelineEntry::Kind::Write, now_ms_, event.bytes};
        e.status = uint32_t(r.status);
        e.written = r.information;
        result_.timeline.push_back(std::move(e));
        // The LED command switches the LED from the writing thread.
        note_led(result_.timeline);
        take_reports();
    }

    void step()
    {
        hid_->resend_failed();
        size_t first_of_step = result_.timeline.size();
        if (MIVO_take_reload(dx_)) MIVO_InitState(dx_);
        MIVO_hid_step(dx_);
        result_.steps++;
        result_.step_times.push_back(now_ms_);
        result_.end_ms = now_ms_;

        // A profile switch and the LED queue both happen before the reports
        // are handed out, so their changes go in front of this step's reports.
        std::vector<TimelineEntry> changes;
        note_profile(changes);
        note_led(changes);
        result_.timeline.insert(result_.timeline.begin() + std::ptrdiff_t(first_of_step), changes.begin(),
                                changes.end());
        take_reports();
    }

    void take_reports()
    {
        for (sim::HidDelivered &d : hid_->take_reports()) {
            result_.timeline.push_back({TimelineEntry::Kind::Report, now_ms_, std::move(d.bytes)});
        }
    }

    void note_led(std::vector<TimelineEntry> &into)
    {
        std::vector<sim::LedChange> log = usb_->led_log();
        for (; led_log_seen_ < log.size(); led_log_seen_++) {
            int on = log[led_log_seen_].on ? 1 : 0;
            if (on != led_) into.push_back({TimelineEntry::Kind::Led, now_ms_, {}, on});
            led_ = on;
        }
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
        if (hid_ != nullptr && !hid_->stop_reading()) fail("HID class driver: a read never came back");
        if (dx_ != nullptr) {
            MIVO_Led_Queue_Clear(dx_);
            MIVO_Delete_Profil(dx_);
        }
        hid_.reset(); // deletes the device object
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
    std::unique_ptr<sim::HidClassDevice> hid_;
    PDEVICE_EXTENSION dx_ = nullptr;
    std::vector<uint8_t> device_report_descriptor_;
    uint64_t now_ms_ = 0;
    int led_ = 0;
    size_t led_log_seen_ = 0;
    UCHAR saved_led_flag_ = 0;
    bool profile_noted_ = false;
    int profile_id_ = 0;
    std::u16string profile_name_;
    bool torn_down_ = false;
};

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
