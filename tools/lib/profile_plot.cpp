#include "tools/lib/profile_plot.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "tools/lib/report_format.h"
#include "tools/lib/response_curve.h"
#include "tools/lib/svg.h"

namespace mivo::tools {

namespace {

using svg::Point;

constexpr const char *kGrid = R"(stroke="#ddd" stroke-width="1")";
constexpr const char *kFrame = R"(fill="none" stroke="#888" stroke-width="1")";
constexpr const char *kMuted = R"(fill="#666")";

// A round step that cuts span into at most max_ticks pieces: 1, 2 or 5 times a
// power of ten.
double tick_step(double span, int max_ticks)
{
    double raw = span / max_ticks;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) return m * power;
    }
    return 10 * power;
}

// ---------------------------------------------------------------- response plot

struct ValueAxis {
    double lo, hi;
    std::vector<std::pair<double, std::string>> ticks;
    std::string label;
};

ValueAxis value_axis(const ResponseCurve &c)
{
    switch (c.unit) {
    case ResponseUnit::JoystickValue:
        return {-360, 360, {{-360, "-360"}, {-180, "-180"}, {0, "0"}, {180, "180"}, {360, "360"}}, "joystick value"};
    case ResponseUnit::MouseCounts:
        return {-127, 127, {{-127, "-127"}, {-64, "-64"}, {0, "0"}, {64, "64"}, {127, "127"}}, "counts per 10 ms"};
    case ResponseUnit::WheelPerSecond: {
        double top = 0;
        for (double v : c.values) top = std::max(top, std::abs(v));
        double step = tick_step(std::max(top, 1.0), 2);
        top = std::max(step, std::ceil(top / step) * step);
        ValueAxis a{-top, top, {}, "wheel amount per second"};
        for (double v = -top; v <= top + step / 2; v += step) a.ticks.push_back({v, svg::num(v)});
        return a;
    }
    case ResponseUnit::HatDirection: {
        bool north_south = c.target.find("north") != std::string::npos;
        return {-1.25, 1.25,
                {{-1, north_south ? "north" : "west"}, {0, "centre"}, {1, north_south ? "south" : "east"}},
                "hat direction"};
    }
    case ResponseUnit::OnOff: break;
    }
    return {-0.25, 1.25, {{0, "off"}, {1, "on"}}, "acts"};
}

