// Recovery data follows the file: a writer killed at any moment, then the
// file renamed, moved, copied or written over by an older copy.  Every
// commit made before the kill is found under the file's new name; nothing
// is ever applied to a file it does not belong to; a file separated from
// its recovery data is refused until the operator decides; readers never
// write a byte of the file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <set>

#include "store_test_util.h"

namespace {

class RecoveryTest : public StoreTest {
 protected:
  // Creates `name` with `n` documents (Status 1..n), closed cleanly.
  void Make(const std::string& name, int n) {
    DBHANDLE db = NewDb(name.c_str());
    for (int i = 1; i <= n; i++) SaveDoc(db, i);
    ASSERT_EQ(QDSDbClose(db), NOERROR);
  }

  // A child process opens `name` for writing, saves up to `n` documents
  // with Status from `first` on, and is killed: by the kill hook (`kind`
  // at the `at`-th event) or, having saved them all, by SIGKILL.  Returns
  // the number of saves that returned NOERROR before the kill.
  int CrashWriter(const std::string& name, int first, int n, WORD kind = 0,
                  DWORD at = 0) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    // A new program, not a fork: a forked child would share this process's
    // connections and lock descriptors.
    pid_t pid = fork();
    if (pid == 0) {
      dup2(pipefd[1], 1);
      close(pipefd[0]);
      close(pipefd[1]);
      std::string f = std::to_string(first), c = std::to_string(n),
                  k = std::to_string(kind), a = std::to_string(at);
      if (kind) {
        execl(WRITER_CHILD_BINARY, WRITER_CHILD_BINARY, name.c_str(), f.c_str(), c.c_str(),
              k.c_str(), a.c_str(), (char*)nullptr);
      } else {
        execl(WRITER_CHILD_BINARY, WRITER_CHILD_BINARY, name.c_str(), f.c_str(), c.c_str(),
              (char*)nullptr);
      }
      _exit(127);
    }
    close(pipefd[1]);
    int saved = 0;
    char ch;
    while (read(pipefd[0], &ch, 1) == 1) saved++;
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer was not killed: " << status;
    return saved;
  }

  static size_t Hash(const std::string& path) { return std::hash<std::string>()(ReadFile(path)); }

  // The Status values of every document, read through a read-only open.
  std::set<int> Statuses(const std::string& name, STATUS* st = nullptr) {
    std::set<int> out;
    DBHANDLE db = 0;
    STATUS s = QDSDbOpenReadOnly(name.c_str(), &db);
    if (st) *st = s;
    if (s) return out;
    QDSSearch(db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
              [](void* arg, SEARCH_MATCH* m, ITEM_TABLE* t) -> STATUS {
                // One number item "Status": table, ITEM, name, type, double.
                const char* p = reinterpret_cast<const char*>(t + 1) + sizeof(ITEM);
                double v = 0;
                memcpy(&v, p + 6 + 2, sizeof v);
                static_cast<std::set<int>*>(arg)->insert(static_cast<int>(v));
                return NOERROR;
              },
              &out, nullptr);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
    return out;
  }

  // "" when equal, else what is missing and what is extra.
  static std::string Diff(const std::set<int>& got, const std::set<int>& want) {
    std::string out;
    int missing = 0, extra = 0;
    for (int v : want)
      if (!got.count(v) && missing++ < 3) out += " missing " + std::to_string(v);
    for (int v : got)
      if (!want.count(v) && extra++ < 3) out += " extra " + std::to_string(v);
    if (missing || extra)
      out += " (" + std::to_string(missing) + " missing, " + std::to_string(extra) + " extra)";
    return out;
  }

  static std::set<int> Range(int from, int to) {
    std::set<int> s;
    for (int i = from; i <= to; i++) s.insert(i);
    return s;
  }
  static std::set<int> Union(std::set<int> a, const std::set<int>& b) {
    a.insert(b.begin(), b.end());
    return a;
  }

