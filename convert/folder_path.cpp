#include "convert/folder_path.hpp"

#include <chrono>
#include <vector>

#include "convert/error.hpp"
#include "convert/text_escape.hpp"

namespace larkfield::convert {
namespace {

bool IsWindowsPath(std::u16string_view t) {
  while (!t.empty() && t.front() == u' ') t.remove_prefix(1);
  return t.size() >= 2 && t[1] == u':' &&
         ((t[0] >= u'A' && t[0] <= u'Z') || (t[0] >= u'a' && t[0] <= u'z'));
}

std::u16string_view Trim(std::u16string_view t) {
  while (!t.empty() && t.front() == u' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == u' ') t.remove_suffix(1);
  return t;
}

// The text between the first colon and a second one (or the end); nullopt without one.
std::optional<std::u16string_view> AfterDriveColon(std::u16string_view t) {
  const std::size_t first = t.find(u':');
  if (first == std::u16string_view::npos) return std::nullopt;
  std::u16string_view rest = t.substr(first + 1);
  const std::size_t second = rest.find(u':');
  return second == std::u16string_view::npos ? rest : rest.substr(0, second);
}

std::optional<std::u16string> WindowsFolderPath(std::u16string_view row) {
  auto piece = AfterDriveColon(Trim(row));
  if (!piece) return std::nullopt;
  std::u16string_view p = Trim(*piece);
  if (!p.empty()) p.remove_prefix(1);
  if (p.empty()) return std::nullopt;
  std::u16string folder = FolderOfPath(p);
  if (folder.empty()) return std::nullopt;
  folder.pop_back();
  if (folder.empty()) return std::nullopt;
  return folder;
}

std::optional<std::u16string> PosixFolderPath(std::u16string_view row) {
  std::vector<std::u16string> parts;
  std::size_t start = 1;
  while (start <= row.size()) {
    std::size_t end = row.find(u'/', start);
    if (end == std::u16string_view::npos) end = row.size();
    std::u16string part(row.substr(start, end - start));
    if (!part.empty() && part != u".") {
      if (part == u"..") {
        if (!parts.empty()) parts.pop_back();
      } else {
        for (char16_t& c : part) {
          if (c == u'\\') c = u'\uFF3C';
        }
        parts.push_back(std::move(part));
      }
    }
    start = end + 1;
  }
  if (parts.size() < 2) return std::nullopt;  // no folder between the root and the file
  std::u16string folder;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (i) folder += u'\\';
    folder += parts[i];
  }
  return folder;
}

void AppendNumber(std::u16string& out, int value, int min_digits) {
  std::string digits = std::to_string(value);
  while (static_cast<int>(digits.size()) < min_digits) digits.insert(digits.begin(), '0');
  out.append(digits.begin(), digits.end());
}

}  // namespace

std::u16string TextOfPath(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring& w = path.native();
  return std::u16string(w.begin(), w.end());
#else
  std::string_view s = path.native();
  std::u16string out;
  out.reserve(s.size());
  while (!s.empty()) {
    char32_t c = 0;
    std::size_t len = DecodeUtf8(s, c);
    if (len == 0) {
      c = static_cast<unsigned char>(s.front());  // read as ISO-8859-1
      len = 1;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    s.remove_prefix(len);
  }
  return out;
#endif
}

std::u16string FolderOfPath(std::u16string_view path) {
  if (path.empty()) throw Error(Error::Code::kNoFolderPath, "An empty path has no folder");
  const std::size_t at = path.rfind(u'\\');
  if (at == std::u16string_view::npos) return {};
  return std::u16string(path.substr(0, at + 1));
}

std::optional<std::u16string> RowFolderPath(std::u16string_view row) {
  if (IsWindowsPath(row)) return WindowsFolderPath(row);
  if (!row.empty() && row.front() == u'/') return PosixFolderPath(row);
  return std::nullopt;
}

std::u16string ProgressText(std::u16string_view row) {
  if (IsWindowsPath(row)) {
    if (auto piece = AfterDriveColon(Trim(row))) return std::u16string(*piece);
  }
  return std::u16string(row);
}

std::u16string TimeStamp(const std::tm& t) {
  std::u16string out;
  AppendNumber(out, t.tm_mday, 1);
  out += u'.';
  AppendNumber(out, t.tm_mon + 1, 1);
  out += u'.';
  AppendNumber(out, (t.tm_year + 1900) % 100, 2);
  out += u' ';
  AppendNumber(out, t.tm_hour, 1);
  out += u'.';
  AppendNumber(out, t.tm_min, 1);
  out += u'.';
  AppendNumber(out, t.tm_sec, 2);
  return out;
}

std::u16string TimeStampNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return TimeStamp(local);
}

std::u16string PstBaseName(std::u16string_view stamp) {
  return u"Larkfield" + std::u16string(stamp);
}

std::u16string StoreDisplayName(std::u16string_view stamp) {
  return u"Larkfield : Created - " + std::u16string(stamp);
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
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
  return out;
}

}  // namespace larkfield::convert
