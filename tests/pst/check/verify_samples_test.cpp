// The verifier on Outlook's own files: with --outlook they pass, and without it exactly
// the rules Outlook is known to break fail (pst/check/README.md says why each is so).

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "pst/check/check.hpp"
#include "pst/check/detail/codec.hpp"

namespace larkfield::pst::check {
namespace {

namespace fs = std::filesystem;

fs::path sample(const char* name) { return fs::path(LARKFIELD_PST_SAMPLES) / name; }

std::set<std::string> error_rules(const Report& r) {
  std::set<std::string> out;
  for (const auto& f : r.findings) {
    if (f.severity == Finding::Severity::kError) out.insert(f.rule);
  }
  return out;
}

TEST(Codec, CrcAndPermuteTables) {
  const std::string digits = "123456789";
  EXPECT_EQ(detail::crc(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), 9)),
            0x2DFD2D88u);
  EXPECT_EQ(detail::crc({}), 0u);
  // The substitution is a permutation and decoding undoes it.
  std::array<std::uint8_t, 256> all{};
  for (int i = 0; i < 256; ++i) all[i] = detail::permute_encode_table()[i];
  std::set<std::uint8_t> distinct(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), 256u);
  detail::permute_decode(all);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(all[i], i);
  EXPECT_EQ(detail::signature(0x9200, 0x17D), 0x937D);
}

struct SampleCase {
  const char* file;
  std::set<std::string> outlook_breaks;  // rules that fail without --outlook
  std::uint64_t folders, messages;
};

class OutlookSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(OutlookSample, PassesAndBreaksOnlyTheKnownRules) {
  const SampleCase& c = GetParam();
  fs::path p = sample(c.file);
  if (!fs::exists(p)) GTEST_SKIP() << "sample absent: " << p;
  Options lenient;
  lenient.outlook_made = true;
  Report r = verify_file(p, lenient);
  EXPECT_TRUE(r.ok()) << r.text();
  EXPECT_TRUE(r.readable);
  EXPECT_EQ(r.folders, c.folders);
  EXPECT_EQ(r.messages, c.messages);
  EXPECT_GT(r.nodes, 40u);
  EXPECT_GT(r.blocks, 30u);

  Report strict = verify_file(p);
  EXPECT_EQ(error_rules(strict), c.outlook_breaks) << strict.text();
}

INSTANTIATE_TEST_SUITE_P(
    Samples, OutlookSample,
    ::testing::Values(SampleCase{"outlook-pst-rs-Empty.pst", {"header.reserved-nonzero"}, 6, 0},
                      SampleCase{"pstsdk-sample1.pst",
                                 {"header.reserved-nonzero", "subnode.nid-high-bits",
                                  "folder.contents-row-mismatch"},
                                 7,
                                 1},
                      SampleCase{"pstsdk-submessage.pst",
                                 {"header.reserved-nonzero", "subnode.nid-high-bits",
                                  "folder.contents-row-mismatch"},
                                 6,
                                 1},
                      SampleCase{"pstsdk-test_unicode.pst",
                                 {"header.reserved-nonzero", "header.free-maps", "dlist.absent",
                                  "store.password", "message.recipient-table", "message.size"},
                                 6,
                                 2}),
    [](const auto& info) {
      std::string n = info.param.file;
      n = n.substr(0, n.find('.'));
      for (auto& ch : n) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(NodeList, EmptyOutlookStore) {
  fs::path p = sample("outlook-pst-rs-Empty.pst");
  if (!fs::exists(p)) GTEST_SKIP() << "sample absent";
  Options o;
  o.outlook_made = true;
  o.list_nodes = true;
  Report r = verify_file(p, o);
  ASSERT_EQ(r.node_list.size(), r.nodes);
  auto find = [&](std::uint32_t nid) -> const NodeInfo* {
    for (const auto& n : r.node_list) {
      if (n.nid == nid) return &n;
    }
    return nullptr;
  };
  const NodeInfo* store = find(0x21);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->kind, "pc");
  EXPECT_NE(std::find(store->tags.begin(), store->tags.end(), 0x0FF90102u), store->tags.end());
  const NodeInfo* contents = find(0x60E);
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(contents->kind, "tc");
  EXPECT_EQ(contents->tags.size(), 28u);
  EXPECT_EQ(contents->rows, 0u);
  const NodeInfo* root_h = find(0x12D);
  ASSERT_NE(root_h, nullptr);
  EXPECT_EQ(root_h->rows, 4u);
  const NodeInfo* deleted = find(0x8062);
  ASSERT_NE(deleted, nullptr);
  EXPECT_EQ(deleted->parent, 0x8022u);
  EXPECT_EQ(find(0x1E1)->kind, "empty");
  EXPECT_EQ(node_type_name(0x692), "RECIPIENT_TABLE");
}

TEST(Unreadable, MissingFile) {
  Report missing = verify_file(fs::path("no-such-folder") / "no-such-file.pst");
  EXPECT_FALSE(missing.readable);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.count("file.open"), 1u);
}

}  // namespace
}  // namespace larkfield::pst::check
