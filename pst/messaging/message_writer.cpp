#include "pst/messaging/message_writer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

#include "pst/ltp/table_context.hpp"
#include "pst/messaging/layout.hpp"
#include "pst/messaging/text.hpp"

namespace larkfield::pst::messaging {
namespace {

namespace tag = layout::tag;
using ndb::Nid;
using ndb::NidType;

// Properties the store computes for messages: never stored from the caller's values.
bool computed_message_property(std::uint16_t id) {
  switch (id) {
    case 0x0FFF:  // PR_ENTRYID
    case 0x0FF9:  // PR_RECORD_KEY
    case 0x0E09:  // PR_PARENT_ENTRYID
    case 0x0FFB:  // PR_STORE_ENTRYID
    case 0x0FFA:  // PR_STORE_RECORD_KEY
    case 0x0FFE:  // PR_OBJECT_TYPE
    case 0x0FF8:  // PR_MAPPING_SIGNATURE
    case 0x0FF6:  // PR_INSTANCE_KEY
    case 0x0FF4:  // PR_ACCESS
    case 0x0FF7:  // PR_ACCESS_LEVEL
    case 0x0E1B:  // PR_HASATTACH
    case 0x0E1D:  // PR_NORMALIZED_SUBJECT
    case 0x003D:  // PR_SUBJECT_PREFIX
    case 0x0E08:  // PR_MESSAGE_SIZE
    case 0x0E12:  // PR_MESSAGE_RECIPIENTS
    case 0x0E13:  // PR_MESSAGE_ATTACHMENTS
    case 0x0E1F:  // PR_RTF_IN_SYNC
      return true;
    default:
      return false;
  }
}

// Message properties that readers take as text by their id alone: a value of another type
// makes the message unreadable to them, so the store refuses it.
void check_text_property(const Property& p) {
  const std::uint16_t id = prop_id(p.tag), type = prop_type(p.tag);
  const char* name = nullptr;
  bool binary_too = false;
  switch (id) {
    case 0x0037:
      name = "PR_SUBJECT";
      break;
    case 0x0C1A:
      name = "PR_SENDER_NAME";
      break;
    case 0x1000:
      name = "PR_BODY";
      break;
    case 0x007D:
      name = "PR_TRANSPORT_MESSAGE_HEADERS";
      break;
    case 0x1013:
      name = "PR_HTML";
      binary_too = true;
      break;
    default:
      return;
  }
  if (type == pt::kUnicode || (binary_too && type == pt::kBinary)) return;
  char tag[16];
  std::snprintf(tag, sizeof tag, "0x%08X", p.tag);
  throw Error(Error::Code::kInvalidArgument,
              std::string(name) + " given as " + tag +
                  (binary_too ? ": it is text or binary" : ": it is a Unicode string"));
}

bool streamed(const PropValue& v) { return std::holds_alternative<std::shared_ptr<ByteSource>>(v); }

// Adds `p` to `row`, replacing a value of the same property id whatever its type: an
// object holds one value per id, as its property context does.
void upsert(std::vector<Property>& row, Property p) {
  for (auto& r : row) {
    if (prop_id(r.tag) == prop_id(p.tag)) {
      r = std::move(p);
      return;
    }
  }
  row.push_back(std::move(p));
}

// The properties of one object with the last value given for each property id: a later
// value replaces an earlier one of the same id, also one of another type. Order kept.
std::vector<const Property*> last_per_id(std::span<const Property> props) {
  std::vector<std::size_t> order(props.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return prop_id(props[a].tag) < prop_id(props[b].tag);
  });
  std::vector<std::size_t> kept;
  kept.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && prop_id(props[order[i]].tag) == prop_id(props[order[i + 1]].tag))
      continue;
    kept.push_back(order[i]);
  }
  std::sort(kept.begin(), kept.end());
  std::vector<const Property*> out;
  out.reserve(kept.size());
  for (std::size_t i : kept) out.push_back(&props[i]);
  return out;
}

// A table written for an object that may still fail: released unless the caller keeps
// what its flush returned.
class TableGuard {
 public:
  explicit TableGuard(ltp::TableWriter& table) : table_(table) {}
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;
  ~TableGuard() {
    if (armed_) {
      try {
        table_.release();
      } catch (...) {  // a failed database keeps what its last commit wrote
      }
    }
  }
  ltp::NodeData flush() {
    ltp::NodeData d = table_.flush();
    armed_ = false;  // the NodeData owns the blocks now
    return d;
  }

