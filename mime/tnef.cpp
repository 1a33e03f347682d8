#include "mime/tnef.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "mime/text.hpp"

namespace larkfield::mime::tnef {
namespace {

constexpr std::uint32_t kAttAttachRendData = 0x00069002;
constexpr std::uint32_t kAttAttachTitle = 0x00018010;
constexpr std::uint32_t kAttAttachData = 0x0006800F;
constexpr std::uint32_t kAttAttachCreateDate = 0x00038012;
constexpr std::uint32_t kAttAttachModifyDate = 0x00038013;
constexpr std::uint32_t kAttAttachment = 0x00069005;
constexpr std::uint32_t kAttMsgProps = 0x00069003;
constexpr std::uint32_t kAttOemCodepage = 0x00069007;
constexpr std::uint32_t kAttMessageClass = 0x00078008;
constexpr std::uint32_t kAttBody = 0x0002800C;

constexpr std::uint16_t kPtShort = 0x0002;
constexpr std::uint16_t kPtLong = 0x0003;
constexpr std::uint16_t kPtFloat = 0x0004;
constexpr std::uint16_t kPtDouble = 0x0005;
constexpr std::uint16_t kPtCurrency = 0x0006;
constexpr std::uint16_t kPtAppTime = 0x0007;
constexpr std::uint16_t kPtError = 0x000A;
constexpr std::uint16_t kPtBoolean = 0x000B;
constexpr std::uint16_t kPtObject = 0x000D;
constexpr std::uint16_t kPtI8 = 0x0014;
constexpr std::uint16_t kPtString8 = 0x001E;
constexpr std::uint16_t kPtUnicode = 0x001F;
constexpr std::uint16_t kPtSysTime = 0x0040;
constexpr std::uint16_t kPtClsid = 0x0048;
constexpr std::uint16_t kPtBinary = 0x0102;
constexpr std::uint16_t kMultiValued = 0x1000;

constexpr std::uint32_t kAttachDataObj = 0x3701000D;
constexpr int kMaxNesting = 4;

struct Damaged : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  std::size_t left() const { return b_.size() - pos_; }
  std::size_t pos() const { return pos_; }
  void need(std::size_t n) const {
    if (n > left()) throw Damaged("TNEF data ends early");
  }
  std::uint8_t u8() {
    need(1);
    return static_cast<std::uint8_t>(b_[pos_++]);
  }
  std::uint16_t u16() {
    need(2);
    const auto v = static_cast<std::uint16_t>(static_cast<std::uint8_t>(b_[pos_]) |
                                              static_cast<std::uint8_t>(b_[pos_ + 1]) << 8);
    pos_ += 2;
    return v;
  }
  std::uint32_t u32() {
    const std::uint32_t lo = u16();
    return lo | static_cast<std::uint32_t>(u16()) << 16;
  }
  std::uint64_t u64() {
    const std::uint64_t lo = u32();
    return lo | static_cast<std::uint64_t>(u32()) << 32;
  }
  std::string_view bytes(std::size_t n) {
    need(n);
    const std::string_view v = b_.substr(pos_, n);
    pos_ += n;
    return v;
  }
  void skip(std::size_t n) { bytes(n); }
  void pad4(std::size_t n) { skip((4 - n % 4) % 4 > left() ? left() : (4 - n % 4) % 4); }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
};

Bytes to_bytes(std::string_view s) {
  Bytes b(s.size());
  if (!s.empty()) std::memcpy(b.data(), s.data(), s.size());
  return b;
}

std::u16string from_utf16le(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out += static_cast<char16_t>(static_cast<std::uint8_t>(s[i]) |
                                 static_cast<std::uint8_t>(s[i + 1]) << 8);
  while (!out.empty() && out.back() == u'\0') out.pop_back();
  return out;
}

std::string code_page_label(std::uint32_t cp) {
  if (cp == 0 || cp == 65001) return "utf-8";
  return "cp" + std::to_string(cp);
}

std::u16string from_8bit(std::string_view s, std::uint32_t cp) {
  while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
  return text::utf8_to_utf16(text::decode_text(s, code_page_label(cp), "windows-1252").utf8);
}

// attAttachCreateDate / attAttachModifyDate: year, month, day, hour, minute, second, weekday.
FileTime from_dtr(std::string_view d) {
  Reader r(d);
  const int year = r.u16(), month = r.u16(), day = r.u16();
  const int hour = r.u16(), minute = r.u16(), second = r.u16();
  // Days from the civil date (proleptic Gregorian), as seconds since 1601.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  const std::int64_t unix = days * 86400 + hour * 3600 + minute * 60 + second;
  const std::int64_t since1601 = unix + 11644473600LL;
  return FileTime{since1601 > 0 ? static_cast<std::uint64_t>(since1601) * 10000000ULL : 0};
}

std::optional<Stream> decode_stream(std::string_view bytes, std::string& error, int nesting);

// One encapsulated property list (attMsgProps, attAttachment). Properties of types we do
// not keep are read past. An attached message's nested stream is decoded into `embedded`.
std::vector<Property> read_properties(std::string_view data, std::uint32_t cp,
                                      std::unique_ptr<Stream>* embedded, int nesting,
                                      std::vector<std::string>& warnings) {
  Reader r(data);
  std::vector<Property> out;
  const std::uint32_t count = r.u32();
  if (count > data.size() / 4) throw Damaged("TNEF property count larger than its data");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint16_t type = r.u16();
    const std::uint16_t id = r.u16();
    const bool is_named = id >= 0x8000;
    if (is_named) {
      r.skip(16);  // property set
      const std::uint32_t kind = r.u32();
      if (kind == 0) {
        r.skip(4);
      } else {
        const std::uint32_t len = r.u32();
        r.skip(len);
        r.pad4(len);
      }
    }
    const std::uint16_t base = type & ~kMultiValued;
    const bool mv = (type & kMultiValued) != 0;
    const bool variable =
        base == kPtString8 || base == kPtUnicode || base == kPtBinary || base == kPtObject;
    const std::uint32_t values = (mv || variable) ? r.u32() : 1;
    if (values > r.left()) throw Damaged("TNEF value count larger than its data");
    std::vector<std::u16string> strings;
    std::vector<Bytes> binaries;
    std::optional<Value> single;
    for (std::uint32_t v = 0; v < values; ++v) {
      if (variable) {
        const std::uint32_t len = r.u32();
        const std::string_view value = r.bytes(len);
        r.pad4(len);
        if (base == kPtUnicode)
          strings.push_back(from_utf16le(value));
        else if (base == kPtString8)
          strings.push_back(from_8bit(value, cp));
        else if (base == kPtBinary)
          binaries.push_back(to_bytes(value));
        else if (base == kPtObject && embedded != nullptr && !is_named &&
                 (static_cast<std::uint32_t>(id) << 16 | type) == kAttachDataObj && len > 16) {
          // The interface id, then (for IID_IMessage) a nested TNEF stream.
          std::string nested_error;
          if (nesting >= kMaxNesting) {
            warnings.emplace_back("TNEF attached messages nested too deeply");
          } else if (auto s = decode_stream(value.substr(16), nested_error, nesting + 1)) {
            *embedded = std::make_unique<Stream>(std::move(*s));
          } else {
            warnings.push_back("attached message in TNEF not read: " + nested_error);
            binaries.push_back(to_bytes(value.substr(16)));
          }
        }
        continue;
      }
      switch (base) {
        case kPtShort:
          single = static_cast<std::int32_t>(static_cast<std::int16_t>(r.u32()));
          break;
        case kPtLong:
          single = static_cast<std::int32_t>(r.u32());
          break;
        case kPtBoolean:
          single = r.u32() != 0;
          break;
        case kPtI8:
          single = static_cast<std::int64_t>(r.u64());
          break;
        case kPtSysTime:
          single = FileTime{r.u64()};
          break;
        case kPtClsid: {
          Guid g;
          const auto raw = r.bytes(16);
          std::memcpy(g.bytes.data(), raw.data(), 16);
          single = g;
          break;
        }
        case kPtFloat:
        case kPtError:
          r.skip(4);
          break;
        case kPtDouble:
        case kPtCurrency:
        case kPtAppTime:
          r.skip(8);
          break;
        default:
          throw Damaged("TNEF property of unknown type " + std::to_string(type));
      }
    }
    if (is_named) continue;
    const auto tag = [&](std::uint16_t t) { return static_cast<std::uint32_t>(id) << 16 | t; };
    if (base == kPtUnicode || base == kPtString8) {
      if (mv)
        out.push_back({tag(0x101F), std::move(strings)});
      else if (!strings.empty())
        out.push_back({tag(kPtUnicode), std::move(strings.front())});
    } else if (base == kPtBinary || base == kPtObject) {
      if (mv)
        out.push_back({tag(0x1102), std::move(binaries)});
      else if (!binaries.empty())
        out.push_back({tag(kPtBinary), std::move(binaries.front())});
    } else if (!mv && single) {
      out.push_back({tag(base == kPtShort ? kPtLong : base), std::move(*single)});
    }
  }
  return out;
}

