// larkfield-convert: the window's conversion without the window.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "convert/folder_path.hpp"
#include "convert/mailstore/backend.hpp"
#include "convert/run.hpp"

namespace {

using namespace larkfield;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

struct Interrupted {};

// The progress bar on standard error, redrawn at most ten times a second.
class Progress final : public convert::RunObserver {
 public:
  explicit Progress(bool show) : show_(show) {}
  ~Progress() override { Clear(); }

  void Yield() override {
    if (g_interrupted) throw Interrupted{};
  }
  void Counts(std::size_t done, std::size_t total, std::uint64_t) override {
    if (!show_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - t0_).count();
    std::fprintf(stderr, "\r%s\033[K", cli::ProgressLine(done, total, seconds).c_str());
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
  }

 private:
  bool show_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
};

int Fail(const std::string& text) {
  std::cerr << "larkfield-convert: " << text << "\n";
  return 2;
}

std::string PathText(const std::filesystem::path& p) {
  return convert::Utf8(convert::TextOfPath(p));
}

int Main(const std::vector<std::string>& args) {
  const cli::Parsed parsed = cli::ParseArguments(args);
  if (!parsed.error.empty()) {
    std::cerr << "larkfield-convert: " << parsed.error << "\n"
              << "Try 'larkfield-convert --help' for more information.\n";
    return 2;
  }
  const cli::Options& o = parsed.options;
  if (o.help) {
    std::cout << cli::UsageText();
    return 0;
  }
  if (o.version) {
    std::cout << cli::VersionText();
    return 0;
  }

  const cli::Gathered gathered = cli::GatherSources(o.sources);
  for (const std::string& w : gathered.warnings) std::cerr << "larkfield-convert: " << w << "\n";
  if (!gathered.errors.empty()) {
    for (const std::string& e : gathered.errors) std::cerr << "larkfield-convert: " << e << "\n";
    return 2;
  }
  if (gathered.files.empty()) return Fail("no .eml or .emlx files found; nothing was written");

  convert::RunOptions run;
  {
    std::error_code ec;
    run.destination = std::filesystem::absolute(o.output_dir, ec);
    if (ec) return Fail("cannot use " + o.output_dir.string() + ": " + ec.message());
  }
  run.backend = mailstore::PstBackendFactory();
  run.importer = mailstore::MimeImporter();
  if (!o.legacy_charset.empty()) run.import_options.legacy_charset = o.legacy_charset;
  run.commit_every = o.commit_every;
  run.unlisted_folders = gathered.unlisted;

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  const std::vector<convert::SourceRow> rows = convert::RowsFromPaths(gathered.files);
  Progress progress(!o.quiet && ::isatty(2));
  convert::RunResult result;
  try {
    result = convert::Convert(rows, run, progress);
  } catch (const Interrupted&) {
    progress.Clear();
    return Fail(
        "interrupted; the PST holds the messages written so far, the .log beside it "
        "says where the run stopped");
  }
  progress.Clear();

  using O = convert::RunResult::Outcome;
  if (o.json) {
    std::cout << cli::SummaryJson(result) << "\n";
  } else if (!result.pst_path.empty()) {
    std::cout << PathText(result.pst_path) << "\n";
  }
  std::cout.flush();
  if (result.outcome == O::kNotStarted) return Fail(result.error + "; nothing was written");
  if (result.outcome == O::kStopped) {
    std::string text = "stopped at message " + std::to_string(result.stopped_at + 1) + " of " +
                       std::to_string(result.rows) + ": " + result.error + "\n  " +
                       PathText(result.pst_path) + " holds up to the " +
                       std::to_string(result.converted) +
                       " messages written before the stop, as far as they were committed";
    if (!result.log_path.empty()) text += "; see " + PathText(result.log_path);
    return Fail(text);
  }
  if (!o.quiet) {
    std::cerr << cli::SummaryText(result) << "\n";
    if (result.failed) {
      const std::size_t shown = std::min<std::size_t>(result.failures.size(), 5);
      for (std::size_t i = 0; i < shown; ++i) {
        std::cerr << "  " << convert::Utf8(result.failures[i].row) << ": "
                  << result.failures[i].reason << "\n";
      }
      if (!result.log_path.empty())
        std::cerr << "  the full list: " << PathText(result.log_path) << "\n";
    }
  }
  // A folder the scan could not list left its messages out: not a clean conversion.
  return cli::ExitStatus(result);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Main(args);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
