#include "convert/mailstore/mailstore.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "convert/mailstore/message_convert.hpp"

namespace larkfield::mailstore {

namespace detail {

struct StoreState {
  std::unique_ptr<StoreBackend> backend;
  std::u16string display_name;
  EntryId entry_id;
  Importer importer;
  mime::ImportOptions import_options;
  bool open = true;
  // The folder tree as far as it was looked at, kept here because every folder is made
  // through this session: one listing per folder instead of one per lookup.
  std::map<pst::FolderId, std::vector<pst::FolderEntry>> children;
  std::map<pst::FolderId, std::u16string> names;

  StoreBackend& Backend() {
    if (!open || !backend) throw Error(Error::Code::kClosed, "The store is closed");
    return *backend;
  }
  const std::vector<pst::FolderEntry>& Children(pst::FolderId parent);
};

struct SessionState {
  SessionOptions options;
  bool logged_on = false;
  std::vector<std::shared_ptr<StoreState>> stores;

  void RequireLogon() const {
    if (!logged_on) throw Error(Error::Code::kNotLoggedOn, "The session is not logged on");
  }
  std::shared_ptr<StoreState> StoreNamed(std::u16string_view name) const;
};

struct MessageState {
  std::shared_ptr<StoreState> store;
  pst::FolderId folder = 0;
  pst::Message message;
  bool written = false;
  bool changed = false;
  std::vector<std::string> warnings;
  bool stand_in = false;
  std::size_t visible_attachments = 0;
};

}  // namespace detail

namespace {

Error::Code Translate(pst::Error::Code code) {
  using C = pst::Error::Code;
  switch (code) {
    case C::kFileExists:
      return Error::Code::kFileExists;
    case C::kIo:
      return Error::Code::kIo;
    case C::kInvalidArgument:
    case C::kNestingTooDeep:
      return Error::Code::kInvalidArgument;
    case C::kDuplicateFolder:
      return Error::Code::kDuplicateFolder;
    case C::kNotFound:
      return Error::Code::kNotFound;
    case C::kTooLarge:
      return Error::Code::kTooLarge;
    case C::kClosed:
      return Error::Code::kClosed;
    case C::kCorrupt:
      break;
  }
  return Error::Code::kFailed;
}

// Runs one call into the store and raises its failures as Error.
template <class F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error&) {
    throw;
  } catch (const pst::Error& e) {
    throw Error(Translate(e.code()), e.what());
  } catch (const std::bad_alloc&) {
    throw Error(Error::Code::kFailed, "Out of memory");
  } catch (const std::exception& e) {
    throw Error(Error::Code::kFailed, e.what());
  }
}

// Case-insensitive comparison the way the mail client's namespace compares store names:
// letters A to Z and the Latin-1 capitals fold to small letters.
char16_t Fold(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  return c;
}
bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

