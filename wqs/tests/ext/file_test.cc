// File blocks: the $FILE value, writes by offset, reads, name limit.
#include "core/core_util.h"

namespace wqstest {
namespace {

file_descriptor_t Descriptor(WORD type, const char* name, DWORD size,
                             DWORD resSize) {
  file_descriptor_t fd;
  memset(&fd, 0, sizeof fd);
  fd.fileType = type;
  fd.wNameLen = (WORD)strlen(name);
  memcpy(fd.fileName, name, fd.wNameLen);
  fd.size = size;
  fd.attributes = 0x0021;
  fd.flags = 0x0102;
  fd.created = {{0x11223344, 0x55667788}};
  fd.modified = {{0x99AABBCC, 0xDDEEFF00}};
  fd.creator = 0x4D535744;  // 'MSWD'
  fd.type = 0x54455854;     // 'TEXT'
  fd.resSize = resSize;
  return fd;
}

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
  STATUS Append(file_block_t* fb, const Bytes& bytes) {
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(0x1234, (DWORD)bytes.size(), &h), NOERROR);
    memcpy(OSLockObject(h), bytes.data(), bytes.size());
    OSUnlockObject(h);
    STATUS err = WQSAppendFileBlock(&m_, fb, h, (DWORD)bytes.size());
    OSMemFree(h);
    return err;
  }
  Bytes Data(msg_handle_t* m, file_block_t* fb, DWORD offset) {
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(WQSGetFileBlockData(m, fb, offset, &h), NOERROR);
    DWORD size = 0;
    EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
    const BYTE* p = static_cast<const BYTE*>(OSLockObject(h));
    Bytes out(p, p + size);
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
    return out;
  }
  msg_handle_t m_{};
};

TEST_F(FileTest, FileRecordsOfBothTypes) {
  for (WORD type : {1, 2}) {
    SCOPED_TRACE(type);
    msg_handle_t m;
    ASSERT_EQ(WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m), NOERROR);
    file_descriptor_t fd = Descriptor(type, "Resume.doc", 1000, 200);
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
      PutW(&want, 0);
      PutDW(&want, 0);
    }
    EXPECT_EQ(want.size(), type == 2 ? 70u : 48u);
    EXPECT_EQ(ItemBytes(m.hNote, "$FILE"), want);
    EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
  }
}

TEST_F(FileTest, WritesByOffsetAndReadFromOffset) {
  file_descriptor_t fd = Descriptor(2, "Resume.doc", 1000, 200);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  Bytes data = Pattern(1200, 7);
  ASSERT_EQ(Append(&fb, Bytes(data.begin(), data.begin() + 500)), NOERROR);
  EXPECT_EQ(Val(fb.dwNextWrite), 500u);
  ASSERT_EQ(Append(&fb, Bytes(data.begin() + 500, data.end())), NOERROR);
  EXPECT_EQ(Val(fb.dwNextWrite), 1200u);
  EXPECT_EQ(Data(&m_, &fb, 1000), Bytes(data.begin() + 1000, data.end()));
}

TEST_F(FileTest, NameOf33IsRefused) {
  file_descriptor_t fd = Descriptor(1, "x", 10, 0);
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
