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

// A private TAVLO_DATA directory with the runtime up; removed at the end.
class RelEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "wq-rel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_dir = tmpl;
    setenv("TAVLO_DATA", g_dir.c_str(), 1);
    // Bulk seeding: every commit still atomic, which is all a process kill
    // can test.
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

const char* const kStatusText[] = {
    "550 5.1.1 <%s>: Recipient address rejected: User unknown",
    "421 4.4.2 %s: Connection timed out",
    "554 5.4.4 <%s>: No route to destination domain",
    "451 4.7.1 <%s>: Greylisted, please try again later"};
const DWORD kStatuses[] = {11, 9, 10, 7};
const DWORD kCodes[] = {550, 421, 554, 451};

std::string Describe(NOTEID id, const std::string& what) {
  return "message " + std::to_string(id) + ": " + what;
}

// The message as stored, read through the library.
struct MsgRead {
  user_msg_info_t info{};
  bool hasStatus = false;
  DWORD status = 0;
  bool hasErrStr = false;
  std::string errStr;
  std::vector<recip_data_t> recips;
};

STATUS ReadMsg(queue_handle_t* q, NOTEID id, MsgRead* out) {
  msg_handle_t m;
  std::memset(&m, 0, sizeof m);
  STATUS err = WQSOpenMsgByMsgID(q, id, &m);
  if (err != NOERROR) return err;
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  out->info = *info;
  out->hasStatus = WQSGetDWORD(&m, "WQMsgStatus", &out->status) == NOERROR;
  out->hasErrStr = QDSItemIsPresent(m.hNote, "WQErrStr", 8) != FALSE;
  if (out->hasErrStr) {
    char buf[1024];
    WORD len = 0;
    err = WQSGetDataBlock(&m, "WQErrStr", buf, sizeof buf, &len);
    out->errStr.assign(buf, len);
  }
  for (WORD r = 0; err == NOERROR && r < info->wNumRecip; r++) {
    recip_info_t ri;
    std::memset(&ri, 0, sizeof ri);
    err = WQSGetRecipient(&m, r, &ri);
    out->recips.push_back(ri.data);
  }
  STATUS cerr = WQSCloseMsg(&m);
  return err != NOERROR ? err : cerr;
}

bool SameBytes(const void* a, const void* b, size_t n) {
  return std::memcmp(a, b, n) == 0;
}

// "" when `got` is `want` untouched; else why not.
std::string Untouched(const MsgSpec& want, const MsgRead& got) {
  if (!got.hasStatus || got.status != want.status) return "status differs";
  if (!SameBytes(&want.info, &got.info, sizeof want.info))
    return "message info differs";
  if (want.errStr.empty() ? got.hasErrStr : got.errStr != want.errStr)
    return "error text differs";
  if (got.recips.size() != want.recips.size()) return "recipient count differs";
  for (size_t r = 0; r < got.recips.size(); r++)
    if (!SameBytes(&want.recips[r], &got.recips[r], sizeof(recip_data_t)))
      return "recipient " + std::to_string(r) + " differs";
  return "";
}

// "" when `got` is `want` fully reconverted; else why not.
std::string Reset(const MsgSpec& want, const MsgRead& got) {
  if (!got.hasStatus || got.status != 6) return "status is not 6";
  user_msg_info_t info = want.info;
  info.wRetries = 1;
  info.dwUserInfo3 = 0;
  if (!SameBytes(&info, &got.info, sizeof info))
    return "message info is not the seeded one reset";
  if (got.hasErrStr) return "error text still present";
  if (got.recips.size() != want.recips.size()) return "recipient count differs";
  for (size_t r = 0; r < got.recips.size(); r++) {
    recip_data_t d = want.recips[r];
    d.dwUserInfo = 6;
    d.dwErrorCode = 0;
    if (!SameBytes(&d, &got.recips[r], sizeof d))
      return "recipient " + std::to_string(r) + " is not reset";
  }
  return "";
}

