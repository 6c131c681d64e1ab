// The JSON documents of the read-only reports (stats, shape, list, show),
// built apart from their printing so that every front end to the queues
// (the command's --json, the dashboard's API) gives the same document for
// the same queue.  Each builder works on a queue the caller opened
// read-only and never prints.
#ifndef WQADMIN_REPORTS_H_
#define WQADMIN_REPORTS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "buckets.h"
#include "selection.h"
#include "wqhk/wqhk.h"

namespace wqadmin {

class Progress;

// stats: messages per WQMsgStatus and the age of their next retry.
struct StatsShape {
  uint64_t total = 0;
  std::array<uint64_t, kNumBuckets> buckets{};
};
struct StatsCounts {
  std::map<DWORD, StatsShape> byStatus;
  StatsShape absent, all;
  uint64_t total = 0, failed = 0, damaged = 0;
};
// Counts every message of the queue as of `nowMicros`; `progress` may be
// null.
STATUS CountStats(queue_handle_t* q, int64_t nowMicros, Progress* progress,
                  StatsCounts* out);
// What `stats --json` prints for those counts.
nlohmann::ordered_json StatsJson(const StatsCounts& c, const std::string& where,
                                 const TIMEDATE& now);

// shape: recipients per domain, next hop or status, by age.
using ShapeRow = std::array<uint64_t, kNumBuckets + 1>;  // [0]: total
struct ShapeTable {
  ShapeRow total{};
  std::vector<std::pair<std::string, ShapeRow>> rows;  // largest first, "other" last
  uint64_t messages = 0, damaged = 0;
};
// Tallies the selection by o.by and o.age as of `nowMicros`, keeping o.top
// rows; `progress` may be null.
STATUS ComputeShape(queue_handle_t* q, const ShapeOptions& o, const Selection& sel,
                    int64_t nowMicros, Progress* progress, ShapeTable* out);
// What `shape --json` prints for that table.
nlohmann::ordered_json ShapeJson(const ShapeTable& t, const ShapeOptions& o,
                                 const std::string& where, const TIMEDATE& now);

// list: one object per message, as one line of `list --json`.
nlohmann::ordered_json MessageRowJson(const MessageRow& r);
// Hands `fn` the rows of the selection in note-id order, at most `limit`
// (0: all); *more is set when the limit cut the listing short.  False from
// `fn` stops.  A store failure is returned; *readFailed (may be null) tells
// whether it came reading a row rather than searching.
STATUS ListRows(queue_handle_t* q, const Selection& sel, uint32_t limit,
                const std::function<bool(const MessageRow&)>& fn, bool* more,
                bool* readFailed = nullptr);

// show: everything known of one opened message, as `show --json` prints it.
// On failure *what names the step ("cannot read the state of message 7").
STATUS ShowJson(wq_msg_handle_t* h, NOTEID id, nlohmann::ordered_json* out,
                std::string* what);

}  // namespace wqadmin

#endif  // WQADMIN_REPORTS_H_
