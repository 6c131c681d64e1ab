// Databases: open, close, create, delete, and their database-wide values.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "schema.h"
#include "session.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

const char kDefaultAcl[] = "tavlo-acl-1\n-Default-:manager\n";

// A random, nonzero replica id.
void RandomReplicaId(TIMEDATE* id) {
  DWORD w[2] = {0, 0};
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = ::read(fd, w, sizeof w);
    (void)n;
    ::close(fd);
  }
  if (w[0] == 0 && w[1] == 0) {
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    w[0] = now.Innards[0] ^ static_cast<DWORD>(::getpid());
    w[1] = now.Innards[1] | 1;
  }
  id->Innards[0] = w[0];
  id->Innards[1] = w[1];
}

// The sidecars SQLite names after a file (the plain connection that
// builds a new database uses them).
void UnlinkPlainSidecars(const std::string& path) {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    std::string side = path;
    side.append(suffix);
    ::unlink(side.c_str());
  }
}

// Makes the directory entry of a rename durable.
void SyncDirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir;
  if (slash == std::string::npos) {
    dir = ".";
  } else if (slash == 0) {
    dir = "/";
  } else {
    dir.assign(path.data(), slash);
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

STATUS Exec(sqlite3* db, const char* sql) {
  return SqlStatus(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

STATUS PutMeta(sqlite3_stmt* s, const char* key, const void* blob, int len) {
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, len ? blob : "", len, SQLITE_STATIC);
  return StepDone(s);
}
STATUS PutMetaInt(sqlite3_stmt* s, const char* key, int64_t v) {
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_int64(s, 2, v);
  return StepDone(s);
}

// Writes a complete, empty database at `path`.
STATUS BuildFile(const std::string& path, WORD dbClass) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return (rc & 0xFF) == SQLITE_NOMEM ? ERR_MEMORY : ERR_DB_IO;
  }
  STATUS st = Exec(db, "PRAGMA locking_mode=EXCLUSIVE");
  if (!st) st = Exec(db, "PRAGMA journal_mode=WAL");
  if (!st) st = Exec(db, "PRAGMA synchronous=FULL");
  if (!st) st = Exec(db, "BEGIN");
  if (!st) st = Exec(db, kSchemaSql);
  if (!st) {
    sqlite3_stmt* s = nullptr;
    st = SqlStatus(sqlite3_prepare_v2(
        db, "INSERT INTO meta(key, value) VALUES(?1, ?2)", -1, &s, nullptr));
    TIMEDATE now, rid, zero = {};
    OSCurrentTIMEDATE(&now);
    RandomReplicaId(&rid);
    char info[DBINFO_SIZE] = {};
    if (!st) st = PutMeta(s, "format", kFormatMarker, strlen(kFormatMarker));
    if (!st) st = PutMetaInt(s, "version", kFormatVersion);
    if (!st) st = PutMetaInt(s, "class", dbClass);
    if (!st) st = PutMeta(s, "info", info, 0);
    if (!st) st = PutMeta(s, "acl", kDefaultAcl, sizeof kDefaultAcl - 1);
    if (!st) st = PutMeta(s, "replica_id", &rid, sizeof rid);
    if (!st) st = PutMetaInt(s, "replica_flags", 0);
    if (!st) st = PutMetaInt(s, "replica_cutoff_interval", 0);
    if (!st) st = PutMeta(s, "replica_cutoff", &zero, sizeof zero);
    if (!st) st = PutMeta(s, "created", &now, sizeof now);
    if (!st) st = PutMeta(s, "data_modified", &now, sizeof now);
    if (!st) st = PutMeta(s, "nondata_modified", &now, sizeof now);
    sqlite3_finalize(s);
  }
  // Closed cleanly, in a generation of its own (session.h).
  if (!st) {
    char sql[64];
    std::snprintf(sql, sizeof sql, "PRAGMA user_version=%d",
                  static_cast<int32_t>(EncodeMarker(Marker{FreshGeneration(0), false})));
    st = Exec(db, sql);
  }
  if (!st) st = Exec(db, "COMMIT");
  // Fold the WAL back into the file so the file alone is the database.
  if (!st) st = Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (sqlite3_close_v2(db) != SQLITE_OK && !st) st = ERR_DB_IO;
  return st;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

namespace {

STATUS OpenDb(const char* path, bool writable, bool bulk, DBHANDLE* retDb) {
  if (retDb == nullptr) return ERR_BAD_ARG;
  *retDb = 0;
  std::string resolved;
  STATUS st = ResolvePath(path, &resolved);
  if (st) return st;
  Conn* c = nullptr;
  st = ConnAcquire(resolved, writable, bulk, &c);
  if (st) return st;
  Db* d = new (std::nothrow) Db;
  DBHANDLE h = 0;
  if (d != nullptr) {
    try {
      d->path = resolved;
      d->conn = c;
      d->readOnly = !writable;
      d->bulk = writable && bulk;
      h = Dbs().Add(d);
    } catch (...) {
      h = 0;
    }
  }
  if (h == 0) {
    delete d;
    ConnRelease(c, writable, writable && bulk);
    return ERR_MEMORY;
  }
  *retDb = h;
  return NOERROR;
}

}  // namespace

STATUS QDSDbOpen(const char* path, DBHANDLE* retDb) {
  return OpenDb(path, true, false, retDb);
}

STATUS QDSDbOpenReadOnly(const char* path, DBHANDLE* retDb) {
  return OpenDb(path, false, false, retDb);
}

STATUS QDSDbOpenBulk(const char* path, DBHANDLE* retDb) {
  return OpenDb(path, true, true, retDb);
}

// Closing a database also closes the documents and collections opened
// through this handle: they cannot be used without it, and leaving them
// would only leak their memory.  Their handles become invalid.
STATUS QDSDbClose(DBHANDLE db) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  try {
    for (NOTEHANDLE nh : Notes().Live()) {
      Note* n = Notes().Get(nh);
      if (n != nullptr && n->db == db) NoteDestroy(nh);
    }
    for (HCOLLECTION ch : Collections().Live()) {
      Collection* col = Collections().Get(ch);
      if (col != nullptr && col->db == db) delete Collections().Remove(ch);
    }
  } catch (...) {
    // No memory to list them: they stay open, and their calls report
    // ERR_BAD_DB once the handle below is gone; closing them still works.
  }
  Dbs().Remove(db);
  ConnRelease(d->conn, !d->readOnly, d->bulk);
  delete d;
  return NOERROR;
}

