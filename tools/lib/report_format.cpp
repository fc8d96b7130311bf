#include "tools/lib/report_format.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace mivo::tools {

namespace {

int16_t i16_at(const uint8_t *b, size_t at) { return int16_t(uint16_t(b[at] | (b[at + 1] << 8))); }
uint16_t u16_at(const uint8_t *b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }

// Bit n of a byte, listed as n + base for each set bit.
std::vector<int> bit_numbers(const uint8_t *bytes, size_t count, int base)
{
    std::vector<int> out;
    for (size_t i = 0; i < count; i++) {
        for (int bit = 0; bit < 8; bit++) {
            if (bytes[i] & (1u << bit)) out.push_back(int(i) * 8 + bit + base);
        }
    }
    return out;
}

std::string join_numbers(const std::vector<int> &numbers)
{
    if (numbers.empty()) return "-";
    std::string out;
    for (int n : numbers) {
        if (!out.empty()) out += ' ';
        out += std::to_string(n);
    }
    return out;
}

std::string join_names(const std::vector<std::string> &names, const char *separator)
{
    std::string out;
    for (const std::string &n : names) {
        if (!out.empty()) out += separator;
        out += n;
    }
    return out;
}

// Also the way to put a prefix before a number: GCC 12's optimiser reports a
// false overlap (-Wrestrict) in "F" + std::to_string(n), which inserts at the
// front of a temporary string.
std::string printf_string(const char *fmt, auto... args)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

constexpr std::array<const char *, 16> kConsumerNames = {
    "Mute",           "Volume Increment", "Volume Decrement", "Play/Pause",
    "Stop",           "Scan Previous Track", "Scan Next Track", "AL Email Reader",
    "AL Calculator",  "AC Search",        "AC Home",          "AC Bookmarks",
    "AC Refresh",     "AC Stop",          "AC Forward",       "AC Back",
};

constexpr std::array<const char *, 8> kModifierNames = {"LeftCtrl",  "LeftShift",  "LeftAlt",  "LeftGUI",
                                                       "RightCtrl", "RightShift", "RightAlt", "RightGUI"};

// Usages 0x28..0x81 of the keyboard page that are not letters, digits or F-keys.
struct NamedKey {
    uint8_t usage;
    const char *name;
};
constexpr NamedKey kNamedKeys[] = {
    {0x01, "ErrorRollOver"}, {0x02, "POSTFail"},     {0x03, "ErrorUndefined"}, {0x28, "Enter"},
    {0x29, "Escape"},        {0x2A, "Backspace"},    {0x2B, "Tab"},            {0x2C, "Space"},
    {0x2D, "Minus"},         {0x2E, "Equal"},        {0x2F, "LeftBracket"},    {0x30, "RightBracket"},
    {0x31, "Backslash"},     {0x32, "NonUSHash"},    {0x33, "Semicolon"},      {0x34, "Quote"},
    {0x35, "Grave"},         {0x36, "Comma"},        {0x37, "Period"},         {0x38, "Slash"},
    {0x39, "CapsLock"},      {0x46, "PrintScreen"},  {0x47, "ScrollLock"},     {0x48, "Pause"},
    {0x49, "Insert"},        {0x4A, "Home"},         {0x4B, "PageUp"},         {0x4C, "Delete"},
    {0x4D, "End"},           {0x4E, "PageDown"},     {0x4F, "Right"},          {0x50, "Left"},
    {0x51, "Down"},          {0x52, "Up"},           {0x53, "NumLock"},        {0x54, "KeypadSlash"},
    {0x55, "KeypadStar"},    {0x56, "KeypadMinus"},  {0x57, "KeypadPlus"},     {0x58, "KeypadEnter"},
    {0x63, "KeypadPeriod"},  {0x64, "NonUSBackslash"}, {0x65, "Application"},  {0x66, "Power"},
    {0x67, "KeypadEqual"},   {0x74, "Execute"},      {0x75, "Help"},           {0x76, "Menu"},
    {0x77, "Select"},        {0x78, "Stop"},         {0x79, "Again"},          {0x7A, "Undo"},
    {0x7B, "Cut"},           {0x7C, "Copy"},         {0x7D, "Paste"},          {0x7E, "Find"},
    {0x7F, "Mute"},          {0x80, "VolumeUp"},     {0x81, "VolumeDown"},
};

struct Keyboard {
    std::vector<std::string> modifiers;
    std::vector<std::string> keys;
};

Keyboard decode_keyboard(const uint8_t *b)
{
    Keyboard k;
    for (int bit = 0; bit < 8; bit++) {
        if (b[1] & (1u << bit)) k.modifiers.push_back(kModifierNames[size_t(bit)]);
    }
    for (size_t slot = 2; slot < 8; slot++) {
        if (b[slot] != 0) k.keys.push_back(key_name(b[slot]));
    }
    return k;
}

std::vector<std::string> decode_consumer(const uint8_t *b)
{
    std::vector<std::string> controls;
    uint16_t bits = u16_at(b, 1);
    for (int n = 0; n < 16; n++) {
        if (bits & (1u << n)) controls.push_back(consumer_name(n + 1));
    }
    return controls;
}

constexpr std::string_view kJoystickAxes[8] = {"x", "y", "z", "rx", "ry", "rz", "slider1", "slider2"};
constexpr const char *kJoystickAxisLabels[8] = {"X", "Y", "Z", "Rx", "Ry", "Rz", "S1", "S2"};

} // namespace

