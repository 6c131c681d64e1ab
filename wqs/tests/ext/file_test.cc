// File blocks: the $FILE value byte for byte for both file types, the
// object's size, writes by offset, reads from an offset, the table and its
// count, name limit, and what a failing create leaves behind.
#include <cstring>

#include "ext/ext_util.h"

namespace wqsext {
namespace {

class FileTest : public ExtTest {
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

  static file_descriptor_t Descriptor(WORD type, const char* name, DWORD size,
                                      DWORD resSize) {
    file_descriptor_t fd;
    memset(&fd, 0, sizeof fd);
    fd.fileType = type;
    fd.wNameLen = (WORD)strlen(name);
    memcpy(fd.fileName, name, fd.wNameLen);
    fd.size = size;
    fd.attributes = 0x0021;
    fd.flags = 0x0102;
    fd.created.Innards[0] = 0x11223344;
    fd.created.Innards[1] = 0x55667788;
    fd.modified.Innards[0] = 0x99AABBCC;
    fd.modified.Innards[1] = 0xDDEEFF00;
    fd.creator = 0x4D535744;  // 'MSWD'
    fd.type = 0x54455854;     // 'TEXT'
    fd.resSize = resSize;
    return fd;
  }

  // Writes `bytes` through a runtime block, as a caller of the append does.
  STATUS Append(file_block_t* fb, const std::vector<uint8_t>& bytes) {
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(0x1234, (DWORD)bytes.size(), &h), NOERROR);
    void* p = OSLockObject(h);
    memcpy(p, bytes.data(), bytes.size());
    OSUnlockObject(h);
    STATUS err = WQSAppendFileBlock(&m_, fb, h, (DWORD)bytes.size());
    OSMemFree(h);
    return err;
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

// Checks the FILEOBJECT part common to both types.
void CheckFileRecord(const std::vector<uint8_t>& v, const file_block_t& fb,
                     const file_descriptor_t& fd, WORD hostType) {
  EXPECT_EQ(W(v, 0), TYPE_OBJECT);
  EXPECT_EQ(W(v, 2), 0);
  EXPECT_EQ(Dw(v, 4), +fb.RRV);
  EXPECT_EQ(W(v, 8), fd.wNameLen);
  EXPECT_EQ(W(v, 10), hostType);
  EXPECT_EQ(W(v, 12), 0);
  EXPECT_EQ(W(v, 14), fd.attributes);
  EXPECT_EQ(W(v, 16), fd.flags);
  EXPECT_EQ(Dw(v, 18), fd.size);
  EXPECT_EQ(memcmp(&v[22], &fd.created, 8), 0);
  EXPECT_EQ(memcmp(&v[30], &fd.modified, 8), 0);
  EXPECT_EQ(memcmp(&v[38], fd.fileName, fd.wNameLen), 0);
}

TEST_F(FileTest, PlainFileRecordAndObject) {
  file_descriptor_t fd = Descriptor(1, "report.txt", 1200, 777);
  file_block_t fb;
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 0);
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 1);
  ASSERT_NE(m_.daFileBlockArray, nullptr);
  EXPECT_EQ(+fb.dwNextWrite, 0u);
  EXPECT_EQ(+fb.dwLength, 1200u);  // resources count only for type 2
  EXPECT_EQ(memcmp(&fb.fd, &fd, sizeof fd), 0);

  std::vector<uint8_t> v = ItemValue(m_.hNote, "$FILE");
  ASSERT_EQ(v.size(), 48u);
  CheckFileRecord(v, fb, fd, 0);
  DWORD objSize = 0;
  ASSERT_EQ(QDSDbGetObjectSize(q1_.dbhandle, fb.RRV, &objSize), NOERROR);
  EXPECT_EQ(objSize, 1200u);

