// Paths between the system's bytes and the window's text, without loss.

#include "sources/path_text.hpp"

#include <gtest/gtest.h>

#include "tests/sources/qt_print.hpp"

#include <random>
#include <string>

namespace larkfield::sources {
namespace {

TEST(PathTextTest, Utf8BecomesItsCharacters) {
  const std::string bytes =
      "/home/m\xC3\xBC"
      "ller/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.eml";
  const QString text = TextFromNative(bytes);
  EXPECT_EQ(text, QStringLiteral(u"/home/müller/日本/😀.eml"));
  EXPECT_EQ(NativeFromText(text), bytes);
}

TEST(PathTextTest, BytesOutsideUtf8BecomeLoneSurrogatesAndComeBack) {
  struct Case {
    std::string bytes;
    QString text;
  };
  const Case cases[] = {
      {"caf\xE9.eml", QStringLiteral(u"caf\xDCE9.eml")},                  // Latin-1
      {"\xC0\xAF", QStringLiteral(u"\xDCC0\xDCAF")},                      // overlong "/"
      {"\xED\xA0\x80", QStringLiteral(u"\xDCED\xDCA0\xDC80")},            // encoded surrogate
      {"\xF4\x90\x80\x80", QStringLiteral(u"\xDCF4\xDC90\xDC80\xDC80")},  // past U+10FFFF
      {"a\xE6\x97", QStringLiteral(u"a\xDCE6\xDC97")},                    // cut short
      {"\xE6\x97"
       "a",
       QStringLiteral(u"\xDCE6\xDC97"
                      "a")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextFromNative(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(NativeFromText(c.text), c.bytes) << c.bytes;
  }
}

TEST(PathTextTest, AnyBytesSurviveTheRoundTrip) {
  std::mt19937 random(20240607);
  std::uniform_int_distribution<int> byte(1, 255);  // paths never hold NUL
  std::uniform_int_distribution<int> length(0, 40);
  for (int i = 0; i < 5000; ++i) {
    std::string bytes(static_cast<std::size_t>(length(random)), '\0');
    for (char& b : bytes) b = static_cast<char>(byte(random));
    ASSERT_EQ(NativeFromText(TextFromNative(bytes)), bytes);
  }
}

}  // namespace
}  // namespace larkfield::sources
