// FolderOfPath and ShellOpen.

#include "sources/registry.hpp"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QObject>
#include <QUrl>
#include "tests/sources/qt_print.hpp"

namespace larkfield::sources {
namespace {

TEST(RegistryTest, FolderOfPathKeepsEverythingUpToTheLastSeparator) {
  EXPECT_EQ(FolderOfPath(u"/mail/inbox/0001.eml"), QStringLiteral("/mail/inbox/"));
  EXPECT_EQ(FolderOfPath(u"/a.eml"), QStringLiteral("/"));
  EXPECT_EQ(FolderOfPath(u"/mail/"), QStringLiteral("/mail/"));
  EXPECT_EQ(FolderOfPath(u"a.eml"), QString());
  try {
    FolderOfPath(u"");
    FAIL() << "an empty path went through";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::kInvalidArgument);
  }
}

// Takes the place of the desktop's handler for the schemes it is registered for.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

TEST(RegistryTest, ShellOpenHandsTheTargetToTheDesktopAndIgnoresAnEmptyOne) {
  UrlCatcher catcher;
  for (const char* scheme : {"https", "file"}) {
    QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "Open");
  }
  ShellOpen(QString());
  EXPECT_TRUE(catcher.opened.isEmpty());
  ShellOpen(QStringLiteral("https://larkfield.example/help"));
  ShellOpen(QStringLiteral("/tmp/some file.eml"));
  ASSERT_EQ(catcher.opened.size(), 2);
  EXPECT_EQ(catcher.opened[0], QUrl(QStringLiteral("https://larkfield.example/help")));
  EXPECT_EQ(catcher.opened[1], QUrl::fromLocalFile(QStringLiteral("/tmp/some file.eml")));
  for (const char* scheme : {"https", "file"}) {
    QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
  }
}

}  // namespace
}  // namespace larkfield::sources

#include "registry_test.moc"
