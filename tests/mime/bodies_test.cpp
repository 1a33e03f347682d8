// Body choice and body charsets (F6, F7, F21).

#include <gtest/gtest.h>

#include "tests/mime/helpers.hpp"

using namespace std::string_literals;

namespace larkfield::mime::test {
namespace {

std::string text_part(std::string_view content_type, std::string_view body,
                      std::string_view extra = "") {
  return "From: a@x.com\nSubject: s\nMIME-Version: 1.0\nContent-Type: " +
         std::string(content_type) + "\n" + std::string(extra) + "\n" + std::string(body);
}

std::u16string body16(const ImportResult& r) {
  return std::get<std::u16string>(*find(r.message.properties, t::kBody));
}

TEST(MimeBodyCharsets, PlainTextDecodedToUtf16) {
  struct Case {
    std::string_view charset;
    std::string bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      // Latin-1 labels carry windows-1252 smart quotes.
      {"iso-8859-1", "\x93Hi\x94 caf\xE9", u"\u201CHi\u201D caf\u00E9"},
      {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {"iso-2022-jp", "\x1B$B$3$s$K$A$O\x1B(B", u"\u3053\u3093\u306B\u3061\u306F"},
      {"gb2312", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
      {"gb18030", "\x81\x30\x81\x30", u"\u0080"},
      {"shift_jis", "\x82\xA0", u"\u3042"},
      {"utf-8", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
  };
  for (const auto& c : cases) {
    const ImportResult r = import(text_part("text/plain; charset=" + std::string(c.charset),
                                            c.bytes, "Content-Transfer-Encoding: 8bit\n"));
    EXPECT_EQ(body16(r), c.expected) << c.charset;
    EXPECT_EQ(i32(r.message.properties, t::kNativeBody), 1);
  }
}

TEST(MimeBodyCharsets, BrokenLabelsNeverDropBytes) {
  // UTF-8 with a stray byte keeps the good text and replaces only the bad byte.
  const ImportResult bad = import(text_part("text/plain; charset=utf-8",
                                            "gr\xC3\xBC\xC3\x9F A\xFF"
                                            "B"));
  EXPECT_EQ(body16(bad), u"gr\u00FC\u00DF A\uFFFDB");
  bool warned = false;
  for (const auto& w : bad.warnings) warned |= w.find("U+FFFD") != std::string::npos;
  EXPECT_TRUE(warned);

  // Labelled UTF-8 but really windows-1252: every byte is a 1252 character.
  const ImportResult lying = import(text_part("text/plain; charset=utf-8", "caf\xE9 \x93ok\x94"));
  EXPECT_EQ(body16(lying), u"caf\u00E9 \u201Cok\u201D");

  // Unknown label and no label: UTF-8 when valid, else the legacy charset.
  const ImportResult unknown = import(text_part("text/plain; charset=x-unknown", "na\xC3\xAFve"));
  EXPECT_EQ(body16(unknown), u"na\u00EFve");
  const ImportResult none = import(text_part("text/plain", "na\xEFve"));
  EXPECT_EQ(body16(none), u"na\u00EFve");
  ImportOptions ru;
  ru.legacy_charset = "windows-1251";
  const ImportResult legacy =
      import(text_part("text/plain; charset=bogus-42", "\xC4\xE0"), "x.eml", ru);
  EXPECT_EQ(body16(legacy), u"\u0414\u0430");

  // Line ends become CRLF, NULs go.
  const ImportResult lines = import(text_part("text/plain; charset=us-ascii", "a\nb\r\nc\rd\0e"s));
  EXPECT_EQ(body16(lines), u"a\r\nb\r\nc\r\nde");
}

TEST(MimeBodyChoice, AlternativeRelatedMixed) {
  // Alternative: HTML wins, plain text kept for PR_BODY.
  const std::string alt =
      "From: a@x.com\nContent-Type: multipart/alternative; boundary=A\n\n"
      "--A\nContent-Type: text/html; charset=windows-1252\n\n<p>caf\xE9</p>\n"
      "--A\nContent-Type: text/plain; charset=windows-1252\n\ncaf\xE9\n--A--\n";
  const ImportResult a = import(alt);
  EXPECT_EQ(body16(a), u"caf\u00E9");
  EXPECT_EQ(bin(a.message.properties, t::kHtml), "<p>caf\xE9</p>");  // bytes as sent
  EXPECT_EQ(i32(a.message.properties, t::kInternetCpid), 1252);
  EXPECT_EQ(i32(a.message.properties, t::kNativeBody), 3);
  EXPECT_TRUE(a.message.attachments.empty());

  // HTML only: plain text derived from it.
  const ImportResult h = import(text_part(
      "text/html; charset=utf-8",
      "<html><head><style>p{color:red}</style><title>T</title></head><body><p>One&nbsp;&amp; "
      "two</p><div>Three<br>Four</div><ul><li>x</li></ul>&#x263A;</body></html>"));
  EXPECT_EQ(body16(h), u"One & two\r\nThree\r\nFour\r\n\u2022 x\r\n\u263A");
  EXPECT_EQ(i32(h.message.properties, t::kNativeBody), 3);

  // Mixed whose first part is an attachment: no body, every part an attachment.
  const ImportResult noBody = import(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=M\n\n"
      "--M\nContent-Type: application/pdf\n\n%PDF\n--M\nContent-Type: "
      "text/plain\n\nlater\n--M--\n");
  EXPECT_EQ(body16(noBody), u"");
  EXPECT_EQ(i32(noBody.message.properties, t::kNativeBody), 0);
  ASSERT_EQ(noBody.message.attachments.size(), 2u);

  // A text part after an attachment stays an attachment (F10).
  const ImportResult later = import(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=M\n\n"
      "--M\nContent-Type: text/plain\n\nfirst\n--M\nContent-Type: image/png; name=a.png\n\nPNG\n"
      "--M\nContent-Type: text/plain\n\nfooter\n--M--\n");
  EXPECT_EQ(body16(later), u"first");
  ASSERT_EQ(later.message.attachments.size(), 2u);
  EXPECT_EQ(bin(later.message.attachments[1].properties, t::kAttachDataBin), "footer");

  // Related with a start parameter picks the named root.
  const ImportResult rel = import(
      "From: a@x.com\nContent-Type: multipart/related; boundary=R; start=\"<root@x>\"\n\n"
      "--R\nContent-Type: image/gif; name=x.gif\nContent-ID: <img@x>\n\nGIF\n"
      "--R\nContent-Type: text/html\nContent-ID: <root@x>\n\n<img src=\"cid:img@x\">\n--R--\n");
  EXPECT_EQ(bin(rel.message.properties, t::kHtml), "<img src=\"cid:img@x\">");
  ASSERT_EQ(rel.message.attachments.size(), 1u);

  // A body part marked as attachment is not the body.
  const ImportResult att = import(
      text_part("text/plain", "file text", "Content-Disposition: attachment; filename=a.txt\n"));
  EXPECT_EQ(body16(att), u"");
  ASSERT_EQ(att.message.attachments.size(), 1u);
}

TEST(MimeBodyHtml, UncleanHtmlBecomesUtf8) {
  // Meta charset disagrees with the MIME label: transcoded to UTF-8 and declared so.
  const ImportResult conflict = import(text_part(
      "text/html; charset=windows-1252",
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-5\">"
      "</head><body>caf\xE9</body></html>"));
  const std::string html = bin(conflict.message.properties, t::kHtml);
  EXPECT_EQ(i32(conflict.message.properties, t::kInternetCpid), 65001);
  EXPECT_NE(html.find("charset=utf-8"), std::string::npos);
  EXPECT_NE(html.find("caf\xC3\xA9"), std::string::npos);
  EXPECT_EQ(html.find("iso-8859-5"), std::string::npos);

  // No label: the meta charset decides, and the bytes are kept.
  const ImportResult meta =
      import(text_part("text/html", "<meta charset=\"windows-1251\"><p>\xC4\xE0</p>"));
  EXPECT_EQ(i32(meta.message.properties, t::kInternetCpid), 1251);
  EXPECT_EQ(body16(meta), u"\u0414\u0430");

  // UTF-16 with a byte-order mark.
  const std::string utf16("\xFF\xFE<\0p\0>\0\x14\x04<\0/\0p\0>\0", 18);
  const ImportResult wide =
      import(text_part("text/html", utf16, "Content-Transfer-Encoding: binary\n"));
  EXPECT_EQ(i32(wide.message.properties, t::kInternetCpid), 65001);
  EXPECT_EQ(body16(wide), u"\u0414");

  // Undecodable bytes in labelled UTF-8 HTML: UTF-8 out, no NUL.
  const ImportResult broken = import(text_part("text/html; charset=utf-8", "<p>a\xFF\0b</p>"s));
  const std::string bh = bin(broken.message.properties, t::kHtml);
  EXPECT_EQ(bh.find('\0'), std::string::npos);
  EXPECT_TRUE(text::is_valid_utf8(bh));
}

// GMime 3.2.13 stops decoding base64 at padding inside the data.
TEST(MimeBodyTransfer, ChunkedBase64AndQuotedPrintable) {
  const ImportResult b64 = import(text_part("text/plain; charset=us-ascii", "QUJD\nREU=\nRkdI\n",
                                            "Content-Transfer-Encoding: base64\n"));
  EXPECT_EQ(body16(b64), u"ABCDEFGH");
  const ImportResult qp = import(text_part("text/plain; charset=utf-8", "caf=C3=A9 =\nsoft\n",
                                           "Content-Transfer-Encoding: quoted-printable\n"));
  EXPECT_EQ(body16(qp), u"caf\u00E9 soft\r\n");
}

TEST(MimeBodyForms, FlowedEnrichedAndBodiless) {
  const ImportResult flowed =
      import(text_part("text/plain; charset=utf-8; format=flowed",
                       "This is one \nparagraph.\n> quoted \n> on two\n>> deeper\n \n-- \nSig\n"));
  EXPECT_EQ(body16(flowed),
            u"This is one paragraph.\r\n> quoted on two\r\n>> deeper\r\n\r\n-- \r\nSig\r\n");
  const ImportResult delsp =
      import(text_part("text/plain; format=flowed; delsp=yes", "Joined\u0020\nword\n"));
  EXPECT_EQ(body16(delsp), u"Joinedword\r\n");
  const ImportResult fixed = import(text_part("text/plain", "not \nflowed\n"));
  EXPECT_EQ(body16(fixed), u"not \r\nflowed\r\n");

  const ImportResult enriched = import(
      text_part("text/enriched", "<bold>Bold</bold> and\nmore<<x>\n\nnext<param>ignored</param>"));
  EXPECT_EQ(body16(enriched), u"Bold and more<x>\r\nnext");

  // Only a PDF at the top: no body, the PDF is the attachment.
  const ImportResult pdf = import(
      "From: a@x.com\nContent-Type: application/pdf; name=only.pdf\n"
      "Content-Transfer-Encoding: base64\n\nJVBERg==\n");
  EXPECT_EQ(body16(pdf), u"");
  EXPECT_EQ(i32(pdf.message.properties, t::kNativeBody), 0);
  ASSERT_EQ(pdf.message.attachments.size(), 1u);
  EXPECT_EQ(bin(pdf.message.attachments[0].properties, t::kAttachDataBin), "%PDF");

  // Headers only.
  const ImportResult empty = import("From: a@x.com\nSubject: nothing\n");
  EXPECT_FALSE(empty.stand_in);
  EXPECT_EQ(str(empty.message.properties, t::kSubject), "nothing");
  EXPECT_EQ(body16(empty), u"");
}

// Apple Mail puts text, images and more text side by side in multipart/mixed.
TEST(MimeBodyForms, AppleMailAggregate) {
  const std::string m =
      "From: a@x.com\nX-Mailer: Apple Mail (2.3445)\nMIME-Version: 1.0 (Mac OS X Mail 12.4)\n"
      "Content-Type: multipart/mixed; boundary=A\n\n"
      "--A\nContent-Type: text/plain; charset=us-ascii\n\nLook at this:\n"
      "--A\nContent-Type: image/jpeg; name=photo.jpg\nContent-Disposition: inline; "
      "filename=photo.jpg\n\nJPEGDATA\n"
      "--A\nContent-Type: text/html; charset=utf-8\n\n<html><body><p>and <b>this</b> "
      "&lt;3</p></body></html>\n"
      "--A\nContent-Type: application/pdf; name=doc.pdf\nContent-Disposition: inline; "
      "filename=doc.pdf\n\nPDF\n"
      "--A\nContent-Type: text/plain; charset=us-ascii\n\nBye\n--A--\n";
  for (std::string_view name : {"apple.eml", "apple.emlx"}) {
    const std::string file = name.ends_with(".emlx") ? std::to_string(m.size()) + "\n" + m : m;
    const ImportResult r = import(file, name);
    const std::string html = bin(r.message.properties, t::kHtml);
    EXPECT_NE(html.find("Look at this:"), std::string::npos) << name;
    EXPECT_NE(html.find("<img src=\"cid:"), std::string::npos) << name;
    EXPECT_NE(html.find("and <b>this</b>"), std::string::npos) << name;
    EXPECT_EQ(html.find("<html><body><p>and"), std::string::npos) << name;  // wrapper dropped
    EXPECT_NE(html.find("Bye"), std::string::npos) << name;
    EXPECT_EQ(body16(r), u"Look at this:\r\nand this <3\r\nBye");
    ASSERT_EQ(r.message.attachments.size(), 2u) << name;
    const auto& image = r.message.attachments[0].properties;
    EXPECT_EQ(str(image, t::kAttachLongFilename), "photo.jpg");
    EXPECT_TRUE(boolean(image, t::kAttachmentHidden));
    EXPECT_NE(html.find("cid:" + str(image, t::kAttachContentId)), std::string::npos);
    EXPECT_EQ(bin(image, t::kAttachDataBin), "JPEGDATA");
    // The PDF stays a visible attachment.
    EXPECT_FALSE(has(r.message.attachments[1].properties, t::kAttachmentHidden));
    EXPECT_TRUE(boolean(r.message.properties, t::kHasAttach));
  }
  // Not Apple: the same structure follows the ordinary rule.
  std::string other = m;
  other.replace(other.find("X-Mailer: Apple Mail (2.3445)"), 29, "X-Mailer: Other 1.0");
  other.replace(other.find("MIME-Version: 1.0 (Mac OS X Mail 12.4)"), 38, "MIME-Version: 1.0");
  const ImportResult o = import(other);
  EXPECT_EQ(body16(o), u"Look at this:");
  EXPECT_EQ(o.message.attachments.size(), 4u);
}

}  // namespace
}  // namespace larkfield::mime::test
