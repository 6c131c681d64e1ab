// Memory fault injection over message create+save and open: each failure
// is reported or coped with, and no memory block is left alive.
#include "core_util.h"

namespace wqstest {
namespace {

typedef QueueTest FaultTest;

TEST_F(FaultTest, CreateSaveAndOpen) {
  msg_handle_t h;
  bool created = false;
  EXPECT_GT(FaultSweepAll([&] { created = false; },
                          [&]() -> STATUS {
                            STATUS err =
                                WQSCreateMsg(&queue_, WQS_MSG_EXTENDED, &h);
                            if (err != NOERROR) return err;
                            created = true;
                            Recip r = MakeRecip(1);
                            recip_info_t ri = RecipInfo(r);
                            err = WQSAppendRecipient(&h, &ri);
                            return err != NOERROR ? err
                                                  : WQSCloseAndSaveMsg(&h);
                          },
                          [&](STATUS st) {
                            if (created && st != NOERROR) {
                              EXPECT_EQ(WQSCloseAndDiscardMsg(&h), NOERROR);
                            }
                          }),
            0);

  NOTEID id = SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(4));
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

}  // namespace
}  // namespace wqstest
