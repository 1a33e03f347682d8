#include "mime/importer.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include <unistd.h>

#include "mime/file_content.hpp"
#include "mime/framing.hpp"
#include "mime/gmime_ptr.hpp"
#include "mime/tags.hpp"
#include "mime/text.hpp"
#include "mime/tnef.hpp"

namespace larkfield::mime {

namespace detail {

void ensure_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

}  // namespace detail

namespace {

using namespace detail;
namespace t = tags;

constexpr std::int64_t kUnixToFileTimeSeconds = 11644473600LL;

FileTime filetime_from_unix(std::int64_t seconds) {
  const std::int64_t s = std::max<std::int64_t>(seconds + kUnixToFileTimeSeconds, 0);
  return FileTime{static_cast<std::uint64_t>(s) * 10000000ULL};
}

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::u16string u16(std::string_view utf8) { return text::utf8_to_utf16(utf8); }

Bytes to_bytes(std::string_view s) {
  Bytes b(s.size());
  if (!s.empty()) std::memcpy(b.data(), s.data(), s.size());
  return b;
}

void put(std::vector<Property>& props, std::uint32_t tag, Value v) {
  for (auto& p : props)
    if (p.tag == tag) {
      p.value = std::move(v);
      return;
    }
  props.push_back(Property{tag, std::move(v)});
}

void put_str(std::vector<Property>& props, std::uint32_t tag, std::string_view utf8) {
  put(props, tag, u16(utf8));
}

// Removes folding and control characters from a header value.
std::string unfold(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\r' || c == '\n') continue;
    if (c == '\t') c = ' ';
    if (c == '\0') continue;
    out += c;
  }
  return text::trim(out);
}

// Cleans a display name: quotes, control characters, surrounding blanks.
std::string clean_name(std::string_view name) {
  std::string out;
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    out += b < 0x20 ? ' ' : c;
  }
  out = text::trim(out);
  while (out.size() >= 2 && ((out.front() == '"' && out.back() == '"') ||
                             (out.front() == '\'' && out.back() == '\''))) {
    out = text::trim(std::string_view(out).substr(1, out.size() - 2));
  }
  return out;
}

struct RawHeader {
  std::string name;
  std::string raw;  // as in the file, folded, possibly 8-bit
};

std::vector<RawHeader> raw_headers(GMimeObject* object) {
  std::vector<RawHeader> out;
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  if (list == nullptr) return out;
  const int n = g_mime_header_list_get_count(list);
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(h);
    const char* raw = g_mime_header_get_raw_value(h);
    out.push_back({name ? name : "", raw ? raw : ""});
  }
  return out;
}

const RawHeader* find_header(const std::vector<RawHeader>& hs, std::string_view name) {
  for (const auto& h : hs)
    if (text::iequals(h.name, name)) return &h;
  return nullptr;
}

// Where the parser's bytes lie in the message file, so that large parts can be read from
// the file later instead of being copied now.
struct FileOrigin {
  std::shared_ptr<const MessageFile> file;
  GByteArray* array = nullptr;     // parsed from memory: the array over the file's bytes
  std::uint64_t array_offset = 0;  // the file offset of the array's first byte
  int fd = -1;                     // parsed from the file: the descriptor read
};

struct Context {
  const ImportOptions& options;
  std::vector<std::string>& warnings;
  GMimeParserOptions* parser_options;
  std::size_t parts = 0;
  std::int64_t now = 0;
  const FileOrigin* origin = nullptr;
  // File offsets of the top-level body when only its first bytes are in memory.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> body_range;
  // Of an Apple Mail .partial.emlx: the folder that holds its attachments' bodies, one
  // subfolder per IMAP part number (Messages/12.partial.emlx: Attachments/12/2/...).
  std::filesystem::path partial_attachments;
  // The bytes the top-level parser read and the stream offset of their first byte.
  std::string_view source;
  std::int64_t source_base = 0;
};

// GMime 3.2.13 takes the line break before a boundary line to be as long as the file's
// usual one: in a file of CRLF lines it cuts the last byte of a part whose last line ends in
// a bare LF, and in a file of LF lines it keeps the CR of a CRLF. The part's data end where
// the line break that is really there starts. Reading the bytes around the end is enough:
// the boundary line starts at most two bytes after it.
void fix_content_end(GMimeStream* s) {
  if (s == nullptr || s->bound_start < 0 || s->bound_end < s->bound_start) return;
  const gint64 start = s->bound_start;
  const gint64 end = s->bound_end;
  const gint64 from = std::max(start, end - 2);
  char window[8] = {};
  gint64 got = 0;
  if (GMIME_IS_STREAM_MEM(s)) {
    const GByteArray* a = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(s));
    if (a == nullptr || static_cast<gint64>(a->len) < end) return;
    got = std::min<gint64>(static_cast<gint64>(a->len) - from, sizeof window);
    std::memcpy(window, a->data + from, static_cast<std::size_t>(got));
  } else if (GMIME_IS_STREAM_FS(s)) {
    const ssize_t n = ::pread(GMIME_STREAM_FS(s)->fd, window, sizeof window, from);
    if (n <= 0) return;
    got = n;
  } else {
    return;
  }
  const auto at = [&](gint64 i) { return i >= from && i < from + got ? window[i - from] : '\0'; };
  // The boundary line: "--" at the start of a line, at most two bytes past the end.
  for (gint64 b = std::max(end, start + 1); b <= end + 2; ++b) {
    if (!(at(b) == '-' && at(b + 1) == '-' && (at(b - 1) == '\n' || at(b - 1) == '\r'))) continue;
    gint64 real = b - 1;
    if (at(b - 1) == '\n' && b - 2 >= start && at(b - 2) == '\r') real = b - 2;
    if (real != end && real >= start) g_mime_stream_set_bounds(s, start, real);
    return;
  }
}

// The data of a part as a range of the message file, when the part was parsed from it
// directly (not from a repaired or re-parsed copy) and its data are large enough to leave
// there.
std::shared_ptr<ContentSource> streamed_content(const Context& ctx, GMimePart* part) {
  const FileOrigin* origin = ctx.origin;
  if (origin == nullptr || !origin->file) return nullptr;
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return nullptr;
  GMimeStream* s = g_mime_data_wrapper_get_stream(content);
  fix_content_end(s);
  if (s == nullptr || s->bound_start < 0 || s->bound_end < s->bound_start) return nullptr;
  const auto length = static_cast<std::uint64_t>(s->bound_end - s->bound_start);
  if (length <= ctx.options.stream_attachments_over) return nullptr;
  std::uint64_t begin = 0;
  if (origin->array != nullptr && GMIME_IS_STREAM_MEM(s) &&
      g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(s)) == origin->array) {
    begin = origin->array_offset + static_cast<std::uint64_t>(s->bound_start);
  } else if (origin->fd >= 0 && GMIME_IS_STREAM_FS(s) && GMIME_STREAM_FS(s)->fd == origin->fd) {
    begin = static_cast<std::uint64_t>(s->bound_start);
  } else {
    return nullptr;
  }
  if (begin + length > origin->file->size()) return nullptr;
  return file_content(origin->file, begin, begin + length,
                      g_mime_data_wrapper_get_encoding(content));
}

// Bytes in memory, then those of another source.
class PrefixedContent final : public ContentSource {
 public:
  PrefixedContent(std::string prefix, std::shared_ptr<ContentSource> rest)
      : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = std::min(buffer.size(), prefix_.size() - next_);
    std::memcpy(buffer.data(), prefix_.data() + next_, n);
    next_ += n;
    return n == buffer.size() ? n : n + rest_->read(buffer.subspan(n));
  }

 private:
  std::string prefix_;
  std::size_t next_ = 0;
  std::shared_ptr<ContentSource> rest_;
};

ParserOptionsPtr make_parser_options(const std::string& legacy) {
  ParserOptionsPtr o(g_mime_parser_options_new());
  g_mime_parser_options_set_address_compliance_mode(o.get(), GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_parameter_compliance_mode(o.get(), GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_rfc2047_compliance_mode(o.get(), GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_allow_addresses_without_domain(o.get(), FALSE);
  const std::string legacy_name =
      text::lookup_charset(legacy).iconv_name.empty() ? "windows-1252" : legacy;
  const char* charsets[] = {"utf-8", legacy_name.c_str(), "iso-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(o.get(), charsets);
  return o;
}

// Unstructured header text: encoded words decoded (base64 words rewritten first), raw
// 8-bit text through the charset chain.
std::string decode_text_header(Context& ctx, std::string_view raw) {
  const std::string value = unfold(raw);
  bool eight_bit = false;
  for (char c : value)
    if (static_cast<unsigned char>(c) >= 0x80) eight_bit = true;
  std::string prepared = text::rewrite_b_words(value);
  if (eight_bit) prepared = text::header_bytes_to_utf8(prepared, ctx.options.legacy_charset);
  std::string decoded =
      take_string(g_mime_utils_header_decode_text(ctx.parser_options, prepared.c_str()));
  return text::trim(decoded);
}

std::optional<std::int64_t> parse_date(std::string_view value) {
  // Zone names are case-insensitive ("cst"); GMime only knows them in capitals.
  const std::string v = text::ascii_upper(unfold(value));
  if (v.empty()) return std::nullopt;
  DateTimePtr d(g_mime_utils_header_decode_date(v.c_str()));
  if (!d) return std::nullopt;
  return g_date_time_to_unix(d.get());
}

bool plausible(std::int64_t t, std::int64_t now) {
  return t >= 315532800 /* 1980-01-01 */ && t <= now + 2 * 86400;
}

// ---- addresses -------------------------------------------------------------------

struct Mailbox {
  std::string name;     // display name as shown
  std::string address;  // as written: UTF-8 (RFC 6532) stays UTF-8, not punycode
  bool has_address = false;
};

Bytes one_off_entry_id(const Mailbox& m) {
  static constexpr std::uint8_t kMuidOneOff[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                   0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  Bytes b;
  b.resize(4, std::byte{0});
  for (auto x : kMuidOneOff) b.push_back(std::byte{x});
  b.push_back(std::byte{0});  // version
  b.push_back(std::byte{0});
  b.push_back(std::byte{0x01});  // MAPI_ONE_OFF_NO_RICH_INFO | MAPI_ONE_OFF_UNICODE | 0x1000
  b.push_back(std::byte{0x90});
  const auto add = [&](std::string_view s) {
    for (char16_t c : u16(s)) {
      b.push_back(static_cast<std::byte>(c & 0xFF));
      b.push_back(static_cast<std::byte>(c >> 8));
    }
    b.push_back(std::byte{0});
    b.push_back(std::byte{0});
  };
  add(m.name);
  add("SMTP");
  add(m.address);
  return b;
}

Bytes search_key(std::string_view address) {
  return to_bytes("SMTP:" + text::ascii_upper(address) + std::string(1, '\0'));
}

// `written` is the header value the list was parsed from: an address keeps the form it has
// there (GMime gives punycode domains decoded and UTF-8 ones encoded).
void collect_mailboxes(InternetAddressList* list, std::string_view written,
                       std::vector<Mailbox>& out, int depth = 0) {
  if (list == nullptr || depth > 4) return;
  const int n = internet_address_list_length(list);
  for (int i = 0; i < n; ++i) {
    InternetAddress* ia = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(ia)) {
      collect_mailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), written,
                        out, depth + 1);
      continue;
    }
    if (!INTERNET_ADDRESS_IS_MAILBOX(ia)) continue;
    auto* mb = INTERNET_ADDRESS_MAILBOX(ia);
    const char* addr = internet_address_mailbox_get_addr(mb);
    const char* idn = internet_address_mailbox_get_idn_addr(mb);
    const char* name = internet_address_get_name(ia);
    Mailbox m;
    const std::string ascii = text::ascii_lower(idn ? idn : "");
    const bool ascii_written =
        !ascii.empty() && text::ascii_lower(written).find(ascii) != std::string::npos;
    m.address = text::trim(addr && *addr && !ascii_written ? addr : (idn ? idn : ""));
    m.has_address = !m.address.empty();
    m.name = clean_name(name ? name : "");
    if (m.name.empty() || text::ascii_lower(m.name) == text::ascii_lower(m.address))
      m.name = addr && *addr ? addr : m.address;
    out.push_back(std::move(m));
  }
}

// Every mailbox of one header value; text that is no address list stays as a name.
std::vector<Mailbox> parse_addresses(Context& ctx, std::string_view raw) {
  std::string value = unfold(raw);
  std::vector<Mailbox> out;
  if (value.empty()) return out;
  std::string prepared = text::rewrite_b_words(value);
  bool eight_bit = false;
  for (char c : prepared)
    if (static_cast<unsigned char>(c) >= 0x80) eight_bit = true;
  if (eight_bit) prepared = text::header_bytes_to_utf8(prepared, ctx.options.legacy_charset);
  GPtr<InternetAddressList> list(internet_address_list_parse(ctx.parser_options, prepared.c_str()));
  if (list) collect_mailboxes(list.get(), prepared, out);
  if (out.empty()) {
    // A group without members ("undisclosed-recipients:;") has no rows; anything else
    // that is not an address is kept as a name only.
    const bool empty_group = value.ends_with(";") && value.find(':') != std::string::npos &&
                             value.find('@') == std::string::npos;
    if (!empty_group) {
      Mailbox m;
      m.name = clean_name(decode_text_header(ctx, value));
      if (!m.name.empty()) {
        ctx.warnings.push_back("address list not understood, kept as a name: " + m.name);
        out.push_back(std::move(m));
      }
    }
  }
  return out;
}

std::vector<Mailbox> header_mailboxes(Context& ctx, const std::vector<RawHeader>& hs,
                                      std::string_view name) {
  std::vector<Mailbox> out;
  for (const auto& h : hs)
    if (text::iequals(h.name, name)) {
      auto more = parse_addresses(ctx, h.raw);
      std::move(more.begin(), more.end(), std::back_inserter(out));
    }
  return out;
}

// ---- content ---------------------------------------------------------------------

// Transfer-decoded bytes of a leaf. Base64 is decoded here, as it is read: GMime's decoder
// stops at padding inside the data.
template <typename Out>
Out part_data_as(GMimePart* part) {
  Out out;
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return out;
  fix_content_end(g_mime_data_wrapper_get_stream(content));
  if (g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_BASE64) {
    GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
    if (stream == nullptr) return out;
    g_mime_stream_reset(stream);
    const gint64 length = g_mime_stream_length(stream);
    if (length > 0) out.reserve(static_cast<std::size_t>(length) / 4 * 3 + 3);
    text::Base64Decoder decoder;
    char buf[65536];
    while (true) {
      const ssize_t n = g_mime_stream_read(stream, buf, sizeof buf);
      if (n <= 0) break;
      decoder.feed(std::string_view(buf, static_cast<std::size_t>(n)), out);
    }
    decoder.finish(out);
    return out;
  }
  GPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, mem.get());
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  const auto* data = reinterpret_cast<const typename Out::value_type*>(array->data);
  out.assign(data, data + array->len);
  return out;
}

Bytes part_data(GMimePart* part) { return part_data_as<Bytes>(part); }

std::string part_bytes(GMimePart* part) { return part_data_as<std::string>(part); }

std::string object_bytes(GMimeObject* object) {
  GPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, mem.get());
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::string mime_type(GMimeObject* object) {
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  if (ct == nullptr) return "text/plain";
  const char* type = g_mime_content_type_get_media_type(ct);
  const char* sub = g_mime_content_type_get_media_subtype(ct);
  return text::ascii_lower(std::string(type ? type : "application") + "/" +
                           (sub ? sub : "octet-stream"));
}

std::string content_param(GMimeObject* object, const char* name) {
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  if (ct == nullptr) return {};
  const char* v = g_mime_content_type_get_parameter(ct, name);
  return v ? v : "";
}

bool is_attachment_disposition(GMimeObject* object) {
  GMimeContentDisposition* d = g_mime_object_get_content_disposition(object);
  return d != nullptr && g_mime_content_disposition_is_attachment(d);
}

// The file name of a part, decoded from the raw headers so base64 words and RFC 2231
// values are read by our rules.
std::string part_file_name(Context& ctx, GMimeObject* object) {
  const auto hs = raw_headers(object);
  const auto param = [&](std::string_view header, const char* name) -> std::string {
    const RawHeader* h = find_header(hs, header);
    if (h == nullptr) return {};
    std::string prepared = text::rewrite_b_words(unfold(h->raw));
    std::string value;
    if (header == "Content-Disposition") {
      GPtr<GMimeContentDisposition> d(
          g_mime_content_disposition_parse(ctx.parser_options, prepared.c_str()));
      if (d) {
        const char* v = g_mime_content_disposition_get_parameter(d.get(), name);
        value = v ? v : "";
      }
    } else {
      GPtr<GMimeContentType> ct(g_mime_content_type_parse(ctx.parser_options, prepared.c_str()));
      if (ct) {
        const char* v = g_mime_content_type_get_parameter(ct.get(), name);
        value = v ? v : "";
      }
    }
    // A value GMime left encoded (encoded word in a quoted parameter) or 8-bit.
    if (value.find("=?") != std::string::npos) value = decode_text_header(ctx, value);
    if (!text::is_valid_utf8(value))
      value = text::header_bytes_to_utf8(value, ctx.options.legacy_charset);
    value = text::trim(value);
    // A quote left over from a value quoted on one side only ("name.pdf) is no part of it.
    const bool stray_front = value.starts_with('"') && value.find('"', 1) == std::string::npos;
    const bool stray_back = value.ends_with('"') && value.find('"') == value.size() - 1;
    if (stray_front || stray_back) {
      value = text::trim(stray_front ? std::string_view(value).substr(1)
                                     : std::string_view(value).substr(0, value.size() - 1));
      ctx.warnings.push_back("stray quote removed from the attachment name \"" + value + "\"");
    }
    return value;
  };
  std::string name = param("Content-Disposition", "filename");
  if (name.empty()) name = param("Content-Type", "name");
  return name;
}

// ---- file names ------------------------------------------------------------------

std::string extension_for_type(std::string_view type) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"text/plain", ".txt"},
      {"text/html", ".htm"},
      {"text/calendar", ".ics"},
      {"image/jpeg", ".jpg"},
      {"image/jpg", ".jpg"},
      {"image/pjpeg", ".jpg"},
      {"image/png", ".png"},
      {"image/x-png", ".png"},
      {"image/gif", ".gif"},
      {"image/bmp", ".bmp"},
      {"application/pdf", ".pdf"},
      {"message/rfc822", ".eml"},
      {"application/zip", ".zip"},
      {"text/csv", ".csv"},
      {"application/ms-tnef", ".dat"},
      {"application/pkcs7-signature", ".p7s"},
      {"application/pkcs7-mime", ".p7m"},
      {"message/delivery-status", ".txt"},
      {"message/partial", ".part"},
      {"text/rfc822-headers", ".txt"},
  };
  for (const auto& [k, v] : kTypes)
    if (k == type) return std::string(v);
  return ".bin";
}

