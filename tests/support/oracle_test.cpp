// The reader helpers against the Outlook-made sample PSTs: what libpff (oracle),
// pffexport and readpst see must match what is known to be in those files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/exporters.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::test {
namespace {

namespace fs = std::filesystem;

fs::path sample(const char* name) { return fs::path(LARKFIELD_PST_SAMPLES) / name; }

#define REQUIRE_SAMPLE(path)                                        \
  if (!fs::exists(path)) GTEST_SKIP() << "sample absent: " << path; \
  if (!oracle_available()) GTEST_SKIP() << "pypff python absent"

// The SHA-256 of the JPEG attached in pstsdk-sample1.pst, as exported by every reader.
constexpr const char* kThumperSha =
    "6cbde5154184f68a2ccefbe1a2d5520efd473576dc60e13665f5706080548f8e";

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks, and a message whose padding needs a block of its own.
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string million(1000000, 'a');
  EXPECT_EQ(sha256_hex(million),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Feeding in odd pieces gives the same sum.
  Sha256 h;
  for (std::size_t i = 0; i < million.size(); i += 997) {
    h.update(std::string_view(million).substr(i, 997));
  }
  EXPECT_EQ(h.finish_hex(), sha256_hex(million));
}

TEST(OracleDump, ParsesEscapesAndNesting) {
  const char* text =
      "file size=100 encryption=1 content_type=112 orphans=0\n"
      "store name=\"A \\\"quoted\\\" \\\\ name\"\n"
      "folder path=\"/\" id=290 messages=0 subfolders=1\n"
      "folder path=\"/x%2Fy\" id=32802 name=\"x/y\" messages=1 subfolders=0 content_count=1\n"
      "message key=\"/x%2Fy#0\" id=2097188 subject=\"tab\\there\\nnew \\x01\\u00e9\" "
      "recipients=1 attachments=1\n"
      "message.prop key=\"/x%2Fy#0\" tag=0x0e080003 type=long value=\"42\"\n"
      "recipient key=\"/x%2Fy#0:r0\" index=0 type=2 name=\"B\" email=\"b@example.org\"\n"
      "attachment key=\"/x%2Fy#0:a0\" index=0 id=33 method=5 size=0 sha256=\"e3\" embedded=1\n"
      "message key=\"/x%2Fy#0:a0\" id=2097220 subject=\"inner\" attachments=0\n"
      "message.no-recipient-table key=\"/x%2Fy#0:a0\"\n";
  OracleDump d = parse_oracle_dump(text);
  EXPECT_EQ(d.store_name, "A \"quoted\" \\ name");
  ASSERT_EQ(d.folders.size(), 2u);
  EXPECT_FALSE(d.folders[0].name.has_value());
  const OracleFolder* f = d.folder("/x%2Fy");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->name, "x/y");
  EXPECT_EQ(f->content_count, 1);
  ASSERT_EQ(f->message_keys.size(), 1u);
  const OracleMessage* m = d.message("/x%2Fy#0");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->subject, "tab\there\nnew \x01\xc3\xa9");
  ASSERT_NE(m->property(0x0E080003), nullptr);
  EXPECT_EQ(m->property(0x0E080003)->value, "42");
  ASSERT_EQ(m->recipients.size(), 1u);
  EXPECT_EQ(m->recipients[0].type, 2);
  ASSERT_EQ(m->attachments.size(), 1u);
  EXPECT_TRUE(m->attachments[0].embedded);
  const OracleMessage* inner = d.message("/x%2Fy#0:a0");
  ASSERT_NE(inner, nullptr);
  EXPECT_FALSE(inner->has_recipient_table);
  EXPECT_EQ(d.messages_in(*f).size(), 1u);  // the embedded one is not a folder row

  EXPECT_THROW(parse_oracle_dump("bogus line=1\n"), SupportError);
  EXPECT_THROW(parse_oracle_dump("store name=\"unterminated\n"), SupportError);
  EXPECT_THROW(parse_oracle_dump("message.prop key=\"/nowhere#0\" tag=0x1 type=long\n"),
               SupportError);
}

