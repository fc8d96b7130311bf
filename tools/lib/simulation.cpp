#include "tools/lib/simulation.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "driver/driver.h"
#include "hid/hid.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "profiles/profiles.h"
#include "tools/lib/live_link.h"

namespace mivo::tools {

namespace {

constexpr uint64_t kTailMs = 1000;    // how long a session runs on after its last event
constexpr uint64_t kResendMs = 10;    // the class driver sends failed reads again at these marks
// How often the records the simulated kernel keeps for tests (every URB and
// control transfer of the controller) are let go of, so that a long session
// runs in the memory of a short one.
constexpr uint64_t kForgetMs = 1000;

uint64_t interrupt_time(uint64_t t_ms) { return sim::kDefaultStart + t_ms * MS_TO_INTERRUPT_TIME; }

uint64_t ms_of(uint64_t interrupt_time)
{
    return interrupt_time > sim::kDefaultStart ? (interrupt_time - sim::kDefaultStart) / MS_TO_INTERRUPT_TIME : 0;
}

class Session {
public:
    explicit Session(const SimulationOptions &options) : options_(options)
    {
        std::stable_sort(options_.actions.begin(), options_.actions.end(),
                         [](const DeviceAction &a, const DeviceAction &b) { return a.t_ms < b.t_ms; });
    }

    ~Session() { teardown(); }

    bool setup()
    {
        sim::reset();
        if (options_.store) regfile::apply(*options_.store);
        sim::clock_manual(sim::kDefaultStart);
        sim::trace_echo(options_.echo_debug_trace);
        // The session never reads the trace back.
        sim::trace_keep(false);
        // The resting state a control application left in the loaded driver.
        saved_led_flag_ = LedFlag;
        InterlockedExchange(&LedFlag, options_.led_flag);

        if (options_.realtime) sim::clock_real();

        driver_ = std::make_unique<sim::LoadedDriver>(DriverEntry);
        if (!NT_SUCCESS(driver_->status())) return fail("DriverEntry failed: " + status_text(driver_->status()));
        usb_ = std::make_unique<sim::UsbDevice>();
        if (!arrive()) return false;
        if (options_.realtime && options_.listen) {
            link_ = std::make_unique<LinkServer>(*options_.listen, [this](const std::string &request) {
                return link_answer(
                    request, [this](const std::vector<uint8_t> &report) { return link_write(report); },
                    [this] {
                        std::lock_guard g(device_mu_);
                        return last_status_;
                    });
            });
            if (!link_->error().empty()) {
                result_.listen_error = link_->error();
                link_.reset();
                return false;
            }
        }
        return true;
    }