// Makes a name safe as a file name: no path, no reserved characters or device names,
// at most 255 UTF-16 units with the extension kept.
std::string sanitize_file_name(std::string_view raw) {
  std::string name(raw);
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  for (char& c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '"' || c == ':' || c == '<' || c == '>' || c == '|' ||
        c == '*' || c == '?')
      c = '_';
  }
  // Bidirectional overrides and isolates (U+202A-202E, U+2066-2069) would show
  // "invoice\u202Efdp.exe" as "invoiceexe.pdf": each becomes one '_' as controls do.
  for (std::size_t i = 0; i + 2 < name.size(); ++i) {
    const auto b1 = static_cast<unsigned char>(name[i + 1]);
    const auto b2 = static_cast<unsigned char>(name[i + 2]);
    if (static_cast<unsigned char>(name[i]) == 0xE2 &&
        ((b1 == 0x80 && b2 >= 0xAA && b2 <= 0xAE) || (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9)))
      name.replace(i, 3, "_");
  }
  while (!name.empty() && (name.front() == ' ' || name.front() == '.')) name.erase(0, 1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
  const std::string stem = text::ascii_upper(name.substr(0, name.find('.')));
  static constexpr std::string_view kReserved[] = {"CON", "PRN", "AUX", "NUL"};
  bool reserved =
      std::find(std::begin(kReserved), std::end(kReserved), stem) != std::end(kReserved);
  if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
      stem[3] <= '9')
    reserved = true;
  if (reserved) name.insert(0, "_");
  std::u16string w = u16(name);
  if (w.size() > 255) {
    const std::size_t dot = w.rfind(u'.');
    std::u16string ext = dot != std::u16string::npos && w.size() - dot <= 16 ? w.substr(dot) : u"";
    w = w.substr(0, 255 - ext.size()) + ext;
    if (w.size() > ext.size() && w[w.size() - ext.size() - 1] >= 0xD800 &&
        w[w.size() - ext.size() - 1] <= 0xDBFF)
      w.erase(w.size() - ext.size() - 1, 1);
    name = text::utf16_to_utf8(w);
  }
  return name;
}

std::string extension_of(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return {};
  return std::string(name.substr(dot));
}

// 8.3 names already given inside one message, and the next "~N" to try per stem.
struct ShortNames {
  std::set<std::string> used;
  std::map<std::string, int> next;
};

std::string short_name(std::string_view long_name, ShortNames& names) {
  const std::string ext = extension_of(long_name);
  const std::string stem(long_name.substr(0, long_name.size() - ext.size()));
  const auto upper = text::ascii_upper(stem);
  const auto fits = [&] {
    if (stem.empty() || stem.size() > 8 || ext.size() > 4) return false;
    for (char c : long_name)
      if (static_cast<unsigned char>(c) >= 0x80 || c == ' ') return false;
    return stem.find('.') == std::string::npos;
  }();
  if (fits && names.used.insert(text::ascii_upper(long_name)).second) return std::string(long_name);
  std::string base;
  for (char c : upper)
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      base += c;
      if (base.size() == 6) break;
    }
  if (base.empty()) base = "ATT";
  std::string e;
  for (char c : text::ascii_upper(ext))
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      e += c;
      if (e.size() == 3) break;
    }
  const std::string suffix = e.empty() ? "" : "." + e;
  int& i = names.next[base + suffix];
  while (true) {
    const std::string number = "~" + std::to_string(++i);
    // The stem shrinks as the number grows, so the name stays eight characters.
    const std::size_t keep = number.size() < 8 ? std::min(base.size(), 8 - number.size()) : 0;
    std::string n = base.substr(0, keep) + number + suffix;
    if (names.used.insert(n).second) return n;
  }
}

// ---- the walk --------------------------------------------------------------------

struct Body {
  GMimePart* html = nullptr;
  GMimePart* plain = nullptr;
};

bool is_body_text(std::string_view type) {
  return type == "text/plain" || type == "text/html" || type == "text/enriched";
}

// Bytes a part's content takes in the message, transfer-encoded; 0 when unknown.
std::uint64_t encoded_length(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* s = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
  const gint64 n = s ? g_mime_stream_length(s) : -1;
  return n > 0 ? static_cast<std::uint64_t>(n) : 0;
}

struct BodyLimits {
  std::size_t max_depth = 0;
  std::size_t max_bytes = 0;
  // Set when a text part was passed over as too large to be the body.
  std::uint64_t* passed_over = nullptr;
};

Body select_body(GMimeObject* object, std::size_t depth, const BodyLimits& limits) {
  Body b;
  const std::size_t max_depth = limits.max_depth;
  if (object == nullptr || depth > max_depth || is_attachment_disposition(object)) return b;
  const std::string type = mime_type(object);
  if (GMIME_IS_PART(object)) {
    if (is_body_text(type)) {
      const std::uint64_t n = encoded_length(GMIME_PART(object));
      if (n > limits.max_bytes) {
        if (limits.passed_over) *limits.passed_over = n;
        return b;
      }
    }
    if (type == "text/html")
      b.html = GMIME_PART(object);
    else if (type == "text/plain" || type == "text/enriched")
      b.plain = GMIME_PART(object);
    return b;
  }
  if (!GMIME_IS_MULTIPART(object)) return b;
  auto* mp = GMIME_MULTIPART(object);
  const int n = g_mime_multipart_get_count(mp);
  if (n <= 0) return b;
  if (type == "multipart/alternative") {
    for (int i = 0; i < n; ++i) {
      Body c = select_body(g_mime_multipart_get_part(mp, i), depth + 1, limits);
      if (c.html != nullptr) b.html = c.html;
      if (c.plain != nullptr) b.plain = c.plain;
    }
    return b;
  }
  if (type == "multipart/related") {
    GMimeObject* root = g_mime_multipart_get_part(mp, 0);
    const std::string start = content_param(object, "start");
    if (!start.empty()) {
      std::string id = start;
      if (id.starts_with("<") && id.ends_with(">")) id = id.substr(1, id.size() - 2);
      if (GMimeObject* s = g_mime_multipart_get_subpart_from_content_id(mp, id.c_str())) root = s;
    }
    return select_body(root, depth + 1, limits);
  }
  // mixed, signed, report and the rest: only the first child may be the body.
  GMimeObject* first = g_mime_multipart_get_part(mp, 0);
  const std::string first_type = mime_type(first);
  if (GMIME_IS_PART(first) && !is_body_text(first_type)) return b;
  if (GMIME_IS_MULTIPART(first) || GMIME_IS_PART(first))
    return select_body(first, depth + 1, limits);
  return b;
}

