#include "convert/mailstore/message_convert.hpp"

#include <memory>
#include <type_traits>
#include <utility>

namespace larkfield::mailstore {
namespace {

constexpr std::uint32_t kAttachDataBin = 0x37010102;  // PR_ATTACH_DATA_BIN
constexpr std::uint32_t kMessageFlags = 0x0E070003;   // PR_MESSAGE_FLAGS
constexpr std::int32_t kRead = 0x01;                  // MSGFLAG_READ
constexpr std::int32_t kHasAttachment = 0x10;         // MSGFLAG_HASATTACH

// Attachment data the importer left in the message file, read as the store writes them.
// The store sets PR_ATTACH_SIZE from the bytes it stored.
class ContentByteSource final : public pst::ByteSource {
 public:
  explicit ContentByteSource(std::shared_ptr<mime::ContentSource> content)
      : content_(std::move(content)) {}
  std::size_t read(std::span<std::byte> buffer) override { return content_->read(buffer); }

 private:
  std::shared_ptr<mime::ContentSource> content_;
};

// An empty body is no body: readers refuse a body property without data.
bool IsEmptyBody(const mime::Property& p) {
  switch (p.tag) {
    case 0x1000001F:  // PR_BODY_W
      if (const auto* s = std::get_if<std::u16string>(&p.value)) return s->empty();
      return false;
    case 0x10130102:  // PR_HTML
    case 0x10090102:  // PR_RTF_COMPRESSED
      if (const auto* b = std::get_if<mime::Bytes>(&p.value)) return b->empty();
      return false;
    default:
      return false;
  }
}

pst::PropValue ToPstValue(mime::Value&& value) {
  return std::visit(
      [](auto&& v) -> pst::PropValue {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, mime::FileTime>) {
          return pst::FileTime{v.ticks};
        } else if constexpr (std::is_same_v<T, mime::Guid>) {
          return pst::Guid{v.bytes};
        } else {
          return std::move(v);
        }
      },
      std::move(value));
}

std::vector<pst::Property> ToPstProperties(std::vector<mime::Property>&& properties,
                                           std::vector<mime::NamedProperty>&& named,
                                           const NamedIdSource& named_id) {
  std::vector<pst::Property> out;
  out.reserve(properties.size() + named.size());
  for (mime::Property& p : properties) {
    if (!IsEmptyBody(p)) out.push_back({p.tag, ToPstValue(std::move(p.value))});
  }
  for (mime::NamedProperty& n : named) {
    const pst::NamedPropertyKey key{pst::Guid{n.property_set.bytes}, std::move(n.name)};
    const std::uint16_t id = named_id(key);
    out.push_back({pst::make_tag(id, n.type), ToPstValue(std::move(n.value))});
  }
  return out;
}

}  // namespace

pst::Message ToPstMessage(mime::Message&& message, const NamedIdSource& named_id) {
  pst::Message out;
  out.properties =
      ToPstProperties(std::move(message.properties), std::move(message.named), named_id);
  out.recipients.reserve(message.recipients.size());
  for (mime::Recipient& r : message.recipients) {
    out.recipients.push_back({ToPstProperties(std::move(r.properties), {}, named_id)});
  }
  out.attachments.reserve(message.attachments.size());
  for (mime::Attachment& a : message.attachments) {
    pst::Attachment pa;
    pa.properties = ToPstProperties(std::move(a.properties), std::move(a.named), named_id);
    if (a.content) {
      std::erase_if(pa.properties, [](const pst::Property& p) { return p.tag == kAttachDataBin; });
      pa.properties.push_back(
          {kAttachDataBin, std::make_shared<ContentByteSource>(std::move(a.content))});
    }
    if (a.embedded_message) {
      pa.embedded_message =
          std::make_unique<pst::Message>(ToPstMessage(std::move(*a.embedded_message), named_id));
    }
    out.attachments.push_back(std::move(pa));
  }
  return out;
}

pst::Message StoreMessage(mime::ImportResult&& imported, const NamedIdSource& named_id) {
  std::int32_t flags = 0;
  for (const mime::Property& p : imported.message.properties) {
    if (p.tag != kMessageFlags) continue;
    if (const auto* f = std::get_if<std::int32_t>(&p.value)) flags = *f;
  }
  flags = (flags & ~kHasAttachment) | kRead;
  if (!imported.message.attachments.empty()) flags |= kHasAttachment;
  pst::Message out = ToPstMessage(std::move(imported.message), named_id);
  std::erase_if(out.properties, [](const pst::Property& p) { return p.tag == kMessageFlags; });
  out.properties.push_back({kMessageFlags, flags});
  return out;
}

}  // namespace larkfield::mailstore
