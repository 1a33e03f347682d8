#include "pst/ltp/table_context.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

#include "pst/ltp/heap.hpp"

// The table's heap has two kinds of pages:
//  - cell pages hold the values of variable-size cells. They are filled in order and
//    never change once full, so a cell's HID is stable and a flush writes only the
//    page being filled (and pages filled since the last flush);
//  - volatile pages hold what every flush rebuilds: TCINFO, the row-index BTH and, for
//    small tables, the row matrix. Page 0 and the bitmap pages (8, 136, ...), which
//    carry the fill levels of other pages, are always volatile. A rebuilt volatile page
//    is written only when its bytes differ from the last written ones (by hash).
// The row matrix of a larger table is a subnode whose blocks are rewritten from the
// first changed row on.

namespace larkfield::pst::ltp {

using detail::PageBuilder;

namespace {

constexpr PropTag kRowIdTag = 0x67F20003;
constexpr PropTag kRowVerTag = 0x67F30003;
constexpr ndb::Nid kMatrixNid = ndb::make_nid(ndb::NidType::kLtp, 1);
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

struct Column {
  PropTag tag = 0;
  std::uint16_t offset = 0;
  std::uint8_t width = 0;
  std::uint8_t bit = 0;
  bool in_row = false;  // the value itself is in the row, not an HNID
};

std::uint64_t hash_bytes(std::span<const std::byte> bytes) {
  // FNV-1a over 64-bit words, then a final mix.
  std::uint64_t h = 0xCBF29CE484222325ull ^ bytes.size();
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    h = (h ^ w) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < bytes.size(); ++i)
    h = (h ^ std::to_integer<std::uint64_t>(bytes[i])) * 0x100000001B3ull;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

}  // namespace

struct TableWriter::State {
  struct Block {
    bool cell = false;  // a cell page; otherwise volatile
    std::uint32_t size = 0;
    std::uint64_t hash = 0;
    bool written = false;
  };

  ndb::Database* db = nullptr;
  std::vector<PropTag> columns;  // as given, plus the row id and version
  std::vector<Column> cols;      // sorted by tag
  std::uint16_t rgib[4]{};
  std::size_t row_size = 0;
  std::size_t ceb = 0;

  std::vector<std::byte> rows;                                 // the row matrix
  std::vector<std::pair<std::uint32_t, std::uint32_t>> index;  // (row id, position) by row id
  std::size_t dirty_row = 0;  // first row position changed since the last flush
  std::uint32_t row_version = 0;

  std::vector<Block> blocks;
  std::optional<PageBuilder> open;                                     // the cell page being filled
  std::vector<std::pair<std::size_t, std::vector<std::byte>>> closed;  // full, not yet written
  // Shared with the NodeData of flush(), so that release() of it can free them.
  std::shared_ptr<ndb::DataTree> heap = std::make_shared<ndb::DataTree>();
  std::shared_ptr<ndb::DataTree> matrix = std::make_shared<ndb::DataTree>();
  bool matrix_in_tree = false;
  ndb::Bid matrix_root = 0;
  std::map<ndb::Nid, ndb::Bid> large;             // cells too large for the heap
  std::map<ndb::Nid, std::uint64_t> large_bytes;  // their sizes, for NodeData::bytes
  std::uint32_t next_index = 2;
  ndb::Bid subnodes = 0;
  bool subnodes_dirty = false;

  std::vector<std::byte> scratch, row, page;

  const Column* column(PropTag tag) const {
    auto it = std::lower_bound(cols.begin(), cols.end(), tag,
                               [](const Column& c, PropTag t) { return c.tag < t; });
    return it != cols.end() && it->tag == tag ? &*it : nullptr;
  }

