// Large attachments from the message file through the store writer, read back by libpff.
// The big case (a message file of about 2 GiB) is opt-in: LARKFIELD_BIG_TESTS is defined
// only in the test_mime_big build of this file.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/mailstore/message_convert.hpp"
#include "mime/importer.hpp"
#include "pst/messaging/store.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::mime {
namespace {

namespace fs = std::filesystem;

using TempDir = larkfield::test::TempDir;

// Writes a message whose one attachment is `size` pseudo-random bytes in base64, and
// returns the SHA-256 of those bytes. Memory stays small whatever the size.
std::string write_message(const fs::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  out << "From: a@example.com\r\nTo: b@example.com\r\nSubject: large attachment\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "--b1\r\nContent-Type: text/plain\r\n\r\nsee the attachment\r\n"
         "--b1\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n";
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  test::Sha256 hash;
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::string raw, line;
  std::uint64_t left = size;
  while (left > 0) {
    // 57 bytes make one 76-character line.
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(57, left));
    raw.resize(n);
    for (char& c : raw) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      c = static_cast<char>(state >> 56);
    }
    hash.update(raw);
    line.clear();
    for (std::size_t i = 0; i < n; i += 3) {
      const std::size_t k = std::min<std::size_t>(3, n - i);
      std::uint32_t v = 0;
      for (std::size_t j = 0; j < 3; ++j)
        v = (v << 8) | (j < k ? static_cast<unsigned char>(raw[i + j]) : 0U);
      line += kAlphabet[(v >> 18) & 63];
      line += kAlphabet[(v >> 12) & 63];
      line += k > 1 ? kAlphabet[(v >> 6) & 63] : '=';
      line += k > 2 ? kAlphabet[v & 63] : '=';
    }
    line += "\r\n";
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    left -= n;
  }
  out << "--b1--\r\n";
  out.close();
  EXPECT_TRUE(out.good());
  return hash.finish_hex();
}

// Imports the file and adds it to a new store; false when the store refused the message.
bool convert(const fs::path& message, const fs::path& pst,
             const std::function<void()>& before_write = {}) {
  ImportResult r = import_file(message);
  EXPECT_FALSE(r.stand_in);
  pst::Store store = pst::Store::create(pst, pst::StoreOptions{.display_name = u"test"});
  const pst::FolderId inbox = store.create_folder(store.ipm_subtree(), u"Inbox");
  pst::Message m = mailstore::ToPstMessage(
      std::move(r.message), [&](const auto& key) { return store.named_property_id(key); });
  if (before_write) before_write();
  bool added = true;
  try {
    store.add_message(inbox, m);
  } catch (const ReadError&) {
    added = false;
  }
  store.close();
  return added;
}

const test::OracleAttachment* read_back(const test::OracleDump& dump, std::string_view name) {
  for (const auto& [key, m] : dump.messages)
    for (const auto& a : m.attachments)
      if (a.long_filename == name) return &a;
  return nullptr;
}

#ifndef LARKFIELD_BIG_TESTS

TEST(StreamedStore, AttachmentFromTheFileReadsBackByteExact) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir dir;
  const std::uint64_t size = 5 * 1024 * 1024 + 11;
  const std::string sha = write_message(dir.path() / "m.eml", size);
  ASSERT_TRUE(convert(dir.path() / "m.eml", dir.path() / "out.pst"));
  const test::OracleDump dump = test::run_oracle(dir.path() / "out.pst");
  ASSERT_EQ(dump.exit_code, 0) << dump.text;
  const test::OracleAttachment* a = read_back(dump, "big.bin");
  ASSERT_NE(a, nullptr) << dump.text;
  EXPECT_EQ(a->size, size);
  EXPECT_EQ(a->sha256, sha);
  const test::OracleProperty* stated = nullptr;
  for (const auto& p : a->properties)
    if (p.tag == 0x0E200003) stated = &p;  // PR_ATTACH_SIZE, set by the writer
  ASSERT_NE(stated, nullptr);
  EXPECT_GT(std::stoull(stated->value.value_or("0")), size);
}

TEST(StreamedStore, FileThatShrankIsRefusedAndTheStoreStaysReadable) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir dir;
  const fs::path message = dir.path() / "m.eml";
  write_message(message, 3 * 1024 * 1024);
  EXPECT_FALSE(convert(message, dir.path() / "out.pst",
                       [&] { fs::resize_file(message, fs::file_size(message) - 1000); }));
  const test::OracleDump dump = test::run_oracle(dir.path() / "out.pst");
  ASSERT_EQ(dump.exit_code, 0) << dump.text;
  const test::OracleFolder* inbox = dump.folder("/Top of Personal Folders/Inbox");
  ASSERT_NE(inbox, nullptr) << dump.text;
  EXPECT_EQ(inbox->messages, 0U);
}

#else

std::uint64_t peak_rss_bytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<std::uint64_t>(u.ru_maxrss) * 1024;
}

TEST(StreamedStoreBig, TwoGigabyteMessageFileConvertsInLittleMemory) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir dir;
  const std::uint64_t size = 1536ULL * 1024 * 1024;  // base64 makes the file about 2 GiB
  const std::string sha = write_message(dir.path() / "m.eml", size);
  ASSERT_GT(fs::file_size(dir.path() / "m.eml"), 2000ULL * 1000 * 1000);
  ASSERT_TRUE(convert(dir.path() / "m.eml", dir.path() / "out.pst"));
  const std::uint64_t peak = peak_rss_bytes();
  std::printf("peak RSS after the conversion: %llu MiB\n",
              static_cast<unsigned long long>(peak >> 20));
  EXPECT_LT(peak, 256ULL << 20);
  const test::OracleDump dump = test::run_oracle(dir.path() / "out.pst");
  ASSERT_EQ(dump.exit_code, 0) << dump.text;
  const test::OracleAttachment* a = read_back(dump, "big.bin");
  ASSERT_NE(a, nullptr) << dump.text;
  EXPECT_EQ(a->size, size);
  EXPECT_EQ(a->sha256, sha);
}

#endif

}  // namespace
}  // namespace larkfield::mime
