// The rollback journal: the original bytes of the sectors the engine
// overwrites while a file is open, kept in "<file>-journal" until the file
// is closed.
//
// Before a call overwrites sectors of the file, their contents are appended
// to the journal and the journal is synced. Closing the file syncs it and
// deletes the journal. A journal found when the file is next opened belongs
// to an open that did not end: its records are written back, last first,
// and the file is cut to the size it had when it was opened. So a process
// killed while it works on the file leaves the file as it was opened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "platform/hresult.h"

namespace cfb {

// The journal of the file at `file_path`: file_path + "-journal".
std::string JournalPath(const std::string& file_path);

// Layout (little-endian):
//   header, 32 bytes: "CFBJRNL1", u32 block size, u32 salt, u64 the file's
//     size when it was opened, u32 reserved (0), u32 CRC-32 of the 28 bytes
//     before it;
//   records: u64 offset in the file, u32 CRC-32 of (salt, offset, bytes),
//     then `block size` bytes: the block as it was before the call that
//     saved it. Each call saves each block it overwrites once.
// A journal whose header is short or fails its check was never synced, so
// the file was not touched: it is removed. Records are used up to the first
// short or failing one (a torn tail was never synced either).
class Journal {
 public:
  static constexpr size_t kHeaderBytes = 32;
  static constexpr size_t kRecordHead = 12;

  // REQUIRES: block_size is the file's sector size (512 or 4096).
  Journal(std::string path, uint32_t block_size);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& path() const { return path_; }
  // Whether the journal holds changes not yet committed.
  bool active() const { return file_ != nullptr; }
  uint64_t original_size() const { return original_size_; }

  // Starts the journal on a file of `file_size` bytes: creates (or empties)
  // the journal file. Nothing is synced yet.
  HRESULT Begin(uint64_t file_size);
  // Starts a call on a file of `file_size` bytes.
  void BeginCall(uint64_t file_size);
  // Whether the block at `offset` must be saved before this call overwrites
  // it: it lies inside the file as the call found it and is not saved yet.
  bool Needs(uint64_t offset) const;
  // Saves the current bytes (block_size of them) of the block at `offset`.
  void Add(uint64_t offset, const uint8_t* bytes);
  // Writes the saved blocks and syncs the journal (and, for a new journal,
  // its folder). STG_E_WRITEFAULT / STG_E_MEDIUMFULL on failure.
  HRESULT Sync();
  // The call is complete.
  void EndCall() { saved_.clear(); }
  // Puts back what the current call overwrote and cuts the file to the size
  // the call found; the journal stays. On failure, the file must not be
  // committed: only the rollback at the next open restores it.
  HRESULT RollbackCall(platform::File* file);
  // Everything is in the file and the file synced: deletes the journal (or,
  // if it cannot be deleted, empties it, which makes it void).
  HRESULT Commit();
  // Puts the file back as it was at Begin and deletes the journal. On
  // failure the journal stays for the next open.
  HRESULT Rollback(platform::File* file);

  // True when a journal was deleted and its folder not synced since.
  bool folder_unsynced() const { return folder_unsynced_; }

 private:
  std::string path_;
  uint32_t block_size_;
  uint32_t salt_ = 0;
  uint64_t original_size_ = 0;
  uint64_t call_size_ = 0;           // the file's size when the call began
  uint64_t call_records_at_ = 0;     // where the call's records begin
  std::unique_ptr<platform::File> file_;
  uint64_t written_ = 0;             // bytes of the journal file so far
  std::vector<uint8_t> pending_;     // records not yet written
  std::unordered_set<uint64_t> saved_;  // by the current call
  bool folder_unsynced_ = false;
};

// Rolls back a journal left by a call that did not complete, if one is
// there. REQUIRES: `file` is the journal's file, open for writing, and its
// lock is held. S_OK when there was none, it was void, or it was rolled
// back; STG_E_DOCFILECORRUPT when it does not fit the file (left as it is);
// STG_E_READFAULT / STG_E_WRITEFAULT / STG_E_ACCESSDENIED when reading the
// journal or restoring the file fails (the journal stays).
HRESULT RecoverJournal(const std::string& journal_path, platform::File* file);

// CRC-32 (IEEE), continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t n);

}  // namespace cfb
