// Constants of the compound file format, named as the format names them,
// and little-endian field access.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/little_endian.h"

namespace cfb {

// Sector numbers with a meaning of their own (FAT and mini FAT entries).
constexpr uint32_t MAXREGSECT = 0xFFFFFFFA;
constexpr uint32_t DIFSECT = 0xFFFFFFFC;
constexpr uint32_t FATSECT = 0xFFFFFFFD;
constexpr uint32_t ENDOFCHAIN = 0xFFFFFFFE;
constexpr uint32_t FREESECT = 0xFFFFFFFF;

// Directory entry numbers.
constexpr uint32_t MAXREGSID = 0xFFFFFFFA;
constexpr uint32_t NOSTREAM = 0xFFFFFFFF;

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kDirEntrySize = 128;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kMaxNameUnits = 31;  // UTF-16 units, without the NUL

// Object types and colours of directory entries.
constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kTypeStorage = 1;
constexpr uint8_t kTypeStream = 2;
constexpr uint8_t kTypeRoot = 5;
constexpr uint8_t kRed = 0;
constexpr uint8_t kBlack = 1;

// The engine never lets a file grow past this: version-3 files are limited
// to 2 GB, and in version 4 the sector holding 0x7FFFFF00 is reserved for
// range locks.
constexpr uint64_t kMaxFileSize = 0x7FFFFF00;

// A stream of this size is kept in the mini stream; the one predicate used by
// reads, writes and resizes alike.
inline bool IsMini(uint64_t size) { return size < kMiniStreamCutoff; }

// Field access: one definition for the whole project, used here by name.
using platform::Get16;
using platform::Get32;
using platform::Get64;
using platform::Put16;
using platform::Put32;
using platform::Put64;

// Turns n entries read as raw little-endian bytes into host order, in place.
inline void FromLittleEndian(uint32_t* entries, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  (void)entries;
  (void)n;
#else
  for (size_t i = 0; i < n; ++i) {
    uint8_t bytes[4];
    memcpy(bytes, &entries[i], 4);
    entries[i] = Get32(bytes);
  }
#endif
}

// Decodes or encodes n little-endian 32-bit entries (FAT, mini FAT).
inline void GetEntries(const uint8_t* from, uint32_t* to, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  memcpy(to, from, n * 4);
#else
  for (size_t i = 0; i < n; ++i) to[i] = Get32(from + 4 * i);
#endif
}
inline void PutEntries(const uint32_t* from, uint8_t* to, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  memcpy(to, from, n * 4);
#else
  for (size_t i = 0; i < n; ++i) Put32(to + 4 * i, from[i]);
#endif
}

}  // namespace cfb
