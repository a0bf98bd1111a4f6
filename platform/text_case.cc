// Simple upper-case folding of UTF-16 units, the same table on every build,
// so that names compare alike wherever they are looked up.

#include "platform/text.h"

namespace platform {

namespace {

// Ranges where upper and lower case alternate: the upper-case letter at an
// even (or, with odd_upper, an odd) code point, its lower-case partner next.
struct AlternatingRange {
  char16_t first;
  char16_t last;
  bool odd_upper;
};

constexpr AlternatingRange kAlternating[] = {
    {0x0100, 0x012F, false}, {0x0132, 0x0137, false}, {0x0139, 0x0148, true},
    {0x014A, 0x0177, false}, {0x0179, 0x017E, true},  {0x0460, 0x0481, false},
    {0x048A, 0x04BF, false}, {0x04C1, 0x04CE, true},  {0x04D0, 0x052F, false},
    {0x1E00, 0x1E95, false}, {0x1EA0, 0x1EFF, false},
};

}  // namespace

char16_t UpperCaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  // Latin-1: à..þ except the division sign; ÿ has its capital in Latin Extended-A.
  if (c >= 0xE0 && c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x0178;
  if (c < 0x100) return c;
  if (c == 0x0131) return u'I';  // dotless i
  if (c == 0x017F) return u'S';  // long s
  for (const AlternatingRange& range : kAlternating) {
    if (c < range.first || c > range.last) continue;
    bool is_odd = (c & 1) != 0;
    return is_odd != range.odd_upper ? static_cast<char16_t>(c - 1) : c;
  }
  // Greek.
  if (c >= 0x03B1 && c <= 0x03CB && c != 0x03C2) return static_cast<char16_t>(c - 32);
  if (c == 0x03C2) return 0x03A3;  // final sigma
  if (c == 0x03AC) return 0x0386;
  if (c >= 0x03AD && c <= 0x03AF) return static_cast<char16_t>(c - 37);
  if (c == 0x03CC) return 0x038C;
  if (c == 0x03CD || c == 0x03CE) return static_cast<char16_t>(c - 63);
  // Cyrillic.
  if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 32);
  if (c >= 0x0450 && c <= 0x045F) return static_cast<char16_t>(c - 80);
  if (c == 0x04CF) return 0x04C0;
  // Armenian.
  if (c >= 0x0561 && c <= 0x0586) return static_cast<char16_t>(c - 48);
  // Fullwidth Latin (double-byte code pages).
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 32);
  return c;
}

std::u16string FoldedWide(const std::string& text) {
  std::u16string wide = AnsiToWide(text);
  for (char16_t& c : wide) c = UpperCaseChar(c);
  return wide;
}

}  // namespace platform
