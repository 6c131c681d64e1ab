// wqadmin stats: the queue's shape.  Messages per WQMsgStatus and, per
// status, how long ago their next retry fell due, in doubling age buckets,
// so an operator sees at a glance whether failures are fresh or stuck.
#include <array>
#include <functional>
#include <cstdio>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "buckets.h"
#include "output.h"
#include "progress.h"
#include "reports.h"
#include "safe_text.h"
#include "selection.h"
#include "tavlo/runtime.h"

namespace wqadmin {

STATUS CountStats(queue_handle_t* q, int64_t nowMicros, Progress* progress,
                  StatsCounts* out) {
  StatsCounts& c = *out;
  c = StatsCounts();
  // Read straight from the rows of the three items a message's shape needs,
  // in one pass: a million messages take seconds, not the minutes opening
  // each would.
  struct Walk {
    std::function<void(const wqs_scan_row_t&)> fn;
  } walk{[&](const wqs_scan_row_t& r) {
    c.total++;
    if (progress != nullptr && (c.total & 1023) == 0) progress->Update(c.total);
    if (r.bDamaged) {
      c.damaged++;
      return;
    }
    size_t b = BucketOf(LoadTime(&r.info.user.tdNextRetry), nowMicros);
    StatsShape& shape = r.bHasStatus ? c.byStatus[r.dwStatus] : c.absent;
    shape.total++;
    shape.buckets[b]++;
    c.all.total++;
    c.all.buckets[b]++;
    if (r.bHasStatus && IsFailedStatus(r.dwStatus)) c.failed++;
  }};
  STATUS err = WQSScanQueue(
      q,
      [](void* arg, const wqs_scan_row_t* r) -> STATUS {
        static_cast<Walk*>(arg)->fn(*r);
        return NOERROR;
      },
      &walk);
  if (progress != nullptr) progress->Update(c.total);
  return err;
}

nlohmann::ordered_json StatsJson(const StatsCounts& c, const std::string& where,
                                 const TIMEDATE& now) {
  const std::vector<std::string> names = BucketNames();
  nlohmann::ordered_json j;
  SetText(j, "queue", where);
  j["now"] = IsoTime(now);
  j["total"] = c.total;
  nlohmann::ordered_json by = nlohmann::ordered_json::object();
  for (const auto& [status, shape] : c.byStatus) by[std::to_string(status)] = shape.total;
  j["by_status"] = by;
  j["absent"] = c.absent.total;
  j["failed"] = c.failed;
  j["damaged"] = c.damaged;
  j["buckets"] = names;
  auto shapeJson = [&](const StatsShape& s) {
    nlohmann::ordered_json e;
    e["total"] = s.total;
    nlohmann::ordered_json b = nlohmann::ordered_json::object();
    for (size_t i = 0; i < kNumBuckets; i++) b[names[i]] = s.buckets[i];
    e["next_retry"] = b;
    return e;
  };
  nlohmann::ordered_json shape = nlohmann::ordered_json::object();
  for (const auto& [status, s] : c.byStatus) shape[std::to_string(status)] = shapeJson(s);
  if (c.absent.total > 0) shape["absent"] = shapeJson(c.absent);
  shape["all"] = shapeJson(c.all);
  j["shape"] = shape;
  return j;
}

int CmdStats(const StatsOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  if (!o.now.empty()) {
    std::string error;
    if (!ParseTime(o.now, now, &now, &error)) {
      CloseQueue(o.queue, &q);
      std::fprintf(stderr, "wqadmin: stats --now: %s\n", error.c_str());
      return 2;
    }
  }
  StatsCounts c;
  Progress progress("reading", 0, !o.quiet && Progress::Wanted());
  STATUS err = CountStats(&q, TimeToMicros(&now), &progress, &c);
  progress.Finish();
  CloseQueue(o.queue, &q);
  if (err != NOERROR) return Fail("cannot read the messages of", where, err);
  const auto& byStatus = c.byStatus;
  const StatsShape& absent = c.absent;
  const uint64_t total = c.total, failed = c.failed, damaged = c.damaged;

  if (o.json) {
    Printf("%s\n", JsonDump(StatsJson(c, where, now), 2).c_str());
    return 0;
  }
  const std::vector<std::string> names = BucketNames();

  Printf("queue %s: %s message%s, %s failed (11, 9, 10, 7)%s\n",
              Printable(where).c_str(), Grouped(total).c_str(), total == 1 ? "" : "s",
              Grouped(failed).c_str(),
              damaged ? (", " + Grouped(damaged) + " damaged").c_str() : "");
  Printf("next retry overdue by up to N minutes, as of %s\n",
              IsoTime(now).c_str());
  Printf("%-20s %9s", "status", "total");
  for (const auto& n : names) Printf(" %6s", n.c_str());
  Printf("\n");
  auto printShape = [&](const std::string& label, const StatsShape& s) {
    Printf("%-20s %9llu", label.c_str(),
                static_cast<unsigned long long>(s.total));
    for (uint64_t n : s.buckets)
      Printf(" %6llu", static_cast<unsigned long long>(n));
    Printf("\n");
  };
  printShape("all", c.all);
  for (const auto& [status, s] : byStatus) {
    std::string label = std::to_string(status);
    const char* name = StatusName(status);
    if (*name) label += std::string(" ") + name;
    if (IsFailedStatus(status)) label += " *";
    printShape(label, s);
  }
  if (absent.total > 0) printShape("no WQMsgStatus", absent);
  if (failed > 0) Printf("* reset to 6 by rswq\n");
  if (damaged > 0)
    Printf("%s damaged message%s not counted above: run wqadmin verify\n",
                Grouped(damaged).c_str(), damaged == 1 ? "" : "s");
  return 0;
}

}  // namespace wqadmin
