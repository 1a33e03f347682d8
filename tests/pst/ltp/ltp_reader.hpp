#pragma once

// A small reader of heaps, BTHs, property contexts and table contexts for the tests of
// the LTP writer. It shares nothing with the writer: the file comes from PstImage (the
// verifier tests' in-memory image), and the LTP structures are decoded here.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "tests/pst/check/pst_image.hpp"

namespace larkfield::test::ltp {

using Buf = std::vector<std::uint8_t>;

std::uint16_t le16(const Buf& b, std::size_t at);
std::uint32_t le32(const Buf& b, std::size_t at);

struct SubnodeRef {
  std::uint64_t data = 0, sub = 0;
};

class LtpFile {
 public:
  explicit LtpFile(const std::filesystem::path& path) : image(path) {}
  PstImage image;

  // The data blocks of a data tree, in order.
  std::vector<Buf> leaves(std::uint64_t bid) const;
  // The whole value of a data tree.
  Buf stream(std::uint64_t bid) const;
  // The entries of a subnode tree by nid.
  std::map<std::uint32_t, SubnodeRef> subnodes(std::uint64_t bid) const;
};

struct Heap {
  std::vector<Buf> pages;
  std::uint8_t client = 0;
  std::uint32_t root = 0;
  // The allocation `hid`; throws when it is not one.
  Buf get(std::uint32_t hid) const;
  std::size_t allocations(std::size_t page) const;
};
Heap read_heap(const LtpFile& file, std::uint64_t data);

struct Bth {
  std::uint8_t key = 0, entry = 0, levels = 0;
  std::vector<Buf> records;  // leaf records in stored order (key then data)
};
Bth read_bth(const Heap& heap, std::uint32_t header);

// A value: its type, the HNID (or inline bytes) and the stored bytes.
struct PcValue {
  std::uint16_t type = 0;
  std::uint32_t hnid = 0;
  Buf bytes;
};

struct Pc {
  Heap heap;
  Bth bth;
  std::map<std::uint16_t, PcValue> props;
};
// Reads a PC from a node's data and subnode roots.
Pc read_pc(const LtpFile& file, std::uint64_t data, std::uint64_t sub);

struct TcColumn {
  std::uint32_t tag = 0;
  std::uint16_t offset = 0;
  std::uint8_t width = 0, bit = 0;
};

struct Tc {
  Heap heap;
  std::vector<TcColumn> columns;
  std::uint16_t rgib[4]{};
  std::uint32_t hnid_rows = 0;
  Bth index;
  std::vector<Buf> rows;                              // in row-matrix order
  std::map<std::uint32_t, std::uint32_t> rows_by_id;  // row id -> position
  std::map<std::uint32_t, SubnodeRef> subs;
  std::vector<std::size_t> matrix_blocks;  // sizes of the row-matrix blocks (subnode case)

  // The cell of `tag` in row `position`: nullopt when its CEB bit is clear; the stored
  // bytes (variable-size cells resolved through the heap or the subnodes).
  std::optional<Buf> cell(const LtpFile& file, std::size_t position, std::uint32_t tag) const;
};
Tc read_tc(const LtpFile& file, std::uint64_t data, std::uint64_t sub);

}  // namespace larkfield::test::ltp
