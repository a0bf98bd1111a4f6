// The one layer through which every file operation of the engine and the
// programs goes: open, read, write, sync, lock, rename, delete.
//
// Results are errno values (0 for success) on every backend, so that callers
// map them in one place. Tests replace the default file system with one that
// fails chosen calls (fault injection).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity& o) const { return device == o.device && inode == o.inode; }
};

// Who owns a file and its permission bits (POSIX; all zero on Windows).
struct FileOwner {
  uint32_t user = 0;
  uint32_t group = 0;
  uint32_t mode = 0;  // the permission bits (& 0777), never set-id bits
};

class File {
 public:
  virtual ~File() = default;  // closes the file and drops its lock
  // Reads up to n bytes at offset; *read < n only at the end of the file.
  virtual int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) = 0;
  // Writes all n bytes at offset, or fails.
  virtual int WriteAt(uint64_t offset, const void* data, size_t n) = 0;
  virtual int Size(uint64_t* size) = 0;
  virtual int Truncate(uint64_t size) = 0;
  virtual int Sync() = 0;
  // Takes an exclusive lock without waiting (flock LOCK_EX | LOCK_NB on
  // POSIX). EWOULDBLOCK when another open holds it, also in this process.
  virtual int LockExclusive() = 0;
  // Takes a shared lock without waiting (flock LOCK_SH | LOCK_NB on POSIX):
  // any number of shared locks are held together, none beside an exclusive
  // one. EWOULDBLOCK while another open holds the exclusive lock; while a
  // shared lock is held, LockExclusive of any other open gives EWOULDBLOCK.
  virtual int LockShared() = 0;
  // The file's identity, which a rename keeps: device and inode on POSIX,
  // volume serial number and file index on Windows.
  virtual int Identify(FileIdentity* identity) = 0;
  // The file's owner, group and permission bits (fstat).
  virtual int GetOwner(FileOwner* owner) = 0;
  // Gives this file `owner`'s owner, group and permission bits, through its
  // descriptor (fchown, fchmod), so that no link swapped in at its path can
  // redirect the change. The bits were chosen for that owner: when the owner
  // cannot be given (EPERM, not running as root) the bits are left alone.
  // Nothing on Windows, where a new file takes its folder's permissions.
  virtual int SetOwner(const FileOwner& owner) = 0;
};

enum class OpenMode {
  kReadOnly,        // existing file, read only
  kReadOnlyNoLink,  // existing file, read only; a symbolic link at the path
                    // is refused (ELOOP), as kReadWrite does
  kReadWrite,       // existing file, read and write; a symbolic link at the
                    // path is refused (ELOOP): what is changed in place is
                    // always the file at the path itself
  kCreateNew,       // a new file, read and write; EEXIST when it exists
  kCreateOrTruncate // read and write, emptied
  // A file created by either of the last two is readable by its owner only
  // (mode 0600 on POSIX).
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The file system in use: the platform's own, unless a test installed
  // another with SetDefault.
  static FileSystem* Default();
  // REQUIRES: fs outlives its use; nullptr restores the platform's own.
  static void SetDefault(FileSystem* fs);
  // The platform's own file system, whatever is installed.
  static FileSystem* Platform();

  virtual int Open(const std::string& path, OpenMode mode,
                   std::unique_ptr<File>* file) = 0;
  virtual int Delete(const std::string& path) = 0;
  // Renames `from` to `to`; fails with EEXIST when `to` exists.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Renames `from` to `to`, replacing a file at `to` in one step (rename(2);
  // MoveFileEx with MOVEFILE_REPLACE_EXISTING on Windows): `to` names the
  // old file or the new one at every instant.
  virtual int Replace(const std::string& from, const std::string& to) = 0;
  // 0 when the path names an existing file, ENOENT when not.
  virtual int Exists(const std::string& path) = 0;
  // Makes the folder holding `path` durable after a create, rename or delete
  // in it (fsync of the folder on POSIX; nothing on Windows).
  virtual int SyncFolderOf(const std::string& path) = 0;
};

// A folder into which new files and folders are written by name. Each is
// created relative to the folder itself (its descriptor on POSIX),
// exclusively and without following a symbolic link, so that nothing can be
// written outside it whatever the name.
class OutputFolder {
 public:
  virtual ~OutputFolder() = default;
  // Creates the folder `name` in this one and opens it: 0, EEXIST when the
  // name is taken, or another errno value.
  virtual int NewFolder(const std::string& name, std::unique_ptr<OutputFolder>* folder) = 0;
  // Creates the empty file `name` in this one, for writing (readable by its
  // owner and, as the umask allows, others): 0, EEXIST when the name is
  // taken, or another errno value.
  virtual int NewFile(const std::string& name, std::unique_ptr<File>* file) = 0;
};

// Opens the folder at `path` to write into, creating it when it is missing.
// ENOTDIR when `path` is no folder or a symbolic link, ENOTEMPTY when it
// holds anything; ENOSYS in the Windows build, which has no such folders
// (yet): cfbtool extract is not available there.
int OpenEmptyFolder(const std::string& path, std::unique_ptr<OutputFolder>* folder);

// Whether a failed write's errno says that the disk (or the user's quota)
// is full: ENOSPC, EFBIG and, where the system has it, EDQUOT.
bool IsOutOfSpace(int error);

// Reads a whole file through the default file system. Returns false when it
// cannot be opened or read, or holds more than `max_bytes` (checked as it is
// read, so a device or endless pipe is never read without bound).
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* bytes);

}  // namespace platform
