// mivo-sim end to end: the translation core in virtual time under the reader,
// what it prints, and its command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "hid/hid.h"
#include "platform/sim/io.h"
#include "support/sim_test.h"
#include "tools/lib/report_format.h"
#include "tools/lib/sim_cli.h"
#include "tools/lib/simulation.h"
#include "tools/lib/timeline.h"

using namespace mivo::tools;
using Kind = TimelineEntry::Kind;

namespace {

std::vector<TraceEvent> trace(const char *text) { return parse_trace(text, "test"); }

std::vector<std::string> names_at(const SimulationResult &r, uint64_t t_ms)
{
    std::vector<std::string> names;
    for (const TimelineEntry &e : r.timeline) {
        if (e.t_ms != t_ms) continue;
        if (e.kind == Kind::Report) names.emplace_back(report_name(report_kind(e.bytes.data(), e.bytes.size())));
        if (e.kind == Kind::Led) names.push_back(e.led ? "LED on" : "LED off");
        if (e.kind == Kind::Input) names.push_back("input");
    }
    return names;
}

std::vector<const TimelineEntry *> reports_named(const SimulationResult &r, std::string_view name)
{
    std::vector<const TimelineEntry *> out;
    for (const TimelineEntry &e : r.timeline) {
        if (e.kind == Kind::Report && report_name(report_kind(e.bytes.data(), e.bytes.size())) == name) {
            out.push_back(&e);
        }
    }
    return out;
}

class MivoSim : public SimTest {};

// ---------------------------------------------------------------- the session

TEST_F(MivoSim, FirstStepDeliversEveryReportOnceInTheDriversOrder)
{
    SimulationOptions options;
    options.duration_ms = 0;
    SimulationResult r = run_simulation({}, options);
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(sim::irps_live(), 0u) << "the reads were cancelled and freed at the end";
    EXPECT_EQ(r.steps, 1u);
    // Two reads, each sent again from its completion: the step does not run out
    // of reads, so all eight reports of the rebuild go out at once; the LED
    // queue ticks before the reports are handed out.
    EXPECT_EQ(names_at(r, 0), (std::vector<std::string>{"LED on", "status", "raw_translation", "raw_rotation",
                                                         "raw_buttons", "joystick", "keyboard", "consumer", "mouse"}));
    EXPECT_EQ(hex_bytes(reports_named(r, "status")[0]->bytes), "F0 01 FF FF");
    // Base profile at rest: the inverted button-1 bind holds axis 7 at -350,
    // the inverted button-0 bind holds joystick button 2.
    EXPECT_EQ(hex_bytes(reports_named(r, "joystick")[0]->bytes),
              "F1 68 01 68 01 68 01 68 01 68 01 68 01 68 01 0A 00 08 02");
}

TEST_F(MivoSim, StepsRunAtEachReportAndTenMillisecondsAfterTheLast)
{
    SimulationOptions options;
    options.duration_ms = 40;
    SimulationResult r = run_simulation(trace("5 01 00\n5 02 00\n23 03 00\n"), options);
    EXPECT_EQ(r.step_times, (std::vector<uint64_t>{0, 5, 5, 15, 23, 33}));
    EXPECT_EQ(r.end_ms, 33u);

    SimulationResult at_zero = run_simulation(trace("0 01 2C 01\n"), {});
    ASSERT_GE(at_zero.step_times.size(), 2u);
    EXPECT_EQ(at_zero.step_times[0], 0u);
    EXPECT_EQ(at_zero.step_times[1], 10u) << "a report at time 0 rides on the first step";
    EXPECT_EQ(at_zero.end_ms, 1000u) << "by default the session ends a second after its last report";
    // The first step already sees the report: the raw report goes out once, with it.
    auto raw = reports_named(at_zero, "raw_translation");
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(hex_bytes(raw[0]->bytes), "01 2C 01 00 00 00 00");
}

TEST_F(MivoSim, ReportsAtOneTimeAreTwoStepsEachDeliveringItsChanges)
{
    SimulationOptions options;
    options.duration_ms = 100;
    // Translation X 200 then rotation X 200 at the same time.
    SimulationResult r = run_simulation(trace("50 01 C8 00\n50 02 C8 00\n"), options);
    EXPECT_EQ(names_at(r, 50), (std::vector<std::string>{"input", "raw_translation", "joystick", "input",
                                                          "raw_rotation", "joystick", "mouse"}));
    // The rotation moves the mouse (Y); it goes out every 10 ms while held.
    std::vector<uint64_t> mouse_times;
    for (const TimelineEntry *e : reports_named(r, "mouse")) mouse_times.push_back(e->t_ms);
    EXPECT_EQ(mouse_times, (std::vector<uint64_t>{0, 50, 60, 70, 80, 90, 100}));
}

TEST_F(MivoSim, ReportsAfterTheDurationAreNotPlayed)
{
    SimulationOptions options;
    options.duration_ms = 25;
    SimulationResult r = run_simulation(trace("10 01 C8 00\n30 01 00 00\n"), options);
    EXPECT_EQ(r.step_times, (std::vector<uint64_t>{0, 10, 20}));
    auto raw = reports_named(r, "raw_translation");
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw.back()->t_ms, 10u);
}

