#pragma once

// The node and block B-trees. Memory holds, for every leaf, its first key and its page on
// disk, and the entries only of the leaves changed since they were last written: an
// unchanged leaf is read back from its page when one of its entries is needed. So the
// trees cost a few bytes per leaf page (about 56 bytes per 13 to 18 entries), not their
// entries. A commit writes only the pages whose content changed (copy on write) and hands
// back the pages they replace; unchanged subtrees keep their pages.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "pst/ndb/codec.hpp"
#include "pst/ndb/error.hpp"

namespace larkfield::pst::ndb {

struct PageRef {
  std::uint64_t bid = 0;
  std::uint64_t ib = 0;
  friend bool operator==(const PageRef&, const PageRef&) = default;
};

// Bytes of entries in a B-tree page.
inline constexpr std::size_t kBTreeEntryBytes = 488;

// Where the pages of a tree go: written at a commit (leaves that filled up by appending
// may be written before), read back, and dropped once no newer tree refers to them.
class PageStore {
 public:
  virtual PageRef write_page(std::uint8_t level, std::uint8_t count, std::uint8_t entry_size,
                             const std::uint8_t* entries) = 0;
  // Reads the kBTreeEntryBytes bytes of entries of a page written before; returns the
  // page's count of entries.
  virtual std::size_t read_page(PageRef page, std::uint8_t* entries) const = 0;
  virtual void drop_page(PageRef page) = 0;

 protected:
  PageStore() = default;
  PageStore(const PageStore&) = default;
  PageStore& operator=(const PageStore&) = default;
  ~PageStore() = default;
};

// NBTENTRY.
struct NodeRecord {
  std::uint64_t nid = 0;
  std::uint64_t data = 0;
  std::uint64_t sub = 0;
  std::uint32_t parent = 0;
  static constexpr std::uint8_t kSize = 32;
  static constexpr std::size_t kMax = 15;
  static constexpr std::size_t kFill = 13;  // leaves filled by appending stop here
  std::uint64_t key() const { return nid; }
  void write(std::uint8_t* p) const {
    put64(p, nid);
    put64(p + 8, data);
    put64(p + 16, sub);
    put32(p + 24, parent);
    put32(p + 28, 0);
  }
  static NodeRecord read(const std::uint8_t* p) {
    return NodeRecord{get64(p), get64(p + 8), get64(p + 16), get32(p + 24)};
  }
};

// BBTENTRY.
struct BlockRecord {
  std::uint64_t bid = 0;
  std::uint64_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t refs = 0;
  static constexpr std::uint8_t kSize = 24;
  static constexpr std::size_t kMax = 20;
  static constexpr std::size_t kFill = 18;
  std::uint64_t key() const { return bid; }
  void write(std::uint8_t* p) const {
    put64(p, bid);
    put64(p + 8, ib);
    put16(p + 16, cb);
    put16(p + 18, refs);
    put32(p + 20, 0);
  }
  static BlockRecord read(const std::uint8_t* p) {
    return BlockRecord{get64(p), get64(p + 8), get16(p + 16), get16(p + 18)};
  }
};

template <class Record>
class BTree {
 public:
  explicit BTree(PageStore& pages) : pages_(&pages) {}

  std::size_t size() const { return count_; }
  std::optional<Record> find(std::uint64_t key) const {
    const std::size_t li = leaf_for(key);
    if (li == kNone) return std::nullopt;
    const Leaf& leaf = leaves_[li];
    if (leaf.loaded()) return search(leaf.entries, key);
    return search(read_leaf(leaf), key);
  }

