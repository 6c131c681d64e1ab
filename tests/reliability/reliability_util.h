// Shared pieces of the reliability tests: a private data directory with the
// runtime started, a queue of failed messages whose stored values are known,
// checks of a queue message by message, and child processes that can be
// killed, starved of file space or run as another user.
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
long EnvLong(const char* name, long def);
// $REL_SEED, else fresh; printed at start so a failing run can be repeated.
uint32_t RunSeed();
int64_t NowMicros();  // monotonic
std::string ReadFile(const std::string& path);
// N of the "rswq: ReQueued N messages" line, or -1.
long RequeuedCount(const std::string& out);

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
void RemoveDbFiles(const std::string& path);  // with -wal, -shm, -journal
void CopyDbFile(const std::string& from, const std::string& to);

// Opens the queue, requires WQHKVerifyQueue to find no message damaged,
// then opens every message and hands it to `check` (if any), which
// returns "" or a problem.
// The note ids found go to *ids.
::testing::AssertionResult CheckMessages(
    const std::string& path, std::vector<NOTEID>* ids,
    const std::function<std::string(NOTEID, msg_handle_t*)>& check);

struct QueueState {
  size_t untouched = 0, reset = 0;
};
// CheckMessages, and the queue holds exactly the seeded messages, each
// untouched or fully reset (never anything in between).
::testing::AssertionResult CheckQueue(const std::string& path,
                                      const SeededQueue& seeded,
                                      QueueState* state);

struct ChildOptions {
  std::string binary;
  std::vector<std::string> args;
  std::string dir;          // working and data directory
  std::string out;          // standard output and error
  long fileSizeLimit = -1;  // RLIMIT_FSIZE, SIGXFSZ ignored
  uid_t uid = 0;            // nonzero: run as this user and group
};
pid_t StartChild(const ChildOptions& o);
int WaitChild(pid_t pid);                 // exit code, or 128 + signal
bool ChildEnded(pid_t pid, int* code);    // without waiting
void KillChild(pid_t pid);                // SIGKILL and reap
// The count on a task's status line ("ReQueueing Message: N"), or -1.
long TaskCount(const std::string& dir, pid_t pid);

}  // namespace rel

#endif  // RELIABILITY_RELIABILITY_UTIL_H_
