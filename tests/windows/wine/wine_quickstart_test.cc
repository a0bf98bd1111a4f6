// The quick start for administrators (packaging/windows/QUICKSTART.txt):
// its commands for the command prompt, taken from the text itself, run as
// batch files under `wine cmd /c` against copies of real version-615 files,
// and checked to do what the text says: the exit codes they print are those
// of the text's table, the files are where the text says they are kept, the
// export writes its INI file. A change of the text that does not work fails
// here.
//
// How the commands are taken from the text: the section "Converting from a
// command prompt (cmd)", up to the next underlined heading; each run of
// lines indented by four blanks is one block, written to a batch file that
// begins with "@echo off" (so that only the commands' output shows) and run
// in a folder holding the three programs, as the text says. In a block
//   C:\Backup\     becomes the test's folder of the file to convert (its
//                  path holds no blank, as the text demands of it),
//   C:\My Files\   a folder "My Files" of the test (with its blank),
//   main-password  secret1, the main password of 615/basic.CNF;
// a command without a configuration path works on the file at the default
// path that the text names, in the Wine prefix's drive C: (there is no
// registry value). Before each block both files are fresh copies of
// 615/basic.CNF. Every block ends with "echo %ERRORLEVEL%", whose line is
// the last of its output. Each kind of block is known to the test, which
// fails on a block it does not know and on a kind that went missing.
//
// The PowerShell commands are not run: Wine has no PowerShell.
//
// Skipped without $CNF_WINDOWS_BUILD (scripts/test-windows.sh sets it).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The lines of the section under `heading`, up to the next heading (a line
// of '-' under its title).
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& heading) {
  std::vector<std::string> section;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] != heading || lines[i + 1].find_first_not_of('-') != std::string::npos) continue;
    for (size_t k = i + 2; k < lines.size(); ++k) {
      if (k + 1 < lines.size() && !lines[k + 1].empty() &&
          lines[k + 1].find_first_not_of('-') == std::string::npos) {
        break;
      }
      section.push_back(lines[k]);
    }
  }
  return section;
}

// Each run of lines indented by four blanks, without the indent.
std::vector<std::vector<std::string>> Blocks(const std::vector<std::string>& section) {
  std::vector<std::vector<std::string>> blocks;
  bool in_block = false;
  for (const std::string& line : section) {
    const bool command = line.rfind("    ", 0) == 0 && line.size() > 4;
    if (command && !in_block) blocks.emplace_back();
    if (command) blocks.back().push_back(line.substr(4));
    in_block = command;
  }
  return blocks;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// A stream's bytes as the native cfbtool reads them.
std::string StreamOf(const std::string& cnf, const std::string& path) {
  return testing_support::Run({testing_support::ProgramPath("cfbtool"), "cat", cnf, path}).out;
}

class WineQuickStart : public ::testing::Test {
 protected:
  void SetUp() override {
    build_ = wine_support::Env("CNF_WINDOWS_BUILD");
    if (build_.empty()) GTEST_SKIP() << "$CNF_WINDOWS_BUILD is not set (scripts/test-windows.sh)";
    wine_ = wine_support::WineProgram();
    text_ = Lines(ReadWholeFile(testing_support::SourceDir() + "/packaging/windows/QUICKSTART.txt"));
    ASSERT_FALSE(text_.empty());
    for (const char* program : {"Rebolan", "Quarlen", "cfbtool"}) {
      const std::string exe = build_ + "/tools/" + program + ".exe";
      ASSERT_TRUE(testing_support::PathExists(exe)) << exe;
      WriteWholeFile(programs_.File(std::string(program) + ".exe"), ReadWholeFile(exe));
    }
    std::filesystem::create_directory(dir_.File("My Files"));
    std::filesystem::create_directory(dir_.File("Backup"));
    std::filesystem::create_directory(dir_.File("Empty"));
  }

  // The block run as a batch file in `cwd`, with C:\Backup\ standing for
  // `backup` and the password for `password`: its output, line by line.
  std::vector<std::string> RunBlock(const std::vector<std::string>& block, const std::string& cwd,
                                    const std::string& backup, const std::string& password) {
    std::string batch = "@echo off\r\n";
    for (std::string line : block) {
      line = ReplaceAll(Folders(line, backup), "main-password", password);
      batch += line + "\r\n";
    }
    WriteWholeFile(dir_.File("block.bat"), batch);
    RunResult r = testing_support::Run({wine_, "cmd", "/c", WinPath(dir_.File("block.bat"))}, cwd);
    std::vector<std::string> out = Lines(r.out);
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
  }

  // `text` with C:\Backup\ standing for `backup` and C:\My Files\ for the
  // test's folder with a blank.
  std::string Folders(const std::string& text, const std::string& backup) {
    return ReplaceAll(ReplaceAll(text, "C:\\Backup\\", WinPath(backup) + "\\"),
                      "C:\\My Files\\", WinPath(dir_.File("My Files")) + "\\");
  }

  // The Unix path of a Windows path in the Wine prefix.
  std::string UnixPath(const std::string& windows_path) {
    RunResult r = testing_support::Run({wine_, "winepath", "-u", windows_path});
    std::vector<std::string> out = Lines(r.out);
    return out.empty() ? "" : out[0];
  }

  // The decimal column of Rebolan's exit code table, by the hexadecimal one.
  std::map<uint32_t, std::string> ExitCodeTable() {
    std::map<uint32_t, std::string> table;
    const std::regex row(R"(^  (-?[0-9]+) +0x([0-9A-F]{8})  )");
    for (const std::string& line : Section(text_, "Rebolan's exit codes")) {
      std::smatch m;
      if (!std::regex_search(line, m, row)) continue;
      const uint32_t code = static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16));
      // What %ERRORLEVEL% shows: the code as a signed 32-bit number.
      EXPECT_EQ(std::to_string(static_cast<int32_t>(code)), m[1].str()) << line;
      table[code] = m[1].str();
    }
    return table;
  }

  std::string build_;
  std::string wine_;
  std::vector<std::string> text_;
  TempDir dir_;
  TempDir programs_;
};

