// Inbound reconvert of a whole queue: every failed message selected, across
// batches, reset in place; a queued message is not saved again.
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
    for (int r = 0; r < (i % 3 ? 2 : 0); r++) {
      recip_info_t ri{const_cast<char*>("r@example.org"), 13, const_cast<char*>("mx.example.net"),
                      14, const_cast<char*>("PO"), 2, {}};
      TIMEDATE retry;  // the packed field may be misaligned
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
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
    for (WORD r = 0; r < m.info.user.wNumRecip; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, r, &ri));
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
  QDSDbClose(q.dbhandle);
  std::filesystem::remove_all(dir);
}

}  // namespace
