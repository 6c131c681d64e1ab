// Helpers shared by the work-queue store tests and the fault sweeps.
#ifndef WQS_TESTS_CORE_CORE_UTIL_H_
#define WQS_TESTS_CORE_CORE_UTIL_H_

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqs/wqs.h"

namespace wqstest {

typedef std::vector<BYTE> Bytes;

template <typename T>
inline T Val(T v) {  // copies a packed field before gtest binds a reference
  return v;
}

void PutW(Bytes* b, WORD v);  // little-endian
void PutDW(Bytes* b, DWORD v);
void PutBytes(Bytes* b, const void* p, size_t n);
WORD GetW(const Bytes& b, size_t at);
DWORD GetDW(const Bytes& b, size_t at);
Bytes Pattern(size_t n, uint32_t seed = 1);

// A temporary TAVLO_DATA directory (OpenQueue makes tmpl.qds when absent);
// TearDown closes queue_ when open and checks no memory block is left.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void MakeTemplate(
      const std::string& name,
      const std::vector<std::pair<std::string, std::string>>& views = {});
  void OpenQueue(queue_handle_t* q, const std::string& name = "queue.qds");
  DBHANDLE db() const { return queue_.dbhandle; }

  std::string dir_;
  DWORD baselineBlocks_ = 0;
  bool queueOpen_ = false;
  queue_handle_t queue_{};
};

class QueueTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenQueue(&queue_);
    queueOpen_ = true;
  }
};

// The value (type code first) of the first item `name`; empty when absent.
Bytes ItemBytes(NOTEHANDLE hNote, const std::string& name);
Bytes StoredItem(DBHANDLE db, NOTEID id, const std::string& name);
int ItemCount(NOTEHANDLE hNote, const std::string& name);

// Distinct state from `seed`; the name padded or cut to a non-0 `nameLen`.
struct Recip {
  std::string name, nextHop, po;
  recip_data_t data;
};
Recip MakeRecip(int seed, size_t nameLen = 0);
std::vector<Recip> MakeRecips(int n, size_t nameLen = 0, int first = 0);
recip_info_t RecipInfo(const Recip& r);  // points into `r`
recip_info_t RecipInfo(const Recip&& r) = delete;
void ExpectMessage(queue_handle_t* q, NOTEID id, const std::vector<Recip>& r);
// Saves a message with recipients `r`, then `fill`; returns its note id.
NOTEID SaveMessage(queue_handle_t* q, WORD type, const std::vector<Recip>& r,
                   const user_msg_info_t* info = nullptr,
                   const std::function<void(msg_handle_t*)>& fill = nullptr);

}  // namespace wqstest

#endif  // WQS_TESTS_CORE_CORE_UTIL_H_