void draw_response_panel(svg::Document &doc, const ResponseCurve &c, double x0, double y0, double w, double h,
                         size_t index)
{
    const double left = x0 + 62, right = x0 + w - 14, top = y0 + 44, bottom = y0 + h - 34;
    ValueAxis va = value_axis(c);
    svg::Scale sx{-360, 360, left, right};
    svg::Scale sy{va.lo, va.hi, bottom, top};

    doc.text(x0 + 8, y0 + 16, "bind " + std::to_string(c.bind + 1) + ": " + c.source + " \u2192 " + c.target, "start",
             R"(font-weight="bold")");
    std::string legend = c.trigger.empty() ? "direct" : c.trigger;
    legend += "; dead zone " + std::to_string(c.dead_zone);
    doc.text(x0 + 8, y0 + 32, legend, "start", kMuted);

    if (c.dead_zone > 0) {
        doc.rect(sx(-c.dead_zone), top, sx(c.dead_zone) - sx(-c.dead_zone), bottom - top,
                 R"(class="dead-zone" fill="#f3e3c3")");
    }
    for (int x = -360; x <= 360; x += 90) {
        doc.line(sx(x), top, sx(x), bottom, kGrid);
        doc.text(sx(x), bottom + 13, std::to_string(x), "middle", kMuted);
    }
    for (const auto &[v, text] : va.ticks) {
        doc.line(left, sy(v), right, sy(v), v == 0 ? R"(stroke="#aaa" stroke-width="1")" : kGrid);
        doc.text(left - 5, sy(v) + 4, text, "end", kMuted);
    }
    doc.rect(left, top, right - left, bottom - top, kFrame);
    doc.text((left + right) / 2, bottom + 28, "device input " + c.source, "middle");
    doc.text(x0 + 12, (top + bottom) / 2, va.label, "middle",
             "transform=\"rotate(-90 " + svg::num(x0 + 12) + " " + svg::num((top + bottom) / 2) + ")\"");

    std::vector<Point> points;
    points.reserve(c.values.size());
    for (int input = -ResponseCurve::kInputLimit; input <= ResponseCurve::kInputLimit; input++) {
        points.push_back({sx(input), sy(c.at(input))});
    }
    std::string clip = "panel" + std::to_string(index);
    doc.clip_rect(clip, left, top - 2, right - left, bottom - top + 4);
    doc.polyline(points, "class=\"curve\" stroke=\"#1f5fbf\" stroke-width=\"1.6\" clip-path=\"url(#" + clip + ")\"");
}

// ---------------------------------------------------------------- timeline plot

constexpr size_t kMaxLinePoints = 2000;
constexpr uint64_t kMouseReportMs = 10; // a mouse report stands for one worker step's movement

struct Interval {
    double from, to;
};

// A value that holds between the times it is set: a step line.
struct StepLine {
    std::vector<Point> points; // (t, v)
    void set(double t, double v)
    {
        if (!points.empty()) {
            if (points.back().y == v) return;
            points.push_back({t, points.back().y});
        }
        points.push_back({t, v});
    }
    std::vector<Point> until(double end) const
    {
        std::vector<Point> out = points;
        if (!out.empty()) out.push_back({end, out.back().y});
        return out;
    }
};

// Intervals during which something is down, from a sequence of on/off states.
struct Bars {
    std::vector<Interval> on;
    bool down = false;
    void set(double t, bool is_down)
    {
        if (is_down && !down) on.push_back({t, t});
        if (!is_down && down) on.back().to = t;
        down = is_down;
    }
    std::vector<Interval> until(double end, double min_gap) const
    {
        std::vector<Interval> out;
        for (size_t k = 0; k < on.size(); k++) {
            Interval i = on[k];
            if (down && k + 1 == on.size()) i.to = end; // still down when the session ends
            // Gaps narrower than a pixel merge, which bounds the count on long sessions.
            if (!out.empty() && i.from - out.back().to < min_gap) {
                out.back().to = std::max(out.back().to, i.to);
            } else {
                out.push_back(i);
            }
        }
        return out;
    }
};

struct SessionLanes {
    StepLine axes[8];
    StepLine mouse[3]; // X, Y, wheel
    std::map<std::string, Bars> buttons; // "joystick 1", "device 0", ...
    std::map<std::string, Bars> keys;    // key and control names
    Bars led;
    struct Marker {
        double t;
        std::string text;
    };
    std::vector<Marker> profiles;
    double end = 1;
};

void set_names(std::map<std::string, Bars> &lanes, const std::vector<std::string> &down, double t)
{
    for (const std::string &name : down) lanes[name]; // a lane from its first press on
    for (auto &[name, bars] : lanes) {
        bars.set(t, std::find(down.begin(), down.end(), name) != down.end());
    }
}

std::string padded_number(int n, size_t width)
{
    std::string digits = std::to_string(n);
    if (digits.size() < width) digits.insert(0, width - digits.size(), ' ');
    return digits;
}

// Names of the set bits of a bitmap, bit n as prefix + n + base.
std::vector<std::string> bit_names(const uint8_t *bytes, size_t count, const char *prefix, int base, size_t width)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < count; i++) {
        for (int bit = 0; bit < 8; bit++) {
            if (bytes[i] & (1u << bit)) out.push_back(prefix + padded_number(int(i) * 8 + bit + base, width));
        }
    }
    return out;
}