  void layout() {
    if (std::find(columns.begin(), columns.end(), kRowIdTag) == columns.end())
      columns.push_back(kRowIdTag);
    if (std::find(columns.begin(), columns.end(), kRowVerTag) == columns.end())
      columns.push_back(kRowVerTag);
    std::vector<PropTag> tags = columns;
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    if (tags.size() > 255)
      throw Error(Error::Code::kInvalidArgument, "a table holds at most 255 columns");
    std::vector<Column> all;
    for (PropTag tag : tags) {
      const std::uint16_t type = prop_type(tag);
      if (!detail::supported_type(type)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "column 0x%08X has a type this store does not write", tag);
        throw Error(Error::Code::kInvalidArgument, buf);
      }
      const std::size_t fixed = detail::fixed_size(type);
      Column c;
      c.tag = tag;
      c.in_row = fixed != 0 && fixed <= 8;
      c.width = static_cast<std::uint8_t>(c.in_row ? fixed : 4);
      all.push_back(c);
    }
    // Row id at 0 and version at 4 (bits 0 and 1), then 8-, 4-, 2- and 1-byte cells.
    std::vector<Column*> order;
    for (PropTag first : {kRowIdTag, kRowVerTag})
      for (auto& c : all)
        if (c.tag == first) order.push_back(&c);
    for (std::size_t width : {8, 4, 2, 1})
      for (auto& c : all)
        if (c.width == width && c.tag != kRowIdTag && c.tag != kRowVerTag) order.push_back(&c);
    std::size_t at = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
      Column& c = *order[i];
      c.offset = static_cast<std::uint16_t>(at);
      c.bit = static_cast<std::uint8_t>(i);
      at += c.width;
      // Ends of the 8/4-, 2- and 1-byte groups.
      const std::size_t next = i + 1 < order.size() ? order[i + 1]->width : 0;
      if (c.width >= 4 && next < 4) rgib[0] = static_cast<std::uint16_t>(at);
      if (c.width >= 2 && next < 2) rgib[1] = static_cast<std::uint16_t>(at);
    }
    rgib[2] = static_cast<std::uint16_t>(at);
    ceb = at;
    rgib[3] = static_cast<std::uint16_t>(at + (all.size() + 7) / 8);
    row_size = rgib[3];
    cols = std::move(all);
    blocks.push_back(Block{});  // page 0
  }

  std::size_t find(std::uint32_t row_id) const {
    auto it = std::lower_bound(index.begin(), index.end(), row_id,
                               [](const std::pair<std::uint32_t, std::uint32_t>& e,
                                  std::uint32_t id) { return e.first < id; });
    return it != index.end() && it->first == row_id ? static_cast<std::size_t>(it - index.begin())
                                                    : kNone;
  }

  std::uint32_t add_cell(std::span<const std::byte> bytes) {
    if (!open || !open->fits(bytes.size())) {
      if (open) {
        // The page gets a successor, so it is written one whole block long.
        std::vector<std::byte> done;
        open->finish(done, detail::kPageSize);
        blocks[open->index()].size = static_cast<std::uint32_t>(done.size());
        closed.emplace_back(open->index(), std::move(done));
      }
      std::size_t at = blocks.size();
      while (detail::holds_fill_levels(at)) {
        blocks.push_back(Block{});
        ++at;
      }
      if (at > 0xFFFF) throw Error(Error::Code::kTooLarge, "a table heap holds 65,536 pages");
      blocks.push_back(Block{true});
      open.emplace(at);
    }
    return open->add(bytes);
  }

  bool in_open_page(std::uint32_t hnid) const {
    return open && detail::is_hid(hnid) && hnid != 0 && detail::hid_page(hnid) == open->index() &&
           detail::hid_index(hnid) >= 1 && detail::hid_index(hnid) <= open->count();
  }

  void release_large(std::span<const std::byte> old_row) {
    for (const Column& c : cols) {
      if (c.in_row || !bit_set(old_row, c)) continue;
      const std::uint32_t hnid = detail::get32(old_row.data() + c.offset);
      if (hnid == 0 || detail::is_hid(hnid)) continue;
      auto it = large.find(hnid);
      if (it == large.end()) continue;
      db->release(it->second);
      large_bytes.erase(it->first);
      large.erase(it);
      subnodes_dirty = true;
    }
  }

  bool bit_set(std::span<const std::byte> r, const Column& c) const {
    return (std::to_integer<unsigned>(r[ceb + c.bit / 8]) >> (7 - c.bit % 8)) & 1;
  }
  void set_bit(std::span<std::byte> r, const Column& c) const {
    r[ceb + c.bit / 8] |= static_cast<std::byte>(0x80 >> (c.bit % 8));
  }

  void put_row(std::uint32_t row_id, std::span<const Property> values) {
    const std::size_t existing = find(row_id);
    std::span<const std::byte> old;
    if (existing != kNone)
      old = std::span<const std::byte>(rows).subspan(index[existing].second * row_size, row_size);
    row.assign(row_size, std::byte{0});
    std::vector<ndb::Nid> made;  // large cells of this call, released if it fails
    bool version_given = false;
    try {
      for (const Property& p : values) {
        const Column* c = column(p.tag);
        if (c == nullptr || c->tag == kRowIdTag) continue;
        std::byte* cell = row.data() + c->offset;
        if (c->in_row) {
          scratch.clear();
          detail::encode_value(p.tag, p.value, scratch);
          std::memcpy(cell, scratch.data(), c->width);
          if (c->tag == kRowVerTag) version_given = true;
          set_bit(row, *c);
          continue;
        }
        std::uint32_t hnid = 0;
        ndb::Bid bid = 0;
        std::uint64_t size = 0;
        if (ByteSource* source = detail::byte_source(p.tag, p.value)) {
          const detail::StreamedValue v = detail::read_source(*db, *source, scratch);
          bid = v.bid;
          size = v.size;
        } else {
          scratch.clear();
          detail::encode_value(p.tag, p.value, scratch);
          size = scratch.size();
          if (scratch.size() > detail::kMaxAlloc) bid = db->write_data(scratch);
        }
        if (bid != 0) {
          hnid = ndb::make_nid(ndb::NidType::kLtp, next_index++);
          large[hnid] = bid;
          large_bytes[hnid] = size;
          made.push_back(hnid);
          subnodes_dirty = true;
        } else if (!scratch.empty()) {
          // A replaced row keeps a cell whose value did not change if the page being
          // filled holds it; otherwise the value gets a new allocation.
          if (!old.empty() && bit_set(old, *c)) {
            const std::uint32_t was = detail::get32(old.data() + c->offset);
            if (in_open_page(was)) {
              auto a = open->allocation(was);
              if (a.size() == scratch.size() && std::equal(a.begin(), a.end(), scratch.begin()))
                hnid = was;
            }
          }
          if (hnid == 0) hnid = add_cell(scratch);
        }
        detail::put32(cell, hnid);
        set_bit(row, *c);
      }
    } catch (...) {
      for (ndb::Nid nid : made) {
        db->release(large[nid]);
        large.erase(nid);
        large_bytes.erase(nid);
      }
      throw;
    }
    const Column* id_col = column(kRowIdTag);
    detail::put32(row.data() + id_col->offset, row_id);
    set_bit(row, *id_col);
    const Column* ver_col = column(kRowVerTag);
    if (!version_given) detail::put32(row.data() + ver_col->offset, ++row_version);
    set_bit(row, *ver_col);

    if (existing != kNone) {
      // Large cells of the old row that the new one does not keep.
      std::vector<std::byte> old_copy(old.begin(), old.end());
      const std::size_t pos = index[existing].second;
      std::memcpy(rows.data() + pos * row_size, row.data(), row_size);
      for (const Column& c : cols) {
        if (c.in_row || !bit_set(old_copy, c)) continue;
        const std::uint32_t was = detail::get32(old_copy.data() + c.offset);
        if (was != 0 && !detail::is_hid(was) && large.count(was)) {
          db->release(large[was]);
          large.erase(was);
          large_bytes.erase(was);
          subnodes_dirty = true;
        }
      }
      dirty_row = std::min(dirty_row, pos);
    } else {
      const std::size_t pos = rows.size() / row_size;
      if (pos >= 0xFFFFFFFFull) throw Error(Error::Code::kTooLarge, "too many rows");
      rows.insert(rows.end(), row.begin(), row.end());
      auto it = std::lower_bound(index.begin(), index.end(), row_id,
                                 [](const std::pair<std::uint32_t, std::uint32_t>& e,
                                    std::uint32_t id) { return e.first < id; });
      index.insert(it, {row_id, static_cast<std::uint32_t>(pos)});
      dirty_row = std::min(dirty_row, pos);
    }
  }

  void remove(std::uint32_t row_id) {
    const std::size_t i = find(row_id);
    if (i == kNone) return;
    const std::size_t pos = index[i].second;
    release_large(std::span<const std::byte>(rows).subspan(pos * row_size, row_size));
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(pos * row_size),
               rows.begin() + static_cast<std::ptrdiff_t>((pos + 1) * row_size));
    index.erase(index.begin() + static_cast<std::ptrdiff_t>(i));
    for (auto& e : index)
      if (e.second > pos) --e.second;
    dirty_row = std::min(dirty_row, pos);
  }

  std::size_t row_count() const { return index.size(); }

  // ---- flush ----

  void write_matrix() {
    const std::size_t n = row_count();
    if (rows.size() <= detail::kMaxAlloc) {
      if (matrix_in_tree) {
        matrix->release(*db);
        matrix_in_tree = false;
        matrix_root = 0;
        subnodes_dirty = true;
      }
      return;
    }
    const std::size_t per_block = detail::kPageSize / row_size;
    const std::size_t count = (n + per_block - 1) / per_block;
    if (!matrix_in_tree || count < matrix->block_count()) {
      matrix->release(*db);
      matrix_in_tree = true;
      dirty_row = 0;
    }
    std::size_t first = dirty_row == kNone ? count : dirty_row / per_block;
    // The old last block becomes a full, padded one when blocks were added.
    if (count > matrix->block_count() && matrix->block_count() > 0)
      first = std::min(first, matrix->block_count() - 1);
    for (std::size_t b = first; b < count; ++b) {
      const std::size_t from = b * per_block, to = std::min(n, from + per_block);
      auto part = std::span<const std::byte>(rows).subspan(from * row_size, (to - from) * row_size);
      if (b + 1 < count) {
        page.assign(part.begin(), part.end());
        page.resize(detail::kPageSize, std::byte{0});
        matrix->set_block(*db, b, page);
      } else {
        matrix->set_block(*db, b, part);
      }
    }
    const ndb::Bid root = matrix->root(*db);
    if (root != matrix_root) {
      matrix_root = root;
      subnodes_dirty = true;
    }
  }

  void write_subnodes() {
    if (!subnodes_dirty) return;
    std::vector<ndb::SubnodeEntry> entries;
    entries.reserve(large.size() + 1);
    if (matrix_in_tree) entries.push_back({kMatrixNid, matrix_root, 0});
    for (auto& [nid, bid] : large) entries.push_back({nid, bid, 0});  // nids above kMatrixNid
    const ndb::Bid fresh = db->write_subnodes(entries);
    if (subnodes != 0) db->release(subnodes);
    subnodes = fresh;
    subnodes_dirty = false;
  }

  std::vector<std::byte> tc_info(std::uint32_t header_hid, std::uint32_t rows_hnid) const {
    std::vector<std::byte> info(22 + 8 * cols.size());
    info[0] = std::byte{detail::kClientTc};
    info[1] = static_cast<std::byte>(cols.size());
    for (int i = 0; i < 4; ++i) detail::put16(info.data() + 2 + 2 * i, rgib[i]);
    detail::put32(info.data() + 10, header_hid);
    detail::put32(info.data() + 14, rows_hnid);
    detail::put32(info.data() + 18, 0);
    for (std::size_t i = 0; i < cols.size(); ++i) {
      std::byte* d = info.data() + 22 + 8 * i;
      detail::put32(d, cols[i].tag);
      detail::put16(d + 4, cols[i].offset);
      d[6] = static_cast<std::byte>(cols[i].width);
      d[7] = static_cast<std::byte>(cols[i].bit);
    }
    return info;
  }

  // Whether the whole table fits page 0: a heap that never grew past one block, no full
  // cell page, the row matrix in the heap, and the cells of the open page beside it.
  bool fits_one_page(std::size_t info_size, std::span<const std::size_t> array_sizes) const {
    if (heap->block_count() > 1 || !closed.empty() || matrix_in_tree) return false;
    if (blocks.size() > (open ? 2u : 1u) || (open && open->index() != 1)) return false;
    PageBuilder trial(0, true);
    std::vector<std::size_t> sizes = {8, info_size};
    if (!rows.empty()) sizes.push_back(rows.size());
    if (open)
      for (std::size_t k = 1; k <= open->count(); ++k)
        sizes.push_back(open->allocation(detail::make_hid(1, k)).size());
    sizes.insert(sizes.end(), array_sizes.begin(), array_sizes.end());
    for (std::size_t size : sizes) {
      if (!trial.fits(size)) return false;
      trial.reserve(size);
    }
    return true;
  }

  // A small table as one heap page, as Outlook writes small tables: the BTH header,
  // TCINFO, the row index's records (one array), the row matrix, the cells (a larger
  // index's arrays follow them). The cells keep their places in the open page for later
  // flushes; the matrix written here names their page-0 copies.
  NodeData flush_one_page(std::span<const std::byte> records) {
    const std::size_t n = row_count();
    PageBuilder page(0);
    const std::uint32_t header_hid = page.reserve(8);
    const std::uint32_t info_hid = page.reserve(22 + 8 * cols.size());
    const bool one_array = n > 0 && records.size() <= detail::kMaxAlloc;
    const std::uint32_t records_hid = one_array ? page.add(records) : 0;
    // Allocation index of the first cell: after the records and the row matrix.
    const std::size_t first_cell = 3 + (one_array ? 1 : 0) + (n > 0 ? 1 : 0);
    std::uint32_t rows_hid = 0;
    if (n > 0) {
      std::vector<std::byte> moved = rows;
      for (std::size_t r = 0; r < n; ++r) {
        std::span<std::byte> row_bytes(moved.data() + r * row_size, row_size);
        for (const Column& c : cols) {
          if (c.in_row || !bit_set(row_bytes, c)) continue;
          const std::uint32_t hnid = detail::get32(row_bytes.data() + c.offset);
          if (hnid == 0 || !detail::is_hid(hnid)) continue;
          detail::put32(row_bytes.data() + c.offset,
                        detail::make_hid(0, detail::hid_index(hnid) + first_cell - 1));
        }
      }
      rows_hid = page.add(moved);
    }
    if (open)
      for (std::size_t k = 1; k <= open->count(); ++k)
        page.add(open->allocation(detail::make_hid(1, k)));
    std::uint8_t levels = 0;
    std::uint32_t root = records_hid;
    if (!one_array)
      std::tie(levels, root) = detail::build_bth(
          records, 4, 8, [&](std::span<const std::byte> b) { return page.add(b); });
    page.patch(header_hid, detail::bth_header(4, 4, levels, root));
    page.patch(info_hid, tc_info(header_hid, rows_hid));
    std::vector<std::byte> bytes;
    page.finish(bytes);
    detail::put_fill_level(bytes, 0, 0, detail::kPageSize - bytes.size());
    detail::put_heap_header(bytes, detail::kClientTc, info_hid);
    const std::uint64_t h = hash_bytes(bytes);
    if (!blocks[0].written || h != blocks[0].hash) heap->set_block(*db, 0, bytes);
    blocks[0].hash = h;
    blocks[0].written = true;
    blocks[0].size = static_cast<std::uint32_t>(bytes.size());
    return node_data();
  }

  NodeData node_data() {
    NodeData out;
    out.data = heap->root(*db);
    out.subnodes = subnodes;
    out.data_in_tree = true;
    out.trees.push_back(heap);
    if (matrix_in_tree) out.trees.push_back(matrix);
    for (auto& [nid, bid] : large) out.owned.push_back(bid);
    out.bytes = heap->size() + (matrix_in_tree ? matrix->size() : 0);
    for (const auto& [nid, size] : large_bytes) out.bytes += size;
    return out;
  }

  NodeData flush() {
    write_matrix();
    dirty_row = kNone;
    write_subnodes();

    // Volatile content: TCINFO, the BTH header, the matrix when small, the BTH arrays.
    const std::size_t n = row_count();
    const bool matrix_in_heap = n > 0 && !matrix_in_tree;
    std::vector<std::byte> records(8 * n);
    for (std::size_t i = 0; i < n; ++i) {
      detail::put32(records.data() + 8 * i, index[i].first);
      detail::put32(records.data() + 8 * i + 4, index[i].second);
    }
    const std::size_t info_size = 22 + 8 * cols.size();
    std::vector<std::size_t> array_sizes;  // the BTH arrays in allocation order
    for (std::size_t count = n; count > 0;) {
      const std::size_t per = detail::records_per_array(8);
      for (std::size_t i = 0; i < count; i += per)
        array_sizes.push_back(8 * std::min(per, count - i));
      count = count > per ? (count + per - 1) / per : 0;
    }
    if (fits_one_page(info_size, array_sizes)) return flush_one_page(records);
    bool all_in_first = true;
    {
      PageBuilder trial(0);
      for (std::size_t s : {std::size_t{8}, info_size, matrix_in_heap ? rows.size() : 0}) {
        if (s == 0) continue;
        trial.reserve(s);
      }
      for (std::size_t s : array_sizes) {
        if (!trial.fits(s)) {
          all_in_first = false;
          break;
        }
        trial.reserve(s);
      }
    }

    // The row index's BTH header first (HID 0x20), then TCINFO (0x40), as Outlook
    // lays a table out; readers that learned from its files expect that order.
    std::vector<PageBuilder> pages;  // volatile pages in use, page 0 first
    pages.emplace_back(0);
    const std::uint32_t header_hid = pages[0].reserve(8);
    const std::uint32_t info_hid = pages[0].reserve(info_size);
    std::uint32_t rows_hnid = 0;
    if (matrix_in_heap) rows_hnid = pages[0].add(rows);
    if (matrix_in_tree) rows_hnid = kMatrixNid;

    std::vector<std::size_t> volatile_pages;
    for (std::size_t i = 1; i < blocks.size(); ++i)
      if (!blocks[i].cell) volatile_pages.push_back(i);
    std::size_t next_volatile = 0;
    auto alloc = [&](std::span<const std::byte> bytes) {
      if (!all_in_first && pages.size() == 1) {
        // Page 0 keeps only what changes anyway; the arrays go to the other pages.
      } else if (pages.back().fits(bytes.size())) {
        return pages.back().add(bytes);
      }
      std::size_t at;
      if (next_volatile < volatile_pages.size()) {
        at = volatile_pages[next_volatile++];
      } else {
        at = blocks.size();
        blocks.push_back(Block{});
        if (at > 0xFFFF) throw Error(Error::Code::kTooLarge, "a table heap holds 65,536 pages");
      }
      pages.emplace_back(at);
      return pages.back().add(bytes);
    };
    const auto [levels, root] = detail::build_bth(records, 4, 8, alloc);
    pages[0].patch(header_hid, detail::bth_header(4, 4, levels, root));

    pages[0].patch(info_hid, tc_info(header_hid, rows_hnid));

    // Bytes of every volatile page (unused ones empty) and of the open cell page; every
    // page but the last is one whole block (a data tree's rule), padded by finish().
    const auto exact = [&](std::size_t index) {
      return index + 1 < blocks.size() ? detail::kPageSize : std::size_t{0};
    };
    std::vector<std::vector<std::byte>> content(blocks.size());
    std::vector<bool> have(blocks.size(), false);
    for (const PageBuilder& p : pages) {
      p.finish(content[p.index()], exact(p.index()));
      have[p.index()] = true;
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].cell || have[i]) continue;
      PageBuilder(i).finish(content[i], exact(i));
      have[i] = true;
    }
    if (open) open->finish(content[open->index()], exact(open->index()));
    for (std::size_t i = 0; i < blocks.size(); ++i)
      if (!blocks[i].cell || (open && open->index() == i))
        blocks[i].size = static_cast<std::uint32_t>(content[i].size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
      detail::put_fill_level(content[holder], holder, i, detail::kPageSize - blocks[i].size);
    }
    detail::put_heap_header(content[0], detail::kClientTc, info_hid);

    // Write what changed, in page order (new pages are appended in order).
    std::size_t next_closed = 0;
    std::sort(closed.begin(), closed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // The open cell page is compared by hash too: it changes when cells were added and
    // when it stops being the last page (it is then padded to a whole block).
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      Block& b = blocks[i];
      if (!b.cell || (open && open->index() == i)) {
        const std::uint64_t h = hash_bytes(content[i]);
        if (!b.written || h != b.hash) heap->set_block(*db, i, content[i]);
        b.hash = h;
        b.written = true;
      } else if (next_closed < closed.size() && closed[next_closed].first == i) {
        heap->set_block(*db, i, closed[next_closed].second);
        ++next_closed;
        b.written = true;
      }
    }
    closed.clear();
    return node_data();
  }

  void release_all() {
    heap->release(*db);
    matrix->release(*db);
    if (subnodes != 0) db->release(subnodes);
    for (auto& [nid, bid] : large) db->release(bid);
    subnodes = 0;
    large.clear();
    large_bytes.clear();
    matrix_in_tree = false;
    matrix_root = 0;
    rows.clear();
    index.clear();
    blocks.assign(1, Block{});
    open.reset();
    closed.clear();
    dirty_row = 0;
    subnodes_dirty = false;
  }
};

TableWriter::TableWriter(ndb::Database& db, std::vector<PropTag> columns)
    : state_(std::make_unique<State>()) {
  state_->db = &db;
  state_->columns = std::move(columns);
  state_->layout();
}
TableWriter::TableWriter(TableWriter&&) noexcept = default;
TableWriter::~TableWriter() = default;

const std::vector<PropTag>& TableWriter::columns() const { return state_->columns; }

void TableWriter::set_row(std::uint32_t row_id, std::span<const Property> values) {
  state_->put_row(row_id, values);
}
void TableWriter::remove_row(std::uint32_t row_id) { state_->remove(row_id); }
bool TableWriter::has_row(std::uint32_t row_id) const { return state_->find(row_id) != kNone; }
std::size_t TableWriter::row_count() const { return state_->row_count(); }
NodeData TableWriter::flush() { return state_->flush(); }
void TableWriter::release() { state_->release_all(); }

}  // namespace larkfield::pst::ltp
