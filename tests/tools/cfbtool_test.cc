// cfbtool run as a program: listing, reading and patching compound files,
// checked against an independent reader, and its failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::OlefileDump;
using testing_support::ProgramPath;
using testing_support::RunResult;
using testing_support::TempDir;

RunResult Tool(const std::vector<std::string>& args, const std::string& input = "") {
  std::vector<std::string> argv = {ProgramPath("cfbtool")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv, "", {}, input);
}

// Runs a command that must succeed silently.
void Ok(const std::vector<std::string>& args, const std::string& input = "") {
  RunResult result = Tool(args, input);
  EXPECT_EQ(0, result.exit_status) << args[0] << " " << args.back() << "\n" << result.err;
  EXPECT_EQ("", result.err) << args[0];
}

std::string Pattern(size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>((i * 31 + 7) & 0xFF));
  return bytes;
}

TEST(CfbtoolTest, ListsAFileWrittenByWindowsInEnumerationOrder) {
  RunResult result = Tool({"ls", FixturePath("615/basic.CNF")});
  ASSERT_EQ(0, result.exit_status) << result.err;
  EXPECT_EQ(
      "storage             VELOX\n"
      "storage               TORVI\n"
      "stream         116      5\n"
      "storage             _Zarin_\n"
      "stream          11    cc012\n"
      "storage             _Common_\n"
      "stream         143    22\n"
      "stream         158    101\n"
      "storage               _ReadOnly_\n"
      "stream         105      7\n"
      "stream           4  _Version_\n",
      result.out);
}

TEST(CfbtoolTest, BuildsAFileThatOlefileReadsBack) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  const std::string big = Pattern(5000);  // past the 4096-byte cutoff
  Ok({"new", file});
  Ok({"mkdir", file, "_Common_"});
  Ok({"mkdir", file, "/_Common_/_ReadOnly_/"});
  Ok({"put", file, "_Common_/Task"}, big);
  Ok({"put", file, "_Version_"}, std::string("\x68\x02\x00\x00", 4));
  Ok({"put", file, "_Common_/_ReadOnly_/empty"}, "");

  RunResult list = Tool({"ls", file});
  ASSERT_EQ(0, list.exit_status) << list.err;
  EXPECT_EQ(
      "storage             _Common_\n"
      "stream        5000    Task\n"
      "storage               _ReadOnly_\n"
      "stream           0      empty\n"
      "stream           4  _Version_\n",
      list.out);
  RunResult cat = Tool({"cat", file, "_COMMON_/task"});  // names match without case
  ASSERT_EQ(0, cat.exit_status) << cat.err;
  EXPECT_EQ(big, cat.out);

  EXPECT_TRUE(OlefileDump(file) ==
              "F _Common_/Task 5000 " + testing_support::Hex(big) + "\n"
              "F _Common_/_ReadOnly_/empty 0 \n"
              "F _Version_ 4 68020000\n"
              "S _Common_\n"
              "S _Common_/_ReadOnly_\n")
      << OlefileDump(file).substr(0, 200);
}

TEST(CfbtoolTest, PutReplacesAStreamWholeAndRmRemovesTrees) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "A"});
  Ok({"mkdir", file, "A/B"});
  Ok({"put", file, "A/B/s"}, Pattern(300));
  Ok({"put", file, "A/s"}, Pattern(6000));
  // Shorter contents replace the old ones entirely, also past the cutoff.
  Ok({"put", file, "A/B/s"}, "xy");
  Ok({"put", file, "A/s"}, "short");
  EXPECT_EQ("xy", Tool({"cat", file, "A/B/s"}).out);
  EXPECT_EQ("short", Tool({"cat", file, "A/s"}).out);

  Ok({"rm", file, "A/B"});
  Ok({"rm", file, "a/S"});
  EXPECT_EQ("storage             A\n", Tool({"ls", file}).out);
  EXPECT_EQ("S A\n", OlefileDump(file));
}

