// The command line of mivo-ctl on Linux, kept apart from main() so that tests
// can run it with their own streams. There is no device to write to here, so
// a command becomes the trace line that makes mivo-sim write it, and the
// status is read from a timeline that mivo-sim wrote.
#pragma once

#include <istream>
#include <ostream>

namespace mivo::tools {

// Exit status: 0 done, 1 failure (no status to read, a file that cannot be
// read), 2 usage error (an unknown option or command, a bad argument).
int mivo_ctl_main(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err);

} // namespace mivo::tools
