// mivo-ctl on Linux: commands become trace lines for mivo-sim, and the status
// is read back from the timeline mivo-sim writes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/sim_test.h"
#include "tests/support/cli_run.h"
#include "tools/lib/ctl_cli.h"
#include "tools/lib/simulation.h"
#include "tools/lib/timeline.h"

using namespace mivo::tools;

namespace {

CliRun ctl(std::vector<const char *> args, const std::string &input = "")
{
    args.insert(args.begin(), "mivo-ctl");
    std::istringstream in(input);
    std::ostringstream out, err;
    int status = mivo_ctl_main(int(args.size()), args.data(), in, out, err);
    return {status, out.str(), err.str()};
}

TEST(MivoCtl, CommandsPrintTheirTraceLineAndBadOnesAreUsageErrors)
{
    const struct {
        std::vector<const char *> args;
        int status;
        const char *out_or_err;
    } cases[] = {
        {{"--at", "1500", "profile", "3"}, kExitOk, "1500 write f0 08 03 00\n"},
        {{"--at", "0", "profile", "-1"}, kExitOk, "0 write f0 08 ff ff\n"}, // a negative id is no option
        {{"--help"}, kExitOk, "profile ID"},
        {{"profile", "3"}, kExitUsage, "give the time of the write with --at MS"},
        {{"--at", "-5", "reload"}, kExitUsage, "--at"},
        {{"--at", "86400001", "reload"}, kExitUsage, "--at"},
        {{"--bogus"}, kExitUsage, "unknown option '--bogus'"},
        {{"status", "a", "b"}, kExitUsage, "status: unexpected 'b'"},
        {{"status", "/nonexistent-dir/t.jsonl"}, kExitInput, "cannot open /nonexistent-dir/t.jsonl"},
    };
    for (const auto &c : cases) {
        std::string joined;
        for (const char *a : c.args) joined += std::string(a) + " ";
        SCOPED_TRACE(joined);
        CliRun r = ctl(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string &text = c.status == kExitOk ? r.out : r.err;
        if (c.status == kExitOk && c.args[0] != std::string("--help")) {
            EXPECT_EQ(text, c.out_or_err);
        } else {
            EXPECT_NE(text.find(c.out_or_err), std::string::npos) << text;
        }
    }
}

TEST(MivoCtl, StatusIsTheLastStatusReportOfAJsonTimeline)
{
    const std::string timeline = "{\"t_ms\":0,\"profile\":10,\"name\":\"Desktop\"}\n"
                                 "{\"t_ms\":0,\"report\":\"status\",\"hex\":\"F0 01 0A 00\",\"running\":1,\"profile\":10}\n"
                                 "\n"
                                 "{\"t_ms\":300,\"write\":\"F0 08 0B 00\",\"command\":\"profile 11\"}\n"
                                 "{\"t_ms\":300,\"report\":\"status\",\"hex\":\"F0 01 0B 00\",\"running\":1,\"profile\":11}\n"
                                 "{\"t_ms\":310,\"report\":\"joystick\",\"hex\":\"F1\"}\n";
    const struct {
        std::vector<const char *> args;
        std::string input;
        int status;
        const char *out_or_err;
    } cases[] = {
        {{"status"}, timeline, kExitOk, "300 ms: running, profile 11\n"},
        {{"status", "-"}, timeline, kExitOk, "300 ms: running, profile 11\n"},
        {{"--at", "299", "status"}, timeline, kExitOk, "0 ms: running, profile 10\n"},
        {{"status"}, "", kExitInput, "no status report in <stdin>"},
        {{"status"}, "      0 ms  status           running 1  profile -1\n", kExitInput,
         "<stdin>:1: not a JSON line (mivo-ctl status reads the timeline of mivo-sim --format jsonl)"},
        {{"--at", "5", "status"}, "{\"t_ms\":9,\"report\":\"status\",\"hex\":\"F0 01 00 00\"}\n", kExitInput,
         "no status report in <stdin> up to that time"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        CliRun r = ctl(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == kExitOk) {
            EXPECT_EQ(r.out, c.out_or_err);
        } else {
            EXPECT_NE(r.err.find(c.out_or_err), std::string::npos) << r.err;
        }
    }
}

class MivoCtlWithSim : public SimTest {};

// The loop the tools are made for: mivo-ctl's lines played by mivo-sim, its
// timeline read back by mivo-ctl.
TEST_F(MivoCtlWithSim, ItsLinesPlayedBySimulatorAreReadBackByStatus)
{
    CliRun line = ctl({"--at", "300", "profile", "11"});
    ASSERT_EQ(line.status, kExitOk);
    std::string trace = "0 01 00 00\n" + line.out;
    std::string path = ::testing::TempDir() + "mivo_ctl_loop.trace";
    std::ofstream(path) << trace;
    std::string set = std::string(MIVO_SOURCE_DIR) + "/examples/profiles/set";

    CliRun sim = run_sim_cli({"--profile", set.c_str(), "--trace", path.c_str(), "--format", "jsonl", "--duration", "400"});
    ASSERT_EQ(sim.status, kExitOk) << sim.err;
    // The write at 300 ms comes after the step the driver runs at that time.
    EXPECT_EQ(ctl({"status"}, sim.out).out, "310 ms: running, profile 11\n");
    EXPECT_EQ(ctl({"--at", "299", "status"}, sim.out).out, "0 ms: running, profile 10\n");
}

} // namespace
