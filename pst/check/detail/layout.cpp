// Layout facts of a file (Options::describe_layout), for comparing our files with
// Outlook's node by node and property by property.

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

#include "pst/check/detail/checker.hpp"

namespace larkfield::pst::check::detail {
namespace {

std::string hex32(std::uint32_t v, int digits = 8) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

bool inline_type(std::uint16_t t) {
  return t == 0x0002 || t == 0x0003 || t == 0x0004 || t == 0x000A || t == 0x000B;
}

// First index of each node type's own numbering, as a blank file's header gives it.
std::uint32_t first_index(std::uint32_t type) {
  return type == 0x03 ? 0x4000 : type == 0x04 ? 0x10000 : type == 0x08 ? 0x8000 : 0x400;
}

}  // namespace

void Checker::describe_layout() {
  sink_.mute(true);
  std::set<LayoutFact> facts;
  auto add = [&](const std::string& role, const std::string& fact, const std::string& value) {
    facts.insert(LayoutFact{role, fact, value});
  };

  // Whether every data tree the node (and its subnodes) reaches is packed.
  auto packing = [&](std::uint64_t data) {
    std::vector<std::uint64_t> leaves;
    if (data == 0 || !data_leaves(data, leaves) || leaves.size() < 2) return std::string();
    for (std::size_t i = 0; i + 1 < leaves.size(); ++i) {
      auto it = blocks_.find(leaves[i]);
      if (it != blocks_.end() && it->second.cb != kMaxBlockData) return std::string("short block");
    }
    return std::string("packed");
  };
  // What the first allocations of heap page 0 hold, in HID order.
  auto pc_order = [&](const Pc& pc) {
    std::string out;
    const auto header = heap_get(pc.heap, pc.heap.user_root);
    const std::uint32_t records =
        header && header->size() == 8 && (*header)[3] == 0 ? le32(ByteSpan(*header), 4) : 0;
    for (std::uint32_t hid : {0x20u, 0x40u}) {
      if (!hid_valid(pc.heap, hid)) break;
      out += out.empty() ? "" : ", ";
      out += hid == pc.heap.user_root ? "BTH header" : hid == records ? "records" : "value";
    }
    return out;
  };
  auto tc_order = [&](Tc& tc) {
    std::string out;
    const auto info = heap_get(tc.heap, tc.heap.user_root);
    const std::uint32_t header = info && info->size() >= 22 ? le32(ByteSpan(*info), 10) : 0;
    for (std::uint32_t hid : {0x20u, 0x40u, 0x60u}) {
      if (!hid_valid(tc.heap, hid)) break;
      out += out.empty() ? "" : ", ";
      out += hid == tc.heap.user_root ? "TCINFO"
             : hid == header          ? "BTH header"
             : hid == tc.hnid_rows    ? "row matrix"
                                      : "other";
    }
    return out;
  };
  // Property values that say something about the layout: small numbers as they are,
  // other values by their size.
  auto value_text = [&](const Pc& pc, const SubnodeMap& subs, const PcProp& p) {
    if (inline_type(p.type)) return hex32(p.hnid);
    auto v = pc_value(pc, subs, p, 1 << 20);
    if (!v) return std::string("unreadable");
    if (p.type == 0x001F) return std::string("text");
    return std::to_string(v->size()) + " bytes";
  };

  // What every node built on a heap states first: its kind, its heap's first allocations
  // and whether its data trees are packed.
  auto describe_heap = [&](const std::string& role, const NodeRef& ref, const char* kind,
                           const std::string& order) {
    add(role, "kind", kind);
    add(role, "heap order", order);
    if (auto p = packing(ref.data); !p.empty()) add(role, "data trees", p);
  };
  auto describe_pc = [&](const std::string& role, const NodeRef& ref, bool values) {
    SubnodeMap subs = subnodes(ref.sub);
    Pc pc;
    if (!read_pc(ref, subs, pc)) return;
    describe_heap(role, ref, "property context", pc_order(pc));
    for (const auto& [id, p] : pc.props) {
      const std::uint32_t tag = (static_cast<std::uint32_t>(id) << 16) | p.type;
      add(role, "property " + hex32(tag), values ? value_text(pc, subs, p) : "present");
    }
    for (const auto& [snid, e] : subs.entries) {
      const std::uint32_t t = nid_type(snid);
      add(role, "subnode ids of type " + node_type_name(snid),
          nid_index(snid) >= first_index(t) ? "from the store's counter" : "local numbers");
    }
  };
  auto describe_tc = [&](const std::string& role, const NodeRef& ref, bool rows) {
    SubnodeMap subs = subnodes(ref.sub);
    Tc tc;
    if (!read_tc(ref, subs, tc)) return;
    describe_heap(role, ref, "table context", tc_order(tc));
    std::string columns;
    for (const auto& c : tc.columns) columns += (columns.empty() ? "" : " ") + hex32(c.tag);
    add(role, "columns", columns);
    if (rows) {
      std::string ids;
      for (auto id : tc.row_ids) ids += (ids.empty() ? "" : " ") + hex32(id);
      add(role, "row ids", ids.empty() ? "none" : ids);
    }
  };

  // Messages, their recipient and attachment tables and attachments, at any depth.
  std::function<void(const NodeRef&, const std::string&, int)> describe_message =
      [&](const NodeRef& msg, const std::string& role, int depth) {
        describe_pc(role, msg, false);
        SubnodeMap subs = subnodes(msg.sub);
        for (const auto& [snid, e] : subs.entries) {
          NodeRef ref{snid, e.data, e.sub, msg.label};
          if (snid == 0x692) {
            describe_tc("recipient table", ref, false);
            SubnodeMap tsubs = subnodes(ref.sub);
            Tc tc;
            if (!read_tc(ref, tsubs, tc)) continue;
            const TcColumn* type = tc.column(0x3002001F);
            const TcColumn* resp = tc.column(0x0E0F000B);
            for (std::size_t i = 0; i < tc.rows; ++i) {
              auto row = tc_row(tc, i);
              if (!row) continue;
              auto at = type ? tc_cell(tc, tsubs, ByteSpan(*row), *type, 4096) : std::nullopt;
              add("recipient", "PR_ADDRTYPE", at && !at->empty() ? "present" : "absent");
              auto r = resp ? tc_cell(tc, tsubs, ByteSpan(*row), *resp, 16) : std::nullopt;
              add("recipient", "PR_RESPONSIBILITY",
                  !r || r->empty() ? "absent" : ((*r)[0] ? "true" : "false"));
            }
          } else if (snid == 0x671) {
            describe_tc("attachment table", ref, false);
          } else if (nid_type(snid) == 0x05 && depth < 16) {
            describe_pc("attachment", ref, false);
            SubnodeMap asubs = subnodes(ref.sub);
            Pc apc;
            if (!read_pc(ref, asubs, apc)) continue;
            auto num = pc_int(apc, 0x0E210003);
            add("attachment", "PR_ATTACH_NUM",
                !num                                       ? "absent"
                : static_cast<std::uint32_t>(*num) == snid ? "its row id"
                                                           : "other");
            if (const PcProp* obj = apc.find(0x3701000D)) {
              auto rec = pc_value(apc, asubs, *obj);
              if (!rec || rec->size() != 8) continue;
              auto it = asubs.entries.find(le32(ByteSpan(*rec), 0));
              if (it == asubs.entries.end()) continue;
              describe_message(NodeRef{it->first, it->second.data, it->second.sub, msg.label},
                               "attached message", depth + 1);
            }
          }
        }
      };

  for (const auto& [nid, n] : nodes_) {
    if (!budget_left()) break;
    const std::uint32_t t = nid_type(nid);
    NodeRef ref{nid, n.data, n.sub, node_type_name(nid) + " " + hex(nid)};
    const bool fixed = nid_index(nid) < 0x400;
    std::string role = fixed ? "node " + hex32(nid, 0) : "";
    if (nid == 0x21) role = "store";
    if (nid == 0x61) role = "name-to-id map";
    if (!fixed) {
      switch (t) {
        case 0x02:
          role = "folder";
          break;
        case 0x03:
          role = "search folder";
          break;
        case 0x04:
        case 0x08:
          describe_message(ref, t == 0x04 ? "message" : "associated message", 0);
          continue;
        default:
          role = node_type_name(nid) + " of a folder";
      }
    }
    add(role, "present", "yes");
    std::vector<std::uint64_t> leaves;
    if (n.data == 0) {
      add(role, "kind", "empty");
      continue;
    }
    if (!data_leaves(n.data, leaves) || leaves.empty()) continue;
    auto first = read_block(leaves[0]);
    if (!first || first->size() < 12 || (*first)[2] != 0xEC) {
      add(role, "kind", "raw data of " + std::to_string(data_size(n.data)) + " bytes");
    } else if ((*first)[3] == 0xBC) {
      describe_pc(role, ref, fixed);
    } else if ((*first)[3] == 0x7C) {
      describe_tc(role, ref, fixed);
    } else {
      add(role, "kind", "heap of client " + hex((*first)[3]));
    }
  }

  // Internet header names of the name-to-id map, as check_name_map() found them.
  add("name-to-id map", "internet header names",
      internet_names_ == 0    ? "none"
      : internet_names_upper_ ? "mixed case"
                              : "lower case");
  report_.layout.assign(facts.begin(), facts.end());
  sink_.mute(false);
}

}  // namespace larkfield::pst::check::detail
