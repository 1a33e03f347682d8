// Import throughput and memory of the message importer:
//
//   bench_import FOLDER              every .eml/.emlx below FOLDER (e.g. a tree written by
//                                    bench/tools/gen_mailbox.py)
//   bench_import --big [BYTES]       one generated message carrying an attachment of BYTES
//                                    (default 100 MB), written to a temporary folder
//
// FOLDER mode reads all files once to warm the cache, then times a pass that only
// reads them and a pass that imports them, and prints messages and MB per second of
// each and the peak memory. --big prints the peak memory against the file size.

#include <sys/resource.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mime/importer.hpp"
#include "mime/tags.hpp"

namespace fs = std::filesystem;
using larkfield::mime::import_file;

namespace {

double peak_rss_mb() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// User plus system CPU time of this process so far.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads the whole file and folds its bytes into a sum, so the read cannot be skipped.
std::uint64_t read_all(const fs::path& path, std::vector<char>& buffer) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t sum = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < n; i += 4096) sum += static_cast<unsigned char>(buffer[i]);
    sum += n;
  }
  return sum;
}

int folder_mode(const fs::path& root) {
  std::vector<fs::path> files;
  std::uint64_t bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const auto ext = e.path().extension();
    if (ext != ".eml" && ext != ".emlx") continue;
    files.push_back(e.path());
    bytes += e.file_size();
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "bench_import: no .eml or .emlx files under %s\n", root.c_str());
    return 2;
  }
  std::vector<char> buffer(1 << 20);
  std::uint64_t sum = 0;
  for (const auto& f : files) sum += read_all(f, buffer);  // warms the cache

  auto start = std::chrono::steady_clock::now();
  for (const auto& f : files) sum += read_all(f, buffer);
  const double read_s = seconds_since(start);
  const double read_rss = peak_rss_mb();

  std::size_t stand_ins = 0, warnings = 0, attachments = 0;
  const double cpu_before = cpu_seconds();
  start = std::chrono::steady_clock::now();
  for (const auto& f : files) {
    const auto r = import_file(f);
    stand_ins += r.stand_in ? 1 : 0;
    warnings += r.warnings.size();
    attachments += r.message.attachments.size();
  }
  const double import_s = seconds_since(start);
  const double import_cpu = cpu_seconds() - cpu_before;
  const double mb = static_cast<double>(bytes) / 1e6;
  const auto n = static_cast<double>(files.size());
  std::printf("files=%zu MB=%.1f attachments=%zu stand_ins=%zu warnings=%zu (checksum %llu)\n",
              files.size(), mb, attachments, stand_ins, warnings,
              static_cast<unsigned long long>(sum % 1000));
  std::printf("read only: %.3f s  %.0f msg/s  %.1f MB/s  peak_RSS_MB=%.1f\n", read_s, n / read_s,
              mb / read_s, read_rss);
  std::printf("import:    %.3f s  %.0f msg/s  %.1f MB/s  peak_RSS_MB=%.1f\n", import_s,
              n / import_s, mb / import_s, peak_rss_mb());
  std::printf("import/read time: %.1fx\n", import_s / read_s);
  // CPU time (user + system) does not depend on what else the machine runs.
  std::printf("import CPU: %.3f s  %.0f msg/s  %.1f MB/s\n", import_cpu, n / import_cpu,
              mb / import_cpu);
  return 0;
}

// Writes a message with one base64 attachment of `size` pseudo-random bytes, streamed.
void write_big(const fs::path& path, std::uint64_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::ofstream out(path, std::ios::binary);
  out << "From: Ann Example <ann@example.org>\nTo: bob@example.net\n"
         "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: big attachment\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=BIG\n\n--BIG\nContent-Type: text/plain\n\n"
         "The file is attached.\n--BIG\nContent-Type: application/octet-stream; name=big.bin\n"
         "Content-Disposition: attachment; filename=big.bin\n"
         "Content-Transfer-Encoding: base64\n\n";
  std::uint32_t x = 12345;
  const auto next = [&x] {
    x = x * 1103515245u + 12345u;
    return static_cast<std::uint8_t>(x >> 23);
  };
  std::string line;
  std::uint64_t left = size;
  while (left > 0) {
    line.clear();
    for (int group = 0; group < 19 && left > 0; ++group) {
      const int n = static_cast<int>(std::min<std::uint64_t>(3, left));
      std::uint32_t v = 0;
      for (int i = 0; i < 3; ++i) v = (v << 8) | (i < n ? next() : 0);
      left -= static_cast<std::uint64_t>(n);
      line += kAlphabet[(v >> 18) & 63];
      line += kAlphabet[(v >> 12) & 63];
      line += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
      line += n > 2 ? kAlphabet[v & 63] : '=';
    }
    line += '\n';
    out << line;
  }
  out << "--BIG--\n";
}

int big_mode(std::uint64_t size) {
  char dir_template[] = "/tmp/bench-import.XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path dir = dir_template;
  const fs::path file = dir / "big.eml";
  write_big(file, size);
  const double file_mb = static_cast<double>(fs::file_size(file)) / 1e6;
  const double before = peak_rss_mb();
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t stored = 0;
  {
    const auto r = import_file(file);
    // Data left in the file are read (decoded) here as the store would read them.
    std::vector<std::byte> chunk(1 << 16);
    for (const auto& a : r.message.attachments) {
      if (a.content)
        while (const std::size_t n = a.content->read(chunk)) stored += n;
      for (const auto& p : a.properties)
        if (p.tag == larkfield::mime::tags::kAttachDataBin)
          stored += std::get<larkfield::mime::Bytes>(p.value).size();
    }
  }
  const double import_s = seconds_since(start);
  const double peak = peak_rss_mb();
  fs::remove_all(dir);
  std::printf("attachment=%.1f MB file=%.1f MB stored=%.1f MB import=%.2f s\n",
              static_cast<double>(size) / 1e6, file_mb, static_cast<double>(stored) / 1e6,
              import_s);
  std::printf("peak_RSS_MB=%.1f (before import %.1f)  peak/file=%.2fx  peak/attachment=%.2fx\n",
              peak, before, peak / file_mb, peak / (static_cast<double>(size) / 1e6));
  if (stored != size) {
    std::fprintf(stderr, "bench_import: attachment came back with %llu bytes, not %llu\n",
                 static_cast<unsigned long long>(stored), static_cast<unsigned long long>(size));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 2 && std::string(argv[1]) == "--big")
      return big_mode(argc >= 3 ? std::stoull(argv[2]) : 100ULL * 1000 * 1000);
    if (argc == 2) return folder_mode(argv[1]);
    std::fprintf(stderr, "usage: bench_import FOLDER | bench_import --big [BYTES]\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_import: %s\n", e.what());
    return 1;
  }
}