std::set<std::string> html_references(std::string_view html) {
  std::set<std::string> refs;
  // "cid:" in any letter case, found by its colon (no lower-case copy of the document).
  const auto next_cid = [&](std::size_t from) {
    for (std::size_t colon = html.find(':', from + 3); colon != std::string_view::npos;
         colon = html.find(':', colon + 1))
      if (text::iequals(html.substr(colon - 3, 3), "cid")) return colon - 3;
    return std::string_view::npos;
  };
  std::size_t pos = 0;
  while ((pos = next_cid(pos)) != std::string_view::npos) {
    std::size_t e = pos + 4;
    while (e < html.size() && html[e] != '"' && html[e] != '\'' && html[e] != ' ' &&
           html[e] != '>' && html[e] != ')' && html[e] != '\r' && html[e] != '\n')
      ++e;
    std::string id;
    for (std::size_t i = pos + 4; i < e; ++i) {
      if (html[i] == '%' && i + 2 < e && std::isxdigit(static_cast<unsigned char>(html[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(html[i + 2]))) {
        id += static_cast<char>(std::stoi(std::string(html.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        id += html[i];
      }
    }
    if (!id.empty()) refs.insert(id);
    pos = e;
  }
  return refs;
}

bool is_inline_image_type(std::string_view type) {
  return type == "image/jpeg" || type == "image/jpg" || type == "image/pjpeg" ||
         type == "image/gif" || type == "image/bmp" || type == "image/png" || type == "image/x-png";
}

GPtr<GMimeObject> parse_entity(Context& ctx, const std::string& entity) {
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(entity.data(), entity.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  return GPtr<GMimeObject>(g_mime_parser_construct_part(parser.get(), ctx.parser_options));
}

// A multipart without a usable boundary has no children: GMime puts its whole content in
// the prologue. Re-read it with the boundary its delimiter lines use, or as plain text.
GPtr<GMimeObject> repair_multipart(Context& ctx, GMimeObject* object) {
  auto* mp = GMIME_MULTIPART(object);
  const char* pro = g_mime_multipart_get_prologue(mp);
  const char* epi = g_mime_multipart_get_epilogue(mp);
  std::string content = std::string(pro ? pro : "") + (epi ? "\n" + std::string(epi) : "");
  if (text::trim(content).empty()) return nullptr;
  std::string boundary;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t lf = content.find('\n', pos);
    if (lf == std::string::npos) lf = content.size();
    std::string line = text::trim(std::string_view(content).substr(pos, lf - pos));
    if (line.size() > 2 && line.starts_with("--") && line.size() < 200) {
      boundary = line.substr(2);
      if (boundary.ends_with("--")) boundary.resize(boundary.size() - 2);
      if (boundary.find('"') != std::string::npos) boundary.clear();
      break;
    }
    pos = lf + 1;
  }
  ctx.warnings.emplace_back(boundary.empty() ? "multipart without boundary read as plain text"
                                             : "multipart without boundary parameter read with \"" +
                                                   boundary + "\"");
  const std::string entity = boundary.empty() ? "Content-Type: text/plain\n\n" + content
                                              : "Content-Type: " + mime_type(object) +
                                                    "; boundary=\"" + boundary + "\"\n\n" + content;
  return parse_entity(ctx, entity);
}

// Repairs every childless multipart of the tree in place.
void repair_tree(Context& ctx, GMimeObject* object, GMimeMessage* owner, GMimeMultipart* parent,
                 int index, std::size_t depth) {
  if (object == nullptr || depth > ctx.options.max_depth || !GMIME_IS_MULTIPART(object)) return;
  auto* mp = GMIME_MULTIPART(object);
  if (g_mime_multipart_get_count(mp) == 0) {
    GPtr<GMimeObject> repaired = repair_multipart(ctx, object);
    if (!repaired) return;
    if (parent != nullptr) {
      GPtr<GMimeObject> old(g_mime_multipart_replace(parent, index, repaired.get()));
    } else if (owner != nullptr) {
      g_mime_message_set_mime_part(owner, repaired.get());
    }
    return;
  }
  const int n = g_mime_multipart_get_count(mp);
  for (int i = 0; i < n; ++i)
    repair_tree(ctx, g_mime_multipart_get_part(mp, i), nullptr, mp, i, depth + 1);
}

// A Content-Type GMime could not read ("text", "application-x-gzip") leaves the part as
// application/octet-stream without its parameters. RFC 2045 reads such a part as
// text/plain; us-ascii; a part with a file name stays a file of that name.
void repair_content_types(Context& ctx, GMimeObject* object, std::size_t depth) {
  if (object == nullptr || depth > ctx.options.max_depth) return;
  if (GMIME_IS_MULTIPART(object)) {
    auto* mp = GMIME_MULTIPART(object);
    const int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n; ++i)
      repair_content_types(ctx, g_mime_multipart_get_part(mp, i), depth + 1);
    return;
  }
  if (!GMIME_IS_PART(object) || mime_type(object) != "application/octet-stream") return;
  const auto hs = raw_headers(object);
  const RawHeader* h = find_header(hs, "Content-Type");
  if (h == nullptr) return;
  const std::string value = unfold(h->raw);
  const std::size_t semicolon = value.find(';');
  const std::string declared = text::trim(std::string_view(value).substr(0, semicolon));
  const std::size_t slash = declared.find('/');
  if (slash != std::string::npos && slash > 0 && slash + 1 < declared.size() &&
      declared.find_first_of(" \t\"") == std::string::npos)
    return;  // a type GMime read
  const std::string params =
      semicolon == std::string::npos ? std::string() : value.substr(semicolon);
  const bool named = !part_file_name(ctx, object).empty() ||
                     std::string_view(params).find("name") != std::string_view::npos;
  const std::string replacement = named ? "application/octet-stream" : "text/plain";
  GPtr<GMimeContentType> ct(
      g_mime_content_type_parse(ctx.parser_options, (replacement + params).c_str()));
  if (!ct) return;
  if (!named && g_mime_content_type_get_parameter(ct.get(), "charset") == nullptr)
    g_mime_content_type_set_parameter(ct.get(), "charset", "us-ascii");
  g_mime_object_set_content_type(object, ct.get());
  ctx.warnings.push_back("invalid Content-Type \"" + declared + "\" read as " + replacement);
}

bool is_apple_mail(const std::vector<RawHeader>& hs) {
  for (std::string_view name : {"MIME-Version", "X-User-Agent", "X-Mailer"}) {
    const RawHeader* h = find_header(hs, name);
    if (h == nullptr) continue;
    const std::string v = text::ascii_lower(h->raw);
    if (v.find("apple") != std::string::npos || v.find("ipad") != std::string::npos ||
        v.find("ipod") != std::string::npos || v.find("iphone") != std::string::npos)
      return true;
  }
  return false;
}

// The inner part of an HTML document (what is between <body> and </body>).
std::string html_fragment(std::string_view html) {
  const std::string lower = text::ascii_lower(html);
  std::size_t start = lower.find("<body");
  if (start != std::string::npos) {
    start = lower.find('>', start);
    start = start == std::string::npos ? 0 : start + 1;
  } else {
    start = 0;
  }
  std::size_t end = lower.rfind("</body>");
  if (end == std::string::npos || end < start) end = html.size();
  return std::string(html.substr(start, end - start));
}

bool is_smime_signed(GMimeObject* top);

class Converter {
 public:
  Converter(Context& ctx, std::size_t embedded_depth)
      : ctx_(ctx), embedded_depth_(embedded_depth) {}

  // Converts one parsed message; `header_block` is its raw top-level header text and
  // `body_bytes` the bytes after it (for clear-signed content), both may be empty.
  Message convert(GMimeMessage* msg, std::string_view header_block, std::string_view body_bytes,
                  const framing::Framed* frame, std::size_t size);

 private:
  void envelope(GMimeMessage* msg, const std::vector<RawHeader>& hs, const framing::Framed* frame);
  void recipients(const std::vector<RawHeader>& hs);
  void bodies(const Body& body);
  BodyLimits body_limits() {
    return {ctx_.options.max_depth, ctx_.options.max_body_bytes, &large_text_};
  }
  void walk(GMimeObject* object, GMimeObject* parent, std::size_t depth, const Body& body);
  void leaf(GMimePart* part, GMimeObject* parent, const std::string* inline_cid = nullptr);
  bool unpack_tnef(std::string_view data);
  void tnef_attachment(tnef::Attachment& ta);
  bool aggregate(GMimeObject* top);
  void embedded(GMimeMessage* inner, GMimeObject* part);
  Attachment& add_attachment(std::string_view long_name, std::string_view type);
  void attach_bytes(std::string_view name, std::string_view type, std::string_view bytes);

  Context& ctx_;
  std::size_t embedded_depth_;
  Message m_;
  std::string html_utf8_;  // the chosen HTML body, for inline references
  std::set<std::string> references_;
  ShortNames used_short_names_;
  std::size_t hidden_ = 0;
  std::size_t visible_ = 0;
  int unnamed_ = 0;
  FileTime delivery_{};
  std::string tnef_correlator_;    // X-MS-TNEF-Correlator, else the Message-ID
  std::string_view header_block_;  // the raw header block of the message being converted
  std::map<GMimeObject*, std::string> part_numbers_;  // IMAP part numbers, .partial.emlx only
  bool partial_body(Attachment& a, GMimePart* part, std::string_view name);
  std::uint64_t large_text_ = 0;  // a text part passed over as the body for its size
};

// IMAP part numbers (RFC 3501 6.4.5) of the parts of a message's MIME tree: a single part
// is 1, the children of a multipart are 1, 2, ... below the multipart's own number.
void number_parts(GMimeObject* object, const std::string& number,
                  std::map<GMimeObject*, std::string>& out, std::size_t depth) {
  if (object == nullptr || depth > 64) return;
  if (!GMIME_IS_MULTIPART(object)) {
    out[object] = number.empty() ? "1" : number;
    return;
  }
  auto* mp = GMIME_MULTIPART(object);
  const int n = g_mime_multipart_get_count(mp);
  for (int i = 0; i < n; ++i)
    number_parts(g_mime_multipart_get_part(mp, i),
                 (number.empty() ? "" : number + ".") + std::to_string(i + 1), out, depth + 1);
}

// The body of a part Apple Mail left out of a .partial.emlx, from Attachments/<message>/
// <part>/: the file of the attachment's name there, else the only file there. False when
// there is none.
bool Converter::partial_body(Attachment& a, GMimePart* part, std::string_view name) {
  const auto number = part_numbers_.find(GMIME_OBJECT(part));
  if (number == part_numbers_.end()) return false;
  const std::filesystem::path folder = ctx_.partial_attachments / number->second;
  std::error_code ec;
  std::filesystem::path found;
  int files = 0;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    ++files;
    if (found.empty() || it->path().filename() == name) found = it->path();
  }
  const std::string where =
      "Attachments/" + ctx_.partial_attachments.filename().string() + "/" + number->second + "/";
  if (found.empty() || (files > 1 && found.filename() != name)) {
    ctx_.warnings.push_back("attachment \"" + std::string(name) +
                            "\" of this partial .emlx is not in " + where +
                            "; kept as an empty attachment");
    return false;
  }
  const std::shared_ptr<const MessageFile> file = MessageFile::open(found);
  if (file->size() > ctx_.options.stream_attachments_over) {
    a.content = file_content(file, 0, file->size(), GMIME_CONTENT_ENCODING_DEFAULT);
  } else {
    Bytes data(static_cast<std::size_t>(file->size()));
    if (file->read_at(0, data) != data.size())
      throw ReadError("cannot read " + file->name() + ": the file changed while it was read",
                      ESTALE);
    put(a.properties, t::kAttachSize, static_cast<std::int32_t>(data.size()));
    put(a.properties, t::kAttachDataBin, std::move(data));
  }
  return true;
}

const Value* find_value(const std::vector<Property>& props, std::uint32_t tag) {
  for (const auto& p : props)
    if (p.tag == tag) return &p.value;
  return nullptr;
}

std::string str_of(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find_value(props, tag);
  const auto* s = v != nullptr ? std::get_if<std::u16string>(v) : nullptr;
  return s != nullptr ? text::utf16_to_utf8(*s) : std::string();
}

// A message made of the properties a TNEF stream encapsulates, for attached messages.
Message tnef_message(tnef::Stream& s, std::vector<std::string>& warnings) {
  Message m;
  auto& p = m.properties;
  for (auto& prop : s.properties) put(p, prop.tag, std::move(prop.value));
  if (!find_value(p, t::kMessageClass))
    put_str(p, t::kMessageClass, s.message_class.empty() ? "IPM.Note" : s.message_class);
  if (!find_value(p, t::kSubject)) put_str(p, t::kSubject, "");
  if (!find_value(p, t::kSensitivity)) put(p, t::kSensitivity, static_cast<std::int32_t>(0));
  if (!find_value(p, t::kImportance)) put(p, t::kImportance, static_cast<std::int32_t>(1));
  std::int32_t flags = t::kFlagRead;
  if (const Value* f = find_value(p, t::kMessageFlags))
    if (const auto* v = std::get_if<std::int32_t>(f)) flags = (*v | t::kFlagRead) & ~t::kFlagUnsent;
  if (!s.attachments.empty()) flags |= t::kFlagHasAttach;
  put(p, t::kMessageFlags, flags);
  for (std::size_t i = 0; i < s.attachments.size(); ++i) {
    tnef::Attachment& ta = s.attachments[i];
    Attachment a;
    for (auto& prop : ta.properties) put(a.properties, prop.tag, std::move(prop.value));
    put(a.properties, t::kAttachNum, static_cast<std::int32_t>(i));
    if (!ta.data.empty() && !find_value(a.properties, t::kAttachDataBin))
      put(a.properties, t::kAttachDataBin, std::move(ta.data));
    if (ta.embedded) {
      put(a.properties, t::kAttachMethod, t::kAttachEmbeddedMsg);
      a.embedded_message = std::make_unique<Message>(tnef_message(*ta.embedded, warnings));
    } else if (const Value* method = find_value(a.properties, t::kAttachMethod);
               method == nullptr || (std::holds_alternative<std::int32_t>(*method) &&
                                     std::get<std::int32_t>(*method) == t::kAttachEmbeddedMsg)) {
      // "Attached message" without one: what data there are stay a plain attachment.
      if (method != nullptr)
        warnings.emplace_back(
            "TNEF attachment marked as an attached message holds none; kept as a file");
      put(a.properties, t::kAttachMethod, t::kAttachByValue);
    }
    m.attachments.push_back(std::move(a));
  }
  return m;
}

Attachment& Converter::add_attachment(std::string_view raw_name, std::string_view type) {
  Attachment a;
  std::string name = sanitize_file_name(raw_name);
  if (name.empty()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "ATT%05d", ++unnamed_);
    name = buf + extension_for_type(type);
  }
  std::string ext = extension_of(name);
  if (ext.empty()) ext = extension_for_type(type);
  auto& p = a.properties;
  put(p, t::kAttachNum, static_cast<std::int32_t>(m_.attachments.size()));
  put(p, t::kAttachMethod, t::kAttachByValue);
  put_str(p, t::kAttachLongFilename, name);
  put_str(p, t::kAttachFilename, short_name(name, used_short_names_));
  put_str(p, t::kAttachExtension, ext);
  put_str(p, t::kDisplayName, name);
  put_str(p, t::kAttachMimeTag, type);
  put(p, t::kRenderingPosition, static_cast<std::int32_t>(-1));
  put(p, t::kObjectType, static_cast<std::int32_t>(7));
  put(p, t::kAttachFlags, static_cast<std::int32_t>(0));
  put(p, t::kCreationTime, delivery_);
  put(p, t::kLastModificationTime, delivery_);
  m_.attachments.push_back(std::move(a));
  return m_.attachments.back();
}

void Converter::attach_bytes(std::string_view name, std::string_view type, std::string_view bytes) {
  Attachment& a = add_attachment(name, type);
  put(a.properties, t::kAttachDataBin, to_bytes(bytes));
  put(a.properties, t::kAttachSize,
      static_cast<std::int32_t>(std::min<std::size_t>(bytes.size(), 0x7FFFFFFF)));
  ++visible_;
}

// Decodes uuencoded lines from `from` on: a begin line ("begin 644 name", maybe indented)
// when `begun` is false, then data lines up to "end" or a boundary line. Sets `name` from
// the begin line. Nullopt when there is no begin line.
std::optional<std::string> uudecode(std::string_view raw, bool begun, std::string& name) {
  std::string out;
  std::size_t pos = 0;
  while (pos < raw.size()) {
    std::size_t lf = raw.find('\n', pos);
    if (lf == std::string_view::npos) lf = raw.size();
    std::string_view line = raw.substr(pos, lf - pos);
    pos = lf + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (!begun) {
      const std::string_view t = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
      if (t.starts_with("begin ")) {
        begun = true;
        const std::size_t sp = t.find(' ', 6);
        if (sp != std::string_view::npos) name = text::trim(t.substr(sp + 1));
      }
      continue;
    }
    if (line == "end" || line.starts_with("--")) return out;
    if (line.empty()) continue;
    const std::size_t n = static_cast<std::size_t>((line[0] - 32) & 63);
    if (n == 0) continue;  // the "`" line before "end"
    std::size_t got = 0;
    for (std::size_t i = 1; i < line.size() && got < n; i += 4) {
      unsigned char c[4];
      for (std::size_t k = 0; k < 4; ++k)
        c[k] = static_cast<unsigned char>((i + k < line.size() ? line[i + k] - 32 : 0) & 63);
      const char b[3] = {static_cast<char>(c[0] << 2 | c[1] >> 4),
                         static_cast<char>((c[1] << 4 | c[2] >> 2) & 0xFF),
                         static_cast<char>((c[2] << 6 | c[3]) & 0xFF)};
      for (std::size_t k = 0; k < 3 && got < n; ++k, ++got) out += b[k];
    }
  }
  if (!begun) return std::nullopt;
  return out;
}

// The part's transfer encoding is uuencode, also when its field goes on with a folded
// begin line (which GMime reads as an unknown encoding).
bool is_uuencoded(GMimePart* part) {
  if (g_mime_part_get_content_encoding(part) == GMIME_CONTENT_ENCODING_UUENCODE) return true;
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(part));
  GMimeHeader* h =
      list ? g_mime_header_list_get_header(list, "Content-Transfer-Encoding") : nullptr;
  const char* raw = h ? g_mime_header_get_raw_value(h) : nullptr;
  if (raw == nullptr) return false;
  const std::string v = text::ascii_lower(unfold(raw));
  const std::string word = v.substr(0, v.find_first_of(" 	"));
  return word == "x-uuencode" || word == "uuencode" || word == "x-uue";
}

// A uuencoded part, decoded by our rules: GMime's decoder wants "begin" at the start of a
// line, and a begin line folded into the header block (a continuation of the encoding
// field) leaves it none. Such a begin line is found at the field's place in the parsed
// bytes. Nullopt when the part holds no uuencoded data.
std::optional<std::string> uudecoded(Context& ctx, GMimePart* part, std::string& name) {
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(part));
  GMimeHeader* cte =
      list ? g_mime_header_list_get_header(list, "Content-Transfer-Encoding") : nullptr;
  const char* raw_cte = cte ? g_mime_header_get_raw_value(cte) : nullptr;
  if (raw_cte != nullptr && std::string_view(raw_cte).find("begin ") != std::string_view::npos) {
    const gint64 at = g_mime_header_get_offset(cte) - ctx.source_base;
    if (at >= 0 && static_cast<std::uint64_t>(at) < ctx.source.size()) {
      const std::string_view from = ctx.source.substr(static_cast<std::size_t>(at));
      if (text::iequals(from.substr(0, 25), "Content-Transfer-Encoding")) {
        const std::size_t begin = from.find("begin ");
        if (auto d = uudecode(from.substr(begin), false, name)) return d;
      }
    }
  }
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return std::nullopt;
  GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
  if (stream == nullptr) return std::nullopt;
  fix_content_end(stream);
  g_mime_stream_reset(stream);
  std::string raw;
  char buf[65536];
  for (ssize_t n; (n = g_mime_stream_read(stream, buf, sizeof buf)) > 0;)
    raw.append(buf, static_cast<std::size_t>(n));
  return uudecode(raw, false, name);
}

