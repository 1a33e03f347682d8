// Hostile and damaged input, stand-in items, and reading files (F20).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include <unistd.h>

#include "tests/mime/helpers.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::mime::test {
namespace {

namespace fs = std::filesystem;

const fs::path kData = LARKFIELD_MIME_TEST_DATA;

template <typename F>
double seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool any_warning(const ImportResult& r, std::string_view needle) {
  for (const auto& w : r.warnings)
    if (w.find(needle) != std::string::npos) return true;
  return false;
}

TEST(MimeHostile, DeepMultipartNesting) {
  std::string m = "From: a@x.com\nSubject: deep\n";
  const int depth = 3000;
  for (int i = 0; i < depth; ++i)
    m += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
         std::to_string(i) + "\n";
  m += "Content-Type: text/plain\n\ninnermost\n";
  for (int i = depth - 1; i >= 0; --i) m += "--b" + std::to_string(i) + "--\n";
  ImportResult r;
  EXPECT_LT(seconds([&] { r = import(m); }), 30.0);
  EXPECT_FALSE(r.stand_in);
  EXPECT_EQ(str(r.message.properties, t::kSubject), "deep");
  // Past max_depth the rest is one attachment, not lost.
  ASSERT_EQ(r.message.attachments.size(), 1u);
  EXPECT_EQ(str(r.message.attachments[0].properties, t::kAttachLongFilename), "nested-parts.eml");
  EXPECT_TRUE(any_warning(r, "nested deeper"));
}

TEST(MimeHostile, HugeHeaderBlock) {
  std::string m = "From: a@x.com\nSubject: big headers\n";
  while (m.size() < (3u << 20)) m += "X-Filler: " + std::string(90, 'f') + "\n";
  m += "\nbody\n";
  ImportResult r;
  EXPECT_LT(seconds([&] { r = import(m); }), 30.0);
  EXPECT_EQ(str(r.message.properties, t::kSubject), "big headers");
  EXPECT_LE(str(r.message.properties, t::kTransportMessageHeaders).size(), 1u << 20);
  EXPECT_EQ(str(r.message.properties, t::kBody), "body\r\n");
  ASSERT_EQ(r.message.attachments.size(), 1u);
  const std::string kept = bin(r.message.attachments[0].properties, t::kAttachDataBin);
  EXPECT_EQ(kept, m.substr(0, m.size() - 6));  // the whole header block
  EXPECT_TRUE(boolean(r.message.properties, t::kHasAttach));
}

TEST(MimeHostile, TenThousandParts) {
  std::string m =
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=P\n\n--P\n"
      "Content-Type: text/plain\n\nbody\n";
  const int parts = 10100;
  for (int i = 0; i < parts; ++i)
    m += "--P\nContent-Type: application/octet-stream; name=p" + std::to_string(i) + ".bin\n\n" +
         std::to_string(i) + "\n";
  m += "--P--\n";
  ImportResult r;
  EXPECT_LT(seconds([&] { r = import(m); }), 60.0);
  const auto& as = r.message.attachments;
  ASSERT_GT(as.size(), 9000u);
  // Everything past the limit is in the last attachment.
  const auto& rest = as.back().properties;
  EXPECT_EQ(str(rest, t::kAttachLongFilename), "remaining-parts.eml");
  EXPECT_NE(bin(rest, t::kAttachDataBin).find("p10099.bin"), std::string::npos);
  EXPECT_EQ(bin(as[5].properties, t::kAttachDataBin), "5");

  // The same long name ten thousand times: 8.3 names stay unique and quick to find.
  std::string same = "From: a@x.com\nContent-Type: multipart/mixed; boundary=P\n\n";
  for (int i = 0; i < 10000; ++i)
    same += "--P\nContent-Type: application/pdf; name=\"Quarterly report.pdf\"\n\nx\n";
  same += "--P--\n";
  ImportResult dup;
  EXPECT_LT(seconds([&] { dup = import(same); }), 60.0);
  std::set<std::string> short_names;
  for (const auto& a : dup.message.attachments) {
    const std::string n = str(a.properties, t::kAttachFilename);
    EXPECT_LE(n.size(), 12u) << n;
    short_names.insert(n);
  }
  EXPECT_EQ(short_names.size(), dup.message.attachments.size());
  EXPECT_EQ(str(dup.message.attachments.at(0).properties, t::kAttachFilename), "QUARTE~1.PDF");
  EXPECT_EQ(str(dup.message.attachments.at(9999).properties, t::kAttachFilename), "QU~10000.PDF");

  ImportOptions small;
  small.max_parts = 3;
  const ImportResult few = import(m, "few.eml", small);
  ASSERT_EQ(few.message.attachments.size(), 3u);  // two parts and the rest
  EXPECT_TRUE(any_warning(few, "MIME parts"));
}

TEST(MimeHostile, FiftyNestedAttachedMessages) {
  std::string m = "From: z@x.com\nSubject: bottom\n\nbottom body\n";
  for (int i = 0; i < 50; ++i)
    m = "From: a@x.com\nSubject: wrap " + std::to_string(i) + "\nContent-Type: message/rfc822\n\n" +
        m;
  ImportResult r;
  EXPECT_LT(seconds([&] { r = import(m); }), 30.0);
  int levels = 0;
  const Message* cur = &r.message;
  while (!cur->attachments.empty() && cur->attachments[0].embedded_message) {
    cur = cur->attachments[0].embedded_message.get();
    ++levels;
  }
  EXPECT_EQ(levels, 8);
  ASSERT_EQ(cur->attachments.size(), 1u);
  EXPECT_NE(bin(cur->attachments[0].properties, t::kAttachDataBin).find("bottom body"),
            std::string::npos);
}

TEST(MimeHostile, RandomAndTruncatedBytesNeverCrash) {
  std::mt19937 rng(4);
  const std::string base(reinterpret_cast<const char*>(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=B\n\n--B\n"
      "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: "
      "base64\n\nPGI+aGk8L2I+\n--B\nContent-Type: message/rfc822\n\nFrom: "
      "b@x\nSubject: =?utf-8?B?w6Q=?=\n\nx\n--B--\n"));
  for (int round = 0; round < 300; ++round) {
    std::string m = base.substr(0, rng() % (base.size() + 1));
    for (int k = 0; k < 5; ++k)
      if (!m.empty()) m[rng() % m.size()] = static_cast<char>(rng() & 0xFF);
    const ImportResult r = import(m, round % 2 ? "r.emlx" : "r.eml");
    EXPECT_TRUE(has(r.message.properties, t::kMessageClass));
    EXPECT_TRUE(has(r.message.properties, t::kSensitivity));
  }
}

// T50, T51: broken structure loses nothing.
TEST(MimeDamaged, BoundariesAndTruncation) {
  const ImportResult noparam = import(
      "From: a@x.com\nContent-Type: multipart/mixed\n\n--abc\nContent-Type: text/plain\n\n"
      "hello there\n--abc\nContent-Type: image/png; name=a.png\n\nPNG\n--abc--\n");
  EXPECT_EQ(str(noparam.message.properties, t::kBody), "hello there");
  ASSERT_EQ(noparam.message.attachments.size(), 1u);
  EXPECT_EQ(bin(noparam.message.attachments[0].properties, t::kAttachDataBin), "PNG");
  EXPECT_TRUE(any_warning(noparam, "without boundary"));

  const ImportResult nodelim =
      import("From: a@x.com\nContent-Type: multipart/alternative\n\njust text\n");
  EXPECT_EQ(str(nodelim.message.properties, t::kBody), "just text\r\n");

  // Missing final boundary, and base64 cut in the middle of the attachment.
  const ImportResult cut = import(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: "
      "text/plain\n\nbody\n--B\nContent-Type: application/pdf; name=a.pdf\n"
      "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\nJVBER");
  ASSERT_EQ(cut.message.attachments.size(), 1u);
  EXPECT_TRUE(
      bin(cut.message.attachments[0].properties, t::kAttachDataBin).starts_with("%PDF-1.4\n"));
  EXPECT_TRUE(any_warning(cut, "parser warning (truncated message)"));

  // A header line without a colon and "Subject : x".
  const ImportResult odd =
      import("From: a@x.com\nSubject : spaced\nno colon here\nTo: b@x.com\n\nb\n");
  EXPECT_EQ(str(odd.message.properties, t::kSubject), "spaced");
}

// The converter imports on several threads at once.
TEST(MimeHostile, ConcurrentImports) {
  const std::string m =
      "From: =?utf-8?B?w6Q=?= <a@x.com>\nSubject: =?iso-8859-1?Q?caf=E9?=\n"
      "Content-Type: text/plain; charset=windows-1251\n\n\xCF\xF0\xE8\n";
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const ImportResult r = import(m);
        const Value* v = find(r.message.properties, t::kSubject);
        if (v && std::get<std::u16string>(*v) == u"caf\u00E9") ++good;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 200);
}

