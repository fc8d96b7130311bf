#include "tools/lib/control.h"

#include <charconv>
#include <cstdio>
#include <limits>

namespace mivo::control {

namespace {

enum class Param { None, OnOff, ProfileId };

struct Word {
    const char *name;
    Code code;
    Param param;
    const char *help;
};

constexpr Word kWords[] = {
    {"reload", Code::Reload, Param::None, "reload             rebuild the profiles from the registry"},
    {"resend", Code::Resend, Param::None, "resend             deliver the status and raw reports again"},
    {"led", Code::Led, Param::OnOff, "led on|off         the LED's resting state"},
    {"init", Code::Init, Param::None, "init               send the device its initialisation command"},
    {"calibrate", Code::Calibrate, Param::None, "calibrate          send the device its calibration command"},
    {"profile", Code::Profile, Param::ProfileId, "profile ID         switch to the profile with this id (-1: base)"},
    {"config", Code::Config, Param::OnOff, "config on|off      configuration mode: no binds are mapped while on"},
};

const Word *find_word(std::string_view name)
{
    for (const Word &w : kWords) {
        if (name == w.name) return &w;
    }
    return nullptr;
}

const Word *find_code(uint8_t code)
{
    for (const Word &w : kWords) {
        if (uint8_t(w.code) == code) return &w;
    }
    return nullptr;
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

std::string command_list()
{
    std::string out;
    for (const Word &w : kWords) {
        if (!out.empty()) out += ", ";
        out += w.name;
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

Result<Command> parse_command(std::span<const std::string> words)
{
    if (words.empty()) return {std::nullopt, "no command given (commands: " + command_list() + ")"};
    const Word *w = find_word(words[0]);
    if (w == nullptr) return {std::nullopt, "unknown command " + quoted(words[0]) + " (commands: " + command_list() + ")"};
    const std::string name = w->name;
    size_t wanted = w->param == Param::None ? 1 : 2;
    if (words.size() > wanted) return {std::nullopt, name + ": unexpected " + quoted(words[wanted])};

    Command command{w->code, 0};
    switch (w->param) {
    case Param::None: break;
    case Param::OnOff:
        if (words.size() < 2) return {std::nullopt, name + ": expected 'on' or 'off'"};
        if (words[1] == "on") {
            command.param = 1;
        } else if (words[1] != "off") {
            return {std::nullopt, name + ": expected 'on' or 'off', not " + quoted(words[1])};
        }
        break;
    case Param::ProfileId: {
        if (words.size() < 2) return {std::nullopt, name + ": expected a profile id from -32768 to 32767"};
        const std::string &text = words[1];
        // from_chars takes neither a '+' nor blanks, and stops at the first
        // non-digit, so the whole word must be used up.
        int value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
            value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max()) {
            return {std::nullopt, name + ": " + quoted(text) + " is not a number from -32768 to 32767"};
        }
        command.param = int16_t(value);
        break;
    }
    }
    return {command, ""};
}

Report encode(const Command &command)
{
    Report r{kReportId, uint8_t(command.code), 0, 0};
    const Word *w = find_code(uint8_t(command.code));
    if (w != nullptr && w->param == Param::ProfileId) {
        uint16_t id = uint16_t(command.param);
        r[2] = uint8_t(id & 0xFF);
        r[3] = uint8_t(id >> 8);
    } else if (w != nullptr && w->param == Param::OnOff) {
        r[2] = command.param != 0 ? 1 : 0;
    }
    return r;
}

std::string describe(std::span<const uint8_t> report)
{
    auto at = [&](size_t i) -> uint8_t { return i < report.size() ? report[i] : 0; };
    char code[8];
    if (at(0) != kReportId) {
        std::snprintf(code, sizeof code, "0x%02x", unsigned(at(0)));
        return std::string("report ") + code + " for the device";
    }
    const Word *w = find_code(at(1));
    if (w == nullptr) {
        std::snprintf(code, sizeof code, "0x%02x", unsigned(at(1)));
        return std::string("unknown command ") + code;
    }
    std::string out = w->name;
    switch (w->param) {
    case Param::None: break;
    // The driver takes any byte but 0 as on.
    case Param::OnOff: out += at(2) != 0 ? " on" : " off"; break;
    case Param::ProfileId: out += " " + std::to_string(int16_t(uint16_t(at(2) | at(3) << 8))); break;
    }
    return out;
}

Result<Status> decode_status(std::span<const uint8_t> report)
{
    if (report.size() != kReportBytes || report[0] != kReportId) {
        std::string got = report.empty() ? "nothing" : std::to_string(report.size()) + " byte" +
                                                           (report.size() == 1 ? "" : "s") + " (" + hex(report) + ")";
        return {std::nullopt, "not a status report: expected 4 bytes starting with f0, got " + got};
    }
    return {Status{report[1] != 0, int16_t(uint16_t(report[2] | report[3] << 8))}, ""};
}

std::string describe(const Status &status)
{
    return std::string(status.running ? "running" : "not running yet") + ", profile " + std::to_string(status.profile);
}

std::string hex(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Result<std::vector<uint8_t>> parse_hex(std::string_view text)
{
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            i++;
            continue;
        }
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') i++;
        std::string_view word = text.substr(start, i - start);
        if (word.size() % 2 != 0) return {std::nullopt, "bad hex " + quoted(word) + ": bytes are pairs of hex digits"};
        for (size_t k = 0; k < word.size(); k += 2) {
            int hi = hex_digit(word[k]), lo = hex_digit(word[k + 1]);
            if (hi < 0 || lo < 0) return {std::nullopt, "bad hex " + quoted(word)};
            bytes.push_back(uint8_t(hi * 16 + lo));
        }
    }
    return {std::move(bytes), ""};
}

std::string_view command_summary()
{
    static const std::string text = [] {
        std::string out;
        for (const Word &w : kWords) out += std::string("  ") + w.help + "\n";
        return out;
    }();
    return text;
}

} // namespace mivo::control
