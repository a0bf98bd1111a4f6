// Whole-program tests of the report of a Rebolan run (/R) and its summary
// (/V): the report validates against its schema in docs/, names every task
// with its source and target stream (which the new file holds), says what
// could not be carried and which files were kept, and gives the result; a
// report that cannot be written refuses the run before it changes anything.

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/conversion_record.h"
#include "platform/file.h"
#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::SourceDir;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

class ReportTest : public ::testing::Test {
 protected:
  ReportTest() { ::mkdir(tmp_.c_str(), 0700); }

  RunResult Rebolan(const std::vector<std::string>& args,
                    const std::string& program = ProgramPath("Rebolan"),
                    std::map<std::string, std::string> env = {}) {
    env.emplace("TMPDIR", tmp_);
    env.emplace("TORVI32_REGISTRY", dir_.File("none.reg"));
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(), env);
  }

  std::string Copy(const std::string& fixture, const std::string& name) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, ReadWholeFile(FixturePath("615/" + fixture)));
    return path;
  }

  // The report at `path` validated against the schema, as the lines of
  // tests/support/report_check.py; "INVALID: ..." when it does not validate.
  std::vector<std::string> Checked(const std::string& path) {
    RunResult r = testing_support::Run({"/usr/bin/python3",
                                        SourceDir() + "/tests/support/report_check.py",
                                        SourceDir() + "/docs/rebolan-report.schema.json", path});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // A Rebolan beside a Quarlen that is a shell script.
  std::string RebolanWithBuilder(const std::string& script) {
    const std::string folder = dir_.File("bin");
    ::mkdir(folder.c_str(), 0755);
    const std::string program = folder + "/Rebolan";
    WriteWholeFile(program, ReadWholeFile(ProgramPath("Rebolan")));
    ::chmod(program.c_str(), 0755);
    WriteWholeFile(folder + "/Quarlen", "#!/bin/sh\n" + script + "\n");
    ::chmod((folder + "/Quarlen").c_str(), 0755);
    return program;
  }

  // The files beside the configuration and what they hold, the
  // configuration as "<the configuration>" while it holds `original`.
  std::map<std::string, std::string> Beside(const std::string& original) {
    std::map<std::string, std::string> files;
    for (const std::string& path : testing_support::FolderEntries(dir_.path())) {
      if (path == tmp_) continue;
      const std::string text = ReadWholeFile(path);
      files[path.substr(dir_.path().size() + 1)] = text == original ? "<the configuration>" : text;
    }
    return files;
  }

  TempDir dir_;
  std::string tmp_ = dir_.File("tmp");
};

// The storage of an area as the new file names it.
std::string AreaFolder(const std::string& place) {
  if (place == "common||") return "_Common_";
  if (place == "read-only||") return "_Common_/_ReadOnly_";
  const size_t bar = place.find('|', 5);
  return place.substr(5, bar - 5) + "/" + place.substr(bar + 1);
}

TEST_F(ReportTest, AConversionReportsWhereEveryTaskWent) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string report = dir_.File("report.json");
  RunResult r = Rebolan({cnf, "-R" + report, "-V"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::vector<std::string> lines = Checked(report);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "run=conversion replaced=true result=0 ini=null version=615");

  // Each task's target stream is in the new file, in its area, holding it.
  const std::map<std::string, std::string> contents = testing_support::StorageContents(cnf);
  std::vector<std::string> tasks;
  for (const std::string& line : lines) {
    if (line.compare(0, 5, "task ") != 0) continue;
    // "task PLACE|NAME SOURCE->TARGET carried TaskN"
    const size_t last_bar = line.rfind('|', line.find("->"));
    const std::string place = line.substr(5, last_bar - 5);
    const std::string name = line.substr(last_bar + 1, line.rfind(' ', line.find("->")) - last_bar - 1);
    const size_t arrow = line.find("->");
    const std::string target = line.substr(arrow + 2, line.find(' ', arrow) - arrow - 2);
    EXPECT_NE(line.find(" carried Task"), std::string::npos) << line;
    auto stream = contents.find(AreaFolder(place) + "/" + target);
    ASSERT_NE(stream, contents.end()) << line;
    EXPECT_NE(stream->second.find(name), std::string::npos) << line;
    tasks.push_back(place + "|" + name);
  }
  EXPECT_EQ(tasks, (std::vector<std::string>{"user|VELOX|TORVI|My task", "common|||Weekly",
                                             "common|||Daily scan",
                                             "read-only|||Locked policy"}));
  const std::vector<std::string> tail(lines.end() - 5, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"area user|VELOX|TORVI 1->1", "area common|| 2->2",
                                            "area read-only|| 1->1",
                                            "password main stored carried",
                                            "password second none not-carried"}));
  EXPECT_NE(r.err.find("Rebolan: common area: 2 tasks read, 2 in the new file\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Rebolan: all areas: 4 tasks read, 4 in the new file\n"),
            std::string::npos)
      << r.err;
}

