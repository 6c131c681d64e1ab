// A queue file cut short or with a damaged page: the queue open and the
// message open give a STATUS, never a crash, and a message that opens
// reads whole (recipients, stream, file blocks) without a read past any
// value.  No memory block may stay behind.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core_util.h"

namespace wqstest {
namespace {

class DamagedQueueTest : public CoreTest {
 protected:
  // Simple and extended messages; every third with a stream of several
  // pieces, every fourth with an attached file.
  void MakeQueue() {
    queue_handle_t q;
    OpenQueue(&q, "sound.qds");
    for (int i = 0; i < 12; ++i) {
      ids_.push_back(SaveMessage(
          &q, i % 2 ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE,
          MakeRecips(1 + i % 4, 0, i), nullptr, [i](msg_handle_t* h) {
            EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", i % 3 ? 6 : 11),
                      NOERROR);
            const Bytes data = Pattern(50000, i);
            data_stream_block_t s;
            if (i % 3 == 0) {
              ASSERT_EQ(WQSCreateDataStreamBlock(h, "Body", &s), NOERROR);
              for (int k = 0; k < 3; ++k) {
                ASSERT_EQ(WQSAppendDataStreamBlock(h, &s, k < 2, data.data(),
                                                   50000), NOERROR);
              }
            }
            if (i % 4 != 1) return;
            file_descriptor_t fd{};
            fd.fileType = 1, fd.wNameLen = 5, fd.size = 5000;
            memcpy(fd.fileName, "a.txt", 5);
            file_block_t fb;
            DHANDLE buf = NULLHANDLE;
            ASSERT_EQ(WQSCreateFileBlock(h, &fd, &fb), NOERROR);
            ASSERT_EQ(OSMemAlloc(0x7E02, 5000, &buf), NOERROR);
            memcpy(OSLockObject(buf), data.data(), 5000);
            OSUnlockObject(buf);
            EXPECT_EQ(WQSAppendFileBlock(h, &fb, buf, 5000), NOERROR);
            OSMemFree(buf);
          }));
    }
    // The last close folds the journal into the file: the file is the queue.
    ASSERT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
    ASSERT_FALSE(std::filesystem::exists(Path("sound.qds-wal")));
    std::ifstream f(Path("sound.qds"), std::ios::binary);
    whole_.assign(std::istreambuf_iterator<char>(f), {});
  }

  // Writes `bytes` as queue `name`, then opens it and every message,
  // reading whatever opens.  Returns the status of the queue open.
  STATUS Exercise(const std::string& name, const std::string& bytes) {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
    queue_descriptor_t qd{};
    snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", Path(name).c_str());
    queue_handle_t q{};
    STATUS st = WQSOpenQueueForRead(&qd, FALSE, &q);
    if (st != NOERROR) {
      EXPECT_TRUE(st == ERR_NOT_A_DB || st == ERR_DB_CORRUPT) << st;
      return st;
    }
    msglist_handle_t list{};
    WORD count = 0;
    st = WQSCreateMsgList(&q, 100, WQS_SEARCH_FORMULA, "WQMsgStatus = 11",
                          &list, &count);
    EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                st == ERR_WQS_NO_MESSAGES) << "message list gave " << st;
    EXPECT_EQ(st == NOERROR ? WQSCloseMsgList(&list) : NOERROR, NOERROR);
    for (NOTEID id : ids_) {
      msg_handle_t h;
      st = WQSOpenMsgByMsgID(&q, id, &h);
      if (st != NOERROR) {
        EXPECT_TRUE(st == ERR_DB_CORRUPT || st == ERR_NOTE_NOT_FOUND ||
                    st == ERR_WQS_CORRUPT || st == ERR_WQS_GENERAL ||
                    st == ERR_ITEM_NOT_FOUND) << "message " << id << ": " << st;
        continue;
      }
      for (WORD r = 0; r < h.info.user.wNumRecip; ++r) {
        recip_info_t ri{};
        EXPECT_EQ(WQSGetRecipient(&h, r, &ri), NOERROR);
      }
      data_stream_block_t s;
      if (WQSOpenDataStreamBlock(&h, "Body", &s) == NOERROR) {
        std::vector<char> buf(70000);
        WORD flag = 0;
        DWORD got = 0;
        do {
          st = WQSGetDataStreamBlock(&h, &s, &flag, buf.data(), 70000, &got);
        } while (st == NOERROR && flag != WQS_DSB_END);
        EXPECT_TRUE(st == NOERROR || st == ERR_WQS_CORRUPT) << st;
        EXPECT_EQ(WQSCloseDataStreamBlock(&s), NOERROR);
      }
      for (WORD k = 0; k < WQSGetNumFileBlocks(&h); ++k) {
        file_descriptor_t* fd = nullptr;
        file_block_t* fb = nullptr;
        DHANDLE data = NULLHANDLE;
        WQSGetFileBlockInfo(&h, k, &fd, &fb);
        if (fb == nullptr) continue;
        st = WQSGetFileBlockData(&h, fb, 0, &data);
        EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                    st == ERR_OBJECT_NOT_FOUND || st == ERR_OBJECT_RANGE)
            << "file block gave " << st;
        if (st == NOERROR) OSMemFree(data);
      }
      EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
    }
    EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
    return NOERROR;
  }

  std::vector<NOTEID> ids_;
  std::string whole_;
};

TEST_F(DamagedQueueTest, CutOrDamagedQueueGivesAStatus) {
  MakeQueue();
  const size_t page = 4096, pages = whole_.size() / page;
  for (size_t len : {size_t{0}, size_t{100}, 3 * page, whole_.size() - 1}) {
    EXPECT_EQ(Exercise("cut" + std::to_string(len), whole_.substr(0, len)),
              len < 100 ? ERR_NOT_A_DB : ERR_DB_CORRUPT) << "cut at " << len;
  }
  for (size_t p = 0; p < pages; ++p) {
    SCOPED_TRACE(p + 1);
    std::string damaged = whole_;
    const Bytes junk = Pattern(page, (uint32_t)p + 77);
    memcpy(&damaged[p * page], junk.data(), page);
    Exercise("page" + std::to_string(p + 1) + ".qds", damaged);
  }
}

}  // namespace
}  // namespace wqstest
