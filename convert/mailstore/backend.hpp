#pragma once

// What the mail store writes with and what a run reads message files with, behind
// interfaces: the program plugs in the PST writer and the MIME importer, tests a store in
// memory and an importer of their own.

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "mime/importer.hpp"
#include "pst/messaging/store.hpp"

namespace larkfield::mailstore {

// One open store file. Failures are pst::Error; MailStore translates them.
class StoreBackend {
 public:
  virtual ~StoreBackend() = default;

  // The folder that holds the user's top-level folders.
  virtual pst::FolderId ipm_subtree() const = 0;
  virtual std::vector<pst::FolderEntry> subfolders(pst::FolderId parent) const = 0;
  // Refuses a sibling of the same name (ignoring case) with kDuplicateFolder.
  virtual pst::FolderId create_folder(pst::FolderId parent, std::u16string_view name) = 0;
  virtual std::uint16_t named_property_id(const pst::NamedPropertyKey& key) = 0;
  virtual pst::MessageId add_message(pst::FolderId folder, const pst::Message& message) = 0;
  virtual void commit() = 0;
  virtual void close() = 0;
  virtual pst::StoreStatistics statistics() const = 0;
  // Folder names are equal when the store would refuse one beside the other.
  virtual bool names_equal(std::u16string_view a, std::u16string_view b) const = 0;
};

// Creates a new store file (never over an existing one).
using BackendFactory = std::function<std::unique_ptr<StoreBackend>(
    const std::filesystem::path& path, const pst::StoreOptions& options)>;

// Reads one message file; throws mime::ReadError when the file cannot be read at all.
// Any callable of that shape converts to an Importer, which a run then calls from its own
// thread only, one file at a time; an importer made with ThreadSafe may also be called from
// several threads at once, and a run then reads files ahead of the writer (the MIME importer
// is one).
class Importer {
 public:
  using Function = std::function<mime::ImportResult(const std::filesystem::path& path,
                                                    const mime::ImportOptions& options)>;

  Importer() = default;
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, Importer> &&
           std::is_constructible_v<Function, F>) Importer(F&& read)
      : read_(std::forward<F>(read)) {}  // NOLINT: converts like a function

  static Importer ThreadSafe(Function read) {
    Importer importer(std::move(read));
    importer.thread_safe_ = true;
    return importer;
  }

  mime::ImportResult operator()(const std::filesystem::path& path,
                                const mime::ImportOptions& options) const {
    return read_(path, options);
  }
  explicit operator bool() const noexcept { return static_cast<bool>(read_); }
  bool thread_safe() const noexcept { return thread_safe_; }

 private:
  Function read_;
  bool thread_safe_ = false;
};

// The PST writer of pst/messaging and the importer of mime/. When the program is built
// without them, both raise Error kFailed on use.
BackendFactory PstBackendFactory();
Importer MimeImporter();

}  // namespace larkfield::mailstore
