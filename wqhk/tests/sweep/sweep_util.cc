// Fault sweeps; see sweep_util.h.
#include "sweep_util.h"

#include <cstdio>

namespace wqstest {

const char* FaultKindName(int kind) {
  static const char* const kNames[] = {"alloc", "realloc", "lock", "store"};
  return kNames[kind];
}

int SweepCounts::Total() const {
  int t = 0;
  for (int k = 0; k < kFaultKinds; k++) t += fired[k];
  return t;
}

namespace {

void Arm(int kind, DWORD n) {
  switch (kind) {
    case kFaultAlloc: OSMemTestFailNth(OSMEM_FAULT_ALLOC, n); break;
    case kFaultRealloc: OSMemTestFailNth(OSMEM_FAULT_REALLOC, n); break;
    case kFaultLock: OSMemTestFailNth(OSMEM_FAULT_LOCK, n); break;
    default: QDSTestFailNth(n, ERR_DB_IO); break;
  }
}

bool Disarm(int kind) {
  bool fired = kind == kFaultStore ? QDSTestFaultFired() : OSMemTestFaultFired();
  OSMemTestDisarm();
  QDSTestDisarm();
  return fired;
}

void ZeroDword(Bytes* b, size_t at) {
  for (size_t i = at; i < at + 4 && i < b->size(); i++) (*b)[i] = 0;
}

}  // namespace

Snapshot Snap(DBHANDLE db, NOTEID id) {
  Snapshot s;
  NOTEHANDLE n = 0;
  if (QDSNoteOpen(db, id, 0, &n) != NOERROR) return s;
  DWORD count = QDSItemCount(n);
  for (DWORD i = 0; i < count; i++) {
    char name[256];
    WORD nameLen = 0;
    BLOCKID bid;
    DWORD len = 0;
    if (QDSItemInfoByIndex(n, i, name, sizeof name, &nameLen, nullptr, nullptr,
                           &bid, &len) != NOERROR) {
      ADD_FAILURE() << "item " << i << " of note " << id;
      continue;
    }
    const char* p = OSLockBlock(bid);
    if (p == nullptr) continue;
    Bytes v(p, p + len);
    OSUnlockBlock(bid);
    std::string key(name, nameLen);
    if (key == WQS_ITEM_MSGINFO) {
      ZeroDword(&v, 2 + offsetof(msg_info_t, user) +
                        offsetof(user_msg_info_t, dwQueueMsgID));
    } else if (v.size() >= WQS_ARRAY_ITEM_PREFIX + 24 && v[0] == 0x0E &&
               v[1] == 0) {
      // A dynamic-array item: its first word is the writer's memory
      // handle, meaningless once stored.
      ZeroDword(&v, WQS_ARRAY_ITEM_PREFIX);
    }
    if (key == WQS_FILE_ITEM) {
      ZeroDword(&v, 4);
    } else if (key == WQS_ITEM_ATTACHINFO) {
      for (size_t at = WQS_ARRAY_ITEM_PREFIX + 24; at + 84 <= v.size(); at += 84) {
        ZeroDword(&v, at + offsetof(file_block_t, RRV));
      }
    }
    s.emplace(std::move(key), std::move(v));
  }
  QDSNoteClose(n);
  return s;
}

std::string SnapDiff(const Snapshot& a, const Snapshot& b) {
  std::string out;
  auto describe = [&](const Snapshot& x, const Snapshot& y, const char* side) {
    for (const auto& [name, value] : x) {
      auto range = y.equal_range(name);
      bool same = false;
      for (auto it = range.first; it != range.second; ++it) {
        same = same || it->second == value;
      }
      if (!same) {
        out += std::string(" ") + side + ":" + name + "(" +
               std::to_string(value.size()) + ")";
        if (range.first != range.second &&
            range.first->second.size() == value.size()) {
          const Bytes& other = range.first->second;
          for (size_t i = 0, shown = 0; i < value.size() && shown < 4; i++) {
            if (value[i] != other[i]) {
              out += " @" + std::to_string(i) + "=" +
                     std::to_string(value[i]) + "/" + std::to_string(other[i]);
              shown++;
            }
          }
        }
      }
    }
  };
  describe(a, b, "only-first");
  describe(b, a, "only-second");
  return out;
}

std::vector<NOTEID> QueueIds(DBHANDLE db) {
  std::vector<NOTEID> ids;
  EXPECT_EQ(QDSSearch(
                db, 0, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                [](void* arg, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                  static_cast<std::vector<NOTEID>*>(arg)->push_back(
                      m->ID.NoteID);
                  return NOERROR;
                },
                &ids, nullptr),
            NOERROR);
  return ids;
}

DWORD SweepTest::VerifyQueue() {
  DWORD checked = 0, damaged = 0;
  std::string reasons;
  auto note = [](void* arg, const wq_verify_result_t* r) -> STATUS {
    if (r->bDamaged) {
      *static_cast<std::string*>(arg) +=
          "note " + std::to_string(r->noteId) + ": " + r->szReason + "\n";
    }
    return NOERROR;
  };
  EXPECT_EQ(WQHKVerifyQueue(&queue_, note, &reasons, &checked, &damaged),
            NOERROR);
  EXPECT_EQ(damaged, 0u) << reasons;
  return checked;
}

SweepCounts SweepTest::Sweep(const std::string& name, const SweepOp& s) {
  SweepCounts c;
  for (int kind = 0; kind < kFaultKinds; kind++) {
    bool done = false;
    for (DWORD n = 1; n < 100000 && !done; n++) {
      DWORD blocks = OSMemTestTotalBlocks();
      DWORD dbs = 0, notes = 0, colls = 0;
      QDSTestOpenHandles(&dbs, &notes, &colls);
      if (s.setup) s.setup();
      if (HasFailure()) return c;
      Arm(kind, n);
      STATUS st = s.op();
      bool fired = Disarm(kind);
      if (s.cleanup) s.cleanup(st);
      std::string where = name + ": " + FaultKindName(kind) + " fault " +
                          std::to_string(n) + " (status " +
                          std::to_string(st) + ")";
      EXPECT_EQ(OSMemTestTotalBlocks(), blocks)
          << where << " left memory blocks alive";
      DWORD dbs2 = 0, notes2 = 0, colls2 = 0;
      QDSTestOpenHandles(&dbs2, &notes2, &colls2);
      EXPECT_EQ(dbs2, dbs) << where << " left a database open";
      EXPECT_EQ(notes2, notes) << where << " left a document open";
      EXPECT_EQ(colls2, colls) << where << " left a collection open";
      VerifyQueue();
      if (s.check) s.check(st);
      if (HasFailure()) {
        ADD_FAILURE() << "stopped at " << where;
        return c;
      }
      if (!fired) {
        EXPECT_EQ(st, NOERROR) << name << ": " << FaultKindName(kind)
                               << " round " << n << " without a fault";
        done = true;
      } else {
        c.fired[kind]++;
        c.reported[kind] += st != NOERROR;
      }
    }
  }
  std::printf("[  SWEEP   ] %-34s", name.c_str());
  for (int k = 0; k < kFaultKinds; k++) {
    std::printf(" %s %d/%d", FaultKindName(k), c.reported[k], c.fired[k]);
    RecordProperty(std::string("faults_") + FaultKindName(k), c.fired[k]);
  }
  std::printf("  (reported/injected)\n");
  std::fflush(stdout);
  return c;
}

NOTEID SaveFailedMessage(queue_handle_t* q, WORD type, int recips,
                         bool withBody, bool withFile) {
  user_msg_info_t info{};
  info.wRetries = 4;
  info.dwUserInfo3 = 77;
  std::vector<Recip> r = MakeRecips(recips);
  return SaveMessage(q, type, r, &info, [&](msg_handle_t* m) {
    static const char kErr[] = "550 mailbox unavailable";
    EXPECT_EQ(WQSAddDataBlock(m, FALSE, "WQErrStr", (void*)kErr,
                              sizeof kErr - 1),
              NOERROR);
    EXPECT_EQ(WQSAddDWORD(m, TRUE, "WQMsgStatus", 11), NOERROR);
    if (!withBody) return;
    data_stream_block_t w;
    Bytes body = Pattern(50000, 7);
    EXPECT_EQ(WQSCreateDataStreamBlock(m, "Body", &w), NOERROR);
    EXPECT_EQ(WQSAppendDataStreamBlock(m, &w, TRUE, body.data(), 50000),
              NOERROR);
    EXPECT_EQ(WQSAppendDataStreamBlock(m, &w, FALSE, body.data(), 20000),
              NOERROR);
    if (!withFile) return;
    file_descriptor_t fd{};
    fd.fileType = 1;
    fd.wNameLen = 8;
    memcpy(fd.fileName, "note.txt", 8);
    fd.size = 300;
    file_block_t fb;
    EXPECT_EQ(WQSCreateFileBlock(m, &fd, &fb), NOERROR);
    DHANDLE h = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(0x1234, 300, &h), NOERROR);
    void* p = OSLockObject(h);
    memset(p, 'x', 300);
    OSUnlockObject(h);
    EXPECT_EQ(WQSAppendFileBlock(m, &fb, h, 300), NOERROR);
    OSMemFree(h);
  });
}

}  // namespace wqstest
