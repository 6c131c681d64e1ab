// Saving and deleting documents.  A save is one transaction that writes
// only what changed since the document was loaded or last saved: rows of
// deleted items are removed, appended items are inserted, the header row
// gets the new modified time, and the summary index follows.  The
// document's rows are therefore either all old or all new after a crash,
// and a save that touches three items costs three item writes, whatever
// the size of the rest of the document.
//
// An item deleted and appended again under the same name (the way every
// caller changes a value) is written over its old row in place rather than
// deleted there and inserted at the end of the document: same-size values
// then rewrite one b-tree cell and never split a page.  The item keeps its
// old position, and the document in memory is put in the stored order
// after the save, so memory and file always agree on the order.
#include <algorithm>
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
STATUS PutItem(Conn* c, NOTEID id, int64_t slot, const Item& it,
               bool overwrite) {
  STATUS st = NOERROR;
  const char* p = OSLockBlock(it.bid);
  if (p == nullptr) return ERR_MEMORY;
  sqlite3_stmt* s =
      Stmt(c, ForSlot(overwrite ? kStItemUpdate : kStItemInsert, slot), &st);
  if (s) {
    sqlite3_bind_int64(s, 1, ItemKey(id, slot));
    sqlite3_bind_int(s, 2, it.flags);
    sqlite3_bind_blob(s, 3, it.name.empty() ? "" : it.name.data(),
                      static_cast<int>(it.name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, p, static_cast<int>(it.len), SQLITE_STATIC);
    st = StepDone(s);
    if (!st && overwrite && sqlite3_changes(c->db) != 1) st = ERR_DB_CORRUPT;
  }
  if (!st && (it.flags & ITEM_SUMMARY)) {
    st = SummaryAddRows(c, id, slot, it.name, p, it.len);
  }
  OSUnlockBlock(it.bid);
  return st;
}

// Writes the header row; ERR_NOTE_DELETED when an existing document's
// header is gone (the document was deleted after it was opened).
STATUS PutHeader(Conn* c, NOTEID id, int64_t micros, const ORIGINATORID& oid,
                 bool insert) {
  char header[kHeaderSize];
  EncodeHeader(micros, oid, header);
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, insert ? kStItemInsert : kStItemUpdate, &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, KeyFirst(id));
  sqlite3_bind_int(s, 2, 0);
  sqlite3_bind_blob(s, 3, "", 0, SQLITE_STATIC);
  sqlite3_bind_blob(s, 4, header, kHeaderSize, SQLITE_STATIC);
  st = StepDone(s);
  if (!st && !insert && sqlite3_changes(c->db) == 0) st = ERR_NOTE_DELETED;
  return st;
}

// Removes the item rows of a document (and their index rows); with
// `header` its header row too.
STATUS DeleteRows(Conn* c, NOTEID id, bool header) {
  STATUS st = SummaryDeleteNote(c, id);
  if (st) return st;
  for (StmtId which : {kStItemsDeleteNote, kStBigItemsDeleteNote}) {
    sqlite3_stmt* s = Stmt(c, which, &st);
    if (!s) return st;
    sqlite3_bind_int64(s, 1, header ? KeyFirst(id) : KeyFirst(id) + 1);
    sqlite3_bind_int64(s, 2, KeyLast(id));
    st = StepDone(s);
    if (st) return st;
  }
  return NOERROR;
}

// Removes the index rows of a stored summary item.  Their keys are made
// from the value as stored, not from the copy in memory, which a caller
// may have changed in place through its BLOCKID.
STATUS DeleteIndexRows(Conn* c, NOTEID id, int64_t slot) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, ForSlot(kStItemValue, slot), &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, ItemKey(id, slot));
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return NOERROR;  // no row, no index rows
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  std::string_view name(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                        sqlite3_column_bytes(s, 0));
  const char* value = static_cast<const char*>(sqlite3_column_blob(s, 1));
  if (value == nullptr) return NOERROR;
  return SummaryDeleteRows(c, id, slot, name, value,
                           sqlite3_column_bytes(s, 1));
}

STATUS DeleteItemRow(Conn* c, NOTEID id, const PendingDelete& del) {
  STATUS st = del.summary ? DeleteIndexRows(c, id, del.slot) : NOERROR;
  if (st) return st;
  sqlite3_stmt* s = Stmt(c, ForSlot(kStItemDelete, del.slot), &st);
  if (!s) return st;
  sqlite3_bind_int64(s, 1, ItemKey(id, del.slot));
  return StepDone(s);
}

// What a save does with each appended item and each deleted row.
struct Plan {
  std::vector<int64_t> slot;    // per item: the row it takes (new items)
  std::vector<char> overwrite;  // per item: that row exists already
  std::vector<char> reused;     // per pending delete: taken over
  int64_t next = 0;             // nextSeq after the save
};

