// Stands in for the PST writer and the importer in a build that has neither.

#include "convert/mailstore/backend.hpp"
#include "convert/mailstore/error.hpp"

namespace larkfield::mailstore {

BackendFactory PstBackendFactory() {
  return
      [](const std::filesystem::path&, const pst::StoreOptions&) -> std::unique_ptr<StoreBackend> {
        throw Error(Error::Code::kFailed, "This build has no PST writer");
      };
}

Importer MimeImporter() {
  return [](const std::filesystem::path&, const mime::ImportOptions&) -> mime::ImportResult {
    throw Error(Error::Code::kFailed, "This build has no message importer");
  };
}

}  // namespace larkfield::mailstore