void Converter::leaf(GMimePart* part, GMimeObject* parent, const std::string* inline_cid) {
  GMimeObject* object = GMIME_OBJECT(part);
  const std::string type = mime_type(object);
  std::string name = part_file_name(ctx_, object);
  const bool message_type =
      type == "message/rfc822" || type == "message/global" || type == "message/news";
  const bool tnef_type = type == "application/ms-tnef" || type == "application/vnd.ms-tnef" ||
                         text::ascii_lower(name) == "winmail.dat";
  // Attached messages and TNEF streams are unpacked, so they are read now; other large data
  // stay in the file until the store writes them.
  // Uuencoded data are decoded here, in memory.
  const bool uuencoded = is_uuencoded(part);
  std::shared_ptr<ContentSource> source =
      message_type || tnef_type || uuencoded ? nullptr : streamed_content(ctx_, part);
  // A transfer-encoded attached message too large to decode into memory and parse there
  // stays an .eml file, decoded from the message file when the store writes it.
  if (message_type) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* s = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (s != nullptr && s->bound_end > s->bound_start &&
        static_cast<std::uint64_t>(s->bound_end - s->bound_start) >
            ctx_.options.unpack_encoded_messages_up_to)
      source = streamed_content(ctx_, part);
    if (source) {
      ctx_.warnings.push_back("attached message of " +
                              std::to_string(s->bound_end - s->bound_start) +
                              " encoded bytes is too large to unpack; kept as an .eml file");
      if (name.empty()) name = "message.eml";
    }
  }
  Bytes data;
  std::string uu_name;
  if (const auto uu = uuencoded ? uudecoded(ctx_, part, uu_name) : std::nullopt) {
    data = to_bytes(*uu);
    if (name.empty() && !uu_name.empty()) name = uu_name;
  } else if (!source) {
    data = part_data(part);
  }
  const std::string_view view(reinterpret_cast<const char*>(data.data()), data.size());

  // message/rfc822 sent with a transfer encoding is not parsed by GMime: parse it here.
  if (message_type && !source) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(view.data(), view.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GPtr<GMimeMessage> inner(g_mime_parser_construct_message(parser.get(), ctx_.parser_options));
    if (inner && g_mime_header_list_get_count(
                     g_mime_object_get_header_list(GMIME_OBJECT(inner.get()))) > 0) {
      embedded(inner.get(), object);
      return;
    }
    if (name.empty()) name = "message.eml";
  }

  if (tnef_type) {
    if (unpack_tnef(view)) return;
  }

  const char* cid_raw = g_mime_part_get_content_id(part);
  const char* location_raw = g_mime_part_get_content_location(part);
  std::string cid = cid_raw ? cid_raw : "";
  if (cid.starts_with("<") && cid.ends_with(">")) cid = cid.substr(1, cid.size() - 2);
  if (inline_cid != nullptr) cid = *inline_cid;
  const std::string location = location_raw ? location_raw : "";

  const bool referenced =
      (!cid.empty() && references_.count(cid) > 0) ||
      (!location.empty() && !html_utf8_.empty() && html_utf8_.find(location) != std::string::npos);
  const bool hidden =
      inline_cid != nullptr || (referenced && is_inline_image_type(type) && parent != nullptr);

  Attachment& a = add_attachment(name, type);
  auto& p = a.properties;
  if (!source)
    put(p, t::kAttachSize,
        static_cast<std::int32_t>(std::min<std::size_t>(data.size(), 0x7FFFFFFF)));
  if (!cid.empty()) put_str(p, t::kAttachContentId, cid);
  if (!location.empty()) put_str(p, t::kAttachContentLocation, location);
  if (type.starts_with("text/")) {
    const std::string cs = content_param(object, "charset");
    if (!cs.empty()) put_str(p, t::kTextAttachmentCharset, cs);
  }
  if (const char* desc = g_mime_part_get_content_description(part); desc && *desc && !name.empty())
    put_str(p, t::kDisplayName, clean_name(decode_text_header(ctx_, desc)));
  if (GMimeContentDisposition* d = g_mime_object_get_content_disposition(object)) {
    const auto date_param = [&](const char* name, std::uint32_t tag) {
      const char* v = g_mime_content_disposition_get_parameter(d, name);
      if (v == nullptr) return;
      if (auto t = parse_date(v)) put(p, tag, filetime_from_unix(*t));
    };
    date_param("creation-date", t::kCreationTime);
    date_param("modification-date", t::kLastModificationTime);
  }
  if (hidden) {
    put(p, t::kAttachFlags, static_cast<std::int32_t>(4));
    put(p, t::kAttachmentHidden, true);
    ++hidden_;
  } else {
    ++visible_;
  }
  // Apple Mail keeps the bodies of a .partial.emlx's attachments beside it.
  const bool left_out = find_header(raw_headers(object), "X-Apple-Content-Length") != nullptr;
  if (!source && !ctx_.partial_attachments.empty() && (data.empty() || left_out) &&
      partial_body(a, part, str_of(a.properties, t::kAttachLongFilename)))
    return;
  if (source)
    a.content = std::move(source);
  else
    put(p, t::kAttachDataBin, std::move(data));
}

void Converter::tnef_attachment(tnef::Attachment& ta) {
  const auto text_prop = [&](std::uint32_t tag) -> std::string {
    if (const Value* v = find_value(ta.properties, tag))
      if (const auto* s = std::get_if<std::u16string>(v)) return text::utf16_to_utf8(*s);
    return {};
  };
  std::string name = text_prop(t::kAttachLongFilename);
  if (name.empty()) name = text_prop(t::kAttachFilename);
  if (name.empty()) name = ta.title;
  std::string type = text::ascii_lower(text_prop(t::kAttachMimeTag));
  if (ta.embedded) {
    Message inner = tnef_message(*ta.embedded, ctx_.warnings);
    if (name.empty()) {
      if (const Value* v = find_value(inner.properties, t::kSubject))
        name = text::utf16_to_utf8(std::get<std::u16string>(*v));
    }
    if (name.empty()) name = "Attached message";
    Attachment& a = add_attachment(name + ".msg", "application/vnd.ms-outlook");
    put(a.properties, t::kAttachMethod, t::kAttachEmbeddedMsg);
    put_str(a.properties, t::kDisplayName, name);
    a.embedded_message = std::make_unique<Message>(std::move(inner));
    ++visible_;
    return;
  }
  Bytes data = std::move(ta.data);
  if (const Value* v = find_value(ta.properties, t::kAttachDataBin); v && data.empty())
    if (const auto* b = std::get_if<Bytes>(v)) data = *b;
  Attachment& a = add_attachment(name, type.empty() ? "application/octet-stream" : type);
  auto& p = a.properties;
  if (type.empty()) {
    const std::string ext = text::ascii_lower(extension_of(name));
    static constexpr std::pair<std::string_view, std::string_view> kByExt[] = {
        {".pdf", "application/pdf"}, {".txt", "text/plain"},     {".jpg", "image/jpeg"},
        {".png", "image/png"},       {".gif", "image/gif"},      {".htm", "text/html"},
        {".html", "text/html"},      {".zip", "application/zip"}};
    for (const auto& [e, mt] : kByExt)
      if (e == ext) put_str(p, t::kAttachMimeTag, mt);
  }
  put(p, t::kAttachSize, static_cast<std::int32_t>(std::min<std::size_t>(data.size(), 0x7FFFFFFF)));
  if (const std::string cid = text_prop(t::kAttachContentId); !cid.empty())
    put_str(p, t::kAttachContentId, cid);
  if (ta.created) put(p, t::kCreationTime, *ta.created);
  if (ta.modified) put(p, t::kLastModificationTime, *ta.modified);
  bool hidden = false;
  if (const Value* v = find_value(ta.properties, t::kAttachmentHidden))
    if (const auto* b = std::get_if<bool>(v)) hidden = *b;
  if (hidden) {
    put(p, t::kAttachmentHidden, true);
    put(p, t::kAttachFlags, static_cast<std::int32_t>(4));
    ++hidden_;
  } else {
    ++visible_;
  }
  put(p, t::kAttachDataBin, std::move(data));
}

