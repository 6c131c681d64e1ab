#include "tool_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace tooltest {

namespace {

std::string* g_dir = nullptr;

// Starts the runtime once per test process in a fresh directory and
// removes the directory at the end.
class ToolEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { (void)DataDir(); }
  void TearDown() override {
    if (g_dir == nullptr) return;
    AddInSDKTerm(NOERROR);
    TavloTerm();
    std::error_code ec;
    fs::remove_all(*g_dir, ec);
  }
};

::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new ToolEnvironment);

char g_arg0[] = "tool_tests";
char* g_argv[] = {g_arg0, nullptr};

}  // namespace

const std::string& DataDir() {
  if (g_dir == nullptr) {
    std::string tmpl = (fs::temp_directory_path() / "rswq-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    g_dir = new std::string(buf.data());
    setenv("TAVLO_DATA", g_dir->c_str(), 1);
    if (TavloInitExtended(1, g_argv) != NOERROR ||
        AddInSDKInit(1, g_argv) != NOERROR) {
      std::fprintf(stderr, "runtime start-up failed\n");
      std::abort();
    }
  }
  return *g_dir;
}

std::string DataPath(const std::string& name) {
  return (fs::path(DataDir()) / name).string();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void RemoveQueueFile(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    fs::remove(path + suffix, ec);
}

Capture::Capture() {
  AddInTestSetLogSink(&Capture::LogSink, this);
  AddInTestSetStatusSink(&Capture::StatusSink, this);
}

Capture::~Capture() {
  AddInTestSetLogSink(nullptr, nullptr);
  AddInTestSetStatusSink(nullptr, nullptr);
}

std::vector<std::string> Capture::Texts() const {
  std::vector<std::string> out;
  for (const auto& l : log) out.push_back(l.text);
  return out;
}

void Capture::LogSink(const char* format, STATUS status,
                      const std::string& text, void* arg) {
  auto* self = static_cast<Capture*>(arg);
  self->log.push_back(LogLine{format ? format : "", status, text});
}

void Capture::StatusSink(const std::string& text, void* arg) {
  auto* self = static_cast<Capture*>(arg);
  self->status.push_back(text);
  if (self->onStatus) self->onStatus(self->status.size());
}

STATUS CreateQueue(const std::string& path, queue_handle_t* q) {
  std::string tmpl = DataPath("rswq-test-template.qdt");
  if (!FileExists(tmpl)) {
    STATUS err = QDSDbCreate(tmpl.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
    if (err != NOERROR) return err;
  }
  RemoveQueueFile(path);
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
  std::snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
                tmpl.c_str());
  std::snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "test queue");
  STATUS err = WQSCreateQueue(&qd);
  if (err != NOERROR) return err;
  return WQSOpenQueueForWrite(&qd, FALSE, q);
}

STATUS OpenQueue(const std::string& path, queue_handle_t* q) {
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", path.c_str());
  return WQSOpenQueueForWrite(&qd, FALSE, q);
}

STATUS SeedMessage(queue_handle_t* q, const SeedSpec& spec, NOTEID* id,
                   int serial) {
  msg_handle_t m;
  STATUS err = WQSCreateMsg(q, spec.type, &m);
  if (err != NOERROR) return err;

  TIMEDATE retryAt;
  TimeFromMicros(1700000000000000LL + serial * 1000000LL, &retryAt);
  for (int r = 0; r < spec.recipients; r++) {
    char name[64], hop[64], po[64];
    std::snprintf(name, sizeof(name), "user%d.%d@example.org", serial, r);
    std::snprintf(hop, sizeof(hop), "mx%d.example.net", r + 1);
    std::snprintf(po, sizeof(po), "PO%d", r);
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    ri.pName = name;
    ri.wNameLen = (WORD)std::strlen(name);
    ri.pNextHop = hop;
    ri.wNextHopLen = (WORD)std::strlen(hop);
    ri.pPOName = po;
    ri.wPONameLen = (WORD)std::strlen(po);
    ri.data.dwRecipType = 1;
    ri.data.dwErrorCode = spec.recipError;
    ri.data.tdNextRetry = retryAt;
    ri.data.dwUserInfo = spec.recipState;
    ri.data.wRetries = spec.recipRetries;
    err = WQSAppendRecipient(&m, &ri);
    if (err != NOERROR) {
      (void)WQSCloseAndDiscardMsg(&m);
      return err;
    }
  }

  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  info->dwSize = 4096 + serial;
  info->wPriority = 2;
  info->wFormat = 1;
  info->wRetries = spec.msgRetries;
  info->tdNextRetry = retryAt;
  info->dwFailureReason = 17;
  info->dwUserInfo1 = 1000 + serial;
  info->dwUserInfo2 = 3;
  info->dwUserInfo3 = spec.msgError;
  info->dwUserInfo4 = 4;
  info->dwUserInfo5 = 5;

  if (spec.status != kNoStatus) {
    err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", spec.status);
    if (err == NOERROR && spec.errStr) {
      static const char kErr[] =
          "550 5.1.1 <x@y>: Recipient address rejected: User unknown";
      err = WQSAddDataBlock(&m, FALSE, "WQErrStr", kErr, sizeof(kErr) - 1);
    }
  } else if (spec.errStr) {
    static const char kErr[] = "451 4.4.1 No answer from host";
    err = WQSAddDataBlock(&m, FALSE, "WQErrStr", kErr, sizeof(kErr) - 1);
  }
  if (err == NOERROR)
    err = WQSAddDataBlock(&m, FALSE, "WQIBNHE", "mx1.example.net", 15);
  if (err != NOERROR) {
    (void)WQSCloseAndDiscardMsg(&m);
    return err;
  }
  err = WQSCloseAndSaveMsg(&m);
  if (err != NOERROR) return err;
  WQSGetMsgInfo(&m, &info);
  *id = info->dwQueueMsgID;
  return NOERROR;
}

STATUS ReadMessage(queue_handle_t* q, NOTEID id, MsgSnapshot* out) {
  msg_handle_t m;
  STATUS err = WQSOpenMsgByMsgID(q, id, &m);
  if (err != NOERROR) return err;
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  out->info = *info;
  DWORD st = 0;
  out->hasStatus = WQSGetDWORD(&m, "WQMsgStatus", &st) == NOERROR;
  out->status = st;
  char buf[512];
  WORD len = 0;
  err = WQSGetDataBlock(&m, "WQErrStr", buf, sizeof(buf) - 1, &len);
  out->hasErrStr = QDSItemIsPresent(m.hNote, "WQErrStr", 8) != FALSE;
  out->errStr.assign(buf, len);
  out->recips.clear();
  out->names.clear();
  for (WORD r = 0; err == NOERROR && r < info->wNumRecip; r++) {
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    err = WQSGetRecipient(&m, r, &ri);
    if (err == NOERROR) {
      out->recips.push_back(ri.data);
      out->names.emplace_back(ri.pName, ri.wNameLen);
    }
  }
  STATUS cerr = WQSCloseMsg(&m);
  return err != NOERROR ? err : cerr;
}

std::string RawDocument(queue_handle_t* q, NOTEID id) {
  NOTEHANDLE note = 0;
  if (QDSNoteOpen(q->dbhandle, id, 0, &note) != NOERROR) return "<no note>";
  std::string out;
  TIMEDATE mod{};
  QDSNoteGetInfo(note, _NOTE_MODIFIED, &mod);
  out.append(reinterpret_cast<const char*>(&mod), sizeof(mod));
  DWORD n = QDSItemCount(note);
  for (DWORD i = 0; i < n; i++) {
    char name[256];
    WORD nameLen = 0, flags = 0, type = 0;
    BLOCKID bid{};
    DWORD len = 0;
    if (QDSItemInfoByIndex(note, i, name, sizeof(name), &nameLen, &flags,
                           &type, &bid, &len) != NOERROR) {
      out += "<bad item>";
      continue;
    }
    out.append(name, nameLen);
    out += '|' + std::to_string(flags) + '|' + std::to_string(type) + '|';
    const char* p = OSLockBlock(bid);
    if (p != nullptr) {
      out.append(p, len);
      OSUnlockBlock(bid);
    }
    out += '\n';
  }
  QDSNoteClose(note);
  return out;
}

DWORD WqsLiveBlocks() {
  DWORD total = 0;
  const WORD tags[] = {WQS_TAG_MSGLIST,    WQS_TAG_RECIPDATA,
                       WQS_TAG_RECIPLIST,  WQS_TAG_NHELIST,
                       WQS_TAG_POLIST,     WQS_TAG_ATTACHINFO,
                       WQS_TAG_MSGCOPY,    WQS_TAG_ARRAYVALUE,
                       WQS_TAG_STREAMTABLE, WQS_TAG_FILEITEM,
                       WQS_TAG_MOVEDLIST,  (WORD)0xF3DD};
  for (WORD t : tags) {
    DWORD blocks = 0, bytes = 0;
    OSMemTestCount(t, &blocks, &bytes);
    total += blocks;
  }
  return total;
}

}  // namespace tooltest
