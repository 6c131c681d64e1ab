// AddInMain and the requeue pass on real queues in a private data directory,
// and the built rswq and wqadmin run there, alone and side by side.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <vector>

#include "rswq.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"
#include "usage.h"
#include "wqhk/wqhk.h"
#include "wqs/wqs.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const char* const kBanner[4] = {
    "\n\t                         Inbound Workqueue Message Status Reset Tool\n"
    "\t                         For Internal Use Only\n\t",
    "\n\t                         Use only with version 1.05 of the MAILHUB\n"
    "\t                         Check with support before using with any other\n"
    "\t                         verison of the MAILHUB\n\t",
    "\n\t                         Usage:\n"
    "\t                               1) Make sure the MAILHUB is NOT running\n"
    "\t                               2) Rename smtpibwq.qds to smtpibwq.fix\n"
    "\t                               3) Run this tool\n\t",
    "\n\t                         Notes:\n"
    "\t                         If you have a lot of messages getting reset\n"
    "\t                         do a show tasks, the status of this tool will\n"
    "\t                         tell you how many messages have been processed\n\t"};

std::string g_dir;
char g_arg0[] = "tool_tests";
char* g_argv[] = {g_arg0, nullptr};

class ToolEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "rswq-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_dir = tmpl;
    setenv("TAVLO_DATA", g_dir.c_str(), 1);
    if (TavloInitExtended(1, g_argv) || AddInSDKInit(1, g_argv)) std::abort();
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    TavloTerm();
    fs::remove_all(g_dir);
  }
};
::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new ToolEnvironment);

// Log and status lines while alive; `onStatus` gets the count so far.
struct Capture {
  Capture() {
    AddInTestSetLogSink([](const char*, STATUS status, const std::string& text, void* arg) {
      static_cast<Capture*>(arg)->log.push_back(text);
      static_cast<Capture*>(arg)->logStatus.push_back(status);
    }, this);
    AddInTestSetStatusSink([](const std::string& text, void* arg) {
      auto* self = static_cast<Capture*>(arg);
      self->status.push_back(text);
      if (self->onStatus) self->onStatus(self->status.size());
    }, this);
  }
  ~Capture() {
    AddInTestSetLogSink(nullptr, nullptr);
    AddInTestSetStatusSink(nullptr, nullptr);
  }
  Lines log, status;
  std::vector<STATUS> logStatus;  // the STATUS of each log line
  std::function<void(size_t)> onStatus;
};

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

struct RunResult {
  int code;
  std::string out, err;
};

// Runs `binary args` to its end in `dir`, which is also its data directory.
RunResult RunBinary(const std::string& binary, const std::string& dir,
                    const std::string& args = "") {
  std::string out = dir + "/.stdout", err = dir + "/.stderr";
  std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" + binary +
                    "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  int rc = std::system(cmd.c_str());
  RunResult r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
  fs::remove(out);
  fs::remove(err);
  return r;
}

void RemoveQueueFile(const std::string& path) {
  (void)QDSDbDelete(path.c_str());  // with its sidecars
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix);
}

STATUS OpenQueue(const std::string& path, queue_handle_t* q) {
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
  return WQSOpenQueueForWrite(&qd, FALSE, q);
}

Lines PassLog(int n) {
  return {kBanner[0], kBanner[1], kBanner[2], kBanner[3],
          "Opening: smtpibwq.fix", "Resetting....",
          "ReQueued " + std::to_string(n) + " messages", "Closing: smtpibwq.fix"};
}

Lines StatusLines(size_t n) {
  Lines v = {"Initing..."};
  for (size_t i = 1; i <= n; i++) v.push_back("ReQueueing Message: " + std::to_string(i));
  return v;
}

class RswqTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveQueueFile(fix); }
  void TearDown() override {
    if (open) (void)WQSCloseQueueForWrite(&q);
    AddInTestSetStopRequest(FALSE);
    OSMemTestDisarm();
    RemoveQueueFile(fix);
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  // smtpibwq.fix with `failed` messages in status 11 and `healthy` in 6.
  void MakeQueue(int failed, int healthy = 0) {
    RemoveQueueFile(fix);
    for (const std::string& args :
         {std::string("create " RSWQ_QUEUE_FILE), Seed(failed, 11), Seed(healthy, 6)})
      ASSERT_EQ(0, RunBinary(WQADMIN_BINARY, dir, args).code) << args;
  }
  static std::string Seed(int count, int status) {
    return "seed " RSWQ_QUEUE_FILE " --quiet --count " + std::to_string(count) +
           " --status " + std::to_string(status);
  }
  nlohmann::json Stats() {  // {"6": n, "11": n, ...}
    return nlohmann::json::parse(
        RunBinary(WQADMIN_BINARY, dir, "stats " RSWQ_QUEUE_FILE " --json").out)["by_status"];
  }
  void Reopen() {
    ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
    open = true;
  }

  std::string dir = g_dir, fix = dir + "/" RSWQ_QUEUE_FILE;
  queue_handle_t q{};
  bool open = false;
  pid_t pid = 0;
};

// Batches of 100, status 6 never selected, a stop honoured between batches.
TEST_F(RswqTest, PassLogsStatusLinesAndStopsBetweenBatches) {
  const struct {
    int failed, healthy;
    size_t stopAt;  // status line that requests the stop; 0: before the start
    int requeued;
  } cases[] = {{0, 5, ~size_t(0), 0}, {250, 5, ~size_t(0), 250},
               {250, 0, 151, 200}, {5, 0, 0, 0}};
  for (const auto& c : cases) {
    MakeQueue(c.failed, c.healthy);
    AddInTestSetStopRequest(c.stopAt == 0);
    Capture cap;
    cap.onStatus = [&c](size_t n) { if (n == c.stopAt) AddInTestSetStopRequest(TRUE); };
    EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr)) << c.failed;
    AddInTestSetStopRequest(FALSE);
    EXPECT_EQ(StatusLines(c.requeued), cap.status) << c.failed;
    EXPECT_EQ(PassLog(c.requeued), cap.log) << c.failed;
  }
}

// A failure at each step of a batch: the message open, its reset, its
// save, the release of the list.  The pass and AddInMain each log "Error"
// with the failing STATUS, the status line stops at the messages actually
// saved (a failed save is not counted), those stay saved, and the list and
// every other block are released.
TEST_F(RswqTest, EachFailingStepLogsTwoErrorsAndKeepsTheSavedCount) {
  const WORD kinds = OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;
  MakeQueue(20);
  // Calibrate on a failed message: the memory call n at which the reset
  // fails, and the one at which the save fails, after an open that works.
  Reopen();
  msglist_handle_t list{};
  WORD listed = 0;
  ASSERT_EQ(NOERROR, WQSCreateMsgList(&q, 1, WQS_SEARCH_FORMULA, WQ_FAILED_FORMULA, &list, &listed));
  DWORD nReset = 0, nSave = 0;
  for (DWORD n = 1; nSave == 0 && n < 1000; n++) {
    msg_handle_t m;
    OSMemTestFailNth(kinds, n);
    if (WQSOpenMsg(&list, 0, &m) != NOERROR) continue;
    if (WQInbReconvertOneMsg(&m) != NOERROR) {
      if (nReset == 0) nReset = n;
    } else if (WQSCloseMsgAndUpdate(&m) != NOERROR) {
      nSave = n;
    }
    OSMemTestDisarm();
    (void)WQSCloseMsg(&m);
  }
  ASSERT_NE(0u, nReset) << "the reset makes no memory call to fail";
  ASSERT_NE(0u, nSave) << "the save makes no memory call to fail";
  ASSERT_EQ(NOERROR, WQSCloseMsgList(&list));
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  open = false;

  const struct {
    const char* step;
    size_t armAt;  // status line after which the fault is armed
    WORD kinds;
    DWORD n;
  } cases[] = {
      {"open", 3, OSMEM_FAULT_ALLOC, 1},
      {"reset", 6, kinds, nReset},
      {"save", 6, kinds, nSave},
      {"list release", 20, OSMEM_FAULT_FREE, 1},  // after the batch's last save
  };
  for (const auto& c : cases) {
    MakeQueue(20);
    const DWORD blocks = OSMemTestTotalBlocks();
    Capture cap;
    cap.onStatus = [&c](size_t lines) {  // "Initing..." is line 1
      if (lines == c.armAt + 1) OSMemTestFailNth(c.kinds, c.n);
    };
    STATUS err = AddInMain(0, 0, nullptr);
    EXPECT_TRUE(OSMemTestFaultFired()) << c.step;
    OSMemTestDisarm();
    EXPECT_NE(NOERROR, err) << c.step;
    Lines want = PassLog(0);
    want[6] = want[7] = "Error";
    EXPECT_EQ(want, cap.log) << c.step;
    EXPECT_EQ((std::vector<STATUS>{0, 0, 0, 0, 0, 0, err, err}), cap.logStatus) << c.step;
    EXPECT_EQ(StatusLines(c.armAt), cap.status) << c.step;
    EXPECT_EQ(blocks, OSMemTestTotalBlocks()) << c.step;
    EXPECT_EQ(int(c.armAt), Stats().value("6", 0)) << c.step;
  }
}

