// A file system that reads the files below it and keeps every change in
// memory: the dry run's files. Nothing it is asked to do reaches a disk.
//
// A file opened for writing is opened below in the same mode (so that a
// file the run could not write, a symbolic link or a file locked by another
// program fails as it would), read into memory whole, and from then on
// read and changed there; its lock is taken on the file below, so that
// other programs see it as a real run would. A created file, a rename and
// a delete change only the overlay's own map of paths. Syncs do nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/file.h"

namespace platform {

class OverlayFileSystem : public FileSystem {
 public:
  // REQUIRES: `below` outlives the overlay and every file it opened.
  explicit OverlayFileSystem(FileSystem* below);
  ~OverlayFileSystem() override;

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override;
  int Delete(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Replace(const std::string& from, const std::string& to) override;
  int Exists(const std::string& path) override;
  int SyncFolderOf(const std::string& path) override;

  // A file read into memory from below is refused past this size (EFBIG),
  // so that a hostile path cannot make the copy unbounded.
  static constexpr uint64_t kMaxCopiedBytes = uint64_t{1} << 30;

  struct Content;  // a file's bytes, identity and lock, shared by its opens

 private:
  // The content at `path` as the overlay sees it: from the map, else read
  // from below (opened in `mode`, kReadOnly or kReadWrite). 0, or an errno
  // value (ENOENT when there is none).
  int Find(const std::string& path, OpenMode mode, std::shared_ptr<Content>* content);

  FileSystem* below_;
  // Paths whose state lives here: a content, or null for a path deleted or
  // renamed away.
  std::map<std::string, std::shared_ptr<Content>> paths_;
  uint64_t next_inode_ = 1;
};

}  // namespace platform
