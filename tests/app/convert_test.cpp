// "Convert" through the window: the checks before anything is made, the destination
// dialog, the status lines and the progress bar, the message boxes, the hold on the list
// commands, and the end of a run when the window closes. The store is the one in memory
// of tests/convert; the end-to-end run with the real writer is in convert_e2e_test.cpp.

#include <gtest/gtest.h>

#include <QLabel>
#include <QPaintEvent>
#include <QProgressBar>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "tests/app/window_fixture.hpp"
#include "tests/convert/fakes.hpp"

namespace larkfield::testing {
namespace {

using Kind = ScriptedDialogs::Kind;
using sources::MessageIcon;

const QString kTitle = QStringLiteral("Larkfield Mail Porter");

// Calls `seen` with every paint event `widget` receives.
class PaintWatch final : public QObject {
 public:
  PaintWatch(QWidget* widget, std::function<void(const QPaintEvent&)> seen)
      : widget_(widget), seen_(std::move(seen)) {
    widget_->installEventFilter(this);
  }
  ~PaintWatch() override { widget_->removeEventFilter(this); }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (o == widget_ && e->type() == QEvent::Paint) seen_(*static_cast<QPaintEvent*>(e));
    return false;
  }

 private:
  QWidget* widget_;
  std::function<void(const QPaintEvent&)> seen_;
};

class ConvertTest : public WindowTest {
 protected:
  ConvertTest() {
    out_ = tree_.Folder("out");
    app::ConversionServices& s = window_.conversion();
    s.backend = FakeFactory(&stores_);
    s.time_stamp = [] { return std::u16string(u"6.12.26 7.5.03"); };
    // The importer notes what the window showed when each message was started.
    s.importer = [this, inner = FakeImporter()](const std::filesystem::path& p,
                                                const mime::ImportOptions& o) {
      seen_.push_back(Child<QLabel>("LblCurrentDBX")->text());
      if (during_import_) during_import_();
      return inner(p, o);
    };
    connect_ = QObject::connect(Child<QProgressBar>("ProgressBar1"), &QProgressBar::valueChanged,
                                [this](int v) { progress_.push_back(v); });
  }
  ~ConvertTest() override { QObject::disconnect(connect_); }

  void AddRow(const std::filesystem::path& p) {
    window_.AddFileToList(sources::TextFromNative(p.native()));
    window_.gate().SetEnabled(window_.CmdExtractDBX(), true);
  }
  std::filesystem::path Msg(const std::string& rel, const std::string& subject) {
    return tree_.File("src/" + rel, "Subject: " + subject + "\n");
  }
  QString OutText() const { return sources::TextFromNative(out_.native()); }
  std::vector<std::filesystem::path> OutFiles() const {
    std::vector<std::filesystem::path> v;
    for (const auto& e : std::filesystem::directory_iterator(out_))
      v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
  }

