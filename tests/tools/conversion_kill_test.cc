// Whole conversion runs of the real Rebolan (and the Quarlen it starts)
// struck just before each call that changes a file or folder, by the
// LD_PRELOAD shim tests/support/kill_shim.c: Rebolan killed, Quarlen killed,
// both killed, Ctrl-C to both, SIGTERM to Rebolan. After each strike the
// folder holds the old configuration byte for byte or the whole conversion
// at its path; a normal run afterwards ends with the whole conversion, the
// old file's owner and mode, and nothing left behind that no message named.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/converter/writer_615.h"
#include "tests/support/kill_shim.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace {

using testing_support::FilesBelow;
using testing_support::FolderEntries;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::StorageContents;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

const mode_t kOldMode = 0640;

// The old configuration: tasks of two users, common and read-only tasks,
// the main password and the second password stream.
std::string OldConfiguration(const std::string& scratch) {
  writer_615::Tree tree = writer_615::Skeleton(615, "main-pw");
  tree.streams.push_back({"_Zarin_/ro012", testing_support::Le32(5) + "ro-pw"});
  for (const char* storage : {"OFFICE", "OFFICE/anna", "OFFICE/bob"}) {
    tree.storages.push_back(storage);
  }
  writer_615::Task task;
  int n = 0;
  for (const char* area : {"OFFICE/anna", "OFFICE/bob", "_Common_", "_Common_",
                           "_Common_/_ReadOnly_"}) {
    task.name = "Task " + std::to_string(++n);
    task.priority = n;
    writer_615::AddTask(&tree, std::string(area) + "/" + std::to_string(n), task);
  }
  EXPECT_EQ(S_OK, writer_615::WriteTree(scratch, tree));
  std::string bytes = ReadWholeFile(scratch);
  ::unlink(scratch.c_str());
  return bytes;
}

struct FileState {
  std::map<std::string, std::string> contents;  // StorageContents
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Whether `text` names `path` as a whole: not as the beginning of a longer
// path ("T.CNF" in "T.CNF.615"). A full stop that ends a sentence ends it.
bool Names(const std::string& text, const std::string& path) {
  auto is_path_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == '/';
  };
  for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + 1)) {
    size_t end = at + path.size();
    if (end == text.size() || !is_path_char(text[end])) return true;
    if (text[end] == '.' && (end + 1 == text.size() || !is_path_char(text[end + 1]))) return true;
  }
  return false;
}

// The outcome of one run of Rebolan in its own process group.
struct Outcome {
  int status = 0;              // waitpid's status of Rebolan
  std::string err;             // stderr of Rebolan and of Quarlen
  int64_t ended_at_us = 0;     // NowUs() when Rebolan was reaped
  bool timed_out = false;      // the group was still running after the deadline
};

// Wall-clock microseconds, the shim's clock.
int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0%o", static_cast<unsigned>(mode));
  return text;
}

// One way of striking a run: whose calls count, who gets which signal.
struct Mode {
  const char* what;
  const char* program;  // CNF_KILL_PROGRAM
  const char* target;   // CNF_KILL_TARGET
  int signal;
};

const Mode kModes[] = {
    {"Rebolan killed", "Rebolan", "self", SIGKILL},
    {"Quarlen killed", "Quarlen", "self", SIGKILL},
    {"both killed (SIGKILL to the group)", "any", "group", SIGKILL},
    {"SIGINT to the group", "any", "group", SIGINT},
    {"SIGTERM to Rebolan", "any", "rebolan", SIGTERM},
};

