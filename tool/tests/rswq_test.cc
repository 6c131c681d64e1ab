// AddInMain and the requeue pass against real queues in the test's data
// directory: the exact log and status lines, batching, stop requests,
// failure clean-up, and what ends up stored.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rswq.h"
#include "shell.h"
#include "tool_util.h"

using namespace tooltest;

namespace {

const char kP1[] =
    "\n\t                         Inbound Workqueue Message Status Reset Tool\n"
    "\t                         For Internal Use Only\n\t";
const char kP2[] =
    "\n\t                         Use only with version 1.05 of the MAILHUB\n"
    "\t                         Check with support before using with any other\n"
    "\t                         verison of the MAILHUB\n\t";
const char kP3[] =
    "\n\t                         Usage:\n"
    "\t                               1) Make sure the MAILHUB is NOT running\n"
    "\t                               2) Rename smtpibwq.qds to smtpibwq.fix\n"
    "\t                               3) Run this tool\n\t";
const char kP4[] =
    "\n\t                         Notes:\n"
    "\t                         If you have a lot of messages getting reset\n"
    "\t                         do a show tasks, the status of this tool will\n"
    "\t                         tell you how many messages have been processed\n\t";

// The log lines after the first `from`.
std::vector<std::string> Tail(const Capture& cap, size_t from) {
  std::vector<std::string> all = cap.Texts();
  if (from > all.size()) from = all.size();
  return std::vector<std::string>(all.begin() + from, all.end());
}

class RswqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fix = DataPath(RSWQ_QUEUE_FILE);
    RemoveQueueFile(fix);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
    OSMemTestDisarm();
  }
  void TearDown() override {
    if (open) (void)WQSCloseQueueForWrite(&q);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
    OSMemTestDisarm();
    RemoveQueueFile(fix);
  }

  // Makes smtpibwq.fix with `failed` messages in status 11, 9, 10, 7 in
  // turn and `healthy` in status 6; leaves it open in `q`.
  void MakeQueue(int failed, int healthy = 0) {
    ASSERT_EQ(NOERROR, CreateQueue(fix, &q));
    open = true;
    const DWORD kFailed[] = {11, 9, 10, 7};
    for (int i = 0; i < failed; i++) {
      SeedSpec s;
      s.status = kFailed[i % 4];
      s.type = (i % 3 == 0) ? WQS_MSG_SIMPLE : WQS_MSG_EXTENDED;
      NOTEID id = 0;
      ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, i));
      failedIds.push_back(id);
    }
    for (int i = 0; i < healthy; i++) {
      SeedSpec s;
      s.status = 6;
      s.errStr = false;
      s.msgError = 0;
      s.recipState = 6;
      s.recipError = 0;
      s.msgRetries = 4;
      NOTEID id = 0;
      ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, 1000 + i));
      healthyIds.push_back(id);
    }
  }
  void CloseQueue() {
    if (open) {
      open = false;
      ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    }
  }
  void Reopen() {
    ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
    open = true;
  }
  int CountStatus(DWORD status) {
    int n = 0;
    for (NOTEID id : failedIds) {
      MsgSnapshot s;
      EXPECT_EQ(NOERROR, ReadMessage(&q, id, &s));
      if (s.hasStatus && s.status == status) n++;
    }
    return n;
  }
  static std::vector<std::string> CountLines(size_t from, size_t to) {
    std::vector<std::string> v;
    for (size_t i = from; i <= to; i++)
      v.push_back("ReQueueing Message: " + std::to_string(i));
    return v;
  }

  std::string fix;
  queue_handle_t q{};
  bool open = false;
  std::vector<NOTEID> failedIds, healthyIds;
};

TEST_F(RswqTest, BannerParagraphsAreExactBytes) {
  Capture cap;
  (void)AddInMain(0, 0, nullptr);
  ASSERT_GE(cap.log.size(), 4u);
  EXPECT_EQ(kP1, cap.log[0].text);
  EXPECT_EQ(kP2, cap.log[1].text);
  EXPECT_EQ(kP3, cap.log[2].text);
  EXPECT_EQ(kP4, cap.log[3].text);
  for (int i = 0; i < 4; i++) EXPECT_EQ(0, cap.log[i].status);
  ASSERT_FALSE(cap.status.empty());
  EXPECT_EQ("Initing...", cap.status[0]);
}

