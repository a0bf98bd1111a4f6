// The profile reader against the rules of GetPrivateProfileStringA and
// GetPrivateProfileIntA, including the cases that Windows itself pins.

#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

#include "platform/system.h"
#include "tests/support/fake_system.h"
#include "tests/support/test_support.h"

namespace {

using platform::ProfileFile;

struct StringCase {
  const char* label;
  std::string file;
  const char* section;
  const char* key;
  const char* default_value;
  uint32_t size;
  std::string expected;
};

TEST(ProfileTest, GetStringFollowsWindowsRules) {
  const std::string s = "[s]\r\n";
  const StringCase cases[] = {
      // Pinned on Windows.
      {"plain", s + "name1=val1", "s", "name1", "d", 260, "val1"},
      {"key case", s + "name1=val1", "s", "NaMe1", "d", 260, "val1"},
      {"section case", s + "name1=val1", "S", "name1", "d", 260, "val1"},
      {"quotes removed", s + "name2=\"val2\"", "s", "name2", "d", 260, "val2"},
      {"cut to size-1", s + "name1=val1", "s", "name1", "d", 4, "val"},
      {"size 1", s + "name4=a", "s", "name4", "d", 1, ""},
      {"size 0", s + "name4=a", "s", "name4", "d", 0, ""},
      {"default trailing blanks", s, "s", "missing", "default  ", 260, "default"},
      {"default leading blanks stay", s, "s", "missing", "  d ", 260, "  d"},
      {"default cut", s, "s", "missing", "default", 4, "def"},
      {"CR only", "[section1]\rname1=val1\r", "section1", "name1", "d", 260, "val1"},
      {"trimmed header", "[ section1 ]\nk=v", "section1", "k", "d", 260, "v"},
      {"empty key name", s + "=value", "s", "", "d", 260, "value"},
      // Resting on Wine.
      {"inner quotes", s + "k = ' string'", "s", "k", "d", 260, " string"},
      {"mismatched quotes", s + "k=\"abc'", "s", "k", "d", 260, "\"abc'"},
      {"lone quote", s + "k=\"", "s", "k", "d", 260, "\""},
      {"doubled quotes", s + "k=''string''", "s", "k", "d", 260, "'string'"},
      {"blanks around", s + "  k  =  v w  ", "s", "k", "d", 260, "v w"},
      {"tabs and ^Z", s + "\tk\x1a=\x0bv\t\x1a", "s", "k", "d", 260, "v"},
      {"no equals", s + "name3", "s", "name3", "d", 260, "d"},
      {"empty value", s + "k=", "s", "k", "d", 260, ""},
      {"blank value", s + "k=   ", "s", "k", "d", 260, ""},
      {"split at first =", s + "a = b = c", "s", "a", "d", 260, "b = c"},
      {"comment is text", s + "pepsi=diet ;gag", "s", "pepsi", "d", 260, "diet ;gag"},
      {"; starts a key", s + ";x=1", "s", ";x", "d", 260, "1"},
      {"first duplicate key", s + "k=1\nk=2", "s", "k", "d", 260, "1"},
      {"first duplicate key, other case", s + "KEY=1\nkey=2\nKey=3", "s", "kEy", "d", 260, "1"},
      {"later valueless duplicate", s + "k=1\nk", "s", "k", "d", 260, "1"},
      {"valueless first key wins", s + "k\nk=2", "s", "k", "d", 260, "d"},
      {"duplicate section", s + "k=1\n[t]\n[S]\nk=2\nj=3", "s", "j", "d", 260, "d"},
      {"duplicate section, first key", s + "k=1\n[t]\n[S]\nk=2", "s", "k", "d", 260, "1"},
      {"section after a duplicate", s + "[S]\nk=2\n[t]\nk=3", "t", "k", "d", 260, "3"},
      {"empty section's neighbour", "[a]\n[b]\nk=v", "a", "k", "d", 260, "d"},
      {"= inside a quoted value", s + "k=\"a=b\"", "s", "k", "d", 260, "a=b"},
      {"blanks before =", s + "k \t=v", "s", "k", "d", 260, "v"},
      {"blank name before =", s + "  =v", "s", "", "d", 260, "v"},
      {"value of blanks and quotes", s + "k=  \"\"  ", "s", "k", "d", 260, ""},
      {"header to last ]", "[a]b]x\nk=v", "a]b", "k", "d", 260, "v"},
      {"[ without ] is a key", s + "[k=v", "s", "[k", "d", 260, "v"},
      {"before first header", "k=v\n[s]\n", "", "k", "d", 260, "d"},
      {"explicit empty section", "[]\nk=v", "", "k", "d", 260, "v"},
      {"query names trimmed", s + "k=v", " s\t", " k ", "d", 260, "v"},
      {"query compared whole", s + "key=v", "s", "ke", "d", 260, "d"},
      {"missing section", s + "k=v", "t", "k", "d", 260, "d"},
      {"no final newline", s + "k=last", "s", "k", "d", 260, "last"},
      {"blank lines", "\r\n\r\n[s]\r\n\r\n\r\nk=v\r\n\r\n", "s", "k", "d", 260, "v"},
      {"NUL ends the value", s + std::string("k=ab\0cd", 7), "s", "k", "d", 260, "ab"},
      {"UTF-8 mark hides header", "\xEF\xBB\xBF[s]\nk=v", "s", "k", "d", 260, "d"},
      {"UTF-8 mark, later section", "\xEF\xBB\xBF[s]\n[t]\nk=v", "t", "k", "d", 260, "v"},
      {"cp1252 case folding", "[\xC4RA]\nk=v", "\xE4ra", "k", "d", 260, "v"},
  };
  for (const StringCase& c : cases) {
    auto profile = ProfileFile::FromText(c.file);
    EXPECT_EQ(c.expected, profile->GetString(c.section, c.key, c.default_value, c.size))
        << c.label;
  }
}

TEST(ProfileTest, KeepQuotesLeavesListValuesWhole) {
  auto profile = ProfileFile::FromText("[t]\nAreas=\"C:\\a,b\",\"D:\\\"\nName=\"x\"\n");
  EXPECT_EQ("\"C:\\a,b\",\"D:\\\"", profile->GetString("t", "Areas", "", 260, true));
  EXPECT_EQ("\"x\"", profile->GetString("t", "Name", "", 260, true));
  EXPECT_EQ("x", profile->GetString("t", "Name", "", 260, false));
  // Truncation applies to the value as returned.
  EXPECT_EQ("\"x", profile->GetString("t", "Name", "", 3, true));
}

TEST(ProfileTest, GetIntParsesAsRtlUnicodeStringToInteger) {
  struct IntCase {
    std::string value;
    int32_t default_value;
    uint32_t expected;
  };
  const IntCase cases[] = {
      // Pinned on Windows.
      {"-1", 5, 4294967295u},
      {"+1", 5, 1},
      {"4294967296", 5, 0},
      {"4294967297", 5, 1},
      {"-4294967297", 5, 4294967295u},
      {"42A94967297", 5, 42},
      {"B4294967297", 5, 0},
      // Resting on Wine.
      {"0x10", 5, 16},
      {"0X10", 5, 0},
      {"0o17", 5, 15},
      {"0b101", 5, 5},
      {"0x", 5, 0},
      {"0xFfz", 5, 255},
      {"-0x1", 5, 4294967295u},
      {"\"12\"", 5, 12},
      {"'7'", 5, 7},
      {"\"\"", 5, 5},
      {"", 9, 9},
      {"  +-3", 5, 0},
      {"12 34", 5, 12},
      {"x", 5, 0},
      {"-", 5, 0},
      // The text is cut to 29 characters: the 30th digit is not read.
      {"000000000000000000000000000001", 5, 0},
      {"00000000000000000000000000001", 5, 1},
      {"2147483648", 5, 2147483648u},
  };
  for (const IntCase& c : cases) {
    auto profile = ProfileFile::FromText("[s]\r\nk=" + c.value + "\r\n");
    EXPECT_EQ(c.expected, profile->GetInt("s", "k", c.default_value)) << c.value;
  }
  auto profile = ProfileFile::FromText("[s]\r\n");
  EXPECT_EQ(4294967295u, profile->GetInt("s", "missing", -1));
  EXPECT_EQ(4294967295u, profile->GetInt("nosection", "k", -1));
}

TEST(ProfileTest, Utf16LittleEndianFileIsConvertedToAnsi) {
  // "[s]\r\nk=\u00e9t\u00e9\r\nw=\u4e2d" in UTF-16LE with its mark: the
  // accented letters exist in 1252, the CJK one becomes '?'.
  std::u16string text = u"[s]\r\nk=\u00e9t\u00e9\r\nw=\u4e2d";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  bytes.push_back('\x41');  // an odd trailing byte is dropped
  auto profile = ProfileFile::FromText(bytes);
  EXPECT_EQ("\xE9t\xE9", profile->GetString("s", "k", "", 260));
  EXPECT_EQ("?", profile->GetString("s", "w", "", 260));
}

TEST(ProfileTest, LoadReadsBareNamesFromTheWindowsDirectoryOnly) {
  testing_support::TempDir windows;
  testing_support::TempDir current;
  testing_support::WriteWholeFile(windows.File("W.INI"), "[s]\nk=windows\n");
  testing_support::WriteWholeFile(current.File("C.INI"), "[s]\nk=current\n");
  testing_support::FakeSystem system(platform::Environment{{"WINDIR", windows.path()}});
  testing_support::ScopedSystem scoped(&system);
  std::string saved_cwd = platform::CurrentDirectory();
  ASSERT_EQ(0, ::chdir(current.path().c_str()));

  bool found = false;
  EXPECT_EQ("windows", ProfileFile::Load("W.INI", &found)->GetString("s", "k", "d"));
  EXPECT_TRUE(found);
  // A bare name present only in the current folder is not read.
  EXPECT_EQ("d", ProfileFile::Load("C.INI", &found)->GetString("s", "k", "d"));
  EXPECT_FALSE(found);
  // With a folder part it is read relative to the current folder.
  EXPECT_EQ("current", ProfileFile::Load("./C.INI", &found)->GetString("s", "k", "d"));
  EXPECT_TRUE(found);
  EXPECT_EQ("d", ProfileFile::Load("", &found)->GetString("s", "k", "d"));
  EXPECT_FALSE(found);
  // A folder is not a readable file.
  EXPECT_EQ("d", ProfileFile::Load(current.path(), &found)->GetString("s", "k", "d"));
  EXPECT_FALSE(found);

  ASSERT_EQ(0, ::chdir(saved_cwd.c_str()));
}

TEST(ProfileTest, HostileInputIsParsedWithoutHarm) {
  std::string huge_line(4 << 20, 'x');
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
  const std::string files[] = {
      "[s]\nk=" + huge_line,
      "[" + huge_line,
      std::string(1 << 20, '\n'),
      std::string(1 << 20, '['),
      std::string(1 << 20, '='),
      std::string("[s]\0k=v\0\n", 9),
      garbage,
      "\xFF\xFE",
      "\xFF",
  };
  for (const std::string& file : files) {
    auto profile = ProfileFile::FromText(file);
    EXPECT_LE(profile->GetString("s", "k", "d", 260).size(), 259u);
    profile->GetInt("s", "k", 0);
  }
  auto profile = ProfileFile::FromText("[s]\nk=" + huge_line);
  EXPECT_EQ(std::string(259, 'x'), profile->GetString("s", "k", "d", 260));
  EXPECT_EQ(huge_line, profile->GetString("s", "k", "d", (4 << 20) + 1));
}

TEST(ProfileTest, ManySectionsAreEachFound) {
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    text += "[Task" + std::to_string(i) + "]\r\nName=task " + std::to_string(i) + "\r\n";
  }
  auto profile = ProfileFile::FromText(text);
  for (int i = 0; i < 10000; i += 997) {
    EXPECT_EQ("task " + std::to_string(i),
              profile->GetString("TASK" + std::to_string(i), "name", "", 260));
  }
}