  std::string IntegrityCheck(const std::string& name) {
    sqlite3* raw = nullptr;
    std::string verdict;
    if (sqlite3_open_v2(Path(name).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
          sqlite3_step(s) == SQLITE_ROW)
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      sqlite3_finalize(s);
    }
    sqlite3_close(raw);
    return verdict;
  }

  // Names in the directory that start with ".tavlo-" (the sidecars).
  std::set<std::string> Sidecars() const {
    std::set<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir_)) {
      std::string n = e.path().filename();
      if (n.rfind(".tavlo-", 0) == 0) out.insert(n);
    }
    return out;
  }

  static void Move(const std::string& from, const std::string& to) {
    ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from << " -> " << to;
  }

  // The name stem of the sidecars of `name` as its header now says: the
  // file's inode and generation.
  std::string SidecarBase(const std::string& name, ino_t ino = 0) const {
    const std::string head = ReadFile(Path(name)).substr(60, 4);
    uint32_t v = 0;
    for (char ch : head) v = v << 8 | static_cast<unsigned char>(ch);
    struct stat sb;
    if (ino == 0 && ::stat(Path(name).c_str(), &sb) == 0) ino = sb.st_ino;
    char base[64];
    std::snprintf(base, sizeof base, ".tavlo-%llu-%08x", static_cast<unsigned long long>(ino),
                  v >> 1);
    return base;
  }
  static bool Mentions(const std::string& what) {
    return std::string(QDSDbLastDetail()).find(what) != std::string::npos;
  }
};

// The operator's procedure after a crash of either writer: the queue is
// renamed while a killed writer's commits are still only in its WAL, other
// writers work in between, and it is renamed back.  Nothing is lost, in
// either direction, and the database stays sound.
TEST_F(RecoveryTest, RenamesInBothDirectionsKeepEveryCommit) {
  Make("q.qds", 50);
  const int a = CrashWriter(Path("q.qds"), 101, 40);  // the relay dies
  EXPECT_EQ(a, 40);
  ASSERT_EQ(IntegrityCheck("q.qds"), "ok");
  Move(Path("q.qds"), Path("q.fix"));  // "rename it to .fix"
  // A reader sees the dead writer's commits under the new name, and
  // writes nothing.
  EXPECT_EQ(Statuses("q.fix"), Union(Range(1, 50), Range(101, 140)));
  // The repair tool dies too, inside a checkpoint this time.
  const int b = CrashWriter(Path("q.fix"), 201, 3000, QDS_KILL_FILE_WRITE, 5);
  EXPECT_GT(b, 0);
  Move(Path("q.fix"), Path("q.qds"));  // "rename it back"
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);  // the relay starts again
  SaveDoc(db, 9999);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  Move(Path("q.qds"), Path("q.fix"));  // the next repair
  // The save the kill interrupted may have committed before the checkpoint
  // that followed it inside the same call died.
  std::set<int> got = Statuses("q.fix");
  got.erase(201 + b);
  EXPECT_EQ(Diff(got, Union(Union(Range(1, 50), Range(101, 140)),
                            Union(Range(201, 200 + b), {9999}))),
            "");
  EXPECT_EQ(IntegrityCheck("q.fix"), "ok");
  EXPECT_TRUE(Sidecars().empty()) << "a clean close leaves no sidecar";
}

