// Database objects: byte arrays of a fixed size, zero-filled, then written
// in place by offset.  Each call is its own transaction: objects are
// durable on return and not tied to any document's save.
//
// An object is stored as fixed-size chunks (rows of `object_chunks`, see
// schema.cc), not as one blob.  With one blob, every write had to open a
// blob handle and have SQLite walk the object's overflow-page chain from
// its first page to the offset, so filling a large attachment piece by
// piece cost time quadratic in its size, and the allocation wrote the
// whole object as zeros first.  Now a write touches only the chunks it
// covers: a chunk it covers whole is inserted as it stands, a chunk it
// covers in part is written in place through a blob handle whose walk is
// at most one chunk long.  A chunk never written has no row and reads as
// zeros, so an allocation writes nothing but the object's own row.
#include <algorithm>
#include <cstring>

#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

// 256 KiB: large enough that a 1 MiB write is a handful of row inserts,
// small enough that a partial write's blob walk and the zeros a first
// partial write puts into a fresh chunk stay short.
constexpr int kChunkBits = 18;
constexpr uint64_t kChunkSize = uint64_t{1} << kChunkBits;
// Chunk rows are keyed rrv << kIndexBits | chunk index.  Objects are at
// most 0x7FFFFFFF bytes, so the index fits and a key stays below 2^45.
constexpr int kIndexBits = 13;
constexpr uint64_t kMaxObjectSize = 0x7FFFFFFFu;
static_assert((kMaxObjectSize >> kChunkBits) < (uint64_t{1} << kIndexBits));

sqlite3_int64 ChunkKey(DWORD rrv, uint64_t index) {
  return static_cast<sqlite3_int64>((uint64_t{rrv} << kIndexBits) | index);
}

// Length of chunk `index` of an object of `size` bytes: every chunk but
// the last is full.
uint64_t ChunkLen(uint64_t size, uint64_t index) {
  return std::min(kChunkSize, size - (index << kChunkBits));
}

STATUS ObjectSize(Conn* c, DWORD rrv, uint64_t* size) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStObjSize, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, rrv);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  sqlite3_int64 v = sqlite3_column_int64(s, 0);
  if (v < 0 || static_cast<uint64_t>(v) > kMaxObjectSize) return ERR_DB_CORRUPT;
  *size = static_cast<uint64_t>(v);
  return NOERROR;
}

// Maps a failed blob open or access; the row was found by key beforehand,
// so anything else is damage or I/O.
STATUS BlobStatus(int rc) {
  STATUS st = SqlStatus(rc);
  return st == NOERROR ? ERR_DB_IO : st;
}

// A whole chunk, inserted as it stands (replacing what was there).
STATUS PutChunk(Conn* c, sqlite3_int64 key, const char* src, uint64_t len) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStChunkPut, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, key);
  sqlite3_bind_blob(s, 2, src, static_cast<int>(len), SQLITE_STATIC);
  st = StepDone(s);
  sqlite3_bind_null(s, 2);  // drop the caller's address
  return st;
}

// Part of a chunk, written in place; a chunk without a row gets one of
// zeros first.
STATUS PatchChunk(Conn* c, sqlite3_int64 key, uint64_t chunkLen,
                  const char* src, uint64_t at, uint64_t len) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStChunkEnsure, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, key);
  sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(chunkLen));
  st = StepDone(s);
  if (st) return st;
  sqlite3_blob* b = nullptr;
  int rc = sqlite3_blob_open(c->db, "main", "object_chunks", "data", key, 1,
                             &b);
  if (rc != SQLITE_OK) {
    sqlite3_blob_close(b);
    return BlobStatus(rc);
  }
  if (static_cast<uint64_t>(sqlite3_blob_bytes(b)) != chunkLen) {
    sqlite3_blob_close(b);
    return ERR_DB_CORRUPT;
  }
  rc = sqlite3_blob_write(b, src, static_cast<int>(len), static_cast<int>(at));
  int rc2 = sqlite3_blob_close(b);
  if (rc != SQLITE_OK) return BlobStatus(rc);
  return rc2 == SQLITE_OK ? NOERROR : BlobStatus(rc2);
}

STATUS WriteBytes(Conn* c, DWORD rrv, const void* data, DWORD offset,
                  DWORD length) {
  Txn txn(c);
  STATUS st = txn.Begin();
  if (st) return st;
  uint64_t size = 0;
  st = ObjectSize(c, rrv, &size);
  if (st) return st;
  const uint64_t end = uint64_t{offset} + length;
  if (end > size) return ERR_OBJECT_RANGE;
  const char* src = static_cast<const char*>(data);
  for (uint64_t pos = offset; pos < end;) {
    uint64_t index = pos >> kChunkBits;
    uint64_t chunkStart = index << kChunkBits;
    uint64_t chunkLen = ChunkLen(size, index);
    uint64_t n = std::min(end, chunkStart + chunkLen) - pos;
    const char* from = src + (pos - offset);
    st = n == chunkLen
             ? PutChunk(c, ChunkKey(rrv, index), from, n)
             : PatchChunk(c, ChunkKey(rrv, index), chunkLen, from,
                          pos - chunkStart, n);
    if (st) return st;
    pos += n;
  }
  return txn.Commit();
}

