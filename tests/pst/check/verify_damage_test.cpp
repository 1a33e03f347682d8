// Each check can fail: copies of the Outlook samples damaged in one targeted way each,
// with checksums recomputed where the damage is meant for a deeper rule.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "pst/check/check.hpp"
#include "pst/check/detail/codec.hpp"
#include "tests/pst/check/pst_image.hpp"
#include "tests/support/process.hpp"

namespace larkfield::pst::check {
namespace {

namespace fs = std::filesystem;
using detail::le16;
using detail::le32;
using test::PstImage;

fs::path sample(const char* name) { return fs::path(LARKFIELD_PST_SAMPLES) / name; }

bool has_error(const Report& r, std::string_view rule) {
  for (const auto& f : r.findings) {
    if (f.rule == rule && f.severity == Finding::Severity::kError) return true;
  }
  return false;
}

class Damage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(sample("outlook-pst-rs-Empty.pst"))) GTEST_SKIP() << "samples absent";
  }
  PstImage load(const char* name = "outlook-pst-rs-Empty.pst") { return PstImage(sample(name)); }
  // Checks the damaged image; Outlook's known deviations are warnings unless strict.
  Report check(const PstImage& img, bool strict = false, bool crash = false) {
    fs::path p = dir_.path() / "damaged.pst";
    img.save(p);
    Options o;
    o.outlook_made = !strict;
    o.crash_state = crash;
    return verify_file(p, o);
  }
  // Edits the decoded first block of a node's data.
  template <typename F>
  void edit_node(PstImage& img, std::uint32_t nid, F f) {
    auto bid = img.node(nid).data;
    auto d = img.data(bid);
    f(d);
    img.set_data(bid, d);
  }
  test::TempDir dir_{"larkfield-damage"};
};

#define EXPECT_RULE(report, rule)                                             \
  do {                                                                        \
    const Report& r_ = (report);                                              \
    EXPECT_TRUE(has_error(r_, rule)) << "rule " << rule << "\n" << r_.text(); \
    EXPECT_FALSE(r_.ok());                                                    \
  } while (0)

TEST_F(Damage, UntouchedCopyPasses) {
  PstImage img = load();
  Report r = check(img);
  EXPECT_TRUE(r.ok()) << r.text();
}

// --- header

TEST_F(Damage, HeaderChecksums) {
  PstImage a = load();
  a.bytes[524] ^= 1;
  EXPECT_RULE(check(a), "header.crc-full");
  PstImage b = load();
  b.bytes[4] ^= 1;
  EXPECT_RULE(check(b), "header.crc-partial");
  PstImage c = load();
  c.bytes[100] ^= 1;  // inside rgnid: both checksums cover it
  Report rc = check(c);
  EXPECT_RULE(rc, "header.crc-partial");
  EXPECT_RULE(rc, "header.crc-full");
}

TEST_F(Damage, HeaderFixedFieldsAndMagic) {
  PstImage a = load();
  a.put16(12, 20);  // wVerClient
  a.fix_header();
  EXPECT_RULE(check(a), "header.fixed-fields");
  PstImage b = load();
  b.bytes[256] = 0;  // rgbFM
  b.fix_header();
  EXPECT_RULE(check(b, true), "header.free-maps");
  PstImage c = load();
  c.bytes[0] = 'X';
  Report rc = check(c);
  EXPECT_FALSE(rc.readable);
  EXPECT_RULE(rc, "header.magic");
  PstImage d = load();
  d.put16(10, 14);  // ANSI
  d.fix_header();
  EXPECT_FALSE(check(d).readable);
}

TEST_F(Damage, Counters) {
  PstImage a = load();
  a.put32(44 + 4 * 2, 0x400);  // rgnid[NORMAL_FOLDER] below folder index 0x404
  a.fix_header();
  EXPECT_RULE(check(a), "header.rgnid");
  PstImage b = load();
  b.put64(516, 4);  // bidNextB
  b.fix_header();
  EXPECT_RULE(check(b), "header.bid-next-b");
  PstImage c = load();
  c.put64(32, 1);  // bidNextP
  c.fix_header();
  EXPECT_RULE(check(c), "header.bid-next-p");
}

