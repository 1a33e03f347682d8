#include "pst/check/check.hpp"

#include <map>
#include <new>
#include <set>
#include <system_error>

#include "pst/check/detail/checker.hpp"

namespace larkfield::pst::check {

bool Report::ok() const {
  for (const auto& f : findings) {
    if (f.severity == Finding::Severity::kError) return false;
  }
  return readable;
}

std::string Report::text() const {
  std::string out;
  for (const auto& f : findings) {
    out += f.severity == Finding::Severity::kError ? "error " : "warning ";
    out += f.rule;
    out += ": ";
    out += f.message;
    out += '\n';
  }
  return out;
}

std::size_t Report::count(std::string_view rule) const {
  std::size_t n = 0;
  for (const auto& f : findings) {
    if (f.rule == rule) ++n;
  }
  return n;
}

std::string node_type_name(std::uint32_t nid) {
  switch (nid & 0x1F) {
    case 0x00:
      return "HID";
    case 0x01:
      return "INTERNAL";
    case 0x02:
      return "NORMAL_FOLDER";
    case 0x03:
      return "SEARCH_FOLDER";
    case 0x04:
      return "NORMAL_MESSAGE";
    case 0x05:
      return "ATTACHMENT";
    case 0x06:
      return "SEARCH_UPDATE_QUEUE";
    case 0x07:
      return "SEARCH_CRITERIA_OBJECT";
    case 0x08:
      return "ASSOC_MESSAGE";
    case 0x0A:
      return "CONTENTS_TABLE_INDEX";
    case 0x0B:
      return "RECEIVE_FOLDER_TABLE";
    case 0x0C:
      return "OUTGOING_QUEUE_TABLE";
    case 0x0D:
      return "HIERARCHY_TABLE";
    case 0x0E:
      return "CONTENTS_TABLE";
    case 0x0F:
      return "ASSOC_CONTENTS_TABLE";
    case 0x10:
      return "SEARCH_CONTENTS_TABLE";
    case 0x11:
      return "ATTACHMENT_TABLE";
    case 0x12:
      return "RECIPIENT_TABLE";
    case 0x13:
      return "SEARCH_TABLE_INDEX";
    case 0x16:
      return "CHANGE_HISTORY_TABLE";
    case 0x17:
      return "TOMBSTONE_TABLE";
    case 0x18:
      return "TOMBSTONE_DATE_TABLE";
    case 0x1F:
      return "LTP";
    default:
      return "TYPE_" + std::to_string(nid & 0x1F);
  }
}

Report verify_file(const std::filesystem::path& path, const Options& options) {
  Report report;
  try {
    detail::File file(path);
    detail::Sink sink(report, options.crash_state, options.outlook_made);
    try {
      detail::Checker checker(file, sink, report, options);
      checker.run();
    } catch (const std::bad_alloc&) {
      sink.error("check.memory", "ran out of memory while checking");
    }
    sink.finish();
    report.bytes_read = file.bytes_read();
  } catch (const std::system_error& e) {
    report.readable = false;
    report.findings.push_back(
        Finding{Finding::Severity::kError, "file.open", std::string("cannot read: ") + e.what()});
  }
  return report;
}

std::vector<LayoutDifference> compare_layouts(const std::vector<LayoutFact>& ours,
                                              const std::vector<std::vector<LayoutFact>>& outlook) {
  using Key = std::pair<std::string, std::string>;
  auto collect = [](const std::vector<LayoutFact>& facts, std::map<Key, std::set<std::string>>& to,
                    std::set<std::string>& roles) {
    for (const auto& f : facts) {
      to[{f.role, f.fact}].insert(f.value);
      roles.insert(f.role);
    }
  };
  std::map<Key, std::set<std::string>> mine, theirs;
  std::set<std::string> my_roles, their_roles;
  collect(ours, mine, my_roles);
  for (const auto& file : outlook) collect(file, theirs, their_roles);
  auto join = [](const std::set<std::string>* values) {
    if (values == nullptr || values->empty()) return std::string("-");
    std::string out;
    for (const auto& v : *values) out += (out.empty() ? "" : " | ") + v;
    return out;
  };
  std::vector<LayoutDifference> out;
  std::set<Key> keys;
  for (const auto& [k, v] : mine) keys.insert(k);
  for (const auto& [k, v] : theirs) keys.insert(k);
  for (const Key& k : keys) {
    const bool role_here = my_roles.count(k.first) != 0,
               role_there = their_roles.count(k.first) != 0;
    if (role_here != role_there) {
      // A role of one side only: one line, not one per fact.
      if (k.second == "present")
        out.push_back({k.first, k.second, role_here ? "yes" : "-", role_there ? "yes" : "-"});
      continue;
    }
    auto m = mine.find(k);
    auto t = theirs.find(k);
    const std::set<std::string>* mv = m == mine.end() ? nullptr : &m->second;
    const std::set<std::string>* tv = t == theirs.end() ? nullptr : &t->second;
    // Ours differs when it shows a value no Outlook file shows, or lacks the fact.
    bool differs = mv == nullptr || tv == nullptr;
    if (!differs)
      for (const auto& v : *mv)
        if (tv->count(v) == 0) differs = true;
    if (differs) out.push_back({k.first, k.second, join(mv), join(tv)});
  }
  return out;
}

namespace detail {

Checker::Checker(const File& file, Sink& sink, Report& report, const Options& options)
    : file_(file), sink_(sink), report_(report), options_(options) {
  // Reading is capped at a multiple of the file's size: honest files need about twice
  // their size, a hostile one that shares blocks everywhere cannot make the check run away.
  budget_ = 8 * file.size() + (64u << 20);
}

void Checker::run() {
  if (!check_header()) return;
  walk_btree(true, h_.nbt_bid, h_.nbt_ib, 0, -1, std::nullopt, std::nullopt, std::nullopt);
  walk_btree(false, h_.bbt_bid, h_.bbt_ib, 0, -1, std::nullopt, std::nullopt, std::nullopt);
  report_.nodes = nodes_.size();
  report_.blocks = blocks_.size();
  for (const auto& [nid, n] : nodes_) {
    std::uint32_t t = nid_type(nid);
    bool known = (t >= 0x01 && t <= 0x08) || (t >= 0x0A && t <= 0x13) || t == 0x16 || t == 0x17 ||
                 t == 0x18 || t == 0x1F;
    if (!known) sink_.error("nbt.nid-type", "node " + hex(nid) + " has an unknown NID type");
  }
  check_blocks();
  check_structure();
  check_maps();
  check_counters();
  check_messaging();
  if (options_.list_nodes) list_nodes();
  if (options_.describe_layout) describe_layout();
}

}  // namespace detail
}  // namespace larkfield::pst::check
