// Names and folder paths of a run.

#include <gtest/gtest.h>

#include "convert/error.hpp"
#include "convert/folder_path.hpp"

namespace larkfield::convert {
namespace {

std::optional<std::u16string> F(const char16_t* row) { return RowFolderPath(row); }

TEST(FolderPath, WindowsRowsFollowTheDriveRules) {
  EXPECT_EQ(F(u"C:\\Mail\\Inbox\\0001.eml"), u"Mail\\Inbox");
  EXPECT_EQ(F(u"  D:\\Mail\\Inbox\\b.eml  "), u"Mail\\Inbox");
  EXPECT_EQ(F(u"C:\\a\\b\\c\\d.eml"), u"a\\b\\c");
  EXPECT_EQ(F(u"c:\\x\\y.emlx"), u"x");
  // A second colon ends the piece that is used.
  EXPECT_EQ(F(u"C:\\Mail\\odd:name\\x.eml"), u"Mail");
  // A file directly in a drive root has no folder, nor does an empty row.
  EXPECT_EQ(F(u"C:\\a.eml"), std::nullopt);
  EXPECT_EQ(F(u"C:"), std::nullopt);
  EXPECT_EQ(F(u""), std::nullopt);
  // A path without a drive: a network path, a relative path.
  EXPECT_EQ(F(u"\\\\server\\share\\x.eml"), std::nullopt);
  EXPECT_EQ(F(u"Mail\\x.eml"), std::nullopt);
  EXPECT_EQ(ProgressText(u"C:\\Mail\\Inbox\\0001.eml"), u"\\Mail\\Inbox\\0001.eml");
}

TEST(FolderPath, PosixRowsAreTakenBelowTheRoot) {
  EXPECT_EQ(F(u"/home/ann/Mail/Inbox/1.eml"), u"home\\ann\\Mail\\Inbox");
  EXPECT_EQ(F(u"/a:b/c: d.eml"), u"a:b");  // a colon is an ordinary character
  EXPECT_EQ(F(u"//x//y/./z.eml"), u"x\\y");
  EXPECT_EQ(F(u"/x/back\\slash/z.eml"), u"x\\back\uFF3Cslash");
  EXPECT_EQ(F(u"/a.eml"), std::nullopt);
  EXPECT_EQ(F(u"relative/x.eml"), std::nullopt);
  EXPECT_EQ(ProgressText(u"/m/a:b/x.eml"), u"/m/a:b/x.eml");  // shown whole
}

TEST(FolderPath, FolderOfPathKeepsTheLastBackslash) {
  EXPECT_EQ(FolderOfPath(u"Mail\\Inbox\\x.eml"), u"Mail\\Inbox\\");
  EXPECT_EQ(FolderOfPath(u"x.eml"), u"");
  EXPECT_THROW(FolderOfPath(u""), Error);
}

TEST(FolderPath, TimeStampAndNames) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(TimeStamp(t), u"6.12.26 7.5.03");
  t.tm_year = 100;
  t.tm_mon = 0;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  EXPECT_EQ(TimeStamp(t), u"31.1.00 23.59.59");
  EXPECT_EQ(PstBaseName(u"6.12.26 7.5.03"), u"Larkfield6.12.26 7.5.03");
  EXPECT_EQ(StoreDisplayName(u"6.12.26 7.5.03"), u"Larkfield : Created - 6.12.26 7.5.03");
}

TEST(FolderPath, TextOfPathReadsUtf8AndFallsBackToLatin1) {
  EXPECT_EQ(TextOfPath("/m/\xc3\xa9t\xc3\xa9/x.eml"), u"/m/\u00e9t\u00e9/x.eml");
  EXPECT_EQ(TextOfPath("/m/\xe9t\xe9/x.eml"), u"/m/\u00e9t\u00e9/x.eml");
  EXPECT_EQ(TextOfPath("/\xf0\x9f\x93\xa7"), u"/\U0001F4E7");
  EXPECT_EQ(TextOfPath("/\xc0\xaf"), u"/\u00c0\u00af");  // overlong: two Latin-1 bytes
  EXPECT_EQ(Utf8(u"\u00e9\U0001F4E7"), "\xc3\xa9\xf0\x9f\x93\xa7");
}

}  // namespace
}  // namespace larkfield::convert
