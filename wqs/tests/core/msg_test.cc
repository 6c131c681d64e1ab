// Stored message format and open/update/close round trips: byte layouts of
// the library's items, recipient lists across roll-overs, extended
// messages, the attachments table, and what the update close writes back.
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

Bytes RecipDataBytes(const std::vector<Recip>& r) {
  Bytes b;
  for (const Recip& x : r) {
    const recip_data_t& d = x.data;
    for (DWORD v : {d.dwRecipType, d.dwErrorCode, d.tdNextRetry.Innards[0],
                    d.tdNextRetry.Innards[1], d.dwUserInfo}) {
      PutDW(&b, v);
    }
    PutW(&b, d.wRetries);
  }
  return b;
}

// Checks a stored array item: type code, header name (zero-padded), sizes
// and the used entries; the writer's handle (bytes 34..37) and the slots
// past the used ones carry no meaning and are not compared.
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

TEST_F(MsgTest, EmptyMessageLayouts) {
  user_msg_info_t zero{};
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    SCOPED_TRACE(type);
    bool ext = type == WQS_MSG_EXTENDED;
    NOTEID id = SaveMessage(&queue_, type, {});
    ASSERT_NE(id, 0u);
    NOTEHANDLE note = 0;
    ASSERT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
    // The stored id is what the handle held before the save: 0.
    EXPECT_EQ(ItemBytes(note, "WQSMsgInfo"), ExpectedMsgInfo(type, 0, 1, zero));
    EXPECT_EQ(ItemBytes(note, "WQSRecip0"), TextListValue({}));
    Bytes rd = ItemBytes(note, "WQSRecipData");
    EXPECT_EQ(rd.size(), 1158u);
    ExpectArrayItem(rd, "WQSRecipData", 22, 50, 0, 50, Bytes());
    EXPECT_EQ(QDSItemCount(note), ext ? 5u : 3u);
    for (const char* n : {"WQSNHE", "WQSPO"}) {
      bool found = false;
      Bytes v = ItemBytes(note, n, &found);
      EXPECT_EQ(found, ext) << n;
      if (ext) {
        EXPECT_EQ(v, TextListValue({})) << n;
      }
    }
    for (const char* n : {"WQSAttachInfo", "WQSRecip1"}) {
      EXPECT_EQ(ItemCount(note, n), 0) << n;
    }
    for (const char* n : {"WQSMsgInfo", "WQSRecip0", "WQSRecipData"}) {
      EXPECT_EQ(ItemCount(note, n), 1) << n;
      EXPECT_EQ(ItemFlags(note, n), 0) << n;
    }
    EXPECT_EQ(QDSNoteClose(note), NOERROR);
  }
}

