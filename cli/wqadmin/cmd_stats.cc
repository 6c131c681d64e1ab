// wqadmin stats and list: read the summary items the search hands over,
// without opening any message through the library.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin.h"

namespace wqadmin {

int CmdStats(const StatsOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  std::vector<SummaryRow> rows;
  STATUS err = ScanSummaries(&q, "", 0, &rows);
  CloseQueue(o.queue, &q);
  if (err != NOERROR) return Fail("cannot search queue", ResolvedPath(o.queue), err);

  std::map<DWORD, uint64_t> byStatus;
  uint64_t absent = 0, failed = 0;
  for (const auto& r : rows) {
    if (!r.hasStatus) {
      absent++;
      continue;
    }
    byStatus[r.status]++;
    if (IsFailedStatus(r.status)) failed++;
  }

  if (o.json) {
    nlohmann::ordered_json j;
    j["queue"] = ResolvedPath(o.queue);
    j["total"] = rows.size();
    nlohmann::ordered_json by = nlohmann::ordered_json::object();
    for (const auto& [status, n] : byStatus) by[std::to_string(status)] = n;
    j["by_status"] = by;
    j["absent"] = absent;
    j["failed"] = failed;
    std::printf("%s\n", j.dump(2).c_str());
    return 0;
  }
  std::printf("queue %s: %zu message%s\n", ResolvedPath(o.queue).c_str(),
              rows.size(), rows.size() == 1 ? "" : "s");
  for (const auto& [status, n] : byStatus) {
    const char* name = StatusName(status);
    std::printf("  status %5u %-17s %10llu%s\n", static_cast<unsigned>(status),
                *name ? (std::string("(") + name + ")").c_str() : "",
                static_cast<unsigned long long>(n),
                IsFailedStatus(status) ? "   <- reset by rswq" : "");
  }
  std::printf("  %-30s %10llu\n", "no WQMsgStatus",
              static_cast<unsigned long long>(absent));
  std::printf("  %-30s %10llu\n", "failed (11, 9, 10, 7)",
              static_cast<unsigned long long>(failed));
  return 0;
}

int CmdList(const ListOptions& o) {
  if (o.status > 0xFFFFFFFFLL) return FailText("--status out of range");
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  std::vector<SummaryRow> rows;
  std::string formula =
      o.status >= 0 ? "WQMsgStatus = " + std::to_string(o.status) : "";
  STATUS err = ScanSummaries(&q, formula, o.limit, &rows);
  CloseQueue(o.queue, &q);
  if (err != NOERROR) return Fail("cannot search queue", ResolvedPath(o.queue), err);

  if (o.json) {
    nlohmann::ordered_json arr = nlohmann::ordered_json::array();
    for (const auto& r : rows) {
      nlohmann::ordered_json e;
      e["note_id"] = r.id;
      if (r.hasStatus)
        e["status"] = r.status;
      else
        e["status"] = nullptr;
      e["attachments"] = r.attachments;
      arr.push_back(e);
    }
    std::printf("%s\n", arr.dump(2).c_str());
    return 0;
  }
  std::printf("%10s  %6s  %-17s %s\n", "note id", "status", "", "attachments");
  for (const auto& r : rows) {
    if (r.hasStatus) {
      const char* name = StatusName(r.status);
      std::printf("%10u  %6u  %-17s %u\n", static_cast<unsigned>(r.id),
                  static_cast<unsigned>(r.status),
                  *name ? (std::string("(") + name + ")").c_str() : "",
                  static_cast<unsigned>(r.attachments));
    } else {
      std::printf("%10u  %6s  %-17s %u\n", static_cast<unsigned>(r.id), "-",
                  "", static_cast<unsigned>(r.attachments));
    }
  }
  if (o.limit != 0 && rows.size() >= o.limit)
    std::printf("(first %u shown; --limit 0 lists all)\n", o.limit);
  return 0;
}

}  // namespace wqadmin
