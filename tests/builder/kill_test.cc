// Quarlen's run killed just before each of the calls that change a file or
// a folder, while it creates a new configuration and while it changes an
// existing one. After the kill the configuration is as before the run (or
// absent, for a new one) or holds the whole run; a normal run afterwards
// does exactly what it does on a file no run was killed on, and says at
// most that it took back an interrupted run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "builder/config_layout.h"
#include "builder/startup.h"
#include "builder/task_storage.h"
#include "platform/storage.h"
#include "tests/support/fault_injection.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::FaultInjectingFileSystem;
using testing_support::PathExists;
using testing_support::ReadWholeFile;
using testing_support::StorageContents;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

const char kBaseIni[] =
    "[MAIN]\r\nOutputENG=@\r\nPassword=secret\r\nRGWPassword=second\r\nNumTasks=4\r\n"
    "[Task0]\r\nNameENG=Anna one\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
    "[Task1]\r\nNameENG=Nightly scan\r\nIsShared=1\r\nTypes=programs,*.doc\r\n"
    "[Task2]\r\nNameENG=Weekly scan\r\nIsShared=1\r\n"
    "[Task3]\r\nNameENG=Old guard\r\nIsReadOnly=1\r\n";

std::string UpdateIni() {
  return "[MAIN]\r\nOutputENG=@\r\nNumTasks=2\r\n"
         "[ToDelete]\r\nNumTasks=1\r\nTask0=Weekly scan\r\n"
         "[Task0]\r\nNameENG=Anna two\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
         "[Task1]\r\nNameENG=New guard\r\nIsReadOnly=1\r\nVirusFoundMsgENG=" +
         std::string(5000, 'm') + "\r\n";
}

std::string WithOutput(std::string text, const std::string& output) {
  return text.replace(text.find('@'), 1, output);
}

// A run of the builder in this process, as the program makes it; returns
// what it said on stderr.
std::string RunHere(const std::string& ini) {
  ::testing::internal::CaptureStderr();
  int32_t rc = RunBuilder(ini + " /LENG");
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, rc) << said;
  return said;
}

// The same run in a child process killed before its k-th changing call.
// Returns true when it was killed, false when it ended first.
bool RunKilled(const std::string& ini, uint64_t k) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    FaultInjectingFileSystem fs;
    fs.KillAtChange(k);
    platform::FileSystem::SetDefault(&fs);
    _exit(RunBuilder(ini + " /LENG") == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == FaultInjectingFileSystem::kKilledStatus;
}

struct KillCounts {
  int points = 0, before = 0, after = 0;
};

// Kills a run of `ini` at every changing call; `start` puts the starting
// state in place.
KillCounts KillEverywhere(const std::string& cnf, const std::string& ini,
                          const std::function<void()>& start) {
  start();
  RunHere(ini);
  const auto whole = StorageContents(cnf);
  RunHere(ini);
  const auto whole_twice = StorageContents(cnf);  // a normal run on the whole result
  start();
  const auto before = StorageContents(cnf);

  KillCounts counts;
  for (uint64_t k = 1; k < 500; ++k) {
    start();
    if (!RunKilled(ini, k)) break;
    ++counts.points;
    // The next open takes back what the killed run left unfinished.
    ::testing::internal::CaptureStderr();
    const auto left = StorageContents(cnf);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(PathExists(cnf + "-journal")) << k;
    bool was_before = left == before;
    counts.before += was_before;
    counts.after += left == whole;
    if (!was_before && left != whole) {
      ADD_FAILURE() << "killed before change " << k << ": " << left.begin()->first;
      break;
    }
    // A normal run now: the same as on a file no run was killed on.
    std::string said = RunHere(ini);
    EXPECT_EQ(was_before ? whole : whole_twice, StorageContents(cnf)) << k;
    EXPECT_TRUE(said.empty() || said.find("were taken back") != std::string::npos)
        << k << ": " << said;
    EXPECT_FALSE(PathExists(cnf + "-new")) << k;
  }
  return counts;
}

TEST(BuilderKillTest, ARunKilledAtAnyFileChangeLeavesTheFileBeforeOrAfterIt) {
  TempDir dir;
  const std::string cnf = dir.File("Torvi32.CNF");
  const std::string base_ini = dir.File("base.ini");
  const std::string update_ini = dir.File("update.ini");
  WriteWholeFile(base_ini, WithOutput(kBaseIni, cnf));
  WriteWholeFile(update_ini, WithOutput(UpdateIni(), cnf));

  // A new file: it appears whole or not at all.
  KillCounts created = KillEverywhere(cnf, base_ini, [&] {
    platform::FileSystem::Platform()->Delete(cnf);
  });
  // An existing file: as before the run, or with all of it.
  RunHere(base_ini);
  const std::string original = ReadWholeFile(cnf);
  KillCounts changed = KillEverywhere(cnf, update_ini, [&] {
    WriteWholeFile(cnf, original);
  });
  std::printf("kill points: new file %d (%d absent, %d whole), existing file %d (%d before, "
              "%d after)\n",
              created.points, created.before, created.after, changed.points, changed.before,
              changed.after);
  EXPECT_GT(created.points, 2);
  EXPECT_GT(changed.points, 4);
  EXPECT_GT(changed.before, 0);
  EXPECT_GT(changed.after, 0);
}

}  // namespace
}  // namespace builder
