// The one layer through which the engine reads and writes its file: whole
// sectors and the header, at their places in the file; and the transaction
// that collects the changes until they are committed.
//
// Changed sectors stay in memory until the commit, or until more than
// kSpillBytes of them are collected, when they are written early (a spill).
// With a rollback journal (a file that existed before the transaction), the
// original bytes of every sector a spill or the commit overwrites are saved
// in the journal and the journal synced first; the header is written last,
// by the commit only. Without one (a file made under a temporary name, not
// yet at its path), nothing needs saving.
//
// Inside a transaction, each engine call is a savepoint: BeginCall keeps the
// bytes of every sector before the call first changes it, so that UndoCall
// puts back the whole state as it was before the call, in memory, whatever
// was spilled meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/cfb/journal.h"
#include "platform/file.h"
#include "platform/hresult.h"

namespace cfb {

class SectorFile {
 public:
  // Changed bytes collected in memory before they are written early.
  static constexpr size_t kSpillBytes = 16u << 20;
  // Tests make spills happen on small files.
  static void SetSpillBytesForTesting(size_t bytes);

  // REQUIRES: file is open for reading and writing; sector_size 512 or 4096.
  // sector_count: the sectors the file holds (a short last sector counts).
  SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
             uint32_t sector_count);
  // Takes back an uncommitted transaction, as Rollback does.
  ~SectorFile();

  // From now on the originals of overwritten sectors are saved in the
  // journal of the file at `file_path` (see journal.h).
  void UseJournal(const std::string& file_path);

  uint32_t sector_size() const { return sector_size_; }
  // Sectors that exist, in the file or added in this transaction.
  uint32_t sector_count() const { return sector_count_; }
  // Makes sectors up to `count - 1` exist; their bytes are unspecified until
  // written.
  void GrowTo(uint32_t count) {
    if (count > sector_count_) sector_count_ = count;
  }

  // The bytes of sector `id` (valid until the next call on this object).
  // Bytes past the end of the file read as zero (a short last sector).
  // STG_E_DOCFILECORRUPT for a sector that does not exist, STG_E_READFAULT
  // when reading fails.
  HRESULT Get(uint32_t id, const uint8_t** data);
  // Reads `count` consecutive sectors from `first` into the cache with one
  // read, skipping nothing; sectors already cached are kept as they are.
  HRESULT Prefetch(uint32_t first, uint32_t count);
  // Copies bytes out of a sector.
  HRESULT Read(uint32_t id, uint32_t offset, void* out, uint32_t n);
  HRESULT ReadSector(uint32_t id, uint8_t* out) { return Read(id, 0, out, sector_size_); }

  // The bytes of sector `id` for changing them. Fresh() gives a zeroed
  // sector.
  HRESULT Modify(uint32_t id, uint8_t** data);
  HRESULT Fresh(uint32_t id, uint8_t** data);
  // Replaces a whole sector.
  HRESULT WriteSector(uint32_t id, const uint8_t* data);
  // Sets the header (512 bytes; a 4096-byte header sector is zero after it);
  // the commit writes it, last, when it differs from what the file holds.
  void SetHeader(const uint8_t* header512);
  // Records the header the file holds now (read at open).
  void HeaderOnDisk(const uint8_t* header512);
  // Caches the whole sectors inside `n` bytes read from the file's start.
  void Seed(const uint8_t* bytes, size_t n);
  // Copies `count` consecutive sectors from `first` into `out`, with one
  // read when none of them is cached. Nothing is cached.
  HRESULT ReadRun(uint32_t first, uint32_t count, uint8_t* out);

  // Starts a call: a savepoint. With `extend`, a call held by the last
  // EndCall is taken back together with this one should this one fail.
  // True when a new savepoint began (false: the held one goes on).
  bool BeginCall(bool extend);
  // The call succeeded. `hold`: its changes go with the next call's if that
  // one fails (an element just made, which the next call fills).
  void EndCall(bool hold);
  // The call failed: puts back every sector, the header and the sector
  // count as they were at its BeginCall (and at a held call's).
  void UndoCall();

  // Writes the changed sectors now when more than kSpillBytes are
  // collected. STG_E_MEDIUMFULL / STG_E_WRITEFAULT on failure; what was
  // collected stays in memory (the journal keeps the file recoverable).
  HRESULT SpillIfLarge();
  // Commits the transaction: writes every changed sector and the header
  // (the journal synced first), syncs the file and ends the journal. A
  // transaction that changed nothing writes and syncs nothing. On failure
  // the caller rolls back.
  HRESULT Commit();
  // Takes back what this transaction wrote to the file and drops every
  // cached sector; header() is then the file's again. STG_E_WRITEFAULT when
  // the file could not be restored: the journal stays, and the next open
  // restores it.
  HRESULT Rollback();
  // The header as the transaction has it (512 bytes).
  const uint8_t* header() const { return header_.data(); }
  // Whether the transaction has changes not yet committed.
  bool changed() const { return dirty_count_ != 0 || header_dirty() || wrote_; }

  // Makes a journal's deletion durable (a folder sync) if one is pending.
  void SyncFolder();
  HRESULT Sync();
  platform::File* file() { return file_.get(); }

  static HRESULT WriteError(int error);

 private:
  struct Block {
    std::vector<uint8_t> bytes;
    bool dirty = false;
  };
  struct Savepoint {
    bool active = false;
    bool held = false;
    uint32_t sector_count = 0;
    std::vector<uint8_t> header;
    std::unordered_map<uint32_t, std::vector<uint8_t>> before;  // bytes before the call
  };
  uint64_t OffsetOf(uint32_t id) const {
    return (static_cast<uint64_t>(id) + 1) << shift_;
  }
  bool header_dirty() const { return header_ != disk_header_; }
  HRESULT Load(uint32_t id, Block** block);
  // Keeps the bytes of a sector before the current call changes it.
  void Remember(uint32_t id, const Block& block);
  void MarkDirty(Block* block);
  // Writes every changed sector; with `final`, also the header.
  HRESULT WriteChanged(bool final);
  HRESULT SaveOriginals(const std::vector<uint32_t>& dirty, bool final);
  // Drops clean cached sectors when the cache has grown large.
  void Trim();

  std::unique_ptr<platform::File> file_;
  uint32_t sector_size_;
  uint32_t shift_;
  uint32_t sector_count_;
  std::unordered_map<uint32_t, Block> cache_;
  Block* last_ = nullptr;  // the block Load found last (nodes stay put until erased)
  uint32_t last_id_ = 0;
  size_t dirty_count_ = 0;
  uint32_t misses_ = 0;  // sectors read one at a time
  std::vector<uint8_t> header_;       // as the transaction has it
  std::vector<uint8_t> disk_header_;  // as the file holds it
  std::unique_ptr<Journal> journal_;
  Savepoint savepoint_;
  uint64_t start_size_ = 0;  // the file's size when the transaction began
  bool wrote_ = false;       // the transaction wrote to the file (a spill)
};

}  // namespace cfb
