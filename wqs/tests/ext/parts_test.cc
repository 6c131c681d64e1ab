// Parts of a message: file blocks (the $FILE value, writes by offset, reads,
// name limit) and data stream blocks (piece boundaries, reads and flags,
// seek, delete, limits).
#include "core/core_util.h"

namespace wqstest {
namespace {

class PartTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m_), NOERROR);
  }
  void TearDown() override {
    if (m_.hNote != 0) WQSCloseAndDiscardMsg(&m_);
    QueueTest::TearDown();
  }
  // A descriptor of "Resume.doc" with every field distinct.
  static file_descriptor_t Descriptor(WORD type) {
    file_descriptor_t fd{};
    fd.fileType = type;
    fd.wNameLen = 10;
    memcpy(fd.fileName, "Resume.doc", 10);
    fd.size = 1000, fd.resSize = 200;
    fd.attributes = 0x0021, fd.flags = 0x0102;
    fd.created = {{0x11223344, 0x55667788}};
    fd.modified = {{0x99AABBCC, 0xDDEEFF00}};
    fd.creator = 0x4D535744, fd.type = 0x54455854;  // 'MSWD', 'TEXT'
    return fd;
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

TEST_F(PartTest, FileRecordsOfBothTypes) {
  for (WORD type : {1, 2}) {
    msg_handle_t m;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m), NOERROR);
    file_descriptor_t fd = Descriptor(type);
    file_block_t fb;
    ASSERT_EQ(WQSCreateFileBlock(&m, &fd, &fb), NOERROR);
    EXPECT_EQ(WQSGetNumFileBlocks(&m), 1);
    Bytes want;
    for (WORD w : {TYPE_OBJECT, (WORD)0}) PutW(&want, w);
    PutDW(&want, fb.RRV);
    for (WORD w : {fd.wNameLen, type == 2 ? WQS_HOSTTYPE_MACEXT : (WORD)0,
                   (WORD)0, fd.attributes, fd.flags}) {
      PutW(&want, w);
    }
    PutDW(&want, fd.size);
    PutBytes(&want, &fd.created, 8);
    PutBytes(&want, &fd.modified, 8);
    PutBytes(&want, fd.fileName, fd.wNameLen);
    if (type == 2) {
      for (DWORD d : {fd.creator, fd.type, (DWORD)1000, (DWORD)200}) {
        PutDW(&want, d);
      }
      want.resize(70, 0);  // a zero WORD and DWORD
    }
    EXPECT_EQ(want.size(), type == 2 ? 70u : 48u);
    EXPECT_EQ(ItemBytes(m.hNote, "$FILE"), want) << type;
    EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
  }
}

TEST_F(PartTest, WritesByOffsetAndReadFromOffset) {
  file_descriptor_t fd = Descriptor(2);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  Bytes data = Pattern(1200, 7);
  for (DWORD at : {0u, 500u}) {
    const DWORD n = at ? 700 : 500;
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(0x1234, n, &h), NOERROR);
    memcpy(OSLockObject(h), data.data() + at, n);
    OSUnlockObject(h);
    EXPECT_EQ(WQSAppendFileBlock(&m_, &fb, h, n), NOERROR);
    OSMemFree(h);
    EXPECT_EQ(Val(fb.dwNextWrite), at + n);
  }
  DHANDLE h = NULLHANDLE;
  DWORD size = 0;
  ASSERT_EQ(WQSGetFileBlockData(&m_, &fb, 1000, &h), NOERROR);
  EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
  ASSERT_EQ(size, 200u);
  EXPECT_EQ(memcmp(OSLockObject(h), data.data() + 1000, 200), 0);
  OSUnlockObject(h);
  EXPECT_EQ(OSMemFree(h), NOERROR);
}

TEST_F(PartTest, NameOf33IsRefused) {
  file_descriptor_t fd = Descriptor(1);
  fd.wNameLen = 33;
  file_block_t fb;
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 0);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 0);
}