TEST_F(RswqTest, MissingQueueFileIsNotCreatedAndOpenStatusReturned) {
  Capture cap;
  EXPECT_EQ(ERR_WQS_NO_QUEUE, AddInMain(0, 0, nullptr));
  EXPECT_FALSE(FileExists(fix));
  ASSERT_EQ(6u, cap.log.size());
  EXPECT_EQ("Opening: %s", cap.log[4].format);
  EXPECT_EQ("Opening: smtpibwq.fix", cap.log[4].text);
  EXPECT_EQ(0, cap.log[4].status);
  EXPECT_EQ("Error: Unable to open: %s", cap.log[5].format);
  EXPECT_EQ("Error: Unable to open: smtpibwq.fix", cap.log[5].text);
  EXPECT_EQ(0, cap.log[5].status);
  EXPECT_EQ((std::vector<std::string>{"Initing..."}), cap.status);
}

TEST_F(RswqTest, ArgumentsChangeNothing) {
  char a0[] = "rswq", a1[] = "--create", a2[] = "other.qds";
  char* argv[] = {a0, a1, a2, nullptr};
  Capture cap;
  EXPECT_EQ(ERR_WQS_NO_QUEUE, AddInMain(0x55, 3, argv));
  EXPECT_FALSE(FileExists(fix));
  EXPECT_FALSE(FileExists(DataPath("other.qds")));
  EXPECT_EQ("Opening: smtpibwq.fix", cap.log[4].text);
}

TEST_F(RswqTest, EmptyQueueOneSearchTotalZero) {
  MakeQueue(0, 3);
  CloseQueue();
  Capture cap;
  AddInTestStopAfterPolls(2);  // counts the pass's polls, one per search
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_FALSE(AddInIdle());  // poll 2: the pass polled exactly once
  EXPECT_TRUE(AddInIdle());
  EXPECT_EQ((std::vector<std::string>{"Opening: smtpibwq.fix", "Resetting....",
                                      "ReQueued 0 messages",
                                      "Closing: smtpibwq.fix"}),
            Tail(cap, 4));
  EXPECT_EQ("ReQueued %lu messages", cap.log[6].format);
  EXPECT_EQ((std::vector<std::string>{"Initing..."}), cap.status);
  EXPECT_TRUE(FileExists(fix));
}

TEST_F(RswqTest, TwoHundredFiftyFailedInBatchesOfHundred) {
  MakeQueue(250, 5);
  std::vector<std::string> healthyBefore;
  for (NOTEID id : healthyIds) healthyBefore.push_back(RawDocument(&q, id));
  CloseQueue();

  Capture cap;
  // One poll before each search: 100, 100, 50, then the empty search.
  AddInTestStopAfterPolls(5);
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_FALSE(AddInIdle());  // poll 5
  EXPECT_TRUE(AddInIdle());
  ASSERT_EQ(251u, cap.status.size());
  EXPECT_EQ("Initing...", cap.status[0]);
  EXPECT_EQ(CountLines(1, 250),
            std::vector<std::string>(cap.status.begin() + 1, cap.status.end()));
  EXPECT_EQ((std::vector<std::string>{"Opening: smtpibwq.fix", "Resetting....",
                                      "ReQueued 250 messages",
                                      "Closing: smtpibwq.fix"}),
            Tail(cap, 4));
  EXPECT_EQ(0u, WqsLiveBlocks());

  Reopen();
  EXPECT_EQ(250, CountStatus(6));
  // Messages in status 6 were never opened, let alone rewritten.
  for (size_t i = 0; i < healthyIds.size(); i++)
    EXPECT_EQ(healthyBefore[i], RawDocument(&q, healthyIds[i]));
}

TEST_F(RswqTest, BatchesAreHundredHundredFiftyThenEmptySearch) {
  MakeQueue(250);
  // Observe the batch boundaries by the stop polls: after N polls the next
  // one says stop.  Three polls let three batches run.
  AddInTestStopAfterPolls(2);
  {
    Capture cap;
    EXPECT_EQ(NOERROR, ReconvertAllMsgs(&q));
    EXPECT_EQ("ReQueued 200 messages", cap.log.back().text);
  }
  AddInTestSetStopRequest(FALSE);
  AddInTestStopAfterPolls(1);
  {
    Capture cap;
    EXPECT_EQ(NOERROR, ReconvertAllMsgs(&q));
    EXPECT_EQ("ReQueued 50 messages", cap.log.back().text);
    EXPECT_EQ(50u, cap.status.size());
  }
  EXPECT_EQ(250, CountStatus(6));
}

