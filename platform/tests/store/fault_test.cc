// Fault injection: every allocation and lock fails in turn, leaking nothing.
#include <algorithm>

#include "store_test_util.h"

namespace {

using FaultTest = StoreTest;

STATUS CountMatch(void* arg, SEARCH_MATCH*, ITEM_TABLE*) {
  ++*static_cast<int*>(arg);
  return NOERROR;
}

// One pass over most store calls, stopping at the first failure.
STATUS Scenario(NOTEID id, DWORD rrv) {
  DBHANDLE db = 0;
  NOTEHANDLE n = 0;
  DHANDLE formula = 0, data = 0, read = 0;
  double six = 6;
  int matches = 0;
  const char f[] = "Status = 6 | Status = 7";
  STATUS st = QDSDbOpen("fault.qds", &db);
  if (!st) st = QDSNoteOpen(db, id, 0, &n);
  if (!st && QDSItemIsPresent(n, "Status", 6)) st = QDSItemDelete(n, "Status", 6);
  if (!st) st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &six, 8);
  if (!st) st = QDSNoteUpdate(n, 0);
  if (!st) {
    st = QDSFormulaCompile(nullptr, 0, f, sizeof f - 1, &formula, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  for (FORMULAHANDLE h : {formula, DHANDLE{0}}) {  // index plan, then scan
    if (!st) {
      st = QDSSearch(db, h, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                     nullptr, CountMatch, &matches, nullptr);
    }
  }
  if (!st) st = OSMemAlloc(0x1234, 64, &data);
  if (!st) st = QDSDbWriteObject(db, rrv, data, 0, 64);
  if (!st) st = QDSDbReadObject(db, rrv, 10, 0xFFFFFFFF, &read);
  for (DHANDLE h : {read, data, formula}) {
    if (h) OSMemFree(h);
  }
  if (n) QDSNoteClose(n);
  if (db) QDSDbClose(db);
  return st;
}

TEST_F(FaultTest, EveryAllocationAndLockFailureIsClean) {
  DBHANDLE db = NewDb("fault.qds");
  NOTEID id = SaveDoc(db, 7, "subject");
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 100, 1, 0, &rrv), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(Scenario(id, rrv), NOERROR);  // the clean run works

  const DWORD base = OSMemTestTotalBlocks();
  int failures = 0;
  for (DWORD nth = 1; nth < 2000; ++nth) {
    OSMemTestFailNth(OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK,
                     nth);
    STATUS st = Scenario(id, rrv);
    bool fired = OSMemTestFaultFired();
    OSMemTestDisarm();
    ASSERT_EQ(OSMemTestTotalBlocks(), base) << "leak with fault " << nth;
    if (!fired) {
      EXPECT_EQ(st, NOERROR);
      break;
    }
    failures += st != NOERROR;
  }
  EXPECT_GT(failures, 10);

  // The document is whole: exactly one Status.
  ASSERT_EQ(QDSDbOpen("fault.qds", &db), NOERROR);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  std::vector<std::string> names = ItemNames(n);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Status"), 1);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
