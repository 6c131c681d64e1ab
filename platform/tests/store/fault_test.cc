// Fault injection: every allocation and lock the store makes is made to
// fail in turn.  Each call must then report a STATUS (or its documented
// "nothing" value), leave no memory behind once everything is closed, and
// leave the stored documents whole.
#include <algorithm>
#include <functional>

#include "store_test_util.h"

namespace {

using FaultTest = StoreTest;

STATUS CountMatch(void* arg, SEARCH_MATCH*, ITEM_TABLE*) {
  ++*static_cast<int*>(arg);
  return NOERROR;
}

// Treats "no such item" as success, for deletes of a name the last
// (failed) pass may not have written.
STATUS Missing(STATUS st) { return st == ERR_ITEM_NOT_FOUND ? NOERROR : st; }

// One pass over most store calls, stopping at the first failure; releases
// everything it got whatever failed.
STATUS Scenario(NOTEID id, NOTEID viewId, DWORD rrv) {
  DBHANDLE db = 0;
  NOTEHANDLE n = 0, c = 0;
  HCOLLECTION col = 0;
  DHANDLE entries = 0, formula = 0, data = 0, read = 0, blk = 0;
  double six = 6;
  int matches = 0;
  const char f[] = "Status = 6 | Status = 7";
  const std::function<STATUS()> steps[] = {
      [&] { return QDSDbOpen("fault.qds", &db); },
      [&] { return QDSNoteOpen(db, id, 0, &n); },
      [&] { return Missing(QDSItemDelete(n, "Status", 6)); },
      [&] { return QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &six, 8); },
      [&] { return Missing(QDSItemDelete(n, "Blk", 3)); },
      [&] { return OSMemAlloc(0x33E6, 100, &blk); },
      [&]() -> STATUS {
        char* p = static_cast<char*>(OSLockObject(blk));
        if (!p) return ERR_MEMORY;
        memset(p, 0, 100);
        p[0] = 0x0E;
        OSUnlockObject(blk);
        STATUS st = QDSItemAppendByBLOCKID(n, 0, "Blk", 3, BLOCKID{blk, 0}, 100, nullptr);
        if (!st) blk = 0;  // the document's now
        return st;
      },
      [&]() -> STATUS {
        char buf[8];
        double d;
        TIMEDATE t;
        QDSItemGetText(n, "Subject", buf, sizeof buf);
        QDSItemGetNumber(n, "Status", &d);
        QDSItemGetTime(n, "When", &t);
        return NOERROR;
      },
      [&] { return QDSNoteCopy(n, &c); },
      [&] { return QDSNoteUpdate(n, 0); },
      [&] {
        QDSNoteSetInfo(c, _NOTE_ID, nullptr);
        return QDSNoteUpdate(c, 0);
      },
      [&] {
        return QDSFormulaCompile(nullptr, 0, f, sizeof f - 1, &formula, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
      },
      [&] {  // index plan, then scan
        return QDSSearch(db, formula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                         nullptr, CountMatch, &matches, nullptr);
      },
      [&] {
        return QDSSearch(db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                         nullptr, CountMatch, &matches, nullptr);
      },
      [&] {
        return QVWOpenCollection(db, db, viewId, 0, 0, &col, nullptr, nullptr,
                                 nullptr, nullptr);
      },
      [&] {
        COLLECTIONPOSITION pos{};
        DWORD got = 0;
        return QVWReadEntries(col, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 100,
                              READ_MASK_NOTEID, &entries, nullptr, nullptr, &got,
                              nullptr);
      },
      [&] { return OSMemAlloc(0x1234, 64, &data); },
      [&] { return QDSDbWriteObject(db, rrv, data, 0, 64); },
      [&] { return QDSDbReadObject(db, rrv, 10, 0xFFFFFFFF, &read); },
  };
  STATUS st = NOERROR;
  for (const auto& step : steps) {
    if ((st = step()) != NOERROR) break;
  }
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
