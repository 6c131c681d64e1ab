// The requeue pass: batches of at most 100 failed messages, each reset and
// saved, a fresh search after every batch.  A saved message carries
// WQMsgStatus 6, which the formula does not select, so the searches run
// dry.  The stop request is honoured only between batches, so a stopped
// pass never leaves a batch half done.

#include "rswq.h"
#include "tavlo/runtime.h"
#include "wqhk/wqhk.h"

STATUS ReconvertAllMsgs(queue_handle_t* pInbQueue) {
  msglist_handle_t MsgList = {};
  msg_handle_t hMsg;
  STATUS err = NOERROR;
  DWORD dwMasterMsgCounter = 0;
  WORD wMsgCount = 1;
  WORD wCurMsg = 0;

  for (;;) {
    if (AddInIdle()) break;

    err = WQSCreateMsgList(pInbQueue, WQ_RECONVERT_BATCH, WQS_SEARCH_FORMULA,
                           WQ_FAILED_FORMULA, &MsgList, &wMsgCount);
    if (err == ERR_WQS_NO_MESSAGES) break;
    if (err != NOERROR) {
      // A failed build holds nothing.
      AddInLogMessageText(RSWQ_LOG_ERROR, err);
      return err;
    }
    // An empty formula result holds no memory: nothing to close.
    if (wMsgCount == 0) break;

    for (wCurMsg = 0; wCurMsg < wMsgCount; wCurMsg++) {
      err = WQSOpenMsg(&MsgList, wCurMsg, &hMsg);
      if (err != NOERROR) {
        AddInLogMessageText(RSWQ_LOG_ERROR, err);
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
      err = WQInbReconvertOneMsg(&hMsg);
      if (err != NOERROR) {
        AddInLogMessageText(RSWQ_LOG_ERROR, err);
        (void)WQSCloseMsg(&hMsg);  // unsaved: the document stays as it was
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
      err = WQSCloseMsgAndUpdate(&hMsg);
      if (err != NOERROR) {
        // A failed update leaves the handle open, its document unsaved.
        // The close releases what is left of it: the update clears each
        // field it has already released, so nothing is freed twice.
        AddInLogMessageText(RSWQ_LOG_ERROR, err);
        (void)WQSCloseMsg(&hMsg);
        (void)WQSCloseMsgList(&MsgList);
        return err;
      }
      dwMasterMsgCounter++;
      AddInSetStatusText(RSWQ_STATUS_REQUEUEING,
                         (unsigned long)dwMasterMsgCounter);
    }

    err = WQSCloseMsgList(&MsgList);
    if (err != NOERROR) {
      AddInLogMessageText(RSWQ_LOG_ERROR, err);
      return err;
    }
  }

  AddInLogMessageText(RSWQ_LOG_REQUEUED, NOERROR,
                      (unsigned long)dwMasterMsgCounter);
  return NOERROR;
}
