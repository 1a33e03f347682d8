// The main window at start, its Exit question and its close box.

#include <gtest/gtest.h>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTableView>
#include <QTranslator>
#include <QXmlStreamReader>
#include <set>
#include <utility>

#include "tests/app/window_fixture.hpp"

namespace larkfield::testing {
namespace {

using Kind = ScriptedDialogs::Kind;

TEST_F(WindowTest, StartsWithTheDesignedControlsAndStates) {
  EXPECT_EQ(window_.objectName(), QStringLiteral("frmStep1"));
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("Larkfield Mail Porter"));
  EXPECT_EQ(window_.size(), QSize(764, 546));
  EXPECT_EQ(window_.minimumSize(), window_.maximumSize());  // cannot be resized
  EXPECT_TRUE(window_.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window_.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(window_.windowIcon().isNull());
  const QRect screen = window_.screen()->availableGeometry();
  // Centred on the screen, up to the width of the frame around it.
  EXPECT_LE((window_.frameGeometry().center() - screen.center()).manhattanLength(), 4);

  struct Control {
    const char* name;
    const char* parent;
    QRect where;
    const char* caption;  // null for controls without one
  };
  const Control controls[] = {
      {"Picture3", "frmStep1", {-8, 512, 761, 33}, nullptr},
      {"CmdHelp", "Picture3", {24, 0, 113, 25}, "&Help Manual"},
      {"cmdEnd", "Picture3", {664, 0, 89, 25}, "E&xit"},
      {"CmdExtractDBX", "frmStep1", {304, 464, 161, 29}, "Convert"},
      {"CmdAddFolder", "frmStep1", {176, 152, 233, 25}, "Add Folder having EML File(s)..."},
      {"cmdClear1", "frmStep1", {632, 152, 113, 25}, "Clear File(s)..."},
      {"cmdAdd", "frmStep1", {16, 152, 145, 25}, "Add EML File(s)..."},
      {"grdFiles1", "frmStep1", {16, 208, 729, 145}, nullptr},
      {"ProgressBar1", "frmStep1", {128, 432, 617, 17}, nullptr},
      {"Image1", "frmStep1", {0, 0, 767, 142}, nullptr},
      {"LblProgessCurrent", "frmStep1", {16, 400, 729, 32}, "Messages not initialized yet..."},
      {"LblCurrentDBX", "frmStep1", {16, 360, 729, 40}, "Converting Messages..."},
      {"Label1", "frmStep1", {16, 432, 112, 17}, "Conversion Progress : "},
      {"Shape1", "frmStep1", {-16, 504, 785, 57}, nullptr},
      {"lblCount1", "frmStep1", {24, 192, 721, 17}, "0 files"},
  };
  for (const Control& c : controls) {
    QWidget* w = Child(c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(c.parent)) << c.name;
    EXPECT_EQ(w->geometry(), c.where) << c.name;
    if (!c.caption) continue;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      EXPECT_EQ(b->text(), QString::fromLatin1(c.caption)) << c.name;
    } else {
      EXPECT_EQ(qobject_cast<QLabel*>(w)->text(), QString::fromLatin1(c.caption)) << c.name;
    }
  }

  // The status lines, the caption and the bar do not overlap by a pixel: a label that
  // reaches into the bar repaints that part of it whenever its text changes.
  const char* const status[] = {"LblCurrentDBX", "LblProgessCurrent", "Label1", "ProgressBar1"};
  for (std::size_t i = 0; i < std::size(status); ++i) {
    for (std::size_t j = i + 1; j < std::size(status); ++j) {
      EXPECT_FALSE(Child(status[i])->geometry().intersects(Child(status[j])->geometry()))
          << status[i] << " overlaps " << status[j];
    }
  }

