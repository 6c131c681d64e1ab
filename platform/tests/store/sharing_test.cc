// One writer, many readers: the writer lock between processes, read-only
// handles beside a writer, their caches following its commits, and
// read-only and read-write handles of one file in one process.
#include <poll.h>
#include <sys/wait.h>

#include <functional>

#include "store_test_util.h"

namespace {

using SharingTest = StoreTest;

// A forked process that answers one-character commands with one character
// computed by `serve`; 'x' ends it.  Lets a test hold a database open in
// another process and act there at the points it chooses.
class Peer {
 public:
  explicit Peer(std::function<char(char)> serve) {
    int toChild[2], toParent[2];
    if (pipe(toChild) != 0 || pipe(toParent) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(toChild[1]);
      close(toParent[0]);
      char cmd;
      while (read(toChild[0], &cmd, 1) == 1 && cmd != 'x') {
        char reply = serve(cmd);
        if (write(toParent[1], &reply, 1) != 1) _exit(3);
      }
      _exit(0);
    }
    close(toChild[0]);
    close(toParent[1]);
    out_ = toChild[1];
    in_ = toParent[0];
  }
  ~Peer() { Finish(); }

  // The peer's answer to `cmd`; '?' when it has gone or hangs.
  char Ask(char cmd) {
    if (pid_ <= 0 || write(out_, &cmd, 1) != 1) return '?';
    pollfd p{in_, POLLIN, 0};
    char reply = '?';
    // Only a guard against a hung peer, never part of what is checked.
    if (poll(&p, 1, 60000) == 1 && read(in_, &reply, 1) != 1) reply = '?';
    return reply;
  }
  // Ends the peer; its exit status (0 when it closed cleanly).
  int Finish() {
    if (pid_ <= 0) return -1;
    char x = 'x';
    (void)!write(out_, &x, 1);
    int status = 0;
    waitpid(pid_, &status, 0);
    close(out_);
    close(in_);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};

char Code(STATUS st) { return st == NOERROR ? 'y' : st == ERR_DB_BUSY ? 'b' : 'n'; }

// Replaces the number item "Status" of a stored document (and, when given,
// its text "Subject").
STATUS SetStatus(DBHANDLE db, NOTEID id, double status,
                 const char* subject = nullptr) {
  NOTEHANDLE n = 0;
  STATUS st = QDSNoteOpen(db, id, 0, &n);
  if (st) return st;
  QDSItemDelete(n, "Status", 6);
  st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &status, 8);
  if (!st && subject) {
    QDSItemDelete(n, "Subject", 7);
    st = QDSItemAppend(n, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, subject,
                       static_cast<DWORD>(strlen(subject)));
  }
  if (!st) st = QDSNoteUpdate(n, 0);
  QDSNoteClose(n);
  return st;
}

double StatusOf(DBHANDLE db, NOTEID id) {
  NOTEHANDLE n = 0;
  if (QDSNoteOpen(db, id, 0, &n) != NOERROR) return -1;
  double v = -2;
  QDSItemGetNumber(n, "Status", &v);
  QDSNoteClose(n);
  return v;
}

// Every call that changes a database, through `db`.
std::vector<STATUS> EveryWrite(DBHANDLE db, NOTEID existing) {
  std::vector<STATUS> out;
  NOTEHANDLE n = 0;
  out.push_back(QDSNoteOpen(db, existing, 0, &n));
  double six = 6;
  QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &six, 8);
  out.push_back(QDSNoteUpdate(n, 0));
  QDSNoteClose(n);
  out.push_back(QDSNoteCreate(db, &n));
  out.push_back(QDSNoteUpdate(n, 0));
  QDSNoteClose(n);
  out.push_back(QDSNoteDelete(db, existing, 0));
  char info[DBINFO_SIZE] = "title";
  out.push_back(QDSDbInfoSet(db, info));
  DBREPLICAINFO ri = {};
  out.push_back(QDSDbReplicaInfoGet(db, &ri));
  out.push_back(QDSDbReplicaInfoSet(db, &ri));
  out.push_back(QDSDbCopyACL(db, db));
  TIMEDATE all;
  TimeConstant(TIMEDATE_WILDCARD, &all);
  out.push_back(QDSDbCopy(db, db, all, NOTE_CLASS_ALL));
  DWORD rrv = 0;
  out.push_back(QDSDbAllocObject(db, 16, 0, 0, &rrv));
  out.push_back(QDSDbWriteObjectBytes(db, 1, "x", 0, 1));
  out.push_back(QDSDbFreeObject(db, 1));
  out.push_back(QDSViewCreate(db, "v", "Status = 6", nullptr));
  return out;
}