TEST(ProfileTest, LookupsInAnyOrderGiveTheSameAnswers) {
  // One reader asked in turn for sections present and missing, under other
  // spellings of the same name, as the builder asks key after key.
  auto profile = ProfileFile::FromText("[a]\nk=1\nj=3\n[b]\nk=2\n[\xC4]\nk=4\n");
  const struct {
    const char* section;
    const char* key;
    const char* expected;
  } lookups[] = {
      {"a", "k", "1"},  {"a", "j", "3"},    {"b", "k", "2"},  {"b", "j", "d"},
      {"c", "k", "d"},  {"a", "k", "1"},    {" A ", "J", "3"}, {"c", "k", "d"},
      {"\xE4", "k", "4"}, {"\xC4 ", "K", "4"}, {"", "k", "d"},   {"B", "k", "2"},
  };
  for (const auto& l : lookups) {
    EXPECT_EQ(l.expected, profile->GetString(l.section, l.key, "d", 260))
        << l.section << "/" << l.key;
  }
}

TEST(ProfileTest, ManyKeysInOneSectionKeepTheFirstOfEachName) {
  // Keys in no order, each name given twice (the second time in other case
  // and with another value), and sections of the same name further on: every
  // name gives the value of its first line, in the first section only.
  std::string text = "[Big]\r\n";
  const int kKeys = 5000;
  for (int i = 0; i < kKeys; ++i) {
    int n = (i * 7919) % kKeys;
    text += "Key" + std::to_string(n) + " = first " + std::to_string(n) + "\r\n";
  }
  for (int i = 0; i < kKeys; ++i) text += "KEY" + std::to_string(i) + "=second\r\n";
  text += "[Other]\r\nKey1=other\r\n[big]\r\nlate=x\r\n";
  auto profile = ProfileFile::FromText(text);
  for (int i = 0; i < kKeys; i += 7) {
    EXPECT_EQ("first " + std::to_string(i),
              profile->GetString("big", "key" + std::to_string(i), "d", 260));
  }
  EXPECT_EQ("d", profile->GetString("Big", "late", "d", 260));
  EXPECT_EQ("d", profile->GetString("Big", "Key" + std::to_string(kKeys), "d", 260));
  EXPECT_EQ("other", profile->GetString("other", "key1", "d", 260));
}

}  // namespace

