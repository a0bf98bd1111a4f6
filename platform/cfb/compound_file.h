// A compound file opened by the engine: its elements addressed by directory
// entry number, with the operations of structured storage on them.
//
// An open is a transaction: the changes of its calls collect in memory
// (sector_file.h) and reach the file together at Commit or Close, so that the
// file holds either all of them or none. A call that fails is undone in
// memory and the open goes on. With autocommit, every call that completes
// the changes of its unit commits as it ends (a call that creates an element
// waits for the call that fills it).
//
// Invariants, true whenever no call is running (so also for the file on disk
// after a commit):
//  - every sector is in exactly one of: the FAT (FATSECT), the DIFAT
//    (DIFSECT), one chain (directory, mini FAT, mini stream, a stream), or
//    free (FREESECT); the same holds for mini sectors and the mini FAT;
//  - a stream of size s < 4096 lives in ceil(s / 64) mini sectors, any other
//    stream in ceil(s / sector size) sectors; bytes past the size inside its
//    last (mini) sector are zero;
//  - each storage's children form a red-black tree ordered by CompareNames,
//    with a black root and no two siblings of equal names;
//  - the header's counts (FAT, DIFAT, mini FAT, and the directory in
//    version 4) are those of the chains; every sector is written whole.
// The file is opened share-exclusive (flock) and stays locked until Close;
// one opened for reading only (Access::kRead) holds a shared lock instead.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb/allocator.h"
#include "platform/cfb/chain.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/directory.h"
#include "platform/cfb/format.h"
#include "platform/cfb/header.h"
#include "platform/cfb/mini_allocator.h"
#include "platform/cfb/sector_file.h"
#include "platform/hresult.h"

namespace cfb {

// Where a new file is built until its first commit puts it at `path`.
std::string NewFilePath(const std::string& path);

// How an existing file is opened.
enum class Access {
  kReadWrite,  // share-exclusive, with a rollback journal
  kRead,       // read only, shared with other readers; no journal
};

class CompoundFile {
 public:
  static constexpr uint32_t kRootId = 0;

  // Opens an existing file for reading and writing, share-exclusive. A
  // transaction that an earlier open left unfinished is taken back first
  // (its journal; one that belongs to another file is moved aside), and a
  // line on stderr says so. STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND,
  // STG_E_ACCESSDENIED, STG_E_SHAREVIOLATION (another open holds it),
  // STG_E_FILEALREADYEXISTS (not a compound file, also an empty file),
  // STG_E_INVALIDHEADER, STG_E_DOCFILECORRUPT or STG_E_READFAULT.
  //
  // With Access::kRead the file is opened read only (never through a
  // symbolic link, as for writing) under a shared lock, which any number of
  // readers hold together and which keeps writers out (and is kept out by
  // a writer): STG_E_SHAREVIOLATION either way. Nothing is ever written:
  // every call that would change the file fails with STG_E_ACCESSDENIED,
  // and Commit and Close write nothing. A journal of the file's own beside
  // it (an unfinished transaction, see journal.h) is not taken back but
  // refused, after a line on stderr that says so and what takes it back:
  // STG_E_SHAREVIOLATION; the file is never read half-written.
  static HRESULT Open(const std::string& path, std::unique_ptr<CompoundFile>* out,
                      Access access = Access::kReadWrite);
  // Starts a new file with an empty root, of version 3 (512-byte sectors)
  // unless major_version is 4 (4096-byte sectors); STG_E_FILEALREADYEXISTS
  // when any file of that name exists. It is written under a temporary name
  // ("<path>-new", locked) and appears at `path`, whole, at the first
  // commit; a file that is never committed never appears.
  static HRESULT Create(const std::string& path, std::unique_ptr<CompoundFile>* out,
                        uint16_t major_version = 3);