// Tasks of one name in one area are paired by what they hold: each is
// reported with its own stream, and the conversion compares equal.
TEST_F(ReportTest, TasksOfOneNameArePairedByWhatTheyHold) {
  writer_615::Tree tree = writer_615::Skeleton();
  for (const char* stream : {"1", "2"}) {
    writer_615::Task twin;
    twin.name = "Twin";
    twin.virus_found_msg = std::string("from ") + stream;
    writer_615::AddTask(&tree, std::string("_Common_/") + stream, twin);
  }
  const std::string cnf = dir_.File("Torvi32.CNF");
  ASSERT_EQ(writer_615::WriteTree(cnf, tree), S_OK);
  const std::string old = dir_.File("Old.CNF");
  WriteWholeFile(old, ReadWholeFile(cnf));
  const std::string report = dir_.File("report.json");
  RunResult r = Rebolan({cnf, "-R" + report});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  RunResult compared = Rebolan({old, "-C" + cnf});
  EXPECT_EQ(compared.exit_status, 0) << "a conversion compares equal: " << compared.out;
  const std::map<std::string, std::string> contents = testing_support::StorageContents(cnf);
  std::vector<std::string> held;
  for (const std::string& line : Checked(report)) {
    if (line.compare(0, 5, "task ") != 0) continue;
    const size_t arrow = line.find("->");
    const std::string target = line.substr(arrow + 2, line.find(' ', arrow) - arrow - 2);
    auto stream = contents.find("_Common_/" + target);
    ASSERT_NE(stream, contents.end()) << line;
    const std::string source = line.substr(line.rfind(' ', arrow) + 1, arrow - line.rfind(' ', arrow) - 1);
    held.push_back(stream->second.find("from " + source) != std::string::npos ? "same" : line);
  }
  EXPECT_EQ(held, (std::vector<std::string>{"same", "same"}));
}

// Names are text of the ANSI code page, with any bytes: the report gives
// them as JSON strings that every reader takes (UTF-8, controls escaped).
TEST_F(ReportTest, NamesOfAnyBytesAreValidJson) {
  writer_615::Tree tree = writer_615::Skeleton();
  writer_615::Task task;
  task.name = "Esc\x1B[2J\x81\xE9\"\\";
  writer_615::AddTask(&tree, "_Common_/1", task);
  const std::string cnf = dir_.File("Torvi32.CNF");
  ASSERT_EQ(writer_615::WriteTree(cnf, tree), S_OK);
  const std::string report = dir_.File("report.json");
  RunResult r = Rebolan({cnf, "-I" + dir_.File("out.ini"), "-R" + report});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_FALSE(Checked(report).empty());
  EXPECT_NE(ReadWholeFile(report).find("\"name\": \"Esc\\u001B[2J\xC2\x81\xC3\xA9\\\"\\\\\""),
            std::string::npos)
      << ReadWholeFile(report);
}

