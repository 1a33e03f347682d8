// Lists-tables-properties checks: heaps on nodes, BTrees on heaps, property contexts and
// table contexts.

#include <algorithm>

#include "pst/check/detail/checker.hpp"

namespace larkfield::pst::check::detail {
namespace {

// Free bytes of a heap block to its 4-bit fill level.
unsigned fill_level(std::size_t free_bytes) {
  static constexpr std::size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                            512,  256,  128,  64,   32,   16,   8};
  for (unsigned i = 0; i < 15; ++i) {
    if (free_bytes >= kLimits[i]) return i;
  }
  return 15;
}

// Size of a fixed-size property type; 0 for variable-size and unknown types.
std::size_t fixed_size(std::uint16_t type) {
  switch (type) {
    case 0x0002:
      return 2;
    case 0x0003:
    case 0x0004:
    case 0x000A:
      return 4;
    case 0x000B:
      return 1;
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

bool variable_type(std::uint16_t type) {
  switch (type) {
    case 0x001E:
    case 0x001F:
    case 0x0102:
    case 0x000D:
    case 0x00FB:
    case 0x00FD:
    case 0x00FE:
      return true;
    default:
      return false;
  }
}

bool known_type(std::uint16_t type) {
  if (type & 0x1000) {
    std::uint16_t base = type & 0x0FFF;
    return (fixed_size(base) != 0 && base != 0x000B) || base == 0x001E || base == 0x001F ||
           base == 0x0102;
  }
  return fixed_size(type) != 0 || variable_type(type);
}

// Width of a cell in a table row: fixed types up to 8 bytes inline, all others an HNID.
std::size_t cell_width(std::uint16_t type) {
  std::size_t f = fixed_size(type);
  return (f != 0 && f <= 8) ? f : 4;
}

bool inline_cell(std::uint16_t type) {
  std::size_t f = fixed_size(type);
  return f != 0 && f <= 8;
}

// Keys of BTH records compare as unsigned little-endian integers.
int compare_keys(ByteSpan a, ByteSpan b) {
  for (std::size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

std::string tag_text(std::uint32_t tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Heap on node

bool Checker::load_heap(const NodeRef& node, Heap& heap) {
  heap = Heap{};
  const std::string& label = node.label;
  if (!data_leaves(node.data, heap.leaves)) return false;  // reported by the NDB checks
  if (heap.leaves.empty()) {
    sink_.error("heap.empty", label + " has no data for its heap");
    return false;
  }
  if (heap.leaves.size() > 65536) {
    sink_.error("heap.block-count", label + " heap has " + std::to_string(heap.leaves.size()) +
                                        " blocks, more than a HID can address");
    return false;
  }
  std::vector<unsigned> stored_levels(heap.leaves.size(), 0);
  std::vector<bool> has_level(heap.leaves.size(), false);
  heap.blocks.resize(heap.leaves.size());
  for (std::size_t i = 0; i < heap.leaves.size(); ++i) {
    auto blk = read_block(heap.leaves[i]);
    if (!blk) return false;
    ByteSpan d(*blk);
    const std::string where = label + " heap block " + std::to_string(i);
    const std::size_t header = i == 0 ? 12 : (i % 128 == 8 ? 66 : 2);
    HeapBlock& hb = heap.blocks[i];
    hb.size = static_cast<std::uint16_t>(d.size());
    if (d.size() < header + 4) {
      sink_.error("heap.page-map", where + " is too short for its header and page map");
      continue;
    }
    if (i == 0) {
      if (d[2] != 0xEC) {
        sink_.error("heap.signature", where + " bSig is " + hex(d[2]) + ", not 0xEC");
        return false;
      }
      heap.client_sig = d[3];
      heap.user_root = le32(d, 4);
      static constexpr std::uint8_t kSigs[] = {0x6C, 0x7C, 0x8C, 0x9C, 0xA5,
                                               0xAC, 0xB5, 0xBC, 0xCC};
      if (std::find(std::begin(kSigs), std::end(kSigs), heap.client_sig) == std::end(kSigs)) {
        sink_.error("heap.client-signature",
                    where + " bClientSig " + hex(heap.client_sig) + " is not a known client");
      }
      for (std::size_t j = 0; j < 8 && j < heap.leaves.size(); ++j) {
        stored_levels[j] = (d[8 + j / 2] >> (4 * (j % 2))) & 0xF;
        has_level[j] = true;
      }
    } else if (i % 128 == 8) {
      for (std::size_t j = 0; j < 128 && i + j < heap.leaves.size(); ++j) {
        stored_levels[i + j] = (d[2 + j / 2] >> (4 * (j % 2))) & 0xF;
        has_level[i + j] = true;
      }
    }
    const std::size_t map_at = le16(d, 0);
    if (map_at < header || map_at + 4 > d.size()) {
      sink_.error("heap.page-map",
                  where + " ibHnpm " + std::to_string(map_at) + " is outside the block");
      continue;
    }
    const std::size_t count = le16(d, map_at);
    const std::size_t freed = le16(d, map_at + 2);
    if (map_at + 4 + 2 * (count + 1) > d.size()) {
      sink_.error("heap.page-map", where + " page map of " + std::to_string(count) +
                                       " allocations runs past the block");
      continue;
    }
    if (count > 2047) {
      sink_.error("heap.allocation-count",
                  where + " has " + std::to_string(count) + " allocations, more than 2047");
    }
    if (freed > count) sink_.error("heap.page-map", where + " cFree exceeds cAlloc");
    hb.allocs.resize(count + 1);
    for (std::size_t j = 0; j <= count; ++j) hb.allocs[j] = le16(d, map_at + 4 + 2 * j);
    bool ok = true;
    if (hb.allocs[0] != header) {
      sink_.error("heap.page-map", where + " first allocation starts at " +
                                       std::to_string(hb.allocs[0]) + ", not " +
                                       std::to_string(header));
      ok = false;
    }
    for (std::size_t j = 0; j < count && ok; ++j) {
      if (hb.allocs[j + 1] < hb.allocs[j]) {
        sink_.error("heap.page-map", where + " allocation offsets go backwards");
        ok = false;
      } else if (std::size_t{hb.allocs[j + 1]} - hb.allocs[j] > kMaxHeapAlloc) {
        sink_.error("heap.allocation-size",
                    where + " allocation " + std::to_string(j + 1) + " has " +
                        std::to_string(hb.allocs[j + 1] - hb.allocs[j]) + " bytes, more than 3580");
      }
    }
    if (ok && hb.allocs[count] > map_at) {
      sink_.error("heap.page-map", where + " allocations overlap the page map");
      ok = false;
    }
    if (ok && map_at + 4 + 2 * (count + 1) != d.size()) {
      sink_.error("heap.page-map", where + " does not end with its page map");
    }
    if (!ok) hb.allocs.clear();
  }
  for (std::size_t j = 0; j < heap.leaves.size(); ++j) {
    if (!has_level[j]) continue;
    unsigned want =
        fill_level(kMaxBlockData - std::min<std::size_t>(heap.blocks[j].size, kMaxBlockData));
    if (stored_levels[j] != want) {
      sink_.error("heap.fill-level", label + " heap block " + std::to_string(j) + " fill level " +
                                         std::to_string(stored_levels[j]) +
                                         ", its free space gives " + std::to_string(want));
    }
  }
  heap.ok = true;
  return true;
}

bool Checker::hid_valid(const Heap& heap, std::uint32_t hid) const {
  if ((hid & 0x1F) != 0) return false;
  std::size_t index = (hid >> 5) & 0x7FF;
  std::size_t block = hid >> 16;
  return block < heap.blocks.size() && index >= 1 && index < heap.blocks[block].allocs.size();
}

std::optional<Bytes> Checker::heap_get(const Heap& heap, std::uint32_t hid) {
  if (!hid_valid(heap, hid)) return std::nullopt;
  std::size_t index = (hid >> 5) & 0x7FF;
  std::size_t block = hid >> 16;
  auto blk = read_block(heap.leaves[block]);
  if (!blk) return std::nullopt;
  const auto& a = heap.blocks[block].allocs;
  std::size_t from = a[index - 1], to = a[index];
  if (to > blk->size() || from > to) return std::nullopt;
  return Bytes(blk->begin() + static_cast<std::ptrdiff_t>(from),
               blk->begin() + static_cast<std::ptrdiff_t>(to));
}

// ---------------------------------------------------------------------------------------
// BTree on heap

bool Checker::read_bth(const Heap& heap, std::uint32_t hid, std::size_t key, std::size_t value,
                       BthRecords& out, const std::string& label) {
  out = BthRecords{};
  out.key_size = key;
  out.value_size = value;
  auto h = heap_get(heap, hid);
  if (!h || h->size() != 8) {
    sink_.error("bth.header",
                label + " BTH header at HID " + hex(hid) + " is not an 8-byte allocation");
    return false;
  }
  ByteSpan b(*h);
  if (b[0] != 0xB5) {
    sink_.error("bth.header", label + " BTH bType is " + hex(b[0]) + ", not 0xB5");
    return false;
  }
  if (b[1] != key || b[2] != value) {
    sink_.error("bth.record-size", label + " BTH has cbKey " + std::to_string(b[1]) + ", cbEnt " +
                                       std::to_string(b[2]) + "; expected " + std::to_string(key) +
                                       "/" + std::to_string(value));
    return false;
  }
  const int levels = b[3];
  const std::uint32_t root = le32(b, 4);
  if (levels > 8) {
    sink_.error("bth.levels", label + " BTH has " + std::to_string(levels) + " index levels");
    return false;
  }
  if (root == 0) {
    if (levels != 0) sink_.error("bth.levels", label + " empty BTH has index levels");
    return true;
  }
  std::set<std::uint32_t> seen;
  return bth_level(heap, root, levels, key, value, out, seen, label, std::nullopt);
}

bool Checker::bth_level(const Heap& heap, std::uint32_t hid, int level, std::size_t key,
                        std::size_t value, BthRecords& out, std::set<std::uint32_t>& seen,
                        const std::string& label, std::optional<Bytes> first_key) {
  if (!seen.insert(hid).second) {
    sink_.error("bth.shared", label + " BTH reaches HID " + hex(hid) + " twice");
    return false;
  }
  auto arr = heap_get(heap, hid);
  if (!arr) {
    sink_.error("bth.hid", label + " BTH level " + std::to_string(level) + " HID " + hex(hid) +
                               " is not a valid allocation");
    return false;
  }
  const std::size_t rec = level > 0 ? key + 4 : key + value;
  if (arr->empty() || arr->size() % rec != 0) {
    sink_.error("bth.array-size",
                label + " BTH array at HID " + hex(hid) + " has " + std::to_string(arr->size()) +
                    " bytes, not a whole number of " + std::to_string(rec) + "-byte records");
    return false;
  }
  ByteSpan a(*arr);
  const std::size_t n = arr->size() / rec;
  bool ok = true;
  for (std::size_t i = 0; i < n; ++i) {
    ByteSpan k = a.subspan(i * rec, key);
    if (i == 0 && first_key && compare_keys(k, ByteSpan(*first_key)) != 0) {
      sink_.error("bth.first-key",
                  label + " BTH array at HID " + hex(hid) + " does not start with its index key");
    }
    if (level > 0) {
      if (i > 0 && compare_keys(a.subspan((i - 1) * rec, key), k) >= 0) {
        sink_.error("bth.key-order", label + " BTH index keys are not in ascending order");
      }
      ok = bth_level(heap, le32(a, i * rec + key), level - 1, key, value, out, seen, label,
                     Bytes(k.begin(), k.end())) &&
           ok;
    } else {
      if (out.count() > 0 && compare_keys(out.key(out.count() - 1), k) >= 0) {
        sink_.error("bth.key-order", label + " BTH keys are not in ascending order (as integers)");
      }
      out.data.insert(out.data.end(), a.begin() + static_cast<std::ptrdiff_t>(i * rec),
                      a.begin() + static_cast<std::ptrdiff_t>((i + 1) * rec));
    }
  }
  return ok;
}

// ---------------------------------------------------------------------------------------
// Values

std::optional<Bytes> Checker::hnid_value(const Heap& heap, const SubnodeMap& subs,
                                         std::uint32_t hnid, std::size_t limit) {
  if (hnid == 0) return Bytes{};
  if ((hnid & 0x1F) == 0) return heap_get(heap, hnid);
  auto it = subs.entries.find(hnid);
  if (it == subs.entries.end()) return std::nullopt;
  return read_stream(it->second.data, limit);
}

std::optional<Bytes> Checker::pc_value(const Pc& pc, const SubnodeMap& subs, const PcProp& prop,
                                       std::size_t limit) {
  std::size_t f = fixed_size(prop.type);
  if (f != 0 && f <= 4) {
    Bytes v(f);
    for (std::size_t i = 0; i < f; ++i) v[i] = static_cast<std::uint8_t>(prop.hnid >> (8 * i));
    return v;
  }
  if (f != 0) {
    auto v = heap_get(pc.heap, prop.hnid);
    if (!v || v->size() != f) return std::nullopt;
    return v;
  }
  return hnid_value(pc.heap, subs, prop.hnid, limit);
}

// ---------------------------------------------------------------------------------------
// Property context

bool Checker::read_pc(const NodeRef& node, const SubnodeMap& subs, Pc& pc) {
  pc = Pc{};
  (void)subs;
  if (!load_heap(node, pc.heap)) return false;
  if (pc.heap.client_sig != 0xBC) {
    sink_.error("pc.client-signature", node.label + " is not a property context (bClientSig " +
                                           hex(pc.heap.client_sig) + ")");
    return false;
  }
  if (pc.heap.user_root != 0x20) {
    sink_.error("pc.allocation-order", node.label + " has its BTH header at HID " +
                                           hex(pc.heap.user_root) +
                                           "; Outlook's property contexts have it at 0x20");
  }
  BthRecords r;
  if (!read_bth(pc.heap, pc.heap.user_root, 2, 6, r, node.label)) return false;
  for (std::size_t i = 0; i < r.count(); ++i) {
    PcProp p;
    p.type = le16(r.value(i), 0);
    p.hnid = le32(r.value(i), 2);
    pc.props[le16(r.key(i), 0)] = p;
  }
  pc.ok = true;
  return true;
}

void Checker::check_pc_values(const Pc& pc, const SubnodeMap& subs, const std::string& label) {
  for (const auto& [id, p] : pc.props) {
    const std::uint32_t tag = (static_cast<std::uint32_t>(id) << 16) | p.type;
    const std::string where = label + " property " + tag_text(tag);
    if (!known_type(p.type)) {
      sink_.error("pc.property-type", where + " has an unknown type");
      continue;
    }
    const std::size_t f = fixed_size(p.type);
    if (f != 0 && f <= 4) continue;
    if (f != 0) {
      auto v = heap_get(pc.heap, p.hnid);
      if (!v) {
        sink_.error("pc.hnid", where + " HID " + hex(p.hnid) + " is not a valid allocation");
      } else if (v->size() != f) {
        sink_.error("pc.value-size", where + " has " + std::to_string(v->size()) +
                                         " bytes, its type needs " + std::to_string(f));
      }
      continue;
    }
    if (p.hnid != 0) {
      bool is_hid = (p.hnid & 0x1F) == 0;
      if (is_hid ? !hid_valid(pc.heap, p.hnid) : subs.entries.count(p.hnid) == 0) {
        sink_.error("pc.hnid",
                    where + (is_hid ? " HID " : " subnode ") + hex(p.hnid) + " does not exist");
        continue;
      }
    }
    if (p.type == 0x001E) {
      sink_.warning("pc.string8", where + " is an 8-bit string in a Unicode file");
    }
    const bool is_mv = (p.type & 0x1000) != 0;
    if (p.type != 0x001F && p.type != 0x000D && !is_mv) continue;
    auto v = pc_value(pc, subs, p, kValueLimit);
    if (!v) continue;  // an unreadable subnode is reported by the NDB checks
    if (p.type == 0x001F && v->size() % 2 != 0) {
      sink_.error("pc.value-size", where + " string has an odd number of bytes");
    } else if (p.type == 0x000D && v->size() != 8) {
      sink_.error("pc.value-size",
                  where + " object record has " + std::to_string(v->size()) + " bytes, not 8");
    } else if (is_mv) {
      const std::uint16_t base = p.type & 0x0FFF;
      const std::size_t ef = fixed_size(base);
      if (ef != 0) {
        if (v->size() % ef != 0) {
          sink_.error("pc.multi-value", where + " is not a whole number of values");
        } else if (v->empty()) {
          sink_.warning("pc.mv-empty", where + " has no values");
        }
        continue;
      }
      ByteSpan b(*v);
      if (b.size() < 4) {
        sink_.error("pc.multi-value", where + " is too short for its value count");
        continue;
      }
      const std::size_t n = le32(b, 0);
      if (n == 0) sink_.warning("pc.mv-empty", where + " has no values");
      if (n > (b.size() - 4) / 4) {
        sink_.error("pc.multi-value",
                    where + " counts " + std::to_string(n) + " values that do not fit");
        continue;
      }
      std::size_t prev = 4 + 4 * n;
      for (std::size_t i = 0; i < n; ++i) {
        std::size_t off = le32(b, 4 + 4 * i);
        if (off < prev || off > b.size()) {
          sink_.error("pc.multi-value", where + " value offsets are out of order or range");
          break;
        }
        prev = off;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Table context

bool Checker::read_tc(const NodeRef& node, const SubnodeMap& subs, Tc& tc) {
  tc = Tc{};
  const std::string& label = node.label;
  if (!load_heap(node, tc.heap)) return false;
  if (tc.heap.client_sig != 0x7C) {
    sink_.error("tc.client-signature",
                label + " is not a table context (bClientSig " + hex(tc.heap.client_sig) + ")");
    return false;
  }
  auto info = heap_get(tc.heap, tc.heap.user_root);
  if (!info || info->size() < 22) {
    sink_.error("tc.info", label + " TCINFO is missing or short");
    return false;
  }
  ByteSpan b(*info);
  const std::size_t cols = b[1];
  if (b[0] != 0x7C || b.size() != 22 + 8 * cols) {
    sink_.error("tc.info", label + " TCINFO has bType " + hex(b[0]) + " and " +
                               std::to_string(b.size()) + " bytes for " + std::to_string(cols) +
                               " columns");
    return false;
  }
  for (int i = 0; i < 4; ++i) tc.rgib[i] = le16(b, 2 + 2 * i);
  const std::uint32_t hid_index = le32(b, 10);
  tc.hnid_rows = le32(b, 14);
  if (le32(b, 18) != 0) sink_.error("tc.info", label + " hidIndex is not zero");
  tc.row_size = tc.rgib[3];
  bool layout_ok = true;
  if (!(tc.rgib[0] <= tc.rgib[1] && tc.rgib[1] <= tc.rgib[2] && tc.rgib[2] <= tc.rgib[3]) ||
      std::size_t{tc.rgib[3]} - tc.rgib[2] != (cols + 7) / 8) {
    sink_.error("tc.row-layout",
                label + " rgib " + std::to_string(tc.rgib[0]) + "/" + std::to_string(tc.rgib[1]) +
                    "/" + std::to_string(tc.rgib[2]) + "/" + std::to_string(tc.rgib[3]) +
                    " are not ordered groups with a CEB for " + std::to_string(cols) + " columns");
    layout_ok = false;
  }
  std::vector<bool> bits(cols, false);
  std::vector<bool> bytes_used(tc.row_size, false);
  for (std::size_t i = 0; i < cols; ++i) {
    TcColumn c;
    ByteSpan d = b.subspan(22 + 8 * i, 8);
    c.tag = le32(d, 0);
    c.ib = le16(d, 4);
    c.cb = d[6];
    c.bit = d[7];
    const std::string where = label + " column " + tag_text(c.tag);
    if (!tc.columns.empty() && c.tag <= tc.columns.back().tag) {
      sink_.error("tc.column-order", where + " follows " + tag_text(tc.columns.back().tag) +
                                         "; columns must be sorted by tag");
    }
    const std::uint16_t type = c.tag & 0xFFFF;
    if (c.cb != cell_width(type)) {
      sink_.error("tc.column-width", where + " is " + std::to_string(c.cb) +
                                         " bytes wide, its type needs " +
                                         std::to_string(cell_width(type)));
    }
    std::size_t lo = 0, hi = tc.rgib[0];
    if (c.cb == 2) {
      lo = tc.rgib[0];
      hi = tc.rgib[1];
    } else if (c.cb == 1) {
      lo = tc.rgib[1];
      hi = tc.rgib[2];
    }
    if (layout_ok && (c.ib < lo || c.ib + c.cb > hi)) {
      sink_.error("tc.row-layout", where + " at offset " + std::to_string(c.ib) +
                                       " is outside its width group [" + std::to_string(lo) + ", " +
                                       std::to_string(hi) + ")");
    }
    for (std::size_t k = c.ib; k < std::size_t{c.ib} + c.cb && k < bytes_used.size(); ++k) {
      if (bytes_used[k]) {
        sink_.error("tc.row-layout", where + " overlaps another column");
        break;
      }
      bytes_used[k] = true;
    }
    if (c.bit >= cols || bits[c.bit]) {
      sink_.error("tc.column-bit",
                  where + " has iBit " + std::to_string(c.bit) + ", out of range or shared");
    } else {
      bits[c.bit] = true;
    }
    tc.columns.push_back(c);
  }
  const TcColumn* rowid = tc.column(0x67F20003);
  if (!rowid || rowid->ib != 0 || rowid->bit != 0) {
    sink_.error("tc.row-id-column", label + " has no PidTagLtpRowId column at offset 0, bit 0");
  }
  // Outlook allocates the row index's BTH header first and TCINFO second; readers that
  // learned the format from its files look for them there.
  if (hid_index != 0x20 || tc.heap.user_root != 0x40) {
    sink_.error("tc.allocation-order", label + " has its BTH header at HID " + hex(hid_index) +
                                           " and TCINFO at " + hex(tc.heap.user_root) +
                                           "; Outlook's tables have them at 0x20 and 0x40");
  }
  BthRecords index;
  if (!read_bth(tc.heap, hid_index, 4, 4, index, label + " row index")) return false;
  tc.rows = index.count();
  constexpr std::uint32_t kUnset = 0xFFFFFFFF;
  tc.row_ids.assign(tc.rows, 0);
  std::vector<bool> filled(tc.rows, false);
  for (std::size_t i = 0; i < index.count(); ++i) {
    std::uint32_t id = le32(index.key(i), 0), pos = le32(index.value(i), 0);
    if (pos >= tc.rows || filled[pos]) {
      sink_.error("tc.row-index", label + " row " + hex(id) + " points at row position " +
                                      std::to_string(pos) + ", out of range or taken");
      continue;
    }
    filled[pos] = true;
    tc.row_ids[pos] = id;
  }
  (void)kUnset;
  if (tc.rows == 0) {
    if (tc.hnid_rows != 0) sink_.error("tc.row-matrix", label + " has no rows but a row matrix");
    tc.ok = true;
    return true;
  }
  if (tc.hnid_rows == 0 || tc.row_size == 0) {
    sink_.error("tc.row-matrix",
                label + " has " + std::to_string(tc.rows) + " rows but no row matrix");
    return false;
  }
  if ((tc.hnid_rows & 0x1F) == 0) {
    auto m = heap_get(tc.heap, tc.hnid_rows);
    if (!m || m->size() != tc.rows * tc.row_size) {
      sink_.error("tc.row-matrix", label + " row matrix allocation does not hold " +
                                       std::to_string(tc.rows) + " rows of " +
                                       std::to_string(tc.row_size) + " bytes");
      return false;
    }
    tc.matrix_in_heap = true;
    tc.heap_matrix = std::move(*m);
  } else {
    auto it = subs.entries.find(tc.hnid_rows);
    if (it == subs.entries.end()) {
      sink_.error("tc.row-matrix",
                  label + " row matrix subnode " + hex(tc.hnid_rows) + " does not exist");
      return false;
    }
    if (!data_leaves(it->second.data, tc.matrix_leaves)) return false;
    tc.rows_per_block = kMaxBlockData / tc.row_size;
    if (tc.rows_per_block == 0) {
      sink_.error("tc.row-layout",
                  label + " rows of " + std::to_string(tc.row_size) + " bytes do not fit a block");
      return false;
    }
    const std::size_t blocks = (tc.rows + tc.rows_per_block - 1) / tc.rows_per_block;
    if (tc.matrix_leaves.size() != blocks) {
      sink_.error("tc.row-matrix-block", label + " row matrix has " +
                                             std::to_string(tc.matrix_leaves.size()) + " blocks; " +
                                             std::to_string(tc.rows) + " rows need " +
                                             std::to_string(blocks));
      return false;
    }
    for (std::size_t i = 0; i < blocks; ++i) {
      std::size_t cb = blocks_[tc.matrix_leaves[i]].cb;
      if (i + 1 < blocks) {
        if (cb != kMaxBlockData) {
          sink_.error("tc.row-matrix-block",
                      label + " row matrix block " + std::to_string(i) + " has " +
                          std::to_string(cb) +
                          " bytes; every block but the last must be full (8176)");
        }
      } else {
        std::size_t want = (tc.rows - i * tc.rows_per_block) * tc.row_size;
        if (cb < want) {
          sink_.error("tc.row-matrix-block", label + " last row matrix block has " +
                                                 std::to_string(cb) + " bytes for " +
                                                 std::to_string(want) + " bytes of rows");
          return false;
        }
        if (cb != want) {
          sink_.warning("tc.row-matrix-padding", label + " last row matrix block is padded");
        }
      }
    }
  }
  tc.ok = true;
  return true;
}

std::optional<Bytes> Checker::tc_row(Tc& tc, std::size_t index) {
  if (index >= tc.rows) return std::nullopt;
  if (tc.matrix_in_heap) {
    auto from = tc.heap_matrix.begin() + static_cast<std::ptrdiff_t>(index * tc.row_size);
    return Bytes(from, from + static_cast<std::ptrdiff_t>(tc.row_size));
  }
  std::size_t block = index / tc.rows_per_block;
  std::size_t off = (index % tc.rows_per_block) * tc.row_size;
  auto b = read_block(tc.matrix_leaves[block]);
  if (!b || off + tc.row_size > b->size()) return std::nullopt;
  auto from = b->begin() + static_cast<std::ptrdiff_t>(off);
  return Bytes(from, from + static_cast<std::ptrdiff_t>(tc.row_size));
}

std::optional<Bytes> Checker::tc_cell(Tc& tc, const SubnodeMap& subs, ByteSpan row,
                                      const TcColumn& col, std::size_t limit) {
  std::size_t ceb = tc.rgib[2] + col.bit / 8;
  if (ceb >= row.size() || std::size_t{col.ib} + col.cb > row.size()) return std::nullopt;
  if (!(row[ceb] & (0x80 >> (col.bit % 8)))) return std::nullopt;
  const std::uint16_t type = col.tag & 0xFFFF;
  if (inline_cell(type)) {
    return Bytes(row.begin() + col.ib, row.begin() + col.ib + col.cb);
  }
  if (col.cb != 4) return std::nullopt;
  return hnid_value(tc.heap, subs, le32(row, col.ib), limit);
}

void Checker::check_tc_rows(Tc& tc, const SubnodeMap& subs, const std::string& label) {
  if (!tc.ok) return;
  const std::size_t cols = tc.columns.size();
  for (std::size_t i = 0; i < tc.rows; ++i) {
    if (!budget_left()) return;
    auto row = tc_row(tc, i);
    if (!row) {
      sink_.error("tc.row-matrix", label + " row " + std::to_string(i) + " cannot be read");
      return;
    }
    ByteSpan r(*row);
    const std::string where = label + " row " + std::to_string(i);
    if (le32(r, 0) != tc.row_ids[i]) {
      sink_.error("tc.row-index-mismatch", where + " holds row id " + hex(le32(r, 0)) +
                                               " but the row index maps " + hex(tc.row_ids[i]) +
                                               " to it");
    }
    for (std::size_t bit = cols; bit < (tc.rgib[3] - tc.rgib[2]) * 8u; ++bit) {
      std::size_t at = tc.rgib[2] + bit / 8;
      if (at < r.size() && (r[at] & (0x80 >> (bit % 8)))) {
        sink_.error("tc.ceb-spare", where + " has spare CEB bit " + std::to_string(bit) + " set");
        break;
      }
    }
    for (const auto& c : tc.columns) {
      std::size_t ceb = tc.rgib[2] + c.bit / 8;
      if (ceb >= r.size() || std::size_t{c.ib} + c.cb > r.size()) continue;
      const bool exists = r[ceb] & (0x80 >> (c.bit % 8));
      ByteSpan cell = r.subspan(c.ib, c.cb);
      if (!exists) {
        if (!all_of(cell.begin(), cell.end(), [](std::uint8_t x) { return x == 0; })) {
          sink_.error("tc.cell-not-zero", where + " column " + tag_text(c.tag) +
                                              " does not exist but its bytes are not zero");
        }
        continue;
      }
      if (inline_cell(c.tag & 0xFFFF) || c.cb != 4) continue;
      std::uint32_t hnid = le32(cell, 0);
      if (hnid == 0) continue;
      bool is_hid = (hnid & 0x1F) == 0;
      if (is_hid ? !hid_valid(tc.heap, hnid) : subs.entries.count(hnid) == 0) {
        sink_.error("tc.cell-hnid", where + " column " + tag_text(c.tag) + " HNID " + hex(hnid) +
                                        " does not exist");
      }
    }
  }
}

}  // namespace larkfield::pst::check::detail
