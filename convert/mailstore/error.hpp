#pragma once

#include <stdexcept>
#include <string>

namespace larkfield::mailstore {

// Every failure of a mail-store operation: a number for programs and a sentence for
// people. Failures of the PST writer keep their meaning in the number, so a caller can
// tell a file it can no longer write (kIo, kTooLarge, kClosed) from one message that
// did not fit.
class Error : public std::runtime_error {
 public:
  enum class Code : int {
    kFileExists = 2,       // the store's file already exists; nothing was touched
    kIo = 3,               // the operating system refused a read or write of the store
    kNotFound = 4,         // no folder of that identifier in the store
    kDuplicateFolder = 5,  // a sibling folder of the same name (ignoring case) exists
    kInvalidArgument = 6,  // a name, tag or value the operation does not take
    kTooLarge = 7,         // the store would grow past its maximum size
    kClosed = 8,           // the store was closed, or an earlier write to it failed
    kUnreadable = 9,       // the message file could not be read at all
    kFailed = 11,          // any other failure of the store (described in the text)
  };

  Error(Code code, const std::string& description) : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  int number() const noexcept { return static_cast<int>(code_); }
  const char* description() const noexcept { return what(); }

  // The store's file can take no more: every later write would fail as well.
  bool fatal() const noexcept {
    return code_ == Code::kIo || code_ == Code::kTooLarge || code_ == Code::kClosed;
  }

 private:
  Code code_;
};

}  // namespace larkfield::mailstore
