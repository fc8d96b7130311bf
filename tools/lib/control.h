// The control application's side of the virtual device's report 0xF0: the
// command words it takes, the 4-byte output report each one becomes, and the
// status input report read back. One place for both builds of mivo-ctl: the
// Linux one, which writes trace lines for the simulator, and the Windows one,
// which writes through hid.dll. So this is plain C++20 with the standard
// library alone: no simulated kernel, no driver headers, no option parser.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::control {

constexpr uint8_t kReportId = 0xF0;
// The length the report descriptor declares for the command (output) and the
// status (input) report alike, report ID included.
constexpr size_t kReportBytes = 4;

// Byte 1 of the command report. The driver's names are CMD_INPUT_CHANGED,
// CMD_RESET_INPUT, CMD_NAV_LED, CMD_NAV_INIT, CMD_NAV_CALIBRATE,
// CMD_PROFIL_NUM and CMD_MODE_CONFIG.
enum class Code : uint8_t {
    Resend = 0x01,
    Reload = 0x02,
    Led = 0x04,
    Init = 0x06,
    Calibrate = 0x07,
    Profile = 0x08,
    Config = 0xFF,
};

struct Command {
    Code code = Code::Reload;
    // On/off (0 or 1) for Led and Config, the profile id for Profile; 0 otherwise.
    int16_t param = 0;
    bool operator==(const Command &) const = default;
};

using Report = std::array<uint8_t, kReportBytes>;

// The value or, when there is none, a message that says what was wrong, for
// a person to read.
template <typename T> struct Result {
    std::optional<T> value;
    std::string error;
    explicit operator bool() const { return value.has_value(); }
};

// The words of a command line after the program's own options, e.g.
// {"profile", "-1"} or {"led", "on"}. Errors name the command and the word:
// "profile: '3x' is not a number from -32768 to 32767".
Result<Command> parse_command(std::span<const std::string> words);

// F0, the code, then the parameter: on/off in byte 2, or the profile id in
// bytes 2-3, little-endian. Bytes left over are 0.
Report encode(const Command &command);

// What a written report asks, in the words parse_command takes ("profile 3",
// "led on"), or what it is when it is no command of these ("unknown command
// 0x03", "report 0x04 for the device"). Missing bytes read as 0, as the driver
// reads them.
std::string describe(std::span<const uint8_t> report);

// The status input report: F0, running (1 once the driver has translated
// since its last rebuild), profile id i16 little-endian (-1: the base
// profile, or none).
struct Status {
    bool running = false;
    int16_t profile = 0;
    bool operator==(const Status &) const = default;
};
// Refuses anything but 4 bytes starting with F0, saying what it got.
Result<Status> decode_status(std::span<const uint8_t> report);
// "running, profile 3" or "not running yet, profile -1".
std::string describe(const Status &status);

// "f0 08 03 00": lower case, one blank between bytes.
std::string hex(std::span<const uint8_t> bytes);
// Bytes written as pairs of hex digits, blank-separated or run together; an
// error names the word at fault.
Result<std::vector<uint8_t>> parse_hex(std::string_view text);

// The commands with their words, one a line, for a usage text.
std::string_view command_summary();

} // namespace mivo::control
