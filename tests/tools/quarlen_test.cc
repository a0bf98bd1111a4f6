// End-to-end runs of the Quarlen program on small INI files; every file it
// builds is read back by olefile, byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::Hex;
using testing_support::Le32;
using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

std::string Text(const std::string& s) { return Le32(static_cast<uint32_t>(s.size())) + s; }

struct Task {
  uint32_t component = 0, task = 0, resident = 0;
  int32_t priority = 0;
  std::string name, report = "*", message = "Virus was found !!!", chained;
  std::vector<std::string> types, areas, send_to, exclude;  // in stream order
};

// The task stream as the file must hold it: header, texts, lists, 22 zeros.
std::string StreamBytes(const Task& t) {
  std::string b = Le32(t.component) + Le32(t.task) + Le32(t.resident) +
                  Le32(static_cast<uint32_t>(t.priority)) + std::string(16, '\0') +
                  Text(t.name) + Text(t.report) + Text(t.message) + Text(t.chained);
  for (const auto* list : {&t.types, &t.areas, &t.send_to, &t.exclude}) {
    b += Le32(static_cast<uint32_t>(list->size()));
    for (const std::string& item : *list) b += Text(item);
  }
  return b + std::string(22, '\0');
}

std::string StreamLine(const std::string& path, const std::string& bytes) {
  return "F " + path + " " + std::to_string(bytes.size()) + " " + Hex(bytes);
}

// The dump olefile gives for the given lines, in its sorted order.
std::string Dump(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  std::string dump;
  for (const std::string& line : lines) dump += line + "\n";
  return dump;
}

const char kSkeletonVersion[] = "F _Version_ 4 68020000";

RunResult Quarlen(const std::vector<std::string>& args, const std::string& cwd,
                  const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> argv = {ProgramPath("Quarlen")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv, cwd, env);
}

