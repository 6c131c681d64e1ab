// Documents: copies, database copies, and atomic saves under a crash.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include "store_test_util.h"

namespace {

using NotesTest = StoreTest;

TEST_F(NotesTest, CopiedNoteGetsNewId) {
  DBHANDLE db = NewDb("src.qds");
  NOTEID id = SaveDoc(db, 7, "hello");
  NOTEHANDLE n = 0, c = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSNoteCopy(n, &c), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  QDSNoteSetInfo(c, _NOTE_ID, nullptr);
  NOTEID cid = SaveAndClose(c);
  EXPECT_NE(cid, id);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(NotesTest, CopyDatabaseWithClassMask) {
  DBHANDLE src = NewDb("tmpl.qds");
  SaveDoc(src, 1, "doc");
  ASSERT_EQ(QDSViewCreate(src, "($Inbound)", "Status = 2", nullptr), NOERROR);
  TIMEDATE wild;
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  NOTEID v = 0;
  DBHANDLE all = NewDb("all.qds");
  ASSERT_EQ(QDSDbCopy(src, all, wild, NOTE_CLASS_ALL), NOERROR);
  EXPECT_EQ(QVWFindDesignNote(all, "($inbound)", NOTE_CLASS_VIEW, &v), NOERROR);
  DBHANDLE some = NewDb("some.qds");
  ASSERT_EQ(QDSDbCopy(src, some, wild, NOTE_CLASS_DOCUMENT), NOERROR);
  EXPECT_EQ(Ids(some, nullptr, NOTE_CLASS_ALL).size(), 1u);
  EXPECT_EQ(QVWFindDesignNote(some, "($Inbound)", NOTE_CLASS_VIEW, &v),
            ERR_VIEW_NOT_FOUND);
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
    for (int gen = 1;; ++gen) {
      for (NOTEID id : ids) {
        NOTEHANDLE n = 0;
        if (QDSNoteOpen(cdb, id, 0, &n) != NOERROR) _exit(3);
        for (const char* name : {"Status", "Gen"}) {
          QDSItemDelete(n, name, static_cast<WORD>(strlen(name)));
        }
        double g = gen;
        for (int i = 0; i < kItems; ++i) {
          QDSItemAppend(n, ITEM_SUMMARY, "Gen", 3, TYPE_NUMBER, &g, 8);
        }
        QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &g, 8);
        if (QDSNoteUpdate(n, 0) != NOERROR) _exit(4);
        QDSNoteClose(n);
      }
      if (gen == 3 && write(ready[1], "r", 1) != 1) _exit(5);
      if (getppid() != parent) _exit(6);  // the test is gone
    }
  }
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1);
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));

  ASSERT_EQ(QDSDbOpen("crash.qds", &db), NOERROR);
  for (NOTEID id : ids) {
    NOTEHANDLE n = 0;
    ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
    double gen = -1;
    ASSERT_TRUE(QDSItemGetNumber(n, "Status", &gen));
    EXPECT_GE(gen, 3);
    int gens = 0;
    for (DWORD i = 0; i < QDSItemCount(n); ++i) {
      char name[16];
      WORD nl = 0;
      BLOCKID bid;
      ASSERT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nl, nullptr,
                                   nullptr, &bid, nullptr),
                NOERROR);
      const char* v = OSLockBlock(bid);
      double g;
      memcpy(&g, v + 2, 8);
      if (std::string(name, nl) == "Gen") gens += g == gen;
      OSUnlockBlock(bid);
    }
    EXPECT_EQ(gens, kItems);
    ASSERT_EQ(QDSNoteClose(n), NOERROR);
  }
  // Every document is found by exactly one generation.
  EXPECT_EQ(Ids(db, "Status != -1").size(), static_cast<size_t>(kDocs));
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
