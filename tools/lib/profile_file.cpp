#include "tools/lib/profile_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include <toml++/toml.h>

#include "profiles/profiles.h"
#include "tools/lib/profile_names.h"
#include "tools/lib/profile_store.h"

namespace mivo::profile {

namespace {

// ---------------------------------------------------------------- record bytes

using Bytes = std::array<uint8_t, kBindBytes>;

void put16(Bytes &b, size_t at, int32_t v)
{
    b[at] = uint8_t(v), b[at + 1] = uint8_t(uint32_t(v) >> 8);
}
void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int n = 0; n < 4; n++)
        b[at + n] = uint8_t(v >> (8 * n));
}

constexpr size_t kSourceType = 0, kSourceIndex = 4, kInvert = 5, kAt6 = 6, kAt8 = 8, kAxisMax = 10,
                 kDirection = 12, kActionType = 16, kParam = 20, kHoldTime = 28, kTrigger = 30;

SourcePos pos_of(const toml::source_region &region, const std::string &file)
{
    return SourcePos{file, int(region.begin.line), int(region.begin.column)};
}

// ---------------------------------------------------------------- the parser

class Parser {
public:
    Parser(std::string file, std::vector<Diagnostic> &out) : file_(std::move(file)), out_(out) {}

    std::optional<ProfileFile> parse(std::string_view text)
    {
        size_t first = out_.size();
        auto result = parse_document(text);
        // toml++ hands out a table's keys sorted by name: put the messages back in file order.
        std::stable_sort(out_.begin() + first, out_.end(), [](const Diagnostic &a, const Diagnostic &b) {
            return std::pair(a.where.line, a.where.column) < std::pair(b.where.line, b.where.column);
        });
        return result;
    }

private:
    std::optional<ProfileFile> parse_document(std::string_view text)
    {
        toml::table top;
        try {
            top = toml::parse(text, file_);
        } catch (const toml::parse_error &e) {
            error(pos_of(e.source(), file_), std::string(e.description()));
            return std::nullopt;
        }
        ProfileFile pf;
        pf.profile.where = SourcePos{file_, 1, 1};
        bool have_id = false;
        for (auto &&[key, node] : top) {
            std::string k(key.str());
            SourcePos at = where(node);
            if (k == "id") {
                if (auto v = integer(node, "id", -32768, 32767)) {
                    if (*v == BASE_PROFIL_ID)
                        error(at, "id -1 is the base profile's; the driver would skip this profile");
                    pf.profile.id = int16_t(*v), pf.profile.where = at, have_id = true;
                }
            } else if (k == "name") {
                if (auto s = string(node, "name")) {
                    if (size_t units = utf16_units(*s); units > PROFIL_NAME_CHARS - 1)
                        error(at, "name is " + std::to_string(units) + " UTF-16 units long; the driver keeps " +
                                      std::to_string(PROFIL_NAME_CHARS - 1));
                    pf.profile.name = *s;
                }
            } else if (k == "dead_zone") {
                if (auto v = integer(node, "dead_zone", -32768, 32767))
                    pf.profile.dead_zone = int16_t(*v);
            } else if (k == "default") {
                if (auto b = node.as_boolean())
                    pf.is_default = b->get(), pf.default_at = at;
                else
                    error(at, "default is true or false");
            } else if (k == "default_profile") {
                if (auto v = integer(node, "default_profile", -32768, 32767))
                    pf.default_profile = int16_t(*v), pf.default_at = at;
            } else if (k == "store_key") {
                if (auto s = string(node, "store_key")) {
                    if (s->rfind(kSubkeyPrefix, 0) != 0)
                        error(at, "store_key must begin with \"Layout - \" (the driver loads no other subkey)");
                    else if (s->find('\\') != std::string::npos)
                        error(at, "store_key cannot hold a backslash");
                    else if (utf16_units(*s) > kMaxRegistryName)
                        error(at, "store_key is longer than the driver reads (127 characters)");
                    pf.store_key = *s, pf.store_key_at = at;
                }
            } else if (k == "bind") {
                auto *array = node.as_array();
                if (array == nullptr || !array->is_array_of_tables()) {
                    error(at, "bind is a list of tables: write each as [[bind]]");
                    continue;
                }
                for (auto &element : *array) {
                    Bind bind;
                    BindPlaces places;
                    if (parse_bind(*element.as_table(), bind, places))
                        pf.profile.binds.push_back(bind), pf.places.push_back(places);
                }
            } else {
                error(pos_of(key.source(), file_), "unknown key '" + k + "'");
            }
        }
        if (!have_id && !failed_)
            error(SourcePos{file_, 1, 1}, "no id: every profile needs one (id = N)");
        if (failed_)
            return std::nullopt;
        return pf;
    }

