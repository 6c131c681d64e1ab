// Memory handles: validity checks, locking, resizing, accounting and fault
// injection.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

constexpr WORD kTag = 0x7A01;
constexpr WORD kOtherTag = 0x7A02;

class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OSMemTestDisarm();
    before_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    OSMemTestDisarm();
    EXPECT_EQ(before_, OSMemTestTotalBlocks()) << "test leaked blocks";
  }
  DWORD before_ = 0;
};

TEST_F(MemoryTest, HandleZeroIsNeverValid) {
  DWORD size = 1;
  EXPECT_EQ(nullptr, OSLockObject(NULLHANDLE));
  EXPECT_EQ(FALSE, OSUnlockObject(NULLHANDLE));
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(NULLHANDLE));
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemRealloc(NULLHANDLE, 10));
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemGetSize(NULLHANDLE, &size));
  EXPECT_EQ(1u, size);
}

TEST_F(MemoryTest, UnknownHandlesAreRefused) {
  for (DHANDLE h : {0x00000001u, 0x003FFFFFu, 0xFFFFFFFFu, 0x12345678u}) {
    EXPECT_EQ(nullptr, OSLockObject(h)) << h;
    EXPECT_EQ(FALSE, OSUnlockObject(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemRealloc(h, 4)) << h;
    DWORD size;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemGetSize(h, &size)) << h;
  }
}

TEST_F(MemoryTest, AllocLockUnlockFree) {
  DHANDLE h = NULLHANDLE;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 100, &h));
  EXPECT_NE(NULLHANDLE, h);
  DWORD size = 0;
  ASSERT_EQ(NOERROR, OSMemGetSize(h, &size));
  EXPECT_EQ(100u, size);
  char* p = static_cast<char*>(OSLockObject(h));
  ASSERT_NE(nullptr, p);
  std::memset(p, 0xAB, 100);
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "unlock of an unlocked block";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, ZeroSizedBlockHasAnAddress) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 0, &h));
  EXPECT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, FreedHandleIsStale) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 8, &h));
  ASSERT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(nullptr, OSLockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h));
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(h)) << "double free";
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemRealloc(h, 16));
}

TEST_F(MemoryTest, StaleHandleDoesNotReachTheSlotsNextBlock) {
  // Churn enough blocks that freed slots get reused; no stale handle may
  // ever reach a block allocated after it was freed.
  std::vector<DHANDLE> stale;
  for (int i = 0; i < 50; ++i) {
    DHANDLE h;
    ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h));
    ASSERT_EQ(NOERROR, OSMemFree(h));
    stale.push_back(h);
  }
  std::vector<DHANDLE> live;
  for (int i = 0; i < 50; ++i) {
    DHANDLE h;
    ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h));
    live.push_back(h);
  }
  for (DHANDLE s : stale) {
    for (DHANDLE l : live) ASSERT_NE(s, l);
    EXPECT_EQ(nullptr, OSLockObject(s));
  }
  for (DHANDLE h : live) EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, LocksNestAndAddressIsStable) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 32, &h));
  void* a = OSLockObject(h);
  void* b = OSLockObject(h);
  void* c = OSLockObject(h);
  EXPECT_EQ(a, b);
  EXPECT_EQ(b, c);
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(ERR_LOCKED, OSMemRealloc(h, 64)) << "still locked once";
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h));
  EXPECT_EQ(NOERROR, OSMemRealloc(h, 64));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, ReallocOfLockedBlockLeavesItUnchanged) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 16, &h));
  char* p = static_cast<char*>(OSLockObject(h));
  ASSERT_NE(nullptr, p);
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(ERR_LOCKED, OSMemRealloc(h, 4096));
  DWORD size;
  ASSERT_EQ(NOERROR, OSMemGetSize(h, &size));
  EXPECT_EQ(16u, size);
  EXPECT_EQ(0, std::memcmp(p, "0123456789abcdef", 16));
  EXPECT_EQ(p, OSLockObject(h));
  OSUnlockObject(h);
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, ReallocKeepsBytesGrowingAndShrinking) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 10, &h));
  char* p = static_cast<char*>(OSLockObject(h));
  std::memcpy(p, "ABCDEFGHIJ", 10);
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 100000));
  p = static_cast<char*>(OSLockObject(h));
  EXPECT_EQ(0, std::memcmp(p, "ABCDEFGHIJ", 10));
  p[99999] = 'z';  // the whole new size is usable
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 3));
  p = static_cast<char*>(OSLockObject(h));
  EXPECT_EQ(0, std::memcmp(p, "ABC", 3));
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 0));
  DWORD size = 1;
  ASSERT_EQ(NOERROR, OSMemGetSize(h, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, FreeOfLockedBlockIsAllowed) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 16, &h));
  ASSERT_NE(nullptr, OSLockObject(h));
  ASSERT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h));
}

