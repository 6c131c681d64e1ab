// Dynamic array: growth rule, block layout, clear, destroy and the state a
// failed growth leaves behind.
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

DWORD LiveArrays() {
  DWORD blocks = 0;
  OSMemTestCount(DA_BLOCK_TYPE, &blocks, nullptr);
  return blocks;
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

TEST(DynArray, CreateLayoutAndDestroy) {
  DWORD before = LiveArrays();
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  EXPECT_EQ(DASize(da), 1124u);
  // The header is the start of the block, little-endian: hArray, dwSize,
  // entry size, granularity, used, free.
  const BYTE* raw = reinterpret_cast<const BYTE*>(da);
  EXPECT_EQ(raw[4] | raw[5] << 8, 1124);
  EXPECT_EQ(raw[8], 22);
  EXPECT_EQ(raw[12], 50);
  EXPECT_EQ(raw[16], 0);
  EXPECT_EQ(raw[20], 50);
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(da->hArray, &size), NOERROR);
  EXPECT_EQ(size, 1124u);
  EXPECT_EQ(LiveArrays(), before + 1);
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(LiveArrays(), before);

  // An array whose block was never made destroys to nothing.
  dynarray_t header{};
  EXPECT_TRUE(DADestroy(&header));
  EXPECT_EQ(LiveArrays(), before);
}

TEST(DynArray, GrowsWhenHalfUsed) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int n = 1; n <= 130; n++) {
    Add(&da, n - 1);
    DWORD capacity = 50u * (1 + (n - 1) / 25);
    ASSERT_EQ(da->dwSize, 24 + 22 * capacity) << n;
    ASSERT_EQ(da->dwUsedEntries, (DWORD)n);
    ASSERT_EQ(da->dwAvailableEntries, capacity - n) << n;
    if (n == 25) {
      EXPECT_EQ(da->dwSize, 1124u);
    }
    if (n == 26) {
      EXPECT_EQ(da->dwSize, 2224u);
      EXPECT_EQ(da->dwAvailableEntries, 74u);
      DWORD size = 0;
      EXPECT_EQ(OSMemGetSize(da->hArray, &size), NOERROR);
      EXPECT_EQ(size, 2224u);
    }
    if (n == 50) {
      EXPECT_EQ(da->dwSize, 2224u);
    }
    if (n == 51) {
      EXPECT_EQ(da->dwSize, 24u + 150u * 22u);
    }
  }
  ExpectEntries(da, 130);  // every entry survived the moves
  EXPECT_EQ(static_cast<char*>(DAGetEntry(da, 3)),
            reinterpret_cast<char*>(da) + 24 + 66);
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
  DWORD c = 99;
  DAChangeEntry(da, 1, &c);
  for (DWORD n = 1; n <= 40; n++) {
    DWORD v;
    memcpy(&v, DAGetEntry(da, (WORD)(n - 1)), 4);
    EXPECT_EQ(v, n == 2 ? 99u : n * 1000);
  }
  EXPECT_EQ(DAGetNumberOfEntries(da), 40u);
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
  // Adds reuse slots from 0; growth comes when used reaches free: 35 adds
  // leave used 35, free 35, and the 36th grows.
  for (int i = 0; i < 35; i++) Add(&da, i);
  EXPECT_EQ(da->dwSize, size);
  Add(&da, 35);
  EXPECT_EQ(da->dwSize, size + 1100u);
  EXPECT_EQ(da->dwUsedEntries, 36u);
  EXPECT_EQ(da->dwAvailableEntries, 84u);
  ExpectEntries(da, 36);
  EXPECT_TRUE(DADestroy(da));
}

TEST(DynArray, FailuresLeaveNothingOrAValidArray) {
  DWORD before = OSMemTestTotalBlocks();
  for (WORD kind : {OSMEM_FAULT_ALLOC, OSMEM_FAULT_LOCK}) {
    OSMemTestFailNth(kind, 1);
    EXPECT_EQ(DACreate(22, 50), nullptr);
    OSMemTestDisarm();
    EXPECT_EQ(OSMemTestTotalBlocks(), before);
  }

  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  for (int i = 0; i < 25; i++) Add(&da, i);
  dynarray_t* old = da;
  Entry22 e = MakeEntry(25);
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_FALSE(DAAddEntry(&da, &e));
  EXPECT_TRUE(OSMemTestFaultFired());
  OSMemTestDisarm();
  // Same block, header and contents, still locked and usable.
  EXPECT_EQ(da, old);
  EXPECT_EQ(da->dwSize, 1124u);
  EXPECT_EQ(da->dwUsedEntries, 25u);
  EXPECT_EQ(da->dwAvailableEntries, 25u);
  ExpectEntries(da, 25);
  EXPECT_EQ(OSMemRealloc(da->hArray, 2000), ERR_LOCKED);
  ASSERT_TRUE(DAAddEntry(&da, &e));  // a retry works
  EXPECT_EQ(da->dwSize, 2224u);
  ExpectEntries(da, 26);
  EXPECT_TRUE(DADestroy(da));

  // A lock fault while growing: either way consistent and releasable.
  da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  DWORD v = 7, w = 8;
  ASSERT_TRUE(DAAddEntry(&da, &v));
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  BOOL ok = DAAddEntry(&da, &w);
  OSMemTestDisarm();
  EXPECT_EQ(da->dwUsedEntries, ok ? 2u : 1u);
  if (ok) {
    EXPECT_EQ(da->dwSize, 32u);
  }
  memcpy(&v, DAGetEntry(da, 0), 4);
  EXPECT_EQ(v, 7u);
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

}  // namespace
