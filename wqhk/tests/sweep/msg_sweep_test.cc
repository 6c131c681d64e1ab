// Fault sweeps over the work-queue library, the housekeeping and rswq's
// requeue pass: for each operation and fault kind the n-th allocation,
// reallocation, lock or store access fails, n = 1, 2, ... until the operation
// completes.  After the caller's usual clean-up each round must leave the
// block and handle counts at baseline, a queue WQHKVerifyQueue finds sound,
// and every message either as before or wholly as a fault-free run leaves it.
#include <algorithm>
#include <cstdio>
#include <map>

#include "core/core_util.h"
#include "rswq.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"

namespace wqstest {
namespace {

// A stored message as (item name, value) pairs with what differs between
// equal messages zeroed: the note id in WQSMsgInfo, the memory handle heading
// each array item, the object ids in $FILE and WQSAttachInfo.  Empty: gone.
typedef std::multimap<std::string, Bytes> Snapshot;

void Zero(Bytes* b, size_t at) {
  for (size_t i = at; i < at + 4 && i < b->size(); i++) (*b)[i] = 0;
}

Snapshot Snap(DBHANDLE db, NOTEID id) {
  Snapshot s;
  NOTEHANDLE n = 0;
  if (QDSNoteOpen(db, id, 0, &n) != NOERROR) return s;
  for (DWORD i = 0, count = QDSItemCount(n); i < count; i++) {
    char name[256];
    WORD nameLen = 0;
    BLOCKID bid{};
    DWORD len = 0;
    EXPECT_EQ(QDSItemInfoByIndex(n, i, name, sizeof name, &nameLen, nullptr,
                                 nullptr, &bid, &len),
              NOERROR);
    const char* p = OSLockBlock(bid);
    if (p == nullptr) continue;
    Bytes v(p, p + len);
    OSUnlockBlock(bid);
    std::string key(name, nameLen);
    if (key == WQS_ITEM_MSGINFO) {
      Zero(&v, 2 + offsetof(msg_info_t, user) + offsetof(user_msg_info_t, dwQueueMsgID));
    } else if (v.size() >= WQS_ARRAY_ITEM_PREFIX + 24 && v[0] == 0x0E && v[1] == 0) {
      Zero(&v, WQS_ARRAY_ITEM_PREFIX);
    }
    if (key == WQS_FILE_ITEM) Zero(&v, 4);
    for (size_t at = WQS_ARRAY_ITEM_PREFIX + 24;
         key == WQS_ITEM_ATTACHINFO && at + 84 <= v.size(); at += 84) {
      Zero(&v, at + offsetof(file_block_t, RRV));
    }
    s.emplace(std::move(key), std::move(v));
  }
  QDSNoteClose(n);
  return s;
}

DHANDLE Filled(DWORD n, char c) {
  DHANDLE h = NULLHANDLE;
  EXPECT_EQ(OSMemAlloc(0x1234, n, &h), NOERROR);
  memset(OSLockObject(h), c, n);
  OSUnlockObject(h);
  return h;
}

struct Op {
  const char* name;
  std::function<void()> fill;                // saves into ids_; null: one failed message
  std::function<void()> open;                // unarmed, after the fill
  std::function<STATUS()> run;               // with the fault armed
  std::function<void(STATUS)> cleanup = {};  // the caller's usual clean-up
  std::function<void()> done = {};           // after the sweep
};

const char* const kKinds[] = {"alloc", "realloc", "lock", "store"};
const WORD kMemKinds[] = {OSMEM_FAULT_ALLOC, OSMEM_FAULT_REALLOC, OSMEM_FAULT_LOCK};

class MsgSweep : public QueueTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {  // the log and status line stay quiet
    QueueTest::SetUp();
    AddInTestSetLogSink([](const char*, STATUS, const std::string&, void*) {}, nullptr);
    AddInTestSetStatusSink([](const std::string&, void*) {}, nullptr);
  }

  std::vector<NOTEID> QueueIds() {
    std::vector<NOTEID> ids;
    EXPECT_EQ(QDSSearch(db(), 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                        [](void* a, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                          static_cast<std::vector<NOTEID>*>(a)->push_back(m->ID.NoteID);
                          return NOERROR;
                        },
                        &ids, nullptr),
              NOERROR);
    return ids;
  }