// Recovery data beside a file that belongs to another file, or to another
// state of this one, is never applied and changes no file.
TEST_F(RecoveryTest, RecoveryDataOfAnotherFileOrStateIsNeverApplied) {
  Make("a.qds", 10);
  Make("b.qds", 20);
  ASSERT_EQ(CrashWriter(Path("a.qds"), 101, 30), 30);
  const std::set<std::string> aSidecars = Sidecars();
  ASSERT_EQ(aSidecars.size(), 3u) << "anchor, WAL and index";
  // a's WAL under the name an earlier release would have looked for.
  std::string aWal;
  for (const std::string& n : aSidecars)
    if (n.size() > 4 && n.compare(n.size() - 4, 4, "-wal") == 0) aWal = n;
  std::filesystem::copy_file(Path(aWal), Path("b.qds-wal"));
  const size_t b = Hash(Path("b.qds"));
  EXPECT_EQ(Statuses("b.qds"), Range(1, 20));
  EXPECT_EQ(Hash(Path("b.qds")), b);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("b.qds", &db), NOERROR);
  EXPECT_EQ(Ids(db, nullptr).size(), 20u);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_TRUE(std::filesystem::exists(Path("b.qds-wal"))) << "not ours to delete";

  // An older copy of a written over it in place (same inode): a's session
  // since then is not the copy's, so its WAL stays out.
  std::filesystem::remove(Path("b.qds-wal"));
  Make("c.qds", 5);
  std::filesystem::copy_file(Path("c.qds"), Path("c.backup"));
  ASSERT_EQ(CrashWriter(Path("c.qds"), 101, 30), 30);
  const std::set<std::string> before = Sidecars();
  {
    std::ofstream over(Path("c.qds"), std::ios::binary | std::ios::trunc);
    over << ReadFile(Path("c.backup"));
  }
  const size_t copy = Hash(Path("c.qds"));
  EXPECT_EQ(Statuses("c.qds"), Range(1, 5));
  EXPECT_EQ(Hash(Path("c.qds")), copy) << "a reader changed the file";
  ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR);
  SaveDoc(db, 6);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(Statuses("c.qds"), Range(1, 6));
  for (const std::string& n : before)
    EXPECT_TRUE(std::filesystem::exists(Path(n))) << n << ": another state's data is kept";
  EXPECT_EQ(IntegrityCheck("c.qds"), "ok");
}

// The same, when the newer session had to share its generation (a reader
// was attached when it started) and the copy written back is of that
// generation: its frames are still another state's.
TEST_F(RecoveryTest, StaleFramesOfTheSameGenerationAreSetAside) {
  Make("q.qds", 5);
  std::filesystem::copy_file(Path("q.qds"), Path("q.backup"));
  DBHANDLE reader = 0;
  ASSERT_EQ(QDSDbOpenReadOnly("q.qds", &reader), NOERROR);
  const int saved = CrashWriter(Path("q.qds"), 101, 30);
  ASSERT_EQ(saved, 30);
  EXPECT_EQ(Ids(reader, nullptr).size(), 35u);
  ASSERT_EQ(QDSDbClose(reader), NOERROR);
  {
    std::ofstream over(Path("q.qds"), std::ios::binary | std::ios::trunc);
    over << ReadFile(Path("q.backup"));
  }
  const size_t copy = Hash(Path("q.qds"));
  EXPECT_EQ(Statuses("q.qds"), Range(1, 5));
  EXPECT_EQ(Hash(Path("q.qds")), copy);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);
  EXPECT_EQ(Ids(db, nullptr).size(), 5u);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(IntegrityCheck("q.qds"), "ok");
}

