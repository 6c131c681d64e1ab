// Message lists: formula and view selection, limits, empty results,
// failures, opening by position and closing.
#include <cstring>

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

  // Documents holding only a summary status field, in one go.
  std::vector<NOTEID> StatusDocs(int n, double status) {
    std::vector<NOTEID> ids;
    for (int i = 0; i < n; i++) {
      ids.push_back(RawDocument(queue_.dbhandle, [&](NOTEHANDLE note) {
        QDSItemAppend(note, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER,
                      &status, sizeof(status));
      }));
    }
    return ids;
  }

  DWORD ListBlocks() {
    DWORD blocks = 0;
    OSMemTestCount(WQS_TAG_MSGLIST, &blocks, nullptr);
    return blocks;
  }
};

TEST_F(ListTest, FormulaTakesFirstMatchesInNoteOrder) {
  std::vector<NOTEID> ids = StatusDocs(150, 11);
  StatusDocs(20, 6);  // never selected
  std::vector<NOTEID> more = StatusDocs(100, 7);
  ids.insert(ids.end(), more.begin(), more.end());
  ASSERT_EQ(ids.size(), 250u);

  msglist_handle_t list;
  memset(&list, 0, sizeof(list));
  WORD count = 0;
  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA, kFormula, &list,
                             &count),
            NOERROR);
  EXPECT_EQ(count, 100);
  EXPECT_EQ(list.wNumMsgs, 100);
  EXPECT_EQ(list.wMaxMsgs, 0);  // room left, not the maximum
  EXPECT_EQ(list.wq.dbhandle, queue_.dbhandle);
  ASSERT_NE(list.hList, NULLHANDLE);
  for (int i = 0; i < 100; i++) EXPECT_EQ(list.pList[i], ids[i]) << i;
  DWORD size = 0;
  EXPECT_EQ(OSMemGetSize(list.hList, &size), NOERROR);
  EXPECT_EQ(size, 400u);
  EXPECT_EQ(ListBlocks(), 1u);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
  EXPECT_EQ(ListBlocks(), 0u);
  // A second close finds nothing to release.
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
}

TEST_F(ListTest, FormulaRoomLeft) {
  StatusDocs(3, 10);
  msglist_handle_t list;
  WORD count = 0;
  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, 7 /* any mode but 1 */, kFormula,
                             &list, &count),
            NOERROR);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(list.wMaxMsgs, 97);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
}

TEST_F(ListTest, FormulaWithoutMatch) {
  StatusDocs(5, 6);
  msglist_handle_t list;
  memset(&list, 0x55, sizeof(list));
  WORD count = 77;
  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA, kFormula, &list,
                             &count),
            NOERROR);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list.hList, NULLHANDLE);
  EXPECT_EQ(ListBlocks(), 0u);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);  // nothing to do
}

TEST_F(ListTest, FormulaSyntaxError) {
  msglist_handle_t list;
  memset(&list, 0, sizeof(list));
  WORD count = 77;
  EXPECT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA,
                             "(WQMsgStatus = ", &list, &count),
            ERR_FORMULA_SYNTAX);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(list.hList, NULLHANDLE);
}

TEST_F(ListTest, CallbackListsPlainMatchesOnly) {
  DWORD ids[4] = {0, 0, 0, 0};
  msglist_handle_t list;
  memset(&list, 0, sizeof(list));
  list.pList = ids;
  list.wMaxMsgs = 2;
  SEARCH_MATCH m;
  memset(&m, 0, sizeof(m));
  m.ID.NoteID = 10;
  m.SERetFlags = 0;
  EXPECT_EQ(WQSSearchQDSCallBack(&list, &m, nullptr), NOERROR);
  m.SERetFlags = SE_FMATCH | 0x02;
  EXPECT_EQ(WQSSearchQDSCallBack(&list, &m, nullptr), NOERROR);
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

TEST_F(ListTest, ViewWithoutEntries) {
  StatusDocs(3, 11);
  msglist_handle_t list;
  memset(&list, 0, sizeof(list));
  WORD count = 77;
  EXPECT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_VIEW, "Empty", &list,
                             &count),
            ERR_WQS_NO_MESSAGES);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list.hList, NULLHANDLE);
  EXPECT_EQ(OSMemTestTotalBlocks(), baselineBlocks_);
}

