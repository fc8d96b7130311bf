// What each axis bind of a profile makes of its device axis, computed by the
// driver's own bind evaluation and actions: the numbers behind the response
// plot (profile_plot.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/lib/profile_model.h"

namespace mivo::tools {

enum class ResponseUnit {
    JoystickValue,  // the joystick axis value -360..360 (the report holds 360 more)
    MouseCounts,    // mouse movement per report, that is per 10 ms
    WheelPerSecond, // wheel amount per second, at the worker's 10 ms rhythm
    HatDirection,   // -1 north or west, +1 south or east, 0 none
    OnOff,          // 1 where the bind acts (button, key, control, profile switch)
};

struct ResponseCurve {
    size_t bind = 0;         // position in the profile's list, from 0
    int source_axis = 0;     // device axis 0..5 (other indexes read as an axis at rest)
    std::string source;      // "X", "Y", "Z", "Rx", "Ry", "Rz"
    std::string target;      // what the action drives, e.g. "mouse X, speed 100"
    std::string trigger;     // how the trigger lets the value through; "" for a direct bind
    ResponseUnit unit = ResponseUnit::OnOff;
    int dead_zone = 0;       // the profile's plus the bind's, bounded as the driver bounds it
    std::vector<double> values; // values[i]: the response to device input i - 360

    static constexpr int kInputLimit = 360;
    double at(int input) const { return values.at(size_t(input + kInputLimit)); }
};

// One curve per bind whose source is an axis, in the profile's list order.
// Each input is evaluated on a fresh copy of the bind, held until its trigger
// lets it through (a hold past its time; a tap released at once). Uses and
// restores the simulated kernel's clock; allocates nothing from its pool.
std::vector<ResponseCurve> response_curves(const mivo::profile::Profile &profile);

} // namespace mivo::tools
