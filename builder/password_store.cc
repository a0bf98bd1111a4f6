// The password streams of "_Zarin_" and the shared password scrambling.

#include "builder/password_store.h"

namespace builder {

namespace {

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

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
    uint32_t w = LoadLe32(bytes + i);
    uint32_t k = (i ^ kPasswordMask1) + 84u * i;
    w = w ^ k ^ kPasswordMask2;
    StoreLe32(bytes + i, RotateLeft(w, i % 4));
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

}  // namespace builder