TEST(MimeStandIn, UnparseableFilesBecomeItems) {
  const std::string pdf = "%PDF-1.4\n%\xE2\xE3\n1 0 obj\n<<>>\nendobj\n";
  for (const std::string& bytes :
       {pdf, std::string(), std::string("\n\n\n"), std::string("\x00\x01\x02\xFF", 4)}) {
    const ImportResult r = import(bytes, "odd name.eml");
    EXPECT_TRUE(r.stand_in) << bytes.size();
    EXPECT_EQ(str(r.message.properties, t::kSubject), "odd name.eml");
    EXPECT_NE(str(r.message.properties, t::kBody).find("could not be read"), std::string::npos);
    ASSERT_EQ(r.message.attachments.size(), 1u);
    EXPECT_EQ(bin(r.message.attachments[0].properties, t::kAttachDataBin), bytes);
    EXPECT_EQ(str(r.message.attachments[0].properties, t::kAttachLongFilename), "odd name.eml");
    EXPECT_EQ(i32(r.message.properties, t::kSensitivity), 0);
    EXPECT_TRUE(any_warning(r, "stand-in"));
  }
}

std::string sha(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  larkfield::test::Sha256 h;
  h.update(data);
  return h.finish_hex();
}

TEST(MimeFiles, ImportFileReadsAndNeverModifies) {
  for (const char* name :
       {"crlf.eml", "bom-blank-line.eml", "read.emlx", "unread.emlx", "not-mail.eml"}) {
    const fs::path p = kData / name;
    const std::string before = sha(p);
    const auto mtime = fs::last_write_time(p);
    const ImportResult r = import_file(p);
    EXPECT_EQ(sha(p), before) << name;
    EXPECT_EQ(fs::last_write_time(p), mtime) << name;
    EXPECT_EQ(r.stand_in, std::string_view(name) == "not-mail.eml") << name;
  }
  const ImportResult crlf = import_file(kData / "crlf.eml");
  EXPECT_EQ(str(crlf.message.properties, t::kBody), "Hallo Emil, die Zahlen f\xC3\xBCr Q1.");
  ASSERT_EQ(crlf.message.attachments.size(), 1u);
  EXPECT_EQ(bin(crlf.message.attachments[0].properties, t::kAttachDataBin),
            "month,total\r\njan,10");  // the last CRLF belongs to the boundary
  EXPECT_EQ(unix_time(crlf.message.properties, t::kClientSubmitTime), 1583486100);
  EXPECT_EQ(unix_time(crlf.message.properties, t::kMessageDeliveryTime), 1583487000);

  const ImportResult blank = import_file(kData / "bom-blank-line.eml");
  EXPECT_EQ(str(blank.message.properties, t::kSubject), "leading blank line");
  EXPECT_EQ(unix_time(blank.message.properties, t::kClientSubmitTime), 1583586000);

  const ImportResult read = import_file(kData / "read.emlx");
  EXPECT_TRUE(read.has_read_flag);
  EXPECT_TRUE(read.read);
  EXPECT_EQ(unix_time(read.message.properties, t::kMessageDeliveryTime), 1583672400);
  const ImportResult unread = import_file(kData / "unread.emlx");
  EXPECT_TRUE(unread.has_read_flag);
  EXPECT_FALSE(unread.read);
  EXPECT_EQ(str(unread.message.properties, t::kSubject), "from Apple Mail");
}

TEST(MimeFiles, ReadErrors) {
  try {
    import_file(kData / "does-not-exist.eml");
    ADD_FAILURE() << "no ReadError";
  } catch (const ReadError& e) {
    EXPECT_EQ(e.code(), ENOENT);
  }
  try {
    import_file(kData);
    ADD_FAILURE() << "no ReadError";
  } catch (const ReadError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
  if (fs::exists("/dev/zero")) {
    try {
      import_file("/dev/zero");
      ADD_FAILURE() << "no ReadError";
    } catch (const ReadError& e) {
      EXPECT_EQ(e.code(), EINVAL);
    }
  }
  if (::geteuid() != 0) {
    const fs::path locked = fs::temp_directory_path() / "larkfield-mime-locked.eml";
    std::ofstream(locked) << "From: a@x.com\n\nb\n";
    fs::permissions(locked, fs::perms::none);
    EXPECT_THROW(import_file(locked), ReadError);
    fs::remove(locked);
  }
}

}  // namespace
}  // namespace larkfield::mime::test
