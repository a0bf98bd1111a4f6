// The compound file: opening, creating, and the element operations.
#include "platform/cfb/compound_file.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "platform/cfb/format.h"
#include "platform/file.h"
#include "platform/system.h"

namespace cfb {

namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HRESULT OpenError(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return platform::FileSystem::Default()->Exists(FolderOf(path)) == 0
                 ? STG_E_FILENOTFOUND
                 : STG_E_PATHNOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return STG_E_PATHNOTFOUND;
    case EEXIST:
      return STG_E_FILEALREADYEXISTS;
    case EMFILE:
    case ENFILE:
      return STG_E_TOOMANYOPENFILES;
    case ENOSPC:
      return STG_E_MEDIUMFULL;
    default:
      return STG_E_ACCESSDENIED;  // EACCES, EPERM, EROFS, EISDIR, ...
  }
}

// Why a reader refuses a file with an unfinished transaction, and what
// takes the transaction back: any open for writing (RecoverJournal). A
// reading command of cfbtool opens for writing first when it may, so that
// one run by a user who may write the file does it and changes nothing else.
std::string UnfinishedJournalMessage(const std::string& path) {
  return path + " is not read: an interrupted run left unfinished changes in it (" +
         JournalPath(path) +
         "); the next open of it for writing takes them back, such as cfbtool ls " + path +
         " or Rebolan run by a user who may write it";
}

HRESULT LockError(int error) {
  return error == EWOULDBLOCK ? STG_E_SHAREVIOLATION : STG_E_LOCKVIOLATION;
}

}  // namespace

CompoundFile::CompoundFile(std::unique_ptr<SectorFile> file)
    : file_(std::move(file)), unit_(file_->sector_size()) {}

CompoundFile::~CompoundFile() {
  // What a process ends without holds nothing half done: out of memory on
  // the way, the sector file's own rollback (or the next open, from the
  // journal) takes the changes back.
  try {
    if (std::uncaught_exceptions() > exceptions_at_start_) {
      Discard();
    } else {
      Close();
    }
  } catch (const std::bad_alloc&) {
  }
}

HRESULT CompoundFile::Open(const std::string& path, std::unique_ptr<CompoundFile>* out,
                           Access access) {
  const bool read_only = access == Access::kRead;
  std::unique_ptr<platform::File> file;
  int error = platform::FileSystem::Default()->Open(
      path, read_only ? platform::OpenMode::kReadOnlyNoLink : platform::OpenMode::kReadWrite,
      &file);
  if (error != 0) return OpenError(error, path);
  error = read_only ? file->LockShared() : file->LockExclusive();
  if (error != 0) return LockError(error);
  HRESULT hr = S_OK;
  JournalFound found = JournalFound::kNone;
  std::string aside;
  if (read_only) {
    // A reader cannot take an unfinished transaction back, and the file is
    // half-written until someone does: it is not read.
    JournalState state;
    hr = ExamineJournal(path, file.get(), &state);
    if (FAILED(hr) || state == JournalState::kUnfinished) {
      platform::Report(UnfinishedJournalMessage(path));
      return STG_E_SHAREVIOLATION;
    }
  } else {
    // The lock holder owns the journal: a transaction that did not end is
    // undone before anything is read.
    hr = RecoverJournal(path, file.get(), &found, &aside);
  }
  if (FAILED(hr)) return hr;
  if (found == JournalFound::kRolledBack) {
    platform::Report(path + ": the unfinished changes of an interrupted run were taken back; "
                            "the file is as it was before that run");
  } else if (found == JournalFound::kMovedAside) {
    platform::Report(JournalPath(path) + " was not written for the file now at " + path +
                     " and was not applied to it; it is kept as " + aside);
  }

  uint64_t size;
  if (file->Size(&size) != 0) return STG_E_READFAULT;
  // The header and, in version 3, the first sectors (FAT, directory) come
  // with one read.
  uint8_t start[4096] = {};
  const uint8_t* bytes = start;
  size_t got = 0;
  if (file->ReadAt(0, start, sizeof(start), &got) != 0) return STG_E_READFAULT;
  if (got < sizeof(kSignature) || memcmp(bytes, kSignature, sizeof(kSignature)) != 0) {
    return STG_E_FILEALREADYEXISTS;  // not a compound file, or empty
  }
  if (got < kHeaderSize) return STG_E_INVALIDHEADER;
  Header header;
  hr = header.Parse(bytes);
  if (FAILED(hr)) return hr;
  uint64_t sector_size = header.sector_size();
  uint64_t sectors = size > sector_size ? (size - 1) / sector_size : 0;
  if (sectors > MAXREGSECT) sectors = MAXREGSECT;
  std::unique_ptr<CompoundFile> cf(new CompoundFile(std::unique_ptr<SectorFile>(
      new SectorFile(std::move(file), static_cast<uint32_t>(sector_size),
                     static_cast<uint32_t>(sectors)))));
  cf->header_ = header;
  cf->path_ = path;
  cf->file_->HeaderOnDisk(bytes);
  cf->file_->Seed(start, got);
  cf->read_only_ = read_only;
  if (!read_only) cf->file_->UseJournal(path);
  hr = cf->Load();
  if (FAILED(hr)) {
    cf->closed_ = true;  // nothing is written to a file that did not load
    return hr;
  }
  *out = std::move(cf);
  return S_OK;
}