// winmail.dat: its attachments become ours. Its body properties are taken only when the
// stream belongs to this message (correlation key) and only where MIME gave none.
bool Converter::unpack_tnef(std::string_view data) {
  std::string error;
  std::optional<tnef::Stream> s = tnef::decode(data, error);
  if (!s) {
    ctx_.warnings.push_back("TNEF attachment not decoded (" + error + "); kept as winmail.dat");
    return false;
  }
  for (auto& w : s->warnings) ctx_.warnings.push_back(std::move(w));
  if (s->attachments.empty()) {
    // Nothing to unpack (a body-only stream): the file itself stays, so nothing is lost.
    return false;
  }
  for (auto& ta : s->attachments) tnef_attachment(ta);
  constexpr std::uint32_t kCorrelationKey = 0x007F0102;
  constexpr std::uint32_t kRtfCompressed = 0x10090102;
  bool correlated = true;
  if (const Value* key = find_value(s->properties, kCorrelationKey)) {
    const auto& b = std::get<Bytes>(*key);
    std::string k(reinterpret_cast<const char*>(b.data()), b.size());
    while (!k.empty() && k.back() == '\0') k.pop_back();
    correlated = !tnef_correlator_.empty() && k == tnef_correlator_;
    if (!correlated)
      ctx_.warnings.emplace_back("TNEF stream belongs to another message; its body is not used");
  }
  if (!correlated) return true;
  auto& p = m_.properties;
  const auto empty_body = [&] {
    const Value* b = find_value(p, t::kBody);
    return b == nullptr || std::get<std::u16string>(*b).empty();
  };
  if (const Value* rtf = find_value(s->properties, kRtfCompressed)) {
    put(p, kRtfCompressed, *rtf);
    if (!find_value(p, t::kHtml)) put(p, t::kNativeBody, static_cast<std::int32_t>(2));
  }
  if (const Value* html = find_value(s->properties, t::kHtml); html && !find_value(p, t::kHtml)) {
    put(p, t::kHtml, *html);
    put(p, t::kNativeBody, static_cast<std::int32_t>(3));
  }
  if (const Value* body = find_value(s->properties, t::kBody); body && empty_body()) {
    put(p, t::kBody, *body);
    const Value* native = find_value(p, t::kNativeBody);
    const auto* n = native ? std::get_if<std::int32_t>(native) : nullptr;
    if (n == nullptr || *n == 0) put(p, t::kNativeBody, static_cast<std::int32_t>(1));
  }
  return true;
}

void Converter::embedded(GMimeMessage* inner, GMimeObject* part) {
  // An attached message of a file parsed from the file may be as large as the file: its
  // size is counted without a copy, and when it is large only its header block is written
  // out (its parts are read from the file like any other). A clear-signed one needs its
  // bytes for the signed entity.
  std::uint64_t size = 0;
  bool large = false;
  if (ctx_.origin != nullptr && ctx_.origin->fd >= 0 && ctx_.origin->file) {
    GPtr<GMimeStream> counter(g_mime_stream_null_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, counter.get());
    size = GMIME_STREAM_NULL(counter.get())->written;
    GMimeObject* top = g_mime_message_get_mime_part(inner);
    large = size > ctx_.options.parse_in_memory_up_to &&
            embedded_depth_ + 1 <= ctx_.options.max_embedded_depth &&
            (top == nullptr || !is_smime_signed(top));
  }
  std::string serialized;
  if (large) {
    serialized = take_string(
        g_mime_header_list_to_string(g_mime_object_get_header_list(GMIME_OBJECT(inner)), nullptr));
    if (GMimeObject* top = g_mime_message_get_mime_part(inner))
      serialized +=
          take_string(g_mime_header_list_to_string(g_mime_object_get_header_list(top), nullptr));
    serialized += "\n";
  } else {
    serialized = object_bytes(GMIME_OBJECT(inner));
    size = serialized.size();
  }
  std::string subject = inner ? decode_text_header(ctx_,
                                                   [&] {
                                                     const char* s = g_mime_object_get_header(
                                                         GMIME_OBJECT(inner), "Subject");
                                                     return std::string(s ? s : "");
                                                   }())
                              : std::string();
  std::string name = part ? part_file_name(ctx_, part) : std::string();
  if (name.empty()) name = subject.empty() ? std::string("Attached message") : subject;
  std::string display = name;
  if (text::ascii_lower(name).ends_with(".eml"))
    display = name.substr(0, name.size() - 4);
  else
    name += ".eml";

  if (embedded_depth_ + 1 > ctx_.options.max_embedded_depth) {
    ctx_.warnings.push_back("attached messages nested deeper than " +
                            std::to_string(ctx_.options.max_embedded_depth) +
                            "; kept as an .eml file");
    attach_bytes(name, "message/rfc822", serialized);
    return;
  }
  // The header block as written: message and top-part fields together.
  const framing::HeaderBlock hb = framing::find_header_block(serialized);
  const std::string_view headers = std::string_view(serialized).substr(0, hb.end);
  const std::string_view body_bytes =
      std::string_view(serialized).substr(std::min(hb.body, serialized.size()));
  Converter nested(ctx_, embedded_depth_ + 1);
  Message message = nested.convert(inner, headers, body_bytes, nullptr, size);
  Attachment& a = add_attachment(name, "message/rfc822");
  auto& p = a.properties;
  put(p, t::kAttachMethod, t::kAttachEmbeddedMsg);
  put_str(p, t::kDisplayName, display);
  put(p, t::kAttachSize, static_cast<std::int32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF)));
  a.embedded_message = std::make_unique<Message>(std::move(message));
  ++visible_;
}

// Apple Mail sends text, images and more text as siblings of one multipart/mixed. When
// such a message has text after its first non-text part, the texts and images become one
// HTML body with the images inline; other parts stay attachments.
bool Converter::aggregate(GMimeObject* top) {
  if (mime_type(top) != "multipart/mixed" || !GMIME_IS_MULTIPART(top)) return false;
  auto* mp = GMIME_MULTIPART(top);
  const int n = g_mime_multipart_get_count(mp);
  const auto body_text = [&](GMimeObject* c) {
    const std::string type = mime_type(c);
    return GMIME_IS_PART(c) && (type == "text/plain" || type == "text/html") &&
           !is_attachment_disposition(c);
  };
  bool seen_other = false, text_after_other = false;
  for (int i = 0; i < n; ++i) {
    GMimeObject* c = g_mime_multipart_get_part(mp, i);
    if (body_text(c)) {
      if (seen_other) text_after_other = true;
    } else {
      seen_other = true;
    }
  }
  if (!text_after_other || !body_text(g_mime_multipart_get_part(mp, 0))) return false;

  std::string html;
  std::vector<std::pair<GMimeObject*, std::string>> inline_images;
  for (int i = 0; i < n; ++i) {
    GMimeObject* c = g_mime_multipart_get_part(mp, i);
    const std::string type = mime_type(c);
    if (body_text(c)) {
      GMimePart* part = GMIME_PART(c);
      text::Decoded d = text::decode_text(part_bytes(part), content_param(c, "charset"),
                                          ctx_.options.legacy_charset);
      html += type == "text/html" ? html_fragment(d.utf8) : text::text_to_html(d.utf8);
    } else if (GMIME_IS_PART(c) && is_inline_image_type(type)) {
      const char* existing = g_mime_part_get_content_id(GMIME_PART(c));
      std::string cid = existing ? existing : "";
      if (cid.starts_with("<") && cid.ends_with(">")) cid = cid.substr(1, cid.size() - 2);
      if (cid.empty()) cid = "part" + std::to_string(i + 1) + ".larkfield@inline";
      html += "<img src=\"cid:" + cid + "\">";
      inline_images.emplace_back(c, cid);
    }
  }
  const std::string document = "<html><body>" + html + "</body></html>";
  auto& p = m_.properties;
  put(p, t::kHtml, to_bytes(document));
  html_utf8_ = document;
  references_ = html_references(document);
  put_str(p, t::kBody, text::to_crlf(text::html_to_text(document)));
  put(p, t::kNativeBody, static_cast<std::int32_t>(3));
  put(p, t::kInternetCpid, static_cast<std::int32_t>(65001));
  put(p, t::kMessageCodepage, static_cast<std::int32_t>(65001));
  for (int i = 0; i < n; ++i) {
    GMimeObject* c = g_mime_multipart_get_part(mp, i);
    if (body_text(c)) continue;
    const auto image = std::find_if(inline_images.begin(), inline_images.end(),
                                    [&](const auto& e) { return e.first == c; });
    if (image != inline_images.end()) {
      if (ctx_.parts != SIZE_MAX) ++ctx_.parts;
      leaf(GMIME_PART(c), top, &image->second);
    } else {
      walk(c, top, 1, Body{});
    }
  }
  return true;
}

void Converter::walk(GMimeObject* object, GMimeObject* parent, std::size_t depth,
                     const Body& body) {
  if (object == nullptr) return;
  if (depth > ctx_.options.max_depth) {
    ctx_.warnings.push_back("MIME parts nested deeper than " +
                            std::to_string(ctx_.options.max_depth) +
                            "; the rest is kept as one attachment");
    attach_bytes("nested-parts.eml", mime_type(object), object_bytes(object));
    return;
  }
  if (GMIME_IS_MULTIPART(object)) {
    auto* mp = GMIME_MULTIPART(object);
    const int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n; ++i) {
      if (ctx_.parts >= ctx_.options.max_parts) {
        ctx_.warnings.push_back("more than " + std::to_string(ctx_.options.max_parts) +
                                " MIME parts; the rest is kept as one attachment");
        const char* b = g_mime_multipart_get_boundary(mp);
        const std::string boundary = b ? b : "larkfield-rest";
        std::string rest = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
        for (int k = i; k < n; ++k)
          rest +=
              "--" + boundary + "\r\n" + object_bytes(g_mime_multipart_get_part(mp, k)) + "\r\n";
        rest += "--" + boundary + "--\r\n";
        attach_bytes("remaining-parts.eml", "multipart/mixed", rest);
        ctx_.parts = SIZE_MAX;
        return;
      }
      walk(g_mime_multipart_get_part(mp, i), object, depth + 1, body);
    }
    return;
  }
  if (ctx_.parts != SIZE_MAX) ++ctx_.parts;
  if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner != nullptr) {
      embedded(inner, object);
    } else {
      attach_bytes("message.eml", "message/rfc822", "");
    }
    return;
  }
  if (GMIME_IS_PART(object)) {
    auto* part = GMIME_PART(object);
    if (part == body.html || part == body.plain) return;
    leaf(part, parent);
  }
}

void Converter::bodies(const Body& body) {
  if (large_text_ > 0) {
    ctx_.warnings.push_back("a text part of " + std::to_string(large_text_) +
                            " bytes is too large for the body; it is kept as an attachment");
    large_text_ = 0;
  }
  auto& p = m_.properties;
  std::int32_t native = 0;
  std::int32_t cpid = 0;
  std::string plain_utf8;
  bool have_plain = false;
  if (body.plain != nullptr) {
    GMimeObject* o = GMIME_OBJECT(body.plain);
    const std::string declared = content_param(o, "charset");
    text::Decoded d =
        text::decode_text(part_bytes(body.plain), declared, ctx_.options.legacy_charset);
    if (d.fell_back && !declared.empty())
      ctx_.warnings.push_back("text body labelled \"" + declared + "\" read as " + d.charset);
    if (d.errors > 0)
      ctx_.warnings.push_back(std::to_string(d.errors) +
                              " undecodable bytes in the text body replaced by U+FFFD");
    plain_utf8 = std::move(d.utf8);
    const std::string type = mime_type(o);
    if (type == "text/enriched") {
      plain_utf8 = text::enriched_to_text(plain_utf8);
    } else if (text::ascii_lower(content_param(o, "format")) == "flowed") {
      plain_utf8 = text::unflow(plain_utf8, text::ascii_lower(content_param(o, "delsp")) == "yes");
    }
    have_plain = true;
    native = 1;
    cpid = d.code_page != 0 ? d.code_page : 65001;
  }
  if (body.html != nullptr) {
    GMimeObject* o = GMIME_OBJECT(body.html);
    std::string bytes = part_bytes(body.html);
    std::string declared = content_param(o, "charset");
    const std::string meta = text::html_meta_charset(bytes);
    if (declared.empty()) declared = meta;
    // Unlabelled UTF-8 (or ASCII) has nothing that could contradict code page 65001.
    std::optional<text::Decoded> exact = text::decode_exact(
        bytes, declared.empty() && text::is_valid_utf8(bytes) ? "utf-8" : declared);
    if (declared.empty() && exact) declared = "utf-8";
    const bool clean = exact && exact->errors == 0 && exact->code_page != 0 &&
                       (meta.empty() || text::lookup_charset(meta).iconv_name ==
                                            text::lookup_charset(declared).iconv_name) &&
                       bytes.find('\0') == std::string::npos;
    std::string html_bytes;
    if (clean) {
      html_bytes = std::move(bytes);
      html_utf8_ = std::move(exact->utf8);
      cpid = exact->code_page;
    } else {
      text::Decoded d = text::decode_text(bytes, declared, ctx_.options.legacy_charset);
      if (d.errors > 0)
        ctx_.warnings.push_back(std::to_string(d.errors) +
                                " undecodable bytes in the HTML body replaced by U+FFFD");
      std::string utf8;
      for (char c : d.utf8)
        if (c != '\0') utf8 += c;
      html_bytes = text::html_declare_utf8(utf8);
      html_utf8_ = std::move(utf8);
      cpid = 65001;
    }
    put(p, t::kHtml, to_bytes(html_bytes));
    native = 3;
    references_ = html_references(html_utf8_);
    if (!have_plain) {
      plain_utf8 = text::html_to_text(html_utf8_);
      have_plain = true;
    }
  }
  put_str(p, t::kBody, have_plain ? text::to_crlf(plain_utf8) : std::string());
  put(p, t::kNativeBody, native);
  put(p, t::kInternetCpid, cpid != 0 ? cpid : 65001);
  put(p, t::kMessageCodepage, cpid != 0 ? cpid : 65001);
}

