// Message copy: a new, unsaved message made from an opened one.
//
// The copy works on the source document as a whole.  The store copies every
// item; we then remove from the copy the items that the save writes again
// (message info, the current recipient list, the recipient states, the
// next-hop and post-office lists) and rebuild in memory what the save writes
// them from.  Everything else (typed fields, stream pieces, $FILE objects)
// rides along unchanged.
//
// The copy is built in locals and handed to the caller only when it is
// whole, so a failed copy leaves the caller's record as it was and holds
// nothing: the note copy is closed and every block obtained on the way is
// released.  The source message and its document are never written.

#include <cstring>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/dynarray.h"
#include "wqs/wqsmsg.h"
#include "wqsutil.h"

namespace {

// A recipient list stored in a WORD-counted text list can never exceed this
// many bytes.
constexpr DWORD kMaxListBytes = 0xFFFF;

// What a copy in progress holds.  Release() gives back everything, in any
// state of completion.
struct CopyInProgress {
  NOTEHANDLE hNote = 0;
  DHANDLE hCurRecipList = NULLHANDLE;
  WORD wCurRecipListLen = 0;
  // The recipient-state array.  When it was loaded from the source it lives
  // in hRecipData and is owned through its hArray (set to hRecipData), so
  // DADestroy releases it exactly like an array made by DACreate.
  dynarray_t* daRecipData = nullptr;
  DHANDLE hRecipData = NULLHANDLE;
  DHANDLE hCurNHEList = NULLHANDLE;
  WORD wCurNHEListLen = 0;
  DHANDLE hCurPOList = NULLHANDLE;
  WORD wCurPOListLen = 0;

