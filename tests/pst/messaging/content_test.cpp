// What messages hold, as the independent readers see it: every property type, values
// at each storage boundary, subjects with prefixes, recipients, attachments of every
// size class, attached messages nested, named properties.

#include <algorithm>
#include <map>
#include <set>

#include "pst/messaging/message_writer.hpp"
#include "tests/pst/messaging/store_support.hpp"

namespace larkfield::pst::testing {
namespace {

using test::OracleDump;
using test::OracleMessage;

#define REQUIRE_READERS()                                               \
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent"; \
  if (!test::pffexport_available()) GTEST_SKIP() << "pffexport absent"; \
  if (!test::readpst_available()) GTEST_SKIP() << "readpst absent"

constexpr Guid kPsetidCommon{{0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr Guid kPsPublicStrings{{0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr Guid kCustomSet{{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC,
                           0xDD, 0xEE, 0xFF, 0x01}};

std::string hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (auto x : b) {
    s.push_back(d[std::to_integer<int>(x) >> 4]);
    s.push_back(d[std::to_integer<int>(x) & 15]);
  }
  return s;
}

class ContentTest : public ::testing::Test {
 protected:
  fs::path path(const char* name) { return dir_.path() / name; }
  const OracleMessage* only_message(const OracleDump& d, const std::string& folder) {
    const test::OracleFolder* f = d.folder(folder);
    if (!f) return nullptr;
    auto ms = d.messages_in(*f);
    return ms.size() == 1 ? ms[0] : nullptr;
  }
  test::TempDir dir_{"larkfield-content"};
};

// One property of every type the store takes, single- and multi-valued, read back by
// libpff with the same value.
TEST_F(ContentTest, EveryPropertyTypeReadsBack) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent";
  const fs::path p = path("types.pst");
  const Guid guid{{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
                   0x0E, 0x0F, 0x10}};
  const std::u16string text = u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F389";
  const Bytes bin = pattern(37, 3);
  struct Want {
    PropTag tag;
    PropValue value;
    std::string text;
  };
  const std::vector<Want> wants = {
      {0x7D000002, std::int16_t(-1234), "-1234"},
      {0x7D010003, std::int32_t(-5), "-5"},
      {0x7D020004, 1.5f, "1.5"},
      {0x7D030005, 3.25, "3.25"},
      {0x7D040006, std::int64_t(123456789012), "123456789012"},
      {0x7D050007, 45000.5, "45000.5"},
      {0x7D06000A, std::int32_t(0x8004010F), "0x8004010f"},
      {0x7D07000B, true, "true"},
      {0x7D08000B, false, "false"},
      {0x7D090014, std::int64_t(-9000000000), "-9000000000"},
      {0x7D0A0040, FileTime{133000000123456789ull}, test::filetime_to_iso(133000000123456789ull)},
      {0x7D0B0048, guid, "{04030201-0605-0807-090a-0b0c0d0e0f10}"},
      {0x7D0C001F, text, utf8(text)},
      {0x7D0D0102, bin, hex(bin)},
      {0x7D0E1002, std::vector<std::int16_t>{1, -2}, "[\"1\", \"-2\"]"},
      {0x7D0F1003, std::vector<std::int32_t>{7, 8, 9}, "[\"7\", \"8\", \"9\"]"},
      {0x7D101004, std::vector<float>{0.5f}, "[\"0.5\"]"},
      {0x7D111005, std::vector<double>{1.25, -2.5}, "[\"1.25\", \"-2.5\"]"},
      {0x7D121014, std::vector<std::int64_t>{1ll << 40}, "[\"1099511627776\"]"},
      {0x7D131040, std::vector<FileTime>{FileTime{133000000000000000ull}},
       "[\"" + test::filetime_to_iso(133000000000000000ull) + "\"]"},
      {0x7D141048, std::vector<Guid>{guid}, "[\"{04030201-0605-0807-090a-0b0c0d0e0f10}\"]"},
      {0x7D15101F, std::vector<std::u16string>{u"a", u"\u00fc\u00df", u""},
       "[\"a\", \"\u00fc\u00df\", \"\"]"},
      {0x7D161102, std::vector<Bytes>{pattern(3, 1), pattern(5, 2)},
       "[\"" + hex(pattern(3, 1)) + "\", \"" + hex(pattern(5, 2)) + "\"]"},
      {0x7D17001F, std::u16string(), ""},
      {0x7D180102, Bytes{}, ""},
  };
  {
    Store s = Store::create(p, options());
    FolderId f = s.create_folder(s.ipm_subtree(), u"Types");
    Message m = simple_mail(u"types");
    for (const auto& w : wants) m.properties.push_back({w.tag, w.value});
    s.add_message(f, m);
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  const OracleMessage* m = only_message(d, "/Top of Personal Folders/Types");
  ASSERT_NE(m, nullptr) << d.text;
  for (const auto& w : wants) {
    const test::OracleProperty* got = m->property(w.tag);
    ASSERT_NE(got, nullptr) << std::hex << w.tag;
    ASSERT_TRUE(got->value) << std::hex << w.tag;
    EXPECT_EQ(*got->value, w.text) << std::hex << w.tag;
  }
}

// Values just below and above each place a value can live: the heap (3,580 bytes), one
// block (8,176), a data tree of one level (1,021 blocks) and of two. Half of them come
// from streams.
TEST_F(ContentTest, ValuesAtEveryStorageBoundary) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent";
  const fs::path p = path("sizes.pst");
  const std::vector<std::size_t> sizes = {
      0, 1, 3579, 3580, 3581, 8176, 8177, 8176 * 1021, 8176 * 1021 + 1, 2 * 8176 * 1021 + 5};
  {
    Store s = Store::create(p, options());
    FolderId f = s.create_folder(s.ipm_subtree(), u"Sizes");
    Message m = simple_mail(u"sizes");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const auto tag = make_tag(static_cast<std::uint16_t>(0x7E00 + i), pt::kBinary);
      if (i % 2) {
        m.properties.push_back(
            {tag, std::make_shared<PatternSource>(sizes[i], static_cast<std::uint32_t>(i))});
      } else {
        m.properties.push_back({tag, pattern(sizes[i], static_cast<std::uint32_t>(i))});
      }
    }
    // Strings on both sides of the heap limit.
    m.properties.push_back({0x7E20001F, std::u16string(1790, u'\u00e9')});
    m.properties.push_back({0x7E21001F, std::u16string(1791, u'\u00e9')});
    s.add_message(f, m);
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  const OracleMessage* m = only_message(d, "/Top of Personal Folders/Sizes");
  ASSERT_NE(m, nullptr) << d.text;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto tag = make_tag(static_cast<std::uint16_t>(0x7E00 + i), pt::kBinary);
    const test::OracleProperty* got = m->property(tag);
    ASSERT_NE(got, nullptr) << sizes[i];
    EXPECT_EQ(got->size.value_or(0), sizes[i]);
    if (sizes[i] > 4096) {
      EXPECT_EQ(got->sha256, pattern_sha256(sizes[i], static_cast<std::uint32_t>(i))) << sizes[i];
    } else {
      EXPECT_EQ(got->value, hex(pattern(sizes[i], static_cast<std::uint32_t>(i)))) << sizes[i];
    }
  }
  EXPECT_EQ(m->property(0x7E20001F)->size, 3580u);
  EXPECT_EQ(m->property(0x7E21001F)->size, 3582u);
  EXPECT_EQ(m->property(0x7E21001F)->value, utf8(std::u16string(1791, u'\u00e9')));
}

// PR_MESSAGE_SIZE and PR_ATTACH_SIZE are signed 32-bit: a message or attachment past
// 2 GiB states 0x7FFFFFFF, never a negative size.
TEST(SizeProperty, ClampsToTheSignedRange) {
  const std::pair<std::uint64_t, std::int32_t> cases[] = {
      {0, 0},
      {8176, 8176},
      {0x7FFFFFFF, 0x7FFFFFFF},
      {0x80000000, 0x7FFFFFFF},
      {2'200'000'000, 0x7FFFFFFF},
      {0xFFFFFFFF, 0x7FFFFFFF},
      {0x100000000, 0x7FFFFFFF},
      {5'000'000'000, 0x7FFFFFFF},
  };
  for (const auto& [bytes, stored] : cases) {
    EXPECT_EQ(messaging::size_property(bytes), stored) << bytes;
  }
}

// Subjects keep their prefix header in the store; every reader shows the plain subject.
TEST_F(ContentTest, SubjectsWithPrefixes) {
  REQUIRE_READERS();
  const fs::path p = path("subjects.pst");
  struct Case {
    std::u16string subject;
    std::u16string prefix;  // PR_SUBJECT_PREFIX given by the caller, or none
    int header;             // the stored length character
  };
  const std::vector<Case> cases = {
      {u"RE: Gr\u00fc\u00dfe aus K\u00f6ln", u"", 5},
      {u"AW: \u65e5\u672c\u8a9e\u306e\u4ef6\u540d", u"", 5},
      {u"Fwd: \u041e\u0442\u0447\u0451\u0442", u"", 6},
      {u"Re:NoSpace", u"", 4},
      {u"Hello: not a prefix", u"", 1},
      {u"12: digits are none", u"", 1},
      {u"Antw: given by the caller", u"Antw: ", 7},
      {u"Plain \U0001F600 subject", u"", 1},
  };
  {
    Store s = Store::create(p, options(u"Subjects"));
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    for (const auto& c : cases) {
      Message m = simple_mail(c.subject);
      if (!c.prefix.empty()) m.properties.push_back({0x003D001F, c.prefix});
      // Values the store computes itself are not taken from the caller.
      m.properties.push_back({0x0E1D001F, std::u16string(u"wrong normalized subject")});
      m.properties.push_back({0x0E1B000B, true});
      m.properties.push_back({0x0E080003, std::int32_t(1)});
      s.add_message(f, m);
    }
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), cases.size());
  std::multiset<std::string> want, libpff_want;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    want.insert(utf8(c.subject));
    // libpff's subject getter turns surrogate pairs into other characters (U+1F600
    // comes back as U+1F201), in pypff and pffexport alike; the stored value below and
    // readpst are exact, so only subjects within the BMP are compared through it.
    const bool bmp = std::none_of(c.subject.begin(), c.subject.end(),
                                  [](char16_t ch) { return ch >= 0xD800 && ch < 0xE000; });
    if (bmp) {
      EXPECT_EQ(ms[i]->subject, utf8(c.subject));
      libpff_want.insert(utf8(c.subject));
    }
    const test::OracleProperty* stored = ms[i]->property(0x0037001F);
    ASSERT_TRUE(stored && stored->value);
    const std::string header(1, '\x01');
    EXPECT_EQ(*stored->value, header + static_cast<char>(c.header) + utf8(c.subject));
    EXPECT_EQ(ms[i]->property(0x0E1D001F), nullptr);
    EXPECT_EQ(ms[i]->property(0x003D001F), nullptr);
    EXPECT_EQ(ms[i]->property(0x0E1B000B), nullptr);
    EXPECT_NE(ms[i]->property(0x0E080003)->value, "1");
  }
  std::multiset<std::string> px_subjects, rp_subjects;
  test::ExportResult px = test::run_pffexport(p);
  ASSERT_EQ(px.exit_code, 0) << px.output;
  for (const auto& m : px.folder("/Top of Personal Folders/Inbox")->messages) {
    if (m.subject.find("\xF0") == std::string::npos) px_subjects.insert(m.subject);
  }
  EXPECT_EQ(px_subjects, libpff_want);
  test::ExportResult rp = test::run_readpst(p);
  ASSERT_EQ(rp.exit_code, 0) << rp.output;
  for (const auto& m : rp.folder("/Subjects/Inbox")->messages) rp_subjects.insert(m.subject);
  EXPECT_EQ(rp_subjects, want);
}

// To, Cc and Bcc recipients with their names, address types and addresses.
TEST_F(ContentTest, RecipientsInEveryReader) {
  REQUIRE_READERS();
  const fs::path p = path("recipients.pst");
  {
    Store s = Store::create(p, options(u"Rcpt"));
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    Message m = simple_mail(u"to many");
    m.recipients.push_back(recipient(1, u"Anna M\u00fcller", u"anna@example.org"));
    m.recipients.push_back(recipient(1, u"\u738b\u5c0f\u660e", u"wang@example.cn"));
    m.recipients.push_back(recipient(2, u"Carl Copy", u"carl@example.org"));
    m.recipients.push_back(recipient(3, u"Bea Blind", u"bea@example.org"));
    s.add_message(f, m);
    s.add_message(f, simple_mail(u"nobody"));  // no recipients: an empty table
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), 2u);
  const auto& r = ms[0]->recipients;
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].type, 1);
  EXPECT_EQ(r[0].name, "Anna M\u00fcller");
  EXPECT_EQ(r[0].addrtype, "SMTP");
  EXPECT_EQ(r[0].email, "anna@example.org");
  EXPECT_EQ(r[1].name, "\u738b\u5c0f\u660e");
  EXPECT_EQ(r[2].type, 2);
  EXPECT_EQ(r[3].type, 3);
  EXPECT_EQ(r[3].email, "bea@example.org");
  // The display lists the store derives from the table, as Outlook shows them.
  EXPECT_EQ(ms[0]->property(0x0E04001F)->value, "Anna M\u00fcller; \u738b\u5c0f\u660e");
  EXPECT_EQ(ms[0]->property(0x0E03001F)->value, "Carl Copy");
  EXPECT_EQ(ms[0]->property(0x0E02001F)->value, "Bea Blind");
  EXPECT_TRUE(ms[1]->has_recipient_table);
  EXPECT_TRUE(ms[1]->recipients.empty());

