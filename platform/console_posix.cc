// A console program on POSIX: standard streams carry bytes as they are, the
// arguments and paths are bytes, and Report writes to stderr anyway.
#include "platform/system.h"

namespace platform {

void UseConsole() {}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  if (argc < 1) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

std::string PathFromUtf8(const std::string& path) { return path; }

}  // namespace platform
