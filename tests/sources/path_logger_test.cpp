// The folder scanner: order, keys, counts and modes on a tree of its own, and the real
// file system's listing rules (links, hidden entries, names that are not UTF-8).

#include "sources/path_logger.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sources/file_system.hpp"
#include "tests/sources/temp_tree.hpp"

namespace larkfield::sources {
namespace {

using Strings = std::vector<std::string>;

// A tree of folders held in memory; folders are named by their path with a trailing "/".
class FakeFileSystem final : public FileSystem {
 public:
  struct Tree {
    std::map<std::string, FolderListing> folders;
    std::set<std::string> refused;  // listing these is refused
    std::set<std::string> broken;   // listing these fails otherwise
    int lists = 0;
  };
  explicit FakeFileSystem(Tree* tree) : tree_(tree) {}

  bool FolderExists(const std::filesystem::path& path) override {
    return tree_->folders.count(AddTrailingSeparator(path.native())) > 0;
  }
  FolderListing List(const std::filesystem::path& folder) override {
    ++tree_->lists;
    const std::string key = folder.native();
    if (tree_->refused.count(key)) throw Error(Error::Code::kAccessDenied, "refused " + key);
    if (tree_->broken.count(key)) throw Error(Error::Code::kFileSystem, "broken " + key);
    return tree_->folders.at(key);
  }

