// A queue file that is not ours, cut short or with a damaged page: the
// queue open and the message open give a STATUS, never a crash, and a
// message that does open reads whole (recipients, streams, file blocks)
// without a read past any value.  No memory block may stay behind.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core_util.h"

namespace wqstest {
namespace {

class DamagedQueueTest : public CoreTest {
 protected:
  // A queue of simple and extended messages, some with a stream long
  // enough for several pieces and some with an attached file.
  void MakeQueue() {
    queue_handle_t q;
    OpenQueue(&q, "sound.qds");
    for (int i = 0; i < 12; ++i) {
      WORD type = i % 2 ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
      NOTEID id = SaveMessage(&q, type, MakeRecips(1 + i % 4, 0, i),
                              nullptr, [i](msg_handle_t* h) {
        EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", i % 3 ? 6 : 11),
                  NOERROR);
        if (i % 3 == 0) {
          data_stream_block_t s;
          ASSERT_EQ(WQSCreateDataStreamBlock(h, "Body", &s), NOERROR);
          Bytes chunk = Pattern(50000, i);
          for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(WQSAppendDataStreamBlock(h, &s, k < 2, chunk.data(),
                                               (DWORD)chunk.size()),
                      NOERROR);
          }
        }
        if (i % 4 == 1) {
          file_descriptor_t fd{};
          fd.fileType = 1;
          memcpy(fd.fileName, "a.txt", 5);
          fd.wNameLen = 5;
          fd.size = 5000;
          file_block_t fb;
          ASSERT_EQ(WQSCreateFileBlock(h, &fd, &fb), NOERROR);
          DHANDLE buf = NULLHANDLE;
          ASSERT_EQ(OSMemAlloc(0x7E02, 5000, &buf), NOERROR);
          char* p = static_cast<char*>(OSLockObject(buf));
          Bytes b = Pattern(5000, i);
          memcpy(p, b.data(), b.size());
          OSUnlockObject(buf);
          EXPECT_EQ(WQSAppendFileBlock(h, &fb, buf, 5000), NOERROR);
          OSMemFree(buf);
        }
      });
      ids_.push_back(id);
    }
    ASSERT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
    // The last close folds the journal into the file, so a copy of the
    // file alone is the whole queue.
    ASSERT_FALSE(std::filesystem::exists(Path("sound.qds-wal")));
    std::ifstream f(Path("sound.qds"), std::ios::binary);
    whole_.assign(std::istreambuf_iterator<char>(f), {});
  }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
  }

  // Opens the queue file and every message in it, reading whatever opens.
  void Exercise(const std::string& name) {
    queue_descriptor_t qd{};
    snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", Path(name).c_str());
    queue_handle_t q{};
    STATUS st = WQSOpenQueueForRead(&qd, FALSE, &q);
    if (st != NOERROR) {
      EXPECT_TRUE(st == ERR_NOT_A_DB || st == ERR_DB_CORRUPT)
          << "queue open gave " << st;
      return;
    }
    msglist_handle_t list{};
    WORD count = 0;
    st = WQSCreateMsgList(&q, 100, WQS_SEARCH_FORMULA, "WQMsgStatus = 11",
                          &list, &count);
    EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                st == ERR_WQS_NO_MESSAGES)
        << "message list gave " << st;
    if (st == NOERROR) {
      EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
    }
    for (NOTEID id : ids_) {
      msg_handle_t h;
      st = WQSOpenMsgByMsgID(&q, id, &h);
      if (st != NOERROR) {
        EXPECT_TRUE(st == ERR_DB_CORRUPT || st == ERR_NOTE_NOT_FOUND ||
                    st == ERR_WQS_CORRUPT || st == ERR_WQS_GENERAL ||
                    st == ERR_ITEM_NOT_FOUND)
            << "message " << id << " gave " << st;
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
          st = WQSGetDataStreamBlock(&h, &s, &flag, buf.data(),
                                     (DWORD)buf.size(), &got);
        } while (st == NOERROR && flag != WQS_DSB_END);
        EXPECT_TRUE(st == NOERROR || st == ERR_WQS_CORRUPT) << st;
        EXPECT_EQ(WQSCloseDataStreamBlock(&s), NOERROR);
      }
      for (WORD k = 0; k < WQSGetNumFileBlocks(&h); ++k) {
        file_descriptor_t* fd = nullptr;
        file_block_t* fb = nullptr;
        WQSGetFileBlockInfo(&h, k, &fd, &fb);
        if (fb == nullptr) continue;
        DHANDLE data = NULLHANDLE;
        st = WQSGetFileBlockData(&h, fb, 0, &data);
        EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                    st == ERR_OBJECT_NOT_FOUND || st == ERR_OBJECT_RANGE)
            << "file block gave " << st;
        if (st == NOERROR) OSMemFree(data);
      }
      EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
    }
    EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
  }

  std::vector<NOTEID> ids_;
  std::string whole_;
};

TEST_F(DamagedQueueTest, ForeignFilesAreNotQueues) {
  Write("text.qds", "not a queue\n");
  Exercise("text.qds");
  queue_descriptor_t qd{};
  snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s",
           Path("text.qds").c_str());
  queue_handle_t q{};
  EXPECT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), ERR_NOT_A_DB);
  // Asked to create, a foreign file is still refused, not replaced.
  snprintf(qd.szQueueTemplate, sizeof qd.szQueueTemplate, "%s",
           Path("tmpl.qds").c_str());
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), ERR_NOT_A_DB);
}

TEST_F(DamagedQueueTest, CutQueueIsRefused) {
  MakeQueue();
  const size_t page = 4096;
  for (size_t len : {size_t{0}, size_t{50}, size_t{100}, page, 3 * page,
                     whole_.size() / 2, whole_.size() - page,
                     whole_.size() - 1}) {
    SCOPED_TRACE(len);
    std::string name = "cut" + std::to_string(len) + ".qds";
    Write(name, whole_.substr(0, len));
    Exercise(name);
    queue_descriptor_t qd{};
    snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", Path(name).c_str());
    queue_handle_t q{};
    STATUS st = WQSOpenQueueForRead(&qd, FALSE, &q);
    EXPECT_EQ(st, len < 100 ? ERR_NOT_A_DB : ERR_DB_CORRUPT);
  }
}

TEST_F(DamagedQueueTest, GarbagePageGivesAStatus) {
  MakeQueue();
  const size_t page = 4096;
  const size_t pages = whole_.size() / page;
  for (size_t p = 0; p < pages; ++p) {
    SCOPED_TRACE(p + 1);
    std::string damaged = whole_;
    Bytes junk = Pattern(page, (uint32_t)p + 77);
    memcpy(&damaged[p * page], junk.data(), page);
    std::string name = "page" + std::to_string(p + 1) + ".qds";
    Write(name, damaged);
    Exercise(name);
  }
}

}  // namespace
}  // namespace wqstest
