// The password streams "cc012" and "ro012" in "_Zarin_", and the password
// scrambling that the builder and the converter share.
#pragma once

#include <cstdint>
#include <string>

namespace builder {

constexpr uint32_t kPasswordMask1 = 0x3c71d9e4;
constexpr uint32_t kPasswordMask2 = 0x6b0a85f2;

// Scrambles n bytes in place. The 32-bit words overlap (step i reads bytes
// i..i+3 that step i-1 has just rewritten), so the last byte never changes
// and 4 bytes or fewer stay as they are.
void ScramblePassword(uint8_t* bytes, uint32_t n);

// length / 2 bytes from hexadecimal digits, high digit first, without
// validation (see the definition for what other characters give).
std::string DecodeHexPassword(const char* text, uint32_t length);

// Stores `value` in the password stream `stream_name` of the configuration
// file at the builder's ConfigPath: decoded when `hex`, else scrambled.
// Returns whether it was stored (the conversion reports a failure).
bool StorePassword(const std::string& stream_name, const std::string& value, bool hex);

}  // namespace builder
