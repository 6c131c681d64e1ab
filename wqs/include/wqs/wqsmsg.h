// Message life cycle: open, update, close; lists and search; create, save,
// discard, purge, requeue; copy.
#ifndef WQS_WQSMSG_H_
#define WQS_WQSMSG_H_

#include "wqs/wqstypes.h"

// Open, update and close.
//
// WQSOpenMsgByMsgID copies the message's info block and every list and
// array item into locked private blocks.  Each stored value is checked
// against its own sizes first: a short WQSMsgInfo, an array item whose
// header disagrees with its length, entry size or counts, a text list whose
// counts and lengths overrun its value, or fewer names than wNumRecip give
// ERR_WQS_CORRUPT.  On any failure the open releases everything it took
// (copies, tables, the document); the handle is not open and is not closed.
// WQSCloseMsgObjects clears each field as it releases it, so a close that
// failed part way may be repeated.
STATUS WQSOpenMsgByMsgID(queue_handle_t* hWQueue, DWORD dwMsgID,
                         msg_handle_t* hMsg);
STATUS WQSCloseMsg(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndUpdate(msg_handle_t* hMsg);
void WQSGetMsgInfo(msg_handle_t* hMsg, user_msg_info_t** pMsgInfo);
void WQSSetMsgInfo(msg_handle_t* hMsg, const user_msg_info_t* pMsgInfo);
STATUS WQSCloseMsgObjects(msg_handle_t* hMsg);
STATUS WQSAppendDynArrayToNote(NOTEHANDLE hNote, dynarray_t* pDa,
                               const char* pItemName, WORD wItemNameLen,
                               const char* pHeaderName, WORD wHeaderNameLen);

// Lists and search.  WQSOpenMsg refuses a position at or past the ids the
// list holds with ERR_BAD_ARG.  WQSCloseMsgList clears hList, so a second
// close does nothing.
STATUS WQSCreateMsgList(queue_handle_t* hWQueue, WORD wMaxMsgs,
                        WORD wSearchMode, const char* szSearchCriteria,
                        msglist_handle_t* hMsgList, WORD* wMsgCount);
STATUS WQSOpenMsg(msglist_handle_t* hMsgList, WORD wIndex,
                  msg_handle_t* hMsg);
STATUS WQSCloseMsgList(msglist_handle_t* hMsgList);
STATUS WQSSearchQDSCallBack(void* pArg, SEARCH_MATCH* pSearchInfo,
                            ITEM_TABLE* pSummaryInfo);

// Creation, save and disposal.
//
// A failed WQSCreateMsg releases what it made; the handle holds nothing.
// A failed WQSCloseAndSaveMsg leaves the handle in its building form with
// whatever it had not yet released (the document stays open and unsaved);
// end it with WQSCloseAndDiscardMsg, which releases exactly what is left.
STATUS WQSCreateMsg(queue_handle_t* hWQueue, WORD wMsgType,
                    msg_handle_t* phMsg);
STATUS WQSCloseAndSaveMsg(msg_handle_t* hMsg);
STATUS WQSCloseAndDiscardMsg(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndPurge(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndReQueue(msg_handle_t* hMsg);

// Copy.  The new handle is in the building form.  Kept recipient state is
// owned like an array from DACreate (its hArray is hRecipData), so appends
// grow it and the save or discard releases it with DADestroy; nothing frees
// hRecipData on its own.  With recipients dropped hRecipData is 0.  The
// source's WQSAttachInfo is removed from the copy (its $FILE items and
// objects stay), so a copy given files of its own saves one table.  A
// stored state array or moved list that disagrees with its own sizes gives
// ERR_WQS_CORRUPT.  On failure the note copy is closed, everything obtained
// is released and the caller's record is left as it was.
STATUS WQSCopyMsg(queue_handle_t* pSourceQueue, queue_handle_t* pTargetQueue,
                  msg_handle_t* pSourceMsg, BOOL bRetainRecips,
                  WORD wNewMsgType, msg_handle_t* pNewMsg);
STATUS WQSMoveListFromNoteToMem(NOTEHANDLE hNote, const char* szItemName,
                                DHANDLE* hMemList, WORD* wListLen);

#endif  // WQS_WQSMSG_H_
