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
//
// A trace is read as a stream, one line at a time, so an hour of 1 kHz input
// plays in the memory of one line. A line may be at most 4 KiB long and a
// file at most 1 GiB (ten hours of 1 kHz input): anything longer is no trace
// someone wrote or recorded, and reading it whole (a 10 MB hex word,
// /dev/zero) would only cost time and memory before it is refused. Errors
// quote a bad word cut to 32 characters.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
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

struct TraceLimits {
    size_t max_line_bytes = 4096;             // the line feed not counted
    uint64_t max_file_bytes = 1ULL << 30;
};

// Reads a trace one event at a time. next() returns the following event, or
// nothing at the end; a malformed line, one too long, a file grown past its
// limit or a time that goes backwards throws TraceParseError located at that
// line, and the reader is not used again after that.
class TraceReader {
public:
    TraceReader(std::istream &in, std::string source_name, TraceLimits limits = {});
    // Opens a file; one that cannot be opened, or a directory, is an error at
    // line 0.
    static TraceReader open(const std::string &path, TraceLimits limits = {});
    TraceReader(TraceReader &&) noexcept;
    ~TraceReader();

    std::optional<TraceEvent> next();
    const std::string &source_name() const { return file_; }

private:
    std::unique_ptr<std::istream> owned_;
    std::istream *in_;
    std::string file_;
    TraceLimits limits_;
    std::string buffer_;
    int line_ = 0;
    uint64_t bytes_read_ = 0;
    bool have_last_ = false;
    uint64_t last_t_ms_ = 0;
    int last_line_ = 0;
};

// Parses a whole trace; the first malformed line throws TraceParseError, so a
// bad file yields nothing to run. source_name is the FILE part of errors.
std::vector<TraceEvent> parse_trace(std::string_view text, std::string_view source_name = "<string>");
std::vector<TraceEvent> parse_trace(std::istream &in, std::string_view source_name);
// Reads and parses a file; a file that cannot be opened is an error at line 0.
std::vector<TraceEvent> load_trace_file(const std::string &path);
// Reads a file through to its end without keeping its events: the first
// error throws, as TraceReader does.
void check_trace_file(const std::string &path, TraceLimits limits = {});

// A word of the input quoted for an error message: 'word', or its first 32
// characters and "..." when it is longer.
std::string quote_word(std::string_view word);

// "01 2C 01" for those bytes: upper case, one blank between bytes.
std::string hex_bytes(const uint8_t *bytes, size_t count);
void append_hex_bytes(std::string &out, const uint8_t *bytes, size_t count);
inline std::string hex_bytes(const std::vector<uint8_t> &bytes) { return hex_bytes(bytes.data(), bytes.size()); }

} // namespace mivo::tools
