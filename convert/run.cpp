#include "convert/run.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "convert/error.hpp"
#include "convert/folder_path.hpp"
#include "convert/mailstore/mail_store.hpp"
#include "convert/pipeline.hpp"
#include "convert/run_log.hpp"

namespace larkfield::convert {
namespace {

namespace ms = mailstore;

std::vector<std::u16string> SplitAtBackslash(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = path.find(u'\\', start);
    if (at == std::u16string_view::npos) {
      parts.emplace_back(path.substr(start));
      break;
    }
    parts.emplace_back(path.substr(start, at - start));
    start = at + 1;
  }
  return parts;
}

std::int32_t LastIndex(const StringList& list) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(list.size()) - 1);
}

bool Exists(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
}

// The store folder of a distinct row folder, or none.
constexpr ms::FolderId kNoFolder = 0;

class Run {
 public:
  Run(std::span<const SourceRow> rows, const RunOptions& options, RunObserver& observer)
      : rows_(rows), options_(options), observer_(observer) {}

  RunResult Go();

 private:
  std::u16string Stamp() const {
    return options_.time_stamp ? options_.time_stamp() : TimeStampNow();
  }
  bool AddStore();
  void ReadRowFolders();
  void CreateFolders();
  void ConvertMessages();
  std::size_t ImportThreads() const;
  PreparedRow PrepareRow(std::size_t row) const;
  void WriteMessage(std::size_t row, ImportPipeline& pipeline);
  void Finish();
  void Stop(const ms::Error& e, std::size_t row);

  std::span<const SourceRow> rows_;
  const RunOptions& options_;
  RunObserver& observer_;
  RunResult result_;
  std::string started_;
  std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();

  std::optional<ms::MailStore> store_;
  RunLogFile log_file_;  // made with the PST, written at the end
  // The distinct row folders in the order rows first name them, and per row the index of
  // its folder among them: a row costs four bytes here whatever its path.
  std::vector<std::u16string> folders_;
  std::vector<std::uint32_t> row_folder_;
  // The folders to make: the row folders and their ancestors, each after its parent.
  StringList folder_list_;
  // After the creating phase, per distinct row folder: its folder in the store, or
  // kNoFolder and why it is not there.
  std::vector<ms::FolderId> folder_ids_;
  std::vector<std::string> folder_missing_;
  bool stopped_ = false;
};

bool Run::AddStore() {
  pst::StoreOptions store_options;
  if (options_.commit_every) store_options.commit_every_messages = options_.commit_every;
  try {
    // A name already taken (a second run within the same second, or a file of the same
    // name) gets a number; an existing file is never touched.
    const std::u16string base = PstBaseName(Stamp());
    const std::u16string display_name = StoreDisplayName(Stamp());
    for (int n = 1;; ++n) {
      std::u16string name = base;
      if (n > 1) {
        const std::string number = std::to_string(n);
        name += u" (" + std::u16string(number.begin(), number.end()) + u")";
      }
      const std::filesystem::path pst =
          options_.destination / std::filesystem::path(Utf8(name) + ".pst");
      std::filesystem::path log = pst;
      log.replace_extension(".log");
      if (Exists(pst) || Exists(log)) {
        if (n >= 1000) throw ms::Error(ms::Error::Code::kFileExists, "Every file name is taken");
        continue;
      }
      try {
        store_ = ms::MailStore::Create(options_.backend, pst, display_name, store_options);
      } catch (const ms::Error& e) {
        if (e.code() == ms::Error::Code::kFileExists && n < 1000) continue;
        // The name was free a moment ago, so a file there now is what the failed
        // creation left: no half-made file stays behind.
        std::error_code ec;
        if (Exists(pst)) std::filesystem::remove(pst, ec);
        throw;
      }
      result_.pst_path = pst;
      log_file_ = RunLogFile::Reserve(pst);
      break;
    }
    result_.store_display_name = display_name;
    return true;
  } catch (const ms::Error& e) {
    result_.outcome = RunResult::Outcome::kNotStarted;
    result_.error_number = e.number();
    result_.error = e.what();
    return false;
  }
}

void Run::ReadRowFolders() {
  std::unordered_map<std::u16string, std::uint32_t> index;
  row_folder_.reserve(rows_.size());
  std::u16string caption;
  for (const SourceRow& row : rows_) {
    observer_.Yield();
    std::u16string folder = *RowFolderPath(row.text);
    caption.assign(u"Reading File System Folders...   (").append(folder).append(u")");
    auto [at, added] = index.try_emplace(std::move(folder), folders_.size());
    if (added) folders_.push_back(at->first);
    row_folder_.push_back(at->second);
    observer_.Caption(caption);
  }
}