class ConversionKillTest : public ::testing::Test {
 protected:
  ConversionKillTest()
      : cfg_(dir_.File("cfg")),
        tmp_(dir_.File("tmp")),
        scratch_(dir_.File("scratch")),
        page_path_(dir_.File("kill-page")),
        path_(cfg_ + "/Torvi32.CNF") {
    for (const std::string& folder : {cfg_, tmp_, scratch_}) ::mkdir(folder.c_str(), 0700);
    original_ = OldConfiguration(scratch_ + "/old.CNF");
    // Orphans of a struck Rebolan become this process's children, so that
    // the test can wait for every process of a run.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  ~ConversionKillTest() override { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }

  // Empties `folder`, the private folders of runs in it included.
  static void Clear(const std::string& folder) {
    for (const std::string& p : FolderEntries(folder)) {
      if (IsFolder(p)) {
        Clear(p);
        ::rmdir(p.c_str());
      } else {
        ::unlink(p.c_str());
      }
    }
  }

  static bool IsFolder(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }


  // The old configuration afresh at its path, alone in its folder, with an
  // owner other than root when the test can give one.
  void PutOriginal() {
    Clear(cfg_);
    Clear(tmp_);
    WriteWholeFile(path_, original_);
    ASSERT_EQ(0, ::chmod(path_.c_str(), kOldMode));
    if (::geteuid() == 0) {
      ASSERT_EQ(0, ::chown(path_.c_str(), 1, 1));
    }
  }

  // The state of the file at `path` as the engine reads it, from a copy in
  // the scratch folder: the test never changes what a run left (an open of
  // the file itself would take back a journal beside it).
  FileState StateOf(const std::string& path) {
    FileState state;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      state.contents = {{"absent", ""}};
      return state;
    }
    state.mode = st.st_mode & 07777;
    state.uid = st.st_uid;
    state.gid = st.st_gid;
    const std::string copy = scratch_ + "/copy.CNF";
    WriteWholeFile(copy, ReadWholeFile(path));
    state.contents = StorageContents(copy);
    ::unlink(copy.c_str());
    return state;
  }

  // Invariant A, "" when it holds: the old configuration is in the folder
  // byte for byte (under any name), or the path holds the whole conversion
  // with no journal beside it that a later open would roll back.
  std::string InvariantA() {
    if (HoldsOriginal()) return "";
    if (PathHoldsConversion()) return "";
    std::string listing;
    for (const std::string& p : FolderEntries(cfg_)) listing += " " + p;
    return "neither the old configuration nor the whole conversion is left; the folder holds:" +
           listing;
  }

  bool HoldsOriginal() {
    for (const std::string& p : FolderEntries(cfg_)) {
      struct stat st;
      if (::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ReadWholeFile(p) == original_) {
        return true;
      }
    }
    return false;
  }

  bool PathHoldsOriginal() { return PathExists(path_) && ReadWholeFile(path_) == original_; }

  bool PathHoldsConversion() {
    return !PathExists(path_ + "-journal") && StateOf(path_).contents == reference_.contents;
  }

  // The folder as a finished run leaves it: the path alone, holding the old
  // configuration or the conversion with the old file's owner and mode.
  bool Whole() {
    if (FolderEntries(cfg_) != std::vector<std::string>{path_}) return false;
    if (PathHoldsOriginal()) return true;
    FileState state = StateOf(path_);
    return state.contents == reference_.contents && state.mode == reference_.mode &&
           state.uid == reference_.uid && state.gid == reference_.gid;
  }

  // Files of the configuration's folder (other than the path) and of TMPDIR
  // that `messages` do not name.
  std::vector<std::string> Unnamed(const std::string& messages) {
    std::vector<std::string> left;
    for (const std::string& folder : {cfg_, tmp_}) {
      for (const std::string& p : FilesBelow(folder)) {
        if (p != path_ && !Names(messages, p)) left.push_back(p);
      }
    }
    return left;
  }

  // Runs Rebolan on the path in its own process group, with `extra`
  // environment entries, and waits for every process of the run.
  Outcome RunRebolan(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const char* eq = std::strchr(*e, '=');
      if (eq == nullptr) continue;
      std::string name(*e, static_cast<size_t>(eq - *e));
      if (name.rfind("CNF_KILL_", 0) != 0 && name != "LD_PRELOAD") environment[name] = eq + 1;
    }
    const std::string program = ProgramPath("Rebolan");
    environment["TMPDIR"] = tmp_;
    environment["TORVI32_REGISTRY"] = dir_.File("none.reg");
    environment["PATH"] = program.substr(0, program.rfind('/'));
    for (const auto& [name, value] : extra) environment[name] = value;
    std::vector<std::string> env_text;
    for (const auto& [name, value] : environment) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{program, path_};
    std::vector<char*> argv{args[0].data(), args[1].data(), nullptr};

