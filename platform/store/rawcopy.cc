// Moving documents as stored, for repair and for the operator's hold queue:
// a document is copied row by row, whatever its values hold, so one that
// nothing above the store can decode any more moves as well as a sound
// one.  Also: deleting a document with the objects its $FILE items name,
// and rebuilding the search index from the items.
//
// Objects.  An item whose value is an object reference (TYPE_OBJECT: type
// code, a WORD, then the object's id as a little-endian DWORD at offset 4)
// takes its object along.  The copy keeps the object's id when the
// destination has it free (ids are never reused within a database, so
// documents moved back and forth between a queue and its hold queue keep
// theirs); where the destination has an object of that id with the same
// bytes, the copy shares it (a message and its copy made in the same queue
// share their attachments' objects, and each may move on its own);
// otherwise it gets a new id, written into the reference.  The caller
// learns of every id that changed.  Deleting a document frees only the
// objects the caller says no other document shares.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "item_key.h"
#include "schema.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

struct Row {
  int64_t slot;
  int flags;
  std::string name;
  std::string value;
};

// Every row of a document as stored, header included.  Only a failure to
// read is an error: undecodable values are copied as they are.
STATUS LoadRows(Conn* c, NOTEID id, std::vector<Row>* out) {
  out->clear();
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemsOfNote, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, KeyFirst(id));
  sqlite3_bind_int64(s, 2, KeyLast(id));
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    Row r;
    r.slot = sqlite3_column_int64(s, 0) & kSlotMask;
    r.flags = sqlite3_column_int(s, 1);
    const char* name = static_cast<const char*>(sqlite3_column_blob(s, 2));
    r.name.assign(name ? name : "", sqlite3_column_bytes(s, 2));
    const char* value = static_cast<const char*>(sqlite3_column_blob(s, 3));
    r.value.assign(value ? value : "", sqlite3_column_bytes(s, 3));
    out->push_back(std::move(r));
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(c->db, rc);
}

bool IsObjectRef(const Row& r) {
  return r.slot != 0 && r.value.size() >= 8 && LoadWord(r.value.data()) == TYPE_OBJECT;
}
DWORD RefId(const Row& r) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(r.value.data()) + 4;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24;
}
void SetRefId(Row* r, DWORD id) {
  for (int i = 0; i < 4; i++) r->value[4 + i] = static_cast<char>(id >> (8 * i));
}

constexpr int kChunkIndexBits = 13;  // as objects.cc keys its chunks

// The range of chunk keys of object `rrv`.
int64_t ChunkFirst(DWORD rrv) { return static_cast<int64_t>(rrv) << kChunkIndexBits; }
int64_t ChunkLast(DWORD rrv) {
  return ChunkFirst(rrv) | ((int64_t{1} << kChunkIndexBits) - 1);
}

