// Housekeeping state views of messages and recipients.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tavlo/testing.h"
#include "wqhk/wqhk.h"

namespace {

constexpr char kName[] = "user@inbound.example", kPO[] = "PostOffice";

recip_data_t Data(int i) {
  recip_data_t d;
  memset(&d, 0, sizeof d);
  d.dwErrorCode = 0x7000 + i;
  d.dwUserInfo = 3;
  d.wRetries = (WORD)(5 + i);
  return d;
}

class ViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/wqhkviews-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    ASSERT_EQ(QDSDbCreate((dir_ + "/v.qds").c_str(), WQS_QUEUE_DB_CLASS, FALSE), NOERROR);
    ASSERT_EQ(QDSDbOpen((dir_ + "/v.qds").c_str(), &q_.dbhandle), NOERROR);
  }
  void TearDown() override {
    if (open_) { EXPECT_EQ(WQSCloseMsg(&h_.msg), NOERROR); }
    QDSDbClose(q_.dbhandle);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Saves a message of `n` recipients and opens it into h_.
  void SaveAndOpen(WORD type, int n, const user_msg_info_t& user = {}, DWORD status = 0,
                   const std::string& err = "") {
    msg_handle_t m;
    EXPECT_EQ(WQSCreateMsg(&q_, type, &m), NOERROR);
    WQSSetMsgInfo(&m, &user);
    for (int i = 0; i < n; i++) {
      recip_info_t ri{const_cast<char*>(kName), sizeof kName - 1, const_cast<char*>("mx"), 2,
                      const_cast<char*>(kPO), sizeof kPO - 1, Data(i)};
      EXPECT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
    }
    if (status) { EXPECT_EQ(WQSAddDWORD(&m, TRUE, "WQMsgStatus", status), NOERROR); }
    if (!err.empty()) {
      EXPECT_EQ(WQSAddDataBlock(&m, TRUE, "WQErrStr", err.data(), (WORD)err.size()), NOERROR);
    }
    EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
    id_ = m.info.user.dwQueueMsgID;
    Reopen();
  }
  // Stores h_ by an update close and opens it again.
  void Reopen() {
    if (open_) { EXPECT_EQ(WQSCloseMsgAndUpdate(&h_.msg), NOERROR); }
    memset(&h_, 0, sizeof h_);
    open_ = WQSOpenMsgByMsgID(&q_, id_, &h_.msg) == NOERROR;
    ASSERT_TRUE(open_);
  }

  std::string dir_;
  queue_handle_t q_{};
  NOTEID id_ = 0;
  wq_msg_handle_t h_{};
  bool open_ = false;
};

TEST_F(ViewsTest, MessageStateFlagsLowSixteenBitsAndErrorText) {
  user_msg_info_t u{};
  u.dwUserInfo2 = 3;  // both user flags
  SaveAndOpen(WQS_MSG_EXTENDED, 1, u, 6);
  msg_state_block_t s;
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 6);
  EXPECT_EQ(s.bDelConfirm, 1);
  EXPECT_EQ(s.bTrace, 1);

  u = {};
  u.dwUserInfo3 = 0x12345678;
  u.dwUserInfo4 = 0xABCD0001;
  SaveAndOpen(WQS_MSG_EXTENDED, 1, u, 0x00010009);
  ASSERT_EQ(WQOutbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 9);
  EXPECT_EQ(s.msgErr, 0x5678);
  EXPECT_EQ(s.wOriginator, 1);

  std::string text(600, 'e');
  for (size_t i = 0; i < text.size(); i++) text[i] = (char)('a' + i % 26);
  SaveAndOpen(WQS_MSG_SIMPLE, 1, {}, 0, text);
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(std::string(s.szError), text.substr(0, 511));
  // Absent status and error text read empty.
  SaveAndOpen(WQS_MSG_SIMPLE, 1);
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 0);
  EXPECT_STREQ(s.szError, "");
}

TEST_F(ViewsTest, InboundReportsNameOutboundReportsPostOffice) {
  SaveAndOpen(WQS_MSG_EXTENDED, 1);
  recip_state_block_t in, out;
  ASSERT_EQ(WInbHKGetRecipientInfo(&h_, 0, &in), NOERROR);
  ASSERT_EQ(WOutbHKGetRecipientInfo(&h_, 0, &out), NOERROR);
  EXPECT_EQ(std::string(in.pName, in.wNameLen), kName);
  EXPECT_EQ(std::string(out.pName, out.wNameLen), kPO);
  // A simple message has no post office: an empty, readable name.
  SaveAndOpen(WQS_MSG_SIMPLE, 1);
  memset(&out, 0x5A, sizeof out);
  ASSERT_EQ(WOutbHKGetRecipientInfo(&h_, 0, &out), NOERROR);
  ASSERT_NE(out.pName, nullptr);
  EXPECT_EQ(out.wNameLen, 0);
  EXPECT_EQ(out.pName[0], 0);
}

// Both views set the whole state word of one recipient; an index past the
// state table is refused and changes nothing.
TEST_F(ViewsTest, SetRecipientStateKeepsOtherFieldsAndIsStored) {
  SaveAndOpen(WQS_MSG_EXTENDED, 4);
  EXPECT_EQ(WOutbHKSetRecipientState(&h_, 2, 11), NOERROR);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 0, 6), NOERROR);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 4, 9), ERR_WQS_RECIP_RANGE);
  Reopen();
  for (WORD i = 0; i < 4; i++) {
    recip_data_t* d = nullptr;
    WQSGetRecipientData(&h_.msg, i, &d);
    recip_data_t want = Data(i);
    if (i == 2) want.dwUserInfo = 11;
    if (i == 0) want.dwUserInfo = 6;
    EXPECT_EQ(memcmp(d, &want, sizeof want), 0) << i;
  }
}

TEST_F(ViewsTest, NDRHeaderAcrossPieceBoundaryReadsBack) {
  SaveAndOpen(WQS_MSG_EXTENDED, 1);
  ASSERT_EQ(WQSCreateDataStreamBlock(&h_.msg, "PreHdr", &h_.hBodyPreHeaderStream), NOERROR);
  std::vector<char> a(40000, 'a'), b(30000, 'b'), back(80000);
  ASSERT_EQ(WQOutbHKAppendNDRHeader(&h_, a.data(), 40000), NOERROR);
  ASSERT_EQ(WQOutbHKAppendNDRHeader(&h_, b.data(), 30000), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&h_.msg, &h_.hBodyPreHeaderStream, FALSE, nullptr, 0),
            NOERROR);
  Reopen();
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&h_.msg, "PreHdr", &r), NOERROR);
  WORD flag = 0;
  DWORD got = 0;
  ASSERT_EQ(WQSGetDataStreamBlock(&h_.msg, &r, &flag, back.data(), 80000, &got), NOERROR);
  EXPECT_EQ(got, 70000u);
  EXPECT_EQ(memcmp(back.data(), a.data(), 40000), 0);
  EXPECT_EQ(memcmp(back.data() + 40000, b.data(), 30000), 0);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

}  // namespace
