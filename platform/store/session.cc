// Sessions: attaching a connection to a database file and its sidecars,
// and leaving it clean.  The rules are in session.h; the order of the
// steps below is what makes them hold across a kill at any moment, so each
// step says what a crash right after it leaves behind.
#include "session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "schema.h"
#include "store_int.h"
#include "vfs.h"

namespace tavlo::store {
namespace {

thread_local std::string t_detail;

// Lock bytes, just above the range SQLite locks (1 GiB + 0..511).
constexpr off_t kWriterByte = 0x40001000;
constexpr off_t kAttachByte = 0x40001001;
// How long an open waits for a writer that is changing the generation or
// removing sidecars (it holds the attach lock for writing meanwhile; a
// recovery that checkpoints a large WAL takes that long at most).
constexpr int kAttachWaitMs = 10000;

// An open-file-description lock on one byte: F_RDLCK, F_WRLCK or F_UNLCK.
// 0, or the errno (EAGAIN: held elsewhere).
int OfdLock(int fd, off_t byte, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Waits up to kAttachWaitMs for a lock that is held elsewhere only
// briefly.
int OfdLockWait(int fd, off_t byte, short type) {
  for (int waited = 0;; waited += 5) {
    int e = OfdLock(fd, byte, type);
    if (e != EAGAIN && e != EACCES) return e;
    if (waited >= kAttachWaitMs) return e;
    ::usleep(5000);
  }
}

// True when another open file description holds a lock on `byte` that
// conflicts with `type`.  Only asks: takes nothing.
bool HeldElsewhere(int fd, off_t byte, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;  // assume the worst
  return fl.l_type != F_UNLCK;
}

// True when this process may create files in the directory of `path`.
bool MayCreateBeside(const std::string& path) {
  return ::faccessat(AT_FDCWD, DirOf(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Size of a sidecar: -1 when there is none.  A sidecar that is not a
// regular file (a directory, a device, a link) is refused by name: SQLite
// would say only that it cannot open the database.
STATUS SidecarSize(const std::string& path, int64_t* size) {
  struct stat sb;
  if (::lstat(path.c_str(), &sb) != 0) {
    if (errno == ENOENT) {
      *size = -1;
      return NOERROR;
    }
    STATUS st = StatusForErrno(errno);
    SetOpenDetail(path + ": " + strerror(errno));
    return st == ERR_NOEXIST ? ERR_DB_IO : st;
  }
  if (!S_ISREG(sb.st_mode)) {
    SetOpenDetail(path + " is not a regular file");
    return ERR_DB_SIDECAR;
  }
  *size = sb.st_size;
  return NOERROR;
}

// Makes the anchor of a sidecar set, owned and moded like the database
// file (the unix VFS copies both from it to the WAL and its index).
STATUS EnsureAnchor(int dbFd, const std::string& base, bool* created) {
  *created = false;
  struct stat db;
  if (::fstat(dbFd, &db) != 0) return ERR_DB_IO;
  int fd = ::open(base.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  db.st_mode & 0666);
  if (fd >= 0) {
    *created = true;
    // umask may have taken bits away, and root makes files its own.
    if (::fchmod(fd, db.st_mode & 0666) != 0) {}
    if (::geteuid() == 0 && ::fchown(fd, db.st_uid, db.st_gid) != 0) {}
    ::close(fd);
    return NOERROR;
  }
  if (errno != EEXIST) {
    STATUS st = StatusForErrno(errno);
    SetOpenDetail("cannot create " + base + ": " + strerror(errno));
    return st == ERR_NOEXIST ? ERR_DB_IO : st;
  }
  int64_t size = 0;
  return SidecarSize(base, &size);  // exists: it must be a regular file
}

// Removes a sidecar set.  Only while this process holds the attach lock
// for writing: nobody else uses the set.
void RemoveSidecars(const std::string& base) {
  for (const char* suffix : {"-wal", "-shm", "-journal", ""}) {
    ::unlink((base + suffix).c_str());
  }
}

inline uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 |
         (uint32_t)p[3];
}

// NOERROR when the file begins with the header of an SQLite database in
// WAL mode, as every one of ours is.  Read with a plain pread() so that
// nothing writes to a file that turns out not to be ours, and before the
// marker in it means anything.
STATUS CheckMagic(int fd) {
  unsigned char head[100];
  ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n < 0) return StatusForErrno(errno);
  if (n < 100 || memcmp(head, "SQLite format 3", 16) != 0) return ERR_NOT_A_DB;
  uint32_t pageSize = (uint32_t)head[16] << 8 | head[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return ERR_NOT_A_DB;
  if (head[18] != 2 || head[19] != 2) return ERR_NOT_A_DB;  // not WAL mode
  return NOERROR;
}

// A file cut short (a copy that ran out of disk, say) is refused: SQLite
// reads the missing pages as zeros, so a cut inside a page's cell area
// would hand back changed values with no error at all.  The header states
// the page count (bytes 28..31), trusted only when its "valid for" stamp
// matches the change counter.  Pages in WAL frames may lie beyond the
// file's end: `walFrames` skips the test.
STATUS CheckLength(int fd, bool walFrames) {
  if (walFrames) return NOERROR;
  unsigned char head[100];
  ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n < 0) return StatusForErrno(errno);
  if (n < static_cast<ssize_t>(sizeof head)) return NOERROR;  // SQLite says
  uint32_t pageSize = (uint32_t)head[16] << 8 | head[17];
  if (pageSize == 1) pageSize = 65536;
  const uint32_t pages = BigEndian32(head + 28);
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0 || pages == 0 ||
      BigEndian32(head + 24) != BigEndian32(head + 92)) {
    return NOERROR;  // no page count to trust: SQLite decides
  }
  struct stat file;
  if (::fstat(fd, &file) != 0) return ERR_DB_IO;
  if (static_cast<uint64_t>(file.st_size) <
      static_cast<uint64_t>(pages) * pageSize) {
    return ERR_DB_CORRUPT;
  }
  return NOERROR;
}

// NOERROR when this process may write the file.  Checked before SQLite
// sees it: SQLite would quietly fall back to reading.  A file without any
// write permission bit counts as read-only for root too: root passes every
// permission check, and an operator who takes the write bits off a queue
// means nobody to change it.
STATUS CheckWritable(int fd, const std::string& path) {
  struct stat sb;
  if (::fstat(fd, &sb) != 0) return ERR_DB_IO;
  if ((sb.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return ERR_DB_READONLY;
  // The sidecars are made beside the file: a directory this process may
  // not write leaves the database just as unwritable.
  if (!MayCreateBeside(path)) {
    STATUS st = StatusForErrno(errno);
    return st == ERR_NOEXIST ? ERR_DB_IO : st;
  }
  return NOERROR;
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

// The STATUS of a failed sqlite3_open_v2 or first read, told by the
// system error behind it where SQLite's own code is too coarse: it calls a
// WAL index it could not extend for want of room, or a file it could not
// open for want of descriptors, a plain I/O error.
STATUS OpenFailure(sqlite3* db, int rc) {
  int base = rc & 0xFF;
  if (base == SQLITE_NOMEM) return ERR_MEMORY;
  if (base == SQLITE_CANTOPEN || base == SQLITE_IOERR || base == SQLITE_READONLY) {
    int e = VfsLastErrno();
    if (e == 0 && db) e = sqlite3_system_errno(db);
    if (e == EMFILE || e == ENFILE) return ERR_NO_FILES;
    if (e == ENOSPC || e == EDQUOT || e == EFBIG) return ERR_DISK_FULL;
    if (e == EACCES || e == EPERM || e == EISDIR || e == ENOTDIR || e == ELOOP)
      return ERR_DB_SIDECAR;
    if (e == ENAMETOOLONG) return ERR_DB_PATH;
  }
  return SqlStatus(db, rc);
}

// Opens the SQLite connection of `c` through the store's VFS, its
// sidecars at c->sidecarBase, or immutable (no sidecars at all).
STATUS OpenSqlite(Conn* c, bool readOnly) {
  int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
              SQLITE_OPEN_NOMUTEX;
  std::string name = c->canonical;
  if (c->immutable) {
    name = "file:" + UriPath(c->canonical) + "?immutable=1";
    flags |= SQLITE_OPEN_URI;
  } else {
    VfsMap(c->canonical, c->sidecarBase);
    c->mapped = true;
  }
  c->sqliteReadOnly = readOnly;
  VfsClearErrno();
  int rc = sqlite3_open_v2(name.c_str(), &c->db, flags, VfsName());
  if (rc != SQLITE_OK) return OpenFailure(c->db, rc);
  // A writer's first pragma already maps the WAL index; the first read
  // attaches the WAL (and rebuilds its index after a crash).  Either
  // failing is told by its cause, so the sidecar can be named below.
  STATUS st = ConfigureSqlite(c, !readOnly);
  if (!st) st = SchemaCheck(c->db);
  if (st == ERR_DB_IO || st == ERR_NOT_A_DB || st == ERR_DB_READONLY) {
    STATUS cause = OpenFailure(c->db, SQLITE_IOERR);
    if (cause != ERR_DB_IO) st = cause;
  }
  if (st == ERR_DB_SIDECAR && OpenDetail().empty())
    SetOpenDetail(c->sidecarBase + "-wal or " + c->sidecarBase +
                  "-shm beside the database cannot be used: " + strerror(VfsLastErrno()));
  if (!st && !c->immutable) {
    sqlite3_stmt* s = nullptr;
    std::string mode;
    if (sqlite3_prepare_v2(c->db, "PRAGMA journal_mode", -1, &s, nullptr) ==
            SQLITE_OK &&
        (sqlite3_step)(s) == SQLITE_ROW && sqlite3_column_text(s, 0)) {
      mode = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    if (mode != "wal") st = ERR_NOT_A_DB;
  }
  // SQLite falls back to reading only when the file cannot be written; a
  // writer learns that now, not at its first save.
  if (!st && !readOnly && sqlite3_db_readonly(c->db, "main") == 1) {
    st = ERR_DB_READONLY;
  }
  return st;
}

void CloseSqlite(Conn* c) {
  for (sqlite3_stmt*& s : c->stmts) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  if (c->db) sqlite3_close_v2(c->db);
  c->db = nullptr;
  if (c->mapped) VfsUnmap(c->canonical);
  c->mapped = false;
}

// Every frame of the WAL into the file, the file synced and the WAL
// emptied; ERR_DB_BUSY when a reader's snapshot keeps frames in use.
STATUS CheckpointAll(Conn* c) {
  int log = -1, done = -1;
  int rc = sqlite3_wal_checkpoint_v2(c->db, "main", SQLITE_CHECKPOINT_TRUNCATE,
                                     &log, &done);
  if (rc != SQLITE_OK) return SqlStatus(c->db, rc);
  return log == done ? NOERROR : ERR_DB_BUSY;
}

// Writes the marker into the file's header and syncs it.  Only while the
// WAL holds no frame: SQLite's own image of page 1 then comes from the file
// and agrees with it, and no frame written later carries an older marker
// that a checkpoint could copy back over it.  Only the four bytes of the
// field change, so a reader of the old page sees a consistent page either
// way.
STATUS WriteMarkerValue(int fd, uint32_t v) {
  unsigned char be[4];
  be[0] = v >> 24;
  be[1] = v >> 16;
  be[2] = v >> 8;
  be[3] = v;
  if (::pwrite(fd, be, 4, 60) != 4 || ::fdatasync(fd) != 0) return StatusForErrno(errno);
  return NOERROR;
}
STATUS WriteMarker(int fd, Marker m) { return WriteMarkerValue(fd, EncodeMarker(m)); }

// Makes an empty WAL for a new generation, so that a file marked dirty
// always has its WAL beside it.
STATUS CreateEmptyWal(int dbFd, const std::string& base) {
  struct stat db;
  if (::fstat(dbFd, &db) != 0) return ERR_DB_IO;
  int fd = ::open((base + "-wal").c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                  db.st_mode & 0666);
  if (fd < 0) {
    STATUS st = StatusForErrno(errno);
    SetOpenDetail("cannot create " + base + "-wal: " + strerror(errno));
    return st == ERR_NOEXIST ? ERR_DB_IO : st;
  }
  if (::geteuid() == 0 && ::fchown(fd, db.st_uid, db.st_gid) != 0) {}
  ::close(fd);
  return NOERROR;
}

// Removes the sidecar sets of this inode, other than generation `keep`,
// whose WAL holds nothing (a crash between making a set and using it
// leaves one).  A set with frames may be another state's data and stays.
// Only while nobody else is attached.
void SweepEmptySets(const Conn* c, uint32_t keep) {
  DIR* d = ::opendir(DirOf(c->canonical).c_str());
  if (d == nullptr) return;
  const std::string prefix = ".tavlo-" + std::to_string(static_cast<unsigned long long>(c->ino)) + "-";
  std::vector<uint32_t> gens;
  while (struct dirent* e = ::readdir(d)) {
    const char* n = e->d_name;
    if (strncmp(n, prefix.c_str(), prefix.size()) != 0) continue;
    unsigned gen = 0;
    char rest[8] = {};
    if (std::sscanf(n + prefix.size(), "%8x%7s", &gen, rest) >= 1 && gen != keep)
      gens.push_back(gen);
  }
  ::closedir(d);
  for (uint32_t g : gens) {
    const std::string base = SidecarBase(c->canonical, c->ino, g);
    int64_t walSize = -1;
    if (SidecarSize(base + "-wal", &walSize) == NOERROR && walSize <= 0) RemoveSidecars(base);
  }
}

std::string UncleanDetail(const Conn* c, const std::string& wal) {
  return c->canonical + " was not closed cleanly, and its unsaved changes (" +
         BaseName(wal) + ") are not beside it in " + DirOf(c->canonical) +
         ": the file was moved or copied without them";
}

// The checks both kinds of open make after reading the marker.
STATUS CheckRecoveryData(Conn* c, Marker m, int64_t walSize) {
  if (m.gen == 0 && !m.dirty) {
    int64_t legacy = -1;
    STATUS st = SidecarSize(c->canonical + "-wal", &legacy);
    if (st) return st;
    if (legacy > 0) {
      SetOpenDetail(c->canonical + " has unsaved changes in " +
                    BaseName(c->canonical) +
                    "-wal, left by an earlier release; they are applied only "
                    "when the operator adopts them");
      return ERR_DB_UNCLEAN;
    }
  }
  if (m.dirty && walSize < 0) {
    SetOpenDetail(UncleanDetail(c, SidecarBase(c->canonical, c->ino, m.gen) + "-wal"));
    return ERR_DB_UNCLEAN;
  }
  return NOERROR;
}

// A fresh generation whose sidecar names nothing in the directory uses:
// a set left by another state of the file must never be taken over.
uint32_t UnusedGeneration(const Conn* c, uint32_t avoid) {
  for (;;) {
    uint32_t g = FreshGeneration(avoid);
    const std::string base = SidecarBase(c->canonical, c->ino, g);
    struct stat sb;
    if (::lstat(base.c_str(), &sb) != 0 && ::lstat((base + "-wal").c_str(), &sb) != 0)
      return g;
  }
}

// Checkpoints a crashed session's WAL into the file and marks it clean,
// with nobody else attached.  A crash at any point leaves the dirty file
// with its WAL, or the clean, complete file (and an empty set, swept later).
STATUS FinishEarlierSession(Conn* c, Marker m) {
  c->gen = m.gen;
  c->sidecarBase = SidecarBase(c->canonical, c->ino, m.gen);
  bool created = false;
  STATUS st = EnsureAnchor(c->lockFd, c->sidecarBase, &created);
  if (!st) st = OpenSqlite(c, false);
  if (!st) st = CheckpointAll(c);
  if (!st) st = WriteMarker(c->lockFd, Marker{m.gen, false});
  CloseSqlite(c);  // nobody else attached: SQLite removes the WAL too
  if (!st) RemoveSidecars(c->sidecarBase);
  return st;
}

STATUS OpenWriter(Conn* c) {
  c->lockFd = ::open(c->canonical.c_str(), O_RDWR | O_CLOEXEC);
  if (c->lockFd < 0) return StatusForErrno(errno);
  STATUS st = CheckMagic(c->lockFd);
  if (!st) st = CheckWritable(c->lockFd, c->canonical);
  if (st) return st;
  if (int e = OfdLock(c->lockFd, kWriterByte, F_WRLCK)) {
    return e == EAGAIN || e == EACCES ? ERR_DB_BUSY : StatusForErrno(e);
  }
  c->writerLock = true;
  if (int e = OfdLockWait(c->lockFd, kAttachByte, F_RDLCK)) {
    return e == EAGAIN || e == EACCES ? ERR_DB_BUSY : StatusForErrno(e);
  }
  Marker m;
  st = ReadMarker(c->lockFd, &m);
  const uint32_t original = EncodeMarker(m);
  std::string base = SidecarBase(c->canonical, c->ino, m.gen);
  int64_t walSize = -1;
  if (!st) st = SidecarSize(base + "-wal", &walSize);
  if (!st) st = CheckRecoveryData(c, m, walSize);
  if (!st) st = CheckLength(c->lockFd, m.dirty && walSize >= 32);
  if (st) return st;

  bool created = false;
  const bool exclusive = OfdLock(c->lockFd, kAttachByte, F_WRLCK) == 0;
  if (exclusive) {
    // Nobody else is attached: finish any earlier session, then start this
    // one in a generation of its own, its WAL made before the file says so.
    if (m.dirty) {
      st = FinishEarlierSession(c, m);
      if (st) {
        OfdLock(c->lockFd, kAttachByte, F_RDLCK);
        return st;
      }
    } else if (walSize <= 0) {
      RemoveSidecars(base);  // what readers left; no frames in it
    }
    // else: frames beside a clean file that nobody writes: another state's,
    // never applied.  Left where they are: not ours to delete.
    SweepEmptySets(c, m.gen);
    c->gen = UnusedGeneration(c, m.gen);
    c->sidecarBase = SidecarBase(c->canonical, c->ino, c->gen);
    st = EnsureAnchor(c->lockFd, c->sidecarBase, &created);
    if (!st) st = CreateEmptyWal(c->lockFd, c->sidecarBase);
    if (!st) st = WriteMarker(c->lockFd, Marker{c->gen, true});
    if (!st) st = OpenSqlite(c, false);
    if (st) {
      // Not ours after all, or unusable: the four bytes go back exactly as
      // they were (a foreign file's user_version is its own).
      CloseSqlite(c);
      Marker now;
      if (ReadMarker(c->lockFd, &now) == NOERROR && now.dirty && now.gen == c->gen)
        WriteMarkerValue(c->lockFd, original);
      RemoveSidecars(c->sidecarBase);
    }
    OfdLock(c->lockFd, kAttachByte, F_RDLCK);  // back to attached
    if (st) return st;
  } else {
    // Readers are attached to the sidecars: join them as they are.  A
    // clean file's WAL is empty then (only a writer puts frames in it,
    // after marking the file dirty), so the marker can change here too.
    c->gen = m.gen;
    c->sidecarBase = base;
    if (!m.dirty && walSize > 0) {
      SetOpenDetail(c->canonical + " is clean but its WAL holds frames while readers use "
                    "it; try again when they are done");
      return ERR_DB_BUSY;
    }
    st = EnsureAnchor(c->lockFd, base, &created);
    if (!st && walSize < 0) st = CreateEmptyWal(c->lockFd, base);
    const bool marked = !st && !m.dirty;
    if (marked) st = WriteMarker(c->lockFd, Marker{m.gen, true});
    if (!st) st = OpenSqlite(c, false);
    if (st) {
      CloseSqlite(c);
      if (marked) WriteMarkerValue(c->lockFd, original);
      return st;
    }
  }
  c->attached = true;
  c->writerSession = true;
  return NOERROR;
}

STATUS OpenReader(Conn* c) {
  c->lockFd = ::open(c->canonical.c_str(), O_RDONLY | O_CLOEXEC);
  if (c->lockFd < 0) return StatusForErrno(errno);
  STATUS st = CheckMagic(c->lockFd);
  if (st) return st;
  for (int attempt = 0;; attempt++) {
    if (int e = OfdLockWait(c->lockFd, kAttachByte, F_RDLCK)) {
      return e == EAGAIN || e == EACCES ? ERR_DB_BUSY : StatusForErrno(e);
    }
    Marker m;
    st = ReadMarker(c->lockFd, &m);
    const std::string base = SidecarBase(c->canonical, c->ino, m.gen);
    int64_t walSize = -1, anchorSize = -1;
    if (!st) st = SidecarSize(base + "-wal", &walSize);
    if (!st) st = SidecarSize(base, &anchorSize);
    if (!st) st = CheckRecoveryData(c, m, walSize);
    if (st) return st;
    const bool writerLive = HeldElsewhere(c->lockFd, kWriterByte, F_RDLCK);
    const bool othersAttached = HeldElsewhere(c->lockFd, kAttachByte, F_WRLCK);
    const bool mayCreate = MayCreateBeside(c->canonical);
    bool immutable = false;
    if (!m.dirty && walSize > 0 && !writerLive && !othersAttached) {
      immutable = true;  // frames of another state: read the file alone
    } else if (!m.dirty && !writerLive && !mayCreate &&
               (walSize < 0 || anchorSize < 0)) {
      // No sidecars to use and none can be made here (read-only media,
      // another user's directory), and no writer: the file is complete.
      immutable = true;
    }
    if (immutable) {
      // Hold the writer lock for reading, so no writer starts changing the
      // file while it is read without sidecars, then make sure nothing
      // moved in between.
      OfdLock(c->lockFd, kAttachByte, F_UNLCK);
      if (OfdLock(c->lockFd, kWriterByte, F_RDLCK) != 0) {
        if (attempt < 20) continue;
        return ERR_DB_BUSY;
      }
      Marker again;
      int64_t walAgain = -1;
      st = ReadMarker(c->lockFd, &again);
      if (!st) st = SidecarSize(base + "-wal", &walAgain);
      if (st) return st;
      if (EncodeMarker(again) != EncodeMarker(m) ||
          (walAgain > 0) != (walSize > 0)) {
        OfdLock(c->lockFd, kWriterByte, F_UNLCK);
        if (attempt < 20) continue;
        return ERR_DB_BUSY;
      }
      st = CheckLength(c->lockFd, false);
      if (st) return st;
      c->immutable = true;
      c->gen = m.gen;
      return OpenSqlite(c, true);
    }
    st = CheckLength(c->lockFd, m.dirty && walSize >= 32);
    if (st) return st;
    c->gen = m.gen;
    c->sidecarBase = base;
    c->walExisted = walSize >= 0;
    if (anchorSize < 0) {
      st = EnsureAnchor(c->lockFd, base, &c->createdAnchor);
      if (st) return st;
    }
    c->attached = true;
    return OpenSqlite(c, true);
  }
}

}  // namespace

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

STATUS StatusForErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return ERR_NOEXIST;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERR_DB_READONLY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERR_NO_FILES;
    case ENAMETOOLONG:
      return ERR_DB_PATH;
    default:
      return ERR_DB_IO;
  }
}

STATUS LockForReplace(const std::string& path, int* fd) {
  *fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (*fd < 0) {
    // Without write access no lock can be taken for writing; ask instead.
    *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd < 0) return StatusForErrno(errno);
    if (HeldElsewhere(*fd, kWriterByte, F_RDLCK) ||
        HeldElsewhere(*fd, kAttachByte, F_RDLCK)) {
      ::close(*fd);
      *fd = -1;
      return ERR_DB_BUSY;
    }
    return NOERROR;
  }
  if (OfdLock(*fd, kWriterByte, F_WRLCK) != 0 ||
      OfdLock(*fd, kAttachByte, F_WRLCK) != 0) {
    ::close(*fd);
    *fd = -1;
    return ERR_DB_BUSY;
  }
  return NOERROR;
}

void RemoveSessionFiles(const std::string& canonical, int fd) {
  struct stat sb;
  Marker m;
  if (::fstat(fd, &sb) != 0 || ReadMarker(fd, &m) != NOERROR) return;
  RemoveSidecars(SidecarBase(canonical, sb.st_ino, m.gen));
}

STATUS RefineOpenStatus(STATUS st, sqlite3* db) {
  if (st != ERR_DB_IO && st != ERR_NOT_A_DB && st != ERR_DB_READONLY) return st;
  if (VfsLastErrno() == 0) return st;
  STATUS cause = OpenFailure(db, SQLITE_IOERR);
  return cause == ERR_DB_IO ? st : cause;
}

void SetOpenDetail(std::string text) { t_detail = std::move(text); }
const std::string& OpenDetail() { return t_detail; }

STATUS ReadMarker(int fd, Marker* out) {
  unsigned char be[4];
  ssize_t n = ::pread(fd, be, 4, 60);
  if (n < 0) return StatusForErrno(errno);
  *out = n == 4 ? DecodeMarker(BigEndian32(be)) : Marker{};
  return NOERROR;
}

uint32_t FreshGeneration(uint32_t avoid) {
  // From the kernel each time: a process forked from another must not
  // repeat its parent's choices.
  for (;;) {
    uint32_t g = 0;
    if (::getrandom(&g, sizeof g, 0) != static_cast<ssize_t>(sizeof g)) {
      static std::mt19937 rng{std::random_device{}()};
      g = rng() ^ static_cast<uint32_t>(::getpid()) ^ static_cast<uint32_t>(::time(nullptr));
    }
    g &= 0x7FFFFFFFu;
    if (g != 0 && g != avoid) return g;
  }
}

std::string SidecarBase(const std::string& canonical, ino_t ino, uint32_t gen) {
  char name[64];
  std::snprintf(name, sizeof name, "/.tavlo-%llu-%08x",
                static_cast<unsigned long long>(ino), gen);
  return DirOf(canonical) + name;
}

STATUS OpenSession(Conn* c, bool writable) {
  return writable ? OpenWriter(c) : OpenReader(c);
}

void EndWriterSession(Conn* c, bool final) {
  if (c->db != nullptr && c->writerSession) {
    STATUS st = CheckpointAll(c);
    // The file is marked clean only when nobody else is attached, so a
    // marker never changes under a reader's sidecars: a clean file's WAL
    // stays empty until a writer has marked it dirty again.
    const bool exclusive =
        !st && final && OfdLock(c->lockFd, kAttachByte, F_WRLCK) == 0;
    if (exclusive) st = WriteMarker(c->lockFd, Marker{c->gen, false});
    if (st || !exclusive) {
      // Readers keep the WAL in use (or the disk failed): the file stays
      // dirty, its WAL beside it, and the WAL must be on stable storage
      // before this writer reports its work done.
      VfsSyncWal(c->db);
    }
    if (final) {
      // Still dirty: the WAL stays with the file.  A reader that has
      // attached but not yet opened the database holds no SQLite lock, so
      // SQLite's close would take itself for the last connection and
      // delete the WAL, leaving a dirty file without its recovery data.
      if (st || !exclusive) sqlite3_db_config(c->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      CloseSqlite(c);  // alone: SQLite removes the empty WAL and its index
      if (exclusive && !st) {
        RemoveSidecars(c->sidecarBase);
        c->attached = false;
      }
      if (exclusive && c->attached) OfdLock(c->lockFd, kAttachByte, F_RDLCK);
    } else {
      VfsSetReadOnly(c->db, true);
      sqlite3_db_config(c->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
  }
  if (c->writerLock) OfdLock(c->lockFd, kWriterByte, F_UNLCK);
  c->writerLock = false;
  c->writerSession = false;
}

STATUS ResumeWriterSession(Conn* c) {
  if (c->sqliteReadOnly || c->immutable) return ERR_DB_READONLY;
  STATUS st = CheckWritable(c->lockFd, c->canonical);
  if (st) return st;
  if (int e = OfdLock(c->lockFd, kWriterByte, F_WRLCK)) {
    return e == EAGAIN || e == EACCES ? ERR_DB_BUSY : StatusForErrno(e);
  }
  c->writerLock = true;
  // A writer's session that went on reading never marked the file clean.
  Marker m;
  st = ReadMarker(c->lockFd, &m);
  if (!st && (m.gen != c->gen || !m.dirty)) st = ERR_DB_BUSY;
  if (!st) st = VfsSetReadOnly(c->db, false) == SQLITE_OK ? NOERROR : ERR_DB_IO;
  if (!st) sqlite3_db_config(c->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  if (!st) {
    c->writerSession = true;
  } else {
    VfsSetReadOnly(c->db, true);
    sqlite3_db_config(c->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    OfdLock(c->lockFd, kWriterByte, F_UNLCK);
    c->writerLock = false;
  }
  return st;
}

void CloseSession(Conn* c) {
  if (c->writerSession && c->db != nullptr) EndWriterSession(c, true);
  CloseSqlite(c);
  // A reader that made an anchor or a WAL for a clean file removes them
  // again when nobody else is attached and nothing was written to them.
  // Never another process's: it must hold the attach lock for writing,
  // through a second descriptor (ours holds it for reading).
  if (c->attached && !c->writerLock && (c->createdAnchor || !c->walExisted)) {
    OfdLock(c->lockFd, kAttachByte, F_UNLCK);
    c->attached = false;
    int fd = ::open(c->canonical.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && OfdLock(fd, kAttachByte, F_WRLCK) == 0) {
      Marker m;
      int64_t walSize = -1, shmSize = -1;
      if (ReadMarker(fd, &m) == NOERROR && !m.dirty && m.gen == c->gen &&
          SidecarSize(c->sidecarBase + "-wal", &walSize) == NOERROR &&
          walSize <= 0) {
        if (!c->walExisted) {
          ::unlink((c->sidecarBase + "-wal").c_str());
          ::unlink((c->sidecarBase + "-shm").c_str());
        }
        if (c->createdAnchor &&
            SidecarSize(c->sidecarBase + "-wal", &walSize) == NOERROR && walSize < 0 &&
            SidecarSize(c->sidecarBase + "-shm", &shmSize) == NOERROR && shmSize < 0) {
          ::unlink(c->sidecarBase.c_str());
        }
      }
    }
    if (fd >= 0) ::close(fd);  // no SQLite connection to this file is left
  }
  if (c->lockFd >= 0) ::close(c->lockFd);  // drops its locks too
  c->lockFd = -1;
  c->writerLock = false;
  c->attached = false;
}

}  // namespace tavlo::store
