// Message creation, save and disposal: what create leaves in the handle,
// what save stores, requeue countdown, purge and discard.
#include <cstring>

#include "core_util.h"

namespace wqstest {
namespace {

class LifeTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
  DBHANDLE db() const { return queue_.dbhandle; }

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

TEST_F(LifeTest, CreateFillsBuildingHandle) {
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED, (WORD)3}) {
    SCOPED_TRACE(type);
    msg_handle_t h;
    memset(&h, 0xAB, sizeof(h));
    ASSERT_EQ(WQSCreateMsg(&queue_, type, &h), NOERROR);
    EXPECT_EQ(h.wq.dbhandle, queue_.dbhandle);
    EXPECT_EQ(h.info.wMsgType, type);
    EXPECT_EQ(h.info.wNumRecipLists, 1);
    EXPECT_EQ(h.info.wNumAttachments, 0);
    msg_info_t zeroInfo;
    memset(&zeroInfo, 0, sizeof(zeroInfo));
    EXPECT_EQ(memcmp(&h.info.udh, &zeroInfo.udh, sizeof(h.info.udh)), 0);
    EXPECT_EQ(memcmp(&h.info.user, &zeroInfo.user, sizeof(h.info.user)), 0);
    EXPECT_NE(h.hNote, 0u);
    ASSERT_NE(h.hCurRecipList, NULLHANDLE);
    EXPECT_EQ(h.wCurRecipListLen, 2);
    // Kept unlocked between calls.
    EXPECT_FALSE(OSUnlockObject(h.hCurRecipList));
    ASSERT_NE(h.daRecipData, nullptr);
    EXPECT_EQ(h.daRecipData->dwEntrySize, 22u);
    EXPECT_EQ(h.daRecipData->dwAllocGranularity, 50u);
    EXPECT_EQ(h.hRecipData, NULLHANDLE);
    EXPECT_EQ(h.daRecipListBIDs, nullptr);
    EXPECT_EQ(h.daFileBlockArray, nullptr);
    EXPECT_EQ(h.bRecipDataDirty, FALSE);
    if (type == WQS_MSG_EXTENDED) {
      ASSERT_NE(h.hCurNHEList, NULLHANDLE);
      ASSERT_NE(h.hCurPOList, NULLHANDLE);
      EXPECT_EQ(h.wCurNHEListLen, 2);
      EXPECT_EQ(h.wCurPOListLen, 2);
      EXPECT_FALSE(OSUnlockObject(h.hCurNHEList));
    } else {
      EXPECT_EQ(h.hCurNHEList, NULLHANDLE);
      EXPECT_EQ(h.hCurPOList, NULLHANDLE);
    }
    EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  }
  EXPECT_EQ(CountDocuments(), 0);
}

TEST_F(LifeTest, SaveStoresItemsByType) {
  NOTEID simple = SaveMessage(&queue_, WQS_MSG_SIMPLE, {});
  NOTEID ext = SaveMessage(&queue_, WQS_MSG_EXTENDED, {});
  ASSERT_NE(simple, 0u);
  ASSERT_NE(ext, 0u);
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteOpen(db(), simple, 0, &note), NOERROR);
  EXPECT_EQ(QDSItemCount(note), 3u);
  EXPECT_FALSE(QDSItemIsPresent(note, "WQSNHE", 6));
  EXPECT_FALSE(QDSItemIsPresent(note, "WQSPO", 5));
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  ASSERT_EQ(QDSNoteOpen(db(), ext, 0, &note), NOERROR);
  EXPECT_EQ(QDSItemCount(note), 5u);
  for (const char* n :
       {"WQSMsgInfo", "WQSRecip0", "WQSRecipData", "WQSNHE", "WQSPO"}) {
    EXPECT_EQ(ItemCount(note, n), 1) << n;
  }
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
}

TEST_F(LifeTest, SaveKeepsCreatorsQueueMsgId) {
  user_msg_info_t info;
  memset(&info, 0, sizeof(info));
  info.dwQueueMsgID = 0xDEADBEEF;
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  WQSSetMsgInfo(&h, &info);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  NOTEID id = h.info.user.dwQueueMsgID;
  EXPECT_NE(id, 0xDEADBEEFu);
  EXPECT_TRUE(NoteExists(db(), id));
  EXPECT_EQ(GetDW(StoredItem(db(), id, "WQSMsgInfo"), 2 + 38 + 4),
            0xDEADBEEFu);
}

TEST_F(LifeTest, UnknownTypeGetsNoExtendedLists) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, 3, &h), NOERROR);
  // Types other than 1 append as extended, which needs the lists a type 3
  // message does not have: refused rather than written through nothing.
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  EXPECT_EQ(WQSAppendRecipient(&h, &ri), ERR_WQS_GENERAL);
  EXPECT_EQ(h.info.user.wNumRecip, 0);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  NOTEID id = h.info.user.dwQueueMsgID;
  bool found = true;
  StoredItem(db(), id, "WQSNHE", &found);
  EXPECT_FALSE(found);
}

TEST_F(LifeTest, RequeueCountsDown) {
  for (WORD start : {(WORD)5, (WORD)1, (WORD)0}) {
    SCOPED_TRACE(start);
    user_msg_info_t info;
    memset(&info, 0, sizeof(info));
    info.wRetries = start;
    NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED,
                            {MakeRecip(1), MakeRecip(2)}, &info);
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

TEST_F(LifeTest, DiscardLeavesNoDocument) {
  // Even after a roll-over wrote a list item into the unsaved document.
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  for (int i = 0; i < 3; i++) {
    Recip r = MakeRecip(i, 30000);
    recip_info_t ri = RecipInfo(r);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  }
  EXPECT_EQ(h.info.wNumRecipLists, 2);
  ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);

  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h), NOERROR);
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  EXPECT_EQ(CountDocuments(), 0);
}

TEST_F(LifeTest, DiscardReleasesAttachmentTable) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  h.daFileBlockArray = DACreate(sizeof(file_block_t), 1);
  ASSERT_NE(h.daFileBlockArray, nullptr);
  h.info.wNumAttachments = 1;
  file_block_t fb;
  memset(&fb, 0, sizeof(fb));
  ASSERT_TRUE(DAAddEntry(&h.daFileBlockArray, &fb));
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  DWORD arrays = 0;
  OSMemTestCount(DA_BLOCK_TYPE, &arrays, nullptr);
  EXPECT_EQ(arrays, 0u);
}

TEST_F(LifeTest, AppendToSpentHandleIsRefused) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  Recip r = MakeRecip(1);
  recip_info_t ri = RecipInfo(r);
  EXPECT_EQ(WQSAppendRecipient(&h, &ri), ERR_WQS_GENERAL);
  // Nothing is left for a discard to release; it does no harm.
  EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
}

TEST_F(LifeTest, ManyRecipientsGrowStateArray) {
  std::vector<Recip> r;
  for (int i = 0; i < 130; i++) r.push_back(MakeRecip(i));
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r);
  Bytes v = StoredItem(db(), id, "WQSRecipData");
  // 130 entries: 50 * (1 + 129 / 25) = 300 slots.
  EXPECT_EQ(v.size(), 34u + 24u + 300u * 22u);
  EXPECT_EQ(GetDW(v, 50), 130u);
  EXPECT_EQ(GetDW(v, 54), 170u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(DASize(h.daRecipData), 24u + 300u * 22u);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  // Written back with its size unchanged.
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData").size(), v.size());
}

}  // namespace
}  // namespace wqstest
