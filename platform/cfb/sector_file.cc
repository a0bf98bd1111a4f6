// Sector reads and writes of the engine.
#include "platform/cfb/sector_file.h"

#include <errno.h>

#include <cstring>

#include "platform/cfb/format.h"

namespace cfb {

SectorFile::SectorFile(std::unique_ptr<platform::File> file, uint32_t sector_size,
                       uint32_t sector_count)
    : file_(std::move(file)),
      sector_size_(sector_size),
      shift_(sector_size == 4096 ? 12 : 9),
      sector_count_(sector_count) {}

HRESULT SectorFile::WriteError(int error) {
  return (error == ENOSPC || error == EFBIG || error == EDQUOT) ? STG_E_MEDIUMFULL
                                                                : STG_E_WRITEFAULT;
}

HRESULT SectorFile::Read(uint32_t id, uint32_t offset, void* out, uint32_t n) {
  if (id >= sector_count_ || offset > sector_size_ || n > sector_size_ - offset) {
    return STG_E_DOCFILECORRUPT;
  }
  size_t got = 0;
  if (file_->ReadAt(OffsetOf(id) + offset, out, n, &got) != 0) return STG_E_READFAULT;
  if (got < n) memset(static_cast<uint8_t*>(out) + got, 0, n - got);
  return S_OK;
}

HRESULT SectorFile::WriteSector(uint32_t id, const uint8_t* data) {
  if (id >= sector_count_) return STG_E_WRITEFAULT;
  int error = file_->WriteAt(OffsetOf(id), data, sector_size_);
  return error == 0 ? S_OK : WriteError(error);
}

HRESULT SectorFile::WriteHeader(const uint8_t* header512) {
  std::vector<uint8_t> sector(sector_size_, 0);
  memcpy(sector.data(), header512, kHeaderSize);
  int error = file_->WriteAt(0, sector.data(), sector.size());
  return error == 0 ? S_OK : WriteError(error);
}

HRESULT SectorFile::Sync() {
  return file_->Sync() == 0 ? S_OK : STG_E_WRITEFAULT;
}

}  // namespace cfb
