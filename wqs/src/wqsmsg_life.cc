// Message creation, save and disposal.  A building-form handle owns a new,
// unsaved document, the current recipient lists (runtime text lists without
// type code) and the live recipient-state array; the save writes them as the
// message's items, the discard drops them.  Purge and requeue end an opened
// handle.
//
// Every field is cleared as it is released.  That lets a save that failed
// part way be finished by a discard, which releases exactly what is left,
// so no failure strands memory or an open document.
#include <cstring>

#include "wqs/dynarray.h"
#include "wqs/wqsmsg.h"
#include "wqsutil.h"

namespace {

// An empty text list without type code, unlocked, as a building handle
// holds it between calls.
STATUS NewEmptyList(DHANDLE* retHandle, WORD* retLen) {
  void* p = nullptr;
  STATUS err = ListAllocate(0, 0, FALSE, retHandle, &p, retLen);
  if (err != NOERROR) return err;
  OSUnlockObject(*retHandle);
  return NOERROR;
}

// Stores a building list as a text-list item and frees it.  The list is
// unlocked again whether or not the append worked.
STATUS StoreList(NOTEHANDLE hNote, const char* name, WORD nameLen,
                 DHANDLE* hList, WORD wListLen) {
  void* p = OSLockObject(*hList);
  if (p == nullptr) return ERR_WQS_GENERAL;
  STATUS err =
      QDSItemAppend(hNote, 0, name, nameLen, TYPE_TEXT_LIST, p, wListLen);
  OSUnlockObject(*hList);
  if (err != NOERROR) return err;
  err = OSMemFree(*hList);
  if (err != NOERROR) return err;
  *hList = NULLHANDLE;
  return NOERROR;
}

STATUS FreeList(DHANDLE* hList) {
  if (*hList == NULLHANDLE) return NOERROR;
  STATUS err = OSMemFree(*hList);
  if (err != NOERROR) return err;
  *hList = NULLHANDLE;
  return NOERROR;
}

STATUS DestroyArray(dynarray_t** pDa) {
  if (*pDa == nullptr) return NOERROR;
  BOOL ok = DADestroy(*pDa);
  *pDa = nullptr;
  return ok ? NOERROR : ERR_WQS_GENERAL;
}

// The state array of a building handle.  A copied message's array lives in
// the block hRecipData names (its hArray), so that handle goes with it.
STATUS DestroyRecipData(msg_handle_t* hMsg) {
  if (hMsg->daRecipData != nullptr &&
      hMsg->daRecipData->hArray == hMsg->hRecipData) {
    hMsg->hRecipData = NULLHANDLE;
  }
  return DestroyArray(&hMsg->daRecipData);
}

}  // namespace

STATUS WQSCreateMsg(queue_handle_t* hWQueue, WORD wMsgType,
                    msg_handle_t* phMsg) {
  memset(phMsg, 0, sizeof(*phMsg));
  phMsg->wq = *hWQueue;
  phMsg->info.wMsgType = wMsgType;
  STATUS err = QDSNoteCreate(hWQueue->dbhandle, &phMsg->hNote);
  if (err != NOERROR) return err;
  phMsg->info.wNumRecipLists = 1;

  err = NewEmptyList(&phMsg->hCurRecipList, &phMsg->wCurRecipListLen);
  if (err == NOERROR) {
    phMsg->daRecipData = DACreate(sizeof(recip_data_t), 50);
    if (phMsg->daRecipData == nullptr) err = ERR_WQS_GENERAL;
  }
  if (err == NOERROR && wMsgType == WQS_MSG_EXTENDED) {
    err = NewEmptyList(&phMsg->hCurNHEList, &phMsg->wCurNHEListLen);
    if (err == NOERROR) {
      err = NewEmptyList(&phMsg->hCurPOList, &phMsg->wCurPOListLen);
    }
  }
  if (err != NOERROR) {
    // Give back what this create made; the handle holds nothing after.
    WQSCloseAndDiscardMsg(phMsg);
    return err;
  }
  return NOERROR;
}

