// The program's own resources: the pictures and icon, the desktop entry, the Windows
// resource script and manifest; and the executable itself: its --help and --version, and
// its window, drawn into a PNG file in the build folder.

#include <gtest/gtest.h>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QXmlStreamReader>

#include <map>

#include "app/frm_step1.hpp"
#include "tests/sources/qt_print.hpp"

namespace larkfield::testing {
namespace {

QByteArray Read(const QString& path) {
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
  return f.readAll();
}

const QString kSource = QStringLiteral(LARKFIELD_APP_SOURCE_DIR);
const QString kBinary = QStringLiteral(LARKFIELD_APP_BINARY_DIR);

TEST(ResourcesTest, PicturesHaveTheirSizesAndAreBuiltIn) {
  EXPECT_EQ(QImage(kSource + QStringLiteral("/resources/banner.png")).size(), QSize(767, 142));
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    EXPECT_EQ(QImage(kSource + QStringLiteral("/resources/icon-%1.png").arg(size)).size(),
              QSize(size, size));
  }
  EXPECT_EQ(app::AppIcon().availableSizes(),
            (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}}));
  EXPECT_EQ(QImage(QStringLiteral(":/larkfield/banner.png")).size(), QSize(767, 142));
}

TEST(ResourcesTest, WindowsIconHoldsFourImagesOf256Colours) {
  const QByteArray ico = Read(kSource + QStringLiteral("/resources/larkfield-porter.ico"));
  ASSERT_GE(ico.size(), 6 + 4 * 16);
  auto u16 = [&](qsizetype at) {
    return static_cast<unsigned>(static_cast<unsigned char>(ico[at]) |
                                 static_cast<unsigned char>(ico[at + 1]) << 8);
  };
  auto u32 = [&](qsizetype at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(u16(0), 0u);
  EXPECT_EQ(u16(2), 1u);  // icon, not cursor
  ASSERT_EQ(u16(4), 4u);
  const unsigned sizes[] = {16, 24, 32, 48};
  for (int i = 0; i < 4; ++i) {
    const qsizetype entry = 6 + 16 * i;
    EXPECT_EQ(static_cast<unsigned char>(ico[entry]), sizes[i]);
    EXPECT_EQ(static_cast<unsigned char>(ico[entry + 1]), sizes[i]);
    EXPECT_EQ(u16(entry + 6), 8u);  // bits per pixel
    const unsigned length = u32(entry + 8);
    const unsigned offset = u32(entry + 12);
    ASSERT_LE(qsizetype(offset) + length, ico.size());
    // The image: a bitmap header of 40 bytes, twice the height (colours and mask), 8 bits.
    EXPECT_EQ(u32(offset), 40u);
    EXPECT_EQ(u32(offset + 4), sizes[i]);
    EXPECT_EQ(u32(offset + 8), 2 * sizes[i]);
    EXPECT_EQ(u16(offset + 14), 8u);
    const unsigned xor_bytes = (sizes[i] + 3) / 4 * 4 * sizes[i];
    const unsigned and_bytes = (sizes[i] + 31) / 32 * 4 * sizes[i];
    EXPECT_EQ(length, 40 + 256 * 4 + xor_bytes + and_bytes);
  }
}

TEST(ResourcesTest, DesktopEntryStartsTheProgramWithItsIcon) {
  const QString text =
      QString::fromUtf8(Read(kSource + QStringLiteral("/larkfield-porter.desktop")));
  const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ(lines.front(), QStringLiteral("[Desktop Entry]"));
  std::map<QString, QString> keys;
  for (const QString& line : lines.mid(1)) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    ASSERT_GT(eq, 0) << line.toStdString();
    EXPECT_TRUE(keys.emplace(line.left(eq), line.mid(eq + 1)).second) << line.toStdString();
  }
  EXPECT_EQ(keys[QStringLiteral("Type")], QStringLiteral("Application"));
  EXPECT_EQ(keys[QStringLiteral("Name")], QStringLiteral("Larkfield Mail Porter"));
  // Files and folders from the file manager go into the list.
  EXPECT_EQ(keys[QStringLiteral("Exec")], QStringLiteral("larkfield-porter %F"));
  EXPECT_EQ(keys[QStringLiteral("Icon")], QStringLiteral("larkfield-porter"));
  EXPECT_TRUE(keys[QStringLiteral("Categories")].endsWith(QLatin1Char(';')));
}

