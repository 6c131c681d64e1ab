// Message lists: formula and view selection, limits, empty results,
// failures, opening by position and closing.
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
                              {"Empty", "SELECT WQMsgStatus = 99"},
                              {"Retry", "SELECT WQMsgStatus = 9"}});
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
  // Documents holding only a summary status field.
  std::vector<NOTEID> StatusDocs(int n, double status) {
    std::vector<NOTEID> ids;
    for (int i = 0; i < n; i++) {
      ids.push_back(RawDocument(db(), [&](NOTEHANDLE note) {
        QDSItemAppend(note, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER,
                      &status, sizeof(status));
      }));
    }
    return ids;
  }
  STATUS List(WORD mode, const char* what, WORD max = 100) {
    memset(&list_, 0x55, sizeof(list_));
    count_ = 77;
    return WQSCreateMsgList(&queue_, max, mode, what, &list_, &count_);
  }
  msglist_handle_t list_;
  WORD count_ = 0;
};

TEST_F(ListTest, FormulaTakesFirstMatchesInNoteOrder) {
  std::vector<NOTEID> ids = StatusDocs(150, 11);
  StatusDocs(20, 6);  // never selected
  std::vector<NOTEID> more = StatusDocs(100, 7);
  ids.insert(ids.end(), more.begin(), more.end());
  ASSERT_EQ(List(WQS_SEARCH_FORMULA, kFormula), NOERROR);
  EXPECT_EQ(count_, 100);
  EXPECT_EQ(list_.wNumMsgs, 100);
  EXPECT_EQ(list_.wMaxMsgs, 0);  // room left, not the maximum
  EXPECT_EQ(list_.wq.dbhandle, queue_.dbhandle);
  for (int i = 0; i < 100; i++) EXPECT_EQ(list_.pList[i], ids[i]) << i;
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(list_.hList, &size), NOERROR);
  EXPECT_EQ(size, 400u);
  EXPECT_EQ(Blocks(WQS_TAG_MSGLIST), 1u);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_MSGLIST), 0u);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);  // nothing left to release
}

TEST_F(ListTest, FormulaRoomLeftNoMatchAndSyntaxError) {
  StatusDocs(3, 10);
  StatusDocs(5, 6);
  ASSERT_EQ(List(7 /* any mode but 1 */, kFormula), NOERROR);
  EXPECT_EQ(count_, 3);
  EXPECT_EQ(list_.wMaxMsgs, 97);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);

  ASSERT_EQ(List(WQS_SEARCH_FORMULA, "WQMsgStatus = 12"), NOERROR);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(list_.hList, NULLHANDLE);
  EXPECT_EQ(Blocks(WQS_TAG_MSGLIST), 0u);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);

  memset(&list_, 0, sizeof(list_));
  count_ = 77;
  EXPECT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA,
                             "(WQMsgStatus = ", &list_, &count_),
            ERR_FORMULA_SYNTAX);
  EXPECT_EQ(count_, 77);
  EXPECT_EQ(list_.hList, NULLHANDLE);
}

TEST_F(ListTest, CallbackListsPlainMatchesUpToRoomLeft) {
  DWORD ids[4] = {0, 0, 0, 0};
  msglist_handle_t list{};
  list.pList = ids;
  list.wMaxMsgs = 2;
  SEARCH_MATCH m{};
  m.ID.NoteID = 10;
  for (WORD flags : {0, SE_FMATCH | 0x02}) {
    m.SERetFlags = flags;
    EXPECT_EQ(WQSSearchQDSCallBack(&list, &m, nullptr), NOERROR);
  }
  EXPECT_EQ(list.wNumMsgs, 0);
  m.SERetFlags = SE_FMATCH;
  for (NOTEID id = 20; id < 24; id++) {
    m.ID.NoteID = id;
    EXPECT_EQ(WQSSearchQDSCallBack(&list, &m, nullptr), NOERROR);
  }
  EXPECT_EQ(list.wNumMsgs, 2);
  EXPECT_EQ(list.wMaxMsgs, 0);
  EXPECT_EQ(ids[0], 20u);
  EXPECT_EQ(ids[1], 21u);
  EXPECT_EQ(ids[2], 0u);
}

TEST_F(ListTest, Views) {
  std::vector<NOTEID> retry = StatusDocs(30, 9);
  std::vector<NOTEID> failed = StatusDocs(300, 11);
  EXPECT_EQ(List(WQS_SEARCH_VIEW, "Empty"), ERR_WQS_NO_MESSAGES);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(list_.hList, NULLHANDLE);
  EXPECT_EQ(OSMemTestTotalBlocks(), baselineBlocks_);
  EXPECT_EQ(List(WQS_SEARCH_VIEW, "Nope"), ERR_VIEW_NOT_FOUND);
  EXPECT_EQ(count_, 77);

  ASSERT_EQ(List(WQS_SEARCH_VIEW, "Retry"), NOERROR);
  ASSERT_EQ(count_, 30);
  EXPECT_EQ(list_.wq.dbhandle, queue_.dbhandle);
  for (int i = 0; i < 30; i++) EXPECT_EQ(list_.pList[i], retry[i]);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
  ASSERT_EQ(List(WQS_SEARCH_VIEW, "failed"), NOERROR);
  ASSERT_EQ(count_, 100);
  for (int i = 0; i < 100; i++) EXPECT_EQ(list_.pList[i], failed[i]);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
  EXPECT_EQ(Blocks(WQS_TAG_MSGLIST), 0u);
}

TEST_F(ListTest, OpenByPositionUntilNothingMatches) {
  std::vector<NOTEID> ids;
  for (int i = 0; i < 6; i++) {
    ids.push_back(SaveMessage(
        &queue_, WQS_MSG_SIMPLE, {MakeRecip(i)}, nullptr, [&](msg_handle_t* h) {
          ASSERT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", i == 1 ? 6 : 11),
                    NOERROR);
        }));
  }
  ASSERT_EQ(List(WQS_SEARCH_FORMULA, kFormula), NOERROR);
  ASSERT_EQ(count_, 5);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsg(&list_, 1, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), ids[2]);
  ExpectRecip(&h, 0, MakeRecip(2));
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  // A position past the ids held is refused rather than read.
  EXPECT_EQ(WQSOpenMsg(&list_, 5, &h), ERR_BAD_ARG);
  EXPECT_EQ(WQSCloseMsgList(&list_), NOERROR);
  EXPECT_EQ(WQSOpenMsg(&list_, 0, &h), ERR_BAD_ARG);

  // The batch loop ends because a reset message no longer matches.
  int total = 0;
  for (int round = 0; round < 10; round++) {
    ASSERT_EQ(List(WQS_SEARCH_FORMULA, kFormula, 2), NOERROR);
    if (count_ == 0) break;
    for (WORD i = 0; i < count_; i++) {
      ASSERT_EQ(WQSOpenMsg(&list_, i, &h), NOERROR);
      ASSERT_EQ(WQSDeleteMsgObject(&h, "WQMsgStatus"), NOERROR);
      ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 6), NOERROR);
      ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
      total++;
    }
    ASSERT_EQ(WQSCloseMsgList(&list_), NOERROR);
  }
  EXPECT_EQ(total, 5);
}

}  // namespace
}  // namespace wqstest
