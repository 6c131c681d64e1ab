// Items: round trips through the file, deletes, limits, block ownership,
// the typed reads and damaged rows.
#include "store_test_util.h"

namespace {

using ItemsTest = StoreTest;

struct Expect {
  std::string name;
  WORD flags;
  WORD type;
  std::string value;  // without type code
};

void CheckItems(NOTEHANDLE n, const std::vector<Expect>& want) {
  ASSERT_EQ(QDSItemCount(n), want.size());
  for (DWORD i = 0; i < want.size(); ++i) {
    char name[64];
    WORD nameLen = 0, flags = 0, type = 0;
    BLOCKID bid;
    DWORD len = 0;
    ASSERT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nameLen, &flags,
                                 &type, &bid, &len),
              NOERROR);
    EXPECT_EQ(std::string(name, nameLen), want[i].name) << i;
    EXPECT_EQ(flags, want[i].flags) << i;
    EXPECT_EQ(type, want[i].type) << i;
    ASSERT_EQ(len, want[i].value.size() + 2) << i;
    const char* p = OSLockBlock(bid);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<BYTE>(p[0]) | static_cast<BYTE>(p[1]) << 8, want[i].type);
    EXPECT_EQ(std::string(p + 2, len - 2), want[i].value) << i;
    OSUnlockBlock(bid);
  }
}