TEST_F(Damage, FileLengthAndFreeSpaceTotal) {
  PstImage a = load();
  a.bytes.resize(a.bytes.size() + 512, 0);
  EXPECT_RULE(check(a), "root.file-eof");
  Report crashed = check(a, false, true);
  EXPECT_TRUE(crashed.ok()) << crashed.text();  // a killed writer may leave a tail
  EXPECT_EQ(crashed.count("root.file-eof"), 1u);

  PstImage b = load();
  b.put64(184, b.u64(184) + 0x3E000);  // ibFileEof past the end
  b.fix_header();
  EXPECT_RULE(check(b, false, true), "root.file-eof");

  PstImage c = load();
  c.put64(200, c.u64(200) + 64);  // cbAMapFree
  c.fix_header();
  EXPECT_RULE(check(c), "root.amap-free");
  EXPECT_TRUE(check(c, false, true).ok());
}

// --- pages and blocks

TEST_F(Damage, PageTrailers) {
  PstImage a = load();
  std::uint64_t nbt = a.u64(224);
  a.bytes[nbt + 492] ^= 1;
  EXPECT_RULE(check(a), "page.crc");
  PstImage b = load();
  b.put16(nbt + 498, b.u16(nbt + 498) ^ 1);
  EXPECT_RULE(check(b), "page.signature");
  PstImage c = load();
  c.put64(nbt + 504, c.u64(nbt + 504) + 1);
  c.fix_page(nbt);
  EXPECT_RULE(check(c), "page.bid");
  PstImage d = load();
  d.bytes[0x4600 + 100] ^= 1;  // PMap content, CRC left stale
  EXPECT_RULE(check(d), "pmap.trailer");
  PstImage e = load();
  e.bytes[0x4400 + 496] = 0x83;  // AMap ptype
  EXPECT_RULE(check(e), "amap.trailer");
  PstImage f = load();
  f.bytes[0x4200 + 500] ^= 1;  // DList CRC
  EXPECT_RULE(check(f), "dlist.trailer");
  PstImage g = load();
  std::fill(g.bytes.begin() + 0x4200, g.bytes.begin() + 0x4400, 0);
  EXPECT_RULE(check(g, true), "dlist.absent");
}

TEST_F(Damage, BlockTrailers) {
  PstImage img = load();
  const auto& blk = img.blocks.at(img.node(0x21).data);
  const std::uint64_t end = blk.ib + (blk.cb + 16 + 63) / 64 * 64;
  PstImage a = img;
  a.bytes[blk.ib + 3] ^= 1;
  EXPECT_RULE(check(a), "block.crc");
  PstImage b = img;
  b.put16(end - 14, b.u16(end - 14) ^ 1);
  EXPECT_RULE(check(b), "block.signature");
  PstImage c = img;
  c.put16(end - 16, static_cast<std::uint16_t>(blk.cb - 1));
  EXPECT_RULE(check(c), "block.trailer-cb");
  PstImage d = img;
  d.put64(end - 8, blk.bid + 4);
  EXPECT_RULE(check(d), "block.trailer-bid");
}

TEST_F(Damage, BTreeKeyOrderAndShape) {
  PstImage img = load();
  // A BBT leaf and an NBT leaf with at least two entries: swap the first two.
  for (bool nbt : {false, true}) {
    PstImage a = img;
    std::uint64_t page = nbt ? a.nodes.begin()->second.page_at : a.blocks.begin()->second.page_at;
    const unsigned size = a.bytes[page + 490];
    ASSERT_GE(a.bytes[page + 488], 2);
    std::swap_ranges(a.bytes.begin() + static_cast<std::ptrdiff_t>(page),
                     a.bytes.begin() + static_cast<std::ptrdiff_t>(page + size),
                     a.bytes.begin() + static_cast<std::ptrdiff_t>(page + size));
    a.fix_page(page);
    EXPECT_RULE(check(a), "btree.key-order");
  }
  PstImage b = img;
  std::uint64_t root = b.u64(224);
  b.bytes[root + 490] = 16;  // cbEnt
  b.fix_page(root);
  EXPECT_RULE(check(b), "btree.entry-size");
  PstImage c = img;
  auto n = c.node(0x8062);
  c.put64(n.entry_at, 0x100000008062ull);  // garbage in the upper NID bytes
  c.fix_page(n.page_at);
  EXPECT_RULE(check(c), "nbt.nid-high-bits");
}

