#include "tools/lib/trace_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace mivo::tools {

TraceParseError::TraceParseError(std::string file_, int line_, std::string message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ": " + message_), file(std::move(file_)),
      line(line_), message(std::move(message_))
{
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> split_blanks(std::string_view s)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) i++;
        size_t start = i;
        while (i < s.size() && !is_blank(s[i])) i++;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

// Whole milliseconds; anything else (sign, fraction, unit, overflow) is refused
// rather than guessed at.
uint64_t parse_time(std::string_view word, const std::string &file, int line)
{
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            throw TraceParseError(file, line,
                                  "bad time '" + std::string(word) + "': expected whole milliseconds (e.g. 120)");
        }
        value = value * 10 + uint64_t(c - '0');
        if (value > kMaxSessionMs) {
            throw TraceParseError(file, line,
                                  "time '" + std::string(word) + "' is out of range (at most " +
                                      std::to_string(kMaxSessionMs) + " ms, a day)");
        }
    }
    return value;
}

TraceEvent parse_line(std::string_view text, const std::string &file, int line)
{
    std::vector<std::string_view> words = split_blanks(text);
    TraceEvent ev;
    ev.line = line;
    ev.t_ms = parse_time(words[0], file, line);
    size_t first = 1;
    // In any case, like the hex digits after it.
    auto is_write = [](std::string_view w) {
        return w.size() == 5 && std::equal(w.begin(), w.end(), "write", [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               });
    };
    if (words.size() > 1 && is_write(words[1])) {
        ev.kind = TraceEvent::Kind::Write;
        first = 2;
    }
    for (size_t w = first; w < words.size(); w++) {
        std::string_view word = words[w];
        // A word that is no hex where "write" could stand is most likely a
        // misspelt one.
        bool letters = std::any_of(word.begin(), word.end(), [](char c) { return std::isalpha(c) && hex_digit(c) < 0; });
        std::string hint = w == 1 && letters ? " (a write is '<time> write <hex bytes>')" : "";
        if (word.size() % 2 != 0) {
            throw TraceParseError(file, line,
                                  "bad hex '" + std::string(word) + "'" +
                                      (hint.empty() ? ": bytes are pairs of hex digits (e.g. 0A)" : hint));
        }
        for (size_t i = 0; i < word.size(); i += 2) {
            int hi = hex_digit(word[i]), lo = hex_digit(word[i + 1]);
            if (hi < 0 || lo < 0) {
                throw TraceParseError(file, line, "bad hex '" + std::string(word) + "'" + hint);
            }
            ev.bytes.push_back(uint8_t(hi * 16 + lo));
        }
    }
    bool write = ev.kind == TraceEvent::Kind::Write;
    if (ev.bytes.empty()) {
        throw TraceParseError(file, line, write ? "no report bytes after 'write'" : "no report bytes after the time");
    }
    size_t most = write ? kMaxWriteBytes : kMaxReportBytes;
    if (ev.bytes.size() > most) {
        throw TraceParseError(file, line,
                              "too many bytes: " + std::to_string(ev.bytes.size()) +
                                  (write ? " (a written report has at most " : " (a device report has at most ") +
                                  std::to_string(most) + ")");
    }
    return ev;
}

} // namespace

std::vector<TraceEvent> parse_trace(std::string_view text, std::string_view source_name)
{
    const std::string file(source_name);
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3); // editors on Windows like to add a BOM
    std::vector<TraceEvent> events;
    int line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        line++;

        std::string_view content = raw.substr(0, raw.find('#'));
        if (split_blanks(content).empty()) continue;
        TraceEvent ev = parse_line(content, file, line);
        if (!events.empty() && ev.t_ms < events.back().t_ms) {
            throw TraceParseError(file, line,
                                  "time goes backwards: " + std::to_string(ev.t_ms) + " ms after " +
                                      std::to_string(events.back().t_ms) + " ms on line " +
                                      std::to_string(events.back().line));
        }
        events.push_back(std::move(ev));
    }
    return events;
}

std::vector<TraceEvent> parse_trace(std::istream &in, std::string_view source_name)
{
    std::ostringstream text;
    text << in.rdbuf();
    return parse_trace(text.str(), source_name);
}

std::vector<TraceEvent> load_trace_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw TraceParseError(path, 0, "cannot open the file");
    return parse_trace(in, path);
}

std::string hex_bytes(const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 3);
    for (size_t i = 0; i < count; i++) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

} // namespace mivo::tools