TEST_F(ReportTest, AnExportReportsWhatTheIniTextCannotCarry) {
  // One task whose name cannot be an INI value, and an empty domain.
  writer_615::Tree tree = writer_615::Skeleton(615, "main");
  writer_615::Task good, bad;
  good.name = "Nightly";
  bad.name = " Padded";
  writer_615::AddTask(&tree, "_Common_/1", good);
  writer_615::AddTask(&tree, "_Common_/2", bad);
  tree.storages.push_back("EMPTY");
  const std::string cnf = dir_.File("Torvi32.CNF");
  ASSERT_EQ(writer_615::WriteTree(cnf, tree), S_OK);
  const std::string ini = dir_.File("out.ini");
  const std::string report = dir_.File("report.json");
  RunResult r = Rebolan({cnf, "-I" + ini, "-Pmain", "-R" + report});
  EXPECT_EQ(r.exit_status, 2) << r.err;
  const std::vector<std::string> lines = Checked(report);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "run=export replaced=false result=2 ini=" + ini + " version=615");
  EXPECT_EQ(lines[1], "task common|||Nightly 1->null carried Task0");
  EXPECT_EQ(lines[2], "task common||| Padded 2->null lost Task1");
  EXPECT_EQ(lines[3].compare(0, 25, "problem  Padded NameENG: "), 0) << lines[3];
  bool empty_domain = false;
  for (const std::string& line : lines) {
    empty_domain |= line.find("not_carried the domain storage EMPTY holds no task") == 0;
  }
  EXPECT_TRUE(empty_domain);
  EXPECT_EQ(lines.back(), "password second none not-carried");
  EXPECT_EQ(lines[lines.size() - 2], "password main stored carried");
}

TEST_F(ReportTest, AFailedConversionReportsTheKeptIniText) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string report = dir_.File("report.json");
  RunResult r = Rebolan({cnf, "-R" + report}, RebolanWithBuilder("exit 1"), {{"PATH", ""}});
  EXPECT_EQ(r.exit_status, 9) << r.err;
  EXPECT_EQ(ReadWholeFile(cnf), before);
  const std::vector<std::string> lines = Checked(report);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "run=conversion replaced=false result=9 ini=null version=615");
  int lost = 0;
  std::string kept;
  for (const std::string& line : lines) {
    lost += line.compare(0, 5, "task ") == 0 && line.find("->null lost Task") != std::string::npos;
    if (line.compare(0, 18, "kept the INI text ") == 0) kept = line.substr(18);
  }
  EXPECT_EQ(lost, 4) << "nothing is carried when the old file is put back";
  ASSERT_FALSE(kept.empty());
  EXPECT_NE(ReadWholeFile(kept).find("NumTasks = 4"), std::string::npos) << kept;
}