  // Empties the queue, saves the op's messages and opens what it needs.  No
  // search runs in between, so the op's first search finds the cache cold.
  void Prepare(const Op& op) {
    for (NOTEID id : QueueIds()) EXPECT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
    ids_.clear();
    op.fill ? op.fill() : Save(WQS_MSG_EXTENDED, 3, true, true);
    if (op.open) op.open();
  }
  // A failed message as the relay leaves it (status 11, error text, four
  // retries); optionally a two-piece body stream and a 300-byte attachment.
  void Save(WORD type, int recips, bool body, bool file, DWORD status = 11) {
    user_msg_info_t info{};
    info.wRetries = 4;
    info.dwUserInfo3 = 77;
    auto fill = [&](msg_handle_t* m) {
      static const char kErr[] = "550 mailbox unavailable";
      EXPECT_EQ(WQSAddDataBlock(m, FALSE, "WQErrStr", (void*)kErr, sizeof kErr - 1), NOERROR);
      EXPECT_EQ(WQSAddDWORD(m, TRUE, "WQMsgStatus", status), NOERROR);
      if (body) {
        data_stream_block_t w;
        Bytes d = Pattern(50000, 7);
        EXPECT_EQ(WQSCreateDataStreamBlock(m, "Body", &w), NOERROR);
        EXPECT_EQ(WQSAppendDataStreamBlock(m, &w, TRUE, d.data(), 50000), NOERROR);
        EXPECT_EQ(WQSAppendDataStreamBlock(m, &w, FALSE, d.data(), 20000), NOERROR);
      }
      if (file) {
        file_descriptor_t fd{};
        fd.fileType = 1;
        fd.wNameLen = 8;
        memcpy(fd.fileName, "note.txt", 8);
        fd.size = 300;
        file_block_t fb;
        EXPECT_EQ(WQSCreateFileBlock(m, &fd, &fb), NOERROR);
        DHANDLE h = Filled(300, 'x');
        EXPECT_EQ(WQSAppendFileBlock(m, &fb, h, 300), NOERROR);
        OSMemFree(h);
      }
    };
    ids_.push_back(SaveMessage(&queue_, type, MakeRecips(recips), &info, fill));
  }

  // The prepared messages in order (empty when gone), then any new ones.
  std::vector<Snapshot> State() {
    std::vector<Snapshot> s;
    for (NOTEID id : ids_) s.push_back(Snap(db(), id));
    for (NOTEID id : QueueIds())
      if (std::find(ids_.begin(), ids_.end(), id) == ids_.end()) s.push_back(Snap(db(), id));
    return s;
  }

  void Run(const Op& op) {
    Prepare(op);
    const std::vector<Snapshot> before = State();
    ASSERT_EQ(op.run(), NOERROR) << op.name;
    if (op.cleanup) op.cleanup(NOERROR);
    const std::vector<Snapshot> after = State();
    int fired[4] = {}, reported[4] = {};
    for (int kind = 0; kind < 4; kind++) {
      for (DWORD n = 1;; n++) {
        const DWORD blocks = OSMemTestTotalBlocks();
        DWORD h0[3] = {}, h1[3] = {};
        QDSTestOpenHandles(&h0[0], &h0[1], &h0[2]);
        Prepare(op);
        if (HasFailure()) return;
        kind < 3 ? OSMemTestFailNth(kMemKinds[kind], n) : QDSTestFailNth(n, ERR_DB_IO);
        const STATUS st = op.run();
        const bool hit = kind < 3 ? OSMemTestFaultFired() : QDSTestFaultFired();
        OSMemTestDisarm();
        QDSTestDisarm();
        if (op.cleanup) op.cleanup(st);
        const std::string where = std::string(op.name) + ": " + kKinds[kind] + " fault " +
                                  std::to_string(n) + " (status " + std::to_string(st) + ")";
        EXPECT_EQ(OSMemTestTotalBlocks(), blocks) << where << " left blocks";
        QDSTestOpenHandles(&h1[0], &h1[1], &h1[2]);
        EXPECT_TRUE(std::equal(h0, h0 + 3, h1)) << where << " left a handle open";
        DWORD checked = 0, damaged = 0;
        EXPECT_EQ(WQHKVerifyQueue(&queue_, nullptr, nullptr, &checked, &damaged), NOERROR)
            << where;
        EXPECT_EQ(damaged, 0u) << where;
        // Each message as before or as after; a change never reaches a
        // message while an earlier one waits; only a success stores a new
        // message, and a success leaves everything as after.
        const std::vector<Snapshot> now = State();
        ASSERT_LE(now.size(), after.size()) << where;
        bool waiting = false;
        for (size_t i = 0; i < now.size(); i++) {
          const bool old = i < before.size() && now[i] == before[i];
          const bool done = now[i] == after[i];
          EXPECT_TRUE(old || done) << where << ": message " << i << " half changed";
          EXPECT_FALSE(done && !old && waiting) << where << ": message " << i << " out of order";
          waiting = waiting || (old && !done);
          EXPECT_TRUE(i < before.size() || st == NOERROR) << where << ": failure stored a message";
        }
        if (st == NOERROR) {
          EXPECT_TRUE(now == after) << where << ": success, yet not all done";
        }
        if (HasFailure()) return;
        if (!hit) break;
        fired[kind]++;
        reported[kind] += st != NOERROR;
      }
    }
    std::printf("[  SWEEP   ] %-40s", op.name);
    for (int k = 0; k < 4; k++) std::printf(" %s %d/%d", kKinds[k], reported[k], fired[k]);
    std::printf("  (reported/injected)\n");
    std::fflush(stdout);
    EXPECT_GT(fired[0] + fired[2] + fired[3], 0) << op.name;
    if (op.done) op.done();
  }

