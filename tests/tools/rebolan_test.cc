// End-to-end runs of the real Rebolan (and Quarlen) binaries: export runs
// compared with whole INI texts, conversion runs read back with olefile,
// and every failure path of the hand-off ending with the old file intact.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cfb/journal.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/storage.h"
#include "platform/system.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::Hex;
using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using writer_615::Task;

std::string HexOf(const std::string& text) { return Hex(text); }

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// olefile's view of a file: path -> hex bytes ("" for a storage).
std::map<std::string, std::string> Tree(const std::string& path) {
  std::map<std::string, std::string> tree;
  std::istringstream lines(OlefileDump(path));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string kind, name, size, hex;
    fields >> kind >> name >> size >> hex;
    if (kind == "ERROR:") {
      ADD_FAILURE() << line;
      continue;
    }
    tree[name] = kind == "F" ? hex : "";
  }
  return tree;
}

// Streams directly inside `folder` ("" for the root).
std::vector<std::string> StreamsIn(const std::map<std::string, std::string>& tree,
                                   const std::string& folder) {
  std::vector<std::string> streams;
  for (const auto& [path, hex] : tree) {
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    if (parent == folder && !hex.empty()) streams.push_back(path);
  }
  return streams;
}

class RebolanTest : public ::testing::Test {
 protected:
  RebolanTest() {
    tmp_ = dir_.File("tmp");
    ::mkdir(tmp_.c_str(), 0700);
  }

  RunResult Rebolan(const std::vector<std::string>& args,
                    std::map<std::string, std::string> env = {},
                    const std::string& program = ProgramPath("Rebolan")) {
    env.emplace("TMPDIR", tmp_);
    env.emplace("TORVI32_REGISTRY", dir_.File("none.reg"));
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(), env);
  }

  // A run fed `input` on standard input.
  RunResult RebolanWithInput(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> argv{ProgramPath("Rebolan")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(
        argv, dir_.path(), {{"TMPDIR", tmp_}, {"TORVI32_REGISTRY", dir_.File("none.reg")}}, input);
  }

  std::string Copy(const std::string& fixture, const std::string& name) {
    std::string path = dir_.File(name);
    WriteWholeFile(path, ReadWholeFile(FixturePath("615/" + fixture)));
    return path;
  }

  std::string Write(const writer_615::Tree& tree, const std::string& name) {
    std::string path = dir_.File(name);
    EXPECT_EQ(writer_615::WriteTree(path, tree), S_OK);
    return path;
  }

  // Files left in the temporary folder, those in the private folders of
  // runs included (an empty private folder is listed itself).
  std::vector<std::string> TempFiles() { return testing_support::FilesBelow(tmp_); }

  // Names of the files in the folder of the configuration, for leftovers.
  std::vector<std::string> FilesBeside() {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir_.path().c_str());
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && n != "tmp") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  // A folder holding a copy of Rebolan and, when given, a Quarlen script.
  std::string LoneRebolan(const std::string& quarlen_script) {
    std::string folder = dir_.File("bin");
    ::mkdir(folder.c_str(), 0755);
    std::string program = folder + "/Rebolan";
    WriteWholeFile(program, ReadWholeFile(ProgramPath("Rebolan")));
    ::chmod(program.c_str(), 0755);
    if (!quarlen_script.empty()) {
      WriteWholeFile(folder + "/Quarlen", "#!/bin/sh\n" + quarlen_script + "\n");
      ::chmod((folder + "/Quarlen").c_str(), 0755);
    }
    return program;
  }

  TempDir dir_;
  std::string tmp_;
};

const char kBasicIni[] = R"([Task0]

NameENG = My task
IsPrivate = 1
IsShared = 0
IsReadOnly = 0
Domain = VELOX
User = TORVI

Priority = 0

UseVirusScanner = 1
UseIntegrityChecker = 0
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 0
UseResidentBoot = 0
UseResidentProg = 0

Types = programs,documents

Areas = local

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ScanMemory = 1
IgnoreVirusType = 1
TestFileFull = 0
TestFileCompressed = 1
NoVirusFoundMsg = 0
VirusNotification = all

ChainedTaskENG = 

CreateReport = 1
CreateNewReportFile = 0
ReportFileNameENG = *

VirusFoundMsgENG = Virus was found !!!

ResidentExcludeFiles = "C:\TEMP\X.EXE"

[Task1]

NameENG = Weekly
IsPrivate = 0
IsShared = 1
IsReadOnly = 0

Priority = 3

UseVirusScanner = 1
UseIntegrityChecker = 1
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 0
UseResidentBoot = 0
UseResidentProg = 1

Types = programs,documents

Areas = local

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ScanMemory = 0
IgnoreVirusType = 1
TestFileFull = 0
TestFileCompressed = 1
NoVirusFoundMsg = 0
VirusNotification = None

IgnoreArchive = 0
NoContents = 0
ContentsOnChange = 0

ChainedTaskENG = 

CreateReport = 1
CreateNewReportFile = 0
ReportFileNameENG = *

NetAlert = 1
SendTo = "ADMIN","OPS desk"

VirusFoundMsgENG = Virus found\nCall the help desk

CheckDocs = 1
CheckWin16Progs = 1
CheckDOSProgs = 1
ResidentScan = None

[Task2]

NameENG = Daily scan
IsPrivate = 0
IsShared = 1
IsReadOnly = 0

Priority = 0

UseVirusScanner = 1
UseIntegrityChecker = 0
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 0
UseResidentBoot = 0
UseResidentProg = 0

Types = programs,documents,*.DOC+,*.XL?-

Areas = local,"C:\DATA\"S+,"C:\BOOT.INI"-,"D:\"+

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ScanMemory = 1
IgnoreVirusType = 1
TestFileFull = 0
TestFileCompressed = 1
NoVirusFoundMsg = 0
VirusNotification = all

ChainedTaskENG = 

CreateReport = 1
CreateNewReportFile = 0
ReportFileNameENG = *

VirusFoundMsgENG = Virus was found !!!

[Task3]

NameENG = Locked policy
IsPrivate = 0
IsShared = 0
IsReadOnly = 1

Priority = 0

UseVirusScanner = 0
UseIntegrityChecker = 0
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 1
UseResidentBoot = 0
UseResidentProg = 0

Types = 

Areas = 

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ChainedTaskENG = 

CreateReport = 0
CreateNewReportFile = 0
ReportFileNameENG = *

VirusFoundMsgENG = Virus was found !!!

BlockDOSOperations = 1
BlockWinOperations = 1
BlockFormat = 0

[MAIN]
OutputENG = @PATH@
NumTasks = 4
HexPassword = 65E4CC8F7F8C31
)";

std::string BasicIni(const std::string& path) {
  std::string text = kBasicIni;
  text.replace(text.find("@PATH@"), 6, path);
  return Crlf(text);
}

