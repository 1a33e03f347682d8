#pragma once

// Property contexts (PC): a heap-on-node holding a BTree-on-heap of properties.
//
// A PropertyContextWriter collects the properties of one folder, message or
// attachment and writes the node's data in one go. Values up to 4 bytes sit in the
// BTH record, values that fit a heap allocation sit in the heap, larger ones go into
// subnodes of the node; ByteSource values are streamed into a subnode data tree when
// set(), so they are never held whole in memory.
//
// Additions to the first version of this header (all backward-compatible):
// NodeData::owned, trees and data_in_tree, and add_subnode(Nid, const NodeData&); NodeData::bytes
// and PropertyContextWriter::stored_bytes() (for PR_MESSAGE_SIZE and PR_ATTACH_SIZE); PT_OBJECT
// records in set().

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pst/ltp/property.hpp"
#include "pst/ndb/database.hpp"

namespace larkfield::pst::ltp {

// What a node entry (or a subnode entry) points at.
struct NodeData {
  ndb::Bid data = 0;
  ndb::Bid subnodes = 0;  // 0 when the node has no subnodes
  // The data (and subnode) roots of the subnode entries, at any depth, which
  // release() frees with the node: the database cannot read a subnode tree back, so
  // the writer lists them here. Not part of the node entry.
  std::vector<ndb::Bid> owned;
  // Data bytes of every external block the node reaches: its data tree and the data
  // of its subnodes at any depth (as far as this library wrote them; an entry given
  // to add_subnode(const SubnodeEntry&) counts 0). Not part of the node entry.
  std::uint64_t bytes = 0;
  // Data trees kept as block lists (a table's heap and row matrix, at any depth) that
  // release() frees block by block; `data_in_tree`: `data` is the root of one of them.
  std::vector<std::shared_ptr<ndb::DataTree>> trees;
  bool data_in_tree = false;
};

// Releases everything NodeData names (the data tree and the subnode tree with the
// data of its entries, as far as `owned` lists them).
void release(ndb::Database& db, const NodeData& node);

class PropertyContextWriter {
 public:
  explicit PropertyContextWriter(ndb::Database& db);
  PropertyContextWriter(PropertyContextWriter&&) noexcept;
  PropertyContextWriter& operator=(PropertyContextWriter&&) = delete;
  // An unfinished writer releases the value subnodes it wrote; entries given to
  // add_subnode stay the caller's until finish().
  ~PropertyContextWriter();

  // Sets (or replaces) one property. The value's alternative must match the tag's
  // type (Error::Code::kInvalidArgument otherwise). Returns the size in bytes of the
  // stored value (for strings the UTF-16 bytes without terminator; for a ByteSource
  // the bytes read from it). A PT_OBJECT property (an attached message) takes Bytes of
  // 8: the nid of the object's subnode and its size.
  std::uint64_t set(const Property& property);

  // Adds a subnode that belongs to the node (a recipient table, an attachment table,
  // an attachment object, ...). Its nid must not have type kLtp, which the writer
  // uses for the value subnodes it makes itself.
  // release() of the finished node frees the entry's data and subnode roots.
  void add_subnode(const ndb::SubnodeEntry& entry);
  // The same for a node this library wrote (a PC or a table): `data.owned` is kept
  // too, so that release() of the finished node frees the subnode's own subnodes.
  void add_subnode(ndb::Nid nid, const NodeData& data);

  // The NodeData::bytes finish() would give now: the heap, the value subnodes and the
  // subnodes added with their NodeData. An inline value (4 bytes or less) changes
  // nothing here, so a size property can be set to this after it was set once.
  std::uint64_t stored_bytes() const;

  // Writes the heap and the subnode tree. The writer is empty afterwards.
  NodeData finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace larkfield::pst::ltp
