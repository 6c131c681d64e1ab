// The dashboard's JSON API: each endpoint gives the document the matching
// `wqadmin ... --json` prints (built by the same functions), so a monitoring
// system can scrape it with the field names operators already know.
//
//   /api/queues                       the served queue names
//   /api/stats   [now]                stats --json
//   /api/shape   [by age top SEL]     shape --json
//                [cached=1]           either: the last document computed for
//                                     the same question, at once (its "now"
//                                     says when); counting a million
//                                     messages takes seconds, and the page
//                                     shows the last count while the fresh
//                                     one runs
//   /api/list    [after limit SEL]    list --json, one page (limit 1..1000,
//                                     default 100); X-Next-After names the
//                                     next page's `after` when there is one
//   /api/show/ID                      show --json
//   /api/tasks                        tavlo show tasks --json
//   /api/progress                     the tasks with messages per second and,
//                                     for rswq, the time left
//   SEL: status (repeatable), formula, id (repeatable), to, error,
//        retry-before, retry-after, received-before, received-after
//   queue=NAME picks one of the served queues (needed when several are).
//
// Read-only by construction: a queue is opened through the store's read-only
// open for one request and closed before the answer goes out, so no read
// snapshot outlives a request and a writer (rswq, the relay) is never held
// up.  The store and the runtime are single-threaded: every call into them
// happens under one lock.  Request texts choose among the served queues by
// exact name and never reach a path.
#ifndef WQSERVE_API_H_
#define WQSERVE_API_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serve/tasks.h"

namespace wqserve {

using Params = std::multimap<std::string, std::string>;

struct Reply {
  int status = 200;
  std::string body;  // JSON
  std::string nextAfter;  // /api/list: the next page's `after`, when more
};

class Api {
 public:
  // `queues` as named on the command line (resolved against the data
  // directory by the store, as wqadmin does); `tavloBinary` runs
  // `show tasks`.
  Api(std::vector<std::string> queues, std::string dataDir, std::string tavloBinary);

  Reply Queues(const Params& p);
  Reply Stats(const Params& p);
  Reply Shape(const Params& p);
  Reply List(const Params& p);
  Reply Show(const std::string& id, const Params& p);
  Reply Tasks(const Params& p);
  Reply Progress(const Params& p);

  // Counts every queue once so the first page has its totals at once.
  void Warm();

  // {"error": text} with `status`; texts follow the non-UTF-8 rule.
  static Reply Error(int status, const std::string& text);

 private:
  bool CountFailed(uint64_t* failed);
  Reply TaskView(const Params& p,
                 bool (TaskWatch::*view)(nlohmann::ordered_json*, std::string*));
  // The cached=1 answer for `key`, or false; and keeping a fresh one.
  bool Cached(const std::string& key, Reply* r);
  void Keep(const std::string& key, const Reply& r);

  const std::vector<std::string> queues_;
  const std::string dataDir_;
  std::mutex store_;  // every store and runtime call, one at a time
  std::unique_ptr<TaskWatch> tasks_;
  std::mutex cacheMu_;  // never held while waiting for store_
  std::map<std::string, Reply> cache_;
};

}  // namespace wqserve

#endif  // WQSERVE_API_H_
