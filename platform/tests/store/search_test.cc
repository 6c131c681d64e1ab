// Formula search (index plan and scan), its summary tables, and views.
#include <algorithm>

#include "store_test_util.h"

namespace {

using SearchTest = StoreTest;
using Table = std::vector<std::pair<std::string, std::string>>;  // name, value

struct Hits {
  std::vector<NOTEID> ids;
  std::vector<Table> tables;
  int stopAt = 0;  // stop with 42 at this match (1-based)
};

// Splits a summary table into its items, checking its stated length.
Table Parse(const ITEM_TABLE* t) {
  const char* p = reinterpret_cast<const char*>(t);
  const ITEM* items = reinterpret_cast<const ITEM*>(p + sizeof *t);
  size_t at = sizeof *t + t->Items * sizeof(ITEM);
  Table out;
  for (WORD i = 0; i < t->Items; ++i) {
    out.emplace_back(std::string(p + at, items[i].NameLength),
                     std::string(p + at + items[i].NameLength, items[i].ValueLength));
    at += items[i].NameLength + items[i].ValueLength;
  }
  EXPECT_EQ(t->Length, std::min<size_t>(at, 0xFFFF));
  return out;
}

STATUS Collect(void* arg, SEARCH_MATCH* m, ITEM_TABLE* t) {
  Hits* h = static_cast<Hits*>(arg);
  EXPECT_EQ(m->SERetFlags, SE_FMATCH);
  h->ids.push_back(m->ID.NoteID);
  h->tables.push_back(Parse(t));
  return h->stopAt && static_cast<int>(h->ids.size()) == h->stopAt ? 42 : NOERROR;
}

STATUS Search(DBHANDLE db, const char* formula, Hits* hits) {
  FORMULAHANDLE f = 0;
  if (formula) {
    STATUS st = QDSFormulaCompile(nullptr, 0, formula,
                                  static_cast<WORD>(strlen(formula)), &f, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
    if (st) return st;
  }
  STATUS st = QDSSearch(db, f, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                        nullptr, Collect, hits, nullptr);
  if (f) OSMemFree(f);
  return st;
}

// A stored number: type code, then the double.
std::string Num(double d) {
  return std::string("\x00\x03", 2) + std::string(reinterpret_cast<char*>(&d), 8);
}

// Equalities only: answered from the index.  The same set as a range:
// evaluated document by document.
const char kPlan[] = "((Status = 11) | (Status = 9) | (Status = 10) | (Status = 7))";
const char kScan[] = "Status >= 7 & Status <= 11 & Status != 7.5";

// Searches remember documents between runs; every save and delete must
// show in the next search all the same, through either path.
TEST_F(SearchTest, PlanAndScanAgreeAndFollowEveryChange) {
  DBHANDLE db = NewDb("q.qds");
  IdList ids, want;
  for (double s : {11.0, 6.0, 9.0, 7.0, 10.0, 3.0, 11.0, 7.5, 12.0, 11.0}) {
    ids.push_back(SaveDoc(db, s));
    if (s >= 7 && s <= 11 && s != 7.5) want.push_back(ids.back());
  }
  NOTEID hidden = SaveDoc(db, 11, nullptr, NOTE_CLASS_DOCUMENT, 0);  // not summary
  EXPECT_EQ(Ids(db, kPlan), want);
  EXPECT_EQ(Ids(db, kScan), want);
  EXPECT_EQ(Ids(db, "status = 3"), (IdList{ids[5]}));  // names fold case
  EXPECT_EQ(Ids(db, "Status = 11 & Status = 9").size(), 0u);
  // An absent item fails the comparison, so its negation holds.
  EXPECT_EQ(Ids(db, "!(Status = 6)").size(), ids.size());
  IdList all = Ids(db, nullptr);  // formula 0: every document, in id order
  EXPECT_EQ(all.size(), ids.size() + 1);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.back(), hidden);

  SetStatus(db, ids[0], 6);  // leaves
  SetStatus(db, ids[1], 9);  // joins, in its place in id order
  ASSERT_EQ(QDSNoteDelete(db, ids[2], 0), NOERROR);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, ids[3], 0, &n), NOERROR);  // becomes a form
  WORD cls = NOTE_CLASS_FORM;
  QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
  SaveAndClose(n);
  TIMEDATE mid;
  OSCurrentTIMEDATE(&mid);
  ASSERT_EQ(QDSNoteOpen(db, ids[4], 0, &n), NOERROR);  // gains an item
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Extra", 5, TYPE_TEXT, "x", 1), NOERROR);
  SaveAndClose(n);
  want = {ids[1], ids[4], ids[6], ids[9]};
  EXPECT_EQ(Ids(db, kPlan), want);
  EXPECT_EQ(Ids(db, kScan), want);
  EXPECT_EQ(Ids(db, kPlan, NOTE_CLASS_FORM), (IdList{ids[3]}));
  EXPECT_EQ(Ids(db, kPlan, NOTE_CLASS_DOCUMENT, &mid), (IdList{ids[4]}));
  Hits h;
  ASSERT_EQ(Search(db, "Extra = \"X\"", &h), NOERROR);
  ASSERT_EQ(h.ids, (IdList{ids[4]}));
  EXPECT_EQ(h.tables[0], (Table{{"Status", Num(10)}, {"Extra", std::string("\x00\x05x", 3)}}));

  // A callback that saves the document it is told about.
  struct Saver {
    DBHANDLE db;
    int calls = 0;
  } saver{db};
  ASSERT_EQ(QDSSearch(
                db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                [](void* arg, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                  Saver* s = static_cast<Saver*>(arg);
                  ++s->calls;
                  SetStatus(s->db, m->ID.NoteID, 6);
                  return NOERROR;
                },
                &saver, nullptr),
            NOERROR);
  EXPECT_EQ(saver.calls, 9);
  EXPECT_EQ(Ids(db, kPlan).size(), 0u);
  EXPECT_EQ(Ids(db, kScan).size(), 0u);
  EXPECT_EQ(Ids(db, "Status = 6").size(), 9u);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, TextsListsMaskSinceStopAndErrors) {
  DBHANDLE db = NewDb("t.qds");
  NOTEID a = SaveDoc(db, 1, "Hello World");
  NOTEID b = SaveDoc(db, 2, "other");
  NOTEID v = SaveDoc(db, 1, "Hello World", NOTE_CLASS_VIEW);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  const char list[] = {2, 0, 3, 0, 5, 0, 'o', 'n', 'e', 'T', 'w', 'o', '!', '!'};
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Tags", 4, TYPE_TEXT_LIST, list, sizeof list),
            NOERROR);
  NOTEID c = SaveAndClose(n);

  EXPECT_EQ(Ids(db, "Subject = \"hello world\""), (IdList{a}));
  EXPECT_EQ(Ids(db, "Subject = \"hello world\"", NOTE_CLASS_ALL), (IdList{a, v}));
  EXPECT_EQ(Ids(db, "Subject = \"hello world\"", NOTE_CLASS_VIEW), (IdList{v}));
  EXPECT_EQ(Ids(db, "Tags = \"TWO!!\""), (IdList{c}));
  EXPECT_EQ(Ids(db, "Tags = \"one\" | Status = 2"), (IdList{b, c}));
  EXPECT_EQ(Ids(db, "Subject = 1").size(), 0u);  // text never equals number

  // Since: only documents saved afterwards.
  TIMEDATE mid, wild;
  OSCurrentTIMEDATE(&mid);
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  NOTEID d = SaveDoc(db, 1, "late");
  EXPECT_EQ(Ids(db, "Status = 1", NOTE_CLASS_DOCUMENT, &mid), (IdList{d}));
  EXPECT_EQ(Ids(db, nullptr, NOTE_CLASS_DOCUMENT, &mid), (IdList{d}));
  EXPECT_EQ(Ids(db, "Status = 1", NOTE_CLASS_DOCUMENT, &wild), (IdList{a, d}));

  // A nonzero callback result stops the search (scan or plan) and is returned.
  for (const char* f : {static_cast<const char*>(nullptr), "Status = 1"}) {
    Hits h;
    h.stopAt = 2;
    EXPECT_EQ(Search(db, f, &h), 42);
    EXPECT_EQ(h.ids.size(), 2u);
  }
  Hits h;
  EXPECT_EQ(QDSSearch(db, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, nullptr,
                      nullptr, nullptr),
            ERR_BAD_ARG);
  EXPECT_EQ(QDSSearch(0, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, Collect, &h,
                      nullptr),
            ERR_BAD_DB);
  DHANDLE notFormula = 0;
  ASSERT_EQ(OSMemAlloc(1, 16, &notFormula), NOERROR);
  memset(OSLockObject(notFormula), 0, 16);
  OSUnlockObject(notFormula);
  EXPECT_EQ(QDSSearch(db, notFormula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                      Collect, &h, nullptr),
            ERR_BAD_FORMULA);
  OSMemFree(notFormula);
  EXPECT_EQ(Search(db, "Status = = 1", &h), ERR_FORMULA_SYNTAX);
  EXPECT_TRUE(h.ids.empty());
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, TableHoldsSummaryItemsInOrderAndIndexFollowsStoredValues) {
  DBHANDLE db = NewDb("it.qds");
  NOTEID id = SaveDoc(db, 11);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  // A caller scribbles over the value in memory, then replaces the item:
  // the index rows of the stored value 11 must still go.
  BLOCKID bid;
  ASSERT_EQ(QDSItemInfo(n, "Status", 6, nullptr, &bid, nullptr), NOERROR);
  double junk = 99;
  memcpy(OSLockBlock(bid) + 2, &junk, 8);
  OSUnlockBlock(bid);
  ASSERT_EQ(QDSItemDelete(n, "Status", 6), NOERROR);
  double six = 6;
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &six, 8), NOERROR);
  // Non-summary items stay out; a large summary text keeps its place.
  ASSERT_EQ(QDSItemAppend(n, 0, "Body", 4, TYPE_TEXT, "secret", 6), NOERROR);
  std::string big = std::string("\x00\x05", 2) + std::string(5000, 'b');
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Big", 3, TYPE_TEXT, big.data() + 2, 5000),
            NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Subj", 4, TYPE_TEXT, "hi", 2), NOERROR);
  SaveAndClose(n);
  EXPECT_EQ(Ids(db, "Status = 11").size(), 0u);
  EXPECT_EQ(Ids(db, "Status = 99").size(), 0u);
  Hits h;
  ASSERT_EQ(Search(db, "Status = 6", &h), NOERROR);
  ASSERT_EQ(h.ids, (IdList{id}));
  EXPECT_EQ(h.tables[0],
            (Table{{"Status", Num(6)}, {"Big", big}, {"Subj", std::string("\x00\x05hi", 4)}}));
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
  NOTEID vid = 0, small = 0, empty = 0, found = 0;
  EXPECT_EQ(QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &vid), ERR_VIEW_NOT_FOUND);
  ASSERT_EQ(QDSViewCreate(db, "Failed", "Status = 11", &vid), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Small", "Status = 3", &small), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Empty", "Status = 99", nullptr), NOERROR);
  EXPECT_EQ(QDSViewCreate(db, "Broken", "Status = = 3", nullptr), ERR_FORMULA_SYNTAX);
  ASSERT_EQ(QVWFindDesignNote(db, "FAILED", NOTE_CLASS_VIEW, &found), NOERROR);
  EXPECT_EQ(found, vid);
  EXPECT_EQ(QVWFindDesignNote(db, "Failed", NOTE_CLASS_FORM, &found), ERR_VIEW_NOT_FOUND);
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
  EXPECT_EQ(r.returned, 30u);
  EXPECT_EQ(r.skipped, 1u);
  EXPECT_EQ(r.length, 120);
  EXPECT_EQ(r.signal & SIGNAL_MORE_TO_DO, 0);
  EXPECT_EQ(pos.Tumbler[0], 30u);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), ERR_BAD_COLLECTION);

  // 300 entries, 100 at a time; the collection is a snapshot.
  NOTEHANDLE viewNote = 0;
  ASSERT_EQ(QVWOpenCollection(db, db, vid, 0, 0, &col, &viewNote, nullptr, nullptr, nullptr),
            NOERROR);
  EXPECT_EQ(ItemBytes(viewNote, "$TITLE").substr(2), "Failed");
  EXPECT_EQ(QDSNoteClose(viewNote), NOERROR);
  SaveDoc(db, 11);             // added after the open
  SetStatus(db, failed[0], 6);  // no longer matches
  pos = COLLECTIONPOSITION{};
  for (int batch = 0; batch < 4; ++batch) {
    SCOPED_TRACE(batch);
    r = ReadEntries(col, &pos, 100);
    EXPECT_EQ(r.st, NOERROR);
    if (batch == 3) break;
    EXPECT_EQ(r.ids, IdList(failed.begin() + batch * 100, failed.begin() + batch * 100 + 100));
    EXPECT_EQ((r.signal & SIGNAL_MORE_TO_DO) != 0, batch < 2);
    EXPECT_EQ(pos.Tumbler[0], (batch + 1) * 100u);
  }
  EXPECT_EQ(r.returned, 0u);  // past the end: nothing, no buffer
  EXPECT_FALSE(r.buffer);
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);

  // An empty view gives no buffer; null out pointers are fine.
  ASSERT_EQ(QVWFindDesignNote(db, "empty", NOTE_CLASS_VIEW, &empty), NOERROR);
  ASSERT_EQ(QVWOpenCollection(db, db, empty, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  pos = COLLECTIONPOSITION{};
  r = ReadEntries(col, &pos, 100);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_FALSE(r.buffer);
  EXPECT_EQ(QVWReadEntries(col, nullptr, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 5,
                           READ_MASK_NOTEID, nullptr, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  EXPECT_EQ(QVWOpenCollection(db, db, 999999, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            ERR_VIEW_NOT_FOUND);
  // Closing the database closes its collections too.
  ASSERT_EQ(QVWOpenCollection(db, db, vid, 0, 0, &col, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), ERR_BAD_COLLECTION);
}

}  // namespace
