// File blocks: the $FILE value, writes by offset, reads, name limit.
#include "core/core_util.h"

namespace wqstest {
namespace {

class FileTest : public QueueTest {
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
  STATUS Append(file_block_t* fb, const BYTE* p, DWORD n) {
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(0x1234, n, &h), NOERROR);
    memcpy(OSLockObject(h), p, n);
    OSUnlockObject(h);
    STATUS err = WQSAppendFileBlock(&m_, fb, h, n);
    OSMemFree(h);
    return err;
  }
  msg_handle_t m_{};
};

TEST_F(FileTest, FileRecordsOfBothTypes) {
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

TEST_F(FileTest, WritesByOffsetAndReadFromOffset) {
  file_descriptor_t fd = Descriptor(2);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  Bytes data = Pattern(1200, 7);
  ASSERT_EQ(Append(&fb, data.data(), 500), NOERROR);
  EXPECT_EQ(Val(fb.dwNextWrite), 500u);
  ASSERT_EQ(Append(&fb, data.data() + 500, 700), NOERROR);
  EXPECT_EQ(Val(fb.dwNextWrite), 1200u);
  DHANDLE h = NULLHANDLE;
  DWORD size = 0;
  ASSERT_EQ(WQSGetFileBlockData(&m_, &fb, 1000, &h), NOERROR);
  EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
  ASSERT_EQ(size, 200u);
  EXPECT_EQ(memcmp(OSLockObject(h), data.data() + 1000, 200), 0);
  OSUnlockObject(h);
  EXPECT_EQ(OSMemFree(h), NOERROR);
}

TEST_F(FileTest, NameOf33IsRefused) {
  file_descriptor_t fd = Descriptor(1);
  fd.wNameLen = 33;
  file_block_t fb;
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 0);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 0);
}

}  // namespace
}  // namespace wqstest
