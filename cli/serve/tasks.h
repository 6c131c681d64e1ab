// The running tasks of the data directory for the dashboard.
//
// The task registry is the platform's own business (its files and their
// format are not part of its public headers), so the list comes from the
// platform's public command, `tavlo show tasks --json`, run as a child.
// That also makes /api/tasks exactly what the command prints.  One run
// serves every client for a short while, so polling pages cost one process
// per interval, not one per request.
//
// On top of the list the watch keeps a short history of each task's
// status-line count ("ReQueueing Message: N"), which gives messages per
// second, and for rswq the time left: the failed messages still in its
// queue divided by that rate.
#ifndef WQSERVE_TASKS_H_
#define WQSERVE_TASKS_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace wqserve {

// Runs `tavlo --data DIR show tasks --json`: true with its array, else
// false with the reason.
bool RunShowTasks(const std::string& tavloBinary, const std::string& dataDir,
                  nlohmann::ordered_json* out, std::string* error);

// The number in a status line such as "ReQueueing Message: 1234", if any:
// the last run of digits.
std::optional<uint64_t> StatusCount(const std::string& status);

class TaskWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // Counts the failed messages still in rswq's queue, or returns false
  // when that queue is not served (then no time left is estimated).
  using FailedCounter = std::function<bool(uint64_t* failed)>;

  TaskWatch(std::string tavloBinary, std::string dataDir, FailedCounter failed);

  // The array `tavlo show tasks --json` prints, at most kFresh old.
  bool Tasks(nlohmann::ordered_json* out, std::string* error);
  // The same tasks, each with "count", "per_second", and for rswq
  // "failed_left" and "eta_seconds" (null when not known yet).
  bool Progress(nlohmann::ordered_json* out, std::string* error);

  static constexpr auto kFresh = std::chrono::milliseconds(500);
  static constexpr auto kWindow = std::chrono::seconds(10);
  // How long a measured failed count is trusted before it is measured again.
  static constexpr auto kRecount = std::chrono::seconds(30);

 private:
  struct Sample {
    Clock::time_point at;
    uint64_t count;
  };
  struct History {
    std::deque<Sample> samples;
    bool haveFailed = false;
    uint64_t failed = 0;       // failed messages in the queue ...
    uint64_t failedAt = 0;     // ... when the status line counted this
    Clock::time_point counted;
    Clock::time_point seen;
  };

  bool Refresh(std::string* error);  // mu_ held

  const std::string tavlo_;
  const std::string dataDir_;
  const FailedCounter failed_;
  std::mutex mu_;
  nlohmann::ordered_json last_;
  Clock::time_point fetched_{};
  bool haveLast_ = false;
  std::map<long, History> history_;  // by pid
};

}  // namespace wqserve

#endif  // WQSERVE_TASKS_H_