  void Open(size_t i) { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, ids_.at(i), &h_), NOERROR); }

  // A new message of `recips` recipients (names `nameLen` long) with typed
  // fields of every kind, saved or discarded.
  STATUS Build(WORD type, int recips, size_t nameLen, bool save) {
    std::vector<Recip> r = MakeRecips(recips, nameLen);
    STATUS err = WQSCreateMsg(&queue_, type, &m_);
    for (size_t i = 0; !err && i < r.size(); i++) {
      recip_info_t ri = RecipInfo(r[i]);
      err = WQSAppendRecipient(&m_, &ri);
    }
    TIMEDATE td{{12345, 678}};
    static const char kBlock[] = "opaque block";
    if (!err) err = WQSAddBool(&m_, FALSE, "WQHeld", TRUE);
    if (!err) err = WQSAddDWORD(&m_, TRUE, "WQMsgStatus", 11);
    if (!err) err = WQSAddTIMEDATE(&m_, TRUE, "WQArrived", &td);
    if (!err) err = WQSAddDataBlock(&m_, FALSE, "WQBlock", kBlock, sizeof kBlock);
    if (err) return err;
    return save ? WQSCloseAndSaveMsg(&m_) : WQSCloseAndDiscardMsg(&m_);
  }

  std::vector<Op> Ops();

  std::vector<NOTEID> ids_;  // the prepared messages
  msg_handle_t h_{}, m_{};   // an opened message, a new one
  msglist_handle_t list_{};
  data_stream_block_t stream_{};
  file_block_t fb_{};
  DHANDLE data_ = NULLHANDLE, read_ = NULLHANDLE;
  int objectsFreed_ = 0;
};

