// Message copy: within and across queues, with recipients kept and dropped,
// type changes, multi-list messages, a kept state array that grows, a
// single attachment table, and the source left exactly as it was.
#include "core/core_util.h"

namespace wqstest {
namespace {

class CopyTest : public QueueTest {
 protected:
  // A source message: user info 1 set and a status item that rides along.
  NOTEID Source(WORD type, const std::vector<Recip>& r) {
    user_msg_info_t u{};
    u.dwUserInfo1 = 0x1234;
    return SaveMessage(&queue_, type, r, &u, [](msg_handle_t* h) {
      EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", 11), NOERROR);
    });
  }
  // Every item of a saved document, in order, and its originator id.
  std::vector<std::pair<std::string, Bytes>> Snapshot(queue_handle_t* q,
                                                      NOTEID id,
                                                      ORIGINATORID* oid) {
    std::vector<std::pair<std::string, Bytes>> items;
    NOTEHANDLE h = 0;
    EXPECT_EQ(QDSNoteOpen(q->dbhandle, id, 0, &h), NOERROR);
    QDSNoteGetInfo(h, _NOTE_OID, oid);
    for (DWORD i = 0; i < QDSItemCount(h); i++) {
      char name[256];
      WORD len = 0;
      BLOCKID bid;
      DWORD vlen = 0;
      EXPECT_EQ(QDSItemInfoByIndex(h, i, name, sizeof name, &len, nullptr,
                                   nullptr, &bid, &vlen),
                NOERROR);
      const char* p = OSLockBlock(bid);
      items.push_back({std::string(name, len), Bytes(p, p + vlen)});
      OSUnlockBlock(bid);
    }
    QDSNoteClose(h);
    return items;
  }
  // Opens `src`, copies it, lets `check` look at the copy, saves it and
  // closes the source; returns the copy's note id.
  NOTEID Copy(NOTEID src, queue_handle_t* to, BOOL keep, WORD type,
              const std::function<void(msg_handle_t*)>& check = nullptr) {
    msg_handle_t s, c;
    EXPECT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR);
    EXPECT_EQ(WQSCopyMsg(&queue_, to, &s, keep, type, &c), NOERROR);
    EXPECT_EQ(c.wq.dbhandle, to->dbhandle);
    if (check) check(&c);
    EXPECT_EQ(WQSCloseAndSaveMsg(&c), NOERROR);
    EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
    return c.info.user.dwQueueMsgID;
  }
  static void Append(msg_handle_t* m, const Recip& r) {
    recip_info_t ri = RecipInfo(r);
    ASSERT_EQ(WQSAppendRecipient(m, &ri), NOERROR);
  }
};

TEST_F(CopyTest, KeptWithinAndAcrossQueuesDroppedIntoOtherType) {
  queue_handle_t q2;
  OpenQueue(&q2, "q2.qds");
  std::vector<Recip> rs = MakeRecips(3);
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    SCOPED_TRACE(type);
    NOTEID src = Source(type, rs);
    ORIGINATORID srcOid, oid;
    auto before = Snapshot(&queue_, src, &srcOid);
    for (queue_handle_t* to : {&queue_, &q2}) {
      NOTEID copy = Copy(src, to, TRUE, type, [](msg_handle_t* c) {
        EXPECT_EQ(c->info.wNumRecipLists, 1);
        EXPECT_EQ(Val(c->info.user.dwUserInfo1), 0x1234u);
        EXPECT_EQ(Val(c->daRecipData->hArray), c->hRecipData);
        // The copy holds none of the items the save writes again.
        for (const char* n : {"WQSMsgInfo", "WQSRecip0", "WQSRecipData"}) {
          EXPECT_EQ(ItemCount(c->hNote, n), 0) << n;
        }
      });
      EXPECT_NE(copy, to == &queue_ ? src : 0u);
      ExpectMessage(to, copy, rs);
      auto items = Snapshot(to, copy, &oid);
      EXPECT_NE(memcmp(&srcOid.Note, &oid.Note, sizeof(TIMEDATE)), 0);
      EXPECT_EQ(items.size(), before.size());  // each item once
    }
    // Dropped, into the other type: no lists of the old type remain.
    WORD other = type == WQS_MSG_SIMPLE ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
    NOTEID bare = Copy(src, &q2, FALSE, other, [](msg_handle_t* c) {
      for (const char* n : {"WQSNHE", "WQSPO", "WQSRecip0", "WQSRecipData"}) {
        EXPECT_EQ(ItemCount(c->hNote, n), 0) << n;
      }
    });
    ExpectMessage(&q2, bare, {});
    NOTEHANDLE h = 0;
    ASSERT_EQ(QDSNoteOpen(q2.dbhandle, bare, 0, &h), NOERROR);
    EXPECT_EQ(ItemCount(h, "WQSNHE"), other == WQS_MSG_EXTENDED ? 1 : 0);
    EXPECT_EQ(ItemCount(h, "WQSPO"), other == WQS_MSG_EXTENDED ? 1 : 0);
    EXPECT_EQ(ItemCount(h, "WQMsgStatus"), 1);
    EXPECT_EQ(QDSNoteClose(h), NOERROR);
    EXPECT_TRUE(Snapshot(&queue_, src, &oid) == before);  // source untouched
  }
  EXPECT_EQ(WQSCloseQueueForWrite(&q2), NOERROR);
}

