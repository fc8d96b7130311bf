// mivo-sim end to end: the translation core in virtual time under the reader,
// what it prints, and its command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "hid/hid.h"
#include "profiles/profiles.h"
#include "platform/sim/io.h"
#include "support/sim_test.h"
#include "tools/lib/hive.h"
#include "tools/lib/profile_cli.h"
#include "tools/lib/profile_model.h"
#include "tests/support/store_values.h"
#include "tools/lib/regfile.h"
#include "tools/lib/report_format.h"
#include "tests/support/cli_run.h"
#include "tools/lib/simulation.h"
#include "tools/lib/timeline.h"

using namespace mivo::tools;
using Kind = TimelineEntry::Kind;
using Names = std::vector<std::string>;

namespace {

SimulationResult run(const char *trace, uint64_t duration_ms)
{
    SimulationOptions options;
    options.duration_ms = duration_ms;
    return run_simulation(parse_trace(trace, "test"), options);
}

std::string_view name_of(const TimelineEntry &e) { return report_name(report_kind(e.bytes.data(), e.bytes.size())); }

Names names_at(const SimulationResult &r, uint64_t t_ms)
{
    Names names;
    for (const TimelineEntry &e : r.timeline) {
        if (e.t_ms != t_ms) continue;
        if (e.kind == Kind::Report) names.emplace_back(name_of(e));
        if (e.kind == Kind::Led) names.push_back(e.led ? "LED on" : "LED off");
        if (e.kind == Kind::Input) names.push_back("input");
    }
    return names;
}

std::vector<const TimelineEntry *> reports_named(const SimulationResult &r, std::string_view name)
{
    std::vector<const TimelineEntry *> out;
    for (const TimelineEntry &e : r.timeline)
        if (e.kind == Kind::Report && name_of(e) == name) out.push_back(&e);
    return out;
}

std::vector<uint64_t> times_of(const SimulationResult &r, std::string_view name)
{
    std::vector<uint64_t> times;
    for (const TimelineEntry *e : reports_named(r, name)) times.push_back(e->t_ms);
    return times;
}

namespace reg = mivo::regfile;

// A button bind that asks for another profile while the button is down.
reg::Value switch_bind(UCHAR button, SHORT to)
{
    BIND b{};
    b.Source_Type = SOURCE_BUTTON;
    b.Source_Index = button;
    b.Pressed_Value = 1;
    b.Action_Type = ACTION_PROFIL;
    b.Action_Profil = to;
    const auto *p = reinterpret_cast<const uint8_t *>(&b);
    return {"Bind - 00", reg::kRegBinary, std::vector<uint8_t>(p, p + BIND_PERSISTED_SIZE)};
}

struct ProfileSeen {
    uint64_t t_ms;
    int id;
    std::string name;
    bool operator==(const ProfileSeen &) const = default;
    friend std::ostream &operator<<(std::ostream &out, const ProfileSeen &p)
    {
        return out << p.t_ms << " ms: " << p.id << " \"" << p.name << "\"";
    }
};

std::vector<ProfileSeen> profiles_seen(const SimulationResult &r)
{
    std::vector<ProfileSeen> out;
    for (const TimelineEntry &e : r.timeline)
        if (e.kind == Kind::Profile) out.push_back({e.t_ms, e.profile, e.label});
    return out;
}

class MivoSim : public SimTest {};

TEST_F(MivoSim, FirstStepDeliversEveryReportOnceInTheDriversOrder)
{
    SimulationResult r = run("", 0);
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(sim::irps_live(), 0u) << "the reads were cancelled and freed at the end";
    // The LED queue ticks before the reports are handed out.
    EXPECT_EQ(names_at(r, 0), (Names{"LED on", "status", "raw_translation", "raw_rotation", "raw_buttons",
                                     "joystick", "keyboard", "consumer", "mouse"}));
    EXPECT_EQ(hex_bytes(reports_named(r, "status")[0]->bytes), "F0 01 FF FF");
    EXPECT_EQ(profiles_seen(r), (std::vector<ProfileSeen>{{0, -1, "Base Profil"}})) << "the profile it starts on";
    // Base profile at rest: the inverted button-1 bind holds axis 7 at -350,
    // the inverted button-0 bind holds joystick button 2.
    EXPECT_EQ(hex_bytes(reports_named(r, "joystick")[0]->bytes),
              "F1 68 01 68 01 68 01 68 01 68 01 68 01 68 01 0A 00 08 02");
}

// The mouse report of a held tilt is due every 10 ms, at the steps: its times
// show when the HID worker stepped.
TEST_F(MivoSim, StepsRunAtEachReportAndTenMillisecondsAfterTheLast)
{
    // A report 8 ms after a step brings the next one forward; the one after
    // it comes 10 ms later, and the mouse waits its 10 ms from its last report.
    EXPECT_EQ(times_of(run("5 02 96 00\n23 02 A0 00\n", 60), "mouse"), (std::vector<uint64_t>{0, 5, 15, 33, 43, 53}));

    SimulationResult late = run("10 01 C8 00\n30 01 00 00\n", 25);
    EXPECT_EQ(late.end_ms, 25u);
    for (const TimelineEntry &e : late.timeline)
        EXPECT_LE(e.t_ms, 25u) << "nothing after the duration is played";

    SimulationResult at_zero = run_simulation(parse_trace("0 01 2C 01\n"), {});
    EXPECT_EQ(at_zero.end_ms, 1000u) << "by default the session ends a second after its last report";
    Names raw;
    for (const TimelineEntry *e : reports_named(at_zero, "raw_translation")) raw.push_back(hex_bytes(e->bytes));
    EXPECT_EQ(raw, (Names{"01 00 00 00 00 00 00", "01 2C 01 00 00 00 00"}))
        << "the device's first step, as it starts, then the report of time 0";
}

TEST_F(MivoSim, ReportsAtOneTimeAreTwoStepsEachDeliveringItsChanges)
{
    // Translation X 200 then rotation X 200 at the same time.
    SimulationResult r = run("50 01 C8 00\n50 02 C8 00\n", 100);
    EXPECT_EQ(names_at(r, 50),
              (Names{"input", "raw_translation", "joystick", "input", "raw_rotation", "joystick", "mouse"}));
    EXPECT_EQ(times_of(r, "mouse"), (std::vector<uint64_t>{0, 50, 60, 70, 80, 90, 100}))
        << "the rotation moves the mouse, every 10 ms while held";
}

TEST_F(MivoSim, DemoRunsCleanlyThroughEveryPart)
{
    std::vector<TraceEvent> demo = demo_script();
    SimulationResult r = run_simulation(demo, {});
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    EXPECT_EQ(r.end_ms, demo.back().t_ms + 1000);
    EXPECT_EQ(LedFlag, 0) << "the session puts the driver's LedFlag back";

    auto has = [&](std::string_view name, std::string_view field, const nlohmann::ordered_json &value) {
        for (const TimelineEntry *e : reports_named(r, name))
            if (report_fields(e->bytes)[std::string(field)] == value) return true;
        return false;
    };
    EXPECT_TRUE(has("joystick", "x", 720)) << "the cap pushed fully right";
    EXPECT_TRUE(has("consumer", "controls", nlohmann::json::array({"Volume Increment"}))) << "button 0";
    EXPECT_TRUE(has("mouse", "wheel", 25)) << "the gesture's twist spins the wheel until the mode begins";
    int led_changes = 0;
    for (const TimelineEntry &e : r.timeline) led_changes += e.kind == Kind::Led;
    EXPECT_GT(led_changes, 10) << "reload, gesture, selection and end patterns";
}

TEST_F(MivoSim, ProfileSwitchesAreNotedWhenThePassMakesThem)
{
    const std::string layout(mivo::profile::kLayoutKey);
    SimulationOptions options;
    options.duration_ms = 500;
    options.store = reg::Document{{
        {layout, false, {dword("Default_Profil", 1)}},
        {layout + "\\Layout - 1", false, {dword("Profil_Id", 1), text("Profil_Name", "Flight"), switch_bind(0, 2)}},
        {layout + "\\Layout - 2", false, {dword("Profil_Id", 2), text("Profil_Name", "Drive <&>"), switch_bind(1, 1)}},
    }};
    // Button 0 down at 100 asks for profile 2; button 1 down at 300 back for 1.
    SimulationResult r = run_simulation(parse_trace("100 03 01\n200 03 00\n300 03 02\n400 03 00\n"), options);
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    EXPECT_EQ(profiles_seen(r),
              (std::vector<ProfileSeen>{{0, 1, "Flight"}, {100, 2, "Drive <&>"}, {300, 1, "Flight"}}));
    std::vector<int> status_profiles;
    for (const TimelineEntry *e : reports_named(r, "status")) status_profiles.push_back(report_fields(e->bytes)["profile"]);
    EXPECT_EQ(status_profiles, (std::vector<int>{1, 2, 1})) << "the status report agrees with the noted switches";
}

// A long session holds none of its timeline: each entry reaches the sink
// before the input is read past the event that made it, and a line at fault
// found while playing stops the session there, torn down as at its end.
TEST_F(MivoSim, TimelineStreamsOutAsTheSessionPlays)
{
    const uint64_t kEvents = 2000;
    uint64_t served = 0, entries = 0, inputs_seen = 0;
    SimulationOptions options;
    options.sink = [&](const TimelineEntry &e) {
        entries++;
        if (e.kind == Kind::Input) {
            inputs_seen++;
            EXPECT_EQ(inputs_seen, served) << "the entry of each event comes before the next event is read";
        }
    };
    SimulationResult r = run_simulation(
        [&]() -> std::optional<TraceEvent> {
            if (served == kEvents) return std::nullopt;
            TraceEvent ev;
            ev.t_ms = served * 5;
            ev.bytes = {0x01, uint8_t(served & 1 ? 0x10 : 0x00), 0x00};
            served++;
            return ev;
        },
        options);
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    EXPECT_TRUE(r.timeline.empty()) << "nothing kept with a sink";
    EXPECT_EQ(inputs_seen, kEvents);
    EXPECT_GT(entries, 2 * kEvents);
    EXPECT_EQ(r.end_ms, (kEvents - 1) * 5 + 1000) << "the end is known once the input has ended";

    std::istringstream bad("0 01 00\n100 01 10 00\n50 01 00\n");
    TraceReader reader(bad, "bad.trace");
    SimulationResult stopped = run_simulation([&] { return reader.next(); }, {});
    EXPECT_EQ(stopped.input_error, "bad.trace:3: time goes backwards: 50 ms after 100 ms on line 2");
    EXPECT_EQ(stopped.end_ms, 100u) << "nothing plays after the line at fault";
    EXPECT_TRUE(stopped.problems.empty()) << "torn down cleanly";
}

struct DeviceSeen {
    uint64_t t_ms;
    std::string what;
    bool operator==(const DeviceSeen &) const = default;
    friend std::ostream &operator<<(std::ostream &out, const DeviceSeen &d) { return out << d.t_ms << " ms: " << d.what; }
};

// Lifecycle entries, with the status where it is not success.
std::vector<DeviceSeen> device_seen(const SimulationResult &r)
{
    std::vector<DeviceSeen> out;
    for (const TimelineEntry &e : r.timeline) {
        if (e.kind != Kind::Device) continue;
        std::string what = e.label;
        if (e.answered && e.status != 0 && e.label != "removal") what += ": " + status_name(e.status);
        out.push_back({e.t_ms, what});
    }
    return out;
}

// A tilt held from 50 ms (the mouse reports every 10 ms while the driver
// runs), a push at 150 ms, and the device taken away and given back between.
TEST_F(MivoSim, UnplugReplugAndPowerCycleStopTheReportsAndBringThemBack)
{
    using A = DeviceAction::Kind;
    const std::vector<DeviceSeen> arrival = {{0, "arrival"}, {0, "start"}};
    const struct {
        const char *name;
        std::vector<DeviceAction> actions;
        std::vector<DeviceSeen> lifecycle; // after the arrival, before the final removal
        uint64_t quiet_from, quiet_until;  // no report in between
        bool push_delivered;
    } cases[] = {
        {"unplugged and back",
         {{A::Replug, 200}, {A::Unplug, 100}},
         {{100, "unplugged"}, {100, "surprise removal"}, {100, "removal"}, {200, "plugged in"}, {200, "arrival"},
          {200, "start"}},
         101, 199, false},
        {"unplugged twice, plugged in while plugged",
         {{A::Unplug, 100}, {A::Unplug, 120}, {A::Replug, 200}, {A::Replug, 220}},
         {{100, "unplugged"}, {100, "surprise removal"}, {100, "removal"}, {200, "plugged in"}, {200, "arrival"},
          {200, "start"}},
         101, 199, false},
        {"power cycle", {{A::PowerCycle, 100}}, {{100, "power D3"}, {100, "power D0"}}, 101, 105, true},
        {"unplugged to the end", {{A::Unplug, 100}}, {{100, "unplugged"}, {100, "surprise removal"}, {100, "removal"}},
         101, 300, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SimulationOptions options;
        options.duration_ms = 300;
        options.actions = c.actions;
        SimulationResult r = run_simulation(parse_trace("50 02 96 00\n150 01 C8 00\n"), options);
        for (const std::string &p : r.problems) ADD_FAILURE() << p;

        std::vector<DeviceSeen> expected = arrival;
        expected.insert(expected.end(), c.lifecycle.begin(), c.lifecycle.end());
        if (c.lifecycle.back().what != "removal") expected.push_back({300, "removal"});
        EXPECT_EQ(device_seen(r), expected);

        uint64_t back = 0; // the first report after the quiet time
        for (const TimelineEntry &e : r.timeline) {
            if (e.kind != Kind::Report) continue;
            EXPECT_FALSE(e.t_ms >= c.quiet_from && e.t_ms <= c.quiet_until) << "a report at " << e.t_ms;
            if (e.t_ms > c.quiet_until && back == 0) back = e.t_ms;
        }
        if (c.quiet_until < 300) {
            EXPECT_GT(back, 0u) << "reports come back";
            EXPECT_LE(back, c.quiet_until + 20) << "within two passes of the device being back";
        }
        bool pushed = false;
        for (const TimelineEntry *e : reports_named(r, "raw_translation"))
            pushed |= hex_bytes(e->bytes) == "01 C8 00 00 00 00 00";
        EXPECT_EQ(pushed, c.push_delivered) << "a report sent while unplugged is lost";
    }
}

// A device that comes back starts over: the default profile, whatever the
// one before it had switched to.
TEST_F(MivoSim, ReplugStartsOverOnTheDefaultProfile)
{
    const std::string layout(mivo::profile::kLayoutKey);
    SimulationOptions options;
    options.duration_ms = 300;
    options.store = reg::Document{{
        {layout, false, {dword("Default_Profil", 1)}},
        {layout + "\\Layout - 1", false, {dword("Profil_Id", 1), text("Profil_Name", "One")}},
        {layout + "\\Layout - 2", false, {dword("Profil_Id", 2), text("Profil_Name", "Two")}},
    }};
    options.actions = {{DeviceAction::Kind::Unplug, 100}, {DeviceAction::Kind::Replug, 200}};
    SimulationResult r = run_simulation(parse_trace("50 write f0 08 02 00\n150 write f0 08 01 00\n"), options);
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    EXPECT_EQ(profiles_seen(r), (std::vector<ProfileSeen>{{0, 1, "One"}, {60, 2, "Two"}, {200, 1, "One"}}));
    for (const TimelineEntry &e : r.timeline) {
        if (e.kind == Kind::Write && e.t_ms == 150) {
            EXPECT_EQ(e.status, uint32_t(STATUS_NO_SUCH_DEVICE)) << "no device to write to while unplugged";
        }
    }
}

TEST(MivoSimOutput, JsonLinesCarryTimeReportHexAndFields)
{
    std::ostringstream out;
    write_jsonl(out, {{Kind::Input, 0, {0x01, 0x2C, 0x01}, 0, "label"},
                      {Kind::Profile, 0, {}, 0, "Fly \"fast\"", 3},
                      {Kind::Led, 0, {}, 1},
                      {Kind::Report, 10, {0xF4, 0xFD, 0x00, 0x01, 0x00}}});
    EXPECT_EQ(out.str(), "{\"t_ms\":0,\"profile\":3,\"name\":\"Fly \\\"fast\\\"\"}\n"
                         "{\"t_ms\":0,\"led\":1}\n"
                         "{\"t_ms\":10,\"report\":\"mouse\",\"hex\":\"F4 FD 00 01 00\",\"x\":-3,\"y\":0,\"wheel\":1,"
                         "\"buttons\":[]}\n");
}

TEST(MivoSimOutput, TextFoldsRunsOfTheSameReport)
{
    const std::vector<uint8_t> moving = {0xF4, 0x00, 0x0D, 0x00, 0x00};
    std::ostringstream folded;
    write_text(folded, {{Kind::Input, 10, {0x02, 0x96, 0x00}, 0, "tilt"}, {Kind::Report, 10, moving},
                        {Kind::Report, 20, moving}, {Kind::Report, 30, moving}, {Kind::Led, 35, {}, 0},
                        {Kind::Profile, 35, {}, 0, "Base Profil", -1},
                        {Kind::Report, 40, moving}, {Kind::Report, 50, moving}, {Kind::Report, 65, moving}});
    EXPECT_EQ(folded.str(), "     10 ms  -- tilt\n"
                            "     10 ms  device input     02 96 00\n"
                            "     10 ms  mouse            X    0  Y   13  wheel   0  buttons -\n"
                            "     30 ms                   (the same 2 more times, every 10 ms, until here)\n"
                            "     35 ms  LED              off\n"
                            "     35 ms  profile          -1 \"Base Profil\"\n"
                            "     40 ms  mouse            X    0  Y   13  wheel   0  buttons -\n"
                            "     65 ms                   (the same 2 more times, until here)\n");
}

class MivoSimCli : public SimTest {};

TEST_F(MivoSimCli, UsageErrorsExitWithTwoAndRunNothing)
{
    for (auto args : std::vector<std::vector<const char *>>{
             {"--format", "xml"}, {"--duration", "-5"}, {"--duration", "86400001"}, {"--led-flag", "2"}, {"extra"},
             {"--unplug-at", "1s"}, {"--power-cycle-at", "86400001"}}) {
        CliRun r = run_sim_cli(args);
        EXPECT_EQ(r.status, kExitUsage) << args[0];
        EXPECT_EQ(r.err.rfind("mivo-sim: ", 0), 0u) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_EQ(run_sim_cli({"--help"}).status, kExitOk);
}

TEST_F(MivoSimCli, BadTraceIsReportedWithItsLineAndNothingRuns)
{
    const std::string path = ::testing::TempDir() + "mivo_sim_cli_test.trace";
    std::ofstream(path) << "# ok\n0 01 00\n10 01 GG\n";
    CliRun bad = run_sim_cli({"--trace", path.c_str()});
    EXPECT_EQ(bad.status, kExitInput);
    EXPECT_EQ(bad.err, path + ":3: bad hex 'GG'\n");
    EXPECT_TRUE(bad.out.empty());

    std::ofstream(path) << "0 01 C8 00\n";
    CliRun ok = run_sim_cli({"--trace", path.c_str(), "--format", "jsonl", "--duration", "20"});
    EXPECT_EQ(ok.status, kExitOk) << ok.err;
    std::istringstream lines(ok.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); count++) EXPECT_TRUE(nlohmann::json::parse(line).contains("t_ms"));
    EXPECT_EQ(count, 15) << "arrival and start, the profile, the LED and the eight reports of the first step, "
                            "raw_translation and joystick of the report (X alone moves no mouse), the removal";
    std::remove(path.c_str());

    // A missing file, and one without end that must be read as it plays.
    const std::pair<std::string, std::string> refused[] = {{path, path + ":0: cannot open the file\n"},
                                                           {"/dev/zero", "/dev/zero:1: line longer than 4096 bytes\n"}};
    for (const auto &[file, err] : refused) {
        CliRun r = run_sim_cli({"--trace", file.c_str()});
        EXPECT_EQ(r.status, kExitInput);
        EXPECT_EQ(r.err, err);
        EXPECT_TRUE(r.out.empty());
    }
}

TEST_F(MivoSimCli, LifecycleFlagsShowInBothFormats)
{
    CliRun text = run_sim_cli({"--unplug-at", "100", "--replug-at", "200", "--power-cycle-at", "250", "--duration", "300"});
    EXPECT_EQ(text.status, kExitOk) << text.err;
    for (const char *line : {"    100 ms  device           unplugged\n", "    100 ms  device           surprise removal: STATUS_SUCCESS\n",
                             "    200 ms  device           start: STATUS_SUCCESS\n", "    250 ms  device           power D3: STATUS_SUCCESS\n",
                             "    300 ms  device           removal: STATUS_SUCCESS\n", "end at 300 ms\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;

    CliRun jsonl = run_sim_cli({"--unplug-at", "100", "--format", "jsonl", "--duration", "150"});
    EXPECT_EQ(jsonl.status, kExitOk) << jsonl.err;
    EXPECT_NE(jsonl.out.find("{\"t_ms\":100,\"device\":\"unplugged\"}\n"), std::string::npos) << jsonl.out;
    EXPECT_NE(jsonl.out.find("{\"t_ms\":100,\"device\":\"surprise removal\",\"result\":\"STATUS_SUCCESS\"}\n"),
              std::string::npos) << jsonl.out;
}

TEST_F(MivoSimCli, PlotIsWrittenBesideTheTimeline)
{
    const std::string path = ::testing::TempDir() + "mivo_sim_cli_test.svg";
    std::remove(path.c_str());
    CliRun r = run_sim_cli({"--duration", "50", "--plot", path.c_str()});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_NE(r.out.find("profile          -1 \"Base Profil\""), std::string::npos) << r.out;
    std::ifstream file(path);
    std::string svg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("profile -1 &quot;Base Profil&quot;"), std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    std::remove(path.c_str());

    CliRun unwritable = run_sim_cli({"--duration", "0", "--plot", "/nonexistent-dir/x.svg"});
    EXPECT_EQ(unwritable.status, kExitInput);
    EXPECT_EQ(unwritable.err, "mivo-sim: cannot write /nonexistent-dir/x.svg\n");
}

// One profile, usage 0x04 (A) while button 0 is held, three ways: a .reg
// file, the profile file a person writes, and the hive mivo-profile compiles
// of it (as `reg save` of the service key writes it). The sessions are the same.
TEST_F(MivoSimCli, RegFileProfileFileAndHiveRunTheSameStore)
{
    const std::string dir = ::testing::TempDir();
    const std::string toml = dir + "mivo_sim_cli_keys.toml", hiv = dir + "mivo_sim_cli_keys.hiv",
                      reg_path = dir + "mivo_sim_cli_keys.reg", trace = dir + "mivo_sim_cli_keys.trace",
                      bad = dir + "mivo_sim_cli_bad.toml", missing = dir + "mivo_sim_cli_missing.reg";
    std::remove(missing.c_str());
    std::ofstream(toml) << "id = 7\nname = \"Keys\"\n[[bind]]\nsource = \"button 0\"\nkeys = [\"a\"]\n";
    std::ofstream(trace) << "100 03 01\n200 03 00\n";
    std::ofstream(bad) << "id = 7\nname = \"Keys\"\n[[bind]]\nsource = \"button 0\"\nkeys = [\"no such key\"]\n";
    std::ofstream(reg_path) << "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo\\Layout]\n"
                               "\"Default_Profil\"=dword:00000007\n\n"
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo\\Layout\\Layout - 01]\n"
                               "\"Profil_Id\"=dword:00000007\n"
                               "\"Profil_Name\"=\"Keys\"\n"
                               "\"DeadZone\"=dword:00000000\n"
                               "\"Bind - 01\"=hex:01,00,00,00,00,00,00,00,01,00,00,00,00,00,00,00,08,00,00,00,01,00,"
                               "00,04,00,00,00,00,00,00,00,00,00,00\n";

    const char *compile[] = {"mivo-profile", "compile", toml.c_str(), "-o", hiv.c_str()};
    std::ostringstream ignored;
    ASSERT_EQ(mivo::tools::mivo_profile_main(5, compile, ignored, ignored), kExitOk) << ignored.str();

    auto body = [](const std::string &out) { return out.substr(out.find('\n') + 1); }; // past the header naming the store
    CliRun from_file = run_sim_cli({"--profile", toml.c_str(), "--trace", trace.c_str(), "--duration", "300"});
    CliRun from_hive = run_sim_cli({"--registry", hiv.c_str(), "--trace", trace.c_str(), "--duration", "300"});
    CliRun from_reg = run_sim_cli({"--registry", reg_path.c_str(), "--trace", trace.c_str(), "--duration", "300"});
    for (const CliRun *r : {&from_file, &from_hive, &from_reg}) EXPECT_EQ(r->status, kExitOk) << r->err;
    EXPECT_NE(from_file.out.find("on 1 profile file(s), default 7"), std::string::npos) << from_file.out;
    EXPECT_NE(from_reg.out.find("on the store in " + reg_path), std::string::npos) << from_reg.out;
    for (const char *line : {"profile          7 \"Keys\"", "    100 ms  keyboard         keys A\n",
                             "    200 ms  keyboard         no keys\n"})
        EXPECT_NE(from_file.out.find(line), std::string::npos) << line << from_file.out;
    EXPECT_EQ(body(from_file.out), body(from_hive.out));
    EXPECT_EQ(body(from_file.out), body(from_reg.out));

    for (const std::string &refused_path : {bad, missing}) {
        CliRun refused = run_sim_cli({refused_path == bad ? "--profile" : "--registry", refused_path.c_str()});
        EXPECT_EQ(refused.status, kExitInput);
        EXPECT_EQ(refused.err.rfind(refused_path == bad ? bad + ":5:" : missing, 0), 0u) << "located: " << refused.err;
        EXPECT_TRUE(refused.out.empty()) << "nothing runs";
    }
    EXPECT_EQ(run_sim_cli({"--profile", toml.c_str(), "--registry", hiv.c_str()}).status, kExitUsage)
        << "one store or the other";
    for (const std::string &f : {toml, hiv, reg_path, trace, bad}) std::remove(f.c_str());
}

} // namespace
