// The directory and its red-black trees.
#include "platform/cfb/directory.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kMaxCachedSectors = 4096;
}  // namespace

Directory::Directory(SectorFile* file, Allocator* fat, Header* header)
    : file_(file),
      header_(header),
      eps_(file->sector_size() / kDirEntrySize),
      chain_(fat, header->first_dir_sector) {}

HRESULT Directory::SectorFor(uint32_t id, Sector** sector) {
  uint64_t position = id / eps_;
  if (position < sectors_.size() && !sectors_[position].bytes.empty()) {
    *sector = &sectors_[position];
    return S_OK;
  }
  if (loaded_ >= kMaxCachedSectors) {
    for (Sector& cached : sectors_) {
      if (!cached.dirty && !cached.bytes.empty()) {
        std::vector<uint8_t>().swap(cached.bytes);
        --loaded_;
      }
    }
  }
  uint32_t at;
  HRESULT hr = chain_.UnitAt(position, &at);  // the chain bounds the position
  if (FAILED(hr)) return hr;
  if (position >= sectors_.size()) sectors_.resize(position + 1);
  Sector& loaded = sectors_[position];
  loaded.bytes.resize(file_->sector_size());
  hr = file_->ReadSector(at, loaded.bytes.data());
  if (FAILED(hr)) {
    std::vector<uint8_t>().swap(loaded.bytes);
    return hr;
  }
  ++loaded_;
  *sector = &loaded;
  return S_OK;
}

HRESULT Directory::Get(uint32_t id, DirEntry* entry) {
  if (id > MAXREGSID) return STG_E_DOCFILECORRUPT;
  Sector* sector;
  HRESULT hr = SectorFor(id, &sector);
  if (FAILED(hr)) return hr;
  entry->Parse(sector->bytes.data() + (id % eps_) * kDirEntrySize, header_->major_version);
  return S_OK;
}

HRESULT Directory::Put(uint32_t id, const DirEntry& entry) {
  if (id > MAXREGSID) return STG_E_DOCFILECORRUPT;
  Sector* sector;
  HRESULT hr = SectorFor(id, &sector);
  if (FAILED(hr)) return hr;
  entry.Serialize(sector->bytes.data() + (id % eps_) * kDirEntrySize);
  if (!sector->dirty) {
    sector->dirty = true;
    dirty_.push_back(id / eps_);
  }
  return S_OK;
}

HRESULT Directory::Allocate(uint32_t* id) {
  if (!free_.empty()) {
    *id = free_.back();
    free_.pop_back();
    return S_OK;
  }
  uint64_t length;
  HRESULT hr = chain_.Length(&length);
  if (FAILED(hr)) return hr;
  if (length > 0) {
    Sector* sector;
    uint64_t first = (length - 1) * eps_;
    if (first > MAXREGSID) return STG_E_MEDIUMFULL;
    hr = SectorFor(static_cast<uint32_t>(first), &sector);
    if (FAILED(hr)) return hr;
    for (uint32_t i = 0; i < eps_; ++i) {
      if (sector->bytes[i * kDirEntrySize + 0x42] == kTypeUnused && first + i <= MAXREGSID) {
        *id = static_cast<uint32_t>(first + i);
        return S_OK;
      }
    }
  }
  if (length * eps_ > MAXREGSID) return STG_E_MEDIUMFULL;
  hr = chain_.Resize(length + 1);
  if (FAILED(hr)) return hr;
  Sector fresh;
  fresh.bytes.resize(file_->sector_size());
  DirEntry unused = DirEntry::Unused();
  for (uint32_t i = 0; i < eps_; ++i) unused.Serialize(fresh.bytes.data() + i * kDirEntrySize);
  fresh.dirty = true;
  if (length >= sectors_.size()) sectors_.resize(length + 1);
  if (sectors_[length].bytes.empty()) ++loaded_;
  sectors_[length] = std::move(fresh);
  dirty_.push_back(length);
  grown_ = true;
  *id = static_cast<uint32_t>(length * eps_);
  return S_OK;
}

HRESULT Directory::Release(uint32_t id) {
  ++changes_;
  ordered_.erase(id);  // a storage's tree goes with it
  HRESULT hr = Put(id, DirEntry::Unused());
  if (FAILED(hr)) return hr;
  free_.push_back(id);
  return S_OK;
}

