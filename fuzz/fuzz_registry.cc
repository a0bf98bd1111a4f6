// Fuzzes the .reg reader on arbitrary bytes, looking up the converter's own
// value and a key and value named by the input's first line.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string value;
  platform::FindRegistryString(bytes, "Software\\ORMEK Software\\Torvi32", "CFG", &value);
  platform::FindRegistryString(bytes, "Software\\ORMEK Software\\Torvi32", "", &value);
  std::string first_line = bytes.substr(0, bytes.find_first_of("\r\n"));
  size_t bar = first_line.find('|');
  if (bar != std::string::npos) {
    platform::FindRegistryString(bytes, first_line.substr(0, bar), first_line.substr(bar + 1),
                                 &value);
  }
  return 0;
}
