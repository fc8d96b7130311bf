// The whole driver run in virtual time on the simulated kernel: loaded from
// its entry point, its device added by the simulated HID class driver over a
// virtual six-axis controller, started with its real USB bring-up and worker
// threads, fed through the controller's interrupt pipe, written to through
// the class driver, and at the end removed and unloaded. The session only
// plays what the outside world does (device reports, writes, cables and power)
// and watches what comes out (completed reads, the LED, the active profile):
// the driver's own workers decide when a step runs.
//
// Time: the interrupt time starts at sim::kDefaultStart, as on a machine that
// has been up for a while; every time reported here is in whole milliseconds
// from that start. The session moves the clock one millisecond at a time and
// at each one first lets the driver's timed work due then run (the HID
// worker steps at least every 10 ms), then plays the events of that time in
// the order of the input. A device report completes the USB worker's pending
// interrupt read, which wakes the HID worker at once: one step per report,
// two reports at one time make two steps. A write goes to the class driver
// as IOCTL_HID_WRITE_REPORT and does not wake the worker, so what it asks
// shows at the next step; an LED command switches the LED from the writing
// thread.
//
// The class driver keeps its read requests with the driver and sends each
// one again from its completion routine, so a step's reports are delivered
// in that step, in the driver's order, each stamped with the time of its
// completion. A read that fails is sent again at the next 10-ms mark.
//
// Lifecycle actions at given times: an unplug (the controller leaves the bus,
// then the class driver's surprise removal and removal; device reports while
// unplugged are lost), a replug (the controller comes back, a new device is
// added and started) and a power cycle (D3 then D0; the class driver then
// reads again, which restarts the device). A session also shows the arrival,
// start and final removal of its device.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/lib/regfile.h"
#include "tools/lib/trace_file.h"

namespace mivo::tools {

struct TimelineEntry {
    enum class Kind {
        Input,  // a device report went into RawInput (bytes; label for built-in scripts)
        Report, // a read request was completed with this report (bytes)
        Led,    // the device LED changed (led)
        Profile, // the active profile is another one (profile, label = its name); also the first one
        Write,  // an application's write went through the class driver (bytes; its status and written)
        Device, // the device's lifecycle: label says what (arrival, start, removal, ...), status how it ended
    };
    Kind kind = Kind::Report;
    uint64_t t_ms = 0;
    std::vector<uint8_t> bytes;
    int led = 0;
    std::string label;
    int profile = 0; // Profil_Id; -1 is the base profile, and also what the status report says for none
    uint32_t status = 0;  // a write's NTSTATUS; a Device request's when `answered`
    uint64_t written = 0; // and the bytes it was completed with
    bool answered = false; // Device: a request that ended with `status`; not set for a hand at the cable
    bool operator==(const TimelineEntry &) const = default;
};

// Something done to the device from outside at a time of the session.
struct DeviceAction {
    enum class Kind {
        Unplug,     // the cable pulled: surprise removal, then removal
        Replug,     // the cable back in: a new device added and started
        PowerCycle, // D3 then D0; the class driver's next read restarts the device
    };
    Kind kind = Kind::Unplug;
    uint64_t t_ms = 0;
    bool operator==(const DeviceAction &) const = default;
};

struct SimulationOptions {
    // When the session ends; unset: a second after its last event or action.
    std::optional<uint64_t> duration_ms;
    // The LED's resting state as the control application would have set it
    // (LedFlag). The driver loads with 0, which keeps every blink pattern dark.
    uint8_t led_flag = 1;
    // Read requests the class driver keeps queued, and each one's buffer size.
    unsigned reads = 2;
    unsigned read_buffer_bytes = 64;
    // Copy the driver's debug trace (DbgPrint) to standard error as it prints.
    bool echo_debug_trace = false;
    // Imported into the simulated registry before InitState reads it: the
    // driver's service key with its profile store. Unset: an empty registry.
    std::optional<regfile::Document> store;
    // Where the timeline goes as the session makes it. Unset: it is kept in
    // SimulationResult::timeline instead, for tests and for drawing it.
    std::function<void(const TimelineEntry &)> sink;
    // Lifecycle actions, in any order; at one time they go before the
    // input's events. Actions later than the duration are not played.
    std::vector<DeviceAction> actions;

    // Real time: the worker threads run on the host's clock and the session
    // plays each event when its time comes, as a device would send it. The
    // timeline is the same kind; profile entries are left out, since the
    // active profile cannot be looked at while the HID worker runs (the
    // status reports say it).
    bool realtime = false;
    // Real time only: a local socket where mivo-ctl reaches the session (see
    // live_link.h): its writes go through the class driver, and it reads the
    // last status report delivered.
    std::optional<std::string> listen;
    // Asked every millisecond; the session ends early once it says so (a
    // signal, for a live session with no end of its own). With no input and
    // no duration, a live session runs until then.
    std::function<bool()> stop;
};

struct SimulationResult {
    std::vector<TimelineEntry> timeline; // empty when the options gave a sink
    uint64_t end_ms = 0; // the time the session ended at
    // The report descriptor the class driver got from the driver.
    std::vector<uint8_t> report_descriptor;
    // What the simulated kernel found wrong once everything was torn down
    // (leaks, requests completed twice or never); empty when all is well.
    std::vector<std::string> problems;
    // A malformed line the session came to while playing: "FILE:LINE:
    // message". The session stopped there and was torn down as at its end.
    std::string input_error;
    // Set when the socket of `listen` could not be served; nothing ran.
    std::string listen_error;
};

// The session's input in order: the next event, or nothing at the end. It may
// throw TraceParseError (see TraceReader::next).
using EventSource = std::function<std::optional<TraceEvent>()>;

// Runs one session. Resets the simulated kernel first; leaves it torn down
// (the device removed, the driver unloaded). Reports and writes later than
// the duration are not played. The input is read one event at a time, only
// once the session has got to the one before it. A driver or device that
// fails to load, be added or start, or that the class driver refuses (its
// interrogation failed), says why in problems.
SimulationResult run_simulation(const EventSource &input, const SimulationOptions &options = {});
SimulationResult run_simulation(const std::vector<TraceEvent> &input, const SimulationOptions &options = {});

// The built-in demo session on the base profile: a few seconds of pushing and
// twisting the cap, each button pressed, a held deflection and the profile
// gesture. Each event carries a label saying what the hand does.
std::vector<TraceEvent> demo_script();

} // namespace mivo::tools