    SourcePos where(const toml::node &node) const { return pos_of(node.source(), file_); }

    void error(const SourcePos &at, std::string message)
    {
        out_.push_back({Severity::Error, at, std::move(message)});
        failed_ = true;
    }

    std::optional<int64_t> integer(const toml::node &node, const std::string &what, int64_t lo, int64_t hi)
    {
        auto v = node.as_integer();
        if (v == nullptr) {
            error(where(node), what + " is a whole number");
            return std::nullopt;
        }
        if (v->get() < lo || v->get() > hi) {
            error(where(node), what + " " + std::to_string(v->get()) + " is out of range " + std::to_string(lo) +
                                   ".." + std::to_string(hi));
            return std::nullopt;
        }
        return v->get();
    }

    std::optional<std::string> string(const toml::node &node, const std::string &what)
    {
        if (auto s = node.as_string())
            return s->get();
        error(where(node), what + " is a string");
        return std::nullopt;
    }

    // A name from a table, or a number in [lo, hi]. Gives -1 after an error.
    int64_t name_or_number(const toml::node &node, const std::string &what, const NameTable &names, int64_t lo,
                           int64_t hi, const std::string &known)
    {
        if (auto s = node.as_string()) {
            if (auto v = lookup(names, s->get()))
                return *v;
            error(where(node), "unknown " + what + " '" + s->get() + "' (" + known + ")");
            return -1;
        }
        if (node.is_integer()) {
            auto v = integer(node, what, lo, hi);
            return v ? *v : -1;
        }
        error(where(node), what + " is a name (" + known + ") or a number");
        return -1;
    }

    bool parse_source(const toml::node &node, Bytes &b)
    {
        if (auto s = node.as_string()) {
            if (auto src = parse_source_name(s->get())) {
                put32(b, kSourceType, src->type), b[kSourceIndex] = src->index;
                return true;
            }
            error(where(node), "unknown source '" + s->get() + "' (tx ty tz rx ry rz, axis 0..5, button 0..47)");
            return false;
        }
        if (auto t = node.as_table()) {
            bool ok = true, have_type = false, have_index = false;
            for (auto &&[key, value] : *t) {
                if (key.str() == "type") {
                    auto v = integer(value, "source type", 0, 0xFFFFFFFFll);
                    ok = ok && v, have_type = true;
                    if (v)
                        put32(b, kSourceType, uint32_t(*v));
                } else if (key.str() == "index") {
                    auto v = integer(value, "source index", 0, 255);
                    ok = ok && v, have_index = true;
                    if (v)
                        b[kSourceIndex] = uint8_t(*v);
                } else {
                    error(pos_of(key.source(), file_), "unknown key '" + std::string(key.str()) +
                                                           "' in a source (type, index)");
                    ok = false;
                }
            }
            if (!have_type || !have_index) {
                error(where(node), "a source table has both type and index");
                ok = false;
            }
            return ok;
        }
        error(where(node), "source is a name (\"ty\", \"button 0\") or a table {type = N, index = N}");
        return false;
    }