  std::filesystem::path out_;
  std::vector<std::shared_ptr<FakeStoreData>> stores_;
  QStringList seen_;
  std::vector<int> progress_;
  std::function<void()> during_import_;
  QMetaObject::Connection connect_;
};

TEST_F(ConvertTest, AnEmptyListIsReportedAndNothingIsMade) {
  dialogs_.ExpectMessage();
  window_.CmdExtractDBX_Click();
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_EQ(dialogs_.calls()[0].kind, Kind::kMessage);  // no folder dialog
  EXPECT_EQ(dialogs_.calls()[0].icon, MessageIcon::kInformation);
  EXPECT_TRUE(dialogs_.calls()[0].text.contains(QStringLiteral("empty")));
  EXPECT_TRUE(stores_.empty());
}

TEST_F(ConvertTest, RowsWithoutAFolderAreNamedBeforeAnythingIsMade) {
  AddRow(Msg("Inbox/a.eml", "a"));
  AddRow("/root.eml");
  dialogs_.ExpectMessage();
  Click("CmdExtractDBX");
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_TRUE(dialogs_.calls()[0].text.contains(QStringLiteral("/root.eml")));
  EXPECT_EQ(dialogs_.calls()[0].icon, MessageIcon::kExclamation);
  EXPECT_TRUE(stores_.empty());
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
}

TEST_F(ConvertTest, CancellingTheDestinationChangesNothing) {
  AddRow(Msg("Inbox/a.eml", "a"));
  dialogs_.AnswerFolder(QString());
  Click("CmdExtractDBX");
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_EQ(dialogs_.calls()[0].text, QStringLiteral("Choose Folder to Save..."));
  EXPECT_TRUE(stores_.empty());
  EXPECT_EQ(Child<QLabel>("LblCurrentDBX")->text(), QStringLiteral("Converting Messages..."));
  EXPECT_EQ(Child<QLabel>("LblProgessCurrent")->text(),
            QStringLiteral("Messages not initialized yet..."));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
}

TEST_F(ConvertTest, ThreeMessagesShowTheirPhasesAndProgress) {
  const auto a = Msg("Mail/Inbox/a.eml", "a");
  const auto b = Msg("Mail/Sent/b.eml", "b");
  const auto c = Msg("Mail/Inbox/c.emlx", "c");
  for (const auto& p : {a, b, c}) AddRow(p);
  bool convert_disabled = false, add_disabled = false;
  during_import_ = [&] {
    convert_disabled = !Button("CmdExtractDBX")->isEnabled();
    add_disabled = !Button("cmdAdd")->isEnabled();
  };
  dialogs_.AnswerFolder(OutText());
  Click("CmdExtractDBX");
  EXPECT_TRUE(dialogs_.calls().size() == 1u) << "no box after a run without failures";
  EXPECT_EQ(OutFiles(), (std::vector<std::filesystem::path>{"Larkfield6.12.26 7.5.03.log",
                                                            "Larkfield6.12.26 7.5.03.pst"}));
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_EQ(stores_[0]->options.display_name, u"Larkfield : Created - 6.12.26 7.5.03");
  EXPECT_TRUE(stores_[0]->closed);
  EXPECT_EQ(stores_[0]->messages.size(), 3u);
  EXPECT_TRUE(convert_disabled);
  EXPECT_TRUE(add_disabled);  // the list commands wait for the run
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
  EXPECT_TRUE(Button("cmdAdd")->isEnabled());

  EXPECT_EQ(progress_, (std::vector<int>{33, 67, 100}));
  const std::string base = (tree_.root() / "src").string().substr(1);
  QString folder =
      QString::fromStdString(base + "/Mail/Inbox").replace(QLatin1Char('/'), QLatin1Char('\\'));
  ASSERT_EQ(seen_.size(), 3u);
  EXPECT_TRUE(seen_[0].startsWith(QStringLiteral("Creating Outlook Folders... (")))
      << seen_[0].toStdString();
  EXPECT_EQ(
      seen_[2],
      QStringLiteral("Converting Messages... from (") +
          QString::fromStdString(base + "/Mail/Sent").replace(QLatin1Char('/'), QLatin1Char('\\')) +
          QStringLiteral(")"));
  EXPECT_EQ(Child<QLabel>("LblCurrentDBX")->text(),
            QStringLiteral("Converting Messages... from (") + folder + QStringLiteral(")"));
  EXPECT_EQ(Child<QLabel>("LblProgessCurrent")->text(), sources::TextFromNative(c.native()));
}

TEST_F(ConvertTest, FailedRowsAreCountedInOneBoxAndTheLog) {
  AddRow(Msg("Inbox/a.eml", "a"));
  const auto gone = Msg("Inbox/gone.eml", "gone");
  AddRow(gone);
  AddRow(tree_.File("src/Inbox/bad.eml", "GARBAGE"));
  std::filesystem::remove(gone);  // deleted after it was listed
  dialogs_.AnswerFolder(OutText());
  dialogs_.ExpectMessage();
  Click("CmdExtractDBX");
  ASSERT_EQ(dialogs_.calls().size(), 2u);
  const auto& box = dialogs_.calls()[1];
  EXPECT_EQ(box.title, kTitle);
  EXPECT_EQ(box.icon, MessageIcon::kExclamation);
  EXPECT_TRUE(box.text.startsWith(QStringLiteral("1 messages were converted, 2 failed:\r\n")))
      << box.text.toStdString();
  EXPECT_TRUE(box.text.contains(QStringLiteral("gone.eml")));
  EXPECT_TRUE(box.text.contains(QStringLiteral("Larkfield6.12.26 7.5.03.log")));
  EXPECT_EQ(OutFiles(), (std::vector<std::filesystem::path>{"Larkfield6.12.26 7.5.03.log",
                                                            "Larkfield6.12.26 7.5.03.pst"}));
  EXPECT_EQ(stores_[0]->messages.size(), 2u);  // the good one and the stand-in
  EXPECT_EQ(progress_.back(), 100);
}

// The box keeps its wording and adds the system's reason: a missing folder, and a read-only
// one (the test suite may run as root, whom the file system lets write anywhere, so the
// store factory refuses a folder without write permission as the system refuses others).
TEST_F(ConvertTest, AStoreThatCannotBeMadeShowsTheOutlookErrorAndTheReason) {
  AddRow(Msg("Inbox/a.eml", "a"));
  const std::filesystem::path read_only = tree_.Folder("read-only");
  std::filesystem::permissions(read_only, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  window_.conversion().backend = [f = FakeFactory(&stores_)](const std::filesystem::path& p,
                                                             const pst::StoreOptions& o) {
    const auto perms = std::filesystem::status(p.parent_path()).permissions();
    if ((perms & std::filesystem::perms::owner_write) == std::filesystem::perms::none) {
      throw pst::Error(pst::Error::Code::kIo,
                       "creating " + p.string() + ": " + std::strerror(EACCES));
    }
    return f(p, o);
  };
  const struct {
    std::filesystem::path folder;
    const char* reason;
  } cases[] = {{tree_.root() / "missing", "No such file or directory"},
               {read_only, "Permission denied"}};
  for (const auto& c : cases) {
    dialogs_.AnswerFolder(sources::TextFromNative(c.folder.native()));
    dialogs_.ExpectMessage();
    Click("CmdExtractDBX");
  }
  std::filesystem::permissions(read_only, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  ASSERT_EQ(dialogs_.calls().size(), 4u);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& box = dialogs_.calls()[2 * i + 1];
    const auto& c = cases[i];
    EXPECT_EQ(box.title, QStringLiteral("Outlook Error"));
    EXPECT_EQ(box.icon, MessageIcon::kInformation);
    const QString kept = QStringLiteral(
                             "Outlook Session Creation Error !\r\n"
                             "Check if Outlook is installed and configured.\r\n"
                             "For more details visit this link : ") +
                         QString::fromLatin1(app::kSessionHelpAddress) + QStringLiteral("\r\n\r\n");
    EXPECT_TRUE(box.text.startsWith(kept)) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains(sources::TextFromNative(c.folder.native())))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.endsWith(QString::fromLatin1(c.reason))) << box.text.toStdString();
  }
  EXPECT_TRUE(stores_.empty());
  EXPECT_TRUE(std::filesystem::is_empty(read_only));
  EXPECT_TRUE(Button("CmdExtractDBX")->isEnabled());
}

