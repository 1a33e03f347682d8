// The list routines on the cases that decide their behaviour.

#include <gtest/gtest.h>

#include "convert/error.hpp"
#include "convert/mod_main.hpp"

namespace larkfield::convert {
namespace {

StringList L(std::initializer_list<const char16_t*> items) {
  StringList out;
  for (const char16_t* s : items) out.emplace_back(s);
  return out;
}

int ErrorNumber(auto&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(ModMain, QuickSortStringsOrdersByCodeUnits) {
  StringList one = L({u"b", u"a"});
  QuickSortStrings(one, 1, 1);  // a range of one entry stays as it is
  EXPECT_EQ(one, L({u"b", u"a"}));

  StringList letters = L({u"b", u"B", u"a", u"A"});
  QuickSortStrings(letters, 0, 3);
  EXPECT_EQ(letters, L({u"A", u"B", u"a", u"b"}));

  // A path sorts after each of its ancestors, not necessarily right after its parent;
  // the backslash sorts between capitals and small letters.
  StringList paths = L({u"C:\\A\\B", u"C:\\AB", u"C:\\A"});
  QuickSortStrings(paths, 0, 2);
  EXPECT_EQ(paths, L({u"C:\\A", u"C:\\AB", u"C:\\A\\B"}));
  StringList slash = L({u"a", u"\\", u"Z"});
  QuickSortStrings(slash, 0, 2);
  EXPECT_EQ(slash, L({u"Z", u"\\", u"a"}));

  // Only the range is sorted.
  StringList part = L({u"d", u"c", u"b", u"a"});
  QuickSortStrings(part, 1, 2);
  EXPECT_EQ(part, L({u"d", u"b", u"c", u"a"}));

  // Code units above the ASCII range sort by value, after every ASCII letter.
  StringList wide = L({u"\u00e9", u"z", u"\u4e2d", u"E"});
  QuickSortStrings(wide, 0, 3);
  EXPECT_EQ(wide, L({u"E", u"z", u"\u00e9", u"\u4e2d"}));

  // A larger list with many repeats comes out sorted.
  StringList many;
  for (int i = 0; i < 500; ++i)
    many.push_back(std::u16string(1, static_cast<char16_t>(u'a' + (i * 7) % 13)));
  StringList expected = many;
  std::sort(expected.begin(), expected.end());
  QuickSortStrings(many, 0, static_cast<std::int32_t>(many.size()) - 1);
  EXPECT_EQ(many, expected);
}

TEST(ModMain, QuickSortStringsChecksEveryIndex) {
  StringList list = L({u"b", u"a"});
  EXPECT_EQ(ErrorNumber([&] { QuickSortStrings(list, 0, -1); }), 9);
  EXPECT_EQ(list, L({u"b", u"a"}));
  EXPECT_EQ(ErrorNumber([&] { QuickSortStrings(list, 0, 2); }), 9);
  StringList empty;
  EXPECT_EQ(ErrorNumber([&] { QuickSortStrings(empty, 0, 0); }), 9);
}

TEST(ModMain, RemoveDuplicateStringsKeepsEachDistinctEntryOnce) {
  StringList a = L({u"", u"", u"x", u"x", u"x", u"y"});
  RemoveDuplicateStrings(a);
  EXPECT_EQ(a, L({u"x", u"y"}));  // upper bound 1

  StringList cases = L({u"Mail", u"mail"});
  RemoveDuplicateStrings(cases);
  EXPECT_EQ(cases, L({u"Mail", u"mail"}));

  // Unsorted: only directly repeated entries go, and an empty entry separates.
  StringList unsorted = L({u"a", u"b", u"a"});
  RemoveDuplicateStrings(unsorted);
  EXPECT_EQ(unsorted, L({u"a", u"b", u"a"}));
  StringList gap = L({u"a", u"", u"a"});
  RemoveDuplicateStrings(gap);
  EXPECT_EQ(gap, L({u"a", u"a"}));

  // The two calls of the folder mapping: the last entry left out of the sort is the only
  // empty one, or equals the greatest entry.
  StringList first = L({u"m\\b", u"m", u"m\\a", u"m", u""});
  QuickSortStrings(first, 0, 3);
  RemoveDuplicateStrings(first);
  EXPECT_EQ(first, L({u"m", u"m\\a", u"m\\b"}));
  StringList second = L({u"m\\b", u"m", u"m\\a", u"m", u"m\\b"});
  QuickSortStrings(second, 0, 3);
  RemoveDuplicateStrings(second);
  EXPECT_EQ(second, L({u"m", u"m\\a", u"m\\b"}));
}

TEST(ModMain, RemoveDuplicateStringsCannotEmptyTheList) {
  StringList blank = L({u"", u""});
  EXPECT_EQ(ErrorNumber([&] { RemoveDuplicateStrings(blank); }), 9);
  EXPECT_EQ(blank, L({u"", u""}));
  StringList none;
  EXPECT_EQ(ErrorNumber([&] { RemoveDuplicateStrings(none); }), 9);
}

}  // namespace
}  // namespace larkfield::convert
