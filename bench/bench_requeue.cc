// Requeue pass throughput.  Measured, round after round, interleaved:
//   (a) the raw SQLite ceiling: per message one WAL transaction that reads
//       the message's rows and rewrites two item rows (88 and 1158 bytes)
//       and one index entry, over a table of comparable rows;
//   (b) ReconvertAllMsgs over a queue of --small messages, --failed of them
//       failed, 3 recipients each;
//   (c) the same pass over --failed failed among --large messages;
//   (d) the same pass over --many-failed failed among --large messages;
//   (e) the built rswq binary, end to end (start-up, open, pass, close and
//       its checkpoint), on the queue of (b) as its smtpibwq.fix, once with
//       no TAVLO_SYNC in its environment (the default an operator gets) and
//       once with TAVLO_SYNC=normal;
//   (f) (a) and (b) under synchronous=FULL at a smaller size.
// Every quantity is sampled once per round (--runs, at least 5) and
// reported as best, median and worst; the ratios, last, use the bests:
//   pass/raw ratio          (b) against (a), as rates
//   large/small time ratio  (c) over (b): the pass's cost must follow the
//                           number of failed messages, not the queue size
//   failed scaling ratio    time per message of (d) over that of (c): one
//                           queue size, ten times the failed messages, so
//                           the cost per message must not grow with them
//   default/normal time ratio  (e) without TAVLO_SYNC over (e) with normal
//
// Seeding a million messages through the library takes minutes, so every
// seeded queue is kept under --dir and copied fresh before each pass (the
// pass changes it).  Runs with TAVLO_SYNC=normal unless the caller set
// TAVLO_SYNC (the rswq runs of (e) set their own).

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "rswq.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk.h"
#include "wqs/wqs.h"
#include "samples.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  uint32_t small = 100000;
  uint32_t large = 1000000;
  uint32_t failed = 20000;
  uint32_t manyFailed = 200000;
  int runs = bench::kMinRounds;
  std::string rswq = RSWQ_BINARY;
  uint32_t fullSize = 10000;
  uint32_t fullFailed = 2000;
  std::string dir = "/tmp/tavlo-bench";
};

constexpr int kRecipients = 3;
const DWORD kFailedStatuses[] = {11, 9, 10, 7};

[[noreturn]] void Die(const std::string& what, STATUS st = 0) {
  char text[256] = "";
  if (st != 0) TavloStatusText(st, text, sizeof(text));
  std::fprintf(stderr, "bench_requeue: %s%s%s\n", what.c_str(),
               st ? ": " : "", text);
  std::exit(1);
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void RemoveDb(const std::string& path) {
  (void)QDSDbDelete(path.c_str());  // with its sidecars
  std::error_code ec;
  for (const char* s : {"", "-wal", "-shm", "-journal"}) fs::remove(path + s, ec);
}

void CopyDb(const std::string& from, const std::string& to) {
  RemoveDb(to);
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) Die("cannot copy " + from + " to " + to + ": " + ec.message());
  // Flush the copy now: otherwise the kernel writes its dirty pages back
  // during the measured pass, and the first fsync of a checkpoint pays for
  // a whole file copy (2 GB for the large queue) instead of the pass.
  ::sync();
}

// Runs `f` with TAVLO_SYNC set to `value` (nullptr: unset), restoring it.
template <typename F>
auto WithSync(const char* value, F f) {
  const char* old = std::getenv("TAVLO_SYNC");
  std::string saved = old ? old : "";
  bool had = old != nullptr;
  if (value) setenv("TAVLO_SYNC", value, 1); else unsetenv("TAVLO_SYNC");
  auto r = f();
  if (had) setenv("TAVLO_SYNC", saved.c_str(), 1); else unsetenv("TAVLO_SYNC");
  return r;
}

const char* SyncName() {
  const char* s = std::getenv("TAVLO_SYNC");
  return s && std::strcmp(s, "normal") == 0 ? "NORMAL" : "FULL";
}

// ---------------------------------------------------------------------------
// Seeded queues.

