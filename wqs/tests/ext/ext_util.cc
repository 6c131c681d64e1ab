// Helpers of the extension tests; see ext_util.h.
#include "ext/ext_util.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace wqsext {

Recip MakeRecip(int i, size_t nameLen) {
  Recip r;
  r.name = "rcpt" + std::to_string(i) + "@example.org";
  if (nameLen > r.name.size()) r.name.append(nameLen - r.name.size(), 'x');
  r.nextHop = "hop" + std::to_string(i) + ".example.net";
  r.po = "PO-" + std::to_string(i);
  r.state = 100 + i;
  r.error = 200 + i;
  return r;
}

std::vector<uint8_t> ItemValue(NOTEHANDLE hNote, const char* name) {
  BLOCKID bid;
  DWORD len = 0;
  if (QDSItemInfo(hNote, name, (WORD)strlen(name), nullptr, &bid, &len) !=
      NOERROR) {
    return {};
  }
  const char* p = OSLockBlock(bid);
  if (p == nullptr) return {};
  std::vector<uint8_t> v(p, p + len);
  OSUnlockBlock(bid);
  return v;
}

int ItemCount(NOTEHANDLE hNote, const char* name) {
  int count = 0;
  DWORD n = QDSItemCount(hNote);
  for (DWORD i = 0; i < n; i++) {
    char buf[256];
    WORD len = 0;
    if (QDSItemInfoByIndex(hNote, i, buf, sizeof buf, &len, nullptr, nullptr,
                           nullptr, nullptr) != NOERROR) {
      continue;
    }
    if (len == strlen(name) && memcmp(buf, name, len) == 0) count++;
  }
  return count;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = (uint8_t)(x >> 16);
  }
  return v;
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
        << ") left blocks alive";
    if (::testing::Test::HasFailure()) return fired;
    if (!didFire) break;
    fired++;
  }
  return fired;
}

void FaultSweepAll(const std::function<void()>& setup,
                   const std::function<STATUS()>& op,
                   const std::function<void(STATUS)>& cleanup) {
  EXPECT_GT(FaultSweep(OSMEM_FAULT_ALLOC, setup, op, cleanup), 0);
  EXPECT_GT(FaultSweep(OSMEM_FAULT_LOCK, setup, op, cleanup), 0);
  FaultSweep(OSMEM_FAULT_REALLOC, setup, op, cleanup);
}

void ExtTest::SetUp() {
  // Memory-backed when available: the store syncs its files, and on a disk
  // those syncs would dominate the suite's run time.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/wqsext-XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back(0);
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  dir_ = tmpl.data();
  setenv("TAVLO_DATA", dir_.c_str(), 1);
  q1_ = OpenNewQueue("q1.qds");
  baseline_blocks_ = OSMemTestTotalBlocks();
}

void ExtTest::TearDown() {
  OSMemTestDisarm();
  for (DBHANDLE db : open_dbs_) QDSDbClose(db);
  open_dbs_.clear();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

queue_handle_t ExtTest::OpenNewQueue(const char* file) {
  queue_handle_t q{};
  std::string path = dir_ + "/" + file;
  EXPECT_EQ(QDSDbCreate(path.c_str(), WQS_QUEUE_DB_CLASS, FALSE), NOERROR);
  EXPECT_EQ(QDSDbOpen(path.c_str(), &q.dbhandle), NOERROR);
  open_dbs_.push_back(q.dbhandle);
  return q;
}

NOTEID ExtTest::SaveMessage(queue_handle_t* q, WORD type,
                            const std::vector<Recip>& recips,
                            DWORD userInfo1) {
  msg_handle_t m;
  EXPECT_EQ(WQSCreateMsg(q, type, &m), NOERROR);
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  info->dwUserInfo1 = userInfo1;
  info->wPriority = 7;
  for (const Recip& r : recips) {
    recip_info_t ri{};
    ri.pName = const_cast<char*>(r.name.data());
    ri.wNameLen = (WORD)r.name.size();
    ri.pNextHop = const_cast<char*>(r.nextHop.data());
    ri.wNextHopLen = (WORD)r.nextHop.size();
    ri.pPOName = const_cast<char*>(r.po.data());
    ri.wPONameLen = (WORD)r.po.size();
    ri.data.dwUserInfo = r.state;
    ri.data.dwErrorCode = r.error;
    ri.data.wRetries = 3;
    EXPECT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
  }
  EXPECT_EQ(WQSAddDWORD(&m, TRUE, "WQMsgStatus", 11), NOERROR);
  EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
  return m.info.user.dwQueueMsgID;
}

NOTEHANDLE ExtTest::OpenNote(queue_handle_t* q, NOTEID id) {
  NOTEHANDLE h = 0;
  EXPECT_EQ(QDSNoteOpen(q->dbhandle, id, 0, &h), NOERROR);
  return h;
}

}  // namespace wqsext
