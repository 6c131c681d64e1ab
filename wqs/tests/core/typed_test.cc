// Typed fields: stored types, values and summary flags; reads of values
// stored by others; missing fields; deletes.
#include <limits>

#include "core_util.h"

namespace wqstest {
namespace {

class TypedTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h_), NOERROR);
  }
  void TearDown() override {
    EXPECT_EQ(WQSCloseAndDiscardMsg(&h_), NOERROR);
    QueueTest::TearDown();
  }
  void Append(const char* name, WORD type, const void* p, size_t n) {
    ASSERT_EQ(
        QDSItemAppend(h_.hNote, 0, name, (WORD)strlen(name), type, p, (DWORD)n),
        NOERROR);
  }
  msg_handle_t h_;
};

TEST_F(TypedTest, Bool) {
  // Written as one character, summary when asked for with exactly TRUE.
  ASSERT_EQ(WQSAddBool(&h_, TRUE, "B1", TRUE), NOERROR);
  ASSERT_EQ(WQSAddBool(&h_, 2, "B2", 2), NOERROR);
  ASSERT_EQ(WQSAddBool(&h_, FALSE, "B0", FALSE), NOERROR);
  EXPECT_EQ(ItemBytes(h_.hNote, "B1"), (Bytes{0x00, 0x05, '1'}));
  EXPECT_EQ(ItemBytes(h_.hNote, "B2"), (Bytes{0x00, 0x05, '0'}));
  EXPECT_EQ(ItemBytes(h_.hNote, "B0"), (Bytes{0x00, 0x05, '0'}));
  EXPECT_EQ(ItemFlags(h_.hNote, "B1"), ITEM_SUMMARY);
  EXPECT_EQ(ItemFlags(h_.hNote, "B2"), 0);
  EXPECT_EQ(ItemFlags(h_.hNote, "B0"), 0);
  // Read by the first character: anything but '0' is true.
  struct {
    const char* name;
    std::string text;
    STATUS status;
    BOOL want;
  } cases[] = {
      {"T0", "0", NOERROR, FALSE},         {"T1", "1", NOERROR, TRUE},
      {"Tx", "x", NOERROR, TRUE},          {"Tb", " ", NOERROR, TRUE},
      {"T00", "0yes", NOERROR, FALSE},     {"Te", "", ERR_WQS_NO_FIELD, 5},
      {"B1", "", NOERROR, TRUE},           {"B2", "", NOERROR, FALSE},
      {"Missing", "", ERR_WQS_NO_FIELD, 5}};
  for (const auto& c : cases) {
    if (c.name[0] == 'T')
      Append(c.name, TYPE_TEXT, c.text.data(), c.text.size());
  }
  for (const auto& c : cases) {
    BOOL b = 5;
    EXPECT_EQ(WQSGetBool(&h_, c.name, &b), c.status) << c.name;
    EXPECT_EQ(b, c.want) << c.name;
  }
}

TEST_F(TypedTest, DwordStoredAsDoubleReadAsLow32Bits) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "Max", 0xFFFFFFFF), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h_, 0, "Zero", 0), NOERROR);
  Bytes want;
  PutW(&want, TYPE_NUMBER);
  double d = 4294967295.0;
  PutBytes(&want, &d, 8);
  EXPECT_EQ(ItemBytes(h_.hNote, "Max"), want);
  EXPECT_EQ(ItemFlags(h_.hNote, "Max"), ITEM_SUMMARY);
  EXPECT_EQ(ItemFlags(h_.hNote, "Zero"), 0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct {
    const char* name;
    double stored;
    DWORD want;
  } cases[] = {
      {"A", 6.75, 6},  {"B", 7.9, 7},           {"C", -1.0, 0xFFFFFFFF},
      {"D", -0.5, 0},  {"E", 4294967296.0, 0},  {"F", 4294967297.0, 1},
      {"G", 1e300, 0}, {"H", -1e300, 0},        {"I", nan, 0},
      {"J", inf, 0},   {"K", -2.0, 0xFFFFFFFE}, {"Max", 0, 0xFFFFFFFF},
      {"Zero", 0, 0}};
  for (const auto& c : cases) {
    if (c.name[1] == 0) Append(c.name, TYPE_NUMBER, &c.stored, 8);
  }
  for (const auto& c : cases) {
    DWORD v = 12345;
    ASSERT_EQ(WQSGetDWORD(&h_, c.name, &v), NOERROR) << c.name;
    EXPECT_EQ(v, c.want) << c.name;
  }
  DWORD v = 12345;
  EXPECT_EQ(WQSGetDWORD(&h_, "Missing", &v), ERR_WQS_NO_FIELD);
  EXPECT_EQ(v, 12345u);
}

