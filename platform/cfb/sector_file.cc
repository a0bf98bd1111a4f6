// Sector reads and writes of the engine.
#include "platform/cfb/sector_file.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kMaxCachedBytes = 4 << 20;
constexpr uint32_t kMaxRun = 256;  // sectors read or written by one call
constexpr uint32_t kReadAheadAfter = 48;
constexpr uint32_t kReadAhead = 32;
}  // namespace

SectorFile::SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
                       uint32_t sector_count)
    : file_(std::move(file)),
      sector_size_(sector_size),
      shift_(sector_size == 4096 ? 12 : 9),
      sector_count_(sector_count) {}

SectorFile::~SectorFile() { Close(); }

HRESULT SectorFile::Close() {
  if (!journal_) return S_OK;
  HRESULT hr = S_OK;
  // A call that stopped halfway is undone; the calls before it stay.
  if (in_call_) Abandon(S_OK);
  if (journal_->active()) {
    if (poisoned_ || ((file_unsynced_ || holding_) && file_->Sync() != 0)) {
      // What the file holds is not known: back to where the open began, or,
      // failing that, the next open does it.
      journal_->Rollback(file_.get());
      hr = STG_E_WRITEFAULT;
    } else {
      // Every unit of calls synced the file as it ended (a held one just
      // above): deleting the journal makes the open's work final.
      hr = journal_->Commit();
    }
  }
  // Makes the deletion of the journal durable, so that a power cut after the
  // program ended cannot bring it back.
  if (journal_->folder_unsynced()) {
    platform::FileSystem::Default()->SyncFolderOf(journal_->path());
  }
  journal_.reset();
  return hr;
}

void SectorFile::UseJournal(const std::string& journal_path) {
  journal_.reset(new Journal(journal_path, sector_size_));
}

HRESULT SectorFile::WriteError(int error) {
  return (error == ENOSPC || error == EFBIG || error == EDQUOT) ? STG_E_MEDIUMFULL
                                                                : STG_E_WRITEFAULT;
}

HRESULT SectorFile::Prefetch(uint32_t first, uint32_t count) {
  if (first >= sector_count_) return STG_E_DOCFILECORRUPT;
  if (count > sector_count_ - first) count = sector_count_ - first;
  while (count > 0) {
    uint32_t run = count < kMaxRun ? count : kMaxRun;
    std::vector<uint8_t> buffer(static_cast<size_t>(run) * sector_size_);
    size_t got = 0;
    if (file_->ReadAt(OffsetOf(first), buffer.data(), buffer.size(), &got) != 0) {
      return STG_E_READFAULT;
    }
    if (got < buffer.size()) memset(buffer.data() + got, 0, buffer.size() - got);
    for (uint32_t i = 0; i < run; ++i) {
      auto inserted = cache_.emplace(first + i, Block());
      if (!inserted.second) continue;  // keep what is cached, changed or not
      const uint8_t* from = buffer.data() + static_cast<size_t>(i) * sector_size_;
      inserted.first->second.bytes.assign(from, from + sector_size_);
    }
    first += run;
    count -= run;
  }
  return S_OK;
}

HRESULT SectorFile::Load(uint32_t id, Block** block) {
  auto it = cache_.find(id);
  if (it == cache_.end()) {
    if (id >= sector_count_) return STG_E_DOCFILECORRUPT;
    if (cache_.size() * static_cast<size_t>(sector_size_) > kMaxCachedBytes) Trim();
    // A call that has read many single sectors is walking much of the file
    // (listing, reading everything): from then on it reads ahead.
    ++misses_;
    HRESULT hr = Prefetch(id, misses_ > kReadAheadAfter ? kReadAhead : 1);
    if (FAILED(hr)) return hr;
    it = cache_.find(id);
  }
  *block = &it->second;
  return S_OK;
}

HRESULT SectorFile::Get(uint32_t id, const uint8_t** data) {
  Block* block;
  HRESULT hr = Load(id, &block);
  if (FAILED(hr)) return hr;
  *data = block->bytes.data();
  return S_OK;
}

