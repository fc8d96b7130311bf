// Decoding of the reports the virtual device delivers to the HID class driver,
// for people (one line of text) and for programs (JSON fields). The layouts are
// those of the report images in context/context.h; a report whose ID or length does
// not match any of them is "unknown" and shown by its bytes alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace mivo::tools {

enum class ReportKind { Status, RawTranslation, RawRotation, RawButtons, Joystick, Keyboard, Consumer, Mouse, Unknown };

// By report ID and length, exactly as the driver hands them out.
ReportKind report_kind(const uint8_t *bytes, size_t count);
// "status", "raw_translation", "raw_rotation", "raw_buttons", "joystick",
// "keyboard", "consumer", "mouse", "unknown".
std::string_view report_name(ReportKind kind);

// The decoded fields, in a fixed order:
//   status          running (0/1), profile (i16)
//   raw_translation x, y, z        raw_rotation rx, ry, rz   (i16 each)
//   raw_buttons     buttons: device button numbers that are down (0-based)
//   joystick        x, y, z, rx, ry, rz, slider1, slider2 (0..720, 360 = rest),
//                   hat (0..7 clockwise from north, 8 = centred), buttons (1-based)
//   keyboard        modifiers and keys, by name
//   consumer        controls, by name
//   mouse           x, y, wheel (i8), buttons (1-based)
//   unknown         nothing
nlohmann::ordered_json report_fields(const uint8_t *bytes, size_t count);
// The same fields as JSON members, each with a comma before it, appended to
// `out` (what report_fields is made from, and the fast way into a JSON line).
void append_report_fields_json(std::string &out, const uint8_t *bytes, size_t count);
// The same as one line for a timeline, e.g.
// "X 360  Y 360  Z 360  Rx 302  Ry 360  Rz 360  S1 360  S2 10  hat W  buttons 2".
std::string report_text(const uint8_t *bytes, size_t count);

inline nlohmann::ordered_json report_fields(const std::vector<uint8_t> &b) { return report_fields(b.data(), b.size()); }
inline std::string report_text(const std::vector<uint8_t> &b) { return report_text(b.data(), b.size()); }

// Keyboard/keypad usage (HID usage page 0x07) by name: "A", "Enter",
// "LeftShift", "F5"; codes without a name read "0x%02X".
std::string key_name(uint8_t usage);
// Consumer control number 1..16 of the virtual device by its usage name
// ("Mute", "Volume Increment", ... "AC Back"); other numbers read "#n".
std::string consumer_name(int number);
// Hat value 0..7 as a compass direction ("N", "NE", ... "NW"); others "-".
std::string_view hat_name(unsigned value);

} // namespace mivo::tools