// Transport headers: the header block as text, CRLF line ends, one CRLF at the end, and
// without Exchange's organisation-internal fields on top-level messages.
std::string transport_headers(std::string_view block, bool top_level, const ImportOptions& o) {
  std::string utf8 = text::header_bytes_to_utf8(block, o.legacy_charset);
  std::string out;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    std::size_t end = pos;
    // A field runs until a line that does not start with blank space.
    while (true) {
      const std::size_t lf = utf8.find('\n', end);
      if (lf == std::string::npos) {
        end = utf8.size();
        break;
      }
      end = lf + 1;
      if (end >= utf8.size() || (utf8[end] != ' ' && utf8[end] != '\t')) break;
    }
    const std::string_view field = std::string_view(utf8).substr(pos, end - pos);
    const std::string lower = text::ascii_lower(field.substr(0, 40));
    const bool internal = lower.starts_with("x-ms-exchange-organization-") ||
                          lower.starts_with("x-ms-exchange-forest-");
    if (!(top_level && internal)) out.append(field);
    pos = end;
  }
  out = text::to_crlf(out);
  while (out.ends_with("\r\n\r\n")) out.resize(out.size() - 2);
  if (!out.empty() && !out.ends_with("\r\n")) out += "\r\n";
  if (out.size() > o.max_header_bytes) {
    out.resize(o.max_header_bytes);
    const std::size_t last = out.rfind("\r\n");
    out.resize(last == std::string::npos ? 0 : last + 2);
  }
  return out;
}

Bytes md5(std::string_view data) {
  ChecksumPtr c(g_checksum_new(G_CHECKSUM_MD5));
  g_checksum_update(c.get(), reinterpret_cast<const guchar*>(data.data()),
                    static_cast<gssize>(data.size()));
  std::uint8_t digest[16];
  gsize len = sizeof digest;
  g_checksum_get_digest(c.get(), digest, &len);
  Bytes b(16);
  std::memcpy(b.data(), digest, 16);
  return b;
}

std::int32_t importance_of(Context& ctx, const std::vector<RawHeader>& hs) {
  const auto value = [&](std::string_view n) {
    const RawHeader* h = find_header(hs, n);
    return h ? text::ascii_lower(unfold(h->raw)) : std::string();
  };
  if (auto v = value("Importance"); !v.empty()) {
    if (v.starts_with("low")) return 0;
    if (v.starts_with("high")) return 2;
    if (v.starts_with("normal")) return 1;
  }
  if (auto v = value("Priority"); !v.empty()) {
    if (v.starts_with("non-urgent")) return 0;
    if (v.starts_with("urgent")) return 2;
    if (v.starts_with("normal")) return 1;
  }
  if (auto v = value("X-Priority"); !v.empty()) {
    const char c = v[0];
    if (c == '1' || c == '2') return 2;
    if (c == '4' || c == '5') return 0;
    if (c == '3') return 1;
  }
  if (auto v = value("X-MSMail-Priority"); !v.empty()) {
    if (v.starts_with("low")) return 0;
    if (v.starts_with("high")) return 2;
  }
  (void)ctx;
  return 1;
}

void put_person(std::vector<Property>& p, const Mailbox& m, std::uint32_t name, std::uint32_t email,
                std::uint32_t addrtype, std::uint32_t entryid, std::uint32_t searchkey,
                std::uint32_t smtp) {
  put_str(p, name, m.name);
  if (!m.has_address) return;
  put_str(p, email, m.address);
  put_str(p, addrtype, "SMTP");
  put(p, entryid, one_off_entry_id(m));
  put(p, searchkey, search_key(m.address));
  put_str(p, smtp, m.address);
}

void Converter::envelope(GMimeMessage* msg, const std::vector<RawHeader>& hs,
                         const framing::Framed* frame) {
  auto& p = m_.properties;
  (void)msg;
  // Subject family. The first Subject header counts, as in RFC 5322 readers.
  std::string subject;
  if (const RawHeader* h = find_header(hs, "Subject")) subject = decode_text_header(ctx_, h->raw);
  if (std::count_if(hs.begin(), hs.end(),
                    [](const RawHeader& h) { return text::iequals(h.name, "Subject"); }) > 1)
    ctx_.warnings.emplace_back("repeated Subject header ignored; the first one is used");
  put_str(p, t::kSubject, subject);
  std::string prefix, normalized = subject;
  {
    std::size_t colon = subject.find(':');
    if (colon != std::string::npos && colon >= 1 && colon <= 3) {
      bool ok = true;
      for (std::size_t i = 0; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(subject[i]);
        if (c == ' ' || (c >= '0' && c <= '9') || (c < 0x80 && std::ispunct(c) != 0)) ok = false;
      }
      // Only whole characters: count code points, not bytes.
      if (ok) {
        std::size_t spaces = colon + 1;
        while (spaces < subject.size() && subject[spaces] == ' ') ++spaces;
        prefix = subject.substr(0, colon) + ": ";
        normalized = subject.substr(spaces);
      }
    } else if (colon != std::string::npos && colon > 3 && colon <= 12) {
      // Up to three non-ASCII characters may take more than three bytes.
      const std::u16string w = u16(subject.substr(0, colon));
      bool ok = w.size() <= 3;
      for (char16_t c : w)
        if (c < 0x80) ok = false;
      if (ok) {
        std::size_t spaces = colon + 1;
        while (spaces < subject.size() && subject[spaces] == ' ') ++spaces;
        prefix = subject.substr(0, colon) + ": ";
        normalized = subject.substr(spaces);
      }
    }
  }
  put_str(p, t::kSubjectPrefix, prefix);
  put_str(p, t::kNormalizedSubject, normalized);
  const RawHeader* topic = find_header(hs, "Thread-Topic");
  put_str(p, t::kConversationTopic, topic ? decode_text_header(ctx_, topic->raw) : normalized);

  // People.
  std::vector<Mailbox> from = header_mailboxes(ctx_, hs, "From");
  std::vector<Mailbox> sender = header_mailboxes(ctx_, hs, "Sender");
  if (from.empty()) from = sender;
  if (from.empty()) from = header_mailboxes(ctx_, hs, "Return-Path");
  if (!from.empty()) {
    const Mailbox& f = from.front();
    put_person(p, f, t::kSentRepresentingName, t::kSentRepresentingEmail,
               t::kSentRepresentingAddrType, t::kSentRepresentingEntryId,
               t::kSentRepresentingSearchKey, t::kSentRepresentingSmtp);
    // A Sender that is the From mailbox again is no "on behalf of".
    const bool same = sender.empty() || !sender.front().has_address ||
                      text::ascii_lower(sender.front().address) == text::ascii_lower(f.address);
    const Mailbox& s = same ? f : sender.front();
    put_person(p, s, t::kSenderName, t::kSenderEmail, t::kSenderAddrType, t::kSenderEntryId,
               t::kSenderSearchKey, t::kSenderSmtp);
  } else {
    put_str(p, t::kSentRepresentingName, "");
    put_str(p, t::kSenderName, "");
    ctx_.warnings.emplace_back("message has no sender");
  }

  // Reply-To, unless it only repeats From.
  std::vector<Mailbox> reply = header_mailboxes(ctx_, hs, "Reply-To");
  std::erase_if(reply, [](const Mailbox& m) { return !m.has_address; });
  const bool same_as_from =
      reply.size() == 1 && !from.empty() &&
      text::ascii_lower(reply[0].address) == text::ascii_lower(from[0].address);
  if (!reply.empty() && !same_as_from) {
    Bytes list(8, std::byte{0});
    std::string names;
    for (const auto& r : reply) {
      Bytes id = one_off_entry_id(r);
      const auto cb = static_cast<std::uint32_t>(id.size());
      for (int k = 0; k < 4; ++k) list.push_back(static_cast<std::byte>((cb >> (8 * k)) & 0xFF));
      list.insert(list.end(), id.begin(), id.end());
      while ((list.size() - 8) % 4 != 0) list.push_back(std::byte{0});
      if (!names.empty()) names += "; ";
      names += r.name;
    }
    const auto count = static_cast<std::uint32_t>(reply.size());
    const auto bytes = static_cast<std::uint32_t>(list.size() - 8);
    for (int k = 0; k < 4; ++k) {
      list[k] = static_cast<std::byte>((count >> (8 * k)) & 0xFF);
      list[4 + k] = static_cast<std::byte>((bytes >> (8 * k)) & 0xFF);
    }
    put(p, t::kReplyRecipientEntries, std::move(list));
    put_str(p, t::kReplyRecipientNames, names);
  }

  // Times. Sent: Date, else the newest Received, else the .emlx dates.
  std::optional<std::int64_t> date;
  for (const auto& h : hs)
    if (text::iequals(h.name, "date")) {
      date = parse_date(h.raw);
      if (!date) ctx_.warnings.push_back("Date header not understood: " + unfold(h.raw));
    }
  std::optional<std::int64_t> received;
  for (const auto& h : hs) {
    if (!text::iequals(h.name, "received")) continue;
    const std::string v = unfold(h.raw);
    const std::size_t semi = v.rfind(';');
    if (semi == std::string::npos) continue;
    if (auto d = parse_date(std::string_view(v).substr(semi + 1)); d && plausible(*d, ctx_.now)) {
      received = d;  // the topmost header is the newest hop
      break;
    }
  }
  // Exchange's arrival stamp: "... FILETIME=[low:high]".
  if (!received) {
    if (const RawHeader* h = find_header(hs, "X-OriginalArrivalTime")) {
      const std::string v = unfold(h->raw);
      const std::size_t at = v.find("FILETIME=[");
      const std::size_t colon = at == std::string::npos ? at : v.find(':', at);
      const std::size_t close = colon == std::string::npos ? colon : v.find(']', colon);
      if (close != std::string::npos) {
        try {
          const std::uint64_t low = std::stoull(v.substr(at + 10, colon - at - 10), nullptr, 16);
          const std::uint64_t high =
              std::stoull(v.substr(colon + 1, close - colon - 1), nullptr, 16);
          const std::uint64_t ticks = (high << 32) | (low & 0xFFFFFFFFULL);
          const auto unix = static_cast<std::int64_t>(ticks / 10000000ULL) - kUnixToFileTimeSeconds;
          if (plausible(unix, ctx_.now)) received = unix;
        } catch (const std::exception&) {
          // Not a number: ignored like any other unreadable date.
        }
      }
    }
  }
  std::optional<std::int64_t> emlx_received, emlx_sent;
  if (frame != nullptr) {
    if (frame->date_received) emlx_received = static_cast<std::int64_t>(*frame->date_received);
    if (frame->date_sent) emlx_sent = static_cast<std::int64_t>(*frame->date_sent);
  }
  const auto first_of =
      [&](std::initializer_list<std::optional<std::int64_t>> list) -> std::optional<std::int64_t> {
    for (const auto& c : list)
      if (c && plausible(*c, ctx_.now)) return c;
    for (const auto& c : list)
      if (c) return c;
    return std::nullopt;
  };
  auto sent = first_of({date, received, emlx_sent, emlx_received});
  auto delivered = first_of({received, emlx_received, date, emlx_sent});
  if (date && !plausible(*date, ctx_.now)) {
    const RawHeader* h = find_header(hs, "Date");
    ctx_.warnings.push_back("Date header out of range (before 1980 or in the future): " +
                            (h ? unfold(h->raw) : std::string()) +
                            (sent != date
                                 ? "; the sent time is taken from the message's other dates"
                                 : "; kept, the message has no other date"));
  }
  if (!sent || !delivered)
    ctx_.warnings.emplace_back("message carries no date; the import time is used");
  const FileTime sent_ft = filetime_from_unix(sent.value_or(ctx_.now));
  delivery_ = filetime_from_unix(delivered.value_or(ctx_.now));
  put(p, t::kClientSubmitTime, sent_ft);
  put(p, t::kMessageDeliveryTime, delivery_);
  const FileTime now_ft = filetime_from_unix(ctx_.now);
  put(p, t::kCreationTime, now_ft);
  put(p, t::kLastModificationTime, now_ft);

  // Identifiers.
  std::string message_id;
  if (const RawHeader* h = find_header(hs, "Message-ID")) message_id = unfold(h->raw);
  if (!message_id.empty()) put_str(p, t::kInternetMessageId, message_id);
  tnef_correlator_ = message_id;
  if (const RawHeader* h = find_header(hs, "X-MS-TNEF-Correlator"))
    tnef_correlator_ = unfold(h->raw);
  std::string in_reply_to, references;
  if (const RawHeader* h = find_header(hs, "In-Reply-To")) in_reply_to = unfold(h->raw);
  if (!in_reply_to.empty()) put_str(p, t::kInReplyToId, in_reply_to);
  if (const RawHeader* h = find_header(hs, "References")) references = unfold(h->raw);
  if (references.size() > 65536) {
    references.resize(65536);
    const std::size_t gt = references.rfind('>');
    references.resize(gt == std::string::npos ? 0 : gt + 1);
  }
  if (!references.empty()) put_str(p, t::kInternetReferences, references);
  // Without a Message-ID the header block tells messages apart.
  put(p, t::kSearchKey, md5(message_id.empty() ? header_block_ : std::string_view(message_id)));

  // Conversation index: Thread-Index when valid, else one built from the thread root.
  Bytes index;
  if (const RawHeader* h = find_header(hs, "Thread-Index")) {
    const std::string raw = text::base64_decode(unfold(h->raw));
    if (raw.size() >= 22 && static_cast<unsigned char>(raw[0]) == 0x01) index = to_bytes(raw);
  }
  if (index.empty()) {
    std::string root = message_id;
    const auto first_id = [](std::string_view s) -> std::string {
      const std::size_t a = s.find('<');
      const std::size_t b = s.find('>', a == std::string_view::npos ? 0 : a);
      if (a == std::string_view::npos || b == std::string_view::npos) return std::string(s);
      return std::string(s.substr(a, b - a + 1));
    };
    if (!references.empty())
      root = first_id(references);
    else if (!in_reply_to.empty())
      root = first_id(in_reply_to);
    index.push_back(std::byte{0x01});
    const std::uint64_t ticks = sent_ft.ticks;
    for (int k = 0; k < 5; ++k)
      index.push_back(static_cast<std::byte>((ticks >> (56 - 8 * k)) & 0xFF));
    const Bytes guid = md5(root.empty() ? std::string_view(subject) : std::string_view(root));
    index.insert(index.end(), guid.begin(), guid.end());
  }
  put(p, t::kConversationIndex, std::move(index));

  // Importance, priority, sensitivity.
  put(p, t::kImportance, importance_of(ctx_, hs));
  std::int32_t priority = 0;
  if (const RawHeader* h = find_header(hs, "Priority")) {
    const std::string v = text::ascii_lower(unfold(h->raw));
    if (v.starts_with("urgent"))
      priority = 1;
    else if (v.starts_with("non-urgent"))
      priority = -1;
  }
  put(p, t::kPriority, priority);
  std::int32_t sensitivity = 0;
  if (const RawHeader* h = find_header(hs, "Sensitivity")) {
    const std::string v = text::ascii_lower(unfold(h->raw));
    if (v == "personal")
      sensitivity = 1;
    else if (v == "private")
      sensitivity = 2;
    else if (v == "company-confidential")
      sensitivity = 3;
  }
  put(p, t::kSensitivity, sensitivity);

  // Receipt requests: only on request, so old mail does not ask for receipts again.
  if (ctx_.options.keep_receipt_requests) {
    std::vector<Mailbox> dn = header_mailboxes(ctx_, hs, "Disposition-Notification-To");
    if (!dn.empty()) {
      put(p, t::kReadReceiptRequested, true);
      if (dn[0].has_address) {
        put(p, t::kReadReceiptEntryId, one_off_entry_id(dn[0]));
        put(p, t::kReadReceiptSearchKey, search_key(dn[0].address));
      }
    }
    if (find_header(hs, "Return-Receipt-To") != nullptr)
      put(p, t::kOriginatorDeliveryReportRequested, true);
  }

  // Mailing lists.
  const auto list_header = [&](std::string_view name, std::uint32_t tag) {
    const RawHeader* h = find_header(hs, name);
    if (h == nullptr) h = find_header(hs, "X-" + std::string(name));
    if (h != nullptr) put_str(p, tag, decode_text_header(ctx_, h->raw));
  };
  list_header("List-Help", t::kListHelp);
  list_header("List-Subscribe", t::kListSubscribe);
  list_header("List-Unsubscribe", t::kListUnsubscribe);
  put(p, t::kMessageToMe, false);
  put(p, t::kMessageCcMe, false);
  put(p, t::kMessageStatus, static_cast<std::int32_t>(0));

  // Named properties of Internet mail.
  if (const RawHeader* h = find_header(hs, "Keywords")) {
    std::vector<std::u16string> words;
    std::string v = decode_text_header(ctx_, h->raw);
    std::size_t pos = 0;
    while (pos <= v.size()) {
      std::size_t comma = v.find(',', pos);
      if (comma == std::string::npos) comma = v.size();
      std::string w = text::trim(std::string_view(v).substr(pos, comma - pos));
      if (!w.empty()) {
        std::u16string w16 = u16(w);
        if (w16.size() > 255) w16.resize(255);
        words.push_back(std::move(w16));
      }
      pos = comma + 1;
    }
    if (!words.empty())
      m_.named.push_back({t::kPsPublicStrings, u"Keywords", t::kMvUnicode, std::move(words)});
  }
  static constexpr std::string_view kKept[] = {"Content-Class",  "X-Mailer",      "User-Agent",
                                               "List-Id",        "X-Original-To", "Delivered-To",
                                               "Accept-Language"};
  for (std::string_view name : kKept)
    if (const RawHeader* h = find_header(hs, name))
      m_.named.push_back(
          {t::kPsInternetHeaders, u16(name), t::kUnicode, u16(decode_text_header(ctx_, h->raw))});
}

