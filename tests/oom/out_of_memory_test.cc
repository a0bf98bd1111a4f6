// Every allocation of a small run failed in turn: Quarlen creating a file
// and changing one, a Rebolan export and conversion, a cfbtool put. Each run
// is made in a forked child through the entry's guard, with its k-th
// allocation failing, for k = 1, 2, ... until a run ends without reaching
// k. Each child must exit (not die of a signal) with 0, a status the
// program documents for it, or its out-of-memory result, and leave each
// file as before the run or as after a whole one (compared through the
// engine, stream by stream); an out-of-memory result must be said on
// stderr.
#include <gtest/gtest.h>

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "builder/startup.h"
#include "converter/driver.h"
#include "converter/hand_off.h"
#include "platform/conversion_record.h"
#include "platform/hresult.h"
#include "platform/program_main.h"
#include "tests/oom/fail_allocation.h"
#include "tests/support/fake_system.h"
#include "tests/support/test_support.h"
#include "tools/cfbtool.h"

namespace {

using testing_support::FixturePath;
using testing_support::PathExists;
using testing_support::ReadWholeFile;
using testing_support::StorageContents;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using Contents = std::map<std::string, std::string>;

// How a child's run ended.
struct End {
  bool exited = false;  // by exit, not by a signal
  int signal = 0;
  int32_t result = 0;    // the run's full 32-bit result
  bool reached = false;  // the run asked for at least k allocations
  std::string said;      // its stderr
};

// `run` in a child process whose k-th allocation fails, through the guard
// of the programs' entry with `out_of_memory` as the result; `stdin_path`,
// when given, is its standard input.
End RunFailingAt(uint64_t k, int32_t out_of_memory, const std::function<int32_t()>& run,
                 const std::string& err_path, const std::string& stdin_path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return End();
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    if (!stdin_path.empty()) dup2(open(stdin_path.c_str(), O_RDONLY), 0);
    // A run that terminates leaves its stack in the message of the failure.
    std::set_terminate([] {
      void* frames[64];
      backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
      std::abort();
    });
    testing_support::FailAllocationAt(k);
    int32_t result = 0;
    try {
      result = platform::StopOnOutOfMemory(out_of_memory, run);
    } catch (...) {
      std::terminate();  // as in the program: nothing above the entry catches
    }
    const bool reached = testing_support::StopFailingAllocations() >= k;
    char message[5];
    std::memcpy(message, &result, 4);
    message[4] = reached ? 1 : 0;
    ssize_t ignored = write(pipe_fds[1], message, sizeof message);
    (void)ignored;
    _exit(platform::PosixExitStatus(result, nullptr));
  }
  close(pipe_fds[1]);
  End end;
  char message[5] = {};
  ssize_t got = read(pipe_fds[0], message, sizeof message);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  end.exited = WIFEXITED(status) && got == sizeof message;
  end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  std::memcpy(&end.result, message, 4);
  end.reached = message[4] != 0;
  end.said = ReadWholeFile(err_path);
  return end;
}

// One program's run swept over its allocations.
struct Sweep {
  const char* name;
  int32_t out_of_memory;             // the result the guard gives
  std::set<int32_t> also_allowed;    // further documented results
  std::function<void()> start;       // puts the files as before the run
  std::function<int32_t()> run;      // the run, in the child
  std::string stdin_path;            // the run's standard input, if any
  // The files after a run: "before", "after" (a whole run) or what else.
  std::function<std::string()> judge;
};

struct Counts {
  uint64_t points = 0, whole = 0, out_of_memory = 0, other = 0;
  double seconds = 0;
};

uint64_t FirstK();

