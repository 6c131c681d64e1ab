// The store's file format: one SQLite database per store database.
//
//   meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID
//       format = 'tavlo-store' and version = 2 mark the file as ours; a
//       file without them, or of another version, is refused
//       (ERR_NOT_A_DB) before anything is written to it.  Also: class,
//       info (the 128-byte info buffer), acl, replica_id / replica_flags /
//       replica_cutoff_interval / replica_cutoff, created, data_modified,
//       nondata_modified (TIMEDATE images, 8 bytes each).
//
//   notes(note_id INTEGER PRIMARY KEY AUTOINCREMENT, class)
//       One row per document.  AUTOINCREMENT because note ids are never
//       reused: a caller may hold the id of a deleted document and must not
//       reach a newer one through it.  notes_class indexes class for
//       design-note lookups.  The row changes only when a document is made,
//       deleted or given another class, never on an ordinary save.
//
//   items(k INTEGER PRIMARY KEY, flags, name BLOB, value BLOB)
//       One row per item, k = note_id << 24 | slot (item_key.h).  Slot 0 is
//       the document's header: its modified time (microseconds since 1970
//       UTC) and ORIGINATORID, kept here rather than in `notes` so that a
//       save rewrites it on the same leaf page as the small items it
//       changes.  Item slots carry a sequence number that orders the items
//       (order and duplicates are kept) and grows with every append, so a
//       save touches only the rows of the items that changed.  Folding the
//       document key into the rowid keeps items in a plain table b-tree
//       with no second index; a document is one contiguous rowid range.
//       `value` keeps the type code first, exactly as callers see it; it
//       is the last column so that reading flags and name never pulls the
//       overflow pages of a large value.
//
//   big(k INTEGER PRIMARY KEY, flags, name BLOB, value BLOB)
//       The same for values over kBigValue bytes (stream pieces, large
//       recipient arrays), whose slots have the kBigSlot bit set.  Kept
//       apart so that `items` stays dense: the header and small items of
//       several documents share a leaf page, a queue pass that rewrites
//       them dirties one page per document, and deleting a small item
//       never leaves a leaf so empty that SQLite rebalances its
//       neighbours.
//
//   summary(name_lc TEXT, token, note_id, seq, entry,
//           PRIMARY KEY(name_lc, token, note_id, seq, entry)) WITHOUT ROWID
//       The search index: one row per number, text or text-list entry of a
//       summary item, name and text folded to ASCII lower case.  `token` is
//       a REAL for numbers and TEXT for texts; the column has no type
//       affinity, so a number never equals a text.  An equality formula
//       finds its candidates with one range of the key, in note-id order,
//       so its cost follows the number of matches, not the size of the
//       database.  The table is its own index (one b-tree): a save that
//       changes a message's status writes one page of it, not two.  Rows
//       are removed by their full key, which the store recomputes from the
//       item's value (kept for that purpose when a summary item is
//       deleted, or read back from `items` when a document goes whole).
//
//   objects(rrv INTEGER PRIMARY KEY AUTOINCREMENT, class, privs, size)
//       One row per object: its id, class, privileges and fixed size.
//       AUTOINCREMENT because object ids, like note ids, are never reused.
//
//   object_chunks(k INTEGER PRIMARY KEY, data BLOB)
//       An object's bytes in chunks of 256 KiB (objects.cc), k = rrv << 13
//       | chunk index; every chunk but the last is full size, the last
//       holds the rest.  A chunk that was never written has no row and
//       reads as zeros, so allocating an object writes only its `objects`
//       row.  A write replaces the chunks it covers whole and writes into
//       the others in place through incremental blob I/O, so its cost
//       follows its own length, not its offset: with the object as one
//       blob, SQLite walked the overflow-page chain from the object's first
//       page on every write, and filling a large attachment piece by piece
//       took time quadratic in its size.  An object is one contiguous
//       rowid range, so reading or freeing it is one range of the key.
//       (Version 1 kept each object as one zero-filled blob in
//       objects.data; its files are not read.)
//
// Journal: WAL, synchronous FULL (TAVLO_SYNC=normal: NORMAL).  SQLite
// runs in its normal locking mode, with the WAL index in the -shm file,
// so any number of processes may read a database while one writes it:
// each read transaction sees the commits made before it began and nothing
// else, and neither side waits for the other.  One writer per file (the
// relay and the repair tool must never write one queue at once) is kept
// by the writer lock, flock(LOCK_EX) on the database file, which a
// read-write open takes without waiting and keeps until the process
// closes its last read-write handle of the file: a second writer gets
// ERR_DB_BUSY at open, at once, instead of interleaved writes or a failed
// save half-way through a pass.  A read-only open takes no writer lock;
// its connection runs with query_only.  Details in conn.cc.
#include <cstring>

