// Message creation, save and disposal: requeue countdown, purge, discard,
// a type without extended lists, a spent handle, and a state array grown
// past its first block.
#include "core_util.h"

namespace wqstest {
namespace {

class LifeTest : public QueueTest {
 protected:
  // Number of data documents in the queue.
  int CountDocuments() {
    int n = 0;
    QDSSearch(
        db(), NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
        [](void* arg, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
          if (m->SERetFlags & SE_FMATCH) ++*static_cast<int*>(arg);
          return NOERROR;
        },
        &n, nullptr);
    return n;
  }
};

TEST_F(LifeTest, RequeueCountsDown) {
  for (WORD start : {5, 1, 0}) {
    SCOPED_TRACE(start);
    user_msg_info_t info{};
    info.wRetries = start;
    NOTEID id =
        SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(2, 0, 1), &info);
    msg_handle_t h;
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
    recip_data_t d = MakeRecip(7).data;
    WQSSetRecipientData(&h, 1, &d);
    ASSERT_EQ(WQSCloseMsgAndReQueue(&h), NOERROR);
    Bytes v = StoredItem(db(), id, "WQSMsgInfo");
    EXPECT_EQ(GetW(v, 2 + 38 + 14), start > 0 ? start - 1 : 0);
    EXPECT_EQ(GetDW(v, 2 + 38 + 4), id);
    EXPECT_EQ(GetDW(StoredItem(db(), id, "WQSRecipData"), 58 + 22 + 16),
              Val(d.dwUserInfo));
  }
}

TEST_F(LifeTest, PurgeDeletesDocument) {
  NOTEID keep = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1)});
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(2)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndPurge(&h), NOERROR);
  EXPECT_FALSE(NoteExists(db(), id));
  EXPECT_NE(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_TRUE(NoteExists(db(), keep));
  EXPECT_EQ(CountDocuments(), 1);
}

TEST_F(LifeTest, DiscardLeavesNoDocumentAndNoBlock) {
  // A simple message after a roll-over wrote a list item into the unsaved
  // document, with an attachment table; an extended one with a recipient.
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  for (const Recip& r : MakeRecips(3, 30000)) {
    recip_info_t ri = RecipInfo(r);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  }
  EXPECT_EQ(h.info.wNumRecipLists, 2);
  ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11), NOERROR);
  h.daFileBlockArray = DACreate(sizeof(file_block_t), 1);
  ASSERT_NE(h.daFileBlockArray, nullptr);
  h.info.wNumAttachments = 1;
  file_block_t fb{};
  ASSERT_TRUE(DAAddEntry(&h.daFileBlockArray, &fb));
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  EXPECT_EQ(Blocks(DA_BLOCK_TYPE), 0u);

  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h), NOERROR);
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  EXPECT_EQ(CountDocuments(), 0);
}

TEST_F(LifeTest, RefusedAppends) {
  // Types other than 1 append as extended, which needs lists a type 3
  // message does not have: refused rather than written through nothing.
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, 3, &h), NOERROR);
  EXPECT_EQ(h.hCurNHEList, NULLHANDLE);
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  EXPECT_EQ(WQSAppendRecipient(&h, &ri), ERR_WQS_GENERAL);
  EXPECT_EQ(h.info.user.wNumRecip, 0);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  EXPECT_EQ(StoredItem(db(), h.info.user.dwQueueMsgID, "WQSNHE").size(), 0u);
  // The handle is spent now; a discard of it does no harm.
  EXPECT_EQ(WQSAppendRecipient(&h, &ri), ERR_WQS_GENERAL);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
}

TEST_F(LifeTest, ManyRecipientsGrowStateArray) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, MakeRecips(130));
  Bytes v = StoredItem(db(), id, "WQSRecipData");
  // 130 entries: 50 * (1 + 129 / 25) = 300 slots.
  EXPECT_EQ(v.size(), 34u + 24u + 300u * 22u);
  EXPECT_EQ(GetDW(v, 50), 130u);
  EXPECT_EQ(GetDW(v, 54), 170u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(DASize(h.daRecipData), 24u + 300u * 22u);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData").size(), v.size());
}

}  // namespace
}  // namespace wqstest
