// Message lists: a bounded batch of message ids (note ids), chosen by a
// selection formula over the messages' summary fields or read from the
// first entries of a view, and opened one by one by position.
#include <cstring>

#include "wqs/wqsmsg.h"

namespace {

void FreeList(DHANDLE h) {
  OSUnlockObject(h);
  OSMemFree(h);
}

STATUS CreateViewList(queue_handle_t* hWQueue, WORD wMaxMsgs,
                      const char* szViewName, msglist_handle_t* hMsgList,
                      WORD* wMsgCount) {
  NOTEID viewId = 0;
  STATUS err = QVWFindDesignNote(hWQueue->dbhandle, szViewName,
                                 NOTE_CLASS_VIEW, &viewId);
  if (err != NOERROR) return err;

  HCOLLECTION hCollection = 0;
  err = QVWOpenCollection(hWQueue->dbhandle, hWQueue->dbhandle, viewId, 0,
                          NULLHANDLE, &hCollection, nullptr, nullptr, nullptr,
                          nullptr);
  if (err != NOERROR) return err;

  // Start before the first entry and skip one, so reading begins at entry 1.
  COLLECTIONPOSITION pos;
  memset(&pos, 0, sizeof(pos));
  pos.Level = 0;
  pos.Tumbler[0] = 0;
  DHANDLE hList = NULLHANDLE;
  DWORD skipped = 0;
  DWORD returned = 0;
  WORD signal = 0;
  err = QVWReadEntries(hCollection, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT,
                       wMaxMsgs, READ_MASK_NOTEID, &hList, nullptr, &skipped,
                       &returned, &signal);
  if (err != NOERROR) {
    if (hList != NULLHANDLE) OSMemFree(hList);
    QVWCloseCollection(hCollection);
    return err;
  }
  err = QVWCloseCollection(hCollection);
  if (err != NOERROR) {
    if (hList != NULLHANDLE) OSMemFree(hList);
    return err;
  }

  // An empty selection is the one answer batch loops stop on.  A buffer
  // that came back with no entries in it is released, not handed out.
  if (hList == NULLHANDLE || returned == 0) {
    if (hList != NULLHANDLE) OSMemFree(hList);
    hMsgList->hList = NULLHANDLE;
    *wMsgCount = 0;
    return ERR_WQS_NO_MESSAGES;
  }
  DWORD* pList = static_cast<DWORD*>(OSLockObject(hList));
  if (pList == nullptr) {
    OSMemFree(hList);
    return ERR_WQS_GENERAL;
  }
  hMsgList->hList = hList;
  hMsgList->pList = pList;
  // Kept as in formula mode so an open by position can be checked against
  // the ids actually held.
  if (returned > wMaxMsgs) returned = wMaxMsgs;
  hMsgList->wNumMsgs = (WORD)returned;
  hMsgList->wMaxMsgs = (WORD)(wMaxMsgs - returned);
  *wMsgCount = (WORD)returned;
  hMsgList->wq = *hWQueue;
  return NOERROR;
}

// What ListUntilFull returns to end a search whose list is full.  Any
// nonzero result stops a search and is returned by it; this one is no
// STATUS of the library or the store, so it cannot be mistaken for one.
constexpr STATUS kListFull = 0x33FF;

// The list callback, then a stop once the list is full: the callback
// itself ignores every later match, so letting the search visit them
// changes nothing but its cost (the same list, count and STATUS follow).
STATUS ListUntilFull(void* pArg, SEARCH_MATCH* pSearchInfo, ITEM_TABLE* pSummaryInfo) {
  (void)WQSSearchQDSCallBack(pArg, pSearchInfo, pSummaryInfo);
  return static_cast<msglist_handle_t*>(pArg)->wMaxMsgs == 0 ? kListFull : NOERROR;
}

STATUS CreateFormulaList(queue_handle_t* hWQueue, WORD wMaxMsgs,
                         const char* szFormula, msglist_handle_t* hMsgList,
                         WORD* wMsgCount) {
  FORMULAHANDLE hFormula = NULLHANDLE;
  WORD formulaLen = 0;
  STATUS compileErr = 0;
  WORD line = 0, column = 0, offset = 0, length = 0;
  STATUS err = QDSFormulaCompile(nullptr, 0, szFormula,
                                 (WORD)strlen(szFormula), &hFormula,
                                 &formulaLen, &compileErr, &line, &column,
                                 &offset, &length);
  if (err != NOERROR) return err;

  // The list is allocated once at its final size; the search callback only
  // appends into it.
  DHANDLE hList = NULLHANDLE;
  err = OSMemAlloc(WQS_TAG_MSGLIST, (DWORD)wMaxMsgs * sizeof(DWORD), &hList);
  if (err != NOERROR) {
    OSMemFree(hFormula);
    return err;
  }
  DWORD* pList = static_cast<DWORD*>(OSLockObject(hList));
  if (pList == nullptr) {
    OSMemFree(hList);
    OSMemFree(hFormula);
    return ERR_WQS_GENERAL;
  }
  hMsgList->hList = hList;
  hMsgList->pList = pList;
  hMsgList->wMaxMsgs = wMaxMsgs;
  hMsgList->wNumMsgs = 0;

  err = QDSSearch(hWQueue->dbhandle, hFormula, nullptr, SEARCH_SUMMARY,
                  NOTE_CLASS_DOCUMENT, nullptr, ListUntilFull, hMsgList,
                  nullptr);
  if (err == kListFull) err = NOERROR;
  if (err != NOERROR) {
    FreeList(hList);
    hMsgList->hList = NULLHANDLE;
    hMsgList->pList = nullptr;
    OSMemFree(hFormula);
    return err;
  }
  err = OSMemFree(hFormula);
  if (err != NOERROR) {
    FreeList(hList);
    hMsgList->hList = NULLHANDLE;
    hMsgList->pList = nullptr;
    return err;
  }

  // No match is not an error here: the count says so and nothing is held.
  if (hMsgList->wNumMsgs == 0) {
    OSUnlockObject(hList);
    err = OSMemFree(hList);
    hMsgList->hList = NULLHANDLE;
    hMsgList->pList = nullptr;
    *wMsgCount = 0;
    if (err != NOERROR) return err;
    hMsgList->wq = *hWQueue;
    return NOERROR;
  }
  *wMsgCount = hMsgList->wNumMsgs;
  hMsgList->wq = *hWQueue;
  return NOERROR;
}

}  // namespace

