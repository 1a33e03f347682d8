// larkfield-convert: the window's conversion without the window.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "cli/options.hpp"
#include "convert/run.hpp"
#include "convert/run_log.hpp"
#include "convert/text_escape.hpp"

namespace {

using namespace larkfield;

// The signal that asked the run to stop, 0 while none did.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int signal) { g_stop_signal = signal; }

// SIGINT, SIGTERM and SIGHUP stop the run at its next yield, keeping what it wrote. A
// signal that was ignored when the program started (nohup, a shell's background job)
// stays ignored.
void CatchStopSignals() {
#ifdef _WIN32
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#else
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(signal, &sa, nullptr);
  }
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

struct Interrupted {};

// The progress bar on standard error, redrawn at most ten times a second; only on a
// terminal, and without escape codes on one that says it understands none.
class Progress final : public convert::RunObserver {
 public:
  enum class Style { kNone, kPlain, kAnsi };
  explicit Progress(Style style) : style_(style) {}
  ~Progress() override { Clear(); }

  void Yield() override {
    if (g_stop_signal) throw Interrupted{};
  }
  void Counts(std::size_t done, std::size_t total, std::uint64_t) override {
    if (style_ == Style::kNone) return;
    const auto now = std::chrono::steady_clock::now();
    if (done != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - t0_).count();
    std::string line = cli::ProgressLine(done, total, seconds);
    if (style_ == Style::kAnsi) {
      std::fprintf(stderr, "\r%s\033[K", line.c_str());
    } else {
      const std::size_t length = line.size();
      if (line.size() < drawn_) line.append(drawn_ - line.size(), ' ');
      std::fprintf(stderr, "\r%s", line.c_str());
      drawn_ = length;
    }
    shown_ = true;
  }
  void Abandoned(const convert::RunResult& result) override { abandoned_ = result; }

  void Clear() {
    if (!shown_) return;
    if (style_ == Style::kAnsi) {
      std::fprintf(stderr, "\r\033[K");
    } else {
      std::fprintf(stderr, "\r%s\r", std::string(drawn_, ' ').c_str());
    }
    shown_ = false;
    drawn_ = 0;
  }
  const std::optional<convert::RunResult>& abandoned() const { return abandoned_; }

