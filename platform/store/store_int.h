// Internals shared by the store's source files: the connection cache, the
// open databases, documents and collections, and small helpers.  Nothing
// here is visible above the platform.
#ifndef TAVLO_STORE_STORE_INT_H_
#define TAVLO_STORE_STORE_INT_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "handles.h"
#include "store_fault.h"  // test hook: wraps sqlite3_step and blob I/O
#include "tavlo/store.h"

namespace tavlo::store {

// Memory block tags of the store's own allocations.
constexpr WORD kTagItemValue = 0x7F01;   // item values of open documents
constexpr WORD kTagObjectRead = 0x7F02;  // QDSDbReadObject results
constexpr WORD kTagViewEntries = 0x7F03; // QVWReadEntries note-id arrays

// Largest item value accepted (type code included).  Summary items are
// also described by the 16-bit lengths of ITEM_TABLE, so they are held to
// 65535 bytes.
constexpr DWORD kMaxItemValue = 64u << 20;
constexpr DWORD kMaxSummaryValue = 0xFFFF;

// The little-endian word at `p`: a stored value's type code, a text list's
// count and lengths.  Alignment-free.
inline WORD LoadWord(const char* p) {
  return static_cast<WORD>(static_cast<BYTE>(p[0]) |
                           static_cast<BYTE>(p[1]) << 8);
}

// Prepared statements, one cached copy per connection (see conn.cc).
enum StmtId {
  kStBegin,
  kStCommit,
  kStRollback,
  kStMetaGet,
  kStMetaPut,
  kStMetaSet,
  kStNoteLoad,
  kStNoteHeader,
  kStNoteClass,
  kStNoteInsert,
  kStNoteSetClass,
  kStNoteDelete,
  kStItemsDeleteNote,
  kStBigItemsDeleteNote,
  kStItemDelete,
  kStBigItemDelete,
  kStItemInsert,
  kStBigItemInsert,
  kStItemUpdate,
  kStBigItemUpdate,
  kStItemValue,
  kStBigItemValue,
  kStSummaryDeleteItem,
  kStSummaryInsert,
  kStSummaryItems,
  kStSearchItems,
  kStNotesScan,
  kStNotesByClass,
  kStItemByName,
  kStObjInsert,
  kStObjDelete,
  kStObjSize,
  kStChunkPut,
  kStChunkEnsure,
  kStChunksDelete,
  kStChunksList,
  kStItemsOfNote,
  kStDataVersion,
  kStSummaryExists,
  kStSummaryRange,
  kStItemKeyAfter,
  kNumStmts
};

// What a search needs of a stored document, kept between searches (see
// search.cc): class, modified time, OID and its summary items as an
// ITEM_TABLE.
struct SearchEntry {
  WORD cls = 0;
  int64_t modified = 0;
  ORIGINATORID oid = {};
  std::vector<char> table;
};

// One SQLite connection per database file, shared by every DBHANDLE of the
// process that opened the same file (by identity: two names of one file
// share it), read-only or not.  While at least one of those handles is
// read-write the connection holds the file's writer lock and its session
// (session.h), so no other process changes the file.
struct Conn {
  sqlite3* db = nullptr;
  std::string canonical;  // realpath of the file when opened: SQLite's name
  dev_t dev = 0;          // identity of the file: the sharing key
  ino_t ino = 0;
  int refs = 0;           // open DBHANDLEs, and searches under way
  int writers = 0;        // read-write DBHANDLEs; > 0: writer lock held
  int lockFd = -1;        // the file, for the session's locks and marker;
                          // closed only after `db` (see conn.cc)
  uint64_t serial = 0;    // unique per connection ever made
  // Session (session.cc).
  uint32_t gen = 0;           // sidecar generation in use
  std::string sidecarBase;    // where the WAL and its index are
  bool immutable = false;     // reading the file alone, no sidecars
  bool sqliteReadOnly = false;  // opened SQLITE_OPEN_READONLY
  bool mapped = false;        // the VFS maps canonical to sidecarBase
  bool attached = false;      // holds the attach lock for reading
  bool writerLock = false;    // holds the writer lock for writing
  bool writerSession = false; // the file is marked dirty by this writer
  // Durability (conn.cc).  Bulk: every write handle asked for it; commits
  // are not synced one by one, the WAL is synced at sync points instead.
  int bulkWriters = 0;        // read-write handles opened in bulk mode
  bool bulk = false;          // the mode the connection is in
  bool syncPoints = false;    // bulk, and TAVLO_SYNC does not override it
  int commitsSinceSync = 0;
  int64_t lastSyncMs = 0;
  bool createdAnchor = false; // a reader made the sidecar anchor
  bool walExisted = false;    // a reader found the WAL already there
  sqlite3_stmt* stmts[kNumStmts] = {};
  // Cached from meta; kept in step by the calls that change them.
  WORD dbClass = 0;
  TIMEDATE replicaId = {};
  TIMEDATE lastOidNote = {};  // last ORIGINATORID.Note handed out
  // Search cache.  While this connection holds the writer lock every
  // change to the file goes through it, so dropping a document's entry
  // whenever it is saved or deleted keeps the cache exact.  Without the
  // lock another process may commit at any time: ConnSync compares the
  // file's data version with `dataVersion` before the caches are used and
  // drops them when it moved.
  std::unordered_map<NOTEID, SearchEntry> searchCache;
  size_t searchCacheBytes = 0;
  int64_t dataVersion = -1;  // PRAGMA data_version the caches agree with
  bool snapshot = false;     // a search's read transaction is open
};

// Sets up a freshly opened SQLite connection of `c` before its first read:
// busy timeout, durability, cache size; a reader's connection refuses
// every write and never checkpoints.
STATUS ConfigureSqlite(Conn* c, bool writable);

// Brings the caches of a connection without the writer lock in step with
// the file: when another connection committed since the last check, the
// search cache is emptied and the meta values read again.  Nothing to do
// (and nothing read) while this process holds the writer lock.
STATUS ConnSync(Conn* c);
// Ends the read transaction of a search's snapshot, if one is open.
void EndSnapshot(Conn* c);

// Drops a document from the search cache; call on every save or delete.
void SearchForget(Conn* c, NOTEID id);

// Deletes a document's note row, its item rows and their index rows, inside
// the caller's transaction.  ERR_NOTE_NOT_FOUND when it has no note row.
STATUS DeleteNoteRows(Conn* c, NOTEID noteId);

// An open database handle.
struct Db {
  Conn* conn = nullptr;
  std::string path;  // resolved path as opened
  bool readOnly = false;  // QDSDbOpenReadOnly: every write is refused
  bool bulk = false;      // opened with DBOPEN_BULK
  // Documents searches through this handle skipped as undecodable, and
  // whether the search index could not be used (QDSDbSearchDamage).
  std::set<NOTEID> damaged;
  bool indexDamaged = false;
};

// An item of an open document.  The value, type code first, lives in a
// runtime memory block so callers can lock it through its BLOCKID.
struct Item {
  std::string name;
  WORD flags = 0;
  WORD type = 0;
  BLOCKID bid = {};  // value address: pool handle + offset
  DWORD len = 0;     // value length with its type code
  int64_t slot = 0;  // row in `items` (item_key.h); 0: only in memory
};

// Stored rows that an update must remove.  The name lets a re-appended
// item of that name take over the row.
struct PendingDelete {
  int64_t slot = 0;
  bool summary = false;
  std::string name;
};

struct Note {
  DBHANDLE db = 0;          // database the next update writes to
  uint64_t connSerial = 0;  // connection whose file `id` belongs to
  NOTEID id = 0;            // 0: not stored yet, the next update inserts
  WORD noteClass = NOTE_CLASS_DOCUMENT;
  bool classDirty = false;
  bool rewriteAll = false;  // stored rows no longer match `items`
  ORIGINATORID oid = {};
  TIMEDATE modified = {};
  std::vector<Item> items;
  std::vector<PendingDelete> deleted;
  int64_t nextSeq = 1;  // next sequence number for an appended item
};

// Header row of a stored document (see item_key.h).
void EncodeHeader(int64_t modified, const ORIGINATORID& oid, char* out);
bool DecodeHeader(const void* p, int len, int64_t* modified,
                  ORIGINATORID* oid);
// Class, modified time and OID of a stored document; *found false when
// there is none.
STATUS NoteReadHeader(Conn* c, NOTEID id, WORD* cls, int64_t* modified,
                      ORIGINATORID* oid, bool* found);

struct Collection {
  DBHANDLE db = 0;
  std::vector<NOTEID> ids;
};

using DbTable = HandleTable<Db, 1>;
using NoteTable = HandleTable<Note, 2>;
using CollectionTable = HandleTable<Collection, 3>;
DbTable& Dbs();
NoteTable& Notes();
CollectionTable& Collections();

// --- connections (conn.cc) ------------------------------------------------

// Resolves a caller's path against the data directory; ERR_DB_PATH (with
// the detail) when SQLite could not take it.
STATUS ResolvePath(const char* path, std::string* out);
// ERR_DB_PATH when SQLite could not take `path` or the names of the
// sidecars beside it; the detail names the limit.
STATUS CheckPathLength(const std::string& path);
// Opens (or shares) the connection for an existing file.  `writable`
// takes the writer lock too (ERR_DB_BUSY at once when another process
// holds it); a read-only acquire takes no lock and never writes.
STATUS ConnAcquire(const std::string& resolved, bool writable, bool bulk, Conn** out);
// Undoes one ConnAcquire with the same `writable` and `bulk`; the last
// writer lets the lock go, the last reference closes the connection.
void ConnRelease(Conn* c, bool writable, bool bulk = false);
// Bulk mode's sync points (conn.cc): at most this many commits, or this
// long, between syncs of the WAL.
constexpr int kBulkSyncCommits = 1000;
constexpr int64_t kBulkSyncMillis = 1000;
// Sync points bulk writers of this process have taken (a test hook).
DWORD SyncPointsTaken();
// The live connection of a file in this process, or null.
Conn* ConnFind(dev_t dev, ino_t ino);
// Keeps every other process away from a file this process is about to
// replace or remove: ERR_DB_BUSY when one has it open (as writer or
// reader).  Otherwise the locks stay held on *fd until the caller closes
// it.  The caller checked that this process has no connection to the file
// (ConnFind), so closing `*fd` drops no lock of SQLite's.
STATUS LockForReplace(const std::string& path, int* fd);
// Cached prepared statement, reset and ready for binding; null on error
// with *st set.
sqlite3_stmt* Stmt(Conn* c, StmtId id, STATUS* st);
// Maps an SQLite result code to a STATUS.
STATUS SqlStatus(int rc);
// The same, told more by the connection's last system error: a write the
// file system refused for want of room gives ERR_DISK_FULL.
STATUS SqlStatus(sqlite3* db, int rc);
// The Db of a handle, or null.
inline Db* GetDb(DBHANDLE h) { return Dbs().Get(h); }
// The Db of a handle that is to write: ERR_BAD_DB for an unknown handle,
// ERR_DB_READONLY for one opened read-only.  Every call that changes the
// file checks its handle here first; a search's snapshot (a callback that
// writes) ends here, so the write is neither held back by it nor left
// uncommitted in it.
inline STATUS GetWritableDb(DBHANDLE h, Db** out) {
  *out = Dbs().Get(h);
  if (*out == nullptr) return ERR_BAD_DB;
  if ((*out)->readOnly) return ERR_DB_READONLY;
  if ((*out)->conn->snapshot) EndSnapshot((*out)->conn);
  return NOERROR;
}

// Resets a cached statement when it leaves scope, so an early return never
// leaves a statement holding a read transaction open.
class StmtReset {
 public:
  explicit StmtReset(sqlite3_stmt* s) : s_(s) {}
  ~StmtReset() {
    if (s_) sqlite3_reset(s_);
  }
  StmtReset(const StmtReset&) = delete;
  StmtReset& operator=(const StmtReset&) = delete;

