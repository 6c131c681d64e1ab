// Fault sweeps over the message life cycle: open and close, update,
// requeue, purge, create and save, discard, copy, streams, file blocks,
// reconversion and the requeue passes.
#include <algorithm>

#include "rswq.h"
#include "sweep_util.h"

namespace wqstest {
namespace {

typedef SweepTest MsgSweep;

// The messages `now` holds that `known` does not.
std::vector<NOTEID> NewIds(const std::vector<NOTEID>& known,
                           const std::vector<NOTEID>& now) {
  std::vector<NOTEID> out;
  for (NOTEID id : now) {
    if (std::find(known.begin(), known.end(), id) == known.end()) {
      out.push_back(id);
    }
  }
  return out;
}

// A check that the queue holds the messages `known` unchanged plus at most
// one new message equal to `made`, which it removes again so the queue
// stays small.
std::function<void(STATUS)> AtMostOneNew(DBHANDLE db,
                                         const std::vector<NOTEID>& known,
                                         const std::vector<Snapshot>& before,
                                         const Snapshot* made) {
  return [=](STATUS st) {
    std::vector<NOTEID> ids = QueueIds(db);
    for (size_t i = 0; i < known.size(); i++) {
      EXPECT_TRUE(Snap(db, known[i]) == before[i]) << "message " << known[i];
    }
    std::vector<NOTEID> fresh = NewIds(known, ids);
    ASSERT_LE(fresh.size(), 1u);
    if (fresh.empty()) return;
    EXPECT_EQ(st, NOERROR) << "a message was stored by a failed operation";
    Snapshot s = Snap(db, fresh[0]);
    EXPECT_TRUE(s == *made) << "stored message not whole:" << SnapDiff(s, *made);
    EXPECT_EQ(QDSNoteDelete(db, fresh[0], 0), NOERROR);
  };
}

std::vector<Snapshot> SnapAll(DBHANDLE db, const std::vector<NOTEID>& ids) {
  std::vector<Snapshot> out;
  for (NOTEID id : ids) out.push_back(Snap(db, id));
  return out;
}

// Runs `op` once without faults on a fresh message made by `make` and
// returns what it stored; the message is deleted again.
Snapshot DryRun(DBHANDLE db, const std::function<NOTEID()>& make,
                const std::function<void(NOTEID)>& op) {
  NOTEID id = make();
  op(id);
  Snapshot s = Snap(db, id);
  EXPECT_FALSE(s.empty());
  EXPECT_EQ(QDSNoteDelete(db, id, 0), NOERROR);
  return s;
}

TEST_F(MsgSweep, ListOpenReadClose) {
  NOTEID id = SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true);
  Snapshot before = Snap(db(), id);
  msglist_handle_t list;
  msg_handle_t h;
  Sweep("list, open, read, close",
        {nullptr,
         [&] {
           WORD count = 0;
           STATUS err = WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA,
                                         "WQMsgStatus = 11", &list, &count);
           if (err != NOERROR) return err;
           if (count != 1) err = ERR_BAD_ARG;
           if (err == NOERROR) err = WQSOpenMsg(&list, 0, &h);
           if (err == NOERROR) {
             for (WORD i = 0; i < 3 && err == NOERROR; i++) {
               recip_info_t ri{};
               err = WQSGetRecipient(&h, i, &ri);
             }
             STATUS close = WQSCloseMsg(&h);
             if (err == NOERROR) err = close;
           }
           STATUS close = WQSCloseMsgList(&list);
           return err != NOERROR ? err : close;
         },
         nullptr, [&](STATUS) { EXPECT_TRUE(Snap(db(), id) == before); }});
}

TEST_F(MsgSweep, UpdateClose) {
  NOTEID id = SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true);
  msg_handle_t h;
  auto change = [&](NOTEID which) {
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, which, &h), NOERROR);
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&h, &info);
    info->wRetries = 9;
    recip_data_t d = MakeRecip(40).data;
    WQSSetRecipientData(&h, 1, &d);
  };
  Snapshot before = Snap(db(), id);
  Snapshot after = DryRun(
      db(), [&] { return SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true); },
      [&](NOTEID x) {
        change(x);
        EXPECT_EQ(WQSCloseMsgAndUpdate(&h), NOERROR);
      });
  ASSERT_FALSE(before == after);
  Sweep("update close",
        {[&] { change(id); }, [&] { return WQSCloseMsgAndUpdate(&h); },
         [&](STATUS st) {
           if (st != NOERROR) (void)WQSCloseMsg(&h);
         },
         [&](STATUS) {
           Snapshot s = Snap(db(), id);
           EXPECT_TRUE(s == before || s == after)
               << "message half updated:" << SnapDiff(s, after);
         }});
}

