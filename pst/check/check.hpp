#pragma once

// An independent structural check of a PST file: it reads the file on its own and
// checks the rules of the format (checksums, signatures, B-trees, reference counts,
// allocation maps, heaps, tables, the mandatory nodes, ...).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <tuple>
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
  // Fill Report::layout with the file's layout facts (see LayoutFact).
  bool describe_layout = false;
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

// One fact of a file's layout, for comparing our files with Outlook's: `role` names a
// node by what it is ("store", "node 0x60E", "folder", "message", "recipient table",
// ...), `fact` what is described ("heap order", "property 0x0E340102", "data trees",
// ...), `value` how it is. Roles that occur many times (folders, messages) give one fact
// per value seen.
struct LayoutFact {
  std::string role, fact, value;
  friend bool operator<(const LayoutFact& a, const LayoutFact& b) {
    return std::tie(a.role, a.fact, a.value) < std::tie(b.role, b.fact, b.value);
  }
  friend bool operator==(const LayoutFact&, const LayoutFact&) = default;
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
  std::vector<LayoutFact> layout;  // sorted, without duplicates

  bool ok() const;                                 // no finding of severity kError
  std::string text() const;                        // one line per finding
  std::size_t count(std::string_view rule) const;  // findings of that rule
};

// "NORMAL_FOLDER", "HIERARCHY_TABLE", ... for the type bits of a node id.
std::string node_type_name(std::uint32_t nid);

Report verify_file(const std::filesystem::path& path, const Options& options = {});

// Where a file of ours differs from Outlook's: a (role, fact) whose values in `ours` are
// not the values the Outlook-made files show for it, or that only one side has (roles
// that only one side has are listed once, as fact "present"). `outlook` holds the facts
// of one or more Outlook-made files; a value any of them shows counts as Outlook's.
struct LayoutDifference {
  std::string role, fact;
  std::string ours, outlook;  // values joined by " | ", "-" for none
};
std::vector<LayoutDifference> compare_layouts(const std::vector<LayoutFact>& ours,
                                              const std::vector<std::vector<LayoutFact>>& outlook);

}  // namespace larkfield::pst::check
