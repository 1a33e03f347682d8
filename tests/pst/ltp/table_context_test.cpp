// Table contexts written through ndb::Database and read back by the test's own decoder
// (ltp_reader) and the structural verifier, including incremental flushes.

#include <gtest/gtest.h>

#include <algorithm>

#include "pst/ltp/property_context.hpp"
#include "pst/ltp/table_context.hpp"
#include "pst/ndb/database.hpp"
#include "tests/pst/ltp/ltp_test_support.hpp"
#include "tests/support/process.hpp"

namespace fs = std::filesystem;
using namespace larkfield::pst;
using namespace larkfield::pst::ltp;
using larkfield::test::TempDir;
using namespace larkfield::test::ltp;

namespace {

constexpr PropTag kSubject = 0x0037001F, kSize = 0x0E080003, kFlags = 0x0E070003,
                  kTime = 0x0E060040, kSender = 0x0C1A001F, kImportance = 0x00170003,
                  kRead = 0x0E69000B, kShort = 0x10010002, kClsidCol = 0x10020048,
                  kBin = 0x10030102, kMvText = 0x1004101F, kDouble = 0x10050005;
constexpr PropTag kRowId = 0x67F20003, kRowVer = 0x67F30003;

const std::vector<PropTag> kColumns = {kSubject, kSize,  kFlags,    kTime, kSender, kImportance,
                                       kRead,    kShort, kClsidCol, kBin,  kMvText, kDouble};

Buf le(std::uint64_t v, std::size_t n) {
  Buf b;
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

std::u16string subject(std::uint32_t i) {
  std::u16string s = u"Message number ";
  for (char c : std::to_string(i)) s.push_back(static_cast<char16_t>(c));
  return s;
}

std::vector<Property> row_values(std::uint32_t i) {
  return {{kSubject, subject(i)},
          {kSize, static_cast<std::int32_t>(1000 + i)},
          {kFlags, std::int32_t{1}},
          {kTime, FileTime{0x01DA000000000000ull + i}},
          {kSender, std::u16string(u"Sender")},
          {kRead, (i % 2) == 0}};
}

class Tables : public ::testing::Test {
 protected:
  TempDir tmp_{"larkfield-ltp"};
  fs::path path_ = tmp_.path() / "tc.pst";
  ndb::Database db_ = ndb::Database::create(path_, {.sync = false});

  ndb::Nid put(const NodeData& d, ndb::NidType type = ndb::NidType::kContentsTable) {
    const ndb::Nid nid = db_.allocate_nid(type);
    db_.put_node({nid, d.data, d.subnodes, 0});
    return nid;
  }
  Tc read_back(ndb::Nid nid) {
    LtpFile f(path_);
    const auto& n = f.image.node(nid);
    return read_tc(f, n.data, n.sub);
  }
};

// The row with id `id`: its position from the row index, checked against the row.
std::size_t position(const Tc& tc, std::uint32_t id) {
  const std::size_t p = tc.rows_by_id.at(id);
  EXPECT_EQ(le32(tc.rows.at(p), 0), id);
  return p;
}

TEST_F(Tables, LayoutAndCellsOfZeroOneAndManyRows) {
  TableWriter empty(db_, kColumns);
  const ndb::Nid empty_nid = put(empty.flush());

  TableWriter one(db_, kColumns);
  Guid g;
  g.bytes[0] = 0x42;
  const std::vector<Property> values = {
      {kSubject, std::u16string(u"Hello")},
      {kSize, std::int32_t{-5}},
      {kTime, FileTime{0x0102030405060708}},
      {kImportance, std::int32_t{2}},
      {kRead, true},
      {kShort, std::int16_t{0x1234}},
      {kClsidCol, g},
      {kBin, Bytes{}},  // present but empty
      {kMvText, std::vector<std::u16string>{u"a", u"bc"}},
      {kDouble, 0.5},
      {0x7777001F, std::u16string(u"not a column")},
      {0x00370102, Bytes{std::byte{1}}},  // subject's id with another type: not a column
  };
  one.set_row(0x200024, values);
  EXPECT_TRUE(one.has_row(0x200024));
  EXPECT_FALSE(one.has_row(0x200025));
  const ndb::Nid one_nid = put(one.flush());

  TableWriter many(db_, kColumns);
  for (std::uint32_t i = 0; i < 3000; ++i) many.set_row(0x200004 + 32 * i, row_values(i));
  EXPECT_EQ(many.row_count(), 3000u);
  const ndb::Nid many_nid = put(many.flush());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);

  // Columns sorted by tag, with the row id at 0 (bit 0) and version at 4 (bit 1); the
  // 8/4, 2, 1-byte groups and a CEB of one bit per column.
  Tc e = read_back(empty_nid);
  EXPECT_TRUE(e.rows.empty());
  EXPECT_EQ(e.hnid_rows, 0u);
  ASSERT_EQ(e.columns.size(), kColumns.size() + 2);
  for (std::size_t i = 1; i < e.columns.size(); ++i)
    EXPECT_LT(e.columns[i - 1].tag, e.columns[i].tag);
  for (const TcColumn& c : e.columns) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tag);
    if (c.tag == kRowId) {
      EXPECT_EQ(c.offset, 0);
      EXPECT_EQ(c.bit, 0);
    }
    if (c.tag == kRowVer) {
      EXPECT_EQ(c.offset, 4);
      EXPECT_EQ(c.bit, 1);
    }
    const std::size_t want = c.tag == kRead                         ? 1
                             : c.tag == kShort                      ? 2
                             : (c.tag == kTime || c.tag == kDouble) ? 8
                                                                    : 4;
    EXPECT_EQ(c.width, want);
    const std::size_t lo = c.width == 1 ? e.rgib[1] : c.width == 2 ? e.rgib[0] : 0;
    const std::size_t hi = c.width == 1 ? e.rgib[2] : c.width == 2 ? e.rgib[1] : e.rgib[0];
    EXPECT_GE(c.offset, lo);
    EXPECT_LE(c.offset + c.width, hi);
  }
  EXPECT_EQ(e.rgib[3] - e.rgib[2], (e.columns.size() + 7) / 8);

  Tc o = read_back(one_nid);
  ASSERT_EQ(o.rows.size(), 1u);
  EXPECT_NE(o.hnid_rows & 0x1F, 0x1Fu);  // a small matrix lives in the heap
  // A small table is one heap page, cells included (a recipient table per message must
  // not cost a whole padded block), with the BTH header and TCINFO first.
  EXPECT_EQ(o.heap.pages.size(), 1u);
  EXPECT_LT(o.heap.pages[0].size(), 1000u);
  EXPECT_EQ(Buf(o.heap.pages[0].begin() + 4, o.heap.pages[0].begin() + 8), le(0x40, 4));
  EXPECT_EQ(o.cell(f, 0, kRowId), le(0x200024, 4));
  EXPECT_TRUE(o.cell(f, 0, kRowVer).has_value());
  EXPECT_EQ(o.cell(f, 0, kSubject), utf16(u"Hello"));
  EXPECT_EQ(o.cell(f, 0, kSize), le(0xFFFFFFFB, 4));
  EXPECT_EQ(o.cell(f, 0, kTime), le(0x0102030405060708, 8));
  EXPECT_EQ(o.cell(f, 0, kImportance), le(2, 4));
  EXPECT_EQ(o.cell(f, 0, kRead), Buf{1});
  EXPECT_EQ(o.cell(f, 0, kShort), le(0x1234, 2));
  EXPECT_EQ(o.cell(f, 0, kClsidCol), Buf(g.bytes.begin(), g.bytes.end()));
  EXPECT_EQ(o.cell(f, 0, kBin), Buf{});
  EXPECT_EQ(o.cell(f, 0, kMvText),
            (Buf{2, 0, 0, 0, 12, 0, 0, 0, 14, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0}));
  EXPECT_EQ(o.cell(f, 0, kDouble), le(0x3FE0000000000000, 8));
  EXPECT_EQ(o.cell(f, 0, kFlags), std::nullopt);
  EXPECT_EQ(o.cell(f, 0, kSender), std::nullopt);

  Tc m = read_back(many_nid);
  ASSERT_EQ(m.rows.size(), 3000u);
  EXPECT_EQ(m.hnid_rows & 0x1F, 0x1Fu);  // the matrix is a subnode
  ASSERT_GT(m.matrix_blocks.size(), 2u);
  const std::size_t per_block = 8176 / m.rgib[3];
  for (std::size_t i = 0; i + 1 < m.matrix_blocks.size(); ++i) EXPECT_EQ(m.matrix_blocks[i], 8176u);
  EXPECT_EQ(m.matrix_blocks.back(), (3000 - per_block * (m.matrix_blocks.size() - 1)) * m.rgib[3]);
  for (std::uint32_t i = 0; i < 3000; i += 7) {
    const std::size_t p = position(m, 0x200004 + 32 * i);
    EXPECT_EQ(p, i);  // rows keep the order they were added in
    EXPECT_EQ(m.cell(f, p, kSubject), utf16(subject(i)));
    EXPECT_EQ(m.cell(f, p, kSize), le(1000 + i, 4));
    EXPECT_EQ(m.cell(f, p, kRead), Buf{static_cast<std::uint8_t>(i % 2 == 0)});
  }
  EXPECT_GE(m.index.levels, 1);  // 3,000 rows need more than one index leaf
}

