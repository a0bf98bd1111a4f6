// Operating-system services and the process entry of the Windows build, run
// under Wine. windows_probe.exe, built beside this test, reports the command
// tail that the entry handed it and ends with a chosen 32-bit exit code.
#include "platform/system.h"

#include <gtest/gtest.h>

#include "platform/hresult.h"  // windows.h
#include "tests/windows/backend/windows_test_support.h"

namespace platform {
namespace {

using windows_testing::ReadWholeFile;
using windows_testing::TempFolder;
using windows_testing::TestProgramFolder;

std::string ProbePath() { return TestProgramFolder() + "\\windows_probe.exe"; }

// Runs `command_line` (program name included) with CreateProcessA; returns the
// command tail the probe received, and its exit code in *exit_code.
std::string RunProbeRaw(const std::string& program, std::string command_line,
                        const std::string& out, uint32_t* exit_code) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  SetEnvironmentVariableA("CNF_PROBE_OUT", out.c_str());
  if (!CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return "<not started>";
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  *exit_code = code;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ReadWholeFile(out);
}

TEST(SystemWindows, PathHelpers) {
  EXPECT_EQ("C:\\WORK\\B.INI", JoinPath("C:\\WORK", "B.INI"));
  EXPECT_EQ("C:\\B.INI", JoinPath("C:\\", "B.INI"));
  EXPECT_EQ("C:\\Torvi\\Quarlen.exe", JoinPath(FolderOf("C:\\Torvi\\Rebolan.exe"),
                                               "Quarlen.exe"));
  EXPECT_EQ("", FolderOf("Rebolan.exe"));
  EXPECT_TRUE(HasFolderPart(".\\a.ini"));
  EXPECT_TRUE(HasFolderPart("sub/a.ini"));
  EXPECT_FALSE(HasFolderPart("TORVI32.INI"));
  EXPECT_TRUE(IsSwitchToken("/LENG"));
  EXPECT_TRUE(IsSwitchToken("/"));
  EXPECT_FALSE(IsSwitchToken("-LENG"));  // only POSIX takes '-'
  EXPECT_FALSE(IsSwitchToken("a.ini"));
}

TEST(SystemWindows, Folders) {
  char expected[MAX_PATH + 1] = {0};
  GetCurrentDirectoryA(sizeof(expected), expected);
  EXPECT_EQ(expected, CurrentDirectory());
  GetWindowsDirectoryA(expected, sizeof(expected));
  EXPECT_EQ(expected, WindowsDirectory());
  EXPECT_EQ(TestProgramFolder(), ProgramFolder());
}

TEST(SystemWindows, TempFileIsNewAndHoldsNoBlank) {
  std::string first;
  std::string second;
  ASSERT_TRUE(CreateTempFile("INI", &first));
  ASSERT_TRUE(CreateTempFile("INI", &second));
  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    EXPECT_EQ(std::string::npos, path.find(' ')) << path;
    std::string name = path.substr(path.find_last_of('\\') + 1);
    EXPECT_EQ(0u, name.find("INI")) << name;
    EXPECT_EQ(name.size() - 4, name.rfind(".tmp")) << name;
    EXPECT_TRUE(windows_testing::FileExists(path));
    EXPECT_EQ("", ReadWholeFile(path));
    DeleteFileA(path.c_str());
  }
}

TEST(SystemWindows, TempFolderWithABlankIsShortened) {
  TempFolder dir;
  const std::string blank = dir.File("temp with blank");
  ASSERT_TRUE(CreateDirectoryA(blank.c_str(), nullptr));
  char saved[MAX_PATH + 1] = {0};
  GetEnvironmentVariableA("TMP", saved, sizeof(saved));
  SetEnvironmentVariableA("TMP", blank.c_str());
  std::string path;
  bool made = CreateTempFile("INI", &path);
  SetEnvironmentVariableA("TMP", saved[0] != '\0' ? saved : nullptr);
  // Either a short name without the blank, or no file at all; never a path
  // that the builder's command line would split.
  if (made) {
    EXPECT_EQ(std::string::npos, path.find(' ')) << path;
    EXPECT_TRUE(windows_testing::FileExists(path));
    DeleteFileA(path.c_str());
  }
}

// The value is read from the 32-bit view, where the suite's 32-bit
// installer writes it, by a 32-bit and a 64-bit build alike.
TEST(SystemWindows, RegistryValue) {
  const char* key_path = "Software\\CnfWindowsTest\\Torvi32";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  const char value[] = "C:\\Program files\\Torvi32\\Torvi32.CNF";
  RegSetValueExA(key, "CFG", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
  RegSetValueExA(key, "Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
  DWORD number = 5;
  RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegCloseKey(key);

  std::string text = "old";
  EXPECT_TRUE(ReadRegistryString(key_path, "CFG", &text));
  EXPECT_EQ(value, text);
  EXPECT_TRUE(ReadRegistryString("software\\cnfwindowstest\\TORVI32", "cfg", &text));
  EXPECT_EQ(value, text);
  EXPECT_TRUE(ReadRegistryString(key_path, "Empty", &text));
  EXPECT_EQ("", text);
  EXPECT_FALSE(ReadRegistryString(key_path, "Number", &text));  // not text
  EXPECT_FALSE(ReadRegistryString(key_path, "Missing", &text));
  EXPECT_FALSE(ReadRegistryString("Software\\CnfWindowsTest\\None", "CFG", &text));
  EXPECT_EQ("", text);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key_path, KEY_WOW64_32KEY, 0);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\CnfWindowsTest", KEY_WOW64_32KEY, 0);
}

TEST(SystemWindows, RunProgramAndWaitPassesTheFull32BitExitCode) {
  TempFolder dir;
  const std::string out = dir.File("tail.txt");
  SetEnvironmentVariableA("CNF_PROBE_OUT", out.c_str());
  const struct {
    const char* exit_hex;
    int32_t expected;
  } cases[] = {{"0", 0}, {"FFFFFFFF", -1}, {"100", 256}, {"80030002", -2147287038}, {"7", 7}};
  for (const auto& c : cases) {
    SetEnvironmentVariableA("CNF_PROBE_EXIT", c.exit_hex);
    int32_t exit_code = 12345;
    ASSERT_TRUE(RunProgramAndWait("windows_probe", {"C:\\T\\INI1.tmp", "/LENG"}, &exit_code));
    EXPECT_EQ(c.expected, exit_code) << c.exit_hex;
    EXPECT_EQ("C:\\T\\INI1.tmp /LENG", ReadWholeFile(out));
  }
  SetEnvironmentVariableA("CNF_PROBE_EXIT", nullptr);
  int32_t exit_code = 12345;
  EXPECT_FALSE(RunProgramAndWait("no_such_program_here", {}, &exit_code));
  EXPECT_EQ(12345, exit_code);
}

TEST(SystemWindows, EntrySkipsTheProgramName) {
  TempFolder dir;
  const std::string folder = dir.File("dir with blank");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string probe = folder + "\\windows_probe.exe";
  ASSERT_TRUE(CopyFileA(ProbePath().c_str(), probe.c_str(), TRUE));
  const std::string quoted = "\"" + probe + "\"";
  const std::string out = dir.File("tail.txt");
  SetEnvironmentVariableA("CNF_PROBE_EXIT", "0");
  struct Case {
    std::string command_line;
    std::string tail;
  };
  const Case cases[] = {
      {quoted, ""},
      {quoted + "   a.ini /LENG", "a.ini /LENG"},
      {quoted + "a.ini", "a.ini"},  // the name ends at its closing quote
      {quoted + " \t\x01 x\t y ", "x\t y "},
      {quoted + " \"quoted arg\"", "\"quoted arg\""},
      {"probe.exe\t\tx y", "x y"},  // an unquoted name ends at any control
      {"probe.exe", ""},
  };
  for (const Case& c : cases) {
    DeleteFileA(out.c_str());
    uint32_t exit_code = 99;
    EXPECT_EQ(c.tail, RunProbeRaw(probe, c.command_line, out, &exit_code)) << c.command_line;
    EXPECT_EQ(0u, exit_code);
  }
}

}  // namespace
}  // namespace platform
