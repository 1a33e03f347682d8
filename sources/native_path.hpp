#pragma once

// Paths as the operating system spells them: bytes on POSIX systems, UTF-16 on Windows.
// The scanner builds its paths by plain concatenation of these strings, so nothing is
// decoded, normalised or lost on the way.

#include <filesystem>
#include <string>
#include <string_view>

namespace larkfield::sources {

using NativeString = std::filesystem::path::string_type;
using NativeChar = NativeString::value_type;
using NativeView = std::basic_string_view<NativeChar>;

// The folder separator that the scanner appends ("\" on Windows, "/" elsewhere).
inline constexpr NativeChar kSeparator = std::filesystem::path::preferred_separator;

// The text unchanged when it already ends in the separator (a drive or file-system root),
// otherwise the text followed by one separator. An empty text gives the separator alone.
inline NativeString AddTrailingSeparator(NativeString path) {
  if (path.empty() || path.back() != kSeparator) path.push_back(kSeparator);
  return path;
}

// A message file is a path whose name ends in ".eml" or ".emlx" in any letter case, once
// leading and trailing spaces are set aside. Nothing else about the path is looked at.
inline bool IsMessageFile(NativeView path) {
  while (!path.empty() && path.front() == NativeChar(' ')) path.remove_prefix(1);
  while (!path.empty() && path.back() == NativeChar(' ')) path.remove_suffix(1);
  auto ends_with = [path](std::string_view suffix) {
    if (path.size() < suffix.size()) return false;
    NativeView tail = path.substr(path.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
      NativeChar c = tail[i];
      if (c >= NativeChar('A') && c <= NativeChar('Z')) c = NativeChar(c - 'A' + 'a');
      if (c != NativeChar(suffix[i])) return false;
    }
    return true;
  };
  return ends_with(".eml") || ends_with(".emlx");
}

}  // namespace larkfield::sources
