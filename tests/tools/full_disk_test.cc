// Quarlen on a full disk: a small tmpfs filled so that every amount of free
// space from none to more than the run needs is tried, 4 KiB at a time,
// while it creates a configuration and while it changes one. A run either
// ends with 0 and the whole change, or says that nothing of its changes was
// written and ends with another status, the file as before the run; once
// there is room again, a normal run finishes the job with no message.
// Rebolan's export on the full disk keeps the INI text and report it was to
// replace.
// Needs root (mount); skipped otherwise, except in CI.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

class FullDiskTest : public testing::Test {
 protected:
  void SetUp() override {
    disk_ = dir_.File("disk");
    ASSERT_EQ(0, ::mkdir(disk_.c_str(), 0700));
    if (::mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=512k") != 0) {
      if (std::getenv("CI") != nullptr) FAIL() << "cannot mount a tmpfs in CI";
      GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    mounted_ = true;
    cnf_ = disk_ + "/TORVI32.CNF";
    filler_ = disk_ + "/filler";
  }
  void TearDown() override {
    if (mounted_) ::umount(disk_.c_str());
  }

  uint64_t FreeBytes() {
    struct statvfs st;
    return ::statvfs(disk_.c_str(), &st) == 0 ? uint64_t{st.f_bavail} * st.f_frsize : 0;
  }
  // Leaves `free_bytes` free on the tmpfs.
  void Fill(uint64_t free_bytes) {
    ::unlink(filler_.c_str());
    uint64_t now = FreeBytes();
    if (now > free_bytes) WriteWholeFile(filler_, std::string(now - free_bytes, 'f'));
  }

  testing_support::RunResult Quarlen(const std::string& ini) {
    return testing_support::Run({ProgramPath("Quarlen"), ini}, dir_.path());
  }

  // Runs `ini` with every amount of free space; `start` puts the starting
  // file in place (with the filler gone). Returns the runs that failed.
  int Sweep(const std::string& ini, const std::function<void()>& start) {
    start();
    ExpectSuccess(Quarlen(ini));
    const std::string after = OlefileDump(cnf_);
    start();
    const std::string before = PathExists(cnf_) ? OlefileDump(cnf_) : "absent";
    int failed = 0;
    bool whole = false;
    for (uint64_t free_bytes = 0; !whole && free_bytes < 256 * 1024; free_bytes += 4096) {
      start();
      Fill(free_bytes);
      testing_support::RunResult r = Quarlen(ini);
      std::string now = PathExists(cnf_) ? OlefileDump(cnf_) : "absent";
      whole = r.exit_status == 0 && r.err.empty();
      if (whole) {
        EXPECT_EQ(after, now) << free_bytes;
        continue;
      }
      ++failed;
      // A failed commit: said, not 0, and nothing of the run in the file.
      EXPECT_NE(0, r.exit_status) << free_bytes << ": " << r.err;
      EXPECT_NE(std::string::npos, r.err.find("as it was before the run")) << r.err;
      EXPECT_EQ(before, now) << free_bytes << ": " << r.err;
      EXPECT_FALSE(PathExists(cnf_ + "-journal"));
      // With room again, a normal run does the whole job and says nothing.
      ::unlink(filler_.c_str());
      testing_support::RunResult again = Quarlen(ini);
      EXPECT_EQ(0, again.exit_status) << again.err;
      EXPECT_EQ("", again.err);
      EXPECT_EQ(after, OlefileDump(cnf_)) << free_bytes;
    }
    EXPECT_TRUE(whole) << "no amount of free space let the run through";
    return failed;
  }
  static void ExpectSuccess(const testing_support::RunResult& r) {
    EXPECT_EQ(0, r.exit_status) << r.err;
  }

  TempDir dir_;
  std::string disk_, cnf_, filler_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, ARunThatDoesNotFitChangesNothingAndSaysSo) {
  // Tasks in every area, enough of them for the file to grow by many pages.
  std::string tasks =
      "[Task0]\r\nNameENG=Anna one\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
      "[Task1]\r\nNameENG=Guard\r\nIsReadOnly=1\r\n";
  for (int i = 2; i < 200; ++i) {
    tasks += "[Task" + std::to_string(i) + "]\r\nNameENG=Scan " + std::to_string(i) +
             "\r\nIsShared=1\r\nVirusFoundMsgENG=" + std::string(200, 'n') + "\r\n";
  }
  WriteWholeFile(dir_.File("create.ini"), "[MAIN]\r\nOutputENG=" + cnf_ +
                                              "\r\nPassword=secret\r\nNumTasks=200\r\n" + tasks);
  WriteWholeFile(dir_.File("update.ini"),
                 "[MAIN]\r\nOutputENG=" + cnf_ + "\r\nNumTasks=200\r\n" + tasks);
  int created = Sweep("create.ini", [&] {
    ::unlink(filler_.c_str());
    ::unlink(cnf_.c_str());
  });
  ::unlink(filler_.c_str());
  ::unlink(cnf_.c_str());
  ASSERT_EQ(0, Quarlen("create.ini").exit_status);
  const std::string base = ReadWholeFile(cnf_);
  int changed = Sweep("update.ini", [&] {
    ::unlink(filler_.c_str());
    WriteWholeFile(cnf_, base);
  });
  std::printf("full disk: %d failed runs creating, %d changing\n", created, changed);
  EXPECT_GT(created, 0);
  EXPECT_GT(changed, 0);
}

// An export whose INI text or report does not fit says so and leaves the
// file it was to replace as it was, without a half-written one beside it;
// a report that does not fit after a complete export ends with 11.
TEST_F(FullDiskTest, AnExportThatDoesNotFitKeepsTheEarlierFiles) {
  const std::string cnf = dir_.File("basic.CNF");
  WriteWholeFile(cnf, ReadWholeFile(testing_support::FixturePath("615/basic.CNF")));
  const std::string on_disk = disk_ + "/earlier";
  const std::string elsewhere = dir_.File("export.ini");
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {"the INI text", {"-I" + on_disk}, 8,
       "cannot write the INI file " + on_disk + ": No space left on device"},
      {"the report", {"-I" + elsewhere, "-R" + on_disk}, 11,
       "cannot write the report file " + on_disk +
           ": No space left on device; the run itself is complete"},
  };
  for (const auto& c : cases) {
    ::unlink(filler_.c_str());
    WriteWholeFile(on_disk, "the earlier file");
    Fill(0);
    std::vector<std::string> argv = {ProgramPath("Rebolan"), cnf, "-Psecret1"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testing_support::RunResult r = testing_support::Run(
        argv, dir_.path(), {{"TMPDIR", dir_.path()}, {"TORVI32_REGISTRY", dir_.File("none.reg")}});
    EXPECT_EQ(c.status, r.exit_status) << c.what << ": " << r.err;
    EXPECT_EQ("Rebolan: " + c.says + "\n", r.err) << c.what;
    EXPECT_EQ("the earlier file", ReadWholeFile(on_disk)) << c.what;
    EXPECT_FALSE(PathExists(on_disk + "-new")) << c.what;
  }
}

}  // namespace
