// The shared parts of the program entry: the command tail on both builds,
// the exit status on POSIX and the names of result codes.

#include "platform/program_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hresult_names.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }
bool Cp932LeadBytes(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

TEST(ProgramMainTest, SkipProgramNameAsTheStartUpCodeDoes) {
  struct Case {
    std::string command_line;
    std::string tail;
  };
  const Case cases[] = {
      {"Quarlen.EXE a.ini /LENG", "a.ini /LENG"},
      {"Quarlen.EXE", ""},
      {"", ""},
      {"\"C:\\Program files\\Quarlen.EXE\" /LDEU x", "/LDEU x"},
      {"\"C:\\a b\\Q.EXE\"x y", "x y"},        // no blank needed after the quote
      {"\"unterminated name", ""},
      {"\"\" rest", "rest"},
      {"Q.EXE\t\x01 \x1f  tail  ", "tail  "},  // 1..32 skipped, the end kept
      {"Q\"x y\" z", "y\" z"},                 // a quote inside a bare name is ordinary
      {std::string("Q.EXE a\0b", 9), "a"},     // ends at NUL
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.tail, platform::SkipProgramName(c.command_line, NoLeadBytes)) << c.command_line;
  }
  // In a double-byte code page, a trail byte that equals '"' does not close
  // the quoted name.
  const std::string name = "\"C:\\\x83\"\\Q.EXE\" /LJPN";
  EXPECT_EQ("/LJPN", platform::SkipProgramName(name, Cp932LeadBytes));
  EXPECT_EQ("\\Q.EXE\" /LJPN", platform::SkipProgramName(name, NoLeadBytes));
}

TEST(ProgramMainTest, CommandTailJoinsArgumentsWithSingleBlanks) {
  const char* none[] = {"Rebolan"};
  EXPECT_EQ("", platform::CommandTailFromArguments(1, none));
  const char* some[] = {"Rebolan", "-I/tmp/x.ini", "/LDEU", "a b"};
  EXPECT_EQ("-I/tmp/x.ini /LDEU a b", platform::CommandTailFromArguments(4, some));
  const char* empty[] = {"Q", "", "x"};
  EXPECT_EQ(" x", platform::CommandTailFromArguments(3, empty));
}

TEST(ProgramMainTest, PosixExitStatusKeepsWhatFitsAndSaysWhatDoesNot) {
  struct Case {
    int32_t result;
    int status;
    bool passed;
  };
  const Case cases[] = {
      {0, 0, true},
      {7, 7, true},
      {255, 255, true},
      {-1, 255, true},
      {256, 1, false},
      {-2, 1, false},
      {static_cast<int32_t>(0x80030002), 1, false},
      {0x7FFFFFFF, 1, false},
  };
  for (const Case& c : cases) {
    bool passed = !c.passed;
    EXPECT_EQ(c.status, platform::PosixExitStatus(c.result, &passed)) << c.result;
    EXPECT_EQ(c.passed, passed) << c.result;
  }
  EXPECT_EQ(1, platform::PosixExitStatus(256, nullptr));
  EXPECT_EQ(
      "ended with result 0x80030002 (STG_E_FILENOTFOUND: no such file or element), which an exit "
      "status cannot hold;"
      " the exit status is 1",
      platform::ExitStatusMessage(static_cast<int32_t>(0x80030002)));
  EXPECT_EQ("ended with result 0x00000100, which an exit status cannot hold; the exit status is 1",
            platform::ExitStatusMessage(256));
}

TEST(ProgramMainTest, ResultNames) {
  EXPECT_STREQ("STG_E_SHAREVIOLATION", platform::HResultName(STG_E_SHAREVIOLATION));
  EXPECT_STREQ("STG_E_DOCFILECORRUPT", platform::HResultName(STG_E_DOCFILECORRUPT));
  EXPECT_STREQ("S_OK", platform::HResultName(S_OK));
  EXPECT_STREQ("", platform::HResultName(static_cast<HRESULT>(0x80031234)));
  EXPECT_EQ("0x800300FC (STG_E_INVALIDNAME: a name the compound file format cannot hold)",
            platform::DescribeHResult(STG_E_INVALIDNAME));
  EXPECT_EQ("0x80031234", platform::DescribeHResult(static_cast<HRESULT>(0x80031234)));
  // A message gives the code, its name, its meaning and what to do next; the
  // open of a file reads some codes more narrowly.
  EXPECT_EQ("cannot lock x: 0x80030020 (STG_E_SHAREVIOLATION: another program has the file "
            "open); stop the suite (or the program that has the file open) and run again",
            platform::FailureText("cannot lock x", STG_E_SHAREVIOLATION));
  EXPECT_EQ("mkdir S: 0x80030050 (STG_E_FILEALREADYEXISTS: a file or element of that name "
            "exists already)",
            platform::FailureText("mkdir S", STG_E_FILEALREADYEXISTS));
  EXPECT_EQ("cannot open T.CNF: 0x80030050 (STG_E_FILEALREADYEXISTS: not a compound file); "
            "check that the path names a configuration file (a compound file)",
            platform::CannotOpenFile("T.CNF", STG_E_FILEALREADYEXISTS));
  EXPECT_EQ("cannot open T.CNF: 0x80031234", platform::CannotOpenFile("T.CNF", 0x80031234));
  // The opens users meet each tell what to do next.
  const struct {
    HRESULT hr;
    const char* says;  // after "cannot open F: <code> (<name>: "
  } opens[] = {
      {STG_E_FILENOTFOUND, "no such file or element); check the path"},
      {STG_E_PATHNOTFOUND, "no such folder); check the path"},
      {STG_E_ACCESSDENIED, "access denied); run as a user who may write the file and its folder "
                           "(on Windows, as administrator)"},
      {STG_E_SHAREVIOLATION, "another program has the file open); stop the suite (or the program "
                             "that has the file open) and run again"},
      {STG_E_MEDIUMFULL, "the disk is full); free space on the disk and run again"},
      {STG_E_DOCFILECORRUPT, "the compound file is damaged); restore it from a copy; cfbtool "
                             "check FILE lists the damage"},
      {STG_E_INVALIDHEADER, "not a compound file (its header is not valid)); check that the path "
                            "names a configuration file (a compound file)"},
      {E_OUTOFMEMORY, "out of memory); close other programs and run again"},
      {STG_E_INVALIDFLAG, "an invalid open mode); this is a fault of the program: please report "
                          "it"},
  };
  for (const auto& open : opens) {
    EXPECT_EQ("cannot open F: " + platform::HResultHex(open.hr) + " (" +
                  platform::HResultName(open.hr) + ": " + open.says,
              platform::CannotOpenFile("F", open.hr));
  }
}

}  // namespace
