#include "tests/support/fault_injection.h"

#include <unistd.h>


namespace testing_support {

namespace {

class FaultInjectingFile : public ForwardingFile {
 public:
  FaultInjectingFile(std::unique_ptr<platform::File> base, FaultInjectingFileSystem* fs)
      : ForwardingFile(std::move(base)), fs_(fs) {}

  int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
    if (int e = fs_->Check(FileCall::kRead)) return e;
    return base()->ReadAt(offset, buffer, n, read);
  }
  int WriteAt(uint64_t offset, const void* data, size_t n) override {
    if (int e = fs_->Check(FileCall::kWrite)) return e;
    return base()->WriteAt(offset, data, n);
  }
  int Truncate(uint64_t size) override {
    if (int e = fs_->Check(FileCall::kTruncate)) return e;
    return base()->Truncate(size);
  }
  int Sync() override {
    if (int e = fs_->Check(FileCall::kSync)) return e;
    return base()->Sync();
  }
  int LockExclusive() override {
    if (int e = fs_->Check(FileCall::kLock)) return e;
    return base()->LockExclusive();
  }
  int LockShared() override {
    if (int e = fs_->Check(FileCall::kLock)) return e;
    return base()->LockShared();
  }
  int SetOwner(const platform::FileOwner& owner) override {
    if (int e = fs_->Check(FileCall::kAccess)) return e;
    return base()->SetOwner(owner);
  }

 private:
  FaultInjectingFileSystem* fs_;
};

}  // namespace

void FaultInjectingFileSystem::FailAt(FileCall kind, uint64_t k, int error, bool sticky) {
  fail_kind_ = kind;
  fail_at_ = k;
  error_ = error;
  sticky_ = sticky;
  injected_ = false;
  for (auto& c : calls_) c = 0;
}

uint64_t FaultInjectingFileSystem::Calls(FileCall kind) const {
  return calls_[static_cast<int>(kind)];
}

int FaultInjectingFileSystem::Check(FileCall kind) {
  if (kind != FileCall::kOpen && kind != FileCall::kRead && kind != FileCall::kLock) {
    if (++changes_ == kill_at_) _exit(kKilledStatus);
  }
  uint64_t n_kind = ++calls_[static_cast<int>(kind)];
  uint64_t n_any = ++calls_[static_cast<int>(FileCall::kAny)];
  if (fail_at_ == 0) return 0;
  uint64_t n = fail_kind_ == FileCall::kAny ? n_any : (kind == fail_kind_ ? n_kind : 0);
  if (n == 0) return 0;
  if (n == fail_at_ || (sticky_ && n > fail_at_)) {
    injected_ = true;
    return error_;
  }
  return 0;
}

int FaultInjectingFileSystem::Open(const std::string& path, platform::OpenMode mode,
                                   std::unique_ptr<platform::File>* file) {
  bool creates = mode == platform::OpenMode::kCreateNew ||
                 mode == platform::OpenMode::kCreateOrTruncate;
  if (int e = Check(creates ? FileCall::kCreate : FileCall::kOpen)) return e;
  return ForwardingFileSystem::Open(path, mode, file);
}

std::unique_ptr<platform::File> FaultInjectingFileSystem::Wrap(
    std::unique_ptr<platform::File> file) {
  return std::make_unique<FaultInjectingFile>(std::move(file), this);
}

int FaultInjectingFileSystem::Delete(const std::string& path) {
  if (int e = Check(FileCall::kDelete)) return e;
  return ForwardingFileSystem::Delete(path);
}

int FaultInjectingFileSystem::Rename(const std::string& from, const std::string& to) {
  if (int e = Check(FileCall::kRename)) return e;
  return ForwardingFileSystem::Rename(from, to);
}

int FaultInjectingFileSystem::Replace(const std::string& from, const std::string& to) {
  if (int e = Check(FileCall::kRename)) return e;
  return ForwardingFileSystem::Replace(from, to);
}

int FaultInjectingFileSystem::SyncFolderOf(const std::string& path) {
  if (int e = Check(FileCall::kSync)) return e;
  return ForwardingFileSystem::SyncFolderOf(path);
}

}  // namespace testing_support
