// Packed text lists: exact byte layout, inserts on locked and unlocked
// blocks, limits and the corruption checks.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

std::vector<BYTE> Bytes(DHANDLE h, WORD size) {
  const BYTE* p = static_cast<const BYTE*>(OSLockObject(h));
  std::vector<BYTE> out(p, p + size);
  OSUnlockObject(h);
  return out;
}

std::string Text(const void* list, BOOL tc, WORD i) {
  char* t = nullptr;
  WORD len = 0;
  EXPECT_EQ(NOERROR, ListGetText(list, tc, i, &t, &len));
  return std::string(t, len);
}

class TextListTest : public ::testing::Test {
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

TEST_F(TextListTest, AllocateReturnsLockedEmptyList) {
  DHANDLE h;
  void* p = nullptr;
  WORD size = 0;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, &p, &size));
  EXPECT_EQ(2, size);
  EXPECT_EQ(p, OSLockObject(h)) << "same address while locked";
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(TRUE, OSUnlockObject(h)) << "ListAllocate left one lock";
  EXPECT_EQ(FALSE, OSUnlockObject(h));
  EXPECT_EQ((std::vector<BYTE>{0, 0}), Bytes(h, size));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AllocateWithTypeCodeAndEntries) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(3, 5, TRUE, &h, &p, &size));
  EXPECT_EQ(2 + 2 + 6 + 5, size);
  std::vector<BYTE> want = {0x01, 0x05, 3, 0, 0, 0, 0, 0, 0, 0,
                            0,    0,    0, 0, 0};
  EXPECT_EQ(want, std::vector<BYTE>(static_cast<BYTE*>(p),
                                    static_cast<BYTE*>(p) + size));
  EXPECT_EQ(3, ListGetNumEntries(p, TRUE));
  EXPECT_EQ("", Text(p, TRUE, 2));
  EXPECT_EQ(NOERROR, ListCheck(p, TRUE, size));
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AllocateTooBig) {
  DHANDLE h = 77;
  EXPECT_EQ(ERR_LIST_FULL, ListAllocate(30000, 6000, FALSE, &h, nullptr, nullptr));
  EXPECT_EQ(NULLHANDLE, h);
}

TEST_F(TextListTest, AllocateFailuresReleaseEverything) {
  DHANDLE h;
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  EXPECT_EQ(ERR_MEMORY, ListAllocate(0, 0, FALSE, &h, nullptr, nullptr));
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(ERR_MEMORY, ListAllocate(0, 0, FALSE, &h, nullptr, nullptr));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
}

