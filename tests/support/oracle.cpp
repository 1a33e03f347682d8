#include "tests/support/oracle.hpp"

#include <charconv>
#include <cstdio>

#include "tests/support/process.hpp"

#ifndef LARKFIELD_SYSTEM_PYTHON
#error "LARKFIELD_SYSTEM_PYTHON must name the python that has pypff"
#endif
#ifndef LARKFIELD_ORACLE_SCRIPT
#error "LARKFIELD_ORACLE_SCRIPT must name tests/tools/pst_oracle.py"
#endif

namespace larkfield::test {
namespace {

[[noreturn]] void parse_error(std::string_view what, std::string_view line) {
  throw SupportError(SupportError::Code::kParse,
                     std::string(what) + " in oracle line: " + std::string(line.substr(0, 200)));
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::uint32_t hex_value(std::string_view digits, std::string_view line) {
  std::uint32_t v = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
  if (ec != std::errc() || p != digits.data() + digits.size()) parse_error("bad escape", line);
  return v;
}

template <typename T>
T number(const DumpLine& l, std::string_view name, T fallback = T{}) {
  const std::string* s = l.get(name);
  if (s == nullptr) return fallback;
  T v{};
  int base = 10;
  std::string_view text = *s;
  if (text.starts_with("0x")) {
    base = 16;
    text.remove_prefix(2);
  }
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || p != text.data() + text.size()) {
    throw SupportError(SupportError::Code::kParse,
                       "field " + std::string(name) + " is not a number: " + *s);
  }
  return v;
}

template <typename T>
std::optional<T> optional_number(const DumpLine& l, std::string_view name) {
  if (l.get(name) == nullptr) return std::nullopt;
  return number<T>(l, name);
}

std::string text(const DumpLine& l, std::string_view name) {
  const std::string* s = l.get(name);
  return s ? *s : std::string();
}

OracleProperty property_from(const DumpLine& l) {
  OracleProperty p;
  p.tag = number<std::uint32_t>(l, "tag");
  p.type = text(l, "type");
  p.named = text(l, "named");
  p.size = optional_number<std::uint64_t>(l, "size");
  if (const std::string* v = l.get("value")) p.value = *v;
  p.sha256 = text(l, "sha256");
  return p;
}

OracleBody body_from(const DumpLine& l, std::string kind) {
  OracleBody b;
  b.kind = std::move(kind);
  b.size = number<std::uint64_t>(l, "size");
  b.sha256 = text(l, "sha256");
  if (const std::string* t = l.get("text")) b.text = *t;
  return b;
}

const OracleProperty* find_property(const std::vector<OracleProperty>& props, std::uint32_t tag) {
  for (const auto& p : props) {
    if (p.tag == tag) return &p;
  }
  return nullptr;
}

// The message or attachment a key of the form "<message key>:a<i>" / ":r<i>" belongs to.
std::string owner_key(const std::string& key) {
  auto colon = key.rfind(':');
  auto hash = key.rfind('#');
  if (colon == std::string::npos || (hash != std::string::npos && colon < hash)) return {};
  return key.substr(0, colon);
}

}  // namespace

const std::string* DumpLine::get(std::string_view name) const {
  auto it = fields.find(std::string(name));
  return it == fields.end() ? nullptr : &it->second;
}

DumpLine parse_dump_line(std::string_view line) {
  DumpLine out;
  std::size_t i = line.find(' ');
  out.kind = std::string(line.substr(0, i));
  while (i != std::string_view::npos && i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    std::size_t eq = line.find('=', i);
    if (eq == std::string_view::npos) parse_error("field without '='", line);
    std::string name(line.substr(i, eq - i));
    i = eq + 1;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          value.push_back(c);
          continue;
        }
        if (i >= line.size()) parse_error("dangling backslash", line);
        char e = line[i++];
        switch (e) {
          case 'n':
            value.push_back('\n');
            break;
          case 'r':
            value.push_back('\r');
            break;
          case 't':
            value.push_back('\t');
            break;
          case '\\':
            value.push_back('\\');
            break;
          case '"':
            value.push_back('"');
            break;
          case 'x':
            if (i + 2 > line.size()) parse_error("short \\x escape", line);
            value.push_back(static_cast<char>(hex_value(line.substr(i, 2), line)));
            i += 2;
            break;
          case 'u':
            if (i + 4 > line.size()) parse_error("short \\u escape", line);
            // A lone surrogate; kept as its three-byte (WTF-8) form so it stays visible.
            append_utf8(value, hex_value(line.substr(i, 4), line));
            i += 4;
            break;
          default:
            parse_error("unknown escape", line);
        }
      }
      if (!closed) parse_error("unterminated string", line);
    } else {
      std::size_t end = line.find(' ', i);
      value = std::string(line.substr(i, end == std::string_view::npos ? end : end - i));
      i = end;
    }
    out.fields[name] = std::move(value);
  }
  return out;
}

