// Every STATUS code has a text of its own.

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/status.h"

namespace {

std::string TextOf(STATUS s) {
  char buf[256];
  WORD n = TavloStatusText(s, buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), n);
  return buf;
}

TEST(StatusTextTest, EveryCodeHasItsOwnText) {
  const STATUS codes[] = {
      ERR_MEMORY, ERR_BAD_HANDLE, ERR_NOEXIST, ERR_LOCKED, ERR_BAD_ARG,
      ERR_LIST_INDEX, ERR_LIST_FULL, ERR_LIST_CORRUPT, ERR_INIT_FAILED,
      ERR_NOT_INITED, ERR_DATA_DIR, ERR_ITEM_NOT_FOUND, ERR_NOTE_NOT_FOUND,
      ERR_BAD_NOTE, ERR_BAD_DB, ERR_NOT_A_DB, ERR_DB_BUSY, ERR_DB_EXISTS,
      ERR_DB_IO, ERR_DB_CORRUPT, ERR_OBJECT_NOT_FOUND, ERR_OBJECT_RANGE,
      ERR_ITEM_TOO_BIG, ERR_NOTE_DELETED, ERR_VIEW_NOT_FOUND,
      ERR_BAD_COLLECTION, ERR_DB_PATH, ERR_FORMULA_SYNTAX,
      ERR_FORMULA_TOO_BIG, ERR_BAD_FORMULA, ERR_WQS_GENERAL, ERR_WQS_NO_QUEUE,
      ERR_WQS_NO_TEMPLATE, ERR_WQS_NO_MESSAGES, ERR_WQS_NO_FIELD,
      ERR_WQS_CORRUPT, ERR_WQS_RECIP_RANGE, ERR_WQS_NAME_TOO_LONG};
  std::set<std::string> seen;
  for (STATUS s : codes) {
    std::string t = TextOf(s);
    EXPECT_EQ(std::string::npos, t.find("Unknown")) << s << ": " << t;
    EXPECT_GT(t.size(), 8u) << s;
    EXPECT_TRUE(seen.insert(t).second) << "text used twice: " << t;
  }
}

TEST(StatusTextTest, KnownWordings) {
  EXPECT_EQ("File does not exist", TextOf(259));
  EXPECT_EQ("Item not found", TextOf(546));
  EXPECT_EQ("Queue database does not exist and was not to be created",
            TextOf(13280));
  EXPECT_EQ("No messages selected by the view", TextOf(13282));
  EXPECT_EQ("Field not found in message", TextOf(13283));
  EXPECT_EQ("Stored message value is truncated or inconsistent",
            TextOf(13284));
  EXPECT_EQ("No error", TextOf(0));
}

TEST(StatusTextTest, HiddenBitIsIgnored) {
  EXPECT_EQ(TextOf(ERR_WQS_NO_QUEUE), TextOf(0x8000 | ERR_WQS_NO_QUEUE));
}

TEST(StatusTextTest, UnknownCodeNamesTheNumber) {
  EXPECT_EQ("Unknown error (status 4660)", TextOf(0x1234));
  EXPECT_EQ("Unknown error (status 4660)", TextOf(0x9234));
}

TEST(StatusTextTest, CutsToBuffer) {
  char buf[5];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(4, TavloStatusText(ERR_ITEM_NOT_FOUND, buf, sizeof buf));
  EXPECT_STREQ("Item", buf);
  EXPECT_EQ(0, TavloStatusText(ERR_ITEM_NOT_FOUND, buf, 0));
  EXPECT_EQ(0, TavloStatusText(ERR_ITEM_NOT_FOUND, nullptr, 10));
}

}  // namespace
