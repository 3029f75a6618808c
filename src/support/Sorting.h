// Sorting lists that mostly come in order already: an image's directory as read,
// a compiler's .RES, and what a merge appended to them.
#pragma once

#include <algorithm>

namespace tolvane {

// A stable sort that keeps the ordered prefix where it is, sorts only the rest and
// merges it in: close to one pass over a list that is in order up to its tail.
template <class Iterator, class Before>
void SortMostlySorted(Iterator first, Iterator last, Before before) {
  Iterator rest = std::is_sorted_until(first, last, before);
  std::stable_sort(rest, last, before);
  std::inplace_merge(first, rest, last, before);
}

}  // namespace tolvane
