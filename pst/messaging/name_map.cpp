#include "pst/messaging/name_map.hpp"

#include <algorithm>

#include "pst/messaging/layout.hpp"
#include "pst/ndb/codec.hpp"

namespace larkfield::pst::messaging {
namespace {

// {00020328-0000-0000-C000-000000000046} and {00020329-...}, in stored byte order.
constexpr Guid kPsMapi{{0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x46}};
constexpr Guid kPsPublicStrings{{0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x46}};

// {00020386-0000-0000-C000-000000000046}: names are internet header names.
constexpr Guid kPsInternetHeaders{{0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x46}};

// Header names compare without regard to case; Outlook keeps them in lower case and a
// client looks them up so (the map hashes the exact string), whatever case the caller
// used.
NamedPropertyKey canonical(const NamedPropertyKey& key) {
  NamedPropertyKey k = key;
  if (k.property_set == kPsInternetHeaders) {
    if (auto* name = std::get_if<std::u16string>(&k.name)) {
      for (char16_t& c : *name)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
    }
  }
  return k;
}

void append32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
void append16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::byte>(v));
  out.push_back(static_cast<std::byte>(v >> 8));
}

Bytes utf16le(const std::u16string& s) {
  Bytes b;
  b.reserve(s.size() * 2);
  for (char16_t c : s) append16(b, static_cast<std::uint16_t>(c));
  return b;
}

}  // namespace

std::string NameMap::lookup_key(const NamedPropertyKey& key) {
  std::string k(reinterpret_cast<const char*>(key.property_set.bytes.data()), 16);
  if (const auto* lid = std::get_if<std::uint32_t>(&key.name)) {
    k.push_back('L');
    for (int i = 0; i < 4; ++i) k.push_back(static_cast<char>(*lid >> (8 * i)));
  } else {
    k.push_back('S');
    for (char16_t c : std::get<std::u16string>(key.name)) {
      k.push_back(static_cast<char>(c & 0xFF));
      k.push_back(static_cast<char>(c >> 8));
    }
  }
  return k;
}

std::optional<std::uint16_t> NameMap::find(const NamedPropertyKey& given) const {
  auto it = ids_.find(lookup_key(canonical(given)));
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::uint16_t NameMap::id_for(const NamedPropertyKey& given) {
  const NamedPropertyKey key = canonical(given);
  std::string k = lookup_key(key);
  if (auto it = ids_.find(k); it != ids_.end()) return it->second;
  if (entries_.size() >= 0x7FFF) {
    throw Error(Error::Code::kInvalidArgument, "the store holds at most 32767 named properties");
  }
  Entry e;
  if (key.property_set == kPsMapi) {
    e.guid_index = 1;
  } else if (key.property_set == kPsPublicStrings) {
    e.guid_index = 2;
  } else {
    auto g = std::find(guids_.begin(), guids_.end(), key.property_set);
    if (g == guids_.end()) {
      guids_.push_back(key.property_set);
      g = guids_.end() - 1;
    }
    e.guid_index = static_cast<std::uint16_t>(3 + (g - guids_.begin()));
  }
  if (const auto* lid = std::get_if<std::uint32_t>(&key.name)) {
    e.id_or_offset = *lid;
    e.hash_value = *lid;
  } else {
    const auto& name = std::get<std::u16string>(key.name);
    if (name.empty()) {
      throw Error(Error::Code::kInvalidArgument, "a named property's string name is empty");
    }
    Bytes text = utf16le(name);
    e.is_string = true;
    e.id_or_offset = static_cast<std::uint32_t>(strings_.size());
    e.hash_value = ndb::crc32({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    append32(strings_, static_cast<std::uint32_t>(text.size()));
    strings_.insert(strings_.end(), text.begin(), text.end());
    while (strings_.size() % 4 != 0) strings_.push_back(std::byte{0});
  }
  const auto id = static_cast<std::uint16_t>(0x8000 + entries_.size());
  entries_.push_back(e);
  ids_.emplace(std::move(k), id);
  dirty_ = true;
  return id;
}

std::vector<Property> NameMap::properties() const {
  std::vector<Property> props;
  props.push_back({layout::tag::kNameidBucketCount, std::int32_t(kNameBucketCount)});
  Bytes guid_stream;
  for (const auto& g : guids_) {
    for (auto b : g.bytes) guid_stream.push_back(static_cast<std::byte>(b));
  }
  Bytes entry_stream;
  std::vector<Bytes> buckets(kNameBucketCount);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const auto kind = static_cast<std::uint16_t>((e.guid_index << 1) | (e.is_string ? 1 : 0));
    const auto index = static_cast<std::uint16_t>(i);
    append32(entry_stream, e.id_or_offset);
    append16(entry_stream, kind);
    append16(entry_stream, index);
    Bytes& bucket = buckets[(e.hash_value ^ kind) % kNameBucketCount];
    append32(bucket, e.hash_value);
    append16(bucket, kind);
    append16(bucket, index);
  }
  props.push_back({layout::tag::kNameidStreamGuid, std::move(guid_stream)});
  props.push_back({layout::tag::kNameidStreamEntry, std::move(entry_stream)});
  props.push_back({layout::tag::kNameidStreamString, strings_});
  for (std::uint32_t b = 0; b < kNameBucketCount; ++b) {
    if (buckets[b].empty()) continue;
    props.push_back(
        {make_tag(static_cast<std::uint16_t>(0x1000 + b), pt::kBinary), std::move(buckets[b])});
  }
  return props;
}

}  // namespace larkfield::pst::messaging
