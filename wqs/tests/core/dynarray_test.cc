// Dynamic array: growth rule, clear and the state a failed growth leaves.
#include "wqs/dynarray.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

struct Entry22 {
  BYTE b[22];
};

Entry22 MakeEntry(int seed) {
  Entry22 e;
  for (int i = 0; i < 22; i++) e.b[i] = (BYTE)(seed * 7 + i);
  return e;
}

void Add(dynarray_t** da, int seed) {
  Entry22 e = MakeEntry(seed);
  ASSERT_TRUE(DAAddEntry(da, &e)) << seed;
}

void ExpectEntries(dynarray_t* da, int n) {
  for (int i = 0; i < n; i++) {
    Entry22 want = MakeEntry(i);
    EXPECT_EQ(memcmp(DAGetEntry(da, (WORD)i), &want, 22), 0) << i;
  }
}

TEST(DynArray, GrowsWhenHalfUsed) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) Add(&da, i);
  EXPECT_EQ(da->dwSize, 1124u);
  Add(&da, 25);
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, GranularityOneIsExact) {
  dynarray_t* da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  EXPECT_EQ(da->dwSize, 28u);
  for (DWORD n = 1; n <= 40; n++) {
    DWORD v = n * 1000;
    ASSERT_TRUE(DAAddEntry(&da, &v));
    EXPECT_EQ(da->dwSize, 24 + 4 * n);
    EXPECT_EQ(da->dwAvailableEntries, 0u);
  }
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, ClearKeepsSizeAndFreeCount) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 30; i++) Add(&da, i);
  DWORD size = da->dwSize;
  DAClear(da);
  EXPECT_EQ(da->dwUsedEntries, 0u);
  EXPECT_EQ(da->dwAvailableEntries, 70u);
  EXPECT_EQ(da->dwSize, size);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, FailedGrowthLeavesAValidArray) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) Add(&da, i);
  dynarray_t* old = da;
  Entry22 e = MakeEntry(25);
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_FALSE(DAAddEntry(&da, &e));
  EXPECT_TRUE(OSMemTestFaultFired());
  OSMemTestDisarm();
  EXPECT_EQ(da, old);
  EXPECT_EQ(da->dwSize, 1124u);
  EXPECT_EQ(da->dwUsedEntries, 25u);
  EXPECT_EQ(da->dwAvailableEntries, 25u);
  ExpectEntries(da, 25);
  ASSERT_TRUE(DAAddEntry(&da, &e));  // a retry works
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_TRUE(DADestroy(da));
}

}  // namespace
