#pragma once

// Text helpers of the importer: charsets, UTF-8/UTF-16, base64, encoded words, HTML to
// plain text. Pure functions over bytes; no GMime objects.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkfield::mime::text {

// A charset label mapped to what we decode with and the Windows code page it stands for.
struct Charset {
  std::string iconv_name;      // empty: unknown, cannot be decoded
  std::int32_t code_page = 0;  // 0: none known
};

// Maps a MIME charset label. Latin-1 and ASCII labels decode as windows-1252, which is
// what such mail almost always really is; ASCII-labelled bytes that are valid UTF-8 decode
// as UTF-8 (decode_exact), as raw header bytes do.
Charset lookup_charset(std::string_view label);

struct Decoded {
  std::string utf8;
  std::size_t errors = 0;      // bytes replaced by U+FFFD
  std::string charset;         // the label actually used (lower case)
  std::int32_t code_page = 0;  // of that charset, 0 when none is known
  bool fell_back = false;      // the declared charset was missing, unknown or wrong
};

bool is_valid_utf8(std::string_view bytes);

// Decodes `bytes` in exactly `charset`, replacing undecodable bytes with U+FFFD.
// Returns nullopt when the charset is unknown.
std::optional<Decoded> decode_exact(std::string_view bytes, std::string_view charset);

// Decodes text whose label may be missing, unknown or lying: the declared charset if it
// decodes cleanly (UTF-8 with a few bad bytes stays UTF-8), else UTF-8, the legacy
// charset, then ISO-8859-1. A byte-order mark decides first when there is no label.
Decoded decode_text(std::string_view bytes, std::string_view declared, std::string_view legacy);

// Raw 8-bit header text: UTF-8 when valid, else `legacy`, else ISO-8859-1.
std::string header_bytes_to_utf8(std::string_view bytes, std::string_view legacy);

std::u16string utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(std::u16string_view utf16);

// Forgiving base64: skips characters outside the alphabet. Padding ends the data unless
// what follows it are more lines of base64 (whole quanta of the alphabet only), so that
// concatenated padded chunks decode completely while a signature or other text after the
// padding is no data. Feeds may split the input anywhere; `Out` is a container of char or
// std::byte.
class Base64Decoder {
 public:
  template <typename Out>
  void feed(std::string_view in, Out& out) {
    using T = typename Out::value_type;
    // Written in place: a quantum gives three bytes for four characters, a flushed partial
    // one at most two, so the input size (plus the carried quantum and a held line) bounds
    // the output.
    const std::size_t start = out.size();
    out.resize(start + in.size() + held_.size() + 3);
    T* w = out.data() + start;
    for (const char c : in) {
      if (state_ == State::kEnded) break;
      if (state_ == State::kData) {
        w = data(c, w);
        continue;
      }
      if (state_ == State::kAfterPad) {
        if (c == '\n') state_ = State::kLineAfterPad;
        continue;
      }
      // The line after padding: held until it shows whether it is more data.
      if (c == '\n') {
        w = judge_line(w, true);
        continue;
      }
      held_ += c;
      if (!plausible_line()) {
        state_ = State::kEnded;
      } else if (held_.size() >= kLongLine) {
        w = judge_line(w, false);
      }
    }
    out.resize(static_cast<std::size_t>(w - out.data()));
  }
  // Flushes a partial quantum (two or three characters) and a held last line.
  template <typename Out>
  void finish(Out& out) {
    using T = typename Out::value_type;
    if (state_ == State::kLineAfterPad && !held_.empty()) {
      const std::size_t start = out.size();
      out.resize(start + held_.size() + 3);
      T* w = judge_line(out.data() + start, true);
      out.resize(static_cast<std::size_t>(w - out.data()));
    }
    T tail[2];
    const auto n = static_cast<std::size_t>(flush(tail) - tail);
    out.insert(out.end(), tail, tail + n);
  }

