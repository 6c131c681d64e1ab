// Message disposal: requeue countdown, purge, discard.
#include "core_util.h"

namespace wqstest {
namespace {

class LifeTest : public QueueTest {
 protected:
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
  for (WORD start : {5, 0}) {
    user_msg_info_t info{};
    info.wRetries = start;
    NOTEID id =
        SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(2, 0, 1), &info);
    msg_handle_t h;
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
    ASSERT_EQ(WQSCloseMsgAndReQueue(&h), NOERROR);
    Bytes v = StoredItem(db(), id, "WQSMsgInfo");
    EXPECT_EQ(GetW(v, 2 + 38 + 14), start > 0 ? start - 1 : 0);
  }
}

TEST_F(LifeTest, PurgeDeletesDocument) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(2)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndPurge(&h), NOERROR);
  EXPECT_FALSE(NoteExists(db(), id));
}

TEST_F(LifeTest, DiscardLeavesNoDocument) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h), NOERROR);
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  EXPECT_EQ(CountDocuments(), 0);
}

}  // namespace
}  // namespace wqstest
