// Quarlen's dry run (/D): it changes no file, and what it lists is what the
// real run then does. Each case runs the dry run, checks the folder, runs
// the real run and reads the built file with the engine.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::FilesBelow;
using testing_support::FixturePath;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::SourceDir;
using testing_support::StorageContents;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

using Fields = std::vector<std::string>;

RunResult Quarlen(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {ProgramPath("Quarlen")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv, cwd);
}

// Every file below `folder` with its bytes and its change time in
// nanoseconds: what a dry run must leave as it found it.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& path : FilesBelow(folder)) {
    struct stat st;
    std::string stamp = "?";
    if (lstat(path.c_str(), &st) == 0) {
      stamp = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
              " " + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    }
    files[path] = stamp + " " + ReadWholeFile(path);
  }
  return files;
}

std::vector<Fields> Lines(const std::string& listing) {
  std::vector<Fields> lines;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    Fields fields;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
      fields.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    fields.push_back(line.substr(start));
    lines.push_back(fields);
  }
  return lines;
}

// The task streams of a configuration file, "area/stream" -> the task's Name.
std::map<std::string, std::string> TaskNames(const std::string& cnf) {
  std::map<std::string, std::string> tasks;
  for (const auto& [path, bytes] : StorageContents(cnf)) {
    if (path.empty() || path.back() == '/' || path.rfind("_Version_", 0) == 0 ||
        path.rfind("_Zarin_/", 0) == 0 || bytes.size() < 36) {
      continue;
    }
    uint32_t length = static_cast<uint8_t>(bytes[32]) | static_cast<uint8_t>(bytes[33]) << 8 |
                      static_cast<uint8_t>(bytes[34]) << 16 |
                      static_cast<uint32_t>(static_cast<uint8_t>(bytes[35])) << 24;
    tasks[path] = bytes.substr(36, length);
  }
  return tasks;
}

// Runs the dry run and then the real run of `args` in `dir`, and holds the
// dry run to what the real run did: no file touched, the same messages and
// exit status, and every listed deletion and task in the file `cnf`.
// Returns the listing.
std::string DryThenReal(const TempDir& dir, const std::vector<std::string>& args,
                        const std::string& cnf) {
  const std::map<std::string, std::string> before = Snapshot(dir.path());
  const std::map<std::string, std::string> tasks_before = TaskNames(cnf);
  std::vector<std::string> dry_args = args;
  dry_args.push_back("-D");
  RunResult dry = Quarlen(dry_args, dir.path());
  EXPECT_EQ(Snapshot(dir.path()), before) << "the dry run changed the folder\n" << dry.err;
  RunResult real = Quarlen(args, dir.path());
  EXPECT_EQ(dry.exit_status, real.exit_status) << dry.err << real.err;
  EXPECT_EQ(dry.err, real.err);
  EXPECT_EQ(real.out, "");

  std::map<std::string, std::string> expected = tasks_before;
  std::vector<Fields> lines = Lines(dry.out);
  EXPECT_GE(lines.size(), 2u) << dry.out;
  if (lines.size() < 2) return dry.out;
  EXPECT_EQ(lines.front(), (Fields{"dry-run", "1"}));
  EXPECT_EQ(lines.back()[0], "exit") << dry.out;
  EXPECT_EQ(lines.back()[1], std::to_string(real.exit_status)) << dry.out;
  for (const Fields& f : lines) {
    if (f[0] == "delete" && f[2] == "removes") {
      EXPECT_EQ(expected.erase(f[3] + "/" + f[4]), 1u) << "not in the file: " << f[3] << "/"
                                                      << f[4] << "\n" << dry.out;
    } else if (f[0] == "task" && f[2] == "writes") {
      EXPECT_EQ(expected.count(f[3] + "/" + f[4]), 0u) << f[4] << " taken";
      expected[f[3] + "/" + f[4]] = f[6];
    }
  }
  EXPECT_EQ(TaskNames(cnf), expected) << dry.out;
  return dry.out;
}

// The INI text Rebolan exports of a version-615 fixture, sent to `output`.
std::string ExportedIni(const TempDir& dir, const std::string& cnf_fixture,
                        const std::string& password, const std::string& output) {
  const std::string old_cnf = dir.File("old.CNF");
  WriteWholeFile(old_cnf, ReadWholeFile(cnf_fixture));
  std::vector<std::string> argv = {ProgramPath("Rebolan"), "-I" + dir.File("exported.ini"),
                                   old_cnf};
  if (!password.empty()) argv.push_back("-P" + password);
  RunResult exported = testing_support::Run(argv);
  EXPECT_EQ(exported.exit_status, 0) << exported.err;
  std::string text = ReadWholeFile(dir.File("exported.ini"));
  const std::string key = "OutputENG = " + old_cnf;
  size_t at = text.find(key);
  EXPECT_NE(at, std::string::npos) << text;
  if (at != std::string::npos) text.replace(at, key.size(), "OutputENG = " + output);
  unlink(old_cnf.c_str());
  unlink(dir.File("exported.ini").c_str());
  return text;
}

