// Structured storage on POSIX: the objects of platform/storage.h over this
// project's compound-file engine (platform/cfb).
//
// All objects of one open file share a Session. Every open element has a
// Handle; destroying an element, or releasing a storage, reverts the handles
// below it, and releasing the root reverts all of them: calls on a reverted
// object fail with STG_E_REVERTED.
//
// A root opened with kStorageReadMode, and everything below it, refuses
// every change (STG_E_ACCESSDENIED); its Session's file may itself be open
// for reading only (cfb::Access::kRead), and then no root of it can write.
//
// Outside a StorageScope a Session lives as long as its root and each call
// commits as it ends (autocommit). Inside one, the scope keeps the Session of
// every path opened, and each later open of the path makes a new root on it.
#include <errno.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "platform/cfb/journal.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/file_overlay.h"
#include "platform/storage.h"
#include "platform/system.h"

namespace platform {

namespace {

struct Handle {
  uint32_t id = 0;
  bool reverted = false;
  std::vector<std::weak_ptr<Handle>> children;
};

void Revert(Handle* handle) {
  if (handle->reverted) return;
  handle->reverted = true;
  for (auto& weak : handle->children) {
    if (auto child = weak.lock()) Revert(child.get());
  }
  handle->children.clear();
}

struct Session {
  std::unique_ptr<cfb::CompoundFile> file;
  std::map<uint32_t, std::weak_ptr<Handle>> open;  // share-exclusive elements
  bool held = false;        // a scope keeps it after its root is released
  bool root_alive = false;  // a root of it exists
  bool read_only = false;   // the file is open for reading only

  bool IsOpen(uint32_t id) {
    auto it = open.find(id);
    if (it == open.end()) return false;
    auto handle = it->second.lock();
    if (!handle || handle->reverted) {
      open.erase(it);
      return false;
    }
    return true;
  }
};

HRESULT Check(const std::shared_ptr<Session>& session, const std::shared_ptr<Handle>& handle) {
  if (!session->file || handle->reverted) return STG_E_REVERTED;
  return S_OK;
}

class PosixStream : public Stream {
 public:
  PosixStream(std::shared_ptr<Session> session, std::shared_ptr<Handle> handle, bool read_only)
      : session_(std::move(session)), handle_(std::move(handle)), read_only_(read_only) {}
  ~PosixStream() override { Release(); }

  HRESULT Read(void* buffer, uint32_t count, uint32_t* read) override {
    uint32_t done = 0;
    HRESULT hr = Check(session_, handle_);
    if (SUCCEEDED(hr)) hr = session_->file->ReadStream(handle_->id, position_, buffer, count, &done);
    position_ += done;
    if (read != nullptr) *read = done;
    return hr;
  }

  HRESULT Write(const void* data, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    HRESULT hr = Check(session_, handle_);
    if (SUCCEEDED(hr) && read_only_) hr = STG_E_ACCESSDENIED;
    if (SUCCEEDED(hr)) hr = session_->file->WriteStream(handle_->id, position_, data, count);
    if (FAILED(hr)) return hr;
    position_ += count;
    if (written != nullptr) *written = count;
    return S_OK;
  }

  HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) override {
    HRESULT hr = Check(session_, handle_);
    if (FAILED(hr)) return hr;
    int64_t base;
    switch (origin) {
      case SeekOrigin::kSet:
        base = 0;
        break;
      case SeekOrigin::kCurrent:
        base = static_cast<int64_t>(position_);
        break;
      case SeekOrigin::kEnd: {
        cfb::DirEntry entry;
        hr = session_->file->Stat(handle_->id, &entry);
        if (FAILED(hr)) return hr;
        base = static_cast<int64_t>(entry.size);
        break;
      }
      default:
        return STG_E_INVALIDFUNCTION;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) {
      return STG_E_INVALIDFUNCTION;
    }
    position_ = static_cast<uint64_t>(base + offset);
    if (new_position != nullptr) *new_position = position_;
    return S_OK;
  }

 private:
  void Release() {
    if (!handle_->reverted) {
      session_->open.erase(handle_->id);
      handle_->reverted = true;
    }
  }

  std::shared_ptr<Session> session_;
  std::shared_ptr<Handle> handle_;
  const bool read_only_;
  uint64_t position_ = 0;
};

class PosixEnumerator : public ElementEnumerator {
 public:
  PosixEnumerator(std::shared_ptr<Session> session, std::shared_ptr<Handle> storage)
      : session_(std::move(session)), storage_(std::move(storage)) {}

