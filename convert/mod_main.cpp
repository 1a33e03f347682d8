#include "convert/mod_main.hpp"

#include <limits>
#include <utility>

#include "convert/error.hpp"

namespace larkfield::convert {
namespace {

std::u16string& At(StringList& list, std::int64_t index) {
  if (index < 0 || index >= static_cast<std::int64_t>(list.size())) {
    throw Error(Error::Code::kSubscriptOutOfRange, "Subscript out of range");
  }
  return list[static_cast<std::size_t>(index)];
}

std::int32_t Checked(std::int64_t value) {
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw Error(Error::Code::kOverflow, "Overflow");
  }
  return static_cast<std::int32_t>(value);
}

// (low + high) / 2 rounded to the nearest integer, a half to the even one.
std::int64_t MiddleIndex(std::int32_t low, std::int32_t high) {
  const std::int64_t sum = std::int64_t{low} + high;
  if (sum % 2 == 0) return sum / 2;
  const std::int64_t floor_half = sum >= 0 ? sum / 2 : -((-sum + 1) / 2);
  return floor_half % 2 == 0 ? floor_half : floor_half + 1;
}

}  // namespace

void QuickSortStrings(StringList& list, std::int32_t low, std::int32_t high) {
  std::int32_t i = low;
  std::int32_t j = high;
  const std::u16string pivot = At(list, MiddleIndex(low, high));
  do {
    // The entry is read before the index is tested.
    while (At(list, i) < pivot && i < high) i = Checked(std::int64_t{i} + 1);
    while (pivot < At(list, j) && j > low) j = Checked(std::int64_t{j} - 1);
    if (i <= j) {
      std::swap(At(list, i), At(list, j));
      i = Checked(std::int64_t{i} + 1);
      j = Checked(std::int64_t{j} - 1);
    }
  } while (i <= j);
  if (low < j) QuickSortStrings(list, low, j);
  if (i < high) QuickSortStrings(list, i, high);
}

void RemoveDuplicateStrings(StringList& list) {
  const std::int32_t n = Checked(static_cast<std::int64_t>(list.size()) - 1);
  // Blanking: each non-empty entry empties the run of equal entries right behind it.
  std::int32_t j = 0;
  std::int32_t d = 1;
  while (j <= n) {
    if (std::int64_t{j} + d > n) break;
    if (At(list, j).empty()) {
      j = Checked(std::int64_t{j} + 1);
      continue;
    }
    std::u16string& next = At(list, std::int64_t{j} + d);
    if (next == At(list, j)) {
      next.clear();
      d = Checked(std::int64_t{d} + 1);
    } else {
      d = 1;
      j = Checked(std::int64_t{j} + 1);
    }
  }
  // Compaction.
  std::int32_t k = 0;
  for (std::int32_t r = 0; r <= n; ++r) {
    if (!At(list, r).empty()) {
      if (r != k) At(list, k) = std::move(At(list, r));
      k = Checked(std::int64_t{k} + 1);
    }
  }
  if (k == 0) {
    // The list cannot be shrunk to no entries; it keeps its size, every entry empty.
    for (std::u16string& s : list) s.clear();
    throw Error(Error::Code::kSubscriptOutOfRange, "Subscript out of range");
  }
  list.resize(static_cast<std::size_t>(k));
}

}  // namespace larkfield::convert
