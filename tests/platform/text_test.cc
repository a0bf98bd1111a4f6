// ANSI text conversion and case-insensitive comparison. The code page is
// read once per process, so other code pages are checked by running this
// test program again with $TORVI32_ACP set.

#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

TEST(TextTest, UpperCaseCharCoversTheEuropeanScripts) {
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
      {u'\uff41', u'\uff21'}, {u'\u4e2d', u'\u4e2d'}, {u'\u00b5', u'\u00b5'},
  };
  for (const auto& [lower, upper] : pairs) {
    EXPECT_EQ(static_cast<int>(upper), static_cast<int>(UpperCaseChar(lower)))
        << std::hex << static_cast<int>(lower);
  }
}

// Disabled tests run only in a child with $TORVI32_ACP set, started by
// OtherCodePagesAreSelectedByEnvironment.
TEST(TextTest, DISABLED_Cp1251WhenSelected) {
  ASSERT_TRUE(CodePageIs("1251")) << "run with TORVI32_ACP=1251";
  EXPECT_EQ(u"\u0416\u0436", AnsiToWide("\xC6\xE6"));
  EXPECT_EQ("\xC6\xE6", WideToAnsi(u"\u0416\u0436"));
  EXPECT_TRUE(EqualNoCaseAnsi("\xE7\xE0\xE4\xE0\xF7\xE0", "\xC7\xC0\xC4\xC0\xD7\xC0"));
  EXPECT_EQ("?", WideToAnsi(u"\u00e9"));
  EXPECT_FALSE(platform::IsAnsiLeadByte(0xC6));
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
}

TEST(TextTest, DISABLED_UnknownCodePageFallsBackTo1252) {
  ASSERT_TRUE(CodePageIs("77777")) << "run with TORVI32_ACP=77777";
  EXPECT_EQ(u"\u20ac", AnsiToWide("\x80"));
}

TEST(TextTest, OtherCodePagesAreSelectedByEnvironment) {
  if (std::getenv("TORVI32_ACP") != nullptr) GTEST_SKIP() << "already a child";
  const std::pair<const char*, const char*> runs[] = {
      {"1251", "TextTest.DISABLED_Cp1251WhenSelected"},
      {"932", "TextTest.DISABLED_Cp932WhenSelected"},
      {"77777", "TextTest.DISABLED_UnknownCodePageFallsBackTo1252"},
  };
  std::string self = platform::JoinPath(platform::ProgramFolder(), "platform_tests");
  for (const auto& [code_page, test] : runs) {
    testing_support::RunResult result =
        testing_support::Run({self, "--gtest_also_run_disabled_tests", std::string("--gtest_filter=") + test}, "",
                             {{"TORVI32_ACP", code_page}});
    EXPECT_EQ(0, result.exit_status) << code_page << "\n" << result.out << result.err;
    EXPECT_NE(std::string::npos, result.out.find("[  PASSED  ] 1 test")) << result.out;
    EXPECT_EQ(std::string::npos, result.out.find("SKIPPED")) << result.out;
  }
}

}  // namespace