TEST_F(RebolanTest, ExportOfAFileWrittenByWindows) {
  const std::string cnf = Copy("basic.CNF", "basic.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string ini = dir_.File("out.ini");
  RunResult r = Rebolan({cnf, "-I" + ini, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadWholeFile(ini), BasicIni(cnf));
  EXPECT_EQ(ReadWholeFile(cnf), before) << "an export leaves the configuration alone";
  EXPECT_TRUE(TempFiles().empty()) << "the unused temporary file is removed";
}

// Tasks with equal names, names that differ in case and empty names are
// each written from their own stream, in enumeration order.
TEST_F(RebolanTest, ExportOfTasksWithEqualAndEmptyNames) {
  writer_615::Tree tree = writer_615::Skeleton();
  Task task;
  task.component_flags = 0;
  task.task_flags = 0x20;
  task.report_file_name = "";
  task.virus_found_msg = "a\\b";
  task.name = "Same";
  task.priority = 1;
  writer_615::AddTask(&tree, "_Common_/_ReadOnly_/1", task);
  task.name = "SAME";
  task.priority = 2;
  writer_615::AddTask(&tree, "_Common_/_ReadOnly_/2", task);
  task.name = "";
  task.priority = 3;
  writer_615::AddTask(&tree, "_Common_/_ReadOnly_/3", task);
  const std::string cnf = Write(tree, "same.CNF");
  const std::string ini = dir_.File("same.ini");
  RunResult r = Rebolan({cnf, "-I" + ini, "-LX"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::string expected;
  for (int i = 0; i < 3; ++i) {
    const char* names[] = {"Same", "SAME", ""};
    expected += "[Task" + std::to_string(i) + "]\n\nNameX = " + names[i] + R"(
IsPrivate = 0
IsShared = 0
IsReadOnly = 1

Priority = )" + std::to_string(i + 1) + R"(

UseVirusScanner = 0
UseIntegrityChecker = 0
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 0
UseResidentBoot = 0
UseResidentProg = 0

Types = 

Areas = 

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ChainedTaskX = 

CreateReport = 0
CreateNewReportFile = 0
ReportFileNameX = 

VirusFoundMsgX = a\\b

)";
  }
  expected += "[MAIN]\nOutputX = " + cnf + "\nNumTasks = 3\n";
  EXPECT_EQ(ReadWholeFile(ini), Crlf(expected));
}

// What a failed conversion killed at the wrong instant could leave: the new
// file's journal beside the old configuration, put back in its place by
// hand. Neither cfbtool nor Rebolan may roll that journal into the old
// file: it is moved aside, named, and the configuration read as it is.
TEST_F(RebolanTest, AJournalOfAnotherFileNeverChangesTheConfiguration) {
  const std::string cnf = Copy("basic.CNF", "T.CNF");
  const std::string original = ReadWholeFile(cnf);
  platform::FileSystem* fs = platform::FileSystem::Platform();
  ASSERT_EQ(0, fs->Rename(cnf, cnf + ".615"));
  WriteWholeFile(cnf, ReadWholeFile(FixturePath("615/v616.CNF")));  // the new file
  {
    // A commit of the new file that stopped after its journal was synced
    // and some of its sectors overwritten.
    std::string header = ReadWholeFile(cnf).substr(0, 512);
    std::unique_ptr<platform::File> file;
    platform::FileIdentity identity;
    ASSERT_EQ(0, fs->Open(cnf, platform::OpenMode::kReadOnly, &file));
    ASSERT_EQ(0, file->Identify(&identity));
    cfb::Journal journal(cnf, 512);
    ASSERT_EQ(S_OK, journal.Begin(ReadWholeFile(cnf).size() / 2, identity,
                                  reinterpret_cast<const uint8_t*>(header.data())));
    std::string zeros(512, '\0');
    journal.Add(0, reinterpret_cast<const uint8_t*>(zeros.data()));
    journal.Add(512, reinterpret_cast<const uint8_t*>(zeros.data()));
    ASSERT_EQ(S_OK, journal.Sync());
  }
  ASSERT_EQ(0, fs->Delete(cnf));
  ASSERT_EQ(0, fs->Rename(cnf + ".615", cnf));  // put back by hand
  const std::string journal_bytes = ReadWholeFile(cnf + "-journal");

  RunResult ls = testing_support::Run({ProgramPath("cfbtool"), "ls", cnf}, dir_.path());
  EXPECT_EQ(0, ls.exit_status) << ls.err;
  EXPECT_NE(std::string::npos, ls.err.find(cnf + "-journal.stale")) << ls.err;
  EXPECT_EQ(original, ReadWholeFile(cnf));
  EXPECT_EQ(journal_bytes, ReadWholeFile(cnf + "-journal.stale"));
  EXPECT_FALSE(PathExists(cnf + "-journal"));

  RunResult r = Rebolan({"/Iout.ini", "/Psecret1", "T.CNF"});
  EXPECT_EQ(0, r.exit_status) << r.err;
  EXPECT_EQ(original, ReadWholeFile(cnf));
  EXPECT_NE(std::string::npos, ReadWholeFile(dir_.File("out.ini")).find("[MAIN]"));
}

TEST_F(RebolanTest, ExportChecksThePassword) {
  const std::string cnf = Copy("basic.CNF", "basic.CNF");
  const std::string ini = dir_.File("out.ini");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string says;  // "" for nothing
  } cases[] = {
      {"no password", {cnf, "-I" + ini}, 255, "a password is stored: give it with /P"},
      {"wrong password", {cnf, "-I" + ini, "-Psecret2"}, 255,
       "the password given with /P is wrong"},
      {"another length", {cnf, "-I" + ini, "-Psecret"}, 255,
       "the password given with /P is wrong"},
      {"lower-case switches", {cnf, "-i" + ini, "-psecret1"}, 0, ""},
  };
  for (const Case& c : cases) {
    ::unlink(ini.c_str());
    RunResult r = Rebolan(c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.what << ": " << r.err;
    EXPECT_EQ(PathExists(ini), c.status == 0) << c.what;
    EXPECT_EQ(r.err, c.says.empty() ? "" : "Rebolan: " + c.says + "\n") << c.what;
  }
  // A file without a password needs none.
  const std::string open = Copy("domains.CNF", "domains.CNF");
  RunResult r = Rebolan({open, "-I" + ini});
  EXPECT_EQ(r.exit_status, 0) << r.err;
}

TEST_F(RebolanTest, ExportWalksDomainsAndUsersInReverseOrder) {
  const std::string cnf = Copy("domains.CNF", "domains.CNF");
  const std::string ini = dir_.File("out.ini");
  RunResult r = Rebolan({"-I" + ini, cnf});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string text = ReadWholeFile(ini);
  std::string names;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("NameENG = ", 0) == 0 || line.rfind("Domain = ", 0) == 0 ||
        line.rfind("User = ", 0) == 0) {
      names += line.substr(line.find('=') + 2);
      names.pop_back();  // the CR
      names += ";";
    }
  }
  EXPECT_EQ(names,
            "GAMMA-bob;GAMMA;bob;GAMMA-ann;GAMMA;ann;ALPHA-bob;ALPHA;bob;ALPHA-ann;ALPHA;ann;"
            "BETA-bob;BETA;bob;BETA-ann;BETA;ann;");
  EXPECT_NE(text.find("\r\n[MAIN]\r\nOutputENG = " + cnf + "\r\nNumTasks = 6\r\n"),
            std::string::npos);
  EXPECT_EQ(text.find("HexPassword"), std::string::npos);
}

TEST_F(RebolanTest, RegistryValueNamesTheConfiguration) {
  const std::string cnf = Copy("domains.CNF", "domains.CNF");
  const std::string reg = dir_.File("torvi32.reg");
  WriteWholeFile(reg,
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\r\n"
                 "\"CFG\"=\"" + cnf + "\"\r\n");
  const std::string ini = dir_.File("out.ini");
  RunResult r = Rebolan({"-I" + ini}, {{"TORVI32_REGISTRY", reg}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(ReadWholeFile(ini).find("OutputENG = " + cnf + "\r\n"), std::string::npos);
}

TEST_F(RebolanTest, ConversionCarriesEveryTaskAndThePassword) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  RunResult r = Rebolan({cnf});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(TempFiles().empty()) << "the INI file is deleted after a good hand-off";
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"Torvi32.CNF"}))
      << "the moved-aside old file is deleted";

  auto tree = Tree(cnf);
  EXPECT_EQ(tree["_Version_"], "68020000");
  EXPECT_EQ(tree["_Zarin_/cc012"], "0700000065e4cc8f7f8c31") << "the same stored bytes";
  ASSERT_EQ(StreamsIn(tree, "VELOX/TORVI").size(), 1u);
  ASSERT_EQ(StreamsIn(tree, "_Common_").size(), 2u);
  ASSERT_EQ(StreamsIn(tree, "_Common_/_ReadOnly_").size(), 1u);

  // The read-only task, byte for byte as the builder builds it.
  const std::string locked = tree[StreamsIn(tree, "_Common_/_ReadOnly_")[0]];
  EXPECT_EQ(locked, "10000000" "20000000" "03000000" "00000000" + std::string(32, '0') +
                        "0d000000" + HexOf("Locked policy") + "01000000" + HexOf("*") +
                        "13000000" + HexOf("Virus was found !!!") + "00000000" +
                        std::string(32, '0') + std::string(44, '0'));
  // Lists come back in the builder's order, markers translated.
  std::string shared;
  for (const std::string& s : StreamsIn(tree, "_Common_")) shared += tree[s] + "|";
  EXPECT_NE(shared.find("02000000" "06000000" + HexOf("*.XL?-") + "06000000" + HexOf("*.DOC+") +
                        "03000000" "05000000" + HexOf("D:\\+-") + "0d000000" +
                        HexOf("C:\\BOOT.INI-_") + "0a000000" + HexOf("C:\\DATA\\++")),
            std::string::npos)
      << shared;
  EXPECT_NE(shared.find(HexOf("Virus found\r\nCall the help desk")), std::string::npos);
  EXPECT_NE(shared.find("02000000" "08000000" + HexOf("OPS desk") + "05000000" + HexOf("ADMIN")),
            std::string::npos);
  const std::string mine = tree[StreamsIn(tree, "VELOX/TORVI")[0]];
  EXPECT_NE(mine.find("01000000" "0d000000" + HexOf("C:\\TEMP\\X.EXE")), std::string::npos);
}