SessionLanes lanes_of(const SimulationResult &result)
{
    SessionLanes s;
    for (const TimelineEntry &e : result.timeline) s.end = std::max(s.end, double(e.t_ms));
    s.end = std::max(s.end, double(result.end_ms));
    for (StepLine &a : s.axes) a.set(0, 0);
    for (StepLine &m : s.mouse) m.set(0, 0);

    double mouse_quiet_from = 0; // when the last mouse report's movement ran out
    // The last report of each kind that names things held, and those names.
    std::vector<uint8_t> last_raw_buttons, last_keyboard, last_consumer;
    int last_joystick_buttons = 0, last_mouse_buttons = 0; // nothing down before the first report
    std::vector<std::string> joystick_buttons, mouse_buttons, device_buttons, keys, controls;
    for (const TimelineEntry &e : result.timeline) {
        double t = double(e.t_ms);
        if (e.kind == TimelineEntry::Kind::Led) s.led.set(t, e.led != 0);
        if (e.kind == TimelineEntry::Kind::Profile) {
            s.profiles.push_back({t, "profile " + std::to_string(e.profile) + " \"" + e.label + "\""});
        }
        if (e.kind != TimelineEntry::Kind::Report) continue;
        const std::vector<uint8_t> &b = e.bytes;
        bool names_changed = false;
        switch (report_kind(b.data(), b.size())) {
        case ReportKind::Joystick:
            for (size_t a = 0; a < 8; a++) s.axes[a].set(t, int(uint16_t(b[1 + 2 * a] | (b[2 + 2 * a] << 8))) - 360);
            if (b[18] != last_joystick_buttons) {
                last_joystick_buttons = b[18];
                joystick_buttons = bit_names(&b[18], 1, "joystick ", 1, 1);
                names_changed = true;
            }
            break;
        case ReportKind::RawButtons:
            if (last_raw_buttons != b) {
                last_raw_buttons = b;
                device_buttons = bit_names(&b[1], 6, "device ", 0, 2);
                names_changed = true;
            }
            break;
        case ReportKind::Keyboard:
            if (last_keyboard != b) {
                last_keyboard = b;
                nlohmann::ordered_json f = report_fields(b);
                keys = f["modifiers"].get<std::vector<std::string>>();
                for (const auto &k : f["keys"]) keys.push_back(k.get<std::string>());
                names_changed = true;
            }
            break;
        case ReportKind::Consumer:
            if (last_consumer != b) {
                last_consumer = b;
                controls = report_fields(b)["controls"].get<std::vector<std::string>>();
                names_changed = true;
            }
            break;
        case ReportKind::Mouse:
            if (t > mouse_quiet_from) {
                for (StepLine &m : s.mouse) m.set(mouse_quiet_from, 0);
            }
            s.mouse[0].set(t, int8_t(b[1]));
            s.mouse[1].set(t, int8_t(b[2]));
            s.mouse[2].set(t, int8_t(b[3]));
            mouse_quiet_from = t + kMouseReportMs;
            if (b[4] != last_mouse_buttons) {
                last_mouse_buttons = b[4];
                mouse_buttons = bit_names(&b[4], 1, "mouse ", 1, 1);
                names_changed = true;
            }
            break;
        default: break;
        }
        if (!names_changed) continue;
        std::vector<std::string> buttons = joystick_buttons;
        buttons.insert(buttons.end(), mouse_buttons.begin(), mouse_buttons.end());
        buttons.insert(buttons.end(), device_buttons.begin(), device_buttons.end());
        set_names(s.buttons, buttons, t);
        std::vector<std::string> held = keys;
        held.insert(held.end(), controls.begin(), controls.end());
        set_names(s.keys, held, t);
    }
    if (mouse_quiet_from < s.end) {
        for (StepLine &m : s.mouse) m.set(mouse_quiet_from, 0);
    }
    return s;
}

constexpr const char *kAxisColours[8] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                         "#ff7f0e", "#17becf", "#8c564b", "#e377c2"};
constexpr const char *kAxisNames[8] = {"X", "Y", "Z", "Rx", "Ry", "Rz", "S1", "S2"};

} // namespace

