// Stored message format and open/update/close round trips: byte layouts of
// the library's items, recipient lists across roll-overs, extended
// messages, attachments table, and what the update close writes back.
#include <cstring>

#include "core_util.h"

namespace wqstest {
namespace {

class MsgTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
  DBHANDLE db() const { return queue_.dbhandle; }
};

// The 88 stored bytes of WQSMsgInfo, built by hand.
Bytes ExpectedMsgInfo(WORD type, WORD nAttach, WORD nLists,
                      const user_msg_info_t& user) {
  Bytes b;
  PutW(&b, 0x000E);
  b.push_back(32);
  const char name[] = "WQS_MSG_INFO_BLOCK";
  Bytes area(31, 0);
  memcpy(area.data(), name, sizeof(name));  // with its terminator
  PutBytes(&b, area.data(), 31);
  PutW(&b, type);
  PutW(&b, nAttach);
  PutW(&b, nLists);
  PutDW(&b, user.dwSize);
  PutDW(&b, user.dwQueueMsgID);
  PutW(&b, user.wNumRecip);
  PutW(&b, user.wPriority);
  PutW(&b, user.wFormat);
  PutW(&b, user.wRetries);
  PutDW(&b, user.tdNextRetry.Innards[0]);
  PutDW(&b, user.tdNextRetry.Innards[1]);
  PutDW(&b, user.dwFailureReason);
  PutDW(&b, user.dwUserInfo1);
  PutDW(&b, user.dwUserInfo2);
  PutDW(&b, user.dwUserInfo3);
  PutDW(&b, user.dwUserInfo4);
  PutDW(&b, user.dwUserInfo5);
  return b;
}

Bytes RecipDataBytes(const recip_data_t& d) {
  Bytes b;
  PutDW(&b, d.dwRecipType);
  PutDW(&b, d.dwErrorCode);
  PutDW(&b, d.tdNextRetry.Innards[0]);
  PutDW(&b, d.tdNextRetry.Innards[1]);
  PutDW(&b, d.dwUserInfo);
  PutW(&b, d.wRetries);
  return b;
}

// Checks a stored array item against the fixed header and sizes; the
// writer's handle (bytes 34..37) and the slots past the used ones carry
// no meaning and are not compared.
void ExpectArrayItem(const Bytes& v, const char* header, DWORD entrySize,
                     DWORD granularity, DWORD used, DWORD capacity,
                     const Bytes& entries) {
  ASSERT_EQ(v.size(), 34u + 24u + capacity * entrySize);
  EXPECT_EQ(GetW(v, 0), 0x000E);
  EXPECT_EQ(v[2], 32);
  size_t n = strlen(header);
  EXPECT_EQ(memcmp(&v[3], header, n), 0);
  EXPECT_EQ(GetDW(v, 38), 24u + capacity * entrySize);
  EXPECT_EQ(GetDW(v, 42), entrySize);
  EXPECT_EQ(GetDW(v, 46), granularity);
  EXPECT_EQ(GetDW(v, 50), used);
  EXPECT_EQ(GetDW(v, 54), capacity - used);
  ASSERT_EQ(entries.size(), used * entrySize);
  if (!entries.empty()) {
    EXPECT_EQ(memcmp(&v[58], entries.data(), entries.size()), 0);
  }
}

TEST_F(MsgTest, EmptySimpleMessageLayout) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  EXPECT_EQ(h.info.wNumRecipLists, 1);
  EXPECT_EQ(h.info.user.wNumRecip, 0);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  user_msg_info_t* pi = nullptr;
  WQSGetMsgInfo(&h, &pi);
  NOTEID id = pi->dwQueueMsgID;
  ASSERT_NE(id, 0u);

  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
  user_msg_info_t zero;
  memset(&zero, 0, sizeof(zero));
  // The stored id is what the handle held before the save: 0.
  EXPECT_EQ(ItemBytes(note, "WQSMsgInfo"),
            ExpectedMsgInfo(WQS_MSG_SIMPLE, 0, 1, zero));
  EXPECT_EQ(ItemBytes(note, "WQSRecip0"), TextListValue({}));
  Bytes rd = ItemBytes(note, "WQSRecipData");
  EXPECT_EQ(rd.size(), 1158u);
  ExpectArrayItem(rd, "WQSRecipData", 22, 50, 0, 50, Bytes());
  // The header name area after the name is zeroed by this writer.
  for (size_t i = 3 + 12; i < 34; i++) EXPECT_EQ(rd[i], 0) << i;
  bool found = true;
  ItemBytes(note, "WQSNHE", &found);
  EXPECT_FALSE(found);
  ItemBytes(note, "WQSPO", &found);
  EXPECT_FALSE(found);
  ItemBytes(note, "WQSAttachInfo", &found);
  EXPECT_FALSE(found);
  ItemBytes(note, "WQSRecip1", &found);
  EXPECT_FALSE(found);
  for (const char* n : {"WQSMsgInfo", "WQSRecip0", "WQSRecipData"}) {
    EXPECT_EQ(ItemFlags(note, n), 0) << n;
  }
  WORD type = 0;
  QDSItemInfo(note, "WQSRecip0", 9, &type, nullptr, nullptr);
  EXPECT_EQ(type, TYPE_TEXT_LIST);
  QDSItemInfo(note, "WQSRecipData", 12, &type, nullptr, nullptr);
  EXPECT_EQ(type, TYPE_USERDATA);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
}

