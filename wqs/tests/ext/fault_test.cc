// Fault-injection sweeps: every allocation, lock and reallocation of a
// copy, a stream write, a stream read and a file block create is made to
// fail in turn, and each failure must leave the runtime's live block count
// where it was once the caller has released what it holds.
#include "core/core_util.h"

namespace wqstest {
namespace {

typedef QueueTest FaultTest;

TEST_F(FaultTest, Copy) {
  // Kept within a type, dropped into the other, and kept from three lists.
  struct {
    WORD type;
    size_t nameLen;
    BOOL keep;
    WORD newType;
  } cases[] = {{WQS_MSG_EXTENDED, 0, TRUE, WQS_MSG_EXTENDED},
               {WQS_MSG_SIMPLE, 25000, FALSE, WQS_MSG_EXTENDED},
               {WQS_MSG_SIMPLE, 25000, TRUE, WQS_MSG_SIMPLE}};
  for (const auto& c : cases) {
    NOTEID src = SaveMessage(&queue_, c.type, MakeRecips(3, c.nameLen));
    msg_handle_t s, m;
    EXPECT_GT(
        FaultSweepAll(
            [&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR); },
            [&] {
              memset(&m, 0, sizeof m);
              return WQSCopyMsg(&queue_, &queue_, &s, c.keep, c.newType, &m);
            },
            [&](STATUS st) {
              if (st == NOERROR) {
                // A copy that survived the fault must still be whole.
                EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
              } else {
                EXPECT_EQ(m.hNote, 0u);  // nothing handed out
              }
              EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
            }),
        0);
    ExpectMessage(&queue_, src, MakeRecips(3, c.nameLen));  // source intact
  }
}

TEST_F(FaultTest, StreamWriteAndRead) {
  msg_handle_t m;
  data_stream_block_t w, r;
  Bytes d = Pattern(50000), buf(70000);
  EXPECT_GT(FaultSweepAll(
                [&] {
                  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m), NOERROR);
                },
                [&] {
                  STATUS err = WQSCreateDataStreamBlock(&m, "Body", &w);
                  for (int i = 0; err == NOERROR && i < 3; i++) {
                    err = WQSAppendDataStreamBlock(&m, &w, i < 2, d.data(),
                                                   50000);
                  }
                  return err;
                },
                [&](STATUS st) {
                  if (st == NOERROR) {
                    EXPECT_EQ(w.hBuff, NULLHANDLE);
                    EXPECT_EQ(w.daStreamBlocks, nullptr);
                  }
                  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);
                  EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
                }),
            0);
  EXPECT_GT(
      FaultSweepAll(
          [&] {
            ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m), NOERROR);
            ASSERT_EQ(WQSCreateDataStreamBlock(&m, "Body", &w), NOERROR);
            ASSERT_EQ(WQSAppendDataStreamBlock(&m, &w, TRUE, d.data(), 50000),
                      NOERROR);
            ASSERT_EQ(WQSAppendDataStreamBlock(&m, &w, FALSE, d.data(), 50000),
                      NOERROR);
            memset(&r, 0, sizeof r);
          },
          [&] {
            STATUS err = WQSOpenDataStreamBlock(&m, "Body", &r);
            WORD flag = 0;
            DWORD got = 0;
            while (err == NOERROR && flag != WQS_DSB_END) {
              err =
                  WQSGetDataStreamBlock(&m, &r, &flag, buf.data(), 70000, &got);
            }
            return err;
          },
          [&](STATUS) {
            EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
            EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
          }),
      0);
}

TEST_F(FaultTest, FileBlockCreate) {
  msg_handle_t m;
  file_block_t fb;
  file_descriptor_t fd;
  memset(&fd, 0, sizeof fd);
  fd.fileType = 2;
  fd.wNameLen = 10;
  memcpy(fd.fileName, "Resume.doc", 10);
  fd.size = 1000;
  fd.resSize = 200;
  int objectFreed = 0;
  EXPECT_GT(FaultSweepAll(
                [&] {
                  ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m), NOERROR);
                },
                [&] {
                  memset(&fb, 0, sizeof fb);
                  return WQSCreateFileBlock(&m, &fd, &fb);
                },
                [&](STATUS st) {
                  if (st != NOERROR && ItemCount(m.hNote, "$FILE") == 0) {
                    // Failed before the $FILE item: its object is gone again.
                    if (fb.RRV != 0) objectFreed++;
                    DWORD size = 0;
                    EXPECT_NE(QDSDbGetObjectSize(db(), fb.RRV, &size), NOERROR)
                        << "object " << Val(fb.RRV) << " left behind (status "
                        << st << ")";
                    EXPECT_EQ(m.info.wNumAttachments, 0);
                  }
                  EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
                }),
            0);
  // Some faults came after the object was allocated: the value block's
  // allocation and lock at least.
  EXPECT_GE(objectFreed, 2);
}

}  // namespace
}  // namespace wqstest
