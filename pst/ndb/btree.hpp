#pragma once

// The node and block B-trees, held in memory as their leaf entries plus the location of
// every page on disk. A commit writes only the pages whose content changed (copy on
// write) and hands back the pages they replace; unchanged subtrees keep their pages.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "pst/ndb/codec.hpp"

namespace larkfield::pst::ndb {

struct PageRef {
  std::uint64_t bid = 0;
  std::uint64_t ib = 0;
  friend bool operator==(const PageRef&, const PageRef&) = default;
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
};

template <class Record>
class BTree {
 public:
  std::size_t size() const { return count_; }

  std::optional<Record> find(std::uint64_t key) const {
    const std::size_t li = leaf_for(key);
    if (li == kNone) return std::nullopt;
    const auto& e = leaves_[li].entries;
    auto it = std::lower_bound(e.begin(), e.end(), key,
                               [](const Record& r, std::uint64_t k) { return r.key() < k; });
    if (it == e.end() || it->key() != key) return std::nullopt;
    return *it;
  }

  void put(const Record& r) {
    const std::uint64_t key = r.key();
    if (leaves_.empty()) {
      leaves_.push_back(Leaf{{r}, {}, true});
      ++count_;
      return;
    }
    std::size_t li = leaf_for(key);
    if (li == kNone) li = 0;
    Leaf& leaf = leaves_[li];
    auto& e = leaf.entries;
    auto it = std::lower_bound(e.begin(), e.end(), key,
                               [](const Record& x, std::uint64_t k) { return x.key() < k; });
    if (it != e.end() && it->key() == key) {
      *it = r;
      leaf.dirty = true;
      return;
    }
    ++count_;
    // Appending past the last key: start a new leaf once the last one is filled, so that
    // a tree built by appending keeps its leaves nearly full and old leaves untouched.
    if (it == e.end() && li + 1 == leaves_.size() && e.size() >= Record::kFill) {
      leaves_.push_back(Leaf{{r}, {}, true});
      return;
    }
    e.insert(it, r);
    leaf.dirty = true;
    if (e.size() > Record::kMax) {
      Leaf right;
      right.entries.assign(e.begin() + static_cast<std::ptrdiff_t>(e.size() / 2), e.end());
      e.resize(e.size() / 2);
      right.dirty = true;
      leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(li) + 1, std::move(right));
    }
  }

  bool erase(std::uint64_t key) {
    const std::size_t li = leaf_for(key);
    if (li == kNone) return false;
    auto& e = leaves_[li].entries;
    auto it = std::lower_bound(e.begin(), e.end(), key,
                               [](const Record& x, std::uint64_t k) { return x.key() < k; });
    if (it == e.end() || it->key() != key) return false;
    e.erase(it);
    --count_;
    leaves_[li].dirty = true;
    if (e.empty()) {
      if (leaves_[li].page.bid != 0) dropped_.push_back(leaves_[li].page);
      leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(li));
    }
    return true;
  }

  // Writes the changed pages through write(level, count, entry_size, bytes) -> PageRef and
  // reports every page no longer part of the tree through drop(PageRef). Returns the root.
  template <class Write, class Drop>
  PageRef write_changed(Write&& write, Drop&& drop) {
    for (const PageRef& p : dropped_) drop(p);
    dropped_.clear();
    if (leaves_.empty()) {
      for (auto& level : levels_)
        for (auto& page : level) drop(page.page);
      levels_.clear();
      if (empty_root_.bid == 0) empty_root_ = write(0, 0, Record::kSize, nullptr);
      return empty_root_;
    }
    if (empty_root_.bid != 0) {
      drop(empty_root_);
      empty_root_ = {};
    }
    std::uint8_t buf[488];
    for (Leaf& leaf : leaves_) {
      if (!leaf.dirty) continue;
      if (leaf.page.bid != 0) drop(leaf.page);
      for (std::size_t i = 0; i < leaf.entries.size(); ++i)
        leaf.entries[i].write(buf + i * Record::kSize);
      leaf.page = write(0, static_cast<std::uint8_t>(leaf.entries.size()), Record::kSize, buf);
      leaf.dirty = false;
    }
    // Children of the level being built: (first key, page).
    std::vector<std::pair<std::uint64_t, PageRef>> children;
    children.reserve(leaves_.size());
    for (const Leaf& leaf : leaves_) children.emplace_back(leaf.entries.front().key(), leaf.page);
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
            put64(buf + 24 * j, inner.entries[j].first);
            put64(buf + 24 * j + 8, inner.entries[j].second.bid);
            put64(buf + 24 * j + 16, inner.entries[j].second.ib);
          }
          inner.page = write(static_cast<std::uint8_t>(depth + 1),
                             static_cast<std::uint8_t>(inner.entries.size()), 24, buf);
        }
        parents.emplace_back(inner.entries.front().first, inner.page);
        next.push_back(std::move(inner));
      }
      for (auto& old : level)
        if (old.page.bid != 0) drop(old.page);
      level = std::move(next);
      children = std::move(parents);
      ++depth;
    }
    for (std::size_t d = depth; d < levels_.size(); ++d)
      for (auto& page : levels_[d]) drop(page.page);
    levels_.resize(depth);
    return children.front().second;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kInnerFill = 18;  // of 20

  struct Leaf {
    std::vector<Record> entries;
    PageRef page{};
    bool dirty = true;
  };
  struct Inner {
    std::vector<std::pair<std::uint64_t, PageRef>> entries;
    PageRef page{};
  };

  // The leaf whose key range holds `key`: the last leaf whose first key is <= key.
  std::size_t leaf_for(std::uint64_t key) const {
    if (leaves_.empty()) return kNone;
    auto it = std::upper_bound(
        leaves_.begin(), leaves_.end(), key,
        [](std::uint64_t k, const Leaf& l) { return k < l.entries.front().key(); });
    if (it == leaves_.begin()) return 0;
    return static_cast<std::size_t>(it - leaves_.begin()) - 1;
  }

  std::vector<Leaf> leaves_;
  std::vector<std::vector<Inner>> levels_;
  std::vector<PageRef> dropped_;
  PageRef empty_root_{};
  std::size_t count_ = 0;
};

}  // namespace larkfield::pst::ndb
