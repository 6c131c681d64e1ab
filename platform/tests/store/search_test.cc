// Formula search (index plan and scan) and views.

#include "store_test_util.h"

namespace {

using SearchTest = StoreTest;

// Counts matches and stops the search with 42 at the second.
STATUS StopAtTwo(void* arg, SEARCH_MATCH*, ITEM_TABLE*) {
  return ++*static_cast<int*>(arg) == 2 ? 42 : NOERROR;
}

// Equalities: answered from the index.  The same set as a range: a scan.
const char kPlan[] = "((Status = 11) | (Status = 9) | (Status = 10) | (Status = 7))";
const char kScan[] = "Status >= 7 & Status <= 11 & Status != 7.5";

TEST_F(SearchTest, PlanAndScanAgree) {
  DBHANDLE db = NewDb("q.qds");
  IdList ids, want;
  for (double s : {11.0, 6.0, 9.0, 7.0, 10.0, 3.0, 11.0, 7.5, 12.0, 11.0}) {
    ids.push_back(SaveDoc(db, s));
    if (s >= 7 && s <= 11 && s != 7.5) want.push_back(ids.back());
  }
  SaveDoc(db, 11, nullptr, NOTE_CLASS_DOCUMENT, 0);  // not summary: never found
  EXPECT_EQ(Ids(db, kPlan), want);
  EXPECT_EQ(Ids(db, kScan), want);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, ClassMaskAndCallbackStop) {
  DBHANDLE db = NewDb("t.qds");
  NOTEID a = SaveDoc(db, 1, "Hello World");
  SaveDoc(db, 1, "other");
  NOTEID v = SaveDoc(db, 1, "Hello World", NOTE_CLASS_VIEW);
  EXPECT_EQ(Ids(db, "Subject = \"hello world\""), (IdList{a}));
  EXPECT_EQ(Ids(db, "Subject = \"hello world\"", NOTE_CLASS_VIEW), (IdList{v}));
  // A nonzero callback result stops the search (scan or plan) and is returned.
  FORMULAHANDLE f = 0;
  ASSERT_EQ(QDSFormulaCompile(nullptr, 0, "Status = 1", 10, &f, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  for (FORMULAHANDLE h : {FORMULAHANDLE{0}, f}) {
    int calls = 0;
    EXPECT_EQ(QDSSearch(db, h, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                        StopAtTwo, &calls, nullptr),
              42);
    EXPECT_EQ(calls, 2);
  }
  OSMemFree(f);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

struct Read {
  STATUS st;
  std::vector<NOTEID> ids;
  DWORD skipped, returned;
  WORD length, signal;
  bool buffer;
};

Read ReadEntries(HCOLLECTION col, COLLECTIONPOSITION* pos, DWORD count) {
  Read r{};
  DHANDLE buf = 0;
  r.st = QVWReadEntries(col, pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, count,
                        READ_MASK_NOTEID, &buf, &r.length, &r.skipped,
                        &r.returned, &r.signal);
  r.buffer = buf != 0;
  if (buf) {
    const NOTEID* p = static_cast<const NOTEID*>(OSLockObject(buf));
    r.ids.assign(p, p + r.returned);
    OSUnlockObject(buf);
    OSMemFree(buf);
  }
  return r;
}

TEST_F(SearchTest, Views) {
  DBHANDLE db = NewDb("v.qds");
  NOTEID vid = 0, small = 0, empty = 0;
  ASSERT_EQ(QDSViewCreate(db, "Failed", "Status = 11", &vid), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Small", "Status = 3", &small), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Empty", "Status = 99", &empty), NOERROR);
  IdList failed, three;
  for (int i = 0; i < 330; ++i) {
    NOTEID id = SaveDoc(db, i % 11 == 10 ? 3 : 11);
    (i % 11 == 10 ? three : failed).push_back(id);
  }

  // 30 entries, asked for 100.
  HCOLLECTION col = 0;
  ASSERT_EQ(QVWOpenCollection(db, db, small, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  COLLECTIONPOSITION pos{};
  Read r = ReadEntries(col, &pos, 100);
  EXPECT_EQ(r.st, NOERROR);
  EXPECT_EQ(r.ids, three);
  EXPECT_EQ(r.signal & SIGNAL_MORE_TO_DO, 0);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);

  // 300 entries, 100 at a time.
  ASSERT_EQ(QVWOpenCollection(db, db, vid, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  pos = COLLECTIONPOSITION{};
  for (int batch = 0; batch < 4; ++batch) {
    SCOPED_TRACE(batch);
    r = ReadEntries(col, &pos, 100);
    EXPECT_EQ(r.st, NOERROR);
    if (batch == 3) break;
    EXPECT_EQ(r.ids, IdList(failed.begin() + batch * 100, failed.begin() + batch * 100 + 100));
    EXPECT_EQ((r.signal & SIGNAL_MORE_TO_DO) != 0, batch < 2);
  }
  EXPECT_EQ(r.returned, 0u);  // past the end: nothing, no buffer
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);

  // An empty view gives no buffer.
  ASSERT_EQ(QVWOpenCollection(db, db, empty, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  pos = COLLECTIONPOSITION{};
  r = ReadEntries(col, &pos, 100);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_FALSE(r.buffer);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
