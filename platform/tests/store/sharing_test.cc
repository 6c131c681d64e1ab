// One writer, many readers: the writer lock between processes, read-only
// handles beside a writer following its commits, both kinds in one process.
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>

#include "store_test_util.h"

namespace {

using SharingTest = StoreTest;

char Code(STATUS st) { return st == NOERROR ? 'y' : st == ERR_DB_BUSY ? 'b' : 'n'; }

// Replaces number "Status" (and text "Subject" when given) of a document.
STATUS SetStatus(DBHANDLE db, NOTEID id, double status, const char* subject = nullptr) {
  NOTEHANDLE n = 0;
  if (STATUS st = QDSNoteOpen(db, id, 0, &n)) return st;
  QDSItemDelete(n, "Status", 6);
  STATUS st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &status, 8);
  if (!st && subject) {
    QDSItemDelete(n, "Subject", 7);
    st = QDSItemAppend(n, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, subject, strlen(subject));
  }
  if (!st) st = QDSNoteUpdate(n, 0);
  QDSNoteClose(n);
  return st;
}

double StatusOf(DBHANDLE db, NOTEID id) {
  NOTEHANDLE n = 0;
  double v = -1;
  if (QDSNoteOpen(db, id, 0, &n) != NOERROR) return v;
  QDSItemGetNumber(n, "Status", &v);
  QDSNoteClose(n);
  return v;
}

// Every call that changes a database is refused through a read-only handle.
void ExpectEveryWriteRefused(DBHANDLE db, NOTEID existing) {
  const STATUS ro = ERR_DB_READONLY;
  EXPECT_EQ(SetStatus(db, existing, 6), ro);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  EXPECT_EQ(QDSNoteUpdate(n, 0), ro);
  QDSNoteClose(n);
  EXPECT_EQ(QDSNoteDelete(db, existing, 0), ro);
  char info[DBINFO_SIZE] = "title";
  EXPECT_EQ(QDSDbInfoSet(db, info), ro);
  DBREPLICAINFO ri = {};
  EXPECT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  EXPECT_EQ(QDSDbReplicaInfoSet(db, &ri), ro);
  EXPECT_EQ(QDSDbCopyACL(db, db), ro);
  TIMEDATE all;
  TimeConstant(TIMEDATE_WILDCARD, &all);
  EXPECT_EQ(QDSDbCopy(db, db, all, NOTE_CLASS_ALL), ro);
  DWORD rrv = 0;
  EXPECT_EQ(QDSDbAllocObject(db, 16, 0, 0, &rrv), ro);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, 1, "x", 0, 1), ro);
  EXPECT_EQ(QDSDbFreeObject(db, 1), ro);
  EXPECT_EQ(QDSViewCreate(db, "v", "Status = 6", nullptr), ro);
}

