// Database objects: allocation, writes and reads by offset, range errors.
#include <sqlite3.h>

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

// The store keeps an object in chunks of this many bytes; the tests below
// put writes and reads on and around their boundaries.
constexpr DWORD kChunk = 256 * 1024;

// Distinct bytes, so a piece read from the wrong place does not match.
std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = 0x9E3779B9u ^ seed;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x | 1);  // never zero: unwritten bytes are
  }
  return s;
}

// Rows of the chunk table, read with plain SQLite once the store has let
// go of the file.
int ChunkRows(const std::string& path) {
  sqlite3* raw = nullptr;
  int n = -1;
  if (sqlite3_open(path.c_str(), &raw) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(raw, "SELECT count(*) FROM object_chunks", -1, &s,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      n = sqlite3_column_int(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(raw);
  return n;
}

TEST_F(ObjectsTest, WritesAndReadsAcrossChunkBoundaries) {
  DBHANDLE db = NewDb("chunks.qds");
  // Three full chunks and a short last one.
  const DWORD size = 3 * kChunk + 1000;
  std::string want(size, '\0');
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, size, 1, 0, &rrv), NOERROR);
  auto write = [&](DWORD offset, const std::string& bytes) {
    EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, bytes.data(), offset,
                                    static_cast<DWORD>(bytes.size())),
              NOERROR);
    want.replace(offset, bytes.size(), bytes);
  };

  // From inside chunk 0 over all of chunk 1 into chunk 2; chunk 3 unwritten.
  write(kChunk - 100, Pattern(kChunk + 200, 1));
  STATUS st;
  EXPECT_EQ(ReadAll(db, rrv, 0, 0xFFFFFFFF, &st), want);
  EXPECT_EQ(st, NOERROR);
  // Through memory blocks too: exactly chunk 2, then the short last chunk
  // whole, then a piece ending exactly on a boundary.
  for (auto [offset, len] : {std::pair<DWORD, DWORD>{2 * kChunk, kChunk},
                             {3 * kChunk, 1000},
                             {kChunk - 10, 10}}) {
    std::string bytes = Pattern(len, offset);
    DHANDLE h = 0;
    ASSERT_EQ(OSMemAlloc(0x1111, len, &h), NOERROR);
    memcpy(OSLockObject(h), bytes.data(), len);
    OSUnlockObject(h);
    EXPECT_EQ(QDSDbWriteObject(db, rrv, h, offset, len), NOERROR);
    OSMemFree(h);
    want.replace(offset, len, bytes);
  }
  // Rewrite part of a chunk that already has bytes: the rest stays.
  write(kChunk + 5, "hello");
  // Past the end, even by one byte from inside the last chunk.
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "ab", size - 1, 2),
            ERR_OBJECT_RANGE);
  EXPECT_EQ(ReadAll(db, rrv, 0, 0xFFFFFFFF, &st), want);

  // Durable across a reopen; reads from offsets at and around boundaries.
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("chunks.qds", &db), NOERROR);
  for (DWORD offset : {DWORD{0}, kChunk - 1, kChunk, kChunk + 1,
                       2 * kChunk - 100, 2 * kChunk, 3 * kChunk, size - 1,
                       size}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(ReadAll(db, rrv, offset, 0xFFFFFFFF, &st), want.substr(offset));
    EXPECT_EQ(st, NOERROR);
  }
  for (auto [offset, len] :
       {std::pair<DWORD, DWORD>{kChunk - 3, 6}, {kChunk, kChunk},
        {kChunk - 1, kChunk + 2}, {2 * kChunk + 7, 0}, {3 * kChunk - 1, 2},
        {0, size}}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(ReadAll(db, rrv, offset, len, &st), want.substr(offset, len));
    EXPECT_EQ(st, NOERROR);
  }
  ReadAll(db, rrv, size - 10, 11, &st);
  EXPECT_EQ(st, ERR_OBJECT_RANGE);
  ReadAll(db, rrv, size + 1, 0xFFFFFFFF, &st);
  EXPECT_EQ(st, ERR_OBJECT_RANGE);

  // A second object whose only write lands in its middle chunk reads as
  // zeros around it, and one write can fill an object whole.
  DWORD other = 0, whole = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 3 * kChunk, 1, 0, &other), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, other, "mid", kChunk + 1, 3), NOERROR);
  std::string otherWant(3 * kChunk, '\0');
  otherWant.replace(kChunk + 1, 3, "mid");
  EXPECT_EQ(ReadAll(db, other, 0, 0xFFFFFFFF, &st), otherWant);
  EXPECT_EQ(ReadAll(db, other, 2 * kChunk, 0xFFFFFFFF, &st),
            std::string(kChunk, '\0'));
  std::string wholeBytes = Pattern(2 * kChunk + 1, 9);
  ASSERT_EQ(QDSDbAllocObject(db, 2 * kChunk + 1, 1, 0, &whole), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, whole, wholeBytes.data(), 0,
                                  2 * kChunk + 1),
            NOERROR);
  EXPECT_EQ(ReadAll(db, whole, 0, 0xFFFFFFFF, &st), wholeBytes);
  // Freeing one object leaves the others' bytes alone.
  EXPECT_EQ(QDSDbFreeObject(db, other), NOERROR);
  EXPECT_EQ(ReadAll(db, rrv, 0, 0xFFFFFFFF, &st), want);
  EXPECT_EQ(ReadAll(db, whole, 0, 0xFFFFFFFF, &st), wholeBytes);

  // Freeing removes every chunk of an object.
  EXPECT_EQ(QDSDbFreeObject(db, rrv), NOERROR);
  EXPECT_EQ(QDSDbFreeObject(db, whole), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(ChunkRows(Path("chunks.qds")), 0);
}

TEST_F(ObjectsTest, AllocatingWritesNoBytes) {
  // The largest object is allocated at once and reads as zeros; only the
  // chunk a write reaches is stored.
  DBHANDLE db = NewDb("big.qds");
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 0x7FFFFFFF, 1, 0, &rrv), NOERROR);
  DWORD tooBig = 0;
  EXPECT_EQ(QDSDbAllocObject(db, 0x80000000u, 1, 0, &tooBig),
            ERR_ITEM_TOO_BIG);
  DWORD size = 0;
  ASSERT_EQ(QDSDbGetObjectSize(db, rrv, &size), NOERROR);
  EXPECT_EQ(size, 0x7FFFFFFFu);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, "end", 0x7FFFFFFC, 3), NOERROR);
  STATUS st;
  EXPECT_EQ(ReadAll(db, rrv, 0x7FFFFFF0, 0xFFFFFFFF, &st),
            std::string(12, '\0') + "end");
  EXPECT_EQ(st, NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(ChunkRows(Path("big.qds")), 1);
}

}  // namespace
