// Inbound reconvert: one message in an open handle, and the silent batch
// loop over a queue.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk.h"

namespace fs = std::filesystem;

namespace {

// Time stamps inside the packed stored records may sit on any even
// address: copy them out before handing them to the runtime.
int64_t MicrosOf(const void* packedTime) {
  TIMEDATE t;
  std::memcpy(&t, packedTime, sizeof(t));
  return TimeToMicros(&t);
}

class ReconvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string tmpl =
        (fs::temp_directory_path() / "wqhk-reconvert-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buf.data()));
    dir_ = new std::string(buf.data());
    static char a0[] = "wqhk_tests";
    static char* argv[] = {a0, nullptr};
    (void)TavloInitExtended(1, argv);
    templ_ = new std::string(*dir_ + "/template.qdt");
    ASSERT_EQ(NOERROR, QDSDbCreate(templ_->c_str(), WQS_QUEUE_DB_CLASS, FALSE));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*dir_, ec);
    delete dir_;
    delete templ_;
    dir_ = templ_ = nullptr;
  }

  void SetUp() override {
    path = *dir_ + "/" + ::testing::UnitTest::GetInstance()
                             ->current_test_info()->name() + ".qds";
    queue_descriptor_t qd;
    std::memset(&qd, 0, sizeof(qd));
    std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
    std::snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
                  templ_->c_str());
    ASSERT_EQ(NOERROR, WQSCreateQueue(&qd));
    ASSERT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
  }
  void TearDown() override {
    (void)WQSCloseQueueForWrite(&q);
    std::error_code ec;
    for (const char* sfx : {"", "-wal", "-shm"}) fs::remove(path + sfx, ec);
  }

  struct Spec {
    WORD type = WQS_MSG_EXTENDED;
    DWORD status = 11;
    bool hasStatus = true;
    bool errStr = true;
    int recips = 2;
  };

  NOTEID Seed(const Spec& s, int serial = 0) {
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, s.type, &m));
    for (int r = 0; r < s.recips; r++) {
      char name[48], hop[32], po[16];
      std::snprintf(name, sizeof(name), "r%d.%d@example.org", serial, r);
      std::snprintf(hop, sizeof(hop), "mx%d.example.net", r);
      std::snprintf(po, sizeof(po), "PO%d", r);
      recip_info_t ri;
      std::memset(&ri, 0, sizeof(ri));
      ri.pName = name;
      ri.wNameLen = (WORD)std::strlen(name);
      ri.pNextHop = hop;
      ri.wNextHopLen = (WORD)std::strlen(hop);
      ri.pPOName = po;
      ri.wPONameLen = (WORD)std::strlen(po);
      ri.data.dwRecipType = 7;
      ri.data.dwErrorCode = 0x10550;
      TIMEDATE retry;
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
      ri.data.dwUserInfo = 0x20011;
      ri.data.wRetries = 3;
      EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &ri));
    }
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    info->dwSize = 777;
    info->wPriority = 3;
    info->wFormat = 2;
    info->wRetries = 0;
    TIMEDATE next;
    TimeFromMicros(1650000000000000LL, &next);
    info->tdNextRetry = next;
    info->dwFailureReason = 9;
    info->dwUserInfo1 = 11;
    info->dwUserInfo2 = 22;
    info->dwUserInfo3 = 0x70550;
    info->dwUserInfo4 = 44;
    info->dwUserInfo5 = 55;
    if (s.hasStatus) {
      EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", s.status));
    }
    if (s.errStr) {
      EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", "550 no", 6));
    }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    WQSGetMsgInfo(&m, &info);
    return info->dwQueueMsgID;
  }

  // Checks a stored message is reconverted and its other fields kept.
  void ExpectReconverted(NOTEID id, int recips) {
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    EXPECT_EQ(1, +info->wRetries);
    EXPECT_EQ(0u, +info->dwUserInfo3);
    EXPECT_EQ(777u, +info->dwSize);
    EXPECT_EQ(3, +info->wPriority);
    EXPECT_EQ(2, +info->wFormat);
    EXPECT_EQ(1650000000000000LL, MicrosOf(&info->tdNextRetry));
    EXPECT_EQ(9u, +info->dwFailureReason);
    EXPECT_EQ(11u, +info->dwUserInfo1);
    EXPECT_EQ(22u, +info->dwUserInfo2);
    EXPECT_EQ(44u, +info->dwUserInfo4);
    EXPECT_EQ(55u, +info->dwUserInfo5);
    EXPECT_EQ(recips, +info->wNumRecip);
    for (int r = 0; r < recips; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, (WORD)r, &ri));
      EXPECT_EQ(6u, +ri.data.dwUserInfo);  // the whole word
      EXPECT_EQ(0u, +ri.data.dwErrorCode);
      EXPECT_EQ(7u, +ri.data.dwRecipType);
      EXPECT_EQ(3, +ri.data.wRetries);
      EXPECT_EQ(1600000000000000LL + r, MicrosOf(&ri.data.tdNextRetry));
    }
    DWORD st = 0;
    EXPECT_EQ(NOERROR, WQSGetDWORD(&m, "WQMsgStatus", &st));
    EXPECT_EQ(6u, st);
    EXPECT_FALSE(QDSItemIsPresent(m.hNote, "WQErrStr", 8));
    // Exactly one status item, and it is a summary item so searches see it.
    int count = 0;
    for (DWORD i = 0; i < QDSItemCount(m.hNote); i++) {
      char name[64];
      WORD nameLen = 0, flags = 0, type = 0;
      ASSERT_EQ(NOERROR, QDSItemInfoByIndex(m.hNote, i, name, sizeof(name),
                                            &nameLen, &flags, &type, nullptr,
                                            nullptr));
      if (std::string(name, nameLen) == "WQMsgStatus") {
        count++;
        EXPECT_EQ(TYPE_NUMBER, type);
        EXPECT_TRUE(flags & ITEM_SUMMARY);
      }
    }
    EXPECT_EQ(1, count);
    EXPECT_EQ(NOERROR, WQSCloseMsg(&m));
  }

  STATUS ReconvertDirect(NOTEID id) {
    msg_handle_t m;
    STATUS err = WQSOpenMsgByMsgID(&q, id, &m);
    if (err != NOERROR) return err;
    err = WQInbReconvertOneMsg(&m);
    if (err != NOERROR) {
      (void)WQSCloseMsg(&m);
      return err;
    }
    return WQSCloseMsgAndUpdate(&m);
  }

  DWORD CountStatus(DWORD status) {
    std::string f = "WQMsgStatus = " + std::to_string(status);
    msglist_handle_t l;
    WORD n = 0;
    EXPECT_EQ(NOERROR, WQSCreateMsgList(&q, 1000, WQS_SEARCH_FORMULA,
                                        f.c_str(), &l, &n));
    (void)WQSCloseMsgList(&l);
    return n;
  }

  static std::string* dir_;
  static std::string* templ_;
  std::string path;
  queue_handle_t q{};
};
std::string* ReconvertTest::dir_ = nullptr;
std::string* ReconvertTest::templ_ = nullptr;

