// The store's SQLite VFS: the default unix VFS with the sidecars of each
// database file (WAL, WAL index, rollback journal) moved to names the store
// chooses (session.h), and with the main file of a read-only connection
// protected from writes.
//
// SQLite names a database's sidecars after the name it was opened under
// ("<name>-wal", "<name>-shm").  An operator who renames a queue file
// leaves its uncommitted-to-the-file commits behind under the old name,
// and a later file of that name would have them replayed into it.  Through
// this VFS every sidecar of a file the store opens is named after the
// file's identity instead (see session.h), so it follows the file through
// renames and is never shared with a copy.
//
// Files SQLite opens that the store has not mapped (temporary files, the
// store's own plain connections) pass through unchanged.
#ifndef TAVLO_STORE_VFS_H_
#define TAVLO_STORE_VFS_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tavlo::store {

// Registers the VFS on first use; its name for sqlite3_open_v2.  Null when
// SQLite has no default VFS to wrap (never on a supported system).
const char* VfsName();

// Maps the main file `path` (exactly the name given to sqlite3_open_v2,
// which must be absolute and free of symbolic links) to sidecars named
// `base` + "-wal", "-shm", "-journal" for the connections opened after
// this call.  `base` itself must exist: the unix VFS keeps the WAL index
// of the file open through it, and copies its owner and mode to the
// sidecars.  Mappings are counted: each VfsMap is undone by one VfsUnmap,
// after the connection it was made for has closed.
void VfsMap(const std::string& path, const std::string& base);
void VfsUnmap(const std::string& path);

// A connection opened with SQLITE_OPEN_READONLY never writes, truncates or
// syncs its main file: each attempt is refused and counted.  This marks a
// read-write connection the same way (a writer handing its connection
// over to readers), or lifts the mark again.
int VfsSetReadOnly(sqlite3* db, bool readOnly);

// Attempts to write, truncate or sync the main file of a read-only mapping
// since the process started (each is refused).
struct ReadOnlyIo {
  uint64_t writes = 0, truncates = 0, syncs = 0;
};
ReadOnlyIo VfsReadOnlyIo();
// Syncs of WAL files since the process started.
uint64_t VfsWalSyncs();

// Test hook: the process kills itself with SIGKILL at the n-th write of a
// main file (kind 1: only checkpoints write it), write of a WAL (2) or sync
// of a WAL (3) from now; n 0 disarms.
void VfsTestKillAt(int kind, long n);

// The errno behind the last failed open, write, truncate or WAL-index
// mapping of this thread through the VFS (0: none since the last clear).
int VfsLastErrno();
void VfsClearErrno();

// Syncs the WAL of an open connection to stable storage, if it has one.
int VfsSyncWal(sqlite3* db);

}  // namespace tavlo::store

#endif  // TAVLO_STORE_VFS_H_