namespace {

// The listing calls the builder's review of an INI text stands on.
TEST(ProfileTest, SectionsKeysAndPlacesAreListedInFileOrder) {
  const std::string text = "k0=x\r\n[ b ]\r\nz=1\r\na = 2\r\nnovalue\r\n[A]\r\nq=\xC3\xBC\r\n[b]\r\ny=3\r\n";
  auto profile = ProfileFile::FromText(text);
  EXPECT_EQ(profile->Text(), text);
  EXPECT_EQ(profile->SectionNames(), (std::vector<std::string>{"b", "A", "b"}));
  // The first section of a name, its key lines in file order.
  EXPECT_EQ(profile->KeyNames("B"), (std::vector<std::string>{"z", "a", "novalue"}));
  EXPECT_EQ(profile->KeyNames("a"), (std::vector<std::string>{"q"}));
  EXPECT_TRUE(profile->KeyNames("none").empty());
  struct Case {
    std::string at;  // the text from the place on
    const char* section;
    const char* key;
  } cases[] = {{"k0=x", "", ""}, {"b ]", "b", ""}, {"2\r\n", "b", "a"},
               {"novalue", "b", "novalue"}, {"\xC3\xBC", "A", "q"}, {"y=3", "b", "y"}};
  for (const Case& c : cases) {
    std::string section = "?", key = "?";
    profile->Locate(text.find(c.at), &section, &key);
    EXPECT_EQ(section, c.section) << c.at;
    EXPECT_EQ(key, c.key) << c.at;
  }
}

}  // namespace
