#pragma once

#include <stdexcept>
#include <string>

namespace larkfield::sources {

// Every failure of the message sources is one of these: a number for programs and a
// sentence for people. The numbers are the ones the window shows in its error boxes.
class Error : public std::runtime_error {
 public:
  enum class Code : int {
    kOverflow = 6,             // a 32-bit counter would pass its maximum
    kUnexpected = 51,          // a failure that is not one of ours (shown with its text)
    kAccessDenied = 70,        // the file system refused to list a folder
    kFileSystem = 75,          // any other failure to test or list a folder
    kDuplicateKey = 457,       // a keyed list already holds that key
    kInvalidArgument = 5,      // a caller passed a value the function cannot take
    kSelectionTooLong = 20476  // the chosen file names do not fit the dialog's limit
  };

  Error(Code code, const std::string& description) : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  int number() const noexcept { return static_cast<int>(code_); }

 private:
  Code code_;
};

}  // namespace larkfield::sources
