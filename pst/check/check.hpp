#pragma once

// An independent structural check of a PST file: it reads the file on its own and
// checks the rules of the format (checksums, signatures, B-trees, reference counts,
// allocation maps, heaps, tables, the mandatory nodes, ...).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
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
  // The file was written by Outlook: the few rules Outlook's own files are seen to break
  // (listed in pst/check/README.md) are warnings instead of errors. Off for our files.
  bool outlook_made = false;
  // Fill Report::node_list with every node of the node B-tree.
  bool list_nodes = false;
};

// One node of the node B-tree, as `pstverify --nodes` prints it.
struct NodeInfo {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::uint64_t data_bytes = 0;     // bytes of the node's data (all blocks of its data tree)
  std::uint64_t subnodes = 0;       // entries of its subnode tree
  std::string kind;                 // "pc", "tc", "heap", "raw", "empty" or "unreadable"
  std::vector<std::uint32_t> tags;  // property tags of a PC, column tags of a TC
  std::uint64_t rows = 0;           // rows of a TC
};

struct Report {
  std::vector<Finding> findings;
  bool readable = true;  // false: not a Unicode PST this check can read at all
  std::uint64_t nodes = 0;
  std::uint64_t blocks = 0;
  std::uint64_t messages = 0;
  std::uint64_t folders = 0;
  std::uint64_t bytes_read = 0;
  std::vector<NodeInfo> node_list;

  bool ok() const;                                 // no finding of severity kError
  std::string text() const;                        // one line per finding
  std::size_t count(std::string_view rule) const;  // findings of that rule
};

// "NORMAL_FOLDER", "HIERARCHY_TABLE", ... for the type bits of a node id.
std::string node_type_name(std::uint32_t nid);

Report verify_file(const std::filesystem::path& path, const Options& options = {});

}  // namespace larkfield::pst::check
