// Database objects: writes and reads by offset across chunk boundaries.
#include "store_test_util.h"

namespace {

using ObjectsTest = StoreTest;

constexpr DWORD kAll = 0xFFFFFFFF;
constexpr DWORD kChunk = 256 * 1024;  // the store's chunk size

std::string Read(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length, STATUS* st = nullptr) {
  DHANDLE h = 0;
  STATUS s = QDSDbReadObject(db, rrv, offset, length, &h);
  if (st) *st = s;
  if (s) return "";
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
  std::string out(size ? static_cast<const char*>(OSLockObject(h)) : "", size);
  if (size) OSUnlockObject(h);
  OSMemFree(h);
  return out;
}

TEST_F(ObjectsTest, WritesAndReadsByOffsetAcrossChunks) {
  DBHANDLE db = NewDb("obj.qds");
  const DWORD size = 3 * kChunk + 1000;
  std::string want(size, '\0'), bytes(kChunk + 200, 'p');  // across chunk 1 whole
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, size, 1, 0, &rrv), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, bytes.data(), kChunk - 100,
                                  static_cast<DWORD>(bytes.size())), NOERROR);
  want.replace(kChunk - 100, bytes.size(), bytes);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "ab", size - 1, 2), ERR_OBJECT_RANGE);
  for (DWORD offset : {0u, kChunk - 1, kChunk, 2 * kChunk - 100}) {
    EXPECT_EQ(Read(db, rrv, offset, kAll), want.substr(offset)) << offset;
  }
  STATUS st;
  Read(db, rrv, size - 10, 11, &st);
  EXPECT_EQ(st, ERR_OBJECT_RANGE);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
