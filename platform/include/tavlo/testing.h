// Test hooks of the runtime: memory accounting, fault injection and a log
// sink.  They exist so tests can prove that every failure path releases
// what it holds.  Not for production callers.
#ifndef TAVLO_TESTING_H_
#define TAVLO_TESTING_H_

#include <string>

#include "tavlo/types.h"

// Live blocks and bytes of one block type tag.
void OSMemTestCount(WORD blockType, DWORD* retBlocks, DWORD* retBytes);
// Live blocks over all tags.
DWORD OSMemTestTotalBlocks(void);

// Fault injection.  After OSMemTestFailNth(kinds, n), the n-th call (1-based)
// from now of any of the given kinds fails: an allocation or reallocation
// returns ERR_MEMORY, a lock returns null (and takes no lock), a free of a
// live block returns ERR_BAD_HANDLE (but still releases the block, so the
// test leaks nothing).  Only one fault fires per arming.  n == 0 disarms.
#define OSMEM_FAULT_ALLOC 0x0001
#define OSMEM_FAULT_REALLOC 0x0002
#define OSMEM_FAULT_LOCK 0x0004
#define OSMEM_FAULT_FREE 0x0008
void OSMemTestFailNth(WORD kinds, DWORD n);
BOOL OSMemTestFaultFired(void);
void OSMemTestDisarm(void);

// Store fault injection.  After QDSTestFailNth(n, st), the n-th SQLite
// access (1-based) from now made by the document store fails as if the
// disk had failed: a statement step (each row fetched counts, as do BEGIN
// and COMMIT) or an incremental read or write of an object chunk.  The
// store reports it as `st` when some SQLite result maps to it (ERR_DB_IO,
// ERR_DB_BUSY, ERR_DB_CORRUPT, ERR_MEMORY, ...), otherwise as ERR_DB_IO.
// Only one fault fires per arming; n == 0 disarms.  Every public QDS* and
// QVW* call that reads or writes the file is covered, so a sweep over n
// reaches each of their failure paths.
void QDSTestFailNth(DWORD n, STATUS st);
BOOL QDSTestFaultFired(void);
void QDSTestDisarm(void);
// Open database, document and collection handles of the process, so a test
// can prove a failure path closed what it opened.  Any pointer may be null.
void QDSTestOpenHandles(DWORD* retDbs, DWORD* retNotes,
                        DWORD* retCollections);

// Attempts by read-only connections of this process to write, truncate or
// sync a database file (every one is refused).  Any pointer may be null.
void QDSTestReadOnlyFileIo(DWORD* retWrites, DWORD* retTruncates,
                           DWORD* retSyncs);

// Syncs of a WAL to stable storage by this process since it started (by
// SQLite's commits and checkpoints and by bulk sync points), and the bulk
// sync points alone.
DWORD QDSTestWalSyncs(void);
DWORD QDSTestSyncPoints(void);

// The process kills itself (SIGKILL) at the n-th write of a database file
// from now (QDS_KILL_FILE_WRITE: only checkpoints write the file itself),
// the n-th write of a WAL, or the n-th sync of a WAL: a crash at a chosen
// point inside a commit or a checkpoint.  n 0 disarms.  The environment
// variable TAVLO_TEST_CRASH=file-write:N (wal-write:N, wal-sync:N) arms it
// in a child process.
#define QDS_KILL_FILE_WRITE 1
#define QDS_KILL_WAL_WRITE 2
#define QDS_KILL_WAL_SYNC 3
void QDSTestKillAt(WORD what, DWORD n);

// Log sink: while set, every AddInLogMessageText line goes to the sink as
// (format, status, expanded text) instead of standard output.  Status line
// changes go to the status sink.  Pass nullptr to restore.
typedef void (*AddInTestLogSink)(const char* format, STATUS status,
                                 const std::string& text, void* arg);
typedef void (*AddInTestStatusSink)(const std::string& text, void* arg);
void AddInTestSetLogSink(AddInTestLogSink sink, void* arg);
void AddInTestSetStatusSink(AddInTestStatusSink sink, void* arg);
// Sets or clears the stop request, as a signal or `tavlo tell` would.
void AddInTestSetStopRequest(BOOL stop);
// After `polls` more calls of AddInIdle return FALSE, it returns TRUE
// (0 disarms).  Lets a test stop a task at a chosen point.
void AddInTestStopAfterPolls(DWORD polls);

#endif  // TAVLO_TESTING_H_
