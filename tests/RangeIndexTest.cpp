// The layout asks which section held an offset: the first in table order, also
// where a malformed image's sections overlap.
#include <gtest/gtest.h>

#include "support/RangeIndex.h"

namespace tolvane {
namespace {

TEST(RangeIndex, FindsTheLowestNumberAmongTheRangesThatHoldAValue) {
  // Added out of number order: 2 = [10, 20), 0 = [15, 30), 1 = [0, 5), 3 = [40, 40)
  // (empty), 4 = [18, 19) nested in 2 and 0, 5 = [30, 35) touching 0's end.
  TRangeIndex index;
  index.Add(10, 20, 2);
  index.Add(15, 30, 0);
  index.Add(0, 5, 1);
  index.Add(40, 40, 3);
  index.Add(18, 19, 4);
  index.Add(30, 35, 5);
  index.Build();
  const std::pair<uint64_t, int> cases[] = {
      {0, 1},  {4, 1},  {5, -1}, {9, -1}, {10, 2},  {14, 2},  {15, 0},          {18, 0},
      {19, 0}, {29, 0}, {30, 5}, {34, 5}, {35, -1}, {40, -1}, {UINT64_MAX, -1},
  };
  for (const auto& [value, first] : cases) EXPECT_EQ(index.Find(value), first) << value;
}

TEST(RangeIndex, WithoutRangesNothingIsHeld) {
  TRangeIndex index;
  index.Build();
  EXPECT_EQ(index.Find(0), -1);
}

}  // namespace
}  // namespace tolvane
