// The one upper-case table of the project: Unicode's simple upper-case
// mapping of a UTF-16 unit, the same on every build and in every locale.
// The compound-file engine orders and matches element names with it, and
// the text helpers (EqualNoCaseAnsi, FoldedWide, the profile reader's keys)
// fold with it.
//
// The table is generated from UnicodeData.txt by
// scripts/gen-upper-case-table.py into upper_case_table.h. A unit keeps
// itself when it has no simple upper case, when its upper case lies outside
// the BMP or has several units (only a special mapping, as for U+00DF), and
// when it is a surrogate.
#pragma once

#include "platform/upper_case_table.h"

namespace platform {

inline char16_t UpperCaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  return static_cast<char16_t>(
      c + upper_case_table::kUpperDelta[upper_case_table::kUpperBlock[c >> 8]][c & 0xFF]);
}

}  // namespace platform
