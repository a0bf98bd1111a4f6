// Whole-program tests of the export of a version-616 file (Rebolan /I /A):
// Quarlen rebuilds the same tasks from the text, and what the text cannot
// carry is said.

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder/task_record.h"
#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::StorageContents;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

class Export616Test : public ::testing::Test {
 protected:
  RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{ProgramPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(),
                                {{"TMPDIR", dir_.path()},
                                 {"TORVI32_REGISTRY", dir_.File("none.reg")},
                                 {"PATH", testing_support::BinaryDir() + "/tools"}});
  }

  // Exports the version-616 file `cnf` (its main password, if any, is
  // `password`), has Quarlen build the text into a fresh file and returns
  // that file's path. *exported gets the export's result.
  std::string ExportAndRebuild(const std::string& cnf, const std::string& password,
                               RunResult* exported) {
    const std::string ini = cnf + ".ini";
    std::vector<std::string> args{cnf, "-I" + ini, "-A"};
    if (!password.empty()) args.push_back("-P" + password);
    *exported = Run("Rebolan", args);
    std::string text = ReadWholeFile(ini);
    const std::string rebuilt = cnf + ".rebuilt";
    const std::string output = "OutputENG = " + cnf + "\r\n";
    const size_t at = text.find(output);
    EXPECT_NE(at, std::string::npos) << text;
    if (at != std::string::npos) text.replace(at, output.size(), "OutputENG = " + rebuilt + "\r\n");
    WriteWholeFile(ini, text);
    RunResult built = Run("Quarlen", {ini});
    EXPECT_EQ(built.exit_status, 0) << built.err;
    return rebuilt;
  }

  // The streams of each storage, as sorted lists of bytes (generated stream
  // names aside), and the names of the "*" tasks' streams.
  static std::map<std::string, std::vector<std::string>> ByStorage(const std::string& cnf) {
    std::map<std::string, std::vector<std::string>> storages;
    for (const auto& [path, bytes] : StorageContents(cnf)) {
      if (path.empty() || path.back() == '/') continue;
      const size_t slash = path.rfind('/');
      const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
      storages[folder].push_back(bytes);
    }
    for (auto& [folder, streams] : storages) std::sort(streams.begin(), streams.end());
    return storages;
  }

  // The streams of each storage as olefile reads them, by their bytes (the
  // names of generated streams are the builder's own).
  static std::map<std::string, std::vector<std::string>> OlefileStreams(const std::string& cnf) {
    std::map<std::string, std::vector<std::string>> storages;
    std::istringstream lines(testing_support::OlefileDump(cnf));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string kind, path, size, hex;
      fields >> kind >> path >> size >> hex;
      if (kind != "F") {
        if (kind != "S") storages["ERROR"].push_back(line);
        continue;
      }
      const size_t slash = path.rfind('/');
      storages[slash == std::string::npos ? "" : path.substr(0, slash)].push_back(hex);
    }
    for (auto& [folder, streams] : storages) std::sort(streams.begin(), streams.end());
    return storages;
  }

  TempDir dir_;
};

// A small generator, the same on every machine.
class Draw {
 public:
  explicit Draw(uint32_t seed) : state_(seed) {}
  uint32_t Below(uint32_t n) {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 8) % n;
  }
  bool Coin() { return Below(2) == 1; }

 private:
  uint32_t state_;
};