ReportKind report_kind(const uint8_t *b, size_t count)
{
    if (count == 0) return ReportKind::Unknown;
    switch (b[0]) {
    case 0xF0: return count == 4 ? ReportKind::Status : ReportKind::Unknown;
    case 0xF1: return count == 19 ? ReportKind::Joystick : ReportKind::Unknown;
    case 0xF2: return count == 8 ? ReportKind::Keyboard : ReportKind::Unknown;
    case 0xF3: return count == 3 ? ReportKind::Consumer : ReportKind::Unknown;
    case 0xF4: return count == 5 ? ReportKind::Mouse : ReportKind::Unknown;
    case 1: return count == 7 ? ReportKind::RawTranslation : ReportKind::Unknown;
    case 2: return count == 7 ? ReportKind::RawRotation : ReportKind::Unknown;
    case 3: return count == 7 ? ReportKind::RawButtons : ReportKind::Unknown;
    default: return ReportKind::Unknown;
    }
}

std::string_view report_name(ReportKind kind)
{
    switch (kind) {
    case ReportKind::Status: return "status";
    case ReportKind::RawTranslation: return "raw_translation";
    case ReportKind::RawRotation: return "raw_rotation";
    case ReportKind::RawButtons: return "raw_buttons";
    case ReportKind::Joystick: return "joystick";
    case ReportKind::Keyboard: return "keyboard";
    case ReportKind::Consumer: return "consumer";
    case ReportKind::Mouse: return "mouse";
    case ReportKind::Unknown: break;
    }
    return "unknown";
}

std::string key_name(uint8_t usage)
{
    if (usage >= 0x04 && usage <= 0x1D) return std::string(1, char('A' + usage - 0x04));
    if (usage >= 0x1E && usage <= 0x26) return std::string(1, char('1' + usage - 0x1E));
    if (usage == 0x27) return "0";
    if (usage >= 0x3A && usage <= 0x45) return printf_string("F%d", usage - 0x3A + 1);
    if (usage >= 0x68 && usage <= 0x73) return printf_string("F%d", usage - 0x68 + 13);
    if (usage >= 0x59 && usage <= 0x61) return printf_string("Keypad%d", usage - 0x59 + 1);
    if (usage == 0x62) return "Keypad0";
    if (usage >= 0xE0 && usage <= 0xE7) return kModifierNames[usage - 0xE0];
    for (const NamedKey &k : kNamedKeys) {
        if (k.usage == usage) return k.name;
    }
    return printf_string("0x%02X", unsigned(usage));
}

std::string consumer_name(int number)
{
    if (number >= 1 && number <= 16) return kConsumerNames[size_t(number - 1)];
    return printf_string("#%d", number);
}

std::string_view hat_name(unsigned value)
{
    static constexpr const char *names[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};
    return value < 8 ? names[value] : "-";
}

namespace {

// JSON members written straight into a line, as nlohmann's dump() writes
// them (no blanks), through a buffer on the stack: a line is a few hundred
// bytes at most. Every name here is plain ASCII without quotes or
// backslashes, so nothing needs escaping.
class JsonMembers {
public:
    void key(std::string_view k)
    {
        *p_++ = ',';
        *p_++ = '"';
        text(k);
        *p_++ = '"';
        *p_++ = ':';
    }
    void text(std::string_view s)
    {
        std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }
    void number(long v) { p_ = std::to_chars(p_, end(), v).ptr; }
    void number(std::string_view k, long v)
    {
        key(k);
        number(v);
    }
    // Bit n of the bytes, listed as n + base for each set bit.
    void bit_numbers(std::string_view k, const uint8_t *bytes, size_t count, int base)
    {
        key(k);
        *p_++ = '[';
        char *first = p_;
        for (size_t i = 0; i < count; i++) {
            for (int bit = 0; bit < 8; bit++) {
                if (!(bytes[i] & (1u << bit))) continue;
                if (p_ != first) *p_++ = ',';
                number(long(i) * 8 + bit + base);
            }
        }
        *p_++ = ']';
    }
    void names(std::string_view k, const std::vector<std::string> &names)
    {
        key(k);
        *p_++ = '[';
        for (size_t i = 0; i < names.size(); i++) {
            if (i) *p_++ = ',';
            *p_++ = '"';
            text(names[i]);
            *p_++ = '"';
        }
        *p_++ = ']';
    }
    void append_to(std::string &out) const { out.append(buf_, size_t(p_ - buf_)); }

private:
    char *end() { return buf_ + sizeof buf_; }
    // The longest: a keyboard report naming 8 modifiers and 6 keys, or a
    // consumer report naming all 16 controls.
    char buf_[640];
    char *p_ = buf_;
};

} // namespace

