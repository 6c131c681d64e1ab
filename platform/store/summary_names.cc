// QDSSummaryItemExists: whether any document carries a searchable summary
// item of a name.  The search index is keyed by the folded name first, so
// the answer is one b-tree descent whatever the size of the database.
//
// The statement is prepared here on the connection itself rather than
// taken from the connection's statement cache: it runs once per name an
// operator types, so caching it would buy nothing.
#include <string>

#include "store_int.h"

using tavlo::store::Db;
using tavlo::store::GetDb;

STATUS QDSSummaryItemExists(DBHANDLE db, const char* name, BOOL* retExists) {
  if (retExists) *retExists = FALSE;
  if (!name || !retExists) return ERR_BAD_ARG;
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  sqlite3* conn = d->conn->db;

  std::string nameLc;
  try {
    tavlo::store::LowerAscii(name, &nameLc);
  } catch (...) {
    return ERR_MEMORY;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(
      conn, "SELECT 1 FROM summary WHERE name_lc=?1 LIMIT 1", -1, &s, nullptr);
  if (rc != SQLITE_OK) return tavlo::store::SqlStatus(conn, rc);
  sqlite3_bind_text(s, 1, nameLc.data(), static_cast<int>(nameLc.size()),
                    SQLITE_STATIC);
  rc = sqlite3_step(s);
  STATUS st = NOERROR;
  if (rc == SQLITE_ROW) {
    *retExists = TRUE;
  } else if (rc != SQLITE_DONE) {
    st = tavlo::store::SqlStatus(conn, rc);
  }
  sqlite3_finalize(s);
  return st;
}
