// Fault injection: every allocation and lock the store makes is made to
// fail in turn.  Each call must then report a STATUS (or its documented
// "nothing" value), leave no memory behind once everything is closed, and
// leave the stored documents whole.
#include "store_test_util.h"

namespace {

using FaultTest = StoreTest;

STATUS CountMatch(void* arg, SEARCH_MATCH*, ITEM_TABLE*) {
  ++*static_cast<int*>(arg);
  return NOERROR;
}

// One pass over most store calls; releases everything it got, whatever
// failed.  Returns the first failure.
STATUS Scenario(NOTEID id, NOTEID viewId, DWORD rrv) {
  DBHANDLE db = 0;
  NOTEHANDLE n = 0, c = 0;
  HCOLLECTION col = 0;
  DHANDLE entries = 0, formula = 0, data = 0, read = 0, blk = 0;
  STATUS st = QDSDbOpen("fault.qds", &db);
  if (!st) st = QDSNoteOpen(db, id, 0, &n);
  if (!st) {
    STATUS d = QDSItemDelete(n, "Status", 6);
    if (d != ERR_ITEM_NOT_FOUND) st = d;
  }
  if (!st) {
    double s = 6;
    st = QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &s, 8);
  }
  if (!st) {
    STATUS d = QDSItemDelete(n, "Blk", 3);
    if (d != ERR_ITEM_NOT_FOUND) st = d;
  }
  if (!st) st = OSMemAlloc(0x33E6, 100, &blk);
  if (!st) {
    char* p = static_cast<char*>(OSLockObject(blk));
    if (p == nullptr) {
      st = ERR_MEMORY;
    } else {
      memset(p, 0, 100);
      p[0] = 0x0E;
      OSUnlockObject(blk);
      st = QDSItemAppendByBLOCKID(n, 0, "Blk", 3, BLOCKID{blk, 0}, 100, nullptr);
      if (!st) blk = 0;  // the document's now
    }
  }
  if (!st) {
    char buf[8];
    double d;
    TIMEDATE t;
    QDSItemGetText(n, "Subject", buf, sizeof buf);
    QDSItemGetNumber(n, "Status", &d);
    QDSItemGetTime(n, "When", &t);
  }
  if (!st) st = QDSNoteCopy(n, &c);
  if (!st) st = QDSNoteUpdate(n, 0);
  if (!st) {
    QDSNoteSetInfo(c, _NOTE_ID, nullptr);
    st = QDSNoteUpdate(c, 0);
  }
  if (!st) {
    const char f[] = "Status = 6 | Status = 7";
    st = QDSFormulaCompile(nullptr, 0, f, sizeof f - 1, &formula, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  int matches = 0;
  if (!st) {
    st = QDSSearch(db, formula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                   nullptr, CountMatch, &matches, nullptr);
  }
  if (!st) {
    st = QDSSearch(db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                   nullptr, CountMatch, &matches, nullptr);
  }
  if (!st) {
    st = QVWOpenCollection(db, db, viewId, 0, 0, &col, nullptr, nullptr,
                           nullptr, nullptr);
  }
  if (!st) {
    COLLECTIONPOSITION pos{};
    DWORD got = 0;
    st = QVWReadEntries(col, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 100,
                        READ_MASK_NOTEID, &entries, nullptr, nullptr, &got,
                        nullptr);
  }
  if (!st) st = OSMemAlloc(0x1234, 64, &data);
  if (!st) st = QDSDbWriteObject(db, rrv, data, 0, 64);
  if (!st) st = QDSDbReadObject(db, rrv, 10, 0xFFFFFFFF, &read);

  if (read) OSMemFree(read);
  if (data) OSMemFree(data);
  if (entries) OSMemFree(entries);
  if (formula) OSMemFree(formula);
  if (blk) OSMemFree(blk);
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
  int status = 0, blk = 0;
  for (DWORD i = 0; i < QDSItemCount(n); ++i) {
    char name[16];
    WORD nl = 0;
    ASSERT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nl, nullptr, nullptr,
                                 nullptr, nullptr),
              NOERROR);
    status += std::string(name, nl) == "Status";
    blk += std::string(name, nl) == "Blk";
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(blk, 1);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
