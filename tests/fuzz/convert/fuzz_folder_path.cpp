// The folder rules of a conversion run over arbitrary row texts: the folder of a row, the
// text shown while it converts, the folder list prepared from many rows, and the two
// string list routines under it (sorting a range, removing repeats).
//
// Input: the first byte picks how the rest becomes text (UTF-16 code units, or bytes read
// as a path); lines separated by '\n' are rows; two more bytes give a sort range.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/error.hpp"
#include "convert/folder_path.hpp"
#include "convert/mod_main.hpp"
#include "convert/run.hpp"

namespace {

using namespace larkfield::convert;

std::u16string Text(std::string_view bytes, bool utf16) {
  if (!utf16) return TextOfPath(std::filesystem::path(std::string(bytes)));
  std::u16string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return out;
}

bool Contains(std::u16string_view hay, std::u16string_view needle) {
  return hay.find(needle) != std::u16string_view::npos;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

void CheckRow(std::u16string_view row) {
  if (!ValidUtf8(Utf8(row))) std::abort();
  if (!Contains(row, ProgressText(row))) std::abort();
  if (row.empty()) {
    try {
      FolderOfPath(row);
      std::abort();  // an empty path has no folder
    } catch (const Error& e) {
      if (e.code() != Error::Code::kNoFolderPath) std::abort();
    }
  } else {
    const std::u16string f = FolderOfPath(row);
    if (!f.empty() && (f.back() != u'\\' || !row.starts_with(f))) std::abort();
  }
  const auto folder = RowFolderPath(row);
  if (!folder) return;
  if (folder->empty()) std::abort();
  std::size_t lead = 0;
  while (lead < row.size() && row[lead] == u' ') ++lead;
  if (lead < row.size() && row[lead] == u'/') {
    // A POSIX path: every component is a real name, no separator of either kind.
    if (Contains(*folder, u"/") || folder->front() == u'\\' || folder->back() == u'\\' ||
        Contains(*folder, u"\\\\"))
      std::abort();
    std::size_t start = 0;
    while (start <= folder->size()) {
      std::size_t end = folder->find(u'\\', start);
      if (end == std::u16string::npos) end = folder->size();
      const std::u16string_view part = std::u16string_view(*folder).substr(start, end - start);
      if (part == u"." || part == u"..") std::abort();
      start = end + 1;
    }
  } else if (!Contains(row, *folder)) {
    std::abort();  // a Windows path's folder is a piece of it
  }
}

// Every non-empty text of the rows and each of its leading parts up to a backslash.
std::set<std::u16string> Expected(const std::vector<std::u16string>& folders) {
  std::set<std::u16string> out;
  for (const auto& f : folders) {
    if (f.empty()) continue;
    out.insert(f);
    for (std::size_t at = f.find(u'\\'); at != std::u16string::npos; at = f.find(u'\\', at + 1))
      if (at) out.insert(f.substr(0, at));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool utf16 = data[0] & 1;
  const std::int32_t low = static_cast<std::int8_t>(data[1]);
  const std::int32_t high = static_cast<std::int8_t>(data[2]);
  std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);

  std::vector<std::u16string> rows;
  while (rows.size() < 64) {
    const std::size_t nl = rest.find('\n');
    rows.push_back(Text(rest.substr(0, nl), utf16));
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  for (const auto& r : rows) CheckRow(r);

  // Sorting a range: inside the list the range ends sorted and holds the same entries,
  // the rest is untouched; a range reaching outside is refused.
  {
    StringList list = rows;
    const auto n = static_cast<std::int32_t>(list.size());
    try {
      QuickSortStrings(list, low, high);
      if (low < 0 || high >= n || low > high) {
        // Only a range whose reads all fall inside may pass.
        if (low < 0 || low >= n || high < 0 || high >= n) std::abort();
      } else {
        if (!std::is_sorted(list.begin() + low, list.begin() + high + 1)) std::abort();
        StringList a(rows.begin() + low, rows.begin() + high + 1);
        StringList b(list.begin() + low, list.begin() + high + 1);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) std::abort();
        for (std::int32_t i = 0; i < n; ++i)
          if ((i < low || i > high) && list[i] != rows[i]) std::abort();
      }
    } catch (const Error& e) {
      if (e.code() != Error::Code::kSubscriptOutOfRange) std::abort();
      if (low >= 0 && high < n && low <= high) std::abort();  // a valid range never fails
    }
  }

  // Removing repeats from a sorted list keeps each distinct non-empty entry once.
  {
    StringList list = rows;
    std::sort(list.begin(), list.end());
    StringList want;
    for (const auto& s : list)
      if (!s.empty() && (want.empty() || want.back() != s)) want.push_back(s);
    try {
      RemoveDuplicateStrings(list);
      if (list != want) std::abort();
    } catch (const Error& e) {
      if (!want.empty() || e.code() != Error::Code::kSubscriptOutOfRange) std::abort();
      for (const auto& s : list)
        if (!s.empty()) std::abort();
    }
  }

  // The folder list of a run: every folder of a row and each of its ancestors, nothing
  // else, nothing twice.
  {
    std::vector<std::u16string> folders;
    for (const auto& r : rows) folders.push_back(RowFolderPath(r).value_or(r));
    RunObserver observer;
    const std::set<std::u16string> want = Expected(folders);
    try {
      const StringList got = PrepareFolderList(folders, observer);
      if (std::set<std::u16string>(got.begin(), got.end()) != want) std::abort();
      if (std::set<std::u16string>(got.begin(), got.end()).size() != got.size()) std::abort();
    } catch (const Error& e) {
      if (!want.empty()) std::abort();
    }
  }
  return 0;
}