TEST_F(TypedTest, TimeDate) {
  TIMEDATE td = {{0x89ABCDEF, 0x01234567}};
  ASSERT_EQ(WQSAddTIMEDATE(&h_, TRUE, "When", &td), NOERROR);
  Bytes want;
  PutW(&want, TYPE_TIME);
  PutDW(&want, 0x89ABCDEF);
  PutDW(&want, 0x01234567);
  EXPECT_EQ(ItemBytes(h_.hNote, "When"), want);
  EXPECT_EQ(ItemFlags(h_.hNote, "When"), ITEM_SUMMARY);
  TIMEDATE got = {{7, 7}};
  ASSERT_EQ(WQSGetTIMEDATE(&h_, "When", &got), NOERROR);
  EXPECT_EQ(memcmp(&got, &td, 8), 0);
  got = {{7, 7}};
  EXPECT_EQ(WQSGetTIMEDATE(&h_, "Missing", &got), ERR_WQS_NO_FIELD);
  EXPECT_EQ(got.Innards[0], 7u);
}

TEST_F(TypedTest, DataBlock) {
  const char raw[] = {'a', 0, 'b', '\n', (char)0xFF};
  ASSERT_EQ(WQSAddDataBlock(&h_, FALSE, "Blob", raw, sizeof(raw)), NOERROR);
  EXPECT_EQ(ItemBytes(h_.hNote, "Blob"),
            (Bytes{0x00, 0x05, 'a', 0, 'b', '\n', 0xFF}));
  EXPECT_EQ(ItemFlags(h_.hNote, "Blob"), 0);
  char buf[16];
  WORD len = 99;
  ASSERT_EQ(WQSGetDataBlock(&h_, "Blob", buf, sizeof(buf), &len), NOERROR);
  ASSERT_EQ(len, sizeof(raw));
  EXPECT_EQ(memcmp(buf, raw, sizeof(raw)), 0);
  ASSERT_EQ(WQSGetDataBlock(&h_, "Blob", buf, 2, &len), NOERROR);
  EXPECT_EQ(len, 2);  // a short buffer gets what fits
  // Missing reads as zero bytes and success; an empty block is an empty
  // text item.
  len = 99;
  EXPECT_EQ(WQSGetDataBlock(&h_, "Missing", buf, sizeof(buf), &len), NOERROR);
  EXPECT_EQ(len, 0);
  ASSERT_EQ(WQSAddDataBlock(&h_, TRUE, "Empty", raw, 0), NOERROR);
  EXPECT_EQ(ItemBytes(h_.hNote, "Empty"), (Bytes{0x00, 0x05}));
  EXPECT_EQ(ItemFlags(h_.hNote, "Empty"), ITEM_SUMMARY);
  len = 99;
  EXPECT_EQ(WQSGetDataBlock(&h_, "Empty", buf, sizeof(buf), &len), NOERROR);
  EXPECT_EQ(len, 0);
}

TEST_F(TypedTest, AddAppendsDeleteRemovesAllAndSurvivesSave) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 11), NOERROR);
  EXPECT_EQ(ItemCount(h_.hNote, "WQMsgStatus"), 2);
  ASSERT_EQ(WQSDeleteMsgObject(&h_, "WQMsgStatus"), NOERROR);
  EXPECT_EQ(ItemCount(h_.hNote, "WQMsgStatus"), 0);
  EXPECT_EQ(WQSDeleteMsgObject(&h_, "NotThere"), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSAddDataBlock(&h_, FALSE, "WQErrStr", "boom", 4), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&h_), NOERROR);
  NOTEID id = h_.info.user.dwQueueMsgID;

  // Changed the way the reconvert does, then updated and read back.
  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  DWORD v = 0;
  ASSERT_EQ(WQSGetDWORD(&o, "WQMsgStatus", &v), NOERROR);
  EXPECT_EQ(v, 11u);
  ASSERT_EQ(WQSDeleteMsgObject(&o, "WQErrStr"), NOERROR);
  ASSERT_EQ(WQSDeleteMsgObject(&o, "WQMsgStatus"), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&o, TRUE, "WQMsgStatus", 6), NOERROR);
  ASSERT_EQ(WQSCloseMsgAndUpdate(&o), NOERROR);
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &o), NOERROR);
  ASSERT_EQ(WQSGetDWORD(&o, "WQMsgStatus", &v), NOERROR);
  EXPECT_EQ(v, 6u);
  EXPECT_EQ(ItemCount(o.hNote, "WQErrStr"), 0);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
  // The building handle is spent; give the fixture a fresh one to discard.
  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h_), NOERROR);
}

}  // namespace
}  // namespace wqstest
