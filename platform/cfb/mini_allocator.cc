// The mini FAT and the mini stream.
#include "platform/cfb/mini_allocator.h"

#include <algorithm>
#include <cstring>

#include "platform/cfb/entry_buffer.h"
#include "platform/cfb/format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cfb {

namespace {

// The first FREESECT in [begin, end), else end. Each open searches the whole
// mini FAT of a file without freed mini sectors, so eight entries are
// compared at a time where the processor can.
const uint32_t* FindFree(const uint32_t* begin, const uint32_t* end) {
  const uint32_t* at = begin;
#if defined(__SSE2__)
  const __m128i free_sect = _mm_set1_epi32(static_cast<int>(FREESECT));
  while (end - at >= 8) {
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 4));
    __m128i equal =
        _mm_or_si128(_mm_cmpeq_epi32(low, free_sect), _mm_cmpeq_epi32(high, free_sect));
    if (_mm_movemask_epi8(equal) != 0) break;
    at += 8;
  }
#endif
  return std::find(at, end, FREESECT);
}

}  // namespace

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

MiniAllocator::~MiniAllocator() { GiveEntryBuffer(std::move(entries_)); }

HRESULT MiniAllocator::EnsureLoaded(uint32_t index) {
  if (index < loaded_.size() && loaded_[index]) return S_OK;
  uint32_t sector;
  HRESULT hr = minifat_.UnitAt(index, &sector);
  if (FAILED(hr)) return hr;
  // Room for the whole mini FAT at once, so that it is never copied.
  uint64_t length;
  hr = minifat_.Length(&length);
  if (FAILED(hr)) return hr;
  const std::vector<uint32_t>& units = minifat_.units();
  if (units.size() > loaded_.size()) {
    loaded_.resize(units.size(), 0);
    if (entries_.empty()) {
      entries_ = TakeEntryBuffer(units.size() * epb_);
    } else {
      entries_.resize(units.size() * epb_, FREESECT);
    }
  }
  // Read the run of mini FAT sectors that follow each other in the file
  // around this one with one call.
  constexpr uint32_t kMaxRun = 256;
  uint32_t first = index, last = index;
  while (first > 0 && !loaded_[first - 1] && units[first - 1] + 1 == units[first] &&
         last - first + 1 < kMaxRun) {
    --first;
  }
  while (last + 1 < units.size() && !loaded_[last + 1] && units[last] + 1 == units[last + 1] &&
         last - first + 1 < kMaxRun) {
    ++last;
  }
  uint32_t count = last - first + 1;
  uint32_t* entries = &entries_[static_cast<size_t>(first) * epb_];
  hr = file_->ReadRun(units[first], count, reinterpret_cast<uint8_t*>(entries));
  if (FAILED(hr)) return hr;
  FromLittleEndian(entries, static_cast<size_t>(count) * epb_);
  for (uint32_t k = 0; k < count; ++k) loaded_[first + k] = 1;
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
  // A freed mini sector keeps nothing of what it held.
  static const uint8_t kZeros[kMiniSectorSize] = {};
  return Write(id, 0, kZeros, kMiniSectorSize);
}

HRESULT MiniAllocator::Allocate(uint32_t* id) {
  uint64_t minifat_length;
  HRESULT hr = minifat_.Length(&minifat_length);
  if (FAILED(hr)) return hr;
  // Freed mini sectors first, lowest first.
  uint64_t covered = minifat_length * epb_;
  uint64_t end = mini_count_ < covered ? mini_count_ : covered;
  for (uint64_t m = search_from_; m < end;) {
    uint32_t index = static_cast<uint32_t>(m / epb_);
    hr = EnsureLoaded(index);
    if (FAILED(hr)) return hr;
    uint64_t stop = std::min<uint64_t>(end, static_cast<uint64_t>(index + 1) * epb_);
    const uint32_t* found = FindFree(&entries_[m], &entries_[0] + stop);
    if (found != &entries_[0] + stop) {
      *id = static_cast<uint32_t>(found - &entries_[0]);
      search_from_ = *id + 1;
      return SetNext(*id, ENDOFCHAIN);
    }
    m = stop;
  }
  search_from_ = static_cast<uint32_t>(end);
  // Grow the mini stream by one mini sector at its end.
  uint32_t m = mini_count_;
  if (m >= covered) {
    hr = GrowMiniFat(minifat_length);
    if (FAILED(hr)) return hr;
    if (m >= loaded_.size() * static_cast<uint64_t>(epb_)) return STG_E_DOCFILECORRUPT;
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
    for (uint64_t i = have; i < needed_sectors; ++i) {
      uint8_t* fresh;
      hr = file_->Fresh(stream_.units()[i], &fresh);
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

HRESULT MiniAllocator::GrowMiniFat(uint64_t length) {
  // The mini FAT moves to one run of twice as many sectors at the end of the
  // file, so that it is always read with one call; its old sectors are freed.
  for (uint64_t i = 0; i < length; ++i) {
    HRESULT hr = EnsureLoaded(static_cast<uint32_t>(i));
    if (FAILED(hr)) return hr;
  }
  uint64_t grown = length == 0 ? 1 : length * 2;
  Chain moved(fat_, ENDOFCHAIN);
  HRESULT hr = moved.Resize(grown, /*at_end=*/true);
  if (FAILED(hr)) return hr;
  hr = minifat_.Resize(0);
  if (FAILED(hr)) return hr;
  minifat_ = std::move(moved);
  if (entries_.empty()) {
    entries_ = TakeEntryBuffer(0);
  }
  entries_.resize(grown * epb_, FREESECT);
  loaded_.assign(grown, 1);
  for (uint32_t i = 0; i < grown; ++i) dirty_.insert(i);
  return S_OK;
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
  uint8_t* bytes;
  hr = file_->Modify(sector, &bytes);
  if (FAILED(hr)) return hr;
  memcpy(bytes + at + offset, data, n);
  return S_OK;
}

HRESULT MiniAllocator::Flush() {
  for (uint32_t index : dirty_) {
    uint32_t sector;
    HRESULT hr = minifat_.UnitAt(index, &sector);
    if (FAILED(hr)) return hr;
    PutEntries(&entries_[static_cast<size_t>(index) * epb_], sector_.data(), epb_);
    hr = file_->WriteSector(sector, sector_.data());
    if (FAILED(hr)) return hr;
  }
  dirty_.clear();
  {
    // Recomputed from the chain on every flush: other writers leave it stale.
    uint64_t length;
    HRESULT hr = minifat_.Length(&length);
    if (FAILED(hr)) return hr;
    header_->first_minifat_sector = minifat_.start();
    header_->num_minifat_sectors = static_cast<uint32_t>(length);
  }
  return S_OK;
}

}  // namespace cfb
