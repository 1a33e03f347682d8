#pragma once

// The mail-store operations the conversion run calls, as objects named after the
// operations of the mail store it was designed for: a session with its stores, folders,
// items and messages, the utility object that sets one property, and the mail client's
// folder lookup by name. All of them work on PST files written by pst/messaging, and a
// message is filled by the importer of mime/.
//
// The objects are handles: copies refer to the same store, folder or message. A failing
// operation raises Error. Folder names are compared without regard to letter case, as
// the store compares them. A message reaches the file once, at its first save; saving
// it again without a change does nothing.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/mailstore/backend.hpp"
#include "convert/mailstore/error.hpp"

namespace larkfield::mailstore {

// UTF-16 to UTF-8, unpaired surrogates as U+FFFD (for messages and logs).
std::string Utf8(std::u16string_view text);

namespace detail {
struct SessionState;
struct StoreState;
struct MessageState;
}  // namespace detail

using EntryId = std::vector<std::byte>;

// Type codes of the operations.
inline constexpr std::int16_t kUnicodePstFormat = 1;  // AddPSTStore: a Unicode PST
inline constexpr std::int16_t kMailFolderType = 6;    // folder Add: a folder of mail items
inline constexpr std::int16_t kMailItemType = 0;      // Items Add: a mail message
inline constexpr std::int16_t kRfc822Import = 1024;   // Import: an RFC 822 (MIME) file

struct SessionOptions {
  BackendFactory backend;
  Importer importer;
  mime::ImportOptions import_options;
  // For every store the session adds; the display name is the one AddPSTStore gets.
  pst::StoreOptions store_options;
};

class RDOFolder;
class RDOFolders;
class RDOItems;
class RDOMail;

// A message's underlying object, as the utility object takes it.
class MAPIObject {
 public:
  explicit MAPIObject(std::shared_ptr<detail::MessageState> m) : m_(std::move(m)) {}

 private:
  friend class MAPIUtils;
  std::shared_ptr<detail::MessageState> m_;
};

class RDOMail {
 public:
  explicit RDOMail(std::shared_ptr<detail::MessageState> m) : m_(std::move(m)) {}

  // Fills the message from a message file; the file is read once and never changed.
  // Type must be kRfc822Import. A file that cannot be read at all is kUnreadable and
  // leaves the message as it was.
  void Import(const std::filesystem::path& path, std::int16_t type);
  MAPIObject MAPIOBJECT() const { return MAPIObject(m_); }
  // Writes the message into its folder, the first time; later calls without a change
  // do nothing.
  void Save();

  // What the last import found.
  const std::vector<std::string>& ImportWarnings() const;
  bool ImportedStandIn() const;  // the file could not be parsed; it is attached whole
  std::size_t VisibleAttachmentCount() const;
  bool Saved() const;

 private:
  std::shared_ptr<detail::MessageState> m_;
};

class RDOItems {
 public:
  RDOItems(std::shared_ptr<detail::StoreState> s, pst::FolderId folder)
      : s_(std::move(s)), folder_(folder) {}
  // A new, unsaved message in the folder. Type must be kMailItemType.
  RDOMail Add(std::int16_t type);

 private:
  std::shared_ptr<detail::StoreState> s_;
  pst::FolderId folder_;
};

class RDOFolder {
 public:
  RDOFolder(std::shared_ptr<detail::StoreState> s, pst::FolderId id) : s_(std::move(s)), id_(id) {}
  std::u16string Name() const;
  RDOFolders Folders() const;
  RDOItems Items() const { return RDOItems(s_, id_); }
  pst::FolderId id() const noexcept { return id_; }

 private:
  std::shared_ptr<detail::StoreState> s_;
  pst::FolderId id_;
};

// The subfolders of one folder, in the order they were created.
class RDOFolders {
 public:
  RDOFolders(std::shared_ptr<detail::StoreState> s, pst::FolderId parent)
      : s_(std::move(s)), parent_(parent) {}
  std::size_t Count() const;
  std::vector<RDOFolder> All() const;
  // The subfolder of that name, ignoring letter case; kNotFound when there is none.
  RDOFolder Item(std::u16string_view name) const;
  // A new mail folder; type must be kMailFolderType. A sibling of the same name,
  // ignoring letter case, is kDuplicateFolder.
  RDOFolder Add(std::u16string_view name, std::int16_t type);

 private:
  std::shared_ptr<detail::StoreState> s_;
  pst::FolderId parent_;
};

class RDOStore {
 public:
  explicit RDOStore(std::shared_ptr<detail::StoreState> s) : s_(std::move(s)) {}
  EntryId EntryID() const;
  RDOFolder IPMRootFolder() const;
  std::u16string Name() const;
  // Beyond the operations: makes everything written so far durable, and what the file
  // holds.
  void Commit();
  pst::StoreStatistics Statistics() const;

 private:
  std::shared_ptr<detail::StoreState> s_;
};

class RDOStores {
 public:
  explicit RDOStores(std::shared_ptr<detail::SessionState> s) : s_(std::move(s)) {}
  // Creates the PST file (never over an existing one: kFileExists) and opens it as a
  // store under the display name. Format must be kUnicodePstFormat.
  RDOStore AddPSTStore(const std::filesystem::path& path, std::int16_t format,
                       std::u16string_view display_name);
  RDOStore GetStoreFromID(const EntryId& id) const;
  std::size_t Count() const;

 private:
  std::shared_ptr<detail::SessionState> s_;
};

class RDOSession {
 public:
  explicit RDOSession(SessionOptions options);
  ~RDOSession();  // closes what Logoff did not; errors are swallowed
  RDOSession(const RDOSession&) = delete;
  RDOSession& operator=(const RDOSession&) = delete;

  void Logon();
  RDOStores Stores() const;
  // "\\" + store display name + "\" + folder path, the names compared ignoring case.
  RDOFolder GetFolderFromPath(std::u16string_view path) const;
  // Commits and closes every store. The first failure is raised after all were tried.
  void Logoff();
  bool LoggedOn() const;

 private:
  friend class OutlookApplication;
  std::shared_ptr<detail::SessionState> s_;
};

class MAPIUtils {
 public:
  // Sets one property of the message (replacing a value of the same tag) and, with
  // `save`, saves the message.
  void HrSetOneProp(const MAPIObject& object, std::uint32_t tag, pst::PropValue value, bool save);
};

// The mail client's view of the same stores: a namespace whose folders are the stores'
// top folders by display name, and the folder of the active window.
class OutlookNameSpace {
 public:
  explicit OutlookNameSpace(std::shared_ptr<detail::SessionState> s) : s_(std::move(s)) {}
  // The top folder (the one IPMRootFolder gives) of the store of that display name.
  RDOFolder Folders(std::u16string_view store_name) const;

 private:
  std::shared_ptr<detail::SessionState> s_;
};

class OutlookExplorer {
 public:
  explicit OutlookExplorer(std::shared_ptr<detail::SessionState> s) : s_(std::move(s)) {}
  // The top folder of the first store the session opened.
  RDOFolder CurrentFolder() const;

 private:
  std::shared_ptr<detail::SessionState> s_;
};

class OutlookApplication {
 public:
  explicit OutlookApplication(const RDOSession& session) : s_(session.s_) {}
  // Only "MAPI" (any letter case) is a namespace.
  OutlookNameSpace GetNamespace(std::u16string_view type) const;
  OutlookExplorer ActiveExplorer() const;

 private:
  std::shared_ptr<detail::SessionState> s_;
};

}  // namespace larkfield::mailstore