 private:
  Style style_;
  bool shown_ = false;
  std::size_t drawn_ = 0;  // characters of the plain line on screen
  std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
  std::optional<convert::RunResult> abandoned_;
};

Progress::Style ProgressStyle(bool quiet) {
  if (quiet || !StderrIsTerminal()) return Progress::Style::kNone;
#ifdef _WIN32
  return Progress::Style::kPlain;
#else
  const char* term = std::getenv("TERM");
  if (!term || !*term || std::strcmp(term, "dumb") == 0) return Progress::Style::kPlain;
  return Progress::Style::kAnsi;
#endif
}

void Say(const std::string& text) { std::cerr << "larkfield-convert: " << text << "\n"; }

// The PST's path on standard output as the system spells it, for scripts to use.
void PrintPath(const std::filesystem::path& p) {
#ifdef _WIN32
  std::cout << convert::Utf8(convert::TextOfPath(p)) << "\n";
#else
  std::cout << p.native() << "\n";
#endif
}

// What gathering the sources found, before anything is written.
void ReportSources(const cli::Gathered& g) {
  for (const convert::RowFailure& f : g.unread) {
    Say("cannot read " + convert::EntryName(f) + ": " + convert::EntryReason(f) + "; left out");
  }
  for (const convert::RowFailure& f : g.unlisted) {
    Say("could not list " + convert::EntryName(f) + " (" + convert::EntryReason(f) +
        "); left out with its subfolders");
  }
  for (const convert::RowFailure& f : g.repeated) {
    Say(convert::EntryName(f) + ": " + convert::EntryReason(f));
  }
}

// The first failures and where the full list is.
void ReportFailures(const convert::RunResult& r, bool always_name_log) {
  const std::size_t shown = std::min<std::size_t>(r.failures.size(), 5);
  for (std::size_t i = 0; i < shown; ++i) {
    std::cerr << "  " << convert::EntryName(r.failures[i]) << ": "
              << convert::EntryReason(r.failures[i]) << "\n";
  }
  if (!r.log_path.empty() && (always_name_log || r.failed || r.warnings)) {
    std::cerr << "  the full list: " << convert::EscapePath(r.log_path) << "\n";
  }
}

// What a stopped run's PST holds: its last commit, which a failed write leaves.
std::string HoldsText(const convert::RunResult& r) {
  return convert::EscapePath(r.pst_path) + " holds " +
         convert::Counted(r.committed, "message", "messages") + " committed before the stop";
}

// The end of a run that wrote something, for people.
void ReportRun(const convert::RunResult& r, const cli::Ending& ending, bool quiet) {
  using O = convert::RunResult::Outcome;
  if (ending.signal) {
    Say("stopped by " + cli::SignalName(ending.signal) + " at message " +
        std::to_string(r.stopped_at + 1) + " of " + std::to_string(r.rows) + "\n  " + HoldsText(r));
    ReportFailures(r, true);
    return;
  }
  if (r.outcome == O::kStopped) {
    Say("stopped at message " + std::to_string(r.stopped_at + 1) + " of " + std::to_string(r.rows) +
        ": " + convert::EscapeText(r.error) + "\n  " + HoldsText(r));
    ReportFailures(r, true);
    if (r.log_path.empty()) std::cerr << "  no log could be written beside it\n";
    return;
  }
  if (quiet) return;
  std::cerr << cli::SummaryText(r) << "\n";
  ReportFailures(r, ending.exit_status != 0);
}

int Main(const std::vector<std::string>& args) {
  const cli::Parsed parsed = cli::ParseArguments(args);
  const cli::Options& o = parsed.options;
  if (!parsed.error.empty()) {
    Say(parsed.error);
    std::cerr << "Try 'larkfield-convert --help' for more information.\n";
    if (o.json) std::cout << cli::SummaryJson({}, {"usage-error", 2, 0, parsed.error}) << "\n";
    return 2;
  }
  if (o.help) {
    std::cout << cli::UsageText();
    return 0;
  }
  if (o.version) {
    std::cout << cli::VersionText();
    return 0;
  }
  // An early end: nothing was written.
  auto not_started = [&o](const convert::RunResult& r, const std::string& error) {
    Say(error);
    if (o.json) std::cout << cli::SummaryJson(r, {"not-started", 2, 0, error}) << "\n";
    return 2;
  };

  std::vector<std::string> sources;
  {
    std::string error;
    if (!cli::ExpandSourceLists(o, std::cin, sources, error)) return not_started({}, error);
  }
  cli::Gathered gathered = cli::GatherSources(sources);
  ReportSources(gathered);

  convert::RunOptions run;
  run.unlisted_folders = gathered.unlisted;
  run.unread_sources = gathered.unread;
  run.repeated_sources = gathered.repeated;
  if (gathered.files.empty()) {
    convert::RunResult r;
    r.unlisted_folders = run.unlisted_folders;
    r.unread_sources = run.unread_sources;
    r.repeated_sources = run.repeated_sources;
    return not_started(r, "no .eml or .emlx files found; nothing was written");
  }
  {
    std::error_code ec;
    run.destination = std::filesystem::absolute(o.output_dir, ec);
    if (ec) {
      return not_started({},
                         "cannot use " + convert::EscapePath(o.output_dir) + ": " + ec.message());
    }
  }
  if (!o.legacy_charset.empty()) run.import_options.legacy_charset = o.legacy_charset;
  run.commit_every = o.commit_every;
  run.log_format = o.log_format;

  CatchStopSignals();
  const std::vector<convert::SourceRow> rows = convert::RowsFromPaths(std::move(gathered.files));
  Progress progress(ProgressStyle(o.quiet));
  convert::RunResult result;
  cli::Ending ending;
  try {
    result = convert::Convert(rows, run, progress);
    ending = cli::EndingOf(result);
  } catch (const Interrupted&) {
    if (progress.abandoned()) result = *progress.abandoned();
    ending = cli::InterruptedBy(g_stop_signal, result);
  }
  progress.Clear();

  if (o.json) {
    std::cout << cli::SummaryJson(result, ending) << "\n";
  } else if (!result.pst_path.empty()) {
    PrintPath(result.pst_path);
  }
  std::cout.flush();
  if (result.outcome == convert::RunResult::Outcome::kNotStarted) {
    Say(convert::EscapeText(result.error) + "; nothing was written");
  } else {
    ReportRun(result, ending, o.quiet);
  }
  return ending.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
  std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails the write (EFBIG) instead
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Main(args);
  } catch (const std::exception& e) {
    Say(convert::EscapeText(e.what()));
    return 2;
  }
}