  test::ExportResult px = test::run_pffexport(p);
  ASSERT_EQ(px.exit_code, 0) << px.output;
  const test::ExportedMessage* pm = nullptr;
  for (const auto& m : px.folder("/Top of Personal Folders/Inbox")->messages) {
    if (m.subject == "to many") pm = &m;
  }
  ASSERT_NE(pm, nullptr);
  ASSERT_EQ(pm->recipients.size(), 4u);
  EXPECT_EQ(pm->recipients[0].at("Display name"), "Anna M\u00fcller");
  EXPECT_EQ(pm->recipients[0].at("Email address"), "anna@example.org");
  EXPECT_EQ(pm->recipients[2].at("Recipient type"), "CC");

  test::ExportResult rp = test::run_readpst(p);
  ASSERT_EQ(rp.exit_code, 0) << rp.output;
  const test::ExportedMessage* rm = nullptr;
  for (const auto& m : rp.folder("/Rcpt/Inbox")->messages) {
    if (m.subject == "to many") rm = &m;
  }
  ASSERT_NE(rm, nullptr);
  // readpst writes the header lines from the display lists when a message has no
  // transport headers; Bcc recipients are not shown.
  EXPECT_EQ(rm->recipient_lines, (std::vector<std::string>{
                                     "To: Anna M\u00fcller; \u738b\u5c0f\u660e", "Cc: Carl Copy"}));
}