// A file moved away from its recovery data is refused, named, unchanged;
// the operator brings the data back or gives it up.
TEST_F(RecoveryTest, FileWithoutItsRecoveryDataIsRefusedUntilTheOperatorDecides) {
  std::filesystem::create_directories(Path("old"));
  std::filesystem::create_directories(Path("new"));
  Make("old/q.fix", 10);
  Make("other.qds", 3);
  ASSERT_EQ(CrashWriter(Path("old/q.fix"), 101, 25), 25);
  ASSERT_EQ(CrashWriter(Path("other.qds"), 501, 5), 5);
  Move(Path("old/q.fix"), Path("new/q.fix"));
  const size_t moved = Hash(Path("new/q.fix"));
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("new/q.fix", &db), ERR_DB_UNCLEAN);
  const std::string detail = QDSDbLastDetail();
  EXPECT_NE(detail.find("new/q.fix was not closed cleanly"), std::string::npos) << detail;
  EXPECT_NE(detail.find("-wal"), std::string::npos) << detail;
  EXPECT_EQ(QDSDbOpenReadOnly("new/q.fix", &db), ERR_DB_UNCLEAN);
  EXPECT_EQ(Hash(Path("new/q.fix")), moved);

  std::string oldWal, otherWal;
  for (auto& e : std::filesystem::directory_iterator(Path("old"))) {
    std::string n = e.path().filename();
    if (n.size() > 4 && n.compare(n.size() - 4, 4, "-wal") == 0) oldWal = "old/" + n;
  }
  for (const std::string& n : Sidecars())
    if (n.size() > 4 && n.compare(n.size() - 4, 4, "-wal") == 0) otherWal = n;
  ASSERT_FALSE(oldWal.empty());
  ASSERT_FALSE(otherWal.empty());
  WORD outcome = 99;
  EXPECT_EQ(QDSDbRecover("new/q.fix", otherWal.c_str(), 0, &outcome), ERR_DB_FOREIGN_WAL);
  EXPECT_EQ(Hash(Path("new/q.fix")), moved) << "a foreign WAL changed the file";
  EXPECT_EQ(QDSDbRecover("new/q.fix", nullptr, 0, &outcome), ERR_DB_UNCLEAN);
  EXPECT_EQ(QDSDbRecover("new/q.fix", oldWal.c_str(), 0, &outcome), NOERROR)
      << QDSDbLastDetail();
  EXPECT_EQ(outcome, RECOVER_ADOPTED);
  EXPECT_EQ(Statuses("new/q.fix"), Union(Range(1, 10), Range(101, 125)));
  EXPECT_EQ(IntegrityCheck("new/q.fix"), "ok");
  EXPECT_EQ(QDSDbRecover("new/q.fix", nullptr, 0, &outcome), NOERROR);
  EXPECT_EQ(outcome, RECOVER_NOTHING);

  // A copy without its data: given up knowingly, the file is usable again.
  std::filesystem::copy_file(Path("other.qds"), Path("new/copy.qds"));
  EXPECT_EQ(QDSDbOpen("new/copy.qds", &db), ERR_DB_UNCLEAN);
  EXPECT_EQ(QDSDbRecover("new/copy.qds", nullptr, RECOVER_DISCARD_UNSAVED, &outcome), NOERROR);
  EXPECT_EQ(outcome, RECOVER_DISCARDED);
  EXPECT_EQ(Statuses("new/copy.qds"), Range(1, 3));
  EXPECT_EQ(Statuses("other.qds"), Union(Range(1, 3), Range(501, 505)));
}

