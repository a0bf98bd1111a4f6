// The directory: the array of 128-byte entries in the directory chain, and
// the red-black tree of each storage's children (by the format's name order).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/cfb/allocator.h"
#include "platform/cfb/chain.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/header.h"
#include "platform/cfb/sector_file.h"

namespace cfb {

// An enumeration's place in one storage. The first NextChild walks the tree
// as stored and keeps what it found (a snapshot): every child once, in the
// tree's order, which is the engine's name order for trees the engine wrote
// and the other writer's for trees it did not. Elements created after the
// first NextChild are not listed; elements destroyed after it are left out.
struct ChildCursor {
  bool started = false;
  std::vector<uint32_t> ids;
  std::vector<std::u16string> names;
  size_t next = 0;
  uint64_t changes = 0;  // Directory::changes_ when the snapshot was taken
};

class Directory {
 public:
  Directory(SectorFile* file, Allocator* fat, Header* header);

  // Reads or replaces entry `id`. STG_E_DOCFILECORRUPT for an entry past the
  // directory's end.
  HRESULT Get(uint32_t id, DirEntry* entry);
  HRESULT Put(uint32_t id, const DirEntry& entry);

  // An unused entry: one released in this session, else one in the last
  // directory sector, else the first of a new sector appended to the chain
  // (earlier unused entries are not searched, so that creating an element
  // costs no pass over the whole directory).
  HRESULT Allocate(uint32_t* id);
  // Makes entry `id` unused.
  HRESULT Release(uint32_t id);

  // Writes changed directory sectors; puts the directory fields into *header.
  HRESULT Flush();

  // The child of `storage` named `name` (any letter case), or NOSTREAM. A
  // search down the tree that misses, in a tree not known to be in the
  // engine's order (another writer sorted it by another comparison), is
  // followed by a walk of the whole tree, so an element that is there is
  // always found.
  HRESULT Find(uint32_t storage, const std::u16string& name, uint32_t* id);
  // Links entry `id` (already written, with its name) into the tree of
  // `storage`; STG_E_FILEALREADYEXISTS when the name is taken. The first
  // change of a storage's tree in an open rebuilds it when it is not a valid
  // red-black tree in the engine's order.
  HRESULT Insert(uint32_t storage, uint32_t id);
  // Unlinks entry `id` from the tree of `storage`.
  HRESULT Remove(uint32_t storage, uint32_t id);
  // The next child of `storage` for an enumeration: *id = NOSTREAM at the
  // end. See ChildCursor.
  HRESULT NextChild(uint32_t storage, ChildCursor* cursor, uint32_t* id);
  // All children of `storage` in the order the tree holds them (in order:
  // left subtree, node, right subtree), each once; STG_E_DOCFILECORRUPT for
  // a tree that loops or reaches an entry twice.
  HRESULT Children(uint32_t storage, std::vector<uint32_t>* ids);

  // Rebuilds the tree of `storage` (balanced, valid, in the engine's order)
  // unless it is known to be in order; a tree that cannot be rebuilt (two
  // names equal under the fold) is left unchanged and the failure returned.
  HRESULT MakeOrdered(uint32_t storage);
  // Checks the tree of `storage`: name order, no red node with a red child,
  // the same number of black nodes on every path, a black root. Appends what
  // is wrong to *problems.
  HRESULT CheckTree(uint32_t storage, std::string* problems);

  Chain* chain() { return &chain_; }
  uint32_t entries_per_sector() const { return eps_; }
  // No entry number reaches this (a bound for walks).
  uint64_t EntryBound() const {
    return static_cast<uint64_t>(file_->sector_count()) * eps_;
  }

 private:
  friend class TreeEdit;
  // Children() that also tells whether the tree is a valid red-black tree
  // (black root, no red node with a red child, one black height) in the
  // engine's name order; `names`, when given, gets the children's names.
  HRESULT Walk(uint32_t storage, std::vector<uint32_t>* ids, bool* in_order,
               std::vector<std::u16string>* names = nullptr);
  // Relinks the children of `storage`, sorted by name, as a balanced, valid
  // red-black tree.
  HRESULT Rebuild(uint32_t storage);
  HRESULT InsertOnce(uint32_t storage, uint32_t id);
  HRESULT RemoveOnce(uint32_t storage, uint32_t id);
  struct Sector {
    std::vector<uint8_t> bytes;
    bool dirty = false;
  };
  HRESULT SectorFor(uint32_t id, Sector** sector);

  SectorFile* file_;
  Header* header_;
  uint32_t eps_;
  Chain chain_;
  std::vector<Sector> sectors_;  // by position in the chain; empty bytes: not read
  size_t loaded_ = 0;            // sectors whose bytes are held
  std::vector<uint64_t> dirty_;                    // positions changed since Flush
  std::vector<uint32_t> free_;                     // released in this session
  // Storages whose trees were found (or made) valid and in the engine's
  // order in this open; the engine's own changes keep them so.
  std::unordered_set<uint32_t> ordered_;
  uint64_t changes_ = 0;  // counts Insert, Remove and Release calls
  bool grown_ = false;
};

}  // namespace cfb