void Run::CreateFolders() {
  // The folders of this store by their path below the top folder, as made or found.
  std::unordered_map<std::u16string, ms::FolderId> made;
  std::unordered_map<std::u16string, std::string> not_made;
  for (const std::u16string& path : folder_list_) {
    if (stopped_) return;
    observer_.Caption(u"Creating Outlook Folders... (" + path + u")");
    observer_.Yield();
    try {
      const std::size_t at = path.rfind(u'\\');
      ms::FolderId parent = kNoFolder;
      if (at == std::u16string::npos) {
        parent = store_->root();
      } else {
        const auto known = made.find(path.substr(0, at));
        if (known == made.end()) {
          // Its parent could not be made: name the first folder on the way down that is
          // missing (one is, before the parent's own backslash).
          std::size_t begin = 0, end = path.find(u'\\');
          while (made.count(path.substr(0, end))) {
            begin = end + 1;
            end = path.find(u'\\', begin);
          }
          throw ms::Error(ms::Error::Code::kNotFound,
                          "No folder named \"" + Utf8(path.substr(begin, end - begin)) + "\"");
        }
        parent = known->second;
      }
      const std::u16string_view name = at == std::u16string::npos
                                           ? std::u16string_view(path)
                                           : std::u16string_view(path).substr(at + 1);
      made.emplace(path, store_->EnsureFolder(parent, name));
      observer_.Yield();
    } catch (const ms::Error& e) {
      if (e.fatal()) {
        Stop(e, 0);
        return;
      }
      result_.folder_problems.push_back({path, e.what()});
      not_made.emplace(path, e.what());
    }
  }
  folder_ids_.assign(folders_.size(), kNoFolder);
  folder_missing_.assign(folders_.size(), std::string());
  for (std::size_t f = 0; f < folders_.size(); ++f) {
    if (const auto it = made.find(folders_[f]); it != made.end()) {
      folder_ids_[f] = it->second;
    } else if (const auto why = not_made.find(folders_[f]); why != not_made.end()) {
      folder_missing_[f] = why->second;
    } else {
      folder_missing_[f] = "it was not created";
    }
  }
}

std::size_t Run::ImportThreads() const {
  if (!options_.importer.thread_safe()) return 0;
  std::size_t threads = options_.import_threads;
  if (threads == RunOptions::kImportThreadsAuto) {
    // One core writes; the others read.
    const unsigned cores = std::thread::hardware_concurrency();
    threads = cores > 2 ? cores - 1 : 1;
  }
  return std::min(threads, rows_.size());
}

// Looks at the row's file and imports it; called by the pipeline's workers, so it changes
// nothing of the run. A row whose folder is not in the store is not read at all.
PreparedRow Run::PrepareRow(std::size_t i) const {
  PreparedRow prepared;
  if (folder_ids_[row_folder_[i]] == kNoFolder) return prepared;
  const SourceRow& row = rows_[i];
  // A read-only look at the file: what it is and how big. It counts as read unless the
  // import finds it unreadable.
  prepared.stamp = FileStamp::Of(row.file);
  if (prepared.stamp.ok && S_ISREG(prepared.stamp.mode)) {
    prepared.size = static_cast<std::uint64_t>(prepared.stamp.size);
  }
  try {
    prepared.message = options_.importer(row.file, options_.import_options);
    prepared.memory = HeldBytes(*prepared.message);
  } catch (const mime::ReadError& e) {
    prepared.error.emplace(ms::Error::Code::kUnreadable, e.what());
  } catch (const std::bad_alloc&) {
    prepared.message.reset();
    prepared.error.emplace(ms::Error::Code::kFailed, "Out of memory while reading the message");
  } catch (const std::exception& e) {
    prepared.error.emplace(ms::Error::Code::kFailed, e.what());
  }
  return prepared;
}

