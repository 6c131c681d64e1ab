// Databases: open, create, delete, foreign files, another process's lock,
// and the database-wide values.
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>

#include "store_test_util.h"

namespace {

using DbTest = StoreTest;

TEST_F(DbTest, OpenMissingGives259AndCreatesNothing) {
  DBHANDLE db = 123;
  EXPECT_EQ(QDSDbOpen("nothere.qds", &db), ERR_NOEXIST);
  EXPECT_EQ(ERR_NOEXIST, 259);
  EXPECT_EQ(db, 0u);
  EXPECT_FALSE(Exists(Path("nothere.qds")));
  EXPECT_FALSE(Exists(Path("nothere.qds-wal")));
  EXPECT_EQ(QDSDbOpen(Path("nothere.qds").c_str(), &db), ERR_NOEXIST);
  EXPECT_EQ(QDSDbOpen("sub/dir/x.qds", &db), ERR_NOEXIST);
  EXPECT_NE(QDSDbOpen("", &db), NOERROR);
}

TEST_F(DbTest, TextFileIsNotADbAndStaysUnchanged) {
  std::string p = Path("text.qds");
  { std::ofstream(p) << "hello, this is not a database\n"; }
  std::string before = ReadFile(p);
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("text.qds", &db), ERR_NOT_A_DB);
  EXPECT_EQ(ReadFile(p), before);
  EXPECT_FALSE(Exists(p + "-wal"));
  // An empty file and a directory are not databases either.
  { std::ofstream(Path("empty.qds")); }
  EXPECT_EQ(QDSDbOpen("empty.qds", &db), ERR_NOT_A_DB);
  EXPECT_EQ(ReadFile(Path("empty.qds")), "");
  mkdir(Path("dir.qds").c_str(), 0700);
  EXPECT_EQ(QDSDbOpen("dir.qds", &db), ERR_NOT_A_DB);
}

TEST_F(DbTest, ForeignSqliteDbIsNotADbAndStaysUnchanged) {
  std::string p = Path("foreign.qds");
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(p.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE t(a); INSERT INTO t VALUES(1);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  // Also one with a meta table that is not ours.
  std::string p2 = Path("foreign2.qds");
  ASSERT_EQ(sqlite3_open(p2.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "CREATE TABLE meta(key TEXT PRIMARY KEY, value);"
                         "INSERT INTO meta VALUES('format','other');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  std::string before = ReadFile(p), before2 = ReadFile(p2);
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("foreign.qds", &db), ERR_NOT_A_DB);
  EXPECT_EQ(QDSDbOpen("foreign2.qds", &db), ERR_NOT_A_DB);
  EXPECT_EQ(ReadFile(p), before);
  EXPECT_EQ(ReadFile(p2), before2);
  EXPECT_FALSE(Exists(p + "-wal"));
}

TEST_F(DbTest, OtherFormatVersionIsNotADb) {
  // One of our files, marked with an earlier and with a later version.
  for (int version : {1, 99}) {
    SCOPED_TRACE(version);
    ASSERT_EQ(QDSDbCreate("v.qds", 0xFF01, TRUE), NOERROR);
    std::string p = Path("v.qds");
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(p.c_str(), &raw), SQLITE_OK);
    std::string sql =
        "UPDATE meta SET value=" + std::to_string(version) + " WHERE key='version'";
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_close(raw), SQLITE_OK);
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen("v.qds", &db), ERR_NOT_A_DB);
  }
}