bool IsFailedSlot(uint32_t i, uint32_t total, uint32_t failed) {
  // Spread the failed messages evenly over the queue.
  return failed != 0 && (uint64_t)i * failed / total !=
                            (uint64_t)(i + 1) * failed / total;
}

void SeedOne(queue_handle_t* q, uint32_t i, DWORD status) {
  msg_handle_t m;
  STATUS st = WQSCreateMsg(q, WQS_MSG_EXTENDED, &m);
  if (st) Die("WQSCreateMsg", st);
  bool failed = status != 6;
  for (int r = 0; r < kRecipients; r++) {
    char name[64], hop[32], po[16];
    std::snprintf(name, sizeof(name), "user%u.%d@example.org", i, r);
    std::snprintf(hop, sizeof(hop), "mx%d.example.net", r + 1);
    std::snprintf(po, sizeof(po), "PO%d", r);
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    ri.pName = name;
    ri.wNameLen = (WORD)std::strlen(name);
    ri.pNextHop = hop;
    ri.wNextHopLen = (WORD)std::strlen(hop);
    ri.pPOName = po;
    ri.wPONameLen = (WORD)std::strlen(po);
    ri.data.dwRecipType = 1;
    ri.data.dwErrorCode = failed ? 550 : 0;
    ri.data.dwUserInfo = status;
    ri.data.wRetries = failed ? 0 : 3;
    st = WQSAppendRecipient(&m, &ri);
    if (st) Die("WQSAppendRecipient", st);
  }
  user_msg_info_t* info;
  WQSGetMsgInfo(&m, &info);
  info->dwSize = 10000 + i % 5000;
  info->wRetries = failed ? 0 : 5;
  info->dwUserInfo1 = i;
  info->dwUserInfo3 = failed ? 550 : 0;
  st = WQSAddDWORD(&m, TRUE, "WQMsgStatus", status);
  if (!st && failed) {
    static const char kErr[] =
        "550 5.1.1 <x@y>: Recipient address rejected: User unknown";
    st = WQSAddDataBlock(&m, FALSE, "WQErrStr", kErr, sizeof(kErr) - 1);
  }
  if (!st) st = WQSAddDataBlock(&m, FALSE, "WQIBNHE", "mx-in1.example.net", 18);
  if (st) Die("typed field", st);
  st = WQSCloseAndSaveMsg(&m);
  if (st) Die("WQSCloseAndSaveMsg", st);
}

// TRUE when the store still opens a cached database file.
bool Opens(const std::string& path) {
  DBHANDLE db;
  if (QDSDbOpen(path.c_str(), &db) != NOERROR) return false;
  QDSDbClose(db);
  return true;
}

// A closed, cleanly checkpointed queue of `total` messages, `failed` of
// them failed; seeded once and kept.
std::string SeededQueue(const Options& o, uint32_t total, uint32_t failed) {
  std::string path = o.dir + "/queue-" + std::to_string(total) + "-" +
                     std::to_string(failed) + "-r3-v1.qds";
  std::string done = path + ".seeded";
  // A cached file from an older store format no longer opens: seed again.
  if (fs::exists(path) && fs::exists(done) && Opens(path)) return path;
  RemoveDb(path);
  fs::remove(done);

  std::string templ = o.dir + "/requeue-template.qdt";
  if (fs::exists(templ) && !Opens(templ)) RemoveDb(templ);
  if (!fs::exists(templ)) {
    STATUS st = QDSDbCreate(templ.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
    if (st) Die("cannot create " + templ, st);
  }
  std::fprintf(stderr, "seeding %s (once; kept for later runs)\n", path.c_str());
  WithSync("normal", [&] {
    queue_descriptor_t qd;
    std::memset(&qd, 0, sizeof(qd));
    std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
    std::snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
                  templ.c_str());
    STATUS st = WQSCreateQueue(&qd);
    if (st) Die("WQSCreateQueue " + path, st);
    queue_handle_t q;
    st = WQSOpenQueueForWrite(&qd, FALSE, &q);
    if (st) Die("open " + path, st);
    auto t0 = Clock::now();
    uint32_t nFailed = 0;
    for (uint32_t i = 0; i < total; i++) {
      DWORD status = 6;
      if (IsFailedSlot(i, total, failed)) status = kFailedStatuses[nFailed++ % 4];
      SeedOne(&q, i, status);
      if ((i + 1) % 20000 == 0)
        std::fprintf(stderr, "  %u/%u (%.0f msgs/s)\n", i + 1, total,
                     (i + 1) / Seconds(t0, Clock::now()));
    }
    st = WQSCloseQueueForWrite(&q);
    if (st) Die("close " + path, st);
    return 0;
  });
  FILE* f = std::fopen(done.c_str(), "w");
  if (f) std::fclose(f);
  return path;
}

