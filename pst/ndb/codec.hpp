#pragma once

// Byte-level primitives of the node database: little-endian stores, the file's CRC, the
// trailer signature and the permutative encoding of data blocks.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace larkfield::pst::ndb {

inline void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint16_t get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline std::uint64_t get64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// CRC-32, reflected polynomial 0xEDB88320, register starting at 0, no final inversion.
std::uint32_t crc32(std::span<const std::uint8_t> data);
// The same CRC computed by zlib alone, without the carry-less multiply path (for tests).
std::uint32_t crc32_reference(std::span<const std::uint8_t> data);

// wSig of a block or page trailer.
inline std::uint16_t signature(std::uint64_t ib, std::uint64_t bid) {
  const auto x = static_cast<std::uint32_t>(ib ^ bid);
  return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

// Copies `in` to `out` with the substitution of NDB_CRYPT_PERMUTE applied.
void permute_copy(std::span<const std::byte> in, std::uint8_t* out);
// The inverse, in place (for tests).
void permute_decode(std::span<std::uint8_t> data);

}  // namespace larkfield::pst::ndb