TEST_F(ItemsTest, RoundTripKeepsTypeFlagsBytesOrderAndDuplicates) {
  DBHANDLE db = NewDb("items.qds");
  std::string big(60416, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  double num = 6.75, six = 6;
  TIMEDATE td = {{0x11223344, 0x55667788}};
  std::vector<Expect> want = {
      {"WQSMsgInfo", 0, TYPE_USERDATA, std::string(86, '\x5A')},
      {"Dup", ITEM_SUMMARY, TYPE_TEXT, "first"},
      {"Empty", 0, TYPE_TEXT, ""},
      {"Big", 0, TYPE_USERDATA, big},  // kept in the large-value table
      {"Dup", 0, TYPE_TEXT, "second"},
      {"Num", ITEM_SUMMARY, TYPE_NUMBER, std::string(reinterpret_cast<char*>(&num), 8)},
      {"Huge", 0, TYPE_TEXT, std::string(70000, 'h')},  // over 64 KiB
      {"When", 0x0001, TYPE_TIME, std::string(reinterpret_cast<char*>(&td), 8)},
      {"", 0, TYPE_TEXT, "nameless"},
      {"bin", 0, TYPE_USERDATA, std::string("a\0b\0c", 5)},
  };
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  for (const Expect& e : want) {
    ASSERT_EQ(QDSItemAppend(n, e.flags, e.name.data(),
                            static_cast<WORD>(e.name.size()), e.type,
                            e.value.data(), static_cast<DWORD>(e.value.size())),
              NOERROR);
  }
  NOTEID id = 0;
  QDSNoteGetInfo(n, _NOTE_ID, &id);
  EXPECT_EQ(id, 0u);  // no id before the first save
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  QDSNoteGetInfo(n, _NOTE_ID, &id);
  EXPECT_NE(id, 0u);
  CheckItems(n, want);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("items.qds", &db), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  CheckItems(n, want);

  // Delete + re-append of a name takes over the old row, so the item keeps
  // its place; deleting a name removes all its items.
  ASSERT_EQ(QDSItemDelete(n, "Num", 3), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Num", 3, TYPE_NUMBER, &six, 8), NOERROR);
  ASSERT_EQ(QDSItemDelete(n, "Dup", 3), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "New", 3, TYPE_TEXT, "n", 1), NOERROR);
  ASSERT_EQ(QDSNoteUpdate(n, 0), NOERROR);
  want[5].value = std::string(reinterpret_cast<char*>(&six), 8);
  want.erase(want.begin() + 4);
  want.erase(want.begin() + 1);
  want.push_back({"New", 0, TYPE_TEXT, "n"});
  CheckItems(n, want);
  // A forced update rewrites every row and keeps the same content.
  ASSERT_EQ(QDSNoteUpdate(n, UPDATE_FORCE), NOERROR);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  CheckItems(n, want);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(ItemsTest, DeleteAllOfNameLimitsAndDeletedDocuments) {
  DBHANDLE db = NewDb("del.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(QDSItemAppend(n, 0, "X", 1, TYPE_TEXT, "v", 1), NOERROR);
    ASSERT_EQ(QDSItemAppend(n, 0, "x", 1, TYPE_TEXT, "w", 1), NOERROR);
  }
  EXPECT_EQ(QDSItemDelete(n, "X", 1), NOERROR);
  EXPECT_EQ(QDSItemCount(n), 3u);  // names compare by exact bytes
  EXPECT_FALSE(QDSItemIsPresent(n, "X", 1));
  EXPECT_EQ(QDSItemDelete(n, "X", 1), ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(ERR_ITEM_NOT_FOUND, 546);
  EXPECT_EQ(QDSItemDelete(n, "xx", 1), NOERROR);  // length counts, not text
  EXPECT_EQ(QDSItemCount(n), 0u);
  EXPECT_EQ(QDSItemInfo(n, "x", 1, nullptr, nullptr, nullptr), ERR_ITEM_NOT_FOUND);

  // Summary items are described with 16-bit lengths in search results.
  std::string big(70000, 'x');
  EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "S", 1, TYPE_TEXT, big.data(), 70000),
            ERR_ITEM_TOO_BIG);
  EXPECT_EQ(QDSItemAppend(n, 0, "S", 1, TYPE_TEXT, big.data(), 0xFFFFFFFF),
            ERR_ITEM_TOO_BIG);
  EXPECT_EQ(QDSItemAppend(n, 0, "S", 1, TYPE_TEXT, nullptr, 0xFFFFFFFF), ERR_BAD_ARG);
  EXPECT_EQ(QDSItemAppend(n, 0, nullptr, 3, TYPE_TEXT, "a", 1), ERR_BAD_ARG);
  EXPECT_EQ(QDSItemCount(n), 0u);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSNoteOpen(db, 0, 0, &n), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSNoteOpen(db, 999, 0, &n), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(n, 0u);

  // A document deleted under an open handle cannot be saved, and its id is
  // never handed out again.
  NOTEID id = SaveDoc(db, 1);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSNoteDelete(db, id, 0), NOERROR);
  ASSERT_EQ(QDSItemAppend(n, 0, "A", 1, TYPE_TEXT, "a", 1), NOERROR);
  EXPECT_EQ(QDSNoteUpdate(n, 0), ERR_NOTE_DELETED);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_GT(SaveDoc(db, 2), id);
  EXPECT_EQ(QDSNoteOpen(db, id, 0, &n), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// Counts the runtime blocks of `tag`.
DWORD Blocks(WORD tag) {
  DWORD blocks = 0, bytes = 0;
  OSMemTestCount(tag, &blocks, &bytes);
  return blocks;
}

DHANDLE Block(WORD tag, DWORD size, char fill, BYTE typeCode) {
  DHANDLE h = 0;
  EXPECT_EQ(OSMemAlloc(tag, size, &h), NOERROR);
  char* p = static_cast<char*>(OSLockObject(h));
  memset(p, fill, size);
  p[0] = static_cast<char>(typeCode);
  p[1] = 0;
  OSUnlockObject(h);
  return h;
}

TEST_F(ItemsTest, AppendByBlockIdOwnership) {
  DBHANDLE db = NewDb("own.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  const WORD tag = 0x33E6, objTag = 0x33E8;
  DHANDLE h = Block(tag, 1158, 0x42, 0x0E);
  // Failures leave the block with the caller.
  BLOCKID bid{h, 0};
  EXPECT_EQ(QDSItemAppendByBLOCKID(n, 0, "R", 1, bid, 1, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSItemAppendByBLOCKID(n, 0, "R", 1, bid, 2000, nullptr), ERR_BAD_ARG);
  EXPECT_EQ(QDSItemAppendByBLOCKID(0, 0, "R", 1, bid, 1158, nullptr), ERR_BAD_NOTE);
  EXPECT_EQ(QDSItemAppendByBLOCKID(n, 0, "R", 1, BLOCKID{0, 0}, 4, nullptr),
            ERR_BAD_HANDLE);
  EXPECT_EQ(Blocks(tag), 1u);

  BLOCKID item;
  ASSERT_EQ(QDSItemAppendByBLOCKID(n, 0, "R", 1, bid, 1158, &item), NOERROR);
  EXPECT_EQ(item.pool, h);
  // The same block cannot be handed over twice.
  EXPECT_EQ(QDSItemAppendByBLOCKID(n, 0, "S", 1, bid, 1158, nullptr), ERR_BAD_ARG);
  WORD type = 0;
  DWORD len = 0;
  ASSERT_EQ(QDSItemInfo(n, "R", 1, &type, &item, &len), NOERROR);
  EXPECT_EQ(type, TYPE_USERDATA);
  EXPECT_EQ(len, 1158u);

  // Object items: copied without fDealloc, taken over with it.
  DHANDLE o = Block(objTag, 48, 0, 0x03);
  ASSERT_EQ(QDSItemAppendObject(n, ITEM_SUMMARY, "$FILE", 5, BLOCKID{o, 0}, 48, FALSE),
            NOERROR);
  EXPECT_EQ(Blocks(objTag), 1u);
  ASSERT_EQ(QDSItemAppendObject(n, ITEM_SUMMARY, "$FILE", 5, BLOCKID{o, 0}, 48, TRUE),
            NOERROR);
  ASSERT_EQ(QDSItemInfo(n, "$FILE", 5, &type, nullptr, &len), NOERROR);
  EXPECT_EQ(type, TYPE_OBJECT);

  NOTEID id = SaveAndClose(n);
  // Every block the document took over is gone with it.
  EXPECT_EQ(Blocks(tag), 0u);
  EXPECT_EQ(Blocks(objTag), 0u);

  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  std::string r = ItemBytes(n, "R");
  ASSERT_EQ(r.size(), 1158u);
  EXPECT_EQ(r[100], 0x42);
  EXPECT_EQ(QDSItemCount(n), 3u);
  ASSERT_EQ(QDSItemDelete(n, "R", 1), NOERROR);  // its block freed at once
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(ItemsTest, TypedReads) {
  DBHANDLE db = NewDb("typed.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  double d = 4294967295.0, frac = 6.75;
  TIMEDATE td = {{1, 2}};
  const char list[] = {2, 0, 2, 0, 3, 0, 'a', 'b', 'c', 'd', 'e'};  // "ab","cde"
  const char bad[] = {2, 0, 50, 0, 3, 0, 'a'};  // lengths run past the value
  const char count[] = {9, 0};                  // entries missing
  const struct {
    const char* name;
    WORD type;
    const void* value;
    DWORD len;
  } items[] = {
      {"N", TYPE_NUMBER, &d, 8},        {"Short", TYPE_NUMBER, &d, 4},
      {"T", TYPE_TEXT, "hello", 5},     {"E", TYPE_TEXT, "", 0},
      {"W", TYPE_TIME, &td, 8},         {"L", TYPE_TEXT_LIST, list, sizeof list},
      {"Bad", TYPE_TEXT_LIST, bad, sizeof bad},
      {"Cnt", TYPE_TEXT_LIST, count, sizeof count},
      {"F", TYPE_NUMBER, &frac, 8},
  };
  for (const auto& i : items) {
    ASSERT_EQ(QDSItemAppend(n, 0, i.name, static_cast<WORD>(strlen(i.name)),
                            i.type, i.value, i.len),
              NOERROR);
  }
  // Text: numbers formatted, lists give their first entry, the rest nothing.
  const std::pair<const char*, std::string> texts[] = {
      {"T", "hello"}, {"E", ""},   {"L", "ab"}, {"Bad", ""},     {"Cnt", ""},
      {"N", "4294967295"}, {"F", "6.75"}, {"W", ""}, {"missing", ""}};
  char buf[32];
  for (const auto& [name, want] : texts) {
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(QDSItemGetText(n, name, buf, sizeof buf), want.size()) << name;
    EXPECT_EQ(std::string(buf, want.size()), want) << name;
  }
  EXPECT_EQ(QDSItemGetText(n, "T", buf, 1), 1);
  EXPECT_EQ(buf[0], 'h');

  double got = 0;
  EXPECT_TRUE(QDSItemGetNumber(n, "N", &got));
  EXPECT_EQ(got, 4294967295.0);
  got = -1;
  for (const char* name : {"Short", "T", "missing"}) {
    EXPECT_FALSE(QDSItemGetNumber(n, name, &got)) << name;
  }
  EXPECT_EQ(got, -1);
  TIMEDATE t = {};
  EXPECT_TRUE(QDSItemGetTime(n, "W", &t));
  EXPECT_EQ(t.Innards[0], 1u);
  EXPECT_EQ(t.Innards[1], 2u);
  EXPECT_FALSE(QDSItemGetTime(n, "N", &t));
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// Rows damaged behind the store's back are reported, never read past.
TEST_F(ItemsTest, DamagedRowsGiveDbCorrupt) {
  const char* damage[] = {
      "UPDATE items SET value=x'05' WHERE name=CAST('Subject' AS BLOB)",
      "UPDATE items SET value=x'0100' WHERE k=(SELECT min(k) FROM items)",
      "DELETE FROM items WHERE k=(SELECT min(k) FROM items)",
  };
  for (const char* sql : damage) {
    SCOPED_TRACE(sql);
    ASSERT_EQ(QDSDbCreate("c.qds", 0xFF01, TRUE), NOERROR);
    DBHANDLE db = 0;
    ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR);
    NOTEID id = SaveDoc(db, 1, "text");
    EXPECT_EQ(QDSDbClose(db), NOERROR);
    Sql("c.qds", sql);
    ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR);
    NOTEHANDLE n = 0;
    EXPECT_EQ(QDSNoteOpen(db, id, 0, &n), ERR_DB_CORRUPT);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(QDSSearch(db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                        nullptr,
                        [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS { return NOERROR; },
                        nullptr, nullptr),
              ERR_DB_CORRUPT);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
  }
}

}  // namespace
