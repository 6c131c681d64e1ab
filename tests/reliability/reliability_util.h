// Shared pieces of the reliability tests: a data directory with the runtime
// started, a queue of failed messages with known values, message-by-message
// checks, and child processes that can be killed or starved of file space.
#ifndef RELIABILITY_RELIABILITY_UTIL_H_
#define RELIABILITY_RELIABILITY_UTIL_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wqs/wqs.h"

namespace rel {

const std::string& DataDir();  // TAVLO_DATA of this process
uint32_t RunSeed();            // $REL_SEED, else fresh; printed at start
int64_t NowMicros();           // monotonic
std::string ReadFile(const std::string& path);
long RequeuedCount(const std::string& out);  // N of "rswq: ReQueued N messages", or -1

// One message as seeded (dwQueueMsgID holds the note id).
struct MsgSpec {
  user_msg_info_t info{};
  DWORD status = 0;                   // 0: no WQMsgStatus
  std::optional<std::string> errStr;  // WQErrStr
  std::vector<recip_data_t> recips;
};
struct SeededQueue {
  std::vector<NOTEID> ids;  // note-id order
  std::vector<MsgSpec> specs;
};
// Creates `path` afresh with `count` failed messages (status 11/9/10/7).
::testing::AssertionResult SeedFailedQueue(const std::string& path, int count,
                                           uint32_t seed, SeededQueue* out);
void RemoveDbFiles(const std::string& path);  // with its sidecars
// The file's header says it was closed cleanly and no sidecar of it is left.
bool ClosedCleanly(const std::string& path);
void CopyDbFile(const std::string& from, const std::string& to);

// WQHKVerifyQueue finds no message damaged, and `check` (if any) returns ""
// for every message opened; the note ids found go to *ids.
::testing::AssertionResult CheckMessages(
    const std::string& path, std::vector<NOTEID>* ids,
    const std::function<std::string(NOTEID, msg_handle_t*)>& check);

struct QueueState {
  size_t untouched = 0, reset = 0;
  std::vector<NOTEID> extra;  // messages saved after the seeded ones
};
// The queue holds the seeded messages, each untouched or fully reset (never
// anything in between), and nothing else unless `allowExtra` (messages
// saved later, whose note ids all follow the seeded ones).
::testing::AssertionResult CheckQueue(const std::string& path, const SeededQueue& seeded,
                                      QueueState* state, bool allowExtra = false);

struct ChildOptions {
  std::string binary;
  std::vector<std::string> args;
  std::string dir, out;     // working and data directory; stdout and stderr
  long fileSizeLimit = -1;  // RLIMIT_FSIZE, SIGXFSZ ignored
  std::vector<std::string> env;  // NAME=VALUE, added to the environment
};
pid_t StartChild(const ChildOptions& o);
int WaitChild(pid_t pid);               // exit code, or 128 + signal
bool ChildEnded(pid_t pid, int* code);  // without waiting
void KillChild(pid_t pid);              // SIGKILL and reap
// The count on a task's status line ("ReQueueing Message: N"), or -1.
long TaskCount(const std::string& dir, pid_t pid);

}  // namespace rel

#endif  // RELIABILITY_RELIABILITY_UTIL_H_
