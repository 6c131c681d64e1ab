// Connections: one SQLite connection per database file in this process,
// shared by every DBHANDLE that opened the same file (found by device and
// inode, so two names of one file share it), read-only or not, and closed
// with the last of them.  Sharing keeps one set of caches and one writer
// session per file and process: a read-only handle and a read-write handle
// of one process see the same, exact caches.
//
// How a connection attaches to the file and its sidecars, and the locks
// that keep one writer and many readers apart, are in session.h.  One rule
// shapes this file: closing any descriptor of a file drops every POSIX
// record lock the process holds on it, SQLite's included.  So a process
// never has two connections to one file, the descriptor that carries the
// session's locks is opened before the SQLite connection and closed only
// after it, and nothing else here opens and closes the file while a
// connection to it is open.
//
// Statements are prepared once per connection, on first use, and kept:
// a saved document runs a handful of small statements, and preparing them
// each time would cost more than running them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>
#include <strings.h>

#include "schema.h"
#include "session.h"
#include "store_int.h"
#include "tavlo/runtime.h"
#include "vfs.h"

namespace tavlo::store {

uint64_t g_syncPoints = 0;  // bulk sync points taken by this process

DbTable& Dbs() {
  static DbTable t;
  return t;
}
NoteTable& Notes() {
  static NoteTable t;
  return t;
}
CollectionTable& Collections() {
  static CollectionTable t;
  return t;
}

namespace {

std::map<std::pair<dev_t, ino_t>, Conn*>& ConnMap() {
  static std::map<std::pair<dev_t, ino_t>, Conn*> m;
  return m;
}
uint64_t g_next_serial = 1;

// How long a statement waits for an SQLite lock that another connection
// holds before it reports ERR_DB_BUSY.  Writers never meet here (the
// writer lock turns the second one away at open), so what remains is held
// only for moments: the rebuild of the WAL index after a crash, a
// checkpoint.  Waiting those out beats failing a save in the middle of a
// pass.
constexpr int kBusyTimeoutMs = 2000;
const char* const kStmtSql[kNumStmts] = {
    /* kStBegin */ "BEGIN",
    /* kStCommit */ "COMMIT",
    /* kStRollback */ "ROLLBACK",
    /* kStMetaGet */ "SELECT value FROM meta WHERE key=?1",
    /* kStMetaPut */ "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)",
    /* kStMetaSet */ "UPDATE meta SET value=?2 WHERE key=?1",
    /* kStNoteLoad */
    "SELECT -1, class, NULL, NULL FROM notes WHERE note_id=?1"
    " UNION ALL SELECT k, flags, name, value FROM items"
    " WHERE k BETWEEN ?2 AND ?3"
    " UNION ALL SELECT k, flags, name, value FROM big"
    " WHERE k BETWEEN ?2 AND ?3",
    /* kStNoteHeader */
    "SELECT n.class, i.value FROM notes n LEFT JOIN items i ON i.k=?2"
    " WHERE n.note_id=?1",
    /* kStNoteClass */ "SELECT class FROM notes WHERE note_id=?1",
    /* kStNoteInsert */ "INSERT INTO notes(class) VALUES(?1)",
    /* kStNoteSetClass */ "UPDATE notes SET class=?2 WHERE note_id=?1",
    /* kStNoteDelete */ "DELETE FROM notes WHERE note_id=?1 RETURNING class",
    /* kStItemsDeleteNote */ "DELETE FROM items WHERE k BETWEEN ?1 AND ?2",
    /* kStBigItemsDeleteNote */ "DELETE FROM big WHERE k BETWEEN ?1 AND ?2",
    /* kStItemDelete */ "DELETE FROM items WHERE k=?1",
    /* kStBigItemDelete */ "DELETE FROM big WHERE k=?1",
    /* kStItemInsert */
    "INSERT INTO items(k, flags, name, value) VALUES(?1, ?2, ?3, ?4)",
    /* kStBigItemInsert */
    "INSERT INTO big(k, flags, name, value) VALUES(?1, ?2, ?3, ?4)",
    /* kStItemUpdate */
    "UPDATE items SET flags=?2, name=?3, value=?4 WHERE k=?1",
    /* kStBigItemUpdate */
    "UPDATE big SET flags=?2, name=?3, value=?4 WHERE k=?1",
    /* kStItemValue */ "SELECT name, value FROM items WHERE k=?1",
    /* kStBigItemValue */ "SELECT name, value FROM big WHERE k=?1",
    /* kStSummaryDeleteItem */
    "DELETE FROM summary WHERE name_lc=?1 AND token=?2 AND note_id=?3"
    " AND seq=?4",
    /* kStSummaryInsert */
    "INSERT OR REPLACE INTO summary(name_lc, token, note_id, seq, entry)"
    " VALUES(?1, ?2, ?3, ?4, ?5)",
    /* kStSummaryItems */
    "SELECT name, value, k FROM items WHERE k BETWEEN ?1 AND ?2"
    " AND (flags & 4) != 0"
    " UNION ALL SELECT name, value, k FROM big WHERE k BETWEEN ?1 AND ?2"
    " AND (flags & 4) != 0",
    /* kStSearchItems */
    "SELECT name, value, k FROM items WHERE k BETWEEN ?1 AND ?2"
    " AND (k = ?1 OR (flags & 4) != 0)"
    " UNION ALL SELECT name, value, k FROM big WHERE k BETWEEN ?1 AND ?2"
    " AND (flags & 4) != 0",
    /* kStNotesScan */
    "SELECT note_id, class FROM notes WHERE note_id > ?1"
    " ORDER BY note_id LIMIT ?2",
    /* kStNotesByClass */
    "SELECT note_id FROM notes WHERE class=?1 ORDER BY note_id",
    /* kStItemByName */
    "SELECT value, k & 8388607 AS seq FROM items"
    " WHERE k BETWEEN ?1 AND ?2 AND name=?3"
    " UNION ALL SELECT value, k & 8388607 FROM big"
    " WHERE k BETWEEN ?1 AND ?2 AND name=?3 ORDER BY seq LIMIT 1",
    /* kStObjInsert */
    "INSERT INTO objects(class, privs, size) VALUES(?1, ?2, ?3)",
    /* kStObjDelete */ "DELETE FROM objects WHERE rrv=?1",
    /* kStObjSize */ "SELECT size FROM objects WHERE rrv=?1",
    /* kStChunkPut */
    "INSERT OR REPLACE INTO object_chunks(k, data) VALUES(?1, ?2)",
    /* kStChunkEnsure */
    "INSERT OR IGNORE INTO object_chunks(k, data) VALUES(?1, zeroblob(?2))",
    /* kStChunksDelete */ "DELETE FROM object_chunks WHERE k BETWEEN ?1 AND ?2",
    /* kStChunksList */
    "SELECT k FROM object_chunks WHERE k BETWEEN ?1 AND ?2 ORDER BY k",
    /* kStItemsOfNote */
    "SELECT k, flags, name, value FROM items WHERE k BETWEEN ?1 AND ?2"
    " UNION ALL SELECT k, flags, name, value FROM big"
    " WHERE k BETWEEN ?1 AND ?2",
    /* kStDataVersion */ "PRAGMA data_version",
    /* kStSummaryExists */
    "SELECT 1 FROM summary WHERE name_lc=?1 AND token=?2 AND note_id=?3"
    " AND seq=?4 AND entry=?5",
    /* kStSummaryRange */
    "SELECT note_id FROM summary WHERE name_lc=?1 AND token=?2 AND note_id>?3"
    " ORDER BY note_id LIMIT ?4",
    /* kStItemKeyAfter */
    "SELECT k FROM items WHERE k BETWEEN ?1 AND ?2 LIMIT 1",
};


STATUS Exec(sqlite3* db, const char* sql) {
  return SqlStatus(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

STATUS ReadDataVersion(Conn* c, int64_t* out) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStDataVersion, &st);
  if (!s) return st;
  StmtReset reset(s);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERR_DB_IO : SqlStatus(rc);
  *out = sqlite3_column_int64(s, 0);
  return NOERROR;
}

// Loads the meta values a connection caches.
STATUS LoadCache(Conn* c) {
  int64_t cls = 0;
  STATUS st = MetaGetInt(c, "class", &cls);
  if (st) return st;
  c->dbClass = static_cast<WORD>(cls);
  std::string blob;
  st = MetaGet(c, "replica_id", &blob);
  if (st) return st;
  if (blob.size() != sizeof(TIMEDATE)) return ERR_DB_CORRUPT;
  memcpy(&c->replicaId, blob.data(), sizeof(TIMEDATE));
  return NOERROR;
}

// The durability of a writer's commits.  TAVLO_SYNC=full syncs the WAL at
// every commit; normal leaves that to the checkpoints (still atomic and
// never corrupt; the last commits may be lost on power loss).  Unset, a
// per-save writer gets full and a bulk writer its sync points: NORMAL, the
// WAL synced every kBulkSyncCommits commits or kBulkSyncMillis and at
// close, so a power loss can undo only work since the last sync point.
STATUS SyncPragma(bool bulk, const char** sql, bool* syncPoints) {
  const char* v = getenv("TAVLO_SYNC");
  *syncPoints = false;
  if (v == nullptr || *v == '\0') {
    *sql = bulk ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL";
    *syncPoints = bulk;
  } else if (strcasecmp(v, "full") == 0) {
    *sql = "PRAGMA synchronous=FULL";
  } else if (strcasecmp(v, "normal") == 0) {
    *sql = "PRAGMA synchronous=NORMAL";
  } else {
    SetOpenDetail(std::string("TAVLO_SYNC=") + v +
                  " is not a durability setting: use full or normal");
    return ERR_SETTING;
  }
  return NOERROR;
}

int64_t NowMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Puts the connection in bulk mode when every write handle asked for it,
// and back to per-save durability when one did not.
STATUS ApplyDurability(Conn* c) {
  const bool bulk = c->writers > 0 && c->bulkWriters == c->writers;
  if (bulk == c->bulk || c->db == nullptr) return NOERROR;
  const char* sql = nullptr;
  bool points = false;
  STATUS st = SyncPragma(bulk, &sql, &points);
  if (!st) st = Exec(c->db, sql);
  if (st) return st;
  // Leaving bulk mode: what it left unsynced is synced now.
  if (c->bulk && c->syncPoints) VfsSyncWal(c->db);
  c->bulk = bulk;
  c->syncPoints = points;
  c->commitsSinceSync = 0;
  c->lastSyncMs = NowMillis();
  return NOERROR;
}

}  // namespace

STATUS SqlStatus(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return NOERROR;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERR_DB_BUSY;
    case SQLITE_NOMEM:
      return ERR_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
      return ERR_DB_CORRUPT;
    case SQLITE_TOOBIG:
      return ERR_ITEM_TOO_BIG;
    // SQLite reports a write refused for want of space (ENOSPC, or a short
    // write) as FULL; the operator needs that told apart from a failing
    // disk, since making room is the whole remedy.
    case SQLITE_FULL:
      return ERR_DISK_FULL;
    case SQLITE_READONLY:
      return ERR_DB_READONLY;
    default:
      return ERR_DB_IO;
  }
}