TEST_F(MsgTest, SimpleRoundTrip) {
  std::vector<Recip> r = MakeRecips(3, 0, 1);
  // Every byte distinct; the count and the id are the library's to set.
  user_msg_info_t info;
  for (size_t i = 0; i < sizeof(info); i++)
    ((BYTE*)&info)[i] = (BYTE)(i * 7 + 1);
  info.wNumRecip = 0;
  info.dwQueueMsgID = 0;
  info.dwUserInfo5 = 0xFFFFFFFF;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r, &info);
  ASSERT_NE(id, 0u);
  user_msg_info_t want = info;
  want.wNumRecip = 3;
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"),
            ExpectedMsgInfo(WQS_MSG_SIMPLE, 0, 1, want));
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"),
            TextListValue({r[0].name, r[1].name, r[2].name}));
  ExpectArrayItem(StoredItem(db(), id, "WQSRecipData"), "WQSRecipData", 22, 50,
                  3, 50, RecipDataBytes(r));

  msg_handle_t h;
  memset(&h, 0x77, sizeof(h));  // the open does not rely on a clean record
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_EQ(h.info.user.wRetries, info.wRetries);
  EXPECT_EQ(h.bRecipDataDirty, FALSE);
  EXPECT_EQ(h.daRecipData->dwSize, 1124u);
  for (WORD i = 0; i < 3; i++) {
    ExpectRecip(&h, i, r[i]);
    // A simple message leaves the caller's other texts alone.
    recip_info_t ri{};
    char sentinel[] = "keep";
    ri.pNextHop = ri.pPOName = sentinel;
    ri.wNextHopLen = 4;
    ASSERT_EQ(WQSGetRecipient(&h, i, &ri), NOERROR);
    EXPECT_EQ(ri.pNextHop, sentinel);
    EXPECT_EQ(ri.pPOName, sentinel);
    EXPECT_EQ(ri.wNextHopLen, 4);
  }
  // Indexes past the recipients: no state, no change, no name.
  recip_data_t* p = reinterpret_cast<recip_data_t*>(0x1);
  for (WORD i : {3, 60000}) {
    WQSGetRecipientData(&h, i, &p);
    EXPECT_EQ(p, nullptr);
  }
  recip_data_t d = MakeRecip(9).data;
  WQSSetRecipientData(&h, 3, &d);
  EXPECT_EQ(h.bRecipDataDirty, FALSE);
  recip_info_t ri{};
  EXPECT_EQ(WQSGetRecipient(&h, 3, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  EXPECT_NE(WQSOpenMsgByMsgID(&queue_, 987654, &h), NOERROR);
}

TEST_F(MsgTest, RollOverBoundary) {
  // 59 names of 1000 bytes make list 0 2 + 59 * 1002 = 59120 bytes long;
  // 59120 + 1295 = 60415 stays in list 0, 59120 + 1296 = 60416 rolls over.
  for (size_t len : {1295, 1296}) {
    SCOPED_TRACE(len);
    bool rolls = len == 1296;
    std::vector<Recip> r = MakeRecips(59, 1000);
    r.push_back(MakeRecip(59, len));
    r.push_back(MakeRecip(60, 10));
    msg_handle_t h;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
    for (size_t i = 0; i < 61; i++) {
      recip_info_t ri = RecipInfo(r[i]);
      ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
      if (i == 58) {
        EXPECT_EQ(h.wCurRecipListLen, 59120);
      }
      if (i == 59) {
        EXPECT_EQ(h.info.wNumRecipLists, rolls ? 2 : 1);
        EXPECT_EQ(h.wCurRecipListLen, rolls ? 2 + 2 + 1296 : 59120 + 2 + 1295);
        // A full list is stored at once.
        EXPECT_EQ(QDSItemIsPresent(h.hNote, "WQSRecip0", 9), rolls);
      }
    }
    // Without the roll-over, the last name rolls over instead.
    EXPECT_EQ(h.info.wNumRecipLists, 2);
    EXPECT_EQ(h.info.user.wNumRecip, 61);
    ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
    NOTEID id = h.info.user.dwQueueMsgID;

    auto l0 = ParseTextList(StoredItem(db(), id, "WQSRecip0"));
    auto l1 = ParseTextList(StoredItem(db(), id, "WQSRecip1"));
    size_t n0 = rolls ? 59 : 60;
    ASSERT_EQ(l0.size(), n0);
    ASSERT_EQ(l1.size(), 61 - n0);
    for (size_t i = 0; i < 61; i++) {
      EXPECT_EQ(i < n0 ? l0[i] : l1[i - n0], r[i].name) << i;
    }
    ExpectMessage(&queue_, id, r);
  }
}

TEST_F(MsgTest, ExtendedRoundTripNeverRollsOver) {
  std::vector<Recip> r = MakeRecips(3, 20300, 1);
  r.push_back(MakeRecip(4));
  r[3].nextHop = r[3].po = "";
  NOTEID id =
      SaveMessage(&queue_, WQS_MSG_EXTENDED, r, nullptr, [](msg_handle_t* h) {
        EXPECT_EQ(h->info.wNumRecipLists, 1);
        EXPECT_GT(h->wCurRecipListLen, 60416);
      });
  std::vector<std::string> names, hops, pos;
  for (const Recip& x : r) {
    names.push_back(x.name);
    hops.push_back(x.nextHop);
    pos.push_back(x.po);
  }
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"), TextListValue(names));
  EXPECT_EQ(StoredItem(db(), id, "WQSNHE"), TextListValue(hops));
  EXPECT_EQ(StoredItem(db(), id, "WQSPO"), TextListValue(pos));

  ExpectMessage(&queue_, id, r);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_info_t ri{};
  EXPECT_EQ(WQSGetExtendedMsgRecipient(&h, 4, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(MsgTest, UpdateCloseWritesStatesAndInfo) {
  std::vector<Recip> r = MakeRecips(3, 0, 1);
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r);
  ASSERT_NE(id, 0u);
  // The stored id stays 0 until an update writes the real one.
  EXPECT_EQ(GetDW(StoredItem(db(), id, "WQSMsgInfo"), kUser + 4), 0u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_data_t d = r[0].data;
  d.dwUserInfo = 6;
  d.dwErrorCode = 0;
  WQSSetRecipientData(&h, 0, &d);
  EXPECT_EQ(h.bRecipDataDirty, TRUE);
  recip_data_t* p = nullptr;
  WQSGetRecipientData(&h, 2, &p);
  ASSERT_NE(p, nullptr);
  p->dwUserInfo = 0x00010006;
  user_msg_info_t* ui = nullptr;
  WQSGetMsgInfo(&h, &ui);
  ASSERT_EQ(ui, &h.info.user);
  ui->wRetries = 1;
  ui->dwUserInfo5 = 0xCAFEBABE;
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);

  Bytes info = StoredItem(db(), id, "WQSMsgInfo");
  ASSERT_EQ(info.size(), 88u);
  EXPECT_EQ(GetDW(info, kUser + 4), id);
  EXPECT_EQ(GetW(info, kUser + 14), 1);
  EXPECT_EQ(GetDW(info, kUser + 44), 0xCAFEBABEu);
  Bytes rd = StoredItem(db(), id, "WQSRecipData");
  ASSERT_EQ(rd.size(), 1158u);
  EXPECT_EQ(GetDW(rd, 58 + 16), 6u);
  EXPECT_EQ(GetDW(rd, 58 + 4), 0u);
  EXPECT_EQ(GetDW(rd, 58 + 22 + 16), Val(r[1].data.dwUserInfo));
  EXPECT_EQ(GetDW(rd, 58 + 44 + 16), 0x00010006u);
  EXPECT_EQ(GetDW(rd, 50), 3u);
  // Lists are not rewritten, and nothing is stored twice.
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"),
            TextListValue({r[0].name, r[1].name, r[2].name}));
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
  EXPECT_EQ(ItemCount(note, "WQSMsgInfo"), 1);
  EXPECT_EQ(ItemCount(note, "WQSRecipData"), 1);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);

  // Deleted items are written again by the next update.
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&h, "WQSMsgInfo"), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&h, "WQSRecipData"), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"), info);
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData").size(), 1158u);
}

