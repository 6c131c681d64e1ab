// Data stream blocks: piece boundaries, reads and flags, seek, delete.
#include "core/core_util.h"

namespace wqstest {
namespace {

class StreamTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m_), NOERROR);
  }
  void TearDown() override {
    if (m_.hNote != 0) WQSCloseAndDiscardMsg(&m_);
    QueueTest::TearDown();
  }
  void WriteStream(const char* name, const std::vector<Bytes>& chunks) {
    data_stream_block_t w;
    ASSERT_EQ(WQSCreateDataStreamBlock(&m_, name, &w), NOERROR);
    for (size_t i = 0; i < chunks.size(); i++) {
      ASSERT_EQ(
          WQSAppendDataStreamBlock(&m_, &w, i + 1 < chunks.size(),
                                   chunks[i].data(), (DWORD)chunks[i].size()),
          NOERROR);
    }
    EXPECT_EQ(w.hBuff, NULLHANDLE);
    EXPECT_EQ(w.daStreamBlocks, nullptr);
  }
  DWORD Read(data_stream_block_t* r, BYTE* buf, DWORD len, WORD* flag) {
    DWORD got = 0;
    EXPECT_EQ(WQSGetDataStreamBlock(&m_, r, flag, buf, len, &got), NOERROR);
    return got;
  }
  msg_handle_t m_{};
};

TEST_F(StreamTest, ChunksAreNeverSplitAcrossPieces) {
  Bytes a = Pattern(40000, 1), b = Pattern(30000, 2);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, a.data(), 40000), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);  // still in the buffer
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, b.data(), 30000), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 1);  // the first chunk alone
  EXPECT_EQ(ItemCount(m_.hNote, "S1"), 0);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&w), 40000u);  // stored bytes only
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
  EXPECT_TRUE(
      std::equal(a.begin(), a.end(), ItemBytes(m_.hNote, "S0").begin() + 2));
  EXPECT_TRUE(
      std::equal(b.begin(), b.end(), ItemBytes(m_.hNote, "S1").begin() + 2));
}

TEST_F(StreamTest, ChunkLimit) {
  Bytes big = Pattern(60417);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60417),
            ERR_WQS_GENERAL);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60416),
            NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
}

TEST_F(StreamTest, ReadFlagsWith40And50ByteBuffers) {
  Bytes data = Pattern(100);
  WriteStream("H", {data});
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "H", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 100u);
  BYTE buf[64];
  WORD flag;
  const DWORD counts[] = {40, 40, 20};
  const WORD flags[] = {WQS_DSB_MORE, WQS_DSB_MORE, WQS_DSB_END};
  for (int i = 0; i < 3; i++) {
    flag = 0;
    EXPECT_EQ(Read(&r, buf, 40, &flag), counts[i]) << i;
    EXPECT_EQ(flag, flags[i]) << i;
    EXPECT_EQ(memcmp(buf, data.data() + 40 * i, counts[i]), 0);
  }
  EXPECT_EQ(WQSGetDSBReadPos(&r), 100u);
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  flag = 0xAAAA;
  EXPECT_EQ(Read(&r, buf, 50, &flag), 50u);
  EXPECT_EQ(flag, WQS_DSB_MORE);
  flag = 0xAAAA;
  EXPECT_EQ(Read(&r, buf, 50, &flag), 50u);
  EXPECT_EQ(flag, 0xAAAA);  // buffer filled exactly with the last byte
  EXPECT_EQ(memcmp(buf, data.data() + 50, 50), 0);
  EXPECT_EQ(Read(&r, buf, 50, &flag), 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  WQSDSBSeek(&r, 90000, WQS_SEEK_SET);
  flag = 0;
  EXPECT_EQ(Read(&r, buf, 10, &flag), 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, DeleteAndNameLimit) {
  WriteStream("S", {Pattern(40000), Pattern(30000)});
  ASSERT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  for (const char* n : {"S0", "S1", "WQSDSBArrayS", "WQSDSBSizeS"}) {
    EXPECT_EQ(ItemCount(m_.hNote, n), 0) << n;
  }
  data_stream_block_t r;
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), ERR_WQS_GENERAL);
  const char* name21 = "ABCDEFGHIJKLMNOPQRSTU";
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateDataStreamBlock(&m_, name21, &r), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
}

}  // namespace
}  // namespace wqstest