TEST_F(CopyTest, TypeChangeDropsRecipientsAskedToBeKept) {
  NOTEID src = Source(WQS_MSG_SIMPLE, MakeRecips(4));
  Recip r = MakeRecip(9);
  NOTEID copy =
      Copy(src, &queue_, TRUE, WQS_MSG_EXTENDED, [&](msg_handle_t* c) {
        EXPECT_EQ(c->info.user.wNumRecip, 0);
        EXPECT_EQ(c->info.wNumRecipLists, 1);
        EXPECT_EQ(c->hRecipData, NULLHANDLE);
        EXPECT_EQ(Val(c->daRecipData->dwUsedEntries), 0u);
        EXPECT_EQ(Val(c->daRecipData->dwSize), 1124u);
        Append(c, r);
      });
  ExpectMessage(&queue_, copy, {r});
}

TEST_F(CopyTest, DropFromThreeListsAndKeepFromTwo) {
  // Names of 20000 bytes: three fit a list, so seven make three lists.
  std::vector<Recip> rs = MakeRecips(7, 20000);
  NOTEID src = Source(WQS_MSG_SIMPLE, rs);
  NOTEID bare = Copy(src, &queue_, FALSE, WQS_MSG_SIMPLE, [](msg_handle_t* c) {
    for (const char* n : {"WQSRecip0", "WQSRecip1", "WQSRecip2"}) {
      EXPECT_EQ(ItemCount(c->hNote, n), 0) << n;
    }
    EXPECT_EQ(c->info.wNumRecipLists, 1);
  });
  ExpectMessage(&queue_, bare, {});
  Recip extra = MakeRecip(50, 20000);
  NOTEID copy = Copy(src, &queue_, TRUE, WQS_MSG_SIMPLE, [&](msg_handle_t* c) {
    EXPECT_EQ(c->info.wNumRecipLists, 3);
    EXPECT_EQ(ItemCount(c->hNote, "WQSRecip0"), 1);
    EXPECT_EQ(ItemCount(c->hNote, "WQSRecip1"), 1);
    // The former last list is the current one: one name of 20000 bytes.
    EXPECT_EQ(ItemCount(c->hNote, "WQSRecip2"), 0);
    EXPECT_EQ(c->wCurRecipListLen, 2u + 2 + 20000);
    Append(c, extra);  // joins the current list: 40008 < 60416
    EXPECT_EQ(c->info.wNumRecipLists, 3);
  });
  rs.push_back(extra);
  ExpectMessage(&queue_, copy, rs);
  EXPECT_EQ(ParseTextList(StoredItem(db(), copy, "WQSRecip2")).size(), 2u);
}

TEST_F(CopyTest, KeptStateGrowsLikeAnOwnArray) {
  std::vector<Recip> rs = MakeRecips(25);
  NOTEID src = Source(WQS_MSG_EXTENDED, rs);
  std::vector<Recip> more = MakeRecips(30, 0, 100);
  NOTEID copy =
      Copy(src, &queue_, TRUE, WQS_MSG_EXTENDED, [&](msg_handle_t* c) {
        EXPECT_EQ(Val(c->daRecipData->dwSize), 1124u);
        for (const Recip& r : more) Append(c, r);
        EXPECT_EQ(Val(c->daRecipData->dwUsedEntries), 55u);
        EXPECT_EQ(Val(c->daRecipData->dwSize), 24u + 22 * 150);
      });
  rs.insert(rs.end(), more.begin(), more.end());
  ExpectMessage(&queue_, copy, rs);
  EXPECT_EQ(StoredItem(db(), copy, "WQSRecipData").size(), 34u + 24 + 22 * 150);
}

