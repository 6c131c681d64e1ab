// Connections: one SQLite connection per database file in this process,
// shared by every DBHANDLE that opened the same file, read-only or not,
// and closed with the last of them.  Sharing keeps one set of caches and
// one writer lock per file and process: a read-only handle and a
// read-write handle of one process see the same, exact caches, and a
// read-write open of a file the process already reads only has to take
// the writer lock.
//
// The locking model (see also schema.cc):
//   - SQLite runs in its normal locking mode with a WAL, so readers in
//     other processes see every committed transaction and nothing else,
//     and never block the writer or wait for it.
//   - Writers exclude each other with the writer lock, flock(LOCK_EX) on
//     the database file, taken without waiting by a read-write open and
//     held until the last read-write handle of the process closes.  A
//     second writer gets ERR_DB_BUSY at once, however long the first one
//     keeps the file; SQLite's own write lock would only be met at the
//     first save, in the middle of a pass.
//   - flock and SQLite's POSIX record locks do not interact on a local
//     file system.  But closing any descriptor of a file drops every
//     record lock the process holds on it, SQLite's included; so the
//     descriptor that carries the writer lock is opened before the SQLite
//     connection and closed only after it, and nothing else here opens
//     and closes the file while a connection to it is open.
//
// Statements are prepared once per connection, on first use, and kept:
// a saved document runs a handful of small statements, and preparing them
// each time would cost more than running them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "schema.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {

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

std::unordered_map<std::string, Conn*>& ConnMap() {
  static std::unordered_map<std::string, Conn*> m;
  return m;
}
uint64_t g_next_serial = 1;

// How long a statement waits for an SQLite lock that another connection
// holds before it reports ERR_DB_BUSY.  Writers never meet here (the
// writer lock turns the second one away at open), so what remains is held
// only for moments: the rebuild of the WAL index after a crash, the
// checkpoint of the last connection to close.  Waiting those out beats
// failing a save in the middle of a pass.
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
    /* kStSummaryLookup */
    "SELECT note_id FROM summary WHERE name_lc=?1 AND token=?2",
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
};

inline uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 |
         (uint32_t)p[3];
}

// NOERROR when the file begins with the SQLite header and is as long as
// that header says.  Read with a plain pread() so that neither SQLite nor
// anything else writes to a file that turns out not to be ours.
//
// A file cut short (a copy that ran out of disk, say) is refused here:
// SQLite reads the missing pages as zeros, so a cut inside a page's cell
// area would hand back changed values with no error at all.  The header
// states the database's page count (bytes 28..31), trusted only when its
// "valid for" stamp matches the change counter; the pages of a WAL that
// still holds frames may lie beyond the file's end, so the test is made
// only when there is no such WAL.
STATUS CheckHeader(int fd, const std::string& path) {
  unsigned char head[100];
  ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n < 0) return ERR_DB_IO;
  if (n < 16 || memcmp(head, "SQLite format 3", 16) != 0) {
    return ERR_NOT_A_DB;
  }
  if (n < static_cast<ssize_t>(sizeof head)) return NOERROR;  // SQLite says
  uint32_t pageSize = (uint32_t)head[16] << 8 | head[17];
  if (pageSize == 1) pageSize = 65536;
  const uint32_t pages = BigEndian32(head + 28);
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0 || pages == 0 ||
      BigEndian32(head + 24) != BigEndian32(head + 92)) {
    return NOERROR;  // no page count to trust: SQLite decides
  }
  struct stat file, wal;
  if (::fstat(fd, &file) != 0) return ERR_DB_IO;
  // A WAL shorter than its 32-byte header holds no frame.
  const bool walFrames =
      ::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size >= 32;
  if (!walFrames &&
      static_cast<uint64_t>(file.st_size) <
          static_cast<uint64_t>(pages) * pageSize) {
    return ERR_DB_CORRUPT;
  }
  return NOERROR;
}

