// Message import: envelope, people, recipients, times and flags of small messages.

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

std::string simple(std::string_view headers, std::string_view body = "body\n") {
  return std::string(headers) + "\n" + std::string(body);
}

TEST(MimeBasic, HeadersRecipientsBodiesAttachments) {
  const ImportResult r = import(kBasic);
  const Message& m = r.message;
  EXPECT_FALSE(r.stand_in);
  EXPECT_FALSE(r.has_read_flag);
  EXPECT_EQ(str(m.properties, t::kMessageClass), "IPM.Note");
  EXPECT_EQ(str(m.properties, t::kSubject), "RE: Lunch");
  EXPECT_EQ(str(m.properties, t::kSentRepresentingName), "Anna Berg");
  EXPECT_EQ(str(m.properties, t::kDisplayTo), "Bob; carl@example.com");
  EXPECT_EQ(str(m.properties, t::kDisplayCc), "J\xC3\xB6rg");
  EXPECT_EQ(str(m.properties, t::kDisplayBcc), "");
  EXPECT_EQ(str(m.properties, t::kBody), "Hello Bob");
  EXPECT_NE(bin(m.properties, t::kHtml).find("<b>Bob</b>"), std::string::npos);
  EXPECT_EQ(i32(m.properties, t::kNativeBody), 3);
  EXPECT_EQ(i32(m.properties, t::kInternetCpid), 65001);
  EXPECT_EQ(str(m.properties, t::kInternetMessageId), "<abc@example.org>");
  EXPECT_EQ(i32(m.properties, t::kImportance), 1);
  EXPECT_EQ(i32(m.properties, t::kSensitivity), 0);
  EXPECT_EQ(i32(m.properties, t::kMessageSize), static_cast<std::int32_t>(kBasic.size()));
  ASSERT_EQ(m.recipients.size(), 3u);
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(str(m.attachments[0].properties, t::kAttachLongFilename), "report.pdf");
  EXPECT_EQ(bin(m.attachments[0].properties, t::kAttachDataBin), "%PDF-1.4\n");
  for (const auto& w : r.warnings) ADD_FAILURE() << "unexpected warning: " << w;
}

// F1, F2: sent time from Date in UTC whatever the zone; delivery time from the newest
// Received, then the .emlx date, then Date; never the import time while a date exists.
TEST(MimeTimes, ZonesAndTheDeliveryChain) {
  struct Case {
    std::string_view date;
    std::int64_t utc;
  };
  const Case cases[] = {
      {"Wed, 1 Jan 2020 13:00:00 +1300", 1577836800},
      {"Wed, 1 Jan 2020 00:00:00 -0930", 1577871000},
      {"Wed, 1 Jan 2020 00:00:00 EST", 1577854800},
      {"Wed, 1 Jan 2020 00:00:00 UT", 1577836800},
      {"1 Jan 2020 00:00:00 +0000", 1577836800},     // no day of week
      {"Wed, 1 Jan 20 00:00:00 +0000", 1577836800},  // two-digit year
      {"Wed, 1 Jan 2020 00:00:00", 1577836800},      // no zone: read as UTC
  };
  for (const auto& c : cases) {
    const ImportResult r =
        import(simple("From: a@example.org\nDate: " + std::string(c.date) + "\n"));
    EXPECT_EQ(unix_time(r.message.properties, t::kClientSubmitTime), c.utc) << c.date;
    // No Received header: delivery falls back to Date, not to now.
    EXPECT_EQ(unix_time(r.message.properties, t::kMessageDeliveryTime), c.utc) << c.date;
  }

  // The topmost Received is the newest hop; an unparsable one is skipped.
  const ImportResult r =
      import(simple("Received: from a by b; garbage date\n"
                    "Received: from c by d; Thu, 2 Jan 2020 10:00:00 +0200\n"
                    "Received: from e by f; Thu, 2 Jan 2020 07:00:00 +0000\n"
                    "From: a@example.org\nDate: Wed, 1 Jan 2020 00:00:00 +0000\n"));
  EXPECT_EQ(unix_time(r.message.properties, t::kMessageDeliveryTime), 1577952000);
  EXPECT_EQ(unix_time(r.message.properties, t::kClientSubmitTime), 1577836800);

  // Exchange's arrival stamp stands in for a missing Received.
  const ImportResult stamp = import(simple(
      "From: a@x.com\nDate: Wed, 27 Nov 2013 09:00:00 +0000\n"
      "X-OriginalArrivalTime: 27 Nov 2013 09:25:55.0812 (UTC) FILETIME=[7C80D9C0:01CEEB52]\n"));
  EXPECT_EQ(unix_time(stamp.message.properties, t::kMessageDeliveryTime),
            1385544274);  // from FILETIME

  // Broken Date: sent time comes from Received, and a warning says so.
  const ImportResult broken =
      import(simple("Received: from c by d; Thu, 2 Jan 2020 10:00:00 +0000\n"
                    "From: a@example.org\nDate: Mon, 32 Foo 2020 99:99:99 +0000\n"));
  EXPECT_EQ(unix_time(broken.message.properties, t::kClientSubmitTime), 1577959200);
  EXPECT_EQ(unix_time(broken.message.properties, t::kMessageDeliveryTime), 1577959200);
  bool warned = false;
  for (const auto& w : broken.warnings) warned |= w.find("Date header") != std::string::npos;
  EXPECT_TRUE(warned);

  // No date at all: the only case that uses the import time, with a warning.
  const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const ImportResult none = import(simple("From: a@example.org\nSubject: x\n"));
  EXPECT_GE(unix_time(none.message.properties, t::kMessageDeliveryTime), before);
  EXPECT_FALSE(none.warnings.empty());
}