std::string NewFilePath(const std::string& path) { return path + "-new"; }

namespace {

// Creates the file `temporary` where a new file for `path` (named in a
// failure) is built, and locks it: a file of that name that no other
// create holds, which a process killed before its commit left, is replaced.
// S_OK with *file, or the failure.
HRESULT CreateLockedFile(const std::string& path, const std::string& temporary,
                         std::unique_ptr<platform::File>* file) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  int error = fs->Open(temporary, platform::OpenMode::kCreateNew, file);
  if (error == EEXIST) {
    std::unique_ptr<platform::File> stale;
    error = fs->Open(temporary, platform::OpenMode::kReadWrite, &stale);
    if (error != 0) return OpenError(error, path);
    error = stale->LockExclusive();
    if (error != 0) return LockError(error);
    error = fs->Delete(temporary);
    stale.reset();
    if (error != 0) return OpenError(error, path);
    error = fs->Open(temporary, platform::OpenMode::kCreateNew, file);
  }
  if (error != 0) return OpenError(error, path);
  error = (*file)->LockExclusive();
  if (error != 0) {
    file->reset();
    fs->Delete(temporary);
    return LockError(error);
  }
  return S_OK;
}

// The header of a new file of version `major_version` (3 or 4): the one
// FAT sector is sector 0, the first directory sector sector 1.
Header NewFileHeader(uint16_t major_version) {
  Header header;
  header.major_version = major_version;
  header.sector_shift = major_version == 4 ? 12 : 9;
  header.num_dir_sectors = major_version == 4 ? 1 : 0;
  header.num_fat_sectors = 1;
  header.first_dir_sector = 1;
  header.first_minifat_sector = ENDOFCHAIN;
  header.num_minifat_sectors = 0;
  header.first_difat_sector = ENDOFCHAIN;
  header.num_difat_sectors = 0;
  for (uint32_t& d : header.difat) d = FREESECT;
  header.difat[0] = 0;
  return header;
}

}  // namespace

HRESULT CompoundFile::Create(const std::string& path, std::unique_ptr<CompoundFile>* out,
                             uint16_t major_version) {
  if (major_version != 3 && major_version != 4) return STG_E_INVALIDPARAMETER;
  if (platform::FileSystem::Default()->Exists(path) == 0) return STG_E_FILEALREADYEXISTS;
  // The file is written under a temporary name and renamed into place when
  // committed, so that a process killed before leaves no file that blocks
  // the next create.
  const std::string temporary = NewFilePath(path);
  std::unique_ptr<platform::File> file;
  HRESULT hr = CreateLockedFile(path, temporary, &file);
  if (FAILED(hr)) return hr;

  const Header header = NewFileHeader(major_version);
  std::unique_ptr<CompoundFile> cf(new CompoundFile(std::unique_ptr<SectorFile>(
      new SectorFile(std::move(file), header.sector_size(), 2))));
  cf->header_ = header;
  cf->path_ = path;
  cf->temporary_ = temporary;
  hr = cf->WriteFirstSectors();
  if (SUCCEEDED(hr)) hr = cf->Load();
  if (FAILED(hr)) {
    cf->broken_ = hr;  // Close then removes the temporary file
    return hr;
  }
  *out = std::move(cf);
  return S_OK;
}

HRESULT CompoundFile::WriteFirstSectors() {
  const uint32_t sector_size = header_.sector_size();
  std::vector<uint8_t> sector(sector_size);
  for (uint32_t i = 0; i < sector_size / 4; ++i) Put32(sector.data() + 4 * i, FREESECT);
  Put32(sector.data(), FATSECT);
  Put32(sector.data() + 4, ENDOFCHAIN);
  HRESULT hr = file_->WriteSector(0, sector.data());
  if (FAILED(hr)) return hr;
  DirEntry root;
  root.name = u"Root Entry";
  root.type = kTypeRoot;
  root.color = kBlack;
  root.start = ENDOFCHAIN;
  root.Serialize(sector.data());
  DirEntry unused = DirEntry::Unused();
  for (uint32_t i = 1; i < sector_size / kDirEntrySize; ++i) {
    unused.Serialize(sector.data() + i * kDirEntrySize);
  }
  hr = file_->WriteSector(1, sector.data());
  if (FAILED(hr)) return hr;
  uint8_t bytes[kHeaderSize];
  header_.Serialize(bytes);
  file_->SetHeader(bytes);
  return S_OK;
}

HRESULT CompoundFile::Load() {
  fat_.reset(new Allocator(file_.get(), &header_));
  HRESULT hr = fat_->Load();
  if (FAILED(hr)) return hr;
  dir_.reset(new Directory(file_.get(), fat_.get(), &header_));
  DirEntry root;
  hr = dir_->Get(kRootId, &root);
  if (FAILED(hr)) return hr;
  if (root.type != kTypeRoot) return STG_E_DOCFILECORRUPT;
  mini_.reset(new MiniAllocator(file_.get(), fat_.get(), &header_, root.start, root.size));
  return S_OK;
}

