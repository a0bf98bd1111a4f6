// The command line: language switches, INI paths and refusals.

#include "builder/startup.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "builder/config_layout.h"
#include "platform/system.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using Strings = std::vector<std::string>;

Strings Languages(const CommandLine& c) { return Strings(c.languages.begin(), c.languages.end()); }

TEST(ParseCommandLineTest, AcceptedTails) {
  const std::string cwd = platform::CurrentDirectory();
  ASSERT_FALSE(cwd.empty());
  const std::string long_code(11, 'C');
  struct Case {
    std::string tail;
    Strings languages;  // head first
    Strings paths;
    bool dry_run = false;
  };
  const std::vector<Case> cases = {
      {"A.INI /D", {"ENG"}, {cwd + "/A.INI"}, true},
      {"-D /LDEU -D", {"DEU"}, {}, true},
      {"/Dx/a.ini", {"ENG"}, {"/Dx/a.ini"}, false},  // a path
      {"", {"ENG"}, {}},
      {"   ", {"ENG"}, {}},
      {"/LX A.INI /LY", {"Y", "X"}, {cwd + "/A.INI"}},
      {"/L", {""}, {}},
      {"-LDEU", {"DEU"}, {}},
      {"/L" + long_code, {long_code}, {}},
      {"A.INI  /LFRA   B.INI", {"FRA"}, {cwd + "/A.INI", cwd + "/B.INI"}},
      {"sub\\B.INI", {"ENG"}, {"sub\\B.INI"}},  // a folder part: used as it stands
      {"./B.INI", {"ENG"}, {"./B.INI"}},
      {"/tmp/a.ini", {"ENG"}, {"/tmp/a.ini"}},  // a '/' token with a further '/'
      {"A.INI\t-LX", {"ENG"}, {cwd + "/A.INI\t-LX"}},  // only the blank separates
      {std::string("A.INI\0/x", 8), {"ENG"}, {cwd + "/A.INI"}},
      {"/x/" + std::string(256, 'p'), {"ENG"}, {"/x/" + std::string(256, 'p')}},
  };
  for (const Case& c : cases) {
    CommandLine parsed;
    ASSERT_EQ(ParseCommandLine(c.tail, &parsed), 0) << c.tail;
    EXPECT_EQ(Languages(parsed), c.languages) << c.tail;
    EXPECT_EQ(parsed.ini_paths, c.paths) << c.tail;
    EXPECT_EQ(parsed.dry_run, c.dry_run) << c.tail;
  }
}

TEST(ParseCommandLineTest, RefusedTails) {
  const std::string cwd = platform::CurrentDirectory();
  const std::vector<std::string> tails = {
      "/l",
      "/d",   // the letters are upper case
      "/Dx",  // takes no value
      "A.INI -DENG",
      "/",
      "-",
      "A.INI /x",  // all switches are checked before any file is read
      "/LENG /I",
      "/L" + std::string(12, 'C'),
      "/x/" + std::string(257, 'p'),                      // a token of 260 characters
      std::string(259 - cwd.size(), 'p'),                 // 260 with the folder
  };
  for (const std::string& tail : tails) {
    CommandLine parsed;
    EXPECT_EQ(ParseCommandLine(tail, &parsed), kExitRefused) << tail;
  }
  CommandLine fits;
  EXPECT_EQ(ParseCommandLine(std::string(258 - cwd.size(), 'p'), &fits), 0);
}

// A run goes as the first run of a new process, whatever runs in this
// process left behind: the builder-wide names and the stream-name
// generator start afresh, so that a second run writes the same streams.
TEST(RunBuilderTest, ARunStartsAsInANewProcess) {
  testing_support::TempDir dir;
  const char kIni[] =
      "[MAIN]\r\nOutputENG=@\r\nNumTasks=2\r\n"
      "[Task0]\r\nNameENG=Anna\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
      "[Task1]\r\nNameENG=Nightly\r\nIsShared=1\r\n";
  std::vector<std::map<std::string, std::string>> made;
  ConfigPath = dir.File("stale.CNF");
  DomainName = "STALE";
  UserName = "old";
  for (const char* name : {"first", "second"}) {
    const std::string cnf = dir.File(std::string(name) + ".CNF");
    const std::string ini = dir.File(std::string(name) + ".ini");
    std::string text = kIni;
    testing_support::WriteWholeFile(ini, text.replace(text.find('@'), 1, cnf));
    ASSERT_EQ(RunBuilder(ini + " /LENG"), 0) << name;
    made.push_back(testing_support::StorageContents(cnf));
  }
  EXPECT_EQ(made[0], made[1]);
  EXPECT_EQ(made[0].count("OFFICE/anna/"), 1u);
  EXPECT_FALSE(testing_support::PathExists(dir.File("stale.CNF")));
}

}  // namespace
}  // namespace builder
