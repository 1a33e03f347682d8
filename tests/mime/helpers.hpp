#pragma once

// Shared helpers of the importer tests: import a message given as text, read properties.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mime/importer.hpp"
#include "mime/message.hpp"
#include "mime/tags.hpp"
#include "mime/text.hpp"

namespace larkfield::mime::test {

namespace t = tags;

inline ImportResult import(std::string_view text, std::string_view name = "test.eml",
                           const ImportOptions& options = {}) {
  return import_bytes(std::as_bytes(std::span(text.data(), text.size())), name, options);
}

inline const Value* find(const std::vector<Property>& props, std::uint32_t tag) {
  for (const auto& p : props)
    if (p.tag == tag) return &p.value;
  return nullptr;
}

inline bool has(const std::vector<Property>& props, std::uint32_t tag) {
  return find(props, tag) != nullptr;
}

// A PT_UNICODE property as UTF-8; a missing one fails the test.
inline std::string str(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find(props, tag);
  if (v == nullptr) {
    ADD_FAILURE() << "missing property 0x" << std::hex << tag;
    return {};
  }
  return text::utf16_to_utf8(std::get<std::u16string>(*v));
}

inline std::int32_t i32(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find(props, tag);
  if (v == nullptr) {
    ADD_FAILURE() << "missing property 0x" << std::hex << tag;
    return INT32_MIN;
  }
  return std::get<std::int32_t>(*v);
}

inline bool boolean(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find(props, tag);
  if (v == nullptr) {
    ADD_FAILURE() << "missing property 0x" << std::hex << tag;
    return false;
  }
  return std::get<bool>(*v);
}

inline std::string bin(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find(props, tag);
  if (v == nullptr) {
    ADD_FAILURE() << "missing property 0x" << std::hex << tag;
    return {};
  }
  const auto& b = std::get<Bytes>(*v);
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Seconds since 1970 of a PT_SYSTIME property.
inline std::int64_t unix_time(const std::vector<Property>& props, std::uint32_t tag) {
  const Value* v = find(props, tag);
  if (v == nullptr) {
    ADD_FAILURE() << "missing property 0x" << std::hex << tag;
    return 0;
  }
  return static_cast<std::int64_t>(std::get<FileTime>(*v).ticks / 10000000ULL) - 11644473600LL;
}

inline const NamedProperty* named(const Message& m, std::u16string_view name) {
  for (const auto& n : m.named)
    if (const auto* s = std::get_if<std::u16string>(&n.name); s && *s == name) return &n;
  return nullptr;
}

}  // namespace larkfield::mime::test
