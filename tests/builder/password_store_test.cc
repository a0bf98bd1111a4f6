// Password scrambling, hexadecimal decoding and the password streams.

#include "builder/password_store.h"

#include <gtest/gtest.h>

#include <string>

#include "builder/config_layout.h"
#include "platform/storage.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::Hex;
using testing_support::Le32;
using testing_support::OlefileDump;
using testing_support::TempDir;

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

// The "F path size hex" line of a dump, or "" when the stream is missing.
std::string StreamLine(const std::string& dump, const std::string& path) {
  std::string prefix = "F " + path + " ";
  size_t at = ("\n" + dump).find("\n" + prefix);
  if (at == std::string::npos) return "";
  return dump.substr(at, dump.find('\n', at) - at);
}

class StorePasswordTest : public ::testing::Test {
 protected:
  void SetUp() override { ConfigPath = dir_.File("TORVI32.CNF"); }
  std::string Stored(const std::string& stream) {
    return StreamLine(OlefileDump(ConfigPath), "_Zarin_/" + stream);
  }
  static std::string Line(const std::string& stream, const std::string& bytes) {
    return "F _Zarin_/" + stream + " " + std::to_string(bytes.size()) + " " + Hex(bytes);
  }
  TempDir dir_;
};

TEST_F(StorePasswordTest, PlainAndHexValues) {
  struct Case {
    std::string value;
    bool hex;
    std::string stored;  // after the count
  };
  const Case cases[] = {
      {"abcd", false, "abcd"},  // 4 bytes are stored as typed
      {"abcde", false, "\x77\x3e\x18\x33" "e"},
      {"0AF1", true, "\x0a\xf1"},
      {"0af1", true, "\x2a\xf1"},
      {"0AF", true, "\x0a"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(StorePassword("cc012", c.value, c.hex)) << c.value;
    // Each value is shorter than or as long as the one before, so the
    // count tells the reader where the value ends; compare that part.
    std::string line = Stored("cc012");
    std::string expected = Le32(static_cast<uint32_t>(c.stored.size())) + c.stored;
    EXPECT_EQ(line.substr(line.rfind(' ') + 1, 2 * expected.size()), Hex(expected)) << c.value;
  }
}

TEST_F(StorePasswordTest, CreatesTheSkeletonAndKeepsAnOldTail) {
  ASSERT_TRUE(StorePassword("ro012", "0123456789abcdef", false));
  std::string dump = OlefileDump(ConfigPath);
  EXPECT_NE(dump.find("F _Version_ 4 68020000"), std::string::npos) << dump;
  std::string long_value = "0123456789abcdef";
  ScramblePassword(reinterpret_cast<uint8_t*>(long_value.data()), 16);
  EXPECT_EQ(Stored("ro012"), Line("ro012", Le32(16) + long_value));

  ASSERT_TRUE(StorePassword("ro012", "secret", false));
  std::string short_value = "secret";
  ScramblePassword(reinterpret_cast<uint8_t*>(short_value.data()), 6);
  EXPECT_EQ(Stored("ro012"), Line("ro012", Le32(6) + short_value + long_value.substr(6)));
  EXPECT_EQ(Stored("cc012"), "");
}

TEST_F(StorePasswordTest, AnyVersionButOnlyWithZarin) {
  {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(platform::CreateStorageFile(ConfigPath, platform::kStorageMode, &root), S_OK);
    std::unique_ptr<platform::Stream> version;
    ASSERT_EQ(root->CreateStream(platform::AnsiToWide("_Version_"), platform::kStorageMode,
                                 &version),
              S_OK);
    uint32_t written;
    version->Write(Le32(615).data(), 4, &written);
  }
  EXPECT_FALSE(StorePassword("cc012", "secret", false));
  EXPECT_EQ(OlefileDump(ConfigPath), "F _Version_ 4 67020000\n");
  {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(platform::OpenStorageFile(ConfigPath, platform::kStorageMode, &root), S_OK);
    std::unique_ptr<platform::Storage> zarin;
    ASSERT_EQ(root->CreateStorage(platform::AnsiToWide("_Zarin_"), platform::kStorageMode,
                                  &zarin),
              S_OK);
  }
  EXPECT_TRUE(StorePassword("cc012", "abcd", false));
  EXPECT_EQ(Stored("cc012"), Line("cc012", Le32(4) + "abcd"));
}

TEST_F(StorePasswordTest, UnopenableFileStoresNothing) {
  testing_support::WriteWholeFile(ConfigPath, "not a compound file");
  EXPECT_FALSE(StorePassword("cc012", "secret", false));
  EXPECT_EQ(testing_support::ReadWholeFile(ConfigPath), "not a compound file");
  ConfigPath = dir_.File("missing/folder/TORVI32.CNF");
  EXPECT_FALSE(StorePassword("cc012", "secret", false));
}

}  // namespace
}  // namespace builder
