// Dynamic array: growth rule, block layout, clear, destroy and the state a
// failed growth leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"
#include "wqs/dynarray.h"

namespace {

struct Entry22 {
  BYTE b[22];
};

Entry22 MakeEntry(int seed) {
  Entry22 e;
  for (int i = 0; i < 22; i++) e.b[i] = (BYTE)(seed * 7 + i);
  return e;
}

DWORD LiveArrays() {
  DWORD blocks = 0;
  OSMemTestCount(DA_BLOCK_TYPE, &blocks, nullptr);
  return blocks;
}

TEST(DynArray, CreateRecipStateArray) {
  DWORD before = LiveArrays();
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  EXPECT_NE(da->hArray, NULLHANDLE);
  EXPECT_EQ(da->dwSize, 1124u);
  EXPECT_EQ(DASize(da), 1124u);
  EXPECT_EQ(da->dwEntrySize, 22u);
  EXPECT_EQ(da->dwAllocGranularity, 50u);
  EXPECT_EQ(DAGetNumberOfEntries(da), 0u);
  EXPECT_EQ(da->dwAvailableEntries, 50u);
  // The header is the start of the block, byte for byte little-endian.
  const BYTE* raw = reinterpret_cast<const BYTE*>(da);
  EXPECT_EQ(raw[4] | raw[5] << 8, 1124);
  EXPECT_EQ(raw[8], 22);
  EXPECT_EQ(raw[12], 50);
  EXPECT_EQ(raw[20], 50);
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(da->hArray, &size), NOERROR);
  EXPECT_EQ(size, 1124u);
  EXPECT_EQ(LiveArrays(), before + 1);
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(LiveArrays(), before);
}