    // Plays the input: the clock moves one millisecond at a time and the
    // events of each are played in order (see step()). Device reports go in
    // from wherever the kernel settles; a write and a lifecycle action wait
    // for the driver, which only this thread may do.
    void run(const EventSource &input)
    {
        input_ = &input;
        last_ms_ = options_.actions.empty() ? 0 : options_.actions.back().t_ms;
        for (;;) {
            sim::clock_drive([this] { return step(); });
            if (phase_ == Phase::Act) {
                act(options_.actions[next_action_]);
                next_action_++;
                // A request that waited inside the kernel let virtual
                // time go on; the session goes on from there.
                now_ms_ = std::max(now_ms_, ms_of(sim::clock_now()));
            } else if (phase_ == Phase::Write) {
                write(*pending_);
                pending_.reset();
            } else {
                break;
            }
            phase_ = Phase::Next;
        }
        result_.end_ms = now_ms_;
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

    static std::string status_text(NTSTATUS status)
    {
        char text[16];
        snprintf(text, sizeof text, "0x%08X", unsigned(status));
        return text;
    }

    // ---------------------------------------------------------------- time
    // Where the session is. Each millisecond: the clock moves to it and the
    // driver's timed work due then runs (Tick), the failed reads are sent
    // again at each 10-ms mark (Resent), and then, at the time of the next
    // event, that event is played (Played) and the next one read (Next).
    // What came out is looked at after each of these, so that a step's
    // reports, the LED and the profile are stamped with the millisecond they
    // happened in. Act and Write hand the event to run(); Done ends.
    enum class Phase { Next, Advance, Tick, Resent, Played, Act, Write, Done };

    // The clock_drive function: called with every system thread waiting,
    // returns the time to run to next, or nothing to hand back to run().
    std::optional<uint64_t> step()
    {
        try {
            for (;;) {
                switch (phase_) {
                case Phase::Next: next_event(); break;
                case Phase::Advance:
                    if (now_ms_ < target_ms_) {
                        if (options_.stop && options_.stop()) {
                            phase_ = Phase::Done;
                            return std::nullopt;
                        }
                        now_ms_++;
                        phase_ = Phase::Tick;
                        return interrupt_time(now_ms_);
                    }
                    if (at_end_) phase_ = Phase::Done;
                    else if (next_action_ < options_.actions.size() &&
                             options_.actions[next_action_].t_ms == target_ms_)
                        phase_ = Phase::Act;
                    else if (pending_->kind == TraceEvent::Kind::Write) phase_ = Phase::Write;
                    else {
                        play(*pending_);
                        pending_.reset();
                        phase_ = Phase::Played;
                        return sim::clock_now();
                    }
                    return std::nullopt;
                case Phase::Tick:
                    collect();
                    phase_ = Phase::Resent;
                    if (now_ms_ % kResendMs == 0 && hid_ != nullptr) {
                        hid_->resend_failed();
                        return sim::clock_now();
                    }
                    break;
                case Phase::Resent:
                    if (now_ms_ % kResendMs == 0 && hid_ != nullptr) collect();
                    if (now_ms_ % kForgetMs == 0) forget();
                    phase_ = Phase::Advance;
                    break;
                case Phase::Played:
                    collect();
                    phase_ = Phase::Next;
                    break;
                case Phase::Act:
                case Phase::Write:
                case Phase::Done: return std::nullopt;
                }
            }
        } catch (const TraceParseError &e) {
            result_.input_error = e.what();
            phase_ = Phase::Done;
            return std::nullopt;
        }
    }

    // Reads the next event when there is none waiting, and sets the time to
    // advance to: the next event's or action's, or the end of the session.
    void next_event()
    {
        if (!pending_ && !input_done_) {
            pending_ = (*input_)();
            if (pending_) {
                last_ms_ = std::max(last_ms_, pending_->t_ms);
                input_seen_ = true;
            }
            else input_done_ = true;
        }
        // The end is known once the input has ended, unless the duration
        // says it.
        uint64_t end = options_.duration_ms               ? *options_.duration_ms
                       : !input_done_ || until_stopped() ? UINT64_MAX
                                                          : last_ms_ + kTailMs;
        std::optional<uint64_t> next;
        if (pending_) next = pending_->t_ms;
        if (next_action_ < options_.actions.size())
            next = std::min(next.value_or(UINT64_MAX), options_.actions[next_action_].t_ms);
        at_end_ = !next || *next > end;
        target_ms_ = at_end_ ? end : *next;
        phase_ = Phase::Advance;
    }

    // A live session with nothing to play and no duration lasts until stopped.
    bool until_stopped() const
    {
        return options_.realtime && options_.listen && options_.stop && !options_.duration_ms && !input_seen_;
    }

    // A write from the socket's thread: through the class driver like the
    // session's own, while the device is there.
    LinkWritten link_write(const std::vector<uint8_t> &report)
    {
        std::lock_guard g(device_mu_);
        TimelineEntry e{TimelineEntry::Kind::Write, ms_of(sim::clock_now()), report};
        e.status = uint32_t(STATUS_NO_SUCH_DEVICE);
        if (hid_ != nullptr && present_) {
            sim::HidWriteResult r = hid_->write(report, IOCTL_HID_WRITE_REPORT);
            e.status = uint32_t(r.status);
            e.written = r.information;
        }
        // The timeline is the session thread's: it prints this at its next look.
        link_writes_.push_back(e);
        return {e.status, e.written};
    }

    void forget()
    {
        if (usb_ == nullptr) return;
        // Every system thread waits: nothing changes the LED in between.
        collect();
        usb_->clear_records();
        led_seen_ = 0;
    }

    // ---------------------------------------------------------------- input
    // A device report: into the controller's interrupt pipe, where the USB
    // worker's pending read takes it. What the driver makes of it is looked
    // at once it has settled.
    void play(const TraceEvent &event)
    {
        TimelineEntry e{TimelineEntry::Kind::Input, now_ms_, event.bytes, 0, event.label};
        if (!usb_->plugged()) e.label = e.label.empty() ? "lost: unplugged" : e.label + " (lost: unplugged)";
        emit(std::move(e));
        if (usb_->plugged()) usb_->push_report(event.bytes);
    }

    void write(const TraceEvent &event)
    {
        TimelineEntry e{TimelineEntry::Kind::Write, now_ms_, event.bytes};
        if (hid_ == nullptr) {
            // No device to open.
            e.status = uint32_t(STATUS_NO_SUCH_DEVICE);
            emit(std::move(e));
            return;
        }
        sim::HidWriteResult r;
        {
            std::lock_guard g(device_mu_);
            r = hid_->write(event.bytes, IOCTL_HID_WRITE_REPORT);
        }
        e.status = uint32_t(r.status);
        e.written = r.information;
        emit(std::move(e));
        sim::clock_settle();
        collect();
    }

    // ---------------------------------------------------------------- lifecycle
    void act(const DeviceAction &action)
    {
        switch (action.kind) {
        case DeviceAction::Kind::Unplug:
            if (!usb_->plugged()) return;
            usb_->unplug();
            device_entry("unplugged");
            sim::clock_settle();
            collect();
            if (hid_ != nullptr) {
                answered("surprise removal", hid_->surprise_removal());
                depart();
            }
            return;
        case DeviceAction::Kind::Replug:
            if (usb_->plugged()) return;
            usb_->plug();
            device_entry("plugged in");
            if (hid_ == nullptr) arrive();
            return;
        case DeviceAction::Kind::PowerCycle:
            if (hid_ == nullptr) return;
            answered("power D3", hid_->set_power(PowerDeviceD3));
            sim::clock_settle();
            answered("power D0", hid_->set_power(PowerDeviceD0));
            sim::clock_settle();
            // Back in D0 the class driver reads again; the driver, finding
            // its device stopped, refuses the reads and starts it.
            hid_->stop_reading();
            hid_->start_reading();
            sim::clock_settle();
            collect();
            return;
        }
    }

    // A device added over the controller and started, as the PnP manager
    // and the class driver do when it appears.
    bool arrive()
    {
        sim::HidClassOptions class_options;
        class_options.reads = options_.reads;
        class_options.read_buffer = options_.read_buffer_bytes;
        {
            std::lock_guard g(device_mu_);
            hid_ = std::make_unique<sim::HidClassDevice>(usb_->pdo(), class_options);
        }
        answered("arrival", hid_->status());
        if (!NT_SUCCESS(hid_->status())) {
            std::string why = "the device was not added: " + status_text(hid_->status());
            std::lock_guard g(device_mu_);
            hid_.reset();
            return fail(why);
        }
        dx_ = hid_->mini_extension<DEVICE_EXTENSION>();
        NTSTATUS started = hid_->start(false);
        // The workers the start made run until they wait before the class
        // driver asks for its descriptors and reads: on a real machine the
        // two go on at once, here the order is the same on every run.
        sim::clock_settle();
        answered("start", started);
        if (!NT_SUCCESS(started)) return fail("the device did not start: " + status_text(started));
        if (!NT_SUCCESS(hid_->interrogate())) return fail("HID class driver: " + hid_->failure());
        if (result_.report_descriptor.empty()) result_.report_descriptor = hid_->report_descriptor();
        hid_->start_reading();
        {
            std::lock_guard g(device_mu_);
            present_ = true;
        }
        sim::clock_settle();
        collect();
        return true;
    }

    // The removal the PnP manager sends once the device is gone or asked to
    // go, and the device object deleted.
    void depart()
    {
        {
            // A write from the socket is over before the removal starts.
            std::lock_guard g(device_mu_);
            present_ = false;
        }
        answered("removal", hid_->remove());
        sim::clock_settle();
        collect();
        std::lock_guard g(device_mu_);
        hid_.reset();
        dx_ = nullptr;
        if (sim::threads_running() != 0) fail("a worker thread still runs after the removal");
    }

    void device_entry(std::string what)
    {
        TimelineEntry e{TimelineEntry::Kind::Device, now_ms_};
        e.label = std::move(what);
        emit(std::move(e));
    }

    void answered(std::string what, NTSTATUS status)
    {
        TimelineEntry e{TimelineEntry::Kind::Device, now_ms_};
        e.label = std::move(what);
        e.status = uint32_t(status);
        e.answered = true;
        emit(std::move(e));
    }

    // ---------------------------------------------------------------- output
    // What the driver did since the last look. The profile and the LED are
    // set before a step hands out its reports, so they go first.
    void collect()
    {
        if (link_ != nullptr) {
            std::vector<TimelineEntry> writes;
            {
                std::lock_guard g(device_mu_);
                writes.swap(link_writes_);
            }
            for (TimelineEntry &e : writes) emit(std::move(e));
        }
        note_profile();
        note_led();
        if (hid_ == nullptr) return;
        for (sim::HidDelivered &d : hid_->take_reports()) {
            if (options_.listen && !d.bytes.empty() && d.bytes[0] == REPORT_ID_STATUS) {
                std::lock_guard g(device_mu_);
                last_status_ = d.bytes;
            }
            emit({TimelineEntry::Kind::Report, ms_of(d.time), std::move(d.bytes)});
        }
    }

    void emit(TimelineEntry entry)
    {
        if (options_.sink) options_.sink(entry);
        else result_.timeline.push_back(std::move(entry));
    }

    void note_led()
    {
        if (usb_ == nullptr) return;
        std::vector<sim::LedChange> log = usb_->led_log_since(led_seen_);
        led_seen_ += log.size();
        for (const sim::LedChange &change : log) {
            int on = change.on ? 1 : 0;
            if (on != led_) emit({TimelineEntry::Kind::Led, ms_of(change.time), {}, on});
            led_ = on;
        }
    }

    // The profile the next pass maps with, when it is not the one noted last.
    // Compared by id and name, since a rebuild replaces every record; this runs
    // every millisecond, so the name is only converted when it changed. Read
    // while every system thread waits; only while the device is there (its
    // removal frees the profiles), and not before its first pass built them.
    void note_profile()
    {
        if (options_.realtime || !present_ || dx_ == nullptr) return;
        const PROFIL *p = dx_->CurrentProfil;
        if (p == nullptr && !profile_noted_) return;
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
        emit(std::move(e));
    }

    void teardown()
    {
        if (torn_down_) return;
        torn_down_ = true;
        link_.reset(); // no write comes in while the device goes
        if (hid_ != nullptr) {
            if (present_) depart();
            else {
                // Added but never started, or refused by the class driver.
                hid_->remove();
                sim::clock_settle();
                hid_.reset();
            }
        }
        dx_ = nullptr;
        usb_.reset();
        if (driver_ != nullptr) driver_->unload();
        driver_.reset();
        InterlockedExchange(&LedFlag, saved_led_flag_);
        sim::trace_echo(false);
        sim::trace_keep(true);
        if (options_.realtime) sim::clock_manual(sim::kDefaultStart);
    }

    SimulationOptions options_;
    SimulationResult result_;
    std::unique_ptr<sim::LoadedDriver> driver_;
    std::unique_ptr<sim::UsbDevice> usb_;
    std::unique_ptr<sim::HidClassDevice> hid_;
    // Read only, for the profile entries.
    const DEVICE_EXTENSION *dx_ = nullptr;
    bool present_ = false; // started and not yet removed
    uint64_t now_ms_ = 0;
    int led_ = 0;
    size_t led_seen_ = 0;
    LONG saved_led_flag_ = 0;
    bool profile_noted_ = false;
    int profile_id_ = 0;
    std::u16string profile_name_;
    bool torn_down_ = false;
    bool input_seen_ = false;
    // Playing the input (step()).
    const EventSource *input_ = nullptr;
    Phase phase_ = Phase::Next;
    std::optional<TraceEvent> pending_; // read, not played yet
    bool input_done_ = false;
    uint64_t last_ms_ = 0; // of the input and the actions so far
    size_t next_action_ = 0;
    uint64_t target_ms_ = 0; // the time of the next event or action, or the end
    bool at_end_ = false;    // target_ms_ is the end
    // Live sessions: the socket, and what its thread shares with the
    // session's: the device (added, removed) and the last status report.
    std::unique_ptr<LinkServer> link_;
    std::mutex device_mu_;
    std::optional<std::vector<uint8_t>> last_status_;
    std::vector<TimelineEntry> link_writes_;
};

} // namespace

SimulationResult run_simulation(const EventSource &input, const SimulationOptions &options)
{
    Session session(options);
    if (session.setup()) session.run(input);
    return session.finish();
}

SimulationResult run_simulation(const std::vector<TraceEvent> &input, const SimulationOptions &options)
{
    size_t next = 0;
    return run_simulation(
        [&]() -> std::optional<TraceEvent> {
            if (next == input.size()) return std::nullopt;
            return input[next++];
        },
        options);
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