// A random INI text in the builder's schema, with values the text carries;
// *password gets its main password ("" for none).
std::string RandomIni(uint32_t seed, const std::string& output, std::string* password) {
  Draw d(seed);
  const int tasks = 1 + static_cast<int>(d.Below(6));
  std::string text;
  int fixed = 0;
  for (int i = 0; i < tasks; ++i) {
    text += "[Task" + std::to_string(i) + "]\r\n";
    const uint32_t area = d.Below(3);
    std::string name = d.Below(4) == 0 ? "*Fixed" + std::to_string(fixed++)
                                       : "Task " + std::to_string(d.Below(1000));
    text += "NameENG = " + name + "\r\n";
    text += std::string("IsPrivate = ") + (area == 0 ? "1" : "0") + "\r\n";
    text += std::string("IsShared = ") + (area == 1 ? "1" : "0") + "\r\n";
    text += std::string("IsReadOnly = ") + (area == 2 ? "1" : "0") + "\r\n";
    if (area == 0) {
      text += "Domain = D" + std::to_string(d.Below(2)) + "\r\nUser = u" +
              std::to_string(d.Below(2)) + "\r\n";
    }
    text += "Priority = " + std::to_string(static_cast<int>(d.Below(9)) - 3) + "\r\n";
    for (const char* key : {"UseVirusScanner", "UseIntegrityChecker", "UseSimpleIntegrityChecker",
                            "UseBehaviourBlocker", "UseResidentBoot", "UseResidentProg",
                            "StartWithOS", "StartWithTorvi", "ExitWithLast", "NotifyExternal",
                            "ScanMemory", "IgnoreVirusType", "TestFileFull", "TestFileCompressed",
                            "NoVirusFoundMsg", "IgnoreArchive", "NoContents", "ContentsOnChange",
                            "CreateReport", "CreateNewReportFile", "BlockDOSOperations",
                            "BlockWinOperations", "BlockFormat", "CheckDocs", "CheckWin16Progs",
                            "CheckDOSProgs"}) {
      text += std::string(key) + " = " + (d.Coin() ? "1" : "0") + "\r\n";
    }
    const char* notifications[] = {"all", "first", "None"};
    text += std::string("VirusNotification = ") + notifications[d.Below(3)] + "\r\n";
    const char* scans[] = {"all", "nosyslib", "None"};
    text += std::string("ResidentScan = ") + scans[d.Below(3)] + "\r\n";
    std::string types = d.Coin() ? "programs" : "";
    for (uint32_t n = d.Below(3); n > 0; --n) {
      types += std::string(types.empty() ? "" : ",") + "*.T" + std::to_string(d.Below(50)) +
               (d.Coin() ? "+" : "-");
    }
    text += "Types = " + types + "\r\n";
    std::string areas = d.Coin() ? "local,remote" : "";
    const char* folder_markers[] = {"S+", "S-", "+", "-"};
    for (uint32_t n = d.Below(4); n > 0; --n) {
      std::string item = d.Coin() ? "\"C:\\DIR" + std::to_string(d.Below(50)) + "\\\"" +
                                        folder_markers[d.Below(4)]
                                  : "\"C:\\F" + std::to_string(d.Below(50)) + ".EXE\"" +
                                        (d.Coin() ? "+" : "-");
      areas += (areas.empty() ? "" : ",") + item;
    }
    text += "Areas = " + areas + "\r\n";
    if (d.Coin()) {
      text += "NetAlert = 1\r\nSendTo = \"ADMIN\",\"OPS desk " + std::to_string(d.Below(9)) +
              "\"\r\n";
    }
    if (d.Coin()) text += "ResidentExcludeFiles = \"C:\\X" + std::to_string(d.Below(9)) + ".EXE\"\r\n";
    if (d.Coin()) text += "ChainedTaskENG = Next " + std::to_string(d.Below(9)) + "\r\n";
    text += "ReportFileNameENG = R" + std::to_string(d.Below(9)) + ".TXT\r\n";
    text += "VirusFoundMsgENG = Line one\\nCall " + std::to_string(d.Below(99)) + "\r\n\r\n";
  }
  text += "[MAIN]\r\nOutputENG = " + output + "\r\nNumTasks = " + std::to_string(tasks) + "\r\n";
  password->clear();
  if (d.Coin()) *password = "pw" + std::to_string(d.Below(99));
  if (!password->empty()) text += "Password = " + *password + "\r\n";
  return text;
}

