// Time stamps: constants and ordering.

#include <cstdint>
#include <iterator>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"

namespace {

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

// Wildcard < minimum < -1us < 1us < 2^32us < now < maximum: a signed
// 64-bit order, not word by word.
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
