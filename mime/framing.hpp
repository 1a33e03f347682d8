#pragma once

// Cuts the RFC 822 message out of an .eml or .emlx file and cleans what the MIME parser
// would misread (byte-order mark, leading blank lines, NUL bytes in the header block).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkfield::mime::framing {

struct Framed {
  // The bytes the parser reads: `length` bytes at `offset` of the file, or `cleaned` when
  // the header block had to be changed (see message()).
  std::size_t offset = 0;
  std::size_t length = 0;
  std::string cleaned;
  bool use_cleaned = false;
  bool emlx = false;
  std::optional<std::uint64_t> emlx_flags;  // newer Mail versions use bits past 31
  std::optional<double> date_received;      // seconds since 1970, from the property list
  std::optional<double> date_sent;
  std::vector<std::string> warnings;
};

// What is known of a file: all of it (`head` alone), or its first and its last bytes.
struct Window {
  std::string_view head;
  std::string_view tail;  // the last bytes when head is not the whole file
  std::size_t size = 0;   // of the whole file

  static Window whole(std::string_view file) { return {file, {}, file.size()}; }
  bool complete() const noexcept { return head.size() == size; }
  std::size_t tail_at() const noexcept { return size - tail.size(); }
  // The known bytes from `offset` on (up to the end of the head or of the file).
  std::string_view from(std::size_t offset) const noexcept {
    if (offset < head.size()) return head.substr(offset);
    if (offset >= tail_at() && offset <= size) return tail.substr(offset - tail_at());
    return {};
  }
};

// The message bytes of a framed file; views into `file` or into `framed`. Of a file known
// in part only the message's first bytes.
std::string_view message(const Framed& framed, std::string_view file);

// .emlx is recognised by content: a first line holding only a byte count. The extension
// only decides which warning a mismatch gets.
Framed frame(std::string_view file, std::string_view file_name);
Framed frame(const Window& file, std::string_view file_name);

// Offset of the blank line that ends the header block (or the size when there is none),
// and the offset after it where the body starts.
struct HeaderBlock {
  std::size_t end = 0;
  std::size_t body = 0;
};
HeaderBlock find_header_block(std::string_view message);

}  // namespace larkfield::mime::framing
