// Message copy: within and across queues, with recipients kept and dropped,
// type changes, multi-list messages, a kept state array that grows, a
// single attachment table, and the source left exactly as it was.
#include <cstring>
#include <map>

#include "ext/ext_util.h"

namespace wqsext {
namespace {

class CopyTest : public ExtTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(OSMemTestTotalBlocks(), baseline_blocks_);
    ExtTest::TearDown();
  }

  // Every item of a document by name (values of repeated names joined).
  std::map<std::string, std::vector<uint8_t>> Snapshot(queue_handle_t* q,
                                                       NOTEID id) {
    std::map<std::string, std::vector<uint8_t>> items;
    NOTEHANDLE h = OpenNote(q, id);
    DWORD n = QDSItemCount(h);
    for (DWORD i = 0; i < n; i++) {
      char name[256];
      WORD len = 0;
      BLOCKID bid;
      DWORD vlen = 0;
      EXPECT_EQ(QDSItemInfoByIndex(h, i, name, sizeof name, &len, nullptr,
                                   nullptr, &bid, &vlen),
                NOERROR);
      const char* p = OSLockBlock(bid);
      std::vector<uint8_t>& v = items[std::string(name, len)];
      v.insert(v.end(), p, p + vlen);
      OSUnlockBlock(bid);
    }
    QDSNoteClose(h);
    return items;
  }

  // Checks recipient i of an opened message against `r`.
  static void ExpectRecip(msg_handle_t* m, WORD i, const Recip& r) {
    recip_info_t ri{};
    ASSERT_EQ(WQSGetRecipient(m, i, &ri), NOERROR);
    EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r.name) << i;
    EXPECT_EQ(+ri.data.dwUserInfo, r.state) << i;
    EXPECT_EQ(+ri.data.dwErrorCode, r.error) << i;
    if (m->info.wMsgType == WQS_MSG_EXTENDED) {
      EXPECT_EQ(std::string(ri.pNextHop, ri.wNextHopLen), r.nextHop) << i;
      EXPECT_EQ(std::string(ri.pPOName, ri.wPONameLen), r.po) << i;
    }
  }

  static void Append(msg_handle_t* m, const Recip& r) {
    recip_info_t ri{};
    ri.pName = const_cast<char*>(r.name.data());
    ri.wNameLen = (WORD)r.name.size();
    ri.pNextHop = const_cast<char*>(r.nextHop.data());
    ri.wNextHopLen = (WORD)r.nextHop.size();
    ri.pPOName = const_cast<char*>(r.po.data());
    ri.wPONameLen = (WORD)r.po.size();
    ri.data.dwUserInfo = r.state;
    ri.data.dwErrorCode = r.error;
    ASSERT_EQ(WQSAppendRecipient(m, &ri), NOERROR);
  }

  static std::vector<Recip> Recips(int n, size_t nameLen = 0, int from = 0) {
    std::vector<Recip> v;
    for (int i = 0; i < n; i++) v.push_back(MakeRecip(from + i, nameLen));
    return v;
  }

  // Saves a copy and returns its note id.
  static NOTEID Save(msg_handle_t* m) {
    EXPECT_EQ(WQSCloseAndSaveMsg(m), NOERROR);
    return m->info.user.dwQueueMsgID;
  }
};

TEST_F(CopyTest, KeepRecipientsWithinQueue) {
  std::vector<Recip> rs = Recips(3);
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, rs);
  auto before = Snapshot(&q1_, src);

  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_SIMPLE, &c), NOERROR);
  EXPECT_EQ(+c.info.user.wNumRecip, 3);
  EXPECT_EQ(+c.info.wNumRecipLists, 1);
  EXPECT_EQ(+c.info.user.dwUserInfo1, 0x1234u);
  EXPECT_NE(c.hRecipData, NULLHANDLE);
  EXPECT_EQ(+c.daRecipData->hArray, c.hRecipData);
  // The copy holds none of the items the save writes again.
  for (const char* n : {"WQSMsgInfo", "WQSRecip0", "WQSRecipData"}) {
    EXPECT_EQ(ItemCount(c.hNote, n), 0) << n;
  }
  EXPECT_EQ(ItemCount(c.hNote, "WQMsgStatus"), 1);  // other items ride along
  ORIGINATORID srcOid, copyOid;
  QDSNoteGetInfo(s.hNote, _NOTE_OID, &srcOid);
  QDSNoteGetInfo(c.hNote, _NOTE_OID, &copyOid);
  EXPECT_NE(memcmp(&srcOid.Note, &copyOid.Note, sizeof(TIMEDATE)), 0);
  NOTEID copy = Save(&c);
  EXPECT_NE(copy, src);
  EXPECT_NE(copy, 0u);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, copy, &o), NOERROR);
  EXPECT_EQ(+o.info.user.wNumRecip, 3);
  EXPECT_EQ(+o.info.user.dwQueueMsgID, copy);
  for (WORD i = 0; i < 3; i++) ExpectRecip(&o, i, rs[i]);
  ORIGINATORID savedOid;
  QDSNoteGetInfo(o.hNote, _NOTE_OID, &savedOid);
  EXPECT_NE(memcmp(&srcOid.Note, &savedOid.Note, sizeof(TIMEDATE)), 0);
  EXPECT_EQ(ItemCount(o.hNote, "WQSMsgInfo"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "WQSRecip0"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "WQSRecipData"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "WQMsgStatus"), 1);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);

  EXPECT_TRUE(Snapshot(&q1_, src) == before);  // source untouched
}