// By-value attachments of every size class come back byte for byte; a streamed one of
// several megabytes is never held whole.
TEST_F(ContentTest, AttachmentsComeBackByteExact) {
  REQUIRE_READERS();
  const fs::path p = path("attachments.pst");
  const std::vector<std::size_t> sizes = {1, 3580, 3581, 8176, 8177, 200000};
  const std::uint64_t streamed = 8176ull * 1021 + 4096;  // past one XBLOCK
  std::map<std::string, std::string> want;               // file name -> sha256
  {
    Store s = Store::create(p, options(u"Att"));
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    Message m = simple_mail(u"with files");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const std::string name = "file" + std::to_string(i) + ".bin";
      Bytes data = pattern(sizes[i], static_cast<std::uint32_t>(100 + i));
      want[name] = test::sha256_hex(data);
      m.attachments.push_back(file_attachment(u16(name), std::move(data)));
    }
    auto source = std::make_shared<PatternSource>(streamed, 77);
    Attachment big = file_attachment(u"big.dat", {});
    big.properties.back().value = source;
    m.attachments.push_back(std::move(big));
    want["big.dat"] = pattern_sha256(streamed, 77);
    s.add_message(f, m);
    EXPECT_EQ(source->produced(), streamed);
    // An empty attachment is still an attachment.
    Message e = simple_mail(u"empty file");
    e.attachments.push_back(file_attachment(u"empty.txt", {}));
    s.add_message(f, e);
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), 2u);
  ASSERT_EQ(ms[0]->attachments.size(), sizes.size() + 1);
  for (const auto& a : ms[0]->attachments) {
    ASSERT_TRUE(want.count(a.long_filename)) << a.long_filename;
    EXPECT_EQ(a.sha256, want[a.long_filename]) << a.long_filename;
    EXPECT_EQ(a.method, 1);
    EXPECT_EQ(a.mime, "application/octet-stream");
    const test::OracleProperty* size = nullptr;
    for (const auto& prop : a.properties) {
      if (prop.tag == 0x0E200003) size = &prop;
    }
    ASSERT_NE(size, nullptr);
    EXPECT_GE(std::stoull(*size->value), a.size);  // PR_ATTACH_SIZE covers the data
  }
  // PR_HASATTACH follows from the flags the store sets.
  EXPECT_NE(std::stoi(*ms[0]->property(0x0E070003)->value) & 0x10, 0);
  ASSERT_EQ(ms[1]->attachments.size(), 1u);
  EXPECT_EQ(ms[1]->attachments[0].size, 0u);

  auto check_files = [&](const test::ExportedMessage& m, const char* reader) {
    std::set<std::string> got;
    for (const auto& f : m.attachments) got.insert(f.sha256);
    for (const auto& [name, sha] : want) {
      EXPECT_TRUE(got.count(sha)) << reader << " lacks " << name;
    }
  };
  test::ExportResult px = test::run_pffexport(p);
  ASSERT_EQ(px.exit_code, 0) << px.output;
  for (const auto& m : px.folder("/Top of Personal Folders/Inbox")->messages) {
    if (m.subject == "with files") check_files(m, "pffexport");
  }
  test::ExportResult rp = test::run_readpst(p);
  ASSERT_EQ(rp.exit_code, 0) << rp.output;
  for (const auto& m : rp.folder("/Att/Inbox")->messages) {
    if (m.subject == "with files") check_files(m, "readpst");
  }
}

