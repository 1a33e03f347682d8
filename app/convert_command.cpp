#include "app/convert_command.hpp"

#include <QCoreApplication>
#include <QProgressBar>
#include <QString>
#include <cmath>
#include <vector>

#include "app/frm_step1.hpp"
#include "convert/folder_path.hpp"
#include "sources/path_text.hpp"
#include "sources/registry.hpp"

namespace larkfield::app {
namespace {

// How many failing files a message box names; the .log has them all.
constexpr std::size_t kShownInBox = 5;

QString Q(std::u16string_view s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}
QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
QString QPath(const std::filesystem::path& p) {
  return Q(std::u16string_view(convert::TextOfPath(p)));
}

class WindowObserver final : public convert::RunObserver {
 public:
  explicit WindowObserver(frmStep1& w) : w_(w) {}
  void Yield() override { w_.pump().Yield(); }
  void Caption(std::u16string_view text) override { w_.LblCurrentDBX()->setText(Q(text)); }
  void Current(std::u16string_view text) override { w_.LblProgessCurrent()->setText(Q(text)); }
  // A new value repaints the whole bar at the next round of events: the bar's own repaint
  // is skipped when it believes the value already shown.
  void Progress(float value) override {
    QProgressBar* bar = w_.ProgressBar1();
    const int v = static_cast<int>(std::lround(value));
    if (v == bar->value()) return;
    bar->setValue(v);
    bar->update();
  }

 private:
  frmStep1& w_;
};

QString FileLines(const std::vector<convert::RowFailure>& list, std::size_t total) {
  QString text;
  for (std::size_t i = 0; i < list.size() && i < kShownInBox; ++i) {
    text += Q(std::u16string_view(list[i].row)) + QStringLiteral(": ") + Q(list[i].reason) +
            QStringLiteral("\r\n");
  }
  if (total > kShownInBox) {
    text += QCoreApplication::translate("larkfield::app::RunConversion", "... and %1 more\r\n")
                .arg(total - kShownInBox);
  }
  return text;
}

}  // namespace

void RunConversion(frmStep1& window, const ConversionServices& services) {
  sources::Dialogs& dialogs = window.dialogs();
  auto hold = window.gate().TryHold();
  if (!hold) return;  // a list command is running

  // Every row is checked before anything is made.
  std::vector<convert::SourceRow> rows;
  const sources::FileList& list = window.grdFiles1();
  if (!list.IsEmpty()) {
    rows.reserve(static_cast<std::size_t>(list.Rows()));
    for (int i = 0; i < list.Rows(); ++i) {
      const std::filesystem::path file = list.RowPath(i);
      rows.push_back({file, convert::TextOfPath(file)});
    }
  }
  const convert::RowCheck check = convert::CheckRows(rows);
  if (check.empty) {
    dialogs.Message(
        &window,
        QCoreApplication::translate("larkfield::app::RunConversion",
                                    "The list is empty: there is nothing to convert.\r\n"
                                    "Add message files to the list first."),
        sources::AppTitle(), sources::MessageIcon::kInformation);
    return;
  }
  if (!check.no_folder.empty()) {
    QString text = QCoreApplication::translate(
        "larkfield::app::RunConversion",
        "These files lie directly in a drive or file-system root, or their path names no "
        "root, so the new PST would have no folder for them:\r\n");
    for (std::size_t i = 0; i < check.no_folder.size() && i < kShownInBox; ++i) {
      text += Q(std::u16string_view(check.no_folder[i])) + QStringLiteral("\r\n");
    }
    if (check.no_folder.size() > kShownInBox) {
      text += QCoreApplication::translate("larkfield::app::RunConversion", "... and %1 more\r\n")
                  .arg(check.no_folder.size() - kShownInBox);
    }
    text += QCoreApplication::translate(
        "larkfield::app::RunConversion",
        "Nothing was created. Move them into a folder and add them again.");
    dialogs.Message(&window, text, sources::AppTitle(), sources::MessageIcon::kExclamation);
    return;
  }

  window.pump().Yield();
  const QString destination = sources::BrowseForFolder(
      dialogs, &window,
      QCoreApplication::translate("larkfield::app::RunConversion", "Choose Folder to Save..."));
  window.pump().Yield();
  if (destination.isEmpty()) return;

  window.ProgressBar1()->setRange(0, 100);
  window.pump().Yield();

  convert::RunOptions options;
  static_cast<convert::Services&>(options) = services;
  options.destination = sources::PathFromText(destination);
  WindowObserver observer(window);
  const convert::RunResult r = convert::Convert(rows, options, observer);
  window.pump().Yield();
  window.gate().SetEnabled(window.CmdExtractDBX(), true);

  using O = convert::RunResult::Outcome;
  if (r.outcome == O::kNotStarted) {
    dialogs.Message(&window,
                    QCoreApplication::translate("larkfield::app::RunConversion",
                                                "Outlook Session Creation Error !\r\n"
                                                "Check if Outlook is installed and configured.\r\n"
                                                "For more details visit this link : ") +
                        QString::fromLatin1(kSessionHelpAddress) + QStringLiteral("\r\n\r\n") +
                        Q(r.error),
                    QCoreApplication::translate("larkfield::app::RunConversion", "Outlook Error"),
                    sources::MessageIcon::kInformation);
    return;
  }
  if (r.outcome == O::kStopped) {
    QString text =
        QCoreApplication::translate("larkfield::app::RunConversion",
                                    "The conversion stopped at message %1 of %2:\r\n")
            .arg(r.stopped_at + 1)
            .arg(r.rows) +
        Q(r.error) + QStringLiteral("\r\n\r\n") +
        QCoreApplication::translate("larkfield::app::RunConversion",
                                    "%2 holds the %1 messages committed before the stop.")
            .arg(r.committed)
            .arg(QPath(r.pst_path));
    if (!r.log_path.empty()) {
      text += QCoreApplication::translate("larkfield::app::RunConversion",
                                          "\r\nWhat was not converted is listed in ") +
              QPath(r.log_path);
    }
    dialogs.Message(&window, text, sources::AppTitle(), sources::MessageIcon::kExclamation);
    return;
  }
  if (r.failed > 0) {
    QString text = QCoreApplication::translate("larkfield::app::RunConversion",
                                               "%1 messages were converted, %2 failed:\r\n")
                       .arg(r.converted)
                       .arg(r.failed) +
                   FileLines(r.failures, r.failures.size());
    if (!r.log_path.empty()) {
      text += QCoreApplication::translate("larkfield::app::RunConversion", "The full list is in ") +
              QPath(r.log_path);
    }
    dialogs.Message(&window, text, sources::AppTitle(), sources::MessageIcon::kExclamation);
  }
}

}  // namespace larkfield::app
