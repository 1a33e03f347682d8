#pragma once

// The command line of larkfield-convert, and the texts it prints.

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/run.hpp"

namespace larkfield::cli {

struct Options {
  std::filesystem::path output_dir = ".";
  bool quiet = false;
  bool json = false;
  bool help = false;
  bool version = false;
  std::string legacy_charset;  // empty: the importer's default
  std::size_t commit_every = 0;
  std::vector<std::string> sources;
};

struct Parsed {
  Options options;
  std::string error;  // empty when the arguments are usable
};

// Arguments after the program name. Options take their value as the next argument or
// after "="; "--" ends the options.
Parsed ParseArguments(std::span<const std::string> args);

std::string UsageText();
std::string VersionText();

// The sources as message files: a folder is scanned breadth-first and gives its ".eml" and
// ".emlx" files; a file is taken as it is. A source that does not exist is an error
// (with the system's reason); folders the scan could not list are warnings, and each
// is also in `unlisted` (its path and the reason) for the run's log.
struct Gathered {
  std::vector<std::filesystem::path> files;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  std::vector<convert::RowFailure> unlisted;
};
Gathered GatherSources(std::span<const std::string> sources);

// The summary as one JSON object on one line.
std::string SummaryJson(const convert::RunResult& result);
// The summary for people: "28 converted, 0 failed, 0 warnings, 1.2 MB read in 0.4 s".
std::string SummaryText(const convert::RunResult& result);

// One line of the progress bar (no line end): done/total, a bar, rate and time left.
std::string ProgressLine(std::size_t done, std::size_t total, double seconds, int width = 30);

// Exit status: 0 all converted, 1 the PST was written but some messages failed or a
// folder could not be read, 2 nothing could be written or the run stopped.
int ExitStatus(const convert::RunResult& result);

}  // namespace larkfield::cli