STATUS FirstDamaged(void* arg, const wq_verify_result_t* r) {
  auto* out = static_cast<std::string*>(arg);
  if (r->bDamaged && out->empty())
    *out = Describe(r->noteId, std::string("damaged: ") + r->szReason);
  return NOERROR;
}

}  // namespace

const std::string& DataDir() { return g_dir; }

long EnvLong(const char* name, long def) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return def;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return end != nullptr && *end == '\0' ? n : def;
}

uint32_t RunSeed() {
  static const uint32_t seed = [] {
    long s = EnvLong("REL_SEED", -1);
    return s >= 0 ? static_cast<uint32_t>(s) : std::random_device{}();
  }();
  return seed;
}

void RemoveDbFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ec;
    fs::remove(path + suffix, ec);
  }
}

void CopyDbFile(const std::string& from, const std::string& to) {
  RemoveDbFiles(to);
  fs::copy_file(from, to);
}

::testing::AssertionResult SeedFailedQueue(const std::string& path, int count,
                                           uint32_t seed, SeededQueue* out) {
  RemoveDbFiles(path);
  std::string tmpl = path + ".template";
  RemoveDbFiles(tmpl);
  STATUS err = QDSDbCreate(tmpl.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
  if (err != NOERROR)
    return ::testing::AssertionFailure() << "template: status " << err;
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof qd);
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  std::snprintf(qd.szQueueTemplate, sizeof qd.szQueueTemplate, "%s",
                tmpl.c_str());
  queue_handle_t q;
  err = WQSCreateQueue(&qd);
  if (err == NOERROR) err = WQSOpenQueueForWrite(&qd, FALSE, &q);
  RemoveDbFiles(tmpl);
  if (err != NOERROR)
    return ::testing::AssertionFailure() << "create queue: status " << err;

  std::mt19937 rng(seed);
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  out->ids.clear();
  out->specs.clear();
  for (int i = 0; i < count && err == NOERROR; i++) {
    MsgSpec spec;
    const uint32_t kind = pick(4);
    spec.status = kStatuses[kind];
    msg_handle_t m;
    err = WQSCreateMsg(&q, (i % 3) ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE, &m);
    if (err != NOERROR) break;
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
      // Every recipient failed, so a reset shows in each one of them.
      d.dwErrorCode = kCodes[kind] + r;
      d.dwUserInfo = spec.status;
      d.wRetries = static_cast<WORD>(pick(5));
      // Through a local: the packed record leaves its TIMEDATE unaligned.
      TIMEDATE retry;
      TimeFromMicros(1700000000000000LL + int64_t(pick(1u << 30)) * 1000, &retry);
      d.tdNextRetry = retry;
      recip_info_t ri{name, WORD(std::strlen(name)), hop, WORD(std::strlen(hop)),
                      po, WORD(std::strlen(po)), d};
      err = WQSAppendRecipient(&m, &ri);
      spec.recips.push_back(d);
    }
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    info->dwSize = 1024 + pick(100000);
    info->wPriority = static_cast<WORD>(pick(3));
    info->wFormat = 1;
    info->wRetries = static_cast<WORD>(pick(2) ? 0 : 2 + pick(4));  // never 1
    TIMEDATE next;
    TimeFromMicros(1700000000000000LL + int64_t(i) * 1000000, &next);
    info->tdNextRetry = next;
    info->dwFailureReason = kCodes[kind];
    info->dwUserInfo1 = 1 + pick(0x7FFFFFFF);
    info->dwUserInfo2 = pick(4);
    info->dwUserInfo3 = kCodes[kind];
    info->dwUserInfo4 = 1;
    info->dwUserInfo5 = static_cast<DWORD>(i);
    if (err == NOERROR) err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", spec.status);
    // Most failures carry their error text; some (deferred) come without.
    if (err == NOERROR && pick(8) != 0) {
      char text[256];
      std::snprintf(text, sizeof text, kStatusText[kind], first.c_str());
      spec.errStr = text;
      err = WQSAddDataBlock(&m, FALSE, "WQErrStr", text,
                            static_cast<WORD>(spec.errStr.size()));
    }
    if (err != NOERROR) {
      (void)WQSCloseAndDiscardMsg(&m);
      break;
    }
    spec.info = *info;
    err = WQSCloseAndSaveMsg(&m);
    if (err != NOERROR) break;
    WQSGetMsgInfo(&m, &info);
    const NOTEID id = info->dwQueueMsgID;  // a copy: the field is unaligned
    spec.info.dwQueueMsgID = id;
    out->ids.push_back(id);
    out->specs.push_back(std::move(spec));
  }
  STATUS cerr = WQSCloseQueueForWrite(&q);
  if (err != NOERROR)
    return ::testing::AssertionFailure() << "seeding: status " << err;
  if (cerr != NOERROR)
    return ::testing::AssertionFailure() << "close: status " << cerr;
  if (fs::exists(path + "-wal"))
    return ::testing::AssertionFailure() << "the close left a -wal file";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult CheckQueue(const std::string& path,
                                      const SeededQueue& seeded,
                                      QueueState* state) {
  *state = QueueState{};
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof qd);
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  queue_handle_t q;
  STATUS err = WQSOpenQueueForWrite(&qd, FALSE, &q);
  if (err != NOERROR)
    return ::testing::AssertionFailure() << "queue does not open: status " << err;

  std::string problem;
  DWORD checked = 0, damaged = 0;
  err = WQHKVerifyQueue(&q, FirstDamaged, &problem, &checked, &damaged);
  if (err != NOERROR) problem = "verification could not run: status " + std::to_string(err);
  if (problem.empty() && checked != seeded.ids.size())
    problem = "queue holds " + std::to_string(checked) + " messages, seeded " +
              std::to_string(seeded.ids.size());
  for (size_t i = 0; problem.empty() && i < seeded.ids.size(); i++) {
    MsgRead got;
    err = ReadMsg(&q, seeded.ids[i], &got);
    if (err != NOERROR) {
      problem = Describe(seeded.ids[i], "does not read: status " + std::to_string(err));
      break;
    }
    std::string u = Untouched(seeded.specs[i], got);
    if (u.empty()) {
      state->untouched++;
      continue;
    }
    std::string r = Reset(seeded.specs[i], got);
    if (r.empty()) {
      state->reset++;
      continue;
    }
    problem = Describe(seeded.ids[i], "neither untouched (" + u + ") nor reset (" + r + ")");
  }
  STATUS cerr = WQSCloseQueueForWrite(&q);
  if (problem.empty() && cerr != NOERROR)
    problem = "close: status " + std::to_string(cerr);
  if (!problem.empty()) return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

