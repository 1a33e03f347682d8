// The store and its folders as the independent readers see them: the new store's
// system folders, folder trees with their counts, letter-case duplicates, commits.

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/pst/messaging/store_support.hpp"

namespace larkfield::pst::testing {
namespace {

using test::OracleDump;

#define REQUIRE_READERS()                                               \
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent"; \
  if (!test::pffexport_available()) GTEST_SKIP() << "pffexport absent"; \
  if (!test::readpst_available()) GTEST_SKIP() << "readpst absent"

class StoreTest : public ::testing::Test {
 protected:
  fs::path path(const char* name) { return dir_.path() / name; }
  test::TempDir dir_{"larkfield-store"};
};

TEST_F(StoreTest, NewStoreHasTheSystemFoldersInEveryReader) {
  REQUIRE_READERS();
  const fs::path p = path("empty.pst");
  std::array<std::uint8_t, 16> key{};
  {
    Store s = Store::create(p, options(u"Archiv \u00c4rger \u65e5\u672c"));
    key = s.record_key();
    EXPECT_EQ(s.folder_name(s.ipm_subtree()), u"Top of Personal Folders");
    EXPECT_EQ(s.folder_name(s.deleted_items()), u"Deleted Items");
    // Entry ids: flags, the store's record key, the node id.
    Bytes e = s.entry_id(s.ipm_subtree());
    ASSERT_EQ(e.size(), 24u);
    EXPECT_EQ(std::to_integer<int>(e[4]), key[0]);
    EXPECT_EQ(std::to_integer<int>(e[20]), 0x22);
    EXPECT_EQ(std::to_integer<int>(e[21]), 0x80);
    s.close();
    EXPECT_FALSE(s.is_open());
    try {
      s.create_folder(s.ipm_subtree(), u"late");
      ADD_FAILURE() << "a closed store took a folder";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::kClosed);
    }
  }
  EXPECT_TRUE(verified(p));

  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  EXPECT_EQ(d.store_name, "Archiv \u00c4rger \u65e5\u672c");
  const test::OracleProperty* rk = d.store_property(0x0FF90102);
  ASSERT_NE(rk, nullptr);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02x", key[0]);
  EXPECT_EQ(rk->value->substr(0, 2), hex);
  for (const char* f : {"/", "/Top of Personal Folders", "/Top of Personal Folders/Deleted Items",
                        "/Search Root"}) {
    const test::OracleFolder* folder = d.folder(f);
    ASSERT_NE(folder, nullptr) << f << "\n" << d.text;
    EXPECT_EQ(folder->messages, 0u);
    EXPECT_EQ(folder->content_count, 0);
  }
  EXPECT_EQ(d.folder("/")->has_subfolders, 1);
  EXPECT_EQ(d.folder("/Top of Personal Folders")->subfolders, 1u);
  EXPECT_EQ(d.folder("/Top of Personal Folders/Deleted Items")->has_subfolders, 0);
  EXPECT_EQ(d.messages.size(), 0u);

  test::ExportResult px = test::run_pffexport(p);
  EXPECT_EQ(px.exit_code, 0) << px.output;
  EXPECT_NE(px.folder("/Top of Personal Folders/Deleted Items"), nullptr) << px.output;
  EXPECT_EQ(px.total_messages(), 0u);
  test::ExportResult rp = test::run_readpst(p);
  EXPECT_EQ(rp.exit_code, 0) << rp.output;
  EXPECT_EQ(rp.total_messages(), 0u);
}

TEST_F(StoreTest, ExistingPathIsRefusedAndUntouched) {
  const fs::path p = path("existing.pst");
  {
    std::ofstream out(p, std::ios::binary);
    out << "not a store, and it must stay so";
  }
  try {
    Store::create(p, options());
    ADD_FAILURE() << "an existing file was taken";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kFileExists);
  }
  std::ifstream in(p, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "not a store, and it must stay so");
}

// The new file gets its name only once it holds a committed store: after create() the
// folder holds exactly the named file, and that file is a valid store at once, before
// any further commit; a dangling symbolic link at the path is refused too.
TEST_F(StoreTest, NewFileAppearsOnlyWhenItHoldsAStore) {
  const fs::path p = path("fresh.pst");
  Store s = Store::create(p, options());
  std::vector<fs::path> names;
  for (const auto& e : fs::directory_iterator(p.parent_path())) names.push_back(e.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].filename(), p.filename());
  EXPECT_TRUE(verified(p, /*crash_state=*/true));  // read while the store is still open

  const fs::path link = path("dangling.pst");
  fs::create_symlink(path("nowhere"), link);
  EXPECT_THROW(Store::create(link, options()), Error);
  EXPECT_FALSE(fs::exists(path("nowhere")));
}