TEST_F(MsgSweep, RequeueClose) {
  NOTEID id = SaveFailedMessage(&queue_, WQS_MSG_SIMPLE, 3, false);
  msg_handle_t h;
  auto open = [&](NOTEID which) {
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, which, &h), NOERROR);
    h.info.user.wRetries = 7;  // stored as 6 by a requeue
  };
  Snapshot before = Snap(db(), id);
  Snapshot after = DryRun(
      db(), [&] { return SaveFailedMessage(&queue_, WQS_MSG_SIMPLE, 3, false); },
      [&](NOTEID x) {
        open(x);
        EXPECT_EQ(WQSCloseMsgAndReQueue(&h), NOERROR);
      });
  Sweep("requeue close",
        {[&] { open(id); }, [&] { return WQSCloseMsgAndReQueue(&h); },
         [&](STATUS st) {
           if (st != NOERROR) (void)WQSCloseMsg(&h);
         },
         [&](STATUS) {
           Snapshot s = Snap(db(), id);
           EXPECT_TRUE(s == before || s == after) << "message half requeued";
         }});
}

TEST_F(MsgSweep, PurgeClose) {
  NOTEID keep = SaveFailedMessage(&queue_, WQS_MSG_SIMPLE, 2, false);
  Snapshot kept = Snap(db(), keep);
  NOTEID id = 0;
  Snapshot before;
  msg_handle_t h;
  Sweep("purge close",
        {[&] {
           id = SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true);
           before = Snap(db(), id);
           ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
         },
         [&] { return WQSCloseMsgAndPurge(&h); },
         [&](STATUS st) {
           if (st != NOERROR) (void)WQSCloseMsg(&h);
         },
         [&](STATUS st) {
           EXPECT_TRUE(Snap(db(), keep) == kept);
           if (!NoteExists(db(), id)) return;
           EXPECT_NE(st, NOERROR) << "purge reported success, message stays";
           EXPECT_TRUE(Snap(db(), id) == before);
           EXPECT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
         }});
}

// Builds an extended message with typed fields of every kind.
STATUS BuildAndSave(queue_handle_t* q, msg_handle_t* m, WORD type,
                    const std::vector<Recip>& recips, bool save) {
  STATUS err = WQSCreateMsg(q, type, m);
  for (size_t i = 0; err == NOERROR && i < recips.size(); i++) {
    recip_info_t ri = RecipInfo(recips[i]);
    err = WQSAppendRecipient(m, &ri);
  }
  TIMEDATE td;
  td.Innards[0] = 12345;
  td.Innards[1] = 678;
  static const char kBlock[] = "opaque block";
  if (err == NOERROR) err = WQSAddBool(m, FALSE, "WQHeld", TRUE);
  if (err == NOERROR) err = WQSAddDWORD(m, TRUE, "WQMsgStatus", 11);
  if (err == NOERROR) err = WQSAddTIMEDATE(m, TRUE, "WQArrived", &td);
  if (err == NOERROR) {
    err = WQSAddDataBlock(m, FALSE, "WQBlock", kBlock, sizeof kBlock);
  }
  if (err != NOERROR) return err;
  return save ? WQSCloseAndSaveMsg(m) : WQSCloseAndDiscardMsg(m);
}

