// ANSI text conversion and case-insensitive comparison. The code page is
// read once per process, so other code pages are checked by running this
// test program again with $TORVI32_ACP set.

#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/json.h"
#include "platform/system.h"
#include "tests/support/test_support.h"

namespace {

using platform::AnsiToWide;
using platform::EqualNoCaseAnsi;
using platform::UpperCaseChar;
using platform::WideToAnsi;

bool CodePageIs(const char* number) {
  const char* acp = std::getenv("TORVI32_ACP");
  return std::string(acp != nullptr ? acp : "") == number;
}

TEST(TextTest, Cp1252IsTheDefaultAndEveryByteRoundTrips) {
  if (std::getenv("TORVI32_ACP") != nullptr) GTEST_SKIP() << "another code page is selected";
  EXPECT_EQ(u"\u20ac", AnsiToWide("\x80"));
  EXPECT_EQ(u"\u0081", AnsiToWide("\x81"));  // no character: kept as U+0081
  EXPECT_EQ(u"\u0160\u00e9\u0178", AnsiToWide("\x8A\xE9\x9F"));
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(all, WideToAnsi(AnsiToWide(all)));
  EXPECT_EQ(std::string("a\0b", 3), WideToAnsi(AnsiToWide(std::string("a\0b", 3))));
  // Without a mapping: '?' per UTF-16 unit.
  EXPECT_EQ("a?b??", WideToAnsi(u"a\u4e2db\U0001F600"));
  EXPECT_EQ("?", WideToAnsi(u"\xD800"));
}

TEST(TextTest, EqualNoCaseAnsiFoldsSimpleUpperCase) {
  if (std::getenv("TORVI32_ACP") != nullptr) GTEST_SKIP() << "another code page is selected";
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"Task0001", "TASK0001", true},
      {"_common_", "_Common_", true},
      {"abc", "abd", false},
      {"abc", "ab", false},
      {"a b", "a_b", false},
      {"@[`{", "@[`{", true},
      {"@", "`", false},  // 0x40 and 0x60 are not a case pair
      {"\xE9t\xE9", "\xC9T\xC9", true},  // été
      {"\xFF", "\x9F", true},            // ÿ Ÿ
      {"\x9A\x9C", "\x8A\x8C", true},    // šœ ŠŒ
      {"\xF7", "\xD7", false},           // ÷ ×
      {"\xDF", "SS", false},             // ß has no simple upper case
      {"\xB5", "\xB5", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.equal, EqualNoCaseAnsi(c.a, c.b)) << c.a << " / " << c.b;
    EXPECT_EQ(c.equal, EqualNoCaseAnsi(c.b, c.a)) << c.b << " / " << c.a;
  }
}

TEST(TextTest, UpperCaseCharIsUnicodesSimpleUpperCase) {
  const std::pair<char16_t, char16_t> pairs[] = {
      {u'a', u'A'},           {u'z', u'Z'},           {u'A', u'A'},
      {u'\u00e0', u'\u00c0'}, {u'\u00fe', u'\u00de'}, {u'\u00f7', u'\u00f7'},
      {u'\u00ff', u'\u0178'}, {u'\u0101', u'\u0100'}, {u'\u0100', u'\u0100'},
      {u'\u013a', u'\u0139'}, {u'\u0148', u'\u0147'}, {u'\u0149', u'\u0149'},
      {u'\u017e', u'\u017d'}, {u'\u0131', u'I'},      {u'\u017f', u'S'},
      {u'\u03b1', u'\u0391'}, {u'\u03c2', u'\u03a3'}, {u'\u03c3', u'\u03a3'},
      {u'\u03ac', u'\u0386'}, {u'\u03af', u'\u038a'}, {u'\u03ce', u'\u038f'},
      {u'\u0430', u'\u0410'}, {u'\u044f', u'\u042f'}, {u'\u0451', u'\u0401'},
      {u'\u045f', u'\u040f'}, {u'\u0491', u'\u0490'}, {u'\u04cf', u'\u04c0'},
      {u'\u04c2', u'\u04c1'}, {u'\u0561', u'\u0531'}, {u'\u1e01', u'\u1e00'},
      {u'\uff41', u'\uff21'}, {u'\u4e2d', u'\u4e2d'}, {u'\u00b5', u'\u039c'},
      // Title case and other units that tables of letter pairs miss.
      {u'\u01c5', u'\u01c4'}, {u'\u01c6', u'\u01c4'}, {u'\u03d0', u'\u0392'},
      {u'\u0345', u'\u0399'}, {u'\u1e9b', u'\u1e60'}, {u'\u1f80', u'\u1f88'},
      {u'\u2c65', u'\u023a'}, {u'\ua794', u'\ua7c4'}, {u'\uab70', u'\u13a0'},
      // No simple upper case (only a special one) or none in the BMP.
      {u'\u00df', u'\u00df'}, {u'\u0149', u'\u0149'}, {u'\u1f88', u'\u1f88'},
      {char16_t{0xd801}, char16_t{0xd801}}, {char16_t{0xdc28}, char16_t{0xdc28}},
  };
  for (const auto& [lower, upper] : pairs) {
    EXPECT_EQ(static_cast<int>(upper), static_cast<int>(UpperCaseChar(lower)))
        << std::hex << static_cast<int>(lower);
  }
}

