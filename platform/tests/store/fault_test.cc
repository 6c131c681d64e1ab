// Fault injection: every allocation and lock the store makes is made to
// fail in turn.  Each call must then report a STATUS (or its documented
// "nothing" value), leave no memory behind once everything is closed, and
// leave the stored documents whole.
#include <algorithm>

#include "store_test_util.h"

namespace {

using FaultTest = StoreTest;

STATUS CountMatch(void* arg, SEARCH_MATCH*, ITEM_TABLE*) {
  ++*static_cast<int*>(arg);
  return NOERROR;
}

// One pass over most store calls, stopping at the first failure; releases
// everything it got whatever failed.
STATUS Scenario(NOTEID id, NOTEID viewId, DWORD rrv) {
  DBHANDLE db = 0;
  NOTEHANDLE n = 0, c = 0;
  HCOLLECTION col = 0;
  DHANDLE entries = 0, formula = 0, data = 0, read = 0, blk = 0;
  double six = 6, d;
  char buf[8];
  TIMEDATE t;
  int matches = 0;
  DWORD got = 0;
  COLLECTIONPOSITION pos{};
  const char f[] = "Status = 6 | Status = 7";
  // Deletes of a name the last (failed) pass may not have written.
  auto del = [&](const char* name) {
    STATUS st = QDSItemDelete(n, name, static_cast<WORD>(strlen(name)));
    return st == ERR_ITEM_NOT_FOUND ? NOERROR : st;
  };
  STATUS st = QDSDbOpen("fault.qds", &db);
  if (!st) st = QDSNoteOpen(db, id, 0, &n);
  if (!st) st = del("Status");
  if (!st) st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &six, 8);
  if (!st) st = del("Blk");
  if (!st) st = OSMemAlloc(0x33E6, 100, &blk);
  char* p = st ? nullptr : static_cast<char*>(OSLockObject(blk));
  if (!st && !p) st = ERR_MEMORY;
  if (!st) {
    memset(p, 0, 100);
    p[0] = 0x0E;
    OSUnlockObject(blk);
    st = QDSItemAppendByBLOCKID(n, 0, "Blk", 3, BLOCKID{blk, 0}, 100, nullptr);
    if (!st) blk = 0;  // the document's now
  }
  if (!st) {  // reads report "nothing" rather than a status
    QDSItemGetText(n, "Subject", buf, sizeof buf);
    QDSItemGetNumber(n, "Status", &d);
    QDSItemGetTime(n, "When", &t);
  }
  if (!st) st = QDSNoteCopy(n, &c);
  if (!st) st = QDSNoteUpdate(n, 0);
  if (!st) QDSNoteSetInfo(c, _NOTE_ID, nullptr);
  if (!st) st = QDSNoteUpdate(c, 0);
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
  if (!st) {
    st = QVWOpenCollection(db, db, viewId, 0, 0, &col, nullptr, nullptr,
                           nullptr, nullptr);
  }
  if (!st) {
    st = QVWReadEntries(col, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 100,
                        READ_MASK_NOTEID, &entries, nullptr, nullptr, &got,
                        nullptr);
  }
  if (!st) st = OSMemAlloc(0x1234, 64, &data);
  if (!st) st = QDSDbWriteObject(db, rrv, data, 0, 64);
  if (!st) st = QDSDbReadObject(db, rrv, 10, 0xFFFFFFFF, &read);

  for (DHANDLE h : {read, data, entries, formula, blk}) {
    if (h) OSMemFree(h);
  }
  if (col) QVWCloseCollection(col);
  if (c) QDSNoteClose(c);
  if (n) QDSNoteClose(n);
  if (db) QDSDbClose(db);
  return st;
}

TEST_F(FaultTest, EveryAllocationAndLockFailureIsClean) {
  DBHANDLE db = NewDb("fault.qds");
  NOTEID id = SaveDoc(db, 7, "subject");
  NOTEID viewId = 0;
  ASSERT_EQ(QDSViewCreate(db, "V", "Status = 6", &viewId), NOERROR);
  DWORD rrv = 0;
  ASSERT_EQ(QDSDbAllocObject(db, 100, 1, 0, &rrv), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(Scenario(id, viewId, rrv), NOERROR);  // the clean run works

  const DWORD base = OSMemTestTotalBlocks();
  int failures = 0;
  for (DWORD nth = 1; nth < 2000; ++nth) {
    OSMemTestFailNth(OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK,
                     nth);
    STATUS st = Scenario(id, viewId, rrv);
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

  // The document is whole: exactly one Status and one Blk.
  ASSERT_EQ(QDSDbOpen("fault.qds", &db), NOERROR);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  std::vector<std::string> names = ItemNames(n);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Status"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Blk"), 1);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
