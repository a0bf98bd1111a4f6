// The file layer of the Windows build over CreateFileA, ReadFile, WriteFile,
// FlushFileBuffers, MoveFileA and DeleteFileA. Windows errors are mapped to
// the errno values that the interface promises on every backend.
//
// Files are opened sharing read, write and delete, as POSIX files are;
// LockExclusive takes a byte-range lock (LockFileEx) far beyond any data,
// which a second handle, also in this process, cannot take.
#include "platform/file.h"

#include <cerrno>

#include "platform/hresult.h"  // windows.h

namespace platform {
namespace {

// One byte near the top of the 63-bit range: no file of this project comes
// near it, and ole32's own locks (at 0x7FFFFF00) are far below.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFF00;

// The largest piece handed to one ReadFile or WriteFile call.
constexpr size_t kMaxPiece = 1u << 30;

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

int LastErrno() { return ErrnoOf(GetLastError()); }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped;
  ZeroMemory(&overlapped, sizeof(overlapped));
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

class WindowsFile : public File {
 public:
  explicit WindowsFile(HANDLE handle) : handle_(handle) {}
  ~WindowsFile() override {
    if (locked_) {
      OVERLAPPED lock = At((uint64_t{kLockOffsetHigh} << 32) | kLockOffsetLow);
      UnlockFileEx(handle_, 0, 1, 0, &lock);
    }
    CloseHandle(handle_);
  }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
    *read = 0;
    char* out = static_cast<char*>(buffer);
    while (*read < n) {
      DWORD piece = static_cast<DWORD>(n - *read < kMaxPiece ? n - *read : kMaxPiece);
      OVERLAPPED where = At(offset + *read);
      DWORD done = 0;
      if (!ReadFile(handle_, out + *read, piece, &done, &where)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return ErrnoOf(error);
      }
      if (done == 0) break;  // the end of the file
      *read += done;
    }
    return 0;
  }

  int WriteAt(uint64_t offset, const void* data, size_t n) override {
    const char* in = static_cast<const char*>(data);
    size_t written = 0;
    while (written < n) {
      DWORD piece = static_cast<DWORD>(n - written < kMaxPiece ? n - written : kMaxPiece);
      OVERLAPPED where = At(offset + written);
      DWORD done = 0;
      if (!WriteFile(handle_, in + written, piece, &done, &where)) return LastErrno();
      if (done == 0) return EIO;
      written += done;
    }
    return 0;
  }

  int Size(uint64_t* size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle_, &value)) return LastErrno();
    *size = static_cast<uint64_t>(value.QuadPart);
    return 0;
  }

  int Truncate(uint64_t size) override {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN)) return LastErrno();
    if (!SetEndOfFile(handle_)) return LastErrno();
    return 0;
  }

  int Sync() override { return FlushFileBuffers(handle_) ? 0 : LastErrno(); }

  int LockExclusive() override { return Lock(LOCKFILE_EXCLUSIVE_LOCK); }
  // Without LOCKFILE_EXCLUSIVE_LOCK the lock is shared: other shared locks
  // on the byte are granted, an exclusive one is not.
  int LockShared() override { return Lock(0); }

  int Lock(DWORD kind) {
    if (locked_) return 0;
    OVERLAPPED lock = At((uint64_t{kLockOffsetHigh} << 32) | kLockOffsetLow);
    if (!LockFileEx(handle_, kind | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lock)) {
      return LastErrno();
    }
    locked_ = true;
    return 0;
  }

  int Identify(FileIdentity* identity) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_, &info)) return LastErrno();
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
  }

  // A new file takes the permissions its folder passes on: nothing to copy.
  int GetOwner(FileOwner* owner) override {
    *owner = FileOwner();
    return 0;
  }
  int SetOwner(const FileOwner&) override { return 0; }

 private:
  HANDLE handle_;
  bool locked_ = false;
};

class WindowsFileSystem : public FileSystem {
 public:
  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    file->reset();
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
      case OpenMode::kReadOnly:
      case OpenMode::kReadOnlyNoLink:
        access = GENERIC_READ;
        break;
      case OpenMode::kReadWrite:
        break;
      case OpenMode::kCreateNew:
        disposition = CREATE_NEW;
        break;
      case OpenMode::kCreateOrTruncate:
        disposition = CREATE_ALWAYS;
        break;
    }
    HANDLE handle = CreateFileA(path.c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastErrno();
    std::unique_ptr<WindowsFile> made(new WindowsFile(handle));
    // A device (NUL, CON, COM1, a pipe) opens like a file: it is no file here.
    if (GetFileType(handle) != FILE_TYPE_DISK) return EINVAL;
    *file = std::move(made);
    return 0;
  }

  int Delete(const std::string& path) override {
    return DeleteFileA(path.c_str()) ? 0 : LastErrno();
  }

  int Rename(const std::string& from, const std::string& to) override {
    // Without MOVEFILE_REPLACE_EXISTING an existing `to` is never replaced.
    return MoveFileA(from.c_str(), to.c_str()) ? 0 : LastErrno();
  }

  int Replace(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastErrno();
  }

  int Exists(const std::string& path) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ENOENT;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ENOENT : 0;
  }

  // NTFS makes a rename or delete durable by itself; there is no folder
  // handle to flush.
  int SyncFolderOf(const std::string& path) override { return 0; }
};

}  // namespace

// Extracting into folders needs names made safe for Windows (no device
// names, no ':' streams, no trailing dots); until then there is none.
int OpenEmptyFolder(const std::string&, std::unique_ptr<OutputFolder>*) { return ENOSYS; }

// A full quota comes as ERROR_DISK_FULL too, which ErrnoOf makes ENOSPC.
bool IsOutOfSpace(int error) { return error == ENOSPC || error == EFBIG; }

FileSystem* FileSystem::Platform() {
  static WindowsFileSystem* platform = new WindowsFileSystem;
  return platform;
}

}  // namespace platform
