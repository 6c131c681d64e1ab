// The operator's read-only commands on a large queue, against SQLite alone.
//
// A queue of --count messages (default 1,000,000) is seeded once with the
// built `wqadmin seed` (TAVLO_SYNC=normal), in several statuses, recipient
// counts and message types, in interleaved slices so that statuses mix
// over the file as in a live queue; the seeder gives failed messages a
// next retry from a minute to three days overdue and queued ones up to ten
// minutes, so `stats` has a real shape to count.  The queue is kept under
// --dir and reused.
//
// Then, round after round (--runs, at least 5), each command and its raw
// equivalent are timed alternately:
//   wqadmin stats QUEUE            vs  every message's WQSMsgInfo item row
//                                      (next retry, bucketed per status)
//                                      and the WQMsgStatus summary rows
//   wqadmin list QUEUE >/dev/null  vs  the same rows plus each message's
//                                      first recipient list and error text,
//                                      printed as one line each to /dev/null
//   wqadmin verify QUEUE           vs  every item row of the file (items
//                                      and big), each value's bytes read
// The commands run as child processes: the time is what the operator
// waits for, start-up included.  The raw side opens the file read-only
// with SQLite itself, with the page cache the store gives its own
// connections (cache_size -8192) and no mmap, so a ratio shows what the
// store, the library and the command add on top of reading the rows.
// Before timing, every command and scan runs once untimed: all rounds find
// the file in the page cache, and the untimed runs check that both sides
// see the same messages (totals and statuses from `stats --json`, the
// number of lines of `list`, verify's exit 0).
//
// `verify` also runs SQLite's quick check of every page and the store's
// own check of headers, summaries and index, which the raw side does not;
// the quick check alone is timed as a diagnostic, so that its share of
// verify's time is visible.  Ratios (last) are wqadmin's best time over
// the raw best.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "samples.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/wqs.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  uint32_t count = 1000000;
  int runs = bench::kMinRounds;
  std::string dir = "/tmp/tavlo-bench";
  std::string wqadmin = WQADMIN_BINARY;
};

[[noreturn]] void Die(const std::string& what, STATUS st = 0) {
  char text[256] = "";
  if (st != 0) TavloStatusText(st, text, sizeof(text));
  std::fprintf(stderr, "bench_admin: %s%s%s\n", what.c_str(), st ? ": " : "",
               text);
  std::exit(1);
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------------------
// Child processes.

struct Run {
  int exitCode = -1;
  double seconds = 0;
  double cpu = 0;  // the child's user + system time
};

// Runs wqadmin with `args`; its standard output goes to `out` (a path),
// standard input and error to /dev/null.  TAVLO_SYNC is `sync` when given
// and absent otherwise, whatever this process has; TAVLO_DATA is `dataDir`.
Run RunWqadmin(const Options& o, const std::vector<std::string>& args,
               const std::string& out, const char* sync = nullptr) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    if (std::strncmp(*e, "TAVLO_SYNC=", 11) == 0 ||
        std::strncmp(*e, "TAVLO_DATA=", 11) == 0 ||
        std::strncmp(*e, "COLUMNS=", 8) == 0)
      continue;
    env.push_back(*e);
  }
  env.push_back("TAVLO_DATA=" + o.dir);
  if (sync) env.push_back(std::string("TAVLO_SYNC=") + sync);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore = {"wqadmin"};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::fflush(nullptr);
  Run r;
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int nul = open("/dev/null", O_RDWR);
    if (fd < 0 || nul < 0) _exit(126);
    dup2(nul, 0);
    dup2(fd, 1);
    dup2(nul, 2);
    execve(o.wqadmin.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) Die("wait4");
  r.seconds = Seconds(t0, Clock::now());
  r.cpu = bench::CpuSeconds(ru);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Expect(const Run& r, const std::string& what) {
  if (r.exitCode != 0)
    Die(what + " exited with " + std::to_string(r.exitCode));
}

// ---------------------------------------------------------------------------
// The seeded queue.

struct Slice {
  DWORD status;
  uint32_t recipients;
  uint32_t type;
  uint32_t permille;  // share of the queue
};
// Mostly queued messages, as in a live queue, and a failed tail in each of
// the four failed statuses; one, two, three and four recipients, simple and
// extended messages.
constexpr Slice kSlices[] = {
    {6, 3, 2, 600}, {6, 1, 1, 200}, {7, 2, 2, 50},
    {9, 3, 2, 50},  {10, 4, 2, 50}, {11, 1, 1, 50},
};
// Slices are seeded in this many interleaved passes over the list above.
constexpr uint32_t kPasses = 10;

