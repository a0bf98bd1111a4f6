// The directory: the array of 128-byte entries in the directory chain, and
// the red-black tree of each storage's children (by the format's name order).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/cfb/allocator.h"
#include "platform/cfb/chain.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/header.h"
#include "platform/cfb/sector_file.h"

namespace cfb {

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

  // The child of `storage` named `name` (any letter case), or NOSTREAM.
  HRESULT Find(uint32_t storage, const std::u16string& name, uint32_t* id);
  // Links entry `id` (already written, with its name) into the tree of
  // `storage`; STG_E_FILEALREADYEXISTS when the name is taken.
  HRESULT Insert(uint32_t storage, uint32_t id);
  // Unlinks entry `id` from the tree of `storage`.
  HRESULT Remove(uint32_t storage, uint32_t id);
  // The first child of `storage` whose name sorts after `*after` (the first
  // child at all when after is null), or NOSTREAM.
  HRESULT FirstAfter(uint32_t storage, const std::u16string* after, uint32_t* id);
  // All children of `storage` in name order.
  HRESULT Children(uint32_t storage, std::vector<uint32_t>* ids);

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
  // S_FALSE (when may_rebuild) if the path shows the tree is not a valid
  // red-black tree; nothing is changed then.
  HRESULT InsertOnce(uint32_t storage, uint32_t id, bool may_rebuild);
  HRESULT RemoveOnce(uint32_t storage, uint32_t id, bool may_rebuild);
  // Relinks the children of `storage` as a balanced, valid red-black tree.
  HRESULT Rebuild(uint32_t storage);
  uint64_t MaxValidDepth() const;
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
  bool grown_ = false;
};

}  // namespace cfb
