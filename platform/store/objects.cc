// Database objects: byte arrays allocated at full size (zero-filled) and
// then written in place by offset.  Writes go through SQLite's incremental
// blob I/O, so a 1-MB attachment written in 64-KB pieces never rewrites
// the whole blob.  Each call is its own transaction (autocommit): objects
// are durable on return and not tied to any document's save.
#include <cstring>

#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

STATUS OpenBlob(Conn* c, DWORD rrv, int writable, sqlite3_blob** out) {
  int rc = sqlite3_blob_open(c->db, "main", "objects", "data", rrv, writable,
                             out);
  if (rc == SQLITE_OK) return NOERROR;
  sqlite3_blob_close(*out);
  *out = nullptr;
  // A missing row is reported as SQLITE_ERROR.
  return (rc & 0xFF) == SQLITE_ERROR ? ERR_OBJECT_NOT_FOUND : SqlStatus(rc);
}

STATUS WriteBytes(Conn* c, DWORD rrv, const void* data, DWORD offset,
                  DWORD length) {
  sqlite3_blob* b = nullptr;
  STATUS st = OpenBlob(c, rrv, 1, &b);
  if (st) return st;
  uint64_t size = static_cast<uint64_t>(sqlite3_blob_bytes(b));
  if (uint64_t{offset} + length > size) {
    sqlite3_blob_close(b);
    return ERR_OBJECT_RANGE;
  }
  int rc = length ? sqlite3_blob_write(b, data, static_cast<int>(length),
                                       static_cast<int>(offset))
                  : SQLITE_OK;
  int rc2 = sqlite3_blob_close(b);  // commits the autocommit transaction
  if (rc != SQLITE_OK) return SqlStatus(rc);
  return SqlStatus(rc2);
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSDbAllocObject(DBHANDLE db, DWORD size, WORD objClass, WORD privs,
                        DWORD* retRRV) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retRRV == nullptr) return ERR_BAD_ARG;
  *retRRV = 0;
  if (size > 0x7FFFFFFFu) return ERR_ITEM_TOO_BIG;
  Conn* c = d->conn;
  STATUS st = NOERROR;
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
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(d->conn, kStObjDelete, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, rrv);
  st = StepDone(s);
  if (st) return st;
  return sqlite3_changes(d->conn->db) ? NOERROR : ERR_OBJECT_NOT_FOUND;
}

STATUS QDSDbWriteObject(DBHANDLE db, DWORD rrv, DHANDLE hBuffer, DWORD offset,
                        DWORD length) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  DWORD size = 0;
  STATUS st = OSMemGetSize(hBuffer, &size);
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
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (data == nullptr && length) return ERR_BAD_ARG;
  return WriteBytes(d->conn, rrv, data, offset, length);
}

STATUS QDSDbReadObject(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length,
                       DHANDLE* retBuffer) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retBuffer == nullptr) return ERR_BAD_ARG;
  *retBuffer = NULLHANDLE;
  sqlite3_blob* b = nullptr;
  STATUS st = OpenBlob(d->conn, rrv, 0, &b);
  if (st) return st;
  uint64_t size = static_cast<uint64_t>(sqlite3_blob_bytes(b));
  uint64_t n = length;
  if (offset > size) {
    st = ERR_OBJECT_RANGE;
  } else if (length == 0xFFFFFFFFu) {
    n = size - offset;
  } else if (uint64_t{offset} + length > size) {
    st = ERR_OBJECT_RANGE;
  }
  DHANDLE h = NULLHANDLE;
  if (!st) st = OSMemAlloc(kTagObjectRead, static_cast<DWORD>(n), &h);
  if (!st && n) {
    void* p = OSLockObject(h);
    if (p == nullptr) {
      st = ERR_MEMORY;
    } else {
      st = SqlStatus(sqlite3_blob_read(b, p, static_cast<int>(n),
                                       static_cast<int>(offset)));
      OSUnlockObject(h);
    }
  }
  sqlite3_blob_close(b);
  if (st) {
    if (h) OSMemFree(h);
    return st;
  }
  *retBuffer = h;
  return NOERROR;
}

STATUS QDSDbGetObjectSize(DBHANDLE db, DWORD rrv, DWORD* retSize) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retSize == nullptr) return ERR_BAD_ARG;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(d->conn, kStObjSize, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, rrv);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  *retSize = static_cast<DWORD>(sqlite3_column_int64(s, 0));
  return NOERROR;
}
