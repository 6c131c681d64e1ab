// AddInMain and the requeue pass against real queues in a private data
// directory, and the built rswq and wqadmin binaries run in it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>

#include "rswq.h"
#include "run_util.h"
#include "shell.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
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

// Starts the runtime in a fresh TAVLO_DATA directory, removed at the end.
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
    AddInTestSetLogSink([](const char*, STATUS, const std::string& text, void* arg) {
      static_cast<Capture*>(arg)->log.push_back(text);
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
  std::function<void(size_t)> onStatus;
};

void RemoveQueueFile(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    fs::remove(path + suffix);
}

// Opens `path`; with `create`, makes it afresh from an empty template first.
STATUS OpenQueue(const std::string& path, queue_handle_t* q, bool create = false) {
  const std::string tmpl = g_dir + "/rswq-test-template.qdt";
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
  std::snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s", tmpl.c_str());
  STATUS err = NOERROR;
  if (create && !fs::exists(tmpl)) err = QDSDbCreate(tmpl.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
  if (create) RemoveQueueFile(path);
  if (create && err == NOERROR) err = WQSCreateQueue(&qd);
  return err != NOERROR ? err : WQSOpenQueueForWrite(&qd, FALSE, q);
}

// A failed message (status 11, error text and codes) or a requeued one.
STATUS SeedMessage(queue_handle_t* q, bool healthy, NOTEID* id, int serial) {
  const DWORD state = healthy ? 6 : 11, error = healthy ? 0 : 550;
  msg_handle_t m;
  STATUS err = WQSCreateMsg(q, WQS_MSG_EXTENDED, &m);
  if (err != NOERROR) return err;
  TIMEDATE retryAt;
  TimeFromMicros(1700000000000000LL + serial * 1000000LL, &retryAt);
  for (int r = 0; err == NOERROR && r < 2; r++) {
    char name[64], hop[] = "mx1.example.net", po[] = "PO0";
    std::snprintf(name, sizeof(name), "user%d.%d@example.org", serial, r);
    recip_info_t ri{name, WORD(std::strlen(name)), hop, 15, po, 3,
                    recip_data_t{1, error, retryAt, state, 3}};
    err = WQSAppendRecipient(&m, &ri);
  }
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  *info = user_msg_info_t{DWORD(4096 + serial), info->dwQueueMsgID,
                          info->wNumRecip, 2, 1, WORD(healthy ? 4 : 0), retryAt,
                          17, DWORD(1000 + serial), 3, error, 4, 5};
  static const char kErr[] = "550 5.1.1 <x@y>: Recipient address rejected";
  if (err == NOERROR) err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", state);
  if (err == NOERROR && !healthy)
    err = WQSAddDataBlock(&m, FALSE, "WQErrStr", kErr, sizeof(kErr) - 1);
  if (err != NOERROR) {
    (void)WQSCloseAndDiscardMsg(&m);
    return err;
  }
  err = WQSCloseAndSaveMsg(&m);
  WQSGetMsgInfo(&m, &info);
  *id = info->dwQueueMsgID;
  return err;
}

struct MsgSnapshot {
  user_msg_info_t info{};
  DWORD status = 0;  // 0: none
  bool hasErrStr = false;
  std::vector<recip_data_t> recips;
};

STATUS ReadMessage(queue_handle_t* q, NOTEID id, MsgSnapshot* out) {
  msg_handle_t m;
  STATUS err = WQSOpenMsgByMsgID(q, id, &m);
  if (err != NOERROR) return err;
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  out->info = *info;
  WQSGetDWORD(&m, "WQMsgStatus", &out->status);
  out->hasErrStr = QDSItemIsPresent(m.hNote, "WQErrStr", 8) != FALSE;
  for (WORD r = 0; err == NOERROR && r < info->wNumRecip; r++) {
    recip_info_t ri{};
    err = WQSGetRecipient(&m, r, &ri);
    out->recips.push_back(ri.data);
  }
  STATUS cerr = WQSCloseMsg(&m);
  return err != NOERROR ? err : cerr;
}

// `got` is `want` reset: status 6, no error text or code, one retry, every
// recipient in state 6 without error; all else kept.
void ExpectRequeued(MsgSnapshot want, const MsgSnapshot& got) {
  want.info.wRetries = 1;
  want.info.dwUserInfo3 = 0;
  for (recip_data_t& d : want.recips) d.dwUserInfo = 6, d.dwErrorCode = 0;
  EXPECT_EQ(6u, got.status);
  EXPECT_FALSE(got.hasErrStr);
  EXPECT_EQ(0, std::memcmp(&want.info, &got.info, sizeof want.info));
  ASSERT_EQ(want.recips.size(), got.recips.size());
  EXPECT_EQ(0, std::memcmp(want.recips.data(), got.recips.data(),
                           got.recips.size() * sizeof(recip_data_t)));
}

// Modification time and originator id: both change whenever a note is saved.
std::string NoteStamp(queue_handle_t* q, NOTEID id) {
  NOTEHANDLE note = 0;
  if (QDSNoteOpen(q->dbhandle, id, 0, &note) != NOERROR) return "<no note>";
  struct { TIMEDATE mod; ORIGINATORID oid; } s{};
  QDSNoteGetInfo(note, _NOTE_MODIFIED, &s.mod);
  QDSNoteGetInfo(note, _NOTE_OID, &s.oid);
  QDSNoteClose(note);
  return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

Lines PassLog(int n) {
  return {kBanner[0], kBanner[1], kBanner[2], kBanner[3],
          "Opening: smtpibwq.fix", "Resetting....",
          "ReQueued " + std::to_string(n) + " messages",
          "Closing: smtpibwq.fix"};
}

Lines StatusLines(size_t n) {
  Lines v = {"Initing..."};
  for (size_t i = 1; i <= n; i++)
    v.push_back("ReQueueing Message: " + std::to_string(i));
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
  }
  // smtpibwq.fix with `failed` messages in status 11 and `healthy` in 6.
  void MakeQueue(int failed, int healthy = 0) {
    ASSERT_EQ(NOERROR, OpenQueue(fix, &q, true));
    for (int i = 0; i < failed + healthy; i++) {
      NOTEID id = 0;
      ASSERT_EQ(NOERROR, SeedMessage(&q, i >= failed, &id, i));
      (i < failed ? failedIds : healthyIds).push_back(id);
      if (i >= failed) healthyStamps.push_back(NoteStamp(&q, id));
      if (i < failed) { ASSERT_EQ(NOERROR, ReadMessage(&q, id, &failedBefore.emplace_back())); }
    }
    ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  }
  void Reopen() {
    ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
    open = true;
  }

  std::string dir = g_dir, fix = dir + "/" RSWQ_QUEUE_FILE;
  queue_handle_t q{};
  bool open = false;
  std::vector<NOTEID> failedIds, healthyIds;
  std::vector<MsgSnapshot> failedBefore;
  Lines healthyStamps;
};

TEST_F(RswqTest, NoFailedMessageRequeuesNothing) {
  MakeQueue(0, 5);
  Capture cap;
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(StatusLines(0), cap.status);
  EXPECT_EQ(PassLog(0), cap.log);
}

TEST_F(RswqTest, TwoHundredFiftyFailedAndStatusSixUntouched) {
  MakeQueue(250, 5);
  Capture cap;
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(StatusLines(250), cap.status);
  EXPECT_EQ(PassLog(250), cap.log);
  Reopen();
  for (size_t i = 0; i < healthyIds.size(); i++)
    EXPECT_EQ(healthyStamps[i], NoteStamp(&q, healthyIds[i]));
}

TEST_F(RswqTest, StopDuringSecondBatchFinishesItAndReportsTwoHundred) {
  MakeQueue(250);
  Capture cap;
  cap.onStatus = [](size_t n) {
    if (n == 151) AddInTestSetStopRequest(TRUE);  // count 150
  };
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(StatusLines(200), cap.status);
  EXPECT_EQ(PassLog(200), cap.log);
}

TEST_F(RswqTest, AlreadyStoppingAtStartMakesNoSearch) {
  MakeQueue(5);
  AddInTestSetStopRequest(TRUE);
  Capture cap;
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(PassLog(0), cap.log);
}

TEST_F(RswqTest, SeventhResetFailingStopsPassAndReleasesTheList) {
  MakeQueue(20);
  Reopen();
  // Calibrate: the n for which a message open succeeds and its reset fails.
  const WORD kinds = OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;
  DWORD n = 1;
  for (STATUS err = NOERROR; err == NOERROR && n < 500; n++) {
    msg_handle_t m;
    OSMemTestFailNth(kinds, n);
    if (WQSOpenMsgByMsgID(&q, failedIds[0], &m) != NOERROR) continue;
    if (!OSMemTestFaultFired()) err = WQInbReconvertOneMsg(&m);
    OSMemTestDisarm();
    (void)WQSCloseMsg(&m);
  }
  ASSERT_LT(--n, 499u) << "the reset makes no memory call to fail";
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  open = false;
  Capture cap;
  cap.onStatus = [n, kinds](size_t count) {
    if (count == 7) OSMemTestFailNth(kinds, n);  // after the 6th save
  };
  EXPECT_NE(NOERROR, AddInMain(0, 0, nullptr));
  OSMemTestDisarm();
  Lines want = PassLog(0);
  want[6] = want[7] = "Error";
  EXPECT_EQ(want, cap.log);
  EXPECT_EQ(StatusLines(6), cap.status);
  DWORD blocks = 0, bytes = 0;
  OSMemTestCount(WQS_TAG_MSGLIST, &blocks, &bytes);
  EXPECT_EQ(0u, blocks);
  Reopen();
  int requeued = 0;
  for (NOTEID id : failedIds) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, id, &s));
    requeued += s.status == 6;
  }
  EXPECT_EQ(6, requeued);
}