TEST_F(CopyTest, DiscardOrRefusalReleasesEverything) {
  NOTEID src = Source(WQS_MSG_EXTENDED, MakeRecips(3));
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR);
  DWORD opened = OSMemTestTotalBlocks();
  ASSERT_EQ(WQSCopyMsg(&queue_, &queue_, &s, TRUE, WQS_MSG_EXTENDED, &c),
            NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_MSGCOPY), 1u);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&c), NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_MSGCOPY), 0u);
  EXPECT_EQ(OSMemTestTotalBlocks(), opened);
  // A state array with an entry size that is not a recipient state's, in
  // the open (never saved) source document.
  Bytes v = ItemBytes(s.hNote, "WQSRecipData");
  ASSERT_GT(v.size(), 58u);
  v[42] = 23;
  ASSERT_EQ(QDSItemDelete(s.hNote, "WQSRecipData", 12), NOERROR);
  AppendRawValue(s.hNote, "WQSRecipData", v);
  opened = OSMemTestTotalBlocks();
  memset(&c, 0x3C, sizeof c);
  EXPECT_EQ(WQSCopyMsg(&queue_, &queue_, &s, TRUE, WQS_MSG_EXTENDED, &c),
            ERR_WQS_CORRUPT);
  EXPECT_EQ(OSMemTestTotalBlocks(), opened);
  EXPECT_EQ(c.hNote, 0x3C3C3C3Cu);  // the caller's record is untouched
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
}

TEST_F(CopyTest, CopyKeepsOneAttachmentTable) {
  file_descriptor_t fd{};
  fd.fileType = 1;
  fd.wNameLen = 5;
  memcpy(fd.fileName, "a.txt", 5);
  fd.size = 10;
  file_block_t fb;
  NOTEID src = SaveMessage(
      &queue_, WQS_MSG_SIMPLE, {MakeRecip(1)}, nullptr, [&](msg_handle_t* m) {
        ASSERT_EQ(WQSCreateFileBlock(m, &fd, &fb), NOERROR);
      });
  fd.fileName[0] = 'b';
  NOTEID copy = Copy(src, &queue_, TRUE, WQS_MSG_SIMPLE, [&](msg_handle_t* c) {
    EXPECT_EQ(c->info.wNumAttachments, 0);
    EXPECT_EQ(ItemCount(c->hNote, "WQSAttachInfo"), 0);
    EXPECT_EQ(ItemCount(c->hNote, "$FILE"), 1);  // the source's object stays
    ASSERT_EQ(WQSCreateFileBlock(c, &fd, &fb), NOERROR);
  });
  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, copy, &o), NOERROR);
  EXPECT_EQ(ItemCount(o.hNote, "WQSAttachInfo"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "$FILE"), 2);
  ASSERT_EQ(WQSGetNumFileBlocks(&o), 1);
  file_descriptor_t* pfd = nullptr;
  file_block_t* pfb = nullptr;
  WQSGetFileBlockInfo(&o, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(Val(pfb->RRV), Val(fb.RRV));
  EXPECT_EQ(memcmp(pfd->fileName, "b.txt", 5), 0);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(CopyTest, MoveListFromNote) {
  NOTEID src = SaveMessage(&queue_, WQS_MSG_SIMPLE, MakeRecips(2));
  NOTEHANDLE h = 0;
  ASSERT_EQ(QDSNoteOpen(db(), src, 0, &h), NOERROR);
  DHANDLE list = 0x77;
  WORD len = 0x55;
  EXPECT_EQ(WQSMoveListFromNoteToMem(h, "NoSuchList", &list, &len),
            ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(Blocks(WQS_TAG_MOVEDLIST), 0u);
  EXPECT_EQ(list, 0x77u);
  EXPECT_EQ(len, 0x55);
  // The present list comes out without its type code, and stays stored.
  ASSERT_EQ(WQSMoveListFromNoteToMem(h, "WQSRecip0", &list, &len), NOERROR);
  Bytes stored = ItemBytes(h, "WQSRecip0");
  ASSERT_EQ(len, stored.size() - 2);
  const char* p = static_cast<const char*>(OSLockObject(list));
  EXPECT_EQ(memcmp(p, stored.data() + 2, len), 0);
  OSUnlockObject(list);
  EXPECT_EQ(OSMemFree(list), NOERROR);
  QDSNoteClose(h);
}

}  // namespace
}  // namespace wqstest