// Feeds object `rrv` as stored (class, privs, size, then every chunk row)
// to `fn`, a part at a time: ERR_OBJECT_NOT_FOUND when there is none.
template <typename Fn>
STATUS ForEachObjectPart(Conn* c, DWORD rrv, Fn fn) {
  STATUS st = NOERROR;
  Local get(c->db, "SELECT class, privs, size FROM objects WHERE rrv=?1", &st);
  if (st) return st;
  sqlite3_bind_int64(get.get(), 1, rrv);
  int rc = sqlite3_step(get.get());
  if (rc == SQLITE_DONE) return ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return SqlStatus(c->db, rc);
  int64_t head[3] = {sqlite3_column_int64(get.get(), 0), sqlite3_column_int64(get.get(), 1),
                     sqlite3_column_int64(get.get(), 2)};
  fn(head, sizeof head);
  Local chunks(c->db, "SELECT k, data FROM object_chunks WHERE k BETWEEN ?1 AND ?2", &st);
  if (st) return st;
  sqlite3_bind_int64(chunks.get(), 1, ChunkFirst(rrv));
  sqlite3_bind_int64(chunks.get(), 2, ChunkLast(rrv));
  while ((rc = sqlite3_step(chunks.get())) == SQLITE_ROW) {
    const int64_t index = sqlite3_column_int64(chunks.get(), 0) - ChunkFirst(rrv);
    const uint64_t n = static_cast<uint64_t>(sqlite3_column_bytes(chunks.get(), 1));
    const void* data = sqlite3_column_blob(chunks.get(), 1);
    fn(&index, sizeof index);
    fn(&n, sizeof n);
    if (n) fn(data, n);
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(c->db, rc);
}

// Whether object `rrv` holds the same bytes in `a` as in `b` (both have it).
STATUS SameObject(Conn* a, Conn* b, DWORD rrv, bool* same) {
  std::string x, y;
  auto into = [](std::string* out) {
    return [out](const void* p, size_t n) { out->append(static_cast<const char*>(p), n); };
  };
  // Attachments are compared whole: a collision of ids is rare (a message
  // moved back and forth, or a copy sharing its source's objects).
  STATUS st = ForEachObjectPart(a, rrv, into(&x));
  if (!st) st = ForEachObjectPart(b, rrv, into(&y));
  if (st) return st;
  *same = x == y;
  return NOERROR;
}

// Copies object `rrv` of `from` into `to`, keeping its id when free there;
// the id it has in `to` goes to *newId.  ERR_OBJECT_NOT_FOUND when `from`
// has no such object.
STATUS CopyObject(Conn* from, Conn* to, DWORD rrv, DWORD* newId) {
  STATUS st = NOERROR;
  Local get(from->db, "SELECT class, privs, size FROM objects WHERE rrv=?1", &st);
  if (st) return st;
  sqlite3_bind_int64(get.get(), 1, rrv);
  int rc = sqlite3_step(get.get());
  if (rc == SQLITE_DONE) return ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return SqlStatus(from->db, rc);
  const int cls = sqlite3_column_int(get.get(), 0), privs = sqlite3_column_int(get.get(), 1);
  const int64_t size = sqlite3_column_int64(get.get(), 2);

  Local taken(to->db, "SELECT 1 FROM objects WHERE rrv=?1", &st);
  if (st) return st;
  sqlite3_bind_int64(taken.get(), 1, rrv);
  rc = sqlite3_step(taken.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlStatus(to->db, rc);
  const bool keep = rc == SQLITE_DONE;
  if (!keep) {
    bool same = false;
    st = SameObject(from, to, rrv, &same);
    if (st) return st;
    if (same) {
      *newId = rrv;
      return NOERROR;
    }
  }
  Local put(to->db,
            keep ? "INSERT INTO objects(rrv, class, privs, size) VALUES(?1, ?2, ?3, ?4)"
                 : "INSERT INTO objects(class, privs, size) VALUES(?2, ?3, ?4)",
            &st);
  if (st) return st;
  if (keep) sqlite3_bind_int64(put.get(), 1, rrv);
  sqlite3_bind_int(put.get(), 2, cls);
  sqlite3_bind_int(put.get(), 3, privs);
  sqlite3_bind_int64(put.get(), 4, size);
  st = StepDone(put.get());
  if (st) return st;
  const sqlite3_int64 id = keep ? rrv : sqlite3_last_insert_rowid(to->db);
  if (id <= 0 || id > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
  *newId = static_cast<DWORD>(id);

  Local chunks(from->db, "SELECT k, data FROM object_chunks WHERE k BETWEEN ?1 AND ?2", &st);
  if (st) return st;
  Local add(to->db, "INSERT INTO object_chunks(k, data) VALUES(?1, ?2)", &st);
  if (st) return st;
  const int64_t mask = (int64_t{1} << kChunkIndexBits) - 1;
  sqlite3_bind_int64(chunks.get(), 1, static_cast<int64_t>(rrv) << kChunkIndexBits);
  sqlite3_bind_int64(chunks.get(), 2, (static_cast<int64_t>(rrv) << kChunkIndexBits) | mask);
  while ((rc = sqlite3_step(chunks.get())) == SQLITE_ROW) {
    const int64_t index = sqlite3_column_int64(chunks.get(), 0) & mask;
    sqlite3_bind_int64(add.get(), 1, (id << kChunkIndexBits) | index);
    sqlite3_bind_blob(add.get(), 2, sqlite3_column_blob(chunks.get(), 1),
                      sqlite3_column_bytes(chunks.get(), 1), SQLITE_TRANSIENT);
    st = StepDone(add.get());
    if (st) return st;
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(from->db, rc);
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSNoteCopyRaw(DBHANDLE source, NOTEID noteId, DBHANDLE dest, WORD flags,
                      NOTEID* retNewId, RAWCOPY_REMAP* retRemap, DWORD maxRemap,
                      DWORD* retRemapCount) {
  Db* sd = GetDb(source);
  Db* dd = nullptr;
  STATUS wst = GetWritableDb(dest, &dd);
  if (sd == nullptr || dd == nullptr) return ERR_BAD_DB;
  if (wst) return wst;
  if (retRemapCount) *retRemapCount = 0;
  if (sd->conn == dd->conn) return ERR_BAD_ARG;
  try {
    STATUS st = NOERROR;
    WORD cls = 0;
    {
      // A notes table that cannot be read (or is gone) leaves the rows to
      // say what there is: they move as a document.
      sqlite3_stmt* s = Stmt(sd->conn, kStNoteClass, &st);
      if (s != nullptr) {
        StmtReset reset(s);
        sqlite3_bind_int64(s, 1, noteId);
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) cls = static_cast<WORD>(sqlite3_column_int(s, 0));
      }
      st = NOERROR;
    }
    std::vector<Row> rows;
    st = LoadRows(sd->conn, noteId, &rows);
    if (st) return st;
    // Rows without a note (its row lost) still move: as a document.
    if (cls == 0 && rows.empty()) return ERR_NOTE_NOT_FOUND;
    if (flags & RAWCOPY_NEED_HEADER) {
      bool header = false;
      for (const Row& r : rows) {
        int64_t modified;
        ORIGINATORID oid;
        if (r.slot == 0)
          header = DecodeHeader(r.value.data(), static_cast<int>(r.value.size()), &modified, &oid);
      }
      if (!header) return ERR_DB_CORRUPT;
    }
    if (cls == 0) cls = NOTE_CLASS_DOCUMENT;

    Conn* c = dd->conn;
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    Txn txn(c);
    st = txn.Begin();
    if (st) return st;
    NOTEID id = 0;
    {
      Local ins(c->db,
                (flags & RAWCOPY_KEEP_NOTEID) ? "INSERT INTO notes(note_id, class) VALUES(?2, ?1)"
                                              : "INSERT INTO notes(class) VALUES(?1)",
                &st);
      if (st) return st;
      sqlite3_bind_int(ins.get(), 1, cls);
      if (flags & RAWCOPY_KEEP_NOTEID) sqlite3_bind_int64(ins.get(), 2, noteId);
      st = StepDone(ins.get());
      if (st == ERR_DB_CORRUPT && (flags & RAWCOPY_KEEP_NOTEID)) return ERR_DB_EXISTS;
      if (st) return st;
      sqlite3_int64 rowid = sqlite3_last_insert_rowid(c->db);
      if (rowid <= 0 || rowid > 0xFFFFFFFFll) return ERR_DB_CORRUPT;
      id = static_cast<NOTEID>(rowid);
    }
    std::map<DWORD, DWORD> moved;  // objects copied: old id -> new id
    DWORD remapped = 0;
    for (Row& r : rows) {
      if (IsObjectRef(r)) {
        const DWORD old = RefId(r);
        auto it = moved.find(old);
        DWORD now = 0;
        if (it != moved.end()) {
          now = it->second;
        } else {
          st = CopyObject(sd->conn, c, old, &now);
          if (!st && now != old && (flags & RAWCOPY_KEEP_OBJECT_IDS)) return ERR_DB_EXISTS;
          if (st == ERR_OBJECT_NOT_FOUND) {
            now = old;  // a dangling reference moves as it is
            st = NOERROR;
          }
          if (st) return st;
          moved[old] = now;
          if (now != old) {
            if (retRemap != nullptr && remapped < maxRemap) {
              retRemap[remapped].OldId = old;
              retRemap[remapped].NewId = now;
            }
            remapped++;
          }
        }
        if (now != old) SetRefId(&r, now);
      }
      sqlite3_stmt* s = Stmt(c, ForSlot(kStItemInsert, r.slot), &st);
      if (!s) return st;
      sqlite3_bind_int64(s, 1, ItemKey(id, r.slot));
      sqlite3_bind_int(s, 2, r.flags);
      sqlite3_bind_blob(s, 3, r.name.data(), static_cast<int>(r.name.size()), SQLITE_STATIC);
      sqlite3_bind_blob(s, 4, r.value.data(), static_cast<int>(r.value.size()), SQLITE_STATIC);
      st = StepDone(s);
      // The index takes what it can decode; the rest is found by no
      // equality search, as in the database it came from.
      if (!st && r.slot != 0 && (r.flags & ITEM_SUMMARY)) {
        st = SummaryAddRows(c, id, r.slot, r.name, r.value.data(), r.value.size());
      }
      if (st) return st;
    }
    st = MetaTouch(c, cls, now);
    if (!st) st = txn.Commit();
    if (st) return st;
    if (retNewId) *retNewId = id;
    if (retRemapCount) *retRemapCount = remapped;
    return NOERROR;
  } catch (...) {
    return ERR_MEMORY;
  }
}

STATUS QDSNoteDeleteWithObjects(DBHANDLE db, NOTEID noteId, const DWORD* keep,
                                DWORD keepCount) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (keepCount && keep == nullptr) return ERR_BAD_ARG;
  Conn* c = d->conn;
  try {
    std::vector<Row> rows;
    st = LoadRows(c, noteId, &rows);
    if (st) return st;
    std::vector<DWORD> objects;
    for (const Row& r : rows)
      if (IsObjectRef(r) && std::find(keep, keep + keepCount, RefId(r)) == keep + keepCount)
        objects.push_back(RefId(r));
    // One transaction: a crash leaves the document with all its objects
    // or neither, never a document whose attachments are gone (which a
    // move would then take for the whole message) nor objects that no
    // document names (whose ids would block the message's return).
    Txn txn(c);
    st = txn.Begin();
    if (st) return st;
    Local obj(c->db, "DELETE FROM objects WHERE rrv=?1", &st);
    if (st) return st;
    Local chunks(c->db, "DELETE FROM object_chunks WHERE k BETWEEN ?1 AND ?2", &st);
    if (st) return st;
    for (DWORD rrv : objects) {
      sqlite3_reset(obj.get());
      sqlite3_bind_int64(obj.get(), 1, rrv);
      st = StepDone(obj.get());
      if (st) return st;
      sqlite3_reset(chunks.get());
      sqlite3_bind_int64(chunks.get(), 1, ChunkFirst(rrv));
      sqlite3_bind_int64(chunks.get(), 2, ChunkLast(rrv));
      st = StepDone(chunks.get());
      if (st) return st;
    }
    st = DeleteNoteRows(c, noteId);
    if (st == ERR_NOTE_NOT_FOUND) {
      if (rows.empty()) return st;
      // Rows whose note row is lost: removed as they are (their index
      // rows go with the next rebuild).
      st = NOERROR;
      for (StmtId id : {kStItemsDeleteNote, kStBigItemsDeleteNote}) {
        sqlite3_stmt* s = Stmt(c, id, &st);
        if (!s) break;
        sqlite3_bind_int64(s, 1, KeyFirst(noteId));
        sqlite3_bind_int64(s, 2, KeyLast(noteId));
        st = StepDone(s);
        if (st) break;
      }
    }
    if (!st) st = txn.Commit();
    return st;
  } catch (...) {
    return ERR_MEMORY;
  }
}

STATUS QDSDbForEachObjectRef(DBHANDLE db, STATUS (*fn)(void* arg, NOTEID noteId, DWORD rrv),
                             void* arg) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (fn == nullptr) return ERR_BAD_ARG;
  Conn* c = d->conn;
  EndSnapshot(c);
  STATUS st = NOERROR;
  // A database without objects has no references worth a scan.
  {
    Local any(c->db, "SELECT 1 FROM objects LIMIT 1", &st);
    if (st) return st;
    int rc = sqlite3_step(any.get());
    if (rc == SQLITE_DONE) return NOERROR;
    if (rc != SQLITE_ROW) return SqlStatus(c->db, rc);
  }
  // A reference is eight bytes, always a small item; the header rows
  // (slot 0) are no items.
  Local refs(c->db,
             "SELECT k, value FROM items WHERE (k & ?2) != 0 AND length(value) >= 8 AND "
             "substr(value, 1, 2) = ?1",
             &st);
  if (st) return st;
  const unsigned char code[2] = {TYPE_OBJECT & 0xFF, TYPE_OBJECT >> 8};
  sqlite3_bind_blob(refs.get(), 1, code, 2, SQLITE_STATIC);
  sqlite3_bind_int64(refs.get(), 2, kSlotMask);
  int rc;
  while ((rc = sqlite3_step(refs.get())) == SQLITE_ROW) {
    const int64_t k = sqlite3_column_int64(refs.get(), 0);
    const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(refs.get(), 1));
    if (p == nullptr || sqlite3_column_bytes(refs.get(), 1) < 8) continue;
    const DWORD rrv = p[4] | p[5] << 8 | p[6] << 16 | static_cast<DWORD>(p[7]) << 24;
    st = fn(arg, static_cast<NOTEID>(k >> kSlotBits), rrv);
    if (st) return st;
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(c->db, rc);
}

STATUS QDSNoteFingerprint(DBHANDLE db, NOTEID noteId, unsigned long long* retPrint) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retPrint == nullptr) return ERR_BAD_ARG;
  try {
    std::vector<Row> rows;
    STATUS st = LoadRows(d->conn, noteId, &rows);
    if (st) return st;
    if (rows.empty()) return ERR_NOTE_NOT_FOUND;
    // FNV-1a over every row, an object reference's id left out but the
    // object's bytes taken in: a copy whose object got a new id is still
    // the same document, one whose attachment is missing or differs is
    // not.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const void* p, size_t n) {
      const unsigned char* b = static_cast<const unsigned char*>(p);
      for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 1099511628211ull;
    };
    for (Row& r : rows) {
      if (IsObjectRef(r)) {
        st = ForEachObjectPart(d->conn, RefId(r), mix);
        if (st == ERR_OBJECT_NOT_FOUND) {
          mix("missing", 7);
          st = NOERROR;
        }
        if (st) return st;
        SetRefId(&r, 0);
      }
      mix(&r.slot, sizeof r.slot);
      mix(&r.flags, sizeof r.flags);
      uint64_t n = r.name.size(), v = r.value.size();
      mix(&n, sizeof n);
      mix(r.name.data(), r.name.size());
      mix(&v, sizeof v);
      mix(r.value.data(), r.value.size());
    }
    *retPrint = h;
    return NOERROR;
  } catch (...) {
    return ERR_MEMORY;
  }
}

