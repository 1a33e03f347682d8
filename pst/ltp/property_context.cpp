#include "pst/ltp/property_context.hpp"

#include <algorithm>
#include <tuple>

#include "pst/ltp/heap.hpp"

namespace larkfield::pst::ltp {

using detail::PageBuilder;

void release(ndb::Database& db, const NodeData& node) {
  if (node.data != 0 && !node.data_in_tree) db.release(node.data);
  for (const auto& tree : node.trees)
    if (tree) tree->release(db);
  if (node.subnodes != 0) db.release(node.subnodes);
  for (ndb::Bid bid : node.owned)
    if (bid != 0) db.release(bid);
}

namespace {

enum class Where : std::uint8_t { kInline, kEmpty, kHeap, kSubnode };

struct Prop {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  Where where = Where::kInline;
  std::uint32_t value = 0;   // inline value, or the subnode nid
  std::uint32_t offset = 0;  // heap values: in the arena
  std::uint32_t size = 0;
  ndb::Bid bid = 0;  // subnode values
};

}  // namespace

struct PropertyContextWriter::State {
  ndb::Database* db = nullptr;
  std::vector<Prop> props;  // sorted by id
  std::vector<std::byte> arena;
  std::vector<std::byte> scratch;
  std::vector<ndb::SubnodeEntry> added;
  std::vector<ndb::Bid> added_owned;
  std::vector<std::shared_ptr<ndb::DataTree>> added_trees;
  std::uint32_t next_index = 1;
  std::size_t garbage = 0;        // arena bytes of replaced values
  std::uint64_t added_bytes = 0;  // NodeData::bytes of the subnodes added

  // Lays the heap out; returns its size, and its bytes in `heap` unless that is null.
  std::size_t build_heap(std::vector<std::byte>* heap) const;
  std::uint64_t bytes_besides_heap() const;

  void release_values() noexcept {
    for (const Prop& p : props) {
      if (p.where != Where::kSubnode) continue;
      try {
        db->release(p.bid);
      } catch (...) {  // a closed or broken database keeps nothing to give back
      }
    }
  }

  void reset() {
    props.clear();
    arena.clear();
    added.clear();
    added_owned.clear();
    added_trees.clear();
    added_bytes = 0;
    next_index = 1;
    garbage = 0;
  }

  // Drops replaced values from the arena once they are most of it.
  void compact() {
    if (garbage < 64 * 1024 || garbage < arena.size() / 2) return;
    std::vector<std::byte> fresh;
    fresh.reserve(arena.size() - garbage);
    for (Prop& p : props) {
      if (p.where != Where::kHeap) continue;
      const auto at = static_cast<std::uint32_t>(fresh.size());
      fresh.insert(fresh.end(), arena.begin() + p.offset, arena.begin() + p.offset + p.size);
      p.offset = at;
    }
    arena.swap(fresh);
    garbage = 0;
  }

  void store(Prop prop) {
    auto it = std::lower_bound(props.begin(), props.end(), prop.id,
                               [](const Prop& p, std::uint16_t id) { return p.id < id; });
    if (it != props.end() && it->id == prop.id) {
      if (it->where == Where::kSubnode) db->release(it->bid);
      if (it->where == Where::kHeap) garbage += it->size;
      *it = prop;
      compact();
    } else {
      props.insert(it, prop);
    }
  }