 private:
  ltp::TableWriter& table_;
  bool armed_ = true;
};

const Property* find(const std::vector<Property>& props, PropTag t) {
  for (const auto& p : props) {
    if (p.tag == t) return &p;
  }
  return nullptr;
}

FileTime now_filetime() {
  using namespace std::chrono;
  const auto since_epoch =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return FileTime{static_cast<std::uint64_t>(since_epoch) * 10 + 116444736000000000ull};
}

void append_utf16z(Bytes& out, std::u16string_view s) {
  for (char16_t c : s) {
    out.push_back(static_cast<std::byte>(c & 0xFF));
    out.push_back(static_cast<std::byte>(c >> 8));
  }
  out.push_back(std::byte{0});
  out.push_back(std::byte{0});
}

void append_utf8(Bytes& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<std::byte>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<std::byte>(0xC0 | (c >> 6)));
    out.push_back(static_cast<std::byte>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<std::byte>(0xE0 | (c >> 12)));
    out.push_back(static_cast<std::byte>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::byte>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<std::byte>(0xF0 | (c >> 18)));
    out.push_back(static_cast<std::byte>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<std::byte>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::byte>(0x80 | (c & 0x3F)));
  }
}

// Written nodes that belong to nobody yet: released unless the caller keeps them.
class Pending {
 public:
  explicit Pending(ndb::Database& db) : db_(db) {}
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    for (const auto& n : nodes_) {
      try {
        ltp::release(db_, n);
      } catch (...) {  // a failed database keeps what its last commit wrote
      }
    }
  }
  const ltp::NodeData& add(ltp::NodeData n) {
    nodes_.push_back(std::move(n));
    return nodes_.back();
  }
  void keep() { nodes_.clear(); }

 private:
  ndb::Database& db_;
  std::deque<ltp::NodeData> nodes_;  // references stay valid as it grows
};

// The data bytes of the node the writer will finish: its heap, its values and the
// subnodes added with their NodeData, at any depth.
std::uint64_t stored_bytes(const ltp::PropertyContextWriter& pc) { return pc.stored_bytes(); }

bool is_attachment_column(PropTag t) {
  return std::find(layout::kAttachmentColumns.begin(), layout::kAttachmentColumns.end(), t) !=
             layout::kAttachmentColumns.end() ||
         std::find(layout::kAttachmentExtraColumns.begin(), layout::kAttachmentExtraColumns.end(),
                   t) != layout::kAttachmentExtraColumns.end();
}

}  // namespace

Bytes one_off_entry_id(std::u16string_view name, std::u16string_view addrtype,
                       std::u16string_view address) {
  static constexpr std::uint8_t kOneOffProvider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3,
                                                       0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD,
                                                       0x01, 0x0F, 0x54, 0x02};
  Bytes out(4, std::byte{0});
  for (auto b : kOneOffProvider) out.push_back(std::byte{b});
  // Version 0; flags: Unicode strings, no rich text, do not look the address up.
  for (std::uint8_t b : {0x00, 0x00, 0x01, 0x90}) out.push_back(std::byte{b});
  append_utf16z(out, name);
  append_utf16z(out, addrtype);
  append_utf16z(out, address);
  return out;
}

Bytes address_search_key(std::u16string_view addrtype, std::u16string_view address) {
  Bytes out;
  auto add = [&](std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      char32_t c = s[i];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
          s[i + 1] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
        ++i;
      }
      if (c >= u'a' && c <= u'z') c -= 0x20;
      append_utf8(out, c);
    }
  };
  add(addrtype);
  out.push_back(std::byte{':'});
  add(address);
  out.push_back(std::byte{0});
  return out;
}

MessageWriter::MessageWriter(ndb::Database& db,
                             const std::array<std::uint8_t, 16>& store_record_key)
    : db_(db), record_key_(store_record_key) {}

Bytes MessageWriter::entry_id(std::uint32_t nid) const {
  Bytes e(24, std::byte{0});
  for (std::size_t i = 0; i < 16; ++i) e[4 + i] = std::byte{record_key_[i]};
  for (std::size_t i = 0; i < 4; ++i) e[20 + i] = static_cast<std::byte>(nid >> (8 * i));
  return e;
}

