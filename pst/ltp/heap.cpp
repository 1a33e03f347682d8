#include "pst/ltp/heap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

namespace larkfield::pst::ltp::detail {

unsigned fill_level(std::size_t free_bytes) {
  static constexpr std::size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                            512,  256,  128,  64,   32,   16,   8};
  for (unsigned i = 0; i < 15; ++i)
    if (free_bytes >= kLimits[i]) return i;
  return 15;
}

// ---- PageBuilder ----

namespace {
constexpr std::size_t map_bytes(std::size_t count) { return 4 + 2 * (count + 1); }
}  // namespace

PageBuilder::PageBuilder(std::size_t index, bool measure_only)
    : index_(index), header_(page_header_size(index)), measure_only_(measure_only), size_(header_) {
  if (!measure_only_) bytes_.resize(header_);
  offsets_.push_back(static_cast<std::uint16_t>(header_));
}

bool PageBuilder::fits(std::size_t size) const {
  // Two map entries and one byte stay spare for the filler and padding of finish().
  return size <= kMaxAlloc && count() + 1 + 2 <= kMaxAllocsPerPage &&
         size_ + size + map_bytes(count() + 3) + 1 <= kPageSize;
}

std::uint32_t PageBuilder::add(std::span<const std::byte> bytes) {
  if (!measure_only_) bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  size_ += bytes.size();
  offsets_.push_back(static_cast<std::uint16_t>(size_));
  return make_hid(index_, count());
}

std::uint32_t PageBuilder::reserve(std::size_t size) {
  if (!measure_only_) bytes_.resize(bytes_.size() + size);
  size_ += size;
  offsets_.push_back(static_cast<std::uint16_t>(size_));
  return make_hid(index_, count());
}

void PageBuilder::patch(std::uint32_t hid, std::span<const std::byte> bytes) {
  const std::size_t i = hid_index(hid);
  std::memcpy(bytes_.data() + offsets_.at(i - 1), bytes.data(),
              std::min<std::size_t>(bytes.size(), offsets_.at(i) - offsets_.at(i - 1)));
}

std::span<const std::byte> PageBuilder::allocation(std::uint32_t hid) const {
  const std::size_t i = hid_index(hid);
  return std::span<const std::byte>(bytes_).subspan(offsets_.at(i - 1),
                                                    offsets_.at(i) - offsets_.at(i - 1));
}

std::size_t PageBuilder::finished_size() const { return size_ + (size_ % 2) + map_bytes(count()); }

void PageBuilder::finish(std::vector<std::byte>& out, std::size_t exact_size) const {
  out.assign(bytes_.begin(), bytes_.end());
  std::vector<std::uint16_t> offsets = offsets_;
  if (exact_size != 0) {
    std::size_t gap = exact_size - (out.size() + map_bytes(offsets.size() - 1));
    auto filler = [&](std::size_t n) {
      out.resize(out.size() + n);
      offsets.push_back(static_cast<std::uint16_t>(out.size()));
      gap -= n + 2;
    };
    // As many fillers as the gap needs, none larger than an allocation may be (at most
    // three: fits() keeps room for two more map entries, a page needing a third is nearly
    // empty).
    while (gap >= 2) filler(std::min(kMaxAlloc, gap - 2));
    out.resize(out.size() + gap);  // 0 or 1 byte before the map
  } else if (out.size() % 2 != 0) {
    out.push_back(std::byte{0});
  }
  const std::size_t map_at = out.size();
  out.resize(map_at + map_bytes(offsets.size() - 1));
  put16(out.data(), static_cast<std::uint16_t>(map_at));
  put16(out.data() + map_at, static_cast<std::uint16_t>(offsets.size() - 1));
  put16(out.data() + map_at + 2, 0);
  for (std::size_t i = 0; i < offsets.size(); ++i)
    put16(out.data() + map_at + 4 + 2 * i, offsets[i]);
}

void put_fill_level(std::vector<std::byte>& holder_bytes, std::size_t holder, std::size_t page,
                    std::size_t free_bytes) {
  const std::size_t slot = page - holder;
  const std::size_t at = (holder == 0 ? 8 : 2) + slot / 2;
  const unsigned level = fill_level(free_bytes);
  auto b = std::to_integer<unsigned>(holder_bytes.at(at));
  if (slot % 2 == 0)
    b = (b & 0xF0) | level;
  else
    b = (b & 0x0F) | (level << 4);
  holder_bytes[at] = static_cast<std::byte>(b);
}

