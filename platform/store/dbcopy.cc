// Copying documents between databases (a new queue is filled from its
// template this way).  Each copied document gets a new note id in the
// destination and keeps its class, originator id, modified time, items and
// item order; its summary index rows are built afresh.  The whole copy is
// one transaction in the destination.
#include <cstring>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

struct SourceNote {
  NOTEID id;
  WORD cls;
};

struct SourceRow {
  int64_t slot;
  int flags;
  std::string name;
  std::string value;
};

STATUS ListNotes(Conn* c, WORD mask, std::vector<SourceNote>* out) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNotesScan, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, 0);
  sqlite3_bind_int64(s, 2, -1);  // no limit
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    SourceNote n;
    n.id = static_cast<NOTEID>(sqlite3_column_int64(s, 0));
    n.cls = static_cast<WORD>(sqlite3_column_int(s, 1));
    if (n.cls & mask) out->push_back(n);
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(rc);
}

// Every row of a document, header included, and its modified time.
STATUS LoadRows(Conn* c, NOTEID id, std::vector<SourceRow>* out,
                int64_t* modified) {
  out->clear();
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemsOfNote, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, KeyFirst(id));
  sqlite3_bind_int64(s, 2, KeyLast(id));
  bool header = false;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    SourceRow r;
    r.slot = sqlite3_column_int64(s, 0) & kSlotMask;
    r.flags = sqlite3_column_int(s, 1);
    int nl = sqlite3_column_bytes(s, 2);
    const char* name = static_cast<const char*>(sqlite3_column_blob(s, 2));
    int vl = sqlite3_column_bytes(s, 3);
    const char* value = static_cast<const char*>(sqlite3_column_blob(s, 3));
    if (r.slot == 0) {
      ORIGINATORID oid;
      if (!DecodeHeader(value, vl, modified, &oid)) return ERR_DB_CORRUPT;
      header = true;
    } else if (vl < 2 || value == nullptr) {
      return ERR_DB_CORRUPT;
    }
    r.name.assign(name ? name : "", nl);
    r.value.assign(value ? value : "", vl);
    out->push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) return SqlStatus(rc);
  return header ? NOERROR : ERR_DB_CORRUPT;
}

STATUS WriteNote(Conn* c, WORD cls, const std::vector<SourceRow>& rows) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteInsert, &st);
  if (!s) return st;
  sqlite3_bind_int(s, 1, cls);
  st = StepDone(s);
  if (st) return st;
  sqlite3_int64 rowid = sqlite3_last_insert_rowid(c->db);
  if (rowid <= 0 || rowid > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
  NOTEID id = static_cast<NOTEID>(rowid);
  for (const SourceRow& r : rows) {
    s = Stmt(c, ForSlot(kStItemInsert, r.slot), &st);
    if (!s) return st;
    sqlite3_bind_int64(s, 1, ItemKey(id, r.slot));
    sqlite3_bind_int(s, 2, r.flags);
    sqlite3_bind_blob(s, 3, r.name.data(), static_cast<int>(r.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, r.value.data(), static_cast<int>(r.value.size()),
                      SQLITE_STATIC);
    st = StepDone(s);
    if (!st && r.slot != 0 && (r.flags & ITEM_SUMMARY)) {
      st = SummaryAddRows(c, id, r.slot, r.name, r.value.data(),
                          r.value.size());
    }
    if (st) return st;
  }
  return NOERROR;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSDbCopy(DBHANDLE source, DBHANDLE dest, TIMEDATE since,
                 WORD noteClassMask) {
  Db* sd = GetDb(source);
  Db* dd = nullptr;
  STATUS wst = GetWritableDb(dest, &dd);
  if (sd == nullptr || dd == nullptr) return ERR_BAD_DB;
  if (wst) return wst;
  Since from = MakeSince(&since);
  try {
    std::vector<SourceNote> notes;
    STATUS st = ListNotes(sd->conn, noteClassMask, &notes);
    if (st) return st;
    if (notes.empty()) return NOERROR;
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    Txn txn(dd->conn);
    st = txn.Begin();
    if (st) return st;
    std::vector<SourceRow> rows;
    bool data = false, nondata = false;
    for (const SourceNote& n : notes) {
      int64_t modified = 0;
      st = LoadRows(sd->conn, n.id, &rows, &modified);
      if (st) return st;
      if (!from.Takes(modified)) continue;
      st = WriteNote(dd->conn, n.cls, rows);
      if (st) return st;
      (n.cls == NOTE_CLASS_DOCUMENT ? data : nondata) = true;
    }
    st = NOERROR;
    if (data) st = MetaTouch(dd->conn, NOTE_CLASS_DOCUMENT, now);
    if (!st && nondata) st = MetaTouch(dd->conn, NOTE_CLASS_VIEW, now);
    if (!st) st = txn.Commit();
    return st;
  } catch (...) {
    return ERR_MEMORY;
  }
}