TEST_F(MemoryTest, AccountingPerTagAndTotal) {
  DWORD blocks0, bytes0, other0b, other0y;
  OSMemTestCount(kTag, &blocks0, &bytes0);
  OSMemTestCount(kOtherTag, &other0b, &other0y);
  DWORD total0 = OSMemTestTotalBlocks();

  DHANDLE a, b, c;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 100, &a));
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 50, &b));
  ASSERT_EQ(NOERROR, OSMemAlloc(kOtherTag, 7, &c));
  DWORD blocks, bytes;
  OSMemTestCount(kTag, &blocks, &bytes);
  EXPECT_EQ(blocks0 + 2, blocks);
  EXPECT_EQ(bytes0 + 150, bytes);
  OSMemTestCount(kOtherTag, &blocks, &bytes);
  EXPECT_EQ(other0b + 1, blocks);
  EXPECT_EQ(other0y + 7, bytes);
  EXPECT_EQ(total0 + 3, OSMemTestTotalBlocks());

  ASSERT_EQ(NOERROR, OSMemRealloc(b, 500));
  OSMemTestCount(kTag, &blocks, &bytes);
  EXPECT_EQ(bytes0 + 600, bytes);
  ASSERT_EQ(NOERROR, OSMemRealloc(b, 20));
  OSMemTestCount(kTag, &blocks, &bytes);
  EXPECT_EQ(bytes0 + 120, bytes);

  ASSERT_EQ(NOERROR, OSMemFree(a));
  ASSERT_EQ(NOERROR, OSMemFree(b));
  ASSERT_EQ(NOERROR, OSMemFree(c));
  OSMemTestCount(kTag, &blocks, &bytes);
  EXPECT_EQ(blocks0, blocks);
  EXPECT_EQ(bytes0, bytes);
  EXPECT_EQ(total0, OSMemTestTotalBlocks());
}

TEST_F(MemoryTest, FaultOnNthAllocFiresOnce) {
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 3);
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  DHANDLE h[4] = {};
  EXPECT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h[0]));
  EXPECT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h[1]));
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  DHANDLE failed = 0x1234;
  EXPECT_EQ(ERR_MEMORY, OSMemAlloc(kTag, 4, &failed));
  EXPECT_EQ(NULLHANDLE, failed);
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h[2])) << "one fault per arming";
  EXPECT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h[3]));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  for (DHANDLE x : h) EXPECT_EQ(NOERROR, OSMemFree(x));
}

TEST_F(MemoryTest, FaultOnReallocLeavesBlockIntact) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h));
  char* p = static_cast<char*>(OSLockObject(h));
  std::memcpy(p, "wxyz", 4);
  OSUnlockObject(h);
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_EQ(ERR_MEMORY, OSMemRealloc(h, 400));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  DWORD size;
  ASSERT_EQ(NOERROR, OSMemGetSize(h, &size));
  EXPECT_EQ(4u, size);
  p = static_cast<char*>(OSLockObject(h));
  EXPECT_EQ(0, std::memcmp(p, "wxyz", 4));
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, FaultOnLockTakesNoLock) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h));
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 2);
  ASSERT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(nullptr, OSLockObject(h));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the failed lock took no lock";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, FaultCountsOnlyArmedKinds) {
  DHANDLE h;
  OSMemTestFailNth(OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK, 2);
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h)) << "allocs are not counted";
  ASSERT_NE(nullptr, OSLockObject(h));  // 1st counted call
  OSUnlockObject(h);
  EXPECT_EQ(ERR_MEMORY, OSMemRealloc(h, 8));  // 2nd counted call
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, DisarmAndZeroStopInjection) {
  DHANDLE h;
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  OSMemTestDisarm();
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &h));
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 0);
  DHANDLE g;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 4, &g));
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  EXPECT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(NOERROR, OSMemFree(g));
}

TEST_F(MemoryTest, BlockPointerHelpers) {
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(kTag, 16, &h));
  char* base = static_cast<char*>(OSLockObject(h));
  BLOCKID bid{h, 6};
  char* p = OSLockBlock(bid);
  EXPECT_EQ(base + 6, p);
  EXPECT_EQ(TRUE, OSUnlockBlock(bid));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  BLOCKID bad{NULLHANDLE, 6};
  EXPECT_EQ(nullptr, OSLockBlock(bad));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, ManyBlocks) {
  std::vector<DHANDLE> hs(20000);
  for (DWORD i = 0; i < hs.size(); ++i) {
    ASSERT_EQ(NOERROR, OSMemAlloc(kTag, i % 64, &hs[i]));
  }
  for (DWORD i = 0; i < hs.size(); i += 2) ASSERT_EQ(NOERROR, OSMemFree(hs[i]));
  for (DWORD i = 1; i < hs.size(); i += 2) {
    DWORD size;
    ASSERT_EQ(NOERROR, OSMemGetSize(hs[i], &size));
    ASSERT_EQ(i % 64, size);
    ASSERT_EQ(NOERROR, OSMemFree(hs[i]));
  }
}

}  // namespace