bool OpensReadOnly(const std::string& path) {
  DBHANDLE db;
  if (QDSDbOpenReadOnly(path.c_str(), &db) != NOERROR) return false;
  QDSDbClose(db);
  return true;
}

std::string SeededQueue(const Options& o) {
  std::string path = o.dir + "/admin-" + std::to_string(o.count) + "-v1.qds";
  std::string done = path + ".seeded";
  // A cached file of an older store format no longer opens: seed again.
  if (fs::exists(path) && fs::exists(done) && OpensReadOnly(path)) return path;
  (void)QDSDbDelete(path.c_str());
  std::error_code ec;
  fs::remove(path, ec);
  fs::remove(done, ec);

  std::fprintf(stderr, "seeding %s with %u messages through %s"
               " (once; kept for later runs)\n",
               path.c_str(), o.count, o.wqadmin.c_str());
  const std::string nul = "/dev/null";
  Expect(RunWqadmin(o, {"create", path, "--title", "bench_admin queue"}, nul,
                    "normal"),
         "wqadmin create");
  auto t0 = Clock::now();
  uint32_t seeded = 0;
  uint32_t seed = 1;
  for (uint32_t pass = 0; pass < kPasses; pass++) {
    for (const Slice& s : kSlices) {
      // This pass's share of the slice; the last pass takes the remainder.
      uint64_t slice = (uint64_t)o.count * s.permille / 1000;
      uint64_t from = slice * pass / kPasses, to = slice * (pass + 1) / kPasses;
      uint32_t n = (uint32_t)(to - from);
      if (n == 0) continue;
      Expect(RunWqadmin(o,
                        {"seed", path, "--count", std::to_string(n),
                         "--status", std::to_string(s.status), "--recipients",
                         std::to_string(s.recipients), "--type",
                         std::to_string(s.type), "--seed",
                         std::to_string(seed++), "--quiet"},
                        nul, "normal"),
             "wqadmin seed");
      seeded += n;
    }
    std::fprintf(stderr, "  %u/%u (%.0f msgs/s)\n", seeded, o.count,
                 seeded / Seconds(t0, Clock::now()));
  }
  // Rounding of the slices: top the queued slice up to the exact count.
  if (seeded < o.count) {
    Expect(RunWqadmin(o,
                      {"seed", path, "--count", std::to_string(o.count - seeded),
                       "--status", "6", "--seed", std::to_string(seed++),
                       "--quiet"},
                      nul, "normal"),
           "wqadmin seed");
  }
  FILE* f = std::fopen(done.c_str(), "w");
  if (f) std::fclose(f);
  return path;
}

// ---------------------------------------------------------------------------
// SQLite alone.

sqlite3* OpenRaw(const std::string& path) {
  // immutable: the file is closed and nobody writes it while we read, so
  // no lock or WAL index is needed (and none is made beside the queue).
  std::string uri = "file:" + path + "?mode=ro&immutable=1";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                      nullptr) != SQLITE_OK)
    Die("sqlite open " + path + ": " + (db ? sqlite3_errmsg(db) : "?"));
  // The store's own connections use this cache and no mmap.
  if (sqlite3_exec(db, "PRAGMA cache_size=-8192", nullptr, nullptr, nullptr) !=
      SQLITE_OK)
    Die("sqlite pragma");
  return db;
}

sqlite3_stmt* Prep(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
    Die(std::string("sqlite prepare: ") + sql + ": " + sqlite3_errmsg(db));
  return s;
}

void StepEnd(sqlite3* db, int rc) {
  if (rc != SQLITE_DONE) Die(std::string("sqlite step: ") + sqlite3_errmsg(db));
}

// WQMsgStatus of every message, by note id, from the summary rows.
std::vector<int64_t> StatusByNote(sqlite3* db) {
  std::vector<int64_t> status;
  sqlite3_stmt* s =
      Prep(db, "SELECT note_id, token FROM summary WHERE name_lc='wqmsgstatus'");
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int64_t note = sqlite3_column_int64(s, 0);
    if (note < 0 || note > (1 << 24)) continue;
    if ((size_t)note >= status.size()) status.resize(note + 1024, -1);
    status[note] = (int64_t)sqlite3_column_double(s, 1);
  }
  StepEnd(db, rc);
  sqlite3_finalize(s);
  return status;
}

