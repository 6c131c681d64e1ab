// Documents in memory: create, open (load), copy, close, and their header
// values.  Saving is in note_update.cc, items in items.cc.
#include <algorithm>
#include <cstring>
#include <new>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {

void EncodeHeader(int64_t modified, const ORIGINATORID& oid, char* out) {
  uint64_t m = static_cast<uint64_t>(modified);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(m >> (8 * i));
  memcpy(out + 8, &oid, sizeof oid);
}

bool DecodeHeader(const void* p, int len, int64_t* modified,
                  ORIGINATORID* oid) {
  if (p == nullptr || len != kHeaderSize) return false;
  const unsigned char* b = static_cast<const unsigned char*>(p);
  uint64_t m = 0;
  for (int i = 7; i >= 0; --i) m = (m << 8) | b[i];
  *modified = static_cast<int64_t>(m);
  memcpy(oid, b + 8, sizeof *oid);
  return true;
}

STATUS NoteReadHeader(Conn* c, NOTEID id, WORD* cls, int64_t* modified,
                      ORIGINATORID* oid, bool* found) {
  *found = false;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteHeader, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_int64(s, 2, KeyFirst(id));
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return NOERROR;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  *cls = static_cast<WORD>(sqlite3_column_int(s, 0));
  if (!DecodeHeader(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1),
                    modified, oid)) {
    return ERR_DB_CORRUPT;
  }
  *found = true;
  return NOERROR;
}

void NoteDestroy(NOTEHANDLE h) {
  Note* n = Notes().Remove(h);
  if (n == nullptr) return;
  for (Item& it : n->items) OSMemFree(it.bid.pool);
  delete n;
}

STATUS NoteAdoptItem(Note* n, WORD flags, const char* name, WORD nameLen,
                     BLOCKID bid, DWORD len, WORD type) {
  try {
    Item it;
    it.name.assign(name ? name : "", nameLen);
    it.flags = flags;
    it.type = type;
    it.bid = bid;
    it.len = len;
    it.slot = 0;
    n->items.push_back(std::move(it));
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

namespace {

// Registers a document; on failure frees it and its value blocks.
STATUS Register(Note* n, NOTEHANDLE* retNote) {
  NOTEHANDLE h = Notes().Add(n);
  if (h == 0) {
    for (Item& it : n->items) OSMemFree(it.bid.pool);
    delete n;
    return ERR_MEMORY;
  }
  *retNote = h;
  return NOERROR;
}

// Copies a stored value into a new block of its own.
STATUS NewValueBlock(const void* data, DWORD len, BLOCKID* out) {
  DHANDLE h = NULLHANDLE;
  STATUS st = OSMemAlloc(kTagItemValue, len, &h);
  if (st) return st;
  void* p = OSLockObject(h);
  if (p == nullptr) {
    OSMemFree(h);
    return ERR_MEMORY;
  }
  memcpy(p, data, len);
  OSUnlockObject(h);
  out->pool = h;
  out->block = 0;
  return NOERROR;
}

// Loads the header and every item of a stored document in one query.
STATUS Load(Conn* c, NOTEID id, Note* n) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteLoad, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_int64(s, 2, KeyFirst(id));
  sqlite3_bind_int64(s, 3, KeyLast(id));
  bool exists = false, header = false;
  int64_t maxSeq = 0;
  bool sorted = true;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int64_t k = sqlite3_column_int64(s, 0);
    if (k < 0) {  // the notes row
      n->noteClass = static_cast<WORD>(sqlite3_column_int(s, 1));
      exists = true;
      continue;
    }
    int64_t slot = k & kSlotMask;
    int nameLen = sqlite3_column_bytes(s, 2);
    const char* name = static_cast<const char*>(sqlite3_column_blob(s, 2));
    int len = sqlite3_column_bytes(s, 3);
    const char* value = static_cast<const char*>(sqlite3_column_blob(s, 3));
    if (slot == 0) {
      int64_t modified;
      if (!DecodeHeader(value, len, &modified, &n->oid)) return ERR_DB_CORRUPT;
      TimeFromMicros(modified, &n->modified);
      header = true;
      continue;
    }
    // Guard every stored length before trusting it: a damaged row is
    // reported, never read past.
    if (len < 2 || value == nullptr || nameLen > 0xFFFF ||
        static_cast<DWORD>(len) > kMaxItemValue) {
      return ERR_DB_CORRUPT;
    }
    BLOCKID bid;
    st = NewValueBlock(value, static_cast<DWORD>(len), &bid);
    if (st) return st;
    WORD type = LoadWord(value);
    st = NoteAdoptItem(n, static_cast<WORD>(sqlite3_column_int(s, 1)), name,
                       static_cast<WORD>(nameLen), bid, len, type);
    if (st) {
      OSMemFree(bid.pool);
      return st;
    }
    n->items.back().slot = slot;
    if (SeqOf(slot) < maxSeq) sorted = false;
    if (SeqOf(slot) > maxSeq) maxSeq = SeqOf(slot);
  }
  if (rc != SQLITE_DONE) return SqlStatus(rc);
  if (!exists) return ERR_NOTE_NOT_FOUND;
  if (!header) return ERR_DB_CORRUPT;
  // Large values come after the small ones in key order; put the items
  // back in their own order.
  if (!sorted) {
    std::sort(n->items.begin(), n->items.end(),
              [](const Item& a, const Item& b) {
                return SeqOf(a.slot) < SeqOf(b.slot);
              });
  }
  n->nextSeq = maxSeq + 1;
  return NOERROR;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSNoteCreate(DBHANDLE db, NOTEHANDLE* retNote) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retNote == nullptr) return ERR_BAD_ARG;
  *retNote = 0;
  Note* n = new (std::nothrow) Note;
  if (n == nullptr) return ERR_MEMORY;
  n->db = db;
  n->connSerial = d->conn->serial;
  NewOid(d->conn, &n->oid);
  return Register(n, retNote);
}

