#include "tools/lib/response_curve.h"

#include <cstring>
#include <memory>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tools/lib/report_format.h"

namespace mivo::tools {

namespace {

constexpr const char *kDeviceAxes[6] = {"X", "Y", "Z", "Rx", "Ry", "Rz"};
constexpr const char *kJoystickAxes[8] = {"X", "Y", "Z", "Rx", "Ry", "Rz", "slider 1", "slider 2"};
constexpr int kWorkerStepMs = 10;

// "#n" for an index that names nothing. Appended, not "#" + std::to_string(n):
// GCC 12's optimiser reports a false -Wrestrict overlap in that.
std::string unnamed(int n)
{
    std::string out = "#";
    out += std::to_string(n);
    return out;
}

std::string joystick_axis_name(unsigned a) { return a < 8 ? std::string(kJoystickAxes[a]) : unnamed(int(a)); }

std::string key_list(const BIND &b)
{
    std::string keys;
    for (UCHAR k : b.Key_Codes) {
        if (k == 0 || k >= KEY_STATE_COUNT) continue;
        if (!keys.empty()) keys += " + ";
        keys += key_name(k);
    }
    if (keys.empty()) keys = "none";
    if (b.Key_Flags & KEY_LATCH) keys += ", latched";
    if (b.Key_Flags & KEY_UNLATCH) keys += ", unlatched";
    if (b.Key_Flags & KEY_REPEAT) keys += ", repeated every " + std::to_string(b.Key_Repeat) + " ms";
    return keys;
}

std::string target_of(const BIND &b, ResponseUnit &unit)
{
    unsigned p = b.Action_Param[0];
    unit = ResponseUnit::OnOff;
    switch (b.Action_Type) {
    case ACTION_JOY_AXIS: unit = ResponseUnit::JoystickValue; return "joystick axis " + joystick_axis_name(p);
    case ACTION_JOY_BUTTON: return "joystick button " + std::to_string(p + 1);
    case ACTION_JOY_HAT:
        unit = ResponseUnit::HatDirection;
        if (b.Action_Hat == 0) return "hat north/south";
        if (b.Action_Hat == 1) return "hat west/east";
        return "hat selector " + std::to_string(b.Action_Hat) + " (no direction)";
    case ACTION_MOUSE_X: unit = ResponseUnit::MouseCounts; return "mouse X, speed " + std::to_string(p);
    case ACTION_MOUSE_Y: unit = ResponseUnit::MouseCounts; return "mouse Y, speed " + std::to_string(p);
    case ACTION_MOUSE_WHEEL: unit = ResponseUnit::WheelPerSecond; return "wheel, slowness " + std::to_string(p);
    case ACTION_MOUSE_BUTTON: return "mouse button " + std::to_string(p + 1);
    case ACTION_KEYBOARD: return "keys " + key_list(b);
    case ACTION_PROFIL: return "switch to profile " + std::to_string(b.Action_Profil);
    case ACTION_CONSUMER: return "control " + consumer_name(int(p));
    default: return "no action (type " + std::to_string(b.Action_Type) + ")";
    }
}

std::string trigger_of(const BIND &b)
{
    switch (b.Trigger_Mode) {
    case TRIGGER_DIRECT: return "";
    case TRIGGER_TAP: return "tap: the value at the press, given on a release within " + std::to_string(b.Hold_Time) + " ms";
    case TRIGGER_HOLD: return "hold: given once held longer than " + std::to_string(b.Hold_Time) + " ms";
    default: return "trigger mode " + std::to_string(b.Trigger_Mode) + ": never gives a value";
    }
}

// A device context as a rebuild leaves it, with one profile whose dead zone
// applies and no list the driver could free: the records live here, not in
// the pool.
class Bench {
public:
    explicit Bench(const profile::Profile &p) : dx_(std::make_unique<DEVICE_EXTENSION>()), start_(sim::clock_now())
    {
        std::memset(dx_.get(), 0, sizeof(DEVICE_EXTENSION));
        MIVO_report_state_reset(dx_.get());
        std::memset(&profil_, 0, sizeof profil_);
        profil_.Profil_Id = p.id;
        profil_.DeadZone = p.dead_zone;
        dx_->CurrentProfil = &profil_;
    }

    ~Bench() { sim::clock_set(start_); }

    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    PDEVICE_EXTENSION dx() { return dx_.get(); }

