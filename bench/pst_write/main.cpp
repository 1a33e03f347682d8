// Writes synthetic messages into a new PST and prints the throughput:
//
//   bench_pst_write --suite [--dir DIR] [--mailbox-mb MB,MB,...] [--counts N,N,...]
//   bench_pst_write --mailbox-mb MB [--folders F] [--seed S] [--dir DIR | --out FILE] [--dd]
//   bench_pst_write [--messages N] [--folders F] [--size BYTES] [--attach-every K]
//                   [--attach-size BYTES] [--dir DIR | --out FILE] [--dd]
//
// --suite runs the standard set, each case in a child process of its own (so that peak
// memory and CPU time are per case): --counts small messages (default 10,000 and
// 100,000) and the mailbox-shaped loads of --mailbox-mb (default 1,000 and 5,000 MB),
// every case followed by dd writing as many bytes to the same folder with
// conv=fdatasync.
//
// A mailbox-shaped load: bodies of 5 to 50 KB, one message in ten with a 20 to 200 KB
// attachment, one in 150 with a 2 to 12 MB attachment, into F folders (default 40),
// until MB megabytes of payload are written; the sizes follow the seed (default 1).
// The small-message load: every message has a subject, a sender, one recipient and an
// HTML body of BYTES; every K-th message also an attachment of --attach-size bytes.
//
// Without --out the file goes to DIR (default the temporary folder) and is removed.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pst/messaging/store.hpp"

extern char** environ;

using namespace larkfield::pst;
namespace fs = std::filesystem;

namespace {

// One MiB of letters, shared by every source: each value reads it cyclically from an
// offset of its own, so that generating the payload costs about one copy.
const std::vector<std::byte>& letters() {
  static const std::vector<std::byte> table = [] {
    std::vector<std::byte> t(1 << 20);
    std::uint32_t x = 12345;
    for (auto& b : t) {
      x = x * 1103515245u + 12345u;
      b = static_cast<std::byte>((x >> 27) % 8 == 0 ? ' ' : 'a' + (x >> 22) % 26);
    }
    return t;
  }();
  return table;
}

class TextSource : public ByteSource {
 public:
  TextSource(std::uint64_t size, std::uint32_t seed)
      : left_(size), at_((seed * 2654435761u) % letters().size()) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const auto& t = letters();
    std::size_t done = 0;
    while (done < buffer.size() && left_ > 0) {
      const std::size_t n =
          std::min({buffer.size() - done, static_cast<std::size_t>(left_), t.size() - at_});
      std::memcpy(buffer.data() + done, t.data() + at_, n);
      done += n;
      left_ -= n;
      at_ = (at_ + n) % t.size();
    }
    return done;
  }

 private:
  std::uint64_t left_;
  std::size_t at_;
};

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const char* option(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return nullptr;
}
bool flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return true;
  return false;
}
std::uint64_t number(int argc, char** argv, const char* name, std::uint64_t fallback) {
  const char* v = option(argc, argv, name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}
std::vector<std::uint64_t> numbers(int argc, char** argv, const char* name,
                                   std::vector<std::uint64_t> fallback) {
  const char* v = option(argc, argv, name);
  if (!v) return fallback;
  std::vector<std::uint64_t> out;
  for (const char* p = v; *p;) {
    char* end = nullptr;
    out.push_back(std::strtoull(p, &end, 10));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p) break;
  }
  return out;
}

