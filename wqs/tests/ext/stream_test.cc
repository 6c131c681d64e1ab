// Data stream blocks: piece boundaries, reads and flags, seek, delete.
#include "core/core_util.h"

namespace wqstest {
namespace {

class StreamTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m_), NOERROR);
    ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w_), NOERROR);
  }
  void TearDown() override {
    if (m_.hNote != 0) WQSCloseAndDiscardMsg(&m_);
    QueueTest::TearDown();
  }
  STATUS Write(const Bytes& b, BOOL more = TRUE) {
    return WQSAppendDataStreamBlock(&m_, &w_, more, b.data(), (DWORD)b.size());
  }
  // Reads up to `len` bytes, expecting `count` of them and flag `flag`.
  void Read(data_stream_block_t* r, DWORD len, DWORD count, WORD flag,
            WORD start = 0) {
    BYTE buf[64];
    DWORD got = 0, at = WQSGetDSBReadPos(r);
    WORD f = start;
    EXPECT_EQ(WQSGetDataStreamBlock(&m_, r, &f, buf, len, &got), NOERROR);
    EXPECT_EQ(got, count) << at;
    EXPECT_EQ(f, flag) << at;
    if (at < data_.size()) {
      EXPECT_EQ(memcmp(buf, &data_[at], got), 0) << at;
    }
  }
  msg_handle_t m_{};
  data_stream_block_t w_;
  Bytes data_ = Pattern(100);
};

TEST_F(StreamTest, ChunksAreNeverSplitAcrossPiecesAndDeleteRemovesAll) {
  Bytes a = Pattern(40000, 1), b = Pattern(30000, 2);
  ASSERT_EQ(Write(a), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);  // still in the buffer
  ASSERT_EQ(Write(b), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 1);  // the first chunk alone
  EXPECT_EQ(ItemCount(m_.hNote, "S1"), 0);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&w_), 40000u);  // stored bytes only
  ASSERT_EQ(Write({}, FALSE), NOERROR);
  EXPECT_EQ(w_.hBuff, NULLHANDLE);
  EXPECT_EQ(w_.daStreamBlocks, nullptr);
  EXPECT_TRUE(
      std::equal(a.begin(), a.end(), ItemBytes(m_.hNote, "S0").begin() + 2));
  EXPECT_TRUE(
      std::equal(b.begin(), b.end(), ItemBytes(m_.hNote, "S1").begin() + 2));
  ASSERT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  for (const char* n : {"S0", "S1", "WQSDSBArrayS", "WQSDSBSizeS"}) {
    EXPECT_EQ(ItemCount(m_.hNote, n), 0) << n;
  }
  data_stream_block_t r;
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), ERR_WQS_GENERAL);
}

TEST_F(StreamTest, ChunkAndNameLimits) {
  Bytes big = Pattern(60417);
  EXPECT_EQ(Write(big), ERR_WQS_GENERAL);
  big.pop_back();
  ASSERT_EQ(Write(big), NOERROR);
  ASSERT_EQ(Write({}, FALSE), NOERROR);
  data_stream_block_t r;
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateDataStreamBlock(&m_, "ABCDEFGHIJKLMNOPQRSTU", &r),
            ERR_WQS_NAME_TOO_LONG);  // 21 characters
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

TEST_F(StreamTest, ReadFlagsWith40And50ByteBuffers) {
  ASSERT_EQ(Write(data_, FALSE), NOERROR);
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 100u);
  Read(&r, 40, 40, WQS_DSB_MORE);
  Read(&r, 40, 40, WQS_DSB_MORE);
  Read(&r, 40, 20, WQS_DSB_END);
  EXPECT_EQ(WQSGetDSBReadPos(&r), 100u);
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  Read(&r, 50, 50, WQS_DSB_MORE, 0xAAAA);
  Read(&r, 50, 50, 0xAAAA, 0xAAAA);  // buffer filled exactly with the last byte
  Read(&r, 50, 0, WQS_DSB_END, 0xAAAA);
  WQSDSBSeek(&r, 90000, WQS_SEEK_SET);
  Read(&r, 10, 0, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

}  // namespace
}  // namespace wqstest
