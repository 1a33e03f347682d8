#include "tests/pst/check/pst_image.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pst/check/detail/codec.hpp"

namespace larkfield::test {
namespace codec = larkfield::pst::check::detail;

PstImage::PstImage(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  reindex();
}

void PstImage::save(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::uint16_t PstImage::u16(std::uint64_t at) const { return codec::le16(bytes, at); }
std::uint32_t PstImage::u32(std::uint64_t at) const { return codec::le32(bytes, at); }
std::uint64_t PstImage::u64(std::uint64_t at) const { return codec::le64(bytes, at); }
void PstImage::put16(std::uint64_t at, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void PstImage::put32(std::uint64_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void PstImage::put64(std::uint64_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

void PstImage::fix_header() {
  std::span<const std::uint8_t> b(bytes);
  put32(4, codec::crc(b.subspan(8, 471)));
  put32(524, codec::crc(b.subspan(8, 516)));
}

void PstImage::fix_page(std::uint64_t ib) {
  put32(ib + 500, codec::crc(std::span<const std::uint8_t>(bytes).subspan(ib, 496)));
}

void PstImage::walk(bool nbt, std::uint64_t ib, int depth) {
  if (depth > 8 || ib + 512 > bytes.size()) throw std::runtime_error("bad test image");
  const unsigned count = bytes[ib + 488], size = bytes[ib + 490], level = bytes[ib + 491];
  for (unsigned i = 0; i < count; ++i) {
    std::uint64_t e = ib + i * size;
    if (level > 0) {
      walk(nbt, u64(e + 16), depth + 1);
    } else if (nbt) {
      Node n{static_cast<std::uint32_t>(u64(e)), u32(e + 24), u64(e + 8), u64(e + 16), e, ib};
      nodes[n.nid] = n;
    } else {
      Block b{u64(e) & ~1ull, u64(e + 8), u16(e + 16), e, ib};
      blocks[b.bid] = b;
    }
  }
}

void PstImage::reindex() {
  nodes.clear();
  blocks.clear();
  walk(true, u64(224), 0);
  walk(false, u64(240), 0);
}

std::vector<std::uint8_t> PstImage::data(std::uint64_t bid) const {
  const Block& b = blocks.at(bid);
  std::vector<std::uint8_t> d(bytes.begin() + static_cast<std::ptrdiff_t>(b.ib),
                              bytes.begin() + static_cast<std::ptrdiff_t>(b.ib + b.cb));
  if (!(bid & 2) && bytes[513] == 1) codec::permute_decode(d);
  return d;
}

void PstImage::set_data(std::uint64_t bid, const std::vector<std::uint8_t>& d) {
  const Block& b = blocks.at(bid);
  if (d.size() != b.cb) throw std::runtime_error("set_data must keep the block size");
  std::vector<std::uint8_t> stored = d;
  if (!(bid & 2) && bytes[513] == 1) {
    const auto& enc = codec::permute_encode_table();
    for (auto& x : stored) x = enc[x];
  }
  std::copy(stored.begin(), stored.end(), bytes.begin() + static_cast<std::ptrdiff_t>(b.ib));
  const std::uint64_t size = (b.cb + 16 + 63) / 64 * 64;
  put32(b.ib + size - 12, codec::crc(stored));
}

std::pair<std::size_t, std::size_t> PstImage::alloc(const std::vector<std::uint8_t>& heap,
                                                    std::uint32_t hid) const {
  std::size_t map = codec::le16(heap, 0);
  std::size_t index = (hid >> 5) & 0x7FF;
  return {codec::le16(heap, map + 4 + 2 * (index - 1)), codec::le16(heap, map + 4 + 2 * index)};
}

std::size_t PstImage::pc_record(std::uint64_t bid, std::uint16_t id) const {
  auto heap = data(bid);
  auto [hb, he] = alloc(heap, codec::le32(heap, 4));
  (void)he;
  auto [lb, le] = alloc(heap, codec::le32(heap, hb + 4));
  for (std::size_t at = lb; at + 8 <= le; at += 8) {
    if (codec::le16(heap, at) == id) return at;
  }
  throw std::runtime_error("property not in the PC");
}

std::size_t PstImage::tc_info(std::uint64_t bid) const {
  auto heap = data(bid);
  return alloc(heap, codec::le32(heap, 4)).first;
}

}  // namespace larkfield::test