// A writer killed before its store was published leaves "<name>.pst.partial-<pid>": the
// next store made in that folder removes such files of processes that have ended, and
// nothing else (a live process's file, other names, folders, links).
TEST_F(StoreTest, StalePartialFilesOfEndedWritersAreRemoved) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string dead = std::to_string(child);
  const std::string alive = std::to_string(::getppid());
  auto touch = [](const fs::path& f) { std::ofstream(f) << "x"; };
  auto at = [this](const std::string& name) { return path(name.c_str()); };
  const fs::path stale = at("old.pst.partial-" + dead);
  const std::vector<fs::path> kept = {at("live.pst.partial-" + alive),
                                      at("notes.txt.partial-" + dead),
                                      at("old.pst.partial-" + dead + "x"),
                                      at("old.pst.partial-0" + dead),
                                      at("old.pst.partial-"),
                                      at("dir.pst.partial-" + dead),
                                      at("link.pst.partial-" + dead)};
  touch(stale);
  for (std::size_t i = 0; i + 2 < kept.size(); ++i) touch(kept[i]);
  fs::create_directory(kept[kept.size() - 2]);
  fs::create_symlink(at("notes.txt.partial-" + dead), kept.back());

  Store::create(path("new.pst"), options()).close();
  EXPECT_FALSE(fs::exists(fs::symlink_status(stale)));
  for (const fs::path& f : kept) EXPECT_TRUE(fs::exists(fs::symlink_status(f))) << f;
  EXPECT_TRUE(fs::exists(path("new.pst")));
}

// Three levels in several scripts; read and unread messages; counts in every reader.
TEST_F(StoreTest, NestedFoldersCarryTheirCounts) {
  REQUIRE_READERS();
  const fs::path p = path("tree.pst");
  const std::u16string l1 = u"Projekte \u00e9t\u00e9", l2 = u"\u0410\u0440\u0445\u0438\u0432",
                       l3 = u"\u65e5\u672c\u8a9e \u05e2\u05d1\u05e8\u05d9\u05ea";
  {
    Store s = Store::create(p, options(u"Tree"));
    FolderId a = s.create_folder(s.ipm_subtree(), l1);
    FolderId b = s.create_folder(a, l2);
    FolderId c = s.create_folder(b, l3);
    FolderId sib = s.create_folder(a, u"Second", u"IPF.Note");
    for (int i = 0; i < 5; ++i) s.add_message(a, simple_mail(u"in a", i < 2));
    for (int i = 0; i < 3; ++i) s.add_message(c, simple_mail(u"in c", false));
    s.add_message(sib, simple_mail(u"in sibling", true));
    ASSERT_EQ(s.subfolders(a).size(), 2u);
    EXPECT_EQ(s.subfolders(a)[0].name, l2);
    EXPECT_EQ(s.find_subfolder(s.ipm_subtree(), u"PROJEKTE \u00c9T\u00c9"), a);
    EXPECT_FALSE(s.find_subfolder(a, u"nothing"));
    StoreStatistics st = s.statistics();
    EXPECT_EQ(st.messages, 9u);
    EXPECT_EQ(st.folders, 4u);
    s.close();
  }
  EXPECT_TRUE(verified(p));

  OracleDump d = test::run_oracle(p);
  ASSERT_EQ(d.exit_code, 0) << d.text;
  const std::string top = "/Top of Personal Folders/";
  const test::OracleFolder* fa = d.folder(top + utf8(l1));
  const test::OracleFolder* fb = d.folder(top + utf8(l1) + "/" + utf8(l2));
  const test::OracleFolder* fc = d.folder(top + utf8(l1) + "/" + utf8(l2) + "/" + utf8(l3));
  ASSERT_TRUE(fa && fb && fc) << d.text;
  EXPECT_EQ(fa->messages, 5u);
  EXPECT_EQ(fa->content_count, 5);
  EXPECT_EQ(fa->content_unread, 3);
  EXPECT_EQ(fa->has_subfolders, 1);
  EXPECT_EQ(fa->subfolders, 2u);
  EXPECT_EQ(fb->messages, 0u);
  EXPECT_EQ(fb->has_subfolders, 1);
  EXPECT_EQ(fc->messages, 3u);
  EXPECT_EQ(fc->content_unread, 3);
  EXPECT_EQ(fc->has_subfolders, 0);
  const test::OracleProperty* cls = d.folder(top + utf8(l1) + "/Second")->property(0x3613001F);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->value, "IPF.Note");

  test::ExportResult px = test::run_pffexport(p);
  ASSERT_EQ(px.exit_code, 0) << px.output;
  const test::ExportedFolder* xc = px.folder(top + utf8(l1) + "/" + utf8(l2) + "/" + utf8(l3));
  ASSERT_NE(xc, nullptr) << px.output;
  EXPECT_EQ(xc->messages.size(), 3u);
  EXPECT_EQ(px.total_messages(), 9u);

  test::ExportResult rp = test::run_readpst(p);
  ASSERT_EQ(rp.exit_code, 0) << rp.output;
  EXPECT_EQ(rp.total_messages(), 9u);
  const test::ExportedFolder* rc = rp.folder("/Tree/" + utf8(l1) + "/" + utf8(l2) + "/" + utf8(l3));
  ASSERT_NE(rc, nullptr) << rp.output;
  EXPECT_EQ(rc->messages.size(), 3u);
}

