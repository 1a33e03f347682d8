// The node database read back without the writer: a small reader in this file follows the
// header to the B-trees and the blocks, and the structural verifier checks every page,
// block and allocation map. Store-level rules (mandatory nodes, heaps) do not apply to a
// bare node database and are left out.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pst/check/check.hpp"
#include "pst/ndb/codec.hpp"
#include "pst/ndb/database.hpp"
#include "tests/support/process.hpp"

namespace fs = std::filesystem;
using namespace larkfield::pst;
using namespace larkfield::pst::ndb;

namespace {

// ---- an independent reader of what the header reaches ----
class Reader {
 public:
  explicit Reader(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.resize(static_cast<std::size_t>(fs::file_size(path)));
    in.read(bytes_.data(), static_cast<std::streamsize>(bytes_.size()));
    crypt_ = u8(513);
    nbt_ = {u64(180 + 36), u64(180 + 44)};
    bbt_ = {u64(180 + 52), u64(180 + 60)};
  }

  std::optional<NodeEntry> node(Nid nid) const {
    auto e = lookup(nbt_.second, nid, 32);
    if (!e) return std::nullopt;
    return NodeEntry{static_cast<Nid>(u64(*e)), u64(*e + 8), u64(*e + 16),
                     static_cast<Nid>(u32(*e + 24))};
  }

  // The bytes of a data block or data tree.
  std::vector<std::uint8_t> data(Bid bid) const {
    auto [ib, cb] = block(bid);
    std::vector<std::uint8_t> raw(bytes_.begin() + ib, bytes_.begin() + ib + cb);
    if (!(bid & 2)) {
      if (crypt_ == 1) permute_decode(raw);
      return raw;
    }
    EXPECT_EQ(raw.at(0), 1) << "not an XBLOCK/XXBLOCK";
    const std::uint32_t total = raw[4] | raw[5] << 8 | raw[6] << 16 | raw[7] << 24;
    std::vector<std::uint8_t> out;
    const std::size_t count = raw[2] | raw[3] << 8;
    for (std::size_t i = 0; i < count; ++i) {
      Bid child = 0;
      for (int b = 0; b < 8; ++b) child |= static_cast<Bid>(raw[8 + 8 * i + b]) << (8 * b);
      auto part = data(child);
      out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_EQ(out.size(), total);
    return out;
  }

  // (nid, data, sub) of a subnode tree.
  std::vector<SubnodeEntry> subnodes(Bid bid) const {
    auto [ib, cb] = block(bid);
    const std::size_t count = u8(ib + 2) | u8(ib + 3) << 8;
    std::vector<SubnodeEntry> out;
    if (u8(ib + 1) == 0) {
      for (std::size_t i = 0; i < count; ++i)
        out.push_back(
            {static_cast<Nid>(u64(ib + 8 + 24 * i)), u64(ib + 16 + 24 * i), u64(ib + 24 + 24 * i)});
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        auto part = subnodes(u64(ib + 16 + 16 * i));
        out.insert(out.end(), part.begin(), part.end());
      }
    }
    return out;
  }

