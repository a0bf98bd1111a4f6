// The installed file system: the platform's own unless a test replaced it.
#include "platform/file.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<FileSystem*> installed{nullptr};
}  // namespace

FileSystem* FileSystem::Default() {
  FileSystem* fs = installed.load(std::memory_order_acquire);
  return fs != nullptr ? fs : Platform();
}

void FileSystem::SetDefault(FileSystem* fs) {
  installed.store(fs, std::memory_order_release);
}

}  // namespace platform
