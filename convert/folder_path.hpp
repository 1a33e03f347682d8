#pragma once

// Names and paths of a conversion run: the text of a listed file, its folder relative to
// its root (the PST folder it goes into), the part shown while it converts, and the time
// stamp in the names of the new file and store.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace larkfield::convert {

// A path as text. Valid UTF-8 gives the characters it encodes; a byte that is not part
// of valid UTF-8 is read as ISO-8859-1, so a folder name in a legacy encoding still gets
// a readable name.
std::u16string TextOfPath(const std::filesystem::path& path);

// The leading part of a path up to and including its last backslash, or the empty text
// when it has none. An empty path is refused (Error kNoFolderPath).
std::u16string FolderOfPath(std::u16string_view path);

// The folder of a listed file below its root, components joined by backslashes, or
// nullopt when it has none.
//  - A Windows path (a drive letter and a colon first) follows the window's rules: trim,
//    take the text after the first colon (up to a second one), trim, drop the backslash
//    after the drive, drop the file name and the backslash before it.
//    C:\Mail\Inbox\0001.eml gives Mail\Inbox; C:\a.eml has none.
//  - A POSIX absolute path is taken relative to "/": /home/ann/Mail/Inbox/1.eml gives
//    home\ann\Mail\Inbox. A colon is an ordinary character there; a backslash inside a
//    name becomes U+FF3C (fullwidth reverse solidus), since a backslash separates the
//    folders of a store path. /a.eml has none.
//  - Any other text (a relative path, a network path) has none.
std::optional<std::u16string> RowFolderPath(std::u16string_view row);

// What the window shows of a row while it converts: for a Windows path the text after
// its first colon (up to a second one), for any other the whole text.
std::u16string ProgressText(std::u16string_view row);

// "d.m.YY H.m.ss": 6 December 2026, 07:05:03 gives 6.12.26 7.5.03.
std::u16string TimeStamp(const std::tm& local);
std::u16string TimeStampNow();

// "Larkfield" + time stamp, and "Larkfield : Created - " + time stamp.
std::u16string PstBaseName(std::u16string_view stamp);
std::u16string StoreDisplayName(std::u16string_view stamp);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text);

}  // namespace larkfield::convert
