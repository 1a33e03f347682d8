// The verifier on files our own writer makes: they must pass without a single finding,
// the empty store must match Outlook's node by node, and damage to them must be caught.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include "pst/check/check.hpp"
#include "pst/check/detail/codec.hpp"
#include "pst/messaging/store.hpp"
#include "tests/pst/check/pst_image.hpp"
#include "tests/support/process.hpp"

namespace larkfield::pst::check {
namespace {

namespace fs = std::filesystem;
using detail::le16;
using detail::le32;

Bytes bytes_of(std::string_view s) {
  Bytes b(s.size());
  std::transform(s.begin(), s.end(), b.begin(), [](char c) { return std::byte(c); });
  return b;
}

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = std::byte(x >> 24);
  }
  return b;
}

Message mail(int i, std::size_t attachment_size = 0) {
  Message m;
  std::u16string subject = u"Message number " + std::u16string(1, char16_t(u'A' + i % 26));
  m.properties = {
      {0x001A001F, std::u16string(u"IPM.Note")},
      {0x0037001F, subject},
      {0x0E070003, std::int32_t(i % 2 ? 0x01 : 0x00)},  // every other one read
      {0x00170003, std::int32_t(1)},
      {0x00390040, FileTime{133000000000000000ull + std::uint64_t(i) * 10000000ull}},
      {0x0E060040, FileTime{133000000000000000ull + std::uint64_t(i) * 10000000ull}},
      {0x0042001F, std::u16string(u"Sender Name")},
      {0x1000001F, std::u16string(u"Body text of the message.\r\n")},
      {0x007D001F, std::u16string(u"Subject: test\r\nFrom: a@example.org\r\n")},
      {0x10130102, bytes_of("<html><body>hello</body></html>")},
      {0x3FDE0003, std::int32_t(65001)},
      {0x0E1D001F, subject},
  };
  Recipient r;
  r.properties = {{0x0C150003, std::int32_t(1)},
                  {0x3001001F, std::u16string(u"Receiver")},
                  {0x3002001F, std::u16string(u"SMTP")},
                  {0x3003001F, std::u16string(u"receiver@example.org")}};
  m.recipients.push_back(r);
  if (attachment_size) {
    Attachment a;
    a.properties = {{0x37050003, std::int32_t(1)},
                    {0x3707001F, std::u16string(u"data.bin")},
                    {0x37010102, pattern(attachment_size, unsigned(i))}};
    m.attachments.push_back(std::move(a));
  }
  return m;
}

class OwnFiles : public ::testing::Test {
 protected:
  fs::path path(const char* name) { return dir_.path() / name; }
  Report verify(const fs::path& p, bool list = false) {
    Options o;
    o.list_nodes = list;
    return verify_file(p, o);
  }
  test::TempDir dir_{"larkfield-own"};
};

TEST_F(OwnFiles, EmptyStoreHasNoFindings) {
  fs::path p = path("empty.pst");
  {
    StoreOptions o;
    o.display_name = u"Empty";
    Store::create(p, o).close();
  }
  Report r = verify(p);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.findings.empty()) << r.text();
  EXPECT_GE(r.folders, 4u);
}

