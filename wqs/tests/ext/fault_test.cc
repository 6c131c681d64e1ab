// Fault-injection sweeps: every allocation, lock and reallocation of a
// copy, a stream write, a stream read and a file block create is made to
// fail in turn, and each failure must leave the runtime's live block count
// where it was once the caller has released what it holds.
#include <cstring>

#include "ext/ext_util.h"

namespace wqsext {
namespace {

class FaultTest : public ExtTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(OSMemTestTotalBlocks(), baseline_blocks_);
    ExtTest::TearDown();
  }
};

void SweepCopy(ExtTest* t, queue_handle_t* q, NOTEID src, BOOL keep,
               WORD newType) {
  msg_handle_t s, c;
  FaultSweepAll(
      [&] { ASSERT_EQ(WQSOpenMsgByMsgID(q, src, &s), NOERROR); },
      [&] {
        memset(&c, 0, sizeof c);
        return WQSCopyMsg(q, q, &s, keep, newType, &c);
      },
      [&](STATUS st) {
        if (st == NOERROR) {
          // A copy that survived the fault must still be whole.
          EXPECT_EQ(WQSCloseAndSaveMsg(&c), NOERROR);
        } else {
          EXPECT_EQ(c.hNote, 0u);  // nothing handed out
        }
        EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
      });
}

TEST_F(FaultTest, CopyKeepingRecipients) {
  std::vector<Recip> rs;
  for (int i = 0; i < 3; i++) rs.push_back(MakeRecip(i));
  NOTEID src = SaveMessage(&q1_, WQS_MSG_EXTENDED, rs);
  SweepCopy(this, &q1_, src, TRUE, WQS_MSG_EXTENDED);
  // The source is still the message it was.
  msg_handle_t s;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, src, &s), NOERROR);
  EXPECT_EQ(+s.info.user.wNumRecip, 3);
  recip_info_t ri{};
  ASSERT_EQ(WQSGetRecipient(&s, 2, &ri), NOERROR);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), rs[2].name);
  EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
}

TEST_F(FaultTest, CopyDroppingRecipients) {
  std::vector<Recip> rs;
  for (int i = 0; i < 3; i++) rs.push_back(MakeRecip(i, 25000));
  NOTEID src = SaveMessage(&q1_, WQS_MSG_SIMPLE, rs);
  SweepCopy(this, &q1_, src, FALSE, WQS_MSG_EXTENDED);
  SweepCopy(this, &q1_, src, TRUE, WQS_MSG_SIMPLE);
}

TEST_F(FaultTest, StreamWrite) {
  msg_handle_t m;
  data_stream_block_t w;
  std::vector<uint8_t> d = Pattern(50000);
  FaultSweepAll(
      [&] { ASSERT_EQ(WQSCreateMsg(&q1_, WQS_MSG_SIMPLE, &m), NOERROR); },
      [&] {
        STATUS err = WQSCreateDataStreamBlock(&m, "Body", &w);
        for (int i = 0; err == NOERROR && i < 3; i++) {
          err = WQSAppendDataStreamBlock(&m, &w, i < 2, d.data(), 50000);
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
      });
}

TEST_F(FaultTest, StreamRead) {
  msg_handle_t m;
  data_stream_block_t r;
  std::vector<uint8_t> d = Pattern(50000);
  std::vector<uint8_t> buf(70000);
  FaultSweepAll(
      [&] {
        ASSERT_EQ(WQSCreateMsg(&q1_, WQS_MSG_SIMPLE, &m), NOERROR);
        data_stream_block_t w;
        ASSERT_EQ(WQSCreateDataStreamBlock(&m, "Body", &w), NOERROR);
        ASSERT_EQ(WQSAppendDataStreamBlock(&m, &w, TRUE, d.data(), 50000), NOERROR);
        ASSERT_EQ(WQSAppendDataStreamBlock(&m, &w, FALSE, d.data(), 50000), NOERROR);
        memset(&r, 0, sizeof r);
      },
      [&] {
        STATUS err = WQSOpenDataStreamBlock(&m, "Body", &r);
        WORD flag = 0;
        DWORD got = 0;
        while (err == NOERROR && flag != WQS_DSB_END) {
          err = WQSGetDataStreamBlock(&m, &r, &flag, buf.data(), 70000, &got);
        }
        return err;
      },
      [&](STATUS st) {
        EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
        EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
      });
}

TEST_F(FaultTest, FileBlockCreate) {
  msg_handle_t m;
  file_block_t fb;
  file_descriptor_t fd{};
  fd.fileType = 2;
  fd.wNameLen = 10;
  memcpy(fd.fileName, "Resume.doc", 10);
  fd.size = 1000;
  fd.resSize = 200;
  int objectFreed = 0;
  FaultSweepAll(
      [&] { ASSERT_EQ(WQSCreateMsg(&q1_, WQS_MSG_SIMPLE, &m), NOERROR); },
      [&] {
        memset(&fb, 0, sizeof fb);
        return WQSCreateFileBlock(&m, &fd, &fb);
      },
      [&](STATUS st) {
        if (st != NOERROR && ItemCount(m.hNote, "$FILE") == 0) {
          if (fb.RRV != 0) objectFreed++;
          // Failed before the $FILE item: its object is gone again.
          DWORD size = 0;
          EXPECT_NE(QDSDbGetObjectSize(q1_.dbhandle, fb.RRV, &size), NOERROR)
              << "object " << +fb.RRV << " left behind (status " << st << ")";
          EXPECT_EQ(+m.info.wNumAttachments, 0);
        }
        EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
      });
  // Some faults came after the object was allocated: the value block's
  // allocation and lock at least.
  EXPECT_GE(objectFreed, 2);
}

}  // namespace
}  // namespace wqsext
