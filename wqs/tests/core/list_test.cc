// Message lists: formula and view selection, limits, empty results.
#include "core_util.h"

namespace wqstest {
namespace {

const char kFormula[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

class ListTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    MakeTemplate("tmpl.qds", {{"Failed", "SELECT WQMsgStatus = 11"},
                              {"Empty", "SELECT WQMsgStatus = 99"}});
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
  void StatusDocs(int n, DWORD status) {
    for (int i = 0; i < n; i++) {
      SaveMessage(&queue_, WQS_MSG_SIMPLE, {}, nullptr, [&](msg_handle_t* h) {
        EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", status), NOERROR);
      });
    }
  }
  STATUS List(WORD mode, const char* what, WORD max = 100) {
    memset(&list_, 0x55, sizeof(list_));
    count_ = 77;
    return WQSCreateMsgList(&queue_, max, mode, what, &list_, &count_);
  }
  msglist_handle_t list_;
  WORD count_ = 0;
};

TEST_F(ListTest, FormulaLimitAndNoMatch) {
  StatusDocs(250, 11);
  ASSERT_EQ(List(WQS_SEARCH_FORMULA, kFormula), NOERROR);
  EXPECT_EQ(count_, 100);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);

  ASSERT_EQ(List(WQS_SEARCH_FORMULA, "WQMsgStatus = 12"), NOERROR);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(list_.hList, NULLHANDLE);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
}

TEST_F(ListTest, Views) {
  StatusDocs(300, 11);
  EXPECT_EQ(List(WQS_SEARCH_VIEW, "Empty"), ERR_WQS_NO_MESSAGES);
  EXPECT_EQ(count_, 0);
  ASSERT_EQ(List(WQS_SEARCH_VIEW, "Failed"), NOERROR);
  ASSERT_EQ(count_, 100);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
}

}  // namespace
}  // namespace wqstest