  HRESULT Next(ElementStat* stat) override {
    HRESULT hr = Check(session_, storage_);
    if (FAILED(hr)) return hr;
    uint32_t id;
    cfb::DirEntry entry;
    // The tree as stored, from a snapshot taken at the first Next (see
    // cfb::ChildCursor).
    hr = session_->file->NextChild(storage_->id, &cursor_, &id, &entry);
    if (hr != S_OK) return hr;
    stat->name = entry.name;
    stat->type = entry.type == cfb::kTypeStream ? ElementType::kStream : ElementType::kStorage;
    stat->size = entry.type == cfb::kTypeStream ? entry.size : 0;
    std::copy(std::begin(entry.clsid), std::end(entry.clsid), stat->clsid);
    stat->created = entry.created;
    stat->modified = entry.modified;
    return S_OK;
  }

 private:
  std::shared_ptr<Session> session_;
  std::shared_ptr<Handle> storage_;
  cfb::ChildCursor cursor_;
};

class PosixStorage : public Storage {
 public:
  PosixStorage(std::shared_ptr<Session> session, std::shared_ptr<Handle> handle, bool is_root,
               bool read_only)
      : session_(std::move(session)),
        handle_(std::move(handle)),
        is_root_(is_root),
        read_only_(read_only) {}

  ~PosixStorage() override {
    if (is_root_) {
      Revert(handle_.get());
      for (auto& item : session_->open) {
        if (auto h = item.second.lock()) Revert(h.get());
      }
      session_->open.clear();
      session_->root_alive = false;
      // Outside a scope everything is in the file once the root is released.
      if (!session_->held) {
        if (session_->file) session_->file->Close();
        session_->file.reset();
      }
    } else if (!handle_->reverted) {
      session_->open.erase(handle_->id);
      Revert(handle_.get());
    }
  }

  HRESULT OpenStream(const std::u16string& name, uint32_t mode,
                     std::unique_ptr<Stream>* stream) override {
    std::shared_ptr<Handle> child;
    HRESULT hr = OpenChild(name, mode, cfb::kTypeStream, false, &child);
    if (SUCCEEDED(hr)) stream->reset(new PosixStream(session_, child, read_only_));
    return hr;
  }

  HRESULT CreateStream(const std::u16string& name, uint32_t mode,
                       std::unique_ptr<Stream>* stream) override {
    std::shared_ptr<Handle> child;
    HRESULT hr = OpenChild(name, mode, cfb::kTypeStream, true, &child);
    if (SUCCEEDED(hr)) stream->reset(new PosixStream(session_, child, read_only_));
    return hr;
  }

  HRESULT OpenStorage(const std::u16string& name, uint32_t mode,
                      std::unique_ptr<Storage>* storage) override {
    std::shared_ptr<Handle> child;
    HRESULT hr = OpenChild(name, mode, cfb::kTypeStorage, false, &child);
    if (SUCCEEDED(hr)) storage->reset(new PosixStorage(session_, child, false, read_only_));
    return hr;
  }

  HRESULT CreateStorage(const std::u16string& name, uint32_t mode,
                        std::unique_ptr<Storage>* storage) override {
    std::shared_ptr<Handle> child;
    HRESULT hr = OpenChild(name, mode, cfb::kTypeStorage, true, &child);
    if (SUCCEEDED(hr)) storage->reset(new PosixStorage(session_, child, false, read_only_));
    return hr;
  }

  HRESULT DestroyElement(const std::u16string& name) override {
    HRESULT hr = Changeable();
    if (FAILED(hr)) return hr;
    std::vector<uint32_t> gone;
    hr = session_->file->DestroyElement(handle_->id, name, &gone);
    if (FAILED(hr)) return hr;
    // Open objects of the destroyed elements now fail with STG_E_REVERTED.
    for (uint32_t id : gone) {
      auto it = session_->open.find(id);
      if (it == session_->open.end()) continue;
      if (auto h = it->second.lock()) Revert(h.get());
      session_->open.erase(it);
    }
    return S_OK;
  }

  HRESULT RenameElement(const std::u16string& old_name,
                        const std::u16string& new_name) override {
    HRESULT hr = Changeable();
    if (FAILED(hr)) return hr;
    uint32_t id;
    cfb::DirEntry entry;
    hr = session_->file->Find(handle_->id, old_name, &id, &entry);
    if (FAILED(hr)) return hr;
    if (session_->IsOpen(id)) return STG_E_ACCESSDENIED;
    return session_->file->RenameElement(handle_->id, old_name, new_name, &id);
  }

  HRESULT EnumElements(std::unique_ptr<ElementEnumerator>* enumerator) override {
    HRESULT hr = Check(session_, handle_);
    if (FAILED(hr)) return hr;
    enumerator->reset(new PosixEnumerator(session_, handle_));
    return S_OK;
  }

