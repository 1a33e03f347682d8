// winmail.dat: its attachments and body become ours; damaged streams stay as the file (F12).

#include <gtest/gtest.h>

#include "mime/tnef.hpp"
#include "tests/mime/helpers.hpp"

namespace larkfield::mime::test {
namespace {

// Writes TNEF streams the way the format lays them out, for the tests.
class TnefWriter {
 public:
  TnefWriter() {
    u32(out_, 0x223E9F78);
    u16(out_, 0x0001);
  }
  TnefWriter& attribute(std::uint8_t level, std::uint32_t id, const std::string& data,
                        bool good_checksum = true) {
    out_ += static_cast<char>(level);
    u32(out_, id);
    u32(out_, static_cast<std::uint32_t>(data.size()));
    out_ += data;
    std::uint32_t sum = 0;
    for (char c : data) sum += static_cast<std::uint8_t>(c);
    u16(out_, static_cast<std::uint16_t>(good_checksum ? sum : sum + 1));
    return *this;
  }
  std::string str() const { return out_; }

  static void u16(std::string& s, std::uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
  }
  static void u32(std::string& s, std::uint32_t v) {
    u16(s, static_cast<std::uint16_t>(v & 0xFFFF));
    u16(s, static_cast<std::uint16_t>(v >> 16));
  }
  // A property list: count, then tag + value per property.
  struct Props {
    std::string body;
    std::uint32_t count = 0;
    Props& variable(std::uint32_t tag, const std::string& value) {
      u32(body, tag);
      u32(body, 1);
      u32(body, static_cast<std::uint32_t>(value.size()));
      body += value;
      body.append((4 - value.size() % 4) % 4, '\0');
      ++count;
      return *this;
    }
    Props& fixed(std::uint32_t tag, std::uint32_t value) {
      u32(body, tag);
      u32(body, value);
      ++count;
      return *this;
    }
    Props& named_long(std::uint32_t value) {  // a named property we read past
      u32(body, 0x80000003);
      body.append(16, '\x11');
      u32(body, 0);
      u32(body, 0x8514);
      u32(body, value);
      ++count;
      return *this;
    }
    std::string str() const {
      std::string s;
      u32(s, count);
      return s + body;
    }
  };

 private:
  std::string out_;
};

std::string utf16le(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out + std::string(2, '\0');
}

std::string winmail(const std::string& correlation_key) {
  TnefWriter w;
  w.attribute(1, 0x00089006, std::string("\0\0\1\0", 4))
      .attribute(1, 0x00069007, std::string("\xE4\x04\0\0\0\0\0\0", 8))  // code page 1252
      .attribute(1, 0x00078008, std::string("IPM.Note\0", 9));
  TnefWriter::Props msg;
  msg.variable(0x10090102, "RTF-COMPRESSED-BYTES")
      .variable(0x007F0102, correlation_key + std::string(1, '\0'))
      .named_long(1);
  w.attribute(1, 0x00069003, msg.str());
  // First attachment: 8-bit title only.
  w.attribute(2, 0x00069002, std::string(14, '\0'))
      .attribute(2, 0x00018010, std::string("R\xE9sum\xE9.doc\0", 11))
      .attribute(2, 0x0006800F, "DOC-BYTES")
      .attribute(2, 0x00038013, std::string("\xE4\x07\x03\0\x04\0\x0A\0\0\0\0\0\x03\0", 14));
  // Second: long name, MIME type and content id from its property list.
  TnefWriter::Props att;
  att.variable(0x3707001F, utf16le(u"Quarterly \u00FCbersicht.xlsx"))
      .variable(0x370E001E, std::string("application/vnd.ms-excel\0", 25))
      .fixed(0x37050003, 1);
  w.attribute(2, 0x00069002, std::string(14, '\0'))
      .attribute(2, 0x00018010, std::string("QUARTE~1.XLS\0", 13))
      .attribute(2, 0x0006800F, "XLSX-BYTES", /*good_checksum=*/false)
      .attribute(2, 0x00069005, att.str());
  return w.str();
}

std::string base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t v = static_cast<std::uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<std::uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<std::uint8_t>(in[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    if (out.size() % 77 == 76) out += '\n';
  }
  return out;
}

std::string mail_with(const std::string& tnef, std::string_view message_id = "<m1@x.com>") {
  return "From: a@x.com\nMessage-ID: " + std::string(message_id) +
         "\nContent-Type: multipart/mixed; boundary=M\n\n--M\nContent-Type: text/plain\n\n"
         "Body text\n--M\nContent-Type: application/ms-tnef; name=winmail.dat\n"
         "Content-Transfer-Encoding: base64\n\n" +
         base64(tnef) + "\n--M--\n";
}

TEST(MimeTnef, AttachmentsAndBodyUnpacked) {
  const ImportResult r = import(mail_with(winmail("<m1@x.com>")));
  const auto& as = r.message.attachments;
  ASSERT_EQ(as.size(), 2u);
  EXPECT_EQ(str(as[0].properties, t::kAttachLongFilename), "R\xC3\xA9sum\xC3\xA9.doc");
  EXPECT_EQ(bin(as[0].properties, t::kAttachDataBin), "DOC-BYTES");
  EXPECT_EQ(unix_time(as[0].properties, t::kLastModificationTime), 1583316000);  // 2020-03-04 10:00
  EXPECT_EQ(str(as[1].properties, t::kAttachLongFilename),
            "Quarterly \xC3\xBC"
            "bersicht.xlsx");
  EXPECT_EQ(str(as[1].properties, t::kAttachMimeTag), "application/vnd.ms-excel");
  EXPECT_EQ(bin(as[1].properties, t::kAttachDataBin), "XLSX-BYTES");
  // The stream belongs to this message: its RTF body is kept, the MIME text stays.
  EXPECT_EQ(bin(r.message.properties, 0x10090102), "RTF-COMPRESSED-BYTES");
  EXPECT_EQ(str(r.message.properties, t::kBody), "Body text");
  EXPECT_EQ(i32(r.message.properties, t::kNativeBody), 2);
  bool checksum_warning = false;
  for (const auto& w : r.warnings) checksum_warning |= w.find("checksum") != std::string::npos;
  EXPECT_TRUE(checksum_warning);
}

TEST(MimeTnef, ForwardedStreamGivesFilesNotBody) {
  const ImportResult r = import(mail_with(winmail("<other@x.com>"), "<m1@x.com>"));
  EXPECT_EQ(r.message.attachments.size(), 2u);
  EXPECT_FALSE(has(r.message.properties, 0x10090102));
  EXPECT_EQ(i32(r.message.properties, t::kNativeBody), 1);
}

TEST(MimeTnef, DamagedStreamsStayAsTheFile) {
  const std::string good = winmail("<m1@x.com>");
  for (const std::string& bad :
       {good.substr(0, good.size() - 7), std::string("not tnef at all"), good.substr(0, 6)}) {
    const ImportResult r = import(mail_with(bad));
    ASSERT_EQ(r.message.attachments.size(), 1u);
    EXPECT_EQ(str(r.message.attachments[0].properties, t::kAttachLongFilename), "winmail.dat");
    EXPECT_EQ(bin(r.message.attachments[0].properties, t::kAttachDataBin), bad);
  }
  // Many attachments with property lists: the list of attachments grows while being read.
  TnefWriter many;
  for (int i = 0; i < 40; ++i) {
    TnefWriter::Props props;
    props.variable(0x3707001F,
                   utf16le(u"f" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26))));
    many.attribute(2, 0x00069002, std::string(14, '\0'))
        .attribute(2, 0x0006800F, "data" + std::to_string(i))
        .attribute(2, 0x00069005, props.str());
  }
  std::string many_error;
  const auto decoded = tnef::decode(many.str(), many_error);
  ASSERT_TRUE(decoded.has_value()) << many_error;
  ASSERT_EQ(decoded->attachments.size(), 40u);
  EXPECT_EQ(decoded->attachments[39].properties.size(), 1u);
  EXPECT_EQ(std::get<std::u16string>(decoded->attachments[39].properties[0].value), u"fN");

