// The mail store over a store in memory: creation, folders by id, how an imported message
// is kept, and what its failures mean.

#include <gtest/gtest.h>

#include <fstream>

#include "convert/mailstore/mail_store.hpp"
#include "tests/convert/fakes.hpp"
#include "tests/support/process.hpp"

namespace larkfield::mailstore {
namespace {

using testing::FakeBackend;
using testing::FakeFactory;
using testing::FakeImporter;
using testing::FakeStoreData;

constexpr pst::PropTag kFlags = 0x0E070003;

class MailStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path Write(const std::string& name, const std::string& text) {
    const auto p = tmp_.path() / name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  MailStore Create(const std::string& file = "a.pst") {
    return MailStore::Create(FakeFactory(&stores_), tmp_.path() / file, u"Store A", {});
  }
  mime::ImportResult Import(const std::string& text) {
    return FakeImporter()(Write("m.eml", text), {});
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
};

TEST_F(MailStoreTest, ANewFileOnlyUnderItsDisplayNameAndNothingAfterClose) {
  const auto existing = Write("old.pst", "keep me");
  EXPECT_EQ(CodeOf([&] { Create("old.pst"); }), Error::Code::kFileExists);
  std::ifstream in(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");

  pst::StoreOptions options;
  options.commit_every_messages = 7;
  MailStore store =
      MailStore::Create(FakeFactory(&stores_), tmp_.path() / "a.pst", u"Store A", options);
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_EQ(stores_[0]->options.display_name, u"Store A");
  EXPECT_EQ(stores_[0]->options.commit_every_messages, 7u);
  EXPECT_EQ(store.display_name(), u"Store A");
  const FolderId inbox = store.EnsureFolder(store.root(), u"Inbox");
  store.Close();
  EXPECT_TRUE(stores_[0]->closed);
  EXPECT_FALSE(store.is_open());
  EXPECT_EQ(CodeOf([&] { store.AddMessage(inbox, Import("Subject: late\n")); }),
            Error::Code::kClosed);
  EXPECT_EQ(CodeOf([&] { store.EnsureFolder(inbox, u"Sub"); }), Error::Code::kClosed);
  EXPECT_TRUE(stores_[0]->messages.empty());
}

// A folder named like one already there, in any letter case, is that folder, whether this
// store made it or the file had it from the start; the tree is made once.
TEST_F(MailStoreTest, EnsureFolderFindsWhatIsThereIgnoringLetterCase) {
  BackendFactory with_deleted_items = [this](const std::filesystem::path& p,
                                             const pst::StoreOptions& o) {
    auto b = FakeFactory(&stores_)(p, o);
    b->create_folder(FakeBackend::kIpm, u"Deleted Items");
    return b;
  };
  MailStore store = MailStore::Create(with_deleted_items, tmp_.path() / "a.pst", u"A", {});
  const FolderId mail = store.EnsureFolder(store.root(), u"Mail");
  EXPECT_EQ(store.EnsureFolder(store.root(), u"mail"), mail);
  const FolderId inbox = store.EnsureFolder(mail, u"Inbox");
  EXPECT_NE(inbox, mail);
  EXPECT_EQ(store.EnsureFolder(mail, u"INBOX"), inbox);
  EXPECT_NE(store.EnsureFolder(inbox, u"Inbox"), inbox);  // a child of the same name
  const FolderId deleted = store.EnsureFolder(store.root(), u"deleted items");
  EXPECT_EQ(stores_[0]->folders.at(deleted).name, u"Deleted Items");
  EXPECT_EQ(stores_[0]->FolderPaths(),
            (std::vector<std::string>{"Deleted Items", "Mail", "Mail/Inbox", "Mail/Inbox/Inbox"}));
  EXPECT_EQ(CodeOf([&] { store.EnsureFolder(mail, u""); }), Error::Code::kInvalidArgument);
}

TEST_F(MailStoreTest, AnImportedMessageKeepsItsContentWithItsFlagsDecidedOnce) {
  MailStore store = Create();
  const FolderId inbox = store.EnsureFolder(store.root(), u"Inbox");
  store.AddMessage(inbox, Import("Subject: Hello\nAttach: a.txt\nHidden: logo.png\n"
                                 "Named: x-keywords\nEmbedded: Inner\nEmptyBodies\n"));
  // The importer's flags: unsent (8), and has-attachment without any attachment (16).
  store.AddMessage(inbox, Import("Subject: Draft\nFlags: 8\n"));
  store.AddMessage(inbox, Import("Subject: Plain\nFlags: 16\n"));
  store.AddMessage(inbox, Import("Subject: Inline\nHidden: logo.png\n"));
  const FakeStoreData& data = *stores_[0];
  ASSERT_EQ(data.messages.size(), 4u);
  EXPECT_EQ(data.folders.at(inbox).messages.size(), 4u);

  const pst::Message& m = *data.messages[0];
  EXPECT_EQ(testing::Subject(m), u"Hello");
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
  // Empty bodies are left out; a body with data stays.
  EXPECT_EQ(testing::Find(m.properties, 0x1000001F), nullptr);
  EXPECT_EQ(testing::Find(m.properties, 0x10130102), nullptr);
  EXPECT_NE(testing::Find(m.properties, 0x10090102), nullptr);

  // Read, has-attachment exactly when there are attachments, the rest as imported; one
  // flags property each.
  auto flags = [&](std::size_t i) {
    const auto& props = data.messages[i]->properties;
    EXPECT_EQ(std::count_if(props.begin(), props.end(),
                            [](const pst::Property& p) { return p.tag == kFlags; }),
              1);
    return std::get<std::int32_t>(testing::Find(props, kFlags)->value);
  };
  EXPECT_EQ(flags(0), 0x11);
  EXPECT_EQ(flags(1), 0x09);
  EXPECT_EQ(flags(2), 0x01);
  EXPECT_EQ(flags(3), 0x11);  // hidden attachments are attachments to the store
}

TEST_F(MailStoreTest, AFullStoreIsFatalAndARefusedFolderIsNot) {
  MailStore store = Create();
  const FolderId inbox = store.EnsureFolder(store.root(), u"Inbox");
  stores_[0]->fail_folder = u"Bad";
  try {
    store.EnsureFolder(inbox, u"Bad");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kInvalidArgument);
    EXPECT_FALSE(e.fatal());
  }
  EXPECT_NE(store.EnsureFolder(inbox, u"Good"), inbox);  // the store goes on

  stores_[0]->fail_message_after = 0;
  try {
    store.AddMessage(inbox, Import("Subject: x\n"));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kIo);
    EXPECT_TRUE(e.fatal());
    EXPECT_NE(std::string(e.description()).find("File too large"), std::string::npos);
  }
  EXPECT_TRUE(stores_[0]->messages.empty());
}

}  // namespace
}  // namespace larkfield::mailstore
