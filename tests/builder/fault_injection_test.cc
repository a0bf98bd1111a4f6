// A builder run that changes an existing configuration, repeated with one
// failing file call at k = 1, 2, 3, ... for every kind of call, EIO and
// ENOSPC, once and from then on, until a run meets no fault. After every
// run the file is read back with the platform's own file system.

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder/config_layout.h"
#include "builder/ini_conversion.h"
#include "builder/startup.h"
#include "builder/task_storage.h"
#include "platform/storage.h"
#include "tests/support/fault_injection.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::FaultInjectingFileSystem;
using testing_support::FileCall;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

// Every stream of a compound file: "path/name" -> bytes.
using Contents = std::map<std::string, std::string>;

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Reads every stream below `storage`. Returns false on any failure.
bool ReadAll(platform::Storage* storage, const std::string& prefix, Contents* contents) {
  std::unique_ptr<platform::ElementEnumerator> e;
  if (FAILED(storage->EnumElements(&e))) return false;
  platform::ElementStat stat;
  HRESULT hr;
  while ((hr = e->Next(&stat)) == S_OK) {
    std::string name = prefix + Narrow(stat.name);
    if (stat.type == platform::ElementType::kStorage) {
      std::unique_ptr<platform::Storage> sub;
      if (FAILED(storage->OpenStorage(stat.name, platform::kStorageMode, &sub))) return false;
      if (!ReadAll(sub.get(), name + "/", contents)) return false;
      continue;
    }
    std::unique_ptr<platform::Stream> s;
    if (FAILED(storage->OpenStream(stat.name, platform::kStorageMode, &s))) return false;
    std::string bytes;
    char buffer[4096];
    uint32_t read = 0;
    while (true) {
      if (FAILED(s->Read(buffer, sizeof(buffer), &read))) return false;
      if (read == 0) break;
      bytes.append(buffer, read);
    }
    if (bytes.size() != stat.size) return false;
    (*contents)[name] = bytes;
  }
  return hr == S_FALSE;
}

// Opens `path` with the platform's own file system and reads it whole.
bool ReadConfiguration(const std::string& path, Contents* contents) {
  contents->clear();
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::OpenStorageFile(path, platform::kStorageMode, &root))) return false;
  return ReadAll(root.get(), "", contents);
}

// Two tasks in each area and both passwords.
const char kBaseIni[] =
    "[MAIN]\r\nOutputENG=@\r\nPassword=secret\r\nRGWPassword=second\r\nNumTasks=6\r\n"
    "[Task0]\r\nNameENG=Anna one\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
    "[Task1]\r\nNameENG=Anna two\r\nIsPrivate=1\r\nAreas=\"C:\\Users\\anna\\\"S-,local\r\n"
    "[Task2]\r\nNameENG=Nightly scan\r\nIsShared=1\r\nTypes=programs,*.doc\r\n"
    "[Task3]\r\nNameENG=Weekly scan\r\nIsShared=1\r\n"
    "[Task4]\r\nNameENG=Guard\r\nIsReadOnly=1\r\n"
    "[Task5]\r\nNameENG=Old guard\r\nIsReadOnly=1\r\n";

// Deletes one shared and one read-only task and adds one task to each
// area; the last is long enough to leave the mini stream.
std::string UpdateIni() {
  return "[MAIN]\r\nOutputENG=@\r\nNumTasks=3\r\n"
         "[ToDelete]\r\nNumTasks=2\r\nTask0=Weekly scan\r\nTask1=Old guard\r\n"
         "[Task0]\r\nNameENG=Anna three\r\nIsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n"
         "[Task1]\r\nNameENG=Daily scan\r\nIsShared=1\r\nSendTo=\"ADMIN\",\"ops\"\r\n"
         "[Task2]\r\nNameENG=New guard\r\nIsReadOnly=1\r\nVirusFoundMsgENG=" +
         std::string(5000, 'm') + "\r\n";
}

std::string WithOutput(std::string text, const std::string& output) {
  return text.replace(text.find('@'), 1, output);
}

enum class Outcome { kRight, kReportedIntact, kReportedDamaged, kWrongSuccess };

const char* KindName(FileCall kind) {
  switch (kind) {
    case FileCall::kAny: return "any";
    case FileCall::kOpen: return "open";
    case FileCall::kCreate: return "create";
    case FileCall::kRead: return "read";
    case FileCall::kWrite: return "write";
    case FileCall::kSync: return "sync";
    case FileCall::kLock: return "lock";
    case FileCall::kTruncate: return "truncate";
    case FileCall::kRename: return "rename";
    case FileCall::kDelete: return "delete";
    case FileCall::kAccess: return "access";
  }
  return "?";
}

class BuilderFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cnf_ = dir_.File("Torvi32.CNF");
    ini_ = dir_.File("update.ini");
    Convert(dir_.File("base.ini"), WithOutput(kBaseIni, cnf_));
    original_ = testing_support::ReadWholeFile(cnf_);
    ASSERT_TRUE(ReadConfiguration(cnf_, &before_));
    WriteWholeFile(ini_, WithOutput(UpdateIni(), cnf_));
    // The run with no fault gives the expected file.
    std::string reported;
    RunUpdate(nullptr, &reported);
    ASSERT_TRUE(ReadConfiguration(cnf_, &after_));
    ASSERT_EQ(reported, "");
    for (const auto& [name, bytes] : after_) {
      auto old = before_.find(name);
      if (old == before_.end() || old->second != bytes) added_.insert(bytes);
    }
    for (const auto& [name, bytes] : before_) {
      auto now = after_.find(name);
      if (now == after_.end() || now->second != bytes) deleted_.insert(name);
    }
    ASSERT_EQ(added_.size(), 3u) << Names(before_) << "\n" << Names(after_);
    ASSERT_EQ(deleted_.size(), 2u);
  }

  static std::string Names(const Contents& c) {
    std::string s;
    for (const auto& [name, bytes] : c) s += name + " ";
    return s;
  }

  void Convert(const std::string& ini, const std::string& text) {
    WriteWholeFile(ini, text);
    DomainName.clear();
    UserName.clear();
    ResetStreamNameGenerator();
    ASSERT_EQ(ConvertIniFile(ini, {"ENG"}), 0);
  }

  // Puts the original file back and runs the update as the program does
  // (one transaction) with `fs` (or the platform's own) installed;
  // *reported gets what the run said on stderr.
  void RunUpdate(FaultInjectingFileSystem* fs, std::string* reported) {
    WriteWholeFile(cnf_, original_);
    int32_t rc = 0;
    ::testing::internal::CaptureStderr();
    {
      std::unique_ptr<testing_support::ScopedFileSystem> scoped;
      if (fs != nullptr) scoped = std::make_unique<testing_support::ScopedFileSystem>(fs);
      rc = RunBuilder(ini_ + " /LENG");
    }
    *reported = ::testing::internal::GetCapturedStderr();
    // Single failures are reported, not returned; a failed commit is both.
    if (rc != 0) { EXPECT_NE(*reported, ""); }
  }

  // Judges the file after a run that said `reported`. *lost gets the
  // streams held before that are gone or changed, plus streams that are
  // neither old nor one of the whole new tasks.
  Outcome Judge(const std::string& reported, std::string* lost) {
    lost->clear();
    Contents now;
    if (!ReadConfiguration(cnf_, &now)) {
      *lost = "the file does not open or read";
      return reported.empty() ? Outcome::kWrongSuccess : Outcome::kReportedDamaged;
    }
    // A stream of a deleted task may be gone or reused by a new task.
    for (const auto& [name, bytes] : before_) {
      auto it = now.find(name);
      if (deleted_.count(name) != 0) continue;
      if (it == now.end()) *lost += " lost " + name;
      if (it != now.end() && it->second != bytes) *lost += " changed " + name;
    }
    for (const auto& [name, bytes] : now) {
      auto old = before_.find(name);
      if (old != before_.end() && old->second == bytes) continue;
      if (added_.count(bytes) == 0) {
        *lost += " half-written " + name + " (" + std::to_string(bytes.size()) + " bytes)";
      }
    }
    if (reported.empty()) {
      if (now == after_) return Outcome::kRight;
      for (const auto& [name, bytes] : after_) {
        auto it = now.find(name);
        if (it == now.end()) *lost += " missing " + name;
        else if (it->second != bytes) *lost += " differs " + name;
      }
      for (const auto& [name, bytes] : now) {
        if (after_.count(name) == 0) *lost += " extra " + name;
      }
      return Outcome::kWrongSuccess;
    }
    return lost->empty() ? Outcome::kReportedIntact : Outcome::kReportedDamaged;
  }

  TempDir dir_;
  std::string cnf_, ini_, original_;
  Contents before_, after_;
  std::set<std::string> added_, deleted_;
};

struct Tally {
  uint64_t runs = 0;
  std::map<Outcome, uint64_t> outcomes;
  uint64_t unreadable = 0;    // damaged runs whose file no longer opens or reads
  uint64_t lost_old = 0;      // damaged runs that lost or changed a task or password
  uint64_t half_written = 0;  // damaged runs that left a new task half-written
  std::vector<std::string> damaged;  // "k=..: what" for the damaged runs
};

