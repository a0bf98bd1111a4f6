// The FAT and the DIFAT that lists its sectors: which sector follows which,
// which are free, and growth of the file by whole sectors.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "platform/cfb/chain.h"
#include "platform/cfb/header.h"
#include "platform/cfb/sector_file.h"

namespace cfb {

class Allocator : public ChainLinks {
 public:
  Allocator(SectorFile* file, Header* header);
  ~Allocator() override;

  // Reads the DIFAT (the header's 109 entries and the DIFAT chain) to find
  // the FAT sectors; the FAT itself is read lazily, a sector when first
  // needed. STG_E_DOCFILECORRUPT when the counts or sector numbers do not fit
  // the file.
  HRESULT Load();

  HRESULT Next(uint32_t id, uint32_t* next) override;
  HRESULT SetNext(uint32_t id, uint32_t next) override;
  HRESULT Allocate(uint32_t* id) override;
  HRESULT AllocateAtEnd(uint32_t* id) override { return Grow(id); }
  // Marks the sector free and zeroes it.
  HRESULT Free(uint32_t id) override;
  uint32_t Limit() const override { return file_->sector_count(); }
  const uint32_t* Table(size_t* size) const override {
    if (loaded_count_ != loaded_.size()) return nullptr;
    *size = fat_.size();
    return fat_.data();
  }

  // Writes the changed FAT and DIFAT sectors and puts the FAT and DIFAT
  // fields into *header (the caller writes the header).
  HRESULT Flush();

  const std::vector<uint32_t>& fat_sectors() const { return fat_sectors_; }
  const std::vector<uint32_t>& difat_sectors() const { return difat_sectors_; }
  // Entries the FAT has room for.
  uint64_t Coverage() const { return fat_.size(); }

 private:
  // Reads the FAT sector at `fat_index` together with its neighbours that
  // follow it in the file (one read for a run of FAT sectors).
  HRESULT EnsureLoaded(uint32_t fat_index);
  // Adds a sector at the end of the file, growing the FAT and DIFAT first
  // when they have no entry for it.
  HRESULT Grow(uint32_t* id);
  HRESULT GrowFat();
  // Zeroes a sector that no longer belongs to anything.
  HRESULT Scrub(uint32_t id);
  bool Fits(uint64_t sectors) const;
  static uint64_t NextFatCount(uint64_t count);
  uint32_t DifatCapacity() const {
    return kHeaderDifat + static_cast<uint32_t>(difat_sectors_.size()) * (epb_ - 1);
  }

  static constexpr uint32_t kHeaderDifat = 109;
  SectorFile* file_;
  Header* header_;
  uint32_t epb_;  // entries per sector
  uint32_t range_lock_sector_;
  std::vector<uint32_t> fat_sectors_;
  std::vector<uint32_t> difat_sectors_;
  std::vector<uint32_t> fat_;       // all entries; valid where loaded_
  std::vector<uint8_t> loaded_;     // per FAT sector
  size_t loaded_count_ = 0;
  std::set<uint32_t> dirty_fat_;    // FAT sector indexes
  std::set<uint32_t> dirty_difat_;  // DIFAT sector indexes
  uint32_t search_from_ = 0;        // no free entry below this
};

}  // namespace cfb
