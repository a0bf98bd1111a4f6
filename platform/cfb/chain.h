// A chain of sectors (or mini sectors) linked through an allocation table,
// resolved lazily as far as it is needed and walked with a bound and a
// visited check, so a cyclic or out-of-range chain is an error, never a hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hresult.h"

namespace cfb {

// An allocation table: the FAT for sectors, the mini FAT for mini sectors.
class ChainLinks {
 public:
  virtual ~ChainLinks() = default;
  // The entry of `id`. REQUIRES: id < Limit().
  virtual HRESULT Next(uint32_t id, uint32_t* next) = 0;
  virtual HRESULT SetNext(uint32_t id, uint32_t next) = 0;
  // A free unit, marked ENDOFCHAIN, lowest free first, else a new one at the
  // end. Its bytes are unspecified: the caller writes all of them.
  virtual HRESULT Allocate(uint32_t* id) = 0;
  // A new unit at the end, never a freed one: chains that are read often
  // grow this way in runs of consecutive units.
  virtual HRESULT AllocateAtEnd(uint32_t* id) { return Allocate(id); }
  virtual HRESULT Free(uint32_t id) = 0;
  // Units that exist: every valid unit number is below it.
  virtual uint32_t Limit() const = 0;
  // The whole table when it is in memory (*size entries), else null: walks
  // then read it directly. Valid until the table changes.
  virtual const uint32_t* Table(size_t* size) const { return nullptr; }
};

class Chain {
 public:
  // start: the first unit, or ENDOFCHAIN for an empty chain.
  Chain(ChainLinks* links, uint32_t start);

  uint32_t start() const { return start_; }

  // The unit at position `index` of the chain. STG_E_DOCFILECORRUPT when the
  // chain is shorter, leads out of range or into a cycle.
  HRESULT UnitAt(uint64_t index, uint32_t* id);
  // Resolves the whole chain.
  HRESULT Length(uint64_t* length);
  // Makes the chain exactly `length` units long, allocating units at its end
  // or freeing its tail. at_end: new units come from the end of the file
  // (AllocateAtEnd), so that they follow each other.
  HRESULT Resize(uint64_t length, bool at_end = false);
  // The units resolved so far, in order.
  const std::vector<uint32_t>& units() const { return units_; }

 private:
  HRESULT ResolveUpTo(uint64_t index);  // stops early at the chain's end
  // Follows the in-memory table from the last unit resolved until `index`
  // is resolved, the chain ends or a unit lies past the table.
  // REQUIRES: units_ not empty, visited_ covers every unit below `limit`.
  HRESULT WalkTable(const uint32_t* table, size_t table_size, uint32_t limit, uint64_t index);
  // Whether `id` is in the chain already; marks it as in the chain.
  bool TestAndMark(uint32_t id);

  ChainLinks* links_;
  uint32_t start_;
  std::vector<uint32_t> units_;
  bool complete_ = false;
  std::vector<uint64_t> visited_;  // bitmap, used once the chain is long
};

}  // namespace cfb
