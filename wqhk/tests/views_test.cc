// Housekeeping state views: the message state from the status item, the
// message info words and the error text; recipient info in its inbound and
// outbound forms; the recipient-state change and its storing; the inbound
// next hop; and the non-delivery header appended to the pre-header stream.
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

struct ViewRecip {
  std::string name, hop, po;
  recip_data_t data;
};

ViewRecip Recip(int i) {
  ViewRecip r;
  r.name = "user" + std::to_string(i) + "@inbound.example";
  r.hop = "mx" + std::to_string(i) + ".example";
  r.po = "PostOffice" + std::to_string(i);
  memset(&r.data, 0, sizeof r.data);
  r.data.dwRecipType = 0x10 + i;
  r.data.dwErrorCode = 0x7000 + i;
  r.data.tdNextRetry.Innards[0] = 0x1000 + i;
  r.data.tdNextRetry.Innards[1] = 0x2000 + i;
  r.data.dwUserInfo = 3;
  r.data.wRetries = (WORD)(5 + i);
  return r;
}

class ViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Memory-backed when available: syncs on a disk would dominate.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/wqhkviews-XXXXXX";
    std::vector<char> tmpl(pattern.begin(), pattern.end());
    tmpl.push_back(0);
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl.data();
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    std::string path = dir_ + "/views.qds";
    ASSERT_EQ(QDSDbCreate(path.c_str(), WQS_QUEUE_DB_CLASS, FALSE), NOERROR);
    ASSERT_EQ(QDSDbOpen(path.c_str(), &q_.dbhandle), NOERROR);
    baseline_ = OSMemTestTotalBlocks();
    memset(&h_, 0, sizeof h_);
  }
  void TearDown() override {
    if (open_) {
      EXPECT_EQ(WQSCloseMsg(&h_.msg), NOERROR);
    }
    EXPECT_EQ(OSMemTestTotalBlocks(), baseline_);
    QDSDbClose(q_.dbhandle);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Saves a message of `n` recipients with `user` info, status `status`
  // (none when 0) and error text `err` (none when empty), then opens it.
  std::vector<ViewRecip> SaveAndOpen(WORD type, int n,
                                     const user_msg_info_t& user = {},
                                     DWORD status = 0,
                                     const std::string& err = "") {
    std::vector<ViewRecip> rs;
    msg_handle_t m;
    EXPECT_EQ(WQSCreateMsg(&q_, type, &m), NOERROR);
    WQSSetMsgInfo(&m, &user);
    for (int i = 0; i < n; i++) {
      rs.push_back(Recip(i));
      const ViewRecip& r = rs.back();
      recip_info_t ri{};
      ri.pName = const_cast<char*>(r.name.data());
      ri.wNameLen = (WORD)r.name.size();
      ri.pNextHop = const_cast<char*>(r.hop.data());
      ri.wNextHopLen = (WORD)r.hop.size();
      ri.pPOName = const_cast<char*>(r.po.data());
      ri.wPONameLen = (WORD)r.po.size();
      ri.data = r.data;
      EXPECT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
    }
    if (status != 0) {
      EXPECT_EQ(WQSAddDWORD(&m, TRUE, "WQMsgStatus", status), NOERROR);
    }
    if (!err.empty()) {
      EXPECT_EQ(
          WQSAddDataBlock(&m, TRUE, "WQErrStr", err.data(), (WORD)err.size()),
          NOERROR);
    }
    EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
    id_ = m.info.user.dwQueueMsgID;
    Reopen();
    return rs;
  }
  void Reopen() {
    if (open_) {
      EXPECT_EQ(WQSCloseMsgAndUpdate(&h_.msg), NOERROR);
    }
    memset(&h_, 0, sizeof h_);
    open_ = WQSOpenMsgByMsgID(&q_, id_, &h_.msg) == NOERROR;
    ASSERT_TRUE(open_);
  }

  std::string dir_;
  queue_handle_t q_{};
  DWORD baseline_ = 0;
  NOTEID id_ = 0;
  wq_msg_handle_t h_;
  bool open_ = false;
};