 private:
  sqlite3_stmt* s_;
};

// A statement prepared for one call and finalized when it leaves scope: for
// the admin paths (check, raw copy, scans), not worth a place in the
// connection's cache.  A failed prepare sets *st.
class Local {
 public:
  Local(sqlite3* db, const std::string& sql, STATUS* st) {
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr);
    if (rc != SQLITE_OK) *st = SqlStatus(db, rc);
  }
  ~Local() { sqlite3_finalize(s_); }
  sqlite3_stmt* get() const { return s_; }
  Local(const Local&) = delete;
  Local& operator=(const Local&) = delete;

 private:
  sqlite3_stmt* s_ = nullptr;
};

// The statement of a pair that works on the table holding `slot`: the
// `big` variant follows its `items` variant in StmtId.
inline StmtId ForSlot(StmtId small, int64_t slot) {
  return (slot & (int64_t{1} << 23)) ? static_cast<StmtId>(small + 1) : small;
}

// Runs a statement that returns no rows (or whose rows are ignored).
STATUS StepDone(sqlite3_stmt* s);

// A write transaction; rolls back unless committed.
class Txn {
 public:
  explicit Txn(Conn* c) : c_(c) {}
  ~Txn();
  STATUS Begin();
  STATUS Commit();
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

 private:
  Conn* c_;
  bool open_ = false;
};