// Quarlen, given the export of a version-616 file, builds a file with the
// same tasks in the same areas, field for field, the same fixed stream
// names and the same password bytes: for the converted fixtures and for
// files built from random INI texts.
TEST_F(Export616Test, QuarlenRebuildsTheSameFileFromTheExport) {
  std::vector<std::pair<std::string, std::string>> files;  // path, main password
  for (const char* fixture : {"basic.CNF", "domains.CNF"}) {
    const std::string cnf = dir_.File(fixture);
    WriteWholeFile(cnf, ReadWholeFile(FixturePath(std::string("615/") + fixture)));
    RunResult converted = Run("Rebolan", {cnf});
    ASSERT_EQ(converted.exit_status, 0) << converted.err;
    files.push_back({cnf, fixture == std::string("basic.CNF") ? "secret1" : ""});
  }
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const std::string cnf = dir_.File("random" + std::to_string(seed) + ".CNF");
    const std::string ini = cnf + ".source.ini";
    std::string password;
    WriteWholeFile(ini, RandomIni(seed, cnf, &password));
    RunResult built = Run("Quarlen", {ini});
    ASSERT_EQ(built.exit_status, 0) << built.err;
    files.push_back({cnf, password});
  }
  int checked = 0;
  for (const auto& [cnf, password] : files) {
    RunResult exported;
    const std::string rebuilt = ExportAndRebuild(cnf, password, &exported);
    EXPECT_EQ(exported.exit_status, 0) << cnf << ": " << exported.err;
    EXPECT_EQ(ByStorage(rebuilt), ByStorage(cnf)) << cnf << "\n" << ReadWholeFile(cnf + ".ini");
    // The comparison says so, and so does an independent reader (olefile,
    // for every tenth file: it takes a Python start each).
    std::vector<std::string> compare{cnf, "-C" + rebuilt};
    if (!password.empty()) compare.push_back("-P" + password);
    RunResult compared = Run("Rebolan", compare);
    if (cnf == dir_.File("domains.CNF")) {
      // Its empty domain storage has no place in the text (the export says so).
      EXPECT_EQ(compared.exit_status, 1) << compared.out << compared.err;
      EXPECT_NE(compared.out.find("the empty storage EMPTYDOMAIN: only in the first\n6 tasks in "
                                  "the first, 6 in the second: 6 equal, 0 different"),
                std::string::npos)
          << compared.out;
    } else {
      EXPECT_EQ(compared.exit_status, 0) << cnf << ": " << compared.out << compared.err;
    }
    if (++checked % 10 == 0) {
      const auto streams = OlefileStreams(cnf);
      EXPECT_EQ(streams.count("ERROR"), 0u) << cnf;
      EXPECT_EQ(streams.count(""), 1u) << cnf << ": _Version_ in the root";
      EXPECT_EQ(OlefileStreams(rebuilt), streams) << cnf;
    }
    // Fixed names keep their streams.
    for (const auto& [path, bytes] : StorageContents(cnf)) {
      if (path.find("/Fixed") != std::string::npos || path.rfind("Fixed", 0) == 0) {
        EXPECT_EQ(StorageContents(rebuilt).count(path), 1u) << path;
      }
    }
  }
}

// Serialized version-616 task stream bytes, with the 22 zeros at the end.
std::string StreamOf(const builder::TaskRecord& record) {
  std::string bytes(builder::SerializedSize(record), '\0');
  builder::Serialize(record, reinterpret_cast<uint8_t*>(&bytes[0]));
  return bytes + std::string(builder::kTaskStreamTrailerSize, '\0');
}

