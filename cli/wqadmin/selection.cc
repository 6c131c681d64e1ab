// Selecting messages (see selection.h).
#include "selection.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include <CLI/CLI.hpp>

#include "admin.h"
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
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
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
      int oh = 0, om = 0;
      ok = Digits(text, at + 1, 2, &oh) && Digits(text, at + 4, 2, &om);
      offset = (oh * 3600 + om * 60) * (text[at] == '-' ? -1 : 1);
      zone = true;
    } else {
      ok = false;
    }
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  // A day the month does not have is a typing error, not the next month.
  if (ok && month >= 1 && month <= 12 && day >= 1 &&
      (day > kDays[month - 1] || (month == 2 && day == 29 && !leap))) {
    *error = "'" + text + "' is not a time: month " + std::to_string(month) + " of " +
             std::to_string(year) + " has no day " + std::to_string(day);
    return false;
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

namespace {

std::string Lower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return s;
}

bool ParseId(const std::string& text, NOTEID* id) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v == 0 || v > 0xFFFFFFFFull) return false;
  *id = static_cast<NOTEID>(v);
  return true;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n\"");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n\",");
  return s.substr(a, b - a + 1);
}

}  // namespace

void AddSelectionOptions(CLI::App* cmd, SelectionOptions* o) {
  cmd->add_option("--status", o->statuses,
                  "only messages in these statuses (repeatable; 9,10 lists too)")
      ->expected(1)
      ->allow_extra_args(false)  // one value each time: QUEUE may follow
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--formula", o->formula,
                  "only messages this selection formula matches, e.g. "
                  "'WQMsgStatus = 9 | WQMsgStatus = 10'");
  cmd->add_option("--id", o->ids,
                  "only these note ids (repeatable; - reads them from standard "
                  "input, one a line)")
      ->expected(1)
      ->allow_extra_args(false)  // one value each time: QUEUE may follow
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--to", o->to,
                  "only messages with a recipient ADDR, or any at @DOMAIN "
                  "(case-insensitive)");
  cmd->add_option("--error", o->error,
                  "only messages whose error text holds TEXT (case-insensitive)");
  cmd->add_option("--retry-before", o->retryBefore,
                  "only messages whose next retry is before TIME (ISO 8601 or an "
                  "age such as 2h, 3d)");
  cmd->add_option("--retry-after", o->retryAfter, "only messages whose next retry is after TIME");
  cmd->add_option("--received-before", o->receivedBefore,
                  "only messages received (WQRecvTime) before TIME");
  cmd->add_option("--received-after", o->receivedAfter,
                  "only messages received (WQRecvTime) after TIME");
}

