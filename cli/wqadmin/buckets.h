// The age buckets of stats and shape: how long ago a time (a next retry, a
// receipt) lay, in doubling steps, so an operator sees at a glance whether
// failures are fresh or stuck.
#ifndef WQADMIN_BUCKETS_H_
#define WQADMIN_BUCKETS_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tavlo/runtime.h"

namespace wqadmin {

// Upper bounds of the buckets, in minutes; a last bucket takes everything
// older.  Before them: still ahead; after them: no time set.
constexpr std::array<int, 10> kBucketMinutes = {5,   10,  20,  40,  80,
                                                160, 320, 640, 1280, 2560};
constexpr size_t kNumBuckets = kBucketMinutes.size() + 3;  // + ahead, older, unset
constexpr size_t kAhead = 0;
constexpr size_t kOlder = kBucketMinutes.size() + 1;
constexpr size_t kUnset = kBucketMinutes.size() + 2;

inline std::vector<std::string> BucketNames() {
  std::vector<std::string> names{"ahead"};
  for (int m : kBucketMinutes) names.push_back(std::to_string(m) + "m");
  names.push_back(std::to_string(kBucketMinutes.back()) + "m+");
  names.push_back("unset");
  return names;
}

// The bucket of a time `micros` before now (negative: ahead).
inline size_t BucketOfAge(int64_t micros) {
  if (micros < 0) return kAhead;
  const int64_t minutes = micros / 60000000;
  for (size_t i = 0; i < kBucketMinutes.size(); i++)
    if (minutes < kBucketMinutes[i]) return i + 1;
  return kOlder;
}

bool IsSpecialTime(const TIMEDATE& t);

// The bucket of time `t` as of `nowMicros`; a special time is unset.
inline size_t BucketOf(const TIMEDATE& t, int64_t nowMicros) {
  if (IsSpecialTime(t)) return kUnset;
  // A damaged stamp may lie anywhere in the 64-bit range.
  int64_t age = 0;
  if (__builtin_sub_overflow(nowMicros, TimeToMicros(&t), &age))
    return TimeToMicros(&t) > nowMicros ? kAhead : kOlder;
  return BucketOfAge(age);
}

}  // namespace wqadmin

#endif  // WQADMIN_BUCKETS_H_
