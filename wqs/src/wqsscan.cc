// Queue scans (WQSScanQueue): what a status report needs of every message,
// read from the rows of three items instead of opening each message.  The
// message info is decoded here, where its stored form is known; the rules
// follow the open's, so a message the scan calls sound is one whose info
// the open would take.
#include <cstring>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/wqsdb.h"
#include "wqs/wqstypes.h"

namespace {

constexpr DWORD kInfoValueLen = 2 + sizeof(msg_info_t);  // type code first

struct ScanArg {
  WQS_SCAN_CALLBACK callback;
  void* arg;
};

WORD TypeOf(const ITEM_VALUE& v) {
  const unsigned char* p = static_cast<const unsigned char*>(v.Value);
  return static_cast<WORD>(p[0] | p[1] << 8);
}

STATUS OneMessage(void* p, const ITEM_SCAN_DOC* doc, const ITEM_VALUE* v, WORD) {
  const ScanArg* a = static_cast<const ScanArg*>(p);
  wqs_scan_row_t row;
  std::memset(&row, 0, sizeof row);
  row.noteId = doc->NoteID;
  const ITEM_VALUE& info = v[0];
  const ITEM_VALUE& status = v[1];
  const ITEM_VALUE& recv = v[2];
  auto list = [](const ITEM_VALUE& l) -> const void* {
    return l.Value != nullptr && l.Length >= 4 && TypeOf(l) == TYPE_TEXT_LIST &&
                   ListCheck(l.Value, TRUE, l.Length) == NOERROR
               ? l.Value
               : nullptr;
  };
  row.pRecipList = list(v[3]);
  row.pNHEList = list(v[4]);
  if (!doc->HeaderPresent || !doc->HeaderValid) {
    row.bDamaged = TRUE;
    row.szReason = "its header row cannot be decoded";
  } else if (info.Value == nullptr) {
    row.bDamaged = TRUE;
    row.szReason = "it has no message info (WQSMsgInfo)";
  } else if (info.Length < kInfoValueLen || TypeOf(info) != TYPE_USERDATA) {
    row.bDamaged = TRUE;
    row.szReason = "its message info (WQSMsgInfo) is short or of another type";
  } else if (status.Value != nullptr && status.Length < 2) {
    row.bDamaged = TRUE;
    row.szReason = "its header or summary values cannot be decoded";
  }
  if (!row.bDamaged) {
    row.bHasInfo = TRUE;
    std::memcpy(&row.info, static_cast<const char*>(info.Value) + 2, sizeof(msg_info_t));
    if (status.Value != nullptr && status.Length >= 10 && TypeOf(status) == TYPE_NUMBER) {
      double d = 0;
      std::memcpy(&d, static_cast<const char*>(status.Value) + 2, sizeof d);
      if (d >= 0 && d <= 4294967295.0) {
        row.bHasStatus = TRUE;
        row.dwStatus = static_cast<DWORD>(d);
      }
    }
    if (recv.Value != nullptr && recv.Length >= 10 && TypeOf(recv) == TYPE_TIME) {
      row.bHasRecvTime = TRUE;
      std::memcpy(&row.tdRecvTime, static_cast<const char*>(recv.Value) + 2, sizeof(TIMEDATE));
    }
  }
  return a->callback(a->arg, &row);
}

}  // namespace

STATUS WQSScanQueue(queue_handle_t* hQueue, WQS_SCAN_CALLBACK callback, void* pArg) {
  if (hQueue == nullptr || callback == nullptr) return ERR_BAD_ARG;
  static const char* const kNames[] = {WQS_ITEM_MSGINFO, "WQMsgStatus", "WQRecvTime",
                                       WQS_ITEM_RECIP "0", WQS_ITEM_NHE};
  ScanArg a{callback, pArg};
  return QDSDbScanItems(hQueue->dbhandle, NOTE_CLASS_DOCUMENT, kNames, 5, OneMessage, &a);
}