    bool parse_bind(const toml::table &t, Bind &bind, BindPlaces &places)
    {
        Bytes &b = bind.bytes;
        bind.where = pos_of(t.source(), file_);
        size_t errors_before = out_.size();
        const toml::node *source = t.get("source");
        if (source == nullptr) {
            error(bind.where, "a bind needs a source (\"tx\"..\"rz\", \"button N\")");
            return false;
        }
        places.source = where(*source);
        parse_source(*source, b); // on error, the rest is still read for its own errors
        uint32_t type = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        bool button = type == SOURCE_BUTTON;
        if (button)
            put16(b, kAt8, 1); // pressed gives 1 unless the file says otherwise

        int64_t trigger = TRIGGER_DIRECT;
        std::optional<int64_t> time;
        const toml::node *action_node = nullptr;
        std::string action_key;
        std::vector<std::tuple<int, int, std::string, const toml::node *>> actions; // in file order
        std::map<std::string, const toml::node *> key_options; // press, latch, ... param

        for (auto &&[key, node] : t) {
            std::string k(key.str());
            SourcePos key_at = pos_of(key.source(), file_);
            if (k == "source") {
                continue;
            } else if (k == "invert") {
                if (auto flag = node.as_boolean())
                    b[kInvert] = flag->get() ? 1 : 0;
                else if (auto v = integer(node, "invert", 0, 255))
                    b[kInvert] = uint8_t(*v);
            } else if (k == "dead_zone" || k == "min" || k == "pressed" || k == "released") {
                bool for_button = k == "pressed" || k == "released";
                if (for_button != button) {
                    error(key_at, k + (button ? " is for axis sources; a button gives pressed and released"
                                              : " is for button sources"));
                    continue;
                }
                if (auto v = integer(node, k, -32768, 32767))
                    put16(b, (k == "dead_zone" || k == "released") ? kAt6 : kAt8, int32_t(*v));
            } else if (k == "max") {
                if (auto v = integer(node, k, -32768, 32767))
                    put16(b, kAxisMax, int32_t(*v));
            } else if (k == "direction") {
                int64_t v = name_or_number(node, "direction", direction_names(), INT32_MIN, INT32_MAX,
                                           "both, positive, negative");
                if (v != -1 || node.is_integer())
                    put32(b, kDirection, uint32_t(int32_t(v)));
            } else if (k == "trigger") {
                trigger = name_or_number(node, "trigger", trigger_names(), INT32_MIN, INT32_MAX, "direct, tap, hold");
                if (trigger == -1 && !node.is_integer())
                    trigger = TRIGGER_DIRECT;
            } else if (k == "time") {
                time = integer(node, "time", -32768, 32767);
            } else if (is_action_key(k)) {
                actions.emplace_back(key_at.line, key_at.column, k, &node);
            } else if (k == "press" || k == "latch" || k == "unlatch" || k == "repeat" || k == "key_flags" ||
                       k == "key_repeat" || k == "param") {
                key_options[k] = &node;
            } else {
                error(key_at, "unknown key '" + k + "' in a bind");
            }
        }
        // toml++ keeps a table's keys sorted; a second action is the later one in the file.
        std::sort(actions.begin(), actions.end());
        for (auto &[line, column, k, node] : actions) {
            if (action_node != nullptr) {
                error(SourcePos{file_, line, column}, "a bind has one action; this one already has " + action_key);
                continue;
            }
            action_node = node, action_key = k, places.action = where(*node);
            places.raw_action = k == "action";
        }
        put32(b, kTrigger, uint32_t(int32_t(trigger)));
        put16(b, kHoldTime, int32_t(time.value_or(trigger == TRIGGER_TAP || trigger == TRIGGER_HOLD ? 500 : 0)));

        if (action_node == nullptr) {
            error(bind.where, "a bind needs an action (joystick_axis, keys, consumer, ... or action = N)");
            return false;
        }
        for (auto &[k, node] : key_options) {
            bool belongs = k == "param" ? action_key == "action" : action_key == "keys";
            if (!belongs)
                error(where(*node), k + (k == "param" ? " goes with action = N" : " goes with keys"));
        }
        parse_action(action_key, *action_node, key_options, b);
        return out_.size() == errors_before;
    }

