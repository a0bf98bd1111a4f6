// FakeNoSyncFileSystem: the platform's file system with every file and
// folder sync skipped. For fuzzing and benchmarks, where the engine's logic
// matters and the durability of a scratch file does not; a file written so
// is not safe from a power cut.
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"

namespace testing_support {

class FakeNoSyncFileSystem : public platform::FileSystem {
 public:
  class FakeFile : public platform::File {
   public:
    explicit FakeFile(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}
    int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
      return file_->ReadAt(offset, buffer, n, read);
    }
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      return file_->WriteAt(offset, data, n);
    }
    int Size(uint64_t* size) override { return file_->Size(size); }
    int Truncate(uint64_t size) override { return file_->Truncate(size); }
    int Sync() override { return 0; }
    int LockExclusive() override { return file_->LockExclusive(); }
    int Identify(platform::FileIdentity* identity) override { return file_->Identify(identity); }

   private:
    std::unique_ptr<platform::File> file_;
  };

  int Open(const std::string& path, platform::OpenMode mode,
           std::unique_ptr<platform::File>* file) override {
    std::unique_ptr<platform::File> real;
    int error = Platform()->Open(path, mode, &real);
    if (error == 0) file->reset(new FakeFile(std::move(real)));
    return error;
  }
  int Delete(const std::string& path) override { return Platform()->Delete(path); }
  int Rename(const std::string& from, const std::string& to) override {
    return Platform()->Rename(from, to);
  }
  int Exists(const std::string& path) override { return Platform()->Exists(path); }
  int SyncFolderOf(const std::string&) override { return 0; }
  int CopyOwnerAndMode(const std::string& from, const std::string& to) override {
    return Platform()->CopyOwnerAndMode(from, to);
  }
};

}  // namespace testing_support
