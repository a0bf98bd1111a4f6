// Directory entries, names and their order.
#include "platform/cfb/dir_entry.h"

#include <cstring>

#include "platform/cfb/format.h"

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

namespace {

// Ranges where upper and lower case alternate: even units upper case
// (or odd, for the ranges flagged odd_upper).
struct PairRange {
  char16_t first, last;
  bool odd_upper;
};
constexpr PairRange kPairRanges[] = {
    {0x0100, 0x012F, false}, {0x0132, 0x0137, false}, {0x0139, 0x0148, true},
    {0x014A, 0x0177, false}, {0x0179, 0x017E, true},  {0x0182, 0x0185, false},
    {0x01A0, 0x01A5, false}, {0x01CD, 0x01DC, true},  {0x01DE, 0x01EF, false},
    {0x01F8, 0x021F, false}, {0x0222, 0x0233, false}, {0x0246, 0x024F, false},
    {0x03D8, 0x03EF, false}, {0x0460, 0x0481, false}, {0x048A, 0x04BF, false},
    {0x04C1, 0x04CE, true},  {0x04D0, 0x052F, false}, {0x1E00, 0x1E95, false},
    {0x1EA0, 0x1EFF, false}, {0x2C80, 0x2CE3, false}, {0xA640, 0xA66D, false},
    {0xA680, 0xA69B, false}, {0xA722, 0xA72F, false}, {0xA732, 0xA76F, false},
    {0xA77E, 0xA787, false}, {0xA790, 0xA793, false}, {0xA796, 0xA7A9, false},
};

// Ranges shifted by a fixed offset to reach upper case.
struct ShiftRange {
  char16_t first, last;
  int delta;
};
constexpr ShiftRange kShiftRanges[] = {
    {0x0061, 0x007A, -32},   {0x00E0, 0x00F6, -32},  {0x00F8, 0x00FE, -32},
    {0x03B1, 0x03C1, -32},   {0x03C3, 0x03CB, -32},  {0x03AD, 0x03AF, -37},
    {0x03CD, 0x03CE, -63},   {0x0430, 0x044F, -32},  {0x0450, 0x045F, -80},
    {0x0561, 0x0586, -48},   {0x1F00, 0x1F07, 8},    {0x1F10, 0x1F15, 8},
    {0x1F20, 0x1F27, 8},     {0x1F30, 0x1F37, 8},    {0x1F40, 0x1F45, 8},
    {0x1F60, 0x1F67, 8},     {0x2170, 0x217F, -16},  {0x24D0, 0x24E9, -26},
    {0x2C30, 0x2C5E, -48},   {0x2D00, 0x2D25, -7264}, {0xFF41, 0xFF5A, -32},
};

struct SinglePair {
  char16_t lower, upper;
};
constexpr SinglePair kSingles[] = {
    {0x00B5, 0x039C}, {0x00FF, 0x0178}, {0x0131, 0x0049}, {0x017F, 0x0053},
    {0x0188, 0x0187}, {0x018C, 0x018B}, {0x0192, 0x0191}, {0x0199, 0x0198},
    {0x01A8, 0x01A7}, {0x01AD, 0x01AC}, {0x01B0, 0x01AF}, {0x01B4, 0x01B3},
    {0x01B6, 0x01B5}, {0x01B9, 0x01B8}, {0x01BD, 0x01BC}, {0x01C6, 0x01C4},
    {0x01C9, 0x01C7}, {0x01CC, 0x01CA}, {0x01F3, 0x01F1}, {0x01F5, 0x01F4},
    {0x03AC, 0x0386}, {0x03C2, 0x03A3}, {0x03CC, 0x038C}, {0x1F51, 0x1F59},
    {0x1F53, 0x1F5B}, {0x1F55, 0x1F5D}, {0x1F57, 0x1F5F},
};

}  // namespace

char16_t UpperCase(char16_t c) {
  if (c < 0x61) return c;
  if (c <= 0x7A) return static_cast<char16_t>(c - 32);
  if (c < 0xB5) return c;
  for (const ShiftRange& r : kShiftRanges) {
    if (c >= r.first && c <= r.last) return static_cast<char16_t>(c + r.delta);
  }
  for (const SinglePair& s : kSingles) {
    if (c == s.lower) return s.upper;
  }
  for (const PairRange& r : kPairRanges) {
    if (c >= r.first && c <= r.last) {
      bool is_odd = (c & 1) != 0;
      if (is_odd != r.odd_upper) return static_cast<char16_t>(c - 1);
      return c;
    }
  }
  return c;
}

int CompareNames(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = UpperCase(a[i]);
    char16_t y = UpperCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

HRESULT ValidateName(const std::u16string& name) {
  if (name.empty() || name.size() > kMaxNameUnits) return STG_E_INVALIDNAME;
  for (char16_t c : name) {
    if (c == 0 || c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
  }
  return S_OK;
}

}  // namespace cfb
