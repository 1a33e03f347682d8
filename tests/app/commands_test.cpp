// The add-files, add-folder and clear commands through the window's buttons, with scripted
// dialogs and real temporary folders; and the hold-off of list commands while one yields.

#include <gtest/gtest.h>
#include <QTimer>

#include <filesystem>

#include "sources/dialogs.hpp"
#include "tests/app/window_fixture.hpp"

namespace larkfield::testing {
namespace {

using Kind = ScriptedDialogs::Kind;
using sources::MessageIcon;

const QString kTitle = QStringLiteral("Larkfield Mail Porter");
const QChar kNul(0);

// Add files.

TEST_F(WindowTest, AddFilesAsksWithTheFilterAndAddsOneFile) {
  dialogs_.AnswerOpen(QStringLiteral("/mail/In box/a.eml"));
  Click("cmdAdd");
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  const sources::OpenFilesRequest& r = dialogs_.calls()[0].request;
  EXPECT_EQ(r.file_name, QString());
  EXPECT_EQ(r.filter, QStringLiteral("Email Messages (*.eml,*.emlx)|*.eml;*.emlx"));
  EXPECT_EQ(r.flags, 0x80200);
  EXPECT_EQ(r.max_file_size, 1000);
  EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/In box/a.eml")});
  EXPECT_EQ(Count(), QStringLiteral("1 Email Messages"));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
}

TEST_F(WindowTest, AddFilesPutsTheFolderBeforeEachNameOfSeveral) {
  dialogs_.AnswerOpen(QStringLiteral("/mail") + kNul + QStringLiteral("b.eml") + kNul +
                      QStringLiteral("a.emlx"));
  // A result that already ends in a NUL gets no second one and no empty row.
  dialogs_.AnswerOpen(QStringLiteral("/mail/") + kNul + QStringLiteral("c.eml") + kNul +
                      QStringLiteral("b.eml") + kNul);
  Click("cmdAdd");
  Click("cmdAdd");
  EXPECT_EQ(Rows(), (QStringList{"/mail/b.eml", "/mail/a.emlx", "/mail/c.eml", "/mail/b.eml"}));
  EXPECT_EQ(Count(), QStringLiteral("4 Email Messages"));
}

TEST_F(WindowTest, AddFilesInTheRootFolderGivesOneSeparator) {
#ifdef _WIN32
  const QString root = QStringLiteral("C:\\");
#else
  const QString root = QStringLiteral("/");
#endif
  dialogs_.AnswerOpen(root + kNul + QStringLiteral("a.eml") + kNul + QStringLiteral("b.eml"));
  Click("cmdAdd");
  EXPECT_EQ(Rows(), (QStringList{root + QStringLiteral("a.eml"), root + QStringLiteral("b.eml")}));
}

TEST_F(WindowTest, CancellingAddFilesChangesNothing) {
  dialogs_.AnswerOpen(QString());
  Click("cmdAdd");
  EXPECT_EQ(Rows(), QStringList{QString()});
  EXPECT_EQ(Count(), QStringLiteral("0 files"));
  EXPECT_FALSE(Button("CmdExtractDBX")->isEnabled());

  Button("CmdExtractDBX")->setEnabled(true);
  dialogs_.AnswerOpen(QString());
  Click("cmdAdd");
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  EXPECT_EQ(dialogs_.calls().size(), 2u);  // no message either time
}

TEST_F(WindowTest, AddFilesReportsATooLongSelectionAndOtherFailures) {
  window_.AddFileToList(QStringLiteral("/m/kept.eml"));
  dialogs_.FailOpen(std::make_exception_ptr(sources::SelectionTooLong(37)));
  dialogs_.ExpectMessage();
  dialogs_.FailOpen(std::make_exception_ptr(
      sources::Error(sources::Error::Code::kFileSystem, "The device is not ready")));
  dialogs_.ExpectMessage();
  Click("cmdAdd");
  Click("cmdAdd");
  const auto calls = dialogs_.TakeCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].kind, Kind::kMessage);
  EXPECT_EQ(calls[1].text, QStringLiteral("Please select only 37 files at a time"));
  EXPECT_EQ(calls[1].icon, MessageIcon::kExclamation);
  EXPECT_EQ(calls[1].title, kTitle);
  EXPECT_EQ(calls[3].text, QStringLiteral("75:The device is not ready"));
  EXPECT_EQ(calls[3].icon, MessageIcon::kExclamation);
  EXPECT_EQ(Rows(), QStringList{QStringLiteral("/m/kept.eml")});
  EXPECT_FALSE(Button("CmdExtractDBX")->isEnabled());
}

