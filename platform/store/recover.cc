// Recovery on the operator's word (QDSDbRecover): apply a file's own WAL,
// adopt one that was separated from it, or give up what only a lost WAL
// held.  Every path runs with every other process away from the file (the
// writer and attach locks held for writing), and a WAL from elsewhere is
// applied to a copy first: the file is replaced only by a copy that SQLite
// recovered and checked, so a WAL that does not fit changes nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "schema.h"
#include "session.h"
#include "store_int.h"

using namespace tavlo::store;

namespace {

uint32_t Be32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Copies `from` to a new file `to` (mode `mode`) and syncs it.
STATUS CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return StatusForErrno(errno);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (out < 0) {
    int e = errno;
    ::close(in);
    return StatusForErrno(e);
  }
  std::vector<char> buf(1 << 20);
  STATUS st = NOERROR;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      st = StatusForErrno(errno);
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.data() + done, n - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        st = StatusForErrno(errno);
        break;
      }
      done += w;
    }
    if (st) break;
  }
  if (!st && ::fsync(out) != 0) st = StatusForErrno(errno);
  ::close(in);
  if (::close(out) != 0 && !st) st = StatusForErrno(errno);
  return st;
}

// NOERROR when `wal` is a WAL whose header is intact and whose pages are
// the database's size.  Says nothing yet about whose WAL it is.
STATUS CheckWalHeader(const std::string& wal, int dbFd) {
  unsigned char h[32], d[18];
  int fd = ::open(wal.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetOpenDetail(wal + ": " + strerror(errno));
    return StatusForErrno(errno);
  }
  struct stat sb;
  bool ok = ::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) &&
            ::pread(fd, h, sizeof h, 0) == 32 && ::pread(dbFd, d, sizeof d, 0) == 18;
  ::close(fd);
  uint32_t magic = ok ? Be32(h) : 0;
  if (!ok || (magic != 0x377f0682 && magic != 0x377f0683)) {
    SetOpenDetail(wal + " is not a WAL");
    return ERR_DB_FOREIGN_WAL;
  }
  // The header checksum: pairs of 32-bit words summed in the byte order
  // the magic number's last bit names.
  const bool bigEndian = magic & 1;
  uint32_t s1 = 0, s2 = 0;
  for (int i = 0; i < 24; i += 8) {
    uint32_t a = bigEndian ? Be32(h + i) : (h[i] | h[i + 1] << 8 | h[i + 2] << 16 | (uint32_t)h[i + 3] << 24);
    uint32_t b = bigEndian ? Be32(h + i + 4)
                           : (h[i + 4] | h[i + 5] << 8 | h[i + 6] << 16 | (uint32_t)h[i + 7] << 24);
    s1 += a + s2;
    s2 += b + s1;
  }
  uint32_t dbPage = (uint32_t)d[16] << 8 | d[17];
  if (dbPage == 1) dbPage = 65536;
  if (s1 != Be32(h + 24) || s2 != Be32(h + 28) || Be32(h + 8) != dbPage) {
    SetOpenDetail(wal + " does not fit " + "this database (damaged header or another page size)");
    return ERR_DB_FOREIGN_WAL;
  }
  return NOERROR;
}

