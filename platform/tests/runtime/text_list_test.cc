// Packed text lists: exact byte layout, adds on locked and unlocked blocks,
// the 65535-byte limit and the corruption checks.

#include <cstring>
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

std::string Text(const void* list, BOOL tc, WORD i) {
  char* t = nullptr;
  WORD len = 0;
  EXPECT_EQ(NOERROR, ListGetText(list, tc, i, &t, &len));
  return std::string(t, len);
}

using TextListTest = rttest::MemTest;

TEST_F(TextListTest, AllocateLeavesOneLockAndExactBytes) {
  DHANDLE h;
  void* p = nullptr;
  WORD size = 0;
  ASSERT_EQ(NOERROR, ListAllocate(3, 5, TRUE, &h, &p, &size));
  EXPECT_EQ((Bytes{0x01, 0x05, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            Bytes(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + size));
  EXPECT_EQ(3, ListGetNumEntries(p, TRUE));
  EXPECT_EQ("", Text(p, TRUE, 2));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "ListAllocate left one lock";
  EXPECT_EQ(NOERROR, OSMemFree(h));

  h = 77;
  EXPECT_EQ(ERR_LIST_FULL, ListAllocate(30000, 6000, FALSE, &h, nullptr, nullptr));
  EXPECT_EQ(NULLHANDLE, h);
  EXPECT_EQ(ERR_BAD_ARG, ListAllocate(1, 0, FALSE, nullptr, nullptr, nullptr));
  // A failed allocation or lock leaves nothing behind (checked on teardown).
  for (WORD kind : {OSMEM_FAULT_ALLOC, OSMEM_FAULT_LOCK}) {
    OSMemTestFailNth(kind, 1);
    EXPECT_EQ(ERR_MEMORY, ListAllocate(0, 0, FALSE, &h, nullptr, nullptr));
    EXPECT_EQ(TRUE, OSMemTestFaultFired());
  }
}

TEST_F(TextListTest, AddEntriesExactLayout) {
  struct Case {
    BOOL typeCode;
    Bytes want;
  } cases[] = {
      {FALSE, {4, 0, 2, 0, 3, 0, 0, 0, 5, 0,
               'a', 'l', 'b', 'o', 'b', 'c', 'a', 'r', 'o', 'l'}},
      {TRUE, {0x01, 0x05, 4, 0, 2, 0, 3, 0, 0, 0, 5, 0,
              'a', 'l', 'b', 'o', 'b', 'c', 'a', 'r', 'o', 'l'}},
  };
  for (const Case& c : cases) {
    DHANDLE h;
    WORD size;
    ASSERT_EQ(NOERROR, ListAllocate(0, 0, c.typeCode, &h, nullptr, &size));
    OSUnlockObject(h);
    ASSERT_EQ(NOERROR, ListAddEntry(h, c.typeCode, &size, 0, "bob", 3));
    ASSERT_EQ(NOERROR, ListAddEntry(h, c.typeCode, &size, 1, "carol", 5));
    ASSERT_EQ(NOERROR, ListAddEntry(h, c.typeCode, &size, 0, "al", 2));
    ASSERT_EQ(NOERROR, ListAddEntry(h, c.typeCode, &size, 2, nullptr, 0));
    EXPECT_EQ(c.want, BytesOf(h, size)) << c.typeCode;
    EXPECT_EQ(FALSE, OSUnlockObject(h)) << "adds leave an unlocked list so";
    void* p = OSLockObject(h);
    EXPECT_EQ(4, ListGetNumEntries(p, c.typeCode));
    EXPECT_EQ("carol", Text(p, c.typeCode, 3));
    EXPECT_EQ(NOERROR, ListCheck(p, c.typeCode, size));
    OSUnlockObject(h);
    EXPECT_EQ(NOERROR, OSMemFree(h));
  }
}

// The library's pattern: allocate (locked), add, unlock; later lock, count,
// add, unlock.  Text taken from the list itself may be added again.
TEST_F(TextListTest, AddOnLockedListKeepsOneLock) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(1, 3, FALSE, &h, &p, &size));
  std::string big(5000, 'q');
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 1, big.data(), 5000));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "the add kept exactly one lock";
  p = OSLockObject(h);
  char* t;
  WORD len;
  ASSERT_EQ(NOERROR, ListGetText(p, FALSE, 1, &t, &len));
  ASSERT_EQ(NOERROR, ListAddEntry(h, FALSE, &size, 2, t, len));
  EXPECT_EQ(TRUE, OSUnlockObject(h));
  p = OSLockObject(h);
  EXPECT_EQ(3, ListGetNumEntries(p, FALSE));
  EXPECT_EQ("", Text(p, FALSE, 0)) << "reserved bytes travel along";
  EXPECT_EQ(big, Text(p, FALSE, 1));
  EXPECT_EQ(big, Text(p, FALSE, 2));
  EXPECT_EQ(2 + 6 + 3 + 10000, size);
  EXPECT_EQ(NOERROR, ListCheck(p, FALSE, size));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, RefusedAddsLeaveTheList) {
  DHANDLE h;
  void* p;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, &p, &size));
  OSUnlockObject(h);
  EXPECT_EQ(ERR_LIST_INDEX, ListAddEntry(h, TRUE, &size, 1, "a", 1));
  EXPECT_EQ(4, size);
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, "keep", 4));
  Bytes before = BytesOf(h, size);
  WORD bad = size - 1;  // shorter than the texts
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, TRUE, &bad, 1, "x", 1));
  bad = size + 100;  // longer than the block
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, TRUE, &bad, 1, "x", 1));
  EXPECT_EQ(ERR_LIST_CORRUPT, ListAddEntry(h, FALSE, &size, 0, "x", 1))
      << "a count where a type code is";
  EXPECT_EQ(ERR_BAD_ARG, ListAddEntry(h, TRUE, nullptr, 0, "a", 1));
  EXPECT_EQ(ERR_BAD_ARG, ListAddEntry(h, TRUE, &size, 0, nullptr, 1));
  EXPECT_EQ(ERR_BAD_HANDLE, ListAddEntry(NULLHANDLE, TRUE, &size, 0, "a", 1));
  OSMemTestFailNth(OSMEM_FAULT_REALLOC, 1);
  EXPECT_EQ(ERR_MEMORY, ListAddEntry(h, TRUE, &size, 1, "lost", 4));
  EXPECT_EQ(TRUE, OSMemTestFaultFired());
  EXPECT_EQ(10, size);
  EXPECT_EQ(before, BytesOf(h, size));
  EXPECT_EQ(FALSE, OSUnlockObject(h)) << "no lock left by a failed add";

  p = OSLockObject(h);
  char* t = reinterpret_cast<char*>(1);
  WORD len = 9;
  EXPECT_EQ(ERR_LIST_INDEX, ListGetText(p, TRUE, 1, &t, &len));
  EXPECT_EQ(ERR_LIST_INDEX, ListGetText(p, TRUE, 65535, &t, &len));
  EXPECT_EQ(9, len);
  EXPECT_EQ(ERR_BAD_ARG, ListGetText(nullptr, FALSE, 0, &t, &len));
  EXPECT_EQ(0, ListGetNumEntries(nullptr, TRUE));
  EXPECT_EQ(NOERROR, OSMemFree(h));
}