Counts SweepAllocations(const Sweep& sweep, const std::string& err_path, uint64_t stride) {
  Counts counts;
  auto begin = std::chrono::steady_clock::now();
  for (uint64_t k = FirstK();; k += stride) {
    sweep.start();
    End end = RunFailingAt(k, sweep.out_of_memory, sweep.run, err_path, sweep.stdin_path);
    const std::string where = std::string(sweep.name) + ", allocation " + std::to_string(k);
    if (!end.exited) {
      ADD_FAILURE() << where << ": the run died of signal " << end.signal << "\n" << end.said;
      break;
    }
    const std::string files = sweep.judge();
    if (!end.reached) {
      EXPECT_EQ(0, end.result) << where << ": a run that had all its memory\n" << end.said;
      EXPECT_EQ("after", files) << where << ": a run that had all its memory";
      break;
    }
    ++counts.points;
    if (end.result == 0) {
      ++counts.whole;
      EXPECT_EQ("after", files) << where << ": the run ended with 0\n" << end.said;
    } else if (end.result == sweep.out_of_memory) {
      ++counts.out_of_memory;
      EXPECT_NE(std::string::npos, end.said.find("out of memory")) << where << "\n" << end.said;
      EXPECT_TRUE(files == "before" || files == "after") << where << ": " << files << "\n"
                                                         << end.said;
    } else {
      ++counts.other;
      EXPECT_EQ(1u, sweep.also_allowed.count(end.result))
          << where << ": result " << end.result << "\n" << end.said;
      // A run that could not read something changes no configuration; an
      // export's text may still hold every task (a walk that failed to
      // allocate is followed by one that did not).
      const bool export_run = std::string(sweep.name).find("export") != std::string::npos;
      EXPECT_TRUE(files == "before" || (export_run && files == "after"))
          << where << ": result " << end.result << ": " << files << "\n" << end.said;
    }
    if (::testing::Test::HasFailure()) break;
  }
  counts.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("%s: %llu allocation points (stride %llu), %llu whole runs, %llu out of memory, "
              "%llu other documented results, %.1f s\n",
              sweep.name, static_cast<unsigned long long>(counts.points),
              static_cast<unsigned long long>(stride),
              static_cast<unsigned long long>(counts.whole),
              static_cast<unsigned long long>(counts.out_of_memory),
              static_cast<unsigned long long>(counts.other), counts.seconds);
  return counts;
}

// The names in the folder of `path`, for messages.
std::string FolderListing(const std::string& path) {
  std::string folder = path.substr(0, path.rfind('/'));
  std::string names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) names += std::string(" ") + entry->d_name;
    closedir(dir);
  }
  return "the folder holds" + names;
}

// "before", "after" or what the state is: the configuration at `cnf` (with
// no journal left beside it) compared with the two.
std::string Judge(const std::string& cnf, const Contents& before, const Contents& after) {
  if (PathExists(cnf + "-journal")) return "a journal is left; " + FolderListing(cnf);
  ::testing::internal::CaptureStderr();
  const Contents now = StorageContents(cnf);
  ::testing::internal::GetCapturedStderr();
  if (now == before) return "before";
  if (now == after) return "after";
  return "neither before nor after (" + now.begin()->first + ", " +
         std::to_string(now.size()) + " elements); " + FolderListing(cnf);
}

const char kCreateIni[] =
    "[MAIN]\r\nOutputENG=@\r\nPassword=secret\r\nRGWPassword=second\r\nNumTasks=3\r\n"
    "[Task0]\r\nNameENG=Anna one\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
    "[Task1]\r\nNameENG=Nightly scan\r\nIsShared=1\r\nTypes=programs,*.doc\r\n"
    "[Task2]\r\nNameENG=Old guard\r\nIsReadOnly=1\r\n";

const char kChangeIni[] =
    "[MAIN]\r\nOutputENG=@\r\nPassword=other\r\nRGWPassword=again\r\nNumTasks=2\r\n"
    "[ToDelete]\r\nNumTasks=1\r\nTask0=Nightly scan\r\n"
    "[Task0]\r\nNameENG=Anna two\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
    "[Task1]\r\nNameENG=New guard\r\nIsReadOnly=1\r\nAreas=\"C:\\DATA\",local\r\n";

