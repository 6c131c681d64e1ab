// The dashboard's JSON API (see api.h).
#include "serve/api.h"

#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqadmin/admin.h"
#include "wqadmin/reports.h"
#include "wqadmin/safe_text.h"
#include "wqadmin/selection.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"
#include "wqs/wqs.h"

namespace wqserve {

namespace {

using Json = nlohmann::ordered_json;

// rswq always works on this file of its data directory, and selects
// exactly these statuses.
constexpr const char* kRswqQueue = "smtpibwq.fix";
constexpr const char* kFailedFormula =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | (WQMsgStatus = 7))";

// A page of the message table; enough rows for a screen, few enough that
// one request never holds the store for long.
constexpr uint64_t kDefaultLimit = 100;
constexpr uint64_t kMaxLimit = 1000;
constexpr uint64_t kMaxTop = 1000;
// Distinct questions kept for cached=1 (queues x shapes asked); when full
// the cache starts again, so it stays a few kilobytes.
constexpr size_t kMaxCached = 64;

const std::set<std::string_view> kSelectionSingle = {
    "formula", "to", "error", "retry-before", "retry-after", "received-before",
    "received-after"};
const std::set<std::string_view> kSelectionMulti = {"status", "id"};

Reply Ok(const Json& j) {
  Reply r;
  r.body = wqadmin::JsonDump(j);
  return r;
}

// Unknown parameters are refused rather than ignored, so a typo in a
// scraper's URL is an error and not a silently wider answer.
bool CheckParams(const Params& p, std::set<std::string_view> single,
                 const std::set<std::string_view>& multi, Reply* err) {
  single.insert("queue");
  for (auto it = p.begin(); it != p.end(); it = p.upper_bound(it->first)) {
    const std::string& name = it->first;
    const bool isSingle = single.count(name) != 0;
    if (!isSingle && multi.count(name) == 0) {
      *err = Api::Error(400, "unknown parameter '" + name + "'");
      return false;
    }
    if (isSingle && p.count(name) > 1) {
      *err = Api::Error(400, "parameter '" + name + "' given more than once");
      return false;
    }
  }
  return true;
}

std::string One(const Params& p, const std::string& name) {
  auto it = p.find(name);
  return it == p.end() ? std::string() : it->second;
}

std::vector<std::string> All(const Params& p, const std::string& name) {
  std::vector<std::string> out;
  auto range = p.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  return out;
}

// Decimal digits only, no sign, no blanks, at most `max`.
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

bool NumberParam(const Params& p, const std::string& name, uint64_t min, uint64_t max,
                 uint64_t def, uint64_t* out, Reply* err) {
  if (!p.count(name)) {
    *out = def;
    return true;
  }
  if (ParseNumber(One(p, name), min, max, out)) return true;
  *err = Api::Error(400, "parameter '" + name + "' must be a number from " +
                             std::to_string(min) + " to " + std::to_string(max));
  return false;
}

std::string StatusText(STATUS status) {
  char text[256];
  TavloStatusText(status, text, sizeof text);
  return std::string(text) + " (STATUS " + std::to_string(status) + ")";
}

// A store failure: the queue gone (renamed for the reset procedure, say) is
// 404, anything else 500; the cause is named either way.
Reply StoreError(const std::string& what, STATUS status) {
  const int code = status == ERR_NOEXIST || status == ERR_WQS_NO_QUEUE ? 404 : 500;
  Reply r = Api::Error(code, what + ": " + StatusText(status));
  return r;
}

// One queue opened read-only for the length of one request.
class RequestQueue {
 public:
  explicit RequestQueue(const std::string& name) {
    queue_descriptor_t qd;
    std::memset(&qd, 0, sizeof qd);
    std::memset(&q_, 0, sizeof q_);
    if (name.size() >= sizeof qd.szQueueName) {
      err_ = ERR_DB_PATH;
      return;
    }
    std::memcpy(qd.szQueueName, name.c_str(), name.size() + 1);
    err_ = WQSOpenQueueReadOnly(&qd, &q_);
  }
  ~RequestQueue() {
    if (err_ == NOERROR) (void)WQSCloseQueueForWrite(&q_);
  }
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  STATUS error() const { return err_; }
  queue_handle_t* get() { return &q_; }

