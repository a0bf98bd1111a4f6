// The rollback journal of the engine's file.
#include "platform/cfb/journal.h"

#include <errno.h>

#include <chrono>
#include <cstring>

#include "platform/cfb/sector_file.h"

namespace cfb {

namespace {

constexpr char kMagic[8] = {'C', 'F', 'B', 'J', 'R', 'N', 'L', '1'};

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) {
  return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

uint32_t RecordCrc(uint32_t salt, uint64_t offset, const uint8_t* bytes, size_t n) {
  uint8_t head[12];
  Put32(head, salt);
  Put64(head + 4, offset);
  return Crc32(Crc32(0, head, sizeof(head)), bytes, n);
}

// Reads exactly n bytes at offset; false when fewer are there or reading
// fails (*error set then).
bool ReadExactly(platform::File* file, uint64_t offset, uint8_t* out, size_t n, int* error) {
  size_t got = 0;
  *error = file->ReadAt(offset, out, n, &got);
  return *error == 0 && got == n;
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t n) {
  static uint32_t table[256];
  static bool ready = [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)ready;
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string JournalPath(const std::string& file_path) { return file_path + "-journal"; }

Journal::Journal(std::string path, uint32_t block_size)
    : path_(std::move(path)), block_size_(block_size) {}

Journal::~Journal() = default;

HRESULT Journal::Begin(uint64_t file_size) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  file_.reset();
  int error = fs->Open(path_, platform::OpenMode::kCreateOrTruncate, &file_);
  if (error != 0) {
    file_.reset();
    return SectorFile::WriteError(error);
  }
  // The salt keeps records of an older journal from passing the check.
  static uint32_t counter = 0;
  salt_ = static_cast<uint32_t>(
              std::chrono::steady_clock::now().time_since_epoch().count()) ^
          (++counter * 0x9E3779B9u);
  original_size_ = file_size;
  call_size_ = file_size;
  written_ = 0;
  call_records_at_ = kHeaderBytes;
  saved_.clear();
  pending_.assign(kHeaderBytes, 0);
  memcpy(pending_.data(), kMagic, sizeof(kMagic));
  Put32(pending_.data() + 8, block_size_);
  Put32(pending_.data() + 12, salt_);
  Put64(pending_.data() + 16, file_size);
  Put32(pending_.data() + 28, Crc32(0, pending_.data(), 28));
  return S_OK;
}

void Journal::BeginCall(uint64_t file_size) {
  call_size_ = file_size;
  call_records_at_ = written_ == 0 ? kHeaderBytes : written_;
  saved_.clear();
}

bool Journal::Needs(uint64_t offset) const {
  return offset < call_size_ && saved_.count(offset) == 0;
}

void Journal::Add(uint64_t offset, const uint8_t* bytes) {
  saved_.insert(offset);
  size_t at = pending_.size();
  pending_.resize(at + kRecordHead + block_size_);
  Put64(&pending_[at], offset);
  Put32(&pending_[at + 8], RecordCrc(salt_, offset, bytes, block_size_));
  memcpy(&pending_[at + kRecordHead], bytes, block_size_);
}

HRESULT Journal::Sync() {
  if (!file_) return STG_E_WRITEFAULT;
  if (pending_.empty()) return S_OK;
  bool fresh = written_ == 0;
  int error = file_->WriteAt(written_, pending_.data(), pending_.size());
  if (error != 0) return SectorFile::WriteError(error);
  written_ += pending_.size();
  pending_.clear();
  if (file_->Sync() != 0) return STG_E_WRITEFAULT;
  // A new journal must be found after a power cut; syncing the folder also
  // makes the deletion of the previous journal durable.
  if (fresh) {
    if (platform::FileSystem::Default()->SyncFolderOf(path_) != 0) return STG_E_WRITEFAULT;
    folder_unsynced_ = false;
  }
  return S_OK;
}

HRESULT Journal::Commit() {
  if (!file_) return S_OK;
  std::unique_ptr<platform::File> file = std::move(file_);
  saved_.clear();
  pending_.clear();
  // Deleting is the commit. Should it fail, an emptied journal is void too.
  int truncated = -1;
  if (platform::FileSystem::Default()->Delete(path_) != 0) {
    truncated = file->Truncate(0);
    if (truncated == 0) truncated = file->Sync();
    if (truncated != 0) return STG_E_WRITEFAULT;
  }
  folder_unsynced_ = true;
  return S_OK;
}

HRESULT Journal::RollbackCall(platform::File* file) {
  // Records not yet written were not synced, so their blocks are untouched.
  pending_.clear();
  saved_.clear();
  const size_t record_size = kRecordHead + block_size_;
  std::vector<uint8_t> record(record_size);
  for (uint64_t at = call_records_at_; at + record_size <= written_; at += record_size) {
    int error;
    if (!ReadExactly(file_.get(), at, record.data(), record.size(), &error)) {
      return STG_E_READFAULT;
    }
    if (file->WriteAt(Get64(record.data()), record.data() + kRecordHead, block_size_) != 0) {
      return STG_E_WRITEFAULT;
    }
  }
  if (file->Truncate(call_size_) != 0) return STG_E_WRITEFAULT;
  return S_OK;
}

HRESULT Journal::Rollback(platform::File* file) {
  file_.reset();
  pending_.clear();
  saved_.clear();
  return RecoverJournal(path_, file);
}

HRESULT RecoverJournal(const std::string& journal_path, platform::File* file) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  std::unique_ptr<platform::File> journal;
  int error = fs->Open(journal_path, platform::OpenMode::kReadOnly, &journal);
  if (error == ENOENT) return S_OK;
  if (error != 0) return STG_E_ACCESSDENIED;
  uint64_t journal_size = 0;
  if (journal->Size(&journal_size) != 0) return STG_E_READFAULT;

  uint8_t head[Journal::kHeaderBytes];
  bool valid = ReadExactly(journal.get(), 0, head, sizeof(head), &error);
  if (error != 0) return STG_E_READFAULT;
  uint32_t block_size = valid ? Get32(head + 8) : 0;
  valid = valid && memcmp(head, kMagic, sizeof(kMagic)) == 0 &&
          Get32(head + 28) == Crc32(0, head, 28) && (block_size == 512 || block_size == 4096);
  if (valid) {
    uint32_t salt = Get32(head + 12);
    uint64_t original_size = Get64(head + 16);
    uint64_t file_size = 0;
    if (file->Size(&file_size) != 0) return STG_E_READFAULT;
    // The file only grows during a call: a smaller file is not the one this
    // journal was written for. Touch neither.
    if (file_size < original_size) return STG_E_DOCFILECORRUPT;
    // Counts the valid records, then writes them back last first: a block
    // saved by several calls ends as the first call found it.
    std::vector<uint8_t> record(Journal::kRecordHead + block_size);
    uint64_t valid_end = Journal::kHeaderBytes;
    while (journal_size - valid_end >= record.size()) {
      if (!ReadExactly(journal.get(), valid_end, record.data(), record.size(), &error)) {
        if (error != 0) return STG_E_READFAULT;
        break;
      }
      uint64_t offset = Get64(record.data());
      const uint8_t* bytes = record.data() + Journal::kRecordHead;
      if (offset % block_size != 0 || offset >= file_size ||
          Get32(record.data() + 8) != RecordCrc(salt, offset, bytes, block_size)) {
        break;  // the torn tail of the last sync
      }
      valid_end += record.size();
    }
    for (uint64_t at = valid_end; at > Journal::kHeaderBytes;) {
      at -= record.size();
      if (!ReadExactly(journal.get(), at, record.data(), record.size(), &error)) {
        return STG_E_READFAULT;
      }
      // Bytes saved past the old end of a short last sector are cut below.
      if (file->WriteAt(Get64(record.data()), record.data() + Journal::kRecordHead,
                        block_size) != 0) {
        return STG_E_WRITEFAULT;
      }
    }
    if (file->Truncate(original_size) != 0) return STG_E_WRITEFAULT;
    if (file->Sync() != 0) return STG_E_WRITEFAULT;
  }
  journal.reset();
  if (fs->Delete(journal_path) != 0) return STG_E_ACCESSDENIED;
  fs->SyncFolderOf(journal_path);
  return S_OK;
}

}  // namespace cfb