  void put(const Record& r) {
    const std::uint64_t key = r.key();
    if (leaves_.empty()) {
      leaves_.push_back(Leaf{key, {}, {r}, true});
      ++count_;
      return;
    }
    std::size_t li = leaf_for(key);
    if (li == kNone) li = 0;
    Leaf& leaf = load(li);
    auto& e = leaf.entries;
    auto it = lower(e, key);
    if (it != e.end() && it->key() == key) {
      *it = r;
      leaf.dirty = true;
      return;
    }
    ++count_;
    // Appending past the last key: start a new leaf once the last one is filled, so that
    // a tree built by appending keeps its leaves nearly full and old leaves untouched.
    // Past kSpillAfter such leaves since the last commit (a value of gigabytes), the
    // filled leaf is written now, as appending will not change it again: memory stays
    // bounded between commits too. Below that, a leaf that still changes (a released
    // block) is not written twice.
    if (it == e.end() && li + 1 == leaves_.size() && e.size() >= Record::kFill) {
      if (++appended_ > kSpillAfter) {
        write_leaf(leaf);
        unload(leaf);
      }
      leaves_.push_back(Leaf{key, {}, {r}, true});
      return;
    }
    e.insert(it, r);
    leaf.first = e.front().key();
    leaf.dirty = true;
    if (e.size() > Record::kMax) {
      Leaf right;
      right.entries.assign(e.begin() + static_cast<std::ptrdiff_t>(e.size() / 2), e.end());
      right.first = right.entries.front().key();
      e.resize(e.size() / 2);
      right.dirty = true;
      leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(li) + 1, std::move(right));
    }
  }

