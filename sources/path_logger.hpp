#pragma once

// pathLogger walks the tree below one folder breadth-first and logs every folder and every
// file it meets into keyed lists that the caller reads afterwards. It filters nothing;
// choosing the message files is the caller's business.
//
// Use: PathLogInit; optionally set fullFileNamesOnly (after PathLogInit, which sets it to
// true); LogPath once; read Count and the lists; Terminate. Each LogPath needs a
// PathLogInit of its own before it.
//
// The scan calls the yield callback at many points (once per folder entry and a few times
// per folder) so that a caller on a user-interface thread can keep its window alive. What
// the callback throws passes through LogPath unchanged, which is how a caller stops a scan.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sources/error.hpp"
#include "sources/file_system.hpp"
#include "sources/keyed_list.hpp"
#include "sources/native_path.hpp"

namespace larkfield::sources {

// A folder the scan could not list and therefore left out, with the rest of the tree
// below it. `reason` is kAccessDenied or kFileSystem.
struct SkippedFolder {
  NativeString path;
  Error::Code reason;
};

class pathLogger {
 public:
  using Yield = std::function<void()>;
  using TextList = KeyedList<NativeString>;
  using NumberList = KeyedList<std::int32_t>;

  pathLogger(FileSystemFactory make_file_system, Yield yield);

  // Makes the file-system service (its failure reaches the caller), switches to
  // full-names-only mode and drops the lists and the skipped folders. Count is kept.
  void PathLogInit();

  // Scans the tree under strPARENT. Nothing is logged when the service is missing or the
  // path is not an existing folder. A folder that cannot be listed is noted in
  // skippedFolders() and left out with everything below it; the scan goes on with the next
  // folder. Any other failure (a key already taken, a counter overflow) ends the scan where
  // it stands; what was logged stays. No failure of the scan reaches the caller.
  void LogPath(const NativeString& strPARENT);

  // The 1-based position the next logged file would take: n + 1 after a scan of n files,
  // 0 in a new scanner.
  std::int32_t Count() const noexcept { return fileIndex_; }

  // Releases the service and the lists. Lists handed out before keep their entries;
  // Count and fullFileNamesOnly keep their values.
  void Terminate();

  bool fullFileNamesOnly() const noexcept { return fullFileNamesOnly_; }
  void fullFileNamesOnly(bool fullPath) noexcept { fullFileNamesOnly_ = fullPath; }

  // Each list is created empty when it is absent.
  // Bare file names; detailed mode only.
  std::shared_ptr<TextList> fileNames();
  // Every folder met, each ending in the separator: the root under key "K0", then the
  // others in order of discovery under "K" + their position (so "K1" never occurs).
  std::shared_ptr<TextList> pathNames();
  // For each file the position in pathNames of its folder; detailed mode only.
  std::shared_ptr<NumberList> pathPointers();
  // Every file's full path, under "K" + its position.
  std::shared_ptr<TextList> fullFileNames();

  // The folders the last scan had to leave out, in the order it met them.
  const std::vector<SkippedFolder>& skippedFolders() const noexcept { return skipped_; }

 private:
  void LogFolder(std::int32_t cursor, std::int32_t& folder_count);
  void Pause() const {
    if (yield_) yield_();
  }

  FileSystemFactory makeFileSystem_;
  Yield yield_;
  std::unique_ptr<FileSystem> fileSystem_;
  std::int32_t fileIndex_ = 0;
  std::shared_ptr<TextList> fileNames_;
  std::shared_ptr<NumberList> pathPointers_;
  std::shared_ptr<TextList> pathNames_;
  std::shared_ptr<TextList> fullFileNames_;
  bool fullFileNamesOnly_ = false;
  std::vector<SkippedFolder> skipped_;
};

}  // namespace larkfield::sources
