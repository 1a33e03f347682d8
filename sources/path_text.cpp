#include "sources/path_text.hpp"

#include <cstdint>

#include "convert/text_escape.hpp"

namespace larkfield::sources {

#ifdef _WIN32

QString TextFromNative(NativeView path) {
  return QString::fromWCharArray(path.data(), static_cast<qsizetype>(path.size()));
}

NativeString NativeFromText(QStringView text) {
  NativeString out(static_cast<std::size_t>(text.size()), L'\0');
  for (qsizetype i = 0; i < text.size(); ++i) out[i] = static_cast<wchar_t>(text[i].unicode());
  return out;
}

#else

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // a stray byte b becomes U+DC00 + b (b >= 0x80)

void AppendUtf8(NativeString& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

QString TextFromNative(NativeView path) {
  QString out;
  out.reserve(static_cast<qsizetype>(path.size()));
  while (!path.empty()) {
    char32_t cp = 0;
    std::size_t len = convert::DecodeUtf8(path, cp);
    if (len == 0) {
      out.append(QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(path[0]))));
      len = 1;
    } else if (cp >= 0x10000) {
      out.append(QChar(QChar::highSurrogate(cp)));
      out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
      out.append(QChar(static_cast<char16_t>(cp)));
    }
    path.remove_prefix(len);
  }
  return out;
}

NativeString NativeFromText(QStringView text) {
  NativeString out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t u = text[i].unicode();
    if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
        QChar::isLowSurrogate(text[i + 1].unicode())) {
      AppendUtf8(out, QChar::surrogateToUcs4(u, text[i + 1].unicode()));
      ++i;
    } else if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(u - kEscapeBase));
    } else {
      // Other lone surrogates cannot come from a path; they are written in the three-byte
      // form, which at least keeps them apart from every valid character.
      AppendUtf8(out, u);
    }
  }
  return out;
}

#endif

}  // namespace larkfield::sources