const std::vector<STATUS> kRefused = {
    NOERROR, ERR_DB_READONLY, NOERROR, ERR_DB_READONLY, ERR_DB_READONLY,
    ERR_DB_READONLY, NOERROR, ERR_DB_READONLY, ERR_DB_READONLY,
    ERR_DB_READONLY, ERR_DB_READONLY, ERR_DB_READONLY, ERR_DB_READONLY,
    ERR_DB_READONLY};

// A writer in another process: a read-write open here is refused at once,
// a read-only one works and reads committed data only; after the writer's
// commits every search, document open and database value here shows them,
// though this process had cached the old state.  Once the writer is gone
// the read-only handle upgrades to a writer in place, and after its
// read-write handle closes another process writes again.
//
// The peer is forked before this process opens anything: a child must not
// inherit open connections (nor their locks).
TEST_F(SharingTest, ReadersBesideAWriterInAnotherProcess) {
  DBHANDLE db = NewDb("q.qds");
  IdList ids = {SaveDoc(db, 11, "a"), SaveDoc(db, 11, "a"),
                SaveDoc(db, 11, "a"), SaveDoc(db, 6)};
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  DBHANDLE w = 0;
  sqlite3* raw = nullptr;
  NOTEID added = 0;  // the peer's new document
  Peer peer([&](char cmd) -> char {
    switch (cmd) {
      case 'u':  // a transaction that is never committed
        if (sqlite3_open(Path("q.qds").c_str(), &raw) != SQLITE_OK) return 'n';
        return sqlite3_exec(raw, "BEGIN IMMEDIATE; DELETE FROM items;"
                                 " DELETE FROM notes; DELETE FROM summary",
                            nullptr, nullptr, nullptr) == SQLITE_OK ? 'y' : 'n';
      case 'r':
        sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
        return sqlite3_close(raw) == SQLITE_OK ? 'y' : 'n';
      case 'o':
        return Code(QDSDbOpen("q.qds", &w));
      case 'c': {  // commits: status, subject, replica id, new and deleted
        DBREPLICAINFO r;
        STATUS st = SetStatus(w, ids[0], 6);
        if (!st) st = SetStatus(w, ids[2], 11, "b");
        if (!st) st = QDSNoteDelete(w, ids[1], 0);
        if (!st) added = SaveDoc(w, 11, "b");
        if (!st) st = QDSDbReplicaInfoGet(w, &r);
        r.ID.Innards[0] ^= 0x5A5A;
        if (!st) st = QDSDbReplicaInfoSet(w, &r);
        return Code(st);
      }
      case 'l':
        return Code(QDSDbClose(w));
      case 'p': {  // may this process write?
        DBHANDLE h = 0;
        STATUS st = QDSDbOpen("q.qds", &h);
        if (!st) st = QDSDbClose(h);
        return Code(st);
      }
      case 'w': {
        DBHANDLE h = 0;
        STATUS st = QDSDbOpen("q.qds", &h);
        if (!st) st = SetStatus(h, added, 7);
        if (!st) st = QDSDbClose(h);
        return Code(st);
      }
    }
    return '?';
  });

  DBHANDLE ro = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("q.qds", &ro), NOERROR);
  const char* kFailedB = "Status = 11 & Subject = \"b\"";  // index, then cache
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList(ids.begin(), ids.begin() + 3));
  EXPECT_EQ(Ids(ro, "Status > 6"), IdList(ids.begin(), ids.begin() + 3));
  EXPECT_EQ(Ids(ro, kFailedB), IdList{});
  DBREPLICAINFO before = {}, after = {};
  ASSERT_EQ(QDSDbReplicaInfoGet(ro, &before), NOERROR);

  ASSERT_EQ(peer.Ask('u'), 'y');
  EXPECT_EQ(Ids(ro, nullptr), ids) << "uncommitted changes are not seen";
  EXPECT_EQ(StatusOf(ro, ids[1]), 11);
  ASSERT_EQ(peer.Ask('r'), 'y');

  ASSERT_EQ(peer.Ask('o'), 'y');
  DBHANDLE second = 0;
  EXPECT_EQ(QDSDbOpen("q.qds", &second), ERR_DB_BUSY);
  EXPECT_EQ(EveryWrite(ro, ids[3]), kRefused);
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList(ids.begin(), ids.begin() + 3));

  ASSERT_EQ(peer.Ask('c'), 'y');
  // Database values first, before any search reads the file again.
  ASSERT_EQ(QDSDbReplicaInfoGet(ro, &after), NOERROR);
  EXPECT_EQ(after.ID.Innards[0], before.ID.Innards[0] ^ 0x5A5A);
  ORIGINATORID oid;
  ASSERT_EQ(QDSDbGenerateOID(ro, &oid), NOERROR);
  EXPECT_EQ(memcmp(&oid.File, &after.ID, sizeof oid.File), 0);
  // The peer's new document has the highest note id.
  IdList all = Ids(ro, nullptr);
  ASSERT_EQ(all.size(), 4u);
  added = all.back();
  EXPECT_EQ(all, (IdList{ids[0], ids[2], ids[3], added}));
  EXPECT_EQ(Ids(ro, "Status = 11"), (IdList{ids[2], added}));
  EXPECT_EQ(Ids(ro, "Status > 6"), (IdList{ids[2], added}));
  EXPECT_EQ(Ids(ro, kFailedB), (IdList{ids[2], added}));
  EXPECT_EQ(StatusOf(ro, ids[0]), 6);
  NOTEHANDLE gone = 0;
  EXPECT_EQ(QDSNoteOpen(ro, ids[1], 0, &gone), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(peer.Ask('l'), 'y');

  // No writer left: the read-only handle's file takes a writer here.
  DBHANDLE rw = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &rw), NOERROR);
  EXPECT_EQ(SetStatus(rw, ids[2], 6), NOERROR);
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList{added});
  EXPECT_EQ(QDSNoteDelete(ro, ids[0], 0), ERR_DB_READONLY);
  EXPECT_EQ(peer.Ask('p'), 'b');
  ASSERT_EQ(QDSDbClose(rw), NOERROR);

  // The read-only handle remains, without the lock: the peer writes, and
  // this process sees it.
  EXPECT_EQ(peer.Ask('w'), 'y');
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList{});
  EXPECT_EQ(Ids(ro, "Status > 6"), IdList{added});
  EXPECT_EQ(StatusOf(ro, added), 7);
  EXPECT_EQ(QDSDbClose(ro), NOERROR);
  EXPECT_EQ(peer.Finish(), 0);
}

