// Saving and deleting documents.  A save is one transaction that writes
// only what changed since the document was loaded or last saved: rows of
// deleted items are removed, appended items are inserted, and the summary
// index follows both.  The document's rows are therefore either all old or
// all new after a crash, and a save that touches three items costs three
// item writes, whatever the size of the rest of the document.
#include <cstring>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

STATUS InsertItem(Conn* c, NOTEID id, int64_t seq, const Item& it) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemInsert, &st);
  if (!s) return st;
  const char* p = OSLockBlock(it.bid);
  if (p == nullptr) return ERR_MEMORY;
  sqlite3_bind_int64(s, 1, ItemKey(id, seq));
  sqlite3_bind_int(s, 2, it.flags);
  sqlite3_bind_blob(s, 3, it.name.empty() ? "" : it.name.data(),
                    static_cast<int>(it.name.size()), SQLITE_STATIC);
  sqlite3_bind_blob(s, 4, p, static_cast<int>(it.len), SQLITE_STATIC);
  st = StepDone(s);
  if (!st && (it.flags & ITEM_SUMMARY)) {
    st = SummaryAddRows(c, id, seq, it.name, p, it.len);
  }
  OSUnlockBlock(it.bid);
  return st;
}

STATUS DeleteRows(Conn* c, NOTEID id) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemsDeleteNote, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ItemKey(id, 0));
  sqlite3_bind_int64(s, 2, ItemKey(id, kSeqMask));
  st = StepDone(s);
  if (st) return st;
  s = Stmt(c, kStSummaryDeleteNote, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, id);
  return StepDone(s);
}

STATUS DeleteItemRow(Conn* c, NOTEID id, const PendingDelete& del) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemDelete, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ItemKey(id, del.seq));
  st = StepDone(s);
  if (st || !del.summary) return st;
  s = Stmt(c, kStSummaryDeleteItem, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_int64(s, 2, del.seq);
  return StepDone(s);
}

// Writes the document inside an open transaction; on success *retId is
// its note id.  Nothing in `n` is changed here, so a failed save leaves
// the document exactly as it was in memory.
STATUS Write(Conn* c, const Note& n, bool isNew, bool full,
             const ORIGINATORID& oid, const TIMEDATE& now, NOTEID* retId) {
  STATUS st = NOERROR;
  NOTEID id = n.id;
  int64_t micros = TimeToMicros(&now);
  if (isNew) {
    sqlite3_stmt* s = Stmt(c, kStNoteInsert, &st);
    if (!s) return st;
    sqlite3_bind_int(s, 1, n.noteClass);
    sqlite3_bind_int64(s, 2, micros);
    sqlite3_bind_blob(s, 3, &oid, sizeof oid, SQLITE_STATIC);
    st = StepDone(s);
    if (st) return st;
    sqlite3_int64 rowid = sqlite3_last_insert_rowid(c->db);
    if (rowid <= 0 || rowid > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
    id = static_cast<NOTEID>(rowid);
  } else {
    sqlite3_stmt* s = Stmt(c, kStNoteTouch, &st);
    if (!s) return st;
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_int64(s, 2, micros);
    sqlite3_bind_blob(s, 3, &oid, sizeof oid, SQLITE_STATIC);
    st = StepDone(s);
    if (st) return st;
    if (sqlite3_changes(c->db) == 0) return ERR_NOTE_DELETED;
    if (n.classDirty) {
      s = Stmt(c, kStNoteSetClass, &st);
      if (!s) return st;
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int(s, 2, n.noteClass);
      st = StepDone(s);
      if (st) return st;
    }
  }
  if (full) {
    if (!isNew) st = DeleteRows(c, id);
    for (size_t i = 0; !st && i < n.items.size(); ++i) {
      st = InsertItem(c, id, static_cast<int64_t>(i) + 1, n.items[i]);
    }
  } else {
    for (const PendingDelete& del : n.deleted) {
      st = DeleteItemRow(c, id, del);
      if (st) return st;
    }
    int64_t seq = n.nextSeq;
    for (const Item& it : n.items) {
      if (it.seq != 0) continue;
      st = InsertItem(c, id, seq++, it);
      if (st) return st;
    }
  }
  if (!st) st = MetaTouch(c, n.noteClass, now);
  if (!st) *retId = id;
  return st;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

// UPDATE_FORCE rewrites every item of the document, which also saves
// values that a caller changed in place through an item's BLOCKID; without
// it only appended and deleted items reach the file.
STATUS QDSNoteUpdate(NOTEHANDLE note, WORD flags) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  Db* d = GetDb(n->db);
  if (d == nullptr) return ERR_BAD_DB;
  Conn* c = d->conn;
  bool isNew = n->id == 0 || n->connSerial != c->serial;
  size_t fresh = 0;
  for (const Item& it : n->items) fresh += it.seq == 0;
  // Sequence numbers only grow; when they would run out of their 24 bits,
  // renumber the document from 1.
  bool full = isNew || n->rewriteAll || (flags & UPDATE_FORCE) ||
              n->nextSeq + static_cast<int64_t>(fresh) > kSeqMask;

  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  ORIGINATORID oid = n->oid;
  oid.Sequence += 1;
  oid.SequenceTime = now;

  Txn txn(c);
  STATUS st = txn.Begin();
  NOTEID id = 0;
  if (!st) st = Write(c, *n, isNew, full, oid, now, &id);
  if (!st) st = txn.Commit();
  if (st) return st;

  // Stored: bring the in-memory document in step with its rows.
  if (full) {
    int64_t seq = 1;
    for (Item& it : n->items) it.seq = seq++;
    n->nextSeq = seq;
  } else {
    for (Item& it : n->items) {
      if (it.seq == 0) it.seq = n->nextSeq++;
    }
  }
  n->id = id;
  n->connSerial = c->serial;
  n->deleted.clear();
  n->rewriteAll = false;
  n->classDirty = false;
  n->oid = oid;
  n->modified = now;
  return NOERROR;
}

STATUS QDSNoteDelete(DBHANDLE db, NOTEID noteId, WORD flags) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (noteId == 0) return ERR_NOTE_NOT_FOUND;
  Conn* c = d->conn;
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  Txn txn(c);
  STATUS st = txn.Begin();
  if (st) return st;
  sqlite3_stmt* s = Stmt(c, kStNoteDelete, &st);
  if (!s) return st;
  WORD cls = 0;
  {
    StmtReset reset(s);
    sqlite3_bind_int64(s, 1, noteId);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return ERR_NOTE_NOT_FOUND;
    if (rc != SQLITE_ROW) return SqlStatus(rc);
    cls = static_cast<WORD>(sqlite3_column_int(s, 0));
    rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return SqlStatus(rc);
  }
  st = DeleteRows(c, noteId);
  if (!st) st = MetaTouch(c, cls, now);
  if (!st) st = txn.Commit();
  return st;
}
