// Shared pieces of the reliability tests: a private data directory with the
// runtime started, a queue of failed messages whose every stored value is
// known, a check that classifies each message as untouched or fully reset
// (anything in between is a lost or torn update), and child processes that
// can be killed, starved of file space or run without write permission.
#ifndef RELIABILITY_RELIABILITY_UTIL_H_
#define RELIABILITY_RELIABILITY_UTIL_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "wqs/wqs.h"

namespace rel {

// The test's data directory (TAVLO_DATA of this process and its children).
const std::string& DataDir();

// Integer from the environment, or `def` when unset or not a number.
long EnvLong(const char* name, long def);

// The RNG seed of this run: $REL_SEED when set, else fresh; printed once so
// a failing run can be repeated.
uint32_t RunSeed();

// Everything seeded into one message, as a reader should find it.
struct MsgSpec {
  user_msg_info_t info{};  // dwQueueMsgID holds the note id
  DWORD status = 0;
  std::string errStr;      // empty: no WQErrStr item
  std::vector<recip_data_t> recips;
};

// A seeded queue: the specs in note-id order.
struct SeededQueue {
  std::vector<NOTEID> ids;
  std::vector<MsgSpec> specs;
};

// Creates `path` (removing an old one) with `count` failed messages of
// mixed status 11/9/10/7, derived from `seed`.
::testing::AssertionResult SeedFailedQueue(const std::string& path, int count,
                                           uint32_t seed, SeededQueue* out);

// Removes a database file and its journal companions.
void RemoveDbFiles(const std::string& path);
// Copies a closed database file (no -wal may exist beside it).
void CopyDbFile(const std::string& from, const std::string& to);

// What the check of a queue found.
struct QueueState {
  size_t untouched = 0;  // as seeded
  size_t reset = 0;      // fully reconverted
};

// Opens the queue, checks that it holds exactly the seeded messages, that
// verification finds none damaged, and that each one is either untouched
// or fully reset (a failure names the first message that is neither).
::testing::AssertionResult CheckQueue(const std::string& path,
                                      const SeededQueue& seeded,
                                      QueueState* state);

// A child process.
struct ChildOptions {
  std::string binary;
  std::vector<std::string> args;
  std::string dir;              // working and data directory
  std::string out;              // standard output and error go here
  long fileSizeLimit = -1;      // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  uid_t uid = 0;                // nonzero: setgid/setuid to it before exec
};
pid_t StartChild(const ChildOptions& o);
// Waits for the child; its exit code, or 128 + signal.
int WaitChild(pid_t pid);
// Nonblocking: true (and *code) when it has ended.
bool ChildEnded(pid_t pid, int* code);
void KillChild(pid_t pid);  // SIGKILL and reap

std::string ReadFile(const std::string& path);

// The count on a task's registry status line ("ReQueueing Message: N"),
// or -1 while it shows no count.
long TaskCount(const std::string& dir, pid_t pid);

// Microseconds of a monotonic clock.
int64_t NowMicros();

}  // namespace rel

#endif  // RELIABILITY_RELIABILITY_UTIL_H_