TEST_F(MsgSweep, CreateFillSaveAndDiscard) {
  NOTEID old = SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 2, true);
  std::vector<NOTEID> known = {old};
  std::vector<Snapshot> before = SnapAll(db(), known);
  // Two recipient lists: the first fills up and is stored by the append.
  struct Shape {
    const char* name;
    WORD type;
    std::vector<Recip> recips;
  } shapes[] = {
      {"create, fill, save (extended)", WQS_MSG_EXTENDED, MakeRecips(3)},
      {"create, fill, save (two lists)", WQS_MSG_SIMPLE, MakeRecips(32, 2000)},
  };
  msg_handle_t m;
  for (const Shape& sh : shapes) {
    ASSERT_EQ(BuildAndSave(&queue_, &m, sh.type, sh.recips, true), NOERROR);
    NOTEID made = m.info.user.dwQueueMsgID;
    Snapshot madeSnap = Snap(db(), made);
    ASSERT_EQ(QDSNoteDelete(db(), made, 0), NOERROR);
    Sweep(sh.name,
          {nullptr,
           [&] { return BuildAndSave(&queue_, &m, sh.type, sh.recips, true); },
           [&](STATUS st) {
             if (st != NOERROR) {
               EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
             }
           },
           AtMostOneNew(db(), known, before, &madeSnap)});
  }
  Sweep("create, fill, discard",
        {nullptr,
         [&] {
           return BuildAndSave(&queue_, &m, WQS_MSG_EXTENDED, MakeRecips(3),
                               false);
         },
         [&](STATUS st) {
           if (st != NOERROR) (void)WQSCloseAndDiscardMsg(&m);
         },
         AtMostOneNew(db(), known, before, nullptr)});
}

TEST_F(MsgSweep, CopyAndSave) {
  // With a body stream but no attachment: a copy keeps the source's $FILE
  // items without their table, which the queue check counts as damage.
  NOTEID src = SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true, false);
  std::vector<NOTEID> known = {src};
  std::vector<Snapshot> before = SnapAll(db(), known);
  msg_handle_t s, m;
  Recip extra = MakeRecip(9);
  for (BOOL keep : {TRUE, FALSE}) {
    WORD type = keep ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
    auto op = [&]() -> STATUS {
      memset(&m, 0, sizeof m);
      STATUS err = WQSCopyMsg(&queue_, &queue_, &s, keep, type, &m);
      if (err != NOERROR) return err;
      recip_info_t ri = RecipInfo(extra);
      err = WQSAppendRecipient(&m, &ri);
      return err != NOERROR ? err : WQSCloseAndSaveMsg(&m);
    };
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR);
    ASSERT_EQ(op(), NOERROR);
    ASSERT_EQ(WQSCloseMsg(&s), NOERROR);
    NOTEID made = m.info.user.dwQueueMsgID;
    Snapshot madeSnap = Snap(db(), made);
    ASSERT_EQ(QDSNoteDelete(db(), made, 0), NOERROR);
    Sweep(keep ? "copy keeping recipients, save" : "copy to simple, save",
          {[&] { ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, src, &s), NOERROR); },
           op,
           [&](STATUS st) {
             if (st != NOERROR && m.hNote != 0) {
               EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
             }
             EXPECT_EQ(WQSCloseMsg(&s), NOERROR);
           },
           AtMostOneNew(db(), known, before, &madeSnap)});
  }
}

TEST_F(MsgSweep, StreamWriteAndSave) {
  std::vector<NOTEID> known;
  std::vector<Snapshot> before;
  msg_handle_t m;
  data_stream_block_t w;
  Bytes d = Pattern(50000, 3);
  auto op = [&]() -> STATUS {
    memset(&w, 0, sizeof w);
    STATUS err = WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m);
    if (err != NOERROR) return err;
    err = WQSCreateDataStreamBlock(&m, "Body", &w);
    for (int i = 0; err == NOERROR && i < 3; i++) {
      err = WQSAppendDataStreamBlock(&m, &w, i < 2, d.data(), 50000);
    }
    return err != NOERROR ? err : WQSCloseAndSaveMsg(&m);
  };
  ASSERT_EQ(op(), NOERROR);
  NOTEID made = m.info.user.dwQueueMsgID;
  Snapshot madeSnap = Snap(db(), made);
  ASSERT_EQ(QDSNoteDelete(db(), made, 0), NOERROR);
  Sweep("stream create, append, finish, save",
        {nullptr, op,
         [&](STATUS st) {
           if (st == NOERROR) return;
           EXPECT_EQ(WQSAbandonDataStreamBlock(&w), NOERROR);
           EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
         },
         AtMostOneNew(db(), known, before, &madeSnap)});
}