// The report, or the "-new" file it is first written into, never takes the
// place of a file the run itself reads or writes, however its path is
// spelled: such a run is refused and every file stays as it was.
TEST_F(ReportTest, AReportNeverTakesThePlaceOfAFileOfTheRun) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string original = ReadWholeFile(cnf);
  const std::string record_path = platform::ConversionRecordPath(cnf);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::map<std::string, std::string> before;  // files beside the configuration
    bool aside;  // a killed conversion moved the configuration aside
    const char* said;
  } cases[] = {
      {"the INI file as ./out.ini",
       {cnf, "-Iout.ini", "-R./out.ini", "-Psecret1"},
       {{"out.ini", "an earlier export"}},
       false,
       "the report (/R) and the INI text (/I) would be the same file"},
      {"the INI file through its folder's other name",
       {cnf, "-I" + dir_.File("out.ini"), "-R" + dir_.File("tmp/../out.ini"), "-Psecret1"},
       {},
       false,
       "the report (/R) and the INI text (/I) would be the same file"},
      {"a report whose -new file is the INI file",
       {cnf, "-Iout-new", "-Rout", "-Psecret1"},
       {{"out-new", "an earlier export"}},
       false,
       "is first written into out-new, which is the INI text (/I)"},
      {"the same, no INI file yet",
       {cnf, "-Iout-new", "-Rout", "-Psecret1"},
       {},
       false,
       "is first written into out-new, which is the INI text (/I)"},
      {"the conversion record",
       {cnf, "-R./Torvi32.CNF-conversion"},
       {{"Torvi32.CNF-conversion", "a record that cannot be read"}},
       false,
       "would be the same file"},
      {"the configuration, while a killed conversion holds it aside",
       {cnf, "-R./Torvi32.CNF"},
       {},
       true,
       "the report (/R) and the configuration would be the same file"},
  };
  for (const Case& c : cases) {
    for (const auto& [name, text] : c.before) WriteWholeFile(dir_.File(name), text);
    const std::string aside = cnf + ".615";
    if (c.aside) {
      ASSERT_EQ(::rename(cnf.c_str(), aside.c_str()), 0);
      struct stat info;
      ASSERT_EQ(::stat(aside.c_str(), &info), 0);
      platform::ConversionRecord record;
      record.token = "0123456789abcdef";
      record.configuration = cnf;
      record.old_path = aside;
      record.ini_path = tmp_ + "/none.tmp";
      record.old_identity.device = static_cast<uint64_t>(info.st_dev);
      record.old_identity.inode = static_cast<uint64_t>(info.st_ino);
      ASSERT_EQ(platform::WriteConversionRecord(record), 0) << c.what;
    }
    const std::map<std::string, std::string> files = Beside(original);
    RunResult r = Rebolan(c.args);
    EXPECT_EQ(r.exit_status, 6) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(Beside(original), files) << c.what;
    for (const std::string& path : testing_support::FolderEntries(dir_.path())) {
      if (path != cnf && path != aside && path != tmp_) ::unlink(path.c_str());
    }
    if (c.aside) {
      ASSERT_EQ(::rename(aside.c_str(), cnf.c_str()), 0);
    }
    EXPECT_EQ(ReadWholeFile(cnf), original) << c.what;
  }
}

// A report that cannot be written refuses the run before anything changed;
// one with /C, or without a path, is a command-line error.
TEST_F(ReportTest, AReportThatCannotBeWrittenRefusesTheRun) {
  const std::string cnf = Copy("basic.CNF", "Torvi32.CNF");
  const std::string before = ReadWholeFile(cnf);
  const std::string other = Copy("domains.CNF", "Other.CNF");
  // Another configuration where the report would be written first.
  const std::string other_staged = Copy("domains.CNF", "Report-new");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* said;
  } cases[] = {
      {"a missing folder", {cnf, "-R" + dir_.File("none/report.json")}, 11,
       "cannot create the report file"},
      {"a compound file", {cnf, "-R" + other}, 11, "is a compound file"},
      {"a compound file as its -new file", {cnf, "-R" + dir_.File("Report")}, 11,
       "Report-new is a compound file"},
      {"the INI file", {cnf, "-I" + dir_.File("x.ini"), "-R" + dir_.File("x.ini")}, 6,
       "would be the same file"},
      {"with /C", {cnf, "-C" + other, "-R" + dir_.File("r.json")}, 6, "/R and /V are for"},
      {"no path", {cnf, "-R"}, 6, "/R needs the path"},
      {"/V with a value", {cnf, "-Vx"}, 6, "the switch /V takes no value"},
  };
  for (const Case& c : cases) {
    RunResult r = Rebolan(c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(ReadWholeFile(cnf), before) << c.what;
    EXPECT_EQ(ReadWholeFile(other_staged), ReadWholeFile(other)) << c.what;
    EXPECT_TRUE(testing_support::FilesBelow(tmp_).empty()) << c.what;
  }
  EXPECT_EQ(testing_support::FolderEntries(dir_.path()),
            (std::vector<std::string>{dir_.File("Other.CNF"), dir_.File("Report-new"),
                                      dir_.File("Torvi32.CNF"), tmp_}));
}

}  // namespace