TEST_F(MivoSim, LedFollowsThePatternsOnlyWhenItsRestingStateIsOn)
{
    SimulationOptions options;
    options.duration_ms = 2000;
    SimulationResult on = run_simulation({}, options);
    std::vector<std::pair<uint64_t, int>> changes;
    for (const TimelineEntry &e : on.timeline) {
        if (e.kind == Kind::Led) changes.emplace_back(e.t_ms, e.led);
    }
    // The reload pattern: 250 on / 125 off for 500 ms, then faster; the LED
    // ends lit, its resting state. A phase ends at the first step later than
    // its due time, and steps come every 10 ms: 0 + 250 -> 260, 260 + 125 -> 390.
    ASSERT_GE(changes.size(), 4u);
    EXPECT_EQ(changes[0], std::make_pair(uint64_t(0), 1));
    EXPECT_EQ(changes[1], std::make_pair(uint64_t(260), 0));
    EXPECT_EQ(changes[2], std::make_pair(uint64_t(390), 1));
    EXPECT_EQ(changes.back().second, 1);
    EXPECT_EQ(LedFlag, 0) << "the session puts the driver's LedFlag back";

    options.led_flag = 0;
    SimulationResult off = run_simulation({}, options);
    for (const TimelineEntry &e : off.timeline) EXPECT_NE(e.kind, Kind::Led) << "the LED never lights";
}

TEST_F(MivoSim, DemoRunsCleanlyThroughEveryPart)
{
    std::vector<TraceEvent> demo = demo_script();
    ASSERT_FALSE(demo.empty());
    for (size_t i = 1; i < demo.size(); i++) EXPECT_GE(demo[i].t_ms, demo[i - 1].t_ms);

    SimulationResult r = run_simulation(demo, {});
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    EXPECT_EQ(r.end_ms, demo.back().t_ms + 1000);

    auto has = [&](std::string_view name, std::string_view field, const nlohmann::json &value) {
        for (const TimelineEntry *e : reports_named(r, name)) {
            if (report_fields(e->bytes)[std::string(field)] == value) return true;
        }
        return false;
    };
    EXPECT_TRUE(has("joystick", "x", 720)) << "the cap pushed fully right";
    EXPECT_TRUE(has("joystick", "hat", 4)) << "the tilt towards you";
    EXPECT_TRUE(has("consumer", "controls", nlohmann::json::array({"Volume Increment"}))) << "button 0";
    EXPECT_TRUE(has("consumer", "controls", nlohmann::json::array({"Volume Decrement"}))) << "button 1";
    EXPECT_TRUE(has("mouse", "wheel", 25)) << "the gesture's twist spins the wheel until the mode begins";
    EXPECT_TRUE(has("mouse", "y", 13)) << "the held tilt";
    EXPECT_TRUE(has("raw_buttons", "buttons", nlohmann::json::array({1})));
    int led_changes = 0;
    for (const TimelineEntry &e : r.timeline) led_changes += e.kind == Kind::Led;
    EXPECT_GT(led_changes, 10) << "reload, gesture, selection and end patterns";
}

// ---------------------------------------------------------------- output

