// Database objects: allocation, writes and reads by offset, range errors.
#include "store_test_util.h"

namespace {

using ObjectsTest = StoreTest;

std::string ReadAll(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length,
                    STATUS* st) {
  DHANDLE h = 0;
  *st = QDSDbReadObject(db, rrv, offset, length, &h);
  if (*st) {
    EXPECT_EQ(h, 0u);
    return "";
  }
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
  std::string out;
  if (size) {
    const char* p = static_cast<const char*>(OSLockObject(h));
    out.assign(p, size);
    OSUnlockObject(h);
  }
  OSMemFree(h);
  return out;
}

TEST_F(ObjectsTest, AllocWriteReadFree) {
  DBHANDLE db = NewDb("obj.qds");
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 1200, 1, 0, &rrv), NOERROR);
  EXPECT_NE(rrv, 0u);
  DWORD size = 0;
  ASSERT_EQ(QDSDbGetObjectSize(db, rrv, &size), NOERROR);
  EXPECT_EQ(size, 1200u);
  STATUS st;
  EXPECT_EQ(ReadAll(db, rrv, 0, 0xFFFFFFFF, &st), std::string(1200, '\0'));
  EXPECT_EQ(st, NOERROR);

  // Two writes from memory blocks, at 0 and 500.
  DHANDLE a = 0, b = 0;
  ASSERT_EQ(OSMemAlloc(0x1111, 500, &a), NOERROR);
  ASSERT_EQ(OSMemAlloc(0x1111, 700, &b), NOERROR);
  memset(OSLockObject(a), 'a', 500);
  OSUnlockObject(a);
  memset(OSLockObject(b), 'b', 700);
  OSUnlockObject(b);
  EXPECT_EQ(QDSDbWriteObject(db, rrv, a, 0, 500), NOERROR);
  EXPECT_EQ(QDSDbWriteObject(db, rrv, b, 500, 700), NOERROR);
  // Past the end, and a length beyond the source block.
  EXPECT_EQ(QDSDbWriteObject(db, rrv, a, 0, 501), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbWriteObject(db, rrv, b, 600, 700), ERR_OBJECT_RANGE);
  EXPECT_EQ(QDSDbWriteObject(db, rrv, a, 0xFFFFFFF0, 100), ERR_OBJECT_RANGE);
  EXPECT_EQ(QDSDbWriteObject(db, rrv, 0, 0, 1), ERR_BAD_HANDLE);
  OSMemFree(a);
  OSMemFree(b);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "xyz", 1197, 3), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "xyz", 1198, 3), ERR_OBJECT_RANGE);

  // Durable across a reopen.
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("obj.qds", &db), NOERROR);
  std::string want = std::string(500, 'a') + std::string(697, 'b') + "xyz";
  EXPECT_EQ(ReadAll(db, rrv, 0, 0xFFFFFFFF, &st), want);
  EXPECT_EQ(ReadAll(db, rrv, 1000, 0xFFFFFFFF, &st), want.substr(1000));
  EXPECT_EQ(ReadAll(db, rrv, 495, 10, &st), "aaaaabbbbb");
  EXPECT_EQ(ReadAll(db, rrv, 1200, 0xFFFFFFFF, &st), "");  // empty block
  EXPECT_EQ(st, NOERROR);
  ReadAll(db, rrv, 1201, 0xFFFFFFFF, &st);
  EXPECT_EQ(st, ERR_OBJECT_RANGE);
  ReadAll(db, rrv, 1190, 11, &st);
  EXPECT_EQ(st, ERR_OBJECT_RANGE);

  DWORD second = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 0, 1, 0, &second), NOERROR);
  EXPECT_NE(second, rrv);
  EXPECT_EQ(ReadAll(db, second, 0, 0xFFFFFFFF, &st), "");
  EXPECT_EQ(st, NOERROR);

  EXPECT_EQ(QDSDbFreeObject(db, rrv), NOERROR);
  EXPECT_EQ(QDSDbFreeObject(db, rrv), ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(QDSDbGetObjectSize(db, rrv, &size), ERR_OBJECT_NOT_FOUND);
  ReadAll(db, rrv, 0, 1, &st);
  EXPECT_EQ(st, ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "x", 0, 1), ERR_OBJECT_NOT_FOUND);
  // Ids are not reused.
  DWORD third = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 10, 1, 0, &third), NOERROR);
  EXPECT_GT(third, second);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
