#pragma once

// Reading message files ahead of the writer. Worker threads import the rows in list order
// while the run's own thread writes them, taking each row in turn; what is ready and not
// yet written is held up to a memory budget and a number of rows, so memory stays flat
// however long the list. With no worker thread every row is imported by the thread that
// takes it, when it takes it.

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "convert/mailstore/error.hpp"
#include "mime/importer.hpp"

namespace larkfield::convert {

// A message file as the system saw it at one moment: a file that is still the same has
// the same identity, size and times. A file that could not be looked at has ok == false.
struct FileStamp {
  bool ok = false;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileStamp Of(const std::filesystem::path& file);
  friend bool operator==(const FileStamp& a, const FileStamp& b) noexcept;
};

// One row's import, ready for the writer.
struct PreparedRow {
  std::optional<mime::ImportResult> message;  // what was imported, unless `error`
  std::optional<mailstore::Error> error;      // why the file could not be imported
  FileStamp stamp;                            // the file just before it was read
  std::uint64_t size = 0;                     // its size then (0 for no regular file)
  std::size_t memory = 0;                     // bytes it holds, as the budget counts them
  bool ahead = false;                         // imported by a worker, before it was taken
};

// The bytes an imported message holds in memory, roughly: its values and the records
// around them. Attachment data left in the file count for the read buffer they will need.
std::size_t HeldBytes(const mime::ImportResult& imported);

class ImportPipeline {
 public:
  // Prepares one row; it must not throw, and with workers it is called from several
  // threads at once.
  using Prepare = std::function<PreparedRow(std::size_t row)>;

  static constexpr std::size_t kMemoryBudget = std::size_t{64} << 20;
  static constexpr std::size_t kMostRowsAhead = 1024;

  // `threads` workers (0: none) for rows 0 to rows - 1. Workers that cannot be started
  // are done without; with none the pipeline still works, on the taking thread.
  ImportPipeline(std::size_t rows, std::size_t threads, Prepare prepare,
                 std::size_t memory_budget = kMemoryBudget,
                 std::size_t most_rows_ahead = kMostRowsAhead);
  ImportPipeline(const ImportPipeline&) = delete;
  ImportPipeline& operator=(const ImportPipeline&) = delete;
  // Stops the workers (each finishes the file it is reading) and drops what they prepared.
  ~ImportPipeline();

  // Row `row`, taken in order: 0, 1, 2, ... Waits for a worker when it is not ready yet.
  PreparedRow Take(std::size_t row);
  // The memory of a taken row is free again (it was written or dropped).
  void Release(std::size_t memory);
  std::size_t threads() const noexcept { return workers_.size(); }

 private:
  void Work();
  void StopWorkers() noexcept;

  const std::size_t rows_;
  const Prepare prepare_;
  const std::size_t budget_;
  const std::size_t ahead_;

  std::mutex mutex_;
  std::condition_variable room_;                  // workers wait for room in the budget or the ring
  std::condition_variable ready_;                 // the taker waits for its row
  std::vector<std::optional<PreparedRow>> ring_;  // row r at r % ring_.size()
  std::size_t next_ = 0;                          // the next row a worker takes up
  std::size_t taken_ = 0;                         // rows taken so far
  std::size_t held_ = 0;  // memory of the rows prepared and not yet released
  bool stopping_ = false;
  std::vector<std::jthread> workers_;
};

}  // namespace larkfield::convert