TEST_F(RebolanTest, ConversionCarriesTasksWhateverTheirNames) {
  writer_615::Tree tree = writer_615::Skeleton();
  tree.storages.push_back("ALPHA");
  tree.storages.push_back("ALPHA/ann");
  tree.storages.push_back("BETA");
  tree.storages.push_back("BETA/bob");
  Task task;
  int n = 0;
  auto add = [&](const std::string& folder, const std::string& name, const std::string& message) {
    task.name = name;
    task.virus_found_msg = message;
    task.priority = ++n;
    writer_615::AddTask(&tree, folder + "/" + std::to_string(n), task);
  };
  add("_Common_", "Same", "C:\\VIRUS\\FOUND");
  add("_Common_", "SAME", "second");
  add("_Common_", "", "empty one");
  add("_Common_", "", "empty two");
  add("_Common_", "*shared", "fixed in common");
  add("_Common_/_ReadOnly_", "Same", "read-only twin");
  add("_Common_/_ReadOnly_", "*ro", "fixed read-only");
  add("ALPHA/ann", "*mine", "fixed private");
  add("BETA/bob", "*mine", "the same fixed name, another user");
  add("BETA/bob", "Same", "private twin");
  // Quarlen gives 68962 to the second task it names in _Common_: this one
  // must be written before that.
  add("_Common_", "*68962", "numbered fixed name");
  const std::string cnf = Write(tree, "names.CNF");
  RunResult r = Rebolan({cnf});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  auto result = Tree(cnf);
  EXPECT_EQ(StreamsIn(result, "_Common_").size(), 6u);
  EXPECT_NE(result["_Common_/68962"].find(HexOf("numbered fixed name")), std::string::npos);
  EXPECT_EQ(StreamsIn(result, "_Common_/_ReadOnly_").size(), 2u);
  EXPECT_EQ(StreamsIn(result, "ALPHA/ann"), (std::vector<std::string>{"ALPHA/ann/mine"}));
  EXPECT_EQ(StreamsIn(result, "BETA/bob").size(), 2u);
  EXPECT_TRUE(result.count("BETA/bob/mine"));
  EXPECT_TRUE(result.count("_Common_/shared"));
  EXPECT_TRUE(result.count("_Common_/_ReadOnly_/ro"));
  std::string all;
  for (const auto& [path, hex] : result) all += hex + "|";
  for (const char* message : {"C:\\VIRUS\\FOUND", "second", "empty one", "empty two",
                              "fixed in common", "read-only twin", "fixed read-only",
                              "fixed private", "the same fixed name, another user",
                              "private twin", "numbered fixed name"}) {
    EXPECT_NE(all.find(HexOf(message)), std::string::npos) << message;
  }
  // Each task keeps its own name: the 616 stream's name follows the
  // 32-byte header.
  auto name_of = [&](const std::string& message) {
    for (const auto& [path, hex] : result) {
      if (hex.find(HexOf(message)) != std::string::npos) return hex.substr(64, 8 + 8);
    }
    return std::string("not found");
  };
  EXPECT_EQ(name_of("C:\\VIRUS\\FOUND"), "04000000" + HexOf("Same"));
  EXPECT_EQ(name_of("second"), "04000000" + HexOf("SAME"));
  EXPECT_EQ(name_of("empty one").substr(0, 8), "00000000");
  EXPECT_EQ(name_of("empty two").substr(0, 8), "00000000");
}