 private:
  // Check, and STG_E_ACCESSDENIED below a root opened for reading.
  HRESULT Changeable() {
    HRESULT hr = Check(session_, handle_);
    if (SUCCEEDED(hr) && read_only_) hr = STG_E_ACCESSDENIED;
    return hr;
  }

  HRESULT OpenChild(const std::u16string& name, uint32_t mode, uint8_t type, bool create,
                    std::shared_ptr<Handle>* child) {
    HRESULT hr = create ? Changeable() : Check(session_, handle_);
    if (FAILED(hr)) return hr;
    if (mode != kStorageMode) return STG_E_INVALIDFLAG;
    uint32_t id;
    if (create) {
      hr = session_->file->CreateElement(handle_->id, name, type, &id);
      if (FAILED(hr)) return hr;
    } else {
      cfb::DirEntry entry;
      hr = session_->file->Find(handle_->id, name, &id, &entry);
      if (FAILED(hr)) return hr;
      // A stream opened as a storage or the reverse is not found.
      if (entry.type != type) return STG_E_FILENOTFOUND;
      if (session_->IsOpen(id)) return STG_E_ACCESSDENIED;
    }
    auto handle = std::make_shared<Handle>();
    handle->id = id;
    handle_->children.push_back(handle);
    session_->open[id] = handle;
    *child = std::move(handle);
    return S_OK;
  }

  std::shared_ptr<Session> session_;
  std::shared_ptr<Handle> handle_;
  bool is_root_;
  const bool read_only_;
};

// A root on `session`, for reading only with `read_only` (always when the
// session's file is open for reading only).
HRESULT MakeRoot(std::shared_ptr<Session> session, bool read_only,
                 std::unique_ptr<Storage>* root) {
  if (session->root_alive) return STG_E_SHAREVIOLATION;  // one open of a file at a time
  session->root_alive = true;
  auto handle = std::make_shared<Handle>();
  handle->id = cfb::CompoundFile::kRootId;
  const bool reads_only = read_only || session->read_only;
  root->reset(new PosixStorage(std::move(session), handle, true, reads_only));
  return S_OK;
}

// The files the scope holds, by path; null while no scope is alive.
std::map<std::string, std::shared_ptr<Session>>* held_files = nullptr;

std::shared_ptr<Session> HeldSession(const std::string& path) {
  if (held_files == nullptr) return nullptr;
  auto it = held_files->find(path);
  return it == held_files->end() ? nullptr : it->second;
}

HRESULT StartSession(const std::string& path, std::unique_ptr<cfb::CompoundFile> file,
                     bool read_only, std::unique_ptr<Storage>* root) {
  auto session = std::make_shared<Session>();
  session->file = std::move(file);
  session->read_only = read_only;
  if (held_files != nullptr) {
    session->held = true;
    (*held_files)[path] = session;
  } else {
    session->file->set_autocommit(true);
  }
  return MakeRoot(std::move(session), read_only, root);
}

// Commits (or with `discard`, takes back) and closes a held session; it is
// no longer held.
HRESULT EndSession(const std::shared_ptr<Session>& session, bool discard = false) {
  session->held = false;
  if (!session->file) return S_OK;
  if (session->root_alive) return STG_E_ACCESSDENIED;  // a root is still in use
  HRESULT hr = discard ? session->file->Discard() : session->file->Close();
  session->file.reset();
  return hr;
}

}  // namespace

HRESULT OpenStorageFile(const std::string& given_path, uint32_t mode,
                        std::unique_ptr<Storage>* root) {
  if (mode != kStorageMode && mode != kStorageReadMode) return STG_E_INVALIDFLAG;
  const bool read_only = mode == kStorageReadMode;
  // A link is followed once, here; the engine then opens the file itself,
  // never through a link.
  const std::string path = FinalPath(given_path);
  if (std::shared_ptr<Session> held = HeldSession(path)) {
    // What this run could only read it cannot write later in the run.
    if (held->read_only && !read_only) return STG_E_ACCESSDENIED;
    return MakeRoot(held, read_only, root);
  }
  HRESULT hr = CheckNotInConversion(path);
  if (FAILED(hr)) return hr;
  std::unique_ptr<cfb::CompoundFile> file;
  hr = cfb::CompoundFile::Open(path, &file,
                               read_only ? cfb::Access::kRead : cfb::Access::kReadWrite);
  if (FAILED(hr)) return hr;
  return StartSession(path, std::move(file), read_only, root);
}

