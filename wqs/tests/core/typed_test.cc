// Typed fields: stored types, values and summary flags; reads of values
// stored by others; missing fields; deletes.
#include <cmath>
#include <cstring>
#include <limits>

#include "core_util.h"

namespace wqstest {
namespace {

class TypedTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenQueue(&queue_);
    queueOpen_ = true;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h_), NOERROR);
  }
  void TearDown() override {
    EXPECT_EQ(WQSCloseAndDiscardMsg(&h_), NOERROR);
    CoreTest::TearDown();
  }
  void AppendNumber(const char* name, double d) {
    ASSERT_EQ(QDSItemAppend(h_.hNote, 0, name, (WORD)strlen(name),
                            TYPE_NUMBER, &d, sizeof(d)),
              NOERROR);
  }
  void AppendText(const char* name, const std::string& text) {
    ASSERT_EQ(QDSItemAppend(h_.hNote, 0, name, (WORD)strlen(name), TYPE_TEXT,
                            text.data(), (DWORD)text.size()),
              NOERROR);
  }
  msg_handle_t h_;
};

TEST_F(TypedTest, BoolStoredAsOneCharacter) {
  ASSERT_EQ(WQSAddBool(&h_, TRUE, "B1", TRUE), NOERROR);
  ASSERT_EQ(WQSAddBool(&h_, 2, "B2", 2), NOERROR);
  ASSERT_EQ(WQSAddBool(&h_, FALSE, "B0", FALSE), NOERROR);
  EXPECT_EQ(ItemBytes(h_.hNote, "B1"), (Bytes{0x00, 0x05, '1'}));
  EXPECT_EQ(ItemBytes(h_.hNote, "B2"), (Bytes{0x00, 0x05, '0'}));
  EXPECT_EQ(ItemBytes(h_.hNote, "B0"), (Bytes{0x00, 0x05, '0'}));
  EXPECT_EQ(ItemFlags(h_.hNote, "B1"), ITEM_SUMMARY);
  EXPECT_EQ(ItemFlags(h_.hNote, "B2"), 0);
  EXPECT_EQ(ItemFlags(h_.hNote, "B0"), 0);
  BOOL b = 5;
  ASSERT_EQ(WQSGetBool(&h_, "B1", &b), NOERROR);
  EXPECT_EQ(b, TRUE);
  ASSERT_EQ(WQSGetBool(&h_, "B2", &b), NOERROR);
  EXPECT_EQ(b, FALSE);
}

TEST_F(TypedTest, BoolReadsFirstCharacter) {
  AppendText("T0", "0");
  AppendText("T1", "1");
  AppendText("Tx", "x");
  AppendText("Tblank", " ");
  AppendText("T00", "0yes");
  AppendText("Tempty", "");
  BOOL b = 5;
  ASSERT_EQ(WQSGetBool(&h_, "T0", &b), NOERROR);
  EXPECT_EQ(b, FALSE);
  ASSERT_EQ(WQSGetBool(&h_, "T1", &b), NOERROR);
  EXPECT_EQ(b, TRUE);
  b = 5;
  ASSERT_EQ(WQSGetBool(&h_, "Tx", &b), NOERROR);
  EXPECT_EQ(b, TRUE);
  b = 5;
  ASSERT_EQ(WQSGetBool(&h_, "Tblank", &b), NOERROR);
  EXPECT_EQ(b, TRUE);
  ASSERT_EQ(WQSGetBool(&h_, "T00", &b), NOERROR);
  EXPECT_EQ(b, FALSE);
  b = 5;
  EXPECT_EQ(WQSGetBool(&h_, "Tempty", &b), ERR_WQS_NO_FIELD);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(WQSGetBool(&h_, "Missing", &b), ERR_WQS_NO_FIELD);
  EXPECT_EQ(b, 5);
}

TEST_F(TypedTest, DwordStoredAsUnsignedDouble) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "Max", 0xFFFFFFFF), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h_, 0, "Zero", 0), NOERROR);
  Bytes want;
  PutW(&want, TYPE_NUMBER);
  double d = 4294967295.0;
  PutBytes(&want, &d, 8);
  EXPECT_EQ(ItemBytes(h_.hNote, "Max"), want);
  EXPECT_EQ(ItemFlags(h_.hNote, "Max"), ITEM_SUMMARY);
  EXPECT_EQ(ItemFlags(h_.hNote, "Zero"), 0);
  DWORD v = 1;
  ASSERT_EQ(WQSGetDWORD(&h_, "Max", &v), NOERROR);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  ASSERT_EQ(WQSGetDWORD(&h_, "Zero", &v), NOERROR);
  EXPECT_EQ(v, 0u);
}

TEST_F(TypedTest, DwordReadsTruncateToLow32Bits) {
  struct Case {
    const char* name;
    double stored;
    DWORD want;
  } cases[] = {
      {"A", 6.75, 6},
      {"B", 7.9, 7},
      {"C", -1.0, 0xFFFFFFFF},
      {"D", -0.5, 0},
      {"E", 4294967296.0, 0},
      {"F", 4294967297.0, 1},
      {"G", 1e300, 0},
      {"H", -1e300, 0},
      {"I", std::numeric_limits<double>::quiet_NaN(), 0},
      {"J", std::numeric_limits<double>::infinity(), 0},
      {"K", -2.0, 0xFFFFFFFE},
  };
  for (const Case& c : cases) AppendNumber(c.name, c.stored);
  for (const Case& c : cases) {
    DWORD v = 12345;
    ASSERT_EQ(WQSGetDWORD(&h_, c.name, &v), NOERROR) << c.name;
    EXPECT_EQ(v, c.want) << c.name;
  }
  DWORD v = 12345;
  EXPECT_EQ(WQSGetDWORD(&h_, "Missing", &v), ERR_WQS_NO_FIELD);
  EXPECT_EQ(v, 12345u);
}

