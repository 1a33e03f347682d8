#include "sources/dialogs.hpp"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace larkfield::sources {
namespace {

// Message texts use CR LF between lines; Qt's labels break at LF alone.
QString ForDisplay(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QMessageBox::Icon QtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kExclamation:
      return QMessageBox::Warning;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void QtDialogs::Message(QWidget* owner, const QString& text, const QString& title,
                        MessageIcon icon) {
  QMessageBox box(QtIcon(icon), title, ForDisplay(text), QMessageBox::Ok, owner);
  box.exec();
}

bool QtDialogs::AskYesNo(QWidget* owner, const QString& text, const QString& title) {
  QMessageBox box(QMessageBox::Question, title, ForDisplay(text),
                  QMessageBox::Yes | QMessageBox::No, owner);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

QString QtDialogs::BrowseForFolder(QWidget* owner, const QString& prompt) {
  return QDir::toNativeSeparators(
      QFileDialog::getExistingDirectory(owner, prompt, QString(), QFileDialog::ShowDirsOnly));
}

QString QtDialogs::ShowOpen(QWidget* owner, const OpenFilesRequest& request) {
  const QString filter = QtFilterFrom(request.filter);
  QStringList chosen;
  if (request.flags & 0x200) {
    chosen = QFileDialog::getOpenFileNames(owner, QString(), request.file_name, filter);
  } else if (QString one =
                 QFileDialog::getOpenFileName(owner, QString(), request.file_name, filter);
             !one.isEmpty()) {
    chosen.append(one);
  }
  return ComposeOpenResult(chosen, request.max_file_size);
}

QString QtFilterFrom(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    // The description often repeats its patterns in parentheses; Qt adds its own.
    if (description.endsWith(QLatin1Char(')'))) {
      const qsizetype open = description.lastIndexOf(QLatin1Char('('));
      if (open > 0) description = description.left(open).trimmed();
    }
    const QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    entries.append(description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                   QLatin1Char(')'));
  }
  return entries.join(QStringLiteral(";;"));
}

QString ComposeOpenResult(const QStringList& chosen, int max_chars) {
  if (chosen.isEmpty()) return QString();
  QStringList parts;
  if (chosen.size() == 1) {
    parts.append(QDir::toNativeSeparators(chosen.front()));
  } else {
    const QString folder = QFileInfo(chosen.front()).absolutePath();
    const QDir dir(folder);
    parts.append(QDir::toNativeSeparators(folder));
    for (const QString& path : chosen) {
      // Files of one folder give their bare names; a file elsewhere (typed in by hand)
      // gives its path relative to the first one's folder, so prefix + part still names it.
      parts.append(QDir::toNativeSeparators(dir.relativeFilePath(path)));
    }
  }
  const QString text = parts.join(QChar(0));
  if (text.size() > max_chars) {
    // Count the files whose names still fit behind the folder part.
    int fit = 0;
    if (chosen.size() > 1) {
      qsizetype used = parts.front().size();
      for (qsizetype i = 1; i < parts.size(); ++i) {
        used += 1 + parts[i].size();
        if (used > max_chars) break;
        ++fit;
      }
    }
    throw SelectionTooLong(fit);
  }
  return text;
}

}  // namespace larkfield::sources
