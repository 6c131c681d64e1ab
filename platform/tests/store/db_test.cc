// Databases: a missing file, a directory the reader may not write, times.
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>

#include "store_test_util.h"

namespace {

using DbTest = StoreTest;

TEST_F(DbTest, OpenMissingGives259AndCreatesNothing) {
  DBHANDLE db = 123;
  EXPECT_EQ(ERR_NOEXIST, 259);
  EXPECT_EQ(QDSDbOpen("nothere.qds", &db), ERR_NOEXIST);
  EXPECT_FALSE(std::filesystem::exists(Path("nothere.qds")));
}

// No WAL index can be made where the reader may not create files: it reads
// the file as it stands; a writer is refused.  The child drops root.
TEST_F(DbTest, ReaderOfAFileInADirectoryItMayNotWriteReadsIt) {
  std::string sub = Path("ro"), path = sub + "/q.qds";
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(QDSDbCreate(path.c_str(), 0xFF01, FALSE), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(path.c_str(), &db), NOERROR);
  NOTEID id = SaveDoc(db, 1, "hi");
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
  ::chmod(dir_.c_str(), 0755);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    DBHANDLE r = 0, w = 0;
    NOTEHANDLE n = 0;
    char text[8] = "";
    if (QDSDbOpen(path.c_str(), &w) != ERR_DB_READONLY) _exit(1);
    if (QDSDbOpenReadOnly(path.c_str(), &r) != NOERROR) _exit(2);
    if (QDSNoteOpen(r, id, 0, &n) != NOERROR) _exit(3);
    if (QDSItemGetText(n, "Subject", text, sizeof(text)) != 2) _exit(4);
    QDSNoteClose(n);
    _exit(QDSDbClose(r) != NOERROR ? 5 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ::chmod(sub.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop root here";
  EXPECT_EQ(0, WEXITSTATUS(status)) << "failed at step " << WEXITSTATUS(status);
  EXPECT_FALSE(std::filesystem::exists(path + "-shm"));
}

// A document save moves only the data time, a view only the non-data time.
TEST_F(DbTest, ModifiedTimesDataVersusNonData) {
  DBHANDLE db = NewDb("m.qds");
  TIMEDATE d0, nd0, d, nd;
  ASSERT_EQ(QDSDbModifiedTime(db, &d0, &nd0), NOERROR);
  const std::pair<std::function<void()>, bool> steps[] = {
      {[&] { SaveDoc(db, 1); }, true},
      {[&] { ASSERT_EQ(QDSViewCreate(db, "V", "Status = 1", nullptr), NOERROR); }, false}};
  for (const auto& [step, data] : steps) {
    SCOPED_TRACE(data);
    step();
    ASSERT_EQ(QDSDbModifiedTime(db, &d, &nd), NOERROR);
    EXPECT_EQ(TimeDateCompare(&d, &d0) > 0, data);
    EXPECT_EQ(TimeDateCompare(&nd, &nd0) > 0, !data);
    EXPECT_EQ(TimeDateCompare(data ? &nd : &d, data ? &nd0 : &d0), 0);
    d0 = d, nd0 = nd;
  }
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