 private:
  std::pair<std::uint64_t, std::uint16_t> block(Bid bid) const {
    auto e = lookup(bbt_.second, bid, 24);
    if (!e) throw std::runtime_error("block not in the BBT: " + std::to_string(bid));
    return {u64(*e + 8), static_cast<std::uint16_t>(u8(*e + 16) | u8(*e + 17) << 8)};
  }
  // Offset of the leaf entry with `key`, walking from the page at `ib`.
  std::optional<std::uint64_t> lookup(std::uint64_t ib, std::uint64_t key,
                                      std::size_t leaf_size) const {
    const std::size_t count = u8(ib + 488), level = u8(ib + 491);
    if (level == 0) {
      for (std::size_t i = 0; i < count; ++i)
        if (u64(ib + leaf_size * i) == key) return ib + leaf_size * i;
      return std::nullopt;
    }
    std::optional<std::uint64_t> child;
    for (std::size_t i = 0; i < count; ++i)
      if (u64(ib + 24 * i) <= key) child = u64(ib + 24 * i + 16);
    if (!child) return std::nullopt;
    return lookup(*child, key, leaf_size);
  }
  std::uint8_t u8(std::uint64_t at) const { return static_cast<std::uint8_t>(bytes_.at(at)); }
  std::uint32_t u32(std::uint64_t at) const {
    return u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 |
           static_cast<std::uint32_t>(u8(at + 3)) << 24;
  }
  std::uint64_t u64(std::uint64_t at) const {
    return u32(at) | static_cast<std::uint64_t>(u32(at + 4)) << 32;
  }
  std::vector<char> bytes_;
  std::uint8_t crypt_ = 0;
  std::pair<std::uint64_t, std::uint64_t> nbt_, bbt_;
};

// Findings of the verifier that concern the node database itself.
std::string ndb_findings(const fs::path& path, bool crashed = false) {
  check::Options opt;
  opt.crash_state = crashed;
  auto report = check::verify_file(path, opt);
  std::string out;
  if (!report.readable) return "unreadable\n";
  for (const auto& f : report.findings) {
    if (f.severity != check::Finding::Severity::kError) continue;
    static const char* kLayers[] = {"header.", "root.",  "page.", "block.",  "btree.",
                                    "bbt.",    "amap.",  "pmap.", "fmap.",   "fpmap.",
                                    "dlist.",  "alloc.", "bid.",  "subnode."};
    for (const char* layer : kLayers)
      if (f.rule.rfind(layer, 0) == 0) out += f.rule + ": " + f.message + "\n";
  }
  return out;
}

// Bytes that differ at every offset and from seed to seed: eight at a time from a 64-bit
// generator, as the tests write tens of megabytes of them.
std::vector<std::byte> pattern(std::size_t n, unsigned seed) {
  std::vector<std::byte> v(n);
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t word = rng();
    std::memcpy(v.data() + i, &word, std::min<std::size_t>(8, n - i));
  }
  return v;
}

std::vector<std::uint8_t> as_u8(const std::vector<std::byte>& v) {
  std::vector<std::uint8_t> out(v.size());
  if (!v.empty()) std::memcpy(out.data(), v.data(), v.size());
  return out;
}

class NodeDatabase : public ::testing::Test {
 protected:
  larkfield::test::TempDir tmp_{"larkfield-ndb"};
  fs::path file(const char* name) { return tmp_.path() / name; }
};

// The folded CRC against zlib for every length around its 16- and 64-byte steps, at every
// alignment, and for a known value.
TEST(Crc, FoldedCrcMatchesZlibAtEveryLengthAndAlignment) {
  std::vector<std::uint8_t> data(70000);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t offset = 0; offset < 16; ++offset)
    for (std::size_t n = 0; n < 300; ++n) {
      const std::span<const std::uint8_t> s(data.data() + offset, n);
      ASSERT_EQ(crc32(s), crc32_reference(s)) << "offset " << offset << " length " << n;
    }
  for (std::size_t n : {8176u, 8192u, 65536u, 69999u}) {
    const std::span<const std::uint8_t> s(data.data() + 1, n);
    EXPECT_EQ(crc32(s), crc32_reference(s)) << n;
  }
  // The register starts at 0 and is not inverted: "123456789" gives 0x2DFD2D88.
  const std::string check = "123456789";
  EXPECT_EQ(crc32({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}),
            0x2DFD2D88u);
  std::vector<std::uint8_t> zeros(4096, 0);
  EXPECT_EQ(crc32(zeros), 0u);
}

