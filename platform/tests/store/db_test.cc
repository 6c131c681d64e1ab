// Databases: a missing file, a directory the reader may not write, times.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

// The info buffer: parts separated by line feeds, a part never holding one,
// 127 characters at most; stored whole and read back whole.
TEST_F(DbTest, InfoBufferModifiedStoredAndParsed) {
  DBHANDLE db = NewDb("i.qds");
  char info[DBINFO_SIZE], part[DBINFO_SIZE];
  ASSERT_EQ(QDSDbInfoGet(db, info), NOERROR);
  EXPECT_EQ(std::string(info), "");
  QDSDbInfoModify(info, 2, "third");
  QDSDbInfoModify(info, INFOPARSE_TITLE, "Inbound queue\nnot this");
  EXPECT_EQ(std::string(info), "Inbound queue\n\nthird");
  ASSERT_EQ(QDSDbInfoSet(db, info), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpenReadOnly("i.qds", &db), NOERROR);
  char back[DBINFO_SIZE];
  memset(back, 'x', sizeof back);
  ASSERT_EQ(QDSDbInfoGet(db, back), NOERROR);
  EXPECT_EQ(memcmp(back, info, DBINFO_SIZE), 0);
  const std::pair<WORD, std::string> parts[] = {{0, "Inbound queue"}, {1, ""}, {2, "third"}, {3, ""}};
  for (const auto& [what, want] : parts) {
    QDSDbInfoParse(back, what, part, sizeof part);
    EXPECT_EQ(std::string(part), want) << what;
  }
  QDSDbInfoParse(back, 0, part, 4);
  EXPECT_EQ(std::string(part), "Inb");
  EXPECT_EQ(QDSDbInfoSet(db, info), ERR_DB_READONLY);
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  // An unterminated buffer is stored as its first 127 characters.
  db = NewDb("u.qds");
  memset(info, 'u', sizeof info);
  ASSERT_EQ(QDSDbInfoSet(db, info), NOERROR);
  ASSERT_EQ(QDSDbInfoGet(db, back), NOERROR);
  EXPECT_EQ(std::string(back), std::string(DBINFO_SIZE - 1, 'u'));
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  std::string long_title(200, 't');
  QDSDbInfoModify(info, INFOPARSE_TITLE, long_title.c_str());
  EXPECT_EQ(std::string(info), std::string(DBINFO_SIZE - 1, 't'));
}

// Replica info round-trips through the file; new document identities carry
// the replica id and never repeat.
TEST_F(DbTest, ReplicaInfoRoundTripsAndStampsNewOids) {
  DBHANDLE db = NewDb("r.qds"), other = NewDb("o.qds");
  DBREPLICAINFO ri{}, ro{};
  ASSERT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  ASSERT_EQ(QDSDbReplicaInfoGet(other, &ro), NOERROR);
  EXPECT_NE(memcmp(&ri.ID, &ro.ID, sizeof ri.ID), 0) << "replica ids are random";
  EXPECT_EQ(ri.Flags, 0);
  EXPECT_EQ(ri.CutoffInterval, 0);
  DBREPLICAINFO set{};
  set.ID = {{0x01020304, 0x05060708}};
  set.Flags = REPLFLG_DISABLE | 0x0100;
  set.CutoffInterval = 90;
  set.Cutoff = {{0x11111111, 0x00222222}};
  ASSERT_EQ(QDSDbReplicaInfoSet(db, &set), NOERROR);
  ORIGINATORID a, b;
  ASSERT_EQ(QDSDbGenerateOID(db, &a), NOERROR);
  ASSERT_EQ(QDSDbGenerateOID(db, &b), NOERROR);
  EXPECT_EQ(memcmp(&a.File, &set.ID, sizeof a.File), 0) << "the new id at once";
  EXPECT_LT(TimeDateCompare(&a.Note, &b.Note), 0);
  EXPECT_EQ(memcmp(&a.SequenceTime, &a.Note, sizeof a.Note), 0);
  EXPECT_EQ(a.Sequence, 0u);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpenReadOnly("r.qds", &db), NOERROR);
  ASSERT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  EXPECT_EQ(memcmp(&ri, &set, sizeof ri), 0);
  EXPECT_EQ(QDSDbReplicaInfoSet(db, &set), ERR_DB_READONLY);
  for (DBHANDLE h : {db, other}) ASSERT_EQ(QDSDbClose(h), NOERROR);
}

