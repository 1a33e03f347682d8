// The store file of pst/messaging behind the mail store, and the importer of mime/.

#include "convert/mailstore/backend.hpp"

namespace larkfield::mailstore {
namespace {

class PstBackend final : public StoreBackend {
 public:
  explicit PstBackend(pst::Store store) : store_(std::move(store)) {}

  pst::FolderId ipm_subtree() const override { return store_.ipm_subtree(); }
  std::vector<pst::FolderEntry> subfolders(pst::FolderId parent) const override {
    return store_.subfolders(parent);
  }
  pst::FolderId create_folder(pst::FolderId parent, std::u16string_view name) override {
    return store_.create_folder(parent, name);
  }
  std::uint16_t named_property_id(const pst::NamedPropertyKey& key) override {
    return store_.named_property_id(key);
  }
  pst::MessageId add_message(pst::FolderId folder, const pst::Message& message) override {
    return store_.add_message(folder, message);
  }
  void commit() override { store_.commit(); }
  void close() override {
    if (store_.is_open()) store_.close();
  }
  pst::StoreStatistics statistics() const override { return store_.statistics(); }
  bool names_equal(std::u16string_view a, std::u16string_view b) const override {
    return pst::names_equal_ignoring_case(a, b);
  }

 private:
  pst::Store store_;
};

}  // namespace

BackendFactory PstBackendFactory() {
  return [](const std::filesystem::path& path,
            const pst::StoreOptions& options) -> std::unique_ptr<StoreBackend> {
    return std::make_unique<PstBackend>(pst::Store::create(path, options));
  };
}

Importer MimeImporter() {
  // Every import has its own GMime objects; the library is set up once, whichever thread
  // imports first.
  return Importer::ThreadSafe(
      [](const std::filesystem::path& path, const mime::ImportOptions& options) {
        return mime::import_file(path, options);
      });
}

}  // namespace larkfield::mailstore
