// Items: round trips through the file, deletes and damaged rows.
#include "store_test_util.h"

namespace {

using ItemsTest = StoreTest;

struct Item {
  std::string name;
  WORD flags, type;
  std::string value;  // without type code
};

TEST_F(ItemsTest, RoundTripKeepsTypeFlagsBytesOrderAndDuplicates) {
  DBHANDLE db = NewDb("items.qds");
  std::string big(60416, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  double num = 6.75;
  const std::vector<Item> want = {
      {"Dup", ITEM_SUMMARY, TYPE_TEXT, "first"},
      {"Big", 0, TYPE_USERDATA, big},
      {"Dup", 0, TYPE_TEXT, "second"},
      {"Num", ITEM_SUMMARY, TYPE_NUMBER, std::string(reinterpret_cast<char*>(&num), 8)}};
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  for (const Item& e : want) {
    ASSERT_EQ(QDSItemAppend(n, e.flags, e.name.data(), static_cast<WORD>(e.name.size()), e.type,
                            e.value.data(), static_cast<DWORD>(e.value.size())),
              NOERROR);
  }
  NOTEID id = SaveAndClose(n);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("items.qds", &db), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSItemCount(n), want.size());
  for (DWORD i = 0; i < want.size(); ++i) {
    char name[64];
    WORD nameLen = 0, flags = 0, type = 0;
    BLOCKID bid;
    DWORD len = 0;
    ASSERT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nameLen, &flags, &type, &bid, &len),
              NOERROR);
    EXPECT_EQ(std::string(name, nameLen), want[i].name) << i;
    EXPECT_EQ(flags, want[i].flags) << i;
    EXPECT_EQ(type, want[i].type) << i;
    ASSERT_EQ(len, want[i].value.size() + 2) << i;
    const char* p = OSLockBlock(bid);
    EXPECT_EQ(static_cast<BYTE>(p[0]) | static_cast<BYTE>(p[1]) << 8, want[i].type);
    EXPECT_EQ(std::string(p + 2, len - 2), want[i].value) << i;
    OSUnlockBlock(bid);
  }
  EXPECT_EQ(QDSItemDelete(n, "Dup", 3), NOERROR);  // every item of the name
  EXPECT_EQ(QDSItemDelete(n, "Dup", 3), ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(ERR_ITEM_NOT_FOUND, 546);
  EXPECT_EQ(QDSItemCount(n), 2u);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(ItemsTest, DamagedRowGivesDbCorrupt) {
  DBHANDLE db = NewDb("c.qds");
  NOTEID id = SaveDoc(db, 1, "text");
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  Sql("c.qds", "UPDATE items SET value=x'05' WHERE name=CAST('Subject' AS BLOB)");
  ASSERT_EQ(QDSDbOpen("c.qds", &db), NOERROR);
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteOpen(db, id, 0, &n), ERR_DB_CORRUPT);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// A text list as stored without its type code: count, lengths, texts.
std::string TextList(std::initializer_list<std::string> entries, WORD count = 0) {
  std::string out;
  auto word = [&out](size_t w) { out.push_back(static_cast<char>(w & 0xFF)), out.push_back(static_cast<char>(w >> 8)); };
  word(count ? count : entries.size());
  for (const std::string& e : entries) word(e.size());
  for (const std::string& e : entries) out += e;
  return out;
}

DWORD Findings(DBHANDLE db) {
  DWORD found = 99;
  EXPECT_EQ(QDSDbCheck(db, 0, nullptr, nullptr, &found), NOERROR);
  return found;
}

// A text list reads as its first entry and a number in its shortest exact
// form; a list whose lengths run past its value, and other types, read as
// nothing.  A summary list is indexed by each entry of its well-formed
// prefix, and its index rows go with it.
TEST_F(ItemsTest, TextListsReadAndIndexEntryByEntryDamagedOnesAsFarAsTheyGo) {
  DBHANDLE db = NewDb("l.qds");
  NOTEHANDLE good = 0, bad = 0;
  ASSERT_EQ(QDSNoteCreate(db, &good), NOERROR);
  ASSERT_EQ(QDSNoteCreate(db, &bad), NOERROR);
  const std::string tags = TextList({"Alpha", "Beta"});
  double num = 6.75;
  TIMEDATE when{{1, 2}};
  ASSERT_EQ(QDSItemAppend(good, ITEM_SUMMARY, "Tags", 4, TYPE_TEXT_LIST, tags.data(),
                          static_cast<DWORD>(tags.size())), NOERROR);
  ASSERT_EQ(QDSItemAppend(good, 0, "Num", 3, TYPE_NUMBER, &num, 8), NOERROR);
  ASSERT_EQ(QDSItemAppend(good, 0, "When", 4, TYPE_TIME, &when, 8), NOERROR);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"Empty", TextList({}, 0)},
      {"Short", std::string(1, '\1')},
      {"Over", TextList({"Gamma"}, 100)},                // more lengths than bytes
      {"Cut", TextList({"Ok", "Delta"}).substr(0, 10)},  // second text cut short
      {"Long", TextList({"Epsilon"}).substr(0, 6)}};     // first text cut short
  for (const auto& [name, value] : damaged) {
    ASSERT_EQ(QDSItemAppend(bad, ITEM_SUMMARY, name.data(), static_cast<WORD>(name.size()),
                            TYPE_TEXT_LIST, value.data(), static_cast<DWORD>(value.size())),
              NOERROR) << name;
  }
  char buf[16];
  EXPECT_EQ(std::string(buf, QDSItemGetText(good, "Tags", buf, sizeof buf)), "Alpha");
  EXPECT_EQ(std::string(buf, QDSItemGetText(good, "Num", buf, sizeof buf)), "6.75");
  EXPECT_EQ(QDSItemGetText(good, "When", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf, QDSItemGetText(bad, "Cut", buf, sizeof buf)), "Ok");
  for (const char* none : {"Empty", "Short", "Over", "Long"})
    EXPECT_EQ(QDSItemGetText(bad, none, buf, sizeof buf), 0) << none;
  const NOTEID id = SaveAndClose(good), badId = SaveAndClose(bad);

  EXPECT_EQ(Ids(db, "Tags = \"BETA\""), IdList{id});
  EXPECT_TRUE(Ids(db, "Cut = \"ok\" | Cut = \"delta\" | Over = \"gamma\"").empty());
  EXPECT_EQ(Findings(db), 0u) << "every index row the lists call for, and no other";
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  ASSERT_EQ(QDSItemDelete(n, "Tags", 4), NOERROR);
  SaveAndClose(n);
  EXPECT_TRUE(Ids(db, "Tags = \"alpha\" | Tags = \"beta\"").empty());
  ASSERT_EQ(QDSNoteDelete(db, badId, 0), NOERROR);
  EXPECT_EQ(Findings(db), 0u) << "no index row outlives its item";
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