  // The $FILE item is a summary item.
  DWORD n = QDSItemCount(m_.hNote);
  bool seen = false;
  for (DWORD i = 0; i < n; i++) {
    char name[64];
    WORD len = 0, flags = 0;
    ASSERT_EQ(QDSItemInfoByIndex(m_.hNote, i, name, sizeof name, &len, &flags,
                                 nullptr, nullptr, nullptr),
              NOERROR);
    if (len == 5 && memcmp(name, "$FILE", 5) == 0) {
      EXPECT_EQ(flags & ITEM_SUMMARY, ITEM_SUMMARY);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

TEST_F(FileTest, ResourceFileRecordAndObject) {
  file_descriptor_t fd = Descriptor(2, "Resume.doc", 1000, 200);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  EXPECT_EQ(+fb.dwLength, 1200u);
  std::vector<uint8_t> v = ItemValue(m_.hNote, "$FILE");
  ASSERT_EQ(v.size(), 70u);
  CheckFileRecord(v, fb, fd, WQS_HOSTTYPE_MACEXT);
  EXPECT_EQ(Dw(v, 48), fd.creator);
  EXPECT_EQ(Dw(v, 52), fd.type);
  EXPECT_EQ(Dw(v, 56), 1000u);  // resources start after the data part
  EXPECT_EQ(Dw(v, 60), 200u);
  EXPECT_EQ(W(v, 64), 0);
  EXPECT_EQ(Dw(v, 66), 0u);
  DWORD objSize = 0;
  ASSERT_EQ(QDSDbGetObjectSize(q1_.dbhandle, fb.RRV, &objSize), NOERROR);
  EXPECT_EQ(objSize, 1200u);
}

TEST_F(FileTest, WritesByOffsetAndReadFromOffset) {
  file_descriptor_t fd = Descriptor(2, "Resume.doc", 1000, 200);
  file_block_t fb;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  std::vector<uint8_t> data = Pattern(1200, 7);
  ASSERT_EQ(Append(&fb, std::vector<uint8_t>(data.begin(), data.begin() + 500)),
            NOERROR);
  EXPECT_EQ(+fb.dwNextWrite, 500u);
  ASSERT_EQ(Append(&fb, std::vector<uint8_t>(data.begin() + 500, data.end())),
            NOERROR);
  EXPECT_EQ(+fb.dwNextWrite, 1200u);
  // A write past the object's end is the store's to refuse; the position
  // stays where it was.
  EXPECT_NE(Append(&fb, {1, 2, 3}), NOERROR);
  EXPECT_EQ(+fb.dwNextWrite, 1200u);

  DHANDLE h = NULLHANDLE;
  ASSERT_EQ(WQSGetFileBlockData(&m_, &fb, 1000, &h), NOERROR);
  DWORD size = 0;
  ASSERT_EQ(OSMemGetSize(h, &size), NOERROR);
  ASSERT_EQ(size, 200u);
  const uint8_t* p = static_cast<const uint8_t*>(OSLockObject(h));
  EXPECT_EQ(memcmp(p, data.data() + 1000, 200), 0);
  OSUnlockObject(h);
  EXPECT_EQ(OSMemFree(h), NOERROR);
  ASSERT_EQ(WQSGetFileBlockData(&m_, &fb, 0, &h), NOERROR);
  p = static_cast<const uint8_t*>(OSLockObject(h));
  EXPECT_EQ(memcmp(p, data.data(), 1200), 0);
  OSUnlockObject(h);
  EXPECT_EQ(OSMemFree(h), NOERROR);
}

TEST_F(FileTest, TableIsSavedAndReadBack) {
  file_descriptor_t fd1 = Descriptor(1, "a.txt", 10, 0);
  file_descriptor_t fd2 = Descriptor(2, "b.bin", 20, 5);
  file_block_t fb1, fb2;
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd1, &fb1), NOERROR);
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd2, &fb2), NOERROR);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 2);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 2);
  std::vector<uint8_t> d1 = Pattern(10, 1), d2 = Pattern(25, 2);
  // Writes through the table's own entry advance its dwNextWrite.
  file_descriptor_t* pfd = nullptr;
  file_block_t* pfb = nullptr;
  WQSGetFileBlockInfo(&m_, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(pfd, &pfb->fd);
  ASSERT_EQ(Append(pfb, d1), NOERROR);
  ASSERT_EQ(Append(&fb2, d2), NOERROR);
  WQSGetFileBlockInfo(&m_, 2, &pfd, &pfb);  // past the table
  EXPECT_EQ(pfb, nullptr);
  EXPECT_EQ(pfd, nullptr);

  ASSERT_EQ(WQSCloseAndSaveMsg(&m_), NOERROR);
  NOTEID id = m_.info.user.dwQueueMsgID;
  m_.hNote = 0;
  msg_handle_t o;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q1_, id, &o), NOERROR);
  ASSERT_EQ(WQSGetNumFileBlocks(&o), 2);
  WQSGetFileBlockInfo(&o, 0, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(+pfb->RRV, +fb1.RRV);
  EXPECT_EQ(+pfb->dwNextWrite, 10u);
  EXPECT_EQ(memcmp(pfd, &fd1, sizeof fd1), 0);
  WQSGetFileBlockInfo(&o, 1, &pfd, &pfb);
  ASSERT_NE(pfb, nullptr);
  EXPECT_EQ(+pfb->RRV, +fb2.RRV);
  EXPECT_EQ(+pfb->dwLength, 25u);
  EXPECT_EQ(+pfb->dwNextWrite, 0u);  // written through the caller's copy
  DHANDLE h = NULLHANDLE;
  ASSERT_EQ(WQSGetFileBlockData(&o, pfb, 0, &h), NOERROR);
  const uint8_t* p = static_cast<const uint8_t*>(OSLockObject(h));
  EXPECT_EQ(memcmp(p, d2.data(), 25), 0);
  OSUnlockObject(h);
  OSMemFree(h);
  std::vector<uint8_t> attach = ItemValue(o.hNote, "WQSAttachInfo");
  EXPECT_EQ(attach.size(), 34u + 24 + 2 * 84);
  EXPECT_EQ(WQSCloseMsg(&o), NOERROR);
}