HRESULT CompoundFile::Commit() {
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  if (read_only_) return S_OK;  // nothing can have changed
  platform::FileSystem* fs = platform::FileSystem::Default();
  if (temporary_.empty()) {
    hr = file_->Commit();
  } else {
    // A new file: complete and synced under its temporary name, then put at
    // its path, which must still be free.
    hr = file_->Commit();
    if (SUCCEEDED(hr) && fs->Exists(path_) == 0) hr = STG_E_FILEALREADYEXISTS;
    // A journal beside a path where no file is belongs to no file; left
    // there, it could be rolled back into this one.
    int error = SUCCEEDED(hr) ? fs->Delete(JournalPath(path_)) : 0;
    if (error != 0 && error != ENOENT) hr = STG_E_ACCESSDENIED;
    if (SUCCEEDED(hr)) {
      error = fs->Rename(temporary_, path_);
      if (error != 0) hr = error == EEXIST ? STG_E_FILEALREADYEXISTS : OpenError(error, path_);
    }
    if (SUCCEEDED(hr) && fs->SyncFolderOf(path_) != 0) hr = STG_E_WRITEFAULT;
    if (SUCCEEDED(hr)) {
      temporary_.clear();
      file_->UseJournal(path_);
    }
  }
  if (FAILED(hr) && temporary_.empty()) {
    // Back to the last commit: in the file (the journal), and so in memory.
    stream_chains_.clear();
    recent_.valid = false;
    HRESULT restored = file_->Rollback();
    if (SUCCEEDED(restored)) restored = header_.Parse(file_->header());
    if (SUCCEEDED(restored)) restored = Load();
    if (FAILED(restored)) broken_ = hr;
  }
  return hr;
}

HRESULT CompoundFile::Discard() {
  if (closed_) return S_OK;
  if (SUCCEEDED(broken_)) broken_ = STG_E_REVERTED;
  Close();
  return S_OK;
}

HRESULT CompoundFile::Close() {
  if (closed_) return S_OK;
  HRESULT hr = broken_;
  if (SUCCEEDED(hr)) hr = Commit();
  closed_ = true;
  stream_chains_.clear();
  mini_.reset();
  dir_.reset();
  fat_.reset();
  if (FAILED(hr) && temporary_.empty()) file_->Rollback();
  // Makes the deletion of the journal durable, so that a power cut after the
  // program ended cannot bring it back.
  file_->SyncFolder();
  file_.reset();  // closes the file, which drops the lock
  if (!temporary_.empty()) platform::FileSystem::Default()->Delete(temporary_);
  return hr;
}

void CompoundFile::Moved(const std::string& path) {
  path_ = path;
  if (temporary_.empty() && !read_only_) file_->UseJournal(path);
}

HRESULT CompoundFile::Usable() const {
  if (closed_) return STG_E_REVERTED;
  return broken_;
}

HRESULT CompoundFile::Changeable() const {
  HRESULT hr = Usable();
  if (SUCCEEDED(hr) && read_only_) hr = STG_E_ACCESSDENIED;
  return hr;
}

HRESULT CompoundFile::Flush() {
  if (mini_->root_changed()) {
    DirEntry root;
    HRESULT hr = dir_->Get(kRootId, &root);
    if (FAILED(hr)) return hr;
    root.start = mini_->root_start();
    root.size = mini_->root_size();
    hr = dir_->Put(kRootId, root);
    if (FAILED(hr)) return hr;
    mini_->clear_root_changed();
  }
  HRESULT hr = mini_->Flush();
  if (SUCCEEDED(hr)) hr = dir_->Flush();
  if (SUCCEEDED(hr)) hr = fat_->Flush();
  if (FAILED(hr)) return hr;
  uint8_t bytes[kHeaderSize];
  header_.Serialize(bytes);
  file_->SetHeader(bytes);
  return S_OK;
}

void CompoundFile::Begin(bool creates) {
  recent_.valid = false;
  if (file_->BeginCall(/*extend=*/!creates)) saved_header_ = header_;
  if (!trees_ordered_) OrderEveryTree();
}

void CompoundFile::OrderEveryTree() {
  trees_ordered_ = true;
  std::vector<uint32_t> storages{kRootId};
  std::unordered_set<uint32_t> seen{kRootId};
  while (!storages.empty()) {
    uint32_t storage = storages.back();
    storages.pop_back();
    std::vector<uint32_t> children;
    if (FAILED(dir_->Children(storage, &children))) continue;  // damaged: left as it is
    // A tree that cannot be relinked (two names equal under the fold) is
    // left as it is too; nothing of it was changed.
    dir_->MakeOrdered(storage);
    for (uint32_t child : children) {
      DirEntry entry;
      if (SUCCEEDED(dir_->Get(child, &entry)) && entry.type == kTypeStorage &&
          seen.insert(child).second) {
        storages.push_back(child);
      }
    }
  }
}

void CompoundFile::Undo() {
  recent_.valid = false;
  trees_ordered_ = false;
  file_->UndoCall();
  header_ = saved_header_;
  stream_chains_.clear();
  HRESULT hr = Load();
  if (FAILED(hr)) broken_ = hr;
}

HRESULT CompoundFile::Finish(HRESULT hr, bool hold) {
  if (SUCCEEDED(hr)) hr = Flush();
  // A spill that fails leaves what was collected in memory: only this call
  // is lost.
  if (SUCCEEDED(hr)) hr = file_->SpillIfLarge();
  if (FAILED(hr)) {
    Undo();
    return hr;
  }
  file_->EndCall(hold);
  if (autocommit_ && !hold) return Commit();
  return S_OK;
}

