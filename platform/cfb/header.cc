// Parsing and writing of the compound file header.
#include "platform/cfb/header.h"

#include <cstring>

#include "platform/cfb/format.h"

namespace cfb {

HRESULT Header::Parse(const uint8_t* b) {
  if (memcmp(b, kSignature, sizeof(kSignature)) != 0) return STG_E_FILEALREADYEXISTS;
  minor_version = Get16(b + 0x18);
  major_version = Get16(b + 0x1A);
  if (Get16(b + 0x1C) != 0xFFFE) return STG_E_INVALIDHEADER;
  sector_shift = Get16(b + 0x1E);
  if (!((major_version == 3 && sector_shift == 9) ||
        (major_version == 4 && sector_shift == 12))) {
    return STG_E_INVALIDHEADER;
  }
  if (Get16(b + 0x20) != 6) return STG_E_INVALIDHEADER;
  if (Get32(b + 0x38) != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
  num_dir_sectors = Get32(b + 0x28);
  num_fat_sectors = Get32(b + 0x2C);
  first_dir_sector = Get32(b + 0x30);
  first_minifat_sector = Get32(b + 0x3C);
  num_minifat_sectors = Get32(b + 0x40);
  first_difat_sector = Get32(b + 0x44);
  num_difat_sectors = Get32(b + 0x48);
  GetEntries(b + 0x4C, difat, kHeaderDifatEntries);
  return S_OK;
}

void Header::Serialize(uint8_t* b) const {
  memset(b, 0, kHeaderSize);
  memcpy(b, kSignature, sizeof(kSignature));
  Put16(b + 0x18, 0x003E);  // whatever the file held before
  Put16(b + 0x1A, major_version);
  Put16(b + 0x1C, 0xFFFE);
  Put16(b + 0x1E, sector_shift);
  Put16(b + 0x20, 6);
  Put32(b + 0x28, major_version == 3 ? 0 : num_dir_sectors);
  Put32(b + 0x2C, num_fat_sectors);
  Put32(b + 0x30, first_dir_sector);
  Put32(b + 0x38, kMiniStreamCutoff);
  Put32(b + 0x3C, first_minifat_sector);
  Put32(b + 0x40, num_minifat_sectors);
  Put32(b + 0x44, first_difat_sector);
  Put32(b + 0x48, num_difat_sectors);
  PutEntries(difat, b + 0x4C, kHeaderDifatEntries);
}

}  // namespace cfb