TEST_F(MsgTest, EmptyExtendedMessageHasAllLists) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, {});
  ASSERT_NE(id, 0u);
  user_msg_info_t zero;
  memset(&zero, 0, sizeof(zero));
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"),
            ExpectedMsgInfo(WQS_MSG_EXTENDED, 0, 1, zero));
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"), TextListValue({}));
  EXPECT_EQ(StoredItem(db(), id, "WQSNHE"), TextListValue({}));
  EXPECT_EQ(StoredItem(db(), id, "WQSPO"), TextListValue({}));
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData").size(), 1158u);

  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_NE(h.pNHEList, nullptr);
  EXPECT_NE(h.pPOList, nullptr);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(MsgTest, SimpleRoundTrip) {
  std::vector<Recip> r = {MakeRecip(1), MakeRecip(2), MakeRecip(3)};
  user_msg_info_t info;
  memset(&info, 0, sizeof(info));
  info.dwSize = 0xA1B2C3D4;
  info.wPriority = 3;
  info.wFormat = 9;
  info.wRetries = 5;
  info.tdNextRetry.Innards[0] = 0x01020304;
  info.tdNextRetry.Innards[1] = 0x05060708;
  info.dwFailureReason = 77;
  info.dwUserInfo1 = 1;
  info.dwUserInfo2 = 2;
  info.dwUserInfo3 = 3;
  info.dwUserInfo4 = 4;
  info.dwUserInfo5 = 0xFFFFFFFF;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r, &info);
  ASSERT_NE(id, 0u);

  user_msg_info_t want = info;
  want.wNumRecip = 3;
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"),
            ExpectedMsgInfo(WQS_MSG_SIMPLE, 0, 1, want));
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"),
            TextListValue({r[0].name, r[1].name, r[2].name}));
  Bytes entries;
  for (const Recip& x : r) {
    Bytes e = RecipDataBytes(x.data);
    entries.insert(entries.end(), e.begin(), e.end());
  }
  ExpectArrayItem(StoredItem(db(), id, "WQSRecipData"), "WQSRecipData", 22,
                  50, 3, 50, entries);

  msg_handle_t h;
  memset(&h, 0x77, sizeof(h));  // the open does not rely on a clean record
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(h.wq.dbhandle, queue_.dbhandle);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_EQ(h.info.user.wNumRecip, 3);
  EXPECT_EQ(h.info.user.wRetries, 5);
  EXPECT_EQ(h.bRecipDataDirty, FALSE);
  ASSERT_NE(h.daRecipListBIDs, nullptr);
  EXPECT_EQ(DAGetNumberOfEntries(h.daRecipListBIDs), 1u);
  EXPECT_EQ(h.daRecipListBIDs->dwEntrySize, sizeof(BLOCKID));
  EXPECT_EQ(h.daRecipListPtrs->dwEntrySize, sizeof(void*));
  EXPECT_EQ(h.daRecipData->dwSize, 1124u);
  for (WORD i = 0; i < 3; i++) {
    recip_info_t ri;
    memset(&ri, 0, sizeof(ri));
    char sentinel[] = "keep";
    ri.pNextHop = sentinel;
    ri.wNextHopLen = 4;
    ri.pPOName = sentinel;
    ri.wPONameLen = 3;
    ASSERT_EQ(WQSGetRecipient(&h, i, &ri), NOERROR);
    EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r[i].name);
    EXPECT_EQ(memcmp(&ri.data, &r[i].data, sizeof(recip_data_t)), 0);
    // A simple message leaves the caller's other texts alone.
    EXPECT_EQ(ri.pNextHop, sentinel);
    EXPECT_EQ(ri.wNextHopLen, 4);
    EXPECT_EQ(ri.pPOName, sentinel);
    EXPECT_EQ(ri.wPONameLen, 3);
  }
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

