// Shared helpers of the work-queue store core tests: a fresh data directory
// per test, a queue made from an empty template, raw access to stored item
// values, message builders and the memory fault-injection sweep.
#ifndef WQS_TESTS_CORE_CORE_UTIL_H_
#define WQS_TESTS_CORE_CORE_UTIL_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqs/wqs.h"

namespace wqstest {

typedef std::vector<BYTE> Bytes;

// Copies a field of a packed record out before gtest binds a reference to
// it: a DWORD at a 2-byte boundary is fine to read but not to reference.
template <typename T>
inline T Val(T v) {
  return v;
}

// Little-endian builders for hand-made expectations.
void PutW(Bytes* b, WORD v);
void PutDW(Bytes* b, DWORD v);
void PutBytes(Bytes* b, const void* p, size_t n);
WORD GetW(const Bytes& b, size_t at);
DWORD GetDW(const Bytes& b, size_t at);

// Test fixture: a temporary data directory (TAVLO_DATA) removed afterwards,
// and a check that the test leaves no live runtime memory block behind.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Absolute path of a file in the data directory.
  std::string Path(const std::string& name) const;
  // Creates an empty template database (with the given views, title and
  // formula pairs) and opens a queue made from it, with bCreate 1.
  void MakeTemplate(const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>&
                        views = {});
  void OpenQueue(queue_handle_t* q, const std::string& name = "queue.qds");

  std::string dir_;
  DWORD baselineBlocks_ = 0;
  bool queueOpen_ = false;
  queue_handle_t queue_{};
};

// The whole stored value of the first item `name` (type code first), or an
// empty vector with *found false.
Bytes ItemBytes(NOTEHANDLE hNote, const std::string& name, bool* found = nullptr);
// The same, for a saved document.
Bytes StoredItem(DBHANDLE db, NOTEID id, const std::string& name,
                 bool* found = nullptr);
// Item flags of the first item `name` (0xFFFF when absent), and the number
// of items of that name.
WORD ItemFlags(NOTEHANDLE hNote, const std::string& name);
int ItemCount(NOTEHANDLE hNote, const std::string& name);
bool NoteExists(DBHANDLE db, NOTEID id);

// A text list value with the type code, as stored.
Bytes TextListValue(const std::vector<std::string>& texts);
// The texts of a stored text-list value (type code first).
std::vector<std::string> ParseTextList(const Bytes& value);

// A recipient description with distinct state derived from `seed`.
struct Recip {
  std::string name, nextHop, po;
  recip_data_t data;
};
Recip MakeRecip(int seed, size_t nameLen = 0);
recip_info_t RecipInfo(const Recip& r);

// Creates, fills and saves a message; returns its note id (0 on failure,
// with a gtest failure recorded).
NOTEID SaveMessage(queue_handle_t* q, WORD type, const std::vector<Recip>& r,
                   const user_msg_info_t* info = nullptr);

// Makes a document with the raw store API: `fill` appends items.
NOTEID RawDocument(DBHANDLE db, const std::function<void(NOTEHANDLE)>& fill);

// Appends a user-data item from raw bytes that already begin with the
// type code, as the library's array writer stores them.
void AppendRawValue(NOTEHANDLE hNote, const std::string& name,
                    const Bytes& valueWithType);

// The stored message-info value (88 bytes) for `info`.
Bytes MsgInfoValue(const msg_info_t& info);
// A stored dynamic-array item value: type code, header, image.
Bytes ArrayItemValue(const std::string& header, DWORD entrySize,
                     DWORD granularity, DWORD used, DWORD avail,
                     DWORD capacity, const Bytes& entries);

// Fault-injection sweep.  For n = 1, 2, ... : `setup` runs unarmed, then
// the n-th runtime call of `kinds` is made to fail while `op` runs, then
// `cleanup` gets op's status and releases what a caller would, then
// `check` may verify the outcome.  After each round the live block count
// must equal the count before setup.  Stops once a round runs without the
// fault firing.  Returns the number of rounds in which the fault fired.
int FaultSweep(WORD kinds, const std::function<void()>& setup,
               const std::function<STATUS()>& op,
               const std::function<void(STATUS)>& cleanup);
// Runs FaultSweep for allocation, lock and reallocation faults in turn;
// returns the total number of rounds in which a fault fired.
int FaultSweepAll(const std::function<void()>& setup,
                  const std::function<STATUS()>& op,
                  const std::function<void(STATUS)>& cleanup);

}  // namespace wqstest

#endif  // WQS_TESTS_CORE_CORE_UTIL_H_