// Standard output of rswq with time stamps taken off, and its opening lines.
std::string Unstamped(const std::string& out) {
  static const std::regex stamp("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ");
  return std::regex_replace(out, stamp, "$1");
}
std::string Opening() {
  std::string s;
  for (const char* p : kBanner) s += std::string("rswq: ") + p + "\n";
  return s + "rswq: Opening: smtpibwq.fix\n";
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

TEST_F(BinaryTest, RswqResetsEveryFailedMessage) {
  MakeQueue(12);
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ(Opening() + "rswq: Resetting....\nrswq: ReQueued 12 messages\n"
                        "rswq: Closing: smtpibwq.fix\n",
            Unstamped(r.out));
  Reopen();
  for (size_t i = 0; i < failedIds.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &s));
    ExpectRequeued(failedBefore[i], s);
  }
}

TEST_F(BinaryTest, RswqWithoutQueueFileExits255AndShowsTheCause) {
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, r.code);
  EXPECT_TRUE(fs::is_empty(dir));
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  EXPECT_EQ(Opening() + "rswq: Error: Unable to open: smtpibwq.fix\n\r\n" +
                text + "\r\n\r\n",
            Unstamped(r.out));
}

#ifdef WQADMIN_BINARY
TEST_F(BinaryTest, WqadminBuildsAQueueTheToolResets) {
  for (const char* args : {"create " RSWQ_QUEUE_FILE,
                           "seed " RSWQ_QUEUE_FILE " --count 7 --status 9 --quiet",
                           "seed " RSWQ_QUEUE_FILE " --count 3 --status 6 --quiet"})
    ASSERT_EQ(0, RunBinary(WQADMIN_BINARY, dir, args).code) << args;
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_NE(std::string::npos, r.out.find("ReQueued 7 messages")) << r.out;
  RunResult st = RunBinary(WQADMIN_BINARY, dir, "stats " RSWQ_QUEUE_FILE " --json");
  ASSERT_EQ(0, st.code) << st.err;
  auto j = nlohmann::json::parse(st.out);
  EXPECT_EQ(10, j["total"]);
  EXPECT_EQ(10, j["by_status"]["6"]);
}
#endif  // WQADMIN_BINARY

}  // namespace