// The encoding at every length around its 64-byte step and at every alignment:
// decoding gives the input back, and the bytes past the end are not touched.
TEST(Permute, EncodingIsUndoneByDecodingAtEveryLengthAndAlignment) {
  std::vector<std::byte> data(9000);
  std::mt19937 rng(11);
  for (auto& b : data) b = static_cast<std::byte>(rng());
  for (std::size_t offset = 0; offset < 8; ++offset)
    for (std::size_t n = 0; n < 200; ++n) {
      std::vector<std::uint8_t> out(n + 1, 0xA5);
      const std::span<const std::byte> in(data.data() + offset, n);
      permute_copy(in, out.data());
      ASSERT_EQ(out[n], 0xA5) << n;
      permute_decode(std::span<std::uint8_t>(out).first(n));
      ASSERT_EQ(std::memcmp(out.data(), in.data(), n), 0) << "offset " << offset << " length " << n;
    }
  std::vector<std::uint8_t> out(8176);
  permute_copy(std::span<const std::byte>(data).first(8176), out.data());
  std::size_t unchanged = 0;
  for (std::size_t i = 0; i < out.size(); ++i)
    unchanged += out[i] == static_cast<std::uint8_t>(data[i]) ? 1 : 0;
  EXPECT_LT(unchanged, 200u);  // it encodes; a handful of bytes map to themselves by chance
  permute_decode(out);
  EXPECT_EQ(std::memcmp(out.data(), data.data(), out.size()), 0);
}

TEST_F(NodeDatabase, ValuesOfEverySizeComeBackByteExact) {
  for (bool encode : {true, false}) {
    SCOPED_TRACE(encode ? "permute" : "plain");
    const fs::path path = file(encode ? "p.pst" : "n.pst");
    auto db = Database::create(path, {.encode_blocks = encode, .sync = false});
    const std::size_t sizes[] = {0, 1, 8176, 8177, 1021 * 8176, 1021 * 8176 + 1};
    std::map<Nid, std::vector<std::byte>> values;
    unsigned seed = 1;
    for (std::size_t n : sizes) {
      Nid nid = db.allocate_nid(NidType::kLtp);
      values[nid] = pattern(n, seed++);
      db.put_node({nid, db.write_data(values[nid]), 0, 0});
      // The same through a stream, in uneven pieces.
      Nid snid = db.allocate_nid(NidType::kLtp);
      values[snid] = pattern(n, seed++);
      DataStream s(db);
      for (std::size_t off = 0; off < n; off += 5000)
        s.append(std::span(values[snid]).subspan(off, std::min<std::size_t>(5000, n - off)));
      EXPECT_EQ(s.size(), n);
      db.put_node({snid, s.finish(), 0, 0});
    }
    db.close();
    EXPECT_EQ(ndb_findings(path), "");
    Reader r(path);
    for (auto& [nid, bytes] : values) {
      auto e = r.node(nid);
      ASSERT_TRUE(e) << nid;
      EXPECT_EQ(r.data(e->data), as_u8(bytes)) << "size " << bytes.size();
    }
  }
}

