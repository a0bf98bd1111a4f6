// The Windows programs (Quarlen.exe, Rebolan.exe of the cross build) run
// under Wine beside the native ones on the same inputs: the configuration
// files they write must agree element by element (tree, names, enumeration
// order, every stream's bytes), their INI texts byte for byte apart from the
// paths they name, and each build must read what the other wrote.
//
// scripts/test-windows.sh runs these with $CNF_WINDOWS_BUILD (the cross
// build's folder), $WINEPREFIX and $CNF_WINE (the absolute path of wine) set;
// without $CNF_WINDOWS_BUILD every test is skipped.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/storage.h"
#include "platform/text.h"
#include "tests/support/test_support.h"
#include "tests/windows/wine/wine_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::Hex;
using testing_support::OlefileDump;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using wine_support::CountTempIniFiles;
using wine_support::Env;
using wine_support::WinPath;
using wine_support::WineTempFolder;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct Outcome {
  uint32_t code = 0xDEADBEEF;  // the full 32-bit exit code
  std::string err;
};

class WinePrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    build_ = Env("CNF_WINDOWS_BUILD");
    if (build_.empty()) GTEST_SKIP() << "$CNF_WINDOWS_BUILD is not set (scripts/test-windows.sh)";
    wine_ = wine_support::WineProgram();
    runner_ = build_ + "/tests/windows/windows_run.exe";
    ASSERT_TRUE(testing_support::PathExists(runner_)) << runner_;
    ASSERT_TRUE(testing_support::PathExists(WindowsProgram("Quarlen")));
    ASSERT_TRUE(testing_support::PathExists(WindowsProgram("Rebolan")));
  }

  std::string WindowsProgram(const std::string& name) const {
    return build_ + "/tools/" + name + ".exe";
  }

  // Runs `program_path` (a Unix path to an .exe) under Wine with the command
  // tail `tail`, in folder `cwd`.
  // With `hold` (a Unix path), a Windows process holds that compound file
  // open, share-exclusive, while the program runs.
  Outcome RunWindowsExe(const std::string& program_path, const std::string& tail,
                        const std::string& cwd, const std::string& hold = "") const {
    std::string command_line = "\"" + WinPath(program_path) + "\"";
    if (!tail.empty()) command_line += " " + tail;
    std::map<std::string, std::string> env = {{"CNF_RUN_COMMAND_LINE", command_line}};
    if (!hold.empty()) env["CNF_RUN_HOLD"] = WinPath(hold);
    RunResult r = testing_support::Run({wine_, runner_}, cwd, env);
    Outcome outcome;
    outcome.err = r.err;
    if (r.exit_status == 0 && r.out.size() >= 8) {
      outcome.code = static_cast<uint32_t>(std::strtoul(r.out.substr(0, 8).c_str(), nullptr, 16));
    }
    return outcome;
  }

  Outcome RunWindows(const std::string& program, const std::string& tail,
                     const std::string& cwd, const std::string& hold = "") const {
    return RunWindowsExe(WindowsProgram(program), tail, cwd, hold);
  }

  static Outcome RunPosix(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd) {
    std::vector<std::string> argv = {ProgramPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = testing_support::Run(argv, cwd);
    Outcome outcome;
    outcome.code = static_cast<uint32_t>(r.exit_status);
    outcome.err = r.err;
    return outcome;
  }

  std::string build_;
  std::string wine_;
  std::string runner_;
};

// The tree as this project's engine enumerates it, in enumeration order: one
// line per element, "S path" or "F path size hex". "ERROR ..." when the file
// or an element cannot be opened.
void EngineDumpInto(platform::Storage* storage, const std::string& prefix, std::string* dump) {
  std::unique_ptr<platform::ElementEnumerator> enumerator;
  if (storage->EnumElements(&enumerator) != S_OK) {
    *dump += "ERROR enumerating " + prefix + "\n";
    return;
  }
  platform::ElementStat stat;
  while (enumerator->Next(&stat) == S_OK) {
    std::string path = prefix + platform::WideToAnsi(stat.name);
    if (stat.type == platform::ElementType::kStorage) {
      *dump += "S " + path + "\n";
      std::unique_ptr<platform::Storage> child;
      if (storage->OpenStorage(stat.name, platform::kStorageMode, &child) != S_OK) {
        *dump += "ERROR opening " + path + "\n";
        continue;
      }
      EngineDumpInto(child.get(), path + "/", dump);
    } else {
      std::unique_ptr<platform::Stream> stream;
      std::string bytes;
      if (storage->OpenStream(stat.name, platform::kStorageMode, &stream) == S_OK) {
        char buffer[4096];
        uint32_t read = 0;
        while (stream->Read(buffer, sizeof(buffer), &read) == S_OK && read > 0) {
          bytes.append(buffer, read);
        }
      }
      *dump += "F " + path + " " + std::to_string(stat.size) + " " + Hex(bytes) + "\n";
    }
  }
}

