// Messaging checks: the store, the mandatory nodes, folders with their tables and counts,
// messages with their recipients, attachments and sizes.

#include <algorithm>
#include <array>

#include "pst/check/detail/checker.hpp"

namespace larkfield::pst::check::detail {
namespace {

constexpr std::uint32_t kTagDisplayName = 0x3001001F;
constexpr std::uint32_t kTagContentCount = 0x36020003;
constexpr std::uint32_t kTagContentUnread = 0x36030003;
constexpr std::uint32_t kTagSubfolders = 0x360A000B;
constexpr std::uint32_t kTagAssocCount = 0x36170003;
constexpr std::uint32_t kTagMessageClass = 0x001A001F;
constexpr std::uint32_t kTagMessageFlags = 0x0E070003;
constexpr std::uint32_t kTagMessageSize = 0x0E080003;
constexpr std::uint32_t kTagSubject = 0x0037001F;
constexpr std::uint32_t kTagMessageStatus = 0x0E170003;
constexpr std::uint32_t kTagAttachSize = 0x0E200003;
constexpr std::uint32_t kTagAttachMethod = 0x37050003;
constexpr std::uint32_t kTagRenderingPosition = 0x370B0003;
constexpr std::uint32_t kTagAttachDataObject = 0x3701000D;
constexpr std::uint32_t kTagRowId = 0x67F20003;
constexpr std::uint32_t kTagRowVer = 0x67F30003;
constexpr std::uint32_t kTagAttachNum = 0x0E210003;
constexpr std::uint32_t kTagAddrType = 0x3002001F;
constexpr std::uint32_t kNidRecipientTable = 0x692;
constexpr std::uint32_t kNidAttachmentTable = 0x671;
constexpr std::uint32_t kMsgFlagRead = 0x01;
constexpr std::uint32_t kMsgFlagHasAttach = 0x10;

enum NidType : std::uint32_t {
  kInternal = 0x01,
  kNormalFolder = 0x02,
  kSearchFolder = 0x03,
  kNormalMessage = 0x04,
  kAttachment = 0x05,
  kSearchCriteria = 0x07,
  kAssocMessage = 0x08,
  kHierarchyTable = 0x0D,
  kContentsTable = 0x0E,
  kAssocContentsTable = 0x0F,
  kSearchContentsTable = 0x10,
};

bool is_table_type(std::uint32_t t) {
  return (t >= 0x0A && t <= 0x13) || t == 0x16 || t == 0x17 || t == 0x18;
}

std::string tag_text(std::uint32_t tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

std::u16string utf16(const Bytes& b) {
  std::u16string s;
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
    s.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
  }
  return s;
}

}  // namespace

std::optional<std::int64_t> Checker::pc_int(const Pc& pc, std::uint32_t tag) {
  const PcProp* p = pc.find(tag);
  if (!p) return std::nullopt;
  switch (tag & 0xFFFF) {
    case 0x0003:
      return static_cast<std::int64_t>(p->hnid);
    case 0x000B:
      return p->hnid & 0xFF ? 1 : 0;
    case 0x0002:
      return p->hnid & 0xFFFF;
    default:
      return std::nullopt;
  }
}

// Sum of the data bytes of every external block a node and its subnodes reach.
std::uint64_t Checker::external_bytes(std::uint64_t data, std::uint64_t sub, int depth) {
  std::uint64_t sum = data_size(data);
  if (depth > 32 || sub == 0) return sum;
  SubnodeMap subs = subnodes(sub);
  for (const auto& [nid, e] : subs.entries) sum += external_bytes(e.data, e.sub, depth + 1);
  return sum;
}

void Checker::compare_row(Tc& tc, const SubnodeMap& tc_subs, std::size_t row, const Pc& pc,
                          const SubnodeMap& pc_subs, const std::string& rule,
                          const std::string& label) {
  auto r = tc_row(tc, row);
  if (!r) return;
  for (const auto& c : tc.columns) {
    if (c.tag == kTagRowId || c.tag == kTagRowVer) continue;
    auto cell = tc_cell(tc, tc_subs, ByteSpan(*r), c);
    const PcProp* p = pc.find(c.tag);
    if (!cell && !p) continue;
    const std::string where = label + " column " + tag_text(c.tag);
    // PR_MESSAGE_STATUS belongs to the contents table, not to the message: a value in the
    // row alone is right.
    if (cell && !p && c.tag == kTagMessageStatus) continue;
    if (cell && !p) {
      sink_.outlook(rule, where + ": the row has a value the object does not have");
      continue;
    }
    auto v = pc_value(pc, pc_subs, *p);
    if (!v) continue;
    if (!cell) {
      sink_.outlook(rule, where + ": the object has a value the row does not have");
      continue;
    }
    if (*cell != *v) {
      sink_.outlook(rule, where + ": the row's value (" + std::to_string(cell->size()) +
                              " bytes) differs from the object's (" + std::to_string(v->size()) +
                              " bytes)");
    }
  }
}

// ---------------------------------------------------------------------------------------

void Checker::check_messaging() {
  if (!ltp_possible_) return;
  check_store();
  check_name_map();
  check_mandatory_nodes();
  for (const auto& [nid, n] : nodes_) children_[n.parent].push_back(nid);
  for (const auto& [nid, n] : nodes_) {
    if (!budget_left()) return;
    std::uint32_t t = nid_type(nid);
    if (t == kNormalFolder || t == kSearchFolder) check_folder(n);
  }
  // Messages that no contents table lists were reported by their folder; check them too.
  for (const auto& [nid, n] : nodes_) {
    if (!budget_left()) return;
    std::uint32_t t = nid_type(nid);
    if ((t == kNormalMessage || t == kAssocMessage) && !checked_messages_.count(nid)) {
      check_message(NodeRef{nid, n.data, n.sub, "message " + hex(nid)}, 0, nullptr, nullptr, 0);
    }
  }
  check_other_nodes();
}

void Checker::check_store() {
  auto it = nodes_.find(0x21);
  if (it == nodes_.end()) return;  // reported as a missing mandatory node
  checked_nodes_.insert(0x21);
  NodeRef ref{0x21, it->second.data, it->second.sub, "message store (0x21)"};
  SubnodeMap subs = subnodes(ref.sub);
  Pc pc;
  if (!read_pc(ref, subs, pc)) return;
  check_pc_values(pc, subs, ref.label);
  Bytes record_key;
  if (const PcProp* p = pc.find(0x0FF90102)) {
    auto v = pc_value(pc, subs, *p);
    if (v) record_key = *v;
    if (!v || v->size() != 16) {
      sink_.error("store.record-key", ref.label + " PR_RECORD_KEY is not 16 bytes");
    }
  } else {
    sink_.error("store.record-key", ref.label + " has no PR_RECORD_KEY");
  }
  if (!pc.find(kTagDisplayName)) {
    sink_.error("store.required-property", ref.label + " has no PR_DISPLAY_NAME");
  }
  static constexpr std::array<std::pair<std::uint32_t, const char*>, 3> kEntryIds = {{
      {0x35E00102, "PR_IPM_SUBTREE_ENTRYID"},
      {0x35E30102, "PR_IPM_WASTEBASKET_ENTRYID"},
      {0x35E70102, "PR_FINDER_ENTRYID"},
  }};
  for (const auto& [tag, name] : kEntryIds) {
    const PcProp* p = pc.find(tag);
    if (!p) {
      sink_.error("store.required-property", ref.label + " has no " + name);
      continue;
    }
    auto v = pc_value(pc, subs, *p);
    if (!v || v->size() != 24) {
      sink_.error("store.entryid", ref.label + " " + name + " is not a 24-byte entry id");
      continue;
    }
    ByteSpan e(*v);
    std::uint32_t target = le32(e, 20);
    if (le32(e, 0) != 0 || (record_key.size() == 16 &&
                            !std::equal(record_key.begin(), record_key.end(), v->begin() + 4))) {
      sink_.error("store.entryid",
                  ref.label + " " + name + " does not carry the store's record key");
    }
    if (nid_type(target) != kNormalFolder || !nodes_.count(target)) {
      sink_.error("store.entryid", ref.label + " " + name + " names " + hex(target) +
                                       ", which is not a folder of this file");
    }
  }
  if (auto pw = pc_int(pc, 0x67FF0003); pw && *pw != 0) {
    sink_.outlook("store.password",
                  ref.label + " has a non-zero PidTagPstPassword: readers ask for a password");
  }
}

void Checker::check_name_map() {
  auto it = nodes_.find(0x61);
  if (it == nodes_.end()) return;
  checked_nodes_.insert(0x61);
  NodeRef ref{0x61, it->second.data, it->second.sub, "name-to-id map (0x61)"};
  SubnodeMap subs = subnodes(ref.sub);
  Pc pc;
  if (!read_pc(ref, subs, pc)) return;
  check_pc_values(pc, subs, ref.label);
  auto buckets = pc_int(pc, 0x00010003);
  if (!buckets || *buckets != 251) {
    sink_.error("namemap.bucket-count", ref.label + " PidTagNameidBucketCount is not 251");
  }
  // Internet header names are kept in lower case: the map's lookup hashes the exact
  // string, and clients look the lower-case name up, as Outlook stores it.
  static constexpr std::uint8_t kPsInternetHeaders[16] = {0x86, 0x03, 0x02, 0x00, 0x00, 0x00,
                                                          0x00, 0x00, 0xC0, 0x00, 0x00, 0x00,
                                                          0x00, 0x00, 0x00, 0x46};
  auto stream = [&](std::uint32_t tag) -> Bytes {
    const PcProp* p = pc.find(tag);
    if (!p) return {};
    auto v = pc_value(pc, subs, *p);
    return v ? *v : Bytes{};
  };
  const Bytes guids = stream(0x00020102), entries = stream(0x00030102),
              strings = stream(0x00040102);
  for (std::size_t at = 0; at + 8 <= entries.size(); at += 8) {
    const std::uint32_t offset = le32(ByteSpan(entries), at);
    const std::uint16_t kind = le16(ByteSpan(entries), at + 4);
    const std::size_t guid = kind >> 1;
    if ((kind & 1) == 0 || guid < 3 || 16 * (guid - 3) + 16 > guids.size()) continue;
    if (!std::equal(std::begin(kPsInternetHeaders), std::end(kPsInternetHeaders),
                    guids.begin() + static_cast<std::ptrdiff_t>(16 * (guid - 3))))
      continue;
    if (offset + 4ull > strings.size()) continue;
    const std::size_t length = le32(ByteSpan(strings), offset);
    if (offset + 4ull + length > strings.size()) continue;
    std::string name;
    bool upper = false;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
      const char16_t c =
          static_cast<char16_t>(strings[offset + 4 + i] | (strings[offset + 4 + i + 1] << 8));
      upper = upper || (c >= u'A' && c <= u'Z');
      name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    ++internet_names_;
    internet_names_upper_ = internet_names_upper_ || upper;
    if (upper) {
      sink_.error("namemap.internet-header-case",
                  ref.label + " internet header name \"" + name +
                      "\" is not in lower case; clients look up the lower-case name");
    }
  }
}

void Checker::check_mandatory_nodes() {
  struct Want {
    std::uint32_t nid;
    std::uint32_t parent;
  };
  static constexpr Want kMandatory[] = {
      {0x21, 0},   {0x61, 0},       {0x122, 0x122},  {0x12D, 0},      {0x12E, 0},  {0x12F, 0},
      {0x1E1, 0},  {0x201, 0},      {0x60D, 0},      {0x60E, 0},      {0x60F, 0},  {0x610, 0},
      {0x671, 0},  {0x692, 0},      {0x2223, 0x122}, {0x8022, 0x122}, {0x802D, 0}, {0x802E, 0},
      {0x802F, 0}, {0x8042, 0x122}, {0x804D, 0},     {0x804E, 0},     {0x804F, 0}, {0x8062, 0x8022},
      {0x806D, 0}, {0x806E, 0},     {0x806F, 0}};
  for (const auto& w : kMandatory) {
    auto it = nodes_.find(w.nid);
    if (it == nodes_.end()) {
      sink_.error("store.mandatory-node",
                  "mandatory node " + hex(w.nid) + " (" + node_type_name(w.nid) + ") is missing");
    } else if (it->second.parent != w.parent) {
      sink_.error("nbt.parent", "node " + hex(w.nid) + " has parent " + hex(it->second.parent) +
                                    ", expected " + hex(w.parent));
    }
  }
  // Templates hold columns only.
  for (std::uint32_t nid :
       {0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x671u, 0x692u, 0x6B6u, 0x6D7u, 0x6F8u}) {
    auto it = nodes_.find(nid);
    if (it == nodes_.end()) continue;
    checked_nodes_.insert(nid);
    NodeRef ref{nid, it->second.data, it->second.sub, "template " + hex(nid)};
    SubnodeMap subs = subnodes(ref.sub);
    Tc tc;
    if (!read_tc(ref, subs, tc)) continue;
    if (tc.rows != 0) {
      sink_.error("template.rows", ref.label + " has " + std::to_string(tc.rows) + " rows");
    }
  }
  // Every folder and message hangs below an existing folder.
  for (const auto& [nid, n] : nodes_) {
    std::uint32_t t = nid_type(nid);
    if (t == kNormalFolder || t == kSearchFolder || t == kNormalMessage || t == kAssocMessage) {
      if (nid == 0x122) continue;
      auto p = nodes_.find(n.parent);
      if (p == nodes_.end() || nid_type(n.parent) != kNormalFolder) {
        sink_.error("nbt.parent", node_type_name(nid) + " " + hex(nid) + " has parent " +
                                      hex(n.parent) + ", which is not a folder of this file");
      }
    }
  }
}

void Checker::check_folder(const NodeEntry& folder) {
  const std::uint32_t nid = folder.nid;
  const bool search = nid_type(nid) == kSearchFolder;
  const std::string label = std::string(search ? "search folder " : "folder ") + hex(nid);
  checked_nodes_.insert(nid);
  report_.folders++;
  NodeRef ref{nid, folder.data, folder.sub, label};
  SubnodeMap subs = subnodes(ref.sub);
  Pc pc;
  if (!read_pc(ref, subs, pc)) return;
  check_pc_values(pc, subs, label);
  for (std::uint32_t tag : {kTagDisplayName, kTagContentCount, kTagContentUnread, kTagSubfolders}) {
    if (!pc.find(tag)) {
      sink_.error("folder.required-property", label + " has no " + tag_text(tag));
    }
  }
  if (search) {
    std::uint32_t table = (nid & ~0x1Fu) | kSearchContentsTable;
    if (auto it = nodes_.find(table); it != nodes_.end()) {
      checked_nodes_.insert(table);
      NodeRef tref{table, it->second.data, it->second.sub, label + " search contents table"};
      SubnodeMap tsubs = subnodes(tref.sub);
      Tc tc;
      if (read_tc(tref, tsubs, tc)) check_tc_rows(tc, tsubs, tref.label);
    }
    return;
  }

  std::set<std::uint32_t> child_folders, messages, fai;
  auto kids = children_.find(nid);
  for (std::uint32_t cnid : kids == children_.end() ? std::vector<std::uint32_t>{} : kids->second) {
    if (cnid == nid) continue;
    std::uint32_t t = nid_type(cnid);
    if (t == kNormalFolder || t == kSearchFolder) child_folders.insert(cnid);
    if (t == kNormalMessage) messages.insert(cnid);
    if (t == kAssocMessage) fai.insert(cnid);
  }

  auto open_table = [&](std::uint32_t type, const char* what, Tc& tc, SubnodeMap& tsubs) {
    std::uint32_t table = (nid & ~0x1Fu) | type;
    auto it = nodes_.find(table);
    if (it == nodes_.end()) {
      sink_.error("folder.tables-missing", label + " has no " + what + " " + hex(table));
      return false;
    }
    checked_nodes_.insert(table);
    NodeRef tref{table, it->second.data, it->second.sub, label + " " + what};
    tsubs = subnodes(tref.sub);
    if (!read_tc(tref, tsubs, tc)) return false;
    check_tc_rows(tc, tsubs, tref.label);
    return true;
  };
  auto compare_ids = [&](const Tc& tc, const std::set<std::uint32_t>& want, const char* rule,
                         const char* what) {
    std::set<std::uint32_t> have(tc.row_ids.begin(), tc.row_ids.end());
    for (auto id : have) {
      if (!want.count(id)) {
        sink_.error(rule, label + " " + what + " has a row for " + hex(id) +
                              ", which is not one of its " + what + " objects in the NBT");
      }
    }
    for (auto id : want) {
      if (!have.count(id)) {
        sink_.error(rule, label + " " + what + " has no row for " + hex(id));
      }
    }
  };

  // Hierarchy table: one row per subfolder, cells as in the subfolder's PC.
  Tc htc;
  SubnodeMap hsubs;
  if (open_table(kHierarchyTable, "hierarchy table", htc, hsubs)) {
    compare_ids(htc, child_folders, "folder.hierarchy-rows", "hierarchy table");
    for (std::size_t i = 0; i < htc.rows; ++i) {
      auto cit = nodes_.find(htc.row_ids[i]);
      if (cit == nodes_.end() || !child_folders.count(cit->first)) continue;
      NodeRef cref{cit->first, cit->second.data, cit->second.sub, "folder " + hex(cit->first)};
      SubnodeMap csubs = subnodes(cref.sub);
      Pc cpc;
      sink_.mute(true);
      bool ok = read_pc(cref, csubs, cpc);
      sink_.mute(false);
      if (ok) {
        compare_row(htc, hsubs, i, cpc, csubs, "folder.hierarchy-row-mismatch",
                    label + " hierarchy row for " + hex(cit->first));
      }
    }
  }
  if (auto sf = pc_int(pc, kTagSubfolders); sf && (*sf != 0) != !child_folders.empty()) {
    sink_.error("folder.subfolders", label + " PR_SUBFOLDERS is " + (*sf ? "true" : "false") +
                                         " but it has " + std::to_string(child_folders.size()) +
                                         " subfolder(s)");
  }

  // Contents table: one row per message, equal to the message for every column.
  Tc ctc;
  SubnodeMap csubs;
  std::uint64_t unread = 0;
  if (open_table(kContentsTable, "contents table", ctc, csubs)) {
    compare_ids(ctc, messages, "folder.contents-rows", "contents table");
    for (std::size_t i = 0; i < ctc.rows; ++i) {
      if (!budget_left()) return;
      auto mit = nodes_.find(ctc.row_ids[i]);
      if (mit == nodes_.end() || !messages.count(mit->first) ||
          checked_messages_.count(mit->first)) {
        continue;
      }
      NodeRef mref{mit->first, mit->second.data, mit->second.sub, "message " + hex(mit->first)};
      auto res = check_message(mref, 0, &ctc, &csubs, i);
      if (res.pc_ok && res.flags && !(*res.flags & kMsgFlagRead)) ++unread;
    }
  }
  if (auto count = pc_int(pc, kTagContentCount)) {
    if (static_cast<std::uint64_t>(*count) != messages.size() ||
        (ctc.ok && ctc.rows != messages.size())) {
      sink_.error("folder.content-count",
                  label + " PR_CONTENT_COUNT is " + std::to_string(*count) +
                      ", the contents table has " + std::to_string(ctc.rows) + " rows and " +
                      std::to_string(messages.size()) + " messages name it as parent");
    }
  }
  if (auto u = pc_int(pc, kTagContentUnread);
      u && ctc.ok && static_cast<std::uint64_t>(*u) != unread) {
    sink_.error("folder.content-unread", label + " PR_CONTENT_UNREAD is " + std::to_string(*u) +
                                             " but " + std::to_string(unread) +
                                             " of its messages are unread");
  }

  // Associated contents table: the folder's FAI messages.
  Tc atc;
  SubnodeMap asubs;
  if (open_table(kAssocContentsTable, "associated contents table", atc, asubs)) {
    compare_ids(atc, fai, "folder.assoc-rows", "associated contents table");
    for (std::size_t i = 0; i < atc.rows; ++i) {
      auto mit = nodes_.find(atc.row_ids[i]);
      if (mit == nodes_.end() || !fai.count(mit->first) || checked_messages_.count(mit->first)) {
        continue;
      }
      NodeRef mref{mit->first, mit->second.data, mit->second.sub,
                   "associated message " + hex(mit->first)};
      check_message(mref, 0, &atc, &asubs, i);
    }
    if (auto ac = pc_int(pc, kTagAssocCount); ac && static_cast<std::uint64_t>(*ac) != atc.rows) {
      sink_.error("folder.assoc-count", label + " PR_ASSOC_CONTENT_COUNT is " +
                                            std::to_string(*ac) + " but its table has " +
                                            std::to_string(atc.rows) + " rows");
    }
  }
}

Checker::MessageResult Checker::check_message(const NodeRef& msg, int depth, Tc* row_table,
                                              const SubnodeMap* row_subs, std::size_t row) {
  MessageResult res;
  if (depth == 0) {
    checked_messages_.insert(msg.nid);
    checked_nodes_.insert(msg.nid);
    report_.messages++;
  }
  SubnodeMap subs = subnodes(msg.sub);
  if (!subs.ok) {
    sink_.error("message.subnodes", msg.label + " subnode tree is not readable");
  }
  Pc pc;
  if (!read_pc(msg, subs, pc)) return res;
  res.pc_ok = true;
  check_pc_values(pc, subs, msg.label);
  for (std::uint32_t tag : {kTagMessageClass, kTagMessageFlags, kTagMessageSize}) {
    if (!pc.find(tag)) {
      sink_.error("message.required-property", msg.label + " has no " + tag_text(tag));
    }
  }
  std::string message_class;
  if (const PcProp* p = pc.find(kTagMessageClass)) {
    if (auto v = pc_value(pc, subs, *p, 4096)) {
      for (char16_t c : utf16(*v)) message_class.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
  }
  if (auto f = pc_int(pc, kTagMessageFlags)) res.flags = static_cast<std::uint32_t>(*f);
  if (auto s = pc_int(pc, kTagMessageSize)) res.size = static_cast<std::uint32_t>(*s);

  // Recipient table: every message has one.
  if (auto it = subs.entries.find(kNidRecipientTable); it != subs.entries.end()) {
    NodeRef tref{it->first, it->second.data, it->second.sub, msg.label + " recipient table"};
    SubnodeMap tsubs = subnodes(tref.sub);
    Tc tc;
    if (read_tc(tref, tsubs, tc)) {
      check_tc_rows(tc, tsubs, tref.label);
      // Readers take every recipient's address type; a row without one stops them.
      if (const TcColumn* col = tc.column(kTagAddrType)) {
        for (std::size_t i = 0; i < tc.rows; ++i) {
          auto r = tc_row(tc, i);
          if (!r) continue;
          auto cell = tc_cell(tc, tsubs, ByteSpan(*r), *col, 4096);
          if (!cell || cell->empty()) {
            sink_.error("recipient.address-type",
                        tref.label + " row " + hex(tc.row_ids[i]) + " has no PR_ADDRTYPE");
          }
        }
      } else if (tc.rows > 0) {
        sink_.error("recipient.address-type", tref.label + " has rows but no PR_ADDRTYPE column");
      }
    }
  } else {
    // Outlook's own posts come without one.
    sink_.outlook("message.recipient-table",
                  msg.label + " (" + message_class + ") has no recipient table");
  }

  // Attachments: the flag, the table and the attachment objects agree.
  std::set<std::uint32_t> attachments;
  for (const auto& [snid, e] : subs.entries) {
    if (nid_type(snid) == kAttachment) attachments.insert(snid);
  }
  auto at = subs.entries.find(kNidAttachmentTable);
  const bool has_table = at != subs.entries.end();
  if (res.flags && ((*res.flags & kMsgFlagHasAttach) != 0) != has_table) {
    sink_.error("message.hasattach", msg.label +
                                         (has_table ? " has an attachment table but no"
                                                    : " has no attachment table but the") +
                                         " MSGFLAG_HASATTACH flag");
  }
  if (has_table) {
    NodeRef tref{at->first, at->second.data, at->second.sub, msg.label + " attachment table"};
    SubnodeMap tsubs = subnodes(tref.sub);
    Tc tc;
    if (read_tc(tref, tsubs, tc)) {
      check_tc_rows(tc, tsubs, tref.label);
      std::set<std::uint32_t> rows(tc.row_ids.begin(), tc.row_ids.end());
      if (rows != attachments) {
        sink_.error("message.attachment-rows", msg.label + " attachment table has " +
                                                   std::to_string(rows.size()) + " rows for " +
                                                   std::to_string(attachments.size()) +
                                                   " attachment objects, or other ids");
      }
      for (std::size_t i = 0; i < tc.rows; ++i) {
        auto e = subs.entries.find(tc.row_ids[i]);
        if (e == subs.entries.end()) continue;
        NodeRef aref{e->first, e->second.data, e->second.sub,
                     msg.label + " attachment " + hex(e->first)};
        SubnodeMap asubs = subnodes(aref.sub);
        Pc apc;
        sink_.mute(true);
        bool ok = read_pc(aref, asubs, apc);
        sink_.mute(false);
        if (!ok) continue;
        compare_row(tc, tsubs, i, apc, asubs, "attachment.row-mismatch", aref.label);
        // A stored PR_ATTACH_NUM names the attachment's row (Outlook stores none and
        // gives the row id).
        auto num = pc_int(apc, kTagAttachNum);
        if (num && static_cast<std::uint32_t>(*num) != tc.row_ids[i]) {
          sink_.error("attachment.attach-num", aref.label + " PR_ATTACH_NUM is " +
                                                   hex(static_cast<std::uint32_t>(*num)) +
                                                   ", not its row id " + hex(tc.row_ids[i]));
        }
      }
    }
  } else if (!attachments.empty()) {
    sink_.error("message.attachment-rows", msg.label + " has " +
                                               std::to_string(attachments.size()) +
                                               " attachment objects but no attachment table");
  }
  // Attachment and attached-message ids come from the store's counters, as Outlook's
  // do: at least the first index of their type and within the header's counter.
  for (const auto& [snid, e] : subs.entries) {
    const std::uint32_t t = nid_type(snid);
    if (t != kAttachment && t != kNormalMessage) continue;
    const std::uint32_t first = t == kAttachment ? 0x400 : 0x10000;
    if (nid_index(snid) < first || nid_index(snid) > h_.rgnid[t]) {
      sink_.error("subnode.nid-range", msg.label + " subnode " + hex(snid) +
                                           " is outside its type's range (" + hex(first) +
                                           " to the header's " + hex(h_.rgnid[t]) + ")");
    }
  }
  for (auto anid : attachments) {
    const NodeEntry& e = subs.entries[anid];
    check_attachment(NodeRef{anid, e.data, e.sub, msg.label + " attachment " + hex(anid)}, depth);
  }

  // PR_MESSAGE_SIZE: the data bytes the message's node and subnodes hold; a signed 32-bit
  // value, so a message over 2 GiB states the largest one.
  if (res.size) {
    std::uint64_t bytes = external_bytes(msg.data, msg.sub, 0);
    if (bytes != *res.size && !(*res.size == 0x7FFFFFFF && bytes > 0x7FFFFFFF)) {
      sink_.outlook("message.size", msg.label + " PR_MESSAGE_SIZE is " + std::to_string(*res.size) +
                                        " but its blocks hold " + std::to_string(bytes) +
                                        " bytes of data");
    }
  }

  // The stored subject starts with U+0001 and the prefix length + 1.
  if (const PcProp* p = pc.find(kTagSubject)) {
    if (auto v = pc_value(pc, subs, *p)) {
      std::u16string s = utf16(*v);
      if (!s.empty() && s[0] != 0x0001) {
        sink_.warning("message.subject-no-header", msg.label + " subject has no prefix header");
      } else if (!s.empty() &&
                 (s.size() < 2 || s[1] == 0 || std::size_t{s[1]} - 1 > s.size() - 2)) {
        sink_.error("message.subject-header",
                    msg.label + " subject header gives a prefix longer than the subject");
      }
    }
  }

  if (row_table && row_subs) {
    compare_row(*row_table, *row_subs, row, pc, subs,
                nid_type(msg.nid) == kAssocMessage ? "folder.assoc-row-mismatch"
                                                   : "folder.contents-row-mismatch",
                msg.label + " row");
  }
  return res;
}

void Checker::check_attachment(const NodeRef& att, int depth) {
  SubnodeMap subs = subnodes(att.sub);
  Pc pc;
  if (!read_pc(att, subs, pc)) return;
  check_pc_values(pc, subs, att.label);
  for (std::uint32_t tag : {kTagAttachSize, kTagAttachMethod, kTagRenderingPosition}) {
    if (!pc.find(tag)) {
      sink_.error("attachment.required-property", att.label + " has no " + tag_text(tag));
    }
  }
  auto method = pc_int(pc, kTagAttachMethod);
  if (!method || *method != 5) return;
  const PcProp* obj = pc.find(kTagAttachDataObject);
  if (!obj) {
    sink_.error("attachment.embedded",
                att.label + " is an embedded message without PR_ATTACH_DATA_OBJ");
    return;
  }
  auto rec = pc_value(pc, subs, *obj);
  if (!rec || rec->size() != 8) return;  // reported by the property checks
  std::uint32_t inner = le32(ByteSpan(*rec), 0), size = le32(ByteSpan(*rec), 4);
  auto it = subs.entries.find(inner);
  if (it == subs.entries.end()) {
    sink_.error("attachment.embedded",
                att.label + " embedded message " + hex(inner) + " is not one of its subnodes");
    return;
  }
  if (depth >= 16) {
    sink_.error("attachment.embedded", att.label + " nests embedded messages deeper than 16");
    return;
  }
  NodeRef mref{inner, it->second.data, it->second.sub,
               att.label + " embedded message " + hex(inner)};
  auto res = check_message(mref, depth + 1, nullptr, nullptr, 0);
  if (res.size && *res.size != size) {
    sink_.error("attachment.object-size", att.label + " object size " + std::to_string(size) +
                                              " is not the embedded message's PR_MESSAGE_SIZE " +
                                              std::to_string(*res.size));
  }
}

void Checker::check_other_nodes() {
  for (const auto& [nid, n] : nodes_) {
    if (checked_nodes_.count(nid) || !budget_left()) continue;
    std::uint32_t t = nid_type(nid);
    NodeRef ref{nid, n.data, n.sub, node_type_name(nid) + " " + hex(nid)};
    SubnodeMap subs = subnodes(n.sub);
    if (is_table_type(t)) {
      Tc tc;
      if (read_tc(ref, subs, tc)) check_tc_rows(tc, subs, ref.label);
      continue;
    }
    if (t == kSearchCriteria || t == kNormalFolder || t == kSearchFolder) {
      Pc pc;
      if (read_pc(ref, subs, pc)) check_pc_values(pc, subs, ref.label);
      continue;
    }
    // Other internal nodes: check a heap where there is one.
    std::vector<std::uint64_t> leaves;
    if (n.data == 0 || !data_leaves(n.data, leaves) || leaves.empty()) continue;
    auto first = read_block(leaves[0]);
    if (!first || first->size() < 12 || (*first)[2] != 0xEC) continue;
    std::uint8_t sig = (*first)[3];
    if (sig == 0xBC) {
      Pc pc;
      if (read_pc(ref, subs, pc)) check_pc_values(pc, subs, ref.label);
    } else if (sig == 0x7C) {
      Tc tc;
      if (read_tc(ref, subs, tc)) check_tc_rows(tc, subs, ref.label);
    } else {
      Heap heap;
      load_heap(ref, heap);
    }
  }
}

void Checker::list_nodes() {
  sink_.mute(true);
  for (const auto& [nid, n] : nodes_) {
    NodeInfo info;
    info.nid = nid;
    info.parent = n.parent;
    info.data_bytes = data_size(n.data);
    SubnodeMap subs = subnodes(n.sub);
    info.subnodes = subs.entries.size();
    NodeRef ref{nid, n.data, n.sub, ""};
    std::vector<std::uint64_t> leaves;
    if (n.data == 0) {
      info.kind = "empty";
    } else if (!data_leaves(n.data, leaves) || leaves.empty() || !read_block(leaves[0])) {
      info.kind = "unreadable";
    } else {
      auto first = read_block(leaves[0]);
      if (first->size() < 12 || (*first)[2] != 0xEC) {
        info.kind = "raw";
      } else if ((*first)[3] == 0xBC) {
        Pc pc;
        info.kind = read_pc(ref, subs, pc) ? "pc" : "unreadable";
        for (const auto& [id, p] : pc.props) {
          info.tags.push_back((static_cast<std::uint32_t>(id) << 16) | p.type);
        }
      } else if ((*first)[3] == 0x7C) {
        Tc tc;
        info.kind = read_tc(ref, subs, tc) ? "tc" : "unreadable";
        for (const auto& c : tc.columns) info.tags.push_back(c.tag);
        info.rows = tc.rows;
      } else {
        info.kind = "heap";
      }
    }
    report_.node_list.push_back(std::move(info));
  }
  sink_.mute(false);
}

}  // namespace larkfield::pst::check::detail
