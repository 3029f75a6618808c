// Which numbered range, the first in number order, holds a value. The ranges of a
// malformed image may overlap, and there may be tens of thousands of them, each
// asked about by as many values: so the answer for every stretch between two range
// ends is worked out once, and a question is one binary search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

namespace tolvane {

class TRangeIndex {
public:
  // Adds [begin, end) as range `number`; an empty range holds nothing.
  void Add(uint64_t begin, uint64_t end, int number) {
    if (begin >= end) return;
    fEdges.push_back({begin, number + 1});
    fEdges.push_back({end, -(number + 1)});
  }

  // Call once, after the last Add and before the first Find.
  void Build() {
    std::sort(fEdges.begin(), fEdges.end(), [](const TEdge& a, const TEdge& b) { return a.first < b.first; });
    std::set<int> open;
    for (size_t k = 0; k < fEdges.size();) {
      const uint64_t at = fEdges[k].first;
      for (; k < fEdges.size() && fEdges[k].first == at; ++k) {
        const int edge = fEdges[k].second;
        if (edge > 0)
          open.insert(edge - 1);
        else
          open.erase(-edge - 1);
      }
      fStarts.push_back(at);
      fFirst.push_back(open.empty() ? -1 : *open.begin());
    }
    fEdges = {};
  }

  // The lowest number among the ranges that hold value, or -1.
  int Find(uint64_t value) const {
    const auto after = std::upper_bound(fStarts.begin(), fStarts.end(), value);
    return after == fStarts.begin() ? -1 : fFirst[static_cast<size_t>(after - fStarts.begin() - 1)];
  }

private:
  using TEdge = std::pair<uint64_t, int>;  // position; +(number + 1) opens, -(number + 1) closes
  std::vector<TEdge> fEdges;
  std::vector<uint64_t> fStarts;  // where each stretch begins, ascending
  std::vector<int> fFirst;        // the answer for the stretch, -1 for none
};

}  // namespace tolvane