Message make_message(std::uint64_t i, std::uint64_t body_size) {
  Message m;
  m.properties = {
      {0x001A001F, std::u16string(u"IPM.Note")},
      {0x0037001F, u"RE: Benchmark message " + u16(std::to_string(i))},
      {0x0E070003, std::int32_t(1)},
      {0x00390040, FileTime{133000000000000000ull + i * 10000000ull}},
      {0x0E060040, FileTime{133000000000000000ull + i * 10000000ull}},
      {0x0042001F, std::u16string(u"Sender Name")},
      {0x0C1F001F, std::u16string(u"sender@example.org")},
      {0x3FDE0003, std::int32_t(65001)},
      {0x10130102, std::make_shared<TextSource>(body_size, static_cast<std::uint32_t>(i))},
  };
  Recipient r;
  r.properties = {{0x0C150003, std::int32_t(1)},
                  {0x3001001F, std::u16string(u"Receiver")},
                  {0x3002001F, std::u16string(u"SMTP")},
                  {0x3003001F, std::u16string(u"receiver@example.org")}};
  m.recipients.push_back(std::move(r));
  return m;
}

void attach(Message& m, std::uint64_t i, std::uint64_t size) {
  Attachment a;
  a.properties = {
      {0x37050003, std::int32_t(1)},
      {0x3707001F, std::u16string(u"file.bin")},
      {0x37010102, std::make_shared<TextSource>(size, static_cast<std::uint32_t>(i * 31 + 7))}};
  m.attachments.push_back(std::move(a));
}

struct Load {
  bool mailbox = false;
  std::uint64_t mailbox_bytes = 0, seed = 1;
  std::uint64_t messages = 10000, folders = 1, size = 2000, attach_every = 0, attach_size = 1 << 20;
};

struct Result {
  std::uint64_t messages = 0, payload = 0, file_size = 0;
  StoreStatistics stats;
  double seconds = 0;
};

Result write_store(const Load& load, const fs::path& out) {
  Result res;
  const auto start = std::chrono::steady_clock::now();
  StoreOptions o;
  o.display_name = u"Benchmark";
  Store s = Store::create(out, o);
  std::vector<FolderId> ids;
  for (std::uint64_t f = 0; f < load.folders; ++f)
    ids.push_back(s.create_folder(s.ipm_subtree(), u"Folder " + u16(std::to_string(f))));
  std::mt19937_64 rng(load.seed);
  auto between = [&](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
  };
  for (std::uint64_t i = 0;; ++i) {
    if (load.mailbox ? res.payload >= load.mailbox_bytes : i >= load.messages) break;
    const std::uint64_t body = load.mailbox ? between(5000, 50000) : load.size;
    Message m = make_message(i, body);
    res.payload += body;
    if (load.mailbox) {
      const std::uint64_t dice = between(0, 1499);
      if (dice < 10) {
        const std::uint64_t n = between(2000000, 12000000);
        attach(m, i, n);
        res.payload += n;
      } else if (dice < 160) {
        const std::uint64_t n = between(20000, 200000);
        attach(m, i, n);
        res.payload += n;
      }
    } else if (load.attach_every && i % load.attach_every == 0) {
      attach(m, i, load.attach_size);
      res.payload += load.attach_size;
    }
    s.add_message(ids[i % load.folders], m);
    ++res.messages;
  }
  s.close();
  res.stats = s.statistics();
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  res.file_size = fs::file_size(out);
  return res;
}

