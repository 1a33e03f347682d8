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

// The message bytes of a framed file; views into `file` or into `framed`.
std::string_view message(const Framed& framed, std::string_view file);

// .emlx is recognised by content: a first line holding only a byte count. The extension
// only decides which warning a mismatch gets.
Framed frame(std::string_view file, std::string_view file_name);

// Offset of the blank line that ends the header block (or the size when there is none),
// and the offset after it where the body starts.
struct HeaderBlock {
  std::size_t end = 0;
  std::size_t body = 0;
};
HeaderBlock find_header_block(std::string_view message);

}  // namespace larkfield::mime::framing
