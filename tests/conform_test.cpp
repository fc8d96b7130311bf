// The kernel checks of tests/conform, loaded as a driver on the simulated
// kernel: every check must hold here, as it does on the other kernel they run
// on (scripts/wine_conform.sh), and the run must leave nothing behind.
#include <gmock/gmock.h>

#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "tests/conform/checks.h"
#include "tests/support/sim_test.h"

namespace {

using ::testing::EndsWith;
using ::testing::Each;
using ::testing::SizeIs;

class Conform : public SimTest {};

TEST_F(Conform, EveryCheckHoldsOnTheSimulatedKernel) {
    const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo-conform";
    {
        sim::LoadedDriver driver(MIVO_conform_entry, u"mivo-conform");
        EXPECT_EQ(driver.status(), STATUS_SUCCESS);
    }
    std::vector<std::string> checks;
    std::string done;
    for (const std::string &line : sim::trace_lines()) {
        if (line.rfind("mivo-conform: done ", 0) == 0)
            done = line;
        else if (line.rfind("mivo-conform: ", 0) == 0)
            checks.push_back(line);
    }
    EXPECT_THAT(checks, Each(EndsWith(" ok")));
    EXPECT_THAT(checks, SizeIs(::testing::Ge(10u)));
    EXPECT_EQ(done, "mivo-conform: done " + std::to_string(checks.size()) + " ok 0 failed");
    EXPECT_FALSE(sim::reg_key_exists(service + "\\Conform")) << "the checks' key is removed";
}

} // namespace
