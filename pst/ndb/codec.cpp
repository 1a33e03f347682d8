#include "pst/ndb/codec.hpp"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>

namespace larkfield::pst::ndb {
namespace {

// NDB_CRYPT_PERMUTE: byte b is stored as kPermute[b].
constexpr std::array<std::uint8_t, 256> kPermute = {
    0x41, 0x36, 0x13, 0x62, 0xA8, 0x21, 0x6E, 0xBB, 0xF4, 0x16, 0xCC, 0x04, 0x7F, 0x64, 0xE8, 0x5D,
    0x1E, 0xF2, 0xCB, 0x2A, 0x74, 0xC5, 0x5E, 0x35, 0xD2, 0x95, 0x47, 0x9E, 0x96, 0x2D, 0x9A, 0x88,
    0x4C, 0x7D, 0x84, 0x3F, 0xDB, 0xAC, 0x31, 0xB6, 0x48, 0x5F, 0xF6, 0xC4, 0xD8, 0x39, 0x8B, 0xE7,
    0x23, 0x3B, 0x38, 0x8E, 0xC8, 0xC1, 0xDF, 0x25, 0xB1, 0x20, 0xA5, 0x46, 0x60, 0x4E, 0x9C, 0xFB,
    0xAA, 0xD3, 0x56, 0x51, 0x45, 0x7C, 0x55, 0x00, 0x07, 0xC9, 0x2B, 0x9D, 0x85, 0x9B, 0x09, 0xA0,
    0x8F, 0xAD, 0xB3, 0x0F, 0x63, 0xAB, 0x89, 0x4B, 0xD7, 0xA7, 0x15, 0x5A, 0x71, 0x66, 0x42, 0xBF,
    0x26, 0x4A, 0x6B, 0x98, 0xFA, 0xEA, 0x77, 0x53, 0xB2, 0x70, 0x05, 0x2C, 0xFD, 0x59, 0x3A, 0x86,
    0x7E, 0xCE, 0x06, 0xEB, 0x82, 0x78, 0x57, 0xC7, 0x8D, 0x43, 0xAF, 0xB4, 0x1C, 0xD4, 0x5B, 0xCD,
    0xE2, 0xE9, 0x27, 0x4F, 0xC3, 0x08, 0x72, 0x80, 0xCF, 0xB0, 0xEF, 0xF5, 0x28, 0x6D, 0xBE, 0x30,
    0x4D, 0x34, 0x92, 0xD5, 0x0E, 0x3C, 0x22, 0x32, 0xE5, 0xE4, 0xF9, 0x9F, 0xC2, 0xD1, 0x0A, 0x81,
    0x12, 0xE1, 0xEE, 0x91, 0x83, 0x76, 0xE3, 0x97, 0xE6, 0x61, 0x8A, 0x17, 0x79, 0xA4, 0xB7, 0xDC,
    0x90, 0x7A, 0x5C, 0x8C, 0x02, 0xA6, 0xCA, 0x69, 0xDE, 0x50, 0x1A, 0x11, 0x93, 0xB9, 0x52, 0x87,
    0x58, 0xFC, 0xED, 0x1D, 0x37, 0x49, 0x1B, 0x6A, 0xE0, 0x29, 0x33, 0x99, 0xBD, 0x6C, 0xD9, 0x94,
    0xF3, 0x40, 0x54, 0x6F, 0xF0, 0xC6, 0x73, 0xB8, 0xD6, 0x3E, 0x65, 0x18, 0x44, 0x1F, 0xDD, 0x67,
    0x10, 0xF1, 0x0C, 0x19, 0xEC, 0xAE, 0x03, 0xA1, 0x14, 0x7B, 0xA9, 0x0B, 0xFF, 0xF8, 0xA3, 0xC0,
    0xA2, 0x01, 0xF7, 0x2E, 0xBC, 0x24, 0x68, 0x75, 0x0D, 0xFE, 0xBA, 0x2F, 0xB5, 0xD0, 0xDA, 0x3D,
};

constexpr std::array<std::uint8_t, 256> inverse_of(const std::array<std::uint8_t, 256>& t) {
  std::array<std::uint8_t, 256> inv{};
  for (std::size_t i = 0; i < t.size(); ++i) inv[t[i]] = static_cast<std::uint8_t>(i);
  return inv;
}
constexpr auto kUnpermute = inverse_of(kPermute);

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LARKFIELD_CRC_FOLD 1
#define LARKFIELD_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

LARKFIELD_FOLD_TARGET inline __m128i load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x * k (both halves) folded onto `next`.
LARKFIELD_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// CRC of a multiple of 16 bytes (at least 64) by carry-less multiplication: four lanes
// of 128 bits are folded forward 512 bits at a time, then into one lane, then reduced
// to 32 bits (Barrett). `crc` and the result are the plain register.
LARKFIELD_FOLD_TARGET std::uint32_t crc32_fold(const std::uint8_t* p, std::size_t n,
                                               std::uint32_t crc) {
  // x^(512+64) and x^512 mod P, x^(128+64) and x^128, x^64, then P and floor(x^64 / P),
  // all bit-reflected.
  const __m128i fold512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i fold128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i fold64 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i a = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i b = load(p + 16), c = load(p + 32), d = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    a = fold(a, fold512, load(p));
    b = fold(b, fold512, load(p + 16));
    c = fold(c, fold512, load(p + 32));
    d = fold(d, fold512, load(p + 48));
  }
  a = fold(a, fold128, b);
  a = fold(a, fold128, c);
  a = fold(a, fold128, d);
  for (; n >= 16; p += 16, n -= 16) a = fold(a, fold128, load(p));
  // 128 to 64 bits, then 64 to 32 bits and the reduction.
  __m128i x = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(a, fold128, 0x10));
  x = _mm_xor_si128(_mm_srli_si128(x, 4),
                    _mm_clmulepi64_si128(_mm_and_si128(x, low32), fold64, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool has_fold() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}
#endif

// zlib inverts the register on entry and exit; seeding with the inverted register and
// inverting the result gives the plain register.
std::uint32_t crc32_zlib(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  uLong c = ~crc & 0xFFFFFFFFul;
  while (n > 0) {
    const auto part = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    c = ::crc32(c, p, part);
    p += part;
    n -= part;
  }
  return static_cast<std::uint32_t>(~c & 0xFFFFFFFFul);
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> data) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  std::uint32_t crc = 0;
#ifdef LARKFIELD_CRC_FOLD
  if (n >= 64 && has_fold()) {
    const std::size_t bulk = n & ~std::size_t{15};
    crc = crc32_fold(p, bulk, crc);
    p += bulk;
    n -= bulk;
  }
#endif
  return n == 0 ? crc : crc32_zlib(p, n, crc);
}

std::uint32_t crc32_reference(std::span<const std::uint8_t> data) {
  return crc32_zlib(data.data(), data.size(), 0);
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LARKFIELD_PERMUTE_VBMI 1
#define LARKFIELD_VBMI_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// 64 bytes at once: two 128-entry byte permutes, chosen by each byte's top bit.
LARKFIELD_VBMI_TARGET inline __m512i permute64(__m512i idx, __m512i t0, __m512i t1, __m512i t2,
                                               __m512i t3) {
  const __m512i low = _mm512_permutex2var_epi8(t0, idx, t1);
  const __m512i high = _mm512_permutex2var_epi8(t2, idx, t3);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), low, high);
}