// Same mandatory nodes, types, parents and template columns as Outlook's empty store.
TEST_F(OwnFiles, EmptyStoreMatchesOutlooksNodeByNode) {
  fs::path outlook = fs::path(LARKFIELD_PST_SAMPLES) / "outlook-pst-rs-Empty.pst";
  if (!fs::exists(outlook)) GTEST_SKIP() << "sample absent";
  fs::path p = path("empty.pst");
  {
    StoreOptions o;
    o.display_name = u"Empty";
    Store::create(p, o).close();
  }
  Report ours = verify(p, true);
  Options lenient;
  lenient.outlook_made = true;
  lenient.list_nodes = true;
  Report theirs = verify_file(outlook, lenient);
  std::map<std::uint32_t, NodeInfo> a, b;
  for (const auto& n : ours.node_list) a[n.nid] = n;
  for (const auto& n : theirs.node_list) b[n.nid] = n;

  static const std::set<std::uint32_t> kMandatory = {
      0x21,   0x61,   0x122,  0x12D,  0x12E,  0x12F,  0x1E1,  0x201,  0x60D,
      0x60E,  0x60F,  0x610,  0x671,  0x692,  0x2223, 0x8022, 0x802D, 0x802E,
      0x802F, 0x8042, 0x804D, 0x804E, 0x804F, 0x8062, 0x806D, 0x806E, 0x806F};
  for (std::uint32_t nid : kMandatory) {
    ASSERT_TRUE(a.count(nid)) << "our store lacks " << std::hex << nid;
    ASSERT_TRUE(b.count(nid));
    EXPECT_EQ(a[nid].parent, b[nid].parent) << std::hex << nid;
    EXPECT_EQ(a[nid].kind, b[nid].kind) << std::hex << nid;
  }
  // Templates carry Outlook's columns.
  for (std::uint32_t nid : {0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x671u, 0x692u}) {
    EXPECT_EQ(a[nid].tags, b[nid].tags) << "template " << std::hex << nid;
    EXPECT_EQ(a[nid].rows, 0u);
  }
  // Folder PCs have at least the properties Outlook's have.
  for (std::uint32_t nid : {0x122u, 0x8022u, 0x8042u, 0x8062u, 0x2223u}) {
    for (std::uint32_t tag : b[nid].tags) {
      if (tag == 0x3004001F) continue;  // Outlook's comment on Deleted Items
      EXPECT_NE(std::find(a[nid].tags.begin(), a[nid].tags.end(), tag), a[nid].tags.end())
          << "folder " << std::hex << nid << " lacks " << tag;
    }
  }
  // The root's hierarchy table lists the same system folders.
  EXPECT_GE(a[0x12D].rows, 3u);
  // Every node we write is one Outlook's empty store has too.
  for (const auto& [nid, n] : a) {
    EXPECT_TRUE(b.count(nid)) << "node " << std::hex << nid << " is not in Outlook's store";
  }

  // Laid out as Outlook lays out its empty store: heap allocation order, packing and kind
  // of every node, the store's properties and the receive-folder table's row ids. The
  // differences LAYOUT.md explains for a new store are the only ones allowed.
  Options describe;
  describe.describe_layout = true;
  const Report our_layout = verify_file(p, describe);
  describe.outlook_made = true;
  const Report their_layout = verify_file(outlook, describe);
  ASSERT_FALSE(our_layout.layout.empty());
  // Store: 0x66FC, 0x3416 and the common-views entry id and folder-mask bit Outlook adds.
  static const std::set<std::string> kExplained = {
      "property 0x66FC0003",
      "property 0x34160102",
      "property 0x35E60102",
      "property 0x35DF0003",
      "property 0x3004001F",
      "columns",
      "present",
      "subnode ids of type LTP",
      "row ids"};  // Outlook's root hierarchy table lists a folder its user made
  for (const LayoutDifference& d : compare_layouts(our_layout.layout, {their_layout.layout})) {
    const bool names = d.role == "name-to-id map" && d.fact.starts_with("property 0x");
    EXPECT_TRUE(kExplained.count(d.fact) || names)
        << d.role << " / " << d.fact << ": ours " << d.ours << ", Outlook's " << d.outlook;
  }
}

// Folders three deep, messages with attachments of every size class, an embedded message.
TEST_F(OwnFiles, FoldersAndMessagesHaveNoFindings) {
  fs::path p = path("tree.pst");
  {
    StoreOptions o;
    o.display_name = u"Tree";
    Store s = Store::create(p, o);
    FolderId inbox = s.create_folder(s.ipm_subtree(), u"Inbox");
    FolderId projects = s.create_folder(inbox, u"Projekte \u00e9t\u00e9");
    FolderId deep = s.create_folder(projects, u"\u65e5\u672c\u8a9e");
    int i = 0;
    for (std::size_t size : {0u, 100u, 3580u, 8176u, 8177u, 9000000u}) {
      s.add_message(inbox, mail(i++, size));
    }
    Message outer = mail(i++);
    Attachment a;
    a.properties = {{0x37050003, std::int32_t(5)}, {0x3001001F, std::u16string(u"inner")}};
    a.embedded_message = std::make_unique<Message>(mail(i++, 5000));
    outer.attachments.push_back(std::move(a));
    s.add_message(projects, outer);
    for (int k = 0; k < 3; ++k) s.add_message(deep, mail(i++));
    s.close();
  }
  Report r = verify(p);
  EXPECT_TRUE(r.findings.empty()) << r.text();
  EXPECT_EQ(r.messages, 10u);
}

