// Store fault injection: the armed countdown and the result code a fault
// reports.  Single-threaded, like the rest of the store.
#include "store_fault.h"

#include "store_int.h"
#include "vfs.h"
#include "tavlo/testing.h"

namespace tavlo::store {
namespace {

DWORD g_countdown = 0;  // 0: disarmed
bool g_fired = false;
int g_rc = SQLITE_IOERR;

// An SQLite result code that the store reports as `st`, so the failure
// travels the store's own error paths and surfaces as the STATUS asked for.
// A STATUS no SQLite code maps to is injected as an I/O error.
int RcFor(STATUS st) {
  static const int kCandidates[] = {
      SQLITE_IOERR,    SQLITE_FULL,     SQLITE_READONLY, SQLITE_BUSY,
      SQLITE_NOMEM,    SQLITE_CORRUPT,  SQLITE_TOOBIG,   SQLITE_CANTOPEN,
      SQLITE_PERM,     SQLITE_PROTOCOL, SQLITE_INTERRUPT};
  for (int rc : kCandidates) {
    if (SqlStatus(rc) == st) return rc;
  }
  return SQLITE_IOERR;
}

}  // namespace

int FaultRc() {
  if (g_countdown == 0 || --g_countdown != 0) return SQLITE_OK;
  g_fired = true;
  return g_rc;
}

}  // namespace tavlo::store

using namespace tavlo::store;

void QDSTestFailNth(DWORD n, STATUS st) {
  g_countdown = n;
  g_fired = false;
  g_rc = RcFor(st);
}

BOOL QDSTestFaultFired(void) { return g_fired ? TRUE : FALSE; }

void QDSTestDisarm(void) { g_countdown = 0; }

void QDSTestOpenHandles(DWORD* retDbs, DWORD* retNotes,
                        DWORD* retCollections) {
  if (retDbs) *retDbs = static_cast<DWORD>(Dbs().live());
  if (retNotes) *retNotes = static_cast<DWORD>(Notes().live());
  if (retCollections) {
    *retCollections = static_cast<DWORD>(Collections().live());
  }
}

void QDSTestReadOnlyFileIo(DWORD* retWrites, DWORD* retTruncates,
                           DWORD* retSyncs) {
  ReadOnlyIo io = VfsReadOnlyIo();
  if (retWrites) *retWrites = static_cast<DWORD>(io.writes);
  if (retTruncates) *retTruncates = static_cast<DWORD>(io.truncates);
  if (retSyncs) *retSyncs = static_cast<DWORD>(io.syncs);
}

void QDSTestKillAt(WORD what, DWORD n) { VfsTestKillAt(what, static_cast<long>(n)); }

DWORD QDSTestWalSyncs(void) { return static_cast<DWORD>(VfsWalSyncs()); }

DWORD QDSTestSyncPoints(void) { return SyncPointsTaken(); }
