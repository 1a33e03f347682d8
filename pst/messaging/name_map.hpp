#pragma once

// The store's name-to-id map: named properties (a property set GUID with a numeric id
// or a string name) get property ids from 0x8000 on, in the order they are first used.
// Names in PS_INTERNET_HEADERS are kept in lower case, as Outlook keeps them: "X-Mailer"
// and "x-mailer" are one property.
// properties() gives the map's property context as the format lays it out: the GUID,
// entry and string streams and the hash buckets.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "pst/ltp/property.hpp"
#include "pst/messaging/store.hpp"

namespace larkfield::pst::messaging {

inline constexpr std::uint32_t kNameBucketCount = 251;

class NameMap {
 public:
  // The id of `key`, allocated on first use. More than 0x7FFF names is
  // Error::Code::kInvalidArgument.
  std::uint16_t id_for(const NamedPropertyKey& key);
  std::optional<std::uint16_t> find(const NamedPropertyKey& key) const;
  std::size_t size() const { return entries_.size(); }

  // Changed since mark_clean().
  bool dirty() const { return dirty_; }
  void mark_clean() { dirty_ = false; }

  // The properties of the map's node (PidTagNameidBucketCount, the three streams and
  // every non-empty bucket).
  std::vector<Property> properties() const;

 private:
  struct Entry {
    std::uint32_t id_or_offset = 0;  // the LID, or the name's offset in the string stream
    std::uint32_t hash_value = 0;    // the LID, or the CRC of the name
    std::uint16_t guid_index = 0;    // 1 PS_MAPI, 2 PS_PUBLIC_STRINGS, 3 + GUID stream index
    bool is_string = false;
  };
  static std::string lookup_key(const NamedPropertyKey& key);

  std::vector<Entry> entries_;  // index = property id - 0x8000
  std::vector<Guid> guids_;
  Bytes strings_;
  std::unordered_map<std::string, std::uint16_t> ids_;
  bool dirty_ = true;
};

}  // namespace larkfield::pst::messaging
