// Structured storage as the programs use it: a compound file's root storage,
// its storages, streams and element enumerators.
//
// The Windows backend wraps ole32; the POSIX backend is this project's own
// compound-file engine (platform/cfb). Both follow the same rules:
//  - every call returns an HRESULT, passed up unchanged by callers;
//  - names are UTF-16 and matched without regard to letter case;
//  - files are created, and elements opened and created, with kStorageMode
//    (read-write, share-exclusive, direct); an existing file is opened with
//    kStorageMode or kStorageReadMode (read only, deny write, direct). Any
//    other mode gives STG_E_INVALIDFLAG;
//  - below a root opened with kStorageReadMode elements are still asked for
//    with kStorageMode and come read only (ole32: STGM_READ |
//    STGM_SHARE_EXCLUSIVE); every call there that would change the file
//    (CreateStream, CreateStorage, DestroyElement, RenameElement,
//    Stream::Write) fails with STG_E_ACCESSDENIED, and nothing of the file
//    is ever written;
//  - destroying an object is its Release. Children must be destroyed before
//    their parents; once the root is destroyed, children still alive fail
//    with STG_E_REVERTED;
//  - outside a StorageScope every call that changes the file is in it, synced,
//    when the call returns (a created element together with the write that
//    fills it); inside one, the changes of the whole scope reach each file
//    together, when the scope commits (see StorageScope).
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"

namespace platform {

// STGM_READWRITE | STGM_SHARE_EXCLUSIVE: direct mode, fail if there.
constexpr uint32_t kStorageMode = 18;
// STGM_READ | STGM_SHARE_DENY_WRITE: direct mode, read only; other readers
// may hold the file beside it, a writer may not (nor it beside a writer).
constexpr uint32_t kStorageReadMode = 0x20;

enum class ElementType : uint32_t { kStorage = 1, kStream = 2 };  // STGTY_*
enum class SeekOrigin : uint32_t { kSet = 0, kCurrent = 1, kEnd = 2 };  // STREAM_SEEK_*

struct ElementStat {
  std::u16string name;
  ElementType type = ElementType::kStream;
  uint64_t size = 0;  // stream size in bytes; 0 for a storage
  uint8_t clsid[16] = {};  // a storage's class id as stored (all zero: none)
  uint64_t created = 0;    // FILETIME: 100 ns units since 1601-01-01 UTC; 0: not set
  uint64_t modified = 0;   // FILETIME, as `created`
};

class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to `count` bytes at the current position; *read gets the number
  // read (0 at or past the end). REQUIRES: buffer holds count bytes.
  virtual HRESULT Read(void* buffer, uint32_t count, uint32_t* read) = 0;
  // Writes at the current position, extending the stream to position + count
  // when needed; a write never shortens the stream.
  virtual HRESULT Write(const void* data, uint32_t count, uint32_t* written) = 0;
  // Moves the position; past the end is allowed, before the start gives
  // STG_E_INVALIDFUNCTION. *new_position may be null.
  virtual HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) = 0;
};

class ElementEnumerator {
 public:
  virtual ~ElementEnumerator() = default;
  // One element per call, in the order of the storage's tree (the name
  // order for files this project wrote; the POSIX engine lists other
  // writers' trees as they are stored): S_OK with *stat filled, S_FALSE at
  // the end, or a failure. On POSIX the enumeration is a snapshot taken at
  // the first Next (see cfb::ChildCursor).
  virtual HRESULT Next(ElementStat* stat) = 0;
};

class Storage {
 public:
  virtual ~Storage() = default;
  virtual HRESULT OpenStream(const std::u16string& name, uint32_t mode,
                             std::unique_ptr<Stream>* stream) = 0;
  virtual HRESULT CreateStream(const std::u16string& name, uint32_t mode,
                               std::unique_ptr<Stream>* stream) = 0;
  virtual HRESULT OpenStorage(const std::u16string& name, uint32_t mode,
                              std::unique_ptr<Storage>* storage) = 0;
  virtual HRESULT CreateStorage(const std::u16string& name, uint32_t mode,
                                std::unique_ptr<Storage>* storage) = 0;
  // Removes a stream, or a storage with everything inside it.
  virtual HRESULT DestroyElement(const std::u16string& name) = 0;
  // Renames the child `old_name` to `new_name`: STG_E_FILENOTFOUND without
  // `old_name`, STG_E_FILEALREADYEXISTS when another child has `new_name` (in
  // any letter case; a change of letter case alone renames the element),
  // STG_E_INVALIDNAME for a name the format does not allow,
  // STG_E_ACCESSDENIED while the element is open.
  virtual HRESULT RenameElement(const std::u16string& old_name,
                                const std::u16string& new_name) = 0;
  virtual HRESULT EnumElements(std::unique_ptr<ElementEnumerator>* enumerator) = 0;
};

