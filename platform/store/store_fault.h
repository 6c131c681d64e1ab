// Store fault injection (see QDSTestFailNth in tavlo/testing.h).  Every
// statement step and incremental blob access of the store goes through the
// wrappers below, so a test can make the n-th one fail as if the disk had
// failed and prove that each failure rolls back its transaction and leaves
// the caller's documents usable.  Unarmed, a wrapper is one counter test
// in front of the SQLite call.
#ifndef TAVLO_STORE_STORE_FAULT_H_
#define TAVLO_STORE_STORE_FAULT_H_

#include <sqlite3.h>

namespace tavlo::store {

// The SQLite result code the armed fault reports at this access, or
// SQLITE_OK when the access is to run normally.
int FaultRc();

inline int FaultStep(sqlite3_stmt* s) {
  int rc = FaultRc();
  return rc != SQLITE_OK ? rc : (sqlite3_step)(s);
}
inline int FaultBlobOpen(sqlite3* db, const char* dbName, const char* table,
                         const char* column, sqlite3_int64 row, int flags,
                         sqlite3_blob** out) {
  int rc = FaultRc();
  if (rc != SQLITE_OK) {
    *out = nullptr;
    return rc;
  }
  return (sqlite3_blob_open)(db, dbName, table, column, row, flags, out);
}
inline int FaultBlobReopen(sqlite3_blob* b, sqlite3_int64 row) {
  int rc = FaultRc();
  return rc != SQLITE_OK ? rc : (sqlite3_blob_reopen)(b, row);
}
inline int FaultBlobRead(sqlite3_blob* b, void* out, int n, int at) {
  int rc = FaultRc();
  return rc != SQLITE_OK ? rc : (sqlite3_blob_read)(b, out, n, at);
}
inline int FaultBlobWrite(sqlite3_blob* b, const void* in, int n, int at) {
  int rc = FaultRc();
  return rc != SQLITE_OK ? rc : (sqlite3_blob_write)(b, in, n, at);
}

}  // namespace tavlo::store

#define sqlite3_step(s) ::tavlo::store::FaultStep(s)
#define sqlite3_blob_open(d, n, t, c, r, f, o) \
  ::tavlo::store::FaultBlobOpen(d, n, t, c, r, f, o)
#define sqlite3_blob_reopen(b, r) ::tavlo::store::FaultBlobReopen(b, r)
#define sqlite3_blob_read(b, p, n, a) ::tavlo::store::FaultBlobRead(b, p, n, a)
#define sqlite3_blob_write(b, p, n, a) \
  ::tavlo::store::FaultBlobWrite(b, p, n, a)

#endif  // TAVLO_STORE_STORE_FAULT_H_
