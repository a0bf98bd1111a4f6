// The bundled example examples/Torvi32.CNF: a realistic version-615
// configuration. This file is its generator: the test checks that the
// committed file holds what the generator writes (compared element by
// element through olefile, so that the engine's block layout may change),
// and that the example converts whole. To write the file anew:
//   CNF_WRITE_EXAMPLE=1 build/tests/tools_tests --gtest_filter='BundledExample.*'

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder/password_store.h"
#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::OlefileDump;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::SourceDir;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using writer_615::Task;

// The main password of the example, as an administrator would type it.
constexpr char kMainPassword[] = "main-password";

// Module bits of ComponentFlags.
constexpr uint32_t kScanner = 0x01, kIntegrity = 0x02, kBlocker = 0x10, kResidentBoot = 0x20,
                   kResidentProg = 0x40;

writer_615::Tree ExampleTree() {
  std::string password = kMainPassword;
  builder::ScramblePassword(reinterpret_cast<uint8_t*>(&password[0]),
                            static_cast<uint32_t>(password.size()));
  writer_615::Tree tree = writer_615::Skeleton(615, password);
  for (const char* storage : {"OFFICE", "OFFICE/anna", "OFFICE/boris", "LAB", "LAB/chen"}) {
    tree.storages.push_back(storage);
  }

  // Private tasks: two users of the office, one of the laboratory.
  Task anna;
  anna.name = "Anna's documents";
  anna.task_flags = 0x90A11408;
  anna.types = {"*.DOC", "*.XL?"};
  anna.type_flags = {0, 1};
  anna.areas = {"C:\\Users\\anna", "C:\\Users\\anna\\Desktop\\NOTES.TXT"};
  anna.area_flags = {0x20, 0xC0};
  writer_615::AddTask(&tree, "OFFICE/anna/1", anna);

  Task anna_usb = anna;
  anna_usb.name = "USB stick";
  anna_usb.task_flags = 0x91211408;  // removable drives instead of local ones
  anna_usb.types = {};
  anna_usb.type_flags = {};
  anna_usb.areas = {};
  anna_usb.area_flags = {};
  writer_615::AddTask(&tree, "OFFICE/anna/2", anna_usb);

  Task boris;
  boris.name = "Quick check";
  boris.task_flags = 0x90A11408;
  boris.priority = 1;
  writer_615::AddTask(&tree, "OFFICE/boris/1", boris);

  Task chen;
  chen.name = "Lab share";
  chen.component_flags = kScanner | kIntegrity;
  chen.task_flags = 0x92A11408;  // remote drives too
  chen.areas = {"\\\\LABSRV\\DATA", "D:\\"};
  chen.area_flags = {0x20, 0x00};
  chen.resident_exclude_files = {"C:\\LAB\\ANALYZER.EXE"};
  writer_615::AddTask(&tree, "LAB/chen/1", chen);

  // Common tasks.
  Task daily;
  daily.name = "Daily scan";
  daily.task_flags = 0x90A91418;  // starts with the operating system
  daily.types = {"*.DOC", "*.XL?"};
  daily.type_flags = {0, 1};
  daily.areas = {"C:\\DATA", "C:\\BOOT.INI", "D:\\"};
  daily.area_flags = {0x20, 0xC0, 0x00};
  writer_615::AddTask(&tree, "_Common_/101", daily);

  Task weekly;
  weekly.name = "Weekly full scan";
  weekly.component_flags = kScanner | kIntegrity | kResidentProg;
  weekly.task_flags = 0x40A11518;  // network alert, no virus notification
  weekly.resident_flags = 0x47000;
  weekly.priority = 3;
  weekly.report_file_name = "C:\\Reports\\weekly.txt";
  weekly.virus_found_msg = "Virus found\r\nCall the help desk on 4711";
  weekly.chained_task = "Daily scan";
  weekly.send_to = {"ADMIN", "OPS desk"};
  weekly.resident_exclude_files = {"C:\\TOOLS\\BACKUP.EXE", "C:\\TEMP\\X.EXE"};
  writer_615::AddTask(&tree, "_Common_/22", weekly);

  // A read-only task that users cannot change.
  Task policy;
  policy.name = "Company policy";
  policy.component_flags = kBlocker | kResidentBoot;
  policy.task_flags = 0x10000020;
  policy.resident_flags = 0x3;
  writer_615::AddTask(&tree, "_Common_/_ReadOnly_/7", policy);
  return tree;
}

