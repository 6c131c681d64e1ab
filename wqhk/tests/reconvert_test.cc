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

struct Shape {
  WORD type = WQS_MSG_EXTENDED;
  DWORD status = 11;  // kNone: no status item
  bool errStr = true;
  int recips = 2;
};
constexpr DWORD kNone = 0xFFFFFFFF;

class ReconvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string tmpl = (fs::temp_directory_path() / "wqhk-rc-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    dir_ = tmpl;
    static char a0[] = "wqhk_tests";
    static char* argv[] = {a0, nullptr};
    (void)TavloInitExtended(1, argv);
    ASSERT_EQ(NOERROR, QDSDbCreate((dir_ + "/t.qdt").c_str(),
                                   WQS_QUEUE_DB_CLASS, FALSE));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void SetUp() override {
    queue_descriptor_t qd;
    std::memset(&qd, 0, sizeof(qd));
    std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s/%s.qds",
                  dir_.c_str(),
                  testing::UnitTest::GetInstance()->current_test_info()->name());
    std::snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s/t.qdt",
                  dir_.c_str());
    ASSERT_EQ(NOERROR, WQSCreateQueue(&qd));
    ASSERT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
  }
  void TearDown() override {
    OSMemTestDisarm();
    (void)WQSCloseQueueForWrite(&q);
  }

  NOTEID Seed(const Shape& s, int serial = 0) {
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, s.type, &m));
    for (int r = 0; r < s.recips; r++) {
      char name[48];
      std::snprintf(name, sizeof(name), "r%d.%d@example.org", serial, r);
      recip_info_t ri;
      std::memset(&ri, 0, sizeof(ri));
      ri.pName = name;
      ri.wNameLen = WORD(std::strlen(name));
      ri.pNextHop = const_cast<char*>("mx.example.net");
      ri.wNextHopLen = 14;
      ri.pPOName = const_cast<char*>("PO");
      ri.wPONameLen = 2;
      ri.data.dwRecipType = 7;
      ri.data.dwErrorCode = 0x10550;
      TIMEDATE retry;  // the packed field may be misaligned
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
      ri.data.dwUserInfo = 0x20011;
      ri.data.wRetries = 3;
      EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &ri));
    }
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    TIMEDATE next;
    TimeFromMicros(1650000000000000LL, &next);
    *info = user_msg_info_t{777, info->dwQueueMsgID, info->wNumRecip, 3, 2, 0,
                            next, 9, 11, 22, 0x70550, 44, 55};
    if (s.status != kNone) {
      EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", s.status));
    }
    if (s.errStr) {
      EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", "550 no", 6));
    }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    WQSGetMsgInfo(&m, &info);
    return info->dwQueueMsgID;
  }

  // A stored message is reconverted and everything else of it kept.
  void ExpectReconverted(NOTEID id, int recips) {
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    TIMEDATE next;
    TimeFromMicros(1650000000000000LL, &next);
    user_msg_info_t want{777, id, WORD(recips), 3, 2, 1, next, 9, 11, 22, 0,
                         44, 55};
    EXPECT_EQ(0, std::memcmp(&want, info, sizeof want)) << id;
    for (int r = 0; r < recips; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, WORD(r), &ri));
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
    // Exactly one status item, a summary number so searches see it.
    int count = 0;
    for (DWORD i = 0; i < QDSItemCount(m.hNote); i++) {
      char name[64];
      WORD nameLen = 0, flags = 0, type = 0;
      ASSERT_EQ(NOERROR, QDSItemInfoByIndex(m.hNote, i, name, sizeof(name),
                                            &nameLen, &flags, &type, nullptr,
                                            nullptr));
      if (std::string(name, nameLen) != "WQMsgStatus") continue;
      count++;
      EXPECT_EQ(TYPE_NUMBER, type);
      EXPECT_TRUE(flags & ITEM_SUMMARY);
    }
    EXPECT_EQ(1, count);
    EXPECT_EQ(NOERROR, WQSCloseMsg(&m));
  }

  DWORD CountStatus(DWORD status) {
    std::string f = "WQMsgStatus = " + std::to_string(status);
    msglist_handle_t l;
    WORD n = 0;
    STATUS err =
        WQSCreateMsgList(&q, 1000, WQS_SEARCH_FORMULA, f.c_str(), &l, &n);
    if (err == ERR_WQS_NO_MESSAGES) return 0;
    EXPECT_EQ(NOERROR, err);
    (void)WQSCloseMsgList(&l);
    return n;
  }

  static DWORD ListBlocks() {
    DWORD blocks = 0, bytes = 0;
    OSMemTestCount(WQS_TAG_MSGLIST, &blocks, &bytes);
    return blocks;
  }

  static inline std::string dir_;
  queue_handle_t q{};
};

