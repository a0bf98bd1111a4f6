// Directory entries, names and their order.
#include "platform/cfb/dir_entry.h"

#include <cstring>

#include "platform/cfb/format.h"
#include "platform/element_name.h"
#include "platform/upper_case.h"

namespace cfb {

void DirEntry::Parse(const uint8_t* b, uint16_t major_version) {
  uint16_t name_bytes = Get16(b + 0x40);
  uint32_t units = (name_bytes >= 2 && name_bytes <= 64) ? name_bytes / 2 - 1 : 32;
  uint32_t length = 0;
  while (length < units && (b[2 * length] | b[2 * length + 1]) != 0) ++length;
  name.resize(length);
  for (uint32_t i = 0; i < length; ++i) name[i] = static_cast<char16_t>(Get16(b + 2 * i));
  type = b[0x42];
  color = b[0x43];
  left = Get32(b + 0x44);
  right = Get32(b + 0x48);
  child = Get32(b + 0x4C);
  memcpy(clsid, b + 0x50, 16);
  state_bits = Get32(b + 0x60);
  created = Get64(b + 0x64);
  modified = Get64(b + 0x6C);
  start = Get32(b + 0x74);
  size = major_version == 3 ? Get32(b + 0x78) : Get64(b + 0x78);
}

void DirEntry::Serialize(uint8_t* b) const {
  memset(b, 0, kDirEntrySize);
  if (type == kTypeUnused) {
    Put32(b + 0x44, NOSTREAM);
    Put32(b + 0x48, NOSTREAM);
    Put32(b + 0x4C, NOSTREAM);
    return;
  }
  size_t units = name.size() < kMaxNameUnits ? name.size() : kMaxNameUnits;
  for (size_t i = 0; i < units; ++i) Put16(b + 2 * i, name[i]);
  Put16(b + 0x40, static_cast<uint16_t>((units + 1) * 2));
  b[0x42] = type;
  b[0x43] = color;
  Put32(b + 0x44, left);
  Put32(b + 0x48, right);
  Put32(b + 0x4C, child);
  if (type != kTypeStream) {  // streams carry no class, state bits or times
    memcpy(b + 0x50, clsid, 16);
    Put32(b + 0x60, state_bits);
    Put64(b + 0x64, type == kTypeRoot ? 0 : created);
    Put64(b + 0x6C, modified);
  }
  Put32(b + 0x74, start);
  Put64(b + 0x78, size);
}

DirEntry DirEntry::Unused() {
  DirEntry e;
  e.type = kTypeUnused;
  e.color = kRed;
  e.left = e.right = e.child = NOSTREAM;
  e.start = 0;
  return e;
}

int CompareNames(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = platform::UpperCaseChar(a[i]);
    char16_t y = platform::UpperCaseChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

HRESULT ValidateName(const std::u16string& name) {
  return platform::IsValidElementName(name) ? S_OK : STG_E_INVALIDNAME;
}

}  // namespace cfb
