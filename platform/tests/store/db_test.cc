// Databases: open, create, delete, foreign files, another process's lock,
// handles, and the database-wide values.
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>

#include "store_test_util.h"

namespace {

using DbTest = StoreTest;

TEST_F(DbTest, OpenMissingGives259AndCreatesNothing) {
  DBHANDLE db = 123;
  EXPECT_EQ(ERR_NOEXIST, 259);
  EXPECT_EQ(QDSDbOpen("nothere.qds", &db), ERR_NOEXIST);
  EXPECT_EQ(db, 0u);
  EXPECT_EQ(QDSDbOpen(Path("nothere.qds").c_str(), &db), ERR_NOEXIST);
  EXPECT_EQ(QDSDbOpen("sub/dir/x.qds", &db), ERR_NOEXIST);
  EXPECT_NE(QDSDbOpen("", &db), NOERROR);
  EXPECT_FALSE(Exists(Path("nothere.qds")));
  EXPECT_FALSE(Exists(Path("nothere.qds-wal")));
  EXPECT_FALSE(Exists(Path("sub")));
}

// Files that are not ours are refused and left byte for byte as they were.
TEST_F(DbTest, ForeignFilesAreNotADbAndStayUnchanged) {
  auto ours = [&](int version) {
    return [this, version] {
      ASSERT_EQ(QDSDbCreate("f.qds", 0xFF01, TRUE), NOERROR);
      Sql("f.qds", "UPDATE meta SET value=" + std::to_string(version) +
                       " WHERE key='version'");
    };
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"text", [&] { std::ofstream(Path("f.qds")) << "not a database\n"; }},
      {"empty", [&] { std::ofstream{Path("f.qds")}; }},
      {"sqlite", [&] { Sql("f.qds", "CREATE TABLE t(a); INSERT INTO t VALUES(1)"); }},
      {"other meta", [&] {
         Sql("f.qds", "CREATE TABLE meta(key TEXT PRIMARY KEY, value);"
                      "INSERT INTO meta VALUES('format','other')");
       }},
      {"version 1", ours(1)},
      {"version 99", ours(99)},
  };
  for (const auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    std::filesystem::remove(Path("f.qds"));
    make();
    std::string before = ReadFile(Path("f.qds"));
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen("f.qds", &db), ERR_NOT_A_DB);
    EXPECT_EQ(ReadFile(Path("f.qds")), before);
    EXPECT_FALSE(Exists(Path("f.qds-wal")));
  }
  mkdir(Path("dir.qds").c_str(), 0700);
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("dir.qds", &db), ERR_NOT_A_DB);
}

TEST_F(DbTest, CreateExistsForceAndDelete) {
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, FALSE), NOERROR);
  EXPECT_FALSE(Exists(Path("a.qds.creating")));
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, FALSE), ERR_DB_EXISTS);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("a.qds", &db), NOERROR);
  NOTEID id = SaveDoc(db, 1);
  // Open databases are neither replaced nor deleted.
  EXPECT_EQ(QDSDbCreate("a.qds", 0xFF01, TRUE), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbDelete("a.qds"), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbClose(db), NOERROR);

  // Force makes a fresh, empty database of the new class.
  EXPECT_EQ(QDSDbCreate("a.qds", 0x1234, TRUE), NOERROR);
  ASSERT_EQ(QDSDbOpen("a.qds", &db), NOERROR);
  WORD cls = 0;
  EXPECT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, 0x1234);
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteOpen(db, id, 0, &n), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(db), NOERROR);

  EXPECT_EQ(QDSDbDelete("a.qds"), NOERROR);
  for (const char* f : {"a.qds", "a.qds-wal", "a.qds-shm"}) EXPECT_FALSE(Exists(Path(f)));
  EXPECT_EQ(QDSDbDelete("a.qds"), ERR_NOEXIST);
}