std::vector<std::u16string_view> SplitAtBackslash(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = path.find(u'\\', start);
    parts.push_back(path.substr(start, at == std::u16string_view::npos ? at : at - start));
    if (at == std::u16string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

std::optional<pst::FolderId> FindChild(detail::StoreState& s, pst::FolderId parent,
                                       std::u16string_view name) {
  for (const pst::FolderEntry& e : s.Children(parent)) {
    if (s.Backend().names_equal(e.name, name)) return e.id;
  }
  return std::nullopt;
}

}  // namespace

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const std::vector<pst::FolderEntry>& detail::StoreState::Children(pst::FolderId parent) {
  auto it = children.find(parent);
  if (it == children.end()) {
    std::vector<pst::FolderEntry> list = Guarded([&] { return Backend().subfolders(parent); });
    for (const pst::FolderEntry& e : list) names[e.id] = e.name;
    it = children.emplace(parent, std::move(list)).first;
  }
  return it->second;
}

std::shared_ptr<detail::StoreState> detail::SessionState::StoreNamed(
    std::u16string_view name) const {
  RequireLogon();
  for (const auto& s : stores) {
    if (s->open && SameNameIgnoringCase(s->display_name, name)) return s;
  }
  throw Error(Error::Code::kNotFound, "No open store is named \"" + Utf8(name) + "\"");
}

// --- RDOMail -------------------------------------------------------------------------

void RDOMail::Import(const std::filesystem::path& path, std::int16_t type) {
  if (type != kRfc822Import) {
    throw Error(Error::Code::kInvalidArgument, "Unknown import type " + std::to_string(type));
  }
  detail::MessageState& m = *m_;
  if (m.written) throw Error(Error::Code::kAlreadySaved, "The message was already saved");
  detail::StoreState& store = *m.store;
  store.Backend();  // a closed store takes no message
  if (!store.importer) throw Error(Error::Code::kFailed, "No message importer");
  mime::ImportResult result;
  try {
    result = store.importer(path, store.import_options);
  } catch (const mime::ReadError& e) {
    throw Error(Error::Code::kUnreadable, e.what());
  } catch (const std::bad_alloc&) {
    throw Error(Error::Code::kFailed, "Out of memory while reading the message");
  } catch (const std::exception& e) {
    throw Error(Error::Code::kFailed, e.what());
  }
  const std::size_t visible = VisibleAttachments(result.message);
  pst::Message converted = Guarded([&] {
    return ToPstMessage(std::move(result.message), [&store](const pst::NamedPropertyKey& key) {
      return store.Backend().named_property_id(key);
    });
  });
  m.message = std::move(converted);
  m.warnings = std::move(result.warnings);
  m.stand_in = result.stand_in;
  m.visible_attachments = visible;
  m.changed = true;
}

void RDOMail::Save() {
  detail::MessageState& m = *m_;
  if (m.written) {
    if (m.changed) {
      throw Error(Error::Code::kAlreadySaved,
                  "The message was already written; a change after that cannot be saved");
    }
    return;
  }
  Guarded([&] { m.store->Backend().add_message(m.folder, m.message); });
  m.written = true;
  m.changed = false;
  m.message = pst::Message{};  // written; the memory goes back at once
}

const std::vector<std::string>& RDOMail::ImportWarnings() const { return m_->warnings; }
bool RDOMail::ImportedStandIn() const { return m_->stand_in; }
std::size_t RDOMail::VisibleAttachmentCount() const { return m_->visible_attachments; }
bool RDOMail::Saved() const { return m_->written; }

RDOMail RDOItems::Add(std::int16_t type) {
  if (type != kMailItemType) {
    throw Error(Error::Code::kInvalidArgument, "Unknown item type " + std::to_string(type));
  }
  s_->Backend();
  auto m = std::make_shared<detail::MessageState>();
  m->store = s_;
  m->folder = folder_;
  return RDOMail(std::move(m));
}

// --- folders -------------------------------------------------------------------------

std::u16string RDOFolder::Name() const {
  if (id_ == s_->Backend().ipm_subtree()) return s_->display_name;
  auto it = s_->names.find(id_);
  if (it == s_->names.end()) throw Error(Error::Code::kNotFound, "Unknown folder");
  return it->second;
}

RDOFolders RDOFolder::Folders() const { return RDOFolders(s_, id_); }

std::size_t RDOFolders::Count() const { return s_->Children(parent_).size(); }

std::vector<RDOFolder> RDOFolders::All() const {
  std::vector<RDOFolder> out;
  for (const pst::FolderEntry& e : s_->Children(parent_)) out.emplace_back(s_, e.id);
  return out;
}

RDOFolder RDOFolders::Item(std::u16string_view name) const {
  if (auto id = FindChild(*s_, parent_, name)) return RDOFolder(s_, *id);
  throw Error(Error::Code::kNotFound, "No folder named \"" + Utf8(name) + "\"");
}

RDOFolder RDOFolders::Add(std::u16string_view name, std::int16_t type) {
  if (type != kMailFolderType) {
    throw Error(Error::Code::kInvalidArgument, "Unknown folder type " + std::to_string(type));
  }
  if (name.empty()) throw Error(Error::Code::kInvalidArgument, "A folder needs a name");
  if (FindChild(*s_, parent_, name)) {
    throw Error(Error::Code::kDuplicateFolder,
                "A folder named \"" + Utf8(name) + "\" already exists there");
  }
  const pst::FolderId id = Guarded([&] { return s_->Backend().create_folder(parent_, name); });
  s_->children[parent_].push_back(pst::FolderEntry{id, std::u16string(name)});
  s_->names[id] = std::u16string(name);
  return RDOFolder(s_, id);
}

// --- stores --------------------------------------------------------------------------

EntryId RDOStore::EntryID() const { return s_->entry_id; }

RDOFolder RDOStore::IPMRootFolder() const {
  return RDOFolder(s_, Guarded([&] { return s_->Backend().ipm_subtree(); }));
}

std::u16string RDOStore::Name() const { return s_->display_name; }

void RDOStore::Commit() {
  Guarded([&] { s_->Backend().commit(); });
}

pst::StoreStatistics RDOStore::Statistics() const {
  if (!s_->backend) return {};
  return Guarded([&] { return s_->backend->statistics(); });
}

RDOStore RDOStores::AddPSTStore(const std::filesystem::path& path, std::int16_t format,
                                std::u16string_view display_name) {
  s_->RequireLogon();
  if (format != kUnicodePstFormat) {
    throw Error(Error::Code::kInvalidArgument, "Unknown store format " + std::to_string(format));
  }
  if (!s_->options.backend) throw Error(Error::Code::kFailed, "No store writer");
  pst::StoreOptions options = s_->options.store_options;
  options.display_name = std::u16string(display_name);
  auto state = std::make_shared<detail::StoreState>();
  state->backend = Guarded([&] { return s_->options.backend(path, options); });
  state->display_name = std::u16string(display_name);
  state->importer = s_->options.importer;
  state->import_options = s_->options.import_options;
  // The identifier: a marker, the store's record key and its place in the session.
  const auto key = Guarded([&] { return state->backend->record_key(); });
  state->entry_id.assign(4, std::byte{0});
  for (std::uint8_t b : key) state->entry_id.push_back(static_cast<std::byte>(b));
  const std::size_t index = s_->stores.size();
  for (int shift = 0; shift < 32; shift += 8) {
    state->entry_id.push_back(static_cast<std::byte>((index >> shift) & 0xFF));
  }
  s_->stores.push_back(state);
  return RDOStore(std::move(state));
}

RDOStore RDOStores::GetStoreFromID(const EntryId& id) const {
  s_->RequireLogon();
  for (const auto& s : s_->stores) {
    if (s->open && s->entry_id == id) return RDOStore(s);
  }
  throw Error(Error::Code::kNotFound, "No open store has that entry identifier");
}

std::size_t RDOStores::Count() const { return s_->stores.size(); }

// --- session -------------------------------------------------------------------------

RDOSession::RDOSession(SessionOptions options) : s_(std::make_shared<detail::SessionState>()) {
  s_->options = std::move(options);
}

RDOSession::~RDOSession() {
  try {
    Logoff();
  } catch (...) {
    // A destructor reports nothing; Logoff is where failures are seen.
  }
}

void RDOSession::Logon() { s_->logged_on = true; }

bool RDOSession::LoggedOn() const { return s_->logged_on; }

RDOStores RDOSession::Stores() const {
  s_->RequireLogon();
  return RDOStores(s_);
}

RDOFolder RDOSession::GetFolderFromPath(std::u16string_view path) const {
  s_->RequireLogon();
  if (path.substr(0, 2) != u"\\\\") {
    throw Error(Error::Code::kNotFound,
                "A folder path begins with two backslashes: \"" + Utf8(path) + "\"");
  }
  const std::vector<std::u16string_view> parts = SplitAtBackslash(path.substr(2));
  std::shared_ptr<detail::StoreState> store = s_->StoreNamed(parts.front());
  pst::FolderId folder = Guarded([&] { return store->Backend().ipm_subtree(); });
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].empty() && i + 1 == parts.size()) break;  // a trailing backslash
    auto child = FindChild(*store, folder, parts[i]);
    if (!child) throw Error(Error::Code::kNotFound, "No folder \"" + Utf8(path) + "\"");
    folder = *child;
  }
  return RDOFolder(std::move(store), folder);
}

