// Item scans (QDSDbScanItems): a few named items of every document, read
// straight from their rows in one pass over the tables, for reports over
// large databases (a queue's shape every minute on a million messages).
// Opening each document would load every item of it; a search would load
// every summary item.  Here the notes table and the item rows of the asked
// names (and the header rows, to tell a sound document from a damaged one)
// are walked side by side in note-id order, in one read snapshot.
#include <cstring>
#include <string>
#include <vector>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

// One ordered stream of (key, flags, name, value) rows of a table.
struct RowStream {
  sqlite3_stmt* s;
  bool live = false;
  int64_t key = 0;
  STATUS Step(sqlite3* db) {
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      live = true;
      key = sqlite3_column_int64(s, 0);
      return NOERROR;
    }
    live = false;
    return rc == SQLITE_DONE ? NOERROR : SqlStatus(db, rc);
  }
};

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSDbScanItems(DBHANDLE db, WORD noteClassMask, const char* const* names,
                      WORD nameCount, QDS_ITEMS_CALLBACK callback, void* arg) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (callback == nullptr || (nameCount > 0 && names == nullptr) || nameCount > 16)
    return ERR_BAD_ARG;
  Conn* c = d->conn;
  EndSnapshot(c);
  STATUS st = ConnSync(c);
  if (st) return st;
  try {
    std::string in;
    for (WORD i = 0; i < nameCount; i++) in += i ? ",?" : "?";
    const std::string where =
        nameCount ? " WHERE (k & 16777215) = 0 OR name IN (" + in + ")"
                  : " WHERE (k & 16777215) = 0";
    Local notes(c->db, "SELECT note_id, class FROM notes ORDER BY note_id", &st);
    if (st) return st;
    Local small(c->db, "SELECT k, flags, name, value FROM items" + where + " ORDER BY k", &st);
    if (st) return st;
    Local large(c->db, "SELECT k, flags, name, value FROM big" + where + " ORDER BY k", &st);
    if (st) return st;
    for (WORD i = 0; i < nameCount; i++) {
      const int len = static_cast<int>(strlen(names[i]));
      sqlite3_bind_blob(small.get(), i + 1, names[i], len, SQLITE_STATIC);
      sqlite3_bind_blob(large.get(), i + 1, names[i], len, SQLITE_STATIC);
    }
    // One snapshot: the report adds up to one moment of the file.
    int rc = sqlite3_exec(c->db, "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return SqlStatus(c->db, rc);
    struct End {
      sqlite3* db;
      ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{c->db};

    RowStream streams[2] = {{small.get()}, {large.get()}};
    for (RowStream& r : streams)
      if ((st = r.Step(c->db)) != NOERROR) return st;
    std::vector<ITEM_VALUE> values(nameCount);
    std::vector<int64_t> seqs(nameCount);
    // The values stay valid only until their stream steps on: copies,
    // kept across documents so their buffers are reused.
    std::vector<std::string> held(nameCount);
    for (;;) {
      rc = sqlite3_step(notes.get());
      if (rc == SQLITE_DONE) return NOERROR;
      if (rc != SQLITE_ROW) return SqlStatus(c->db, rc);
      const NOTEID id = static_cast<NOTEID>(sqlite3_column_int64(notes.get(), 0));
      const WORD cls = static_cast<WORD>(sqlite3_column_int(notes.get(), 1));
      const int64_t first = KeyFirst(id), last = KeyLast(id);
      // Rows of notes before this one have no note (verify names them).
      for (RowStream& r : streams)
        while (r.live && r.key < first)
          if ((st = r.Step(c->db)) != NOERROR) return st;
      ITEM_SCAN_DOC doc;
      memset(&doc, 0, sizeof doc);
      doc.NoteID = id;
      doc.NoteClass = cls;
      for (WORD i = 0; i < nameCount; i++) {
        values[i] = ITEM_VALUE{nullptr, 0, 0};
        seqs[i] = -1;
      }
      for (RowStream& r : streams) {
        while (r.live && r.key <= last) {
          const int64_t slot = r.key & kSlotMask;
          const char* value = static_cast<const char*>(sqlite3_column_blob(r.s, 3));
          const int vl = sqlite3_column_bytes(r.s, 3);
          if (slot == 0) {
            int64_t modified;
            doc.HeaderPresent = TRUE;
            doc.HeaderValid = DecodeHeader(value, vl, &modified, &doc.OriginatorID) ? TRUE : FALSE;
          } else if (cls & noteClassMask) {
            const char* name = static_cast<const char*>(sqlite3_column_blob(r.s, 2));
            const int nl = sqlite3_column_bytes(r.s, 2);
            for (WORD i = 0; i < nameCount; i++) {
              if (static_cast<size_t>(nl) != strlen(names[i]) ||
                  memcmp(name, names[i], nl) != 0)
                continue;
              const int64_t seq = SeqOf(slot);
              if (seqs[i] < 0 || seq < seqs[i]) {  // the first of that name
                seqs[i] = seq;
                held[i].assign(value ? value : "", vl);
                values[i].Flags = static_cast<WORD>(sqlite3_column_int(r.s, 1));
              }
            }
          }
          if ((st = r.Step(c->db)) != NOERROR) return st;
        }
      }
      if ((cls & noteClassMask) == 0) continue;
      for (WORD i = 0; i < nameCount; i++) {
        if (seqs[i] < 0) continue;
        values[i].Value = held[i].data();
        values[i].Length = static_cast<DWORD>(held[i].size());
      }
      st = callback(arg, &doc, values.data(), nameCount);
      if (st) return st;
    }
  } catch (...) {
    return ERR_MEMORY;
  }
}
