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

  // Saves a message; `fill` may add fields before the save.
  NOTEID Save(WORD type, const std::vector<ViewRecip>& rs,
              const user_msg_info_t& user,
              void (*fill)(msg_handle_t*) = nullptr) {
    msg_handle_t m;
    EXPECT_EQ(WQSCreateMsg(&q_, type, &m), NOERROR);
    WQSSetMsgInfo(&m, &user);
    for (const ViewRecip& r : rs) {
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
    if (fill != nullptr) fill(&m);
    EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
    return m.info.user.dwQueueMsgID;
  }

  void Open(NOTEID id) {
    memset(&h_, 0, sizeof h_);
    ASSERT_EQ(WQSOpenMsgByMsgID(&q_, id, &h_.msg), NOERROR);
    open_ = true;
  }

  std::string dir_;
  queue_handle_t q_{};
  DWORD baseline_ = 0;
  wq_msg_handle_t h_;
  bool open_ = false;
};

TEST_F(ViewsTest, StatusSixWithBothUserFlags) {
  user_msg_info_t u{};
  u.dwUserInfo1 = 0xCAFEF00D;
  u.dwUserInfo2 = 3;
  u.dwUserInfo3 = 42;
  u.dwUserInfo4 = 7;
  NOTEID id = Save(WQS_MSG_EXTENDED, {Recip(0)}, u, [](msg_handle_t* m) {
    WQSAddDWORD(m, TRUE, "WQMsgStatus", 6);
    WQSAddDataBlock(m, TRUE, "WQErrStr", "550 mailbox unavailable", 23);
  });
  Open(id);
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
  NOTEID id = Save(WQS_MSG_EXTENDED, {Recip(0)}, u, [](msg_handle_t* m) {
    WQSAddDWORD(m, TRUE, "WQMsgStatus", 0x00010009);
  });
  Open(id);
  msg_state_block_t s;
  ASSERT_EQ(WQOutbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 9);
  EXPECT_EQ(s.msgErr, 0x5678);
  EXPECT_EQ(s.wOriginator, 1);
  EXPECT_EQ(s.bDelConfirm, 0);
  EXPECT_EQ(s.bTrace, 1);

  recip_data_t* d = nullptr;
  WQSGetRecipientData(&h_.msg, 0, &d);
  d->dwUserInfo = 0x0003000B;
  d->dwErrorCode = 0xFFFF1234;
  recip_state_block_t r;
  ASSERT_EQ(WInbHKGetRecipientInfo(&h_, 0, &r), NOERROR);
  EXPECT_EQ(r.wState, 11);
  EXPECT_EQ(r.err, 0x1234);
}

TEST_F(ViewsTest, LongErrorTextIsCutAndTerminated) {
  NOTEID id = Save(WQS_MSG_SIMPLE, {Recip(0)}, user_msg_info_t{},
                   [](msg_handle_t* m) {
                     std::string text(600, 'e');
                     for (size_t i = 0; i < text.size(); i++) text[i] = 'a' + i % 26;
                     WQSAddDataBlock(m, FALSE, "WQErrStr", text.data(), 600);
                   });
  Open(id);
  msg_state_block_t s;
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(strlen(s.szError), 511u);
  EXPECT_EQ(s.szError[511], 0);
  EXPECT_EQ(s.szError[0], 'a');
  EXPECT_EQ(s.szError[510], (char)('a' + 510 % 26));
}

TEST_F(ViewsTest, AbsentStatusAndErrorText) {
  NOTEID id = Save(WQS_MSG_SIMPLE, {Recip(0)}, user_msg_info_t{});
  Open(id);
  msg_state_block_t s;
  memset(&s, 'Z', sizeof s);
  ASSERT_EQ(WQInbHKGetMessageState(&h_, &s), NOERROR);
  EXPECT_EQ(s.wState, 0);
  EXPECT_STREQ(s.szError, "");
}

TEST_F(ViewsTest, InboundReportsNameOutboundReportsPostOffice) {
  std::vector<ViewRecip> rs = {Recip(0), Recip(1)};
  NOTEID id = Save(WQS_MSG_EXTENDED, rs, user_msg_info_t{});
  Open(id);
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
}

TEST_F(ViewsTest, OutboundOnSimpleMessageReportsEmptyName) {
  std::vector<ViewRecip> rs = {Recip(0)};
  NOTEID id = Save(WQS_MSG_SIMPLE, rs, user_msg_info_t{});
  Open(id);
  recip_state_block_t out, in;
  memset(&out, 0x5A, sizeof out);
  ASSERT_EQ(WOutbHKGetRecipientInfo(&h_, 0, &out), NOERROR);
  ASSERT_NE(out.pName, nullptr);
  EXPECT_EQ(out.wNameLen, 0);
  EXPECT_EQ(out.pName[0], 0);  // safe to read
  EXPECT_EQ(out.err, 0x7000);
  ASSERT_EQ(WInbHKGetRecipientInfo(&h_, 0, &in), NOERROR);
  EXPECT_EQ(std::string(in.pName, in.wNameLen), rs[0].name);
}

TEST_F(ViewsTest, SetRecipientStateKeepsOtherFieldsAndIsStored) {
  std::vector<ViewRecip> rs = {Recip(0), Recip(1), Recip(2), Recip(3)};
  NOTEID id = Save(WQS_MSG_EXTENDED, rs, user_msg_info_t{});
  Open(id);
  recip_data_t* d = nullptr;
  WQSGetRecipientData(&h_.msg, 2, &d);
  d->dwUserInfo = 0xFFFF0003;  // high bits go with the change
  h_.msg.bRecipDataDirty = FALSE;
  EXPECT_EQ(WOutbHKSetRecipientState(&h_, 2, 11), NOERROR);
  EXPECT_EQ(h_.msg.bRecipDataDirty, TRUE);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 1, 9), NOERROR);
  EXPECT_EQ(WInbHKSetRecipientState(&h_, 4, 9), ERR_WQS_RECIP_RANGE);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h_.msg), NOERROR);
  open_ = false;

  Open(id);
  for (WORD i = 0; i < 4; i++) {
    WQSGetRecipientData(&h_.msg, i, &d);
    recip_data_t want = rs[i].data;
    if (i == 2) want.dwUserInfo = 11;
    if (i == 1) want.dwUserInfo = 9;
    EXPECT_EQ(memcmp(d, &want, sizeof want), 0) << i;
  }
}

TEST_F(ViewsTest, InboundNextHop) {
  NOTEID id = Save(WQS_MSG_SIMPLE, {Recip(0)}, user_msg_info_t{},
                   [](msg_handle_t* m) {
                     WQSAddDataBlock(m, FALSE, "WQIBNHE", "relay.example", 13);
                   });
  Open(id);
  char nhe[256];
  WORD len = 0;
  ASSERT_EQ(WQInbHKGetNHE(&h_, nhe, &len), NOERROR);
  EXPECT_EQ(len, 13);
  EXPECT_EQ(std::string(nhe, len), "relay.example");
}

TEST_F(ViewsTest, NDRHeaderAcrossPieceBoundaryReadsBack) {
  NOTEID id = Save(WQS_MSG_EXTENDED, {Recip(0)}, user_msg_info_t{});
  Open(id);
  ASSERT_EQ(WQSCreateDataStreamBlock(&h_.msg, "PreHdr",
                                     &h_.hBodyPreHeaderStream),
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
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h_.msg), NOERROR);
  open_ = false;

  Open(id);
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
