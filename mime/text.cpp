#include "mime/text.hpp"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace larkfield::mime::text {
namespace {

struct IconvClose {
  void operator()(iconv_t* cd) const noexcept {
    iconv_close(*cd);
    delete cd;  // NOLINT: paired with the make in open_iconv
  }
};
using IconvPtr = std::unique_ptr<iconv_t, IconvClose>;

IconvPtr open_iconv(const std::string& from) {
  iconv_t cd = iconv_open("UTF-8", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return IconvPtr(std::make_unique<iconv_t>(cd).release());
}

// Not an iconv name: ISO-2022-JP decoded by decode_iso2022jp.
constexpr std::string_view kIso2022Jp = "ISO-2022-JP (WINDOWS)";

struct Known {
  std::string_view label;
  std::string_view iconv_name;
  std::int32_t code_page;
};

// Labels seen in mail, with what they really mean.
constexpr std::array kKnown = {
    Known{"us-ascii", "WINDOWS-1252", 20127},
    Known{"ascii", "WINDOWS-1252", 20127},
    Known{"ansi_x3.4-1968", "WINDOWS-1252", 20127},
    Known{"iso-8859-1", "WINDOWS-1252", 28591},
    Known{"iso8859-1", "WINDOWS-1252", 28591},
    Known{"iso_8859-1", "WINDOWS-1252", 28591},
    Known{"latin1", "WINDOWS-1252", 28591},
    Known{"latin-1", "WINDOWS-1252", 28591},
    Known{"l1", "WINDOWS-1252", 28591},
    Known{"cp819", "WINDOWS-1252", 28591},
    Known{"windows-1252", "WINDOWS-1252", 1252},
    Known{"cp1252", "WINDOWS-1252", 1252},
    Known{"x-cp1252", "WINDOWS-1252", 1252},
    Known{"utf-8", "UTF-8", 65001},
    Known{"utf8", "UTF-8", 65001},
    Known{"x-utf8", "UTF-8", 65001},
    Known{"utf-7", "UTF-7", 65000},
    Known{"unicode-1-1-utf-7", "UTF-7", 65000},  // IANA's alias of UTF-7
    Known{"csunicode11utf7", "UTF-7", 65000},
    Known{"x-unicode-2-0-utf-7", "UTF-7", 65000},
    Known{"utf-16", "UTF-16", 1200},
    Known{"utf-16le", "UTF-16LE", 1200},
    Known{"utf-16be", "UTF-16BE", 1201},
    Known{"gb2312", "GB18030", 936},
    Known{"gbk", "GB18030", 936},
    Known{"x-gbk", "GB18030", 936},
    Known{"cp936", "GB18030", 936},
    Known{"euc-cn", "GB18030", 936},
    Known{"gb18030", "GB18030", 54936},
    Known{"hz-gb-2312", "HZ", 52936},
    Known{"big5", "CP950", 950},
    Known{"cp950", "CP950", 950},
    Known{"ks_c_5601-1987", "CP949", 949},
    Known{"ks_c_5601", "CP949", 949},
    Known{"cp949", "CP949", 949},
    Known{"euc-kr", "CP949", 51949},
    Known{"iso-2022-kr", "ISO-2022-KR", 50225},
    Known{"shift_jis", "CP932", 932},
    Known{"shift-jis", "CP932", 932},
    Known{"sjis", "CP932", 932},
    Known{"x-sjis", "CP932", 932},
    Known{"ms_kanji", "CP932", 932},
    Known{"cp932", "CP932", 932},
    Known{"windows-31j", "CP932", 932},
    // ISO-2022-JP is read as Windows reads it (code page 50220): JIS X 0208 with NEC's
    // row 13 and the IBM extensions, see decode_iso2022jp.
    Known{"iso-2022-jp", kIso2022Jp, 50220},
    Known{"csiso2022jp", kIso2022Jp, 50220},
    Known{"iso-2022-jp-2", "ISO-2022-JP-2", 50220},
    Known{"euc-jp", "EUC-JP-MS", 51932},
    Known{"koi8-r", "KOI8-R", 20866},
    Known{"koi8-u", "KOI8-U", 21866},
    Known{"windows-874", "CP874", 874},
    Known{"tis-620", "CP874", 874},
    Known{"cp866", "CP866", 866},
    Known{"ibm866", "CP866", 866},
    Known{"macintosh", "MACINTOSH", 10000},
    Known{"x-mac-roman", "MACINTOSH", 10000},
};

constexpr std::array kUnknownLabels = {
    std::string_view("x-unknown"), std::string_view("unknown"), std::string_view("unknown-8bit"),
    std::string_view("default"), std::string_view("x-user-defined")};

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

// End of the run of ASCII bytes that starts at i.
std::size_t ascii_run_end(std::string_view s, std::size_t i) {
  // Eight bytes at a time while none has its high bit set.
  while (i + 8 <= s.size()) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
    i += 8;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

// Length of the valid UTF-8 sequence at s[i], 0 when invalid; the code point in `cp`.
std::size_t utf8_sequence(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// UTF-8 decoding by hand: counts bad bytes and well-formed multibyte sequences.
Decoded decode_utf8(std::string_view bytes, std::size_t* multibyte = nullptr) {
  Decoded d;
  d.charset = "utf-8";
  d.code_page = 65001;
  d.utf8.reserve(bytes.size());
  std::size_t good = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    if (const std::size_t end = ascii_run_end(bytes, i); end > i) {
      d.utf8.append(bytes.substr(i, end - i));
      i = end;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(bytes, i, cp);
    if (len == 0) {
      append_utf8(d.utf8, kReplacement);
      ++d.errors;
      ++i;
    } else {
      if (len > 1) ++good;
      d.utf8.append(bytes.substr(i, len));
      i += len;
    }
  }
  if (d.utf8.starts_with("\xEF\xBB\xBF")) d.utf8.erase(0, 3);
  if (multibyte != nullptr) *multibyte = good;
  return d;
}

Decoded decode_latin1(std::string_view bytes) {
  Decoded d;
  d.charset = "iso-8859-1";
  d.code_page = 28591;
  for (char c : bytes) append_utf8(d.utf8, static_cast<unsigned char>(c));
  return d;
}

std::optional<Decoded> decode_iconv(std::string_view bytes, const std::string& iconv_name) {
  IconvPtr cd = open_iconv(iconv_name);
  if (!cd) return std::nullopt;
  Decoded d;
  std::vector<char> buffer(4 * bytes.size() + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (true) {
    char* out = buffer.data();
    std::size_t out_left = buffer.size();
    const std::size_t rc = in_left == 0 ? iconv(*cd, nullptr, nullptr, &out, &out_left)
                                        : iconv(*cd, &in, &in_left, &out, &out_left);
    const int err = errno;
    d.utf8.append(buffer.data(), static_cast<std::size_t>(out - buffer.data()));
    if (rc != static_cast<std::size_t>(-1)) {
      if (in_left == 0) {
        // Flush the shift state of stateful encodings once.
        out = buffer.data();
        out_left = buffer.size();
        iconv(*cd, nullptr, nullptr, &out, &out_left);
        d.utf8.append(buffer.data(), static_cast<std::size_t>(out - buffer.data()));
        break;
      }
      continue;
    }
    if (err == E2BIG) continue;
    // EILSEQ: a bad byte; EINVAL: an incomplete sequence at the end.
    append_utf8(d.utf8, kReplacement);
    ++d.errors;
    if (in_left == 0) break;
    ++in;
    --in_left;
    if (err == EINVAL && in_left == 0) break;
  }
  if (d.utf8.starts_with("\xEF\xBB\xBF")) d.utf8.erase(0, 3);
  return d;
}

// ISO-2022-JP as Windows' code page 50220 reads it. Its JIS X 0208 set includes NEC's row
// 13 (circled digits, No.) and the IBM extensions that iconv's ISO-2022-JP lacks; EUC-JP-MS
// has them, so the text is rewritten as EUC-JP and decoded as that. Escapes of other sets
// (ISO-2022-JP-2's Chinese, Korean, Latin-1) are left to iconv: nullopt.
std::optional<Decoded> decode_iso2022jp(std::string_view bytes) {
  std::string euc;
  euc.reserve(bytes.size());
  enum class Set { kAscii, kJis0208, kKatakana } set = Set::kAscii;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b == 0x1B) {
      const std::string_view esc = bytes.substr(i + 1, 2);
      if (esc == "(B" || esc == "(J") {
        set = Set::kAscii;
      } else if (esc == "$B" || esc == "$@") {
        set = Set::kJis0208;
      } else if (esc == "(I") {
        set = Set::kKatakana;
      } else {
        return std::nullopt;
      }
      i += 2;
      continue;
    }
    if (b == '\r' || b == '\n') set = Set::kAscii;  // a line always starts in ASCII
    if (set == Set::kAscii || b < 0x21 || b > 0x7E) {
      // Bytes with the high bit set are no ISO-2022-JP: they stay invalid in EUC-JP too,
      // except in pairs that EUC-JP reads; either way the decoder counts what is bad.
      euc += static_cast<char>(b);
    } else if (set == Set::kKatakana) {
      euc += '\x8E';
      euc += static_cast<char>(b | 0x80);
    } else if (i + 1 < bytes.size()) {
      euc += static_cast<char>(b | 0x80);
      euc += static_cast<char>(static_cast<unsigned char>(bytes[++i]) | 0x80);
    } else {
      euc += static_cast<char>(b | 0x80);  // half a character: replaced by the decoder
    }
  }
  return decode_iconv(euc, "EUC-JP-MS");
}

bool has_c1_bytes(std::string_view bytes) {
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 && b <= 0x9F) return true;
  }
  return false;
}

bool is_ascii(std::string_view bytes) {
  for (char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string ascii_lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string ascii_upper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string trim(std::string_view s) {
  const auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return std::string(s);
}

Charset lookup_charset(std::string_view label) {
  const std::string l = ascii_lower(trim(label));
  if (l.empty()) return {};
  for (auto u : kUnknownLabels)
    if (l == u) return {};
  for (const auto& k : kKnown)
    if (l == k.label) return {std::string(k.iconv_name), k.code_page};
  // windows-125x, cp125x, iso-8859-n.
  auto digits = [](std::string_view s) {
    int v = 0;
    if (s.empty() || s.size() > 4) return -1;
    for (char c : s) {
      if (c < '0' || c > '9') return -1;
      v = v * 10 + (c - '0');
    }
    return v;
  };
  for (std::string_view prefix : {"windows-", "cp", "x-cp", "win-"}) {
    if (l.starts_with(prefix)) {
      const int n = digits(std::string_view(l).substr(prefix.size()));
      if (n >= 1250 && n <= 1258) return {"WINDOWS-" + std::to_string(n), n};
    }
  }
  for (std::string_view prefix : {"iso-8859-", "iso8859-", "iso_8859-"}) {
    if (l.starts_with(prefix)) {
      const int n = digits(std::string_view(l).substr(prefix.size()));
      if (n >= 2 && n <= 16 && n != 12) return {"ISO-8859-" + std::to_string(n), 28590 + n};
    }
  }
  // Anything else iconv knows, without a code page.
  const std::string upper = ascii_upper(l);
  if (open_iconv(upper)) return {upper, 0};
  return {};
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = ascii_run_end(bytes, 0); i < bytes.size(); i = ascii_run_end(bytes, i)) {
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::optional<Decoded> decode_exact(std::string_view bytes, std::string_view charset) {
  const std::string label = ascii_lower(trim(charset));
  const Charset cs = lookup_charset(label);
  if (cs.iconv_name.empty()) return std::nullopt;
  Decoded d;
  // Bytes labelled ASCII that are not: UTF-8 when they are valid UTF-8 (as raw header
  // text is read), else windows-1252. The label was wrong either way.
  const bool ascii_label = cs.code_page == 20127 && !is_ascii(bytes);
  if (ascii_label && is_valid_utf8(bytes)) {
    d = decode_utf8(bytes);
    d.charset = "utf-8";
    d.fell_back = true;
    return d;
  }
  if (cs.iconv_name == "UTF-8") {
    d = decode_utf8(bytes);
  } else if (cs.iconv_name == kIso2022Jp) {
    auto r = decode_iso2022jp(bytes);
    if (!r) r = decode_iconv(bytes, "ISO-2022-JP-2");
    if (!r) return std::nullopt;
    d = std::move(*r);
  } else {
    auto r = decode_iconv(bytes, cs.iconv_name);
    if (!r) return std::nullopt;
    d = std::move(*r);
  }
  d.charset = label;
  d.code_page = cs.code_page;
  // A Latin-1 label over bytes of windows-1252 is really 1252; plain ASCII stays ASCII.
  if (cs.iconv_name == "WINDOWS-1252" && cs.code_page == 28591 && has_c1_bytes(bytes))
    d.code_page = 1252;
  if (ascii_label) {
    d.code_page = 1252;
    d.charset = "windows-1252";
    d.fell_back = true;
  }
  return d;
}

Decoded decode_text(std::string_view bytes, std::string_view declared, std::string_view legacy) {
  // A byte-order mark is the strongest evidence there is.
  const auto bom = [&]() -> std::string_view {
    if (bytes.starts_with("\xEF\xBB\xBF")) return "utf-8";
    if (bytes.starts_with("\xFF\xFE")) return "utf-16le";
    if (bytes.starts_with("\xFE\xFF")) return "utf-16be";
    return {};
  }();
  std::optional<Decoded> first = decode_exact(bytes, declared);
  if (first && first->errors == 0) return std::move(*first);
  if (!bom.empty()) {
    auto r = decode_exact(bytes.substr(bom == "utf-8" ? 3 : 2), bom);
    if (r && r->errors == 0) {
      r->fell_back = first.has_value() || !trim(declared).empty();
      return std::move(*r);
    }
  }
  std::size_t multibyte = 0;
  Decoded utf8 = decode_utf8(bytes, &multibyte);
  if (first) {
    // Declared UTF-8 that is mostly UTF-8 keeps its few replacement characters.
    if (first->code_page == 65001 && multibyte >= first->errors) return std::move(*first);
  }
  if (utf8.errors == 0) {
    utf8.fell_back = true;
    return utf8;
  }
  if (auto r = decode_exact(bytes, legacy); r && r->errors == 0) {
    r->fell_back = true;
    return std::move(*r);
  }
  Decoded latin1 = decode_latin1(bytes);
  latin1.fell_back = true;
  return latin1;
}

std::string header_bytes_to_utf8(std::string_view bytes, std::string_view legacy) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  if (auto r = decode_exact(bytes, legacy); r && r->errors == 0) return std::move(r->utf8);
  return decode_latin1(bytes).utf8;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  // Every UTF-8 sequence gives at most as many UTF-16 units as it has bytes.
  std::u16string out(utf8.size(), u'\0');
  std::size_t o = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    if (const std::size_t end = ascii_run_end(utf8, i); end > i) {
      for (; i < end; ++i) out[o++] = static_cast<char16_t>(static_cast<unsigned char>(utf8[i]));
      continue;
    }
    char32_t cp = 0;
    std::size_t len = utf8_sequence(utf8, i, cp);
    if (len == 0) {
      cp = kReplacement;
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out[o++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[o++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[o++] = static_cast<char16_t>(cp);
    }
  }
  out.resize(o);
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::string base64_decode(std::string_view encoded) {
  std::string out;
  out.reserve(encoded.size() * 3 / 4);
  Base64Decoder d;
  d.feed(encoded, out);
  d.finish(out);
  return out;
}

namespace {

// Charsets whose encoded words we decode ourselves: GMime does not know the label or reads
// it differently from Windows.
bool decoded_here(std::string_view charset) {
  const std::string name = lookup_charset(charset.substr(0, charset.find('*'))).iconv_name;
  return name == "UTF-7" || name == kIso2022Jp;
}

std::string q_decode(std::string_view payload) {
  std::string out;
  out.reserve(payload.size());
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < payload.size(); ++i) {
    const char c = payload[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < payload.size() && hex(payload[i + 1]) >= 0 &&
               hex(payload[i + 2]) >= 0) {
      out += static_cast<char>(hex(payload[i + 1]) * 16 + hex(payload[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string rewrite_b_words(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  std::size_t i = 0;
  while (i < v.size()) {
    const std::size_t start = v.find("=?", i);
    if (start == std::string_view::npos) break;
    // =?charset?B?text?= (or ?Q? in a charset decoded here)
    const std::size_t q1 = v.find('?', start + 2);
    bool done = false;
    if (q1 != std::string_view::npos && q1 + 2 < v.size() && v[q1 + 2] == '?') {
      const char encoding = static_cast<char>(v[q1 + 1] | 0x20);
      const std::string_view charset = v.substr(start + 2, q1 - start - 2);
      const std::size_t end = v.find("?=", q1 + 3);
      const bool own = decoded_here(charset);
      if ((encoding == 'b' || (encoding == 'q' && own)) && end != std::string_view::npos &&
          !charset.empty() && charset.find_first_of(" \t\r\n\"") == std::string_view::npos) {
        const std::string_view payload = v.substr(q1 + 3, end - q1 - 3);
        if (payload.find_first_of(" \t\r\n?") == std::string_view::npos) {
          std::string bytes = encoding == 'b' ? base64_decode(payload) : q_decode(payload);
          std::string_view label = charset;
          if (own) {
            if (auto d = decode_exact(bytes, charset.substr(0, charset.find('*')))) {
              bytes = std::move(d->utf8);
              label = "UTF-8";
            }
          }
          out.append(v.substr(i, start - i));
          out += "=?";
          out += label;
          out += "?Q?";
          static constexpr char kHex[] = "0123456789ABCDEF";
          for (char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
              out += c;
            } else {
              out += '=';
              out += kHex[b >> 4];
              out += kHex[b & 0xF];
            }
          }
          out += "?=";
          i = end + 2;
          done = true;
        }
      }
    }
    if (!done) {
      out.append(v.substr(i, start + 2 - i));
      i = start + 2;
    }
  }
  out.append(v.substr(std::min(i, v.size())));
  return out;
}

std::string to_crlf(std::string_view t) {
  std::string out;
  out.reserve(t.size() + t.size() / 16);
  std::size_t i = 0;
  while (i < t.size()) {
    std::size_t j = i;
    // Eight bytes at a time while none is below 0x0E (CR, LF and NUL are).
    while (j + 8 <= t.size()) {
      std::uint64_t word;
      std::memcpy(&word, t.data() + j, 8);
      if (((word - 0x0E0E0E0E0E0E0E0EULL) & ~word & 0x8080808080808080ULL) != 0) break;
      j += 8;
    }
    while (j < t.size() && t[j] != '\r' && t[j] != '\n' && t[j] != '\0') ++j;
    out.append(t.substr(i, j - i));
    if (j == t.size()) break;
    if (t[j] != '\0') {
      out += "\r\n";
      if (t[j] == '\r' && j + 1 < t.size() && t[j + 1] == '\n') ++j;
    }
    i = j + 1;
  }
  return out;
}

namespace {

// Finds the charset of a <meta charset=...> or http-equiv content value, with its
// position in the document.
bool find_meta(std::string_view html, std::size_t& at, std::size_t& len) {
  const std::string lower = ascii_lower(html.substr(0, std::min<std::size_t>(html.size(), 4096)));
  std::size_t pos = 0;
  while ((pos = lower.find("<meta", pos)) != std::string::npos) {
    const std::size_t close = lower.find('>', pos);
    if (close == std::string::npos) return false;
    const std::size_t cs = lower.find("charset", pos);
    if (cs != std::string::npos && cs < close) {
      std::size_t p = cs + 7;
      while (p < close &&
             (lower[p] == ' ' || lower[p] == '=' || lower[p] == '"' || lower[p] == '\''))
        ++p;
      std::size_t e = p;
      while (e < close && lower[e] != '"' && lower[e] != '\'' && lower[e] != ';' &&
             lower[e] != ' ' && lower[e] != '/' && lower[e] != '>')
        ++e;
      if (e > p) {
        at = p;
        len = e - p;
        return true;
      }
    }
    pos = close;
  }
  return false;
}

}  // namespace

std::string html_meta_charset(std::string_view html) {
  std::size_t at = 0, len = 0;
  if (!find_meta(html, at, len)) return {};
  return ascii_lower(html.substr(at, len));
}

std::string html_declare_utf8(std::string_view html) {
  std::size_t at = 0, len = 0;
  std::string out(html);
  if (find_meta(html, at, len)) {
    out.replace(at, len, "utf-8");
    return out;
  }
  const std::string meta =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";
  const std::string lower = ascii_lower(html.substr(0, std::min<std::size_t>(html.size(), 4096)));
  std::size_t head = lower.find("<head");
  if (head != std::string::npos) {
    const std::size_t close = lower.find('>', head);
    if (close != std::string::npos) {
      out.insert(close + 1, meta);
      return out;
    }
  }
  return meta + out;
}

namespace {

struct Entity {
  std::string_view name;
  char32_t cp;
};
constexpr std::array kEntities = {
    Entity{"amp", '&'},       Entity{"lt", '<'},       Entity{"gt", '>'},
    Entity{"quot", '"'},      Entity{"apos", '\''},    Entity{"nbsp", 0xA0},
    Entity{"copy", 0xA9},     Entity{"reg", 0xAE},     Entity{"trade", 0x2122},
    Entity{"hellip", 0x2026}, Entity{"mdash", 0x2014}, Entity{"ndash", 0x2013},
    Entity{"lsquo", 0x2018},  Entity{"rsquo", 0x2019}, Entity{"ldquo", 0x201C},
    Entity{"rdquo", 0x201D},  Entity{"bull", 0x2022},  Entity{"euro", 0x20AC},
    Entity{"auml", 0xE4},     Entity{"ouml", 0xF6},    Entity{"uuml", 0xFC},
    Entity{"Auml", 0xC4},     Entity{"Ouml", 0xD6},    Entity{"Uuml", 0xDC},
    Entity{"szlig", 0xDF},    Entity{"eacute", 0xE9},  Entity{"egrave", 0xE8},
    Entity{"agrave", 0xE0},   Entity{"ccedil", 0xE7},  Entity{"laquo", 0xAB},
    Entity{"raquo", 0xBB},    Entity{"deg", 0xB0},     Entity{"middot", 0xB7},
};

std::string decode_entity(std::string_view name) {
  std::string out;
  if (name.size() > 1 && name[0] == '#') {
    char32_t cp = 0;
    bool hex = name[1] == 'x' || name[1] == 'X';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return {};
    for (char c : digits) {
      int v;
      if (c >= '0' && c <= '9')
        v = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
      else
        return {};
      cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(v);
    }
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    append_utf8(out, cp);
    return out;
  }
  for (const auto& e : kEntities)
    if (e.name == name) {
      append_utf8(out, e.cp);
      return out;
    }
  return {};
}

// Case-insensitive find of an ASCII needle.
std::size_t ifind(std::string_view hay, std::string_view needle, std::size_t from) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (needle.empty() || hay.size() < needle.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && lower(hay[i + k]) == lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::string html_to_text(std::string_view html) {
  std::string out;
  out.reserve(html.size() / 2);
  bool in_pre = false;
  bool pending_space = false;
  const auto newline = [&] {
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
    pending_space = false;
  };
  const auto emit = [&](std::string_view s) {
    if (pending_space && !out.empty() && out.back() != '\n' && out.back() != ' ') out += ' ';
    pending_space = false;
    out += s;
  };
  std::size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      if (html.substr(i, 4) == "<!--") {
        const std::size_t e = html.find("-->", i + 4);
        i = e == std::string_view::npos ? html.size() : e + 3;
        continue;
      }
      const std::size_t e = html.find('>', i);
      if (e == std::string_view::npos) break;
      std::string_view tag = html.substr(i + 1, e - i - 1);
      const bool closing = !tag.empty() && tag[0] == '/';
      if (closing) tag.remove_prefix(1);
      std::size_t n = 0;
      while (n < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[n])) != 0)) ++n;
      const std::string name = ascii_lower(tag.substr(0, n));
      i = e + 1;
      if (!closing && (name == "style" || name == "script" || name == "head" || name == "title")) {
        const std::size_t end = ifind(html, "</" + name, i);
        if (end == std::string_view::npos) break;
        const std::size_t gt = html.find('>', end);
        i = gt == std::string_view::npos ? html.size() : gt + 1;
        continue;
      }
      if (name == "br") {
        newline();
      } else if (name == "p" || name == "div" || name == "tr" || name == "table" || name == "ul" ||
                 name == "ol" || name == "blockquote" ||
                 (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
        if (!out.empty() && out.back() != '\n') newline();
      } else if (name == "li" && !closing) {
        if (!out.empty() && out.back() != '\n') newline();
        out += "\xE2\x80\xA2 ";
      } else if (name == "td" || name == "th") {
        if (!closing && !out.empty() && out.back() != '\n') out += '\t';
      } else if (name == "pre") {
        in_pre = !closing;
      }
      continue;
    }
    if (c == '&') {
      const std::size_t semi = html.find(';', i);
      if (semi != std::string_view::npos && semi - i <= 10) {
        const std::string decoded = decode_entity(html.substr(i + 1, semi - i - 1));
        if (!decoded.empty()) {
          emit(decoded == "\xC2\xA0" ? std::string_view(" ") : std::string_view(decoded));
          i = semi + 1;
          continue;
        }
      }
      emit("&");
      ++i;
      continue;
    }
    if (!in_pre && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      pending_space = true;
      ++i;
      continue;
    }
    if (c == '\r' && i + 1 < html.size() && html[i + 1] == '\n') {
      ++i;
      continue;
    }
    if (c == '\r' || c == '\n') {
      newline();
      ++i;
      continue;
    }
    emit(std::string_view(&html[i], 1));
    ++i;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  std::size_t lead = 0;
  while (lead < out.size() && out[lead] == '\n') ++lead;
  return out.substr(lead);
}

std::string unflow(std::string_view text, bool delsp) {
  std::string out;
  std::string paragraph;
  int paragraph_depth = -1;
  const auto flush = [&] {
    if (paragraph_depth < 0) return;
    out.append(static_cast<std::size_t>(paragraph_depth), '>');
    if (paragraph_depth > 0 && !paragraph.empty()) out += ' ';
    out += paragraph;
    out += '\n';
    paragraph.clear();
    paragraph_depth = -1;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    const bool last = lf == std::string_view::npos;
    std::string_view line = text.substr(pos, last ? std::string_view::npos : lf - pos);
    pos = last ? text.size() : lf + 1;
    if (line.ends_with("\r")) line.remove_suffix(1);
    int depth = 0;
    while (!line.empty() && line.front() == '>') {
      ++depth;
      line.remove_prefix(1);
    }
    if (line.starts_with(" ")) line.remove_prefix(1);
    if (paragraph_depth >= 0 && depth != paragraph_depth) flush();
    const bool signature = line == "-- ";
    const bool flowed = !signature && line.ends_with(" ");
    if (signature) flush();
    paragraph_depth = depth;
    if (flowed && delsp) line.remove_suffix(1);
    paragraph.append(line);
    if (!flowed) flush();
  }
  if (paragraph_depth >= 0) {
    // A last flowed line without a line break after it.
    out.append(static_cast<std::size_t>(paragraph_depth), '>');
    if (paragraph_depth > 0 && !paragraph.empty()) out += ' ';
    out += paragraph;
  }
  if (!text.ends_with("\n") && out.ends_with("\n")) out.pop_back();
  return out;
}

std::string enriched_to_text(std::string_view text) {
  std::string out;
  int nofill = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '<') {
      if (i + 1 < text.size() && text[i + 1] == '<') {
        out += '<';
        i += 2;
        continue;
      }
      const std::size_t e = text.find('>', i);
      if (e == std::string_view::npos) break;
      const std::string cmd = ascii_lower(text.substr(i + 1, e - i - 1));
      if (cmd == "nofill")
        ++nofill;
      else if (cmd == "/nofill" && nofill > 0)
        --nofill;
      else if (cmd == "param") {
        // Parameters are not text.
        const std::size_t end = ifind(text, "</param>", e);
        i = end == std::string_view::npos ? text.size() : end + 8;
        continue;
      }
      i = e + 1;
      continue;
    }
    if (c == '\n' && nofill == 0) {
      // n line breaks stand for n-1; a single one is a space.
      std::size_t n = 0;
      while (i < text.size() && (text[i] == '\n' || text[i] == '\r')) {
        if (text[i] == '\n') ++n;
        ++i;
      }
      if (n == 1)
        out += ' ';
      else
        out.append(n - 1, '\n');
      continue;
    }
    if (c != '\r') out += c;
    ++i;
  }
  return out;
}

std::string text_to_html(std::string_view t) {
  std::string out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else if (c == '\r')
      continue;
    else if (c == '\n')
      out += "<br>\n";
    else
      out += c;
  }
  return out;
}

}  // namespace larkfield::mime::text