TEST_F(MsgTest, PlainCloseStoresNothing) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, {MakeRecip(1)});
  Bytes before = StoredItem(db(), id, "WQSRecipData");
  Bytes infoBefore = StoredItem(db(), id, "WQSMsgInfo");
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_data_t* p = nullptr;
  WQSGetRecipientData(&h, 0, &p);
  ASSERT_NE(p, nullptr);
  p->dwUserInfo = 999;
  h.info.user.wRetries = 42;
  ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 6), NOERROR);
  // Releasing the objects alone is repeatable and leaves the document open.
  EXPECT_EQ(WQSCloseMsgObjects(&h), NOERROR);
  EXPECT_EQ(h.daRecipData, nullptr);
  EXPECT_EQ(h.pNHEList, nullptr);
  EXPECT_EQ(WQSCloseMsgObjects(&h), NOERROR);
  EXPECT_EQ(QDSNoteClose(h.hNote), NOERROR);
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData"), before);
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"), infoBefore);
  bool found = true;
  StoredItem(db(), id, "WQMsgStatus", &found);
  EXPECT_FALSE(found);
}

TEST_F(MsgTest, StoredQueueMsgIdIsReplacedAtOpen) {
  user_msg_info_t u;
  memset(&u, 0x11, sizeof(u));
  u.wNumRecip = 0;
  u.dwQueueMsgID = 0xDEADBEEF;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, MakeRecips(3), &u);
  EXPECT_NE(id, 0xDEADBEEFu);
  // The save stores the creator's value as it was.
  EXPECT_EQ(GetDW(StoredItem(db(), id, "WQSMsgInfo"), kUser + 4), 0xDEADBEEFu);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  u.wNumRecip = 2;  // fewer than stored: nothing checks it on the way out
  u.dwQueueMsgID = 12345;
  WQSSetMsgInfo(&h, &u);
  EXPECT_EQ(memcmp(&h.info.user, &u, sizeof(u)), 0);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  Bytes info = StoredItem(db(), id, "WQSMsgInfo");
  EXPECT_EQ(GetW(info, kUser + 8), 2);
  EXPECT_EQ(GetDW(info, kUser + 4), 12345u);
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_EQ(h.info.user.wNumRecip, 2);
  // More recipients than names stored: that message no longer opens.
  u.wNumRecip = 4;
  WQSSetMsgInfo(&h, &u);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  EXPECT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), ERR_WQS_CORRUPT);
}