// An earlier release named the WAL after the file; after its crash that
// WAL is adopted only when the operator asks, into a checked copy.
TEST_F(RecoveryTest, EarlierReleasesWalIsAdoptedOnlyOnRequest) {
  Make("q.qds", 4);
  Sql("q.qds", "PRAGMA user_version=0");  // as that release left it
  pid_t pid = fork();
  if (pid == 0) {  // its writer: plain SQLite names, killed mid-session
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(Path("q.qds").c_str(), &raw, SQLITE_OPEN_READWRITE, "unix") != SQLITE_OK ||
        sqlite3_exec(raw, "UPDATE meta SET value=CAST('adopted' AS BLOB) WHERE key='info'",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
      _exit(2);
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(std::filesystem::exists(Path("q.qds-wal")));
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("q.qds", &db), ERR_DB_UNCLEAN);
  EXPECT_NE(std::string(QDSDbLastDetail()).find("q.qds-wal"), std::string::npos);
  WORD outcome = 0;
  ASSERT_EQ(QDSDbRecover("q.qds", nullptr, 0, &outcome), NOERROR) << QDSDbLastDetail();
  EXPECT_EQ(outcome, RECOVER_ADOPTED);
  EXPECT_TRUE(std::filesystem::exists(Path("q.qds-wal.adopted")));
  ASSERT_EQ(QDSDbOpenReadOnly("q.qds", &db), NOERROR);
  char info[DBINFO_SIZE];
  ASSERT_EQ(QDSDbInfoGet(db, info), NOERROR);
  EXPECT_STREQ(info, "adopted");
  EXPECT_EQ(Ids(db, nullptr).size(), 4u);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

// Read-only opens never write, truncate or sync the file, in every state
// a file can be found in without a writer; they see a crashed writer's
// commits when its recovery data is there.
TEST_F(RecoveryTest, ReadersNeverWriteTheFile) {
  Make("clean.qds", 5);
  Make("crashed.qds", 5);
  ASSERT_EQ(CrashWriter(Path("crashed.qds"), 101, 20, QDS_KILL_FILE_WRITE, 3), 20);
  Make("stray.qds", 5);
  Make("x.qds", 1);
  const std::set<std::string> before = Sidecars();
  ASSERT_EQ(CrashWriter(Path("x.qds"), 101, 5), 5);
  for (const std::string& n : Sidecars())  // another file's WAL beside it
    if (!before.count(n) && n.compare(n.size() - 4, 4, "-wal") == 0)
      std::filesystem::copy_file(Path(n), Path("stray.qds-wal"));
  DWORD w0, t0, s0, w1, t1, s1;
  QDSTestReadOnlyFileIo(&w0, &t0, &s0);
  for (const std::string name : {"clean.qds", "crashed.qds", "stray.qds"}) {
    SCOPED_TRACE(name);
    const size_t hash = Hash(Path(name));
    STATUS st = NOERROR;
    std::set<int> seen = Statuses(name, &st);
    ASSERT_EQ(st, NOERROR);
    EXPECT_EQ(seen.size(), name == "crashed.qds" ? 25u : 5u);
    DBHANDLE db = 0;
    ASSERT_EQ(QDSDbOpenReadOnly(name.c_str(), &db), NOERROR);
    NOTEHANDLE n = 0;
    EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
    EXPECT_EQ(QDSNoteUpdate(n, 0), ERR_DB_READONLY);
    QDSNoteClose(n);
    ASSERT_EQ(QDSDbClose(db), NOERROR);
    EXPECT_EQ(Hash(Path(name)), hash);
  }
  QDSTestReadOnlyFileIo(&w1, &t1, &s1);
  EXPECT_EQ(w1 - w0, 0u);
  EXPECT_EQ(t1 - t0, 0u);
  EXPECT_EQ(s1 - s0, 0u);
}

// Two names of one file in one process share one connection, hence one
// WAL index.
TEST_F(RecoveryTest, TwoNamesOfOneFileShareOneConnection) {
  Make("q.qds", 2);
  ASSERT_EQ(link(Path("q.qds").c_str(), Path("q.link").c_str()), 0);
  DBHANDLE a = 0, b = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &a), NOERROR);
  ASSERT_EQ(QDSDbOpen("q.link", &b), NOERROR) << "the second name meets the writer lock";
  SaveDoc(a, 3);
  EXPECT_EQ(Ids(b, nullptr).size(), 3u);
  DWORD dbs = 0;
  QDSTestOpenHandles(&dbs, nullptr, nullptr);
  EXPECT_EQ(dbs, 2u);
  ASSERT_EQ(QDSDbClose(a), NOERROR);
  ASSERT_EQ(QDSDbClose(b), NOERROR);
}