// F3, F22: a draft only when saved as one (X-Unsent: 1); the paper clip only with
// visible attachments.
TEST(MimeFlags, UnsentOnlyForDraftsAndHasAttachOnlyWhenTrue) {
  const ImportResult draft = import(simple("From: a@example.org\nX-Unsent: 1\nSubject: d\n"));
  EXPECT_EQ(i32(draft.message.properties, t::kMessageFlags) & (t::kFlagUnsent | t::kFlagRead),
            t::kFlagUnsent | t::kFlagRead);
  const ImportResult sent = import(simple("From: a@example.org\nX-Unsent: 0\nSubject: d\n"));
  const std::int32_t flags = i32(sent.message.properties, t::kMessageFlags);
  EXPECT_EQ(flags & t::kFlagUnsent, 0);
  EXPECT_EQ(flags & t::kFlagHasAttach, 0);
  EXPECT_EQ(flags & 0x300, 0);  // no receipt pending flags
  EXPECT_FALSE(boolean(sent.message.properties, t::kHasAttach));
  EXPECT_EQ(flags & t::kFlagRead, 0);  // an .eml says nothing about read state

  const ImportResult with = import(kBasic);
  EXPECT_TRUE(boolean(with.message.properties, t::kHasAttach));
  EXPECT_NE(i32(with.message.properties, t::kMessageFlags) & t::kFlagHasAttach, 0);
}

