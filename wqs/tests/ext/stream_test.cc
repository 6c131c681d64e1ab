// Data stream blocks: piece boundaries, the stored table and size items
// byte for byte, reads with their flags, seeks, delete, name limits,
// abandoning a writer, and a table or piece that lies about its size.
#include <cstring>

#include "ext/ext_util.h"

namespace wqsext {
namespace {

class StreamTest : public ExtTest {
 protected:
  void SetUp() override {
    ExtTest::SetUp();
    ASSERT_EQ(WQSCreateMsg(&q1_, WQS_MSG_SIMPLE, &m_), NOERROR);
  }
  void TearDown() override {
    if (m_.hNote != 0) WQSCloseAndDiscardMsg(&m_);
    EXPECT_EQ(OSMemTestTotalBlocks(), baseline_blocks_);
    ExtTest::TearDown();
  }

  // Writes `chunks` as one stream, the last append finishing it.
  void WriteStream(const char* name, const std::vector<std::vector<uint8_t>>& chunks) {
    data_stream_block_t w;
    ASSERT_EQ(WQSCreateDataStreamBlock(&m_, name, &w), NOERROR);
    for (size_t i = 0; i < chunks.size(); i++) {
      BOOL more = i + 1 < chunks.size();
      ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, more, chunks[i].data(),
                                         (DWORD)chunks[i].size()),
                NOERROR);
    }
    if (chunks.empty()) {
      ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
    }
    EXPECT_EQ(w.hBuff, NULLHANDLE);
    EXPECT_EQ(w.daStreamBlocks, nullptr);
  }

  msg_handle_t m_{};
};

DWORD Dw(const std::vector<uint8_t>& v, size_t off) {
  return (DWORD)v[off] | ((DWORD)v[off + 1] << 8) | ((DWORD)v[off + 2] << 16) |
         ((DWORD)v[off + 3] << 24);
}
WORD W(const std::vector<uint8_t>& v, size_t off) {
  return (WORD)(v[off] | (v[off + 1] << 8));
}

TEST_F(StreamTest, EmptyStreamHasOnlyTableAndSize) {
  WriteStream("Body", {});
  EXPECT_EQ(ItemCount(m_.hNote, "Body0"), 0);
  std::vector<uint8_t> table = ItemValue(m_.hNote, "WQSDSBArrayBody");
  ASSERT_EQ(table.size(), 2u + 32 + 24 + 4);
  EXPECT_EQ(W(table, 0), TYPE_USERDATA);
  EXPECT_EQ(table[2], 32);
  EXPECT_EQ(memcmp(&table[3], "WQSDSBArrayBody", 15), 0);
  EXPECT_EQ(Dw(table, 38), 28u);  // dwSize
  EXPECT_EQ(Dw(table, 42), 4u);   // entry size
  EXPECT_EQ(Dw(table, 46), 1u);   // growth
  EXPECT_EQ(Dw(table, 50), 1u);   // used
  EXPECT_EQ(Dw(table, 54), 0u);   // free
  EXPECT_EQ(Dw(table, 58), 0u);   // total
  std::vector<uint8_t> size = ItemValue(m_.hNote, "WQSDSBSizeBody");
  ASSERT_EQ(size.size(), 10u);
  EXPECT_EQ(W(size, 0), TYPE_NUMBER);
  double d = -1;
  memcpy(&d, &size[2], 8);
  EXPECT_EQ(d, 0.0);

  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "Body", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 0u);
  char buf[8];
  WORD flag = 0;
  DWORD got = 99;
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf, sizeof buf, &got), NOERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, ChunksAreNeverSplitAcrossPieces) {
  std::vector<uint8_t> a = Pattern(40000, 1), b = Pattern(30000, 2);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, a.data(), 40000), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);  // still in the buffer
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, b.data(), 30000), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 1);  // the first chunk alone
  EXPECT_EQ(ItemCount(m_.hNote, "S1"), 0);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&w), 40000u);  // stored bytes only
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);

  std::vector<uint8_t> p0 = ItemValue(m_.hNote, "S0");
  std::vector<uint8_t> p1 = ItemValue(m_.hNote, "S1");
  ASSERT_EQ(p0.size(), 40002u);
  ASSERT_EQ(p1.size(), 30002u);
  EXPECT_EQ(W(p0, 0), TYPE_TEXT);
  EXPECT_EQ(W(p1, 0), TYPE_TEXT);
  EXPECT_EQ(memcmp(&p0[2], a.data(), 40000), 0);
  EXPECT_EQ(memcmp(&p1[2], b.data(), 30000), 0);
  EXPECT_EQ(ItemCount(m_.hNote, "S2"), 0);

  std::vector<uint8_t> table = ItemValue(m_.hNote, "WQSDSBArrayS");
  ASSERT_EQ(table.size(), 2u + 32 + 24 + 4 * 3);
  EXPECT_EQ(W(table, 0), TYPE_USERDATA);
  EXPECT_EQ(table[2], 32);
  EXPECT_EQ(memcmp(&table[3], "WQSDSBArrayS", 12), 0);
  EXPECT_EQ(Dw(table, 38), 24u + 12);
  EXPECT_EQ(Dw(table, 42), 4u);
  EXPECT_EQ(Dw(table, 46), 1u);
  EXPECT_EQ(Dw(table, 50), 3u);
  EXPECT_EQ(Dw(table, 54), 0u);
  EXPECT_EQ(Dw(table, 58), 70000u);
  EXPECT_EQ(Dw(table, 62), 40000u);
  EXPECT_EQ(Dw(table, 66), 30000u);
  std::vector<uint8_t> size = ItemValue(m_.hNote, "WQSDSBSizeS");
  ASSERT_EQ(size.size(), 10u);
  double d = 0;
  memcpy(&d, &size[2], 8);
  EXPECT_EQ(d, 70000.0);
}

