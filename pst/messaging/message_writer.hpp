#pragma once

// Writes one message object: its property context, its recipient table, its
// attachment table and attachment objects (attached messages nested inside them), all
// as one node's data and subnodes. The node entry itself is the caller's.

#include <array>
#include <cstdint>
#include <vector>

#include "pst/ltp/property_context.hpp"
#include "pst/messaging/store.hpp"

namespace larkfield::pst::messaging {

// Attached messages nest at most this deep (a message in a message is depth 1).
inline constexpr int kMaxEmbeddingDepth = 8;

struct WrittenMessage {
  ltp::NodeData node;
  std::uint64_t size = 0;   // PR_MESSAGE_SIZE as stored
  std::uint32_t flags = 0;  // PR_MESSAGE_FLAGS as stored
  // The stored properties that a contents-table row can mirror (no streamed values).
  std::vector<Property> row_values;
};

class MessageWriter {
 public:
  MessageWriter(ndb::Database& db, const std::array<std::uint8_t, 16>& store_record_key);

  // Writes `message` and everything below it. On an exception nothing written stays
  // allocated.
  WrittenMessage write(const Message& message, int depth);

  // 24-byte entry id of an object of this store.
  Bytes entry_id(std::uint32_t nid) const;

 private:
  struct WrittenAttachment {
    ltp::NodeData node;
    std::vector<Property> row_values;
  };
  // `nid`: the attachment's subnode id, also its row id and PR_ATTACH_NUM.
  WrittenAttachment write_attachment(const Attachment& attachment, ndb::Nid nid, int depth);
  // The recipient table's rows: the caller's properties (the last value of each id)
  // and the defaults.
  std::vector<std::vector<Property>> recipient_rows(const Message& message);
  ltp::NodeData write_recipients(const std::vector<std::vector<Property>>& rows);

  ndb::Database& db_;
  std::array<std::uint8_t, 16> record_key_;
  std::uint64_t search_key_counter_ = 0;
};

// The one-off entry id of an address (display name, address type, address).
Bytes one_off_entry_id(std::u16string_view name, std::u16string_view addrtype,
                       std::u16string_view address);

// "SMTP:ADDRESS" upper-cased with a terminating zero, as recipients' PR_SEARCH_KEY.
Bytes address_search_key(std::u16string_view addrtype, std::u16string_view address);

// PR_MESSAGE_SIZE and PR_ATTACH_SIZE of `bytes`: the properties are signed 32-bit, so a
// size past 0x7FFFFFFF is stored as 0x7FFFFFFF, never as a negative number.
std::int32_t size_property(std::uint64_t bytes);

}  // namespace larkfield::pst::messaging