TEST_F(Tables, ReplacedAndRemovedRows) {
  TableWriter t(db_, kColumns);
  for (std::uint32_t i = 0; i < 600; ++i) t.set_row(1000 - i, row_values(i));  // ids descending
  const ndb::Nid nid = put(t.flush());
  db_.commit();
  // Replace one row with fewer values, a large one and a changed one; remove two.
  const std::u16string huge(3000, u'x');  // 6,000 bytes: a subnode
  t.set_row(1000 - 50, std::vector<Property>{{kSubject, huge}, {kSize, std::int32_t{7}}});
  t.set_row(1000 - 51, row_values(51));  // the same values again
  t.remove_row(1000 - 10);
  t.remove_row(1000 - 599);
  t.remove_row(5);  // not a row: nothing happens
  EXPECT_EQ(t.row_count(), 598u);
  EXPECT_FALSE(t.has_row(1000 - 10));
  const NodeData d = t.flush();
  db_.put_node({nid, d.data, d.subnodes, 0});
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);
  Tc tc = read_back(nid);
  ASSERT_EQ(tc.rows.size(), 598u);
  std::size_t expected_position = 0;
  for (std::uint32_t i = 0; i < 599; ++i) {
    if (i == 10) continue;
    SCOPED_TRACE(i);
    const std::size_t p = position(tc, 1000 - i);
    EXPECT_EQ(p, expected_position++);
    if (i == 50) {
      EXPECT_EQ(tc.cell(f, p, kSubject), utf16(huge));
      EXPECT_EQ(tc.cell(f, p, kSize), le(7, 4));
      EXPECT_EQ(tc.cell(f, p, kSender), std::nullopt);  // bit clear, bytes zero (verifier)
      EXPECT_EQ(tc.cell(f, p, kTime), std::nullopt);
    } else {
      EXPECT_EQ(tc.cell(f, p, kSubject), utf16(subject(i)));
    }
  }
  EXPECT_EQ(tc.rows_by_id.count(1000 - 599), 0u);
}