 private:
  Tree* tree_;
};

// The tree of the worked example: R holds a.eml and b.txt and the folders X (c.eml) and
// Y, which holds only Z (d.eml).
FakeFileSystem::Tree ExampleTree(const std::string& root = "/R/") {
  FakeFileSystem::Tree t;
  t.folders[root] = {{"X", "Y"}, {"a.eml", "b.txt"}};
  t.folders[root + "X/"] = {{}, {"c.eml"}};
  t.folders[root + "Y/"] = {{"Z"}, {}};
  t.folders[root + "Y/Z/"] = {{}, {"d.eml"}};
  return t;
}

class PathLoggerTest : public ::testing::Test {
 protected:
  pathLogger Scanner(FakeFileSystem::Tree& tree) {
    return pathLogger([&tree] { return std::make_unique<FakeFileSystem>(&tree); },
                      [this] { ++yields_; });
  }
  template <class List>
  static Strings Keys(const List& list) {
    Strings keys;
    for (std::size_t i = 1; i <= list.Count(); ++i) keys.push_back(list.Key(i));
    return keys;
  }
  int yields_ = 0;
};

TEST_F(PathLoggerTest, LogsTheExampleTreeBreadthFirstWithItsKeys) {
  auto tree = ExampleTree();
  auto scanner = Scanner(tree);
  scanner.PathLogInit();
  scanner.LogPath("/R");  // no trailing separator: the scanner adds one

  EXPECT_EQ(scanner.fullFileNames()->Values(),
            (Strings{"/R/a.eml", "/R/b.txt", "/R/X/c.eml", "/R/Y/Z/d.eml"}));
  EXPECT_EQ(Keys(*scanner.fullFileNames()), (Strings{"K1", "K2", "K3", "K4"}));
  EXPECT_EQ(scanner.pathNames()->Values(), (Strings{"/R/", "/R/X/", "/R/Y/", "/R/Y/Z/"}));
  EXPECT_EQ(Keys(*scanner.pathNames()), (Strings{"K0", "K2", "K3", "K4"}));
  EXPECT_EQ(scanner.Count(), 5);  // one past the last file
  // Full-names-only mode (PathLogInit's default) leaves the detailed lists empty.
  EXPECT_TRUE(scanner.fileNames()->Empty());
  EXPECT_TRUE(scanner.pathPointers()->Empty());
  EXPECT_TRUE(scanner.skippedFolders().empty());
  // Yields once per entry at least, so that a caller's window keeps answering.
  EXPECT_GE(yields_, 4 + 3);
}

TEST_F(PathLoggerTest, DetailedModePointsEachFileAtItsFolder) {
  auto tree = ExampleTree();
  auto scanner = Scanner(tree);
  scanner.PathLogInit();
  scanner.fullFileNamesOnly(false);
  scanner.LogPath("/R/");

  const auto names = scanner.fileNames();
  const auto pointers = scanner.pathPointers();
  const auto full = scanner.fullFileNames();
  const auto folders = scanner.pathNames();
  EXPECT_EQ(names->Values(), (Strings{"a.eml", "b.txt", "c.eml", "d.eml"}));
  EXPECT_EQ(pointers->Values(), (std::vector<std::int32_t>{1, 1, 2, 4}));
  EXPECT_EQ(Keys(*pointers), (Strings{"K1", "K2", "K3", "K4"}));
  ASSERT_EQ(full->Count(), 4u);
  for (std::size_t k = 1; k <= full->Count(); ++k) {
    EXPECT_EQ(full->Item(k),
              folders->Item(static_cast<std::size_t>(pointers->Item(k))) + names->Item(k));
    EXPECT_EQ(*full->Find(names->Key(k)), full->Item(k));
  }
}

TEST_F(PathLoggerTest, RootsThatAreMissingEmptyOrAlreadyEndInASeparator) {
  FakeFileSystem::Tree tree;
  tree.folders["/empty/"] = {};
  tree.folders["/"] = {{"mail", "more"}, {"top.eml"}};
  tree.folders["/mail/"] = {{}, {"a.eml"}};
  tree.folders["/more/"] = {};

  {  // Missing root (or a file): nothing logged, Count unchanged.
    auto scanner = Scanner(tree);
    scanner.PathLogInit();
    scanner.LogPath("/nowhere");
    EXPECT_EQ(scanner.Count(), 0);
    EXPECT_TRUE(scanner.pathNames()->Empty());
    EXPECT_TRUE(scanner.skippedFolders().empty());
    EXPECT_EQ(tree.lists, 0);
  }
  {  // Empty root: only the root, with its separator and key K0; Count 1.
    auto scanner = Scanner(tree);
    scanner.PathLogInit();
    scanner.LogPath("/empty");
    EXPECT_EQ(scanner.pathNames()->Values(), (Strings{"/empty/"}));
    EXPECT_EQ(scanner.pathNames()->Key(1), "K0");
    EXPECT_TRUE(scanner.fullFileNames()->Empty());
    EXPECT_EQ(scanner.Count(), 1);
  }
  {  // The file-system root keeps its single separator; nothing is doubled below it.
    auto scanner = Scanner(tree);
    scanner.PathLogInit();
    scanner.LogPath("/");
    EXPECT_EQ(scanner.pathNames()->Values(), (Strings{"/", "/mail/", "/more/"}));
    EXPECT_EQ(scanner.fullFileNames()->Values(), (Strings{"/top.eml", "/mail/a.eml"}));
  }
}

TEST_F(PathLoggerTest, ASecondScanNeedsItsOwnInitAndAnUninitialisedScannerLogsNothing) {
  auto tree = ExampleTree();
  {
    auto scanner = Scanner(tree);
    scanner.fullFileNamesOnly(false);  // before PathLogInit: overridden by it
    scanner.LogPath("/R/");            // no service yet
    EXPECT_EQ(scanner.Count(), 0);
    EXPECT_TRUE(scanner.fullFileNames()->Empty());
    EXPECT_EQ(tree.lists, 0);
    scanner.PathLogInit();
    EXPECT_TRUE(scanner.fullFileNamesOnly());
  }
  {
    auto scanner = Scanner(tree);
    scanner.PathLogInit();
    scanner.LogPath("/R/");
    ASSERT_EQ(scanner.Count(), 5);
    // Again without PathLogInit: the root's key K0 is taken, so the scan stops at once.
    scanner.LogPath("/R/");
    EXPECT_EQ(scanner.Count(), 1);
    EXPECT_EQ(scanner.fullFileNames()->Count(), 4u);
    EXPECT_EQ(scanner.pathNames()->Count(), 4u);
    EXPECT_TRUE(scanner.skippedFolders().empty());
  }
}

TEST_F(PathLoggerTest, TerminateDropsTheListsButNotWhatCallersHold) {
  auto tree = ExampleTree();
  auto scanner = Scanner(tree);
  scanner.PathLogInit();
  scanner.fullFileNamesOnly(false);
  scanner.LogPath("/R/");
  const auto kept = scanner.fullFileNames();
  scanner.Terminate();

  EXPECT_EQ(kept->Count(), 4u);
  EXPECT_EQ(kept->Item(4), "/R/Y/Z/d.eml");
  EXPECT_TRUE(scanner.fullFileNames()->Empty());
  EXPECT_TRUE(scanner.pathNames()->Empty());
  EXPECT_EQ(scanner.Count(), 5);
  EXPECT_FALSE(scanner.fullFileNamesOnly());
  // Without a new PathLogInit there is no service: nothing is scanned.
  scanner.LogPath("/R/");
  EXPECT_TRUE(scanner.pathNames()->Empty());
  // A new PathLogInit makes it usable again.
  scanner.PathLogInit();
  scanner.LogPath("/R/X");
  EXPECT_EQ(scanner.fullFileNames()->Values(), (Strings{"/R/X/c.eml"}));
}

TEST_F(PathLoggerTest, AFolderThatCannotBeListedIsSkippedAndTheRestScanned) {
  auto tree = ExampleTree();
  tree.refused.insert("/R/X/");
  tree.broken.insert("/R/Y/Z/");
  tree.folders["/R/"].sub_folders.push_back("W");
  tree.folders["/R/W/"] = {{}, {"w.eml"}};
  auto scanner = Scanner(tree);
  scanner.PathLogInit();
  scanner.LogPath("/R/");

  // X is refused and Z fails: both are left out, W after them is still scanned.
  EXPECT_EQ(scanner.fullFileNames()->Values(), (Strings{"/R/a.eml", "/R/b.txt", "/R/W/w.eml"}));
  ASSERT_EQ(scanner.skippedFolders().size(), 2u);
  EXPECT_EQ(scanner.skippedFolders()[0].path, "/R/X/");
  EXPECT_EQ(scanner.skippedFolders()[0].reason, Error::Code::kAccessDenied);
  EXPECT_EQ(scanner.skippedFolders()[1].path, "/R/Y/Z/");
  EXPECT_EQ(scanner.skippedFolders()[1].reason, Error::Code::kFileSystem);
  EXPECT_EQ(scanner.Count(), 4);
  // The next PathLogInit forgets them.
  scanner.PathLogInit();
  EXPECT_TRUE(scanner.skippedFolders().empty());

  // A refused root gives nothing but its own entry and the note.
  tree.refused.insert("/R/");
  scanner.LogPath("/R/");
  EXPECT_TRUE(scanner.fullFileNames()->Empty());
  ASSERT_EQ(scanner.skippedFolders().size(), 1u);
  EXPECT_EQ(scanner.skippedFolders()[0].path, "/R/");
}

TEST_F(PathLoggerTest, WhatTheYieldThrowsStopsTheScanAndReachesTheCaller) {
  struct Stop {};
  auto tree = ExampleTree();
  int calls = 0;
  pathLogger scanner([&tree] { return std::make_unique<FakeFileSystem>(&tree); },
                     [&calls] {
                       if (++calls == 5) throw Stop{};
                     });
  scanner.PathLogInit();
  EXPECT_THROW(scanner.LogPath("/R/"), Stop);
  EXPECT_LT(scanner.fullFileNames()->Count(), 4u);
}

TEST(PathLoggerInit, AServiceThatCannotBeMadeIsReported) {
  pathLogger scanner([] { return std::unique_ptr<FileSystem>(); }, {});
  try {
    scanner.PathLogInit();
    FAIL() << "PathLogInit went through without a service";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kUnexpected);
  }
}

TEST(KeyedListTest, KeysAreUniqueAndPositionsStartAtOne) {
  KeyedList<std::string> list;
  list.Append("K0", "root");
  list.Append("K2", "second");
  try {
    list.Append("K0", "again");
    FAIL() << "a duplicate key was taken";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 457);
  }
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(1), "root");
  EXPECT_EQ(list.Item(2), "second");
  EXPECT_EQ(list.Key(2), "K2");
  EXPECT_THROW(list.Item(0), std::out_of_range);
  EXPECT_THROW(list.Item(3), std::out_of_range);
  ASSERT_NE(list.Find("K2"), nullptr);
  EXPECT_EQ(*list.Find("K2"), "second");
  EXPECT_EQ(list.Find("K1"), nullptr);
}

