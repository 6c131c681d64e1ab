// Packed text lists: layout, locked adds, the size limit, the check.

#include <string>
#include <vector>

#include "runtime_util.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes BytesOf(DHANDLE h, WORD size) {
  const BYTE* p = static_cast<const BYTE*>(OSLockObject(h));
  Bytes out(p, p + size);
  OSUnlockObject(h);
  return out;
}

using TextListTest = rttest::MemTest;

TEST_F(TextListTest, AddEntriesExactLayoutWithTypeCode) {
  const Bytes want = {0x01, 0x05, 4, 0, 2, 0, 3, 0, 0, 0, 5, 0,
                      'a', 'l', 'b', 'o', 'b', 'c', 'a', 'r', 'o', 'l'};
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, nullptr, &size));
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "bob", 3));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 1, "carol", 5));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "al", 2));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 2, nullptr, 0));
  EXPECT_EQ(want, BytesOf(h, size));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, AddOnLockedListKeepsOneLock) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(1, 3, FALSE, &h, &p, &size));
  std::string big(5000, 'q');
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 1, big.data(), 5000));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the add kept exactly one lock";
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

// A text taken from the list itself is copied before the list grows and
// its texts move.
TEST_F(TextListTest, AddATextOfTheSameList) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, &p, &size));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "alpha", 5));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 1, "omega", 5));
  p = OSLockObject(h);
  char* text = nullptr;
  WORD len = 0;
  ASSERT_EQ(NOERROR, ListGetText(p, TRUE, 1, &text, &len));
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, text, len));
  p = OSLockObject(h);
  const Bytes want = {0x01, 0x05, 3, 0, 5, 0, 5, 0, 5, 0, 'o', 'm', 'e', 'g', 'a',
                      'a', 'l', 'p', 'h', 'a', 'o', 'm', 'e', 'g', 'a'};
  EXPECT_EQ(want, Bytes(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + size));
  OSUnlockObject(h);
  OSUnlockObject(h);
  OSUnlockObject(h);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, IndexPastEndIsRefused) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, &p, &size));
  OSUnlockObject(h);
  EXPECT_EQ(ERR_LIST_INDEX, ListAddEntry(h, TRUE, &size, 1, "a", 1));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, FullAt65535Bytes) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, nullptr, &size));
  std::string chunk(60000, 'c'), rest(5528, 'r');
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, chunk.data(), 60000));
  // 60006 + 2 + 5527 = 65535 fits exactly; one byte more does not.
  EXPECT_EQ(ERR_LIST_FULL, ListAddEntry(h, TRUE, &size, 1, rest.data(), 5528));
  EXPECT_EQ(60006, size);
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 1, rest.data(), 5527));
  EXPECT_EQ(65535, size);
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST(TextListCheckTest, RejectsOverrun) {
  const BYTE good[] = {0x01, 0x05, 2, 0, 1, 0, 2, 0, 'a', 'b', 'c'};
  EXPECT_EQ(NOERROR, ListCheck(good, TRUE, sizeof good));
  for (DWORD size = 0; size < sizeof good; ++size) {
    EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(good, TRUE, size)) << size;
  }
}

}  // namespace
