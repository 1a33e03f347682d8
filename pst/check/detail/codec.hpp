#pragma once

// The verifier's own primitives: little-endian reads with bounds, the PST CRC, the
// block signature and the permutative decoding of data blocks. Nothing here is shared
// with the writer, on purpose: a mistake made twice would check itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace larkfield::pst::check::detail {

using ByteSpan = std::span<const std::uint8_t>;

inline std::uint16_t le16(ByteSpan b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
inline std::uint32_t le32(ByteSpan b, std::size_t off) {
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) |
         (static_cast<std::uint32_t>(b[off + 3]) << 24);
}
inline std::uint64_t le64(ByteSpan b, std::size_t off) {
  return static_cast<std::uint64_t>(le32(b, off)) |
         (static_cast<std::uint64_t>(le32(b, off + 4)) << 32);
}
// True when [off, off + n) lies inside b (without overflow).
inline bool fits(ByteSpan b, std::size_t off, std::size_t n) {
  return off <= b.size() && n <= b.size() - off;
}

// CRC-32 with the reflected polynomial 0xEDB88320, starting from 0, no final inversion.
std::uint32_t crc(ByteSpan data);

// wSig of a page or block trailer.
inline std::uint16_t signature(std::uint64_t ib, std::uint64_t bid) {
  auto x = static_cast<std::uint32_t>(ib ^ bid);
  return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

// The byte substitution of NDB_CRYPT_PERMUTE: encode[b] replaces b when writing.
const std::array<std::uint8_t, 256>& permute_encode_table();
// Decodes in place (the inverse substitution).
void permute_decode(std::span<std::uint8_t> data);

}  // namespace larkfield::pst::check::detail