TEST_F(TextListTest, FullAt65535Bytes) {
  DHANDLE h;
  WORD size;
  ASSERT_EQ(NOERROR, ListAllocate(0, 0, TRUE, &h, nullptr, &size));
  std::string chunk(60000, 'c'), rest(5528, 'r');
  ASSERT_EQ(NOERROR, ListAddEntry(h, TRUE, &size, 0, chunk.data(), 60000));
  EXPECT_EQ(60006, size);
  // 60006 + 2 + 5527 = 65535 fits exactly; one byte more does not.
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

TEST(TextListCheckTest, RejectsEveryOverrun) {
  const BYTE good[] = {0x01, 0x05, 2, 0, 1, 0, 2, 0, 'a', 'b', 'c'};
  EXPECT_EQ(NOERROR, ListCheck(good, TRUE, sizeof good));
  EXPECT_EQ(NOERROR, ListCheck(good, TRUE, sizeof good + 5)) << "slack is fine";
  EXPECT_EQ(NOERROR, ListCheck(good + 2, FALSE, sizeof good - 2));
  // Cut inside the type code, the count, the lengths or the texts.
  for (DWORD size = 0; size < sizeof good; ++size) {
    EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(good, TRUE, size)) << size;
  }
  EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(nullptr, FALSE, 100));
  const Bytes bad[] = {
      {0x00, 0x05, 0, 0},              // wrong type code
      {0x01, 0x05, 0xFF, 0xFF, 0, 0},  // huge count
      {0x01, 0x05, 1, 0, 0xFF, 0xFF, 'a'},     // text past the end
      {0x01, 0x05, 2, 0, 2, 0, 2, 0, 'a', 'b', 'c'},  // only the sum is over
  };
  for (const Bytes& b : bad) {
    EXPECT_EQ(ERR_LIST_CORRUPT, ListCheck(b.data(), TRUE, b.size()))
        << b.size();
  }
  const BYTE count[] = {0x02, 0x01};  // little-endian on any host
  EXPECT_EQ(0x0102, ListGetNumEntries(count, FALSE));
}

}  // namespace