TEST_F(StreamTest, ChunkLimitAndExactFill) {
  std::vector<uint8_t> big = Pattern(60417);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60417),
            ERR_WQS_GENERAL);
  EXPECT_EQ(w.dwBuffSize, 0u);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 30208), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 30208), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);  // exactly full stays buffered
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 1), NOERROR);
  EXPECT_EQ(ItemValue(m_.hNote, "S0").size(), 60418u);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 60416), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, nullptr, 0), NOERROR);
  EXPECT_EQ(ItemValue(m_.hNote, "S1").size(), 3u);
  EXPECT_EQ(ItemValue(m_.hNote, "S2").size(), 60418u);
  // A finished handle takes nothing more.
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, big.data(), 1),
            ERR_WQS_GENERAL);
}

TEST_F(StreamTest, ReadFlagsWith40And50ByteBuffers) {
  std::vector<uint8_t> data = Pattern(100);
  WriteStream("H", {data});
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "H", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), 100u);
  char buf[64];
  WORD flag;
  DWORD got;
  const DWORD expect40[] = {40, 40, 20};
  const WORD flags40[] = {WQS_DSB_MORE, WQS_DSB_MORE, WQS_DSB_END};
  for (int i = 0; i < 3; i++) {
    flag = 0;
    ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf, 40, &got), NOERROR);
    EXPECT_EQ(got, expect40[i]) << i;
    EXPECT_EQ(flag, flags40[i]) << i;
    EXPECT_EQ(memcmp(buf, data.data() + 40 * i, got), 0);
  }
  EXPECT_EQ(WQSGetDSBReadPos(&r), 100u);

  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  flag = 0xAAAA;
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf, 50, &got), NOERROR);
  EXPECT_EQ(got, 50u);
  EXPECT_EQ(flag, WQS_DSB_MORE);
  flag = 0xAAAA;
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf, 50, &got), NOERROR);
  EXPECT_EQ(got, 50u);
  EXPECT_EQ(flag, 0xAAAA);  // buffer filled exactly with the last byte
  EXPECT_EQ(memcmp(buf, data.data() + 50, 50), 0);
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf, 50, &got), NOERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, ReadsAcrossAndFromPieceBoundary) {
  std::vector<uint8_t> a = Pattern(40000, 3), b = Pattern(30000, 4);
  WriteStream("S", {a, b});
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  std::vector<uint8_t> buf(200);
  WORD flag;
  DWORD got;
  WQSDSBSeek(&r, 40000, WQS_SEEK_SET);
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 100, &got), NOERROR);
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(flag, WQS_DSB_MORE);
  EXPECT_EQ(memcmp(buf.data(), b.data(), 100), 0);

  WQSDSBSeek(&r, 39900, WQS_SEEK_SET);
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 200, &got), NOERROR);
  EXPECT_EQ(got, 200u);
  EXPECT_EQ(memcmp(buf.data(), a.data() + 39900, 100), 0);
  EXPECT_EQ(memcmp(buf.data() + 100, b.data(), 100), 0);

  // Relative seek back by a two's-complement offset.
  WQSDSBSeek(&r, (DWORD)-150, 0);
  EXPECT_EQ(WQSGetDSBReadPos(&r), 39950u);
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 50, &got), NOERROR);
  EXPECT_EQ(memcmp(buf.data(), a.data() + 39950, 50), 0);

  // Whole stream in one read: everything, then the end flag.
  std::vector<uint8_t> all(80000);
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, all.data(), 80000, &got), NOERROR);
  EXPECT_EQ(got, 70000u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(memcmp(all.data(), a.data(), 40000), 0);
  EXPECT_EQ(memcmp(all.data() + 40000, b.data(), 30000), 0);

  // Past the end: nothing, end flag.
  WQSDSBSeek(&r, 90000, WQS_SEEK_SET);
  flag = 0;
  got = 7;
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 10, &got), NOERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(flag, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, RoundTripThroughSaveAndOpen) {
  std::vector<uint8_t> all = Pattern(250000, 9);
  std::vector<std::vector<uint8_t>> chunks;
  size_t sizes[] = {1, 60416, 7, 33333, 60000, 12345, 0, 59999};
  size_t pos = 0;
  for (size_t i = 0; pos < all.size(); i++) {
    size_t n = std::min(sizes[i % 8], all.size() - pos);
    chunks.emplace_back(all.begin() + pos, all.begin() + pos + n);
    pos += n;
  }
  WriteStream("Body", chunks);
  ASSERT_EQ(WQSCloseAndSaveMsg(&m_), NOERROR);
  NOTEID id = m_.info.user.dwQueueMsgID;
  m_.hNote = 0;

  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, id, &o), NOERROR);
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&o, "Body", &r), NOERROR);
  EXPECT_EQ(WQSGetSizeOfDataStreamBlock(&r), all.size());
  std::vector<uint8_t> back;
  std::vector<uint8_t> buf(7001);
  WORD flag = 0;
  do {
    DWORD got = 0;
    ASSERT_EQ(WQSGetDataStreamBlock(&o, &r, &flag, buf.data(), 7001, &got), NOERROR);
    back.insert(back.end(), buf.begin(), buf.begin() + got);
  } while (flag != WQS_DSB_END && back.size() <= all.size());
  EXPECT_TRUE(back == all);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(StreamTest, DeleteMissingAndPresentStreams) {
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "Nothing"), NOERROR);
  WriteStream("S", {Pattern(40000), Pattern(30000)});
  WriteStream("T", {Pattern(10)});
  ASSERT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  for (const char* n : {"S0", "S1", "WQSDSBArrayS", "WQSDSBSizeS"}) {
    EXPECT_EQ(ItemCount(m_.hNote, n), 0) << n;
  }
  EXPECT_EQ(ItemCount(m_.hNote, "T0"), 1);
  EXPECT_EQ(ItemCount(m_.hNote, "WQSDSBArrayT"), 1);
  data_stream_block_t r;
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), ERR_WQS_GENERAL);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
}

