// Fuzzes the builder's command-line parsing (both passes) on arbitrary
// command tails, without running any conversion.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "builder/startup.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string tail(reinterpret_cast<const char*>(data), size);
  builder::CommandLine command_line;
  int32_t rc = builder::ParseCommandLine(tail, &command_line);
  if (rc != 0 && rc != builder::kExitRefused && rc != builder::kExitOutOfMemory) {
    fuzz_check::Fail("the parse ends with 0 or a refusal");
  }
  if (rc != 0) return 0;
  if (command_line.languages.empty()) fuzz_check::Fail("an accepted command line has a language");
  for (const std::string& code : command_line.languages) {
    if (code.size() > builder::kMaxLanguageLength) fuzz_check::Fail("a language code fits");
  }
  // A dry run needs a word "/D" or "-D" of its own (the tail ends at a NUL).
  if (command_line.dry_run) {
    const std::string words = " " + tail.substr(0, tail.find('\0')) + " ";
    if (words.find(" /D ") == std::string::npos && words.find(" -D ") == std::string::npos) {
      fuzz_check::Fail("a dry run is asked for by a word /D or -D");
    }
  }
  for (const std::string& path : command_line.ini_paths) {
    if (path.empty() || path.size() > builder::kMaxPathLength) {
      fuzz_check::Fail("an INI path is not empty and fits");
    }
  }
  return 0;
}
