// A directory entry (128 bytes): one storage, stream or the root, with its
// links in its parent's red-black tree. Also the name rules and the name
// order of the format.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hresult.h"

namespace cfb {

struct DirEntry {
  std::u16string name;
  uint8_t type = 0;   // kTypeUnused, kTypeStorage, kTypeStream or kTypeRoot
  uint8_t color = 1;  // kRed or kBlack
  uint32_t left = 0xFFFFFFFF;
  uint32_t right = 0xFFFFFFFF;
  uint32_t child = 0xFFFFFFFF;
  uint8_t clsid[16] = {};
  uint32_t state_bits = 0;
  uint64_t created = 0;
  uint64_t modified = 0;
  uint32_t start = 0;
  uint64_t size = 0;

  // Decodes 128 bytes. Never fails: a name length that is out of range is
  // read up to its first NUL; the high size word of version 3 is ignored.
  void Parse(const uint8_t* bytes, uint16_t major_version);
  // Encodes 128 bytes; unused entries come out all zero with NOSTREAM links.
  void Serialize(uint8_t* bytes) const;

  static DirEntry Unused();
};

// The format's order of sibling names: shorter first, then unit by unit after
// simple upper-casing (platform::UpperCaseChar, the project's one table).
// <0, 0 or >0.
int CompareNames(const std::u16string& a, const std::u16string& b);

// S_OK for a name that may be created or looked up
// (platform::IsValidElementName), STG_E_INVALIDNAME otherwise.
HRESULT ValidateName(const std::u16string& name);

}  // namespace cfb