TEST_F(TypedTest, TimeDateRoundTrip) {
  TIMEDATE td;
  td.Innards[0] = 0x89ABCDEF;
  td.Innards[1] = 0x01234567;
  ASSERT_EQ(WQSAddTIMEDATE(&h_, TRUE, "When", &td), NOERROR);
  Bytes want;
  PutW(&want, TYPE_TIME);
  PutDW(&want, 0x89ABCDEF);
  PutDW(&want, 0x01234567);
  EXPECT_EQ(ItemBytes(h_.hNote, "When"), want);
  EXPECT_EQ(ItemFlags(h_.hNote, "When"), ITEM_SUMMARY);
  TIMEDATE got;
  memset(&got, 0, sizeof(got));
  ASSERT_EQ(WQSGetTIMEDATE(&h_, "When", &got), NOERROR);
  EXPECT_EQ(memcmp(&got, &td, 8), 0);
  EXPECT_EQ(WQSGetTIMEDATE(&h_, "Missing", &got), ERR_WQS_NO_FIELD);
}

TEST_F(TypedTest, DataBlockRoundTrip) {
  const char raw[] = {'a', 0, 'b', '\n', (char)0xFF};
  ASSERT_EQ(WQSAddDataBlock(&h_, FALSE, "Blob", raw, sizeof(raw)), NOERROR);
  Bytes want = {0x00, 0x05, 'a', 0, 'b', '\n', 0xFF};
  EXPECT_EQ(ItemBytes(h_.hNote, "Blob"), want);
  EXPECT_EQ(ItemFlags(h_.hNote, "Blob"), 0);
  char buf[16];
  WORD len = 99;
  ASSERT_EQ(WQSGetDataBlock(&h_, "Blob", buf, sizeof(buf), &len), NOERROR);
  ASSERT_EQ(len, sizeof(raw));
  EXPECT_EQ(memcmp(buf, raw, sizeof(raw)), 0);
  // A short buffer gets what fits.
  ASSERT_EQ(WQSGetDataBlock(&h_, "Blob", buf, 2, &len), NOERROR);
  EXPECT_EQ(len, 2);
  // Missing reads as zero bytes and success.
  len = 99;
  EXPECT_EQ(WQSGetDataBlock(&h_, "Missing", buf, sizeof(buf), &len), NOERROR);
  EXPECT_EQ(len, 0);
  // An empty block is an empty text item.
  ASSERT_EQ(WQSAddDataBlock(&h_, TRUE, "Empty", raw, 0), NOERROR);
  EXPECT_EQ(ItemBytes(h_.hNote, "Empty"), (Bytes{0x00, 0x05}));
  EXPECT_EQ(ItemFlags(h_.hNote, "Empty"), ITEM_SUMMARY);
  len = 99;
  EXPECT_EQ(WQSGetDataBlock(&h_, "Empty", buf, sizeof(buf), &len), NOERROR);
  EXPECT_EQ(len, 0);
}

TEST_F(TypedTest, AddAppendsDeleteRemovesAll) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 6), NOERROR);
  EXPECT_EQ(ItemCount(h_.hNote, "WQMsgStatus"), 2);
  ASSERT_EQ(WQSDeleteMsgObject(&h_, "WQMsgStatus"), NOERROR);
  EXPECT_EQ(ItemCount(h_.hNote, "WQMsgStatus"), 0);
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 6), NOERROR);
  EXPECT_EQ(ItemCount(h_.hNote, "WQMsgStatus"), 1);
  EXPECT_EQ(WQSDeleteMsgObject(&h_, "NotThere"), NOERROR);
}

TEST_F(TypedTest, FieldsSurviveSaveAndOpen) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSAddBool(&h_, FALSE, "Flag", TRUE), NOERROR);
  ASSERT_EQ(WQSAddDataBlock(&h_, FALSE, "WQErrStr", "boom", 4), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h_), NOERROR);
  NOTEID id = h_.info.user.dwQueueMsgID;

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  DWORD v = 0;
  ASSERT_EQ(WQSGetDWORD(&o, "WQMsgStatus", &v), NOERROR);
  EXPECT_EQ(v, 11u);
  BOOL b = FALSE;
  ASSERT_EQ(WQSGetBool(&o, "Flag", &b), NOERROR);
  EXPECT_EQ(b, TRUE);
  // Change a field the way the reconvert does, then update.
  ASSERT_EQ(WQSDeleteMsgObject(&o, "WQErrStr"), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&o, "WQMsgStatus"), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&o, TRUE, "WQMsgStatus", 6), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&o), NOERROR);

  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  ASSERT_EQ(WQSGetDWORD(&o, "WQMsgStatus", &v), NOERROR);
  EXPECT_EQ(v, 6u);
  char buf[8];
  WORD len = 9;
  ASSERT_EQ(WQSGetDataBlock(&o, "WQErrStr", buf, sizeof(buf), &len), NOERROR);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  // The building handle is spent; give the fixture a fresh one to discard.
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h_), NOERROR);
}

}  // namespace
}  // namespace wqstest
