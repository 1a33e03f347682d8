#pragma once

// The verifier proper. It reads the file bottom-up: header, the two B-trees, every block,
// the allocation maps; then heaps, BTrees-on-heap, property and table contexts of every
// node; then the store, its folders and messages. Each stage records what later stages
// need in small indexes (one entry per node and per block), never the data itself.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "pst/check/check.hpp"
#include "pst/check/detail/codec.hpp"
#include "pst/check/detail/file.hpp"
#include "pst/check/detail/sink.hpp"

namespace larkfield::pst::check::detail {

using Bytes = std::vector<std::uint8_t>;

// Layout constants of a Unicode file with 512-byte pages.
inline constexpr std::uint64_t kFirstRegion = 0x4400;
inline constexpr std::uint64_t kRegionSize = 0x3E000;  // bytes mapped by one AMap
inline constexpr std::uint64_t kDListOffset = 0x4200;
inline constexpr std::size_t kPageSize = 512;
inline constexpr std::size_t kMaxBlockData = 8176;
inline constexpr std::size_t kMaxHeapAlloc = 3580;

inline std::uint32_t nid_type(std::uint32_t nid) { return nid & 0x1F; }
inline std::uint32_t nid_index(std::uint32_t nid) { return nid >> 5; }
inline bool bid_internal(std::uint64_t bid) { return (bid & 2) != 0; }
std::string hex(std::uint64_t v);

struct HeaderInfo {
  std::uint16_t version = 0;
  std::uint8_t crypt = 0;
  std::uint8_t amap_valid = 0;
  std::uint64_t bid_next_p = 0, bid_next_b = 0;
  std::uint32_t unique = 0;
  std::uint32_t rgnid[32] = {};
  std::uint64_t file_eof = 0, amap_last = 0, amap_free = 0, pmap_free = 0;
  std::uint64_t nbt_bid = 0, nbt_ib = 0, bbt_bid = 0, bbt_ib = 0;
};

struct BlockEntry {
  std::uint64_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t cref = 0;
  std::uint32_t holders = 0;  // references found in the file
  bool readable = false;      // in range, trailer names this block
};

struct NodeEntry {
  std::uint32_t nid = 0;
  std::uint64_t data = 0;
  std::uint64_t sub = 0;
  std::uint32_t parent = 0;
};

// A parsed internal block (XBLOCK, XXBLOCK, SLBLOCK, SIBLOCK).
struct InternalBlock {
  std::uint8_t btype = 0;
  std::uint8_t level = 0;
  bool valid = false;
  std::uint32_t total = 0;                // lcbTotal of XBLOCK / XXBLOCK
  std::vector<std::uint64_t> children;    // X/XX: bids; SI: SLBLOCK bids
  std::vector<std::uint32_t> child_nids;  // SI: first NID of each child
  std::vector<NodeEntry> entries;         // SL: nid, data, sub (parent unused)
};

// A node or subnode: where its data and subnodes are, and a name for messages.
struct NodeRef {
  std::uint32_t nid = 0;
  std::uint64_t data = 0;
  std::uint64_t sub = 0;
  std::string label;
};

struct HeapBlock {
  std::uint16_t size = 0;             // cb of the data block
  std::vector<std::uint16_t> allocs;  // rgibAlloc, cAlloc + 1 entries
};

struct Heap {
  bool ok = false;
  std::uint8_t client_sig = 0;
  std::uint32_t user_root = 0;
  std::vector<std::uint64_t> leaves;
  std::vector<HeapBlock> blocks;
};

struct BthRecords {
  std::size_t key_size = 0, value_size = 0;
  Bytes data;  // records back to back, in key order
  std::size_t count() const {
    return key_size + value_size ? data.size() / (key_size + value_size) : 0;
  }
  ByteSpan key(std::size_t i) const {
    return ByteSpan(data).subspan(i * (key_size + value_size), key_size);
  }
  ByteSpan value(std::size_t i) const {
    return ByteSpan(data).subspan(i * (key_size + value_size) + key_size, value_size);
  }
};

struct SubnodeMap {
  bool ok = true;
  std::map<std::uint32_t, NodeEntry> entries;  // by NID (low 32 bits)
};

struct PcProp {
  std::uint16_t type = 0;
  std::uint32_t hnid = 0;
};

struct Pc {
  bool ok = false;
  Heap heap;
  std::map<std::uint16_t, PcProp> props;
  const PcProp* find(std::uint32_t tag) const {
    auto it = props.find(static_cast<std::uint16_t>(tag >> 16));
    if (it == props.end() || it->second.type != (tag & 0xFFFF)) return nullptr;
    return &it->second;
  }
};

struct TcColumn {
  std::uint32_t tag = 0;
  std::uint16_t ib = 0;
  std::uint8_t cb = 0;
  std::uint8_t bit = 0;
};

struct Tc {
  bool ok = false;
  Heap heap;
  std::vector<TcColumn> columns;
  std::uint16_t rgib[4] = {};
  std::size_t row_size = 0;
  std::size_t rows = 0;
  std::uint32_t hnid_rows = 0;
  std::vector<std::uint32_t> row_ids;  // by row position
  // Row matrix: one heap allocation, or the leaves of a subnode's data tree.
  bool matrix_in_heap = false;
  Bytes heap_matrix;
  std::vector<std::uint64_t> matrix_leaves;
  std::size_t rows_per_block = 0;
  const TcColumn* column(std::uint32_t tag) const {
    for (const auto& c : columns) {
      if (c.tag == tag) return &c;
    }
    return nullptr;
  }
};

class Checker {
 public:
  Checker(const File& file, Sink& sink, Report& report, const Options& options);
  void run();

