#pragma once

// The mail store a conversion writes: one new store file with its folder tree and the
// imported messages, over a StoreBackend (the PST writer in the program).
//
// Folders are named by their ids. Folder names compare as the store compares them,
// without regard to letter case: a name that differs from a sibling's only in case is
// that sibling. A failing operation raises Error; Error::fatal() tells a store that can
// take no more writes from a message or folder it refused.
//
// A MailStore is used by one thread at a time.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/mailstore/backend.hpp"
#include "convert/mailstore/error.hpp"

namespace larkfield::mailstore {

using FolderId = pst::FolderId;

class MailStore {
 public:
  // Creates the store file at `path` under `display_name` (never over an existing file:
  // kFileExists). `options` are the writer's, its display name aside.
  static MailStore Create(const BackendFactory& backend, const std::filesystem::path& path,
                          std::u16string_view display_name, pst::StoreOptions options);

  MailStore(MailStore&&) noexcept;
  MailStore& operator=(MailStore&&) noexcept;
  ~MailStore();  // closes what Close did not; errors are swallowed

  const std::filesystem::path& path() const noexcept { return path_; }
  const std::u16string& display_name() const noexcept { return display_name_; }

  // The folder that holds the top-level folders.
  FolderId root() const;
  // The subfolder of `parent` named `name`: the one there is, or a new mail folder.
  FolderId EnsureFolder(FolderId parent, std::u16string_view name);
  // Writes one imported message into the folder (StoreMessage decides how it is kept).
  // On a failure nothing of the message is in the store.
  void AddMessage(FolderId folder, mime::ImportResult&& imported);

  // Makes everything written so far durable.
  void Commit();
  // Commits and closes the file; every later operation is kClosed.
  void Close();
  bool is_open() const noexcept { return backend_ != nullptr; }
  pst::StoreStatistics Statistics() const;

 private:
  MailStore(std::unique_ptr<StoreBackend> backend, std::filesystem::path path,
            std::u16string display_name);
  StoreBackend& Backend() const;
  // The subfolders of `parent` as far as this store knows them: listed from the file the
  // first time, kept up to date as folders are made.
  std::vector<pst::FolderEntry>& Children(FolderId parent);

  std::unique_ptr<StoreBackend> backend_;
  std::filesystem::path path_;
  std::u16string display_name_;
  std::map<FolderId, std::vector<pst::FolderEntry>> children_;
};

}  // namespace larkfield::mailstore
