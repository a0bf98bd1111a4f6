// Sector reads and writes of the engine, and its transactions.
#include "platform/cfb/sector_file.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kMaxCachedBytes = 4 << 20;  // clean sectors kept at most
constexpr uint32_t kMaxRun = 256;  // sectors read or written by one call
constexpr uint32_t kReadAheadAfter = 48;
constexpr uint32_t kReadAhead = 32;
size_t spill_bytes = SectorFile::kSpillBytes;
}  // namespace

void SectorFile::SetSpillBytesForTesting(size_t bytes) { spill_bytes = bytes; }

SectorFile::SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
                       uint32_t sector_count)
    : file_(std::move(file)),
      sector_size_(sector_size),
      shift_(sector_size == 4096 ? 12 : 9),
      sector_count_(sector_count),
      header_(kHeaderSize, 0),
      disk_header_(kHeaderSize, 0) {
  if (file_->Size(&start_size_) != 0) start_size_ = 0;
}

SectorFile::~SectorFile() {
  // Out of memory here (a run being unwound by an allocation failure), the
  // journal stays on disk and the next open takes the changes back.
  try {
    Rollback();
  } catch (const std::bad_alloc&) {
  }
}

void SectorFile::UseJournal(const std::string& file_path) {
  journal_.reset(new Journal(file_path, sector_size_));
}

