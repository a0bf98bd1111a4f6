// The file system of a dry run. See file_overlay.h.

#include "platform/file_overlay.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/system.h"

namespace platform {

struct OverlayFileSystem::Content {
  std::string bytes;
  FileIdentity identity;
  FileOwner owner;
  std::unique_ptr<File> below;  // the file read, kept open for its lock; none for a new one
  bool below_locked = false;  // exclusively
  bool below_shared = false;
  const File* lock_holder = nullptr;  // the exclusive lock's
  std::set<const File*> shared_holders;
};

namespace {

using Content = OverlayFileSystem::Content;

// A device number no file below has, for the identities of new files.
constexpr uint64_t kOverlayDevice = ~uint64_t{0};

class OverlayFile : public File {
 public:
  OverlayFile(std::shared_ptr<Content> content, bool writable)
      : content_(std::move(content)), writable_(writable) {}
  ~OverlayFile() override {
    if (content_->lock_holder == this) content_->lock_holder = nullptr;
    content_->shared_holders.erase(this);
  }

  int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
    const std::string& bytes = content_->bytes;
    *read = 0;
    if (offset >= bytes.size()) return 0;
    size_t available = bytes.size() - static_cast<size_t>(offset);
    *read = std::min(n, available);
    if (*read > 0) std::memcpy(buffer, bytes.data() + offset, *read);
    return 0;
  }
  int WriteAt(uint64_t offset, const void* data, size_t n) override {
    if (!writable_) return EBADF;
    if (offset > OverlayFileSystem::kMaxCopiedBytes ||
        n > OverlayFileSystem::kMaxCopiedBytes - offset) {
      return EFBIG;
    }
    std::string& bytes = content_->bytes;
    if (offset + n > bytes.size()) bytes.resize(static_cast<size_t>(offset + n), '\0');
    if (n > 0) std::memcpy(&bytes[static_cast<size_t>(offset)], data, n);
    return 0;
  }
  int Size(uint64_t* size) override {
    *size = content_->bytes.size();
    return 0;
  }
  int Truncate(uint64_t size) override {
    if (!writable_) return EBADF;
    if (size > OverlayFileSystem::kMaxCopiedBytes) return EFBIG;
    content_->bytes.resize(static_cast<size_t>(size), '\0');
    return 0;
  }
  int Sync() override { return 0; }
  int LockExclusive() override {
    if (content_->lock_holder != nullptr && content_->lock_holder != this) return EWOULDBLOCK;
    for (const File* holder : content_->shared_holders) {
      if (holder != this) return EWOULDBLOCK;
    }
    // Another program holding the file below is refused as in a real run.
    if (content_->below != nullptr && !content_->below_locked) {
      int error = content_->below->LockExclusive();
      if (error != 0) return error;
      content_->below_locked = true;
    }
    content_->lock_holder = this;
    return 0;
  }
  int LockShared() override {
    if (content_->lock_holder != nullptr && content_->lock_holder != this) return EWOULDBLOCK;
    if (content_->below != nullptr && !content_->below_locked && !content_->below_shared) {
      int error = content_->below->LockShared();
      if (error != 0) return error;
      content_->below_shared = true;
    }
    content_->shared_holders.insert(this);
    return 0;
  }
  int Identify(FileIdentity* identity) override {
    *identity = content_->identity;
    return 0;
  }
  int GetOwner(FileOwner* owner) override {
    *owner = content_->owner;
    return 0;
  }
  int SetOwner(const FileOwner& owner) override {
    content_->owner = owner;
    return 0;
  }

 private:
  std::shared_ptr<Content> content_;
  bool writable_;
};

}  // namespace

OverlayFileSystem::OverlayFileSystem(FileSystem* below) : below_(below) {}

OverlayFileSystem::~OverlayFileSystem() = default;

int OverlayFileSystem::Find(const std::string& path, OpenMode mode,
                            std::shared_ptr<Content>* content) {
  auto it = paths_.find(path);
  if (it != paths_.end()) {
    if (it->second == nullptr) return ENOENT;
    *content = it->second;
    return 0;
  }
  std::unique_ptr<File> file;
  int error = below_->Open(path, mode, &file);
  if (error != 0) return error;
  uint64_t size = 0;
  error = file->Size(&size);
  if (error != 0) return error;
  if (size > kMaxCopiedBytes) return EFBIG;
  auto copy = std::make_shared<Content>();
  copy->bytes.resize(static_cast<size_t>(size));
  size_t read = 0;
  error = file->ReadAt(0, &copy->bytes[0], copy->bytes.size(), &read);
  if (error != 0) return error;
  copy->bytes.resize(read);
  error = file->Identify(&copy->identity);
  if (error == 0) error = file->GetOwner(&copy->owner);
  if (error != 0) return error;
  copy->below = std::move(file);
  paths_[path] = copy;
  *content = std::move(copy);
  return 0;
}

int OverlayFileSystem::Open(const std::string& path, OpenMode mode,
                            std::unique_ptr<File>* file) {
  std::shared_ptr<Content> content;
  switch (mode) {
    case OpenMode::kReadOnly:
    case OpenMode::kReadOnlyNoLink: {
      auto it = paths_.find(path);
      if (it == paths_.end()) return below_->Open(path, mode, file);
      if (it->second == nullptr) return ENOENT;
      file->reset(new OverlayFile(it->second, /*writable=*/false));
      return 0;
    }
    case OpenMode::kReadWrite: {
      int error = Find(path, OpenMode::kReadWrite, &content);
      if (error != 0) return error;
      break;
    }
    case OpenMode::kCreateNew:
    case OpenMode::kCreateOrTruncate: {
      int error = Exists(path);
      if (error == 0 && mode == OpenMode::kCreateNew) return EEXIST;
      if (error == 0) {
        // What is there is emptied: it must be a file this run may write.
        error = Find(path, OpenMode::kReadWrite, &content);
        if (error != 0) return error;
        content->bytes.clear();
        break;
      }
      // The folder must be there; whether it may be written in is not
      // known before a real create.
      std::string folder = FolderOf(path);
      if (!folder.empty() && Exists(folder) != 0) return ENOENT;
      content = std::make_shared<Content>();
      content->identity = {kOverlayDevice, next_inode_++};
      content->owner.mode = 0600;
      paths_[path] = content;
      break;
    }
  }
  file->reset(new OverlayFile(std::move(content), /*writable=*/true));
  return 0;
}

int OverlayFileSystem::Delete(const std::string& path) {
  int error = Exists(path);
  if (error != 0) return error;
  paths_[path] = nullptr;
  return 0;
}

int OverlayFileSystem::Rename(const std::string& from, const std::string& to) {
  if (Exists(to) == 0) return EEXIST;
  return Replace(from, to);
}

int OverlayFileSystem::Replace(const std::string& from, const std::string& to) {
  std::shared_ptr<Content> content;
  int error = Find(from, OpenMode::kReadOnly, &content);
  if (error != 0) return error;
  paths_[to] = std::move(content);
  paths_[from] = nullptr;
  return 0;
}

int OverlayFileSystem::Exists(const std::string& path) {
  auto it = paths_.find(path);
  if (it != paths_.end()) return it->second == nullptr ? ENOENT : 0;
  return below_->Exists(path);
}

int OverlayFileSystem::SyncFolderOf(const std::string& /*path*/) { return 0; }

}  // namespace platform
