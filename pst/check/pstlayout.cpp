// pstlayout OURS.pst OUTLOOK.pst...: compares the layout of a file of ours with that of
// one or more Outlook-made files, node by node and property by property, and prints
// every difference as a Markdown table row: role | fact | ours | Outlook's.
//   exit 0: compared (differences or not), 2: a file could not be read

#include <cstdio>
#include <string>
#include <vector>

#include "pst/check/check.hpp"

namespace {

larkfield::pst::check::Report describe(const char* path) {
  larkfield::pst::check::Options o;
  o.describe_layout = true;
  o.outlook_made = true;
  o.crash_state = true;
  return larkfield::pst::check::verify_file(path, o);
}

std::string cell(std::string s) {
  std::string out;
  for (char c : s) out += c == '|' ? std::string("\\|") : std::string(1, c);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pstlayout OURS.pst OUTLOOK.pst...\n");
    return 2;
  }
  const auto ours = describe(argv[1]);
  if (!ours.readable) {
    std::fprintf(stderr, "pstlayout: cannot read %s\n", argv[1]);
    return 2;
  }
  std::vector<std::vector<larkfield::pst::check::LayoutFact>> outlook;
  for (int i = 2; i < argc; ++i) {
    const auto r = describe(argv[i]);
    if (!r.readable) {
      std::fprintf(stderr, "pstlayout: cannot read %s\n", argv[i]);
      return 2;
    }
    outlook.push_back(r.layout);
  }
  std::printf("| role | fact | ours | Outlook's |\n|---|---|---|---|\n");
  for (const auto& d : larkfield::pst::check::compare_layouts(ours.layout, outlook))
    std::printf("| %s | %s | %s | %s |\n", cell(d.role).c_str(), cell(d.fact).c_str(),
                cell(d.ours).c_str(), cell(d.outlook).c_str());
  return 0;
}