// --- meta (meta.cc) -------------------------------------------------------

STATUS MetaGet(Conn* c, const char* key, std::string* blob);
STATUS MetaGetInt(Conn* c, const char* key, int64_t* value);
STATUS MetaPut(Conn* c, const char* key, const void* data, size_t len);
STATUS MetaPutInt(Conn* c, const char* key, int64_t value);
// Stamps the data or non-data modified time for a change to a note of
// `noteClass`; call inside the change's transaction.
STATUS MetaTouch(Conn* c, WORD noteClass, const TIMEDATE& now);
// A fresh ORIGINATORID for a document of this database.
void NewOid(Conn* c, ORIGINATORID* oid);

// --- summary index (summary.cc) ---------------------------------------------

// Writes / removes the index rows of one summary item.
STATUS SummaryAddRows(Conn* c, int64_t noteId, int64_t slot,
                      std::string_view name, const char* value, size_t len);
STATUS SummaryDeleteRows(Conn* c, int64_t noteId, int64_t slot,
                         std::string_view name, const char* value, size_t len);
// Removes the index rows of every stored summary item of a document.
STATUS SummaryDeleteNote(Conn* c, NOTEID noteId);
// Counts the index rows one summary item calls for and how many of them
// are missing.
STATUS SummaryCheckRows(Conn* c, int64_t noteId, int64_t slot,
                        std::string_view name, const char* value, size_t len,
                        DWORD* missing, DWORD* expected);