 private:
  // --- NDB (ndb.cpp)
  bool check_header();
  void walk_btree(bool nbt, std::uint64_t bid, std::uint64_t ib, int depth, int expected_level,
                  std::optional<std::uint64_t> first_key, std::optional<std::uint64_t> lo,
                  std::optional<std::uint64_t> hi);
  void check_blocks();
  void check_structure();
  void reference(std::uint64_t bid, int context, const std::string& from);
  void parse_internal(std::uint64_t bid, int context);
  void check_packing(std::uint64_t bid, const InternalBlock& in);
  void check_maps();
  void check_counters();

  // Block access: stored bytes, decoded when the block holds external data.
  std::shared_ptr<const Bytes> read_block(std::uint64_t bid);
  const InternalBlock* internal(std::uint64_t bid) const;
  bool data_leaves(std::uint64_t bid, std::vector<std::uint64_t>& out) const;
  std::uint64_t data_size(std::uint64_t bid) const;
  std::optional<Bytes> read_stream(std::uint64_t bid, std::size_t limit);
  SubnodeMap subnodes(std::uint64_t bid) const;
  bool budget_left();

  // --- LTP (ltp.cpp)
  bool load_heap(const NodeRef& node, Heap& heap);
  bool hid_valid(const Heap& heap, std::uint32_t hid) const;
  std::optional<Bytes> heap_get(const Heap& heap, std::uint32_t hid);
  bool read_bth(const Heap& heap, std::uint32_t hid, std::size_t key, std::size_t value,
                BthRecords& out, const std::string& label);
  bool bth_level(const Heap& heap, std::uint32_t hid, int level, std::size_t key, std::size_t value,
                 BthRecords& out, std::set<std::uint32_t>& seen, const std::string& label,
                 std::optional<Bytes> first_key);
  bool read_pc(const NodeRef& node, const SubnodeMap& subs, Pc& pc);
  bool read_tc(const NodeRef& node, const SubnodeMap& subs, Tc& tc);
  std::optional<Bytes> hnid_value(const Heap& heap, const SubnodeMap& subs, std::uint32_t hnid,
                                  std::size_t limit);
  std::optional<Bytes> pc_value(const Pc& pc, const SubnodeMap& subs, const PcProp& prop,
                                std::size_t limit = kValueLimit);
  std::optional<Bytes> tc_row(Tc& tc, std::size_t index);
  // nullopt: the cell does not exist (CEB bit clear) or cannot be read.
  std::optional<Bytes> tc_cell(Tc& tc, const SubnodeMap& subs, ByteSpan row, const TcColumn& col,
                               std::size_t limit = kValueLimit);
  void check_pc_values(const Pc& pc, const SubnodeMap& subs, const std::string& label);
  void check_tc_rows(Tc& tc, const SubnodeMap& subs, const std::string& label);

  // --- Messaging (messaging.cpp)
  void check_messaging();
  void check_store();
  void check_name_map();
  void check_mandatory_nodes();
  void check_folder(const NodeEntry& folder);
  struct MessageResult {
    bool pc_ok = false;
    std::optional<std::uint32_t> flags;
    std::optional<std::uint32_t> size;
  };
  // Checks a message; with a table, also that row `row` of it equals the message.
  MessageResult check_message(const NodeRef& msg, int depth, Tc* row_table,
                              const SubnodeMap* row_subs, std::size_t row);
  void check_attachment(const NodeRef& att, int depth);
  void compare_row(Tc& tc, const SubnodeMap& tc_subs, std::size_t row, const Pc& pc,
                   const SubnodeMap& pc_subs, const std::string& rule, const std::string& label);
  std::uint64_t external_bytes(std::uint64_t data, std::uint64_t sub, int depth);
  void check_other_nodes();
  void list_nodes();
  void describe_layout();  // layout.cpp
  std::optional<std::int64_t> pc_int(const Pc& pc, std::uint32_t tag);

  static constexpr std::size_t kValueLimit = 64u << 20;

  const File& file_;
  Sink& sink_;
  Report& report_;
  Options options_;
  HeaderInfo h_;
  std::map<std::uint64_t, BlockEntry> blocks_;  // BBT, by BID with bit 0 clear
  std::map<std::uint32_t, NodeEntry> nodes_;    // NBT
  std::set<std::uint64_t> pages_;               // offsets of B-tree pages seen
  std::uint64_t max_page_bid_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used_;  // (ib, size) of pages, blocks
  std::map<std::uint64_t, int> context_;                       // how each block is used
  std::unordered_map<std::uint64_t, InternalBlock> internal_;
  std::deque<std::uint64_t> pending_;  // internal blocks whose children are not counted yet
  std::uint64_t dlist_bid_ = 0;
  std::uint64_t regions_ = 0;
  bool ltp_possible_ = true;

  // A small cache of decoded blocks and a cap on all reading, so that a hostile file
  // cannot make the check unbounded.
  std::map<std::uint64_t, std::shared_ptr<const Bytes>> cache_;
  std::vector<std::uint64_t> cache_order_;
  std::size_t cache_next_ = 0;
  std::uint64_t budget_ = 0;
  bool budget_reported_ = false;
  std::set<std::uint32_t> checked_messages_;
  std::size_t internet_names_ = 0;     // PS_INTERNET_HEADERS names in the name-to-id map
  bool internet_names_upper_ = false;  // one of them has an upper-case letter
  std::set<std::uint32_t> checked_nodes_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> children_;  // by nidParent
};

}  // namespace larkfield::pst::check::detail
