// Time stamps: a signed count of microseconds since 1970-01-01 UTC, split
// into two 32-bit words.
//
// The three constants sit at the far ends of the range so that plain
// signed comparison orders them: wildcard < minimum < every real time <
// maximum.  Wildcard sorting first means "changed since wildcard" selects
// everything.

#include <climits>
#include <cstdio>
#include <ctime>

#include "tavlo/runtime.h"

namespace {

constexpr int64_t kWildcard = INT64_MIN;
constexpr int64_t kMinimum = INT64_MIN + 1;
constexpr int64_t kMaximum = INT64_MAX;

int64_t g_last_now = INT64_MIN;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

void TimeFromMicros(int64_t micros, TIMEDATE* retTime) {
  if (retTime == nullptr) return;
  uint64_t u = static_cast<uint64_t>(micros);
  retTime->Innards[0] = static_cast<DWORD>(u & 0xFFFFFFFFu);
  retTime->Innards[1] = static_cast<DWORD>(u >> 32);
}

int64_t TimeToMicros(const TIMEDATE* t) {
  if (t == nullptr) return 0;
  uint64_t u = (static_cast<uint64_t>(t->Innards[1]) << 32) | t->Innards[0];
  return static_cast<int64_t>(u);
}

void TimeConstant(WORD which, TIMEDATE* retTime) {
  switch (which) {
    case TIMEDATE_MINIMUM:
      TimeFromMicros(kMinimum, retTime);
      break;
    case TIMEDATE_MAXIMUM:
      TimeFromMicros(kMaximum, retTime);
      break;
    default:  // TIMEDATE_WILDCARD and anything unknown
      TimeFromMicros(kWildcard, retTime);
      break;
  }
}

int TimeDateCompare(const TIMEDATE* a, const TIMEDATE* b) {
  int64_t x = TimeToMicros(a);
  int64_t y = TimeToMicros(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

void OSCurrentTIMEDATE(TIMEDATE* retTime) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  // Callers use stamps to order events (last modified, "since" searches), so
  // two stamps in a row must differ even if the clock did not move or was
  // set back.
  if (now <= g_last_now) now = g_last_now + 1;
  g_last_now = now;
  TimeFromMicros(now, retTime);
}

WORD TimeToText(const TIMEDATE* t, char* buf, WORD bufLen) {
  if (buf == nullptr || bufLen == 0) return 0;
  int64_t micros = TimeToMicros(t);
  int n;
  if (micros == kWildcard) {
    n = std::snprintf(buf, bufLen, "wildcard");
  } else if (micros == kMinimum) {
    n = std::snprintf(buf, bufLen, "minimum");
  } else if (micros == kMaximum) {
    n = std::snprintf(buf, bufLen, "maximum");
  } else {
    time_t secs = static_cast<time_t>(FloorDiv(micros, 1000000));
    tm local;
    if (localtime_r(&secs, &local) != nullptr && local.tm_year + 1900 <= 9999 &&
        local.tm_year + 1900 >= 0) {
      n = std::snprintf(buf, bufLen, "%04d-%02d-%02d %02d:%02d:%02d",
                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec);
    } else {
      // Outside what a calendar date can show: give the raw count.
      n = std::snprintf(buf, bufLen, "@%lld", static_cast<long long>(micros));
    }
  }
  if (n < 0) n = 0;
  return static_cast<WORD>(n < bufLen ? n : bufLen - 1);
}
