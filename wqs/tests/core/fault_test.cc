// Memory fault injection over every operation of the store core: for each
// allocation, lock and reallocation an operation makes, that call is made
// to fail once; the operation must report it or cope, and after the
// caller's usual clean-up no memory block may be left alive.
#include <cstring>

#include "core_util.h"

namespace wqstest {
namespace {

const char kFormula[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

class FaultTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    MakeTemplate("tmpl.qds", {{"Failed", "SELECT WQMsgStatus = 11"}});
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
  void TearDown() override {
    OSMemTestDisarm();
    CoreTest::TearDown();
  }

  // A saved message of `type` with `n` recipients of `nameLen` bytes,
  // a status field and, when asked, two attachment descriptors.
  NOTEID Message(WORD type, int n, size_t nameLen, bool attach = false) {
    msg_handle_t h;
    EXPECT_EQ(WQSCreateMsg(&queue_, type, &h), NOERROR);
    for (int i = 0; i < n; i++) {
      Recip r = MakeRecip(i, nameLen);
      recip_info_t ri = RecipInfo(r);
      EXPECT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
    }
    EXPECT_EQ(WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11), NOERROR);
    if (attach) {
      h.daFileBlockArray = DACreate(sizeof(file_block_t), 1);
      file_block_t fb;
      memset(&fb, 0, sizeof(fb));
      for (int i = 0; i < 2; i++) {
        fb.RRV = 10 + i;
        EXPECT_TRUE(DAAddEntry(&h.daFileBlockArray, &fb));
      }
      h.info.wNumAttachments = 2;
    }
    EXPECT_EQ(WQSCloseAndSaveMsg(&h), NOERROR);
    return h.info.user.dwQueueMsgID;
  }

  // Sweeps an open of `id`; a successful open is closed.
  void SweepOpen(NOTEID id) {
    msg_handle_t h;
    EXPECT_GT(FaultSweepAll([] {},
                  [&] {
                    memset(&h, 0, sizeof(h));
                    return WQSOpenMsgByMsgID(&queue_, id, &h);
                  },
                  [&](STATUS st) {
                    if (st == NOERROR) EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
                  }), 0);
  }
};

TEST_F(FaultTest, BuildAndSave) {
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    SCOPED_TRACE(type);
    struct {
      msg_handle_t h;
      bool created;
    } s;
    EXPECT_GT(FaultSweepAll(
        [&] { s.created = false; },
        [&]() -> STATUS {
          STATUS err = WQSCreateMsg(&queue_, type, &s.h);
          if (err != NOERROR) return err;
          s.created = true;
          // Names of 30000 bytes roll a simple message over to a new list.
          for (int i = 0; i < 3; i++) {
            Recip r = MakeRecip(i, i == 1 ? 30000 : 0);
            if (type == WQS_MSG_SIMPLE) r.name.resize(30000, 'n');
            recip_info_t ri = RecipInfo(r);
            err = WQSAppendRecipient(&s.h, &ri);
            if (err != NOERROR) return err;
          }
          if ((err = WQSAddDWORD(&s.h, TRUE, "WQMsgStatus", 11)) != NOERROR ||
              (err = WQSAddBool(&s.h, FALSE, "Flag", TRUE)) != NOERROR ||
              (err = WQSAddDataBlock(&s.h, FALSE, "Blob", "abc", 3)) !=
                  NOERROR) {
            return err;
          }
          TIMEDATE td = {{1, 2}};
          err = WQSAddTIMEDATE(&s.h, FALSE, "When", &td);
          if (err != NOERROR) return err;
          return WQSCloseAndSaveMsg(&s.h);
        },
        [&](STATUS st) {
          // A failed build or save is ended by a discard.
          if (s.created && st != NOERROR) {
            EXPECT_EQ(WQSCloseAndDiscardMsg(&s.h), NOERROR);
          }
        }), 0);
  }
}

TEST_F(FaultTest, OpenSimpleThreeLists) {
  NOTEID id = Message(WQS_MSG_SIMPLE, 5, 30000);
  SweepOpen(id);
}

TEST_F(FaultTest, OpenExtended) {
  NOTEID id = Message(WQS_MSG_EXTENDED, 4, 0);
  SweepOpen(id);
}

TEST_F(FaultTest, OpenWithAttachments) {
  NOTEID id = Message(WQS_MSG_SIMPLE, 2, 0, true);
  SweepOpen(id);
}

