// Formula search (index plan and scan) and views.
#include <algorithm>

#include "store_test_util.h"

namespace {

using SearchTest = StoreTest;

struct Hits {
  std::vector<NOTEID> ids;
  std::vector<WORD> classes;
  std::vector<std::string> tables;  // raw ITEM_TABLE bytes
  int stopAt = 0;                   // stop with 42 at this match (1-based)
};

STATUS Collect(void* arg, SEARCH_MATCH* m, ITEM_TABLE* t) {
  Hits* h = static_cast<Hits*>(arg);
  EXPECT_EQ(m->SERetFlags, SE_FMATCH);
  EXPECT_EQ(m->ID.NoteID, m->ID.NoteID);
  h->ids.push_back(m->ID.NoteID);
  h->classes.push_back(m->NoteClass);
  h->tables.emplace_back(reinterpret_cast<const char*>(t), t->Length);
  if (h->stopAt && static_cast<int>(h->ids.size()) == h->stopAt) return 42;
  return NOERROR;
}

STATUS Search(DBHANDLE db, const char* formula, Hits* hits,
              WORD mask = NOTE_CLASS_DOCUMENT, const TIMEDATE* since = nullptr) {
  FORMULAHANDLE f = 0;
  if (formula) {
    WORD len = 0;
    STATUS st = QDSFormulaCompile(nullptr, 0, formula,
                                  static_cast<WORD>(strlen(formula)), &f, &len,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
    if (st) return st;
  }
  TIMEDATE until;
  STATUS st = QDSSearch(db, f, nullptr, SEARCH_SUMMARY, mask, since, Collect,
                        hits, &until);
  if (f) OSMemFree(f);
  return st;
}

std::vector<NOTEID> Ids(DBHANDLE db, const char* formula,
                        WORD mask = NOTE_CLASS_DOCUMENT,
                        const TIMEDATE* since = nullptr) {
  Hits h;
  EXPECT_EQ(Search(db, formula, &h, mask, since), NOERROR) << formula;
  return h.ids;
}

const char kRequeue[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

NOTEID SaveStatus(DBHANDLE db, double status, WORD flags = ITEM_SUMMARY) {
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
  EXPECT_EQ(QDSItemAppend(n, 0, "WQSMsgInfo", 10, TYPE_USERDATA,
                          std::string(86, 'i').data(), 86),
            NOERROR);
  EXPECT_EQ(QDSItemAppend(n, flags, "WQMsgStatus", 11, TYPE_NUMBER, &status, 8),
            NOERROR);
  EXPECT_EQ(QDSNoteUpdate(n, UPDATE_FORCE), NOERROR);
  NOTEID id = 0;
  QDSNoteGetInfo(n, _NOTE_ID, &id);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  return id;
}

void SetStatus(DBHANDLE db, NOTEID id, double status) {
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSItemDelete(n, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER,
                          &status, 8),
            NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
}

TEST_F(SearchTest, PlanAndScanAgreeAndFollowChanges) {
  DBHANDLE db = NewDb("q.qds");
  std::vector<NOTEID> want;
  double statuses[] = {11, 6, 9, 7, 10, 3, 11, 7.5, 12};
  std::vector<NOTEID> ids;
  for (double s : statuses) {
    ids.push_back(SaveStatus(db, s));
    if (s == 11 || s == 9 || s == 10 || s == 7) want.push_back(ids.back());
  }
  // Not a summary item: invisible to every formula.
  NOTEID hidden = SaveStatus(db, 11, 0);
  EXPECT_EQ(Ids(db, kRequeue), want);  // index plan
  EXPECT_EQ(Ids(db, "WQMsgStatus >= 7 & WQMsgStatus <= 11 & WQMsgStatus != 7.5"),
            want);  // scan
  // An absent item fails the comparison, so its negation holds.
  EXPECT_EQ(Ids(db, "!(WQMsgStatus = 6)").size(), ids.size());
  std::vector<NOTEID> all = Ids(db, nullptr);
  EXPECT_EQ(all.size(), ids.size() + 1);  // formula 0: every document
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_NE(std::find(all.begin(), all.end(), hidden), all.end());
  EXPECT_EQ(Ids(db, "wqmsgstatus = 3"), (std::vector<NOTEID>{ids[5]}));

  // A saved message no longer matches; the index follows the change.
  SetStatus(db, ids[0], 6);
  want.erase(want.begin());
  EXPECT_EQ(Ids(db, kRequeue), want);
  SetStatus(db, ids[1], 9);  // now matches, keeps its place in id order
  want.insert(want.begin(), ids[1]);
  EXPECT_EQ(Ids(db, kRequeue), want);
  ASSERT_EQ(QDSNoteDelete(db, ids[2], 0), NOERROR);
  want.erase(std::find(want.begin(), want.end(), ids[2]));
  EXPECT_EQ(Ids(db, kRequeue), want);
  EXPECT_EQ(Ids(db, "WQMsgStatus = 11 & WQMsgStatus = 9").size(), 0u);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, TextsListsMaskSinceAndStop) {
  DBHANDLE db = NewDb("t.qds");
  NOTEID a = SaveDoc(db, 1, "Hello World");
  NOTEID b = SaveDoc(db, 2, "other");
  NOTEID v = SaveDoc(db, 1, "Hello World", NOTE_CLASS_VIEW);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  const char list[] = {2, 0, 3, 0, 5, 0, 'o', 'n', 'e', 'T', 'w', 'o', '!', '!'};
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Tags", 4, TYPE_TEXT_LIST, list,
                          sizeof list),
            NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  NOTEID c = 0;
  QDSNoteGetInfo(n, _NOTE_ID, &c);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);

  EXPECT_EQ(Ids(db, "Subject = \"hello world\""), (std::vector<NOTEID>{a}));
  EXPECT_EQ(Ids(db, "Subject = \"hello world\"", NOTE_CLASS_ALL),
            (std::vector<NOTEID>{a, v}));
  EXPECT_EQ(Ids(db, "Subject = \"hello world\"", NOTE_CLASS_VIEW),
            (std::vector<NOTEID>{v}));
  EXPECT_EQ(Ids(db, "Tags = \"TWO!!\""), (std::vector<NOTEID>{c}));
  EXPECT_EQ(Ids(db, "Tags = \"one\" | Status = 2"), (std::vector<NOTEID>{b, c}));
  EXPECT_EQ(Ids(db, "Subject = 1").size(), 0u);  // text never equals number

  // Since: only documents saved afterwards.
  TIMEDATE mid;
  OSCurrentTIMEDATE(&mid);
  NOTEID d = SaveDoc(db, 1, "late");
  EXPECT_EQ(Ids(db, "Status = 1", NOTE_CLASS_DOCUMENT, &mid),
            (std::vector<NOTEID>{d}));
  EXPECT_EQ(Ids(db, nullptr, NOTE_CLASS_DOCUMENT, &mid), (std::vector<NOTEID>{d}));
  TIMEDATE wild;
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  EXPECT_EQ(Ids(db, "Status = 1", NOTE_CLASS_DOCUMENT, &wild),
            (std::vector<NOTEID>{a, d}));

  // A nonzero callback result stops the search and is returned.
  Hits h;
  h.stopAt = 2;
  EXPECT_EQ(Search(db, nullptr, &h), 42);
  EXPECT_EQ(h.ids.size(), 2u);
  Hits h2;
  h2.stopAt = 1;
  EXPECT_EQ(Search(db, "Status = 1", &h2), 42);
  EXPECT_EQ(h2.ids.size(), 1u);

  // Bad arguments.
  EXPECT_EQ(QDSSearch(db, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, nullptr,
                      nullptr, nullptr),
            ERR_BAD_ARG);
  EXPECT_EQ(QDSSearch(0, 0, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, Collect,
                      &h, nullptr),
            ERR_BAD_DB);
  DHANDLE notFormula = 0;
  ASSERT_EQ(OSMemAlloc(1, 16, &notFormula), NOERROR);
  memset(OSLockObject(notFormula), 0, 16);
  OSUnlockObject(notFormula);
  EXPECT_EQ(QDSSearch(db, notFormula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                      Collect, &h, nullptr),
            ERR_BAD_FORMULA);
  OSMemFree(notFormula);
  Hits h3;
  EXPECT_EQ(Search(db, "Status = = 1", &h3), ERR_FORMULA_SYNTAX);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, ItemTableHoldsSummaryItemsOnly) {
  DBHANDLE db = NewDb("it.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  double s = 11;
  ASSERT_EQ(QDSItemAppend(n, 0, "Body", 4, TYPE_TEXT, "secret", 6), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER, &s, 8),
            NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Subj", 4, TYPE_TEXT, "hi", 2), NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  Hits h;
  ASSERT_EQ(Search(db, "WQMsgStatus = 11", &h), NOERROR);
  ASSERT_EQ(h.tables.size(), 1u);
  const std::string& t = h.tables[0];
  ASSERT_GE(t.size(), sizeof(ITEM_TABLE));
  ITEM_TABLE head;
  memcpy(&head, t.data(), sizeof head);
  EXPECT_EQ(head.Items, 2);
  EXPECT_EQ(head.Length, 4 + 2 * 4 + 11 + 10 + 4 + 4);
  ITEM items[2];
  memcpy(items, t.data() + 4, sizeof items);
  EXPECT_EQ(items[0].NameLength, 11);
  EXPECT_EQ(items[0].ValueLength, 10);
  EXPECT_EQ(items[1].NameLength, 4);
  EXPECT_EQ(items[1].ValueLength, 4);
  EXPECT_EQ(t.substr(12, 11), "WQMsgStatus");
  EXPECT_EQ(t.substr(23, 2), std::string("\x00\x03", 2));
  EXPECT_EQ(t.substr(33, 4), "Subj");
  EXPECT_EQ(t.substr(37, 4), std::string("\x00\x05hi", 4));
  EXPECT_EQ(t.find("secret"), std::string::npos);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// Searches remember documents between runs; every save and delete must
// show in the next search all the same.
TEST_F(SearchTest, RepeatedSearchesSeeEveryChange) {
  DBHANDLE db = NewDb("cache.qds");
  std::vector<NOTEID> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(SaveStatus(db, 11));
  EXPECT_EQ(Ids(db, kRequeue), ids);
  EXPECT_EQ(Ids(db, "WQMsgStatus > 0"), ids);  // scan, fills the rest
  SetStatus(db, ids[0], 6);
  ASSERT_EQ(QDSNoteDelete(db, ids[1], 0), NOERROR);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, ids[2], 0, &n), NOERROR);
  WORD cls = NOTE_CLASS_FORM;
  QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  TIMEDATE mid;
  OSCurrentTIMEDATE(&mid);
  ASSERT_EQ(QDSNoteOpen(db, ids[3], 0, &n), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Extra", 5, TYPE_TEXT, "x", 1), NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  std::vector<NOTEID> want = {ids[3], ids[4], ids[5]};
  EXPECT_EQ(Ids(db, kRequeue), want);
  EXPECT_EQ(Ids(db, "WQMsgStatus > 10"), want);
  EXPECT_EQ(Ids(db, kRequeue, NOTE_CLASS_FORM), (std::vector<NOTEID>{ids[2]}));
  EXPECT_EQ(Ids(db, kRequeue, NOTE_CLASS_DOCUMENT, &mid),
            (std::vector<NOTEID>{ids[3]}));
  Hits h;
  ASSERT_EQ(Search(db, "Extra = \"X\"", &h), NOERROR);
  ASSERT_EQ(h.ids, (std::vector<NOTEID>{ids[3]}));
  ITEM_TABLE head;
  memcpy(&head, h.tables[0].data(), sizeof head);
  EXPECT_EQ(head.Items, 2);
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
  EXPECT_EQ(saver.calls, 4);
  EXPECT_EQ(Ids(db, kRequeue).size(), 0u);
  EXPECT_EQ(Ids(db, "WQMsgStatus = 6").size(), 4u);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(SearchTest, IndexFollowsStoredValuesAndLargeSummaryItemsKeepOrder) {
  DBHANDLE db = NewDb("ix.qds");
  NOTEID id = SaveStatus(db, 11);
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  // A caller scribbles over the value in memory, then replaces the item:
  // the index rows of the stored value 11 must still go.
  BLOCKID bid;
  ASSERT_EQ(QDSItemInfo(n, "WQMsgStatus", 11, nullptr, &bid, nullptr), NOERROR);
  char* p = OSLockBlock(bid);
  double junk = 99;
  memcpy(p + 2, &junk, 8);
  OSUnlockBlock(bid);
  ASSERT_EQ(QDSItemDelete(n, "WQMsgStatus", 11), NOERROR);
  double six = 6;
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER, &six, 8),
            NOERROR);
  // A large summary text between small items.
  std::string big(5000, 'b');
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Big", 3, TYPE_TEXT, big.data(),
                          static_cast<DWORD>(big.size())),
            NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "After", 5, TYPE_TEXT, "a", 1), NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(Ids(db, "WQMsgStatus = 11").size(), 0u);
  EXPECT_EQ(Ids(db, "WQMsgStatus = 99").size(), 0u);
  EXPECT_EQ(Ids(db, "WQMsgStatus = 6"), (std::vector<NOTEID>{id}));

  Hits h;
  ASSERT_EQ(Search(db, "After = \"A\"", &h), NOERROR);
  ASSERT_EQ(h.tables.size(), 1u);
  ITEM_TABLE head;
  memcpy(&head, h.tables[0].data(), sizeof head);
  ASSERT_EQ(head.Items, 3);
  ITEM items[3];
  memcpy(items, h.tables[0].data() + sizeof head, sizeof items);
  EXPECT_EQ(items[0].NameLength, 11);  // WQMsgStatus
  EXPECT_EQ(items[1].NameLength, 3);   // Big
  EXPECT_EQ(items[1].ValueLength, 5002);
  EXPECT_EQ(items[2].NameLength, 5);   // After
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
  NOTEID vid = 0;
  EXPECT_EQ(QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &vid),
            ERR_VIEW_NOT_FOUND);
  ASSERT_EQ(QDSViewCreate(db, "Failed", "WQMsgStatus = 11", &vid), NOERROR);
  NOTEID small = 0;
  ASSERT_EQ(QDSViewCreate(db, "Small", "WQMsgStatus = 3", &small), NOERROR);
  ASSERT_EQ(QDSViewCreate(db, "Empty", "WQMsgStatus = 99", nullptr), NOERROR);
  EXPECT_EQ(QDSViewCreate(db, "Broken", "WQMsgStatus = = 3", nullptr),
            ERR_FORMULA_SYNTAX);
  NOTEID found = 0;
  ASSERT_EQ(QVWFindDesignNote(db, "FAILED", NOTE_CLASS_VIEW, &found), NOERROR);
  EXPECT_EQ(found, vid);
  EXPECT_EQ(QVWFindDesignNote(db, "Failed", NOTE_CLASS_FORM, &found),
            ERR_VIEW_NOT_FOUND);

  std::vector<NOTEID> failed, three;
  for (int i = 0; i < 330; ++i) {
    NOTEID id = SaveStatus(db, i % 11 == 10 ? 3 : 11);
    (i % 11 == 10 ? three : failed).push_back(id);
  }
  ASSERT_EQ(failed.size(), 300u);
  ASSERT_EQ(three.size(), 30u);

  // 30 entries, asked for 100.
  HCOLLECTION col = 0;
  ASSERT_EQ(QVWOpenCollection(db, db, small, 0, 0, &col, nullptr, nullptr,
                              nullptr, nullptr),
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
  ASSERT_EQ(QVWOpenCollection(db, db, vid, 0, 0, &col, &viewNote, nullptr,
                              nullptr, nullptr),
            NOERROR);
  char title[16];
  EXPECT_EQ(QDSItemGetText(viewNote, "$TITLE", title, sizeof title), 6);
  EXPECT_EQ(QDSNoteClose(viewNote), NOERROR);
  SaveStatus(db, 11);                       // added after the open
  SetStatus(db, failed[0], 6);              // no longer matches
  pos = COLLECTIONPOSITION{};
  for (int batch = 0; batch < 3; ++batch) {
    r = ReadEntries(col, &pos, 100);
    EXPECT_EQ(r.st, NOERROR);
    EXPECT_EQ(r.returned, 100u);
    EXPECT_EQ(r.ids, std::vector<NOTEID>(failed.begin() + batch * 100,
                                         failed.begin() + batch * 100 + 100));
    EXPECT_EQ((r.signal & SIGNAL_MORE_TO_DO) != 0, batch < 2) << batch;
    EXPECT_EQ(pos.Tumbler[0], (batch + 1) * 100u);
  }
  r = ReadEntries(col, &pos, 100);
  EXPECT_EQ(r.st, NOERROR);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_FALSE(r.buffer);
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);

  // An empty view gives no buffer; null out pointers are fine.
  NOTEID empty = 0;
  ASSERT_EQ(QVWFindDesignNote(db, "empty", NOTE_CLASS_VIEW, &empty), NOERROR);
  ASSERT_EQ(QVWOpenCollection(db, db, empty, 0, 0, &col, nullptr, nullptr,
                              nullptr, nullptr),
            NOERROR);
  pos = COLLECTIONPOSITION{};
  r = ReadEntries(col, &pos, 100);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_FALSE(r.buffer);
  EXPECT_EQ(QVWReadEntries(col, nullptr, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 5,
                           READ_MASK_NOTEID, nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), NOERROR);
  EXPECT_EQ(QVWOpenCollection(db, db, 999999, 0, 0, &col, nullptr, nullptr,
                              nullptr, nullptr),
            ERR_VIEW_NOT_FOUND);
  // Closing the database closes its collections too.
  ASSERT_EQ(QVWOpenCollection(db, db, vid, 0, 0, &col, nullptr, nullptr,
                              nullptr, nullptr),
            NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(QVWCloseCollection(col), ERR_BAD_COLLECTION);
}

}  // namespace
