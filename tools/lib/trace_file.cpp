#include "tools/lib/trace_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
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

// The next blank-separated word of s from at on, moving at past it; empty at
// the end of s.
std::string_view next_word(std::string_view s, size_t &at)
{
    while (at < s.size() && is_blank(s[at])) at++;
    size_t start = at;
    while (at < s.size() && !is_blank(s[at])) at++;
    return s.substr(start, at - start);
}

// Whole milliseconds; anything else (sign, fraction, unit, overflow) is refused
// rather than guessed at.
uint64_t parse_time(std::string_view word, const std::string &file, int line)
{
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            throw TraceParseError(file, line,
                                  "bad time " + quote_word(word) + ": expected whole milliseconds (e.g. 120)");
        }
        value = value * 10 + uint64_t(c - '0');
        if (value > kMaxSessionMs) {
            throw TraceParseError(file, line,
                                  "time " + quote_word(word) + " is out of range (at most " +
                                      std::to_string(kMaxSessionMs) + " ms, a day)");
        }
    }
    return value;
}

TraceEvent parse_line(std::string_view text, const std::string &file, int line)
{
    size_t at = 0;
    TraceEvent ev;
    ev.line = line;
    ev.t_ms = parse_time(next_word(text, at), file, line);
    // In any case, like the hex digits after it.
    auto is_write = [](std::string_view w) {
        return w.size() == 5 && std::equal(w.begin(), w.end(), "write", [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               });
    };
    std::string_view word = next_word(text, at);
    size_t w = 1;
    if (is_write(word)) {
        ev.kind = TraceEvent::Kind::Write;
        word = next_word(text, at);
        w = 2;
    }
    ev.bytes.reserve((text.size() - std::min(text.size(), at - word.size())) / 2);
    for (; !word.empty(); word = next_word(text, at), w++) {
        // A word that is no hex where "write" could stand is most likely a
        // misspelt one.
        auto hint = [&]() -> std::string {
            bool letters = std::any_of(word.begin(), word.end(),
                                       [](char c) { return std::isalpha(c) && hex_digit(c) < 0; });
            return w == 1 && letters ? " (a write is '<time> write <hex bytes>')" : "";
        };
        if (word.size() % 2 != 0) {
            throw TraceParseError(file, line,
                                  "bad hex " + quote_word(word) +
                                      (hint().empty() ? ": bytes are pairs of hex digits (e.g. 0A)" : hint()));
        }
        for (size_t i = 0; i < word.size(); i += 2) {
            int hi = hex_digit(word[i]), lo = hex_digit(word[i + 1]);
            if (hi < 0 || lo < 0) {
                throw TraceParseError(file, line, "bad hex " + quote_word(word) + hint());
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

TraceReader::TraceReader(std::istream &in, std::string source_name, TraceLimits limits)
    : in_(&in), file_(std::move(source_name)), limits_(limits)
{
}

TraceReader::TraceReader(TraceReader &&) noexcept = default;
TraceReader::~TraceReader() = default;

TraceReader TraceReader::open(const std::string &path, TraceLimits limits)
{
    std::error_code ec;
    // A directory opens as a file on Linux and then reads as empty: a session
    // of nothing, which is never what was meant.
    if (std::filesystem::is_directory(path, ec)) throw TraceParseError(path, 0, "is a directory, not a trace file");
    auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file) throw TraceParseError(path, 0, "cannot open the file");
    TraceReader reader(*file, path, limits);
    reader.owned_ = std::move(file);
    return reader;
}

std::optional<TraceEvent> TraceReader::next()
{
    for (;;) {
        if (!*in_) return std::nullopt;
        // One byte more than a line may hold, so that a line just too long is
        // told from one that fits; never more than that is read.
        buffer_.resize(limits_.max_line_bytes + 2);
        in_->getline(buffer_.data(), std::streamsize(buffer_.size()));
        size_t got = size_t(in_->gcount());
        if (got == 0 && in_->eof()) return std::nullopt;
        // What was stored: gcount also counts the line feed taken but not kept.
        bool ended = !in_->fail() && !in_->eof();
        size_t stored = ended ? got - 1 : got;
        bool cut = in_->fail() && !in_->eof();
        line_++;
        bytes_read_ += got;
        if (cut || stored > limits_.max_line_bytes) {
            throw TraceParseError(file_, line_,
                                  "line longer than " + std::to_string(limits_.max_line_bytes) + " bytes");
        }
        if (bytes_read_ > limits_.max_file_bytes) {
            throw TraceParseError(file_, line_,
                                  "the trace is longer than " + std::to_string(limits_.max_file_bytes) + " bytes");
        }
        std::string_view raw(buffer_.data(), stored);
        if (line_ == 1 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3); // editors on Windows like to add a BOM

        std::string_view content = raw.substr(0, raw.find('#'));
        if (std::all_of(content.begin(), content.end(), is_blank)) continue;
        TraceEvent ev = parse_line(content, file_, line_);
        if (have_last_ && ev.t_ms < last_t_ms_) {
            throw TraceParseError(file_, line_,
                                  "time goes backwards: " + std::to_string(ev.t_ms) + " ms after " +
                                      std::to_string(last_t_ms_) + " ms on line " + std::to_string(last_line_));
        }
        have_last_ = true;
        last_t_ms_ = ev.t_ms;
        last_line_ = line_;
        return ev;
    }
}

std::vector<TraceEvent> parse_trace(std::istream &in, std::string_view source_name)
{
    TraceReader reader(in, std::string(source_name));
    std::vector<TraceEvent> events;
    while (std::optional<TraceEvent> ev = reader.next()) events.push_back(std::move(*ev));
    return events;
}

std::vector<TraceEvent> parse_trace(std::string_view text, std::string_view source_name)
{
    std::istringstream in{std::string(text)};
    return parse_trace(in, source_name);
}

std::vector<TraceEvent> load_trace_file(const std::string &path)
{
    TraceReader reader = TraceReader::open(path);
    std::vector<TraceEvent> events;
    while (std::optional<TraceEvent> ev = reader.next()) events.push_back(std::move(*ev));
    return events;
}

void check_trace_file(const std::string &path, TraceLimits limits)
{
    TraceReader reader = TraceReader::open(path, limits);
    while (reader.next()) {
    }
}

std::string quote_word(std::string_view word)
{
    constexpr size_t kMost = 32;
    if (word.size() <= kMost) return "'" + std::string(word) + "'";
    return "'" + std::string(word.substr(0, kMost)) + "...'";
}

void append_hex_bytes(std::string &out, const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    if (count == 0) return;
    size_t at = out.size();
    out.resize(at + count * 3 - 1, ' ');
    char *p = out.data() + at;
    for (size_t i = 0; i < count; i++, p += 3) {
        p[0] = digits[bytes[i] >> 4];
        p[1] = digits[bytes[i] & 15];
    }
}

std::string hex_bytes(const uint8_t *bytes, size_t count)
{
    std::string out;
    append_hex_bytes(out, bytes, count);
    return out;
}

} // namespace mivo::tools
