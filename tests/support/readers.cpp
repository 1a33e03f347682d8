#include "tests/support/readers.hpp"

#include <sstream>

#include "tests/support/process.hpp"

namespace larkfield::test {
namespace {

namespace fs = std::filesystem;

// "  name: 12" counter lines and "RESULT file: N problem(s)".
void parse_pstsdk(PstsdkResult& r) {
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("PROBLEM ")) {
      r.problem_lines.push_back(line);
    } else if (line.starts_with("RESULT ")) {
      const auto colon = line.rfind(": ");
      if (colon != std::string::npos && line.ends_with(" problem(s)"))
        r.problems = std::stoll(line.substr(colon + 2));
    } else if (line.starts_with("  ")) {
      const auto colon = line.rfind(": ");
      if (colon == std::string::npos) continue;
      const std::string value = line.substr(colon + 2);
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) continue;
      r.counters[line.substr(2, colon - 2)] = std::stoll(value);
    }
  }
}

void parse_extractor(ExtractorResult& r) {
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("folder \"")) {
      // folder "<path>" <messages> <attachments> <bytes>
      const auto end = line.find("\" ", 8);
      if (end == std::string::npos) continue;
      std::istringstream rest(line.substr(end + 2));
      std::int64_t n = 0;
      rest >> n;
      r.folder_messages[line.substr(8, end - 8)] = n;
    } else {
      std::istringstream words(line);
      std::string key;
      std::int64_t n = 0;
      if (words >> key >> n) r.totals[key] = n;
    }
  }
}

}  // namespace

fs::path pstsdk_dump_tool() {
  const fs::path p = LARKFIELD_PSTSDK_DUMP;
  return !p.empty() && fs::exists(p) ? p : fs::path();
}

fs::path pst_extractor_script() {
  const fs::path dir = LARKFIELD_PST_EXTRACTOR_DIR;
  if (std::string(LARKFIELD_NODE).empty()) return {};
  if (!fs::exists(dir / "node_modules" / "pst-extractor")) return {};
  return dir / "list.js";
}

std::string readers_missing() {
  std::string missing;
  if (pstsdk_dump_tool().empty())
    missing += "pstsdk-dump not found beside the checkout (../shared/tools/pstsdk-dump); ";
  if (pst_extractor_script().empty())
    missing +=
        "pst-extractor not installed (node and npm ci in tests/tools/pst-extractor, "
        "see scripts/install-deps.sh); ";
  return missing;
}

PstsdkResult run_pstsdk_dump(const fs::path& pst, int seconds) {
  const fs::path tool = pstsdk_dump_tool();
  if (tool.empty()) throw SupportError(SupportError::Code::kMissing, "pstsdk-dump not found");
  ProcessResult p =
      run_process({"/usr/bin/timeout", std::to_string(seconds), tool.string(), pst.string()});
  PstsdkResult r;
  r.exit_code = p.exit_code;
  r.output = p.out + p.err;
  parse_pstsdk(r);
  return r;
}

ExtractorResult run_pst_extractor(const fs::path& pst, int seconds) {
  const fs::path script = pst_extractor_script();
  if (script.empty()) throw SupportError(SupportError::Code::kMissing, "pst-extractor missing");
  ProcessResult p = run_process({"/usr/bin/timeout", std::to_string(seconds), LARKFIELD_NODE,
                                 "--max-old-space-size=4096", script.string(), pst.string()});
  ExtractorResult r;
  r.exit_code = p.exit_code;
  r.output = p.out + p.err;
  parse_extractor(r);
  return r;
}

}  // namespace larkfield::test
