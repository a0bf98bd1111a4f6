// Tests of the converter's command line and of the check of a converted
// file.

#include "converter/driver.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "builder/startup.h"
#include "converter/hand_off.h"
#include "converter/ini_emission.h"
#include "tests/converter/read_whole.h"
#include "tests/converter/writer_615.h"
#include "tests/support/fake_system.h"
#include "tests/support/fault_injection.h"
#include "tests/support/test_support.h"

namespace converter {
namespace {

struct Parsed {
  int32_t result;
  std::string config, ini, language, password;
  bool hand_off;
  bool operator==(const Parsed& o) const {
    return result == o.result && config == o.config && ini == o.ini && language == o.language &&
           password == o.password && hand_off == o.hand_off;
  }
};

std::ostream& operator<<(std::ostream& os, const Parsed& p) {
  return os << "{" << p.result << ", config '" << p.config << "', ini '" << p.ini << "', lang '"
            << p.language << "', pw '" << p.password << "', hand_off " << p.hand_off << "}";
}

Parsed Parse(const std::string& tail) {
  RunSettings settings;
  settings.config_path = "REG";
  settings.ini_path = "TMP";
  int32_t result = ParseCommandLine(tail, &settings);
  return {result,
          settings.config_path,
          settings.ini_path,
          settings.language,
          settings.access_password,
          settings.hand_off};
}

TEST(ParseCommandLineTest, Grammar) {
  const std::string long_text(260, 'x');
  struct Case {
    std::string tail;
    Parsed expected;
  } cases[] = {
      {"", {0, "REG", "TMP", "ENG", "", true}},
      {"  \t ", {0, "REG", "TMP", "ENG", "", true}},
      {"C:\\A.CNF", {0, "C:\\A.CNF", "TMP", "ENG", "", true}},
      {"first second", {6, "first", "TMP", "ENG", "", true}},  // two configuration paths
      {"\"quoted", {0, "\"quoted", "TMP", "ENG", "", true}},
      {"/Iout.ini", {0, "REG", "out.ini", "ENG", "", false}},
      {"/iout.ini", {0, "REG", "out.ini", "ENG", "", false}},
      {"/I\"my dir\\x.ini\" cfg", {0, "cfg", "my dir\\x.ini", "ENG", "", false}},
      {"/I\"open end", {0, "REG", "open end", "ENG", "", false}},
      {"/Ia b", {0, "b", "a", "ENG", "", false}},
      {"/I", {0, "REG", "", "ENG", "", false}},
      {"/LDEU /Psecret", {0, "REG", "TMP", "DEU", "secret", true}},
      {"/l /p", {0, "REG", "TMP", "", "", true}},
      {"/LDE\tU", {0, "REG", "TMP", "DE\tU", "", true}},
      {"/LA /LB", {0, "REG", "TMP", "B", "", true}},
      {"/S5 /n3", {0, "REG", "TMP", "ENG", "", true}},
      {"/S 5", {0, "5", "TMP", "ENG", "", true}},
      {"/X", {6, "REG", "TMP", "ENG", "", true}},
      {"/", {6, "REG", "TMP", "ENG", "", true}},
      {"a /", {6, "a", "TMP", "ENG", "", true}},
      {"/ LDEU", {6, "REG", "TMP", "ENG", "", true}},
      // POSIX: '-' switches, and a '/' token holding a further '/' is a path.
      {"-LDEU -I/tmp/x.ini", {0, "REG", "/tmp/x.ini", "DEU", "", false}},
      {"/var/lib/a.CNF", {0, "/var/lib/a.CNF", "TMP", "ENG", "", true}},
      {"-", {6, "REG", "TMP", "ENG", "", true}},
      // A '/' word taken as a path counts as the configuration path.
      {"/I/srv/x/out.ini /srv/x/T2.CNF", {6, "/I/srv/x/out.ini", "TMP", "ENG", "", true}},
      {"-I/srv/x/out.ini /srv/x/T2.CNF", {0, "/srv/x/T2.CNF", "/srv/x/out.ini", "ENG", "", false}},
      // /P- beside another /P is refused before standard input is read.
      {"/P- /Pother", {6, "REG", "TMP", "ENG", "other", true}},
      {"-Pother -p-", {6, "REG", "TMP", "ENG", "-", true}},
      // Values longer than their buffers are refused.
      {long_text, {6, long_text, "TMP", "ENG", "", true}},
      {std::string(259, 'c'), {0, std::string(259, 'c'), "TMP", "ENG", "", true}},
      {"/I" + long_text, {6, "REG", long_text, "ENG", "", false}},
      {"/P" + long_text, {6, "REG", "TMP", "ENG", long_text, true}},
      {"/L" + std::string(16, 'L'), {6, "REG", "TMP", std::string(16, 'L'), "", true}},
      {"/L" + std::string(15, 'L'), {0, "REG", "TMP", std::string(15, 'L'), "", true}},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.tail), c.expected) << "tail: " << c.tail;
}

class CheckConvertedFileTest : public ::testing::Test {
 protected:
  // An emitter that wrote the given tasks, from a 615 file written here.
  void Emit(const writer_615::Tree& tree) {
    const std::string old_path = dir_.File("old.CNF");
    ASSERT_EQ(writer_615::WriteTree(old_path, tree), S_OK);
    ReadWhole read = ReadWholeFile615(old_path);
    emitter_.reset(new IniEmitter("ENG", old_path, &sink_));
    for (const StoredArea& area : read.config.areas) emitter_->EmitArea(area);
    emitter_->EmitMainSection(read.stored_password);
    beside_.domains = std::move(read.config.domains);
    settings_.config_path = dir_.File("new.CNF");
  }
  // A version-616 file with the given streams.
  void WriteNew(writer_615::Tree tree) {
    tree.streams[0].second = testing_support::Le32(616);
    ASSERT_EQ(writer_615::WriteTree(settings_.config_path, tree), S_OK);
  }
  testing_support::TempDir dir_;
  ConversionRun settings_;
  StringSink sink_;
  std::unique_ptr<IniEmitter> emitter_;
  BesideIni beside_;  // the domains and users the walk found
};

TEST_F(CheckConvertedFileTest, NothingToCarryNeedsNoFile) {
  Emit(writer_615::Skeleton());
  EXPECT_EQ(CheckConvertedFile(settings_, *emitter_), "");
}

TEST_F(CheckConvertedFileTest, CountsTasksPerAreaAndComparesThePassword) {
  writer_615::Tree old_tree = writer_615::Skeleton(615, "pw-bytes");
  old_tree.storages.push_back("D");
  old_tree.storages.push_back("D/u");
  old_tree.storages.push_back("D/empty");  // storages without a task
  old_tree.storages.push_back("E");
  writer_615::Task task;
  writer_615::AddTask(&old_tree, "D/u/1", task);
  writer_615::AddTask(&old_tree, "_Common_/1", task);
  writer_615::AddTask(&old_tree, "_Common_/2", task);
  Emit(old_tree);
  EXPECT_NE(CheckConvertedFile(settings_, *emitter_, beside_), "") << "no new file at all";

  writer_615::Tree good = writer_615::Skeleton(616, "pw-bytes");
  good.storages.push_back("D");
  good.storages.push_back("D/u");
  good.storages.push_back("D/empty");
  good.storages.push_back("E");
  good.streams.push_back({"D/u/9", "x"});
  good.streams.push_back({"_Common_/8", "x"});
  good.streams.push_back({"_Common_/7", "x"});
  WriteNew(good);
  EXPECT_EQ(CheckConvertedFile(settings_, *emitter_, beside_), "");

  // What is wrong is said in words that name the place.
  struct Case {
    const char* what;
    writer_615::Tree tree;
    BesideIni beside;
    const char* problem;
  };
  std::vector<Case> bad;
  writer_615::Tree t = good;
  t.streams.pop_back();
  bad.push_back({"a shared task missing", t, beside_, "_Common_ holds 1 task streams instead of 2"});
  t = good;
  t.streams.erase(t.streams.begin() + 2);
  t.storages.erase(t.storages.end() - 3);
  bad.push_back({"the user area missing", t, beside_, "cannot list D/u in the new file: 0x80030002 (STG_E_FILENOTFOUND: no such file or element)"});
  t = good;
  t.storages.erase(t.storages.end() - 2);
  bad.push_back({"an empty user storage missing", t, beside_,
                 "the new file does not hold the user storage D/empty"});
  t = good;
  t.storages.pop_back();
  bad.push_back({"an empty domain storage missing", t, beside_,
                 "the new file does not hold the domain storage E"});
  t = writer_615::Skeleton(616, "pw-byteX");
  t.storages = good.storages;
  t.streams.insert(t.streams.end(), good.streams.begin() + 2, good.streams.end());
  bad.push_back({"another password", t, beside_, "the new file does not hold the stored password"});
  t = good;
  t.streams.erase(t.streams.begin() + 1);
  bad.push_back({"no password", t, beside_, "the new file does not hold the stored password"});
  BesideIni with_second = beside_;
  with_second.second_password = "ro-bytes";
  bad.push_back({"no second password", good, with_second,
                 "the new file does not hold the second password _Zarin_/ro012"});
  int n = 0;
  for (Case& c : bad) {
    settings_.config_path = dir_.File("bad" + std::to_string(n++) + ".CNF");
    WriteNew(c.tree);
    EXPECT_EQ(CheckConvertedFile(settings_, *emitter_, c.beside), c.problem) << c.what;
  }
  settings_.config_path = dir_.File("v615.CNF");
  ASSERT_EQ(writer_615::WriteTree(settings_.config_path, old_tree), S_OK);
  EXPECT_EQ(CheckConvertedFile(settings_, *emitter_), "the new file does not hold version 616")
      << "version 615";
}

}  // namespace
}  // namespace converter

