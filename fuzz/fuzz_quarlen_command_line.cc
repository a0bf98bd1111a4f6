// Fuzzes the builder's command-line parsing (both passes) on arbitrary
// command tails, without running any conversion.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "builder/startup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string tail(reinterpret_cast<const char*>(data), size);
  builder::CommandLine command_line;
  int32_t rc = builder::ParseCommandLine(tail, &command_line);
  if (rc != 0 && rc != builder::kExitRefused && rc != builder::kExitOutOfMemory) std::abort();
  if (rc != 0) return 0;
  if (command_line.languages.empty()) std::abort();
  for (const std::string& code : command_line.languages) {
    if (code.size() > builder::kMaxLanguageLength) std::abort();
  }
  for (const std::string& path : command_line.ini_paths) {
    if (path.empty() || path.size() > builder::kMaxPathLength) std::abort();
  }
  return 0;
}
