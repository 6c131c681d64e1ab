// Inbound reconvert of a whole queue: every failed message selected, across
// batches, reset in place (retries 1, error code 0, every recipient state 6
// with error 0, all else kept); a queued message is not saved again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk.h"

namespace {

// Message info of a failed message: every field distinct and non-zero.
user_msg_info_t Failed() {
  user_msg_info_t u{};
  u.wPriority = 2;
  u.wFormat = 3;
  u.wRetries = 4;
  TIMEDATE retry;
  TimeFromMicros(1500000000000000LL, &retry);
  u.tdNextRetry = retry;
  u.dwFailureReason = 5;
  u.dwUserInfo1 = 0x11111111;
  u.dwUserInfo2 = 0x22222222;
  u.dwUserInfo3 = 550;  // the message's error code
  u.dwUserInfo4 = 0x44444444;
  u.dwUserInfo5 = 0x55555555;
  return u;
}

TEST(ReconvertTest, AllMsgsSetsEverySelectedToSix) {
  std::string dir = "/tmp/wqhk-rc-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir.data()));
  queue_handle_t q{};
  ASSERT_EQ(NOERROR, QDSDbCreate((dir + "/q.qds").c_str(), WQS_QUEUE_DB_CLASS, FALSE));
  ASSERT_EQ(NOERROR, QDSDbOpen((dir + "/q.qds").c_str(), &q.dbhandle));
  // Status 6 first, then failed ones, every third without recipients or text.
  const DWORD kStatus[] = {11, 9, 10, 7};
  std::vector<NOTEID> ids;
  for (int i = -1; i < 150; i++) {
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    *info = Failed();
    for (int r = 0; r < (i % 3 ? 2 : 0); r++) {
      recip_info_t ri{const_cast<char*>("r@example.org"), 13, const_cast<char*>("mx.example.net"),
                      14, const_cast<char*>("PO"), 2, {}};
      TIMEDATE retry;  // the packed field may be misaligned
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
      ri.data.dwRecipType = 2;
      ri.data.dwErrorCode = 0x2C4;
      ri.data.dwUserInfo = 0x20011;
      ri.data.wRetries = 3;
      ASSERT_EQ(NOERROR, WQSAppendRecipient(&m, &ri));
    }
    ASSERT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", i < 0 ? 6 : kStatus[i % 4]));
    if (i % 3) { ASSERT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", "550 no", 6)); }
    ASSERT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    ids.push_back(NOTEID{m.info.user.dwQueueMsgID});  // packed: copy, never bind
  }
  auto modified = [&](NOTEID id) {
    NOTEHANDLE note;
    TIMEDATE mod{};
    EXPECT_EQ(NOERROR, QDSNoteOpen(q.dbhandle, id, 0, &note));
    QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod);
    QDSNoteClose(note);
    return TimeToMicros(&mod);
  };
  const int64_t queuedModified = modified(ids[0]);
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(queuedModified, modified(ids[0]));
  for (size_t k = 1; k < ids.size(); k++) {
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, ids[k], &m));
    user_msg_info_t want = Failed(), got = m.info.user;
    want.wRetries = 1;
    want.dwUserInfo3 = 0;
    want.dwQueueMsgID = ids[k];
    want.wNumRecip = got.wNumRecip;
    EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want)) << k;
    for (WORD r = 0; r < m.info.user.wNumRecip; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, r, &ri));
      EXPECT_EQ(6u, +ri.data.dwUserInfo);  // the whole word
      EXPECT_EQ(0u, +ri.data.dwErrorCode);
      EXPECT_EQ(2u, +ri.data.dwRecipType);
      EXPECT_EQ(3, +ri.data.wRetries);
      TIMEDATE t;
      std::memcpy(&t, &ri.data.tdNextRetry, sizeof t);
      EXPECT_EQ(1600000000000000LL + r, TimeToMicros(&t));
    }
    DWORD st = 0;
    EXPECT_EQ(NOERROR, WQSGetDWORD(&m, "WQMsgStatus", &st));
    EXPECT_EQ(6u, st);
    EXPECT_FALSE(QDSItemIsPresent(m.hNote, "WQErrStr", 8));
    EXPECT_EQ(NOERROR, WQSCloseMsg(&m));
  }
  EXPECT_EQ(NOERROR, WQGlobalHouseKeeping());  // nothing to do between passes
  QDSDbClose(q.dbhandle);
  std::filesystem::remove_all(dir);
}

}  // namespace
