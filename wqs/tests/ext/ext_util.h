// Shared fixture and helpers of the message copy, stream and file block
// tests: a fresh data directory per test with one or two queue databases,
// message builders, and raw item readers for byte checks.
#ifndef WQS_TESTS_EXT_EXT_UTIL_H_
#define WQS_TESTS_EXT_EXT_UTIL_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqs/wqs.h"

namespace wqsext {

// A recipient as the tests describe it.
struct Recip {
  std::string name;
  std::string nextHop;
  std::string po;
  DWORD state = 0;
  DWORD error = 0;
};

// Name "rcpt<i>@example.org" padded to `nameLen` bytes (0: unpadded).
Recip MakeRecip(int i, size_t nameLen = 0);

// The value of the first item `name` of a document, type code first; empty
// when the item is absent.
std::vector<uint8_t> ItemValue(NOTEHANDLE hNote, const char* name);
// Number of items called `name`.
int ItemCount(NOTEHANDLE hNote, const char* name);
// A filled byte pattern that differs at every position of a long run.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1);

// Fault-injection sweep.  For n = 1, 2, ...: `setup` runs unarmed, then the
// n-th runtime call of `kinds` fails while `op` runs, then `cleanup` gets
// op's status and releases what a caller would.  After each round the live
// block count must be what it was before setup.  Stops after the first
// round in which the fault did not fire; returns the rounds where it did.
int FaultSweep(WORD kinds, const std::function<void()>& setup,
               const std::function<STATUS()>& op,
               const std::function<void(STATUS)>& cleanup);
// FaultSweep over allocations, locks and reallocations in turn; expects
// allocation and lock faults to have fired at least once.
void FaultSweepAll(const std::function<void()>& setup,
                   const std::function<STATUS()>& op,
                   const std::function<void(STATUS)>& cleanup);

class ExtTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates and opens queue database `file` in the temporary directory.
  queue_handle_t OpenNewQueue(const char* file);

  // Builds, saves and returns the note id of a message of `type` with the
  // given recipients (extended messages carry next hops and PO names).
  NOTEID SaveMessage(queue_handle_t* q, WORD type,
                     const std::vector<Recip>& recips,
                     DWORD userInfo1 = 0x1234);

  // Opens a document by note id without the message layer, for raw checks.
  NOTEHANDLE OpenNote(queue_handle_t* q, NOTEID id);

  std::string dir_;
  queue_handle_t q1_{};
  DWORD baseline_blocks_ = 0;
  std::vector<DBHANDLE> open_dbs_;
};

}  // namespace wqsext

#endif  // WQS_TESTS_EXT_EXT_UTIL_H_