TEST(CfbtoolTest, NamesAreUtf8AndControlCharactersEscaped) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "\xC3\x84rger"});                       // Ärger
  Ok({"put", file, "\xC3\x84rger/\xD0\x97\xD0\xB0"}, "z");  // За
  Ok({"put", file, "\\x05Summary"}, "s");
  Ok({"put", file, "\xF0\x9F\x98\x80"}, "e");  // outside the BMP: a surrogate pair
  RunResult list = Tool({"ls", file});
  EXPECT_EQ(
      "stream           1  \xF0\x9F\x98\x80\n"
      "storage             \xC3\x84rger\n"
      "stream           1    \xD0\x97\xD0\xB0\n"
      "stream           1  \\x05Summary\n",
      list.out);
  EXPECT_EQ("s", Tool({"cat", file, "\\x05summary"}).out);
  EXPECT_EQ("z", Tool({"cat", file, "\xC3\xA4RGER/\xD0\xB7\xD0\x90"}).out);  // case-blind
  std::string dump = OlefileDump(file);
  EXPECT_NE(std::string::npos, dump.find("S \xC3\x84rger\n")) << dump;
  EXPECT_NE(std::string::npos, dump.find("F \x05Summary 1 73\n")) << dump;
}

TEST(CfbtoolTest, EveryFailureEndsNonZeroWithOneLine) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  const std::string text_file = dir.File("text.txt");
  testing_support::WriteWholeFile(text_file, "not a compound file");
  Ok({"new", file});
  Ok({"mkdir", file, "S"});
  Ok({"put", file, "f"}, "1");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message_part;
  };
  const std::string name32(32, 'n');
  const Case cases[] = {
      {{"ls", dir.File("missing.cnf")}, 1, "0x80030002 (STG_E_FILENOTFOUND)"},
      {{"ls", dir.File("no/such/folder.cnf")}, 1, "0x80030003 (STG_E_PATHNOTFOUND)"},
      {{"ls", text_file}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS)"},
      {{"new", file}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS)"},
      {{"cat", file, "missing"}, 1, "cannot open the stream missing"},
      {{"cat", file, "S"}, 1, "0x80030002 (STG_E_FILENOTFOUND)"},
      {{"cat", file, "f/x"}, 1, "cannot open the storage f"},
      {{"put", file, "missing/x"}, 1, "cannot open the storage missing"},
      {{"put", file, "S"}, 1, "is a storage, not a stream"},
      {{"put", file, name32}, 1, "0x800300FC (STG_E_INVALIDNAME)"},
      {{"mkdir", file, "s"}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS)"},
      {{"mkdir", file, "a:b"}, 1, "0x800300FC (STG_E_INVALIDNAME)"},
      {{"rm", file, "missing"}, 1, "0x80030002 (STG_E_FILENOTFOUND)"},
      {{}, 2, "no command given"},
      {{"frobnicate", file}, 2, "unknown command frobnicate"},
      {{"ls"}, 2, "ls takes one FILE"},
      {{"cat", file}, 2, "cat takes a FILE and a PATH"},
      {{"ls", file, "extra"}, 2, "ls takes one FILE"},
      {{"cat", file, "/"}, 2, "names no element"},
      {{"cat", file, "\xC3"}, 2, "is not UTF-8"},
      {{"cat", file, "a\\b"}, 2, "holds a '\\'"},
      {{"cat", file, "\\x80"}, 2, "below 0x80"},
  };
  for (const Case& c : cases) {
    RunResult result = Tool(c.args, "data");
    std::string label = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
    EXPECT_EQ(c.status, result.exit_status) << label;
    EXPECT_EQ(0u, result.err.find("cfbtool: ")) << label << ": " << result.err;
    EXPECT_NE(std::string::npos, result.err.find(c.message_part)) << label << ": " << result.err;
    EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
  }
  // Nothing of the failed commands changed the file.
  EXPECT_EQ("F f 1 31\nS S\n", OlefileDump(file));
}

TEST(CfbtoolTest, HelpAndVersion) {
  RunResult help = Tool({"--help"});
  EXPECT_EQ(0, help.exit_status);
  EXPECT_EQ(0u, help.out.find("usage: cfbtool"));
  RunResult version = Tool({"--version"});
  EXPECT_EQ(0, version.exit_status);
  EXPECT_EQ("cfbtool 1.0.0\n", version.out);
}

}  // namespace
