// What the fuzz targets share. A finding is an abort with a message, so that
// libFuzzer keeps the input that caused it; the sanitizers abort by
// themselves (the build makes every report fatal).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace fuzz {

[[noreturn]] inline void fail(const std::string &what)
{
    std::fprintf(stderr, "==fuzz== finding: %s\n", what.c_str());
    std::abort();
}

inline void check(bool holds, const char *what)
{
    if (!holds) fail(what);
}

// Whatever the simulated kernel found since its reset (leaked pool, open
// handles, requests completed twice or never, bad frees, ...).
inline void check_kernel()
{
    const std::vector<std::string> problems = sim::problems();
    if (problems.empty()) return;
    std::string all = "the simulated kernel reports:";
    for (const std::string &p : problems) all += "\n  " + p;
    fail(all);
}

} // namespace fuzz
