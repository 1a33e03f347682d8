#pragma once

#include <stdexcept>
#include <string>

namespace larkfield::pst {

// Every failure of the PST library is one of these: a number for programs and a
// sentence for people.
class Error : public std::runtime_error {
 public:
  enum class Code : int {
    kFileExists = 1,       // the target path already exists; nothing was touched
    kIo = 2,               // the operating system refused a read, write, sync or create
    kInvalidArgument = 3,  // a caller passed a value the format cannot hold
    kDuplicateFolder = 4,  // a sibling folder with the same name (ignoring case) exists
    kNotFound = 5,         // no such folder or object
    kTooLarge = 6,         // the file would grow past the configured maximum size
    kNestingTooDeep = 7,   // attached messages nested deeper than the format allows here
    kClosed = 8,           // the store was closed, or a previous write failed
    kCorrupt = 9,          // a structure read back does not follow the format
  };

  Error(Code code, const std::string& description) : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  int number() const noexcept { return static_cast<int>(code_); }

 private:
  Code code_;
};

}  // namespace larkfield::pst