TEST_F(CopyTest, CopyIntoAnotherQueueIsSavedThere) {
  queue_handle_t q2 = OpenNewQueue("q2.qds");
  baseline_blocks_ = OSMemTestTotalBlocks();
  std::vector<Recip> rs = Recips(2);
  NOTEID src = SaveMessage(&q1_, WQS_MSG_EXTENDED, rs);
  auto before = Snapshot(&q1_, src);

  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q2, &s, TRUE, WQS_MSG_EXTENDED, &c), NOERROR);
  EXPECT_EQ(c.wq.dbhandle, q2.dbhandle);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q2, copy, &o), NOERROR);
  EXPECT_EQ(+o.info.wMsgType, WQS_MSG_EXTENDED);
  for (WORD i = 0; i < 2; i++) ExpectRecip(&o, i, rs[i]);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);

  // Dropped on the way, into the other type.
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q2, &s, FALSE, WQS_MSG_SIMPLE, &c), NOERROR);
  NOTEID bare = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
  ASSERT_EQ(WQSOpenMsgByMsgID(&q2, bare, &o), NOERROR);
  EXPECT_EQ(+o.info.wMsgType, WQS_MSG_SIMPLE);
  EXPECT_EQ(+o.info.user.wNumRecip, 0);
  EXPECT_EQ(ItemCount(o.hNote, "WQSNHE"), 0);
  EXPECT_EQ(ItemCount(o.hNote, "WQMsgStatus"), 1);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  EXPECT_TRUE(Snapshot(&q1_, src) == before);
}

TEST_F(CopyTest, TypeChangeDropsRecipients) {
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, Recips(4));
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  // Asked to keep, but a new type cannot keep them.
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_EXTENDED, &c), NOERROR);
  EXPECT_EQ(+c.info.wMsgType, WQS_MSG_EXTENDED);
  EXPECT_EQ(+c.info.user.wNumRecip, 0);
  EXPECT_EQ(+c.info.wNumRecipLists, 1);
  EXPECT_EQ(c.hRecipData, NULLHANDLE);
  ASSERT_NE(c.daRecipData, nullptr);
  EXPECT_EQ(+c.daRecipData->dwUsedEntries, 0u);
  EXPECT_EQ(+c.daRecipData->dwSize, 1124u);
  EXPECT_NE(c.hCurNHEList, NULLHANDLE);
  EXPECT_NE(c.hCurPOList, NULLHANDLE);
  Recip r = MakeRecip(9);
  Append(&c, r);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, copy, &o), NOERROR);
  EXPECT_EQ(+o.info.user.wNumRecip, 1);
  ExpectRecip(&o, 0, r);
  EXPECT_EQ(ItemCount(o.hNote, "WQSNHE"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "WQSPO"), 1);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(CopyTest, ExtendedToSimpleDropsNextHopAndPOLists) {
  NOTEID src = SaveMessage(&q1_, WQS_MSG_EXTENDED, Recips(2));
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  c.hCurNHEList = 0xABCD;  // the caller's record is not cleared...
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, FALSE, WQS_MSG_SIMPLE, &c), NOERROR);
  EXPECT_EQ(c.hCurNHEList, 0xABCDu);  // ...and a simple copy has no NHE list
  EXPECT_EQ(ItemCount(c.hNote, "WQSNHE"), 0);
  EXPECT_EQ(ItemCount(c.hNote, "WQSPO"), 0);
  EXPECT_EQ(ItemCount(c.hNote, "WQSRecip0"), 0);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
  NOTEHANDLE h = OpenNote(&q1_, copy);
  EXPECT_EQ(ItemCount(h, "WQSNHE"), 0);
  EXPECT_EQ(ItemCount(h, "WQSPO"), 0);
  EXPECT_EQ(ItemCount(h, "WQSRecip0"), 1);
  QDSNoteClose(h);
}

