// The mini FAT and the mini stream.
#include "platform/cfb/mini_allocator.h"

#include <cstring>

#include "platform/cfb/format.h"

namespace cfb {

MiniAllocator::MiniAllocator(SectorFile* file, Allocator* fat, Header* header,
                             uint32_t root_start, uint64_t root_size)
    : file_(file),
      fat_(fat),
      header_(header),
      epb_(file->sector_size() / 4),
      minifat_(fat, header->first_minifat_sector),
      stream_(fat, root_start),
      stream_size_(root_size),
      sector_(file->sector_size()) {
  // Mini sectors past what the file can hold cannot exist; the chain walks
  // find the mismatch when they get there.
  uint64_t count = (root_size + kMiniSectorSize - 1) / kMiniSectorSize;
  uint64_t cap = (static_cast<uint64_t>(file->sector_count()) * file->sector_size()) /
                 kMiniSectorSize;
  mini_count_ = static_cast<uint32_t>(count < cap ? count : cap);
}

HRESULT MiniAllocator::EnsureLoaded(uint32_t index) {
  if (index < loaded_.size() && loaded_[index]) return S_OK;
  uint32_t sector;
  HRESULT hr = minifat_.UnitAt(index, &sector);
  if (FAILED(hr)) return hr;
  if (index >= loaded_.size()) {
    loaded_.resize(index + 1, 0);
    entries_.resize(static_cast<size_t>(index + 1) * epb_, FREESECT);
  }
  hr = file_->ReadSector(sector, sector_.data());
  if (FAILED(hr)) return hr;
  for (uint32_t i = 0; i < epb_; ++i) {
    entries_[static_cast<size_t>(index) * epb_ + i] = Get32(sector_.data() + 4 * i);
  }
  loaded_[index] = 1;
  return S_OK;
}

HRESULT MiniAllocator::Next(uint32_t id, uint32_t* next) {
  HRESULT hr = EnsureLoaded(id / epb_);
  if (FAILED(hr)) return hr;
  *next = entries_[id];
  return S_OK;
}

HRESULT MiniAllocator::SetNext(uint32_t id, uint32_t next) {
  uint32_t index = id / epb_;
  HRESULT hr = EnsureLoaded(index);
  if (FAILED(hr)) return hr;
  entries_[id] = next;
  dirty_.insert(index);
  return S_OK;
}

HRESULT MiniAllocator::Free(uint32_t id) {
  HRESULT hr = SetNext(id, FREESECT);
  if (FAILED(hr)) return hr;
  if (id < search_from_) search_from_ = id;
  return S_OK;
}

HRESULT MiniAllocator::Allocate(uint32_t* id) {
  uint64_t minifat_length;
  HRESULT hr = minifat_.Length(&minifat_length);
  if (FAILED(hr)) return hr;
  // Freed mini sectors first, lowest first.
  uint64_t covered = minifat_length * epb_;
  uint64_t end = mini_count_ < covered ? mini_count_ : covered;
  for (uint64_t m = search_from_; m < end; ++m) {
    uint32_t index = static_cast<uint32_t>(m / epb_);
    if (index >= loaded_.size() || !loaded_[index]) {
      hr = EnsureLoaded(index);
      if (FAILED(hr)) return hr;
    }
    if (entries_[m] == FREESECT) {
      search_from_ = static_cast<uint32_t>(m + 1);
      *id = static_cast<uint32_t>(m);
      return SetNext(*id, ENDOFCHAIN);
    }
  }
  search_from_ = static_cast<uint32_t>(end);
  // Grow the mini stream by one mini sector at its end.
  uint32_t m = mini_count_;
  if (m >= covered) {
    // A new mini FAT sector, all free.
    hr = minifat_.Resize(minifat_length + 1);
    if (FAILED(hr)) return hr;
    uint32_t index = static_cast<uint32_t>(minifat_length);
    loaded_.resize(index + 1, 0);
    entries_.resize(static_cast<size_t>(index + 1) * epb_, FREESECT);
    for (uint32_t i = 0; i < epb_; ++i) entries_[static_cast<size_t>(index) * epb_ + i] = FREESECT;
    loaded_[index] = 1;
    dirty_.insert(index);
    header_dirty_ = true;
    if (m >= static_cast<uint64_t>(index + 1) * epb_) return STG_E_DOCFILECORRUPT;
  }
  uint64_t needed_bytes = (static_cast<uint64_t>(m) + 1) * kMiniSectorSize;
  uint64_t needed_sectors = (needed_bytes + file_->sector_size() - 1) / file_->sector_size();
  uint64_t have;
  hr = stream_.Length(&have);
  if (FAILED(hr)) return hr;
  if (have < needed_sectors) {
    hr = stream_.Resize(needed_sectors);
    if (FAILED(hr)) return hr;
    // The new sector of the mini stream starts out zero.
    memset(sector_.data(), 0, sector_.size());
    for (uint64_t i = have; i < needed_sectors; ++i) {
      hr = file_->WriteSector(stream_.units()[i], sector_.data());
      if (FAILED(hr)) return hr;
    }
  }
  mini_count_ = m + 1;
  stream_size_ = needed_bytes;
  root_changed_ = true;
  *id = m;
  search_from_ = m + 1;
  return SetNext(m, ENDOFCHAIN);
}

HRESULT MiniAllocator::Locate(uint32_t id, uint32_t* sector, uint32_t* offset) {
  uint64_t byte = static_cast<uint64_t>(id) * kMiniSectorSize;
  *offset = static_cast<uint32_t>(byte % file_->sector_size());
  return stream_.UnitAt(byte / file_->sector_size(), sector);
}

HRESULT MiniAllocator::Read(uint32_t id, uint32_t offset, void* out, uint32_t n) {
  uint32_t sector, at;
  HRESULT hr = Locate(id, &sector, &at);
  if (FAILED(hr)) return hr;
  return file_->Read(sector, at + offset, out, n);
}

HRESULT MiniAllocator::Write(uint32_t id, uint32_t offset, const void* data, uint32_t n) {
  uint32_t sector, at;
  HRESULT hr = Locate(id, &sector, &at);
  if (FAILED(hr)) return hr;
  hr = file_->ReadSector(sector, sector_.data());
  if (FAILED(hr)) return hr;
  memcpy(sector_.data() + at + offset, data, n);
  return file_->WriteSector(sector, sector_.data());
}

HRESULT MiniAllocator::Flush() {
  for (uint32_t index : dirty_) {
    uint32_t sector;
    HRESULT hr = minifat_.UnitAt(index, &sector);
    if (FAILED(hr)) return hr;
    for (uint32_t i = 0; i < epb_; ++i) {
      Put32(sector_.data() + 4 * i, entries_[static_cast<size_t>(index) * epb_ + i]);
    }
    hr = file_->WriteSector(sector, sector_.data());
    if (FAILED(hr)) return hr;
  }
  dirty_.clear();
  if (header_dirty_) {
    uint64_t length;
    HRESULT hr = minifat_.Length(&length);
    if (FAILED(hr)) return hr;
    header_->first_minifat_sector = minifat_.start();
    header_->num_minifat_sectors = static_cast<uint32_t>(length);
    header_dirty_ = false;
  }
  return S_OK;
}

}  // namespace cfb