HRESULT Directory::Flush() {
  // Only the sectors changed since the last flush, not the whole cache: the
  // cache lives as long as the transaction.
  for (uint64_t position : dirty_) {
    Sector& sector = sectors_[position];
    uint32_t at;
    HRESULT hr = chain_.UnitAt(position, &at);
    if (FAILED(hr)) return hr;
    hr = file_->WriteSector(at, sector.bytes.data());
    if (FAILED(hr)) return hr;
    sector.dirty = false;
  }
  dirty_.clear();
  if (header_->major_version == 4) {  // recomputed: other writers leave it stale
    uint64_t length;
    HRESULT hr = chain_.Length(&length);
    if (FAILED(hr)) return hr;
    header_->num_dir_sectors = static_cast<uint32_t>(length);
  }
  grown_ = false;
  return S_OK;
}

// Nodes of one storage's tree, loaded once, changed in memory and written
// back together by Commit. A failed load is remembered; Commit then writes
// nothing and returns the failure.
class TreeEdit {
 public:
  TreeEdit(Directory* dir, uint32_t storage) : dir_(dir), storage_(storage) {
    dummy_.color = kBlack;
  }

  DirEntry& N(uint32_t id) {
    auto it = nodes_.find(id);
    if (it != nodes_.end()) return it->second;
    if (FAILED(error_)) return dummy_;
    DirEntry entry;
    HRESULT hr = id == NOSTREAM ? STG_E_DOCFILECORRUPT : dir_->Get(id, &entry);
    if (FAILED(hr)) {
      error_ = hr;
      return dummy_;
    }
    if (id != storage_ && entry.type != kTypeStorage && entry.type != kTypeStream) {
      error_ = STG_E_DOCFILECORRUPT;  // a link to an unused entry or the root
      return dummy_;
    }
    return nodes_[id] = entry;
  }
  uint32_t Root() { return N(storage_).child; }
  uint8_t Color(uint32_t id) { return id == NOSTREAM ? kBlack : N(id).color; }
  void SetColor(uint32_t id, uint8_t color) {
    if (id == NOSTREAM || N(id).color == color) return;
    N(id).color = color;
    dirty_.insert(id);
  }
  void SetLeft(uint32_t id, uint32_t to) {
    N(id).left = to;
    dirty_.insert(id);
  }
  void SetRight(uint32_t id, uint32_t to) {
    N(id).right = to;
    dirty_.insert(id);
  }
  // Puts `to` where `from` hung below `parent` (NOSTREAM: the tree's root).
  void Replace(uint32_t parent, uint32_t from, uint32_t to) {
    if (parent == NOSTREAM) {
      N(storage_).child = to;
      dirty_.insert(storage_);
    } else if (N(parent).left == from) {
      SetLeft(parent, to);
    } else {
      SetRight(parent, to);
    }
  }
  void RotateLeft(uint32_t x, uint32_t parent) {
    uint32_t y = N(x).right;
    SetRight(x, N(y).left);
    SetLeft(y, x);
    Replace(parent, x, y);
  }
  void RotateRight(uint32_t x, uint32_t parent) {
    uint32_t y = N(x).left;
    SetLeft(x, N(y).right);
    SetRight(y, x);
    Replace(parent, x, y);
  }
  HRESULT Commit() {
    if (FAILED(error_)) return error_;
    for (uint32_t id : dirty_) {
      HRESULT hr = dir_->Put(id, nodes_[id]);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  HRESULT error() const { return error_; }

 private:
  Directory* dir_;
  uint32_t storage_;
  std::map<uint32_t, DirEntry> nodes_;
  std::set<uint32_t> dirty_;
  DirEntry dummy_;
  HRESULT error_ = S_OK;
};

HRESULT Directory::Find(uint32_t storage, const std::u16string& name, uint32_t* id) {
  // A walk that changes nothing reads the entries straight, into one buffer.
  DirEntry node;
  HRESULT hr = Get(storage, &node);
  if (FAILED(hr)) return hr;
  uint32_t cur = node.child;
  uint64_t steps = 0;
  while (cur != NOSTREAM) {
    if (++steps > EntryBound()) return STG_E_DOCFILECORRUPT;  // a cycle
    hr = Get(cur, &node);
    if (FAILED(hr)) return hr;
    if (node.type != kTypeStorage && node.type != kTypeStream) return STG_E_DOCFILECORRUPT;
    int cmp = CompareNames(name, node.name);
    if (cmp == 0) break;
    cur = cmp < 0 ? node.left : node.right;
  }
  *id = cur;
  if (cur != NOSTREAM || ordered_.count(storage)) return S_OK;
  // Missed in a tree that may be sorted another way: look at every child.
  std::vector<uint32_t> ids;
  bool in_order;
  hr = Walk(storage, &ids, &in_order);
  if (FAILED(hr)) return hr;
  if (in_order) {
    ordered_.insert(storage);
    return S_OK;
  }
  for (uint32_t child : ids) {
    hr = Get(child, &node);
    if (FAILED(hr)) return hr;
    if (CompareNames(name, node.name) == 0) {
      *id = child;
      break;
    }
  }
  return S_OK;
}

HRESULT Directory::NextChild(uint32_t storage, ChildCursor* cursor, uint32_t* id) {
  if (!cursor->started) {
    HRESULT hr = Walk(storage, &cursor->ids, nullptr, &cursor->names);
    if (FAILED(hr)) return hr;
    cursor->next = 0;
    cursor->changes = changes_;
    cursor->started = true;
  }
  while (cursor->next < cursor->ids.size()) {
    uint32_t candidate = cursor->ids[cursor->next];
    const std::u16string& name = cursor->names[cursor->next];
    ++cursor->next;
    if (changes_ != cursor->changes) {
      // Something was created or destroyed since the snapshot: list only
      // what is still there.
      uint32_t found;
      HRESULT hr = Find(storage, name, &found);
      if (FAILED(hr)) return hr;
      if (found != candidate) continue;
    }
    *id = candidate;
    return S_OK;
  }
  *id = NOSTREAM;
  return S_OK;
}

HRESULT Directory::Children(uint32_t storage, std::vector<uint32_t>* ids) {
  return Walk(storage, ids, nullptr);
}

HRESULT Directory::Walk(uint32_t storage, std::vector<uint32_t>* ids, bool* in_order,
                        std::vector<std::u16string>* names) {
  // In order, without recursion: the stack holds the nodes whose left
  // subtree is being walked. Every entry may be reached once, so the walk
  // ends after at most as many steps as the directory has entries. Entries
  // are read straight into one buffer: a walk changes nothing.
  ids->clear();
  if (names != nullptr) names->clear();
  std::unordered_set<uint32_t> seen;
  struct Frame {
    uint32_t id;
    uint32_t right;
    uint32_t blacks;  // black nodes from the root down to this one
    bool red;
  };
  std::vector<Frame> stack;
  DirEntry node;
  HRESULT hr = Get(storage, &node);
  if (FAILED(hr)) return hr;
  const uint32_t root = node.child;
  bool valid = true;
  bool leaf_seen = false;
  uint32_t leaf_blacks = 0;  // black nodes on every path to a leaf
  // Pushes `id` and its left spine. S_FALSE for a cycle, a shared node or
  // a link to an entry that is neither a storage nor a stream.
  auto descend = [&](uint32_t id, uint32_t blacks, bool parent_red) -> HRESULT {
    for (;;) {
      if (id == NOSTREAM) {
        if (!leaf_seen) leaf_blacks = blacks;
        if (leaf_blacks != blacks) valid = false;
        leaf_seen = true;
        return S_OK;
      }
      if (!seen.insert(id).second) return S_FALSE;
      HRESULT got = Get(id, &node);
      if (FAILED(got)) return got;
      if (node.type != kTypeStorage && node.type != kTypeStream) return S_FALSE;
      bool red = node.color != kBlack;
      if (node.color != kRed && node.color != kBlack) valid = false;
      if (red && (parent_red || id == root)) valid = false;
      blacks += red ? 0 : 1;
      stack.push_back({id, node.right, blacks, red});
      id = node.left;
      parent_red = red;
    }
  };
  hr = descend(root, 0, false);
  std::u16string previous;
  while (hr == S_OK && !stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    ids->push_back(frame.id);
    hr = Get(frame.id, &node);
    if (FAILED(hr)) return hr;
    if (ids->size() > 1 && CompareNames(previous, node.name) >= 0) valid = false;
    previous = node.name;
    if (names != nullptr) names->push_back(node.name);
    hr = descend(frame.right, frame.blacks, frame.red);
  }
  if (hr == S_FALSE) return STG_E_DOCFILECORRUPT;
  if (FAILED(hr)) return hr;
  if (in_order != nullptr) *in_order = valid;
  return S_OK;
}

HRESULT Directory::MakeOrdered(uint32_t storage) {
  if (ordered_.count(storage)) return S_OK;
  std::vector<uint32_t> ids;
  bool in_order;
  HRESULT hr = Walk(storage, &ids, &in_order);
  if (FAILED(hr)) return hr;
  // Another writer's tree: uncoloured, unbalanced, or sorted by another
  // comparison. Relinked once; the engine's own changes keep it valid.
  if (!in_order) hr = Rebuild(storage);
  if (FAILED(hr)) return hr;
  ordered_.insert(storage);
  return S_OK;
}

HRESULT Directory::Insert(uint32_t storage, uint32_t id) {
  ++changes_;
  HRESULT hr = MakeOrdered(storage);
  if (FAILED(hr)) return hr;
  return InsertOnce(storage, id);
}

HRESULT Directory::InsertOnce(uint32_t storage, uint32_t id) {
  TreeEdit t(this, storage);
  const std::u16string name = t.N(id).name;
  std::vector<uint32_t> path;
  uint32_t cur = t.Root();
  while (cur != NOSTREAM && SUCCEEDED(t.error())) {
    if (path.size() > EntryBound()) return STG_E_DOCFILECORRUPT;
    path.push_back(cur);
    int cmp = CompareNames(name, t.N(cur).name);
    if (cmp == 0) return STG_E_FILEALREADYEXISTS;
    cur = cmp < 0 ? t.N(cur).left : t.N(cur).right;
  }
  if (FAILED(t.error())) return t.error();
  t.SetLeft(id, NOSTREAM);
  t.SetRight(id, NOSTREAM);
  t.N(id).color = kBlack;
  t.SetColor(id, kRed);
  if (path.empty()) {
    t.Replace(NOSTREAM, NOSTREAM, id);
  } else if (CompareNames(name, t.N(path.back()).name) < 0) {
    t.SetLeft(path.back(), id);
  } else {
    t.SetRight(path.back(), id);
  }
  // Restore the red-black rules from the new red node upwards.
  uint32_t x = id;
  for (;;) {
    if (path.empty()) {
      t.SetColor(x, kBlack);
      break;
    }
    uint32_t p = path.back();
    if (t.Color(p) == kBlack) break;
    if (path.size() == 1) {
      t.SetColor(p, kBlack);
      break;
    }
    uint32_t g = path[path.size() - 2];
    uint32_t gg = path.size() >= 3 ? path[path.size() - 3] : NOSTREAM;
    bool p_is_left = t.N(g).left == p;
    uint32_t uncle = p_is_left ? t.N(g).right : t.N(g).left;
    if (t.Color(uncle) == kRed) {
      t.SetColor(p, kBlack);
      t.SetColor(uncle, kBlack);
      t.SetColor(g, kRed);
      x = g;
      path.resize(path.size() - 2);
      continue;
    }
    if (p_is_left) {
      if (t.N(p).right == x) {
        t.RotateLeft(p, g);
        p = x;
      }
      t.RotateRight(g, gg);
    } else {
      if (t.N(p).left == x) {
        t.RotateRight(p, g);
        p = x;
      }
      t.RotateLeft(g, gg);
    }
    t.SetColor(p, kBlack);
    t.SetColor(g, kRed);
    break;
  }
  return t.Commit();
}

HRESULT Directory::Remove(uint32_t storage, uint32_t id) {
  ++changes_;
  HRESULT hr = MakeOrdered(storage);
  if (FAILED(hr)) return hr;
  return RemoveOnce(storage, id);
}

HRESULT Directory::Rebuild(uint32_t storage) {
  std::vector<uint32_t> sorted;
  HRESULT hr = Children(storage, &sorted);
  if (FAILED(hr)) return hr;
  TreeEdit t(this, storage);
  for (uint32_t id : sorted) t.N(id);  // loaded before sorting by name
  if (FAILED(t.error())) return t.error();
  std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
    return CompareNames(t.N(a).name, t.N(b).name) < 0;
  });
  for (size_t i = 1; i < sorted.size(); ++i) {
    if (CompareNames(t.N(sorted[i - 1]).name, t.N(sorted[i]).name) == 0) {
      return STG_E_DOCFILECORRUPT;  // two siblings of one name
    }
  }
  // Split at the middle: leaves end up on the last two levels; the nodes
  // below the last full level are red, all others black.
  int full_levels = 0;
  while ((uint64_t{1} << (full_levels + 1)) - 1 <= sorted.size()) ++full_levels;
  struct Range {
    size_t low, high;  // [low, high)
    int depth;
    uint32_t parent;
    bool left;
  };
  std::vector<Range> stack{{0, sorted.size(), 0, NOSTREAM, false}};
  while (!stack.empty() && SUCCEEDED(t.error())) {
    Range r = stack.back();
    stack.pop_back();
    uint32_t node = NOSTREAM;
    if (r.low < r.high) {
      size_t mid = r.low + (r.high - r.low) / 2;
      node = sorted[mid];
      t.SetLeft(node, NOSTREAM);
      t.SetRight(node, NOSTREAM);
      t.N(node).color = r.depth >= full_levels ? kBlack : kRed;  // forces a write
      t.SetColor(node, r.depth >= full_levels ? kRed : kBlack);
      stack.push_back({r.low, mid, r.depth + 1, node, true});
      stack.push_back({mid + 1, r.high, r.depth + 1, node, false});
    }
    if (r.parent == NOSTREAM) {
      t.Replace(NOSTREAM, NOSTREAM, node);
    } else if (r.left) {
      t.SetLeft(r.parent, node);
    } else {
      t.SetRight(r.parent, node);
    }
  }
  return t.Commit();
}