namespace converter {
namespace {

// Runs in this process, so that the file layer can be made to fail; a
// hand-off runs the builder in this process too, so that its file calls
// fail as well. No registry file; no program on the search path.
class RunRebolanTest : public ::testing::Test {
 protected:
  RunRebolanTest() {
    ::mkdir(tmp_.c_str(), 0700);
    testing_support::WriteWholeFile(
        cnf_, testing_support::ReadWholeFile(testing_support::FixturePath("615/basic.CNF")));
    system_.RunInProcess("Quarlen", builder::RunBuilder, builder::kExitOutOfMemory);
  }
  testing_support::TempDir dir_;
  std::string tmp_ = dir_.File("tmp"), cnf_ = dir_.File("T.CNF");
  testing_support::FakeSystem system_{
      platform::Environment{{"TMPDIR", tmp_}, {"TORVI32_REGISTRY", dir_.File("none.reg")}}};
  testing_support::ScopedSystem scoped_system_{&system_};
};

TEST_F(RunRebolanTest, AFailedMoveAsideChangesNothing) {
  const std::string before = testing_support::ReadWholeFile(cnf_);
  testing_support::FaultInjectingFileSystem fs;
  fs.FailAt(testing_support::FileCall::kRename, 1, EIO, true);
  {
    testing_support::ScopedFileSystem scoped(&fs);
    EXPECT_EQ(RunRebolan(cnf_, "/nowhere/default.CNF"), kExitCannotMoveOld);
  }
  EXPECT_EQ(testing_support::ReadWholeFile(cnf_), before);
  EXPECT_FALSE(testing_support::PathExists(cnf_ + ".615"));
}

TEST_F(RunRebolanTest, IniFileThatCannotBeCreated) {
  EXPECT_EQ(RunRebolan(cnf_ + " -I" + dir_.File("no/such/x.ini") + " -Psecret1",
                       "/nowhere/default.CNF"),
            kExitCannotWriteIni);
}

// An INI text that cannot be written carries nothing: no task and no area
// count of the report says otherwise.
TEST_F(RunRebolanTest, AnIniTextThatCannotBeWrittenCarriesNothing) {
  const std::string report = dir_.File("report.json");
  testing_support::FaultInjectingFileSystem fs;
  fs.FailAt(testing_support::FileCall::kWrite, 1, ENOSPC, false);
  {
    testing_support::ScopedFileSystem scoped(&fs);
    EXPECT_EQ(RunRebolan(cnf_ + " -I" + dir_.File("x.ini") + " -Psecret1 -R" + report,
                         "/nowhere/default.CNF"),
              kExitCannotWriteIni);
  }
  const std::string text = testing_support::ReadWholeFile(report);
  ASSERT_NE(text.find("\"tasks_read\": 2"), std::string::npos) << text;
  EXPECT_EQ(text.find("\"carried\": true"), std::string::npos) << text;
  for (size_t at = text.find("\"tasks_carried\": "); at != std::string::npos;
       at = text.find("\"tasks_carried\": ", at + 1)) {
    EXPECT_EQ(text.compare(at, 19, "\"tasks_carried\": 0}"), 0) << text.substr(at, 30);
  }
}

TEST_F(RunRebolanTest, DefaultPathWhenNoRegistryValue) {
  // The default names a missing file: the storage code for a missing file.
  EXPECT_EQ(RunRebolan("-I" + dir_.File("x.ini"), dir_.File("default.CNF")), STG_E_FILENOTFOUND);
  EXPECT_NE(testing_support::ReadWholeFile(dir_.File("x.ini"))
                .find("OutputENG = " + dir_.File("default.CNF") + "\r\nNumTasks = 0\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace converter

namespace converter {
namespace {

// A conversion run with one failing file call, for every call it makes:
// each run ends either converted or with the old file whole in place.
TEST_F(RunRebolanTest, NoSingleFileFaultLosesTheConfiguration) {
  const std::string original = testing_support::ReadWholeFile(cnf_);
  int converted = 0, refused = 0;
  for (uint64_t k = 1; k < 2000; ++k) {
    testing_support::WriteWholeFile(cnf_, original);
    ::unlink((cnf_ + ".615").c_str());
    testing_support::FaultInjectingFileSystem fs;
    fs.FailAt(testing_support::FileCall::kAny, k, EIO, false);
    int32_t result;
    {
      testing_support::ScopedFileSystem scoped(&fs);
      result = RunRebolan(cnf_, "/nowhere/default.CNF");
    }
    if (result == 0) {
      ++converted;
      const std::string dump = testing_support::OlefileDump(cnf_);
      EXPECT_NE(dump.find("F _Version_ 4 68020000"), std::string::npos) << "k=" << k;
      EXPECT_NE(dump.find("F _Zarin_/cc012 11 0700000065e4cc8f7f8c31"), std::string::npos)
          << "k=" << k;
      size_t tasks = 0;
      for (const char* area : {"F VELOX/TORVI/", "F _Common_/_ReadOnly_/"}) {
        for (size_t at = dump.find(area); at != std::string::npos; at = dump.find(area, at + 1)) {
          ++tasks;
        }
      }
      EXPECT_EQ(tasks, 2u) << "k=" << k << "\n" << dump;
    } else {
      ++refused;
      const bool in_place = testing_support::ReadWholeFile(cnf_) == original;
      const bool kept_aside = testing_support::ReadWholeFile(cnf_ + ".615") == original;
      EXPECT_TRUE(in_place || kept_aside) << "k=" << k << " result " << result;
    }
    if (!fs.Injected()) break;  // every call of a whole run has had its fault
  }
  RecordProperty("refused", refused);
  RecordProperty("converted", converted);
  EXPECT_GT(refused, 10) << "the faults reached the run";
  EXPECT_GT(converted, 0);
}

// The converted file can be read by whoever could read the old one; when
// its permissions cannot be given, the run still converts and says so.
TEST_F(RunRebolanTest, TheNewFileTakesTheOldOnesPermissions) {
  const std::string original = testing_support::ReadWholeFile(cnf_);
  struct Case {
    mode_t old_mode;
    bool fail;
    mode_t expected;
  };
  for (const Case& c : {Case{0640, false, 0640}, Case{0604, false, 0604}, Case{0644, true, 0600}}) {
    testing_support::WriteWholeFile(cnf_, original);
    ASSERT_EQ(::chmod(cnf_.c_str(), c.old_mode), 0);
    testing_support::FaultInjectingFileSystem fs;
    if (c.fail) fs.FailAt(testing_support::FileCall::kAccess, 1, EPERM, true);
    {
      testing_support::ScopedFileSystem scoped(&fs);
      EXPECT_EQ(RunRebolan(cnf_, "/nowhere/default.CNF"), 0) << std::oct << c.old_mode;
    }
    struct stat st;
    ASSERT_EQ(::stat(cnf_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.expected) << std::oct << c.old_mode;
    EXPECT_NE(testing_support::OlefileDump(cnf_).find("F _Version_ 4 68020000"), std::string::npos);
  }
}

}  // namespace
}  // namespace converter