Message nested(int depth, int levels) {
  Message m = simple_mail(u"level " + u16(std::to_string(depth)));
  m.recipients.push_back(recipient(1, u"Inner " + u16(std::to_string(depth)),
                                   u16("inner" + std::to_string(depth) + "@example.org")));
  m.attachments.push_back(
      file_attachment(u16("data" + std::to_string(depth) + ".bin"),
                      pattern(1000 + depth, static_cast<std::uint32_t>(depth))));
  if (depth < levels) {
    Attachment a;
    a.properties = {{0x3001001F, u"level " + u16(std::to_string(depth + 1))}};
    a.embedded_message = std::make_unique<Message>(nested(depth + 1, levels));
    m.attachments.push_back(std::move(a));
  }
  return m;
}

// Attached messages carry their own recipients and attachments, three deep; past the
// fixed limit the store refuses and keeps nothing of the message.
TEST_F(ContentTest, AttachedMessagesNest) {
  REQUIRE_READERS();
  const fs::path p = path("nested.pst");
  {
    Store s = Store::create(p, options(u"Nest"));
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    s.add_message(f, nested(0, 3));
    try {
      s.add_message(f, nested(0, 40));
      ADD_FAILURE() << "nesting without limit";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::kNestingTooDeep);
    }
    s.add_message(f, simple_mail(u"after"));
    EXPECT_EQ(s.statistics().messages, 2u);
    s.close();
  }
  EXPECT_TRUE(verified(p));  // nothing of the refused message is left behind
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), 2u);
  const OracleMessage* m = ms[0];
  for (int depth = 0; depth <= 3; ++depth) {
    ASSERT_NE(m, nullptr) << depth;
    EXPECT_EQ(m->subject, "level " + std::to_string(depth));
    ASSERT_EQ(m->recipients.size(), 1u);
    EXPECT_EQ(m->recipients[0].email, "inner" + std::to_string(depth) + "@example.org");
    ASSERT_GE(m->attachments.size(), 1u);
    EXPECT_EQ(m->attachments[0].sha256,
              test::sha256_hex(pattern(1000 + depth, static_cast<std::uint32_t>(depth))));
    if (depth == 3) {
      EXPECT_EQ(m->attachments.size(), 1u);
      break;
    }
    ASSERT_EQ(m->attachments.size(), 2u);
    EXPECT_TRUE(m->attachments[1].embedded);
    EXPECT_EQ(m->attachments[1].method, 5);
    m = d.message(m->attachments[1].key);
  }

  test::ExportResult px = test::run_pffexport(p);
  ASSERT_EQ(px.exit_code, 0) << px.output;
  const test::ExportedMessage* pm = nullptr;
  for (const auto& x : px.folder("/Top of Personal Folders/Inbox")->messages) {
    if (x.subject == "level 0") pm = &x;
  }
  ASSERT_NE(pm, nullptr) << px.output;
  for (int depth = 1; depth <= 3; ++depth) {
    ASSERT_EQ(pm->embedded.size(), 1u) << depth;
    pm = &pm->embedded[0];
    EXPECT_EQ(pm->subject, "level " + std::to_string(depth));
    ASSERT_EQ(pm->attachments.size(), 1u);
    EXPECT_EQ(pm->attachments[0].sha256,
              test::sha256_hex(pattern(1000 + depth, static_cast<std::uint32_t>(depth))));
  }
  test::ExportResult rp = test::run_readpst(p);
  ASSERT_EQ(rp.exit_code, 0) << rp.output;
  const test::ExportedMessage* rm = nullptr;
  for (const auto& x : rp.folder("/Nest/Inbox")->messages) {
    if (x.subject == "level 0") rm = &x;
  }
  ASSERT_NE(rm, nullptr);
  ASSERT_GE(rm->embedded.size(), 1u);
  EXPECT_EQ(rm->embedded[0].subject, "level 1");
}

