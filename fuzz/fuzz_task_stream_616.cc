// Fuzzes the version-616 task stream reader: any bytes either parse, and
// then serialise back to the bytes they came from, or are refused.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "builder/task_record.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  builder::TaskRecord record;
  if (!builder::ParseTaskStream(data, size, &record)) return 0;
  // Reading puts list items at the head; put them back in stream order.
  for (builder::TaskList* list :
       {&record.Types, &record.Areas, &record.SendTo, &record.ResidentExcludeFiles}) {
    std::reverse(list->begin(), list->end());
  }
  if (!builder::FitsFields(record)) fuzz_check::Fail("an accepted record fits its fields");
  std::vector<uint8_t> out(builder::SerializedSize(record));
  builder::Serialize(record, out.data());
  if (out.size() > size || std::memcmp(out.data(), data, out.size()) != 0) {
    fuzz_check::Fail("an accepted stream serialises back to its own bytes");
  }
  return 0;
}