TEST_F(MsgTest, AttachmentTableRoundTrip) {
  file_block_t fb[2] = {};
  NOTEID id =
      SaveMessage(&queue_, WQS_MSG_SIMPLE, {}, nullptr, [&](msg_handle_t* h) {
        h->daFileBlockArray = DACreate(sizeof(file_block_t), 1);
        ASSERT_NE(h->daFileBlockArray, nullptr);
        for (int i = 0; i < 2; i++) {
          fb[i].RRV = 100 + i;
          fb[i].dwLength = fb[i].fd.size = 1000 * (i + 1);
          fb[i].fd.fileType = 1;
          memcpy(fb[i].fd.fileName, "file.txt", 8);
          fb[i].fd.wNameLen = 8;
          ASSERT_TRUE(DAAddEntry(&h->daFileBlockArray, &fb[i]));
        }
        h->info.wNumAttachments = 2;
      });
  Bytes entries;
  PutBytes(&entries, fb, sizeof(fb));
  ExpectArrayItem(StoredItem(db(), id, "WQSAttachInfo"), "WQS_MSG_ATTACH_BLOCK",
                  84, 1, 2, 2, entries);
  EXPECT_EQ(GetW(StoredItem(db(), id, "WQSMsgInfo"), 2 + 34), 2);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  ASSERT_NE(o.daFileBlockArray, nullptr);
  char* base = static_cast<char*>(OSLockObject(o.bidFileBlockArray.pool));
  OSUnlockObject(o.bidFileBlockArray.pool);
  EXPECT_EQ(reinterpret_cast<char*>(o.daFileBlockArray), base + 34);
  EXPECT_EQ(DAGetNumberOfEntries(o.daFileBlockArray), 2u);
  EXPECT_EQ(memcmp(DAGetEntry(o.daFileBlockArray, 1), &fb[1], 84), 0);
  EXPECT_EQ(Blocks(WQS_TAG_ATTACHINFO), 1u);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_ATTACHINFO), 0u);
}

TEST_F(MsgTest, ArrayWriterCutsLongNameAndCleansUpOnFailure) {
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteCreate(db(), &note), NOERROR);
  dynarray_t* da = DACreate(4, 1);
  ASSERT_NE(da, nullptr);
  DWORD v = 0x11223344;
  ASSERT_TRUE(DAAddEntry(&da, &v));
  std::string longName(40, 'H');
  ASSERT_EQ(WQSAppendDynArrayToNote(note, da, "Arr", 3, longName.data(),
                                    (WORD)longName.size()),
            NOERROR);
  Bytes b = ItemBytes(note, "Arr");
  Bytes want = ArrayItemValue(std::string(31, 'H'), 4, 1, 1, 0, 1,
                              {0x44, 0x33, 0x22, 0x11});
  for (int i = 0; i < 4; i++) want[34 + i] = (BYTE)(da->hArray >> (8 * i));
  EXPECT_EQ(b, want);
  EXPECT_EQ(DAGetNumberOfEntries(da), 1u);  // still the caller's

  // A document handle that names nothing, then a lock fault: the value
  // block built for the item is released and nothing is appended.
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_NE(WQSAppendDynArrayToNote(0x12345678, da, "X", 1, "X", 1), NOERROR);
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(WQSAppendDynArrayToNote(note, da, "X", 1, "X", 1), ERR_WQS_GENERAL);
  OSMemTestDisarm();
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_FALSE(QDSItemIsPresent(note, "X", 1));
  EXPECT_TRUE(DADestroy(da));
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_ARRAYVALUE), 0u);
}

}  // namespace
}  // namespace wqstest
