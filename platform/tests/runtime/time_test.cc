// Time stamps: layout, constants, ordering and the text form.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

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

TEST(TimeTest, InnardsAreLowThenHighWordAndRoundTrip) {
  TIMEDATE t = Make(0x0000000500000007LL);
  EXPECT_EQ(7u, t.Innards[0]);
  EXPECT_EQ(5u, t.Innards[1]);
  for (int64_t v : {INT64_MIN, INT64_MAX, int64_t{0}, int64_t{-1},
                    int64_t{-123456789012}}) {
    TIMEDATE x = Make(v);
    EXPECT_EQ(v, TimeToMicros(&x));
  }
}

// Wildcard < minimum < year 1 < -1us < 1us < 2^32us < now < maximum: a
// signed 64-bit order, not word by word.
TEST(TimeTest, ConstantsAndNowInOrder) {
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  const TIMEDATE order[] = {Constant(TIMEDATE_WILDCARD),
                            Constant(TIMEDATE_MINIMUM),
                            Make(-62135596800000000LL),
                            Make(-1),
                            Make(1),
                            Make(0x100000000LL),
                            now,
                            Constant(TIMEDATE_MAXIMUM)};
  for (size_t i = 0; i < std::size(order); ++i) {
    EXPECT_EQ(0, TimeDateCompare(&order[i], &order[i])) << i;
    for (size_t j = i + 1; j < std::size(order); ++j) {
      EXPECT_LT(TimeDateCompare(&order[i], &order[j]), 0) << i << " " << j;
      EXPECT_GT(TimeDateCompare(&order[j], &order[i]), 0) << i << " " << j;
    }
  }
  int64_t secs = TimeToMicros(&now) / 1000000;
  EXPECT_LE(std::llabs(secs - static_cast<int64_t>(time(nullptr))), 5);
}

TEST(TimeTest, NowIsStrictlyIncreasing) {
  TIMEDATE prev;
  OSCurrentTIMEDATE(&prev);
  for (int i = 0; i < 10000; ++i) {
    TIMEDATE next;
    OSCurrentTIMEDATE(&next);
    ASSERT_GT(TimeDateCompare(&next, &prev), 0) << i;
    prev = next;
  }
}

TEST(TimeTest, TextForm) {
  const char* tz = getenv("TZ");
  std::string oldTz = tz ? tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  struct Case {
    TIMEDATE t;
    const char* text;
  } cases[] = {
      {Make(1700000000LL * 1000000 + 999999), "2023-11-14 22:13:20"},
      {Make(-1), "1969-12-31 23:59:59"},
      {Constant(TIMEDATE_WILDCARD), "wildcard"},
      {Constant(TIMEDATE_MINIMUM), "minimum"},
      {Constant(TIMEDATE_MAXIMUM), "maximum"},
  };
  char buf[64];
  for (const Case& c : cases) {
    EXPECT_EQ(std::strlen(c.text), TimeToText(&c.t, buf, sizeof buf));
    EXPECT_STREQ(c.text, buf);
  }
  TIMEDATE far = Make(INT64_MAX - 5);
  TimeToText(&far, buf, sizeof buf);
  EXPECT_EQ('@', buf[0]) << "outside the calendar";
  TIMEDATE epoch = Make(0);
  EXPECT_EQ(7, TimeToText(&epoch, buf, 8));
  EXPECT_STREQ("1970-01", buf);
  EXPECT_EQ(0, TimeToText(&epoch, buf, 0));
  EXPECT_EQ(0, TimeToText(&epoch, nullptr, 10));
  if (tz) setenv("TZ", oldTz.c_str(), 1); else unsetenv("TZ");
  tzset();
}

}  // namespace