    void parse_action(const std::string &k, const toml::node &node,
                      const std::map<std::string, const toml::node *> &options, Bytes &b)
    {
        auto byte_action = [&](uint32_t action, int64_t v) {
            put32(b, kActionType, action);
            if (v >= 0)
                b[kParam] = uint8_t(v);
        };
        if (k == "joystick_axis") {
            byte_action(ACTION_JOY_AXIS, name_or_number(node, "joystick axis", joystick_axis_names(), 0, 7,
                                                        "x y z rx ry rz slider1 slider2, or 0..7"));
        } else if (k == "joystick_button") {
            auto v = integer(node, "joystick_button", 0, 7);
            byte_action(ACTION_JOY_BUTTON, v ? *v : -1);
        } else if (k == "hat") {
            int64_t v = name_or_number(node, "hat", hat_names(), 0, 1, "up_down, left_right");
            put32(b, kActionType, ACTION_JOY_HAT);
            if (v >= 0)
                put32(b, kParam, uint32_t(v));
        } else if (k == "mouse_x" || k == "mouse_y" || k == "wheel") {
            auto v = integer(node, k == "wheel" ? "wheel slowness" : k + " speed", 0, 255);
            byte_action(k == "mouse_x" ? ACTION_MOUSE_X : k == "mouse_y" ? ACTION_MOUSE_Y : ACTION_MOUSE_WHEEL,
                        v ? *v : -1);
        } else if (k == "mouse_button") {
            byte_action(ACTION_MOUSE_BUTTON, name_or_number(node, "mouse button", mouse_button_names(), 0, 4,
                                                            "left right middle back forward, or 0..4"));
        } else if (k == "consumer") {
            byte_action(ACTION_CONSUMER, name_or_number(node, "consumer control", consumer_names(), 1, 16,
                                                        "mute, volume_increment, ... ac_back, or 1..16"));
        } else if (k == "profile") {
            auto v = integer(node, "profile", -32768, 32767);
            put32(b, kActionType, ACTION_PROFIL);
            if (v)
                put16(b, kParam, int32_t(*v));
        } else if (k == "action") {
            auto v = integer(node, "action", 0, 0xFFFFFFFFll);
            if (v)
                put32(b, kActionType, uint32_t(*v));
            if (auto it = options.find("param"); it != options.end())
                parse_param(*it->second, b);
        } else if (k == "keys") {
            parse_keys(node, options, b);
        }
    }

    void parse_param(const toml::node &node, Bytes &b)
    {
        auto *array = node.as_array();
        if (array == nullptr || array->size() > 8) {
            error(where(node), "param is a list of up to 8 bytes");
            return;
        }
        for (size_t n = 0; n < array->size(); n++)
            if (auto v = integer((*array)[n], "a param byte", 0, 255))
                b[kParam + n] = uint8_t(*v);
    }

    void parse_keys(const toml::node &node, const std::map<std::string, const toml::node *> &options, Bytes &b)
    {
        put32(b, kActionType, ACTION_KEYBOARD);
        auto *array = node.as_array();
        if (array == nullptr) {
            error(where(node), "keys is a list: keys = [\"left_ctrl\", \"c\"]");
            return;
        }
        for (size_t n = 0; n < array->size(); n++) {
            const toml::node &key = (*array)[n];
            if (n == 5) {
                error(where(key), "a bind holds at most 5 keys; this is the sixth of " + std::to_string(array->size()));
                break;
            }
            int64_t code = name_or_number(key, "key", key_names(), 0, 231, "HID keyboard usage names, or 1..231");
            if (code >= 0)
                b[kParam + 3 + n] = uint8_t(code);
        }
        auto flag = [&](const char *name, bool fallback) {
            auto it = options.find(name);
            if (it == options.end())
                return fallback;
            if (auto v = it->second->as_boolean())
                return v->get();
            error(where(*it->second), std::string(name) + " is true or false");
            return fallback;
        };
        bool raw = options.count("key_flags") || options.count("key_repeat");
        bool named = options.count("press") || options.count("latch") || options.count("unlatch") ||
                     options.count("repeat");
        if (raw && named) {
            auto it = options.find(options.count("key_flags") ? "key_flags" : "key_repeat");
            error(where(*it->second), "key_flags and key_repeat stand for press, latch, unlatch and repeat: "
                                      "write one kind or the other");
            return;
        }
        if (raw) {
            if (auto it = options.find("key_flags"); it != options.end())
                if (auto v = integer(*it->second, "key_flags", 0, 255))
                    b[kParam] = uint8_t(*v);
            if (auto it = options.find("key_repeat"); it != options.end())
                if (auto v = integer(*it->second, "key_repeat", -32768, 32767))
                    put16(b, kParam + 1, int32_t(*v));
            return;
        }
        uint8_t flags = (flag("press", true) ? KEY_PRESS : 0) | (flag("latch", false) ? KEY_LATCH : 0) |
                        (flag("unlatch", false) ? KEY_UNLATCH : 0);
        if (auto it = options.find("repeat"); it != options.end()) {
            if (auto v = integer(*it->second, "repeat", 0, 32767))
                flags |= KEY_REPEAT, put16(b, kParam + 1, int32_t(*v));
        }
        b[kParam] = flags;
    }

