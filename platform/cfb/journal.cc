// The rollback journal of the engine's file.
#include "platform/cfb/journal.h"

#include <errno.h>

#include <chrono>
#include <cstring>

#include "platform/cfb/format.h"
#include "platform/cfb/sector_file.h"

namespace cfb {

namespace {

constexpr char kMagic[8] = {'C', 'F', 'B', 'J', 'R', 'N', 'L', '2'};
constexpr size_t kHeaderCheckAt = 60;
constexpr uint32_t kFileHeaderBytes = 512;

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

Journal::Journal(std::string file_path, uint32_t block_size)
    : file_path_(std::move(file_path)), path_(JournalPath(file_path_)), block_size_(block_size) {}

Journal::~Journal() = default;

void Journal::Drop() {
  file_.reset();
  pending_.clear();
  pending_offsets_.clear();
  saved_.clear();
}

HRESULT Journal::Begin(uint64_t file_size, const platform::FileIdentity& identity,
                       const uint8_t* header512) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  Drop();
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
  written_ = 0;
  pending_.assign(kHeaderBytes, 0);
  memcpy(pending_.data(), kMagic, sizeof(kMagic));
  Put32(pending_.data() + 8, block_size_);
  Put32(pending_.data() + 12, salt_);
  Put64(pending_.data() + 16, file_size);
  Put64(pending_.data() + 24, identity.device);
  Put64(pending_.data() + 32, identity.inode);
  Put32(pending_.data() + 40, Crc32(0, header512, kFileHeaderBytes));
  Put32(pending_.data() + kHeaderCheckAt, Crc32(0, pending_.data(), kHeaderCheckAt));
  return S_OK;
}

bool Journal::Needs(uint64_t offset) const {
  return offset < original_size_ && saved_.count(offset) == 0;
}

void Journal::Add(uint64_t offset, const uint8_t* bytes) {
  if (offset != kFinalHeaderMark) {
    saved_.insert(offset);
    pending_offsets_.push_back(offset);
  }
  size_t at = pending_.size();
  pending_.resize(at + kRecordHead + block_size_);
  Put64(&pending_[at], offset);
  Put32(&pending_[at + 8], RecordCrc(salt_, offset, bytes, block_size_));
  memcpy(&pending_[at + kRecordHead], bytes, block_size_);
}

void Journal::AddFinalHeader(const uint8_t* header512) {
  std::vector<uint8_t> block(block_size_, 0);
  memcpy(block.data(), header512, kFileHeaderBytes);
  Add(kFinalHeaderMark, block.data());
}

HRESULT Journal::Sync() {
  if (!file_) return STG_E_WRITEFAULT;
  if (pending_.empty()) return S_OK;
  bool fresh = written_ == 0;
  int error = file_->WriteAt(written_, pending_.data(), pending_.size());
  if (error == 0 && file_->Sync() != 0) error = EIO;
  // A new journal must be found after a power cut; syncing the folder also
  // makes the deletion of the previous journal durable.
  if (error == 0 && fresh && platform::FileSystem::Default()->SyncFolderOf(path_) != 0) {
    error = EIO;
  }
  if (error != 0) {
    // What was not synced does not count as saved: those blocks must not be
    // overwritten, and a later try saves them again (over the same place).
    for (uint64_t offset : pending_offsets_) saved_.erase(offset);
    pending_offsets_.clear();
    pending_.resize(fresh ? kHeaderBytes : 0);  // a new journal keeps its header
    return SectorFile::WriteError(error);
  }
  written_ += pending_.size();
  pending_.clear();
  pending_offsets_.clear();
  if (fresh) folder_unsynced_ = false;
  return S_OK;
}

HRESULT Journal::Commit() {
  if (!file_) return S_OK;
  std::unique_ptr<platform::File> file = std::move(file_);
  Drop();
  // Deleting is the commit. Should it fail, an emptied journal is void too.
  if (platform::FileSystem::Default()->Delete(path_) != 0) {
    int truncated = file->Truncate(0);
    if (truncated == 0) truncated = file->Sync();
    if (truncated != 0) return STG_E_WRITEFAULT;
  }
  folder_unsynced_ = true;
  return S_OK;
}

HRESULT Journal::Rollback(platform::File* file) {
  Drop();
  JournalFound found;
  std::string aside;
  HRESULT hr = RecoverJournal(file_path_, file, &found, &aside);
  if (SUCCEEDED(hr)) folder_unsynced_ = false;
  return hr;
}

namespace {

// Moves a journal that is not the file's own to a free name beside it.
HRESULT MoveAside(const std::string& journal_path, std::string* aside) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  int error = EEXIST;
  for (int n = 0; n < 100 && error == EEXIST; ++n) {
    *aside = journal_path + ".stale" + (n == 0 ? std::string() : "." + std::to_string(n));
    error = fs->Rename(journal_path, *aside);
  }
  if (error != 0) return STG_E_ACCESSDENIED;
  fs->SyncFolderOf(journal_path);
  return S_OK;
}

// What a journal says about the file it lies beside; nothing is changed.
struct JournalScan {
  JournalState state = JournalState::kNone;
  uint32_t block_size = 0;
  uint64_t original_size = 0;
  uint64_t valid_end = Journal::kHeaderBytes;  // the end of the last valid record
};

HRESULT ScanJournal(platform::File* journal, platform::File* file, JournalScan* scan) {
  *scan = JournalScan();
  scan->state = JournalState::kVoid;
  int error = 0;
  uint64_t journal_size = 0;
  if (journal->Size(&journal_size) != 0) return STG_E_READFAULT;
  uint8_t head[Journal::kHeaderBytes];
  bool valid = ReadExactly(journal, 0, head, sizeof(head), &error);
  if (error != 0) return STG_E_READFAULT;
  // Another layout (an older journal) is not known to be this file's.
  if (valid && memcmp(head, kMagic, sizeof(kMagic) - 1) == 0 &&
      head[sizeof(kMagic) - 1] != kMagic[sizeof(kMagic) - 1]) {
    scan->state = JournalState::kOtherFile;
    return S_OK;
  }
  const uint32_t block_size = valid ? Get32(head + 8) : 0;
  valid = valid && memcmp(head, kMagic, sizeof(kMagic)) == 0 &&
          Get32(head + kHeaderCheckAt) == Crc32(0, head, kHeaderCheckAt) &&
          (block_size == 512 || block_size == 4096);
  if (!valid) return S_OK;  // never synced: the file was not touched
  const uint32_t salt = Get32(head + 12);
  const uint64_t original_size = Get64(head + 16);
  const platform::FileIdentity recorded{Get64(head + 24), Get64(head + 32)};
  const uint32_t original_header = Get32(head + 40);
  platform::FileIdentity identity;
  if (file->Identify(&identity) != 0) return STG_E_READFAULT;
  uint8_t file_header[kFileHeaderBytes] = {};
  size_t got = 0;
  if (file->ReadAt(0, file_header, sizeof(file_header), &got) != 0) return STG_E_READFAULT;
  const uint32_t header_now = Crc32(0, file_header, sizeof(file_header));

  // Counts the valid records; the header the commit wrote is among them
  // when the commit got that far.
  std::vector<uint8_t> record(Journal::kRecordHead + block_size);
  uint64_t valid_end = Journal::kHeaderBytes;
  bool header_known = header_now == original_header;
  while (journal_size - valid_end >= record.size()) {
    if (!ReadExactly(journal, valid_end, record.data(), record.size(), &error)) {
      if (error != 0) return STG_E_READFAULT;
      break;
    }
    uint64_t offset = Get64(record.data());
    const uint8_t* bytes = record.data() + Journal::kRecordHead;
    if (Get32(record.data() + 8) != RecordCrc(salt, offset, bytes, block_size)) break;
    if (offset == Journal::kFinalHeaderMark) {
      header_known = header_known || Crc32(0, bytes, kFileHeaderBytes) == header_now;
    } else if (offset % block_size != 0 || offset >= original_size) {
      break;
    }
    valid_end += record.size();
  }
  // Not this file's journal: applying it would overwrite another file.
  scan->state = identity == recorded && header_known ? JournalState::kUnfinished
                                                     : JournalState::kOtherFile;
  scan->block_size = block_size;
  scan->original_size = original_size;
  scan->valid_end = valid_end;
  return S_OK;
}

// Opens the journal of the file at file_path for reading: S_OK, or S_FALSE
// when there is none.
HRESULT OpenJournal(const std::string& file_path, std::unique_ptr<platform::File>* journal) {
  int error = platform::FileSystem::Default()->Open(JournalPath(file_path),
                                                    platform::OpenMode::kReadOnly, journal);
  if (error == ENOENT) return S_FALSE;
  return error == 0 ? S_OK : STG_E_ACCESSDENIED;
}

}  // namespace