bool Selection::Resolve(const SelectionOptions& o, std::string* error) {
  std::string statuses;
  std::string words;
  for (const std::string& opt : o.statuses) {
    size_t at = 0;
    while (at <= opt.size()) {
      size_t comma = opt.find(',', at);
      const std::string one = opt.substr(at, comma == std::string::npos ? std::string::npos
                                                                         : comma - at);
      NOTEID n = 0;
      if (one != "0" && !ParseId(one, &n)) {
        *error = "--status: '" + one + "' is not a status number";
        return false;
      }
      statuses += (statuses.empty() ? "" : " | ") + std::string("WQMsgStatus = ") + one;
      words += (words.empty() ? "status " : " or ") + one;
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
  }
  if (!statuses.empty() && !o.formula.empty())
    formula_ = "(" + o.formula + ") & (" + statuses + ")";
  else
    formula_ = statuses.empty() ? o.formula : statuses;
  if (!o.formula.empty()) words += std::string(words.empty() ? "" : ", ") + "formula " + o.formula;

  for (const std::string& opt : o.ids) {
    byId_ = true;
    if (opt == "-") {
      std::string line;
      while (std::getline(std::cin, line)) {
        line = Trim(line);
        if (line.empty()) continue;
        NOTEID id = 0;
        if (!ParseId(line, &id)) {
          *error = "--id -: '" + line + "' on standard input is not a note id";
          return false;
        }
        ids_.insert(id);
      }
      continue;
    }
    NOTEID id = 0;
    if (!ParseId(opt, &id)) {
      *error = "--id: '" + opt + "' is not a note id";
      return false;
    }
    ids_.insert(id);
  }
  if (byId_) words += std::string(words.empty() ? "" : ", ") + std::to_string(ids_.size()) + " ids";

  to_ = Lower(o.to);
  if (!o.to.empty()) {
    if (to_ == "@" || (to_[0] != '@' && to_.find('@') == std::string::npos)) {
      *error = "--to: give an address (user@example.org) or a domain (@example.org)";
      return false;
    }
    words += std::string(words.empty() ? "" : ", ") + "to " + o.to;
  }
  error_ = Lower(o.error);
  if (!o.error.empty()) words += std::string(words.empty() ? "" : ", ") + "error ~ " + o.error;

  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  struct {
    const std::string& text;
    bool* has;
    int64_t* at;
    const char* name;
  } times[] = {{o.retryBefore, &hasRetryBefore_, &retryBefore_, "retry before"},
               {o.retryAfter, &hasRetryAfter_, &retryAfter_, "retry after"},
               {o.receivedBefore, &hasReceivedBefore_, &receivedBefore_, "received before"},
               {o.receivedAfter, &hasReceivedAfter_, &receivedAfter_, "received after"}};
  for (auto& t : times) {
    if (t.text.empty()) continue;
    TIMEDATE td;
    if (!ParseTime(t.text, now, &td, error)) return false;
    *t.has = true;
    *t.at = TimeToMicros(&td);
    words += std::string(words.empty() ? "" : ", ") + t.name + " " + t.text;
  }
  describe_ = words.empty() ? "every message" : words;
  return true;
}

bool Selection::TestsMessage() const {
  return !to_.empty() || !error_.empty() || hasRetryBefore_ || hasRetryAfter_ ||
         hasReceivedBefore_ || hasReceivedAfter_;
}

std::string Selection::Describe() const { return describe_; }

bool Selection::Matches(msg_handle_t* m) const {
  if (hasRetryBefore_ || hasRetryAfter_) {
    const TIMEDATE next = LoadTime(&m->info.user.tdNextRetry);
    if (IsSpecialTime(next)) return false;  // unset: neither before nor after
    const int64_t at = TimeToMicros(&next);
    if (hasRetryBefore_ && !(at < retryBefore_)) return false;
    if (hasRetryAfter_ && !(at > retryAfter_)) return false;
  }
  if (hasReceivedBefore_ || hasReceivedAfter_) {
    TIMEDATE recv;
    if (WQSGetTIMEDATE(m, "WQRecvTime", &recv) != NOERROR) return false;
    const int64_t at = TimeToMicros(&recv);
    if (hasReceivedBefore_ && !(at < receivedBefore_)) return false;
    if (hasReceivedAfter_ && !(at > receivedAfter_)) return false;
  }
  if (!error_.empty()) {
    static char buf[65535];
    WORD len = 0;
    if (WQSGetDataBlock(m, "WQErrStr", buf, sizeof buf, &len) != NOERROR) return false;
    if (Lower(std::string(buf, len)).find(error_) == std::string::npos) return false;
  }
  if (!to_.empty()) {
    bool any = false;
    for (WORD r = 0; r < m->info.user.wNumRecip && !any; r++) {
      recip_info_t ri{};
      if (WQSGetRecipient(m, r, &ri) != NOERROR || ri.pName == nullptr) continue;
      const std::string name = Lower(std::string(ri.pName, ri.wNameLen));
      if (to_[0] == '@') {
        any = name.size() > to_.size() &&
              name.compare(name.size() - to_.size(), to_.size(), to_) == 0;
      } else {
        any = name == to_;
      }
    }
    if (!any) return false;
  }
  return true;
}

STATUS CandidateIds(queue_handle_t* q, const Selection& s, std::vector<NOTEID>* ids) {
  ids->clear();
  if (s.Ids() != nullptr && s.Formula().empty()) {
    // Only the ids of messages: a view's note id selects nothing, as
    // list shows it.  A note that cannot be opened stays, for the action
    // to report.
    for (NOTEID id : *s.Ids()) {
      NOTEHANDLE h = NULLHANDLE;
      STATUS err = QDSNoteOpen(q->dbhandle, id, 0, &h);
      if (err == ERR_NOTE_NOT_FOUND) continue;
      if (err == ERR_MEMORY) return err;
      WORD cls = NOTE_CLASS_DOCUMENT;
      if (!err) {
        QDSNoteGetInfo(h, _NOTE_CLASS, &cls);
        QDSNoteClose(h);
      }
      if (cls == NOTE_CLASS_DOCUMENT) ids->push_back(id);
    }
    return NOERROR;
  }
  return ForEachNote(q, s.Formula(), [&](NOTEID id, bool damaged) {
    if (!damaged && s.TakesId(id)) ids->push_back(id);
    return true;
  });
}

}  // namespace wqadmin
