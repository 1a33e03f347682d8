#pragma once

// A PST file held in memory for tests that damage it on purpose: find nodes and blocks,
// change decoded bytes, then re-encode and recompute the checksums so that the damage
// reaches the rule under test instead of stopping at a CRC.

#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

namespace larkfield::test {

class PstImage {
 public:
  struct Block {
    std::uint64_t bid = 0, ib = 0;
    std::uint16_t cb = 0;
    std::uint64_t entry_at = 0;  // file offset of its BBT leaf entry
    std::uint64_t page_at = 0;   // file offset of that BBT page
  };
  struct Node {
    std::uint32_t nid = 0, parent = 0;
    std::uint64_t data = 0, sub = 0;
    std::uint64_t entry_at = 0, page_at = 0;
  };

  explicit PstImage(const std::filesystem::path& path);
  void save(const std::filesystem::path& path) const;

  std::vector<std::uint8_t> bytes;
  std::map<std::uint64_t, Block> blocks;
  std::map<std::uint32_t, Node> nodes;

  std::uint16_t u16(std::uint64_t at) const;
  std::uint32_t u32(std::uint64_t at) const;
  std::uint64_t u64(std::uint64_t at) const;
  void put16(std::uint64_t at, std::uint16_t v);
  void put32(std::uint64_t at, std::uint32_t v);
  void put64(std::uint64_t at, std::uint64_t v);

  void fix_header();                // both header CRCs
  void fix_page(std::uint64_t ib);  // trailer CRC of the page at ib

  // Decoded content of a block, and writing it back (same size) with a fresh CRC.
  std::vector<std::uint8_t> data(std::uint64_t bid) const;
  void set_data(std::uint64_t bid, const std::vector<std::uint8_t>& d);
  const Node& node(std::uint32_t nid) const { return nodes.at(nid); }

  // Within a decoded heap block: [begin, end) of allocation `hid` (block 0 only).
  std::pair<std::size_t, std::size_t> alloc(const std::vector<std::uint8_t>& heap,
                                            std::uint32_t hid) const;
  // Offset, in the decoded first heap block of a one-level PC, of the 8-byte record of
  // property `id`; throws when absent.
  std::size_t pc_record(std::uint64_t bid, std::uint16_t id) const;
  // Offset of a TC's TCINFO in its decoded first heap block.
  std::size_t tc_info(std::uint64_t bid) const;

  void reindex();

 private:
  void walk(bool nbt, std::uint64_t ib, int depth);
};

}  // namespace larkfield::test