HRESULT ExamineJournal(const std::string& file_path, platform::File* file, JournalState* state) {
  *state = JournalState::kNone;
  std::unique_ptr<platform::File> journal;
  HRESULT hr = OpenJournal(file_path, &journal);
  if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
  JournalScan scan;
  hr = ScanJournal(journal.get(), file, &scan);
  if (SUCCEEDED(hr)) *state = scan.state;
  return hr;
}

HRESULT RecoverJournal(const std::string& file_path, platform::File* file, JournalFound* found,
                       std::string* aside) {
  *found = JournalFound::kNone;
  const std::string journal_path = JournalPath(file_path);
  platform::FileSystem* fs = platform::FileSystem::Default();
  std::unique_ptr<platform::File> journal;
  HRESULT hr = OpenJournal(file_path, &journal);
  if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
  JournalScan scan;
  hr = ScanJournal(journal.get(), file, &scan);
  if (FAILED(hr)) return hr;
  if (scan.state == JournalState::kOtherFile) {
    journal.reset();
    hr = MoveAside(journal_path, aside);
    if (SUCCEEDED(hr)) *found = JournalFound::kMovedAside;
    return hr;
  }
  if (scan.state == JournalState::kUnfinished) {
    uint64_t file_size = 0;
    if (file->Size(&file_size) != 0) return STG_E_READFAULT;
    // The file only grows during a transaction.
    if (file_size < scan.original_size) return STG_E_DOCFILECORRUPT;
    // Writes the records back last first (each block is saved once, so the
    // order matters only for a journal written by an older transaction).
    std::vector<uint8_t> record(Journal::kRecordHead + scan.block_size);
    int error = 0;
    for (uint64_t at = scan.valid_end; at > Journal::kHeaderBytes;) {
      at -= record.size();
      if (!ReadExactly(journal.get(), at, record.data(), record.size(), &error)) {
        return STG_E_READFAULT;
      }
      uint64_t offset = Get64(record.data());
      if (offset == Journal::kFinalHeaderMark) continue;
      // Bytes saved past the old end of a short last sector are cut below.
      if (file->WriteAt(offset, record.data() + Journal::kRecordHead, scan.block_size) != 0) {
        return STG_E_WRITEFAULT;
      }
    }
    if (file->Truncate(scan.original_size) != 0) return STG_E_WRITEFAULT;
    if (file->Sync() != 0) return STG_E_WRITEFAULT;
    *found = JournalFound::kRolledBack;
  }
  journal.reset();
  if (fs->Delete(journal_path) != 0) return STG_E_ACCESSDENIED;
  fs->SyncFolderOf(journal_path);
  return S_OK;
}

}  // namespace cfb