std::string response_plot_svg(const profile::Profile &profile)
{
    std::vector<ResponseCurve> curves = response_curves(profile);
    const double panel_w = 460, panel_h = 290, header = 58;
    const size_t columns = curves.size() > 1 ? 2 : 1;
    const size_t rows = std::max<size_t>(1, (curves.size() + columns - 1) / columns);
    const double width = std::max(columns * panel_w, 560.0);
    std::string title = "profile " + std::to_string(profile.id) + " \"" + profile.name + "\"";
    svg::Document doc(width, header + rows * panel_h, "Axis responses of " + title);

    doc.text(10, 22, "Axis responses of " + title + ", dead zone " + std::to_string(profile.dead_zone), "start",
             R"(font-size="15" font-weight="bold")");
    doc.text(10, 42,
             "As the driver computes them; shaded: the dead zone. Mouse: movement per report (one every 10 ms); "
             "wheel: amount per second.",
             "start", kMuted);
    if (curves.empty()) doc.text(10, header + 20, "No bind of this profile reads an axis.");
    for (size_t i = 0; i < curves.size(); i++) {
        draw_response_panel(doc, curves[i], double(i % columns) * panel_w, header + double(i / columns) * panel_h,
                            panel_w, panel_h, i);
    }
    return doc.str();
}