std::string EngineDump(const std::string& cnf_path) {
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::OpenStorageFile(cnf_path, platform::kStorageMode, &root);
  if (hr != S_OK) return "ERROR " + std::to_string(static_cast<uint32_t>(hr));
  std::string dump;
  EngineDumpInto(root.get(), "", &dump);
  return dump;
}

// Both files hold the same tree, read by the engine (enumeration order
// included) and by olefile.
void ExpectSameConfiguration(const std::string& posix_cnf, const std::string& windows_cnf,
                             const std::string& what) {
  std::string engine = EngineDump(posix_cnf);
  EXPECT_EQ(0u, engine.find("S ")) << what << ": " << engine.substr(0, 200);
  EXPECT_EQ(engine, EngineDump(windows_cnf)) << what;
  std::string olefile = OlefileDump(posix_cnf);
  EXPECT_EQ(std::string::npos, olefile.find("ERROR")) << what;
  EXPECT_EQ(olefile, OlefileDump(windows_cnf)) << what;
}

// INI descriptions in the builder's schema; @OUT@ stands for the folder that
// each build writes into (a Unix or a Windows path).
struct IniCase {
  const char* name;
  const char* languages;  // the /L switches, blank-separated
  const char* text;
};

const IniCase kIniCases[] = {
    {"one default task", "", "[MAIN]\r\nOutputENG=@OUT@TORVI32.CNF\r\nNumTasks=1\r\n"},
    {"areas, passwords, lists", "",
     "[MAIN]\r\nOutputENG=@OUT@TORVI32.CNF\r\nPassword=secret1\r\nRGWPassword=ro pass\r\n"
     "NumTasks=4\r\n"
     "[Task0]\r\nNameENG=Daily scan\r\nAreas=\"C:\\DATA\\\"S-,\"C:\\BOOT.INI\"-,local,remote\r\n"
     "Types=all,*.DOC,*.XL?\r\nVirusFoundMsgENG=Virus found\\nCall the help desk\r\n"
     "NetAlert=1\r\nSendTo=\"ADMIN\",\"OPS desk\"\r\nPriority=3\r\n"
     "[Task1]\r\nNameENG=Private\r\nIsPrivate=1\r\nDomain=ALPHA\r\nUser=ann\r\n"
     "ResidentExcludeFiles=\"C:\\TEMP\\X.EXE\"\r\nUseResidentProg=1\r\nResidentScan=NoSysLib\r\n"
     "[Task2]\r\nNameENG=Locked policy\r\nIsReadOnly=1\r\nUseVirusScanner=0\r\n"
     "UseBehaviourBlocker=1\r\nVirusNotification=first\r\n"
     "[Task3]\r\nNameENG=*fixed\r\nIsShared=0\r\nChainedTaskENG=Daily scan\r\n"},
    {"two languages, hexadecimal password, deletions", "/LENG /LDEU",
     "[MAIN]\r\nOutputENG=@OUT@E.CNF\r\nOutputDEU=@OUT@D.CNF\r\nHexPassword=41424344454647\r\n"
     "NumTasks=3\r\n"
     "[ToDelete]\r\nNumTasks=2\r\nTask0=Second\r\nTask1=*none\r\n"
     "[Task0]\r\nNameENG=First\r\nNameDEU=Erste\r\n"
     "[Task1]\r\nNameENG=Second\r\nNameDEU=Zweite\r\nIsReadOnly=1\r\n"
     "[Task2]\r\nNameENG=Third \xE9\xFC\r\nNameDEU=Dritte \xC4\r\nIsPrivate=1\r\n"},
};

