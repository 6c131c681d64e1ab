// Formula search (index plan and scan) and views.
#include "store_test_util.h"

namespace {

using SearchTest = StoreTest;

// Equalities are answered from the index; the same set as a range, by a scan.
TEST_F(SearchTest, PlanAndScanAgree) {
  DBHANDLE db = NewDb("q.qds");
  IdList want;
  for (double s : {11.0, 6.0, 9.0, 7.0, 10.0, 3.0, 11.0, 7.5, 12.0, 11.0}) {
    NOTEID id = SaveDoc(db, s);
    if (s >= 7 && s <= 11 && s != 7.5) want.push_back(id);
  }
  SaveDoc(db, 11, nullptr, NOTE_CLASS_DOCUMENT, 0);  // not summary: never found
  EXPECT_EQ(Ids(db, "((Status = 11) | (Status = 9) | (Status = 10) | (Status = 7))"), want);
  EXPECT_EQ(Ids(db, "Status >= 7 & Status <= 11 & Status != 7.5"), want);
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
  FORMULAHANDLE f = Compile("Status = 1");
  for (FORMULAHANDLE h : {FORMULAHANDLE{0}, f}) {
    int calls = 0;
    EXPECT_EQ(QDSSearch(db, h, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                        [](void* arg, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
                          return ++*static_cast<int*>(arg) == 2 ? 42 : NOERROR;
                        },
                        &calls, nullptr),
              42);
    EXPECT_EQ(calls, 2);
  }
  OSMemFree(f);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// 300 entries read 100 at a time, then past the end; an empty view.
TEST_F(SearchTest, Views) {
  DBHANDLE db = NewDb("v.qds");
  NOTEID views[2] = {};
  ASSERT_EQ(QDSViewCreate(db, "Failed", "Status = 11", &views[0]), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Empty", "Status = 99", &views[1]), NOERROR);
  IdList failed;
  for (int i = 0; i < 330; ++i) {
    NOTEID id = SaveDoc(db, i % 11 == 10 ? 3 : 11);
    if (i % 11 != 10) failed.push_back(id);
  }
  for (int v = 0; v < 2; ++v) {
    HCOLLECTION col = 0;
    ASSERT_EQ(QVWOpenCollection(db, db, views[v], 0, 0, &col, nullptr, nullptr, nullptr,
                                nullptr), NOERROR);
    COLLECTIONPOSITION pos{};
    for (int batch = v ? 3 : 0; batch < 4; ++batch) {
      SCOPED_TRACE(batch);
      DHANDLE buf = 0;
      DWORD skipped = 0, returned = 0;
      WORD length = 0, signal = 0;
      EXPECT_EQ(QVWReadEntries(col, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 100,
                               READ_MASK_NOTEID, &buf, &length, &skipped, &returned, &signal),
                NOERROR);
      if (batch == 3) {  // past the end or empty: nothing, no buffer
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(buf, NULLHANDLE);
        if (buf) OSMemFree(buf);
        break;
      }
      ASSERT_NE(buf, NULLHANDLE);
      const NOTEID* p = static_cast<const NOTEID*>(OSLockObject(buf));
      EXPECT_EQ(IdList(p, p + returned),
                IdList(failed.begin() + batch * 100, failed.begin() + batch * 100 + 100));
      OSUnlockObject(buf);
      OSMemFree(buf);
      EXPECT_EQ((signal & SIGNAL_MORE_TO_DO) != 0, batch < 2);
    }
    EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  }
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