HRESULT SectorFile::WriteError(int error) {
  return platform::IsOutOfSpace(error) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
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
  // Reads of mini sectors come to the same sector many times in a row.
  if (last_ != nullptr && last_id_ == id) {
    *block = last_;
    return S_OK;
  }
  auto it = cache_.find(id);
  if (it == cache_.end()) {
    if (id >= sector_count_) return STG_E_DOCFILECORRUPT;
    Trim();
    // Many single sectors read one after another: a walk over much of the
    // file (a listing, reading everything); from then on read ahead.
    ++misses_;
    HRESULT hr = Prefetch(id, misses_ > kReadAheadAfter ? kReadAhead : 1);
    if (FAILED(hr)) return hr;
    it = cache_.find(id);
  }
  *block = &it->second;
  last_ = *block;
  last_id_ = id;
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

void SectorFile::Remember(uint32_t id, const Block& block) {
  if (!savepoint_.active || id >= savepoint_.sector_count) return;
  savepoint_.before.emplace(id, block.bytes);  // the first change of the call wins
}

void SectorFile::MarkDirty(Block* block) {
  if (!block->dirty) {
    block->dirty = true;
    ++dirty_count_;
  }
}

HRESULT SectorFile::Modify(uint32_t id, uint8_t** data) {
  Block* block;
  HRESULT hr = Load(id, &block);
  if (FAILED(hr)) return hr;
  Remember(id, *block);
  MarkDirty(block);
  *data = block->bytes.data();
  return S_OK;
}

HRESULT SectorFile::Fresh(uint32_t id, uint8_t** data) {
  if (id >= sector_count_) return STG_E_DOCFILECORRUPT;
  Block* block;
  if (savepoint_.active && id < savepoint_.sector_count) {
    // The bytes before the call are needed to undo it.
    HRESULT hr = Load(id, &block);
    if (FAILED(hr)) return hr;
    Remember(id, *block);
  } else {
    block = &cache_[id];
  }
  block->bytes.assign(sector_size_, 0);
  MarkDirty(block);
  *data = block->bytes.data();
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
  header_.assign(header512, header512 + kHeaderSize);
}

void SectorFile::HeaderOnDisk(const uint8_t* header512) {
  header_.assign(header512, header512 + kHeaderSize);
  disk_header_ = header_;
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

bool SectorFile::BeginCall(bool extend) {
  if (savepoint_.active && savepoint_.held && extend) {
    savepoint_.held = false;
    return false;
  }
  savepoint_.active = true;
  savepoint_.held = false;
  savepoint_.sector_count = sector_count_;
  savepoint_.header = header_;
  savepoint_.before.clear();
  return true;
}

void SectorFile::EndCall(bool hold) {
  savepoint_.held = hold;
  if (!hold) {
    savepoint_.active = false;
    savepoint_.before.clear();
  }
}

void SectorFile::UndoCall() {
  if (!savepoint_.active) return;
  last_ = nullptr;
  // Sectors added by the call go; the others get their bytes back. They stay
  // marked changed: a spill may have written the call's bytes to the file.
  for (auto it = cache_.begin(); it != cache_.end();) {
    if (it->first >= savepoint_.sector_count) {
      if (it->second.dirty) --dirty_count_;
      it = cache_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& item : savepoint_.before) {
    Block& block = cache_[item.first];
    block.bytes = std::move(item.second);
    MarkDirty(&block);
  }
  sector_count_ = savepoint_.sector_count;
  header_ = savepoint_.header;
  savepoint_ = Savepoint();
}

HRESULT SectorFile::SaveOriginals(const std::vector<uint32_t>& dirty, bool final) {
  const bool header_needed = final && header_dirty();
  auto needs = [&](uint64_t offset) {
    return offset < start_size_ && (!journal_->active() || journal_->Needs(offset));
  };
  bool any = header_needed && needs(0);
  for (size_t i = 0; i < dirty.size() && !any; ++i) any = needs(OffsetOf(dirty[i]));
  if (!any) return S_OK;  // only sectors past the old end: cut away by a rollback
  if (!journal_->active()) {
    platform::FileIdentity identity;
    if (file_->Identify(&identity) != 0) return STG_E_READFAULT;
    HRESULT hr = journal_->Begin(start_size_, identity, disk_header_.data());
    if (FAILED(hr)) return hr;
  }
  std::vector<uint8_t> run;
  size_t got = 0;
  if (header_needed && journal_->Needs(0)) {
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
  if (header_needed) journal_->AddFinalHeader(header_.data());
  return journal_->Sync();
}

HRESULT SectorFile::WriteChanged(bool final) {
  const bool header = final && header_dirty();
  if (dirty_count_ == 0 && !header) return S_OK;
  std::vector<uint32_t> dirty;
  dirty.reserve(dirty_count_);
  for (const auto& item : cache_) {
    if (item.second.dirty) dirty.push_back(item.first);
  }
  std::sort(dirty.begin(), dirty.end());
  if (journal_) {
    HRESULT hr = SaveOriginals(dirty, final);
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
    wrote_ = true;
    int error = file_->WriteAt(OffsetOf(dirty[i]), run.data(), run.size());
    if (error != 0) return WriteError(error);
    for (size_t k = i; k < j; ++k) cache_[dirty[k]].dirty = false;
    dirty_count_ -= j - i;
    i = j;
  }
  if (header) {
    std::vector<uint8_t> sector(sector_size_, 0);
    memcpy(sector.data(), header_.data(), kHeaderSize);
    wrote_ = true;
    int error = file_->WriteAt(0, sector.data(), sector.size());
    if (error != 0) return WriteError(error);
    disk_header_ = header_;
  }
  return S_OK;
}

HRESULT SectorFile::SpillIfLarge() {
  if (dirty_count_ * static_cast<size_t>(sector_size_) < spill_bytes) return S_OK;
  HRESULT hr = WriteChanged(/*final=*/false);
  if (SUCCEEDED(hr)) Trim();
  return hr;
}

HRESULT SectorFile::Commit() {
  if (!changed()) return S_OK;
  HRESULT hr = WriteChanged(/*final=*/true);
  if (FAILED(hr)) return hr;
  // Sectors a call wrote and then gave back lie past the end.
  const uint64_t size = OffsetOf(sector_count_);
  uint64_t now = 0;
  if (file_->Size(&now) != 0) return STG_E_READFAULT;
  if (now > size && file_->Truncate(size) != 0) return STG_E_WRITEFAULT;
  if (file_->Sync() != 0) return STG_E_WRITEFAULT;
  if (journal_) {
    hr = journal_->Commit();
    if (FAILED(hr)) return hr;
  }
  wrote_ = false;
  if (file_->Size(&start_size_) != 0) return STG_E_READFAULT;
  Trim();
  return S_OK;
}

HRESULT SectorFile::Rollback() {
  HRESULT hr = S_OK;
  if (journal_ && journal_->active()) {
    hr = journal_->Rollback(file_.get());
  } else if (journal_ && wrote_) {
    // Only sectors past the old end were written.
    if (file_->Truncate(start_size_) != 0 || file_->Sync() != 0) hr = STG_E_WRITEFAULT;
  }
  if (SUCCEEDED(hr)) wrote_ = false;
  last_ = nullptr;
  cache_.clear();
  dirty_count_ = 0;
  savepoint_ = Savepoint();
  // The header the file holds again (the commit may have written the new one
  // before it failed).
  // Read without allocating: this runs in the destructor too.
  uint8_t on_disk[kHeaderSize] = {};
  size_t got = 0;
  if (file_->ReadAt(0, on_disk, sizeof on_disk, &got) == 0 && got == kHeaderSize) {
    disk_header_.assign(on_disk, on_disk + kHeaderSize);
  } else if (SUCCEEDED(hr)) {
    hr = STG_E_READFAULT;
  }
  header_ = disk_header_;
  uint64_t size = 0;
  if (file_->Size(&size) == 0) {
    start_size_ = size;
    sector_count_ = size > sector_size_ ? static_cast<uint32_t>(std::min<uint64_t>(
                                              (size - 1) / sector_size_, MAXREGSECT))
                                        : 0;
  }
  return hr;
}

void SectorFile::SyncFolder() {
  if (journal_ && journal_->folder_unsynced()) {
    platform::FileSystem::Default()->SyncFolderOf(journal_->path());
  }
}

void SectorFile::Trim() {
  const size_t clean = cache_.size() - dirty_count_;
  if (clean * static_cast<size_t>(sector_size_) <= kMaxCachedBytes) return;
  last_ = nullptr;
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = it->second.dirty ? std::next(it) : cache_.erase(it);
  }
}

HRESULT SectorFile::Sync() {
  return file_->Sync() == 0 ? S_OK : STG_E_WRITEFAULT;
}

}  // namespace cfb
