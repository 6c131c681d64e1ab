// Memory handles: refusal of bad handles, locking, resizing, accounting and
// fault injection.

#include <cstring>
#include <string>
#include <vector>

#include "runtime_util.h"

namespace {

constexpr WORD kTag = 0x7A01;
constexpr WORD kOtherTag = 0x7A02;
constexpr WORD kAllFaults =
    OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;

using MemoryTest = rttest::MemTest;

DHANDLE Alloc(DWORD size, WORD tag = kTag) {
  DHANDLE h = NULLHANDLE;
  EXPECT_EQ(NOERROR, OSMemAlloc(tag, size, &h));
  return h;
}

void Put(DHANDLE h, const std::string& bytes) {
  std::memcpy(OSLockObject(h), bytes.data(), bytes.size());
  OSUnlockObject(h);
}

std::string Get(DHANDLE h, size_t n) {
  std::string out(static_cast<const char*>(OSLockObject(h)), n);
  OSUnlockObject(h);
  return out;
}

DWORD SizeOf(DHANDLE h) {
  DWORD size = 0xDEAD;
  EXPECT_EQ(NOERROR, OSMemGetSize(h, &size));
  return size;
}

// Zero, never-issued and freed handles are refused by every call, and a
// freed handle never reaches the block that later reuses its slot.
TEST_F(MemoryTest, BadHandlesAreRefusedEverywhere) {
  std::vector<DHANDLE> bad = {NULLHANDLE, 0x00000001u, 0x003FFFFFu,
                              0xFFFFFFFFu, 0x12345678u};
  for (int i = 0; i < 50; ++i) {
    DHANDLE h = Alloc(4);
    ASSERT_EQ(NOERROR, OSMemFree(h));
    bad.push_back(h);
  }
  std::vector<DHANDLE> live;
  for (int i = 0; i < 50; ++i) live.push_back(Alloc(4));
  for (DHANDLE h : bad) {
    for (DHANDLE l : live) ASSERT_NE(h, l);
    DWORD size = 1;
    EXPECT_EQ(nullptr, OSLockObject(h)) << h;
    EXPECT_EQ(FALSE, OSUnlockObject(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemRealloc(h, 16)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemGetSize(h, &size)) << h;
    EXPECT_EQ(1u, size) << h;
  }
  EXPECT_EQ(nullptr, OSLockBlock(BLOCKID{NULLHANDLE, 6}));
  for (DHANDLE h : live) EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, LocksNestAndBlockRealloc) {
  DHANDLE h = Alloc(16);
  EXPECT_EQ(16u, SizeOf(h));
  char* p = static_cast<char*>(OSLockObject(h));
  ASSERT_NE(nullptr, p);
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(p, OSLockObject(h));
  EXPECT_EQ(p + 6, OSLockBlock(BLOCKID{h, 6}));
  EXPECT_EQ(TRUE, OSUnlockBlock(BLOCKID{h, 6}));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  // Still locked once: a resize fails and changes nothing.
  EXPECT_EQ(ERR_LOCKED, OSMemRealloc(h, 4096));
  EXPECT_EQ(16u, SizeOf(h));
  EXPECT_EQ(0, std::memcmp(p, "0123456789abcdef", 16));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "unlock of an unlocked block";
  EXPECT_EQ(NOERROR, OSMemRealloc(h, 64));
  // A locked block may still be freed.
  ASSERT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h));
}

TEST_F(MemoryTest, ReallocKeepsBytesGrowingAndShrinking) {
  DHANDLE h = Alloc(10);
  Put(h, "ABCDEFGHIJ");
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 100000));
  EXPECT_EQ("ABCDEFGHIJ", Get(h, 10));
  static_cast<char*>(OSLockObject(h))[99999] = 'z';  // all of it is usable
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 3));
  EXPECT_EQ("ABC", Get(h, 3));
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 0));
  EXPECT_EQ(0u, SizeOf(h));
  EXPECT_NE(nullptr, OSLockObject(h)) << "an empty block has an address";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(MemoryTest, AccountingPerTagAndTotal) {
  auto count = [](WORD tag) {
    DWORD blocks = 0, bytes = 0;
    OSMemTestCount(tag, &blocks, &bytes);
    return std::make_pair(blocks, bytes);
  };
  auto tag0 = count(kTag), other0 = count(kOtherTag);
  DWORD total0 = OSMemTestTotalBlocks();
  DHANDLE a = Alloc(100), b = Alloc(50), c = Alloc(7, kOtherTag);
  EXPECT_EQ(std::make_pair(tag0.first + 2, tag0.second + 150), count(kTag));
  EXPECT_EQ(std::make_pair(other0.first + 1, other0.second + 7),
            count(kOtherTag));
  EXPECT_EQ(total0 + 3, OSMemTestTotalBlocks());
  ASSERT_EQ(NOERROR, OSMemRealloc(b, 500));
  EXPECT_EQ(tag0.second + 600, count(kTag).second);
  ASSERT_EQ(NOERROR, OSMemRealloc(b, 20));
  EXPECT_EQ(tag0.second + 120, count(kTag).second);
  for (DHANDLE h : {a, b, c}) ASSERT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(tag0, count(kTag));
  EXPECT_EQ(other0, count(kOtherTag));
  EXPECT_EQ(total0, OSMemTestTotalBlocks());
}

TEST_F(MemoryTest, FaultOnNthAllocFiresOnceAndOnlyWhenArmed) {
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 3);
  DHANDLE h[4] = {Alloc(4), Alloc(4)};
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  DHANDLE failed = 0x1234;
  EXPECT_EQ(ERR_MEMORY, OSMemAlloc(kTag, 4, &failed));
  EXPECT_EQ(NULLHANDLE, failed);
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  h[2] = Alloc(4);  // one fault per arming
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 0);  // n = 0 disarms
  h[3] = Alloc(4);
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  for (DHANDLE x : h) EXPECT_EQ(NOERROR, OSMemFree(x));
}

TEST_F(MemoryTest, FaultOnReallocLeavesBlockIntact) {
  DHANDLE h = Alloc(4);
  Put(h, "wxyz");
  // Allocations are not counted when only resizes and locks are armed.
  OSMemTestFailNth(OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK, 2);
  DHANDLE g = Alloc(4);
  ASSERT_NE(nullptr, OSLockObject(h));  // counted call 1
  OSUnlockObject(h);
  EXPECT_EQ(ERR_MEMORY, OSMemRealloc(h, 400));  // counted call 2
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(4u, SizeOf(h));
  EXPECT_EQ("wxyz", Get(h, 4));
  EXPECT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(NOERROR, OSMemFree(g));
}

TEST_F(MemoryTest, FaultOnLockTakesNoLock) {
  DHANDLE h = Alloc(4);
  OSMemTestFailNth(kAllFaults, 2);
  ASSERT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(nullptr, OSLockObject(h));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the failed lock took no lock";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

}  // namespace
