#pragma once

// An independent structural check of a PST file: it reads the file on its own and
// checks the rules of the format (checksums, signatures, B-trees, reference counts,
// allocation maps, heaps, tables, the mandatory nodes, ...).

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace larkfield::pst::check {

struct Finding {
  enum class Severity { kWarning, kError };
  Severity severity = Severity::kError;
  std::string rule;     // short stable name of the rule, e.g. "header.crc-full"
  std::string message;  // what was found, where (offsets, node ids)
};

struct Options {
  // A file whose writer was killed: space marked allocated but no longer used, and a
  // free-space total that disagrees with the maps, are warnings instead of errors.
  // Anything a reader could trip over is still an error.
  bool crash_state = false;
};

struct Report {
  std::vector<Finding> findings;
  std::uint64_t nodes = 0;
  std::uint64_t blocks = 0;
  std::uint64_t messages = 0;
  std::uint64_t folders = 0;

  bool ok() const;           // no finding of severity kError
  std::string text() const;  // one line per finding
};

Report verify_file(const std::filesystem::path& path, const Options& options = {});

}  // namespace larkfield::pst::check