// A read-write handle first, a read-only one of the same file next: they
// share the writer lock, which goes only with the read-write handle.  A
// reader in another process keeps the file from being deleted or
// replaced, as a writer does.
TEST_F(SharingTest, WriterThenReaderInOneProcessAndDeleteWhileRead) {
  DBHANDLE rw = NewDb("s.qds");
  NOTEID id = SaveDoc(rw, 11);
  ASSERT_EQ(QDSDbClose(rw), NOERROR);
  Peer other([](char cmd) {
    DBHANDLE h = 0;
    switch (cmd) {
      case 'w': {
        STATUS st = QDSDbOpen("s.qds", &h);
        if (!st) st = QDSDbClose(h);
        return Code(st);
      }
      case 'r': {
        STATUS st = QDSDbOpenReadOnly("s.qds", &h);
        if (!st) st = Ids(h, "Status = 9").size() == 1 ? NOERROR : ERR_DB_IO;
        if (!st) st = QDSDbClose(h);
        return Code(st);
      }
      case 'd':
        return Code(QDSDbDelete("s.qds"));
      case 'f':
        return Code(QDSDbCreate("s.qds", 0xFF01, TRUE));
    }
    return '?';
  });

  ASSERT_EQ(QDSDbOpen("s.qds", &rw), NOERROR);
  DBHANDLE ro = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("s.qds", &ro), NOERROR);
  EXPECT_EQ(SetStatus(rw, id, 9), NOERROR);
  EXPECT_EQ(Ids(ro, "Status = 9"), IdList{id});
  EXPECT_EQ(other.Ask('w'), 'b');
  EXPECT_EQ(other.Ask('r'), 'y');
  EXPECT_EQ(other.Ask('d'), 'b');
  ASSERT_EQ(QDSDbClose(rw), NOERROR);
  EXPECT_EQ(other.Ask('w'), 'y') << "the reader left here holds no lock";
  EXPECT_EQ(other.Ask('d'), 'b') << "deleted under a reader";
  EXPECT_EQ(other.Ask('f'), 'b') << "replaced under a reader";
  EXPECT_EQ(Ids(ro, "Status = 9"), IdList{id});
  ASSERT_EQ(QDSDbClose(ro), NOERROR);
  EXPECT_EQ(other.Ask('d'), 'y');
  EXPECT_EQ(other.Finish(), 0);
  EXPECT_FALSE(Exists(Path("s.qds")));
}

