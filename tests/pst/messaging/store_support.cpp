#include "tests/pst/messaging/store_support.hpp"

#include <algorithm>
#include <stdexcept>

namespace larkfield::pst::testing {
namespace {

std::uint32_t next(std::uint32_t& x) {
  x = x * 1664525u + 1013904223u;
  return x;
}

}  // namespace

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 7;
  for (auto& v : b) v = static_cast<std::byte>(next(x) >> 24);
  return b;
}

PatternSource::PatternSource(std::uint64_t size, std::uint32_t seed, std::uint64_t fail_after)
    : size_(size), fail_after_(fail_after), state_(seed * 2654435761u + 7) {}

std::size_t PatternSource::read(std::span<std::byte> buffer) {
  if (produced_ >= fail_after_) throw std::runtime_error("the source failed on purpose");
  // Uneven pieces: the writer must not depend on full reads.
  static constexpr std::size_t kPieces[] = {1, 4093, 8176, 100000, 77, 65536};
  std::size_t n = std::min<std::uint64_t>(
      {buffer.size(), size_ - produced_, kPieces[call_++ % std::size(kPieces)]});
  for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::byte>(next(state_) >> 24);
  hash_.update(std::span<const std::byte>(buffer.data(), n));
  produced_ += n;
  return n;
}

std::string pattern_sha256(std::uint64_t size, std::uint32_t seed) {
  test::Sha256 h;
  std::uint32_t x = seed * 2654435761u + 7;
  std::vector<std::byte> chunk(1 << 16);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
    for (std::size_t i = 0; i < n; ++i) chunk[i] = static_cast<std::byte>(next(x) >> 24);
    h.update(std::span<const std::byte>(chunk.data(), n));
    done += n;
  }
  return h.finish_hex();
}

std::string utf8(std::u16string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string u16(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t c = 0;
    int extra = 0;
    if (b < 0x80) {
      c = b;
    } else if (b >> 5 == 6) {
      c = b & 0x1F;
      extra = 1;
    } else if (b >> 4 == 14) {
      c = b & 0x0F;
      extra = 2;
    } else {
      c = b & 0x07;
      extra = 3;
    }
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) {
      c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

Message simple_mail(std::u16string subject, bool read) {
  Message m;
  m.properties = {
      {0x001A001F, std::u16string(u"IPM.Note")},
      {0x0037001F, std::move(subject)},
      {0x0E070003, std::int32_t(read ? 0x01 : 0x00)},
      {0x00170003, std::int32_t(1)},
      {0x00390040, FileTime{133000000000000000ull}},
      {0x0E060040, FileTime{133000000100000000ull}},
      {0x0042001F, std::u16string(u"Sender Name")},
      {0x0C1A001F, std::u16string(u"Sender Name")},
      {0x1000001F, std::u16string(u"Body text of the message.\r\n")},
  };
  return m;
}

Recipient recipient(int type, std::u16string name, std::u16string address) {
  Recipient r;
  r.properties = {{0x0C150003, std::int32_t(type)},
                  {0x3001001F, std::move(name)},
                  {0x3002001F, std::u16string(u"SMTP")},
                  {0x3003001F, address},
                  {0x39FE001F, address}};
  return r;
}

Attachment file_attachment(std::u16string name, Bytes data) {
  Attachment a;
  a.properties = {{0x37050003, std::int32_t(1)},
                  {0x3704001F, name},
                  {0x3707001F, name},
                  {0x3001001F, name},
                  {0x370E001F, std::u16string(u"application/octet-stream")},
                  {0x37010102, std::move(data)}};
  return a;
}

StoreOptions options(std::u16string name) {
  StoreOptions o;
  o.display_name = std::move(name);
  o.sync = false;  // the tests do not need durability against power loss
  return o;
}

::testing::AssertionResult verified(const fs::path& pst, bool crash_state) {
  check::Options o;
  o.crash_state = crash_state;
  check::Report r = check::verify_file(pst, o);
  if (r.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pstverify findings for " << pst << ":\n" << r.text();
}

}  // namespace larkfield::pst::testing