// The operator's recovery applies a file's own WAL beside it.  A copy
// that left it behind is refused with the WALs that carry its session
// named, and a WAL offered that is not its own (not this release's, gone,
// not a WAL, a damaged header) changes nothing.
TEST_F(RecoveryTest, RecoveryAppliesTheFilesOwnWalAndRefusesAnyThatDoesNotFit) {
  Make("q.qds", 3);
  ASSERT_EQ(CrashWriter(Path("q.qds"), 101, 4), 4);
  const std::string own = SidecarBase("q.qds") + "-wal";
  std::filesystem::copy_file(Path("q.qds"), Path("copy.qds"));
  const size_t copy = Hash(Path("copy.qds"));
  WORD outcome = 99;
  EXPECT_EQ(QDSDbRecover("copy.qds", nullptr, 0, &outcome), ERR_DB_UNCLEAN);
  EXPECT_TRUE(Mentions(own + " carries its session")) << QDSDbLastDetail();

  const std::string gen = own.substr(own.size() - 12);  // "<generation>-wal"
  std::ofstream(Path(".tavlo-2-" + gen)) << std::string(100, 'x');
  std::string header = ReadFile(Path(own));
  header[24] ^= 1;  // its checksum
  std::ofstream(Path(".tavlo-3-" + gen), std::ios::binary) << header;
  std::ofstream(Path("plain.wal")) << ReadFile(Path(own));
  const struct {
    const char* wal;
    STATUS st;
    const char* says;
  } offered[] = {{"plain.wal", ERR_DB_FOREIGN_WAL, "was not written by this release"},
                 {".tavlo-1-", ERR_NOEXIST, "No such file"},
                 {".tavlo-2-", ERR_DB_FOREIGN_WAL, "is not a WAL"},
                 {".tavlo-3-", ERR_DB_FOREIGN_WAL, "does not fit"}};
  for (const auto& o : offered) {
    std::string wal = o.wal;
    if (wal.back() == '-') wal += gen;
    SCOPED_TRACE(wal);
    EXPECT_EQ(QDSDbRecover("copy.qds", wal.c_str(), 0, &outcome), o.st);
    EXPECT_TRUE(Mentions(o.says)) << QDSDbLastDetail();
    EXPECT_EQ(outcome, RECOVER_NOTHING);
  }
  EXPECT_EQ(Hash(Path("copy.qds")), copy);

  ASSERT_EQ(QDSDbRecover("q.qds", nullptr, 0, &outcome), NOERROR) << QDSDbLastDetail();
  EXPECT_EQ(outcome, RECOVER_APPLIED);
  EXPECT_FALSE(std::filesystem::exists(Path(own)));
  EXPECT_EQ(Statuses("q.qds"), Union(Range(1, 3), Range(101, 104)));
  BOOL alone = FALSE;
  EXPECT_EQ(QDSDbIsSelfContained(Path("q.qds").c_str(), &alone), NOERROR);
  EXPECT_TRUE(alone);

  std::ofstream(Path("text.qds")) << std::string(200, 'x');
  EXPECT_EQ(QDSDbRecover("text.qds", nullptr, 0, &outcome), ERR_NOT_A_DB);
}