pid_t StartChild(const ChildOptions& o) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> argStore = {o.binary};
  argStore.insert(argStore.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string dataEnv = "TAVLO_DATA=" + o.dir;
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; e++)
    if (std::strncmp(*e, "TAVLO_DATA=", 11) != 0) envStore.emplace_back(*e);
  envStore.push_back(dataEnv);
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
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
    struct rlimit rl = {static_cast<rlim_t>(o.fileSizeLimit),
                        static_cast<rlim_t>(o.fileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
  }
  // Root's supplementary groups go too, or the child keeps their rights.
  if (o.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(o.uid) != 0 ||
                     setuid(o.uid) != 0))
    _exit(126);
  execve(o.binary.c_str(), argv.data(), envp.data());
  _exit(127);
}

int WaitChild(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool ChildEnded(pid_t pid, int* code) {
  int st = 0;
  pid_t r = waitpid(pid, &st, WNOHANG);
  if (r != pid) return false;
  *code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return true;
}

void KillChild(pid_t pid) {
  kill(pid, SIGKILL);
  (void)WaitChild(pid);
}

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

long TaskCount(const std::string& dir, pid_t pid) {
  std::string text = ReadFile(dir + "/.tavlo/tasks/" + std::to_string(pid) + ".task");
  static const char kKey[] = "status=ReQueueing Message: ";
  size_t at = text.find(kKey);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + sizeof kKey - 1, nullptr, 10);
}

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace rel