// A copy takes the classes asked for, modified after `since`, with their
// items in order and searchable in the copy, and touches the copy's times.
TEST_F(DbTest, CopyTakesClassesModifiedAfterSince) {
  DBHANDLE src = NewDb("src.qds"), all = NewDb("all.qds"), later = NewDb("later.qds");
  SaveDoc(src, 1, "one");
  ASSERT_EQ(QDSViewCreate(src, "V", "Status = 2", nullptr), NOERROR);
  TIMEDATE between;
  OSCurrentTIMEDATE(&between);
  SaveDoc(src, 2, "two");
  TIMEDATE wildcard, before, after;
  TimeConstant(TIMEDATE_WILDCARD, &wildcard);
  ASSERT_EQ(QDSDbModifiedTime(all, &before, nullptr), NOERROR);
  ASSERT_EQ(QDSDbCopy(src, all, wildcard, NOTE_CLASS_DOCUMENT), NOERROR);
  ASSERT_EQ(QDSDbModifiedTime(all, &after, nullptr), NOERROR);
  EXPECT_GT(TimeDateCompare(&after, &before), 0);
  EXPECT_EQ(Ids(all, nullptr, NOTE_CLASS_ALL).size(), 2u);
  EXPECT_EQ(Ids(all, "Status = 2 & Subject = \"TWO\"").size(), 1u);
  NOTEID view = 0;
  EXPECT_EQ(QVWFindDesignNote(all, "V", NOTE_CLASS_VIEW, &view), ERR_VIEW_NOT_FOUND);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(all, Ids(all, "Status = 1")[0], 0, &n), NOERROR);
  char text[8] = "";
  EXPECT_EQ(QDSItemGetText(n, "Subject", text, sizeof text), 3);
  EXPECT_EQ(std::string(text, 3), "one");
  QDSNoteClose(n);

  ASSERT_EQ(QDSDbCopy(src, later, between, NOTE_CLASS_ALL), NOERROR);
  EXPECT_EQ(Ids(later, nullptr, NOTE_CLASS_ALL).size(), 1u);
  EXPECT_EQ(Ids(later, "Status = 2").size(), 1u);

  DBHANDLE ro = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("src.qds", &ro), NOERROR);
  EXPECT_EQ(QDSDbCopy(src, ro, wildcard, NOTE_CLASS_ALL), ERR_DB_READONLY);
  EXPECT_EQ(QDSDbCopy(0x7777, all, wildcard, NOTE_CLASS_ALL), ERR_BAD_DB);
  for (DBHANDLE h : {src, all, later, ro}) ASSERT_EQ(QDSDbClose(h), NOERROR);
}

