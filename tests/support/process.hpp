#pragma once

// Running the independent reader programs from tests: a child process with its output
// captured, and a temporary folder that removes itself.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace larkfield::test {

// A failure of the test helpers themselves (a program missing, a dump that does not
// parse), as opposed to what a reader reports about a file.
class SupportError : public std::runtime_error {
 public:
  enum class Code : int {
    kSpawn = 1,    // the program could not be started
    kIo = 2,       // a pipe, file or folder could not be used
    kParse = 3,    // the output of a reader is not in the expected form
    kMissing = 4,  // a tool is not installed (the test should skip)
  };
  SupportError(Code code, const std::string& what) : std::runtime_error(what), code_(code) {}
  Code code() const noexcept { return code_; }
  int number() const noexcept { return static_cast<int>(code_); }

 private:
  Code code_;
};

struct ProcessResult {
  int exit_code = -1;  // the exit status, or 128 + signal number when killed
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
};

// Runs argv[0] (a path, not looked up in PATH) with the given arguments in `cwd` (the
// current folder when empty) and waits for it. Throws SupportError when it cannot start.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::filesystem::path& cwd = {});

// A fresh folder under the system temporary folder, removed with its content on
// destruction.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "larkfield-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace larkfield::test