TEST(OracleDump, FiletimeMatchesTheScript) {
  EXPECT_EQ(filetime_to_iso(0), "1601-01-01T00:00:00Z");
  // 2010-03-15 17:12:07.9515197 UTC, the delivery time of pstsdk-sample1's message.
  EXPECT_EQ(filetime_to_iso(129131467279515197ull), "2010-03-15T17:12:07.9515197Z");
  EXPECT_EQ(filetime_to_iso(116444736000000000ull), "1970-01-01T00:00:00Z");
  EXPECT_EQ(filetime_to_iso(125911584000000000ull + 864000000000ull * 59), "2000-02-29T00:00:00Z");
}

TEST(HeaderWords, DecodesEncodedWords) {
  EXPECT_EQ(decode_header_words("plain text"), "plain text");
  EXPECT_EQ(decode_header_words("=?utf-8?B?w6lsw6g=?="), "\xc3\xa9l\xc3\xa8");
  EXPECT_EQ(decode_header_words("=?UTF-8?Q?a_b=C3=A9?= =?utf-8?Q?c?= end"),
            "a b\xc3\xa9"
            "c end");
  EXPECT_EQ(decode_header_words("=?iso-8859-1?Q?caf=E9?="), "caf\xc3\xa9");
  EXPECT_EQ(decode_header_words("=?koi8-r?B?abc?="), "=?koi8-r?B?abc?=");
}

TEST(Process, CapturesOutputAndStatus) {
  ProcessResult r = run_process({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_THROW(run_process({"/nonexistent/program"}), SupportError);
  fs::path kept;
  {
    TempDir t;
    kept = t.path();
    std::ofstream(t.path() / "f") << "x";
    EXPECT_TRUE(fs::exists(kept / "f"));
  }
  EXPECT_FALSE(fs::exists(kept));
}

TEST(Oracle, EmptyOutlookStore) {
  fs::path pst = sample("outlook-pst-rs-Empty.pst");
  REQUIRE_SAMPLE(pst);
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << d.text;
  EXPECT_TRUE(d.errors.empty());
  EXPECT_EQ(d.file_size, 271360u);
  EXPECT_EQ(d.encryption, 1);
  EXPECT_EQ(d.store_name, "Empty");
  const OracleProperty* key = d.store_property(0x0FF90102);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->size, 16u);
  const OracleFolder* root = d.folder("/");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->id, 0x122u);
  EXPECT_EQ(root->subfolders, 4u);
  EXPECT_EQ(root->has_subfolders, 1);
  const OracleFolder* ipm = d.folder("/Top of Outlook data file");
  ASSERT_NE(ipm, nullptr);
  EXPECT_EQ(ipm->id, 0x8022u);
  EXPECT_EQ(ipm->subfolders, 1u);
  const OracleFolder* deleted = d.folder("/Top of Outlook data file/Deleted Items");
  ASSERT_NE(deleted, nullptr);
  EXPECT_EQ(deleted->id, 0x8062u);
  EXPECT_EQ(deleted->messages, 0u);
  EXPECT_EQ(deleted->content_count, 0);
  for (const char* p : {"/Search Root", "/SPAM Search Folder 2", "/IPM_COMMON_VIEWS"}) {
    EXPECT_NE(d.folder(p), nullptr) << p;
  }
  EXPECT_TRUE(d.messages.empty());
}

