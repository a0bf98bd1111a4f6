// Fuzzes the .reg reader on arbitrary bytes, looking up the converter's own
// value and a key and value named by the input's first line.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry_file.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string first_line = bytes.substr(0, bytes.find_first_of("\r\n"));
  size_t bar = first_line.find('|');
  struct Lookup {
    std::string key, name;
  } lookups[] = {{"Software\\ORMEK Software\\Torvi32", "CFG"},
                 {"Software\\ORMEK Software\\Torvi32", ""},
                 {first_line.substr(0, bar), bar == std::string::npos ? "" : first_line.substr(bar + 1)}};
  for (const Lookup& lookup : lookups) {
    std::string value, again;
    platform::RegistryLookup found =
        platform::FindRegistryString(bytes, lookup.key, lookup.name, &value);
    // A value comes from the file: never longer than it, never holding a NUL.
    if (found == platform::RegistryLookup::kFound &&
        (value.size() > bytes.size() || value.find('\0') != std::string::npos)) {
      fuzz_check::Fail("a found value is a part of the file");
    }
    if (platform::FindRegistryString(bytes, lookup.key, lookup.name, &again) != found ||
        (found == platform::RegistryLookup::kFound && again != value)) {
      fuzz_check::Fail("a lookup gives the same result twice");
    }
  }
  return 0;
}
