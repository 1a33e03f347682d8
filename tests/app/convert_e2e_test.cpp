// "Convert" from end to end: real message files in a nested tree, the PST writer and the
// importer, the result read back by pypff and readpst.

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <map>

#include "tests/app/window_fixture.hpp"
#include "tests/support/exporters.hpp"
#include "tests/support/oracle.hpp"

namespace larkfield::testing {
namespace {

std::string Message(const std::string& subject, bool attachment = false) {
  std::string m =
      "From: Ann Example <ann@example.org>\r\nTo: bob@example.net\r\nSubject: " + subject +
      "\r\nDate: Tue, 03 Mar 2015 10:00:00 +0100\r\nMessage-ID: <" + subject +
      "@example.org>\r\nMIME-Version: 1.0\r\n";
  if (!attachment) {
    return m + "Content-Type: text/plain; charset=utf-8\r\n\r\nBody of " + subject + "\r\n";
  }
  return m +
         "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n\r\nBody of " +
         subject +
         "\r\n--b\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
         "Content-Disposition: attachment; filename=\"a.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--b--\r\n";
}

// "/Top of Personal Folders" and a folder's absolute path below "/".
std::string StorePath(const std::filesystem::path& folder) {
  std::string p = "/Top of Personal Folders";
  for (const auto& part : folder.relative_path()) p += "/" + part.string();
  return p;
}

TEST_F(WindowTest, ConvertWritesAPstThatEveryReaderReads) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff is not installed";
  const auto src = tree_.root() / "src";
  std::vector<std::filesystem::path> rows = {
      tree_.File("src/Inbox/a.eml", Message("alpha", true)),
      tree_.File("src/Inbox/Projects/b.eml", Message("beta")),
      tree_.File("src/Inbox/Projects/Deep/c.emlx", std::to_string(Message("gamma").size()) + "\n" +
                                                       Message("gamma") +
                                                       "<?xml version=\"1.0\"?><plist/>\n"),
      tree_.File("src/Mail/d.eml", Message("delta")),
      tree_.File("src/mail/e.eml", Message("epsilon")),  // lands in "Mail"
      tree_.File("src/Entw\xc3\xbcrfe/f.eml", Message("phi")),
      tree_.File("src/Sent/gone.eml", Message("gone")),
      tree_.Folder("src/Sent/folder.eml"),  // listed, but no file to read
  };
  rows.push_back(rows[1]);  // the same file twice gives two items
  for (const auto& p : rows) window_.AddFileToList(sources::TextFromNative(p.native()));
  window_.gate().SetEnabled(window_.CmdExtractDBX(), true);
  std::filesystem::remove(tree_.root() / "src/Sent/gone.eml");  // deleted after listing

  const auto out = tree_.Folder("out");
  dialogs_.AnswerFolder(sources::TextFromNative(out.native()));
  dialogs_.ExpectMessage();  // two rows failed
  Click("CmdExtractDBX");
  ASSERT_EQ(dialogs_.calls().size(), 2u);
  const QString box = dialogs_.calls()[1].text;
  EXPECT_TRUE(box.startsWith(QStringLiteral("7 messages were converted, 2 failed:")))
      << box.toStdString();
  EXPECT_TRUE(box.contains(QStringLiteral("gone.eml")));
  EXPECT_TRUE(box.contains(QStringLiteral("folder.eml")));
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 100);
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());

  std::filesystem::path pst, log;
  for (const auto& e : std::filesystem::directory_iterator(out)) {
    (e.path().extension() == ".pst" ? pst : log) = e.path();
  }
  ASSERT_FALSE(pst.empty());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.stem(), pst.stem());

  const test::OracleDump d = test::run_oracle(pst);
  ASSERT_EQ(d.exit_code, 0) << d.text.substr(0, 3000);
  ASSERT_TRUE(d.store_name);
  EXPECT_EQ(d.store_name->rfind("Larkfield : Created - ", 0), 0u);
  const std::map<std::string, std::vector<std::string>> expected = {
      {"Inbox", {"alpha"}},
      {"Inbox/Projects", {"beta", "beta"}},
      {"Inbox/Projects/Deep", {"gamma"}},
      {"Mail", {"delta", "epsilon"}},
      {"Entw\xc3\xbcrfe", {"phi"}},
      {"Sent", {}}};
  for (const auto& [rel, subjects] : expected) {
    const test::OracleFolder* f = d.folder(StorePath(src / rel));
    ASSERT_NE(f, nullptr) << rel << "\n" << d.text.substr(0, 3000);
    std::vector<std::string> got;
    for (const test::OracleMessage* m : d.messages_in(*f)) {
      got.push_back(m->subject);
      const int flags = std::stoi(m->property(0x0E070003)->value.value_or("0"));
      EXPECT_EQ(flags, m->attachments.empty() ? 0x01 : 0x11) << m->subject;
    }
    EXPECT_EQ(got, subjects) << rel;
  }
  EXPECT_EQ(d.folder(StorePath(src / "mail")), nullptr);  // one folder for Mail and mail

  if (test::readpst_available()) {
    const test::ExportResult rp = test::run_readpst(pst);
    EXPECT_EQ(rp.exit_code, 0) << rp.output;
    EXPECT_EQ(rp.total_messages(), 7u) << rp.output;
  }
}

}  // namespace
}  // namespace larkfield::testing