STATUS Exec(sqlite3* db, const char* sql) {
  return SqlStatus(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// Applies `wal` to a copy of the file, checks the result and renames it
// over the file.  `fd` holds the file's locks.
STATUS AdoptWal(const std::string& canonical, int fd, const std::string& wal) {
  STATUS st = CheckWalHeader(wal, fd);
  if (st) return st;
  struct stat sb;
  if (::fstat(fd, &sb) != 0) return StatusForErrno(errno);
  const std::string scratch =
      DirOf(canonical) + "/.tavlo-recover-" + std::to_string(::getpid());
  for (const char* s : {"", "-wal", "-shm", "-journal"}) ::unlink((scratch + s).c_str());
  st = CopyFile(canonical, scratch, sb.st_mode & 0666);
  if (!st) st = CopyFile(wal, scratch + "-wal", sb.st_mode & 0666);
  sqlite3* db = nullptr;
  if (!st) {
    // A private copy under SQLite's own names: the plain unix VFS.
    int rc = sqlite3_open_v2(scratch.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, "unix");
    if (rc != SQLITE_OK) st = SqlStatus(db, rc);
  }
  if (!st) st = SchemaCheck(db);  // the first read applies the WAL
  if (!st) {
    sqlite3_stmt* s = nullptr;
    std::string verdict;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &s, nullptr) == SQLITE_OK &&
        (sqlite3_step)(s) == SQLITE_ROW && sqlite3_column_text(s, 0)) {
      verdict = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    if (verdict != "ok") {
      SetOpenDetail("applying " + wal + " to " + canonical +
                    " does not give a sound database (" +
                    (verdict.empty() ? "unreadable" : verdict) +
                    "): it belongs to another file or another state of this one");
      st = ERR_DB_FOREIGN_WAL;
    }
  } else if (st == ERR_NOT_A_DB || st == ERR_DB_CORRUPT) {
    SetOpenDetail("applying " + wal + " to " + canonical +
                  " does not give a database: it belongs elsewhere");
    st = ERR_DB_FOREIGN_WAL;
  }
  if (!st) st = Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (!st) {
    char sql[64];
    std::snprintf(sql, sizeof sql, "PRAGMA user_version=%d",
                  static_cast<int32_t>(EncodeMarker(Marker{FreshGeneration(0), false})));
    st = Exec(db, sql);
  }
  if (!st) st = Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (db && sqlite3_close_v2(db) != SQLITE_OK && !st) st = ERR_DB_IO;
  if (!st && ::rename(scratch.c_str(), canonical.c_str()) != 0) st = StatusForErrno(errno);
  if (!st) {
    int dir = ::open(DirOf(canonical).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
  }
  for (const char* s : {"", "-wal", "-shm", "-journal"}) ::unlink((scratch + s).c_str());
  return st;
}

// WALs of this release in the file's directory that carry the file's
// generation but another inode's name: the file was copied here, or
// replaced by a copy, and left them.
std::vector<std::string> Candidates(const std::string& canonical, ino_t ino,
                                    uint32_t gen) {
  std::vector<std::string> out;
  DIR* d = ::opendir(DirOf(canonical).c_str());
  if (d == nullptr) return out;
  char want[32];
  std::snprintf(want, sizeof want, "-%08x-wal", gen);
  while (struct dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    unsigned long long other = 0;
    if (n.rfind(".tavlo-", 0) == 0 && n.size() > strlen(want) &&
        n.compare(n.size() - strlen(want), strlen(want), want) == 0 &&
        std::sscanf(n.c_str(), ".tavlo-%llu-", &other) == 1 && other != ino) {
      out.push_back(DirOf(canonical) + "/" + n);
    }
  }
  ::closedir(d);
  return out;
}

// TRUE when `wal` is named as this release names the WAL of generation
// `gen` (of any inode: a file moved across file systems changes inode).
bool NamedForGeneration(const std::string& wal, uint32_t gen) {
  char want[32];
  std::snprintf(want, sizeof want, "-%08x-wal", gen);
  std::string n = BaseName(wal);
  unsigned long long ino = 0;
  return n.rfind(".tavlo-", 0) == 0 && std::sscanf(n.c_str(), ".tavlo-%llu-", &ino) == 1 &&
         n.size() > strlen(want) &&
         n.compare(n.size() - strlen(want), strlen(want), want) == 0;
}

bool NamedLikeOurs(const std::string& wal) {
  unsigned long long ino = 0;
  unsigned gen = 0;
  char tail[8] = {};
  return std::sscanf(BaseName(wal).c_str(), ".tavlo-%llu-%8x-%3s", &ino, &gen, tail) == 3 &&
         strcmp(tail, "wal") == 0;
}

}  // namespace

STATUS QDSDbIsSelfContained(const char* path, BOOL* retSelfContained) {
  if (path == nullptr || retSelfContained == nullptr) return ERR_BAD_ARG;
  *retSelfContained = FALSE;
  struct stat sb;
  if (::stat(path, &sb) != 0) return StatusForErrno(errno);
  Marker m;
  if (Conn* c = ConnFind(sb.st_dev, sb.st_ino)) {
    // Open in this process: its own descriptor is read, because closing
    // another one would drop SQLite's record locks on the file.
    STATUS st = ReadMarker(c->lockFd, &m);
    if (st) return st;
  } else {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return StatusForErrno(errno);
    STATUS st = ReadMarker(fd, &m);
    ::close(fd);
    if (st) return st;
  }
  *retSelfContained = m.dirty ? FALSE : TRUE;
  return NOERROR;
}

STATUS QDSDbRecover(const char* path, const char* fromWal, WORD flags,
                    WORD* retOutcome) {
  SetOpenDetail(std::string());
  WORD dummy;
  if (retOutcome == nullptr) retOutcome = &dummy;
  *retOutcome = RECOVER_NOTHING;
  std::string resolved;
  STATUS st = ResolvePath(path, &resolved);
  if (st) return st;
  struct stat sb;
  if (::stat(resolved.c_str(), &sb) != 0) return StatusForErrno(errno);
  if (!S_ISREG(sb.st_mode)) return ERR_NOT_A_DB;
  if (ConnFind(sb.st_dev, sb.st_ino) != nullptr) return ERR_DB_BUSY;
  char* real = ::realpath(resolved.c_str(), nullptr);
  if (real == nullptr) return StatusForErrno(errno);
  const std::string canonical(real);
  free(real);

  int fd = -1;
  st = LockForReplace(canonical, &fd);
  if (st) {
    SetOpenDetail(canonical + " is open in another process; stop it first");
    return st;
  }
  unsigned char magic[16];
  Marker m;
  if (::pread(fd, magic, 16, 0) != 16 || memcmp(magic, "SQLite format 3", 16) != 0) {
    ::close(fd);
    return ERR_NOT_A_DB;
  }
  st = ReadMarker(fd, &m);
  const std::string own = SidecarBase(canonical, sb.st_ino, m.gen) + "-wal";
  const std::string legacy = canonical + "-wal";
  struct stat ws;
  const bool ownThere = ::lstat(own.c_str(), &ws) == 0;
  const bool legacyThere = m.gen == 0 && !m.dirty &&
                           ::lstat(legacy.c_str(), &ws) == 0 && ws.st_size > 0;

  if (!st && (flags & RECOVER_DISCARD_UNSAVED)) {
    if (m.dirty || legacyThere) {
      // Given up knowingly: the file is marked clean in a new generation,
      // so neither its own WAL (if it turns up) nor any other applies.
      // An earlier release's WAL is set aside, not deleted.
      Marker clean{FreshGeneration(m.gen), false};
      uint32_t v = EncodeMarker(clean);
      unsigned char be[4] = {(unsigned char)(v >> 24), (unsigned char)(v >> 16),
                             (unsigned char)(v >> 8), (unsigned char)v};
      if (::pwrite(fd, be, 4, 60) != 4 || ::fdatasync(fd) != 0) st = StatusForErrno(errno);
      if (!st && legacyThere) ::rename(legacy.c_str(), (legacy + ".discarded").c_str());
      if (!st) {
        *retOutcome = RECOVER_DISCARDED;
        SetOpenDetail(canonical + ": unsaved changes given up" +
                      (legacyThere ? "; " + BaseName(legacy) + " kept as " +
                                         BaseName(legacy) + ".discarded"
                                   : std::string()));
      }
    }
    ::close(fd);
    return st;
  }

  if (!st && fromWal != nullptr && fromWal[0] != '\0') {
    std::string from;
    st = ResolvePath(fromWal, &from);
    if (!st) {
      // Proof of belonging: a WAL of this release names the session it
      // was written in, which must be the file's unfinished one.  An
      // earlier release's WAL carries no such name; it may go only to a
      // file that release wrote (generation 0), and only if the result is
      // a sound database.
      if (NamedLikeOurs(from)) {
        if (!m.dirty || !NamedForGeneration(from, m.gen)) {
          SetOpenDetail(from + " belongs to another file or another state of " +
                        canonical + " (its session is not the file's)");
          st = ERR_DB_FOREIGN_WAL;
        }
      } else if (m.gen != 0) {
        SetOpenDetail(from + " was not written by this release, and " + canonical +
                      " was since opened by it: it cannot belong");
        st = ERR_DB_FOREIGN_WAL;
      }
    }
    if (!st) st = AdoptWal(canonical, fd, from);
    if (!st) {
      *retOutcome = RECOVER_ADOPTED;
      SetOpenDetail(canonical + ": the changes in " + from +
                    " are in the file now; " + from + " itself is no longer needed");
    }
    ::close(fd);
    return st;
  }

  if (!st && m.dirty && ownThere) {
    // Its own WAL is beside it: a writer's open and clean close apply it.
    ::close(fd);
    DBHANDLE db = 0;
    st = QDSDbOpen(canonical.c_str(), &db);
    if (!st) st = QDSDbClose(db);
    if (!st) {
      *retOutcome = RECOVER_APPLIED;
      SetOpenDetail(canonical + ": its unsaved changes are in the file now");
    }
    return st;
  }
  if (!st && legacyThere) {
    st = AdoptWal(canonical, fd, legacy);
    if (!st) {
      ::rename(legacy.c_str(), (legacy + ".adopted").c_str());
      ::unlink((canonical + "-shm").c_str());
      *retOutcome = RECOVER_ADOPTED;
      SetOpenDetail(canonical + ": the changes in " + BaseName(legacy) +
                    " are in the file now (kept as " + BaseName(legacy) + ".adopted)");
    }
    ::close(fd);
    return st;
  }
  if (!st && m.dirty) {
    std::string text = canonical + " was not closed cleanly and its unsaved changes (" +
                       BaseName(own) + ") are not beside it";
    std::vector<std::string> found = Candidates(canonical, sb.st_ino, m.gen);
    for (const std::string& c : found) text += "; " + c + " carries its session";
    SetOpenDetail(text);
    st = ERR_DB_UNCLEAN;
  }
  ::close(fd);
  return st;
}