TEST_F(Damage, ReferenceCountsAndCoverage) {
  PstImage img = load();
  // A block one node holds: cRef 2. Make it 3.
  std::uint64_t bid = img.node(0x21).data;
  PstImage a = img;
  const auto& b = a.blocks.at(bid);
  ASSERT_EQ(a.u16(b.entry_at + 18), 2);
  a.put16(b.entry_at + 18, 3);
  a.fix_page(b.page_at);
  EXPECT_RULE(check(a), "bbt.refcount");
  // A node that points at a block the BBT does not list.
  PstImage c = img;
  auto n = c.node(0x8062);
  c.put64(n.entry_at + 8, 0xFFFF0);
  c.fix_page(n.page_at);
  EXPECT_RULE(check(c), "bbt.missing-block");
  // A block nobody uses any more: an error, a leak after a crash.
  PstImage d = img;
  auto s = d.node(0x201);
  d.put64(s.entry_at + 8, 0);
  d.fix_page(s.page_at);
  EXPECT_RULE(check(d), "bbt.unreferenced");
  Report crashed = check(d, false, true);
  EXPECT_FALSE(has_error(crashed, "bbt.unreferenced"));
  EXPECT_EQ(crashed.count("bbt.unreferenced"), 1u);
}

TEST_F(Damage, AllocationMapBits) {
  PstImage img = load();
  // Clear the bit of a slot a block uses.
  PstImage a = img;
  const auto& blk = a.blocks.at(a.node(0x21).data);
  std::uint64_t slot = (blk.ib - 0x4400) / 64;
  a.bytes[0x4400 + slot / 8] &= static_cast<std::uint8_t>(~(0x80 >> (slot % 8)));
  a.fix_page(0x4400);
  EXPECT_RULE(check(a), "amap.used-marked-free");
  EXPECT_RULE(check(a, false, true), "amap.used-marked-free");  // never acceptable
  // Set the bit of a free slot: a leak, acceptable after a crash.
  PstImage b = img;
  std::size_t free_byte = 495;
  while (b.bytes[0x4400 + free_byte] == 0xFF) --free_byte;
  b.bytes[0x4400 + free_byte] = 0xFF;
  b.fix_page(0x4400);
  EXPECT_RULE(check(b), "amap.leak");
  Report crashed = check(b, false, true);
  EXPECT_TRUE(crashed.ok()) << crashed.text();
  EXPECT_EQ(crashed.count("amap.leak"), 1u);
}

TEST_F(Damage, InternalBlocks) {
  PstImage img = load("pstsdk-sample1.pst");
  std::uint64_t xblock = 0, slblock = 0;
  for (const auto& [bid, b] : img.blocks) {
    if (!(bid & 2)) continue;
    auto d = img.data(bid);
    if (d[0] == 1 && !xblock) xblock = bid;
    if (d[0] == 2 && d[1] == 0 && !slblock) slblock = bid;
  }
  ASSERT_NE(xblock, 0u);
  ASSERT_NE(slblock, 0u);
  PstImage a = img;
  auto d = a.data(xblock);
  d[4] ^= 1;  // lcbTotal
  a.set_data(xblock, d);
  EXPECT_RULE(check(a), "block.data-tree-total");
  PstImage b = img;
  auto s = b.data(slblock);
  s[0] = 3;  // btype
  b.set_data(slblock, s);
  EXPECT_RULE(check(b), "block.internal-header");
  PstImage c = img;
  auto t = c.data(slblock);
  std::swap_ranges(t.begin() + 8, t.begin() + 32, t.begin() + 32);  // two SLENTRYs
  c.set_data(slblock, t);
  EXPECT_RULE(check(c), "subnode.key-order");
}

// --- heaps, BTHs, PCs, TCs

TEST_F(Damage, HeapHeaderAndMap) {
  PstImage a = load();
  edit_node(a, 0x122, [](auto& d) { d[2] = 0xED; });
  EXPECT_RULE(check(a), "heap.signature");
  PstImage b = load();
  edit_node(b, 0x21, [](auto& d) { d[8] = 0x03; });  // fill level of block 0
  EXPECT_RULE(check(b), "heap.fill-level");
  PstImage c = load();
  edit_node(c, 0x21, [](auto& d) { d[le16(d, 0) + 4] = 14; });  // first allocation offset
  EXPECT_RULE(check(c), "heap.page-map");
  PstImage e = load();
  edit_node(e, 0x21, [](auto& d) { d[3] = 0x11; });  // client signature
  EXPECT_RULE(check(e), "heap.client-signature");
}

