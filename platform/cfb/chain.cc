// Chains of sectors and mini sectors.
#include "platform/cfb/chain.h"

#include <algorithm>

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kBitmapFrom = 8;  // shorter chains check by a scan
}  // namespace

Chain::Chain(ChainLinks* links, uint32_t start) : links_(links), start_(start) {
  if (start_ == ENDOFCHAIN || start_ == FREESECT) {
    // An empty stream or storage; other writers also leave FREESECT here.
    start_ = ENDOFCHAIN;
    complete_ = true;
  }
}

bool Chain::TestAndMark(uint32_t id) {
  if (units_.size() < kBitmapFrom && visited_.empty()) {
    for (uint32_t u : units_) {
      if (u == id) return true;
    }
    return false;
  }
  if (id / 64 >= visited_.size()) {
    // Room for every unit that can exist now, so that a long walk does not
    // grow the bitmap step by step.
    bool fresh = visited_.empty();
    size_t words = std::max<size_t>(links_->Limit() / 64, id / 64) + 1;
    visited_.resize(words, 0);
    if (fresh) {
      for (uint32_t u : units_) visited_[u / 64] |= uint64_t{1} << (u % 64);
    }
  }
  uint64_t& word = visited_[id / 64];
  uint64_t bit = uint64_t{1} << (id % 64);
  if (word & bit) return true;
  word |= bit;
  return false;
}

HRESULT Chain::ResolveUpTo(uint64_t index) {
  if (complete_ || units_.size() > index) return S_OK;
  // Nothing is allocated while walking, so the bound stays put.
  const uint32_t limit = links_->Limit();
  size_t table_size = 0;
  const uint32_t* table = links_->Table(&table_size);
  while (!complete_ && units_.size() <= index) {
    if (table != nullptr && !units_.empty() && visited_.size() * 64 >= limit) {
      // The long walks (the mini stream, the directory) run here: the table
      // in memory and the bitmap sized for every unit, one test per step.
      HRESULT hr = WalkTable(table, table_size, limit, index);
      if (FAILED(hr) || complete_ || units_.size() > index) return hr;
    }
    uint32_t next;
    if (units_.empty()) {
      next = start_;
    } else {
      uint32_t current = units_.back();
      if (table != nullptr && current < table_size) {
        next = table[current];
      } else {
        HRESULT hr = links_->Next(current, &next);
        if (FAILED(hr)) return hr;
        table = links_->Table(&table_size);
      }
      if (next == ENDOFCHAIN) {
        complete_ = true;
        break;
      }
    }
    // A unit out of range or seen before: the chain leads nowhere or loops.
    if (next >= limit || TestAndMark(next)) return STG_E_DOCFILECORRUPT;
    units_.push_back(next);
  }
  return S_OK;
}

HRESULT Chain::WalkTable(const uint32_t* table, size_t table_size, uint32_t limit,
                         uint64_t index) {
  uint64_t* visited = visited_.data();
  uint32_t current = units_.back();
  while (units_.size() <= index && current < table_size) {
    uint32_t next = table[current];
    if (next == ENDOFCHAIN) {
      complete_ = true;
      return S_OK;
    }
    if (next >= limit) return STG_E_DOCFILECORRUPT;
    uint64_t bit = uint64_t{1} << (next % 64);
    if (visited[next / 64] & bit) return STG_E_DOCFILECORRUPT;
    visited[next / 64] |= bit;
    units_.push_back(next);
    current = next;
  }
  return S_OK;
}

HRESULT Chain::UnitAt(uint64_t index, uint32_t* id) {
  HRESULT hr = ResolveUpTo(index);
  if (FAILED(hr)) return hr;
  if (index >= units_.size()) return STG_E_DOCFILECORRUPT;
  *id = units_[index];
  return S_OK;
}

HRESULT Chain::Length(uint64_t* length) {
  HRESULT hr = ResolveUpTo(UINT64_MAX);
  if (FAILED(hr)) return hr;
  *length = units_.size();
  return S_OK;
}

HRESULT Chain::Resize(uint64_t length, bool at_end) {
  uint64_t current;
  HRESULT hr = Length(&current);
  if (FAILED(hr)) return hr;
  while (units_.size() < length) {
    uint32_t id;
    hr = at_end ? links_->AllocateAtEnd(&id) : links_->Allocate(&id);
    if (FAILED(hr)) return hr;
    if (units_.empty()) {
      start_ = id;
    } else {
      hr = links_->SetNext(units_.back(), id);
      if (FAILED(hr)) return hr;
    }
    TestAndMark(id);
    units_.push_back(id);
  }
  if (units_.size() > length) {
    if (length == 0) {
      start_ = ENDOFCHAIN;
    } else {
      hr = links_->SetNext(units_[length - 1], ENDOFCHAIN);
      if (FAILED(hr)) return hr;
    }
    for (uint64_t i = length; i < units_.size(); ++i) {
      uint32_t id = units_[i];
      if (!visited_.empty()) visited_[id / 64] &= ~(uint64_t{1} << (id % 64));
      hr = links_->Free(id);
      if (FAILED(hr)) return hr;
    }
    units_.resize(length);
  }
  return S_OK;
}

}  // namespace cfb
