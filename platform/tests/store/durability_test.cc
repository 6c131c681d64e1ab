// Durability modes, counted through the store's VFS: a per-save writer
// syncs the WAL at every save; a bulk writer only at its sync points (at
// most every kBulkSyncCommits saves or kBulkSyncMillis) and at close, also
// when another process's reader holds a snapshot and the close's
// checkpoint cannot complete.
#include <chrono>
#include <thread>

#include "store_test_util.h"

namespace {

class DurabilityTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    const char* v = getenv("TAVLO_SYNC");
    saved_ = v ? v : "";
    had_ = v != nullptr;
    unsetenv("TAVLO_SYNC");  // the modes' own defaults
  }
  void TearDown() override {
    if (had_) setenv("TAVLO_SYNC", saved_.c_str(), 1);
    StoreTest::TearDown();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(DurabilityTest, PerSaveWriterSyncsEverySaveBulkWriterAtSyncPoints) {
  ASSERT_EQ(QDSDbCreate("q.qds", 0xFF01, FALSE), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);
  DWORD before = QDSTestWalSyncs();
  for (int i = 0; i < 20; i++) SaveDoc(db, i);
  EXPECT_GE(QDSTestWalSyncs() - before, 20u) << "a per-save writer syncs each save";
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  ASSERT_EQ(QDSDbOpenBulk("q.qds", &db), NOERROR);
  const int saves = 2500;
  before = QDSTestWalSyncs();
  const DWORD points = QDSTestSyncPoints();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < saves; i++) SaveDoc(db, i);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const DWORD taken = QDSTestSyncPoints() - points;
  EXPECT_GE(taken, DWORD(saves / 1000));
  EXPECT_LE(taken, DWORD(saves / 1000 + seconds + 1)) << seconds << " s";
  // Besides them only SQLite's own checkpoints sync the WAL (two syncs
  // each, about one per thousand pages written): nothing near one a save.
  EXPECT_LE(QDSTestWalSyncs() - before, DWORD(taken + saves / 40));
  before = QDSTestWalSyncs();
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_GE(QDSTestWalSyncs() - before, 1u) << "the close syncs what is left";
}

// A reader in another process holds a snapshot through the writer's close:
// the checkpoint cannot finish, so the WAL is synced instead and the file
// stays marked as having one.
TEST_F(DurabilityTest, BulkCloseSyncsWhileAReaderHoldsASnapshot) {
  ASSERT_EQ(QDSDbCreate("q.qds", 0xFF01, FALSE), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen("q.qds", &db), NOERROR);
  SaveDoc(db, 1);
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  // The reader stops inside its search's callback until told to go on.
  const std::string path = Path("q.qds");
  Peer reader([&path](char cmd) -> char {
    if (cmd != 'h') return '?';
    DBHANDLE r = 0;
    if (QDSDbOpenReadOnly(path.c_str(), &r) != NOERROR) return 'n';
    QDSSearch(r, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
              [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
                sleep(4);  // longer than the writer's close waits for it
                return NOERROR;
              },
              nullptr, nullptr);
    QDSDbClose(r);
    return 'y';
  });
  // Start the reader without waiting for its answer: it answers after its
  // snapshot is over.
  ASSERT_EQ(QDSDbOpenBulk("q.qds", &db), NOERROR);
  std::thread ask([&reader] { reader.Ask('h'); });
  usleep(500000);  // the reader is inside its callback by now
  for (int i = 0; i < 50; i++) SaveDoc(db, 100 + i);
  const DWORD before = QDSTestWalSyncs();
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_GE(QDSTestWalSyncs() - before, 1u);
  ask.join();
  EXPECT_EQ(reader.Finish(), 0);
  const std::string head = ReadFile(path).substr(60, 4);
  EXPECT_EQ(head[3] & 1, 1) << "the file says its WAL holds what the close could not fold in";
  // Nothing of it is lost.
  ASSERT_EQ(QDSDbOpenReadOnly("q.qds", &db), NOERROR);
  EXPECT_EQ(Ids(db, nullptr).size(), 51u);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

// While a process has bulk and per-save write handles of one file, every
// save is synced, the bulk handle's too, and what the bulk handle left
// unsynced is synced when the per-save one joins.  When it goes, bulk
// saves stop syncing.
TEST_F(DurabilityTest, APerSaveHandleBesideABulkOneMakesEverySaveDurable) {
  ASSERT_EQ(QDSDbCreate("q.qds", 0xFF01, FALSE), NOERROR);
  DBHANDLE bulk = 0, per = 0;
  ASSERT_EQ(QDSDbOpenBulk("q.qds", &bulk), NOERROR);
  SaveDoc(bulk, 1);
  DWORD before = QDSTestWalSyncs();
  ASSERT_EQ(QDSDbOpen("q.qds", &per), NOERROR);
  EXPECT_GE(QDSTestWalSyncs() - before, 1u) << "the bulk handle's save synced as the other joins";
  before = QDSTestWalSyncs();
  for (int i = 0; i < 10; i++) SaveDoc(bulk, 2);
  EXPECT_GE(QDSTestWalSyncs() - before, 10u);
  ASSERT_EQ(QDSDbClose(per), NOERROR);
  before = QDSTestWalSyncs();
  for (int i = 0; i < 10; i++) SaveDoc(bulk, 3);
  EXPECT_LE(QDSTestWalSyncs() - before, 2u) << "back to sync points";
  ASSERT_EQ(QDSDbClose(bulk), NOERROR);
}

}  // namespace
