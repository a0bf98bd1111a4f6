// The project's profile reader against Wine's own GetPrivateProfileStringA
// and GetPrivateProfileIntA on the same files. Every query of the tables
// below must give the same text and number from both; where they differ on
// purpose, the case sits in a table of its own with the reason.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hresult.h"  // windows.h
#include "tests/windows/backend/windows_test_support.h"

namespace platform {
namespace {

using windows_testing::RunningUnderWine;
using windows_testing::TempFolder;
using windows_testing::WriteWholeFile;

// The lines of the shared fixture, joined with CR LF.
const char* const kFixtureLines[] = {
    "before=unreachable",
    "[s]",
    "name1=val1",
    "name2=\"val2\"",
    "name4=a",
    "q1 = ' string'",
    "q2=\"abc'",
    "q3=''string''",
    "q4=\"\"",
    "q5=\"",
    "  k  =  v w  ",
    "name3",
    "empty=",
    "blanks=   ",
    "a = b = c",
    ";x=1",
    "#y=2",
    "pepsi=diet ;gag",
    "dup=first",
    "DUP=second",
    "tab\t=\tvalue\t",
    "[noclose",
    "=emptykey",
    "fits=\"12345678\"",
    "[ section1 ] trailing text",
    "name1=val1 of section1",
    "[s]",
    "later=only in the second [s]",
    "[]",
    "emptysec=yes",
    "[i]",
    "minus1=-1",
    "plus1=+1",
    "big1=4294967296",
    "big2=4294967297",
    "big3=-4294967297",
    "mixed=42A94967297",
    "letter=B4294967297",
    "hex=0x10",
    "HEX=0X10",
    "oct=0o17",
    "bin=0b101",
    "blank= 12 ",
    "quoted=\"77\"",
    "emptyq=\"\"",
    "empty=",
    "long=123456789012345678901234567890123",
    "[long]",
};

std::string Fixture() {
  std::string text;
  for (const char* line : kFixtureLines) text += std::string(line) + "\r\n";
  // A value of 300 characters, longer than any buffer below.
  text += "v300=" + std::string(300, 'x') + "\r\n";
  return text;
}

struct StringQuery {
  const char* section;
  const char* key;
  const char* default_value;
  uint32_t size;
};

std::string WindowsString(const std::string& path, const StringQuery& q, DWORD* length) {
  std::vector<char> buffer(q.size + 1, '\x7F');
  *length = GetPrivateProfileStringA(q.section, q.key, q.default_value, buffer.data(), q.size,
                                     path.c_str());
  return q.size == 0 ? std::string() : std::string(buffer.data());
}

const StringQuery kStringQueries[] = {
    {"s", "name1", "def", 260},      {"S", "NaMe1", "def", 260},
    {"s", "name2", "def", 260},      {"s", "name1", "def", 4},
    {"s", "name4", "def", 1},        {"s", "missing", "default  ", 260},
    {"s", "missing", "  lead", 260}, {"s", "q1", "def", 260},
    {"s", "q2", "def", 260},         {"s", "q3", "def", 260},
    {"s", "q4", "def", 260},         {"s", "q5", "def", 260},
    {"s", "k", "def", 260},          {"s", " k ", "def", 260},
    {"s", "name3", "def", 260},      {"s", "empty", "def", 260},
    {"s", "blanks", "def", 260},     {"s", "a", "def", 260},
    {"s", ";x", "def", 260},         {"s", "#y", "def", 260},
    {"s", "pepsi", "def", 260},      {"s", "dup", "def", 260},
    {"s", "tab", "def", 260},        {"s", "later", "def", 260},
    {"s", "before", "def", 260},
    {"s", "[noclose", "def", 260},   {"s", "", "def", 260},
    {"section1", "name1", "def", 260}, {" section1 ", "name1", "def", 260},
    {"nosuch", "name1", "def", 260},
    {"s", "v300", "def", 260},       {"s", "v300", "def", 100},
    {"s", "fits", "def", 10},        {"s", "fits", "def", 20},
    {"long", "v300", "def", 260},
};

TEST(ProfileWindows, StringsAgreeWithGetPrivateProfileStringA) {
  TempFolder dir;
  const std::string path = dir.File("fixture.ini");
  WriteWholeFile(path, Fixture());
  std::unique_ptr<ProfileFile> profile = ProfileFile::Load(path, nullptr);
  for (const StringQuery& q : kStringQueries) {
    DWORD length = 0;
    std::string expected = WindowsString(path, q, &length);
    std::string got = profile->GetString(q.section, q.key, q.default_value, q.size);
    EXPECT_EQ(expected, got) << "[" << q.section << "] " << q.key << " size " << q.size;
    EXPECT_EQ(length, got.size()) << "[" << q.section << "] " << q.key;
  }
}

TEST(ProfileWindows, NumbersAgreeWithGetPrivateProfileIntA) {
  TempFolder dir;
  const std::string path = dir.File("fixture.ini");
  WriteWholeFile(path, Fixture());
  std::unique_ptr<ProfileFile> profile = ProfileFile::Load(path, nullptr);
  const char* keys[] = {"minus1", "plus1", "big1",  "big2",  "big3",   "mixed",  "letter",
                        "hex",    "HEX",   "oct",   "bin",   "blank",  "quoted", "emptyq",
                        "empty",  "long",  "missing"};
  for (const char* key : keys) {
    for (int32_t default_value : {-1, 0, 7}) {
      UINT expected = GetPrivateProfileIntA("i", key, default_value, path.c_str());
      EXPECT_EQ(expected, profile->GetInt("i", key, default_value))
          << key << " default " << default_value;
    }
  }
  EXPECT_EQ(GetPrivateProfileIntA("s", "name1", 5, path.c_str()),
            profile->GetInt("s", "name1", 5));  // a text that is no number
}

TEST(ProfileWindows, LineEndsAndFilesAgree) {
  TempFolder dir;
  struct FileCase {
    const char* what;
    std::string bytes;
  };
  const FileCase files[] = {
      {"CR only", "[s]\rname1=val1\rk=v\r"},
      {"LF only", "[s]\nname1=val1\nk=v\n"},
      {"no final line end", "[s]\r\nname1=val1\r\nk=v"},
      {"empty file", ""},
      {"UTF-16LE with its mark", std::string("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0v\0", 20)},
  };
  for (const FileCase& f : files) {
    std::string path = dir.File(std::string("f") + std::to_string(&f - files) + ".ini");
    WriteWholeFile(path, f.bytes);
    std::unique_ptr<ProfileFile> profile = ProfileFile::Load(path, nullptr);
    for (const char* key : {"name1", "k", "missing"}) {
      char buffer[64];
      GetPrivateProfileStringA("s", key, "def", buffer, sizeof(buffer), path.c_str());
      EXPECT_EQ(buffer, profile->GetString("s", key, "def")) << f.what << ": " << key;
    }
  }

  // A missing file, and the name "" itself.
  bool found = true;
  std::unique_ptr<ProfileFile> missing = ProfileFile::Load(dir.File("none.ini"), &found);
  EXPECT_FALSE(found);
  char buffer[64];
  GetPrivateProfileStringA("s", "k", "def", buffer, sizeof(buffer),
                           dir.File("none.ini").c_str());
  EXPECT_EQ(buffer, missing->GetString("s", "k", "def"));
}

// A bare file name is read from the Windows directory and never from the
// current one; a name with a folder part is relative to the current folder.
TEST(ProfileWindows, BareNamesComeFromTheWindowsDirectory) {
  TempFolder dir;
  char windows[MAX_PATH + 1] = {0};
  GetWindowsDirectoryA(windows, sizeof(windows));
  const std::string in_windows = std::string(windows) + "\\cnf_profile_test.ini";
  WriteWholeFile(in_windows, "[s]\r\nwhere=windows\r\n");
  WriteWholeFile(dir.File("cnf_profile_test.ini"), "[s]\r\nwhere=current\r\n");
  WriteWholeFile(dir.File("only_here.ini"), "[s]\r\nwhere=current\r\n");
  CreateDirectoryA(dir.File("sub").c_str(), nullptr);
  WriteWholeFile(dir.File("sub\\rel.ini"), "[s]\r\nwhere=sub\r\n");

  char saved[MAX_PATH + 1] = {0};
  GetCurrentDirectoryA(sizeof(saved), saved);
  SetCurrentDirectoryA(dir.path().c_str());
  for (const char* name : {"cnf_profile_test.ini", "only_here.ini", ".\\only_here.ini",
                           "sub\\rel.ini", "sub/rel.ini", "./only_here.ini"}) {
    char buffer[64];
    GetPrivateProfileStringA("s", "where", "none", buffer, sizeof(buffer), name);
    EXPECT_EQ(buffer, ProfileFile::Load(name, nullptr)->GetString("s", "where", "none"))
        << name;
  }
  SetCurrentDirectoryA(saved);
  DeleteFileA(in_windows.c_str());
}

// Where the reader departs from Wine on purpose. Each row gives what the
// reader returns and why Wine's answer is not copied.
TEST(ProfileWindows, DeliberateDifferencesFromWine) {
  TempFolder dir;
  const std::string path = dir.File("diff.ini");
  WriteWholeFile(path, "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=\"1234\"\r\n");
  std::unique_ptr<ProfileFile> profile = ProfileFile::Load(path, nullptr);
  char buffer[64];

  // Windows does not recognise a UTF-8 mark: its three bytes stay on line 1,
  // so "[s]" is no header there. Wine strips the mark and finds it.
  GetPrivateProfileStringA("s", "k", "def", buffer, sizeof(buffer), path.c_str());
  EXPECT_STREQ("v", buffer) << "Wine now reads the UTF-8 mark as Windows does";
  EXPECT_EQ("def", profile->GetString("s", "k", "def"));

  // Lines before the first header: Windows reaches them with no section
  // name at all, only an explicit "[]" section is the section "". Wine reads
  // the lines before the first header as section "" (and, that section
  // coming first, never reaches a later "[]").
  const std::string fixture = dir.File("fixture.ini");
  WriteWholeFile(fixture, Fixture());
  std::unique_ptr<ProfileFile> full = ProfileFile::Load(fixture, nullptr);
  GetPrivateProfileStringA("", "before", "def", buffer, sizeof(buffer), fixture.c_str());
  EXPECT_STREQ("unreachable", buffer);
  EXPECT_EQ("def", full->GetString("", "before", "def"));
  GetPrivateProfileStringA("", "emptysec", "def", buffer, sizeof(buffer), fixture.c_str());
  EXPECT_STREQ("def", buffer);
  EXPECT_EQ("yes", full->GetString("", "emptysec", "def"));

  // Names that differ in the case of a non-ASCII letter: the reader folds
  // every letter with the simple upper case that element names use, so
  // "\xFC" meets "\xDC", as Windows' case-insensitive comparison does; Wine
  // folds A-Z only.
  const std::string umlaut = dir.File("umlaut.ini");
  WriteWholeFile(umlaut, "[Pr\xFC" "fung]\r\nSchl\xFC" "ssel=ja\r\n");
  std::unique_ptr<ProfileFile> folded = ProfileFile::Load(umlaut, nullptr);
  EXPECT_EQ("ja", folded->GetString("PR\xDC" "FUNG", "SCHL\xDC" "SSEL", "def"));
  GetPrivateProfileStringA("PR\xDC" "FUNG", "SCHL\xDC" "SSEL", "def", buffer, sizeof(buffer),
                           umlaut.c_str());
  EXPECT_STREQ(RunningUnderWine() ? "def" : "ja", buffer);

  // A quoted value that just fits the buffer: Windows gives "123" for size 4
  // (size - 1 characters); Wine loses one more character after the quotes
  // were removed.
  DWORD length = GetPrivateProfileStringA("t", "k", "def", buffer, 4, path.c_str());
  EXPECT_EQ("123", profile->GetString("t", "k", "def", 4));
  if (length != 3) {
    EXPECT_STREQ("12", buffer);
  }
}

}  // namespace
}  // namespace platform