HRESULT Directory::RemoveOnce(uint32_t storage, uint32_t id) {
  TreeEdit t(this, storage);
  const std::u16string name = t.N(id).name;
  std::vector<uint32_t> path;  // ancestors of the node being removed
  uint32_t cur = t.Root();
  while (SUCCEEDED(t.error())) {
    if (cur == NOSTREAM || path.size() > EntryBound()) return STG_E_DOCFILECORRUPT;
    int cmp = CompareNames(name, t.N(cur).name);
    if (cmp == 0) {
      if (cur != id) return STG_E_DOCFILECORRUPT;  // two siblings of one name
      break;
    }
    path.push_back(cur);
    cur = cmp < 0 ? t.N(cur).left : t.N(cur).right;
  }
  if (FAILED(t.error())) return t.error();

  const uint32_t z = id;
  if (t.N(z).left != NOSTREAM && t.N(z).right != NOSTREAM) {
    // Swap z with its successor y (the leftmost node of its right subtree),
    // links and colours, so that z has at most one child.
    uint32_t zp = path.empty() ? NOSTREAM : path.back();
    size_t z_at = path.size();
    path.push_back(z);
    uint32_t y = t.N(z).right;
    while (t.N(y).left != NOSTREAM && SUCCEEDED(t.error())) {
      if (path.size() > EntryBound()) return STG_E_DOCFILECORRUPT;
      path.push_back(y);
      y = t.N(y).left;
    }
    uint32_t yp = path.back();
    uint8_t z_color = t.Color(z);
    t.SetColor(z, t.Color(y));
    t.SetColor(y, z_color);
    uint32_t z_left = t.N(z).left;
    uint32_t z_right = t.N(z).right;
    uint32_t y_right = t.N(y).right;
    t.SetLeft(y, z_left);
    t.SetLeft(z, NOSTREAM);
    if (yp == z) {
      t.SetRight(y, z);
      t.SetRight(z, y_right);
    } else {
      t.SetRight(y, z_right);
      t.SetRight(z, y_right);
      t.SetLeft(yp, z);
    }
    t.Replace(zp, z, y);
    path[z_at] = y;
  }

  uint32_t child = t.N(z).left != NOSTREAM ? t.N(z).left : t.N(z).right;
  uint32_t parent = path.empty() ? NOSTREAM : path.back();
  bool x_is_left = parent != NOSTREAM && t.N(parent).left == z;
  t.Replace(parent, z, child);
  uint8_t removed_color = t.Color(z);
  t.SetLeft(z, NOSTREAM);
  t.SetRight(z, NOSTREAM);

  if (removed_color == kBlack) {
    uint32_t x = child;
    // x carries an extra black; push it up until it can be absorbed. The
    // cases are written once for x on the left of its parent; `x_side` is
    // x's side and `w_side` its sibling w's, so that x on the right mirrors them.
    enum Side { kLeftSide, kRightSide };
    auto child_of = [&t](uint32_t n, Side side) {
      return side == kLeftSide ? t.N(n).left : t.N(n).right;
    };
    // Turns n down to the `side`: its child of the other side takes its place.
    auto rotate = [&t](uint32_t n, uint32_t n_parent, Side side) {
      if (side == kLeftSide) {
        t.RotateLeft(n, n_parent);
      } else {
        t.RotateRight(n, n_parent);
      }
    };
    while (t.Color(x) == kBlack && !path.empty() && SUCCEEDED(t.error())) {
      uint32_t p = path.back();
      uint32_t gp = path.size() >= 2 ? path[path.size() - 2] : NOSTREAM;
      const Side x_side = x_is_left ? kLeftSide : kRightSide;
      const Side w_side = x_is_left ? kRightSide : kLeftSide;
      uint32_t w = child_of(p, w_side);
      if (w == NOSTREAM) break;  // only in a tree that was not valid before
      if (t.Color(w) == kRed) {
        t.SetColor(w, kBlack);
        t.SetColor(p, kRed);
        rotate(p, gp, x_side);
        path.back() = w;
        path.push_back(p);
        gp = w;
        w = child_of(p, w_side);
        if (w == NOSTREAM) break;
      }
      if (t.Color(child_of(w, x_side)) == kBlack && t.Color(child_of(w, w_side)) == kBlack) {
        t.SetColor(w, kRed);
        x = p;
        path.pop_back();
        if (!path.empty()) x_is_left = t.N(path.back()).left == x;
        continue;
      }
      if (t.Color(child_of(w, w_side)) == kBlack) {
        t.SetColor(child_of(w, x_side), kBlack);
        t.SetColor(w, kRed);
        rotate(w, p, w_side);
        w = child_of(p, w_side);
      }
      t.SetColor(w, t.Color(p));
      t.SetColor(p, kBlack);
      t.SetColor(child_of(w, w_side), kBlack);
      rotate(p, gp, x_side);
      x = NOSTREAM;
      break;
    }
    t.SetColor(x, kBlack);
  }
  uint32_t root = t.Root();
  t.SetColor(root, kBlack);
  return t.Commit();
}

