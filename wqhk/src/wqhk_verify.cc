// Stored-format checks of queue messages (first cut: the library's own
// open decides).
#include "wqhk/wqhk_verify.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "tavlo/store.h"

namespace {

void SetDamaged(wq_verify_result_t* r, const char* why) {
  r->bDamaged = TRUE;
  std::snprintf(r->szReason, sizeof(r->szReason), "%s", why);
}

STATUS CollectIds(void* arg, SEARCH_MATCH* match, ITEM_TABLE*) {
  if ((match->SERetFlags & SE_FMATCH) == 0) return NOERROR;
  try {
    static_cast<std::vector<NOTEID>*>(arg)->push_back(match->ID.NoteID);
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

}  // namespace

STATUS WQHKVerifyMsg(queue_handle_t* pQueue, NOTEID noteId,
                     wq_verify_result_t* pResult) {
  std::memset(pResult, 0, sizeof(*pResult));
  pResult->noteId = noteId;
  msg_handle_t h;
  std::memset(&h, 0, sizeof(h));
  STATUS err = WQSOpenMsgByMsgID(pQueue, noteId, &h);
  if (err == ERR_WQS_CORRUPT) {
    SetDamaged(pResult, "the library refuses to open it");
    return NOERROR;
  }
  if (err != NOERROR) return err;
  return WQSCloseMsg(&h);
}

STATUS WQHKVerifyQueue(queue_handle_t* pQueue, WQHK_VERIFY_CALLBACK callback,
                       void* pArg, DWORD* pdwChecked, DWORD* pdwDamaged) {
  if (pdwChecked) *pdwChecked = 0;
  if (pdwDamaged) *pdwDamaged = 0;
  std::vector<NOTEID> ids;
  STATUS err = QDSSearch(pQueue->dbhandle, NULLHANDLE, nullptr, 0,
                         NOTE_CLASS_DOCUMENT, nullptr, CollectIds, &ids,
                         nullptr);
  if (err != NOERROR) return err;
  for (NOTEID id : ids) {
    wq_verify_result_t r;
    err = WQHKVerifyMsg(pQueue, id, &r);
    if (err != NOERROR) return err;
    if (pdwChecked) ++*pdwChecked;
    if (r.bDamaged && pdwDamaged) ++*pdwDamaged;
    if (callback != nullptr) {
      err = callback(pArg, &r);
      if (err != NOERROR) return err;
    }
  }
  return NOERROR;
}
