#pragma once

// The message file an import reads, and attachment data decoded from it on demand.

#include <gmime/gmime.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/message.hpp"

namespace larkfield::mime::detail {

// An open message file and its state when it was opened. Reads fail once the file is no
// longer that file: another size, another modification time or another inode.
class MessageFile {
  struct Token {};

 public:
  // Throws ReadError when the file cannot be opened or is no regular file.
  static std::shared_ptr<MessageFile> open(const std::filesystem::path& path);
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;
  ~MessageFile();

  int fd() const noexcept { return fd_; }
  std::uint64_t size() const noexcept { return static_cast<std::uint64_t>(state_.st_size); }
  const std::string& name() const noexcept { return name_; }

  // Throws ReadError when the file changed since it was opened.
  void check_unchanged() const;
  // Up to buffer.size() bytes at `offset`; fewer only at the end of the file. Checks the
  // file first.
  std::size_t read_at(std::uint64_t offset, std::span<std::byte> buffer) const;

  MessageFile(Token, int fd, const struct stat& state, std::string name)
      : fd_(fd), state_(state), name_(std::move(name)) {}

 private:
  int fd_;
  struct stat state_;
  std::string name_;
};

// The bytes [begin, end) of the file, transfer-decoded as `encoding` says while they are
// read. The source keeps the file open as long as it lives. Reading past the end of the
// file, or reading a file that changed, throws ReadError.
std::shared_ptr<ContentSource> file_content(std::shared_ptr<const MessageFile> file,
                                            std::uint64_t begin, std::uint64_t end,
                                            GMimeContentEncoding encoding);

// The bytes of a message file, read into memory: the whole file when it has at most
// max(read_up_to, head) bytes, else only its first `head` bytes and its last kTail bytes
// (framing and the header block are read there; the parser reads the file itself). Nothing
// is mapped, so a file cut short meanwhile is a ReadError ("the file changed"), never a
// signal.
class FileBytes {
 public:
  static constexpr std::size_t kTail = 1 << 20;
  FileBytes(const MessageFile& file, std::size_t read_up_to, std::size_t head);
  // The whole file, or its first bytes.
  std::string_view view() const noexcept { return {head_.data(), head_.size()}; }
  // The last bytes when view() is not the whole file, else empty.
  std::string_view tail() const noexcept { return {tail_.data(), tail_.size()}; }

 private:
  std::vector<char> head_;
  std::vector<char> tail_;
};

}  // namespace larkfield::mime::detail
