#include "mime/framing.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <set>

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

// A line of a header block: a field name (printable ASCII, no colon), maybe blanks, a colon.
bool is_field_line(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.empty()) return false;
  for (const char c : name)
    if (static_cast<unsigned char>(c) <= 32 || static_cast<unsigned char>(c) >= 127) return false;
  return true;
}

// Line ends that are a lone CR become LF where they end a line of the structure: in a file
// without any LF all of them; otherwise, once a header line or a delimiter line ends in a
// lone CR, those of header blocks, of delimiter lines and of the line before a delimiter
// (the data of parts keep theirs).
// Returns the offsets of the CRs to change.
std::vector<std::size_t> lone_cr_line_ends(std::string_view m) {
  std::vector<std::size_t> out;
  const auto lone_at = [&](std::size_t i) {
    return m[i] == '\r' && (i + 1 == m.size() || m[i + 1] != '\n');
  };
  std::size_t first = m.find('\r');
  while (first != std::string_view::npos && !lone_at(first)) first = m.find('\r', first + 1);
  if (first == std::string_view::npos) return out;
  if (m.find('\n') == std::string_view::npos) {
    for (std::size_t i = first; i < m.size(); ++i)
      if (m[i] == '\r') out.push_back(i);
    return out;
  }
  // Delimiter lines are those of boundaries the file declares, so that binary data that
  // happen to hold "--" are left alone.
  std::set<std::string, std::less<>> boundaries;
  for (std::size_t at = m.find("oundary=");
       at != std::string_view::npos && boundaries.size() < 1000; at = m.find("oundary=", at + 8)) {
    std::string_view v = m.substr(at + 8, 200);
    if (v.starts_with("\"")) {
      v.remove_prefix(1);
      v = v.substr(0, v.find('"'));
    } else {
      v = v.substr(0, v.find_first_of(" \t\r\n;"));
    }
    if (!v.empty()) boundaries.emplace(v);
  }
  const auto is_delimiter = [&](std::string_view t) {
    if (!t.starts_with("--")) return false;
    t.remove_prefix(2);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    if (boundaries.contains(t)) return true;
    return t.ends_with("--") && boundaries.contains(t.substr(0, t.size() - 2));
  };
  // Walks the lines (ended by CRLF, LF or a lone CR); `apply` false only gathers evidence.
  const auto walk = [&](bool apply) {
    bool in_headers = true;
    bool evidence = false;
    std::size_t pos = 0;
    std::size_t prev_cr = std::string_view::npos;  // a lone CR ending the previous line
    while (pos < m.size()) {
      std::size_t e = m.find_first_of("\r\n", pos);
      if (e == std::string_view::npos) e = m.size();
      const std::string_view t = m.substr(pos, e - pos);
      const bool cr = e < m.size() && lone_at(e);
      const bool delimiter = is_delimiter(t);
      if (apply && delimiter && prev_cr != std::string_view::npos) out.push_back(prev_cr);
      prev_cr = std::string_view::npos;
      if (cr) {
        if (in_headers || delimiter) {
          evidence = true;
          if (apply) out.push_back(e);
        } else {
          prev_cr = e;  // changed if a delimiter line follows
        }
      }
      if (delimiter)
        in_headers = true;
      else if (t.empty())
        in_headers = false;
      pos = e + (e == m.size() ? 0 : (m[e] == '\r' && !cr ? 2 : 1));
    }
    return evidence;
  };
  if (walk(false)) walk(true);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// The header block's lines, each with its line end; `end` where the block ends.
struct FieldLine {
  std::size_t begin, next;  // next: the start of the following line
  bool continuation;
};

// Later fields that would override the first one in the parser: the first counts, as in
// RFC 5322 readers.
constexpr std::string_view kFirstWins[] = {"content-type", "content-transfer-encoding",
                                           "content-disposition"};

// Removes repeated Content-* fields from the top header block (the first stays). Returns the
// names removed.
std::vector<std::string> drop_repeated_fields(std::string& m, std::size_t block_end) {
  std::vector<FieldLine> fields;
  for (std::size_t pos = 0; pos < block_end;) {
    std::size_t lf = m.find('\n', pos);
    const std::size_t next = lf == std::string::npos ? m.size() : lf + 1;
    fields.push_back({pos, std::min(next, block_end), m[pos] == ' ' || m[pos] == '\t'});
    pos = next;
  }
  std::vector<std::string> seen, dropped;
  std::string out;
  bool dropping = false;
  for (const FieldLine& f : fields) {
    const std::string_view line = std::string_view(m).substr(f.begin, f.next - f.begin);
    if (!f.continuation) {
      dropping = false;
      const std::size_t colon = line.find(':');
      const std::string name = text::ascii_lower(
          text::trim(line.substr(0, colon == std::string_view::npos ? 0 : colon)));
      if (std::find(std::begin(kFirstWins), std::end(kFirstWins), name) != std::end(kFirstWins)) {
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
          dropping = true;
          dropped.push_back(text::trim(line.substr(0, colon)));
        } else {
          seen.push_back(name);
        }
      }
    }
    if (!dropping) out.append(line);
  }
  if (dropped.empty()) return dropped;
  m.replace(0, block_end, out);
  return dropped;
}