    Outcome outcome;
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return outcome;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(err_pipe[1], 2);
      if (::chdir(cfg_.c_str()) != 0) ::_exit(126);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::setpgid(pid, pid);  // either of the two calls wins the race
    ::close(err_pipe[1]);
    const int64_t deadline = NowUs() + 20'000'000LL;
    bool rebolan_running = true, pipe_open = true, group_running = true;
    while (pipe_open || group_running) {
      if (NowUs() > deadline && !outcome.timed_out) {
        outcome.timed_out = true;
        ::kill(-pid, SIGKILL);
      }
      if (pipe_open) {
        struct pollfd fd = {err_pipe[0], POLLIN, 0};
        if (::poll(&fd, 1, 10) > 0) {
          char buffer[4096];
          ssize_t n = ::read(err_pipe[0], buffer, sizeof buffer);
          if (n > 0) {
            outcome.err.append(buffer, static_cast<size_t>(n));
          } else if (n == 0 || errno != EINTR) {
            pipe_open = false;
          }
        }
      } else {
        ::usleep(2000);
      }
      int status = 0;
      if (rebolan_running) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
          rebolan_running = false;
          outcome.status = status;
          outcome.ended_at_us = NowUs();
        }
      } else {
        // Quarlen, left running by a struck Rebolan, is this process's child now.
        pid_t reaped;
        while ((reaped = ::waitpid(-pid, &status, WNOHANG)) > 0) {
        }
        group_running = !(reaped < 0 && errno == ECHILD);
      }
    }
    ::close(err_pipe[0]);
    return outcome;
  }

  // A fresh page for the shim.
  void ResetPage() { WriteWholeFile(page_path_, std::string(kKillPageBytes, '\0')); }

  KillPage ReadPage() {
    KillPage page;
    std::string bytes = ReadWholeFile(page_path_);
    std::memcpy(&page, bytes.data(), sizeof page);
    return page;
  }

  std::map<std::string, std::string> ShimEnvironment(const Mode& mode, uint64_t k) {
    return {{"LD_PRELOAD", CNF_KILL_SHIM},
            {"CNF_KILL_PAGE", page_path_},
            {"CNF_KILL_AT", std::to_string(k)},
            {"CNF_KILL_PROGRAM", mode.program},
            {"CNF_KILL_TARGET", mode.target},
            {"CNF_KILL_SIGNAL", std::to_string(mode.signal)}};
  }

  // The conversion of the original without any strike.
  void MakeReference() {
    PutOriginal();
    Outcome run = RunRebolan({});
    ASSERT_EQ(0, run.status) << Describe(run.status) << ": " << run.err;
    ASSERT_EQ("", run.err);
    reference_ = StateOf(path_);
    ASSERT_EQ(testing_support::Le32(616), reference_.contents["_Version_"]);
    ASSERT_EQ(1u, reference_.contents.count("_Zarin_/ro012"));
    ASSERT_EQ(kOldMode, reference_.mode);
    ASSERT_EQ(FolderEntries(cfg_), std::vector<std::string>{path_});
    ASSERT_TRUE(FolderEntries(tmp_).empty());
  }

  TempDir dir_;
  std::string cfg_, tmp_, scratch_, page_path_, path_;
  std::string original_;
  FileState reference_;
};

