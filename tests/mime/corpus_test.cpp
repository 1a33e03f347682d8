// Imports every message of tests/data/mail and compares it with the `.expect` file beside it.
//
// Expectation lines (UTF-8; `#` starts a comment line):
//   key = value     the value is exactly this
//   key ~ value     the text (or HTML bytes) contains this
//   key !~ value    ... does not contain this
//   key ?           the property is present
//   key !           the property is absent (also written `!key`)
// A key is a path: `subject`, `rcpt.0.email`, `att.1.sha256`, `att.0.msg.subject`.
// Values may carry \n, \r, \t, \\ and \xHH escapes. Times are written 2024-03-01T10:00:00Z.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "mime/importer.hpp"
#include "mime/message.hpp"
#include "mime/tags.hpp"
#include "mime/text.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::mime {
namespace {

namespace t = tags;
namespace fs = std::filesystem;

const std::map<std::string, std::uint32_t>& message_tags() {
  static const std::map<std::string, std::uint32_t> m = {
      {"message_class", t::kMessageClass},
      {"subject", t::kSubject},
      {"subject_prefix", t::kSubjectPrefix},
      {"normalized_subject", t::kNormalizedSubject},
      {"conversation_topic", t::kConversationTopic},
      {"conversation_index", t::kConversationIndex},
      {"sent_repr_name", t::kSentRepresentingName},
      {"sent_repr_email", t::kSentRepresentingEmail},
      {"sent_repr_addrtype", t::kSentRepresentingAddrType},
      {"sent_repr_entryid", t::kSentRepresentingEntryId},
      {"sent_repr_searchkey", t::kSentRepresentingSearchKey},
      {"sent_repr_smtp", t::kSentRepresentingSmtp},
      {"sender_name", t::kSenderName},
      {"sender_email", t::kSenderEmail},
      {"sender_addrtype", t::kSenderAddrType},
      {"sender_entryid", t::kSenderEntryId},
      {"sender_smtp", t::kSenderSmtp},
      {"display_to", t::kDisplayTo},
      {"display_cc", t::kDisplayCc},
      {"display_bcc", t::kDisplayBcc},
      {"submit_time", t::kClientSubmitTime},
      {"delivery_time", t::kMessageDeliveryTime},
      {"message_id", t::kInternetMessageId},
      {"in_reply_to", t::kInReplyToId},
      {"references", t::kInternetReferences},
      {"transport_headers", t::kTransportMessageHeaders},
      {"importance", t::kImportance},
      {"priority", t::kPriority},
      {"sensitivity", t::kSensitivity},
      {"flags", t::kMessageFlags},
      {"has_attach", t::kHasAttach},
      {"internet_cpid", t::kInternetCpid},
      {"body", t::kBody},
      {"html", t::kHtml},
      {"native_body", t::kNativeBody},
      {"reply_entries", t::kReplyRecipientEntries},
      {"reply_names", t::kReplyRecipientNames},
      {"read_receipt", t::kReadReceiptRequested},
      {"list_help", t::kListHelp},
      {"list_subscribe", t::kListSubscribe},
      {"list_unsubscribe", t::kListUnsubscribe},
      {"message_size", t::kMessageSize},
      // Recipient rows.
      {"type", t::kRecipientType},
      {"name", t::kDisplayName},
      {"email", t::kEmailAddress},
      {"addrtype", t::kAddrType},
      {"smtp", t::kSmtpAddress},
      {"entryid", t::kEntryId},
      // Attachments.
      {"method", t::kAttachMethod},
      {"long_filename", t::kAttachLongFilename},
      {"filename", t::kAttachFilename},
      {"extension", t::kAttachExtension},
      {"mime_tag", t::kAttachMimeTag},
      {"content_id", t::kAttachContentId},
      {"content_location", t::kAttachContentLocation},
      {"attach_flags", t::kAttachFlags},
      {"hidden", t::kAttachmentHidden},
      {"attach_size", t::kAttachSize},
      {"data", t::kAttachDataBin},
  };
  return m;
}

std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 't') {
      out += '\t';
    } else if (c == 'x' && i + 2 < s.size() + 1) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string iso_time(const FileTime& ft) {
  const auto unix =
      static_cast<std::time_t>(static_cast<std::int64_t>(ft.ticks / 10000000ULL) - 11644473600LL);
  std::tm tm{};
  gmtime_r(&unix, &tm);
  std::array<char, 32> buf{};
  std::strftime(buf.data(), buf.size(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf.data();
}

std::string hex(const Bytes& b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::byte x : b) {
    out += kDigits[std::to_integer<unsigned>(x) >> 4];
    out += kDigits[std::to_integer<unsigned>(x) & 0xF];
  }
  return out;
}

// What a key names, rendered as text, or nothing when it is absent.
struct Resolved {
  bool known = true;
  std::optional<std::string> text;
};

std::optional<std::string> render(const Value& v) {
  if (const auto* s = std::get_if<std::u16string>(&v)) return text::utf16_to_utf8(*s);
  if (const auto* b = std::get_if<Bytes>(&v))
    return std::string(reinterpret_cast<const char*>(b->data()), b->size());
  if (const auto* i = std::get_if<std::int32_t>(&v)) return std::to_string(*i);
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (const auto* x = std::get_if<bool>(&v)) return *x ? "true" : "false";
  if (const auto* f = std::get_if<FileTime>(&v)) return iso_time(*f);
  return std::nullopt;
}

const Value* find(const std::vector<Property>& props, std::uint32_t tag) {
  for (const auto& p : props)
    if (p.tag == tag) return &p.value;
  return nullptr;
}

Resolved property(const std::vector<Property>& props, const std::string& key) {
  const auto& tags = message_tags();
  if (key == "sha256" || key == "size") {
    const Value* v = find(props, t::kAttachDataBin);
    if (v == nullptr) return {true, std::nullopt};
    const auto& b = std::get<Bytes>(*v);
    return {true, key == "sha256" ? test::sha256_hex(b) : std::to_string(b.size())};
  }
  const auto it = tags.find(key);
  if (it == tags.end()) return {false, std::nullopt};
  const Value* v = find(props, it->second);
  if (v == nullptr) return {true, std::nullopt};
  if (key.ends_with("entryid") || key.ends_with("searchkey") || key.ends_with("entries") ||
      key == "conversation_index")
    return {true, hex(std::get<Bytes>(*v))};
  return {true, render(*v)};
}

Resolved named(const std::vector<NamedProperty>& named, const std::string& name) {
  const std::u16string wanted = text::utf8_to_utf16(name);
  for (const auto& n : named) {
    if (const auto* s = std::get_if<std::u16string>(&n.name); s && *s == wanted)
      return {true, render(n.value)};
    if (const auto* id = std::get_if<std::uint32_t>(&n.name);
        id && name == "lid:" + std::to_string(*id))
      return {true, render(n.value)};
  }
  return {true, std::nullopt};
}

std::vector<std::string> split_path(const std::string& key) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : key) {
    if (c == '.') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

bool is_index(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Resolved resolve(const Message& m, const std::vector<std::string>& parts, std::size_t i) {
  const std::string& head = parts[i];
  const bool last = i + 1 == parts.size();
  if (last) {
    if (head == "recipients") return {true, std::to_string(m.recipients.size())};
    if (head == "attachments") return {true, std::to_string(m.attachments.size())};
    if (head.starts_with("flag:")) {
      const Value* v = find(m.properties, t::kMessageFlags);
      if (v == nullptr) return {true, std::nullopt};
      const auto bits = std::get<std::int32_t>(*v);
      const std::string f = head.substr(5);
      const std::int32_t mask = f == "read"        ? t::kFlagRead
                                : f == "unsent"    ? t::kFlagUnsent
                                : f == "hasattach" ? t::kFlagHasAttach
                                                   : 0;
      if (mask == 0) return {false, std::nullopt};
      return {true, (bits & mask) != 0 ? "true" : "false"};
    }
    return property(m.properties, head);
  }
  if (head == "named") return named(m.named, parts[i + 1]);
  if ((head == "rcpt" || head == "att") && is_index(parts[i + 1])) {
    const std::size_t n = std::stoul(parts[i + 1]);
    if (head == "rcpt") {
      if (n >= m.recipients.size() || i + 3 != parts.size()) return {true, std::nullopt};
      return property(m.recipients[n].properties, parts[i + 2]);
    }
    if (n >= m.attachments.size() || i + 2 >= parts.size()) return {true, std::nullopt};
    const Attachment& a = m.attachments[n];
    if (parts[i + 2] == "msg") {
      if (!a.embedded_message || i + 3 >= parts.size()) return {true, std::nullopt};
      return resolve(*a.embedded_message, parts, i + 3);
    }
    if (parts[i + 2] == "named" && i + 3 < parts.size()) return named(a.named, parts[i + 3]);
    if (i + 3 != parts.size()) return {false, std::nullopt};
    return property(a.properties, parts[i + 2]);
  }
  return {false, std::nullopt};
}

struct Expectation {
  int line = 0;
  std::string key, op, value;
};

std::vector<Expectation> read_expectations(const fs::path& file) {
  std::ifstream in(file);
  std::vector<Expectation> out;
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] == '#') continue;
    Expectation e;
    e.line = n;
    const auto sp = line.find(' ', first);
    e.key = line.substr(first, sp == std::string::npos ? std::string::npos : sp - first);
    if (e.key.starts_with("!")) {  // `!key` is short for `key !`
      e.key.erase(0, 1);
      e.op = "!";
      out.push_back(std::move(e));
      continue;
    }
    if (sp != std::string::npos) {
      const auto op_end = line.find(' ', sp + 1);
      e.op = line.substr(sp + 1, op_end == std::string::npos ? std::string::npos : op_end - sp - 1);
      if (op_end != std::string::npos) e.value = unescape(line.substr(op_end + 1));
    }
    out.push_back(std::move(e));
  }
  return out;
}