TEST_F(ConvertTest, AStoreThatFillsUpStopsWithAnErrorBox) {
  for (int i = 0; i < 4; ++i) AddRow(Msg("Inbox/m" + std::to_string(i) + ".eml", "m"));
  window_.conversion().backend = [this, f = FakeFactory(&stores_)](const std::filesystem::path& p,
                                                                   const pst::StoreOptions& o) {
    auto b = f(p, o);
    stores_.back()->fail_message_after = 1;
    return b;
  };
  dialogs_.AnswerFolder(OutText());
  dialogs_.ExpectMessage();
  Click("CmdExtractDBX");
  ASSERT_EQ(dialogs_.calls().size(), 2u);
  const QString& text = dialogs_.calls()[1].text;
  EXPECT_TRUE(text.startsWith(QStringLiteral("The conversion stopped at message 2 of 4:")))
      << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("File too large")));
  EXPECT_TRUE(stores_[0]->closed);
  std::ifstream log(out_ / "Larkfield6.12.26 7.5.03.log");
  std::string log_text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(log_text.find("stopped"), std::string::npos);
}

TEST_F(ConvertTest, ClosingTheWindowEndsTheRunWithTheStoreCommitted) {
  for (int i = 0; i < 5; ++i) AddRow(Msg("Inbox/m" + std::to_string(i) + ".eml", "m"));
  during_import_ = [this] {
    if (stores_[0]->messages.size() == 2) window_.close();
  };
  dialogs_.AnswerFolder(OutText());
  Click("CmdExtractDBX");
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_TRUE(stores_[0]->closed);
  // The message being imported when the window closed is finished; nothing after it.
  EXPECT_EQ(stores_[0]->messages.size(), 3u);
  std::ifstream log(out_ / "Larkfield6.12.26 7.5.03.log");
  std::string log_text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(log_text.find("stopped"), std::string::npos);
}