  ~CompoundFile();
  // Commits the transaction: afterwards the file holds every change made
  // since the open or the last commit, synced. On failure nothing of them is
  // in the file (it is as it was at the last commit) and the open holds that
  // state again (a new file keeps them, for a later try): STG_E_MEDIUMFULL, STG_E_WRITEFAULT, STG_E_FILEALREADYEXISTS
  // (a new file's path was taken meanwhile), STG_E_ACCESSDENIED.
  HRESULT Commit();
  // Commits, makes the commit's folder changes durable and drops the lock;
  // every later call fails with STG_E_REVERTED. Returns the commit's
  // failure, if any.
  HRESULT Close();
  // Closes without committing: the file stays as it was at the last commit
  // (a new file that was never committed does not appear).
  HRESULT Discard();
  // The file was renamed to `path` (by its holder, after a commit): its
  // journal is beside it there from now on. REQUIRES: nothing uncommitted.
  void Moved(const std::string& path);
  // With autocommit on, each call that completes a unit commits as it ends.
  void set_autocommit(bool on) { autocommit_ = on; }

  // The child `name` of storage `storage`: STG_E_FILENOTFOUND when absent,
  // STG_E_INVALIDNAME for a name the format does not allow.
  HRESULT Find(uint32_t storage, const std::u16string& name, uint32_t* id, DirEntry* entry);
  // Creates an empty stream or storage (type kTypeStream or kTypeStorage).
  HRESULT CreateElement(uint32_t storage, const std::u16string& name, uint8_t type,
                        uint32_t* id);
  // Destroys a child with everything inside it and frees its sectors.
  // *gone gets the entry numbers that were destroyed.
  HRESULT DestroyElement(uint32_t storage, const std::u16string& name,
                         std::vector<uint32_t>* gone);
  // Gives the child `old_name` of `storage` the name `new_name`, keeping its
  // entry (so its contents, CLSID and times): it leaves the tree and joins it
  // again under the new name. A new name that differs from the old one in
  // letter case only renames the element to that spelling. *id gets the
  // entry. STG_E_FILENOTFOUND when there is no `old_name`,
  // STG_E_FILEALREADYEXISTS when another child has `new_name` in any letter
  // case, STG_E_INVALIDNAME for a name the format does not allow.
  HRESULT RenameElement(uint32_t storage, const std::u16string& old_name,
                        const std::u16string& new_name, uint32_t* id);
  HRESULT Stat(uint32_t id, DirEntry* entry);
  // The next child of `storage` for the enumeration at `cursor` (start with
  // a fresh ChildCursor): S_OK, or S_FALSE when there is none. See
  // ChildCursor for the order and what the enumeration sees of changes.
  HRESULT NextChild(uint32_t storage, ChildCursor* cursor, uint32_t* id, DirEntry* entry);

  // Reads up to n bytes at pos of stream `id`; *read is 0 at or past the end.
  HRESULT ReadStream(uint32_t id, uint64_t pos, void* out, uint32_t n, uint32_t* read);
  // Writes n bytes at pos, extending the stream to pos + n when it is
  // shorter (the gap reads as zeros); never shortens it.
  HRESULT WriteStream(uint32_t id, uint64_t pos, const void* data, uint32_t n);
  // Sets the size of stream `id`, moving it between the mini stream and
  // regular sectors when it crosses the cutoff.
  HRESULT ResizeStream(uint32_t id, uint64_t size);

  // Checks every invariant above on the file as it is now. Returns S_OK and
  // fills *problems (empty when consistent), or a failure when the structure
  // cannot be walked further, with what was found until then in *problems.
  HRESULT Check(std::string* problems);

  // How the sectors are used: the file's sectors and mini sectors and how
  // many of each the FAT and the mini FAT mark free; the directory's length.
  struct Census {
    uint64_t directory_sectors = 0;
    uint32_t sectors = 0;
    uint32_t free_sectors = 0;
    uint32_t mini_sectors = 0;
    uint32_t free_mini_sectors = 0;
  };
  HRESULT Count(Census* census);

  const Header& header() const { return header_; }
  uint16_t major_version() const { return header_.major_version; }
  uint32_t sector_count() const { return file_->sector_count(); }