  EXPECT_FALSE(Button("CmdExtractDBX")->isEnabled());
  EXPECT_TRUE(Button("CmdHelp")->isHidden());
  for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1", "cmdEnd"}) {
    EXPECT_TRUE(Button(name)->isEnabled()) << name;
    EXPECT_TRUE(Button(name)->isVisible()) << name;
    EXPECT_FALSE(Button(name)->isDefault()) << name;
  }
  EXPECT_EQ(Rows(), QStringList{QString()});
  EXPECT_EQ(Child<QTableView>("grdFiles1")->columnWidth(0), 3333);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->minimum(), 0);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->maximum(), 100);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 0);
  EXPECT_EQ(Child<QLabel>("LblCurrentDBX")->palette().color(QPalette::WindowText),
            QColor(0, 0, 192));
  EXPECT_EQ(Child<QLabel>("LblProgessCurrent")->palette().color(QPalette::WindowText),
            QColor(Qt::black));
  EXPECT_FALSE(Child<QLabel>("Image1")->pixmap().isNull());
  EXPECT_EQ(Child<QLabel>("Image1")->pixmap().size(), QSize(767, 142));
  // The bottom band is white; the bar on it too.
  EXPECT_EQ(Child("Shape1")->palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_EQ(Child("Picture3")->palette().color(QPalette::Window), QColor(Qt::white));
  // Grid cells and selection share one colour; outside the cells it is white.
  auto* grid = Child<QTableView>("grdFiles1");
  EXPECT_EQ(grid->model()->data(grid->model()->index(0, 0), Qt::BackgroundRole).value<QColor>(),
            QColor(128, 128, 255));
  EXPECT_EQ(grid->palette().color(QPalette::Highlight), QColor(128, 128, 255));
  EXPECT_EQ(grid->palette().color(QPalette::Base), QColor(Qt::white));
  EXPECT_TRUE(dialogs_.calls().empty());
}

TEST_F(WindowTest, TabVisitsTheEnabledVisibleControlsInTheirOrder) {
  window_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  Button("cmdAdd")->setFocus();
  QStringList visited;
  for (int i = 0; i < 6; ++i) {
    visited.append(QApplication::focusWidget()->objectName());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  // Convert is disabled and Help hidden; labels, the bar and the progress bar take no focus.
  EXPECT_EQ(visited,
            (QStringList{"cmdAdd", "cmdClear1", "CmdAddFolder", "grdFiles1", "cmdEnd", "cmdAdd"}));
  Button("CmdExtractDBX")->setEnabled(true);
  Child("grdFiles1")->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), Child("grdFiles1"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), QStringLiteral("CmdExtractDBX"));
}

TEST_F(WindowTest, ExitAsksAndOnlyYesEnds) {
  window_.AddFileToList(QStringLiteral("/m/a.eml"));
  window_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));

  dialogs_.AnswerYesNo(false);
  // The access key of "E&xit", sent the way the platform sends keys.
  QTest::keyClick(window_.windowHandle(), Qt::Key_X, Qt::AltModifier);
  // A button pressed by its access key shows the press a moment before it clicks.
  for (int i = 0; i < 200 && dialogs_.calls().empty(); ++i) QTest::qWait(10);
  ASSERT_EQ(dialogs_.calls().size(), 1u);
  EXPECT_EQ(dialogs_.calls()[0].kind, Kind::kAskYesNo);
  EXPECT_EQ(dialogs_.calls()[0].text, QStringLiteral("Are you sure you want to exit now?"));
  EXPECT_EQ(dialogs_.calls()[0].title, QStringLiteral("Larkfield Mail Porter"));
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(Rows(), QStringList{QStringLiteral("/m/a.eml")});
  EXPECT_FALSE(window_.pump().Stopped());

  dialogs_.AnswerYesNo(true);
  Click("cmdEnd");
  EXPECT_FALSE(window_.isVisible());
  EXPECT_TRUE(window_.pump().Stopped());
}

TEST_F(WindowTest, TheCloseBoxEndsWithoutAQuestion) {
  window_.close();
  EXPECT_FALSE(window_.isVisible());
  EXPECT_TRUE(window_.pump().Stopped());
  EXPECT_TRUE(dialogs_.calls().empty());
}

