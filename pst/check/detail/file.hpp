#pragma once

// Read-only access to the file under check, by offset.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace larkfield::pst::check::detail {

class File {
 public:
  // Throws std::system_error when the file cannot be opened.
  explicit File(const std::filesystem::path& path);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  std::uint64_t size() const { return size_; }
  // Reads exactly out.size() bytes at `offset`; false when the range is outside the file
  // or the read fails.
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  mutable std::uint64_t bytes_read_ = 0;
};

}  // namespace larkfield::pst::check::detail
