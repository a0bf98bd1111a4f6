// The rollback journal: the original bytes of the sectors that a
// transaction overwrites, kept in "<file>-journal" until it commits.
//
// A transaction's changes collect in memory (sector_file.h). Before any of
// them overwrites a block of the file as it was when the transaction began,
// the block's original bytes are appended to the journal and the journal is
// synced. The commit syncs the file and deletes the journal. A journal found
// when the file is next opened belongs to a transaction that did not end:
// its records are written back, last first, and the file is cut to the size
// it had when the transaction began. So a process killed, or a power cut, at
// any instant leaves the file as it was before the transaction or with all
// of it.
//
// A journal names the file it was written for (device and inode, which a
// rename keeps, and a checksum of the file's header before and after the
// transaction): a journal found beside another file, such as a file put back
// at the same path, is never applied, but moved aside.
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
//   header, 64 bytes: "CFBJRNL2", u32 block size, u32 salt, u64 the file's
//     size when the transaction began, u64 device, u64 inode, u32 CRC-32 of
//     the file's 512-byte header then, 16 reserved bytes (0), u32 CRC-32 of
//     the 60 bytes before it;
//   records: u64 offset in the file, u32 CRC-32 of (salt, offset, bytes),
//     then `block size` bytes: the block as it was when the transaction
//     began. Each block is saved once. A record at offset kFinalHeaderMark
//     holds the header the commit writes (its first 512 bytes); it is not
//     written back, it only lets a file whose header was already replaced be
//     recognised as the journal's own.
// A journal whose header is short or fails its check was never synced, so
// the file was not touched: it is removed. Records are used up to the first
// short or failing one (a torn tail was never synced either).
class Journal {
 public:
  static constexpr size_t kHeaderBytes = 64;
  static constexpr size_t kRecordHead = 12;
  static constexpr uint64_t kFinalHeaderMark = ~uint64_t{0};

  // The journal of the file at `file_path`. REQUIRES: block_size is the
  // file's sector size (512 or 4096).
  Journal(std::string file_path, uint32_t block_size);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& path() const { return path_; }
  // Whether the journal file exists for the current transaction.
  bool active() const { return file_ != nullptr; }
  uint64_t original_size() const { return original_size_; }

  // Starts the journal of a transaction on a file of `file_size` bytes with
  // the given identity and 512-byte header: creates (or empties) the journal
  // file. Nothing is synced yet.
  HRESULT Begin(uint64_t file_size, const platform::FileIdentity& identity,
                const uint8_t* header512);
  // Whether the block at `offset` must be saved before it is overwritten:
  // it lies inside the file as the transaction found it and is not saved.
  bool Needs(uint64_t offset) const;
  // Saves the original bytes (block_size of them) of the block at `offset`.
  void Add(uint64_t offset, const uint8_t* bytes);
  // Records the header that the commit is about to write.
  void AddFinalHeader(const uint8_t* header512);
  // Writes the saved blocks and syncs the journal (and, for a new journal,
  // its folder). STG_E_WRITEFAULT / STG_E_MEDIUMFULL on failure; the blocks
  // not written are then not saved, and no block they stand for may be
  // overwritten.
  HRESULT Sync();
  // Everything is in the file and the file synced: deletes the journal (or,
  // if it cannot be deleted, empties it, which makes it void).
  HRESULT Commit();
  // Puts the file back as it was at Begin and deletes the journal. On
  // failure the journal stays for the next open.
  HRESULT Rollback(platform::File* file);

  // True when a journal was deleted and its folder not synced since.
  bool folder_unsynced() const { return folder_unsynced_; }

 private:
  void Drop();

  std::string file_path_;
  std::string path_;
  uint32_t block_size_;
  uint32_t salt_ = 0;
  uint64_t original_size_ = 0;
  std::unique_ptr<platform::File> file_;
  uint64_t written_ = 0;                 // bytes of the journal file so far
  std::vector<uint8_t> pending_;         // records not yet written
  std::vector<uint64_t> pending_offsets_;
  std::unordered_set<uint64_t> saved_;   // in this transaction
  bool folder_unsynced_ = false;
};

// What RecoverJournal found.
enum class JournalFound {
  kNone,        // no journal, or a void one (removed)
  kRolledBack,  // a transaction that did not end was taken back
  kMovedAside,  // a journal of another file: moved to *aside, file untouched
};

// What lies beside a file, as far as its reader is concerned.
enum class JournalState {
  kNone,        // no journal
  kVoid,        // a journal that was never synced: the file was not touched
  kOtherFile,   // a journal written for another file: the file was not touched
  kUnfinished,  // the file's own: a transaction that did not end, which only
                // an open for writing takes back (RecoverJournal)
};

// Reads the journal beside the file at file_path, if any, without changing
// anything. REQUIRES: `file` is that file, open for reading at least, and a
// lock on it (shared or exclusive) is held, so that no transaction runs.
// S_OK with *state set; STG_E_ACCESSDENIED when the journal cannot be
// opened, STG_E_READFAULT when it or the file cannot be read.
HRESULT ExamineJournal(const std::string& file_path, platform::File* file, JournalState* state);

// Rolls back a journal left by a transaction that did not end, if one is
// there and belongs to `file`. REQUIRES: `file` is the file at file_path,
// open for writing, and its lock is held. Returns S_OK with *found set;
// STG_E_DOCFILECORRUPT when the journal is the file's own but does not fit
// it (left as it is); STG_E_READFAULT / STG_E_WRITEFAULT /
// STG_E_ACCESSDENIED when reading the journal, moving it or restoring the
// file fails (the journal stays).
HRESULT RecoverJournal(const std::string& file_path, platform::File* file, JournalFound* found,
                       std::string* aside);

// CRC-32 (IEEE), continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t n);

}  // namespace cfb
