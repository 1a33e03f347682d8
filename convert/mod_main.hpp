#pragma once

// modMain: the list routines the folder mapping uses. Strings compare ordinally as
// sequences of UTF-16 code units; letter case counts; no locale is involved.

#include <cstdint>
#include <string>
#include <vector>

namespace larkfield::convert {

using StringList = std::vector<std::u16string>;

// Sorts list[low..high] (both included) in place: quicksort with the middle entry as
// pivot (its index rounded half to even) and a two-index partition. Every index read is
// checked: one outside the list raises Error kSubscriptOutOfRange, so a range with
// high < low that reaches outside the list (such as 0, -1) fails before any change.
void QuickSortStrings(StringList& list, std::int32_t low, std::int32_t high);

// For a list in ascending order: keeps every distinct non-empty string once, in order,
// and shrinks the list to them. On an unsorted list only directly repeated entries go.
// A list with no non-empty entry cannot shrink to nothing: it keeps its size with every
// entry empty and Error kSubscriptOutOfRange is raised.
void RemoveDuplicateStrings(StringList& list);

}  // namespace larkfield::convert