// Add folder.

TEST_F(WindowTest, AddFolderAddsTheMessageFilesBreadthFirst) {
  tree_.File("a.eml");
  tree_.File("b.txt");
  tree_.File("X/c.eml");
  tree_.File("Y/Z/d.eml");
  dialogs_.AnswerFolder(Path());  // without a trailing separator
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");

  EXPECT_EQ(Rows(), (QStringList{Path("a.eml"), Path("X/c.eml"), Path("Y/Z/d.eml")}));
  EXPECT_EQ(Count(), QStringLiteral("3 Email Messages"));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  const auto calls = dialogs_.TakeCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, Kind::kBrowse);
  EXPECT_EQ(calls[0].text, QStringLiteral("Choose Windows Live Mail Store Folder..."));
  EXPECT_EQ(calls[1].text, QStringLiteral("3 Email Messages Found."));
  EXPECT_EQ(calls[1].icon, MessageIcon::kNone);
  EXPECT_EQ(calls[1].title, kTitle);
  EXPECT_FALSE(QGuiApplication::overrideCursor());  // the busy pointer is gone again
}

TEST_F(WindowTest, AddFolderTakesEveryLetterCaseOfTheExtensionsAndNothingElse) {
  for (const char* name : {"A.EML", "b.Eml", "c.emlx", "D.EMLX", "e.eml.bak", "f.emlxx", "g.txt",
                           "h.eml/inside.txt", "j.eml "}) {
    tree_.File(name);
  }
  dialogs_.AnswerFolder(Path() + QLatin1Char('/'));  // with a trailing separator
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");
  // The folder h.eml is no file; the name with a trailing space is kept as it is.
  EXPECT_EQ(Rows(), (QStringList{Path("A.EML"), Path("D.EMLX"), Path("b.Eml"), Path("c.emlx"),
                                 Path("j.eml ")}));
  EXPECT_EQ(dialogs_.calls().back().text, QStringLiteral("5 Email Messages Found."));
}

TEST_F(WindowTest, AddFolderWithNothingFoundDisablesConvert) {
  tree_.File("notes.txt");
  window_.AddFileToList(QStringLiteral("/m/earlier.eml"));
  Button("CmdExtractDBX")->setEnabled(true);
  dialogs_.AnswerFolder(Path());
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");
  EXPECT_EQ(dialogs_.calls().back().text, QStringLiteral("0 Email Messages Found."));
  EXPECT_EQ(Rows(), QStringList{QStringLiteral("/m/earlier.eml")});
  EXPECT_FALSE(Button("CmdExtractDBX")->isEnabled());
}

TEST_F(WindowTest, AddingAFolderTwiceListsItsFilesTwice) {
  tree_.File("a.eml");
  tree_.File("sub/b.eml");
  for (int i = 0; i < 2; ++i) {
    dialogs_.AnswerFolder(Path());
    dialogs_.ExpectMessage();
    Click("CmdAddFolder");
    EXPECT_EQ(dialogs_.calls().back().text, QStringLiteral("2 Email Messages Found."));
  }
  EXPECT_EQ(Rows(),
            (QStringList{Path("a.eml"), Path("sub/b.eml"), Path("a.eml"), Path("sub/b.eml")}));
  EXPECT_EQ(Count(), QStringLiteral("4 Email Messages"));
}

TEST_F(WindowTest, CancellingTheFolderBrowserChangesNothing) {
  Button("CmdExtractDBX")->setEnabled(true);
  dialogs_.AnswerFolder(QString());
  Click("CmdAddFolder");
  EXPECT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  EXPECT_EQ(Rows(), QStringList{QString()});
}

