#include "reliability_util.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqhk/wqhk_verify.h"

namespace fs = std::filesystem;

namespace rel {

namespace {

std::string g_dir;
char g_arg0[] = "reliability_tests";
char* g_argv[] = {g_arg0, nullptr};

class RelEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "wq-rel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_dir = tmpl;
    setenv("TAVLO_DATA", g_dir.c_str(), 1);
    // Commits stay atomic, which is all a process kill can test.
    setenv("TAVLO_SYNC", "normal", 1);
    if (TavloInitExtended(1, g_argv) != NOERROR) std::abort();
    std::printf("reliability: seed %u (set REL_SEED to repeat)\n", RunSeed());
  }
  void TearDown() override {
    TavloTerm();
    if (std::getenv("REL_KEEP") == nullptr) fs::remove_all(g_dir);
  }
};
::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new RelEnvironment);

// Failed statuses and the error code of each.
const DWORD kStatuses[] = {11, 9, 10, 7}, kCodes[] = {550, 421, 554, 451};

STATUS OpenQueue(const std::string& path, queue_handle_t* q,
                 const std::string& tmpl = "") {
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  std::snprintf(qd.szQueueTemplate, sizeof qd.szQueueTemplate, "%s", tmpl.c_str());
  STATUS err = tmpl.empty() ? NOERROR : WQSCreateQueue(&qd);
  return err != NOERROR ? err : WQSOpenQueueForWrite(&qd, FALSE, q);
}

std::string Read(msg_handle_t* m, MsgSpec* out) {
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(m, &info);
  out->info = *info;
  if (WQSGetDWORD(m, "WQMsgStatus", &out->status) != NOERROR) out->status = 0;
  if (QDSItemIsPresent(m->hNote, "WQErrStr", 8)) {
    char buf[1024];
    WORD len = 0;
    if (STATUS err = WQSGetDataBlock(m, "WQErrStr", buf, sizeof buf, &len))
      return "error text: status " + std::to_string(err);
    out->errStr.emplace(buf, len);
  }
  for (WORD r = 0; r < info->wNumRecip; r++) {
    recip_info_t ri{};
    if (STATUS err = WQSGetRecipient(m, r, &ri))
      return "recipient " + std::to_string(r) + ": status " + std::to_string(err);
    out->recips.push_back(ri.data);
  }
  return "";
}

// What rswq makes of a failed message.
MsgSpec ResetOf(MsgSpec s) {
  s.status = 6;
  s.info.wRetries = 1;
  s.info.dwUserInfo3 = 0;
  s.errStr.reset();
  for (recip_data_t& d : s.recips) d.dwUserInfo = 6, d.dwErrorCode = 0;
  return s;
}

// "" when equal; else what differs.
std::string Diff(const MsgSpec& want, const MsgSpec& got) {
  if (got.status != want.status) return "status";
  if (std::memcmp(&want.info, &got.info, sizeof want.info)) return "message info";
  if (got.errStr != want.errStr) return "error text";
  if (got.recips.size() != want.recips.size() ||
      std::memcmp(want.recips.data(), got.recips.data(), got.recips.size() * sizeof(recip_data_t)))
    return "recipients";
  return "";
}

}  // namespace

const std::string& DataDir() { return g_dir; }

long EnvLong(const char* name, long def) {
  const char* v = std::getenv(name);
  char* end = nullptr;
  long n = v ? std::strtol(v, &end, 10) : 0;
  return v && *v && *end == '\0' ? n : def;
}

uint32_t RunSeed() {
  static const uint32_t seed = [] {
    long s = EnvLong("REL_SEED", -1);
    return s >= 0 ? static_cast<uint32_t>(s) : std::random_device{}();
  }();
  return seed;
}

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

long RequeuedCount(const std::string& out) {
  std::smatch m;
  static const std::regex line("rswq: ReQueued (\\d+) messages");
  return std::regex_search(out, m, line) ? std::stol(m[1]) : -1;
}

void RemoveDbFiles(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix, ec);
}

void CopyDbFile(const std::string& from, const std::string& to) {
  RemoveDbFiles(to);
  fs::copy_file(from, to);
}

