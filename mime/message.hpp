#pragma once

// The message model the importer produces: logical MAPI properties of one Internet
// message, its recipient rows, attachments and attached messages. It knows nothing
// of how a store keeps them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace larkfield::mime {

using Bytes = std::vector<std::byte>;

// 100-nanosecond intervals since 1601-01-01 UTC.
struct FileTime {
  std::uint64_t ticks = 0;
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

// A GUID in its stored byte order (Data1..Data3 little-endian).
struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const Guid&, const Guid&) = default;
};

// The C++ alternative matches the type in the property tag:
// PT_LONG int32_t, PT_I8 int64_t, PT_BOOLEAN bool, PT_SYSTIME FileTime,
// PT_UNICODE std::u16string, PT_BINARY Bytes, PT_MV_UNICODE std::vector<std::u16string>,
// PT_MV_BINARY std::vector<Bytes>, PT_CLSID Guid.
using Value = std::variant<bool, std::int32_t, std::int64_t, FileTime, Guid, std::u16string, Bytes,
                           std::vector<std::u16string>, std::vector<Bytes>>;

struct Property {
  std::uint32_t tag = 0;  // id << 16 | type
  Value value;
};

// A named property: property set plus numeric id or string name, with its type.
struct NamedProperty {
  Guid property_set;
  std::variant<std::uint32_t, std::u16string> name;
  std::uint16_t type = 0;
  Value value;
};

struct Message;

// Attachment data too large to keep in memory: decoded from the message file while the
// store writes it. read() is called front to back until it returns 0; it fills as much of
// `buffer` as it can. It throws (ReadError, see importer.hpp) when the file can no longer be
// read or has changed since it was parsed, so no wrong data reach the store unnoticed.
class ContentSource {
 public:
  virtual ~ContentSource() = default;
  virtual std::size_t read(std::span<std::byte> buffer) = 0;
};

struct Recipient {
  std::vector<Property> properties;
};

struct Attachment {
  std::vector<Property> properties;  // PR_ATTACH_METHOD, names, PR_ATTACH_DATA_BIN, ...
  std::vector<NamedProperty> named;
  // Set instead of PR_ATTACH_DATA_BIN (and PR_ATTACH_SIZE, which only the bytes read tell)
  // for large data, which stay in the file until read.
  std::shared_ptr<ContentSource> content;
  std::unique_ptr<Message> embedded_message;  // PR_ATTACH_METHOD 5
};

struct Message {
  std::vector<Property> properties;
  std::vector<NamedProperty> named;
  std::vector<Recipient> recipients;
  std::vector<Attachment> attachments;
};

}  // namespace larkfield::mime
