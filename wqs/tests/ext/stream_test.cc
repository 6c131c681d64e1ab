// Data stream blocks: piece boundaries, the stored table and size items
// byte for byte, reads with their flags, seeks, delete, name limits,
// abandoning a writer, and a table or piece that lies about its size.
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
  // Writes `chunks` as one stream, the last append finishing it.
  void WriteStream(const char* name, const std::vector<Bytes>& chunks) {
    data_stream_block_t w;
    ASSERT_EQ(WQSCreateDataStreamBlock(&m_, name, &w), NOERROR);
    for (size_t i = 0; i < chunks.size(); i++) {
      ASSERT_EQ(
          WQSAppendDataStreamBlock(&m_, &w, i + 1 < chunks.size(),
                                   chunks[i].data(), (DWORD)chunks[i].size()),
          NOERROR);
    }
    if (chunks.empty()) {
      ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
    }
    EXPECT_EQ(w.hBuff, NULLHANDLE);
    EXPECT_EQ(w.daStreamBlocks, nullptr);
  }
  // Reads `len` bytes into `buf`; returns the count and sets `flag`.
  DWORD Read(data_stream_block_t* r, BYTE* buf, DWORD len, WORD* flag) {
    DWORD got = 0;
    EXPECT_EQ(WQSGetDataStreamBlock(&m_, r, flag, buf, len, &got), NOERROR);
    return got;
  }
  // The stored table of stream `name` (slot 0: the total, then the piece
  // sizes) and its size item.
  void ExpectStored(const std::string& name, const std::vector<DWORD>& pieces) {
    Bytes t = ItemBytes(m_.hNote, "WQSDSBArray" + name);
    DWORD slots = 1 + (DWORD)pieces.size(), total = 0;
    ASSERT_EQ(t.size(), 2u + 32 + 24 + 4 * slots);
    EXPECT_EQ(GetW(t, 0), TYPE_USERDATA);
    EXPECT_EQ(t[2], 32);
    std::string header = "WQSDSBArray" + name;
    EXPECT_EQ(memcmp(&t[3], header.data(), header.size()), 0);
    EXPECT_EQ(GetDW(t, 38), 24 + 4 * slots);  // dwSize
    EXPECT_EQ(GetDW(t, 42), 4u);              // entry size
    EXPECT_EQ(GetDW(t, 46), 1u);              // growth
    EXPECT_EQ(GetDW(t, 50), slots);           // used
    EXPECT_EQ(GetDW(t, 54), 0u);              // free
    for (size_t i = 0; i < pieces.size(); i++) {
      EXPECT_EQ(GetDW(t, 62 + 4 * i), pieces[i]) << i;
      total += pieces[i];
      Bytes p = ItemBytes(m_.hNote, name + std::to_string(i));
      ASSERT_EQ(p.size(), pieces[i] + 2u) << i;
      EXPECT_EQ(GetW(p, 0), TYPE_TEXT);
    }
    EXPECT_EQ(GetDW(t, 58), total);
    EXPECT_EQ(ItemCount(m_.hNote, name + std::to_string(pieces.size())), 0);
    Bytes size = ItemBytes(m_.hNote, "WQSDSBSize" + name);
    ASSERT_EQ(size.size(), 10u);
    EXPECT_EQ(GetW(size, 0), TYPE_NUMBER);
    double d = -1;
    memcpy(&d, &size[2], 8);
    EXPECT_EQ(d, (double)total);
  }
  msg_handle_t m_{};
};

TEST_F(StreamTest, EmptyStreamHasOnlyTableAndSize) {
  WriteStream("Body", {});
  ExpectStored("Body", {});
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "Body", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 0u);
  BYTE buf[8];
  WORD flag = 0;
  EXPECT_EQ(Read(&r, buf, sizeof buf, &flag), 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

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
  ExpectStored("S", {40000, 30000});
  EXPECT_TRUE(
      std::equal(a.begin(), a.end(), ItemBytes(m_.hNote, "S0").begin() + 2));
  EXPECT_TRUE(
      std::equal(b.begin(), b.end(), ItemBytes(m_.hNote, "S1").begin() + 2));
}

