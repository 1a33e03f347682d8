// Names and reasons in reports: the escaped text for people, which must come out on one
// line, UTF-8 clean and reversible whatever a file name holds, and the JSON strings.

#include <gtest/gtest.h>

#include <cstdlib>

#include "convert/text_escape.hpp"
#include "mime/text.hpp"

namespace larkfield::convert {
namespace {

// Reverses EscapeText as its description says a reader does.
std::string Unescape(std::string_view s) {
  auto hex = [](std::string_view digits) {
    return static_cast<unsigned>(std::strtoul(std::string(digits).c_str(), nullptr, 16));
  };
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
    } else if (s[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (s[i + 1] == 'x' && i + 3 < s.size()) {
      out += static_cast<char>(hex(s.substr(i + 2, 2)));
      i += 3;
    } else if (s[i + 1] == 'u' && i + 2 < s.size() && s[i + 2] == '{') {
      const std::size_t close = s.find('}', i);
      const unsigned cp = hex(s.substr(i + 3, close - i - 3));
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        out += "(lone surrogate)";
      } else {
        out += mime::text::utf16_to_utf8(std::u16string(1, static_cast<char16_t>(cp)));
      }
      i = close;
    } else {
      out += s[i];
    }
  }
  return out;
}

TEST(TextEscape, HostileNamesComeOutOnOneCleanLineAndReadBackExactly) {
  const std::string names[] = {
      "plain.eml",
      "line\nbreak.eml",
      "cr\r\n.eml",
      "tab\t.eml",
      "\x1b]0;owned\a\x1b[31mred\x1b[0m.eml",
      "del\x7f.eml",
      "invoice\xe2\x80\xae"
      "fdp.exe",                         // U+202E
      "lri\xe2\x81\xa6x\xe2\x80\x8f",    // U+2066, U+200F
      "nel\xc2\x85ls\xe2\x80\xa8",       // U+0085, U+2028
      "latin1-\xe9t\xe9.eml",            // not UTF-8
      "\xed\xa0\x80 \xc0\xaf \xe2\x80",  // an encoded surrogate, an overlong form, a cut one
      "C:\\Mail\\Inbox\\a.eml",
      "back\\x41slash \\u{41} \\\\server \\",
      "\\\x1b",
      "ok \xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xa7",
  };
  for (const std::string& name : names) {
    const std::string e = EscapeText(name);
    EXPECT_EQ(Unescape(e), name) << e;
    EXPECT_TRUE(mime::text::is_valid_utf8(e)) << e;
    for (unsigned char c : e) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << e;
    for (const char* hidden :
         {"\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x80\x8f", "\xc2\x85", "\xe2\x80\xa8"}) {
      EXPECT_EQ(e.find(hidden), std::string::npos) << e;
    }
  }
  // Readable where nothing is hidden: Windows paths and other text stay as they are.
  EXPECT_EQ(EscapeText("C:\\Mail\\Inbox\\a.eml"), "C:\\Mail\\Inbox\\a.eml");
  EXPECT_EQ(EscapeText("ok \xc3\xa9"), "ok \xc3\xa9");
  EXPECT_EQ(EscapeText("a\nb\x1b[0m"), "a\\x0Ab\\x1B[0m");
  EXPECT_EQ(EscapeText("invoice\xe2\x80\xae"
                       "fdp.exe"),
            "invoice\\u{202E}fdp.exe");
  EXPECT_EQ(EscapeText("\xe9t\xe9"), "\\xE9t\\xE9");
  EXPECT_EQ(EscapeText(u"\xd800x"), "\\u{D800}x");
}

TEST(TextEscape, JsonKeepsTextAndCarriesStrayBytesAsSurrogates) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01\x1b"
                       "\xc3\xa9\xe2\x80\xae"),
            "\"a\\\"b\\\\c\\n\\u0001\\u001b\xc3\xa9\\u202e\"");
  // A byte that is not UTF-8 is U+DC00 + byte, as os.fsencode expects it.
  EXPECT_EQ(JsonString("latin1-\xe9"), "\"latin1-\\udce9\"");
  EXPECT_EQ(JsonString(u"\xdc00z"), "\"\\udc00z\"");
}

}  // namespace
}  // namespace larkfield::convert