TEST_F(ReconvertTest, ResetsMessageAndEveryRecipientKeepingTheRest) {
  NOTEID id = Seed(Spec{});
  ASSERT_EQ(NOERROR, ReconvertDirect(id));
  ExpectReconverted(id, 2);
}

TEST_F(ReconvertTest, SimpleMessageToo) {
  Spec s;
  s.type = WQS_MSG_SIMPLE;
  s.recips = 4;
  NOTEID id = Seed(s);
  ASSERT_EQ(NOERROR, ReconvertDirect(id));
  ExpectReconverted(id, 4);
}

TEST_F(ReconvertTest, MessageWithoutRecipients) {
  Spec s;
  s.recips = 0;
  NOTEID id = Seed(s);
  ASSERT_EQ(NOERROR, ReconvertDirect(id));
  ExpectReconverted(id, 0);
}

TEST_F(ReconvertTest, MessageWithoutErrorTextOrStatus) {
  Spec s;
  s.errStr = false;
  s.hasStatus = false;
  NOTEID id = Seed(s);
  ASSERT_EQ(NOERROR, ReconvertDirect(id));
  ExpectReconverted(id, 2);
}

TEST_F(ReconvertTest, AlreadyRequeuedMessageIsRewrittenTheSameWay) {
  Spec s;
  s.status = 6;
  NOTEID id = Seed(s);
  ASSERT_EQ(NOERROR, ReconvertDirect(id));
  ExpectReconverted(id, 2);
  // And the batch loop does not select it at all.
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
}