// The whole table against UnicodeData.txt (Debian's unicode-data): every
// BMP unit with a simple upper case in the BMP maps to it, every other unit
// to itself. CI installs the file, so there its absence is a failure.
TEST(TextTest, UpperCaseTableMatchesUnicodeData) {
  const char* path = "/usr/share/unicode/UnicodeData.txt";
  std::ifstream data(path);
  if (!data) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << path << " is missing";
    GTEST_SKIP() << path << " is missing (package unicode-data)";
  }
  std::vector<char16_t> expected(0x10000);
  for (uint32_t c = 0; c < 0x10000; ++c) expected[c] = static_cast<char16_t>(c);
  std::string line;
  size_t mapped = 0;
  while (std::getline(data, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
    if (fields.size() < 13 || fields[12].empty()) continue;
    unsigned long code = std::stoul(fields[0], nullptr, 16);
    unsigned long upper = std::stoul(fields[12], nullptr, 16);
    if (code > 0xFFFF || upper > 0xFFFF) continue;
    expected[code] = static_cast<char16_t>(upper);
    ++mapped;
  }
  EXPECT_GT(mapped, 1000u);
  int wrong = 0;
  for (uint32_t c = 0; c < 0x10000 && wrong < 20; ++c) {
    char16_t got = UpperCaseChar(static_cast<char16_t>(c));
    if (got != expected[c]) {
      ++wrong;
      ADD_FAILURE() << std::hex << "U+" << c << " maps to U+" << static_cast<int>(got)
                    << ", UnicodeData.txt says U+" << static_cast<int>(expected[c]);
    }
  }
}

// Disabled tests run only in a child with $TORVI32_ACP set, started by
// OtherCodePagesAreSelectedByEnvironment.
// What counts as UTF-8 and as ANSI text: the test behind the builder's
// warning about INI files saved as UTF-8 (code page 1252 here).
TEST(TextTest, Utf8AndAnsiText) {
  struct Case {
    const char* what;
    std::string text;
    bool utf8;  // IsUtf8BeyondAscii
    bool ansi;  // IsAnsiText
  } cases[] = {
      {"ASCII", "Name=Daily", false, true},
      {"1252 letters", "Pr\xFC" "fung \xE9t\xE9", false, true},
      {"UTF-8 two bytes", "Pr\xC3\xBC" "fung", true, false},
      {"UTF-8 three bytes", "\xE2\x82\xAC", true, false},
      {"UTF-8 four bytes", "\xF0\x9F\x98\x80", true, false},
      {"a stray continuation byte", "a\x80", false, true},
      {"an overlong form", "\xC0\xAF", false, true},
      {"an overlong three-byte form", "\xE0\x80\xAF", false, true},
      {"a surrogate", "\xED\xA0\x80", false, true},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", false, false},
      {"cut short", "\xC3", false, true},
      {"a byte without a character in 1252", "\x81", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::IsUtf8BeyondAscii(c.text), c.utf8) << c.what;
    EXPECT_EQ(platform::IsAnsiText(c.text), c.ansi) << c.what;
  }
  EXPECT_EQ(platform::AnsiCodePage(), 1252u);
  EXPECT_FALSE(platform::AnsiCodePageIsDoubleByte());
}