// An object reference appended without giving up its block is copied:
// the block stays the caller's, and the document keeps the value it was
// given.  A value too short for a type code, or a block that cannot be
// locked, leaves the document as it was.
TEST_F(ItemsTest, AppendObjectCopiesUnlessGivenTheBlock) {
  DBHANDLE db = NewDb("o.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  DHANDLE h = 0;
  ASSERT_EQ(OSMemAlloc(0x1234, 12, &h), NOERROR);
  char* p = static_cast<char*>(OSLockObject(h));
  const char value[12] = {3, 0, 'r', 'e', 'f', 'e', 'r', 'e', 'n', 'c', 'e', '!'};
  memcpy(p, value, sizeof value);
  OSUnlockObject(h);
  EXPECT_EQ(QDSItemAppendObject(n, 0, "$FILE", 5, BLOCKID{h, 0}, 1, FALSE), ERR_BAD_ARG);
  EXPECT_EQ(QDSItemAppend(n, 0, "X", 1, TYPE_TEXT, nullptr, 3), ERR_BAD_ARG);
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(QDSItemAppendObject(n, 0, "$FILE", 5, BLOCKID{h, 0}, 12, FALSE), ERR_MEMORY);
  OSMemTestDisarm();
  EXPECT_EQ(QDSItemCount(n), 0u);
  ASSERT_EQ(QDSItemAppendObject(n, 0, "$FILE", 5, BLOCKID{h, 0}, 12, FALSE), NOERROR);
  memset(OSLockObject(h), 'x', 12);
  OSUnlockObject(h);
  EXPECT_EQ(OSMemFree(h), NOERROR) << "the block stayed the caller's";
  WORD type = 0;
  BLOCKID bid;
  DWORD len = 0;
  ASSERT_EQ(QDSItemInfo(n, "$FILE", 5, &type, &bid, &len), NOERROR);
  EXPECT_EQ(type, TYPE_OBJECT);
  ASSERT_EQ(len, 12u);
  EXPECT_EQ(std::string(OSLockBlock(bid), 12), std::string(value, 12));
  OSUnlockBlock(bid);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

}  // namespace