// The INI schema has no key for the second password: the conversion copies
// its stream into the new file byte for byte.
TEST_F(RebolanTest, ConversionCarriesTheSecondPassword) {
  const std::string ro012 = testing_support::Le32(5) + "ro-pw" + "old tail";
  writer_615::Tree tree = writer_615::Skeleton(615, "main");
  tree.streams.push_back({"_Zarin_/ro012", ro012});
  Task task;
  task.name = "t";
  writer_615::AddTask(&tree, "_Common_/1", task);
  const std::string cnf = Write(tree, "ro.CNF");
  RunResult r = Rebolan({cnf});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  auto result = Tree(cnf);
  EXPECT_EQ(result["_Zarin_/ro012"], Hex(ro012));
  EXPECT_EQ(result["_Zarin_/cc012"], Hex(testing_support::Le32(4) + "main"));

  // With nothing else to carry the builder makes no file: the hand-off
  // makes one to hold it.
  tree = writer_615::Skeleton();
  tree.streams.push_back({"_Zarin_/ro012", ro012});
  const std::string lone = Write(tree, "lone.CNF");
  r = Rebolan({lone});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  result = Tree(lone);
  EXPECT_EQ(result["_Zarin_/ro012"], Hex(ro012));
  EXPECT_EQ(result["_Version_"], Hex(testing_support::Le32(616)));
  EXPECT_EQ(result.count("_Zarin_/cc012"), 0u);

  // A second password that cannot be read is said, and the old file is
  // not handed off without it.
  const std::string damaged = Write(tree, "damaged.CNF");
  std::string bytes = ReadWholeFile(damaged);
  std::string name;  // the stream's directory entry: its UTF-16 name and terminator
  for (char c : std::string("ro012")) name += std::string(1, c) + '\0';
  const size_t entry = bytes.find(name + std::string(2, '\0'));
  ASSERT_NE(entry, std::string::npos);
  bytes.replace(entry + 0x74, 4, std::string("\xF0\xFF\xFF\x00", 4));  // its first sector
  WriteWholeFile(damaged, bytes);
  r = Rebolan({damaged});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_NE(r.err.find("Rebolan: cannot read the second password _Zarin_/ro012 of " + damaged +
                       ": 0x80030109 (STG_E_DOCFILECORRUPT: the compound file is damaged)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadWholeFile(damaged), bytes);
  for (const std::string& f : TempFiles()) platform::RemoveTempFile(f);
}

// Storages of domains and users that hold no task have no place in the INI
// text: an export says so, a conversion makes them in the new file.
TEST_F(RebolanTest, EmptyDomainAndUserStoragesArrive) {
  writer_615::Tree tree = writer_615::Skeleton();
  tree.storages.push_back("ALPHA");
  tree.storages.push_back("ALPHA/ann");
  tree.storages.push_back("ALPHA/idle");
  tree.storages.push_back("EMPTY");
  Task task;
  task.name = "t";
  writer_615::AddTask(&tree, "ALPHA/ann/1", task);
  const std::string cnf = Write(tree, "empty-areas.CNF");
  const std::string ini = dir_.File("out.ini");
  RunResult r = Rebolan({cnf, "-I" + ini});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err,
            "Rebolan: note: the domain storage EMPTY and the user storage ALPHA/idle hold no "
            "task and have no place in the INI text; a conversion run makes them in the new "
            "file\n");

  r = Rebolan({cnf});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto result = Tree(cnf);
  for (const char* storage : {"ALPHA", "ALPHA/ann", "ALPHA/idle", "EMPTY"}) {
    EXPECT_EQ(result.count(storage), 1u) << storage;
  }
  EXPECT_EQ(result.count("ALPHA/ann/1"), 0u) << "the task got a new stream name";

  // Only empty storages: the new file is made to hold them.
  tree = writer_615::Skeleton();
  tree.storages.push_back("EMPTY");
  const std::string only = Write(tree, "only-empty.CNF");
  r = Rebolan({only});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  result = Tree(only);
  EXPECT_EQ(result.count("EMPTY"), 1u);
  EXPECT_EQ(result["_Version_"], Hex(testing_support::Le32(616)));
}

TEST_F(RebolanTest, ConversionWithNothingToCarryLeavesNoFile) {
  const std::string cnf = Copy("empty.CNF", "empty.CNF");
  RunResult r = Rebolan({cnf});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("Rebolan: the old configuration held no task and no password: no new "
                       "file was made\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(PathExists(cnf)) << "the builder creates no file for nothing";
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_TRUE(FilesBeside().empty());
}

// Every way the hand-off can fail ends with the old file back in place.
TEST_F(RebolanTest, FailedHandOffsPutTheOldFileBack) {
  const std::string garbage_target = dir_.File("Torvi32.CNF");
  const std::string check_failed = "the new configuration failed its check: ";
  struct Case {
    const char* what;
    std::string script;  // "" for no builder at all
    int status;
    std::string says;
  } cases[] = {
      {"builder missing", "", 7, "the builder Quarlen could not be started"},
      {"builder fails", "exit 1", 9, check_failed + "the builder Quarlen ended with code 1"},
      {"builder writes garbage", "echo garbage > '" + garbage_target + "'", 9,
       check_failed + "cannot open " + garbage_target + ": 0x80030050 (STG_E_FILEALREADYEXISTS"},
      {"builder writes an empty 616 file",
       "/bin/cp '" + FixturePath("615/v616.CNF") + "' '" + garbage_target + "'", 9,
       check_failed + "VELOX/TORVI holds 0 task streams instead of 1"},
      {"builder crashes", "kill -9 $$", 9, check_failed + "the builder Quarlen ended with code"},
  };
  for (const Case& c : cases) {
    const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
    const std::string before = ReadWholeFile(cnf);
    const std::string program = LoneRebolan(c.script);
    RunResult r = Rebolan({cnf}, {{"PATH", ""}}, program);
    EXPECT_EQ(r.exit_status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("Rebolan: " + c.says), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("Rebolan: the old configuration is back at " + cnf + "\n"),
              std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_EQ(ReadWholeFile(cnf), before) << c.what;
    std::vector<std::string> kept = TempFiles();
    ASSERT_EQ(kept.size(), 1u) << c.what;
    EXPECT_NE(r.err.find(kept[0]), std::string::npos) << c.what << ": says where the INI is";
    EXPECT_NE(ReadWholeFile(kept[0]).find("NumTasks = 4"), std::string::npos) << c.what;
    platform::RemoveTempFile(kept[0]);
    EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"Torvi32.CNF", "bin"})) << c.what;
    ::unlink((dir_.File("bin") + "/Quarlen").c_str());
  }
}

