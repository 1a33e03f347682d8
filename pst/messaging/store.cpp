#include "pst/messaging/store.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "pst/ltp/property_context.hpp"
#include "pst/ltp/table_context.hpp"
#include "pst/messaging/layout.hpp"
#include "pst/messaging/message_writer.hpp"
#include "pst/messaging/name_map.hpp"
#include "pst/messaging/text.hpp"

namespace larkfield::pst {

using messaging::NameMap;
using ndb::Nid;
using ndb::NidType;
namespace tag = layout::tag;

namespace {

std::vector<PropTag> columns_of(std::span<const PropTag> tags) {
  return std::vector<PropTag>(tags.begin(), tags.end());
}

std::array<std::uint8_t, 16> random_record_key() {
  std::random_device rd;
  std::array<std::uint8_t, 16> key{};
  for (std::size_t i = 0; i < key.size(); i += 4) {
    const std::uint32_t v = rd();
    for (std::size_t k = 0; k < 4; ++k) key[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  key[6] = static_cast<std::uint8_t>((key[6] & 0x0F) | 0x40);  // a version 4 UUID
  key[8] = static_cast<std::uint8_t>((key[8] & 0x3F) | 0x80);
  return key;
}

}  // namespace

// One folder: its properties, its place in the tree and its three tables. The folder's
// PC and the tables are written at commit, when they changed since the last one.
struct Folder {
  FolderId nid = 0;
  FolderId parent = 0;
  std::u16string name;
  std::u16string container_class;
  bool search = false;  // a search folder: a search contents table instead of the three
  std::vector<FolderId> children;
  std::uint64_t content_count = 0;
  std::uint64_t content_unread = 0;
  std::unique_ptr<ltp::TableWriter> hierarchy, contents, assoc;
  std::vector<PropTag> contents_columns;  // sorted, for picking a message's row values
  ltp::NodeData pc;                       // what the folder's node points at now
  bool pc_dirty = true;
  bool hierarchy_dirty = true, contents_dirty = true, assoc_dirty = true;
  bool pc_listed = false, tables_listed = false;  // on the store's lists of dirty folders
};

class Store::Impl {
 public:
  Impl(ndb::Database db, StoreOptions options)
      : db_(std::move(db)),
        options_(std::move(options)),
        record_key_(random_record_key()),
        writer_(db_, record_key_),
        last_commit_(std::chrono::steady_clock::now()) {}

  // ---- creation ----

  void build_new_store() {
    for (Nid nid : {layout::kIpmSubtree, layout::kSearchRoot, layout::kDeletedItems}) {
      reserve_folder_nids(nid);
    }
    for (Nid nid : {layout::kSpamSearchFolder, layout::kSpamSearchUpdateQueue,
                    layout::kSpamSearchCriteria, layout::kSpamSearchContents}) {
      db_.reserve_nid(nid);
    }

    write_table_node(layout::kHierarchyTemplate, columns_of(layout::kHierarchyColumns));
    write_table_node(layout::kContentsTemplate, columns_of(layout::kContentsColumns));
    write_table_node(layout::kAssocContentsTemplate, columns_of(layout::kAssocContentsColumns));
    write_table_node(layout::kSearchContentsTemplate, columns_of(layout::kSearchContentsColumns));
    write_table_node(layout::kAttachmentTemplate, columns_of(layout::kAttachmentColumns));
    write_table_node(layout::kRecipientTemplate, columns_of(layout::kRecipientColumns));
    write_table_node(layout::kChangeHistoryTemplate, columns_of(layout::kChangeHistoryColumns));
    write_table_node(layout::kTombstoneTemplate, columns_of(layout::kTombstoneColumns));
    write_table_node(layout::kTombstoneDateTemplate, columns_of(layout::kTombstoneDateColumns));
    write_table_node(layout::kOutgoingQueueTable, columns_of(layout::kOutgoingQueueColumns));
    {
      // Messages of every class are received into the root folder until a client
      // chooses an inbox. The row's id is 1, as in Outlook's files.
      std::vector<Property> row = {{tag::kReceiveMessageClass, std::u16string()},
                                   {tag::kReceiveFolderNid, std::int32_t(layout::kRootFolder)},
                                   {tag::kLtpRowVer, std::int32_t(next_row_version())}};
      write_table_node(layout::kReceiveFolderTable, columns_of(layout::kReceiveFolderColumns), 1,
                       row);
    }

    // Search bookkeeping: an empty queue, the activity list naming the spam search
    // folder, an empty search domain.
    db_.put_node({layout::kSearchManagementQueue, 0, 0, 0});
    {
      std::array<std::byte, 4> sal{};
      for (int i = 0; i < 4; ++i) {
        sal[static_cast<std::size_t>(i)] =
            static_cast<std::byte>(layout::kSpamSearchFolder >> (8 * i));
      }
      db_.put_node({layout::kSearchActivityList, db_.write_block(sal), 0, 0});
    }
    db_.put_node({layout::kSearchDomainObject, 0, 0, 0});
    db_.put_node({layout::kSpamSearchUpdateQueue, 0, 0, 0});
    {
      ltp::PropertyContextWriter pc(db_);
      pc.set({tag::kSearchCriteriaFlags, std::int32_t(0)});
      ltp::NodeData d = pc.finish();
      db_.put_node({layout::kSpamSearchCriteria, d.data, d.subnodes, 0});
    }
    write_table_node(layout::kSpamSearchContents, columns_of(layout::kSearchContentsColumns));

    write_store_pc();
    // libpff refuses a map without entries, so a new store names the properties of
    // PSETID_Common that Internet mail uses, as Outlook's own new files do among others.
    static constexpr Guid kPsetidCommon{{0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    for (std::uint32_t lid : {0x8580u, 0x8581u, 0x8582u, 0x8514u}) {
      names_.id_for(NamedPropertyKey{kPsetidCommon, lid});
    }
    // And one string name, as Outlook's new files hold "content-class": readers that
    // learned from them (pst-extractor) cannot read an empty string stream.
    static constexpr Guid kPsInternetHeaders{{0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    names_.id_for(NamedPropertyKey{kPsInternetHeaders, u"content-class"});

    add_folder_record(layout::kRootFolder, layout::kRootFolder, u"", u"", false);
    add_folder_record(layout::kIpmSubtree, layout::kRootFolder, u"Top of Personal Folders", u"",
                      false);
    add_folder_record(layout::kSearchRoot, layout::kRootFolder, u"Search Root", u"", false);
    add_folder_record(layout::kSpamSearchFolder, layout::kRootFolder, u"SPAM Search Folder 2", u"",
                      true);
    add_folder_record(layout::kDeletedItems, layout::kIpmSubtree, u"Deleted Items", u"", false);
    commit();
  }

  // ---- queries ----

  const std::u16string& display_name() const { return options_.display_name; }
  std::array<std::uint8_t, 16> record_key() const { return record_key_; }
  Bytes entry_id(std::uint32_t nid) const { return writer_.entry_id(nid); }

  const Folder& folder(FolderId id) const {
    auto it = folders_.find(id);
    if (it == folders_.end()) {
      throw Error(Error::Code::kNotFound, "no folder with node id " + std::to_string(id));
    }
    return *it->second;
  }
  Folder& folder(FolderId id) { return const_cast<Folder&>(std::as_const(*this).folder(id)); }

  std::vector<FolderEntry> subfolders(FolderId parent) const {
    std::vector<FolderEntry> out;
    for (FolderId c : folder(parent).children) out.push_back({c, folder(c).name});
    return out;
  }

  std::optional<FolderId> find_subfolder(FolderId parent, std::u16string_view name) const {
    for (FolderId c : folder(parent).children) {
      if (names_equal_ignoring_case(folder(c).name, name)) return c;
    }
    return std::nullopt;
  }

  // ---- changes ----

  FolderId create_folder(FolderId parent, std::u16string_view name,
                         std::u16string_view container_class) {
    check_open();
    Folder& p = folder(parent);
    if (p.search) {
      throw Error(Error::Code::kInvalidArgument, "a search folder holds no subfolders");
    }
    if (name.empty()) throw Error(Error::Code::kInvalidArgument, "a folder name is empty");
    if (find_subfolder(parent, name)) {
      throw Error(Error::Code::kDuplicateFolder,
                  "a folder of that name (ignoring case) already exists there");
    }
    commit_if_due();
    const Nid nid = db_.allocate_nid(NidType::kNormalFolder);
    reserve_folder_nids(nid);
    add_folder_record(nid, parent, name, container_class, false);
    ++folders_created_;
    return nid;
  }

  std::uint16_t named_property_id(const NamedPropertyKey& key) {
    check_open();
    return names_.id_for(key);
  }

  MessageId add_message(FolderId folder_id, const Message& message) {
    check_open();
    Folder& f = folder(folder_id);
    if (f.search || folder_id == layout::kRootFolder) {
      throw Error(Error::Code::kInvalidArgument, "messages go into a mail folder");
    }
    commit_if_due();
    const Nid nid = db_.allocate_nid(NidType::kNormalMessage);
    // Every block written from here on is the message's: a refusal gives back whatever
    // of it is still allocated, however far the writing got.
    const ndb::Bid mark = db_.block_mark();
    bool in_nbt = false;
    bool unread = false;
    try {
      messaging::WrittenMessage w = writer_.write(message, 0);
      db_.put_node({nid, w.node.data, w.node.subnodes, folder_id});
      in_nbt = true;
      std::vector<Property> row;
      row.reserve(f.contents_columns.size());
      for (auto& p : w.row_values) {
        if (std::binary_search(f.contents_columns.begin(), f.contents_columns.end(), p.tag)) {
          row.push_back(std::move(p));
        }
      }
      row.push_back({tag::kLtpRowId, std::int32_t(nid)});
      row.push_back({tag::kLtpRowVer, std::int32_t(next_row_version())});
      f.contents->set_row(nid, row);
      unread = !(w.flags & layout::kMsgFlagRead);
    } catch (...) {
      try {
        if (in_nbt) db_.remove_node(nid);
        db_.discard_blocks_since(mark);
      } catch (...) {  // the database failed: the last commit is what the file holds
      }
      throw;
    }
    ++f.content_count;
    if (unread) ++f.content_unread;
    f.contents_dirty = true;
    mark_tables_dirty(f);
    mark_pc_dirty(f);
    ++messages_;
    ++messages_since_commit_;
    return nid;
  }

  void commit() {
    check_open();
    // Folder PCs first: their values feed the parents' hierarchy rows.
    for (FolderId id : dirty_pcs_) {
      Folder& f = folder(id);
      f.pc_dirty = false;
      f.pc_listed = false;
      std::vector<Property> props = folder_properties(f);
      ltp::PropertyContextWriter pc(db_);
      for (const auto& p : props) pc.set(p);
      ltp::NodeData d = pc.finish();
      const ltp::NodeData old = std::exchange(f.pc, d);
      db_.put_node({f.nid, d.data, d.subnodes, f.parent});
      if (old.data != 0) ltp::release(db_, old);
      if (f.parent != f.nid) {
        Folder& parent = folder(f.parent);
        props.push_back({tag::kLtpRowId, std::int32_t(f.nid)});
        props.push_back({tag::kLtpRowVer, std::int32_t(next_row_version())});
        parent.hierarchy->set_row(f.nid, props);
        parent.hierarchy_dirty = true;
        mark_tables_dirty(parent);
      }
    }
    dirty_pcs_.clear();
    for (FolderId id : dirty_tables_) {
      Folder& f = folder(id);
      if (f.search) continue;
      if (f.hierarchy_dirty) put_table(layout::hierarchy_table_of(f.nid), *f.hierarchy);
      if (f.contents_dirty) put_table(layout::contents_table_of(f.nid), *f.contents);
      if (f.assoc_dirty) put_table(layout::assoc_table_of(f.nid), *f.assoc);
      f.hierarchy_dirty = f.contents_dirty = f.assoc_dirty = false;
      f.tables_listed = false;
    }
    dirty_tables_.clear();
    if (names_.dirty()) {
      ltp::PropertyContextWriter pc(db_);
      for (const auto& p : names_.properties()) pc.set(p);
      ltp::NodeData d = pc.finish();
      const ltp::NodeData old = std::exchange(name_map_, d);
      db_.put_node({layout::kNameToIdMap, d.data, d.subnodes, 0});
      if (old.data != 0) ltp::release(db_, old);
      names_.mark_clean();
    }
    db_.commit();
    ++commits_;
    committed_messages_ = messages_;
    messages_since_commit_ = 0;
    last_commit_ = std::chrono::steady_clock::now();
  }

  void close() {
    if (!db_.is_open()) throw Error(Error::Code::kClosed, "the store is closed");
    std::exception_ptr failure;
    try {
      commit();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      db_.close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
  }

  bool is_open() const { return db_.is_open(); }
  void renamed(const std::filesystem::path& path) { db_.renamed(path); }

  StoreStatistics statistics() const {
    const ndb::DatabaseStatistics s = db_.statistics();
    return {s.file_size, s.bytes_written, messages_,          folders_created_,
            commits_,    s.blocks,        committed_messages_};
  }

 private:
  void check_open() const {
    if (!db_.is_open()) throw Error(Error::Code::kClosed, "the store is closed");
  }

  void commit_if_due() {
    if (messages_since_commit_ == 0 && dirty_pcs_.empty()) return;
    const bool by_count = options_.commit_every_messages != 0 &&
                          messages_since_commit_ >= options_.commit_every_messages;
    const bool by_time =
        options_.commit_interval.count() > 0 &&
        std::chrono::steady_clock::now() - last_commit_ >= options_.commit_interval;
    if (by_count || by_time) commit();
  }

  std::uint32_t next_row_version() { return ++row_version_; }

  // A folder's PC, hierarchy, contents and associated tables share one index.
  void reserve_folder_nids(Nid folder) {
    db_.reserve_nid(folder);
    db_.reserve_nid(layout::hierarchy_table_of(folder));
    db_.reserve_nid(layout::contents_table_of(folder));
    db_.reserve_nid(layout::assoc_table_of(folder));
  }

  void write_table_node(Nid nid, std::vector<PropTag> columns, std::uint32_t row_id = 0,
                        std::span<const Property> row = {}) {
    ltp::TableWriter t(db_, std::move(columns));
    if (!row.empty()) t.set_row(row_id, row);
    ltp::NodeData d = t.flush();
    db_.put_node({nid, d.data, d.subnodes, 0});
  }

  void put_table(Nid nid, ltp::TableWriter& table) {
    ltp::NodeData d = table.flush();
    db_.put_node({nid, d.data, d.subnodes, 0});
  }

  void write_store_pc() {
    ltp::PropertyContextWriter pc(db_);
    Bytes key(record_key_.size());
    std::transform(record_key_.begin(), record_key_.end(), key.begin(),
                   [](std::uint8_t b) { return std::byte{b}; });
    pc.set({tag::kRecordKey, key});
    pc.set({tag::kDisplayName, options_.display_name});
    pc.set({tag::kIpmSubtreeEntryId, entry_id(layout::kIpmSubtree)});
    pc.set({tag::kIpmWastebasketEntryId, entry_id(layout::kDeletedItems)});
    pc.set({tag::kFinderEntryId, entry_id(layout::kSearchRoot)});
    // Subtree, wastebasket and finder are valid.
    pc.set({tag::kValidFolderMask, std::int32_t(0x89)});
    pc.set({tag::kPstPassword, std::int32_t(0)});
    // What Outlook writes into every new store besides: the replica's version history
    // (version 1 of a replica id of its own), no replication flags, and the two markers
    // of the PST provider's format level (values of current Outlook versions).
    Bytes history(24, std::byte{0});
    history[0] = std::byte{1};
    history[20] = std::byte{1};
    const std::array<std::uint8_t, 16> replica = random_record_key();
    std::transform(replica.begin(), replica.end(), history.begin() + 4,
                   [](std::uint8_t b) { return std::byte{b}; });
    pc.set({tag::kReplVersionHistory, std::move(history)});
    pc.set({tag::kReplFlags, std::int32_t(0)});
    pc.set({tag::kPstLrNoRestrictions, true});
    pc.set({tag::kPstLatestEnsure, std::int32_t(0x000E0011)});
    ltp::NodeData d = pc.finish();
    db_.put_node({layout::kMessageStore, d.data, d.subnodes, 0});
  }

  void add_folder_record(Nid nid, FolderId parent, std::u16string_view name,
                         std::u16string_view container_class, bool search) {
    auto f = std::make_unique<Folder>();
    f->nid = nid;
    f->parent = parent;
    f->name = std::u16string(name);
    f->container_class = std::u16string(container_class);
    f->search = search;
    if (!search) {
      f->hierarchy = std::make_unique<ltp::TableWriter>(db_, columns_of(layout::kHierarchyColumns));
      f->contents = std::make_unique<ltp::TableWriter>(db_, columns_of(layout::kContentsColumns));
      f->assoc = std::make_unique<ltp::TableWriter>(db_, columns_of(layout::kAssocContentsColumns));
      f->contents_columns = f->contents->columns();
      std::sort(f->contents_columns.begin(), f->contents_columns.end());
    }
    Folder& ref = *f;
    folders_.emplace(nid, std::move(f));
    if (parent != nid) {
      Folder& p = folder(parent);
      const bool had_children = !p.children.empty();
      p.children.push_back(nid);
      if (!had_children) mark_pc_dirty(p);
    }
    mark_pc_dirty(ref);
    if (!search) mark_tables_dirty(ref);
  }

  std::vector<Property> folder_properties(const Folder& f) const {
    std::vector<Property> props;
    props.push_back({tag::kDisplayName, f.name});
    props.push_back({tag::kContentCount, clamp32(f.content_count)});
    props.push_back({tag::kContentUnread, clamp32(f.content_unread)});
    props.push_back({tag::kSubfolders, !f.children.empty()});
    if (!f.container_class.empty()) props.push_back({tag::kContainerClass, f.container_class});
    return props;
  }

  static std::int32_t clamp32(std::uint64_t v) {
    return static_cast<std::int32_t>(std::min<std::uint64_t>(v, 0x7FFFFFFF));
  }

  void mark_pc_dirty(Folder& f) {
    f.pc_dirty = true;
    if (!f.pc_listed) {
      dirty_pcs_.push_back(f.nid);
      f.pc_listed = true;
    }
  }
  void mark_tables_dirty(Folder& f) {
    if (f.tables_listed) return;
    dirty_tables_.push_back(f.nid);
    f.tables_listed = true;
  }

  ndb::Database db_;
  StoreOptions options_;
  std::array<std::uint8_t, 16> record_key_;
  messaging::MessageWriter writer_;
  NameMap names_;
  ltp::NodeData name_map_;
  std::unordered_map<FolderId, std::unique_ptr<Folder>> folders_;
  std::vector<FolderId> dirty_pcs_, dirty_tables_;
  std::uint32_t row_version_ = 0;
  std::uint64_t messages_ = 0, messages_since_commit_ = 0, folders_created_ = 0, commits_ = 0;
  std::uint64_t committed_messages_ = 0;
  std::chrono::steady_clock::time_point last_commit_;
};

// ---- Store ----

namespace {

// Gives the finished file `temp` its final name `path` without ever replacing a file
// there: a hard link where the file system has them, else a rename that refuses to
// replace.
void publish_new_file(const std::filesystem::path& temp, const std::filesystem::path& path) {
  int rc = ::link(temp.c_str(), path.c_str());
  if (rc == 0) {
    ::unlink(temp.c_str());
    return;
  }
  int err = errno;
  if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EXDEV) {
    rc = static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(),
                                    1 /* RENAME_NOREPLACE */));
    if (rc == 0) return;
    err = errno;
  }
  if (err == EEXIST) {
    throw Error(Error::Code::kFileExists, "the file " + path.string() + " already exists");
  }
  throw Error(Error::Code::kIo,
              "cannot name the new file " + path.string() + ": " + std::strerror(err));
}

// The suffix of the temporary name a store is written under until it is published.
constexpr std::string_view kPartialSuffix = ".partial-";

// Removes what killed writers left in `folder`: regular files named "<name>.pst.partial-<pid>"
// whose process no longer runs. A file of a live process (or of a process id the system
// now gives to another program) stays, and so does every other name.
void remove_stale_partial_files(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::size_t at = name.rfind(kPartialSuffix);
    if (at == std::string::npos || at < 4 || name.compare(at - 4, 4, ".pst") != 0) continue;
    const std::string_view digits = std::string_view(name).substr(at + kPartialSuffix.size());
    if (digits.empty() || digits.size() > 9 || digits.front() == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(digits)));
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::error_code entry_ec;
    if (!it->is_regular_file(entry_ec) || it->is_symlink(entry_ec)) continue;
    std::filesystem::remove(it->path(), entry_ec);
  }
}

}  // namespace

Store Store::create(const std::filesystem::path& path, StoreOptions options) {
  ndb::DatabaseOptions db_options;
  db_options.encode_blocks = options.encode_blocks;
  db_options.sync = options.sync;
  db_options.max_file_size = options.max_file_size;
  // The file appears under its name only once it holds a committed empty store, so a
  // process killed while creating it never leaves a file at `path` that readers cannot
  // open. It is written under a temporary name beside `path` and then linked to `path`;
  // the link fails, leaving `path` untouched, if the name was taken meanwhile.
  std::error_code ec;
  if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
    throw Error(Error::Code::kFileExists, "the file " + path.string() + " already exists");
  }
  remove_stale_partial_files(path.parent_path());
  std::filesystem::path temp = path;
  temp += std::string(kPartialSuffix) + std::to_string(::getpid());
  ndb::Database db = ndb::Database::create(temp, db_options);
  auto impl = std::make_unique<Impl>(std::move(db), std::move(options));
  try {
    impl->build_new_store();
    publish_new_file(temp, path);
    impl->renamed(path);
  } catch (...) {
    impl.reset();
    std::filesystem::remove(temp, ec);
    throw;
  }
  return Store(std::move(impl));
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() {
  if (impl_ && impl_->is_open()) {
    try {
      impl_->close();
    } catch (...) {  // a destructor does not throw; the file holds the last commit
    }
  }
}

const std::u16string& Store::display_name() const { return impl_->display_name(); }
std::array<std::uint8_t, 16> Store::record_key() const { return impl_->record_key(); }
Bytes Store::entry_id(std::uint32_t node_id) const { return impl_->entry_id(node_id); }
FolderId Store::root_folder() const { return layout::kRootFolder; }
FolderId Store::ipm_subtree() const { return layout::kIpmSubtree; }
FolderId Store::deleted_items() const { return layout::kDeletedItems; }
FolderId Store::search_root() const { return layout::kSearchRoot; }

FolderId Store::create_folder(FolderId parent, std::u16string_view name,
                              std::u16string_view container_class) {
  return impl_->create_folder(parent, name, container_class);
}
std::vector<FolderEntry> Store::subfolders(FolderId parent) const {
  return impl_->subfolders(parent);
}
std::optional<FolderId> Store::find_subfolder(FolderId parent, std::u16string_view name) const {
  return impl_->find_subfolder(parent, name);
}
std::u16string Store::folder_name(FolderId folder) const { return impl_->folder(folder).name; }
std::uint16_t Store::named_property_id(const NamedPropertyKey& key) {
  return impl_->named_property_id(key);
}
MessageId Store::add_message(FolderId folder, const Message& message) {
  return impl_->add_message(folder, message);
}
void Store::commit() { impl_->commit(); }
void Store::close() { impl_->close(); }
bool Store::is_open() const { return impl_ && impl_->is_open(); }
StoreStatistics Store::statistics() const { return impl_->statistics(); }

}  // namespace larkfield::pst