TEST_F(ViewsTest, MessageStateFromStatusInfoAndErrorText) {
  user_msg_info_t u{};
  u.dwUserInfo1 = 0xCAFEF00D;
  u.dwUserInfo2 = 3;  // both user flags
  u.dwUserInfo3 = 42;
  u.dwUserInfo4 = 7;
  SaveAndOpen(WQS_MSG_EXTENDED, 1, u, 6, "550 mailbox unavailable");
  dynarray_t fakeIndex{};
  h_.pdaRecipIndex = &fakeIndex;
  h_.wFailedRecipients = 4;
  for (auto get : {WQInbHKGetMessageState, WQOutbHKGetMessageState}) {
    msg_state_block_t s;
    memset(&s, 0x5A, sizeof s);
    ASSERT_EQ(get(&h_, &s), NOERROR);
    EXPECT_EQ(s.wState, 6);
    EXPECT_EQ(s.bDelConfirm, 1);
    EXPECT_EQ(s.bTrace, 1);
    EXPECT_EQ(s.nidMsg, 0xCAFEF00Du);
    EXPECT_EQ(s.msgErr, 42);
    EXPECT_EQ(s.wOriginator, 7);
    EXPECT_STREQ(s.szError, "550 mailbox unavailable");
    EXPECT_EQ(s.wNumFailRecip, 4);
    EXPECT_EQ(s.daRecipIndex, &fakeIndex);  // the same array, not a copy
  }
}

TEST_F(ViewsTest, OnlyLowSixteenBitsAreReported) {
  user_msg_info_t u{};
  u.dwUserInfo2 = 0xFFFF0002;  // bTrace only
  u.dwUserInfo3 = 0x12345678;
  u.dwUserInfo4 = 0xABCD0001;
  SaveAndOpen(WQS_MSG_EXTENDED, 1, u, 0x00010009);
  msg_state_block_t s;
  ASSERT_EQ(WQOutbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 9);
  EXPECT_EQ(s.msgErr, 0x5678);
  EXPECT_EQ(s.wOriginator, 1);
  EXPECT_EQ(s.bDelConfirm, 0);
  EXPECT_EQ(s.bTrace, 1);
  recip_data_t* d = nullptr;
  WQSGetRecipientData(&h_.msg, 0, &d);
  ASSERT_NE(d, nullptr);
  d->dwUserInfo = 0x0003000B;
  d->dwErrorCode = 0xFFFF1234;
  recip_state_block_t r;
  ASSERT_EQ(WInbHKGetRecipientInfo(&h_, 0, &r), NOERROR);
  EXPECT_EQ(r.wState, 11);
  EXPECT_EQ(r.err, 0x1234);
}

TEST_F(ViewsTest, LongErrorTextIsCutAndAbsentItemsReadEmpty) {
  std::string text(600, 'e');
  for (size_t i = 0; i < text.size(); i++) text[i] = (char)('a' + i % 26);
  SaveAndOpen(WQS_MSG_SIMPLE, 1, {}, 0, text);
  msg_state_block_t s;
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(std::string(s.szError), text.substr(0, 511));
  EXPECT_EQ(s.wState, 0);  // no status item

  ASSERT_EQ(WQSCloseMsg(&h_.msg), NOERROR);
  open_ = false;
  SaveAndOpen(WQS_MSG_SIMPLE, 1);
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 0);
  EXPECT_STREQ(s.szError, "");
}

TEST_F(ViewsTest, InboundReportsNameOutboundReportsPostOffice) {
  std::vector<ViewRecip> rs = SaveAndOpen(WQS_MSG_EXTENDED, 2);
  for (WORD i = 0; i < 2; i++) {
    recip_state_block_t in, out;
    ASSERT_EQ(WInbHKGetRecipientInfo(&h_, i, &in), NOERROR);
    ASSERT_EQ(WOutbHKGetRecipientInfo(&h_, i, &out), NOERROR);
    EXPECT_EQ(std::string(in.pName, in.wNameLen), rs[i].name);
    EXPECT_EQ(std::string(out.pName, out.wNameLen), rs[i].po);
    EXPECT_EQ(in.wState, 3);
    EXPECT_EQ(out.wState, 3);
    EXPECT_EQ(in.err, 0x7000 + i);
    EXPECT_EQ(out.err, 0x7000 + i);
  }
  // A simple message has no post office: an empty, readable name.
  ASSERT_EQ(WQSCloseMsg(&h_.msg), NOERROR);
  open_ = false;
  rs = SaveAndOpen(WQS_MSG_SIMPLE, 1);
  recip_state_block_t out, in;
  memset(&out, 0x5A, sizeof out);
  ASSERT_EQ(WOutbHKGetRecipientInfo(&h_, 0, &out), NOERROR);
  ASSERT_NE(out.pName, nullptr);
  EXPECT_EQ(out.wNameLen, 0);
  EXPECT_EQ(out.pName[0], 0);
  EXPECT_EQ(out.err, 0x7000);
  ASSERT_EQ(WInbHKGetRecipientInfo(&h_, 0, &in), NOERROR);
  EXPECT_EQ(std::string(in.pName, in.wNameLen), rs[0].name);
}