std::string OutputFolderLine(const std::string& folder, bool windows) {
  return windows ? WinPath(folder) + "\\" : folder + "/";
}

// Quarlen's tail on POSIX as argv, and on Windows as one text.
std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

TEST_F(WinePrograms, QuarlenBuildsTheSameFiles) {
  for (const IniCase& c : kIniCases) {
    TempDir posix_dir;
    TempDir windows_dir;
    WriteWholeFile(posix_dir.File("A.INI"),
                   ReplaceAll(c.text, "@OUT@", OutputFolderLine(posix_dir.path(), false)));
    WriteWholeFile(windows_dir.File("A.INI"),
                   ReplaceAll(c.text, "@OUT@", OutputFolderLine(windows_dir.path(), true)));
    std::vector<std::string> args = SplitBlanks(c.languages);
    args.insert(args.begin(), "A.INI");
    Outcome posix = RunPosix("Quarlen", args, posix_dir.path());
    Outcome windows =
        RunWindows("Quarlen", std::string("A.INI ") + c.languages, windows_dir.path());
    EXPECT_EQ(0u, posix.code) << c.name << ": " << posix.err;
    EXPECT_EQ(0u, windows.code) << c.name;
    for (const char* file : {"TORVI32.CNF", "E.CNF", "D.CNF"}) {
      bool in_posix = testing_support::PathExists(posix_dir.File(file));
      EXPECT_EQ(in_posix, testing_support::PathExists(windows_dir.File(file))) << c.name;
      if (in_posix) {
        ExpectSameConfiguration(posix_dir.File(file), windows_dir.File(file),
                                std::string(c.name) + ": " + file);
      }
    }
  }
}

// Each build changes a file that the other one wrote: the first INI by one
// build, the second by the other, both orders, the same result as one build
// doing both. Then both converters export the file's password alike.
TEST_F(WinePrograms, EachBuildReadsWhatTheOtherWrote) {
  const IniCase& first = kIniCases[1];
  const char* second =
      "[MAIN]\r\nOutputENG=@OUT@TORVI32.CNF\r\nNumTasks=1\r\n"
      "[ToDelete]\r\nNumTasks=2\r\nTask0=Daily scan\r\nTask1=Locked policy\r\n"
      "[Task0]\r\nNameENG=Added later\r\nIsPrivate=1\r\nDomain=ALPHA\r\nUser=bob\r\n";
  TempDir posix_only;
  TempDir posix_then_windows;
  TempDir windows_then_posix;
  auto write_ini = [](const TempDir& dir, const char* name, const char* text, bool windows) {
    WriteWholeFile(dir.File(name),
                   ReplaceAll(text, "@OUT@", OutputFolderLine(dir.path(), windows)));
  };
  write_ini(posix_only, "1.INI", first.text, false);
  write_ini(posix_only, "2.INI", second, false);
  EXPECT_EQ(0u, RunPosix("Quarlen", {"1.INI"}, posix_only.path()).code);
  EXPECT_EQ(0u, RunPosix("Quarlen", {"2.INI"}, posix_only.path()).code);

  write_ini(posix_then_windows, "1.INI", first.text, false);
  write_ini(posix_then_windows, "2.INI", second, true);
  EXPECT_EQ(0u, RunPosix("Quarlen", {"1.INI"}, posix_then_windows.path()).code);
  EXPECT_EQ(0u, RunWindows("Quarlen", "2.INI", posix_then_windows.path()).code);

  write_ini(windows_then_posix, "1.INI", first.text, true);
  write_ini(windows_then_posix, "2.INI", second, false);
  EXPECT_EQ(0u, RunWindows("Quarlen", "1.INI", windows_then_posix.path()).code);
  EXPECT_EQ(0u, RunPosix("Quarlen", {"2.INI"}, windows_then_posix.path()).code);

  const std::string expected = posix_only.File("TORVI32.CNF");
  ASSERT_NE(std::string::npos, EngineDump(expected).find("ALPHA/bob/"));
  ExpectSameConfiguration(expected, posix_then_windows.File("TORVI32.CNF"), "POSIX, then Windows");
  ExpectSameConfiguration(expected, windows_then_posix.File("TORVI32.CNF"), "Windows, then POSIX");

  // An export of the 616 file lists no task but carries the stored password.
  const std::string cnf = posix_then_windows.File("TORVI32.CNF");
  Outcome posix = RunPosix("Rebolan", {cnf, "-I" + posix_then_windows.File("p.ini"),
                                       "-Psecret1"}, posix_then_windows.path());
  Outcome windows = RunWindows("Rebolan",
                               WinPath(cnf) + " /I" + WinPath(posix_then_windows.File("w.ini")) +
                                   " /Psecret1",
                               posix_then_windows.path());
  EXPECT_EQ(posix.code, windows.code) << posix.err;
  std::string posix_ini = ReadWholeFile(posix_then_windows.File("p.ini"));
  EXPECT_NE(std::string::npos, posix_ini.find("HexPassword = 65E4CC8F7F8C31"));
  EXPECT_EQ(posix_ini, ReplaceAll(ReadWholeFile(posix_then_windows.File("w.ini")), WinPath(cnf),
                                  cnf));
}