void put_heap_header(std::vector<std::byte>& page0, std::uint8_t client_sig,
                     std::uint32_t user_root) {
  page0.at(2) = std::byte{0xEC};
  page0.at(3) = static_cast<std::byte>(client_sig);
  put32(page0.data() + 4, user_root);
}

std::array<std::byte, 8> bth_header(std::uint8_t key_size, std::uint8_t entry_size,
                                    std::uint8_t levels, std::uint32_t root) {
  std::array<std::byte, 8> h{};
  h[0] = std::byte{0xB5};
  h[1] = static_cast<std::byte>(key_size);
  h[2] = static_cast<std::byte>(entry_size);
  h[3] = static_cast<std::byte>(levels);
  put32(h.data() + 4, root);
  return h;
}

// ---- values ----

std::size_t fixed_size(std::uint16_t type) {
  switch (type) {
    case pt::kBoolean:
      return 1;
    case pt::kShort:
      return 2;
    case pt::kLong:
    case pt::kFloat:
    case pt::kError:
      return 4;
    case pt::kDouble:
    case pt::kCurrency:
    case pt::kAppTime:
    case pt::kI8:
    case pt::kSysTime:
      return 8;
    case pt::kClsid:
      return 16;
    default:
      return 0;
  }
}

bool supported_type(std::uint16_t type) {
  if (type == pt::kUnicode || type == pt::kBinary) return true;
  if ((type & pt::kMultiValued) != 0) {
    const auto base = static_cast<std::uint16_t>(type & ~pt::kMultiValued);
    if (base == pt::kBoolean || base == pt::kError) return false;
    return (type & 0xE000) == 0 &&
           (fixed_size(base) != 0 || base == pt::kUnicode || base == pt::kBinary);
  }
  return fixed_size(type) != 0;
}

void throw_mismatch(PropTag tag) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "property 0x%08X: the value does not match its type", tag);
  throw Error(Error::Code::kInvalidArgument, buf);
}

namespace {

template <class T>
const T& want(PropTag tag, const PropValue& v) {
  if (const T* p = std::get_if<T>(&v)) return *p;
  throw_mismatch(tag);
}

void append_le(std::vector<std::byte>& out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}

void append_utf16(std::vector<std::byte>& out, const std::u16string& s) {
  const std::size_t at = out.size();
  out.resize(at + 2 * s.size());
  std::byte* p = out.data() + at;
  for (char16_t c : s) {
    *p++ = static_cast<std::byte>(c & 0xFF);
    *p++ = static_cast<std::byte>(c >> 8);
  }
}

void append_fixed(std::vector<std::byte>& out, std::uint16_t type, PropTag tag,
                  const PropValue& v) {
  switch (type) {
    case pt::kShort:
      append_le(out, static_cast<std::uint16_t>(want<std::int16_t>(tag, v)), 2);
      return;
    case pt::kLong:
    case pt::kError:
      append_le(out, static_cast<std::uint32_t>(want<std::int32_t>(tag, v)), 4);
      return;
    case pt::kFloat:
      append_le(out, std::bit_cast<std::uint32_t>(want<float>(tag, v)), 4);
      return;
    case pt::kBoolean:
      out.push_back(std::byte{want<bool>(tag, v) ? std::uint8_t{1} : std::uint8_t{0}});
      return;
    case pt::kDouble:
    case pt::kAppTime:
      append_le(out, std::bit_cast<std::uint64_t>(want<double>(tag, v)), 8);
      return;
    case pt::kCurrency:
    case pt::kI8:
      append_le(out, static_cast<std::uint64_t>(want<std::int64_t>(tag, v)), 8);
      return;
    case pt::kSysTime:
      append_le(out, want<FileTime>(tag, v).ticks, 8);
      return;
    case pt::kClsid: {
      const auto& g = want<Guid>(tag, v).bytes;
      for (auto b : g) out.push_back(static_cast<std::byte>(b));
      return;
    }
    default:
      throw_mismatch(tag);
  }
}

template <class T, class F>
void append_mv_fixed(PropTag tag, const PropValue& v, F put) {
  const auto& items = want<std::vector<T>>(tag, v);
  for (const T& item : items) put(item);
}

template <class T, class F>
void append_mv_variable(std::vector<std::byte>& out, PropTag tag, const PropValue& v, F put) {
  const auto& items = want<std::vector<T>>(tag, v);
  const std::size_t base = out.size();
  const std::size_t table = 4 + 4 * items.size();
  out.resize(base + table);
  put32(out.data() + base, static_cast<std::uint32_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::size_t offset = out.size() - base;
    if (offset > 0xFFFFFFFFull) throw Error(Error::Code::kInvalidArgument, "value too large");
    put32(out.data() + base + 4 + 4 * i, static_cast<std::uint32_t>(offset));
    put(items[i]);
  }
}

}  // namespace