// Seconds dd needs to write `bytes` (rounded up to MiB) into `dir` with conv=fdatasync.
double dd_seconds(const fs::path& dir, std::uint64_t bytes) {
  const fs::path target = dir / ("bench_pst_write_dd." + std::to_string(::getpid()));
  const std::string of = "of=" + target.string();
  const std::string count = "count=" + std::to_string((bytes + (1 << 20) - 1) >> 20);
  std::vector<std::string> args = {"dd",  "if=/dev/zero",   of,           "bs=1M",
                                   count, "conv=fdatasync", "status=none"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "dd", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ec;
  fs::remove(target, ec);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

void print_header() {
  std::printf("%-22s %9s %9s %8s %9s %8s %8s %9s %8s %7s %8s %8s\n", "load", "messages", "file_MB",
              "s", "msg/s", "us/msg", "MB/s", "cpu_s", "dd_MB/s", "ratio", "peak_MB", "commits");
}

void print_row(const std::string& name, const Result& r, double cpu, double peak_mb, double dd) {
  const double mb = static_cast<double>(r.file_size) / 1e6;
  const double mbs = mb / r.seconds;
  const double dd_mbs = dd > 0 ? mb / dd : 0;
  std::printf("%-22s %9llu %9.1f %8.2f %9.0f %8.1f %8.1f %9.2f %8.1f %6.0f%% %8.1f %8llu\n",
              name.c_str(), static_cast<unsigned long long>(r.messages), mb, r.seconds,
              static_cast<double>(r.messages) / r.seconds,
              1e6 * r.seconds / static_cast<double>(r.messages), mbs, cpu, dd_mbs,
              dd > 0 ? 100.0 * mbs / dd_mbs : 0.0, peak_mb,
              static_cast<unsigned long long>(r.stats.commits));
  std::fflush(stdout);
}

double cpu_seconds(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs one load in this process; returns the exit status.
int run_one(const std::string& name, const Load& load, fs::path out, const fs::path& dir,
            bool with_dd) {
  const bool keep = !out.empty();
  if (!keep) out = dir / ("bench_pst_write." + std::to_string(::getpid()) + ".pst");
  Result r;
  try {
    r = write_store(load, out);
  } catch (const Error& e) {
    std::fprintf(stderr, "bench_pst_write: %s (error %d)\n", e.what(), e.number());
    std::error_code ec;
    if (!keep) fs::remove(out, ec);
    return 1;
  }
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  if (!keep) fs::remove(out);
  const double dd =
      with_dd ? dd_seconds(out.parent_path().empty() ? "." : out.parent_path(), r.file_size) : 0;
  print_row(name, r, cpu_seconds(ru), static_cast<double>(ru.ru_maxrss) / 1024.0, dd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = option(argc, argv, "--dir") ? fs::path(option(argc, argv, "--dir"))
                                                   : fs::temp_directory_path();
  const bool with_dd = flag(argc, argv, "--dd");
  if (flag(argc, argv, "--suite")) {
    std::vector<std::pair<std::string, Load>> cases;
    for (std::uint64_t n : numbers(argc, argv, "--counts", {10000, 100000})) {
      Load l;
      l.messages = n;
      cases.emplace_back("small " + std::to_string(n), l);
    }
    for (std::uint64_t mb : numbers(argc, argv, "--mailbox-mb", {1000, 5000})) {
      Load l;
      l.mailbox = true;
      l.mailbox_bytes = mb * 1000000;
      l.folders = 40;
      cases.emplace_back("mailbox " + std::to_string(mb) + " MB", l);
    }
    print_header();
    int failures = 0;
    for (const auto& [name, load] : cases) {
      std::fflush(stdout);
      const pid_t pid = ::fork();
      if (pid == 0) {
        // The child reports its own peak memory and CPU time.
        std::_Exit(run_one(name, load, {}, dir, true));
      }
      int status = 0;
      rusage ru{};
      ::wait4(pid, &status, 0, &ru);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    return failures == 0 ? 0 : 1;
  }
  Load load;
  if (option(argc, argv, "--mailbox-mb")) {
    load.mailbox = true;
    load.mailbox_bytes = number(argc, argv, "--mailbox-mb", 1000) * 1000000;
    load.folders = 40;
  }
  load.seed = number(argc, argv, "--seed", 1);
  load.messages = number(argc, argv, "--messages", load.messages);
  load.folders = std::max<std::uint64_t>(1, number(argc, argv, "--folders", load.folders));
  load.size = number(argc, argv, "--size", load.size);
  load.attach_every = number(argc, argv, "--attach-every", 0);
  load.attach_size = number(argc, argv, "--attach-size", load.attach_size);
  fs::path out;
  if (const char* o = option(argc, argv, "--out")) out = o;
  print_header();
  return run_one(load.mailbox ? "mailbox" : "small", load, out, dir, with_dd);
}
