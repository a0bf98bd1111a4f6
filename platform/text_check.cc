// Whether a text is UTF-8 or text of the ANSI code page (the test behind
// the builder's warning about INI files saved as UTF-8), and text made safe
// for messages.

#include <cstdint>
#include <cstdio>

#include "platform/text.h"

namespace platform {

size_t DecodeUtf8(const std::string& text, size_t at, uint32_t* code) {
  const size_t n = text.size();
  if (at >= n) return 0;
  const unsigned char b = static_cast<unsigned char>(text[at]);
  size_t length;
  if (b < 0x80) {
    *code = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
    *code = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    *code = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    *code = b & 0x07;
  } else {
    return 0;  // a continuation byte alone, C0, C1, F5..FF
  }
  if (n - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[at + k]);
    if ((c & 0xC0) != 0x80) return 0;
    *code = *code << 6 | (c & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*code < least[length] || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool IsUtf8BeyondAscii(const std::string& text) {
  bool beyond_ascii = false;
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t length = DecodeUtf8(text, i, &code);
    if (length == 0) return false;
    beyond_ascii = beyond_ascii || length > 1;
    i += length;
  }
  return beyond_ascii;
}

bool IsAnsiText(const std::string& text) {
  for (char16_t c : AnsiToWide(text)) {
    if (c == 0xFFFD || (c >= 0x80 && c <= 0x9F)) return false;
  }
  return AnsiCodePageIsDoubleByte() || !IsUtf8BeyondAscii(text);
}

std::string EscapeControlCharacters(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(b));
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace platform