TEST_F(ReconvertTest, OneMessageInItsHandle) {
  const Shape shapes[] = {
      {},
      {WQS_MSG_SIMPLE, 11, true, 4},
      {WQS_MSG_EXTENDED, 9, true, 0},   // no recipients
      {WQS_MSG_EXTENDED, kNone, false, 2},  // no status, no error text
      {WQS_MSG_EXTENDED, 6, true, 2},   // already requeued: rewritten alike
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.status);
    NOTEID id = Seed(s);
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    ASSERT_EQ(NOERROR, WQInbReconvertOneMsg(&m));
    ASSERT_EQ(NOERROR, WQSCloseMsgAndUpdate(&m));
    ExpectReconverted(id, s.recips);
  }
  // Closing without the update stores nothing.
  NOTEID id = Seed(Shape{});
  msg_handle_t m;
  ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
  ASSERT_EQ(NOERROR, WQInbReconvertOneMsg(&m));
  ASSERT_EQ(NOERROR, WQSCloseMsg(&m));
  EXPECT_EQ(5u, CountStatus(6)) << "only the five above";
  EXPECT_EQ(1u, CountStatus(11));
}

// 150 selected go in two batches (lists hold at most 100) and the loop
// ends on an empty search; other statuses are left alone.
TEST_F(ReconvertTest, AllMsgsDoesEveryFailedStatusAndNothingElse) {
  const DWORD kFailed[] = {11, 9, 10, 7};
  std::vector<NOTEID> ids;
  for (int i = 0; i < 150; i++) {
    ids.push_back(Seed({WQS_MSG_EXTENDED, kFailed[i % 4], true, 1}, i));
  }
  for (DWORD other : {5u, 12u, 8u}) Seed({WQS_MSG_EXTENDED, other, true, 1});
  DWORD before = OSMemTestTotalBlocks();
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(before, OSMemTestTotalBlocks());
  EXPECT_EQ(0u, ListBlocks());
  EXPECT_EQ(150u, CountStatus(6));
  for (DWORD s : {5u, 12u, 8u}) EXPECT_EQ(1u, CountStatus(s)) << s;
  for (int i = 0; i < 4; i++) ExpectReconverted(ids[i], 1);
}

TEST_F(ReconvertTest, NoneSelectedChangesNothing) {
  NOTEID id = Seed({WQS_MSG_EXTENDED, 6, true, 2});
  auto modified = [&] {
    NOTEHANDLE note;
    TIMEDATE mod{};
    EXPECT_EQ(NOERROR, QDSNoteOpen(q.dbhandle, id, 0, &note));
    QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod);
    QDSNoteClose(note);
    return TimeToMicros(&mod);
  };
  int64_t before = modified();
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(before, modified());
  EXPECT_EQ(0u, ListBlocks());
}

TEST_F(ReconvertTest, FailureStopsTheLoopAndReleasesTheList) {
  for (int i = 0; i < 5; i++) Seed(Shape{}, i);
  // The first allocation after the list's own: the first message's open.
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 2);
  STATUS err = WQInbReconvertAllMsgs(&q);
  EXPECT_TRUE(OSMemTestFaultFired());
  OSMemTestDisarm();
  EXPECT_NE(NOERROR, err);
  EXPECT_EQ(0u, ListBlocks());
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));  // a rerun finishes
  EXPECT_EQ(5u, CountStatus(6));
}

}  // namespace
