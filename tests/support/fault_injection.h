// FaultInjectingFileSystem: a platform::FileSystem that passes every call to
// the platform's own (a ForwardingFileSystem), except the k-th call of a chosen kind, which fails
// with a chosen errno, once or from then on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "tests/support/forwarding_file_system.h"

namespace testing_support {

enum class FileCall {
  kAny, kOpen, kCreate, kRead, kWrite, kSync, kLock, kTruncate, kRename, kDelete, kAccess
};

class FaultInjectingFileSystem : public ForwardingFileSystem {
 public:

  // Fails the k-th call (counted from 1) of `kind` with `error` (EIO,
  // ENOSPC, ...); with `sticky` every later call of that kind fails too.
  // k = 0 disables failing.
  void FailAt(FileCall kind, uint64_t k, int error, bool sticky);

  // Ends the process with kKilledStatus (as a kill would: nothing is
  // flushed or undone) just before the k-th call that changes a file or a
  // folder (create, write, sync, truncate, rename, delete, owner and mode).
  static constexpr int kKilledStatus = 99;
  void KillAtChange(uint64_t k) { kill_at_ = k; }
  // The changing calls made so far.
  uint64_t Changes() const { return changes_; }

  // How many calls of `kind` were made, and whether a fault was injected.
  uint64_t Calls(FileCall kind) const;
  bool Injected() const { return injected_; }

  int Open(const std::string& path, platform::OpenMode mode,
           std::unique_ptr<platform::File>* file) override;
  int Delete(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Replace(const std::string& from, const std::string& to) override;
  int SyncFolderOf(const std::string& path) override;

  // Counts a call of `kind` and returns the errno to fail it with, or 0.
  int Check(FileCall kind);

 protected:
  std::unique_ptr<platform::File> Wrap(std::unique_ptr<platform::File> file) override;

 private:
  FileCall fail_kind_ = FileCall::kAny;
  uint64_t fail_at_ = 0;
  int error_ = 0;
  bool sticky_ = false;
  bool injected_ = false;
  uint64_t kill_at_ = 0;
  uint64_t changes_ = 0;
  uint64_t calls_[11] = {};
};

// Installs a file system as the default for the life of the object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(platform::FileSystem* fs) { platform::FileSystem::SetDefault(fs); }
  ~ScopedFileSystem() { platform::FileSystem::SetDefault(nullptr); }
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;
};

}  // namespace testing_support