// Appends names of `len` bytes until the list holds `count` of them.
std::vector<Recip> Names(int first, int count, size_t len) {
  std::vector<Recip> r;
  for (int i = 0; i < count; i++) r.push_back(MakeRecip(first + i, len));
  return r;
}

TEST_F(MsgTest, RollOverBoundary) {
  // 59 names of 1000 bytes make list 0 2 + 59 * 1002 = 59120 bytes long.
  for (int variant = 0; variant < 2; variant++) {
    SCOPED_TRACE(variant);
    std::vector<Recip> r = Names(0, 59, 1000);
    // 59120 + 1295 = 60415 stays in list 0; 59120 + 1296 = 60416 rolls.
    size_t len = variant == 0 ? 1295 : 1296;
    r.push_back(MakeRecip(59, len));
    r.push_back(MakeRecip(60, 10));

    msg_handle_t h;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
    for (size_t i = 0; i < 59; i++) {
      recip_info_t ri = RecipInfo(r[i]);
      ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    }
    EXPECT_EQ(h.wCurRecipListLen, 59120);
    recip_info_t ri = RecipInfo(r[59]);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    if (variant == 0) {
      EXPECT_EQ(h.info.wNumRecipLists, 1);
      EXPECT_EQ(h.wCurRecipListLen, 59120 + 2 + 1295);
      EXPECT_FALSE(QDSItemIsPresent(h.hNote, "WQSRecip0", 9));
    } else {
      // List 0 is stored at once; the name starts list 1.
      EXPECT_EQ(h.info.wNumRecipLists, 2);
      EXPECT_EQ(h.wCurRecipListLen, 2 + 2 + 1296);
      EXPECT_TRUE(QDSItemIsPresent(h.hNote, "WQSRecip0", 9));
    }
    ri = RecipInfo(r[60]);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    // Variant 0: 60417 + 10 rolls over; variant 1: stays in list 1.
    EXPECT_EQ(h.info.wNumRecipLists, 2);
    EXPECT_EQ(h.info.user.wNumRecip, 61);
    ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
    NOTEID id = h.info.user.dwQueueMsgID;

    std::vector<std::string> l0 = ParseTextList(StoredItem(db(), id, "WQSRecip0"));
    std::vector<std::string> l1 = ParseTextList(StoredItem(db(), id, "WQSRecip1"));
    size_t n0 = variant == 0 ? 60 : 59;
    ASSERT_EQ(l0.size(), n0);
    ASSERT_EQ(l1.size(), 61 - n0);
    for (size_t i = 0; i < 61; i++) {
      EXPECT_EQ(i < n0 ? l0[i] : l1[i - n0], r[i].name) << i;
    }

    msg_handle_t o;
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
    EXPECT_EQ(DAGetNumberOfEntries(o.daRecipListBIDs), 2u);
    EXPECT_EQ(DAGetNumberOfEntries(o.daRecipData), 61u);
    for (WORD i = 0; i < 61; i++) {
      recip_info_t got;
      memset(&got, 0, sizeof(got));
      ASSERT_EQ(WQSGetRecipient(&o, i, &got), NOERROR);
      EXPECT_EQ(std::string(got.pName, got.wNameLen), r[i].name) << i;
      EXPECT_EQ(memcmp(&got.data, &r[i].data, sizeof(recip_data_t)), 0) << i;
    }
    recip_info_t past;
    memset(&past, 0, sizeof(past));
    EXPECT_EQ(WQSGetRecipient(&o, 61, &past), ERR_WQS_RECIP_RANGE);
    EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  }
}

