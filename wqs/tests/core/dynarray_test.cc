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

// An array of 22-byte entries, granularity 50, holding entries 0..n-1.
dynarray_t* Filled(int n) {
  dynarray_t* da = DACreate(22, 50);
  for (int i = 0; da != nullptr && i < n; i++) {
    Entry22 e = MakeEntry(i);
    EXPECT_TRUE(DAAddEntry(&da, &e)) << i;
  }
  return da;
}

TEST(DynArray, GrowsWhenHalfUsedAndClearKeepsSizeAndFreeCount) {
  dynarray_t* da = Filled(25);
  ASSERT_NE(da, nullptr);
  EXPECT_EQ(da->dwSize, 1124u);
  Entry22 e = MakeEntry(25);
  ASSERT_TRUE(DAAddEntry(&da, &e));
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  DAClear(da);
  EXPECT_EQ(da->dwUsedEntries, 0u);
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  EXPECT_EQ(da->dwSize, 2224u);
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

TEST(DynArray, FailedGrowthLeavesAValidArray) {
  dynarray_t* da = Filled(25);
  ASSERT_NE(da, nullptr);
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
  for (int i = 0; i < 25; i++) {
    Entry22 want = MakeEntry(i);
    EXPECT_EQ(memcmp(DAGetEntry(da, (WORD)i), &want, 22), 0) << i;
  }
  ASSERT_TRUE(DAAddEntry(&da, &e));  // a retry works
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_TRUE(DADestroy(da));
  // A growth step that would wrap the block size fails the same way.
  da = DACreate(22, 1);
  ASSERT_NE(da, nullptr);
  ASSERT_TRUE(DAAddEntry(&da, &e));
  da->dwAllocGranularity = 0xFFFFFFFF;
  const DWORD size = da->dwSize;
  EXPECT_FALSE(DAAddEntry(&da, &e));
  EXPECT_EQ(da->dwSize, size);
  EXPECT_EQ(DAGetNumberOfEntries(da), 1u);
  EXPECT_TRUE(DADestroy(da));
}

}  // namespace
