// wqadmin shape: where the selected mail is going and how long it has
// waited.  Rows are recipient domains (or next hops, or statuses), the
// largest first and the rest as "other", under a row of totals; columns
// are the total and the age buckets of stats (by next retry, or by receipt
// time); every cell counts recipients, every recipient of every selected
// message.  Read from the rows of a few items in one pass when the
// selection needs no message opened; otherwise each selected message is
// opened through the library.
#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "buckets.h"
#include "output.h"
#include "progress.h"
#include "reports.h"
#include "safe_text.h"
#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

using Row = ShapeRow;

std::string Lower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return s;
}

std::string DomainOf(const std::string& address) {
  size_t at = address.rfind('@');
  if (at == std::string::npos || at + 1 == address.size()) return "(no domain)";
  return Lower(address.substr(at + 1));
}

struct Tally {
  const ShapeOptions& o;
  int64_t nowMicros;
  std::map<std::string, Row> rows;
  Row total{};
  uint64_t messages = 0, damaged = 0;

  void Add(const std::string& key, size_t bucket) {
    Row& r = rows[key];
    r[0]++;
    r[bucket + 1]++;
    total[0]++;
    total[bucket + 1]++;
  }
  // One message: its recipients (names and hops), status, times.
  void Message(const std::vector<std::string>& names, const std::vector<std::string>& hops,
               bool hasStatus, DWORD status, const TIMEDATE& next, bool hasRecv,
               const TIMEDATE& recv) {
    messages++;
    size_t bucket = o.age == "received" ? (hasRecv ? BucketOf(recv, nowMicros) : kUnset)
                                        : BucketOf(next, nowMicros);
    for (size_t i = 0; i < names.size(); i++) {
      std::string key;
      if (o.by == "hop") {
        key = i < hops.size() && !hops[i].empty() ? Lower(hops[i]) : "(no next hop)";
      } else if (o.by == "status") {
        key = hasStatus ? std::to_string(status) : "(no status)";
        if (hasStatus && *StatusName(status)) key += std::string(" ") + StatusName(status);
      } else {
        key = DomainOf(names[i]);
      }
      Add(key, bucket);
    }
  }
};

std::vector<std::string> Texts(const void* list) {
  std::vector<std::string> out;
  if (list == nullptr) return out;
  for (WORD i = 0; i < ListGetNumEntries(list, TRUE); i++) {
    char* text = nullptr;
    WORD len = 0;
    if (ListGetText(list, TRUE, i, &text, &len) == NOERROR) out.emplace_back(text, len);
  }
  return out;
}

// The message opened through the library: every list, every recipient.
STATUS FromOpened(queue_handle_t* q, NOTEID id, Tally* t) {
  msg_handle_t m;
  STATUS err = WQSOpenMsgByMsgID(q, id, &m);
  if (err != NOERROR) {
    t->damaged++;
    return NOERROR;
  }
  std::vector<std::string> names, hops;
  for (WORD r = 0; r < m.info.user.wNumRecip; r++) {
    recip_info_t ri{};
    if (WQSGetRecipient(&m, r, &ri) != NOERROR) continue;
    names.emplace_back(ri.pName ? ri.pName : "", ri.pName ? ri.wNameLen : 0);
    hops.emplace_back(ri.pNextHop ? ri.pNextHop : "", ri.pNextHop ? ri.wNextHopLen : 0);
  }
  double d = 0;
  const bool hasStatus = QDSItemGetNumber(m.hNote, "WQMsgStatus", &d) && d >= 0 && d <= 4294967295.0;
  TIMEDATE recv;
  const bool hasRecv = WQSGetTIMEDATE(&m, "WQRecvTime", &recv) == NOERROR;
  t->Message(names, hops, hasStatus, hasStatus ? static_cast<DWORD>(d) : 0,
             LoadTime(&m.info.user.tdNextRetry), hasRecv, recv);
  return WQSCloseMsg(&m);
}

}  // namespace

