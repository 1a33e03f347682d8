// Files of the shapes users meet, read back through the two readers written against
// Outlook's own files: Microsoft's PST SDK (pstsdk-dump) and pst-extractor. A layout
// they do not expect makes them report problems or never end (each run is timed).

#include <gtest/gtest.h>

#include "tests/pst/messaging/store_support.hpp"
#include "tests/support/readers.hpp"

namespace larkfield::pst::testing {
namespace {

using test::run_pst_extractor;
using test::run_pstsdk_dump;

class Readers : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = test::readers_missing();
    if (!missing.empty()) GTEST_SKIP() << "readers missing: " << missing;
  }
  // Both readers read the whole file: no problem, every message listed.
  void read_back(const fs::path& pst, std::int64_t messages, std::int64_t attachments = -1,
                 std::int64_t embedded = -1) {
    ASSERT_TRUE(verified(pst));
    const test::PstsdkResult sdk = run_pstsdk_dump(pst);
    EXPECT_EQ(sdk.exit_code, 0) << sdk.output.substr(0, 4000);
    EXPECT_EQ(sdk.problems, 0) << sdk.output.substr(0, 4000);
    EXPECT_GE(sdk.counters.count("messages walked") ? sdk.counters.at("messages walked") : 0,
              messages);
    const test::ExtractorResult px = run_pst_extractor(pst);
    ASSERT_EQ(px.exit_code, 0) << "pst-extractor (124: it did not end)\n"
                               << px.output.substr(0, 4000);
    EXPECT_EQ(px.totals.at("messages"), messages) << px.output.substr(0, 4000);
    if (attachments >= 0) {
      EXPECT_EQ(px.totals.at("attachments"), attachments);
    }
    if (embedded >= 0) {
      EXPECT_EQ(px.totals.at("embedded"), embedded);
    }
  }
  test::TempDir dir_{"larkfield-readers"};
};

// The benchmark's shape: 2,000 messages in 20 folders, some with attachments, and a
// table heap that grows over many commits.
TEST_F(Readers, TwoThousandMessagesInTwentyFolders) {
  const fs::path pst = dir_.path() / "twenty.pst";
  {
    StoreOptions o = options();
    o.commit_every_messages = 150;
    Store s = Store::create(pst, o);
    std::vector<FolderId> folders;
    for (int f = 0; f < 20; ++f)
      folders.push_back(s.create_folder(s.ipm_subtree(), u"Folder " + u16(std::to_string(f))));
    for (int i = 0; i < 2000; ++i) {
      Message m = simple_mail(u"Message " + u16(std::to_string(i)), i % 3 == 0);
      m.recipients.push_back(recipient(1, u"To Someone", u"to@example.org"));
      m.recipients.push_back(recipient(2, u"Cc Someone", u"cc@example.org"));
      if (i % 10 == 0) m.attachments.push_back(file_attachment(u"a.bin", pattern(5000, i)));
      s.add_message(folders[static_cast<std::size_t>(i % 20)], m);
    }
    s.close();
  }
  read_back(pst, 2000, 200);
}

// One message with 400 recipients: a recipient table of several heap pages.
TEST_F(Readers, FourHundredRecipients) {
  const fs::path pst = dir_.path() / "recipients.pst";
  {
    Store s = Store::create(pst, options());
    Message m = simple_mail(u"To everyone");
    for (int i = 0; i < 400; ++i) {
      const std::u16string n = u16(std::to_string(i));
      m.recipients.push_back(
          recipient(1 + i % 3, u"Recipient number " + n, u"recipient." + n + u"@example.org"));
    }
    s.add_message(s.create_folder(s.ipm_subtree(), u"Inbox"), m);
    s.close();
  }
  read_back(pst, 1, 0);
  const test::ExtractorResult px = run_pst_extractor(pst);
  EXPECT_EQ(px.totals.at("recipients"), 400);
}

// A 9 MB attachment (a data tree under an XBLOCK) and messages attached three deep.
TEST_F(Readers, LargeAttachmentAndMessagesAttachedThreeDeep) {
  const fs::path pst = dir_.path() / "deep.pst";
  {
    Store s = Store::create(pst, options());
    const FolderId inbox = s.create_folder(s.ipm_subtree(), u"Inbox");
    Message big = simple_mail(u"Big attachment");
    big.attachments.push_back(file_attachment(u"big.bin", pattern(9'000'000, 7)));
    s.add_message(inbox, big);

    Message inner = simple_mail(u"Level 3");
    inner.attachments.push_back(file_attachment(u"deepest.txt", pattern(20000, 3)));
    for (int level = 2; level >= 0; --level) {
      Message outer = simple_mail(u"Level " + u16(std::to_string(level)));
      outer.recipients.push_back(recipient(1, u"Someone", u"someone@example.org"));
      Attachment a;
      a.properties = {{0x37050003, std::int32_t(5)},
                      {0x3001001F, std::u16string(u"attached message")}};
      a.embedded_message = std::make_unique<Message>(std::move(inner));
      outer.attachments.push_back(std::move(a));
      inner = std::move(outer);
    }
    s.add_message(inbox, inner);
    s.close();
  }
  // pstsdk walks the three attached messages; pst-extractor gives none (as for Outlook's
  // own files), so its count of them is not compared.
  read_back(pst, 2);
  const test::ExtractorResult px = run_pst_extractor(pst);
  // The 9 MB attachment read back to its last byte; pst-extractor takes the attached
  // message's 8-byte object record for a file attachment (as in Outlook's own files).
  EXPECT_NE(px.output.find("folder \"/Top of Personal Folders/Inbox\" 2 2 9000008"),
            std::string::npos)
      << px.output;
  test::PstsdkResult sdk = run_pstsdk_dump(pst);
  EXPECT_EQ(sdk.counters["embedded messages"], 3) << sdk.output.substr(0, 4000);
}

// 20,000 messages in one folder: a contents table whose row matrix and heap span many
// blocks, written over many commits.
TEST_F(Readers, TwentyThousandMessagesInOneFolder) {
  const fs::path pst = dir_.path() / "one-folder.pst";
  {
    StoreOptions o = options();
    o.commit_every_messages = 3000;
    Store s = Store::create(pst, o);
    const FolderId inbox = s.create_folder(s.ipm_subtree(), u"Inbox");
    for (int i = 0; i < 20000; ++i) {
      Message m = simple_mail(u"Message " + u16(std::to_string(i)), i % 2 == 0);
      m.recipients.push_back(recipient(1, u"To Someone", u"to@example.org"));
      s.add_message(inbox, m);
    }
    s.close();
  }
  read_back(pst, 20000, 0);
}

}  // namespace
}  // namespace larkfield::pst::testing
