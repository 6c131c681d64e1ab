// Every allocation, reallocation, lock and SQLite access of one pass over
// the store fails in turn: reported, nothing leaked, every document whole.
#include "store_test_util.h"

namespace {

using FaultTest = StoreTest;

constexpr DWORD kBigLen = 3000;  // over the small-item limit: the `big` table

std::string BigValue(double status) {
  return std::string(kBigLen, static_cast<char>('a' + static_cast<int>(status) % 26));
}

// `id` gets Status + 1 and a matching big item; a second document is made
// and deleted; both searches; object writes and reads; the view is read.
STATUS Scenario(NOTEID id, DWORD rrv) {
  DBHANDLE db = 0;
  NOTEHANDLE n = 0, tmp = 0;
  DHANDLE formula = 0, data = 0, read = 0, entries = 0;
  HCOLLECTION coll = 0;
  double status = 0, seven = 7;
  int matches = 0;
  NOTEID viewId = 0, tmpId = 0;
  DWORD obj = 0, skipped = 0, returned = 0;
  WORD signal = 0;
  COLLECTIONPOSITION pos{};
  const char f[] = "Status = 6 | Status = 7";
  STATUS st = QDSDbOpen("fault.qds", &db);
  if (!st) st = QDSNoteOpen(db, id, 0, &n);
  if (!st && !QDSItemGetNumber(n, "Status", &status)) st = ERR_ITEM_NOT_FOUND;
  if (!st) st = QDSItemDelete(n, "Status", 6);
  // Big is absent before the first save.
  if (!st && (st = QDSItemDelete(n, "Big", 3)) == ERR_ITEM_NOT_FOUND) st = NOERROR;
  status += 1;
  std::string big = BigValue(status);
  if (!st) st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &status, 8);
  if (!st) st = QDSItemAppend(n, 0, "Big", 3, TYPE_TEXT, big.data(), kBigLen);
  if (!st) st = QDSNoteUpdate(n, 0);
  if (!st) st = QDSNoteCreate(db, &tmp);
  if (!st) st = QDSItemAppend(tmp, ITEM_SUMMARY, "Temp", 4, TYPE_NUMBER, &seven, 8);
  if (!st) st = QDSNoteUpdate(tmp, 0);
  if (!st) QDSNoteGetInfo(tmp, _NOTE_ID, &tmpId);
  if (!st) st = QDSNoteDelete(db, tmpId, 0);
  if (!st) st = QDSFormulaCompile(nullptr, 0, f, sizeof f - 1, &formula, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
  auto count = [](void* arg, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
    return ++*static_cast<int*>(arg), NOERROR;
  };
  for (FORMULAHANDLE h : {formula, DHANDLE{0}}) {  // index plan, then scan
    if (!st) st = QDSSearch(db, h, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                            nullptr, count, &matches, nullptr);
  }
  if (!st) st = OSMemAlloc(0x1234, 64, &data);
  if (!st) st = QDSDbWriteObject(db, rrv, data, 0, 64);
  if (!st) st = QDSDbReadObject(db, rrv, 10, 0xFFFFFFFF, &read);
  if (!st) st = QDSDbAllocObject(db, 600000, 1, 0, &obj);  // three chunks
  if (!st) st = QDSDbWriteObject(db, obj, data, 262100, 64);
  if (!st) st = QDSDbFreeObject(db, obj);
  if (!st) st = QVWFindDesignNote(db, "All", NOTE_CLASS_VIEW, &viewId);
  if (!st) {
    st = QVWOpenCollection(db, db, viewId, 0, 0, &coll, nullptr, nullptr,
                           nullptr, nullptr);
    if (!st) {
      st = QVWReadEntries(coll, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 100,
                          READ_MASK_NOTEID, &entries, nullptr, &skipped,
                          &returned, &signal);
    }
  }
  if (coll) QVWCloseCollection(coll);
  for (DHANDLE h : {entries, read, data, formula}) if (h) OSMemFree(h);
  if (tmp) QDSNoteClose(tmp);
  if (n) QDSNoteClose(n);
  if (db) QDSDbClose(db);
  return st;
}

TEST_F(FaultTest, EveryFaultOfEveryKindIsCleanAndLeavesDocumentsWhole) {
  DBHANDLE db = NewDb("fault.qds");
  NOTEID id = SaveDoc(db, 1, "subject"), view = 0;
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 100, 1, 0, &rrv), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "All", "@All", &view), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(Scenario(id, rrv), NOERROR);  // the clean run works
  double before = 2;                       // Status after it

  const char* const kinds[] = {"alloc", "realloc", "lock", "store"};
  const WORD mem[] = {OSMEM_FAULT_ALLOC, OSMEM_FAULT_REALLOC, OSMEM_FAULT_LOCK};
  const DWORD base = OSMemTestTotalBlocks();
  for (int k = 0; k < 4; ++k) {
    int fired = 0;
    for (DWORD nth = 1; nth < 5000; ++nth) {
      k < 3 ? OSMemTestFailNth(mem[k], nth) : QDSTestFailNth(nth, ERR_DB_IO);
      STATUS st = Scenario(id, rrv);
      bool didFire = k < 3 ? OSMemTestFaultFired() : QDSTestFaultFired();
      OSMemTestDisarm();
      QDSTestDisarm();
      std::string where = std::string(kinds[k]) + " fault " + std::to_string(nth);
      ASSERT_EQ(OSMemTestTotalBlocks(), base) << "leak with " << where;
      DWORD dbs = 1, notes = 1, colls = 1;
      QDSTestOpenHandles(&dbs, &notes, &colls);
      ASSERT_EQ(dbs + notes + colls, 0u) << "handle left open by " << where;

      // One Status, old or new (new after success), Big matching it, indexed.
      NOTEHANDLE n = 0;
      ASSERT_EQ(QDSDbOpen("fault.qds", &db), NOERROR) << where;
      ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR) << where;
      int statuses = 0;
      for (DWORD i = 0; i < QDSItemCount(n); ++i) {
        char name[16];
        WORD nl = 0;
        QDSItemInfoByIndex(n, i, name, sizeof name, &nl, nullptr, nullptr, nullptr, nullptr);
        statuses += std::string(name, nl) == "Status";
      }
      EXPECT_EQ(statuses, 1) << where;
      double now = 0;
      EXPECT_TRUE(QDSItemGetNumber(n, "Status", &now));
      EXPECT_TRUE(now == before + 1 || (st && now == before)) << where;
      char buf[kBigLen + 1];
      WORD got = QDSItemGetText(n, "Big", buf, sizeof buf);
      EXPECT_EQ(std::string(buf, got), BigValue(now)) << where;
      EXPECT_EQ(QDSNoteClose(n), NOERROR);
      std::string formula = "Status = " + std::to_string(static_cast<int>(now));
      EXPECT_EQ(Ids(db, formula.c_str()), IdList{id}) << where;
      // A document the failed pass made but did not delete is indexed too.
      for (NOTEID left : Ids(db, "Temp = 7")) EXPECT_EQ(QDSNoteDelete(db, left, 0), NOERROR);
      DWORD size = 0;
      EXPECT_TRUE(QDSDbGetObjectSize(db, rrv, &size) == NOERROR && size == 100) << where;
      EXPECT_EQ(QDSDbClose(db), NOERROR);
      EXPECT_TRUE(didFire || !st) << where << " failed without a fault";
      if (HasFailure()) return;
      before = now;
      if (!didFire) break;
      ++fired;
    }
    if (k != 1) {  // the pass reallocates nothing
      EXPECT_GT(fired, 0) << kinds[k];
    }
  }
}

// A failure SQLite reports reaches the caller as what it stands for, so
// an operator is told to make room rather than to check a disk, and the
// failed save changes nothing.
TEST_F(FaultTest, ASaveFailsWithItsCauseAndChangesNothing) {
  DBHANDLE db = NewDb("c.qds");
  const NOTEID id = SaveDoc(db, 1);
  for (STATUS cause : {ERR_DISK_FULL, ERR_MEMORY, ERR_DB_READONLY, ERR_DB_BUSY,
                       ERR_ITEM_TOO_BIG, ERR_DB_CORRUPT}) {
    NOTEHANDLE n = 0;
    ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
    double two = 2;
    ASSERT_EQ(QDSItemDelete(n, "Status", 6), NOERROR);
    ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &two, 8), NOERROR);
    QDSTestFailNth(2, cause);  // inside the transaction
    EXPECT_EQ(QDSNoteUpdate(n, 0), cause);
    EXPECT_TRUE(QDSTestFaultFired());
    QDSTestDisarm();
    EXPECT_EQ(QDSNoteClose(n), NOERROR);
    EXPECT_EQ(Ids(db, "Status = 1"), IdList{id}) << cause;
  }
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
