// Property contexts written through ndb::Database and read back by the test's own
// decoder (ltp_reader) and the structural verifier.

#include <gtest/gtest.h>

#include <algorithm>

#include "pst/ltp/property_context.hpp"
#include "pst/ndb/database.hpp"
#include "tests/pst/ltp/ltp_test_support.hpp"
#include "tests/support/process.hpp"

namespace fs = std::filesystem;
using namespace larkfield::pst;
using namespace larkfield::pst::ltp;
using larkfield::test::TempDir;
using namespace larkfield::test::ltp;

namespace {

// Yields `total` pattern bytes in pieces of `piece`.
class PatternSource : public ByteSource {
 public:
  PatternSource(std::size_t total, unsigned seed, std::size_t piece)
      : data_(pattern(total, seed)), piece_(piece) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = std::min({buffer.size(), piece_, data_.size() - at_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
    at_ += n;
    return n;
  }
  const Bytes& data() const { return data_; }

 private:
  Bytes data_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

class ThrowingSource : public ByteSource {
 public:
  std::size_t read(std::span<std::byte> buffer) override {
    if (calls_++ > 3) throw std::runtime_error("source failed");
    std::fill(buffer.begin(), buffer.end(), std::byte{7});
    return buffer.size();
  }

 private:
  int calls_ = 0;
};

class PropertyContext : public ::testing::Test {
 protected:
  TempDir tmp_{"larkfield-ltp"};
  fs::path path_ = tmp_.path() / "pc.pst";
  ndb::Database db_ = ndb::Database::create(path_, {.sync = false});
  const ndb::Nid kNode = db_.allocate_nid(ndb::NidType::kInternal);

  void put(ndb::Nid nid, const NodeData& d) { db_.put_node({nid, d.data, d.subnodes, 0}); }
  Pc read_back(ndb::Nid nid) {
    LtpFile f(path_);
    const auto& n = f.image.node(nid);
    return read_pc(f, n.data, n.sub);
  }
};

Buf le(std::uint64_t v, std::size_t n) {
  Buf b;
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

TEST_F(PropertyContext, EveryTypeComesBackInItsStoredForm) {
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  const Bytes big = pattern(3581, 3);   // one byte over an allocation: a subnode
  const Bytes edge = pattern(3580, 4);  // exactly one allocation: the heap
  const std::u16string long_text(5000, u'\u00E9');
  struct Case {
    PropTag tag;
    PropValue value;
    Buf stored;
    enum { kInline, kHeap, kSubnode, kZero } where;
  };
  std::vector<Case> cases = {
      {make_tag(0x0101, pt::kShort), std::int16_t{-2}, le(0xFFFE, 2), Case::kInline},
      {make_tag(0x0102, pt::kLong), std::int32_t{0x12345678}, le(0x12345678, 4), Case::kInline},
      {make_tag(0x0103, pt::kFloat), 1.5f, le(0x3FC00000, 4), Case::kInline},
      {make_tag(0x0104, pt::kError), std::int32_t{-2147221233}, le(0x8004010F, 4), Case::kInline},
      {make_tag(0x0105, pt::kBoolean), true, Buf{1}, Case::kInline},
      {make_tag(0x0106, pt::kDouble), 2.0, le(0x4000000000000000, 8), Case::kHeap},
      {make_tag(0x0107, pt::kAppTime), -1.0, le(0xBFF0000000000000, 8), Case::kHeap},
      {make_tag(0x0108, pt::kCurrency), std::int64_t{-1}, le(~0ull, 8), Case::kHeap},
      {make_tag(0x0109, pt::kI8), std::int64_t{0x0102030405060708}, le(0x0102030405060708, 8),
       Case::kHeap},
      {make_tag(0x010A, pt::kSysTime), FileTime{0x01D9000000000001}, le(0x01D9000000000001, 8),
       Case::kHeap},
      {make_tag(0x010B, pt::kClsid), g, Buf(g.bytes.begin(), g.bytes.end()), Case::kHeap},
      {make_tag(0x010C, pt::kUnicode), std::u16string(u"Gr\u00FC\u00DFe"),
       utf16(u"Gr\u00FC\u00DFe"), Case::kHeap},
      {make_tag(0x010D, pt::kUnicode), long_text, utf16(long_text), Case::kSubnode},
      {make_tag(0x010E, pt::kBinary), edge, u8(edge), Case::kHeap},
      {make_tag(0x010F, pt::kBinary), big, u8(big), Case::kSubnode},
      {make_tag(0x0110, pt::kUnicode), std::u16string(), Buf{}, Case::kZero},
      {make_tag(0x0111, pt::kBinary), Bytes(), Buf{}, Case::kZero},
      {make_tag(0x0112, pt::kMultiValued | pt::kShort), std::vector<std::int16_t>{1, -1},
       Buf{1, 0, 0xFF, 0xFF}, Case::kHeap},
      {make_tag(0x0113, pt::kMultiValued | pt::kLong), std::vector<std::int32_t>{7, 8},
       Buf{7, 0, 0, 0, 8, 0, 0, 0}, Case::kHeap},
      {make_tag(0x0114, pt::kMultiValued | pt::kFloat), std::vector<float>{1.5f}, le(0x3FC00000, 4),
       Case::kHeap},
      {make_tag(0x0115, pt::kMultiValued | pt::kDouble), std::vector<double>{2.0},
       le(0x4000000000000000, 8), Case::kHeap},
      {make_tag(0x0116, pt::kMultiValued | pt::kI8), std::vector<std::int64_t>{5}, le(5, 8),
       Case::kHeap},
      {make_tag(0x0117, pt::kMultiValued | pt::kSysTime), std::vector<FileTime>{{9}, {10}},
       [] {
         Buf b = le(9, 8), c = le(10, 8);
         b.insert(b.end(), c.begin(), c.end());
         return b;
       }(),
       Case::kHeap},
      {make_tag(0x0118, pt::kMultiValued | pt::kClsid), std::vector<Guid>{g},
       Buf(g.bytes.begin(), g.bytes.end()), Case::kHeap},
      // ulCount, offsets from the start of the value, then the items back to back.
      {make_tag(0x0119, pt::kMultiValued | pt::kUnicode),
       std::vector<std::u16string>{u"ab", u"", u"c"},
       Buf{3, 0, 0, 0, 16, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0}, Case::kHeap},
      {make_tag(0x011A, pt::kMultiValued | pt::kBinary),
       std::vector<Bytes>{Bytes{std::byte{1}}, Bytes{std::byte{2}, std::byte{3}}},
       Buf{2, 0, 0, 0, 12, 0, 0, 0, 13, 0, 0, 0, 1, 2, 3}, Case::kHeap},
      {make_tag(0x011B, pt::kMultiValued | pt::kUnicode), std::vector<std::u16string>{},
       Buf{0, 0, 0, 0}, Case::kHeap},
      {make_tag(0x011C, pt::kMultiValued | pt::kCurrency), std::vector<std::int64_t>{-2},
       le(~1ull, 8), Case::kHeap},
      {make_tag(0x011D, pt::kMultiValued | pt::kAppTime), std::vector<double>{-1.0},
       le(0xBFF0000000000000, 8), Case::kHeap},
  };
  PropertyContextWriter w(db_);
  // Set in reverse id order: the BTH must come out sorted anyway.
  for (auto it = cases.rbegin(); it != cases.rend(); ++it)
    EXPECT_EQ(w.set({it->tag, it->value}), it->stored.size()) << std::hex << it->tag;
  put(kNode, w.finish());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");

  Pc pc = read_back(kNode);
  ASSERT_EQ(pc.props.size(), cases.size());
  std::uint16_t last = 0;
  for (const Buf& r : pc.bth.records) {
    EXPECT_GT(le16(r, 0), last);
    last = le16(r, 0);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tag);
    const PcValue& v = pc.props.at(prop_id(c.tag));
    EXPECT_EQ(v.type, prop_type(c.tag));
    EXPECT_EQ(v.bytes, c.stored);
    switch (c.where) {
      case Case::kInline: {
        Buf four = c.stored;
        four.resize(4);
        EXPECT_EQ(le(v.hnid, 4), four);  // left-aligned, rest zero
        break;
      }
      case Case::kHeap:
        EXPECT_EQ(v.hnid & 0x1F, 0u);
        EXPECT_NE(v.hnid, 0u);
        break;
      case Case::kSubnode:
        EXPECT_EQ(v.hnid & 0x1F, 0x1Fu);
        break;
      case Case::kZero:
        EXPECT_EQ(v.hnid, 0u);
        break;
    }
  }
  // Outlook's layout: the BTH header is the first allocation.
  EXPECT_EQ(pc.heap.root, 0x20u);
}

TEST_F(PropertyContext, ByteSourcesAreStreamedIntoSubnodes) {
  PatternSource large(5 * 1024 * 1024 + 17, 11, 70000);
  PatternSource small(100, 12, 7);  // small enough for the heap
  PatternSource empty(0, 13, 1);
  PropertyContextWriter w(db_);
  EXPECT_EQ(w.set({make_tag(0x3701, pt::kBinary),
                   std::shared_ptr<ByteSource>(&large, [](ByteSource*) {})}),
            large.data().size());
  EXPECT_EQ(w.set({make_tag(0x3702, pt::kBinary),
                   std::shared_ptr<ByteSource>(&small, [](ByteSource*) {})}),
            100u);
  EXPECT_EQ(w.set({make_tag(0x3703, pt::kBinary),
                   std::shared_ptr<ByteSource>(&empty, [](ByteSource*) {})}),
            0u);
  put(kNode, w.finish());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  Pc pc = read_back(kNode);
  EXPECT_EQ(pc.props.at(0x3701).hnid & 0x1F, 0x1Fu);
  EXPECT_EQ(pc.props.at(0x3701).bytes, u8(large.data()));
  EXPECT_EQ(pc.props.at(0x3702).hnid & 0x1F, 0u);
  EXPECT_EQ(pc.props.at(0x3702).bytes, u8(small.data()));
  EXPECT_EQ(pc.props.at(0x3703).hnid, 0u);
}

TEST_F(PropertyContext, ManyHeapPagesAndAnIndexedBth) {
  // 60 values of 3,000 bytes need about 23 heap pages (page 8 has the bitmap header);
  // 900 small properties need two BTH leaves and an index level.
  PropertyContextWriter w(db_);
  std::map<std::uint16_t, Bytes> values;
  for (std::uint16_t i = 0; i < 60; ++i) {
    values[static_cast<std::uint16_t>(0x4000 + i)] = pattern(3000, i);
    w.set({make_tag(static_cast<std::uint16_t>(0x4000 + i), pt::kBinary),
           values[static_cast<std::uint16_t>(0x4000 + i)]});
  }
  for (std::uint16_t i = 0; i < 900; ++i)
    w.set({make_tag(static_cast<std::uint16_t>(0x6000 + i), pt::kI8), std::int64_t{i * 3}});
  put(kNode, w.finish());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  Pc pc = read_back(kNode);
  EXPECT_GE(pc.heap.pages.size(), 22u);
  EXPECT_EQ(pc.bth.levels, 1);
  ASSERT_EQ(pc.props.size(), 960u);
  for (auto& [id, bytes] : values) EXPECT_EQ(pc.props.at(id).bytes, u8(bytes)) << id;
  for (std::uint16_t i = 0; i < 900; ++i)
    EXPECT_EQ(pc.props.at(static_cast<std::uint16_t>(0x6000 + i)).bytes, le(i * 3u, 8));
  // Every page but the last is a whole block, the fill levels follow the sizes (the
  // verifier checks them; here the page count of page 0's nibbles is looked at too).
  for (std::size_t i = 0; i + 1 < pc.heap.pages.size(); ++i)
    EXPECT_EQ(pc.heap.pages[i].size(), 8176u) << i;
}

// stored_bytes() lays the heap out without building it; it must give the size the
// finished node has, across page boundaries, the bitmap page and BTH index levels.
TEST_F(PropertyContext, StoredBytesIsTheSizeOfTheFinishedNode) {
  for (std::size_t values : {0u, 1u, 2u, 3u, 5u, 8u, 20u, 61u, 200u}) {
    for (std::size_t size : {1u, 7u, 500u, 2700u, 3580u, 3581u}) {
      PropertyContextWriter w(db_);
      for (std::size_t i = 0; i < values; ++i)
        w.set({make_tag(static_cast<std::uint16_t>(0x4000 + i), pt::kBinary),
               pattern(size + i % 3, static_cast<unsigned>(i))});
      for (std::size_t i = 0; i < values * 4; ++i)
        w.set({make_tag(static_cast<std::uint16_t>(0x6000 + i), pt::kI8), std::int64_t{1}});
      const std::uint64_t expected = w.stored_bytes();
      const NodeData d = w.finish();
      EXPECT_EQ(d.bytes, expected) << values << " values of " << size << " bytes";
      release(db_, d);
    }
  }
}

TEST_F(PropertyContext, ObjectRecordsSitInTheHeap) {
  PropertyContextWriter w(db_);
  const Bytes record = {std::byte{0x61}, std::byte{0},    std::byte{0}, std::byte{0},
                        std::byte{0x10}, std::byte{0x27}, std::byte{0}, std::byte{0}};
  EXPECT_EQ(w.set({make_tag(0x3701, pt::kObject), record}), 8u);
  EXPECT_THROW(w.set({make_tag(0x3702, pt::kObject), Bytes(7)}), Error);
  EXPECT_THROW(w.set({make_tag(0x3702, pt::kObject), std::int32_t{1}}), Error);
  put(kNode, w.finish());
  db_.close();
  Pc pc = read_back(kNode);
  ASSERT_EQ(pc.props.size(), 1u);
  EXPECT_EQ(pc.props.at(0x3701).type, pt::kObject);
  EXPECT_EQ(pc.props.at(0x3701).hnid & 0x1F, 0u);
  EXPECT_EQ(pc.props.at(0x3701).bytes, u8(record));
}

TEST_F(PropertyContext, EmptyContext) {
  PropertyContextWriter w(db_);
  put(kNode, w.finish());
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  Pc pc = read_back(kNode);
  EXPECT_TRUE(pc.props.empty());
  EXPECT_EQ(pc.bth.levels, 0);
}

TEST_F(PropertyContext, RefusesValuesTheTypeCannotHold) {
  PropertyContextWriter w(db_);
  auto code = [&](const Property& p) {
    try {
      w.set(p);
    } catch (const Error& e) {
      return e.code();
    }
    return Error::Code::kCorrupt;  // not thrown
  };
  const auto kBad = Error::Code::kInvalidArgument;
  EXPECT_EQ(code({make_tag(0x3001, pt::kLong), std::int16_t{1}}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kUnicode), Bytes{}}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kString8), std::u16string(u"x")}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kMultiValued | pt::kLong), std::int32_t{1}}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kMultiValued | pt::kBoolean), std::vector<std::int16_t>{}}),
            kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kUnicode), std::shared_ptr<ByteSource>()}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, pt::kBinary), std::shared_ptr<ByteSource>()}), kBad);
  EXPECT_EQ(code({make_tag(0x3001, 0x0099), std::int32_t{1}}), kBad);
  try {
    w.add_subnode(ndb::SubnodeEntry{ndb::make_nid(ndb::NidType::kLtp, 5), 4, 0});
    ADD_FAILURE() << "an LTP subnode was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), kBad);
  }
  // Nothing was stored by the refused calls.
  put(kNode, w.finish());
  db_.close();
  EXPECT_TRUE(read_back(kNode).props.empty());
}