TEST_F(ReconvertTest, ChangesStayInTheHandleUntilTheUpdate) {
  NOTEID id = Seed(Spec{});
  msg_handle_t m;
  ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
  ASSERT_EQ(NOERROR, WQInbReconvertOneMsg(&m));
  ASSERT_EQ(NOERROR, WQSCloseMsg(&m));  // discarded
  ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
  DWORD st = 0;
  EXPECT_EQ(NOERROR, WQSGetDWORD(&m, "WQMsgStatus", &st));
  EXPECT_EQ(11u, st);
  user_msg_info_t* info;
  WQSGetMsgInfo(&m, &info);
  EXPECT_EQ(0, +info->wRetries);
  EXPECT_TRUE(QDSItemIsPresent(m.hNote, "WQErrStr", 8));
  EXPECT_EQ(NOERROR, WQSCloseMsg(&m));
}

TEST_F(ReconvertTest, AllMsgsDoesEveryFailedStatusAndNothingElse) {
  const DWORD kStatuses[] = {11, 9, 10, 7, 6, 5, 12, 8};
  std::vector<NOTEID> ids;
  for (int i = 0; i < 8; i++) {
    Spec s;
    s.status = kStatuses[i];
    ids.push_back(Seed(s, i));
  }
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  for (int i = 0; i < 4; i++) ExpectReconverted(ids[i], 2);
  EXPECT_EQ(5u, CountStatus(6));  // the four plus the one already there
  EXPECT_EQ(1u, CountStatus(5));
  EXPECT_EQ(1u, CountStatus(12));
  EXPECT_EQ(1u, CountStatus(8));
}

TEST_F(ReconvertTest, HundredFiftySelectedGoInTwoBatches) {
  for (int i = 0; i < 150; i++) {
    Spec s;
    s.status = (i % 2) ? 9 : 7;
    s.recips = 1;
    Seed(s, i);
  }
  DWORD before = OSMemTestTotalBlocks();
  // Lists hold at most 100: a batch of 100, one of 50, then an empty
  // search ends the loop.
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(150u, CountStatus(6));
  EXPECT_EQ(0u, CountStatus(7));
  EXPECT_EQ(0u, CountStatus(9));
  EXPECT_EQ(before, OSMemTestTotalBlocks());
  DWORD blocks = 0, bytes = 0;
  OSMemTestCount(WQS_TAG_MSGLIST, &blocks, &bytes);
  EXPECT_EQ(0u, blocks);
}

TEST_F(ReconvertTest, NoneSelectedIsOneSearchAndSuccess) {
  Spec s;
  s.status = 6;
  NOTEID id = Seed(s);
  NOTEHANDLE note;
  ASSERT_EQ(NOERROR, QDSNoteOpen(q.dbhandle, id, 0, &note));
  TIMEDATE mod1;
  QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod1);
  QDSNoteClose(note);
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  ASSERT_EQ(NOERROR, QDSNoteOpen(q.dbhandle, id, 0, &note));
  TIMEDATE mod2;
  QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod2);
  QDSNoteClose(note);
  EXPECT_EQ(0, TimeDateCompare(&mod1, &mod2));
}

TEST_F(ReconvertTest, FailureStopsTheLoopAndReleasesTheList) {
  for (int i = 0; i < 5; i++) Seed(Spec{}, i);
  // Fail the first message open's first allocation after the list's own.
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 2);
  STATUS err = WQInbReconvertAllMsgs(&q);
  bool fired = OSMemTestFaultFired();
  OSMemTestDisarm();
  EXPECT_TRUE(fired);
  EXPECT_NE(NOERROR, err);
  DWORD blocks = 0, bytes = 0;
  OSMemTestCount(WQS_TAG_MSGLIST, &blocks, &bytes);
  EXPECT_EQ(0u, blocks);
  // A second run finishes the job.
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(5u, CountStatus(6));
}

TEST_F(ReconvertTest, GlobalHouseKeepingSucceeds) {
  EXPECT_EQ(NOERROR, WQGlobalHouseKeeping());
}

}  // namespace