TEST_F(Tables, LargeCellsAndRefusedValues) {
  TableWriter t(db_, kColumns);
  auto big = pattern(100000, 9);
  struct Source : ByteSource {
    Bytes data;
    std::size_t at = 0;
    std::size_t read(std::span<std::byte> b) override {
      const std::size_t n = std::min(b.size(), data.size() - at);
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, b.begin());
      at += n;
      return n;
    }
  };
  auto source = std::make_shared<Source>();
  source->data = big;
  t.set_row(1, std::vector<Property>{{kBin, source}, {kSubject, std::u16string(2000, u'y')}});
  // A mismatched value is refused and leaves the table as it was.
  EXPECT_THROW(t.set_row(2, std::vector<Property>{{kSubject, std::u16string(4000, u'z')},
                                                  {kSize, std::int64_t{1}}}),
               Error);
  EXPECT_EQ(t.row_count(), 1u);
  try {
    TableWriter bad(db_, {0x0037001E});
    ADD_FAILURE() << "a PT_STRING8 column was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kInvalidArgument);
  }
  const ndb::Nid nid = put(t.flush());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");  // the refused row's subnode was released
  LtpFile f(path_);
  Tc tc = read_back(nid);
  EXPECT_EQ(tc.cell(f, 0, kBin), u8(big));
  EXPECT_EQ(tc.cell(f, 0, kSubject), utf16(std::u16string(2000, u'y')));
}

