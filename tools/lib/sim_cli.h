// The command line of mivo-sim, kept apart from main() so that tests can run
// it with their own streams.
#pragma once

#include <ostream>

namespace mivo::tools {

constexpr int kExitOk = 0;
constexpr int kExitInput = 1; // bad input, or the simulated kernel found the driver misbehaving
constexpr int kExitUsage = 2;

// Parses the arguments, runs the session and prints it; returns the exit status.
int mivo_sim_main(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

} // namespace mivo::tools