// What the INI text cannot carry is said, task by task and field by field;
// the export still writes every task and ends with 2.
TEST_F(Export616Test, WhatTheTextCannotCarryIsSaid) {
  builder::TaskRecord good;
  good.ComponentFlags = builder::UseVirusScanner;
  good.TaskFlags = builder::IsShared | builder::CreateReport | builder::VirusNotificationAll;
  good.Name = "Good";
  good.Areas = {"C:\\DATA\\++"};
  builder::TaskRecord reserved = good;
  reserved.Name = "Reserved";
  reserved.Reserved1 = 7;
  builder::TaskRecord bit = good;
  bit.Name = "Bit";
  bit.TaskFlags |= 0x01;  // no key names it
  builder::TaskRecord comma = good;
  comma.Name = "Comma";
  comma.Types = {"*.A,*.B+"};
  builder::TaskRecord entry = good;
  entry.Name = "Entry";
  entry.Areas = {"C:\\DATA"};  // no markers
  builder::TaskRecord fixed = good;
  fixed.Name = "*Here";

  writer_615::Tree tree = writer_615::Skeleton(616);
  tree.storages.push_back("VELOX");
  tree.streams.push_back({"_Common_/1", StreamOf(good)});
  tree.streams.push_back({"_Common_/2", StreamOf(reserved)});
  tree.streams.push_back({"_Common_/3", StreamOf(bit)});
  tree.streams.push_back({"_Common_/4", StreamOf(comma)});
  tree.streams.push_back({"_Common_/5", StreamOf(entry)});
  tree.streams.push_back({"_Common_/There", StreamOf(fixed)});
  tree.streams.push_back({"_Zarin_/ro012", testing_support::Le32(2) + "ro"});
  const std::string cnf = dir_.File("foreign.CNF");
  ASSERT_EQ(writer_615::WriteTree(cnf, tree), S_OK);

  const std::string ini = dir_.File("foreign.ini");
  RunResult r = Run("Rebolan", {cnf, "-I" + ini, "-A"});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  const std::string text = ReadWholeFile(ini);
  for (const char* name : {"Good", "Reserved", "Bit", "Comma", "Entry", "*Here"}) {
    EXPECT_NE(text.find(std::string("NameENG = ") + name + "\r\n"), std::string::npos) << name;
  }
  for (const char* said :
       {"\"Reserved\" (_Common_/2): Reserved cannot be carried whole: the reserved words are not 0",
        "\"Bit\" (_Common_/3): TaskFlags cannot be carried whole: the bits 0x1 would come back "
        "changed",
        "\"Comma\" (_Common_/4): Types cannot be carried whole: the item \"*.A,*.B+\" would not be "
        "read back as one item",
        "\"Entry\" (_Common_/5): Areas cannot be carried whole: the entry \"C:\\DATA\" does not "
        "end with two markers",
        "\"*Here\" (_Common_/There): NameENG cannot be carried whole: the task is in the stream "
        "There, and its fixed name puts it into Here",
        "note: the second password (_Zarin_/ro012) has no place in the INI text; a file Quarlen "
        "builds from it has none"}) {
    EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
  }
  EXPECT_EQ(r.err.find("\"Good\""), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("VELOX"), std::string::npos) << "every new file has VELOX: " << r.err;

  // Without /A a version-616 file is not exported, as always.
  r = Run("Rebolan", {cnf, "-I" + ini});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(ini).find("[Task"), std::string::npos);
  EXPECT_NE(r.err.find("is not a configuration of version 615 (version 616): no task was read"),
            std::string::npos)
      << r.err;
}

TEST_F(Export616Test, TheSwitchBelongsToAnExport) {
  const std::string cnf = dir_.File("b.CNF");
  WriteWholeFile(cnf, ReadWholeFile(FixturePath("615/basic.CNF")));
  const std::string before = ReadWholeFile(cnf);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* said;
  } cases[] = {
      {{cnf, "-A"}, 6, "/A exports a configuration of version 616 as well; it needs /I"},
      {{cnf, "-I" + dir_.File("x.ini"), "-Ax"}, 6, "the switch /A takes no value"},
  };
  for (const Case& c : cases) {
    RunResult r = Run("Rebolan", c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.said;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(ReadWholeFile(cnf), before);
  }
  // A version-615 export is the same with /A as without.
  RunResult plain = Run("Rebolan", {cnf, "-I" + dir_.File("plain.ini"), "-Psecret1"});
  RunResult any = Run("Rebolan", {cnf, "-I" + dir_.File("any.ini"), "-A", "-Psecret1"});
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(any.exit_status, 0) << any.err;
  EXPECT_EQ(ReadWholeFile(dir_.File("plain.ini")), ReadWholeFile(dir_.File("any.ini")));
}

}  // namespace