STATUS QDSDbCreate(const char* path, WORD dbClass, BOOL force) {
  std::string resolved;
  STATUS st = ResolvePath(path, &resolved);
  if (st) return st;
  // Held from here until the new file has replaced the old one, so no
  // writer opens the old file in between and writes into a file that is
  // about to vanish.
  int lockFd = -1;
  struct stat sb;
  if (::stat(resolved.c_str(), &sb) == 0) {
    if (!force) return ERR_DB_EXISTS;
    if (!S_ISREG(sb.st_mode)) return ERR_DB_PATH;
    if (ConnFind(sb.st_dev, sb.st_ino) != nullptr) return ERR_DB_BUSY;
    st = LockForReplace(resolved, &lockFd);
    if (st) return st;
  } else if (errno != ENOENT) {
    return errno == ENOTDIR || errno == ENAMETOOLONG ? ERR_DB_PATH : ERR_DB_IO;
  }
  // Built under a temporary name and renamed into place, so a crash never
  // leaves a half-made database under the real name.  The new file has a
  // new inode and a generation of its own: no sidecar of the old one can
  // ever be taken for its own.
  std::string tmp = resolved + ".creating";
  ::unlink(tmp.c_str());
  UnlinkPlainSidecars(tmp);
  st = BuildFile(tmp, dbClass);
  if (st == NOERROR) {
    if (lockFd >= 0) RemoveSessionFiles(resolved, lockFd);
    if (::rename(tmp.c_str(), resolved.c_str()) != 0) st = ERR_DB_IO;
  }
  if (lockFd >= 0) ::close(lockFd);
  if (st) {
    ::unlink(tmp.c_str());
    UnlinkPlainSidecars(tmp);
    return st;
  }
  SyncDirOf(resolved);
  return NOERROR;
}

STATUS QDSDbDelete(const char* path) {
  std::string resolved;
  STATUS st = ResolvePath(path, &resolved);
  if (st) return st;
  struct stat sb;
  if (::stat(resolved.c_str(), &sb) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? ERR_NOEXIST : ERR_DB_IO;
  }
  if (!S_ISREG(sb.st_mode)) return ERR_DB_PATH;
  char* real = ::realpath(resolved.c_str(), nullptr);
  if (real == nullptr) return ERR_DB_IO;
  std::string canonical(real);
  free(real);
  if (ConnFind(sb.st_dev, sb.st_ino) != nullptr) return ERR_DB_BUSY;
  int lockFd = -1;
  st = LockForReplace(canonical, &lockFd);
  if (st) return st;
  RemoveSessionFiles(canonical, lockFd);
  st = ::unlink(canonical.c_str()) == 0 ? NOERROR : ERR_DB_IO;
  ::close(lockFd);
  if (st) return st;
  SyncDirOf(canonical);
  return NOERROR;
}

const char* QDSDbLastDetail(void) { return OpenDetail().c_str(); }