TEST_F(MsgSweep, StreamReadDeleteAndUpdate) {
  msg_handle_t h;
  data_stream_block_t r;
  Bytes got;
  auto make = [&] { return SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 2, true); };
  auto op = [&]() -> STATUS {
    memset(&r, 0, sizeof r);
    got.clear();
    STATUS err = WQSOpenDataStreamBlock(&h, "Body", &r);
    if (err != NOERROR) return err;
    WORD flag = 0;
    while (err == NOERROR && flag != WQS_DSB_END) {
      BYTE buf[30000];
      DWORD n = 0;
      err = WQSGetDataStreamBlock(&h, &r, &flag, buf, sizeof buf, &n);
      if (err == NOERROR) got.insert(got.end(), buf, buf + n);
    }
    STATUS close = WQSCloseDataStreamBlock(&r);
    if (err == NOERROR) err = close;
    if (err == NOERROR && got.size() != 70000) err = ERR_WQS_CORRUPT;
    if (err == NOERROR) err = WQSDeleteDataStreamBlock(&h, "Body");
    return err != NOERROR ? err : WQSCloseMsgAndUpdate(&h);
  };
  NOTEID id = make();
  Snapshot before = Snap(db(), id);
  ASSERT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
  Snapshot after = DryRun(db(), make, [&](NOTEID x) {
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, x, &h), NOERROR);
    EXPECT_EQ(op(), NOERROR);
  });
  Sweep("stream open, read, close, delete, update",
        {[&] {
           id = make();
           ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
         },
         op,
         [&](STATUS st) {
           if (st == NOERROR) return;
           (void)WQSCloseDataStreamBlock(&r);
           (void)WQSCloseMsg(&h);
         },
         [&](STATUS) {
           Snapshot s = Snap(db(), id);
           EXPECT_TRUE(s == before || s == after) << "message half changed";
           EXPECT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
         }});
}

TEST_F(MsgSweep, FileBlockCreateWriteReadSave) {
  std::vector<NOTEID> known;
  std::vector<Snapshot> before;
  msg_handle_t m;
  file_block_t fb;
  DHANDLE data = NULLHANDLE, read = NULLHANDLE;
  file_descriptor_t fd{};
  fd.fileType = WQS_FILETYPE_MACEXT;
  fd.wNameLen = 10;
  memcpy(fd.fileName, "Resume.doc", 10);
  fd.size = 1000;
  fd.resSize = 200;
  auto op = [&]() -> STATUS {
    memset(&fb, 0, sizeof fb);
    STATUS err = WQSCreateMsg(&queue_, WQS_MSG_SIMPLE, &m);
    if (err != NOERROR) return err;
    err = WQSCreateFileBlock(&m, &fd, &fb);
    if (err == NOERROR) err = WQSAppendFileBlock(&m, &fb, data, 500);
    if (err == NOERROR) err = WQSAppendFileBlock(&m, &fb, data, 700);
    if (err == NOERROR) {
      file_descriptor_t* pd = nullptr;
      file_block_t* pb = nullptr;
      WQSGetFileBlockInfo(&m, 0, &pd, &pb);
      err = pb == nullptr ? ERR_BAD_ARG : WQSGetFileBlockData(&m, pb, 1000, &read);
    }
    return err != NOERROR ? err : WQSCloseAndSaveMsg(&m);
  };
  auto setup = [&] {
    ASSERT_EQ(OSMemAlloc(0x1234, 700, &data), NOERROR);
    void* p = OSLockObject(data);
    memset(p, 'f', 700);
    OSUnlockObject(data);
  };
  auto cleanup = [&](STATUS st) {
    if (read != NULLHANDLE) OSMemFree(read);
    read = NULLHANDLE;
    OSMemFree(data);
    if (st != NOERROR) {
      EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
    }
  };
  setup();
  ASSERT_EQ(op(), NOERROR);
  cleanup(NOERROR);
  NOTEID made = m.info.user.dwQueueMsgID;
  Snapshot madeSnap = Snap(db(), made);
  ASSERT_EQ(QDSNoteDelete(db(), made, 0), NOERROR);
  Sweep("file block create, write, read, save",
        {setup, op, cleanup, AtMostOneNew(db(), known, before, &madeSnap)});
}