// Runs that must not hand off leave the configuration untouched.
TEST_F(RebolanTest, RunsThatMustNotHandOff) {
  const std::string v616 = Copy("v616.CNF", "v616.CNF");
  RunResult r = Rebolan({v616});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(v616), ReadWholeFile(FixturePath("615/v616.CNF")));
  EXPECT_NE(r.err.find("not a configuration of version 615"), std::string::npos) << r.err;
  EXPECT_TRUE(TempFiles().empty()) << "an INI text of nothing, after a run that changed "
                                      "nothing, is not kept";

  r = Rebolan({dir_.File("missing.CNF")});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_NE(r.err.find("0x80030002"), std::string::npos) << r.err;
  for (const std::string& f : TempFiles()) platform::RemoveTempFile(f);

  // A file held by another program: never read as empty.
  const std::string cnf = Copy("basic.CNF", "held.CNF");
  const std::string before = ReadWholeFile(cnf);
  {
    std::unique_ptr<platform::Storage> held;
    ASSERT_EQ(platform::OpenStorageFile(cnf, platform::kStorageMode, &held), S_OK);
    r = Rebolan({cnf});
  }
  EXPECT_NE(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(cnf), before);
  for (const std::string& f : TempFiles()) platform::RemoveTempFile(f);

  // A malformed task stream.
  writer_615::Tree tree = writer_615::Skeleton();
  Task task;
  task.name = "ok";
  writer_615::AddTask(&tree, "_Common_/1", task);
  tree.streams.push_back({"_Common_/_ReadOnly_/2", "too short"});
  const std::string bad = Write(tree, "bad.CNF");
  const std::string bad_before = ReadWholeFile(bad);
  r = Rebolan({bad});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_NE(r.err.find("_Common_/_ReadOnly_/2"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(bad), bad_before);
  for (const std::string& f : TempFiles()) platform::RemoveTempFile(f);

  // A value the builder would cut: written in full by an export, never
  // handed off.
  tree = writer_615::Skeleton();
  task.name = "long";
  for (int i = 0; i < 20; ++i) {
    task.areas.push_back("C:\\FOLDER" + std::to_string(i));
    task.area_flags.push_back(0x20);
  }
  writer_615::AddTask(&tree, "_Common_/1", task);
  const std::string long_cnf = Write(tree, "long.CNF");
  const std::string long_before = ReadWholeFile(long_cnf);
  r = Rebolan({long_cnf});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_NE(r.err.find("\"long\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Areas"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(long_cnf), long_before);
  const std::string ini = dir_.File("long.ini");
  r = Rebolan({long_cnf, "-I" + ini});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_NE(ReadWholeFile(ini).find("\"C:\\FOLDER19\\\"S+\r\n"), std::string::npos)
      << "the export holds the whole value";
}

TEST_F(RebolanTest, ExportNeverOverwritesACompoundFile) {
  // The configuration named as the INI file, and as the "-new" file that
  // the INI text is first written into.
  const std::string cnf = Copy("basic.CNF", "basic.CNF-new");
  const std::string before = ReadWholeFile(cnf);
  for (const std::string& target : {cnf, dir_.File("basic.CNF")}) {
    RunResult r = Rebolan({cnf, "-I" + target, "-Psecret1"});
    EXPECT_EQ(r.exit_status, 8) << target << ": " << r.err;
    EXPECT_NE(r.err.find(cnf + " is a compound file"), std::string::npos)
        << target << ": " << r.err;
    EXPECT_EQ(ReadWholeFile(cnf), before) << target;
  }
  // An ordinary file is replaced.
  const std::string ini = dir_.File("old.ini");
  WriteWholeFile(ini, "old text");
  RunResult r = Rebolan({cnf, "-I" + ini, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(ini), BasicIni(cnf));
}

// An export whose INI file cannot be made ends with 8 and says why.
TEST_F(RebolanTest, AnIniFileThatCannotBeMadeIsSaid) {
  const std::string cnf = Copy("basic.CNF", "basic.CNF");
  const std::string in_missing_folder = dir_.File("missing/out.ini");
  struct Case {
    std::string ini;
    std::string says;
  } cases[] = {
      {cnf, "the INI file " + cnf + " is a compound file (a configuration?); it is not "
            "overwritten"},
      {in_missing_folder,
       "cannot create the INI file " + in_missing_folder + ": No such file or directory"},
      {"/dev/full", "cannot check the INI file /dev/full before writing it: Invalid argument"},
  };
  for (const Case& c : cases) {
    RunResult r = Rebolan({cnf, "-I" + c.ini, "-Psecret1"});
    EXPECT_EQ(r.exit_status, 8) << c.ini << ": " << r.err;
    EXPECT_EQ(r.err, "Rebolan: " + c.says + "\n") << c.ini;
  }
  EXPECT_EQ(ReadWholeFile(cnf), ReadWholeFile(FixturePath("615/basic.CNF")));
}

TEST_F(RebolanTest, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"-X"}, 6, "unknown switch -X (known: /I, /L, /P, /A, /C, /R, /V, /S, /N;"},
      {{"/"}, 6, "a switch letter is missing after \"/\""},
      {{"-L" + std::string(16, 'L'), "-I" + std::string("x.ini")}, 6,
       "the language code (/L) is 16 characters long; at most 15 are accepted"},
      // 12 characters: more than the builder takes
      {{"-LABCDEFGHIJKL"}, 6,
       "the language code ABCDEFGHIJKL is longer than the 11 characters that the builder "
       "Quarlen accepts"},
      // no INI key can hold "="
      {{"-LE=G"}, 6, "the language code E=G holds \"=\", which cannot be part of an INI key"},
      {{std::string(260, 'c')}, 6,
       "the configuration path is 260 characters long; at most 259 are accepted"},
  };
  for (const Case& c : cases) {
    RunResult r = Rebolan(c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.args[0];
    EXPECT_NE(r.err.find("Rebolan: " + c.says), std::string::npos) << r.err;
    EXPECT_TRUE(TempFiles().empty()) << "nothing left behind";
  }
}

