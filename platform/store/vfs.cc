// The store's VFS (see vfs.h).  Each file SQLite opens through it is a
// ShimFile: our header followed by the unix VFS's own file object, to
// which every call is forwarded.  A main database file the store mapped
// also carries a second unix file object, the "anchor": the sidecar base
// path, opened only so that the unix VFS keeps the WAL index as
// "<base>-shm" (it derives that name from the path of the file it maps
// shared memory for, and shares it within the process by that file's
// inode, so every connection of the process to one database meets one
// index).
//
// Test hook: TAVLO_TEST_CRASH=file-write:N (or wal-write:N, wal-sync:N)
// makes the process kill itself with SIGKILL at the N-th such call, so
// the crash tests can stop a writer in the middle of a checkpoint or a
// commit, which a kill from outside hits only by luck.
#include "vfs.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace tavlo::store {
namespace {

struct Mapping {
  std::string base;
  int refs = 0;
};

// A file control of ours: *(int*)arg nonzero marks the main file read-only.
constexpr int kFcntlSetReadOnly = 0x54617601;

std::mutex g_mu;
std::unordered_map<std::string, std::unique_ptr<Mapping>>& Map() {
  static auto* m = new std::unordered_map<std::string, std::unique_ptr<Mapping>>;
  return *m;
}

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
std::atomic<uint64_t> g_roWrites{0}, g_roTruncs{0}, g_roSyncs{0}, g_walSyncs{0};
// The errno behind the last failure of a file call on this thread: SQLite
// reports an open or a WAL-index extension that failed for want of room or
// of descriptors as a plain I/O error or "cannot open".
thread_local int t_lastErrno = 0;

inline int Note(int rc) {
  if (rc != SQLITE_OK && errno != 0) t_lastErrno = errno;
  return rc;
}

enum CrashKind { kCrashNone, kCrashMainWrite, kCrashWalWrite, kCrashWalSync };
CrashKind g_crashKind = kCrashNone;
std::atomic<long> g_crashCountdown{0};

void MaybeCrash(CrashKind k) {
  if (g_crashKind != k) return;
  if (g_crashCountdown.fetch_sub(1) == 1) ::raise(SIGKILL);
}

void ReadCrashHook() {
  const char* v = getenv("TAVLO_TEST_CRASH");
  if (v == nullptr) return;
  static const struct {
    const char* prefix;
    CrashKind kind;
  } kKinds[] = {{"file-write:", kCrashMainWrite},
                {"wal-write:", kCrashWalWrite},
                {"wal-sync:", kCrashWalSync}};
  for (const auto& k : kKinds) {
    size_t n = strlen(k.prefix);
    if (strncmp(v, k.prefix, n) == 0) {
      long count = strtol(v + n, nullptr, 10);
      if (count > 0) {
        g_crashKind = k.kind;
        g_crashCountdown = count;
      }
    }
  }
}

// The sidecar base of a mapped main file; false when unmapped.
bool LookupBase(const char* path, std::string* base) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = Map().find(path);
  if (it == Map().end()) return false;
  *base = it->second->base;
  return true;
}

// The name a sidecar ("<main>-wal", "<main>-journal", "<main>-shm") of a
// mapped main file has; false when the main file is not mapped.
bool MapSidecar(const char* name, std::string* mapped) {
  if (name == nullptr) return false;
  size_t len = strlen(name);
  for (const char* s : {"-wal", "-journal", "-shm"}) {
    size_t n = strlen(s);
    if (len > n && strcmp(name + len - n, s) == 0) {
      std::string main(name, len - n), base;
      if (!LookupBase(main.c_str(), &base)) return false;
      *mapped = base + s;
      return true;
    }
  }
  return false;
}

enum Kind { kOther, kMain, kWal };

struct ShimFile {
  sqlite3_file base;             // our methods
  Kind kind = kOther;
  bool mapped = false;           // kMain: sidecars at `sidecarBase`
  bool readOnly = false;         // kMain: writes refused
  std::string sidecarBase;
  sqlite3_filename ownedName = nullptr;   // made for the real open
  sqlite3_filename anchorName = nullptr;  // kMain: the anchor's, once open
  bool anchorOpen = false;
  // The unix VFS's file objects follow: real, then anchor.
};

constexpr size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

sqlite3_file* Real(sqlite3_file* f) {
  return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) +
                                         Align8(sizeof(ShimFile)));
}
sqlite3_file* Anchor(sqlite3_file* f) {
  return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(Real(f)) +
                                         Align8(g_real->szOsFile));
}
ShimFile* Shim(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f); }

