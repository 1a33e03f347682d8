#include "app/frm_step1.hpp"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <exception>

#include "sources/registry.hpp"

namespace larkfield::app {
namespace {

// Positions and sizes are designed in twips, 15 to the pixel.
QRect Twips(int left, int top, int width, int height) {
  return QRect(left / 15, top / 15, width / 15, height / 15);
}

// The design's fonts are narrow ones (Tahoma, MS Sans Serif). Where the first choice is
// missing, the wider stand-in is condensed a little so that every caption still fits the
// design's sizes.
QFont DesignFont(QStringList families) {
  const QString wanted = families.front();
  families.append({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                   QStringLiteral("Sans Serif")});
  QFont font;
  font.setFamilies(families);
  font.setPointSizeF(8.25);
  font.setWeight(QFont::Normal);
  if (QFontInfo(font).family().compare(wanted, Qt::CaseInsensitive) != 0) font.setStretch(88);
  return font;
}

void SetTextColour(QWidget& widget, const QColor& colour) {
  QPalette p = widget.palette();
  p.setColor(QPalette::WindowText, colour);
  widget.setPalette(p);
}

// The help page that the (hidden) help button opens.
constexpr char kHelpAddress[] = "https://larkfield.example/mail-porter/help";

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    icon.addFile(QStringLiteral(":/larkfield/icon-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

frmStep1::frmStep1(sources::Dialogs& dialogs, sources::FileSystemFactory file_system,
                   QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      dialogs_(dialogs),
      Picture3_(this),
      CmdHelp_(&Picture3_),
      cmdEnd_(&Picture3_),
      CmdExtractDBX_(this),
      CmdAddFolder_(this),
      cmdClear1_(this),
      cmdAdd_(this),
      grdFiles1_(&lblCount1_, this),
      ProgressBar1_(this),
      Image1_(this),
      LblProgessCurrent_(this),
      LblCurrentDBX_(this),
      Label1_(this),
      Shape1_(this),
      lblCount1_(this),
      gate_({&cmdAdd_, &CmdAddFolder_, &cmdClear1_, &CmdExtractDBX_}),
      commands_(sources::ListCommands::Parts{
          .owner = this,
          .list = &grdFiles1_,
          .convert = &CmdExtractDBX_,
          .dialogs = &dialogs,
          .pump = &pump_,
          .gate = &gate_,
          .file_system = std::move(file_system),
      }) {
  SetUpControls();
  Form_Load();
}

frmStep1::~frmStep1() = default;

void frmStep1::SetUpControls() {
  setObjectName(QStringLiteral("frmStep1"));
  setWindowTitle(sources::AppTitle());
  setWindowIcon(AppIcon());
  setFont(DesignFont({QStringLiteral("Tahoma")}));
  setFixedSize(kClientWidth, kClientHeight);

  struct Placement {
    QWidget* widget;
    const char* name;
    QRect where;
  };
  // The status lines, the caption beside the bar and the bar itself do not overlap: a label
  // that reaches into the bar repaints that strip of it with every new text, and the bar
  // then counts its new value as shown.
  const Placement placements[] = {
      {&Picture3_, "Picture3", Twips(-120, 7680, 11415, 495)},
      {&CmdHelp_, "CmdHelp", Twips(360, 0, 1695, 375)},
      {&cmdEnd_, "cmdEnd", Twips(9960, 0, 1335, 375)},
      {&CmdExtractDBX_, "CmdExtractDBX", Twips(4560, 6960, 2415, 435)},
      {&CmdAddFolder_, "CmdAddFolder", Twips(2640, 2280, 3495, 375)},
      {&cmdClear1_, "cmdClear1", Twips(9480, 2280, 1695, 375)},
      {&cmdAdd_, "cmdAdd", Twips(240, 2280, 2175, 375)},
      {&grdFiles1_, "grdFiles1", Twips(240, 3120, 10935, 2175)},
      {&ProgressBar1_, "ProgressBar1", Twips(1920, 6480, 9255, 255)},
      {&Image1_, "Image1", Twips(0, 0, 11505, 2130)},
      {&LblProgessCurrent_, "LblProgessCurrent", Twips(240, 6000, 10935, 480)},
      {&LblCurrentDBX_, "LblCurrentDBX", Twips(240, 5400, 10935, 600)},
      {&Label1_, "Label1", Twips(240, 6480, 1680, 255)},
      {&Shape1_, "Shape1", Twips(-240, 7560, 11775, 855)},
      {&lblCount1_, "lblCount1", Twips(360, 2880, 10815, 255)},
  };
  for (const Placement& p : placements) {
    p.widget->setObjectName(QString::fromLatin1(p.name));
    p.widget->setGeometry(p.where);
  }

  // The bottom band: a white shape with a light grey outline, and on it the white bar that
  // holds Exit (and the hidden help button).
  Shape1_.setFrameStyle(QFrame::Box | QFrame::Plain);
  Shape1_.setLineWidth(1);
  {
    QPalette p = Shape1_.palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::WindowText, QColor(192, 192, 192));
    Shape1_.setPalette(p);
    Shape1_.setAutoFillBackground(true);
  }
  Picture3_.setFrameStyle(QFrame::NoFrame);
  {
    QPalette p = Picture3_.palette();
    p.setColor(QPalette::Window, Qt::white);
    Picture3_.setPalette(p);
    Picture3_.setAutoFillBackground(true);
  }
  Picture3_.setFont(DesignFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Tahoma")}));

  CmdHelp_.setText(tr("&Help Manual"));
  CmdHelp_.setVisible(false);  // nothing ever shows it
  cmdEnd_.setText(tr("E&xit"));
  CmdExtractDBX_.setText(tr("Convert"));
  CmdExtractDBX_.setEnabled(false);
  CmdAddFolder_.setText(tr("Add Folder having EML File(s)..."));
  cmdClear1_.setText(tr("Clear File(s)..."));
  cmdAdd_.setText(tr("Add EML File(s)..."));
  for (QPushButton* b :
       {&CmdHelp_, &cmdEnd_, &CmdExtractDBX_, &CmdAddFolder_, &cmdClear1_, &cmdAdd_}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }

  grdFiles1_.setFont(DesignFont({QStringLiteral("Tahoma")}));

  ProgressBar1_.setRange(0, 100);
  ProgressBar1_.setValue(0);
  ProgressBar1_.setTextVisible(false);

  Image1_.setPixmap(QPixmap(QStringLiteral(":/larkfield/banner.png")));
  Image1_.setAlignment(Qt::AlignLeft | Qt::AlignTop);

  LblProgessCurrent_.setText(tr("Messages not initialized yet..."));
  SetTextColour(LblProgessCurrent_, Qt::black);
  LblCurrentDBX_.setText(tr("Converting Messages..."));
  SetTextColour(LblCurrentDBX_, QColor(0, 0, 192));
  Label1_.setText(tr("Conversion Progress : "));
  lblCount1_.setText(tr("0 files"));
  for (QLabel* l : {&LblProgessCurrent_, &LblCurrentDBX_, &Label1_, &lblCount1_}) {
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setWordWrap(l != &Label1_);  // the caption beside the bar stays on one line
    l->setTextFormat(Qt::PlainText);
  }

  // Pictures, labels and the shape lie beneath the buttons, the bar and the grid.
  for (QWidget* w :
       {static_cast<QWidget*>(&lblCount1_), static_cast<QWidget*>(&Label1_),
        static_cast<QWidget*>(&LblCurrentDBX_), static_cast<QWidget*>(&LblProgessCurrent_),
        static_cast<QWidget*>(&Image1_), static_cast<QWidget*>(&Shape1_)}) {
    w->lower();
  }

  // Tab order. Focus skips the labels, hidden and disabled controls, and the bar, which
  // shows no focus of its own; the controls that can take it come in this order.
  Picture3_.setFocusPolicy(Qt::NoFocus);
  QWidget* const order[] = {&cmdAdd_,        &cmdClear1_, &CmdAddFolder_, &grdFiles1_,
                            &CmdExtractDBX_, &cmdEnd_,    &CmdHelp_};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(&cmdAdd_, &QPushButton::clicked, this, [this] { cmdAdd_Click(); });
  connect(&CmdAddFolder_, &QPushButton::clicked, this, [this] { CmdAddFolder_Click(); });
  connect(&cmdClear1_, &QPushButton::clicked, this, [this] { cmdClear1_Click(); });
  connect(&CmdExtractDBX_, &QPushButton::clicked, this, [this] { CmdExtractDBX_Click(); });
  connect(&cmdEnd_, &QPushButton::clicked, this, [this] { cmdEnd_Click(); });
  connect(&CmdHelp_, &QPushButton::clicked, this, [this] { CmdHelp_Click(); });

  // Centred on the screen.
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void frmStep1::Form_Load() {
  // Far wider than the grid at first; the first added file narrows it.
  grdFiles1_.setColumnWidth(0, 3333);
}

template <class Handler>
void frmStep1::Run(Handler&& handler) {
  auto report = [this](int number, const char* what) {
    if (pump_.Stopped()) return;
    dialogs_.Message(this, QString::number(number) + QLatin1Char(':') + QString::fromUtf8(what),
                     sources::AppTitle(), sources::MessageIcon::kExclamation);
  };
  try {
    handler();
  } catch (const sources::Cancelled&) {
    // The window is ending; the command stops here.
  } catch (const sources::Error& e) {
    report(e.number(), e.what());
  } catch (const std::exception& e) {
    report(static_cast<int>(sources::Error::Code::kUnexpected), e.what());
  }
}

void frmStep1::cmdAdd_Click() {
  Run([this] { commands_.AddFiles(); });
}

void frmStep1::CmdAddFolder_Click() {
  Run([this] { commands_.AddFolder(); });
}

void frmStep1::AddPaths(const std::vector<sources::NativeString>& paths) {
  Run([this, &paths] { commands_.AddPaths(paths); });
}

void frmStep1::cmdClear1_Click() {
  Run([this] { commands_.ClearList(); });
}

void frmStep1::CmdExtractDBX_Click() {
  Run([this] { RunConversion(*this, conversion_); });
}

void frmStep1::cmdEnd_Click() {
  Run([this] {
    if (dialogs_.AskYesNo(this, tr("Are you sure you want to exit now?"), sources::AppTitle())) {
      close();
    }
  });
}

void frmStep1::CmdHelp_Click() { sources::ShellOpen(QString::fromLatin1(kHelpAddress)); }

void frmStep1::closeEvent(QCloseEvent* event) {
  event->accept();
  Form_Unload();
}

// Ends the program: a command suspended in a yield stops there, and the event loop ends.
void frmStep1::Form_Unload() {
  pump_.Stop();
  QCoreApplication::quit();
}

}  // namespace larkfield::app
