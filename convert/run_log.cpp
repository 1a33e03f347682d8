#include "convert/run_log.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "convert/folder_path.hpp"
#include "convert/text_escape.hpp"

namespace larkfield::convert {
namespace {

// A reason on one line, cut to a readable length (at a character's start).
std::string OneLine(std::string_view reason) {
  std::string out;
  for (char c : reason) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  constexpr std::size_t kMax = 300;
  if (out.size() > kMax) {
    std::size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "...";
  }
  return out;
}

// The last name of the entry's file as UTF-8 bytes, or of its row text.
std::string LastName(const RowFailure& item) {
  if (item.file.empty()) {
    const std::size_t at = item.row.find_last_of(u"\\/");
    return Utf8(at == std::u16string::npos ? std::u16string_view(item.row)
                                           : std::u16string_view(item.row).substr(at + 1));
  }
#ifdef _WIN32
  const std::wstring name = item.file.filename().native();
  return Utf8(std::u16string(name.begin(), name.end()));
#else
  return item.file.filename().native();
#endif
}

std::string TimeText(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &local);
  return buf;
}

std::FILE* CreateNew(const std::filesystem::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"wbx");
#else
  return std::fopen(path.c_str(), "wbx");
#endif
}

// The reason on one line, without the file's name in front that the entry already shows.
std::string PlainReason(const RowFailure& item) {
  std::string_view reason = item.reason;
  const std::string name = LastName(item);
  if (!name.empty() && reason.size() > name.size() + 2 && reason.starts_with(name) &&
      reason.substr(name.size(), 2) == ": ") {
    reason.remove_prefix(name.size() + 2);
  }
  return OneLine(reason);
}

constexpr char kEscapeNote[] =
    "Each entry is one line, \"name: reason\", in UTF-8. In names and reasons a byte that is "
    "not UTF-8 and a control character (line break, tab, ESC, BEL, DEL) are written \\xHH, the "
    "byte in hexadecimal; a C1 control, a line or paragraph separator and a character that "
    "sets the text's direction are written \\u{HHHH}, the code point; a backslash before x, u "
    "or another backslash is written twice.\n";

std::string TextLog(const RunResult& r, std::string_view started) {
  std::string text;
  text += "Larkfield Mail Porter conversion log\n";
  text += kEscapeNote;
  text += "PST: " + EscapePath(r.pst_path) + "\n";
  text += "Store: " + EscapeText(r.store_display_name) + "\n";
  text += "Started: " + std::string(started) + "\n";
  text += "Ended: " + LogTimeNow() + "\n";
  text += "Messages: " + std::to_string(r.rows) + " listed, " + std::to_string(r.converted) +
          " converted, " + std::to_string(r.failed) + " failed, " +
          Counted(r.warnings, "warning", "warnings") + "\n";
  if (!r.unread_sources.empty()) {
    text += "Sources not read: " + std::to_string(r.unread_sources.size()) +
            " (the messages in them were not converted)\n";
  }
  if (!r.unlisted_folders.empty()) {
    text += "Folders not read: " + std::to_string(r.unlisted_folders.size()) +
            " (the messages in them and below them were not converted)\n";
  }
  if (r.outcome == RunResult::Outcome::kStopped) {
    text += "The run stopped at message " + std::to_string(r.stopped_at + 1) + " of " +
            std::to_string(r.rows);
    if (!r.stopped_file.empty()) text += " (" + EscapeText(r.stopped_file) + ")";
    text += ": " + EscapeText(OneLine(r.error)) + "\n";
    text += "Messages from there on were not converted. The PST holds " +
            Counted(r.committed, "message", "messages") + ", what its last commit wrote.\n";
  }
  auto section = [&text](const char* title, const std::vector<RowFailure>& list) {
    if (list.empty()) return;
    text += "\n";
    text += title;
    text += ":\n";
    for (const RowFailure& f : list) text += EntryName(f) + ": " + EntryReason(f) + "\n";
  };
  section("Sources not read", r.unread_sources);
  section("Folders not read", r.unlisted_folders);
  section("Failed", r.failures);
  section("Folders not created", r.folder_problems);
  section("Sources given more than once", r.repeated_sources);
  section("Warnings", r.row_warnings);
  return text;
}

std::string JsonLinesLog(const RunResult& r, std::string_view started) {
  std::string text =
      "{\"schema\":1,\"type\":\"run\",\"outcome\":\"" + std::string(OutcomeName(r.outcome)) +
      "\"," + ResultJsonFields(r) + ",\"warning_count\":" + std::to_string(r.warnings) +
      ",\"error\":" + (r.error.empty() ? "null" : JsonString(r.error)) +
      ",\"started\":" + JsonString(started) + ",\"ended\":" + JsonString(LogTimeNow()) + "}\n";
  for (const ReportEntry& e : ReportEntries(r)) {
    std::string entry = EntryJson(e);
    entry.insert(1, std::string("\"type\":\"") + (e.failure ? "failure" : "warning") + "\",");
    text += entry + "\n";
  }
  return text;
}

}  // namespace

