// Charset, base64 and HTML helpers.

#include <gtest/gtest.h>

#include "mime/text.hpp"

namespace larkfield::mime::text {
namespace {

TEST(MimeText, CharsetLabelsAndCodePages) {
  EXPECT_EQ(lookup_charset("ISO-8859-1").iconv_name, "WINDOWS-1252");
  EXPECT_EQ(lookup_charset("Cp1252").code_page, 1252);
  EXPECT_EQ(lookup_charset(" windows-1251 ").code_page, 1251);
  EXPECT_EQ(lookup_charset("iso-8859-15").code_page, 28605);
  EXPECT_EQ(lookup_charset("ks_c_5601-1987").iconv_name, "CP949");
  EXPECT_EQ(lookup_charset("gb2312").iconv_name, "GB18030");
  EXPECT_EQ(lookup_charset("iso-2022-jp").code_page, 50220);
  EXPECT_TRUE(lookup_charset("x-unknown").iconv_name.empty());
  EXPECT_TRUE(lookup_charset("no-such-charset-1").iconv_name.empty());
  EXPECT_TRUE(lookup_charset("").iconv_name.empty());
  // Latin-1 text without C1 bytes keeps its own code page.
  EXPECT_EQ(decode_exact("caf\xE9", "iso-8859-1")->code_page, 28591);
  EXPECT_EQ(decode_exact("\x93q\x94", "iso-8859-1")->code_page, 1252);
}

TEST(MimeText, DecodingCountsAndReplacesBadBytes) {
  const auto d = decode_exact(
      "a\xFF\xFE"
      "b",
      "utf-8");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->utf8,
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(d->errors, 2u);
  // A truncated multibyte sequence at the end of GB18030 text.
  const auto g = decode_exact("\xD6\xD0\xCE", "gb18030");
  ASSERT_TRUE(g);
  EXPECT_EQ(g->utf8, "\xE4\xB8\xAD\xEF\xBF\xBD");
  EXPECT_EQ(g->errors, 1u);
  // Overlong and surrogate forms are not UTF-8.
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
  // The fallback chain: lying UTF-8 label to windows-1252, then ISO-8859-1.
  const Decoded lie = decode_text("\xE9t\xE9", "utf-8", "windows-1252");
  EXPECT_EQ(lie.utf8, "\xC3\xA9t\xC3\xA9");
  EXPECT_TRUE(lie.fell_back);
  const Decoded last = decode_text("\x81", "utf-8", "windows-1252");
  EXPECT_EQ(last.utf8, "\xC2\x81");
  EXPECT_EQ(last.errors, 0u);
}

TEST(MimeText, Utf16RoundTrip) {
  const std::string s = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
  const std::u16string w = utf8_to_utf16(s);
  EXPECT_EQ(w, u"a\u00E9\u4E2D\U0001F600");
  EXPECT_EQ(utf16_to_utf8(w), s);
  EXPECT_EQ(utf8_to_utf16("\xFF"), u"\uFFFD");
  EXPECT_EQ(utf16_to_utf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(MimeText, Base64AndEncodedWords) {
  EXPECT_EQ(base64_decode("QUJD\nREU=\nRkdI"), "ABCDEFGH");
  EXPECT_EQ(base64_decode("QU*JD!"), "ABC");
  EXPECT_EQ(base64_decode("QQ"), "A");
  EXPECT_EQ(base64_decode(""), "");
  EXPECT_EQ(rewrite_b_words("=?UTF-8?B?w6Q=?= =?UTF-8?B?w7Y=?="),
            "=?UTF-8?Q?=C3=A4?= =?UTF-8?Q?=C3=B6?=");
  EXPECT_EQ(rewrite_b_words("x =?utf-8?q?a?= =?iso-8859-1?b?4Q==?= y"),
            "x =?utf-8?q?a?= =?iso-8859-1?Q?=E1?= y");
  // Not an encoded word: left alone.
  EXPECT_EQ(rewrite_b_words("=?broken ?B? x"), "=?broken ?B? x");
  EXPECT_EQ(rewrite_b_words("a=?"), "a=?");
}

TEST(MimeText, HtmlHelpers) {
  EXPECT_EQ(html_meta_charset("<html><META charset=\"KOI8-R\"></html>"), "koi8-r");
  EXPECT_EQ(html_meta_charset("<meta http-equiv=Content-Type content='text/html; charset=big5'>"),
            "big5");
  EXPECT_EQ(html_declare_utf8("<meta charset=\"big5\"><p>x"), "<meta charset=\"utf-8\"><p>x");
  EXPECT_EQ(html_declare_utf8("<html><head></head>x"),
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
            "charset=utf-8\"></head>x");
  EXPECT_EQ(html_to_text("<p>a</p><p>b</p><!-- c --><script>d</script>e&lt;f&gt;&#65;&bogus;"),
            "a\nb\ne<f>A&bogus;");
  EXPECT_EQ(html_to_text("<pre>x  y\nz</pre>"), "x  y\nz");
  EXPECT_EQ(html_to_text("<table><tr><td>1</td><td>2</td></tr></table>"), "1\t2");
  // An unterminated style block ends the text instead of running forever.
  EXPECT_EQ(html_to_text("text<style>never closed"), "text");
}

}  // namespace
}  // namespace larkfield::mime::text