// Translates exactly the texts of the translation template, each into "[[text]]": a text
// the window shows that is missing from the template, or is looked up under another
// context than the template gives it, stays as it is.
class TemplateTranslator final : public QTranslator {
 public:
  explicit TemplateTranslator(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    QXmlStreamReader xml(&file);
    QString context;
    while (!xml.atEnd()) {
      if (xml.readNext() != QXmlStreamReader::StartElement) continue;
      if (xml.name() == QStringLiteral("name")) context = xml.readElementText();
      if (xml.name() == QStringLiteral("source")) known_.emplace(context, Source(xml));
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  }
  // A <source>'s text; lupdate writes control characters as <byte value="xd"/>.
  static QString Source(QXmlStreamReader& xml) {
    QString text;
    while (xml.readNext() != QXmlStreamReader::EndElement ||
           xml.name() != QStringLiteral("source")) {
      if (xml.atEnd()) break;
      if (xml.isCharacters()) text += xml.text();
      if (xml.isStartElement() && xml.name() == QStringLiteral("byte")) {
        text += QChar(xml.attributes().value(QStringLiteral("value")).mid(1).toUInt(nullptr, 16));
      }
    }
    return text;
  }
  bool isEmpty() const override { return known_.empty(); }
  QString translate(const char* context, const char* source, const char* = nullptr,
                    int = -1) const override {
    if (!known_.count({QString::fromUtf8(context), QString::fromUtf8(source)})) return {};
    return QStringLiteral("[[") + QString::fromUtf8(source) + QStringLiteral("]]");
  }
  std::size_t size() const { return known_.size(); }

 private:
  std::set<std::pair<QString, QString>> known_;
};

#ifdef LARKFIELD_TRANSLATION_TEMPLATE
struct InstalledTranslator {
  InstalledTranslator() : translator(QStringLiteral(LARKFIELD_TRANSLATION_TEMPLATE)) {
    QCoreApplication::installTranslator(&translator);
  }
  ~InstalledTranslator() { QCoreApplication::removeTranslator(&translator); }
  TemplateTranslator translator;
};
#else
struct InstalledTranslator {};
#endif

// The window made after the template's pseudo-translation was installed.
class TranslatedWindowTest : public InstalledTranslator, public WindowTest {};

bool Translated(const QString& text) {
  return text.startsWith(QStringLiteral("[[")) && text.contains(QStringLiteral("]]"));
}

TEST_F(TranslatedWindowTest, EveryTextTheWindowShowsIsInTheTranslationTemplate) {
#ifndef LARKFIELD_TRANSLATION_TEMPLATE
  GTEST_SKIP() << "skipped: no translation template (Qt's Linguist tools were not found)";
#else
  EXPECT_GT(translator.size(), 25u);
  EXPECT_TRUE(Translated(window_.windowTitle())) << window_.windowTitle().toStdString();
  for (const QLabel* label : window_.findChildren<QLabel*>()) {
    if (label->text().isEmpty()) continue;  // the banner
    EXPECT_TRUE(Translated(label->text())) << label->text().toStdString();
  }
  for (const QAbstractButton* button : window_.findChildren<QAbstractButton*>()) {
    if (button->text().isEmpty()) continue;  // the grid's corner
    EXPECT_TRUE(Translated(button->text())) << button->text().toStdString();
  }
  window_.AddFileToList(QStringLiteral("/m/a.eml"));
  EXPECT_TRUE(Translated(Count())) << Count().toStdString();
  // Questions and boxes, with their titles.
  dialogs_.AnswerYesNo(false);
  Click("cmdEnd");
  dialogs_.AnswerYesNo(false);
  Click("cmdClear1");
  dialogs_.AnswerFolder(QString());
  Click("CmdAddFolder");
  ASSERT_EQ(dialogs_.calls().size(), 3u);
  for (const auto& call : dialogs_.calls()) {
    EXPECT_TRUE(Translated(call.text)) << call.text.toStdString();
    if (call.kind != Kind::kBrowse) {
      EXPECT_TRUE(Translated(call.title)) << call.title.toStdString();
    }
  }
#endif
}

}  // namespace
}  // namespace larkfield::testing
