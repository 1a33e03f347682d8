// The mail-store operations over a store in memory.

#include <gtest/gtest.h>

#include <fstream>

#include "convert/mailstore/mailstore.hpp"
#include "tests/convert/fakes.hpp"
#include "tests/support/process.hpp"

namespace larkfield::mailstore {
namespace {

using testing::FakeFactory;
using testing::FakeImporter;
using testing::FakeStoreData;
using testing::U16;

class MailStore : public ::testing::Test {
 protected:
  MailStore() : session_(SessionOptions{FakeFactory(&stores_), FakeImporter(), {}, {}}) {
    session_.Logon();
  }
  std::filesystem::path Write(const std::string& name, const std::string& text) {
    const auto p = tmp_.path() / name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  RDOStore Add(const std::u16string& name = u"Store A") {
    return session_.Stores().AddPSTStore(tmp_.path() / "a.pst", kUnicodePstFormat, name);
  }
  static Error::Code CodeOf(auto&& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.code();
    }
    return Error::Code{};
  }

  larkfield::test::TempDir tmp_{"larkfield-mailstore"};
  std::vector<std::shared_ptr<FakeStoreData>> stores_;
  RDOSession session_;
};

TEST_F(MailStore, AddPSTStoreCreatesANewFileOnly) {
  const auto existing = Write("old.pst", "keep me");
  EXPECT_EQ(CodeOf([&] { session_.Stores().AddPSTStore(existing, kUnicodePstFormat, u"X"); }),
            Error::Code::kFileExists);
  std::ifstream in(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
  EXPECT_EQ(CodeOf([&] { session_.Stores().AddPSTStore(tmp_.path() / "b.pst", 2, u"X"); }),
            Error::Code::kInvalidArgument);

  RDOStore store = Add();
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_EQ(stores_[0]->options.display_name, u"Store A");
  EXPECT_EQ(session_.Stores().GetStoreFromID(store.EntryID()).Name(), u"Store A");
  EXPECT_EQ(CodeOf([&] { session_.Stores().GetStoreFromID(EntryId(24)); }), Error::Code::kNotFound);

  RDOSession off(SessionOptions{FakeFactory(&stores_), FakeImporter(), {}, {}});
  EXPECT_EQ(CodeOf([&] { off.Stores(); }), Error::Code::kNotLoggedOn);
}

TEST_F(MailStore, FolderNamesCompareWithoutLetterCase) {
  RDOStore store = Add();
  RDOFolders top = store.IPMRootFolder().Folders();
  RDOFolder mail = top.Add(u"Mail", kMailFolderType);
  mail.Folders().Add(u"Inbox", kMailFolderType);
  EXPECT_EQ(CodeOf([&] { top.Add(u"mail", kMailFolderType); }), Error::Code::kDuplicateFolder);
  EXPECT_EQ(CodeOf([&] { top.Add(u"Other", 1); }), Error::Code::kInvalidArgument);
  EXPECT_EQ(top.Count(), 1u);
  EXPECT_EQ(top.All()[0].Name(), u"Mail");

  EXPECT_EQ(session_.GetFolderFromPath(u"\\\\store a\\MAIL\\inbox").id(),
            mail.Folders().Item(u"Inbox").id());
  EXPECT_EQ(session_.GetFolderFromPath(u"\\\\Store A\\Mail\\").id(), mail.id());
  EXPECT_EQ(CodeOf([&] { session_.GetFolderFromPath(u"\\\\Store A\\Mail\\Sent"); }),
            Error::Code::kNotFound);
  EXPECT_EQ(CodeOf([&] { session_.GetFolderFromPath(u"\\\\Store B\\Mail"); }),
            Error::Code::kNotFound);
  EXPECT_EQ(CodeOf([&] { session_.GetFolderFromPath(u"Store A\\Mail"); }), Error::Code::kNotFound);

  // The mail client's walk reaches the same folders.
  OutlookApplication app(session_);
  RDOFolder walked = app.GetNamespace(u"MAPI").Folders(u"STORE A").Folders().Item(u"mail");
  EXPECT_EQ(walked.id(), mail.id());
  EXPECT_EQ(app.ActiveExplorer().CurrentFolder().id(), store.IPMRootFolder().id());
  EXPECT_EQ(CodeOf([&] { app.GetNamespace(u"OTHER"); }), Error::Code::kInvalidArgument);
}

TEST_F(MailStore, AMessageIsWrittenOnceWithItsImportedContent) {
  RDOStore store = Add();
  RDOFolder inbox = store.IPMRootFolder().Folders().Add(u"Inbox", kMailFolderType);
  const auto file = Write("m.eml",
                          "Subject: Hello\nAttach: a.txt\nHidden: logo.png\nNamed: x-keywords\n"
                          "Embedded: Inner\nWARN: odd header\nEmptyBodies\n");
  RDOMail mail = inbox.Items().Add(kMailItemType);
  EXPECT_EQ(CodeOf([&] { inbox.Items().Add(1); }), Error::Code::kInvalidArgument);
  EXPECT_EQ(CodeOf([&] { mail.Import(file, 1); }), Error::Code::kInvalidArgument);
  mail.Import(file, kRfc822Import);
  EXPECT_EQ(mail.VisibleAttachmentCount(), 2u);  // a.txt and the attached message
  EXPECT_EQ(mail.ImportWarnings(), std::vector<std::string>{"odd header"});

  MAPIUtils utils;
  utils.HrSetOneProp(mail.MAPIOBJECT(), 0x0E070003, std::int32_t{17}, true);
  mail.Save();
  mail.Save();
  auto& data = *stores_[0];
  ASSERT_EQ(data.messages.size(), 1u);
  EXPECT_TRUE(mail.Saved());
  EXPECT_EQ(
      CodeOf([&] { utils.HrSetOneProp(mail.MAPIOBJECT(), 0x0E070003, std::int32_t{1}, true); }),
      Error::Code::kAlreadySaved);
  EXPECT_EQ(data.messages.size(), 1u);

  const pst::Message& m = *data.messages[0];
  EXPECT_EQ(testing::Subject(m), u"Hello");
  EXPECT_EQ(std::get<std::int32_t>(testing::Find(m.properties, 0x0E070003)->value), 17);
  // Named properties get the store's ids, in the message, its attachments and the
  // attached message.
  const pst::Property* keywords = testing::Find(m.properties, pst::make_tag(0x8000, 0x001F));
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(std::get<std::u16string>(keywords->value), u"named value");
  ASSERT_EQ(m.attachments.size(), 3u);
  EXPECT_NE(testing::Find(m.attachments[0].properties, pst::make_tag(0x8001, 0x001F)), nullptr);
  ASSERT_TRUE(m.attachments[2].embedded_message);
  EXPECT_EQ(testing::Subject(*m.attachments[2].embedded_message), u"Inner");
  EXPECT_NE(
      testing::Find(m.attachments[2].embedded_message->properties, pst::make_tag(0x8002, 0x0003)),
      nullptr);
  EXPECT_EQ(data.folders.at(inbox.id()).messages.size(), 1u);
  // Empty bodies are left out; a body with data stays.
  EXPECT_EQ(testing::Find(m.properties, 0x1000001F), nullptr);
  EXPECT_EQ(testing::Find(m.properties, 0x10130102), nullptr);
  EXPECT_NE(testing::Find(m.properties, 0x10090102), nullptr);
}

TEST_F(MailStore, FailuresCarryTheirMeaning) {
  RDOStore store = Add();
  RDOFolder inbox = store.IPMRootFolder().Folders().Add(u"Inbox", kMailFolderType);
  RDOMail missing = inbox.Items().Add(kMailItemType);
  EXPECT_EQ(CodeOf([&] { missing.Import(tmp_.path() / "gone.eml", kRfc822Import); }),
            Error::Code::kUnreadable);
  EXPECT_EQ(stores_[0]->messages.size(), 0u);

  stores_[0]->fail_message_after = 0;
  RDOMail m = inbox.Items().Add(kMailItemType);
  m.Import(Write("x.eml", "Subject: x\n"), kRfc822Import);
  try {
    m.Save();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kIo);
    EXPECT_TRUE(e.fatal());
    EXPECT_NE(std::string(e.description()).find("File too large"), std::string::npos);
  }
  EXPECT_FALSE(m.Saved());

  session_.Logoff();
  EXPECT_TRUE(stores_[0]->closed);
  EXPECT_EQ(CodeOf([&] { inbox.Items().Add(kMailItemType); }), Error::Code::kClosed);
}

}  // namespace
}  // namespace larkfield::mailstore
