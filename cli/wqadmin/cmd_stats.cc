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
#include "safe_text.h"
#include "selection.h"
#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

struct Shape {
  uint64_t total = 0;
  std::array<uint64_t, kNumBuckets> buckets{};
};

}  // namespace

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
  const int64_t nowMicros = TimeToMicros(&now);

  std::map<DWORD, Shape> byStatus;
  Shape absent, all;
  uint64_t total = 0, failed = 0, damaged = 0;
  // Read straight from the rows of the three items a message's shape needs,
  // in one pass: a million messages take seconds, not the minutes opening
  // each would.
  Progress progress("reading", 0, !o.quiet && Progress::Wanted());
  struct Walk {
    std::function<void(const wqs_scan_row_t&)> fn;
  } walk{[&](const wqs_scan_row_t& r) {
    total++;
    if ((total & 1023) == 0) progress.Update(total);
    if (r.bDamaged) {
      damaged++;
      return;
    }
    size_t b = BucketOf(LoadTime(&r.info.user.tdNextRetry), nowMicros);
    Shape& shape = r.bHasStatus ? byStatus[r.dwStatus] : absent;
    shape.total++;
    shape.buckets[b]++;
    all.total++;
    all.buckets[b]++;
    if (r.bHasStatus && IsFailedStatus(r.dwStatus)) failed++;
  }};
  STATUS err = WQSScanQueue(
      &q,
      [](void* arg, const wqs_scan_row_t* r) -> STATUS {
        static_cast<Walk*>(arg)->fn(*r);
        return NOERROR;
      },
      &walk);
  progress.Update(total);
  progress.Finish();
  CloseQueue(o.queue, &q);
  if (err != NOERROR) return Fail("cannot read the messages of", where, err);

  const std::vector<std::string> names = BucketNames();
  if (o.json) {
    nlohmann::ordered_json j;
    SetText(j, "queue", where);
    j["now"] = IsoTime(now);
    j["total"] = total;
    nlohmann::ordered_json by = nlohmann::ordered_json::object();
    for (const auto& [status, shape] : byStatus) by[std::to_string(status)] = shape.total;
    j["by_status"] = by;
    j["absent"] = absent.total;
    j["failed"] = failed;
    j["damaged"] = damaged;
    j["buckets"] = names;
    auto shapeJson = [&](const Shape& s) {
      nlohmann::ordered_json e;
      e["total"] = s.total;
      nlohmann::ordered_json b = nlohmann::ordered_json::object();
      for (size_t i = 0; i < kNumBuckets; i++) b[names[i]] = s.buckets[i];
      e["next_retry"] = b;
      return e;
    };
    nlohmann::ordered_json shape = nlohmann::ordered_json::object();
    for (const auto& [status, s] : byStatus) shape[std::to_string(status)] = shapeJson(s);
    if (absent.total > 0) shape["absent"] = shapeJson(absent);
    shape["all"] = shapeJson(all);
    j["shape"] = shape;
    Printf("%s\n", JsonDump(j, 2).c_str());
    return 0;
  }

  Printf("queue %s: %s message%s, %s failed (11, 9, 10, 7)%s\n",
              Printable(where).c_str(), Grouped(total).c_str(), total == 1 ? "" : "s",
              Grouped(failed).c_str(),
              damaged ? (", " + Grouped(damaged) + " damaged").c_str() : "");
  Printf("next retry overdue by up to N minutes, as of %s\n",
              IsoTime(now).c_str());
  Printf("%-20s %9s", "status", "total");
  for (const auto& n : names) Printf(" %6s", n.c_str());
  Printf("\n");
  auto printShape = [&](const std::string& label, const Shape& s) {
    Printf("%-20s %9llu", label.c_str(),
                static_cast<unsigned long long>(s.total));
    for (uint64_t n : s.buckets)
      Printf(" %6llu", static_cast<unsigned long long>(n));
    Printf("\n");
  };
  printShape("all", all);
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
