// The password streams of "_Zarin_" and the shared password scrambling.

#include "builder/password_store.h"

#include <memory>

#include "builder/config_layout.h"
#include "platform/little_endian.h"
#include "platform/storage.h"
#include "platform/text.h"

namespace builder {

namespace {

uint32_t RotateLeft(uint32_t w, uint32_t bits) {
  return bits == 0 ? w : (w << bits) | (w >> (32 - bits));
}

// The value of one digit character: x - '0' below 'A', else x - 'A' + 10.
// Characters with the top bit set are negative and so count as below 'A'.
int HexDigitValue(char c) {
  int x = static_cast<signed char>(c);
  return x < 65 ? x - 48 : x - 55;
}

}  // namespace

void ScramblePassword(uint8_t* bytes, uint32_t n) {
  // Steps must run in increasing i: each reads three bytes its predecessor
  // has just rewritten.
  for (uint32_t i = 0; i + 4 < n; ++i) {
    uint32_t w = platform::Get32(bytes + i);
    uint32_t k = (i ^ kPasswordMask1) + 84u * i;
    w = w ^ k ^ kPasswordMask2;
    platform::Put32(bytes + i, RotateLeft(w, i % 4));
  }
}

std::string DecodeHexPassword(const char* text, uint32_t length) {
  std::string bytes(length / 2, '\0');
  for (uint32_t k = 0; k < length / 2; ++k) {
    // The shift keeps only the high digit's low four bits; the low digit is
    // ORed in whole, so 'a'..'f' there add bit 0x20.
    unsigned hi = static_cast<unsigned>(HexDigitValue(text[2 * k]) * 16) & 0xFF;
    unsigned lo = static_cast<unsigned>(HexDigitValue(text[2 * k + 1])) & 0xFF;
    bytes[k] = static_cast<char>(hi | lo);
  }
  return bytes;
}

bool StorePassword(const std::string& stream_name, const std::string& value, bool hex) {
  using platform::AnsiToWide;
  using platform::kStorageMode;
  const uint32_t len = static_cast<uint32_t>(value.size());
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::OpenStorageFile(ConfigPath, kStorageMode, &root))) {
    if (!CreateSkeleton(ConfigPath)) return false;
    if (FAILED(platform::OpenStorageFile(ConfigPath, kStorageMode, &root))) return false;
  }
  // No version check: a password goes into any file that has "_Zarin_",
  // and "_Zarin_" itself is never created here.
  PasswordStream password;
  if (FAILED(OpenPasswordStream(root.get(), stream_name.c_str(), &password))) {
    if (!password.passwords ||
        FAILED(password.passwords->CreateStream(AnsiToWide(stream_name), kStorageMode,
                                                &password.stream))) {
      return false;
    }
  }
  std::string bytes;
  if (hex) {
    bytes = DecodeHexPassword(value.data(), len);
  } else {
    bytes = value;
    ScramblePassword(reinterpret_cast<uint8_t*>(bytes.data()), len);
  }
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  // One write at position 0: the count, then the bytes. A longer old value
  // keeps its tail; readers go by the count.
  std::string record(4, '\0');
  platform::Put32(reinterpret_cast<uint8_t*>(record.data()), n);
  record += bytes;
  uint32_t written = 0;
  HRESULT hr = password.stream->Write(record.data(), static_cast<uint32_t>(record.size()), &written);
  return SUCCEEDED(hr) && written == record.size();
}

}  // namespace builder