void Converter::recipients(const std::vector<RawHeader>& hs) {
  auto& p = m_.properties;
  const std::pair<std::string_view, std::int32_t> kinds[] = {{"To", 1}, {"Cc", 2}, {"Bcc", 3}};
  const std::uint32_t display[] = {t::kDisplayTo, t::kDisplayCc, t::kDisplayBcc};
  for (std::size_t k = 0; k < 3; ++k) {
    std::string joined;
    for (const Mailbox& mb : header_mailboxes(ctx_, hs, kinds[k].first)) {
      if (!joined.empty()) joined += "; ";
      joined += mb.name;
      // A name without an address is no recipient (readers need an address type on
      // every row); it stays in the display line.
      if (!mb.has_address) continue;
      Recipient r;
      auto& rp = r.properties;
      put(rp, t::kRowId, static_cast<std::int32_t>(m_.recipients.size()));
      put(rp, t::kRecipientType, kinds[k].second);
      put_str(rp, t::kDisplayName, mb.name);
      put(rp, t::kObjectType, static_cast<std::int32_t>(6));
      put(rp, t::kDisplayType, static_cast<std::int32_t>(0));
      put(rp, t::kResponsibility, true);  // as Outlook writes received mail's recipients
      put(rp, t::kSendRichInfo, false);
      put_str(rp, t::k7BitDisplayName, mb.name);
      put_str(rp, t::kTransmittableDisplayName, mb.name);
      put(rp, t::kRecipientFlags, static_cast<std::int32_t>(1));
      put(rp, t::kRecipientTrackStatus, static_cast<std::int32_t>(0));
      put_str(rp, t::kAddrType, "SMTP");
      put_str(rp, t::kEmailAddress, mb.address);
      put_str(rp, t::kSmtpAddress, mb.address);
      Bytes id = one_off_entry_id(mb);
      put(rp, t::kRecordKey, id);
      put(rp, t::kEntryId, std::move(id));
      put(rp, t::kSearchKey, search_key(mb.address));
      m_.recipients.push_back(std::move(r));
    }
    put_str(p, display[k], joined);
  }
}

bool is_smime_signed(GMimeObject* top) {
  if (mime_type(top) != "multipart/signed") return false;
  const std::string protocol = text::ascii_lower(content_param(top, "protocol"));
  return protocol == "application/pkcs7-signature" || protocol == "application/x-pkcs7-signature";
}

bool is_smime_opaque(GMimeObject* top) {
  const std::string type = mime_type(top);
  if (type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime") return true;
  if (type == "application/octet-stream" && GMIME_IS_PART(top)) {
    const char* name = g_mime_part_get_filename(GMIME_PART(top));
    return name != nullptr && text::ascii_lower(name).ends_with(".p7m");
  }
  return false;
}

Message Converter::convert(GMimeMessage* msg, std::string_view header_block,
                           std::string_view body_bytes, const framing::Framed* frame,
                           std::size_t size) {
  GMimeObject* object = GMIME_OBJECT(msg);
  // GMime keeps the Content-* fields of the top level with the top part.
  std::vector<RawHeader> hs = raw_headers(object);
  if (GMimeObject* part = g_mime_message_get_mime_part(msg)) {
    for (auto& h : raw_headers(part))
      if (find_header(hs, h.name) == nullptr) hs.push_back(std::move(h));
  }
  auto& p = m_.properties;
  header_block_ = header_block;
  envelope(msg, hs, frame);
  recipients(hs);
  put_str(p, t::kTransportMessageHeaders,
          transport_headers(header_block, embedded_depth_ == 0, ctx_.options));

  repair_tree(ctx_, g_mime_message_get_mime_part(msg), msg, nullptr, 0, 0);
  GMimeObject* top = g_mime_message_get_mime_part(msg);
  repair_content_types(ctx_, top, 0);
  if (embedded_depth_ == 0 && !ctx_.partial_attachments.empty())
    number_parts(top, "", part_numbers_, 0);
  std::string message_class = "IPM.Note";
  if (top != nullptr && is_smime_signed(top)) {
    // Clear-signed: body from the signed content, and the whole signed entity, byte for
    // byte, as the one attachment.
    message_class = "IPM.Note.SMIME.MultipartSigned";
    GMimeObject* content = g_mime_multipart_get_part(GMIME_MULTIPART(top), 0);
    bodies(select_body(content, 0, body_limits()));
    const std::vector<RawHeader> top_headers = raw_headers(top);
    const RawHeader* ct = find_header(top_headers, "Content-Type");
    std::string entity = "Content-Type:" + std::string(ct ? ct->raw : " multipart/signed");
    while (entity.ends_with("\n") || entity.ends_with("\r")) entity.pop_back();
    entity += "\r\n\r\n";
    Attachment& a = add_attachment("smime.p7m", "multipart/signed");
    if (embedded_depth_ == 0 && ctx_.body_range && ctx_.origin != nullptr && ctx_.origin->file) {
      // A large file: the signed body is read from it when the store writes it.
      a.content = std::make_shared<PrefixedContent>(
          std::move(entity), file_content(ctx_.origin->file, ctx_.body_range->first,
                                          ctx_.body_range->second, GMIME_CONTENT_ENCODING_DEFAULT));
    } else {
      entity.append(body_bytes);
      put(a.properties, t::kAttachDataBin, to_bytes(entity));
      put(a.properties, t::kAttachSize,
          static_cast<std::int32_t>(std::min<std::size_t>(entity.size(), 0x7FFFFFFF)));
    }
    ++visible_;
  } else if (top != nullptr && is_smime_opaque(top)) {
    message_class = "IPM.Note.SMIME";
    const std::vector<RawHeader> top_headers = raw_headers(top);
    const RawHeader* ct = find_header(top_headers, "Content-Type");
    m_.named.push_back({t::kPsInternetHeaders, u"Content-Type", t::kUnicode,
                        u16(unfold(ct ? ct->raw : "application/pkcs7-mime"))});
    put(p, t::kNativeBody, static_cast<std::int32_t>(0));
    if (GMIME_IS_PART(top)) leaf(GMIME_PART(top), nullptr);
  } else if (top != nullptr && is_apple_mail(hs) && aggregate(top)) {
    // Text and images interleaved by Apple Mail, joined into one HTML body.
  } else {
    const Body body = select_body(top, 0, body_limits());
    bodies(body);
    walk(top, nullptr, 0, body);
  }
  put_str(p, t::kMessageClass, message_class);

  std::int32_t flags = 0;
  if (embedded_depth_ > 0) flags |= t::kFlagRead;
  // A saved draft ("X-Unsent: 1", as Outlook and other clients save them) stays a draft.
  if (embedded_depth_ == 0)
    if (const RawHeader* h = find_header(hs, "X-Unsent"); h && text::trim(unfold(h->raw)) == "1")
      flags |= t::kFlagUnsent | t::kFlagRead;
  if (frame != nullptr && frame->emlx_flags && (*frame->emlx_flags & 1U) != 0)
    flags |= t::kFlagRead;
  if (visible_ > 0) flags |= t::kFlagHasAttach;
  put(p, t::kMessageFlags, flags);
  put(p, t::kHasAttach, visible_ > 0);
  if (visible_ == 0 && hidden_ > 0)
    m_.named.push_back({t::kPsetidCommon, t::kLidSmartNoAttach, t::kBoolean, true});
  put(p, t::kMessageSize, static_cast<std::int32_t>(std::min<std::size_t>(size, 0x7FFFFFFF)));
  return std::move(m_);
}

// A read-only memory stream over bytes that outlive it, without copying them.
class BorrowedBytes {
 public:
  explicit BorrowedBytes(std::string_view bytes)
      : array_(g_byte_array_new_take(reinterpret_cast<guint8*>(const_cast<char*>(bytes.data())),
                                     bytes.size())) {}
  BorrowedBytes(const BorrowedBytes&) = delete;
  BorrowedBytes& operator=(const BorrowedBytes&) = delete;
  ~BorrowedBytes() { g_byte_array_free(array_, FALSE); }  // the bytes are not ours to free

  // A new stream over the bytes; it must be released before this object.
  GMimeStream* stream() {
    GMimeStream* s = g_mime_stream_mem_new_with_byte_array(array_);
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(s), FALSE);
    return s;
  }
  GByteArray* array() const noexcept { return array_; }

 private:
  GByteArray* array_;
};

// Parser warnings into the list, with offsets counted from the start of the message.
struct WarningSink {
  std::vector<std::string>* warnings;
  gint64 base = 0;
};

void warning_callback(gint64 offset, GMimeParserWarning code, const gchar* item, gpointer data) {
  const auto* sink = static_cast<const WarningSink*>(data);
  std::vector<std::string>* warnings = sink->warnings;
  if (offset >= 0) offset -= sink->base;  // -1 is "no position"
  if (warnings->size() > 200) return;
  static constexpr const char* kNames[] = {"",
                                           "duplicated header",
                                           "duplicated parameter",
                                           "unencoded 8-bit header",
                                           "invalid content type",
                                           "invalid encoded word",
                                           "malformed multipart",
                                           "truncated message",
                                           "malformed message",
                                           "invalid header name",
                                           "conflicting header",
                                           "conflicting parameter",
                                           "multipart without boundary",
                                           "invalid parameter",
                                           "invalid address list",
                                           "nesting too deep",
                                           "part without content",
                                           "part without headers or content"};
  const auto index = static_cast<std::size_t>(code);
  const std::string name = index < std::size(kNames) ? kNames[index] : "unknown problem";
  warnings->push_back("parser warning (" + name + ") at byte " + std::to_string(offset) +
                      (item ? std::string(": ") + item : std::string()));
}