#include "schema.h"

namespace tavlo::store {

const char kFormatMarker[] = "tavlo-store";
const int kFormatVersion = 2;
// Oldest version this code reads.  Version 1 stored objects differently
// (see above) and was never deployed.
const int kOldestReadVersion = 2;

const char kSchemaSql[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    "CREATE TABLE notes(note_id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " class INTEGER NOT NULL);"
    "CREATE INDEX notes_class ON notes(class);"
    "CREATE TABLE items(k INTEGER PRIMARY KEY, flags INTEGER NOT NULL,"
    " name BLOB NOT NULL, value BLOB NOT NULL);"
    "CREATE TABLE big(k INTEGER PRIMARY KEY, flags INTEGER NOT NULL,"
    " name BLOB NOT NULL, value BLOB NOT NULL);"
    "CREATE TABLE summary(name_lc TEXT NOT NULL, token NOT NULL,"
    " note_id INTEGER NOT NULL, seq INTEGER NOT NULL, entry INTEGER NOT NULL,"
    " PRIMARY KEY(name_lc, token, note_id, seq, entry)) WITHOUT ROWID;"
    "CREATE TABLE objects(rrv INTEGER PRIMARY KEY AUTOINCREMENT,"
    " class INTEGER NOT NULL, privs INTEGER NOT NULL, size INTEGER NOT NULL);"
    "CREATE TABLE object_chunks(k INTEGER PRIMARY KEY, data BLOB NOT NULL);";

// The search index alone, and the notes' class index: what a repair
// rebuilds when they are damaged or gone.
const char kIndexSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS summary(name_lc TEXT NOT NULL, token NOT NULL,"
    " note_id INTEGER NOT NULL, seq INTEGER NOT NULL, entry INTEGER NOT NULL,"
    " PRIMARY KEY(name_lc, token, note_id, seq, entry)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS notes_class ON notes(class);"
    "REINDEX notes_class;";

// Checks that an open connection is one of our databases.  Reads only.
STATUS SchemaCheck(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(
      db, "SELECT key, value FROM meta WHERE key IN ('format','version')", -1,
      &s, nullptr);
  if (rc != SQLITE_OK) {
    int base = rc & 0xFF;
    if (base == SQLITE_BUSY || base == SQLITE_LOCKED) return ERR_DB_BUSY;
    if (base == SQLITE_NOMEM) return ERR_MEMORY;
    if (base == SQLITE_IOERR || base == SQLITE_CANTOPEN) return ERR_DB_IO;
    // No meta table, not a database, a damaged schema: not ours.
    return ERR_NOT_A_DB;
  }
  bool formatOk = false;
  bool versionOk = false;
  STATUS st = NOERROR;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const char* key = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    if (key == nullptr) continue;
    if (strcmp(key, "format") == 0) {
      const void* v = sqlite3_column_blob(s, 1);
      int n = sqlite3_column_bytes(s, 1);
      formatOk = v != nullptr && n == static_cast<int>(strlen(kFormatMarker)) &&
                 memcmp(v, kFormatMarker, n) == 0;
    } else if (strcmp(key, "version") == 0) {
      versionOk = sqlite3_column_type(s, 1) == SQLITE_INTEGER &&
                  sqlite3_column_int64(s, 1) >= kOldestReadVersion &&
                  sqlite3_column_int64(s, 1) <= kFormatVersion;
    }
  }
  if (rc != SQLITE_DONE) {
    int base = rc & 0xFF;
    st = base == SQLITE_BUSY || base == SQLITE_LOCKED ? ERR_DB_BUSY
         : base == SQLITE_NOMEM                       ? ERR_MEMORY
         : base == SQLITE_IOERR || base == SQLITE_CANTOPEN ? ERR_DB_IO
                                                      : ERR_NOT_A_DB;
  } else if (!formatOk || !versionOk) {
    st = ERR_NOT_A_DB;
  }
  sqlite3_finalize(s);
  return st;
}

}  // namespace tavlo::store