// ---------------------------------------------------------------------------
// The pass.

void NoLog(const char*, STATUS, const std::string& text, void* arg) {
  // Keep only the total, to check the pass did all the work.
  unsigned long n = 0;
  if (std::sscanf(text.c_str(), "ReQueued %lu messages", &n) == 1)
    *static_cast<unsigned long*>(arg) = n;
}
void NoStatus(const std::string&, void*) {}

struct PassResult {
  double seconds;
  double cpu;
  unsigned long requeued;
  double firstSearch;  // one batch search over the untouched queue
};

PassResult RunPass(const Options& o, const std::string& seeded) {
  std::string work = o.dir + "/work.qds";
  CopyDb(seeded, work);
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", work.c_str());
  queue_handle_t q;
  STATUS st = WQSOpenQueueForWrite(&qd, FALSE, &q);
  if (st) Die("open " + work, st);
  // Diagnostic: what one batch search costs on the untouched queue, timed
  // on its first run, as every search of the pass runs: the pass saves
  // what it lists, which drops those documents from the store's summary
  // cache, so no search of the pass finds its matches cached.  Times the
  // number of batches it estimates the pass's searching (for a search
  // that evaluates every remaining match, an overestimate).
  double firstSearch = 0;
  {
    auto s0 = Clock::now();
    msglist_handle_t list;
    WORD n = 0;
    st = WQSCreateMsgList(&q, WQ_RECONVERT_BATCH, WQS_SEARCH_FORMULA,
                          WQ_FAILED_FORMULA, &list, &n);
    if (st) Die("WQSCreateMsgList", st);
    (void)WQSCloseMsgList(&list);
    firstSearch = Seconds(s0, Clock::now());
  }

  unsigned long requeued = 0;
  AddInTestSetLogSink(NoLog, &requeued);
  AddInTestSetStatusSink(NoStatus, nullptr);
  double c0 = bench::CpuSeconds();
  auto t0 = Clock::now();
  st = ReconvertAllMsgs(&q);
  auto t1 = Clock::now();
  double c1 = bench::CpuSeconds();
  AddInTestSetLogSink(nullptr, nullptr);
  AddInTestSetStatusSink(nullptr, nullptr);
  if (st) Die("ReconvertAllMsgs", st);
  st = WQSCloseQueueForWrite(&q);
  if (st) Die("close " + work, st);
  RemoveDb(work);
  return {Seconds(t0, t1), c1 - c0, requeued, firstSearch};
}

// ---------------------------------------------------------------------------
// The built rswq, end to end.

struct RswqResult {
  double seconds;
  double cpu;
  unsigned long requeued;
};

