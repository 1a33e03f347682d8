#pragma once

// Turns one .eml or .emlx file into a Message.

#include <cstddef>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message.hpp"

namespace larkfield::mime {

// The file could not be read at all (missing, unreadable, a directory). Nothing was
// imported.
class ReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // With the system error number (ENOENT, EISDIR, EACCES, ...) that stopped the read.
  ReadError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_ = 0;
};

struct ImportOptions {
  // Raw 8-bit header text that is not UTF-8 is read in this charset first, then as
  // ISO-8859-1.
  std::string legacy_charset = "windows-1252";
  // Limits against hostile input; past a limit the rest is kept as an attachment.
  std::size_t max_depth = 32;          // MIME nesting
  std::size_t max_embedded_depth = 8;  // attached messages inside attached messages
  std::size_t max_parts = 10000;
  std::size_t max_header_bytes = 1 << 20;
  // Map Disposition-Notification-To / Return-Receipt-To to the receipt-request
  // properties. Off by default: old mail would ask for receipts again when opened.
  bool keep_receipt_requests = false;
  // import_file only: attachment data taking more than this many bytes in the file are not
  // read into memory; the attachment's `content` reads and decodes them from the file when
  // the store writes them.
  std::size_t stream_attachments_over = 1 << 20;
  // import_file only: files up to this size are read into memory and parsed there; larger
  // ones are parsed from the file, in pieces.
  std::size_t parse_in_memory_up_to = 16 << 20;
  // import_file only: a transfer-encoded attached message (base64 message/rfc822) over this
  // many bytes in the file is kept as an .eml attachment instead of being decoded into
  // memory and unpacked. Attached messages without a transfer encoding are always unpacked:
  // their parts are read from the file.
  std::size_t unpack_encoded_messages_up_to = 64 << 20;
  // A text part over this many bytes in the message does not become the body (decoded and
  // converted whole, it would take several times its size in memory): it is kept as an
  // attachment, streamed from the file where it can be.
  std::size_t max_body_bytes = 64 << 20;
};

struct ImportResult {
  Message message;
  // Parser and conversion warnings, for the run's log.
  std::vector<std::string> warnings;
  // True when the file could be read but not parsed: `message` is then a stand-in
  // whose subject is the file name, whose body says what went wrong, and which
  // carries the original file as an attachment.
  bool stand_in = false;
  // Set from an .emlx file's flags when it has one; the converter decides what to use.
  bool has_read_flag = false;
  bool read = false;
};

// Reads the file once (it is never modified) and converts it. Throws ReadError when
// the file cannot be read.
ImportResult import_file(const std::filesystem::path& path, const ImportOptions& options = {});

// The same, for bytes already in memory; `file_name` names the stand-in item and the
// attachment that carries the original bytes, and decides .emlx framing by extension
// together with the content.
ImportResult import_bytes(std::span<const std::byte> bytes, std::string_view file_name,
                          const ImportOptions& options = {});

}  // namespace larkfield::mime