// Two configuration paths are refused before anything is read or written;
// a '/' word read as a path although it looks like a switch is said.
TEST_F(RebolanTest, TwoConfigurationPathsAreRefused) {
  const std::string cnf = Copy("basic.CNF", "T2.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string slash_ini = "/I" + dir_.File("out.ini");  // a path on POSIX
  RunResult r = Rebolan({slash_ini, cnf, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 6);
  EXPECT_EQ(r.err, "Rebolan: " + slash_ini + " is read as a path, not as the switch /I (a \"/\" "
                   "word holding a further \"/\" is a path); for the switch write -I" +
                   dir_.File("out.ini") + "\n" + "Rebolan: two configuration paths are given, " +
                   slash_ini + " and " + cnf + "; give at most one\n");
  EXPECT_EQ(FilesBeside(), std::vector<std::string>{"T2.CNF"});
  EXPECT_EQ(ReadWholeFile(cnf), before);
  EXPECT_TRUE(TempFiles().empty());
  // Written as the switch, the same command line is an export.
  r = Rebolan({"-I" + dir_.File("out.ini"), cnf, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(PathExists(dir_.File("out.ini")));
  // Two bare words of any kind.
  r = Rebolan({"a.CNF", "b.CNF"});
  EXPECT_EQ(r.exit_status, 6);
  EXPECT_EQ(r.err, "Rebolan: two configuration paths are given, a.CNF and b.CNF; give at most one\n");
}

// --help anywhere prints the usage; -h and /? stay refused with 6 and point
// to --help.
TEST_F(RebolanTest, HelpAndUnknownSwitches) {
  RunResult help = Rebolan({"x.CNF", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.find("usage: Rebolan"), 0u) << help.out;
  EXPECT_NE(help.out.find("/P-"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
  for (const std::string word : {"-h", "/?"}) {
    RunResult r = Rebolan({word});
    EXPECT_EQ(r.exit_status, 6);
    EXPECT_EQ(r.err, "Rebolan: unknown switch " + word +
                         " (known: /I, /L, /P, /A, /C, /R, /V, /S, /N; see Rebolan --help for the usage)\n");
  }
  RunResult lone = Rebolan({"-"});
  EXPECT_EQ(lone.err, "Rebolan: a switch letter is missing after \"-\" (see Rebolan --help for the usage)\n");
  EXPECT_TRUE(TempFiles().empty());
}

// /P- reads the main password as one line of standard input; what cannot
// be one password is refused with 6 before the configuration is read.
TEST_F(RebolanTest, PasswordFromStandardInput) {
  const std::string cnf = Copy("basic.CNF", "basic.CNF");
  const std::string ini = dir_.File("out.ini");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;  // "" for a run that says nothing
  } cases[] = {
      {"a line", {cnf, "-I" + ini, "-P-"}, "secret1\n", 0, ""},
      {"CR LF, /p-", {cnf, "-I" + ini, "/p-"}, "secret1\r\n", 0, ""},
      {"no line end", {cnf, "-I" + ini, "-P-"}, "secret1", 0, ""},
      {"a wrong password", {cnf, "-I" + ini, "-P-"}, "secret2\n", 255,
       "Rebolan: the password given with /P is wrong\n"},
      {"empty input", {cnf, "-I" + ini, "-P-"}, "", 6,
       "Rebolan: the password read from standard input (/P-) is empty\n"},
      {"an empty line", {cnf, "-I" + ini, "-P-"}, "\n", 6,
       "Rebolan: the password read from standard input (/P-) is empty\n"},
      {"too long", {cnf, "-I" + ini, "-P-"}, std::string(260, 'p') + "\n", 6,
       "Rebolan: the password read from standard input (/P-) is longer than 259 characters\n"},
      {"two lines", {cnf, "-I" + ini, "-P-"}, "secret1\nsecret1\n", 6,
       "Rebolan: standard input (/P-) holds more than one line; give the password alone on one "
       "line\n"},
      {"a NUL", {cnf, "-I" + ini, "-P-"}, std::string("sec\0ret\n", 8), 6,
       "Rebolan: the password read from standard input (/P-) holds a NUL byte\n"},
      {"beside another /P", {cnf, "-I" + ini, "-Psecret1", "-P-"}, "secret1\n", 6,
       "Rebolan: /P- reads the password from standard input, and another /P is given too; give "
       "one of them\n"},
  };
  for (const Case& c : cases) {
    ::unlink(ini.c_str());
    RunResult r = RebolanWithInput(c.args, c.input);
    EXPECT_EQ(r.exit_status, c.status) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(PathExists(ini), c.status == 0) << c.what;
    EXPECT_TRUE(TempFiles().empty()) << c.what;
  }
  // 259 characters fit (and are the wrong password here).
  RunResult r = RebolanWithInput({cnf, "-I" + ini, "-P-"}, std::string(259, 'p'));
  EXPECT_EQ(r.exit_status, 255) << r.err;
}

}  // namespace

namespace recovery {

platform::FileIdentity IdentityOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  platform::FileIdentity identity;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  return identity;
}

}  // namespace recovery

// What a conversion killed at each of its stages leaves is finished or
// undone by the next run, which then does its own work; nothing is left
// behind, and the run never claims that nothing changed over a half state.
TEST_F(RebolanTest, ARunFinishesOrUndoesWhatAKilledConversionLeft) {
  // The result of a conversion no one interrupted.
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string original = ReadWholeFile(cnf);
  ASSERT_EQ(Rebolan({cnf}).exit_status, 0);
  const std::string converted = ReadWholeFile(cnf);
  const auto converted_tree = Tree(cnf);
  const std::string aside = cnf + ".615";

  enum class Left { kNothing, kOldAside, kPartialNew, kCheckedNew };
  const char* const undone =
      "it was undone: the old configuration is as it was before that run\n";
  struct Case {
    const char* what;
    Left left;
    bool finishing;
    const char* recovery;  // as the report names it
    const char* said;
  } cases[] = {
      {"killed before the move", Left::kNothing, false, "undone", undone},
      {"killed after the move", Left::kOldAside, false, "undone", undone},
      {"killed during the build", Left::kPartialNew, false, "undone", undone},
      {"killed after the check", Left::kCheckedNew, true, "finished",
       " holds the converted configuration, and the old one is deleted\n"},
  };
  for (const Case& c : cases) {
    WriteWholeFile(c.left == Left::kNothing ? cnf : aside, original);
    if (c.left == Left::kNothing) ::unlink(aside.c_str());
    if (c.left != Left::kNothing) ::unlink(cnf.c_str());
    if (c.left == Left::kPartialNew) {
      WriteWholeFile(cnf, ReadWholeFile(FixturePath("615/v616.CNF")));
      WriteWholeFile(cnf + "-new", "what a killed builder left");
    }
    if (c.left == Left::kCheckedNew) WriteWholeFile(cnf, converted);
    // The interrupted run's INI text, in its private temporary folder.
    const std::string own = tmp_ + "/cnf-killed";
    ::mkdir(own.c_str(), 0700);
    WriteWholeFile(own + "/INI0001.tmp", "[MAIN]\r\n");
    platform::ConversionRecord record;
    record.token = "0123456789abcdef";
    record.configuration = cnf;
    record.old_path = aside;
    record.ini_path = own + "/INI0001.tmp";
    record.old_identity = recovery::IdentityOf(c.left == Left::kNothing ? cnf : aside);
    record.finishing = c.finishing;
    ASSERT_EQ(platform::WriteConversionRecord(record), 0) << c.what;

    TempDir reports;
    RunResult r = Rebolan({cnf, "-R" + reports.File("report.json")});
    EXPECT_EQ(r.exit_status, 0) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("found an unfinished conversion of " + cnf), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(ReadWholeFile(reports.File("report.json"))
                  .find(std::string("\"recovery\": \"") + c.recovery + "\""),
              std::string::npos)
        << c.what << ": the report says what the run found";
    // The killed run's INI text went with the sweep of the temporary folder.
    EXPECT_NE(r.err.find("Rebolan: removed " + own + "/INI0001.tmp, left by a run that was "
                         "killed\n"),
              std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_EQ(Tree(cnf), converted_tree) << c.what;
    EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"Torvi32.CNF"})) << c.what;
    EXPECT_TRUE(TempFiles().empty()) << c.what;
    if (c.finishing) {
      EXPECT_EQ(ReadWholeFile(cnf), converted) << c.what << ": finished, not converted again";
    } else {
      EXPECT_EQ(r.err.find("nothing was changed"), std::string::npos) << c.what << ": " << r.err;
    }
    ::unlink(cnf.c_str());
  }

  // A record cut short while it was written: the old file was never
  // touched, and the half record goes.
  WriteWholeFile(cnf, original);
  WriteWholeFile(platform::ConversionRecordPath(cnf) + "-new", "Torvi32 configuration");
  RunResult r = Rebolan({cnf});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(Tree(cnf), converted_tree);
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"Torvi32.CNF"}));
}