 private:
  queue_handle_t q_;
  STATUS err_ = NOERROR;
};

// The selection parameters, checked as `list` checks its options.  Store
// lock held (resolving reads the clock; the formula check compiles).
bool SelectionFrom(const Params& p, wqadmin::Selection* sel, Reply* err) {
  wqadmin::SelectionOptions o;
  o.statuses = All(p, "status");
  o.ids = All(p, "id");
  for (const std::string& id : o.ids)
    if (id == "-") {  // the command's "read standard input"; not here
      *err = Api::Error(400, "id: '-' is not a note id");
      return false;
    }
  o.formula = One(p, "formula");
  o.to = One(p, "to");
  o.error = One(p, "error");
  o.retryBefore = One(p, "retry-before");
  o.retryAfter = One(p, "retry-after");
  o.receivedBefore = One(p, "received-before");
  o.receivedAfter = One(p, "received-after");
  std::string why;
  if (!sel->Resolve(o, &why)) {
    if (why.compare(0, 2, "--") == 0) why.erase(0, 2);
    *err = Api::Error(400, why);
    return false;
  }
  const std::string& formula = sel->Formula();
  if (formula.empty()) return true;
  if (formula.size() > 0xFFFF) {
    *err = Api::Error(400, "bad formula: longer than 65535 bytes");
    return false;
  }
  char message[256] = "";
  WORD line = 0, column = 0, offset = 0, length = 0;
  STATUS st = QDSFormulaErrorText(formula.data(), static_cast<WORD>(formula.size()), message,
                                  sizeof message, &line, &column, &offset, &length);
  if (st == NOERROR) return true;
  if (message[0] == '\0') {
    *err = Api::Error(500, "cannot compile the formula: " + StatusText(st));
    return false;
  }
  Json j;
  wqadmin::SetText(j, "error", "bad formula: " + std::string(message));
  wqadmin::SetText(j, "formula", formula);
  j["line"] = line;
  j["column"] = column;
  j["offset"] = offset;
  *err = Ok(j);
  err->status = 400;
  return false;
}

// The question a stats or shape request asks, for the cache: the queue and
// every parameter but `cached`.
std::string CacheKey(const char* what, const std::string& queue, const Params& p) {
  std::string key = std::string(what) + '\n' + queue;
  for (const auto& [k, v] : p)
    if (k != "cached" && k != "queue") key += '\n' + k + '=' + v;
  return key;
}

// cached=1 or nothing; with `now` there is nothing to reuse.
bool CachedParam(const Params& p, bool* cached, Reply* err) {
  *cached = p.count("cached") != 0;
  if (*cached && One(p, "cached") != "1") {
    *err = Api::Error(400, "cached must be 1");
    return false;
  }
  if (*cached && p.count("now")) {
    *err = Api::Error(400, "cached and now do not go together");
    return false;
  }
  return true;
}

}  // namespace