const OracleProperty* OracleMessage::property(std::uint32_t tag) const {
  return find_property(properties, tag);
}

const OracleBody* OracleMessage::body(std::string_view kind) const {
  for (const auto& b : bodies) {
    if (b.kind == kind) return &b;
  }
  return nullptr;
}

const OracleProperty* OracleFolder::property(std::uint32_t tag) const {
  return find_property(properties, tag);
}

const OracleFolder* OracleDump::folder(std::string_view path) const {
  for (const auto& f : folders) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

const OracleMessage* OracleDump::message(std::string_view key) const {
  auto it = messages.find(std::string(key));
  return it == messages.end() ? nullptr : &it->second;
}

std::vector<const OracleMessage*> OracleDump::messages_in(const OracleFolder& f) const {
  std::vector<const OracleMessage*> out;
  for (const auto& k : f.message_keys) {
    if (const OracleMessage* m = message(k)) out.push_back(m);
  }
  return out;
}

const OracleProperty* OracleDump::store_property(std::uint32_t tag) const {
  return find_property(store_properties, tag);
}

OracleDump parse_oracle_dump(std::string_view all) {
  OracleDump dump;
  dump.text = std::string(all);
  // The attachment a line refers to, by key, as (message key, index in attachments).
  std::map<std::string, std::pair<std::string, std::size_t>> attachments;
  std::map<std::string, std::pair<std::string, std::size_t>> recipients;

  auto message_for = [&](const std::string& key, std::string_view line) -> OracleMessage& {
    auto it = dump.messages.find(key);
    if (it == dump.messages.end()) parse_error("unknown message key", line);
    return it->second;
  };
  auto attachment_for = [&](const std::string& key, std::string_view line) -> OracleAttachment& {
    auto it = attachments.find(key);
    if (it == attachments.end()) parse_error("unknown attachment key", line);
    return message_for(it->second.first, line).attachments.at(it->second.second);
  };
  auto recipient_for = [&](const std::string& key, std::string_view line) -> OracleRecipient& {
    auto it = recipients.find(key);
    if (it == recipients.end()) parse_error("unknown recipient key", line);
    return message_for(it->second.first, line).recipients.at(it->second.second);
  };

  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view raw = all.substr(pos, end - pos);
    pos = end + 1;
    if (raw.empty()) continue;
    DumpLine l = parse_dump_line(raw);
    const std::string key = text(l, "key");
    if (l.kind == "file") {
      dump.file_size = number<std::uint64_t>(l, "size");
      dump.encryption = number<int>(l, "encryption", -1);
      dump.orphans = number<std::uint64_t>(l, "orphans");
    } else if (l.kind == "store") {
      if (const std::string* n = l.get("name")) dump.store_name = *n;
    } else if (l.kind == "store.prop") {
      dump.store_properties.push_back(property_from(l));
    } else if (l.kind == "folder") {
      OracleFolder f;
      f.path = text(l, "path");
      f.id = number<std::uint32_t>(l, "id");
      if (const std::string* n = l.get("name")) f.name = *n;
      f.messages = number<std::uint64_t>(l, "messages");
      f.subfolders = number<std::uint64_t>(l, "subfolders");
      f.content_count = optional_number<std::int64_t>(l, "content_count");
      f.content_unread = optional_number<std::int64_t>(l, "content_unread");
      f.has_subfolders = optional_number<std::int64_t>(l, "has_subfolders");
      dump.folders.push_back(std::move(f));
    } else if (l.kind == "folder.prop") {
      if (dump.folders.empty() || dump.folders.back().path != text(l, "path")) {
        parse_error("folder property outside its folder", raw);
      }
      dump.folders.back().properties.push_back(property_from(l));
    } else if (l.kind == "message") {
      OracleMessage m;
      m.key = key;
      m.id = number<std::uint32_t>(l, "id");
      m.message_class = text(l, "class");
      m.subject = text(l, "subject");
      m.sender = text(l, "sender");
      std::string owner = owner_key(key);
      if (owner.empty()) {
        auto hash = key.rfind('#');
        if (hash == std::string::npos) parse_error("message key without '#'", raw);
        std::string folder_path = key.substr(0, hash);
        if (dump.folders.empty() || dump.folders.back().path != folder_path) {
          parse_error("message outside its folder", raw);
        }
        dump.folders.back().message_keys.push_back(key);
      } else {
        attachment_for(key, raw).embedded = true;
      }
      if (!dump.messages.emplace(key, std::move(m)).second) parse_error("duplicate key", raw);
    } else if (l.kind == "message.prop") {
      message_for(key, raw).properties.push_back(property_from(l));
    } else if (l.kind == "message.body") {
      message_for(key, raw).bodies.push_back(body_from(l, text(l, "kind")));
    } else if (l.kind == "message.headers") {
      message_for(key, raw).headers = body_from(l, "headers");
    } else if (l.kind == "message.no-recipient-table") {
      message_for(key, raw).has_recipient_table = false;
    } else if (l.kind == "recipient") {
      OracleMessage& m = message_for(owner_key(key), raw);
      OracleRecipient r;
      r.key = key;
      r.index = number<int>(l, "index");
      r.type = optional_number<int>(l, "type");
      r.name = text(l, "name");
      r.addrtype = text(l, "addrtype");
      r.email = text(l, "email");
      r.smtp = text(l, "smtp");
      recipients[key] = {m.key, m.recipients.size()};
      m.recipients.push_back(std::move(r));
    } else if (l.kind == "recipient.prop") {
      recipient_for(key, raw).properties.push_back(property_from(l));
    } else if (l.kind == "attachment") {
      OracleMessage& m = message_for(owner_key(key), raw);
      OracleAttachment a;
      a.key = key;
      a.index = number<int>(l, "index");
      a.id = number<std::uint32_t>(l, "id");
      a.method = optional_number<int>(l, "method");
      a.filename = text(l, "filename");
      a.long_filename = text(l, "long_filename");
      a.mime = text(l, "mime");
      a.size = number<std::uint64_t>(l, "size");
      a.sha256 = text(l, "sha256");
      attachments[key] = {m.key, m.attachments.size()};
      m.attachments.push_back(std::move(a));
    } else if (l.kind == "attachment.prop") {
      attachment_for(key, raw).properties.push_back(property_from(l));
    } else if (l.kind == "error") {
      dump.errors.push_back(key + ": " + text(l, "message"));
    } else {
      parse_error("unknown record kind", raw);
    }
  }
  return dump;
}

