#include "convert/text_escape.hpp"

#include <cstdio>

namespace larkfield::convert {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendHex(std::string& out, const char* format, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

// Characters that change how the text around them is shown without being seen.
bool TurnsDirection(char32_t cp) {
  return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

// The escaping of EscapeText, fed one character or stray byte at a time. A backslash is
// held back until the next piece shows whether it has to be doubled.
class TextEscaper {
 public:
  void Character(char32_t cp) {
    if (cp < 0x20 || cp == 0x7F) {
      Escape("\\x%02X", static_cast<unsigned>(cp));
    } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || TurnsDirection(cp) ||
               (cp >= 0xD800 && cp <= 0xDFFF)) {
      Escape("\\u{%04X}", static_cast<unsigned>(cp));
    } else if (cp == '\\') {
      Settle('\\');
      backslash_ = true;
    } else {
      Settle(static_cast<char>(cp < 0x80 ? cp : 0));
      AppendUtf8(out_, cp);
    }
  }
  void StrayByte(unsigned char b) { Escape("\\x%02X", b); }
  std::string Finish() {
    Settle(0);
    return std::move(out_);
  }

 private:
  void Escape(const char* format, unsigned value) {
    Settle('\\');
    AppendHex(out_, format, value);
  }
  // Writes a held backslash before a piece that starts with `next`.
  void Settle(char next) {
    if (!backslash_) return;
    out_ += next == '\\' || next == 'x' || next == 'u' ? "\\\\" : "\\";
    backslash_ = false;
  }

  std::string out_;
  bool backslash_ = false;
};

class JsonWriter {
 public:
  JsonWriter() { out_ += '"'; }
  void Character(char32_t cp) {
    switch (cp) {
      case '"':
        out_ += "\\\"";
        return;
      case '\\':
        out_ += "\\\\";
        return;
      case '\n':
        out_ += "\\n";
        return;
      case '\r':
        out_ += "\\r";
        return;
      case '\t':
        out_ += "\\t";
        return;
      default:
        break;
    }
    // Also what a terminal showing the JSON would act on; JSON reads it back the same.
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
        TurnsDirection(cp) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      AppendHex(out_, "\\u%04x", static_cast<unsigned>(cp));
    } else {
      AppendUtf8(out_, cp);
    }
  }
  void StrayByte(unsigned char b) { AppendHex(out_, "\\udc%02x", b); }
  std::string Finish() {
    out_ += '"';
    return std::move(out_);
  }

 private:
  std::string out_;
};

template <class Sink>
std::string FromBytes(std::string_view s) {
  Sink sink;
  while (!s.empty()) {
    char32_t cp = 0;
    std::size_t len = DecodeUtf8(s, cp);
    if (len == 0) {
      sink.StrayByte(static_cast<unsigned char>(s.front()));
      len = 1;
    } else {
      sink.Character(cp);
    }
    s.remove_prefix(len);
  }
  return sink.Finish();
}

template <class Sink>
std::string FromUtf16(std::u16string_view s) {
  Sink sink;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      sink.Character(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else {
      sink.Character(u);  // a lone surrogate is escaped by both sinks
    }
  }
  return sink.Finish();
}

#ifdef _WIN32
std::u16string Utf16Of(const std::filesystem::path& path) {
  const std::wstring& w = path.native();
  return std::u16string(w.begin(), w.end());
}
#endif

}  // namespace

std::size_t DecodeUtf8(std::string_view s, char32_t& cp) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  std::size_t len = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

std::string EscapeText(std::string_view bytes) { return FromBytes<TextEscaper>(bytes); }
std::string EscapeText(std::u16string_view text) { return FromUtf16<TextEscaper>(text); }
std::string JsonString(std::string_view bytes) { return FromBytes<JsonWriter>(bytes); }
std::string JsonString(std::u16string_view text) { return FromUtf16<JsonWriter>(text); }

#ifdef _WIN32
std::string EscapePath(const std::filesystem::path& path) { return EscapeText(Utf16Of(path)); }
std::string JsonPath(const std::filesystem::path& path) { return JsonString(Utf16Of(path)); }
#else
std::string EscapePath(const std::filesystem::path& path) { return EscapeText(path.native()); }
std::string JsonPath(const std::filesystem::path& path) { return JsonString(path.native()); }
#endif

}  // namespace larkfield::convert
