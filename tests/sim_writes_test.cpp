// Writes in a trace: the simulator sends them through the class driver at
// their time, and what they ask shows at the next step of the HID worker.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "support/sim_test.h"
#include "tests/support/bytes.h"
#include "tools/lib/profile_model.h"
#include "tests/support/store_values.h"
#include "tools/lib/regfile.h"
#include "tools/lib/report_format.h"
#include "tools/lib/simulation.h"
#include "tools/lib/timeline.h"

using namespace mivo::tools;
using Kind = TimelineEntry::Kind;
namespace reg = mivo::regfile;

namespace {

// Profiles 1 (the default) and 2, without binds.
reg::Document two_profiles()
{
    const std::string layout(mivo::profile::kLayoutKey);
    return reg::Document{{
        {layout, false, {dword("Default_Profil", 1)}},
        {layout + "\\Layout - 1", false, {dword("Profil_Id", 1), text("Profil_Name", "One")}},
        {layout + "\\Layout - 2", false, {dword("Profil_Id", 2), text("Profil_Name", "Two")}},
    }};
}

SimulationResult run(const std::string &trace, uint64_t duration_ms, bool store = false)
{
    SimulationOptions options;
    options.duration_ms = duration_ms;
    if (store) options.store = two_profiles();
    SimulationResult r = run_simulation(parse_trace(trace, "test"), options);
    for (const std::string &p : r.problems) ADD_FAILURE() << p;
    return r;
}

// Each status report's time and profile.
std::vector<std::pair<uint64_t, int>> statuses(const SimulationResult &r)
{
    std::vector<std::pair<uint64_t, int>> out;
    for (const TimelineEntry &e : r.timeline) {
        if (e.kind == Kind::Report && report_kind(e.bytes.data(), e.bytes.size()) == ReportKind::Status)
            out.push_back({e.t_ms, report_fields(e.bytes)["profile"].get<int>()});
    }
    return out;
}

class SimWrites : public SimTest {};

TEST_F(SimWrites, ProfileCommandShowsAtTheNextStepAndNotBefore)
{
    const struct {
        const char *name;
        std::string trace;
        uint64_t shows_at;
    } cases[] = {
        {"between steps", "105 write f0 08 02 00", 110},
        {"at the time of a step: after it", "110 write f0 08 02 00", 120},
        {"at the start: after the first step, which the start runs", "0 write f0 08 02 00", 10},
        {"before a device report of its time", "107 write f0 08 02 00\n107 01 00 00", 107},
        {"after a device report of its time", "107 01 00 00\n107 write f0 08 02 00", 117},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SimulationResult r = run(c.trace, 200, true);
        std::vector<std::pair<uint64_t, int>> seen = statuses(r);
        std::vector<std::pair<uint64_t, int>> expected = {{0, 1}, {c.shows_at, 2}};
        EXPECT_EQ(seen, expected) << "the status report says the new profile in the step that takes the command";
    }
}

TEST_F(SimWrites, EachWriteIsShownWithTheStatusAndLengthItGot)
{
    const struct {
        const char *bytes;
        uint32_t status;
        uint64_t written;
        const char *text;
    } cases[] = {
        {"F0 08 02 00", 0, 4, "F0 08 02 00  profile 2: STATUS_SUCCESS, 4 bytes written"},
        {"F0 01 00 00 00 00 00 00 00 00 00 00", 0, 8, "resend: STATUS_SUCCESS, 8 bytes written"}, // cut to 8
        {"04 01 00 00", 0, 2, "report 0x04 for the device: STATUS_SUCCESS, 2 bytes written"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        SimulationResult r = run(std::string("20 write ") + c.bytes, 30);
        const TimelineEntry *w = nullptr;
        for (const TimelineEntry &e : r.timeline)
            if (e.kind == Kind::Write) w = &e;
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->t_ms, 20u);
        EXPECT_EQ(w->bytes, test_bytes::hex(c.bytes));
        EXPECT_EQ(w->status, c.status);
        EXPECT_EQ(w->written, c.written);
        std::ostringstream out;
        write_text(out, {*w});
        EXPECT_NE(out.str().find(c.text), std::string::npos) << out.str();
        EXPECT_EQ(jsonl_line(*w).find("\"write\":\"" + std::string(c.bytes) + "\""), 11u) << jsonl_line(*w);
    }
}

TEST_F(SimWrites, LedCommandSwitchesTheLedAtTheWrite)
{
    SimulationResult r = run("20 write f0 04 00\n40 write f0 04 01", 60);
    std::vector<std::pair<uint64_t, int>> led;
    for (const TimelineEntry &e : r.timeline)
        if (e.kind == Kind::Led && e.t_ms > 0) led.push_back({e.t_ms, e.led});
    EXPECT_EQ(led, (std::vector<std::pair<uint64_t, int>>{{20, 0}, {40, 1}}));
}

} // namespace