bool ReadOnlyMain(sqlite3_file* f) {
  ShimFile* s = Shim(f);
  return s->kind == kMain && s->readOnly;
}

// --- forwarding io methods ---------------------------------------------------

int xClose(sqlite3_file* f) {
  ShimFile* s = Shim(f);
  if (s->anchorOpen) {
    sqlite3_file* a = Anchor(f);
    a->pMethods->xClose(a);
    s->anchorOpen = false;
  }
  sqlite3_file* r = Real(f);
  int rc = r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
  if (s->anchorName) sqlite3_free_filename(s->anchorName);
  if (s->ownedName) sqlite3_free_filename(s->ownedName);
  s->~ShimFile();
  return rc;
}
int xRead(sqlite3_file* f, void* p, int n, sqlite3_int64 off) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xRead(r, p, n, off);
}
int xWrite(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
  if (ReadOnlyMain(f)) {
    ++g_roWrites;
    return SQLITE_READONLY;
  }
  MaybeCrash(Shim(f)->kind == kMain  ? kCrashMainWrite
             : Shim(f)->kind == kWal ? kCrashWalWrite
                                     : kCrashNone);
  sqlite3_file* r = Real(f);
  errno = 0;
  return Note(r->pMethods->xWrite(r, p, n, off));
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
  if (ReadOnlyMain(f)) {
    ++g_roTruncs;
    return SQLITE_READONLY;
  }
  sqlite3_file* r = Real(f);
  errno = 0;
  return Note(r->pMethods->xTruncate(r, size));
}
int xSync(sqlite3_file* f, int flags) {
  if (ReadOnlyMain(f)) {
    ++g_roSyncs;
    return SQLITE_READONLY;
  }
  if (Shim(f)->kind == kWal) {
    MaybeCrash(kCrashWalSync);
    ++g_walSyncs;
  }
  sqlite3_file* r = Real(f);
  return r->pMethods->xSync(r, flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xFileSize(r, size);
}
int xLock(sqlite3_file* f, int level) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xLock(r, level);
}
int xUnlock(sqlite3_file* f, int level) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xUnlock(r, level);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xCheckReservedLock(r, out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
  if (op == kFcntlSetReadOnly) {
    if (Shim(f)->kind != kMain) return SQLITE_NOTFOUND;
    Shim(f)->readOnly = *static_cast<int*>(arg) != 0;
    return SQLITE_OK;
  }
  sqlite3_file* r = Real(f);
  return r->pMethods->xFileControl(r, op, arg);
}
int xSectorSize(sqlite3_file* f) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xSectorSize(r);
}
int xDeviceCharacteristics(sqlite3_file* f) {
  sqlite3_file* r = Real(f);
  return r->pMethods->xDeviceCharacteristics(r);
}
int xFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** pp) {
  sqlite3_file* r = Real(f);
  if (r->pMethods->iVersion < 3 || r->pMethods->xFetch == nullptr) {
    *pp = nullptr;
    return SQLITE_OK;
  }
  return r->pMethods->xFetch(r, off, n, pp);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
  sqlite3_file* r = Real(f);
  if (r->pMethods->iVersion < 3 || r->pMethods->xUnfetch == nullptr) {
    return SQLITE_OK;
  }
  return r->pMethods->xUnfetch(r, off, p);
}

// --- shared memory: the real file's own, or the anchor's ----------------------

// The file whose shared memory serves `f`: the anchor of a mapped main
// file (opened on first use), else the real file.  Null with *rc set when
// the anchor cannot be opened.
sqlite3_file* ShmFile(sqlite3_file* f, int* rc) {
  ShimFile* s = Shim(f);
  *rc = SQLITE_OK;
  if (s->kind != kMain || !s->mapped) return Real(f);
  if (s->anchorOpen) return Anchor(f);
  const std::string& base = s->sidecarBase;
  std::string journal = base + "-journal", wal = base + "-wal";
  s->anchorName = sqlite3_create_filename(base.c_str(), journal.c_str(),
                                          wal.c_str(), 0, nullptr);
  if (s->anchorName == nullptr) {
    *rc = SQLITE_NOMEM;
    return nullptr;
  }
  sqlite3_file* a = Anchor(f);
  memset(a, 0, g_real->szOsFile);
  int outFlags = 0;
  // Read-only: the anchor's bytes are never used, only its path and inode.
  *rc = g_real->xOpen(g_real, s->anchorName, a,
                      SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READONLY, &outFlags);
  if (*rc != SQLITE_OK) {
    if (a->pMethods) a->pMethods->xClose(a);
    sqlite3_free_filename(s->anchorName);
    s->anchorName = nullptr;
    return nullptr;
  }
  s->anchorOpen = true;
  return a;
}

