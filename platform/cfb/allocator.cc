// The FAT and DIFAT.
#include "platform/cfb/allocator.h"

#include <algorithm>
#include <vector>

#include "platform/cfb/entry_buffer.h"
#include "platform/cfb/format.h"

namespace cfb {

Allocator::Allocator(SectorFile* file, Header* header)
    : file_(file),
      header_(header),
      epb_(file->sector_size() / 4),
      range_lock_sector_(static_cast<uint32_t>((kMaxFileSize >> header->sector_shift) - 1)) {}

Allocator::~Allocator() { GiveEntryBuffer(std::move(fat_)); }

HRESULT Allocator::Load() {
  const uint32_t sectors = file_->sector_count();
  const uint32_t count = header_->num_fat_sectors;
  // Every FAT sector is a sector of the file.
  if (count == 0 || count > sectors) return STG_E_DOCFILECORRUPT;
  std::vector<uint8_t> seen(sectors, 0);
  auto take = [&](uint32_t id) {
    if (id >= sectors || seen[id]) return false;
    seen[id] = 1;
    fat_sectors_.push_back(id);
    return true;
  };
  for (uint32_t i = 0; i < count && i < kHeaderDifat; ++i) {
    if (!take(header_->difat[i])) return STG_E_DOCFILECORRUPT;
  }
  uint32_t difat = header_->first_difat_sector;
  std::vector<uint8_t> sector(file_->sector_size());
  while (fat_sectors_.size() < count) {
    if (difat >= sectors || seen[difat]) return STG_E_DOCFILECORRUPT;
    seen[difat] = 1;
    difat_sectors_.push_back(difat);
    HRESULT hr = file_->ReadSector(difat, sector.data());
    if (FAILED(hr)) return hr;
    for (uint32_t i = 0; i + 1 < epb_ && fat_sectors_.size() < count; ++i) {
      if (!take(Get32(sector.data() + 4 * i))) return STG_E_DOCFILECORRUPT;
    }
    difat = Get32(sector.data() + 4 * (epb_ - 1));
  }
  fat_ = TakeEntryBuffer(static_cast<size_t>(count) * epb_);
  loaded_.assign(count, 0);
  return S_OK;
}

HRESULT Allocator::EnsureLoaded(uint32_t fat_index) {
  if (loaded_[fat_index]) return S_OK;
  // The run of FAT sectors that lie one after the other around this one.
  constexpr uint32_t kMaxRun = 256;
  uint32_t first = fat_index, last = fat_index;
  while (first > 0 && !loaded_[first - 1] && fat_sectors_[first - 1] + 1 == fat_sectors_[first] &&
         last - first + 1 < kMaxRun) {
    --first;
  }
  while (last + 1 < fat_sectors_.size() && !loaded_[last + 1] &&
         fat_sectors_[last] + 1 == fat_sectors_[last + 1] && last - first + 1 < kMaxRun) {
    ++last;
  }
  uint32_t count = last - first + 1;
  uint32_t* entries = &fat_[static_cast<size_t>(first) * epb_];
  HRESULT hr = file_->ReadRun(fat_sectors_[first], count, reinterpret_cast<uint8_t*>(entries));
  if (FAILED(hr)) return hr;
  FromLittleEndian(entries, static_cast<size_t>(count) * epb_);
  for (uint32_t k = 0; k < count; ++k) loaded_[first + k] = 1;
  loaded_count_ += count;
  return S_OK;
}

HRESULT Allocator::Next(uint32_t id, uint32_t* next) {
  if (id >= fat_.size()) return STG_E_DOCFILECORRUPT;  // the FAT has no entry
  uint32_t index = id / epb_;
  if (!loaded_[index]) {
    HRESULT hr = EnsureLoaded(index);
    if (FAILED(hr)) return hr;
  }
  *next = fat_[id];
  return S_OK;
}

HRESULT Allocator::SetNext(uint32_t id, uint32_t next) {
  if (id >= fat_.size()) return STG_E_DOCFILECORRUPT;
  uint32_t index = id / epb_;
  HRESULT hr = EnsureLoaded(index);
  if (FAILED(hr)) return hr;
  fat_[id] = next;
  dirty_fat_.insert(index);
  return S_OK;
}

HRESULT Allocator::Free(uint32_t id) {
  HRESULT hr = SetNext(id, FREESECT);
  if (FAILED(hr)) return hr;
  if (id < search_from_) search_from_ = id;
  return Scrub(id);
}

HRESULT Allocator::Scrub(uint32_t id) {
  // A freed sector keeps nothing of what it held (a configuration holds
  // passwords).
  uint8_t* bytes;
  return file_->Fresh(id, &bytes);
}

HRESULT Allocator::Allocate(uint32_t* id) {
  // Freed sectors first, lowest first, before the file grows.
  uint64_t end = file_->sector_count();
  if (end > fat_.size()) end = fat_.size();
  for (uint64_t s = search_from_; s < end;) {
    uint32_t index = static_cast<uint32_t>(s / epb_);
    HRESULT hr = EnsureLoaded(index);
    if (FAILED(hr)) return hr;
    uint64_t stop = std::min<uint64_t>(end, static_cast<uint64_t>(index + 1) * epb_);
    const uint32_t* found = std::find(&fat_[s], fat_.data() + stop, FREESECT);
    s = static_cast<uint64_t>(found - fat_.data());
    if (s == stop) continue;
    if (s == range_lock_sector_) {
      ++s;
      continue;
    }
    search_from_ = static_cast<uint32_t>(s + 1);
    *id = static_cast<uint32_t>(s);
    return SetNext(*id, ENDOFCHAIN);
  }
  search_from_ = static_cast<uint32_t>(end);
  return Grow(id);
}

bool Allocator::Fits(uint64_t sectors) const {
  // The file never reaches the range-lock sector at 0x7FFFFF00.
  return ((sectors + 1) << header_->sector_shift) <= kMaxFileSize;
}

uint64_t Allocator::NextFatCount(uint64_t count) {
  // Doubling, but landing once exactly on the header's 109 entries and on
  // the first DIFAT sector's 127 more, where the DIFAT changes shape.
  uint64_t next = count * 2;
  if (count < kHeaderDifat && next > kHeaderDifat) next = kHeaderDifat;
  if (count < 236 && next > 236) next = 236;
  return next;
}

HRESULT Allocator::GrowFat() {
  // The FAT moves to one run of twice as many sectors at the end of the
  // file, so that it is always read with one call; its old sectors become
  // free and are used again.
  for (uint32_t i = 0; i < fat_sectors_.size(); ++i) {
    HRESULT hr = EnsureLoaded(i);
    if (FAILED(hr)) return hr;
  }
  const uint64_t first = file_->sector_count();
  uint64_t count = fat_sectors_.size();
  uint64_t difat_count, end;
  for (;;) {
    count = NextFatCount(count);
    difat_count = count > kHeaderDifat ? (count - kHeaderDifat + epb_ - 2) / (epb_ - 1) : 0;
    if (difat_count < difat_sectors_.size()) difat_count = difat_sectors_.size();
    end = first + count + (difat_count - difat_sectors_.size());
    // It covers itself, the DIFAT and the sector handed out next.
    if (count * epb_ > end) break;
  }
  if (!Fits(end + 1)) return STG_E_MEDIUMFULL;
  file_->GrowTo(static_cast<uint32_t>(end));
  fat_.resize(count * epb_, FREESECT);
  loaded_.assign(count, 1);
  loaded_count_ = count;
  for (uint32_t old : fat_sectors_) {
    fat_[old] = FREESECT;
    if (old < search_from_) search_from_ = old;
    HRESULT hr = Scrub(old);
    if (FAILED(hr)) return hr;
  }
  fat_sectors_.clear();
  for (uint64_t k = 0; k < count; ++k) {
    fat_sectors_.push_back(static_cast<uint32_t>(first + k));
    fat_[first + k] = FATSECT;
  }
  for (uint64_t s = first + count; s < end; ++s) {
    difat_sectors_.push_back(static_cast<uint32_t>(s));
    fat_[s] = DIFSECT;
  }
  dirty_fat_.clear();
  for (uint32_t i = 0; i < count; ++i) dirty_fat_.insert(i);
  for (uint32_t i = 0; i < difat_sectors_.size(); ++i) dirty_difat_.insert(i);
  return S_OK;
}

HRESULT Allocator::Grow(uint32_t* id) {
  if (!Fits(static_cast<uint64_t>(file_->sector_count()) + 1)) return STG_E_MEDIUMFULL;
  if (file_->sector_count() >= fat_.size()) {
    HRESULT hr = GrowFat();
    if (FAILED(hr)) return hr;
  }
  *id = file_->sector_count();
  file_->GrowTo(*id + 1);
  return SetNext(*id, ENDOFCHAIN);
}

HRESULT Allocator::Flush() {
  std::vector<uint8_t> sector(file_->sector_size());
  for (uint32_t index : dirty_fat_) {
    PutEntries(&fat_[static_cast<size_t>(index) * epb_], sector.data(), epb_);
    HRESULT hr = file_->WriteSector(fat_sectors_[index], sector.data());
    if (FAILED(hr)) return hr;
  }
  dirty_fat_.clear();
  for (uint32_t index : dirty_difat_) {
    for (uint32_t i = 0; i + 1 < epb_; ++i) {
      size_t fat_index = kHeaderDifat + static_cast<size_t>(index) * (epb_ - 1) + i;
      Put32(sector.data() + 4 * i,
            fat_index < fat_sectors_.size() ? fat_sectors_[fat_index] : FREESECT);
    }
    uint32_t next = index + 1 < difat_sectors_.size() ? difat_sectors_[index + 1] : ENDOFCHAIN;
    Put32(sector.data() + 4 * (epb_ - 1), next);
    HRESULT hr = file_->WriteSector(difat_sectors_[index], sector.data());
    if (FAILED(hr)) return hr;
  }
  dirty_difat_.clear();
  // The counts are written as they are, whatever the header held before.
  {
    header_->num_fat_sectors = static_cast<uint32_t>(fat_sectors_.size());
    for (uint32_t i = 0; i < kHeaderDifat; ++i) {
      header_->difat[i] = i < fat_sectors_.size() ? fat_sectors_[i] : FREESECT;
    }
    header_->num_difat_sectors = static_cast<uint32_t>(difat_sectors_.size());
    header_->first_difat_sector = difat_sectors_.empty() ? ENDOFCHAIN : difat_sectors_[0];
  }
  return S_OK;
}

}  // namespace cfb
