#pragma once

// MAPI property values as the PST library accepts them.
//
// A property is a 32-bit tag (16-bit id in the high half, 16-bit type in the low
// half) and a value whose C++ alternative must match the tag's type:
//
//   PT_SHORT 0x0002      int16_t          PT_I8 0x0014        int64_t
//   PT_LONG 0x0003       int32_t          PT_CURRENCY 0x0006  int64_t
//   PT_ERROR 0x000A      int32_t          PT_SYSTIME 0x0040   FileTime
//   PT_FLOAT 0x0004      float            PT_CLSID 0x0048     Guid
//   PT_DOUBLE 0x0005     double           PT_UNICODE 0x001F   std::u16string
//   PT_APPTIME 0x0007    double           PT_BINARY 0x0102    Bytes or ByteSource
//   PT_BOOLEAN 0x000B    bool             PT_MV_* 0x1000|t    std::vector<...> of the above
//
// PT_STRING8 is refused: a Unicode store keeps every string as UTF-16.
// PT_OBJECT is not set directly; attached messages are Attachment::embedded_message.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace larkfield::pst {

using PropTag = std::uint32_t;
using Bytes = std::vector<std::byte>;

constexpr std::uint16_t prop_id(PropTag tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr std::uint16_t prop_type(PropTag tag) { return static_cast<std::uint16_t>(tag & 0xFFFF); }
constexpr PropTag make_tag(std::uint16_t id, std::uint16_t type) {
  return (static_cast<PropTag>(id) << 16) | type;
}

namespace pt {
inline constexpr std::uint16_t kShort = 0x0002, kLong = 0x0003, kFloat = 0x0004,
                               kDouble = 0x0005, kCurrency = 0x0006, kAppTime = 0x0007,
                               kError = 0x000A, kBoolean = 0x000B, kObject = 0x000D,
                               kI8 = 0x0014, kString8 = 0x001E, kUnicode = 0x001F,
                               kSysTime = 0x0040, kClsid = 0x0048, kBinary = 0x0102,
                               kMultiValued = 0x1000;
}  // namespace pt

// 100-nanosecond intervals since 1601-01-01 UTC.
struct FileTime {
  std::uint64_t ticks = 0;
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

// A GUID in its stored byte order (Data1..Data3 little-endian, as in files).
struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const Guid&, const Guid&) = default;
};

// A value too large to hold in memory, read once, front to back, while the message
// is written. read() fills as much of `buffer` as it can and returns the count;
// 0 means the end. It may throw; the message is then not added.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::size_t read(std::span<std::byte> buffer) = 0;
};

using PropValue =
    std::variant<std::int16_t, std::int32_t, float, double, bool, std::int64_t, FileTime, Guid,
                 std::u16string, Bytes, std::shared_ptr<ByteSource>, std::vector<std::int16_t>,
                 std::vector<std::int32_t>, std::vector<float>, std::vector<double>,
                 std::vector<std::int64_t>, std::vector<FileTime>, std::vector<Guid>,
                 std::vector<std::u16string>, std::vector<Bytes>>;

struct Property {
  PropTag tag = 0;
  PropValue value;
};

}  // namespace larkfield::pst
