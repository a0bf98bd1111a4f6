// UTF-16 text: files written as UTF-16LE with a byte-order mark (INI and
// .reg files saved as "Unicode"), and its conversion to UTF-8.

#include "platform/little_endian.h"
#include "platform/text.h"

namespace platform {

bool DecodeMarkedUtf16Le(const std::string& bytes, std::string* ansi) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return false;
  }
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) wide.push_back(Get16(data + i));
  *ansi = WideToAnsi(wide);
  return true;
}

std::vector<uint32_t> CodePoints(const std::u16string& text) {
  std::vector<uint32_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    out.push_back(c);
  }
  return out;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string WideToUtf8(const std::u16string& text) {
  std::string out;
  for (uint32_t c : CodePoints(text)) AppendUtf8(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, &out);
  return out;
}

}  // namespace platform
