#pragma once

// Text rules of the messaging layer: the stored form of a subject (its prefix header)
// and the letter-case folding folder names are compared with.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace larkfield::pst::messaging {

// The subject as a store keeps it: U+0001, then the prefix length + 1, then prefix and
// normalized subject. `prefix` is the caller's PR_SUBJECT_PREFIX when it has one; it is
// used when the subject starts with it. Otherwise a prefix of one to three letters
// before a colon ("RE: ", "Fwd: ", "AW:") is found as readers look for it. A subject
// that already starts with U+0001 is kept.
std::u16string stored_subject(std::u16string_view subject,
                              std::optional<std::u16string_view> prefix = std::nullopt);

// Length of the prefix of `subject` (colon and one following space included), 0 when
// there is none.
std::size_t subject_prefix_length(std::u16string_view subject);

// Simple case folding for the scripts folder names are written in: Latin (ASCII,
// Latin-1, Latin Extended-A), Greek, Cyrillic, Armenian and full-width Latin letters
// map their capitals to small letters.
char16_t fold_case(char16_t c);

}  // namespace larkfield::pst::messaging
