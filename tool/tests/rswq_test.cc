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

// The whole log of a pass that requeued `n` messages.
Lines PassLog(int n) {
  return {kBanner[0], kBanner[1], kBanner[2], kBanner[3],
          "Opening: smtpibwq.fix", "Resetting....",
          "ReQueued " + std::to_string(n) + " messages",
          "Closing: smtpibwq.fix"};
}

// "Initing..." and then the count lines from 1 to n.
Lines StatusLines(size_t n) {
  Lines v = {"Initing..."};
  for (size_t i = 1; i <= n; i++)
    v.push_back("ReQueueing Message: " + std::to_string(i));
  return v;
}

class RswqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fix = DataPath(RSWQ_QUEUE_FILE);
    RemoveQueueFile(fix);
    Reset();
  }
  void TearDown() override {
    if (open) (void)WQSCloseQueueForWrite(&q);
    Reset();
    RemoveQueueFile(fix);
  }
  static void Reset() {
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
    OSMemTestDisarm();
  }

  // Makes smtpibwq.fix with `failed` messages in status 11, 9, 10, 7 in
  // turn and `healthy` in status 6, and closes it again.
  void MakeQueue(int failed, int healthy = 0) {
    ASSERT_EQ(NOERROR, CreateQueue(fix, &q));
    const DWORD kFailed[] = {11, 9, 10, 7};
    for (int i = 0; i < failed + healthy; i++) {
      SeedShape s;
      if (i < failed) {
        s.status = kFailed[i % 4];
        s.type = (i % 3 == 0) ? WQS_MSG_SIMPLE : WQS_MSG_EXTENDED;
      } else {
        s = kHealthy;
      }
      NOTEID id = 0;
      ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, i));
      (i < failed ? failedIds : healthyIds).push_back(id);
      if (i >= failed) healthyRaw.push_back(RawDocument(&q, id));
    }
    ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
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
      n += s.hasStatus && s.status == status;
    }
    return n;
  }

  std::string fix;
  queue_handle_t q{};
  bool open = false;
  std::vector<NOTEID> failedIds, healthyIds;
  std::vector<std::string> healthyRaw;
};

TEST_F(RswqTest, MissingQueueFileIsNotCreatedAndOpenStatusReturned) {
  char a0[] = "rswq", a1[] = "--create", a2[] = "other.qds";
  char* argv[] = {a0, a1, a2, nullptr};  // arguments change nothing
  Capture cap;
  EXPECT_EQ(ERR_WQS_NO_QUEUE, AddInMain(0x55, 3, argv));
  EXPECT_FALSE(FileExists(fix));
  EXPECT_FALSE(FileExists(DataPath("other.qds")));
  Lines want = PassLog(0);
  want.resize(5);
  want.push_back("Error: Unable to open: smtpibwq.fix");
  EXPECT_EQ(want, cap.Texts());
  for (const LogLine& l : cap.log) EXPECT_EQ(0, l.status) << l.text;
  EXPECT_EQ("Opening: %s", cap.log[4].format);
  EXPECT_EQ("Error: Unable to open: %s", cap.log[5].format);
  EXPECT_EQ(StatusLines(0), cap.status);
}

TEST_F(RswqTest, NoFailedMessageIsOneSearchAndTotalZero) {
  MakeQueue(0, 3);
  Capture cap;
  AddInTestStopAfterPolls(2);  // counts the pass's polls, one per search
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_FALSE(AddInIdle());  // poll 2: the pass polled exactly once
  EXPECT_TRUE(AddInIdle());
  EXPECT_EQ(PassLog(0), cap.Texts());
  EXPECT_EQ("ReQueued %lu messages", cap.log[6].format);
  EXPECT_EQ(StatusLines(0), cap.status);
}

TEST_F(RswqTest, TwoHundredFiftyFailedInBatchesOfHundred) {
  MakeQueue(250, 5);
  Reopen();
  std::vector<MsgSnapshot> before(failedIds.size());
  for (size_t i = 0; i < failedIds.size(); i++)
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &before[i]));
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  open = false;

  Capture cap;
  // One poll before each search: 100, 100, 50, then the empty search.
  AddInTestStopAfterPolls(5);
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_FALSE(AddInIdle());  // poll 5
  EXPECT_TRUE(AddInIdle());
  EXPECT_EQ(StatusLines(250), cap.status);
  EXPECT_EQ(PassLog(250), cap.Texts());
  EXPECT_EQ(0u, WqsLiveBlocks());

  Reopen();
  for (size_t i = 0; i < failedIds.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[i], &s));
    ExpectRequeued(before[i], s);
  }
  // Messages in status 6 were never opened, let alone rewritten.
  for (size_t i = 0; i < healthyIds.size(); i++)
    EXPECT_EQ(healthyRaw[i], RawDocument(&q, healthyIds[i]));
}