std::string WithOutput(std::string text, const std::string& output) {
  return text.replace(text.find('@'), 1, output);
}

// A whole run in this process, without failing allocations.
int32_t RunWhole(const std::function<int32_t()>& run) {
  ::testing::internal::CaptureStderr();
  int32_t result = run();
  ::testing::internal::GetCapturedStderr();
  return result;
}

// The stride between the k tried: 1 (every allocation) unless
// CNF_OOM_STRIDE says otherwise.
uint64_t Stride() {
  const char* text = std::getenv("CNF_OOM_STRIDE");
  uint64_t stride = text != nullptr ? std::strtoull(text, nullptr, 10) : 1;
  return stride == 0 ? 1 : stride;
}

// The first k tried: 1 unless CNF_OOM_FIRST says otherwise (to look at one
// allocation in a debugger).
uint64_t FirstK() {
  const char* text = std::getenv("CNF_OOM_FIRST");
  uint64_t first = text != nullptr ? std::strtoull(text, nullptr, 10) : 1;
  return first == 0 ? 1 : first;
}

// No registry file; a conversion starts the Quarlen of this build, a
// program of its own whose allocations do not fail.
class OutOfMemoryTest : public ::testing::Test {
 protected:
  OutOfMemoryTest() { ::mkdir(tmp_.c_str(), 0700); }
  TempDir dir_;
  std::string tmp_ = dir_.File("tmp");
  std::string err_ = dir_.File("stderr");
  testing_support::FakeSystem system_{
      platform::Environment{{"TMPDIR", tmp_},
                            {"TORVI32_REGISTRY", dir_.File("none.reg")},
                            {"PATH", testing_support::BinaryDir() + "/tools"}}};
  testing_support::ScopedSystem scoped_system_{&system_};
};

TEST_F(OutOfMemoryTest, QuarlenCreatingAndChangingAFile) {
  const std::string cnf = dir_.File("Torvi32.CNF");
  const std::string create_ini = dir_.File("create.ini");
  const std::string change_ini = dir_.File("change.ini");
  WriteWholeFile(create_ini, WithOutput(kCreateIni, cnf));
  WriteWholeFile(change_ini, WithOutput(kChangeIni, cnf));
  auto create = [&] { return builder::RunBuilder(create_ini + " /LENG"); };
  auto change = [&] { return builder::RunBuilder(change_ini + " /LENG"); };
  auto no_file = [&] { ::unlink(cnf.c_str()); };

  no_file();
  ASSERT_EQ(0, RunWhole(create));
  const std::string created = ReadWholeFile(cnf);
  const Contents after_create = StorageContents(cnf);
  ASSERT_EQ(0, RunWhole(change));
  const Contents after_change = StorageContents(cnf);
  ASSERT_NE(after_create, after_change);
  auto original = [&] { WriteWholeFile(cnf, created); };

  SweepAllocations({"Quarlen creating a file", builder::kExitOutOfMemory, {}, no_file, create, "",
                    [&] { return Judge(cnf, {{"absent", ""}}, after_create); }},
                   err_, Stride());
  SweepAllocations({"Quarlen changing a file", builder::kExitOutOfMemory, {}, original, change,
                    "", [&] { return Judge(cnf, after_create, after_change); }},
                   err_, Stride());

  // The dry run of the change leaves the file and the folder as they are,
  // however it ends: "after" is the file unchanged.
  auto dry_run = [&] {
    int null = ::open("/dev/null", O_WRONLY);  // the listing
    if (null >= 0) ::dup2(null, 1);
    return builder::RunBuilder(change_ini + " /LENG /D");
  };
  original();
  const std::string folder = FolderListing(cnf);
  SweepAllocations({"Quarlen dry run of a change", builder::kExitOutOfMemory, {}, original,
                    dry_run, "",
                    [&] {
                      std::string now = FolderListing(cnf);
                      if (now != folder) return "a file was made: " + now;
                      return Judge(cnf, {{"never", ""}}, after_create);
                    }},
                   err_, Stride());
}