std::vector<std::vector<Property>> MessageWriter::recipient_rows(const Message& message) {
  std::vector<std::vector<Property>> rows;
  rows.reserve(message.recipients.size());
  std::uint32_t index = 0;
  for (const auto& r : message.recipients) {
    std::vector<Property> row;
    row.reserve(r.properties.size() + 8);
    for (const Property* p : last_per_id(r.properties)) row.push_back(*p);
    auto text = [&](PropTag t) -> std::u16string_view {
      const Property* p = find(row, t);
      if (!p) return {};
      const auto* s = std::get_if<std::u16string>(&p->value);
      return s ? std::u16string_view(*s) : std::u16string_view();
    };
    const std::u16string name(text(tag::kDisplayName));
    const std::u16string addrtype(text(tag::kAddrType));
    const std::u16string address(text(tag::kEmailAddress));
    // Defaults replace a value of the same id given with another type.
    auto fill = [&](Property p) {
      if (!find(row, p.tag)) upsert(row, std::move(p));
    };
    fill({tag::kRecipientType, std::int32_t(1)});
    fill({tag::kObjectType, std::int32_t(6)});
    fill({tag::kDisplayType, std::int32_t(0)});
    fill({tag::kResponsibility, true});
    fill({tag::kSendRichInfo, false});
    if (!addrtype.empty() && !address.empty()) {
      if (!find(row, tag::kSearchKey)) {
        upsert(row, {tag::kSearchKey, address_search_key(addrtype, address)});
      }
      if (!find(row, tag::kEntryId)) {
        upsert(row, {tag::kEntryId, one_off_entry_id(name, addrtype, address)});
      }
    }
    upsert(row, {tag::kRowId, std::int32_t(index)});
    upsert(row, {tag::kLtpRowId, std::int32_t(index)});
    upsert(row, {tag::kLtpRowVer, std::int32_t(index + 1)});
    rows.push_back(std::move(row));
    ++index;
  }
  return rows;
}

ltp::NodeData MessageWriter::write_recipients(const std::vector<std::vector<Property>>& rows) {
  std::vector<PropTag> columns(layout::kRecipientColumns.begin(), layout::kRecipientColumns.end());
  columns.push_back(tag::kRowId);
  for (const auto& row : rows) {
    for (const auto& p : row) {
      if (std::find(columns.begin(), columns.end(), p.tag) == columns.end()) {
        columns.push_back(p.tag);
      }
    }
  }
  std::sort(columns.begin(), columns.end());
  ltp::TableWriter table(db_, columns);
  TableGuard guard(table);
  std::uint32_t index = 0;
  for (const auto& row : rows) table.set_row(index++, row);
  return guard.flush();
}

MessageWriter::WrittenAttachment MessageWriter::write_attachment(const Attachment& attachment,
                                                                 ndb::Nid nid, int depth) {
  Pending pending(db_);
  ltp::PropertyContextWriter pc(db_);
  WrittenAttachment out;
  std::optional<std::int32_t> method;
  bool has_rendering = false;
  for (const Property* given : last_per_id(attachment.properties)) {
    const Property& p = *given;
    if (p.tag == tag::kAttachSize || p.tag == tag::kAttachDataObject ||
        prop_id(p.tag) == prop_id(tag::kAttachNum))
      continue;
    if (p.tag == tag::kAttachMethod) {
      if (const auto* m = std::get_if<std::int32_t>(&p.value)) method = *m;
    }
    if (p.tag == tag::kRenderingPosition) has_rendering = true;
    pc.set(p);
    if (is_attachment_column(p.tag) && !streamed(p.value)) upsert(out.row_values, p);
  }
  if (attachment.embedded_message) {
    if (depth + 1 > kMaxEmbeddingDepth) {
      throw Error(Error::Code::kNestingTooDeep, "attached messages nest deeper than " +
                                                    std::to_string(kMaxEmbeddingDepth) + " levels");
    }
    if (method && *method != 5) {
      throw Error(Error::Code::kInvalidArgument,
                  "an attached message needs PR_ATTACH_METHOD 5 (embedded message)");
    }
    if (!method) {
      method = 5;
      pc.set({tag::kAttachMethod, *method});
    }
    WrittenMessage inner = write(*attachment.embedded_message, depth + 1);
    const ltp::NodeData& kept = pending.add(std::move(inner.node));
    // From the store's counter, as Outlook numbers attached messages.
    const Nid inner_nid = db_.allocate_nid(NidType::kNormalMessage);
    pc.add_subnode(inner_nid, kept);
    Bytes object(8);
    for (std::size_t i = 0; i < 4; ++i) {
      object[i] = static_cast<std::byte>(inner_nid >> (8 * i));
      object[4 + i] = static_cast<std::byte>(static_cast<std::uint32_t>(inner.size) >> (8 * i));
    }
    pc.set({tag::kAttachDataObject, std::move(object)});
  } else if (method && *method == 5) {
    throw Error(Error::Code::kInvalidArgument,
                "PR_ATTACH_METHOD 5 (embedded message) without an attached message");
  }
  if (!method) {
    method = 1;
    pc.set({tag::kAttachMethod, *method});
  }
  upsert(out.row_values, {tag::kAttachMethod, *method});
  if (!has_rendering) {
    pc.set({tag::kRenderingPosition, std::int32_t(-1)});
    upsert(out.row_values, {tag::kRenderingPosition, std::int32_t(-1)});
  }
  // PR_ATTACH_NUM is the attachment's row id in the attachment table (its subnode id).
  pc.set({tag::kAttachNum, static_cast<std::int32_t>(nid)});
  // The size is an inline value: setting it does not change what the PC stores.
  pc.set({tag::kAttachSize, std::int32_t(0)});
  const std::int32_t size = size_property(stored_bytes(pc));  // an attached message included
  pc.set({tag::kAttachSize, size});
  upsert(out.row_values, {tag::kAttachSize, size});
  out.node = pc.finish();
  pending.keep();
  return out;
}

