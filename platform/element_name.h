// The rule for the name of a stream or storage, one for every backend and
// for the converter that checks names before the builder creates them: 1 to
// 31 UTF-16 units, none of them NUL, '/', '\', ':' or '!'. Control
// characters other than NUL are allowed.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

constexpr size_t kMaxElementNameUnits = 31;

enum class ElementNameFault { kNone, kEmpty, kTooLong, kForbiddenUnit };

inline ElementNameFault ElementNameProblem(const std::u16string& name) {
  if (name.empty()) return ElementNameFault::kEmpty;
  if (name.size() > kMaxElementNameUnits) return ElementNameFault::kTooLong;
  for (char16_t c : name) {
    if (c == 0 || c == u'/' || c == u'\\' || c == u':' || c == u'!') {
      return ElementNameFault::kForbiddenUnit;
    }
  }
  return ElementNameFault::kNone;
}

inline bool IsValidElementName(const std::u16string& name) {
  return ElementNameProblem(name) == ElementNameFault::kNone;
}

}  // namespace platform