  Prop heap_or_subnode(std::uint16_t id, std::uint16_t type, std::span<const std::byte> bytes) {
    Prop p{id, type};
    p.size = static_cast<std::uint32_t>(bytes.size());
    if (bytes.empty()) {
      p.where = Where::kEmpty;
    } else if (bytes.size() <= detail::kMaxAlloc) {
      p.where = Where::kHeap;
      p.offset = static_cast<std::uint32_t>(arena.size());
      arena.insert(arena.end(), bytes.begin(), bytes.end());
    } else {
      if (bytes.size() > 0xFFFFFFFFull)
        throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
      p.where = Where::kSubnode;
      p.bid = db->write_data(bytes);
      p.value = ndb::make_nid(ndb::NidType::kLtp, next_index++);
    }
    return p;
  }
};

PropertyContextWriter::PropertyContextWriter(ndb::Database& db)
    : state_(std::make_unique<State>()) {
  state_->db = &db;
}
PropertyContextWriter::PropertyContextWriter(PropertyContextWriter&&) noexcept = default;
PropertyContextWriter::~PropertyContextWriter() {
  if (state_) state_->release_values();
}

std::uint64_t PropertyContextWriter::set(const Property& property) {
  State& s = *state_;
  const PropTag tag = property.tag;
  const std::uint16_t type = prop_type(tag);
  const std::uint16_t id = prop_id(tag);
  if (type == pt::kObject) {
    // The 8-byte record (subnode nid, size) of an attached object, kept in the heap.
    const auto* record = std::get_if<Bytes>(&property.value);
    if (!record || record->size() != 8)
      throw Error(Error::Code::kInvalidArgument,
                  "a PT_OBJECT value is the 8-byte record of its subnode");
    s.store(s.heap_or_subnode(id, type, *record));
    return record->size();
  }
  if (!detail::supported_type(type)) {
    // encode_value words the refusal.
    s.scratch.clear();
    detail::encode_value(tag, property.value, s.scratch);
  }
  if (ByteSource* source = detail::byte_source(tag, property.value)) {
    const detail::StreamedValue v = detail::read_source(*s.db, *source, s.scratch);
    if (v.bid == 0) {
      s.store(s.heap_or_subnode(id, type, s.scratch));
    } else if (v.size > 0xFFFFFFFFull) {
      s.db->release(v.bid);
      throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
    } else {
      Prop p{id, type, Where::kSubnode, ndb::make_nid(ndb::NidType::kLtp, s.next_index++)};
      p.size = static_cast<std::uint32_t>(v.size);
      p.bid = v.bid;
      s.store(p);
    }
    return v.size;
  }
  s.scratch.clear();
  detail::encode_value(tag, property.value, s.scratch);
  const std::size_t fixed = detail::fixed_size(type);
  if (fixed != 0 && fixed <= 4) {
    Prop p{id, type, Where::kInline};
    p.size = static_cast<std::uint32_t>(fixed);
    std::byte four[4]{};
    std::copy(s.scratch.begin(), s.scratch.end(), four);
    p.value = detail::get32(four);
    s.store(p);
  } else {
    s.store(s.heap_or_subnode(id, type, s.scratch));
  }
  return s.scratch.size();
}

void PropertyContextWriter::add_subnode(const ndb::SubnodeEntry& entry) {
  if (ndb::nid_type(entry.nid) == ndb::NidType::kLtp)
    throw Error(Error::Code::kInvalidArgument,
                "subnodes of type LTP are the property writer's own");
  State& s = *state_;
  s.added.push_back(entry);
  s.added_owned.push_back(entry.data);
  if (entry.subnodes != 0) s.added_owned.push_back(entry.subnodes);
}

void PropertyContextWriter::add_subnode(ndb::Nid nid, const NodeData& data) {
  if (ndb::nid_type(nid) == ndb::NidType::kLtp)
    throw Error(Error::Code::kInvalidArgument,
                "subnodes of type LTP are the property writer's own");
  State& s = *state_;
  s.added.push_back(ndb::SubnodeEntry{nid, data.data, data.subnodes});
  if (!data.data_in_tree) s.added_owned.push_back(data.data);
  if (data.subnodes != 0) s.added_owned.push_back(data.subnodes);
  s.added_owned.insert(s.added_owned.end(), data.owned.begin(), data.owned.end());
  s.added_trees.insert(s.added_trees.end(), data.trees.begin(), data.trees.end());
  s.added_bytes += data.bytes;
}

// The heap for the properties set so far.
std::size_t PropertyContextWriter::State::build_heap(std::vector<std::byte>* heap) const {
  const State& s = *this;
  const bool measure = heap == nullptr;
  // Heap: the BTH header first (HID 0x20) and, when the records fit one array, the
  // records next (0x40), then the values, as Outlook lays a property context out. More
  // records than one array holds go into BTH arrays after the values, bottom-up.
  std::vector<PageBuilder> pages;
  pages.emplace_back(0, measure);
  auto alloc = [&](std::span<const std::byte> bytes) {
    if (!pages.back().fits(bytes.size())) pages.emplace_back(pages.size(), measure);
    return pages.back().add(bytes);
  };
  const std::uint32_t header_hid = pages.back().reserve(8);
  std::vector<std::byte> records(s.props.size() * 8);
  const bool one_array = !records.empty() && records.size() <= detail::kMaxAlloc;
  const std::uint32_t records_hid = one_array ? pages.back().reserve(records.size()) : 0;

  for (std::size_t i = 0; i < s.props.size(); ++i) {
    const Prop& p = s.props[i];
    std::uint32_t hnid = 0;
    switch (p.where) {
      case Where::kInline:
      case Where::kSubnode:
        hnid = p.value;
        break;
      case Where::kEmpty:
        hnid = 0;
        break;
      case Where::kHeap:
        hnid = alloc(std::span<const std::byte>(s.arena).subspan(p.offset, p.size));
        break;
    }
    std::byte* r = records.data() + 8 * i;
    detail::put16(r, p.id);
    detail::put16(r + 2, p.type);
    detail::put32(r + 4, hnid);
  }
  std::uint8_t levels = 0;
  std::uint32_t root = records_hid;
  if (one_array) {
    if (!measure) pages.front().patch(records_hid, records);
  } else {
    std::tie(levels, root) = detail::build_bth(records, 2, 8, alloc);
  }
  // Pages: every page but the last exactly one block long, so that the heap is one
  // data stream cut into blocks at 8,176 bytes and the database owns the whole tree.
  const std::size_t size = (pages.size() - 1) * detail::kPageSize + pages.back().finished_size();
  if (measure) return size;
  pages.front().patch(header_hid, detail::bth_header(2, 6, levels, root));

  std::vector<std::vector<std::byte>> bytes(pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i)
    pages[i].finish(bytes[i], i + 1 < pages.size() ? detail::kPageSize : 0);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
    detail::put_fill_level(bytes[holder], holder, i, detail::kPageSize - bytes[i].size());
  }
  detail::put_heap_header(bytes[0], detail::kClientPc, header_hid);
  heap->clear();
  heap->reserve(size);
  for (const auto& b : bytes) heap->insert(heap->end(), b.begin(), b.end());
  return size;
}