WrittenMessage MessageWriter::write(const Message& message, int depth) {
  // The last value of each id, checked before anything is written.
  const std::vector<const Property*> given = last_per_id(message.properties);
  for (const Property* p : given) check_text_property(*p);

  Pending pending(db_);
  ltp::PropertyContextWriter pc(db_);
  WrittenMessage out;

  // Recipient table: every message has one, empty or not.
  const std::vector<std::vector<Property>> recipients = recipient_rows(message);
  {
    const ltp::NodeData& t = pending.add(write_recipients(recipients));
    pc.add_subnode(layout::kRecipientTableSubnode, t);
  }

  // Attachments, then their table.
  if (!message.attachments.empty()) {
    std::vector<PropTag> columns(layout::kAttachmentColumns.begin(),
                                 layout::kAttachmentColumns.end());
    columns.insert(columns.end(), layout::kAttachmentExtraColumns.begin(),
                   layout::kAttachmentExtraColumns.end());
    std::sort(columns.begin(), columns.end());
    ltp::TableWriter table(db_, columns);
    TableGuard guard(table);
    std::uint32_t index = 0;
    for (const auto& a : message.attachments) {
      ++index;
      // Attachment ids come from the store's counter, as Outlook's do.
      const Nid nid = db_.allocate_nid(NidType::kAttachment);
      WrittenAttachment w = write_attachment(a, nid, depth);
      const ltp::NodeData& kept = pending.add(std::move(w.node));
      pc.add_subnode(nid, kept);
      w.row_values.push_back({tag::kLtpRowId, std::int32_t(nid)});
      w.row_values.push_back({tag::kLtpRowVer, std::int32_t(index)});
      table.set_row(nid, w.row_values);
    }
    const ltp::NodeData& t = pending.add(guard.flush());
    pc.add_subnode(layout::kAttachmentTableSubnode, t);
  }

  // The message's own properties.
  std::optional<std::u16string> prefix;
  std::uint32_t flags = layout::kMsgFlagRead;
  bool has_class = false, has_status = false, has_creation = false, has_modification = false,
       has_search_key = false, has_to = false, has_cc = false, has_bcc = false;
  std::optional<FileTime> delivery, submit;
  for (const Property* p : given) {
    if (p->tag == tag::kSubjectPrefix) {
      if (const auto* s = std::get_if<std::u16string>(&p->value)) prefix = *s;
    }
  }
  for (const Property* given_property : given) {
    const Property& p = *given_property;
    const std::uint16_t id = prop_id(p.tag);
    if (computed_message_property(id)) continue;
    if (p.tag == tag::kMessageFlags) {
      if (const auto* f = std::get_if<std::int32_t>(&p.value)) {
        flags = static_cast<std::uint32_t>(*f);
        continue;
      }
    }
    if (p.tag == tag::kSubject) {
      if (const auto* s = std::get_if<std::u16string>(&p.value)) {
        Property stored{p.tag, stored_subject(*s, prefix)};
        pc.set(stored);
        upsert(out.row_values, std::move(stored));
        continue;
      }
    }
    if (p.tag == tag::kMessageClass) has_class = true;
    if (p.tag == tag::kMessageStatus) has_status = true;
    if (p.tag == tag::kCreationTime) has_creation = true;
    if (p.tag == tag::kLastModificationTime) has_modification = true;
    if (p.tag == tag::kSearchKey) has_search_key = true;
    if (p.tag == tag::kDisplayTo) has_to = true;
    if (p.tag == tag::kDisplayCc) has_cc = true;
    if (p.tag == tag::kDisplayBcc) has_bcc = true;
    if (p.tag == tag::kMessageDeliveryTime) {
      if (const auto* t = std::get_if<FileTime>(&p.value)) delivery = *t;
    }
    if (p.tag == tag::kClientSubmitTime) {
      if (const auto* t = std::get_if<FileTime>(&p.value)) submit = *t;
    }
    pc.set(p);
    if (!streamed(p.value)) {
      // Only values a contents-table row can hold are kept for the row; bodies and the
      // like are not columns of any template.
      if (std::find(layout::kContentsColumns.begin(), layout::kContentsColumns.end(), p.tag) !=
          layout::kContentsColumns.end()) {
        upsert(out.row_values, p);
      }
    }
  }
  auto add = [&](Property p) {
    pc.set(p);
    upsert(out.row_values, std::move(p));
  };
  if (!has_class) add({tag::kMessageClass, std::u16string(u"IPM.Note")});
  flags &= ~layout::kMsgFlagHasAttach;
  if (!message.attachments.empty()) flags |= layout::kMsgFlagHasAttach;
  add({tag::kMessageFlags, static_cast<std::int32_t>(flags)});
  if (!has_status) add({tag::kMessageStatus, std::int32_t(0)});
  const FileTime when = delivery ? *delivery : submit ? *submit : now_filetime();
  if (!has_creation) add({tag::kCreationTime, when});
  if (!has_modification) add({tag::kLastModificationTime, when});
  if (!has_search_key) {
    // Unique per message: the store's key with a per-writer counter in its last bytes.
    Bytes key(16);
    const std::uint64_t n = ++search_key_counter_;
    for (std::size_t i = 0; i < 16; ++i) key[i] = std::byte{record_key_[i]};
    for (std::size_t i = 0; i < 8; ++i) key[8 + i] ^= static_cast<std::byte>(n >> (8 * i));
    add({tag::kSearchKey, std::move(key)});
  }
  // The display lists, from the recipient table when the caller gave none.
  auto names_of = [&](std::int32_t type) {
    std::u16string joined;
    for (const auto& row : recipients) {
      const Property* t = find(row, tag::kRecipientType);
      const Property* n = find(row, tag::kDisplayName);
      const auto* row_type = t ? std::get_if<std::int32_t>(&t->value) : nullptr;
      const auto* name = n ? std::get_if<std::u16string>(&n->value) : nullptr;
      if (!row_type || *row_type != type || !name) continue;
      if (!joined.empty()) joined += u"; ";
      joined += *name;
    }
    return joined;
  };
  if (!message.recipients.empty()) {
    const std::u16string to = names_of(1), cc = names_of(2), bcc = names_of(3);
    if (!has_to && !to.empty()) add({tag::kDisplayTo, to});
    if (!has_cc && !cc.empty()) add({tag::kDisplayCc, cc});
    if (!has_bcc && !bcc.empty()) add({tag::kDisplayBcc, bcc});
  }

  // PR_MESSAGE_SIZE: every data byte the message's node and subnodes hold. It is an
  // inline value, so setting it does not change the size it states.
  pc.set({tag::kMessageSize, std::int32_t(0)});
  out.size = stored_bytes(pc);  // the subnodes added above included
  add({tag::kMessageSize, size_property(out.size)});
  out.flags = flags;
  out.node = pc.finish();
  pending.keep();
  return out;
}

std::int32_t size_property(std::uint64_t bytes) {
  return static_cast<std::int32_t>(std::min<std::uint64_t>(bytes, 0x7FFFFFFF));
}

}  // namespace larkfield::pst::messaging