 private:
  static constexpr std::int8_t kSkip = -1, kPad = -2;
  static constexpr std::size_t kLongLine = 4096;
  static constexpr auto kValues = [] {
    std::array<std::int8_t, 256> t{};
    t.fill(kSkip);
    for (int i = 0; i < 26; ++i) {
      t['A' + i] = static_cast<std::int8_t>(i);
      t['a' + i] = static_cast<std::int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::int8_t>(52 + i);
    t['+'] = 62;
    t['/'] = 63;
    t['='] = kPad;
    return t;
  }();

  enum class State { kData, kAfterPad, kLineAfterPad, kEnded };

  template <typename T>
  T* data(char c, T* w) {
    const std::int8_t v = kValues[static_cast<unsigned char>(c)];
    if (v == kPad) {
      w = flush(w);
      state_ = State::kAfterPad;
      return w;
    }
    if (v < 0) return w;
    acc_ = (acc_ << 6) | static_cast<std::uint32_t>(v);
    if (++n_ == 4) {
      w[0] = static_cast<T>((acc_ >> 16) & 0xFF);
      w[1] = static_cast<T>((acc_ >> 8) & 0xFF);
      w[2] = static_cast<T>(acc_ & 0xFF);
      w += 3;
      acc_ = 0;
      n_ = 0;
    }
    return w;
  }

  // The held line so far may still be base64: the alphabet, padding, then blanks or a CR.
  bool plausible_line() const {
    bool tail = false;
    for (const char c : held_) {
      const bool blank = c == '\r' || c == ' ' || c == '\t';
      if (blank) {
        tail = true;
      } else if (tail || kValues[static_cast<unsigned char>(c)] == kSkip) {
        return false;
      }
    }
    return true;
  }

  // A whole line after padding: blank lines are skipped, whole quanta are data again,
  // anything else ends the data. A long line is data once it is long enough to tell.
  template <typename T>
  T* judge_line(T* w, bool whole) {
    std::size_t chars = 0;
    for (const char c : held_)
      if (kValues[static_cast<unsigned char>(c)] != kSkip) ++chars;
    if (chars == 0) {
      held_.clear();
      return w;
    }
    if (whole && chars % 4 != 0) {
      state_ = State::kEnded;
      held_.clear();
      return w;
    }
    state_ = State::kData;
    for (const char c : held_) w = data(c, w);
    held_.clear();
    // The line end that judged the line belongs to it: a padded line waits for the next.
    if (whole && state_ == State::kAfterPad) state_ = State::kLineAfterPad;
    return w;
  }

  template <typename T>
  T* flush(T* w) {
    if (n_ == 2) {
      *w++ = static_cast<T>((acc_ >> 4) & 0xFF);
    } else if (n_ == 3) {
      *w++ = static_cast<T>((acc_ >> 10) & 0xFF);
      *w++ = static_cast<T>((acc_ >> 2) & 0xFF);
    }
    acc_ = 0;
    n_ = 0;
    return w;
  }

  std::uint32_t acc_ = 0;
  int n_ = 0;
  State state_ = State::kData;
  std::string held_;
};

std::string base64_decode(std::string_view encoded);

// Rewrites every base64 encoded word ("=?cs?B?...?=") as the equivalent Q encoded word,
// so header decoders that mishandle adjacent padded base64 words see none. Words in
// charsets GMime reads differently from us (UTF-7 aliases, ISO-2022-JP) are decoded here
// and rewritten as UTF-8 words.
std::string rewrite_b_words(std::string_view header_value);

// Line ends to CRLF; NUL characters removed.
std::string to_crlf(std::string_view text);

// The charset named by a <meta> tag near the start of an HTML document, lower case.
std::string html_meta_charset(std::string_view html);

// Replaces (or inserts) the HTML's charset declaration with UTF-8.
std::string html_declare_utf8(std::string_view html);

// Plain text rendering of an HTML document (UTF-8 in, UTF-8 out, LF line ends).
std::string html_to_text(std::string_view html);

// Joins the soft line breaks of format=flowed text (RFC 3676): space stuffing removed,
// quote depth kept, the signature separator never joined.
std::string unflow(std::string_view text, bool delsp);

// Plain text of text/enriched (RFC 1896): formatting commands dropped, "<<" read as "<",
// single line breaks joined.
std::string enriched_to_text(std::string_view text);

// Escapes text for HTML, line breaks as <br>.
std::string text_to_html(std::string_view text);

std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);
std::string trim(std::string_view s);
// ASCII letters compared without regard to case; other bytes exactly.
bool iequals(std::string_view a, std::string_view b) noexcept;

}  // namespace larkfield::mime::text
