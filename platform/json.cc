// JSON strings. See json.h.

#include "platform/json.h"

#include <cstdint>
#include <cstdio>

#include "platform/text.h"

namespace platform {

namespace {

// One character of a JSON string: '"' and '\' escaped, control characters
// and lone surrogates as \uXXXX, the rest as UTF-8.
void AppendJsonChar(uint32_t c, std::string* out) {
  if (c == '"' || c == '\\') {
    out->push_back('\\');
    out->push_back(static_cast<char>(c));
  } else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
    *out += escape;
  } else {
    AppendUtf8(c, out);
  }
}

}  // namespace

void AppendJsonString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t length = DecodeUtf8(text, i, &code);
    AppendJsonChar(length == 0 ? 0xFFFD : code, out);
    i += length == 0 ? 1 : length;
  }
  out->push_back('"');
}

void AppendJsonName(const std::u16string& name, std::string* out) {
  out->push_back('"');
  for (uint32_t c : CodePoints(name)) AppendJsonChar(c, out);
  out->push_back('"');
}

std::string JsonString(const std::string& text) {
  std::string out;
  AppendJsonString(text, &out);
  return out;
}

}  // namespace platform