TEST_F(CopyTest, DropFromThreeListsAndKeepFromTwo) {
  // Names of 20000 bytes: three fit a list, so seven make three lists.
  std::vector<Recip> rs = Recips(7, 20000);
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, rs);
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(+s.info.wNumRecipLists, 3);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, FALSE, WQS_MSG_SIMPLE, &c), NOERROR);
  for (const char* n : {"WQSRecip0", "WQSRecip1", "WQSRecip2"}) {
    EXPECT_EQ(ItemCount(c.hNote, n), 0) << n;
  }
  EXPECT_EQ(+c.info.wNumRecipLists, 1);
  EXPECT_EQ(+c.info.user.wNumRecip, 0);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&c), NOERROR);

  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_SIMPLE, &c), NOERROR);
  EXPECT_EQ(+c.info.wNumRecipLists, 3);
  EXPECT_EQ(ItemCount(c.hNote, "WQSRecip0"), 1);
  EXPECT_EQ(ItemCount(c.hNote, "WQSRecip1"), 1);
  EXPECT_EQ(ItemCount(c.hNote, "WQSRecip2"), 0);  // now the current list
  // The current list is the former last one: one name of 20000 bytes.
  EXPECT_EQ(c.wCurRecipListLen, 2u + 2 + 20000);
  Recip extra = MakeRecip(50, 20000);
  Append(&c, extra);  // joins the current list: 40008 < 60416
  EXPECT_EQ(+c.info.wNumRecipLists, 3);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, copy, &o), NOERROR);
  ASSERT_EQ(+o.info.user.wNumRecip, 8);
  EXPECT_EQ(+o.info.wNumRecipLists, 3);
  for (WORD i = 0; i < 7; i++) ExpectRecip(&o, i, rs[i]);
  ExpectRecip(&o, 7, extra);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(CopyTest, KeptStateGrowsLikeAnOwnArray) {
  std::vector<Recip> rs = Recips(25);
  NOTEID src = SaveMessage(&q1_, WQS_MSG_EXTENDED, rs);
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_EXTENDED, &c), NOERROR);
  EXPECT_EQ(+c.daRecipData->dwSize, 1124u);
  std::vector<Recip> more = Recips(30, 0, 100);
  for (const Recip& r : more) Append(&c, r);
  EXPECT_EQ(+c.info.user.wNumRecip, 55);
  EXPECT_EQ(+c.daRecipData->dwUsedEntries, 55u);
  EXPECT_EQ(+c.daRecipData->dwSize, 24u + 22 * 150);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, copy, &o), NOERROR);
  ASSERT_EQ(+o.info.user.wNumRecip, 55);
  for (WORD i = 0; i < 25; i++) ExpectRecip(&o, i, rs[i]);
  for (WORD i = 0; i < 30; i++) ExpectRecip(&o, 25 + i, more[i]);
  EXPECT_EQ(ItemValue(o.hNote, "WQSRecipData").size(), 34u + 24 + 22 * 150);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(CopyTest, DiscardOfKeptCopyReleasesEverythingOnce) {
  NOTEID src = SaveMessage(&q1_, WQS_MSG_EXTENDED, Recips(3));
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  DWORD opened = OSMemTestTotalBlocks();
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_EXTENDED, &c), NOERROR);
  DWORD copyBlocks = 0;
  OSMemTestCount(WQS_TAG_MSGCOPY, &copyBlocks, nullptr);
  EXPECT_EQ(copyBlocks, 1u);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&c), NOERROR);
  OSMemTestCount(WQS_TAG_MSGCOPY, &copyBlocks, nullptr);
  EXPECT_EQ(copyBlocks, 0u);
  EXPECT_EQ(OSMemTestTotalBlocks(), opened);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
}