// The checkers on folder states made by hand: the test's verdicts rest on them.
TEST_F(ConversionKillTest, TheCheckersTellWholeStatesFromHalfOnes) {
  MakeReference();
  const std::string converted = ReadWholeFile(path_);
  auto put = [&](const std::string& path, const std::string& bytes, mode_t mode) {
    WriteWholeFile(path, bytes);
    ::chmod(path.c_str(), mode);
    if (::geteuid() == 0) ::chown(path.c_str(), 1, 1);
  };
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // name in cfg -> bytes
    mode_t mode;
    bool invariant_a, whole;
  } cases[] = {
      {"the original at the path", {{"Torvi32.CNF", original_}}, kOldMode, true, true},
      {"the original moved aside, nothing at the path", {{"Torvi32.CNF.615", original_}}, kOldMode,
       true, false},
      {"the conversion and the original beside it",
       {{"Torvi32.CNF", converted}, {"Torvi32.CNF.615", original_}}, kOldMode, true, false},
      {"the conversion alone, owner and mode given", {{"Torvi32.CNF", converted}}, kOldMode, true,
       true},
      {"the conversion alone, mode not given", {{"Torvi32.CNF", converted}}, 0600, true, false},
      {"the conversion with a journal beside it",
       {{"Torvi32.CNF", converted}, {"Torvi32.CNF-journal", "journal"}}, kOldMode, false, false},
      {"a cut original at the path", {{"Torvi32.CNF", original_.substr(0, 1024)}}, kOldMode, false,
       false},
      {"the original under a cut name is no original",
       {{"Torvi32.CNF.615", original_.substr(0, original_.size() - 1)}}, kOldMode, false, false},
      {"nothing at all", {}, kOldMode, false, false},
  };
  for (const Case& c : cases) {
    Clear(cfg_);
    for (const auto& [name, bytes] : c.files) put(cfg_ + "/" + name, bytes, c.mode);
    EXPECT_EQ(c.invariant_a, InvariantA().empty()) << c.what << ": " << InvariantA();
    EXPECT_EQ(c.whole, Whole()) << c.what;
  }
  // A conversion without the second password is no whole conversion.
  Clear(cfg_);
  put(path_, converted, kOldMode);
  testing_support::RunResult rm =
      testing_support::Run({ProgramPath("cfbtool"), "rm", path_, "_Zarin_/ro012"});
  ASSERT_EQ(0, rm.exit_status) << rm.err;
  EXPECT_FALSE(InvariantA().empty());

  EXPECT_TRUE(Names("kept at /a/T.CNF.615; move it", "/a/T.CNF.615"));
  EXPECT_TRUE(Names("the INI text is kept at /t/INI1.tmp\n", "/t/INI1.tmp"));
  EXPECT_TRUE(Names("it is at /a/T.CNF.", "/a/T.CNF"));
  EXPECT_FALSE(Names("kept at /a/T.CNF.615", "/a/T.CNF"));
  EXPECT_FALSE(Names("/a/T.CNF-journal.stale", "/a/T.CNF-journal"));
  WriteWholeFile(tmp_ + "/INI1.tmp", "");
  EXPECT_EQ(Unnamed("the INI text is kept at " + tmp_ + "/INI1.tmp"), std::vector<std::string>{});
  EXPECT_EQ(Unnamed("nothing"), std::vector<std::string>{tmp_ + "/INI1.tmp"});
}

// The rules a struck run and its rerun are held to, each counted per mode.
enum Rule {
  kInvariantA,       // the old configuration or the whole conversion is left
  kSignalEnding,     // an interrupted Rebolan ends soon, by the signal or with 128+N
  kPathAfterSignal,  // and leaves the old configuration or the conversion at the path
  kRerunConverts,    // the rerun ends with 0 and the conversion, owner and mode
  kRerunHonest,      // the rerun never says "nothing was changed" on a half state
  kNothingUnnamed,   // nothing is left that no message named
  kRuleCount
};
const char* const kRuleNames[kRuleCount] = {
    "invariant A", "signal ending", "path after the signal", "rerun converts",
    "rerun honest", "nothing unnamed"};

