// The driver run in virtual time on the simulated kernel, with a virtual
// six-axis controller below it and the simulated HID class driver above it:
// a stand-in for driver entry registers the driver's internal-device-control
// dispatch with HidRegisterMinidriver, the class driver makes the device on
// the controller's PDO, the device context is left as device addition and a
// completed start leave it, and the class driver asks for the descriptors
// (the report descriptor is the driver's, its device half the controller's)
// and keeps its read requests going.
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
// from that start. Before each step the simulator does what the HID worker
// does first: a reload asked for since the last step rebuilds the profile
// state.
//
// Writes (trace lines "<time> write <hex>") go to the class driver as
// IOCTL_HID_WRITE_REPORT at their time, between steps. They do not wake the
// worker, so what they ask shows at the next step. Events at one time are
// taken in the order of the file: a write goes before the step of a device
// report after it and before the 10-ms step at its own time, as a command
// written just before the worker's pass; a write after a device report of
// the same time waits for the step after that report's.
//
// The class driver keeps two IOCTL_HID_READ_REPORT requests with the driver
// and sends each one again from its completion routine, so the reports a step
// makes pending are all delivered in that step, in the driver's order. A read
// that fails is sent again before the next step.
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
        Write,  // an application's write went through the class driver (bytes; its status and written)
    };
    Kind kind = Kind::Report;
    uint64_t t_ms = 0;
    std::vector<uint8_t> bytes;
    int led = 0;
    std::string label;
    int profile = 0; // Profil_Id; -1 is the base profile, and also what the status report says for none
    uint32_t status = 0;  // a write's NTSTATUS
    uint64_t written = 0; // and the bytes it was completed with
    bool operator==(const TimelineEntry &) const = default;
};

struct SimulationOptions {
    // Last step time; unset: the time of the last line of the trace plus one second.
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
};

struct SimulationResult {
    std::vector<TimelineEntry> timeline;
    uint64_t end_ms = 0;  // time of the last step
    uint64_t steps = 0;   // worker steps run
    std::vector<uint64_t> step_times; // when each step ran
    // The report descriptor the class driver got from the driver.
    std::vector<uint8_t> report_descriptor;
    // What the simulated kernel found wrong once everything was torn down
    // (leaks, requests completed twice or never); empty when all is well.
    std::vector<std::string> problems;
};

// Runs one session. Resets the simulated kernel first; leaves it torn down
// (the reads cancelled, the profiles and LED queue freed). Reports and writes
// later than the duration are not played. A device the class driver refuses
// (its interrogation failed) runs no step and says why in problems.
SimulationResult run_simulation(const std::vector<TraceEvent> &input, const SimulationOptions &options = {});

// The built-in demo session on the base profile: a few seconds of pushing and
// twisting the cap, each button pressed, a held deflection and the profile
// gesture. Each event carries a label saying what the hand does.
std::vector<TraceEvent> demo_script();

} // namespace mivo::tools
