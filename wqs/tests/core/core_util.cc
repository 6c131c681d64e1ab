// Shared helpers of the work-queue store core tests; see core_util.h.
#include "core_util.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace wqstest {

void PutW(Bytes* b, WORD v) {
  b->push_back((BYTE)v);
  b->push_back((BYTE)(v >> 8));
}
void PutDW(Bytes* b, DWORD v) {
  for (int i = 0; i < 4; i++) b->push_back((BYTE)(v >> (8 * i)));
}
void PutBytes(Bytes* b, const void* p, size_t n) {
  const BYTE* s = static_cast<const BYTE*>(p);
  b->insert(b->end(), s, s + n);
}
WORD GetW(const Bytes& b, size_t at) {
  return (WORD)(b.at(at) | (b.at(at + 1) << 8));
}
DWORD GetDW(const Bytes& b, size_t at) {
  return (DWORD)b.at(at) | ((DWORD)b.at(at + 1) << 8) |
         ((DWORD)b.at(at + 2) << 16) | ((DWORD)b.at(at + 3) << 24);
}

void CoreTest::SetUp() {
  OSMemTestDisarm();
  // Memory-backed when available: the store syncs its files, and on a
  // disk those syncs would dominate the run time of the suite.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/wqscore.XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back(0);
  char* d = mkdtemp(tmpl.data());
  ASSERT_NE(d, nullptr);
  dir_ = d;
  setenv("TAVLO_DATA", dir_.c_str(), 1);
  baselineBlocks_ = OSMemTestTotalBlocks();
}

void CoreTest::TearDown() {
  OSMemTestDisarm();
  if (queueOpen_) {
    EXPECT_EQ(WQSCloseQueueForWrite(&queue_), NOERROR);
    queueOpen_ = false;
  }
  EXPECT_EQ(OSMemTestTotalBlocks(), baselineBlocks_)
      << "the test left runtime memory blocks alive";
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string CoreTest::Path(const std::string& name) const {
  return dir_ + "/" + name;
}

void CoreTest::MakeTemplate(
    const std::string& name,
    const std::vector<std::pair<std::string, std::string>>& views) {
  ASSERT_EQ(QDSDbCreate(Path(name).c_str(), 0xFF01, FALSE), NOERROR);
  if (views.empty()) return;
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(Path(name).c_str(), &db), NOERROR);
  for (const auto& v : views) {
    NOTEID id = 0;
    EXPECT_EQ(QDSViewCreate(db, v.first.c_str(), v.second.c_str(), &id),
              NOERROR);
  }
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

void CoreTest::OpenQueue(queue_handle_t* q, const std::string& name) {
  if (!std::filesystem::exists(Path("tmpl.qds"))) MakeTemplate("tmpl.qds");
  queue_descriptor_t qd;
  memset(&qd, 0, sizeof(qd));
  snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", Path(name).c_str());
  snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
           Path("tmpl.qds").c_str());
  snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "Test queue");
  memset(q, 0, sizeof(*q));
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, q), NOERROR);
}

Bytes ItemBytes(NOTEHANDLE hNote, const std::string& name, bool* found) {
  if (found) *found = false;
  WORD type = 0;
  BLOCKID bid;
  DWORD len = 0;
  if (QDSItemInfo(hNote, name.data(), (WORD)name.size(), &type, &bid, &len) !=
      NOERROR) {
    return Bytes();
  }
  const char* p = OSLockBlock(bid);
  if (p == nullptr) {
    ADD_FAILURE() << "cannot lock value of " << name;
    return Bytes();
  }
  Bytes out(p, p + len);
  OSUnlockBlock(bid);
  if (found) *found = true;
  return out;
}

Bytes StoredItem(DBHANDLE db, NOTEID id, const std::string& name,
                 bool* found) {
  if (found) *found = false;
  NOTEHANDLE note = 0;
  if (QDSNoteOpen(db, id, 0, &note) != NOERROR) {
    ADD_FAILURE() << "cannot open note " << id;
    return Bytes();
  }
  Bytes out = ItemBytes(note, name, found);
  QDSNoteClose(note);
  return out;
}

WORD ItemFlags(NOTEHANDLE hNote, const std::string& name) {
  DWORD n = QDSItemCount(hNote);
  for (DWORD i = 0; i < n; i++) {
    char buf[256];
    WORD nameLen = 0, flags = 0, type = 0;
    BLOCKID bid;
    DWORD len = 0;
    if (QDSItemInfoByIndex(hNote, i, buf, sizeof(buf), &nameLen, &flags,
                           &type, &bid, &len) != NOERROR) {
      continue;
    }
    if (std::string(buf, nameLen) == name) return flags;
  }
  return 0xFFFF;
}