// Create never replaces a file unasked or one this process has open;
// delete removes the file and its WAL files, never an open one.  Paths
// that cannot name a database file are refused.
TEST_F(DbTest, CreateAndDeleteRefuseWhatIsOpenOrNoFile) {
  DBHANDLE db = NewDb("d.qds");
  SaveDoc(db, 1);
  EXPECT_EQ(QDSDbCreate("d.qds", 0xFF01, FALSE), ERR_DB_EXISTS);
  EXPECT_EQ(QDSDbCreate("d.qds", 0xFF01, TRUE), ERR_DB_BUSY);
  EXPECT_EQ(QDSDbDelete("d.qds"), ERR_DB_BUSY);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbCreate("d.qds", 0xFF02, TRUE), NOERROR);
  ASSERT_EQ(QDSDbOpen("d.qds", &db), NOERROR);
  WORD cls = 0;
  ASSERT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, 0xFF02);
  EXPECT_TRUE(Ids(db, nullptr, NOTE_CLASS_ALL).empty()) << "forced create starts empty";
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbDelete("d.qds"), NOERROR);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_FALSE(std::filesystem::exists(Path("d.qds") + suffix)) << suffix;
  }
  EXPECT_EQ(QDSDbDelete("d.qds"), ERR_NOEXIST);
  EXPECT_EQ(QDSDbOpen("d.qds", &db), ERR_NOEXIST);

  ASSERT_EQ(::mkdir(Path("sub").c_str(), 0755), 0);
  std::ofstream(Path("plain")) << "x";
  EXPECT_EQ(QDSDbDelete("sub"), ERR_DB_PATH);
  EXPECT_EQ(QDSDbCreate("sub", 0xFF01, TRUE), ERR_DB_PATH);
  EXPECT_EQ(QDSDbCreate("plain/x.qds", 0xFF01, FALSE), ERR_DB_PATH);
  EXPECT_EQ(QDSDbDelete("plain/x.qds"), ERR_NOEXIST);
  EXPECT_EQ(QDSDbCreate("", 0xFF01, FALSE), ERR_DB_PATH);
  EXPECT_EQ(QDSDbCreate(std::string(5000, 'p').c_str(), 0xFF01, FALSE), ERR_DB_PATH);
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
  EXPECT_NE(QDSDbCreate("missing/x.qds", 0xFF01, FALSE), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

// The path of an open database is the one it was opened by, resolved
// against the data directory, and only handed out whole.
TEST_F(DbTest, PathGetResolvedAndWhole) {
  DBHANDLE db = NewDb("p.qds");
  const std::string want = Path("p.qds");
  std::vector<char> buf(want.size() + 1, 'x');
  EXPECT_EQ(QDSDbPathGet(db, buf.data(), static_cast<WORD>(want.size())), ERR_DB_PATH);
  ASSERT_EQ(QDSDbPathGet(db, buf.data(), static_cast<WORD>(buf.size())), NOERROR);
  EXPECT_EQ(std::string(buf.data()), want);
  EXPECT_EQ(QDSDbPathGet(db, buf.data(), 0), ERR_BAD_ARG);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

// Closing a database closes the documents and collections still open
// through it, unsaved changes dropped, and nothing of another handle's.
TEST_F(DbTest, CloseClosesItsDocumentsAndCollections) {
  DBHANDLE db = NewDb("c.qds"), other = NewDb("c2.qds");
  NOTEID id = SaveDoc(db, 1);
  NOTEID view = 0;
  ASSERT_EQ(QDSViewCreate(db, "V", "Status = 1", &view), NOERROR);
  DWORD dbs0, notes0, cols0;
  QDSTestOpenHandles(&dbs0, &notes0, &cols0);
  NOTEHANDLE n = 0, kept = 0;
  HCOLLECTION col = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "Unsaved", 7, TYPE_TEXT, "x", 1), NOERROR);
  ASSERT_EQ(QDSNoteCreate(other, &kept), NOERROR);
  ASSERT_EQ(QVWOpenCollection(db, db, view, 0, NULLHANDLE, &col, nullptr, nullptr, nullptr,
                              nullptr), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  DWORD dbs, notes, cols;
  QDSTestOpenHandles(&dbs, &notes, &cols);
  EXPECT_EQ(dbs, dbs0 - 1);
  EXPECT_EQ(notes, notes0 + 1) << "the other database's document stays";
  EXPECT_EQ(cols, cols0);
  EXPECT_EQ(QDSNoteClose(n), ERR_BAD_NOTE);
  EXPECT_EQ(QVWCloseCollection(col), ERR_BAD_COLLECTION);
  EXPECT_EQ(QDSNoteClose(kept), NOERROR);
  ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  EXPECT_FALSE(QDSItemIsPresent(n, "Unsaved", 7));
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  for (DBHANDLE h : {db, other}) ASSERT_EQ(QDSDbClose(h), NOERROR);
}

// A modified time that is not a time stamp is damage, never read past.
TEST_F(DbTest, ModifiedTimeOfTheWrongSizeIsCorrupt) {
  DBHANDLE db = NewDb("t.qds");
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  Sql("t.qds", "UPDATE meta SET value = x'0102' WHERE key = 'nondata_modified'");
  ASSERT_EQ(QDSDbOpenReadOnly("t.qds", &db), NOERROR);
  TIMEDATE d, nd;
  EXPECT_EQ(QDSDbModifiedTime(db, &d, &nd), ERR_DB_CORRUPT);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

// A closed or unknown database handle is refused by every call, and
// missing out pointers are refused, not written through.
TEST_F(DbTest, BadHandlesAndNullOutputsRefused) {
  DBHANDLE db = NewDb("b.qds");
  char info[DBINFO_SIZE];
  DBREPLICAINFO ri;
  ORIGINATORID oid;
  WORD cls;
  TIMEDATE t;
  EXPECT_EQ(QDSDbInfoGet(db, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbInfoSet(db, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbReplicaInfoGet(db, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbReplicaInfoSet(db, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbGenerateOID(db, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSDbGetClass(db, nullptr), ERR_BAD_ARG);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  for (DBHANDLE bad : {db, DBHANDLE(0), DBHANDLE(0x7777)}) {
    EXPECT_EQ(QDSDbInfoGet(bad, info), ERR_BAD_DB);
    EXPECT_EQ(QDSDbInfoSet(bad, info), ERR_BAD_DB);
    EXPECT_EQ(QDSDbReplicaInfoGet(bad, &ri), ERR_BAD_DB);
    EXPECT_EQ(QDSDbReplicaInfoSet(bad, &ri), ERR_BAD_DB);
    EXPECT_EQ(QDSDbModifiedTime(bad, &t, &t), ERR_BAD_DB);
    EXPECT_EQ(QDSDbGenerateOID(bad, &oid), ERR_BAD_DB);
    EXPECT_EQ(QDSDbGetClass(bad, &cls), ERR_BAD_DB);
    EXPECT_EQ(QDSDbPathGet(bad, info, sizeof info), ERR_BAD_DB);
    EXPECT_EQ(QDSDbClose(bad), ERR_BAD_DB);
  }
}

// Names SQLite cannot take are refused before anything is opened, and
// the detail says why: one too long once the hidden files beside it are
// counted, one reached through a short link, and a part longer than the
// file system takes.
TEST_F(DbTest, NamesTooLongForSqliteAreRefusedWithTheReason) {
  const std::string deep = Path(std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                                std::string(100, 'c'));
  std::filesystem::create_directories(deep);
  const std::string name = deep + "/q.qds";
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen(name.c_str(), &db), ERR_DB_PATH);
  EXPECT_NE(std::string(QDSDbLastDetail()).find("SQLite takes names of at most"),
            std::string::npos) << QDSDbLastDetail();
  ASSERT_EQ(QDSDbCreate("q.qds", 0xFF01, FALSE), NOERROR);
  std::filesystem::rename(Path("q.qds"), name);
  std::filesystem::create_symlink(name, Path("link.qds"));
  EXPECT_EQ(QDSDbOpenReadOnly("link.qds", &db), ERR_DB_PATH);
  EXPECT_NE(std::string(QDSDbLastDetail()).find(name), std::string::npos) << QDSDbLastDetail();
  EXPECT_EQ(QDSDbOpen((std::string(300, 'n') + ".qds").c_str(), &db), ERR_DB_PATH);
  DWORD dbs = 1;
  QDSTestOpenHandles(&dbs, nullptr, nullptr);
  EXPECT_EQ(dbs, 0u);
}

}  // namespace