// Lines of a dump in sorted order: another writer's trees enumerate in the
// order that writer sorted them.
std::string Sorted(const std::string& dump) {
  std::vector<std::string> lines;
  std::istringstream in(dump);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// Wine's ole32 orders names by folding ASCII letters only: a file it writes
// with domain and user names outside ASCII has trees in another order than
// the engine's. Every element of it is listed, found and read by the
// engine, and a change made by the POSIX Quarlen leaves the whole file valid.
TEST_F(WinePrograms, AFileWineWroteWithNamesOutsideAsciiIsReadWholeAndChanged) {
  // Windows-1252: B\xFCro "Büro", \x8C "Œ", \xB5 "µ", \xE4 "ä", \xD6 "Ö".
  std::string tasks;
  const char* users[] = {"\x8C", "\xB5", "\xE4", "\xD6", "abc", "ABD", "Zeta"};
  int n = 0;
  for (const char* user : users) {
    tasks += "[Task" + std::to_string(n++) + "]\r\nNameENG=Task of " + user +
             "\r\nIsPrivate=1\r\nDomain=B\xFCro\r\nUser=" + user + "\r\n";
  }
  const std::string text = "[MAIN]\r\nOutputENG=@OUT@TORVI32.CNF\r\nNumTasks=" +
                           std::to_string(n) + "\r\n" + tasks;
  TempDir posix_dir;
  TempDir windows_dir;
  WriteWholeFile(posix_dir.File("A.INI"),
                 ReplaceAll(text, "@OUT@", OutputFolderLine(posix_dir.path(), false)));
  WriteWholeFile(windows_dir.File("A.INI"),
                 ReplaceAll(text, "@OUT@", OutputFolderLine(windows_dir.path(), true)));
  ASSERT_EQ(0u, RunPosix("Quarlen", {"A.INI"}, posix_dir.path()).code);
  ASSERT_EQ(0u, RunWindows("Quarlen", "A.INI", windows_dir.path()).code);
  const std::string posix_cnf = posix_dir.File("TORVI32.CNF");
  const std::string windows_cnf = windows_dir.File("TORVI32.CNF");
  std::string wine_dump = EngineDump(windows_cnf);
  EXPECT_EQ(std::string::npos, wine_dump.find("ERROR")) << wine_dump;
  EXPECT_EQ(Sorted(EngineDump(posix_cnf)), Sorted(wine_dump));
  for (const char* user : users) {
    EXPECT_NE(std::string::npos, wine_dump.find("S B\xFCro/" + std::string(user) + "\n"))
        << user << "\n" << wine_dump;
  }
  // A change by the engine (a new user \xC9 "É") in the trees Wine sorted
  // its own way.
  const char* more =
      "[MAIN]\r\nOutputENG=@OUT@TORVI32.CNF\r\nNumTasks=1\r\n"
      "[Task0]\r\nNameENG=Added\r\nIsPrivate=1\r\nDomain=B\xFCro\r\nUser=\xC9\r\n";
  WriteWholeFile(windows_dir.File("B.INI"),
                 ReplaceAll(more, "@OUT@", OutputFolderLine(windows_dir.path(), false)));
  Outcome added = RunPosix("Quarlen", {"B.INI"}, windows_dir.path());
  EXPECT_EQ(0u, added.code) << added.err;
  EXPECT_EQ("", added.err);
  std::string after = EngineDump(windows_cnf);
  EXPECT_NE(std::string::npos, after.find("S B\xFCro/\xC9\n")) << after;
  for (const char* user : users) {
    EXPECT_NE(std::string::npos, after.find("S B\xFCro/" + std::string(user) + "\n")) << user;
  }
  std::string olefile = OlefileDump(windows_cnf);
  EXPECT_EQ(std::string::npos, olefile.find("ERROR")) << olefile;
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(windows_cnf, &file));
  std::string problems;
  ASSERT_EQ(S_OK, file->Check(&problems));
  EXPECT_EQ("", problems);
}