HRESULT CompoundFile::Find(uint32_t storage, const std::u16string& name, uint32_t* id,
                           DirEntry* entry) {
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  hr = ValidateName(name);
  if (FAILED(hr)) return hr;
  uint32_t found;
  // The element that the last enumeration step returned is the one asked
  // for next, as a rule (list, then open each).
  if (recent_.valid && recent_.storage == storage && CompareNames(name, recent_.name) == 0) {
    found = recent_.id;
  } else {
    hr = dir_->Find(storage, name, &found);
    if (FAILED(hr)) return hr;
    if (found == NOSTREAM) return STG_E_FILENOTFOUND;
  }
  hr = dir_->Get(found, entry);
  if (FAILED(hr)) return hr;
  *id = found;
  return S_OK;
}

HRESULT CompoundFile::Stat(uint32_t id, DirEntry* entry) {
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  return dir_->Get(id, entry);
}

HRESULT CompoundFile::NextChild(uint32_t storage, ChildCursor* cursor, uint32_t* id,
                                DirEntry* entry) {
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  uint32_t next;
  hr = dir_->NextChild(storage, cursor, &next);
  if (FAILED(hr)) return hr;
  if (next == NOSTREAM) return S_FALSE;
  hr = dir_->Get(next, entry);
  if (FAILED(hr)) return hr;
  *id = next;
  recent_ = {true, storage, entry->name, next};
  return S_OK;
}

HRESULT CompoundFile::CreateElement(uint32_t storage, const std::u16string& name, uint8_t type,
                                    uint32_t* id) {
  HRESULT hr = Changeable();
  if (FAILED(hr)) return hr;
  hr = ValidateName(name);
  if (FAILED(hr)) return hr;
  uint32_t existing;
  hr = dir_->Find(storage, name, &existing);
  if (FAILED(hr)) return hr;
  if (existing != NOSTREAM) return STG_E_FILEALREADYEXISTS;

  Begin(/*creates=*/true);
  uint32_t fresh;
  hr = dir_->Allocate(&fresh);
  if (SUCCEEDED(hr)) {
    DirEntry entry;
    entry.name = name;
    entry.type = type;
    entry.color = kRed;
    entry.start = type == kTypeStream ? ENDOFCHAIN : 0;
    entry.size = 0;
    hr = dir_->Put(fresh, entry);
  }
  if (SUCCEEDED(hr)) hr = dir_->Insert(storage, fresh);
  // A new element is empty: it is final together with what fills it.
  hr = Finish(hr, /*hold=*/true);
  if (SUCCEEDED(hr)) *id = fresh;
  return hr;
}

HRESULT CompoundFile::StreamEntry(uint32_t id, DirEntry* entry) {
  HRESULT hr = dir_->Get(id, entry);
  if (FAILED(hr)) return hr;
  if (entry->type != kTypeStream) return STG_E_DOCFILECORRUPT;
  return S_OK;
}

HRESULT CompoundFile::StreamChain(uint32_t id, const DirEntry& entry, Chain** chain) {
  bool mini = IsMini(entry.size);
  auto it = stream_chains_.find(id);
  if (it == stream_chains_.end() || it->second.mini != mini ||
      it->second.chain->start() != (entry.start == FREESECT ? ENDOFCHAIN : entry.start)) {
    CachedChain cached;
    cached.mini = mini;
    cached.chain.reset(new Chain(mini ? static_cast<ChainLinks*>(mini_.get()) : fat_.get(),
                                 entry.size == 0 ? ENDOFCHAIN : entry.start));
    // Chains of streams read once (a listing) need not pile up.
    if (stream_chains_.size() >= 64) stream_chains_.clear();
    it = stream_chains_.insert_or_assign(id, std::move(cached)).first;
  }
  *chain = it->second.chain.get();
  return S_OK;
}

HRESULT CompoundFile::ReadUnit(bool mini, uint32_t unit, uint8_t* out) {
  return mini ? mini_->Read(unit, 0, out, kMiniSectorSize) : file_->ReadSector(unit, out);
}

HRESULT CompoundFile::WriteUnit(bool mini, uint32_t unit, const uint8_t* data) {
  return mini ? mini_->Write(unit, 0, data, kMiniSectorSize) : file_->WriteSector(unit, data);
}

