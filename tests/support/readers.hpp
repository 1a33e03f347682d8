#pragma once

// Two more independent readers: Microsoft's PST SDK (pstsdk, through the whole-file walker
// ../shared/tools/pstsdk-dump beside the checkout) and pst-extractor (npm, installed by
// scripts/install-deps.sh into tests/tools/pst-extractor). Both were written against
// Outlook's own files; a layout they do not expect makes them fail or never end, so each
// run has a time limit.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace larkfield::test {

struct PstsdkResult {
  int exit_code = -1;  // 0 clean, 1 problems, 2 cannot open, 124 out of time
  std::string output;
  std::int64_t problems = -1;  // from the RESULT line; -1 when it is missing
  std::vector<std::string> problem_lines;
  std::map<std::string, std::int64_t> counters;  // "messages walked", "attachments read", ...
};

struct ExtractorResult {
  int exit_code = -1;  // 124: out of time (the reader loops)
  std::string output;
  std::map<std::string, std::int64_t> folder_messages;  // by path, "" for the root
  std::map<std::string, std::int64_t> totals;  // messages, recipients, attachments, embedded
};

// Where the tools are; empty when absent (tests skip and say so).
std::filesystem::path pstsdk_dump_tool();
std::filesystem::path pst_extractor_script();
std::string readers_missing();  // what is missing, for a GTEST_SKIP message; empty if none

PstsdkResult run_pstsdk_dump(const std::filesystem::path& pst, int seconds = 600);
ExtractorResult run_pst_extractor(const std::filesystem::path& pst, int seconds = 600);

}  // namespace larkfield::test
