// Fault sweeps over the work-queue library: every allocation,
// reallocation, lock and store access an operation makes fails in turn,
// and after each fault the caller's normal clean-up must leave no memory
// block, document or database handle behind and a queue whose messages
// all verify, each either as it was before the operation or as the
// operation leaves it.
#ifndef WQHK_TESTS_SWEEP_SWEEP_UTIL_H_
#define WQHK_TESTS_SWEEP_SWEEP_UTIL_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/core_util.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"

namespace wqstest {

enum FaultKind { kFaultAlloc, kFaultRealloc, kFaultLock, kFaultStore, kFaultKinds };
const char* FaultKindName(int kind);

// A stored message as a sorted list of (item name, value) pairs, with the
// values that differ between otherwise equal messages (note id in
// WQSMsgInfo, object ids in $FILE and WQSAttachInfo) set to zero.
typedef std::multimap<std::string, Bytes> Snapshot;
Snapshot Snap(DBHANDLE db, NOTEID id);
// What differs between two snapshots, for failure messages.
std::string SnapDiff(const Snapshot& a, const Snapshot& b);
// Note ids of every data document of the queue, ascending.
std::vector<NOTEID> QueueIds(DBHANDLE db);

struct SweepOp {
  std::function<void()> setup;         // unarmed, before every round
  std::function<STATUS()> op;          // runs with the fault armed
  std::function<void(STATUS)> cleanup; // the caller's normal clean-up
  std::function<void(STATUS)> check;   // the queue after the clean-up
};

// Rounds in which a fault fired, per kind; `reported` counts the rounds
// whose operation returned a nonzero STATUS.
struct SweepCounts {
  int fired[kFaultKinds] = {};
  int reported[kFaultKinds] = {};
  int Total() const;
};

class SweepTest : public QueueTest {
 protected:
  // Sweeps n = 1, 2, ... for each fault kind until the operation completes
  // without the fault firing.  Records the counts as test properties and
  // prints one summary line under `name`.
  SweepCounts Sweep(const std::string& name, const SweepOp& s);
  // Every message of the queue verifies; returns how many were checked.
  DWORD VerifyQueue();
};

// A failed message as the relay leaves it: status 11 (summary), an error
// text, recipients in error, some retries; optionally a two-piece body
// stream and (withFile) an attachment.
NOTEID SaveFailedMessage(queue_handle_t* q, WORD type, int recips,
                         bool withBody, bool withFile = true);

}  // namespace wqstest

#endif  // WQHK_TESTS_SWEEP_SWEEP_UTIL_H_