STATUS ComputeShape(queue_handle_t* q, const ShapeOptions& o, const Selection& sel,
                    int64_t nowMicros, Progress* progress, ShapeTable* out) {
  Tally t{o, nowMicros, {}};
  auto update = [&](uint64_t n) {
    if (progress != nullptr) progress->Update(n);
  };
  STATUS err = NOERROR;
  if (sel.TestsMessage()) {
    err = WalkSelected(q, sel, [&](NOTEID id, bool undecodable) {
      if (undecodable) return true;
      err = FromOpened(q, id, &t);
      update(t.messages);
      return err == NOERROR;
    });
  } else {
    // Only the search's matches, when the selection has a search part.
    std::set<NOTEID> take;
    bool restricted = !sel.Formula().empty() || sel.Ids() != nullptr;
    if (restricted) {
      std::vector<NOTEID> ids;
      err = CandidateIds(q, sel, &ids);
      take.insert(ids.begin(), ids.end());
    }
    struct Arg {
      std::function<STATUS(const wqs_scan_row_t&)> fn;
    } arg{[&](const wqs_scan_row_t& r) -> STATUS {
      if (restricted && !take.count(r.noteId)) return NOERROR;
      if (r.bDamaged) {
        t.damaged++;
        return NOERROR;
      }
      update(t.messages + 1);
      // More lists than the first: the message knows the rest.
      if (r.info.wNumRecipLists > 1) return FromOpened(q, r.noteId, &t);
      t.Message(Texts(r.pRecipList), Texts(r.pNHEList), r.bHasStatus, r.dwStatus,
                LoadTime(&r.info.user.tdNextRetry), r.bHasRecvTime, r.tdRecvTime);
      return NOERROR;
    }};
    if (!err)
      err = WQSScanQueue(
          q, [](void* a, const wqs_scan_row_t* r) { return static_cast<Arg*>(a)->fn(*r); },
          &arg);
  }
  if (err != NOERROR) return err;

  // The largest rows first, then one row for the rest.
  std::vector<std::pair<std::string, Row>> ordered(t.rows.begin(), t.rows.end());
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.second[0] > b.second[0]; });
  if (o.top > 0 && ordered.size() > o.top) {
    Row other{};
    for (size_t i = o.top; i < ordered.size(); i++)
      for (size_t c = 0; c < other.size(); c++) other[c] += ordered[i].second[c];
    ordered.resize(o.top);
    ordered.emplace_back("other", other);
  }
  out->total = t.total;
  out->rows = std::move(ordered);
  out->messages = t.messages;
  out->damaged = t.damaged;
  return NOERROR;
}

nlohmann::ordered_json ShapeJson(const ShapeTable& t, const ShapeOptions& o,
                                 const std::string& where, const TIMEDATE& now) {
  const std::vector<std::string> names = BucketNames();
  nlohmann::ordered_json j;
  SetText(j, "queue", where);
  j["now"] = IsoTime(now);
  j["by"] = o.by;
  j["age"] = o.age;
  j["messages"] = t.messages;
  j["damaged"] = t.damaged;
  j["buckets"] = names;
  auto rowJson = [&](const std::string& key, const Row& r) {
    nlohmann::ordered_json e;
    SetText(e, "key", key);
    e["total"] = r[0];
    nlohmann::ordered_json b = nlohmann::ordered_json::object();
    for (size_t i = 0; i < kNumBuckets; i++) b[names[i]] = r[i + 1];
    e["ages"] = b;
    return e;
  };
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  rows.push_back(rowJson("total", t.total));
  for (const auto& [key, r] : t.rows) rows.push_back(rowJson(key, r));
  j["rows"] = rows;
  return j;
}

int CmdShape(const ShapeOptions& o) {
  Selection sel;
  std::string why;
  if (!sel.Resolve(o.sel, &why)) {
    std::fprintf(stderr, "wqadmin: shape: %s\n", why.c_str());
    return 2;
  }
  if (!sel.Formula().empty() && !ExplainFormula(sel.Formula())) return 2;
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  ShapeTable t;
  Progress progress("reading", 0, !o.quiet && Progress::Wanted());
  STATUS err = ComputeShape(&q, o, sel, TimeToMicros(&now), &progress, &t);
  progress.Finish();
  CloseQueue(o.queue, &q);
  if (err != NOERROR) return Fail("cannot read the messages of", where, err);

  const std::vector<std::string> names = BucketNames();
  const char* byName = o.by == "hop" ? "next hop" : o.by == "status" ? "status" : "domain";
  if (o.json) {
    Printf("%s\n", JsonDump(ShapeJson(t, o, where, now), 2).c_str());
    return 0;
  }
  Printf("queue %s: %s recipients of %s messages by %s, %s age as of %s%s\n",
         Printable(where).c_str(), Grouped(t.total[0]).c_str(), Grouped(t.messages).c_str(),
         byName, o.age == "received" ? "receipt" : "next-retry", IsoTime(now).c_str(),
         t.damaged ? (", " + Grouped(t.damaged) + " damaged left out").c_str() : "");
  Printf("%-28s %9s", byName, "total");
  for (const auto& n : names) Printf(" %6s", n.c_str());
  Printf("\n");
  auto line = [&](const std::string& key, const Row& r) {
    std::string k = Printable(key);
    if (k.size() > 28) k = k.substr(0, 27) + "~";
    Printf("%-28s %9llu", k.c_str(), static_cast<unsigned long long>(r[0]));
    for (size_t i = 1; i < r.size(); i++) Printf(" %6llu", static_cast<unsigned long long>(r[i]));
    Printf("\n");
  };
  line("total", t.total);
  for (const auto& [key, r] : t.rows) line(key, r);
  return 0;
}

}  // namespace wqadmin