// While a record of another run lies beside a configuration, no program but
// Rebolan touches it, and a record Rebolan cannot read stops it too.
TEST_F(RebolanTest, AnUnfinishedConversionIsLeftToRebolan) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string before = ReadWholeFile(cnf);
  platform::ConversionRecord record;
  record.token = "fedcba9876543210";
  record.configuration = cnf;
  record.old_path = cnf + ".615";
  record.ini_path = tmp_ + "/none.tmp";
  record.old_identity = recovery::IdentityOf(cnf);
  ASSERT_EQ(platform::WriteConversionRecord(record), 0);
  const std::string record_text = ReadWholeFile(platform::ConversionRecordPath(cnf));

  const std::string ini = dir_.File("add.ini");
  WriteWholeFile(ini, "[MAIN]\r\nOutputENG=" + cnf + "\r\nNumTasks=1\r\n[Task0]\r\nNameENG=x\r\n");
  RunResult quarlen =
      testing_support::Run({ProgramPath("Quarlen"), ini, "/LENG"}, dir_.path(), {});
  RunResult cfbtool = testing_support::Run({ProgramPath("cfbtool"), "ls", cnf}, dir_.path(), {});
  for (const RunResult* run : {&quarlen, &cfbtool}) {
    EXPECT_NE(run->exit_status, 0) << run->err;
    EXPECT_NE(run->err.find("in the middle of a conversion (" + cnf + "-conversion); run Rebolan"),
              std::string::npos)
        << run->err;
  }
  EXPECT_EQ(ReadWholeFile(cnf), before);

  // Damaged: every run stops before reading or writing anything.
  WriteWholeFile(platform::ConversionRecordPath(cnf), record_text.substr(0, 50) + "\nbad\n");
  RunResult r = Rebolan({cnf});
  EXPECT_EQ(r.exit_status, 10) << r.err;
  EXPECT_NE(r.err.find("is not a conversion record that can be read"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(cnf), before);
  EXPECT_TRUE(PathExists(platform::ConversionRecordPath(cnf)));
  EXPECT_TRUE(TempFiles().empty());
}

// A stop signal during the build undoes the hand-off, and the run ends as
// that signal ends a program.
TEST_F(RebolanTest, AStopSignalDuringTheBuildUndoesTheHandOff) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string started = dir_.File("started");
  const std::string program = LoneRebolan("/usr/bin/touch '" + started + "'; exec /bin/sleep 20");
  const std::string err_path = dir_.File("err.txt");
  const pid_t pid = testing_support::Start(
      {program, cnf},
      {{"TMPDIR", tmp_}, {"TORVI32_REGISTRY", dir_.File("none.reg")}, {"PATH", ""}}, err_path);
  for (int i = 0; i < 200 && !PathExists(started); ++i) ::usleep(20000);
  ASSERT_TRUE(PathExists(started));
  const auto sent = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const std::string said = ReadWholeFile(err_path);
  EXPECT_NE(said.find("interrupted by signal 15; the conversion is undone"), std::string::npos)
      << said;
  EXPECT_EQ(ReadWholeFile(cnf), before);
  ::unlink(started.c_str());
  ::unlink(err_path.c_str());
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"Torvi32.CNF", "bin"}));
  EXPECT_TRUE(TempFiles().empty());
}

// A configuration path that is a symbolic link: its target is converted in
// its own folder, and the link stays a link.
TEST_F(RebolanTest, ALinkedConfigurationIsConvertedAtItsTarget) {
  const std::string real_folder = dir_.File("real");
  ::mkdir(real_folder.c_str(), 0700);
  const std::string target = real_folder + "/Torvi32.CNF";
  WriteWholeFile(target, ReadWholeFile(FixturePath("615/basic.CNF")));
  const std::string link = dir_.File("Torvi32.CNF");
  ASSERT_EQ(::symlink("real/Torvi32.CNF", link.c_str()), 0);
  RunResult r = Rebolan({link});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  struct stat info;
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(Tree(target)["_Version_"], "68020000");
  EXPECT_EQ(testing_support::FolderEntries(real_folder), (std::vector<std::string>{target}));
}

// An export of a file that cannot be opened ends as a conversion of it
// does: the storage code's status, "cannot open", and only "[MAIN]".
TEST_F(RebolanTest, AnExportOfAFileThatCannotBeOpened) {
  const std::string text = dir_.File("notes.CNF");
  WriteWholeFile(text, "not a compound file\n");
  const std::string held = Copy("basic.CNF", "held.CNF");
  std::unique_ptr<platform::Storage> holder;
  ASSERT_EQ(platform::OpenStorageFile(held, platform::kStorageMode, &holder), S_OK);
  struct Case {
    std::string path;
    const char* code;
  } cases[] = {{text, "0x80030050"}, {held, "0x80030020"}};
  for (const Case& c : cases) {
    const std::string ini = dir_.File("out.ini");
    RunResult r = Rebolan({c.path, "-I" + ini, "-Psecret1"});
    EXPECT_EQ(r.exit_status, 1) << c.path << ": " << r.err;
    EXPECT_NE(r.err.find("cannot open " + c.path + ": " + c.code), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("stored password"), std::string::npos) << r.err;
    EXPECT_EQ(ReadWholeFile(ini).find("[Task"), std::string::npos);
    EXPECT_NE(ReadWholeFile(ini).find("[MAIN]"), std::string::npos);
  }
}

