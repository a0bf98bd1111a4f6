// Fuzzes the version-615 task stream parser on arbitrary bytes, and the
// INI section formatting of whatever it accepts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  converter::OldTaskRecord record;
  if (converter::ParseTaskStream(&record, data, size, nullptr) != 0) return 0;
  // Every Areas and Types item has its flag byte once the parser accepted.
  if (record.AreaFlags.Count() < record.Areas.ItemCount() ||
      record.TypeFlags.Count() < record.Types.ItemCount()) {
    fuzz_check::Fail("every accepted Areas and Types item has its flag byte");
  }
  for (converter::TaskArea area :
       {converter::TaskArea::kPrivate, converter::TaskArea::kShared, converter::TaskArea::kReadOnly}) {
    converter::TaskContext context;
    context.area = area;
    context.language = "ENG";
    context.domain = "D";
    context.user = "u";
    std::string text;
    std::vector<converter::ValueProblem> problems;
    converter::FormatTaskSection(record, context, &text, &problems);
    if (text.rfind("[Task0]\r\n", 0) != 0) fuzz_check::Fail("a task section starts with its header");
  }
  return 0;
}