TEST(ResourcesTest, WindowsResourceScriptHasTheVersionRecordIconAndManifest) {
  const QString rc = QString::fromUtf8(Read(kBinary + QStringLiteral("/larkfield-porter.rc")));
  for (const char* line : {
           "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US",
           " FILEVERSION 4,9,0,0",
           " PRODUCTVERSION 4,9,0,0",
           " FILEOS VOS__WINDOWS32",
           " FILETYPE VFT_APP",
           "    BLOCK \"040904B0\"",
           "      VALUE \"FileDescription\", \"Convert EML Messages\"",
           "      VALUE \"FileVersion\", \"4.09\"",
           "      VALUE \"ProductName\", \"Larkfield Mail Porter\"",
           "      VALUE \"ProductVersion\", \"4.09\"",
           "    VALUE \"Translation\", 0x0409, 0x04B0",
       }) {
    EXPECT_TRUE(rc.contains(QLatin1Char('\n') + QString::fromLatin1(line) + QLatin1Char('\n')))
        << line;
  }
  // The icon and the manifest it names exist.
  for (const char* prefix :
       {"\n1 ICON \"", "\nCREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \""}) {
    const qsizetype at = rc.indexOf(QString::fromLatin1(prefix));
    ASSERT_GE(at, 0) << prefix;
    const qsizetype start = at + qsizetype(qstrlen(prefix));
    const QString file = rc.mid(start, rc.indexOf(QLatin1Char('"'), start) - start);
    EXPECT_TRUE(QFile::exists(file)) << file.toStdString();
  }
}

