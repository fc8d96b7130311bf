// Trace files (device reports and writes, one a line) on any text, read as
// mivo-sim streams them. Every event read is within the limits the format
// states, times never go back, and hex_bytes of the bytes reads back the same.
#include <sstream>
#include <string>

#include "fuzz/fuzz.h"
#include "tools/lib/trace_file.h"

using namespace mivo::tools;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    // Small limits, so that the fuzzer reaches them.
    TraceReader reader(in, "fuzz.trace", TraceLimits{.max_line_bytes = 64, .max_file_bytes = 2048});
    uint64_t last = 0;
    try {
        while (std::optional<TraceEvent> event = reader.next()) {
            const size_t most = event->kind == TraceEvent::Kind::Input ? kMaxReportBytes : kMaxWriteBytes;
            fuzz::check(!event->bytes.empty() && event->bytes.size() <= most, "an event carries 1 to its most bytes");
            fuzz::check(event->t_ms >= last && event->t_ms <= kMaxSessionMs, "times go forward within a day");
            fuzz::check(event->line >= 1, "an event names its line");
            last = event->t_ms;
            const std::string line = std::to_string(event->t_ms) +
                                     (event->kind == TraceEvent::Kind::Write ? " write " : " ") +
                                     hex_bytes(event->bytes);
            const std::vector<TraceEvent> back = parse_trace(line);
            fuzz::check(back.size() == 1 && back[0].bytes == event->bytes && back[0].kind == event->kind &&
                            back[0].t_ms == event->t_ms,
                        "an event written as a line reads back the same");
        }
    } catch (const TraceParseError &e) {
        fuzz::check(e.line >= 1, "a parse error names its line");
    }
    return 0;
}
