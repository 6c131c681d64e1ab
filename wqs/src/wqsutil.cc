// Shared helpers of the work-queue store: see wqsutil.h.
#include "wqsutil.h"

#include <cstdio>

namespace {
constexpr DWORD kMaxGranularity = 0xFFFF;
}  // namespace

WORD WQSUtilNameNumber(char* buf, size_t bufLen, const char* prefix,
                       DWORD number) {
  if (buf == nullptr || bufLen == 0) return 0;
  buf[0] = 0;
  if (prefix == nullptr) prefix = "";
  int n = snprintf(buf, bufLen, "%s%lu", prefix, (unsigned long)number);
  if (n < 0 || (size_t)n >= bufLen || n > 0xFFFF) {
    buf[0] = 0;
    return 0;
  }
  return (WORD)n;
}

WORD WQSUtilNameConcat(char* buf, size_t bufLen, const char* prefix,
                       const char* name) {
  if (buf == nullptr || bufLen == 0) return 0;
  buf[0] = 0;
  if (prefix == nullptr) prefix = "";
  if (name == nullptr) name = "";
  size_t lp = strlen(prefix);
  size_t ln = strlen(name);
  if (lp + ln + 1 > bufLen || lp + ln > 0xFFFF) return 0;
  memcpy(buf, prefix, lp);
  memcpy(buf + lp, name, ln);
  buf[lp + ln] = 0;
  return (WORD)(lp + ln);
}

STATUS WQSUtilDeleteItem(NOTEHANDLE hNote, const char* name, WORD nameLen) {
  STATUS err = QDSItemDelete(hNote, name, nameLen);
  if (err == ERR_ITEM_NOT_FOUND) return NOERROR;
  return err;
}

// Checks a dynamic-array image of `size` bytes (the value less its type code
// and user-data header) the way a reader must before using it in place: the
// header fits, the stated size fits in what is there, the entry size is the
// one this item holds, the counts fit the capacity, and at least `minUsed`
// entries are in use.  The growth step matters too: a copy takes the
// stored array over and grows it by that many slots, so a step of billions
// would ask for gigabytes (or wrap the block size) on the first add.
// Entries are indexed by a WORD, so no sound array grows by more than
// 65535 slots at once.
bool WQSUtilArrayImageSound(const void* image, DWORD size, DWORD entrySize,
                     DWORD minUsed) {
  if (size < DA_HEADER_SIZE) return false;
  const BYTE* b = static_cast<const BYTE*>(image);
  DWORD dwSize = WQSLoadDword(b + 4);
  DWORD dwEntrySize = WQSLoadDword(b + 8);
  DWORD dwGranularity = WQSLoadDword(b + 12);
  DWORD dwUsed = WQSLoadDword(b + 16);
  DWORD dwAvail = WQSLoadDword(b + 20);
  if (dwSize < DA_HEADER_SIZE || dwSize > size) return false;
  if (dwEntrySize != entrySize || dwGranularity == 0 ||
      dwGranularity > kMaxGranularity) {
    return false;
  }
  if ((dwSize - DA_HEADER_SIZE) % dwEntrySize != 0) return false;
  DWORD capacity = (dwSize - DA_HEADER_SIZE) / dwEntrySize;
  if (dwUsed > capacity || dwAvail > capacity - dwUsed) return false;
  return dwUsed >= minUsed;
}