// An earlier release's WAL that applied to the file gives no database of
// ours (it is another database's) is refused, and the file is untouched.
TEST_F(RecoveryTest, EarlierReleasesWalOfAnotherDatabaseIsRefused) {
  Make("q.qds", 2);
  Sql("q.qds", "PRAGMA user_version=0");
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(Path("other.db").c_str(), &raw), SQLITE_OK);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  ASSERT_EQ(sqlite3_exec(raw, "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1)",
                         nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  std::filesystem::copy_file(Path("other.db-wal"), Path("q.qds-wal"));
  const size_t before = Hash(Path("q.qds"));
  WORD outcome = 99;
  EXPECT_EQ(QDSDbRecover("q.qds", nullptr, 0, &outcome), ERR_DB_FOREIGN_WAL);
  EXPECT_TRUE(Mentions("belongs")) << QDSDbLastDetail();
  EXPECT_EQ(outcome, RECOVER_NOTHING);
  EXPECT_EQ(Hash(Path("q.qds")), before);
  EXPECT_TRUE(std::filesystem::exists(Path("q.qds-wal")));
}

// A writer that finds others attached (their lock byte is held here) joins
// their generation: frames beside a clean file are then refused as busy,
// and a WAL index it cannot make fails the open with the sidecar named and
// the file's marker as it was.  Alone, the same failure leaves a crashed
// session's file dirty with its WAL for the next try.
TEST_F(RecoveryTest, AWriterChangesNothingWhenItsSidecarsCannotBeUsed) {
  const std::string name = "q#1%.qds";  // a name a URI would misread
  Make(name, 2);
  const std::string base = Path(SidecarBase(name));
  std::ofstream(base + "-wal") << std::string(64, 'x');  // another state's frames
  EXPECT_EQ(Statuses(name), Range(1, 2)) << "read alone, without them";

  const int fd = ::open(Path(name).c_str(), O_RDWR);
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0x40001001;
  fl.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
  const size_t hash = Hash(Path(name));
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen(name.c_str(), &db), ERR_DB_BUSY);
  EXPECT_TRUE(Mentions("WAL holds frames while readers use it")) << QDSDbLastDetail();
  std::filesystem::remove(base + "-wal");
  ASSERT_EQ(::symlink("/nowhere", (base + "-shm").c_str()), 0);  // never followed
  ASSERT_EQ(QDSDbOpen(name.c_str(), &db), ERR_DB_SIDECAR);
  EXPECT_TRUE(Mentions("cannot be used")) << QDSDbLastDetail();
  EXPECT_EQ(Hash(Path(name)), hash);
  ::close(fd);
  std::filesystem::remove(base + "-shm");

  ASSERT_EQ(CrashWriter(Path(name), 101, 2), 2);
  const std::string crashed = Path(SidecarBase(name));
  std::filesystem::remove(crashed + "-shm");
  ASSERT_EQ(::symlink("/nowhere", (crashed + "-shm").c_str()), 0);
  const size_t dirty = Hash(Path(name));
  ASSERT_EQ(QDSDbOpen(name.c_str(), &db), ERR_DB_SIDECAR);
  EXPECT_EQ(Hash(Path(name)), dirty);
  std::filesystem::remove(crashed + "-shm");
  EXPECT_EQ(Statuses(name), Union(Range(1, 2), Range(101, 102)));
  ASSERT_EQ(QDSDbOpen(name.c_str(), &db), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(IntegrityCheck(name), "ok");
}

}  // namespace

namespace {

// A writer that closes while a reader has attached to its sidecars but not
// yet opened the database (the reader's SQLite connection is not there to
// keep the WAL): the file stays dirty, so its WAL must stay beside it.
// SQLite's own close, finding itself the last connection, would otherwise
// delete the WAL, and every later open would refuse the file as unclean.
TEST_F(RecoveryTest, AWriterClosingBesideAnAttachingReaderLeavesItsWal) {
  Make("q.qds", 3);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);
  SaveDoc(db, 4);
  const std::string base = Path(SidecarBase("q.qds"));
  const int fd = ::open(Path("q.qds").c_str(), O_RDONLY);
  struct flock fl = {};
  fl.l_type = F_RDLCK;  // the attach byte, held as a reader holds it
  fl.l_whence = SEEK_SET;
  fl.l_start = 0x40001001;
  fl.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_TRUE(std::filesystem::exists(base + "-wal")) << "the dirty file's WAL is gone";
  STATUS st = NOERROR;
  EXPECT_EQ(Statuses("q.qds", &st), Range(1, 4));
  EXPECT_EQ(st, NOERROR);
  ::close(fd);

  // The next writer, alone, finishes the session and leaves it clean.
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(Statuses("q.qds"), Range(1, 4));
  EXPECT_EQ(Sidecars(), std::set<std::string>{});
  EXPECT_EQ(IntegrityCheck("q.qds"), "ok");
}

}  // namespace
