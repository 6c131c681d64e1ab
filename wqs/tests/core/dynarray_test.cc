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

// Granularity 50 grows when half used; a failed growth (the allocator's,
// or a step that would wrap the block size) leaves the array as it was;
// clear keeps size and free count; granularity 1 grows exactly.
TEST(DynArray, GrowthClearAndFailedGrowth) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) {
    Entry22 e = MakeEntry(i);
    ASSERT_TRUE(DAAddEntry(&da, &e)) << i;
  }
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
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  DAClear(da);
  EXPECT_EQ(da->dwUsedEntries, 0u);
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_TRUE(DADestroy(da));

  da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  EXPECT_EQ(da->dwSize, 28u);
  for (DWORD n = 1; n <= 40; n++) {
    ASSERT_TRUE(DAAddEntry(&da, &n));
    EXPECT_EQ(da->dwSize, 24 + 4 * n);
    EXPECT_EQ(da->dwAvailableEntries, 0u);
  }
  da->dwAllocGranularity = 0xFFFFFFFF;
  DWORD v = 41;
  EXPECT_FALSE(DAAddEntry(&da, &v));
  EXPECT_EQ(da->dwSize, 24u + 4 * 40);
  EXPECT_EQ(DAGetNumberOfEntries(da), 40u);
  EXPECT_TRUE(DADestroy(da));
}

}  // namespace