// JSON strings stay valid JSON whatever bytes a name or path holds.
TEST(TextTest, JsonStringsAreAlwaysValid) {
  struct Case {
    const char* what;
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "C:\\DATA\\", "\"C:\\\\DATA\\\\\""},
      {"a quote and controls", "a\"b\n\x1B\x7F", "\"a\\\"b\\u000A\\u001B\\u007F\""},
      {"UTF-8 kept", "Pr\xC3\xBC" "fung \xF0\x9F\x98\x80", "\"Pr\xC3\xBC" "fung \xF0\x9F\x98\x80\""},
      {"a stray byte", "a\x80" "b", "\"a\xEF\xBF\xBD" "b\""},
      {"cut short", "\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::JsonString(c.text), c.json) << c.what;
  std::string name;
  platform::AppendJsonName(u"x\xD800y\U0001F600", &name);
  EXPECT_EQ(name, "\"x\\uD800y\xF0\x9F\x98\x80\"");
  // A POSIX path is shown as UTF-8; bytes that are not become U+FFFD.
  EXPECT_EQ(platform::PathToUtf8("/srv/\xC3\xA9t\xE9"), "/srv/\xC3\xA9t\xEF\xBF\xBD");
  EXPECT_EQ(platform::WideToUtf8(u"\xE9\xDC00"), "\xC3\xA9\xEF\xBF\xBD");
}

TEST(TextTest, DISABLED_Cp1251WhenSelected) {
  ASSERT_TRUE(CodePageIs("1251")) << "run with TORVI32_ACP=1251";
  EXPECT_EQ(u"\u0416\u0436", AnsiToWide("\xC6\xE6"));
  EXPECT_EQ("\xC6\xE6", WideToAnsi(u"\u0416\u0436"));
  EXPECT_TRUE(EqualNoCaseAnsi("\xE7\xE0\xE4\xE0\xF7\xE0", "\xC7\xC0\xC4\xC0\xD7\xC0"));
  EXPECT_EQ("?", WideToAnsi(u"\u00e9"));
  EXPECT_FALSE(platform::IsAnsiLeadByte(0xC6));
}

TEST(TextTest, DISABLED_Cp1253WhenSelected) {
  ASSERT_TRUE(CodePageIs("1253")) << "run with TORVI32_ACP=1253";
  EXPECT_EQ(u"\u00b5\u039c", AnsiToWide("\xB5\xCC"));
  // The micro sign's upper case is capital mu (a table of Greek letters
  // alone leaves it apart).
  EXPECT_TRUE(EqualNoCaseAnsi("\xB5", "\xCC"));
  EXPECT_TRUE(EqualNoCaseAnsi("\xF2\xDC", "\xD3\xA2"));  // final sigma, alpha with tonos
  EXPECT_EQ(platform::FoldedWide("\xB5"), platform::FoldedWide("\xEC"));
}

TEST(TextTest, DISABLED_Cp932WhenSelected) {
  ASSERT_TRUE(CodePageIs("932")) << "run with TORVI32_ACP=932";
  EXPECT_EQ(u"\u65e5\u672c", AnsiToWide("\x93\xFA\x96\x7B"));
  EXPECT_EQ("\x93\xFA\x96\x7B", WideToAnsi(u"\u65e5\u672c"));
  EXPECT_EQ(u"\uff71", AnsiToWide("\xB1"));  // half-width katakana: one byte
  EXPECT_TRUE(platform::IsAnsiLeadByte(0x93));
  EXPECT_FALSE(platform::IsAnsiLeadByte(0xB1));
  EXPECT_FALSE(platform::IsAnsiLeadByte('A'));
  // Fullwidth a and A; the trail bytes 0x81 and 0x60 differ.
  EXPECT_TRUE(EqualNoCaseAnsi("\x82\x81", "\x82\x60"));
  // A lead byte at the end, or with an invalid trail byte, is not lost silently.
  EXPECT_EQ(u"a\ufffd", AnsiToWide("a\x93"));
  EXPECT_EQ("?", WideToAnsi(u"\u00e9"));
  // Double-byte text is ANSI text even where it is valid UTF-8 too; text
  // with an invalid pair is not.
  EXPECT_TRUE(platform::AnsiCodePageIsDoubleByte());
  EXPECT_EQ(platform::AnsiCodePage(), 932u);
  EXPECT_TRUE(platform::IsAnsiText("\x93\xFA\x96\x7B"));
  EXPECT_TRUE(platform::IsAnsiText("\xC3\xBC"));  // two half-width katakana
  EXPECT_FALSE(platform::IsAnsiText("a\x93"));  // a lead byte without its trail
}

TEST(TextTest, DISABLED_UnknownCodePageFallsBackTo1252) {
  ASSERT_TRUE(CodePageIs("77777")) << "run with TORVI32_ACP=77777";
  EXPECT_EQ(u"\u20ac", AnsiToWide("\x80"));
}

TEST(TextTest, OtherCodePagesAreSelectedByEnvironment) {
  if (std::getenv("TORVI32_ACP") != nullptr) GTEST_SKIP() << "already a child";
  const std::string unknown = "the code page $TORVI32_ACP=77777 is not known here; using 1252";
  const struct {
    const char* code_page;
    const char* test;
    std::string says;  // the line said on stderr; "" for none
  } runs[] = {
      {"1251", "TextTest.DISABLED_Cp1251WhenSelected", ""},
      {"1253", "TextTest.DISABLED_Cp1253WhenSelected", ""},
      {"932", "TextTest.DISABLED_Cp932WhenSelected", ""},
      {"77777", "TextTest.DISABLED_UnknownCodePageFallsBackTo1252", unknown},
  };
  std::string self = platform::JoinPath(platform::ProgramFolder(), "platform_tests");
  for (const auto& [code_page, test, says] : runs) {
    testing_support::RunResult result =
        testing_support::Run({self, "--gtest_also_run_disabled_tests", std::string("--gtest_filter=") + test}, "",
                             {{"TORVI32_ACP", code_page}});
    EXPECT_EQ(0, result.exit_status) << code_page << "\n" << result.out << result.err;
    EXPECT_NE(std::string::npos, result.out.find("[  PASSED  ] 1 test")) << result.out;
    EXPECT_EQ(std::string::npos, result.out.find("SKIPPED")) << result.out;
    if (says.empty()) {
      EXPECT_EQ(std::string::npos, result.err.find("is not known here")) << result.err;
    } else {
      EXPECT_NE(std::string::npos, result.err.find(": " + says + "\n")) << result.err;
    }
  }
}

}  // namespace