TEST_F(FileTest, NameOf33IsRefusedWithNothingAllocated) {
  file_descriptor_t fd = Descriptor(1, "x", 10, 0);
  fd.wNameLen = 33;
  file_block_t fb;
  memset(&fb, 0x5A, sizeof fb);
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), ERR_WQS_NAME_TOO_LONG);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  EXPECT_EQ(WQSGetNumFileBlocks(&m_), 0);
  EXPECT_EQ(ItemCount(m_.hNote, "$FILE"), 0);
  EXPECT_EQ(+fb.RRV, 0x5A5A5A5Au);  // no object was asked for

  fd.wNameLen = 32;
  memset(fd.fileName, 'n', 32);
  ASSERT_EQ(WQSCreateFileBlock(&m_, &fd, &fb), NOERROR);
  EXPECT_EQ(ItemValue(m_.hNote, "$FILE").size(), 38u + 32);
}

TEST_F(FileTest, FailedFileItemFreesTheObject) {
  // A document the store does not know: the object is allocated, the
  // $FILE append fails, and the object has to go again.
  msg_handle_t bad = m_;
  bad.hNote = 0x7FFF0001;
  file_descriptor_t fd = Descriptor(1, "lost.txt", 64, 0);
  file_block_t fb;
  DWORD before = OSMemTestTotalBlocks();
  EXPECT_NE(WQSCreateFileBlock(&bad, &fd, &fb), NOERROR);
  EXPECT_EQ(OSMemTestTotalBlocks(), before);
  DWORD size = 0;
  EXPECT_NE(QDSDbGetObjectSize(q1_.dbhandle, fb.RRV, &size), NOERROR);
  EXPECT_EQ(+bad.info.wNumAttachments, 0);
}

}  // namespace
}  // namespace wqsext