// The project's configurations, exported and built: the listing of a fresh
// build, and of a second build on top of the first (every task again, in
// new streams beside the old ones).
TEST(DryRunTest, ListingMatchesTheRealRunOnTheProjectsConfigurations) {
  struct Case {
    std::string cnf;
    std::string password;
    size_t tasks;
    const char* first_states;  // the output file before and after each run
    const char* second_states;
  };
  const Case cases[] = {
      {SourceDir() + "/examples/Torvi32.CNF", "main-password", 7, "absent\texists",
       "exists\texists"},
      {FixturePath("615/basic.CNF"), "secret1", 4, "absent\texists", "exists\texists"},
      {FixturePath("615/domains.CNF"), "", 6, "absent\texists", "exists\texists"},
      // No task and no password: nothing asks for the file, which is not made.
      {FixturePath("615/empty.CNF"), "", 0, "absent\tabsent", "absent\tabsent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cnf);
    TempDir dir;
    const std::string cnf = dir.File("new.CNF");
    WriteWholeFile(dir.File("a.ini"), ExportedIni(dir, c.cnf, c.password, cnf));
    std::string first = DryThenReal(dir, {"a.ini"}, cnf);
    EXPECT_NE(first.find(std::string("output\tENG\t") + c.first_states + "\t" + cnf + "\n"), std::string::npos)
        << first;
    size_t written = 0;
    for (const Fields& f : Lines(first)) written += f[0] == "task" && f[2] == "writes";
    EXPECT_EQ(written, c.tasks) << first;
    std::string second = DryThenReal(dir, {"a.ini"}, cnf);
    EXPECT_NE(second.find(std::string("output\tENG\t") + c.second_states + "\t" + cnf + "\n"), std::string::npos)
        << second;
  }
}

// [ToDelete] on an existing file: the task each entry finds (by name, in
// any letter case; by stream for a fixed name), or none; two languages,
// the second deleting what the first wrote.
TEST(DryRunTest, DeletionsNameTheTaskTheyRemove) {
  TempDir dir;
  const std::string cnf = dir.File("T.CNF");
  WriteWholeFile(dir.File("first.ini"),
                 "[MAIN]\r\nOutputENG=" + cnf + "\r\nNumTasks=3\r\n"
                 "[Task0]\r\nNameENG=Keep\r\n[Task1]\r\nNameENG=Gone\r\n"
                 "[Task2]\r\nNameENG=*mine\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n");
  DryThenReal(dir, {"first.ini"}, cnf);
  WriteWholeFile(dir.File("second.ini"),
                 "[MAIN]\r\nOutputENG=" + cnf + "\r\nOutputDEU=" + cnf +
                 "\r\nNumTasks=1\r\n"
                 "[ToDelete]\r\nNumTasks=4\r\nTask0=gONE\r\nTask1=Ghost\r\nTask2=*mine\r\n"
                 "Task3=Neu\r\n"
                 "[Task0]\r\nNameDEU=Neu\r\nNameENG=New\r\nIsPrivate=1\r\nDomain=OFFICE\r\n"
                 "User=anna\r\n");
  std::string listing = DryThenReal(dir, {"second.ini", "-LENG", "-LDEU"}, cnf);
  // Run 2 draws its names from the start of the sequence again: 2852926 is
  // taken by Keep, 11374 by Gone until it is deleted.
  EXPECT_EQ(listing,
            "dry-run\t1\n"
            "ini\tread\t" + dir.File("second.ini") + "\n"
            "output\tDEU\texists\texists\t" + cnf + "\n"
            "delete\tDEU\tremoves\t_Common_\t11374\tgONE\n"
            "delete\tDEU\tnone\tGhost\n"
            "delete\tDEU\tfails\tno private task has named a domain and user yet\t*mine\n"
            "delete\tDEU\tnone\tNeu\n"
            "task\tDEU\twrites\tOFFICE/anna\t2852926\tTask0\tNeu\n"
            "output\tENG\texists\texists\t" + cnf + "\n"
            "delete\tENG\tnone\tgONE\n"
            "delete\tENG\tnone\tGhost\n"
            "delete\tENG\tremoves\tOFFICE/anna\tmine\t*mine\n"
            "delete\tENG\tnone\tNeu\n"
            "task\tENG\twrites\tOFFICE/anna\t11374\tTask0\tNew\n"
            "exit\t0\t0x00000000\n");
}

// Keys outside the schema are named with their section, the closest key
// when one is near; keys of the schema in any letter case and language
// keys of other languages are not.
TEST(DryRunTest, KeysOutsideTheSchemaAreNamedAsTypos) {
  TempDir dir;
  const std::string cnf = dir.File("T.CNF");
  const std::string ini = dir.File("a.ini");
  WriteWholeFile(ini, "[MAIN]\r\nOutputENG=" + cnf + "\r\nNumTask=1\r\nNumTasks=1\r\n"
                      "passWORD=x\r\nColour=blue\r\n"
                      "[ToDelete]\r\nNumTask=1\r\nTask0=a\r\nTsak1=b\r\n"
                      "[Task0]\r\nNameDEU=Tag\r\nIsShard=1\r\nisshared=1\r\nAreas=local\r\n"
                      "Area=all\r\n"
                      "[Other]\r\nAnything=1\r\n");
  DryThenReal(dir, {"a.ini"}, cnf);
  const std::string where = "Quarlen: " + ini + ": ";
  const std::string tail = "; the line is passed over\n";
  RunResult real = Quarlen({"a.ini"}, dir.path());
  EXPECT_EQ(real.err,
            where + "[MAIN] NumTask: no such key in this section, likely a typo of NumTasks" +
                tail + where + "[MAIN] Colour: no such key in this section, likely a typo" +
                tail + where +
                "[ToDelete] NumTask: no such key in this section, likely a typo of NumTasks" +
                tail + where +
                "[ToDelete] Tsak1: no such key in this section, likely a typo of Task1" + tail +
                where +
                "[Task0] IsShard: no such key in this section, likely a typo of IsShared" + tail +
                where + "[Task0] Area: no such key in this section, likely a typo of Areas" +
                tail);
}

// The exit status is the real run's; a switch refused ends both the same
// way before anything is read.
TEST(DryRunTest, ExitStatusesAreTheRealRunsOnes) {
  TempDir dir;
  const std::string cnf = dir.File("T.CNF");
  WriteWholeFile(dir.File("a.ini"),
                 "[MAIN]\r\nOutputENG=" + cnf + "\r\nNumTasks=1\r\n[Task0]\r\nNameENG=x\r\n");
  // A file in the middle of a conversion is left to Rebolan: 0x80030020.
  WriteWholeFile(cnf + "-conversion", "not a record a run could finish\n");
  std::string listing = DryThenReal(dir, {"a.ini"}, cnf);
  EXPECT_NE(listing.find("output\tENG\tin-conversion\t" + cnf + "\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("exit\t1\t0x80030020\n"), std::string::npos) << listing;
  unlink((cnf + "-conversion").c_str());

  // A symbolic link at the output path is refused for writing: each task
  // is reported and the run ends with 0, in both runs.
  const std::string elsewhere = dir.File("elsewhere.CNF");
  ASSERT_EQ(symlink(elsewhere.c_str(), cnf.c_str()), 0);
  WriteWholeFile(elsewhere, "");
  listing = DryThenReal(dir, {"a.ini"}, cnf);
  EXPECT_NE(listing.find("task\tENG\tfails\t_Common_\t"), std::string::npos) << listing;
  EXPECT_NE(listing.find("exit\t0\t0x00000000\n"), std::string::npos) << listing;
  EXPECT_EQ(ReadWholeFile(elsewhere), "");

  // A listing that cannot be written ends the dry run with 2.
  RunResult full = testing_support::Run(
      {"/bin/sh", "-c", "\"$0\" a.ini -D > /dev/full", ProgramPath("Quarlen")}, dir.path());
  EXPECT_EQ(full.exit_status, 2) << full.err;
  EXPECT_NE(full.err.find("the listing of the dry run could not be written to standard output"),
            std::string::npos)
      << full.err;

  struct Refused {
    std::vector<std::string> args;
    std::string message;
  };
  const Refused refused[] = {
      {{"a.ini", "-Dx"}, "the switch -D takes no value: -Dx"},
      {{"a.ini", "/D", "/x"}, "unknown switch /x"},
  };
  for (const Refused& r : refused) {
    const auto before = Snapshot(dir.path());
    RunResult run = Quarlen(r.args, dir.path());
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(r.message + "; nothing was done"), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

}  // namespace
