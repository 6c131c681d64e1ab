// Message open, update and close.  An open copies every list and array item
// of the message into private memory blocks and keeps them locked until the
// close, so recipients and their states can be read and changed without
// calls into the store.  Everything read from the document is checked
// against its own stated sizes before it is trusted: a damaged or
// hand-made document gives ERR_WQS_CORRUPT, never a read past its values.
#include <cstring>

#include "wqs/dynarray.h"
#include "wqs/wqsmsg.h"
#include "wqsutil.h"

namespace {

// What one open has acquired so far, so that a failure releases exactly
// that and leaves the caller with no live block and no open document.
struct OpenState {
  NOTEHANDLE hNote = 0;
  DHANDLE hRecipData = NULLHANDLE;
  dynarray_t* daBIDs = nullptr;  // each entry's pool is a list copy
  dynarray_t* daPtrs = nullptr;
  DHANDLE hNHE = NULLHANDLE;
  DHANDLE hPO = NULLHANDLE;
  DHANDLE hAttach = NULLHANDLE;
};

void FreeBlock(DHANDLE h) {
  if (h == NULLHANDLE) return;
  OSUnlockObject(h);  // may not be locked yet; the free does not care
  OSMemFree(h);
}

STATUS FailOpen(OpenState* st, STATUS err) {
  FreeBlock(st->hAttach);
  FreeBlock(st->hPO);
  FreeBlock(st->hNHE);
  if (st->daBIDs != nullptr) {
    DWORD n = DAGetNumberOfEntries(st->daBIDs);
    for (DWORD i = 0; i < n; i++) {
      BLOCKID bid;
      memcpy(&bid, DAGetEntry(st->daBIDs, (WORD)i), sizeof(bid));
      FreeBlock(bid.pool);
    }
    DADestroy(st->daBIDs);
  }
  if (st->daPtrs != nullptr) DADestroy(st->daPtrs);
  FreeBlock(st->hRecipData);
  QDSNoteClose(st->hNote);
  return err;
}

// Copies the value of item `name` into a new block of type `tag`, whole
// (type code included), and leaves the copy locked.  `minLen` is the
// shortest value the caller can use; anything shorter is ERR_WQS_CORRUPT.
// A lookup failure is returned as the store's status.  On failure nothing
// is left allocated.
STATUS CopyItem(NOTEHANDLE hNote, const char* name, WORD tag, DWORD minLen,
                DHANDLE* retHandle, char** retCopy, DWORD* retLen) {
  BLOCKID bid;
  DWORD len = 0;
  STATUS err = QDSItemInfo(hNote, name, (WORD)strlen(name), nullptr, &bid,
                           &len);
  if (err != NOERROR) return err;
  if (len < minLen) return ERR_WQS_CORRUPT;
  DHANDLE h = NULLHANDLE;
  err = OSMemAlloc(tag, len, &h);
  if (err != NOERROR) return err;
  char* copy = static_cast<char*>(OSLockObject(h));
  if (copy == nullptr) {
    OSMemFree(h);
    return ERR_WQS_GENERAL;
  }
  char* value = OSLockBlock(bid);
  if (value == nullptr) {
    FreeBlock(h);
    return ERR_WQS_GENERAL;
  }
  memcpy(copy, value, len);
  OSUnlockBlock(bid);
  *retHandle = h;
  *retCopy = copy;
  *retLen = len;
  return NOERROR;
}

// Copies a stored text list and checks that its counts and lengths stay
// inside the value.  Adds the list's entry count to *total.
STATUS CopyTextList(NOTEHANDLE hNote, const char* name, WORD tag,
                    DHANDLE* retHandle, char** retCopy, DWORD* total) {
  DWORD len = 0;
  STATUS err = CopyItem(hNote, name, tag, 0, retHandle, retCopy, &len);
  if (err != NOERROR) return err;
  if (ListCheck(*retCopy, TRUE, len) != NOERROR) {
    FreeBlock(*retHandle);
    *retHandle = NULLHANDLE;
    return ERR_WQS_CORRUPT;
  }
  *total += ListGetNumEntries(*retCopy, TRUE);
  return NOERROR;
}

}  // namespace