TEST_F(ListTest, ViewNotFound) {
  msglist_handle_t list;
  WORD count = 77;
  EXPECT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_VIEW, "Nope", &list,
                             &count),
            ERR_VIEW_NOT_FOUND);
  EXPECT_EQ(count, 77);
}

TEST_F(ListTest, ViewListsEntriesInOrder) {
  std::vector<NOTEID> retry = StatusDocs(30, 9);
  std::vector<NOTEID> failed = StatusDocs(300, 11);

  msglist_handle_t list;
  WORD count = 0;
  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_VIEW, "Retry", &list,
                             &count),
            NOERROR);
  ASSERT_EQ(count, 30);
  EXPECT_EQ(list.wq.dbhandle, queue_.dbhandle);
  for (int i = 0; i < 30; i++) EXPECT_EQ(list.pList[i], retry[i]);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);

  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_VIEW, "failed", &list,
                             &count),
            NOERROR);
  ASSERT_EQ(count, 100);
  for (int i = 0; i < 100; i++) EXPECT_EQ(list.pList[i], failed[i]);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
  EXPECT_EQ(ListBlocks(), 0u);
}

TEST_F(ListTest, OpenByPosition) {
  user_msg_info_t info;
  memset(&info, 0, sizeof(info));
  std::vector<NOTEID> ids;
  for (int i = 0; i < 3; i++) {
    msg_handle_t h;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
    Recip r = MakeRecip(i);
    recip_info_t ri = RecipInfo(r);
    ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", i == 1 ? 6 : 11), NOERROR);
    ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
    ids.push_back(Val(h.info.user.dwQueueMsgID));
  }
  msglist_handle_t list;
  WORD count = 0;
  ASSERT_EQ(WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA, kFormula, &list,
                             &count),
            NOERROR);
  ASSERT_EQ(count, 2);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsg(&list, 1, &h), NOERROR);
  EXPECT_EQ(Val(h.info.user.dwQueueMsgID), ids[2]);
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  ASSERT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), MakeRecip(2).name);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  // A position past the ids held is refused rather than read.
  EXPECT_EQ(WQSOpenMsg(&list, 2, &h), ERR_BAD_ARG);
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
  EXPECT_EQ(WQSOpenMsg(&list, 0, &h), ERR_BAD_ARG);
}

TEST_F(ListTest, SavedMessagesStopMatching) {
  // The batch loop ends because a reset message no longer matches.
  StatusDocs(0, 0);
  for (int i = 0; i < 5; i++) {
    msg_handle_t h;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &h), NOERROR);
    ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11), NOERROR);
    ASSERT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
  }
  int total = 0;
  for (int round = 0; round < 10; round++) {
    msglist_handle_t list;
    WORD count = 0;
    ASSERT_EQ(WQSCreateMsgList(&queue_, 2, WQS_SEARCH_FORMULA, kFormula,
                               &list, &count),
              NOERROR);
    if (count == 0) break;
    for (WORD i = 0; i < count; i++) {
      msg_handle_t h;
      ASSERT_EQ(WQSOpenMsg(&list, i, &h), NOERROR);
      ASSERT_EQ(WQSDeleteMsgObject(&h, "WQMsgStatus"), NOERROR);
      ASSERT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 6), NOERROR);
      ASSERT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
      total++;
    }
    ASSERT_EQ(WQSCloseMsgList(&list), NOERROR);
  }
  EXPECT_EQ(total, 5);
}

}  // namespace
}  // namespace wqstest
