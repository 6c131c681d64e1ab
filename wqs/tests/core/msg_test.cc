// Stored message format, open/update/close round trips, disposal and typed
// field reads.
#include "core_util.h"

namespace wqstest {
namespace {

typedef QueueTest MsgTest;

constexpr size_t kUser = 2 + 38;  // user_msg_info_t in the WQSMsgInfo value

TEST_F(MsgTest, EmptyMessageLayout) {
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {});
  ASSERT_NE(id, 0u);
  // Type code, 32-byte header name, fields: WQSMsgInfo has message type,
  // attachments, lists and zero user info; WQSRecipData (hArray, size,
  // entry size, granularity, used, available) and 50 slots.
  auto head = [](WORD type, const std::string& name) {
    Bytes b;
    PutW(&b, type);
    b.resize(34, 0);
    b[2] = 32;
    memcpy(&b[3], name.c_str(), name.size() + 1);
    return b;
  };
  Bytes info = head(0x000E, "WQS_MSG_INFO_BLOCK");
  for (WORD w : {WQS_MSG_SIMPLE, (WORD)0, (WORD)1}) PutW(&info, w);
  info.resize(88, 0);
  EXPECT_EQ(StoredItem(db(), id, "WQSMsgInfo"), info);
  Bytes rd = head(TYPE_USERDATA, "WQSRecipData");
  for (DWORD v : {(DWORD)0, 24u + 50 * 22, 22u, 50u, 0u, 50u}) PutDW(&rd, v);
  Bytes got = StoredItem(db(), id, "WQSRecipData");
  ASSERT_EQ(got.size(), 1158u);
  std::fill(got.begin() + 34, got.begin() + 38, 0);  // the writer's hArray
  EXPECT_EQ(Bytes(got.begin(), got.begin() + rd.size()), rd);
}

// A header name fills at most the 31 bytes of its area; the array image
// follows the header whole.
TEST_F(MsgTest, ArrayItemHeaderNameCutTo31Bytes) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  dynarray_t* da = DACreate(sizeof(DWORD), 1);
  ASSERT_NE(da, nullptr);
  DWORD v = 0xA1B2C3D4;
  ASSERT_TRUE(DAAddEntry(&da, &v));
  const std::string name(40, 'N');
  ASSERT_EQ(WQSAppendDynArrayToNote(h.hNote, da, "Arr", 3, name.data(), 40), NOERROR);
  EXPECT_TRUE(DADestroy(da));
  Bytes want;
  PutW(&want, TYPE_USERDATA);
  want.push_back(32);
  PutBytes(&want, name.data(), 31);
  for (DWORD d : {0u, 24u + 4, 4u, 1u, 1u, 0u, 0xA1B2C3D4u}) PutDW(&want, d);
  Bytes got = ItemBytes(h.hNote, "Arr");
  ASSERT_EQ(got.size(), want.size());
  std::fill(got.begin() + 34, got.begin() + 38, 0);  // the writer's hArray
  EXPECT_EQ(got, want);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
}

TEST_F(MsgTest, RollOverBoundary) {
  // 59 names of 1000 bytes make list 0 2 + 59 * 1002 = 59120 bytes long;
  // 59120 + 1295 = 60415 stays in list 0, 59120 + 1296 = 60416 rolls over.
  for (size_t len : {1295, 1296}) {
    std::vector<Recip> r = MakeRecips(59, 1000);
    r.push_back(MakeRecip(59, len));
    NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r, nullptr,
                            [len](msg_handle_t* h) {
                              EXPECT_EQ(h->info.wNumRecipLists,
                                        len == 1296 ? 2 : 1) << len;
                            });
    ExpectMessage(&queue_, id, r);
  }
}

// The stored queue message id is replaced at open; an update close writes
// recipient states and message info.
TEST_F(MsgTest, UpdateCloseWritesStatesAndInfo) {
  std::vector<Recip> r = MakeRecips(3, 0, 1);
  user_msg_info_t u{};
  u.dwQueueMsgID = 0xDEADBEEF;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, r, &u);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), id);
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

