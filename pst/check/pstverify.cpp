// pstverify FILE: checks the structure of a PST file.
//
//   pstverify [--crash-state] [--outlook] [--nodes] [--quiet] FILE
//
//   --crash-state  the writer may have been killed: leaked space is a warning
//   --outlook      the file was written by Outlook: rules its own files break are warnings
//   --nodes        print every node of the node B-tree (id, type, parent, sizes, tags)
//
// Exit status: 0 no error found, 1 errors found, 2 the file is not a PST it can read.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "pst/check/check.hpp"

namespace {

void print_nodes(const larkfield::pst::check::Report& report) {
  for (const auto& n : report.node_list) {
    std::printf("node 0x%08X %-22s parent=0x%08X data=%llu sub=%llu kind=%s", n.nid,
                larkfield::pst::check::node_type_name(n.nid).c_str(), n.parent,
                static_cast<unsigned long long>(n.data_bytes),
                static_cast<unsigned long long>(n.subnodes), n.kind.c_str());
    if (n.kind == "tc") std::printf(" rows=%llu", static_cast<unsigned long long>(n.rows));
    if (!n.tags.empty()) {
      std::printf(" %s=", n.kind == "tc" ? "columns" : "tags");
      for (std::size_t i = 0; i < n.tags.size(); ++i) {
        std::printf("%s%08X", i ? "," : "", n.tags[i]);
      }
    }
    std::printf("\n");
  }
}

int usage() {
  std::fprintf(stderr, "usage: pstverify [--crash-state] [--outlook] [--nodes] [--quiet] FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  larkfield::pst::check::Options options;
  bool quiet = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--crash-state") {
      options.crash_state = true;
    } else if (a == "--outlook") {
      options.outlook_made = true;
    } else if (a == "--nodes") {
      options.list_nodes = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      return usage();
    } else if (path) {
      return usage();
    } else {
      path = argv[i];
    }
  }
  if (!path) return usage();
  auto report = larkfield::pst::check::verify_file(path, options);
  if (options.list_nodes) print_nodes(report);
  std::size_t errors = 0, warnings = 0;
  for (const auto& f : report.findings) {
    (f.severity == larkfield::pst::check::Finding::Severity::kError ? errors : warnings)++;
  }
  if (!quiet || errors) std::fputs(report.text().c_str(), stdout);
  std::printf(
      "%s: %llu nodes, %llu blocks, %llu folders, %llu messages; %zu error(s), %zu warning(s)\n",
      path, static_cast<unsigned long long>(report.nodes),
      static_cast<unsigned long long>(report.blocks),
      static_cast<unsigned long long>(report.folders),
      static_cast<unsigned long long>(report.messages), errors, warnings);
  if (!report.readable) return 2;
  return report.ok() ? 0 : 1;
}
