#pragma once

// An append-only list of values, each with a text key unique in the list. Positions are
// 1-based and never change. Lists are handed out as shared pointers, so a holder keeps the
// entries after the producer lets go of its own reference.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sources/error.hpp"

namespace larkfield::sources {

template <class T>
class KeyedList {
 public:
  // Appends at the end; a key that the list already holds is refused and changes nothing.
  void Append(std::string key, T value) {
    auto [it, inserted] = positions_.try_emplace(std::move(key), entries_.size() + 1);
    if (!inserted) {
      throw Error(Error::Code::kDuplicateKey,
                  "This key is already associated with an element of this list: " + it->first);
    }
    entries_.push_back(Entry{&it->first, std::move(value)});
  }

  std::size_t Count() const noexcept { return entries_.size(); }
  bool Empty() const noexcept { return entries_.empty(); }

  // The value at a 1-based position.
  const T& Item(std::size_t position) const { return entries_.at(position - 1).value; }
  const std::string& Key(std::size_t position) const { return *entries_.at(position - 1).key; }

  // The value stored under a key, or null.
  const T* Find(std::string_view key) const {
    auto it = positions_.find(std::string(key));
    return it == positions_.end() ? nullptr : &entries_[it->second - 1].value;
  }

  // Values in list order.
  std::vector<T> Values() const {
    std::vector<T> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(e.value);
    return out;
  }

 private:
  struct Entry {
    const std::string* key;  // points into positions_, whose nodes never move
    T value;
  };
  std::unordered_map<std::string, std::size_t> positions_;
  std::vector<Entry> entries_;
};

}  // namespace larkfield::sources
