#pragma once

// Building blocks shared by the property and table writers: heap pages (HNHDR,
// HNPAGEHDR, HNBITMAPHDR, page maps, fill levels), BTH headers and arrays, and the
// stored form of property values.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "pst/ltp/property.hpp"
#include "pst/ndb/codec.hpp"
#include "pst/ndb/database.hpp"

namespace larkfield::pst::ltp::detail {

inline void put16(std::byte* p, std::uint16_t v) {
  ndb::put16(reinterpret_cast<std::uint8_t*>(p), v);
}
inline void put32(std::byte* p, std::uint32_t v) {
  ndb::put32(reinterpret_cast<std::uint8_t*>(p), v);
}
inline std::uint32_t get32(const std::byte* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Largest heap allocation.
inline constexpr std::size_t kMaxAlloc = 3580;
// Allocations one page map can list.
inline constexpr std::size_t kMaxAllocsPerPage = 2047;
inline constexpr std::size_t kPageSize = ndb::kMaxBlockData;

inline constexpr std::uint8_t kClientPc = 0xBC;
inline constexpr std::uint8_t kClientTc = 0x7C;

// Bytes before the first allocation of heap page `index`: HNHDR on page 0, HNBITMAPHDR
// on pages 8, 136, 264, ..., HNPAGEHDR elsewhere.
constexpr std::size_t page_header_size(std::size_t index) {
  return index == 0 ? 12 : (index % 128 == 8 ? 66 : 2);
}
constexpr bool holds_fill_levels(std::size_t index) { return index == 0 || index % 128 == 8; }

constexpr std::uint32_t make_hid(std::size_t page, std::size_t index1) {
  return static_cast<std::uint32_t>((page << 16) | (index1 << 5));
}
constexpr bool is_hid(std::uint32_t hnid) { return (hnid & 0x1F) == 0; }
constexpr std::size_t hid_page(std::uint32_t hid) { return hid >> 16; }
constexpr std::size_t hid_index(std::uint32_t hid) { return (hid >> 5) & 0x7FF; }

// The 4-bit fill level of a page with `free_bytes` unused.
unsigned fill_level(std::size_t free_bytes);

// One heap page being filled. Allocations are appended; finish() lays the page out
// with its page map at the end. The header bytes other than ibHnpm are left zero for
// the caller (HNHDR fields, fill levels).
class PageBuilder {
 public:
  // With `measure_only` the page keeps the sizes of its allocations and not their bytes:
  // fits(), add() and finished_size() work, the other calls must not be used.
  explicit PageBuilder(std::size_t index, bool measure_only = false);

  std::size_t index() const { return index_; }
  std::size_t count() const { return offsets_.size() - 1; }
  // Whether an allocation of `size` bytes still fits, keeping room for one more page
  // map entry and one byte of padding (see finish()).
  bool fits(std::size_t size) const;
  // Appends an allocation; returns its HID.
  std::uint32_t add(std::span<const std::byte> bytes);
  // Appends `size` zero bytes to fill in later with patch().
  std::uint32_t reserve(std::size_t size);
  void patch(std::uint32_t hid, std::span<const std::byte> bytes);
  std::span<const std::byte> allocation(std::uint32_t hid) const;
  // Size of the finished page (page map 2-byte aligned).
  std::size_t finished_size() const;
  // The page's bytes. With exact_size != 0 the page is made exactly that long by an
  // unreferenced filler allocation (readers skip it), so that a page cut at a fixed
  // block size holds one whole page.
  void finish(std::vector<std::byte>& out, std::size_t exact_size = 0) const;

 private:
  std::size_t index_;
  std::size_t header_;
  bool measure_only_;
  std::size_t size_;                    // of the header and allocations
  std::vector<std::byte> bytes_;        // header and allocations (empty when measuring)
  std::vector<std::uint16_t> offsets_;  // rgibAlloc, with the end of the last allocation
};

// Stores the fill level of page `page` (of `free_bytes` unused) in the header of the
// page `holder` that records it: page 0 for pages 0..7, page 8 + 128 k for the 128 pages
// from there.
void put_fill_level(std::vector<std::byte>& holder_bytes, std::size_t holder, std::size_t page,
                    std::size_t free_bytes);

// HNHDR fields of page 0.
void put_heap_header(std::vector<std::byte>& page0, std::uint8_t client_sig,
                     std::uint32_t user_root);

// BTHHEADER.
std::array<std::byte, 8> bth_header(std::uint8_t key_size, std::uint8_t entry_size,
                                    std::uint8_t levels, std::uint32_t root);

// Records per BTH array for records of `size` bytes.
constexpr std::size_t records_per_array(std::size_t size) { return kMaxAlloc / size; }

// Allocates the arrays of a BTH over `records` (sorted by key, each `record_size`
// bytes starting with a `key_size`-byte key) bottom-up through `alloc` (a span of
// bytes to its HID). Returns the index levels and the root HID (0 without records).
template <class Alloc>
std::pair<std::uint8_t, std::uint32_t> build_bth(std::span<const std::byte> records,
                                                 std::size_t key_size, std::size_t record_size,
                                                 Alloc&& alloc) {
  if (records.empty()) return {0, 0};
  std::uint8_t levels = 0;
  std::vector<std::byte> level(records.begin(), records.end());
  std::vector<std::byte> next;
  for (;;) {
    const std::size_t per = records_per_array(record_size);
    const std::size_t count = level.size() / record_size;
    next.clear();
    for (std::size_t i = 0; i < count; i += per) {
      const std::size_t n = std::min(per, count - i);
      auto array = std::span<const std::byte>(level).subspan(i * record_size, n * record_size);
      const std::uint32_t hid = alloc(array);
      if (count <= per) return {levels, hid};
      next.insert(next.end(), array.begin(), array.begin() + static_cast<std::ptrdiff_t>(key_size));
      next.resize(next.size() + 4);
      put32(next.data() + next.size() - 4, hid);
    }
    level.swap(next);
    record_size = key_size + 4;
    ++levels;
  }
}

// ---- property values ----

// Size of a fixed-size type's stored value (1, 2, 4, 8 or 16), 0 for other types.
std::size_t fixed_size(std::uint16_t type);
// Whether `type` is a type this library stores (PT_STRING8 and PT_OBJECT are not).
bool supported_type(std::uint16_t type);

[[noreturn]] void throw_mismatch(PropTag tag);

// Appends the stored bytes of `value` for `tag`'s type to `out` (fixed values in their
// little-endian form, strings as UTF-16LE without terminator, multi-valued values in
// their packed or counted form). The value must not be a ByteSource; a mismatched
// alternative or unsupported type is Error::Code::kInvalidArgument.
void encode_value(PropTag tag, const PropValue& value, std::vector<std::byte>& out);

// A PT_BINARY ByteSource, or nullptr for every other value (a null ByteSource pointer is
// kInvalidArgument).
ByteSource* byte_source(PropTag tag, const PropValue& value);

// A value read from a ByteSource: held in `head` when it fits a heap allocation,
// otherwise streamed into a data tree whose root is `bid`.
struct StreamedValue {
  std::uint64_t size = 0;
  ndb::Bid bid = 0;  // 0: the bytes are in head
};
StreamedValue read_source(ndb::Database& db, ByteSource& source, std::vector<std::byte>& head);

}  // namespace larkfield::pst::ltp::detail