  // Hostile counts do not allocate or loop: a property list claiming 2^32-1 entries.
  TnefWriter w;
  w.attribute(2, 0x00069002, std::string(14, '\0'))
      .attribute(2, 0x00069005, std::string("\xFF\xFF\xFF\xFF\x03\0\x05\x37", 8));
  std::string error;
  EXPECT_FALSE(tnef::decode(w.str(), error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(MimeTnef, AttachedMessageInsideTheStream) {
  // The inner message: a TNEF stream of its own, with a subject and one file.
  TnefWriter inner;
  TnefWriter::Props inner_props;
  inner_props.variable(0x0037001F, utf16le(u"Inner subject"));
  inner.attribute(1, 0x00069003, inner_props.str())
      .attribute(2, 0x00069002, std::string(14, '\0'))
      .attribute(2, 0x00018010, std::string("in.txt\0", 7))
      .attribute(2, 0x0006800F, "inner file");
  // IID_IMessage, then the stream.
  const std::string object = std::string(
                                 "\x07\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00"
                                 "\x00\x00\x46",
                                 16) +
                             inner.str();
  TnefWriter::Props att;
  att.fixed(0x37050003, 5).variable(0x3701000D, object);
  TnefWriter outer;
  outer.attribute(2, 0x00069002, std::string(14, '\0')).attribute(2, 0x00069005, att.str());
  const ImportResult r = import(mail_with(outer.str()));
  ASSERT_EQ(r.message.attachments.size(), 1u);
  const Attachment& a = r.message.attachments[0];
  EXPECT_EQ(i32(a.properties, t::kAttachMethod), 5);
  ASSERT_NE(a.embedded_message, nullptr);
  const Message& m = *a.embedded_message;
  EXPECT_EQ(str(m.properties, t::kSubject), "Inner subject");
  EXPECT_EQ(str(m.properties, t::kMessageClass), "IPM.Note");
  EXPECT_EQ(i32(m.properties, t::kSensitivity), 0);
  EXPECT_EQ(i32(m.properties, t::kMessageFlags) & t::kFlagUnsent, 0);
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(bin(m.attachments[0].properties, t::kAttachDataBin), "inner file");
  EXPECT_EQ(str(a.properties, t::kDisplayName), "Inner subject");
}

}  // namespace
}  // namespace larkfield::mime::test
