// .emlx framing and the clean-up of what precedes the headers.

#include <gtest/gtest.h>

#include "mime/framing.hpp"
#include "tests/mime/helpers.hpp"

namespace larkfield::mime::test {
namespace {

using framing::frame;
using namespace std::string_literals;

const std::string kMessage = "From: a@x.com\nSubject: emlx\n\nbody line\n";
const std::string kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>date-received</key>\n\t<integer>1583672400</integer>\n"
    "\t<key>flags</key>\n\t<integer>33</integer>\n</dict>\n</plist>\n";

TEST(MimeEmlxFraming, ExactByteCountAndPropertyList) {
  const std::string file = std::to_string(kMessage.size()) + "\n" + kMessage + kPlist;
  const auto f = frame(file, "1.emlx");
  EXPECT_TRUE(f.emlx);
  EXPECT_EQ(framing::message(f, file), kMessage);
  ASSERT_TRUE(f.emlx_flags.has_value());
  EXPECT_EQ(*f.emlx_flags, 33u);
  ASSERT_TRUE(f.date_received.has_value());
  EXPECT_EQ(*f.date_received, 1583672400.0);
  EXPECT_TRUE(f.warnings.empty());

  // Trailing blanks and a CR after the count; content decides, not the extension.
  const std::string spaced = std::to_string(kMessage.size()) + "  \r\n" + kMessage + kPlist;
  const auto g = frame(spaced, "x.eml");
  EXPECT_TRUE(g.emlx);
  EXPECT_EQ(framing::message(g, spaced), kMessage);
  EXPECT_FALSE(g.warnings.empty());
}

TEST(MimeEmlxFraming, WrongByteCounts) {
  // Larger than the file: the message ends where the property list starts.
  const std::string big_file = "9999\n" + kMessage + kPlist;
  const auto big = frame(big_file, "2.emlx");
  EXPECT_EQ(framing::message(big, big_file), kMessage);
  EXPECT_EQ(big.emlx_flags.value_or(0), 33u);
  EXPECT_FALSE(big.warnings.empty());
  // Smaller than the message: the bytes up to the property list are all kept.
  const std::string small_file = "10\n" + kMessage + kPlist;
  const auto small = frame(small_file, "3.emlx");
  EXPECT_EQ(framing::message(small, small_file), kMessage);
  EXPECT_FALSE(small.warnings.empty());
  // Larger, and no property list at all.
  const std::string bare_file = "500\n" + kMessage;
  const auto bare = frame(bare_file, "4.emlx");
  EXPECT_EQ(framing::message(bare, bare_file), kMessage);
  EXPECT_FALSE(bare.emlx_flags.has_value());
  // Not a count: an .emlx without framing is read as a plain message.
  const auto plain = frame(kMessage, "5.emlx");
  EXPECT_FALSE(plain.emlx);
  EXPECT_EQ(framing::message(plain, kMessage), kMessage);
  EXPECT_FALSE(plain.warnings.empty());
}

TEST(MimeEmlxFraming, ReadFlagAndDatesReachTheMessage) {
  const std::string file = std::to_string(kMessage.size()) + "\n" + kMessage + kPlist;
  const ImportResult r = import(file, "6.emlx");
  EXPECT_TRUE(r.has_read_flag);
  EXPECT_TRUE(r.read);
  EXPECT_NE(i32(r.message.properties, t::kMessageFlags) & t::kFlagRead, 0);
  // No Date, no Received: both times come from the property list.
  EXPECT_EQ(unix_time(r.message.properties, t::kMessageDeliveryTime), 1583672400);
  EXPECT_EQ(unix_time(r.message.properties, t::kClientSubmitTime), 1583672400);
  EXPECT_EQ(str(r.message.properties, t::kBody), "body line\r\n");
  // The count line and the list are not headers.
  EXPECT_EQ(str(r.message.properties, t::kTransportMessageHeaders),
            "From: a@x.com\r\nSubject: emlx\r\n");

  std::string unread = file;
  unread.replace(unread.find(">33<"), 4, ">32<");
  const ImportResult u = import(unread, "7.emlx");
  EXPECT_TRUE(u.has_read_flag);
  EXPECT_FALSE(u.read);
  EXPECT_EQ(i32(u.message.properties, t::kMessageFlags) & t::kFlagRead, 0);

  // A Received header beats the property list for delivery; Date beats it for sent.
  const std::string dated =
      "Received: by h; Sun, 8 Mar 2020 09:00:00 +0000\nDate: Sun, 8 Mar 2020 "
      "08:00:00 +0000\n" +
      kMessage;
  const ImportResult d = import(std::to_string(dated.size()) + "\n" + dated + kPlist, "8.emlx");
  EXPECT_EQ(unix_time(d.message.properties, t::kMessageDeliveryTime), 1583658000);
  EXPECT_EQ(unix_time(d.message.properties, t::kClientSubmitTime), 1583654400);
}

TEST(MimeEmlFraming, BomBlankLinesNulAndMboxLine) {
  const std::string bom = "\xEF\xBB\xBF\r\n\r\n  \n" + kMessage;
  const auto f = frame(bom, "a.eml");
  EXPECT_FALSE(f.emlx);
  EXPECT_FALSE(f.use_cleaned);  // nothing to change: a view into the file
  EXPECT_EQ(framing::message(f, bom), kMessage);
  const std::string nul_file = "From: a@x.com\nSubject: a\0b\n\nbody\0kept\n"s;
  const auto n = frame(nul_file, "n.eml");
  EXPECT_TRUE(n.use_cleaned);
  EXPECT_EQ(framing::message(n, nul_file), "From: a@x.com\nSubject: a b\n\nbody\0kept\n"s);
  const ImportResult r = import("\xEF\xBB\xBF\n\nFrom: a@x.com\nSubject: after blank\n\nb\n");
  EXPECT_EQ(str(r.message.properties, t::kSubject), "after blank");
  // A NUL inside a header does not cut the value.
  const ImportResult nul = import("From: a@x.com\nSubject: ab\0cd\n\nb\n"s);
  EXPECT_EQ(str(nul.message.properties, t::kSubject), "ab cd");
  const ImportResult mbox = import(
      "From someone@x.com Sat Jan  1 00:00:00 2000\nFrom: a@x.com\n"
      "Subject: mbox\n\nb\n");
  EXPECT_EQ(str(mbox.message.properties, t::kSubject), "mbox");
}

}  // namespace
}  // namespace larkfield::mime::test
