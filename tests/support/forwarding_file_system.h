// ForwardingFile and ForwardingFileSystem: pass every call to another file
// or file system. The fakes of the tests derive from them and override only
// the calls they change, so that a call added to platform::File or
// platform::FileSystem needs no change in each fake.
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"

namespace testing_support {

class ForwardingFile : public platform::File {
 public:
  explicit ForwardingFile(std::unique_ptr<platform::File> base) : base_(std::move(base)) {}
  int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
    return base_->ReadAt(offset, buffer, n, read);
  }
  int WriteAt(uint64_t offset, const void* data, size_t n) override {
    return base_->WriteAt(offset, data, n);
  }
  int Size(uint64_t* size) override { return base_->Size(size); }
  int Truncate(uint64_t size) override { return base_->Truncate(size); }
  int Sync() override { return base_->Sync(); }
  int LockExclusive() override { return base_->LockExclusive(); }
  int LockShared() override { return base_->LockShared(); }
  int Identify(platform::FileIdentity* identity) override { return base_->Identify(identity); }
  int GetOwner(platform::FileOwner* owner) override { return base_->GetOwner(owner); }
  int SetOwner(const platform::FileOwner& owner) override { return base_->SetOwner(owner); }

 protected:
  platform::File* base() { return base_.get(); }

 private:
  std::unique_ptr<platform::File> base_;
};

// Forwards to `base` (the platform's own file system by default). Open
// hands each file it opened to Wrap, which a fake overrides to put its own
// File around it.
class ForwardingFileSystem : public platform::FileSystem {
 public:
  explicit ForwardingFileSystem(platform::FileSystem* base = Platform()) : base_(base) {}
  int Open(const std::string& path, platform::OpenMode mode,
           std::unique_ptr<platform::File>* file) override {
    std::unique_ptr<platform::File> opened;
    int error = base_->Open(path, mode, &opened);
    if (error == 0) *file = Wrap(std::move(opened));
    return error;
  }
  int Delete(const std::string& path) override { return base_->Delete(path); }
  int Rename(const std::string& from, const std::string& to) override {
    return base_->Rename(from, to);
  }
  int Replace(const std::string& from, const std::string& to) override {
    return base_->Replace(from, to);
  }
  int Exists(const std::string& path) override { return base_->Exists(path); }
  int SyncFolderOf(const std::string& path) override { return base_->SyncFolderOf(path); }

 protected:
  virtual std::unique_ptr<platform::File> Wrap(std::unique_ptr<platform::File> file) {
    return file;
  }
  platform::FileSystem* base_fs() { return base_; }

 private:
  platform::FileSystem* base_;
};

}  // namespace testing_support
