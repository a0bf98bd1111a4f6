// Password scrambling, hexadecimal decoding and the password streams.

#include "builder/password_store.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::Hex;

std::string Scrambled(std::string text) {
  ScramblePassword(reinterpret_cast<uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
  return text;
}

TEST(ScramblePasswordTest, KnownValues) {
  struct Case {
    std::string plain;
    std::string hex;
  };
  const Case cases[] = {
      {"", ""},
      {"a", "61"},
      {"abcd", "61626364"},  // 4 bytes or fewer stay as they are
      // One step, no rotation: the first four bytes XOR (M1 ^ M2) = 0x577b5c16.
      {"abcde", "773e183365"},
      // Overlapping steps with rotations by 1, 2 and 3 bits.
      {"Secret12", "45e4ccf304b93732"},
      {"password-of-nine", "66ec4cb146e8ec29490264b9e81bcc65"},
      // Bytes with the top bit set are bytes like any other.
      {"\xe4\xf6\xfc\xdf\xc4xyz", "f2c330916f31767a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(Scrambled(c.plain)), c.hex) << c.plain;
  }
}

TEST(ScramblePasswordTest, LastByteNeverChanges) {
  std::string text;
  for (int n = 1; n <= 259; ++n) {
    text.push_back(static_cast<char>('A' + n % 26));
    std::string out = Scrambled(text);
    ASSERT_EQ(out.size(), text.size());
    EXPECT_EQ(out.back(), text.back()) << n;
  }
}

TEST(DecodeHexPasswordTest, DigitsAndUnvalidatedCharacters) {
  struct Case {
    std::string text;
    std::string hex;
  };
  const Case cases[] = {
      {"", ""},
      {"7", ""},                 // an odd last digit is ignored
      {"0AF1", "0af1"},          // upper case: ordinary hexadecimal
      {"FF00AB", "ff00ab"},
      {"0af1", "2af1"},          // lower-case low digit adds 0x20
      {"a0", "a0"},              // lower-case high digit: same as upper case
      {"aB", "ab"},
      {"abc", "ab"},             // 'a' high, 'b' low: 0xA0 | 0x2B
      {"GZ", "23"},              // 'G' = 16 -> 0x00, 'Z' = 35 -> 0x23
      {"  ", "f0"},              // ' ' = -16: (-16 * 16) & 0xFF = 0x00 | 0xF0
      {"\x80" "0", "00"},        // top bit set: below 'A', -128 - 48
  };
  for (const Case& c : cases) {
    std::string got = DecodeHexPassword(c.text.c_str(), static_cast<uint32_t>(c.text.size()));
    EXPECT_EQ(Hex(got), c.hex) << c.text;
  }
}

}  // namespace
}  // namespace builder
