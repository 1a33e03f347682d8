// A store file larger than 4 GiB, written through Store with streamed attachments, then
// read back: the structural check, pffinfo and pypff open it, and every attachment, those
// stored past the 4 GiB offset included, comes back byte for byte (SHA-256); pstsdk and
// pst-extractor walk the whole file with no problem and list every message and
// attachment, reading each attachment to its end.
//
// Opt-in (label big): it writes about 5.2 GB into the temporary folder and reads it back
// four times, a few minutes in all. Run it with
//   ctest --test-dir BUILD -L big -R BigFile
// or all the big tests with `ctest --test-dir BUILD -L big`.

#include <sstream>

#include "tests/pst/messaging/store_support.hpp"
#include "tests/support/readers.hpp"

namespace larkfield::pst::testing {
namespace {

// The Debian python with python3-pypff, and libpff's pffinfo.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kPffinfo = "/usr/bin/pffinfo";

// Prints "<size> <sha256>" for every attachment of every message of the folder named
// argv[2] below the top of the file, reading each in pieces so that memory stays small.
constexpr const char* kHashScript = R"(
import hashlib, sys, pypff
f = pypff.file()
f.open(sys.argv[1])
top = f.get_root_folder()
def find(folder, name):
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        if sub.name == name:
            return sub
        found = find(sub, name)
        if found is not None:
            return found
    return None
folder = find(top, sys.argv[2])
for i in range(folder.number_of_sub_messages):
    m = folder.get_sub_message(i)
    for j in range(m.number_of_attachments):
        a = m.get_attachment(j)
        h = hashlib.sha256()
        left = a.size
        a.seek_offset(0, 0)
        while left > 0:
            piece = a.read_buffer(min(left, 16 << 20))
            if not piece:
                break
            h.update(piece)
            left -= len(piece)
        print(a.size, h.hexdigest())
f.close()
)";

struct Expected {
  std::uint64_t size;
  std::uint32_t seed;
};

TEST(BigFile, StoreOver4GiBWithAttachmentsPastTheOffsetComesBackByteExact) {
  test::TempDir dir("larkfield-bigfile");
  const fs::path p = dir.path() / "over4gib.pst";
  constexpr std::uint64_t kGiB = 1ull << 30;
  // Three attachments near the 4 GiB limit of one value carry the file past 4 GiB; the
  // last message's attachments lie wholly beyond it, one of them 64 MiB long.
  const std::vector<std::vector<Expected>> messages = {
      {{1600000000, 11}},
      {{1600000000, 12}},
      {{1600000000, 13}},
      {{64ull << 20, 14}, {1000003, 15}, {0, 16}},
  };
  std::uint64_t size_before_last = 0;
  std::vector<std::shared_ptr<PatternSource>> sources;  // each hashes what it gave out
  {
    Store s = Store::create(p, options());
    const FolderId f = s.create_folder(s.ipm_subtree(), u"Large");
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (i + 1 == messages.size()) {
        s.commit();
        size_before_last = s.statistics().file_size;
      }
      Message m = simple_mail(u"large " + u16(std::to_string(i)));
      for (const Expected& e : messages[i]) {
        Attachment a = file_attachment(u"part" + u16(std::to_string(e.seed)) + u".bin", {});
        sources.push_back(std::make_shared<PatternSource>(e.size, e.seed));
        a.properties.back().value = sources.back();
        m.attachments.push_back(std::move(a));
      }
      s.add_message(f, m);
    }
    s.close();
  }
  {
    std::size_t i = 0;
    for (const auto& message : messages)
      for (const Expected& e : message) ASSERT_EQ(sources.at(i++)->produced(), e.size);
  }
  ASSERT_GT(size_before_last, 4 * kGiB + 512 * (1ull << 20));
  ASSERT_GT(fs::file_size(p), size_before_last + (64ull << 20));

  EXPECT_TRUE(verified(p));

  if (fs::exists(kPffinfo)) {
    const test::ProcessResult info = test::run_process({kPffinfo, p.string()});
    EXPECT_EQ(info.exit_code, 0) << info.out << info.err;
  }

  // The readers written against Outlook's own files.
  if (const std::string missing = test::readers_missing(); !missing.empty()) {
    ADD_FAILURE() << "readers missing: " << missing;
  } else {
    test::PstsdkResult sdk = test::run_pstsdk_dump(p, 3600);
    EXPECT_EQ(sdk.exit_code, 0) << sdk.output.substr(0, 4000);
    EXPECT_EQ(sdk.problems, 0) << sdk.output.substr(0, 4000);
    EXPECT_EQ(sdk.counters["messages walked"], 4) << sdk.output.substr(0, 4000);
    EXPECT_EQ(sdk.counters["attachments read"], 6) << sdk.output.substr(0, 4000);
    test::ExtractorResult px = test::run_pst_extractor(p, 3600);
    ASSERT_EQ(px.exit_code, 0) << "pst-extractor (124: it did not end)\n"
                               << px.output.substr(0, 4000);
    EXPECT_EQ(px.totals["messages"], 4) << px.output;
    EXPECT_EQ(px.totals["attachments"], 6) << px.output;
    std::uint64_t bytes = 0;
    for (const auto& message : messages)
      for (const Expected& e : message) bytes += e.size;
    EXPECT_NE(px.output.find("folder \"/Top of Personal Folders/Large\" 4 6 " +
                             std::to_string(bytes) + "\n"),
              std::string::npos)
        << px.output;
  }

  if (!fs::exists(kPython)) GTEST_SKIP() << "no python for pypff";
  const test::ProcessResult r =
      test::run_process({kPython, "-c", kHashScript, p.string(), "Large"});
  if (r.exit_code != 0 && r.err.find("No module named") != std::string::npos)
    GTEST_SKIP() << "pypff absent";
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::istringstream lines(r.out);
  std::size_t next_source = 0;
  for (const auto& message : messages) {
    for (const Expected& e : message) {
      std::uint64_t size = 0;
      std::string sha;
      ASSERT_TRUE(lines >> size >> sha) << r.out;
      EXPECT_EQ(size, e.size) << "seed " << e.seed;
      EXPECT_EQ(sha, sources.at(next_source++)->sha256()) << "seed " << e.seed;
    }
  }
  std::string rest;
  EXPECT_FALSE(lines >> rest) << "more attachments than written: " << r.out;
}

}  // namespace
}  // namespace larkfield::pst::testing