namespace {

// True when the last failed system call on the database file or on its
// WAL was refused for want of room.  SQLite keeps that errno per file (the
// connection's own sqlite3_system_errno is not set for a failed commit),
// and a commit writes the WAL, not the database file.
bool OutOfRoom(sqlite3* db) {
  auto full = [](int e) { return e == ENOSPC || e == EDQUOT || e == EFBIG; };
  int e = 0;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &e) ==
          SQLITE_OK &&
      full(e))
    return true;
  sqlite3_file* wal = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) !=
          SQLITE_OK ||
      wal == nullptr || wal->pMethods == nullptr)
    return false;
  e = 0;
  return wal->pMethods->xFileControl(wal, SQLITE_FCNTL_LAST_ERRNO, &e) ==
             SQLITE_OK &&
         full(e);
}

}  // namespace

STATUS SqlStatus(sqlite3* db, int rc) {
  // SQLite says FULL only for ENOSPC; a quota (EDQUOT) or a file-size
  // limit (EFBIG) comes back as a plain write error.  All three leave the
  // operator the same remedy, room, so they give the same status.
  if ((rc & 0xFF) == SQLITE_IOERR && db != nullptr && OutOfRoom(db))
    return ERR_DISK_FULL;
  return SqlStatus(rc);
}

STATUS ResolvePath(const char* path, std::string* out) {
  if (path == nullptr || path[0] == '\0') return ERR_DB_PATH;
  size_t len = strnlen(path, PATH_MAX);
  if (len >= PATH_MAX) return ERR_DB_PATH;
  if (path[0] == '/') {
    out->assign(path, len);
  } else {
    const char* dir = TavloDataDirectory();
    if (dir == nullptr || dir[0] == '\0') dir = ".";
    out->assign(dir);
    if (out->back() != '/') out->push_back('/');
    out->append(path, len);
  }
  if (out->size() >= PATH_MAX) return ERR_DB_PATH;
  return CheckPathLength(*out);
}

