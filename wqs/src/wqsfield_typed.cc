// Typed fields: named items of the message document that the queue's users
// set and read themselves (booleans, 32-bit numbers, time stamps, short byte
// blocks).  With bUseInIndex exactly 1 a field is a summary item, visible to
// search formulas and views.  Adds append; a caller that changes a field
// deletes it first.
#include <cstring>

#include "wqs/wqsfield.h"
#include "wqsutil.h"

namespace {

inline WORD ItemFlags(BOOL bUseInIndex) {
  return bUseInIndex == TRUE ? ITEM_SUMMARY : (WORD)0;
}

inline WORD NameLen(const char* szFieldName) {
  size_t n = strlen(szFieldName);
  return n > 0xFFFF ? (WORD)0xFFFF : (WORD)n;
}

}  // namespace

STATUS WQSAddBool(msg_handle_t* hMsg, BOOL bUseInIndex,
                  const char* szFieldName, BOOL bValue) {
  const char c = bValue == TRUE ? '1' : '0';
  return QDSItemAppend(hMsg->hNote, ItemFlags(bUseInIndex), szFieldName,
                       NameLen(szFieldName), TYPE_TEXT, &c, 1);
}

STATUS WQSGetBool(msg_handle_t* hMsg, const char* szFieldName, BOOL* bValue) {
  char c = 0;
  if (QDSItemGetText(hMsg->hNote, szFieldName, &c, 1) == 0) {
    return ERR_WQS_NO_FIELD;  // missing or empty; the caller's default stays
  }
  *bValue = c == '0' ? FALSE : TRUE;
  return NOERROR;
}

STATUS WQSAddDWORD(msg_handle_t* hMsg, BOOL bUseInIndex,
                   const char* szFieldName, DWORD dwValue) {
  // Unsigned: 0xFFFFFFFF is stored as 4294967295, never as -1.
  const double d = (double)dwValue;
  return QDSItemAppend(hMsg->hNote, ItemFlags(bUseInIndex), szFieldName,
                       NameLen(szFieldName), TYPE_NUMBER, &d, sizeof(d));
}

STATUS WQSGetDWORD(msg_handle_t* hMsg, const char* szFieldName,
                   DWORD* dwValue) {
  double d = 0;
  if (!QDSItemGetNumber(hMsg->hNote, szFieldName, &d)) {
    return ERR_WQS_NO_FIELD;
  }
  // Truncate toward zero into a signed 64-bit integer and keep the low 32
  // bits (so -1 reads as 0xFFFFFFFF and 2^32 as 0).  Values that do not fit
  // a signed 64-bit integer, and NaN, read as 0 rather than being converted
  // with undefined results.
  int64_t i = 0;
  if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
    i = (int64_t)d;
  }
  *dwValue = (DWORD)(uint64_t)i;
  return NOERROR;
}

STATUS WQSAddTIMEDATE(msg_handle_t* hMsg, BOOL bUseInIndex,
                      const char* szFieldName, const TIMEDATE* tdValue) {
  return QDSItemAppend(hMsg->hNote, ItemFlags(bUseInIndex), szFieldName,
                       NameLen(szFieldName), TYPE_TIME, tdValue,
                       sizeof(TIMEDATE));
}

STATUS WQSGetTIMEDATE(msg_handle_t* hMsg, const char* szFieldName,
                      TIMEDATE* tdValue) {
  if (!QDSItemGetTime(hMsg->hNote, szFieldName, tdValue)) {
    return ERR_WQS_NO_FIELD;
  }
  return NOERROR;
}

STATUS WQSAddDataBlock(msg_handle_t* hMsg, BOOL bUseInIndex,
                       const char* szFieldName, const void* value, WORD wLen) {
  return QDSItemAppend(hMsg->hNote, ItemFlags(bUseInIndex), szFieldName,
                       NameLen(szFieldName), TYPE_TEXT, value, wLen);
}

STATUS WQSGetDataBlock(msg_handle_t* hMsg, const char* szFieldName,
                       void* value, WORD wBuffSize, WORD* wLen) {
  // A missing field reads as zero bytes, like an empty one.
  *wLen = QDSItemGetText(hMsg->hNote, szFieldName, static_cast<char*>(value),
                         wBuffSize);
  return NOERROR;
}

STATUS WQSDeleteMsgObject(msg_handle_t* hMsg, const char* szFieldName) {
  return WQSUtilDeleteItem(hMsg->hNote, szFieldName, NameLen(szFieldName));
}