std::string ExamplePath() { return SourceDir() + "/examples/Torvi32.CNF"; }

TEST(BundledExample, CommittedFileHoldsWhatTheGeneratorWrites) {
  TempDir dir;
  const std::string generated = dir.File("Torvi32.CNF");
  ASSERT_EQ(writer_615::WriteTree(generated, ExampleTree()), S_OK);
  const char* write = std::getenv("CNF_WRITE_EXAMPLE");
  if (write != nullptr && std::string(write) == "1") {
    WriteWholeFile(ExamplePath(), ReadWholeFile(generated));
  }
  const std::string expected = OlefileDump(generated);
  ASSERT_EQ(expected.find("ERROR"), std::string::npos) << expected;
  EXPECT_EQ(OlefileDump(ExamplePath()), expected)
      << "examples/Torvi32.CNF differs from its generator; rerun with CNF_WRITE_EXAMPLE=1";
}

// Streams per folder as olefile sees them ("" for the root).
std::map<std::string, int> StreamCounts(const std::string& path) {
  std::map<std::string, int> counts;
  std::istringstream lines(OlefileDump(path));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("F ", 0) != 0) continue;
    std::string element = line.substr(2, line.find(' ', 2) - 2);
    size_t slash = element.rfind('/');
    ++counts[slash == std::string::npos ? "" : element.substr(0, slash)];
  }
  return counts;
}

// olefile's line for the stored main password (size and bytes).
std::string PasswordLine(const std::string& path) {
  std::istringstream lines(OlefileDump(path));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("F _Zarin_/cc012 ", 0) == 0) return line;
  }
  return "";
}

// The example converts whole: exports without a message when given its
// password, and a conversion run keeps every area's count and the password.
TEST(BundledExample, ConvertsWhole) {
  TempDir dir;
  const std::string cnf = dir.File("Torvi32.CNF");
  WriteWholeFile(cnf, ReadWholeFile(ExamplePath()));
  // The registry file names the configuration, as on an installed machine.
  WriteWholeFile(dir.File("torvi32.reg"),
                 "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\n"
                 "\"CFG\"=\"" + cnf + "\"\n");
  const std::map<std::string, std::string> env = {{"TORVI32_REGISTRY", dir.File("torvi32.reg")},
                                                  {"TMPDIR", dir.path()}};

  RunResult exported =
      testing_support::Run({ProgramPath("Rebolan"), "-I" + dir.File("out.ini"),
                            std::string("-P") + kMainPassword},
                           "", env);
  EXPECT_EQ(exported.exit_status, 0) << exported.err;
  EXPECT_EQ(exported.err, "");
  EXPECT_NE(ReadWholeFile(dir.File("out.ini")).find("NumTasks = 7"), std::string::npos)
      << ReadWholeFile(dir.File("out.ini"));

  std::map<std::string, int> before = StreamCounts(cnf);
  const std::string password_before = PasswordLine(cnf);
  ASSERT_NE(password_before, "");
  RunResult converted = testing_support::Run({ProgramPath("Rebolan")}, "", env);
  ASSERT_EQ(converted.exit_status, 0) << converted.err;
  EXPECT_EQ(converted.err, "");
  std::map<std::string, int> after = StreamCounts(cnf);
  EXPECT_EQ(after["_Common_"], 2);
  EXPECT_EQ(after["_Common_/_ReadOnly_"], 1);
  EXPECT_EQ(after["OFFICE/anna"], 2);
  EXPECT_EQ(after["OFFICE/boris"], 1);
  EXPECT_EQ(after["LAB/chen"], 1);
  EXPECT_EQ(after["_Zarin_"], before["_Zarin_"]);
  EXPECT_EQ(PasswordLine(cnf), password_before);
}

}  // namespace
