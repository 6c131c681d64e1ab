// Databases: open, foreign files, another process's lock, database values.
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "store_test_util.h"

namespace {

using DbTest = StoreTest;

TEST_F(DbTest, OpenMissingGives259AndCreatesNothing) {
  DBHANDLE db = 123;
  EXPECT_EQ(ERR_NOEXIST, 259);
  EXPECT_EQ(QDSDbOpen("nothere.qds", &db), ERR_NOEXIST);
  EXPECT_FALSE(Exists(Path("nothere.qds")));
}

TEST_F(DbTest, ForeignFileIsNotADbAndStaysUnchanged) {
  std::ofstream(Path("f.qds")) << "not a database\n";
  std::string before = ReadFile(Path("f.qds"));
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("f.qds", &db), ERR_NOT_A_DB);
  EXPECT_EQ(ReadFile(Path("f.qds")), before);
}

// An operator reading a queue where they may not create files (read-only
// media, another user's directory): no WAL index can be made, so the
// reader takes the file as it stands; a writer is refused.  Run in a child
// that is not root, since root may write anywhere.
TEST_F(DbTest, ReaderOfAFileInADirectoryItMayNotWriteReadsIt) {
  std::string sub = Path("ro");
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  std::string path = sub + "/q.qds";
  ASSERT_EQ(QDSDbCreate(path.c_str(), 0xFF01, FALSE), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(path.c_str(), &db), NOERROR);
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(QDSItemAppend(note, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, "hi", 2), NOERROR);
  ASSERT_EQ(QDSNoteUpdate(note, 0), NOERROR);
  NOTEID id = 0;
  QDSNoteGetInfo(note, _NOTE_ID, &id);
  ASSERT_EQ(QDSNoteClose(note), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
  ::chmod(dir_.c_str(), 0755);  // let the unprivileged child in

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    DBHANDLE r = 0, w = 0;
    NOTEHANDLE n = 0;
    if (QDSDbOpen(path.c_str(), &w) != ERR_DB_READONLY) _exit(1);
    if (QDSDbOpenReadOnly(path.c_str(), &r) != NOERROR) _exit(2);
    if (QDSNoteOpen(r, id, 0, &n) != NOERROR) _exit(3);
    char text[8] = "";
    if (QDSItemGetText(n, "Subject", text, sizeof(text)) != 2) _exit(4);
    QDSNoteClose(n);
    if (QDSDbClose(r) != NOERROR) _exit(5);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ::chmod(sub.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop root here";
  EXPECT_EQ(0, WEXITSTATUS(status)) << "failed at step " << WEXITSTATUS(status);
  EXPECT_FALSE(Exists(path + "-shm"));
}

TEST_F(DbTest, AnotherProcessHoldingTheDbGivesBusyQuickly) {
  ASSERT_EQ(QDSDbCreate("busy.qds", 0xFF01, FALSE), NOERROR);
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
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
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(DbTest, ReplicaFlagsAndTitleRoundTrip) {
  char info[DBINFO_SIZE] = {}, got[DBINFO_SIZE], buf[16];
  QDSDbInfoModify(info, INFOPARSE_TITLE, "Work queue");
  DBHANDLE a = NewDb("r1.qds");
  EXPECT_EQ(QDSDbInfoSet(a, info), NOERROR);
  DBREPLICAINFO ra, again;
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &ra), NOERROR);
  ra.Flags = 0x0100;
  EXPECT_EQ(QDSDbReplicaInfoSet(a, &ra), NOERROR);
  EXPECT_EQ(QDSDbClose(a), NOERROR);

  ASSERT_EQ(QDSDbOpen("r1.qds", &a), NOERROR);
  EXPECT_EQ(QDSDbInfoGet(a, got), NOERROR);
  QDSDbInfoParse(got, INFOPARSE_TITLE, buf, sizeof buf);
  EXPECT_STREQ(buf, "Work queue");
  ASSERT_EQ(QDSDbReplicaInfoGet(a, &again), NOERROR);
  EXPECT_EQ(again.Flags, 0x0100);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
}

TEST_F(DbTest, ModifiedTimesDataVersusNonData) {
  DBHANDLE db = NewDb("m.qds");
  TIMEDATE d[3], nd[3];
  ASSERT_EQ(QDSDbModifiedTime(db, &d[0], &nd[0]), NOERROR);
  // Each step moves exactly one of the two times.
  const std::pair<std::function<void()>, bool> steps[] = {
      {[&] { SaveDoc(db, 1); }, true},
      {[&] { ASSERT_EQ(QDSViewCreate(db, "V", "Status = 1", nullptr), NOERROR); }, false},
  };
  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE(i);
    steps[i - 1].first();
    ASSERT_EQ(QDSDbModifiedTime(db, &d[i], &nd[i]), NOERROR);
    bool data = steps[i - 1].second;
    EXPECT_EQ(TimeDateCompare(&d[i], &d[i - 1]) > 0, data);
    EXPECT_EQ(TimeDateCompare(&nd[i], &nd[i - 1]) > 0, !data);
    EXPECT_EQ(TimeDateCompare(data ? &nd[i] : &d[i], data ? &nd[i - 1] : &d[i - 1]), 0);
  }
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