TEST_F(ViewsTest, SetRecipientStateKeepsOtherFieldsAndIsStored) {
  std::vector<ViewRecip> rs = SaveAndOpen(WQS_MSG_EXTENDED, 4);
  recip_data_t* d = nullptr;
  WQSGetRecipientData(&h_.msg, 2, &d);
  ASSERT_NE(d, nullptr);
  d->dwUserInfo = 0xFFFF0003;  // high bits go with the change
  h_.msg.bRecipDataDirty = FALSE;
  EXPECT_EQ(WOutbHKSetRecipientState(&h_, 2, 11), NOERROR);
  EXPECT_EQ(h_.msg.bRecipDataDirty, TRUE);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 1, 9), NOERROR);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 4, 9), ERR_WQS_RECIP_RANGE);
  Reopen();  // stored by the update close
  for (WORD i = 0; i < 4; i++) {
    WQSGetRecipientData(&h_.msg, i, &d);
    recip_data_t want = rs[i].data;
    if (i == 2) want.dwUserInfo = 11;
    if (i == 1) want.dwUserInfo = 9;
    EXPECT_EQ(memcmp(d, &want, sizeof want), 0) << i;
  }
}

TEST_F(ViewsTest, InboundNextHop) {
  SaveAndOpen(WQS_MSG_SIMPLE, 1);
  ASSERT_EQ(WQSAddDataBlock(&h_.msg, FALSE, "WQIBNHE", "relay.example", 13),
            NOERROR);
  char nhe[256];
  WORD len = 0;
  ASSERT_EQ(WQInbHKGetNHE(&h_, nhe, &len), NOERROR);
  EXPECT_EQ(std::string(nhe, len), "relay.example");
}

TEST_F(ViewsTest, NDRHeaderAcrossPieceBoundaryReadsBack) {
  SaveAndOpen(WQS_MSG_EXTENDED, 1);
  ASSERT_EQ(
      WQSCreateDataStreamBlock(&h_.msg, "PreHdr", &h_.hBodyPreHeaderStream),
      NOERROR);
  std::vector<char> a(40000), b(30000);
  for (size_t i = 0; i < a.size(); i++) a[i] = (char)(i * 7);
  for (size_t i = 0; i < b.size(); i++) b[i] = (char)(i * 13 + 1);
  ASSERT_EQ(WQOutbHKAppendNDRHeader(&h_, a.data(), 40000), NOERROR);
  ASSERT_EQ(WQOutbHKAppendNDRHeader(&h_, b.data(), 30000), NOERROR);
  // More data is still expected: the second chunk waits in the buffer.
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&h_.hBodyPreHeaderStream), 40000u);
  EXPECT_EQ(WQOutbHKAppendNDRHeader(&h_, a.data(), 60417), ERR_WQS_GENERAL);
  ASSERT_EQ(WQSAppendDataStreamBlock(&h_.msg, &h_.hBodyPreHeaderStream, FALSE,
                                     nullptr, 0),
            NOERROR);
  Reopen();
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&h_.msg, "PreHdr", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 70000u);
  std::vector<char> back(80000);
  WORD flag = 0;
  DWORD got = 0;
  ASSERT_EQ(WQSGetDataStreamBlock(&h_.msg, &r, &flag, back.data(), 80000, &got),
            NOERROR);
  EXPECT_EQ(got, 70000u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(memcmp(back.data(), a.data(), 40000), 0);
  EXPECT_EQ(memcmp(back.data() + 40000, b.data(), 30000), 0);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

}  // namespace
