// Printing a simulated session: a readable timeline, or JSON lines for
// programs.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/lib/simulation.h"

namespace mivo::tools {

// One JSON object for a delivered report, an LED change or a change of the
// active profile:
//   {"t_ms":120,"report":"joystick","hex":"F1 68 01 ...", ...decoded fields}
//   {"t_ms":120,"led":1}
//   {"t_ms":120,"profile":3,"name":"Flight"}
//   {"t_ms":120,"write":"F0 08 03 00","command":"profile 3","result":"STATUS_SUCCESS","written":4}
//   {"t_ms":500,"device":"surprise removal","result":"STATUS_SUCCESS"}
//   {"t_ms":500,"device":"unplugged"}
// Device input is not an output of the virtual device: empty string.
std::string jsonl_line(const TimelineEntry &entry);
// The same appended to `out`; false (nothing appended) for device input.
bool append_jsonl(std::string &out, const TimelineEntry &entry);

// The whole timeline, one JSON object per line.
void write_jsonl(std::ostream &out, const std::vector<TimelineEntry> &timeline);

// The timeline as a session makes it: each entry is printed as it comes
// (text or JSON lines), so that printing holds no more than the run of
// identical reports being folded.
class TimelinePrinter {
public:
    enum class Format { Text, Jsonl };
    TimelinePrinter(std::ostream &out, Format format, bool expand = false);
    void add(const TimelineEntry &entry);
    // Ends a run being folded; call once the session is over.
    void finish();

private:
    void end_run();
    std::ostream &out_;
    Format format_;
    bool expand_;
    // The report whose repeats are being counted, and how.
    std::optional<TimelineEntry> run_first_;
    uint64_t run_last_ms_ = 0;
    uint64_t run_count_ = 0; // repeats after the first
    uint64_t run_interval_ = 0;
    bool run_regular_ = true;
    std::string line_; // the JSON line being written, its memory kept
};

// The readable timeline: one line per delivered report (time, name, decoded
// fields), per LED change, per profile change, per write, per device report
// fed in and per lifecycle event of the device, with the labels of a
// built-in script as headings. Unless expand is set, a run of identical
// reports in a row (the mouse repeats every 10 ms while it moves) is printed
// once, followed by a line that says how often and until when it repeated.
void write_text(std::ostream &out, const std::vector<TimelineEntry> &timeline, bool expand = false);

// An NTSTATUS by its name for the ones a write can end with ("STATUS_SUCCESS",
// "STATUS_INVALID_PARAMETER", ...), else "0xC0000001" style.
std::string status_name(uint32_t status);

} // namespace mivo::tools
