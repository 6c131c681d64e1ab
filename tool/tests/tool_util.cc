#include "tool_util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tooltest {

const char* const kBanner[4] = {
    "\n\t                         Inbound Workqueue Message Status Reset Tool\n"
    "\t                         For Internal Use Only\n\t",
    "\n\t                         Use only with version 1.05 of the MAILHUB\n"
    "\t                         Check with support before using with any other\n"
    "\t                         verison of the MAILHUB\n\t",
    "\n\t                         Usage:\n"
    "\t                               1) Make sure the MAILHUB is NOT running\n"
    "\t                               2) Rename smtpibwq.qds to smtpibwq.fix\n"
    "\t                               3) Run this tool\n\t",
    "\n\t                         Notes:\n"
    "\t                         If you have a lot of messages getting reset\n"
    "\t                         do a show tasks, the status of this tool will\n"
    "\t                         tell you how many messages have been processed\n\t"};

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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

RunResult RunBinary(const std::string& binary, const std::string& dir,
                    const std::string& args) {
  std::string out = dir + "/.stdout", err = dir + "/.stderr";
  std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" + binary +
                    "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  int rc = std::system(cmd.c_str());
  RunResult r;
  r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

Capture::Capture() {
  AddInTestSetLogSink(
      [](const char* format, STATUS status, const std::string& text, void* arg) {
        static_cast<Capture*>(arg)->log.push_back({format ? format : "", status, text});
      },
      this);
  AddInTestSetStatusSink(
      [](const std::string& text, void* arg) {
        auto* self = static_cast<Capture*>(arg);
        self->status.push_back(text);
        if (self->onStatus) self->onStatus(self->status.size());
      },
      this);
}

Capture::~Capture() {
  AddInTestSetLogSink(nullptr, nullptr);
  AddInTestSetStatusSink(nullptr, nullptr);
}

Lines Capture::Texts() const {
  Lines out;
  for (const auto& l : log) out.push_back(l.text);
  return out;
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

STATUS SeedMessage(queue_handle_t* q, const SeedShape& shape, NOTEID* id,
                   int serial) {
  msg_handle_t m;
  STATUS err = WQSCreateMsg(q, shape.type, &m);
  if (err != NOERROR) return err;
  TIMEDATE retryAt;
  TimeFromMicros(1700000000000000LL + serial * 1000000LL, &retryAt);
  for (int r = 0; err == NOERROR && r < shape.recipients; r++) {
    char name[64], hop[64], po[64];
    std::snprintf(name, sizeof(name), "user%d.%d@example.org", serial, r);
    std::snprintf(hop, sizeof(hop), "mx%d.example.net", r + 1);
    std::snprintf(po, sizeof(po), "PO%d", r);
    recip_info_t ri{name, WORD(std::strlen(name)), hop, WORD(std::strlen(hop)),
                    po, WORD(std::strlen(po)),
                    recip_data_t{1, shape.recipError, retryAt, shape.recipState,
                                 shape.recipRetries}};
    err = WQSAppendRecipient(&m, &ri);
  }
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  *info = user_msg_info_t{DWORD(4096 + serial), info->dwQueueMsgID,
                          info->wNumRecip, 2, 1, shape.msgRetries, retryAt, 17,
                          DWORD(1000 + serial), 3, shape.msgError, 4, 5};
  static const char kErr[] =
      "550 5.1.1 <x@y>: Recipient address rejected: User unknown";
  if (err == NOERROR) err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", shape.status);
  if (err == NOERROR && shape.errStr)
    err = WQSAddDataBlock(&m, FALSE, "WQErrStr", kErr, sizeof(kErr) - 1);
  if (err == NOERROR)
    err = WQSAddDataBlock(&m, FALSE, "WQIBNHE", "mx1.example.net", 15);
  if (err != NOERROR) {
    (void)WQSCloseAndDiscardMsg(&m);
    return err;
  }
  err = WQSCloseAndSaveMsg(&m);
  WQSGetMsgInfo(&m, &info);
  *id = info->dwQueueMsgID;
  return err;
}

STATUS ReadMessage(queue_handle_t* q, NOTEID id, MsgSnapshot* out) {
  msg_handle_t m;
  STATUS err = WQSOpenMsgByMsgID(q, id, &m);
  if (err != NOERROR) return err;
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  out->info = *info;
  out->hasStatus = WQSGetDWORD(&m, "WQMsgStatus", &out->status) == NOERROR;
  out->hasErrStr = QDSItemIsPresent(m.hNote, "WQErrStr", 8) != FALSE;
  out->recips.clear();
  out->names.clear();
  for (WORD r = 0; err == NOERROR && r < info->wNumRecip; r++) {
    recip_info_t ri{};
    err = WQSGetRecipient(&m, r, &ri);
    out->recips.push_back(ri.data);
    out->names.emplace_back(ri.pName, err == NOERROR ? ri.wNameLen : 0);
  }
  STATUS cerr = WQSCloseMsg(&m);
  return err != NOERROR ? err : cerr;
}

void ExpectRequeued(const MsgSnapshot& before, const MsgSnapshot& after) {
  EXPECT_TRUE(after.hasStatus);
  EXPECT_EQ(6u, after.status);
  EXPECT_FALSE(after.hasErrStr);
  user_msg_info_t want = before.info;
  want.wRetries = 1;
  want.dwUserInfo3 = 0;
  EXPECT_EQ(0, std::memcmp(&want, &after.info, sizeof want))
      << "message " << before.info.dwQueueMsgID;
  EXPECT_EQ(before.names, after.names);
  ASSERT_EQ(before.recips.size(), after.recips.size());
  for (size_t r = 0; r < after.recips.size(); r++) {
    recip_data_t rwant = before.recips[r];  // retries and next retry kept
    rwant.dwUserInfo = 6;
    rwant.dwErrorCode = 0;
    EXPECT_EQ(0, std::memcmp(&rwant, &after.recips[r], sizeof rwant))
        << "message " << before.info.dwQueueMsgID << " recipient " << r;
  }
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
