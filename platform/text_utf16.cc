// Text files written as UTF-16LE with a byte-order mark (INI and .reg
// files saved as "Unicode").

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

}  // namespace platform