// NOERROR when this process may write the file.  Checked before SQLite
// sees it: SQLite would quietly fall back to reading, and a WAL database
// it may only read cannot even be read unless the directory takes its
// index file (it says CANTOPEN, which looks like a foreign file).  A file
// without any write permission bit counts as read-only for root too: root
// passes every permission check, and an operator who takes the write bits
// off a queue means nobody to change it.
// True when this process may create files in the directory holding
// `path` (errno tells why not).
bool MayCreateBeside(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == 0 || slash == std::string::npos
                        ? std::string("/")
                        : path.substr(0, slash);
  return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

STATUS CheckWritable(int fd, const std::string& path) {
  struct stat sb;
  if (::fstat(fd, &sb) != 0) return ERR_DB_IO;
  if ((sb.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return ERR_DB_READONLY;
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno == EACCES || errno == EPERM || errno == EROFS
               ? ERR_DB_READONLY
               : ERR_DB_IO;
  }
  // SQLite makes the WAL and its index beside the file: a directory this
  // process may not write leaves the database just as unwritable.
  if (!MayCreateBeside(path)) {
    return errno == EACCES || errno == EPERM || errno == EROFS
               ? ERR_DB_READONLY
               : ERR_DB_IO;
  }
  return NOERROR;
}

STATUS Exec(sqlite3* db, const char* sql) {
  return SqlStatus(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// Reads a one-row text pragma.
std::string PragmaText(sqlite3* db, const char* sql) {
  std::string out;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(s, 0);
    if (t) out = reinterpret_cast<const char*>(t);
  }
  sqlite3_finalize(s);
  return out;
}

// Closes the SQLite connection first and the descriptor of the writer
// lock after it: the last connection's checkpoint then still runs under
// the lock, and SQLite's record locks are gone before the close of our
// descriptor could drop them (see the top of this file).
void CloseConn(Conn* c) {
  for (sqlite3_stmt*& s : c->stmts) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  sqlite3_close_v2(c->db);
  c->db = nullptr;
  if (c->lockFd >= 0) ::close(c->lockFd);
  c->lockFd = -1;
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
  return NOERROR;
}

STATUS TakeWriterLock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? ERR_DB_BUSY : ERR_DB_IO;
  }
  return NOERROR;
}

Conn* ConnFind(const std::string& canonical) {
  auto it = ConnMap().find(canonical);
  return it == ConnMap().end() ? nullptr : it->second;
}

namespace {

// True when this process may not create files beside `path` and neither
// the WAL nor its index exists there.
bool ReadableOnlyAsImmutable(const std::string& path) {
  if (MayCreateBeside(path)) return false;
  struct stat sb;
  return ::stat((path + "-wal").c_str(), &sb) != 0 &&
         ::stat((path + "-shm").c_str(), &sb) != 0;
}

// `path` as the path part of a file: URI (characters with a meaning in a
// URI escaped).
std::string UriPath(const std::string& path) {
  std::string out;
  for (unsigned char ch : path) {
    if (ch == '%' || ch == '?' || ch == '#' || ch < 0x20 || ch >= 0x7F) {
      char buf[4];
      std::snprintf(buf, sizeof(buf), "%%%02X", ch);
      out += buf;
    } else {
      out.push_back(static_cast<char>(ch));
    }
  }
  return out;
}

// Opens the SQLite connection of `c->canonical`; on failure the caller
// closes what is open (CloseConn).
STATUS OpenConn(Conn* c, bool writable) {
  c->lockFd = ::open(c->canonical.c_str(), O_RDONLY | O_CLOEXEC);
  if (c->lockFd < 0) return errno == ENOENT ? ERR_NOEXIST : ERR_DB_IO;
  STATUS st = CheckHeader(c->lockFd, c->canonical);
  if (!st && writable) st = CheckWritable(c->lockFd, c->canonical);
  if (!st && writable) st = TakeWriterLock(c->lockFd);
  if (st) return st;

  int rc;
  const bool immutable = !writable && ReadableOnlyAsImmutable(c->canonical);
  if (immutable) {
    // A reader of a file in a directory it may not write (a backup on
    // read-only media, another user's queue) cannot create the WAL index
    // SQLite needs.  With no -wal and no -shm beside the file, no writer
    // has it open, and none can start without creating them, so the file
    // is read as it stands.
    std::string uri = "file:" + UriPath(c->canonical) + "?immutable=1";
    rc = sqlite3_open_v2(uri.c_str(), &c->db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                         nullptr);
  } else {
    rc = sqlite3_open_v2(c->canonical.c_str(), &c->db,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  if (rc != SQLITE_OK) return (rc & 0xFF) == SQLITE_NOMEM ? ERR_MEMORY : ERR_DB_IO;
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
  st = SchemaCheck(c->db);
  // (An immutable file reports no journal at all; its header was checked.)
  if (!st && !immutable && PragmaText(c->db, "PRAGMA journal_mode") != "wal")
    st = ERR_NOT_A_DB;
  if (!st) {
    // The lock must be on the file SQLite opened: a file renamed over
    // this path while we opened it would leave the lock on the old one.
    struct stat held, now;
    if (::fstat(c->lockFd, &held) != 0 || ::stat(c->canonical.c_str(), &now) != 0) {
      st = ERR_DB_IO;
    } else if (held.st_dev != now.st_dev || held.st_ino != now.st_ino) {
      st = ERR_DB_BUSY;
    }
  }
  // SQLite falls back to reading only when the file cannot be written;
  // a writer learns that now, not at its first save.
  if (!st && writable && sqlite3_db_readonly(c->db, "main") == 1) {
    st = ERR_DB_READONLY;
  }
  if (!st) {
    const char* sync = getenv("TAVLO_SYNC");
    st = Exec(c->db, sync && strcmp(sync, "normal") == 0
                         ? "PRAGMA synchronous=NORMAL"
                         : "PRAGMA synchronous=FULL");
  }
  // A queue pass touches a few pages of each of many documents; a larger
  // page cache than SQLite's default 2 MB keeps more of them between saves.
  if (!st) st = Exec(c->db, "PRAGMA cache_size=-8192");
  // A connection without the writer lock must not write even through a
  // path that forgot to check its handle: query_only makes SQLite refuse
  // (SQLITE_READONLY, ERR_DB_READONLY).
  if (!st && !writable) st = Exec(c->db, "PRAGMA query_only=1");
  // The version first, then the values: a commit in between makes the
  // next ConnSync read them again, never keep them stale.
  if (!st && !writable) st = ReadDataVersion(c, &c->dataVersion);
  if (!st) st = LoadCache(c);
  return st;
}

// Makes a connection opened read-only the writer of its file.
STATUS Upgrade(Conn* c) {
  // A search that reads a snapshot is under way and its callback opened
  // the file for writing: the caches are synced below outside it, and the
  // search goes on with the writer's exact caches.
  EndSnapshot(c);
  STATUS st = CheckWritable(c->lockFd, c->canonical);
  if (st) return st;
  st = TakeWriterLock(c->lockFd);
  if (st) return st;
  if (sqlite3_db_readonly(c->db, "main") == 1) st = ERR_DB_READONLY;
  // Other processes may have committed until the lock was ours.
  if (!st) st = ConnSync(c);
  if (!st) st = Exec(c->db, "PRAGMA query_only=0");
  if (st) ::flock(c->lockFd, LOCK_UN);
  return st;
}

// The last read-write handle closed; read-only ones remain.
void Downgrade(Conn* c) {
  // Record the version the caches agree with while the lock still keeps
  // other writers out; unknown (-1) makes the next ConnSync drop them.
  if (ReadDataVersion(c, &c->dataVersion) != NOERROR) c->dataVersion = -1;
  Exec(c->db, "PRAGMA query_only=1");
  ::flock(c->lockFd, LOCK_UN);
}

}  // namespace

STATUS ConnAcquire(const std::string& resolved, bool writable, Conn** out) {
  struct stat sb;
  if (::stat(resolved.c_str(), &sb) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? ERR_NOEXIST : ERR_DB_IO;
  }
  if (!S_ISREG(sb.st_mode)) return ERR_NOT_A_DB;
  char* real = ::realpath(resolved.c_str(), nullptr);
  if (real == nullptr) return ERR_DB_IO;
  std::string canonical(real);
  free(real);

  if (Conn* c = ConnFind(canonical)) {
    if (writable && c->writers == 0) {
      STATUS st = Upgrade(c);
      if (st) return st;
    }
    ++c->refs;
    if (writable) ++c->writers;
    *out = c;
    return NOERROR;
  }

  Conn* c = new (std::nothrow) Conn;
  if (c == nullptr) return ERR_MEMORY;
  STATUS st = NOERROR;
  try {
    c->canonical = canonical;
  } catch (...) {
    st = ERR_MEMORY;
  }
  if (!st) st = OpenConn(c, writable);
  if (!st) {
    try {
      ConnMap().emplace(canonical, c);
    } catch (...) {
      st = ERR_MEMORY;
    }
  }
  if (st) {
    CloseConn(c);
    delete c;
    return st;
  }
  c->refs = 1;
  c->writers = writable ? 1 : 0;
  c->serial = g_next_serial++;
  *out = c;
  return NOERROR;
}

void ConnRelease(Conn* c, bool writable) {
  if (writable && --c->writers == 0 && c->refs > 1) Downgrade(c);
  if (--c->refs > 0) return;
  ConnMap().erase(c->canonical);
  CloseConn(c);
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
  return st;
}

}  // namespace tavlo::store