bool oracle_available() {
  std::error_code ec;
  return std::filesystem::exists(LARKFIELD_SYSTEM_PYTHON, ec) &&
         std::filesystem::exists(LARKFIELD_ORACLE_SCRIPT, ec);
}

OracleDump run_oracle(const std::filesystem::path& pst, bool full) {
  if (!oracle_available()) {
    throw SupportError(SupportError::Code::kMissing, "the oracle needs " +
                                                         std::string(LARKFIELD_SYSTEM_PYTHON) +
                                                         " and " + LARKFIELD_ORACLE_SCRIPT);
  }
  std::vector<std::string> argv = {LARKFIELD_SYSTEM_PYTHON, LARKFIELD_ORACLE_SCRIPT, "dump"};
  if (full) argv.emplace_back("--full");
  argv.push_back(pst.string());
  ProcessResult r = run_process(argv);
  if (r.exit_code == 2) {
    OracleDump d;
    d.exit_code = 2;
    d.errors.push_back("open: " + r.err);
    return d;
  }
  if (r.exit_code != 0 && r.exit_code != 1) {
    throw SupportError(SupportError::Code::kSpawn, "the oracle failed with status " +
                                                       std::to_string(r.exit_code) + ": " + r.err);
  }
  OracleDump d = parse_oracle_dump(r.out);
  d.exit_code = r.exit_code;
  return d;
}

std::string filetime_to_iso(std::uint64_t filetime) {
  std::uint64_t seconds = filetime / 10'000'000;
  std::uint64_t rest = filetime % 10'000'000;
  // Days from 1601-01-01 to 1970-01-01 are 134774.
  std::int64_t days = static_cast<std::int64_t>(seconds / 86400) - 134774;
  std::uint64_t sod = seconds % 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  std::int64_t z = days + 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02llu:%02llu:%02llu",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<unsigned long long>(sod / 3600),
                static_cast<unsigned long long>(sod / 60 % 60),
                static_cast<unsigned long long>(sod % 60));
  std::string out = buf;
  if (rest != 0) {
    std::snprintf(buf, sizeof buf, ".%07llu", static_cast<unsigned long long>(rest));
    std::string frac = buf;
    while (frac.back() == '0') frac.pop_back();
    out += frac;
  }
  return out + "Z";
}

}  // namespace larkfield::test