TEST_F(FaultTest, UpdateClose) {
  NOTEID id = Message(WQS_MSG_EXTENDED, 3, 0, true);
  msg_handle_t h;
  EXPECT_GT(FaultSweepAll(
      [&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR); },
      [&] {
        recip_data_t d = MakeRecip(9).data;
        WQSSetRecipientData(&h, 1, &d);
        return WQSCloseMsgAndUpdate(&h);
      },
      [&](STATUS st) {
        // After a failed update the caller closes without saving.
        if (st != NOERROR) WQSCloseMsg(&h);
      }), 0);
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(FaultTest, Requeue) {
  user_msg_info_t info;
  memset(&info, 0, sizeof(info));
  info.wRetries = 60000;
  NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1)}, &info);
  msg_handle_t h;
  EXPECT_GT(FaultSweepAll(
      [&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR); },
      [&] { return WQSCloseMsgAndReQueue(&h); },
      [&](STATUS st) {
        if (st != NOERROR) WQSCloseMsg(&h);
      }), 0);
}

TEST_F(FaultTest, Purge) {
  msg_handle_t h;
  FaultSweepAll(
      [&] {
        NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED,
                                {MakeRecip(1), MakeRecip(2)});
        ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
      },
      [&] { return WQSCloseMsgAndPurge(&h); },
      [&](STATUS st) {
        if (st != NOERROR) WQSCloseMsg(&h);
      });
}

TEST_F(FaultTest, Discard) {
  msg_handle_t h;
  FaultSweepAll(
      [&] {
        ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h), NOERROR);
        Recip r = MakeRecip(1);
        recip_info_t ri = RecipInfo(r);
        ASSERT_EQ(WQSAppendRecipient(&h, &ri), NOERROR);
      },
      [&] { return WQSCloseAndDiscardMsg(&h); },
      [&](STATUS st) {
        if (st != NOERROR) EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
      });
}

TEST_F(FaultTest, FormulaList) {
  for (int i = 0; i < 5; i++) Message(WQS_MSG_SIMPLE, 1, 0);
  msglist_handle_t list;
  EXPECT_GT(FaultSweepAll([] {},
                [&] {
                  WORD count = 0;
                  memset(&list, 0, sizeof(list));
                  return WQSCreateMsgList(&queue_, 3, WQS_SEARCH_FORMULA,
                                          kFormula, &list, &count);
                },
                [&](STATUS st) {
                  if (st == NOERROR) EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
                }), 0);
}

TEST_F(FaultTest, ViewList) {
  for (int i = 0; i < 5; i++) Message(WQS_MSG_SIMPLE, 1, 0);
  msglist_handle_t list;
  EXPECT_GT(FaultSweepAll([] {},
                [&] {
                  WORD count = 0;
                  memset(&list, 0, sizeof(list));
                  return WQSCreateMsgList(&queue_, 3, WQS_SEARCH_VIEW,
                                          "Failed", &list, &count);
                },
                [&](STATUS st) {
                  if (st == NOERROR) EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
                }), 0);
}

TEST_F(FaultTest, CloseList) {
  for (int i = 0; i < 2; i++) Message(WQS_MSG_SIMPLE, 1, 0);
  msglist_handle_t list;
  for (WORD kinds : {OSMEM_FAULT_ALLOC, OSMEM_FAULT_LOCK, OSMEM_FAULT_REALLOC}) {
    FaultSweep(
        kinds,
        [&] {
          WORD count = 0;
          ASSERT_EQ(WQSCreateMsgList(&queue_, 10, WQS_SEARCH_FORMULA, kFormula,
                                     &list, &count),
                    NOERROR);
        },
        [&] { return WQSCloseMsgList(&list); },
        [&](STATUS st) {
          if (st != NOERROR) WQSCloseMsgList(&list);
        });
  }
}

TEST_F(FaultTest, OpenFromListAndReset) {
  // The tool's path: list, open by position, change, update, close list.
  for (int i = 0; i < 3; i++) Message(WQS_MSG_SIMPLE, 2, 0);
  EXPECT_GT(FaultSweepAll([] {},
                [&]() -> STATUS {
                  msglist_handle_t list;
                  WORD count = 0;
                  STATUS err = WQSCreateMsgList(&queue_, 100,
                                                WQS_SEARCH_FORMULA, kFormula,
                                                &list, &count);
                  if (err != NOERROR || count == 0) return err;
                  msg_handle_t h;
                  err = WQSOpenMsg(&list, 0, &h);
                  if (err != NOERROR) {
                    WQSCloseMsgList(&list);
                    return err;
                  }
                  recip_data_t* p = nullptr;
                  WQSGetRecipientData(&h, 1, &p);
                  if (p != nullptr) p->dwUserInfo = 11;
                  err = WQSCloseMsgAndUpdate(&h);
                  if (err != NOERROR) WQSCloseMsg(&h);
                  STATUS err2 = WQSCloseMsgList(&list);
                  return err != NOERROR ? err : err2;
                },
                [](STATUS) {}), 0);
}

}  // namespace
}  // namespace wqstest
