// Runs a tool's main routine in the test's process, with its output and
// error streams captured.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/lib/sim_cli.h"

struct CliRun {
    int status;
    std::string out, err;
};

// mivo-sim with these arguments (the program name is added).
inline CliRun run_sim_cli(std::vector<const char *> args)
{
    args.insert(args.begin(), "mivo-sim");
    std::ostringstream out, err;
    int status = mivo::tools::mivo_sim_main(int(args.size()), args.data(), out, err);
    return {status, out.str(), err.str()};
}