    static bool is_action_key(const std::string &k)
    {
        static const std::set<std::string> keys = {"joystick_axis", "joystick_button", "hat",      "mouse_x",
                                                   "mouse_y",       "wheel",           "mouse_button", "keys",
                                                   "consumer",      "profile",         "action"};
        return keys.count(k) != 0;
    }

    std::string file_;
    std::vector<Diagnostic> &out_;
    bool failed_ = false;
};

// ---------------------------------------------------------------- writing

std::string toml_string(std::string_view s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\', out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string hex_byte(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

bool zero_from(const BindView &v, size_t from)
{
    for (size_t n = from; n < 8; n++)
        if (v.param(n) != 0)
            return false;
    return true;
}

void write_bind(std::ostringstream &out, const Bind &bind, const std::vector<int16_t> *defined_ids)
{
    BindView v(bind);
    out << "\n[[bind]]\n";
    bool button = v.source_type() == SOURCE_BUTTON;
    if (v.source_type() == SOURCE_AXIS && v.source_index() < 6)
        out << "source = " << toml_string(axis_source_name(v.source_index())) << "\n";
    else if (button && v.source_index() <= 47)
        out << "source = \"button " << int(v.source_index()) << "\"\n";
    else
        out << "source = { type = " << v.source_type() << ", index = " << int(v.source_index()) << " }\n";
    if (v.invert() == 1)
        out << "invert = true\n";
    else if (v.invert() != 0)
        out << "invert = " << int(v.invert()) << "\n";
    if (button) {
        if (v.at6() != 0)
            out << "released = " << v.at6() << "\n";
        if (v.at8() != 1)
            out << "pressed = " << v.at8() << "\n";
    } else {
        if (v.at6() != 0)
            out << "dead_zone = " << v.at6() << "\n";
        if (v.at8() != 0)
            out << "min = " << v.at8() << "\n";
    }
    if (v.axis_max() != 0)
        out << "max = " << v.axis_max() << "\n";
    if (int32_t d = v.direction(); d == 1 || d == 2)
        out << "direction = " << toml_string(d == 1 ? "positive" : "negative") << "\n";
    else if (d != 0)
        out << "direction = " << d << "\n";
    int32_t trigger = v.trigger();
    if (trigger == TRIGGER_TAP || trigger == TRIGGER_HOLD)
        out << "trigger = " << toml_string(trigger == TRIGGER_TAP ? "tap" : "hold") << "\n";
    else if (trigger != TRIGGER_DIRECT)
        out << "trigger = " << trigger << "\n";
    int16_t default_time = (trigger == TRIGGER_TAP || trigger == TRIGGER_HOLD) ? 500 : 0;
    if (v.hold_time() != default_time)
        out << "time = " << v.hold_time() << "\n";

    uint32_t action = v.action_type();
    uint8_t p0 = v.param(0);
    switch (action) {
    case ACTION_JOY_AXIS:
        if (p0 <= 7 && zero_from(v, 1))
            return void(out << "joystick_axis = " << toml_string(joystick_axis_name(p0)) << "\n");
        break;
    case ACTION_JOY_BUTTON:
        if (p0 <= 7 && zero_from(v, 1))
            return void(out << "joystick_button = " << int(p0) << "\n");
        break;
    case ACTION_JOY_HAT:
        if ((v.hat() == 0 || v.hat() == 1) && zero_from(v, 4))
            return void(out << "hat = " << toml_string(v.hat() == 0 ? "up_down" : "left_right") << "\n");
        break;
    case ACTION_MOUSE_X:
    case ACTION_MOUSE_Y:
    case ACTION_MOUSE_WHEEL:
        if (zero_from(v, 1))
            return void(out << (action == ACTION_MOUSE_X ? "mouse_x" : action == ACTION_MOUSE_Y ? "mouse_y" : "wheel")
                            << " = " << int(p0) << "\n");
        break;
    case ACTION_MOUSE_BUTTON:
        if (p0 <= 4 && zero_from(v, 1))
            return void(out << "mouse_button = " << toml_string(mouse_button_name(p0)) << "\n");
        break;
    case ACTION_CONSUMER:
        if (p0 >= 1 && p0 <= 16 && zero_from(v, 1))
            return void(out << "consumer = " << toml_string(consumer_name_of(p0)) << "\n");
        break;
    case ACTION_PROFIL:
        if (zero_from(v, 2) &&
            (defined_ids == nullptr || v.profile_target() == BASE_PROFIL_ID ||
             std::find(defined_ids->begin(), defined_ids->end(), v.profile_target()) != defined_ids->end()))
            return void(out << "profile = " << v.profile_target() << "\n");
        break;
    case ACTION_KEYBOARD: {
        size_t count = 5;
        while (count > 0 && v.key_code(count - 1) == 0)
            count--;
        bool codes_ok = true;
        for (size_t n = 0; n < count; n++)
            codes_ok = codes_ok && v.key_code(n) <= 231;
        if (!codes_ok)
            break;
        out << "keys = [";
        for (size_t n = 0; n < count; n++) {
            std::string name = key_name_of(v.key_code(n));
            out << (n ? ", " : "") << (name.empty() ? std::to_string(v.key_code(n)) : toml_string(name));
        }
        out << "]\n";
        uint8_t flags = v.key_flags();
        bool named = (flags & ~(KEY_PRESS | KEY_LATCH | KEY_UNLATCH | KEY_REPEAT)) == 0 &&
                     ((flags & KEY_REPEAT) ? v.key_repeat() >= 0 : v.key_repeat() == 0);
        if (!named) {
            out << "key_flags = " << hex_byte(flags) << "\n";
            if (v.key_repeat() != 0)
                out << "key_repeat = " << v.key_repeat() << "\n";
            return;
        }
        if (!(flags & KEY_PRESS))
            out << "press = false\n";
        if (flags & KEY_LATCH)
            out << "latch = true\n";
        if (flags & KEY_UNLATCH)
            out << "unlatch = true\n";
        if (flags & KEY_REPEAT)
            out << "repeat = " << v.key_repeat() << "\n";
        return;
    }
    default:
        break;
    }
    out << "action = " << action << "\n";
    size_t used = 8;
    while (used > 0 && v.param(used - 1) == 0)
        used--;
    if (used > 0) {
        out << "param = [";
        for (size_t n = 0; n < used; n++)
            out << (n ? ", " : "") << hex_byte(v.param(n));
        out << "]\n";
    }
}

std::string at_text(const SourcePos &p)
{
    return p.file + (p.line ? ":" + std::to_string(p.line) : "");
}

} // namespace

