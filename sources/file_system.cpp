#include "sources/file_system.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

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

#ifdef _WIN32
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
#else
// Entries are looked at relative to the open folder (fstatat), never by their whole path:
// an entry's kind is known however long the path to it, and a folder whose own path the
// system cannot take (past PATH_MAX) fails to open with its reason, so the scan reports
// it instead of taking its subfolders for files.
FolderListing RealFileSystem::List(const fs::path& folder) {
  FolderListing listing;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) ThrowFor(std::error_code(errno, std::generic_category()), folder);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), &::closedir);
  if (!dir) {
    const std::error_code ec(errno, std::generic_category());
    ::close(fd);
    ThrowFor(ec, folder);
  }
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) ThrowFor(std::error_code(errno, std::generic_category()), folder);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_folder = entry->d_type == DT_DIR;
    bool is_link = entry->d_type == DT_LNK;
    struct stat own {};
    if (::fstatat(fd, entry->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0) {
      is_folder = S_ISDIR(own.st_mode);
      is_link = S_ISLNK(own.st_mode);
    }
    // An entry the system will not describe (a folder without search permission) keeps
    // the kind its listing gave: a folder is listed later and reported if it cannot be,
    // anything else is a file whose import gives the reason.
    if (is_folder) {
      listing.sub_folders.emplace_back(name);
      continue;
    }
    if (is_link) {
      // A link that leads to a folder is left out; one that leads to a file, or nowhere,
      // is a file like any other.
      struct stat target {};
      if (::fstatat(fd, entry->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode)) continue;
    }
    listing.files.emplace_back(name);
  }
  std::sort(listing.sub_folders.begin(), listing.sub_folders.end());
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}
#endif

FileSystemFactory RealFileSystemFactory() {
  return [] { return std::make_unique<RealFileSystem>(); };
}

}  // namespace larkfield::sources
