// Test helpers of the reset tool: a private data directory per test
// process with the runtime started in it, capture of log and status lines,
// queues seeded through the work-queue library, and runs of the binaries.
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

using Lines = std::vector<std::string>;

// The four paragraphs the tool logs first, byte for byte.
extern const char* const kBanner[4];

// The process's data directory (TAVLO_DATA), made on first use.
const std::string& DataDir();
std::string DataPath(const std::string& name);
bool FileExists(const std::string& path);
void RemoveQueueFile(const std::string& path);  // with its WAL companions
std::string ReadFile(const std::string& path);

// Runs a built binary in `dir` with TAVLO_DATA pointing there.
struct RunResult {
  int code = -1;
  std::string out, err;
};
RunResult RunBinary(const std::string& binary, const std::string& dir,
                    const std::string& args = "");

struct LogLine {
  std::string format;
  STATUS status;
  std::string text;
};

// Captures log and status lines while alive; `onStatus` runs after each
// status line is recorded (the count of status lines so far is passed).
struct Capture {
  Capture();
  ~Capture();
  std::vector<LogLine> log;
  Lines status;
  std::function<void(size_t)> onStatus;
  Lines Texts() const;
};

// What a seeded message looks like.
struct SeedShape {
  WORD type = WQS_MSG_EXTENDED;
  DWORD status = 11;          // WQMsgStatus
  int recipients = 3;
  bool errStr = true;         // a WQErrStr item
  WORD msgRetries = 0;
  DWORD msgError = 550;       // dwUserInfo3
  WORD recipRetries = 3;
  DWORD recipState = 11;
  DWORD recipError = 550;
};
// A message already requeued: status 6, no error anywhere.
constexpr SeedShape kHealthy{WQS_MSG_EXTENDED, 6, 3, false, 4, 0, 3, 6, 0};

// Creates an empty queue database at `path` (absolute), open for write.
STATUS CreateQueue(const std::string& path, queue_handle_t* q);
STATUS OpenQueue(const std::string& path, queue_handle_t* q);
// Adds one message; its note id goes to *id.
STATUS SeedMessage(queue_handle_t* q, const SeedShape& shape, NOTEID* id,
                   int serial = 0);

// Everything a message holds, read back through the library.
struct MsgSnapshot {
  user_msg_info_t info{};
  bool hasStatus = false;
  DWORD status = 0;
  bool hasErrStr = false;
  std::vector<recip_data_t> recips;
  Lines names;
};
STATUS ReadMessage(queue_handle_t* q, NOTEID id, MsgSnapshot* out);
// Checks `after` is `before` reset: status 6, no error text, one retry,
// no error, every recipient in state 6 without error; all else kept.
void ExpectRequeued(const MsgSnapshot& before, const MsgSnapshot& after);

// The document's raw items (name, flags, type, value bytes) and its
// modification time, to prove a document was never rewritten.
std::string RawDocument(queue_handle_t* q, NOTEID id);

// Live blocks of every work-queue allocation tag.
DWORD WqsLiveBlocks();

}  // namespace tooltest

#endif  // RSWQ_TESTS_TOOL_UTIL_H_