class BuilderFaultMatrixTest : public BuilderFaultTest {
 public:
  // Runs the update failing at k = 1, 2, ... until a run meets no fault.
  Tally Row(FileCall kind, int error, bool sticky) {
    Tally tally;
    for (uint64_t k = 1; k < 5000; ++k) {
      FaultInjectingFileSystem fs;
      fs.FailAt(kind, k, error, sticky);
      std::string reported, lost;
      RunUpdate(&fs, &reported);
      Outcome outcome = Judge(reported, &lost);
      if (!fs.Injected()) {
        EXPECT_EQ(outcome, Outcome::kRight) << "a run with no fault, k=" << k << lost;
        break;
      }
      ++tally.runs;
      ++tally.outcomes[outcome];
      if (outcome == Outcome::kReportedDamaged) {
        tally.damaged.push_back("k=" + std::to_string(k) + ":" + lost + " / " + reported);
        if (lost.find("does not open") != std::string::npos) ++tally.unreadable;
        if (lost.find(" lost ") != std::string::npos || lost.find(" changed ") != std::string::npos) {
          ++tally.lost_old;
        }
        if (lost.find("half-written") != std::string::npos) ++tally.half_written;
      }
      EXPECT_NE(outcome, Outcome::kWrongSuccess)
          << KindName(kind) << " k=" << k << " error " << error << (sticky ? " sticky" : " once")
          << ":" << lost << "\nstderr: " << reported;
    }
    return tally;
  }
};

// The whole matrix. A run may fail, but it must say so: no run that met a
// fault may end silently with a file other than the one a faultless run
// makes, and none may damage the file: a run is one transaction, so what a
// fault costs is the changes it reports, never a task or password the file
// held, nor a half-written one.
TEST_F(BuilderFaultMatrixTest, EveryFaultIsReportedOrHarmless) {
  // Every kind of call the builder's run makes; it never truncates or
  // renames a file, so those kinds would inject nothing.
  const FileCall kinds[] = {FileCall::kAny,   FileCall::kOpen, FileCall::kCreate,
                            FileCall::kRead,  FileCall::kWrite, FileCall::kSync,
                            FileCall::kLock,  FileCall::kDelete};
  uint64_t total_runs = 0;
  for (FileCall kind : kinds) {
    for (int error : {EIO, ENOSPC}) {
      for (bool sticky : {false, true}) {
        Tally t = Row(kind, error, sticky);
        EXPECT_GT(t.runs, 0u) << KindName(kind) << ": the row injected no fault";
        total_runs += t.runs;
        std::printf("matrix %-8s %-6s %-6s runs %4llu: right %llu, reported+whole %llu, "
                    "reported+damaged %llu (unreadable %llu, old lost %llu, half-written %llu), "
                    "wrong success %llu\n",
                    KindName(kind), error == EIO ? "EIO" : "ENOSPC", sticky ? "sticky" : "once",
                    static_cast<unsigned long long>(t.runs),
                    static_cast<unsigned long long>(t.outcomes[Outcome::kRight]),
                    static_cast<unsigned long long>(t.outcomes[Outcome::kReportedIntact]),
                    static_cast<unsigned long long>(t.outcomes[Outcome::kReportedDamaged]),
                    static_cast<unsigned long long>(t.unreadable),
                    static_cast<unsigned long long>(t.lost_old),
                    static_cast<unsigned long long>(t.half_written),
                    static_cast<unsigned long long>(t.outcomes[Outcome::kWrongSuccess]));
        for (size_t i = 0; i < t.damaged.size() && i < 3; ++i) {
          ADD_FAILURE() << "damaged " << t.damaged[i];
        }
        EXPECT_EQ(t.outcomes[Outcome::kReportedDamaged], 0u) << KindName(kind);
      }
    }
  }
  EXPECT_GT(total_runs, 100u) << "the faults reached the run";
}

// A write that fails once while a task is written must not leave the new
// stream in place, empty: the failed call takes back the stream's creation,
// which the journal was still holding, together with its own sectors.
TEST_F(BuilderFaultMatrixTest, AFailedWriteLeavesNoHalfWrittenTask) {
  Tally t = Row(FileCall::kWrite, EIO, false);
  EXPECT_EQ(t.half_written, 0u);
  for (const std::string& d : t.damaged) ADD_FAILURE() << d;
}

// A write that fails from then on must not leave a file that no longer
// opens: the journal takes back what the failing call had overwritten.
TEST_F(BuilderFaultMatrixTest, StickyWriteFailuresKeepTheFileReadable) {
  Tally t = Row(FileCall::kWrite, ENOSPC, true);
  EXPECT_EQ(t.unreadable, 0u);
  EXPECT_EQ(t.lost_old, 0u);
}

}  // namespace
}  // namespace builder