// StgOpenStorage: opens an existing compound file. `path` is a file path in
// the platform's narrow encoding (the ANSI code page on Windows, bytes as
// they are on POSIX); a symbolic link is followed to its target. Fails with
// STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND, STG_E_ACCESSDENIED for a file
// that may not be opened in `mode` (kStorageMode: one the user may not
// write, or on a read-only mount), STG_E_SHAREVIOLATION while another open
// holds the file (any number of kStorageReadMode opens hold it together)
// or it is in an unfinished conversion (see conversion_record.h), and
// STG_E_FILEALREADYEXISTS for a file that is not a compound file.
// kStorageMode takes back what an interrupted run left unfinished in the
// file (POSIX: its journal) before the file is read; kStorageReadMode
// cannot, and refuses such a file with STG_E_SHAREVIOLATION after a message
// that says what takes it back. Inside a StorageScope a path held for
// reading gives STG_E_ACCESSDENIED to kStorageMode.
HRESULT OpenStorageFile(const std::string& path, uint32_t mode,
                        std::unique_ptr<Storage>* root);

// Opens a compound file for a run that only reads it: with kStorageMode,
// as every run does, and when that gives STG_E_ACCESSDENIED (the user may
// not write the file, or it lies on a read-only mount) with
// kStorageReadMode. The open for writing comes first because it also takes
// back what an interrupted run left unfinished in the file.
HRESULT OpenStorageFileToRead(const std::string& path, std::unique_ptr<Storage>* root);

// Whether Rebolan's export runs read a configuration they may not write,
// through OpenStorageFileToRead: true on POSIX; false on Windows, where the
// export opens with kStorageMode alone, as it always has there (ole32 then
// refuses such a file with STG_E_ACCESSDENIED).
bool ExportReadsUnwritableFiles();

// StgCreateDocfile without STGM_CREATE: creates a new, empty compound file;
// fails with STG_E_FILEALREADYEXISTS when any file of that name exists.
HRESULT CreateStorageFile(const std::string& path, uint32_t mode,
                          std::unique_ptr<Storage>* root);

// A run's hold on the compound files it opens: one transaction per file.
//
// While a scope is alive, the first open (or create) of a path keeps the
// file open and locked until the scope commits, and later opens of the same
// path reuse it: its structures stay in memory and its changes collect
// there. Commit() puts each file's changes into it as one unit, synced, file
// and folder: a process killed or a power cut at any instant leaves each file
// as it was before the scope or with all of its changes; a file the scope
// created appears at its path whole or not at all. A call that fails inside
// the scope loses only its own change. A scope begun while another is
// alive (a program run inside this process, as a test does) holds its own
// files, as a separate process would: the outer scope's files are neither
// seen nor committed by it, and are held again when it ends.
// On Windows (ole32) the scope holds nothing: every call is in the file when
// it returns, as ole32 does it.
class StorageScope {
 public:
  struct Failure {
    std::string path;
    HRESULT result;
  };
  StorageScope();
  // Commits what is still held; failures are lost then: call Commit(). When
  // the scope ends because an exception leaves the run (an allocation
  // failure on its way to the program's entry), it abandons instead: half a
  // run never reaches a file.
  ~StorageScope();
  StorageScope(const StorageScope&) = delete;
  StorageScope& operator=(const StorageScope&) = delete;
  // Commits and closes every held file. Returns the files whose commit
  // failed (each is then as it was before the scope); empty when all went in.
  std::vector<Failure> Commit();
  // Closes every held file without its changes: each is as it was before
  // the scope (on Windows, where nothing is held, changes stay).
  void Abandon();

 private:
  // The exceptions in flight when the scope began; more at its end means
  // the run is being unwound.
  int exceptions_at_start_ = std::uncaught_exceptions();
  // The files of the scope this one was begun inside (POSIX).
  void* outer_ = nullptr;
};

// Commits and closes the file that the scope holds for `path`, before the
// file is moved, deleted or handed to another program. S_OK when none is
// held; the commit's failure otherwise (the file is then as it was before
// the scope).
HRESULT ReleaseStorageFile(const std::string& path);

// Moves the compound file at `from` to the free name `to` (EEXIST when it
// is taken). A file the scope holds is committed first and stays held,
// open and locked, under its new path: no other program can change it
// between a run's reading and the move. 0 or an errno value.
int MoveStorageFile(const std::string& from, const std::string& to);
// Deletes the compound file at `path` together with its journal and what an
// interrupted create of it left, after committing and closing it when a
// scope holds it. A symbolic link at `path` is deleted, never its target.
// Returns 0 or the errno of deleting the file (ENOENT when there is none;
// EBUSY while another program works on it or it is in a conversion that is
// not this run's).
int DeleteStorageFile(const std::string& path);

// The files of a dry run: while the object lives, files are read from disk
// and every change of them (a write, a create, a rename, a delete) is kept
// in memory only (OverlayFileSystem, file_overlay.h); its end forgets them.
// Begin it before the run's StorageScope, end it after. Null where the
// storage does not go through FileSystem (Windows, where ole32 writes the
// files itself): there is no dry run there.
class DryRunFiles {
 public:
  virtual ~DryRunFiles() = default;
};
std::unique_ptr<DryRunFiles> BeginDryRunFiles();

}  // namespace platform
