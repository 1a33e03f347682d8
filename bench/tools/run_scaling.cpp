// bench_run_scaling: the conversion run's own cost per message as the count grows, with
// the importer and the writer taken out (an importer that returns a small fixed message,
// a store that keeps nothing). What is left is the run and the mail-store objects: the
// folder mapping, sorting and de-duplication of the folder list, folder creation and
// lookup, progress, the failure list and the log. Their CPU time per message must stay
// flat from the smallest count to the largest.
//
//   bench_run_scaling [--folders-per 100] [COUNTS...]    (default 10000 100000 1000000)
//
// Each count is converted once with one folder per `folders-per` messages (so the
// folder count grows with the messages, too) and one message in a hundred failing, so
// that the failure list and the log grow as well. Prints CPU microseconds per message
// and the growth from the first count to the last; exits 1 when it grows by more than
// half, which points at a cost that is not linear. It also prints the memory the run
// takes beyond its rows: the peak resident size during the run less the resident size
// with the rows built, per row.

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "convert/folder_path.hpp"
#include "convert/mailstore/backend.hpp"
#include "convert/run.hpp"

namespace {

using namespace larkfield;
namespace fs = std::filesystem;

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A store that keeps its folder tree and counts messages, writing nothing.
class NullBackend final : public mailstore::StoreBackend {
 public:
  pst::FolderId ipm_subtree() const override { return kIpm; }
  std::vector<pst::FolderEntry> subfolders(pst::FolderId parent) const override {
    auto it = children_.find(parent);
    return it == children_.end() ? std::vector<pst::FolderEntry>{} : it->second;
  }
  pst::FolderId create_folder(pst::FolderId parent, std::u16string_view name) override {
    const pst::FolderId id = next_++;
    children_[parent].push_back({id, std::u16string(name)});
    return id;
  }
  std::uint16_t named_property_id(const pst::NamedPropertyKey&) override { return 0x8000; }
  pst::MessageId add_message(pst::FolderId, const pst::Message&) override { return ++messages_; }
  void commit() override {}
  void close() override {}
  pst::StoreStatistics statistics() const override { return {}; }
  bool names_equal(std::u16string_view a, std::u16string_view b) const override {
    return pst::names_equal_ignoring_case(a, b);
  }

 private:
  static constexpr pst::FolderId kIpm = 0x8022;
  std::map<pst::FolderId, std::vector<pst::FolderEntry>> children_;
  pst::FolderId next_ = 0x8042;
  pst::MessageId messages_ = 0;
};

struct Quiet final : convert::RunObserver {};

// A line of /proc/self/status ("VmRSS", "VmHWM") in bytes; 0 when there is none.
std::size_t StatusBytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
  }
  return 0;
}

struct Measured {
  double cpu_s = 0;
  double bytes_per_row = 0;  // peak during the run beyond the rows, per row
};

// CPU and memory of one run of n rows.
Measured RunOnce(std::size_t n, std::size_t folders_per, const fs::path& out) {
  std::vector<convert::SourceRow> rows;
  rows.reserve(n);
  const std::size_t folders = std::max<std::size_t>(1, n / folders_per);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t f = i % folders;
    const std::string path = "/bench/mail/Folder " + std::to_string(f % 50) + "/Sub " +
                             std::to_string(f) + "/" + std::to_string(i) + ".eml";
    rows.push_back({path, convert::TextOfPath(path)});
  }
  convert::RunOptions o;
  o.destination = out;
  o.backend = [](const fs::path& path, const pst::StoreOptions&) {
    std::FILE* f = std::fopen(path.c_str(), "wbx");  // the name is taken, as by a real store
    if (f) std::fclose(f);
    return std::make_unique<NullBackend>();
  };
  std::size_t calls = 0;
  o.importer = [&calls](const fs::path& path, const mime::ImportOptions&) {
    if (++calls % 100 == 0) throw mime::ReadError("cannot read " + path.string());
    mime::ImportResult r;
    r.message.properties.push_back({0x0037001F, std::u16string(u"A message of the scaling run")});
    return r;
  };
  Quiet quiet;
  ::malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const std::size_t rows_rss = StatusBytes("VmRSS");
  const double t0 = CpuSeconds();
  const convert::RunResult r = convert::Convert(rows, o, quiet);
  const double t1 = CpuSeconds();
  const std::size_t peak = StatusBytes("VmHWM");
  if (r.outcome != convert::RunResult::Outcome::kCompleted || r.rows != n) {
    std::fprintf(stderr, "bench_run_scaling: the run of %zu did not complete: %s\n", n,
                 r.error.c_str());
    std::exit(2);
  }
  std::error_code ec;
  fs::remove(r.pst_path, ec);
  fs::remove(r.log_path, ec);
  Measured m;
  m.cpu_s = t1 - t0;
  m.bytes_per_row =
      peak > rows_rss ? static_cast<double>(peak - rows_rss) / static_cast<double>(n) : 0.0;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> counts;
  std::size_t folders_per = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::size_t v = 0;
    const std::string text = a == "--folders-per" && i + 1 < argc ? argv[++i] : a;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v == 0) {
      std::fprintf(stderr, "usage: bench_run_scaling [--folders-per N] [COUNTS...]\n");
      return 2;
    }
    (a == "--folders-per" ? folders_per : counts.emplace_back()) = v;
  }
  if (counts.empty()) counts = {10000, 100000, 1000000};
  const fs::path out =
      fs::temp_directory_path() / ("larkfield-run-scaling-" + std::to_string(::getpid()));
  fs::create_directories(out);
  std::printf("%10s %8s %10s %12s %14s\n", "messages", "folders", "cpu_s", "cpu_us/msg",
              "run_bytes/row");
  double first = 0, last = 0;
  for (std::size_t n : counts) {
    const Measured m = RunOnce(n, folders_per, out);
    const double s = m.cpu_s;
    const double per = s / static_cast<double>(n) * 1e6;
    if (first == 0) first = per;
    last = per;
    std::printf("%10zu %8zu %10.3f %12.2f %14.1f\n", n, std::max<std::size_t>(1, n / folders_per),
                s, per, m.bytes_per_row);
    std::fflush(stdout);
  }
  std::error_code ec;
  fs::remove_all(out, ec);
  const double growth = first > 0 ? last / first : 1.0;
  std::printf("growth of the cost per message, first count to last: %.2fx\n", growth);
  return growth > 1.5 ? 1 : 0;
}