std::optional<Stream> decode_stream(std::string_view bytes, std::string& error, int nesting) {
  try {
    Reader r(bytes);
    if (r.u32() != kSignature) {
      error = "no TNEF signature";
      return std::nullopt;
    }
    r.u16();  // legacy attachment key
    Stream s;
    Attachment* current = nullptr;
    std::string_view message_props;
    // By index: the attachment list grows (and moves) while it is read.
    std::vector<std::pair<std::size_t, std::string_view>> attachment_props;
    while (r.left() > 0) {
      const std::uint8_t level = r.u8();
      const std::uint32_t id = r.u32();
      const std::uint32_t len = r.u32();
      const std::string_view data = r.bytes(len);
      const std::uint16_t checksum = r.u16();
      std::uint32_t sum = 0;
      for (char c : data) sum += static_cast<std::uint8_t>(c);
      if (static_cast<std::uint16_t>(sum & 0xFFFF) != checksum)
        s.warnings.push_back("TNEF attribute 0x" + std::to_string(id) + " has a wrong checksum");
      if (level != 1 && level != 2) throw Damaged("TNEF attribute of unknown level");
      if (level == 1) {
        if (id == kAttOemCodepage && len >= 4)
          s.code_page = Reader(data).u32();
        else if (id == kAttMessageClass)
          s.message_class = std::string(data.substr(0, data.find('\0')));
        else if (id == kAttMsgProps)
          message_props = data;
        else if (id == kAttBody && s.properties.empty())
          s.properties.push_back({0x1000001F, from_8bit(data, s.code_page)});
        continue;
      }
      if (id == kAttAttachRendData || current == nullptr) {
        s.attachments.emplace_back();
        current = &s.attachments.back();
        if (id == kAttAttachRendData) continue;
      }
      if (id == kAttAttachTitle)
        current->title = text::utf16_to_utf8(from_8bit(data, s.code_page));
      else if (id == kAttAttachData)
        current->data = to_bytes(data);
      else if (id == kAttAttachCreateDate && len >= 12)
        current->created = from_dtr(data);
      else if (id == kAttAttachModifyDate && len >= 12)
        current->modified = from_dtr(data);
      else if (id == kAttAttachment)
        attachment_props.emplace_back(s.attachments.size() - 1, data);
    }
    // Property lists are read once the code page is known, wherever it came.
    if (!message_props.empty()) {
      auto props = read_properties(message_props, s.code_page, nullptr, nesting, s.warnings);
      for (auto& p : props) s.properties.push_back(std::move(p));
    }
    for (auto& [index, data] : attachment_props) {
      Attachment& a = s.attachments[index];
      a.properties = read_properties(data, s.code_page, &a.embedded, nesting, s.warnings);
    }
    return s;
  } catch (const Damaged& e) {
    error = e.what();
    return std::nullopt;
  }
}

}  // namespace

std::optional<Stream> decode(std::string_view bytes, std::string& error) {
  return decode_stream(bytes, error, 0);
}

}  // namespace larkfield::mime::tnef