int64_t StatusOf(const std::vector<int64_t>& byNote, int64_t note) {
  return note >= 0 && (size_t)note < byNote.size() ? byNote[note] : -1;
}

// The message info block as stored: type code, then msg_info_t.
constexpr size_t kInfoUser = 2 + offsetof(msg_info_t, user);
constexpr size_t kInfoValueSize = 2 + sizeof(msg_info_t);

template <typename T>
T At(const unsigned char* v, size_t off) {
  T t;
  std::memcpy(&t, v + off, sizeof t);
  return t;
}

int64_t NextRetryMicros(const unsigned char* info) {
  return At<int64_t>(info, kInfoUser + offsetof(user_msg_info_t, tdNextRetry));
}

bool IsSpecial(int64_t micros) {
  return micros == INT64_MIN || micros == INT64_MIN + 1 || micros == INT64_MAX;
}

// The same buckets as `wqadmin stats`: ahead, overdue by less than 5, 10,
// ... 2560 minutes, older, unset.
constexpr std::array<int64_t, 10> kBucketMinutes = {5,   10,  20,  40,  80,
                                                    160, 320, 640, 1280, 2560};
constexpr size_t kNumBuckets = kBucketMinutes.size() + 3;

size_t BucketOf(int64_t next, int64_t now) {
  if (IsSpecial(next)) return kNumBuckets - 1;
  int64_t overdue = now - next;
  if (overdue < 0) return 0;
  int64_t minutes = overdue / 60000000;
  for (size_t i = 0; i < kBucketMinutes.size(); i++)
    if (minutes < kBucketMinutes[i]) return i + 1;
  return kBucketMinutes.size() + 1;
}

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct RawShape {
  uint64_t total = 0;
  std::map<int64_t, std::array<uint64_t, kNumBuckets>> byStatus;  // -1: none
};

// What `stats` needs, straight from the rows: one pass over the item rows
// picking each message's info block, and the status index.
RawShape RawStats(const std::string& path) {
  sqlite3* db = OpenRaw(path);
  std::vector<int64_t> status = StatusByNote(db);
  sqlite3_stmt* s = Prep(db, "SELECT k, value FROM items WHERE name = ?1");
  static const char kInfo[] = "WQSMsgInfo";
  sqlite3_bind_blob(s, 1, kInfo, sizeof kInfo - 1, SQLITE_STATIC);
  RawShape shape;
  const int64_t now = NowMicros();
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const auto* v = static_cast<const unsigned char*>(sqlite3_column_blob(s, 1));
    if (v == nullptr || (size_t)sqlite3_column_bytes(s, 1) < kInfoValueSize)
      continue;
    int64_t note = sqlite3_column_int64(s, 0) >> 24;
    shape.total++;
    shape.byStatus[StatusOf(status, note)][BucketOf(NextRetryMicros(v), now)]++;
  }
  StepEnd(db, rc);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return shape;
}

// First text of a stored text list (type code 0x0501, count, lengths,
// texts), or empty.
std::string FirstText(const unsigned char* v, int n) {
  if (n < 6) return {};
  WORD count = At<WORD>(v, 2);
  if (count == 0 || 4 + 2 * (size_t)count > (size_t)n) return {};
  WORD len = At<WORD>(v, 4);
  size_t start = 4 + 2 * (size_t)count;
  if (start + len > (size_t)n) return {};
  return std::string(reinterpret_cast<const char*>(v + start), len);
}

