#pragma once

// Helpers of the store tests: building messages, streamed values with known bytes, and
// reading a file back through every independent reader at once.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "pst/check/check.hpp"
#include "pst/messaging/store.hpp"
#include "tests/support/exporters.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::pst::testing {

namespace fs = std::filesystem;

// Deterministic bytes: the same (size, seed) always gives the same content.
Bytes pattern(std::size_t size, std::uint32_t seed);

// A ByteSource producing pattern(size, seed) in pieces of uneven length, hashing as it
// goes; it can be told to fail after some bytes.
class PatternSource : public ByteSource {
 public:
  PatternSource(std::uint64_t size, std::uint32_t seed, std::uint64_t fail_after = ~0ull);
  std::size_t read(std::span<std::byte> buffer) override;
  std::string sha256() { return hash_.finish_hex(); }
  std::uint64_t produced() const { return produced_; }

 private:
  std::uint64_t size_, produced_ = 0, fail_after_;
  std::uint32_t state_;
  std::size_t call_ = 0;
  test::Sha256 hash_;
};

// SHA-256 of pattern(size, seed) without holding it.
std::string pattern_sha256(std::uint64_t size, std::uint32_t seed);

std::string utf8(std::u16string_view s);
std::u16string u16(std::string_view utf8_text);

// A plain received mail: class, subject, sender, times, flags, a short body.
Message simple_mail(std::u16string subject, bool read = true);

Recipient recipient(int type, std::u16string name, std::u16string address);

Attachment file_attachment(std::u16string name, Bytes data);

StoreOptions options(std::u16string name = u"Test Store");

// The strict structural check; prints the findings on failure.
::testing::AssertionResult verified(const fs::path& pst, bool crash_state = false);

}  // namespace larkfield::pst::testing
