// Selecting messages (see selection.h).
#include "selection.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int* out) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

// "2h" and the like: microseconds, or -1.
int64_t Age(const std::string& s) {
  if (s.size() < 2) return -1;
  char* end = nullptr;
  const double n = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || n < 0 || *(end + 1) != '\0') return -1;
  int64_t unit;
  switch (*end) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    default: return -1;
  }
  const double micros = n * unit * 1e6;
  return micros > 4e18 ? -1 : static_cast<int64_t>(micros);
}

}  // namespace

bool ParseTime(const std::string& text, const TIMEDATE& now, TIMEDATE* out,
               std::string* error) {
  if (int64_t age = Age(text); age >= 0) {
    TimeFromMicros(TimeToMicros(&now) - age, out);
    return true;
  }
  // YYYY-MM-DD[THH:MM[:SS[.frac]]][Z|+HH:MM|-HH:MM]
  struct tm tm = {};
  int year, month, day, hour = 0, minute = 0, second = 0;
  int64_t micros = 0;
  size_t at = 10;
  bool ok = Digits(text, 0, 4, &year) && text.size() >= 10 && text[4] == '-' &&
            Digits(text, 5, 2, &month) && text[7] == '-' && Digits(text, 8, 2, &day);
  if (ok && at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    ok = Digits(text, at + 1, 2, &hour) && at + 3 < text.size() && text[at + 3] == ':' &&
         Digits(text, at + 4, 2, &minute);
    at += 6;
    if (ok && at < text.size() && text[at] == ':') {
      ok = Digits(text, at + 1, 2, &second);
      at += 3;
      if (ok && at < text.size() && text[at] == '.') {
        int64_t scale = 100000;
        for (at++; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); at++) {
          micros += (text[at] - '0') * scale;
          scale /= 10;
        }
      }
    }
  }
  bool zone = false;
  int64_t offset = 0;
  if (ok && at < text.size()) {
    if (text[at] == 'Z' && at + 1 == text.size()) {
      zone = true;
    } else if ((text[at] == '+' || text[at] == '-') && at + 6 == text.size() &&
               text[at + 3] == ':') {
      int oh, om;
      ok = Digits(text, at + 1, 2, &oh) && Digits(text, at + 4, 2, &om);
      offset = (oh * 3600 + om * 60) * (text[at] == '-' ? -1 : 1);
      zone = true;
    } else {
      ok = false;
    }
  }
  if (!ok || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    *error = "'" + text + "' is not a time: give ISO 8601 (2026-12-06T23:01:02, with an "
             "optional zone) or an age such as 90s, 15m, 2h, 3d, 1w";
    return false;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const time_t secs = zone ? timegm(&tm) - offset : mktime(&tm);
  TimeFromMicros(static_cast<int64_t>(secs) * 1000000 + micros, out);
  return true;
}

}  // namespace wqadmin