// A writer elsewhere: a read-write open here fails at once; a read-only one
// shows its commits in every search, document open and replica value
// despite its caches.  Then the writer moves here, and back.
TEST_F(SharingTest, ReadersBesideAWriterInAnotherProcess) {
  DBHANDLE db = NewDb("q.qds");
  IdList ids = {SaveDoc(db, 11, "a"), SaveDoc(db, 11, "a"), SaveDoc(db, 11, "a"),
                SaveDoc(db, 6)};
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  DBHANDLE w = 0;
  Peer peer([&](char cmd) -> char {
    DBHANDLE h = 0;
    DBREPLICAINFO r;
    STATUS st = NOERROR;
    switch (cmd) {
      case 'o':
        return Code(QDSDbOpen("q.qds", &w));
      case 'c':  // commits: status, subject, a delete, a new one, replica id
        if (!(st = SetStatus(w, ids[0], 6)) && !(st = SetStatus(w, ids[2], 11, "b")) &&
            !(st = QDSNoteDelete(w, ids[1], 0)) && SaveDoc(w, 11, "b") &&
            !(st = QDSDbReplicaInfoGet(w, &r))) {
          r.ID.Innards[0] ^= 0x5A5A;
          st = QDSDbReplicaInfoSet(w, &r);
        }
        return Code(st);
      case 'l':
        return Code(QDSDbClose(w));
      case 'p':  // may this process write?
      case 'w':  // and set the newest document to 7
        if (!(st = QDSDbOpen("q.qds", &h)) && cmd == 'w')
          st = SetStatus(h, Ids(h, nullptr).back(), 7);
        if (!st) st = QDSDbClose(h);
        return Code(st);
    }
    return '?';
  });

  DBHANDLE ro = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("q.qds", &ro), NOERROR);
  const char* kFailedB = "Status = 11 & Subject = \"b\"";  // index, then cache
  const IdList failed(ids.begin(), ids.begin() + 3);
  EXPECT_EQ(Ids(ro, "Status = 11"), failed);
  EXPECT_EQ(Ids(ro, "Status > 6"), failed);
  EXPECT_EQ(Ids(ro, kFailedB), IdList{});
  DBREPLICAINFO before = {}, after = {};
  ASSERT_EQ(QDSDbReplicaInfoGet(ro, &before), NOERROR);

  ASSERT_EQ(peer.Ask('o'), 'y');
  DBHANDLE second = 0;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(QDSDbOpen("q.qds", &second), ERR_DB_BUSY);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  ExpectEveryWriteRefused(ro, ids[3]);
  EXPECT_EQ(Ids(ro, "Status = 11"), failed);

  ASSERT_EQ(peer.Ask('c'), 'y');
  // Replica values first, before any search reads the file again.
  ASSERT_EQ(QDSDbReplicaInfoGet(ro, &after), NOERROR);
  EXPECT_EQ(after.ID.Innards[0], before.ID.Innards[0] ^ 0x5A5A);
  IdList all = Ids(ro, nullptr);
  ASSERT_EQ(all.size(), 4u);
  const NOTEID added = all.back();  // the peer's new document
  EXPECT_EQ(all, (IdList{ids[0], ids[2], ids[3], added}));
  EXPECT_EQ(Ids(ro, "Status = 11"), (IdList{ids[2], added}));
  EXPECT_EQ(Ids(ro, "Status > 6"), (IdList{ids[2], added}));
  EXPECT_EQ(Ids(ro, kFailedB), (IdList{ids[2], added}));
  EXPECT_EQ(StatusOf(ro, ids[0]), 6);
  NOTEHANDLE gone = 0;
  EXPECT_EQ(QDSNoteOpen(ro, ids[1], 0, &gone), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(peer.Ask('l'), 'y');

  // Upgrade: the read-only handle's file takes a writer in this process.
  DBHANDLE rw = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &rw), NOERROR);
  EXPECT_EQ(SetStatus(rw, ids[2], 6), NOERROR);
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList{added});
  EXPECT_EQ(QDSNoteDelete(ro, ids[0], 0), ERR_DB_READONLY);
  EXPECT_EQ(peer.Ask('p'), 'b');
  ASSERT_EQ(QDSDbClose(rw), NOERROR);

  // Downgrade: the read-only handle remains without the lock.
  EXPECT_EQ(peer.Ask('w'), 'y');
  EXPECT_EQ(Ids(ro, "Status = 11"), IdList{});
  EXPECT_EQ(Ids(ro, "Status > 6"), IdList{added});
  EXPECT_EQ(StatusOf(ro, added), 7);
  EXPECT_EQ(QDSDbClose(ro), NOERROR);
  EXPECT_EQ(peer.Finish(), 0);
}

