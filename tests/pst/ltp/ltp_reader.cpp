#include "tests/pst/ltp/ltp_reader.hpp"

#include <stdexcept>
#include <string>

namespace larkfield::test::ltp {

std::uint16_t le16(const Buf& b, std::size_t at) {
  if (at + 2 > b.size()) throw std::runtime_error("read past a buffer");
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t le32(const Buf& b, std::size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("read past a buffer");
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
static std::uint64_t le64(const Buf& b, std::size_t at) {
  return le32(b, at) | static_cast<std::uint64_t>(le32(b, at + 4)) << 32;
}

std::vector<Buf> LtpFile::leaves(std::uint64_t bid) const {
  std::vector<Buf> out;
  if ((bid & 2) == 0) {
    out.push_back(image.data(bid));
    return out;
  }
  const Buf x = image.data(bid);
  if (x.at(0) != 0x01) throw std::runtime_error("not an XBLOCK/XXBLOCK");
  const unsigned level = x[1], count = le16(x, 2);
  for (unsigned i = 0; i < count; ++i) {
    const std::uint64_t child = le64(x, 8 + 8 * i);
    if (level == 1) {
      out.push_back(image.data(child));
    } else {
      auto more = leaves(child);
      out.insert(out.end(), more.begin(), more.end());
    }
  }
  return out;
}

Buf LtpFile::stream(std::uint64_t bid) const {
  Buf out;
  for (const Buf& b : leaves(bid)) out.insert(out.end(), b.begin(), b.end());
  return out;
}

std::map<std::uint32_t, SubnodeRef> LtpFile::subnodes(std::uint64_t bid) const {
  std::map<std::uint32_t, SubnodeRef> out;
  if (bid == 0) return out;
  const Buf s = image.data(bid);
  if (s.at(0) != 0x02) throw std::runtime_error("not an SLBLOCK/SIBLOCK");
  const unsigned level = s[1], count = le16(s, 2);
  for (unsigned i = 0; i < count; ++i) {
    if (level == 0) {
      const std::size_t e = 8 + 24 * i;
      out[static_cast<std::uint32_t>(le64(s, e))] = SubnodeRef{le64(s, e + 8), le64(s, e + 16)};
    } else {
      auto more = subnodes(le64(s, 8 + 16 * i + 8));
      out.insert(more.begin(), more.end());
    }
  }
  return out;
}

Buf Heap::get(std::uint32_t hid) const {
  if ((hid & 0x1F) != 0) throw std::runtime_error("not a HID: " + std::to_string(hid));
  const std::size_t page = hid >> 16, index = (hid >> 5) & 0x7FF;
  const Buf& p = pages.at(page);
  const std::size_t map = le16(p, 0);
  if (index < 1 || index > le16(p, map)) throw std::runtime_error("no such allocation");
  const std::size_t from = le16(p, map + 4 + 2 * (index - 1)), to = le16(p, map + 4 + 2 * index);
  return Buf(p.begin() + static_cast<std::ptrdiff_t>(from),
             p.begin() + static_cast<std::ptrdiff_t>(to));
}

std::size_t Heap::allocations(std::size_t page) const {
  const Buf& p = pages.at(page);
  return le16(p, le16(p, 0));
}

Heap read_heap(const LtpFile& file, std::uint64_t data) {
  Heap h;
  h.pages = file.leaves(data);
  const Buf& first = h.pages.at(0);
  if (first.at(2) != 0xEC) throw std::runtime_error("not a heap");
  h.client = first[3];
  h.root = le32(first, 4);
  return h;
}

namespace {
void bth_walk(const Heap& heap, std::uint32_t hid, int level, std::size_t key, std::size_t entry,
              std::vector<Buf>& out) {
  const Buf a = heap.get(hid);
  const std::size_t size = level == 0 ? key + entry : key + 4;
  if (a.size() % size != 0) throw std::runtime_error("BTH array of a partial record");
  for (std::size_t at = 0; at < a.size(); at += size) {
    if (level == 0)
      out.emplace_back(a.begin() + static_cast<std::ptrdiff_t>(at),
                       a.begin() + static_cast<std::ptrdiff_t>(at + size));
    else
      bth_walk(heap, le32(a, at + key), level - 1, key, entry, out);
  }
}
}  // namespace

Bth read_bth(const Heap& heap, std::uint32_t header) {
  const Buf h = heap.get(header);
  if (h.size() != 8 || h[0] != 0xB5) throw std::runtime_error("not a BTH header");
  Bth b;
  b.key = h[1];
  b.entry = h[2];
  b.levels = h[3];
  const std::uint32_t root = le32(h, 4);
  if (root != 0) bth_walk(heap, root, b.levels, b.key, b.entry, b.records);
  return b;
}

namespace {
std::size_t fixed_width(std::uint16_t type) {
  switch (type) {
    case 0x000B:
      return 1;
    case 0x0002:
      return 2;
    case 0x0003:
    case 0x0004:
    case 0x000A:
      return 4;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
      return 8;
    case 0x0048:
      return 16;
    default:
      return 0;
  }
}

Buf resolve(const LtpFile& file, const Heap& heap, const std::map<std::uint32_t, SubnodeRef>& subs,
            std::uint32_t hnid) {
  if (hnid == 0) return {};
  if ((hnid & 0x1F) == 0) return heap.get(hnid);
  auto it = subs.find(hnid);
  if (it == subs.end()) throw std::runtime_error("HNID names no subnode");
  return file.stream(it->second.data);
}
}  // namespace

Pc read_pc(const LtpFile& file, std::uint64_t data, std::uint64_t sub) {
  Pc pc;
  pc.heap = read_heap(file, data);
  if (pc.heap.client != 0xBC) throw std::runtime_error("not a property context");
  pc.bth = read_bth(pc.heap, pc.heap.root);
  if (pc.bth.key != 2 || pc.bth.entry != 6) throw std::runtime_error("PC BTH sizes");
  const auto subs = file.subnodes(sub);
  for (const Buf& r : pc.bth.records) {
    PcValue v;
    v.type = le16(r, 2);
    v.hnid = le32(r, 4);
    const std::size_t w = fixed_width(v.type);
    if (w != 0 && w <= 4)
      v.bytes.assign(r.begin() + 4, r.begin() + 4 + static_cast<std::ptrdiff_t>(w));
    else
      v.bytes = resolve(file, pc.heap, subs, v.hnid);
    pc.props[le16(r, 0)] = std::move(v);
  }
  return pc;
}

Tc read_tc(const LtpFile& file, std::uint64_t data, std::uint64_t sub) {
  Tc tc;
  tc.heap = read_heap(file, data);
  if (tc.heap.client != 0x7C) throw std::runtime_error("not a table context");
  const Buf info = tc.heap.get(tc.heap.root);
  if (info.at(0) != 0x7C) throw std::runtime_error("TCINFO bType");
  const unsigned cols = info[1];
  for (int i = 0; i < 4; ++i) tc.rgib[i] = le16(info, 2 + 2 * i);
  const std::uint32_t row_index = le32(info, 10);
  tc.hnid_rows = le32(info, 14);
  if (info.size() != 22 + 8u * cols) throw std::runtime_error("TCINFO size");
  for (unsigned i = 0; i < cols; ++i) {
    const std::size_t at = 22 + 8 * i;
    tc.columns.push_back(TcColumn{le32(info, at), le16(info, at + 4), info[at + 6], info[at + 7]});
  }
  tc.index = read_bth(tc.heap, row_index);
  if (tc.index.key != 4 || tc.index.entry != 4) throw std::runtime_error("row index sizes");
  tc.subs = file.subnodes(sub);
  const std::size_t row_size = tc.rgib[3];
  Buf matrix;
  if (tc.hnid_rows != 0 && (tc.hnid_rows & 0x1F) == 0) {
    matrix = tc.heap.get(tc.hnid_rows);
  } else if (tc.hnid_rows != 0) {
    auto it = tc.subs.find(tc.hnid_rows);
    if (it == tc.subs.end()) throw std::runtime_error("row matrix subnode missing");
    // Rows never span blocks: each block holds whole rows followed by padding.
    for (const Buf& b : file.leaves(it->second.data)) {
      tc.matrix_blocks.push_back(b.size());
      const std::size_t whole = b.size() / row_size * row_size;
      matrix.insert(matrix.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(whole));
    }
  }
  for (const Buf& r : tc.index.records) tc.rows_by_id[le32(r, 0)] = le32(r, 4);
  const std::size_t n = tc.index.records.size();
  if (matrix.size() < n * row_size) throw std::runtime_error("row matrix too short");
  for (std::size_t i = 0; i < n; ++i)
    tc.rows.emplace_back(matrix.begin() + static_cast<std::ptrdiff_t>(i * row_size),
                         matrix.begin() + static_cast<std::ptrdiff_t>((i + 1) * row_size));
  return tc;
}

std::optional<Buf> Tc::cell(const LtpFile& file, std::size_t position, std::uint32_t tag) const {
  const Buf& row = rows.at(position);
  for (const TcColumn& c : columns) {
    if (c.tag != tag) continue;
    const bool present = (row.at(rgib[2] + c.bit / 8) >> (7 - c.bit % 8)) & 1;
    if (!present) return std::nullopt;
    const std::uint16_t type = static_cast<std::uint16_t>(tag & 0xFFFF);
    const std::size_t w = fixed_width(type);
    if (w != 0 && w <= 8)
      return Buf(row.begin() + c.offset, row.begin() + c.offset + static_cast<std::ptrdiff_t>(w));
    return resolve(file, heap, subs, le32(row, c.offset));
  }
  throw std::runtime_error("no such column");
}

}  // namespace larkfield::test::ltp
