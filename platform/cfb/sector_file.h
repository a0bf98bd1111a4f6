// The one layer through which the engine reads and writes its file: whole
// sectors and the header, at their places in the file. Every byte the engine
// writes passes through WriteSector or WriteHeader, so that a rollback
// journal can save the original sectors here before they are overwritten.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/file.h"
#include "platform/hresult.h"

namespace cfb {

class SectorFile {
 public:
  // REQUIRES: file is open for reading and writing; sector_size 512 or 4096.
  // sector_count: the sectors the file holds (a short last sector counts).
  SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
             uint32_t sector_count);

  uint32_t sector_size() const { return sector_size_; }
  // Sectors that exist, in the file or allocated in this session.
  uint32_t sector_count() const { return sector_count_; }
  // Makes sector `count - 1` exist; its bytes are unspecified until written.
  void GrowTo(uint32_t count) {
    if (count > sector_count_) sector_count_ = count;
  }

  // Reads `n` bytes at `offset` inside sector `id`. Bytes past the end of the
  // file read as zero (a short last sector). STG_E_DOCFILECORRUPT for a
  // sector that does not exist, STG_E_READFAULT when reading fails.
  HRESULT Read(uint32_t id, uint32_t offset, void* out, uint32_t n);
  HRESULT ReadSector(uint32_t id, uint8_t* out) { return Read(id, 0, out, sector_size_); }

  // Writes a whole sector. STG_E_MEDIUMFULL or STG_E_WRITEFAULT on failure.
  // REQUIRES: id < sector_count().
  HRESULT WriteSector(uint32_t id, const uint8_t* data);
  // Writes the header sector (512 bytes, and zeros up to a 4096-byte sector).
  HRESULT WriteHeader(const uint8_t* header512);

  HRESULT Sync();
  platform::File* file() { return file_.get(); }

  static HRESULT WriteError(int error);

 private:
  uint64_t OffsetOf(uint32_t id) const {
    return (static_cast<uint64_t>(id) + 1) << shift_;
  }

  std::unique_ptr<platform::File> file_;
  uint32_t sector_size_;
  uint32_t shift_;
  uint32_t sector_count_;
};

}  // namespace cfb
