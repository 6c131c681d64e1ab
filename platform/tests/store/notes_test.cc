// Documents: copies, database copies, and atomic saves under a crash.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "store_test_util.h"

namespace {

using NotesTest = StoreTest;

TEST_F(NotesTest, CopyNoteWithinAndAcrossDatabases) {
  DBHANDLE db = NewDb("src.qds"), other = NewDb("dst.qds");
  NOTEID id = SaveDoc(db, 7, "hello");
  NOTEHANDLE n = 0, c = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSNoteCopy(n, &c), NOERROR);
  NOTEID cid = 0;
  QDSNoteGetInfo(c, _NOTE_ID, &cid);
  EXPECT_EQ(cid, id);
  EXPECT_EQ(ItemBytes(c, "Subject"), ItemBytes(n, "Subject"));
  // New value blocks, not shared ones.
  BLOCKID b1, b2;
  ASSERT_EQ(QDSItemInfo(n, "Subject", 7, nullptr, &b1, nullptr), NOERROR);
  ASSERT_EQ(QDSItemInfo(c, "Subject", 7, nullptr, &b2, nullptr), NOERROR);
  EXPECT_NE(b1.pool, b2.pool);

  // Saved as a new document with the originator id it was given.
  ORIGINATORID oid, got;
  ASSERT_EQ(QDSDbGenerateOID(db, &oid), NOERROR);
  QDSNoteSetInfo(c, _NOTE_OID, &oid);
  QDSNoteSetInfo(c, _NOTE_ID, nullptr);
  ASSERT_EQ(QDSItemAppend(c, 0, "Extra", 5, TYPE_TEXT, "e", 1), NOERROR);
  cid = SaveAndClose(c);
  EXPECT_NE(cid, 0u);
  EXPECT_NE(cid, id);
  EXPECT_FALSE(QDSItemIsPresent(n, "Extra", 5));  // source unchanged
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(Ids(db, "Status = 7"), (IdList{id, cid}));
  ASSERT_EQ(QDSNoteOpen(db, cid, 0, &n), NOERROR);
  QDSNoteGetInfo(n, _NOTE_OID, &got);
  EXPECT_EQ(memcmp(&got.Note, &oid.Note, sizeof oid.Note), 0);
  EXPECT_EQ(ItemNames(n), (std::vector<std::string>{"Status", "Subject", "Extra"}));

  // Into another database, with its summary indexed there.
  ASSERT_EQ(QDSNoteCopy(n, &c), NOERROR);
  QDSNoteSetInfo(c, _NOTE_DB, &other);
  NOTEID inOther = SaveAndClose(c);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(Ids(other, "Subject = \"HELLO\""), (IdList{inOther}));
  EXPECT_EQ(Ids(db, "Status = 7").size(), 2u);

  // A copy saved under the source's own id replaces the source.
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSNoteCopy(n, &c), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSItemDelete(c, "Subject", 7), NOERROR);
  EXPECT_EQ(SaveAndClose(c), id);
  EXPECT_EQ(Ids(db, "Subject = \"hello\""), (IdList{cid}));
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  EXPECT_EQ(QDSItemCount(n), 1u);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(QDSDbClose(other), NOERROR);
}

TEST_F(NotesTest, CopyDatabaseWithSinceAndMask) {
  DBHANDLE src = NewDb("tmpl.qds");
  SaveDoc(src, 1, "early");
  ASSERT_EQ(QDSViewCreate(src, "($Inbound)", "Status = 2", nullptr), NOERROR);
  TIMEDATE mid, wild, d0, d1;
  OSCurrentTIMEDATE(&mid);
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  NOTEID late = SaveDoc(src, 2, "late");
  // A large value travels with its document, in its place.
  std::string big(70000, 'z');
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(src, late, 0, &n), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "Body", 4, TYPE_TEXT, big.data(), 70000), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "Tail", 4, TYPE_TEXT, "t", 1), NOERROR);
  SaveAndClose(n);

  // Everything, as a queue is made from its template.
  DBHANDLE all = NewDb("all.qds");
  ASSERT_EQ(QDSDbModifiedTime(all, &d0, nullptr), NOERROR);
  ASSERT_EQ(QDSDbCopy(src, all, wild, NOTE_CLASS_ALL), NOERROR);
  EXPECT_EQ(Ids(all, nullptr).size(), 2u);
  EXPECT_EQ(Ids(all, "Subject = \"late\"").size(), 1u);
  NOTEID v = 0;
  EXPECT_EQ(QVWFindDesignNote(all, "($inbound)", NOTE_CLASS_VIEW, &v), NOERROR);
  ASSERT_EQ(QDSDbModifiedTime(all, &d1, nullptr), NOERROR);
  EXPECT_GT(TimeDateCompare(&d1, &d0), 0);

  // Only data documents modified after `mid`.
  DBHANDLE some = NewDb("some.qds");
  ASSERT_EQ(QDSDbCopy(src, some, mid, NOTE_CLASS_DOCUMENT), NOERROR);
  IdList ids = Ids(some, nullptr, NOTE_CLASS_ALL);
  ASSERT_EQ(ids.size(), 1u);
  ASSERT_EQ(QDSNoteOpen(some, ids[0], 0, &n), NOERROR);
  EXPECT_EQ(ItemBytes(n, "Subject").substr(2), "late");
  EXPECT_EQ(ItemBytes(n, "Body").substr(2), big);
  EXPECT_EQ(ItemNames(n), (std::vector<std::string>{"Status", "Subject", "Body", "Tail"}));
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QVWFindDesignNote(some, "($Inbound)", NOTE_CLASS_VIEW, &v),
            ERR_VIEW_NOT_FOUND);

  // Copying into itself doubles the documents and terminates.
  ASSERT_EQ(QDSDbCopy(src, src, wild, NOTE_CLASS_DOCUMENT), NOERROR);
  EXPECT_EQ(Ids(src, nullptr).size(), 4u);
  for (DBHANDLE db : {src, all, some}) EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// A writer killed in the middle of its saves leaves every document whole:
// all its items from one save, and an index that agrees with them.
TEST_F(NotesTest, KilledWriterLeavesDocumentsOldOrNew) {
  const int kDocs = 4, kItems = 40;
  DBHANDLE db = NewDb("crash.qds");
  IdList ids;
  for (int d = 0; d < kDocs; ++d) ids.push_back(SaveDoc(db, 0));
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t parent = getpid();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    DBHANDLE cdb = 0;
    if (QDSDbOpen("crash.qds", &cdb) != NOERROR) _exit(2);
    std::string blob(1158, 'q');
    for (int gen = 1;; ++gen) {
      for (NOTEID id : ids) {
        NOTEHANDLE n = 0;
        if (QDSNoteOpen(cdb, id, 0, &n) != NOERROR) _exit(3);
        for (const char* name : {"Status", "Gen", "Blob"}) {
          QDSItemDelete(n, name, static_cast<WORD>(strlen(name)));
        }
        double g = gen;
        blob[0] = static_cast<char>(gen);
        for (int i = 0; i < kItems; ++i) {
          QDSItemAppend(n, ITEM_SUMMARY, "Gen", 3, TYPE_NUMBER, &g, 8);
          QDSItemAppend(n, 0, "Blob", 4, TYPE_USERDATA, blob.data(), blob.size());
        }
        QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &g, 8);
        if (QDSNoteUpdate(n, 0) != NOERROR) _exit(4);
        QDSNoteClose(n);
      }
      if (gen == 3 && write(ready[1], "r", 1) != 1) _exit(5);
      if (getppid() != parent) _exit(6);  // the test is gone
    }
  }
  // Whatever happens below, the writer does not outlive the test.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1);
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  reaper.pid = 0;
  ASSERT_TRUE(WIFSIGNALED(status));
  close(ready[0]);
  close(ready[1]);

  ASSERT_EQ(QDSDbOpen("crash.qds", &db), NOERROR);
  for (NOTEID id : ids) {
    NOTEHANDLE n = 0;
    ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
    double gen = -1;
    ASSERT_TRUE(QDSItemGetNumber(n, "Status", &gen));
    EXPECT_GE(gen, 3);
    int gens = 0, blobs = 0;
    for (DWORD i = 0; i < QDSItemCount(n); ++i) {
      char name[16];
      WORD nl = 0;
      BLOCKID bid;
      DWORD len = 0;
      ASSERT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nl, nullptr,
                                   nullptr, &bid, &len),
                NOERROR);
      const char* v = OSLockBlock(bid);
      double g;
      memcpy(&g, v + 2, 8);
      if (std::string(name, nl) == "Gen") gens += g == gen;
      if (std::string(name, nl) == "Blob") {
        blobs += len == 1160u && v[2] == static_cast<char>(gen);
      }
      OSUnlockBlock(bid);
    }
    EXPECT_EQ(gens, kItems);
    EXPECT_EQ(blobs, kItems);
    ASSERT_EQ(QDSNoteClose(n), NOERROR);
    // The summary index agrees with the items.
    IdList hits = Ids(db, ("Status = " + std::to_string(int(gen))).c_str());
    EXPECT_NE(std::find(hits.begin(), hits.end(), id), hits.end());
  }
  // Every document is found by exactly one generation.
  EXPECT_EQ(Ids(db, "Status != -1").size(), static_cast<size_t>(kDocs));
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