// Runs the rswq binary on a fresh copy of `seeded`, as an operator would:
// the queue as smtpibwq.fix in its data directory, no arguments, the log
// on standard output (a file here, read afterwards for the total).
// `sync` is the TAVLO_SYNC it gets, or nullptr for none at all: this
// process's own setting never leaks into the child.  The time runs from
// fork to exit, so it counts start-up, open, the pass and the close with
// its checkpoint: what the operator waits for.
RswqResult RunRswq(const Options& o, const std::string& seeded,
                   const char* sync) {
  std::string work = o.dir + "/rswq-e2e";
  std::error_code ec;
  fs::create_directories(work, ec);
  if (ec) Die("cannot create " + work + ": " + ec.message());
  std::string queue = work + "/smtpibwq.fix";
  std::string log = work + "/rswq.log";
  CopyDb(seeded, queue);

  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    if (std::strncmp(*e, "TAVLO_SYNC=", 11) == 0 ||
        std::strncmp(*e, "TAVLO_DATA=", 11) == 0)
      continue;
    env.push_back(*e);
  }
  env.push_back("TAVLO_DATA=" + work);
  if (sync) env.push_back(std::string("TAVLO_SYNC=") + sync);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string argv0 = "rswq";
  char* argv[] = {argv0.data(), nullptr};

  std::fflush(nullptr);
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int nul = open("/dev/null", O_RDWR);
    if (out < 0 || nul < 0 || chdir(work.c_str()) != 0) _exit(126);
    dup2(nul, 0);
    dup2(out, 1);
    dup2(nul, 2);
    execve(o.rswq.c_str(), argv, envp.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) Die("wait4");
  auto t1 = Clock::now();

  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const std::string out = text.str();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Die("rswq (" + o.rswq + ", TAVLO_SYNC " + (sync ? sync : "unset") +
        ") failed, wait status " + std::to_string(status) + "; its log:\n" +
        out);
  unsigned long requeued = 0;
  size_t at = out.rfind("ReQueued ");
  if (at == std::string::npos ||
      std::sscanf(out.c_str() + at, "ReQueued %lu messages", &requeued) != 1)
    Die("rswq logged no total; its log:\n" + out);
  RemoveDb(queue);
  fs::remove(log, ec);
  return {Seconds(t0, t1), bench::CpuSeconds(ru), requeued};
}

// ---------------------------------------------------------------------------
// The raw ceiling: SQLite alone, rows laid out like the store's.

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string e = err ? err : "?";
    sqlite3_free(err);
    Die(std::string("sqlite: ") + sql + ": " + e);
  }
}

sqlite3_stmt* Prep(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
    Die(std::string("sqlite prepare: ") + sql + ": " + sqlite3_errmsg(db));
  return s;
}

void StepDone(sqlite3* db, sqlite3_stmt* s) {
  if (sqlite3_step(s) != SQLITE_DONE) Die(std::string("sqlite step: ") + sqlite3_errmsg(db));
  sqlite3_reset(s);
}

sqlite3* OpenRaw(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Die("sqlite open " + path);
  Exec(db, "PRAGMA locking_mode=EXCLUSIVE");
  Exec(db, "PRAGMA journal_mode=WAL");
  Exec(db, std::strcmp(SyncName(), "NORMAL") == 0 ? "PRAGMA synchronous=NORMAL"
                                                  : "PRAGMA synchronous=FULL");
  return db;
}

constexpr int kRowsPerMsg = 7;
constexpr int kSeqMsgInfo = 0, kSeqRecipData = 2, kSeqStatus = 5;