void Run::ConvertMessages() {
  const std::size_t count = rows_.size();
  // Files are read ahead on other threads where the importer allows it; this thread
  // writes them in list order, and whatever ends the loop (a stop, a fatal write error,
  // an exception from the observer) drops what was read ahead when the pipeline goes.
  ImportPipeline pipeline(count, ImportThreads(), [this](std::size_t i) { return PrepareRow(i); });
  for (std::size_t i = 0; i < count && !stopped_; ++i) {
    observer_.Yield();
    const SourceRow& row = rows_[i];
    const std::uint32_t folder = row_folder_[i];
    if (folder_ids_[folder] == kNoFolder) {
      pipeline.Release(pipeline.Take(i).memory);  // nothing was read for it
      ++result_.failed;
      result_.failures.push_back({row.text,
                                  "its folder " + Utf8(folders_[folder]) +
                                      " is not in the PST: " + folder_missing_[folder],
                                  row.file});
    } else {
      WriteMessage(i, pipeline);
      if (stopped_) return;
    }
    observer_.Caption(u"Converting Messages... from (" + folders_[folder] + u")");
    observer_.Current(ProgressText(row.text));
    observer_.Progress(
        static_cast<float>(static_cast<double>(i + 1) / static_cast<double>(count) * 100.0));
    observer_.Counts(i + 1, count, result_.bytes);
  }
}

void Run::WriteMessage(std::size_t i, ImportPipeline& pipeline) {
  const SourceRow& row = rows_[i];
  PreparedRow prepared = pipeline.Take(i);
  if (prepared.ahead && FileStamp::Of(row.file) != prepared.stamp) {
    // The file changed after a worker read it: it is read again, as it is now, so the
    // message is what a run that reads each file just before writing it would write.
    pipeline.Release(std::exchange(prepared.memory, 0));
    prepared = PrepareRow(i);
    prepared.memory = 0;
  }
  // What the message holds is free once it is written or refused.
  struct Held {
    ImportPipeline& pipeline;
    std::size_t memory;
    ~Held() { pipeline.Release(memory); }
  } held{pipeline, prepared.memory};
  try {
    if (prepared.error) throw std::move(*prepared.error);
    // The file counts as read once the import could read it.
    result_.bytes += prepared.size;
    mime::ImportResult& message = *prepared.message;
    std::vector<std::string> warnings = std::move(message.warnings);
    const bool stand_in = message.stand_in;
    store_->AddMessage(folder_ids_[row_folder_[i]], std::move(message));
    for (std::string& w : warnings) {
      result_.row_warnings.push_back({row.text, std::move(w), row.file});
    }
    result_.warnings += warnings.size();
    if (stand_in) {
      ++result_.failed;
      result_.failures.push_back(
          {row.text,
           "could not be read as a message; kept whole as an attachment of a "
           "stand-in item",
           row.file});
    } else {
      ++result_.converted;
    }
  } catch (const ms::Error& e) {
    if (e.fatal()) {
      result_.stopped_file = row.text;
      Stop(e, i);
      return;
    }
    ++result_.failed;
    result_.failures.push_back({row.text, e.what(), row.file});
  }
}

void Run::Stop(const ms::Error& e, std::size_t row) {
  stopped_ = true;
  result_.outcome = RunResult::Outcome::kStopped;
  result_.error_number = e.number();
  result_.error = e.what();
  result_.stopped_at = row;
}

// Closes the store (which commits it) and writes the log of every run that made a PST.
void Run::Finish() {
  if (store_) {
    pst::StoreStatistics before_close;
    try {
      before_close = store_->Statistics();
      result_.pst_bytes = before_close.file_size;
    } catch (const ms::Error&) {
    }
    // A close that succeeds commits every message; one that fails leaves the last commit.
    result_.committed = before_close.messages;
    try {
      store_->Close();
    } catch (const ms::Error& e) {
      result_.committed = before_close.committed_messages;
      if (!stopped_) Stop(e, rows_.size());
    }
    if (!result_.pst_path.empty()) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(result_.pst_path, ec);
      if (!ec) result_.pst_bytes = size;
    }
    store_.reset();
  }
  result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  if (!result_.pst_path.empty()) {
    result_.log_path = WriteRunLog(result_, started_, options_.log_format, &log_file_);
  }
}