LARKFIELD_VBMI_TARGET void permute_vbmi(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  const __m512i t0 = _mm512_loadu_si512(kPermute.data());
  const __m512i t1 = _mm512_loadu_si512(kPermute.data() + 64);
  const __m512i t2 = _mm512_loadu_si512(kPermute.data() + 128);
  const __m512i t3 = _mm512_loadu_si512(kPermute.data() + 192);
  for (; n >= 64; in += 64, out += 64, n -= 64)
    _mm512_storeu_si512(out, permute64(_mm512_loadu_si512(in), t0, t1, t2, t3));
  if (n > 0) {
    const __mmask64 m = (__mmask64{1} << n) - 1;
    _mm512_mask_storeu_epi8(out, m, permute64(_mm512_maskz_loadu_epi8(m, in), t0, t1, t2, t3));
  }
}

bool has_vbmi() {
  static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi");
  return yes;
}
#endif

}  // namespace

void permute_copy(std::span<const std::byte> in, std::uint8_t* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
  std::size_t n = in.size();
#ifdef LARKFIELD_PERMUTE_VBMI
  if (n >= 64 && has_vbmi()) {
    permute_vbmi(p, n, out);
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) out[i] = kPermute[p[i]];
}

void permute_decode(std::span<std::uint8_t> data) {
  for (auto& b : data) b = kUnpermute[b];
}

}  // namespace larkfield::pst::ndb