std::string RawDb(const Options& o, uint32_t total, uint32_t failed) {
  std::string path = o.dir + "/raw-" + std::to_string(total) + "-" +
                     std::to_string(failed) + "-v1.db";
  std::string done = path + ".built";
  if (fs::exists(path) && fs::exists(done)) return path;
  RemoveDb(path);
  sqlite3* db = OpenRaw(path);
  Exec(db, "PRAGMA synchronous=OFF");
  Exec(db,
       "CREATE TABLE items(k INTEGER PRIMARY KEY, flags INTEGER NOT NULL,"
       " name BLOB NOT NULL, value BLOB NOT NULL);"
       "CREATE TABLE summary(note_id INTEGER NOT NULL, seq INTEGER NOT NULL,"
       " entry INTEGER NOT NULL, name_lc TEXT NOT NULL, token NOT NULL,"
       " PRIMARY KEY(note_id, seq, entry)) WITHOUT ROWID;"
       "CREATE INDEX summary_token ON summary(name_lc, token, note_id);");
  sqlite3_stmt* ins = Prep(db, "INSERT INTO items VALUES(?,?,?,?)");
  sqlite3_stmt* sum = Prep(db, "INSERT INTO summary VALUES(?,?,0,'wqmsgstatus',?)");
  // Item names and value sizes of a stored extended message, 3 recipients.
  struct Row { const char* name; int size; int flags; };
  const Row rows[kRowsPerMsg] = {{"WQSMsgInfo", 88, 0},  {"WQSRecip0", 80, 0},
                                 {"WQSRecipData", 1158, 0}, {"WQSNHE", 56, 0},
                                 {"WQSPO", 20, 0},      {"WQMsgStatus", 10, 4},
                                 {"WQErrStr", 60, 0}};
  std::vector<char> blob(2048, 'x');
  Exec(db, "BEGIN");
  uint32_t nFailed = 0;
  for (uint32_t i = 1; i <= total; i++) {
    DWORD status = 6;
    if (IsFailedSlot(i - 1, total, failed)) status = kFailedStatuses[nFailed++ % 4];
    for (int r = 0; r < kRowsPerMsg; r++) {
      sqlite3_bind_int64(ins, 1, ((int64_t)i << 24) | r);
      sqlite3_bind_int(ins, 2, rows[r].flags);
      sqlite3_bind_blob(ins, 3, rows[r].name, (int)std::strlen(rows[r].name),
                        SQLITE_STATIC);
      sqlite3_bind_blob(ins, 4, blob.data(), rows[r].size, SQLITE_STATIC);
      StepDone(db, ins);
    }
    sqlite3_bind_int64(sum, 1, i);
    sqlite3_bind_int(sum, 2, kSeqStatus);
    sqlite3_bind_double(sum, 3, status);
    StepDone(db, sum);
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(ins);
  sqlite3_finalize(sum);
  Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3_close(db);
  FILE* f = std::fopen(done.c_str(), "w");
  if (f) std::fclose(f);
  return path;
}

struct RawResult {
  double seconds;
  double cpu;
  uint64_t messages;
};

RawResult RunRaw(const Options& o, const std::string& built) {
  std::string work = o.dir + "/raw-work.db";
  CopyDb(built, work);
  sqlite3* db = OpenRaw(work);
  sqlite3_stmt* find = Prep(db,
      "SELECT note_id FROM summary WHERE name_lc='wqmsgstatus' AND token=?"
      " ORDER BY note_id LIMIT ?");
  sqlite3_stmt* read = Prep(db,
      "SELECT flags, name, value FROM items WHERE k BETWEEN ? AND ?");
  sqlite3_stmt* upd = Prep(db, "UPDATE items SET value=? WHERE k=?");
  sqlite3_stmt* idx = Prep(db,
      "UPDATE summary SET token=6 WHERE note_id=? AND seq=? AND entry=0");
  sqlite3_stmt* begin = Prep(db, "BEGIN");
  sqlite3_stmt* commit = Prep(db, "COMMIT");
  std::vector<char> info(88, 'i'), recip(1158, 'r');

  uint64_t done = 0;
  volatile uint64_t sink = 0;
  double c0 = bench::CpuSeconds();
  auto t0 = Clock::now();
  for (;;) {
    // A batch of at most 100, as the pass asks for.
    std::vector<int64_t> batch;
    for (DWORD st : kFailedStatuses) {
      sqlite3_bind_double(find, 1, st);
      sqlite3_bind_int(find, 2, 100 - (int)batch.size());
      while (sqlite3_step(find) == SQLITE_ROW) batch.push_back(sqlite3_column_int64(find, 0));
      sqlite3_reset(find);
      if (batch.size() >= 100) break;
    }
    if (batch.empty()) break;
    for (int64_t note : batch) {
      StepDone(db, begin);
      sqlite3_bind_int64(read, 1, note << 24);
      sqlite3_bind_int64(read, 2, ((note + 1) << 24) - 1);
      while (sqlite3_step(read) == SQLITE_ROW) {
        const char* v = static_cast<const char*>(sqlite3_column_blob(read, 2));
        int n = sqlite3_column_bytes(read, 2);
        if (v && n) sink = sink + (unsigned char)v[n - 1];
      }
      sqlite3_reset(read);
      sqlite3_bind_blob(upd, 1, info.data(), (int)info.size(), SQLITE_STATIC);
      sqlite3_bind_int64(upd, 2, (note << 24) | kSeqMsgInfo);
      StepDone(db, upd);
      sqlite3_bind_blob(upd, 1, recip.data(), (int)recip.size(), SQLITE_STATIC);
      sqlite3_bind_int64(upd, 2, (note << 24) | kSeqRecipData);
      StepDone(db, upd);
      sqlite3_bind_int64(idx, 1, note);
      sqlite3_bind_int(idx, 2, kSeqStatus);
      StepDone(db, idx);
      StepDone(db, commit);
      done++;
    }
  }
  auto t1 = Clock::now();
  double c1 = bench::CpuSeconds();
  for (sqlite3_stmt* s : {find, read, upd, idx, begin, commit}) sqlite3_finalize(s);
  sqlite3_close(db);
  RemoveDb(work);
  return {Seconds(t0, t1), c1 - c0, done};
}

uint32_t ParseCount(const char* flag, const char* v) {
  char* end = nullptr;
  unsigned long n = std::strtoul(v, &end, 10);
  if (end == v || *end != '\0' || n == 0 || n > 100000000UL)
    Die(std::string("bad value for ") + flag + ": " + v);
  return (uint32_t)n;
}

void CheckCount(const char* what, unsigned long got, uint32_t want) {
  // A pass that left work undone timed something else: no figure at all.
  if (got != want)
    Die(std::string(what) + " requeued " + std::to_string(got) + " messages, expected " +
        std::to_string(want));
}

// Share of a pass its searches take, estimated: every batch's search
// costing as much as the first (see RunPass).
double SearchShare(uint32_t failed, double firstSearch, double pass) {
  double batches = (failed + WQ_RECONVERT_BATCH - 1) / WQ_RECONVERT_BATCH;
  return 100.0 * std::min(1.0, batches * firstSearch / pass);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: bench_requeue [--small N] [--large N] [--failed N]"
          " [--many-failed N] [--full-size N] [--full-failed N] [--runs R]"
          " [--rswq PATH] [--dir DIR]\n"
          "  --small N        messages in the small queue (default 100000)\n"
          "  --large N        messages in the large queue (default 1000000)\n"
          "  --failed N       failed messages in each (default 20000)\n"
          "  --many-failed N  failed messages in a second large queue, for"
          " the failed scaling ratio (default 200000)\n"
          "  --full-size N    queue size of the synchronous=FULL library run"
          " (default 10000)\n"
          "  --full-failed N  failed messages of the FULL run (default 2000)\n"
          "  --runs R         interleaved rounds, at least %d (default %d)\n"
          "  --rswq PATH      the rswq binary run end to end on the small"
          " queue (default: the one built beside this benchmark)\n"
          "  --dir DIR        where seeded queues are kept (default"
          " /tmp/tavlo-bench)\n",
          bench::kMinRounds, bench::kMinRounds);
      return 0;
    }
    if (i + 1 >= argc) Die("missing value after " + a);
    if (a == "--small") o.small = ParseCount("--small", argv[++i]);
    else if (a == "--large") o.large = ParseCount("--large", argv[++i]);
    else if (a == "--failed") o.failed = ParseCount("--failed", argv[++i]);
    else if (a == "--many-failed") o.manyFailed = ParseCount("--many-failed", argv[++i]);
    else if (a == "--full-size") o.fullSize = ParseCount("--full-size", argv[++i]);
    else if (a == "--full-failed") o.fullFailed = ParseCount("--full-failed", argv[++i]);
    else if (a == "--runs") o.runs = (int)ParseCount("--runs", argv[++i]);
    else if (a == "--rswq") o.rswq = argv[++i];
    else if (a == "--dir") o.dir = argv[++i];
    else Die("unknown option " + a +
             " (options: --small N --large N --failed N --many-failed N"
             " --full-size N --full-failed N --runs R --rswq PATH --dir DIR)");
  }
  if (o.runs < bench::kMinRounds || o.runs > 1000)
    Die("--runs takes " + std::to_string(bench::kMinRounds) + " to 1000");
  if (o.failed > o.small) o.failed = o.small;
  if (o.manyFailed > o.large) o.manyFailed = o.large;
  if (o.fullFailed > o.fullSize) o.fullFailed = o.fullSize;
  if (access(o.rswq.c_str(), X_OK) != 0) Die("cannot run " + o.rswq + " (--rswq)");
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  if (ec) Die("cannot create " + o.dir + ": " + ec.message());

  // Bulk work: normal sync unless the caller chose.
  if (std::getenv("TAVLO_SYNC") == nullptr) setenv("TAVLO_SYNC", "normal", 1);
  setenv("TAVLO_DATA", o.dir.c_str(), 1);
  STATUS st = TavloInitExtended(argc > 0 ? 1 : 0, argv);
  if (st) Die("runtime start-up", st);

  std::string smallQ = SeededQueue(o, o.small, o.failed);
  std::string largeQ = SeededQueue(o, o.large, o.failed);
  std::string manyQ = SeededQueue(o, o.large, o.manyFailed);
  std::string raw = RawDb(o, o.small, o.failed);
  std::string fullQ = SeededQueue(o, o.fullSize, o.fullFailed);
  std::string fullRaw = RawDb(o, o.fullSize, o.fullFailed);

  bench::Samples rawT, smallT, largeT, manyT, rswqDefaultT, rswqNormalT,
      fullRawT, fullPassT;
  bench::Samples smallSearch, largeSearch, manySearch;
  bench::Samples rawC, smallC, largeC, manyC, rswqDefaultC, rswqNormalC;
  uint64_t rawMessages = 0, fullRawMessages = 0;
  using Step = std::function<void()>;
  std::vector<Step> steps = {
      [&] {
        RawResult r = RunRaw(o, raw);
        CheckCount("the raw ceiling", r.messages, o.failed);
        rawMessages = r.messages;
        rawT.Add(r.seconds);
        rawC.Add(r.cpu);
      },
      [&] {
        PassResult p = RunPass(o, smallQ);
        CheckCount("the small pass", p.requeued, o.failed);
        smallT.Add(p.seconds);
        smallC.Add(p.cpu);
        smallSearch.Add(p.firstSearch);
      },
      [&] {
        PassResult p = RunPass(o, largeQ);
        CheckCount("the large pass", p.requeued, o.failed);
        largeT.Add(p.seconds);
        largeC.Add(p.cpu);
        largeSearch.Add(p.firstSearch);
      },
      [&] {
        PassResult p = RunPass(o, manyQ);
        CheckCount("the many-failed pass", p.requeued, o.manyFailed);
        manyT.Add(p.seconds);
        manyC.Add(p.cpu);
        manySearch.Add(p.firstSearch);
      },
      [&] {
        RswqResult r = RunRswq(o, smallQ, "normal");
        CheckCount("rswq (TAVLO_SYNC=normal)", r.requeued, o.failed);
        rswqNormalT.Add(r.seconds);
        rswqNormalC.Add(r.cpu);
      },
      [&] {
        RswqResult r = RunRswq(o, smallQ, nullptr);
        CheckCount("rswq (no TAVLO_SYNC)", r.requeued, o.failed);
        rswqDefaultT.Add(r.seconds);
        rswqDefaultC.Add(r.cpu);
      },
      [&] {
        WithSync("full", [&] {
          RawResult r = RunRaw(o, fullRaw);
          CheckCount("the FULL raw ceiling", r.messages, o.fullFailed);
          fullRawMessages = r.messages;
          fullRawT.Add(r.seconds);
          return 0;
        });
      },
      [&] {
        WithSync("full", [&] {
          PassResult p = RunPass(o, fullQ);
          CheckCount("the FULL pass", p.requeued, o.fullFailed);
          fullPassT.Add(p.seconds);
          return 0;
        });
      },
  };
  for (int round = 0; round < o.runs; round++) {
    std::fprintf(stderr, "round %d of %d\n", round + 1, o.runs);
    bench::RunRound(round, steps);
  }
  TavloTerm();

  std::printf("sync=%s (TAVLO_SYNC) for the library runs, data in %s, "
              "%d interleaved rounds\n", SyncName(), o.dir.c_str(), o.runs);
  std::printf("raw SQLite ceiling, %llu of %u messages: %s\n",
              (unsigned long long)rawMessages, o.small,
              rawT.Rates(rawMessages, "msgs/s").c_str());
  std::printf("ReconvertAllMsgs, %u failed of %u: %s\n", o.failed, o.small,
              smallT.Rates(o.failed, "msgs/s").c_str());
  std::printf("ReconvertAllMsgs, %u failed of %u: %s\n", o.failed, o.large,
              largeT.Rates(o.failed, "msgs/s").c_str());
  std::printf("ReconvertAllMsgs, %u failed of %u: %s\n", o.manyFailed,
              o.large, manyT.Rates(o.manyFailed, "msgs/s").c_str());
  std::printf("  pass times: %u of %u: %s\n", o.failed, o.small,
              smallT.Times().c_str());
  std::printf("  pass times: %u of %u: %s\n", o.failed, o.large,
              largeT.Times().c_str());
  std::printf("  pass times: %u of %u: %s\n", o.manyFailed, o.large,
              manyT.Times().c_str());
  std::printf("first batch search, every failed message still matching, best: "
              "%.3f ms (%u of %u), %.3f ms (%u of %u), %.3f ms (%u of %u); "
              "times the batches, about %.0f%%, %.0f%%, %.0f%% of the best "
              "pass\n",
              smallSearch.Best() * 1e3, o.failed, o.small,
              largeSearch.Best() * 1e3, o.failed, o.large,
              manySearch.Best() * 1e3, o.manyFailed, o.large,
              SearchShare(o.failed, smallSearch.Best(), smallT.Best()),
              SearchShare(o.failed, largeSearch.Best(), largeT.Best()),
              SearchShare(o.manyFailed, manySearch.Best(), manyT.Best()));
  std::printf("rswq end to end, %u failed of %u, TAVLO_SYNC=normal: %s\n",
              o.failed, o.small, rswqNormalT.Times().c_str());
  std::printf("rswq end to end, %u failed of %u, no TAVLO_SYNC:     %s\n",
              o.failed, o.small, rswqDefaultT.Times().c_str());
  std::printf("sync=FULL, %u failed of %u: raw %s\n", o.fullFailed,
              o.fullSize, fullRawT.Rates(fullRawMessages, "msgs/s").c_str());
  std::printf("sync=FULL, %u failed of %u: ReconvertAllMsgs %s\n",
              o.fullFailed, o.fullSize,
              fullPassT.Rates(o.fullFailed, "msgs/s").c_str());
  std::printf("sync=FULL pass/raw: %.2f\n",
              (o.fullFailed / fullPassT.Best()) /
                  (fullRawMessages / fullRawT.Best()));

  std::printf("CPU time (user + system; no disk waits), to tell a busy "
              "machine from the code:\n");
  std::printf("  raw ceiling:                  %s\n", rawC.Times().c_str());
  std::printf("  pass %u of %u: %s\n", o.failed, o.small, smallC.Times().c_str());
  std::printf("  pass %u of %u: %s\n", o.failed, o.large, largeC.Times().c_str());
  std::printf("  pass %u of %u: %s\n", o.manyFailed, o.large, manyC.Times().c_str());
  std::printf("  rswq, TAVLO_SYNC=normal:      %s\n", rswqNormalC.Times().c_str());
  std::printf("  rswq, no TAVLO_SYNC:          %s\n", rswqDefaultC.Times().c_str());
  std::printf("  the ratios below on CPU time: pass/raw %.2f, large/small %.2f, "
              "failed scaling %.2f, default/normal %.2f\n",
              (o.failed / smallC.Best()) / (rawMessages / rawC.Best()),
              largeC.Best() / smallC.Best(),
              (manyC.Best() / o.manyFailed) / (largeC.Best() / o.failed),
              rswqDefaultC.Best() / rswqNormalC.Best());

  std::printf("pass/raw ratio: %.2f\n",
              (o.failed / smallT.Best()) / (rawMessages / rawT.Best()));
  std::printf("large/small time ratio: %.2f\n", largeT.Best() / smallT.Best());
  std::printf("failed scaling ratio: %.2f\n",
              (manyT.Best() / o.manyFailed) / (largeT.Best() / o.failed));
  std::printf("default/normal time ratio: %.2f\n",
              rswqDefaultT.Best() / rswqNormalT.Best());
  return 0;
}
