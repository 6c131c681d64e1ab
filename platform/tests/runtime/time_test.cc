// Time stamps: layout, constants, ordering and the text form.

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"

namespace {

TIMEDATE Make(int64_t micros) {
  TIMEDATE t;
  TimeFromMicros(micros, &t);
  return t;
}

TEST(TimeTest, InnardsAreLowThenHighWord) {
  TIMEDATE t = Make(0x0000000500000007LL);
  EXPECT_EQ(7u, t.Innards[0]);
  EXPECT_EQ(5u, t.Innards[1]);
  t = Make(-1);
  EXPECT_EQ(0xFFFFFFFFu, t.Innards[0]);
  EXPECT_EQ(0xFFFFFFFFu, t.Innards[1]);
  EXPECT_EQ(-1, TimeToMicros(&t));
  for (int64_t v : {INT64_MIN, INT64_MAX, int64_t{0}, int64_t{-123456789012}}) {
    TIMEDATE x = Make(v);
    EXPECT_EQ(v, TimeToMicros(&x));
  }
}

TEST(TimeTest, ConstantsOrder) {
  TIMEDATE wild, lo, hi;
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  TimeConstant(TIMEDATE_MINIMUM, &lo);
  TimeConstant(TIMEDATE_MAXIMUM, &hi);
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  TIMEDATE epoch = Make(0);
  TIMEDATE ancient = Make(-62135596800000000LL);  // year 1
  EXPECT_LT(TimeDateCompare(&wild, &lo), 0);
  EXPECT_LT(TimeDateCompare(&lo, &ancient), 0);
  EXPECT_LT(TimeDateCompare(&ancient, &epoch), 0);
  EXPECT_LT(TimeDateCompare(&epoch, &now), 0);
  EXPECT_LT(TimeDateCompare(&now, &hi), 0);
  EXPECT_GT(TimeDateCompare(&hi, &wild), 0);
  EXPECT_EQ(0, TimeDateCompare(&wild, &wild));
  EXPECT_NE(0, std::memcmp(&wild, &lo, sizeof wild));
  EXPECT_NE(0, std::memcmp(&hi, &lo, sizeof wild));
}

TEST(TimeTest, CompareIsSignedNotWordwise) {
  // The low word of -1 is larger than that of 1; only a signed 64-bit
  // comparison orders them right.
  TIMEDATE a = Make(-1), b = Make(1), c = Make(0x100000000LL);
  EXPECT_LT(TimeDateCompare(&a, &b), 0);
  EXPECT_GT(TimeDateCompare(&b, &a), 0);
  EXPECT_LT(TimeDateCompare(&b, &c), 0);
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

TEST(TimeTest, NowIsNearTheClock) {
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  int64_t secs = TimeToMicros(&now) / 1000000;
  int64_t clock = static_cast<int64_t>(time(nullptr));
  EXPECT_LE(std::llabs(secs - clock), 5);
}

class TimeTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) old_tz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(TimeTextTest, Formats) {
  char buf[64];
  TIMEDATE t = Make(1700000000LL * 1000000 + 999999);  // 2023-11-14 22:13:20
  EXPECT_EQ(19, TimeToText(&t, buf, sizeof buf));
  EXPECT_STREQ("2023-11-14 22:13:20", buf);
  t = Make(-1);  // one microsecond before the epoch is still 1969
  TimeToText(&t, buf, sizeof buf);
  EXPECT_STREQ("1969-12-31 23:59:59", buf);
  TimeConstant(TIMEDATE_WILDCARD, &t);
  TimeToText(&t, buf, sizeof buf);
  EXPECT_STREQ("wildcard", buf);
  TimeConstant(TIMEDATE_MINIMUM, &t);
  TimeToText(&t, buf, sizeof buf);
  EXPECT_STREQ("minimum", buf);
  TimeConstant(TIMEDATE_MAXIMUM, &t);
  TimeToText(&t, buf, sizeof buf);
  EXPECT_STREQ("maximum", buf);
}

TEST_F(TimeTextTest, CutsToBuffer) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  TIMEDATE t = Make(0);
  EXPECT_EQ(7, TimeToText(&t, buf, sizeof buf));
  EXPECT_STREQ("1970-01", buf);
  EXPECT_EQ(0, TimeToText(&t, buf, 0));
  EXPECT_EQ(0, TimeToText(&t, nullptr, 10));
}

TEST_F(TimeTextTest, FarOutsideTheCalendar) {
  char buf[64];
  TIMEDATE t = Make(INT64_MAX - 5);
  TimeToText(&t, buf, sizeof buf);
  EXPECT_EQ('@', buf[0]);
}

}  // namespace