TEST_F(StreamTest, ChunkLimitExactFillAndPieceNumbers) {
  Bytes big = Pattern(60417);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60417),
            ERR_WQS_GENERAL);
  EXPECT_EQ(w.dwBuffSize, 0u);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 30208),
            NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 30208),
            NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);  // exactly full stays buffered
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 1), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60416),
            NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
  ExpectStored("S", {60416, 1, 60416});
  // A finished handle takes nothing more, nor does a zeroed one.
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 1),
            ERR_WQS_GENERAL);
  memset(&w, 0, sizeof w);
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, big.data(), 10),
            ERR_WQS_GENERAL);

  // With 65535 pieces stored the next piece has no number left.
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "T", &w), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 40000),
            NOERROR);
  w.wSeqNum = 0xFFFF;
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 40000),
            ERR_WQS_GENERAL);
  EXPECT_EQ(w.dwBuffSize, 40000u);
  EXPECT_EQ(ItemCount(m_.hNote, "T65535"), 0);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);
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
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, SeeksAndReadsAcrossPieceBoundary) {
  Bytes a = Pattern(40000, 3), b = Pattern(30000, 4);
  WriteStream("S", {a, b});
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  Bytes buf(80000);
  WORD flag;
  WQSDSBSeek(&r, 40000, WQS_SEEK_SET);
  EXPECT_EQ(Read(&r, buf.data(), 100, &flag), 100u);
  EXPECT_EQ(flag, WQS_DSB_MORE);
  EXPECT_EQ(memcmp(buf.data(), b.data(), 100), 0);
  WQSDSBSeek(&r, 39900, WQS_SEEK_SET);
  EXPECT_EQ(Read(&r, buf.data(), 200, &flag), 200u);
  EXPECT_EQ(memcmp(buf.data(), a.data() + 39900, 100), 0);
  EXPECT_EQ(memcmp(buf.data() + 100, b.data(), 100), 0);
  // Relative seek back by a two's-complement offset.
  WQSDSBSeek(&r, (DWORD)-150, 0);
  EXPECT_EQ(WQSGetDSBReadPos(&r), 39950u);
  EXPECT_EQ(Read(&r, buf.data(), 50, &flag), 50u);
  EXPECT_EQ(memcmp(buf.data(), a.data() + 39950, 50), 0);
  // Whole stream in one read: everything, then the end flag.
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  EXPECT_EQ(Read(&r, buf.data(), 80000, &flag), 70000u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(memcmp(buf.data(), a.data(), 40000), 0);
  EXPECT_EQ(memcmp(buf.data() + 40000, b.data(), 30000), 0);
  // Past the end: nothing, end flag.
  WQSDSBSeek(&r, 90000, WQS_SEEK_SET);
  flag = 0;
  EXPECT_EQ(Read(&r, buf.data(), 10, &flag), 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, RoundTripThroughSaveAndOpen) {
  Bytes all = Pattern(250000, 9);
  std::vector<Bytes> chunks;
  const size_t sizes[] = {1, 60416, 7, 33333, 60000, 12345, 0, 59999};
  for (size_t i = 0, pos = 0; pos < all.size(); i++) {
    size_t n = std::min(sizes[i % 8], all.size() - pos);
    chunks.emplace_back(all.begin() + pos, all.begin() + pos + n);
    pos += n;
  }
  WriteStream("Body", chunks);
  ASSERT_EQ(WQSCloseAndSaveMsg(&m_), NOERROR);
  NOTEID id = m_.info.user.dwQueueMsgID;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &m_), NOERROR);
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "Body", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), all.size());
  Bytes back, buf(7001);
  WORD flag = 0;
  do {
    DWORD got = Read(&r, buf.data(), 7001, &flag);
    back.insert(back.end(), buf.begin(), buf.begin() + got);
  } while (flag != WQS_DSB_END && back.size() <= all.size() && !HasFailure());
  EXPECT_TRUE(back == all);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(WQSCloseMsg(&m_), NOERROR);
  m_.hNote = 0;
}

TEST_F(StreamTest, DeleteAndNameLimit) {
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "Nothing"), NOERROR);
  WriteStream("S", {Pattern(40000), Pattern(30000)});
  WriteStream("T", {Pattern(10)});
  ASSERT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  for (const char* n : {"S0", "S1", "WQSDSBArrayS", "WQSDSBSizeS"}) {
    EXPECT_EQ(ItemCount(m_.hNote, n), 0) << n;
  }
  ExpectStored("T", {10});
  data_stream_block_t r;
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), ERR_WQS_GENERAL);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);

  // Names of more than 20 characters: refused with nothing allocated.
  const char* name20 = "ABCDEFGHIJKLMNOPQRST";
  const char* name21 = "ABCDEFGHIJKLMNOPQRSTU";
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateDataStreamBlock(&m_, name21, &r), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(r.hBuff, NULLHANDLE);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, name21, &r), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, name21), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  // Twenty fill the table's 31-byte header name exactly.
  WriteStream(name20, {Pattern(5)});
  ExpectStored(name20, {5});
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, name20, &r), NOERROR);
  BYTE buf[8];
  WORD flag;
  EXPECT_EQ(Read(&r, buf, 8, &flag), 5u);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, name20), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, std::string(name20) + "0"), 0);
}