// The two tables a save leaves beside the pieces and objects, byte for
// byte: type code, 32-byte header with the header name zero-padded, the
// array header (hArray is the writer's and not compared) and the entries.
TEST_F(PartTest, SavedAttachmentAndStreamTablesByteForByte) {
  file_descriptor_t fd = Descriptor(2);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "Body", &w_), NOERROR);
  ASSERT_EQ(Write(Pattern(40000, 1)), NOERROR);
  ASSERT_EQ(Write(Pattern(30000, 2), FALSE), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&m_), NOERROR);
  const NOTEID id = Val(m_.info.user.dwQueueMsgID);

  auto table = [](const char* header, std::vector<DWORD> words) {
    Bytes b;
    PutW(&b, TYPE_USERDATA);
    b.push_back(32);
    PutBytes(&b, header, strlen(header));
    b.resize(34, 0);
    for (DWORD w : words) PutDW(&b, w);
    return b;
  };
  // hArray, dwSize, entry size, growth, used, available, then the entry.
  Bytes attach = table("WQS_MSG_ATTACH_BLOCK", {0, 24 + 84, 84, 1, 1, 0,
                                                fb.RRV, 0, 1200});
  PutBytes(&attach, &fd, sizeof fd);
  // Entry 0 is the total, then one per piece.
  Bytes stream = table("WQSDSBArrayBody", {0, 24 + 3 * 4, 4, 1, 3, 0,
                                           70000, 40000, 30000});
  for (auto [name, want] : {std::make_pair("WQSAttachInfo", attach),
                            std::make_pair("WQSDSBArrayBody", stream)}) {
    Bytes got = StoredItem(db(), id, name);
    ASSERT_EQ(got.size(), want.size()) << name;
    std::fill(got.begin() + 34, got.begin() + 38, 0);
    EXPECT_EQ(got, want) << name;
  }
  const double total = 70000;
  Bytes size;
  PutW(&size, TYPE_NUMBER);
  PutBytes(&size, &total, 8);
  EXPECT_EQ(StoredItem(db(), id, "WQSDSBSizeBody"), size);
}

TEST_F(PartTest, ChunksAreNeverSplitAcrossPiecesAndDeleteRemovesAll) {
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w_), NOERROR);
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

TEST_F(PartTest, ChunkAndNameLimits) {
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w_), NOERROR);
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

TEST_F(PartTest, ReadFlagsWith40And50ByteBuffers) {
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "S", &w_), NOERROR);
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
  // Any other origin moves relative to the pointer, back by wrapping.
  WQSDSBSeek(&r, 100, WQS_SEEK_SET);
  WQSDSBSeek(&r, (DWORD)-30, 0);
  Read(&r, 40, 30, WQS_DSB_END);
  WQSDSBSeek(&r, (DWORD)-100, 2);
  Read(&r, 5, 5, WQS_DSB_MORE);
  WORD f = 0;
  DWORD got = 0;
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, nullptr, nullptr, 0, &got), ERR_BAD_ARG);
  EXPECT_EQ(WQSGetDataStreamBlock(&m_, &r, &f, nullptr, 1, &got), ERR_BAD_ARG);
  // Abandoning a read handle releases its table like a close.
  EXPECT_EQ(WQSAbandonDataStreamBlock(&r), NOERROR);
  EXPECT_EQ(r.daStreamBlocks, nullptr);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);

  // An empty stream reads as its end at once.
  data_stream_block_t e;
  ASSERT_EQ(WQSCreateDataStreamBlock(&m_, "E", &e), NOERROR);
  ASSERT_EQ(WQSAppendDataStreamBlock(&m_, &e, FALSE, nullptr, 0), NOERROR);
  ASSERT_EQ(WQSOpenDataStreamBlock(&m_, "E", &r), NOERROR);
  Read(&r, 10, 0, WQS_DSB_END);
  EXPECT_EQ(WQSCloseDataStreamBlock(&r), NOERROR);
}

}  // namespace
}  // namespace wqstest