// Writes the document inside an open transaction; on success *retId is
// its note id.  Nothing in `n` is changed here, so a failed save leaves
// the document exactly as it was in memory.
STATUS Write(Conn* c, const Note& n, bool isNew, bool full, const Plan& plan,
             const ORIGINATORID& oid, const TIMEDATE& now, NOTEID* retId) {
  STATUS st = NOERROR;
  NOTEID id = n.id;
  int64_t micros = TimeToMicros(&now);
  if (isNew) {
    sqlite3_stmt* s = Stmt(c, kStNoteInsert, &st);
    if (!s) return st;
    sqlite3_bind_int(s, 1, n.noteClass);
    st = StepDone(s);
    if (st) return st;
    sqlite3_int64 rowid = sqlite3_last_insert_rowid(c->db);
    if (rowid <= 0 || rowid > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
    id = static_cast<NOTEID>(rowid);
    st = PutHeader(c, id, micros, oid, true);
  } else {
    st = PutHeader(c, id, micros, oid, false);
    if (!st && n.classDirty) {
      sqlite3_stmt* s = Stmt(c, kStNoteSetClass, &st);
      if (!s) return st;
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int(s, 2, n.noteClass);
      st = StepDone(s);
    }
  }
  if (st) return st;
  if (full) {
    if (!isNew) st = DeleteRows(c, id, false);
    for (size_t i = 0; !st && i < n.items.size(); ++i) {
      st = PutItem(c, id, plan.slot[i], n.items[i], false);
    }
  } else {
    for (size_t d = 0; d < n.deleted.size(); ++d) {
      const PendingDelete& del = n.deleted[d];
      if (plan.reused[d]) {
        // The row stays and is overwritten below; only its index rows go.
        if (del.summary) st = DeleteIndexRows(c, id, del.slot);
      } else {
        st = DeleteItemRow(c, id, del);
      }
      if (st) return st;
    }
    for (size_t i = 0; i < n.items.size(); ++i) {
      if (n.items[i].slot != 0) continue;
      st = PutItem(c, id, plan.slot[i], n.items[i], plan.overwrite[i] != 0);
      if (st) return st;
    }
  }
  if (!st) st = MetaTouch(c, n.noteClass, now);
  if (!st) *retId = id;
  return st;
}

// Decides the row of every appended item.  Kept across saves so that a
// save does not allocate.
STATUS MakePlan(const Note& n, bool full, Plan* plan) {
  try {
    plan->slot.assign(n.items.size(), 0);
    plan->overwrite.assign(n.items.size(), 0);
    plan->reused.assign(n.deleted.size(), 0);
  } catch (...) {
    return ERR_MEMORY;
  }
  if (full) {
    for (size_t i = 0; i < n.items.size(); ++i) {
      plan->slot[i] = SlotFor(static_cast<int64_t>(i) + 1, n.items[i].len);
    }
    plan->next = static_cast<int64_t>(n.items.size()) + 1;
    return NOERROR;
  }
  plan->next = n.nextSeq;
  for (size_t i = 0; i < n.items.size(); ++i) {
    const Item& it = n.items[i];
    if (it.slot != 0) continue;
    bool big = it.len > kBigValue;
    for (size_t k = 0; k < n.deleted.size(); ++k) {
      const PendingDelete& del = n.deleted[k];
      if (!plan->reused[k] && ((del.slot & kBigSlot) != 0) == big &&
          del.name == it.name) {
        plan->reused[k] = 1;
        plan->slot[i] = del.slot;
        plan->overwrite[i] = 1;
        break;
      }
    }
    if (plan->slot[i] == 0) plan->slot[i] = SlotFor(plan->next++, it.len);
  }
  return NOERROR;
}

}  // namespace

STATUS DeleteNoteRows(Conn* c, NOTEID noteId) {
  SearchForget(c, noteId);
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  STATUS st = NOERROR;
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
  st = DeleteRows(c, noteId, true);
  if (!st) st = MetaTouch(c, cls, now);
  return st;
}

}  // namespace tavlo::store

using namespace tavlo::store;

// UPDATE_FORCE rewrites every item of the document, which also saves
// values that a caller changed in place through an item's BLOCKID; without
// it only appended and deleted items reach the file.
STATUS QDSNoteUpdate(NOTEHANDLE note, WORD flags) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  Db* d = nullptr;
  STATUS st = GetWritableDb(n->db, &d);
  if (st) return st;
  Conn* c = d->conn;
  bool isNew = n->id == 0 || n->connSerial != c->serial;
  size_t fresh = 0;
  for (const Item& it : n->items) fresh += it.slot == 0;
  if (n->items.size() >= static_cast<size_t>(kSeqLimit)) return ERR_ITEM_TOO_BIG;
  // Sequence numbers only grow; when they would run out, renumber the
  // document from 1.
  bool full = isNew || n->rewriteAll || (flags & UPDATE_FORCE) ||
              n->nextSeq + static_cast<int64_t>(fresh) > kSeqLimit;
  static Plan plan;
  st = MakePlan(*n, full, &plan);
  if (st) return st;

  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  ORIGINATORID oid = n->oid;
  oid.Sequence += 1;
  oid.SequenceTime = now;

  if (!isNew) SearchForget(c, n->id);
  Txn txn(c);
  st = txn.Begin();
  NOTEID id = 0;
  if (!st) st = Write(c, *n, isNew, full, plan, oid, now, &id);
  if (!st) st = txn.Commit();
  if (st) return st;

  // Stored: bring the in-memory document in step with its rows.
  bool sorted = true;
  for (size_t i = 0; i < n->items.size(); ++i) {
    Item& it = n->items[i];
    if (full || it.slot == 0) it.slot = plan.slot[i];
    if (i && SeqOf(n->items[i - 1].slot) > SeqOf(it.slot)) sorted = false;
  }
  // Items that took over an old row go back to its place.
  if (!sorted) {
    std::sort(n->items.begin(), n->items.end(),
              [](const Item& a, const Item& b) {
                return SeqOf(a.slot) < SeqOf(b.slot);
              });
  }
  n->nextSeq = plan.next;
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
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (noteId == 0) return ERR_NOTE_NOT_FOUND;
  Txn txn(d->conn);
  st = txn.Begin();
  if (!st) st = DeleteNoteRows(d->conn, noteId);
  if (!st) st = txn.Commit();
  return st;
}
