// Folding of ANSI text with the shared upper-case table (upper_case.h).

#include "platform/text.h"

namespace platform {

std::u16string FoldedWide(const std::string& text) {
  std::u16string wide = AnsiToWide(text);
  for (char16_t& c : wide) c = UpperCaseChar(c);
  return wide;
}

}  // namespace platform
