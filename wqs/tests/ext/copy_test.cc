// Message copy: kept and dropped recipients, one attachment table.
#include "core/core_util.h"

namespace wqstest {
namespace {

class CopyTest : public QueueTest {
 protected:
  NOTEID Source(WORD type, const std::vector<Recip>& r,
                const std::function<void(msg_handle_t*)>& fill = nullptr) {
    user_msg_info_t u{};
    u.dwUserInfo1 = 0x1234;
    return SaveMessage(&queue_, type, r, &u, fill);
  }
  // Copies `src` into `to`, lets `check` see the copy, saves it.
  NOTEID Copy(NOTEID src, queue_handle_t* to, BOOL keep, WORD type,
              const std::function<void(msg_handle_t*)>& check) {
    msg_handle_t s, c;
    EXPECT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR);
    EXPECT_EQ(WQSCopyMsg(&queue_, to, &s, keep, type, &c), NOERROR);
    EXPECT_EQ(c.wq.dbhandle, to->dbhandle);
    check(&c);
    EXPECT_EQ(WQSCloseAndSaveMsg(&c), NOERROR);
    EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
    return c.info.user.dwQueueMsgID;
  }
};

TEST_F(CopyTest, KeptWithinAndAcrossQueuesDroppedIntoOtherType) {
  queue_handle_t q2;
  OpenQueue(&q2, "q2.qds");
  std::vector<Recip> rs = MakeRecips(3);
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    NOTEID src = Source(type, rs);
    for (queue_handle_t* to : {&queue_, &q2}) {
      NOTEID copy = Copy(src, to, TRUE, type, [](msg_handle_t* c) {
        EXPECT_EQ(c->info.wNumRecipLists, 1);
        EXPECT_EQ(Val(c->info.user.dwUserInfo1), 0x1234u);
      });
      EXPECT_NE(copy, to == &queue_ ? src : 0u);
      ExpectMessage(to, copy, rs);
    }
    // Dropped, into the other type: no lists of the old type remain.
    WORD other = type == WQS_MSG_SIMPLE ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
    NOTEID bare = Copy(src, &q2, FALSE, other, [](msg_handle_t* c) {
      for (const char* n : {"WQSNHE", "WQSPO", "WQSRecip0", "WQSRecipData"}) {
        EXPECT_EQ(ItemCount(c->hNote, n), 0) << n;
      }
    });
    ExpectMessage(&q2, bare, {});
  }
  EXPECT_EQ(WQSCloseQueueForWrite(&q2), NOERROR);
}

TEST_F(CopyTest, KeptStateGrowsLikeAnOwnArray) {
  std::vector<Recip> rs = MakeRecips(25), more = MakeRecips(30, 0, 100);
  NOTEID src = Source(WQS_MSG_EXTENDED, rs), copy;
  copy = Copy(src, &queue_, TRUE, WQS_MSG_EXTENDED, [&](msg_handle_t* c) {
    EXPECT_EQ(Val(c->daRecipData->dwSize), 1124u);
    for (const Recip& r : more) {
      recip_info_t ri = RecipInfo(r);
      ASSERT_EQ(WQSAppendRecipient(c, &ri), NOERROR);
    }
    EXPECT_EQ(Val(c->daRecipData->dwUsedEntries), 55u);
    EXPECT_EQ(Val(c->daRecipData->dwSize), 24u + 22 * 150);
  });
  rs.insert(rs.end(), more.begin(), more.end());
  ExpectMessage(&queue_, copy, rs);
  EXPECT_EQ(StoredItem(db(), copy, "WQSRecipData").size(), 34u + 24 + 22 * 150);
}

TEST_F(CopyTest, CopyKeepsOneAttachmentTable) {
  file_descriptor_t fd{};
  fd.fileType = 1, fd.wNameLen = 5, fd.size = 10;
  memcpy(fd.fileName, "a.txt", 5);
  file_block_t fb;
  auto attach = [&](msg_handle_t* m) {
    ASSERT_EQ(WQSCreateFileBlock(m, &fd, &fb), NOERROR);
    fd.fileName[0] = 'b';
  };
  NOTEID copy = Copy(Source(WQS_MSG_SIMPLE, {MakeRecip(1)}, attach), &queue_,
                     TRUE, WQS_MSG_SIMPLE, attach);
  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, copy, &o), NOERROR);
  EXPECT_EQ(ItemCount(o.hNote, "WQSAttachInfo"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "$FILE"), 2);
  ASSERT_EQ(WQSGetNumFileBlocks(&o), 1);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

}  // namespace
}  // namespace wqstest
