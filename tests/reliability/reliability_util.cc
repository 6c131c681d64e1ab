#include "reliability_util.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
    setenv("TAVLO_SYNC", "normal", 1);  // commits stay atomic: all a kill can test
    if (TavloInitExtended(1, g_argv) != NOERROR) std::abort();
    std::printf("reliability: seed %u (set REL_SEED to repeat)\n", RunSeed());
  }
  void TearDown() override {
    TavloTerm();
    // REL_KEEP keeps the files of a failing seed to look at.
    if (std::getenv("REL_KEEP") == nullptr) fs::remove_all(g_dir);
    else std::printf("reliability: files kept in %s\n", g_dir.c_str());
  }
};
::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new RelEnvironment);

STATUS OpenQueue(const std::string& path, queue_handle_t* q) {
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  return WQSOpenQueueForWrite(&qd, FALSE, q);
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

bool Same(const MsgSpec& a, const MsgSpec& b) {
  return a.status == b.status && !std::memcmp(&a.info, &b.info, sizeof a.info) &&
         a.errStr == b.errStr && a.recips.size() == b.recips.size() &&
         !std::memcmp(a.recips.data(), b.recips.data(), a.recips.size() * sizeof(recip_data_t));
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

}  // namespace

const std::string& DataDir() { return g_dir; }

uint32_t RunSeed() {
  static const uint32_t seed = [] {
    const char* s = std::getenv("REL_SEED");
    return s && *s ? uint32_t(std::strtoul(s, nullptr, 10)) : std::random_device{}();
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
  (void)QDSDbDelete(path.c_str());  // with its sidecars, wherever they are
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix, ec);
}

bool ClosedCleanly(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  unsigned char head[64] = {};
  f.read(reinterpret_cast<char*>(head), sizeof head);
  struct stat sb;
  if (!f || stat(path.c_str(), &sb) != 0 || (head[63] & 1) != 0) return false;
  const std::string prefix = ".tavlo-" + std::to_string(sb.st_ino) + "-";
  for (auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    if (e.path().filename().string().rfind(prefix, 0) == 0) return false;
  return true;
}

void CopyDbFile(const std::string& from, const std::string& to) {
  RemoveDbFiles(to);
  fs::copy_file(from, to);
}

// wqadmin seeds simple and extended messages in each failed status, with
// varying recipient counts; what it stored is read back as the reference.
::testing::AssertionResult SeedFailedQueue(const std::string& path, int count,
                                           uint32_t seed, SeededQueue* out) {
  RemoveDbFiles(path);
  const fs::path p(path);
  ChildOptions o{WQADMIN_BINARY, {"create", p.filename()}, p.parent_path(), path + ".out"};
  int code = WaitChild(StartChild(o)), part = 0;
  for (DWORD status : {11, 9, 10, 7})
    for (int type = 1; count > 0 && code == 0 && type <= 2; type++, part++) {
      o.args = {"seed", p.filename(), "--count", std::to_string(count / 8 + (part < count % 8)),
                "--status", std::to_string(status), "--type", std::to_string(type),
                "--recipients", std::to_string(1 + part % 4), "--seed",
                std::to_string(seed + part), "--quiet"};
      code = WaitChild(StartChild(o));
    }
  if (code != 0) return ::testing::AssertionFailure() << "wqadmin: " << ReadFile(o.out);
  if (!ClosedCleanly(path)) return ::testing::AssertionFailure() << "not closed cleanly";
  *out = SeededQueue{};
  return CheckMessages(path, &out->ids, [out](NOTEID, msg_handle_t* m) {
    return Read(m, &out->specs.emplace_back());
  });
}

::testing::AssertionResult CheckMessages(
    const std::string& path, std::vector<NOTEID>* ids,
    const std::function<std::string(NOTEID, msg_handle_t*)>& check) {
  ids->clear();
  queue_handle_t q;
  STATUS err = OpenQueue(path, &q);
  if (err != NOERROR) return ::testing::AssertionFailure() << "queue does not open: " << err;
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

::testing::AssertionResult CheckQueue(const std::string& path, const SeededQueue& seeded,
                                      QueueState* state, bool allowExtra) {
  *state = QueueState{};
  std::vector<NOTEID> ids;
  size_t i = 0;
  auto result = CheckMessages(path, &ids, [&](NOTEID id, msg_handle_t* m) -> std::string {
    if (i >= seeded.ids.size()) return state->extra.push_back(id), "";
    if (seeded.ids[i] != id)
      return id < seeded.ids[i] ? "not seeded"
                                : "seeded message " + std::to_string(seeded.ids[i]) + " is gone";
    const MsgSpec& want = seeded.specs[i++];
    MsgSpec got;
    if (std::string problem = Read(m, &got); !problem.empty()) return problem;
    if (Same(want, got)) return state->untouched++, "";
    if (Same(ResetOf(want), got)) return state->reset++, "";
    return "neither untouched nor reset";
  });
  if (result && (i != seeded.ids.size() || (!allowExtra && !state->extra.empty())))
    return ::testing::AssertionFailure()
           << "queue holds " << ids.size() << " messages, seeded " << seeded.ids.size();
  return result;
}

pid_t StartChild(const ChildOptions& o) {
  std::string cmd = "cd '" + o.dir + "' && export TAVLO_DATA=\"$PWD\"";
  for (const std::string& e : o.env) cmd += " '" + e + "'";
  cmd += " && exec '" + o.binary + "'";
  for (const std::string& a : o.args) cmd += " '" + a + "'";
  cmd += " >'" + o.out + "' 2>&1 </dev/null";
  const rlimit rl = {rlim_t(o.fileSizeLimit), rlim_t(o.fileSizeLimit)};
  pid_t pid = fork();
  if (pid != 0) return pid;
  // A write past the limit fails with EFBIG instead of killing the child.
  if (o.fileSizeLimit >= 0 && (signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &rl)) != 0)
    _exit(126);
  execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
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
