#include "convert/mailstore/mail_store.hpp"

#include <utility>

#include "convert/mailstore/message_convert.hpp"

namespace larkfield::mailstore {
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

// Runs one call into the store and raises its failures as Error. A message file that
// can no longer be read while its data are written (mime::ReadError from a streamed
// attachment) is that message's failure, not the store's.
template <class F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error&) {
    throw;
  } catch (const pst::Error& e) {
    throw Error(Translate(e.code()), e.what());
  } catch (const mime::ReadError& e) {
    throw Error(Error::Code::kUnreadable, e.what());
  } catch (const std::bad_alloc&) {
    throw Error(Error::Code::kFailed, "Out of memory");
  } catch (const std::exception& e) {
    throw Error(Error::Code::kFailed, e.what());
  }
}

}  // namespace

MailStore::MailStore(std::unique_ptr<StoreBackend> backend, std::filesystem::path path,
                     std::u16string display_name)
    : backend_(std::move(backend)),
      path_(std::move(path)),
      display_name_(std::move(display_name)) {}

MailStore::MailStore(MailStore&&) noexcept = default;
MailStore& MailStore::operator=(MailStore&&) noexcept = default;

MailStore::~MailStore() {
  try {
    Close();
  } catch (...) {
    // A destructor reports nothing; Close is where failures are seen.
  }
}

MailStore MailStore::Create(const BackendFactory& backend, const std::filesystem::path& path,
                            std::u16string_view display_name, pst::StoreOptions options) {
  if (!backend) throw Error(Error::Code::kFailed, "No store writer");
  options.display_name = std::u16string(display_name);
  std::unique_ptr<StoreBackend> b = Guarded([&] { return backend(path, options); });
  if (!b) throw Error(Error::Code::kFailed, "The store writer made no store");
  return MailStore(std::move(b), path, std::u16string(display_name));
}

StoreBackend& MailStore::Backend() const {
  if (!backend_) throw Error(Error::Code::kClosed, "The store is closed");
  return *backend_;
}

FolderId MailStore::root() const {
  return Guarded([&] { return Backend().ipm_subtree(); });
}

std::vector<pst::FolderEntry>& MailStore::Children(FolderId parent) {
  auto it = children_.find(parent);
  if (it == children_.end()) {
    std::vector<pst::FolderEntry> list = Guarded([&] { return Backend().subfolders(parent); });
    it = children_.emplace(parent, std::move(list)).first;
  }
  return it->second;
}

FolderId MailStore::EnsureFolder(FolderId parent, std::u16string_view name) {
  if (name.empty()) throw Error(Error::Code::kInvalidArgument, "A folder needs a name");
  StoreBackend& b = Backend();
  std::vector<pst::FolderEntry>& siblings = Children(parent);
  for (const pst::FolderEntry& e : siblings) {
    if (b.names_equal(e.name, name)) return e.id;
  }
  const FolderId id = Guarded([&] { return b.create_folder(parent, name); });
  siblings.push_back(pst::FolderEntry{id, std::u16string(name)});
  children_.emplace(id, std::vector<pst::FolderEntry>{});  // a new folder has no subfolders
  return id;
}

void MailStore::AddMessage(FolderId folder, mime::ImportResult&& imported) {
  StoreBackend& b = Backend();
  Guarded([&] {
    const pst::Message message =
        StoreMessage(std::move(imported),
                     [&b](const pst::NamedPropertyKey& key) { return b.named_property_id(key); });
    b.add_message(folder, message);
  });
}

void MailStore::Commit() {
  Guarded([&] { Backend().commit(); });
}

void MailStore::Close() {
  if (!backend_) return;
  // Closed whatever happens: a store whose close failed takes nothing more.
  std::unique_ptr<StoreBackend> b = std::move(backend_);
  Guarded([&] { b->close(); });
}

pst::StoreStatistics MailStore::Statistics() const {
  if (!backend_) return {};
  return Guarded([&] { return backend_->statistics(); });
}

}  // namespace larkfield::mailstore