fs::path corpus_dir() { return LARKFIELD_MAIL_CORPUS; }

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(corpus_dir())) {
    const auto ext = entry.path().extension();
    if (ext == ".eml" || ext == ".emlx") files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class Corpus : public ::testing::TestWithParam<std::string> {};

TEST_P(Corpus, ImportsAsExpected) {
  const fs::path file = corpus_dir() / GetParam();
  fs::path expect_file = file;
  expect_file.replace_extension(".expect");
  ASSERT_TRUE(fs::exists(expect_file)) << "no expectations for " << GetParam();
  const auto expectations = read_expectations(expect_file);
  ASSERT_GE(expectations.size(), 3U) << "too few expectations for " << GetParam();

  const ImportResult r = import_file(file);
  for (const auto& e : expectations) {
    SCOPED_TRACE(expect_file.filename().string() + ":" + std::to_string(e.line) + " " + e.key);
    Resolved got;
    if (e.key == "stand_in") {
      got.text = r.stand_in ? "true" : "false";
    } else if (e.key == "emlx_read") {
      got.text = r.has_read_flag ? (r.read ? "true" : "false") : std::optional<std::string>{};
    } else if (e.key == "warnings") {
      std::string all;
      for (const auto& w : r.warnings) all += w + "\n";
      got.text = all;
    } else {
      got = resolve(r.message, split_path(e.key), 0);
    }
    ASSERT_TRUE(got.known) << "unknown key";
    if (e.op == "!") {
      EXPECT_FALSE(got.text.has_value()) << "present: " << got.text.value_or("");
    } else if (e.op == "?") {
      EXPECT_TRUE(got.text.has_value());
    } else if (e.op == "=") {
      ASSERT_TRUE(got.text.has_value()) << "absent";
      EXPECT_EQ(*got.text, e.value);
    } else if (e.op == "~") {
      ASSERT_TRUE(got.text.has_value()) << "absent";
      EXPECT_NE(got.text->find(e.value), std::string::npos)
          << "'" << e.value << "' not in '" << got.text->substr(0, 2000) << "'";
    } else if (e.op == "!~") {
      ASSERT_TRUE(got.text.has_value()) << "absent";
      EXPECT_EQ(got.text->find(e.value), std::string::npos) << "'" << e.value << "' found";
    } else {
      ADD_FAILURE() << "unknown operator '" << e.op << "'";
    }
  }
}

TEST(CorpusSet, EveryMessageHasExpectations) {
  const auto files = corpus_files();
  EXPECT_GE(files.size(), 40U);
  for (const auto& f : files) {
    fs::path p = corpus_dir() / f;
    EXPECT_TRUE(fs::exists(p.replace_extension(".expect"))) << f;
  }
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string n = info.param;
  for (char& c : n)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Mail, Corpus, ::testing::ValuesIn(corpus_files()), test_name);

}  // namespace
}  // namespace larkfield::mime
