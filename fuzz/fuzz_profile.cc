// Fuzzes the profile reader: arbitrary bytes parsed as an INI file, then
// looked up with the kinds of names the builder asks for and with names
// taken from the input itself.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/profile.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  auto profile = platform::ProfileFile::FromText(bytes);
  // A section and key named by the first line of the input, split at '|'.
  std::string first_line = bytes.substr(0, bytes.find_first_of("\r\n"));
  size_t bar = first_line.find('|');
  std::string section = first_line.substr(0, bar);
  std::string key = bar == std::string::npos ? "" : first_line.substr(bar + 1);
  const char* sections[] = {"MAIN", "Task1", "ToDelete", "", section.c_str()};
  const char* keys[] = {"Output", "Areas", "NumTasks", "", key.c_str()};
  for (const char* s : sections) {
    for (const char* k : keys) {
      for (uint32_t buffer_size : {0u, 1u, 4u, 260u}) {
        std::string value = profile->GetString(s, k, "default  ", buffer_size, buffer_size == 4);
        if (buffer_size > 0 && value.size() >= buffer_size) {
          fuzz_check::Fail("a value is shorter than its buffer");
        }
      }
      profile->GetInt(s, k, -1);
    }
  }
  return 0;
}
