// Items: round trips through the file, deletes and damaged rows.
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
    EXPECT_EQ(static_cast<BYTE>(p[0]) | static_cast<BYTE>(p[1]) << 8, want[i].type);
    EXPECT_EQ(std::string(p + 2, len - 2), want[i].value) << i;
    OSUnlockBlock(bid);
  }
}

TEST_F(ItemsTest, RoundTripKeepsTypeFlagsBytesOrderAndDuplicates) {
  DBHANDLE db = NewDb("items.qds");
  std::string big(60416, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  double num = 6.75;
  std::vector<Expect> want = {
      {"Dup", ITEM_SUMMARY, TYPE_TEXT, "first"},
      {"Big", 0, TYPE_USERDATA, big},
      {"Dup", 0, TYPE_TEXT, "second"},
      {"Num", ITEM_SUMMARY, TYPE_NUMBER, std::string(reinterpret_cast<char*>(&num), 8)},
  };
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  for (const Expect& e : want) {
    ASSERT_EQ(QDSItemAppend(n, e.flags, e.name.data(),
                            static_cast<WORD>(e.name.size()), e.type,
                            e.value.data(), static_cast<DWORD>(e.value.size())),
              NOERROR);
  }
  NOTEID id = SaveAndClose(n);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
  ASSERT_EQ(QDSDbOpen("items.qds", &db), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db, id, 0, &n), NOERROR);
  CheckItems(n, want);
  ASSERT_EQ(QDSNoteClose(n), NOERROR);
  ASSERT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(ItemsTest, DeleteRemovesAllOfAName) {
  DBHANDLE db = NewDb("del.qds");
  NOTEHANDLE n = 0;
  ASSERT_EQ(QDSNoteCreate(db, &n), NOERROR);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(QDSItemAppend(n, 0, "X", 1, TYPE_TEXT, "v", 1), NOERROR);
  }
  EXPECT_EQ(QDSItemDelete(n, "X", 1), NOERROR);
  EXPECT_EQ(QDSItemDelete(n, "X", 1), ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(ERR_ITEM_NOT_FOUND, 546);
  EXPECT_EQ(QDSNoteClose(n), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
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