TEST_F(WindowTest, ARefusedFolderIsSkippedAndReportedOnceBeforeTheCount) {
  tree_.File("a.eml");
  tree_.File("B/locked.eml");
  tree_.File("B/deeper/hidden.eml");
  tree_.File("C/c.eml");
  tree_.File("D/d.eml");
  Refuse("B");
  Refuse("D");
  dialogs_.AnswerFolder(Path());
  dialogs_.ExpectMessage();
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");
  // Only B and D (and what lies below them) are missing; C after B is still there.
  EXPECT_EQ(Rows(), (QStringList{Path("a.eml"), Path("C/c.eml")}));
  const auto calls = dialogs_.TakeCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].text, QStringLiteral("Please Select Correct Store Folder."));
  EXPECT_EQ(calls[1].icon, MessageIcon::kInformation);
  EXPECT_EQ(calls[1].title, kTitle);
  EXPECT_EQ(calls[2].text, QStringLiteral("2 Email Messages Found."));
}

TEST_F(WindowTest, AddFolderEndsOnLinksBackUpAndKeepsOddNamesIntact) {
  tree_.File("a.eml");
  tree_.File("X/c.eml");
  const std::string odd = "X/caf\xE9.eml";  // not UTF-8
  tree_.File(odd);
  std::filesystem::create_directory_symlink(tree_.root(), tree_.root() / "X" / "up");
  dialogs_.AnswerFolder(Path());
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");
  ASSERT_EQ(window_.grdFiles1().Rows(), 3);
  EXPECT_EQ(Rows(), (QStringList{Path("a.eml"), Path("X/c.eml"), Path(odd)}));
  // The row's path leads back to the very file.
  EXPECT_EQ(window_.grdFiles1().RowPath(2), tree_.root() / odd);
  EXPECT_TRUE(std::filesystem::exists(window_.grdFiles1().RowPath(2)));
}

// Paths from the command line: a file as the add-files command puts it, a folder as the
// add-folder command does (message files only, breadth-first, refused folders skipped), a
// relative path from the working folder, and what is not there named in one box.
TEST_F(WindowTest, CommandLinePathsGoIntoTheListAsTheAddCommandsPutThem) {
  tree_.File("one.txt");
  tree_.File("F/a.eml");
  tree_.File("F/notes.txt");
  tree_.File("F/sub/b.emlx");
  tree_.File("F/locked/c.eml");
  tree_.File("G/caf\xE9.eml");  // not UTF-8
  Refuse("F/locked");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(tree_.root());
  dialogs_.ExpectMessage();
  window_.AddPaths(
      {(tree_.root() / "one.txt").native(), "F", (tree_.root() / "gone.eml").native(), "G/"});
  std::filesystem::current_path(before);
  EXPECT_EQ(Rows(), (QStringList{Path("one.txt"), Path("F/a.eml"), Path("F/sub/b.emlx"),
                                 Path("G/caf\xE9.eml")}));
  EXPECT_EQ(window_.grdFiles1().RowPath(3), tree_.root() / "G/caf\xE9.eml");
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  const auto calls = dialogs_.TakeCalls();
  ASSERT_EQ(calls.size(), 1u);  // no count box as the folder command shows
  EXPECT_TRUE(calls[0].text.contains(Path("gone.eml") + QStringLiteral(": ")))
      << calls[0].text.toStdString();
  EXPECT_TRUE(calls[0].text.contains(Path("F/locked"))) << calls[0].text.toStdString();
  EXPECT_EQ(calls[0].icon, MessageIcon::kExclamation);
}

// Clear.

TEST_F(WindowTest, ClearOnAnEmptyListAsksNothing) {
  Click("cmdClear1");
  EXPECT_TRUE(dialogs_.calls().empty());
}