namespace {

struct TreeChecker {
  TreeEdit* t;
  std::string* problems;
  std::string prefix;
  std::unordered_set<uint32_t> seen;

  // Returns the black height of the subtree, or -1 after reporting.
  int Check(uint32_t id, const std::u16string* low, const std::u16string* high, int depth) {
    if (id == NOSTREAM) return 1;
    if (depth > 128 || !seen.insert(id).second) {
      *problems += prefix + "too deep or cyclic at entry " + std::to_string(id) + "\n";
      return -1;
    }
    const DirEntry node = t->N(id);
    if (FAILED(t->error())) return -1;
    if ((low && CompareNames(node.name, *low) <= 0) ||
        (high && CompareNames(node.name, *high) >= 0)) {
      *problems += prefix + "entry " + std::to_string(id) + " out of name order\n";
    }
    if (node.color == kRed && (t->Color(node.left) == kRed || t->Color(node.right) == kRed)) {
      *problems += prefix + "red entry " + std::to_string(id) + " has a red child\n";
    }
    int left = Check(node.left, low, &node.name, depth + 1);
    int right = Check(node.right, &node.name, high, depth + 1);
    if (left < 0 || right < 0) return -1;
    if (left != right) {
      *problems += prefix + "black heights differ below entry " + std::to_string(id) + "\n";
      return -1;
    }
    return left + (node.color == kBlack ? 1 : 0);
  }
};

}  // namespace

HRESULT Directory::CheckTree(uint32_t storage, std::string* problems) {
  TreeEdit t(this, storage);
  uint32_t root = t.Root();
  if (root != NOSTREAM && t.Color(root) != kBlack) {
    *problems += "tree of entry " + std::to_string(storage) + ": red root\n";
  }
  TreeChecker checker{&t, problems, "tree of entry " + std::to_string(storage) + ": ", {}};
  checker.Check(root, nullptr, nullptr, 0);
  return t.error();
}

}  // namespace cfb