TEST_F(StoreTest, SiblingNamesAreUniqueIgnoringCase) {
  const fs::path p = path("dupes.pst");
  Store s = Store::create(p, options());
  FolderId inbox = s.create_folder(s.ipm_subtree(), u"Mail");
  FolderId greek = s.create_folder(inbox, u"\u0391\u03c1\u03c7\u03b5\u03af\u03bf");
  s.create_folder(inbox, u"\u0416\u0443\u0440\u043d\u0430\u043b");
  s.create_folder(inbox, u"\u00c4rger");
  struct Case {
    FolderId parent;
    std::u16string name;
  };
  const Case dupes[] = {
      {s.ipm_subtree(), u"mail"},
      {s.ipm_subtree(), u"MAIL"},
      {s.ipm_subtree(), u"deleted items"},
      {inbox, u"\u03b1\u03a1\u03a7\u0395\u038a\u039f"},  // Greek with a tonos capital
      {inbox, u"\u0436\u0423\u0420\u041d\u0410\u041b"},  // Cyrillic
      {inbox, u"\u00e4RGER"},
  };
  for (const auto& c : dupes) {
    try {
      s.create_folder(c.parent, c.name);
      ADD_FAILURE() << "duplicate accepted: " << utf8(c.name);
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::kDuplicateFolder) << utf8(c.name);
    }
  }
  // The same name elsewhere, and names that only look alike, are fine.
  EXPECT_NO_THROW(s.create_folder(greek, u"Mail"));
  EXPECT_NO_THROW(s.create_folder(inbox, u"Mail "));
  EXPECT_NO_THROW(s.create_folder(inbox, u"Arger"));
  EXPECT_TRUE(names_equal_ignoring_case(u"Stra\u00dfe", u"STRA\u00dfE"));
  EXPECT_FALSE(names_equal_ignoring_case(u"a", u"b"));
  try {
    s.create_folder(0x12345622, u"x");
    ADD_FAILURE() << "unknown parent accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kNotFound);
  }
  s.close();
  EXPECT_TRUE(verified(p));
}

// What a reader sees while the store is open: the last commit, automatic or not.
TEST_F(StoreTest, ReadersSeeTheLastCommit) {
  if (!test::oracle_available()) GTEST_SKIP() << "pypff python absent";
  const fs::path p = path("commits.pst");
  StoreOptions o = options();
  o.commit_every_messages = 10;
  o.commit_interval = std::chrono::hours(1);
  Store s = Store::create(p, o);
  FolderId f = s.create_folder(s.ipm_subtree(), u"Inbox");
  auto count_now = [&]() -> std::int64_t {
    const fs::path copy = path("copy.pst");
    fs::remove(copy);
    fs::copy_file(p, copy);
    // Between commits the space the last commit released is still marked allocated,
    // as after a crash.
    EXPECT_TRUE(verified(copy, true));
    OracleDump d = test::run_oracle(copy);
    EXPECT_EQ(d.exit_code, 0) << d.text;
    const test::OracleFolder* inbox = d.folder("/Top of Personal Folders/Inbox");
    return inbox ? static_cast<std::int64_t>(inbox->messages) : -1;
  };
  EXPECT_EQ(count_now(), -1);  // the folder itself is not committed yet
  for (int i = 0; i < 25; ++i) s.add_message(f, simple_mail(u"m"));
  // Commits come before the 11th and the 21st message.
  EXPECT_EQ(count_now(), 20);
  EXPECT_EQ(s.statistics().commits, 3u);  // the new store's, then two automatic ones
  s.commit();
  EXPECT_EQ(count_now(), 25);
  s.close();
  EXPECT_EQ(count_now(), 25);
}

}  // namespace
}  // namespace larkfield::pst::testing