TEST_F(NodeDatabase, SubnodeTreesAndDataTreesThatChange) {
  const fs::path path = file("s.pst");
  auto db = Database::create(path, {.sync = false});
  std::vector<SubnodeEntry> entries;
  for (std::uint32_t i = 0; i < 1000; ++i)
    entries.push_back({make_nid(NidType::kLtp, 0x800 + i), db.write_data(pattern(10, i)), 0});
  const Nid small = db.allocate_nid(NidType::kLtp), big = db.allocate_nid(NidType::kLtp);
  std::vector<SubnodeEntry> few;  // blocks are never shared: these have their own
  for (std::uint32_t i = 0; i < 3; ++i)
    few.push_back({make_nid(NidType::kLtp, 0x800 + i), db.write_data(pattern(10, i)), 0});
  db.put_node({small, db.write_data(pattern(5, 9)), db.write_subnodes(few), 0});
  db.put_node({big, db.write_data(pattern(5, 9)), db.write_subnodes(entries), 0});

  // A data tree rewritten in place across commits: only the changed blocks are new.
  DataTree tree;
  const Nid tnid = db.allocate_nid(NidType::kLtp);
  std::vector<std::vector<std::byte>> blocks;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 3; ++i) {
      blocks.push_back(pattern(8176, 100 + round * 10 + i));
      tree.set_block(db, blocks.size() - 1, blocks.back());
    }
    blocks[0] = pattern(8176, 200 + round);  // the first block changes every round
    tree.set_block(db, 0, blocks[0]);
    // The last block may be short; a successor needs it full again.
    blocks.back() = pattern(700, 300 + round);
    tree.set_block(db, blocks.size() - 1, blocks.back());
    db.put_node({tnid, tree.root(db), 0, 0});
    db.commit();
    EXPECT_EQ(ndb_findings(path, /*crashed=*/true), "") << "round " << round;
    blocks.back() = pattern(8176, 400 + round);
    tree.set_block(db, blocks.size() - 1, blocks.back());
  }
  db.put_node({tnid, tree.root(db), 0, 0});
  {
    // A short block before the last would send readers to the wrong block for an offset.
    DataTree bad;
    bad.set_block(db, 0, pattern(8000, 1));
    bad.set_block(db, 1, pattern(10, 2));
    try {
      bad.root(db);
      ADD_FAILURE() << "a data tree with a short first block was written";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::kInvalidArgument);
    }
    bad.release(db);
  }
  // A released node and its data tree leave nothing behind once the file is closed.
  const Nid gone = db.allocate_nid(NidType::kLtp);
  const Bid gone_data = db.write_data(pattern(50000, 5));
  db.put_node({gone, gone_data, 0, 0});
  db.commit();
  db.remove_node(gone);
  db.release(gone_data);
  db.close();
  EXPECT_EQ(ndb_findings(path), "");

  Reader r(path);
  auto got = r.subnodes(r.node(big)->subnodes);
  ASSERT_EQ(got.size(), entries.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].nid, entries[i].nid);
    EXPECT_EQ(r.data(got[i].data), as_u8(pattern(10, static_cast<unsigned>(i))));
  }
  EXPECT_EQ(r.subnodes(r.node(small)->subnodes).size(), 3u);
  std::vector<std::uint8_t> expect;
  for (auto& b : blocks)
    expect.insert(expect.end(), reinterpret_cast<std::uint8_t*>(b.data()),
                  reinterpret_cast<std::uint8_t*>(b.data()) + b.size());
  EXPECT_EQ(r.data(r.node(tnid)->data), expect);
  EXPECT_FALSE(r.node(gone));
}

TEST_F(NodeDatabase, ManyNodesAcrossManyRegionsReleasedAfterCommits) {
  const fs::path path = file("m.pst");
  auto db = Database::create(path, {.sync = false});
  std::vector<Nid> nids;
  for (int i = 0; i < 30000; ++i) {
    // Folders created now and then land in the middle of the node tree.
    Nid nid = db.allocate_nid(i % 1000 == 0 ? NidType::kNormalFolder : NidType::kNormalMessage);
    db.put_node({nid, db.write_data(pattern(200 + i % 700, i)), 0, 0});
    nids.push_back(nid);
    if (i % 4000 == 0) db.commit();
  }
  // Values written long before the last commit are replaced and removed: their index
  // entries and allocation maps are no longer all in memory, and the space must still be
  // freed exactly, a streamed value of more than 1,021 blocks with all its XBLOCKs too.
  const Nid streamed = db.allocate_nid(NidType::kLtp);
  {
    DataStream s(db);
    s.append(pattern(1100 * 8176 + 5, 77));
    db.put_node({streamed, s.finish(), 0, 0});
  }
  db.commit();
  db.release(db.find_node(streamed)->data);
  db.remove_node(streamed);
  for (int i = 1; i < 30000; i += 7) {
    db.release(db.find_node(nids[i])->data);
    if (i % 2 == 0) {
      db.put_node({nids[i], db.write_data(pattern(100, i + 1)), 0, 0});
    } else {
      db.remove_node(nids[i]);
    }
  }
  db.close();
  EXPECT_GT(db.statistics().file_size, 20u * 0x3E000);
  EXPECT_EQ(ndb_findings(path), "");
  Reader r(path);
  EXPECT_FALSE(r.node(streamed));
  for (int i = 0; i < 30000; i += 997) {
    if (i % 7 != 1) {
      EXPECT_EQ(r.data(r.node(nids[i])->data), as_u8(pattern(200 + i % 700, i)));
    } else if (i % 2 == 0) {
      EXPECT_EQ(r.data(r.node(nids[i])->data), as_u8(pattern(100, i + 1)));
    } else {
      EXPECT_FALSE(r.node(nids[i]));
    }
  }
}