TEST(QuarlenTest, MainWithOneTaskAndNoSection) {
  TempDir dir;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nNumTasks=1\r\n");
  RunResult r = Quarlen({"A.INI"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // The count names a section the file lacks: the default task is said.
  EXPECT_EQ(r.err, "Quarlen: " + dir.File("A.INI") +
                       ": [MAIN] NumTasks=1: there is no [Task0] (no task section at all); a "
                       "task \"(not specified)\" with every default is written in its place\n");
  Task t;
  t.component = 0x01;
  t.task = 0x90A11418;
  t.name = "(not specified)";
  std::string stream = StreamBytes(t);
  ASSERT_EQ(stream.size(), 121u);
  EXPECT_EQ(OlefileDump(dir.File("TORVI32.CNF")),
            Dump({kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
                  StreamLine("_Common_/2852926", stream)}));
}

TEST(QuarlenTest, LanguagesPasswordsAreasAndLists) {
  TempDir dir;
  WriteWholeFile(dir.File("full.ini"),
                 "[MAIN]\r\n"
                 "OutputENG=eng.CNF\r\n"
                 "OutputDEU=deu.CNF\r\n"
                 "Password=secret\r\n"
                 "RGWPassword=abcd\r\n"
                 "NumTasks=3\r\n"
                 "[Task0]\r\n"
                 "NameENG=Daily scan\r\n"
                 "NameDEU=Tagesscan\r\n"
                 "IsPrivate=1\r\n"
                 "Domain=OFFICE\r\n"
                 "User=anna\r\n"
                 "VirusFoundMsgENG=Found!\\nStop\r\n"
                 "Priority=2\r\n"
                 "Areas=\"C:\\DATA\\\"S-,local\r\n"
                 "Types=*.doc\r\n"
                 "NetAlert=1\r\n"
                 "SendTo=\"ADMIN\",\"ops, night\"\r\n"
                 "[Task1]\r\n"
                 "NameENG=*Fixed\r\n"
                 "NameDEU=*Fixed\r\n"
                 "IsReadOnly=1\r\n"
                 "UseVirusScanner=0\r\n"
                 "ResidentExcludeFiles=\"C:\\A.EXE\"\r\n"
                 "[Task2]\r\n"
                 "IsShared=0\r\n");
  // Languages run last switch first: ENG, then DEU, in one process, so the
  // generated names go on from one pass to the next.
  RunResult r = Quarlen({"/LDEU", dir.File("full.ini"), "-LENG"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  Task daily;
  daily.component = 0x01;
  daily.task = 0x90811500;  // private: neither 0x10 nor 0x20
  daily.priority = 2;
  daily.name = "Daily scan";
  daily.message = "Found!\r\nStop";
  daily.types = {"*.doc"};
  daily.areas = {"C:\\DATA\\-+"};
  daily.send_to = {"ops, night", "ADMIN"};
  Task fixed;
  fixed.task = 0x10020;
  fixed.name = "*Fixed";
  fixed.exclude = {"C:\\A.EXE"};
  Task plain;
  plain.component = 0x01;
  plain.task = 0x90A11408;
  plain.name = "(not specified)";
  const std::string cc012 = Le32(6) + std::string("\x65\xe4\x8f\xbc\x64\x74", 6);
  const std::string ro012 = Le32(4) + "abcd";

  std::vector<std::string> common = {
      kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
      "S OFFICE", "S OFFICE/anna", StreamLine("_Zarin_/cc012", cc012),
      StreamLine("_Zarin_/ro012", ro012), StreamLine("_Common_/_ReadOnly_/Fixed",
                                                     StreamBytes(fixed))};
  std::vector<std::string> eng = common;
  eng.push_back(StreamLine("OFFICE/anna/2852926", StreamBytes(daily)));
  eng.push_back(StreamLine("OFFICE/anna/11374", StreamBytes(plain)));
  EXPECT_EQ(OlefileDump(dir.File("eng.CNF")), Dump(eng));

  daily.name = "Tagesscan";
  daily.message = "Virus was found !!!";
  std::vector<std::string> deu = common;
  deu.push_back(StreamLine("OFFICE/anna/68962", StreamBytes(daily)));
  deu.push_back(StreamLine("OFFICE/anna/6563", StreamBytes(plain)));
  EXPECT_EQ(OlefileDump(dir.File("deu.CNF")), Dump(deu));

  // libgsf reads the file without a complaint.
  RunResult gsf = testing_support::Run({"/usr/bin/gsf", "list", dir.File("eng.CNF")});
  EXPECT_EQ(gsf.exit_status, 0);
  EXPECT_EQ(gsf.err, "");
  EXPECT_NE(gsf.out.find("_Version_"), std::string::npos) << gsf.out;
}

TEST(QuarlenTest, HexPasswordDeletionsAndAFreshFile) {
  TempDir dir;
  // First run: two tasks of the same name in the common and read-only areas.
  WriteWholeFile(dir.File("one.ini"),
                 "[MAIN]\r\nNumTasks=2\r\n[Task0]\r\nNameENG=Twice\r\n"
                 "[Task1]\r\nNameENG=Twice\r\nIsReadOnly=1\r\n");
  ASSERT_EQ(Quarlen({"one.ini"}, dir.path()).exit_status, 0);
  // Second run, a fresh process: deletes the common one and adds a task
  // under the first generated name again, now free in "_Common_".
  WriteWholeFile(dir.File("two.ini"),
                 "[MAIN]\r\nHexPassword=0AF1\r\nPassword=ignored\r\nNumTasks=1\r\n"
                 "[ToDelete]\r\nNumTasks=3\r\nTask0=twice\r\nTask1=\r\nTask2=Missing\r\n"
                 "[Task0]\r\nNameENG=New\r\nUseVirusScanner=0\r\n");
  RunResult r = Quarlen({"two.ini"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.err.find("Missing"), std::string::npos) << r.err;  // reported, not fatal

  Task twice;
  twice.component = 0x01;
  twice.task = 0x90A11428 & ~0x10u;
  twice.name = "Twice";
  Task fresh;
  fresh.task = 0x10010;
  fresh.name = "New";
  EXPECT_EQ(OlefileDump(dir.File("TORVI32.CNF")),
            Dump({kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
                  StreamLine("_Zarin_/cc012", Le32(2) + "\x0a\xf1"),
                  StreamLine("_Common_/_ReadOnly_/11374", StreamBytes(twice)),
                  StreamLine("_Common_/2852926", StreamBytes(fresh))}));

  // DeleleteOldCNF without passwords or tasks leaves no file at all.
  WriteWholeFile(dir.File("three.ini"), "[MAIN]\r\nDeleleteOldCNF=1\r\n");
  EXPECT_EQ(Quarlen({"three.ini"}, dir.path()).exit_status, 0);
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));
}

TEST(QuarlenTest, DefaultIniComesFromTheWindowsFolder) {
  TempDir windows, work;
  WriteWholeFile(windows.File("TORVI32.INI"), "[MAIN]\r\nOutput=out.CNF\r\nNumTasks=1\r\n");
  WriteWholeFile(work.File("TORVI32.INI"), "[MAIN]\r\nOutput=wrong.CNF\r\nNumTasks=1\r\n");
  RunResult r = Quarlen({"/L"}, work.path(), {{"WINDIR", windows.path()}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(PathExists(work.File("out.CNF")));
  EXPECT_FALSE(PathExists(work.File("wrong.CNF")));
}

TEST(QuarlenTest, RefusedRunsTouchNothing) {
  TempDir dir;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nNumTasks=1\r\n");
  const std::vector<std::vector<std::string>> command_lines = {
      {"A.INI", "/x"},
      {"A.INI", "/lENG"},
      {"A.INI", "/L" + std::string(12, 'E')},
      {"A.INI", dir.File(std::string(260, 'a'))},
  };
  for (const auto& args : command_lines) {
    RunResult r = Quarlen(args, dir.path());
    EXPECT_EQ(r.exit_status, 255) << args[1];  // -1 keeps 8 bits on POSIX
    EXPECT_NE(r.err.find("Quarlen: "), std::string::npos) << r.err;
    EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF"))) << args[1];
  }
}

TEST(QuarlenTest, MissingIniFileAndUnwritableTasksAreReported) {
  TempDir dir;
  // A private-area task before any private task has named a domain.
  WriteWholeFile(dir.File("B.INI"), "[MAIN]\r\nNumTasks=1\r\n[Task0]\r\nNameENG=Lost\r\n"
                                    "IsShared=0\r\n[ToDelete]\r\nNumTasks=1\r\nTask0=*Gone\r\n");
  RunResult r = Quarlen({"missing.ini", "B.INI"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.err.find("missing.ini"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"Lost\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"*Gone\""), std::string::npos) << r.err;
  // The refusal comes before any storage call: not even a skeleton.
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));
}

}  // namespace
