// The POSIX file system: open/pread/pwrite/fsync/ftruncate/flock, rename
// without replacing, unlink, fsync of a folder, and folders written into
// through their descriptors (mkdirat, openat).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/file.h"

namespace platform {

namespace {

class PosixFile : public File {
 public:
  // size: the file's size at open. While this object has the file open and
  // locked, its size changes only by this object's writes, so Size() answers
  // without a system call.
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override {
    if (fd_ >= 0) close(fd_);
  }
  // Takes over an open descriptor (the object was made with -1).
  void Adopt(int fd, uint64_t size) {
    fd_ = fd;
    size_ = size;
  }

  int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = pread(fd_, static_cast<char*>(buffer) + done, n - done,
                        static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        *read = done;
        return errno;
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    *read = done;
    return 0;
  }

  int WriteAt(uint64_t offset, const void* data, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t w = pwrite(fd_, static_cast<const char*>(data) + done, n - done,
                         static_cast<off_t>(offset + done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (w == 0) return EIO;
      done += static_cast<size_t>(w);
    }
    if (locked_ && offset + n > size_) size_ = offset + n;
    return 0;
  }

  int Size(uint64_t* size) override {
    if (!locked_) {
      struct stat st;
      if (fstat(fd_, &st) != 0) return errno;
      size_ = static_cast<uint64_t>(st.st_size);
    }
    *size = size_;
    return 0;
  }

  int Truncate(uint64_t size) override {
    while (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return errno;
    }
    size_ = size;
    return 0;
  }

  int Sync() override {
    while (fsync(fd_) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  int LockExclusive() override { return Lock(LOCK_EX); }
  int LockShared() override { return Lock(LOCK_SH); }

  int Lock(int kind) {
    // flock locks belong to the open file description, so a second open in
    // the same process is refused as well.
    while (flock(fd_, kind | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? EWOULDBLOCK : errno;
    }
    // Another writer may have changed the file before the lock was taken;
    // while it is held, none can.
    struct stat st;
    if (fstat(fd_, &st) != 0) return errno;
    size_ = static_cast<uint64_t>(st.st_size);
    locked_ = true;
    return 0;
  }

  int Identify(FileIdentity* identity) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return errno;
    identity->device = static_cast<uint64_t>(st.st_dev);
    identity->inode = static_cast<uint64_t>(st.st_ino);
    return 0;
  }

  int GetOwner(FileOwner* owner) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return errno;
    owner->user = static_cast<uint32_t>(st.st_uid);
    owner->group = static_cast<uint32_t>(st.st_gid);
    owner->mode = static_cast<uint32_t>(st.st_mode & 0777);
    return 0;
  }

  int SetOwner(const FileOwner& owner) override {
    FileOwner now;
    if (int error = GetOwner(&now)) return error;
    if ((now.user != owner.user || now.group != owner.group) &&
        fchown(fd_, static_cast<uid_t>(owner.user), static_cast<gid_t>(owner.group)) != 0) {
      return errno;
    }
    return fchmod(fd_, static_cast<mode_t>(owner.mode & 0777)) == 0 ? 0 : errno;
  }

 private:
  int fd_;
  uint64_t size_;
  bool locked_ = false;
};

class PosixFileSystem : public FileSystem {
 public:
  int Open(const std::string& path, OpenMode mode,
           std::unique_ptr<File>* file) override {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer; the
    // check below refuses it at once instead. It is cleared for a file.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
      case OpenMode::kReadOnly: flags |= O_RDONLY; break;
      case OpenMode::kReadOnlyNoLink: flags |= O_RDONLY | O_NOFOLLOW; break;
      case OpenMode::kReadWrite: flags |= O_RDWR | O_NOFOLLOW; break;
      case OpenMode::kCreateNew: flags |= O_RDWR | O_CREAT | O_EXCL; break;
      case OpenMode::kCreateOrTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    // The object first: out of memory, nothing was opened or created.
    std::unique_ptr<PosixFile> made(new PosixFile(-1, 0));
    // Files made here hold passwords (scrambled in a configuration, their
    // bytes in hexadecimal in INI text): only the owner may read them.
    int fd;
    do {
      fd = open(path.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int error = errno;
      close(fd);
      return error;
    }
    if (!S_ISREG(st.st_mode)) {  // a folder, device or pipe is no file here
      close(fd);
      return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
      int error = errno;
      close(fd);
      return error;
    }
    made->Adopt(fd, static_cast<uint64_t>(st.st_size));
    *file = std::move(made);
    return 0;
  }

  int Delete(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? 0 : errno;
  }

  int Rename(const std::string& from, const std::string& to) override {
    // link + unlink never replaces an existing `to` (rename(2) would).
    if (link(from.c_str(), to.c_str()) != 0) {
      int error = errno;
      if (error == EEXIST) return EEXIST;
      // File systems without hard links: check, then rename.
      if (error == EPERM || error == EOPNOTSUPP || error == EXDEV) {
        struct stat st;
        if (lstat(to.c_str(), &st) == 0) return EEXIST;
        return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
      }
      return error;
    }
    if (unlink(from.c_str()) != 0) return errno;
    return 0;
  }

  int Replace(const std::string& from, const std::string& to) override {
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int Exists(const std::string& path) override {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return 0;
    return errno == ENOENT || errno == ENOTDIR ? ENOENT : errno;
  }

  int SyncFolderOf(const std::string& path) override {
    // The folder's name in a buffer of its own, without allocating: the sync
    // that makes a rename durable never fails for want of memory.
    char folder[PATH_MAX] = ".";
    size_t slash = path.find_last_of('/');
    if (slash == 0) {
      folder[0] = '/';
    } else if (slash != std::string::npos) {
      if (slash >= sizeof folder) return ENAMETOOLONG;
      std::memcpy(folder, path.data(), slash);
      folder[slash] = '\0';
    }
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    while (fsync(fd) != 0) {
      if (errno == EINTR) continue;
      // Some file systems cannot sync a folder; that is not a failure.
      if (errno != EINVAL && errno != EROFS) error = errno;
      break;
    }
    close(fd);
    return error;
  }

};

// A folder held by its descriptor: what is made in it is made relative to
// the descriptor, so a folder renamed or swapped for a link meanwhile
// cannot redirect it.
class PosixOutputFolder : public OutputFolder {
 public:
  // Made with -1 before anything is opened (out of memory, nothing is
  // left open); Adopt takes the descriptor over.
  PosixOutputFolder() = default;
  ~PosixOutputFolder() override {
    if (fd_ >= 0) close(fd_);
  }
  void Adopt(int fd) { fd_ = fd; }
  PosixOutputFolder(const PosixOutputFolder&) = delete;
  PosixOutputFolder& operator=(const PosixOutputFolder&) = delete;

  int NewFolder(const std::string& name, std::unique_ptr<OutputFolder>* folder) override {
    std::unique_ptr<PosixOutputFolder> made(new PosixOutputFolder);
    if (mkdirat(fd_, name.c_str(), 0777) != 0) return errno;
    int fd = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    made->Adopt(fd);
    *folder = std::move(made);
    return 0;
  }

  int NewFile(const std::string& name, std::unique_ptr<File>* file) override {
    std::unique_ptr<PosixFile> made(new PosixFile(-1, 0));
    int fd;
    do {
      fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    made->Adopt(fd, 0);
    *file = std::move(made);
    return 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace

int OpenEmptyFolder(const std::string& path, std::unique_ptr<OutputFolder>* folder) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno;
  std::unique_ptr<PosixOutputFolder> made(new PosixOutputFolder);
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? ENOTDIR : errno;
  made->Adopt(fd);
  // The listing reads a descriptor of its own, so that the folder's stays
  // at its start.
  int scan = dup(fd);
  DIR* listing = scan < 0 ? nullptr : fdopendir(scan);
  if (listing == nullptr) {
    int error = errno;
    if (scan >= 0) close(scan);
    return error;
  }
  bool empty = true;
  while (struct dirent* item = readdir(listing)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) empty = false;
  }
  closedir(listing);
  if (!empty) return ENOTEMPTY;
  *folder = std::move(made);
  return 0;
}

bool IsOutOfSpace(int error) { return error == ENOSPC || error == EFBIG || error == EDQUOT; }

FileSystem* FileSystem::Platform() {
  static PosixFileSystem* fs = new PosixFileSystem;
  return fs;
}

}  // namespace platform
