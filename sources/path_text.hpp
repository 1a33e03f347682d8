#pragma once

// Paths between the operating system's spelling and the window's text, without loss.
//
// On Windows both sides are UTF-16 and the conversion is a copy. On POSIX systems a path is
// any string of bytes. Valid UTF-8 becomes the characters it encodes; every byte that is not
// part of a valid UTF-8 sequence becomes the lone surrogate U+DC80 + (byte - 0x80), which no
// valid UTF-8 can produce. Turning the text back gives exactly the original bytes, so a file
// with a name that is not UTF-8 is still found again when the list is read. Such a name is
// shown with a replacement mark where the odd bytes stand.

#include <QString>
#include <QStringView>
#include <filesystem>

#include "sources/native_path.hpp"

namespace larkfield::sources {

QString TextFromNative(NativeView path);
NativeString NativeFromText(QStringView text);

inline std::filesystem::path PathFromText(QStringView text) {
  return std::filesystem::path(NativeFromText(text));
}

}  // namespace larkfield::sources