std::vector<Op> MsgSweep::Ops() {
  auto closeOnFailure = [this](STATUS st) {
    if (st) (void)WQSCloseMsg(&h_);
  };
  auto discardOnFailure = [this](STATUS st) {
    if (st) { EXPECT_EQ(WQSCloseAndDiscardMsg(&m_), NOERROR); }
  };
  auto copy = [this](BOOL keep) {
    return [this, keep]() -> STATUS {
      memset(&m_, 0, sizeof m_);
      STATUS err = WQSCopyMsg(&queue_, &queue_, &h_, keep,
                              keep ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE, &m_);
      if (err) {
        EXPECT_EQ(m_.hNote, 0u) << "a failed copy handed out its document";
        return err;
      }
      Recip extra = MakeRecip(9);
      recip_info_t ri = RecipInfo(extra);
      err = WQSAppendRecipient(&m_, &ri);
      return err ? err : WQSCloseAndSaveMsg(&m_);
    };
  };
  auto copyCleanup = [this](STATUS st) {
    if (st && m_.hNote) { EXPECT_EQ(WQSCloseAndDiscardMsg(&m_), NOERROR); }
    EXPECT_EQ(WQSCloseMsg(&h_), NOERROR);
  };
  // Three failed messages and one already queued (status 6).
  auto failedQueue = [this] {
    Save(WQS_MSG_EXTENDED, 3, true, true);
    Save(WQS_MSG_SIMPLE, 2, false, false);
    Save(WQS_MSG_EXTENDED, 1, false, false);
    Save(WQS_MSG_SIMPLE, 1, false, false, 6);
  };
  return {
      {"list, open, read, close", nullptr, nullptr,
       [this] {
         WORD count = 0;
         STATUS err = WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA,
                                       "WQMsgStatus = 11", &list_, &count);
         if (err) return err;
         if (count != 1) err = ERR_BAD_ARG;
         if (!err) err = WQSOpenMsg(&list_, 0, &h_);
         if (!err) {
           recip_info_t ri{};
           for (WORD i = 0; i < 3 && !err; i++) err = WQSGetRecipient(&h_, i, &ri);
           STATUS close = WQSCloseMsg(&h_);
           if (!err) err = close;
         }
         STATUS close = WQSCloseMsgList(&list_);
         return err ? err : close;
       }},
      {"view list",
       [failedQueue, this] {
         failedQueue();
         NOTEID view = 0;
         if (QVWFindDesignNote(db(), "Failed", NOTE_CLASS_VIEW, &view) != NOERROR) {
           EXPECT_EQ(QDSViewCreate(db(), "Failed", "WQMsgStatus = 11", nullptr), NOERROR);
         }
       },
       nullptr,
       [this] {
         WORD count = 0;
         STATUS err = WQSCreateMsgList(&queue_, 100, WQS_SEARCH_VIEW, "Failed", &list_, &count);
         if (err) return err;
         if (count != 3 || list_.pList[2] != ids_[2]) err = ERR_BAD_ARG;
         STATUS close = WQSCloseMsgList(&list_);
         return err ? err : close;
       }},
      {"update close", nullptr,
       [this] {
         Open(0);
         user_msg_info_t* info = nullptr;
         WQSGetMsgInfo(&h_, &info);
         info->wRetries = 9;
         recip_data_t d = MakeRecip(40).data;
         WQSSetRecipientData(&h_, 1, &d);
       },
       [this] { return WQSCloseMsgAndUpdate(&h_); }, closeOnFailure},
      {"requeue close", [this] { Save(WQS_MSG_SIMPLE, 3, false, false); },
       [this] {
         Open(0);
         h_.info.user.wRetries = 7;  // stored as 6 by a requeue
       },
       [this] { return WQSCloseMsgAndReQueue(&h_); }, closeOnFailure},
      {"purge close",
       [this] {
         Save(WQS_MSG_SIMPLE, 2, false, false);
         Save(WQS_MSG_EXTENDED, 3, true, true);
       },
       [this] { Open(1); }, [this] { return WQSCloseMsgAndPurge(&h_); }, closeOnFailure},
      // The first recipient list fills up and is stored by an append.
      {"create, fill, save (two lists)", nullptr, nullptr,
       [this] { return Build(WQS_MSG_EXTENDED, 32, 2000, true); }, discardOnFailure},
      {"create, fill, discard", nullptr, nullptr,
       [this] { return Build(WQS_MSG_EXTENDED, 3, 0, false); },
       [this](STATUS st) {
         if (st) (void)WQSCloseAndDiscardMsg(&m_);
       }},
      {"copy keeping recipients, save", nullptr, [this] { Open(0); }, copy(TRUE), copyCleanup},
      {"copy to simple, save", nullptr, [this] { Open(0); }, copy(FALSE), copyCleanup},
      {"stream create, append, finish, save", nullptr,
       [this] { memset(&stream_, 0, sizeof stream_); },
       [this] {
         static const Bytes d = Pattern(50000, 3);
         STATUS err = WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m_);
         if (err) return err;
         err = WQSCreateDataStreamBlock(&m_, "Body", &stream_);
         for (int i = 0; !err && i < 3; i++)
           err = WQSAppendDataStreamBlock(&m_, &stream_, i < 2, d.data(), 50000);
         if (!err) {
           EXPECT_TRUE(stream_.hBuff == NULLHANDLE && stream_.daStreamBlocks == nullptr)
               << "a finished stream keeps its buffers";
         }
         return err ? err : WQSCloseAndSaveMsg(&m_);
       },
       [this](STATUS st) {
         if (!st) return;
         EXPECT_EQ(WQSAbandonDataStreamBlock(&stream_), NOERROR);
         EXPECT_EQ(WQSCloseAndDiscardMsg(&m_), NOERROR);
       }},
      {"stream open, read, close, delete, update", nullptr,
       [this] {
         Open(0);
         memset(&stream_, 0, sizeof stream_);
       },
       [this] {
         STATUS err = WQSOpenDataStreamBlock(&h_, "Body", &stream_);
         if (err) return err;
         WORD flag = 0;
         DWORD total = 0;
         while (!err && flag != WQS_DSB_END) {
           BYTE buf[30000];
           DWORD n = 0;
           err = WQSGetDataStreamBlock(&h_, &stream_, &flag, buf, sizeof buf, &n);
           total += n;
         }
         STATUS close = WQSCloseDataStreamBlock(&stream_);
         if (!err) err = close;
         if (!err && total != 70000) err = ERR_WQS_CORRUPT;
         if (!err) err = WQSDeleteDataStreamBlock(&h_, "Body");
         return err ? err : WQSCloseMsgAndUpdate(&h_);
       },
       [this](STATUS st) {
         if (!st) return;
         (void)WQSCloseDataStreamBlock(&stream_);
         (void)WQSCloseMsg(&h_);
       }},
      {"file block create, write, read, save", nullptr,
       [this] {
         memset(&m_, 0, sizeof m_);
         memset(&fb_, 0, sizeof fb_);
         data_ = Filled(700, 'f');
       },
       [this] {
         STATUS err = WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m_);
         if (err) return err;
         file_descriptor_t fd{};
         fd.fileType = WQS_FILETYPE_MACEXT;
         fd.wNameLen = 10;
         memcpy(fd.fileName, "Resume.doc", 10);
         fd.size = 1000;
         fd.resSize = 200;
         err = WQSCreateFileBlock(&m_, &fd, &fb_);
         if (!err) err = WQSAppendFileBlock(&m_, &fb_, data_, 500);
         if (!err) err = WQSAppendFileBlock(&m_, &fb_, data_, 700);
         file_descriptor_t* pd = nullptr;
         file_block_t* pb = nullptr;
         if (!err) WQSGetFileBlockInfo(&m_, 0, &pd, &pb);
         if (!err) err = pb ? WQSGetFileBlockData(&m_, pb, 1000, &read_) : ERR_BAD_ARG;
         return err ? err : WQSCloseAndSaveMsg(&m_);
       },
       [this](STATUS st) {
         if (read_) OSMemFree(read_);
         read_ = NULLHANDLE;
         OSMemFree(data_);
         if (!st) return;
         // A failed create frees the object it made.
         if (fb_.RRV && ItemCount(m_.hNote, WQS_FILE_ITEM) == 0) {
           DWORD size = 0;
           EXPECT_NE(QDSDbGetObjectSize(db(), fb_.RRV, &size), NOERROR)
               << "object " << Val(fb_.RRV) << " left behind";
           EXPECT_EQ(Val(m_.info.wNumAttachments), 0);
           objectsFreed_++;
         }
         EXPECT_EQ(WQSCloseAndDiscardMsg(&m_), NOERROR);
       },
       [this] { EXPECT_GE(objectsFreed_, 2); }},
      {"reconvert one, update close", nullptr, [this] { Open(0); },
       [this] {
         STATUS err = WQInbReconvertOneMsg(&h_);
         return err ? err : WQSCloseMsgAndUpdate(&h_);
       },
       closeOnFailure},
      {"WQInbReconvertAllMsgs", failedQueue, nullptr,
       [this] { return WQInbReconvertAllMsgs(&queue_); }},
      {"rswq ReconvertAllMsgs", failedQueue, nullptr, [this] { return ReconvertAllMsgs(&queue_); }},
  };
}

constexpr int kOps = 15;

TEST_P(MsgSweep, Operation) {
  std::vector<Op> ops = Ops();
  ASSERT_EQ(ops.size(), size_t{kOps});
  Run(ops[GetParam()]);
}

INSTANTIATE_TEST_SUITE_P(All, MsgSweep, ::testing::Range(0, kOps));

}  // namespace
}  // namespace wqstest