// A folder with more rows than one row-matrix block holds; then one damage per rule.
TEST_F(OwnFiles, BigFolderAndDamage) {
  fs::path p = path("big.pst");
  FolderId folder = 0;
  MessageId first = 0;
  {
    StoreOptions o;
    o.display_name = u"Big";
    Store s = Store::create(p, o);
    folder = s.create_folder(s.ipm_subtree(), u"Many");
    for (int i = 0; i < 300; ++i) {
      MessageId id = s.add_message(folder, mail(i));
      if (i == 0) first = id;
    }
    s.close();
  }
  Report clean = verify(p);
  ASSERT_TRUE(clean.findings.empty()) << clean.text();

  auto damaged = [&](auto edit) {
    test::PstImage img(p);
    edit(img);
    fs::path q = path("damaged.pst");
    img.save(q);
    return verify(q);
  };
  auto has_error = [](const Report& r, std::string_view rule) {
    for (const auto& f : r.findings) {
      if (f.rule == rule && f.severity == Finding::Severity::kError) return true;
    }
    return false;
  };

  // Wrong content count.
  Report count = damaged([&](test::PstImage& img) {
    auto bid = img.node(folder).data;
    auto at = img.pc_record(bid, 0x3602);
    auto d = img.data(bid);
    d[at + 4] ^= 1;
    img.set_data(bid, d);
  });
  EXPECT_TRUE(has_error(count, "folder.content-count")) << count.text();

  // Wrong message size.
  Report size = damaged([&](test::PstImage& img) {
    auto bid = img.node(first).data;
    auto at = img.pc_record(bid, 0x0E08);
    auto d = img.data(bid);
    d[at + 4] ^= 1;
    img.set_data(bid, d);
  });
  EXPECT_TRUE(has_error(size, "message.size")) << size.text();
  EXPECT_TRUE(has_error(size, "folder.contents-row-mismatch")) << size.text();

  // A short row-matrix block: the first of the contents table's matrix blocks loses its
  // last row (BBT entry, trailer, CRC and the XBLOCK total are all kept consistent).
  Report shortblock = damaged([&](test::PstImage& img) {
    const std::uint32_t table = (folder & ~0x1Fu) | 0x0E;
    // A table this size has a heap of several pages: page 0 (the TCINFO) is the first
    // data block under the node's XBLOCK.
    std::uint64_t page0 = img.node(table).data;
    while (page0 & 2) page0 = detail::le64(img.data(page0), 8);
    auto heap = img.data(page0);
    const std::uint32_t rows_nid = le32(heap, img.tc_info(page0) + 14);
    ASSERT_NE(rows_nid & 0x1F, 0u) << "row matrix expected in a subnode";
    auto sl = img.data(img.node(table).sub);
    ASSERT_EQ(sl[0], 2);
    std::uint64_t xblock = 0;
    for (std::size_t i = 0; i < le16(sl, 2); ++i) {
      if (le32(sl, 8 + 24 * i) == rows_nid) xblock = detail::le64(sl, 8 + 24 * i + 8);
    }
    ASSERT_NE(xblock & 2, 0u) << "row matrix expected in an XBLOCK";
    auto x = img.data(xblock);
    ASSERT_EQ(x[0], 1);
    const std::uint64_t leaf = detail::le64(x, 8);
    const test::PstImage::Block blk = img.blocks.at(leaf);
    ASSERT_EQ(blk.cb, 8176);
    const std::uint16_t cb = 8176 - 200;
    std::vector<std::uint8_t> stored(img.bytes.begin() + static_cast<std::ptrdiff_t>(blk.ib),
                                     img.bytes.begin() + static_cast<std::ptrdiff_t>(blk.ib + cb));
    const std::uint64_t t = blk.ib + (cb + 16 + 63) / 64 * 64 - 16;
    img.put16(t, cb);
    img.put16(t + 2, detail::signature(blk.ib, leaf));
    img.put32(t + 4, detail::crc(stored));
    img.put64(t + 8, leaf);
    img.put16(blk.entry_at + 16, cb);
    img.fix_page(blk.page_at);
    const std::uint32_t total = le32(x, 4) - 200;
    for (int k = 0; k < 4; ++k) x[4 + k] = static_cast<std::uint8_t>(total >> (8 * k));
    img.set_data(xblock, x);
  });
  EXPECT_TRUE(has_error(shortblock, "tc.row-matrix-block")) << shortblock.text();
  EXPECT_TRUE(has_error(shortblock, "block.data-tree-packing")) << shortblock.text();
}