TEST_F(Tables, FlushesWriteWhatChangedAndLeakNothing) {
  TableWriter t(db_, kColumns);
  std::uint32_t next = 0;
  auto add = [&](std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i, ++next) t.set_row(0x100004 + 32 * next, row_values(next));
  };
  const ndb::Nid nid = db_.allocate_nid(ndb::NidType::kContentsTable);
  auto flush = [&] {
    const auto before = db_.statistics().bytes_written;
    NodeData d = t.flush();
    db_.put_node({nid, d.data, d.subnodes, 0});
    db_.commit();
    return db_.statistics().bytes_written - before;
  };
  add(20000);
  const auto first = flush();
  add(10);
  const auto second = flush();
  EXPECT_LT(second * 20, first) << "first " << first << ", second " << second;
  const auto idle = flush();  // nothing changed
  EXPECT_LT(idle * 40, first) << "idle " << idle;
  for (int round = 0; round < 30; ++round) {
    add(500);
    if (round % 10 == 3) t.set_row(0x100004 + 32 * 7, row_values(70000));  // an old row
    flush();
  }
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);
  Tc tc = read_back(nid);
  ASSERT_EQ(tc.rows.size(), next);
  for (std::uint32_t i = 0; i < next; i += 97) {
    const std::size_t p = position(tc, 0x100004 + 32 * i);
    EXPECT_EQ(p, i);
    EXPECT_EQ(tc.cell(f, p, kSubject), utf16(subject(i == 7 ? 70000 : i)));
  }
  EXPECT_EQ(tc.cell(f, position(tc, 0x100004 + 32 * 7), kSubject), utf16(subject(70000)));
  EXPECT_GT(tc.heap.pages.size(), 20u);
}

TEST_F(Tables, AppendAfterAFullLastBlock) {
  // 13-byte rows, 628 to a block: the first flush ends with a full, unpadded last block,
  // which must be padded to a whole block once a row follows it.
  TableWriter t(db_, {kSize});
  const ndb::Nid nid = db_.allocate_nid(ndb::NidType::kContentsTable);
  for (std::uint32_t rows : {628u * 2, 1u, 627u, 1u}) {
    for (std::uint32_t i = 0; i < rows; ++i) {
      const auto n = static_cast<std::uint32_t>(t.row_count());
      t.set_row(n, std::vector<Property>{{kSize, static_cast<std::int32_t>(n)}});
    }
    const NodeData d = t.flush();
    db_.put_node({nid, d.data, d.subnodes, 0});
    db_.commit();
  }
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  Tc tc = read_back(nid);
  ASSERT_EQ(tc.rgib[3], 13);
  EXPECT_EQ(tc.matrix_blocks, (std::vector<std::size_t>{8176, 8176, 8176, 13}));
  LtpFile f(path_);
  for (std::uint32_t i = 0; i < 628 * 3 + 1; ++i)
    ASSERT_EQ(tc.cell(f, position(tc, i), kSize), le(i, 4));
}