std::vector<ReportEntry> ReportEntries(const RunResult& r) {
  std::vector<ReportEntry> out;
  auto add = [&out](bool failure, std::string_view kind, const std::vector<RowFailure>& list) {
    for (const RowFailure& f : list) out.push_back({failure, kind, &f});
  };
  add(true, "source-not-read", r.unread_sources);
  add(true, "folder-not-read", r.unlisted_folders);
  add(true, "message", r.failures);
  add(true, "folder-not-created", r.folder_problems);
  add(false, "source-repeated", r.repeated_sources);
  add(false, "message", r.row_warnings);
  return out;
}

std::string EntryName(const RowFailure& item) {
  return item.file.empty() ? EscapeText(item.row) : EscapePath(item.file);
}

std::string EntryReason(const RowFailure& item) { return EscapeText(PlainReason(item)); }

std::string EntryJson(const ReportEntry& e) {
  const RowFailure& f = *e.item;
  return "{\"kind\":" + JsonString(e.kind) +
         ",\"path\":" + (f.file.empty() ? JsonString(f.row) : JsonPath(f.file)) +
         ",\"reason\":" + JsonString(PlainReason(f)) + "}";
}

std::string_view OutcomeName(RunResult::Outcome outcome) {
  switch (outcome) {
    case RunResult::Outcome::kCompleted:
      return "completed";
    case RunResult::Outcome::kStopped:
      return "stopped";
    case RunResult::Outcome::kNotStarted:
      break;
  }
  return "not-started";
}

std::string ResultJsonFields(const RunResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  std::string j;
  j += "\"pst\":" + (r.pst_path.empty() ? std::string("null") : JsonPath(r.pst_path));
  j += ",\"log\":" + (r.log_path.empty() ? std::string("null") : JsonPath(r.log_path));
  j += ",\"store\":" +
       (r.store_display_name.empty() ? std::string("null") : JsonString(r.store_display_name));
  j += ",\"messages\":" + std::to_string(r.rows);
  j += ",\"converted\":" + std::to_string(r.converted);
  j += ",\"failed\":" + std::to_string(r.failed);
  j += ",\"bytes\":" + std::to_string(r.bytes);
  j += ",\"pst_bytes\":" + std::to_string(r.pst_bytes);
  j += ",\"seconds\":" + std::string(seconds);
  j += ",\"stopped_at\":" + (r.outcome == RunResult::Outcome::kStopped
                                 ? std::to_string(r.stopped_at + 1)
                                 : std::string("null"));
  return j;
}

std::string Counted(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string LogTimeNow() { return TimeText(std::time(nullptr)); }

// Room kept for the log: some thousand entries. A longer log needs space when it is
// written, which a full disk may by then have again (a failed PST is cut back to its
// last commit).
constexpr std::int64_t kLogReserve = 256 * 1024;

RunLogFile RunLogFile::Reserve(const std::filesystem::path& pst) {
  RunLogFile f;
#ifndef _WIN32
  std::filesystem::path log = pst;
  log.replace_extension(".log");
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return f;
  f.fd_ = fd;
  f.path_ = std::move(log);
#ifdef __linux__
  // Blocks kept past the end, so that the file stays empty until it is written.
  (void)::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, kLogReserve);
#endif
#else
  (void)pst;
#endif
  return f;
}

RunLogFile::RunLogFile(RunLogFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), written_(other.written_) {}

RunLogFile& RunLogFile::operator=(RunLogFile&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    written_ = other.written_;
  }
  return *this;
}

RunLogFile::~RunLogFile() { Release(); }

void RunLogFile::Release() {
#ifndef _WIN32
  if (fd_ < 0) return;
  ::close(std::exchange(fd_, -1));
  if (!written_) {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
#endif
}

bool RunLogFile::Write(std::string_view text) {
#ifndef _WIN32
  if (fd_ < 0) return false;
  written_ = true;  // whatever reaches the file stays
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  const auto size = static_cast<off_t>(text.size());
  if (::ftruncate(fd_, size) != 0) return false;
#ifdef __linux__
  // The reserved room the log did not take goes back to the disk.
  if (size < kLogReserve) {
    (void)::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, size, kLogReserve - size);
  }
#endif
  return ::fsync(fd_) == 0 || errno == EINVAL;
#else
  (void)text;
  return false;
#endif
}

std::filesystem::path WriteRunLog(const RunResult& r, std::string_view started, LogFormat format,
                                  RunLogFile* reserved) {
  const std::string text =
      format == LogFormat::kJsonLines ? JsonLinesLog(r, started) : TextLog(r, started);
  if (reserved && reserved->is_open()) {
    return reserved->Write(text) ? reserved->path() : std::filesystem::path();
  }
  std::filesystem::path log = r.pst_path;
  log.replace_extension(".log");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(CreateNew(log), &std::fclose);
  if (!file) return {};
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return {};
  if (std::fflush(file.get()) != 0) return {};
  return log;
}

}  // namespace larkfield::convert
