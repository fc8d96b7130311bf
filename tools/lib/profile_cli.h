// The command line of mivo-profile, kept apart from main() so that tests can
// run it with their own streams. Exit status as mivo-sim's: 0 done, 1 problems
// in the input (errors are printed as FILE:LINE:COL: error: message), 2 usage.
#pragma once

#include <ostream>

namespace mivo::tools {

int mivo_profile_main(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

} // namespace mivo::tools