TEST_F(ConversionKillTest, EveryStrikeLeavesTheOldOrTheNewConfigurationAndARerunFinishes) {
  MakeReference();
  // The calls of a whole run, counted but not struck, for reading the k of
  // a report.
  PutOriginal();
  ResetPage();
  ASSERT_EQ(0, RunRebolan(ShimEnvironment({"count", "any", "self", SIGKILL}, 0)).status);
  const KillPage counted = ReadPage();
  std::printf("the calls of a whole run:");
  for (uint64_t i = 0; i < counted.calls && i < CNF_KILL_LOGGED_CALLS; ++i) {
    std::printf(" %llu %s:%s", static_cast<unsigned long long>(i + 1), counted.log[i].program,
                counted.log[i].call);
  }
  std::printf("\n");
  ASSERT_TRUE(Whole());
  const int64_t began = NowUs();
  for (const Mode& mode : kModes) {
    int points = 0, left_original = 0, left_conversion = 0, rerun_recovered = 0;
    std::vector<uint64_t> broken[kRuleCount];
    std::string signal_endings;
    // Says why a point broke a rule; the first few points per rule in full.
    uint64_t k = 1;
    auto check = [&](Rule rule, bool kept, const std::string& why) {
      if (kept) return;
      broken[rule].push_back(k);
      if (broken[rule].size() <= 3) ADD_FAILURE() << mode.what << ", " << kRuleNames[rule] << ": " << why;
    };
    for (;; ++k) {
      ASSERT_LT(k, 1000u) << mode.what << ": the runs never end without a strike";
      PutOriginal();
      ResetPage();
      Outcome struck = RunRebolan(ShimEnvironment(mode, k));
      const KillPage page = ReadPage();
      if (page.struck_pid == 0) {
        // The whole run came before the k-th call: the last kill point was k - 1.
        EXPECT_EQ(0, struck.status) << mode.what << ": " << Describe(struck.status) << ": "
                                    << struck.err;
        EXPECT_TRUE(Whole()) << mode.what;
        break;
      }
      ++points;
      const std::string where = "k=" + std::to_string(k) + " (before " + page.struck.call +
                                " in " + page.struck.program + ")";
      EXPECT_FALSE(struck.timed_out) << mode.what << ", " << where << ": the run did not end";
      if (mode.signal != SIGKILL) {
        const bool by_signal = WIFSIGNALED(struck.status) && WTERMSIG(struck.status) == mode.signal;
        const bool by_status =
            WIFEXITED(struck.status) && WEXITSTATUS(struck.status) == 128 + mode.signal;
        const std::string ending = by_signal ? "the signal" : by_status ? "128+N" : "other";
        if (signal_endings.find(ending) == std::string::npos) signal_endings += " " + ending;
        check(kSignalEnding,
              (by_signal || by_status) && struck.ended_at_us - page.struck_at_us < 5'000'000LL,
              where + ": Rebolan ended with " + Describe(struck.status) + " after " +
                  std::to_string((struck.ended_at_us - page.struck_at_us) / 1000) + " ms\n" +
                  struck.err);
        check(kPathAfterSignal, PathHoldsOriginal() || PathHoldsConversion(),
              where + ": the path holds neither the old configuration nor the conversion\n" +
                  struck.err);
      }
      const std::string a = InvariantA();
      check(kInvariantA, a.empty(), where + ": " + a + "\n" + struck.err);
      const bool whole = Whole();
      left_original += PathHoldsOriginal();
      left_conversion += !PathHoldsOriginal() && PathHoldsConversion();
      rerun_recovered += !whole;

      Outcome rerun = RunRebolan({});
      FileState after = StateOf(path_);
      check(kRerunConverts,
            rerun.status == 0 && after.contents == reference_.contents &&
                after.mode == reference_.mode && after.uid == reference_.uid &&
                after.gid == reference_.gid,
            where + ": the rerun ended with " + Describe(rerun.status) +
                (after.contents == reference_.contents ? "" : ", not with the conversion") +
                (after.mode == reference_.mode ? "" : ", mode " + Octal(after.mode)) +
                (after.uid == reference_.uid ? "" : ", another owner") + "\n" + rerun.err);
      check(kRerunHonest, whole || rerun.err.find("nothing was changed") == std::string::npos,
            where + ": on a half state the rerun says\n" + rerun.err);
      std::string listing;
      for (const std::string& p : Unnamed(struck.err + rerun.err)) listing += " " + p;
      check(kNothingUnnamed, listing.empty(),
            where + ": left behind and named by no message:" + listing + "\nstruck run:\n" +
                struck.err + "rerun:\n" + rerun.err);
    }
    std::printf("%s: %d kill points; %d left the original at the path, %d the conversion, "
                "%d needed the rerun to recover",
                mode.what, points, left_original, left_conversion, rerun_recovered);
    if (!signal_endings.empty()) std::printf("; Rebolan ended by%s", signal_endings.c_str());
    for (int rule = 0; rule < kRuleCount; ++rule) {
      if (broken[rule].empty()) continue;
      std::printf("; %s broken at %zu (k =", kRuleNames[rule], broken[rule].size());
      for (uint64_t at : broken[rule]) std::printf(" %llu", static_cast<unsigned long long>(at));
      std::printf(")");
    }
    std::printf("\n");
    EXPECT_GT(points, 3) << mode.what;
  }
  std::printf("all modes: %.1f s\n", static_cast<double>(NowUs() - began) / 1e6);
}

}  // namespace
