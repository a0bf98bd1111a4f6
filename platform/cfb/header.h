// The compound file header: the first 512 bytes of the file.
#pragma once

#include <cstdint>

#include "platform/hresult.h"

namespace cfb {

struct Header {
  uint16_t minor_version = 0x003E;
  uint16_t major_version = 3;
  uint16_t sector_shift = 9;
  uint32_t num_dir_sectors = 0;  // version 4 only; 0 in version 3
  uint32_t num_fat_sectors = 0;
  uint32_t first_dir_sector = 0;
  uint32_t first_minifat_sector = 0;
  uint32_t num_minifat_sectors = 0;
  uint32_t first_difat_sector = 0;
  uint32_t num_difat_sectors = 0;
  uint32_t difat[109] = {};

  uint32_t sector_size() const { return 1u << sector_shift; }

  // Reads the 512 header bytes. Returns STG_E_FILEALREADYEXISTS when the
  // signature is not there, STG_E_INVALIDHEADER for fields this engine cannot
  // work with (version, byte order, sector sizes, cutoff). Fields that other
  // writers fill loosely (minor version, reserved bytes, the directory sector
  // count of version 3) are not checked.
  HRESULT Parse(const uint8_t* bytes);

  // Writes the 512 header bytes, with every reserved field zero.
  void Serialize(uint8_t* bytes) const;
};

}  // namespace cfb