// Swaps the first two allocations of a decoded heap page 0 (both stay in place as one
// region, the page map's first end moves); returns the two HIDs' former contents' sizes.
void swap_first_allocations(test::PstImage& img, std::vector<std::uint8_t>& heap) {
  const auto [a0, a1] = img.alloc(heap, 0x20);
  const auto [b0, b1] = img.alloc(heap, 0x40);
  ASSERT_EQ(a1, b0);
  std::vector<std::uint8_t> first(heap.begin() + static_cast<std::ptrdiff_t>(a0),
                                  heap.begin() + static_cast<std::ptrdiff_t>(a1));
  std::vector<std::uint8_t> second(heap.begin() + static_cast<std::ptrdiff_t>(b0),
                                   heap.begin() + static_cast<std::ptrdiff_t>(b1));
  std::copy(second.begin(), second.end(), heap.begin() + static_cast<std::ptrdiff_t>(a0));
  std::copy(first.begin(), first.end(),
            heap.begin() + static_cast<std::ptrdiff_t>(a0 + second.size()));
  const std::size_t map = le16(heap, 0);
  const auto end1 = static_cast<std::uint16_t>(a0 + second.size());
  heap[map + 6] = static_cast<std::uint8_t>(end1);
  heap[map + 7] = static_cast<std::uint8_t>(end1 >> 8);
}

