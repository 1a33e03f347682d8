#pragma once

// The conversion run: one new PST from a list of message files, in the phases the window
// shows (reading the rows' folders, preparing the folder list, creating the folders,
// converting the messages), written through the mail store of mailstore/. The window and
// the command line both call Convert and follow it through a RunObserver.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/mailstore/backend.hpp"
#include "convert/mod_main.hpp"

namespace larkfield::convert {

// One listed file: its path as the system spells it (what is read) and its text (what
// the folder mapping and the captions use).
struct SourceRow {
  std::filesystem::path file;
  std::u16string text;
};

// A row per path, its text read from the path (TextOfPath).
std::vector<SourceRow> RowsFromPaths(std::span<const std::filesystem::path> paths);
// The same, taking the paths over: the list is not held twice through a long run.
std::vector<SourceRow> RowsFromPaths(std::vector<std::filesystem::path>&& paths);

struct RunResult;

// What the run reports as it goes. Yield is called at the run's yield points; whatever it
// throws ends the run (the store is committed first, so the file holds every message
// written so far) and passes on to the caller.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void Yield() {}
  // The phase line ("Reading File System Folders...   (Mail\Inbox)" and so on).
  virtual void Caption(std::u16string_view /*text*/) {}
  // The message being converted, as ProgressText shows it.
  virtual void Current(std::u16string_view /*text*/) {}
  // 0 to 100, after each message.
  virtual void Progress(float /*value*/) {}
  // After each message: how many rows are done of how many, and the bytes read.
  virtual void Counts(std::size_t /*done*/, std::size_t /*total*/, std::uint64_t /*bytes*/) {}
  // A run that Yield ended by throwing: what it did, once the store is committed and the
  // log written, just before the exception passes on.
  virtual void Abandoned(const RunResult& /*result*/) {}
};

struct RowFailure {
  std::u16string row;
  std::string reason;
  // The file or folder the entry is about as the system spells it (empty for a folder of
  // the PST): reports name it by these bytes, which the row's text may only approximate.
  std::filesystem::path file{};
};

// The log beside the PST: text for people, or JSON lines for programs (run_log.hpp).
enum class LogFormat { kText, kJsonLines };

// What a run writes with and reads with: the PST writer and the MIME importer unless a
// caller (a test) puts in its own.
struct Services {
  mailstore::BackendFactory backend = mailstore::PstBackendFactory();
  mailstore::Importer importer = mailstore::MimeImporter();
  // The time stamp of each name; each name reads it once. Empty: the clock.
  std::function<std::u16string()> time_stamp;
};

struct RunOptions : Services {
  std::filesystem::path destination;  // an existing folder
  mime::ImportOptions import_options;
  std::size_t commit_every = 0;  // store commit every N messages; 0: the store's default
  // Threads that read message files ahead of the writer, when the importer may be called
  // from several threads at once (Importer::thread_safe): by default the cores less the
  // one that writes, at least one. 0, or an importer that is not thread-safe: each file is
  // read on the run's thread just before it is written.
  static constexpr std::size_t kImportThreadsAuto = static_cast<std::size_t>(-1);
  std::size_t import_threads = kImportThreadsAuto;
  // What gathering the rows found, passed on to the result and the log: folders the scan
  // could not list and sources that could not be read (their messages are not among the
  // rows), and sources given more than once (read once).
  std::vector<RowFailure> unlisted_folders;
  std::vector<RowFailure> unread_sources;
  std::vector<RowFailure> repeated_sources;
  LogFormat log_format = LogFormat::kText;
};

struct RunResult {
  enum class Outcome {
    kCompleted,   // every row was handled; `failed` may still be non-zero
    kNotStarted,  // nothing was created (see `error`)
    kStopped,     // the PST exists but the run stopped early (see `error`, `stopped_at`)
  };
  Outcome outcome = Outcome::kNotStarted;
  int error_number = 0;
  std::string error;  // for kNotStarted and kStopped

  std::filesystem::path pst_path;  // empty when no file was created
  std::filesystem::path log_path;  // empty when no log could be written (or no PST was made)
  std::u16string store_display_name;

  std::size_t rows = 0;
  std::size_t converted = 0;  // written as they are
  std::size_t failed = 0;     // not written, or written as a stand-in for an unparsable file
  std::size_t warnings = 0;
  std::size_t stopped_at = 0;   // the row at which a stopped run ended
  std::u16string stopped_file;  // that row's text, when a message was being written
  std::uint64_t bytes = 0;      // of the message files read
  std::uint64_t pst_bytes = 0;
  // The messages the PST holds for certain: its last commit's, stand-ins included.
  std::size_t committed = 0;
  double seconds = 0;
  std::vector<RowFailure> failures;
  std::vector<RowFailure> row_warnings;
  std::vector<RowFailure> folder_problems;   // folders that could not be created
  std::vector<RowFailure> unlisted_folders;  // RunOptions::unlisted_folders: left out
  std::vector<RowFailure> unread_sources;    // RunOptions::unread_sources: left out
  std::vector<RowFailure> repeated_sources;  // RunOptions::repeated_sources
};

// Rows that cannot be converted at all, found before anything is created.
struct RowCheck {
  bool empty = false;                     // no row, or one row with the empty text
  std::vector<std::u16string> no_folder;  // rows with no folder below a root
};
RowCheck CheckRows(std::span<const SourceRow> rows);

// The run. Rows are read as given; the list must not change while it runs. Error codes
// of a run that did not start: kNoFolderPath for RowCheck findings, the mailstore
// numbers for a store failure. What the observer throws ends the run (see RunObserver).
RunResult Convert(std::span<const SourceRow> rows, const RunOptions& options,
                  RunObserver& observer);

// The folder list of the reading and preparing phases for the given rows' folder paths:
// sorted, without repeats, each folder after its ancestors. Exposed for tests.
StringList PrepareFolderList(std::span<const std::u16string> row_folders, RunObserver& observer);

}  // namespace larkfield::convert