    // The bind's value with device axis `axis` at `input`, from the moment the
    // hand gets there until the trigger lets it through.
    SHORT value(const BIND &stored, int axis, int input)
    {
        BIND b;
        std::memset(&b, 0, sizeof b);
        std::memcpy(&b, &stored, BIND_PERSISTED_SIZE);
        sim::clock_set(start_);
        feed_axis(axis, input);
        SHORT v = MIVO_bind_value(dx(), &b);
        if (b.Trigger_Mode == TRIGGER_HOLD) {
            LONGLONG hold = b.Hold_Time > 0 ? b.Hold_Time : 0;
            sim::clock_set(start_ + ULONGLONG(hold + 1) * MS_TO_INTERRUPT_TIME);
            v = MIVO_bind_value(dx(), &b);
        } else if (b.Trigger_Mode == TRIGGER_TAP) {
            feed_axis(axis, 0);
            v = MIVO_bind_value(dx(), &b);
        }
        return v;
    }

private:
    // Through RawInput and the raw decoding, as a device report arrives.
    void feed_axis(int axis, int input)
    {
        UCHAR report[RAW_INPUT_LENGTH] = {};
        int a = axis >= 0 && axis < 6 ? axis : 0;
        report[0] = a < 3 ? REPORT_ID_RAW_TRANSLATION : REPORT_ID_RAW_ROTATION;
        USHORT raw = USHORT(SHORT(input));
        report[1 + 2 * (a % 3)] = UCHAR(raw & 0xFF);
        report[2 + 2 * (a % 3)] = UCHAR(raw >> 8);
        MIVO_raw_input_store(dx(), report, sizeof report);
        MIVO_raw_decode(dx());
    }

    std::unique_ptr<DEVICE_EXTENSION> dx_;
    PROFIL profil_;
    ULONGLONG start_;
};

// What the action makes of a bind value v, in the curve's unit.
double response(Bench &bench, BIND &b, ResponseUnit unit, SHORT v)
{
    switch (unit) {
    case ResponseUnit::JoystickValue: return v;
    case ResponseUnit::MouseCounts: return v == 0 ? 0 : MIVO_mouse_scale(v, b.Action_Param[0]);
    case ResponseUnit::WheelPerSecond: {
        if (v == 0) return 0;
        MIVO_wheel_set(bench.dx(), &b, v);
        // A step goes out with the first mouse report at or after the interval;
        // mouse reports come at most every worker step.
        LONGLONG interval = bench.dx()->WheelInterval;
        LONGLONG period = interval <= kWorkerStepMs ? kWorkerStepMs
                                                    : (interval + kWorkerStepMs - 1) / kWorkerStepMs * kWorkerStepMs;
        return double(bench.dx()->WheelStep) * 1000.0 / double(period);
    }
    case ResponseUnit::HatDirection: {
        UCHAR bits = MIVO_hat_bits(b.Action_Hat, v);
        if (bits & (HAT_NORTH | HAT_WEST)) return -1;
        if (bits & (HAT_SOUTH | HAT_EAST)) return 1;
        return 0;
    }
    case ResponseUnit::OnOff: return v != 0 ? 1 : 0;
    }
    return 0;
}

} // namespace

std::vector<ResponseCurve> response_curves(const profile::Profile &profile)
{
    std::vector<ResponseCurve> curves;
    Bench bench(profile);
    for (size_t i = 0; i < profile.binds.size(); i++) {
        BIND b;
        std::memset(&b, 0, sizeof b);
        std::memcpy(&b, profile.binds[i].bytes.data(), BIND_PERSISTED_SIZE);
        if (b.Source_Type != SOURCE_AXIS) continue;

        ResponseCurve c;
        c.bind = i;
        c.source_axis = b.Source_Index;
        c.source = b.Source_Index < 6 ? std::string(kDeviceAxes[b.Source_Index]) : unnamed(b.Source_Index);
        c.target = target_of(b, c.unit);
        c.trigger = trigger_of(b);
        int dz = SHORT(profile.dead_zone + b.Axis_DeadZone);
        c.dead_zone = dz >= ResponseCurve::kInputLimit ? ResponseCurve::kInputLimit - 1 : dz;
        c.values.reserve(2 * ResponseCurve::kInputLimit + 1);
        for (int input = -ResponseCurve::kInputLimit; input <= ResponseCurve::kInputLimit; input++) {
            SHORT v = bench.value(b, b.Source_Index, input);
            c.values.push_back(response(bench, b, c.unit, v));
        }
        curves.push_back(std::move(c));
    }
    return curves;
}

} // namespace mivo::tools