TEST(DynArray, GrowsWhenHalfUsed) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) {
    Entry22 e = MakeEntry(i);
    ASSERT_TRUE(DAAddEntry(&da, &e));
  }
  EXPECT_EQ(da->dwSize, 1124u);
  EXPECT_EQ(da->dwUsedEntries, 25u);
  EXPECT_EQ(da->dwAvailableEntries, 25u);

  Entry22 e = MakeEntry(25);
  ASSERT_TRUE(DAAddEntry(&da, &e));
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_EQ(da->dwUsedEntries, 26u);
  EXPECT_EQ(da->dwAvailableEntries, 74u);
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(da->hArray, &size), NOERROR);
  EXPECT_EQ(size, 2224u);

  for (int i = 26; i < 50; i++) {
    Entry22 x = MakeEntry(i);
    ASSERT_TRUE(DAAddEntry(&da, &x));
  }
  EXPECT_EQ(da->dwSize, 2224u);  // 100 slots hold 26..50 entries
  Entry22 x = MakeEntry(50);
  ASSERT_TRUE(DAAddEntry(&da, &x));  // the 51st
  EXPECT_EQ(da->dwSize, 24u + 150u * 22u);
  EXPECT_EQ(da->dwUsedEntries, 51u);
  EXPECT_EQ(da->dwAvailableEntries, 99u);

  // Every entry survived the moves.
  for (int i = 0; i < 51; i++) {
    Entry22 want = MakeEntry(i);
    EXPECT_EQ(memcmp(DAGetEntry(da, (WORD)i), &want, 22), 0) << i;
  }
  // Entry i starts at byte 24 + 22 i.
  EXPECT_EQ(static_cast<char*>(DAGetEntry(da, 3)),
            reinterpret_cast<char*>(da) + 24 + 66);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, CapacityFormula) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int n = 1; n <= 130; n++) {
    Entry22 e = MakeEntry(n);
    ASSERT_TRUE(DAAddEntry(&da, &e));
    DWORD capacity = 50u * (1 + (n - 1) / 25);
    ASSERT_EQ(da->dwSize, 24 + 22 * capacity) << n;
    ASSERT_EQ(da->dwUsedEntries + da->dwAvailableEntries, capacity) << n;
  }
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, GranularityOneIsExact) {
  dynarray_t* da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  EXPECT_EQ(da->dwSize, 28u);
  dynarray_t* first = da;
  for (DWORD n = 1; n <= 40; n++) {
    DWORD v = n * 1000;
    ASSERT_TRUE(DAAddEntry(&da, &v));
    EXPECT_EQ(da->dwSize, 24 + 4 * n);
    EXPECT_EQ(da->dwAvailableEntries, 0u);
    EXPECT_EQ(da->dwUsedEntries, n);
  }
  (void)first;
  for (DWORD n = 1; n <= 40; n++) {
    DWORD v;
    memcpy(&v, DAGetEntry(da, (WORD)(n - 1)), 4);
    EXPECT_EQ(v, n * 1000);
  }
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, ChangeEntry) {
  dynarray_t* da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  DWORD a = 1, b = 2, c = 99;
  ASSERT_TRUE(DAAddEntry(&da, &a));
  ASSERT_TRUE(DAAddEntry(&da, &b));
  DAChangeEntry(da, 1, &c);
  DWORD v;
  memcpy(&v, DAGetEntry(da, 1), 4);
  EXPECT_EQ(v, 99u);
  memcpy(&v, DAGetEntry(da, 0), 4);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(DAGetNumberOfEntries(da), 2u);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, ClearKeepsSizeAndFreeCount) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 30; i++) {
    Entry22 e = MakeEntry(i);
    ASSERT_TRUE(DAAddEntry(&da, &e));
  }
  EXPECT_EQ(da->dwUsedEntries, 30u);
  EXPECT_EQ(da->dwAvailableEntries, 70u);
  DWORD size = da->dwSize;
  DAClear(da);
  EXPECT_EQ(da->dwUsedEntries, 0u);
  EXPECT_EQ(da->dwAvailableEntries, 70u);
  EXPECT_EQ(da->dwSize, size);

  // Adds reuse slots from 0; the growth test fires when used reaches free.
  Entry22 e = MakeEntry(100);
  ASSERT_TRUE(DAAddEntry(&da, &e));
  EXPECT_EQ(memcmp(DAGetEntry(da, 0), &e, 22), 0);
  int added = 1;
  while (da->dwSize == size) {
    Entry22 x = MakeEntry(100 + added);
    ASSERT_TRUE(DAAddEntry(&da, &x));
    added++;
    ASSERT_LT(added, 100);
  }
  // 35 adds leave used 35, free 35; the 36th grows.
  EXPECT_EQ(added, 36);
  EXPECT_EQ(da->dwSize, size + 1100u);
  EXPECT_EQ(da->dwUsedEntries, 36u);
  EXPECT_EQ(da->dwAvailableEntries, 34u + 50u);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, DestroyWithoutBlock) {
  DWORD before = OSMemTestTotalBlocks();
  dynarray_t header;
  memset(&header, 0, sizeof(header));
  header.hArray = NULLHANDLE;
  EXPECT_TRUE(DADestroy(&header));
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

TEST(DynArray, CreateFailuresLeaveNothing) {
  DWORD before = OSMemTestTotalBlocks();
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  EXPECT_EQ(DACreate(22, 50), nullptr);
  OSMemTestDisarm();
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(DACreate(22, 50), nullptr);
  OSMemTestDisarm();
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

TEST(DynArray, FailedGrowthLeavesArrayValid) {
  DWORD before = OSMemTestTotalBlocks();
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) {
    Entry22 e = MakeEntry(i);
    ASSERT_TRUE(DAAddEntry(&da, &e));
  }
  dynarray_t* old = da;
  Entry22 e = MakeEntry(25);
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_FALSE(DAAddEntry(&da, &e));
  EXPECT_TRUE(OSMemTestFaultFired());
  OSMemTestDisarm();
  // Same contents, same header, still locked and usable.
  EXPECT_EQ(da, old);
  EXPECT_EQ(da->dwSize, 1124u);
  EXPECT_EQ(da->dwUsedEntries, 25u);
  EXPECT_EQ(da->dwAvailableEntries, 25u);
  for (int i = 0; i < 25; i++) {
    Entry22 want = MakeEntry(i);
    EXPECT_EQ(memcmp(DAGetEntry(da, (WORD)i), &want, 22), 0);
  }
  // The block is still locked: a plain resize is refused.
  EXPECT_EQ(OSMemRealloc(da->hArray, 2000), ERR_LOCKED);
  // And a retry works.
  ASSERT_TRUE(DAAddEntry(&da, &e));
  EXPECT_EQ(da->dwSize, 2224u);
  EXPECT_EQ(memcmp(DAGetEntry(da, 25), &e, 22), 0);
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

TEST(DynArray, LockFaultDuringGrowthKeepsArray) {
  DWORD before = OSMemTestTotalBlocks();
  dynarray_t* da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  DWORD v = 7;
  ASSERT_TRUE(DAAddEntry(&da, &v));
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  DWORD w = 8;
  BOOL ok = DAAddEntry(&da, &w);
  OSMemTestDisarm();
  // Either way the array stays consistent and releasable.
  if (ok) {
    EXPECT_EQ(da->dwUsedEntries, 2u);
    EXPECT_EQ(da->dwSize, 32u);
  } else {
    EXPECT_EQ(da->dwUsedEntries, 1u);
  }
  DWORD got;
  memcpy(&got, DAGetEntry(da, 0), 4);
  EXPECT_EQ(got, 7u);
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

}  // namespace
