// Helpers shared by the work-queue store tests; see core_util.h.
#include "core_util.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace wqstest {

static void PutLE(Bytes* b, DWORD v, int n) {
  for (int i = 0; i < n; i++) b->push_back((BYTE)(v >> (8 * i)));
}
void PutW(Bytes* b, WORD v) { PutLE(b, v, 2); }
void PutDW(Bytes* b, DWORD v) { PutLE(b, v, 4); }
void PutBytes(Bytes* b, const void* p, size_t n) {
  const BYTE* s = static_cast<const BYTE*>(p);
  b->insert(b->end(), s, s + n);
}
WORD GetW(const Bytes& b, size_t at) {
  return (WORD)(b.at(at) | (b.at(at + 1) << 8));
}
DWORD GetDW(const Bytes& b, size_t at) {
  return (DWORD)GetW(b, at) | ((DWORD)GetW(b, at + 2) << 16);
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes v(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = (BYTE)(x >> 16);
  }
  return v;
}

void CoreTest::SetUp() {
  OSMemTestDisarm();
  // Memory-backed when available: disk syncs would dominate the run time.
  std::string t = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                  std::string("/wqstest.XXXXXX");
  ASSERT_NE(mkdtemp(t.data()), nullptr);
  dir_ = t;
  setenv("TAVLO_DATA", dir_.c_str(), 1);
  baselineBlocks_ = OSMemTestTotalBlocks();
}

void CoreTest::TearDown() {
  OSMemTestDisarm();
  if (queueOpen_) {
    EXPECT_EQ(WQSCloseQueueForWrite(&queue_), NOERROR);
  }
  queueOpen_ = false;
  EXPECT_EQ(OSMemTestTotalBlocks(), baselineBlocks_)
      << "the test left runtime memory blocks alive";
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void CoreTest::MakeTemplate(
    const std::string& name,
    const std::vector<std::pair<std::string, std::string>>& views) {
  ASSERT_EQ(QDSDbCreate(Path(name).c_str(), 0xFF01, FALSE), NOERROR);
  if (views.empty()) return;
  DBHANDLE t = 0;
  ASSERT_EQ(QDSDbOpen(Path(name).c_str(), &t), NOERROR);
  for (const auto& v : views) {
    NOTEID id = 0;
    EXPECT_EQ(QDSViewCreate(t, v.first.c_str(), v.second.c_str(), &id),
              NOERROR);
  }
  EXPECT_EQ(QDSDbClose(t), NOERROR);
}

void CoreTest::OpenQueue(queue_handle_t* q, const std::string& name) {
  if (!std::filesystem::exists(Path("tmpl.qds"))) MakeTemplate("tmpl.qds");
  queue_descriptor_t qd{};
  snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", Path(name).c_str());
  snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
           Path("tmpl.qds").c_str());
  snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "Test queue");
  memset(q, 0, sizeof(*q));
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, q), NOERROR);
}

Bytes ItemBytes(NOTEHANDLE hNote, const std::string& name) {
  BLOCKID bid;
  DWORD len = 0;
  STATUS err =
      QDSItemInfo(hNote, name.data(), (WORD)name.size(), nullptr, &bid, &len);
  if (err != NOERROR) return Bytes();
  const char* p = OSLockBlock(bid);
  EXPECT_NE(p, nullptr) << name;
  if (p == nullptr) return Bytes();
  Bytes out(p, p + len);
  OSUnlockBlock(bid);
  return out;
}

Bytes StoredItem(DBHANDLE db, NOTEID id, const std::string& name) {
  NOTEHANDLE note = 0;
  EXPECT_EQ(QDSNoteOpen(db, id, 0, &note), NOERROR) << id;
  Bytes out = ItemBytes(note, name);
  QDSNoteClose(note);
  return out;
}

int ItemCount(NOTEHANDLE hNote, const std::string& name) {
  int count = 0;
  for (DWORD i = 0, n = QDSItemCount(hNote); i < n; i++) {
    char buf[256];
    WORD len = 0;
    count += QDSItemInfoByIndex(hNote, i, buf, sizeof(buf), &len, nullptr,
                                nullptr, nullptr, nullptr) == NOERROR &&
             std::string(buf, len) == name;
  }
  return count;
}

Recip MakeRecip(int seed, size_t nameLen) {
  Recip r;
  r.name = "user" + std::to_string(seed) + "@example.com";
  if (nameLen > 0) r.name.resize(nameLen, (char)('a' + seed % 26));
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

std::vector<Recip> MakeRecips(int n, size_t nameLen, int first) {
  std::vector<Recip> v;
  for (int i = 0; i < n; i++) v.push_back(MakeRecip(first + i, nameLen));
  return v;
}

recip_info_t RecipInfo(const Recip& r) {
  recip_info_t ri{};
  ri.pName = const_cast<char*>(r.name.data());
  ri.wNameLen = (WORD)r.name.size();
  ri.pNextHop = const_cast<char*>(r.nextHop.data());
  ri.wNextHopLen = (WORD)r.nextHop.size();
  ri.pPOName = const_cast<char*>(r.po.data());
  ri.wPONameLen = (WORD)r.po.size();
  ri.data = r.data;
  return ri;
}

void ExpectMessage(queue_handle_t* q, NOTEID id, const std::vector<Recip>& r) {
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(q, id, &h), NOERROR);
  EXPECT_EQ(h.info.user.wNumRecip, r.size());
  for (WORD i = 0; i < r.size(); i++) {
    recip_info_t ri{};
    EXPECT_EQ(WQSGetRecipient(&h, i, &ri), NOERROR) << i;
    if (ri.pName == nullptr) continue;
    EXPECT_EQ(std::string(ri.pName, ri.wNameLen), r[i].name) << i;
    EXPECT_EQ(memcmp(&ri.data, &r[i].data, sizeof(recip_data_t)), 0) << i;
    if (h.info.wMsgType == WQS_MSG_EXTENDED) {
      EXPECT_EQ(std::string(ri.pNextHop, ri.wNextHopLen), r[i].nextHop) << i;
      EXPECT_EQ(std::string(ri.pPOName, ri.wPONameLen), r[i].po) << i;
    }
  }
  recip_info_t past{};
  EXPECT_EQ(WQSGetRecipient(&h, (WORD)r.size(), &past),
            h.info.wMsgType == WQS_MSG_EXTENDED ? ERR_LIST_INDEX : ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

NOTEID SaveMessage(queue_handle_t* q, WORD type, const std::vector<Recip>& r,
                   const user_msg_info_t* info,
                   const std::function<void(msg_handle_t*)>& fill) {
  msg_handle_t h;
  STATUS err = WQSCreateMsg(q, type, &h);
  EXPECT_EQ(err, NOERROR);
  if (err != NOERROR) return 0;
  if (info != nullptr) WQSSetMsgInfo(&h, info);
  for (size_t i = 0; i < r.size() && err == NOERROR; i++) {
    recip_info_t ri = RecipInfo(r[i]);
    err = WQSAppendRecipient(&h, &ri);
  }
  if (err == NOERROR && fill) fill(&h);
  if (err == NOERROR) err = WQSCloseAndSaveMsg(&h);
  if (err != NOERROR) {
    ADD_FAILURE() << "building or saving the message: " << err;
    WQSCloseAndDiscardMsg(&h);
    return 0;
  }
  return h.info.user.dwQueueMsgID;
}

}  // namespace wqstest