struct ExportCase {
  const char* fixture;
  const char* password;  // "" for none
};

TEST_F(WinePrograms, RebolanExportsTheSameIniText) {
  const ExportCase cases[] = {
      {"615/basic.CNF", "secret1"},
      {"615/domains.CNF", ""},
      {"615/empty.CNF", ""},
      {"615/v616.CNF", ""},
  };
  for (const ExportCase& c : cases) {
    TempDir dir;
    const std::string cnf = dir.File("Torvi32.CNF");
    WriteWholeFile(cnf, ReadWholeFile(FixturePath(c.fixture)));
    std::vector<std::string> posix_args = {cnf, "-I" + dir.File("posix.ini")};
    std::string windows_tail = WinPath(cnf) + " /I" + WinPath(dir.File("windows.ini"));
    if (*c.password != '\0') {
      posix_args.push_back(std::string("-P") + c.password);
      windows_tail += std::string(" /P") + c.password;
    }
    Outcome posix = RunPosix("Rebolan", posix_args, dir.path());
    Outcome windows = RunWindows("Rebolan", windows_tail, dir.path());
    EXPECT_EQ(0u, posix.code) << c.fixture << ": " << posix.err;
    EXPECT_EQ(0u, windows.code) << c.fixture;
    std::string posix_ini = ReadWholeFile(dir.File("posix.ini"));
    ASSERT_NE("", posix_ini) << c.fixture;
    EXPECT_EQ(posix_ini, ReplaceAll(ReadWholeFile(dir.File("windows.ini")), WinPath(cnf), cnf))
        << c.fixture;
  }
}

TEST_F(WinePrograms, RebolanConvertsToTheSameFile) {
  for (const char* fixture : {"615/basic.CNF", "615/domains.CNF", "615/empty.CNF"}) {
    TempDir posix_dir;
    TempDir windows_dir;
    const std::string original = ReadWholeFile(FixturePath(fixture));
    WriteWholeFile(posix_dir.File("Torvi32.CNF"), original);
    WriteWholeFile(windows_dir.File("Torvi32.CNF"), original);
    Outcome posix = RunPosix("Rebolan", {posix_dir.File("Torvi32.CNF")}, posix_dir.path());
    Outcome windows =
        RunWindows("Rebolan", WinPath(windows_dir.File("Torvi32.CNF")), windows_dir.path());
    EXPECT_EQ(0u, posix.code) << fixture << ": " << posix.err;
    EXPECT_EQ(0u, windows.code) << fixture;
    const bool converted = testing_support::PathExists(posix_dir.File("Torvi32.CNF"));
    EXPECT_EQ(converted, testing_support::PathExists(windows_dir.File("Torvi32.CNF")));
    if (converted) {
      std::string dump = EngineDump(posix_dir.File("Torvi32.CNF"));
      EXPECT_NE(std::string::npos, dump.find("F _Version_ 4 68020000")) << fixture;
      ExpectSameConfiguration(posix_dir.File("Torvi32.CNF"), windows_dir.File("Torvi32.CNF"),
                              fixture);
    }
    // Nothing is left beside the configuration file by either build.
    EXPECT_EQ(testing_support::Run({"/bin/ls", posix_dir.path()}).out,
              testing_support::Run({"/bin/ls", windows_dir.path()}).out)
        << fixture;
  }
}