TEST(Oracle, MessageWithRecipientAndAttachment) {
  fs::path pst = sample("pstsdk-sample1.pst");
  REQUIRE_SAMPLE(pst);
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << d.text;
  const OracleFolder* f = d.folder("/Top of Outlook data file/Sample1");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->messages, 1u);
  EXPECT_EQ(f->content_count, 1);
  auto msgs = d.messages_in(*f);
  ASSERT_EQ(msgs.size(), 1u);
  const OracleMessage& m = *msgs[0];
  EXPECT_EQ(m.subject, "Here is a sample message");
  EXPECT_EQ(m.sender, "Terry Mahaffey");
  EXPECT_EQ(m.message_class, "IPM.Note");
  // The stored subject keeps its two-character header; pypff's subject drops it.
  ASSERT_NE(m.property(0x0037001F), nullptr);
  EXPECT_EQ(m.property(0x0037001F)->value, "\x01\x01Here is a sample message");
  ASSERT_NE(m.property(0x0E060040), nullptr);
  EXPECT_EQ(m.property(0x0E060040)->value, "2010-03-15T17:12:07.9515197Z");
  ASSERT_NE(m.body("plain"), nullptr);
  ASSERT_TRUE(m.body("plain")->text.has_value());
  EXPECT_TRUE(m.body("plain")->text->starts_with("With a sample attachment."));
  ASSERT_NE(m.body("html"), nullptr);
  EXPECT_EQ(m.body("html")->size, 1701u);
  ASSERT_TRUE(m.headers.has_value());
  ASSERT_EQ(m.recipients.size(), 1u);
  EXPECT_EQ(m.recipients[0].name, "Terry Mahaffey");
  EXPECT_EQ(m.recipients[0].type, 1);
  EXPECT_EQ(m.recipients[0].smtp, "terrymah@microsoft.com");
  ASSERT_EQ(m.attachments.size(), 1u);
  const OracleAttachment& a = m.attachments[0];
  EXPECT_EQ(a.long_filename, "leah_thumper.jpg");
  EXPECT_EQ(a.method, 1);
  EXPECT_EQ(a.size, 93142u);
  EXPECT_EQ(a.sha256, kThumperSha);
  EXPECT_FALSE(a.embedded);
  // A named property, resolved through the name-to-id map (PSETID_Common, 0x8580).
  bool found_named = false;
  for (const auto& p : m.properties) {
    if (p.named == "{00062008-0000-0000-c000-000000000046} lid:0x8580") found_named = true;
  }
  EXPECT_TRUE(found_named);
}

TEST(Oracle, EmbeddedMessage) {
  fs::path pst = sample("pstsdk-submessage.pst");
  REQUIRE_SAMPLE(pst);
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << d.text;
  const OracleMessage* outer = d.message("/Top of Outlook data file/submessage#0");
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(outer->subject, "This is a message which has an embedded message attached");
  ASSERT_EQ(outer->attachments.size(), 1u);
  EXPECT_EQ(outer->attachments[0].method, 5);
  EXPECT_TRUE(outer->attachments[0].embedded);
  const OracleMessage* inner = d.message(outer->attachments[0].key);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->subject, "This is an embedded message");
  ASSERT_NE(inner->body("plain"), nullptr);
  EXPECT_EQ(inner->body("plain")->text, "This is the body of an embedded message\r\n\r\n");
  ASSERT_EQ(inner->recipients.size(), 1u);
  EXPECT_EQ(inner->recipients[0].name, "Terry Mahaffey");
}

TEST(Oracle, PostsWithoutRecipientTable) {
  fs::path pst = sample("pstsdk-test_unicode.pst");
  REQUIRE_SAMPLE(pst);
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << d.text;
  EXPECT_EQ(d.store_name, "Personal Folders");
  const OracleFolder* top = d.folder("/Top of Personal Folders");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->messages, 1u);
  const OracleFolder* folder = d.folder("/Top of Personal Folders/Folder");
  ASSERT_NE(folder, nullptr);
  auto msgs = d.messages_in(*folder);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0]->subject, "Post");
  EXPECT_EQ(msgs[0]->message_class, "IPM.Post");
  // Outlook's posts here carry no recipient table; the oracle says so.
  EXPECT_FALSE(msgs[0]->has_recipient_table);
}