std::string IsoLocal(int64_t micros) {
  if (IsSpecial(micros)) return "-";
  time_t secs = static_cast<time_t>(micros / 1000000 - (micros % 1000000 < 0));
  struct tm tm;
  if (localtime_r(&secs, &tm) == nullptr) return "-";
  char buf[64];
  if (strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S%z", &tm) == 0) return "-";
  return buf;
}

// What `list` needs, straight from the rows: the info block, the first
// recipient list and the error text of each message (its rows are one
// range of the key, so one pass in key order meets them together), its
// status from the index, and a line per message to /dev/null.
uint64_t RawList(const std::string& path) {
  sqlite3* db = OpenRaw(path);
  std::vector<int64_t> status = StatusByNote(db);
  sqlite3_stmt* s = Prep(db,
      "SELECT k, name, value FROM items WHERE name IN (?1, ?2, ?3)");
  static const char kInfo[] = "WQSMsgInfo", kRecip[] = "WQSRecip0",
                    kErr[] = "WQErrStr";
  sqlite3_bind_blob(s, 1, kInfo, sizeof kInfo - 1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, kRecip, sizeof kRecip - 1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 3, kErr, sizeof kErr - 1, SQLITE_STATIC);
  FILE* out = std::fopen("/dev/null", "w");
  if (out == nullptr) Die("cannot open /dev/null");
  static char buf[1 << 16];
  std::setvbuf(out, buf, _IOFBF, sizeof buf);

  struct Row {
    int64_t note = -1;
    bool hasInfo = false;
    msg_info_t info{};
    std::string first, error;
  } row;
  uint64_t lines = 0;
  auto flush = [&] {
    if (row.note < 0 || !row.hasInfo) return;
    const user_msg_info_t& u = row.info.user;
    int64_t st = StatusOf(status, row.note);
    std::fprintf(out, "%8lld  %-18lld %4s %5u %5u  %-25s %5u  %-28s %s\n",
                 (long long)row.note, (long long)st,
                 row.info.wMsgType == WQS_MSG_SIMPLE ? "smp" : "ext",
                 (unsigned)u.wNumRecip, (unsigned)u.wRetries,
                 IsoLocal(At<int64_t>(reinterpret_cast<const unsigned char*>(&u),
                                      offsetof(user_msg_info_t, tdNextRetry)))
                     .c_str(),
                 (unsigned)(WORD)u.dwUserInfo3, row.first.c_str(),
                 row.error.c_str());
    lines++;
  };
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int64_t note = sqlite3_column_int64(s, 0) >> 24;
    if (note != row.note) {
      flush();
      row = Row();
      row.note = note;
    }
    const auto* name = static_cast<const char*>(sqlite3_column_blob(s, 1));
    int nameLen = sqlite3_column_bytes(s, 1);
    const auto* v = static_cast<const unsigned char*>(sqlite3_column_blob(s, 2));
    int n = sqlite3_column_bytes(s, 2);
    if (name == nullptr || v == nullptr) continue;
    if (nameLen == sizeof kInfo - 1 && std::memcmp(name, kInfo, nameLen) == 0) {
      if ((size_t)n < kInfoValueSize) continue;
      std::memcpy(&row.info, v + 2, sizeof row.info);
      row.hasInfo = true;
    } else if (nameLen == sizeof kRecip - 1 &&
               std::memcmp(name, kRecip, nameLen) == 0) {
      row.first = FirstText(v, n);
    } else if (n >= 2) {
      row.error.assign(reinterpret_cast<const char*>(v + 2), n - 2);
    }
  }
  StepEnd(db, rc);
  flush();
  sqlite3_finalize(s);
  sqlite3_close(db);
  std::fclose(out);
  return lines;
}

// What `verify` must at least do: read every item row of the file, small
// and big, every byte of every value.
uint64_t RawVerify(const std::string& path, uint64_t* bytes) {
  sqlite3* db = OpenRaw(path);
  uint64_t rows = 0, sum = 0;
  *bytes = 0;
  for (const char* sql : {"SELECT k, flags, name, value FROM items",
                          "SELECT k, flags, name, value FROM big"}) {
    sqlite3_stmt* s = Prep(db, sql);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const auto* v = static_cast<const unsigned char*>(sqlite3_column_blob(s, 3));
      int n = sqlite3_column_bytes(s, 3);
      for (int i = 0; i < n; i++) sum += v[i];
      sum += (uint64_t)sqlite3_column_int64(s, 0) + sqlite3_column_int(s, 1) +
             (uint64_t)sqlite3_column_bytes(s, 2);
      *bytes += n;
      rows++;
    }
    StepEnd(db, rc);
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  volatile uint64_t sink = sum;
  (void)sink;
  return rows;
}

// SQLite's quick check of every page, as verify runs it; a diagnostic.
void QuickCheck(const std::string& path) {
  sqlite3* db = OpenRaw(path);
  sqlite3_stmt* s = Prep(db, "PRAGMA quick_check(200)");
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW ||
      std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                  "ok") != 0)
    Die("quick_check of " + path + " is not ok");
  sqlite3_finalize(s);
  sqlite3_close(db);
}

