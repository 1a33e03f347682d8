#include "mime/framing.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "mime/text.hpp"

namespace larkfield::mime::framing {
namespace {

// The byte count of an .emlx first line ("1234", maybe with spaces or a CR), or nullopt.
std::optional<std::size_t> emlx_count(std::string_view file, std::size_t& after_line) {
  const std::size_t lf = file.find('\n');
  if (lf == std::string_view::npos || lf > 32) return std::nullopt;
  std::string_view line = file.substr(0, lf);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  std::size_t n = 0;
  const auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), n);
  if (ec != std::errc() || p != line.data() + line.size()) return std::nullopt;
  after_line = lf + 1;
  return n;
}

// Where the trailing property list starts, searched from the end.
std::size_t plist_start(const Window& file, std::size_t from) {
  const std::string_view last = file.complete() ? file.head : file.tail;
  const std::size_t at = file.complete() ? 0 : file.tail_at();
  const std::size_t pos = last.rfind("<?xml");
  if (pos == std::string_view::npos || at + pos < from) return std::string_view::npos;
  return at + pos;
}

std::optional<std::string> plist_value(std::string_view plist, std::string_view key) {
  const std::string k = "<key>" + std::string(key) + "</key>";
  const std::size_t at = plist.find(k);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t open = plist.find('<', at + k.size());
  if (open == std::string_view::npos) return std::nullopt;
  const std::size_t gt = plist.find('>', open);
  if (gt == std::string_view::npos) return std::nullopt;
  const std::size_t close = plist.find('<', gt);
  if (close == std::string_view::npos) return std::nullopt;
  return text::trim(plist.substr(gt + 1, close - gt - 1));
}

std::optional<double> plist_number(std::string_view plist, std::string_view key) {
  auto v = plist_value(plist, key);
  if (!v || v->empty()) return std::nullopt;
  char* end = nullptr;
  const double d = std::strtod(v->c_str(), &end);
  if (end != v->c_str() + v->size()) return std::nullopt;
  return d;
}

// A date of the property list, in seconds since 1970; one a FILETIME cannot hold (before
// 1601, after 9999, not a number) is left out with a warning, as if it were missing.
std::optional<double> plist_date(std::string_view plist, std::string_view key, Framed& f) {
  const std::optional<double> d = plist_number(plist, key);
  if (!d) return std::nullopt;
  constexpr double kFirst = -11644473600.0;  // 1601-01-01
  constexpr double kLast = 253402300799.0;   // 9999-12-31 23:59:59
  if (!std::isfinite(*d) || *d < kFirst || *d > kLast) {
    f.warnings.push_back(".emlx " + std::string(key) + " " + *plist_value(plist, key) +
                         " is no date; ignored");
    return std::nullopt;
  }
  return d;
}

void read_plist(std::string_view plist, Framed& f) {
  if (auto v = plist_value(plist, "flags"); v && !v->empty()) {
    std::uint64_t flags = 0;
    const auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), flags);
    if (ec == std::errc() && p == v->data() + v->size()) f.emlx_flags = flags;
  }
  f.date_received = plist_date(plist, "date-received", f);
  f.date_sent = plist_date(plist, "date-sent", f);
}

// Leading BOM and blank lines are skipped; NUL bytes in the header block become spaces
// (in a copy, which only such files need).
void clean(const Window& file, std::size_t begin, std::size_t length, Framed& f) {
  std::string_view m = file.from(begin).substr(0, length);
  std::size_t start = 0;
  if (m.starts_with("\xEF\xBB\xBF")) start = 3;
  while (start < m.size() &&
         (m[start] == '\r' || m[start] == '\n' || m[start] == ' ' || m[start] == '\t'))
    ++start;
  // An mbox envelope line ("From sender date") is no header field; the block starts after
  // it. "From : x" is a header with a space before its colon.
  if (const std::string_view rest = m.substr(start); rest.starts_with("From ")) {
    const std::size_t next = rest.find_first_not_of(' ', 5);
    const std::size_t lf = rest.find('\n');
    if (next != std::string_view::npos && rest[next] != ':' && lf != std::string_view::npos)
      start += lf + 1;
  }
  f.offset = begin + start;
  f.length = length - start;
  m.remove_prefix(start);
  const HeaderBlock hb = find_header_block(m);
  if (m.substr(0, hb.end).find('\0') == std::string_view::npos) return;
  // Of a large file only the first bytes are at hand: its parser reads NULs as they are.
  if (m.size() < f.length) return;
  f.cleaned.assign(m);
  f.use_cleaned = true;
  for (std::size_t i = 0; i < hb.end; ++i)
    if (f.cleaned[i] == '\0') f.cleaned[i] = ' ';
}

}  // namespace