// Read-write and read-only handles in one process share the writer lock,
// which goes with the read-write one and comes back with the next, unless
// another process is the writer then.  Any other process that has the
// file keeps it from being deleted, replaced or recovered.
TEST_F(SharingTest, WriterThenReaderInOneProcessAndDeleteWhileRead) {
  DBHANDLE rw = NewDb("s.qds");
  NOTEID id = SaveDoc(rw, 11);
  ASSERT_EQ(QDSDbClose(rw), NOERROR);
  static DBHANDLE held = 0;
  Peer other([](char cmd) {
    DBHANDLE h = 0;
    STATUS st = NOERROR;
    switch (cmd) {
      case 'w':
        st = QDSDbOpen("s.qds", &h);
        return Code(st ? st : QDSDbClose(h));
      case 'r':
        if (!(st = QDSDbOpenReadOnly("s.qds", &h)) && Ids(h, "Status = 9").size() != 1)
          st = ERR_DB_IO;
        return Code(st ? st : QDSDbClose(h));
      case 'd':
        return Code(QDSDbDelete("s.qds"));
      case 'f':
        return Code(QDSDbCreate("s.qds", 0xFF01, TRUE));
      case 'o':  // opens for writing and keeps it open until 'c'
        return Code(QDSDbOpen("s.qds", &held));
      case 'c':
        return Code(QDSDbClose(held));
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
  // This process becomes the writer again, but not while another is.
  ASSERT_EQ(other.Ask('o'), 'y');
  EXPECT_EQ(QDSDbOpen("s.qds", &rw), ERR_DB_BUSY);
  EXPECT_EQ(Ids(ro, "Status = 9"), IdList{id}) << "the refused open left the reader working";
  ASSERT_EQ(other.Ask('c'), 'y');
  ASSERT_EQ(QDSDbOpen("s.qds", &rw), NOERROR);
  EXPECT_EQ(SetStatus(rw, id, 8), NOERROR);
  EXPECT_EQ(Ids(ro, "Status = 8"), IdList{id});
  EXPECT_EQ(other.Ask('w'), 'b');
  ASSERT_EQ(QDSDbClose(rw), NOERROR);
  ASSERT_EQ(QDSDbClose(ro), NOERROR);
  // Nor is it deleted or recovered here while another process has it.
  ASSERT_EQ(other.Ask('o'), 'y');
  EXPECT_EQ(QDSDbDelete("s.qds"), ERR_DB_BUSY);
  WORD outcome = 99;
  EXPECT_EQ(QDSDbRecover("s.qds", nullptr, 0, &outcome), ERR_DB_BUSY);
  EXPECT_NE(std::string(QDSDbLastDetail()).find("open in another process"), std::string::npos);
  EXPECT_EQ(outcome, RECOVER_NOTHING);
  ASSERT_EQ(other.Ask('c'), 'y');
  EXPECT_EQ(other.Ask('d'), 'y');
  EXPECT_EQ(other.Finish(), 0);
  EXPECT_FALSE(std::filesystem::exists(Path("s.qds")));
}

// A read-only search whose callback opens the file read-write and saves
// runs to its end; one whose callback closes its handle stops cleanly.
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
  } arg;
  auto search = [](DBHANDLE h, QDS_SEARCH_CALLBACK cb, void* a) {
    return QDSSearch(h, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, cb, a, nullptr);
  };
  EXPECT_EQ(search(ro, [](void* p, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
    auto* a = static_cast<Arg*>(p);
    a->seen.push_back(m->ID.NoteID);
    STATUS st = a->rw ? NOERROR : QDSDbOpen("c.qds", &a->rw);
    return st ? st : SetStatus(a->rw, m->ID.NoteID, 6);
  }, &arg), NOERROR);
  EXPECT_EQ(arg.seen, ids);
  EXPECT_EQ(Ids(ro, "Status = 6"), ids);
  EXPECT_EQ(QDSDbClose(arg.rw), NOERROR);
  EXPECT_EQ(SetStatus(ro, ids[0], 11), ERR_DB_READONLY);

  EXPECT_EQ(search(ro, [](void* p, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
    return QDSDbClose(*static_cast<DBHANDLE*>(p));
  }, &ro), ERR_BAD_DB);
  DWORD dbs = 0;
  QDSTestOpenHandles(&dbs, nullptr, nullptr);
  EXPECT_EQ(dbs, 0u);
  ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR) << "no connection left behind";
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