// ---------------------------------------------------------------- public

std::string format_diagnostic(const Diagnostic &d)
{
    std::string out = d.where.file.empty() ? "<input>" : d.where.file;
    if (d.where.line > 0) {
        out += ":" + std::to_string(d.where.line);
        if (d.where.column > 0)
            out += ":" + std::to_string(d.where.column);
    }
    const char *kind = d.severity == Severity::Error ? "error" : d.severity == Severity::Warning ? "warning" : "note";
    return out + ": " + kind + ": " + d.message;
}

bool has_errors(const std::vector<Diagnostic> &diagnostics)
{
    return std::any_of(diagnostics.begin(), diagnostics.end(),
                       [](const Diagnostic &d) { return d.severity == Severity::Error; });
}

std::optional<ProfileFile> parse_profile(std::string_view text, const std::string &file_name,
                                         std::vector<Diagnostic> &diagnostics)
{
    return Parser(file_name, diagnostics).parse(text);
}

std::optional<ProfileFile> read_profile(const std::string &path, std::vector<Diagnostic> &diagnostics)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        diagnostics.push_back({Severity::Error, SourcePos{path, 0, 0}, "cannot read the file"});
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_profile(text.str(), path, diagnostics);
}

std::string to_toml(const Profile &profile, const std::string &store_key, bool is_default,
                    std::optional<int16_t> default_profile, const std::vector<int16_t> *defined_ids)
{
    std::ostringstream out;
    out << "id = " << profile.id << "\n";
    out << "name = " << toml_string(profile.name) << "\n";
    out << "dead_zone = " << profile.dead_zone << "\n";
    if (is_default)
        out << "default = true\n";
    if (default_profile)
        out << "default_profile = " << *default_profile << "\n";
    if (!store_key.empty())
        out << "store_key = " << toml_string(store_key) << "\n";
    for (const Bind &bind : profile.binds)
        write_bind(out, bind, defined_ids);
    return out.str();
}