STATUS QDSDbCopyACL(DBHANDLE source, DBHANDLE dest) {
  Db* s = GetDb(source);
  Db* d = nullptr;
  STATUS wst = GetWritableDb(dest, &d);
  if (s == nullptr || d == nullptr) return ERR_BAD_DB;
  if (wst) return wst;
  std::string acl;
  STATUS st = MetaGet(s->conn, "acl", &acl);
  if (st) return st;
  return MetaPut(d->conn, "acl", acl.data(), acl.size());
}

STATUS QDSDbInfoGet(DBHANDLE db, char* info) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (info == nullptr) return ERR_BAD_ARG;
  std::string v;
  STATUS st = MetaGet(d->conn, "info", &v);
  if (st) return st;
  memset(info, 0, DBINFO_SIZE);
  memcpy(info, v.data(), v.size() < DBINFO_SIZE - 1 ? v.size() : DBINFO_SIZE - 1);
  return NOERROR;
}

STATUS QDSDbInfoSet(DBHANDLE db, const char* info) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (info == nullptr) return ERR_BAD_ARG;
  return MetaPut(d->conn, "info", info, strnlen(info, DBINFO_SIZE - 1));
}

STATUS QDSDbReplicaInfoGet(DBHANDLE db, DBREPLICAINFO* retInfo) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retInfo == nullptr) return ERR_BAD_ARG;
  Conn* c = d->conn;
  int64_t flags = 0, interval = 0;
  std::string cutoff;
  STATUS st = ConnSync(c);  // the replica id is cached
  if (!st) st = MetaGetInt(c, "replica_flags", &flags);
  if (!st) st = MetaGetInt(c, "replica_cutoff_interval", &interval);
  if (!st) st = MetaGet(c, "replica_cutoff", &cutoff);
  if (st) return st;
  if (cutoff.size() != sizeof(TIMEDATE)) return ERR_DB_CORRUPT;
  memset(retInfo, 0, sizeof *retInfo);
  retInfo->ID = c->replicaId;
  retInfo->Flags = static_cast<WORD>(flags);
  retInfo->CutoffInterval = static_cast<WORD>(interval);
  memcpy(&retInfo->Cutoff, cutoff.data(), sizeof(TIMEDATE));
  return NOERROR;
}

STATUS QDSDbReplicaInfoSet(DBHANDLE db, const DBREPLICAINFO* info) {
  Db* d = nullptr;
  STATUS st = GetWritableDb(db, &d);
  if (st) return st;
  if (info == nullptr) return ERR_BAD_ARG;
  Conn* c = d->conn;
  Txn txn(c);
  st = txn.Begin();
  if (!st) st = MetaPut(c, "replica_id", &info->ID, sizeof(TIMEDATE));
  if (!st) st = MetaPutInt(c, "replica_flags", info->Flags);
  if (!st) st = MetaPutInt(c, "replica_cutoff_interval", info->CutoffInterval);
  if (!st) st = MetaPut(c, "replica_cutoff", &info->Cutoff, sizeof(TIMEDATE));
  if (!st) st = txn.Commit();
  if (!st) c->replicaId = info->ID;
  return st;
}

STATUS QDSDbModifiedTime(DBHANDLE db, TIMEDATE* retDataModified,
                         TIMEDATE* retNonDataModified) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  std::string data, nondata;
  STATUS st = MetaGet(d->conn, "data_modified", &data);
  if (!st) st = MetaGet(d->conn, "nondata_modified", &nondata);
  if (st) return st;
  if (data.size() != sizeof(TIMEDATE) || nondata.size() != sizeof(TIMEDATE)) {
    return ERR_DB_CORRUPT;
  }
  if (retDataModified) memcpy(retDataModified, data.data(), sizeof(TIMEDATE));
  if (retNonDataModified) {
    memcpy(retNonDataModified, nondata.data(), sizeof(TIMEDATE));
  }
  return NOERROR;
}

STATUS QDSDbGenerateOID(DBHANDLE db, ORIGINATORID* retOid) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retOid == nullptr) return ERR_BAD_ARG;
  STATUS st = ConnSync(d->conn);  // the replica id is cached
  if (st) return st;
  NewOid(d->conn, retOid);
  retOid->SequenceTime = retOid->Note;
  return NOERROR;
}

STATUS QDSDbGetClass(DBHANDLE db, WORD* retClass) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retClass == nullptr) return ERR_BAD_ARG;
  // Cached without a check: a database's class is set when it is made
  // and never changes.
  *retClass = d->conn->dbClass;
  return NOERROR;
}

STATUS QDSDbPathGet(DBHANDLE db, char* buf, WORD bufLen) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (buf == nullptr || bufLen == 0) return ERR_BAD_ARG;
  if (d->path.size() >= bufLen) return ERR_DB_PATH;
  memcpy(buf, d->path.c_str(), d->path.size() + 1);
  return NOERROR;
}
