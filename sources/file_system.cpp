#include "sources/file_system.hpp"

#include <algorithm>
#include <string>
#include <system_error>

#include "sources/error.hpp"

namespace larkfield::sources {
namespace fs = std::filesystem;

namespace {

std::string Describe(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

[[noreturn]] void ThrowFor(const std::error_code& ec, const fs::path& folder) {
  const bool refused =
      ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted;
  throw Error(refused ? Error::Code::kAccessDenied : Error::Code::kFileSystem,
              "Cannot list the folder " + Describe(folder) + ": " + ec.message());
}

}  // namespace

bool RealFileSystem::FolderExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

FolderListing RealFileSystem::List(const fs::path& folder) {
  FolderListing listing;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) ThrowFor(ec, folder);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code entry_ec;
    const fs::file_status own = it->symlink_status(entry_ec);
    NativeString name = it->path().filename().native();
    if (fs::is_directory(own)) {
      listing.sub_folders.push_back(std::move(name));
      continue;
    }
    if (!fs::is_regular_file(own)) {
      // A link or junction that leads to a folder is left out; one that leads to a file,
      // or nowhere, is a file like any other.
      std::error_code target_ec;
      if (fs::is_directory(it->status(target_ec))) continue;
    }
    listing.files.push_back(std::move(name));
  }
  if (ec) ThrowFor(ec, folder);
  std::sort(listing.sub_folders.begin(), listing.sub_folders.end());
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}

FileSystemFactory RealFileSystemFactory() {
  return [] { return std::make_unique<RealFileSystem>(); };
}

}  // namespace larkfield::sources