TEST_F(MsgTest, ThreeListsOpenInOrder) {
  // Two 30000-byte names fill a list; the third rolls over.
  std::vector<Recip> r = Names(0, 5, 30000);
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r);
  ASSERT_NE(id, 0u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(h.info.wNumRecipLists, 3);
  ASSERT_EQ(DAGetNumberOfEntries(h.daRecipListBIDs), 3u);
  ASSERT_EQ(DAGetNumberOfEntries(h.daRecipListPtrs), 3u);
  for (WORD k = 0; k < 3; k++) {
    BLOCKID bid;
    memcpy(&bid, DAGetEntry(h.daRecipListBIDs, k), sizeof(bid));
    void* p = nullptr;
    memcpy(&p, DAGetEntry(h.daRecipListPtrs, k), sizeof(p));
    EXPECT_EQ(bid.block, 0);
    // The address is the copy's locked address, type code first.
    EXPECT_EQ(OSLockObject(bid.pool), p);
    OSUnlockObject(bid.pool);
    Bytes stored = StoredItem(db(), id, "WQSRecip" + std::to_string(k));
    Bytes copy(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + stored.size());
    EXPECT_EQ(GetW(copy, 0), TYPE_TEXT_LIST);
    EXPECT_EQ(copy, stored);
    EXPECT_EQ(ParseTextList(stored).size(), k < 2 ? 2u : 1u);
  }
  DWORD lists = 0;
  OSMemTestCount(WQS_TAG_RECIPLIST, &lists, nullptr);
  EXPECT_EQ(lists, 3u);
  // Recipient 2 is entry 0 of list 1; recipient 4 entry 0 of list 2.
  for (WORD i = 0; i < 5; i++) {
    recip_info_t ri;
    memset(&ri, 0, sizeof(ri));
    ASSERT_EQ(WQSGetSimpleMsgRecipient(&h, i, &ri), NOERROR);
    EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r[i].name);
    EXPECT_EQ(Val(ri.data.dwUserInfo), Val(r[i].data.dwUserInfo));
  }
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  OSMemTestCount(WQS_TAG_RECIPLIST, &lists, nullptr);
  EXPECT_EQ(lists, 0u);
}

TEST_F(MsgTest, ExtendedRoundTripNeverRollsOver) {
  std::vector<Recip> r = {MakeRecip(1, 20300), MakeRecip(2, 20300),
                          MakeRecip(3, 20300), MakeRecip(4)};
  r[3].nextHop = "";
  r[3].po = "";
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h), NOERROR);
  for (const Recip& x : r) {
    recip_info_t ri = RecipInfo(x);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  }
  EXPECT_EQ(h.info.wNumRecipLists, 1);
  EXPECT_GT(h.wCurRecipListLen, 60416);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  NOTEID id = h.info.user.dwQueueMsgID;

  std::vector<std::string> names, hops, pos;
  for (const Recip& x : r) {
    names.push_back(x.name);
    hops.push_back(x.nextHop);
    pos.push_back(x.po);
  }
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"), TextListValue(names));
  EXPECT_EQ(StoredItem(db(), id, "WQSNHE"), TextListValue(hops));
  EXPECT_EQ(StoredItem(db(), id, "WQSPO"), TextListValue(pos));

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  for (WORD i = 0; i < 4; i++) {
    recip_info_t ri;
    memset(&ri, 0, sizeof(ri));
    ASSERT_EQ(WQSGetRecipient(&o, i, &ri), NOERROR);
    EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r[i].name);
    EXPECT_EQ(std::string(ri.pNextHop, ri.wNextHopLen), r[i].nextHop);
    EXPECT_EQ(std::string(ri.pPOName, ri.wPONameLen), r[i].po);
    EXPECT_EQ(memcmp(&ri.data, &r[i].data, sizeof(recip_data_t)), 0);
  }
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  EXPECT_EQ(WQSGetExtendedMsgRecipient(&o, 4, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(MsgTest, VariantAppendDoesNotCount) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  Recip r = MakeRecip(5);
  recip_info_t ri = RecipInfo(r);
  ASSERT_EQ(WQSAppendSimpleMsgRecipient(&h, &ri), NOERROR);
  EXPECT_EQ(h.info.user.wNumRecip, 0);
  EXPECT_EQ(h.bRecipDataDirty, FALSE);
  EXPECT_EQ(DAGetNumberOfEntries(h.daRecipData), 1u);
  ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
  EXPECT_EQ(h.info.user.wNumRecip, 1);
  EXPECT_EQ(h.bRecipDataDirty, TRUE);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
}

TEST_F(MsgTest, RecipientStateOutOfRange) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1), MakeRecip(2)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_data_t* p = reinterpret_cast<recip_data_t*>(0x1);
  WQSGetRecipientData(&h, 2, &p);
  EXPECT_EQ(p, nullptr);
  WQSGetRecipientData(&h, 60000, &p);
  EXPECT_EQ(p, nullptr);
  recip_data_t d = MakeRecip(9).data;
  WQSSetRecipientData(&h, 2, &d);  // nothing to change
  EXPECT_EQ(h.bRecipDataDirty, FALSE);
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  EXPECT_EQ(WQSGetRecipient(&h, 2, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  // In range works.
  WQSGetRecipientData(&h, 1, &p);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(Val(p->dwUserInfo), Val(MakeRecip(2).data.dwUserInfo));
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(MsgTest, UpdateCloseWritesStatesAndInfo) {
  std::vector<Recip> r = {MakeRecip(1), MakeRecip(2), MakeRecip(3)};
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r);
  ASSERT_NE(id, 0u);
  // Stored id is 0 until an update writes the real one.
  EXPECT_EQ(GetDW(StoredItem(db(), id, "WQSMsgInfo"), 2 + 38 + 4), 0u);

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
  ui->dwUserInfo3 = 0;
  ui->dwUserInfo5 = 0xCAFEBABE;
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);

  Bytes info = StoredItem(db(), id, "WQSMsgInfo");
  ASSERT_EQ(info.size(), 88u);
  EXPECT_EQ(GetDW(info, 2 + 38 + 4), id);
  EXPECT_EQ(GetW(info, 2 + 38 + 14), 1);
  EXPECT_EQ(GetDW(info, 2 + 38 + 44), 0xCAFEBABEu);
  Bytes rd = StoredItem(db(), id, "WQSRecipData");
  ASSERT_EQ(rd.size(), 1158u);
  EXPECT_EQ(GetDW(rd, 58 + 16), 6u);
  EXPECT_EQ(GetDW(rd, 58 + 4), 0u);
  EXPECT_EQ(GetDW(rd, 58 + 22 + 16), Val(r[1].data.dwUserInfo));
  EXPECT_EQ(GetDW(rd, 58 + 44 + 16), 0x00010006u);
  EXPECT_EQ(GetDW(rd, 50), 3u);
  // Lists are not rewritten.
  EXPECT_EQ(StoredItem(db(), id, "WQSRecip0"),
            TextListValue({r[0].name, r[1].name, r[2].name}));

  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
  EXPECT_EQ(ItemCount(note, "WQSMsgInfo"), 1);
  EXPECT_EQ(ItemCount(note, "WQSRecipData"), 1);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
}