TEST_F(DbTest, HandlesSharedBadAndStale) {
  // Two spellings of one file share a connection; each handle closes alone.
  DBHANDLE a = NewDb("s.qds"), b = 0;
  ASSERT_EQ(QDSDbOpen((dir_ + "/./s.qds").c_str(), &b), NOERROR);
  EXPECT_NE(a, b);
  NOTEID id = SaveDoc(a, 5);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  EXPECT_EQ(QDSDbClose(a), ERR_BAD_DB);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(b, id, 0, &n), NOERROR);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);

  // Wrong kinds and made-up values.
  EXPECT_EQ(QDSDbClose(0xDEADBEEF), ERR_BAD_DB);
  EXPECT_EQ(QDSNoteUpdate(7, 0), ERR_BAD_NOTE);
  EXPECT_EQ(QVWCloseCollection(0x30010001), ERR_BAD_COLLECTION);
  EXPECT_EQ(QDSNoteClose(b), ERR_BAD_NOTE);
  EXPECT_EQ(QDSItemCount(b), 0u);

  // A closed handle stays dead when its slot is reused.
  NOTEHANDLE first = 0, second = 0;
  ASSERT_EQ(QDSNoteCreate(b, &first), NOERROR);
  EXPECT_EQ(QDSDbClose(first), ERR_BAD_DB);
  ASSERT_EQ(QDSNoteClose(first), NOERROR);
  ASSERT_EQ(QDSNoteCreate(b, &second), NOERROR);
  EXPECT_NE(first, second);
  EXPECT_EQ(QDSItemAppend(first, 0, "A", 1, TYPE_TEXT, "a", 1), ERR_BAD_NOTE);
  EXPECT_EQ(QDSItemAppend(second, 0, "A", 1, TYPE_TEXT, "a", 1), NOERROR);
  EXPECT_EQ(QDSItemCount(first), 0u);
  EXPECT_EQ(QDSNoteClose(first), ERR_BAD_NOTE);

  // Closing the database closes its open documents (and frees their items).
  EXPECT_EQ(QDSDbClose(b), NOERROR);
  EXPECT_EQ(QDSNoteUpdate(second, 0), ERR_BAD_NOTE);
  EXPECT_EQ(QDSNoteClose(second), ERR_BAD_NOTE);
  DBHANDLE again = 0;
  ASSERT_EQ(QDSDbOpen("s.qds", &again), NOERROR);
  EXPECT_EQ(QDSNoteCreate(b, &n), ERR_BAD_DB);
  EXPECT_EQ(QDSDbClose(again), NOERROR);
  EXPECT_EQ(QDSDbDelete("s.qds"), NOERROR);  // no connection left behind
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
    DBHANDLE db = 0;
    char c = QDSDbOpen("busy.qds", &db) == NOERROR ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    (void)!read(release[0], &c, 1);
    QDSDbClose(db);
    _exit(0);
  }
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  auto t0 = std::chrono::steady_clock::now();
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("busy.qds", &db), ERR_DB_BUSY);
  // Not a timing test: only a guard against hanging on the lock.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(QDSDbDelete("busy.qds"), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbCreate("busy.qds", 0xFF01, TRUE), ERR_DB_BUSY);
  EXPECT_TRUE(Exists(Path("busy.qds")));

  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  ASSERT_EQ(QDSDbOpen("busy.qds", &db), NOERROR);  // free again
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(DbTest, InfoReplicaAclPathAndOidRoundTrip) {
  char info[DBINFO_SIZE] = {}, cut[DBINFO_SIZE] = {}, got[DBINFO_SIZE], buf[16];
  QDSDbInfoModify(info, 2, "two");
  QDSDbInfoModify(info, INFOPARSE_TITLE, "Work queue");
  EXPECT_STREQ(info, "Work queue\n\ntwo");
  QDSDbInfoParse(info, 9, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  // An over-long title is cut so that the buffer stays terminated.
  QDSDbInfoModify(cut, INFOPARSE_TITLE, std::string(300, 'x').c_str());
  EXPECT_EQ(strlen(cut), DBINFO_SIZE - 1u);

  DBHANDLE a = NewDb("r1.qds"), b = NewDb("r2.qds");
  memset(got, 'z', sizeof got);
  EXPECT_EQ(QDSDbInfoGet(a, got), NOERROR);
  EXPECT_STREQ(got, "");
  EXPECT_EQ(QDSDbInfoSet(a, info), NOERROR);
  DBREPLICAINFO ra, rb, again;
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &ra), NOERROR);
  ASSERT_EQ(QDSDbReplicaInfoGet(b, &rb), NOERROR);
  EXPECT_EQ(ra.Flags, 0);
  EXPECT_NE(memcmp(&ra.ID, &rb.ID, sizeof ra.ID), 0);  // random ids
  ra.Flags = 0x0100;
  ra.CutoffInterval = 30;
  EXPECT_EQ(QDSDbReplicaInfoSet(a, &ra), NOERROR);
  EXPECT_EQ(QDSDbCopyACL(a, b), NOERROR);
  EXPECT_EQ(QDSDbCopyACL(a, 0), ERR_BAD_DB);
  EXPECT_EQ(QDSDbClose(a), NOERROR);

  ASSERT_EQ(QDSDbOpen("r1.qds", &a), NOERROR);
  EXPECT_EQ(QDSDbInfoGet(a, got), NOERROR);
  QDSDbInfoParse(got, INFOPARSE_TITLE, buf, sizeof buf);
  EXPECT_STREQ(buf, "Work queue");
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &again), NOERROR);
  EXPECT_EQ(again.Flags, 0x0100);
  EXPECT_EQ(again.CutoffInterval, 30);
  EXPECT_EQ(memcmp(&again.ID, &ra.ID, sizeof ra.ID), 0);
  char path[512];
  EXPECT_EQ(QDSDbPathGet(a, path, sizeof path), NOERROR);
  EXPECT_EQ(std::string(path), Path("r1.qds"));
  EXPECT_EQ(QDSDbPathGet(a, path, 4), ERR_DB_PATH);
  // Originator ids: the replica id as file part, a fresh note part each time.
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
  TIMEDATE d[5], nd[5], min;
  ASSERT_EQ(QDSDbModifiedTime(db, &d[0], &nd[0]), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d[0], &nd[0]), 0);  // both the creation time
  TimeConstant(TIMEDATE_MINIMUM, &min);
  EXPECT_GT(TimeDateCompare(&d[0], &min), 0);
  NOTEID view = 0;
  // Each step moves exactly one of the two times: a data document, a view
  // made, a view deleted.
  const std::pair<std::function<void()>, bool> steps[] = {
      {[&] { SaveDoc(db, 1); }, true},
      {[&] { ASSERT_EQ(QDSViewCreate(db, "V", "Status = 1", &view), NOERROR); }, false},
      {[&] { ASSERT_EQ(QDSNoteDelete(db, view, 0), NOERROR); }, false},
  };
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    steps[i - 1].first();
    ASSERT_EQ(QDSDbModifiedTime(db, &d[i], &nd[i]), NOERROR);
    bool data = steps[i - 1].second;
    EXPECT_EQ(TimeDateCompare(&d[i], &d[i - 1]) > 0, data);
    EXPECT_EQ(TimeDateCompare(&nd[i], &nd[i - 1]) > 0, !data);
    EXPECT_EQ(TimeDateCompare(data ? &nd[i] : &d[i], data ? &nd[i - 1] : &d[i - 1]), 0);
  }
  EXPECT_EQ(QDSNoteDelete(db, view, 0), ERR_NOTE_NOT_FOUND);
  // Times survive a reopen.
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("m.qds", &db), NOERROR);
  ASSERT_EQ(QDSDbModifiedTime(db, &d[4], &nd[4]), NOERROR);
  EXPECT_EQ(TimeDateCompare(&d[4], &d[3]), 0);
  EXPECT_EQ(TimeDateCompare(&nd[4], &nd[3]), 0);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
