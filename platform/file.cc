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
  // Allocated once at the file's size, so that a large file is not held in
  // a buffer grown by doubling (a hint: the loop still reads to the end).
  uint64_t size = 0;
  if (file->Size(&size) == 0 && size <= max_bytes) bytes->reserve(static_cast<size_t>(size));
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