// Standard output of rswq with time stamps taken off.
std::string Unstamped(const std::string& out) {
  static const std::regex stamp("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ");
  return std::regex_replace(out, stamp, "$1");
}

// The built binaries, in a directory of their own.
class BinaryTest : public RswqTest {
 protected:
  BinaryTest() {
    dir = g_dir + "/e2e";
    fix = dir + "/" RSWQ_QUEUE_FILE;
    fs::create_directories(dir);
  }
  ~BinaryTest() override { fs::remove_all(dir); }
};

TEST_F(BinaryTest, RswqWithoutQueueFileExits255ThenResetsEveryFailedMessage) {
  std::string opening;
  for (const char* p : kBanner) opening += std::string("rswq: ") + p + "\n";
  opening += "rswq: Opening: smtpibwq.fix\n";
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, r.code);
  EXPECT_TRUE(fs::is_empty(dir));
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  EXPECT_EQ(opening + "rswq: Error: Unable to open: smtpibwq.fix\n\r\n" + text + "\r\n\r\n",
            Unstamped(r.out));

  MakeQueue(12, 2);
  r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ(opening + "rswq: Resetting....\nrswq: ReQueued 12 messages\n"
                      "rswq: Closing: smtpibwq.fix\n",
            Unstamped(r.out));
  EXPECT_EQ(14, Stats().value("6", 0));
}

// Runs rswq in `dir` with standard output either closed or a pipe whose
// reader has gone; returns its wait status.
int RunWithLostOutput(const std::string& dir, bool closed) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  close(fds[0]);  // the reader is gone before anything is written
  pid_t child = fork();
  if (child == 0) {
    signal(SIGPIPE, SIG_DFL);  // as from a shell, whatever this test ignores
    setenv("TAVLO_DATA", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stderr)) _exit(100);
    if (closed) close(STDOUT_FILENO);
    else dup2(fds[1], STDOUT_FILENO);
    execl(RSWQ_BINARY, "rswq", "--reset-everything", static_cast<char*>(nullptr));
    _exit(101);
  }
  close(fds[1]);
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

// Asking for help opens nothing; losing the log loses only the log; any
// other argument is ignored.
TEST_F(BinaryTest, HelpOpensNothingAndALostLogStopsNoReset) {
  MakeQueue(120, 3);
  const std::string before = ReadFile(fix);
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().string());
  for (const char* args : {"--help", "-h", "--version", "--reset-everything -h"}) {
    RunResult r = RunBinary(RSWQ_BINARY, dir, args);
    EXPECT_EQ(0, r.code) << args;
    EXPECT_NE(std::string::npos, r.out.find("rename smtpibwq.qds to smtpibwq.fix")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Rename smtpibwq.fix back")) << r.out;
    EXPECT_EQ(std::string(args) == "--version",
              r.out.rfind("rswq " RSWQ_VERSION " ", 0) == 0) << args;
  }
  EXPECT_EQ(before, ReadFile(fix));
  std::vector<std::string> after;
  for (const auto& e : fs::directory_iterator(dir)) after.push_back(e.path().string());
  EXPECT_EQ(files, after) << "help must open nothing (no WAL, no task record)";

  int queued = 123;
  for (bool closed : {false, true}) {
    int status = RunWithLostOutput(dir, closed);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << closed << " " << status;
    EXPECT_EQ(nlohmann::json({{"6", queued}}), Stats()) << closed;
    ASSERT_EQ(0, RunBinary(WQADMIN_BINARY, dir, Seed(40, 9)).code);
    queued += 40;
  }
}