TEST_F(RswqTest, StopDuringSecondBatchFinishesItAndReportsTwoHundred) {
  MakeQueue(250);
  CloseQueue();
  Capture cap;
  cap.onStatus = [](size_t n) {
    if (n == 151) AddInTestSetStopRequest(TRUE);  // count 150 (after Initing)
  };
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(201u, cap.status.size());
  EXPECT_EQ("ReQueueing Message: 200", cap.status.back());
  EXPECT_EQ((std::vector<std::string>{"Opening: smtpibwq.fix", "Resetting....",
                                      "ReQueued 200 messages",
                                      "Closing: smtpibwq.fix"}),
            Tail(cap, 4));
  AddInTestSetStopRequest(FALSE);
  Reopen();
  EXPECT_EQ(200, CountStatus(6));
  CloseQueue();

  // A rerun finishes the rest.
  Capture cap2;
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ("ReQueued 50 messages", cap2.log[6].text);
  Reopen();
  EXPECT_EQ(250, CountStatus(6));
}

TEST_F(RswqTest, AlreadyStoppingAtStartMakesNoSearchAndExitsZero) {
  MakeQueue(5);
  CloseQueue();
  AddInTestSetStopRequest(TRUE);
  Capture cap;
  // Through the shell with the add-in layer replaced by AddInMain itself,
  // so the test's runtime stays up.
  static const ShellEnv env = {
      [](int, char**) -> STATUS { return NOERROR; },
      [](void*, int, char**, void*, void*) -> STATUS { return NOERROR; },
      TavloSDKMAINInitError,
      TavloSDKMAINError,
      [](int argc, char** argv) -> STATUS { return AddInMain(0, argc, argv); },
      []() {},
      ShellShowMessage};
  EXPECT_EQ(0, ShellMainWithEnv(&env, 0, nullptr, nullptr, 0, nullptr));
  std::vector<std::string> want = {kP1, kP2, kP3, kP4,
                                   "Opening: smtpibwq.fix", "Resetting....",
                                   "ReQueued 0 messages",
                                   "Closing: smtpibwq.fix"};
  EXPECT_EQ(want, cap.Texts());
  AddInTestSetStopRequest(FALSE);
  Reopen();
  EXPECT_EQ(0, CountStatus(6));  // nothing searched, nothing touched
}

// Finds how many memory operations from a message open on reach into the
// reset: the n for which the open succeeds untouched and the reset fails.
DWORD CalibrateResetFault(queue_handle_t* q, NOTEID id) {
  const WORD kinds = OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;
  for (DWORD n = 1; n < 500; n++) {
    msg_handle_t m;
    OSMemTestFailNth(kinds, n);
    STATUS err = WQSOpenMsgByMsgID(q, id, &m);
    if (err != NOERROR) continue;  // the fault hit the open
    bool firedInOpen = OSMemTestFaultFired() != FALSE;
    err = firedInOpen ? NOERROR : WQInbReconvertOneMsg(&m);
    bool firedInReset = !firedInOpen && OSMemTestFaultFired() != FALSE;
    OSMemTestDisarm();
    (void)WQSCloseMsg(&m);
    if (err != NOERROR && firedInReset) return n;
    if (!firedInOpen && !firedInReset) break;  // past the reset: none left
  }
  OSMemTestDisarm();
  return 0;
}