HRESULT CreateStorageFile(const std::string& path, uint32_t mode, std::unique_ptr<Storage>* root) {
  if (mode != kStorageMode) return STG_E_INVALIDFLAG;
  if (HeldSession(path)) return STG_E_FILEALREADYEXISTS;
  HRESULT hr = CheckNotInConversion(path);
  if (FAILED(hr)) return hr;
  std::unique_ptr<cfb::CompoundFile> file;
  hr = cfb::CompoundFile::Create(path, &file);
  // Outside a scope the new, empty file is at its path when the call returns.
  if (SUCCEEDED(hr) && held_files == nullptr) hr = file->Commit();
  if (FAILED(hr)) return hr;
  return StartSession(path, std::move(file), /*read_only=*/false, root);
}

StorageScope::StorageScope() : outer_(held_files) {
  held_files = new std::map<std::string, std::shared_ptr<Session>>;
}

StorageScope::~StorageScope() {
  if (std::uncaught_exceptions() > exceptions_at_start_) {
    Abandon();
  } else {
    // A commit that runs out of memory here cannot be passed up: the run
    // then keeps none of its changes.
    try {
      Commit();
    } catch (const std::bad_alloc&) {
      Abandon();
      ReportOutOfMemory("the changes of this run were not written");
    }
  }
  delete held_files;
  held_files = static_cast<std::map<std::string, std::shared_ptr<Session>>*>(outer_);
}

std::vector<StorageScope::Failure> StorageScope::Commit() {
  std::vector<Failure> failures;
  if (held_files == nullptr) return failures;
  for (auto& item : *held_files) {
    HRESULT hr = EndSession(item.second);
    if (FAILED(hr)) failures.push_back({item.first, hr});
  }
  held_files->clear();
  return failures;
}

void StorageScope::Abandon() {
  if (held_files == nullptr) return;
  for (auto& item : *held_files) EndSession(item.second, /*discard=*/true);
  held_files->clear();
}

HRESULT ReleaseStorageFile(const std::string& given_path) {
  const std::string path = FinalPath(given_path);
  std::shared_ptr<Session> held = HeldSession(path);
  if (!held) return S_OK;
  held_files->erase(path);
  return EndSession(held);
}

int MoveStorageFile(const std::string& from, const std::string& to) {
  FileSystem* fs = FileSystem::Default();
  std::shared_ptr<Session> held = HeldSession(from);
  if (held && held->file && FAILED(held->file->Commit())) return EIO;
  int error = fs->Rename(from, to);
  if (error != 0) return error;
  error = fs->SyncFolderOf(to);
  if (held) {
    held_files->erase(from);
    if (held->file) {
      held->file->Moved(to);
      (*held_files)[to] = held;
    }
  }
  return error;
}

int DeleteStorageFile(const std::string& path) {
  if (FAILED(CheckNotInConversion(path))) return EBUSY;
  ReleaseStorageFile(path);
  FileSystem* fs = FileSystem::Default();
  // What a create that was killed left holds nothing; one still at work
  // holds its lock.
  {
    std::unique_ptr<File> pending;
    const std::string pending_path = cfb::NewFilePath(path);
    if (fs->Open(pending_path, OpenMode::kReadWrite, &pending) == 0) {
      if (pending->LockExclusive() == EWOULDBLOCK) return EBUSY;
      pending.reset();
      fs->Delete(pending_path);
    }
  }
  // The lock tells whether another program works on the file: its journal
  // is then in use and the file is left alone.
  std::unique_ptr<File> file;
  int error = fs->Open(path, OpenMode::kReadWrite, &file);
  if (error == 0) error = file->LockExclusive();
  if (error == EWOULDBLOCK) return EBUSY;
  if (error == EINVAL || error == EISDIR) return error;  // not a regular file: left alone
  if (error != 0 && error != ENOENT) {
    file.reset();
    return fs->Delete(path);  // not readable, but the folder lets it go
  }
  int journal = fs->Delete(cfb::JournalPath(path));
  error = fs->Delete(path);
  if (error == 0 || journal == 0) fs->SyncFolderOf(path);
  return error;
}

namespace {

class OverlayFiles : public DryRunFiles {
 public:
  OverlayFiles() : previous_(FileSystem::Default()), overlay_(previous_) {
    FileSystem::SetDefault(&overlay_);
  }
  ~OverlayFiles() override { FileSystem::SetDefault(previous_); }

 private:
  FileSystem* previous_;
  OverlayFileSystem overlay_;
};

}  // namespace

std::unique_ptr<DryRunFiles> BeginDryRunFiles() {
  return std::unique_ptr<DryRunFiles>(new OverlayFiles());
}

bool ExportReadsUnwritableFiles() { return true; }

}  // namespace platform
