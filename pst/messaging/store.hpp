#pragma once

// A new Unicode personal folders file, written from scratch.
//
// Store::create makes the file (never over an existing one) and writes an empty,
// valid store at once. Folders and messages added afterwards reach the file as they
// are added; they become visible to readers at the next commit. The file on disk is
// a valid PST after every commit, and a process killed at any instant leaves the
// last committed state readable. commit() is also called automatically when the
// options' interval has passed, and by close().
//
// A Store is not thread-safe: one thread adds folders and messages.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pst/ltp/property.hpp"
#include "pst/ndb/error.hpp"

namespace larkfield::pst {

using FolderId = std::uint32_t;   // the folder's node id
using MessageId = std::uint32_t;  // the message's node id

// The name of a named property: a property set and either a numeric id (LID) or a
// string name.
struct NamedPropertyKey {
  Guid property_set;
  std::variant<std::uint32_t, std::u16string> name;
  friend bool operator==(const NamedPropertyKey&, const NamedPropertyKey&) = default;
};

struct Message;

struct Recipient {
  // PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_ADDRTYPE, PR_EMAIL_ADDRESS, ... The writer
  // adds the row id; the recipient table's row carries every property given here.
  std::vector<Property> properties;
};

struct Attachment {
  // PR_ATTACH_METHOD, names, MIME tag, content id, PR_ATTACH_DATA_BIN (method 1), ...
  // The writer computes PR_ATTACH_SIZE and fills PR_RENDERING_POSITION (-1) if absent.
  std::vector<Property> properties;
  // Set for PR_ATTACH_METHOD 5 (attached message); stored as PR_ATTACH_DATA_OBJ.
  std::unique_ptr<Message> embedded_message;
};

struct Message {
  // The logical properties of the message. The writer stores them as the format
  // requires: PR_SUBJECT gets its prefix header from PR_SUBJECT_PREFIX (which, like
  // PR_NORMALIZED_SUBJECT, is computed by the store and not written); PR_MESSAGE_SIZE
  // is computed from what is written; PR_ENTRYID, PR_RECORD_KEY, PR_HASATTACH and the
  // other store-computed properties are dropped. Named properties use the ids that
  // Store::named_property_id hands out.
  std::vector<Property> properties;
  std::vector<Recipient> recipients;
  std::vector<Attachment> attachments;
};

struct StoreOptions {
  std::u16string display_name;  // PR_DISPLAY_NAME of the message store
  // Automatic commits: whichever comes first, counted since the last commit.
  std::chrono::milliseconds commit_interval{5000};
  std::size_t commit_every_messages = 5000;
  // The store refuses (Error::Code::kTooLarge) to grow the file past this size.
  // The default is the size Outlook accepts by default for Unicode files.
  std::uint64_t max_file_size = 50ull * 1024 * 1024 * 1024;
  bool encode_blocks = true;  // compressible encoding of data blocks, as Outlook writes
  bool sync = true;           // fsync around every header write
};

struct FolderEntry {
  FolderId id = 0;
  std::u16string name;
};

struct StoreStatistics {
  std::uint64_t file_size = 0;
  std::uint64_t bytes_written = 0;  // everything written to the file so far
  std::uint64_t messages = 0;
  std::uint64_t folders = 0;
  std::uint64_t commits = 0;
  std::uint64_t blocks = 0;              // blocks in use (entries of the block index)
  std::uint64_t committed_messages = 0;  // messages the last commit on disk holds
};

class Store {
 public:
  // Creates the file exclusively (an existing path is Error::Code::kFileExists) and
  // commits an empty store: root folder, "Top of Personal Folders", "Deleted Items",
  // the search root and the nodes a new file needs.
  static Store create(const std::filesystem::path& path, StoreOptions options);

  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  ~Store();  // closes the store if close() was not called; errors are swallowed

  const std::u16string& display_name() const;
  std::array<std::uint8_t, 16> record_key() const;  // the store's PR_RECORD_KEY
  Bytes entry_id(std::uint32_t node_id) const;      // 24-byte ENTRYID of a folder or message

  FolderId root_folder() const;
  FolderId ipm_subtree() const;  // "Top of Personal Folders": user folders go below it
  FolderId deleted_items() const;
  FolderId search_root() const;

  // Creates a mail folder. A sibling whose name equals `name` ignoring letter case
  // is Error::Code::kDuplicateFolder.
  FolderId create_folder(FolderId parent, std::u16string_view name,
                         std::u16string_view container_class = u"IPF.Note");
  std::vector<FolderEntry> subfolders(FolderId parent) const;
  std::optional<FolderId> find_subfolder(FolderId parent, std::u16string_view name) const;
  std::u16string folder_name(FolderId folder) const;

  // The property id (0x8000 and up) of a named property, allocated on first use. Names in
  // PS_INTERNET_HEADERS are stored in lower case and match in any case.
  std::uint16_t named_property_id(const NamedPropertyKey& key);

  // Writes a message into `folder`. On an exception nothing of the message becomes
  // part of the store: none of its blocks stays allocated, and no node or row names it.
  // An object (message, recipient, attachment) holds one value per property id: of
  // several values given for one id, whatever their types, the last one is stored.
  // PR_SUBJECT, PR_SENDER_NAME, PR_BODY and PR_TRANSPORT_MESSAGE_HEADERS must then be
  // Unicode strings and PR_HTML text or binary (Error::Code::kInvalidArgument otherwise):
  // readers take them by id and fail on another type.
  MessageId add_message(FolderId folder, const Message& message);

  void commit();  // makes everything added so far durable
  void close();   // commits and closes the file; further calls raise kClosed
  bool is_open() const;

  StoreStatistics statistics() const;

  class Impl;

 private:
  explicit Store(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Name comparison without regard to letter case, as folder names are compared.
bool names_equal_ignoring_case(std::u16string_view a, std::u16string_view b);

}  // namespace larkfield::pst
