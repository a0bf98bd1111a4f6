// The one layer through which the engine reads and writes its file: whole
// sectors and the header, at their places in the file.
//
// Sectors are cached for the length of one engine call: reads of runs of
// consecutive sectors take one system call, changed sectors are kept and
// written by Flush at the end of the call, consecutive ones together. Every
// byte the engine writes passes through Flush, so that a rollback journal can
// save the original sectors here before they are overwritten.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <memory>
#include <vector>

#include "platform/cfb/journal.h"
#include "platform/file.h"
#include "platform/hresult.h"

namespace cfb {

class SectorFile {
 public:
  // REQUIRES: file is open for reading and writing; sector_size 512 or 4096.
  // sector_count: the sectors the file holds (a short last sector counts).
  SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
             uint32_t sector_count);
  // Closes as Close does.
  ~SectorFile();

  // From now on every call saves the sectors it overwrites in a rollback
  // journal at `journal_path` first (see journal.h), and Close commits them.
  // Without it, Flush writes in place and syncs nothing (a file being
  // created).
  void UseJournal(const std::string& journal_path);
  // Ends the open: undoes a call that stopped halfway and deletes a journal
  // still held. STG_E_WRITEFAULT when a call could not be undone: the file is
  // then rolled back to how it was opened (now, or by the next open when
  // that fails too).
  HRESULT Close();

  uint32_t sector_size() const { return sector_size_; }
  // Sectors that exist, in the file or added in this session.
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

  // The bytes of sector `id` for changing them; the sector will be written by
  // Flush. Fresh() gives a zeroed sector without reading it.
  HRESULT Modify(uint32_t id, uint8_t** data);
  HRESULT Fresh(uint32_t id, uint8_t** data);
  // Replaces a whole sector.
  HRESULT WriteSector(uint32_t id, const uint8_t* data);
  // Sets the header (512 bytes; a 4096-byte header sector is zero after it);
  // Flush writes it, last, when it differs from what the file holds.
  void SetHeader(const uint8_t* header512);
  // Records the header the file holds now (read at open).
  void HeaderOnDisk(const uint8_t* header512);
  // Caches the whole sectors inside `n` bytes read from the file's start.
  void Seed(const uint8_t* bytes, size_t n);
  // Copies `count` consecutive sectors from `first` into `out`, with one
  // read when none of them is cached. Nothing is cached.
  HRESULT ReadRun(uint32_t first, uint32_t count, uint8_t* out);

  // Ends a call: writes every changed sector and the header if it changed.
  // With a journal, the sectors' contents are saved in it and it is synced
  // first, and the file is synced after (for a held call, with the call
  // that completes it). A call that changed nothing writes nothing. Returns
  // STG_E_MEDIUMFULL or STG_E_WRITEFAULT on failure, after putting back what
  // the call overwrote (when that fails too, Close rolls back the open).
  // Then the journal is deleted, unless `hold`: it then goes on to cover the
  // next call too, so that a crash takes back both (Close deletes it at the
  // latest). STG_E_WRITEFAULT when the journal cannot be deleted: the next
  // open takes the call back.
  HRESULT Flush(bool hold = false);
  // Writes the changed sectors in the middle of a call (a long write), under
  // the call's journal; the call is complete only at Flush.
  HRESULT Spill();
  // Drops clean cached sectors when the cache has grown large.
  void Trim();
  // A call failed: puts back what it overwrote, and the finished call that
  // the journal still holds, if any; drops the cache. Returns `hr`.
  HRESULT Abandon(HRESULT hr);
  size_t dirty_bytes() const { return dirty_count_ * static_cast<size_t>(sector_size_); }

  HRESULT Sync();
  platform::File* file() { return file_.get(); }

  static HRESULT WriteError(int error);

 private:
  struct Block {
    std::vector<uint8_t> bytes;
    bool dirty = false;
  };
  uint64_t OffsetOf(uint32_t id) const {
    return (static_cast<uint64_t>(id) + 1) << shift_;
  }
  HRESULT Load(uint32_t id, Block** block);
  HRESULT WriteChanged();
  HRESULT SaveOriginals(const std::vector<uint32_t>& dirty);

  std::unique_ptr<platform::File> file_;
  uint32_t sector_size_;
  uint32_t shift_;
  uint32_t sector_count_;
  std::unordered_map<uint32_t, Block> cache_;
  size_t dirty_count_ = 0;
  uint32_t misses_ = 0;  // sectors read one at a time
  std::vector<uint8_t> header_;
  bool header_dirty_ = false;
  std::unique_ptr<Journal> journal_;
  bool in_call_ = false;   // the journal holds records of an unfinished call
  bool holding_ = false;   // it also holds a finished call, taken back with a failed one
  bool poisoned_ = false;  // a call could not be undone
  bool file_unsynced_ = false;  // a call was undone and not synced
};

}  // namespace cfb
