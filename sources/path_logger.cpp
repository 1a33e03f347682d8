#include "sources/path_logger.hpp"

#include <limits>
#include <string>
#include <utility>

namespace larkfield::sources {
namespace {

std::string Key(std::int32_t n) { return "K" + std::to_string(n); }

std::int32_t Next(std::int32_t n) {
  if (n == std::numeric_limits<std::int32_t>::max()) {
    throw Error(Error::Code::kOverflow, "Overflow: more than 2147483647 entries");
  }
  return n + 1;
}

template <class List>
std::shared_ptr<List> Ensure(std::shared_ptr<List>& list) {
  if (!list) list = std::make_shared<List>();
  return list;
}

}  // namespace

pathLogger::pathLogger(FileSystemFactory make_file_system, Yield yield)
    : makeFileSystem_(std::move(make_file_system)), yield_(std::move(yield)) {}

void pathLogger::PathLogInit() {
  fileSystem_ = makeFileSystem_ ? makeFileSystem_() : nullptr;
  if (!fileSystem_) {
    throw Error(Error::Code::kUnexpected, "The file-system service could not be created");
  }
  fullFileNamesOnly_ = true;
  fileNames_.reset();
  pathPointers_.reset();
  pathNames_.reset();
  fullFileNames_.reset();
  skipped_.clear();
}

void pathLogger::LogPath(const NativeString& strPARENT) {
  if (!fileSystem_) return;
  try {
    if (!fileSystem_->FolderExists(strPARENT)) return;
    Pause();
    std::int32_t folder_count = 1;
    std::int32_t cursor = 1;
    fileIndex_ = 1;
    pathNames()->Append("K0", AddTrailingSeparator(strPARENT));
    Pause();
    do {
      LogFolder(cursor, folder_count);
      cursor = Next(cursor);
    } while (cursor <= folder_count);
    Pause();
  } catch (const Error&) {
    // The scan ends here; the entries logged so far stay.
  }
}

// Queues the subfolders of the folder at `cursor` and logs its files.
void pathLogger::LogFolder(std::int32_t cursor, std::int32_t& folder_count) {
  const NativeString folder = pathNames_->Item(static_cast<std::size_t>(cursor));
  FolderListing listing;
  try {
    listing = fileSystem_->List(folder);
  } catch (const Error& e) {
    if (e.code() != Error::Code::kAccessDenied && e.code() != Error::Code::kFileSystem) throw;
    skipped_.push_back(SkippedFolder{folder, e.code()});
    return;
  }
  Pause();

  for (const NativeString& name : listing.sub_folders) {
    folder_count = Next(folder_count);
    NativeString path = folder;
    path += name;
    path += kSeparator;
    pathNames_->Append(Key(folder_count), std::move(path));
    Pause();
  }
  Pause();

  auto full = fullFileNames();
  if (fullFileNamesOnly_) {
    for (const NativeString& name : listing.files) {
      full->Append(Key(fileIndex_), folder + name);
      fileIndex_ = Next(fileIndex_);
      Pause();
    }
    Pause();
  } else {
    Pause();
    auto names = fileNames();
    auto pointers = pathPointers();
    for (const NativeString& name : listing.files) {
      const std::string key = Key(fileIndex_);
      names->Append(key, name);
      full->Append(key, folder + name);
      pointers->Append(key, cursor);
      fileIndex_ = Next(fileIndex_);
      Pause();
    }
  }
}

void pathLogger::Terminate() {
  fileSystem_.reset();
  fileNames_.reset();
  pathPointers_.reset();
  pathNames_.reset();
  fullFileNames_.reset();
  skipped_.clear();
}

std::shared_ptr<pathLogger::TextList> pathLogger::fileNames() { return Ensure(fileNames_); }
std::shared_ptr<pathLogger::TextList> pathLogger::pathNames() { return Ensure(pathNames_); }
std::shared_ptr<pathLogger::NumberList> pathLogger::pathPointers() { return Ensure(pathPointers_); }
std::shared_ptr<pathLogger::TextList> pathLogger::fullFileNames() { return Ensure(fullFileNames_); }

}  // namespace larkfield::sources