 private:
  explicit CompoundFile(std::unique_ptr<SectorFile> file);
  // A new file's first sectors: the FAT sector (0) and the directory sector
  // holding the root entry (1), written into the sector layer, which also
  // gets the header; S_OK or the failed write's result.
  HRESULT WriteFirstSectors();
  HRESULT Load();
  HRESULT Usable() const;
  // Usable(), and STG_E_ACCESSDENIED on a file opened for reading only.
  HRESULT Changeable() const;
  // Starts a changing call. `creates`: the call makes an element; a
  // creation held from the call before is then final on its own.
  void Begin(bool creates);
  // Ends a changing call. On success its changes join the transaction (and
  // with autocommit are committed); `hold`: the call made an element that
  // the caller is about to fill, so that a failure of the next call takes
  // back both. On failure the call is undone.
  HRESULT Finish(HRESULT hr, bool hold = false);
  // Puts the structures' changes into the sector layer and sets the header.
  HRESULT Flush();
  // Undoes the running call; the open is unusable when that fails.
  void Undo();
  // Relinks every storage's tree that another writer left uncoloured,
  // unbalanced or in another order (once per open, at its first change), so
  // that the committed file is valid as a whole.
  void OrderEveryTree();
  HRESULT StreamEntry(uint32_t id, DirEntry* entry);
  HRESULT StreamChain(uint32_t id, const DirEntry& entry, Chain** chain);
  uint32_t UnitSize(uint64_t size) const {
    return IsMini(size) ? kMiniSectorSize : file_->sector_size();
  }
  HRESULT ReadUnit(bool mini, uint32_t unit, uint8_t* out);
  HRESULT WriteUnit(bool mini, uint32_t unit, const uint8_t* data);
  // Rewrites the units of stream data touched by [from, end): old bytes below
  // old_size are kept, `data` covers [pos, pos + n), the rest becomes zero.
  HRESULT FillUnits(Chain* chain, bool mini, uint64_t old_size, uint64_t from, uint64_t end,
                    uint64_t pos, const uint8_t* data, uint64_t n);
  // Moves stream `id` between the mini stream and regular sectors.
  HRESULT Move(uint32_t id, DirEntry* entry, uint64_t new_size);
  HRESULT Resize(uint32_t id, DirEntry* entry, uint64_t new_size);

  // The steps of Check, in order. Each adds to *state what it claims and
  // the problems it finds, and returns a failure only when the structure
  // cannot be walked further.
  struct CheckState;
  // Claims the FAT and DIFAT sectors, each marked as such in the FAT.
  void ClaimTableSectors(CheckState* state);
  // Claims the chains of the directory (its length in sectors into
  // *directory_sectors), the mini FAT and the mini stream, and compares
  // the header's counts and the root entry's size with them. Fails when the
  // directory's chain or the root entry cannot be read.
  HRESULT ClaimStructureChains(CheckState* state, uint64_t* directory_sectors);
  // Walks every storage's tree from the root: each tree valid, each entry
  // reached once, each stream claimed (ClaimStream).
  HRESULT ClaimTreeStreams(CheckState* state);
  // Claims the sectors or mini sectors of stream `id`, whose chain must
  // match its size and whose last unit must be zero past the size.
  void ClaimStream(uint32_t id, const DirEntry& entry, CheckState* state);
  // The FAT and the mini FAT must mark free exactly what nothing claimed.
  HRESULT CheckFreeSectors(CheckState* state);
  // Every entry of the directory's sectors that no tree reached is unused.
  HRESULT CheckUnreachedEntries(uint64_t directory_sectors, CheckState* state);

  std::unique_ptr<SectorFile> file_;
  Header header_;
  std::unique_ptr<Allocator> fat_;
  std::unique_ptr<Directory> dir_;
  std::unique_ptr<MiniAllocator> mini_;
  struct CachedChain {
    bool mini;
    std::unique_ptr<Chain> chain;
  };
  std::map<uint32_t, CachedChain> stream_chains_;
  // The child NextChild returned last; any change forgets it.
  struct Recent {
    bool valid = false;
    uint32_t storage = 0;
    std::u16string name;
    uint32_t id = 0;
  };
  Recent recent_;
  std::vector<uint8_t> unit_;  // scratch, one sector
  Header saved_header_;        // as the running call found it
  std::string path_;
  std::string temporary_;      // a new file's name until its first commit
  bool autocommit_ = false;
  bool read_only_ = false;      // opened with Access::kRead
  bool trees_ordered_ = false;  // OrderEveryTree has run in this open
  HRESULT broken_ = S_OK;
  bool closed_ = false;
  // The exceptions in flight when the object was made; more when it dies
  // means it dies in an unwinding (an allocation failure), and then its
  // changes are dropped instead of committed.
  const int exceptions_at_start_ = std::uncaught_exceptions();
};

}  // namespace cfb
