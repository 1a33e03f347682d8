#pragma once

// A store in memory and a small importer, so that the mail store and the run can be
// tested on their own. The store keeps every folder and message it was given and can
// be told to fail; the importer reads a few header lines of a file.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/mailstore/backend.hpp"

namespace larkfield::testing {

struct FakeFolder {
  pst::FolderId parent = 0;
  std::u16string name;
  std::vector<pst::FolderId> children;
  std::vector<const pst::Message*> messages;
};

// What one fake store holds; it outlives the backend so tests can look at it afterwards.
struct FakeStoreData {
  std::filesystem::path path;
  pst::StoreOptions options;
  std::map<pst::FolderId, FakeFolder> folders;
  std::vector<std::unique_ptr<pst::Message>> messages;  // every add_message, in order
  std::map<std::u16string, std::uint16_t> named;        // by a printable key
  int commits = 0;
  bool closed = false;
  // Failure injection.
  std::size_t fail_message_after = SIZE_MAX;  // add_message number n (0-based) fails
  pst::Error::Code message_failure = pst::Error::Code::kIo;
  std::u16string fail_folder;  // create_folder of this name fails (kInvalidArgument)

  // The folder at a path below the IPM subtree ("Mail/Inbox"), or nullptr.
  const FakeFolder* Folder(const std::u16string& slash_path) const;
  // Every folder path below the IPM subtree, "/"-joined, sorted.
  std::vector<std::string> FolderPaths() const;
};

class FakeBackend final : public mailstore::StoreBackend {
 public:
  static constexpr pst::FolderId kRoot = 0x22, kIpm = 0x8022;
  explicit FakeBackend(std::shared_ptr<FakeStoreData> data);

  pst::FolderId ipm_subtree() const override { return kIpm; }
  std::vector<pst::FolderEntry> subfolders(pst::FolderId parent) const override;
  pst::FolderId create_folder(pst::FolderId parent, std::u16string_view name) override;
  std::uint16_t named_property_id(const pst::NamedPropertyKey& key) override;
  pst::MessageId add_message(pst::FolderId folder, const pst::Message& message) override;
  void commit() override { ++d_->commits; }
  void close() override {
    ++d_->commits;
    d_->closed = true;
  }
  pst::StoreStatistics statistics() const override;
  bool names_equal(std::u16string_view a, std::u16string_view b) const override;

 private:
  std::shared_ptr<FakeStoreData> d_;
  pst::FolderId next_ = 0x8042;
};

// A factory that makes the file (exclusively, like the real store) and records each
// store it made in `stores`.
mailstore::BackendFactory FakeFactory(std::vector<std::shared_ptr<FakeStoreData>>* stores);

// Reads "Subject: ...", "Attach: name", "Hidden: name", "Embedded: subject" and
// "Named: name" lines. A file holding "GARBAGE" gives a stand-in; a missing or unreadable
// file raises mime::ReadError; "WARN: text" adds a warning.
mailstore::Importer FakeImporter();

// Deep copy of a message (pst::Message holds unique_ptrs).
std::u16string Subject(const pst::Message& m);
const pst::Property* Find(const std::vector<pst::Property>& props, pst::PropTag tag);

std::u16string U16(std::string_view s);

}  // namespace larkfield::testing