TEST_F(StreamTest, AbandonReleasesWriterAndLeavesStreamUnopenable) {
  // The writer holds a buffer (tagged as stored array values) and its
  // table (a dynamic array); stored pieces belong to the document.
  auto held = [] { return Blocks(WQS_TAG_ARRAYVALUE) + Blocks(DA_BLOCK_TYPE); };
  DWORD before = held();
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  EXPECT_EQ(held(), before + 2);
  Bytes d = Pattern(60417);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, d.data(), 40000), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, d.data(), 40000), NOERROR);
  // A refused append leaves the writer as it was; abandon still works.
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, d.data(), 60417),
            ERR_WQS_GENERAL);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);
  EXPECT_EQ(w.hBuff, NULLHANDLE);
  EXPECT_EQ(w.daStreamBlocks, nullptr);
  EXPECT_EQ(held(), before);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);  // twice is harmless
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 1);            // stored piece stays
  data_stream_block_t r;
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), ERR_WQS_GENERAL);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);
  memset(&r, 0, sizeof r);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, DamagedTablesAreRefused) {
  // Table values by hand: (value length, dwSize, entry size, used, slots).
  struct {
    const char* name;
    DWORD valueLen, dwSize, entrySize, used;
    std::vector<DWORD> slots;
    STATUS want;
  } cases[] = {
      {"A", 50, 16, 4, 1, {}, ERR_WQS_CORRUPT},      // shorter than 58
      {"B", 66, 40, 4, 2, {5, 5}, ERR_WQS_CORRUPT},  // dwSize != 32
      {"C", 66, 32, 8, 1, {5, 5}, ERR_WQS_CORRUPT},  // entry size 8
      {"D", 66, 32, 4, 0, {5, 5}, ERR_WQS_CORRUPT},  // no total
      {"E", 66, 32, 4, 3, {5, 5}, ERR_WQS_CORRUPT},  // used > slots
      {"F", 66, 32, 4, 2, {9, 5}, ERR_WQS_CORRUPT},  // sum != total
      {"G", 66, 32, 4, 2, {5, 5}, NOERROR},          // sound
  };
  for (const auto& c : cases) {
    Bytes v(c.valueLen, 0);
    v[0] = (BYTE)TYPE_USERDATA;
    v[1] = (BYTE)(TYPE_USERDATA >> 8);
    v[2] = 32;
    auto put = [&](size_t off, DWORD x) {
      if (off + 4 <= v.size()) memcpy(&v[off], &x, 4);
    };
    put(38, c.dwSize);
    put(42, c.entrySize);
    put(46, 1);
    put(50, c.used);
    for (size_t i = 0; i < c.slots.size(); i++) put(58 + 4 * i, c.slots[i]);
    AppendRawValue(m_.hNote, std::string("WQSDSBArray") + c.name, v);
    data_stream_block_t r;
    EXPECT_EQ(WQSOpenDataStreamBlock(&m_, c.name, &r), c.want) << c.name;
    if (c.want == NOERROR) {
      EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
    }
  }
}

TEST_F(StreamTest, ShortOrMissingPiecesAreNotReadPast) {
  Bytes a = Pattern(100, 5);
  WriteStream("S", {a});
  // Piece 0 replaced by one of half the length the table claims.
  ASSERT_EQ(QDSItemDelete(m_.hNote, "S0", 2), NOERROR);
  ASSERT_EQ(QDSItemAppend(m_.hNote, 0, "S0", 2, TYPE_TEXT, a.data(), 50),
            NOERROR);
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  Bytes buf(100);
  WORD flag = 0;
  DWORD got = 0;
  WQSDSBSeek(&r, 80, WQS_SEEK_SET);
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 10, &got),
            ERR_WQS_CORRUPT);
  // From the start: the 50 bytes there are, then the missing next piece is
  // the store's "not found", with the count covering what was copied.
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 100, &got),
            ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(got, 50u);
  EXPECT_EQ(WQSGetDSBReadPos(&r), 50u);
  EXPECT_EQ(memcmp(buf.data(), a.data(), 50), 0);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
  // A missing first piece leaves the count unwritten.
  ASSERT_EQ(QDSItemDelete(m_.hNote, "S0", 2), NOERROR);
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  got = 1234;
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 100, &got),
            ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(got, 1234u);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

}  // namespace
}  // namespace wqstest
