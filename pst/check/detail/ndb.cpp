// Node database checks: header, node and block B-trees, block trailers, reference
// counts, allocation maps and counters.

#include <algorithm>
#include <cstdio>
#include <deque>

#include "pst/check/detail/checker.hpp"

namespace larkfield::pst::check::detail {
namespace {

// How a block is referenced.
enum Context : int {
  kCtxData = 1,     // a node's or subnode's bidData: a data block, XBLOCK or XXBLOCK
  kCtxXLeaf = 2,    // a slot of an XBLOCK: a data block
  kCtxXMid = 3,     // a slot of an XXBLOCK: an XBLOCK
  kCtxSub = 4,      // a bidSub: an SLBLOCK or SIBLOCK
  kCtxSLChild = 5,  // a slot of an SIBLOCK: an SLBLOCK
};

const char* context_name(int c) {
  switch (c) {
    case kCtxData:
      return "node data";
    case kCtxXLeaf:
      return "XBLOCK slot";
    case kCtxXMid:
      return "XXBLOCK slot";
    case kCtxSub:
      return "subnode tree";
    case kCtxSLChild:
      return "SIBLOCK slot";
    default:
      return "?";
  }
}

std::uint64_t round_block(std::uint64_t cb) { return (cb + 16 + 63) / 64 * 64; }

bool all_bytes(ByteSpan b, std::uint8_t v) {
  return std::all_of(b.begin(), b.end(), [v](std::uint8_t x) { return x == v; });
}

std::uint64_t region_base(std::uint64_t k) { return kFirstRegion + k * kRegionSize; }
bool has_pmap(std::uint64_t k) { return k % 8 == 0; }
bool has_fmap(std::uint64_t k) { return k >= 128 && (k - 128) % 496 == 0; }
bool has_fpmap(std::uint64_t k) { return k >= 8192 && (k - 8192) % 31744 == 0; }

}  // namespace

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

bool Checker::budget_left() {
  if (budget_ > 0) return true;
  if (!budget_reported_) {
    budget_reported_ = true;
    sink_.error("check.work-limit",
                "the structures reference far more data than the file holds; checking stopped");
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Header

bool Checker::check_header() {
  std::array<std::uint8_t, 564> raw{};
  if (!file_.read(0, raw)) {
    sink_.error("header.size",
                "file of " + std::to_string(file_.size()) + " bytes is too short for a header");
    report_.readable = false;
    return false;
  }
  ByteSpan b(raw);
  if (!(b[0] == '!' && b[1] == 'B' && b[2] == 'D' && b[3] == 'N')) {
    sink_.error("header.magic", "dwMagic is not !BDN");
    report_.readable = false;
    return false;
  }
  h_.version = le16(b, 10);
  if (h_.version == 14 || h_.version == 15) {
    sink_.error("header.version", "ANSI file (wVer " + std::to_string(h_.version) +
                                      "); only Unicode files are checked");
    report_.readable = false;
    return false;
  }
  if (h_.version != 23) {
    sink_.error("header.version",
                "wVer " + std::to_string(h_.version) + " is not 23 (Unicode, 512-byte pages)");
    if (h_.version == 36 || h_.version == 37 || h_.version < 21) {
      report_.readable = false;
      return false;
    }
  }
  if (le16(b, 8) != 0x4D53) sink_.error("header.client-magic", "wMagicClient is not SM");
  if (crc(b.subspan(8, 471)) != le32(b, 4)) {
    sink_.error("header.crc-partial", "dwCRCPartial " + hex(le32(b, 4)) + " but the bytes give " +
                                          hex(crc(b.subspan(8, 471))));
  }
  if (crc(b.subspan(8, 516)) != le32(b, 524)) {
    sink_.error("header.crc-full", "dwCRCFull " + hex(le32(b, 524)) + " but the bytes give " +
                                       hex(crc(b.subspan(8, 516))));
  }
  if (le16(b, 12) != 19) sink_.error("header.fixed-fields", "wVerClient is not 19");
  if (b[14] != 1 || b[15] != 1) sink_.error("header.fixed-fields", "bPlatformCreate/Access not 1");
  if (le32(b, 16) != 0 || le32(b, 20) != 0) {
    sink_.outlook("header.reserved-nonzero", "dwReserved1/dwReserved2 are not zero");
  }
  if (le64(b, 24) != 0) sink_.outlook("header.reserved-nonzero", "bidUnused is not zero");
  if (le64(b, 172) != 0) sink_.error("header.fixed-fields", "qwUnused is not zero");
  if (le32(b, 180) != 0) sink_.error("header.fixed-fields", "ROOT.dwReserved is not zero");
  if (b[249] != 0 || le16(b, 250) != 0) {
    sink_.error("header.fixed-fields", "ROOT.bReserved/wReserved are not zero");
  }
  if (le32(b, 252) != 0) sink_.error("header.fixed-fields", "dwAlign is not zero");
  if (!all_bytes(b.subspan(256, 128), 0xFF) || !all_bytes(b.subspan(384, 128), 0xFF)) {
    sink_.outlook("header.free-maps", "rgbFM/rgbFP are not all 0xFF");
  }
  if (b[512] != 0x80) sink_.error("header.fixed-fields", "bSentinel is not 0x80");
  if (le16(b, 514) != 0) sink_.error("header.fixed-fields", "rgbReserved is not zero");
  if (!all_bytes(b.subspan(528, 36), 0)) {
    sink_.outlook("header.reserved-nonzero", "bytes 528-563 (reserved, lock) are not zero");
  }
  h_.crypt = b[513];
  if (h_.crypt > 2) {
    sink_.error("header.crypt-method",
                "bCryptMethod " + std::to_string(h_.crypt) + " is not NONE, PERMUTE or CYCLIC");
    ltp_possible_ = false;
  } else if (h_.crypt == 2) {
    sink_.warning("header.crypt-method",
                  "cyclic encoding: the verifier does not decode it; heaps and tables not checked");
    ltp_possible_ = false;
  }
  h_.bid_next_p = le64(b, 32);
  h_.unique = le32(b, 40);
  for (int i = 0; i < 32; ++i) h_.rgnid[i] = le32(b, 44 + 4 * i);
  h_.file_eof = le64(b, 184);
  h_.amap_last = le64(b, 192);
  h_.amap_free = le64(b, 200);
  h_.pmap_free = le64(b, 208);
  h_.nbt_bid = le64(b, 216);
  h_.nbt_ib = le64(b, 224);
  h_.bbt_bid = le64(b, 232);
  h_.bbt_ib = le64(b, 240);
  h_.amap_valid = b[248];
  h_.bid_next_b = le64(b, 516);
  if (h_.amap_valid != 2) {
    std::string m = "fAMapValid is " + std::to_string(h_.amap_valid) + ", not VALID_AMAP2";
    if (sink_.crash_state() && h_.amap_valid == 0) {
      sink_.warning("header.amap-invalid", m + " (a reader rebuilds the maps)");
    } else {
      sink_.error("header.amap-invalid", m);
    }
  }

  // The rest of the header area up to the DList is reserved and zero.
  Bytes rest(kDListOffset - 564);
  if (file_.read(564, rest) && !all_bytes(rest, 0)) {
    sink_.warning("header.reserved-nonzero", "bytes 564-0x41FF are not zero");
  }

  // The file is a whole number of AMap regions, and ibFileEof says how many.
  const std::uint64_t size = file_.size();
  if (h_.file_eof < kFirstRegion + kRegionSize || (h_.file_eof - kFirstRegion) % kRegionSize) {
    sink_.error("root.file-eof",
                "ibFileEof " + hex(h_.file_eof) + " is not the end of a whole AMap region");
  }
  if (h_.file_eof > size) {
    sink_.error("root.file-eof", "ibFileEof " + hex(h_.file_eof) + " is past the end of the " +
                                     std::to_string(size) + "-byte file");
  } else if (h_.file_eof < size) {
    sink_.leak("root.file-eof", "the file has " + std::to_string(size - h_.file_eof) +
                                    " bytes after ibFileEof " + hex(h_.file_eof));
  }
  std::uint64_t eof = std::min(h_.file_eof, size);
  regions_ = eof >= kFirstRegion ? (eof - kFirstRegion) / kRegionSize : 0;
  if (regions_ > 0 && h_.amap_last != region_base(regions_ - 1)) {
    sink_.error("root.amap-last", "ibAMapLast " + hex(h_.amap_last) + " is not the last AMap at " +
                                      hex(region_base(regions_ - 1)));
  }
  if (h_.bid_next_b & 3) sink_.error("header.bid-next-b", "bidNextB has its low bits set");
  return true;
}

// ---------------------------------------------------------------------------------------
// B-trees

void Checker::walk_btree(bool nbt, std::uint64_t bid, std::uint64_t ib, int depth,
                         int expected_level, std::optional<std::uint64_t> first_key,
                         std::optional<std::uint64_t> lo, std::optional<std::uint64_t> hi) {
  const std::string tree = nbt ? "NBT" : "BBT";
  const std::string where = tree + " page " + hex(bid) + " at " + hex(ib);
  if (ib % kPageSize != 0 || ib < kFirstRegion ||
      ib + kPageSize > std::min(h_.file_eof, file_.size())) {
    sink_.error("btree.page-range", where + " is not a page inside the file");
    return;
  }
  if (!pages_.insert(ib).second) {
    sink_.error("btree.page-shared", where + " is reached twice");
    return;
  }
  std::array<std::uint8_t, kPageSize> raw{};
  if (!file_.read(ib, raw)) {
    sink_.error("btree.page-range", where + " cannot be read");
    return;
  }
  ByteSpan p(raw);
  used_.emplace_back(ib, kPageSize);
  max_page_bid_ = std::max(max_page_bid_, bid);
  const std::uint8_t ptype = nbt ? 0x81 : 0x80;
  if (p[496] != ptype || p[497] != ptype) {
    sink_.error("page.type", where + " has ptype " + hex(p[496]) + "/" + hex(p[497]));
    return;
  }
  if (le16(p, 498) != signature(ib, bid)) sink_.error("page.signature", where + " wSig is wrong");
  if (le32(p, 500) != crc(p.first(496))) sink_.error("page.crc", where + " dwCRC is wrong");
  if (le64(p, 504) != bid) {
    sink_.error("page.bid", where + " trailer names bid " + hex(le64(p, 504)));
  }
  const unsigned count = p[488], max = p[489], size = p[490], level = p[491];
  if (expected_level < 0) {
    if (level > 8) {
      sink_.error("btree.level", where + " root has cLevel " + std::to_string(level));
      return;
    }
  } else if (static_cast<int>(level) != expected_level) {
    sink_.error("btree.level", where + " has cLevel " + std::to_string(level) + ", expected " +
                                   std::to_string(expected_level));
    return;
  }
  const unsigned want_size = level > 0 ? 24 : (nbt ? 32 : 24);
  const unsigned want_max = level > 0 ? 20 : (nbt ? 15 : 20);
  if (size != want_size || max != want_max) {
    sink_.error("btree.entry-size", where + " has cbEnt " + std::to_string(size) + ", cEntMax " +
                                        std::to_string(max) + "; expected " +
                                        std::to_string(want_size) + "/" + std::to_string(want_max));
    return;
  }
  if (count > max) {
    sink_.error("btree.entry-count", where + " has cEnt " + std::to_string(count) + " > cEntMax");
    return;
  }
  if (count == 0 && depth > 0) sink_.error("btree.entry-count", where + " is empty");

  std::optional<std::uint64_t> prev;
  for (unsigned i = 0; i < count; ++i) {
    ByteSpan e = p.subspan(i * size, size);
    std::uint64_t key = le64(e, 0);
    if (nbt && level == 0 && (key >> 32) != 0) {
      sink_.error("nbt.nid-high-bits", where + " entry " + std::to_string(i) +
                                           " has a NID with non-zero upper bytes " + hex(key));
      key &= 0xFFFFFFFF;
    }
    if (prev && key <= *prev) {
      sink_.error("btree.key-order", where + " key " + hex(key) + " follows " + hex(*prev));
    }
    if (i == 0 && first_key && key != *first_key) {
      sink_.error("btree.first-key", where + " starts with " + hex(key) +
                                         " but its parent's entry says " + hex(*first_key));
    }
    if ((lo && key < *lo) || (hi && key >= *hi)) {
      sink_.error("btree.key-range", where + " key " + hex(key) + " is outside its parent's range");
    }
    prev = key;
    if (level > 0) {
      std::optional<std::uint64_t> next_hi = hi;
      if (i + 1 < count) next_hi = le64(p, (i + 1) * size);
      walk_btree(nbt, le64(e, 8), le64(e, 16), depth + 1, static_cast<int>(level) - 1, key, key,
                 next_hi);
    } else if (nbt) {
      NodeEntry n;
      n.nid = static_cast<std::uint32_t>(key);
      n.data = le64(e, 8);
      n.sub = le64(e, 16);
      n.parent = le32(e, 24);
      if (!nodes_.emplace(n.nid, n).second) {
        sink_.error("btree.key-order", where + " repeats node " + hex(n.nid));
      }
    } else {
      std::uint64_t bbid = le64(e, 0);
      if (bbid & 1) {
        sink_.error("bid.reserved-bit", where + " lists block " + hex(bbid) + " with bit 0 set");
      }
      BlockEntry be;
      be.ib = le64(e, 8);
      be.cb = le16(e, 16);
      be.cref = le16(e, 18);
      if (!blocks_.emplace(bbid & ~1ull, be).second) {
        sink_.error("btree.key-order", where + " repeats block " + hex(bbid));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Blocks

void Checker::check_blocks() {
  const std::uint64_t eof = std::min(h_.file_eof, file_.size());
  Bytes buf;
  for (auto& [bid, e] : blocks_) {
    const std::string where = "block " + hex(bid) + " at " + hex(e.ib);
    const std::uint64_t size = round_block(e.cb);
    if (e.cb > kMaxBlockData) {
      sink_.error("block.size", where + " has cb " + std::to_string(e.cb) + " > 8176");
      continue;
    }
    if (e.ib % 64 != 0) {
      sink_.error("block.alignment", where + " is not 64-byte aligned");
      continue;
    }
    if (e.ib < kFirstRegion || e.ib > eof || size > eof - e.ib) {
      sink_.error("block.range", where + " lies outside the data regions of the file");
      continue;
    }
    const std::uint64_t k = (e.ib - kFirstRegion) / kRegionSize;
    if (e.ib + size > region_base(k + 1)) {
      sink_.error("block.region", where + " crosses the AMap region boundary");
    }
    used_.emplace_back(e.ib, size);
    buf.resize(size);
    if (!file_.read(e.ib, buf)) {
      sink_.error("block.range", where + " cannot be read");
      continue;
    }
    ByteSpan b(buf);
    ByteSpan t = b.subspan(size - 16);
    bool ok = true;
    if (le16(t, 0) != e.cb) {
      sink_.error("block.trailer-cb", where + " trailer says cb " + std::to_string(le16(t, 0)) +
                                          ", the BBT says " + std::to_string(e.cb));
      ok = false;
    }
    if ((le64(t, 8) & ~1ull) != bid) {
      sink_.error("block.trailer-bid", where + " trailer names bid " + hex(le64(t, 8)));
      ok = false;
    }
    if (le16(t, 2) != signature(e.ib, le64(t, 8))) {
      sink_.error("block.signature", where + " wSig is wrong");
    }
    if (le32(t, 4) != crc(b.first(e.cb))) {
      sink_.error("block.crc", where + " dwCRC " + hex(le32(t, 4)) + " but the stored bytes give " +
                                   hex(crc(b.first(e.cb))));
    }
    e.readable = ok;
  }
}

std::shared_ptr<const Bytes> Checker::read_block(std::uint64_t bid) {
  bid &= ~1ull;
  auto it = blocks_.find(bid);
  if (it == blocks_.end() || !it->second.readable) return nullptr;
  if (auto c = cache_.find(bid); c != cache_.end()) return c->second;
  if (!budget_left()) return nullptr;
  auto data = std::make_shared<Bytes>(it->second.cb);
  if (!file_.read(it->second.ib, *data)) return nullptr;
  budget_ = budget_ > data->size() ? budget_ - data->size() : 0;
  if (!bid_internal(bid) && h_.crypt == 1) permute_decode(*data);
  constexpr std::size_t kCacheSize = 512;
  if (cache_order_.size() < kCacheSize) {
    cache_order_.push_back(bid);
  } else {
    cache_.erase(cache_order_[cache_next_]);
    cache_order_[cache_next_] = bid;
    cache_next_ = (cache_next_ + 1) % kCacheSize;
  }
  cache_[bid] = data;
  return data;
}

const InternalBlock* Checker::internal(std::uint64_t bid) const {
  auto it = internal_.find(bid & ~1ull);
  return it == internal_.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------------------
// References and internal blocks

void Checker::parse_internal(std::uint64_t bid, int context) {
  InternalBlock& ib = internal_[bid];
  const std::string where = "internal block " + hex(bid);
  auto data = read_block(bid);
  if (!data) return;
  ByteSpan b(*data);
  if (b.size() < 8) {
    sink_.error("block.internal-header", where + " is shorter than its header");
    return;
  }
  ib.btype = b[0];
  ib.level = b[1];
  const std::size_t count = le16(b, 2);
  std::size_t entry = 0;
  if (ib.btype == 1 && (ib.level == 1 || ib.level == 2)) {
    entry = 8;
    ib.total = le32(b, 4);
  } else if (ib.btype == 2 && ib.level == 0) {
    entry = 24;
  } else if (ib.btype == 2 && ib.level == 1) {
    entry = 16;
  } else {
    sink_.error("block.internal-header", where + " has btype " + std::to_string(ib.btype) +
                                             ", cLevel " + std::to_string(ib.level));
    return;
  }
  if (ib.btype == 2 && le32(b, 4) != 0) {
    sink_.error("block.internal-header", where + " has non-zero dwPadding");
  }
  if (count == 0) {
    sink_.error("block.internal-empty", where + " has no entries");
  }
  if (8 + count * entry > b.size()) {
    sink_.error("block.internal-size", where + " holds " + std::to_string(count) +
                                           " entries but only " + std::to_string(b.size()) +
                                           " bytes");
    return;
  }
  if (8 + count * entry != b.size()) {
    sink_.error("block.internal-size", where + " has " +
                                           std::to_string(b.size() - 8 - count * entry) +
                                           " bytes after its entries");
  }
  (void)context;
  std::optional<std::uint32_t> prev;
  for (std::size_t i = 0; i < count; ++i) {
    ByteSpan e = b.subspan(8 + i * entry, entry);
    if (ib.btype == 1) {
      ib.children.push_back(le64(e, 0));
      continue;
    }
    std::uint64_t nid64 = le64(e, 0);
    if (nid64 >> 32) {
      // Outlook leaves such bytes in subnode entries; readers ignore them.
      sink_.outlook("subnode.nid-high-bits", where + " entry " + std::to_string(i) + " NID " +
                                                 hex(nid64) + " has non-zero upper bytes");
    }
    auto nid = static_cast<std::uint32_t>(nid64);
    if (prev && nid <= *prev) {
      sink_.error("subnode.key-order", where + " NID " + hex(nid) + " follows " + hex(*prev));
    }
    prev = nid;
    if (ib.level == 0) {
      NodeEntry n;
      n.nid = nid;
      n.data = le64(e, 8);
      n.sub = le64(e, 16);
      ib.entries.push_back(n);
    } else {
      ib.child_nids.push_back(nid);
      ib.children.push_back(le64(e, 8));
    }
  }
  ib.valid = true;
}

void Checker::reference(std::uint64_t bid, int context, const std::string& from) {
  if (bid == 0) return;
  if (bid & 1) {
    sink_.error("bid.reserved-bit", from + " references " + hex(bid) + " with bit 0 set");
    bid &= ~1ull;
  }
  auto it = blocks_.find(bid);
  if (it == blocks_.end()) {
    sink_.error("bbt.missing-block",
                from + " references block " + hex(bid) + ", which the BBT does not list");
    return;
  }
  ++it->second.holders;
  const bool internal_bid = bid_internal(bid);
  const bool wants_external = context == kCtxXLeaf;
  const bool wants_internal = context == kCtxXMid || context == kCtxSub || context == kCtxSLChild;
  if ((wants_external && internal_bid) || (wants_internal && !internal_bid)) {
    sink_.error("block.context", from + " uses block " + hex(bid) + " as " + context_name(context) +
                                     ", which its BID kind forbids");
    return;
  }
  if (!internal_bid) return;
  const bool fresh = internal_.find(bid) == internal_.end();
  if (fresh) {
    parse_internal(bid, context);
    pending_.push_back(bid);
  }
  const InternalBlock& in = internal_[bid];
  if (!in.valid) return;
  bool fits_context = false;
  switch (context) {
    case kCtxData:
      fits_context = in.btype == 1;
      break;
    case kCtxXMid:
      fits_context = in.btype == 1 && in.level == 1;
      break;
    case kCtxSub:
      fits_context = in.btype == 2;
      break;
    case kCtxSLChild:
      fits_context = in.btype == 2 && in.level == 0;
      break;
    default:
      break;
  }
  if (!fits_context) {
    sink_.error("block.context", from + " uses " + hex(bid) + " (btype " +
                                     std::to_string(in.btype) + ", cLevel " +
                                     std::to_string(in.level) + ") as " + context_name(context));
  }
  auto ctx = context_.emplace(bid, context);
  if (!ctx.second && (ctx.first->second >= kCtxSub) != (context >= kCtxSub)) {
    sink_.error("block.context", "block " + hex(bid) + " is used both as " +
                                     context_name(ctx.first->second) + " and as " +
                                     context_name(context));
  }
}

void Checker::check_structure() {
  for (const auto& [nid, n] : nodes_) {
    reference(n.data, kCtxData, "node " + hex(nid) + " bidData");
    reference(n.sub, kCtxSub, "node " + hex(nid) + " bidSub");
  }
  // Children of each internal block are counted once per block, however many parents
  // share it: reference() queues a block the first time it parses it.
  while (!pending_.empty()) {
    std::uint64_t bid = pending_.front();
    pending_.pop_front();
    const InternalBlock& in = internal_[bid];  // element references survive rehashing
    if (!in.valid) continue;
    const std::string from = "internal block " + hex(bid);
    if (in.btype == 1) {
      for (auto c : in.children) reference(c, in.level == 1 ? kCtxXLeaf : kCtxXMid, from);
    } else if (in.level == 0) {
      for (const auto& e : in.entries) {
        reference(e.data, kCtxData, from + " subnode " + hex(e.nid) + " bidData");
        reference(e.sub, kCtxSub, from + " subnode " + hex(e.nid) + " bidSub");
      }
    } else {
      for (auto c : in.children) reference(c, kCtxSLChild, from);
    }
  }

  // Totals and first keys, now that every internal block is parsed.
  for (const auto& [bid, in] : internal_) {
    if (!in.valid) continue;
    const std::string where = "internal block " + hex(bid);
    if (in.btype == 1) {
      std::uint64_t sum = 0;
      bool known = true;
      for (auto c : in.children) {
        if (in.level == 1) {
          auto it = blocks_.find(c & ~1ull);
          if (it == blocks_.end())
            known = false;
          else
            sum += it->second.cb;
        } else {
          const InternalBlock* x = internal(c);
          if (!x || !x->valid)
            known = false;
          else
            sum += x->total;
        }
      }
      if (known && sum != in.total) {
        sink_.error("block.data-tree-total", where + " lcbTotal " + std::to_string(in.total) +
                                                 " but its children hold " + std::to_string(sum));
      }
      check_packing(bid, in);
    } else if (in.level == 1) {
      for (std::size_t i = 0; i < in.children.size(); ++i) {
        const InternalBlock* sl = internal(in.children[i]);
        if (sl && sl->valid && !sl->entries.empty() && sl->entries[0].nid != in.child_nids[i]) {
          sink_.error("subnode.first-key", where + " entry " + std::to_string(i) + " says " +
                                               hex(in.child_nids[i]) + ", its SLBLOCK starts at " +
                                               hex(sl->entries[0].nid));
        }
      }
    }
  }

  // cRef counts every holder plus the BBT entry itself.
  for (const auto& [bid, e] : blocks_) {
    if (e.holders == 0) {
      sink_.leak("bbt.unreferenced", "block " + hex(bid) + " is in the BBT but nothing uses it");
    } else if (e.cref != e.holders + 1u) {
      sink_.error("bbt.refcount", "block " + hex(bid) + " has cRef " + std::to_string(e.cref) +
                                      " but " + std::to_string(e.holders) +
                                      " holder(s) (expected " + std::to_string(e.holders + 1) +
                                      ")");
    }
  }
}

// Readers map a byte offset of a node's data to block offset / 8176 and, below an
// XXBLOCK, to XBLOCK offset / (1021 * 8176), as Outlook's trees are packed: every data
// block but the last of a tree is full, and so is every XBLOCK but the last of an XXBLOCK.
void Checker::check_packing(std::uint64_t bid, const InternalBlock& in) {
  const std::string where = "internal block " + hex(bid);
  constexpr std::size_t kXFan = (kMaxBlockData - 8) / 8;  // 1,021
  for (std::size_t i = 0; i + 1 < in.children.size(); ++i) {
    const std::uint64_t c = in.children[i] & ~1ull;
    if (in.level == 1) {
      auto it = blocks_.find(c);
      if (it != blocks_.end() && it->second.cb != kMaxBlockData) {
        sink_.error("block.data-tree-packing",
                    where + " data block " + std::to_string(i) + " of " +
                        std::to_string(in.children.size()) + " holds " +
                        std::to_string(it->second.cb) +
                        " bytes; every block but the last must hold 8176");
        return;
      }
    } else if (const InternalBlock* x = internal(c); x && x->valid) {
      if (x->total != kXFan * kMaxBlockData) {
        sink_.error("block.data-tree-packing",
                    where + " XBLOCK " + std::to_string(i) + " holds " + std::to_string(x->total) +
                        " bytes; every XBLOCK but the last must hold 1021 full blocks");
        return;
      }
    }
  }
  // The last child of a level-1 XBLOCK that is not the last of its XXBLOCK is covered by
  // the XXBLOCK's total above.
}

bool Checker::data_leaves(std::uint64_t bid, std::vector<std::uint64_t>& out) const {
  bid &= ~1ull;
  if (bid == 0) return true;
  if (!bid_internal(bid)) {
    out.push_back(bid);
    return true;
  }
  const InternalBlock* in = internal(bid);
  if (!in || !in->valid || in->btype != 1) return false;
  if (in->level == 1) {
    for (auto c : in->children) {
      if (bid_internal(c)) return false;
      out.push_back(c & ~1ull);
    }
    return true;
  }
  for (auto c : in->children) {
    const InternalBlock* x = internal(c);
    if (!x || !x->valid || x->btype != 1 || x->level != 1) return false;
    for (auto l : x->children) {
      if (bid_internal(l)) return false;
      out.push_back(l & ~1ull);
    }
  }
  return true;
}

std::uint64_t Checker::data_size(std::uint64_t bid) const {
  std::vector<std::uint64_t> leaves;
  if (!data_leaves(bid, leaves)) return 0;
  std::uint64_t sum = 0;
  for (auto l : leaves) {
    auto it = blocks_.find(l);
    if (it != blocks_.end()) sum += it->second.cb;
  }
  return sum;
}

std::optional<Bytes> Checker::read_stream(std::uint64_t bid, std::size_t limit) {
  std::vector<std::uint64_t> leaves;
  if (!data_leaves(bid, leaves)) return std::nullopt;
  Bytes out;
  for (auto l : leaves) {
    auto b = read_block(l);
    if (!b) return std::nullopt;
    if (out.size() + b->size() > limit) return std::nullopt;
    out.insert(out.end(), b->begin(), b->end());
  }
  return out;
}

SubnodeMap Checker::subnodes(std::uint64_t bid) const {
  SubnodeMap m;
  if ((bid & ~1ull) == 0) return m;
  const InternalBlock* in = internal(bid);
  if (!in || !in->valid || in->btype != 2) {
    m.ok = false;
    return m;
  }
  auto add = [&](const InternalBlock& sl) {
    for (const auto& e : sl.entries) {
      if (!m.entries.emplace(e.nid, e).second) m.ok = false;
    }
  };
  if (in->level == 0) {
    add(*in);
  } else {
    for (auto c : in->children) {
      const InternalBlock* sl = internal(c);
      if (!sl || !sl->valid || sl->btype != 2 || sl->level != 0) {
        m.ok = false;
        continue;
      }
      add(*sl);
    }
  }
  return m;
}

// ---------------------------------------------------------------------------------------
// Allocation maps

void Checker::check_maps() {
  if (regions_ == 0) return;
  const bool lenient = sink_.crash_state() && h_.amap_valid == 0;
  // Expected bitmaps, rebuilt from what the trees reference.
  std::vector<std::array<std::uint8_t, 496>> expect(regions_);
  for (auto& e : expect) e.fill(0);
  auto set_range = [&](std::uint64_t ib, std::uint64_t size, const std::string& what) {
    if (ib < kFirstRegion) return;
    std::uint64_t k = (ib - kFirstRegion) / kRegionSize;
    if (k >= regions_) return;
    std::uint64_t first = (ib - region_base(k)) / 64;
    std::uint64_t n = (size + 63) / 64;
    std::size_t overlaps = 0;
    for (std::uint64_t s = first; s < first + n && s < 496 * 8; ++s) {
      std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (s % 8));
      if (expect[k][s / 8] & mask) ++overlaps;
      expect[k][s / 8] |= mask;
    }
    if (overlaps) {
      sink_.error("alloc.overlap", what + " at " + hex(ib) + " overlaps " +
                                       std::to_string(overlaps) + " slot(s) already in use");
    }
  };
  std::array<std::uint8_t, kPageSize> page{};
  auto check_map_page = [&](std::uint64_t ib, std::uint8_t ptype, const char* rule,
                            const char* name) -> bool {
    const std::string where = std::string(name) + " page at " + hex(ib);
    if (!file_.read(ib, page)) {
      sink_.error(rule, where + " cannot be read");
      return false;
    }
    ByteSpan p(page);
    bool ok = true;
    if (p[496] != ptype || p[497] != ptype) {
      sink_.error(rule, where + " has ptype " + hex(p[496]) + "/" + hex(p[497]));
      ok = false;
    }
    if (le16(p, 498) != 0) sink_.error(rule, where + " has wSig " + hex(le16(p, 498)) + ", not 0");
    if (le32(p, 500) != crc(p.first(496))) sink_.error(rule, where + " dwCRC is wrong");
    if (le64(p, 504) != ib)
      sink_.error(rule, where + " bid " + hex(le64(p, 504)) + " is not its offset");
    return ok;
  };

  std::uint64_t free_slots = 0, pmap_free_pages = 0;
  // Pages a PMap shows free are reserved from the AMap in advance: allocated there, unused.
  std::vector<std::uint64_t> reserved;
  std::vector<std::array<std::uint8_t, 496>> stored(regions_);
  for (std::uint64_t k = 0; k < regions_; ++k) {
    const std::uint64_t base = region_base(k);
    std::uint64_t special = 1;
    set_range(base, kPageSize, "AMap page");
    if (check_map_page(base, 0x84, "amap.trailer", "AMap")) {
      std::copy(page.begin(), page.begin() + 496, stored[k].begin());
    } else {
      stored[k].fill(0xFF);
    }
    if (has_pmap(k)) {
      std::uint64_t ib = base + kPageSize * special++;
      set_range(ib, kPageSize, "PMap page");
      if (check_map_page(ib, 0x83, "pmap.trailer", "PMap")) {
        for (std::size_t i = 0; i < 496; ++i) {
          pmap_free_pages += 8 - static_cast<std::uint64_t>(__builtin_popcount(page[i]));
          for (int bit = 0; bit < 8; ++bit) {
            if (!(page[i] & (0x80 >> bit))) reserved.push_back(base + (i * 8 + bit) * kPageSize);
          }
        }
      }
    }
    if (has_fmap(k)) {
      std::uint64_t ib = base + kPageSize * special++;
      set_range(ib, kPageSize, "FMap page");
      check_map_page(ib, 0x82, "fmap.trailer", "FMap");
    }
    if (has_fpmap(k)) {
      std::uint64_t ib = base + kPageSize * special++;
      set_range(ib, kPageSize, "FPMap page");
      check_map_page(ib, 0x85, "fpmap.trailer", "FPMap");
    }
    for (std::size_t i = 0; i < 496; ++i) {
      free_slots += 8 - static_cast<std::uint64_t>(__builtin_popcount(stored[k][i]));
    }
  }
  std::sort(used_.begin(), used_.end());
  for (const auto& [ib, size] : used_) set_range(ib, size, "page or block");
  auto expect_reserved = expect;
  for (std::uint64_t ib : reserved) {
    std::uint64_t k = (ib - kFirstRegion) / kRegionSize;
    if (k >= regions_) continue;
    std::uint64_t first = (ib - region_base(k)) / 64;
    for (std::uint64_t s = first; s < first + 8 && s < 496 * 8; ++s) {
      expect_reserved[k][s / 8] |= static_cast<std::uint8_t>(0x80 >> (s % 8));
    }
  }

  for (std::uint64_t k = 0; k < regions_; ++k) {
    std::size_t used_free = 0, leaked = 0;
    std::uint64_t first_used_free = 0, first_leak = 0;
    for (std::size_t s = 0; s < 496 * 8; ++s) {
      std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (s % 8));
      bool want = expect[k][s / 8] & mask, have = stored[k][s / 8] & mask;
      bool may = expect_reserved[k][s / 8] & mask;
      std::uint64_t at = region_base(k) + s * 64;
      if (want && !have && used_free++ == 0) first_used_free = at;
      if (!may && have && leaked++ == 0) first_leak = at;
    }
    const std::string where =
        "AMap of region " + std::to_string(k) + " (" + hex(region_base(k)) + ")";
    if (used_free) {
      std::string m = where + " marks " + std::to_string(used_free) +
                      " used slot(s) free, the first at " + hex(first_used_free);
      if (lenient) {
        sink_.warning("amap.used-marked-free", m + " (fAMapValid is 0)");
      } else {
        sink_.error("amap.used-marked-free", m);
      }
    }
    if (leaked) {
      sink_.leak("amap.leak", where + " marks " + std::to_string(leaked) +
                                  " unused slot(s) allocated, the first at " + hex(first_leak));
    }
  }
  if (h_.amap_free != free_slots * 64) {
    sink_.leak("root.amap-free", "cbAMapFree " + std::to_string(h_.amap_free) +
                                     " but the AMaps show " + std::to_string(free_slots * 64) +
                                     " free bytes");
  }
  if (h_.pmap_free != pmap_free_pages * 512) {
    sink_.leak("root.pmap-free", "cbPMapFree " + std::to_string(h_.pmap_free) +
                                     " but the PMaps show " +
                                     std::to_string(pmap_free_pages * 512) + " free bytes");
  }

  // The density list: one page before the first region.
  std::array<std::uint8_t, kPageSize> dl{};
  if (!file_.read(kDListOffset, dl)) {
    sink_.error("dlist.trailer", "the DList page cannot be read");
    return;
  }
  ByteSpan d(dl);
  if (all_bytes(d, 0)) {
    sink_.outlook("dlist.absent", "there is no DList page at 0x4200");
    return;
  }
  dlist_bid_ = le64(d, 504);
  if (d[496] != 0x86 || d[497] != 0x86) {
    sink_.error("dlist.trailer", "DList page has ptype " + hex(d[496]) + "/" + hex(d[497]));
    return;
  }
  if (le16(d, 498) != signature(kDListOffset, dlist_bid_)) {
    sink_.error("dlist.trailer", "DList wSig is wrong");
  }
  if (le32(d, 500) != crc(d.first(496))) sink_.error("dlist.trailer", "DList dwCRC is wrong");
  const unsigned entries = d[1];
  if (entries > 119) {
    sink_.error("dlist.entry", "DList cEntDList " + std::to_string(entries) + " > 119");
  } else {
    for (unsigned i = 0; i < entries; ++i) {
      std::uint32_t e = le32(d, 8 + 4 * i);
      std::uint32_t page_num = e & 0xFFFFF;
      if (page_num >= regions_) {
        sink_.error("dlist.entry", "DList entry " + std::to_string(i) + " names AMap " +
                                       std::to_string(page_num) + " of " +
                                       std::to_string(regions_));
      }
    }
    if (entries > 0 && le32(d, 4) >= regions_) {
      sink_.error("dlist.entry", "DList ulCurrentPage is past the last AMap");
    }
  }
}

void Checker::check_counters() {
  std::uint32_t max_index[32] = {};
  for (const auto& [nid, n] : nodes_) {
    max_index[nid_type(nid)] = std::max(max_index[nid_type(nid)], nid_index(nid));
  }
  for (int t = 0; t < 32; ++t) {
    if (max_index[t] > h_.rgnid[t]) {
      sink_.error("header.rgnid", "rgnid[" + std::to_string(t) + "] is " + hex(h_.rgnid[t]) +
                                      " but node index " + hex(max_index[t]) + " is in use");
    }
  }
  if (!blocks_.empty()) {
    std::uint64_t max_bid = blocks_.rbegin()->first;
    if ((max_bid >> 2) >= (h_.bid_next_b >> 2)) {
      sink_.error("header.bid-next-b",
                  "bidNextB " + hex(h_.bid_next_b) + " is not above block " + hex(max_bid));
    }
  }
  if (max_page_bid_ >= h_.bid_next_p) {
    sink_.error("header.bid-next-p",
                "bidNextP " + hex(h_.bid_next_p) + " is not above page " + hex(max_page_bid_));
  }
  if (dlist_bid_ > h_.bid_next_p) {
    // The DList is rewritten in place; after a kill it may already carry a newer page BID.
    sink_.leak("header.bid-next-p", "bidNextP " + hex(h_.bid_next_p) +
                                        " is below the DList page's bid " + hex(dlist_bid_));
  }
}

}  // namespace larkfield::pst::check::detail