TEST_F(TextListTest, AddEntriesExactLayoutNoTypeCode) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, nullptr, &size));
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, "bob", 3));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 1, "carol", 5));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, "al", 2));  // in front
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 2, "", 0));    // middle
  EXPECT_EQ(2 + 8 + 10, size);
  std::vector<BYTE> want = {4, 0, 2, 0, 3, 0, 0, 0, 5, 0, 'a', 'l',
                            'b', 'o', 'b', 'c', 'a', 'r', 'o', 'l'};
  EXPECT_EQ(want, Bytes(h, size));
  DWORD blockSize;
  ASSERT_EQ(NOERROR, OSMemGetSize(h, &blockSize));
  EXPECT_GE(blockSize, size);
  void* p = OSLockObject(h);
  EXPECT_EQ(4, ListGetNumEntries(p, FALSE));
  EXPECT_EQ("al", Text(p, FALSE, 0));
  EXPECT_EQ("bob", Text(p, FALSE, 1));
  EXPECT_EQ("", Text(p, FALSE, 2));
  EXPECT_EQ("carol", Text(p, FALSE, 3));
  EXPECT_EQ(NOERROR, ListCheck(p, FALSE, size));
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AddEntriesExactLayoutWithTypeCode) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, nullptr, &size));
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "xy", 2));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 1, "z", 1));
  std::vector<BYTE> want = {0x01, 0x05, 2, 0, 2, 0, 1, 0, 'x', 'y', 'z'};
  EXPECT_EQ(want, Bytes(h, size));
  void* p = OSLockObject(h);
  EXPECT_EQ(2, ListGetNumEntries(p, TRUE));
  EXPECT_EQ("z", Text(p, TRUE, 1));
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AddOnLockedListKeepsLockCount) {
  // The library's pattern: allocate (locked), add, unlock, and later lock,
  // count, add, unlock.
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, &p, &size));
  std::string big(5000, 'q');
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, big.data(), 5000));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the add kept exactly one lock";

  p = OSLockObject(h);
  WORD n = ListGetNumEntries(p, FALSE);
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, n, "tail", 4));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  p = OSLockObject(h);
  EXPECT_EQ(2, ListGetNumEntries(p, FALSE));
  EXPECT_EQ(big, Text(p, FALSE, 0));
  EXPECT_EQ("tail", Text(p, FALSE, 1));
  EXPECT_EQ(2 + 4 + 5004, size);
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AddTextTakenFromTheSameList) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, &p, &size));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, "hello", 5));
  p = OSLockObject(h);
  char* t;
  WORD len;
  ASSERT_EQ(NOERROR, ListGetText(p, FALSE, 0, &t, &len));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, t, len));
  p = OSLockObject(h);
  EXPECT_EQ("hello", Text(p, FALSE, 0));
  EXPECT_EQ("hello", Text(p, FALSE, 1));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, IndexPastEnd) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, &p, &size));
  EXPECT_EQ(ERR_LIST_INDEX, ListAddEntry(h, TRUE, &size, 1, "a", 1));
  EXPECT_EQ(4, size) << "failed add leaves the length";
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "a", 1));
  p = OSLockObject(h);
  char* t = reinterpret_cast<char*>(1);
  WORD len = 9;
  EXPECT_EQ(ERR_LIST_INDEX, ListGetText(p, TRUE, 1, &t, &len));
  EXPECT_EQ(ERR_LIST_INDEX, ListGetText(p, TRUE, 65535, &t, &len));
  EXPECT_EQ(9, len);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, BadArguments) {
  WORD size = 2;
  EXPECT_EQ(ERR_BAD_HANDLE, ListAddEntry(NULLHANDLE, FALSE, &size, 0, "a", 1));
  DHANDLE h;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, nullptr, &size));
  EXPECT_EQ(ERR_BAD_ARG, ListAddEntry(h, FALSE, nullptr, 0, "a", 1));
  EXPECT_EQ(ERR_BAD_ARG, ListAddEntry(h, FALSE, &size, 0, nullptr, 1));
  EXPECT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, nullptr, 0));
  EXPECT_EQ(ERR_BAD_ARG, ListGetText(nullptr, FALSE, 0, nullptr, nullptr));
  EXPECT_EQ(0, ListGetNumEntries(nullptr, TRUE));
  EXPECT_EQ(ERR_BAD_ARG, ListAllocate(1, 0, FALSE, nullptr, nullptr, nullptr));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AddWithWrongLengthIsRefused) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, nullptr, &size));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, "abcdef", 6));
  WORD bad = size - 1;  // shorter than the texts
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, FALSE, &bad, 1, "x", 1));
  bad = size + 100;  // longer than the block
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, FALSE, &bad, 1, "x", 1));
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, TRUE, &size, 0, "x", 1))
      << "no type code where one is asked for";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, FullAt65535Bytes) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, nullptr, &size));
  std::string chunk(60000, 'c');
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, chunk.data(), 60000));
  EXPECT_EQ(60006, size);
  // 60006 + 2 + 5527 = 65535 fits exactly; one byte more does not.
  std::string rest(5528, 'r');
  EXPECT_EQ(ERR_LIST_FULL, ListAddEntry(h, TRUE, &size, 1, rest.data(), 5528));
  EXPECT_EQ(60006, size);
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 1, rest.data(), 5527));
  EXPECT_EQ(65535, size);
  EXPECT_EQ(ERR_LIST_FULL, ListAddEntry(h, TRUE, &size, 2, "", 0));
  void* p = OSLockObject(h);
  EXPECT_EQ(NOERROR, ListCheck(p, TRUE, size));
  EXPECT_EQ(std::string(5527, 'r'), Text(p, TRUE, 1));
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, FailedGrowthLeavesListIntact) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, FALSE, &h, nullptr, &size));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 0, "keep", 4));
  std::vector<BYTE> before = Bytes(h, size);
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_EQ(ERR_MEMORY, ListAddEntry(h, FALSE, &size, 1, "lost", 4));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(8, size);
  EXPECT_EQ(before, Bytes(h, size));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, ReservedTextBytesTravelAlong) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(1, 3, FALSE, &h, &p, &size));
  EXPECT_EQ(2 + 2 + 3, size);
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 1, "ab", 2));
  EXPECT_EQ(11, size);
  p = OSLockObject(h);
  EXPECT_EQ("", Text(p, FALSE, 0));
  EXPECT_EQ("ab", Text(p, FALSE, 1));
  EXPECT_EQ(NOERROR, ListCheck(p, FALSE, size));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST(TextListCheckTest, AcceptsWholeLists) {
  const BYTE good[] = {0x01, 0x05, 2, 0, 1, 0, 2, 0, 'a', 'b', 'c'};
  EXPECT_EQ(NOERROR, ListCheck(good, TRUE, sizeof good));
  EXPECT_EQ(NOERROR, ListCheck(good, TRUE, sizeof good + 5)) << "slack is fine";
  EXPECT_EQ(NOERROR, ListCheck(good + 2, FALSE, sizeof good - 2));
  const BYTE empty[] = {0, 0};
  EXPECT_EQ(NOERROR, ListCheck(empty, FALSE, 2));
}

TEST(TextListCheckTest, RejectsEveryOverrun) {
  const BYTE good[] = {0x01, 0x05, 2, 0, 1, 0, 2, 0, 'a', 'b', 'c'};
  // Shorter than the type code, than the count, than the lengths, than the
  // texts: each is an overrun.
  for (DWORD size = 0; size < sizeof good; ++size) {
    EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(good, TRUE, size)) << size;
  }
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(nullptr, FALSE, 100));
  const BYTE wrong_code[] = {0x00, 0x05, 0, 0};
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(wrong_code, TRUE, 4));
  const BYTE huge_count[] = {0x01, 0x05, 0xFF, 0xFF, 0, 0};
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(huge_count, TRUE, sizeof huge_count));
  const BYTE long_text[] = {1, 0, 0xFF, 0xFF, 'a'};
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(long_text, FALSE, sizeof long_text));
  // Lengths that add up past the end only together.
  const BYTE sum_over[] = {2, 0, 2, 0, 2, 0, 'a', 'b', 'c'};
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(sum_over, FALSE, sizeof sum_over));
}

TEST(TextListCheckTest, ReadsAreEndianClean) {
  // Count 0x0102 stored little-endian reads as 258 on any host.
  const BYTE p[] = {0x02, 0x01};
  EXPECT_EQ(0x0102, ListGetNumEntries(p, FALSE));
}

}  // namespace
