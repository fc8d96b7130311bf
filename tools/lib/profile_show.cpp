// Binds in words, in the terms the driver evaluates them by and the timeline
// of mivo-sim prints (key and consumer-control names of report_format.h).
#include <string>
#include <vector>

#include "profiles/profiles.h"
#include "tools/lib/profile_file.h"
#include "tools/lib/profile_names.h"
#include "tools/lib/report_format.h"

namespace mivo::profile {

namespace {

std::string join(const std::vector<std::string> &parts, const char *separator)
{
    std::string out;
    for (const std::string &p : parts)
        out += (out.empty() ? "" : separator) + p;
    return out;
}

std::string source_words(const BindView &v, int16_t profile_dead_zone)
{
    std::vector<std::string> parts;
    if (v.source_type() == SOURCE_AXIS) {
        parts.push_back(axis_source_name(v.source_index()) + (v.invert() ? " inverted" : ""));
        int dz = int16_t(profile_dead_zone + v.at6());
        if (dz != 0)
            parts.push_back("dead zone " + std::to_string(dz) + (dz >= 360 ? " (full deflection only)" : ""));
        if (v.at8() != 0)
            parts.push_back("min " + std::to_string(v.at8()));
        if (v.axis_max() != 0)
            parts.push_back("max " + std::to_string(v.axis_max()));
        if (v.direction() == 1 || v.direction() == 2)
            parts.push_back(v.direction() == 1 ? "positive side only" : "negative side only");
    } else if (v.source_type() == SOURCE_BUTTON) {
        parts.push_back("button " + std::to_string(v.source_index()) + (v.invert() ? " released" : ""));
        if (v.at8() != 1 || v.at6() != 0)
            parts.push_back("gives " + std::to_string(v.at8()) + (v.at6() ? ", else " + std::to_string(v.at6()) : ""));
    } else {
        parts.push_back("source type " + std::to_string(v.source_type()) + " index " +
                        std::to_string(v.source_index()) + " (never acts)");
    }
    std::string trigger;
    if (v.trigger() == TRIGGER_TAP)
        trigger = "tapped (under " + std::to_string(v.hold_time()) + " ms)";
    else if (v.trigger() == TRIGGER_HOLD)
        trigger = "held " + std::to_string(v.hold_time()) + " ms";
    else if (v.trigger() != TRIGGER_DIRECT)
        trigger = "trigger " + std::to_string(v.trigger()) + " (never acts)";
    if (!trigger.empty())
        parts[0] += " " + trigger;
    return join(parts, ", ");
}

std::string action_words(const BindView &v)
{
    uint8_t p0 = v.param(0);
    switch (v.action_type()) {
    case ACTION_JOY_AXIS:
        return "joystick axis " + joystick_axis_name(p0);
    case ACTION_JOY_BUTTON:
        return "joystick button " + std::to_string(p0);
    case ACTION_JOY_HAT:
        return v.hat() == 0 ? "hat up/down" : v.hat() == 1 ? "hat left/right" : "hat selector " + std::to_string(v.hat()) + " (nothing)";
    case ACTION_MOUSE_X:
        return "mouse x, speed " + std::to_string(p0);
    case ACTION_MOUSE_Y:
        return "mouse y, speed " + std::to_string(p0);
    case ACTION_MOUSE_WHEEL:
        return "wheel, slowness " + std::to_string(p0);
    case ACTION_MOUSE_BUTTON:
        return "mouse button " + mouse_button_name(p0);
    case ACTION_KEYBOARD: {
        std::vector<std::string> keys, flags;
        for (size_t n = 0; n < 5; n++)
            if (uint8_t code = v.key_code(n); code != 0 && code < 232)
                keys.push_back(mivo::tools::key_name(code));
        uint8_t f = v.key_flags();
        if (!(f & KEY_PRESS))
            flags.push_back("no press");
        if (f & KEY_LATCH)
            flags.push_back("latch");
        if (f & KEY_UNLATCH)
            flags.push_back("unlatch");
        if (f & KEY_REPEAT)
            flags.push_back("repeat " + std::to_string(v.key_repeat()) + " ms");
        std::string out = keys.empty() ? "no keys" : "keys " + join(keys, "+");
        return flags.empty() ? out : out + " (" + join(flags, ", ") + ")";
    }
    case ACTION_PROFIL:
        return "switch to profile " + std::to_string(v.profile_target());
    case ACTION_CONSUMER:
        return "consumer " + mivo::tools::consumer_name(p0);
    default:
        return "action " + std::to_string(v.action_type()) + " (nothing)";
    }
}

} // namespace

std::string describe_bind(const Bind &bind, int16_t profile_dead_zone)
{
    BindView v(bind);
    return source_words(v, profile_dead_zone) + " -> " + action_words(v);
}

std::vector<std::string> describe(const Profile &profile)
{
    std::vector<std::string> out;
    for (const Bind &bind : profile.binds)
        out.push_back(describe_bind(bind, profile.dead_zone));
    return out;
}

} // namespace mivo::profile
