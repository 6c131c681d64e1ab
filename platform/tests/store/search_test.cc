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

// A collection opened with its view note hands back the note, which
// belongs to the database, and the view's identity.  Entries asked for
// without a buffer are counted and their buffer freed.  A view whose note
// cannot be read fails the open and leaves no collection open.
TEST_F(SearchTest, CollectionHandsBackItsViewNoteOrNothing) {
  DBHANDLE db = NewDb("v.qds");
  NOTEID view = 0;
  ASSERT_EQ(QDSViewCreate(db, "Ones", "Status = 1", &view), NOERROR);
  SaveDoc(db, 1), SaveDoc(db, 1);
  HCOLLECTION col = 0;
  NOTEHANDLE note = 0;
  unsigned char unid[16] = {};
  ASSERT_EQ(QVWOpenCollection(db, db, view, 0, 0, &col, &note, unid, nullptr, nullptr), NOERROR);
  ORIGINATORID oid{};
  DBHANDLE owner = 0;
  QDSNoteGetInfo(note, _NOTE_OID, &oid);
  QDSNoteGetInfo(note, _NOTE_DB, &owner);
  EXPECT_EQ(owner, db);
  EXPECT_EQ(memcmp(unid, &oid.File, sizeof(TIMEDATE)), 0);
  EXPECT_EQ(memcmp(unid + sizeof(TIMEDATE), &oid.Note, sizeof(TIMEDATE)), 0);
  WORD untouched = 0xABCD;
  QDSNoteGetInfo(note, 99, &untouched);
  QDSNoteSetInfo(note, 99, &untouched);
  EXPECT_EQ(untouched, 0xABCD) << "an unknown field is neither read nor written";
  COLLECTIONPOSITION pos{};
  DWORD returned = 0;
  WORD signal = 0;
  const DWORD blocks = OSMemTestTotalBlocks();
  EXPECT_EQ(QVWReadEntries(col, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, 1, READ_MASK_NOTEID,
                           nullptr, nullptr, nullptr, &returned, &signal),
            NOERROR);
  EXPECT_EQ(returned, 1u);
  EXPECT_NE(signal & SIGNAL_MORE_TO_DO, 0);
  EXPECT_EQ(OSMemTestTotalBlocks(), blocks);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);

  const std::string key = std::to_string(int64_t{view} << 24);
  for (const std::string& damage :
       {std::string("UPDATE items SET value = x'05' WHERE name = CAST('$TITLE' AS BLOB)"),
        "UPDATE items SET value = x'0000' WHERE k = " + key}) {
    SCOPED_TRACE(damage);
    Sql("v.qds", damage);
    ASSERT_EQ(QDSDbOpen("v.qds", &db), NOERROR);
    EXPECT_EQ(QVWOpenCollection(db, db, view, 0, 0, &col, &note, nullptr, nullptr, nullptr),
              ERR_DB_CORRUPT);
    EXPECT_EQ(col, 0u);
    DWORD cols = 1;
    QDSTestOpenHandles(nullptr, nullptr, &cols);
    EXPECT_EQ(cols, 0u);
    ASSERT_EQ(QDSDbClose(db), NOERROR);
  }
}

// A formula whose block size a WORD cannot give is refused, at its
// start, with the reason; a block that is not a compiled formula is
// refused by a search.
TEST_F(SearchTest, FormulaTooLongForItsHandleOrNotAFormula) {
  const std::string f = "Subject = \"" + std::string(65520, 'a') + "\"";
  FORMULAHANDLE h = 77;
  STATUS err = 0;
  WORD line = 0, column = 0;
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, f.data(), static_cast<WORD>(f.size()), &h, nullptr,
                              &err, &line, &column, nullptr, nullptr),
            ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(err, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(line, 1);
  EXPECT_EQ(column, 1);
  char msg[64];
  EXPECT_EQ(QDSFormulaErrorText(f.data(), static_cast<WORD>(f.size()), msg, sizeof msg, nullptr,
                                nullptr, nullptr, nullptr),
            ERR_FORMULA_TOO_BIG);
  EXPECT_STREQ(msg, "formula is too long for a formula handle");

  DBHANDLE db = NewDb("f.qds");
  DHANDLE other = 0;
  ASSERT_EQ(OSMemAlloc(0x1234, 16, &other), NOERROR);
  memset(OSLockObject(other), 0, 16);
  OSUnlockObject(other);
  EXPECT_EQ(QDSSearch(db, other, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                      [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS { return NOERROR; },
                      nullptr, nullptr),
            ERR_BAD_FORMULA);
  OSMemFree(other);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
