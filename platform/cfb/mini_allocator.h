// The mini FAT and the mini stream: 64-byte mini sectors for streams below
// the 4096-byte cutoff. The mini stream is the root entry's chain of regular
// sectors; its size is the root entry's size, a multiple of 64.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "platform/cfb/allocator.h"
#include "platform/cfb/chain.h"
#include "platform/cfb/header.h"
#include "platform/cfb/sector_file.h"

namespace cfb {

class MiniAllocator : public ChainLinks {
 public:
  // root_start, root_size: the root entry's chain and size.
  MiniAllocator(SectorFile* file, Allocator* fat, Header* header, uint32_t root_start,
                uint64_t root_size);
  ~MiniAllocator() override;

  HRESULT Next(uint32_t id, uint32_t* next) override;
  HRESULT SetNext(uint32_t id, uint32_t next) override;
  HRESULT Allocate(uint32_t* id) override;
  // Marks the mini sector free and zeroes it.
  HRESULT Free(uint32_t id) override;
  uint32_t Limit() const override { return mini_count_; }

  // Reads or writes bytes inside mini sector `id`.
  // REQUIRES: offset + n <= 64, id < Limit().
  HRESULT Read(uint32_t id, uint32_t offset, void* out, uint32_t n);
  HRESULT Write(uint32_t id, uint32_t offset, const void* data, uint32_t n);

  // Writes changed mini FAT sectors; puts the mini FAT fields into *header.
  HRESULT Flush();

  // The root entry's start and size; changed() tells that they moved.
  uint32_t root_start() const { return stream_.start(); }
  uint64_t root_size() const { return stream_size_; }
  bool root_changed() const { return root_changed_; }
  void clear_root_changed() { root_changed_ = false; }

  Chain* minifat_chain() { return &minifat_; }
  Chain* stream_chain() { return &stream_; }

 private:
  HRESULT EnsureLoaded(uint32_t index);
  HRESULT Locate(uint32_t id, uint32_t* sector, uint32_t* offset);
  // Replaces the mini FAT of `length` sectors by one twice as long.
  HRESULT GrowMiniFat(uint64_t length);

  SectorFile* file_;
  Allocator* fat_;
  Header* header_;
  uint32_t epb_;
  Chain minifat_;
  Chain stream_;
  uint64_t stream_size_;
  uint32_t mini_count_;
  std::vector<uint32_t> entries_;  // the mini FAT, valid where loaded_
  std::vector<uint8_t> loaded_;
  std::set<uint32_t> dirty_;
  bool root_changed_ = false;
  uint32_t search_from_ = 0;
  std::vector<uint8_t> sector_;  // scratch
};

}  // namespace cfb
