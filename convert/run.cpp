#include "convert/run.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "convert/error.hpp"
#include "convert/folder_path.hpp"
#include "convert/mailstore/mailstore.hpp"
#include "convert/run_log.hpp"

namespace larkfield::convert {
namespace {

namespace ms = mailstore;

constexpr std::uint32_t kMessageFlags = 0x0E070003;  // PR_MESSAGE_FLAGS
constexpr std::int32_t kRead = 0x01;                 // MSGFLAG_READ
constexpr std::int32_t kHasAttachment = 0x10;        // MSGFLAG_HASATTACH

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

// The walk of the mail client's object model to a folder named by a path: with a leading
// backslash from the namespace's store folders, otherwise from the active window's folder.
ms::RDOFolder OpenMAPIFolder(const ms::RDOSession& session, std::u16string_view szPath) {
  ms::OutlookApplication application(session);
  std::optional<ms::RDOFolder> current;
  if (!szPath.empty() && szPath.front() == u'\\') {
    szPath.remove_prefix(1);
  } else {
    current = application.ActiveExplorer().CurrentFolder();
  }
  while (!szPath.empty()) {
    const std::size_t at = szPath.find(u'\\');
    const std::u16string_view name = szPath.substr(0, at);
    szPath = at == std::u16string_view::npos ? std::u16string_view() : szPath.substr(at + 1);
    if (!current) {
      current = application.GetNamespace(u"MAPI").Folders(name);
    } else {
      current = current->Folders().Item(name);
    }
  }
  if (!current) throw ms::Error(ms::Error::Code::kNotFound, "An empty folder path");
  return *current;
}

bool Exists(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
}

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
  void CreateFolders();
  void ConvertMessages();
  void Finish();
  void Stop(const ms::Error& e, std::size_t row);

  std::span<const SourceRow> rows_;
  const RunOptions& options_;
  RunObserver& observer_;
  RunResult result_;
  std::string started_;
  std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();

  std::unique_ptr<ms::RDOSession> rdoSession_;
  std::optional<ms::RDOStore> store_;
  ms::EntryId storeEntryId_;
  std::u16string storeDisplayName_;
  StringList pstFolderPaths_;
  std::vector<std::u16string> rowFolders_;
  // The folders of this store by their path below the top folder, as created or first
  // found: a parent and a message's folder are found without walking the tree again.
  // A path that is not here (its creation failed, or a case twin) is looked up the long
  // way, which finds what the store holds.
  std::unordered_map<std::u16string, ms::RDOFolder> folders_;
  // The entry of the last message's folder (entries stay in place when the map grows).
  std::pair<const std::u16string, ms::RDOFolder>* last_folder_ = nullptr;
  bool stopped_ = false;
};

bool Run::AddStore() {
  ms::SessionOptions so;
  so.backend = options_.backend;
  so.importer = options_.importer;
  so.import_options = options_.import_options;
  if (options_.commit_every) so.store_options.commit_every_messages = options_.commit_every;
  try {
    rdoSession_ = std::make_unique<ms::RDOSession>(std::move(so));
    rdoSession_->Logon();
    // A name already taken (a second run within the same second, or a file of the same
    // name) gets a number; an existing file is never touched.
    const std::u16string base = PstBaseName(Stamp());
    storeDisplayName_ = StoreDisplayName(Stamp());
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
        store_ = rdoSession_->Stores().AddPSTStore(pst, ms::kUnicodePstFormat, storeDisplayName_);
      } catch (const ms::Error& e) {
        if (e.code() == ms::Error::Code::kFileExists && n < 1000) continue;
        // The name was free a moment ago, so a file there now is what the failed
        // creation left: no half-made file stays behind.
        std::error_code ec;
        if (Exists(pst)) std::filesystem::remove(pst, ec);
        throw;
      }
      result_.pst_path = pst;
      break;
    }
    result_.store_display_name = storeDisplayName_;
    storeEntryId_ = store_->EntryID();
    return true;
  } catch (const ms::Error& e) {
    result_.outcome = RunResult::Outcome::kNotStarted;
    result_.error_number = e.number();
    result_.error = e.what();
    return false;
  }
}