void append_report_fields_json(std::string &out, const uint8_t *b, size_t count)
{
    JsonMembers j;
    switch (report_kind(b, count)) {
    case ReportKind::Status:
        j.number("running", b[1]);
        j.number("profile", i16_at(b, 2));
        break;
    case ReportKind::RawTranslation:
        j.number("x", i16_at(b, 1));
        j.number("y", i16_at(b, 3));
        j.number("z", i16_at(b, 5));
        break;
    case ReportKind::RawRotation:
        j.number("rx", i16_at(b, 1));
        j.number("ry", i16_at(b, 3));
        j.number("rz", i16_at(b, 5));
        break;
    case ReportKind::RawButtons: j.bit_numbers("buttons", b + 1, 6, 0); break;
    case ReportKind::Joystick:
        for (size_t a = 0; a < 8; a++) j.number(kJoystickAxes[a], u16_at(b, 1 + 2 * a));
        j.number("hat", b[17] & 0x0F);
        j.bit_numbers("buttons", b + 18, 1, 1);
        break;
    case ReportKind::Keyboard: {
        Keyboard k = decode_keyboard(b);
        j.names("modifiers", k.modifiers);
        j.names("keys", k.keys);
        break;
    }
    case ReportKind::Consumer: j.names("controls", decode_consumer(b)); break;
    case ReportKind::Mouse:
        j.number("x", int8_t(b[1]));
        j.number("y", int8_t(b[2]));
        j.number("wheel", int8_t(b[3]));
        j.bit_numbers("buttons", b + 4, 1, 1);
        break;
    case ReportKind::Unknown: break;
    }
    j.append_to(out);
}

nlohmann::ordered_json report_fields(const uint8_t *b, size_t count)
{
    std::string members;
    append_report_fields_json(members, b, count);
    if (members.empty()) return nlohmann::ordered_json::object();
    members[0] = '{';
    members += '}';
    return nlohmann::ordered_json::parse(members);
}

std::string report_text(const uint8_t *b, size_t count)
{
    switch (report_kind(b, count)) {
    case ReportKind::Status: return printf_string("running %u  profile %d", unsigned(b[1]), int(i16_at(b, 2)));
    case ReportKind::RawTranslation:
        return printf_string("X %4d  Y %4d  Z %4d", i16_at(b, 1), i16_at(b, 3), i16_at(b, 5));
    case ReportKind::RawRotation:
        return printf_string("Rx %4d  Ry %4d  Rz %4d", i16_at(b, 1), i16_at(b, 3), i16_at(b, 5));
    case ReportKind::RawButtons: return "buttons " + join_numbers(bit_numbers(b + 1, 6, 0));
    case ReportKind::Joystick: {
        std::string out;
        for (size_t a = 0; a < 8; a++) {
            out += printf_string("%s %3u  ", kJoystickAxisLabels[a], unsigned(u16_at(b, 1 + 2 * a)));
        }
        out += printf_string("hat %-2s  buttons ", std::string(hat_name(b[17] & 0x0F)).c_str());
        return out + join_numbers(bit_numbers(b + 18, 1, 1));
    }
    case ReportKind::Keyboard: {
        Keyboard k = decode_keyboard(b);
        if (k.modifiers.empty() && k.keys.empty()) return "no keys";
        std::vector<std::string> all = k.modifiers;
        all.insert(all.end(), k.keys.begin(), k.keys.end());
        return "keys " + join_names(all, " + ");
    }
    case ReportKind::Consumer: {
        std::vector<std::string> controls = decode_consumer(b);
        return controls.empty() ? "no controls" : join_names(controls, ", ");
    }
    case ReportKind::Mouse:
        return printf_string("X %4d  Y %4d  wheel %3d  buttons ", int(int8_t(b[1])), int(int8_t(b[2])),
                             int(int8_t(b[3]))) +
               join_numbers(bit_numbers(b + 4, 1, 1));
    case ReportKind::Unknown: break;
    }
    return "";
}

} // namespace mivo::tools