int ItemCount(NOTEHANDLE hNote, const std::string& name) {
  int count = 0;
  DWORD n = QDSItemCount(hNote);
  for (DWORD i = 0; i < n; i++) {
    char buf[256];
    WORD nameLen = 0, flags = 0, type = 0;
    BLOCKID bid;
    DWORD len = 0;
    if (QDSItemInfoByIndex(hNote, i, buf, sizeof(buf), &nameLen, &flags,
                           &type, &bid, &len) != NOERROR) {
      continue;
    }
    if (std::string(buf, nameLen) == name) count++;
  }
  return count;
}

bool NoteExists(DBHANDLE db, NOTEID id) {
  NOTEHANDLE note = 0;
  if (QDSNoteOpen(db, id, 0, &note) != NOERROR) return false;
  QDSNoteClose(note);
  return true;
}

Bytes TextListValue(const std::vector<std::string>& texts) {
  Bytes b;
  PutW(&b, TYPE_TEXT_LIST);
  PutW(&b, (WORD)texts.size());
  for (const auto& t : texts) PutW(&b, (WORD)t.size());
  for (const auto& t : texts) PutBytes(&b, t.data(), t.size());
  return b;
}

std::vector<std::string> ParseTextList(const Bytes& value) {
  std::vector<std::string> out;
  if (value.size() < 4 || GetW(value, 0) != TYPE_TEXT_LIST) {
    ADD_FAILURE() << "not a text list value";
    return out;
  }
  WORD count = GetW(value, 2);
  size_t at = 4 + 2u * count;
  for (WORD i = 0; i < count; i++) {
    WORD len = GetW(value, 4 + 2u * i);
    if (at + len > value.size()) {
      ADD_FAILURE() << "text list overruns its value";
      return out;
    }
    out.emplace_back(reinterpret_cast<const char*>(value.data() + at), len);
    at += len;
  }
  EXPECT_EQ(at, value.size()) << "text list has trailing bytes";
  return out;
}

Recip MakeRecip(int seed, size_t nameLen) {
  Recip r;
  r.name = "user" + std::to_string(seed) + "@example.com";
  if (nameLen > 0) {
    r.name.resize(nameLen, (char)('a' + seed % 26));
  }
  r.nextHop = "hop" + std::to_string(seed) + ".example.net";
  r.po = "PO-" + std::to_string(seed);
  memset(&r.data, 0, sizeof(r.data));
  r.data.dwRecipType = (DWORD)seed;
  r.data.dwErrorCode = (DWORD)seed * 3u + 1u;
  r.data.tdNextRetry.Innards[0] = (DWORD)seed * 11u;
  r.data.tdNextRetry.Innards[1] = (DWORD)seed + 0x10000u;
  r.data.dwUserInfo = (DWORD)seed + 100u;
  r.data.wRetries = (WORD)(seed % 7);
  return r;
}

recip_info_t RecipInfo(const Recip& r) {
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  ri.pName = const_cast<char*>(r.name.data());
  ri.wNameLen = (WORD)r.name.size();
  ri.pNextHop = const_cast<char*>(r.nextHop.data());
  ri.wNextHopLen = (WORD)r.nextHop.size();
  ri.pPOName = const_cast<char*>(r.po.data());
  ri.wPONameLen = (WORD)r.po.size();
  ri.data = r.data;
  return ri;
}

NOTEID SaveMessage(queue_handle_t* q, WORD type, const std::vector<Recip>& r,
                   const user_msg_info_t* info) {
  msg_handle_t h;
  STATUS err = WQSCreateMsg(q, type, &h);
  if (err != NOERROR) {
    ADD_FAILURE() << "WQSCreateMsg " << err;
    return 0;
  }
  if (info != nullptr) WQSSetMsgInfo(&h, info);
  for (const Recip& x : r) {
    recip_info_t ri = RecipInfo(x);
    err = WQSAppendRecipient(&h, &ri);
    if (err != NOERROR) {
      ADD_FAILURE() << "WQSAppendRecipient " << err;
      WQSCloseAndDiscardMsg(&h);
      return 0;
    }
  }
  err = WQSCloseAndSaveMsg(&h);
  if (err != NOERROR) {
    ADD_FAILURE() << "WQSCloseAndSaveMsg " << err;
    WQSCloseAndDiscardMsg(&h);
    return 0;
  }
  user_msg_info_t* pi = nullptr;
  WQSGetMsgInfo(&h, &pi);
  return pi->dwQueueMsgID;
}