STATUS QDSNoteOpen(DBHANDLE db, NOTEID noteId, WORD flags,
                   NOTEHANDLE* retNote) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retNote == nullptr) return ERR_BAD_ARG;
  *retNote = 0;
  if (noteId == 0) return ERR_NOTE_NOT_FOUND;
  Note* n = new (std::nothrow) Note;
  if (n == nullptr) return ERR_MEMORY;
  n->db = db;
  n->connSerial = d->conn->serial;
  n->id = noteId;
  STATUS st = Load(d->conn, noteId, n);
  if (st) {
    for (Item& it : n->items) OSMemFree(it.bid.pool);
    delete n;
    return st;
  }
  return Register(n, retNote);
}

STATUS QDSNoteClose(NOTEHANDLE note) {
  if (Notes().Get(note) == nullptr) return ERR_BAD_NOTE;
  NoteDestroy(note);
  return NOERROR;
}

// The copy keeps the database and note id of its source until the caller
// changes them, and owns new blocks for every value.  Its items are not
// rows of any stored document, so its first save writes all of them.
STATUS QDSNoteCopy(NOTEHANDLE source, NOTEHANDLE* retCopy) {
  Note* src = Notes().Get(source);
  if (src == nullptr) return ERR_BAD_NOTE;
  if (retCopy == nullptr) return ERR_BAD_ARG;
  *retCopy = 0;
  Note* n = new (std::nothrow) Note;
  if (n == nullptr) return ERR_MEMORY;
  n->db = src->db;
  n->connSerial = src->connSerial;
  n->id = src->id;
  n->noteClass = src->noteClass;
  n->classDirty = src->classDirty;
  n->rewriteAll = true;
  n->oid = src->oid;
  n->modified = src->modified;
  n->nextSeq = src->nextSeq;
  STATUS st = NOERROR;
  try {
    n->items.reserve(src->items.size());
  } catch (...) {
    st = ERR_MEMORY;
  }
  for (size_t i = 0; st == NOERROR && i < src->items.size(); ++i) {
    const Item& it = src->items[i];
    const char* p = OSLockBlock(it.bid);
    if (p == nullptr) {
      st = ERR_MEMORY;
      break;
    }
    BLOCKID bid;
    st = NewValueBlock(p, it.len, &bid);
    OSUnlockBlock(it.bid);
    if (st) break;
    st = NoteAdoptItem(n, it.flags, it.name.data(),
                       static_cast<WORD>(it.name.size()), bid, it.len, it.type);
    if (st) OSMemFree(bid.pool);
  }
  if (st) {
    for (Item& it : n->items) OSMemFree(it.bid.pool);
    delete n;
    return st;
  }
  return Register(n, retCopy);
}

void QDSNoteGetInfo(NOTEHANDLE note, WORD what, void* retValue) {
  Note* n = Notes().Get(note);
  if (n == nullptr || retValue == nullptr) return;
  switch (what) {
    case _NOTE_DB:
      memcpy(retValue, &n->db, sizeof(DBHANDLE));
      break;
    case _NOTE_ID:
      memcpy(retValue, &n->id, sizeof(NOTEID));
      break;
    case _NOTE_OID:
      memcpy(retValue, &n->oid, sizeof(ORIGINATORID));
      break;
    case _NOTE_CLASS:
      memcpy(retValue, &n->noteClass, sizeof(WORD));
      break;
    case _NOTE_MODIFIED:
      memcpy(retValue, &n->modified, sizeof(TIMEDATE));
      break;
    default:
      break;
  }
}

void QDSNoteSetInfo(NOTEHANDLE note, WORD what, const void* value) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return;
  switch (what) {
    case _NOTE_DB: {
      if (value == nullptr) return;
      DBHANDLE db;
      memcpy(&db, value, sizeof db);
      Db* d = GetDb(db);
      if (d == nullptr) return;
      n->db = db;
      // The note id means nothing in another file: save there as new.
      if (d->conn->serial != n->connSerial) {
        n->id = 0;
        n->connSerial = d->conn->serial;
      }
      break;
    }
    case _NOTE_ID: {
      NOTEID id = 0;
      if (value != nullptr) memcpy(&id, value, sizeof id);
      if (id != n->id) {
        n->id = id;
        n->rewriteAll = true;
        n->deleted.clear();
      }
      break;
    }
    case _NOTE_OID:
      if (value != nullptr) memcpy(&n->oid, value, sizeof(ORIGINATORID));
      break;
    case _NOTE_CLASS:
      if (value != nullptr) {
        WORD cls;
        memcpy(&cls, value, sizeof cls);
        if (cls != n->noteClass) {
          n->noteClass = cls;
          n->classDirty = true;
        }
      }
      break;
    default:
      break;
  }
}