// Every step of the bar reaches the screen whole: the bar is painted over its full area at
// each value it takes, and never as a strip left over from a neighbour's repaint (when the
// status line above overlapped its top row, each of the line's repaints painted that row of
// the bar and the bar took the new value as shown, so it stayed white but for one line).
TEST_F(ConvertTest, TheBarIsPaintedWholeAtEveryValueOfARun) {
  constexpr int kRows = 400;
  for (int i = 0; i < kRows; ++i) AddRow(Msg("Inbox/m" + std::to_string(i) + ".eml", "m"));
  auto* bar = Child<QProgressBar>("ProgressBar1");
  struct Painted {
    int value;
    bool whole;
  };
  std::vector<Painted> paints;
  PaintWatch watch(bar, [&](const QPaintEvent& e) {
    paints.push_back({bar->value(), e.region().contains(bar->rect())});
  });
  dialogs_.AnswerFolder(OutText());
  Click("CmdExtractDBX");
  QCoreApplication::processEvents();
  ASSERT_EQ(progress_.size(), 100u);
  std::set<int> whole;
  for (const Painted& p : paints) {
    EXPECT_TRUE(p.whole) << "the bar was painted in part at " << p.value;
    if (p.whole) whole.insert(p.value);
  }
  for (int v : progress_) EXPECT_TRUE(whole.count(v)) << "the bar never showed " << v;
}

// A long run keeps the window alive: timers fire and the window repaints while it works,
// and the yields are spaced in time rather than made per message.
TEST_F(ConvertTest, ALongRunKeepsTheWindowResponsive) {
  window_.pump().SetInterval(std::chrono::milliseconds(10));  // as the program runs
  constexpr int kRows = 20000;
  for (int i = 0; i < kRows; ++i) {
    window_.AddFileToList(sources::TextFromNative(
        (tree_.root() / "src" / ("F" + std::to_string(i % 50)) / (std::to_string(i) + ".eml"))
            .native()));
  }
  window_.gate().SetEnabled(window_.CmdExtractDBX(), true);
  int imports = 0;
  window_.conversion().importer = [&imports](const std::filesystem::path&,
                                             const mime::ImportOptions&) {
    ++imports;
    mime::ImportResult r;
    r.message.properties.push_back({0x0037001F, std::u16string(u"m")});
    return r;
  };
  int ticks = 0;
  int ticks_at_half = -1;
  QTimer timer;
  timer.setInterval(0);  // fires once in every round of event processing
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    if (imports >= kRows / 2 && ticks_at_half < 0) ticks_at_half = ticks;
  });
  timer.start();
  dialogs_.AnswerFolder(OutText());
  const auto t0 = std::chrono::steady_clock::now();
  Click("CmdExtractDBX");
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  timer.stop();
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_EQ(stores_[0]->messages.size(), static_cast<std::size_t>(kRows));
  EXPECT_GT(ticks_at_half, 0) << "no timer ran during the first half of the run";
  // With events processed at most every 10 ms, there are far fewer rounds than messages.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  EXPECT_LT(ticks, kRows / 4) << "events were processed for every message (" << ms << " ms)";
  EXPECT_EQ(progress_.back(), 100);
}

}  // namespace
}  // namespace larkfield::testing
