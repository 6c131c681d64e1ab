// Stored message format and open/update/close round trips.
#include "core_util.h"

namespace wqstest {
namespace {

typedef QueueTest MsgTest;

// Offset of a user_msg_info_t field in the stored WQSMsgInfo value.
constexpr size_t kUser = 2 + 38;

// The 88 stored bytes of WQSMsgInfo, built by hand.
Bytes ExpectedMsgInfo(WORD type, WORD nAttach, WORD nLists,
                      const user_msg_info_t& u) {
  Bytes b;
  PutW(&b, 0x000E);
  b.push_back(32);
  Bytes area(31, 0);
  memcpy(area.data(), "WQS_MSG_INFO_BLOCK", 19);  // with its terminator
  PutBytes(&b, area.data(), 31);
  for (WORD w : {type, nAttach, nLists}) PutW(&b, w);
  PutDW(&b, u.dwSize);
  PutDW(&b, u.dwQueueMsgID);
  for (WORD w : {u.wNumRecip, u.wPriority, u.wFormat, u.wRetries}) PutW(&b, w);
  for (DWORD d : {u.tdNextRetry.Innards[0], u.tdNextRetry.Innards[1],
                  u.dwFailureReason, u.dwUserInfo1, u.dwUserInfo2,
                  u.dwUserInfo3, u.dwUserInfo4, u.dwUserInfo5}) {
    PutDW(&b, d);
  }
  return b;
}

// A stored array item, without the writer's handle and unused slots.
void ExpectArrayItem(const Bytes& v, const char* header, DWORD entrySize,
                     DWORD granularity, DWORD used, DWORD capacity,
                     const Bytes& entries) {
  Bytes want = ArrayItemValue(header, entrySize, granularity, used,
                              capacity - used, capacity, entries);
  ASSERT_EQ(v.size(), want.size());
  std::copy(v.begin() + 34, v.begin() + 38, want.begin() + 34);
  want.resize(58 + entries.size());
  EXPECT_EQ(Bytes(v.begin(), v.begin() + want.size()), want);
}

TEST_F(MsgTest, EmptyMessageLayout) {
  user_msg_info_t zero{};
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {});
  ASSERT_NE(id, 0u);
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
  EXPECT_EQ(ItemBytes(note, "WQSMsgInfo"),
            ExpectedMsgInfo(WQS_MSG_SIMPLE, 0, 1, zero));
  Bytes rd = ItemBytes(note, "WQSRecipData");
  EXPECT_EQ(rd.size(), 1158u);
  ExpectArrayItem(rd, "WQSRecipData", 22, 50, 0, 50, Bytes());
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
}

TEST_F(MsgTest, RollOverBoundary) {
  // 59 names of 1000 bytes make list 0 2 + 59 * 1002 = 59120 bytes long;
  // 59120 + 1295 = 60415 stays in list 0, 59120 + 1296 = 60416 rolls over.
  for (size_t len : {1295, 1296}) {
    SCOPED_TRACE(len);
    bool rolls = len == 1296;
    std::vector<Recip> r = MakeRecips(59, 1000);
    r.push_back(MakeRecip(59, len));
    msg_handle_t h;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
    for (const Recip& x : r) {
      recip_info_t ri = RecipInfo(x);
      ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    }
    EXPECT_EQ(h.info.wNumRecipLists, rolls ? 2 : 1);
    ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
    ExpectMessage(&queue_, h.info.user.dwQueueMsgID, r);
  }
}

TEST_F(MsgTest, ExtendedRoundTrip) {
  std::vector<Recip> r = MakeRecips(3, 0, 1);
  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, r);
  ExpectMessage(&queue_, id, r);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_info_t ri{};
  EXPECT_EQ(WQSGetExtendedMsgRecipient(&h, 3, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(MsgTest, UpdateCloseWritesStatesAndInfo) {
  std::vector<Recip> r = MakeRecips(3, 0, 1);
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_data_t d = r[0].data;
  d.dwUserInfo = 6;
  WQSSetRecipientData(&h, 0, &d);
  h.info.user.dwUserInfo5 = 0xCAFEBABE;
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);

  Bytes info = StoredItem(db(), id, "WQSMsgInfo");
  ASSERT_EQ(info.size(), 88u);
  EXPECT_EQ(GetDW(info, kUser + 4), id);
  EXPECT_EQ(GetDW(info, kUser + 44), 0xCAFEBABEu);
  Bytes rd = StoredItem(db(), id, "WQSRecipData");
  ASSERT_EQ(rd.size(), 1158u);
  EXPECT_EQ(GetDW(rd, 58 + 16), 6u);
}

TEST_F(MsgTest, StoredQueueMsgIdIsReplacedAtOpen) {
  user_msg_info_t u{};
  u.dwQueueMsgID = 0xDEADBEEF;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, MakeRecips(3), &u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

}  // namespace
}  // namespace wqstest
