// Status texts; time stamp constants and ordering.

#include <cstdint>
#include <iterator>
#include <set>
#include <string>

#include "runtime_util.h"

namespace {

std::string TextOf(STATUS s) {
  char buf[256];
  TavloStatusText(s, buf, sizeof buf);
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
      ERR_BAD_COLLECTION, ERR_DB_PATH, ERR_DB_READONLY, ERR_DISK_FULL,
      ERR_FORMULA_SYNTAX,
      ERR_FORMULA_TOO_BIG, ERR_BAD_FORMULA, ERR_WQS_GENERAL, ERR_WQS_NO_QUEUE,
      ERR_WQS_NO_TEMPLATE, ERR_WQS_NO_MESSAGES, ERR_WQS_NO_FIELD,
      ERR_WQS_CORRUPT, ERR_WQS_RECIP_RANGE, ERR_WQS_NAME_TOO_LONG};
  std::set<std::string> seen;
  for (STATUS s : codes) {
    std::string t = TextOf(s);
    EXPECT_EQ(std::string::npos, t.find("Unknown")) << s << ": " << t;
    EXPECT_TRUE(seen.insert(t).second) << "text used twice: " << t;
  }
}

TIMEDATE Make(int64_t micros) {
  TIMEDATE t;
  TimeFromMicros(micros, &t);
  return t;
}

TIMEDATE Constant(WORD which) {
  TIMEDATE t;
  TimeConstant(which, &t);
  return t;
}

// A signed 64-bit order, not word by word.
TEST(TimeTest, ConstantsAndNowInOrder) {
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  const TIMEDATE order[] = {Constant(TIMEDATE_WILDCARD),
                            Constant(TIMEDATE_MINIMUM),
                            Make(-1),
                            Make(1),
                            Make(0x100000000LL),
                            now,
                            Constant(TIMEDATE_MAXIMUM)};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    EXPECT_LT(TimeDateCompare(&order[i], &order[i + 1]), 0) << i;
  }
}

}  // namespace