TEST_F(OutOfMemoryTest, RebolanExportAndConversion) {
  const std::string cnf = dir_.File("T.CNF");
  const std::string ini = dir_.File("out.ini");
  const std::string old_bytes = ReadWholeFile(FixturePath("615/basic.CNF"));
  auto original = [&] {
    WriteWholeFile(cnf, old_bytes);
    ::unlink(ini.c_str());
  };
  const std::string report = dir_.File("report.json");
  auto export_run = [&] {
    return converter::RunRebolan(cnf + " -I" + ini + " -Psecret1 -R" + report,
                                 "/nowhere/default.CNF");
  };
  auto conversion = [&] { return converter::RunRebolan(cnf, "/nowhere/default.CNF"); };

  original();
  const Contents old_contents = StorageContents(cnf);
  ASSERT_EQ(0, RunWhole(export_run));
  const std::string whole_ini = ReadWholeFile(ini);
  ASSERT_NE(std::string::npos, whole_ini.find("Weekly"));
  original();
  ASSERT_EQ(0, RunWhole(conversion));
  const Contents converted = StorageContents(cnf);
  ASSERT_NE(old_contents, converted);

  // A value that cannot be read whole (a nothrow allocation of the reader
  // that fails) is exit 2, documented.
  const std::set<int32_t> not_read_whole = {2};
  SweepAllocations({"Rebolan export", E_OUTOFMEMORY, not_read_whole, original, export_run, "",
                    [&]() -> std::string {
                      std::string files = Judge(cnf, old_contents, {});
                      if (files != "before") return "the configuration changed: " + files;
                      // A text staged beside its file never outlives the run.
                      for (const std::string& staged : {ini + "-new", report + "-new"}) {
                        if (PathExists(staged)) return staged + " is left";
                      }
                      return ReadWholeFile(ini) == whole_ini ? "after" : "before";
                    }},
                   err_, Stride());
  // Nothing may be left aside: the old file is back, or converted, or a
  // conversion record tells the next run which of the two to make it (an
  // allocation that fails after the new file was checked leaves the
  // deletion of the old one to that run).
  SweepAllocations({"Rebolan conversion", E_OUTOFMEMORY, not_read_whole, original, conversion, "",
                    [&]() -> std::string {
                      if (PathExists(platform::ConversionRecordPath(cnf))) {
                        ::testing::internal::CaptureStderr();
                        const converter::Recovery recovery = converter::RecoverConversion(cnf);
                        ::testing::internal::GetCapturedStderr();
                        if (recovery.exit_code != 0) return "the record cannot be dealt with";
                      }
                      if (PathExists(cnf + ".615")) return "the old file is left aside";
                      return Judge(cnf, old_contents, converted);
                    }},
                   err_, Stride());
}

TEST_F(OutOfMemoryTest, CfbtoolPut) {
  const std::string cnf = dir_.File("v616.CNF");
  const std::string input = dir_.File("input");
  const std::string old_bytes = ReadWholeFile(FixturePath("615/v616.CNF"));
  WriteWholeFile(input, std::string(5000, 'x'));  // beyond the mini stream
  std::vector<std::string> args = {"cfbtool", "put", cnf, "_Common_/9"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  auto put = [&] { return cfbtool::RunTool(static_cast<int>(args.size()), argv.data()); };
  auto original = [&] { WriteWholeFile(cnf, old_bytes); };

  original();
  const Contents before = StorageContents(cnf);
  Contents after = before;
  after["_Common_/9"] = std::string(5000, 'x');
  const Counts counts =
      SweepAllocations({"cfbtool put", cfbtool::kExitOutOfMemory, {}, original, put, input,
                        [&] { return Judge(cnf, before, after); }},
                       err_, Stride());
  // The put allocates: a sweep that injected nothing tested nothing.
  EXPECT_GT(counts.out_of_memory, 0u);
}

}  // namespace
