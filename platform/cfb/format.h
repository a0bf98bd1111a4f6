// Constants of the compound file format, named as the format names them,
// and little-endian field access.
#pragma once

#include <cstdint>
#include <cstring>

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

inline uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

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