HeaderBlock find_header_block(std::string_view m) {
  if (m.starts_with("\n")) return {0, 1};
  if (m.starts_with("\r\n")) return {0, 2};
  std::size_t pos = 0;
  while (true) {
    const std::size_t lf = m.find('\n', pos);
    if (lf == std::string_view::npos) return {m.size(), m.size()};
    if (lf + 1 < m.size() && m[lf + 1] == '\n') return {lf + 1, lf + 2};
    if (lf + 2 < m.size() && m[lf + 1] == '\r' && m[lf + 2] == '\n') return {lf + 1, lf + 3};
    pos = lf + 1;
  }
}

Framed frame(std::string_view file, std::string_view file_name) {
  return frame(Window::whole(file), file_name);
}

Framed frame(const Window& file, std::string_view file_name) {
  Framed f;
  const bool named_emlx = text::ascii_lower(file_name).ends_with(".emlx");
  std::size_t body = 0;
  const auto count = emlx_count(file.head, body);
  if (!count) {
    if (!named_emlx) {
      clean(file, 0, file.size, f);
      return f;
    }
    // Without the count the message still ends where Mail's property list begins.
    std::size_t end = file.size;
    if (const std::size_t plist = plist_start(file, 0);
        plist != std::string_view::npos && (plist == 0 || file.from(plist - 1).starts_with('\n')) &&
        file.from(plist).find("<plist") != std::string_view::npos &&
        text::trim(file.from(plist)).ends_with("</plist>")) {
      end = plist;
      f.emlx = true;
      read_plist(file.from(plist), f);
      f.warnings.emplace_back(
          "no .emlx byte count line; the message ends where its property list starts");
    } else {
      f.warnings.emplace_back("no .emlx byte count line; read as a plain message");
    }
    clean(file, 0, end, f);
    return f;
  }
  f.emlx = true;
  if (!named_emlx) f.warnings.emplace_back("file has .emlx framing; read as .emlx");
  const std::size_t remaining = file.size - body;
  std::size_t length = *count;
  const std::size_t plist = plist_start(file, body);
  const auto plist_follows = [&](std::size_t end) {
    std::string_view rest = file.from(end);
    const std::size_t known = rest.size();
    while (!rest.empty() && (rest[0] == '\r' || rest[0] == '\n' || rest[0] == ' '))
      rest.remove_prefix(1);
    if (rest.empty()) return end + known == file.size;
    return rest.starts_with("<?xml") || rest.starts_with("<!DOCTYPE") || rest.starts_with("<plist");
  };
  if (length > remaining || !plist_follows(body + length)) {
    // The count is wrong: the message ends where the property list starts.
    const std::size_t end = plist != std::string_view::npos ? plist : file.size;
    f.warnings.push_back(".emlx byte count " + std::to_string(*count) + " does not match the " +
                         std::to_string(end - body) + " message bytes; used the bytes present");
    length = end - body;
  }
  const std::size_t after = body + length;
  if (after < file.size) {
    read_plist(file.from(after), f);
  } else {
    f.warnings.emplace_back(".emlx file has no property list");
  }
  clean(file, body, length, f);
  return f;
}

std::string_view message(const Framed& framed, std::string_view file) {
  if (framed.use_cleaned) return framed.cleaned;
  return file.substr(framed.offset, framed.length);
}

}  // namespace larkfield::mime::framing