void RDOSession::Logoff() {
  std::optional<Error> first;
  for (const auto& s : s_->stores) {
    if (!s->open) continue;
    s->open = false;
    try {
      Guarded([&] { s->backend->close(); });
    } catch (const Error& e) {
      if (!first) first = e;
    }
  }
  s_->logged_on = false;
  if (first) throw *first;
}

void MAPIUtils::HrSetOneProp(const MAPIObject& object, std::uint32_t tag, pst::PropValue value,
                             bool save) {
  detail::MessageState& m = *object.m_;
  if (m.written) throw Error(Error::Code::kAlreadySaved, "The message was already saved");
  auto& props = m.message.properties;
  auto it = std::find_if(props.begin(), props.end(),
                         [tag](const pst::Property& p) { return p.tag == tag; });
  if (it != props.end()) {
    it->value = std::move(value);
  } else {
    props.push_back(pst::Property{tag, std::move(value)});
  }
  m.changed = true;
  if (save) RDOMail(object.m_).Save();
}

// --- the mail client's object model ---------------------------------------------------

OutlookNameSpace OutlookApplication::GetNamespace(std::u16string_view type) const {
  if (!SameNameIgnoringCase(type, u"MAPI")) {
    throw Error(Error::Code::kInvalidArgument, "Unknown namespace \"" + Utf8(type) + "\"");
  }
  return OutlookNameSpace(s_);
}

OutlookExplorer OutlookApplication::ActiveExplorer() const { return OutlookExplorer(s_); }

RDOFolder OutlookNameSpace::Folders(std::u16string_view store_name) const {
  std::shared_ptr<detail::StoreState> store = s_->StoreNamed(store_name);
  return RDOFolder(store, Guarded([&] { return store->Backend().ipm_subtree(); }));
}

RDOFolder OutlookExplorer::CurrentFolder() const {
  s_->RequireLogon();
  for (const auto& s : s_->stores) {
    if (s->open) return RDOFolder(s, Guarded([&] { return s->Backend().ipm_subtree(); }));
  }
  throw Error(Error::Code::kNotFound, "No store is open");
}

}  // namespace larkfield::mailstore