RunResult Run::Go() {
  result_.rows = rows_.size();
  result_.unlisted_folders = options_.unlisted_folders;
  result_.unread_sources = options_.unread_sources;
  result_.repeated_sources = options_.repeated_sources;
  started_ = LogTimeNow();
  const RowCheck check = CheckRows(rows_);
  if (check.empty) {
    result_.error_number = static_cast<int>(Error::Code::kNoFolderPath);
    result_.error = "There are no message files to convert";
    return result_;
  }
  if (!check.no_folder.empty()) {
    result_.error_number = static_cast<int>(Error::Code::kNoFolderPath);
    result_.error = "These files lie in no folder below a root: ";
    for (std::size_t i = 0; i < check.no_folder.size() && i < 5; ++i) {
      result_.error += (i ? ", " : "") + Utf8(check.no_folder[i]);
    }
    return result_;
  }
  {
    std::error_code ec;
    const auto status = std::filesystem::status(options_.destination, ec);
    if (ec || !std::filesystem::is_directory(status)) {
      result_.error_number = static_cast<int>(ms::Error::Code::kIo);
      result_.error = "The folder " + options_.destination.string() + " cannot take the PST: " +
                      (ec ? ec.message() : std::string(std::strerror(ENOTDIR)));
      return result_;
    }
  }
  if (!AddStore()) return result_;
  result_.outcome = RunResult::Outcome::kCompleted;
  try {
    ReadRowFolders();
    folder_list_ = PrepareFolderList(folders_, observer_);
    CreateFolders();
    if (!stopped_) ConvertMessages();
  } catch (const Error& e) {
    // A list routine refused (cannot happen with checked rows); nothing more is written.
    Stop(ms::Error(ms::Error::Code::kFailed, e.what()), 0);
  } catch (...) {
    // The caller ended the run: keep what was written, say so, pass the reason on.
    if (!stopped_) {
      stopped_ = true;
      result_.outcome = RunResult::Outcome::kStopped;
      result_.error = "the run was ended before the last message";
      result_.stopped_at = result_.converted + result_.failed;
    }
    Finish();
    observer_.Abandoned(result_);
    throw;
  }
  Finish();
  return result_;
}

}  // namespace

std::vector<SourceRow> RowsFromPaths(std::span<const std::filesystem::path> paths) {
  std::vector<SourceRow> rows;
  rows.reserve(paths.size());
  for (const auto& p : paths) rows.push_back({p, TextOfPath(p)});
  return rows;
}

std::vector<SourceRow> RowsFromPaths(std::vector<std::filesystem::path>&& paths) {
  std::vector<SourceRow> rows;
  rows.reserve(paths.size());
  for (auto& p : paths) {
    std::u16string text = TextOfPath(p);
    rows.push_back({std::move(p), std::move(text)});
  }
  std::vector<std::filesystem::path>().swap(paths);
  return rows;
}

RowCheck CheckRows(std::span<const SourceRow> rows) {
  RowCheck check;
  check.empty = rows.empty() || (rows.size() == 1 && rows[0].text.empty());
  if (check.empty) return check;
  for (const SourceRow& row : rows) {
    if (!RowFolderPath(row.text)) check.no_folder.push_back(row.text);
  }
  return check;
}

StringList PrepareFolderList(std::span<const std::u16string> row_folders, RunObserver& observer) {
  // One entry per distinct row folder (rows share folders: sorting one entry per row would
  // cost n log n comparisons for a handful of folders) and an empty extra one at the end.
  // The outcome is the same list: repeats go in the de-duplication below anyway.
  StringList list;
  {
    std::unordered_set<std::u16string_view> seen;
    for (const std::u16string& folder : row_folders) {
      if (seen.insert(folder).second) list.push_back(folder);
    }
  }
  list.emplace_back();
  observer.Yield();
  QuickSortStrings(list, 0, LastIndex(list) - 1);
  observer.Yield();
  RemoveDuplicateStrings(list);

  // Every ancestor of every distinct folder.
  const std::int32_t last = LastIndex(list);
  for (std::int32_t i = 0; i <= last; ++i) {
    const std::vector<std::u16string> parts = SplitAtBackslash(list[static_cast<std::size_t>(i)]);
    const std::size_t before = list.size();
    list.resize(before + parts.size());
    observer.Yield();
    std::u16string path;
    for (std::size_t j = 0; j < parts.size(); ++j) {
      if (j) path += u'\\';
      path += parts[j];
      observer.Yield();
      list[before + j] = path;
    }
    observer.Caption(u"Preparing Email Folders... ()");
  }
  observer.Yield();
  QuickSortStrings(list, 0, LastIndex(list) - 1);
  observer.Yield();
  RemoveDuplicateStrings(list);
  return list;
}

RunResult Convert(std::span<const SourceRow> rows, const RunOptions& options,
                  RunObserver& observer) {
  return Run(rows, options, observer).Go();
}

}  // namespace larkfield::convert
