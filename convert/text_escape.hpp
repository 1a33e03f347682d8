#pragma once

// Names and reasons as a run reports them to people and to programs. A file name or a
// header can hold any bytes: line breaks, terminal escape codes, characters that turn the
// direction of the text, bytes that are not UTF-8. Reports never pass those on as they are.
//
// Text for people (EscapeText): UTF-8 on one line, and reversible. A byte that is not part
// of valid UTF-8 and every ASCII control character (line breaks, tab, ESC, BEL, DEL) is
// written \xHH, the byte in two hexadecimal digits; a C1 control character, a line or
// paragraph separator and a character that sets or overrides the text's direction (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) is written \u{HHHH}, its code point.
// A backslash that would otherwise be read as the start of such a sequence (one followed
// by "x", "u" or another backslash) is written twice; any other backslash stays single, so
// that Windows paths read as they are.
//
// Text for programs (JsonString): a JSON string. Valid UTF-8 is kept; JSON's own escapes
// cover quotes, control characters and the characters above, so that the JSON is safe on
// a terminal too; a byte that is not UTF-8 becomes the lone surrogate U+DC80 + (byte -
// 0x80), written \udcHH, the convention that Python's os.fsencode turns back into the
// original bytes.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace larkfield::convert {

// The length of the valid UTF-8 sequence at the start of `s` (not empty) and its code
// point in `cp`; 0 when the first byte does not start one (overlong forms, surrogates and
// values past U+10FFFF are not valid).
std::size_t DecodeUtf8(std::string_view s, char32_t& cp);

std::string EscapeText(std::string_view bytes);
std::string EscapeText(std::u16string_view text);  // a lone surrogate as \u{DXXX}
// The path as the system spells it: its bytes, or on Windows its UTF-16 text.
std::string EscapePath(const std::filesystem::path& path);

// A JSON string literal, quotes included.
std::string JsonString(std::string_view bytes);
std::string JsonString(std::u16string_view text);  // a lone surrogate as \udXXX
std::string JsonPath(const std::filesystem::path& path);

}  // namespace larkfield::convert