TEST(ResourcesTest, ManifestAsksForCommonControls6AndNothingElse) {
  const QByteArray xml = Read(kBinary + QStringLiteral("/larkfield-porter.manifest"));
  EXPECT_TRUE(xml.startsWith(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"));
  QXmlStreamReader reader(xml);
  QStringList open;  // the elements enclosing the reader's position
  QStringList paths;
  std::map<QString, QXmlStreamAttributes> attributes;
  QString description = QStringLiteral("(missing)");
  QString assembly_namespace;
  while (!reader.atEnd()) {
    const auto token = reader.readNext();
    if (token == QXmlStreamReader::StartElement) {
      open.append(reader.name().toString());
      paths.append(open.join(QLatin1Char('/')));
      attributes[paths.back()] = reader.attributes();
      if (open.size() == 1) assembly_namespace = reader.namespaceUri().toString();
      if (reader.name() == QStringLiteral("description")) {
        description = reader.readElementText();  // consumes its end
        open.removeLast();
      }
    } else if (token == QXmlStreamReader::EndElement) {
      open.removeLast();
    }
  }
  ASSERT_FALSE(reader.hasError()) << reader.errorString().toStdString();
  const QString identity = QStringLiteral("assembly/assemblyIdentity");
  const QString controls = QStringLiteral("assembly/dependency/dependentAssembly/assemblyIdentity");
  // Nothing else: no execution level, no compatibility section.
  EXPECT_EQ(paths, (QStringList{
                       QStringLiteral("assembly"), identity, QStringLiteral("assembly/description"),
                       QStringLiteral("assembly/dependency"),
                       QStringLiteral("assembly/dependency/dependentAssembly"), controls}));
  EXPECT_EQ(description, QString());
  auto attr = [&](const QString& path, const char* name) {
    return attributes[path].value(QString::fromLatin1(name)).toString();
  };
  EXPECT_EQ(assembly_namespace, QStringLiteral("urn:schemas-microsoft-com:asm.v1"));
  EXPECT_EQ(attr(QStringLiteral("assembly"), "manifestVersion"), QStringLiteral("1.0"));
  EXPECT_EQ(attr(identity, "version"), QStringLiteral("1.0.0.0"));
  EXPECT_EQ(attr(identity, "type"), QStringLiteral("win32"));
  EXPECT_FALSE(attr(identity, "name").isEmpty());
  EXPECT_FALSE(attr(identity, "processorArchitecture").isEmpty());
  EXPECT_EQ(attr(controls, "name"), QStringLiteral("Microsoft.Windows.Common-Controls"));
  EXPECT_EQ(attr(controls, "version"), QStringLiteral("6.0.0.0"));
  EXPECT_EQ(attr(controls, "type"), QStringLiteral("win32"));
  EXPECT_EQ(attr(controls, "publicKeyToken"), QStringLiteral("6595b64144ccf1df"));
  EXPECT_EQ(attr(controls, "language"), QStringLiteral("*"));
  EXPECT_EQ(attr(controls, "processorArchitecture"), attr(identity, "processorArchitecture"));
}

struct Ran {
  int exit_code = -1;
  QString out, err;
};
Ran RunPorter(const QStringList& arguments, const QString& platform, const QString& shot = {}) {
  QProcess porter;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
  if (!shot.isEmpty()) env.insert(QStringLiteral("LARKFIELD_SCREENSHOT"), shot);
  porter.setProcessEnvironment(env);
  porter.start(QStringLiteral(LARKFIELD_PORTER_EXE), arguments);
  EXPECT_TRUE(porter.waitForFinished(60000));
  EXPECT_EQ(porter.exitStatus(), QProcess::NormalExit);
  return {porter.exitCode(), QString::fromLocal8Bit(porter.readAllStandardOutput()),
          QString::fromLocal8Bit(porter.readAllStandardError())};
}

// --help and --version answer without a window: with a platform that does not exist, a
// window would end the program with Qt's own error instead.
TEST(ExecutableTest, HelpVersionAndBadUsageAnswerWithoutAWindow) {
  const QString none = QStringLiteral("no-such-platform");
  const Ran help = RunPorter({QStringLiteral("--help")}, none);
  EXPECT_EQ(help.exit_code, 0) << help.err.toStdString();
  EXPECT_TRUE(
      help.out.startsWith(QStringLiteral("Usage: larkfield-porter [options] [FILE|FOLDER...]")))
      << help.out.toStdString();
  EXPECT_TRUE(help.out.contains(QStringLiteral("--version"))) << help.out.toStdString();
  EXPECT_TRUE(help.out.contains(QStringLiteral("Exit status"))) << help.out.toStdString();
  const Ran version = RunPorter({QStringLiteral("-V")}, none);
  EXPECT_EQ(version.exit_code, 0) << version.err.toStdString();
  EXPECT_TRUE(version.out.startsWith(QStringLiteral("larkfield-porter 4.")))
      << version.out.toStdString();
  EXPECT_TRUE(version.out.contains(QStringLiteral("License: MIT"))) << version.out.toStdString();
  const Ran bad = RunPorter({QStringLiteral("--convert"), QStringLiteral("x.eml")}, none);
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_TRUE(bad.err.contains(QStringLiteral("convert"))) << bad.err.toStdString();
  EXPECT_TRUE(bad.out.isEmpty());
}

TEST(ExecutableTest, TakesPathsAndDrawsTheWindow) {
  const QString png = QStringLiteral(LARKFIELD_SCREENSHOT_FILE);
  QFile::remove(png);
  const Ran ran =
      RunPorter({kSource + QStringLiteral("/main.cpp")}, QStringLiteral("offscreen"), png);
  EXPECT_EQ(ran.exit_code, 0) << ran.err.toStdString();
  const QImage shot(png);
  ASSERT_FALSE(shot.isNull()) << png.toStdString();
  EXPECT_EQ(shot.size(), QSize(764, 546));
  // The banner is drawn at the top left: the picture's own corner pixel.
  const QImage banner(QStringLiteral(":/larkfield/banner.png"));
  EXPECT_EQ(shot.pixel(2, 2), banner.pixel(2, 2));
}

}  // namespace
}  // namespace larkfield::testing
