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

namespace fs = std::filesystem;

namespace {

int64_t MicrosOf(const void* packedTime) {
  TIMEDATE t;
  std::memcpy(&t, packedTime, sizeof(t));
  return TimeToMicros(&t);
}

constexpr DWORD kNone = 0xFFFFFFFF;  // no status item

class ReconvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "wqhk-rc-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    dir_ = tmpl;
    std::string path = dir_ + "/q.qds";
    ASSERT_EQ(NOERROR, QDSDbCreate(path.c_str(), WQS_QUEUE_DB_CLASS, FALSE));
    ASSERT_EQ(NOERROR, QDSDbOpen(path.c_str(), &q.dbhandle));
  }
  void TearDown() override {
    QDSDbClose(q.dbhandle);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  NOTEID Seed(DWORD status, bool errStr, int recips) {
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    for (int r = 0; r < recips; r++) {
      recip_info_t ri;
      std::memset(&ri, 0, sizeof(ri));
      ri.pName = const_cast<char*>("r@example.org");
      ri.wNameLen = 13;
      ri.pNextHop = const_cast<char*>("mx.example.net");
      ri.wNextHopLen = 14;
      ri.pPOName = const_cast<char*>("PO");
      ri.wPONameLen = 2;
      TIMEDATE retry;  // the packed field may be misaligned
      TimeFromMicros(1600000000000000LL + r, &retry);
      ri.data.tdNextRetry = retry;
      ri.data.dwUserInfo = 0x20011;
      ri.data.wRetries = 3;
      EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &ri));
    }
    if (status != kNone) {
      EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", status));
    }
    if (errStr) {
      EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", "550 no", 6));
    }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    return m.info.user.dwQueueMsgID;
  }

  void ExpectReconverted(NOTEID id, int recips) {
    msg_handle_t m;
    ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
    for (int r = 0; r < recips; r++) {
      recip_info_t ri;
      ASSERT_EQ(NOERROR, WQSGetRecipient(&m, WORD(r), &ri));
      EXPECT_EQ(6u, +ri.data.dwUserInfo);  // the whole word
      EXPECT_EQ(3, +ri.data.wRetries);
      EXPECT_EQ(1600000000000000LL + r, MicrosOf(&ri.data.tdNextRetry));
    }
    DWORD st = 0;
    EXPECT_EQ(NOERROR, WQSGetDWORD(&m, "WQMsgStatus", &st));
    EXPECT_EQ(6u, st);
    EXPECT_FALSE(QDSItemIsPresent(m.hNote, "WQErrStr", 8));
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
    ExpectReconverted(id, recips);
  }
}

TEST_F(ReconvertTest, AllMsgsSetsEverySelectedToSix) {
  const DWORD kFailed[] = {11, 9, 10, 7};
  for (int i = 0; i < 150; i++) Seed(kFailed[i % 4], true, 1);
  ASSERT_EQ(NOERROR, WQInbReconvertAllMsgs(&q));
  EXPECT_EQ(150u, CountStatus(6));
}

TEST_F(ReconvertTest, NoneSelectedChangesNothing) {
  NOTEID id = Seed(6, true, 2);
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
}

}  // namespace
