// Writes synthetic messages into a new PST and prints the throughput:
//
//   bench_pst_write [--messages N] [--folders F] [--size BYTES] [--attach-every K]
//                   [--attach-size BYTES] [--out FILE]
//
// Each message carries a subject, a sender, one recipient and an HTML body of BYTES;
// every K-th message also an attachment of --attach-size bytes, streamed. Without --out
// the file is written to a temporary path and removed. Prints messages per second, MB
// per second of payload, bytes written per payload byte, commits and peak memory.

#include <sys/resource.h>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "pst/messaging/store.hpp"

using namespace larkfield::pst;
namespace fs = std::filesystem;

namespace {

// Bytes that compress like text and vary per message.
class TextSource : public ByteSource {
 public:
  TextSource(std::uint64_t size, std::uint32_t seed) : left_(size), x_(seed * 2654435761u + 1) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left_));
    for (std::size_t i = 0; i < n; ++i) {
      x_ = x_ * 1103515245u + 12345u;
      buffer[i] = static_cast<std::byte>('a' + (x_ >> 27) % 26);
    }
    left_ -= n;
    return n;
  }

 private:
  std::uint64_t left_;
  std::uint32_t x_;
};

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::uint64_t arg(int argc, char** argv, const char* name, std::uint64_t fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtoull(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t messages = arg(argc, argv, "--messages", 10000);
  const std::uint64_t folders = std::max<std::uint64_t>(1, arg(argc, argv, "--folders", 1));
  const std::uint64_t size = arg(argc, argv, "--size", 2000);
  const std::uint64_t attach_every = arg(argc, argv, "--attach-every", 0);
  const std::uint64_t attach_size = arg(argc, argv, "--attach-size", 1 << 20);
  fs::path out;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
  }
  const bool keep = !out.empty();
  if (!keep)
    out = fs::temp_directory_path() / ("bench_pst_write." + std::to_string(::getpid()) + ".pst");

  const auto start = std::chrono::steady_clock::now();
  std::uint64_t payload = 0;
  StoreStatistics stats;
  try {
    StoreOptions o;
    o.display_name = u"Benchmark";
    Store s = Store::create(out, o);
    std::vector<FolderId> ids;
    for (std::uint64_t f = 0; f < folders; ++f) {
      ids.push_back(s.create_folder(s.ipm_subtree(), u"Folder " + u16(std::to_string(f))));
    }
    for (std::uint64_t i = 0; i < messages; ++i) {
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
          {0x10130102, std::make_shared<TextSource>(size, static_cast<std::uint32_t>(i))},
      };
      Recipient r;
      r.properties = {{0x0C150003, std::int32_t(1)},
                      {0x3001001F, std::u16string(u"Receiver")},
                      {0x3002001F, std::u16string(u"SMTP")},
                      {0x3003001F, std::u16string(u"receiver@example.org")}};
      m.recipients.push_back(std::move(r));
      payload += size;
      if (attach_every && i % attach_every == 0) {
        Attachment a;
        a.properties = {
            {0x37050003, std::int32_t(1)},
            {0x3707001F, std::u16string(u"file.bin")},
            {0x37010102, std::make_shared<TextSource>(attach_size, static_cast<std::uint32_t>(i))}};
        m.attachments.push_back(std::move(a));
        payload += attach_size;
      }
      s.add_message(ids[i % folders], m);
    }
    s.close();
    stats = s.statistics();
  } catch (const Error& e) {
    std::fprintf(stderr, "bench_pst_write: %s (error %d)\n", e.what(), e.number());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  const std::uint64_t file_size = fs::file_size(out);
  std::printf(
      "messages=%llu folders=%llu size=%llu seconds=%.2f messages_per_s=%.0f MB_per_s=%.1f "
      "file_MB=%.1f written_per_payload_byte=%.2f commits=%llu peak_RSS_MB=%.1f\n",
      static_cast<unsigned long long>(messages), static_cast<unsigned long long>(folders),
      static_cast<unsigned long long>(size), seconds, static_cast<double>(messages) / seconds,
      static_cast<double>(payload) / 1e6 / seconds, static_cast<double>(file_size) / 1e6,
      payload ? static_cast<double>(stats.bytes_written) / static_cast<double>(payload) : 0.0,
      static_cast<unsigned long long>(stats.commits), static_cast<double>(ru.ru_maxrss) / 1024.0);
  if (!keep) fs::remove(out);
  return 0;
}
