// Text conversions of the Windows build, run under Wine with code page 1252.
#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/hresult.h"

namespace platform {
namespace {

TEST(TextWindows, ConversionsInCodePage1252) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, have " << GetACP();
  struct Case {
    std::string ansi;
    std::u16string wide;
  };
  const Case cases[] = {
      {"", u""},
      {"_Version_", u"_Version_"},
      {"Pr\xFC" "fung", u"Pr\u00FCfung"},
      {"\x80 \x9F", u"\u20AC \u0178"},  // the 0x80-0x9F block of 1252
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.wide, AnsiToWide(c.ansi));
    EXPECT_EQ(c.ansi, WideToAnsi(c.wide));
  }
  // Characters without a mapping become '?'.
  EXPECT_EQ("a?b", WideToAnsi(u"a\u4E2Db"));
}

TEST(TextWindows, EqualNoCase) {
  EXPECT_TRUE(EqualNoCaseAnsi("Task", "TASK"));
  EXPECT_TRUE(EqualNoCaseAnsi("", ""));
  EXPECT_FALSE(EqualNoCaseAnsi("Task", "Tasks"));
  EXPECT_FALSE(EqualNoCaseAnsi("Task", ""));
  if (GetACP() == 1252) {
    EXPECT_TRUE(EqualNoCaseAnsi("\xE9t\xE9", "\xC9T\xC9"));  // été
  }
}

}  // namespace
}  // namespace platform
