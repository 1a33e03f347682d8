#pragma once

#include <stdexcept>
#include <string>

namespace larkfield::convert {

// A failure of the conversion's own logic: a number for programs and a sentence for
// people.
class Error : public std::runtime_error {
 public:
  enum class Code : int {
    kOverflow = 6,             // index arithmetic would leave the signed 32-bit range
    kSubscriptOutOfRange = 9,  // an index outside the list's bounds
    kNoFolderPath = 101,       // a row has no folder of its own below a root
  };

  Error(Code code, const std::string& description) : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  int number() const noexcept { return static_cast<int>(code_); }

 private:
  Code code_;
};

}  // namespace larkfield::convert
