// The process entry of the POSIX build: --help or a lone --version, else
// the command tail from argv, the program's run, and its result mapped to
// an exit status (with a line on stderr when it does not fit).

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/program_main.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  platform::SetProgramName(kProgramInfo.name);
  // --help anywhere on the command line: the usage, and nothing else is done.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kProgramInfo.usage, stdout);
      return 0;
    }
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", kProgramInfo.version);
    return 0;
  }
  int32_t result = platform::StopOnOutOfMemory(kProgramInfo.out_of_memory, [&] {
    return ProgramMain(platform::CommandTailFromArguments(argc, argv));
  });
  const int status = platform::ReportedExitStatus(result);
  std::fflush(stdout);
  return status;
}
