// Attachments: names, inline images, attached messages, S/MIME (F8-F13, F18).

#include <gtest/gtest.h>

#include "tests/mime/helpers.hpp"

namespace larkfield::mime::test {
namespace {

std::string mixed(std::string_view part_headers, std::string_view part_body = "data") {
  return "From: a@x.com\nSubject: s\nContent-Type: multipart/mixed; boundary=M\n\n"
         "--M\nContent-Type: text/plain\n\nbody\n--M\n" +
         std::string(part_headers) + "\n\n" + std::string(part_body) + "\n--M--\n";
}

std::string name_of(const ImportResult& r, std::size_t i = 0) {
  if (r.message.attachments.size() <= i) {
    ADD_FAILURE() << "no attachment " << i;
    return {};
  }
  return str(r.message.attachments[i].properties, t::kAttachLongFilename);
}

// F11: names in every encoding real mail uses, cleaned for the file system.
TEST(MimeAttachmentNames, DecodedAndSanitized) {
  struct Case {
    std::string headers;
    std::string expected;
  };
  const Case cases[] = {
      {"Content-Type: application/pdf; name=\"plain.pdf\"", "plain.pdf"},
      {"Content-Type: application/pdf\nContent-Disposition: attachment; "
       "filename*=utf-8''%C3%A4%C3%B6%C3%BC.pdf",
       "\xC3\xA4\xC3\xB6\xC3\xBC.pdf"},
      {"Content-Type: application/pdf\nContent-Disposition: attachment; "
       "filename*=iso-8859-1''%C4rip%E4ev.pdf",
       "\xC3\x84rip\xC3\xA4"
       "ev.pdf"},
      {"Content-Type: application/pdf\nContent-Disposition: attachment;\n "
       "filename*0*=utf-8''long%20na;\n filename*1=me.pdf",
       "long name.pdf"},
      // Adjacent padded base64 words, which GMime 3.2.13 cuts short.
      {"Content-Type: application/pdf; name=\"=?UTF-8?B?w6Q=?= =?UTF-8?B?w7Y=?=.pdf\"",
       "\xC3\xA4\xC3\xB6.pdf"},
      {"Content-Type: application/pdf; name==?utf-8?Q?Gr=C3=BC=C3=9Fe.pdf?=",
       "Gr\xC3\xBC\xC3\x9F"
       "e.pdf"},
      {"Content-Type: application/pdf; name=\"Caf\xE9.pdf\"", "Caf\xC3\xA9.pdf"},  // raw 8-bit
      {"Content-Type: application/pdf; name=\"C:\\\\temp\\\\evil.pdf\"", "evil.pdf"},
      {"Content-Type: application/pdf; name=\"../../etc/passwd\"", "passwd"},
      {"Content-Type: application/pdf; name=\"a<b>c|d?.pdf\"", "a_b_c_d_.pdf"},
      {"Content-Type: text/plain; name=\"CON.txt\"", "_CON.txt"},
      {"Content-Type: image/png", "ATT00001.png"},
  };
  for (const auto& c : cases) {
    const ImportResult r = import(mixed(c.headers));
    EXPECT_EQ(name_of(r), c.expected) << c.headers;
  }
  // Filename from the disposition wins over the type's name; extension and 8.3 name.
  const ImportResult both = import(
      mixed("Content-Type: application/pdf; name=\"type.pdf\"\nContent-Disposition: attachment; "
            "filename=\"A long report name.PDF\""));
  const auto& p = both.message.attachments.at(0).properties;
  EXPECT_EQ(str(p, t::kAttachLongFilename), "A long report name.PDF");
  EXPECT_EQ(str(p, t::kAttachExtension), ".PDF");
  EXPECT_EQ(str(p, t::kAttachFilename), "ALONGR~1.PDF");
  EXPECT_EQ(str(p, t::kAttachMimeTag), "application/pdf");
  EXPECT_EQ(i32(p, t::kAttachMethod), 1);
  EXPECT_EQ(i32(p, t::kRenderingPosition), -1);
  EXPECT_EQ(i32(p, t::kAttachSize), 4);
  // Dates of the file from the disposition.
  const ImportResult dated = import(mixed(
      "Content-Type: text/plain; name=a.txt\nContent-Disposition: attachment; filename=a.txt;\n"
      " creation-date=\"Tue, 3 Mar 2020 10:00:00 +0000\";\n"
      " modification-date=\"Wed, 4 Mar 2020 10:00:00 +0000\""));
  EXPECT_EQ(unix_time(dated.message.attachments.at(0).properties, t::kCreationTime), 1583229600);
  EXPECT_EQ(unix_time(dated.message.attachments.at(0).properties, t::kLastModificationTime),
            1583316000);
  // 300 characters are cut to 255 UTF-16 units, keeping the extension.
  const ImportResult longname =
      import(mixed("Content-Type: application/pdf; name=\"" + std::string(300, 'x') + ".pdf\""));
  const std::string n = name_of(longname);
  EXPECT_EQ(n.size(), 255u);
  EXPECT_TRUE(n.ends_with("x.pdf"));
}

// F8, F9: images referenced from the HTML are hidden with their Content-ID; others stay.
TEST(MimeInlineImages, ReferencedHiddenOthersVisible) {
  const ImportResult r = import(
      "From: a@x.com\nContent-Type: multipart/related; boundary=R\n\n"
      "--R\nContent-Type: text/html\n\n<p><img src=\"cid:one%40x\"><img src='cid:two@x'></p>\n"
      "--R\nContent-Type: image/png; name=one.png\nContent-ID: <one@x>\n"
      "Content-Transfer-Encoding: base64\n\niVBORw==\n"
      "--R\nContent-Type: image/jpeg\nContent-ID: <two@x>\n\nJPEG\n"
      "--R\nContent-Type: image/gif; name=unused.gif\nContent-ID: <unused@x>\n\nGIF\n"
      "--R\nContent-Type: application/pdf; name=doc.pdf\nContent-ID: <two@x>\n\nPDF\n"
      "--R--\n");
  const auto& as = r.message.attachments;
  ASSERT_EQ(as.size(), 4u);
  EXPECT_EQ(str(as[0].properties, t::kAttachContentId), "one@x");
  EXPECT_TRUE(boolean(as[0].properties, t::kAttachmentHidden));
  EXPECT_EQ(i32(as[0].properties, t::kAttachFlags), 4);
  EXPECT_EQ(bin(as[0].properties, t::kAttachDataBin), "\x89PNG");
  EXPECT_TRUE(boolean(as[1].properties, t::kAttachmentHidden));
  EXPECT_EQ(name_of(r, 1), "ATT00001.jpg");
  // Not referenced: visible.
  EXPECT_FALSE(has(as[2].properties, t::kAttachmentHidden));
  EXPECT_EQ(i32(as[2].properties, t::kAttachFlags), 0);
  // Referenced but no image: visible, it could not be shown inline.
  EXPECT_FALSE(has(as[3].properties, t::kAttachmentHidden));
  EXPECT_TRUE(boolean(r.message.properties, t::kHasAttach));

  // Only hidden images: no paper clip, and the smart-no-attach hint.
  const ImportResult only = import(
      "From: a@x.com\nContent-Type: multipart/related; boundary=R\n\n"
      "--R\nContent-Type: text/html\n\n<img src=\"cid:i@x\">\n"
      "--R\nContent-Type: image/png\nContent-ID: <i@x>\n\nPNG\n--R--\n");
  EXPECT_FALSE(boolean(only.message.properties, t::kHasAttach));
  EXPECT_EQ(i32(only.message.properties, t::kMessageFlags) & t::kFlagHasAttach, 0);
  bool smart = false;
  for (const auto& n : only.message.named)
    if (n.property_set == t::kPsetidCommon &&
        std::get<std::uint32_t>(n.name) == t::kLidSmartNoAttach)
      smart = std::get<bool>(n.value);
  EXPECT_TRUE(smart);

  // Content-Location references hide too.
  const ImportResult loc = import(
      "From: a@x.com\nContent-Type: multipart/related; boundary=R\n\n"
      "--R\nContent-Type: text/html\n\n<img src=\"http://x/logo.gif\">\n"
      "--R\nContent-Type: image/gif\nContent-Location: http://x/logo.gif\n\nGIF\n--R--\n");
  ASSERT_EQ(loc.message.attachments.size(), 1u);
  EXPECT_EQ(str(loc.message.attachments[0].properties, t::kAttachContentLocation),
            "http://x/logo.gif");
  EXPECT_TRUE(boolean(loc.message.attachments[0].properties, t::kAttachmentHidden));
}

// F10, F12: nothing is dropped: unknown types, inline documents, winmail.dat.
TEST(MimeAttachments, EveryLeafIsKept) {
  const ImportResult r = import(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=M\n\n"
      "--M\nContent-Type: text/plain\n\nbody\n"
      "--M\nContent-Type: application/x-strange-thing\n\n123\n"
      "--M\nContent-Type: application/pdf\nContent-Disposition: inline\n\nPDF\n"
      "--M\nContent-Type: application/ms-tnef; name=winmail.dat\n"
      "Content-Transfer-Encoding: base64\n\neJ8+IgAA\n"
      "--M\nContent-Type: text/calendar; method=REQUEST; charset=utf-8; name=invite.ics\n\n"
      "BEGIN:VCALENDAR\n"
      "--M\nContent-Type: application/octet-stream; name=empty.bin\n\n"
      "--M--\n");
  const auto& as = r.message.attachments;
  ASSERT_EQ(as.size(), 5u);
  EXPECT_EQ(str(as[0].properties, t::kAttachMimeTag), "application/x-strange-thing");
  EXPECT_FALSE(has(as[1].properties, t::kAttachmentHidden));
  EXPECT_EQ(name_of(r, 2), "winmail.dat");
  EXPECT_EQ(bin(as[2].properties, t::kAttachDataBin), std::string("\x78\x9F\x3E\x22\0\0", 6));
  EXPECT_EQ(name_of(r, 3), "invite.ics");
  EXPECT_EQ(str(as[3].properties, t::kTextAttachmentCharset), "utf-8");
  EXPECT_EQ(bin(as[4].properties, t::kAttachDataBin), "");
  for (std::size_t i = 0; i < as.size(); ++i)
    EXPECT_EQ(i32(as[i].properties, t::kAttachNum), static_cast<std::int32_t>(i));
}

std::string nested_messages(int depth) {
  std::string m = "From: leaf@x.com\nSubject: level " + std::to_string(depth) + "\n\nleaf body\n";
  for (int i = depth - 1; i >= 0; --i) {
    m = "From: l" + std::to_string(i) + "@x.com\nSubject: level " + std::to_string(i) +
        "\nContent-Type: multipart/mixed; boundary=B" + std::to_string(i) + "\n\n--B" +
        std::to_string(i) + "\nContent-Type: text/plain\n\nbody " + std::to_string(i) + "\n--B" +
        std::to_string(i) + "\nContent-Type: message/rfc822\n\n" + m + "\n--B" + std::to_string(i) +
        "--\n";
  }
  return m;
}

// F13: forwarded messages are attached messages, recursively, also when base64.
TEST(MimeAttachedMessages, NestedBase64AndDepthLimit) {
  const ImportResult r = import(nested_messages(3));
  const Message* m = &r.message;
  for (int level = 1; level <= 3; ++level) {
    ASSERT_EQ(m->attachments.size(), 1u) << level;
    const Attachment& a = m->attachments[0];
    EXPECT_EQ(i32(a.properties, t::kAttachMethod), 5);
    EXPECT_EQ(str(a.properties, t::kAttachMimeTag), "message/rfc822");
    EXPECT_EQ(str(a.properties, t::kDisplayName), "level " + std::to_string(level));
    ASSERT_NE(a.embedded_message, nullptr);
    m = a.embedded_message.get();
    EXPECT_EQ(str(m->properties, t::kSubject), "level " + std::to_string(level));
    EXPECT_NE(i32(m->properties, t::kMessageFlags) & t::kFlagRead, 0);
    const std::string headers = str(m->properties, t::kTransportMessageHeaders);
    EXPECT_NE(headers.find("Subject: level"), std::string::npos);
    if (level < 3) {
      EXPECT_NE(headers.find("Content-Type: multipart/mixed"), std::string::npos);
    }
    EXPECT_EQ(headers.find("body"), std::string::npos);
  }
  EXPECT_EQ(str(m->properties, t::kBody), "leaf body\r\n");

  // Past max_embedded_depth the inner message is an .eml file, not lost.
  ImportOptions o;
  o.max_embedded_depth = 2;
  const ImportResult limited = import(nested_messages(4), "deep.eml", o);
  const Message& second =
      *limited.message.attachments.at(0).embedded_message->attachments.at(0).embedded_message;
  ASSERT_EQ(second.attachments.size(), 1u);
  const auto& file = second.attachments[0].properties;
  EXPECT_EQ(i32(file, t::kAttachMethod), 1);
  EXPECT_TRUE(str(file, t::kAttachLongFilename).ends_with(".eml"));
  EXPECT_NE(bin(file, t::kAttachDataBin).find("leaf body"), std::string::npos);

  // message/rfc822 sent as base64 is still an attached message.
  const std::string inner = "From: in@x.com\nSubject: inside\n\nhello\n";
  const ImportResult b64 = import(
      "From: a@x.com\nContent-Type: multipart/mixed; boundary=M\n\n--M\nContent-Type: "
      "text/plain\n\n"
      "see attached\n--M\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
      "RnJvbTogaW5AeC5jb20KU3ViamVjdDogaW5zaWRlCgpoZWxsbwo=\n--M--\n");
  ASSERT_EQ(text::base64_decode("RnJvbTogaW5AeC5jb20KU3ViamVjdDogaW5zaWRlCgpoZWxsbwo="), inner);
  ASSERT_EQ(b64.message.attachments.size(), 1u);
  ASSERT_NE(b64.message.attachments[0].embedded_message, nullptr);
  EXPECT_EQ(str(b64.message.attachments[0].embedded_message->properties, t::kSubject), "inside");
}

// F18: clear-signed mail keeps the signed entity byte for byte as its one attachment.
TEST(MimeSmime, ClearSignedAndOpaque) {
  const std::string body =
      "--S\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nsigned text\r\n"
      "--S\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\r\n--S--\r\n";
  const std::string ct =
      " multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256;\r\n"
      "\tboundary=\"S\"";
  const ImportResult r = import(
      "From: a@x.com\r\nSubject: signed\r\nMIME-Version: 1.0\r\n"
      "Content-Type:" +
      ct + "\r\n\r\n" + body);
  EXPECT_EQ(str(r.message.properties, t::kMessageClass), "IPM.Note.SMIME.MultipartSigned");
  EXPECT_EQ(str(r.message.properties, t::kBody), "signed text");
  ASSERT_EQ(r.message.attachments.size(), 1u);
  const auto& a = r.message.attachments[0].properties;
  EXPECT_EQ(str(a, t::kAttachMimeTag), "multipart/signed");
  EXPECT_EQ(str(a, t::kAttachLongFilename), "smime.p7m");
  EXPECT_EQ(bin(a, t::kAttachDataBin), "Content-Type:" + ct + "\r\n\r\n" + body);

  const ImportResult opaque = import(
      "From: a@x.com\nContent-Type: application/pkcs7-mime; smime-type=enveloped-data; "
      "name=smime.p7m\nContent-Transfer-Encoding: base64\n\nMIAGCSqG\n");
  EXPECT_EQ(str(opaque.message.properties, t::kMessageClass), "IPM.Note.SMIME");
  EXPECT_FALSE(has(opaque.message.properties, t::kBody));
  ASSERT_EQ(opaque.message.attachments.size(), 1u);
  EXPECT_EQ(name_of(opaque), "smime.p7m");
  EXPECT_EQ(bin(opaque.message.attachments[0].properties, t::kAttachDataBin),
            text::base64_decode("MIAGCSqG"));
  const NamedProperty* ctype = named(opaque.message, u"Content-Type");
  ASSERT_NE(ctype, nullptr);
  EXPECT_EQ(text::utf16_to_utf8(std::get<std::u16string>(ctype->value)),
            "application/pkcs7-mime; smime-type=enveloped-data; name=smime.p7m");

  // PGP signatures are ordinary multiparts.
  const ImportResult pgp = import(
      "From: a@x.com\nContent-Type: multipart/signed; protocol=\"application/pgp-signature\"; "
      "boundary=P\n\n--P\nContent-Type: text/plain\n\nhi\n--P\nContent-Type: "
      "application/pgp-signature; name=signature.asc\n\nSIG\n--P--\n");
  EXPECT_EQ(str(pgp.message.properties, t::kMessageClass), "IPM.Note");
  EXPECT_EQ(name_of(pgp), "signature.asc");
}

}  // namespace
}  // namespace larkfield::mime::test