TEST(MivoSimOutput, JsonLinesCarryTimeReportHexAndFields)
{
    std::vector<TimelineEntry> timeline = {
        {Kind::Input, 0, {0x01, 0x2C, 0x01}, 0, "label"},
        {Kind::Led, 0, {}, 1},
        {Kind::Report, 0, {0xF3, 0x02, 0x00}},
        {Kind::Report, 10, {0xF4, 0xFD, 0x00, 0x01, 0x00}},
    };
    std::ostringstream out;
    write_jsonl(out, timeline);
    EXPECT_EQ(out.str(), "{\"t_ms\":0,\"led\":1}\n"
                         "{\"t_ms\":0,\"report\":\"consumer\",\"hex\":\"F3 02 00\",\"controls\":[\"Volume Increment\"]}\n"
                         "{\"t_ms\":10,\"report\":\"mouse\",\"hex\":\"F4 FD 00 01 00\",\"x\":-3,\"y\":0,\"wheel\":1,"
                         "\"buttons\":[]}\n");
}

TEST(MivoSimOutput, TextFoldsRunsOfTheSameReport)
{
    std::vector<uint8_t> moving = {0xF4, 0x00, 0x0D, 0x00, 0x00};
    std::vector<TimelineEntry> timeline = {
        {Kind::Input, 10, {0x02, 0x96, 0x00}, 0, "tilt"},
        {Kind::Report, 10, moving},
        {Kind::Report, 20, moving},
        {Kind::Report, 30, moving},
        {Kind::Led, 35, {}, 0},
        {Kind::Report, 40, moving},
        {Kind::Report, 50, moving},
        {Kind::Report, 65, moving},
    };
    std::ostringstream folded;
    write_text(folded, timeline);
    EXPECT_EQ(folded.str(), "     10 ms  -- tilt\n"
                            "     10 ms  device input     02 96 00\n"
                            "     10 ms  mouse            X    0  Y   13  wheel   0  buttons -\n"
                            "     30 ms                   (the same 2 more times, every 10 ms, until here)\n"
                            "     35 ms  LED              off\n"
                            "     40 ms  mouse            X    0  Y   13  wheel   0  buttons -\n"
                            "     65 ms                   (the same 2 more times, until here)\n");

    std::ostringstream expanded;
    write_text(expanded, timeline, true);
    std::string text = expanded.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
}

// ---------------------------------------------------------------- command line

struct CliRun {
    int status;
    std::string out, err;
};

CliRun run_cli(std::vector<const char *> args)
{
    args.insert(args.begin(), "mivo-sim");
    std::ostringstream out, err;
    int status = mivo_sim_main(int(args.size()), args.data(), out, err);
    return {status, out.str(), err.str()};
}

class MivoSimCli : public SimTest {};

TEST_F(MivoSimCli, UsageErrorsExitWithTwo)
{
    for (auto args : std::vector<std::vector<const char *>>{{"--format", "xml"},
                                                           {"--duration", "-5"},
                                                           {"--duration", "soon"},
                                                           {"--duration", "86400001"},
                                                           {"--led-flag", "2"},
                                                           {"--bogus"},
                                                           {"extra"}}) {
        CliRun r = run_cli(args);
        EXPECT_EQ(r.status, kExitUsage) << args[0];
        EXPECT_NE(r.err.find("mivo-sim: "), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << "nothing runs";
    }
    CliRun help = run_cli({"--help"});
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_NE(help.out.find("--trace"), std::string::npos);
}

TEST_F(MivoSimCli, BadTraceIsReportedWithItsLineAndNothingRuns)
{
    std::string path = ::testing::TempDir() + "mivo_sim_cli_test.trace";
    {
        std::ofstream f(path);
        f << "# ok\n0 01 00\n10 01 GG\n";
    }
    CliRun r = run_cli({"--trace", path.c_str()});
    EXPECT_EQ(r.status, kExitInput);
    EXPECT_EQ(r.err, path + ":3: bad hex 'GG'\n");
    EXPECT_TRUE(r.out.empty());

    {
        std::ofstream f(path);
        f << "0 01 C8 00\n";
    }
    CliRun ok = run_cli({"--trace", path.c_str(), "--format", "jsonl", "--duration", "20"});
    EXPECT_EQ(ok.status, kExitOk) << ok.err;
    std::istringstream lines(ok.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line);
        EXPECT_TRUE(j.contains("t_ms"));
        EXPECT_TRUE(j.contains("led") || (j.contains("report") && j.contains("hex"))) << line;
        count++;
    }
    EXPECT_EQ(count, 9) << "the LED and the eight reports of the first step; X alone moves no mouse";
    std::remove(path.c_str());

    CliRun missing = run_cli({"--trace", path.c_str()});
    EXPECT_EQ(missing.status, kExitInput);
    EXPECT_EQ(missing.err, path + ":0: cannot open the file\n");
}

} // namespace