TEST_F(MsgSweep, ReconvertOneAndUpdate) {
  msg_handle_t h;
  auto make = [&] { return SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true); };
  auto op = [&]() -> STATUS {
    STATUS err = WQInbReconvertOneMsg(&h);
    return err != NOERROR ? err : WQSCloseMsgAndUpdate(&h);
  };
  NOTEID id = make();
  Snapshot before = Snap(db(), id);
  ASSERT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
  Snapshot after = DryRun(db(), make, [&](NOTEID x) {
    ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, x, &h), NOERROR);
    EXPECT_EQ(op(), NOERROR);
  });
  Sweep("reconvert one, update close",
        {[&] {
           id = make();
           ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
         },
         op,
         [&](STATUS st) {
           if (st != NOERROR) (void)WQSCloseMsg(&h);
         },
         [&](STATUS) {
           Snapshot s = Snap(db(), id);
           EXPECT_TRUE(s == before || s == after) << "message half reconverted";
           EXPECT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
         }});
}

// A queue of three failed messages and one already queued, made afresh for
// every round; the pass must leave each failed one either as it was or
// wholly reconverted, in search order (never a later one before an
// earlier), and never touch the queued one.
class PassSweep : public SweepTest {
 protected:
  void Fill() {
    for (NOTEID id : QueueIds(db())) ASSERT_EQ(QDSNoteDelete(db(), id, 0), NOERROR);
    ids_ = {SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 3, true),
            SaveFailedMessage(&queue_, WQS_MSG_SIMPLE, 2, false),
            SaveFailedMessage(&queue_, WQS_MSG_EXTENDED, 1, false)};
    queued_ = SaveMessage(&queue_, WQS_MSG_SIMPLE, MakeRecips(1), nullptr,
                          [](msg_handle_t* m) {
                            EXPECT_EQ(WQSAddDWORD(m, TRUE, "WQMsgStatus", 6),
                                      NOERROR);
                          });
  }
  void Run(const std::string& name, const std::function<STATUS()>& pass) {
    Fill();
    std::vector<Snapshot> before = SnapAll(db(), ids_);
    Snapshot queued = Snap(db(), queued_);
    ASSERT_EQ(pass(), NOERROR);
    std::vector<Snapshot> after = SnapAll(db(), ids_);
    for (size_t i = 0; i < ids_.size(); i++) ASSERT_FALSE(before[i] == after[i]);
    Sweep(name, {[&] { Fill(); }, pass, nullptr, [&](STATUS st) {
                   bool sawBefore = false;
                   for (size_t i = 0; i < ids_.size(); i++) {
                     Snapshot s = Snap(db(), ids_[i]);
                     bool isAfter = s == after[i];
                     EXPECT_TRUE(isAfter || s == before[i])
                         << "message " << i << " half reconverted";
                     EXPECT_FALSE(isAfter && sawBefore)
                         << "message " << i << " reconverted out of order";
                     sawBefore = sawBefore || !isAfter;
                   }
                   // A failure after the last save (the next search) may
                   // leave every message done.
                   if (st == NOERROR) {
                     EXPECT_FALSE(sawBefore);
                   }
                   EXPECT_TRUE(Snap(db(), queued_) == queued);
                 }});
  }
  std::vector<NOTEID> ids_;
  NOTEID queued_ = 0;
};

TEST_F(PassSweep, LibraryReconvertAll) {
  Run("WQInbReconvertAllMsgs", [&] { return WQInbReconvertAllMsgs(&queue_); });
}

TEST_F(PassSweep, ToolRequeuePass) {
  AddInTestSetLogSink(
      [](const char*, STATUS, const std::string&, void*) {}, nullptr);
  AddInTestSetStatusSink([](const std::string&, void*) {}, nullptr);
  Run("rswq ReconvertAllMsgs", [&] { return ReconvertAllMsgs(&queue_); });
  AddInTestSetLogSink(nullptr, nullptr);
  AddInTestSetStatusSink(nullptr, nullptr);
}

}  // namespace
}  // namespace wqstest
