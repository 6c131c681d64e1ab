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

}  // namespace
