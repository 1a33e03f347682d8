#pragma once

// What a run reports, in the forms its readers need: the entries of its result (failures
// and warnings, each of a kind), the log beside the PST as text or as JSON lines, and the
// JSON fields of the result that the command line's summary shares. Names and reasons are
// escaped as text_escape.hpp describes.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "convert/run.hpp"

namespace larkfield::convert {

struct ReportEntry {
  bool failure;           // false: a warning
  std::string_view kind;  // "message", "folder-not-read", "source-not-read", ...
  const RowFailure* item;
};

// Every entry of the result, failures first: sources not read, folders not read,
// messages, folders not created; then the warnings: sources given twice, messages.
std::vector<ReportEntry> ReportEntries(const RunResult& r);

// The entry's file or folder for people (its path's bytes when it has one, else its row
// text), and its reason on one line, without a repeat of the file's name in front.
std::string EntryName(const RowFailure& item);
std::string EntryReason(const RowFailure& item);

// {"kind":...,"path":...,"reason":...} with the path's bytes kept (JsonPath) and the
// reason as EntryReason has it, unescaped.
std::string EntryJson(const ReportEntry& entry);

// "completed", "not-started" or "stopped".
std::string_view OutcomeName(RunResult::Outcome outcome);

// The result's own JSON fields, comma-separated without braces: "pst", "log", "store",
// "messages", "converted", "failed", "bytes", "pst_bytes", "seconds", "stopped_at".
std::string ResultJsonFields(const RunResult& r);

// "1 warning", "2 warnings".
std::string Counted(std::size_t n, std::string_view one, std::string_view many);

// The local time as the log shows it: "2026-12-06 07:05:03 +0100".
std::string LogTimeNow();

// The log file of a run, made as soon as its PST exists, with room kept for it on the
// disk: a run whose PST fills the disk still writes the log that says so. Empty where
// the file could not be made (WriteRunLog then tries to make it itself).
class RunLogFile {
 public:
  RunLogFile() = default;
  // Creates the log beside `pst` (its name with ".log"), never over an existing file.
  static RunLogFile Reserve(const std::filesystem::path& pst);
  RunLogFile(RunLogFile&& other) noexcept;
  RunLogFile& operator=(RunLogFile&& other) noexcept;
  ~RunLogFile();  // a log that was never written is removed

  bool is_open() const { return fd_ >= 0; }
  const std::filesystem::path& path() const { return path_; }
  // Writes `text` as the whole file; false when the system refused.
  bool Write(std::string_view text);

 private:
  void Release();
  int fd_ = -1;
  std::filesystem::path path_;
  bool written_ = false;
};

// Writes the log beside the PST (its name with ".log"): into `reserved` when it is open,
// else created new, never over an existing file. Returns its path, or an empty path when
// it could not be written.
std::filesystem::path WriteRunLog(const RunResult& r, std::string_view started, LogFormat format,
                                  RunLogFile* reserved = nullptr);

}  // namespace larkfield::convert
