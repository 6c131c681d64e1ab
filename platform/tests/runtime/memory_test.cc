// Memory handles: bad handles, locked resizes, accounting, fault injection.

#include <cstring>
#include <string>
#include <vector>

#include "runtime_util.h"

namespace {

constexpr WORD kTag = 0x7A01;
constexpr WORD kOtherTag = 0x7A02;

using MemoryTest = rttest::MemTest;

DHANDLE Alloc(DWORD size, WORD tag = kTag) {
  DHANDLE h = NULLHANDLE;
  EXPECT_EQ(NOERROR, OSMemAlloc(tag, size, &h));
  return h;
}

std::string Get(DHANDLE h, size_t n) {
  std::string out(static_cast<const char*>(OSLockObject(h)), n);
  OSUnlockObject(h);
  return out;
}

TEST_F(MemoryTest, BadHandlesAreRefusedEverywhere) {
  std::vector<DHANDLE> bad = {NULLHANDLE, 0x003FFFFFu, 0x12345678u, Alloc(4)};
  ASSERT_EQ(NOERROR, OSMemFree(bad.back()));  // freed, so stale
  DHANDLE live = Alloc(4);
  for (DHANDLE h : bad) {
    DWORD size = 1;
    EXPECT_EQ(nullptr, OSLockObject(h)) << h;
    EXPECT_EQ(FALSE, OSUnlockObject(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(h)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemRealloc(h, 16)) << h;
    EXPECT_EQ(ERR_BAD_HANDLE, OSMemGetSize(h, &size)) << h;
  }
  EXPECT_EQ(NOERROR, OSMemFree(live));
}

TEST_F(MemoryTest, ReallocKeepsBytesAndRefusesALockedBlock) {
  DHANDLE h = Alloc(16);
  char* p = static_cast<char*>(OSLockObject(h));
  ASSERT_NE(nullptr, p);
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(ERR_LOCKED, OSMemRealloc(h, 4096));
  EXPECT_EQ(0, std::memcmp(p, "0123456789abcdef", 16));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 100000));
  EXPECT_EQ("0123456789abcdef", Get(h, 16));
  ASSERT_EQ(NOERROR, OSMemRealloc(h, 3));
  EXPECT_EQ("012", Get(h, 3));
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
  EXPECT_EQ(std::make_pair(other0.first + 1, other0.second + 7), count(kOtherTag));
  EXPECT_EQ(total0 + 3, OSMemTestTotalBlocks());
  for (DHANDLE h : {a, b, c}) ASSERT_EQ(NOERROR, OSMemFree(h));
  EXPECT_EQ(tag0, count(kTag));
  EXPECT_EQ(total0, OSMemTestTotalBlocks());
}

TEST_F(MemoryTest, FaultOnNthAllocOnce) {
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 0);  // disarms
  OSMemFree(Alloc(4));
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 3);
  DHANDLE h[3] = {Alloc(4), Alloc(4)};
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  DHANDLE failed = 0x1234;
  EXPECT_EQ(ERR_MEMORY, OSMemAlloc(kTag, 4, &failed));
  EXPECT_EQ(NULLHANDLE, failed);
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  h[2] = Alloc(4);  // one fault per arming
  for (DHANDLE x : h) EXPECT_EQ(NOERROR, OSMemFree(x));
}

TEST_F(MemoryTest, FaultOnLockTakesNoLock) {
  DHANDLE h = Alloc(4);
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 2);
  ASSERT_NE(nullptr, OSLockObject(h));
  EXPECT_EQ(nullptr, OSLockObject(h));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the failed lock took no lock";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

// A failed free is reported, yet the block is gone: nothing for the test
// to leak.
TEST_F(MemoryTest, FaultOnFreeReportsAndStillReleases) {
  DHANDLE a = Alloc(4), b = Alloc(4);
  const DWORD total = OSMemTestTotalBlocks();
  OSMemTestFailNth(OSMEM_FAULT_FREE, 2);
  EXPECT_EQ(NOERROR, OSMemFree(a));
  EXPECT_EQ(FALSE, OSMemTestFaultFired());
  EXPECT_EQ(ERR_BAD_HANDLE, OSMemFree(b));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(total - 2, OSMemTestTotalBlocks());
  EXPECT_EQ(nullptr, OSLockObject(b));
}

}  // namespace
