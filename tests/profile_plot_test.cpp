// Response curves of axis binds, as the driver computes them, and the SVG
// pictures of profiles and sessions.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "core/core.h"
#include "support/sim_test.h"
#include "tools/lib/profile_plot.h"
#include "tools/lib/response_curve.h"
#include "tools/lib/svg.h"

using namespace mivo::tools;
using mivo::profile::Profile;

namespace {

BIND axis_bind(UCHAR axis, ULONG action, UCHAR param = 0)
{
    BIND b{};
    b.Source_Type = SOURCE_AXIS;
    b.Source_Index = axis;
    b.Action_Type = action;
    b.Action_Param[0] = param;
    return b;
}

mivo::profile::Bind stored(const BIND &b)
{
    mivo::profile::Bind out;
    std::memcpy(out.bytes.data(), &b, BIND_PERSISTED_SIZE);
    return out;
}

Profile profile_of(std::vector<BIND> binds, int16_t dead_zone = 0, std::string name = "Test")
{
    Profile p;
    p.id = 3;
    p.name = std::move(name);
    p.dead_zone = dead_zone;
    for (const BIND &b : binds) p.binds.push_back(stored(b));
    return p;
}

// Enough of XML to tell a document a browser would refuse: one root element,
// every tag closed in order, no bare '<' or '&' in text or attribute values.
::testing::AssertionResult well_formed(const std::string &doc)
{
    std::vector<std::string> open;
    size_t i = doc.rfind("?>", 64);
    i = i == std::string::npos ? 0 : i + 2;
    int roots = 0;
    static const std::regex entity("^&(amp|lt|gt|quot|apos|#[0-9]+);");
    while (i < doc.size()) {
        if (doc[i] == '&') {
            std::smatch m;
            std::string rest = doc.substr(i, 8);
            if (!std::regex_search(rest, m, entity)) return ::testing::AssertionFailure() << "bare & at " << i;
            i++;
            continue;
        }
        if (doc[i] != '<') {
            i++;
            continue;
        }
        size_t end = doc.find('>', i);
        if (end == std::string::npos) return ::testing::AssertionFailure() << "unclosed tag at " << i;
        std::string tag = doc.substr(i + 1, end - i - 1);
        if (tag.find('<') != std::string::npos) return ::testing::AssertionFailure() << "'<' inside " << tag;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                return ::testing::AssertionFailure() << "</" << tag.substr(1) << "> closes nothing open";
            open.pop_back();
        } else if (tag.back() != '/') {
            if (open.empty()) roots++;
            open.push_back(tag.substr(0, tag.find_first_of(" \n")));
        } else if (open.empty()) {
            roots++;
        }
        i = end + 1;
    }
    if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> never closed";
    if (roots != 1) return ::testing::AssertionFailure() << roots << " root elements";
    if (doc.find("<svg xmlns=\"http://www.w3.org/2000/svg\"") == std::string::npos)
        return ::testing::AssertionFailure() << "no SVG namespace";
    return ::testing::AssertionSuccess();
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class ResponseCurves : public SimTest {};

TEST_F(ResponseCurves, FollowTheDriversDeadZoneScalingAndActions)
{
    BIND hold = axis_bind(0, ACTION_JOY_AXIS, 0);
    hold.Trigger_Mode = TRIGGER_HOLD;
    hold.Hold_Time = 500;
    BIND tap = axis_bind(1, ACTION_JOY_AXIS, 1);
    tap.Trigger_Mode = TRIGGER_TAP;
    tap.Hold_Time = 500;
    BIND limited = axis_bind(2, ACTION_JOY_AXIS, 2);
    limited.Axis_Min = 10;
    limited.Axis_Max = 200;
    limited.Axis_DeadZone = -50; // cancels the profile's 50
    BIND key = axis_bind(3, ACTION_KEYBOARD);
    key.Key_Flags = KEY_PRESS;
    key.Key_Codes[0] = 0x04;

    struct Case {
        const char *what;
        Profile profile;
        std::vector<std::pair<int, double>> points; // device input -> response
    };
    const Case cases[] = {
        {"dead zone 50 rescales what is left to 0..360", profile_of({axis_bind(0, ACTION_JOY_AXIS, 0)}, 50),
         {{0, 0}, {50, 0}, {51, 1}, {360, 360}, {-200, -174}, {-360, -360}}},
        {"rotation Y is read negated", profile_of({axis_bind(4, ACTION_JOY_AXIS, 4)}), {{100, -100}, {-360, 360}}},
        {"mouse at speed 100: quadratic, capped at 127", profile_of({axis_bind(3, ACTION_MOUSE_X, 100)}),
         {{360, 127}, {180, 31}, {-180, -31}, {100, 9}, {31, 0}}},
        {"wheel at slowness 10: steps per second on the 10 ms rhythm",
         profile_of({axis_bind(5, ACTION_MOUSE_WHEEL, 10)}),
         // interval 82 ms -> every 90 ms; 20 ms; 5 ms at 10 a step -> every 10 ms; 25 every 10 ms
         {{0, 0}, {60, 1000.0 / 90}, {-200, -50}, {300, 1000}, {340, 2500}}},
        {"hold and tap: the value they let through", profile_of({hold, tap}, 0),
         {{360, 360}, {-90, -90}}},
        {"Axis_Min and Axis_Max window the rescaled value", profile_of({limited}, 50),
         {{9, 0}, {10, 10}, {200, 200}, {201, 0}}},
        {"hat and key binds: where they act", profile_of({axis_bind(3, ACTION_JOY_HAT, 0), key}, 20),
         {{-100, -1}, {20, 0}, {100, 1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ResponseCurve> curves = response_curves(c.profile);
        ASSERT_FALSE(curves.empty());
        for (const auto &[input, expected] : c.points) {
            EXPECT_NEAR(curves[0].at(input), expected, 1e-9) << "input " << input;
            if (curves.size() > 1 && c.profile.binds.size() == 2 && curves[1].unit == curves[0].unit) {
                EXPECT_NEAR(curves[1].at(input), expected, 1e-9) << "second bind, input " << input;
            }
        }
    }
    EXPECT_EQ(sim::clock_now(), sim::kDefaultStart) << "the clock is put back after the triggers were held";
}

TEST_F(ResponseCurves, OneCurvePerAxisBindInListOrderWithItsUnitAndDeadZone)
{
    BIND button = axis_bind(0, ACTION_JOY_BUTTON, 1);
    button.Source_Type = SOURCE_BUTTON;
    BIND own_dz = axis_bind(1, ACTION_MOUSE_Y, 50);
    own_dz.Axis_DeadZone = 400;
    std::vector<ResponseCurve> curves =
        response_curves(profile_of({button, axis_bind(2, ACTION_JOY_AXIS, 6), own_dz,
                                    axis_bind(5, ACTION_KEYBOARD)}, 30));
    ASSERT_EQ(curves.size(), 3u) << "the button bind has no axis to plot";
    EXPECT_EQ(curves[0].bind, 1u);
    EXPECT_EQ(curves[0].unit, ResponseUnit::JoystickValue);
    EXPECT_EQ(curves[0].target, "joystick axis slider 1");
    EXPECT_EQ(curves[0].dead_zone, 30);
    EXPECT_EQ(curves[1].unit, ResponseUnit::MouseCounts);
    EXPECT_EQ(curves[1].dead_zone, 359) << "430 is bounded as the driver bounds it";
    EXPECT_EQ(curves[1].at(359), 0);
    EXPECT_EQ(curves[1].at(360), 63) << "full deflection survives any dead zone: speed 50 gives 63";
    EXPECT_EQ(curves[2].unit, ResponseUnit::OnOff);
    EXPECT_EQ(curves[2].source, "Rz");
}

class ProfilePlot : public SimTest {};

TEST_F(ProfilePlot, IsAStandaloneDocumentWithOneEscapedCurvePerAxisBind)
{
    Profile p = profile_of({axis_bind(0, ACTION_JOY_AXIS, 0), axis_bind(3, ACTION_MOUSE_X, 100),
                            axis_bind(5, ACTION_MOUSE_WHEEL, 10)},
                           50, "Fly & <drive> \"fast\"");
    BIND button = axis_bind(0, ACTION_JOY_BUTTON, 1);
    button.Source_Type = SOURCE_BUTTON;
    p.binds.push_back(stored(button));
    std::string svg = response_plot_svg(p);
    EXPECT_TRUE(well_formed(svg));
    EXPECT_EQ(count(svg, "class=\"curve\""), 3u);
    EXPECT_EQ(count(svg, "class=\"dead-zone\""), 3u);
    EXPECT_NE(svg.find("Fly &amp; &lt;drive&gt; &quot;fast&quot;"), std::string::npos);
    EXPECT_EQ(svg.find("<drive>"), std::string::npos);

    std::string empty = response_plot_svg(profile_of({button}));
    EXPECT_TRUE(well_formed(empty));
    EXPECT_EQ(count(empty, "class=\"curve\""), 0u);
}

TEST(Svg, DecimationBoundsTheLineAndKeepsItsExtremes)
{
    std::vector<svg::Point> few = {{0, 1}, {1, 5}, {2, -3}};
    EXPECT_EQ(svg::decimate(few, 2000), few);

    std::vector<svg::Point> many;
    for (int i = 0; i < 100000; i++) many.push_back({double(i), double(i % 7)});
    many[31337].y = 1000;
    many[77777].y = -1000;
    std::vector<svg::Point> kept = svg::decimate(many, 2000);
    EXPECT_LE(kept.size(), 2000u);
    EXPECT_GT(kept.size(), 1000u);
    EXPECT_EQ(kept.front(), many.front());
    EXPECT_EQ(kept.back(), many.back());
    EXPECT_NE(std::find(kept.begin(), kept.end(), many[31337]), kept.end()) << "a one-sample peak survives";
    EXPECT_NE(std::find(kept.begin(), kept.end(), many[77777]), kept.end());
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end(), [](auto &a, auto &b) { return a.x < b.x; }));

    EXPECT_EQ(svg::escape("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d&apos;");
    EXPECT_EQ(svg::num(-0.001), "0");
    EXPECT_EQ(svg::num(12.50), "12.5");
}

TEST(TimelinePlot, LanesMarkersAndABoundedSizeOnLongSessions)
{
    using Kind = TimelineEntry::Kind;
    SimulationResult r;
    TimelineEntry start{Kind::Profile, 0, {}, 0, "Base <1>"};
    start.profile = -1;
    r.timeline.push_back(start);
    r.timeline.push_back({Kind::Led, 0, {}, 1});
    r.timeline.push_back({Kind::Led, 400, {}, 0});
    // Ten minutes of an axis, a button and a key toggling every 10 ms.
    for (uint64_t t = 0; t < 600'000; t += 10) {
        bool odd = (t / 10) % 2;
        r.timeline.push_back({Kind::Report, t, {0xF1, 0x68, 0x01, uint8_t(odd ? 0xD0 : 0x68), uint8_t(odd ? 0x02 : 0x01),
                                                 0x68, 0x01, 0x68, 0x01, 0x68, 0x01, 0x68, 0x01, 0x68, 0x01, 0x68, 0x01,
                                                 0x08, uint8_t(odd)}});
        r.timeline.push_back({Kind::Report, t, {0xF2, 0, uint8_t(odd ? 0x04 : 0), 0, 0, 0, 0, 0}});
    }
    TimelineEntry change{Kind::Profile, 300'000, {}, 0, "Flight & more"};
    change.profile = 2;
    r.timeline.push_back(change);
    r.end_ms = 600'000;

    std::string svg = timeline_plot_svg(r);
    EXPECT_TRUE(well_formed(svg));
    EXPECT_LT(svg.size(), 300'000u) << "120,000 reports, drawn with bounded points and bars";
    EXPECT_EQ(count(svg, "class=\"profile-change\""), 2u);
    EXPECT_NE(svg.find("profile 2 &quot;Flight &amp; more&quot;"), std::string::npos);
    EXPECT_EQ(count(svg, "class=\"axis\""), 8u);
    EXPECT_EQ(count(svg, "class=\"led-on\""), 1u);
    EXPECT_NE(svg.find(">joystick 1<"), std::string::npos) << "a lane for the joystick button that was pressed";
    EXPECT_NE(svg.find(">A<"), std::string::npos) << "a lane for the key that was held";
    std::smatch m;
    std::string axis_y = svg.substr(svg.find("class=\"axis\""));
    ASSERT_TRUE(std::regex_search(axis_y, m, std::regex("points=\"([^\"]*)\"")));
    EXPECT_LE(count(m[1].str(), ","), 2000u);
}

} // namespace