HRESULT CompoundFile::ReadStream(uint32_t id, uint64_t pos, void* out, uint32_t n,
                                 uint32_t* read) {
  *read = 0;
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  DirEntry entry;
  hr = StreamEntry(id, &entry);
  if (FAILED(hr)) return hr;
  if (pos >= entry.size) return S_OK;
  uint64_t count = std::min<uint64_t>(n, entry.size - pos);
  Chain* chain;
  hr = StreamChain(id, entry, &chain);
  if (FAILED(hr)) return hr;
  bool mini = IsMini(entry.size);
  uint32_t unit = UnitSize(entry.size);
  uint8_t* dest = static_cast<uint8_t*>(out);
  uint64_t done = 0;
  while (done < count) {
    uint64_t at = pos + done;
    uint32_t offset = static_cast<uint32_t>(at % unit);
    uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(unit - offset, count - done));
    uint64_t index = at / unit;
    uint32_t u;
    hr = chain->UnitAt(index, &u);
    if (FAILED(hr)) return hr;
    if (!mini && offset == 0 && count - done >= unit) {
      // Whole sectors that follow each other in the file: one read, uncached.
      uint32_t run = 1;
      uint32_t next;
      while (run < 256 && (run + 1) * static_cast<uint64_t>(unit) <= count - done &&
             SUCCEEDED(chain->UnitAt(index + run, &next)) && next == u + run) {
        ++run;
      }
      hr = file_->ReadRun(u, run, dest + done);
      if (FAILED(hr)) return hr;
      done += static_cast<uint64_t>(run) * unit;
      continue;
    }
    hr = mini ? mini_->Read(u, offset, dest + done, take) : file_->Read(u, offset, dest + done, take);
    if (FAILED(hr)) return hr;
    done += take;
  }
  *read = static_cast<uint32_t>(done);
  return S_OK;
}