TEST(MessageFileTest, ExtensionInAnyCaseAfterTrimmingSpaces) {
  for (const char* yes : {"a.eml", "/x/B.EML", "c.Eml", "d.emlx", "E.EMLX", " f.eml  ", ".eml"}) {
    EXPECT_TRUE(IsMessageFile(yes)) << yes;
  }
  for (const char* no : {"a.eml.bak", "a.emlxx", "a.txt", "eml", "a.em", "", "   ", "a.e ml"}) {
    EXPECT_FALSE(IsMessageFile(no)) << no;
  }
  EXPECT_EQ(AddTrailingSeparator("/a"), "/a/");
  EXPECT_EQ(AddTrailingSeparator("/a/"), "/a/");
  EXPECT_EQ(AddTrailingSeparator(""), "/");
}

// The real file system.

class RealFileSystemTest : public ::testing::Test {
 protected:
  testing::TempTree tree_;
  RealFileSystem fs_;
};

TEST_F(RealFileSystemTest, ListsSortedWithHiddenEntriesAndWithoutFolderLinks) {
  tree_.File("b.eml");
  tree_.File("a.eml");
  tree_.File(".hidden.eml");
  tree_.Folder("sub2");
  tree_.Folder("sub1");
  tree_.File("sub1/inner.eml");
  namespace fs = std::filesystem;
  fs::create_directory_symlink(tree_.root(), tree_.root() / "up");              // back up the tree
  fs::create_directory_symlink(tree_.root() / "sub1", tree_.root() / "x.eml");  // folder link
  fs::create_symlink(tree_.root() / "a.eml", tree_.root() / "link.eml");        // file link
  fs::create_symlink(tree_.root() / "gone", tree_.root() / "dangling.eml");

  const FolderListing listing = fs_.List(tree_.root());
  EXPECT_EQ(listing.sub_folders, (Strings{"sub1", "sub2"}));
  EXPECT_EQ(listing.files, (Strings{".hidden.eml", "a.eml", "b.eml", "dangling.eml", "link.eml"}));
  EXPECT_TRUE(fs_.FolderExists(tree_.root()));
  EXPECT_TRUE(fs_.FolderExists(tree_.root() / "up"));  // a root given as a link is fine
  EXPECT_FALSE(fs_.FolderExists(tree_.root() / "a.eml"));
  EXPECT_FALSE(fs_.FolderExists(tree_.root() / "missing"));
}