TEST_F(Damage, PropertyContext) {
  PstImage img = load();
  std::uint64_t bid = img.node(0x21).data;
  PstImage a = img;
  auto at = a.pc_record(bid, 0x0E34);
  edit_node(a, 0x21, [&](auto& d) {
    std::swap_ranges(d.begin() + at, d.begin() + at + 8, d.begin() + at + 8);
  });
  EXPECT_RULE(check(a), "bth.key-order");
  PstImage b = img;
  at = b.pc_record(bid, 0x3001);
  edit_node(b, 0x21, [&](auto& d) {
    d[at + 4] = 0x20;
    d[at + 5] = 0x00;
    d[at + 6] = 0x00;
    d[at + 7] = 0x01;
  });
  EXPECT_RULE(check(b), "pc.hnid");
  PstImage c = img;
  at = c.pc_record(bid, 0x3001);
  edit_node(c, 0x21, [&](auto& d) { d[at + 2] = 0x99; });  // unknown property type
  EXPECT_RULE(check(c), "pc.property-type");
}

TEST_F(Damage, TableContext) {
  PstImage img = load();
  // Columns out of tag order in the contents table template.
  PstImage a = img;
  std::size_t info = a.tc_info(a.node(0x60E).data);
  edit_node(a, 0x60E, [&](auto& d) {
    std::swap_ranges(d.begin() + info + 22, d.begin() + info + 30, d.begin() + info + 30);
  });
  EXPECT_RULE(check(a), "tc.column-order");
  // The root hierarchy table (4 rows in its heap): spare CEB bit, stale cell, row index.
  auto rows_at = [&](PstImage& p, std::vector<std::uint8_t>& d) {
    std::size_t i = p.tc_info(p.node(0x12D).data);
    return p.alloc(d, le32(d, i + 14)).first;
  };
  PstImage b = img;
  edit_node(b, 0x12D, [&](auto& d) {
    std::size_t i = b.tc_info(b.node(0x12D).data);
    std::size_t ceb = le16(d, i + 6);
    d[rows_at(b, d) + ceb + 1] |= 0x04;  // bit 13 of 13 columns
  });
  EXPECT_RULE(check(b), "tc.ceb-spare");
  PstImage c = img;
  edit_node(c, 0x12D, [&](auto& d) {
    std::size_t i = c.tc_info(c.node(0x12D).data);
    std::size_t ceb = le16(d, i + 6);
    for (std::size_t k = 0; k < d[i + 1]; ++k) {
      std::size_t col = i + 22 + 8 * k;
      if (le32(d, col) == 0x3001001F) {
        unsigned bit = d[col + 7];
        d[rows_at(c, d) + ceb + bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
      }
    }
  });
  EXPECT_RULE(check(c), "tc.cell-not-zero");
  PstImage e = img;
  edit_node(e, 0x12D, [&](auto& d) {
    std::size_t i = e.tc_info(e.node(0x12D).data);
    auto bth = e.alloc(d, le32(d, i + 10)).first;
    auto leaf = e.alloc(d, le32(d, bth + 4)).first;
    d[leaf + 4] = 7;  // row position out of range
  });
  EXPECT_RULE(check(e), "tc.row-index");
}

// --- store, folders, messages

TEST_F(Damage, StoreAndMandatoryNodes) {
  PstImage img = load();
  std::uint64_t bid = img.node(0x21).data;
  PstImage a = img;
  auto at = a.pc_record(bid, 0x67FF);
  edit_node(a, 0x21, [&](auto& d) { d[at + 4] = 1; });
  EXPECT_RULE(check(a, true), "store.password");
  PstImage b = img;
  at = b.pc_record(bid, 0x0FF9);
  edit_node(b, 0x21, [&](auto& d) { d[at] = 0xFA; });  // PR_RECORD_KEY becomes another id
  EXPECT_RULE(check(b), "store.record-key");
  PstImage c = img;
  auto n = c.node(0x1E1);
  c.put64(n.entry_at, 0x1C1);
  c.fix_page(n.page_at);
  EXPECT_RULE(check(c), "store.mandatory-node");
  PstImage e = img;
  auto del = e.node(0x8062);
  e.put32(del.entry_at + 24, 0x21);
  e.fix_page(del.page_at);
  Report re = check(e);
  EXPECT_RULE(re, "nbt.parent");
  EXPECT_RULE(re, "folder.hierarchy-rows");
}

TEST_F(Damage, FolderCounts) {
  PstImage img = load("pstsdk-sample1.pst");
  const std::uint32_t folder = 0x8082;  // "Sample1", one message
  std::uint64_t bid = img.node(folder).data;
  PstImage a = img;
  auto at = a.pc_record(bid, 0x3602);
  edit_node(a, folder, [&](auto& d) { d[at + 4] = 2; });
  EXPECT_RULE(check(a), "folder.content-count");
  PstImage b = img;
  at = b.pc_record(bid, 0x3603);
  edit_node(b, folder, [&](auto& d) { d[at + 4] = 1; });
  EXPECT_RULE(check(b), "folder.content-unread");
  PstImage c = img;
  std::uint64_t del = c.node(0x8062).data;
  at = c.pc_record(del, 0x360A);
  edit_node(c, 0x8062, [&](auto& d) { d[at + 4] = 1; });
  Report rc = check(c, true);
  EXPECT_RULE(rc, "folder.subfolders");
  EXPECT_RULE(rc, "folder.hierarchy-row-mismatch");  // the parent's row still says false
}

TEST_F(Damage, MessageRules) {
  PstImage img = load("pstsdk-sample1.pst");
  const std::uint32_t msg = 0x200024;
  std::uint64_t bid = img.node(msg).data;
  PstImage a = img;
  auto at = a.pc_record(bid, 0x0E08);
  edit_node(a, msg, [&](auto& d) { d[at + 4] ^= 1; });
  EXPECT_RULE(check(a, true), "message.size");
  PstImage b = img;
  at = b.pc_record(bid, 0x0017);  // PR_IMPORTANCE: the row keeps the old value
  edit_node(b, msg, [&](auto& d) { d[at + 4] = 2; });
  EXPECT_RULE(check(b, true), "folder.contents-row-mismatch");
  PstImage c = img;
  at = c.pc_record(bid, 0x0E07);
  edit_node(c, msg, [&](auto& d) { d[at + 4] &= ~0x10; });
  EXPECT_RULE(check(c), "message.hasattach");
  PstImage e = img;
  at = e.pc_record(bid, 0x0037);
  edit_node(e, msg, [&](auto& d) {
    auto [s, end] = e.alloc(d, le32(d, at + 4));
    ASSERT_EQ(d[s], 1);
    d[s + 2] = 0x7F;  // prefix length far beyond the subject
  });
  EXPECT_RULE(check(e), "message.subject-header");
  // No recipient table: rename its subnode.
  PstImage f = img;
  std::uint64_t sl = f.node(msg).sub;
  auto s = f.data(sl);
  for (std::size_t i = 0; i < le16(s, 2); ++i) {
    if (le32(s, 8 + 24 * i) == 0x692) s[8 + 24 * i] = 0x93;
  }
  f.set_data(sl, s);
  EXPECT_RULE(check(f, true), "message.recipient-table");
}

TEST_F(Damage, EmbeddedMessageSize) {
  PstImage img = load("pstsdk-submessage.pst");
  // The attachment PC: the subnode of type ATTACHMENT of the message.
  std::uint64_t sl = img.node(0x200024).sub;
  auto s = img.data(sl);
  std::uint64_t att_pc = 0;
  for (std::size_t i = 0; i < le16(s, 2); ++i) {
    if ((le32(s, 8 + 24 * i) & 0x1F) == 0x05) att_pc = detail::le64(s, 8 + 24 * i + 8);
  }
  ASSERT_NE(att_pc, 0u);
  auto at = img.pc_record(att_pc, 0x3701);
  auto d = img.data(att_pc);
  auto [obj, end] = img.alloc(d, le32(d, at + 4));
  ASSERT_EQ(end - obj, 8u);
  d[obj + 4] ^= 1;  // ulSize
  img.set_data(att_pc, d);
  EXPECT_RULE(check(img), "attachment.object-size");
}

// --- any input: no crash, bounded work

TEST_F(Damage, RandomBytesNeverCrash) {
  std::mt19937 rng(20240601);
  for (const char* name : {"outlook-pst-rs-Empty.pst", "pstsdk-sample1.pst"}) {
    const PstImage base = load(name);
    for (int round = 0; round < 120; ++round) {
      PstImage img = base;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        // Mostly inside structures that matter: the header, maps, B-tree pages, blocks.
        std::size_t at =
            rng() % 2 ? rng() % 0x600 + 0x4200 * (rng() % 2) : rng() % img.bytes.size();
        img.bytes[at % img.bytes.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      }
      if (round % 3 == 0) img.fix_header();
      Report r = check(img);
      EXPECT_EQ(r.count("check.memory"), 0u);
    }
  }
  // Truncated files.
  const PstImage base = load();
  for (std::size_t len : {0u, 100u, 563u, 564u, 0x4300u, 0x4500u, 0x20000u}) {
    PstImage img = base;
    img.bytes.resize(len);
    Report r = check(img);
    EXPECT_FALSE(r.ok()) << len;
  }
}

}  // namespace
}  // namespace larkfield::pst::check