TEST(Oracle, UnreadableFile) {
  if (!oracle_available()) GTEST_SKIP() << "pypff python absent";
  TempDir t;
  fs::path junk = t.path() / "junk.pst";
  std::ofstream(junk) << "this is not a personal folders file";
  OracleDump d = run_oracle(junk);
  EXPECT_EQ(d.exit_code, 2);
  EXPECT_TRUE(d.folders.empty());
}

TEST(Pffexport, SampleWithAttachment) {
  fs::path pst = sample("pstsdk-sample1.pst");
  if (!fs::exists(pst) || !pffexport_available()) GTEST_SKIP() << "sample or pffexport absent";
  ExportResult r = run_pffexport(pst);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.folder("/Top of Outlook data file/Deleted Items"), nullptr);
  const ExportedFolder* f = r.folder("/Top of Outlook data file/Sample1");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->messages.size(), 1u);
  const ExportedMessage& m = f->messages[0];
  EXPECT_EQ(m.subject, "Here is a sample message");
  ASSERT_EQ(m.recipient_lines.size(), 1u);
  EXPECT_EQ(m.recipient_lines[0],
            "To: Terry Mahaffey </O=MICROSOFT/OU=Northamerica/cn=Recipients/cn=terrymah1>");
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(m.attachments[0].name, "1_leah_thumper.jpg");
  EXPECT_EQ(m.attachments[0].size, 93142u);
  EXPECT_EQ(m.attachments[0].sha256, kThumperSha);
  EXPECT_EQ(r.total_messages(), 1u);
}

TEST(Pffexport, EmbeddedMessageAndSkippedPosts) {
  fs::path pst = sample("pstsdk-submessage.pst");
  if (!fs::exists(pst) || !pffexport_available()) GTEST_SKIP() << "sample or pffexport absent";
  ExportResult r = run_pffexport(pst);
  const ExportedFolder* f = r.folder("/Top of Outlook data file/submessage");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->messages.size(), 1u);
  ASSERT_EQ(f->messages[0].embedded.size(), 1u);
  EXPECT_EQ(f->messages[0].embedded[0].subject, "This is an embedded message");
  EXPECT_EQ(f->messages[0].embedded[0].recipient_lines.size(), 1u);

  // pffexport does not export IPM.Post items; it counts them as skipped.
  ExportResult posts = run_pffexport(sample("pstsdk-test_unicode.pst"));
  EXPECT_EQ(posts.total_messages(), 0u);
  EXPECT_EQ(posts.skipped, 2u);
}

TEST(Readpst, SampleWithAttachmentAndEmbeddedMessage) {
  fs::path pst = sample("pstsdk-sample1.pst");
  if (!fs::exists(pst) || !readpst_available()) GTEST_SKIP() << "sample or readpst absent";
  ExportResult r = run_readpst(pst);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  // readpst names the IPM subtree's folder after the store ("sample1").
  const ExportedFolder* f = r.folder("/sample1/Sample1");
  ASSERT_NE(f, nullptr) << r.output;
  ASSERT_EQ(f->messages.size(), 1u);
  const ExportedMessage& m = f->messages[0];
  EXPECT_EQ(m.subject, "Here is a sample message");
  ASSERT_EQ(m.recipient_lines.size(), 1u);
  EXPECT_EQ(m.recipient_lines[0], "To: Terry Mahaffey <terrymah@microsoft.com>");
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(m.attachments[0].name, "leah_thumper.jpg");
  EXPECT_EQ(m.attachments[0].sha256, kThumperSha);

  ExportResult sub = run_readpst(sample("pstsdk-submessage.pst"));
  const ExportedFolder* sf = sub.folder("/submessage/submessage");
  ASSERT_NE(sf, nullptr) << sub.output;
  ASSERT_EQ(sf->messages.size(), 1u);
  ASSERT_EQ(sf->messages[0].embedded.size(), 1u);
  EXPECT_EQ(sf->messages[0].embedded[0].subject, "This is an embedded message");
}

}  // namespace
}  // namespace larkfield::test