// True when the current row of `row` (name_lc, token, note_id, seq,
// entry) is one of the index rows this summary item calls for.
bool SummaryRowBelongs(std::string_view name, const char* value, size_t len,
                       sqlite3_stmt* row);
// ASCII lower case, the case folding of formula names and texts.
void LowerAscii(std::string_view in, std::string* out);

// --- documents (note.cc) ----------------------------------------------------

// Frees every value block of a document and unregisters it.
void NoteDestroy(NOTEHANDLE h);
// Appends an item whose value block the document now owns.
STATUS NoteAdoptItem(Note* n, WORD flags, const char* name, WORD nameLen,
                     BLOCKID bid, DWORD len, WORD type);

// --- search (search.cc) -----------------------------------------------------

// "Modified after `since`": a null, minimum or wildcard time takes all.
struct Since {
  bool all = true;
  int64_t micros = 0;
  bool Takes(int64_t modified) const { return all || modified > micros; }
};
Since MakeSince(const TIMEDATE* since);

struct SearchHit {
  NOTEID id;
  WORD noteClass;
  const ORIGINATORID* oid;
  ITEM_TABLE* table;
  bool damaged = false;  // undecodable: reported, never matched
};
// Runs formula text `text` (empty: every document) and calls `fn` for each
// match in note-id order; a nonzero result of `fn` stops and is returned.
// A document that cannot be decoded matches nothing and is recorded on the
// handle; with SEARCH_REPORT_DAMAGED in `flags` it reaches `fn` too.
// `after`: only documents with a greater note id (paging).
STATUS SearchRun(DBHANDLE db, std::string_view text, WORD mask,
                 const TIMEDATE* since, WORD flags,
                 STATUS (*fn)(void* arg, const SearchHit& hit), void* arg,
                 NOTEID after = 0);

}  // namespace tavlo::store

#endif  // TAVLO_STORE_STORE_INT_H_
