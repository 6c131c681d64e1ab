// Fault sweeps over copy, stream write and file create: no block leaks.
#include "core/core_util.h"

namespace wqstest {
namespace {

typedef QueueTest FaultTest;

TEST_F(FaultTest, Copy) {
  for (BOOL keep : {TRUE, FALSE}) {
    NOTEID src = SaveMessage(&queue_, WQS_MSG_EXTENDED, MakeRecips(3));
    msg_handle_t s, m;
    EXPECT_GT(
        FaultSweepAll(
            [&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR); },
            [&] {
              memset(&m, 0, sizeof m);
              return WQSCopyMsg(&queue_, &queue_, &s, keep,
                                keep ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE, &m);
            },
            [&](STATUS st) {
              if (st == NOERROR) {
                EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
              } else {
                EXPECT_EQ(m.hNote, 0u);  // nothing handed out
              }
              EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
            }),
        0);
    ExpectMessage(&queue_, src, MakeRecips(3));  // source intact
  }
}

TEST_F(FaultTest, StreamWrite) {
  msg_handle_t m;
  data_stream_block_t w;
  Bytes d = Pattern(50000);
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
  EXPECT_GE(objectFreed, 2);
}

}  // namespace
}  // namespace wqstest