int xShmMap(sqlite3_file* f, int region, int size, int extend,
            void volatile** pp) {
  int rc;
  errno = 0;
  sqlite3_file* g = ShmFile(f, &rc);
  if (g == nullptr) return Note(rc);
  return Note(g->pMethods->xShmMap(g, region, size, extend, pp));
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  int rc;
  sqlite3_file* g = ShmFile(f, &rc);
  if (g == nullptr) return rc;
  return g->pMethods->xShmLock(g, offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
  ShimFile* s = Shim(f);
  sqlite3_file* g = s->kind == kMain && s->mapped
                       ? (s->anchorOpen ? Anchor(f) : nullptr)
                       : Real(f);
  if (g != nullptr && g->pMethods->xShmBarrier) {
    g->pMethods->xShmBarrier(g);
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
  ShimFile* s = Shim(f);
  if (s->kind == kMain && s->mapped) {
    if (!s->anchorOpen) return SQLITE_OK;
    sqlite3_file* a = Anchor(f);
    return a->pMethods->xShmUnmap(a, deleteFlag);
  }
  sqlite3_file* r = Real(f);
  return r->pMethods->xShmUnmap ? r->pMethods->xShmUnmap(r, deleteFlag)
                                : SQLITE_OK;
}

const sqlite3_io_methods kMethods = {
    3,           xClose,      xRead,
    xWrite,      xTruncate,   xSync,
    xFileSize,   xLock,       xUnlock,
    xCheckReservedLock,       xFileControl,
    xSectorSize, xDeviceCharacteristics,
    xShmMap,     xShmLock,    xShmBarrier,
    xShmUnmap,   xFetch,      xUnfetch,
};

// --- vfs methods --------------------------------------------------------------

int VfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
            int* outFlags) {
  ShimFile* s = new (file) ShimFile{};
  s->base.pMethods = nullptr;
  const char* openName = name;
  int rc = SQLITE_OK;
  try {
    if (name != nullptr && (flags & SQLITE_OPEN_MAIN_DB)) {
      s->kind = kMain;
      s->mapped = LookupBase(name, &s->sidecarBase);
      s->readOnly = (flags & SQLITE_OPEN_READONLY) != 0;
    } else if (name != nullptr &&
               (flags & (SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL))) {
      s->kind = (flags & SQLITE_OPEN_WAL) ? kWal : kOther;
      std::string mapped;
      if (MapSidecar(name, &mapped)) {
        // The unix VFS reads URI parameters through the name and copies
        // the owner and mode of "<x>" to "<x>-wal": hand it a proper
        // SQLite file name whose database part is the base.
        std::string base = mapped.substr(0, mapped.rfind('-'));
        std::string journal = base + "-journal", wal = base + "-wal";
        s->ownedName = sqlite3_create_filename(base.c_str(), journal.c_str(),
                                               wal.c_str(), 0, nullptr);
        if (s->ownedName == nullptr) rc = SQLITE_NOMEM;
        else openName = (flags & SQLITE_OPEN_WAL)
                            ? sqlite3_filename_wal(s->ownedName)
                            : sqlite3_filename_journal(s->ownedName);
      }
    }
  } catch (...) {
    rc = SQLITE_NOMEM;
  }
  sqlite3_file* r = Real(file);
  memset(r, 0, g_real->szOsFile);
  errno = 0;
  if (rc == SQLITE_OK) rc = Note(g_real->xOpen(g_real, openName, r, flags, outFlags));
  if (rc != SQLITE_OK) {
    if (r->pMethods) r->pMethods->xClose(r);
    if (s->ownedName) sqlite3_free_filename(s->ownedName);
    s->~ShimFile();
    return rc;
  }
  s->base.pMethods = &kMethods;
  return SQLITE_OK;
}

int VfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
  std::string mapped;
  try {
    if (MapSidecar(name, &mapped)) {
      return g_real->xDelete(g_real, mapped.c_str(), syncDir);
    }
  } catch (...) {
    return SQLITE_NOMEM;
  }
  return g_real->xDelete(g_real, name, syncDir);
}

