// Typed fields: reads of stored values and of missing fields.
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

TEST_F(TypedTest, BoolReadsFirstCharacter) {
  struct {
    const char* name;
    std::string text;
    BOOL want;
  } cases[] = {{"T0", "0", FALSE}, {"T1", "1", TRUE}, {"Tx", "x", TRUE}};
  for (const auto& c : cases) {
    Append(c.name, TYPE_TEXT, c.text.data(), c.text.size());
    BOOL b = 5;
    EXPECT_EQ(WQSGetBool(&h_, c.name, &b), NOERROR) << c.name;
    EXPECT_EQ(b, c.want) << c.name;
  }
}

TEST_F(TypedTest, DwordStoredAsDoubleReadAsLow32Bits) {
  ASSERT_EQ(WQSAddDWORD(&h_, TRUE, "Max", 0xFFFFFFFF), NOERROR);
  struct {
    const char* name;
    double stored;
    DWORD want;
  } cases[] = {{"A", 6.75, 6}, {"Max", 0, 0xFFFFFFFF}};
  for (const auto& c : cases) {
    if (c.name[1] == 0) Append(c.name, TYPE_NUMBER, &c.stored, 8);
  }
  for (const auto& c : cases) {
    DWORD v = 12345;
    ASSERT_EQ(WQSGetDWORD(&h_, c.name, &v), NOERROR) << c.name;
    EXPECT_EQ(v, c.want) << c.name;
  }
}

TEST_F(TypedTest, MissingFieldLeavesOutputUntouched) {
  DWORD v = 12345;
  EXPECT_EQ(WQSGetDWORD(&h_, "Missing", &v), ERR_WQS_NO_FIELD);
  EXPECT_EQ(v, 12345u);
}

}  // namespace
}  // namespace wqstest
