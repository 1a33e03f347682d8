// Message import: envelope, recipients, bodies and attachments of small messages.

#include <gtest/gtest.h>

#include "tests/mime/helpers.hpp"

namespace larkfield::mime::test {
namespace {

constexpr std::string_view kBasic =
    "Received: from mx.example.org by mail.example.com; Tue, 3 Mar 2020 10:05:00 +0000\r\n"
    "From: \"Anna Berg\" <anna@example.org>\r\n"
    "To: Bob <bob@example.com>, carl@example.com\r\n"
    "Cc: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n"
    "Subject: RE: Lunch\r\n"
    "Date: Tue, 3 Mar 2020 11:00:00 +0100\r\n"
    "Message-ID: <abc@example.org>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: multipart/alternative; boundary=\"b2\"\r\n"
    "\r\n"
    "--b2\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "Hello Bob\r\n"
    "--b2\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<html><body><p>Hello <b>Bob</b></p></body></html>\r\n"
    "--b2--\r\n"
    "--b1\r\n"
    "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQK\r\n"
    "--b1--\r\n";

TEST(MimeBasic, HeadersRecipientsBodiesAttachments) {
  const ImportResult r = import(kBasic);
  const Message& m = r.message;
  EXPECT_FALSE(r.stand_in);
  EXPECT_EQ(str(m.properties, t::kMessageClass), "IPM.Note");
  EXPECT_EQ(str(m.properties, t::kSubject), "RE: Lunch");
  EXPECT_EQ(str(m.properties, t::kSubjectPrefix), "RE: ");
  EXPECT_EQ(str(m.properties, t::kNormalizedSubject), "Lunch");
  EXPECT_EQ(str(m.properties, t::kSentRepresentingName), "Anna Berg");
  EXPECT_EQ(str(m.properties, t::kSentRepresentingEmail), "anna@example.org");
  EXPECT_EQ(str(m.properties, t::kDisplayTo), "Bob; carl@example.com");
  EXPECT_EQ(str(m.properties, t::kDisplayCc), "J\xC3\xB6rg");
  EXPECT_EQ(unix_time(m.properties, t::kClientSubmitTime), 1583229600);
  EXPECT_EQ(unix_time(m.properties, t::kMessageDeliveryTime), 1583229900);
  EXPECT_EQ(str(m.properties, t::kBody), "Hello Bob");
  EXPECT_NE(bin(m.properties, t::kHtml).find("<b>Bob</b>"), std::string::npos);
  EXPECT_EQ(i32(m.properties, t::kNativeBody), 3);
  EXPECT_EQ(i32(m.properties, t::kInternetCpid), 65001);
  ASSERT_EQ(m.recipients.size(), 3u);
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(str(m.attachments[0].properties, t::kAttachLongFilename), "report.pdf");
  EXPECT_EQ(bin(m.attachments[0].properties, t::kAttachDataBin), "%PDF-1.4\n");
  EXPECT_EQ(i32(m.properties, t::kMessageFlags), t::kFlagHasAttach);
  for (const auto& w : r.warnings) ADD_FAILURE() << w;
}

}  // namespace
}  // namespace larkfield::mime::test