TEST_F(DbTest, CreateExistsForceAndDelete) {
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, FALSE), NOERROR);
  EXPECT_TRUE(Exists(Path("a.qds")));
  EXPECT_FALSE(Exists(Path("a.qds.creating")));
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, FALSE), ERR_DB_EXISTS);

  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("a.qds", &db), NOERROR);
  NOTEID id = SaveDoc(db, 1);
  EXPECT_NE(id, 0u);
  WORD cls = 0;
  EXPECT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, 0xFF01);
  // Open databases are neither replaced nor deleted.
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, TRUE), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbDelete("a.qds"), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbClose(db), NOERROR);

  // Force makes a fresh, empty database.
  EXPECT_EQ(QDSDbCreate("a.qds", 0x1234, TRUE), NOERROR);
  ASSERT_EQ(QDSDbOpen("a.qds", &db), NOERROR);
  EXPECT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, 0x1234);
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteOpen(db, id, 0, &n), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(db), NOERROR);

  EXPECT_EQ(QDSDbDelete("a.qds"), NOERROR);
  EXPECT_FALSE(Exists(Path("a.qds")));
  EXPECT_FALSE(Exists(Path("a.qds-wal")));
  EXPECT_FALSE(Exists(Path("a.qds-shm")));
  EXPECT_EQ(QDSDbDelete("a.qds"), ERR_NOEXIST);
  EXPECT_EQ(QDSDbOpen("a.qds", &db), ERR_NOEXIST);
}

TEST_F(DbTest, SamePathTwiceSharesOneConnection) {
  DBHANDLE a = NewDb("s.qds");
  DBHANDLE b = 0;
  // A different spelling of the same file.
  ASSERT_EQ(QDSDbOpen((dir_ + "/./s.qds").c_str(), &b), NOERROR);
  EXPECT_NE(a, b);
  NOTEID id = SaveDoc(a, 5);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(b, id, 0, &n), NOERROR);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  EXPECT_EQ(QDSDbClose(a), ERR_BAD_DB);  // closed handle
  // The other handle still works.
  ASSERT_EQ(QDSNoteOpen(b, id, 0, &n), NOERROR);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(b), NOERROR);
  EXPECT_EQ(QDSDbDelete("s.qds"), NOERROR);  // connection gone
}

TEST_F(DbTest, BadHandlesAreRefused) {
  EXPECT_EQ(QDSDbClose(0), ERR_BAD_DB);
  EXPECT_EQ(QDSDbClose(0xDEADBEEF), ERR_BAD_DB);
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteCreate(0x10010001, &n), ERR_BAD_DB);
  EXPECT_EQ(QDSNoteClose(0x20010001), ERR_BAD_NOTE);
  EXPECT_EQ(QDSNoteUpdate(7, 0), ERR_BAD_NOTE);
  EXPECT_EQ(QVWCloseCollection(0x30010001), ERR_BAD_COLLECTION);
  DBHANDLE db = NewDb("h.qds");
  // A database handle is not a document handle.
  EXPECT_EQ(QDSNoteClose(db), ERR_BAD_NOTE);
  EXPECT_EQ(QDSItemCount(db), 0u);
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  EXPECT_EQ(QDSDbClose(n), ERR_BAD_DB);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSNoteClose(n), ERR_BAD_NOTE);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(DbTest, StaleHandlesStayDeadWhenTheirSlotIsReused) {
  DBHANDLE db = NewDb("stale.qds");
  NOTEHANDLE first = 0, second = 0;
  ASSERT_EQ(QDSNoteCreate(db, &first), NOERROR);
  ASSERT_EQ(QDSNoteClose(first), NOERROR);
  ASSERT_EQ(QDSNoteCreate(db, &second), NOERROR);  // same slot, new generation
  EXPECT_NE(first, second);
  EXPECT_EQ(QDSItemAppend(first, 0, "A", 1, TYPE_TEXT, "a", 1), ERR_BAD_NOTE);
  EXPECT_EQ(QDSItemAppend(second, 0, "A", 1, TYPE_TEXT, "a", 1), NOERROR);
  EXPECT_EQ(QDSItemCount(first), 0u);
  EXPECT_EQ(QDSItemCount(second), 1u);
  EXPECT_EQ(QDSNoteClose(first), ERR_BAD_NOTE);
  EXPECT_EQ(QDSNoteClose(second), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  DBHANDLE again = 0;
  ASSERT_EQ(QDSDbOpen("stale.qds", &again), NOERROR);
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteCreate(db, &n), ERR_BAD_DB);  // the old database handle
  EXPECT_EQ(QDSDbClose(again), NOERROR);
}