STATUS QDSDbRebuildIndex(DBHANDLE db, DWORD* retRows) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  Conn* c = d->conn;
  c->searchCache.clear();
  c->searchCacheBytes = 0;
  try {
    Txn txn(c);
    st = txn.Begin();
    if (st) return st;
    // The index may be gone altogether; the class index is rebuilt too.
    st = SqlStatus(c->db, sqlite3_exec(c->db, kIndexSchemaSql, nullptr, nullptr, nullptr));
    if (!st)
      st = SqlStatus(c->db, sqlite3_exec(c->db, "DELETE FROM summary", nullptr, nullptr, nullptr));
    if (st) return st;
    for (const char* sql : {"SELECT k, name, value FROM items WHERE (flags & 4) != 0",
                            "SELECT k, name, value FROM big WHERE (flags & 4) != 0"}) {
      Local s(c->db, sql, &st);
      if (st) return st;
      int rc;
      while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        const int64_t k = sqlite3_column_int64(s.get(), 0);
        if ((k & kSlotMask) == 0) continue;
        const char* name = static_cast<const char*>(sqlite3_column_blob(s.get(), 1));
        std::string_view n(name ? name : "", sqlite3_column_bytes(s.get(), 1));
        const char* value = static_cast<const char*>(sqlite3_column_blob(s.get(), 2));
        if (value == nullptr) continue;
        st = SummaryAddRows(c, k >> kSlotBits, k & kSlotMask, n, value,
                            sqlite3_column_bytes(s.get(), 2));
        if (st) return st;
      }
      if (rc != SQLITE_DONE) return SqlStatus(c->db, rc);
    }
    if (retRows) {
      Local count(c->db, "SELECT count(*) FROM summary", &st);
      if (st) return st;
      if (sqlite3_step(count.get()) == SQLITE_ROW)
        *retRows = static_cast<DWORD>(sqlite3_column_int64(count.get(), 0));
    }
    return txn.Commit();
  } catch (...) {
    return ERR_MEMORY;
  }
}