// The report of a conversion (/R) is the same from both builds, paths
// aside: the same tasks, streams, counts and passwords.
TEST_F(WinePrograms, RebolanWritesTheSameReport) {
  TempDir posix_dir;
  TempDir windows_dir;
  const std::string original = ReadWholeFile(FixturePath("615/basic.CNF"));
  WriteWholeFile(posix_dir.File("Torvi32.CNF"), original);
  WriteWholeFile(windows_dir.File("Torvi32.CNF"), original);
  Outcome posix = RunPosix("Rebolan", {posix_dir.File("Torvi32.CNF"), "-R" + posix_dir.File("r.json")},
                           posix_dir.path());
  Outcome windows = RunWindows(
      "Rebolan", WinPath(windows_dir.File("Torvi32.CNF")) + " /R" + WinPath(windows_dir.File("r.json")),
      windows_dir.path());
  EXPECT_EQ(0u, posix.code) << posix.err;
  EXPECT_EQ(0u, windows.code);
  auto without_paths = [](const std::string& path) {
    return testing_support::Run({"/usr/bin/python3", "-c",
                                 "import json, sys; r = json.load(open(sys.argv[1])); "
                                 "r['configuration'].pop('path'); print(json.dumps(r, sort_keys=True))",
                                 path})
        .out;
  };
  const std::string from_posix = without_paths(posix_dir.File("r.json"));
  EXPECT_NE(from_posix.find("\"replaced\": true"), std::string::npos) << from_posix;
  EXPECT_EQ(from_posix, without_paths(windows_dir.File("r.json")));
}

// The Windows programs end with their full 32-bit results, which POSIX
// cuts to 8 bits.
TEST_F(WinePrograms, FullExitCodesOnWindows) {
  TempDir dir;
  const std::string basic = dir.File("basic.CNF");
  const std::string v616 = dir.File("v616.CNF");
  WriteWholeFile(basic, ReadWholeFile(FixturePath("615/basic.CNF")));
  WriteWholeFile(v616, ReadWholeFile(FixturePath("615/v616.CNF")));
  const struct {
    const char* program;
    std::string tail;
    uint32_t expected;
  } cases[] = {
      {"Quarlen", "A.INI /X", 0xFFFFFFFFu},
      {"Quarlen", "/l", 0xFFFFFFFFu},
      // No dry run on Windows, where ole32 writes the files itself: refused
      // before anything is read.
      {"Quarlen", "A.INI /D", 0xFFFFFFFFu},
      {"Rebolan", "/X", 6},
      {"Rebolan", WinPath(dir.File("missing.CNF")) + " /I" + WinPath(dir.File("o.ini")),
       0x80030002u},  // STG_E_FILENOTFOUND
      {"Rebolan", WinPath(dir.File("missing.CNF")), 0x80030002u},
      // An export of a file with a stored password needs that password.
      {"Rebolan", WinPath(basic) + " /I" + WinPath(dir.File("p.ini")), 0xFFFFFFFFu},
      {"Rebolan", WinPath(basic) + " /I" + WinPath(dir.File("p.ini")) + " /Psecret2", 0xFFFFFFFFu},
      // A conversion run on a file of version 616 changes nothing.
      {"Rebolan", WinPath(v616), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, RunWindows(c.program, c.tail, dir.path()).code)
        << c.program << " " << c.tail;
  }
  EXPECT_FALSE(testing_support::PathExists(dir.File("p.ini")));
  EXPECT_FALSE(testing_support::PathExists(dir.File("TORVI32.CNF")));
  EXPECT_EQ(ReadWholeFile(FixturePath("615/basic.CNF")), ReadWholeFile(basic));
  EXPECT_EQ(ReadWholeFile(FixturePath("615/v616.CNF")), ReadWholeFile(v616));
}

// Quarlen.exe with an empty command tail reads TORVI32.INI from the Windows
// directory, never from the current one, and writes its default output
// TORVI32.CNF into the current folder.
TEST_F(WinePrograms, QuarlenReadsTheDefaultIniFromTheWindowsDirectory) {
  const std::string windows_dir = Env("WINEPREFIX") + "/drive_c/windows";
  ASSERT_TRUE(testing_support::PathExists(windows_dir)) << windows_dir;
  TempDir dir;
  WriteWholeFile(windows_dir + "/TORVI32.INI", "[MAIN]\r\nNumTasks=1\r\n");
  WriteWholeFile(dir.File("TORVI32.INI"), "[MAIN]\r\nNumTasks=2\r\n");
  Outcome windows = RunWindows("Quarlen", "", dir.path());
  std::remove((windows_dir + "/TORVI32.INI").c_str());
  EXPECT_EQ(0u, windows.code);
  std::string dump = EngineDump(dir.File("TORVI32.CNF"));
  EXPECT_NE(std::string::npos, dump.find("F _Common_/")) << dump;
  EXPECT_EQ(dump.find("F _Common_/"), dump.rfind("F _Common_/")) << "one task, not two";
}