// F5: encoded words in any charset, adjacent padded base64 words, raw 8-bit headers.
TEST(MimeSubject, EncodedWordsAndRaw8Bit) {
  struct Case {
    std::string subject;
    std::string expected;
  };
  const Case cases[] = {
      // GMime 3.2.13 decodes this pair to the first word only.
      {"=?UTF-8?B?w6Q=?= =?UTF-8?B?w7Y=?=", "\xC3\xA4\xC3\xB6"},
      {"=?utf-8?B?w6Q=?=\n =?utf-8?B?w7Y=?= x", "\xC3\xA4\xC3\xB6 x"},
      {"=?windows-1251?B?z/Do4uXy?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"=?koi8-r?Q?=F0=D2=C9=D7=C5=D4?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"=?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=",
       "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"},
      {"=?gb2312?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"=?iso-8859-1?Q?Caf=E9?= au lait", "Caf\xC3\xA9 au lait"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       "Gr\xC3\xBC\xC3\x9F"
       "e"},                       // raw UTF-8
      {"Caf\xE9", "Caf\xC3\xA9"},  // raw windows-1252
  };
  for (const auto& c : cases) {
    const ImportResult r = import(simple("From: a@example.org\nSubject: " + c.subject + "\n"));
    EXPECT_EQ(str(r.message.properties, t::kSubject), c.expected) << c.subject;
  }
  // Raw cp1251 reads as Cyrillic only when that is the legacy charset.
  const std::string raw =
      simple("From: \xCF\xE5\xF2\xF0 <p@example.ru>\nSubject: \xCF\xF0\xE8\xE2\xE5\xF2\n");
  ImportOptions ru;
  ru.legacy_charset = "windows-1251";
  const ImportResult cyr = import(raw, "ru.eml", ru);
  EXPECT_EQ(str(cyr.message.properties, t::kSubject),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(str(cyr.message.properties, t::kSentRepresentingName),
            "\xD0\x9F\xD0\xB5\xD1\x82\xD1\x80");
  const ImportResult west = import(raw);
  EXPECT_EQ(str(west.message.properties, t::kSubject),
            "\xC3\x8F\xC3\xB0\xC3\xA8\xC3\xA2\xC3\xA5\xC3\xB2");
  // Neither legacy charset nor windows-1252 can read 0x81: ISO-8859-1 is the last resort.
  const ImportResult last = import(simple("From: a@example.org\nSubject: a\x81z\n"));
  EXPECT_EQ(str(last.message.properties, t::kSubject), "a\xC2\x81z");
}

TEST(MimeSubject, PrefixNormalizedAndTopic) {
  struct Case {
    std::string_view subject, prefix, normalized;
  };
  const Case cases[] = {
      {"RE: Lunch", "RE: ", "Lunch"},
      {"Re:   x", "Re: ", "x"},
      {"Fwd: x", "Fwd: ", "x"},
      {"AW: x", "AW: ", "x"},
      {"Antw: x", "", "Antw: x"},
      {"2: x", "", "2: x"},
      {"Re: Re: x", "Re: ", "Re: x"},
      {"No prefix", "", "No prefix"},
      {"Re:x", "Re: ", "x"},
      {"[list]: x", "", "[list]: x"},
      {"\xD0\x9D\xD0\xB0: x", "\xD0\x9D\xD0\xB0: ", "x"},  // two Cyrillic letters
  };
  for (const auto& c : cases) {
    const ImportResult r =
        import(simple("From: a@example.org\nSubject: " + std::string(c.subject) + "\n"));
    EXPECT_EQ(str(r.message.properties, t::kSubjectPrefix), c.prefix) << c.subject;
    EXPECT_EQ(str(r.message.properties, t::kNormalizedSubject), c.normalized) << c.subject;
    EXPECT_EQ(str(r.message.properties, t::kConversationTopic), c.normalized) << c.subject;
  }
  const ImportResult none = import(simple("From: a@example.org\n"));
  EXPECT_EQ(str(none.message.properties, t::kSubject), "");
  EXPECT_EQ(str(none.message.properties, t::kNormalizedSubject), "");
  const ImportResult topic =
      import(simple("From: a@example.org\nSubject: RE: x\nThread-Topic: The topic\n"));
  EXPECT_EQ(str(topic.message.properties, t::kConversationTopic), "The topic");
}

// F14: both sender groups, with one-off entry ids and search keys.
TEST(MimePeople, SenderAndSentRepresenting) {
  const ImportResult r = import(simple("From: J\xC3\xB6rg <j@x.de>\n"));
  const auto& p = r.message.properties;
  EXPECT_EQ(str(p, t::kSentRepresentingName), "J\xC3\xB6rg");
  EXPECT_EQ(str(p, t::kSentRepresentingAddrType), "SMTP");
  EXPECT_EQ(str(p, t::kSentRepresentingSmtp), "j@x.de");
  EXPECT_EQ(bin(p, t::kSentRepresentingSearchKey), std::string("SMTP:J@X.DE\0", 12));
  const std::string expected_id =
      std::string(
          "\0\0\0\0\x81\x2B\x1F\xA4\xBE\xA3\x10\x19\x9D\x6E\x00\xDD\x01\x0F\x54\x02"
          "\0\0\x01\x90",
          24) +
      std::string("J\0\xF6\0r\0g\0\0\0S\0M\0T\0P\0\0\0j\0@\0x\0.\0d\0e\0\0\0", 34);
  EXPECT_EQ(bin(p, t::kSentRepresentingEntryId), expected_id);
  // No Sender: the sender group repeats From.
  EXPECT_EQ(str(p, t::kSenderName), "J\xC3\xB6rg");
  EXPECT_EQ(bin(p, t::kSenderEntryId), expected_id);

  const ImportResult behalf =
      import(simple("From: Boss <boss@x.com>\nSender: Assistant <asst@x.com>\n"));
  EXPECT_EQ(str(behalf.message.properties, t::kSentRepresentingEmail), "boss@x.com");
  EXPECT_EQ(str(behalf.message.properties, t::kSenderEmail), "asst@x.com");
  EXPECT_EQ(str(behalf.message.properties, t::kSenderName), "Assistant");

  // Sender naming the From mailbox again (another spelling) is not "on behalf of".
  const ImportResult self =
      import(simple("From: Boss <boss@x.com>\nSender: B. Oss <BOSS@x.com>\n"));
  EXPECT_EQ(str(self.message.properties, t::kSenderName), "Boss");
  EXPECT_EQ(bin(self.message.properties, t::kSenderEntryId),
            bin(self.message.properties, t::kSentRepresentingEntryId));

  // Several From mailboxes: the first one; no display name: the address.
  const ImportResult two = import(simple("From: first@x.com, Second <second@x.com>\n"));
  EXPECT_EQ(str(two.message.properties, t::kSentRepresentingName), "first@x.com");
  // Encoded word inside quotes, comma inside quotes.
  const ImportResult quoted =
      import(simple("From: \"=?utf-8?B?w6Q=?= =?utf-8?B?w7Y=?=, Dr.\" <d@x.com>\n"));
  EXPECT_EQ(str(quoted.message.properties, t::kSentRepresentingName), "\xC3\xA4\xC3\xB6, Dr.");
  // No From: Sender, then Return-Path.
  const ImportResult rp = import(simple("Return-Path: <bounce@x.com>\nSubject: s\n"));
  EXPECT_EQ(str(rp.message.properties, t::kSentRepresentingEmail), "bounce@x.com");
}

// F15: recipient rows with every column, display lists, groups and odd forms.
TEST(MimeRecipients, RowsGroupsAndDisplayLists) {
  const ImportResult r =
      import(simple("From: a@x.com\n"
                    "To: Team: one@x.com, Two <two@x.com>;, three@x.com\n"
                    "To: four@x.com\n"
                    "Cc: undisclosed-recipients:;\n"
                    "Bcc: =?windows-1251?B?z/Do4uXy?= <hidden@x.com>\n"));
  const Message& m = r.message;
  ASSERT_EQ(m.recipients.size(), 5u);
  EXPECT_EQ(str(m.properties, t::kDisplayTo), "one@x.com; Two; three@x.com; four@x.com");
  EXPECT_EQ(str(m.properties, t::kDisplayCc), "");
  EXPECT_EQ(str(m.properties, t::kDisplayBcc), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  const auto& row = m.recipients[1].properties;
  EXPECT_EQ(i32(row, t::kRowId), 1);
  EXPECT_EQ(i32(row, t::kRecipientType), 1);
  EXPECT_EQ(str(row, t::kDisplayName), "Two");
  EXPECT_EQ(str(row, t::kAddrType), "SMTP");
  EXPECT_EQ(str(row, t::kEmailAddress), "two@x.com");
  EXPECT_EQ(str(row, t::kSmtpAddress), "two@x.com");
  EXPECT_EQ(bin(row, t::kSearchKey), std::string("SMTP:TWO@X.COM\0", 15));
  EXPECT_EQ(bin(row, t::kEntryId).substr(4, 16),
            std::string("\x81\x2B\x1F\xA4\xBE\xA3\x10\x19\x9D\x6E\x00\xDD\x01\x0F\x54\x02", 16));
  EXPECT_EQ(bin(row, t::kRecordKey), bin(row, t::kEntryId));
  EXPECT_EQ(i32(row, t::kObjectType), 6);
  EXPECT_EQ(i32(row, t::kDisplayType), 0);
  EXPECT_TRUE(boolean(row, t::kResponsibility));
  EXPECT_FALSE(boolean(row, t::kSendRichInfo));
  EXPECT_EQ(str(row, t::k7BitDisplayName), "Two");
  EXPECT_EQ(i32(m.recipients[4].properties, t::kRecipientType), 3);

  // Text that is no address is no recipient row (a row without an address type stops
  // readers); it stays in the display line.
  const ImportResult odd = import(simple("From: a@x.com\nTo: John Smith\nCc: j@x.com\n"));
  ASSERT_EQ(odd.message.recipients.size(), 1u);
  EXPECT_EQ(str(odd.message.recipients[0].properties, t::kEmailAddress), "j@x.com");
  EXPECT_EQ(i32(odd.message.recipients[0].properties, t::kRowId), 0);
  EXPECT_EQ(str(odd.message.properties, t::kDisplayTo), "John Smith");

  // Punycode domains keep their ASCII form for the address.
  const ImportResult idn = import(simple("From: a@x.com\nTo: user@xn--bcher-kva.example\n"));
  ASSERT_EQ(idn.message.recipients.size(), 1u);
  EXPECT_EQ(str(idn.message.recipients[0].properties, t::kEmailAddress),
            "user@xn--bcher-kva.example");
}

TEST(MimeHeaders, ReplyToImportanceSensitivityIds) {
  const ImportResult r =
      import(simple("From: a@x.com\n"
                    "Reply-To: One <one@x.com>, two@x.com\n"
                    "X-Priority: 1 (Highest)\n"
                    "Sensitivity: Company-Confidential\n"
                    "Priority: urgent\n"
                    "Message-ID: <m2@x.com>\n"
                    "In-Reply-To: <m1@x.com>\n"
                    "References: <m0@x.com>\n <m1@x.com>\n"));
  const auto& p = r.message.properties;
  EXPECT_EQ(i32(p, t::kImportance), 2);  // Priority wins over X-Priority
  EXPECT_EQ(i32(p, t::kPriority), 1);
  EXPECT_EQ(i32(p, t::kSensitivity), 3);
  EXPECT_EQ(str(p, t::kInReplyToId), "<m1@x.com>");
  EXPECT_EQ(str(p, t::kInternetReferences), "<m0@x.com> <m1@x.com>");
  EXPECT_EQ(str(p, t::kReplyRecipientNames), "One; two@x.com");
  const std::string list = bin(p, t::kReplyRecipientEntries);
  ASSERT_GE(list.size(), 8u);
  EXPECT_EQ(list[0], 2);  // two entries
  const auto le32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(list[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(list[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(list[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(list[at + 3])) << 24;
  };
  // Entries of 62 and 74 bytes, each padded to a multiple of 4 after its size field.
  EXPECT_EQ(le32(4), list.size() - 8);
  EXPECT_EQ(le32(4), 148u);
  EXPECT_EQ(le32(8), 62u);
  EXPECT_EQ(le32(76), 74u);

  // References over 64 KB are cut after a whole message id.
  std::string refs;
  for (int i = 0; refs.size() < 70000; ++i) refs += " <id" + std::to_string(i) + "@x.com>";
  const ImportResult many = import(simple("From: a@x.com\nReferences:" + refs + "\n"));
  const std::string kept = str(many.message.properties, t::kInternetReferences);
  EXPECT_LE(kept.size(), 65536u);
  EXPECT_GT(kept.size(), 65000u);
  EXPECT_TRUE(kept.ends_with(">"));
  EXPECT_TRUE(kept.starts_with("<id0@x.com> <id1@x.com>"));

  const ImportResult low = import(simple("From: a@x.com\nImportance: low\nX-Priority: 1\n"));
  EXPECT_EQ(i32(low.message.properties, t::kImportance), 0);
  const ImportResult ms = import(simple("From: a@x.com\nX-MSMail-Priority: High\n"));
  EXPECT_EQ(i32(ms.message.properties, t::kImportance), 2);
  // Reply-To equal to From is left out.
  const ImportResult same = import(simple("From: A <a@x.com>\nReply-To: a@X.com\n"));
  EXPECT_FALSE(has(same.message.properties, t::kReplyRecipientEntries));
  EXPECT_FALSE(has(same.message.properties, t::kReplyRecipientNames));
}

// F17: replies of one thread share the GUID part of a generated conversation index.
TEST(MimeHeaders, ConversationIndex) {
  const ImportResult a =
      import(simple("From: a@x.com\nMessage-ID: <root@x>\nDate: Wed, 1 Jan 2020 00:00:00 +0000\n"));
  const ImportResult b = import(simple(
      "From: b@x.com\nMessage-ID: <reply@x>\nReferences: <root@x>\nIn-Reply-To: <root@x>\n"));
  const std::string ia = bin(a.message.properties, t::kConversationIndex);
  const std::string ib = bin(b.message.properties, t::kConversationIndex);
  ASSERT_EQ(ia.size(), 22u);
  ASSERT_EQ(ib.size(), 22u);
  EXPECT_EQ(ia[0], 1);
  EXPECT_EQ(ia.substr(6), ib.substr(6));
  // Search keys: from the Message-ID, and distinct for messages without one.
  EXPECT_EQ(bin(a.message.properties, t::kSearchKey).size(), 16u);
  EXPECT_EQ(bin(a.message.properties, t::kSearchKey),
            bin(import(simple("From: other@x.com\nMessage-ID: <root@x>\n")).message.properties,
                t::kSearchKey));
  EXPECT_NE(bin(import(simple("From: a@x.com\nSubject: one\n")).message.properties, t::kSearchKey),
            bin(import(simple("From: a@x.com\nSubject: two\n")).message.properties, t::kSearchKey));
  // A valid Thread-Index is taken as it is.
  const ImportResult c =
      import(simple("From: a@x.com\nThread-Index: AQHVwA2Lq2x2f3QjR0eQ0yM0xK0n9Q==\n"));
  EXPECT_EQ(bin(c.message.properties, t::kConversationIndex),
            text::base64_decode("AQHVwA2Lq2x2f3QjR0eQ0yM0xK0n9Q=="));
}

// F16: the whole top-level header block, CRLF, without Exchange-internal fields.
TEST(MimeHeaders, TransportHeaders) {
  const ImportResult r = import(
      "Received: from a by b; Thu, 2 Jan 2020 10:00:00 +0000\n"
      "X-MS-Exchange-Organization-SCL: 1\n"
      "From: a@x.com\n"
      "Subject: folded\n  subject\n"
      "\n"
      "Body text\n");
  EXPECT_EQ(str(r.message.properties, t::kTransportMessageHeaders),
            "Received: from a by b; Thu, 2 Jan 2020 10:00:00 +0000\r\n"
            "From: a@x.com\r\n"
            "Subject: folded\r\n  subject\r\n");
  EXPECT_EQ(str(r.message.properties, t::kSubject), "folded  subject");
}

// F23: receipt requests are only mapped when asked for.
TEST(MimeHeaders, ReadReceiptRequests) {
  const std::string m = simple("From: a@x.com\nDisposition-Notification-To: a@x.com\n");
  const ImportResult off = import(m);
  EXPECT_FALSE(has(off.message.properties, t::kReadReceiptRequested));
  EXPECT_NE(
      str(off.message.properties, t::kTransportMessageHeaders).find("Disposition-Notification-To"),
      std::string::npos);
  ImportOptions o;
  o.keep_receipt_requests = true;
  const ImportResult on = import(m, "x.eml", o);
  EXPECT_TRUE(boolean(on.message.properties, t::kReadReceiptRequested));
  EXPECT_EQ(bin(on.message.properties, t::kReadReceiptSearchKey),
            std::string("SMTP:A@X.COM\0", 13));
  EXPECT_EQ(i32(on.message.properties, t::kMessageFlags) & 0x300, 0);
  EXPECT_FALSE(has(on.message.properties, t::kOriginatorDeliveryReportRequested));
  const ImportResult rrt =
      import(simple("From: a@x.com\nReturn-Receipt-To: a@x.com\n"), "r.eml", o);
  EXPECT_TRUE(boolean(rrt.message.properties, t::kOriginatorDeliveryReportRequested));
  EXPECT_FALSE(has(rrt.message.properties, t::kReadReceiptRequested));
  EXPECT_FALSE(has(import(simple("From: a@x.com\nReturn-Receipt-To: a@x.com\n")).message.properties,
                   t::kOriginatorDeliveryReportRequested));
}

TEST(MimeHeaders, NamedPropertiesAndLists) {
  const ImportResult r = import(simple(
      "From: a@x.com\nKeywords: Work, Travel ,\nContent-Class: urn:content-classes:message\n"
      "X-Mailer: Tester 1.0\nList-Unsubscribe: <mailto:leave@x.com>\nX-List-Help: <mailto:h@x>\n"));
  const NamedProperty* kw = named(r.message, u"Keywords");
  ASSERT_NE(kw, nullptr);
  EXPECT_EQ(kw->property_set, t::kPsPublicStrings);
  EXPECT_EQ(std::get<std::vector<std::u16string>>(kw->value),
            (std::vector<std::u16string>{u"Work", u"Travel"}));
  const NamedProperty* cc = named(r.message, u"Content-Class");
  ASSERT_NE(cc, nullptr);
  EXPECT_EQ(cc->property_set, t::kPsInternetHeaders);
  EXPECT_EQ(std::get<std::u16string>(cc->value), u"urn:content-classes:message");
  ASSERT_NE(named(r.message, u"X-Mailer"), nullptr);
  EXPECT_EQ(str(r.message.properties, t::kListUnsubscribe), "<mailto:leave@x.com>");
  EXPECT_EQ(str(r.message.properties, t::kListHelp), "<mailto:h@x>");
}

}  // namespace
}  // namespace larkfield::mime::test