TEST_F(WineQuickStart, CommandPromptCommandsDoWhatTheTextSays) {
  const std::map<uint32_t, std::string> codes = ExitCodeTable();
  for (uint32_t code : {0x0u, 0x7u, 0xFFFFFFFFu, 0x80030002u}) {
    ASSERT_EQ(1u, codes.count(code)) << "no row for " << std::hex << code;
  }
  const std::vector<std::vector<std::string>> blocks =
      Blocks(Section(text_, "Converting from a command prompt (cmd)"));
  ASSERT_FALSE(blocks.empty());

  // The %TEMP% that the text tells to look at, and the default path.
  std::string temp_command;
  std::string default_path;
  for (const std::string& line : text_) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"(in cmd: (echo %TEMP%))"))) temp_command = m[1];
    if (std::regex_search(line, m, std::regex(R"(^(C:\\[^.]*\.CNF)\.)"))) default_path = m[1];
  }
  ASSERT_EQ("echo %TEMP%", temp_command);
  ASSERT_NE("", default_path);
  const std::vector<std::string> temp_lines = RunBlock({temp_command}, programs_.path(), "", "");
  ASSERT_EQ(1u, temp_lines.size());
  const std::string temp = UnixPath(temp_lines[0]);
  ASSERT_TRUE(std::filesystem::is_directory(temp)) << temp_lines[0] << " " << temp;

  const std::string original = ReadWholeFile(FixturePath("615/basic.CNF"));
  const std::string backup = dir_.File("Backup");
  const std::string cnf = backup + "/Torvi32.CNF";
  // The run without a path: no registry value, so the default path.
  testing_support::Run(
      {wine_, "reg", "delete", "HKLM\\Software\\ORMEK Software\\Torvi32", "/f", "/reg:32"});
  const std::string installed = UnixPath(default_path);
  ASSERT_EQ(0u, installed.find(wine_support::Env("WINEPREFIX") + "/")) << installed;
  const std::filesystem::path vendor =
      std::filesystem::path(installed).parent_path().parent_path();  // ORMEK Software
  std::filesystem::create_directories(std::filesystem::path(installed).parent_path());

  const std::regex conversion(R"(^start /wait Rebolan\.exe C:\\Backup\\Torvi32\.CNF$)");
  const std::regex default_conversion(R"(^start /wait Rebolan\.exe$)");
  const std::regex export_run(R"(^start /wait Rebolan\.exe /I("?)([^"]+)\1 /Pmain-password$)");
  const std::regex listing(R"(^cfbtool\.exe ls C:\\Backup\\Torvi32\.CNF$)");
  int seen = 0;
  for (const std::vector<std::string>& block : blocks) {
    ASSERT_EQ(2u, block.size()) << block[0];
    ASSERT_EQ("echo %ERRORLEVEL%", block[1]) << block[0];
    WriteWholeFile(cnf, original);
    WriteWholeFile(installed, original);
    std::smatch m;
    if (std::regex_match(block[0], conversion)) {
      seen |= 1;
      // Converted and checked: 0, the file is of version 616, the old file
      // and the INI file are gone.
      int ini_files = wine_support::CountTempIniFiles(temp);
      EXPECT_EQ(codes.at(0), RunBlock(block, programs_.path(), backup, "").back());
      EXPECT_EQ(testing_support::Le32(616), StreamOf(cnf, "_Version_"));
      EXPECT_FALSE(testing_support::PathExists(cnf + ".615"));
      EXPECT_EQ(ini_files, wine_support::CountTempIniFiles(temp));
      // The configuration file is missing: the storage code, the INI file
      // kept.
      ini_files = wine_support::CountTempIniFiles(temp);
      EXPECT_EQ(codes.at(0x80030002u),
                RunBlock(block, programs_.path(), dir_.File("Empty"), "").back());
      EXPECT_EQ(ini_files + 1, wine_support::CountTempIniFiles(temp));
      // Without Quarlen.exe beside it: 7, the old file back in place, the INI
      // file kept in %TEMP%.
      WriteWholeFile(cnf, original);
      TempDir lonely;
      WriteWholeFile(lonely.File("Rebolan.exe"), ReadWholeFile(programs_.File("Rebolan.exe")));
      ini_files = wine_support::CountTempIniFiles(temp);
      EXPECT_EQ(codes.at(7), RunBlock(block, lonely.path(), backup, "").back());
      EXPECT_EQ(original, ReadWholeFile(cnf));
      EXPECT_FALSE(testing_support::PathExists(cnf + ".615"));
      EXPECT_EQ(ini_files + 1, wine_support::CountTempIniFiles(temp));
    } else if (std::regex_match(block[0], default_conversion)) {
      seen |= 2;
      EXPECT_EQ(codes.at(0), RunBlock(block, programs_.path(), backup, "").back());
      EXPECT_EQ(testing_support::Le32(616), StreamOf(installed, "_Version_"));
      EXPECT_EQ(original, ReadWholeFile(cnf));
    } else if (std::regex_match(block[0], m, export_run)) {
      seen |= 4;
      // Of the file at the default path, written where /I says, and nothing
      // changed.
      const std::string ini = UnixPath(Folders(m[2].str(), backup));
      EXPECT_EQ(codes.at(0), RunBlock(block, programs_.path(), backup, "secret1").back());
      const std::string text = ReadWholeFile(ini);
      EXPECT_NE(std::string::npos, text.find("[MAIN]")) << ini;
      EXPECT_NE(std::string::npos, text.find("Daily scan")) << ini;
      EXPECT_EQ(original, ReadWholeFile(installed));
      std::filesystem::remove(ini);
      // A stored main password and a wrong /P.
      EXPECT_EQ(codes.at(0xFFFFFFFFu), RunBlock(block, programs_.path(), backup, "wrong").back());
      EXPECT_EQ(original, ReadWholeFile(installed));
    } else if (std::regex_match(block[0], listing)) {
      seen |= 8;
      std::vector<std::string> out = RunBlock(block, programs_.path(), backup, "");
      ASSERT_FALSE(out.empty());
      EXPECT_EQ("0", out.back());
      out.pop_back();
      const std::vector<std::string> native =
          Lines(testing_support::Run({testing_support::ProgramPath("cfbtool"), "ls", cnf}).out);
      EXPECT_EQ(native, out);
      EXPECT_LT(5u, native.size());
    } else {
      ADD_FAILURE() << "a block of the quick start that this test does not know: " << block[0];
    }
  }
  std::filesystem::remove_all(vendor);
  EXPECT_EQ(15, seen) << "the quick start lost one of its commands";
}

}  // namespace