TEST_F(NodeDatabase, AnExistingFileIsNeverTouched) {
  const fs::path path = file("exists.pst");
  std::ofstream(path) << "precious";
  try {
    Database::create(path, {});
    FAIL() << "created over an existing file";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kFileExists);
  }
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, "precious");
}

TEST_F(NodeDatabase, RefusesToGrowPastItsMaximumAndStaysValid) {
  const fs::path path = file("max.pst");
  auto db = Database::create(path, {.sync = false, .max_file_size = 4 << 20});
  std::size_t committed = 0;
  std::vector<Nid> nids;
  try {
    for (int i = 0;; ++i) {
      Nid nid = db.allocate_nid(NidType::kLtp);
      db.put_node({nid, db.write_data(pattern(30000, i)), 0, 0});
      nids.push_back(nid);
      if (i % 10 == 9) {
        db.commit();
        committed = nids.size();
      }
    }
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kTooLarge) << e.what();
  }
  EXPECT_LE(fs::file_size(path), 4u << 20);
  EXPECT_GT(committed, 0u);
  EXPECT_EQ(ndb_findings(path, /*crashed=*/true), "");
  Reader r(path);
  for (std::size_t i = 0; i < committed; ++i) EXPECT_TRUE(r.node(nids[i])) << i;
}

// A child writes and commits in a loop and is killed at random moments; every file left
// behind is whole, with every node the child had committed.
TEST_F(NodeDatabase, KilledWhileWritingLeavesTheLastCommit) {
  std::mt19937 rng(7);
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const fs::path path = file(("kill" + std::to_string(round) + ".pst").c_str());
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      auto db = Database::create(path, {});
      for (std::uint32_t i = 0;; ++i) {
        Nid nid = db.allocate_nid(NidType::kNormalMessage);
        db.put_node({nid, db.write_data(pattern(3000 + i % 20000, i)), 0, 0});
        if (i % 50 == 49) {
          db.commit();
          std::uint32_t done = i + 1;
          if (::write(pipefd[1], &done, sizeof done) != sizeof done) ::_exit(1);
        }
      }
    }
    ::close(pipefd[1]);
    ::usleep(std::uniform_int_distribution<int>(20000, 400000)(rng));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    std::uint32_t done = 0, v = 0;
    while (::read(pipefd[0], &v, sizeof v) == sizeof v) done = v;
    ::close(pipefd[0]);
    if (!fs::exists(path)) continue;
    EXPECT_EQ(ndb_findings(path, /*crashed=*/true), "");
    Reader r(path);
    for (std::uint32_t i = 0; i < done; ++i) {
      auto e = r.node(make_nid(NidType::kNormalMessage, 0x10001 + i));
      ASSERT_TRUE(e) << "committed node " << i << " of " << done << " is missing";
      if (i % 37 == 0) {
        EXPECT_EQ(r.data(e->data), as_u8(pattern(3000 + i % 20000, i)));
      }
    }
  }
}

}  // namespace