TEST_F(WindowTest, ClearAsksAndEmptiesOnlyOnYes) {
  window_.AddFileToList(QStringLiteral("/m/a.eml"));
  window_.AddFileToList(QStringLiteral("/m/b.eml"));
  Button("CmdExtractDBX")->setEnabled(true);

  dialogs_.AnswerYesNo(false);
  Click("cmdClear1");
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_EQ(dialogs_.calls()[0].text,
            QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?"));
  EXPECT_EQ(dialogs_.calls()[0].title, kTitle);
  EXPECT_EQ(Rows(), (QStringList{"/m/a.eml", "/m/b.eml"}));
  EXPECT_EQ(Count(), QStringLiteral("2 Email Messages"));

  dialogs_.AnswerYesNo(true);
  Click("cmdClear1");
  EXPECT_EQ(Rows(), QStringList{QString()});
  EXPECT_EQ(Count(), QStringLiteral("0 files"));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());  // clearing leaves Convert alone
  EXPECT_EQ(Child<QTableView>("grdFiles1")->columnWidth(0), 667);

  Click("cmdClear1");  // empty again: no question
  EXPECT_EQ(dialogs_.calls().size(), 2u);
}

// Hold-off.

struct Seen {
  bool ran = false;
  bool add = true, folder = true, clear = true, convert = true, exit = false;
};

TEST_F(WindowTest, ListCommandsAreHeldOffWhileAFolderScanYields) {
  tree_.File("a.eml");
  tree_.File("X/b.eml");
  window_.AddFileToList(QStringLiteral("/m/earlier.eml"));
  Seen seen;
  dialogs_.AnswerFolder(Path(), [&] {
    QTimer::singleShot(0, &window_, [&] {  // runs at the scan's first yield
      seen = {true,
              Button("cmdAdd")->isEnabled(),
              Button("CmdAddFolder")->isEnabled(),
              Button("cmdClear1")->isEnabled(),
              Button("CmdExtractDBX")->isEnabled(),
              Button("cmdEnd")->isEnabled()};
      // Called directly, the handlers refuse: no question, no dialog (the script would fail).
      window_.cmdClear1_Click();
      window_.cmdAdd_Click();
      window_.CmdAddFolder_Click();
    });
  });
  dialogs_.ExpectMessage();
  Click("CmdAddFolder");

  ASSERT_TRUE(seen.ran);
  EXPECT_FALSE(seen.add);
  EXPECT_FALSE(seen.folder);
  EXPECT_FALSE(seen.clear);
  EXPECT_FALSE(seen.convert);
  EXPECT_TRUE(seen.exit);
  EXPECT_EQ(Rows(), (QStringList{"/m/earlier.eml", Path("a.eml"), Path("X/b.eml")}));
  for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1", "CmdExtractDBX"}) {
    EXPECT_TRUE(Button(name)->isEnabled()) << name;
  }
}

TEST_F(WindowTest, ListCommandsAreHeldOffWhileAddFilesYields) {
  Seen seen;
  dialogs_.AnswerOpen(
      QStringLiteral("/m") + kNul + QStringLiteral("a.eml") + kNul + QStringLiteral("b.eml"), [&] {
        QTimer::singleShot(0, &window_, [&] {
          seen.ran = true;
          seen.clear = Button("cmdClear1")->isEnabled();
          seen.folder = Button("CmdAddFolder")->isEnabled();
          window_.CmdAddFolder_Click();
        });
      });
  Click("cmdAdd");
  ASSERT_TRUE(seen.ran);
  EXPECT_FALSE(seen.clear);
  EXPECT_FALSE(seen.folder);
  EXPECT_EQ(Rows(), (QStringList{"/m/a.eml", "/m/b.eml"}));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  EXPECT_TRUE(Button("cmdClear1")->isEnabled());
}

TEST_F(WindowTest, ExitDuringAScanEndsItAtTheNextYield) {
  for (int i = 0; i < 20; ++i) tree_.File("f" + std::to_string(i) + ".eml");
  dialogs_.AnswerFolder(Path(), [&] { QTimer::singleShot(0, &window_, [&] { Click("cmdEnd"); }); });
  dialogs_.AnswerYesNo(true);
  Click("CmdAddFolder");  // returns without the count message (the script would fail)
  EXPECT_FALSE(window_.isVisible());
  EXPECT_LT(window_.grdFiles1().FileCount(), 20);
  EXPECT_FALSE(QGuiApplication::overrideCursor());
}

}  // namespace
}  // namespace larkfield::testing
