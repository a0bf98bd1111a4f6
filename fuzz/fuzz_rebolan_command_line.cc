// Fuzzes Rebolan's command-line parser on arbitrary argument texts.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "converter/driver.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // "/P-" reads the password from standard input: an empty one here, never
  // a terminal that would wait for a line.
  static const bool kInputIsEmpty = [] {
    int empty = ::open("/dev/null", O_RDONLY);
    return empty >= 0 && ::dup2(empty, STDIN_FILENO) >= 0 && ::close(empty) == 0;
  }();
  (void)kInputIsEmpty;
  converter::RunSettings settings;
  std::string tail(reinterpret_cast<const char*>(data), size);
  int32_t result = converter::ParseCommandLine(tail, &settings);
  if (result != 0 && result != converter::kExitBadCommandLine) {
    fuzz_check::Fail("the parse ends with 0 or 6");
  }
  // Accepted values always fit their buffers.
  if (result == 0 && (settings.config_path.size() > converter::kMaxPathLength ||
                      settings.ini_path.size() > converter::kMaxPathLength ||
                      settings.language.size() > converter::kMaxLanguageLength ||
                      settings.access_password.size() > converter::kMaxPasswordLength)) {
    fuzz_check::Fail("accepted values fit their buffers");
  }
  return 0;
}
