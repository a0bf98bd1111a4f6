// Chains of sectors and mini sectors.
#include "platform/cfb/chain.h"

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kBitmapFrom = 32;  // shorter chains check by a scan
}  // namespace

Chain::Chain(ChainLinks* links, uint32_t start) : links_(links), start_(start) {
  if (start_ == ENDOFCHAIN || start_ == FREESECT) {
    // An empty stream or storage; other writers also leave FREESECT here.
    start_ = ENDOFCHAIN;
    complete_ = true;
  }
}

bool Chain::Visited(uint32_t id) const {
  if (visited_.empty()) {
    for (uint32_t u : units_) {
      if (u == id) return true;
    }
    return false;
  }
  size_t word = id / 64;
  return word < visited_.size() && (visited_[word] >> (id % 64) & 1) != 0;
}

void Chain::MarkVisited(uint32_t id) {
  if (visited_.empty()) {
    if (units_.size() + 1 < kBitmapFrom) return;
    for (uint32_t u : units_) {
      if (u / 64 >= visited_.size()) visited_.resize(u / 64 + 1, 0);
      visited_[u / 64] |= uint64_t{1} << (u % 64);
    }
  }
  if (id / 64 >= visited_.size()) visited_.resize(id / 64 + 1, 0);
  visited_[id / 64] |= uint64_t{1} << (id % 64);
}

HRESULT Chain::ResolveUpTo(uint64_t index) {
  while (!complete_ && units_.size() <= index) {
    uint32_t next;
    if (units_.empty()) {
      next = start_;
    } else {
      HRESULT hr = links_->Next(units_.back(), &next);
      if (FAILED(hr)) return hr;
      if (next == ENDOFCHAIN) {
        complete_ = true;
        break;
      }
    }
    // A unit out of range or seen before: the chain leads nowhere or loops.
    if (next >= links_->Limit() || Visited(next)) return STG_E_DOCFILECORRUPT;
    MarkVisited(next);
    units_.push_back(next);
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

HRESULT Chain::Resize(uint64_t length) {
  uint64_t current;
  HRESULT hr = Length(&current);
  if (FAILED(hr)) return hr;
  while (units_.size() < length) {
    uint32_t id;
    hr = links_->Allocate(&id);
    if (FAILED(hr)) return hr;
    if (units_.empty()) {
      start_ = id;
    } else {
      hr = links_->SetNext(units_.back(), id);
      if (FAILED(hr)) return hr;
    }
    MarkVisited(id);
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