Store make_store(const std::vector<ProfileFile> &files, std::optional<int16_t> default_id)
{
    Store store;
    for (const ProfileFile &f : files) {
        store.profiles.push_back(f.profile);
        if (!default_id && f.is_default)
            default_id = f.profile.id;
    }
    for (const ProfileFile &f : files)
        if (!default_id && f.default_profile)
            default_id = f.default_profile;
    if (!default_id && !files.empty())
        default_id = files.front().profile.id;
    store.default_id = default_id.value_or(0);
    return store;
}

std::vector<Diagnostic> check(const std::vector<ProfileFile> &files)
{
    std::vector<Diagnostic> out;
    auto warn = [&](const SourcePos &at, std::string m) { out.push_back({Severity::Warning, at, std::move(m)}); };
    auto error = [&](const SourcePos &at, std::string m) { out.push_back({Severity::Error, at, std::move(m)}); };

    std::map<int16_t, const ProfileFile *> by_id;
    for (const ProfileFile &f : files) {
        auto [it, fresh] = by_id.emplace(f.profile.id, &f);
        if (!fresh)
            error(f.profile.where, "profile id " + std::to_string(f.profile.id) + " is already defined in " +
                                       at_text(it->second->profile.where) + "; the driver would skip this one");
    }

    // The default: at most one file names it, and it should name a profile.
    const ProfileFile *marked = nullptr;
    for (const ProfileFile &f : files) {
        if (f.is_default) {
            if (marked != nullptr)
                error(f.default_at, "another file is the default already: " + at_text(marked->default_at));
            else
                marked = &f;
        }
    }
    for (const ProfileFile &f : files) {
        if (!f.default_profile)
            continue;
        if (marked != nullptr && *f.default_profile != marked->profile.id)
            error(f.default_at, "default_profile " + std::to_string(*f.default_profile) + " disagrees with " +
                                    at_text(marked->default_at));
        else if (!by_id.count(*f.default_profile) && *f.default_profile != BASE_PROFIL_ID)
            warn(f.default_at, "no file defines profile " + std::to_string(*f.default_profile) +
                                   "; the driver falls back to the base profile");
    }

    // Subkey names: explicit ones must not collide with each other or with the
    // numbered names compile gives the rest.
    std::vector<std::string> keys = subkey_names_for(files);
    std::map<std::string, size_t> seen;
    for (size_t n = 0; n < files.size(); n++) {
        auto [it, fresh] = seen.emplace(fold_case(keys[n]), n);
        if (!fresh) {
            const ProfileFile &f = files[n].store_key.empty() ? files[it->second] : files[n];
            error(f.store_key.empty() ? f.profile.where : f.store_key_at,
                  "two profiles would be stored under \"" + keys[n] + "\"");
        }
    }
    if (!has_errors(out) && !driver_order_matches(keys))
        warn(files.front().profile.where,
             "with these store_key names the driver lists the profiles in another order than the files: "
             "the gesture steps through them by subkey name, last name first");

    for (const ProfileFile &f : files) {
        const Profile &p = f.profile;
        // Binds that may both move one joystick axis in one pass.
        std::map<int, std::vector<size_t>> axis_users;
        for (size_t n = 0; n < p.binds.size(); n++) {
            BindView v(p.binds[n]);
            const SourcePos &at = p.binds[n].where;
            const SourcePos &action_at = n < f.places.size() ? f.places[n].action : at;
            if (v.source_type() == SOURCE_AXIS) {
                int dz = int16_t(p.dead_zone + v.at6());
                if (dz >= 360)
                    warn(at, "dead zone " + std::to_string(dz) + " (profile " + std::to_string(p.dead_zone) +
                                 " + bind " + std::to_string(v.at6()) +
                                 ") swallows the whole deflection: the bind acts only at full deflection");
                if (v.at8() > 360 || (v.axis_max() != 0 && v.axis_max() < std::max<int>(v.at8(), 1)))
                    warn(at, "min " + std::to_string(v.at8()) + " and max " + std::to_string(v.axis_max()) +
                                 " leave no value between them: the bind never acts");
                if (v.source_index() > 5)
                    warn(at, "axis " + std::to_string(v.source_index()) + " is not a device axis (0..5)");
            } else if (v.source_type() == SOURCE_BUTTON) {
                if (v.at6() == 0 && v.at8() == 0)
                    warn(at, "pressed and released are both 0: the bind never acts");
                if (v.axis_max() != 0 || v.direction() != 0)
                    warn(at, "max and direction have no effect on a button source");
                if (v.source_index() > 47)
                    warn(at, "button " + std::to_string(v.source_index()) + " is not a device button (0..47)");
            } else {
                warn(at, "source type " + std::to_string(v.source_type()) + " never yields a value");
            }
            if (v.trigger() < TRIGGER_DIRECT || v.trigger() > TRIGGER_HOLD)
                warn(at, "trigger " + std::to_string(v.trigger()) + " is none the driver knows: the bind gives " +
                             (v.source_type() == SOURCE_BUTTON ? "its released value" : "0") + " always");
            switch (v.action_type()) {
            case ACTION_PROFIL:
                if (v.profile_target() != BASE_PROFIL_ID && !by_id.count(v.profile_target())) {
                    std::string m = "switch to profile " + std::to_string(v.profile_target()) + ", which no file defines";
                    if (n < f.places.size() && f.places[n].raw_action)
                        warn(action_at, m + ": the driver falls back to the default profile");
                    else
                        error(action_at, m);
                }
                break;
            case ACTION_JOY_AXIS:
                axis_users[v.param(0)].push_back(n);
                break;
            case ACTION_KEYBOARD:
                for (size_t k = 0; k < 5; k++) {
                    uint8_t code = v.key_code(k);
                    if (code > 0x65 && code < 0xE0)
                        warn(action_at, "key " + hex_byte(code) + " is not on the virtual keyboard, which reports "
                                        "usages up to 0x65 and the modifiers 0xE0..0xE7");
                }
                break;
            default:
                if (v.action_type() < ACTION_JOY_AXIS || v.action_type() > ACTION_CONSUMER)
                    warn(action_at, "action " + std::to_string(v.action_type()) + " does nothing");
                break;
            }
        }
        for (auto &[axis, users] : axis_users)
            for (size_t a = 0; a < users.size(); a++)
                for (size_t b = a + 1; b < users.size(); b++)
                    if (!exclusive(p.binds[users[a]], p.binds[users[b]]))
                        warn(p.binds[users[b]].where,
                             "this bind and the one at line " + std::to_string(p.binds[users[a]].where.line) +
                                 " both move joystick axis " + joystick_axis_name(uint8_t(axis)) +
                                 ": the larger value wins each pass");
    }
    std::map<std::string, size_t> file_order;
    for (const ProfileFile &f : files)
        file_order.emplace(f.profile.where.file, file_order.size());
    std::stable_sort(out.begin(), out.end(), [&](const Diagnostic &a, const Diagnostic &b) {
        return std::tuple(file_order[a.where.file], a.where.line, a.where.column) <
               std::tuple(file_order[b.where.file], b.where.line, b.where.column);
    });
    return out;
}

namespace {

namespace fs = std::filesystem;

std::vector<std::string> expand_paths(const std::vector<std::string> &paths)
{
    std::vector<std::string> out;
    for (const std::string &path : paths) {
        std::error_code ec;
        if (!fs::is_directory(path, ec)) {
            out.push_back(path);
            continue;
        }
        std::vector<std::string> found;
        for (const auto &entry : fs::directory_iterator(path, ec))
            if (entry.path().extension() == ".toml")
                found.push_back(entry.path().string());
        std::sort(found.begin(), found.end());
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

} // namespace

std::optional<std::vector<ProfileFile>> read_profiles(const std::vector<std::string> &paths,
                                                      std::vector<Diagnostic> &diagnostics)
{
    std::vector<ProfileFile> files;
    for (const std::string &path : expand_paths(paths))
        if (auto file = read_profile(path, diagnostics))
            files.push_back(std::move(*file));
    if (!has_errors(diagnostics)) {
        if (files.empty())
            diagnostics.push_back({Severity::Error, SourcePos{}, "no profile files given"});
        else
            for (Diagnostic &d : check(files))
                diagnostics.push_back(std::move(d));
    }
    if (has_errors(diagnostics))
        return std::nullopt;
    return files;
}

} // namespace mivo::profile