bool Api::Cached(const std::string& key, Reply* r) {
  std::lock_guard<std::mutex> lock(cacheMu_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return false;
  *r = it->second;
  return true;
}

void Api::Keep(const std::string& key, const Reply& r) {
  if (r.status != 200) return;
  std::lock_guard<std::mutex> lock(cacheMu_);
  if (cache_.size() >= kMaxCached && !cache_.count(key)) cache_.clear();
  cache_[key] = r;
}

void Api::Warm() {
  // Only the totals: the page shows them first.  The shape is left to the
  // page, which asks for it after its first page of messages, so a page
  // opened at once is not kept waiting behind it.
  for (const std::string& q : queues_) (void)Stats({{"queue", q}});
}

Reply Api::Error(int status, const std::string& text) {
  Json j;
  wqadmin::SetText(j, "error", text);
  Reply r = Ok(j);
  r.status = status;
  return r;
}

Api::Api(std::vector<std::string> queues, std::string dataDir, std::string tavloBinary)
    : queues_(std::move(queues)), dataDir_(std::move(dataDir)) {
  tasks_ = std::make_unique<TaskWatch>(std::move(tavloBinary), dataDir_,
                                       [this](uint64_t* failed) { return CountFailed(failed); });
}

namespace {

// The queue a request names; without a name, the only one served.
bool PickQueue(const std::vector<std::string>& queues, const Params& p, std::string* name,
               Reply* err) {
  if (!p.count("queue")) {
    if (queues.size() == 1) {
      *name = queues[0];
      return true;
    }
    *err = Api::Error(400, "several queues are served: name one with ?queue=NAME");
    return false;
  }
  const std::string want = One(p, "queue");
  for (const std::string& q : queues)
    if (q == want) {
      *name = q;
      return true;
    }
  *err = Api::Error(404, "no queue '" + want + "' is served here");
  return false;
}

}  // namespace

Reply Api::Queues(const Params& p) {
  Reply err;
  if (!CheckParams(p, {}, {}, &err)) return err;
  Json list = Json::array();
  for (const std::string& q : queues_) {
    Json e;
    wqadmin::SetText(e, "name", q);
    list.push_back(e);
  }
  Json j;
  j["queues"] = list;
  return Ok(j);
}

Reply Api::Stats(const Params& p) {
  Reply err;
  std::string name;
  bool cached = false;
  if (!CheckParams(p, {"now", "cached"}, {}, &err) || !CachedParam(p, &cached, &err) ||
      !PickQueue(queues_, p, &name, &err))
    return err;
  const std::string key = CacheKey("stats", name, p);
  Reply kept;
  if (cached && Cached(key, &kept)) return kept;
  Json j;
  {
    std::lock_guard<std::mutex> lock(store_);
    // The count that held the lock meanwhile (the start-up's, say) answers
    // a cached request as well as a new one would, and at once.
    if (cached && Cached(key, &kept)) return kept;
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    if (p.count("now")) {
      std::string why;
      if (!wqadmin::ParseTime(One(p, "now"), now, &now, &why)) return Error(400, "now: " + why);
    }
    RequestQueue q(name);
    if (q.error()) return StoreError("cannot open queue " + name, q.error());
    wqadmin::StatsCounts c;
    STATUS st = wqadmin::CountStats(q.get(), TimeToMicros(&now), nullptr, &c);
    if (st) return StoreError("cannot read the messages of " + name, st);
    j = wqadmin::StatsJson(c, wqadmin::ResolvedPath(name), now);
  }
  Reply r = Ok(j);
  if (!p.count("now")) Keep(key, r);
  return r;
}

Reply Api::Shape(const Params& p) {
  Reply err;
  std::set<std::string_view> single = kSelectionSingle;
  single.insert({"by", "age", "top", "cached"});
  std::string name;
  bool cached = false;
  if (!CheckParams(p, single, kSelectionMulti, &err) || !CachedParam(p, &cached, &err) ||
      !PickQueue(queues_, p, &name, &err))
    return err;
  wqadmin::ShapeOptions o;
  if (p.count("by")) o.by = One(p, "by");
  if (p.count("age")) o.age = One(p, "age");
  if (o.by != "domain" && o.by != "hop" && o.by != "status")
    return Error(400, "by must be domain, hop or status");
  if (o.age != "retry" && o.age != "received") return Error(400, "age must be retry or received");
  uint64_t top = 0;
  if (!NumberParam(p, "top", 1, kMaxTop, o.top, &top, &err)) return err;
  o.top = static_cast<uint32_t>(top);
  const std::string key = CacheKey("shape", name, p);
  Reply kept;
  if (cached && Cached(key, &kept)) return kept;
  Json j;
  {
    std::lock_guard<std::mutex> lock(store_);
    if (cached && Cached(key, &kept)) return kept;
    wqadmin::Selection sel;
    if (!SelectionFrom(p, &sel, &err)) return err;
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    RequestQueue q(name);
    if (q.error()) return StoreError("cannot open queue " + name, q.error());
    wqadmin::ShapeTable t;
    STATUS st = wqadmin::ComputeShape(q.get(), o, sel, TimeToMicros(&now), nullptr, &t);
    if (st) return StoreError("cannot read the messages of " + name, st);
    j = wqadmin::ShapeJson(t, o, wqadmin::ResolvedPath(name), now);
  }
  Reply r = Ok(j);
  Keep(key, r);
  return r;
}

Reply Api::List(const Params& p) {
  Reply err;
  std::set<std::string_view> single = kSelectionSingle;
  single.insert({"after", "limit"});
  std::string name;
  if (!CheckParams(p, single, kSelectionMulti, &err) || !PickQueue(queues_, p, &name, &err))
    return err;
  uint64_t after = 0, limit = 0;
  if (!NumberParam(p, "after", 0, 0xFFFFFFFFull, 0, &after, &err) ||
      !NumberParam(p, "limit", 1, kMaxLimit, kDefaultLimit, &limit, &err))
    return err;
  Json rows = Json::array();
  bool more = false;
  NOTEID last = 0;
  {
    std::lock_guard<std::mutex> lock(store_);
    wqadmin::Selection sel;
    if (!SelectionFrom(p, &sel, &err)) return err;
    sel.SetAfter(static_cast<NOTEID>(after));
    RequestQueue q(name);
    if (q.error()) return StoreError("cannot open queue " + name, q.error());
    STATUS st = wqadmin::ListRows(
        q.get(), sel, static_cast<uint32_t>(limit),
        [&](const wqadmin::MessageRow& r) {
          rows.push_back(wqadmin::MessageRowJson(r));
          last = r.id;
          return true;
        },
        &more);
    if (st) return StoreError("cannot list the messages of " + name, st);
  }
  Reply r = Ok(rows);
  if (more) r.nextAfter = std::to_string(last);
  return r;
}

Reply Api::Show(const std::string& idText, const Params& p) {
  Reply err;
  std::string name;
  if (!CheckParams(p, {}, {}, &err) || !PickQueue(queues_, p, &name, &err)) return err;
  uint64_t id = 0;
  if (!ParseNumber(idText, 1, 0xFFFFFFFFull, &id))
    return Error(400, "'" + idText + "' is not a note id (1 to 4294967295)");
  Json j;
  {
    std::lock_guard<std::mutex> lock(store_);
    RequestQueue q(name);
    if (q.error()) return StoreError("cannot open queue " + name, q.error());
    wq_msg_handle_t h;
    std::memset(&h, 0, sizeof h);
    const std::string which = "message " + std::to_string(id);
    STATUS st = WQSOpenMsgByMsgID(q.get(), static_cast<NOTEID>(id), &h.msg);
    // No such note, or a note without message info (a view): nothing
    // here by that id.
    if (st == ERR_NOTE_NOT_FOUND || st == ERR_NOTE_DELETED || st == ERR_ITEM_NOT_FOUND)
      return Error(404, "no " + which + " in " + name);
    if (st != NOERROR && WQHKIsMessageDamage(st))
      return Error(422, which + " is damaged: " + StatusText(st));
    if (st != NOERROR) return StoreError("cannot open " + which, st);
    std::string what;
    st = wqadmin::ShowJson(&h, static_cast<NOTEID>(id), &j, &what);
    STATUS closed = WQSCloseMsg(&h.msg);
    if (st) return StoreError(what, st);
    if (closed) return StoreError("cannot close " + which, closed);
  }
  return Ok(j);
}

// The task list and rswq's progress: the same parameters, another view of
// the data directory's tasks.
Reply Api::TaskView(const Params& p, bool (TaskWatch::*view)(Json*, std::string*)) {
  Reply err;
  std::string name;
  if (!CheckParams(p, {}, {}, &err)) return err;
  if (p.count("queue") && !PickQueue(queues_, p, &name, &err)) return err;
  Json j;
  std::string why;
  if (!((*tasks_).*view)(&j, &why)) return Error(500, why);
  return Ok(j);
}

Reply Api::Tasks(const Params& p) { return TaskView(p, &TaskWatch::Tasks); }

Reply Api::Progress(const Params& p) { return TaskView(p, &TaskWatch::Progress); }

bool Api::CountFailed(uint64_t* failed) {
  std::lock_guard<std::mutex> lock(store_);
  const std::filesystem::path want = std::filesystem::path(dataDir_) / kRswqQueue;
  for (const std::string& name : queues_) {
    if (std::filesystem::path(wqadmin::ResolvedPath(name)).lexically_normal() !=
        want.lexically_normal())
      continue;
    RequestQueue q(name);
    if (q.error()) return false;
    uint64_t n = 0;
    STATUS st = wqadmin::ForEachNote(q.get(), kFailedFormula, [&](NOTEID, bool damaged) {
      if (!damaged) n++;
      return true;
    });
    if (st) return false;
    *failed = n;
    return true;
  }
  return false;
}

}  // namespace wqserve
