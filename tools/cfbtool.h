// cfbtool's run, apart from its process entry (cfbtool_main.cc), so that
// the tests can run it in their own process.
#pragma once

namespace cfbtool {

// A status for an allocation failure: the one of a file that could not be
// read or written (1), as the run's changes are then not written.
constexpr int kExitOutOfMemory = 1;

// The whole command: argv[1..] as the command line. Returns the exit status.
int RunTool(int argc, char** argv);

}  // namespace cfbtool
