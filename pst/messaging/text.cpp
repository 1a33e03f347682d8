#include "pst/messaging/text.hpp"

#include "pst/messaging/store.hpp"

namespace larkfield::pst {

namespace messaging {

std::size_t subject_prefix_length(std::u16string_view subject) {
  // One to three characters that are neither spaces nor digits, then a colon.
  const std::size_t colon = subject.find(u':');
  if (colon == std::u16string_view::npos || colon == 0 || colon > 3) return 0;
  for (std::size_t i = 0; i < colon; ++i) {
    const char16_t c = subject[i];
    if (c == u' ' || c == u'\t' || (c >= u'0' && c <= u'9') || c < 0x20) return 0;
  }
  std::size_t len = colon + 1;
  if (len < subject.size() && subject[len] == u' ') ++len;
  return len;
}

std::u16string stored_subject(std::u16string_view subject,
                              std::optional<std::u16string_view> prefix) {
  if (!subject.empty() && subject[0] == 0x0001) return std::u16string(subject);
  std::size_t len = 0;
  if (prefix && !prefix->empty() && subject.substr(0, prefix->size()) == *prefix) {
    len = prefix->size();
  } else {
    len = subject_prefix_length(subject);
  }
  // The header holds the length in one character; a prefix that long is none.
  if (len + 1 > 0xFFFF) len = 0;
  std::u16string out;
  out.reserve(subject.size() + 2);
  out.push_back(char16_t{0x0001});
  out.push_back(static_cast<char16_t>(len + 1));
  out.append(subject);
  return out;
}

char16_t fold_case(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs capital/small, with the few exceptions of the block.
    if (c == 0x130) return u'i';
    if (c == 0x178) return 0xFF;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
      return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
    }
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x386 && c <= 0x38F) {
    switch (c) {
      case 0x386:
        return 0x3AC;
      case 0x388:
        return 0x3AD;
      case 0x389:
        return 0x3AE;
      case 0x38A:
        return 0x3AF;
      case 0x38C:
        return 0x3CC;
      case 0x38E:
        return 0x3CD;
      case 0x38F:
        return 0x3CE;
      default:
        return c;
    }
  }
  if (c == 0x3C2) return 0x3C3;  // final sigma compares as sigma
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
    return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  if (c >= 0x531 && c <= 0x556) return static_cast<char16_t>(c + 0x30);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

}  // namespace messaging

bool names_equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (messaging::fold_case(a[i]) != messaging::fold_case(b[i])) return false;
  }
  return true;
}

}  // namespace larkfield::pst