// A conversion run without arguments takes the configuration path from the
// registry value CFG under HKEY_LOCAL_MACHINE, converts the file there and
// leaves no temporary INI file behind.
TEST_F(WinePrograms, RebolanFindsTheConfigurationThroughTheRegistry) {
  const std::string temp = WineTempFolder();
  ASSERT_NE("", temp);
  TempDir dir;
  const std::string cnf = dir.File("Installed.CNF");
  WriteWholeFile(cnf, ReadWholeFile(FixturePath("615/basic.CNF")));
  const std::string key = "HKLM\\Software\\ORMEK Software\\Torvi32";
  RunResult added = testing_support::Run(
      {wine_, "reg", "add", key, "/v", "CFG", "/d", WinPath(cnf), "/f", "/reg:32"});
  ASSERT_EQ(0, added.exit_status) << added.err;
  const int temp_files = CountTempIniFiles(temp);
  Outcome windows = RunWindows("Rebolan", "", dir.path());
  testing_support::Run({wine_, "reg", "delete", key, "/f", "/reg:32"});
  EXPECT_EQ(0u, windows.code);
  EXPECT_NE(std::string::npos, EngineDump(cnf).find("F _Version_ 4 68020000"));
  EXPECT_EQ(temp_files, CountTempIniFiles(temp));
}

// While another program holds the configuration file open (the suite
// itself, say), nothing can be read: a conversion run fails and deletes
// nothing, an export run fails, and Quarlen changes nothing.
TEST_F(WinePrograms, AFileHeldByAnotherProgramIsLeftAlone) {
  TempDir dir;
  const std::string cnf = dir.File("Torvi32.CNF");
  const std::string original = ReadWholeFile(FixturePath("615/basic.CNF"));
  WriteWholeFile(cnf, original);
  Outcome conversion = RunWindows("Rebolan", WinPath(cnf), dir.path(), cnf);
  EXPECT_NE(0u, conversion.code);
  EXPECT_NE(0xDEADBEEFu, conversion.code) << conversion.err;  // it did run
  Outcome export_run = RunWindows(
      "Rebolan", WinPath(cnf) + " /I" + WinPath(dir.File("o.ini")) + " /Psecret1", dir.path(), cnf);
  EXPECT_NE(0u, export_run.code);
  EXPECT_NE(0xDEADBEEFu, export_run.code) << export_run.err;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nOutputENG=" + WinPath(cnf) +
                                        "\r\nPassword=other\r\nNumTasks=1\r\n");
  EXPECT_EQ(0u, RunWindows("Quarlen", "A.INI", dir.path(), cnf).code);  // failures are silent
  EXPECT_EQ(original, ReadWholeFile(cnf));
  // Nothing was moved aside or left beside the file; the export wrote only
  // "[MAIN]", as a conversion of a file that cannot be opened does.
  EXPECT_EQ("A.INI\nTorvi32.CNF\no.ini\n", testing_support::Run({"/bin/ls", dir.path()}).out);
  EXPECT_EQ(std::string::npos, ReadWholeFile(dir.File("o.ini")).find("[Task"));
}

// Rebolan started from a folder without Quarlen.exe cannot hand off: it ends
// with 7 and the configuration file is where and as it was.
TEST_F(WinePrograms, HandOffWithoutTheBuilderKeepsTheConfiguration) {
  TempDir dir;
  const std::string lonely = dir.File("Rebolan.exe");
  WriteWholeFile(lonely, ReadWholeFile(WindowsProgram("Rebolan")));
  const std::string cnf = dir.File("Torvi32.CNF");
  const std::string original = ReadWholeFile(FixturePath("615/basic.CNF"));
  WriteWholeFile(cnf, original);
  Outcome outcome = RunWindowsExe(lonely, WinPath(cnf), dir.path());
  EXPECT_EQ(7u, outcome.code);
  EXPECT_EQ(original, ReadWholeFile(cnf));
}

}  // namespace