void Run::CreateFolders() {
  for (const std::u16string& path : pstFolderPaths_) {
    if (stopped_) return;
    observer_.Caption(u"Creating Outlook Folders... (" + path + u")");
    const std::vector<std::u16string> parts = SplitAtBackslash(path);
    observer_.Yield();
    try {
      if (parts.size() == 1) {
        ms::RDOStore store = rdoSession_->Stores().GetStoreFromID(storeEntryId_);
        ms::RDOFolders top = store.IPMRootFolder().Folders();
        bool found = false;
        for (const ms::RDOFolder& f : top.All()) {
          if (f.Name() == path) found = true;
        }
        if (!found) folders_.emplace(path, top.Add(path, ms::kMailFolderType));
        observer_.Yield();
      } else {
        const std::u16string& name = parts.back();
        const std::u16string parent = path.substr(0, path.size() - name.size() - 1);
        const auto known = folders_.find(parent);
        ms::RDOFolder folder =
            known != folders_.end()
                ? known->second
                : OpenMAPIFolder(*rdoSession_, u"\\" + storeDisplayName_ + u"\\" + parent);
        observer_.Yield();
        folders_.emplace(path, folder.Folders().Add(name, ms::kMailFolderType));
        observer_.Yield();
      }
    } catch (const ms::Error& e) {
      if (e.fatal()) {
        Stop(e, 0);
        return;
      }
      // A folder that differs from a sibling only in letter case is that sibling: its
      // messages go there. Anything else is noted.
      if (e.code() != ms::Error::Code::kDuplicateFolder) {
        result_.folder_problems.push_back({path, e.what()});
      }
    }
  }
}

void Run::ConvertMessages() {
  const std::size_t count = rows_.size();
  ms::MAPIUtils utils;
  for (std::size_t i = 0; i < count && !stopped_; ++i) {
    observer_.Yield();
    const SourceRow& row = rows_[i];
    const std::u16string& folderPath = rowFolders_[i];
    // A read-only look at the file: how big is it. It counts as read unless the import
    // finds it unreadable.
    std::uint64_t size = 0;
    {
      std::error_code ec;
      size = std::filesystem::file_size(row.file, ec);
      if (ec) size = 0;
    }
    try {
      // Rows come folder by folder, so most find their folder where the last one did.
      if (!last_folder_ || last_folder_->first != folderPath) {
        auto known = folders_.find(folderPath);
        if (known == folders_.end()) {
          known = folders_
                      .emplace(folderPath, rdoSession_->GetFolderFromPath(
                                               u"\\\\" + storeDisplayName_ + u"\\" + folderPath))
                      .first;
        }
        last_folder_ = &*known;
      }
      ms::RDOMail mail = last_folder_->second.Items().Add(ms::kMailItemType);
      mail.Import(row.file, ms::kRfc822Import);
      result_.bytes += size;
      const std::int32_t flags = kRead | (mail.VisibleAttachmentCount() > 0 ? kHasAttachment : 0);
      utils.HrSetOneProp(mail.MAPIOBJECT(), kMessageFlags, flags, true);
      mail.Save();
      for (const std::string& w : mail.ImportWarnings())
        result_.row_warnings.push_back({row.text, w, row.file});
      result_.warnings += mail.ImportWarnings().size();
      if (mail.ImportedStandIn()) {
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
      std::string reason = e.what();
      if (e.code() == ms::Error::Code::kNotFound) {
        reason = "its folder " + Utf8(folderPath) + " is not in the PST: " + reason;
      }
      result_.failures.push_back({row.text, std::move(reason), row.file});
    }
    observer_.Caption(u"Converting Messages... from (" + folderPath + u")");
    observer_.Current(ProgressText(row.text));
    observer_.Progress(
        static_cast<float>(static_cast<double>(i + 1) / static_cast<double>(count) * 100.0));
    observer_.Counts(i + 1, count, result_.bytes);
  }
}

void Run::Stop(const ms::Error& e, std::size_t row) {
  stopped_ = true;
  result_.outcome = RunResult::Outcome::kStopped;
  result_.error_number = e.number();
  result_.error = e.what();
  result_.stopped_at = row;
}

// Logs off (which commits the store) and writes the log of every run that made a PST.
void Run::Finish() {
  if (rdoSession_) {
    if (store_) {
      try {
        result_.pst_bytes = store_->Statistics().file_size;
      } catch (const ms::Error&) {
      }
    }
    try {
      rdoSession_->Logoff();
    } catch (const ms::Error& e) {
      if (!stopped_) Stop(e, rows_.size());
    }
    if (!result_.pst_path.empty()) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(result_.pst_path, ec);
      if (!ec) result_.pst_bytes = size;
    }
    store_.reset();
    rdoSession_.reset();
  }
  result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  if (!result_.pst_path.empty()) {
    result_.log_path = WriteRunLog(result_, started_, options_.log_format);
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
    // Reading phase.
    rowFolders_.reserve(rows_.size());
    for (const SourceRow& row : rows_) {
      observer_.Yield();
      rowFolders_.push_back(*RowFolderPath(row.text));
      observer_.Caption(u"Reading File System Folders...   (" + rowFolders_.back() + u")");
    }
    pstFolderPaths_ = PrepareFolderList(rowFolders_, observer_);
    CreateFolders();
    ConvertMessages();
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