TEST_F(MsgTest, PlainCloseStoresNothing) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1)});
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
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData"), before);
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"), infoBefore);
  bool found = true;
  StoredItem(db(), id, "WQMsgStatus", &found);
  EXPECT_FALSE(found);
}

TEST_F(MsgTest, SetMsgInfoCopiesWholeRecord) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE,
                          {MakeRecip(1), MakeRecip(2), MakeRecip(3)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  user_msg_info_t u;
  memset(&u, 0x11, sizeof(u));
  u.wNumRecip = 2;  // fewer than stored: nothing checks it on the way out
  u.dwQueueMsgID = 12345;
  WQSSetMsgInfo(&h, &u);
  EXPECT_EQ(memcmp(&h.info.user, &u, sizeof(u)), 0);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  Bytes info = StoredItem(db(), id, "WQSMsgInfo");
  EXPECT_EQ(GetW(info, 2 + 38 + 8), 2);
  EXPECT_EQ(GetDW(info, 2 + 38 + 4), 12345u);
  // Open replaces the stored id with the real one.
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
  EXPECT_EQ(h.info.user.wNumRecip, 2);
  // More recipients than names stored: that message no longer opens.
  u.wNumRecip = 4;
  WQSSetMsgInfo(&h, &u);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  EXPECT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), ERR_WQS_CORRUPT);
}

