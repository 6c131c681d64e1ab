// Test helpers of the reset tool: a private data directory per test
// process with the runtime started in it, capture of log and status lines,
// and queues seeded through the work-queue library.
#ifndef RSWQ_TESTS_TOOL_UTIL_H_
#define RSWQ_TESTS_TOOL_UTIL_H_

#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk.h"
#include "wqs/wqs.h"

namespace tooltest {

// The process's data directory (TAVLO_DATA), made on first use.
const std::string& DataDir();
// Absolute path of a file in it.
std::string DataPath(const std::string& name);
bool FileExists(const std::string& path);
void RemoveQueueFile(const std::string& path);  // with its WAL companions

struct LogLine {
  std::string format;
  STATUS status;
  std::string text;
};

// Captures log and status lines while alive; `onStatus` runs after each
// status line is recorded (the count of status lines so far is passed).
class Capture {
 public:
  Capture();
  ~Capture();
  std::vector<LogLine> log;
  std::vector<std::string> status;
  std::function<void(size_t)> onStatus;
  std::vector<std::string> Texts() const;

 private:
  static void LogSink(const char* format, STATUS status,
                      const std::string& text, void* arg);
  static void StatusSink(const std::string& text, void* arg);
};

// What a seeded message looks like.
struct SeedSpec {
  WORD type = WQS_MSG_EXTENDED;
  DWORD status = 11;          // WQMsgStatus; kNoStatus writes none
  int recipients = 3;
  bool errStr = true;         // a WQErrStr item
  WORD msgRetries = 0;
  DWORD msgError = 550;       // dwUserInfo3
  WORD recipRetries = 3;
  DWORD recipState = 11;
  DWORD recipError = 550;
};
constexpr DWORD kNoStatus = 0xFFFFFFFF;

// Creates an empty queue database at `path` (absolute), open for write.
STATUS CreateQueue(const std::string& path, queue_handle_t* q);
STATUS OpenQueue(const std::string& path, queue_handle_t* q);
// Adds one message; its note id goes to *id.
STATUS SeedMessage(queue_handle_t* q, const SeedSpec& spec, NOTEID* id,
                   int serial = 0);

// Everything a message holds, read back through the library.
struct MsgSnapshot {
  user_msg_info_t info{};
  bool hasStatus = false;
  DWORD status = 0;
  bool hasErrStr = false;
  std::string errStr;
  std::vector<recip_data_t> recips;
  std::vector<std::string> names;
};
STATUS ReadMessage(queue_handle_t* q, NOTEID id, MsgSnapshot* out);

// The document's raw items (name, flags, type, value bytes) and its
// modification time, to prove a document was never rewritten.
std::string RawDocument(queue_handle_t* q, NOTEID id);

// Live blocks of every work-queue allocation tag.
DWORD WqsLiveBlocks();

}  // namespace tooltest

#endif  // RSWQ_TESTS_TOOL_UTIL_H_