std::uint64_t PropertyContextWriter::State::bytes_besides_heap() const {
  std::uint64_t total = added_bytes;
  for (const Prop& p : props)
    if (p.where == Where::kSubnode) total += p.size;
  return total;
}

std::uint64_t PropertyContextWriter::stored_bytes() const {
  return state_->build_heap(nullptr) + state_->bytes_besides_heap();
}

NodeData PropertyContextWriter::finish() {
  State& s = *state_;
  std::vector<std::byte> heap;
  s.build_heap(&heap);
  const std::uint64_t total = heap.size() + s.bytes_besides_heap();

  std::vector<ndb::SubnodeEntry> entries = s.added;
  for (const Prop& p : s.props)
    if (p.where == Where::kSubnode) entries.push_back(ndb::SubnodeEntry{p.value, p.bid, 0});
  std::sort(entries.begin(), entries.end(),
            [](const ndb::SubnodeEntry& a, const ndb::SubnodeEntry& b) { return a.nid < b.nid; });
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i - 1].nid == entries[i].nid)
      throw Error(Error::Code::kInvalidArgument, "two subnodes with the same node id");

  NodeData out;
  out.data = s.db->write_data(heap);
  try {
    out.subnodes = s.db->write_subnodes(entries);
  } catch (...) {
    s.db->release(out.data);
    throw;
  }
  out.owned = s.added_owned;
  out.trees = s.added_trees;
  out.bytes = total;
  for (const Prop& p : s.props)
    if (p.where == Where::kSubnode) out.owned.push_back(p.bid);
  s.reset();
  return out;
}

}  // namespace larkfield::pst::ltp
