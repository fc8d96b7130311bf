// Recorded device input for the simulator, and what an application writes to
// the virtual device: one event per line,
//
//     <time in ms> <hex bytes>          # a device report
//     <time in ms> write <hex bytes>    # a report written to the virtual device
//
// e.g. "120 01 2C 01 D4 FE 00 00" or "1500 write f0 08 03 00" (what mivo-ctl
// prints). The time is a whole number of milliseconds from the start of the
// session. A device report's bytes are what the device sends on its interrupt
// pipe, report ID first, 1 to 7 of them; a write's are the report an
// application hands to the HID class driver, report ID first, 1 to 64 of them
// (a full-speed report; the driver looks at 8 at most). Bytes are written as pairs of
// hex digits, separated by blanks or run together ("012C01D4FE0000"). '#' starts
// a comment that runs to the end of the line; blank lines are skipped; CRLF is
// accepted. Times may repeat (two reports at the same time are two steps) but
// never go backwards: a session is played in order, and a trace that is not in
// order is almost always a mistake in the file.
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::tools {

// One line of a trace: a device report, or a write to the virtual device.
struct TraceEvent {
    enum class Kind { Input, Write };
    uint64_t t_ms = 0;
    std::vector<uint8_t> bytes; // 1..7 for input, 1..64 for a write
    int line = 0;               // where it came from (0 for built-in scripts)
    std::string label;          // what the step does, for built-in scripts; empty in files
    Kind kind = Kind::Input;
    bool operator==(const TraceEvent &) const = default;
};

// A malformed line. what() is "FILE:LINE: message".
struct TraceParseError : std::runtime_error {
    TraceParseError(std::string file, int line, std::string message);
    std::string file;
    int line;
    std::string message;
};

constexpr size_t kMaxReportBytes = 7;
constexpr size_t kMaxWriteBytes = 64;
// The longest session a trace may describe: a day of 10 ms steps is already
// millions of them.
constexpr uint64_t kMaxSessionMs = 24ULL * 60 * 60 * 1000;

// Parses a whole trace; the first malformed line throws TraceParseError, so a
// bad file yields nothing to run. source_name is the FILE part of errors.
std::vector<TraceEvent> parse_trace(std::string_view text, std::string_view source_name = "<string>");
std::vector<TraceEvent> parse_trace(std::istream &in, std::string_view source_name);
// Reads and parses a file; a file that cannot be opened is an error at line 0.
std::vector<TraceEvent> load_trace_file(const std::string &path);

// "01 2C 01" for those bytes: upper case, one blank between bytes.
std::string hex_bytes(const uint8_t *bytes, size_t count);
inline std::string hex_bytes(const std::vector<uint8_t> &bytes) { return hex_bytes(bytes.data(), bytes.size()); }

} // namespace mivo::tools