// An export run that cannot read the configuration leaves an earlier
// export as it was; one that reads it replaces the file whole.
TEST_F(RebolanTest, AFailedExportKeepsTheEarlierExport) {
  const std::string cnf = Copy("domains.CNF", "domains.CNF");
  const std::string ini = dir_.File("export.ini");
  ASSERT_EQ(Rebolan({cnf, "-I" + ini}).exit_status, 0);
  const std::string good = ReadWholeFile(ini);
  ASSERT_NE(good.find("[Task"), std::string::npos);
  ::chmod(ini.c_str(), 0640);

  RunResult r = Rebolan({dir_.File("domians.CNF"), "-I" + ini});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_NE(r.err.find("the INI file " + ini + " is left as it was"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(ini), good);

  WriteWholeFile(ini, "something else\r\n");
  ASSERT_EQ(Rebolan({cnf, "-I" + ini}).exit_status, 0);
  EXPECT_EQ(ReadWholeFile(ini), good);
  struct stat info;
  ASSERT_EQ(::stat(ini.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u) << "the replaced file's mode stays";
  EXPECT_FALSE(PathExists(ini + "-new"));
}

// Names taken from the file reach the terminal with their control
// characters escaped: a stream name holding an escape sequence and a line
// break cannot forge a line or recolour the terminal.
TEST_F(RebolanTest, MessagesEscapeControlCharactersOfNames) {
  writer_615::Tree tree = writer_615::Skeleton();
  tree.streams.push_back({"_Common_/\x1B[2J\nRebolan - all fine", std::string(20, 'x')});
  const std::string cnf = Write(tree, "control.CNF");
  RunResult r = Rebolan({cnf, "-I" + dir_.File("out.ini")});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("_Common_/\\x1B[2J\\x0ARebolan - all fine"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A malformed task stream is reported once and passed over: every other
// task of its area is still exported, the run ends with 2 and a conversion
// does not hand off.
TEST_F(RebolanTest, AMalformedStreamCostsOnlyItsOwnTask) {
  writer_615::Tree tree = writer_615::Skeleton();
  for (const char* name : {"one", "two", "three"}) {
    Task task;
    task.name = name;
    writer_615::AddTask(&tree, std::string("_Common_/") + name, task);
  }
  tree.streams.push_back({"_Common_/bad", std::string(20, 'x')});
  const std::string cnf = Write(tree, "damaged.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string ini = dir_.File("out.ini");
  RunResult r = Rebolan({cnf, "-I" + ini});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  const std::string text = ReadWholeFile(ini);
  for (const char* name : {"one", "two", "three"}) {
    EXPECT_NE(text.find(std::string("NameENG = ") + name + "\r\n"), std::string::npos) << name;
  }
  const std::string line = "Rebolan: task stream _Common_/bad of " + cnf +
                           " cannot be read: the stream is shorter than the 32-byte header (20)\n";
  const size_t said = r.err.find(line);
  ASSERT_NE(said, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("_Common_/bad", said + line.size()), std::string::npos)
      << "said once: " << r.err;

  r = Rebolan({cnf});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  EXPECT_EQ(ReadWholeFile(cnf), before) << "no hand-off";
  for (const std::string& f : TempFiles()) platform::RemoveTempFile(f);
}

namespace {

// A configuration that the user may not write (mode 0444; in CI, run as
// root, the reader is the user nobody).
class RebolanReaderTest : public RebolanTest {
 protected:
  RebolanReaderTest() {
    testing_support::GiveToReader(dir_.path(), 0755);
    testing_support::GiveToReader(tmp_, 0700);
    cnf_ = Copy("basic.CNF", "basic.CNF");
    testing_support::GiveToReader(cnf_, 0444);
    before_ = ReadWholeFile(cnf_);
  }
  RunResult Reader(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ProgramPath("Rebolan")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::RunAsReader(
        argv, dir_.path(), {{"TMPDIR", tmp_}, {"TORVI32_REGISTRY", dir_.File("none.reg")}});
  }

  std::string cnf_;
  std::string before_;
};

// An export only reads the configuration: it reads one that the user may
// not write, whole, and writes nothing of it. A conversion must write it
// and is refused as before, the file left as it was.
TEST_F(RebolanReaderTest, AnExportReadsAConfigurationThatMayNotBeWritten) {
  const std::string ini = dir_.File("out.ini");
  RunResult r = Reader({cnf_, "-I" + ini, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadWholeFile(ini), BasicIni(cnf_));
  EXPECT_EQ(ReadWholeFile(cnf_), before_);
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"basic.CNF", "out.ini"}));
  EXPECT_TRUE(TempFiles().empty());

  r = Reader({cnf_, "-Psecret1"});
  EXPECT_NE(r.exit_status, 0);
  EXPECT_NE(r.err.find("0x80030005"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(cnf_), before_);
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"basic.CNF", "out.ini"}));
}

// An interrupted run's journal: the export cannot take it back and refuses
// the file, saying what does; file and journal stay, and an earlier export
// stays as it was. A run by a user who may write the file takes it back.
TEST_F(RebolanReaderTest, AnExportRefusesAConfigurationWithAnUnfinishedJournal) {
  cfb_test::LeaveUnfinishedJournal(cnf_);
  const std::string journal_path = cfb::JournalPath(cnf_);
  testing_support::GiveToReader(journal_path, 0600);
  const std::string journal = ReadWholeFile(journal_path);
  const std::string ini = dir_.File("out.ini");
  WriteWholeFile(ini, "an earlier export");
  testing_support::GiveToReader(ini, 0644);
  RunResult r = Reader({cnf_, "-I" + ini, "-Psecret1"});
  EXPECT_NE(r.exit_status, 0);
  EXPECT_NE(r.err.find(cnf_ + " is not read: an interrupted run left unfinished changes in it (" +
                       journal_path + ")"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadWholeFile(journal_path), journal);
  EXPECT_EQ(ReadWholeFile(cnf_), before_);
  EXPECT_EQ(ReadWholeFile(ini), "an earlier export");
  EXPECT_EQ(FilesBeside(),
            (std::vector<std::string>{"basic.CNF", "basic.CNF-journal", "out.ini"}));

  ::chmod(cnf_.c_str(), 0644);  // a user who may write it
  r = Rebolan({cnf_, "-I" + ini, "-Psecret1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(ini), BasicIni(cnf_));
  EXPECT_EQ(FilesBeside(), (std::vector<std::string>{"basic.CNF", "out.ini"}));
}

}  // namespace