  void Release() {
    if (daRecipData != nullptr) {
      DADestroy(daRecipData);  // frees hRecipData too when it holds the array
    } else if (hRecipData != NULLHANDLE) {
      OSMemFree(hRecipData);  // allocated but not yet turned into the array
    }
    daRecipData = nullptr;
    hRecipData = NULLHANDLE;
    if (hCurRecipList != NULLHANDLE) OSMemFree(hCurRecipList);
    if (hCurNHEList != NULLHANDLE) OSMemFree(hCurNHEList);
    if (hCurPOList != NULLHANDLE) OSMemFree(hCurPOList);
    hCurRecipList = hCurNHEList = hCurPOList = NULLHANDLE;
    if (hNote != 0) QDSNoteClose(hNote);
    hNote = 0;
  }
};

// An empty text list without type code, left unlocked: the form a building
// handle keeps its current lists in.
STATUS AllocEmptyList(DHANDLE* retHandle, WORD* retLen) {
  DHANDLE h = NULLHANDLE;
  void* p = nullptr;
  WORD len = 0;
  STATUS err = ListAllocate(0, 0, FALSE, &h, &p, &len);
  if (err != NOERROR) return err;
  OSUnlockObject(h);
  *retHandle = h;
  *retLen = len;
  return NOERROR;
}

// Loads the stored recipient-state array of `hNote` into a block of its
// own.  The stored image's hArray names the writer's block; we point it at
// our block so the new message can grow the array with DAAddEntry and
// release it with DADestroy.  The image is checked before it is trusted:
// a later DAAddEntry writes at slot dwUsedEntries and grows by
// dwAllocGranularity, so both have to agree with the block we hold.
STATUS LoadRecipData(NOTEHANDLE hNote, CopyInProgress* c) {
  BLOCKID bid;
  DWORD valueLen = 0;
  STATUS err = QDSItemInfo(hNote, WQS_ITEM_RECIPDATA,
                           (WORD)strlen(WQS_ITEM_RECIPDATA), nullptr, &bid,
                           &valueLen);
  if (err != NOERROR) return err;
  if (valueLen < WQS_ARRAY_ITEM_PREFIX + DA_HEADER_SIZE) return ERR_WQS_CORRUPT;
  DWORD size = valueLen - WQS_ARRAY_ITEM_PREFIX;

  err = OSMemAlloc(WQS_TAG_MSGCOPY, size, &c->hRecipData);
  if (err != NOERROR) return err;
  void* dst = OSLockObject(c->hRecipData);
  if (dst == nullptr) return ERR_WQS_GENERAL;
  const char* value = OSLockBlock(bid);
  if (value == nullptr) {
    OSUnlockObject(c->hRecipData);
    return ERR_WQS_GENERAL;
  }
  memcpy(dst, value + WQS_ARRAY_ITEM_PREFIX, size);
  OSUnlockBlock(bid);

  dynarray_t* da = static_cast<dynarray_t*>(dst);
  // The new message grows this array in its own block, so the image must
  // fill that block exactly.
  if (da->dwSize != size ||
      !WQSUtilArrayImageSound(da, size, sizeof(recip_data_t), 0)) {
    OSUnlockObject(c->hRecipData);
    return ERR_WQS_CORRUPT;
  }
  da->hArray = c->hRecipData;  // the block stays locked, as DACreate leaves it
  c->daRecipData = da;
  return NOERROR;
}

// Moves the stored list `name` of the copy into memory and deletes the item.
STATUS MoveAndDelete(NOTEHANDLE hNote, const char* name, DHANDLE* retList,
                     WORD* retLen) {
  STATUS err = WQSMoveListFromNoteToMem(hNote, name, retList, retLen);
  if (err != NOERROR) return err;
  return WQSUtilDeleteItem(hNote, name);
}

// Steps after the note copy; `c` holds whatever they obtained.
STATUS BuildCopy(queue_handle_t* pSourceQueue, queue_handle_t* pTargetQueue,
                 msg_handle_t* pSourceMsg, BOOL bRetainRecips,
                 WORD wNewMsgType, msg_info_t* info, CopyInProgress* c) {
  ORIGINATORID oid;
  STATUS err = QDSDbGenerateOID(pTargetQueue->dbhandle, &oid);
  if (err != NOERROR) return err;

  QDSNoteSetInfo(c->hNote, _NOTE_OID, &oid);
  NOTEID noId = 0;  // no note id: the save makes a new document
  QDSNoteSetInfo(c->hNote, _NOTE_ID, &noId);
  if (pTargetQueue->dbhandle != pSourceQueue->dbhandle) {
    QDSNoteSetInfo(c->hNote, _NOTE_DB, &pTargetQueue->dbhandle);
  }

  *info = pSourceMsg->info;
  info->wNumAttachments = 0;
  WORD wSourceType = pSourceMsg->info.wMsgType;
  if (wSourceType != wNewMsgType) {
    info->wMsgType = wNewMsgType;
    bRetainRecips = FALSE;
  }

  err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_MSGINFO);
  if (err != NOERROR) return err;
  // The copy counts no attachments, so the source's table must not survive
  // either: a copy given files of its own is saved with a table of its own,
  // and a message has one WQSAttachInfo item.  The source's $FILE items and
  // their objects stay.
  err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_ATTACHINFO);
  if (err != NOERROR) return err;

  char name[16];
  if (!bRetainRecips) {
    info->user.wNumRecip = 0;
    for (DWORD n = 0; n < pSourceMsg->info.wNumRecipLists; n++) {
      WORD len = WQSUtilNameNumber(name, sizeof name, WQS_ITEM_RECIP, n);
      err = WQSUtilDeleteItem(c->hNote, name, len);
      if (err != NOERROR) return err;
    }
    info->wNumRecipLists = 1;
    err = AllocEmptyList(&c->hCurRecipList, &c->wCurRecipListLen);
    if (err != NOERROR) return err;
    err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_RECIPDATA);
    if (err != NOERROR) return err;
    c->daRecipData = DACreate(sizeof(recip_data_t), 50);
    if (c->daRecipData == nullptr) return ERR_WQS_GENERAL;
    if (wSourceType == WQS_MSG_EXTENDED) {
      err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_NHE);
      if (err != NOERROR) return err;
      err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_PO);
      if (err != NOERROR) return err;
    }
    if (wNewMsgType == WQS_MSG_EXTENDED) {
      if (AllocEmptyList(&c->hCurNHEList, &c->wCurNHEListLen) != NOERROR ||
          AllocEmptyList(&c->hCurPOList, &c->wCurPOListLen) != NOERROR) {
        return ERR_WQS_GENERAL;
      }
    }
    return NOERROR;
  }

  // Recipients kept: the source's last list becomes the current one; the
  // earlier lists stay stored and the save writes the current list under
  // the same number again.
  if (info->wNumRecipLists == 0) return ERR_WQS_CORRUPT;
  WQSUtilNameNumber(name, sizeof name, WQS_ITEM_RECIP,
                    info->wNumRecipLists - 1u);
  err = MoveAndDelete(c->hNote, name, &c->hCurRecipList, &c->wCurRecipListLen);
  if (err != NOERROR) return err;

  err = LoadRecipData(c->hNote, c);
  if (err != NOERROR) return err;
  err = WQSUtilDeleteItem(c->hNote, WQS_ITEM_RECIPDATA);
  if (err != NOERROR) return err;

  if (info->wMsgType == WQS_MSG_EXTENDED) {
    err = MoveAndDelete(c->hNote, WQS_ITEM_NHE, &c->hCurNHEList,
                        &c->wCurNHEListLen);
    if (err != NOERROR) return err;
    err = MoveAndDelete(c->hNote, WQS_ITEM_PO, &c->hCurPOList,
                        &c->wCurPOListLen);
    if (err != NOERROR) return err;
  }
  return NOERROR;
}

}  // namespace

