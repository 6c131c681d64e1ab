// Inbound reconvert: puts a failed inbound message back into the state in
// which the relay processes it afresh.  Everything is changed in the open
// handle and its document; the caller's update close makes it permanent in
// one save, so a reconversion that fails part-way changes nothing on disk
// as long as the caller discards the handle.

#include "wqhk/wqhk.h"

#define WQ_ITEM_MSGSTATUS "WQMsgStatus"
#define WQ_ITEM_ERRSTR "WQErrStr"

STATUS WQInbReconvertOneMsg(msg_handle_t* pMsg) {
  user_msg_info_t* pMsgInfo = nullptr;
  recip_info_t recipInfo;
  WORD wCurRecip = 0;
  STATUS err = NOERROR;

  err = WQSDeleteMsgObject(pMsg, WQ_ITEM_ERRSTR);
  if (err != NOERROR) return err;

  // One retry left rather than none, so the relay tries it once more.
  WQSGetMsgInfo(pMsg, &pMsgInfo);
  pMsgInfo->wRetries = 1;
  pMsgInfo->dwUserInfo3 = 0;

  for (wCurRecip = 0; wCurRecip < pMsgInfo->wNumRecip; wCurRecip++) {
    err = WQSGetRecipient(pMsg, wCurRecip, &recipInfo);
    if (err != NOERROR) return err;
    // Type, next retry and retry count stay: only state and error reset.
    recipInfo.data.dwUserInfo = WQ_STATUS_REQUEUED;
    recipInfo.data.dwErrorCode = 0;
    WQSSetRecipientData(pMsg, wCurRecip, &recipInfo.data);
  }

  // Delete first so the document keeps exactly one status item.
  err = WQSDeleteMsgObject(pMsg, WQ_ITEM_MSGSTATUS);
  if (err != NOERROR) return err;
  return WQSAddDWORD(pMsg, TRUE, WQ_ITEM_MSGSTATUS, WQ_STATUS_REQUEUED);
}

STATUS WQInbReconvertAllMsgs(queue_handle_t* pInbQueue) {
  msglist_handle_t MsgList = {};
  msg_handle_t hMsg;
  WORD wCurMsg = 0;
  WORD wMsgCount = 1;
  STATUS err = NOERROR;

  while (wMsgCount != 0) {
    err = WQSCreateMsgList(pInbQueue, WQ_RECONVERT_BATCH, WQS_SEARCH_FORMULA,
                           WQ_FAILED_FORMULA, &MsgList, &wMsgCount);
    if (err == ERR_WQS_NO_MESSAGES) return NOERROR;
    if (err != NOERROR) return err;

    for (wCurMsg = 0; wCurMsg < wMsgCount; wCurMsg++) {
      err = WQSOpenMsg(&MsgList, wCurMsg, &hMsg);
      if (err != NOERROR) {
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
      err = WQInbReconvertOneMsg(&hMsg);
      if (err != NOERROR) {
        (void)WQSCloseMsg(&hMsg);
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
      err = WQSCloseMsgAndUpdate(&hMsg);
      if (err != NOERROR) {
        // A failed update leaves the handle open (or what is left of it):
        // release it, or the copies and the unsaved document would stay.
        (void)WQSCloseMsg(&hMsg);
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
    }

    // Also after an empty search: the list then holds nothing and the
    // close is a no-op.
    err = WQSCloseMsgList(&MsgList);
    if (err != NOERROR) return err;
  }
  return NOERROR;
}

STATUS WQGlobalHouseKeeping(void) { return WQSDoHouseKeeping(); }