STATUS QDSDbForEachNoteId(DBHANDLE db, STATUS (*fn)(void* arg, NOTEID id), void* arg,
                          BOOL* retComplete) {
  Db* d = GetDb(db);
  if (d == nullptr || fn == nullptr) return ERR_BAD_ARG;
  if (retComplete) *retComplete = TRUE;
  Conn* c = d->conn;
  EndSnapshot(c);
  try {
    // Note ids from every table that keys rows by them, each walked by
    // seeks: rows that cannot be read are stepped over, not fatal.
    std::vector<NOTEID> ids;
    auto walk = [&](const char* sql, int shift) -> STATUS {
      STATUS st = NOERROR;
      Local seek(c->db, sql, &st);
      if (st == ERR_MEMORY) return st;
      if (st) {  // the table is gone: what it held is lost
        if (retComplete) *retComplete = FALSE;
        return NOERROR;
      }
      const int64_t limit = int64_t{0xFFFFFFFF} << shift;
      int64_t from = 0;
      int misses = 0;
      while (from <= limit) {
        sqlite3_reset(seek.get());
        sqlite3_bind_int64(seek.get(), 1, from);
        int rc = sqlite3_step(seek.get());
        if (rc == SQLITE_DONE) return NOERROR;
        if (rc != SQLITE_ROW) {
          if (retComplete) *retComplete = FALSE;
          // Step over the unreadable part, a note at a time, then in
          // growing strides so that a lost subtree ends the walk.
          if (++misses > 64) return NOERROR;
          const int grow = misses > 16 ? misses - 16 : 0;
          const int bits = shift + grow > 40 ? 40 : shift + grow;
          from += int64_t{1} << bits;
          continue;
        }
        const int64_t key = sqlite3_column_int64(seek.get(), 0);
        const NOTEID id = static_cast<NOTEID>(key >> shift);
        ids.push_back(id);
        if (id == 0xFFFFFFFF) return NOERROR;
        // A damaged b-tree may hand back a key below the one asked for:
        // move on by at least one note, so the walk always ends.
        const int64_t next = static_cast<int64_t>(id + 1) << shift;
        from = next > from ? next : from + (int64_t{1} << shift);
      }
      return NOERROR;
    };
    STATUS st = walk("SELECT note_id FROM notes WHERE note_id >= ?1 ORDER BY note_id LIMIT 1", 0);
    if (!st) st = walk("SELECT k FROM items WHERE k >= ?1 ORDER BY k LIMIT 1", kSlotBits);
    if (!st) st = walk("SELECT k FROM big WHERE k >= ?1 ORDER BY k LIMIT 1", kSlotBits);
    if (st) return st;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (NOTEID id : ids) {
      st = fn(arg, id);
      if (st) return st;
    }
    return NOERROR;
  } catch (...) {
    return ERR_MEMORY;
  }
}

STATUS QDSDbDropOrphanChunks(DBHANDLE db, DWORD* retRows) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  Conn* c = d->conn;
  st = SqlStatus(c->db, sqlite3_exec(c->db,
                                     "DELETE FROM object_chunks WHERE NOT EXISTS (SELECT 1 "
                                     "FROM objects WHERE rrv = object_chunks.k >> 13)",
                                     nullptr, nullptr, nullptr));
  if (!st && retRows) *retRows = static_cast<DWORD>(sqlite3_changes(c->db));
  return st;
}