STATUS WQSOpenMsgByMsgID(queue_handle_t* hWQueue, DWORD dwMsgID,
                         msg_handle_t* hMsg) {
  OpenState st;
  STATUS err = QDSNoteOpen(hWQueue->dbhandle, dwMsgID, 0, &st.hNote);
  if (err != NOERROR) return err;
  hMsg->hNote = st.hNote;

  // Message info: the fixed 86-byte block after the type code.
  BLOCKID bid;
  DWORD len = 0;
  err = QDSItemInfo(st.hNote, WQS_ITEM_MSGINFO, sizeof(WQS_ITEM_MSGINFO) - 1,
                    nullptr, &bid, &len);
  if (err != NOERROR) return FailOpen(&st, err);
  if (len < 2 + sizeof(msg_info_t)) return FailOpen(&st, ERR_WQS_CORRUPT);
  const char* value = OSLockBlock(bid);
  if (value == nullptr) return FailOpen(&st, ERR_WQS_GENERAL);
  memcpy(&hMsg->info, value + 2, sizeof(msg_info_t));
  OSUnlockBlock(bid);
  hMsg->bRecipDataDirty = FALSE;
  const WORD wNumRecip = hMsg->info.user.wNumRecip;
  const bool extended = hMsg->info.wMsgType == WQS_MSG_EXTENDED;

  // Recipient states: the stored array image, used in place.  A missing
  // item is reported as the library's general failure.
  err = QDSItemInfo(st.hNote, WQS_ITEM_RECIPDATA,
                    sizeof(WQS_ITEM_RECIPDATA) - 1, nullptr, &bid, &len);
  if (err != NOERROR) return FailOpen(&st, ERR_WQS_GENERAL);
  if (len < WQS_ARRAY_ITEM_PREFIX + DA_HEADER_SIZE) {
    return FailOpen(&st, ERR_WQS_CORRUPT);
  }
  DWORD imageLen = len - WQS_ARRAY_ITEM_PREFIX;
  err = OSMemAlloc(WQS_TAG_RECIPDATA, imageLen, &st.hRecipData);
  if (err != NOERROR) return FailOpen(&st, ERR_WQS_GENERAL);
  dynarray_t* daRecipData = static_cast<dynarray_t*>(OSLockObject(st.hRecipData));
  if (daRecipData == nullptr) return FailOpen(&st, ERR_WQS_GENERAL);
  value = OSLockBlock(bid);
  if (value == nullptr) return FailOpen(&st, ERR_WQS_GENERAL);
  memcpy(daRecipData, value + WQS_ARRAY_ITEM_PREFIX, imageLen);
  OSUnlockBlock(bid);
  if (!WQSUtilArrayImageSound(daRecipData, imageLen, sizeof(recip_data_t),
                       wNumRecip)) {
    return FailOpen(&st, ERR_WQS_CORRUPT);
  }

  // Tables of the recipient-list copies: their block ids (for release) and
  // their locked addresses (for reading).
  st.daBIDs = DACreate(sizeof(BLOCKID), 1);
  if (st.daBIDs == nullptr) return FailOpen(&st, ERR_WQS_GENERAL);
  st.daPtrs = DACreate(sizeof(void*), 1);
  if (st.daPtrs == nullptr) return FailOpen(&st, ERR_WQS_GENERAL);

  DWORD totalNames = 0;
  DWORD firstListNames = 0;
  for (DWORD i = 0; i < hMsg->info.wNumRecipLists; i++) {
    char name[16];
    WQSUtilNameNumber(name, sizeof(name), WQS_ITEM_RECIP, i);
    DHANDLE h = NULLHANDLE;
    char* copy = nullptr;
    err = CopyTextList(st.hNote, name, WQS_TAG_RECIPLIST, &h, &copy,
                       &totalNames);
    if (err != NOERROR) return FailOpen(&st, err);
    if (i == 0) firstListNames = totalNames;
    BLOCKID listBid;
    listBid.pool = h;
    listBid.block = 0;
    if (!DAAddEntry(&st.daBIDs, &listBid)) {
      FreeBlock(h);
      return FailOpen(&st, ERR_WQS_GENERAL);
    }
    // From here the copy is released through its entry in daBIDs.
    if (!DAAddEntry(&st.daPtrs, &copy)) return FailOpen(&st, ERR_WQS_GENERAL);
  }
  // Every recipient must have a name to read.  An extended message reads
  // its names from list 0 only, beside the next-hop and PO lists.
  if (totalNames < wNumRecip) return FailOpen(&st, ERR_WQS_CORRUPT);

  char* pNHE = nullptr;
  char* pPO = nullptr;
  if (extended) {
    if (firstListNames < wNumRecip) return FailOpen(&st, ERR_WQS_CORRUPT);
    DWORD n = 0;
    err = CopyTextList(st.hNote, WQS_ITEM_NHE, WQS_TAG_NHELIST, &st.hNHE,
                       &pNHE, &n);
    if (err != NOERROR) return FailOpen(&st, err);
    if (n < wNumRecip) return FailOpen(&st, ERR_WQS_CORRUPT);
    n = 0;
    err = CopyTextList(st.hNote, WQS_ITEM_PO, WQS_TAG_POLIST, &st.hPO, &pPO,
                       &n);
    if (err != NOERROR) return FailOpen(&st, err);
    if (n < wNumRecip) return FailOpen(&st, ERR_WQS_CORRUPT);
  }

  char* pAttach = nullptr;
  if (hMsg->info.wNumAttachments > 0) {
    err = CopyItem(st.hNote, WQS_ITEM_ATTACHINFO, WQS_TAG_ATTACHINFO,
                   WQS_ARRAY_ITEM_PREFIX + DA_HEADER_SIZE, &st.hAttach,
                   &pAttach, &len);
    if (err != NOERROR) return FailOpen(&st, err);
    if (!WQSUtilArrayImageSound(pAttach + WQS_ARRAY_ITEM_PREFIX,
                         len - WQS_ARRAY_ITEM_PREFIX, sizeof(file_block_t),
                         hMsg->info.wNumAttachments)) {
      return FailOpen(&st, ERR_WQS_CORRUPT);
    }
  }

  // Success: hand everything to the handle.
  hMsg->hRecipData = st.hRecipData;
  hMsg->daRecipData = daRecipData;
  hMsg->daRecipListBIDs = st.daBIDs;
  hMsg->daRecipListPtrs = st.daPtrs;
  hMsg->bidNHEList.pool = st.hNHE;
  hMsg->bidNHEList.block = 0;
  hMsg->pNHEList = pNHE;
  hMsg->bidPOList.pool = st.hPO;
  hMsg->bidPOList.block = 0;
  hMsg->pPOList = pPO;
  hMsg->bidFileBlockArray.pool = st.hAttach;
  hMsg->bidFileBlockArray.block = 0;
  hMsg->daFileBlockArray =
      pAttach ? reinterpret_cast<dynarray_t*>(pAttach + WQS_ARRAY_ITEM_PREFIX)
              : nullptr;
  hMsg->wq = *hWQueue;
  // The stored id is not authoritative (the first save writes it before
  // the document has one); the id we opened by is.
  hMsg->info.user.dwQueueMsgID = dwMsgID;
  return NOERROR;
}