TEST_F(StreamTest, NamesLongerThanTwentyAreRefused) {
  const char* name20 = "ABCDEFGHIJKLMNOPQRST";
  const char* name21 = "ABCDEFGHIJKLMNOPQRSTU";
  DWORD before = OSMemTestTotalBlocks();
  data_stream_block_t w;
  EXPECT_EQ(WQSCreateDataStreamBlock(&m_, name21, &w), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(w.hBuff, NULLHANDLE);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, name21, &w), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, name21), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);  // nothing allocated

  std::vector<uint8_t> d = Pattern(5);
  WriteStream(name20, {d});
  EXPECT_EQ(ItemCount(m_.hNote, "WQSDSBArrayABCDEFGHIJKLMNOPQRST"), 1);
  EXPECT_EQ(ItemCount(m_.hNote, "WQSDSBSizeABCDEFGHIJKLMNOPQRST"), 1);
  std::vector<uint8_t> table = ItemValue(m_.hNote, "WQSDSBArrayABCDEFGHIJKLMNOPQRST");
  ASSERT_GE(table.size(), 34u);
  EXPECT_EQ(memcmp(&table[3], "WQSDSBArrayABCDEFGHIJKLMNOPQRST", 31), 0);
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, name20, &w), NOERROR);
  char buf[8];
  WORD flag;
  DWORD got;
  ASSERT_EQ(WQSGetDataStreamBlock(&m_, &w, &flag, buf, 8, &got), NOERROR);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(WQSCloseDataStreamBlock(&w), NOERROR);
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, name20), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "ABCDEFGHIJKLMNOPQRST0"), 0);
}