::testing::AssertionResult SeedFailedQueue(const std::string& path, int count,
                                           uint32_t seed, SeededQueue* out) {
  RemoveDbFiles(path);
  const std::string tmpl = path + ".template";
  RemoveDbFiles(tmpl);
  queue_handle_t q;
  STATUS err = QDSDbCreate(tmpl.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
  if (err == NOERROR) err = OpenQueue(path, &q, tmpl);
  RemoveDbFiles(tmpl);
  if (err != NOERROR) return ::testing::AssertionFailure() << "create: status " << err;

  std::mt19937 rng(seed);
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  *out = SeededQueue{};
  for (int i = 0; i < count && err == NOERROR; i++) {
    MsgSpec spec;
    const uint32_t kind = pick(4);
    spec.status = kStatuses[kind];
    msg_handle_t m;
    if ((err = WQSCreateMsg(&q, (i % 3) ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE, &m))) break;
    const uint32_t nRecips = 1 + pick(4);
    std::string first;
    for (uint32_t r = 0; r < nRecips && err == NOERROR; r++) {
      char name[64], hop[32], po[16];
      std::snprintf(name, sizeof name, "u%d.%u@d%u.example.org", i, r, pick(50));
      std::snprintf(hop, sizeof hop, "mx%u.example.net", 1 + pick(4));
      std::snprintf(po, sizeof po, "PO-%u", pick(6));
      if (r == 0) first = name;
      recip_data_t d{};
      d.dwRecipType = 1 + pick(3);
      d.dwErrorCode = kCodes[kind] + r;  // every recipient failed
      d.dwUserInfo = spec.status;
      d.wRetries = static_cast<WORD>(pick(5));
      TIMEDATE retry;  // a local: the packed field is unaligned
      TimeFromMicros(1700000000000000LL + int64_t(pick(1u << 30)) * 1000, &retry);
      d.tdNextRetry = retry;
      recip_info_t ri{name, WORD(std::strlen(name)), hop, WORD(std::strlen(hop)),
                      po, WORD(std::strlen(po)), d};
      err = WQSAppendRecipient(&m, &ri);
      spec.recips.push_back(d);
    }
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    TIMEDATE next;
    TimeFromMicros(1700000000000000LL + int64_t(i) * 1000000, &next);
    *info = user_msg_info_t{1024 + pick(100000), 0, info->wNumRecip,
                            static_cast<WORD>(pick(3)), 1,
                            static_cast<WORD>(pick(2) ? 0 : 2 + pick(4)),  // never 1
                            next, kCodes[kind], 1 + pick(0x7FFFFFFF), pick(4),
                            kCodes[kind], 1, static_cast<DWORD>(i)};
    if (err == NOERROR) err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", spec.status);
    if (err == NOERROR && pick(8) != 0) {  // some come without error text
      char text[256];
      std::snprintf(text, sizeof text, "%u <%s>: delivery failed", kCodes[kind], first.c_str());
      spec.errStr = text;
      err = WQSAddDataBlock(&m, FALSE, "WQErrStr", text, WORD(std::strlen(text)));
    }
    if (err != NOERROR) {
      (void)WQSCloseAndDiscardMsg(&m);
      break;
    }
    spec.info = *info;
    if ((err = WQSCloseAndSaveMsg(&m))) break;
    WQSGetMsgInfo(&m, &info);
    const NOTEID id = info->dwQueueMsgID;  // a copy: the field is unaligned
    spec.info.dwQueueMsgID = id;
    out->ids.push_back(id);
    out->specs.push_back(std::move(spec));
  }
  STATUS cerr = WQSCloseQueueForWrite(&q);
  if (err != NOERROR || cerr != NOERROR)
    return ::testing::AssertionFailure() << "seeding: status " << err << ", close " << cerr;
  if (fs::exists(path + "-wal")) return ::testing::AssertionFailure() << "-wal left";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult CheckMessages(
    const std::string& path, std::vector<NOTEID>* ids,
    const std::function<std::string(NOTEID, msg_handle_t*)>& check) {
  ids->clear();
  queue_handle_t q;
  STATUS err = OpenQueue(path, &q);
  if (err != NOERROR)
    return ::testing::AssertionFailure() << "queue does not open: status " << err;
  struct Walk {
    std::vector<NOTEID>* ids;
    std::string problem;
  } walk{ids, ""};
  err = WQHKVerifyQueue(&q, [](void* arg, const wq_verify_result_t* r) -> STATUS {
    auto* w = static_cast<Walk*>(arg);
    w->ids->push_back(r->noteId);
    if (r->bDamaged && w->problem.empty())
      w->problem = "message " + std::to_string(r->noteId) + " damaged: " + r->szReason;
    return NOERROR;
  }, &walk, nullptr, nullptr);
  std::string& problem = walk.problem;
  if (err != NOERROR) problem = "verification did not run: status " + std::to_string(err);
  for (size_t i = 0; problem.empty() && i < ids->size(); i++) {
    msg_handle_t m{};
    err = WQSOpenMsgByMsgID(&q, (*ids)[i], &m);
    problem = err ? "does not open: status " + std::to_string(err)
                  : check ? check((*ids)[i], &m) : "";
    if (err == NOERROR && (err = WQSCloseMsg(&m)) && problem.empty())
      problem = "close: status " + std::to_string(err);
    if (!problem.empty()) problem = "message " + std::to_string((*ids)[i]) + ": " + problem;
  }
  err = WQSCloseQueueForWrite(&q);
  if (problem.empty() && err != NOERROR) problem = "close: status " + std::to_string(err);
  if (!problem.empty()) return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult CheckQueue(const std::string& path,
                                      const SeededQueue& seeded,
                                      QueueState* state) {
  *state = QueueState{};
  std::vector<NOTEID> ids;
  size_t i = 0;
  auto result = CheckMessages(path, &ids, [&](NOTEID id, msg_handle_t* m) -> std::string {
    if (i >= seeded.ids.size() || seeded.ids[i] != id) return "not seeded";
    const MsgSpec& want = seeded.specs[i++];
    MsgSpec got;
    std::string u = Read(m, &got);
    if (!u.empty()) return u;
    if ((u = Diff(want, got)).empty()) return state->untouched++, "";
    std::string r = Diff(ResetOf(want), got);
    if (r.empty()) return state->reset++, "";
    return "neither untouched (" + u + " differs) nor reset (" + r + " differs)";
  });
  if (result && ids.size() != seeded.ids.size())
    return ::testing::AssertionFailure()
           << "queue holds " << ids.size() << " messages, seeded " << seeded.ids.size();
  return result;
}

pid_t StartChild(const ChildOptions& o) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> args = {o.binary}, env = {"TAVLO_DATA=" + o.dir};
  args.insert(args.end(), o.args.begin(), o.args.end());
  for (char** e = environ; *e != nullptr; e++)
    if (std::strncmp(*e, "TAVLO_DATA=", 11) != 0) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = ::open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  int in = ::open("/dev/null", O_RDONLY);
  if (fd < 0 || in < 0 || chdir(o.dir.c_str()) != 0) _exit(126);
  dup2(in, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  if (o.fileSizeLimit >= 0) {
    // A write past the limit fails with EFBIG instead of killing the child.
    signal(SIGXFSZ, SIG_IGN);
    rlimit rl = {rlim_t(o.fileSizeLimit), rlim_t(o.fileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
  }
  // Root's supplementary groups go too, or the child keeps their rights.
  if (o.uid != 0 && (setgroups(0, nullptr) || setgid(o.uid) || setuid(o.uid))) _exit(126);
  execve(o.binary.c_str(), argv.data(), envp.data());
  _exit(127);
}

static int Code(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

int WaitChild(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return Code(st);
}

bool ChildEnded(pid_t pid, int* code) {
  int st = 0;
  if (waitpid(pid, &st, WNOHANG) != pid) return false;
  *code = Code(st);
  return true;
}

void KillChild(pid_t pid) {
  kill(pid, SIGKILL);
  (void)WaitChild(pid);
}

long TaskCount(const std::string& dir, pid_t pid) {
  std::string text = ReadFile(dir + "/.tavlo/tasks/" + std::to_string(pid) + ".task");
  static const char kKey[] = "status=ReQueueing Message: ";
  size_t at = text.find(kKey);
  return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + sizeof kKey - 1, nullptr, 10);
}

}  // namespace rel
