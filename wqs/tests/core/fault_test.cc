// Memory fault injection over every operation of the store core: each
// allocation, lock and reallocation an operation makes is made to fail in
// turn; the operation must report it or cope, and after the caller's usual
// clean-up no memory block may be left alive.
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
  // A saved message with `n` recipients of `nameLen` bytes, status 11 and,
  // when asked, two attachment descriptors.
  NOTEID Message(WORD type, int n, size_t nameLen, bool attach = false) {
    return SaveMessage(
        &queue_, type, MakeRecips(n, nameLen), nullptr, [&](msg_handle_t* h) {
          EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", 11), NOERROR);
          if (!attach) return;
          h->daFileBlockArray = DACreate(sizeof(file_block_t), 1);
          file_block_t fb{};
          for (int i = 0; i < 2; i++) {
            fb.RRV = 10 + i;
            EXPECT_TRUE(DAAddEntry(&h->daFileBlockArray, &fb));
          }
          h->info.wNumAttachments = 2;
        });
  }
  // Sweeps `op` on a message opened by setup; a failed op is followed by
  // a plain close, as a caller would.
  int SweepOnOpened(const std::function<NOTEID()>& make,
                    const std::function<STATUS(msg_handle_t*)>& op) {
    msg_handle_t h;
    return FaultSweepAll(
        [&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, make(), &h), NOERROR); },
        [&] { return op(&h); },
        [&](STATUS st) {
          if (st != NOERROR) WQSCloseMsg(&h);
        });
  }
};

TEST_F(FaultTest, BuildAndSave) {
  for (WORD type : {WQS_MSG_SIMPLE, WQS_MSG_EXTENDED}) {
    SCOPED_TRACE(type);
    msg_handle_t h;
    bool created = false;
    EXPECT_GT(
        FaultSweepAll([&] { created = false; },
                      [&]() -> STATUS {
                        STATUS err = WQSCreateMsg(&queue_, type, &h);
                        if (err != NOERROR) return err;
                        created = true;
                        // Names of 30000 bytes roll a simple message over to a
                        // new list.
                        for (int i = 0; i < 3 && err == NOERROR; i++) {
                          Recip r = MakeRecip(
                              i, type == WQS_MSG_SIMPLE || i == 1 ? 30000 : 0);
                          recip_info_t ri = RecipInfo(r);
                          err = WQSAppendRecipient(&h, &ri);
                        }
                        TIMEDATE td = {{1, 2}};
                        if (err == NOERROR)
                          err = WQSAddDWORD(&h, TRUE, "WQMsgStatus", 11);
                        if (err == NOERROR)
                          err = WQSAddBool(&h, FALSE, "Flag", TRUE);
                        if (err == NOERROR)
                          err = WQSAddDataBlock(&h, FALSE, "Blob", "abc", 3);
                        if (err == NOERROR)
                          err = WQSAddTIMEDATE(&h, FALSE, "When", &td);
                        return err != NOERROR ? err : WQSCloseAndSaveMsg(&h);
                      },
                      [&](STATUS st) {
                        // A failed build or save is ended by a discard.
                        if (created && st != NOERROR) {
                          EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
                        }
                      }),
        0);
  }
}

TEST_F(FaultTest, Open) {
  // Three lists; extended; with attachments.
  for (NOTEID id :
       {Message(WQS_MSG_SIMPLE, 5, 30000), Message(WQS_MSG_EXTENDED, 4, 0),
        Message(WQS_MSG_SIMPLE, 2, 0, true)}) {
    SCOPED_TRACE(id);
    msg_handle_t h;
    EXPECT_GT(FaultSweepAll([] {},
                            [&] {
                              memset(&h, 0, sizeof(h));
                              return WQSOpenMsgByMsgID(&queue_, id, &h);
                            },
                            [&](STATUS st) {
                              if (st == NOERROR) {
                                EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
                              }
                            }),
              0);
  }
}

TEST_F(FaultTest, UpdateRequeuePurge) {
  NOTEID id = Message(WQS_MSG_EXTENDED, 3, 0, true);
  EXPECT_GT(SweepOnOpened([&] { return id; },
                          [](msg_handle_t* h) {
                            recip_data_t d = MakeRecip(9).data;
                            WQSSetRecipientData(h, 1, &d);
                            return WQSCloseMsgAndUpdate(h);
                          }),
            0);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);

  user_msg_info_t info{};
  info.wRetries = 60000;
  id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(1)}, &info);
  EXPECT_GT(SweepOnOpened([&] { return id; }, WQSCloseMsgAndReQueue), 0);
  SweepOnOpened(
      [&] { return SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(2)); },
      WQSCloseMsgAndPurge);
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
        if (st != NOERROR) {
          EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
        }
      });
}

TEST_F(FaultTest, Lists) {
  for (int i = 0; i < 5; i++) Message(WQS_MSG_SIMPLE, 2, 0);
  msglist_handle_t list;
  for (WORD mode : {WQS_SEARCH_FORMULA, WQS_SEARCH_VIEW}) {
    EXPECT_GT(FaultSweepAll([] {},
                            [&] {
                              WORD count = 0;
                              memset(&list, 0, sizeof(list));
                              return WQSCreateMsgList(
                                  &queue_, 3, mode,
                                  mode == WQS_SEARCH_VIEW ? "Failed" : kFormula,
                                  &list, &count);
                            },
                            [&](STATUS st) {
                              if (st == NOERROR) {
                                EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
                              }
                            }),
              0)
        << mode;
  }
  FaultSweepAll(
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
  // The tool's path: list, open by position, change, update, close list.
  EXPECT_GT(FaultSweepAll([] {},
                          [&]() -> STATUS {
                            WORD count = 0;
                            STATUS err = WQSCreateMsgList(
                                &queue_, 100, WQS_SEARCH_FORMULA, kFormula,
                                &list, &count);
                            if (err != NOERROR || count == 0) return err;
                            msg_handle_t h;
                            err = WQSOpenMsg(&list, 0, &h);
                            if (err == NOERROR) {
                              recip_data_t* p = nullptr;
                              WQSGetRecipientData(&h, 1, &p);
                              if (p != nullptr) p->dwUserInfo = 11;
                              err = WQSCloseMsgAndUpdate(&h);
                              if (err != NOERROR) WQSCloseMsg(&h);
                            }
                            STATUS err2 = WQSCloseMsgList(&list);
                            return err != NOERROR ? err : err2;
                          },
                          [](STATUS) {}),
            0);
}

}  // namespace
}  // namespace wqstest
