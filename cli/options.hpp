#pragma once

// The command line of larkfield-convert, and the texts it prints.

#include <cstddef>
#include <filesystem>
#include <istream>
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
  convert::LogFormat log_format = convert::LogFormat::kText;
  // The sources in the order given: paths, and lists of paths (--files-from FILE, and a
  // SOURCE of "-"), whose path "-" is standard input.
  struct Source {
    std::string path;
    bool list = false;
    bool operator==(const Source&) const = default;
  };
  std::vector<Source> sources;
  bool null_separated = false;  // the lists are NUL-separated, not one path a line
};

struct Parsed {
  Options options;
  std::string error;  // empty when the arguments are usable
};

// Arguments after the program name, in the usual conventions: options and sources in any
// order; short options combined ("-qo DIR") and with their value attached ("-oDIR"); long
// options with their value after "=" or as the next argument; "--" ends the options and
// "-" alone is a source. Every value is checked here. An error still leaves what was
// parsed before it in `options` (so that --json can answer it).
Parsed ParseArguments(std::span<const std::string> args);

std::string UsageText();
std::string VersionText();

// The sources with each list replaced by the paths it holds: one a line, or NUL-separated;
// empty entries are skipped. `input` is standard input. Returns false with `error` set
// when a list cannot be read.
bool ExpandSourceLists(const Options& options, std::istream& input,
                       std::vector<std::string>& sources, std::string& error);

// The sources as message files: a folder is scanned breadth-first and gives its ".eml" and
// ".emlx" files; a file is taken as it is. Each file is taken once: a source given again,
// or whose files an earlier source already gave, is noted in `repeated`. A source that
// cannot be read is left out and noted in `unread` with the system's reason; folders the
// scan could not list are in `unlisted`.
struct Gathered {
  std::vector<std::filesystem::path> files;
  std::vector<convert::RowFailure> unread;
  std::vector<convert::RowFailure> repeated;
  std::vector<convert::RowFailure> unlisted;
};
Gathered GatherSources(std::span<const std::string> sources);

// How the program ends, for the summary and the exit status.
struct Ending {
  std::string_view outcome;  // "completed", "stopped", "not-started", "interrupted", "usage-error"
  int exit_status = 0;
  int signal = 0;     // the signal that stopped the run, 0 for none
  std::string error;  // empty for none
};

// The outcome of a run that was not interrupted, and its exit status: 0 all converted,
// 1 the PST was written but some messages, sources or folders were left out, 2 nothing
// could be written or the run stopped.
Ending EndingOf(const convert::RunResult& result);
// A run that a signal stopped: 128 + the signal's number.
Ending InterruptedBy(int signal, const convert::RunResult& result);

// The summary as one JSON object on one line (schema 1, see the README).
std::string SummaryJson(const convert::RunResult& result, const Ending& ending);
// The summary for people: "28 converted, 0 failed, 0 warnings, 1.2 MB read in 0.4 s".
std::string SummaryText(const convert::RunResult& result);

// One line of the progress bar (no line end): done/total, a bar, rate and time left.
std::string ProgressLine(std::size_t done, std::size_t total, double seconds, int width = 30);

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string SignalName(int signal);

}  // namespace larkfield::cli