// Leading BOM and blank lines are skipped. The parser reads a copy when the header block
// needs repairs: NUL bytes in it become spaces, lone CR line ends become LF, a blank line
// goes before a body that follows the fields without one, repeated Content-* fields go.
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
  // Of a large file only the first bytes are at hand: its parser reads them as they are.
  if (m.size() < f.length) return;
  std::string copy;
  const auto work = [&]() -> std::string& {
    if (!f.use_cleaned) {
      copy.assign(m);
      f.use_cleaned = true;
    }
    return copy;
  };
  const auto current = [&]() -> std::string_view {
    return f.use_cleaned ? std::string_view(copy) : m;
  };
  if (const auto crs = lone_cr_line_ends(m); !crs.empty()) {
    std::string& c = work();
    for (const std::size_t i : crs) c[i] = '\n';
    f.warnings.emplace_back("lone CR line ends read as line ends");
  }
  HeaderBlock hb = find_header_block(current());
  if (current().substr(0, hb.end).find('\0') != std::string_view::npos) {
    std::string& c = work();
    for (std::size_t i = 0; i < hb.end; ++i)
      if (c[i] == '\0') c[i] = ' ';
  }
  // Fields, then a line that is no field: the body starts with that line.
  if (hb.end > 0 && hb.end == hb.body && hb.end < current().size()) {
    const std::string_view cur = current();
    const bool crlf = hb.end >= 2 && cur[hb.end - 2] == '\r';
    const std::string_view first =
        cur.substr(hb.end, std::min<std::size_t>(cur.find_first_of("\r\n", hb.end) - hb.end, 60));
    f.warnings.push_back("header block not ended by a blank line; the body starts at \"" +
                         std::string(first) + "\"");
    work().insert(hb.end, crlf ? "\r\n" : "\n");
    hb = find_header_block(current());
  }
  const std::vector<std::string> dropped = [&] {
    if (current().substr(0, hb.end).find("ontent-") == std::string_view::npos)
      return std::vector<std::string>{};
    std::string probe(current());
    auto names = drop_repeated_fields(probe, hb.end);
    if (!names.empty()) {
      copy = std::move(probe);
      f.use_cleaned = true;
    }
    return names;
  }();
  for (const std::string& name : dropped)
    f.warnings.push_back("repeated " + name + " header ignored; the first one is used");
  if (f.use_cleaned) f.cleaned = std::move(copy);
}

}  // namespace

HeaderBlock find_header_block(std::string_view m) {
  if (m.starts_with("\n")) return {0, 1};
  if (m.starts_with("\r\n")) return {0, 2};
  std::size_t pos = 0;
  while (true) {
    const std::size_t lf = m.find('\n', pos);
    // The first line that is neither a field nor the continuation of one ends the block;
    // it is the first line of the body.
    if (pos > 0 && pos < m.size() && m[pos] != ' ' && m[pos] != '\t' &&
        !is_field_line(m.substr(pos, (lf == std::string_view::npos ? m.size() : lf) - pos)))
      return {pos, pos};
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
