// Recipients: appended to a building-form handle's current lists, read from
// an opened-form handle's loaded copies, and their state records read and
// changed in the state array of either form.  Reads are checked against
// what is actually loaded, so an index past the lists or the state array
// is refused instead of reading beyond them.
#include <cstring>

#include "wqs/dynarray.h"
#include "wqs/wqsfield.h"
#include "wqsutil.h"

namespace {

// Adds a text at the end of a building list (no type code).  ListAddEntry
// grows the block even while it is locked; the lock only pins it for the
// entry count.
STATUS AddToList(DHANDLE hList, WORD* wListLen, const char* text,
                 WORD textLen) {
  void* p = OSLockObject(hList);
  if (p == nullptr) return ERR_WQS_GENERAL;
  WORD count = ListGetNumEntries(p, FALSE);
  STATUS err = ListAddEntry(hList, FALSE, wListLen, count, text, textLen);
  OSUnlockObject(hList);
  return err;
}

// The state record of recipient `wRecip`, or null when the state array
// holds no such entry.
recip_data_t* StateEntry(msg_handle_t* hMsg, WORD wRecip) {
  if (hMsg->daRecipData == nullptr) return nullptr;
  if (wRecip >= DAGetNumberOfEntries(hMsg->daRecipData)) return nullptr;
  return static_cast<recip_data_t*>(DAGetEntry(hMsg->daRecipData, wRecip));
}

// The locked address of loaded recipient list `k`, or null.
const void* LoadedList(msg_handle_t* hMsg, DWORD k) {
  if (hMsg->daRecipListPtrs == nullptr) return nullptr;
  if (k >= DAGetNumberOfEntries(hMsg->daRecipListPtrs)) return nullptr;
  void* p = nullptr;
  memcpy(&p, DAGetEntry(hMsg->daRecipListPtrs, (WORD)k), sizeof(p));
  return p;
}

}  // namespace

STATUS WQSAppendRecipient(msg_handle_t* hMsg, const recip_info_t* pRecipInfo) {
  STATUS err = hMsg->info.wMsgType == WQS_MSG_SIMPLE
                   ? WQSAppendSimpleMsgRecipient(hMsg, pRecipInfo)
                   : WQSAppendExtendedMsgRecipient(hMsg, pRecipInfo);
  if (err != NOERROR) return err;
  hMsg->info.user.wNumRecip += 1;
  hMsg->bRecipDataDirty = TRUE;
  return NOERROR;
}

STATUS WQSAppendSimpleMsgRecipient(msg_handle_t* hMsg,
                                   const recip_info_t* pRecipInfo) {
  if (hMsg->hCurRecipList == NULLHANDLE || hMsg->daRecipData == nullptr) {
    return ERR_WQS_GENERAL;  // not a building handle, or a spent one
  }
  STATUS err;
  if ((DWORD)pRecipInfo->wNameLen + hMsg->wCurRecipListLen <
      WQS_MAX_LIST_BYTES) {
    err = AddToList(hMsg->hCurRecipList, &hMsg->wCurRecipListLen,
                    pRecipInfo->pName, pRecipInfo->wNameLen);
    if (err != NOERROR) return err;
  } else {
    // Roll over: the full list becomes item WQSRecip<n>, the name starts
    // a new current list.
    char name[16];
    WORD nameLen = WQSUtilNameNumber(
        name, sizeof(name), WQS_ITEM_RECIP,
        (DWORD)(WORD)(hMsg->info.wNumRecipLists - 1));
    void* p = OSLockObject(hMsg->hCurRecipList);
    if (p == nullptr) return ERR_WQS_GENERAL;
    err = QDSItemAppend(hMsg->hNote, 0, name, nameLen, TYPE_TEXT_LIST, p,
                        hMsg->wCurRecipListLen);
    OSUnlockObject(hMsg->hCurRecipList);
    if (err != NOERROR) return err;
    err = OSMemFree(hMsg->hCurRecipList);
    if (err != NOERROR) return err;
    hMsg->hCurRecipList = NULLHANDLE;
    hMsg->wCurRecipListLen = 0;
    void* pNew = nullptr;
    err = ListAllocate(0, 0, FALSE, &hMsg->hCurRecipList, &pNew,
                       &hMsg->wCurRecipListLen);
    if (err != NOERROR) {
      hMsg->hCurRecipList = NULLHANDLE;
      return err;
    }
    // ListAllocate hands the list back locked: add, then drop that lock.
    WORD count = ListGetNumEntries(pNew, FALSE);
    err = ListAddEntry(hMsg->hCurRecipList, FALSE, &hMsg->wCurRecipListLen,
                       count, pRecipInfo->pName, pRecipInfo->wNameLen);
    OSUnlockObject(hMsg->hCurRecipList);
    if (err != NOERROR) return err;
    hMsg->info.wNumRecipLists += 1;
  }
  if (!DAAddEntry(&hMsg->daRecipData, &pRecipInfo->data)) {
    return ERR_WQS_GENERAL;
  }
  return NOERROR;
}