TEST_F(Tables, HundredThousandRowsAndBackToTheHeap) {
  TableWriter t(db_, {kSize});
  for (std::uint32_t i = 0; i < 100000; ++i)
    t.set_row(i * 32 + 4, std::vector<Property>{{kSize, static_cast<std::int32_t>(i)}});
  const ndb::Nid big = put(t.flush());
  db_.commit();
  // Shrink below one allocation: the matrix returns to the heap, the subnode is freed.
  TableWriter s(db_, {kSize});
  for (std::uint32_t i = 0; i < 400; ++i)
    s.set_row(i, std::vector<Property>{{kSize, static_cast<std::int32_t>(i)}});
  NodeData d = s.flush();
  EXPECT_NE(d.subnodes, 0u);
  for (std::uint32_t i = 0; i < 390; ++i) s.remove_row(i);
  d = s.flush();
  EXPECT_EQ(d.subnodes, 0u);
  const ndb::Nid small = put(d);
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  Tc tc = read_back(big);
  ASSERT_EQ(tc.rows.size(), 100000u);
  EXPECT_EQ(tc.index.levels, 1);
  LtpFile f(path_);
  for (std::uint32_t i = 0; i < 100000; i += 1009)
    EXPECT_EQ(tc.cell(f, position(tc, i * 32 + 4), kSize), le(i, 4));
  Tc sm = read_back(small);
  ASSERT_EQ(sm.rows.size(), 10u);
  EXPECT_EQ(sm.cell(f, position(sm, 395), kSize), le(395, 4));
}

TEST_F(Tables, ReleaseFreesEverything) {
  TableWriter t(db_, kColumns);
  for (std::uint32_t i = 0; i < 2000; ++i) t.set_row(i, row_values(i));
  t.set_row(5000, std::vector<Property>{{kSubject, std::u16string(5000, u'q')}});
  const ndb::Nid nid = put(t.flush());
  db_.commit();
  t.release();
  EXPECT_EQ(t.row_count(), 0u);
  db_.remove_node(nid);
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);
  EXPECT_TRUE(f.image.blocks.empty());
}

// Data bytes of every data block a node reaches (its data tree, its subnodes' trees).
std::uint64_t reached_bytes(const LtpFile& f, std::uint64_t data, std::uint64_t sub) {
  std::uint64_t total = 0;
  for (const Buf& b : f.leaves(data)) total += b.size();
  for (const auto& [nid, ref] : f.subnodes(sub)) total += reached_bytes(f, ref.data, ref.sub);
  return total;
}

TEST_F(Tables, NodeDataOfAFlushReleasesTheWholeTable) {
  // A message-like PC with a large table as a subnode: its NodeData counts and releases
  // all of it after the writers are gone.
  NodeData message;
  {
    TableWriter t(db_, kColumns);
    for (std::uint32_t i = 0; i < 1500; ++i) t.set_row(i, row_values(i));
    t.set_row(9000, std::vector<Property>{{kSubject, std::u16string(5000, u'q')}});
    NodeData table = t.flush();
    PropertyContextWriter pc(db_);
    pc.set({0x0E080003, std::int32_t{1}});
    pc.set({0x1000001F, std::u16string(3000, u'b')});
    pc.add_subnode(ndb::make_nid(ndb::NidType::kRecipientTable, 0x20), table);
    message = pc.finish();
  }
  const ndb::Nid nid = put(message, ndb::NidType::kNormalMessage);
  db_.commit();
  {
    LtpFile f(path_);
    const auto& n = f.image.node(nid);
    EXPECT_EQ(message.bytes, reached_bytes(f, n.data, n.sub));
    auto subs = f.subnodes(n.sub);
    const auto& t = subs.at(ndb::make_nid(ndb::NidType::kRecipientTable, 0x20));
    Tc tc = read_tc(f, t.data, t.sub);
    EXPECT_EQ(tc.rows.size(), 1501u);
    EXPECT_GT(tc.heap.pages.size(), 1u);
  }
  release(db_, message);
  db_.remove_node(nid);
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);
  EXPECT_TRUE(f.image.blocks.empty());
}

}  // namespace