// Every check SQLite makes for a sidecar (is there a WAL, a hot journal?)
// looks where the sidecars really are, so a stray "<name>-wal" left by
// another file is never taken for this file's.
int VfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  std::string mapped;
  try {
    if (MapSidecar(name, &mapped)) {
      return g_real->xAccess(g_real, mapped.c_str(), flags, out);
    }
  } catch (...) {
    return SQLITE_NOMEM;
  }
  return g_real->xAccess(g_real, name, flags, out);
}

int VfsFullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g_real->xFullPathname(g_real, name, n, out);
}
void* VfsDlOpen(sqlite3_vfs*, const char* p) { return g_real->xDlOpen(g_real, p); }
void VfsDlError(sqlite3_vfs*, int n, char* out) { g_real->xDlError(g_real, n, out); }
void (*VfsDlSym(sqlite3_vfs*, void* h, const char* s))(void) {
  return g_real->xDlSym(g_real, h, s);
}
void VfsDlClose(sqlite3_vfs*, void* h) { g_real->xDlClose(g_real, h); }
int VfsRandomness(sqlite3_vfs*, int n, char* out) {
  return g_real->xRandomness(g_real, n, out);
}
int VfsSleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int VfsCurrentTime(sqlite3_vfs*, double* t) { return g_real->xCurrentTime(g_real, t); }
int VfsGetLastError(sqlite3_vfs*, int n, char* out) {
  return g_real->xGetLastError ? g_real->xGetLastError(g_real, n, out) : 0;
}
int VfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* t) {
  return g_real->xCurrentTimeInt64(g_real, t);
}

const char* Register() {
  g_real = sqlite3_vfs_find(nullptr);
  if (g_real == nullptr) return nullptr;
  ReadCrashHook();
  memset(&g_vfs, 0, sizeof g_vfs);
  g_vfs.iVersion = 2;
  g_vfs.szOsFile = static_cast<int>(Align8(sizeof(ShimFile)) +
                                    2 * Align8(g_real->szOsFile));
  g_vfs.mxPathname = g_real->mxPathname;
  g_vfs.zName = "tavlo";
  g_vfs.xOpen = VfsOpen;
  g_vfs.xDelete = VfsDelete;
  g_vfs.xAccess = VfsAccess;
  g_vfs.xFullPathname = VfsFullPathname;
  g_vfs.xDlOpen = VfsDlOpen;
  g_vfs.xDlError = VfsDlError;
  g_vfs.xDlSym = VfsDlSym;
  g_vfs.xDlClose = VfsDlClose;
  g_vfs.xRandomness = VfsRandomness;
  g_vfs.xSleep = VfsSleep;
  g_vfs.xCurrentTime = VfsCurrentTime;
  g_vfs.xGetLastError = VfsGetLastError;
  g_vfs.xCurrentTimeInt64 = VfsCurrentTimeInt64;
  if (sqlite3_vfs_register(&g_vfs, 0) != SQLITE_OK) return nullptr;
  return g_vfs.zName;
}

}  // namespace

const char* VfsName() {
  static const char* name = Register();
  return name;
}

void VfsMap(const std::string& path, const std::string& base) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto& m = Map()[path];
  if (!m) m = std::make_unique<Mapping>();
  m->base = base;
  ++m->refs;
}

void VfsUnmap(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = Map().find(path);
  if (it != Map().end() && --it->second->refs <= 0) Map().erase(it);
}

int VfsSetReadOnly(sqlite3* db, bool readOnly) {
  int flag = readOnly ? 1 : 0;
  return sqlite3_file_control(db, "main", kFcntlSetReadOnly, &flag);
}

uint64_t VfsWalSyncs() { return g_walSyncs; }
int VfsLastErrno() { return t_lastErrno; }
void VfsClearErrno() { t_lastErrno = 0; }

ReadOnlyIo VfsReadOnlyIo() {
  ReadOnlyIo io;
  io.writes = g_roWrites;
  io.truncates = g_roTruncs;
  io.syncs = g_roSyncs;
  return io;
}

void VfsTestKillAt(int kind, long n) {
  g_crashKind = n > 0 && kind >= kCrashMainWrite && kind <= kCrashWalSync
                    ? static_cast<CrashKind>(kind)
                    : kCrashNone;
  g_crashCountdown = n;
}

int VfsSyncWal(sqlite3* db) {
  sqlite3_file* wal = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) !=
          SQLITE_OK ||
      wal == nullptr || wal->pMethods == nullptr) {
    return SQLITE_OK;  // no WAL open: nothing to sync
  }
  return wal->pMethods->xSync(wal, SQLITE_SYNC_FULL);
}

}  // namespace tavlo::store