TEST_F(StreamTest, AbandonReleasesWriterAndLeavesStreamUnopenable) {
  // The writer holds a buffer (tagged as stored array values) and its
  // table (a dynamic array); stored pieces belong to the document.
  auto held = [] {
    DWORD buffers = 0, arrays = 0;
    OSMemTestCount(WQS_TAG_ARRAYVALUE, &buffers, nullptr);
    OSMemTestCount(DA_BLOCK_TYPE, &arrays, nullptr);
    return buffers + arrays;
  };
  DWORD before = held();
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  EXPECT_EQ(held(), before + 2);
  std::vector<uint8_t> d = Pattern(40000);
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
  // Delete removes the orphaned piece.
  EXPECT_EQ(WQSDeleteDataStreamBlock(&m_, "S"), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "S0"), 0);

  data_stream_block_t zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&zero), NOERROR);
  EXPECT_EQ(WQSCloseDataStreamBlock(&zero), NOERROR);
}

// Writes a table item by hand: header fields and entries as given.
void PutTable(NOTEHANDLE hNote, const char* item, DWORD valueLen,
              DWORD dwSize, DWORD entrySize, DWORD used,
              const std::vector<DWORD>& entries) {
  std::vector<uint8_t> v(valueLen - 2, 0);
  v[0] = 32;
  auto put = [&](size_t off, DWORD x) {
    if (off + 4 <= v.size()) memcpy(&v[off], &x, 4);
  };
  put(32 + 4, dwSize);
  put(32 + 8, entrySize);
  put(32 + 12, 1);
  put(32 + 16, used);
  for (size_t i = 0; i < entries.size(); i++) put(32 + 24 + 4 * i, entries[i]);
  ASSERT_EQ(QDSItemAppend(hNote, 0, item, (WORD)strlen(item), TYPE_USERDATA,
                          v.data(), (DWORD)v.size()),
            NOERROR);
}

TEST_F(StreamTest, DamagedTablesAreRefused) {
  data_stream_block_t r;
  PutTable(m_.hNote, "WQSDSBArrayA", 50, 16, 4, 1, {});  // shorter than 58
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "A", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayB", 66, 40, 4, 2, {5, 5});  // dwSize != 32
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "B", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayC", 66, 32, 8, 1, {5, 5});  // entry size 8
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "C", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayD", 66, 32, 4, 0, {5, 5});  // no total
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "D", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayE", 66, 32, 4, 3, {5, 5});  // used > slots
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "E", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayF", 66, 32, 4, 2, {9, 5});  // sum != total
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "F", &r), ERR_WQS_CORRUPT);
  PutTable(m_.hNote, "WQSDSBArrayG", 66, 32, 4, 2, {5, 5});  // sound
  EXPECT_EQ(WQSOpenDataStreamBlock(&m_, "G", &r), NOERROR);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

TEST_F(StreamTest, ShortOrMissingPiecesAreNotReadPast) {
  std::vector<uint8_t> a = Pattern(100, 5);
  WriteStream("S", {a});
  // Replace piece 0 by one of half the length the table claims.
  ASSERT_EQ(QDSItemDelete(m_.hNote, "S0", 2), NOERROR);
  ASSERT_EQ(QDSItemAppend(m_.hNote, 0, "S0", 2, TYPE_TEXT, a.data(), 50), NOERROR);
  data_stream_block_t r;
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "S", &r), NOERROR);
  std::vector<uint8_t> buf(100);
  WORD flag = 0;
  DWORD got = 0;
  WQSDSBSeek(&r, 80, WQS_SEEK_SET);
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &flag, buf.data(), 10, &got),
            ERR_WQS_CORRUPT);
  // From the start: the 50 bytes there are, then the missing next piece is
  // the store's "not found", with the count covering what was copied.
  WQSDSBSeek(&r, 0, WQS_SEEK_SET);
  got = 0;
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
}  // namespace wqsext

namespace wqsext {
namespace {

TEST_F(StreamTest, PieceNumbersStopAt65535Pieces) {
  std::vector<uint8_t> d = Pattern(40000);
  data_stream_block_t w;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, d.data(), 40000), NOERROR);
  // Pretend 65535 pieces are stored: the next piece has no number left.
  w.wSeqNum = 0xFFFF;
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, TRUE, d.data(), 40000),
            ERR_WQS_GENERAL);
  EXPECT_EQ(w.dwBuffSize, 40000u);
  EXPECT_EQ(ItemCount(m_.hNote, "S65535"), 0);
  EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);

  // A zeroed handle is no writer.
  memset(&w, 0, sizeof w);
  EXPECT_EQ(WQSAppendDataStreamBlock(&m_, &w, FALSE, d.data(), 10),
            ERR_WQS_GENERAL);
}

}  // namespace
}  // namespace wqsext
