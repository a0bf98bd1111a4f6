// Quarlen killed at random instants while it adds a task to an existing
// configuration: the file always opens and holds every task and password it
// held, plus the new task whole or not at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "platform/storage.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

const char kBaseIni[] =
    "[MAIN]\r\nPassword=secret\r\nRGWPassword=abcd\r\nNumTasks=3\r\n"
    "[Task0]\r\nNameENG=Daily scan\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
    "Areas=\"C:\\DATA\\\"S-,local\r\nTypes=*.doc\r\n"
    "[Task1]\r\nNameENG=*Fixed\r\nIsReadOnly=1\r\nResidentExcludeFiles=\"C:\\A.EXE\"\r\n"
    "[Task2]\r\nNameENG=Common one\r\n";
// A task of some size, so that adding it changes several sectors.
std::string AddIni() {
  std::string types;
  for (int i = 0; i < 60; ++i) types += (i ? "," : "") + std::string("*.ext") + std::to_string(i);
  return "[MAIN]\r\nNumTasks=1\r\n[Task0]\r\nNameENG=Added late\r\nTypes=" + types + "\r\n";
}

// Starts Quarlen on `ini` in `cwd`; kills it with SIGKILL after `delay`
// unless it ended first. Returns true when it was killed.
bool RunAndKill(const std::string& cwd, const std::string& ini, std::chrono::microseconds delay) {
  std::string program = ProgramPath("Quarlen");
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execl(program.c_str(), program.c_str(), ini.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return false;
  struct timespec pause;
  pause.tv_sec = delay.count() / 1000000;
  pause.tv_nsec = (delay.count() % 1000000) * 1000;
  nanosleep(&pause, nullptr);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

// Opens the file with the engine (which rolls back a journal left behind)
// and closes it again.
HRESULT OpenOnce(const std::string& path) {
  std::unique_ptr<platform::Storage> root;
  return platform::OpenStorageFile(path, platform::kStorageMode, &root);
}

TEST(KillTest, AKilledRunLeavesTheConfigurationBeforeOrAfterIt) {
  TempDir dir;
  const std::string cnf = dir.File("TORVI32.CNF");
  WriteWholeFile(dir.File("base.ini"), kBaseIni);
  WriteWholeFile(dir.File("add.ini"), AddIni());
  ASSERT_EQ(0, testing_support::Run({ProgramPath("Quarlen"), "base.ini"}, dir.path()).exit_status);
  const std::string base = ReadWholeFile(cnf);
  const std::string before = OlefileDump(cnf);
  ASSERT_NE(std::string::npos, before.find("_Zarin_/cc012")) << before;
  ASSERT_NE(std::string::npos, before.find("S OFFICE/anna")) << before;
  ASSERT_NE(std::string::npos, before.find("S _Common_/_ReadOnly_")) << before;

  // A whole run: the state after, and how long a run takes (the shortest
  // of five, so that kills land inside a run on a busy machine too).
  std::chrono::microseconds run_time = std::chrono::seconds(10);
  for (int i = 0; i < 5; ++i) {
    WriteWholeFile(cnf, base);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, testing_support::Run({ProgramPath("Quarlen"), "add.ini"}, dir.path()).exit_status);
    run_time = std::min(run_time, std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - start));
  }
  const std::string after = OlefileDump(cnf);
  ASSERT_NE(before, after);

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int64_t> delay(0, run_time.count());
  int killed = 0, before_seen = 0, after_seen = 0;
  const int kRuns = 200;
  for (int i = 0; i < kRuns; ++i) {
    WriteWholeFile(cnf, base);
    killed += RunAndKill(dir.path(), "add.ini", std::chrono::microseconds(delay(random)));
    ASSERT_EQ(S_OK, OpenOnce(cnf)) << "run " << i;
    EXPECT_FALSE(PathExists(cnf + "-journal"));
    std::string dump = OlefileDump(cnf);
    if (dump == before) {
      ++before_seen;
    } else if (dump == after) {
      ++after_seen;
    } else {
      ADD_FAILURE() << "run " << i << " left\n" << dump;
      break;
    }
  }
  // Kills landed both before the change and after it.
  RecordProperty("killed", killed);
  std::printf("kill test: %d runs, %d killed, %d left the state before, %d after\n", kRuns,
              killed, before_seen, after_seen);
  EXPECT_GT(killed, kRuns / 5);
  EXPECT_GT(before_seen, 0);
}

}  // namespace