STATUS WQSAppendExtendedMsgRecipient(msg_handle_t* hMsg,
                                     const recip_info_t* pRecipInfo) {
  if (hMsg->hCurRecipList == NULLHANDLE || hMsg->hCurNHEList == NULLHANDLE ||
      hMsg->hCurPOList == NULLHANDLE || hMsg->daRecipData == nullptr) {
    return ERR_WQS_GENERAL;  // not a building handle of an extended message
  }
  STATUS err = AddToList(hMsg->hCurRecipList, &hMsg->wCurRecipListLen,
                         pRecipInfo->pName, pRecipInfo->wNameLen);
  if (err != NOERROR) return err;
  err = AddToList(hMsg->hCurNHEList, &hMsg->wCurNHEListLen,
                  pRecipInfo->pNextHop, pRecipInfo->wNextHopLen);
  if (err != NOERROR) return err;
  err = AddToList(hMsg->hCurPOList, &hMsg->wCurPOListLen, pRecipInfo->pPOName,
                  pRecipInfo->wPONameLen);
  if (err != NOERROR) return err;
  if (!DAAddEntry(&hMsg->daRecipData, &pRecipInfo->data)) {
    return ERR_WQS_GENERAL;
  }
  return NOERROR;
}

STATUS WQSGetRecipient(msg_handle_t* hMsg, WORD wRecip,
                       recip_info_t* pRecipInfo) {
  if (hMsg->info.wMsgType == WQS_MSG_SIMPLE) {
    return WQSGetSimpleMsgRecipient(hMsg, wRecip, pRecipInfo);
  }
  return WQSGetExtendedMsgRecipient(hMsg, wRecip, pRecipInfo);
}

STATUS WQSGetSimpleMsgRecipient(msg_handle_t* hMsg, WORD wRecip,
                                recip_info_t* pRecipInfo) {
  const recip_data_t* state = StateEntry(hMsg, wRecip);
  if (state == nullptr) return ERR_WQS_RECIP_RANGE;
  // Recipient numbers run on across the lists: find the list that holds
  // this one and its index in it.
  DWORD before = 0;
  for (DWORD k = 0; k < hMsg->info.wNumRecipLists; k++) {
    const void* list = LoadedList(hMsg, k);
    if (list == nullptr) break;
    DWORD n = ListGetNumEntries(list, TRUE);
    if (before + n > wRecip) {
      STATUS err = ListGetText(list, TRUE, (WORD)(wRecip - before),
                               &pRecipInfo->pName, &pRecipInfo->wNameLen);
      if (err != NOERROR) return err;
      memcpy(&pRecipInfo->data, state, sizeof(recip_data_t));
      return NOERROR;
    }
    before += n;
  }
  return ERR_WQS_RECIP_RANGE;
}

STATUS WQSGetExtendedMsgRecipient(msg_handle_t* hMsg, WORD wRecip,
                                  recip_info_t* pRecipInfo) {
  // Name, next hop and post office in that order, each read's STATUS
  // passed up unchanged (a missing or short list gives the text list's
  // own error, never a read past it); the fields read before a failure
  // keep their new values.  Only the state array is checked here.
  STATUS err = ListGetText(LoadedList(hMsg, 0), TRUE, wRecip,
                           &pRecipInfo->pName, &pRecipInfo->wNameLen);
  if (err != NOERROR) return err;
  err = ListGetText(hMsg->pNHEList, TRUE, wRecip, &pRecipInfo->pNextHop,
                    &pRecipInfo->wNextHopLen);
  if (err != NOERROR) return err;
  err = ListGetText(hMsg->pPOList, TRUE, wRecip, &pRecipInfo->pPOName,
                    &pRecipInfo->wPONameLen);
  if (err != NOERROR) return err;
  const recip_data_t* state = StateEntry(hMsg, wRecip);
  if (state == nullptr) return ERR_WQS_RECIP_RANGE;
  memcpy(&pRecipInfo->data, state, sizeof(recip_data_t));
  return NOERROR;
}

void WQSSetRecipientData(msg_handle_t* hMsg, WORD wRecip,
                         const recip_data_t* pNewRecipData) {
  recip_data_t* state = StateEntry(hMsg, wRecip);
  if (state == nullptr) return;  // no such recipient: nothing to change
  memcpy(state, pNewRecipData, sizeof(recip_data_t));
  hMsg->bRecipDataDirty = TRUE;
}

void WQSGetRecipientData(msg_handle_t* hMsg, WORD wRecip,
                         recip_data_t** pRecipData) {
  *pRecipData = StateEntry(hMsg, wRecip);
}