// A search through a read-only handle whose callback opens the same file
// read-write and saves: the snapshot ends, the saves land, the search runs
// to its end; a callback that closes the search's handle stops it cleanly.
TEST_F(SharingTest, SearchCallbackTurnsReaderIntoWriter) {
  DBHANDLE db = NewDb("c.qds");
  IdList ids;
  for (int i = 0; i < 5; ++i) ids.push_back(SaveDoc(db, 11));
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  DBHANDLE ro = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("c.qds", &ro), NOERROR);
  struct Arg {
    DBHANDLE rw = 0;
    IdList seen;
    STATUS st = NOERROR;
  } arg;
  auto cb = [](void* p, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
    auto* a = static_cast<Arg*>(p);
    if (a->rw == 0) a->st = QDSDbOpen("c.qds", &a->rw);
    if (!a->st) a->st = SetStatus(a->rw, m->ID.NoteID, 6);
    a->seen.push_back(m->ID.NoteID);
    return a->st;
  };
  EXPECT_EQ(QDSSearch(ro, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, cb,
                      &arg, nullptr),
            NOERROR);
  EXPECT_EQ(arg.seen, ids);
  EXPECT_EQ(Ids(ro, "Status = 6"), ids);
  // A writer's own search reads a snapshot too; its callback's saves end
  // it and are committed at once.
  auto seven = [](void* p, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
    auto* a = static_cast<Arg*>(p);
    STATUS st = SetStatus(a->rw, m->ID.NoteID, 7);
    if (st) return st;
    return Ids(a->rw, "Status = 7").back() == m->ID.NoteID ? NOERROR
                                                           : ERR_DB_IO;
  };
  EXPECT_EQ(QDSSearch(arg.rw, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                      seven, &arg, nullptr),
            NOERROR);
  EXPECT_EQ(Ids(ro, "Status = 7"), ids);
  EXPECT_EQ(QDSDbClose(arg.rw), NOERROR);
  EXPECT_EQ(SetStatus(ro, ids[0], 11), ERR_DB_READONLY);

  auto closer = [](void* p, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
    return QDSDbClose(*static_cast<DBHANDLE*>(p));
  };
  EXPECT_EQ(QDSSearch(ro, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, closer,
                      &ro, nullptr),
            ERR_BAD_DB);
  DWORD dbs = 0;
  QDSTestOpenHandles(&dbs, nullptr, nullptr);
  EXPECT_EQ(dbs, 0u);
  ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR) << "no connection left behind";
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