// Extended recipients are read name, next hop, post office: the first
// list too short ends the read with the text list's own STATUS, and what
// was read before it keeps its new value.
TEST_F(MsgTest, ExtendedRecipientReadStopsAtAShortListKeepingWhatItRead) {
  std::vector<Recip> r = MakeRecips(2);
  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, r);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  static const unsigned char kOnePo[] = {0x01, 0x05, 1, 0, 2, 0, 'P', 'O'};
  void* po = h.pPOList;
  h.pPOList = const_cast<unsigned char*>(kOnePo);
  char keep[] = "caller";
  recip_info_t ri{};
  ri.pPOName = keep;
  ri.wPONameLen = 6;
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_LIST_INDEX);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r[1].name);
  EXPECT_EQ(std::string(ri.pNextHop, ri.wNextHopLen), r[1].nextHop);
  EXPECT_EQ(ri.pPOName, keep);
  EXPECT_EQ(ri.wPONameLen, 6);
  h.pPOList = po;
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

// Recipients are appended only while a message is built; an opened one
// refuses them and changes nothing, and reads stay within its recipients.
TEST_F(MsgTest, OpenedMessageRefusesAppendsAndReadsPastItsRecipients) {
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    std::vector<Recip> r = MakeRecips(2);
    NOTEID id = SaveMessage(&queue_, type, r);
    msg_handle_t h;
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
    Recip extra = MakeRecip(7);
    recip_info_t ri = RecipInfo(extra);
    EXPECT_EQ(WQSAppendRecipient(&h, &ri), ERR_WQS_GENERAL) << type;
    EXPECT_EQ(WQSGetRecipient(&h, 2, &ri),
              type == WQS_MSG_EXTENDED ? ERR_LIST_INDEX : ERR_WQS_RECIP_RANGE)
        << type;
    EXPECT_EQ(Val(h.info.user.wNumRecip), 2) << type;
    ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
    ExpectMessage(&queue_, id, r);
  }
}

// Requeue counts the retries down to 0, purge deletes the document.
TEST_F(MsgTest, RequeueAndPurge) {
  for (WORD start : {5, 0}) {
    user_msg_info_t info{};
    info.wRetries = start;
    NOTEID id =
        SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(2, 0, 1), &info);
    msg_handle_t h;
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
    ASSERT_EQ(WQSCloseMsgAndReQueue(&h), NOERROR);
    EXPECT_EQ(GetW(StoredItem(db(), id, "WQSMsgInfo"), kUser + 14),
              start > 0 ? start - 1 : 0);
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
    ASSERT_EQ(WQSCloseMsgAndPurge(&h), NOERROR);
    NOTEHANDLE note = 0;
    EXPECT_EQ(QDSNoteOpen(db(), id, 0, &note), ERR_NOTE_NOT_FOUND);
  }
}

// Flags of the first item `name`; 0xFFFF when absent.
WORD FlagsOf(NOTEHANDLE hNote, const std::string& name) {
  for (DWORD i = 0, n = QDSItemCount(hNote); i < n; i++) {
    char buf[256];
    WORD len = 0, flags = 0;
    if (QDSItemInfoByIndex(hNote, i, buf, sizeof(buf), &len, &flags, nullptr,
                           nullptr, nullptr) == NOERROR &&
        std::string(buf, len) == name) {
      return flags;
    }
  }
  return 0xFFFF;
}

