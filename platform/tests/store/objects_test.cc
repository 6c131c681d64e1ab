// Database objects: allocation, writes and reads by offset across the
// store's chunk boundaries, range errors, freeing.
#include "store_test_util.h"

namespace {

using ObjectsTest = StoreTest;

constexpr DWORD kAll = 0xFFFFFFFF;
constexpr DWORD kChunk = 256 * 1024;  // the store's chunk size

// Reads through QDSDbReadObject; `*st` gets its status.
std::string Read(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length,
                 STATUS* st = nullptr) {
  DHANDLE h = 0;
  STATUS s = QDSDbReadObject(db, rrv, offset, length, &h);
  if (st) *st = s;
  if (s) {
    if (!st) ADD_FAILURE() << "read failed: " << s;
    EXPECT_EQ(h, 0u);
    return "";
  }
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
  std::string out(size ? static_cast<const char*>(OSLockObject(h)) : "", size);
  if (size) OSUnlockObject(h);
  OSMemFree(h);
  return out;
}

// Distinct, never-zero bytes, so a piece read from the wrong place or left
// unwritten does not match.
std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = 0x9E3779B9u ^ seed;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x | 1);
  }
  return s;
}

TEST_F(ObjectsTest, WritesAndReadsByOffsetAcrossChunks) {
  DBHANDLE db = NewDb("obj.qds");
  const DWORD size = 3 * kChunk + 1000;  // three full chunks, a short last one
  std::string want(size, '\0');
  DWORD rrv = 0, size2 = 0;
  ASSERT_EQ(QDSDbAllocObject(db, size, 1, 0, &rrv), NOERROR);
  ASSERT_EQ(QDSDbGetObjectSize(db, rrv, &size2), NOERROR);
  EXPECT_EQ(size2, size);
  EXPECT_EQ(Read(db, rrv, 0, kAll), want);  // zeros before any write

  // From bytes: across chunk 1 whole; rewriting part of a written chunk.
  for (auto [offset, bytes] :
       {std::pair<DWORD, std::string>{kChunk - 100, Pattern(kChunk + 200, 1)},
        {kChunk + 5, "hello"}}) {
    EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, bytes.data(), offset,
                                    static_cast<DWORD>(bytes.size())),
              NOERROR);
    want.replace(offset, bytes.size(), bytes);
  }
  // From memory blocks: exactly chunk 2, the short last chunk whole, a
  // piece ending on a boundary.
  for (auto [offset, len] : {std::pair<DWORD, DWORD>{2 * kChunk, kChunk},
                             {3 * kChunk, 1000}, {kChunk - 10, 10}}) {
    std::string bytes = Pattern(len, offset);
    DHANDLE h = 0;
    ASSERT_EQ(OSMemAlloc(0x1111, len, &h), NOERROR);
    memcpy(OSLockObject(h), bytes.data(), len);
    OSUnlockObject(h);
    EXPECT_EQ(QDSDbWriteObject(db, rrv, h, offset, len), NOERROR);
    // Past the end of the object or of the source block: nothing written.
    EXPECT_EQ(QDSDbWriteObject(db, rrv, h, offset, len + 1), ERR_BAD_ARG);
    EXPECT_EQ(QDSDbWriteObject(db, rrv, h, size - len + 1, len), ERR_OBJECT_RANGE);
    EXPECT_EQ(QDSDbWriteObject(db, rrv, h, 0xFFFFFFF0, len), ERR_OBJECT_RANGE);
    OSMemFree(h);
    want.replace(offset, len, bytes);
  }
  EXPECT_EQ(QDSDbWriteObject(db, rrv, 0, 0, 1), ERR_BAD_HANDLE);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "ab", size - 1, 2), ERR_OBJECT_RANGE);
  EXPECT_EQ(Read(db, rrv, 0, kAll), want);

  // Durable across a reopen; reads at and around boundaries.
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("obj.qds", &db), NOERROR);
  for (DWORD offset : {DWORD{0}, kChunk - 1, kChunk, kChunk + 1, 2 * kChunk - 100,
                       3 * kChunk, size - 1, size}) {
    EXPECT_EQ(Read(db, rrv, offset, kAll), want.substr(offset)) << offset;
  }
  for (auto [offset, len] :
       {std::pair<DWORD, DWORD>{kChunk - 3, 6}, {kChunk, kChunk},
        {kChunk - 1, kChunk + 2}, {2 * kChunk + 7, 0}, {0, size}}) {
    EXPECT_EQ(Read(db, rrv, offset, len), want.substr(offset, len)) << offset;
  }
  STATUS st;
  for (auto [offset, len] : {std::pair<DWORD, DWORD>{size - 10, 11}, {size + 1, kAll}}) {
    Read(db, rrv, offset, len, &st);
    EXPECT_EQ(st, ERR_OBJECT_RANGE) << offset;
  }

  // An object written only in its middle chunk reads as zeros around it;
  // an empty object reads empty; freeing one leaves the others alone.
  DWORD mid = 0, empty = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 3 * kChunk, 1, 0, &mid), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, mid, "mid", kChunk + 1, 3), NOERROR);
  std::string midWant(3 * kChunk, '\0');
  midWant.replace(kChunk + 1, 3, "mid");
  EXPECT_EQ(Read(db, mid, 0, kAll), midWant);
  ASSERT_EQ(QDSDbAllocObject(db, 0, 1, 0, &empty), NOERROR);
  EXPECT_EQ(Read(db, empty, 0, kAll, &st), "");
  EXPECT_EQ(st, NOERROR);
  EXPECT_EQ(QDSDbFreeObject(db, mid), NOERROR);
  EXPECT_EQ(Read(db, rrv, 0, kAll), want);

  // A freed object is gone for every call; ids are not reused.
  EXPECT_EQ(QDSDbFreeObject(db, rrv), NOERROR);
  EXPECT_EQ(QDSDbFreeObject(db, rrv), ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(QDSDbGetObjectSize(db, rrv, &size2), ERR_OBJECT_NOT_FOUND);
  Read(db, rrv, 0, 1, &st);
  EXPECT_EQ(st, ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "x", 0, 1), ERR_OBJECT_NOT_FOUND);
  DWORD next = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 10, 1, 0, &next), NOERROR);
  EXPECT_GT(next, empty);
  EXPECT_EQ(QDSDbFreeObject(db, next), NOERROR);
  EXPECT_EQ(QDSDbFreeObject(db, empty), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  // Freeing removed every chunk row.
  EXPECT_EQ(Sql("obj.qds", "SELECT count(*) FROM object_chunks"), 0);
}

TEST_F(ObjectsTest, AllocatingWritesNoBytes) {
  // The largest object is allocated at once and reads as zeros; only the
  // chunk a write reaches is stored.
  DBHANDLE db = NewDb("big.qds");
  DWORD rrv = 0, tooBig = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 0x7FFFFFFF, 1, 0, &rrv), NOERROR);
  EXPECT_EQ(QDSDbAllocObject(db, 0x80000000u, 1, 0, &tooBig), ERR_ITEM_TOO_BIG);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "end", 0x7FFFFFFC, 3), NOERROR);
  EXPECT_EQ(Read(db, rrv, 0x7FFFFFF0, kAll), std::string(12, '\0') + "end");
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(Sql("big.qds", "SELECT count(*) FROM object_chunks"), 1);
}

}  // namespace