TEST_F(DbTest, ClosingADbClosesItsDocuments) {
  DBHANDLE db = NewDb("c.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "A", 1, TYPE_TEXT, "x", 1), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(QDSNoteUpdate(n, 0), ERR_BAD_NOTE);
  EXPECT_EQ(QDSNoteClose(n), ERR_BAD_NOTE);
  // The leak check of the fixture proves the value block was freed.
}

// Waits until `fd` is readable, at most `ms`.
bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

TEST_F(DbTest, AnotherProcessHoldingTheDbGivesBusyQuickly) {
  ASSERT_EQ(QDSDbCreate("busy.qds", 0xFF01, FALSE), NOERROR);
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Only the parent keeps a write end, so its exit ends the wait below.
    close(release[1]);
    close(ready[0]);
    DBHANDLE db = 0;
    char c = QDSDbOpen("busy.qds", &db) == NOERROR ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    (void)!read(release[0], &c, 1);  // until the parent says so
    QDSDbClose(db);
    _exit(0);
  }
  ASSERT_TRUE(WaitReadable(ready[0], 10000));
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  auto t0 = std::chrono::steady_clock::now();
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("busy.qds", &db), ERR_DB_BUSY);
  auto took = std::chrono::steady_clock::now() - t0;
  // Not a timing test: only a guard against hanging on the lock.
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(QDSDbDelete("busy.qds"), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbCreate("busy.qds", 0xFF01, TRUE), ERR_DB_BUSY);
  EXPECT_TRUE(Exists(Path("busy.qds")));

  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);

  // Once the other process is gone the database opens again.
  ASSERT_EQ(QDSDbOpen("busy.qds", &db), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(DbTest, InfoTitleAndParse) {
  char info[DBINFO_SIZE] = {};
  QDSDbInfoModify(info, INFOPARSE_TITLE, "Inbound queue");
  EXPECT_STREQ(info, "Inbound queue");
  QDSDbInfoModify(info, 2, "two");
  EXPECT_STREQ(info, "Inbound queue\n\ntwo");
  QDSDbInfoModify(info, INFOPARSE_TITLE, "T");
  EXPECT_STREQ(info, "T\n\ntwo");
  char buf[16];
  QDSDbInfoParse(info, 2, buf, sizeof buf);
  EXPECT_STREQ(buf, "two");
  QDSDbInfoParse(info, 1, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  QDSDbInfoParse(info, 9, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  QDSDbInfoParse(info, 0, buf, 1);
  EXPECT_STREQ(buf, "");
  // An over-long title is cut so that the buffer stays terminated.
  std::string longTitle(300, 'x');
  QDSDbInfoModify(info, 0, longTitle.c_str());
  EXPECT_EQ(strlen(info), DBINFO_SIZE - 1u);

  DBHANDLE db = NewDb("i.qds");
  char got[DBINFO_SIZE];
  memset(got, 'z', sizeof got);
  EXPECT_EQ(QDSDbInfoGet(db, got), NOERROR);
  EXPECT_STREQ(got, "");
  char set[DBINFO_SIZE] = {};
  QDSDbInfoModify(set, INFOPARSE_TITLE, "Work queue");
  EXPECT_EQ(QDSDbInfoSet(db, set), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("i.qds", &db), NOERROR);
  EXPECT_EQ(QDSDbInfoGet(db, got), NOERROR);
  QDSDbInfoParse(got, INFOPARSE_TITLE, buf, sizeof buf);
  EXPECT_STREQ(buf, "Work queue");
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(DbTest, ReplicaInfoAclPathAndOid) {
  DBHANDLE a = NewDb("r1.qds");
  DBHANDLE b = NewDb("r2.qds");
  DBREPLICAINFO ra, rb;
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &ra), NOERROR);
  ASSERT_EQ(QDSDbReplicaInfoGet(b, &rb), NOERROR);
  EXPECT_EQ(ra.Flags, 0);
  EXPECT_NE(memcmp(&ra.ID, &rb.ID, sizeof ra.ID), 0);  // random ids
  ra.Flags = 0x0100;
  ra.CutoffInterval = 30;
  EXPECT_EQ(QDSDbReplicaInfoSet(a, &ra), NOERROR);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  ASSERT_EQ(QDSDbOpen("r1.qds", &a), NOERROR);
  DBREPLICAINFO again;
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &again), NOERROR);
  EXPECT_EQ(again.Flags, 0x0100);
  EXPECT_EQ(again.CutoffInterval, 30);
  EXPECT_EQ(memcmp(&again.ID, &ra.ID, sizeof ra.ID), 0);

  EXPECT_EQ(QDSDbCopyACL(a, b), NOERROR);
  EXPECT_EQ(QDSDbCopyACL(a, 0), ERR_BAD_DB);

  char path[512];
  EXPECT_EQ(QDSDbPathGet(a, path, sizeof path), NOERROR);
  EXPECT_EQ(std::string(path), Path("r1.qds"));
  EXPECT_EQ(QDSDbPathGet(a, path, 4), ERR_DB_PATH);

  ORIGINATORID o1, o2;
  ASSERT_EQ(QDSDbGenerateOID(a, &o1), NOERROR);
  ASSERT_EQ(QDSDbGenerateOID(a, &o2), NOERROR);
  EXPECT_NE(memcmp(&o1.Note, &o2.Note, sizeof o1.Note), 0);
  EXPECT_EQ(memcmp(&o1.File, &again.ID, sizeof o1.File), 0);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  EXPECT_EQ(QDSDbClose(b), NOERROR);
}

