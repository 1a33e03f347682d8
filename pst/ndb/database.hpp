#pragma once

// The node database of a new Unicode PST: data blocks, data trees, subnode trees,
// the node B-tree (NBT), the block B-tree (BBT), the allocation maps and the header.
//
// Allocation is append-only and nothing the last committed header can reach is
// overwritten: a commit writes the new blocks and the changed B-tree pages, syncs,
// marks the space in the allocation maps, syncs, and writes the header last.
// Space released since a commit becomes free only after the next commit is on disk.
//
// Blocks are not shared: every data, XBLOCK, XXBLOCK, SLBLOCK and SIBLOCK block is
// referenced from one place, so release() frees exactly the block it names.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pst/ndb/error.hpp"

namespace larkfield::pst::ndb {

using Nid = std::uint32_t;
using Bid = std::uint64_t;

enum class NidType : std::uint8_t {
  kHid = 0x00,
  kInternal = 0x01,
  kNormalFolder = 0x02,
  kSearchFolder = 0x03,
  kNormalMessage = 0x04,
  kAttachment = 0x05,
  kSearchUpdateQueue = 0x06,
  kSearchCriteriaObject = 0x07,
  kAssocMessage = 0x08,
  kContentsTableIndex = 0x0A,
  kReceiveFolderTable = 0x0B,
  kOutgoingQueueTable = 0x0C,
  kHierarchyTable = 0x0D,
  kContentsTable = 0x0E,
  kAssocContentsTable = 0x0F,
  kSearchContentsTable = 0x10,
  kAttachmentTable = 0x11,
  kRecipientTable = 0x12,
  kSearchTableIndex = 0x13,
  kLtp = 0x1F,
};

constexpr Nid make_nid(NidType type, std::uint32_t index) {
  return (index << 5) | static_cast<std::uint32_t>(type);
}
constexpr NidType nid_type(Nid nid) { return static_cast<NidType>(nid & 0x1F); }
constexpr std::uint32_t nid_index(Nid nid) { return nid >> 5; }

// Bytes of payload in one data block (8192 minus the 16-byte trailer).
inline constexpr std::size_t kMaxBlockData = 8176;

struct NodeEntry {
  Nid nid = 0;
  Bid data = 0;      // a data block or the root of a data tree
  Bid subnodes = 0;  // SLBLOCK/SIBLOCK root, 0 for none
  Nid parent = 0;
};

struct SubnodeEntry {
  Nid nid = 0;
  Bid data = 0;
  Bid subnodes = 0;
};

struct DatabaseOptions {
  bool encode_blocks = true;  // NDB_CRYPT_PERMUTE on data blocks
  bool sync = true;           // fdatasync around the header write of each commit
  std::uint64_t max_file_size = 50ull * 1024 * 1024 * 1024;  // Error::Code::kTooLarge past it
};

struct DatabaseStatistics {
  std::uint64_t file_size = 0;
  std::uint64_t bytes_written = 0;  // every byte written to the file, maps and header included
  std::uint64_t commits = 0;
  std::uint64_t blocks = 0;  // BBT entries
  std::uint64_t nodes = 0;   // NBT entries
};

class Database;

// Writes a value of any size as a data tree while it arrives: data blocks are
// written as they fill, the XBLOCK/XXBLOCK at finish(). Memory: one block buffer
// plus 8 bytes per block.
class DataStream {
 public:
  explicit DataStream(Database& db);
  DataStream(DataStream&&) noexcept;
  DataStream& operator=(DataStream&&) = delete;
  ~DataStream();  // an unfinished stream releases what it wrote
  void append(std::span<const std::byte> bytes);
  std::uint64_t size() const;
  Bid finish();  // the root BID; an empty value is one zero-length data block

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A node's data held as its list of data blocks, for data that grows at the end or
// changes in a few blocks (heaps and tables that are updated at each commit).
// As in every data tree, each block but the last holds kMaxBlockData bytes: root()
// refuses (Error::Code::kInvalidArgument) a list that breaks this, so a caller whose
// last block gets a successor rewrites it full first.
class DataTree {
 public:
  std::size_t block_count() const { return blocks_.size(); }
  std::size_t block_size(std::size_t index) const { return sizes_.at(index); }
  std::uint64_t size() const;
  // Writes `bytes` (1 to kMaxBlockData) as block `index`, replacing the block there
  // (which is released) or appending when index == block_count().
  void set_block(Database& db, std::size_t index, std::span<const std::byte> bytes);
  // The BID for the node entry: the only block's BID, or an XBLOCK/XXBLOCK root,
  // written afresh (and the old one released) when the list changed since the last
  // call.
  Bid root(Database& db);
  // Releases every block of the tree.
  void release(Database& db);

 private:
  std::vector<Bid> blocks_;
  std::vector<std::uint32_t> sizes_;
  std::vector<Bid> inner_;  // X/XXBLOCKs of the last root()
  Bid root_ = 0;
  bool dirty_ = true;
};

class Database {
 public:
  // Creates `path` exclusively (an existing path is Error::Code::kFileExists, and the
  // file is not touched) and writes the header, the first allocation pages and empty
  // B-trees. Nothing is committed yet.
  static Database create(const std::filesystem::path& path, const DatabaseOptions& options);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();  // closes the file without committing

  // A new node id of `type`, unique in the file (the header's counters follow it).
  Nid allocate_nid(NidType type);
  // Node ids the format fixes (the store, the root folder, ...) are passed to
  // put_node directly; reserve_nid keeps allocate_nid from handing them out.
  void reserve_nid(Nid nid);

  Bid write_block(std::span<const std::byte> bytes);  // one data block, 0..kMaxBlockData bytes
  Bid write_data(std::span<const std::byte> bytes);   // any size: a block or a data tree
  // SLBLOCK (or SIBLOCK over SLBLOCKs) for entries sorted by nid; 0 when empty.
  Bid write_subnodes(std::span<const SubnodeEntry> entries);

  // Frees one block at the next commit but one. Releasing the root of a data tree or
  // a subnode tree frees the whole tree written by write_data/write_subnodes/DataStream.
  void release(Bid bid);

  // The point reached in the sequence of blocks, for discard_blocks_since.
  Bid block_mark() const;
  // Releases every block written since `mark` that is still in the BBT: what an
  // operation that failed part way wrote and did not release itself. The caller keeps
  // no reference to those blocks; nodes are untouched. Returns the number released.
  std::size_t discard_blocks_since(Bid mark);

  void put_node(const NodeEntry& entry);  // inserts or replaces (the old blocks stay: release them)
  void remove_node(Nid nid);
  std::optional<NodeEntry> find_node(Nid nid) const;

  void commit();  // everything written so far is durable and reachable from the header
  // Closes; commits first and writes the final maps and header unless a write failed,
  // in which case the file is cut back to the end its last header names. Later calls
  // raise kClosed.
  void close();
  // The file now goes by `path` (it was linked or renamed there): errors name it so.
  void renamed(const std::filesystem::path& path);
  bool is_open() const;

  std::uint64_t file_size() const;
  DatabaseStatistics statistics() const;

  class Impl;

 private:
  explicit Database(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  friend class DataStream;
  friend class DataTree;
};

}  // namespace larkfield::pst::ndb
