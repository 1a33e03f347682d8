#include "sources/registry.hpp"

#include <QDesktopServices>
#include <QUrl>
#include <algorithm>
#include <exception>

#include "sources/native_path.hpp"

namespace larkfield::sources {

QString BrowseForFolder(Dialogs& dialogs, QWidget* ownerWindow, QString prompt) {
  try {
    return dialogs.BrowseForFolder(ownerWindow, prompt);
  } catch (const std::exception&) {
    return QString();
  }
}

void ShellOpen(const QString& target) {
  if (target.isEmpty()) return;
  QDesktopServices::openUrl(QUrl::fromUserInput(target));
}

QString FolderOfPath(QStringView path) {
  if (path.isEmpty())
    throw Error(Error::Code::kInvalidArgument, "Invalid procedure call: empty path");
  qsizetype last = path.lastIndexOf(QChar(kSeparator));
#ifdef _WIN32
  last = std::max(last, path.lastIndexOf(QLatin1Char('/')));
#endif
  return last < 0 ? QString() : path.left(last + 1).toString();
}

}  // namespace larkfield::sources
