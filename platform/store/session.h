// Sessions: how a connection attaches to a database file and its sidecars,
// so that recovery data follows the file and never reaches another.
//
// The marker.  SQLite's header field user_version (bytes 60..63 of the
// file, the same in every copy of page 1) holds the file's session marker:
// (generation << 1) | dirty.  Read straight from the file's bytes before
// SQLite opens it.
//   - dirty: a writer had the file open, and changes may be in its WAL
//     rather than in the file.  A writer sets it (and makes it durable in
//     the file itself) before its first change, and clears it only after a
//     checkpoint has put every change into the file and emptied the WAL.
//   - generation: names the sidecars.  A new random one is chosen whenever
//     a writer starts or ends with nobody else attached, so an older copy
//     of the file carries another generation than the live sidecars.
//   - 0: a file made by an older release (or never opened by a writer of
//     this one): clean, generation 0.
//
// The sidecars of a file live in its directory as
//     .tavlo-<inode>-<generation>          (the anchor: empty)
//     .tavlo-<inode>-<generation>-wal      (the WAL)
//     .tavlo-<inode>-<generation>-shm      (the WAL index)
// A rename within the directory keeps the inode, so the file finds them
// under its new name; a copy has another inode and never shares them; a
// copy written back over the file (same inode) carries the generation of
// its own time.  The device number is left out: a directory lies on one
// file system, and a reboot that numbers the disks differently must not
// orphan a crashed writer's commits.
//
// The rules at open:
//   - dirty and the WAL is missing: the file was moved or copied away from
//     its recovery data: refused, ERR_DB_UNCLEAN (nothing changed).
//   - clean: the file holds everything; a WAL holding frames belongs to a
//     writer that is starting right now (it holds the writer lock), or to
//     another state of the file (a copy written back over it): the latter
//     is never applied.  With readers attached to the sidecars it is the
//     live state they see, and it is joined.
//   - generation 0 with "<name>-wal" beside the file: an older release's
//     crash; refused (ERR_DB_UNCLEAN) until the operator adopts it.
//
// Two lock bytes of the database file (open-file-description locks, which
// SQLite's own POSIX locks neither see nor drop):
//   - the writer lock: held for writing by the one writer; a reader that
//     reads the file without sidecars ("immutable") holds it for reading,
//     so no writer changes the file under it.
//   - the attach lock: held for reading by every connection that uses the
//     sidecars; held for writing only while the generation changes or
//     sidecars are removed, which therefore happens only when nobody else
//     is attached.
#ifndef TAVLO_STORE_SESSION_H_
#define TAVLO_STORE_SESSION_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tavlo/status.h"

namespace tavlo::store {

struct Conn;

struct Marker {
  uint32_t gen = 0;
  bool dirty = false;
};
inline uint32_t EncodeMarker(Marker m) { return m.gen << 1 | (m.dirty ? 1u : 0u); }
inline Marker DecodeMarker(uint32_t v) { return Marker{v >> 1, (v & 1) != 0}; }
// The marker in the file's header; a file too short to have one reads 0.
STATUS ReadMarker(int fd, Marker* out);

// The directory of a path ("." when it names none) and its last part.
std::string DirOf(const std::string& path);
std::string BaseName(const std::string& path);
// The STATUS for an errno of a file operation.
STATUS StatusForErrno(int e);
// A random generation, nonzero and other than `avoid`.
uint32_t FreshGeneration(uint32_t avoid);
// The sidecar base of the file `canonical` (its directory), for an inode
// and generation.
std::string SidecarBase(const std::string& canonical, ino_t ino, uint32_t gen);

// Opens the connection `c` (canonical path, identity and lock descriptor
// set) as its writer or as a reader, following the rules above.  On
// failure the caller closes what is open (CloseSession).
STATUS OpenSession(Conn* c, bool writable);
// Ends a writer's session: every change checkpointed into the file, the
// marker clean, the writer lock released.  `final`: the connection closes
// too (otherwise it stays open for the process's readers).
void EndWriterSession(Conn* c, bool final);
// Makes a connection a writer session again (a process that kept reading
// after its last write handle closed opens the file for writing again).
STATUS ResumeWriterSession(Conn* c);
// Closes the SQLite connection, removes sidecars this process created and
// nobody else uses, and releases the locks.
void CloseSession(Conn* c);

// Removes the sidecars of the file open on `fd` (its generation's set).
// Only under LockForReplace (store_int.h), just before the file goes.
void RemoveSessionFiles(const std::string& canonical, int fd);

// A failure of the first reads after an open, told by the system error
// behind it (no room for the WAL index, no descriptors left) where SQLite
// said only "I/O error".
STATUS RefineOpenStatus(STATUS st, sqlite3* db);

// Explanation of the last failed open of this thread, naming the file and
// the cause (empty when the STATUS says it all).
void SetOpenDetail(std::string text);
const std::string& OpenDetail();

}  // namespace tavlo::store

#endif  // TAVLO_STORE_SESSION_H_
