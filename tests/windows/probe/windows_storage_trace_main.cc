// Runs one random storage sequence through ole32 and prints its trace, for
// the native tests to compare with the engine's:
//   windows_storage_trace.exe <new file path> <seed> <steps>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/windows/wine/storage_trace.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: windows_storage_trace <new file> <seed> <steps>\n");
    return 2;
  }
  std::string trace = storage_trace::Run(argv[1], static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                                         std::atoi(argv[3]));
  _setmode(_fileno(stdout), _O_BINARY);  // the trace's bytes as they are
  std::fwrite(trace.data(), 1, trace.size(), stdout);
  return 0;
}