STATUS WQSCloseMsgObjects(msg_handle_t* hMsg) {
  // Each field is cleared as it is released, so a close that failed half
  // way can be repeated without freeing anything twice.
  if (hMsg->hRecipData != NULLHANDLE) {
    OSUnlockObject(hMsg->hRecipData);
    STATUS err = OSMemFree(hMsg->hRecipData);
    if (err != NOERROR) return err;
    hMsg->hRecipData = NULLHANDLE;
    hMsg->daRecipData = nullptr;
  }
  if (hMsg->daRecipListBIDs != nullptr) {
    DWORD n = DAGetNumberOfEntries(hMsg->daRecipListBIDs);
    for (DWORD i = 0; i < n; i++) {
      BLOCKID bid;
      memcpy(&bid, DAGetEntry(hMsg->daRecipListBIDs, (WORD)i), sizeof(bid));
      OSUnlockObject(bid.pool);
      OSMemFree(bid.pool);
    }
    BOOL ok = DADestroy(hMsg->daRecipListBIDs);
    hMsg->daRecipListBIDs = nullptr;
    if (!ok) return ERR_WQS_GENERAL;
  }
  if (hMsg->daRecipListPtrs != nullptr) {
    BOOL ok = DADestroy(hMsg->daRecipListPtrs);
    hMsg->daRecipListPtrs = nullptr;
    if (!ok) return ERR_WQS_GENERAL;
  }
  if (hMsg->info.wMsgType == WQS_MSG_EXTENDED) {
    if (hMsg->bidNHEList.pool != NULLHANDLE) {
      OSUnlockObject(hMsg->bidNHEList.pool);
      OSMemFree(hMsg->bidNHEList.pool);
    }
    if (hMsg->bidPOList.pool != NULLHANDLE) {
      OSUnlockObject(hMsg->bidPOList.pool);
      OSMemFree(hMsg->bidPOList.pool);
    }
    hMsg->bidNHEList.pool = NULLHANDLE;
    hMsg->bidPOList.pool = NULLHANDLE;
    hMsg->pNHEList = nullptr;
    hMsg->pPOList = nullptr;
  }
  if (hMsg->info.wNumAttachments > 0 &&
      hMsg->bidFileBlockArray.pool != NULLHANDLE) {
    OSUnlockObject(hMsg->bidFileBlockArray.pool);
    OSMemFree(hMsg->bidFileBlockArray.pool);
    hMsg->bidFileBlockArray.pool = NULLHANDLE;
    hMsg->daFileBlockArray = nullptr;
  }
  return NOERROR;
}

