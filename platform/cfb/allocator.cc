// The FAT and DIFAT.
#include "platform/cfb/allocator.h"

#include <vector>

#include "platform/cfb/format.h"

namespace cfb {

Allocator::Allocator(SectorFile* file, Header* header)
    : file_(file),
      header_(header),
      epb_(file->sector_size() / 4),
      range_lock_sector_(static_cast<uint32_t>((kMaxFileSize >> header->sector_shift) - 1)) {}

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
  fat_.assign(static_cast<size_t>(count) * epb_, FREESECT);
  loaded_.assign(count, 0);
  return S_OK;
}

HRESULT Allocator::EnsureLoaded(uint32_t fat_index) {
  if (loaded_[fat_index]) return S_OK;
  std::vector<uint8_t> sector(file_->sector_size());
  HRESULT hr = file_->ReadSector(fat_sectors_[fat_index], sector.data());
  if (FAILED(hr)) return hr;
  uint32_t* entries = &fat_[static_cast<size_t>(fat_index) * epb_];
  for (uint32_t i = 0; i < epb_; ++i) entries[i] = Get32(sector.data() + 4 * i);
  loaded_[fat_index] = 1;
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
  return S_OK;
}

HRESULT Allocator::Allocate(uint32_t* id) {
  // Freed sectors first, lowest first, before the file grows.
  uint64_t end = file_->sector_count();
  if (end > fat_.size()) end = fat_.size();
  for (uint64_t s = search_from_; s < end; ++s) {
    uint32_t index = static_cast<uint32_t>(s / epb_);
    if (!loaded_[index]) {
      HRESULT hr = EnsureLoaded(index);
      if (FAILED(hr)) return hr;
    }
    if (fat_[s] == FREESECT && s != range_lock_sector_) {
      search_from_ = static_cast<uint32_t>(s + 1);
      *id = static_cast<uint32_t>(s);
      return SetNext(*id, ENDOFCHAIN);
    }
  }
  search_from_ = static_cast<uint32_t>(end);
  return Grow(id);
}

void Allocator::AddFatSector(uint32_t id) {
  fat_sectors_.push_back(id);
  fat_.resize(fat_.size() + epb_, FREESECT);
  loaded_.push_back(1);
  uint32_t index = static_cast<uint32_t>(fat_sectors_.size() - 1);
  dirty_fat_.insert(index);
  if (index >= kHeaderDifat) {
    dirty_difat_.insert((index - kHeaderDifat) / (epb_ - 1));
  }
  header_dirty_ = true;
}

HRESULT Allocator::Grow(uint32_t* id) {
  // Adding FAT and DIFAT sectors takes sectors, which need FAT entries
  // themselves: loop until the FAT covers the sector that is handed out.
  std::vector<std::pair<uint32_t, uint32_t>> marks;  // sector, FATSECT/DIFSECT
  for (;;) {
    uint32_t next = file_->sector_count();
    // The file never reaches the range-lock sector.
    if ((static_cast<uint64_t>(next) + 2) << header_->sector_shift > kMaxFileSize) {
      return STG_E_MEDIUMFULL;
    }
    if (next < fat_.size()) break;
    file_->GrowTo(next + 1);
    if (fat_sectors_.size() == DifatCapacity()) {
      if (!difat_sectors_.empty()) {
        dirty_difat_.insert(static_cast<uint32_t>(difat_sectors_.size() - 1));
      }
      difat_sectors_.push_back(next);
      dirty_difat_.insert(static_cast<uint32_t>(difat_sectors_.size() - 1));
      header_dirty_ = true;
      marks.push_back({next, DIFSECT});
    } else {
      AddFatSector(next);
      marks.push_back({next, FATSECT});
    }
  }
  for (const auto& mark : marks) {
    HRESULT hr = SetNext(mark.first, mark.second);
    if (FAILED(hr)) return hr;
  }
  *id = file_->sector_count();
  file_->GrowTo(*id + 1);
  return SetNext(*id, ENDOFCHAIN);
}

HRESULT Allocator::Flush() {
  std::vector<uint8_t> sector(file_->sector_size());
  for (uint32_t index : dirty_fat_) {
    const uint32_t* entries = &fat_[static_cast<size_t>(index) * epb_];
    for (uint32_t i = 0; i < epb_; ++i) Put32(sector.data() + 4 * i, entries[i]);
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
  if (header_dirty_) {
    header_->num_fat_sectors = static_cast<uint32_t>(fat_sectors_.size());
    for (uint32_t i = 0; i < kHeaderDifat; ++i) {
      header_->difat[i] = i < fat_sectors_.size() ? fat_sectors_[i] : FREESECT;
    }
    header_->num_difat_sectors = static_cast<uint32_t>(difat_sectors_.size());
    header_->first_difat_sector = difat_sectors_.empty() ? ENDOFCHAIN : difat_sectors_[0];
    header_dirty_ = false;
  }
  return S_OK;
}

}  // namespace cfb