HRESULT SectorFile::Read(uint32_t id, uint32_t offset, void* out, uint32_t n) {
  if (offset > sector_size_ || n > sector_size_ - offset) return STG_E_DOCFILECORRUPT;
  const uint8_t* data;
  HRESULT hr = Get(id, &data);
  if (FAILED(hr)) return hr;
  memcpy(out, data + offset, n);
  return S_OK;
}

HRESULT SectorFile::Modify(uint32_t id, uint8_t** data) {
  Block* block;
  HRESULT hr = Load(id, &block);
  if (FAILED(hr)) return hr;
  if (!block->dirty) {
    block->dirty = true;
    ++dirty_count_;
  }
  *data = block->bytes.data();
  return S_OK;
}

HRESULT SectorFile::Fresh(uint32_t id, uint8_t** data) {
  if (id >= sector_count_) return STG_E_DOCFILECORRUPT;
  Block& block = cache_[id];
  block.bytes.assign(sector_size_, 0);
  if (!block.dirty) {
    block.dirty = true;
    ++dirty_count_;
  }
  *data = block.bytes.data();
  return S_OK;
}

HRESULT SectorFile::WriteSector(uint32_t id, const uint8_t* data) {
  uint8_t* target;
  HRESULT hr = Fresh(id, &target);
  if (FAILED(hr)) return hr;
  memcpy(target, data, sector_size_);
  return S_OK;
}

void SectorFile::SetHeader(const uint8_t* header512) {
  if (header_.size() == kHeaderSize && memcmp(header_.data(), header512, kHeaderSize) == 0) return;
  header_.assign(header512, header512 + kHeaderSize);
  header_dirty_ = true;
}

void SectorFile::HeaderOnDisk(const uint8_t* header512) {
  header_.assign(header512, header512 + kHeaderSize);
  header_dirty_ = false;
}

void SectorFile::Seed(const uint8_t* bytes, size_t n) {
  for (uint32_t id = 0; id < sector_count_ && OffsetOf(id) + sector_size_ <= n; ++id) {
    const uint8_t* from = bytes + OffsetOf(id);
    cache_[id].bytes.assign(from, from + sector_size_);
  }
}

HRESULT SectorFile::ReadRun(uint32_t first, uint32_t count, uint8_t* out) {
  if (first >= sector_count_ || count > sector_count_ - first) return STG_E_DOCFILECORRUPT;
  bool any_cached = false;
  for (uint32_t i = 0; i < count && !any_cached && !cache_.empty(); ++i) {
    any_cached = cache_.count(first + i) != 0;
  }
  if (any_cached) {
    for (uint32_t i = 0; i < count; ++i) {
      HRESULT hr = Read(first + i, 0, out + static_cast<size_t>(i) * sector_size_, sector_size_);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  size_t n = static_cast<size_t>(count) * sector_size_;
  size_t got = 0;
  if (file_->ReadAt(OffsetOf(first), out, n, &got) != 0) return STG_E_READFAULT;
  if (got < n) memset(out + got, 0, n - got);
  return S_OK;
}

HRESULT SectorFile::SaveOriginals(const std::vector<uint32_t>& dirty) {
  HRESULT hr;
  if (!in_call_) {
    uint64_t size;
    if (file_->Size(&size) != 0) return STG_E_READFAULT;
    if (!journal_->active()) {
      hr = journal_->Begin(size);
      if (FAILED(hr)) return hr;
    }
    journal_->BeginCall(size);
    in_call_ = true;
  }
  std::vector<uint8_t> run;
  size_t got = 0;
  if (header_dirty_ && journal_->Needs(0)) {
    run.assign(sector_size_, 0);
    if (file_->ReadAt(0, run.data(), run.size(), &got) != 0) return STG_E_READFAULT;
    journal_->Add(0, run.data());
  }
  size_t i = 0;
  while (i < dirty.size()) {
    if (!journal_->Needs(OffsetOf(dirty[i]))) {
      ++i;
      continue;
    }
    // The originals of consecutive sectors come with one read.
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j] == dirty[i] + (j - i) && j - i < kMaxRun &&
           journal_->Needs(OffsetOf(dirty[j]))) {
      ++j;
    }
    run.assign((j - i) * static_cast<size_t>(sector_size_), 0);
    if (file_->ReadAt(OffsetOf(dirty[i]), run.data(), run.size(), &got) != 0) {
      return STG_E_READFAULT;
    }
    for (size_t k = i; k < j; ++k) {
      journal_->Add(OffsetOf(dirty[k]), run.data() + (k - i) * static_cast<size_t>(sector_size_));
    }
    i = j;
  }
  return journal_->Sync();
}

