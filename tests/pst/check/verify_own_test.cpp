// The verifier on files our own writer makes: they must pass without a single finding,
// the empty store must match Outlook's node by node, and damage to them must be caught.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

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
}

}  // namespace
}  // namespace larkfield::pst::check