// Stored forms: booleans "1"/"0" as text, DWORDs as unsigned doubles, time
// stamps as they are, data blocks as given; the summary flag only for
// bUseInIndex exactly 1, and TRUE only for bValue exactly 1.
TEST_F(MsgTest, TypedFieldsStoredFormsAndSummaryFlag) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  TIMEDATE t;
  TimeFromMicros(0x0102030405060708LL, &t);
  auto value = [](WORD type, const void* p, size_t n) {
    Bytes b;
    PutW(&b, type);
    PutBytes(&b, p, n);
    return b;
  };
  const double max = 4294967295.0;
  const struct {
    const char* name;
    STATUS (*add)(msg_handle_t*, const char*, const TIMEDATE*);
    WORD flags;
    Bytes stored;
  } cases[] = {
      {"BoolT", [](msg_handle_t* m, const char* n, const TIMEDATE*) {
         return WQSAddBool(m, TRUE, n, TRUE); }, ITEM_SUMMARY, value(TYPE_TEXT, "1", 1)},
      {"Bool2", [](msg_handle_t* m, const char* n, const TIMEDATE*) {
         return WQSAddBool(m, 2, n, 2); }, 0, value(TYPE_TEXT, "0", 1)},
      {"Max", [](msg_handle_t* m, const char* n, const TIMEDATE*) {
         return WQSAddDWORD(m, TRUE, n, 0xFFFFFFFF); }, ITEM_SUMMARY, value(TYPE_NUMBER, &max, 8)},
      {"Dw2", [](msg_handle_t* m, const char* n, const TIMEDATE*) {
         return WQSAddDWORD(m, 2, n, 0xFFFFFFFF); }, 0, value(TYPE_NUMBER, &max, 8)},
      {"Time", [](msg_handle_t* m, const char* n, const TIMEDATE* td) {
         return WQSAddTIMEDATE(m, 2, n, td); }, 0, value(TYPE_TIME, &t, 8)},
      {"Empty", [](msg_handle_t* m, const char* n, const TIMEDATE*) {
         return WQSAddDataBlock(m, TRUE, n, "", 0); }, ITEM_SUMMARY, value(TYPE_TEXT, "", 0)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.add(&h, c.name, &t), NOERROR) << c.name;
    EXPECT_EQ(FlagsOf(h.hNote, c.name), c.flags) << c.name;
    EXPECT_EQ(ItemBytes(h.hNote, c.name), c.stored) << c.name;
  }
  BOOL b = 5;
  EXPECT_EQ(WQSGetBool(&h, "Bool2", &b), NOERROR);
  EXPECT_EQ(b, FALSE);
  TIMEDATE back{};
  EXPECT_EQ(WQSGetTIMEDATE(&h, "Time", &back), NOERROR);
  EXPECT_EQ(TimeToMicros(&back), 0x0102030405060708LL);
  // An empty text is no boolean; a missing time stamp is missing.
  b = 5;
  EXPECT_EQ(WQSGetBool(&h, "Empty", &b), ERR_WQS_NO_FIELD);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(WQSGetTIMEDATE(&h, "Missing", &back), ERR_WQS_NO_FIELD);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
}

// Typed reads: a bool is the first character of a text, a number stored as
// a double reads as the low 32 bits of its truncation, a missing field
// leaves the output.  The message, discarded, leaves no document.
TEST_F(MsgTest, TypedFieldsAndDiscard) {
  msg_handle_t h;
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
  for (const char* t : {"0", "1", "x"}) {
    ASSERT_EQ(QDSItemAppend(h.hNote, 0, t, 1, TYPE_TEXT, t, 1), NOERROR);
    BOOL b = 5;
    EXPECT_EQ(WQSGetBool(&h, t, &b), NOERROR) << t;
    EXPECT_EQ(b, t[0] == '0' ? FALSE : TRUE) << t;
  }
  const struct { double stored; DWORD read; } numbers[] = {
      {6.75, 6}, {-1, 0xFFFFFFFF}, {4294967295.0, 0xFFFFFFFF},
      {4294967296.0, 0}, {1e30, 0}};
  for (const auto& n : numbers) {
    (void)QDSItemDelete(h.hNote, "A", 1);
    ASSERT_EQ(QDSItemAppend(h.hNote, 0, "A", 1, TYPE_NUMBER, &n.stored, 8), NOERROR);
    DWORD v = 12345;
    ASSERT_EQ(WQSGetDWORD(&h, "A", &v), NOERROR) << n.stored;
    EXPECT_EQ(v, n.read) << n.stored;
  }
  DWORD v = 12345;
  EXPECT_EQ(WQSGetDWORD(&h, "Missing", &v), ERR_WQS_NO_FIELD);
  EXPECT_EQ(v, 12345u);
  ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
  msglist_handle_t list;
  WORD n = 7;
  EXPECT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA,
                             "WQMsgStatus = 11", &list, &n), NOERROR);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
}

}  // namespace
}  // namespace wqstest