// One property id given more than once in a message, recipient or attachment, with the
// same type or another: the last value is the object's, and the contents, recipient and
// attachment table rows agree with it (the strict check compares them). Values the store
// requires come back as their defaults when the last one had another type; a last subject,
// sender name, body or header block that is not text is refused, as readers could not
// read the message.
TEST_F(ContentTest, LastValueOfAPropertyIdWins) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent";
  const fs::path p = path("repeated.pst");
  auto without = [](Message m, PropTag t) {
    std::erase_if(m.properties, [&](const Property& q) { return q.tag == t; });
    return m;
  };
  {
    Store s = Store::create(p, options());
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    for (PropTag t : {0x00370003u, 0x0C1A0102u, 0x10000003u, 0x007D0014u, 0x10130003u}) {
      Message m = simple_mail(u"a subject first");
      m.properties.push_back({t, std::int32_t(7)});
      if (prop_type(t) == pt::kBinary) m.properties.back().value = pattern(4, 1);
      if (prop_type(t) == pt::kI8) m.properties.back().value = std::int64_t(7);
      try {
        s.add_message(f, m);
        ADD_FAILURE() << "taken: " << std::hex << t;
      } catch (const Error& e) {
        EXPECT_EQ(e.code(), Error::Code::kInvalidArgument);
      }
    }

    Message m = without(simple_mail(u""), 0x0037001F);
    m.properties.push_back({0x00370003, std::int32_t(7)});
    m.properties.push_back({0x0037001F, std::u16string(u"the subject given last")});
    Recipient r = recipient(2, u"", u"late@example.org");
    r.properties.erase(r.properties.begin() + 1);  // the name, to come later
    r.properties.push_back({0x30010003, std::int32_t(5)});
    r.properties.push_back({0x3001001F, std::u16string(u"Named Later")});
    r.properties.push_back({0x0C15001F, std::u16string(u"Cc")});  // replaces the type: To
    m.recipients.push_back(std::move(r));
    Attachment a = file_attachment(u"old.bin", pattern(100, 1));
    a.properties.push_back({0x3707001F, std::u16string(u"new.bin")});
    a.properties.push_back({0x30010003, std::int32_t(9)});  // the display name, as a long
    a.properties.push_back({0x37050003, std::int32_t(1)});
    m.attachments.push_back(std::move(a));
    s.add_message(f, m);

    Message class_as_long = simple_mail(u"class as long");
    class_as_long.properties.push_back({0x001A0003, std::int32_t(3)});
    s.add_message(f, class_as_long);
    Message class_twice = simple_mail(u"class twice");
    class_twice.properties.push_back({0x001A001F, std::u16string(u"IPM.Note.Custom")});
    s.add_message(f, class_twice);
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), 3u);

  EXPECT_EQ(ms[0]->subject, "the subject given last");
  EXPECT_EQ(ms[0]->property(0x00370003), nullptr);
  ASSERT_EQ(ms[0]->recipients.size(), 1u);
  EXPECT_EQ(ms[0]->recipients[0].name, "Named Later");
  EXPECT_EQ(ms[0]->recipients[0].type, 1);
  for (const auto& q : ms[0]->recipients[0].properties) {
    EXPECT_NE(q.tag, 0x30010003u);
    EXPECT_NE(q.tag, 0x0C15001Fu);
  }
  ASSERT_NE(ms[0]->property(0x0E04001F), nullptr);
  EXPECT_EQ(ms[0]->property(0x0E04001F)->value, "Named Later");
  EXPECT_EQ(ms[0]->property(0x0E03001F), nullptr);
  ASSERT_EQ(ms[0]->attachments.size(), 1u);
  const auto& att = ms[0]->attachments[0];
  EXPECT_EQ(att.long_filename, "new.bin");
  EXPECT_EQ(att.method, 1);
  EXPECT_EQ(att.sha256, test::sha256_hex(pattern(100, 1)));
  for (const auto& q : att.properties) EXPECT_NE(q.tag, 0x3001001Fu);

  EXPECT_EQ(ms[1]->message_class, "IPM.Note");
  EXPECT_EQ(ms[1]->property(0x001A0003), nullptr);
  EXPECT_EQ(ms[2]->message_class, "IPM.Note.Custom");
}