STATUS WQSMoveListFromNoteToMem(NOTEHANDLE hNote, const char* szItemName,
                                DHANDLE* hMemList, WORD* wListLen) {
  if (szItemName == nullptr || hMemList == nullptr || wListLen == nullptr) {
    return ERR_BAD_ARG;
  }
  BLOCKID bid;
  DWORD valueLen = 0;
  STATUS err = QDSItemInfo(hNote, szItemName, (WORD)strlen(szItemName),
                           nullptr, &bid, &valueLen);
  if (err != NOERROR) return err;
  // The value is a type code and a text list whose byte length the building
  // handle keeps in a WORD; anything else cannot be a stored list.
  if (valueLen < 2 || valueLen - 2 > kMaxListBytes) return ERR_WQS_CORRUPT;
  DWORD len = valueLen - 2;

  DHANDLE h = NULLHANDLE;
  err = OSMemAlloc(WQS_TAG_MOVEDLIST, len, &h);
  if (err != NOERROR) return err;
  char* dst = static_cast<char*>(OSLockObject(h));
  if (dst == nullptr) {
    OSMemFree(h);
    return ERR_WQS_GENERAL;
  }
  const char* value = OSLockBlock(bid);
  if (value == nullptr) {
    OSUnlockObject(h);
    OSMemFree(h);
    return ERR_WQS_GENERAL;
  }
  memcpy(dst, value + 2, len);
  OSUnlockBlock(bid);
  // Appends extend this list in place, trusting its counts; a list whose
  // counts run past its bytes would send them past the block.
  STATUS check = ListCheck(dst, FALSE, len);
  OSUnlockObject(h);
  if (check != NOERROR) {
    OSMemFree(h);
    return ERR_WQS_CORRUPT;
  }
  *hMemList = h;
  *wListLen = (WORD)len;
  return NOERROR;
}

STATUS WQSCopyMsg(queue_handle_t* pSourceQueue, queue_handle_t* pTargetQueue,
                  msg_handle_t* pSourceMsg, BOOL bRetainRecips,
                  WORD wNewMsgType, msg_handle_t* pNewMsg) {
  if (pSourceQueue == nullptr || pTargetQueue == nullptr ||
      pSourceMsg == nullptr || pNewMsg == nullptr) {
    return ERR_BAD_ARG;
  }
  CopyInProgress c;
  STATUS err = QDSNoteCopy(pSourceMsg->hNote, &c.hNote);
  if (err != NOERROR) return err;

  msg_info_t info;
  err = BuildCopy(pSourceQueue, pTargetQueue, pSourceMsg, bRetainRecips,
                  wNewMsgType, &info, &c);
  if (err != NOERROR) {
    c.Release();
    return err;
  }

  pNewMsg->hNote = c.hNote;
  pNewMsg->info = info;
  pNewMsg->wq = *pTargetQueue;
  pNewMsg->hCurRecipList = c.hCurRecipList;
  pNewMsg->wCurRecipListLen = c.wCurRecipListLen;
  pNewMsg->daRecipData = c.daRecipData;
  // With recipients kept this is the block that holds the state array; the
  // array owns it (through its hArray) and the save or discard releases it
  // with DADestroy, so nothing frees hRecipData on its own.  A building
  // handle without loaded state has none, as after a create.
  pNewMsg->hRecipData = c.hRecipData;
  if (info.wMsgType == WQS_MSG_EXTENDED) {
    pNewMsg->hCurNHEList = c.hCurNHEList;
    pNewMsg->wCurNHEListLen = c.wCurNHEListLen;
    pNewMsg->hCurPOList = c.hCurPOList;
    pNewMsg->wCurPOListLen = c.wCurPOListLen;
  }
  return NOERROR;
}