// ---------------------------------------------------------------------------

uint64_t CountLines(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) Die("cannot read " + path);
  uint64_t n = 0;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
    for (size_t i = 0; i < got; i++) n += buf[i] == '\n';
  std::fclose(f);
  return n;
}

// The untimed first runs: warm the cache and hold both sides to the same
// messages, so that no ratio compares different work.
void CheckAgree(const Options& o, const std::string& queue) {
  std::string json = o.dir + "/bench_admin-stats.json";
  Expect(RunWqadmin(o, {"stats", queue, "--json", "--quiet"}, json),
         "wqadmin stats --json");
  nlohmann::json j = nlohmann::json::parse(Slurp(json), nullptr, false);
  std::remove(json.c_str());
  if (j.is_discarded() || !j.contains("total") || !j.contains("by_status"))
    Die("wqadmin stats --json gave no total or by_status");
  RawShape raw = RawStats(queue);
  uint64_t total = j["total"].get<uint64_t>();
  if (total != raw.total || total != o.count)
    Die("stats counts " + std::to_string(total) + " messages, the raw scan " +
        std::to_string(raw.total) + ", seeded " + std::to_string(o.count));
  if (j.value("damaged", 0) != 0) Die("stats finds damaged messages");
  for (const auto& [status, buckets] : raw.byStatus) {
    uint64_t n = 0;
    for (uint64_t b : buckets) n += b;
    std::string key = std::to_string(status);
    uint64_t theirs =
        j["by_status"].contains(key) ? j["by_status"][key].get<uint64_t>() : 0;
    if (status < 0) theirs = j.value("absent", 0);
    if (theirs != n)
      Die("status " + key + ": stats counts " + std::to_string(theirs) +
          ", the raw scan " + std::to_string(n));
  }

  std::string listed = o.dir + "/bench_admin-list.txt";
  Expect(RunWqadmin(o, {"list", queue}, listed), "wqadmin list");
  uint64_t lines = CountLines(listed);
  std::remove(listed.c_str());
  uint64_t rawLines = RawList(queue);
  if (lines != rawLines + 1)  // + its header
    Die("list printed " + std::to_string(lines) + " lines, the raw scan " +
        std::to_string(rawLines) + " messages");

  Expect(RunWqadmin(o, {"verify", queue}, "/dev/null"),
         "wqadmin verify (1: damage found)");
  uint64_t bytes = 0;
  RawVerify(queue, &bytes);
  QuickCheck(queue);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: bench_admin [--count N] [--runs R] [--wqadmin PATH]"
          " [--dir DIR]\n"
          "  --count N       messages in the queue (default 1000000)\n"
          "  --runs R        interleaved rounds, at least %d (default %d)\n"
          "  --wqadmin PATH  the wqadmin binary to seed with and time"
          " (default: the one built beside this benchmark)\n"
          "  --dir DIR       where the seeded queue is kept (default"
          " /tmp/tavlo-bench)\n",
          bench::kMinRounds, bench::kMinRounds);
      return 0;
    }
    if (i + 1 >= argc) Die("missing value after " + a);
    const char* v = argv[++i];
    if (a == "--count" || a == "--runs") {
      char* end = nullptr;
      unsigned long n = std::strtoul(v, &end, 10);
      if (end == v || *end || n == 0 || n > 100000000UL)
        Die("bad value for " + a + ": " + v);
      if (a == "--count") o.count = (uint32_t)n;
      else o.runs = (int)n;
    } else if (a == "--wqadmin") {
      o.wqadmin = v;
    } else if (a == "--dir") {
      o.dir = v;
    } else {
      Die("unknown option " + a +
          " (options: --count N --runs R --wqadmin PATH --dir DIR; --help)");
    }
  }
  if (o.runs < bench::kMinRounds || o.runs > 1000)
    Die("--runs takes " + std::to_string(bench::kMinRounds) + " to 1000");
  if (access(o.wqadmin.c_str(), X_OK) != 0)
    Die("cannot run " + o.wqadmin + " (--wqadmin)");
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  if (ec) Die("cannot create " + o.dir + ": " + ec.message());
  o.dir = fs::absolute(o.dir).string();
  setenv("TAVLO_DATA", o.dir.c_str(), 1);
  char* initArgv[] = {argv[0], nullptr};
  STATUS st = TavloInitExtended(1, initArgv);
  if (st) Die("runtime start-up", st);

  const std::string queue = SeededQueue(o);
  std::fprintf(stderr, "warming up and checking both sides agree\n");
  CheckAgree(o, queue);

  bench::Samples stats, rawStats, list, rawList, verify, rawVerify, quick;
  bench::Samples statsC, rawStatsC, listC, rawListC, verifyC, rawVerifyC;
  // Times a raw scan in this process: wall and CPU.
  auto timeRaw = [](bench::Samples* wall, bench::Samples* cpu, auto scan) {
    double c0 = bench::CpuSeconds();
    auto t0 = Clock::now();
    scan();
    wall->Add(Seconds(t0, Clock::now()));
    cpu->Add(bench::CpuSeconds() - c0);
  };
  uint64_t rawRows = 0, rawBytes = 0;
  std::vector<std::function<void()>> steps = {
      [&] {
        Run r = RunWqadmin(o, {"stats", queue}, "/dev/null");
        Expect(r, "wqadmin stats");
        stats.Add(r.seconds);
        statsC.Add(r.cpu);
      },
      [&] { timeRaw(&rawStats, &rawStatsC, [&] { RawStats(queue); }); },
      [&] {
        Run r = RunWqadmin(o, {"list", queue}, "/dev/null");
        Expect(r, "wqadmin list");
        list.Add(r.seconds);
        listC.Add(r.cpu);
      },
      [&] { timeRaw(&rawList, &rawListC, [&] { RawList(queue); }); },
      [&] {
        Run r = RunWqadmin(o, {"verify", queue}, "/dev/null");
        Expect(r, "wqadmin verify");
        verify.Add(r.seconds);
        verifyC.Add(r.cpu);
      },
      [&] {
        timeRaw(&rawVerify, &rawVerifyC,
                [&] { rawRows = RawVerify(queue, &rawBytes); });
      },
      [&] {
        auto t0 = Clock::now();
        QuickCheck(queue);
        quick.Add(Seconds(t0, Clock::now()));
      },
  };
  for (int round = 0; round < o.runs; round++) {
    std::fprintf(stderr, "round %d of %d\n", round + 1, o.runs);
    bench::RunRound(round, steps);
  }
  TavloTerm();

  struct stat sb;
  double mb = stat(queue.c_str(), &sb) == 0 ? sb.st_size / 1e6 : 0;
  std::printf("queue %s: %u messages, %.0f MB; %d interleaved rounds, warm "
              "cache\n", queue.c_str(), o.count, mb, o.runs);
  std::printf("wqadmin stats:            %s\n", stats.Times().c_str());
  std::printf("raw stats rows:           %s\n", rawStats.Times().c_str());
  std::printf("wqadmin list >/dev/null:  %s\n", list.Times().c_str());
  std::printf("raw list rows:            %s\n", rawList.Times().c_str());
  std::printf("wqadmin verify:           %s\n", verify.Times().c_str());
  std::printf("raw every item row:       %s (%llu rows, %.0f MB of values)\n",
              rawVerify.Times().c_str(), (unsigned long long)rawRows,
              rawBytes / 1e6);
  std::printf("SQLite quick_check alone (verify runs it, the raw scan does "
              "not): %s\n", quick.Times().c_str());
  std::printf("CPU time (user + system), to tell a busy machine from the "
              "code:\n");
  std::printf("  wqadmin stats:  %s\n", statsC.Times().c_str());
  std::printf("  raw stats rows: %s\n", rawStatsC.Times().c_str());
  std::printf("  wqadmin list:   %s\n", listC.Times().c_str());
  std::printf("  raw list rows:  %s\n", rawListC.Times().c_str());
  std::printf("  wqadmin verify: %s\n", verifyC.Times().c_str());
  std::printf("  raw item rows:  %s\n", rawVerifyC.Times().c_str());
  std::printf("  the ratios below on CPU time: stats/raw %.2f, list/raw %.2f, "
              "verify/raw %.2f\n",
              statsC.Best() / rawStatsC.Best(), listC.Best() / rawListC.Best(),
              verifyC.Best() / rawVerifyC.Best());
  std::printf("stats/raw ratio: %.2f\n", stats.Best() / rawStats.Best());
  std::printf("list/raw ratio: %.2f\n", list.Best() / rawList.Best());
  std::printf("verify/raw ratio: %.2f\n", verify.Best() / rawVerify.Best());
  return 0;
}