STATUS CheckPathLength(const std::string& path) {
  // SQLite takes names of at most its VFS's mxPathname bytes (512 on
  // unix), the database's name plus "-journal" included, and the hidden
  // files beside it are named ".tavlo-<inode>-<generation>-journal".
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const size_t limit = vfs ? static_cast<size_t>(vfs->mxPathname) : 512;
  size_t slash = path.rfind('/');
  const size_t dir = slash == std::string::npos ? 1 : slash;
  const size_t longest = std::max(path.size() + 8, dir + 45);
  if (longest <= limit) return NOERROR;
  SetOpenDetail(path + " is " + std::to_string(path.size()) +
                " bytes long; SQLite takes names of at most " + std::to_string(limit) +
                " bytes, and with the hidden files beside it this one needs " +
                std::to_string(longest));
  return ERR_DB_PATH;
}

Conn* ConnFind(dev_t dev, ino_t ino) {
  auto it = ConnMap().find({dev, ino});
  return it == ConnMap().end() ? nullptr : it->second;
}

STATUS ConfigureSqlite(Conn* c, bool writable) {
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
  STATUS st = NOERROR;
  if (writable) {
    const char* sync = nullptr;
    st = SyncPragma(c->bulk, &sync, &c->syncPoints);
    if (!st) st = Exec(c->db, sync);
    c->commitsSinceSync = 0;
    c->lastSyncMs = NowMillis();
  } else {
    // A reader never checkpoints (that writes the file) and never writes:
    // query_only turns away any write a code path forgot to check for.
    sqlite3_db_config(c->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    st = Exec(c->db, "PRAGMA query_only=1");
  }
  // A queue pass touches a few pages of each of many documents; a larger
  // page cache than SQLite's default 2 MB keeps more of them between saves.
  if (!st) st = Exec(c->db, "PRAGMA cache_size=-8192");
  return st;
}

namespace {

// Opens the connection of `c` (canonical path and identity set); on
// failure closes what it opened.
STATUS OpenConn(Conn* c, bool writable) {
  SetOpenDetail(std::string());
  STATUS st = OpenSession(c, writable);
  // The version first, then the values: a commit in between makes the
  // next ConnSync read them again, never keep them stale.
  if (!st && !writable) st = ReadDataVersion(c, &c->dataVersion);
  if (!st) st = LoadCache(c);
  if (st) {
    st = RefineOpenStatus(st, c->db);
    CloseSession(c);
  }
  return st;
}

// Forgets what a closed session knew, before the connection reopens.
void ResetSession(Conn* c) {
  c->immutable = c->sqliteReadOnly = c->mapped = false;
  c->attached = c->writerLock = c->writerSession = false;
  c->createdAnchor = c->walExisted = false;
  c->searchCache.clear();
  c->searchCacheBytes = 0;
  c->dataVersion = -1;
}

// Makes a connection opened read-only the writer of its file.
STATUS Upgrade(Conn* c) {
  // A search that reads a snapshot is under way and its callback opened
  // the file for writing: the snapshot ends here (no statement of the
  // search runs while its callback does), and the search goes on with the
  // writer's exact caches.
  EndSnapshot(c);
  if (!c->sqliteReadOnly && !c->immutable) {
    // The connection was this process's writer before: resume.
    STATUS st = ResumeWriterSession(c);
    // Downgrade left it query_only: every save would be refused as
    // read-only.
    if (!st) st = Exec(c->db, "PRAGMA query_only=0");
    if (!st) st = LoadCache(c);
    return st;
  }
  // A reader's connection cannot write: reopen it as the writer, or as the
  // reader it was when that fails.
  CloseSession(c);
  ResetSession(c);
  STATUS st = OpenSession(c, true);
  if (!st) st = LoadCache(c);
  if (!st) return NOERROR;
  CloseSession(c);
  ResetSession(c);
  STATUS again = OpenSession(c, false);
  if (!again) again = ReadDataVersion(c, &c->dataVersion);
  if (!again) again = LoadCache(c);
  if (again) CloseSession(c);  // its handles' calls fail from now on
  return st;
}

// The last read-write handle closed; read-only ones remain.
void Downgrade(Conn* c) {
  EndWriterSession(c, false);
  // Record the version the caches agree with; unknown (-1) makes the next
  // ConnSync drop them.
  if (ReadDataVersion(c, &c->dataVersion) != NOERROR) c->dataVersion = -1;
  Exec(c->db, "PRAGMA query_only=1");
}

}  // namespace

STATUS ConnAcquire(const std::string& resolved, bool writable, bool bulk, Conn** out) {
  SetOpenDetail(std::string());
  struct stat sb;
  if (::stat(resolved.c_str(), &sb) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ERR_NOEXIST;
    if (errno == ENAMETOOLONG) return ERR_DB_PATH;
    return errno == EMFILE || errno == ENFILE ? ERR_NO_FILES : ERR_DB_IO;
  }
  if (!S_ISREG(sb.st_mode)) return ERR_NOT_A_DB;

  if (Conn* c = ConnFind(sb.st_dev, sb.st_ino)) {
    if (writable && c->writers == 0) {
      c->bulk = bulk;
      STATUS st = Upgrade(c);
      if (st) return st;
    }
    ++c->refs;
    if (writable) ++c->writers;
    if (writable && bulk) ++c->bulkWriters;
    if (writable) (void)ApplyDurability(c);
    *out = c;
    return NOERROR;
  }

  char* real = ::realpath(resolved.c_str(), nullptr);
  if (real == nullptr) return errno == ENAMETOOLONG ? ERR_DB_PATH : ERR_DB_IO;
  if (STATUS st = CheckPathLength(real)) {
    free(real);
    return st;
  }
  Conn* c = new (std::nothrow) Conn;
  if (c == nullptr) {
    free(real);
    return ERR_MEMORY;
  }
  STATUS st = NOERROR;
  try {
    c->canonical = real;
  } catch (...) {
    st = ERR_MEMORY;
  }
  free(real);
  c->dev = sb.st_dev;
  c->ino = sb.st_ino;
  c->bulk = writable && bulk;
  if (!st) st = OpenConn(c, writable);
  if (!st) {
    try {
      ConnMap().emplace(std::make_pair(c->dev, c->ino), c);
    } catch (...) {
      CloseSession(c);
      st = ERR_MEMORY;
    }
  }
  if (st) {
    delete c;
    return st;
  }
  c->refs = 1;
  c->writers = writable ? 1 : 0;
  c->bulkWriters = writable && bulk ? 1 : 0;
  c->serial = g_next_serial++;
  *out = c;
  return NOERROR;
}

void ConnRelease(Conn* c, bool writable, bool bulk) {
  if (writable && bulk) --c->bulkWriters;
  if (writable && c->writers > 1) {
    --c->writers;
    (void)ApplyDurability(c);
  } else if (writable && --c->writers == 0 && c->refs > 1) {
    Downgrade(c);
  }
  if (--c->refs > 0) return;
  ConnMap().erase({c->dev, c->ino});
  CloseSession(c);  // ends the writer's session first
  delete c;
}

STATUS ConnSync(Conn* c) {
  if (c->writers > 0) return NOERROR;
  int64_t version = 0;
  STATUS st = ReadDataVersion(c, &version);
  if (st || version == c->dataVersion) return st;
  c->searchCache.clear();
  c->searchCacheBytes = 0;
  st = LoadCache(c);
  if (!st) c->dataVersion = version;
  return st;
}

void EndSnapshot(Conn* c) {
  if (!c->snapshot) return;
  c->snapshot = false;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStCommit, &st);
  if (s == nullptr || StepDone(s) != NOERROR) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

sqlite3_stmt* Stmt(Conn* c, StmtId id, STATUS* st) {
  sqlite3_stmt* s = c->stmts[id];
  if (s == nullptr) {
    int rc = sqlite3_prepare_v3(c->db, kStmtSql[id], -1,
                                SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
      *st = SqlStatus(rc);
      if (*st == NOERROR) *st = ERR_DB_IO;
      return nullptr;
    }
    c->stmts[id] = s;
  }
  return s;
}

STATUS StepDone(sqlite3_stmt* s) {
  int rc = sqlite3_step(s);
  while (rc == SQLITE_ROW) rc = sqlite3_step(s);
  STATUS st = rc == SQLITE_DONE ? NOERROR : SqlStatus(sqlite3_db_handle(s), rc);
  sqlite3_reset(s);
  return st;
}

Txn::~Txn() {
  if (open_ && !sqlite3_get_autocommit(c_->db)) {
    STATUS st;
    sqlite3_stmt* s = Stmt(c_, kStRollback, &st);
    if (s == nullptr || StepDone(s) != NOERROR) {
      sqlite3_exec(c_->db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
}

STATUS Txn::Begin() {
  EndSnapshot(c_);  // a write in a search's callback
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c_, kStBegin, &st);
  if (!s) return st;
  st = StepDone(s);
  open_ = st == NOERROR;
  return st;
}

STATUS Txn::Commit() {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c_, kStCommit, &st);
  if (!s) return st;
  st = StepDone(s);
  if (st == NOERROR) open_ = false;
  if (st == NOERROR && c_->syncPoints) {
    // A sync point: the WAL to stable storage, as a per-save writer's
    // every commit would do.  Its failure is the commit's: the caller
    // must not count work that a power loss could still undo.
    const int64_t now = NowMillis();
    if (++c_->commitsSinceSync >= kBulkSyncCommits || now - c_->lastSyncMs >= kBulkSyncMillis) {
      int rc = VfsSyncWal(c_->db);
      if (rc != SQLITE_OK) return SqlStatus(c_->db, rc);
      ++g_syncPoints;
      c_->commitsSinceSync = 0;
      c_->lastSyncMs = now;
    }
  }
  return st;
}

DWORD SyncPointsTaken() { return static_cast<DWORD>(g_syncPoints); }

}  // namespace tavlo::store
