// larkfield-porter: reads the command line, starts the application and shows the main
// window, with the files and folders named on the command line in its list.

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <vector>

#include "app/frm_step1.hpp"
#include "larkfield/version.hpp"
#include "sources/dialogs.hpp"
#include "sources/file_system.hpp"
#include "sources/native_path.hpp"
#include "sources/path_text.hpp"

namespace {

void Print(std::FILE* to, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
  std::fflush(to);
}

// The paths as the system gave them: each argument that the parser took as a path, in its
// own bytes (a name that is not valid in the locale's encoding stays the same file).
std::vector<larkfield::sources::NativeString> NativePaths(const QStringList& positional,
                                                          const QStringList& decoded, char** argv) {
  std::vector<larkfield::sources::NativeString> paths;
  std::vector<bool> used(static_cast<std::size_t>(decoded.size()), false);
  for (const QString& p : positional) {
#ifdef _WIN32
    paths.push_back(larkfield::sources::NativeFromText(p));
#else
    bool found = false;
    for (qsizetype i = 1; i < decoded.size() && !found; ++i) {
      if (used[static_cast<std::size_t>(i)] || decoded[i] != p) continue;
      used[static_cast<std::size_t>(i)] = found = true;
      paths.emplace_back(argv[i]);
    }
    if (!found) paths.push_back(p.toLocal8Bit().toStdString());
#endif
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("larkfield-porter"));
  QCoreApplication::setApplicationVersion(QString::fromLatin1(larkfield::kVersion));

  // The command line is read before the application starts, so that --help and --version
  // answer without a display. Qt's own options (-platform, ...) are not taken: the
  // QT_QPA_PLATFORM environment variable and its kin do that.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  if (arguments.isEmpty()) arguments.append(QStringLiteral("larkfield-porter"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QCoreApplication::translate(
      "larkfield-porter",
      "Converts .eml and .emlx message files into a new Outlook PST file.\n"
      "The files and folders given are put in the window's list, a folder as the\n"
      "message files its whole tree holds. larkfield-convert does the same without\n"
      "a window."));
  const QCommandLineOption help_option(
      {QStringLiteral("h"), QStringLiteral("help")},
      QCoreApplication::translate("larkfield-porter", "Shows this help and ends."));
  const QCommandLineOption version_option(
      {QStringLiteral("V"), QStringLiteral("version")},
      QCoreApplication::translate("larkfield-porter",
                                  "Shows the version and the licence and ends."));
  parser.addOption(help_option);
  parser.addOption(version_option);
  parser.addPositionalArgument(
      QStringLiteral("paths"),
      QCoreApplication::translate("larkfield-porter", "Message files and folders to list."),
      QStringLiteral("[FILE|FOLDER...]"));
  if (!parser.parse(arguments)) {
    Print(stderr,
          QStringLiteral("larkfield-porter: ") + parser.errorText() + QLatin1Char('\n') +
              QCoreApplication::translate("larkfield-porter",
                                          "Try 'larkfield-porter --help' for more information.") +
              QLatin1Char('\n'));
    return 2;
  }
  if (parser.isSet(help_option)) {
    // Without an application object the parser cannot know the program's name.
    QString help = parser.helpText();
    help.replace(QStringLiteral("<executable_name>"), QStringLiteral("larkfield-porter"));
    Print(stdout, help + QLatin1Char('\n') +
                      QCoreApplication::translate(
                          "larkfield-porter",
                          "Exit status: 0 when the window was closed, 2 for bad usage.") +
                      QLatin1Char('\n'));
    return 0;
  }
  if (parser.isSet(version_option)) {
    Print(stdout, QStringLiteral("larkfield-porter ") + QString::fromLatin1(larkfield::kVersion) +
                      QStringLiteral(" (Larkfield Mail Porter)\n") +
                      QString::fromUtf8(larkfield::kLicenceNotice));
    return 0;
  }
  const std::vector<larkfield::sources::NativeString> paths =
      NativePaths(parser.positionalArguments(), arguments, argv);

  char fallback_name[] = "larkfield-porter";
  int qt_argc = 1;
  char* qt_argv[] = {argc > 0 && argv[0] ? argv[0] : fallback_name, nullptr};
  QApplication app(qt_argc, qt_argv);
  QApplication::setApplicationName(QStringLiteral("larkfield-porter"));
  QApplication::setDesktopFileName(QStringLiteral("larkfield-porter"));
  QApplication::setWindowIcon(larkfield::app::AppIcon());

  larkfield::sources::QtDialogs dialogs;
  larkfield::app::frmStep1 window(dialogs, larkfield::sources::RealFileSystemFactory());
  window.show();
  if (!paths.empty()) {
    // Once the window is on the screen, so that a message box has its owner to stand on.
    QTimer::singleShot(0, &window, [&window, &paths] { window.AddPaths(paths); });
  }

  // LARKFIELD_SCREENSHOT=file.png: draws the window into that file once it is shown, then
  // ends. For looking at the window on a machine without a screen, and for the test suite.
  if (const QString shot = qEnvironmentVariable("LARKFIELD_SCREENSHOT"); !shot.isEmpty()) {
    QTimer::singleShot(300, &window, [&window, shot] {
      const bool saved = window.grab().save(shot, "PNG");
      QCoreApplication::exit(saved ? 0 : 1);
    });
  }
  return QApplication::exec();
}
