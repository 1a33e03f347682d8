#pragma once

// SHA-256, to compare what a reader exported with the bytes a test put in.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace larkfield::test {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::byte> data);
  void update(std::string_view data);
  std::array<std::uint8_t, 32> finish();  // the object is spent afterwards
  std::string finish_hex();

 private:
  void block(const std::uint8_t* p);
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buf_{};
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
};

std::string sha256_hex(std::string_view data);
std::string sha256_hex(std::span<const std::byte> data);
// Hash of a file's content; throws SupportError when it cannot be read.
std::string sha256_file(const std::filesystem::path& path);

}  // namespace larkfield::test