// A queue copied away from its unsaved changes is refused with the log
// lines as always, one line on standard error says what to do, and the
// file is left as it was.  That line names smtpibwq.qds-wal when it is
// there (an earlier relay's changes, left under the old name).
TEST_F(BinaryTest, QueueWithoutItsUnsavedChangesIsRefusedWithTheWayOut) {
  MakeQueue(30);
  ASSERT_EQ(0, RunBinary(WQADMIN_BINARY, dir, "create a.qds").code);
  RunResult crash = RunBinary("/usr/bin/env", dir,
                              "TAVLO_TEST_CRASH=file-write:1 '" WQADMIN_BINARY
                              "' seed a.qds --quiet --count 20 --status 9");
  ASSERT_NE(0, crash.code) << "the writer was to die in its last checkpoint";
  RemoveQueueFile(fix);
  fs::copy_file(dir + "/a.qds", fix);  // without its WAL
  const std::string before = ReadFile(fix);
  for (bool legacyWal : {false, true}) {
    if (legacyWal) std::ofstream(dir + "/smtpibwq.qds-wal") << "wal";
    RunResult r = RunBinary(RSWQ_BINARY, dir);
    EXPECT_EQ(255, r.code);
    EXPECT_NE(std::string::npos, Unstamped(r.out).find("rswq: Error: Unable to open: smtpibwq.fix\n"))
        << r.out;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("was not closed cleanly")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(legacyWal ? "wqadmin recover smtpibwq.fix --from "
                                                        "smtpibwq.qds-wal"
                                                      : "wqadmin recover smtpibwq.fix"))
        << r.err;
    EXPECT_EQ(before, ReadFile(fix));
  }
}

#ifdef WQADMIN_BINARY
// An operator who forgot that rswq is running: a second rswq and a wqadmin
// seed are turned away with "in use", wqadmin's readers see one consistent
// queue, and the first rswq finishes as if alone.
TEST_F(BinaryTest, SecondWriterTurnedAwayReadersServedWhileRswqRuns) {
  const int kMessages = 3000;
  auto admin = [&](const std::string& args) { return RunBinary(WQADMIN_BINARY, dir, args); };
  ASSERT_EQ(0, admin("create " RSWQ_QUEUE_FILE).code);
  ASSERT_EQ(0, admin("seed " RSWQ_QUEUE_FILE " --count " + std::to_string(kMessages) +
                     " --status 11 --recipients 1 --quiet").code);

  // rswq at a lower priority than this test, so that the test can pause it
  // once it logs "Resetting....": the queue is open for writing.
  const std::string log = dir + "/rswq.out";
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpriority(PRIO_PROCESS, 0, 15);
    setenv("TAVLO_DATA", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0 || !freopen(log.c_str(), "w", stdout) ||
        !freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "r", stdin))
      _exit(100);
    execl(RSWQ_BINARY, "rswq", static_cast<char*>(nullptr));
    _exit(101);
  }
  for (int i = 0; i < 120000 && ReadFile(log).find(RSWQ_LOG_RESETTING) == std::string::npos; i++)
    usleep(500);  // a hang guard only
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
  ASSERT_TRUE(WIFSTOPPED(status)) << "rswq ended before it could be paused";
  ASSERT_NE(std::string::npos, ReadFile(log).find(RSWQ_LOG_RESETTING)) << ReadFile(log);

  RunResult second = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, second.code);
  EXPECT_NE(std::string::npos, second.out.find("rswq: Error: Unable to open: " RSWQ_QUEUE_FILE))
      << second.out;
  EXPECT_NE(std::string::npos, second.out.find("in use")) << second.out;
  EXPECT_EQ(std::string::npos, second.out.find("ReQueued")) << second.out;
  RunResult seed = admin("seed " RSWQ_QUEUE_FILE " --count 5 --status 11 --quiet");
  EXPECT_EQ(1, seed.code);
  EXPECT_NE(std::string::npos, seed.err.find("in use")) << seed.err;

  // Readers see one state: every message once, still failed or requeued.
  auto stats = [&] {
    RunResult r = admin("stats " RSWQ_QUEUE_FILE " --json");
    EXPECT_EQ(0, r.code) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(kMessages, j["total"]);
    return std::make_pair(j["by_status"].value("6", 0), j["by_status"].value("11", 0));
  };
  auto [six, eleven] = stats();
  EXPECT_EQ(kMessages, six + eleven);
  EXPECT_GT(eleven, 0) << "paused after the pass had ended";
  EXPECT_EQ(0, admin("list " RSWQ_QUEUE_FILE " --status 11 --limit 3 --json").code);

  ASSERT_EQ(0, kill(pid, SIGCONT));
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(log);
  EXPECT_NE(std::string::npos,
            ReadFile(log).find("ReQueued " + std::to_string(kMessages) + " messages"))
      << ReadFile(log);
  EXPECT_EQ(kMessages, stats().first);
}
#endif  // WQADMIN_BINARY