// `bytes` are the file, or its first bytes when the file is larger (`size`): then its data
// come from `origin`.
ImportResult stand_in(std::span<const std::byte> bytes, std::uint64_t size,
                      std::string_view file_name, std::string_view reason,
                      std::vector<std::string> warnings, std::int64_t now,
                      const ImportOptions& options, const FileOrigin* origin) {
  ImportResult r;
  r.stand_in = true;
  r.warnings = std::move(warnings);
  r.warnings.push_back(std::string(file_name) + ": " + std::string(reason) +
                       "; imported as a stand-in item with the original file attached");
  Message& m = r.message;
  auto& p = m.properties;
  const std::string name = file_name.empty() ? std::string("message") : std::string(file_name);
  put_str(p, t::kMessageClass, "IPM.Note");
  put_str(p, t::kSubject, name);
  put_str(p, t::kSubjectPrefix, "");
  put_str(p, t::kNormalizedSubject, name);
  put_str(p, t::kConversationTopic, name);
  // A file of text shows its text below the note (the first MiB of it).
  std::string shown;
  {
    constexpr std::size_t kShown = 1 << 20;
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()),
                               std::min(bytes.size(), kShown));
    const std::size_t controls =
        static_cast<std::size_t>(std::count_if(raw.begin(), raw.end(), [](char c) {
          const auto b = static_cast<unsigned char>(c);
          return b == 0 || (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f');
        }));
    if (!text::trim(raw).empty() && raw.find('\0') == std::string_view::npos &&
        controls * 100 <= raw.size()) {
      shown = "\n\n" + text::decode_text(raw, "", options.legacy_charset).utf8;
      if (bytes.size() > kShown) shown += "\n[...]";
    }
  }
  put_str(p, t::kBody,
          text::to_crlf("This item stands for the file \"" + name +
                        "\", which could not be read as a mail message (" + std::string(reason) +
                        ").\nThe original file is attached unchanged." + shown));
  put(p, t::kNativeBody, static_cast<std::int32_t>(1));
  put(p, t::kInternetCpid, static_cast<std::int32_t>(65001));
  put(p, t::kMessageCodepage, static_cast<std::int32_t>(65001));
  put_str(p, t::kSentRepresentingName, "");
  put_str(p, t::kSenderName, "");
  put_str(p, t::kDisplayTo, "");
  put_str(p, t::kDisplayCc, "");
  put_str(p, t::kDisplayBcc, "");
  const FileTime ft = filetime_from_unix(now);
  put(p, t::kClientSubmitTime, ft);
  put(p, t::kMessageDeliveryTime, ft);
  put(p, t::kCreationTime, ft);
  put(p, t::kLastModificationTime, ft);
  put(p, t::kImportance, static_cast<std::int32_t>(1));
  put(p, t::kPriority, static_cast<std::int32_t>(0));
  put(p, t::kSensitivity, static_cast<std::int32_t>(0));
  put(p, t::kMessageFlags, t::kFlagHasAttach);
  put(p, t::kHasAttach, true);
  put(p, t::kMessageStatus, static_cast<std::int32_t>(0));
  put(p, t::kMessageSize, static_cast<std::int32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF)));
  Attachment a;
  auto& ap = a.properties;
  const std::string file =
      sanitize_file_name(name).empty() ? "message.bin" : sanitize_file_name(name);
  ShortNames used;
  put(ap, t::kAttachNum, static_cast<std::int32_t>(0));
  put(ap, t::kAttachMethod, t::kAttachByValue);
  put_str(ap, t::kAttachLongFilename, file);
  put_str(ap, t::kAttachFilename, short_name(file, used));
  put_str(ap, t::kAttachExtension, extension_of(file));
  put_str(ap, t::kDisplayName, file);
  put_str(ap, t::kAttachMimeTag, "application/octet-stream");
  put(ap, t::kRenderingPosition, static_cast<std::int32_t>(-1));
  put(ap, t::kObjectType, static_cast<std::int32_t>(7));
  put(ap, t::kAttachFlags, static_cast<std::int32_t>(0));
  put(ap, t::kAttachSize, static_cast<std::int32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF)));
  if (origin != nullptr && origin->file && size == origin->file->size() &&
      (size > options.stream_attachments_over || size > bytes.size()))
    a.content = file_content(origin->file, 0, size, GMIME_CONTENT_ENCODING_DEFAULT);
  else
    put(ap, t::kAttachDataBin, Bytes(bytes.begin(), bytes.end()));
  m.attachments.push_back(std::move(a));
  return r;
}

bool blank(std::string_view s) { return s.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// `bytes` are the whole file, or of a large file its first bytes and `tail` its last ones;
// `source` is the open file they were read from, or null for bytes given in memory.
ImportResult import_message(std::span<const std::byte> bytes, std::string_view file_name,
                            const ImportOptions& options,
                            const std::shared_ptr<const MessageFile>& source,
                            std::string_view tail = {}) {
  ensure_gmime();
  const std::int64_t now = unix_now();
  const std::string_view file(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const framing::Window window{file, tail, source && !tail.empty() ? source->size() : file.size()};
  framing::Framed framed = framing::frame(window, file_name);
  std::vector<std::string> warnings = std::move(framed.warnings);

  // Of a large file only the message's first bytes are at hand; its parser reads the file.
  std::string_view message = framing::message(framed, file);
  const bool partial = message.size() < framed.length && !framed.use_cleaned;
  FileOrigin origin;
  origin.file = source;
  if (blank(message) && !partial)
    return stand_in(bytes, window.size, file_name, "the file holds no message", std::move(warnings),
                    now, options, &origin);

  // Oversized header blocks: the parser reads the first part, the whole block is kept.
  framing::HeaderBlock hb = framing::find_header_block(message);
  if (partial && hb.end == message.size())
    return stand_in(
        bytes, window.size, file_name,
        "no end of the header block in its first " + std::to_string(message.size()) + " bytes",
        std::move(warnings), now, options, &origin);
  std::string full_header_block;
  std::string shortened;
  if (hb.end > options.max_header_bytes && partial) {
    // The body is not in memory to be joined to a shortened block: the parser reads the
    // whole block, which fits in the bytes at hand.
    full_header_block = std::string(message.substr(0, hb.end));
    warnings.push_back("header block of " + std::to_string(hb.end) +
                       " bytes is over the limit of " + std::to_string(options.max_header_bytes) +
                       "; the whole block is kept as an attachment");
  } else if (hb.end > options.max_header_bytes) {
    full_header_block = std::string(message.substr(0, hb.end));
    std::size_t cut = message.rfind('\n', options.max_header_bytes);
    cut = cut == std::string_view::npos ? 0 : cut + 1;
    // Keep the cut on a field boundary (not inside a folded field).
    while (cut > 0 && cut < hb.end && (message[cut] == ' ' || message[cut] == '\t')) {
      const std::size_t prev = message.rfind('\n', cut - 2 < cut ? cut - 2 : 0);
      cut = prev == std::string_view::npos ? 0 : prev + 1;
    }
    shortened = std::string(message.substr(0, cut)) + std::string(message.substr(hb.end));
    message = shortened;
    warnings.push_back("header block of " + std::to_string(hb.end) +
                       " bytes is over the limit of " + std::to_string(options.max_header_bytes) +
                       "; the whole block is kept as an attachment");
    hb = framing::find_header_block(message);
  }

  ParserOptionsPtr parser_options = make_parser_options(options.legacy_charset);
  // The message as it lies in the file, unchanged: large files are parsed from the file
  // itself, so the parser's data refer to file offsets and nothing large is copied.
  const bool in_file = source && !framed.use_cleaned && shortened.empty();
  const bool from_fd = in_file && (partial || framed.length > options.parse_in_memory_up_to);
  WarningSink sink{&warnings, from_fd ? static_cast<gint64>(framed.offset) : 0};
  g_mime_parser_options_set_warning_callback(parser_options.get(), warning_callback, &sink);
  // The parser reads the caller's bytes in place; every GMime object is gone before they are.
  BorrowedBytes borrowed(message);
  GPtr<GMimeStream> stream;
  if (from_fd) {
    stream.reset(
        g_mime_stream_fs_new_with_bounds(source->fd(), static_cast<gint64>(framed.offset),
                                         static_cast<gint64>(framed.offset + framed.length)));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(stream.get()), FALSE);  // the file owns it
    origin.fd = source->fd();
  } else {
    stream.reset(borrowed.stream());
    if (in_file) {
      origin.array = borrowed.array();
      origin.array_offset = framed.offset;
    }
  }
  if (!in_file) origin.file = nullptr;
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GPtr<GMimeMessage> msg(g_mime_parser_construct_message(parser.get(), parser_options.get()));
  const gint64 base = sink.base;
  sink.base = 0;         // later parses (repaired parts) count from the start of what they read
  origin.file = source;  // a stand-in may take the whole file from it
  // GMime files Content-* fields under the top part: a block of only those is a message too.
  const auto field_count = [](GMimeObject* o) {
    return o == nullptr ? 0 : g_mime_header_list_get_count(g_mime_object_get_header_list(o));
  };
  if (!msg ||
      field_count(GMIME_OBJECT(msg.get())) + field_count(g_mime_message_get_mime_part(msg.get())) ==
          0) {
    g_mime_parser_options_set_warning_callback(parser_options.get(), nullptr, nullptr);
    return stand_in(bytes, window.size, file_name, "no message headers found", std::move(warnings),
                    now, options, &origin);
  }
  if (!in_file) origin.file = nullptr;

  std::size_t headers_end = hb.end;
  const gint64 parser_end = g_mime_parser_get_headers_end(parser.get()) - base;
  if (parser_end > 0 && static_cast<std::size_t>(parser_end) <= message.size() &&
      static_cast<std::size_t>(parser_end) < headers_end)
    headers_end = static_cast<std::size_t>(parser_end);
  const std::string_view view(message);
  const std::string_view header_block = view.substr(0, headers_end);
  const std::string_view body_bytes = view.substr(std::min(hb.body, view.size()));

  ImportResult result;
  Context ctx{options, warnings, parser_options.get(), 0, now, &origin, {}, {}, {}, 0};
  if (partial) ctx.body_range = {framed.offset + hb.body, framed.offset + framed.length};
  static constexpr std::string_view kPartial = ".partial.emlx";
  if (source && text::ascii_lower(file_name).ends_with(kPartial) &&
      file_name.size() > kPartial.size()) {
    const std::string number(file_name.substr(0, file_name.size() - kPartial.size()));
    ctx.partial_attachments =
        std::filesystem::path(source->name()).parent_path().parent_path() / "Attachments" / number;
  }
  ctx.source = view;
  ctx.source_base = base;
  Converter converter(ctx, 0);
  result.message = converter.convert(msg.get(), header_block, body_bytes, &framed, framed.length);
  // The parser keeps a pointer to the warning list; stop it before the list moves.
  g_mime_parser_options_set_warning_callback(parser_options.get(), nullptr, nullptr);
  if (!full_header_block.empty()) {
    Attachment a;
    auto& ap = a.properties;
    put(ap, t::kAttachNum, static_cast<std::int32_t>(result.message.attachments.size()));
    put(ap, t::kAttachMethod, t::kAttachByValue);
    put_str(ap, t::kAttachLongFilename, "headers.txt");
    put_str(ap, t::kAttachFilename, "headers.txt");
    put_str(ap, t::kAttachExtension, ".txt");
    put_str(ap, t::kDisplayName, "headers.txt");
    put_str(ap, t::kAttachMimeTag, "text/plain");
    put(ap, t::kRenderingPosition, static_cast<std::int32_t>(-1));
    put(ap, t::kObjectType, static_cast<std::int32_t>(7));
    put(ap, t::kAttachSize,
        static_cast<std::int32_t>(std::min<std::size_t>(full_header_block.size(), 0x7FFFFFFF)));
    put(ap, t::kAttachDataBin, to_bytes(full_header_block));
    result.message.attachments.push_back(std::move(a));
    auto& p = result.message.properties;
    put(p, t::kHasAttach, true);
    for (auto& prop : p)
      if (prop.tag == t::kMessageFlags)
        prop.value = std::get<std::int32_t>(prop.value) | t::kFlagHasAttach;
  }
  result.warnings = std::move(warnings);
  if (framed.emlx_flags) {
    result.has_read_flag = true;
    result.read = (*framed.emlx_flags & 1U) != 0;
  }
  return result;
}

}  // namespace

ImportResult import_bytes(std::span<const std::byte> bytes, std::string_view file_name,
                          const ImportOptions& options) {
  return import_message(bytes, file_name, options, nullptr);
}

ImportResult import_file(const std::filesystem::path& path, const ImportOptions& options) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  // The system's own reason: a link loop or a folder without search permission is no
  // missing file.
  if (ec && ec != std::errc::no_such_file_or_directory)
    throw ReadError("cannot read " + path.string() + ": " + ec.message(), ec.value());
  if (ec || !std::filesystem::exists(status))
    throw ReadError("cannot read " + path.string() + ": no such file", ENOENT);
  if (std::filesystem::is_directory(status))
    throw ReadError("cannot read " + path.string() + ": it is a folder", EISDIR);
  // Devices and pipes are no message files, and reading one may never end.
  if (!std::filesystem::is_regular_file(status))
    throw ReadError("cannot read " + path.string() + ": not a regular file", EINVAL);
  const std::shared_ptr<const MessageFile> file = MessageFile::open(path);
  // Of a large file only the first and last bytes are read for the few places read in
  // place (framing, the header block); its parser and the large attachments read it through
  // the descriptor.
  ImportResult result;
  {
    const FileBytes bytes(*file, options.parse_in_memory_up_to,
                          2 * options.max_header_bytes + (64 << 10));
    const std::string_view view = bytes.view();
    result = import_message(std::as_bytes(std::span(view.data(), view.size())),
                            path.filename().string(), options, file, bytes.tail());
  }
  // What was parsed must be what the file holds now; streamed data check again as read.
  file->check_unchanged();
  return result;
}

}  // namespace larkfield::mime