TEST_F(CopyTest, CopyKeepsOneAttachmentTable) {
  // A source with one attachment.
  msg_handle_t m;
  ASSERT_EQ(WQSCreateMsg(&q1_, WQS_MSG_SIMPLE, &m), NOERROR);
  Append(&m, MakeRecip(1));
  file_descriptor_t fd{};
  fd.fileType = 1;
  fd.wNameLen = 5;
  memcpy(fd.fileName, "a.txt", 5);
  fd.size = 10;
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m, &fd, &fb), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
  NOTEID src = m.info.user.dwQueueMsgID;

  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  ASSERT_EQ(+s.info.wNumAttachments, 1);
  ASSERT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_SIMPLE, &c), NOERROR);
  EXPECT_EQ(+c.info.wNumAttachments, 0);
  EXPECT_EQ(ItemCount(c.hNote, "WQSAttachInfo"), 0);
  EXPECT_EQ(ItemCount(c.hNote, "$FILE"), 1);  // the source's object stays
  file_descriptor_t fd2 = fd;
  memcpy(fd2.fileName, "b.txt", 5);
  file_block_t fb2;
  ASSERT_EQ(WQSCreateFileBlock(&c, &fd2, &fb2), NOERROR);
  NOTEID copy = Save(&c);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, copy, &o), NOERROR);
  EXPECT_EQ(ItemCount(o.hNote, "WQSAttachInfo"), 1);
  EXPECT_EQ(ItemCount(o.hNote, "$FILE"), 2);
  ASSERT_EQ(WQSGetNumFileBlocks(&o), 1);
  file_descriptor_t* pfd = nullptr;
  file_block_t* pfb = nullptr;
  WQSGetFileBlockInfo(&o, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(+pfb->RRV, +fb2.RRV);
  EXPECT_EQ(memcmp(pfd->fileName, "b.txt", 5), 0);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(CopyTest, MoveListOfMissingItemAllocatesNothing) {
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, Recips(2));
  NOTEHANDLE h = OpenNote(&q1_, src);
  DWORD before = 0;
  OSMemTestCount(WQS_TAG_MOVEDLIST, &before, nullptr);
  DHANDLE list = 0x77;
  WORD len = 0x55;
  EXPECT_EQ(WQSMoveListFromNoteToMem(h, "NoSuchList", &list, &len),
            ERR_ITEM_NOT_FOUND);
  DWORD after = 0;
  OSMemTestCount(WQS_TAG_MOVEDLIST, &after, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(list, 0x77u);
  EXPECT_EQ(len, 0x55);

  // The present list comes out without its type code, extendable.
  ASSERT_EQ(WQSMoveListFromNoteToMem(h, "WQSRecip0", &list, &len), NOERROR);
  std::vector<uint8_t> stored = ItemValue(h, "WQSRecip0");
  ASSERT_EQ(len, stored.size() - 2);
  const char* p = static_cast<const char*>(OSLockObject(list));
  EXPECT_EQ(memcmp(p, stored.data() + 2, len), 0);
  EXPECT_EQ(ListGetNumEntries(p, FALSE), 2);
  OSUnlockObject(list);
  EXPECT_EQ(ItemCount(h, "WQSRecip0"), 1);  // the move does not delete
  EXPECT_EQ(OSMemFree(list), NOERROR);
  QDSNoteClose(h);
}

TEST_F(CopyTest, DamagedStoredStateIsRefusedAndReleased) {
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, Recips(2));
  msg_handle_t s, c;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  // Break the state array in the open document (never saved): an entry
  // size that is not a recipient state's.
  std::vector<uint8_t> v = ItemValue(s.hNote, "WQSRecipData");
  ASSERT_GT(v.size(), 58u);
  v[42] = 23;
  ASSERT_EQ(QDSItemDelete(s.hNote, "WQSRecipData", 12), NOERROR);
  ASSERT_EQ(QDSItemAppend(s.hNote, 0, "WQSRecipData", 12, TYPE_USERDATA,
                          v.data() + 2, (DWORD)v.size() - 2),
            NOERROR);
  DWORD opened = OSMemTestTotalBlocks();
  memset(&c, 0x3C, sizeof c);
  EXPECT_EQ(WQSCopyMsg(&q1_, &q1_, &s, TRUE, WQS_MSG_SIMPLE, &c),
            ERR_WQS_CORRUPT);
  EXPECT_EQ(OSMemTestTotalBlocks(), opened);
  EXPECT_EQ(c.hNote, 0x3C3C3C3Cu);  // the caller's record is untouched
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
}

}  // namespace
}  // namespace wqsext
