// The selected-files list: its states, its count label and its column width; and the
// gate and pump that keep the list commands apart.

#include "sources/file_list.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include "tests/sources/qt_print.hpp"

#include <memory>

#include "sources/event_pump.hpp"

namespace larkfield::sources {
namespace {

class FileListTest : public ::testing::Test {
 protected:
  FileListTest() : label_(&window_), list_(&label_, &window_) {
    label_.setText(QStringLiteral("0 files"));
    list_.setColumnWidth(0, 3333);
  }
  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < list_.Rows(); ++i) rows.append(list_.RowText(i));
    return rows;
  }
  QWidget window_;
  QLabel label_;
  FileList list_;
};

TEST_F(FileListTest, EmptyIsOneEmptyRow) {
  EXPECT_TRUE(list_.IsEmpty());
  EXPECT_EQ(list_.Rows(), 1);
  EXPECT_EQ(list_.model()->rowCount(), 1);
  EXPECT_EQ(list_.model()->columnCount(), 1);
  EXPECT_EQ(list_.FileCount(), 0);
  EXPECT_EQ(list_.RowText(0), QString());
  EXPECT_TRUE(list_.horizontalHeader()->isHidden());
  EXPECT_TRUE(list_.verticalHeader()->isHidden());
}

TEST_F(FileListTest, AddingFillsRowZeroFirstThenAppendsInOrderWithDuplicates) {
  list_.AddFileToList(QStringLiteral("/m/a.eml"));
  EXPECT_FALSE(list_.IsEmpty());
  EXPECT_EQ(list_.Rows(), 1);
  EXPECT_EQ(list_.columnWidth(0), 667);
  EXPECT_EQ(label_.text(), QStringLiteral("1 Email Messages"));

  list_.AddFileToList(QStringLiteral("/m/b.eml"));
  list_.AddFileToList(QStringLiteral("/m/a.eml"));
  list_.AddFileToList(QStringLiteral(" /m/Spaced .EML "));  // kept exactly as given
  EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/m/a.eml"), QStringLiteral("/m/b.eml"),
                                 QStringLiteral("/m/a.eml"), QStringLiteral(" /m/Spaced .EML ")}));
  EXPECT_EQ(list_.FileCount(), 4);
  EXPECT_EQ(label_.text(), QStringLiteral("4 Email Messages"));
  EXPECT_EQ(list_.model()->data(list_.model()->index(3, 0)).toString(),
            QStringLiteral(" /m/Spaced .EML "));
}

TEST_F(FileListTest, ResetLeavesOneEmptyRowAndKeepsTheWidth) {
  list_.ResetFileList();  // on an empty list: nothing changes
  EXPECT_TRUE(list_.IsEmpty());
  EXPECT_EQ(list_.columnWidth(0), 3333);
  EXPECT_EQ(label_.text(), QStringLiteral("0 files"));

  for (int i = 0; i < 3; ++i) list_.AddFileToList(QStringLiteral("/m/%1.eml").arg(i));
  list_.setColumnWidth(0, 500);  // the user dragged it
  list_.ResetFileList();
  EXPECT_TRUE(list_.IsEmpty());
  EXPECT_EQ(list_.Rows(), 1);
  EXPECT_EQ(list_.model()->rowCount(), 1);
  EXPECT_EQ(list_.columnWidth(0), 500);
  EXPECT_EQ(label_.text(), QStringLiteral("0 files"));

  // The next file goes into row 0; no empty row stays above it.
  list_.AddFileToList(QStringLiteral("/m/next.eml"));
  EXPECT_EQ(Rows(), QStringList{QStringLiteral("/m/next.eml")});
  EXPECT_EQ(label_.text(), QStringLiteral("1 Email Messages"));
}

TEST_F(FileListTest, RowPathGivesBackTheBytesOfANameThatIsNotUtf8) {
  list_.AddFileToList(QStringLiteral(u"/m/caf\xDCE9.eml"));
  EXPECT_EQ(list_.RowPath(0).native(), std::string("/m/caf\xE9.eml"));
}

TEST(CommandGateTest, HoldsTheButtonsOffAndRestoresWhatWasAskedFor) {
  QWidget window;
  QPushButton add(&window);
  QPushButton convert(&window);
  QPushButton exit(&window);
  convert.setEnabled(false);
  CommandGate gate({&add, &convert});
  {
    auto hold = gate.TryHold();
    ASSERT_TRUE(hold);
    EXPECT_TRUE(gate.Busy());
    EXPECT_FALSE(add.isEnabled());
    EXPECT_FALSE(convert.isEnabled());
    EXPECT_FALSE(gate.TryHold());  // a second command is refused
    gate.SetEnabled(&convert, true);
    EXPECT_FALSE(convert.isEnabled());  // shown only when the command ends
    EXPECT_TRUE(gate.Enabled(&convert));
    gate.SetEnabled(&exit, false);  // not held: set at once
    EXPECT_FALSE(exit.isEnabled());
  }
  EXPECT_FALSE(gate.Busy());
  EXPECT_TRUE(add.isEnabled());
  EXPECT_TRUE(convert.isEnabled());
  gate.SetEnabled(&convert, false);
  EXPECT_FALSE(convert.isEnabled());
}

TEST(EventPumpTest, YieldsAtMostOncePerIntervalAndStopsWhenTold) {
  struct Counter : QObject {
    int events = 0;
    bool event(QEvent* e) override {
      if (e->type() == QEvent::User) {
        ++events;
        return true;
      }
      return QObject::event(e);
    }
  } counter;
  EventPump pump(std::chrono::hours(1));
  QCoreApplication::postEvent(&counter, std::make_unique<QEvent>(QEvent::User).release());
  pump.Yield();  // the first yield always processes events
  EXPECT_EQ(counter.events, 1);
  QCoreApplication::postEvent(&counter, std::make_unique<QEvent>(QEvent::User).release());
  pump.Yield();  // within the interval: nothing processed
  EXPECT_EQ(counter.events, 1);
  pump.SetInterval(std::chrono::milliseconds(0));
  pump.Yield();
  EXPECT_EQ(counter.events, 2);

  pump.Stop();
  EXPECT_TRUE(pump.Stopped());
  EXPECT_THROW(pump.Yield(), Cancelled);
}

}  // namespace
}  // namespace larkfield::sources