NOTEID RawDocument(DBHANDLE db, const std::function<void(NOTEHANDLE)>& fill) {
  NOTEHANDLE note = 0;
  if (QDSNoteCreate(db, &note) != NOERROR) {
    ADD_FAILURE() << "QDSNoteCreate";
    return 0;
  }
  fill(note);
  EXPECT_EQ(QDSNoteUpdate(note, 0), NOERROR);
  NOTEID id = 0;
  QDSNoteGetInfo(note, _NOTE_ID, &id);
  EXPECT_EQ(QDSNoteClose(note), NOERROR);
  return id;
}

void AppendRawValue(NOTEHANDLE hNote, const std::string& name,
                    const Bytes& valueWithType) {
  DHANDLE h = NULLHANDLE;
  ASSERT_EQ(OSMemAlloc(0x1234, (DWORD)valueWithType.size(), &h), NOERROR);
  char* p = static_cast<char*>(OSLockObject(h));
  ASSERT_NE(p, nullptr);
  if (!valueWithType.empty()) {
    memcpy(p, valueWithType.data(), valueWithType.size());
  }
  OSUnlockObject(h);
  BLOCKID bid;
  bid.pool = h;
  bid.block = 0;
  STATUS err = QDSItemAppendByBLOCKID(hNote, 0, name.data(), (WORD)name.size(),
                                      bid, (DWORD)valueWithType.size(),
                                      nullptr);
  if (err != NOERROR) {
    OSMemFree(h);
    ADD_FAILURE() << "QDSItemAppendByBLOCKID " << err;
  }
}

Bytes MsgInfoValue(const msg_info_t& info) {
  Bytes b;
  PutW(&b, TYPE_USERDATA);
  PutBytes(&b, &info, sizeof(info));
  return b;
}

Bytes ArrayItemValue(const std::string& header, DWORD entrySize,
                     DWORD granularity, DWORD used, DWORD avail,
                     DWORD capacity, const Bytes& entries) {
  Bytes b;
  PutW(&b, TYPE_USERDATA);
  b.push_back(32);
  Bytes name(31, 0);
  memcpy(name.data(), header.data(), std::min<size_t>(31, header.size()));
  PutBytes(&b, name.data(), 31);
  PutDW(&b, 0);  // hArray
  PutDW(&b, 24 + capacity * entrySize);
  PutDW(&b, entrySize);
  PutDW(&b, granularity);
  PutDW(&b, used);
  PutDW(&b, avail);
  Bytes slots(capacity * entrySize, 0);
  if (!entries.empty() && !slots.empty()) {
    memcpy(slots.data(), entries.data(),
           std::min(slots.size(), entries.size()));
  }
  PutBytes(&b, slots.data(), slots.size());
  return b;
}

int FaultSweep(WORD kinds, const std::function<void()>& setup,
               const std::function<STATUS()>& op,
               const std::function<void(STATUS)>& cleanup) {
  int fired = 0;
  for (DWORD n = 1; n < 100000; n++) {
    DWORD before = OSMemTestTotalBlocks();
    setup();
    if (::testing::Test::HasFatalFailure()) return fired;
    OSMemTestFailNth(kinds, n);
    STATUS st = op();
    bool didFire = OSMemTestFaultFired();
    OSMemTestDisarm();
    cleanup(st);
    EXPECT_EQ(OSMemTestTotalBlocks(), before)
        << "fault kinds " << kinds << " at call " << n << " (status " << st
        << ") left memory blocks alive";
    if (::testing::Test::HasFailure()) return fired;
    if (!didFire) break;
    fired++;
  }
  return fired;
}

int FaultSweepAll(const std::function<void()>& setup,
                  const std::function<STATUS()>& op,
                  const std::function<void(STATUS)>& cleanup) {
  int fired = FaultSweep(OSMEM_FAULT_ALLOC, setup, op, cleanup);
  fired += FaultSweep(OSMEM_FAULT_LOCK, setup, op, cleanup);
  fired += FaultSweep(OSMEM_FAULT_REALLOC, setup, op, cleanup);
  return fired;
}

}  // namespace wqstest