// Named properties get ids from 0x8000 on, shared by the store, and libpff resolves them
// to their names through the map.
TEST_F(ContentTest, NamedPropertiesResolveThroughTheMap) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent";
  const fs::path p = path("named.pst");
  std::uint16_t account = 0, keywords = 0, custom = 0, header = 0;
  {
    Store s = Store::create(p, options());
    account = s.named_property_id({kPsetidCommon, std::uint32_t(0x8580)});
    keywords = s.named_property_id({kPsPublicStrings, std::u16string(u"Keywords")});
    custom = s.named_property_id({kCustomSet, std::uint32_t(0x1234)});
    header = s.named_property_id({kCustomSet, std::u16string(u"X-Larkfield-\u00dcber")});
    EXPECT_GE(account, 0x8000);
    EXPECT_EQ(s.named_property_id({kPsPublicStrings, std::u16string(u"Keywords")}), keywords);
    EXPECT_EQ(s.named_property_id({kCustomSet, std::uint32_t(0x1234)}), custom);
    std::set<std::uint16_t> ids = {account, keywords, custom, header};
    EXPECT_EQ(ids.size(), 4u);
    FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
    Message m = simple_mail(u"named");
    m.properties.push_back({make_tag(account, pt::kUnicode), std::u16string(u"work")});
    m.properties.push_back({make_tag(keywords, pt::kUnicode | pt::kMultiValued),
                            std::vector<std::u16string>{u"a", u"b"}});
    m.properties.push_back({make_tag(custom, pt::kLong), std::int32_t(42)});
    m.properties.push_back({make_tag(header, pt::kUnicode), std::u16string(u"value")});
    s.add_message(f, m);
    s.commit();
    // A name first used after a commit reaches the file at the next one.
    const std::uint16_t late = s.named_property_id({kCustomSet, std::uint32_t(0x9999)});
    EXPECT_GT(late, header);
    Message m2 = simple_mail(u"late");
    m2.properties.push_back({make_tag(late, pt::kBoolean), true});
    s.add_message(f, m2);
    s.close();
  }
  EXPECT_TRUE(verified(p));
  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  auto ms = d.messages_in(*d.folder("/Top of Personal Folders/Inbox"));
  ASSERT_EQ(ms.size(), 2u);
  auto named = [&](const OracleMessage* m, std::uint16_t id, std::uint16_t type) {
    const test::OracleProperty* prop = m->property(make_tag(id, type));
    return prop ? prop->named + " = " + prop->value.value_or("?") : std::string("absent");
  };
  EXPECT_EQ(named(ms[0], account, pt::kUnicode),
            "{00062008-0000-0000-c000-000000000046} lid:0x8580 = work");
  EXPECT_EQ(named(ms[0], keywords, pt::kUnicode | pt::kMultiValued),
            "{00020329-0000-0000-c000-000000000046} name:Keywords = [\"a\", \"b\"]");
  EXPECT_EQ(named(ms[0], custom, pt::kLong),
            "{44332211-6655-8877-99aa-bbccddeeff01} lid:0x1234 = 42");
  EXPECT_EQ(named(ms[0], header, pt::kUnicode),
            "{44332211-6655-8877-99aa-bbccddeeff01} name:X-Larkfield-\u00dcber = value");
  EXPECT_EQ(named(ms[1], static_cast<std::uint16_t>(header + 1), pt::kBoolean),
            "{44332211-6655-8877-99aa-bbccddeeff01} lid:0x9999 = true");
}

}  // namespace
}  // namespace larkfield::pst::testing