TEST_F(RswqTest, SeventhResetFailingStopsPassAndReleasesEverything) {
  MakeQueue(20);
  DWORD n = CalibrateResetFault(&q, failedIds[0]);
  if (n == 0) GTEST_SKIP() << "the reset makes no memory call to fail";
  CloseQueue();
  DWORD baseline = OSMemTestTotalBlocks();

  Capture cap;
  const WORD kinds = OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;
  cap.onStatus = [n, kinds](size_t count) {
    if (count == 7) OSMemTestFailNth(kinds, n);  // after the 6th save
  };
  STATUS err = AddInMain(0, 0, nullptr);
  EXPECT_NE(NOERROR, err);
  EXPECT_TRUE(OSMemTestFaultFired());
  OSMemTestDisarm();

  std::vector<std::string> texts = cap.Texts();
  ASSERT_EQ(8u, texts.size());
  EXPECT_EQ("Resetting....", texts[5]);
  EXPECT_EQ("Error", cap.log[6].format);
  EXPECT_EQ(err, cap.log[6].status);
  EXPECT_EQ("Error", cap.log[7].format);
  EXPECT_EQ(err, cap.log[7].status);
  EXPECT_EQ("ReQueueing Message: 6", cap.status.back());
  // The list, the message copies, and the queue are all released.
  EXPECT_EQ(0u, WqsLiveBlocks());
  EXPECT_EQ(baseline, OSMemTestTotalBlocks());

  Reopen();
  int requeued = 0;
  for (size_t i = 0; i < failedIds.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &s));
    if (s.status == 6) requeued++;
    if (i == 6) {  // the failed one is stored as it was
      EXPECT_TRUE(s.hasErrStr);
      EXPECT_NE(6u, s.status);
      EXPECT_EQ(550u, +s.info.dwUserInfo3);
    }
  }
  EXPECT_EQ(6, requeued);
}

TEST_F(RswqTest, FailedSearchIsLoggedAndReturned) {
  MakeQueue(3);
  Capture cap;
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);  // the list's memory
  STATUS err = ReconvertAllMsgs(&q);
  OSMemTestDisarm();
  EXPECT_NE(NOERROR, err);
  ASSERT_EQ(1u, cap.log.size());
  EXPECT_EQ("Error", cap.log[0].text);
  EXPECT_EQ(err, cap.log[0].status);
  EXPECT_EQ(0u, WqsLiveBlocks());
}

TEST_F(RswqTest, StoredResultOfThePass) {
  MakeQueue(8, 2);
  std::vector<MsgSnapshot> before(failedIds.size());
  for (size_t i = 0; i < failedIds.size(); i++)
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &before[i]));
  Capture cap;
  ASSERT_EQ(NOERROR, ReconvertAllMsgs(&q));
  for (size_t i = 0; i < failedIds.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &s));
    EXPECT_TRUE(s.hasStatus);
    EXPECT_EQ(6u, s.status);
    EXPECT_FALSE(s.hasErrStr);
    EXPECT_EQ(1, +s.info.wRetries);
    EXPECT_EQ(0u, +s.info.dwUserInfo3);
    const user_msg_info_t& a = before[i].info;
    EXPECT_EQ(+a.dwSize, +s.info.dwSize);
    EXPECT_EQ(+a.wNumRecip, +s.info.wNumRecip);
    EXPECT_EQ(+a.wPriority, +s.info.wPriority);
    EXPECT_EQ(+a.wFormat, +s.info.wFormat);
    EXPECT_EQ(0, std::memcmp(&a.tdNextRetry, &s.info.tdNextRetry, 8));
    EXPECT_EQ(+a.dwFailureReason, +s.info.dwFailureReason);
    EXPECT_EQ(+a.dwUserInfo1, +s.info.dwUserInfo1);
    EXPECT_EQ(+a.dwUserInfo2, +s.info.dwUserInfo2);
    EXPECT_EQ(+a.dwUserInfo4, +s.info.dwUserInfo4);
    EXPECT_EQ(+a.dwUserInfo5, +s.info.dwUserInfo5);
    ASSERT_EQ(before[i].recips.size(), s.recips.size());
    EXPECT_EQ(before[i].names, s.names);
    for (size_t r = 0; r < s.recips.size(); r++) {
      EXPECT_EQ(6u, +s.recips[r].dwUserInfo);
      EXPECT_EQ(0u, +s.recips[r].dwErrorCode);
      EXPECT_EQ(+before[i].recips[r].dwRecipType, +s.recips[r].dwRecipType);
      EXPECT_EQ(+before[i].recips[r].wRetries, +s.recips[r].wRetries);
      EXPECT_EQ(0, std::memcmp(&before[i].recips[r].tdNextRetry,
                               &s.recips[r].tdNextRetry, 8));
    }
  }
}

}  // namespace