std::string timeline_plot_svg(const SimulationResult &result)
{
    SessionLanes s = lanes_of(result);
    const double left = 120, right_margin = 20, width = 1240;
    const double plot_w = width - left - right_margin;
    const double row_h = 13;
    svg::Scale sx{0, s.end, left, left + plot_w};
    const double min_gap = s.end / double(kMaxLinePoints);

    struct Lane {
        std::string title;
        double top, height;
    };
    double y = 54;
    Lane markers{"", y, 36};
    y += markers.height;
    Lane axes{"joystick axes", y + 4, 170};
    y += axes.height + 22;
    Lane buttons{"buttons", y, std::max<double>(1, double(s.buttons.size())) * row_h + 8};
    y += buttons.height + 22;
    Lane keys{"keys and controls", y, std::max<double>(1, double(s.keys.size())) * row_h + 8};
    y += keys.height + 22;
    Lane mouse{"mouse per report", y, 130};
    y += mouse.height + 22;
    Lane led{"LED", y, row_h};
    y += led.height + 40;
    const double plot_top = axes.top, plot_bottom = led.top + led.height;

    svg::Document doc(width, y, "mivo-sim session");
    doc.text(10, 22, "mivo-sim session until " + std::to_string(result.end_ms) + " ms", "start", R"(font-size="15" font-weight="bold")");
    doc.text(10, 40, "Reports as the virtual device delivered them; values hold until the next report. "
                     "Shaded: LED on. Dashed: the active profile changes.", "start", kMuted);

    // LED shading under everything, then the time grid.
    for (const Interval &i : s.led.until(s.end, min_gap)) {
        doc.rect(sx(i.from), plot_top, sx(i.to) - sx(i.from), plot_bottom - plot_top,
                 R"(class="led-on" fill="#fff8d8")");
    }
    double step = tick_step(s.end, 12);
    for (double t = 0; t <= s.end + step / 1000; t += step) {
        doc.line(sx(t), plot_top, sx(t), plot_bottom, kGrid);
        doc.text(sx(t), plot_bottom + 16, svg::num(t), "middle", kMuted);
    }
    doc.text(left + plot_w / 2, plot_bottom + 32, "time (ms)", "middle");

    auto lane_frame = [&](const Lane &lane) {
        doc.rect(left, lane.top, plot_w, lane.height, kFrame);
        doc.text(left, lane.top - 4, lane.title, "start", R"(font-weight="bold")");
    };

    // Joystick axes around their centre.
    lane_frame(axes);
    svg::Scale sy_axes{-360, 360, axes.top + axes.height - 4, axes.top + 4};
    for (int v : {-360, 0, 360}) {
        doc.line(left, sy_axes(v), left + plot_w, sy_axes(v), v == 0 ? R"(stroke="#aaa")" : kGrid);
        doc.text(left - 4, sy_axes(v) + 4, std::to_string(v), "end", kMuted);
    }
    for (size_t a = 0; a < 8; a++) {
        std::vector<Point> pts;
        for (const Point &p : svg::decimate(s.axes[a].until(s.end), kMaxLinePoints)) {
            pts.push_back({sx(p.x), sy_axes(p.y)});
        }
        doc.polyline(pts, std::string("class=\"axis\" stroke=\"") + kAxisColours[a] + "\" stroke-width=\"1.2\"");
        doc.rect(8 + double(a % 4) * 26, axes.top + 8 + double(a / 4) * 16, 8, 8,
                 std::string("fill=\"") + kAxisColours[a] + "\"");
        doc.text(19 + double(a % 4) * 26, axes.top + 16 + double(a / 4) * 16, kAxisNames[a], "start",
                 R"(font-size="9")");
    }

    // Bars: one row per button, key or control that was ever down.
    auto bar_lane = [&](const Lane &lane, const std::map<std::string, Bars> &rows, const char *colour) {
        lane_frame(lane);
        if (rows.empty()) doc.text(left + 6, lane.top + 14, "none down", "start", kMuted);
        double row_top = lane.top + 4;
        for (const auto &[name, bars] : rows) {
            doc.text(left - 4, row_top + row_h - 3, name, "end", R"(font-size="9")");
            for (const Interval &i : bars.until(s.end, min_gap)) {
                doc.rect(sx(i.from), row_top + 1, std::max(sx(i.to) - sx(i.from), 1.0), row_h - 3,
                         std::string("class=\"bar\" fill=\"") + colour + "\"");
            }
            row_top += row_h;
        }
    };
    bar_lane(buttons, s.buttons, "#4a7fd0");
    bar_lane(keys, s.keys, "#3a9a5a");

    // Mouse movement, each report's counts held for its 10 ms.
    lane_frame(mouse);
    double mouse_top = 1;
    for (const StepLine &m : s.mouse) {
        for (const Point &p : m.points) mouse_top = std::max(mouse_top, std::abs(p.y));
    }
    svg::Scale sy_mouse{-mouse_top, mouse_top, mouse.top + mouse.height - 4, mouse.top + 4};
    for (double v : {-mouse_top, 0.0, mouse_top}) {
        doc.line(left, sy_mouse(v), left + plot_w, sy_mouse(v), v == 0 ? R"(stroke="#aaa")" : kGrid);
        doc.text(left - 4, sy_mouse(v) + 4, svg::num(v), "end", kMuted);
    }
    static const char *mouse_names[3] = {"X", "Y", "wheel"};
    static const char *mouse_colours[3] = {"#1f77b4", "#d62728", "#2ca02c"};
    for (size_t m = 0; m < 3; m++) {
        std::vector<Point> pts;
        for (const Point &p : svg::decimate(s.mouse[m].until(s.end), kMaxLinePoints)) {
            pts.push_back({sx(p.x), sy_mouse(p.y)});
        }
        doc.polyline(pts, std::string("class=\"mouse\" stroke=\"") + mouse_colours[m] + "\" stroke-width=\"1.2\"");
        doc.rect(8, mouse.top + 8 + double(m) * 16, 8, 8, std::string("fill=\"") + mouse_colours[m] + "\"");
        doc.text(19, mouse.top + 16 + double(m) * 16, mouse_names[m], "start", R"(font-size="9")");
    }

    // The LED's own row, so that it reads without the shading too.
    lane_frame(led);
    for (const Interval &i : s.led.until(s.end, min_gap)) {
        doc.rect(sx(i.from), led.top + 2, std::max(sx(i.to) - sx(i.from), 1.0), led.height - 4,
                 R"(fill="#e0b400")");
    }

    // Profile changes over every lane, their labels staggered in two rows.
    for (size_t i = 0; i < s.profiles.size(); i++) {
        const auto &m = s.profiles[i];
        double x = sx(m.t);
        doc.line(x, markers.top + (i % 2 ? 18 : 4), x, plot_bottom,
                 R"(class="profile-change" stroke="#b03060" stroke-dasharray="4 3")");
        doc.text(x + 3, markers.top + (i % 2 ? 26 : 12), m.text, "start", R"(fill="#b03060")");
    }
    return doc.str();
}

} // namespace mivo::tools