HRESULT SectorFile::WriteChanged() {
  if (dirty_count_ == 0 && !header_dirty_) return S_OK;
  std::vector<uint32_t> dirty;
  dirty.reserve(dirty_count_);
  for (const auto& item : cache_) {
    if (item.second.dirty) dirty.push_back(item.first);
  }
  std::sort(dirty.begin(), dirty.end());
  if (journal_) {
    HRESULT hr = SaveOriginals(dirty);
    if (FAILED(hr)) return hr;
  }
  std::vector<uint8_t> run;
  size_t i = 0;
  while (i < dirty.size()) {
    // Gather consecutive changed sectors into one write.
    size_t j = i;
    run.clear();
    while (j < dirty.size() && dirty[j] == dirty[i] + (j - i) && j - i < kMaxRun) {
      const std::vector<uint8_t>& bytes = cache_[dirty[j]].bytes;
      run.insert(run.end(), bytes.begin(), bytes.end());
      ++j;
    }
    int error = file_->WriteAt(OffsetOf(dirty[i]), run.data(), run.size());
    if (error != 0) return WriteError(error);
    for (size_t k = i; k < j; ++k) cache_[dirty[k]].dirty = false;
    dirty_count_ -= j - i;
    i = j;
  }
  if (header_dirty_) {
    std::vector<uint8_t> sector(sector_size_, 0);
    memcpy(sector.data(), header_.data(), kHeaderSize);
    int error = file_->WriteAt(0, sector.data(), sector.size());
    if (error != 0) return WriteError(error);
    header_dirty_ = false;
  }
  return S_OK;
}

HRESULT SectorFile::Abandon(HRESULT hr) {
  if (in_call_ || holding_) {
    // A finished call that the journal still holds (a stream's creation)
    // goes with the failed one, so that no empty, half-made element stays.
    HRESULT undone = holding_ ? journal_->Rollback(file_.get())
                              : journal_->RollbackCall(file_.get());
    if (FAILED(undone)) poisoned_ = true;
    file_unsynced_ = true;
    in_call_ = false;
    holding_ = false;
  }
  // What is cached may no longer be what the file holds.
  cache_.clear();
  dirty_count_ = 0;
  header_dirty_ = false;
  return hr;
}

HRESULT SectorFile::Spill() {
  HRESULT hr = WriteChanged();
  return FAILED(hr) ? Abandon(hr) : S_OK;
}

HRESULT SectorFile::Flush(bool hold) {
  HRESULT hr = WriteChanged();
  if (FAILED(hr)) return Abandon(hr);
  if (in_call_ || (holding_ && !hold)) {
    // A held call's writes need no sync of their own: they are synced with
    // those of the call that completes the unit, before the journal goes.
    if (!hold && file_->Sync() != 0) return Abandon(STG_E_WRITEFAULT);
    if (in_call_) journal_->EndCall();
    in_call_ = false;
    holding_ = hold;
  }
  if (!hold && journal_ && journal_->active() && !poisoned_ && !file_unsynced_) {
    holding_ = false;
    return journal_->Commit();
  }
  return S_OK;
}

void SectorFile::Trim() {
  if (cache_.size() * static_cast<size_t>(sector_size_) <= kMaxCachedBytes) return;
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = it->second.dirty ? std::next(it) : cache_.erase(it);
  }
}

HRESULT SectorFile::Sync() {
  return file_->Sync() == 0 ? S_OK : STG_E_WRITEFAULT;
}

}  // namespace cfb
