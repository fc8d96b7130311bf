#include "tools/lib/profile_names.h"

#include <cctype>

#include "profiles/profiles.h"

namespace mivo::profile {

namespace {

std::string from_table(const NameTable &table, int64_t value)
{
    for (const NameEntry &e : table)
        if (e.value == value)
            return e.name; // the first entry of a value is its written form; aliases follow
    return "";
}

NameTable make_key_names()
{
    NameTable t;
    static const char *const letters[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m",
                                          "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z"};
    for (int n = 0; n < 26; n++)
        t.push_back({letters[n], 0x04 + n});
    static const char *const digits[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0"};
    for (int n = 0; n < 10; n++)
        t.push_back({digits[n], 0x1E + n});
    static const NameEntry named[] = {
        {"enter", 0x28}, {"escape", 0x29}, {"backspace", 0x2A}, {"tab", 0x2B}, {"space", 0x2C},
        {"minus", 0x2D}, {"equal", 0x2E}, {"left_bracket", 0x2F}, {"right_bracket", 0x30},
        {"backslash", 0x31}, {"non_us_hash", 0x32}, {"semicolon", 0x33}, {"apostrophe", 0x34},
        {"grave", 0x35}, {"comma", 0x36}, {"period", 0x37}, {"slash", 0x38}, {"caps_lock", 0x39},
        {"f1", 0x3A}, {"f2", 0x3B}, {"f3", 0x3C}, {"f4", 0x3D}, {"f5", 0x3E}, {"f6", 0x3F},
        {"f7", 0x40}, {"f8", 0x41}, {"f9", 0x42}, {"f10", 0x43}, {"f11", 0x44}, {"f12", 0x45},
        {"print_screen", 0x46}, {"scroll_lock", 0x47}, {"pause", 0x48}, {"insert", 0x49},
        {"home", 0x4A}, {"page_up", 0x4B}, {"delete", 0x4C}, {"end", 0x4D}, {"page_down", 0x4E},
        {"right", 0x4F}, {"left", 0x50}, {"down", 0x51}, {"up", 0x52}, {"num_lock", 0x53},
        {"kp_slash", 0x54}, {"kp_asterisk", 0x55}, {"kp_minus", 0x56}, {"kp_plus", 0x57},
        {"kp_enter", 0x58}, {"kp_1", 0x59}, {"kp_2", 0x5A}, {"kp_3", 0x5B}, {"kp_4", 0x5C},
        {"kp_5", 0x5D}, {"kp_6", 0x5E}, {"kp_7", 0x5F}, {"kp_8", 0x60}, {"kp_9", 0x61},
        {"kp_0", 0x62}, {"kp_period", 0x63}, {"non_us_backslash", 0x64}, {"application", 0x65},
        {"left_ctrl", 0xE0}, {"left_shift", 0xE1}, {"left_alt", 0xE2}, {"left_gui", 0xE3},
        {"right_ctrl", 0xE4}, {"right_shift", 0xE5}, {"right_alt", 0xE6}, {"right_gui", 0xE7},
        // what people also call them
        {"ctrl", 0xE0}, {"shift", 0xE1}, {"alt", 0xE2}, {"gui", 0xE3}, {"win", 0xE3}, {"esc", 0x29},
        {"return", 0x28}, {"del", 0x4C}, {"pgup", 0x4B}, {"pgdn", 0x4E}, {"menu", 0x65},
    };
    t.insert(t.end(), std::begin(named), std::end(named));
    return t;
}

} // namespace

std::string normalize_name(std::string_view name)
{
    std::string out;
    for (unsigned char c : name)
        if (std::isalnum(c))
            out += char(std::tolower(c));
    return out;
}

std::optional<int64_t> lookup(const NameTable &table, std::string_view name)
{
    std::string wanted = normalize_name(name);
    if (wanted.empty())
        return std::nullopt;
    for (const NameEntry &e : table)
        if (normalize_name(e.name) == wanted)
            return e.value;
    return std::nullopt;
}

const NameTable &direction_names()
{
    static const NameTable t = {{"both", 0}, {"positive", 1}, {"negative", 2}};
    return t;
}

const NameTable &trigger_names()
{
    static const NameTable t = {{"direct", TRIGGER_DIRECT}, {"tap", TRIGGER_TAP}, {"hold", TRIGGER_HOLD}};
    return t;
}

const NameTable &joystick_axis_names()
{
    static const NameTable t = {{"x", 0},  {"y", 1},  {"z", 2},       {"rx", 3},
                                {"ry", 4}, {"rz", 5}, {"slider1", 6}, {"slider2", 7}};
    return t;
}

const NameTable &hat_names()
{
    static const NameTable t = {{"up_down", 0}, {"left_right", 1}};
    return t;
}

const NameTable &mouse_button_names()
{
    static const NameTable t = {{"left", 0}, {"right", 1}, {"middle", 2}, {"back", 3}, {"forward", 4}};
    return t;
}

// Control n is bit n-1 of the consumer report, in the order the virtual
// device's report descriptor lists the usages.
const NameTable &consumer_names()
{
    static const NameTable t = {
        {"mute", 1},           {"volume_increment", 2},    {"volume_decrement", 3}, {"play_pause", 4},
        {"stop", 5},           {"scan_previous_track", 6}, {"scan_next_track", 7},  {"al_email_reader", 8},
        {"al_calculator", 9},  {"ac_search", 10},          {"ac_home", 11},         {"ac_bookmarks", 12},
        {"ac_refresh", 13},    {"ac_stop", 14},            {"ac_forward", 15},      {"ac_back", 16},
        {"volume_up", 2},      {"volume_down", 3},         {"previous_track", 6},   {"next_track", 7},
    };
    return t;
}

const NameTable &key_names()
{
    static const NameTable t = make_key_names();
    return t;
}

std::string axis_source_name(uint8_t index)
{
    static const char *const names[] = {"tx", "ty", "tz", "rx", "ry", "rz"};
    return index < 6 ? names[index] : "axis " + std::to_string(index);
}

std::string joystick_axis_name(uint8_t axis)
{
    std::string name = from_table(joystick_axis_names(), axis);
    return name.empty() ? std::to_string(axis) : name;
}

std::string mouse_button_name(uint8_t button)
{
    std::string name = from_table(mouse_button_names(), button);
    return name.empty() ? std::to_string(button) : name;
}

std::string consumer_name_of(uint8_t control)
{
    std::string name = from_table(consumer_names(), control);
    return name.empty() ? std::to_string(control) : name;
}

std::string key_name_of(uint8_t usage)
{
    return from_table(key_names(), usage);
}

std::optional<SourceRef> parse_source_name(std::string_view name)
{
    std::string n = normalize_name(name);
    if (auto axis = lookup({{"tx", 0}, {"ty", 1}, {"tz", 2}, {"rx", 3}, {"ry", 4}, {"rz", 5}}, n))
        return SourceRef{SOURCE_AXIS, uint8_t(*axis)};
    struct Numbered {
        std::string_view prefix;
        uint32_t type;
        int last;
    };
    static const Numbered numbered[] = {{"axis", SOURCE_AXIS, 5}, {"button", SOURCE_BUTTON, 47}};
    for (auto [p, type, last] : numbered) {
        if (n.size() <= p.size() || n.size() > p.size() + 2 || n.compare(0, p.size(), p) != 0)
            continue;
        std::string digits = n.substr(p.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        int index = std::stoi(digits);
        if (index > last)
            return std::nullopt;
        return SourceRef{uint32_t(type), uint8_t(index)};
    }
    return std::nullopt;
}

bool exclusive(const Bind &a, const Bind &b)
{
    BindView x(a), y(b);
    if (x.source_type() != y.source_type() || x.source_index() != y.source_index())
        return false;
    if (x.source_type() == SOURCE_BUTTON)
        return (x.invert() != 0) != (y.invert() != 0) && x.at6() == 0 && y.at6() == 0;
    if (x.source_type() != SOURCE_AXIS)
        return true; // neither ever gives a value
    // The side of the device axis each one passes: direction picks a side of
    // the bind's value, and invert flips which input side that is.
    auto side = [](const BindView &v) {
        int s = v.direction() == 1 ? 1 : v.direction() == 2 ? -1 : 0;
        return v.invert() != 0 ? -s : s;
    };
    return side(x) != 0 && side(y) != 0 && side(x) != side(y);
}


size_t utf16_units(std::string_view utf8)
{
    return utf8_to_utf16(utf8).size();
}

} // namespace mivo::profile