  // Removes the entry of `key` and returns it; nullopt when there is none.
  std::optional<Record> take(std::uint64_t key) {
    const std::size_t li = leaf_for(key);
    if (li == kNone) return std::nullopt;
    Leaf& leaf = load(li);
    auto& e = leaf.entries;
    auto it = lower(e, key);
    if (it == e.end() || it->key() != key) {
      if (!leaf.dirty) unload(leaf);
      return std::nullopt;
    }
    const Record r = *it;
    e.erase(it);
    --count_;
    leaf.dirty = true;
    if (e.empty()) {
      if (leaf.page.bid != 0) dropped_.push_back(leaf.page);
      leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(li));
    } else {
      leaf.first = e.front().key();
    }
    return r;
  }

  bool erase(std::uint64_t key) { return take(key).has_value(); }

  // Writes the changed pages and drops every page no longer part of the tree; the leaves'
  // entries leave memory. Returns the root.
  PageRef write_changed() {
    for (const PageRef& p : dropped_) pages_->drop_page(p);
    dropped_.clear();
    appended_ = 0;
    if (leaves_.empty()) {
      for (auto& level : levels_)
        for (auto& page : level) pages_->drop_page(page.page);
      levels_.clear();
      if (empty_root_.bid == 0) empty_root_ = pages_->write_page(0, 0, Record::kSize, nullptr);
      return empty_root_;
    }
    if (empty_root_.bid != 0) {
      pages_->drop_page(empty_root_);
      empty_root_ = {};
    }
    for (Leaf& leaf : leaves_) {
      if (leaf.dirty) write_leaf(leaf);
      unload(leaf);
    }
    // Children of the level being built: (first key, page).
    std::vector<std::pair<std::uint64_t, PageRef>> children;
    children.reserve(leaves_.size());
    for (const Leaf& leaf : leaves_) children.emplace_back(leaf.first, leaf.page);
    std::array<std::uint8_t, kBTreeEntryBytes> buf{};
    std::size_t depth = 0;
    while (children.size() > 1) {
      if (levels_.size() <= depth) levels_.emplace_back();
      auto& level = levels_[depth];
      std::vector<Inner> next;
      std::vector<std::pair<std::uint64_t, PageRef>> parents;
      for (std::size_t i = 0, n = 0; i < children.size(); i += kInnerFill, ++n) {
        Inner inner;
        inner.entries.assign(children.begin() + static_cast<std::ptrdiff_t>(i),
                             children.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(children.size(), i + kInnerFill)));
        if (n < level.size() && level[n].entries == inner.entries) {
          inner.page = level[n].page;
          level[n].page = {};  // kept: not dropped below
        } else {
          for (std::size_t j = 0; j < inner.entries.size(); ++j) {
            put64(buf.data() + 24 * j, inner.entries[j].first);
            put64(buf.data() + 24 * j + 8, inner.entries[j].second.bid);
            put64(buf.data() + 24 * j + 16, inner.entries[j].second.ib);
          }
          inner.page =
              pages_->write_page(static_cast<std::uint8_t>(depth + 1),
                                 static_cast<std::uint8_t>(inner.entries.size()), 24, buf.data());
        }
        parents.emplace_back(inner.entries.front().first, inner.page);
        next.push_back(std::move(inner));
      }
      for (auto& old : level)
        if (old.page.bid != 0) pages_->drop_page(old.page);
      level = std::move(next);
      children = std::move(parents);
      ++depth;
    }
    for (std::size_t d = depth; d < levels_.size(); ++d)
      for (auto& page : levels_[d]) pages_->drop_page(page.page);
    levels_.resize(depth);
    return children.front().second;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kInnerFill = 18;     // of 20
  static constexpr std::size_t kSpillAfter = 4096;  // leaves, about 2 MB of entries

  struct Leaf {
    std::uint64_t first = 0;  // the first key, also when the entries are on disk only
    PageRef page{};
    std::vector<Record> entries;  // empty while the leaf is on its page only
    bool dirty = true;
    bool loaded() const { return !entries.empty(); }
  };
  struct Inner {
    std::vector<std::pair<std::uint64_t, PageRef>> entries;
    PageRef page{};
  };

  static auto lower(const std::vector<Record>& e, std::uint64_t key) {
    return std::lower_bound(e.begin(), e.end(), key,
                            [](const Record& r, std::uint64_t k) { return r.key() < k; });
  }
  static auto lower(std::vector<Record>& e, std::uint64_t key) {
    return std::lower_bound(e.begin(), e.end(), key,
                            [](const Record& r, std::uint64_t k) { return r.key() < k; });
  }
  static std::optional<Record> search(const std::vector<Record>& e, std::uint64_t key) {
    auto it = lower(e, key);
    if (it == e.end() || it->key() != key) return std::nullopt;
    return *it;
  }

  std::vector<Record> read_leaf(const Leaf& leaf) const {
    std::array<std::uint8_t, kBTreeEntryBytes> buf{};
    const std::size_t count = pages_->read_page(leaf.page, buf.data());
    if (count == 0 || count > Record::kMax)
      throw Error(Error::Code::kCorrupt, "a B-tree page read back is not the one written");
    std::vector<Record> e;
    e.reserve(Record::kMax + 1);
    for (std::size_t i = 0; i < count; ++i)
      e.push_back(Record::read(buf.data() + i * Record::kSize));
    return e;
  }

  Leaf& load(std::size_t li) {
    Leaf& leaf = leaves_[li];
    if (!leaf.loaded()) leaf.entries = read_leaf(leaf);
    return leaf;
  }

  static void unload(Leaf& leaf) { std::vector<Record>().swap(leaf.entries); }

  void write_leaf(Leaf& leaf) {
    std::array<std::uint8_t, kBTreeEntryBytes> buf{};
    for (std::size_t i = 0; i < leaf.entries.size(); ++i)
      leaf.entries[i].write(buf.data() + i * Record::kSize);
    if (leaf.page.bid != 0) pages_->drop_page(leaf.page);
    leaf.page = pages_->write_page(0, static_cast<std::uint8_t>(leaf.entries.size()), Record::kSize,
                                   buf.data());
    leaf.dirty = false;
  }

  // The leaf whose key range holds `key`: the last leaf whose first key is <= key.
  std::size_t leaf_for(std::uint64_t key) const {
    if (leaves_.empty()) return kNone;
    auto it = std::upper_bound(leaves_.begin(), leaves_.end(), key,
                               [](std::uint64_t k, const Leaf& l) { return k < l.first; });
    if (it == leaves_.begin()) return 0;
    return static_cast<std::size_t>(it - leaves_.begin()) - 1;
  }

  PageStore* pages_;
  std::vector<Leaf> leaves_;
  std::vector<std::vector<Inner>> levels_;
  std::vector<PageRef> dropped_;
  PageRef empty_root_{};
  std::size_t count_ = 0;
  std::size_t appended_ = 0;  // leaves started by appending since the last commit
};

}  // namespace larkfield::pst::ndb
