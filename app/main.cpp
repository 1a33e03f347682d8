// larkfield-porter: starts the application and shows the main window.

#include <QApplication>
#include <QImage>
#include <QTimer>

#include "app/frm_step1.hpp"
#include "sources/dialogs.hpp"
#include "sources/file_system.hpp"

int main(int argc, char** argv) {
  // Command-line arguments are not read, not even Qt's own options: the application sees
  // the program name alone. The platform's native style is Qt's default.
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
