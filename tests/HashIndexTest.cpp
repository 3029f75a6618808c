// The index behind the merge's lookups and the directory reader's visit checks.
#include <gtest/gtest.h>

#include "support/HashIndex.h"

namespace tolvane::test {
namespace {

TEST(HashIndex, KeysSharingAHashAreToldApartByTheirMatch) {
  THashIndex<int> index;
  for (int key = 0; key < 100; ++key) {
    auto [value, added] = index.FindOrInsert(42, key, [key](int v) { return v == key; });
    EXPECT_TRUE(added);
    EXPECT_EQ(*value, key);
  }
  for (int key = 0; key < 100; ++key) {
    int* found = index.Find(42, [key](int v) { return v == key; });
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, key);
  }
  EXPECT_EQ(index.Find(42, [](int v) { return v == 100; }), nullptr);
  EXPECT_EQ(index.Find(43, [](int) { return true; }), nullptr);
}

TEST(HashIndex, GrowingKeepsEveryEntryAndAddsNoKeyTwice) {
  THashIndex<uint32_t> index(4);
  auto same = [](uint32_t key) { return [key](uint32_t v) { return v == key; }; };
  // Hash 0 stands for an empty slot inside the index: it must still work as a hash.
  for (uint32_t key = 0; key < 50000; ++key) index.FindOrInsert(key, key, same(key));
  for (uint32_t key = 0; key < 50000; key += 7) EXPECT_FALSE(index.FindOrInsert(key, key, same(key)).second);
  EXPECT_EQ(index.Count(), 50000u);
  for (uint32_t key = 0; key < 50000; ++key) {
    uint32_t* found = index.Find(key, same(key));
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, key);
  }
}

}  // namespace
}  // namespace tolvane::test