TEST_F(DbTest, ModifiedTimesDataVersusNonData) {
  DBHANDLE db = NewDb("m.qds");
  TIMEDATE d0, n0, d1, n1, d2, n2, d3, n3;
  ASSERT_EQ(QDSDbModifiedTime(db, &d0, &n0), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d0, &n0), 0);  // both the creation time
  TIMEDATE min;
  TimeConstant(TIMEDATE_MINIMUM, &min);
  EXPECT_GT(TimeDateCompare(&d0, &min), 0);

  SaveDoc(db, 1);  // a data document
  ASSERT_EQ(QDSDbModifiedTime(db, &d1, &n1), NOERROR);
  EXPECT_GT(TimeDateCompare(&d1, &d0), 0);
  EXPECT_EQ(TimeDateCompare(&n1, &n0), 0);

  NOTEID view = 0;
  ASSERT_EQ(QDSViewCreate(db, "V", "Status = 1", &view), NOERROR);
  ASSERT_EQ(QDSDbModifiedTime(db, &d2, &n2), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d2, &d1), 0);
  EXPECT_GT(TimeDateCompare(&n2, &n1), 0);

  EXPECT_EQ(QDSNoteDelete(db, view, 0), NOERROR);
  ASSERT_EQ(QDSDbModifiedTime(db, &d3, &n3), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d3, &d2), 0);
  EXPECT_GT(TimeDateCompare(&n3, &n2), 0);
  EXPECT_EQ(QDSNoteDelete(db, view, 0), ERR_NOTE_NOT_FOUND);

  // Times survive a reopen.
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("m.qds", &db), NOERROR);
  TIMEDATE d4, n4;
  ASSERT_EQ(QDSDbModifiedTime(db, &d4, &n4), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d4, &d3), 0);
  EXPECT_EQ(TimeDateCompare(&n4, &n3), 0);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
