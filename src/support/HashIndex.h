// An index from hashes to small values whose keys live elsewhere: open addressing
// in one array, so that building it and looking things up allocate nothing per
// entry and touch one slot for most keys. The caller hashes its keys and says,
// for a value whose hash agrees, whether it is the key sought.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tolvane {

template <class T>
class THashIndex {
public:
  explicit THashIndex(size_t expected = 0) { Rehash(SlotsFor(expected)); }

  // The entry with this hash that matches(value) accepts, or null.
  template <class Matches>
  T* Find(uint64_t hash, Matches&& matches) {
    hash = NonZero(hash);
    for (size_t i = SlotOf(hash);; i = (i + 1) & fMask) {
      TSlot& slot = fSlots[i];
      if (slot.hash == 0) return nullptr;
      if (slot.hash == hash && matches(static_cast<const T&>(slot.value))) return &slot.value;
    }
  }

  // The value of the first entry that matches, or else value, added: the entry,
  // and whether it was added. Keys are thus never in the index twice.
  template <class Matches>
  std::pair<T*, bool> FindOrInsert(uint64_t hash, T value, Matches&& matches) {
    if (T* found = Find(hash, matches)) return {found, false};
    if (2 * (fCount + 1) > fSlots.size()) Rehash(2 * fSlots.size());
    ++fCount;
    return {Place(NonZero(hash), std::move(value)), true};
  }

  size_t Count() const { return fCount; }

private:
  struct TSlot {
    uint64_t hash = 0;  // 0: empty
    T value{};
  };

  static uint64_t NonZero(uint64_t hash) { return hash != 0 ? hash : 1; }
  // Fibonacci hashing takes the high bits of the product, so hashes that differ
  // only in their high bits (or are small numbers) still spread over the slots.
  size_t SlotOf(uint64_t hash) const { return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> fShift); }

  static size_t SlotsFor(size_t expected) {
    size_t slots = 16;
    while (slots < 2 * expected) slots *= 2;
    return slots;
  }

  T* Place(uint64_t hash, T value) {
    size_t i = SlotOf(hash);
    while (fSlots[i].hash != 0) i = (i + 1) & fMask;
    fSlots[i].hash = hash;
    fSlots[i].value = std::move(value);
    return &fSlots[i].value;
  }

  void Rehash(size_t slots) {
    std::vector<TSlot> old = std::move(fSlots);
    fSlots.assign(slots, TSlot{});
    fMask = slots - 1;
    fShift = 64;
    for (size_t s = slots; s > 1; s >>= 1) --fShift;
    for (TSlot& slot : old)
      if (slot.hash != 0) Place(slot.hash, std::move(slot.value));
  }

  std::vector<TSlot> fSlots;
  size_t fMask = 0;
  int fShift = 64;
  size_t fCount = 0;
};

}  // namespace tolvane