TEST_F(RealFileSystemTest, FailuresAreErrorsWithTheirKind) {
  tree_.File("a.eml");
  for (const char* name : {"missing", "a.eml"}) {
    try {
      fs_.List(tree_.root() / name);
      FAIL() << "listing " << name << " went through";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::kFileSystem) << name;
    }
  }
}

TEST_F(RealFileSystemTest, AScanOverLinksBackUpTheTreeEnds) {
  tree_.File("a.eml");
  tree_.File("X/c.eml");
  tree_.File("Y/Z/d.eml");
  namespace fs = std::filesystem;
  fs::create_directory_symlink(tree_.root(), tree_.root() / "X" / "loop");
  fs::create_directory_symlink(tree_.root() / "Y", tree_.root() / "Y" / "Z" / "again");
  pathLogger scanner(RealFileSystemFactory(), {});
  scanner.PathLogInit();
  scanner.LogPath(tree_.root().native());
  const std::string r = tree_.root().native() + "/";
  EXPECT_EQ(scanner.fullFileNames()->Values(),
            (Strings{r + "a.eml", r + "X/c.eml", r + "Y/Z/d.eml"}));
}

TEST_F(RealFileSystemTest, NamesThatAreNotUtf8ComeBackByteForByte) {
  const std::string odd = "caf\xE9-\xFF\xFE.eml";  // Latin-1 bytes, not UTF-8
  const std::string folder = "f\x80lder";
  tree_.File(folder + "/" + odd);
  pathLogger scanner(RealFileSystemFactory(), {});
  scanner.PathLogInit();
  scanner.LogPath(tree_.root().native());
  ASSERT_EQ(scanner.fullFileNames()->Count(), 1u);
  const std::string found = scanner.fullFileNames()->Item(1);
  EXPECT_EQ(found, tree_.root().native() + "/" + folder + "/" + odd);
  EXPECT_TRUE(std::filesystem::exists(found));
}

}  // namespace
}  // namespace larkfield::sources
