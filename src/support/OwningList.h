// An ordered list that owns its items: deleting an item, clearing the list and
// destroying it free the items. Indexes outside the list raise the list error.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "support/Exceptions.h"

namespace tolvane {

template <class T>
class TOwningList {
public:
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  bool empty() const noexcept { return fItems.empty(); }

  T* operator[](int idx) const {
    Check(idx, Count());
    return fItems[static_cast<size_t>(idx)].get();
  }

  int Add(std::unique_ptr<T> item) {
    fItems.push_back(std::move(item));
    return Count() - 1;
  }
  // idx may equal Count(): append.
  void Insert(int idx, std::unique_ptr<T> item) {
    Check(idx, Count() + 1);
    fItems.insert(fItems.begin() + idx, std::move(item));
  }
  void Delete(int idx) {
    Check(idx, Count());
    fItems.erase(fItems.begin() + idx);
  }
  void Clear() { fItems.clear(); }

  int IndexOf(const T* item) const noexcept {
    for (size_t i = 0; i < fItems.size(); ++i)
      if (fItems[i].get() == item) return static_cast<int>(i);
    return -1;
  }

  // Puts the items in a new order: order[k] is the index of the item to stand at k,
  // and order holds every index once.
  void Permute(const std::vector<size_t>& order) {
    std::vector<std::unique_ptr<T>> items;
    items.reserve(fItems.size());
    for (size_t i : order) items.push_back(std::move(fItems[i]));
    fItems = std::move(items);
  }

  auto begin() const { return fItems.begin(); }
  auto end() const { return fItems.end(); }

private:
  static void Check(int idx, int limit) {
    if (idx < 0 || idx >= limit) RaiseListIndexError(idx);
  }

  std::vector<std::unique_ptr<T>> fItems;
};

}  // namespace tolvane