// Copies bytes [offset, offset + n) of an object of `size` bytes into
// `out`: chunk by chunk through one blob handle moved from row to row,
// zeros where a chunk has no row.
STATUS ReadBytes(Conn* c, DWORD rrv, uint64_t size, uint64_t offset,
                 uint64_t n, char* out) {
  const uint64_t end = offset + n;
  const uint64_t first = offset >> kChunkBits;
  const uint64_t last = (end - 1) >> kChunkBits;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStChunksList, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, ChunkKey(rrv, first));
  sqlite3_bind_int64(s, 2, ChunkKey(rrv, last));
  sqlite3_blob* b = nullptr;
  uint64_t pos = offset;  // everything before it is filled in
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    sqlite3_int64 key = sqlite3_column_int64(s, 0);
    uint64_t index = static_cast<uint64_t>(key) & ((1u << kIndexBits) - 1);
    uint64_t chunkStart = index << kChunkBits;
    uint64_t chunkLen = ChunkLen(size, index);
    uint64_t from = std::max(pos, chunkStart);
    if (from > pos) memset(out + (pos - offset), 0, from - pos);
    uint64_t to = std::min(end, chunkStart + chunkLen);
    rc = b == nullptr ? sqlite3_blob_open(c->db, "main", "object_chunks",
                                          "data", key, 0, &b)
                      : sqlite3_blob_reopen(b, key);
    if (rc != SQLITE_OK) {
      st = BlobStatus(rc);
      break;
    }
    if (static_cast<uint64_t>(sqlite3_blob_bytes(b)) != chunkLen) {
      st = ERR_DB_CORRUPT;
      break;
    }
    rc = sqlite3_blob_read(b, out + (from - offset), static_cast<int>(to - from),
                           static_cast<int>(from - chunkStart));
    if (rc != SQLITE_OK) {
      st = BlobStatus(rc);
      break;
    }
    pos = to;
  }
  if (!st && rc != SQLITE_DONE) st = SqlStatus(rc);
  sqlite3_blob_close(b);
  if (st) return st;
  if (pos < end) memset(out + (pos - offset), 0, end - pos);
  return NOERROR;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSDbAllocObject(DBHANDLE db, DWORD size, WORD objClass, WORD privs,
                        DWORD* retRRV) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (retRRV == nullptr) return ERR_BAD_ARG;
  *retRRV = 0;
  if (size > kMaxObjectSize) return ERR_ITEM_TOO_BIG;
  Conn* c = d->conn;
  sqlite3_stmt* s = Stmt(c, kStObjInsert, &st);
  if (!s) return st;
  sqlite3_bind_int(s, 1, objClass);
  sqlite3_bind_int(s, 2, privs);
  sqlite3_bind_int64(s, 3, size);
  st = StepDone(s);
  if (st) return st;
  sqlite3_int64 rrv = sqlite3_last_insert_rowid(c->db);
  if (rrv <= 0 || rrv > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
  *retRRV = static_cast<DWORD>(rrv);
  return NOERROR;
}

STATUS QDSDbFreeObject(DBHANDLE db, DWORD rrv) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  Conn* c = d->conn;
  Txn txn(c);
  st = txn.Begin();
  if (st) return st;
  sqlite3_stmt* s = Stmt(c, kStObjDelete, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, rrv);
  st = StepDone(s);
  if (st) return st;
  if (sqlite3_changes(c->db) == 0) return ERR_OBJECT_NOT_FOUND;
  s = Stmt(c, kStChunksDelete, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ChunkKey(rrv, 0));
  sqlite3_bind_int64(s, 2, ChunkKey(rrv, (uint64_t{1} << kIndexBits) - 1));
  st = StepDone(s);
  if (st) return st;
  return txn.Commit();
}

STATUS QDSDbWriteObject(DBHANDLE db, DWORD rrv, DHANDLE hBuffer, DWORD offset,
                        DWORD length) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  DWORD size = 0;
  st = OSMemGetSize(hBuffer, &size);
  if (st) return st;
  if (length > size) return ERR_BAD_ARG;
  const void* p = OSLockObject(hBuffer);
  if (p == nullptr) return ERR_MEMORY;
  st = WriteBytes(d->conn, rrv, p, offset, length);
  OSUnlockObject(hBuffer);
  return st;
}

STATUS QDSDbWriteObjectBytes(DBHANDLE db, DWORD rrv, const void* data,
                             DWORD offset, DWORD length) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (data == nullptr && length) return ERR_BAD_ARG;
  return WriteBytes(d->conn, rrv, data, offset, length);
}

STATUS QDSDbReadObject(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length,
                       DHANDLE* retBuffer) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retBuffer == nullptr) return ERR_BAD_ARG;
  *retBuffer = NULLHANDLE;
  uint64_t size = 0;
  STATUS st = ObjectSize(d->conn, rrv, &size);
  if (st) return st;
  uint64_t n = length;
  if (offset > size) return ERR_OBJECT_RANGE;
  if (length == 0xFFFFFFFFu) {
    n = size - offset;
  } else if (uint64_t{offset} + length > size) {
    return ERR_OBJECT_RANGE;
  }
  DHANDLE h = NULLHANDLE;
  st = OSMemAlloc(kTagObjectRead, static_cast<DWORD>(n), &h);
  if (st) return st;
  if (n) {
    char* p = static_cast<char*>(OSLockObject(h));
    if (p == nullptr) {
      st = ERR_MEMORY;
    } else {
      st = ReadBytes(d->conn, rrv, size, offset, n, p);
      OSUnlockObject(h);
    }
  }
  if (st) {
    OSMemFree(h);
    return st;
  }
  *retBuffer = h;
  return NOERROR;
}

STATUS QDSDbGetObjectSize(DBHANDLE db, DWORD rrv, DWORD* retSize) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retSize == nullptr) return ERR_BAD_ARG;
  uint64_t size = 0;
  STATUS st = ObjectSize(d->conn, rrv, &size);
  if (st) return st;
  *retSize = static_cast<DWORD>(size);
  return NOERROR;
}