STATUS WQSCreateMsgList(queue_handle_t* hWQueue, WORD wMaxMsgs,
                        WORD wSearchMode, const char* szSearchCriteria,
                        msglist_handle_t* hMsgList, WORD* wMsgCount) {
  if (wSearchMode == WQS_SEARCH_VIEW) {
    return CreateViewList(hWQueue, wMaxMsgs, szSearchCriteria, hMsgList,
                          wMsgCount);
  }
  return CreateFormulaList(hWQueue, wMaxMsgs, szSearchCriteria, hMsgList,
                           wMsgCount);
}

STATUS WQSSearchQDSCallBack(void* pArg, SEARCH_MATCH* pSearchInfo,
                            ITEM_TABLE* pSummaryInfo) {
  msglist_handle_t* list = static_cast<msglist_handle_t*>(pArg);
  // Only a plain match is listed; a full list ignores later matches and
  // lets the search run to its end.
  if (pSearchInfo->SERetFlags != SE_FMATCH) return NOERROR;
  if (list->wMaxMsgs == 0) return NOERROR;
  list->pList[list->wNumMsgs] = pSearchInfo->ID.NoteID;
  list->wMaxMsgs -= 1;
  list->wNumMsgs += 1;
  return NOERROR;
}

STATUS WQSOpenMsg(msglist_handle_t* hMsgList, WORD wIndex,
                  msg_handle_t* hMsg) {
  // A position past the ids held would read outside the list.
  if (hMsgList->hList == NULLHANDLE || hMsgList->pList == nullptr ||
      wIndex >= hMsgList->wNumMsgs) {
    return ERR_BAD_ARG;
  }
  return WQSOpenMsgByMsgID(&hMsgList->wq, hMsgList->pList[wIndex], hMsg);
}

STATUS WQSCloseMsgList(msglist_handle_t* hMsgList) {
  if (hMsgList->hList == NULLHANDLE) return NOERROR;
  OSUnlockObject(hMsgList->hList);
  STATUS err = OSMemFree(hMsgList->hList);
  // Cleared so that a second close finds nothing to release.
  hMsgList->hList = NULLHANDLE;
  hMsgList->pList = nullptr;
  return err;
}
