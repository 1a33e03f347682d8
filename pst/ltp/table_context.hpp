#pragma once

// Table contexts (TC): hierarchy, contents, recipient and attachment tables.
//
// A TableWriter keeps one table and writes it incrementally: flush() writes what
// changed since the last flush (new rows, replaced rows, the row index, the
// heap blocks that changed) and returns the blocks for the node entry, releasing the
// blocks the new data replaces. A folder's contents table with hundreds of thousands
// of rows therefore costs, per flush, about what was added, not the whole table.
//
// Columns are laid out as the format requires (8-byte values first, then 4, 2 and
// 1-byte values, then the cell-existence bitmap); variable-size values live in the
// table's heap or, when large, in subnodes of the table's node.
//
// Addition to the first version of this header (backward-compatible): release().
// flush() fills NodeData::bytes with the data bytes of the whole table.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pst/ltp/property.hpp"
#include "pst/ltp/property_context.hpp"
#include "pst/ndb/database.hpp"

namespace larkfield::pst::ltp {

class TableWriter {
 public:
  // `columns` are the table's columns, as a template lists them. PR_LTP_ROW_ID
  // (0x67F20003) and PR_LTP_ROW_VER (0x67F30003) are added if absent.
  TableWriter(ndb::Database& db, std::vector<PropTag> columns);
  TableWriter(TableWriter&&) noexcept;
  TableWriter& operator=(TableWriter&&) = delete;
  ~TableWriter();

  const std::vector<PropTag>& columns() const;

  // Adds the row `row_id` (for folder tables the child's nid) or replaces it.
  // Values whose tag is not a column are ignored; columns without a value are absent
  // in the row (cell-existence bit clear). Rows keep the order they were added in.
  void set_row(std::uint32_t row_id, std::span<const Property> values);
  void remove_row(std::uint32_t row_id);
  bool has_row(std::uint32_t row_id) const;
  std::size_t row_count() const;

  // Writes the changes since the last flush (the whole table the first time) and
  // returns what the table's node entry must point at. The NodeData shares the
  // table's data trees: ltp::release() of the last flush's NodeData frees every block
  // the table holds (also after the writer is gone, as for a message's recipient table
  // whose message could not be written).
  NodeData flush();

  // Releases every block the table wrote (heap, row matrix, subnodes); the table is
  // empty afterwards. Either this or ltp::release() of the last NodeData, not both.
  void release();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace larkfield::pst::ltp