HRESULT CompoundFile::FillUnits(Chain* chain, bool mini, uint64_t old_size, uint64_t from,
                                uint64_t end, uint64_t pos, const uint8_t* data, uint64_t n) {
  uint32_t unit = mini ? kMiniSectorSize : file_->sector_size();
  uint64_t data_end = pos + n;
  for (uint64_t index = from / unit; index * unit < end; ++index) {
    uint64_t unit_start = index * unit;
    uint64_t unit_end = unit_start + unit;
    uint32_t u;
    HRESULT hr = chain->UnitAt(index, &u);
    if (FAILED(hr)) return hr;
    // Old bytes are needed where the unit holds data that is not overwritten.
    uint64_t keep_end = std::min(old_size, unit_end);
    bool keep = unit_start < keep_end &&
                !(n > 0 && pos <= unit_start && data_end >= keep_end);
    if (keep) {
      hr = ReadUnit(mini, u, unit_.data());
      if (FAILED(hr)) return hr;
    }
    uint64_t zero_from = keep ? std::max(old_size, unit_start) : unit_start;
    if (zero_from < unit_end) {
      memset(unit_.data() + (zero_from - unit_start), 0, unit_end - zero_from);
    }
    if (n > 0) {
      uint64_t a = std::max(pos, unit_start);
      uint64_t b = std::min(data_end, unit_end);
      if (a < b) memcpy(unit_.data() + (a - unit_start), data + (a - pos), b - a);
    }
    hr = WriteUnit(mini, u, unit_.data());
    if (FAILED(hr)) return hr;
    // A long write goes out as it proceeds instead of piling up in memory.
    hr = file_->SpillIfLarge();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CompoundFile::Move(uint32_t id, DirEntry* entry, uint64_t new_size) {
  // The kept part is below the cutoff on one side of the move.
  uint64_t keep = std::min(entry->size, new_size);
  std::vector<uint8_t> kept(keep);
  uint32_t read = 0;
  HRESULT hr = ReadStream(id, 0, kept.data(), static_cast<uint32_t>(keep), &read);
  if (FAILED(hr)) return hr;
  if (read != keep) return STG_E_DOCFILECORRUPT;
  Chain* old_chain;
  hr = StreamChain(id, *entry, &old_chain);
  if (FAILED(hr)) return hr;
  hr = old_chain->Resize(0);
  if (FAILED(hr)) return hr;
  stream_chains_.erase(id);

  bool mini = IsMini(new_size);
  uint32_t unit = UnitSize(new_size);
  CachedChain cached;
  cached.mini = mini;
  cached.chain.reset(new Chain(mini ? static_cast<ChainLinks*>(mini_.get()) : fat_.get(),
                               ENDOFCHAIN));
  hr = cached.chain->Resize((new_size + unit - 1) / unit);
  if (FAILED(hr)) return hr;
  hr = FillUnits(cached.chain.get(), mini, 0, 0, new_size, 0, kept.data(), keep);
  if (FAILED(hr)) return hr;
  entry->start = cached.chain->start();
  entry->size = new_size;
  stream_chains_.insert_or_assign(id, std::move(cached));
  return dir_->Put(id, *entry);
}

HRESULT CompoundFile::Resize(uint32_t id, DirEntry* entry, uint64_t new_size) {
  uint64_t old_size = entry->size;
  if (new_size == old_size) return S_OK;
  if (new_size > kMaxFileSize) return STG_E_MEDIUMFULL;
  if (IsMini(old_size) != IsMini(new_size)) return Move(id, entry, new_size);
  Chain* chain;
  HRESULT hr = StreamChain(id, *entry, &chain);
  if (FAILED(hr)) return hr;
  bool mini = IsMini(new_size);
  uint32_t unit = UnitSize(new_size);
  hr = chain->Resize((new_size + unit - 1) / unit);
  if (FAILED(hr)) return hr;
  if (new_size > old_size) {
    hr = FillUnits(chain, mini, old_size, old_size, new_size, 0, nullptr, 0);
  } else if (new_size % unit != 0) {
    // Zero the tail of the new last unit.
    hr = FillUnits(chain, mini, new_size, new_size, new_size, 0, nullptr, 0);
  }
  if (FAILED(hr)) return hr;
  entry->start = new_size == 0 ? ENDOFCHAIN : chain->start();
  entry->size = new_size;
  hr = dir_->Put(id, *entry);
  if (FAILED(hr)) return hr;
  // The chain object stays valid: it was resized in place.
  return S_OK;
}

HRESULT CompoundFile::WriteStream(uint32_t id, uint64_t pos, const void* data, uint32_t n) {
  HRESULT hr = Changeable();
  if (FAILED(hr)) return hr;
  DirEntry entry;
  hr = StreamEntry(id, &entry);
  if (FAILED(hr)) return hr;
  if (n == 0) return S_OK;
  uint64_t end = pos + n;
  if (pos > kMaxFileSize || end > kMaxFileSize ||
      (header_.major_version == 3 && end > 0xFFFFFFFFu)) {
    return STG_E_MEDIUMFULL;
  }
  Begin(/*creates=*/false);
  uint64_t old_size = entry.size;
  if (end > old_size && IsMini(old_size) != IsMini(end)) {
    // Moving to regular sectors zero-fills the new part; the data follows.
    hr = Move(id, &entry, end);
    old_size = end;
  }
  Chain* chain = nullptr;
  if (SUCCEEDED(hr)) hr = StreamChain(id, entry, &chain);
  uint64_t new_size = std::max(old_size, end);
  bool mini = IsMini(new_size);
  uint32_t unit = UnitSize(new_size);
  if (SUCCEEDED(hr) && new_size > old_size) {
    hr = chain->Resize((new_size + unit - 1) / unit);
    if (SUCCEEDED(hr)) {
      entry.start = chain->start();
      entry.size = new_size;
      hr = dir_->Put(id, entry);
    }
  }
  if (SUCCEEDED(hr)) {
    hr = FillUnits(chain, mini, old_size, std::min(pos, old_size), end, pos,
                   static_cast<const uint8_t*>(data), n);
  }
  return Finish(hr);
}

HRESULT CompoundFile::ResizeStream(uint32_t id, uint64_t size) {
  HRESULT hr = Changeable();
  if (FAILED(hr)) return hr;
  DirEntry entry;
  hr = StreamEntry(id, &entry);
  if (FAILED(hr)) return hr;
  if (size > kMaxFileSize || (header_.major_version == 3 && size > 0xFFFFFFFFu)) {
    return STG_E_MEDIUMFULL;
  }
  Begin(/*creates=*/false);
  return Finish(Resize(id, &entry, size));
}

HRESULT CompoundFile::DestroyElement(uint32_t storage, const std::u16string& name,
                                     std::vector<uint32_t>* gone) {
  gone->clear();
  HRESULT hr = Changeable();
  if (FAILED(hr)) return hr;
  uint32_t id;
  DirEntry entry;
  hr = Find(storage, name, &id, &entry);
  if (FAILED(hr)) return hr;

  // Collect the subtree and resolve every chain before changing anything, so
  // a damaged element fails cleanly.
  std::vector<uint32_t> doomed{id};
  std::unordered_set<uint32_t> seen{id};
  for (size_t i = 0; i < doomed.size(); ++i) {
    DirEntry e;
    hr = dir_->Get(doomed[i], &e);
    if (FAILED(hr)) return hr;
    if (e.type == kTypeStorage) {
      std::vector<uint32_t> children;
      hr = dir_->Children(doomed[i], &children);
      if (FAILED(hr)) return hr;
      for (uint32_t c : children) {
        if (!seen.insert(c).second) return STG_E_DOCFILECORRUPT;
        doomed.push_back(c);
      }
    } else if (e.type == kTypeStream) {
      Chain* chain;
      uint64_t length;
      hr = StreamChain(doomed[i], e, &chain);
      if (SUCCEEDED(hr)) hr = chain->Length(&length);
      if (FAILED(hr)) return hr;
    } else {
      return STG_E_DOCFILECORRUPT;
    }
  }

  Begin(/*creates=*/false);
  hr = dir_->Remove(storage, id);
  for (size_t i = 0; i < doomed.size() && SUCCEEDED(hr); ++i) {
    DirEntry e;
    hr = dir_->Get(doomed[i], &e);
    if (SUCCEEDED(hr) && e.type == kTypeStream) {
      Chain* chain;
      hr = StreamChain(doomed[i], e, &chain);
      if (SUCCEEDED(hr)) hr = chain->Resize(0);
      stream_chains_.erase(doomed[i]);
    }
    if (SUCCEEDED(hr)) hr = dir_->Release(doomed[i]);
  }
  hr = Finish(hr);
  if (SUCCEEDED(hr)) *gone = std::move(doomed);
  return hr;
}

HRESULT CompoundFile::RenameElement(uint32_t storage, const std::u16string& old_name,
                                    const std::u16string& new_name, uint32_t* id) {
  HRESULT hr = Changeable();
  if (FAILED(hr)) return hr;
  hr = ValidateName(new_name);
  if (FAILED(hr)) return hr;
  uint32_t found;
  DirEntry entry;
  hr = Find(storage, old_name, &found, &entry);
  if (FAILED(hr)) return hr;
  uint32_t taken;
  hr = dir_->Find(storage, new_name, &taken);
  if (FAILED(hr)) return hr;
  if (taken != NOSTREAM && taken != found) return STG_E_FILEALREADYEXISTS;
  *id = found;
  if (entry.name == new_name) return S_OK;

  Begin(/*creates=*/false);
  hr = dir_->Remove(storage, found);
  // The removal relinked the tree: the entry is read again before its name changes.
  if (SUCCEEDED(hr)) hr = dir_->Get(found, &entry);
  if (SUCCEEDED(hr)) {
    entry.name = new_name;
    hr = dir_->Put(found, entry);
  }
  if (SUCCEEDED(hr)) hr = dir_->Insert(storage, found);
  return Finish(hr);
}

HRESULT CompoundFile::Count(Census* census) {
  *census = Census();
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  census->sectors = file_->sector_count();
  for (uint32_t s = 0; s < census->sectors && s < fat_->Coverage(); ++s) {
    uint32_t v;
    hr = fat_->Next(s, &v);
    if (FAILED(hr)) return hr;
    if (v == FREESECT) ++census->free_sectors;
  }
  census->mini_sectors = mini_->Limit();
  for (uint32_t m = 0; m < census->mini_sectors; ++m) {
    uint32_t v;
    hr = mini_->Next(m, &v);
    if (FAILED(hr)) return hr;
    if (v == FREESECT) ++census->free_mini_sectors;
  }
  return dir_->chain()->Length(&census->directory_sectors);
}

// What Check has found so far: what each sector and mini sector is used
// for, the entries that the trees reach, and the problems, one a line.
struct CompoundFile::CheckState {
  // What uses a sector.
  enum User : uint8_t { kNothing = 0, kFat, kDifat, kDirectory, kMiniFat, kMiniStream, kStream };

  CheckState(uint32_t sectors, uint32_t mini_sectors)
      : owner(sectors, kNothing), mini_owner(mini_sectors, 0) {}

  // Sector s is used by `user` (called `name` in a problem): a problem when
  // it is past the end or used already.
  void Claim(uint32_t s, User user, const char* name) {
    if (s >= owner.size()) {
      problems += std::string(name) + " uses sector " + std::to_string(s) + " past the end\n";
    } else if (owner[s] != kNothing) {
      problems += std::string(name) + " shares sector " + std::to_string(s) + "\n";
    } else {
      owner[s] = user;
    }
  }
  // Mini sector u is used by a stream: a problem when it is out of range or
  // used already.
  void ClaimMini(uint32_t u) {
    if (u >= mini_owner.size() || mini_owner[u]) {
      problems += "mini sector " + std::to_string(u) + " shared or out of range\n";
    } else {
      mini_owner[u] = 1;
    }
  }

  // Claims the sectors of the chain from `start` in the FAT for `user`,
  // its length in sectors into *length; a broken chain is a problem, and
  // its failure is returned.
  HRESULT ClaimChain(Allocator* fat, uint32_t start, User user, const char* name,
                     uint64_t* length) {
    Chain chain(fat, start);
    HRESULT hr = chain.Length(length);
    if (FAILED(hr)) {
      problems += std::string(name) + " chain is broken\n";
      return hr;
    }
    for (uint32_t s : chain.units()) Claim(s, user, name);
    return S_OK;
  }

  std::vector<uint8_t> owner;       // per sector: its User
  std::vector<uint8_t> mini_owner;  // per mini sector: 1 when a stream uses it
  std::unordered_set<uint32_t> reached{kRootId};
  std::string problems;
};

HRESULT CompoundFile::Check(std::string* problems) {
  problems->clear();
  HRESULT hr = Usable();
  if (FAILED(hr)) return hr;
  // Only mini sectors that the file can hold (the root size comes from the file).
  CheckState state(file_->sector_count(), mini_->Limit());
  ClaimTableSectors(&state);
  uint64_t directory_sectors = 0;
  hr = ClaimStructureChains(&state, &directory_sectors);
  if (SUCCEEDED(hr)) hr = ClaimTreeStreams(&state);
  if (SUCCEEDED(hr)) hr = CheckFreeSectors(&state);
  if (SUCCEEDED(hr)) hr = CheckUnreachedEntries(directory_sectors, &state);
  // What was found before a failure is kept.
  *problems = std::move(state.problems);
  return hr;
}

void CompoundFile::ClaimTableSectors(CheckState* state) {
  for (uint32_t s : fat_->fat_sectors()) {
    state->Claim(s, CheckState::kFat, "FAT");
    uint32_t v;
    if (SUCCEEDED(fat_->Next(s, &v)) && v != FATSECT) {
      state->problems += "FAT sector " + std::to_string(s) + " not marked FATSECT\n";
    }
  }
  for (uint32_t s : fat_->difat_sectors()) {
    state->Claim(s, CheckState::kDifat, "DIFAT");
    uint32_t v;
    if (SUCCEEDED(fat_->Next(s, &v)) && v != DIFSECT) {
      state->problems += "DIFAT sector " + std::to_string(s) + " not marked DIFSECT\n";
    }
  }
}

HRESULT CompoundFile::ClaimStructureChains(CheckState* state, uint64_t* directory_sectors) {
  uint64_t minifat_length = 0, ministream_length = 0;
  HRESULT hr = state->ClaimChain(fat_.get(), header_.first_dir_sector, CheckState::kDirectory,
                                 "directory", directory_sectors);
  if (FAILED(hr)) return hr;
  state->ClaimChain(fat_.get(), header_.first_minifat_sector, CheckState::kMiniFat, "mini FAT",
                    &minifat_length);
  DirEntry root;
  hr = dir_->Get(kRootId, &root);
  if (FAILED(hr)) return hr;
  state->ClaimChain(fat_.get(), root.size == 0 ? ENDOFCHAIN : root.start,
                    CheckState::kMiniStream, "mini stream", &ministream_length);
  std::string& problems = state->problems;
  if (root.size % kMiniSectorSize != 0) problems += "mini stream size not a multiple of 64\n";
  if (ministream_length * file_->sector_size() < root.size) {
    problems += "mini stream chain shorter than its size\n";
  }
  if (header_.num_fat_sectors != fat_->fat_sectors().size()) problems += "FAT count wrong\n";
  if (header_.num_minifat_sectors != minifat_length) problems += "mini FAT count wrong\n";
  if (header_.num_difat_sectors != fat_->difat_sectors().size()) {
    problems += "DIFAT count wrong\n";
  }
  if (header_.major_version == 4 && header_.num_dir_sectors != *directory_sectors) {
    problems += "directory count wrong\n";
  }
  return S_OK;
}

HRESULT CompoundFile::ClaimTreeStreams(CheckState* state) {
  std::vector<uint32_t> storages{kRootId};
  while (!storages.empty()) {
    uint32_t storage = storages.back();
    storages.pop_back();
    HRESULT hr = dir_->CheckTree(storage, &state->problems);
    if (FAILED(hr)) return hr;
    std::vector<uint32_t> children;
    hr = dir_->Children(storage, &children);
    if (FAILED(hr)) return hr;
    for (uint32_t c : children) {
      if (!state->reached.insert(c).second) {
        state->problems += "entry " + std::to_string(c) + " reached twice\n";
        continue;
      }
      DirEntry e;
      hr = dir_->Get(c, &e);
      if (FAILED(hr)) return hr;
      if (e.type == kTypeStorage) {
        storages.push_back(c);
      } else if (e.type == kTypeStream) {
        ClaimStream(c, e, state);
      } else {
        state->problems +=
            "entry " + std::to_string(c) + " has type " + std::to_string(e.type) + "\n";
      }
    }
  }
  return S_OK;
}

void CompoundFile::ClaimStream(uint32_t id, const DirEntry& e, CheckState* state) {
  const bool mini = IsMini(e.size);
  const uint32_t unit = UnitSize(e.size);
  Chain chain(mini ? static_cast<ChainLinks*>(mini_.get()) : fat_.get(),
              e.size == 0 ? ENDOFCHAIN : e.start);
  std::string& problems = state->problems;
  uint64_t length;
  if (FAILED(chain.Length(&length))) {
    problems += "chain of entry " + std::to_string(id) + " is broken\n";
    return;
  }
  if (length != (e.size + unit - 1) / unit) {
    problems += "chain of entry " + std::to_string(id) + " does not match its size\n";
  }
  for (uint32_t u : chain.units()) {
    if (mini) {
      state->ClaimMini(u);
    } else {
      state->Claim(u, CheckState::kStream, "stream");
    }
  }
  // Bytes past the size in the last unit are zero.
  if (e.size % unit == 0 || length == 0) return;
  std::vector<uint8_t> last(unit);
  if (FAILED(ReadUnit(mini, chain.units().back(), last.data()))) return;
  for (uint32_t i = static_cast<uint32_t>(e.size % unit); i < unit; ++i) {
    if (last[i] != 0) {
      problems += "tail of entry " + std::to_string(id) + " not zero\n";
      return;
    }
  }
}

HRESULT CompoundFile::CheckFreeSectors(CheckState* state) {
  const uint32_t sectors = static_cast<uint32_t>(state->owner.size());
  for (uint32_t s = 0; s < sectors && s < fat_->Coverage(); ++s) {
    uint32_t v;
    HRESULT hr = fat_->Next(s, &v);
    if (FAILED(hr)) return hr;
    if ((v == FREESECT) != (state->owner[s] == CheckState::kNothing)) {
      state->problems +=
          "sector " + std::to_string(s) + (v == FREESECT ? " used but free\n" : " lost\n");
    }
  }
  const uint32_t mini_count = static_cast<uint32_t>(state->mini_owner.size());
  for (uint32_t m = 0; m < mini_count; ++m) {
    uint32_t v;
    if (FAILED(mini_->Next(m, &v))) {
      state->problems += "mini FAT does not cover the mini stream\n";
      break;
    }
    if ((v == FREESECT) != (state->mini_owner[m] == 0)) {
      state->problems +=
          "mini sector " + std::to_string(m) + (v == FREESECT ? " used but free\n" : " lost\n");
    }
  }
  return S_OK;
}

HRESULT CompoundFile::CheckUnreachedEntries(uint64_t directory_sectors, CheckState* state) {
  for (uint64_t e = 0; e < directory_sectors * dir_->entries_per_sector(); ++e) {
    DirEntry d;
    HRESULT hr = dir_->Get(static_cast<uint32_t>(e), &d);
    if (FAILED(hr)) return hr;
    if (!state->reached.count(static_cast<uint32_t>(e)) && d.type != kTypeUnused) {
      state->problems += "entry " + std::to_string(e) + " unreachable but in use\n";
    }
  }
  return S_OK;
}

}  // namespace cfb
