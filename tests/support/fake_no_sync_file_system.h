// FakeNoSyncFileSystem: the platform's file system with every file and
// folder sync skipped. For fuzzing and benchmarks, where the engine's logic
// matters and the durability of a scratch file does not; a file written so
// is not safe from a power cut.
#pragma once

#include <memory>
#include <string>

#include "tests/support/forwarding_file_system.h"

namespace testing_support {

class FakeNoSyncFileSystem : public ForwardingFileSystem {
 public:
  class FakeFile : public ForwardingFile {
   public:
    using ForwardingFile::ForwardingFile;
    int Sync() override { return 0; }
  };

  int SyncFolderOf(const std::string&) override { return 0; }

 protected:
  std::unique_ptr<platform::File> Wrap(std::unique_ptr<platform::File> file) override {
    return std::make_unique<FakeFile>(std::move(file));
  }
};

}  // namespace testing_support
