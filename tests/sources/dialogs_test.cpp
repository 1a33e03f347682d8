// The pieces of the Qt dialogs that can be checked without showing one: the filter in Qt's
// spelling, the open dialog's result text and its length limit, and the folder browser's
// failure rule.

#include "sources/dialogs.hpp"

#include <gtest/gtest.h>

#include "tests/sources/qt_print.hpp"

#include <stdexcept>

#include "sources/registry.hpp"
#include "tests/sources/scripted_dialogs.hpp"

namespace larkfield::sources {
namespace {

TEST(DialogsTest, FilterInQtSpelling) {
  EXPECT_EQ(QtFilterFrom(QStringLiteral("Email Messages (*.eml,*.emlx)|*.eml;*.emlx")),
            QStringLiteral("Email Messages (*.eml *.emlx)"));
  EXPECT_EQ(QtFilterFrom(QStringLiteral("Text|*.txt|All files (*.*)|*.*")),
            QStringLiteral("Text (*.txt);;All files (*.*)"));
}

TEST(DialogsTest, OpenResultHasTheFolderThenTheNames) {
  EXPECT_EQ(ComposeOpenResult({}, 1000), QString());
  EXPECT_EQ(ComposeOpenResult({QStringLiteral("/mail/a.eml")}, 1000),
            QStringLiteral("/mail/a.eml"));
  const QChar nul(0);
  EXPECT_EQ(
      ComposeOpenResult({QStringLiteral("/mail/a.eml"), QStringLiteral("/mail/b.emlx")}, 1000),
      QStringLiteral("/mail") + nul + QStringLiteral("a.eml") + nul + QStringLiteral("b.emlx"));
  // In the root the folder part is the root itself, with its one separator.
  EXPECT_EQ(ComposeOpenResult({QStringLiteral("/a.eml"), QStringLiteral("/b.eml")}, 1000),
            QStringLiteral("/") + nul + QStringLiteral("a.eml") + nul + QStringLiteral("b.eml"));
}

TEST(DialogsTest, ASelectionLongerThanTheLimitSaysHowManyFit) {
  // Folder "/m" (2) + 10 names of "nnnn.eml" (8 + 1 NUL each) = 92 characters.
  QStringList files;
  for (int i = 0; i < 10; ++i) files.append(QStringLiteral("/m/%1.eml").arg(1000 + i));
  EXPECT_NO_THROW(ComposeOpenResult(files, 92));
  try {
    ComposeOpenResult(files, 91);
    FAIL() << "a result one character too long went through";
  } catch (const SelectionTooLong& e) {
    EXPECT_EQ(e.number(), 20476);
    EXPECT_EQ(e.files_that_fit(), 9);
  }
  try {
    ComposeOpenResult({QStringLiteral("/a/very/long/name.eml")}, 10);
    FAIL() << "a single path longer than the limit went through";
  } catch (const SelectionTooLong& e) {
    EXPECT_EQ(e.files_that_fit(), 0);
  }
}

TEST(DialogsTest, BrowseForFolderPassesThePathOnAndTurnsFailuresIntoNothing) {
  testing::ScriptedDialogs dialogs;
  dialogs.AnswerFolder(QStringLiteral("/mail"));
  dialogs.AnswerFolder(QStringLiteral("/"));
  EXPECT_EQ(BrowseForFolder(dialogs, nullptr, QStringLiteral("Pick")), QStringLiteral("/mail"));
  EXPECT_EQ(BrowseForFolder(dialogs, nullptr, QStringLiteral("Pick")), QStringLiteral("/"));
  ASSERT_EQ(dialogs.calls().size(), 2u);
  EXPECT_EQ(dialogs.calls()[0].text, QStringLiteral("Pick"));

  class Failing final : public Dialogs {
   public:
    void Message(QWidget*, const QString&, const QString&, MessageIcon) override {}
    bool AskYesNo(QWidget*, const QString&, const QString&) override { return false; }
    QString BrowseForFolder(QWidget*, const QString&) override {
      throw std::runtime_error("no shell");
    }
    QString ShowOpen(QWidget*, const OpenFilesRequest&) override { return {}; }
  } failing;
  EXPECT_EQ(BrowseForFolder(failing, nullptr, QStringLiteral("Pick")), QString());
}

}  // namespace
}  // namespace larkfield::sources