// Changes a queue file nobody has open, behind the store's back, the way a
// faulty writer or a bad disk would.
void Corrupt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* err = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << err;
  sqlite3_free(err);
  ASSERT_EQ(SQLITE_OK, sqlite3_close(db));
}

// A failed message whose summary value or header cannot be decoded, or
// whose note row is lost, is passed over by every search of the pass and
// left as it is; every other failed message is reset, the log is that of
// a sound queue, and one line on standard error counts what was left.
TEST_F(BinaryTest, DamagedMessageIsLeftAndEveryOtherFailedOneIsReset) {
  std::string log;
  for (const char* p : kBanner) log += std::string("rswq: ") + p + "\n";
  log += "rswq: Opening: smtpibwq.fix\nrswq: Resetting....\nrswq: ReQueued 149 messages\n"
         "rswq: Closing: smtpibwq.fix\n";
  for (const char* damage :
       {"UPDATE items SET value = x'' WHERE k >> 24 = %s AND CAST(name AS TEXT) = 'WQMsgStatus'",
        "UPDATE items SET value = x'01' WHERE k = %s << 24",
        "DELETE FROM notes WHERE note_id = %s"}) {
    MakeQueue(150, 3);
    // One in the second batch: the pass's later searches meet it too.
    RunResult list = RunBinary(WQADMIN_BINARY, dir, "list " RSWQ_QUEUE_FILE " --json");
    const std::string id = nlohmann::json::parse(list.out).at(120)["note_id"].dump();
    char sql[200];
    std::snprintf(sql, sizeof sql, damage, id.c_str());
    Corrupt(fix, sql);
    RunResult r = RunBinary(RSWQ_BINARY, dir);
    EXPECT_EQ(0, r.code) << sql;
    EXPECT_EQ(log, Unstamped(r.out)) << sql;
    EXPECT_EQ("rswq: 1 damaged message could not be searched and was left as it is: "
              "'wqadmin verify smtpibwq.fix' names them, 'wqadmin repair smtpibwq.fix' sets "
              "them aside\n", r.err) << sql;
    EXPECT_EQ(nlohmann::json({{"6", 152}}), Stats()) << sql;
  }
}

// An open refused for a cause the operator can remove names that cause,
// not another: a WAL sidecar that is a directory, too few descriptors.
TEST_F(BinaryTest, RefusedOpenNamesItsCause) {
  MakeQueue(5);
  struct stat sb;
  ASSERT_EQ(0, stat(fix.c_str(), &sb));
  const std::string head = ReadFile(fix).substr(60, 4);  // generation << 1 | dirty
  uint32_t marker = 0;
  for (char c : head) marker = marker << 8 | uint8_t(c);
  char wal[64];
  std::snprintf(wal, sizeof wal, ".tavlo-%llu-%08x-wal",
                static_cast<unsigned long long>(sb.st_ino), marker >> 1);
  fs::create_directory(dir + "/" + wal);
  char text[256];
  TavloStatusText(ERR_DB_SIDECAR, text, sizeof text);
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  fs::remove(dir + "/" + wal);
  EXPECT_EQ(255, r.code);
  EXPECT_NE(std::string::npos, r.out.find(std::string("Unable to open: smtpibwq.fix\n\r\n") + text))
      << r.out;
  EXPECT_NE(std::string::npos, r.err.find(wal)) << "the sidecar is not named: " << r.err;

  TavloStatusText(ERR_NO_FILES, text, sizeof text);
  r = RunBinary("/bin/sh", dir, "-c 'ulimit -n 6; exec \"$0\"' '" RSWQ_BINARY "'");
  EXPECT_EQ(255, r.code);
  EXPECT_NE(std::string::npos, r.out.find(std::string("Unable to open: smtpibwq.fix\n\r\n") + text))
      << r.out;
  EXPECT_EQ(nlohmann::json({{"11", 5}}), Stats());
}

}  // namespace
