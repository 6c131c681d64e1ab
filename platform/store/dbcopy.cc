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
  int64_t modified;
  std::string oid;
};

struct SourceItem {
  int64_t seq;
  int flags;
  std::string name;
  std::string value;
};

STATUS ListNotes(Conn* c, WORD mask, const Since& since,
                 std::vector<SourceNote>* out) {
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
    n.modified = sqlite3_column_int64(s, 2);
    if (sqlite3_column_bytes(s, 3) != sizeof(ORIGINATORID)) return ERR_DB_CORRUPT;
    n.oid.assign(static_cast<const char*>(sqlite3_column_blob(s, 3)),
                 sizeof(ORIGINATORID));
    if ((n.cls & mask) && since.Takes(n.modified)) out->push_back(std::move(n));
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(rc);
}

STATUS LoadItems(Conn* c, NOTEID id, std::vector<SourceItem>* out) {
  out->clear();
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemsOfNote, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, ItemKey(id, 0));
  sqlite3_bind_int64(s, 2, ItemKey(id, kSeqMask));
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    SourceItem it;
    it.seq = sqlite3_column_int64(s, 0) & kSeqMask;
    it.flags = sqlite3_column_int(s, 1);
    int nl = sqlite3_column_bytes(s, 2);
    const char* name = static_cast<const char*>(sqlite3_column_blob(s, 2));
    int vl = sqlite3_column_bytes(s, 3);
    const char* value = static_cast<const char*>(sqlite3_column_blob(s, 3));
    if (vl < 2 || value == nullptr) return ERR_DB_CORRUPT;
    it.name.assign(name ? name : "", nl);
    it.value.assign(value, vl);
    out->push_back(std::move(it));
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(rc);
}

STATUS WriteNote(Conn* c, const SourceNote& n,
                 const std::vector<SourceItem>& items) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteInsert, &st);
  if (!s) return st;
  sqlite3_bind_int(s, 1, n.cls);
  sqlite3_bind_int64(s, 2, n.modified);
  sqlite3_bind_blob(s, 3, n.oid.data(), static_cast<int>(n.oid.size()),
                    SQLITE_STATIC);
  st = StepDone(s);
  if (st) return st;
  sqlite3_int64 rowid = sqlite3_last_insert_rowid(c->db);
  if (rowid <= 0 || rowid > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
  NOTEID id = static_cast<NOTEID>(rowid);
  for (const SourceItem& it : items) {
    s = Stmt(c, kStItemInsert, &st);
    if (!s) return st;
    sqlite3_bind_int64(s, 1, ItemKey(id, it.seq));
    sqlite3_bind_int(s, 2, it.flags);
    sqlite3_bind_blob(s, 3, it.name.data(), static_cast<int>(it.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, it.value.data(), static_cast<int>(it.value.size()),
                      SQLITE_STATIC);
    st = StepDone(s);
    if (!st && (it.flags & ITEM_SUMMARY)) {
      st = SummaryAddRows(c, id, it.seq, it.name, it.value.data(),
                          it.value.size());
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
  Db* dd = GetDb(dest);
  if (sd == nullptr || dd == nullptr) return ERR_BAD_DB;
  Since from = MakeSince(&since);
  try {
    std::vector<SourceNote> notes;
    STATUS st = ListNotes(sd->conn, noteClassMask, from, &notes);
    if (st) return st;
    if (notes.empty()) return NOERROR;
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    Txn txn(dd->conn);
    st = txn.Begin();
    if (st) return st;
    std::vector<SourceItem> items;
    bool data = false, nondata = false;
    for (const SourceNote& n : notes) {
      st = LoadItems(sd->conn, n.id, &items);
      if (!st) st = WriteNote(dd->conn, n, items);
      if (st) return st;
      (n.cls == NOTE_CLASS_DOCUMENT ? data : nondata) = true;
    }
    if (data) st = MetaTouch(dd->conn, NOTE_CLASS_DOCUMENT, now);
    if (!st && nondata) st = MetaTouch(dd->conn, NOTE_CLASS_VIEW, now);
    if (!st) st = txn.Commit();
    return st;
  } catch (...) {
    return ERR_MEMORY;
  }
}
