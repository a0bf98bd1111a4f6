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

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* bytes) {
  std::unique_ptr<File> file;
  if (FileSystem::Default()->Open(path, OpenMode::kReadOnly, &file) != 0) return false;
  bytes->clear();
  char buffer[65536];
  for (;;) {
    size_t n = 0;
    if (file->ReadAt(bytes->size(), buffer, sizeof buffer, &n) != 0) return false;
    if (bytes->size() + n > max_bytes) return false;
    bytes->append(buffer, n);
    if (n < sizeof buffer) return true;  // a short read is the end of the file
  }
}

}  // namespace platform
