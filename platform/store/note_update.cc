// Saving and deleting documents.  A save is one transaction that writes
// only what changed since the document was loaded or last saved: rows of
// deleted items are removed, appended items are inserted, and the summary
// index follows both.  The document's rows are therefore either all old or
// all new after a crash, and a save that touches three items costs three
// item writes, whatever the size of the rest of the document.
//
// An item deleted and appended again under the same name (the way every
// caller changes a value) is written over its old row in place rather than
// deleted there and inserted at the end of the document: same-size values
// then rewrite one b-tree cell and never split a page.  The item keeps its
// old position, and the document in memory is put in the stored order
// after the save, so memory and file always agree on the order.
#include <cstring>
#include <utility>
#include <vector>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

// Writes an item row (insert, or over an existing row when `overwrite`)
// and its index rows.
STATUS PutItem(Conn* c, NOTEID id, int64_t seq, const Item& it,
               bool overwrite) {
  STATUS st = NOERROR;
  const char* p = OSLockBlock(it.bid);
  if (p == nullptr) return ERR_MEMORY;
  sqlite3_stmt* s = Stmt(c, overwrite ? kStItemUpdate : kStItemInsert, &st);
  if (s) {
    sqlite3_bind_int64(s, 1, ItemKey(id, seq));
    sqlite3_bind_int(s, 2, it.flags);
    sqlite3_bind_blob(s, 3, it.name.empty() ? "" : it.name.data(),
                      static_cast<int>(it.name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, p, static_cast<int>(it.len), SQLITE_STATIC);
    st = StepDone(s);
    if (!st && overwrite && sqlite3_changes(c->db) != 1) st = ERR_DB_CORRUPT;
  }
  if (!st && (it.flags & ITEM_SUMMARY)) {
    st = SummaryAddRows(c, id, seq, it.name, p, it.len);
  }
  OSUnlockBlock(it.bid);
  return st;
}

STATUS DeleteRows(Conn* c, NOTEID id) {
  STATUS st = SummaryDeleteNote(c, id);
  if (st) return st;
  sqlite3_stmt* s = Stmt(c, kStItemsDeleteNote, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ItemKey(id, 0));
  sqlite3_bind_int64(s, 2, ItemKey(id, kSeqMask));
  return StepDone(s);
}

STATUS DeleteItemRow(Conn* c, NOTEID id, const PendingDelete& del) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemDelete, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ItemKey(id, del.seq));
  st = StepDone(s);
  if (st || !del.summary) return st;
  return SummaryDeleteRows(c, id, del.seq, del.name, del.value.data(),
                           del.value.size());
}

// Writes the document inside an open transaction; on success *retId is
// its note id.  Nothing in `n` is changed here, so a failed save leaves
// the document exactly as it was in memory.
STATUS Write(Conn* c, const Note& n, bool isNew, bool full,
             const std::vector<int64_t>& newSeq,
             const std::vector<bool>& reused, const ORIGINATORID& oid,
             const TIMEDATE& now, NOTEID* retId) {
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
      st = PutItem(c, id, static_cast<int64_t>(i) + 1, n.items[i], false);
    }
  } else {
    for (size_t d = 0; d < n.deleted.size(); ++d) {
      const PendingDelete& del = n.deleted[d];
      if (reused[d]) {
        // The row stays and is overwritten below; only its index rows go.
        if (del.summary) {
          st = SummaryDeleteRows(c, id, del.seq, del.name, del.value.data(),
                                 del.value.size());
        }
      } else {
        st = DeleteItemRow(c, id, del);
      }
      if (st) return st;
    }
    for (size_t i = 0; i < n.items.size(); ++i) {
      const Item& it = n.items[i];
      if (it.seq != 0) continue;
      st = PutItem(c, id, newSeq[i], it, newSeq[i] < n.nextSeq);
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

  // Rows each appended item will take: the row of a deleted item of the
  // same name when there is one, else a new one at the end.  Reused across
  // saves so that a save does not allocate.
  static std::vector<int64_t> newSeq;
  static std::vector<bool> reused;
  int64_t next = n->nextSeq;
  try {
    newSeq.assign(n->items.size(), 0);
    reused.assign(n->deleted.size(), false);
  } catch (...) {
    return ERR_MEMORY;
  }
  if (!full) {
    for (size_t i = 0; i < n->items.size(); ++i) {
      const Item& it = n->items[i];
      if (it.seq != 0) continue;
      for (size_t k = 0; k < n->deleted.size(); ++k) {
        if (!reused[k] && n->deleted[k].name == it.name) {
          reused[k] = true;
          newSeq[i] = n->deleted[k].seq;
          break;
        }
      }
      if (newSeq[i] == 0) newSeq[i] = next++;
    }
  }

  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  ORIGINATORID oid = n->oid;
  oid.Sequence += 1;
  oid.SequenceTime = now;

  Txn txn(c);
  STATUS st = txn.Begin();
  NOTEID id = 0;
  if (!st) st = Write(c, *n, isNew, full, newSeq, reused, oid, now, &id);
  if (!st) st = txn.Commit();
  if (st) return st;

  // Stored: bring the in-memory document in step with its rows.
  if (full) {
    int64_t seq = 1;
    for (Item& it : n->items) it.seq = seq++;
    n->nextSeq = seq;
  } else {
    bool sorted = true;
    for (size_t i = 0; i < n->items.size(); ++i) {
      Item& it = n->items[i];
      if (it.seq == 0) it.seq = newSeq[i];
      if (i && n->items[i - 1].seq > it.seq) sorted = false;
    }
    n->nextSeq = next;
    // Items that took over an old row go back to its place.  Insertion
    // sort: nearly sorted, a handful of items, and it cannot fail.
    if (!sorted) {
      for (size_t i = 1; i < n->items.size(); ++i) {
        for (size_t j = i; j && n->items[j - 1].seq > n->items[j].seq; --j) {
          std::swap(n->items[j - 1], n->items[j]);
        }
      }
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