void put32_at(std::vector<std::uint8_t>& d, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) d[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// Each rule that Outlook's files follow and readers rely on, broken once in a file of
// ours: the check must reject every one.
TEST_F(OwnFiles, OutlookLayoutRulesAreEachEnforced) {
  static constexpr Guid kPsInternetHeaders{{0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  fs::path p = path("rules.pst");
  MessageId id = 0;
  {
    StoreOptions o;
    o.display_name = u"Rules";
    Store s = Store::create(p, o);
    const std::uint16_t mailer = s.named_property_id({kPsInternetHeaders, u"X-Mailer"});
    // Header names match in any case: a client asking for "x-mailer" finds it.
    EXPECT_EQ(s.named_property_id({kPsInternetHeaders, u"x-mailer"}), mailer);
    Message m = mail(1, 100);
    m.properties.push_back({make_tag(mailer, pt::kUnicode), std::u16string(u"Test Mailer 1.0")});
    id = s.add_message(s.create_folder(s.ipm_subtree(), u"Inbox"), m);
    s.close();
  }
  Report clean = verify(p);
  ASSERT_TRUE(clean.findings.empty()) << clean.text();

  auto damaged = [&](auto edit) {
    test::PstImage img(p);
    edit(img);
    fs::path q = path("damaged.pst");
    img.save(q);
    return verify(q);
  };
  auto errors = [](const Report& r, std::string_view rule) {
    for (const auto& f : r.findings)
      if (f.rule == rule && f.severity == Finding::Severity::kError) return true;
    return false;
  };
  // The message's subnodes (one SLBLOCK): the recipient table, attachment table and
  // attachment, by type.
  auto subnode = [](test::PstImage& img, std::uint64_t sl_bid, std::uint32_t type) {
    auto sl = img.data(sl_bid);
    for (std::size_t i = 0; i < le16(sl, 2); ++i)
      if ((le32(sl, 8 + 24 * i) & 0x1F) == type) return 8 + 24 * i;
    throw std::runtime_error("no such subnode");
  };

  Report names = damaged([&](test::PstImage& img) {
    const std::uint64_t bid = img.node(0x61).data;
    auto d = img.data(bid);
    const std::u16string want = u"x-mailer";
    std::vector<std::uint8_t> needle;
    for (char16_t c : want) {
      needle.push_back(static_cast<std::uint8_t>(c));
      needle.push_back(0);
    }
    auto at = std::search(d.begin(), d.end(), needle.begin(), needle.end());
    ASSERT_NE(at, d.end()) << "the map holds the name in lower case";
    *at = 'X';
    img.set_data(bid, d);
  });
  EXPECT_TRUE(errors(names, "namemap.internet-header-case")) << names.text();

  Report range = damaged([&](test::PstImage& img) {
    const std::uint64_t sl_bid = img.node(id).sub;
    auto sl = img.data(sl_bid);
    put32_at(sl, subnode(img, sl_bid, 0x05), (0x3FFu << 5) | 0x05);  // below 0x400
    img.set_data(sl_bid, sl);
  });
  EXPECT_TRUE(errors(range, "subnode.nid-range")) << range.text();

  Report num = damaged([&](test::PstImage& img) {
    auto sl = img.data(img.node(id).sub);
    const std::uint64_t att = detail::le64(sl, subnode(img, img.node(id).sub, 0x05) + 8);
    auto d = img.data(att);
    put32_at(d, img.pc_record(att, 0x0E21) + 4, 0);
    img.set_data(att, d);
  });
  EXPECT_TRUE(errors(num, "attachment.attach-num")) << num.text();

  Report addrtype = damaged([&](test::PstImage& img) {
    auto sl = img.data(img.node(id).sub);
    const std::uint64_t bid = detail::le64(sl, subnode(img, img.node(id).sub, 0x12) + 8);
    auto d = img.data(bid);
    const std::size_t info = img.tc_info(bid);
    const std::size_t ceb = le16(d, info + 6);  // rgib[TCI_1b]
    const auto [rows, rows_end] = img.alloc(d, le32(d, info + 14));
    (void)rows_end;
    for (std::size_t c = 0; c < d[info + 1]; ++c) {
      const std::size_t col = info + 22 + 8 * c;
      if (le32(d, col) != 0x3002001F) continue;
      const std::uint8_t bit = d[col + 7];
      d[rows + ceb + bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
    img.set_data(bid, d);
  });
  EXPECT_TRUE(errors(addrtype, "recipient.address-type")) << addrtype.text();

  // TCINFO before the BTH header, as Outlook never lays a table out.
  Report tc_order = damaged([&](test::PstImage& img) {
    auto sl = img.data(img.node(id).sub);
    const std::uint64_t bid = detail::le64(sl, subnode(img, img.node(id).sub, 0x12) + 8);
    auto d = img.data(bid);
    ASSERT_EQ(le32(d, 4), 0x40u);
    swap_first_allocations(img, d);
    put32_at(d, 4, 0x20);  // hidUserRoot: TCINFO
    const std::size_t info = img.alloc(d, 0x20).first;
    put32_at(d, info + 10, 0x40);  // hidRowIndex: the BTH header
    img.set_data(bid, d);
  });
  EXPECT_TRUE(errors(tc_order, "tc.allocation-order")) << tc_order.text();
  EXPECT_FALSE(errors(tc_order, "tc.info")) << "the table must stay readable";

  // A property context whose BTH header is not the first allocation.
  Report pc_order = damaged([&](test::PstImage& img) {
    const std::uint64_t bid = img.node(id).data;
    auto d = img.data(bid);
    ASSERT_EQ(le32(d, 4), 0x20u);
    swap_first_allocations(img, d);
    put32_at(d, 4, 0x40);  // hidUserRoot: the BTH header, now second
    const std::size_t header = img.alloc(d, 0x40).first;
    const std::uint32_t root = le32(d, header + 4);
    if (root == 0x40) {
      put32_at(d, header + 4, 0x20);  // the records moved to the first allocation
    } else {
      // The first value moved: its record points at 0x20 now.
      const auto [lb, le] = img.alloc(d, root);
      for (std::size_t at = lb; at + 8 <= le; at += 8) {
        const std::uint16_t type = le16(d, at + 2);
        const bool inline_value =
            type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B;
        if (!inline_value && le32(d, at + 4) == 0x40) put32_at(d, at + 4, 0x20);
      }
    }
    img.set_data(bid, d);
  });
  EXPECT_TRUE(errors(pc_order, "pc.allocation-order")) << pc_order.text();
  EXPECT_FALSE(errors(pc_order, "bth.header")) << pc_order.text();
}

}  // namespace
}  // namespace larkfield::pst::check
