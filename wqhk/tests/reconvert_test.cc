// Inbound reconvert of one message and of a whole queue.
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

constexpr DWORD kNone = 0xFFFFFFFF;  // no status item

class ReconvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/wqhk-rc-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    dir_ = tmpl;
    ASSERT_EQ(NOERROR, QDSDbCreate((dir_ + "/q.qds").c_str(), WQS_QUEUE_DB_CLASS, FALSE));
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &q.dbhandle));
  }
  void TearDown() override {
    QDSDbClose(q.dbhandle);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  NOTEID Seed(DWORD status, bool errStr, int recips) {
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    for (int r = 0; r < recips; r++) {
      recip_info_t ri{const_cast<char*>("r@example.org"), 13, const_cast<char*>("mx.example.net"),
                      14, const_cast<char*>("PO"), 2, {}};
      TIMEDATE retry;  // the packed field may be misaligned
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
      ri.data.dwUserInfo = 0x20011;
      ri.data.wRetries = 3;
      EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &ri));
    }
    if (status != kNone) { EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", status)); }
    if (errStr) { EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", "550 no", 6)); }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    return m.info.user.dwQueueMsgID;
  }

  int64_t Modified(NOTEID id) {
    NOTEHANDLE note;
    TIMEDATE mod{};
    EXPECT_EQ(NOERROR, QDSNoteOpen(q.dbhandle, id, 0, &note));
    QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod);
    QDSNoteClose(note);
    return TimeToMicros(&mod);
  }

  std::string dir_;
  queue_handle_t q{};
};

TEST_F(ReconvertTest, OneMessageInItsHandle) {
  for (int recips : {0, 2}) {  // none; then no status, no error text
    NOTEID id = recips == 0 ? Seed(9, true, 0) : Seed(kNone, false, 2);
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    ASSERT_EQ(NOERROR, WQInbReconvertOneMsg(&m));
    ASSERT_EQ(NOERROR, WQSCloseMsgAndUpdate(&m));
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    for (int r = 0; r < recips; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, WORD(r), &ri));
      EXPECT_EQ(6u, +ri.data.dwUserInfo);  // the whole word
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
}

// Every failed status is selected, across batches; a queued message is not
// saved again.
TEST_F(ReconvertTest, AllMsgsSetsEverySelectedToSix) {
  NOTEID queued = Seed(6, true, 2);
  const int64_t before = Modified(queued);
  const DWORD kFailed[] = {11, 9, 10, 7};
  for (int i = 0; i < 150; i++) Seed(kFailed[i % 4], true, 1);
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  msglist_handle_t l;
  WORD n = 0;
  ASSERT_EQ(NOERROR, WQSCreateMsgList(&q, 1000, WQS_SEARCH_FORMULA, "WQMsgStatus = 6", &l, &n));
  (void)WQSCloseMsgList(&l);
  EXPECT_EQ(151u, n);
  EXPECT_EQ(before, Modified(queued));
}

}  // namespace
