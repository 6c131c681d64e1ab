// Database-wide values kept in the `meta` table: class, info buffer, ACL,
// replica information and the two modified times.
#include <cstring>

#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {

namespace {

// Steps the meta lookup of `key` onto its row.  Every key this store reads
// is written when the file is made, so a missing row means damage.
STATUS MetaRow(Conn* c, const char* key, sqlite3_stmt** row) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStMetaGet, &st);
  if (!s) return st;
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    *row = s;
    return NOERROR;
  }
  sqlite3_reset(s);
  return rc == SQLITE_DONE ? ERR_DB_CORRUPT : SqlStatus(rc);
}

}  // namespace

STATUS MetaGet(Conn* c, const char* key, std::string* blob) {
  sqlite3_stmt* s = nullptr;
  STATUS st = MetaRow(c, key, &s);
  if (st) return st;
  StmtReset reset(s);
  const void* p = sqlite3_column_blob(s, 0);
  int n = sqlite3_column_bytes(s, 0);
  try {
    blob->assign(p ? static_cast<const char*>(p) : "", n);
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

STATUS MetaGetInt(Conn* c, const char* key, int64_t* value) {
  sqlite3_stmt* s = nullptr;
  STATUS st = MetaRow(c, key, &s);
  if (st) return st;
  StmtReset reset(s);
  if (sqlite3_column_type(s, 0) != SQLITE_INTEGER) return ERR_DB_CORRUPT;
  *value = sqlite3_column_int64(s, 0);
  return NOERROR;
}

STATUS MetaPut(Conn* c, const char* key, const void* data, size_t len) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStMetaPut, &st);
  if (!s) return st;
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, len ? data : "", static_cast<int>(len),
                    SQLITE_STATIC);
  return StepDone(s);
}

STATUS MetaPutInt(Conn* c, const char* key, int64_t value) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStMetaPut, &st);
  if (!s) return st;
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_int64(s, 2, value);
  return StepDone(s);
}

STATUS MetaTouch(Conn* c, WORD noteClass, const TIMEDATE& now) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStMetaSet, &st);
  if (!s) return st;
  sqlite3_bind_text(s, 1,
                    noteClass == NOTE_CLASS_DOCUMENT ? "data_modified"
                                                     : "nondata_modified",
                    -1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, &now, sizeof now, SQLITE_STATIC);
  return StepDone(s);
}

void NewOid(Conn* c, ORIGINATORID* oid) {
  // The note part is a time stamp, strictly increasing within this
  // connection; only one process has a database open at a time, so it is
  // unique in the database as long as the clock does not run backwards.
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  if (TimeDateCompare(&now, &c->lastOidNote) <= 0) {
    int64_t us = TimeToMicros(&c->lastOidNote) + 1;
    TimeFromMicros(us, &now);
  }
  c->lastOidNote = now;
  memset(oid, 0, sizeof *oid);
  oid->File = c->replicaId;
  oid->Note = now;
  oid->Sequence = 0;
}

}  // namespace tavlo::store