TEST_F(RswqTest, StopDuringSecondBatchFinishesItAndReportsTwoHundred) {
  MakeQueue(250);
  Capture cap;
  cap.onStatus = [](size_t n) {
    if (n == 151) AddInTestSetStopRequest(TRUE);  // count 150
  };
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(StatusLines(200), cap.status);
  EXPECT_EQ(PassLog(200), cap.Texts());
  AddInTestSetStopRequest(FALSE);
  Reopen();
  EXPECT_EQ(200, CountStatus(6));
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  open = false;
  // A rerun finishes the rest.
  Capture cap2;
  EXPECT_EQ(NOERROR, AddInMain(0, 0, nullptr));
  EXPECT_EQ(PassLog(50), cap2.Texts());
  Reopen();
  EXPECT_EQ(250, CountStatus(6));
}

TEST_F(RswqTest, AlreadyStoppingAtStartMakesNoSearchAndExitsZero) {
  MakeQueue(5);
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
      [] {},
      ShellShowMessage};
  EXPECT_EQ(0, ShellMainWithEnv(&env, 0, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(PassLog(0), cap.Texts());
  AddInTestSetStopRequest(FALSE);
  Reopen();
  EXPECT_EQ(0, CountStatus(6));
}

// How many memory operations after a message open the reset's first one
// comes: the n for which the open succeeds untouched and the reset fails.
DWORD CalibrateResetFault(queue_handle_t* q, NOTEID id) {
  const WORD kinds = OSMEM_FAULT_ALLOC | OSMEM_FAULT_REALLOC | OSMEM_FAULT_LOCK;
  for (DWORD n = 1; n < 500; n++) {
    msg_handle_t m;
    OSMemTestFailNth(kinds, n);
    if (WQSOpenMsgByMsgID(q, id, &m) != NOERROR) continue;
    bool firedInOpen = OSMemTestFaultFired() != FALSE;
    STATUS err = firedInOpen ? NOERROR : WQInbReconvertOneMsg(&m);
    bool firedInReset = !firedInOpen && OSMemTestFaultFired() != FALSE;
    OSMemTestDisarm();
    (void)WQSCloseMsg(&m);
    if (err != NOERROR && firedInReset) return n;
    if (!firedInOpen && !firedInReset) break;  // past the reset
  }
  OSMemTestDisarm();
  return 0;
}

TEST_F(RswqTest, SeventhResetFailingStopsPassAndReleasesEverything) {
  MakeQueue(20);
  Reopen();
  DWORD n = CalibrateResetFault(&q, failedIds[0]);
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  open = false;
  if (n == 0) GTEST_SKIP() << "the reset makes no memory call to fail";
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
  Lines want = PassLog(0);
  want[6] = want[7] = "Error";
  EXPECT_EQ(want, cap.Texts());
  for (int i : {6, 7}) {
    EXPECT_EQ("Error", cap.log[i].format);
    EXPECT_EQ(err, cap.log[i].status);
  }
  EXPECT_EQ(StatusLines(6), cap.status);
  // The list, the message copies and the queue are all released.
  EXPECT_EQ(0u, WqsLiveBlocks());
  EXPECT_EQ(baseline, OSMemTestTotalBlocks());

  Reopen();
  EXPECT_EQ(6, CountStatus(6));
  MsgSnapshot s;  // the failed one is stored as it was
  ASSERT_EQ(NOERROR, ReadMessage(&q, failedIds[6], &s));
  EXPECT_TRUE(s.hasErrStr);
  EXPECT_NE(6u, s.status);
  EXPECT_EQ(550u, +s.info.dwUserInfo3);
}

TEST_F(RswqTest, FailedSearchIsLoggedAndReturned) {
  MakeQueue(3);
  Reopen();
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

}  // namespace