TEST_F(PropertyContext, ReplacedValuesAndReleasedNodesLeaveNoLeak) {
  const ndb::Nid attach = ndb::make_nid(ndb::NidType::kAttachment, 0x21);
  // An attachment-like child with a subnode of its own, added to a parent.
  PropertyContextWriter child(db_);
  child.set({make_tag(0x3701, pt::kBinary), pattern(20000, 1)});
  NodeData child_data = child.finish();
  ASSERT_NE(child_data.subnodes, 0u);

  PropertyContextWriter w(db_);
  w.set({make_tag(0x1000, pt::kUnicode), std::u16string(4000, u'a')});  // subnode
  w.set({make_tag(0x1000, pt::kUnicode), std::u16string(u"short")});    // replaces it
  w.set({make_tag(0x1001, pt::kBinary), pattern(9000, 2)});
  w.set({make_tag(0x1001, pt::kBinary), pattern(12000, 3)});
  w.set({make_tag(0x0E07, pt::kLong), std::int32_t{1}});
  w.set({make_tag(0x0E07, pt::kLong), std::int32_t{2}});
  w.add_subnode(attach, child_data);
  NodeData parent = w.finish();
  put(kNode, parent);
  {
    // An unfinished writer gives its value subnodes back.
    PropertyContextWriter abandoned(db_);
    abandoned.set({make_tag(0x1001, pt::kBinary), pattern(30000, 4)});
  }
  {
    // So does one whose ByteSource fails part way.
    PropertyContextWriter failing(db_);
    auto source = std::make_shared<ThrowingSource>();
    EXPECT_THROW(failing.set({make_tag(0x1001, pt::kBinary), source}), std::runtime_error);
  }
  db_.commit();
  {
    LtpFile f(path_);
    const auto& n = f.image.node(kNode);
    Pc pc = read_pc(f, n.data, n.sub);
    EXPECT_EQ(pc.props.at(0x1000).bytes, utf16(u"short"));
    EXPECT_EQ(pc.props.at(0x1001).bytes, u8(pattern(12000, 3)));
    EXPECT_EQ(pc.props.at(0x0E07).bytes, le(2, 4));
    auto subs = f.subnodes(n.sub);
    ASSERT_TRUE(subs.count(attach));
    Pc inner = read_pc(f, subs.at(attach).data, subs.at(attach).sub);
    EXPECT_EQ(inner.props.at(0x3701).bytes, u8(pattern(20000, 1)));
  }
  // The replaced values were released (their space is free after the next commit).
  EXPECT_EQ(structural_errors(path_, /*pending_free=*/true), "");

  // A second node, then release of the first with everything below it.
  PropertyContextWriter again(db_);
  again.set({make_tag(0x1001, pt::kBinary), pattern(12000, 5)});
  put(db_.allocate_nid(ndb::NidType::kInternal), again.finish());
  release(db_, parent);
  db_.remove_node(kNode);
  db_.close();
  EXPECT_EQ(structural_errors(path_), "");
  LtpFile f(path_);
  EXPECT_EQ(f.image.nodes.count(kNode), 0u);
  // The second node: its heap, the value's XBLOCK and 2 data blocks, the SLBLOCK.
  EXPECT_EQ(f.image.blocks.size(), 5u);
}

}  // namespace
