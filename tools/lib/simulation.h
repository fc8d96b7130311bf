// The driver's translation core run in virtual time on the simulated kernel,
// with a virtual six-axis controller below it and a stand-in for the HID class
// driver's reader above it.
//
// Timing, the rhythm of the HID worker: at time 0 the profile state is rebuilt
// (InitState on the session's registry store, by default an empty one that
// leaves the base profile only; the reload pattern on the LED) and the first
// step runs, together with the first device report
// if that is at time 0. After that a step runs at the time of each device
// report, once the report is in RawInput (two reports at one time make two
// steps), and otherwise 10 ms after the previous step. The interrupt time
// stands still during a step. It starts at sim::kDefaultStart, as on a machine
// that has been up for a while; every time reported here is in milliseconds
// from that start.
//
// The reader keeps two IOCTL_HID_READ_REPORT requests queued and sends each
// one again from its completion routine, as the HID class driver does, so the
// reports a step makes pending are all delivered in that step, in the driver's
// order.
#pragma once

#include <cstdint>
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
    };
    Kind kind = Kind::Report;
    uint64_t t_ms = 0;
    std::vector<uint8_t> bytes;
    int led = 0;
    std::string label;
    int profile = 0; // Profil_Id; -1 is the base profile, and also what the status report says for none
    bool operator==(const TimelineEntry &) const = default;
};

struct SimulationOptions {
    // Last step time; unset: the last device report's time plus one second.
    std::optional<uint64_t> duration_ms;
    // The LED's resting state as the control application would have set it
    // (LedFlag). The driver loads with 0, which keeps every blink pattern dark.
    uint8_t led_flag = 1;
    // Read requests the reader keeps queued, and each one's buffer size.
    unsigned reads = 2;
    unsigned read_buffer_bytes = 64;
    // Copy the driver's debug trace (DbgPrint) to standard error as it prints.
    bool echo_debug_trace = false;
    // Imported into the simulated registry before InitState reads it: the
    // driver's service key with its profile store. Unset: an empty registry.
    std::optional<regfile::Document> store;
};

struct SimulationResult {
    std::vector<TimelineEntry> timeline;
    uint64_t end_ms = 0;  // time of the last step
    uint64_t steps = 0;   // worker steps run
    std::vector<uint64_t> step_times; // when each step ran
    // What the simulated kernel found wrong once everything was torn down
    // (leaks, requests completed twice or never); empty when all is well.
    std::vector<std::string> problems;
};

// Runs one session. Resets the simulated kernel first; leaves it torn down
// (the reads cancelled, the profiles and LED queue freed). Reports later than
// the duration are not played.
SimulationResult run_simulation(const std::vector<TraceEvent> &input, const SimulationOptions &options = {});

// The built-in demo session on the base profile: a few seconds of pushing and
// twisting the cap, each button pressed, a held deflection and the profile
// gesture. Each event carries a label saying what the hand does.
std::vector<TraceEvent> demo_script();

} // namespace mivo::tools