STATUS WQSCloseMsg(msg_handle_t* hMsg) {
  STATUS err = WQSCloseMsgObjects(hMsg);
  if (err != NOERROR) return err;
  return QDSNoteClose(hMsg->hNote);
}

STATUS WQSCloseMsgAndUpdate(msg_handle_t* hMsg) {
  // The state array is gone only from a handle already closed (or one
  // whose close failed after releasing it): nothing sound to write back.
  if (hMsg->daRecipData == nullptr) return ERR_WQS_GENERAL;
  // Rewrite (delete, then append) the two blocks the handle may have
  // changed; the lists and attachment table are never changed while open.
  STATUS err = WQSUtilDeleteItem(hMsg->hNote, WQS_ITEM_MSGINFO,
                                 sizeof(WQS_ITEM_MSGINFO) - 1);
  if (err != NOERROR) return err;
  err = QDSItemAppend(hMsg->hNote, 0, WQS_ITEM_MSGINFO,
                      sizeof(WQS_ITEM_MSGINFO) - 1, TYPE_USERDATA,
                      &hMsg->info, sizeof(msg_info_t));
  if (err != NOERROR) return err;
  err = WQSUtilDeleteItem(hMsg->hNote, WQS_ITEM_RECIPDATA,
                          sizeof(WQS_ITEM_RECIPDATA) - 1);
  if (err != NOERROR) return err;
  err = WQSUtilAppendRecipData(hMsg->hNote, hMsg->daRecipData);
  if (err != NOERROR) return err;
  err = QDSNoteUpdate(hMsg->hNote, 0);
  if (err != NOERROR) return err;
  err = WQSCloseMsgObjects(hMsg);
  if (err != NOERROR) return err;
  return QDSNoteClose(hMsg->hNote);
}

void WQSGetMsgInfo(msg_handle_t* hMsg, user_msg_info_t** pMsgInfo) {
  *pMsgInfo = &hMsg->info.user;
}

void WQSSetMsgInfo(msg_handle_t* hMsg, const user_msg_info_t* pMsgInfo) {
  memcpy(&hMsg->info.user, pMsgInfo, sizeof(user_msg_info_t));
}

STATUS WQSAppendDynArrayToNote(NOTEHANDLE hNote, dynarray_t* pDa,
                               const char* pItemName, WORD wItemNameLen,
                               const char* pHeaderName, WORD wHeaderNameLen) {
  if (pDa == nullptr) return ERR_WQS_GENERAL;
  DWORD arraySize = DASize(pDa);
  DWORD size = arraySize + WQS_ARRAY_ITEM_PREFIX;
  DHANDLE h = NULLHANDLE;
  STATUS err = OSMemAlloc(WQS_TAG_ARRAYVALUE, size, &h);
  if (err != NOERROR) return err;
  BYTE* p = static_cast<BYTE*>(OSLockObject(h));
  if (p == nullptr) {
    OSMemFree(h);
    return ERR_WQS_GENERAL;
  }
  WQSStoreWord(p, TYPE_USERDATA);
  // The header is 32 bytes: the length byte (always 32, the header's own
  // size) and a name area of 31.  A longer name is cut to the area rather
  // than written over the array image; the rest of the area is zeroed so
  // the stored bytes do not depend on leftover memory.
  p[2] = (BYTE)sizeof(userdata_header_t);
  WORD nameLen = wHeaderNameLen;
  if (nameLen > sizeof(userdata_header_t) - 1) {
    nameLen = sizeof(userdata_header_t) - 1;
  }
  memset(p + 3, 0, sizeof(userdata_header_t) - 1);
  memcpy(p + 3, pHeaderName, nameLen);
  memcpy(p + WQS_ARRAY_ITEM_PREFIX, pDa, arraySize);
  OSUnlockObject(h);

  BLOCKID bid;
  bid.pool = h;
  bid.block = 0;
  err = QDSItemAppendByBLOCKID(hNote, 0, pItemName, wItemNameLen, bid, size,
                               nullptr);
  // On success the block is the document's; on failure it is still ours.
  if (err != NOERROR) OSMemFree(h);
  return err;
}