TEST_F(MsgTest, UpdateAfterMsgInfoDeleted) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&h, "WQSMsgInfo"), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&h, "WQSRecipData"), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo").size(), 88u);
  EXPECT_EQ(StoredItem(db(), id, "WQSRecipData").size(), 1158u);
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(MsgTest, AttachmentTableRoundTrip) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  h.daFileBlockArray = DACreate(sizeof(file_block_t), 1);
  ASSERT_NE(h.daFileBlockArray, nullptr);
  file_block_t fb[2];
  memset(fb, 0, sizeof(fb));
  for (int i = 0; i < 2; i++) {
    fb[i].RRV = 100 + i;
    fb[i].dwLength = 1000 * (i + 1);
    fb[i].fd.fileType = 1;
    memcpy(fb[i].fd.fileName, "file.txt", 8);
    fb[i].fd.wNameLen = 8;
    fb[i].fd.size = fb[i].dwLength;
    ASSERT_TRUE(DAAddEntry(&h.daFileBlockArray, &fb[i]));
  }
  h.info.wNumAttachments = 2;
  ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  NOTEID id = h.info.user.dwQueueMsgID;

  Bytes v = StoredItem(db(), id, "WQSAttachInfo");
  Bytes entries;
  PutBytes(&entries, fb, sizeof(fb));
  ExpectArrayItem(v, "WQS_MSG_ATTACH_BLOCK", 84, 1, 2, 2, entries);
  EXPECT_EQ(v.size(), 34u + 24u + 168u);
  EXPECT_EQ(GetW(StoredItem(db(), id, "WQSMsgInfo"), 2 + 34), 2);

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  ASSERT_NE(o.daFileBlockArray, nullptr);
  char* base = static_cast<char*>(OSLockObject(o.bidFileBlockArray.pool));
  OSUnlockObject(o.bidFileBlockArray.pool);
  EXPECT_EQ(reinterpret_cast<char*>(o.daFileBlockArray), base + 34);
  EXPECT_EQ(DAGetNumberOfEntries(o.daFileBlockArray), 2u);
  EXPECT_EQ(memcmp(DAGetEntry(o.daFileBlockArray, 1), &fb[1], 84), 0);
  DWORD blocks = 0;
  OSMemTestCount(WQS_TAG_ATTACHINFO, &blocks, nullptr);
  EXPECT_EQ(blocks, 1u);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  OSMemTestCount(WQS_TAG_ATTACHINFO, &blocks, nullptr);
  EXPECT_EQ(blocks, 0u);
}

TEST_F(MsgTest, ArrayWriterCutsLongHeaderName) {
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
  ASSERT_EQ(b.size(), 34u + 28u);
  EXPECT_EQ(b[2], 32);
  for (int i = 3; i < 34; i++) EXPECT_EQ(b[i], 'H');
  EXPECT_EQ(GetDW(b, 34), da->hArray);
  EXPECT_EQ(GetDW(b, 38), 28u);
  EXPECT_EQ(GetDW(b, 58), 0x11223344u);
  // The array itself is untouched and still the caller's.
  EXPECT_EQ(DAGetNumberOfEntries(da), 1u);
  EXPECT_TRUE(DADestroy(da));
  DWORD blocks = 0;
  OSMemTestCount(WQS_TAG_ARRAYVALUE, &blocks, nullptr);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  OSMemTestCount(WQS_TAG_ARRAYVALUE, &blocks, nullptr);
  EXPECT_EQ(blocks, 0u);
}

TEST_F(MsgTest, ArrayWriterFailureKeepsNothing) {
  dynarray_t* da = DACreate(22, 50);
  ASSERT_NE(da, nullptr);
  DWORD before = OSMemTestTotalBlocks();
  // A document handle that names nothing: the append fails and the value
  // block built for it is released.
  EXPECT_NE(WQSAppendDynArrayToNote(0x12345678, da, "WQSRecipData", 12,
                                    "WQSRecipData", 12),
            NOERROR);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  NOTEHANDLE note = 0;
  ASSERT_EQ(QDSNoteCreate(db(), &note), NOERROR);
  before = OSMemTestTotalBlocks();
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(WQSAppendDynArrayToNote(note, da, "X", 1, "X", 1),
            ERR_WQS_GENERAL);
  OSMemTestDisarm();
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_FALSE(QDSItemIsPresent(note, "X", 1));
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  EXPECT_TRUE(DADestroy(da));
}

TEST_F(MsgTest, CloseObjectsIsRepeatable) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, {MakeRecip(1)});
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(WQSCloseMsgObjects(&h), NOERROR);
  EXPECT_EQ(h.daRecipData, nullptr);
  EXPECT_EQ(h.daRecipListBIDs, nullptr);
  EXPECT_EQ(h.pNHEList, nullptr);
  EXPECT_EQ(WQSCloseMsgObjects(&h), NOERROR);
  EXPECT_EQ(QDSNoteClose(h.hNote), NOERROR);
}

TEST_F(MsgTest, OpenMissingNote) {
  msg_handle_t h;
  EXPECT_NE(WQSOpenMsgByMsgID(&queue_, 987654, &h), NOERROR);
}

}  // namespace
}  // namespace wqstest