void encode_value(PropTag tag, const PropValue& value, std::vector<std::byte>& out) {
  const std::uint16_t type = prop_type(tag);
  if (!supported_type(type)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "property 0x%08X has a type this store does not write", tag);
    throw Error(Error::Code::kInvalidArgument, buf);
  }
  if (fixed_size(type) != 0) {
    append_fixed(out, type, tag, value);
    return;
  }
  switch (type) {
    case pt::kUnicode:
      append_utf16(out, want<std::u16string>(tag, value));
      return;
    case pt::kBinary: {
      const auto& b = want<Bytes>(tag, value);
      out.insert(out.end(), b.begin(), b.end());
      return;
    }
    case pt::kMultiValued | pt::kUnicode:
      append_mv_variable<std::u16string>(out, tag, value,
                                         [&](const std::u16string& s) { append_utf16(out, s); });
      return;
    case pt::kMultiValued | pt::kBinary:
      append_mv_variable<Bytes>(out, tag, value,
                                [&](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); });
      return;
    default:
      break;
  }
  const auto base = static_cast<std::uint16_t>(type & ~pt::kMultiValued);
  switch (base) {
    case pt::kShort:
      append_mv_fixed<std::int16_t>(
          tag, value, [&](std::int16_t x) { append_le(out, static_cast<std::uint16_t>(x), 2); });
      return;
    case pt::kLong:
      append_mv_fixed<std::int32_t>(
          tag, value, [&](std::int32_t x) { append_le(out, static_cast<std::uint32_t>(x), 4); });
      return;
    case pt::kFloat:
      append_mv_fixed<float>(tag, value,
                             [&](float x) { append_le(out, std::bit_cast<std::uint32_t>(x), 4); });
      return;
    case pt::kDouble:
    case pt::kAppTime:
      append_mv_fixed<double>(
          tag, value, [&](double x) { append_le(out, std::bit_cast<std::uint64_t>(x), 8); });
      return;
    case pt::kCurrency:
    case pt::kI8:
      append_mv_fixed<std::int64_t>(
          tag, value, [&](std::int64_t x) { append_le(out, static_cast<std::uint64_t>(x), 8); });
      return;
    case pt::kSysTime:
      append_mv_fixed<FileTime>(tag, value, [&](FileTime x) { append_le(out, x.ticks, 8); });
      return;
    case pt::kClsid:
      append_mv_fixed<Guid>(tag, value, [&](const Guid& g) {
        for (auto b : g.bytes) out.push_back(static_cast<std::byte>(b));
      });
      return;
    default:
      throw_mismatch(tag);
  }
}

ByteSource* byte_source(PropTag tag, const PropValue& value) {
  const auto* p = std::get_if<std::shared_ptr<ByteSource>>(&value);
  if (p == nullptr) return nullptr;
  if (prop_type(tag) != pt::kBinary || !*p) throw_mismatch(tag);
  return p->get();
}

StreamedValue read_source(ndb::Database& db, ByteSource& source, std::vector<std::byte>& head) {
  // Read until more than one allocation's worth is known, then stream.
  head.resize(kMaxAlloc + 1);
  std::size_t have = 0;
  while (have < head.size()) {
    const std::size_t n = source.read(std::span<std::byte>(head).subspan(have));
    if (n == 0) break;
    have += n;
  }
  head.resize(have);
  if (have <= kMaxAlloc) return StreamedValue{have, 0};
  ndb::DataStream stream(db);
  stream.append(head);
  head.clear();
  std::vector<std::byte> buffer(64 * 1024);
  for (;;) {
    const std::size_t n = source.read(buffer);
    if (n == 0) break;
    stream.append(std::span<const std::byte>(buffer).first(n));
  }
  const std::uint64_t size = stream.size();
  return StreamedValue{size, stream.finish()};
}

}  // namespace larkfield::pst::ltp::detail
