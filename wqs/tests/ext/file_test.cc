// File blocks: the $FILE value byte for byte for both file types, the
// object's size, writes by offset, reads from an offset, the table and its
// count, name limit, and what a failing create leaves behind.
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
  // Writes `bytes` through a runtime block, as a caller of the append does.
  STATUS Append(file_block_t* fb, const Bytes& bytes) {
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(0x1234, (DWORD)bytes.size(), &h), NOERROR);
    memcpy(OSLockObject(h), bytes.data(), bytes.size());
    OSUnlockObject(h);
    STATUS err = WQSAppendFileBlock(&m_, fb, h, (DWORD)bytes.size());
    OSMemFree(h);
    return err;
  }
  // The object's bytes from `offset` on, as the reader hands them out.
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
  DWORD ObjectSize(DWORD rrv) {
    DWORD size = 0;
    return QDSDbGetObjectSize(db(), rrv, &size) == NOERROR ? size : 0xFFFFFFFF;
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
    EXPECT_EQ(Val(fb.dwNextWrite), 0u);
    // Resources count only for type 2.
    EXPECT_EQ(Val(fb.dwLength), type == 2 ? 1200u : 1000u);
    EXPECT_EQ(ObjectSize(fb.RRV), Val(fb.dwLength));
    EXPECT_EQ(memcmp(&fb.fd, &fd, sizeof fd), 0);
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
      // Creator, type, resources after the data part, their size, 0, 0.
      for (DWORD d : {fd.creator, fd.type, (DWORD)1000, (DWORD)200}) {
        PutDW(&want, d);
      }
      PutW(&want, 0);
      PutDW(&want, 0);
    }
    EXPECT_EQ(want.size(), type == 2 ? 70u : 48u);
    EXPECT_EQ(ItemBytes(m.hNote, "$FILE"), want);
    EXPECT_EQ(ItemFlags(m.hNote, "$FILE") & ITEM_SUMMARY, ITEM_SUMMARY);
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
  // A write past the object's end is the store's to refuse; the position
  // stays where it was.
  EXPECT_NE(Append(&fb, {1, 2, 3}), NOERROR);
  EXPECT_EQ(Val(fb.dwNextWrite), 1200u);
  EXPECT_EQ(Data(&m_, &fb, 1000), Bytes(data.begin() + 1000, data.end()));
  EXPECT_EQ(Data(&m_, &fb, 0), data);
}

TEST_F(FileTest, TableIsSavedAndReadBack) {
  file_descriptor_t fd1 = Descriptor(1, "a.txt", 10, 0);
  file_descriptor_t fd2 = Descriptor(2, "b.bin", 20, 5);
  file_block_t fb1, fb2;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd1, &fb1), NOERROR);
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd2, &fb2), NOERROR);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 2);
  // Writes through the table's own entry advance its dwNextWrite.
  file_descriptor_t* pfd = nullptr;
  file_block_t* pfb = nullptr;
  WQSGetFileBlockInfo(&m_, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(pfd, &pfb->fd);
  Bytes d2 = Pattern(25, 2);
  ASSERT_EQ(Append(pfb, Pattern(10, 1)), NOERROR);
  ASSERT_EQ(Append(&fb2, d2), NOERROR);
  WQSGetFileBlockInfo(&m_, 2, &pfd, &pfb);  // past the table
  EXPECT_EQ(pfb, nullptr);
  EXPECT_EQ(pfd, nullptr);

  ASSERT_EQ(WQSCloseAndSaveMsg(&m_), NOERROR);
  NOTEID id = m_.info.user.dwQueueMsgID;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &m_), NOERROR);
  ASSERT_EQ(WQSGetNumFileBlocks(&m_), 2);
  EXPECT_EQ(ItemBytes(m_.hNote, "WQSAttachInfo").size(), 34u + 24 + 2 * 84);
  WQSGetFileBlockInfo(&m_, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(Val(pfb->RRV), Val(fb1.RRV));
  EXPECT_EQ(Val(pfb->dwNextWrite), 10u);
  EXPECT_EQ(memcmp(pfd, &fd1, sizeof fd1), 0);
  WQSGetFileBlockInfo(&m_, 1, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(Val(pfb->RRV), Val(fb2.RRV));
  EXPECT_EQ(Val(pfb->dwLength), 25u);
  EXPECT_EQ(Val(pfb->dwNextWrite), 0u);  // written through the caller's copy
  EXPECT_EQ(Data(&m_, pfb, 0), d2);
  EXPECT_EQ(WQSCloseMsg(&m_), NOERROR);
  m_.hNote = 0;
}

TEST_F(FileTest, RefusedOrFailedCreateLeavesNothing) {
  file_descriptor_t fd = Descriptor(1, "x", 10, 0);
  fd.wNameLen = 33;
  file_block_t fb;
  memset(&fb, 0x5A, sizeof fb);
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 0);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 0);
  EXPECT_EQ(Val(fb.RRV), 0x5A5A5A5Au);  // no object was asked for
  fd.wNameLen = 32;
  memset(fd.fileName, 'n', 32);
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  EXPECT_EQ(ItemBytes(m_.hNote, "$FILE").size(), 38u + 32);

  // A document the store does not know: the object is allocated, the
  // $FILE append fails, and the object has to go again.
  msg_handle_t bad = m_;
  bad.hNote = 0x7FFF0001;
  bad.daFileBlockArray = nullptr;
  bad.info.wNumAttachments = 0;
  fd = Descriptor(1, "lost.txt", 64, 0);
  before = OSMemTestTotalBlocks();
  EXPECT_NE(WQSCreateFileBlock(&bad, &fd, &fb), NOERROR);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_EQ(ObjectSize(fb.RRV), 0xFFFFFFFFu);
  EXPECT_EQ(bad.info.wNumAttachments, 0);
}

}  // namespace
}  // namespace wqstest
