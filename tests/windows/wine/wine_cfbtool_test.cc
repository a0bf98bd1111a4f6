// cfbtool.exe (the console program of the cross build) run under Wine: its
// commands through ole32 on files that it, the native cfbtool and Quarlen.exe
// wrote, bytes in and out unchanged (binary standard streams), names beyond
// the ANSI code page from the command line, its messages on stderr, and
// check and info through the engine giving what the native tool gives.
//
// Skipped without $CNF_WINDOWS_BUILD (scripts/test-windows.sh sets it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/windows/wine/wine_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using wine_support::WinPath;

class WineCfbtool : public ::testing::Test {
 protected:
  void SetUp() override {
    build_ = wine_support::Env("CNF_WINDOWS_BUILD");
    if (build_.empty()) GTEST_SKIP() << "$CNF_WINDOWS_BUILD is not set (scripts/test-windows.sh)";
    ASSERT_TRUE(testing_support::PathExists(Exe("cfbtool"))) << Exe("cfbtool");
  }

  std::string Exe(const std::string& name) const { return build_ + "/tools/" + name + ".exe"; }

  // cfbtool.exe under Wine; its exit status is the program's (0, 1 or 2).
  RunResult Windows(const std::vector<std::string>& args, const std::string& input = "") const {
    std::vector<std::string> argv = {wine_support::WineProgram(), Exe("cfbtool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(), {}, input);
  }

  RunResult Native(const std::vector<std::string>& args, const std::string& input = "") const {
    std::vector<std::string> argv = {testing_support::ProgramPath("cfbtool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(), {}, input);
  }

  std::string build_;
  TempDir dir_;
};

// Bytes that a text-mode stream would change: CR LF and a lone LF, Ctrl-Z
// (the end of text input), NUL and 0xFF, and enough of them to leave the
// mini stream.
std::string BinaryBytes() {
  std::string bytes("line\r\nlf\n\x1A after ctrl-z\0nul\xFF", 28);
  for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>(i * 7));
  return bytes;
}

// "Жук Ω": Cyrillic and Greek, which the ANSI code page (1252) lacks.
const char kWideName[] = "\xD0\x96\xD1\x83\xD0\xBA \xCE\xA9";

TEST_F(WineCfbtool, RoundTripAgreesWithTheNativeTool) {
  const std::string bytes = BinaryBytes();
  const std::string wide = std::string("Docs/") + kWideName;
  struct Step {
    std::vector<std::string> args;
    std::string input;
  };
  const Step steps[] = {
      {{"new", "a.cnf"}, ""},
      {{"mkdir", "a.cnf", "Docs"}, ""},
      {{"put", "a.cnf", "Docs/bin"}, bytes},
      {{"put", "a.cnf", wide}, "x"},
      {{"put", "a.cnf", "Top"}, "first"},
      {{"put", "a.cnf", "top"}, "second"},  // replaces Top: the new one is "top"
  };
  for (const Step& step : steps) {
    RunResult r = Windows(step.args, step.input);
    EXPECT_EQ(0, r.exit_status) << step.args[0] << " " << step.args.back() << ": " << r.err;
  }
  RunResult cat = Windows({"cat", "a.cnf", "Docs/bin"});
  EXPECT_EQ(0, cat.exit_status) << cat.err;
  EXPECT_TRUE(cat.out == bytes) << "cat gave " << cat.out.size() << " bytes of " << bytes.size();
  EXPECT_EQ("x", Windows({"cat", "a.cnf", wide}).out);
  EXPECT_EQ("second", Windows({"cat", "a.cnf", "TOP"}).out);

  const std::string listing = "stream 6 top\nstorage - Docs\nstream 5028 Docs/bin\nstream 1 " +
                              wide + "\n";
  EXPECT_EQ(listing, Windows({"ls", "-p", "a.cnf"}).out);
  EXPECT_EQ(listing, Native({"ls", "-p", "a.cnf"}).out);
  // Times and CLSIDs as ole32 reports them are those the engine reads.
  RunResult json = Windows({"ls", "--json", "a.cnf"});
  EXPECT_EQ(0, json.exit_status) << json.err;
  EXPECT_EQ(Native({"ls", "--json", "a.cnf"}).out, json.out);
  EXPECT_TRUE(Native({"cat", "a.cnf", "Docs/bin"}).out == bytes);

  // A new name of the old one's length: Wine's ole32 renames an entry
  // without its name length (docs/windows.md), which the engine reads.
  EXPECT_EQ(0, Windows({"mv", "a.cnf", "Docs/bin", "raw"}).exit_status);
  EXPECT_EQ(0, Windows({"rm", "a.cnf", wide}).exit_status);
  EXPECT_EQ(0, Windows({"rm", "a.cnf", "TOP"}).exit_status);
  EXPECT_EQ("storage             Docs\nstream        5028    raw\n",
            Windows({"ls", "a.cnf"}).out);
  EXPECT_TRUE(Native({"cat", "a.cnf", "Docs/raw"}).out == bytes);

  // And the other way: what the native tool wrote, cfbtool.exe reads.
  EXPECT_EQ(0, Native({"new", "b.cnf"}).exit_status);
  EXPECT_EQ(0, Native({"put", "b.cnf", kWideName}, bytes).exit_status);
  EXPECT_TRUE(Windows({"cat", "b.cnf", kWideName}).out == bytes);
}

// A configuration that Quarlen.exe built, looked into with cfbtool.exe:
// listed as the native tool lists it, and checked and counted by the engine
// of the Windows build as by the native one.
TEST_F(WineCfbtool, ListsAFileThatQuarlenBuilt) {
  WriteWholeFile(dir_.File("A.INI"),
                 "[MAIN]\r\nOutputENG=" + WinPath(dir_.File("TORVI32.CNF")) +
                     "\r\nPassword=secret1\r\nNumTasks=2\r\n"
                     "[Task0]\r\nNameENG=Daily scan\r\n"
                     "[Task1]\r\nNameENG=Locked policy\r\nIsReadOnly=1\r\n");
  RunResult built = testing_support::Run({wine_support::WineProgram(), Exe("Quarlen"), "A.INI"},
                                         dir_.path());
  ASSERT_EQ(0, built.exit_status) << built.err;
  RunResult windows = Windows({"ls", "-p", "TORVI32.CNF"});
  EXPECT_EQ(0, windows.exit_status) << windows.err;
  EXPECT_NE(std::string::npos, windows.out.find("stream 4 _Version_\n")) << windows.out;
  EXPECT_NE(std::string::npos, windows.out.find("storage - _Common_/_ReadOnly_\n")) << windows.out;
  EXPECT_EQ(Native({"ls", "-p", "TORVI32.CNF"}).out, windows.out);
  EXPECT_EQ(Native({"ls", "-l", "TORVI32.CNF"}).out, Windows({"ls", "-l", "TORVI32.CNF"}).out);
  // check finds what the native one finds (on files Wine's ole32 wrote: the
  // colours of their trees, docs/windows.md), info counts alike.
  for (const char* command : {"check", "info"}) {
    RunResult native = Native({command, "TORVI32.CNF"});
    RunResult exe = Windows({command, "TORVI32.CNF"});
    EXPECT_EQ(native.exit_status, exe.exit_status) << command << ": " << exe.err;
    EXPECT_EQ(native.out, exe.out) << command;
  }
  EXPECT_NE(std::string::npos, Windows({"info", "TORVI32.CNF"}).out.find("sector size: 512\n"));
}

// Every failure is one line on stderr with the exit status of the native
// tool; a command the Windows build lacks says so and changes nothing.
TEST_F(WineCfbtool, FailuresSayWhyOnStderr) {
  WriteWholeFile(dir_.File("a.cnf"), ReadWholeFile(FixturePath("615/basic.CNF")));
  WriteWholeFile(dir_.File("text.txt"), "not a compound file");
  const std::string kNotCompound =
      "cfbtool: cannot open text.txt: 0x80030050 (STG_E_FILEALREADYEXISTS: not a compound file); "
      "check that the path names a configuration file (a compound file)\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"cat", "a.cnf", "nope"},
       1,
       "cfbtool: cannot open the stream nope in a.cnf: 0x80030002 (STG_E_FILENOTFOUND: no such "
       "file or element); check the path\n"},
      {{"ls", "text.txt"}, 1, kNotCompound},
      {{"put", "a.cnf", "_Common_"}, 1, "cfbtool: _Common_ in a.cnf is a storage, not a stream\n"},
      {{"frob", "a.cnf"}, 2, "cfbtool: unknown command frob (cfbtool --help shows the usage)\n"},
      {{"check", "text.txt"}, 2, kNotCompound},
      {{"info", "NUL"}, 1, "cfbtool: NUL is not a regular file\n"},
      {{"extract", "a.cnf", "out"}, 1, "cfbtool: extract is not available in the Windows build\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Windows(c.args);
    EXPECT_EQ(c.status, r.exit_status) << c.args[0];
    EXPECT_EQ(c.message, r.err) << c.args[0];
    EXPECT_EQ("", r.out) << c.args[0];
  }
  EXPECT_FALSE(testing_support::PathExists(dir_.File("out")));
  EXPECT_EQ(ReadWholeFile(FixturePath("615/basic.CNF")), ReadWholeFile(dir_.File("a.cnf")));
  RunResult version = Windows({"--version"});
  EXPECT_EQ("cfbtool 1.0.0\n", version.out);
}

}  // namespace
