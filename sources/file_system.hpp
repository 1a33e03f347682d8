#pragma once

// What the folder scanner needs of the file system, behind an interface so that tests can
// stand in a tree of their own or make a folder refuse to be listed.

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "sources/native_path.hpp"

namespace larkfield::sources {

// The direct entries of one folder, by name (no folder part), never "." or "..".
struct FolderListing {
  std::vector<NativeString> sub_folders;
  std::vector<NativeString> files;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Whether the path names an existing folder. Never throws for a missing path.
  virtual bool FolderExists(const std::filesystem::path& path) = 0;

  // Lists a folder. Throws Error: kAccessDenied when the system refuses, kFileSystem for
  // every other failure.
  virtual FolderListing List(const std::filesystem::path& folder) = 0;
};

// Makes the service a scan uses; called once per scan set-up.
using FileSystemFactory = std::function<std::unique_ptr<FileSystem>()>;

// The real file system through std::filesystem.
//
// Links to folders (symbolic links, and junctions on Windows) are neither followed nor
// listed: a link that points back up the tree cannot make a scan go round forever, and a
// folder reached through a link is not listed twice. Every other entry that is not a
// folder counts as a file, hidden ones included. Both lists come sorted by their bytes
// (code units on Windows), so a scan gives the same order on every run.
class RealFileSystem final : public FileSystem {
 public:
  bool FolderExists(const std::filesystem::path& path) override;
  FolderListing List(const std::filesystem::path& folder) override;
};

FileSystemFactory RealFileSystemFactory();

}  // namespace larkfield::sources