STATUS WQSCloseAndSaveMsg(msg_handle_t* hMsg) {
  memset(&hMsg->info.udh, 0, sizeof(hMsg->info.udh));
  hMsg->info.udh.itemNameLength = (BYTE)sizeof(userdata_header_t);
  memcpy(hMsg->info.udh.userItemName, WQS_HEADER_MSGINFO,
         sizeof(WQS_HEADER_MSGINFO));
  // Stored with whatever id the handle holds: the document has none yet.
  STATUS err = QDSItemAppend(hMsg->hNote, 0, WQS_ITEM_MSGINFO,
                             sizeof(WQS_ITEM_MSGINFO) - 1, TYPE_USERDATA,
                             &hMsg->info, sizeof(msg_info_t));
  if (err != NOERROR) return err;

  // Lists that filled up were stored by the recipient append; this is the
  // last, current one.
  char name[16];
  WORD nameLen = WQSUtilNameNumber(name, sizeof(name), WQS_ITEM_RECIP,
                                   (DWORD)(WORD)(hMsg->info.wNumRecipLists - 1));
  if (hMsg->hCurRecipList == NULLHANDLE) return ERR_WQS_GENERAL;
  err = StoreList(hMsg->hNote, name, nameLen, &hMsg->hCurRecipList,
                  hMsg->wCurRecipListLen);
  if (err != NOERROR) return err;

  if (hMsg->daRecipData == nullptr) return ERR_WQS_GENERAL;
  err = WQSUtilAppendRecipData(hMsg->hNote, hMsg->daRecipData);
  if (err != NOERROR) return err;
  err = DestroyRecipData(hMsg);
  if (err != NOERROR) return err;

  if (hMsg->info.wMsgType == WQS_MSG_EXTENDED) {
    if (hMsg->hCurNHEList == NULLHANDLE || hMsg->hCurPOList == NULLHANDLE) {
      return ERR_WQS_GENERAL;
    }
    err = StoreList(hMsg->hNote, WQS_ITEM_NHE, sizeof(WQS_ITEM_NHE) - 1,
                    &hMsg->hCurNHEList, hMsg->wCurNHEListLen);
    if (err != NOERROR) return err;
    err = StoreList(hMsg->hNote, WQS_ITEM_PO, sizeof(WQS_ITEM_PO) - 1,
                    &hMsg->hCurPOList, hMsg->wCurPOListLen);
    if (err != NOERROR) return err;
  }

  if (hMsg->info.wNumAttachments > 0) {
    if (hMsg->daFileBlockArray == nullptr) return ERR_WQS_GENERAL;
    err = WQSAppendDynArrayToNote(hMsg->hNote, hMsg->daFileBlockArray,
                                  WQS_ITEM_ATTACHINFO,
                                  sizeof(WQS_ITEM_ATTACHINFO) - 1,
                                  WQS_HEADER_ATTACH,
                                  sizeof(WQS_HEADER_ATTACH) - 1);
    if (err != NOERROR) return err;
    err = DestroyArray(&hMsg->daFileBlockArray);
    if (err != NOERROR) return err;
  }

  err = QDSNoteUpdate(hMsg->hNote, UPDATE_FORCE);
  if (err != NOERROR) return err;
  NOTEID id = 0;
  QDSNoteGetInfo(hMsg->hNote, _NOTE_ID, &id);
  hMsg->info.user.dwQueueMsgID = id;
  err = QDSNoteClose(hMsg->hNote);
  if (err != NOERROR) return err;
  hMsg->hNote = 0;
  return NOERROR;
}

STATUS WQSCloseAndDiscardMsg(msg_handle_t* hMsg) {
  STATUS err = FreeList(&hMsg->hCurRecipList);
  if (err != NOERROR) return err;
  err = DestroyRecipData(hMsg);
  if (err != NOERROR) return err;
  if (hMsg->info.wMsgType == WQS_MSG_EXTENDED) {
    err = FreeList(&hMsg->hCurNHEList);
    if (err != NOERROR) return err;
    err = FreeList(&hMsg->hCurPOList);
    if (err != NOERROR) return err;
  }
  if (hMsg->info.wNumAttachments > 0) {
    err = DestroyArray(&hMsg->daFileBlockArray);
    if (err != NOERROR) return err;
  }
  if (hMsg->hNote == 0) return NOERROR;  // already closed, as after a save
  err = QDSNoteClose(hMsg->hNote);
  if (err != NOERROR) return err;
  hMsg->hNote = 0;
  return NOERROR;
}

STATUS WQSCloseMsgAndPurge(msg_handle_t* hMsg) {
  STATUS err = WQSCloseMsgObjects(hMsg);
  if (err != NOERROR) return err;
  err = QDSNoteClose(hMsg->hNote);
  if (err != NOERROR) return err;
  // The id the open put into the handle, not the stored one.
  return QDSNoteDelete(hMsg->wq.dbhandle, hMsg->info.user.dwQueueMsgID, 0);
}

STATUS WQSCloseMsgAndReQueue(msg_handle_t* hMsg) {
  if (hMsg->info.user.wRetries > 0) hMsg->info.user.wRetries -= 1;
  return WQSCloseMsgAndUpdate(hMsg);
}
