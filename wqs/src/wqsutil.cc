// Shared helpers of the work-queue store: see wqsutil.h.
#include "wqsutil.h"

#include <cstdio>

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
