#pragma once

// Reader of TNEF streams (winmail.dat, application/ms-tnef): the attachments they carry
// and the MAPI properties they encapsulate.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message.hpp"

namespace larkfield::mime::tnef {

struct Stream;

struct Attachment {
  std::string title;  // attAttachTitle, as UTF-8
  Bytes data;         // attAttachData
  std::optional<FileTime> created, modified;
  // Encapsulated properties (attAttachment). 8-bit strings are given as PT_UNICODE.
  std::vector<Property> properties;
  // An attached message (PR_ATTACH_DATA_OBJ holding a nested TNEF stream).
  std::unique_ptr<Stream> embedded;
};

struct Stream {
  std::uint32_t code_page = 0;       // attOemCodepage, 0 when absent
  std::string message_class;         // attMessageClass
  std::vector<Property> properties;  // attMsgProps
  std::vector<Attachment> attachments;
  std::vector<std::string> warnings;
};

constexpr std::uint32_t kSignature = 0x223E9F78;

// Decodes a whole stream. Returns nullopt (and says why in `error`) when it is not TNEF
// or is damaged in a way that loses structure; checksum mismatches are only warnings.
std::optional<Stream> decode(std::string_view bytes, std::string& error);

}  // namespace larkfield::mime::tnef
